// The project window.
#include "projects/windows/QVProjectWindowController.h"

#include "editor/HTMLView.h"
#include "editor/QVFileDocument.h"
#include "editor/QVProjectSCMController.h"
#include "editor/QVStatusBar.h"
#include "editor/QVTab.h"
#include "editor/QVTabView.h"
#include "editor/windows/QVMultiFileDocument.h"
#include "files/LocalFileOperations.h"
#include "files/QVFile.h"
#include "files/QVRemoteLogController.h"
#include "files/QVRemoteSiteQueue.h"
#include "files/QVRootFile.h"
#include "files/QVSCMStatusEntry.h"
#include "platform/AppBundle.h"
#include "platform/FileName.h"
#include "platform/MainQueue.h"
#include "platform/QVError.h"
#include "platform/UserDefaults.h"
#include "projects/QVProject.h"
#include "projects/windows/QVProjectOutlineModel.h"
#include "projects/windows/QVProjectSettingsWindowController.h"
#include "projects/windows/QVProjectToolbarDelegate.h"
#include "projects/windows/QVProjectViewHeader.h"
#include "projects/windows/QVProjectView.h"
#include "projects/windows/QVSplitView.h"
#include "projects/windows/QVTransferModeDocument.h"
#include "shell/FileManagerUtilities.h"
#include "shell/QVAlertManager.h"
#include "shell/QVStartupItemsController.h"
#include "shell/WorkspaceUtilities.h"

#include <QAction>
#include <QCloseEvent>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QToolBar>
#include <QUrl>
#include <QVBoxLayout>

namespace {

QString L(const char* text) { return QVLocalized(QString::fromUtf8(text)); }

bool isSafeComponent(const QString& name) { return QVTransferModeDocument::isSafeComponent(name); }

// The account a login reaches: a confirmed empty password holds for it alone.
QString accountOf(const QVProjectRemoteConfiguration& config) {
    return QStringLiteral("%1 %2 %3 %4").arg(config.protocol()).arg(config.host(), config.port().toString(), config.user());
}

QString subversionCheckIdentifier() {
    return AppBundle::main().bundleIdentifier() + QStringLiteral(".startup.check-subversion");
}

}  // namespace

// The tree's delegate: held by the nodes weakly, it reaches the window while the window lives.
class QVProjectWindowController::TreeForwarder : public QVFileTreeDelegate {
public:
    explicit TreeForwarder(QVProjectWindowController* window) : _window(window) {}
    void fileNeedsRefresh(const std::shared_ptr<QVFile>& file) override {
        if (_window) _window->fileNeedsRefresh(file);
    }
    void fileRemovedChild(const std::shared_ptr<QVFile>& parent, const std::shared_ptr<QVFile>& child) override {
        if (_window) _window->fileRemovedChild(parent, child);
    }
    void fileWasDuplicatedToFile(const std::shared_ptr<QVFile>& file, const std::shared_ptr<QVFile>& copy) override {
        if (_window) _window->fileWasDuplicatedToFile(file, copy);
    }
    void fileContentBecameAvailable(const std::shared_ptr<QVFile>& file) override {
        if (_window) _window->fileContentBecameAvailable(file);
    }
    bool fileShouldUpload(const std::shared_ptr<QVFile>& file) override { return _window && _window->fileShouldUpload(file); }
    std::optional<bool> downloadShouldOverwriteLocalFile(const std::shared_ptr<QVFile>& file) override {
        return _window && _window->downloadShouldOverwriteLocalFile(file);
    }
    void presentErrorAlert(const QVError& error) override {
        if (_window) _window->presentErrorAlert(error);
    }
    QPointer<QVProjectWindowController> _window;
};

// The project's delegate: the eight callbacks the window answers.
class QVProjectWindowController::ProjectForwarder : public QVProjectDelegate {
public:
    explicit ProjectForwarder(QVProjectWindowController* window) : _window(window) {}
    unsigned respondsTo() const override {
        return Status | Progress | RemoteCredentials | PresentError | OpenFileInformation | SCMCredentials | SCMCommand | SCMStatus;
    }
    void projectSetStatusString(QVProject*, const QString& status) override {
        if (_window) _window->projectSetStatusString(status);
    }
    void projectShowProgress(QVProject*, bool show) override {
        if (_window) _window->projectShowProgress(show);
    }
    void projectNeedsRemoteCredentials(QVProject*) override {
        if (_window) _window->projectNeedsRemoteCredentials(true);
    }
    void presentErrorAlert(const QVError& error) override {
        if (_window) _window->presentErrorAlert(error);
    }
    std::optional<QVariantList> openFileInformationForProject(QVProject*) override {
        if (!_window) return std::nullopt;
        return _window->openFileInformation();
    }
    void projectNeedsSCMCredentials(QVProjectSCMController* controller) override {
        if (_window) _window->projectNeedsSCMCredentials(controller);
        else if (controller) controller->credentialsCancelled();
    }
    void projectFinishedSCMCommand(QVProjectSCMController* controller, int command, const QStringList& files) override {
        if (_window) _window->projectFinishedSCMCommand(controller, command, files);
    }
    void projectRetrievedStatus(QVProjectSCMController*, const QList<std::shared_ptr<QVSCMStatusEntry>>& entries,
                                const QString& path, bool recursive) override {
        if (_window) _window->projectRetrievedStatus(entries, path, recursive);
    }
    QPointer<QVProjectWindowController> _window;
};

QVProjectWindowController::QVProjectWindowController(const std::shared_ptr<QVProject>& project, QWidget* parent)
    : QVMultiFileWindowController(std::make_unique<QVMultiFileDocument>(), parent) {
    setObjectName(WindowNibName);
    _treeForwarder = std::make_shared<TreeForwarder>(this);
    _projectForwarder = std::make_shared<ProjectForwarder>(this);
    _questions = new QVAlertManager(this, this);
    _log = new QVRemoteLogController(this);
    // The project's toolbar in place of the tabbed window's.
    if (QVDocumentToolbarDelegate* old = toolbarDelegate()) {
        if (old->toolbar()) removeToolBar(old->toolbar());
        old->deleteLater();
    }
    setToolbarDelegate(new QVProjectToolbarDelegate(this));
    buildOutline();
    buildCommands();
    setProject(project);
}

QVProjectWindowController::~QVProjectWindowController() {
    if (_QVUController) _QVUController->clearDelegate(this);
    _treeForwarder->_window = nullptr;
    _projectForwarder->_window = nullptr;
    if (_project) {
        _project->clearDelegate(_projectForwarder.get());
        if (const auto root = _project->rootFile()) root->clearDelegate(_treeForwarder.get());
    }
    _outlineView->setModel(nullptr);
    // Transfer tabs go before the tab view they show in.
    _activeTransfer = nullptr;
    for (auto& transfer : _transfers) tabView()->removeContentView(transfer->view());
    _transfers.clear();
}

void QVProjectWindowController::buildOutline() {
    _outlineModel = new QVProjectOutlineModel(this);
    _outlineModel->isEdited = [this](const std::shared_ptr<QVFile>& node) {
        QVFileDocument* document = documentForFile(node);
        return document && document->isDocumentEdited();
    };
    _outlineModel->nodeShown = [this](const std::shared_ptr<QVFile>& node) { node->setDelegate(_treeForwarder); };
    _outlineModel->renameNode = [this](const std::shared_ptr<QVFile>& node, const QString& name) { return renameNode(node, name); };
    _outlineModel->moveNode = [this](const std::shared_ptr<QVFile>& node, const std::shared_ptr<QVFile>& folder) {
        return moveNode(node, folder);
    };
    _outlineModel->importPaths = [this](const QStringList& paths, const std::shared_ptr<QVFile>& folder) {
        // The question comes after the drop has ended.
        QTimer::singleShot(0, this, [this, paths, weak = std::weak_ptr<QVFile>(folder)] {
            if (const auto target = weak.lock()) promptForFileImport(paths, target);
        });
        return true;
    };

    auto* pane = new QWidget;
    auto* layout = new QVBoxLayout(pane);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto* header = new QVProjectViewHeader(pane);
    header->setFixedHeight(22);
    _outlineView = new QVProjectView(pane);
    _outlineView->setModel(_outlineModel);
    _outlineView->header()->setSectionResizeMode(QVProjectOutlineModel::IndicatorColumn, QHeaderView::Fixed);
    _outlineView->header()->setSectionResizeMode(QVProjectOutlineModel::SCMColumn, QHeaderView::Fixed);
    _outlineView->header()->resizeSection(QVProjectOutlineModel::IndicatorColumn, 18);
    _outlineView->header()->resizeSection(QVProjectOutlineModel::SCMColumn, 18);
    _outlineView->setColumnHidden(QVProjectOutlineModel::SCMColumn, true);
    layout->addWidget(header);
    layout->addWidget(_outlineView, 1);
    auto* grip = new QLabel(QStringLiteral("⋮⋮"), pane);
    grip->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    grip->setContentsMargins(0, 0, 4, 0);
    grip->setFixedHeight(16);
    layout->addWidget(grip);

    _splitView = new QVSplitView;
    _splitView->setPanes(pane, tabView());
    _splitView->setSplitterHandle(grip);
    setContentView(_splitView);

    connect(_outlineView, &QVProjectView::singleAction, this, &QVProjectWindowController::outlineSingleAction);
    connect(_outlineView, &QVProjectView::doubleAction, this, &QVProjectWindowController::outlineDoubleAction);
    connect(_outlineView, &QTreeView::expanded, this, &QVProjectWindowController::outlineItemExpanded);
    connect(_outlineView, &QTreeView::collapsed, this, &QVProjectWindowController::outlineItemCollapsed);
}

void QVProjectWindowController::buildCommands() {
    const struct {
        const char* name;
        const char* title;
        void (QVProjectWindowController::*action)();
        QKeySequence key;
    } commands[] = {
        {"toggleProjectView", "Hide Project View", &QVProjectWindowController::toggleProjectView, QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_P)},
        {"establishRemoteConnection", "Connect", &QVProjectWindowController::establishRemoteConnection, {}},
        {"cancelRemoteOperation", "Cancel Remote Operation", &QVProjectWindowController::cancelRemoteOperation, {}},
        {"viewRemoteTransferLog", "Show Remote Transfer Log", &QVProjectWindowController::viewRemoteTransferLog, {}},
        {"refreshAll", "Refresh Project", &QVProjectWindowController::refreshAll, QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_R)},
        {"refreshDirectory", "Refresh Directory", &QVProjectWindowController::refreshDirectory, {}},
        {"newFileInProject", "New File in Project…", &QVProjectWindowController::newFileInProject, {}},
        {"newFileInDirectory", "New File…", &QVProjectWindowController::newFileInDirectory, QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_N)},
        {"newFolderInDirectory", "New Directory…", &QVProjectWindowController::newFolderInDirectory, {}},
        {"addFilesToDirectory", "Import Files…", &QVProjectWindowController::addFilesToDirectory, {}},
        {"renameFile", "Rename File", &QVProjectWindowController::renameFile, QKeySequence(Qt::Key_F2)},
        {"duplicateFile", "Duplicate File", &QVProjectWindowController::duplicateFile, {}},
        {"deleteFile", "Delete File…", &QVProjectWindowController::deleteFile, {}},
        {"showFileInFinder", "Show File in File Manager", &QVProjectWindowController::showFileInFinder, {}},
        {"openFileWithFinder", "Open File with Default Application", &QVProjectWindowController::openFileWithFinder, {}},
        {"uploadFile", "Upload File", &QVProjectWindowController::uploadFile, {}},
        {"downloadFile", "Download File", &QVProjectWindowController::downloadFile, {}},
        {"scmRefreshStatus", "Refresh Subversion Status", &QVProjectWindowController::scmRefreshStatus, {}},
        {"toggleSCM", "DISABLE_SCM", &QVProjectWindowController::toggleSCM, {}},
        {"editProjectSettings", "Project Settings\u2026", &QVProjectWindowController::editProjectSettings, {}},
    };
    QMenu* menu = menuBar()->addMenu(L("Project"));
    auto* context = new QMenu(this);
    for (const auto& command : commands) {
        auto* action = new QAction(L(command.title), this);
        action->setObjectName(QString::fromLatin1(command.name));
        action->setShortcut(command.key);
        connect(action, &QAction::triggered, this, command.action);
        _commands.insert(QString::fromLatin1(command.name), action);
        menu->addAction(action);
    }
    _scmToggle = _commands.value(QStringLiteral("toggleSCM"));
    // The outline's menu acts on the row under the mouse.
    for (const char* name : {"newFileInDirectory", "newFolderInDirectory", "addFilesToDirectory", "", "renameFile", "duplicateFile",
                             "deleteFile", "", "showFileInFinder", "openFileWithFinder", "", "uploadFile", "downloadFile", "",
                             "refreshDirectory"}) {
        if (!*name) context->addSeparator();
        else context->addAction(_commands.value(QString::fromLatin1(name)));
    }
    // The delete key works in the outline only, so it never deletes a file while typing.
    auto* deleteKey = new QAction(this);
    deleteKey->setShortcut(QKeySequence::Delete);
    deleteKey->setShortcutContext(Qt::WidgetShortcut);
    connect(deleteKey, &QAction::triggered, this, &QVProjectWindowController::deleteFile);
    _outlineView->addAction(deleteKey);
    _outlineView->setContextMenu(context);
    connect(menu, &QMenu::aboutToShow, this, &QVProjectWindowController::validateCommands);
    connect(context, &QMenu::aboutToShow, this, &QVProjectWindowController::validateCommands);
}

void QVProjectWindowController::setProject(const std::shared_ptr<QVProject>& project) {
    if (project == _project) return;
    if (_project) {
        _project->clearDelegate(_projectForwarder.get());
        if (const auto root = _project->rootFile()) root->clearDelegate(_treeForwarder.get());
    }
    _project = project;
    if (!_project) {
        _outlineModel->setRoot(nullptr);
        return;
    }
    _project->setDelegate(_projectForwarder);
    const std::shared_ptr<QVRootFile> root = _project->rootFile();
    if (root) root->setDelegate(_treeForwarder);
    _outlineModel->setRoot(root);
    if (_outlineModel->canFetchMore({})) _outlineModel->fetchMore({});
    _outlineView->setColumnHidden(QVProjectOutlineModel::IndicatorColumn, _project->type() != QVProject::LocalAndRemote);
    if (_project->type() != QVProject::Local) {
        documentStatusBar()->setBarMode(_project->type() == QVProject::RemoteOnly ? QVStatusBar::Remote : QVStatusBar::LocalAndRemote, false);
        if (_project->boolConfigurationValueForKey(QVProject::ConnectAutomaticallyKey)) {
            QTimer::singleShot(0, this, [self = QPointer<QVProjectWindowController>(this)] {
                if (self && self->_project && !self->_project->hasRemoteConnection()) self->connectToSite();
            });
        }
    } else {
        documentStatusBar()->setBarMode(QVStatusBar::Local, false);
    }
    updateSCMColumnStatus();
    refreshTitle();
    // The files open when the project was last saved come back once the window is up.
    QTimer::singleShot(0, this, [self = QPointer<QVProjectWindowController>(this), project = std::weak_ptr<QVProject>(_project)] {
        if (self && self->_project && self->_project == project.lock()) self->reopenFiles();
    });
}

QString QVProjectWindowController::windowTitleForDocumentDisplayName(const QString& name) const {
    const QString project = _project ? _project->displayName() : QString();
    if (activeDocument()) return name + QStringLiteral(" ") + QChar(0x2014) + QStringLiteral(" ") + project;
    return project.isEmpty() ? name : project;
}

void QVProjectWindowController::refreshTitle() {
    QVFileDocument* front = activeDocument();
    setWindowTitle(windowTitleForDocumentDisplayName(front ? FileName::readable(front->displayName()) : QString()) + QStringLiteral("[*]"));
}

// --- Opening ------------------------------------------------------------------------------------

std::unique_ptr<QVFileDocument> QVProjectWindowController::createDocumentForFile(const std::shared_ptr<QVFile>& file) {
    if (!file) return nullptr;
    // A file of no known type opens only once the user has said what it is; an ignorable one
    // never does.
    bool ignore = false;
    if (QVUnknownFileTypeController::shouldDisplayForFile(file->path(), file->isFolder(), &ignore)) {
        _QVUController = std::make_unique<QVUnknownFileTypeController>();
        _askedFile = file;
        _QVUController->displayOnWindow(this, this, file->path());
        return nullptr;
    }
    if (ignore) return nullptr;
    return QVMultiFileWindowController::createDocumentForFile(file);
}

void QVProjectWindowController::unknownFileTypeControllerDidPickFileType(QVUnknownFileTypeController*,
                                                                         const std::shared_ptr<QVFileCategory>& category,
                                                                         const QString&) {
    const std::shared_ptr<QVFile> file = std::exchange(_askedFile, {}).lock();
    // The sheet goes on a later turn: it is still on the stack that called here.
    if (QVUnknownFileTypeController* asked = _QVUController.release()) asked->deleteLater();
    if (category && file) openFile(file);
}

void QVProjectWindowController::openFile(const std::shared_ptr<QVFile>& file) {
    if (!file) return;
    if (file->isFolder()) {
        if (!_project || !_project->remoteQueue() || _project->type() == QVProject::Local) return;
        QVTransferModeDocument* transfer = transferDocumentForFile(file);
        if (!transfer) {
            _transfers.push_back(std::make_unique<QVTransferModeDocument>(file, _project->remoteQueue(), static_cast<QVTransferModeDelegate*>(this)));
            transfer = _transfers.back().get();
            _addingTransfer = transfer;
            QVTab* tab = tabView()->addTabWithIdentifier(transfer->uuid());
            _addingTransfer = nullptr;
            tab->setTitle(transfer->displayName());
            tab->setToolTip(transfer->titleForLists());
        }
        activateTransfer(transfer);
        return;
    }
    // A remote file opens when its download ends (fileContentBecameAvailable).
    if (!documentForFile(file) && !file->contentAvailable(true)) return;
    QVMultiFileWindowController::openFile(file);
    commitOpenFiles();
}

void QVProjectWindowController::openFileAndFocus(const std::shared_ptr<QVFile>& file) {
    if (!file || file->isFolder()) return openFile(file);
    _focusWhenOpened.insert(file->uuid());
    openFile(file);
    if (!documentForFile(file)) return;  // a download under way: focused when it arrives
    _focusWhenOpened.remove(file->uuid());
    if (HTMLView* view = currentTextView()) view->setFocus(Qt::OtherFocusReason);
}

QVFileDocument* QVProjectWindowController::openFileAtPath(const QString& path) {
    const std::shared_ptr<QVRootFile> root = _project ? _project->rootFile() : nullptr;
    if (!root) return nullptr;
    const std::shared_ptr<QVFile> node = root->childWithPath(QStringList{path}, true);
    if (!node || node->isFolder()) return nullptr;
    openFile(node);
    return documentForFile(node);
}

bool QVProjectWindowController::listsFileAtPath(const QString& path) {
    const std::shared_ptr<QVRootFile> root = _project ? _project->rootFile() : nullptr;
    const std::shared_ptr<QVFile> node = root ? root->childWithPath(QStringList{path}, false) : nullptr;
    return node && !node->isFolder();
}

QVTransferModeDocument* QVProjectWindowController::transferDocumentForFile(const std::shared_ptr<QVFile>& folder) const {
    if (!folder) return nullptr;
    for (const auto& transfer : _transfers)
        if (transfer->uuid() == folder->uuid()) return transfer.get();
    return nullptr;
}

QVTransferModeDocument* QVProjectWindowController::transferAtIndex(qint64 index) const {
    QVTab* tab = tabView()->tabBar()->tabAtIndex(index);
    if (!tab) return nullptr;
    if (tab->tabIdentifier().isEmpty()) return _addingTransfer;
    for (const auto& transfer : _transfers)
        if (transfer->uuid() == tab->tabIdentifier()) return transfer.get();
    return nullptr;
}

qint64 QVProjectWindowController::fileIndexOf(qint64 index) const {
    qint64 files = 0;
    for (qint64 i = 0; i < index; ++i)
        if (!transferAtIndex(i)) ++files;
    return files;
}

int QVProjectWindowController::projectBarMode() const {
    if (!_project || _project->type() == QVProject::Local) return QVStatusBar::Local;
    return _project->type() == QVProject::RemoteOnly ? QVStatusBar::Remote : QVStatusBar::LocalAndRemote;
}

void QVProjectWindowController::activateTransfer(QVTransferModeDocument* transfer) {
    if (!transfer) return;
    deactivateActiveDocument();
    _activeTransfer = transfer;
    if (QVTab* tab = tabView()->tabForIdentifier(transfer->uuid()); tab && tabView()->tabBar()->selectedTab() != tab)
        tabView()->selectTabViewItem(tab);
    documentStatusBar()->setIsText(false);
    documentStatusBar()->setBarMode(QVStatusBar::Transfer, false);
    transfer->activate();
    setWindowTitle(transfer->displayName() + QStringLiteral(" ") + QChar(0x2014) + QStringLiteral(" ") +
                   (_project ? _project->displayName() : QString()));
}

QWidget* QVProjectWindowController::viewForTabView(QVTabView* view, qint64 index) {
    if (QVTransferModeDocument* transfer = transferAtIndex(index)) return transfer->view();
    return QVMultiFileWindowController::viewForTabView(view, fileIndexOf(index));
}

void QVProjectWindowController::tabViewDidSelectTabAtIndex(QVTabView* view, qint64 index) {
    if (QVTransferModeDocument* transfer = transferAtIndex(index)) return activateTransfer(transfer);
    QVMultiFileWindowController::tabViewDidSelectTabAtIndex(view, index < 0 ? index : fileIndexOf(index));
}

bool QVProjectWindowController::tabViewShouldCloseTab(QVTabView* view, const QString& identifier, qint64 index) {
    for (const auto& transfer : _transfers)
        if (transfer->uuid() == identifier) return true;  // nothing to lose
    return QVMultiFileWindowController::tabViewShouldCloseTab(view, identifier, index);
}

QString QVProjectWindowController::projectRootDirectory() const { return _project ? _project->rootDirectory() : QString(); }

QString QVProjectWindowController::siteName() const {
    if (!_project || !_project->hasRemoteEquivalent()) return {};
    const QVProjectRemoteConfiguration& site = _project->remoteConfig();
    if (site.host().isEmpty()) return {};
    return site.user().isEmpty() ? site.host() : site.user() + QLatin1Char('@') + site.host();
}

void QVProjectWindowController::askQuestion(const QVError& question, std::function<void(int option)> answer) {
    _questions->presentError(question, std::move(answer));
}

void QVProjectWindowController::activateDocument(QVFileDocument* document) {
    if (document) _activeTransfer = nullptr;
    QVMultiFileWindowController::activateDocument(document);
    if (document) {
        documentStatusBar()->setIsText(true);
        documentStatusBar()->setBarMode(projectBarMode(), false);
    }
    if (document && document->fileNode()) {
        const QModelIndex row = _outlineModel->indexForNode(document->fileNode().get());
        if (row.isValid()) {
            QSignalBlocker quiet(_outlineView->selectionModel());
            _outlineView->selectionModel()->setCurrentIndex(row, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        }
    }
    refreshTitle();
}

void QVProjectWindowController::closeDocument(QVFileDocument* document) {
    const std::shared_ptr<QVFile> node = document ? document->fileNode() : nullptr;
    QVMultiFileWindowController::closeDocument(document);
    if (node) _outlineModel->redrawNode(node.get());
    refreshTitle();
}

void QVProjectWindowController::documentNeedsRefresh(QVFileDocument* document) {
    QVMultiFileWindowController::documentNeedsRefresh(document);
    if (document && document->fileNode()) _outlineModel->redrawNode(document->fileNode().get());
    refreshTitle();
}

std::shared_ptr<QVFile> QVProjectWindowController::backingFileForPath(QVFileDocument* document, const QString& path) {
    const std::shared_ptr<QVRootFile> root = _project ? _project->rootFile() : nullptr;
    const std::shared_ptr<QVFile> node = root && root->containsPath(path) ? root->addFileAtPath(path) : nullptr;
    if (!node) return QVMultiFileWindowController::backingFileForPath(document, path);
    if (document) documentUUIDChangedTo(document->uuid(), node->uuid());
    if (const auto parent = node->parent()) fileNeedsRefresh(parent);
    return node;
}

QVProjectSCMController* QVProjectWindowController::scmControllerForDocument(QVFileDocument*) {
    if (!_project || _project->boolConfigurationValueForKey(SCMDisabledKey)) return nullptr;
    return _project->scmController();
}

void QVProjectWindowController::presentErrorAlert(const QVError& error) {
    // Errors and questions share one queue, so a sheet never stacks on another.
    if (!error || error.isLowPriority()) return QVMultiFileWindowController::presentErrorAlert(error);
    _questions->presentError(error);
}

void QVProjectWindowController::closeEvent(QCloseEvent* event) {
    QVProjectSCMController* scm = _project ? _project->scmController() : nullptr;
    const QString running = scm ? scm->pendingChange() : QString();
    const bool finished = std::exchange(_scmFinished, false);
    if (running.isEmpty() || finished) return QVMultiFileWindowController::closeEvent(event);
    event->ignore();
    if (_closingAfterSCM) return;
    _closingAfterSCM = true;
    const QVError question = QVError::app(
        SCMRunningQuestionCode, L("Subversion is still running \u201c%1\u201d.").arg(running),
        L("Stopping it now may leave the command half done; Qorvel cleans up the working copy after it before the window closes."),
        {L("Close When Finished"), L("Stop and Close"), L("Cancel")});
    QPointer<QVProjectWindowController> self(this);
    const auto closeNow = [self] {
        if (!self) return;
        self->_scmFinished = true;
        self->_closingAfterSCM = false;
        self->documentStatusBar()->setStatus({});
        self->close();
    };
    _questions->presentError(question, [self, closeNow](int option) {
        if (!self) return;
        QVProjectSCMController* controller = self->_project ? self->_project->scmController() : nullptr;
        if (option == 2 || !controller) {
            self->_closingAfterSCM = false;
            return Q_EMIT self->closeRefused();
        }
        self->documentStatusBar()->setStatus(option == 0 ? L("Waiting for Subversion to finish\u2026") : L("Stopping Subversion\u2026"));
        controller->finishCommands(option == 1, closeNow);
    });
}

void QVProjectWindowController::commitOpenFiles() {
    if (_project) _project->commit(false);
}

void QVProjectWindowController::tabViewDidCloseTab(QVTabView* view, const QString& identifier, qint64 index, void* context) {
    for (auto it = _transfers.begin(); it != _transfers.end(); ++it) {
        if ((*it)->uuid() != identifier) continue;
        std::unique_ptr<QVTransferModeDocument> closing = std::move(*it);
        _transfers.erase(it);
        if (_activeTransfer == closing.get()) _activeTransfer = nullptr;
        tabView()->removeContentView(closing->view());
        // The tab may still be on the stack that closes it: the document goes on a later turn,
        // and a reply arriving meanwhile must not reach this window, which may be gone by then.
        closing->detach();
        closing.release()->deleteLater();
        return;
    }
    QVMultiFileWindowController::tabViewDidCloseTab(view, identifier, index, context);
    if (!context) commitOpenFiles();
}

void QVProjectWindowController::tabViewDraggedTabFromIndex(QVTabView* view, qint64 from, qint64 to) {
    // The strip has the new order: the file tabs keep theirs among themselves.
    QVTab* moved = tabView()->tabBar()->tabAtIndex(to);
    if (moved && !transferAtIndex(to)) {
        const QList<QVFileDocument*> files = openDocuments();
        qint64 fromFile = -1;
        for (qint64 i = 0; i < files.size(); ++i)
            if (files[i]->uuid() == moved->tabIdentifier()) fromFile = i;
        if (fromFile >= 0) QVMultiFileWindowController::tabViewDraggedTabFromIndex(view, fromFile, fileIndexOf(to));
    }
    (void)from;
    commitOpenFiles();
}

namespace {

// The path from root of a file under it; empty for one outside.
QString pathUnderRoot(const QString& root, const QString& path) {
    if (root.isEmpty() || path.isEmpty()) return {};
    const QString relative = QDir(root).relativeFilePath(path);
    if (relative.isEmpty() || relative == QLatin1String(".") || relative.startsWith(QLatin1String("../")) || relative == QLatin1String("..") ||
        QDir::isAbsolutePath(relative))
        return {};
    return relative;
}

}  // namespace

bool QVProjectWindowController::projectFileConfiguration(QVFileDocument*, const QString& path, const QString& key, QVariant* value) {
    const QString file = _project ? pathUnderRoot(_project->rootDirectory(), path) : QString();
    if (file.isEmpty()) return false;
    if (value) *value = _project->configurationValueForKey(key, file);
    return true;
}

bool QVProjectWindowController::setProjectFileConfiguration(QVFileDocument*, const QString& path, const QString& key, const QVariant& value) {
    const QString file = _project ? pathUnderRoot(_project->rootDirectory(), path) : QString();
    if (file.isEmpty()) return false;
    _project->setConfigurationValue(value, key, file);
    _project->commit(false);
    return true;
}

void QVProjectWindowController::reopenFiles() {
    if (!_project) return;
    const QString root = _project->rootDirectory();
    _project->loadIfNecessary();
    // A project file that could not be read, or site settings it held that were refused, are said
    // here, not only in the system log.
    if ((_project->foundUnreadableCopy() || _project->refusedSiteSettings()) && _project->readError())
        presentErrorAlert(_project->readError());
    const QVariantList files = _project->configurationValueForKey(QVProject::OpenFilesKey).toList();
    for (const QVariant& item : files) {
        // A path from the root, with or without its leading "/"; never one that leaves the root.
        QString file = item.toMap().value(QStringLiteral("path")).toString();
        while (file.startsWith(QLatin1Char('/'))) file.remove(0, 1);
        if (file.isEmpty() || file.split(QLatin1Char('/')).contains(QStringLiteral(".."))) continue;
        const QString path = QDir(root).filePath(file);
        if (FileName::isRegularFile(path)) openFileAtPath(path);
    }
}

QVariantList QVProjectWindowController::openFileInformation() const {
    QVariantList files;
    for (QVFileDocument* document : openDocuments()) {
        const std::shared_ptr<QVFile> node = document->fileNode();
        if (!node || node->pathFromRoot().isEmpty()) continue;
        files.append(QVariantMap{{QStringLiteral("path"), node->pathFromRoot()}});
    }
    return files;
}

// --- Selection and outline events ----------------------------------------------------------------

std::shared_ptr<QVFile> QVProjectWindowController::selectedFile() const {
    const QModelIndex current = _outlineView->selectionModel() ? _outlineView->currentIndex() : QModelIndex();
    if (!current.isValid() || !_outlineView->selectionModel()->isSelected(current.siblingAtColumn(0))) return nullptr;
    return _outlineModel->nodeForIndex(current.siblingAtColumn(0));
}

std::shared_ptr<QVFile> QVProjectWindowController::targetFolder() const {
    const std::shared_ptr<QVFile> selected = selectedFile();
    if (selected && selected->isFolder()) return selected;
    if (selected && selected->parent()) return selected->parent();
    return _project ? std::shared_ptr<QVFile>(_project->rootFile()) : nullptr;
}

void QVProjectWindowController::selectNode(const std::shared_ptr<QVFile>& node) {
    const QModelIndex row = _outlineModel->indexForNode(node.get());
    if (row.isValid()) _outlineView->selectionModel()->setCurrentIndex(row, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void QVProjectWindowController::outlineSelectionChanged() { validateCommands(); }

void QVProjectWindowController::outlineSingleAction(const QModelIndex& index) {
    const std::shared_ptr<QVFile> node = _outlineModel->nodeForIndex(index);
    if (!node || !index.isValid()) return;
    // A folder (a transfer tab of a connected project) opens on selection; a file on a single
    // click unless files open on double clicks.
    if (node->isFolder() || !UserDefaults::standard().boolForKey(DoubleClickToOpenFilesKey)) openFileKeepingFocus(node);
}

void QVProjectWindowController::outlineDoubleAction(const QModelIndex& index) {
    const std::shared_ptr<QVFile> node = _outlineModel->nodeForIndex(index);
    if (!node || !index.isValid()) return;
    if (node->isFolder()) {
        _outlineView->setExpanded(index, !_outlineView->isExpanded(index));
        return;
    }
    openFileAndFocus(node);
}

void QVProjectWindowController::outlineItemExpanded(const QModelIndex& index) {
    const std::shared_ptr<QVFile> node = _outlineModel->nodeForIndex(index);
    if (!node || !index.isValid()) return;
    const bool firstTime = !node->everExpanded();
    if (firstTime && scmUsable())
        if (QVProjectSCMController* scm = _project->scmController()) scm->getStatusForPath(node->pathFromRoot(), true, false);
    if (!node->expanded()) {
        node->setExpanded(true);
        if (!firstTime) node->refresh(true);
        node->startWatching();
    }
}

void QVProjectWindowController::outlineItemCollapsed(const QModelIndex& index) {
    const std::shared_ptr<QVFile> node = _outlineModel->nodeForIndex(index);
    if (!node || !index.isValid() || !node->expanded()) return;
    node->stopWatching();
    node->setExpanded(false);
}

// --- Version control ------------------------------------------------------------------------------

bool QVProjectWindowController::scmUsable() const {
    return _project && !_project->boolConfigurationValueForKey(SCMDisabledKey) && _project->scmController();
}

bool QVProjectWindowController::scmColumnShown() const { return _scmColumnShown; }

void QVProjectWindowController::updateSCMColumnStatus() {
    bool show = scmUsable();
    if (show && QVStartupItemsController::sharedController().canRunItemWithIdentifier(subversionCheckIdentifier())) {
        // The client has not been found yet: ask once the window is up, then look again.
        show = false;
        QTimer::singleShot(0, this, [self = QPointer<QVProjectWindowController>(this)] {
            if (!self) return;
            QVStartupItemsController::sharedController().runItemWithIdentifier(subversionCheckIdentifier(), self, [self](int resolved) {
                if (self && resolved == 1) self->updateSCMColumnStatus();
            });
        });
    }
    _outlineView->setColumnHidden(QVProjectOutlineModel::SCMColumn, !show);
    if (show) {
        QHeaderView* header = _outlineView->header();
        header->moveSection(header->visualIndex(QVProjectOutlineModel::SCMColumn), 0);
        if (!_scmColumnShown) _project->scmController()->getStatusForPath(QString(), true, false);
    }
    _scmColumnShown = show;
}

void QVProjectWindowController::projectRetrievedStatus(const QList<std::shared_ptr<QVSCMStatusEntry>>& entries,
                                                       const QString& path, bool recursive) {
    const std::shared_ptr<QVRootFile> root = _project ? _project->rootFile() : nullptr;
    if (!root) return;
    QList<std::shared_ptr<const QVSCMStatusEntry>> statuses;
    for (const auto& entry : entries) statuses.append(entry);
    std::shared_ptr<QVFile> node;
    if (path.isEmpty() || path == QLatin1String(".")) node = root;
    else node = root->childWithPath(path.split(u'/', Qt::SkipEmptyParts), true);
    if (!node) return;
    if (node->isFolder() || node == root) {
        // Asked inside a folder, the client sees an external folder as a working copy of its
        // own and does not list it: its mark, which only its parent's status gives, stays
        // unless the folder's own entry says otherwise.
        const auto own = node->scmStatus();
        node->clearSCMStatus(recursive);
        if (node != root && own && own->workingCopyStatus() == QVSCMStatusEntry::ExternalStatus) node->setSCMStatus(own);
        node->setChildrenSCMStatusFromEntries(statuses);
    } else {
        node->setSCMStatus(statuses.isEmpty() ? nullptr : statuses.first());
    }
    QTimer::singleShot(0, this, [self = QPointer<QVProjectWindowController>(this), weak = std::weak_ptr<QVFile>(node)] {
        if (const auto shown = weak.lock(); self && shown) self->fileNeedsRefresh(shown);
    });
}

void QVProjectWindowController::projectFinishedSCMCommand(QVProjectSCMController* controller, int command, const QStringList& files) {
    if (!_project) return;
    if (command == 12) {
        // An update may leave new files beside those it named (a conflict's .mine and .rN
        // copies): their folders are listed again and their statuses asked.
        QStringList folders;
        for (const QString& path : files) {
            const QString folder = path.contains(u'/') ? path.section(u'/', 0, -2) : QStringLiteral(".");
            if (!folders.contains(folder) && !FileName::isFolder(QDir(_project->rootDirectory()).filePath(path))) folders << folder;
        }
        for (const QString& folder : folders) {
            const std::shared_ptr<QVFile> node =
                folder == QLatin1String(".") ? _project->rootFile() : _project->rootFile()->childWithPath(folder.split(u'/', Qt::SkipEmptyParts), false);
            if (node) node->refresh(true);
            if (controller && scmUsable()) controller->getStatusForPath(folder, true, false);
        }
    }
    for (const QString& path : files) {
        const QString full = QDir(_project->rootDirectory()).filePath(path);
        if (controller) controller->getStatusForPath(path, FileName::isFolder(full), false);
        // A revert or update changed the file under its tab: the tab shows the file as it is now.
        if (command == 10 || command == 12)
            if (QVFileDocument* document = documentForPath(full)) {
                QVError error;
                if (!document->revertToContentsOfFile(QString(), &error)) presentErrorAlert(error);
            }
    }
}

// --- Project callbacks -------------------------------------------------------------------------------

void QVProjectWindowController::projectSetStatusString(const QString& status) { documentStatusBar()->setStatus(status); }
void QVProjectWindowController::projectShowProgress(bool show) { documentStatusBar()->showProgress(show); }

void QVProjectWindowController::projectNeedsRemoteCredentials(bool refused) {
    if (!_project) return;
    if (!_credentials) _credentials = new QVCredentialsController(this);
    _credentials->setTitle(L("Remote Login: %@").replace(QStringLiteral("%@"), _project->remoteConfig().host()));
    // A login tried with no password (sftp tries its keys first) was refused no password the
    // user gave: the first sheet asks without saying a login failed.
    QVProjectRemoteConfiguration& config = _project->remoteConfig();
    if (config.password().isEmpty() && _passwordConfirmedFor != accountOf(config)) refused = false;
    _credentials->setMessage(refused ? L("The login failed: the site did not accept this name and password.") : QString());
    if (refused) _passwordConfirmedFor.clear();
    // A refused password is typed anew, never offered again.
    _credentials->setPassword({});
    _credentials->displayOnWindow(this, _project->remoteConfig().user(), this, 0);
}

void QVProjectWindowController::projectNeedsSCMCredentials(QVProjectSCMController* controller) {
    if (!_project || !controller) return;
    if (!_credentials) _credentials = new QVCredentialsController(this);
    // One sheet at a time: a request while the site's login shows waits for nothing and fails.
    if (_credentials->isVisible()) return controller->credentialsCancelled();
    _credentials->setTitle(L("SCM Login"));
    _credentials->setMessage(controller->loginFailed() ? L("The login failed: the server did not accept this name and password.") : QString());
    _credentials->setPassword({});
    _credentials->setUseKeychain(_project->boolConfigurationValueForKey(QStringLiteral("QVSCMUseKeychainKey")));
    _credentials->displayOnWindow(this, controller->username(), this, 1);
}

void QVProjectWindowController::credentialsDidEnd(QVCredentialsController* sheet, int returnCode) {
    if (sheet->tag() == 1) {
        QVProjectSCMController* scm = _project ? _project->scmController() : nullptr;
        if (!scm) return;
        if (returnCode == 1) scm->setCredentials(sheet->username(), sheet->password(), sheet->useKeychain());
        else scm->credentialsCancelled();
        return;
    }
    if (!_project || sheet->tag() != 0) return;
    if (returnCode != 1) {
        // Nothing reaches the site until the next login: the window says so, and a save's upload
        // says it did not happen.
        _project->dropRemoteConnection();
        projectShowProgress(false);
        projectSetStatusString(L("Offline: not logged in to %1").replace(QStringLiteral("%1"), _project->remoteConfig().host()));
        return;
    }
    QVProjectRemoteConfiguration& config = _project->remoteConfig();
    config.setUser(sheet->username());
    config.setPassword(sheet->password());
    config.setUseKeychain(sheet->useKeychain());
    _passwordConfirmedFor = accountOf(config);
    connectToSite();
}

// --- Tree callbacks ----------------------------------------------------------------------------------

void QVProjectWindowController::fileNeedsRefresh(const std::shared_ptr<QVFile>& file) {
    if (file) _outlineModel->refreshNode(file.get());
}

QList<QVFileDocument*> QVProjectWindowController::documentsUnder(const std::shared_ptr<QVFile>& node, QString path) const {
    QList<QVFileDocument*> found;
    if (!node) return found;
    if (path.isEmpty()) path = node->path();
    for (QVFileDocument* document : openDocuments()) {
        // By path too: a folder that is gone no longer says it is one.
        const std::shared_ptr<QVFile> file = document->fileNode();
        if (file == node || (!document->fileName().isEmpty() && !path.isEmpty() && document->fileName().startsWith(path + u'/')))
            found.append(document);
    }
    return found;
}

void QVProjectWindowController::fileRemovedChild(const std::shared_ptr<QVFile>& parent, const std::shared_ptr<QVFile>& child) {

    // A clean tab of the file closes; an edited one stays open with its text (its document
    // hears that the file is gone and asks what to do).
    // The child has left the tree: its path is where it was in the parent.
    const QString path = parent ? QDir(parent->path()).filePath(child->name()) : QString();
    for (QVFileDocument* document : documentsUnder(child, path))
        if (!document->isDocumentEdited())
            if (QVTab* tab = tabView()->tabForIdentifier(document->uuid())) tabView()->closeTabViewItem(tab, true);
    fileNeedsRefresh(parent);
}

void QVProjectWindowController::fileWasDuplicatedToFile(const std::shared_ptr<QVFile>&, const std::shared_ptr<QVFile>& copy) {
    QTimer::singleShot(0, this, [self = QPointer<QVProjectWindowController>(this), weak = std::weak_ptr<QVFile>(copy)] {
        const auto node = weak.lock();
        if (!self || !node) return;
        self->selectNode(node);
        self->_outlineView->editSelectedName();
    });
}

void QVProjectWindowController::fileContentBecameAvailable(const std::shared_ptr<QVFile>& file) {
    if (file && _focusWhenOpened.contains(file->uuid())) openFileAndFocus(file);
    else openFileKeepingFocus(file);
}

void QVProjectWindowController::openFileKeepingFocus(const std::shared_ptr<QVFile>& file) {
    // A file shown on a single click (or arriving after one) leaves the keys with the outline:
    // the Delete key still acts on the row, not on a character of the text.
    const bool outlineFocused = _outlineView->hasFocus();
    openFile(file);
    if (outlineFocused) _outlineView->setFocus(Qt::OtherFocusReason);
}

bool QVProjectWindowController::fileShouldUpload(const std::shared_ptr<QVFile>&) {
    // A local project keeps a stored host to itself: it never uploads.
    return _project && _project->type() != QVProject::Local && _project->hasRemoteEquivalent() &&
           _project->boolConfigurationValueForKey(QVProject::UploadAutomaticallyKey);
}

bool QVProjectWindowController::downloadShouldOverwriteLocalFile(const std::shared_ptr<QVFile>&) {
    return _project && _project->type() == QVProject::RemoteOnly;
}

// --- Commands ------------------------------------------------------------------------------------------

void QVProjectWindowController::validateCommands() {
    const std::shared_ptr<QVFile> node = selectedFile();
    const bool remote = _project && _project->type() != QVProject::Local && _project->hasRemoteEquivalent();
    const bool local = node && node->contentAvailable(false);
    auto set = [this](const char* name, bool enabled) {
        if (QAction* action = _commands.value(QString::fromLatin1(name))) action->setEnabled(enabled);
    };
    set("renameFile", bool(node));
    set("deleteFile", bool(node));
    set("duplicateFile", local);
    set("showFileInFinder", local);
    set("openFileWithFinder", local);
    set("uploadFile", node && remote && local);
    set("downloadFile", node && remote && node->remoteRepresentation());
    set("establishRemoteConnection", remote && !_project->hasRemoteConnection());
    set("cancelRemoteOperation", (remote && _project->remoteQueue()) || scmUsable());
    set("scmRefreshStatus", scmUsable());
    set("viewRemoteTransferLog", _project && _project->remoteQueue());
    const int logState = _log ? int(_log->state()) : 0;
    _commands.value(QStringLiteral("viewRemoteTransferLog"))
        ->setText(logState == QVRemoteLogController::Opening || logState == QVRemoteLogController::Open ? L("Hide Remote Transfer Log")
                                                                                                        : L("Show Remote Transfer Log"));
    // File commands say "Directory" while a folder is selected.
    for (const char* name : {"renameFile", "deleteFile", "duplicateFile", "showFileInFinder", "openFileWithFinder", "uploadFile", "downloadFile"}) {
        QAction* action = _commands.value(QString::fromLatin1(name));
        if (!action || !node) continue;
        QString title = action->text();
        if (node->isFolder()) title.replace(L("File"), L("Directory"));
        else title.replace(L("Directory"), L("File"));
        action->setText(title);
    }
    _commands.value(QStringLiteral("toggleProjectView"))->setText(_splitView->isLeftPaneCollapsed() ? L("Show Project View") : L("Hide Project View"));
    if (_scmToggle)
        _scmToggle->setText(_project && _project->boolConfigurationValueForKey(SCMDisabledKey) ? L("ENABLE_SCM") : L("DISABLE_SCM"));
}

void QVProjectWindowController::editProjectSettings() {
    if (!_project) return;
    if (!_settingsWindow) {
        QVProjectSettingsWindowController* settings = QVProjectSettingsWindowController::showSettings(_project);
        settings->setSharesProject(true);
        _settingsWindow = settings;
    }
    _settingsWindow->show();
    _settingsWindow->raise();
    _settingsWindow->activateWindow();
}

void QVProjectWindowController::toggleProjectView() { _splitView->toggleLeftPane(); }

void QVProjectWindowController::establishRemoteConnection() {
    if (!_project || _project->type() == QVProject::Local || !_project->hasRemoteEquivalent()) return;
    if (!_project->hasRemoteConnection()) connectToSite();
}

void QVProjectWindowController::connectToSite() {
    if (!_project) return;
    // A login without the password would only be refused, with the tree's listing failing
    // beside the question: it is asked for first. sftp may log in with a key instead, and an
    // anonymous FTP login takes any password.
    // An empty password the user confirmed on the sheet is the account's own (an FTP account
    // without one), and a WebDAV site with neither name nor password asks for no login at all.
    QVProjectRemoteConfiguration& config = _project->remoteConfig();
    const bool anonymous = config.protocol() == QVRemoteFilesConnection::FTP &&
                           (config.user() == QStringLiteral("anonymous") || config.user() == QStringLiteral("ftp"));
    const bool openWebDAV = config.protocol() == QVRemoteFilesConnection::WebDAV && config.user().isEmpty();
    if (config.protocol() != QVRemoteFilesConnection::SFTP && !anonymous && !openWebDAV &&
        _passwordConfirmedFor != accountOf(config) && config.password().isEmpty()) {
        projectNeedsRemoteCredentials();
        return;
    }
    _project->connectToRemoteSite();
    if (const auto queue = _project->remoteQueue())
        queue->setLogDelegate([log = _log](const QString& text) {
            MainQueue::post([log, text] {
                if (log) log->appendStringToLog(text);
            });
        });
}

void QVProjectWindowController::viewRemoteTransferLog() {
    if (_project && _project->remoteQueue()) _log->toggle(this);
}

void QVProjectWindowController::cancelRemoteOperation() {
    if (_project && _project->remoteQueue()) _project->remoteQueue()->cancel();
    // A Subversion client waiting on a server that never answers ends too.
    if (_project && _project->scmController()) _project->scmController()->cancelCommand();
}

void QVProjectWindowController::scmRefreshStatus() {
    if (!scmUsable()) return;
    const std::shared_ptr<QVFile> target = targetFolder();
    const bool root = !target || target == _project->rootFile();
    _project->scmController()->getStatusForPath(root ? QStringLiteral(".") : target->pathFromRoot(), true, true);
}

void QVProjectWindowController::toggleSCM() {
    if (!_project) return;
    _project->setBoolConfigurationValue(!_project->boolConfigurationValueForKey(SCMDisabledKey), SCMDisabledKey);
    updateSCMColumnStatus();
}

bool QVProjectWindowController::loginAgainIfClosed() {
    // The site's connection closed behind the tree (its settings changed): a listing on it
    // would only fail. A login anew lists the tree itself.
    if (!_project || _project->type() == QVProject::Local || !_project->hasRemoteEquivalent()) return false;
    const auto queue = _project->remoteQueue();
    if (!queue || (queue->state() != QVRemoteSiteQueue::Closed && queue->state() != QVRemoteSiteQueue::Closing)) return false;
    connectToSite();
    return true;
}

void QVProjectWindowController::refreshAll() {
    if (loginAgainIfClosed()) return;
    if (_project && _project->rootFile()) _project->rootFile()->refresh(false);
    if (_scmColumnShown && scmUsable()) _project->scmController()->getStatusForPath(QStringLiteral("."), true, true);
}

void QVProjectWindowController::refreshDirectory() {
    if (loginAgainIfClosed()) return;
    if (const auto target = targetFolder()) target->refresh(false);
}

void QVProjectWindowController::newFileInProject() {
    if (_project) runNewFilePanel(_project->rootDirectory(), 0);
}

void QVProjectWindowController::newFileInDirectory() {
    const auto target = targetFolder();
    runNewFilePanel(target ? target->path() : _project ? _project->rootDirectory() : QString(), 0);
}

void QVProjectWindowController::newFolderInDirectory() {
    const auto target = targetFolder();
    runNewFilePanel(target ? target->path() : _project ? _project->rootDirectory() : QString(), 1);
}

void QVProjectWindowController::runNewFilePanel(const QString& folder, int tag) {
    auto* panel = new QFileDialog(this, tag == 1 ? L("New Directory") : L("New File"), folder);
    panel->setAttribute(Qt::WA_DeleteOnClose);
    panel->setAcceptMode(QFileDialog::AcceptSave);
    panel->setFileMode(QFileDialog::AnyFile);
    panel->setOption(QFileDialog::DontUseNativeDialog);
    panel->setLabelText(QFileDialog::Accept, L("Create"));
    panel->setLabelText(QFileDialog::FileName, L("Name:"));
    panel->setWindowModality(Qt::WindowModal);
    connect(panel, &QFileDialog::fileSelected, this, [this, tag](const QString& path) { newFilePanelDidEnd(path, tag); });
    panel->open();
}

void QVProjectWindowController::newFilePanelDidEnd(const QString& path, int tag) {
    if (path.isEmpty()) return;
    if (tag == 1) createDirectoryAtPath(path);
    else createFileAtPath(path);
}

bool QVProjectWindowController::createFileAtPath(const QString& path) {
    // A new file, never one that is there already (the panel's overwrite question says nothing
    // about emptying it).
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        const QVError error = QVError::posix(FileName::exists(path) ? EEXIST : EACCES, L("Could not create file"), path);
        QTimer::singleShot(0, this, [self = QPointer<QVProjectWindowController>(this), error] { if (self) self->presentErrorAlert(error); });
        return false;
    }
    file.close();
    addFileAtPathToProject(path);
    return true;
}

bool QVProjectWindowController::createDirectoryAtPath(const QString& path) {
    if (!QDir().mkdir(path)) {
        const QVError error = QVError::make(QStringLiteral("NSCocoaErrorDomain"), 512, L("Could not create directory"),
                                            L("Please be sure you have write permissions for the directory"), {},
                                            {{QStringLiteral("NSFilePath"), path}});
        QTimer::singleShot(0, this, [self = QPointer<QVProjectWindowController>(this), error] { if (self) self->presentErrorAlert(error); });
        return false;
    }
    addFileAtPathToProject(path);
    return true;
}

void QVProjectWindowController::addFileAtPathToProject(const QString& path) {
    const std::shared_ptr<QVRootFile> root = _project ? _project->rootFile() : nullptr;
    if (!root || !root->containsPath(path)) {
        // Made outside the project (the panel went elsewhere): it opens in a window of its own.
        QVMultiFileDocument::openWindow(path);
        return;
    }
    const std::shared_ptr<QVFile> node = root->addFileAtPath(path);
    if (!node) return;
    if (const auto parent = node->parent()) fileNeedsRefresh(parent);
    if (!node->isFolder()) openFile(node);
}

bool QVProjectWindowController::renameNode(const std::shared_ptr<QVFile>& node, const QString& name) {
    if (!node) return false;
    if (!isSafeComponent(name)) {
        presentErrorAlert(QVError::app(0, L("Could not rename"),
                                       L("The name \"%@\" cannot be used: it may not be empty, \".\" or \"..\", or hold \"/\".").replace(QStringLiteral("%@"), name)));
        return false;
    }
    node->rename(name);
    return false;  // the outline follows the node's report
}

bool QVProjectWindowController::moveNode(const std::shared_ptr<QVFile>& node, const std::shared_ptr<QVFile>& folder) {
    if (!node || !folder || node == folder || node->parent() == folder) return false;
    if (node->isFolder() && node->containsPath(folder->path())) return false;
    return node->moveToFile(folder);
}

void QVProjectWindowController::deleteFile() {
    const std::shared_ptr<QVFile> node = selectedFile();
    if (!node) return;
    const bool hasRemoteSide = bool(node->remoteRepresentation());
    QString suggestion = hasRemoteSide
                             ? L("\"%@\" will be deleted from the server and from this computer. This cannot be undone.")
                             : L("Would you like to delete the file immediately, or move it to the trash?");
    suggestion.replace(QStringLiteral("%@"), FileName::shown(node->name()));
    QStringList edited;
    for (QVFileDocument* document : documentsUnder(node))
        if (document->isDocumentEdited()) edited << document->displayName();
    if (!edited.isEmpty())
        suggestion += QStringLiteral("\n\n") + L("Unsaved changes in %@ will be lost.").replace(QStringLiteral("%@"), edited.join(QStringLiteral(", ")));
    const QStringList options = hasRemoteSide ? QStringList{L("Delete"), L("Cancel")}
                                              : QStringList{L("Move to Trash"), L("Delete"), L("Cancel")};
    const QVError question = QVError::app(DeleteQuestionCode, L("Delete File"), suggestion, options);
    // The answer acts on the node asked about, if it is still there.
    _questions->presentError(question, [self = QPointer<QVProjectWindowController>(this), weak = std::weak_ptr<QVFile>(node), hasRemoteSide](int option) {
        if (self) self->deleteAnswered(weak, option, hasRemoteSide);
    });
}

void QVProjectWindowController::deleteAnswered(const std::weak_ptr<QVFile>& weak, int option, bool hasRemoteSide) {
    const std::shared_ptr<QVFile> node = weak.lock();
    if (!node) return;
    if (hasRemoteSide) {
        if (option == 0) node->deleteFile();
        return;
    }
    if (option == 0) node->moveToTrash();
    else if (option == 1) node->deleteFile();
}

void QVProjectWindowController::renameFile() {
    if (selectedFile()) _outlineView->editSelectedName();
}

void QVProjectWindowController::duplicateFile() {
    if (const auto node = selectedFile()) node->duplicate();
}

void QVProjectWindowController::showFileInFinder() {
    const auto node = selectedFile();
    if (!node || !node->contentAvailable(false)) return;
    WorkspaceUtilities::revealInFileManager(node->path());
}

void QVProjectWindowController::openFileWithFinder() {
    const auto node = selectedFile();
    if (node && node->contentAvailable(false)) QDesktopServices::openUrl(QUrl::fromLocalFile(node->path()));
}

void QVProjectWindowController::uploadFile() {
    const auto node = selectedFile();
    if (!node || !_project || _project->type() == QVProject::Local || !_project->hasRemoteEquivalent()) return;
    if (!_project->hasRemoteConnection()) connectToSite();
    node->upload();
}

void QVProjectWindowController::downloadFile() {
    const auto node = selectedFile();
    if (!node || !_project || _project->type() == QVProject::Local || !node->remoteRepresentation()) return;
    if (!_project->hasRemoteConnection()) connectToSite();
    node->download();
}

void QVProjectWindowController::addFilesToDirectory() {
    const std::shared_ptr<QVFile> target = targetFolder();
    if (!target) return;
    auto* panel = new QFileDialog(this, L("Import Files"));
    panel->setAttribute(Qt::WA_DeleteOnClose);
    panel->setFileMode(QFileDialog::ExistingFiles);
    panel->setOption(QFileDialog::DontUseNativeDialog);
    panel->setWindowModality(Qt::WindowModal);
    connect(panel, &QFileDialog::filesSelected, this, [this, weak = std::weak_ptr<QVFile>(target)](const QStringList& paths) {
        // The question opens once the panel has gone.
        QTimer::singleShot(0, this, [this, weak, paths] {
            if (const auto folder = weak.lock()) promptForFileImport(paths, folder);
        });
    });
    panel->open();
}

void QVProjectWindowController::promptForFileImport(const QStringList& paths, const std::shared_ptr<QVFile>& target) {
    if (paths.isEmpty() || !target) return;
    auto* alert = new QMessageBox(QMessageBox::Question, L("File Import"),
                                  paths.size() == 1 ? L("Would you like to move the file, or copy it?")
                                                    : L("Would you like to move the files, or copy them?"),
                                  QMessageBox::NoButton, this);
    alert->setObjectName(QStringLiteral("FileImport"));
    alert->setAttribute(Qt::WA_DeleteOnClose);
    alert->setWindowModality(Qt::WindowModal);
    QPushButton* move = alert->addButton(L("Move"), QMessageBox::AcceptRole);
    alert->addButton(L("Cancel"), QMessageBox::RejectRole);
    QPushButton* copy = alert->addButton(L("Copy"), QMessageBox::ActionRole);
    alert->setDefaultButton(move);
    connect(alert, &QMessageBox::buttonClicked, this, [this, move, copy, paths, weak = std::weak_ptr<QVFile>(target)](QAbstractButton* button) {
        const auto folder = weak.lock();
        if (!folder || (button != move && button != copy)) return;
        importFiles(paths, folder, button == move);
    });
    alert->open();
}

void QVProjectWindowController::importFiles(const QStringList& paths, const std::shared_ptr<QVFile>& target, bool move) {
    if (!target) return;
    if (!target->contentAvailable(false) && !FileManagerUtilities::ensureDirectoryExists(target->path())) return;
    const QString folder = target->path();
    QStringList failures;
    for (const QString& path : paths) {
        const QString clean = QDir::cleanPath(path);
        const QString name = QFileInfo(clean).fileName();
        // Never a folder into itself or below itself, never over a file already there.
        if (!isSafeComponent(name) || clean == folder || folder.startsWith(clean + u'/')) {
            failures << L("%@: a folder cannot go into itself").replace(QStringLiteral("%@"), name);
            continue;
        }
        const QString destination = folder + u'/' + name;
        if (QDir::cleanPath(destination) == clean) continue;  // already there
        QVError error;
        const bool done = move ? LocalFileOperations::moveItem(clean, destination, &error)
                               : LocalFileOperations::copyItem(clean, destination, &error);
        if (done) target->addFileAtPath(destination);
        else failures << name + QStringLiteral(": ") + (error.localizedRecoverySuggestion().isEmpty() ? error.localizedDescription()
                                                                                                      : error.localizedRecoverySuggestion());
        fileNeedsRefresh(target);
    }
    if (!failures.isEmpty())
        presentErrorAlert(QVError::app(FileManagerUtilities::FileOperationErrorCode, L("File Import"), failures.join(u'\n')));
}
