// User scripts run from the editor: output placed by mode as one undo step, nothing changed by
// a failure or an edit made meanwhile, the Scripts menu keeping its own items.
#include "editor/HTMLView.h"
#include "platform/AppBundle.h"
#include "platform/MainQueue.h"
#include "shell/QVStartupItems.h"
#include "tests/support/TestSupport.h"
#include "tools/QVFrontEditor.h"
#include "tools/QVUserScriptRunner.h"

#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QMenu>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

std::shared_ptr<QVUserScriptEntry> entry(const TestDir& dir, const QString& name, const QByteArray& body,
                                         const QString& input, const QString& output) {
    const QString path = dir.write(name, body);
    QFile::setPermissions(path, QFile::ReadOwner | QFile::ExeOwner);
    auto e = std::make_shared<QVUserScriptEntry>();
    e->scriptPath = path;
    e->title = name;
    e->input = input;
    e->output = output;
    return e;
}

QVUserScriptRunner::Outcome runAndWait(HTMLView& view, const std::shared_ptr<QVUserScriptEntry>& e,
                                       const std::function<void()>& meanwhile = {}) {
    bool done = false;
    QVUserScriptRunner::Outcome outcome{};
    QVUserScriptRunner::run(&view, e, [&](QVUserScriptRunner::Outcome o) { outcome = o, done = true; });
    if (meanwhile) meanwhile();
    EXPECT_TRUE(MainQueue::runUntil([&] { return done; }, 30s));
    return outcome;
}

}  // namespace

TEST(UserScriptRunnerTest, OutputIsPlacedByModeAsOneUndoStep) {
    TestDir dir;
    QStringList alerts;
    QVUserScriptRunner::setAlertSink([&](QWidget*, const QString& m, const QString& i) { alerts << m + "|" + i; });
    const QByteArray marked = "#!/bin/sh\nprintf 'a%%%%%%{PBXSelection}%%%%%%b%%%%%%{PBXSelection}%%%%%%c\\n'\n";
    using O = QVUserScriptRunner::Outcome;
    const struct {
        const char* output;
        QString text;
        QVRange selection;
        O outcome;
    } cases[] = {
        {"ReplaceSelection", "0123456789abc!", {11, 1}, O::Placed},
        {"InsertAfterSelection", "0123456789!abc", {12, 1}, O::Placed},
        {"AppendToAllText", "0123456789!abc", {12, 1}, O::Placed},
        {"ReplaceAllText", "abc", {1, 1}, O::Placed},
        {"ReplaceText", "abc", {1, 1}, O::Placed},
        {"Pasteboard", "0123456789!", {10, 0}, O::Placed},
        {"SeparateWindow", "0123456789!", {10, 0}, O::Placed},
        {"Nowhere", "0123456789!", {10, 0}, O::Discarded},
    };
    for (const auto& c : cases) {
        HTMLView view;
        view.setString("0123456789!");
        view.setSelectedRange(QVRange(10, c.output == QString("InsertAfterSelection") ? 1 : 0));
        alerts.clear();
        EXPECT_EQ(runAndWait(view, entry(dir, "m.sh", marked, "None", c.output)), c.outcome) << c.output;
        EXPECT_EQ(view.string(), c.text) << c.output;
        if (c.outcome == O::Placed && view.string() != "0123456789!") {
            EXPECT_EQ(view.selectedRange(), c.selection) << c.output;
            EXPECT_EQ(view.undoManager().undoActionName(), "m.sh");
            view.undo();
            EXPECT_EQ(view.string(), "0123456789!") << c.output;
        }
    }
    // The window and the pasteboard get the output as it is (the final line feed too).
    EXPECT_EQ(QApplication::clipboard()->text(), "a%%%{PBXSelection}%%%b%%%{PBXSelection}%%%c\n");
    HTMLView view;
    view.setString("x");
    alerts.clear();
    runAndWait(view, entry(dir, "w.sh", "#!/bin/sh\nprintf '%%d%%@'\n", {}, "SeparateWindow"));
    EXPECT_EQ(alerts, QStringList({"Output|%d%@"}));
    QVUserScriptRunner::setAlertSink({});

    // The shipped Sort Lines on whole selected lines keeps them apart from the line after; on a
    // selection without a final line feed it adds none.
    const QString sortLines = AppBundle::main().resourcePath() + QStringLiteral("/User Scripts/10-Sort Lines.sh");
    auto sort = std::make_shared<QVUserScriptEntry>();
    sort->scriptPath = sortLines;
    sort->input = QStringLiteral("Selection");
    sort->output = QStringLiteral("ReplaceSelection");
    for (const auto& [selected, expected] : {std::pair<qint64, QString>{16, "apple\nfig\npear\nrest"},
                                             std::pair<qint64, QString>{15, "apple\nfig\npear\nrest"}}) {
        HTMLView sorted;
        sorted.setString("pear\napple\nfig\nrest");
        sorted.setSelectedRange(QVRange(0, selected));
        EXPECT_EQ(runAndWait(sorted, sort), O::Placed);
        EXPECT_EQ(sorted.string(), expected) << selected;
    }
    // A byte that is not UTF-8, kept in the text of a file read as UTF-8, goes through the script
    // as itself and comes back as the same kept byte (it would come back as "?").
    HTMLView kept;
    const QString byte(QChar(0xDCFF));
    kept.setString(QStringLiteral("pear") + byte + QStringLiteral("\napple\nfig\n"));
    kept.setSelectedRange(QVRange(0, kept.length()));
    EXPECT_EQ(runAndWait(kept, sort), O::Placed);
    EXPECT_EQ(kept.string(), QStringLiteral("apple\nfig\npear") + byte + QStringLiteral("\n"));
}

TEST(UserScriptRunnerTest, FailuresAndEditsMeanwhileChangeNothing) {
    TestDir dir;
    QStringList alerts;
    QVUserScriptRunner::setAlertSink([&](QWidget*, const QString& m, const QString& i) { alerts << m + "|" + i; });
    QVUserScript::RunOptions options;
    options.timeoutMs = 500;
    QVUserScriptRunner::setRunOptions(options);
    HTMLView view;
    view.setString("keep me");
    view.setSelectedRange(QVRange(0, 4));
    using O = QVUserScriptRunner::Outcome;
    const struct {
        const char* name;
        QByteArray body;
        const char* alert;
    } failures[] = {
        {"exit.sh", "#!/bin/sh\necho out; echo 'bad input' >&2; exit 1\n", "failed with exit status 1.|bad input"},
        {"hang.sh", "#!/bin/sh\nsleep 20\n", "did not finish within 0.5 seconds"},
        {"latin.pl", "#!/usr/bin/env perl\nprint \"caf\\xe9\";\n", "is not UTF-8 text"},
    };
    for (const auto& f : failures) {
        alerts.clear();
        EXPECT_EQ(runAndWait(view, entry(dir, f.name, f.body, "Selection", "ReplaceSelection")), O::Failed) << f.name;
        EXPECT_EQ(view.string(), "keep me") << f.name;
        ASSERT_EQ(alerts.size(), 1) << f.name;
        EXPECT_TRUE(alerts[0].contains(f.alert)) << alerts[0].toStdString();
    }
    EXPECT_FALSE(view.undoManager().canUndo());

    // Typing while the script runs: its output is dropped and the typing stays.
    QVUserScriptRunner::setRunOptions({});
    const auto slow = entry(dir, "slow.sh", "#!/bin/sh\nsleep 0.3; tr a-z A-Z\n", "Selection", "ReplaceSelection");
    alerts.clear();
    EXPECT_EQ(runAndWait(view, slow, [&] { view.insertText("typed "); }), O::Edited);
    EXPECT_EQ(view.string(), "typed  me");
    EXPECT_EQ(alerts.size(), 1);

    // A view closed while its script runs is left alone.
    auto* doomed = new HTMLView;
    doomed->setString("abc");
    bool done = false;
    O outcome{};
    QVUserScriptRunner::run(doomed, slow, [&](O o) { outcome = o, done = true; });
    delete doomed;
    ASSERT_TRUE(MainQueue::runUntil([&] { return done; }, 30s));
    EXPECT_EQ(outcome, O::Gone);
    QVUserScriptRunner::setAlertSink({});
}

TEST(UserScriptRunnerTest, TheScriptsMenuKeepsItsOwnItemsAndRunsOnTheFrontView) {
    TestDir dir;
    const QString path = dir.write("10-Up.sh", "#!/bin/sh\n# %%%{PBXInput=Selection}%%%\n# %%%{PBXOutput=ReplaceSelection}%%%\ntr a-z A-Z\n");
    QFile::setPermissions(path, QFile::ReadOwner | QFile::ExeOwner);
    dir.write("20-Other.sh", "#!/bin/sh\n# %%%{PBXName=Other}%%%\n");
    QVUserScriptRepository repository(dir.path());
    QMenu menu;
    for (const char* own : {"Reload Scripts", "Open Scripts Folder", "Help"}) menu.addAction(own);
    for (int round = 0; round < 2; ++round) {
        QVUserScriptRunner::reloadMenu(repository, &menu);
        QStringList titles;
        for (QAction* item : menu.actions()) titles << item->text();
        EXPECT_EQ(titles, QStringList({"Up.sh", "Other", "Reload Scripts", "Open Scripts Folder", "Help"}));
    }
    HTMLView view;
    view.setString("make loud");
    QVFrontEditor::setOverride([&] { return &view; });
    // Without a selection the entry that needs one does nothing.
    menu.actions().first()->trigger();
    MainQueue::runUntil([] { return false; }, 300ms);
    EXPECT_EQ(view.string(), "make loud");
    view.setSelectedRange(QVRange(5, 4));
    menu.actions().first()->trigger();
    EXPECT_TRUE(MainQueue::runUntil([&] { return view.string() == "make LOUD"; }, 30s)) << view.string().toStdString();
    QVFrontEditor::setOverride({});
}
