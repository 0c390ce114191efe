#include "shell/QVStartupItemsController.h"
#include "platform/Threads.h"

#include "platform/AppBundle.h"
#include "platform/PropertyList.h"
#include "platform/SystemLog.h"
#include "shell/QVSetupConfigurationDirectories.h"

#include <QDialog>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMutex>
#include <QPushButton>

#include <future>
#include <thread>

namespace {

struct Registry {
    QMutex lock;
    QHash<QString, QVStartupItemClass> classes;
    QHash<QString, QVStartupItemsController::PaneViewMaker> views;
};

template <typename Item>
QVStartupItemClass menuItemClass() {
    return {[] { return false; }, [] { return true; }, [](const QVariantMap& plist) { return std::make_shared<Item>(plist); }};
}

QVStartupItemClass checkPaneClass(QVFileExistsCheckPane::Client (*client)()) {
    return {[] { return true; }, [client] { return QVFileExistsCheckPane::needsToRun(client()); },
            [client](const QVariantMap& plist) { return std::make_shared<QVFileExistsCheckPane>(plist, client()); }};
}

class ConfigurationDirectoriesItem : public QVStartupItem {
public:
    using QVStartupItem::QVStartupItem;
    void run() override { QVSetupConfigurationDirectories().run(); }
};

// The check pane's page: what is missing, a field for its path and a button to choose it.
QWidget* checkPaneView(QVStartupPane* pane, QWidget* parent) {
    auto* check = static_cast<QVFileExistsCheckPane*>(pane);
    auto* view = new QWidget(parent);
    auto* layout = new QVBoxLayout(view);
    auto* message = new QLabel(QVLocalized(QStringLiteral("%1 could not find the %2 program. Choose where it is installed, or leave the field empty to be asked again at the next launch."))
                                   .arg(AppBundle::main().bundleName(), check->executableName()),
                               view);
    message->setWordWrap(true);
    layout->addWidget(message);
    auto* row = new QHBoxLayout;
    auto* field = new QLineEdit(check->path(), view);
    field->setObjectName(QStringLiteral("path"));
    auto* choose = new QPushButton(QVLocalized(QStringLiteral("Choose…")), view);
    choose->setObjectName(QStringLiteral("choose"));
    row->addWidget(field, 1);
    row->addWidget(choose);
    layout->addLayout(row);
    QObject::connect(field, &QLineEdit::textChanged, view, [check](const QString& text) { check->setPath(text); });
    QObject::connect(choose, &QPushButton::clicked, view, [view, field] {
        auto* panel = new QFileDialog(view->window(), QVLocalized(QStringLiteral("Choose")), QStringLiteral("/usr/bin"));
        panel->setAttribute(Qt::WA_DeleteOnClose);
        panel->setFileMode(QFileDialog::ExistingFile);
        panel->setWindowModality(Qt::WindowModal);
        QObject::connect(panel, &QFileDialog::fileSelected, field, &QLineEdit::setText);
        panel->open();
    });
    return view;
}

Registry& registry() {
    static Registry* shared = [] {
        auto* made = new Registry;
        made->classes.insert(QStringLiteral("QVSetupConfigurationDirectories"), menuItemClass<ConfigurationDirectoriesItem>());
        made->classes.insert(QStringLiteral("QVSetupCharacterEntityMenu"), menuItemClass<QVSetupCharacterEntityMenu>());
        made->classes.insert(QStringLiteral("QVSetupEncodingsMenu"), menuItemClass<QVSetupEncodingsMenu>());
        made->classes.insert(QStringLiteral("QVCheckFTPStartupPane"), checkPaneClass(&QVFileExistsCheckPane::ftp));
        made->classes.insert(QStringLiteral("QVCheckSFTPStartupPane"), checkPaneClass(&QVFileExistsCheckPane::sftp));
        made->classes.insert(QStringLiteral("QVCheckWebDAVStartupPane"), checkPaneClass(&QVFileExistsCheckPane::webDAV));
        made->classes.insert(QStringLiteral("QVCheckSubversionStartupPane"), checkPaneClass(&QVFileExistsCheckPane::subversion));
        made->views.insert(QStringLiteral("CheckFileExistsStartupPane"), &checkPaneView);
        return made;
    }();
    return *shared;
}

std::optional<QVStartupItemClass> itemClassNamed(const QString& name) {
    Registry& shared = registry();
    QMutexLocker lock(&shared.lock);
    const auto found = shared.classes.constFind(name);
    if (found == shared.classes.cend()) return std::nullopt;
    return *found;
}

}  // namespace

QVStartupItemsController::QVStartupItemsController(const QString& definitionsPath) : _definitionsPath(definitionsPath) {}

QVStartupItemsController::~QVStartupItemsController() { delete _window; }

QVStartupItemsController& QVStartupItemsController::sharedController() {
    // A function-local static is made once even when the configuration thread and the main
    // thread ask at the same moment.
    static QVStartupItemsController* shared = new QVStartupItemsController;
    return *shared;
}

void QVStartupItemsController::registerItemClass(const QString& name, QVStartupItemClass itemClass) {
    Registry& shared = registry();
    QMutexLocker lock(&shared.lock);
    shared.classes.insert(name, std::move(itemClass));
}

void QVStartupItemsController::registerReloadItem(const QString& name, std::function<void()> reload) {
    class ReloadItem : public QVStartupItem {
    public:
        ReloadItem(const QVariantMap& plist, std::function<void()> reload) : QVStartupItem(plist), _reload(std::move(reload)) {}
        void run() override { _reload(); }
        std::function<void()> _reload;
    };
    registerItemClass(name, {[] { return false; }, [] { return true; },
                             [reload](const QVariantMap& plist) { return std::make_shared<ReloadItem>(plist, reload); }});
}

void QVStartupItemsController::registerPaneView(const QString& nibName, PaneViewMaker maker) {
    Registry& shared = registry();
    QMutexLocker lock(&shared.lock);
    shared.views.insert(nibName, std::move(maker));
}

const QVariantList& QVStartupItemsController::definitions() {
    std::call_once(_definitionsLoaded, [this] {
        const QString path = _definitionsPath.isEmpty()
                                 ? AppBundle::main().pathForResource(QStringLiteral("StartupItems"), QStringLiteral("plist"))
                                 : _definitionsPath;
        if (path.isEmpty() || !QFileInfo::exists(path)) return;
        QVError error;
        const QVariant list = PropertyList::readFile(path, &error);
        if (list.typeId() != QMetaType::QVariantList) {
            SystemLog::warning(QStringLiteral("Skipped the start-up items %1: %2").arg(path, list.isValid() ? QStringLiteral("not a list") : error.localizedDescription()));
            return;
        }
        for (const QVariant& entry : list.toList()) {
            if (entry.typeId() == QMetaType::QVariantMap) _allItems.append(entry);
            else SystemLog::warning(QStringLiteral("Skipped a start-up item that is not a dictionary in %1").arg(path));
        }
    });
    return _allItems;
}

std::optional<QVStartupItemsController::Qualified> QVStartupItemsController::qualifying(const QVariantMap& definition, const QString& identifier) {
    if (!identifier.isNull() && definition.value(QStringLiteral("identifier")).toString() != identifier) return std::nullopt;
    std::optional<QVStartupItemClass> itemClass = itemClassNamed(definition.value(QStringLiteral("class")).toString());
    if (!itemClass || !itemClass->make) return std::nullopt;
    bool needed = false;
    try {
        needed = itemClass->needsToRun();
    } catch (const std::exception& failure) {
        SystemLog::warning(QStringLiteral("Start-up item %1 failed: %2").arg(definition.value(QStringLiteral("identifier")).toString(), QString::fromUtf8(failure.what())));
    }
    if (!needed) return std::nullopt;
    return Qualified{definition, *itemClass};
}

void QVStartupItemsController::runGuarded(const std::shared_ptr<QVStartupItem>& item) {
    // Each item runs on a thread of its own so that one that hangs holds up neither the others
    // nor the launch; it keeps the item alive until it ends, if ever.
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    Threads::start("QVStartupItem", [item, done] {
        try {
            item->run();
        } catch (const std::exception& failure) {
            SystemLog::warning(QStringLiteral("Start-up item %1 failed: %2").arg(item->identifier(), QString::fromUtf8(failure.what())));
        } catch (...) {
            SystemLog::warning(QStringLiteral("Start-up item %1 failed").arg(item->identifier()));
        }
        done->set_value();
    }).detach();
    if (finished.wait_for(_itemTimeout) != std::future_status::ready)
        SystemLog::warning(QStringLiteral("Start-up item %1 did not finish within %2 ms; the launch goes on without it")
                               .arg(item->identifier())
                               .arg(_itemTimeout.count()));
}

bool QVStartupItemsController::needsDisplay() {
    QList<std::shared_ptr<QVStartupPane>> panes;
    for (const QVariant& entry : definitions()) {
        const QVariantMap definition = entry.toMap();
        const QVariant atLaunch = definition.value(QStringLiteral("show-at-launch"));
        if (atLaunch.isValid() && !atLaunch.toBool()) continue;
        std::optional<Qualified> qualified = qualifying(definition);
        if (!qualified) continue;
        std::shared_ptr<QVStartupItem> item = qualified->itemClass.make(definition);
        if (qualified->itemClass.hasUI()) {
            if (auto pane = std::dynamic_pointer_cast<QVStartupPane>(item)) panes.append(pane);
        } else {
            runGuarded(item);
        }
    }
    std::lock_guard lock(_panesLock);
    _activePanes = panes;
    return !_activePanes.isEmpty();
}

bool QVStartupItemsController::canRunItemWithIdentifier(const QString& identifier) {
    for (const QVariant& entry : definitions())
        if (qualifying(entry.toMap(), identifier)) return true;
    return false;
}

bool QVStartupItemsController::runItemWithIdentifier(const QString& identifier, QWidget* sheetParent, std::function<void(int)> didEnd) {
    std::optional<Qualified> qualified;
    for (const QVariant& entry : definitions())
        if ((qualified = qualifying(entry.toMap(), identifier))) break;
    if (!qualified) return false;
    std::shared_ptr<QVStartupItem> item = qualified->itemClass.make(qualified->definition);
    auto pane = qualified->itemClass.hasUI() ? std::dynamic_pointer_cast<QVStartupPane>(item) : nullptr;
    if (!pane) {
        runGuarded(item);
        return true;
    }
    {
        std::lock_guard lock(_panesLock);
        _activePanes = {pane};
    }
    if (sheetParent) {
        _didEnd = std::move(didEnd);
        _isSheet = true;
        QDialog* sheet = window();
        sheet->setParent(sheetParent->window(), Qt::Sheet);
        sheet->setWindowModality(Qt::WindowModal);
        showPaneAtIndex(0);
        sheet->open();
    } else {
        showWindow();
    }
    return true;
}

qint64 QVStartupItemsController::paneCount() const {
    std::lock_guard lock(_panesLock);
    return _activePanes.size();
}

QString QVStartupItemsController::backwardTitle() const {
    return QVLocalized(_isSheet ? QStringLiteral("Cancel") : QStringLiteral("Previous"));
}

QString QVStartupItemsController::forwardTitle() const {
    return QVLocalized(_currentIndex == paneCount() ? QStringLiteral("Done") : QStringLiteral("Next"));
}

QDialog* QVStartupItemsController::window() {
    if (_window) return _window;
    _window = new QDialog;
    _window->setObjectName(QStringLiteral("Startup"));
    _window->setMinimumWidth(440);
    _window->setWindowTitle(QVLocalized(QStringLiteral("Welcome to %1")).arg(AppBundle::main().bundleName()));
    auto* layout = new QVBoxLayout(_window);
    _contentBox = new QVBoxLayout;
    layout->addLayout(_contentBox, 1);
    _welcome = new QLabel(QVLocalized(QStringLiteral("Welcome to %1. A few things need settling before you start; the next pages ask for them."))
                              .arg(AppBundle::main().bundleName()),
                          _window);
    static_cast<QLabel*>(_welcome)->setWordWrap(true);
    _contentBox->addWidget(_welcome);
    auto* buttons = new QHBoxLayout;
    _backButton = new QPushButton(_window);
    _forwardButton = new QPushButton(_window);
    _forwardButton->setDefault(true);
    buttons->addStretch();
    buttons->addWidget(_backButton);
    buttons->addWidget(_forwardButton);
    layout->addLayout(buttons);
    connect(_backButton, &QPushButton::clicked, this, &QVStartupItemsController::back);
    connect(_forwardButton, &QPushButton::clicked, this, &QVStartupItemsController::next);
    // Closing the sheet by its frame or Escape is a Cancel.
    connect(_window, &QDialog::rejected, this, [this] {
        if (_isSheet && _didEnd) endSheet(0);
    });
    return _window;
}

void QVStartupItemsController::showPaneAtIndex(qint64 index) {
    QDialog* dialog = window();
    std::shared_ptr<QVStartupPane> pane;
    {
        std::lock_guard lock(_panesLock);
        if (index >= 0 && index < _activePanes.size()) pane = _activePanes[index];
    }
    const int top = dialog->geometry().top();
    if (_pageView) {
        _contentBox->removeWidget(_pageView);
        if (_pageView != _welcome) _pageView->deleteLater();
        _pageView->hide();
    }
    QWidget* view = _welcome;
    if (pane) {
        Registry& shared = registry();
        PaneViewMaker maker;
        {
            QMutexLocker lock(&shared.lock);
            maker = shared.views.value(pane->nibName());
        }
        view = maker ? maker(pane.get(), dialog) : new QWidget(dialog);
    }
    _contentBox->addWidget(view);
    view->show();
    _pageView = view;
    // The window's top edge stays where it was as pages of other sizes come and go.
    dialog->adjustSize();
    if (dialog->isVisible()) dialog->move(dialog->x(), top);
    _currentPane = pane.get();
    _currentIndex = pane ? index + 1 : 0;
    _backButton->setText(backwardTitle());
    _backButton->setEnabled(canGoBackward());
    _forwardButton->setText(forwardTitle());
    Q_EMIT pageChanged();
}

void QVStartupItemsController::showWindow() {
    _isSheet = false;
    if (_currentPane || paneCount() == 0) showPaneAtIndex(-1);
    else showPaneAtIndex(0);
    window()->show();
    window()->raise();
}

void QVStartupItemsController::next() {
    if (_window && _window->focusWidget()) _window->focusWidget()->clearFocus();
    if (_currentPane) _currentPane->commit();
    if (_currentIndex < paneCount()) {
        showPaneAtIndex(_currentIndex);
    } else if (_isSheet) {
        endSheet(1);
    } else {
        _window->close();
    }
}

void QVStartupItemsController::back() {
    if (_isSheet) {
        endSheet(0);
        return;
    }
    if (_currentPane) _currentPane->commit();
    showPaneAtIndex(_currentIndex - 2);
}

void QVStartupItemsController::endSheet(int code) {
    _isSheet = false;
    std::function<void(int)> didEnd = std::move(_didEnd);
    _didEnd = nullptr;
    if (_window) {
        _window->hide();
        _window->setParent(nullptr, Qt::Dialog);
    }
    if (didEnd) didEnd(code);
}
