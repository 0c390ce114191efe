// The multi-file find window over real files and real editor windows (offscreen): the mode
// fallback, the outline as files are reported, replacing what is chosen after asking, the
// local-cache question, chosen files, saved files and a chosen match shown in its editor.
#include "editor/HTMLView.h"
#include "editor/HTMLViewFind.h"
#include "editor/QVFileDocument.h"
#include "editor/QVSingleFileDocument.h"
#include "editor/windows/QVSingleFileWindowController.h"
#include "platform/TextEncoding.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"
#include "shell/FileEncodings.h"
#include "shell/LargeFiles.h"
#include "tests/support/TestSupport.h"
#include "tools/QVEditorSearchScopes.h"
#include "tools/QVMultiFileSearchController.h"
#include "tools/QVMultiFileSearchNode.h"
#include "tools/QVSearchLocalCachePromptController.h"
#include "tools/QVSearchResultsOutlineView.h"

#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QFile>
#include <QDir>
#include <QDropEvent>
#include <QListWidget>
#include <QLocale>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProcess>
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
    write(root + "/stray.html", "caf\xC3\xA9 foo \xFF" + QByteArray(" caf\xC3\xA9\n").repeated(16));
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
    EXPECT_TRUE(report->detailedText().contains("Searched as UTF-8 " + root + "/stray.html: holds 1 byte that is not UTF-8, which no search finds"))
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


// Python's bytes.replace(old, new[, count]): left to right, occurrences not overlapping.
QByteArray bytesReplace(const QByteArray& data, const QByteArray& old, const QByteArray& now, qsizetype count = -1) {
    QByteArray out;
    qsizetype from = 0;
    for (qsizetype at = 0; count != 0 && (at = data.indexOf(old, from)) >= 0; --count) {
        out += data.mid(from, at - from) + now;
        from = at + old.size();
    }
    return out + data.mid(from);
}

// What grep -a -o -F counts of text (as UTF-8 bytes) in the file at path.
quint64 grepCount(const QString& path, const QString& text) {
    QProcess grep;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    grep.setProcessEnvironment(environment);
    grep.start(QStringLiteral("grep"), {QStringLiteral("-a"), QStringLiteral("-o"), QStringLiteral("-F"), text, path});
    if (!grep.waitForFinished(120000)) return ~quint64(0);
    return quint64(grep.readAllStandardOutput().count('\n'));
}

QByteArray readBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// One reading of a file for every tool, against the bytes on disk: each shape of file that is
// UTF-8 but for stray bytes, legacy text whose stray bytes pair into UTF-8 by chance, or a page
// that declares its encoding, through the editor (type "é", save), Find (ASCII and not),
// Replace All on the file closed and on it open. The bytes each write leaves are python's
// bytes.replace of the file's own in the encoding the file is read in; a file read in the
// fallback takes only ASCII from either Replace All and asks before a save writes new text;
// what Find counts is what grep -a counts, unless the file is named as read other than as UTF-8.
TEST(MultiFileFind, EveryToolReadsAndWritesAFileInOneEncoding) {
    enum Read { AsUTF8, AsDeclared, InFallback };
    struct Shape {
        QString name;
        QByteArray bytes;
        Read read;
        qint64 kept = 0;  // stray bytes of a file read as UTF-8
    };
    std::vector<Shape> shapes;
    const auto cp1252 = [](const QString& text) { return TextEncoding::encode(text, TextEncoding::WindowsCP1252, false).value_or("?"); };
    QByteArray log;
    for (int i = 0; i < 50; ++i) log += QByteArray::number(1000 + i).mid(1) + " GET /caf\xC3\xA9?q=foo 200\n";
    log.insert(log.indexOf('\n', 20 * 25) + 1, '\xFF');
    shapes.push_back({"app.log", log, AsUTF8, 1});
    shapes.push_back({"marked.log", "\xEF\xBB\xBF" + log, AsUTF8, 1});
    // Too few valid characters to tell by count, but the file says it is UTF-8: its word wins,
    // as a browser reads it.
    shapes.push_back({"declared-utf8.html", "<html><head><meta charset=\"utf-8\"></head><body><p>caf\xC3\xA9 \x92 foo</p></body></html>\n",
                      AsUTF8, 1});
    // A stray byte as the last byte of the read's first piece, of 64 KiB, 1 MiB and 4 MiB.
    for (const qint64 edge : {qint64(64) << 10, qint64(1) << 20, qint64(4) << 20}) {
        const QByteArray line("foo caf\xC3\xA9 na\xC3\xAFve\n");
        QByteArray big = line.repeated((edge - 1) / line.size());
        big += QByteArray(edge - 1 - big.size(), 'g') + '\xFF' + line.repeated(8);
        shapes.push_back({QStringLiteral("edge-%1.log").arg(edge), big, AsUTF8, 1});
    }
    QByteArray crlf = QByteArray("foo caf\xC3\xA9 \xE2\x82\xAC 3\r\n").repeated(40);
    crlf.insert(crlf.size() / 2, '\xA0');
    shapes.push_back({"crlf.txt", crlf, AsUTF8, 1});
    // Short legacy texts, their stray bytes pairing into UTF-8 here and there.
    const char16_t* legacy[] = {
        u"Das war ein \u201eSpa\u00df\u201c, foo.",
        u"Viele Gr\u00fc\u00dfe aus K\u00f6ln \u2013 bis bald, foo J\u00fcrgen.",
        u"Preis: 20 \u20ac \u2013 inkl. MwSt. \u201eGRO\u00df\u201c & foo",
        u"MA\u00df\u2026 und \u00c4rger \u00fcber \u201e\u00d6l\u201c foo.",
        u"Temperatur: 25\u00b0C, foo aus S\u00dcD\u2026",
        u"L\u2019\u00e9t\u00e9 \u00e0 Paris : \u00ab Caf\u00e9 \u00bb, foo br\u00fbl\u00e9e\u2026",
        u"\u00c9COLE \u2013 R\u00e9sum\u00e9 du foo \u00a9 2003",
        u"D\u00c9J\u00c0\u2019 vu, NO\u00cbL\u2019s \u201cf\u00eate\u201d foo.",
        u"El a\u00f1o pasado, Jos\u00e9 dijo: \u201c\u00a1Ol\u00e9!\u201d \u2014 foo Mu\u00f1oz.",
        u"ESPA\u00d1A\u2019 y M\u00c9XICO\u201d \u2013 \u00d1and\u00fa \u00b5 5\u00b0 foo",
        u"Se\u00f1al: \u00bfQu\u00e9 pas\u00f3? Ni\u00f1o\u00a9, foo \u00c1ngel\u00ae.",
        u"Spa\u00df\u201c und Fu\u00df\u201c \u2013 \u00d6\u00b0 GRO\u00df\u201c foo",
        u"\u00c7a co\u00fbte 5 \u00a3, \u00c9T\u00c9\u00b0 foo chaud.",
    };
    for (const char16_t* text : legacy)
        shapes.push_back({QStringLiteral("legacy-%1.txt").arg(shapes.size()), cp1252(QString::fromUtf16(text)), InFallback});
    QByteArray latin1;
    for (int i = 0; i < 20; ++i) latin1 += QByteArray::number(1000 + i).mid(1) + " GET /caf\xE9?q=foo 200\n";
    shapes.push_back({"latin1.log", latin1 + "caf\xC3\xA9 pasted foo\n", InFallback});
    shapes.push_back({"ascii.txt", "It\x92s plain foo text\n", InFallback});
    shapes.push_back({"few.txt", "caf\xC3\xA9 foo caf\xC3\xA9 caf\xC3\xA9 \x92\x93\x94\x96\x85\n", InFallback});
    shapes.push_back({"legacy.html", "<html><body><p>Caf\xE9 cr\xE8me \x96 foo</p></body></html>\n", InFallback});
    shapes.push_back({"declared.html", "<html><head><meta charset=\"windows-1252\"></head><body><p>Caf\xE9 \x93" "foo\x94</p></body></html>\n",
                      AsDeclared});

    const QString e = QStringLiteral("\u00e9"), baer = QStringLiteral("b\u00e4r");
    // The bytes a text gets in a file read the shape's way; nothing where it is refused.
    const auto written = [&](const Shape& shape, const QString& text) -> std::optional<QByteArray> {
        const bool ascii = std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() < 0x80; });
        if (shape.read == AsUTF8 || ascii) return text.toUtf8();
        if (shape.read == AsDeclared) return cp1252(text);
        return std::nullopt;
    };
    for (const Shape& shape : shapes) {
        SCOPED_TRACE(shape.name.toStdString());
        TestDir dir;
        const QString path = dir.write(shape.name, shape.bytes);
        auto scopes = std::make_shared<Scopes>();
        QVMultiFileSearchController closed(scopes);
        closed.window()->show();
        closed.setMode(QVMultiFileSearchController::SpecificFiles);
        ASSERT_TRUE(closed.addSpecificFiles({dir.path()}, 0));
        const auto find = [&](QVMultiFileSearchController& c, const QString& text) {
            for (QMessageBox* box : c.window()->findChildren<QMessageBox*>()) box->close();
            c.setValue(text, QStringLiteral("searchString"));
            c.find();
            return waitIdle(c);
        };

        // Find: ASCII always as grep counts it; other text too, or the file is named with why,
        // a pattern that says text beyond ASCII in ASCII escapes as well.
        const QString cafe = QStringLiteral("caf\\x{e9}");
        for (const QString& text : {QStringLiteral("foo"), e, cafe}) {
            closed.setValue(text == cafe, QStringLiteral("regularExpression"));
            ASSERT_TRUE(find(closed, text));
            const quint64 grep = grepCount(path, text == cafe ? QStringLiteral("caf\u00e9") : text);
            const bool named = std::any_of(closed.readOtherwise().cbegin(), closed.readOtherwise().cend(),
                                           [&](const auto& entry) { return entry.first == path && !entry.second.isEmpty(); });
            if (text != QLatin1String("foo") && shape.read != AsUTF8) {
                EXPECT_TRUE(named || closed.numberOfResults() == grep) << closed.numberOfResults() << " found, grep " << grep;
            } else {
                EXPECT_EQ(closed.numberOfResults(), grep) << text.toStdString();
                EXPECT_FALSE(named);
            }
            // The row says what the file holds; a find says nothing was kept.
            if (text == QLatin1String("foo") && !closed.searchResultNodes().isEmpty()) {
                const QString note = closed.searchResultNodes()[0]->readNote();
                EXPECT_EQ(note, shape.kept ? QStringLiteral("holds %1 byte that is not UTF-8").arg(shape.kept) : QString());
            }
            for (QMessageBox* box : closed.window()->findChildren<QMessageBox*>(QStringLiteral("SearchReport")))
                EXPECT_FALSE(box->detailedText().contains(QLatin1String("kept"))) << box->detailedText().toStdString();
        }
        closed.setValue(false, QStringLiteral("regularExpression"));
        const quint64 foos = grepCount(path, QStringLiteral("foo"));
        ASSERT_GT(foos, 0u);

        // Replace All, the file closed and then open in an editor (saved after), each from the
        // file's own bytes: the question counts what will be replaced.
        for (const bool open : {false, true})
            for (const QString& replacement : {QStringLiteral("bar"), baer}) {
                SCOPED_TRACE((open ? "open, " : "closed, ") + replacement.toStdString());
                dir.write(shape.name, shape.bytes);
                std::unique_ptr<QVSingleFileWindowController> window;
                std::unique_ptr<QVMultiFileSearchController> inEditors;
                if (open) {
                    window = std::make_unique<QVSingleFileWindowController>(std::make_unique<QVSingleFileDocument>(path));
                    window->show();
                    inEditors = std::make_unique<QVMultiFileSearchController>(std::make_shared<QVEditorSearchScopes>());
                    inEditors->window()->show();
                    inEditors->changeMode(QVMultiFileSearchController::OpenFiles);
                    ASSERT_TRUE(waitIdle(*inEditors));
                }
                QVMultiFileSearchController& c = open ? *inEditors : closed;
                ASSERT_TRUE(find(c, QStringLiteral("foo")));
                ASSERT_EQ(c.numberOfResults(), foos);
                // The row says what the file holds, open or closed.
                ASSERT_FALSE(c.searchResultNodes().isEmpty());
                EXPECT_EQ(c.searchResultNodes()[0]->readNote(),
                          shape.kept ? QStringLiteral("holds %1 byte that is not UTF-8").arg(shape.kept) : QString());
                c.setValue(replacement, QStringLiteral("replaceString"));
                const std::optional<QByteArray> now = written(shape, replacement);
                EXPECT_TRUE(c.replaceQuestion().contains(QStringLiteral("replace %1 occurrence").arg(now ? foos : 0)))
                    << c.replaceQuestion().toStdString();
                EXPECT_EQ(c.replaceQuestion().contains(QStringLiteral("will be skipped")), !now) << c.replaceQuestion().toStdString();
                c.replace();
                QMessageBox* ask = openBox(c.window(), "ReplaceConfirmation");
                ASSERT_NE(ask, nullptr);
                click(ask, "Replace");
                ASSERT_TRUE(waitIdle(c));
                ASSERT_TRUE(MainQueue::runUntil([&] { return !c.replaceReports().isEmpty(); }, std::chrono::minutes(1)));
                const QVReplaceReport report = c.replaceReports().value(0);
                EXPECT_EQ(report.outcome, now ? QVReplaceReport::Replaced : QVReplaceReport::Skipped) << report.reason.toStdString();
                EXPECT_EQ(report.reason.isEmpty(), bool(now));
                if (open && now) {
                    EXPECT_TRUE(window->document()->save());
                }
                if (open) {
                    EXPECT_FALSE(window->document()->isDocumentEdited());
                }
                const QByteArray expected = now ? bytesReplace(shape.bytes, "foo", *now) : shape.bytes;
                EXPECT_TRUE(readBytes(path) == expected) << "differs from bytes.replace";
                if (window) {
                    window->document()->close();
                    window.reset();
                }
            }

        // The editor: "é" typed after the first "foo" and saved.
        dir.write(shape.name, shape.bytes);
        {
            QVSingleFileWindowController window(std::make_unique<QVSingleFileDocument>(path));
            window.show();
            HTMLView* editor = window.currentTextView();
            const qsizetype at = editor->fullString().indexOf(QLatin1String("foo"));
            ASSERT_GE(at, 0);
            editor->setSelectedRange(QVRange(at + 3, 0));
            editor->insertText(e);
            QVError error;
            const bool saved = window.document()->save(&error);
            if (const std::optional<QByteArray> now = written(shape, e)) {
                EXPECT_TRUE(saved) << error.localizedDescription().toStdString();
                EXPECT_TRUE(readBytes(path) == bytesReplace(shape.bytes, "foo", "foo" + *now, 1)) << "differs from bytes.replace";
            } else {
                // Asked first, naming the bytes it would write; nothing written until answered.
                EXPECT_FALSE(saved);
                EXPECT_EQ(error.code(), QVFileDocument::MisreadTextGetsNewCharactersQuestion);
                EXPECT_TRUE(error.localizedDescription().contains(QLatin1String("8E"))) << error.localizedDescription().toStdString();
                EXPECT_TRUE(readBytes(path) == shape.bytes);
                bool recovered = false;
                window.document()->attemptRecovery(error, 2, [&](bool ok) { recovered = ok; });
                EXPECT_TRUE(recovered);
                EXPECT_TRUE(readBytes(path) == bytesReplace(shape.bytes, "foo", "foo\x8E", 1));
            }
            // A kept byte copied into a valid UTF-8 document goes there as the U+FFFD it shows
            // (the file stays valid); cut and pasted within its own text it stays the byte.
            if (shape.kept) {
                const QString clean = dir.write(QStringLiteral("clean.txt"), "caf\xC3\xA9\n");
                QVSingleFileWindowController other(std::make_unique<QVSingleFileDocument>(clean));
                other.show();
                const QString full = editor->fullString();
                const qsizetype k = std::find_if(full.cbegin(), full.cend(), [](QChar c) { return c.unicode() >= 0xDC80 && c.unicode() <= 0xDCFF; }) - full.cbegin();
                ASSERT_LT(k, full.size());
                QByteArray before;
                ASSERT_TRUE(FileEncodings::appendUTF8KeepingBytes(&before, QStringView(full).left(k)));
                editor->setSelectedRange(QVRange(k, 1));
                editor->copy();
                // Other programs get what it shows as.
                EXPECT_EQ(QApplication::clipboard()->text(), QString(QChar::ReplacementCharacter));
                other.currentTextView()->setSelectedRange(QVRange(0, 0));
                other.currentTextView()->paste();
                EXPECT_TRUE(other.document()->save(&error)) << error.localizedDescription().toStdString();
                EXPECT_TRUE(readBytes(clean) == "\xEF\xBF\xBD" "caf\xC3\xA9\n") << readBytes(clean).toHex(' ').toStdString();
                other.document()->close();
                // A byte-order mark is the file's, ahead of the text.
                const qsizetype mark = shape.bytes.startsWith("\xEF\xBB\xBF") ? 3 : 0;
                QByteArray moved = readBytes(path);
                const char stray = moved.at(mark + before.size());
                moved.remove(mark + before.size(), 1);
                moved.insert(mark, stray);
                editor->cut();
                editor->setSelectedRange(QVRange(0, 0));
                editor->paste();
                EXPECT_TRUE(window.document()->save(&error)) << error.localizedDescription().toStdString();
                EXPECT_TRUE(readBytes(path) == moved) << "the kept byte moved";
                // Saved as windows-1252, which has no place for it: asked first, naming the byte.
                const QString copy = dir.path() + QStringLiteral("/copy-1252.txt");
                editor->setStringEncoding(TextEncoding::WindowsCP1252);
                EXPECT_FALSE(window.document()->saveAs(copy, &error));
                EXPECT_EQ(error.code(), QVFileDocument::EncodingCannotHoldTextQuestion);
                EXPECT_TRUE(error.localizedRecoverySuggestion().contains(QStringLiteral("the byte ") + QString::number(quint8(stray), 16).toUpper() +
                                                                     QStringLiteral(", which is not UTF-8")))
                    << error.localizedRecoverySuggestion().toStdString();
                EXPECT_FALSE(QFile::exists(copy));
                editor->setStringEncoding(TextEncoding::UTF8);
            }
            window.document()->close();
        }
        // Reopen with Encoding: a file read in the fallback, reopened in the encoding it is in,
        // takes "é" as that encoding's byte; one read as UTF-8 reopened as UTF-8 reads the same.
        dir.write(shape.name, shape.bytes);
        {
            QVSingleFileWindowController window(std::make_unique<QVSingleFileDocument>(path));
            window.show();
            const QVStringEncoding in = shape.read == AsUTF8 ? TextEncoding::UTF8 : TextEncoding::WindowsCP1252;
            QVError error, notice;
            ASSERT_TRUE(window.document()->reopenUsingEncoding(in, &error, &notice)) << error.localizedDescription().toStdString();
            HTMLView* editor = window.currentTextView();
            editor->setSelectedRange(QVRange(editor->fullString().indexOf(QLatin1String("foo")) + 3, 0));
            editor->insertText(e);
            EXPECT_TRUE(window.document()->save(&error)) << error.localizedDescription().toStdString();
            const QByteArray typed = shape.read == AsUTF8 ? e.toUtf8() : cp1252(e);
            EXPECT_TRUE(readBytes(path) == bytesReplace(shape.bytes, "foo", "foo" + typed, 1)) << "differs from bytes.replace";
            window.document()->close();
        }
    }
}


}  // namespace
