// The document toolbar.
#include "editor/windows/QVDocumentToolbarDelegate.h"

#include "editor/HTMLView.h"
#include "editor/QVEditorNotifications.h"
#include "editor/windows/QVDocumentWindowController.h"
#include "editor/windows/QVSearchField.h"
#include "platform/AppBundle.h"
#include "platform/NotificationCenter.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"

#include <QApplication>
#include <QIntValidator>
#include <QLineEdit>
#include <QMenu>
#include <QPixmap>
#include <QToolBar>
#include <QToolButton>

namespace {

QToolButton* pullDown(const QString& title, QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setText(title);
    button->setPopupMode(QToolButton::InstantPopup);
    button->setToolButtonStyle(Qt::ToolButtonTextOnly);
    button->setMenu(new QMenu(button));
    return button;
}

}  // namespace

const QList<QVDocumentToolbarDelegate::Preference>& QVDocumentToolbarDelegate::preferences() {
    static const QList<Preference> list = {
        {QVCodeFoldingEnabled, QorvelCodeFoldingPrefChanged, "Code Folding"},
        {QVHighlightKey, QorvelHighlightingPrefsChange, "Syntax Coloring"},
        {QVShowInvisibles, QorvelEditorPrefsChange, "Show Invisibles"},
        {QVLineNums, QorvelCodeFoldingPrefChanged, "Line Numbers"},
        {QVAutoTabKey, QorvelEditorPrefsChange, "Auto Indent"},
        {QVUseTabs, QorvelEditorPrefsChange, "Single Window Mode"},
        {QVXHTMLTags, QorvelEditorPrefsChange, "XHTML Tags"},
        {QVWrapText, QorvelEditorPrefsChange, "Wrap Text"},
        {QVAutoComplete, QorvelEditorPrefsChange, "Auto Complete"},
        {QVAutoSpecChars, QorvelEditorPrefsChange, "Convert Special Characters"},
    };
    return list;
}

QVDocumentToolbarDelegate::QVDocumentToolbarDelegate(QVDocumentWindowController* windowController)
    : QObject(windowController), _windowController(windowController) {
    // The controls live with the delegate; the toolbar shows them while their items are on it.
    _quickSearchField = new QVSearchField();
    _quickSearchField->setObjectName(QStringLiteral("quickSearchField"));
    _quickSearchField->setPlaceholderText(QVLocalized(QStringLiteral("Quick Search")));
    _quickSearchField->setFixedWidth(180);
    connect(_quickSearchField, &QLineEdit::returnPressed, this, &QVDocumentToolbarDelegate::quickSearch);
    connect(_quickSearchField, &QLineEdit::textEdited, this, &QVDocumentToolbarDelegate::controlTextDidChange);

    _gotoLineField = new QLineEdit();
    _gotoLineField->setObjectName(QStringLiteral("gotoLineField"));
    _gotoLineField->setPlaceholderText(QVLocalized(QStringLiteral("Line")));
    _gotoLineField->setValidator(new QIntValidator(1, std::numeric_limits<int>::max(), _gotoLineField));
    _gotoLineField->setFixedWidth(70);
    connect(_gotoLineField, &QLineEdit::returnPressed, this, &QVDocumentToolbarDelegate::gotoLine);

    _codeNavPopUp = pullDown(QVLocalized(QStringLiteral("Code Navigator")), nullptr);
    _codeNavPopUp->setObjectName(QStringLiteral("codeNavPopUp"));
    connect(_codeNavPopUp->menu(), &QMenu::aboutToShow, this, [this] { populateCodeNav(_codeNavPopUp->menu()); });
    connect(_codeNavPopUp->menu(), &QMenu::triggered, this, &QVDocumentToolbarDelegate::selectCodeNavItem);

    _prefsPopUp = pullDown(QVLocalized(QStringLiteral("Preferences")), nullptr);
    _prefsPopUp->setObjectName(QStringLiteral("prefsPopUp"));
    for (qsizetype tag = 0; tag < preferences().size(); ++tag) {
        QAction* item = _prefsPopUp->menu()->addAction(QVLocalized(QString::fromLatin1(preferences()[tag].title)));
        item->setCheckable(true);
        item->setData(int(tag));
        if (tag == 4 || tag == 5) _prefsPopUp->menu()->insertSeparator(item);
    }
    connect(_prefsPopUp->menu(), &QMenu::aboutToShow, this, [this] { populatePrefs(_prefsPopUp->menu()); });
    connect(_prefsPopUp->menu(), &QMenu::triggered, this, &QVDocumentToolbarDelegate::selectPreference);

    _openFilesPopUp = pullDown(QVLocalized(QStringLiteral("Open Files")), nullptr);
    _openFilesPopUp->setObjectName(QStringLiteral("openFilesPopUp"));
}

QVDocumentToolbarDelegate::~QVDocumentToolbarDelegate() {
    // Controls not on the toolbar have no parent; those on it go with their items.
    for (QWidget* control : std::initializer_list<QWidget*>{_quickSearchField, _gotoLineField, _codeNavPopUp, _prefsPopUp, _openFilesPopUp}) {
        bool owned = false;
        for (QVToolbarItem* item : std::as_const(_cachedItems)) owned = owned || item->view() == control;
        if (!owned) delete control;
    }
}

QStringList QVDocumentToolbarDelegate::toolbarAllowedItemIdentifiers() const {
    return {QStringLiteral("preview"), QStringLiteral("color"), QStringLiteral("quick-search"), QStringLiteral("goto-line"),
            QStringLiteral("code-nav"), QStringLiteral("prefs"), FlexibleSpaceItem, SpaceItem, SeparatorItem};
}

QStringList QVDocumentToolbarDelegate::toolbarDefaultItemIdentifiers() const {
    return {QStringLiteral("preview"), QStringLiteral("color"), FlexibleSpaceItem, QStringLiteral("quick-search"),
            QStringLiteral("code-nav")};
}

bool QVDocumentToolbarDelegate::configureItem(QVToolbarItem* item, const QString& identifier) {
    struct Row {
        const char* identifier;
        const char* label;
        QWidget* view;
    };
    const Row rows[] = {
        {"quick-search", "Quick Search", _quickSearchField},
        {"goto-line", "Goto Line", _gotoLineField},
        {"code-nav", "Code Navigator", _codeNavPopUp},
        {"prefs", "Preferences", _prefsPopUp},
    };
    for (const Row& row : rows) {
        if (identifier != QLatin1String(row.identifier)) continue;
        item->setText(QVLocalized(QString::fromLatin1(row.label)));
        item->setView(row.view);
        return true;
    }
    if (identifier == QLatin1String("preview")) {
        item->setText(QVLocalized(QStringLiteral("Preview")));
        connect(item, &QAction::triggered, this, &QVDocumentToolbarDelegate::preview);
        return true;
    }
    if (identifier == QLatin1String("color")) {
        item->setText(QVLocalized(QStringLiteral("Colors")));
        connect(item, &QAction::triggered, this, &QVDocumentToolbarDelegate::color);
        return true;
    }
    if (identifier == FlexibleSpaceItem || identifier == SpaceItem) {
        auto* spacer = new QWidget();
        if (identifier == FlexibleSpaceItem) spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
        else spacer->setFixedWidth(16);
        item->setView(spacer);
        return true;
    }
    if (identifier == SeparatorItem) {
        item->setSeparator(true);
        return true;
    }
    return false;
}

QVToolbarItem* QVDocumentToolbarDelegate::itemForIdentifier(const QString& identifier) {
    if (QVToolbarItem* cached = _cachedItems.value(identifier)) return cached;
    auto* item = new QVToolbarItem(identifier, this);
    item->setValidator(this);
    if (!configureItem(item, identifier)) {
        delete item;
        return nullptr;
    }
    _cachedItems.insert(identifier, item);
    return item;
}

QString QVDocumentToolbarDelegate::defaultsKey() const {
    return QStringLiteral("QVToolbarItems ") + toolbarIdentifier();
}

QToolBar* QVDocumentToolbarDelegate::toolbar() {
    if (_toolbar) return _toolbar;
    _toolbar = new QToolBar(_windowController);
    _toolbar->setObjectName(toolbarIdentifier());
    _toolbar->setWindowTitle(QVLocalized(QStringLiteral("Toolbar")));
    _toolbar->setMovable(false);
    _toolbar->setToolButtonStyle(Qt::ToolButtonTextOnly);
    _toolbar->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(_toolbar, &QWidget::customContextMenuRequested, this, &QVDocumentToolbarDelegate::showCustomizeMenu);
    // The last choice, keeping only items this toolbar still allows.
    const QStringList allowed = toolbarAllowedItemIdentifiers();
    const QVariant stored = UserDefaults::standard().objectForKey(defaultsKey());
    QStringList chosen = stored.isValid() ? stored.toStringList() : toolbarDefaultItemIdentifiers();
    chosen.removeIf([&](const QString& identifier) { return !allowed.contains(identifier); });
    chosen.removeDuplicates();
    _shown = chosen;
    rebuild();
    return _toolbar;
}

void QVDocumentToolbarDelegate::rebuild() {
    _toolbar->clear();
    for (const QString& identifier : std::as_const(_shown))
        if (QVToolbarItem* item = itemForIdentifier(identifier)) _toolbar->addAction(item);
    validateItems();
}

void QVDocumentToolbarDelegate::setItemIdentifiers(const QStringList& identifiers) {
    _shown = identifiers;
    UserDefaults::standard().setObject(QVariant(identifiers), defaultsKey());
    if (_toolbar) rebuild();
}

void QVDocumentToolbarDelegate::showCustomizeMenu(const QPoint& position) {
    QMenu menu;
    const QStringList allowed = toolbarAllowedItemIdentifiers();
    for (const QString& identifier : allowed) {
        QVToolbarItem* item = itemForIdentifier(identifier);
        if (!item) continue;
        QString label = item->text();
        if (identifier == FlexibleSpaceItem) label = QVLocalized(QStringLiteral("Flexible Space"));
        else if (identifier == SpaceItem) label = QVLocalized(QStringLiteral("Space"));
        else if (identifier == SeparatorItem) label = QVLocalized(QStringLiteral("Separator"));
        QAction* toggle = menu.addAction(label);
        toggle->setCheckable(true);
        toggle->setChecked(_shown.contains(identifier));
        connect(toggle, &QAction::toggled, this, [this, identifier, allowed](bool on) {
            QStringList next = _shown;
            if (!on) {
                next.removeAll(identifier);
            } else {
                // Placed after the last shown item that comes before it in the allowed order.
                qsizetype at = 0;
                for (qsizetype i = 0; i < next.size(); ++i)
                    if (allowed.indexOf(next[i]) < allowed.indexOf(identifier)) at = i + 1;
                next.insert(at, identifier);
            }
            setItemIdentifiers(next);
        });
    }
    menu.addSeparator();
    QAction* reset = menu.addAction(QVLocalized(QStringLiteral("Use Default Items")));
    connect(reset, &QAction::triggered, this, [this] { setItemIdentifiers(toolbarDefaultItemIdentifiers()); });
    menu.exec(_toolbar->mapToGlobal(position));
}

bool QVDocumentToolbarDelegate::validateToolbarItem(const QVToolbarItem* item) const {
    if (item->itemIdentifier() == QLatin1String("prefs") || !_windowController) return true;
    const std::optional<bool> active = _windowController->hasActiveDocument();
    return !active || *active;
}

void QVDocumentToolbarDelegate::validateItems() {
    for (QVToolbarItem* item : std::as_const(_cachedItems)) item->validate();
}

void QVDocumentToolbarDelegate::focusOnQuickSearch() {
    _quickSearchField->setFocus(Qt::ShortcutFocusReason);
    _quickSearchField->selectAll();
}

bool QVDocumentToolbarDelegate::isQuickSearchFocused() const {
    return _quickSearchField->hasFocus();
}

void QVDocumentToolbarDelegate::quickSearch() {
    if (_windowController) _windowController->tryToPerform("quickSearchAgain", _quickSearchField->text());
}

void QVDocumentToolbarDelegate::controlTextDidChange(const QString& text) {
    if (_windowController) _windowController->tryToPerform("quickSearch", text);
}

void QVDocumentToolbarDelegate::gotoLine() {
    if (_windowController) _windowController->tryToPerform("gotoLineFromString", _gotoLineField->text());
}

void QVDocumentToolbarDelegate::preview() {
    if (_windowController) _windowController->tryToPerform("previewInBrowser");
}

void QVDocumentToolbarDelegate::color() {
    if (_windowController) _windowController->tryToPerform("insertColor");
}

void QVDocumentToolbarDelegate::selectCodeNavItem(QAction* item) {
    if (!item || !item->data().isValid() || !_windowController) return;
    const QList<qint64> range = item->data().value<QList<qint64>>();
    if (HTMLView* view = _windowController->currentTextView(); view && range.size() == 2)
        view->showRange(QVRange(range[0], range[1]));
}

void QVDocumentToolbarDelegate::selectPreference(QAction* item) {
    const int tag = item ? item->data().toInt() : -1;
    if (tag < 0 || tag >= preferences().size()) return;
    const Preference& preference = preferences()[tag];
    UserDefaults& defaults = UserDefaults::standard();
    const QString key = QString::fromLatin1(preference.key);
    defaults.setBool(!defaults.boolForKey(key), key);
    NotificationCenter::defaultCenter().post(QString::fromLatin1(preference.notification));
}

void QVDocumentToolbarDelegate::populatePrefs(QMenu* menu) {
    const UserDefaults& defaults = UserDefaults::standard();
    for (QAction* item : menu->actions()) {
        if (item->isSeparator() || !item->data().isValid()) continue;
        const int tag = item->data().toInt();
        const bool on = defaults.boolForKey(QString::fromLatin1(preferences()[tag].key));
        item->setChecked(tag == UseTabsTag ? !on : on);
    }
}

void QVDocumentToolbarDelegate::populateCodeNav(QMenu* menu) {
    menu->clear();
    HTMLView* view = _windowController ? _windowController->currentTextView() : nullptr;
    const QList<QVCodeNavMenuItem> items = view ? view->codeNavItems() : QList<QVCodeNavMenuItem>();
    bool someImages = false, someWithout = false;
    for (const QVCodeNavMenuItem& item : items) {
        if (item.isSeparator()) continue;
        (item.icon().isNull() ? someWithout : someImages) = true;
    }
    QPixmap blank(10, 10);
    blank.fill(Qt::transparent);
    for (const QVCodeNavMenuItem& item : items) {
        if (item.isSeparator()) {
            menu->addSeparator();
            continue;
        }
        QAction* action = menu->addAction(item.title());
        action->setData(QVariant::fromValue(QList<qint64>{item.range().location, item.range().length}));
        // A lone item is shown plainly; otherwise in its own font.
        if (items.size() > 1) action->setFont(item.font());
        // With icons on some items, the others get a blank one so that all titles line up.
        if (!item.icon().isNull()) action->setIcon(QPixmap::fromImage(item.icon()));
        else if (someImages && someWithout) action->setIcon(blank);
    }
    if (menu->actions().isEmpty()) menu->addAction(QVLocalized(QStringLiteral("No Items")))->setEnabled(false);
}
