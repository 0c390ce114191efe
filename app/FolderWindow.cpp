// The folder window: a file tree in a plain window.
#include "app/FolderWindow.h"

#include "files/QVRemoteLogController.h"
#include "files/QVRemoteSiteQueue.h"
#include "files/QVRootFile.h"
#include "platform/AppBundle.h"
#include "platform/FileName.h"
#include "platform/MainQueue.h"
#include "shell/QVAlertDetails.h"
#include "shell/QVMainMenu.h"

#include <QApplication>
#include <QFileInfo>
#include <QHeaderView>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTreeView>

// Hands the tree's calls to the window; held by the window, weakly by the nodes.
class FolderTreeDelegate : public QVFileTreeDelegate {
public:
    explicit FolderTreeDelegate(FolderWindow* window) : _window(window) {}
    void fileNeedsRefresh(const std::shared_ptr<QVFile>&) override { reload(); }
    void fileRemovedChild(const std::shared_ptr<QVFile>&, const std::shared_ptr<QVFile>&) override { reload(); }
    void fileWasDuplicatedToFile(const std::shared_ptr<QVFile>&, const std::shared_ptr<QVFile>& copy) override {
        reload();
        // The copy's name is chosen for the user; they rename it on the next turn of the loop.
        MainQueue::post([window = QPointer<FolderWindow>(_window), weak = std::weak_ptr<QVFile>(copy)] {
            const auto file = weak.lock();
            if (!window || !file) return;
            const QModelIndex index = window->_model->indexOf(file.get());
            window->_view->setCurrentIndex(index);
            window->_view->edit(index);
        });
    }
    void fileContentBecameAvailable(const std::shared_ptr<QVFile>&) override {}
    bool fileShouldUpload(const std::shared_ptr<QVFile>&) override { return false; }
    void presentErrorAlert(const QVError& error) override {
        if (!_window) return;
        // One failure told by the site's queue and by the file it acted for is one alert.
        const QString told = error.localizedDescription() + u'\n' + error.localizedRecoverySuggestion();
        for (const QMessageBox* open : _window->findChildren<QMessageBox*>())
            if (open->isVisible() && open->property("qvTold").toString() == told) return;
        auto* box = new QMessageBox(QMessageBox::Warning, error.localizedDescription(), error.localizedDescription(),
                                    QMessageBox::Ok, _window);
        box->setProperty("qvTold", told);
        QVSetAlertDetails(box, error.localizedRecoverySuggestion());
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setWindowModality(Qt::WindowModal);
        box->open();
    }

private:
    // On the next turn of the loop, once: a change may come from inside the view's own calls
    // (an edit being committed), whose rows must outlive that call.
    void reload() {
        if (_reloadPending || !_window) return;
        _reloadPending = true;
        MainQueue::post([this, window = _window] {
            if (!window) return;
            _reloadPending = false;
            window->_model->reload();
        });
    }
    QPointer<FolderWindow> _window;
    bool _reloadPending = false;
};

// The site queue's news, heard on its worker thread and handed to the window on the main one.
class FolderSiteDelegate : public QVRemoteSiteQueueDelegate {
public:
    explicit FolderSiteDelegate(FolderWindow* window) : _window(window) {}
    // Only a password the site took goes into the keyring.
    void queueOpenedConnection(QVRemoteSiteQueue*) override {
        onMain([](FolderWindow* w) {
            w->_site.commit();
            w->statusBar()->showMessage(QVLocalized(QStringLiteral("Connected")));
        });
    }
    void queueClosedConnection(QVRemoteSiteQueue*) override { status(QVLocalized(QStringLiteral("Disconnected"))); }
    void queueHadError(QVRemoteSiteQueue*, const QVError& error) override {
        onMain([error](FolderWindow* w) { w->_delegate->presentErrorAlert(error); });
    }
    // A refused password: ask again rather than leave the window empty.
    void queueHadCredentialsFailure(QVRemoteSiteQueue*) override {
        onMain([](FolderWindow* w) {
            w->_site.setPassword(QString());
            w->askForPassword();
        });
    }

private:
    void status(const QString& text) {
        onMain([text](FolderWindow* w) { w->statusBar()->showMessage(text); });
    }
    void onMain(std::function<void(FolderWindow*)> work) {
        MainQueue::post([window = _window, work = std::move(work)] {
            if (window) work(window);
        });
    }
    QPointer<FolderWindow> _window;
};

FolderTreeModel::FolderTreeModel(std::shared_ptr<QVFile> root, QObject* parent)
    : QAbstractItemModel(parent), _root(std::move(root)) {}

QVFile* FolderTreeModel::fileAt(const QModelIndex& index) const {
    return index.isValid() ? static_cast<QVFile*>(index.internalPointer()) : _root.get();
}

QModelIndex FolderTreeModel::index(int row, int column, const QModelIndex& parent) const {
    QVFile* folder = fileAt(parent);
    const auto& children = folder->children(true);
    if (row < 0 || row >= children.size() || column != 0) return {};
    return createIndex(row, column, children.at(row).get());
}

QModelIndex FolderTreeModel::indexOf(const QVFile* file) const {
    if (!file || file == _root.get()) return {};
    const auto parent = file->parent();
    if (!parent) return {};
    const auto& siblings = parent->children(false);
    for (int row = 0; row < siblings.size(); ++row)
        if (siblings.at(row).get() == file) return createIndex(row, 0, const_cast<QVFile*>(file));
    return {};
}

QModelIndex FolderTreeModel::parent(const QModelIndex& child) const {
    if (!child.isValid()) return {};
    const auto parent = fileAt(child)->parent();
    return parent ? indexOf(parent.get()) : QModelIndex();
}

int FolderTreeModel::rowCount(const QModelIndex& parent) const {
    QVFile* folder = fileAt(parent);
    return folder->isFolder() ? folder->countOfChildren() : 0;
}

bool FolderTreeModel::hasChildren(const QModelIndex& parent) const {
    QVFile* folder = fileAt(parent);
    return folder->isFolder() && (!folder->childrenListed() || !folder->children(false).isEmpty());
}

QVariant FolderTreeModel::data(const QModelIndex& index, int role) const {
    QVFile* file = fileAt(index);
    if (!index.isValid()) return {};
    // An edit starts from the name itself; only its display is pictured.
    if (role == Qt::DisplayRole) return FileName::shown(file->name());
    if (role == Qt::EditRole) return FileName::editable(file->name());
    if (role == Qt::DecorationRole) return QPixmap::fromImage(file->icon());
    if (role == Qt::ToolTipRole) return file->path();
    return {};
}

bool FolderTreeModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    const QString name = FileName::fromEditable(value.toString());
    if (!index.isValid() || role != Qt::EditRole || name.isEmpty() || name == fileAt(index)->name()) return false;
    fileAt(index)->shared_from_this()->rename(name);
    return true;
}

Qt::ItemFlags FolderTreeModel::flags(const QModelIndex& index) const {
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsEditable : Qt::NoItemFlags;
}

void FolderTreeModel::reload() {
    beginResetModel();
    endResetModel();
    // Folders the user had open open again: their nodes remember it.
    auto* view = qobject_cast<FolderWindow*>(QObject::parent())->view();
    std::function<void(const QModelIndex&)> reopen = [&](const QModelIndex& parent) {
        QVFile* folder = fileAt(parent);
        if (!folder->childrenListed()) return;
        const auto& children = folder->children(false);
        for (int row = 0; row < children.size(); ++row) {
            if (!children.at(row)->expanded()) continue;
            const QModelIndex index = this->index(row, 0, parent);
            view->expand(index);
            reopen(index);
        }
    };
    reopen({});
}

bool FolderWindow::isSiteAddress(const QString& argument) {
    static const QStringList schemes = {"ftp", "sftp", "dav", "davs", "http", "https"};
    const QUrl url(argument, QUrl::StrictMode);
    return url.isValid() && schemes.contains(url.scheme().toLower()) && !url.host().isEmpty();
}

FolderWindow::FolderWindow(const QString& path, QWidget* parent) : QMainWindow(parent) {
    const bool site = isSiteAddress(path);
    if (site) _localStandIn = std::make_unique<QTemporaryDir>();
    const QString folder = site ? _localStandIn->path() : QFileInfo(path).absoluteFilePath();
    // As the tree names it: drawn raw, a control that reorders text makes the title read as
    // another folder.
    setWindowTitle(FileName::pictured(site ? QUrl(path).toDisplayString(QUrl::RemovePassword) : QFileInfo(folder).fileName()));
    resize(420, 640);
    _root = QVRootFile::create(folder, !site);
    _root->setRemoteOnly(site);
    _root->setExpanded(true);
    _delegate = std::make_shared<FolderTreeDelegate>(this);
    _root->setDelegate(_delegate);
    _model = new FolderTreeModel(_root, this);
    _view = new QTreeView(this);
    _view->setHeaderHidden(true);
    _view->setEditTriggers(QAbstractItemView::EditKeyPressed | QAbstractItemView::SelectedClicked);
    _view->setModel(_model);
    _view->setContextMenuPolicy(Qt::CustomContextMenu);
    setCentralWidget(_view);
    connect(_view, &QTreeView::expanded, this, [this](const QModelIndex& index) {
        const auto file = _model->fileAt(index)->shared_from_this();
        file->setExpanded(true);
        file->startWatching();
    });
    connect(_view, &QTreeView::collapsed, this, [this](const QModelIndex& index) {
        const auto file = _model->fileAt(index)->shared_from_this();
        file->setExpanded(false);
        file->stopWatching();
    });
    buildMenus();
    if (site) {
        openSite(QUrl(path));
        return;
    }
    _root->startWatching();
    statusBar()->showMessage(folder);
}

void FolderWindow::openSite(const QUrl& address) {
    const QString scheme = address.scheme().toLower();
    _site.setProtocol(scheme == "ftp"    ? QVProjectRemoteConfiguration::FTP
                      : scheme == "sftp" ? QVProjectRemoteConfiguration::SFTP
                                         : QVProjectRemoteConfiguration::WebDAV);
    _site.setHost(address.host());
    _site.setUser(address.userName());
    if (address.port() > 0) _site.setPort(address.port());
    _site.setInitialDirectory(address.path());
    _log = new QVRemoteLogController(this);
    auto* logAction = new QAction(QVLocalized(QStringLiteral("Connection Log")), this);
    QVMainMenu::insertWindowAction(this, QVMainMenuPlace::WindowMain, logAction);
    logAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
    connect(logAction, &QAction::triggered, this, [this] { _log->toggle(this); });
    // A password typed into the address is used once and never shown again.
    const QString typed = address.password();
    if (!typed.isEmpty()) return connectToSite(typed);
    const QString kept = _site.password();
    if (kept.isEmpty()) askForPassword();
    else connectToSite(kept);
}

void FolderWindow::askForPassword() {
    auto* sheet = new QVCredentialsController(this);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->setTitle(QVLocalized(QStringLiteral("Password for %1")).arg(_site.host()));
    sheet->setUseKeychain(_site.useKeychain());
    sheet->displayOnWindow(this, _site.user(), this, QVCredentialsController::OKTag);
}

void FolderWindow::credentialsDidEnd(QVCredentialsController* sheet, int returnCode) {
    if (returnCode != QVCredentialsController::OKTag) {
        statusBar()->showMessage(QVLocalized(QStringLiteral("Not connected")));
        return;
    }
    _site.setUser(sheet->username());
    _site.setUseKeychain(sheet->useKeychain());
    _site.setPassword(sheet->password());
    connectToSite(sheet->password());
}

void FolderWindow::connectToSite(const QString& password) {
    if (!_site.password().isEmpty() || !password.isEmpty()) _site.setPassword(password);
    // Settings that would reach the client's command line unchecked never connect.
    if (const QVError error = _site.connectionError()) return _delegate->presentErrorAlert(error);
    if (_queue) {
        _root->setRemoteQueue(nullptr);
        _queue->closeConnection();
    }
    if (!_siteDelegate) _siteDelegate = std::make_shared<FolderSiteDelegate>(this);
    _queue = QVRemoteSiteQueue::make(_site.protocol(), _siteDelegate);
    _queue->setLogDelegate([log = QPointer<QVRemoteLogController>(_log)](const QString& text) {
        MainQueue::post([log, text] {
            if (log) log->appendStringToLog(text);
        });
    });
    _queue->setInitialWorkingDirectory(_site.initialDirectory());
    _queue->connectToHost(_site.host(), _site.port().toInt(), _site.user(), password, _site.arguments());
    // The tree's paths are relative to the site's folder; a WebDAV login starts in it already.
    if (!_site.initialDirectory().isEmpty() && _site.protocol() != QVProjectRemoteConfiguration::WebDAV)
        _queue->changeToDirectory(_site.initialDirectory());
    statusBar()->showMessage(QVLocalized(QStringLiteral("Connecting")));
    _root->children(true);
    _root->setRemoteQueue(_queue);
}

FolderWindow::~FolderWindow() {
    _view->setModel(nullptr);
    _root->clearReferences();
    if (_queue) {
        _queue->setDelegate(nullptr);
        _queue->closeConnection();
    }
}

std::shared_ptr<QVFile> FolderWindow::selectedFile() const {
    const QModelIndex index = _view->currentIndex();
    return index.isValid() ? _model->fileAt(index)->shared_from_this() : nullptr;
}

void FolderWindow::renameSelection() {
    if (_view->currentIndex().isValid()) _view->edit(_view->currentIndex());
}

void FolderWindow::duplicateSelection() {
    if (const auto file = selectedFile()) file->duplicate();
}

void FolderWindow::trashSelection() {
    if (const auto file = selectedFile()) file->moveToTrash();
}

void FolderWindow::deleteSelection() {
    const auto file = selectedFile();
    if (!file) return;
    auto* box = new QMessageBox(QMessageBox::Warning, QVLocalized(QStringLiteral("Delete")),
                                QVLocalized(QStringLiteral("Delete \"%1\"?")).arg(FileName::shown(file->name())), QMessageBox::NoButton, this);
    box->setInformativeText(QVLocalized(QStringLiteral("The item is removed for good; it does not go to the Trash.")));
    QPushButton* remove = box->addButton(QVLocalized(QStringLiteral("Delete")), QMessageBox::DestructiveRole);
    // Return must never remove for good: the safe answer is the default.
    box->setDefaultButton(box->addButton(QMessageBox::Cancel));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    connect(box, &QMessageBox::finished, this, [box, remove, weak = std::weak_ptr<QVFile>(file)] {
        if (box->clickedButton() != remove) return;
        if (const auto target = weak.lock()) target->deleteFile();
    });
    box->open();
}

void FolderWindow::buildMenus() {
    QVMainMenu::shared().attach(this);
    struct Item {
        const char* title;
        QKeySequence key;
        void (FolderWindow::*command)();
    };
    const Item items[] = {
        {"Rename", QKeySequence(Qt::Key_F2), &FolderWindow::renameSelection},
        {"Duplicate", QKeySequence(Qt::CTRL | Qt::Key_D), &FolderWindow::duplicateSelection},
        {"Move to Trash", QKeySequence(Qt::Key_Delete), &FolderWindow::trashSelection},
        {"Delete…", QKeySequence(Qt::SHIFT | Qt::Key_Delete), &FolderWindow::deleteSelection},
    };
    auto* context = new QMenu(this);
    for (const Item& item : items) {
        auto* action = new QAction(QVLocalized(QString::fromUtf8(item.title)), this);
        action->setShortcut(item.key);
        QVMainMenu::insertWindowAction(this, QVMainMenuPlace::FileDocument, action);
        connect(action, &QAction::triggered, this, item.command);
        context->addAction(action);
    }
    auto* close = new QAction(QVLocalized(QStringLiteral("Close Window")), this);
    close->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_W));
    connect(close, &QAction::triggered, this, &QWidget::close);
    QVMainMenu::insertWindowAction(this, QVMainMenuPlace::FileClose, close);
    connect(_view, &QWidget::customContextMenuRequested, this,
            [this, context](const QPoint& at) { context->popup(_view->viewport()->mapToGlobal(at)); });
}
