// The multi-file find window over real files and real editor windows (offscreen): the mode
// fallback, the outline as files are reported, replacing what is chosen after asking, the
// local-cache question, chosen files, saved files and a chosen match shown in its editor.
#include "editor/HTMLView.h"
#include "editor/HTMLViewFind.h"
#include "editor/QVFileDocument.h"
#include "editor/windows/QVSingleFileWindowController.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"
#include "shell/LargeFiles.h"
#include "tests/support/TestSupport.h"
#include "tools/QVEditorSearchScopes.h"
#include "tools/QVMultiFileSearchController.h"
#include "tools/QVMultiFileSearchNode.h"
#include "tools/QVSearchLocalCachePromptController.h"
#include "tools/QVSearchResultsOutlineView.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QDir>
#include <QDropEvent>
#include <QListWidget>
#include <QLocale>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QUrl>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Scopes without windows: a front project that may be remote, a tabbed front window or none.
class Scopes : public QVSearchScopes {
public:
    QString root;
    bool windows = false, multiFile = false, remote = false;
    QString frontProjectRootPath() override { return root; }
    bool hasDocumentWindow() override { return windows; }
    bool frontIsMultiFile() override { return multiFile; }
    bool frontProjectHasRemoteSite() override { return remote; }
};

bool waitIdle(QVMultiFileSearchController& c) {
    return MainQueue::runUntil([&] { return !c.searchIsRunning(); }, std::chrono::minutes(1));
}

QMessageBox* openBox(QWidget* window, const QString& name) {
    for (auto* box : window->findChildren<QMessageBox*>(name))
        if (box->isVisible()) return box;
    return nullptr;
}

void click(QMessageBox* box, const QString& title) {
    for (QAbstractButton* b : box->buttons())
        if (b->text() == title) return b->click();
    FAIL() << "no button " << title.toStdString();
}

TEST(MultiFileFind, ModesFallBackSearchIntoTheOutlineAndReplaceWhatIsChosen) {
    TestDir dir;
    for (const char* name : {"a.html", "b/c.css", "d.txt"})
        dir.write(QString::fromLatin1(name), "foo\nbar foo\n");
    dir.write(QStringLiteral("e.txt"), "nothing");
    auto scopes = std::make_shared<Scopes>();
    scopes->root = dir.path();
    QVMultiFileSearchController c(scopes);
    c.setValue(QStringLiteral("foo"), QStringLiteral("searchString"));
    c.window()->show();

    // Without any document window modes 0 to 2 have nothing: the chain ends at 3, whose
    // empty list finishes at once; a tabbed front window offers the project.
    c.setMode(QVMultiFileSearchController::CurrentFile);
    c.updateInterface();
    EXPECT_EQ(c.mode(), QVMultiFileSearchController::SpecificFiles);
    EXPECT_FALSE(c.searchIsRunning());
    EXPECT_TRUE(c.window()->findChild<QWidget*>("SpecificFilesDrawer")->isVisible());
    for (int mode : {0, 1, 2, 3}) EXPECT_EQ(c.modeEnabled(mode), mode == 3) << mode;
    scopes->windows = scopes->multiFile = true;
    for (int mode : {0, 1, 2, 3}) EXPECT_EQ(c.modeEnabled(mode), mode != 2) << mode;

    c.changeMode(QVMultiFileSearchController::CurrentSite);
    ASSERT_TRUE(waitIdle(c));
    EXPECT_FALSE(c.window()->findChild<QWidget*>("SpecificFilesDrawer")->isVisible());
    QVSearchResultsOutlineView* outline = c.outlineView();
    ASSERT_EQ(c.searchResultNodes().size(), 3);
    EXPECT_EQ(c.numberOfResults(), 6u);
    EXPECT_EQ(outline->rowCount(), 9);
    EXPECT_EQ(outline->geometry().originOfRow(2), QVSearchResultsOutlineView::FileRowHeight + QVSearchResultsOutlineView::MatchRowHeight);

    // Three of six chosen: the question names them, and only they are replaced.
    c.setValue(QStringLiteral("X"), QStringLiteral("replaceString"));
    c.setValue(QStringLiteral("bar"), QStringLiteral("searchString"));  // a changed entry picks nothing
    outline->selectRow(1);
    outline->selectRow(2, true);
    outline->selectRow(5, true);
    EXPECT_EQ(outline->selectedCount(), 3);
    EXPECT_TRUE(c.replaceQuestion().contains(QStringLiteral("replace 3 occurrences (out of 6) of \"foo\" with \"X\"")))
        << c.replaceQuestion().toStdString();
    c.replace();
    QMessageBox* ask = openBox(c.window(), "ReplaceConfirmation");
    ASSERT_NE(ask, nullptr);
    EXPECT_EQ(ask->windowModality(), Qt::WindowModal);
    click(ask, "Replace");
    ASSERT_TRUE(waitIdle(c));
    EXPECT_EQ(outline->rowCount(), 0);
    EXPECT_EQ(c.replaceReports().size(), 2);
    QMessageBox* report = openBox(c.window(), "ReplaceReport");
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(report->text(), "Replaced 3 occurrences: 2 files written.");
    // Open documents changed in their editors are told apart from files written: they still
    // need saving.
    EXPECT_EQ(QVMultiFileSearchController::replaceSummary(138, 133, 5, 0, 0),
              "Replaced 138 occurrences: 133 files written, 5 open documents changed and not yet saved.");
    EXPECT_EQ(QVMultiFileSearchController::replaceSummary(1, 0, 1, 2, 1),
              "Replaced 1 occurrence: 0 files written, 1 open document changed and not yet saved; 2 skipped, 1 failed.");
    report->close();
    const QStringList contents = {QString(readAll(dir.file("a.html"))), QString(readAll(dir.file("b/c.css"))),
                                  QString(readAll(dir.file("d.txt")))};
    EXPECT_EQ(contents.join("|"), QStringLiteral("X\nbar X\n|foo\nbar foo\n|foo\nbar X\n")) << contents.join("|").toStdString();

    // Cancelled: nothing changes. With no row selected every match is asked about.
    c.setValue(QStringLiteral("foo"), QStringLiteral("searchString"));
    c.find();
    ASSERT_TRUE(waitIdle(c));
    EXPECT_EQ(c.numberOfResults(), 3u);
    EXPECT_TRUE(c.replaceQuestion().contains("replace 3 occurrences (out of 3)"));
    c.replace();
    click(openBox(c.window(), "ReplaceConfirmation"), "Cancel");
    EXPECT_EQ(c.numberOfResults(), 3u);
    EXPECT_FALSE(c.searchIsRunning());

    // Collapsing leaves the file rows; chosen files are refused while a batch runs.
    c.collapseAll();
    EXPECT_EQ(outline->rowCount(), 2);
    c.expandAll();
    EXPECT_EQ(outline->rowCount(), 5);
    // Dropped file names go above the row they fall on, except while a batch runs.
    auto* table = c.window()->findChild<QListWidget*>();
    auto drop = [&](const QStringList& paths, int row) {
        QMimeData data;
        QList<QUrl> urls;
        for (const QString& p : paths) urls << QUrl::fromLocalFile(p);
        data.setUrls(urls);
        const QPoint at = row < table->count() ? table->visualItemRect(table->item(row)).center() : QPoint(5, table->viewport()->height() - 2);
        // As a drag does it: entering first, which sets where the drop goes.
        QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(table->viewport(), &enter);
        if (!enter.isAccepted()) return false;
        QDropEvent event(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(table->viewport(), &event);
        return event.isAccepted();
    };
    c.find();
    c.setMode(QVMultiFileSearchController::SpecificFiles);  // the list shows
    ASSERT_TRUE(c.searchIsRunning());
    EXPECT_FALSE(drop({dir.file("d.txt")}, 0));
    ASSERT_TRUE(waitIdle(c));
    EXPECT_TRUE(c.specificFilePaths().isEmpty());
    EXPECT_TRUE(drop({dir.file("d.txt"), dir.file("a.html")}, 0));
    EXPECT_TRUE(drop({dir.file("b")}, 1));
    EXPECT_EQ(c.specificFilePaths(), QStringList({dir.file("d.txt"), dir.file("b"), dir.file("a.html")}));
    EXPECT_EQ(table->count(), 3);
}

// A chosen file that cannot be read is listed as not searched, with the reason, when the search
// ends, and so is a folder that cannot be listed; a file on disk whose size opening asks about
// is named, with the memory replacing in it takes, in the question before anything is replaced,
// whose default is then not to.
TEST(MultiFileFind, UnreadFilesAreListedAndLargeFilesAskedAbout) {
    TestDir dir;
    dir.write(QStringLiteral("small.txt"), "foo");
    dir.write(QStringLiteral("large.log"), QByteArray(1536 * 1024, '.') + "foo");
    QVMultiFileSearchController c(std::make_shared<Scopes>());
    c.setValue(QStringLiteral("foo"), QStringLiteral("searchString"));
    c.window()->show();
    c.setMode(QVMultiFileSearchController::SpecificFiles);
    ASSERT_TRUE(c.addSpecificFiles({dir.file("small.txt"), dir.file("gone.txt"), dir.file("large.log")}, 0));
    c.find();
    ASSERT_TRUE(waitIdle(c));
    EXPECT_EQ(c.numberOfResults(), 2u);
    ASSERT_EQ(c.notSearched().size(), 1);
    EXPECT_EQ(c.notSearched()[0].first, dir.file("gone.txt"));
    EXPECT_EQ(c.notSearched()[0].second, QString::fromLocal8Bit(std::strerror(ENOENT)));
    QMessageBox* report = openBox(c.window(), "SearchReport");
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(report->text(), "1 file could not be read and was not searched.");
    EXPECT_TRUE(report->detailedText().contains("Not searched " + dir.file("gone.txt"))) << report->detailedText().toStdString();
    report->close();
    // A folder the walk could not list joins them, told apart (the runner's rows make one).
    c.didNotSearchPath(dir.file("private"), QString::fromLocal8Bit(std::strerror(EACCES)), true);
    c.didFinishAllSearches();
    report = openBox(c.window(), "SearchReport");
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(report->text(), "1 file and 1 folder could not be read and were not searched.");
    EXPECT_TRUE(report->detailedText().contains("Not searched " + dir.file("private") + "/: " + std::strerror(EACCES)))
        << report->detailedText().toStdString();
    report->close();

    UserDefaults& defaults = UserDefaults::standard();
    const QString key = QString::fromLatin1(LargeFiles::SizeKey);
    const struct {
        int megabytes;  // the setting; 0: none (a sixteenth of memory)
        bool named;
    } rows[] = {{1, true}, {2, false}, {0, false}};
    for (const auto& row : rows) {
        if (row.megabytes) defaults.setInteger(row.megabytes, key);
        else defaults.removeObject(key);
        const qint64 size = 1536 * 1024 + 3;
        const QString named = QStringLiteral("\u201clarge.log\u201d is %1. Replacing in it takes about %2 of memory")
                                  .arg(QLocale().formattedDataSize(size), QLocale().formattedDataSize(size * 3));
        EXPECT_EQ(c.replaceQuestion().contains(named), row.named)
            << row.megabytes << ": " << c.replaceQuestion().toStdString();
        EXPECT_FALSE(c.replaceQuestion().contains("small.txt"));
        c.replace();
        QMessageBox* ask = openBox(c.window(), "ReplaceConfirmation");
        ASSERT_NE(ask, nullptr);
        EXPECT_EQ(ask->defaultButton()->text(), row.named ? "Cancel" : "Replace");
        click(ask, "Cancel");
    }
    // Forty large files: the question names each in a field that scrolls, and the alert, its
    // buttons included, stays within the screen.
    defaults.setInteger(1, key);
    TestDir many;
    for (int i = 0; i < 40; ++i) many.write(QStringLiteral("big%1.log").arg(i), QByteArray(1024 * 1024, '.') + "foo");
    QVMultiFileSearchController m(std::make_shared<Scopes>());
    m.setValue(QStringLiteral("foo"), QStringLiteral("searchString"));
    m.window()->show();
    m.setMode(QVMultiFileSearchController::SpecificFiles);
    ASSERT_TRUE(m.addSpecificFiles({many.path()}, 0));
    m.find();
    ASSERT_TRUE(waitIdle(m));
    ASSERT_EQ(m.numberOfResults(), 40u);
    m.replace();
    QMessageBox* ask = openBox(m.window(), "ReplaceConfirmation");
    ASSERT_NE(ask, nullptr);
    QApplication::processEvents();
    EXPECT_LE(ask->height(), ask->screen()->availableGeometry().height());
    const auto* field = ask->findChild<QPlainTextEdit*>(QStringLiteral("alertDetails"));
    ASSERT_NE(field, nullptr);
    EXPECT_EQ(field->toPlainText(), m.replaceQuestion());
    EXPECT_EQ(m.replaceQuestion().count(QStringLiteral("Replacing in it takes")), 40);
    for (QAbstractButton* button : ask->buttons())
        EXPECT_TRUE(ask->rect().contains(QRect(button->mapTo(ask, QPoint(0, 0)), button->size()))) << button->text().toStdString();
    click(ask, "Cancel");
    defaults.removeObject(key);
    EXPECT_EQ(readAll(dir.file("large.log")).right(3), "foo");
}

// A folder the search can list but not enter, the account's own after "chmod -R 644" or another
// account's at 0744, names each of its files in the window's report with the reason rg and grep
// -r give ("Permission denied"), beside a page that is UTF-8 but for a stray byte, found and
// counted. Run as an account the modes keep out (the superuser takes nobody's for the search).
TEST(MultiFileFind, FilesInAFolderThatCannotBeEnteredAreNamedWithTheReason) {
    QTemporaryDir dir(QStringLiteral("/tmp/qorvel-unentered-XXXXXX"));
    const QString root = dir.path() + "/site";
    QDir().mkpath(root + "/own");
    QDir().mkpath(root + "/other");
    const auto write = [](const QString& path, const QByteArray& bytes) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    };
    write(root + "/stray.html", "caf\xC3\xA9 foo \xFF caf\xC3\xA9\n");
    write(root + "/own/a.html", "foo");
    write(root + "/own/b.css", "foo");
    write(root + "/other/c.html", "foo");
    const TestAccount nobody = testAccount("nobody");
    const bool otherAccount = ::geteuid() == 0;
    for (const QString& folder : {dir.path(), root}) ASSERT_EQ(::chmod(QFile::encodeName(folder).constData(), 0755), 0);
    ASSERT_TRUE(makeListedButNotEntered(root + "/own", root + "/other"));

    QVMultiFileSearchController c(std::make_shared<Scopes>());
    c.setValue(QStringLiteral("foo"), QStringLiteral("searchString"));
    c.window()->show();
    c.setMode(QVMultiFileSearchController::SpecificFiles);
    ASSERT_TRUE(c.addSpecificFiles({root}, 0));
    if (nobody) {
        ASSERT_EQ(::seteuid(nobody.uid), 0);
    }
    c.find();
    const bool idle = waitIdle(c);
    if (nobody) {
        ASSERT_EQ(::seteuid(0), 0);
    }
    ASSERT_TRUE(idle);
    EXPECT_EQ(c.numberOfResults(), 1u);
    const QString denied = QString::fromLocal8Bit(std::strerror(EACCES));
    QStringList named;
    for (const auto& [path, reason] : c.notSearched()) named << path.mid(root.size() + 1) + ": " + reason;
    named.sort();
    QStringList expected{"own/a.html: " + denied, "own/b.css: " + denied};
    if (otherAccount) expected.prepend("other/c.html: " + denied);
    EXPECT_EQ(named, expected);
    ASSERT_EQ(c.keptBytes().size(), 1);
    EXPECT_EQ(c.keptBytes()[0], qMakePair(root + "/stray.html", qint64(1)));
    QMessageBox* report = openBox(c.window(), "SearchReport");
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(report->text(), QStringLiteral("%1 files could not be read and were not searched.").arg(expected.size()));
    for (const QString& line : expected)
        EXPECT_TRUE(report->detailedText().contains("Not searched " + root + "/" + line)) << report->detailedText().toStdString();
    EXPECT_TRUE(report->detailedText().contains("Searched as UTF-8 " + root + "/stray.html: 1 byte is not UTF-8 and was kept as it is"))
        << report->detailedText().toStdString();
    report->close();
    ::chmod(QFile::encodeName(root + "/own").constData(), 0700);
    ::chmod(QFile::encodeName(root + "/other").constData(), 0700);
}

TEST(MultiFileFind, ARemoteProjectAsksBeforeSearchingItsLocalCopies) {
    TestDir dir;
    dir.write(QStringLiteral("a.txt"), "foo");
    auto scopes = std::make_shared<Scopes>();
    scopes->root = dir.path();
    scopes->windows = scopes->multiFile = scopes->remote = true;
    UserDefaults& defaults = UserDefaults::standard();
    const QString dontAsk = QString::fromLatin1(QVDontPromptToSearchLocalCache);
    const QString answer = QString::fromLatin1(QVSearchLocalCacheForRemoteProjects);

    const struct {
        bool dontPrompt;
        bool storedAnswer;
        int button;  // -1: no question expected
        bool searched;
    } cases[] = {
        {true, false, -1, false},  // not asked, and the stored answer is no: nothing happens
        {true, true, -1, true},
        {false, true, QVSearchLocalCachePromptController::DontSearchTag, false},
        {false, false, QVSearchLocalCachePromptController::SearchTag, true},
    };
    for (const auto& k : cases) {
        defaults.setBool(k.dontPrompt, dontAsk);
        defaults.setBool(k.storedAnswer, answer);
        QVMultiFileSearchController c(scopes);
        c.setValue(QStringLiteral("foo"), QStringLiteral("searchString"));
        c.setMode(QVMultiFileSearchController::CurrentSite);
        c.window()->show();
        c.find();
        if (k.button >= 0) {
            ASSERT_NE(c.localCachePrompt(), nullptr);
            ASSERT_NE(c.localCachePrompt()->sheet(), nullptr);
            EXPECT_EQ(c.localCachePrompt()->sheet()->windowModality(), Qt::WindowModal);
            EXPECT_FALSE(c.searchIsRunning());
            c.localCachePrompt()->buttonAction(k.button);
            EXPECT_EQ(Defaults::searchLocalCacheForRemoteProjects(), k.button == QVSearchLocalCachePromptController::SearchTag);
        } else {
            EXPECT_EQ(c.localCachePrompt(), nullptr);
        }
        ASSERT_TRUE(waitIdle(c));
        EXPECT_EQ(c.numberOfResults(), k.searched ? 1u : 0u) << k.dontPrompt << k.storedAnswer << k.button;
    }
}

// Real editor windows: the open documents are searched in their editors, a saved file is
// searched again, a chosen match is selected in its editor, and closing the window leaves the
// node with the file on disk.
TEST(MultiFileFind, OpenEditorsAreSearchedAndAChosenMatchIsSelected) {
    TestDir dir;
    const QString one = dir.write(QStringLiteral("one.html"), "<p>foo</p>\n<p>foo</p>\n");
    const QString two = dir.write(QStringLiteral("two.css"), "p { color: red }\n");
    auto first = std::make_unique<QVSingleFileWindowController>(std::make_unique<QVSingleFileDocument>(one));
    auto second = std::make_unique<QVSingleFileWindowController>(std::make_unique<QVSingleFileDocument>(two));
    first->show();
    second->show();
    second->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(second.get()));
    HTMLView* editor = first->currentTextView();
    QVFileDocument* document = first->document();
    // Unsaved typing is what is searched.
    editor->setSelectedRange(QVRange(0, 0));
    editor->insertText(QStringLiteral("foo "));

    QVMultiFileSearchController c(std::make_shared<QVEditorSearchScopes>());
    c.setValue(QStringLiteral("foo"), QStringLiteral("searchString"));
    c.showWindow();
    EXPECT_TRUE(c.modeEnabled(QVMultiFileSearchController::OpenFiles));
    EXPECT_FALSE(c.modeEnabled(QVMultiFileSearchController::CurrentSite));
    c.changeMode(QVMultiFileSearchController::OpenFiles);
    ASSERT_TRUE(waitIdle(c));
    ASSERT_EQ(c.searchResultNodes().size(), 1) << editor->fullString().toStdString() << " " << c.mode() << " " << QVEditorSearchScopes().openDocuments().size();
    EXPECT_EQ(c.numberOfResults(), 3u);
    EXPECT_NE(c.searchResultNodes()[0]->document(), nullptr);

    // The last match chosen: selected in the editor that holds it.
    c.outlineView()->selectRow(3);
    EXPECT_EQ(editor->selectedRange(), QVRange(18, 3));

    // The other file saved with a match: it joins the results.
    second->currentTextView()->setSelectedRange(QVRange(0, 0));
    second->currentTextView()->insertText(QStringLiteral("/* foo */"));
    ASSERT_TRUE(second->document()->save());
    ASSERT_TRUE(waitIdle(c));
    EXPECT_EQ(c.searchResultNodes().size(), 2);
    EXPECT_EQ(c.numberOfResults(), 4u);

    // Closed: the node lets go of the document; the mode falls back once no window is left.
    first->document()->close();
    EXPECT_EQ(c.searchResultNodes()[0]->document(), nullptr);
    (void)document;
    first.reset();
    second->document()->close();
    second.reset();
    c.updateInterface();
    EXPECT_EQ(c.mode(), QVMultiFileSearchController::SpecificFiles);
}

}  // namespace
