// A transfer tab on real FTP and SFTP servers: the folder's mirror beside the site's folder,
// uploads, downloads, new folders, renames and confirmed deletions seen on both disks, drags
// between the lists, and a hostile name that never leaves the local folder.
#include "files/QVRemoteSiteQueue.h"
#include "files/QVRootFile.h"
#include "platform/MainQueue.h"
#include "platform/QVError.h"
#include "projects/windows/QVFileListingTable.h"
#include "projects/windows/QVTransferModeDocument.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <mutex>
#include <QDir>
#include <QLabel>
#include <QFile>
#include <QMimeData>
#include <QProcess>
#include <QTest>

namespace {

using C = QVRemoteFilesConnection;
using Model = QVTransferListModel;

struct Recorder : QVTransferModeDelegate {
    QString root;
    QStringList errors;
    int answer = 0;
    QString projectRootDirectory() const override { return root; }
    void presentErrorAlert(const QVError& error) override { errors << error.localizedDescription(); }
    void askQuestion(const QVError&, std::function<void(int)> reply) override { reply(answer); }
};

// What the site's queue reports to its owner (the project in the window): failures.
struct QueueLog : QVRemoteSiteQueueDelegate {
    std::mutex lock;
    QStringList errors;
    void queueHadError(QVRemoteSiteQueue*, const QVError& error) override {
        std::lock_guard guard(lock);
        errors << error.localizedDescription() + ": " + error.localizedRecoverySuggestion();
    }
    QString text() {
        std::lock_guard guard(lock);
        return errors.join("\n");
    }
};

bool await(const std::function<bool()>& done) { return MainQueue::runUntil(done, std::chrono::seconds(30)); }

void write(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

QStringList names(const Model* model) {
    QStringList list;
    for (const auto& e : model->entries()) list << e.name + (e.isDirectory ? "/" : "");
    return list;
}

void select(QVFileListingTable* table, const QString& name) {
    table->setFocus();
    const auto* model = static_cast<Model*>(table->model());
    table->clearSelection();
    const int row = model->indexOfName(name);
    ASSERT_GE(row, 0) << name.toStdString();
    table->selectionModel()->select(model->index(row, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

}  // namespace

TEST(TransferTab, KeepsTheFolderAndItsMirrorInStepOnFtpAndSftp) {
    for (int type : {C::FTP, C::SFTP}) {
        SCOPED_TRACE(type == C::FTP ? "ftp" : "sftp");
        const bool ftp = type == C::FTP;
        const int port = qEnvironmentVariableIntValue(ftp ? "QORVEL_FTP_PORT" : "QORVEL_SFTP_PORT");
        ASSERT_GT(port, 0) << "peer not started";
        const QString siteRoot = qEnvironmentVariable(ftp ? "QORVEL_FTP_ROOT" : "QORVEL_SFTP_ROOT");
        const QString site = siteRoot + "/transfer";
        QDir(site).removeRecursively();
        write(site + "/docs/guide.html", "guide");
        write(site + "/docs/old.txt", "old");
        write(site + "/docs/sub/inner.txt", "inner");
        const QString hostile = QStringLiteral("-lead \"quote\" 'x'.txt");
        write(site + "/docs/" + hostile, "hostile");
        // Drawn raw, "d", U+202E, "lmth" reads as "dhtml".
        const QString posing = QString::fromUtf8("d\u202Elmth");
        write(site + "/docs/" + posing + "/in.txt", "in");
        // The SFTP account must own what it is to change.
        if (!ftp) QProcess::execute("chown", {"-R", qEnvironmentVariable("QORVEL_SFTP_USER"), site});
        TestDir local;
        QDir().mkpath(local.file("project"));

        auto log = std::make_shared<QueueLog>();
        auto queue = QVRemoteSiteQueue::make(type, log);
        queue->connectToHost("127.0.0.1", port, qEnvironmentVariable(ftp ? "QORVEL_PEER_USER" : "QORVEL_SFTP_USER"),
                             qEnvironmentVariable("QORVEL_PEER_PASSWORD"), {});
        auto root = QVRootFile::create(local.file("project"), false);
        root->children(true);
        root->setRemoteQueue(queue);
        ASSERT_TRUE(await([&] { return bool(root->childWithName("transfer", false)); })) << log->text().toStdString();
        auto top = root->childWithName("transfer", false);
        top->children(true);
        ASSERT_TRUE(await([&] { return bool(top->childWithName("docs", false)); })) << log->text().toStdString();
        auto docs = top->childWithName("docs", false);

        // The tab of a folder only the site has shows that folder's own mirror, made for it.
        Recorder delegate;
        delegate.root = local.file("project");
        QVTransferModeDocument tab(docs, queue, &delegate);
        QWidget* view = tab.view();
        view->resize(800, 500);
        view->show();
        tab.activate();
        ASSERT_TRUE(await([&] { return !tab.changingRemoteDirectory() && tab.remoteModel()->rowCount() == 5; }));
        EXPECT_EQ(tab.currentLocalPath(), local.file("project/transfer/docs"));
        EXPECT_TRUE(QFileInfo(local.file("project/transfer/docs")).isDir());
        EXPECT_EQ(tab.currentRemotePath(), "transfer/docs");
        EXPECT_EQ(names(tab.remoteModel()), QStringList({hostile, posing + "/", "guide.html", "old.txt", "sub/"}));

        // Download by command, then a whole folder by dragging it onto the local list.
        select(tab.remoteTable(), "guide.html");
        tab.transfer();
        ASSERT_TRUE(await([&] { return tab.localModel()->indexOfName("guide.html") >= 0; }));
        EXPECT_EQ(readAll(local.file("project/transfer/docs/guide.html")), "guide");
        // A name with quotes and a leading "-" comes down as itself, into the mirror.
        select(tab.remoteTable(), hostile);
        tab.transfer();
        ASSERT_TRUE(await([&] { return tab.localModel()->indexOfName(hostile) >= 0; })) << log->text().toStdString();
        EXPECT_EQ(readAll(local.file("project/transfer/docs/" + hostile)), "hostile");
        std::unique_ptr<QMimeData> drag(tab.remoteModel()->mimeData({tab.remoteModel()->index(tab.remoteModel()->indexOfName("sub"), 0)}));
        EXPECT_FALSE(tab.localModel()->canDropMimeData(drag.get(), Qt::CopyAction, -1, -1, {}) == false);
        EXPECT_TRUE(tab.localModel()->dropMimeData(drag.get(), Qt::CopyAction, -1, -1, {}));
        ASSERT_TRUE(await([&] { return QFile::exists(local.file("project/transfer/docs/sub/inner.txt")); }));
        EXPECT_EQ(readAll(local.file("project/transfer/docs/sub/inner.txt")), "inner");

        // Upload by command and by a drag from outside.
        write(local.file("project/transfer/docs/new.css"), "body{}");
        write(local.file("outside.js"), "x=1");
        tab.refresh();
        ASSERT_TRUE(await([&] { return !tab.changingRemoteDirectory(); }));
        select(tab.localTable(), "new.css");
        tab.transfer();
        QMimeData outside;
        outside.setUrls({QUrl::fromLocalFile(local.file("outside.js"))});
        EXPECT_TRUE(tab.remoteModel()->dropMimeData(&outside, Qt::CopyAction, -1, -1, {}));
        ASSERT_TRUE(await([&] { return tab.remoteModel()->indexOfName("outside.js") >= 0 && tab.remoteModel()->indexOfName("new.css") >= 0; }));
        EXPECT_EQ(readAll(site + "/docs/new.css"), "body{}");
        EXPECT_EQ(readAll(site + "/docs/outside.js"), "x=1");

        // A new folder and a rename on the site; the lists follow the server's answers.
        tab.actionPanelDidEnd("made", 1, true, "mkdir");
        tab.actionPanelDidEnd("../escape", 1, true, "mkdir");
        const int old = tab.remoteModel()->indexOfName("old.txt");
        EXPECT_FALSE(tab.remoteModel()->setData(tab.remoteModel()->index(old, 0), "../out.txt", Qt::EditRole));
        tab.remoteModel()->setData(tab.remoteModel()->index(old, 0), "renamed.txt", Qt::EditRole);
        ASSERT_TRUE(await([&] { return tab.remoteModel()->indexOfName("made") >= 0 && tab.remoteModel()->indexOfName("renamed.txt") >= 0; }));
        EXPECT_TRUE(QFileInfo(site + "/docs/made").isDir());
        EXPECT_EQ(readAll(site + "/docs/renamed.txt"), "old");
        EXPECT_FALSE(QFile::exists(site + "/escape") || QFile::exists(site + "/out.txt"));
        EXPECT_EQ(delegate.errors.size(), 2);

        // Delete on the site only after the question says yes.
        select(tab.remoteTable(), "renamed.txt");
        delegate.answer = 1;  // Cancel
        tab.deleteSelection();
        MainQueue::runUntil([] { return false; }, std::chrono::milliseconds(300));
        EXPECT_TRUE(QFile::exists(site + "/docs/renamed.txt"));
        delegate.answer = 0;
        tab.deleteSelection();
        ASSERT_TRUE(await([&] { return tab.remoteModel()->indexOfName("renamed.txt") < 0; }));
        EXPECT_FALSE(QFile::exists(site + "/docs/renamed.txt"));

        // Going into a folder by its pop-up and back.
        tab.changeToRemoteDirectory("transfer/docs/sub", false);
        ASSERT_TRUE(await([&] { return tab.currentRemotePath() == "transfer/docs/sub"; }));
        EXPECT_EQ(names(tab.remoteModel()), QStringList({"inner.txt"}));
        EXPECT_EQ(tab.remotePopup()->itemText(0), "sub");
        tab.chooseRemoteFile(1);
        ASSERT_TRUE(await([&] { return tab.currentRemotePath() == "transfer/docs"; }));

        // A folder whose name reorders text is named with the control's code in the pop-up, the
        // header, and on the tab of its own; the pop-up still goes to the folder itself.
        tab.changeToRemoteDirectory("transfer/docs/" + posing, false);
        ASSERT_TRUE(await([&] { return tab.currentRemotePath() == "transfer/docs/" + posing; }));
        EXPECT_EQ(names(tab.remoteModel()), QStringList({"in.txt"}));
        EXPECT_EQ(tab.remotePopup()->itemText(0), "d<U+202E>lmth");
        EXPECT_EQ(tab.remotePopup()->itemData(0).toString(), "transfer/docs/" + posing);
        EXPECT_FALSE(tab.remoteHeader()->text().contains(QChar(0x202E))) << tab.remoteHeader()->text().toStdString();
        docs->children(true);
        ASSERT_TRUE(await([&] { return bool(docs->childWithName(posing, false)); }));
        QVTransferModeDocument own(docs->childWithName(posing, false), queue, &delegate);
        EXPECT_EQ(own.displayName(), "Transfer: d<U+202E>lmth");
        EXPECT_EQ(own.titleForLists(), "Transfer: transfer/docs/d<U+202E>lmth");

        queue->closeConnection();
        QDir(site).removeRecursively();
    }
}
