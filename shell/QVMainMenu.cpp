#include "shell/QVMainMenu.h"

#include "platform/AppBundle.h"
#include "platform/QVPerform.h"
#include "shell/Defaults.h"
#include "shell/QVNoTextNotice.h"
#include "shell/QVStartupItems.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCoreApplication>
#include <QDialog>
#include <QEvent>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QShortcut>

namespace {

namespace P = QVMainMenuPlace;

// Marks the items installed for every window, so a window's own items go before them.
constexpr const char* SharedItem = "qvSharedMenuItem";

// One entry of a top-level menu: a section (an anchor items are inserted before), a separator,
// or a shared submenu.
struct Entry {
    enum Kind { Section, Separator, Submenu } kind;
    QString name;
    const char* title = nullptr;
};

struct TopMenu {
    QString name;
    const char* title;
    bool shared;  // one QMenu in every bar, filled from files
    std::vector<Entry> entries;
};

const std::vector<TopMenu>& description() {
    static const std::vector<TopMenu> menus = {
        {P::FileMenu, "File", false,
         {{Entry::Section, P::FileNew}, {Entry::Section, P::FileOpen}, {Entry::Separator, {}},
          {Entry::Section, P::FileClose}, {Entry::Section, P::FileSave},
          {Entry::Submenu, P::ReopenWithEncodingMenu, "Reopen with Encoding"}, {Entry::Section, P::FileDocument},
          {Entry::Separator, {}}, {Entry::Section, P::FilePrint}, {Entry::Separator, {}}, {Entry::Section, P::FileQuit}}},
        {P::EditMenu, "Edit", false,
         {{Entry::Section, P::EditMain}, {Entry::Separator, {}}, {Entry::Section, P::EditFind}, {Entry::Separator, {}},
          {Entry::Section, P::EditOther}}},
        {P::ViewMenu, "View", false, {{Entry::Section, P::ViewMain}}},
        {P::TextMenu, "Text", false,
         {{Entry::Section, P::TextMain}, {Entry::Separator, {}}, {Entry::Submenu, P::LineBreakMenu, "Line Breaks"},
          {Entry::Submenu, P::SpecialCharactersMenu, "Special Characters"}, {Entry::Section, P::TextInsert}}},
        {P::GoMenu, "Go", false, {{Entry::Section, P::GoMain}}},
        {P::SnippetsMenu, "Snippets", true, {}},
        {P::ToolsMenu, "Tools", false, {{Entry::Section, P::ToolsMain}}},
        {P::UserScriptsMenu, "Scripts", true, {}},
        {P::WindowMenu, "Window", false, {{Entry::Section, P::WindowMain}, {Entry::Separator, {}}, {Entry::Section, P::WindowPanels}}},
        {P::HelpMenu, "Help", false, {{Entry::Section, P::HelpMain}, {Entry::Separator, {}}, {Entry::Section, P::HelpWeb}}},
    };
    return menus;
}

// A top-level menu shows in the bar only with an item to show, so a window without a Go or
// Tools item has no empty menu.
void refreshVisibility(QMenu* menu) {
    bool any = false;
    for (QAction* item : menu->actions())
        if (!item->isSeparator() && item->isVisible()) any = true;
    menu->menuAction()->setVisible(any);
}

// The anchor of section in bar: a hidden action named after it in one of the bar's menus.
QAction* anchorIn(QMenuBar* bar, const QString& section) {
    if (!bar) return nullptr;
    for (QAction* top : bar->actions())
        if (QMenu* menu = top->menu())
            for (QAction* item : menu->actions())
                if (item->objectName() == section && !item->isVisible()) return item;
    return nullptr;
}

QAction* barAnchor(QMenuBar* bar) {
    for (QAction* top : bar->actions())
        if (top->menu() && top->menu()->objectName() == P::WindowMenu) return top;
    return nullptr;
}

// Gives every window of the application the application's menus and keys as it first shows: a
// main window gets the menu bar; a panel or tool window that leaves the other windows usable
// gets the keys of the shared items (a modal one keeps its keys to itself).
class WindowWatcher : public QObject {
public:
    explicit WindowWatcher(QVMainMenu* menu) : QObject(menu), _menu(menu) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Show || !watched->isWidgetType()) return false;
        auto* widget = static_cast<QWidget*>(watched);
        if (!widget->isWindow()) return false;
        if (auto* window = qobject_cast<QMainWindow*>(widget)) {
            _menu->attach(window);
            return false;
        }
        const Qt::WindowType type = widget->windowType();
        const bool panel = type == Qt::Window || type == Qt::Dialog || type == Qt::Tool;
        auto* dialog = qobject_cast<QDialog*>(widget);
        if (panel && widget->windowModality() == Qt::NonModal && !(dialog && dialog->isModal()) && !widget->property(KeysGiven).toBool()) {
            widget->setProperty(KeysGiven, true);
            // A key the panel uses itself stays the panel's.
            QList<QKeySequence> own;
            for (QAction* action : widget->findChildren<QAction*>()) own << action->shortcuts();
            for (QShortcut* shortcut : widget->findChildren<QShortcut*>()) own << shortcut->keys();
            for (QAction* action : _menu->sharedItems())
                if (!action->shortcut().isEmpty() && !own.contains(action->shortcut())) widget->addAction(action);
        }
        return false;
    }

private:
    static constexpr const char* KeysGiven = "qvApplicationKeys";
    QVMainMenu* _menu;
};

}  // namespace

QVMainMenu& QVMainMenu::shared() {
    static QPointer<QVMainMenu> menu;
    if (!menu) {
        menu = new QVMainMenu;
        // Menus are widgets: they go before the application object tears the GUI down.
        qAddPostRoutine([] { delete menu.data(); });
    }
    return *menu;
}

QVMainMenu::QVMainMenu() {
    for (const TopMenu& top : description()) {
        if (top.shared) {
            auto* menu = new QMenu(QVLocalized(QString::fromLatin1(top.title)));
            menu->setObjectName(top.name);
            menu->installEventFilter(this);
            _sharedMenus.append(menu);
            QVMainMenuPlaces::setMenu(top.name, menu);
            refreshVisibility(menu);
        }
        for (const Entry& entry : top.entries) {
            if (entry.kind != Entry::Submenu) continue;
            auto* menu = new QMenu(QVLocalized(QString::fromLatin1(entry.title)));
            menu->setObjectName(entry.name);
            _sharedMenus.append(menu);
            QVMainMenuPlaces::setMenu(entry.name, menu);
        }
    }
    // The line-break items: the front text converts its breaks; the tick shows QVLineBreak
    // at launch and the last choice afterwards.
    QMenu* lineBreaks = menu(P::LineBreakMenu);
    auto* group = new QActionGroup(lineBreaks);
    int tag = 0;
    for (const char* title : {"LF (Unix)", "CR (Classic Mac OS)", "CR LF (Windows)"}) {
        QAction* item = lineBreaks->addAction(QVLocalized(QString::fromLatin1(title)));
        item->setCheckable(true);
        item->setData(tag++);
        group->addAction(item);
        connect(item, &QAction::triggered, this, [this, item] {
            if (!perform(QStringLiteral("setLineBreakType"), item->data())) QVNoTextNotice::show(item->text());
        });
    }
    QVMainMenuPlaces::tickLineBreak();
    qApp->installEventFilter(new WindowWatcher(this));
    connect(qApp, &QApplication::focusChanged, this, [this] {
        if (QWidget* active = QApplication::activeWindow(); active && qobject_cast<QMainWindow*>(active)) _lastFront = active;
    });
}

QVMainMenu::~QVMainMenu() {
    for (QMenu* menu : _sharedMenus) {
        QVMainMenuPlaces::setMenu(menu->objectName(), nullptr);
        delete menu;
    }
}

void QVMainMenu::build(QMenuBar* bar) {
    for (const TopMenu& top : description()) {
        if (top.shared) {
            bar->addMenu(menu(top.name));
            continue;
        }
        QMenu* own = bar->addMenu(QVLocalized(QString::fromLatin1(top.title)));
        own->setObjectName(top.name);
        for (const Entry& entry : top.entries) {
            if (entry.kind == Entry::Separator) {
                own->addSeparator();
            } else if (entry.kind == Entry::Submenu) {
                own->addMenu(menu(entry.name));
            } else {
                QAction* anchor = own->addAction(QString());
                anchor->setObjectName(entry.name);
                anchor->setVisible(false);
            }
        }
        own->installEventFilter(this);
        refreshVisibility(own);
    }
}

void QVMainMenu::attach(QMainWindow* window) {
    QMenuBar* bar = window->menuBar();
    _bars.removeAll(nullptr);
    if (_bars.contains(bar)) return;
    build(bar);
    _bars.append(bar);
    for (const Installed& installed : _installed)
        if (installed.action) install(bar, installed.section, installed.action);
}

void QVMainMenu::install(QMenuBar* bar, const QString& section, QAction* action) {
    if (section == P::MenuBar) {
        bar->insertAction(barAnchor(bar), action);
        return;
    }
    QAction* anchor = anchorIn(bar, section);
    if (!anchor) return;
    // After the window's own items and the shared ones installed before: right before the anchor.
    for (QAction* top : bar->actions())
        if (QMenu* menu = top->menu(); menu && menu->actions().contains(anchor)) menu->insertAction(anchor, action);
}

void QVMainMenu::insertWindowAction(QMainWindow* window, const QString& section, QAction* action) {
    QMenuBar* bar = window->menuBar();
    QAction* anchor = anchorIn(bar, section);
    if (!anchor) return;
    for (QAction* top : bar->actions()) {
        QMenu* menu = top->menu();
        if (!menu || !menu->actions().contains(anchor)) continue;
        // Before the first shared item of the section, so the window's items lead it.
        const QList<QAction*> items = menu->actions();
        qsizetype at = items.indexOf(anchor);
        while (at > 0 && items[at - 1]->property(SharedItem).toBool()) --at;
        menu->insertAction(items[at], action);
        return;
    }
}

QMenu* QVMainMenu::windowMenu(QMainWindow* window, const QString& place) {
    for (QAction* top : window->menuBar()->actions())
        if (top->menu() && top->menu()->objectName() == place) return top->menu();
    return nullptr;
}

QAction* QVMainMenu::addAction(const QString& section, QAction* action) {
    if (!action || (section != P::MenuBar && !hasSection(section))) return nullptr;
    if (!action->parent()) action->setParent(this);
    action->setProperty(SharedItem, true);
    _installed.push_back({section, action});
    for (const QPointer<QMenuBar>& bar : std::as_const(_bars))
        if (bar) install(bar, section, action);
    return action;
}

void QVMainMenu::removeAction(QAction* action) {
    std::erase_if(_installed, [action](const Installed& installed) { return !installed.action || installed.action == action; });
    if (!action) return;
    for (const QPointer<QMenuBar>& bar : std::as_const(_bars)) {
        if (!bar) continue;
        bar->removeAction(action);
        for (QAction* top : bar->actions())
            if (top->menu()) top->menu()->removeAction(action);
    }
}

QMenu* QVMainMenu::addMenu(const QString& section, const QString& title, const QString& objectName) {
    if (QMenu* existing = menu(objectName)) return existing;
    if (section != P::MenuBar && !hasSection(section)) return nullptr;
    auto* added = new QMenu(title);
    added->setObjectName(objectName);
    _sharedMenus.append(added);
    QVMainMenuPlaces::setMenu(objectName, added);
    addAction(section, added->menuAction());
    return added;
}

QList<QAction*> QVMainMenu::sharedItems() const {
    QList<QAction*> items;
    for (const Installed& installed : _installed)
        if (installed.action) items << installed.action;
    return items;
}

QMenu* QVMainMenu::menu(const QString& place) const {
    for (QMenu* menu : _sharedMenus)
        if (menu->objectName() == place) return menu;
    return nullptr;
}

bool QVMainMenu::hasSection(const QString& section) {
    for (const TopMenu& top : description())
        for (const Entry& entry : top.entries)
            if (entry.kind == Entry::Section && entry.name == section) return true;
    return false;
}

QWidget* QVMainMenu::frontWindow() const {
    if (QWidget* active = QApplication::activeWindow(); active && qobject_cast<QMainWindow*>(active)) return active;
    return _lastFront;
}

bool QVMainMenu::perform(const QString& action, const QVariant& object) {
    QString name = action;
    while (name.endsWith(QLatin1Char(':'))) name.chop(1);
    const QByteArray selector = name.toUtf8();
    if (QWidget* front = frontWindow()) {
        if (_router ? _router(front, selector, object) : QVPerform::tryToPerform(front, selector, object)) return true;
    }
    return _responder && QVPerform::tryToPerform(_responder, selector, object);
}

bool QVMainMenu::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::ActionAdded:
    case QEvent::ActionRemoved:
    case QEvent::ActionChanged:
        if (auto* menu = qobject_cast<QMenu*>(watched)) refreshVisibility(menu);
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}
