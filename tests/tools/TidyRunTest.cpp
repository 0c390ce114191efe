// The Tidy runner on real pages with the real tidy program: outcomes by exit code, what is
// applied, the options an operation cannot override, and the editor's undoable replacement.
#include "editor/HTMLView.h"
#include "editor/QVEditorToolSeams.h"
#include "platform/MainQueue.h"
#include "tests/support/TestSupport.h"
#include "tools/QVTidyRunner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

std::shared_ptr<QVTidyOperation> operationWith(const QList<QVTidyAction>& actions) {
    auto operation = std::make_shared<QVTidyOperation>();
    operation->setTitle("Test");
    operation->setActions(actions);
    return operation;
}

const QByteArray unknownElementPage = "<html><head><title>t</title></head><body><foo>bar</foo></body></html>\n";

}  // namespace

TEST(TidyRunTest, OutcomesOnRealPagesFollowTidysExitCode) {
    if (QVTidyRun::tidyProgram().isEmpty()) GTEST_SKIP() << "tidy is not installed";
    TestDir dir;
    QDir().mkpath(dir.file("folder.html"));
    struct Case {
        const char* name;
        QString path;
        QVTidyResult::Status status;
        bool applicable;
        const char* inOutput;  // text the output must hold (nullptr: none expected)
    };
    const QString realPage = QStringLiteral("/usr/share/doc/bc/bc.html");
    QList<Case> cases{
        {"clean page", dir.write("clean.html", "<!DOCTYPE html>\n<html><head><title>t</title></head><body><p>x</p></body></html>\n"),
         QVTidyResult::Clean, true, "<p>x</p>"},
        {"broken but mendable", dir.write("broken.html", "<html><body><p>x<b>y</p>"), QVTidyResult::Warnings, true, "<b>y</b>"},
        {"empty page", dir.write("empty.html", ""), QVTidyResult::Warnings, true, "<body>"},
        {"Latin-1 bytes kept", dir.write("latin1.html", "<title>t</title><p>caf\xe9</p>"), QVTidyResult::Warnings, true,
         "caf\xe9"},
        // "\x95\x5c" has a backslash for its second byte.
        {"Shift_JIS bytes kept", dir.write("sjis.html", "<title>t</title><p>\x83\x65\x83\x58\x83\x67 \x95\x5c</p>"),
         QVTidyResult::Warnings, true, "\x83\x65\x83\x58\x83\x67 \x95\x5c</p>"},
        {"unknown element", dir.write("errors.html", unknownElementPage), QVTidyResult::Errors, false, nullptr},
        {"folder named like a page", dir.file("folder.html"), QVTidyResult::NotRun, false, nullptr},
        {"missing page", dir.file("missing.html"), QVTidyResult::NotRun, false, nullptr},
    };
    if (QFileInfo::exists(realPage)) cases.append({"Debian's bc manual", realPage, QVTidyResult::Warnings, true, "bc"});
    QVTidyRun run({operationWith({{"indent", false}})});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QVTidyResult result = run.tidyFile(c.path);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.applicable(), c.applicable);
        if (c.inOutput) {
            EXPECT_TRUE(result.output.contains(c.inOutput));
        }
        if (!c.applicable) {
            EXPECT_FALSE(result.error.isNull());
        }
        if (c.status == QVTidyResult::Errors) {
            EXPECT_EQ(result.exitCode, 2);
            EXPECT_TRUE(result.messages.contains("<foo> is not recognized")) << result.messages.toStdString();
            EXPECT_TRUE(result.error.localizedRecoverySuggestion().contains("<foo>"));
        }
    }
}

TEST(TidyRunTest, ReplacesAFileOnlyWithAPageKeepingItsModeAndOperationsCannotRedirectIt) {
    if (QVTidyRun::tidyProgram().isEmpty()) GTEST_SKIP() << "tidy is not installed";
    TestDir dir;
    const QString elsewhere = dir.file("elsewhere.html");
    // An operation asking tidy to write back or elsewhere is overruled by the runner.
    QVTidyRun run({operationWith({{"write-back", true}, {"output-file", elsewhere}, {"uppercase-tags", true}}),
                   operationWith({{"uppercase-tags", false}})});
    const QString page = dir.write("page.html", "<html><head><title>t</title></head><body><div><p>x</p></div></body></html>\n");
    ::chmod(QFile::encodeName(page).constData(), 0640);
    const QByteArray before = readAll(page);
    QVTidyResult result = run.tidyFile(page);
    EXPECT_TRUE(result.applicable());
    EXPECT_EQ(readAll(page), before);  // tidyFile never writes
    EXPECT_FALSE(QFileInfo::exists(elsewhere));
    EXPECT_TRUE(result.output.contains("<DIV>")) << result.output.constData();  // the first operation won

    result = run.tidyAndReplaceFile(page);
    ASSERT_TRUE(result.error.isNull()) << result.error.localizedDescription().toStdString();
    EXPECT_EQ(readAll(page), result.output);
    EXPECT_TRUE(readAll(page).startsWith("<!DOCTYPE html>\n<HTML>"));
    struct stat info {};
    ::stat(QFile::encodeName(page).constData(), &info);
    EXPECT_EQ(info.st_mode & 0777, 0640u);

    // Errors: the page stays byte for byte.
    const QString bad = dir.write("bad.html", unknownElementPage);
    result = run.tidyAndReplaceFile(bad);
    EXPECT_EQ(result.status, QVTidyResult::Errors);
    EXPECT_EQ(readAll(bad), unknownElementPage);
    // The arguments put the runner's safeguards after the configuration.
    const QStringList args = QVTidyRun::arguments("C", "O", "I", false);
    EXPECT_LT(args.indexOf("-config"), args.indexOf("--write-back"));
    EXPECT_LT(args.indexOf("-config"), args.indexOf("-o"));
    EXPECT_EQ(args.last(), "I");
}

TEST(TidyRunTest, SiteScopeTakesPagesByExtensionAndStopsWhenCancelled) {
    if (QVTidyRun::tidyProgram().isEmpty()) GTEST_SKIP() << "tidy is not installed";
    TestDir dir;
    const QByteArray page = "<title>t</title><p>x";
    for (const char* name : {"a.html", "b.htm", "c.php", "d.HTML", "sub/e.html", "sub/f.shtml", "errors.html"})
        dir.write(name, name == QByteArrayView("errors.html") ? unknownElementPage : page);
    QFile::link(dir.file("a.html"), dir.file("link.html"));
    QVTidyRun run({operationWith({{"wrap", "0"}})});
    std::atomic<bool> cancelled = false;
    QVTidyRun::TreeReport report = run.tidyTree(dir.path(), cancelled, [&](const QString& path) {
        return path.endsWith("b.htm");  // open in an editor
    });
    EXPECT_EQ(report.replaced, QStringList({dir.file("a.html"), dir.file("sub/e.html")}));
    EXPECT_EQ(report.skipped, QStringList({dir.file("b.htm")}));
    ASSERT_EQ(report.failed.size(), 1);
    EXPECT_EQ(report.failed[0].first, dir.file("errors.html"));
    EXPECT_EQ(readAll(dir.file("errors.html")), unknownElementPage);
    for (const char* untouched : {"b.htm", "c.php", "d.HTML", "sub/f.shtml"}) EXPECT_EQ(readAll(dir.file(untouched)), page) << untouched;
    EXPECT_TRUE(readAll(dir.file("sub/e.html")).startsWith("<!DOCTYPE html>"));
    EXPECT_TRUE(QFileInfo(dir.file("link.html")).isSymLink());

    // Cancelled while the first page is in hand: that page is done, nothing after it.
    for (const char* name : {"a.html", "sub/e.html"}) dir.write(name, page);
    report = run.tidyTree(dir.path(), cancelled, [&](const QString&) {
        cancelled = true;
        return false;
    });
    EXPECT_TRUE(report.cancelled);
    EXPECT_EQ(report.replaced, QStringList({dir.file("a.html")}));
    EXPECT_EQ(readAll(dir.file("sub/e.html")), page);
}

TEST(TidyRunTest, MissingTidyIsReportedAndChangesNothing) {
    TestDir dir;
    const QString page = dir.write("p.html", "<p>x</p>");
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(dir.path()));
    QVTidyRun run({operationWith({{"wrap", "0"}})});
    const QVTidyResult result = run.tidyAndReplaceFile(page);
    qputenv("PATH", path);
    EXPECT_EQ(result.status, QVTidyResult::NotRun);
    EXPECT_EQ(result.error.code(), QVTidyRun::TidyMissingError);
    EXPECT_EQ(readAll(page), "<p>x</p>");
}

TEST(TidyRunTest, EditorTidyReplacesTheTextAsOneUndoStepOnlyWhenItMay) {
    if (QVTidyRun::tidyProgram().isEmpty()) GTEST_SKIP() << "tidy is not installed";
    TestDir dir;
    QStringList alerts;
    QVTidyRunner::setAlertSink([&](QWidget*, const QString& message, const QString& informative) {
        alerts << message + " | " + informative;
    });
    QVTidyRunner::install();
    const auto operation = operationWith({{"indent", false}});

    // Unsaved edits are tidied (the text, not the file), and undo gives them back exactly.
    const QString path = dir.write("page.html", "<p>on disk</p>");
    HTMLView view(path);
    view.setString("<html><head><title>t</title></head><body><p>caf\u00e9 <b>edited</p></body></html>");
    const QString edited = view.string();
    QVTidyRunner::Outcome outcome{};
    bool done = false;
    QVTidyRunner::tidyView(&view, {operation}, [&](QVTidyRunner::Outcome o, const QVTidyResult&) { outcome = o; done = true; });
    ASSERT_TRUE(MainQueue::runUntil([&] { return done; }, 60s));
    EXPECT_EQ(outcome, QVTidyRunner::Outcome::Applied);
    EXPECT_TRUE(view.string().contains("caf\u00e9 <b>edited</b>")) << view.string().toStdString();
    EXPECT_TRUE(view.string().startsWith("<!DOCTYPE html>"));
    EXPECT_EQ(view.undoManager().undoActionName(), "HTML Tidy");
    view.undo();
    EXPECT_EQ(view.string(), edited);
    EXPECT_EQ(readAll(path), "<p>on disk</p>");

    // Typing while tidy runs: the result is dropped and the user told.
    done = false;
    QVTidyRunner::tidyView(&view, {operation}, [&](QVTidyRunner::Outcome o, const QVTidyResult&) { outcome = o; done = true; });
    view.insertText("typed");
    ASSERT_TRUE(MainQueue::runUntil([&] { return done; }, 60s));
    EXPECT_EQ(outcome, QVTidyRunner::Outcome::Edited);
    EXPECT_TRUE(view.string().contains("typed"));

    // Errors: the text stays and tidy's messages are shown.
    view.setString(QString::fromUtf8(unknownElementPage));
    alerts.clear();
    done = false;
    QVTidyRunner::tidyView(&view, {operation}, [&](QVTidyRunner::Outcome o, const QVTidyResult&) { outcome = o; done = true; });
    ASSERT_TRUE(MainQueue::runUntil([&] { return done; }, 60s));
    EXPECT_EQ(outcome, QVTidyRunner::Outcome::Failed);
    EXPECT_EQ(view.string(), QString::fromUtf8(unknownElementPage));
    ASSERT_EQ(alerts.size(), 1);
    EXPECT_TRUE(alerts[0].contains("<foo> is not recognized")) << alerts[0].toStdString();

    // Through the editor's command: an untitled view asks to save first.
    HTMLView untitled;
    untitled.setString("<p>x</p>");
    alerts.clear();
    untitled.performTidy(operation);
    EXPECT_EQ(alerts, QStringList({"File must be saved | Please save your file before running HTML Tidy."}));
    EXPECT_EQ(untitled.string(), "<p>x</p>");
    QVEditorToolSeams::setTidyRunner({});
    QVTidyRunner::setAlertSink({});
}
