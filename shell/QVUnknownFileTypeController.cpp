// The unknown-file-type sheet's logic: the decision to ask, the pop-up's items and the choice.
#include "shell/QVUnknownFileTypeController.h"

#include "platform/AppBundle.h"
#include "platform/MainQueue.h"
#include "platform/SystemLog.h"
#include "shell/QVUnknownFileTypeControllerDelegate.h"
#include "shell/QVUnknownFileTypePanel.h"

#include <QDialog>
#include <QTimer>
#include <QWidget>

#include <mutex>

namespace {

struct PaneHandler {
    std::mutex lock;
    std::function<void(const QString&)> handler;
};

PaneHandler& paneHandler() {
    static PaneHandler handler;
    return handler;
}

// A sheet is up when a visible window-modal dialog hangs from the window.
bool windowHasSheet(QWidget* window, const QWidget* except) {
    if (!window) return false;
    const auto dialogs = window->findChildren<QDialog*>(Qt::FindDirectChildrenOnly);
    for (const QDialog* dialog : dialogs)
        if (dialog != except && dialog->isVisible() && dialog->windowModality() == Qt::WindowModal)
            return true;
    return false;
}

}  // namespace

bool QVUnknownFileTypeController::shouldDisplayForFile(const QString& path, bool isFolder,
                                                       bool* ignoreFile,
                                                       std::shared_ptr<QVFileCategories> model) {
    if (isFolder) {
        if (ignoreFile) *ignoreFile = false;
        return false;
    }
    if (!model) model = QVFileCategories::sharedCategories();
    if (ignoreFile) {
        *ignoreFile = model->path(path, QVFileCategoryKindIgnorable);
        if (*ignoreFile) return false;
    }
    return model->path(path, QVFileCategoryKindOther);
}

QVUnknownFileTypeController::QVUnknownFileTypeController(std::shared_ptr<QVFileCategories> model,
                                                         QObject* parent)
    : QObject(parent), _model(model ? std::move(model) : QVFileCategories::sharedCategories()) {
    _items = {
        {QVLocalized(QStringLiteral("Ignore Files of This Type")), nullptr, false},
        {QVLocalized(QStringLiteral("Edit File Categories…")), nullptr, false},
        {QString(), nullptr, true},
    };
    populatePopUpMenu();
    QPointer<QVUnknownFileTypeController> self(this);
    _observer = NotificationCenter::defaultCenter().addObserver(
        QString::fromLatin1(QVFileCategoriesChangedNotification), nullptr,
        [this, self](const Notification&) {
            if (MainQueue::isMainThread()) {
                populatePopUpMenu();
                return;
            }
            MainQueue::post([self] {
                if (self) self->populatePopUpMenu();
            });
        });
}

QVUnknownFileTypeController::~QVUnknownFileTypeController() {
    NotificationCenter::defaultCenter().removeObserver(_observer);
    _delegate = nullptr;
    endSheet();
}

void QVUnknownFileTypeController::setPreferencesPaneHandler(
    std::function<void(const QString& identifier)> handler) {
    PaneHandler& pane = paneHandler();
    std::lock_guard guard(pane.lock);
    pane.handler = std::move(handler);
}

QString QVUnknownFileTypeController::filesPaneIdentifier() {
    return AppBundle::main().bundleIdentifier() + QStringLiteral(".prefs.files");
}

void QVUnknownFileTypeController::populatePopUpMenu() {
    const int rememberedIndex = _selectedIndex;
    const std::shared_ptr<QVFileCategory> remembered =
        rememberedIndex >= 0 && rememberedIndex < _items.size() ? _items[rememberedIndex].category
                                                                : nullptr;
    while (_items.size() > FixedItemCount) _items.removeLast();
    for (const std::shared_ptr<QVFileCategory>& category : _model->textCategories())
        _items.append({category->title(), category, false});
    _items.append({QString(), nullptr, true});
    for (const std::shared_ptr<QVFileCategory>& category : _model->imageCategories())
        _items.append({category->title(), category, false});

    if (rememberedIndex == IgnoreItemIndex) {
        _selectedIndex = IgnoreItemIndex;
    } else if (remembered) {
        _selectedIndex = IgnoreItemIndex;
        for (int i = FixedItemCount; i < _items.size(); ++i)
            if (_items[i].category == remembered) _selectedIndex = i;
    } else if (rememberedIndex >= FixedItemCount) {
        _selectedIndex = IgnoreItemIndex;
    }
    Q_EMIT popUpChanged();
}

void QVUnknownFileTypeController::selectItemAtIndex(int index) {
    if (index < 0 || index >= _items.size() || _items[index].isSeparator) return;
    if (index == _selectedIndex) return;
    _selectedIndex = index;
    Q_EMIT popUpChanged();
}

void QVUnknownFileTypeController::selectType(int index) {
    selectItemAtIndex(index);
    if (index != EditCategoriesItemIndex) return;
    std::function<void(const QString&)> handler;
    {
        PaneHandler& pane = paneHandler();
        std::lock_guard guard(pane.lock);
        handler = pane.handler;
    }
    if (handler) handler(filesPaneIdentifier());
    selectItemAtIndex(IgnoreItemIndex);
}

void QVUnknownFileTypeController::displayOnWindow(QWidget* window,
                                                  QVUnknownFileTypeControllerDelegate* delegate,
                                                  const QString& path) {
    endSheet();
    _delegate = delegate;
    _path = path;
    _window = window;
    _sheetPending = true;
    if (windowHasSheet(window, nullptr))
        QTimer::singleShot(0, this, &QVUnknownFileTypeController::beginSheet);
    else
        beginSheet();
}

void QVUnknownFileTypeController::clearDelegate(QVUnknownFileTypeControllerDelegate* delegate) {
    if (_delegate == delegate) _delegate = nullptr;
}

void QVUnknownFileTypeController::beginSheet() {
    if (!_sheetPending || _panel) return;
    _sheetPending = false;
    _panel = new QVUnknownFileTypePanel(this, _window);
    _panel->open();
}

void QVUnknownFileTypeController::endSheet() {
    _sheetPending = false;
    if (!_panel) return;
    QVUnknownFileTypePanel* panel = _panel;
    _panel = nullptr;
    panel->hide();
    panel->deleteLater();
}

void QVUnknownFileTypeController::choose() {
    endSheet();
    const int index = _selectedIndex;
    const std::shared_ptr<QVFileCategory> category =
        index > IgnoreItemIndex && index < _items.size() ? _items[index].category : nullptr;
    const QString extension = QVFileCategories::pathExtension(_path);
    bool changed = false;
    if (!extension.isEmpty()) {
        if (category) {
            category->addType(extension);
            changed = true;
        } else if (index == IgnoreItemIndex) {
            _model->addIgnorableType(extension);
            changed = true;
        }
    }
    if (changed) {
        QVError error;
        if (!_model->commit(&error))
            SystemLog::error(QStringLiteral("The file categories could not be saved: %1 %2")
                                 .arg(error.localizedDescription(), error.localizedRecoverySuggestion()));
    }
    finish(category);
}

void QVUnknownFileTypeController::cancel() {
    endSheet();
    finish(nullptr);
}

void QVUnknownFileTypeController::finish(const std::shared_ptr<QVFileCategory>& category) {
    // The delegate may destroy this controller: nothing of it is touched after the call.
    QVUnknownFileTypeControllerDelegate* delegate = _delegate;
    const QString path = _path;
    if (delegate) delegate->unknownFileTypeControllerDidPickFileType(this, category, path);
}
