// Qorvel's menu bar, described once for the whole application. Linux gives every main window a
// menu bar of its own, so each window builds its bar from this one description (attach): the
// top-level menus are the window's own, holding the window's items at named sections, while the
// application's items and the menus filled from files (special characters, encodings, line
// breaks, snippets, user scripts) are one QAction or QMenu shared by every bar. A subsystem
// installs its items at a named place once (addAction/addMenu) and they appear in every window,
// present and future, without editing the description. docs/ARCHITECTURE.md lists the places.
// Every main window the application shows gets the bar, the ones that do not attach themselves
// (preview, welcome, preferences) as they first show; a panel that is not modal gets the
// shared items' keys.
#pragma once

#include <QByteArrayView>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariant>

#include <functional>
#include <vector>

class QAction;
class QMainWindow;
class QMenu;
class QMenuBar;
class QWidget;

// The named places: top-level menus and shared submenus (found with QVMainMenu::menu) and the
// sections items are installed at (their anchors carry the section's name in each window).
namespace QVMainMenuPlace {
// Top-level menus, in menu-bar order (object names of each window's menus).
inline const QString FileMenu = QStringLiteral("fileMenu");
inline const QString EditMenu = QStringLiteral("editMenu");
inline const QString ViewMenu = QStringLiteral("viewMenu");
inline const QString TextMenu = QStringLiteral("textMenu");
inline const QString GoMenu = QStringLiteral("goMenu");
inline const QString SnippetsMenu = QStringLiteral("snippetsMenu");        // shared, top level
inline const QString ToolsMenu = QStringLiteral("toolsMenu");
inline const QString UserScriptsMenu = QStringLiteral("userScriptsMenu");  // shared, top level
inline const QString WindowMenu = QStringLiteral("windowMenu");
inline const QString HelpMenu = QStringLiteral("helpMenu");
// Shared submenus.
inline const QString ReopenWithEncodingMenu = QStringLiteral("reopenWithEncodingMenu");  // in File
inline const QString LineBreakMenu = QStringLiteral("lineBreakMenu");                    // in Text
inline const QString SpecialCharactersMenu = QStringLiteral("specialCharactersMenu");    // in Text
// Sections, in their menus' order.
inline const QString FileNew = QStringLiteral("file.new");
inline const QString FileOpen = QStringLiteral("file.open");
inline const QString FileClose = QStringLiteral("file.close");
inline const QString FileSave = QStringLiteral("file.save");
inline const QString FileDocument = QStringLiteral("file.document");  // after Reopen with Encoding
inline const QString FilePrint = QStringLiteral("file.print");
inline const QString FileQuit = QStringLiteral("file.quit");
inline const QString EditMain = QStringLiteral("edit.main");
inline const QString EditFind = QStringLiteral("edit.find");
inline const QString EditOther = QStringLiteral("edit.other");
inline const QString ViewMain = QStringLiteral("view.main");
inline const QString TextMain = QStringLiteral("text.main");
inline const QString TextInsert = QStringLiteral("text.insert");  // after Special Characters
inline const QString GoMain = QStringLiteral("go.main");
inline const QString ToolsMain = QStringLiteral("tools.main");
inline const QString WindowMain = QStringLiteral("window.main");
inline const QString WindowPanels = QStringLiteral("window.panels");
inline const QString HelpMain = QStringLiteral("help.main");
inline const QString HelpWeb = QStringLiteral("help.web");
// Top-level menus a subsystem adds (a Preview menu) go into the bar before Window.
inline const QString MenuBar = QStringLiteral("menuBar");
}  // namespace QVMainMenuPlace

class QVMainMenu : public QObject {
    Q_OBJECT
public:
    // The one menu description, made on first use; main thread only. It lives until the
    // application object goes.
    static QVMainMenu& shared();

    // Gives window's menu bar the menus of the description with every shared item installed so
    // far; later installs reach it too. Call once, before the window adds its own items.
    void attach(QMainWindow* window);
    // The window's own item at a section of its bar, before the shared items installed there.
    // Nothing happens for a section the bar lacks (a window that never attached).
    static void insertWindowAction(QMainWindow* window, const QString& section, QAction* action);
    // The window's own top-level menu (FileMenu, EditMenu, ...), or a shared menu by its place.
    static QMenu* windowMenu(QMainWindow* window, const QString& place);

    // Installs a shared item at the end of a section in every bar, now and later. The item is
    // owned by the menu description unless it has a parent. Answers the item, or nothing for
    // an unknown section.
    QAction* addAction(const QString& section, QAction* action);
    // Takes a shared item out of every bar; later windows do not get it.
    void removeAction(QAction* action);
    // A shared submenu titled title at a section (or a top-level menu at MenuBar), findable by
    // objectName with menu() afterwards; an existing place of that name is answered as it is.
    QMenu* addMenu(const QString& section, const QString& title, const QString& objectName);
    // The shared items installed so far (those at MenuBar are menus' items).
    QList<QAction*> sharedItems() const;
    // A shared menu by its place (the submenus above and those added), or nothing.
    QMenu* menu(const QString& place) const;
    // Whether section is a section of the description.
    static bool hasSection(const QString& section);

    // The route of items that act on the front window: the window's own router (set by the
    // layer that knows the windows), then the application's responder; answers whether anyone
    // did it. A trailing ":" of a representation's action name is dropped.
    using Router = std::function<bool(QWidget* window, QByteArrayView action, const QVariant& object)>;
    void setRouter(Router router) { _router = std::move(router); }
    void setApplicationResponder(QObject* responder) { _responder = responder; }
    bool perform(const QString& action, const QVariant& object = {});
    // The window items act on: the active window, else the one last active.
    QWidget* frontWindow() const;

    ~QVMainMenu() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QVMainMenu();
    void install(QMenuBar* bar, const QString& section, QAction* action);
    void build(QMenuBar* bar);

    struct Installed {
        QString section;
        QPointer<QAction> action;
    };
    std::vector<Installed> _installed;
    QList<QPointer<QMenuBar>> _bars;
    QList<QMenu*> _sharedMenus;  // parentless, deleted with the description
    QPointer<QWidget> _lastFront;
    Router _router;
    QPointer<QObject> _responder;
};
