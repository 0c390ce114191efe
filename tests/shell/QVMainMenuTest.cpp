// The shared menu bar: every window gets the same menus, items installed at a named place reach
// every bar (present and later) after the window's own items there, and menu commands go to the
// front window, then to the application's responder.
#include "shell/QVMainMenu.h"

#include "shell/QVStartupItems.h"

#include <QAction>
#include <QApplication>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>

#include <gtest/gtest.h>

#include <memory>

namespace {

namespace P = QVMainMenuPlace;

// The titles of a menu's visible items, separators as "-", the window's and shared alike.
QStringList titles(const QMenu* menu) {
    QStringList result;
    for (QAction* item : menu->actions())
        if (item->isVisible()) result << (item->isSeparator() ? QStringLiteral("-") : item->text());
    return result;
}

// The menus of the bar by name; hidden ones too with all.
QStringList barTitles(QMainWindow& window, bool all = false) {
    QStringList result;
    for (QAction* top : window.menuBar()->actions())
        if (all || top->isVisible()) result << top->menu()->objectName();
    return result;
}

class Responder : public QObject {
    Q_OBJECT
public:
    QStringList heard;
    Q_INVOKABLE void showTidyPanel() { heard << QStringLiteral("showTidyPanel"); }
    Q_INVOKABLE void insertSpecialCharacter(const QString& entity) { heard << QStringLiteral("app:") + entity; }
};

class FrontWindow : public QMainWindow {
    Q_OBJECT
public:
    QStringList heard;
    Q_INVOKABLE void insertSpecialCharacter(const QString& entity) { heard << entity; }
};

}  // namespace

TEST(QVMainMenu, EveryWindowGetsTheSameMenusAndEveryInstallReachesEachBar) {
    QVMainMenu& menu = QVMainMenu::shared();
    QMainWindow first;
    menu.attach(&first);
    menu.attach(&first);  // a second attach adds nothing
    auto* own = new QAction(QStringLiteral("Save"), &first);
    QVMainMenu::insertWindowAction(&first, P::FileSave, own);

    auto* early = menu.addAction(P::FileSave, new QAction(QStringLiteral("Save All Sites")));
    QMenu* preview = menu.addMenu(P::MenuBar, QStringLiteral("Preview"), QStringLiteral("testPreviewMenu"));
    preview->addAction(QStringLiteral("In Browser"));
    QMainWindow second;
    menu.attach(&second);
    auto* secondOwn = new QAction(QStringLiteral("Save"), &second);
    QVMainMenu::insertWindowAction(&second, P::FileSave, secondOwn);
    auto* late = menu.addAction(P::FileSave, new QAction(QStringLiteral("Save to Site")));

    for (QMainWindow* window : {&first, &second}) {
        SCOPED_TRACE(window == &first ? "attached before the installs" : "attached between them");
        // The window's own item leads its section; shared ones follow in install order.
        const QStringList file = titles(QVMainMenu::windowMenu(window, P::FileMenu));
        const qsizetype save = file.indexOf(QStringLiteral("Save"));
        ASSERT_GE(save, 0) << file.join(QLatin1Char('|')).toStdString();
        EXPECT_EQ(file.mid(save, 3), (QStringList{QStringLiteral("Save"), early->text(), late->text()}));
        EXPECT_TRUE(file.contains(QStringLiteral("Reopen with Encoding")));
        // Shared menus are the very same objects in every bar; added top-level menus sit before Window.
        EXPECT_EQ(QVMainMenu::windowMenu(window, P::SnippetsMenu), menu.menu(P::SnippetsMenu));
        const QStringList bar = barTitles(*window, true);
        EXPECT_EQ(bar.indexOf(QStringLiteral("testPreviewMenu")) + 1, bar.indexOf(P::WindowMenu)) << bar.join(' ').toStdString();
        EXPECT_EQ(barTitles(*window), (QStringList{P::FileMenu, P::TextMenu, QStringLiteral("testPreviewMenu")}));
    }
    // A top-level menu with nothing to show stays out of the bar until an item arrives.
    auto* help = menu.addAction(P::HelpMain, new QAction(QStringLiteral("Qorvel Help")));
    EXPECT_TRUE(barTitles(second).contains(P::HelpMenu));
    help->setVisible(false);
    EXPECT_FALSE(barTitles(first).contains(P::HelpMenu));

    // Places that do not exist install nothing; an existing menu name answers that menu.
    auto* stray = new QAction(QStringLiteral("Stray"));
    EXPECT_EQ(menu.addAction(QStringLiteral("file.nowhere"), stray), nullptr);
    delete stray;
    EXPECT_EQ(menu.addMenu(P::EditOther, QStringLiteral("Again"), QStringLiteral("testPreviewMenu")), preview);
    EXPECT_EQ(menu.addMenu(QStringLiteral("nowhere"), QStringLiteral("X"), QStringLiteral("testNowhere")), nullptr);
    for (const QString& place : {P::ReopenWithEncodingMenu, P::LineBreakMenu, P::SpecialCharactersMenu, P::UserScriptsMenu})
        EXPECT_EQ(QVMainMenuPlaces::menu(place), menu.menu(place)) << place.toStdString();
    EXPECT_EQ(menu.menu(P::LineBreakMenu)->actions().size(), 3);

    // Items added later are gone with their window's bar, and the bar with its window.
    QPointer<QAction> ownItem(own);
    { QMainWindow gone; menu.attach(&gone); }
    EXPECT_EQ(QVMainMenu::windowMenu(&second, P::FileMenu)->actions().count(late), 1);
    for (QAction* action : {early, late, help}) menu.removeAction(action);
    EXPECT_FALSE(titles(QVMainMenu::windowMenu(&first, P::FileMenu)).contains(late->text()));
    EXPECT_TRUE(ownItem);
}

TEST(QVMainMenu, CommandsGoToTheFrontWindowThenTheApplication) {
    QVMainMenu& menu = QVMainMenu::shared();
    Responder app;
    menu.setApplicationResponder(&app);
    menu.setRouter({});
    FrontWindow window;
    menu.attach(&window);
    window.show();
    QApplication::setActiveWindow(&window);
    QApplication::processEvents();

    struct Case {
        const char* action;
        QVariant object;
        bool done;
        QStringList windowHeard, appHeard;
    };
    const Case cases[] = {
        {"insertSpecialCharacter:", QStringLiteral("&amp;"), true, {QStringLiteral("&amp;")}, {}},
        {"showTidyPanel", {}, true, {}, {QStringLiteral("showTidyPanel")}},
        {"noSuchCommand:", {}, false, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.action);
        window.heard.clear();
        app.heard.clear();
        EXPECT_EQ(menu.perform(QString::fromLatin1(c.action), c.object), c.done);
        EXPECT_EQ(window.heard, c.windowHeard);
        EXPECT_EQ(app.heard, c.appHeard);
    }
    // A router decides for the window: one that refuses hands the command to the application.
    menu.setRouter([](QWidget*, QByteArrayView, const QVariant&) { return false; });
    EXPECT_TRUE(menu.perform(QStringLiteral("insertSpecialCharacter"), QStringLiteral("&lt;")));
    EXPECT_EQ(app.heard, QStringList{QStringLiteral("app:&lt;")});
    menu.setRouter({});
    menu.setApplicationResponder(nullptr);
}

#include "QVMainMenuTest.moc"
