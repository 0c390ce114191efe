// A user's first minutes in qorvel's real windows, offscreen: a project opened from its folder,
// files opened from the outline and typed into, Tab kept by the editor in the project window and
// in the tabbed window, completion lists that close when their word is left, and Go to Line.
#include "tests/scenarios/Scenario.h"

#include "app/QVDocumentController.h"
#include "completion/QVCodeCompletionViewController.h"
#include "editor/HTMLView.h"
#include "editor/HTMLViewTypingAids.h"
#include "editor/QVSnippet.h"
#include "editor/QVSnippetRepository.h"
#include "editor/windows/QVDocumentToolbarDelegate.h"
#include "editor/windows/QVMultiFileWindowController.h"
#include "editor/windows/QVSearchField.h"
#include "platform/UserDefaults.h"
#include "projects/windows/QVProjectView.h"
#include "projects/windows/QVProjectWindowController.h"
#include "shell/Defaults.h"
#include "tests/support/TestSupport.h"

#include <QApplication>
#include <QDir>
#include <QTest>

#include <gtest/gtest.h>

using namespace scenario;

namespace {

// A small site: a page, a style sheet and a folder.
void writeSite(const TestDir& dir) {
    dir.write("index.html", "<html>\n<head>\n<style>\n</style>\n</head>\n<body>\n</body>\n</html>\n");
    dir.write("notes.txt", "one\ntwo\nthree\n");
    dir.write("css/site.css", "body { margin: 0; }\n");
}

QVProjectWindowController* openProject(const TestDir& dir) {
    auto* window = qobject_cast<QVProjectWindowController*>(application().openDocumentWithContentsOfFile(dir.path()));
    if (window) bringForward(window);
    return window;
}

HTMLView* focusedEditor() { return qobject_cast<HTMLView*>(QApplication::focusWidget()); }

// Opens name from the outline with a double click and answers its editor, which has the focus.
HTMLView* openFromOutline(QVProjectWindowController* window, const QString& name) {
    QVProjectView* view = outline(window);
    const QModelIndex index = row(view, name, {});
    if (!index.isValid()) return nullptr;
    doubleClick(view, index);
    waitFor([&] { return focusedEditor() != nullptr; }, std::chrono::seconds(2));
    return focusedEditor();
}

// The caret marked by "|" in what the editor holds.
QString withCaret(const HTMLView* view) {
    QString text = view->string();
    return text.insert(view->selectedRange().location, QLatin1Char('|'));
}

}  // namespace

TEST(Scenario, TheOutlineSelectsOnOneClickAndOpensIntoTheEditorOnADoubleClickOrReturn) {
    // The factory value (written once, when the application object is first made; a removed key
    // reads as false).
    UserDefaults::standard().setBool(true, QVProjectWindowController::DoubleClickToOpenFilesKey);
    TestDir dir;
    writeSite(dir);
    QVProjectWindowController* window = openProject(dir);
    ASSERT_NE(window, nullptr);
    QVProjectView* view = outline(window);
    ASSERT_TRUE(waitFor([&] { return row(view, "notes.txt", {}).isValid(); }));

    // One click selects the row and opens nothing: the keys stay with the outline.
    click(view, row(view, "notes.txt", {}));
    EXPECT_EQ(view->currentIndex().data().toString(), "notes.txt");
    EXPECT_TRUE(window->openDocuments().isEmpty());
    EXPECT_EQ(QApplication::focusWidget(), view);

    // A double click opens it, and typing goes into the text.
    HTMLView* notes = openFromOutline(window, "notes.txt");
    ASSERT_NE(notes, nullptr);
    EXPECT_EQ(notes, window->currentTextView());
    type("x");
    EXPECT_TRUE(notes->string().contains("x")) << notes->string().toStdString();

    // Return on a selected row opens it the same way.
    view->setFocus();
    click(view, row(view, "index.html", {}));
    EXPECT_EQ(window->openDocuments().size(), 1);
    key(Qt::Key_Return);
    ASSERT_TRUE(waitFor([&] { return window->openDocuments().size() == 2 && focusedEditor(); }));
    EXPECT_EQ(focusedEditor(), window->currentTextView());
    EXPECT_TRUE(focusedEditor()->path().endsWith("index.html"));

    // Files may open on one click instead: then the keys stay with the outline.
    UserDefaults::standard().setBool(false, QVProjectWindowController::DoubleClickToOpenFilesKey);
    view->setFocus();
    click(view, row(view, "notes.txt", {}));
    EXPECT_TRUE(window->currentTextView()->path().endsWith("notes.txt"));
    EXPECT_EQ(QApplication::focusWidget(), view);
    UserDefaults::standard().setBool(true, QVProjectWindowController::DoubleClickToOpenFilesKey);
    closeEverything();
}

TEST(Scenario, TabIndentsFillsPlaceholdersAndExpandsSnippetsInTheProjectAndTheTabbedWindow) {
    const QString folder = QVSnippetRepository::defaultSnippetsFolder();
    QDir().mkpath(folder);
    {
        QFile marker(folder + "/.Qorvel");
        ASSERT_TRUE(marker.open(QIODevice::WriteOnly));
        QFile snippet(folder + "/Table");
        ASSERT_TRUE(snippet.open(QIODevice::WriteOnly));
        snippet.write(QVSnippet::fileData("# %%%{QVKeywordComplete=table}%%%\n<table>[*cur]</table>"));
    }
    QVSnippetRepository::sharedRepository().reloadSnippets();
    TestDir dir;
    writeSite(dir);
    TestDir loose;
    const QString single = loose.write("loose.txt", "");

    // Once in a project window, once in the tabbed window of a file outside any project.
    for (const bool project : {true, false}) {
        SCOPED_TRACE(project ? "project window" : "tabbed window");
        HTMLView* editor = nullptr;
        QVDocumentWindowController* window = nullptr;
        if (project) {
            auto* projectWindow = openProject(dir);
            ASSERT_NE(projectWindow, nullptr);
            ASSERT_TRUE(waitFor([&] { return row(outline(projectWindow), "notes.txt", {}).isValid(); }));
            editor = openFromOutline(projectWindow, "notes.txt");
            window = projectWindow;
        } else {
            window = qobject_cast<QVMultiFileWindowController*>(application().openDocumentWithContentsOfFile(single));
            ASSERT_NE(window, nullptr) << "a file outside a project opens in the tabbed window";
            bringForward(window);
            editor = window->currentTextView();
            if (editor) editor->setFocus();
        }
        ASSERT_NE(editor, nullptr);
        ASSERT_NE(window->toolbarDelegate(), nullptr);
        QWidget* quickSearch = window->toolbarDelegate()->quickSearchField();
        ASSERT_NE(quickSearch, nullptr);
        ASSERT_EQ(QApplication::focusWidget(), editor);

        editor->setString("");
        type("a");
        key(Qt::Key_Tab);
        EXPECT_EQ(withCaret(editor), "a\t|");
        EXPECT_EQ(QApplication::focusWidget(), editor) << "Tab left the editor";
        EXPECT_FALSE(quickSearch->hasFocus());

        // A placeholder after the caret is the next stop.
        editor->setString("f([*x*], [*y*])");
        editor->setSelectedRange(QVRange(2, 5));
        key(Qt::Key_Tab);
        EXPECT_EQ(editor->selectedRange(), QVRange(9, 5));

        // Shift+Tab takes a step of indentation off the selected lines.
        editor->setString("\ta\n\tb\n");
        editor->setSelectedRange(QVRange(0, 5));
        key(Qt::Key_Backtab, Qt::ShiftModifier);
        EXPECT_EQ(editor->string(), "a\nb\n");
        EXPECT_EQ(QApplication::focusWidget(), editor) << "Shift+Tab left the editor";

        // A snippet's keyword and Tab.
        editor->setString("");
        type("table");
        key(Qt::Key_Tab);
        EXPECT_EQ(withCaret(editor), "<table>|</table>");
        closeEverything();
    }
}

TEST(Scenario, ACompletionListClosesWhenItsWordIsLeft) {
    TestDir dir;
    writeSite(dir);
    QVProjectWindowController* window = openProject(dir);
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(waitFor([&] { return row(outline(window), "index.html", {}).isValid(); }));
    HTMLView* page = openFromOutline(window, "index.html");
    ASSERT_NE(page, nullptr);
    const QVCodeCompletionViewController& list = page->typingAids().completionView();

    // An element accepted from F5, then ">": Return makes a new line, not an attribute.
    const qint64 body = page->string().indexOf("<body>\n") + 7;
    page->setSelectedRange(QVRange(body, 0));
    type("<artic");
    key(Qt::Key_F5);
    ASSERT_TRUE(list.isVisible());
    key(Qt::Key_Return);
    EXPECT_TRUE(page->string().mid(body).startsWith("<article")) << page->string().toStdString();
    type(">");
    EXPECT_FALSE(list.isVisible()) << "the list outlived the tag it was made for";
    key(Qt::Key_Return);
    EXPECT_FALSE(page->string().contains("accesskey")) << page->string().toStdString();

    // A style sheet's list is left with a blank.
    QVProjectView* view = outline(window);
    const QModelIndex css = row(view, "css", {});
    ASSERT_TRUE(css.isValid());
    view->expand(css);
    ASSERT_TRUE(waitFor([&] { return row(view, "site.css", css).isValid(); }));
    doubleClick(view, row(view, "site.css", css));
    ASSERT_TRUE(waitFor([&] { return focusedEditor() && focusedEditor() != page; }));
    HTMLView* sheet = focusedEditor();
    const QVCodeCompletionViewController& sheetList = sheet->typingAids().completionView();
    sheet->setSelectedRange(QVRange(sheet->length(), 0));
    type("p { colo");
    key(Qt::Key_F5);
    ASSERT_TRUE(sheetList.isVisible()) << withCaret(sheet).toStdString();
    type(" ");
    EXPECT_FALSE(sheetList.isVisible());
    key(Qt::Key_Return);
    EXPECT_TRUE(sheet->string().endsWith("p { colo \n")) << withCaret(sheet).toStdString();
    closeEverything();
}

TEST(Scenario, GoToLineLeavesTheCaretOnTheLineItWentTo) {
    TestDir dir;
    writeSite(dir);
    QVProjectWindowController* window = openProject(dir);
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(waitFor([&] { return row(outline(window), "notes.txt", {}).isValid(); }));
    HTMLView* notes = openFromOutline(window, "notes.txt");
    ASSERT_NE(notes, nullptr);
    // Go > Go to Line…: the sheet takes the number, Return goes there.
    window->showGotoLinePanel();
    ASSERT_TRUE(waitFor([] { return QApplication::focusWidget() && QApplication::focusWidget()->window()->objectName() == "GotoLinePanel"; }));
    key(Qt::Key_A, Qt::ControlModifier);
    type("2\n");
    // The window comes forward again as the sheet goes (offscreen nobody brings it back).
    bringForward(window);
    ASSERT_EQ(focusedEditor(), notes);
    EXPECT_EQ(notes->selectedRange(), QVRange(4, 3));
    key(Qt::Key_End);
    type("\nnew");
    EXPECT_EQ(notes->string(), "one\ntwo\nnew\nthree\n");
    closeEverything();
}
