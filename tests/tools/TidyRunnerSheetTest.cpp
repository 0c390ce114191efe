// The run sheet over real document windows and the real tidy: what each scope reaches, open pages
// tidied as the editor's text (unsaved edits too, disk untouched), closed pages replaced on disk,
// failures left alone and shown, and the editor's forced run that closes by itself.
#include "editor/HTMLView.h"
#include "editor/QVFileDocument.h"
#include "editor/QVSingleFileDocument.h"
#include "editor/windows/QVMultiFileDocument.h"
#include "editor/windows/QVMultiFileWindowController.h"
#include "editor/windows/QVSingleFileWindowController.h"
#include "platform/MainQueue.h"
#include "projects/QVProject.h"
#include "shell/QVMainMenu.h"
#include "projects/windows/QVProjectWindowController.h"
#include "tests/support/TestSupport.h"
#include "tools/QVTidyRunner.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

const QByteArray page = "<title>t</title><p>x";
const QByteArray errorsPage = "<html><head><title>t</title></head><body><foo>bar</foo></body></html>\n";

std::shared_ptr<QVTidyOperation> wrapOff() {
    auto operation = std::make_shared<QVTidyOperation>();
    operation->setTitle("Wrap off");
    operation->setActions({{"wrap", "0"}});
    return operation;
}

// Runs the sheet on scope and waits for the end; answers the report.
QStringList runScope(QWidget* host, int scope, bool* stayedOpen = nullptr) {
    QPointer<QVTidyRunner> runner = new QVTidyRunner(host);
    runner->displayOnWindow({wrapOff()}, false);
    runner->setScope(scope);
    EXPECT_TRUE(runner->allowRun());
    EXPECT_TRUE(runner->run());
    EXPECT_FALSE(runner->runButton()->isEnabled());
    EXPECT_TRUE(MainQueue::runUntil([&] { return runner->finished(); }, 60s));
    EXPECT_EQ(runner->progressIndicator()->value(), runner->progressIndicator()->maximum());
    const QStringList report = runner->report();
    MainQueue::runUntil([] { return false; }, 50ms);  // the close after the run
    // A clean run closes (and deletes) its sheet; one with failures stays.
    if (stayedOpen) *stayedOpen = runner && runner->isVisible();
    if (runner) runner->close();
    return report;
}

}  // namespace

TEST(TidyRunnerSheetTest, EachScopeReachesItsFilesAndChangesOnlyWhatTidyMade) {
    if (QVTidyRun::tidyProgram().isEmpty()) GTEST_SKIP() << "tidy is not installed";
    QVTidyRunner::install();  // from here on the runner knows which window was in front
    QVTidyRunner::setCloseDelay(0ms);
    TestDir dir;
    const QString openPage = dir.write("site/open.html", page);
    const QString style = dir.write("site/style.css", "p { color: red }\n");
    const QString closedPage = dir.write("site/closed.html", page);
    const QString deepPage = dir.write("site/sub/deep.htm", page);
    const QString errors = dir.write("site/errors.html", errorsPage);
    const QString elsewhere = dir.write("elsewhere.html", page);
    QWidget host;
    host.show();

    QVSingleFileWindowController single(std::make_unique<QVSingleFileDocument>(elsewhere));
    single.show();
    QVMultiFileWindowController tabbed(std::make_unique<QVMultiFileDocument>());
    tabbed.show();
    QVFileDocument* styleDocument = tabbed.openFileAtPath(style);
    QVFileDocument* openDocument = tabbed.openFileAtPath(openPage);
    ASSERT_TRUE(styleDocument && openDocument);
    HTMLView* openView = openDocument->textView();
    openView->setSelectedRange({openView->length(), 0});
    openView->insertText("<b>unsaved");
    QApplication::setActiveWindow(&single);
    QApplication::setActiveWindow(&tabbed);
    ASSERT_EQ(QVTidyRunner::documentWindows().first(), &tabbed);

    // The current file: the front window's document in front, as its text.
    QStringList report = runScope(&host, QVTidyRunner::CurrentFile);
    EXPECT_EQ(report, QStringList({"Tidied open.html"}));
    EXPECT_TRUE(openView->string().contains("<b>unsaved</b>")) << openView->string().toStdString();
    EXPECT_EQ(openView->undoManager().undoActionName(), "HTML Tidy");
    EXPECT_EQ(readAll(openPage), page);

    // The open files of every window, pages only: the style sheet is no page.
    openView->undo();
    report = runScope(&host, QVTidyRunner::OpenFiles);
    report.sort();
    EXPECT_EQ(report, QStringList({"Tidied elsewhere.html", "Tidied open.html"}));
    EXPECT_EQ(styleDocument->textView()->string(), "p { color: red }\n");
    EXPECT_TRUE(single.currentTextView()->string().startsWith("<!DOCTYPE html>"));
    EXPECT_EQ(readAll(elsewhere), page);

    // The site: none in a window without a project; the front project window's folder, with open
    // pages (of any window) in their editor, the others on disk, a page tidy cannot mend left
    // alone and its messages kept in view.
    auto* probe = new QVTidyRunner(&host);
    probe->displayOnWindow({wrapOff()}, false);
    probe->setScope(QVTidyRunner::CurrentSite);
    EXPECT_FALSE(probe->allowRun());
    probe->close();
    QVProjectWindowController projectWindow(QVProject::createWithRootDirectory(dir.file("site"), "Site"));
    projectWindow.show();
    QApplication::setActiveWindow(&projectWindow);
    openView->undo();
    bool stayedOpen = false;
    report = runScope(&host, QVTidyRunner::CurrentSite, &stayedOpen);
    EXPECT_TRUE(stayedOpen);
    ASSERT_EQ(report.size(), 4) << report.join('\n').toStdString();
    EXPECT_EQ(report.mid(0, 3), QStringList({"Tidied open.html", "Tidied closed.html", "Tidied deep.htm"}));
    EXPECT_TRUE(report[3].startsWith("errors.html: ") && report[3].contains("<foo> is not recognized")) << report[3].toStdString();
    EXPECT_EQ(readAll(openPage), page);
    EXPECT_TRUE(openView->string().contains("<b>unsaved</b>"));
    for (const QString& path : {closedPage, deepPage}) EXPECT_TRUE(readAll(path).startsWith("<!DOCTYPE html>")) << path.toStdString();
    EXPECT_EQ(readAll(errors), errorsPage);
    EXPECT_EQ(readAll(style), "p { color: red }\n");
    QApplication::setActiveWindow(&tabbed);

    // Tools > HTML Tidy, filled from the operations folder as it opens, acts on the text in
    // front: a sheet on its window that runs at once and closes by itself.
    openView->undo();
    QMenu* tidyMenu = QVMainMenu::shared().menu("tidyMenu");
    ASSERT_NE(tidyMenu, nullptr);
    Q_EMIT tidyMenu->aboutToShow();
    QAction* indent = nullptr;
    for (QAction* item : tidyMenu->actions())
        if (item->text() == "Indent Markup") indent = item;
    ASSERT_NE(indent, nullptr);
    indent->trigger();
    ASSERT_EQ(tabbed.findChildren<QVTidyRunner*>().size(), 1);
    EXPECT_TRUE(tabbed.findChildren<QVTidyRunner*>().first()->running());
    EXPECT_TRUE(MainQueue::runUntil([&] {
        for (QVTidyRunner* runner : tabbed.findChildren<QVTidyRunner*>())
            if (runner->isVisible()) return false;
        return true;
    }, 60s));
    EXPECT_TRUE(openView->string().contains("<b>unsaved</b>"));
    QVTidyRunner::setCloseDelay(2000ms);
}

TEST(TidyRunnerSheetTest, ASheetOrEditorGoneMidRunLeavesTheWorkerHarmless) {
    if (QVTidyRun::tidyProgram().isEmpty()) GTEST_SKIP() << "tidy is not installed";
    TestDir dir;
    struct Case {
        const char* name;
        bool deleteView, deleteSheet;
    };
    for (const Case c : {Case{"editor closed", true, false}, Case{"sheet and its window closed", false, true}}) {
        SCOPED_TRACE(c.name);
        auto* host = new QWidget;
        host->show();
        auto* view = new HTMLView(dir.write("open.html", page));
        view->setString(QString::fromUtf8(page));
        QPointer<QVTidyRunner> runner = new QVTidyRunner(host);
        runner->displayOnWindow({wrapOff()}, true, view);
        ASSERT_TRUE(runner->running());
        if (c.deleteView) delete view;
        if (c.deleteSheet) delete host;
        EXPECT_TRUE(MainQueue::runUntil([&] { return !runner || runner->finished(); }, 60s));
        if (runner) {
            EXPECT_TRUE(runner->report().isEmpty()) << runner->report().join('\n').toStdString();
        }
        if (!c.deleteView) {
            EXPECT_EQ(view->string(), QString::fromUtf8(page));  // a sheet that is gone applies nothing
            delete view;
        }
        if (!c.deleteSheet) delete host;
    }
    MainQueue::runUntil([] { return false; }, 100ms);  // the worker's last posts find nobody
}
