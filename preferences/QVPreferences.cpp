// The Preferences window: pane list, Show All grid, toolbar, switching and sessions.
#include "preferences/QVPreferences.h"

#include "platform/AppBundle.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"
#include "preferences/QVPrefPane.h"
#include "preferences/QVPrefPanes.h"
#include "shell/Defaults.h"
#include "shell/QVScreenPlacement.h"
#include "shell/QVUnknownFileTypeController.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QFile>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QScreen>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <cmath>

namespace {

QString localized(const char* text) { return QVLocalized(QString::fromUtf8(text)); }
const QString FrameKey = QStringLiteral("QVWindowFrame PrefsWindow");
const QString ToolbarKey = QStringLiteral("PrefsToolbar");
const QString SeparatorIdentifier = QStringLiteral("NSToolbarSeparatorItem");

QIcon applicationIcon() {
    const QString path = AppBundle::main().pathForResource(QStringLiteral("Glimbo"), QStringLiteral("png"), QStringLiteral("Images"));
    return path.isEmpty() ? QIcon() : QIcon(path);
}

}  // namespace

// --- Transition view -------------------------------------------------------------------------------

QVPrefTransitionView::QVPrefTransitionView(QWidget* parent)
    : QWidget(parent), _imageView(new QLabel(this)), _titleField(new QLabel(this)) {
    setObjectName(QStringLiteral("PrefTransitionView"));
    auto* layout = new QVBoxLayout(this);
    layout->addStretch();
    layout->addWidget(_imageView, 0, Qt::AlignHCenter);
    layout->addWidget(_titleField, 0, Qt::AlignHCenter);
    layout->addStretch();
}

void QVPrefTransitionView::setImage(const QIcon& icon) { _imageView->setPixmap(icon.pixmap(32, 32)); }
void QVPrefTransitionView::setTitle(const QString& title) { _titleField->setText(title); }
QString QVPrefTransitionView::title() const { return _titleField->text(); }

// --- Window ----------------------------------------------------------------------------------------

QVPreferences& QVPreferences::sharedInstance() {
    static QVPreferences* shared = [] {
        auto* window = new QVPreferences;
        // Quitting ends an open session first, so the edits of the last session are kept.
        QObject::connect(qApp, &QCoreApplication::aboutToQuit, window, [window] { window->endSession(); });
        return window;
    }();
    return *shared;
}

void QVPreferences::install() {
    QVPrefPanes::registerStandardPanes();
    QVUnknownFileTypeController::setPreferencesPaneHandler(
        [](const QString& identifier) { sharedInstance().showPaneWithIdentifier(identifier); });
}

QVPreferences::QVPreferences(const QString& listPath, QWidget* parent)
    : QMainWindow(parent), _listPath(listPath), _transitionView(new QVPrefTransitionView) {
    setObjectName(QStringLiteral("PrefsWindow"));
    setWindowTitle(localized("Preferences"));
    setAttribute(Qt::WA_DeleteOnClose, false);
    setWindowFlag(Qt::WindowMaximizeButtonHint, false);
    QVScreenPlacement::placeWhenShown(this, [this] { keepTitleBarOnScreen(); });
    auto* content = new QWidget;
    content->setLayout(new QVBoxLayout);
    content->layout()->setContentsMargins(0, 0, 0, 0);
    setCentralWidget(content);
    _toolbar = new QToolBar(this);
    _toolbar->setObjectName(ToolbarKey);
    _toolbar->setMovable(false);
    _toolbar->setFloatable(false);
    _toolbar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    _toolbar->setIconSize(QSize(32, 32));
    _toolbar->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(_toolbar, &QWidget::customContextMenuRequested, this, &QVPreferences::showToolbarMenu);
    addToolBar(Qt::TopToolBarArea, _toolbar);
    _toolbarGroup = new QActionGroup(this);
    _toolbarGroup->setExclusive(true);
    // The window's content until the panes are loaded.
    setContent(_transitionView);
    // The desktop's close keys close it like the title bar's button, which ends the session.
    auto* closeWindow = new QAction(this);
    closeWindow->setShortcut(QKeySequence::Close);
    closeWindow->setShortcutContext(Qt::WindowShortcut);
    connect(closeWindow, &QAction::triggered, this, &QWidget::close);
    addAction(closeWindow);
}

QVPreferences::~QVPreferences() {
    // Pane views are owned by their panes; take them out of the window before it deletes them.
    for (const auto& pane : _panes)
        if (QWidget* view = pane->mainView()) view->setParent(nullptr);
}

QString QVPreferences::paneIdentifier(const QString& name) {
    return AppBundle::main().bundleIdentifier() + QStringLiteral(".prefs.") + name;
}

QStringList QVPreferences::defaultToolbarIdentifiers() const {
    QStringList identifiers{QString::fromLatin1(ShowAllIdentifier), SeparatorIdentifier};
    for (const char* name : {"general", "editing", "files", "colors", "languages"}) identifiers << paneIdentifier(QString::fromLatin1(name));
    return identifiers;
}

QStringList QVPreferences::allowedToolbarIdentifiers() {
    loadPanesIfNeeded();
    QStringList identifiers{QString::fromLatin1(ShowAllIdentifier)};
    for (const auto& pane : _panes) identifiers << pane->identifier();
    return identifiers;
}

QAction* QVPreferences::toolbarAction(const QString& identifier) const {
    for (QAction* action : _toolbar->actions())
        if (action->data().toString() == identifier) return action;
    return nullptr;
}

void QVPreferences::loadPanesIfNeeded() {
    if (_panesLoaded) return;
    _panesLoaded = true;
    const QString path = _listPath.isEmpty()
                             ? AppBundle::main().pathForResource(QStringLiteral("PrefPanes-Glimbo"), QStringLiteral("plist"))
                             : _listPath;
    const QVariantList entries = path.isEmpty() ? QVariantList() : PropertyList::readFile(path).toList();
    _mainView = new QWidget;
    _mainView->setObjectName(QStringLiteral("ShowAllView"));
    for (const QVariant& item : entries) {
        const QVariantMap entry = item.toMap();
        std::unique_ptr<QVPrefPane> pane =
            QVPrefPane::create(entry.value(QStringLiteral("mainClass")).toString(),
                               QVLocalized(entry.value(QStringLiteral("displayName")).toString()));
        if (!pane || pane->icon().isNull()) continue;
        pane->setIdentifier(entry.value(QStringLiteral("identifier")).toString());
        auto* button = new QToolButton(_mainView);
        button->setText(pane->displayName());
        button->setIcon(pane->icon());
        button->setIconSize(QSize(32, 32));
        QFont font = button->font();
        font.setPointSize(11);
        button->setFont(font);
        button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
        button->setAutoRaise(true);
        button->adjustSize();
        const int index = int(_panes.size());
        button->setProperty("tag", index);
        connect(button, &QToolButton::clicked, this, [this, index] { changePane(index); });
        _buttons << button;
        _panes.push_back(std::move(pane));
    }
    // Rows of five, the first row at the top, all buttons as wide as the widest.
    int width = 0;
    for (QToolButton* button : std::as_const(_buttons)) width = std::max(width, button->width());
    const int height = _buttons.isEmpty() ? 0 : _buttons.first()->height();
    const int rows = int(std::ceil(_buttons.size() / double(PanesPerRow)));
    for (int i = 0; i < _buttons.size(); ++i)
        _buttons[i]->setGeometry((i % PanesPerRow) * (width + 3) + 10, (i / PanesPerRow) * (height + 15) + 20, width,
                                 _buttons[i]->height());
    _mainView->resize(PanesPerRow * (width + 3) + 20, rows * (height + 15) + 25);
    buildToolbar();
    if (!_buttons.isEmpty()) setContent(_mainView);
}

void QVPreferences::buildToolbar() {
    _toolbar->clear();
    auto addItem = [this](const QString& identifier, const QString& label, const QIcon& icon, int tag) {
        QAction* action = _toolbar->addAction(icon, label);
        action->setData(identifier);
        action->setObjectName(identifier);
        action->setCheckable(true);
        action->setProperty("tag", tag);
        _toolbarGroup->addAction(action);
        connect(action, &QAction::triggered, this, [this, tag] { changePane(tag); });
    };
    addItem(QString::fromLatin1(ShowAllIdentifier), localized("Show All"), applicationIcon(), -1);
    _toolbar->addSeparator()->setData(SeparatorIdentifier);
    for (int i = 0; i < int(_panes.size()); ++i) addItem(_panes[i]->identifier(), _panes[i]->displayName(), _panes[i]->icon(), i);
    toolbarAction(QString::fromLatin1(ShowAllIdentifier))->setChecked(true);
    applyToolbarConfiguration();
}

void QVPreferences::applyToolbarConfiguration() {
    // The identifiers shown, as the user last left them; the default set until then.
    const QVariant stored = UserDefaults::standard().objectForKey(ToolbarKey);
    QStringList shown = stored.isValid() ? stored.toStringList() : defaultToolbarIdentifiers();
    for (QAction* action : _toolbar->actions()) action->setVisible(shown.contains(action->data().toString()));
}

void QVPreferences::showToolbarMenu(const QPoint& position) {
    QMenu menu(this);
    menu.setObjectName(ToolbarKey);
    for (QAction* item : _toolbar->actions()) {
        if (item->isSeparator()) continue;
        QAction* toggle = menu.addAction(item->text());
        toggle->setCheckable(true);
        toggle->setChecked(item->isVisible());
        connect(toggle, &QAction::toggled, this, [this, item](bool on) {
            item->setVisible(on);
            QStringList shown;
            for (QAction* action : _toolbar->actions())
                if (action->isVisible()) shown << action->data().toString();
            UserDefaults::standard().setObject(shown, ToolbarKey);
        });
    }
    menu.exec(_toolbar->mapToGlobal(position));
}

void QVPreferences::showWindow() {
    loadPanesIfNeeded();
    if (!_inSession) {
        _inSession = true;
        for (const auto& pane : _panes) pane->startSession();
    }
    if (!_positionRestored) {
        _positionRestored = true;
        const QStringList stored = UserDefaults::standard().stringForKey(FrameKey).split(QLatin1Char(' '));
        if (stored.size() == 2) move(stored[0].toInt(), stored[1].toInt());
    }
    show();
    raise();
    activateWindow();
}

void QVPreferences::keepTitleBarOnScreen() {
    const QRect frame = frameGeometry();
    const QScreen* screen = QGuiApplication::screenAt(frame.topLeft() + QPoint(frame.width() / 2, 0));
    const QRect available = screen ? screen->availableGeometry() : QVScreenPlacement::availableArea(this);
    if (available.isEmpty()) return;
    // Enough of the title bar to take hold of it stays on the screen.
    const int grip = std::min(80, available.width() / 4);
    QPoint at = pos();
    if (frame.top() < available.top()) at.ry() += available.top() - frame.top();
    else if (frame.top() > available.bottom() - grip) at.ry() -= frame.top() - (available.bottom() - grip);
    if (frame.right() < available.left() + grip) at.rx() += available.left() + grip - frame.right();
    else if (frame.left() > available.right() - grip) at.rx() -= frame.left() - (available.right() - grip);
    if (at != pos()) move(at);
}

void QVPreferences::showPaneWithIdentifier(const QString& identifier) {
    loadPanesIfNeeded();
    int index = -1;
    for (int i = 0; i < int(_panes.size()); ++i)
        if (_panes[i]->identifier() == identifier) index = i;
    if (index < 0) switchTo(nullptr, {}, {});
    else switchTo(_panes[index].get(), {}, {});
    showWindow();
}

void QVPreferences::changePane(int index) {
    loadPanesIfNeeded();
    if (index < 0 || index >= int(_panes.size())) return switchTo(nullptr, localized("Show All"), applicationIcon());
    QVPrefPane* pane = _panes[index].get();
    switchTo(pane, pane->displayName(), pane->icon());
}

void QVPreferences::switchTo(QVPrefPane* pane, const QString& label, const QIcon& image) {
    if (_currentPane && !_currentPane->allowUnselect()) return;
    if (pane && !pane->allowSelect()) return;
    _transitionView->setTitle(label);
    _transitionView->setImage(image);
    setContent(_transitionView);
    const QString identifier = pane ? pane->identifier() : QString::fromLatin1(ShowAllIdentifier);
    if (QAction* action = toolbarAction(identifier)) action->setChecked(true);
    setWindowTitle(pane ? localized("Preferences %1 %2").arg(QChar(0x2014), pane->displayName()) : localized("Preferences"));
    if (QVPrefPane* old = _currentPane) old->unselect();
    setContent(pane ? pane->mainView() : _mainView.data(), pane);
    _currentPane = pane;
    if (pane) pane->select();
}

void QVPreferences::setContent(QWidget* view, QVPrefPane* pane) {
    if (!view) return;
    QWidget* content = centralWidget();
    auto* layout = static_cast<QVBoxLayout*>(content->layout());
    // A view's own size is the one it had before the window first laid it out; the transition
    // view keeps whatever size the window has.
    if (view != _transitionView && !view->property("qvNaturalSize").isValid()) view->setProperty("qvNaturalSize", view->size());
    QSize size = view == _transitionView ? content->size() : view->property("qvNaturalSize").toSize();
    // Never narrower than the toolbar, whose items would otherwise hide behind its overflow.
    if (view != _mainView && view != _transitionView) size.setWidth(std::max(size.width(), _toolbar->sizeHint().width()));
    while (QLayoutItem* item = layout->takeAt(0)) {
        if (QWidget* widget = item->widget()) widget->hide();
        delete item;
    }
    view->setParent(content);
    layout->addWidget(view);
    view->show();
    // The window takes the new view's size, its top-left corner staying where it is; only a
    // resizable pane lets the user change it, within its bounds.
    const bool resizable = pane && pane->resizable();
    const QPoint topLeft = pos();
    content->setMinimumSize(resizable ? pane->minSize() : size);
    content->setMaximumSize(resizable ? pane->maxSize() : size);
    setMinimumSize(0, 0);
    setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    QMainWindow::layout()->invalidate();
    QMainWindow::layout()->activate();
    // What the toolbar and margins take around the content.
    const QSize chrome = (QMainWindow::layout()->totalMinimumSize() - content->minimumSize()).expandedTo(QSize(0, 0));
    setMinimumSize((resizable ? pane->minSize() : size) + chrome);
    setMaximumSize((resizable ? pane->maxSize() : size) + chrome);
    resize(size + chrome);
    QMainWindow::layout()->activate();
    move(topLeft);
    if (isVisible()) keepTitleBarOnScreen();
}

void QVPreferences::endSession() {
    if (!_inSession) return;
    _inSession = false;
    // Whatever field is being edited hands its text over before the panes save.
    if (_currentPane) QVPrefPane::endEditing(_currentPane->mainView());
    for (const auto& pane : _panes) pane->endSession();
    NotificationCenter::defaultCenter().post(QString::fromLatin1(QorvelPrefsClosed), this);
    UserDefaults::standard().synchronize();
}

void QVPreferences::closeEvent(QCloseEvent* event) {
    endSession();
    QMainWindow::closeEvent(event);
}

void QVPreferences::moveEvent(QMoveEvent* event) {
    QMainWindow::moveEvent(event);
    if (isVisible()) UserDefaults::standard().setString(QStringLiteral("%1 %2").arg(x()).arg(y()), FrameKey);
}
