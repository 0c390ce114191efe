// The transfer tab's lists without a site: local entries, badges, drags that carry their source,
// and the local side's commands (rename, make folder, delete after asking, go to).
#include "files/QVRootFile.h"
#include "platform/QVError.h"
#include "projects/windows/QVFileListingTable.h"
#include "projects/windows/QVTransferModeDocument.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QMimeData>
#include <QTest>

namespace {

using Model = QVTransferListModel;

struct Recorder : QVTransferModeDelegate {
    QString root;
    QStringList errors;
    QList<QStringList> questions;
    int answer = 2;
    QString projectRootDirectory() const override { return root; }
    void presentErrorAlert(const QVError& error) override { errors << error.localizedDescription(); }
    void askQuestion(const QVError& question, std::function<void(int)> reply) override {
        questions << (QStringList{question.localizedDescription()} + question.localizedRecoveryOptions());
        reply(answer);
    }
};

QStringList names(const Model* model) {
    QStringList list;
    for (const auto& e : model->entries()) list << e.name + (e.isDirectory ? "/" : "") + (e.isDirectory ? "" : " " + e.sizeString);
    return list;
}

void selectNames(QVFileListingTable* table, const QStringList& wanted) {
    table->setFocus();
    table->clearSelection();
    const auto* model = static_cast<Model*>(table->model());
    for (int row = 0; row < model->rowCount(); ++row)
        if (wanted.contains(model->entries()[row].name))
            table->selectionModel()->select(model->index(row, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

}  // namespace

TEST(TransferLists, BadgesCountTheRowsAndTheImageMakesRoomForThem) {
    const struct {
        qint64 rows;
        const char* badge;
    } cases[] = {{1, "dragBadge1-2"}, {99, "dragBadge1-2"}, {100, "dragBadge3"}, {999, "dragBadge3"},
                 {9999, "dragBadge4"}, {10000, "dragBadge5"}};
    QImage page(16, 16, QImage::Format_ARGB32);
    page.fill(Qt::blue);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rows);
        EXPECT_EQ(QVFileListingTable::badgeNameForCount(c.rows), c.badge);
        QPointF offset(3, 20);
        const QImage image = QVFileListingTable::badgedIcon(page, c.rows, &offset);
        const QImage badge = QVFileListingTable::badgeImage(c.badge);
        EXPECT_EQ(image.size(), QSize(32 + badge.width() - 8, 40));
        EXPECT_EQ(offset, QPointF(16, 12));
        EXPECT_EQ(image.pixelColor(4, 30), QColor(Qt::blue));  // the icon under the badge's row
    }
}

TEST(TransferLists, LocalEntriesSkipFilteredAndUnreadableNamesAndFoldersHaveNoSize) {
    TestDir dir;
    dir.write("page.html", QByteArray(2048, 'x'));
    dir.write("sub/inner.txt", "x");
    dir.write(".DS_Store", "x");
    QFile::link(dir.file("gone"), dir.file("dangling"));
    QStringList listed;
    for (const QVLocalFile& f : QVLocalFile::filesForPath(dir.path())) listed << f.name() + ":" + f.sizeString();
    listed.sort();
    EXPECT_EQ(listed, QStringList({"page.html:2 KB", "sub:--"}));
    EXPECT_FALSE(QVLocalFile::fromPath(dir.file("dangling")));
    EXPECT_TRUE(QVLocalFile::filesForPath(dir.file("missing")).isEmpty());
}

TEST(TransferLists, DragsCarryTheirSourceAndStaleOrForeignOnesAreRefused) {
    TestDir dir;
    dir.write("a.txt", "a");
    auto root = QVRootFile::create(dir.path(), false);
    Recorder delegate;
    auto source = std::make_unique<QVTransferModeDocument>(root, nullptr, &delegate);
    source->setCurrentLocalPath(dir.path());
    QMimeData* drag = source->localModel()->mimeData({source->localModel()->index(0, 0)});
    ASSERT_TRUE(drag);
    const auto payload = Model::payload(drag);
    ASSERT_TRUE(payload);
    EXPECT_EQ(payload->folder, dir.path());
    EXPECT_EQ(payload->entries.value(0).name, "a.txt");
    EXPECT_EQ(drag->urls().value(0).toLocalFile(), dir.file("a.txt"));
    // Which list takes what: local entries and outside files go up, remote entries come down.
    const Model remote(Model::Remote), local(Model::Local);
    EXPECT_TRUE(remote.canDropMimeData(drag, Qt::CopyAction, -1, -1, {}));
    EXPECT_FALSE(local.canDropMimeData(drag, Qt::CopyAction, -1, -1, {}));

    // Bytes from another process, or not ours at all, name nothing.
    const struct {
        const char* what;
        QByteArray bytes;
    } foreign[] = {
        {"another process", QJsonDocument::fromJson(drag->data(Model::LocalDragType)).toJson().replace(
                                QByteArray::number(QCoreApplication::applicationPid()), "1")},
        {"not JSON", "\x01\x02garbage"},
        {"no entries", R"({"pid":)" + QByteArray::number(QCoreApplication::applicationPid()) + R"(,"token":"t","entries":[]})"},
    };
    for (const auto& f : foreign) {
        SCOPED_TRACE(f.what);
        QMimeData data;
        data.setData(Model::LocalDragType, f.bytes);
        EXPECT_FALSE(Model::payload(&data));
    }

    // A drop onto a tab: refused once the source tab has gone, or shows another folder now.
    auto target = std::make_unique<QVTransferModeDocument>(root, nullptr, &delegate);
    source->setCurrentLocalPath(dir.file("elsewhere"));
    EXPECT_FALSE(target->acceptDrop(Model::Remote, drag));
    source.reset();
    EXPECT_FALSE(target->acceptDrop(Model::Remote, drag));
    delete drag;
}

TEST(TransferLists, LocalCommandsNeverEscapeTheFolderNorReplaceAFileAndDeleteAsksFirst) {
    TestDir dir;
    dir.write("site/one.txt", "one");
    dir.write("site/two.txt", "two");
    dir.write("site/old/keep.txt", "keep");
    QDir().mkpath(dir.file("xdg-data"));
    qputenv("XDG_DATA_HOME", QFile::encodeName(dir.file("xdg-data")));
    auto root = QVRootFile::create(dir.file("site"), false);
    Recorder delegate;
    delegate.root = dir.file("site");
    QVTransferModeDocument tab(root, nullptr, &delegate);
    QWidget* view = tab.view();
    view->resize(700, 400);
    view->show();
    tab.setCurrentLocalPath(dir.file("site"));
    QVFileListingTable* table = tab.localTable();
    EXPECT_EQ(names(tab.localModel()), QStringList({"old/", "one.txt 3 B", "two.txt 3 B"}));
    EXPECT_EQ(tab.localPopup()->count(), QDir(dir.file("site")).absolutePath().count('/') + 1);
    EXPECT_EQ(tab.localPopup()->itemText(0), "site");

    // Renames: a taken name is refused and both files stay; a name that leaves the folder too.
    const int oneRow = tab.localModel()->indexOfName("one.txt");
    for (const QString& bad : {QString("two.txt"), QString("../out.txt"), QString("a/b"), QString(".."), QString::fromUtf8("x\0y", 3)}) {
        SCOPED_TRACE(bad.toStdString());
        EXPECT_FALSE(tab.localModel()->setData(tab.localModel()->index(oneRow, 0), bad, Qt::EditRole));
    }
    EXPECT_EQ(delegate.errors.size(), 5);
    EXPECT_EQ(readAll(dir.file("site/two.txt")), "two");
    EXPECT_EQ(readAll(dir.file("site/one.txt")), "one");
    EXPECT_FALSE(QFile::exists(dir.file("out.txt")));
    EXPECT_TRUE(tab.localModel()->setData(tab.localModel()->index(oneRow, 0), "uno.txt", Qt::EditRole));
    QCoreApplication::processEvents();
    EXPECT_EQ(names(tab.localModel()), QStringList({"old/", "two.txt 3 B", "uno.txt 3 B"}));

    // New folders: one component only.
    delegate.errors.clear();
    for (const char* bad : {"../up", "a/b", ".", ""}) tab.actionPanelDidEnd(bad, 1, false, "mkdir");
    tab.actionPanelDidEnd("made", 0, false, "mkdir");  // cancelled
    tab.actionPanelDidEnd("made", 1, false, "mkdir");
    EXPECT_EQ(delegate.errors.size(), 4);
    EXPECT_TRUE(QFileInfo(dir.file("site/made")).isDir());
    EXPECT_FALSE(QFile::exists(dir.file("up")));
    EXPECT_TRUE(tab.localModel()->indexOfName("made") >= 0);

    // Delete asks, names the entries, and Cancel keeps them; the answer acts on the entries
    // asked about even when the selection changed meanwhile.
    selectNames(table, {"two.txt", "old"});
    delegate.answer = QVTransferModeDocument::Cancel;
    tab.deleteSelection();
    ASSERT_EQ(delegate.questions.size(), 1);
    EXPECT_EQ(delegate.questions[0], QStringList({"Delete Files", "Move to Trash", "Delete", "Cancel"}));
    EXPECT_TRUE(QFile::exists(dir.file("site/two.txt")) && QFile::exists(dir.file("site/old/keep.txt")));
    delegate.answer = QVTransferModeDocument::MoveToTrash;
    tab.deleteSelection();
    EXPECT_FALSE(QFile::exists(dir.file("site/two.txt")) || QFile::exists(dir.file("site/old")));
    EXPECT_TRUE(QFile::exists(dir.file("xdg-data/Trash/files/two.txt")));
    EXPECT_EQ(names(tab.localModel()), QStringList({"made/", "uno.txt 3 B"}));

    // Going to a folder: into a subfolder, and a beep (nothing changes) for a missing one.
    tab.actionPanelDidEnd("missing", 1, false, "goto");
    EXPECT_EQ(tab.currentLocalPath(), dir.file("site"));
    tab.actionPanelDidEnd("made", 1, false, "goto");
    EXPECT_EQ(tab.currentLocalPath(), dir.file("site/made"));
    tab.chooseLocalFile(1);
    EXPECT_EQ(tab.currentLocalPath(), QDir::cleanPath(dir.file("site")));

    // Transfers and remote work need a site: without one, nothing is queued and nothing breaks.
    selectNames(table, {"uno.txt"});
    tab.transfer();
    EXPECT_TRUE(tab.remoteModel()->entries().isEmpty());
}
