// The document window base and its toolbar: command routing, error presentation, the quick
// search and go-to-line fields, the pop-ups and the kept choice of items.
#include "editor/HTMLView.h"
#include "editor/QVEditorNotifications.h"
#include "editor/QVStatusBar.h"
#include "editor/windows/QVDocumentToolbarDelegate.h"
#include "editor/windows/QVSearchField.h"
#include "editor/windows/QVSingleFileWindowController.h"
#include "platform/NotificationCenter.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"
#include "tests/support/TestSupport.h"

#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QTest>
#include <QToolBar>
#include <QToolButton>

#include <gtest/gtest.h>

namespace {

// A document whose command calls back into its window's routing while it runs, as a command
// does that travels from the document through the editor back to its window.
class NestingDocument : public QVSingleFileDocument {
public:
    using QVSingleFileDocument::QVSingleFileDocument;
    bool tryToPerform(QByteArrayView action, const QVariant& object) override {
        if (action != "probe") return QVSingleFileDocument::tryToPerform(action, object);
        if (++depth > 3) return true;  // without the guard the routing would recurse for ever
        inner << window->tryToPerform("probe") << window->tryToPerform("probe");
        return true;
    }
    QVDocumentWindowController* window = nullptr;
    int depth = 0;
    QList<bool> inner;
};

std::unique_ptr<QVSingleFileWindowController> openWindow(const QString& path) {
    auto window = std::make_unique<QVSingleFileWindowController>(std::make_unique<QVSingleFileDocument>(path));
    window->show();
    window->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(window.get()));
    return window;
}

void settle() {
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
}

TEST(QVDocumentWindowController, RoutesCommandsToTheDocumentsViewThenTheWindowAndNeverLoops) {
    TestDir dir;
    QByteArray text;
    for (int i = 1; i <= 30; ++i) text += "line " + QByteArray::number(i) + "\n";
    const QString path = dir.write(QStringLiteral("lines.txt"), text);
    auto window = openWindow(path);
    QVDocumentToolbarDelegate* toolbar = window->toolbarDelegate();
    ASSERT_NE(toolbar, nullptr);

    // The go-to-line field reaches the editor view through the document.
    toolbar->gotoLineField()->setText(QStringLiteral("12"));
    toolbar->gotoLine();
    EXPECT_EQ(window->currentTextView()->lineNumber(), 12);
    EXPECT_FALSE(window->tryToPerform("noSuchCommand", QStringLiteral("x")));
    // The window's own command, reached when the document has none of that name.
    EXPECT_TRUE(window->tryToPerform("focusOnQuickSearch"));
    EXPECT_TRUE(toolbar->isQuickSearchFocused());
    // Toggling: the field, then the text again.
    window->focusOnQuickSearch();
    EXPECT_TRUE(window->currentTextView()->hasFocus());

    // Nested routing is refused, and the refusal leaves the outer routing in force: the second
    // nested call is refused too (it recursed when the first one cleared the flag).
    auto nestingDocument = std::make_unique<NestingDocument>(path);
    NestingDocument* probe = nestingDocument.get();
    QVSingleFileWindowController nesting(std::move(nestingDocument));
    probe->window = &nesting;
    EXPECT_TRUE(nesting.tryToPerform("probe"));
    EXPECT_EQ(probe->depth, 1);
    EXPECT_EQ(probe->inner, (QList<bool>{false, false}));
    EXPECT_TRUE(nesting.tryToPerform("probe"));  // and the next routing works
    EXPECT_EQ(probe->depth, 2);
}

TEST(QVDocumentWindowController, LowPriorityErrorsGoToTheStatusLineOthersToSheets) {
    auto window = openWindow({});
    QVError quiet = QVError::app(19, QStringLiteral("Written in place"));
    quiet.setUserInfoValue(QString::fromLatin1(QVIsLowPriorityError), true);
    window->presentErrorAlert(quiet);
    settle();
    ASSERT_NE(window->documentStatusBar()->overlayView()->messageView(), nullptr);
    EXPECT_EQ(window->documentStatusBar()->overlayView()->messageView()->message(), QStringLiteral("Written in place"));
    EXPECT_EQ(window->alertManager(), nullptr);
    window->presentErrorAlert(QVError::app(17, QStringLiteral("Could not save")));
    settle();
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text(), QStringLiteral("Could not save"));
    box->buttons().first()->click();
}

TEST(QVDocumentWindowController, QuickSearchFieldKeepsTheFocusWithItsTextSelected) {
    auto window = openWindow({});
    QVSearchField* field = window->toolbarDelegate()->quickSearchField();
    window->focusOnQuickSearch();
    ASSERT_TRUE(field->hasFocus());
    QTest::keyClicks(field, "abc");
    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Tab}) {
        field->deselect();
        QTest::keyClick(field, key);
        EXPECT_TRUE(field->hasFocus()) << key;
        EXPECT_EQ(field->selectedText(), QStringLiteral("abc")) << key;
    }
}

TEST(QVDocumentWindowController, PreferencesPopUpShowsAndTogglesTheKeysAndPostsTheirNotification) {
    auto window = openWindow({});
    QVDocumentToolbarDelegate* toolbar = window->toolbarDelegate();
    QMenu* menu = toolbar->prefsPopUp()->menu();
    UserDefaults& defaults = UserDefaults::standard();
    QStringList posted;
    NotificationCenter& center = NotificationCenter::defaultCenter();
    const auto a = center.addObserver(QString::fromLatin1(QorvelEditorPrefsChange), nullptr, [&](const Notification& n) { posted << n.name; });
    const auto b = center.addObserver(QString::fromLatin1(QorvelCodeFoldingPrefChanged), nullptr, [&](const Notification& n) { posted << n.name; });
    const auto itemWithTag = [&](int tag) {
        for (QAction* item : menu->actions())
            if (!item->isSeparator() && item->data().toInt() == tag) return item;
        return static_cast<QAction*>(nullptr);
    };
    struct Case {
        int tag;
        const char* key;
        const char* notification;
    };
    const Case cases[] = {
        {3, QVLineNums, QorvelCodeFoldingPrefChanged},
        {QVDocumentToolbarDelegate::UseTabsTag, QVUseTabs, QorvelEditorPrefsChange},
        {7, QVWrapText, QorvelEditorPrefsChange},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        const QString key = QString::fromLatin1(c.key);
        defaults.setBool(false, key);
        toolbar->populatePrefs(menu);
        // The tabs item is on while tabs are off.
        EXPECT_EQ(itemWithTag(c.tag)->isChecked(), c.tag == QVDocumentToolbarDelegate::UseTabsTag);
        posted.clear();
        toolbar->selectPreference(itemWithTag(c.tag));
        EXPECT_TRUE(defaults.boolForKey(key));
        EXPECT_EQ(posted, QStringList{QString::fromLatin1(c.notification)});
    }
    center.removeObserver(a);
    center.removeObserver(b);
}

TEST(QVDocumentWindowController, CodeNavigatorListsTheTextsItemsAndShowsTheChosenOne) {
    TestDir dir;
    auto plain = openWindow(dir.write(QStringLiteral("notes.txt"), "nothing to navigate\n"));
    QMenu* menu = plain->toolbarDelegate()->codeNavPopUp()->menu();
    plain->toolbarDelegate()->populateCodeNav(menu);
    ASSERT_EQ(menu->actions().size(), 1);
    EXPECT_EQ(menu->actions()[0]->text(), QStringLiteral("No Items"));
    EXPECT_FALSE(menu->actions()[0]->isEnabled());

    auto script = openWindow(dir.write(QStringLiteral("code.js"), "function alpha() {}\n\n\nfunction beta() {}\n"));
    menu = script->toolbarDelegate()->codeNavPopUp()->menu();
    script->toolbarDelegate()->populateCodeNav(menu);
    QAction* beta = nullptr;
    for (QAction* item : menu->actions())
        if (item->text().contains(QStringLiteral("beta"))) beta = item;
    ASSERT_NE(beta, nullptr) << menu->actions().size();
    script->toolbarDelegate()->selectCodeNavItem(beta);
    EXPECT_EQ(script->currentTextView()->lineNumber(), 4);
}

TEST(QVDocumentWindowController, TheToolbarsItemsAreKeptPerToolbar) {
    auto first = openWindow({});
    QVDocumentToolbarDelegate* toolbar = first->toolbarDelegate();
    EXPECT_EQ(toolbar->itemIdentifiers(), toolbar->toolbarDefaultItemIdentifiers());
    const QStringList chosen{QStringLiteral("goto-line"), QStringLiteral("prefs"), QStringLiteral("quick-search")};
    toolbar->setItemIdentifiers(chosen);
    QStringList onBar;
    for (QAction* action : toolbar->toolbar()->actions()) onBar << action->objectName();
    EXPECT_EQ(onBar, chosen);
    auto second = openWindow({});
    EXPECT_EQ(second->toolbarDelegate()->itemIdentifiers(), chosen);
    // A single-file window always has its document: every control is enabled.
    for (QAction* action : second->toolbarDelegate()->toolbar()->actions()) EXPECT_TRUE(action->isEnabled());
    toolbar->setItemIdentifiers(toolbar->toolbarDefaultItemIdentifiers());
}

// A window that can be without a document, as a tabbed window without tabs.
class EmptyWindow : public QVDocumentWindowController {
public:
    EmptyWindow() { setToolbarDelegate(new QVDocumentToolbarDelegate(this)); }
    std::optional<bool> hasActiveDocument() const override { return false; }
};

TEST(QVDocumentWindowController, WithoutAnActiveDocumentOnlyThePreferencesStayEnabled) {
    EmptyWindow window;
    QVDocumentToolbarDelegate* toolbar = window.toolbarDelegate();
    const QStringList all{QStringLiteral("quick-search"), QStringLiteral("goto-line"), QStringLiteral("code-nav"), QStringLiteral("prefs")};
    toolbar->setItemIdentifiers(all);
    for (const QString& identifier : all)
        EXPECT_EQ(toolbar->itemForIdentifier(identifier)->isEnabled(), identifier == QStringLiteral("prefs")) << identifier.toStdString();
    // Nothing to route to, and no sheet to show for a missing editor.
    EXPECT_FALSE(window.tryToPerform("gotoLineFromString", QStringLiteral("3")));
    window.showGotoLinePanel();
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    toolbar->setItemIdentifiers(toolbar->toolbarDefaultItemIdentifiers());
}

}  // namespace
