// A transfer tab of the project window.
#include "projects/windows/QVTransferModeDocument.h"

#include "files/LocalFileOperations.h"
#include "files/QVFile.h"
#include "files/QVRemoteSiteQueue.h"
#include "platform/AppBundle.h"
#include "platform/FileName.h"
#include "platform/MainQueue.h"
#include "platform/Paths.h"
#include "platform/QVError.h"
#include "projects/windows/QVFileListingTable.h"
#include "projects/windows/QVTransferModeActionPanelController.h"
#include "shell/ColorUtilities.h"
#include "shell/FileManagerUtilities.h"
#include "shell/QVFileFilters.h"
#include "shell/QVGradientBar.h"
#include "shell/WorkspaceUtilities.h"
#include "shell/StringHashing.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QRegularExpression>
#include <QSplitter>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

namespace {

using Entry = QVTransferListModel::Entry;
using Side = QVTransferListModel::Side;

// The live tabs by drag token: a drop names its source only through this table, so a tab
// closed during the drag (or a token from elsewhere) resolves to nothing.
QHash<QString, QPointer<QVTransferModeDocument>>& liveDocuments() {
    static QHash<QString, QPointer<QVTransferModeDocument>> documents;
    return documents;
}

QString joined(const QString& folder, const QString& name) {
    return folder.endsWith(u'/') ? folder + name : folder + u'/' + name;
}

QString lastComponent(const QString& path) {
    QString trimmed = path;
    while (trimmed.size() > 1 && trimmed.endsWith(u'/')) trimmed.chop(1);
    const qsizetype slash = trimmed.lastIndexOf(u'/');
    return slash < 0 ? trimmed : trimmed.mid(slash + 1);
}

}  // namespace

// Hands the queue's reports (on its threads) to the tab on the main thread, while it lives.
class QVTransferModeDocument::Forwarder : public QVRemoteSiteQueueDelegate {
public:
    explicit Forwarder(QVTransferModeDocument* document) : _document(document), _identity(document) {}
    const void* identity() const override { return _identity; }

    void queueRetrievedFiles(QVRemoteSiteQueue*, const QList<QVRemoteFile>& files, const QString& path) override {
        post([files, path](QVTransferModeDocument* d) { d->retrievedFiles(files, path); });
    }
    void queueDownloadedFile(QVRemoteSiteQueue*, const QString& remote, const QString& local) override {
        post([remote, local](QVTransferModeDocument* d) { d->downloadedFile(remote, local); });
    }
    void queueUploadedFile(QVRemoteSiteQueue*, const QString& local, const QString& remote) override {
        post([local, remote](QVTransferModeDocument* d) { d->uploadedFile(local, remote); });
    }
    void queueMovedFile(QVRemoteSiteQueue*, const QString& from, const QString& to) override {
        post([from, to](QVTransferModeDocument* d) { d->movedFile(from, to); });
    }
    void queueDeletedFile(QVRemoteSiteQueue*, const QString& path) override {
        post([path](QVTransferModeDocument* d) { d->deletedFile(path); });
    }
    void queueCreatedDirectory(QVRemoteSiteQueue*, const QString& path) override {
        post([path](QVTransferModeDocument* d) { d->createdDirectory(path); });
    }
    // The error itself reached the queue's delegate (the project), which shows it once.
    void queueActionFailed(QVRemoteSiteQueue*, QVRemoteFileAction*, const QVError&) override {
        post([](QVTransferModeDocument* d) { d->listingFailed(); });
    }

private:
    void post(std::function<void(QVTransferModeDocument*)> call) {
        MainQueue::post([document = _document, call = std::move(call)] {
            if (document) call(document.data());
        });
    }
    QPointer<QVTransferModeDocument> _document;
    const void* _identity;
};

QVTransferModeDocument::QVTransferModeDocument(const std::shared_ptr<QVFile>& folder,
                                               const std::shared_ptr<QVRemoteSiteQueue>& queue,
                                               QVTransferModeDelegate* delegate)
    : _file(folder), _queue(queue), _delegate(delegate), _token(StringHashing::uuid()) {
    _forwarder = std::make_shared<Forwarder>(this);
    liveDocuments().insert(_token, this);
    _localModel = new QVTransferListModel(QVTransferListModel::Local, this);
    _remoteModel = new QVTransferListModel(QVTransferListModel::Remote, this);
    _localModel->onRename = [this](int row, const QString& name) { return renameEntry(QVTransferListModel::Local, row, name); };
    _remoteModel->onRename = [this](int row, const QString& name) { return renameEntry(QVTransferListModel::Remote, row, name); };
    _localModel->onDrop = [this](const QMimeData* data) { return acceptDrop(QVTransferListModel::Local, data); };
    _remoteModel->onDrop = [this](const QMimeData* data) { return acceptDrop(QVTransferListModel::Remote, data); };
}

QVTransferModeDocument::~QVTransferModeDocument() {
    liveDocuments().remove(_token);
    if (_queue) _queue->clearActionDelegate(this);
    delete _actionPanelController.data();
    delete _mainView.data();
}

void QVTransferModeDocument::detach() {
    _delegate = nullptr;
    if (_queue) _queue->clearActionDelegate(this);
}

std::shared_ptr<QVRemoteSiteQueueDelegate> QVTransferModeDocument::forwarder() { return _forwarder; }

QString QVTransferModeDocument::uuid() const { return _file ? _file->uuid() : QString(); }

QString QVTransferModeDocument::displayName() const {
    const QString path = _file ? _file->pathFromRoot() : QString();
    const QString name = path.isEmpty() ? (_file ? _file->name() : QString()) : lastComponent(path);
    return QVLocalized(QStringLiteral("Transfer: %@")).replace(QStringLiteral("%@"), FileName::pictured(name));
}

QString QVTransferModeDocument::titleForLists() const {
    const QString path = _file ? _file->pathFromRoot() : QString();
    return QVLocalized(QStringLiteral("Transfer: %@")).replace(QStringLiteral("%@"), path.isEmpty() ? QStringLiteral("/") : FileName::pictured(path));
}

QImage QVTransferModeDocument::icon() {
    static const QImage shared = WorkspaceUtilities::folderIconOfSize(QSize(16, 16));
    return shared;
}

QVTransferModeActionPanelController* QVTransferModeDocument::actionPanel() {
    if (!_actionPanelController) _actionPanelController = new QVTransferModeActionPanelController(_mainView);
    return _actionPanelController;
}

QWidget* QVTransferModeDocument::view() {
    if (!_mainView) buildView();
    return _mainView;
}

void QVTransferModeDocument::buildView() {
    auto* pane = new QWidget;
    pane->setObjectName(QStringLiteral("TransferMode"));
    _mainView = pane;
    auto makeList = [&](QVTransferListModel* model, QLabel*& header, QComboBox*& popup, QVFileListingTable*& table) {
        auto* box = new QWidget;
        auto* layout = new QVBoxLayout(box);
        layout->setContentsMargins(4, 4, 4, 0);
        layout->setSpacing(4);
        // Two folders of one name look alike in the pop-ups: the header says which side is which.
        header = new QLabel(box);
        header->setTextFormat(Qt::PlainText);
        QFont bold = header->font();
        bold.setBold(true);
        header->setFont(bold);
        header->setMinimumWidth(1);
        layout->addWidget(header);
        popup = new QComboBox(box);
        popup->setIconSize(QSize(16, 16));
        table = new QVFileListingTable(box);
        table->setModel(model);
        table->horizontalHeader()->setSectionResizeMode(QVTransferListModel::NameColumn, QHeaderView::Stretch);
        table->horizontalHeader()->setStretchLastSection(false);
        layout->addWidget(popup);
        layout->addWidget(table, 1);
        connect(table, &QVFileListingTable::firstResponderChanged, this, [this] { Q_EMIT haveActiveTableChanged(); });
        return box;
    };
    auto* split = new QSplitter(Qt::Horizontal, pane);
    split->addWidget(makeList(_localModel, _localHeader, _localPopup, _localTable));
    split->addWidget(makeList(_remoteModel, _remoteHeader, _remotePopup, _remoteTable));
    updateHeaders();
    connect(_localPopup, &QComboBox::activated, this, &QVTransferModeDocument::chooseLocalFile);
    connect(_remotePopup, &QComboBox::activated, this, &QVTransferModeDocument::chooseRemoteFile);
    connect(_localTable, &QAbstractItemView::doubleClicked, this, [this] { localTableDoubleClicked(); });
    connect(_remoteTable, &QAbstractItemView::doubleClicked, this, [this] { remoteTableDoubleClicked(); });

    auto* bar = new QVGradientBar(pane);
    bar->setTopBorderWidth(1.0f);
    bar->setTopBorderColor(ColorUtilities::bottomToolbarBorderColor());
    bar->setBackgroundColor(ColorUtilities::bottomToolbarBackgroundColor());
    bar->setFixedHeight(28);
    auto* buttons = new QHBoxLayout(bar);
    buttons->setContentsMargins(6, 2, 6, 2);
    auto* menu = new QMenu(pane);
    const struct {
        const char* title;
        void (QVTransferModeDocument::*action)();
        QKeySequence key;
    } commands[] = {
        {"Transfer", &QVTransferModeDocument::transfer, QKeySequence(Qt::CTRL | Qt::Key_T)},
        {"Delete", &QVTransferModeDocument::deleteSelection, QKeySequence(QKeySequence::Delete)},
        {"Rename", &QVTransferModeDocument::rename, QKeySequence(Qt::Key_F2)},
        {"New Folder", &QVTransferModeDocument::makeDirectory, QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_N)},
        {"Go to Folder", &QVTransferModeDocument::gotoDirectory, QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_G)},
        {"Refresh", &QVTransferModeDocument::refresh, QKeySequence(QKeySequence::Refresh)},
    };
    for (const auto& command : commands) {
        auto* action = new QAction(QVLocalized(QString::fromLatin1(command.title)), pane);
        action->setShortcut(command.key);
        action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        connect(action, &QAction::triggered, this, command.action);
        pane->addAction(action);
        menu->addAction(action);
        auto* button = new QToolButton(bar);
        button->setDefaultAction(action);
        button->setFocusPolicy(Qt::NoFocus);  // the lists keep the focus the commands act on
        button->setAutoRaise(true);
        buttons->addWidget(button);
    }
    buttons->addStretch(1);
    _localTable->setContextMenu(menu);
    _remoteTable->setContextMenu(menu);

    auto* layout = new QVBoxLayout(pane);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(split, 1);
    layout->addWidget(bar);
}

void QVTransferModeDocument::activate() {
    QTimer::singleShot(0, this, [this] { delayedActivate(); });
}

void QVTransferModeDocument::delayedActivate() {
    // The local side shows the folder's own mirror (the root plus its path from the root), so a
    // download lands where the tree expects the file, never in another folder.
    QString local = _file ? _file->path() : QString();
    if (local.isEmpty() && _delegate) {
        const QString root = _delegate->projectRootDirectory();
        const QString path = _file ? _file->pathFromRoot() : QString();
        if (!root.isEmpty()) local = path.isEmpty() ? root : joined(root, path);
    }
    if (!local.isEmpty() && !FileManagerUtilities::ensureDirectoryExists(local)) {
        if (_delegate)
            _delegate->presentErrorAlert(QVError::app(FileManagerUtilities::FileOperationErrorCode,
                                                      QVLocalized(QStringLiteral("Could not create directory")), local));
        local.clear();
    }
    if (!local.isEmpty()) setCurrentLocalPath(local);
    if (!_remoteListed) changeToRemoteDirectory(_file ? _file->pathFromRoot() : QString(), true);
}

void QVTransferModeDocument::setCurrentLocalPath(const QString& path) {
    if (path == _currentLocalPath) return;
    _currentLocalPath = path;
    refreshLocalPane();
}

void QVTransferModeDocument::refreshLocalPane() {
    _localModel->setDragSource(_token, _currentLocalPath);
    if (_localPopup) rebuildPopup(_localPopup, _currentLocalPath, true);
    updateHeaders();
    QList<Entry> entries;
    for (const QVLocalFile& file : QVLocalFile::filesForPath(_currentLocalPath)) entries.append(QVTransferListModel::entry(file));
    _localModel->setEntries(entries);
}

void QVTransferModeDocument::updateHeaders() {
    if (!_localHeader || !_remoteHeader) return;
    // Folder names as the lists show them: a control that reorders text would make a path read
    // as another.
    const QString local = _currentLocalPath.isEmpty() ? QString() : FileName::pictured(Paths::abbreviateWithTilde(_currentLocalPath));
    _localHeader->setText(QVLocalized(QStringLiteral("This computer: %@")).replace(QStringLiteral("%@"), local));
    _localHeader->setToolTip(FileName::pictured(_currentLocalPath));
    const QString site = _delegate ? _delegate->siteName() : QString();
    const QString remote = _remotePopup && _remotePopup->count() > 0 ? _remotePopup->itemData(0).toString() : QString();
    const QString where = remote.isEmpty() ? QStringLiteral("/") : FileName::pictured(remote);
    _remoteHeader->setText(site.isEmpty() ? QVLocalized(QStringLiteral("Site: %@")).replace(QStringLiteral("%@"), where)
                                          : site + QStringLiteral(": ") + where);
    _remoteHeader->setToolTip(_remoteHeader->text());
}

void QVTransferModeDocument::rebuildPopup(QComboBox* popup, const QString& path, bool local) {
    popup->clear();
    const QStringList parts = path.split(u'/', Qt::SkipEmptyParts);
    const QImage folder = WorkspaceUtilities::folderIconOfSize(QSize(16, 16));
    const QString top = local ? QStringLiteral("/") : QString();
    for (qsizetype k = parts.size(); k >= 1; --k) {
        const QString prefix = (local ? top : QString()) + QStringList(parts.mid(0, k)).join(u'/');
        const QImage image = local ? WorkspaceUtilities::iconForFile(prefix, QSize(16, 16)) : folder;
        popup->addItem(QIcon(QPixmap::fromImage(image)), FileName::pictured(parts[k - 1]), prefix);
    }
    // The top: "/" on the disk, the login folder on the site.
    popup->addItem(QIcon(QPixmap::fromImage(folder)), QStringLiteral("/"), top);
    popup->setCurrentIndex(0);
}

QVFileListingTable* QVTransferModeDocument::activeTable() const {
    if (_localTable && _localTable->hasFocus()) return _localTable;
    if (_remoteTable && _remoteTable->hasFocus()) return _remoteTable;
    return nullptr;
}

QList<Entry> QVTransferModeDocument::selectedEntries(QVFileListingTable* table) const {
    QList<Entry> entries;
    if (!table || !table->selectionModel()) return entries;
    const auto* model = static_cast<QVTransferListModel*>(table->model());
    QModelIndexList rows = table->selectionModel()->selectedRows(0);
    std::sort(rows.begin(), rows.end(), [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    for (const QModelIndex& index : rows) entries.append(model->entries().value(index.row()));
    return entries;
}

bool QVTransferModeDocument::isSafeComponent(const QString& name) {
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") && !name.contains(u'/') &&
           !name.contains(QChar(0));
}

void QVTransferModeDocument::refuse(const QString& description, const QString& reason) {
    if (_delegate) _delegate->presentErrorAlert(QVError::app(0, description, reason));
}

void QVTransferModeDocument::transfer() {
    QVFileListingTable* table = activeTable();
    if (table == _localTable) uploadEntries(selectedEntries(table), _currentLocalPath);
    else if (table == _remoteTable) downloadEntries(selectedEntries(table));
}

void QVTransferModeDocument::uploadEntries(const QList<Entry>& entries, const QString& localFolder) {
    if (!_queue || !_remoteListed || localFolder.isEmpty()) return;
    for (const Entry& entry : entries) {
        if (!isSafeComponent(entry.name)) continue;
        const QString local = joined(localFolder, entry.name);
        const QString remote = QVRemoteFile::appendPath(_currentRemotePath, entry.name);
        if (entry.isDirectory) _queue->uploadDirectory(local, remote, forwarder());
        else _queue->uploadFile(local, remote, forwarder());
    }
}

void QVTransferModeDocument::downloadEntries(const QList<Entry>& entries) {
    if (!_queue || _currentLocalPath.isEmpty()) return;
    QStringList refused;
    for (const Entry& entry : entries) {
        // A name the server listed goes into the local folder only as one component of it.
        if (!isSafeComponent(entry.name) || entry.path.isEmpty()) {
            refused << entry.name;
            continue;
        }
        const QString local = joined(_currentLocalPath, entry.name);
        if (entry.isDirectory) _queue->downloadDirectory(entry.path, local, forwarder());
        else _queue->downloadFile(entry.path, local, forwarder());
    }
    if (!refused.isEmpty())
        refuse(QVLocalized(QStringLiteral("Download Refused")),
               QVLocalized(QStringLiteral("These names would leave the folder: %@")).replace(QStringLiteral("%@"), refused.join(QStringLiteral(", "))));
}

bool QVTransferModeDocument::acceptDrop(Side onto, const QMimeData* data) {
    const std::optional<QVTransferListModel::DragPayload> payload = QVTransferListModel::payload(data);
    if (payload) {
        // Entries come from a tab alive now, on the same site, still showing them.
        QVTransferModeDocument* source = liveDocuments().value(payload->token);
        if (!source || source->_queue != _queue || payload->side == onto) return false;
        QVTransferListModel* model = payload->side == QVTransferListModel::Local ? source->_localModel : source->_remoteModel;
        const QString shown = payload->side == QVTransferListModel::Local ? source->_currentLocalPath : source->_currentRemotePath;
        if (shown != payload->folder) return false;
        QList<Entry> entries;
        for (const Entry& dragged : payload->entries) {
            const int row = payload->side == QVTransferListModel::Local ? model->indexOfName(dragged.name) : model->indexOfPath(dragged.path);
            if (row < 0) return false;
            entries.append(model->entries().at(row));
        }
        if (onto == QVTransferListModel::Local) downloadEntries(entries);
        else uploadEntries(entries, payload->folder);
        return true;
    }
    if (onto != QVTransferListModel::Remote || !data || !data->hasUrls() || !_remoteListed || !_queue) return false;
    bool any = false;
    for (const QUrl& url : data->urls()) {
        if (!url.isLocalFile()) continue;
        const QString path = url.toLocalFile();
        const QString name = lastComponent(path);
        if (!isSafeComponent(name)) continue;
        const QString remote = QVRemoteFile::appendPath(_currentRemotePath, name);
        if (FileName::isFolder(path)) _queue->uploadDirectory(path, remote, forwarder());
        else _queue->uploadFile(path, remote, forwarder());
        any = true;
    }
    return any;
}

void QVTransferModeDocument::deleteSelection() {
    QVFileListingTable* table = activeTable();
    if (!table || !_delegate) return;
    const Side side = table == _localTable ? QVTransferListModel::Local : QVTransferListModel::Remote;
    const QList<Entry> entries = selectedEntries(table);
    if (entries.isEmpty()) return;
    QStringList names;
    for (const Entry& entry : entries) names << FileName::shown(entry.name);
    const QString list = names.size() > 8 ? names.mid(0, 8).join(QStringLiteral(", ")) + QStringLiteral(", …") : names.join(QStringLiteral(", "));
    QStringList options;
    QString suggestion;
    if (side == QVTransferListModel::Local) {
        options = {QVLocalized(QStringLiteral("Move to Trash")), QVLocalized(QStringLiteral("Delete")), QVLocalized(QStringLiteral("Cancel"))};
        suggestion = QVLocalized(QStringLiteral("Would you like to delete %@ immediately, or move it to the trash?"));
    } else {
        options = {QVLocalized(QStringLiteral("Delete")), QVLocalized(QStringLiteral("Cancel"))};
        suggestion = QVLocalized(QStringLiteral("%@ will be deleted from the server. This cannot be undone."));
    }
    suggestion.replace(QStringLiteral("%@"), list);
    const QVError question = QVError::app(14, QVLocalized(entries.size() == 1 ? QStringLiteral("Delete File") : QStringLiteral("Delete Files")),
                                          suggestion, options);
    // The answer acts on the entries asked about, in the folder shown when asked.
    QPointer<QVTransferModeDocument> self(this);
    const QString folder = side == QVTransferListModel::Local ? _currentLocalPath : _currentRemotePath;
    _delegate->askQuestion(question, [self, side, entries, folder](int option) {
        if (!self) return;
        const int chosen = side == QVTransferListModel::Local ? option : (option == 0 ? int(Delete) : int(Cancel));
        if (chosen == Cancel || chosen < 0) return;
        self->deleteEntries(side, entries, chosen, folder);
    });
}

void QVTransferModeDocument::deleteEntries(Side side, const QList<Entry>& entries, int option, const QString& folder) {
    if (side == QVTransferListModel::Remote) {
        if (!_queue) return;
        for (const Entry& entry : entries) {
            if (entry.path.isEmpty()) continue;
            if (entry.isDirectory) _queue->deleteDirectory(entry.path, forwarder());
            else _queue->deleteFile(entry.path, forwarder());
        }
        return;
    }
    QStringList failures;
    for (const Entry& entry : entries) {
        if (!isSafeComponent(entry.name) || folder.isEmpty()) continue;
        const QString path = joined(folder, entry.name);
        QVError error;
        const bool done = option == MoveToTrash ? LocalFileOperations::moveToTrash(path, &error)
                                                : LocalFileOperations::removeItem(path, &error);
        if (!done) {
            failures << entry.name + QStringLiteral(": ") + error.localizedRecoverySuggestion().section(u':', -1).trimmed();
            continue;
        }
        if (folder == _currentLocalPath) _localModel->removeEntryAt(_localModel->indexOfName(entry.name));
    }
    if (!failures.isEmpty())
        refuse(QVLocalized(QStringLiteral("Could not delete")), failures.join(u'\n'));
}

void QVTransferModeDocument::rename() {
    QVFileListingTable* table = activeTable();
    if (!table || !table->selectionModel()) return;
    const QModelIndexList rows = table->selectionModel()->selectedRows(0);
    if (rows.isEmpty()) return;
    table->edit(rows.first());
}

bool QVTransferModeDocument::renameEntry(Side side, int row, const QString& name) {
    QVTransferListModel* model = side == QVTransferListModel::Local ? _localModel : _remoteModel;
    if (row < 0 || row >= model->entries().size()) return false;
    const Entry entry = model->entries().at(row);
    if (!isSafeComponent(name)) {
        refuse(QVLocalized(QStringLiteral("Could not rename")),
               QVLocalized(QStringLiteral("The name \"%@\" cannot be used: it may not be empty, \".\" or \"..\", or hold \"/\".")).replace(QStringLiteral("%@"), name));
        return false;
    }
    if (side == QVTransferListModel::Remote) {
        if (_queue) _queue->moveFile(entry.path, QVRemoteFile::appendPath(_currentRemotePath, name), forwarder());
        return false;  // the list follows the queue's report
    }
    QVError error;
    // Never over another file: the move refuses a taken name and says so.
    if (!LocalFileOperations::moveItem(joined(_currentLocalPath, entry.name), joined(_currentLocalPath, name), &error)) {
        if (_delegate) _delegate->presentErrorAlert(error);
        return false;
    }
    QMetaObject::invokeMethod(this, [this, old = entry.name, name] {
        _localModel->renameEntry(_localModel->indexOfName(old), name, {});
    }, Qt::QueuedConnection);
    return true;
}

void QVTransferModeDocument::makeDirectory() {
    QVTransferModeActionPanelController* panel = actionPanel();
    panel->setTitle(QVLocalized(QStringLiteral("Name:")));
    QPointer<QVTransferModeDocument> self(this);
    panel->displayOnWindow(_mainView, QStringLiteral("mkdir"), [self](const QString& value, int code, bool remote, const QString& context) {
        if (self) self->actionPanelDidEnd(value, code, remote, context);
    });
}

void QVTransferModeDocument::gotoDirectory() {
    QVTransferModeActionPanelController* panel = actionPanel();
    panel->setTitle(QVLocalized(QStringLiteral("Path:")));
    QPointer<QVTransferModeDocument> self(this);
    panel->displayOnWindow(_mainView, QStringLiteral("goto"), [self](const QString& value, int code, bool remote, const QString& context) {
        if (self) self->actionPanelDidEnd(value, code, remote, context);
    });
}

void QVTransferModeDocument::actionPanelDidEnd(const QString& value, int returnCode, bool remote, const QString& context) {
    if (returnCode != 1) return;
    if (context == QLatin1String("mkdir")) {
        if (!isSafeComponent(value)) {
            refuse(QVLocalized(QStringLiteral("Could not create directory")),
                   QVLocalized(QStringLiteral("The name \"%@\" cannot be used: it may not be empty, \".\" or \"..\", or hold \"/\".")).replace(QStringLiteral("%@"), value));
            return;
        }
        if (remote) {
            if (_queue && _remoteListed) _queue->createDirectory(QVRemoteFile::appendPath(_currentRemotePath, value), forwarder());
            return;
        }
        const QString path = joined(_currentLocalPath, value);
        if (_currentLocalPath.isEmpty() || !QDir().mkdir(path)) {
            refuse(QVLocalized(QStringLiteral("Could not create directory")), path);
            return;
        }
        if (std::optional<QVLocalFile> file = QVLocalFile::fromPath(path))
            if (!QVFileFilters::sharedFilters()->stringMatchesFilters(value)) _localModel->addEntry(QVTransferListModel::entry(*file));
    } else if (context == QLatin1String("goto")) {
        if (value.isEmpty()) return;
        if (remote) {
            changeToRemoteDirectory(QDir::cleanPath(QVRemoteFile::appendPath(_currentRemotePath, value)).remove(QRegularExpression(QStringLiteral("^(\\./?)+"))), false);
            return;
        }
        const QString path = QDir::cleanPath(value.startsWith(u'/') ? value : joined(_currentLocalPath, value));
        if (FileName::isFolder(path)) setCurrentLocalPath(path);
        else QApplication::beep();
    }
}

void QVTransferModeDocument::refresh() {
    refreshLocalPane();
    if (_remoteListed || _changingRemoteDirectory) changeToRemoteDirectory(_currentRemotePath, true);
}

void QVTransferModeDocument::chooseLocalFile(int index) {
    if (!_localPopup || index < 0) return;
    setCurrentLocalPath(_localPopup->itemData(index).toString());
}

void QVTransferModeDocument::chooseRemoteFile(int index) {
    if (!_remotePopup || index < 0) return;
    changeToRemoteDirectory(_remotePopup->itemData(index).toString(), false);
}

void QVTransferModeDocument::localTableDoubleClicked() {
    const QList<Entry> entries = selectedEntries(_localTable);
    if (entries.size() != 1 || !entries.first().isDirectory) return;
    setCurrentLocalPath(joined(_currentLocalPath, entries.first().name));
}

void QVTransferModeDocument::remoteTableDoubleClicked() {
    const QList<Entry> entries = selectedEntries(_remoteTable);
    if (entries.size() != 1 || !entries.first().isDirectory) return;
    changeToRemoteDirectory(entries.first().path, false);
}

void QVTransferModeDocument::changeToRemoteDirectory(const QString& path, bool force) {
    if (!force && _remoteListed && path == _currentRemotePath) return;
    if (!_queue) return;
    _changingRemoteDirectory = true;
    Q_EMIT changingRemoteDirectoryChanged(true);
    _queue->getFileListing(path, forwarder());
}

QString QVTransferModeDocument::parentPath(const QString& path) {
    QString trimmed = path;
    while (trimmed.size() > 1 && trimmed.endsWith(u'/')) trimmed.chop(1);
    const qsizetype slash = trimmed.lastIndexOf(u'/');
    if (slash < 0) return QString();
    return slash == 0 ? QStringLiteral("/") : trimmed.left(slash);
}

void QVTransferModeDocument::retrievedFiles(const QList<QVRemoteFile>& files, const QString& path) {
    _currentRemotePath = path;
    _remoteListed = true;
    _remoteModel->setDragSource(_token, path);
    if (_remotePopup) rebuildPopup(_remotePopup, path, false);
    updateHeaders();
    QList<Entry> entries;
    const std::shared_ptr<QVFileFilters> filters = QVFileFilters::sharedFilters();
    for (const QVRemoteFile& file : files)
        if (isSafeComponent(file.name()) && !filters->stringMatchesFilters(file.name())) entries.append(QVTransferListModel::entry(file));
    _remoteModel->setEntries(entries);
    _changingRemoteDirectory = false;
    Q_EMIT changingRemoteDirectoryChanged(false);
}

void QVTransferModeDocument::listingFailed() {
    if (!_changingRemoteDirectory) return;
    _changingRemoteDirectory = false;
    Q_EMIT changingRemoteDirectoryChanged(false);
}

void QVTransferModeDocument::createdDirectory(const QString& path) {
    if (!_remoteListed || parentPath(path) != _currentRemotePath) return;
    QVRemoteFile file(_currentRemotePath, lastComponent(path));
    file.setIsDirectory(true);
    if (_remoteModel->indexOfPath(file.path()) < 0) _remoteModel->addEntry(QVTransferListModel::entry(file));
}

void QVTransferModeDocument::deletedFile(const QString& path) {
    if (!_remoteListed || parentPath(path) != _currentRemotePath) return;
    _remoteModel->removeEntryAt(_remoteModel->indexOfPath(path));
}

void QVTransferModeDocument::uploadedFile(const QString& localPath, const QString& remotePath) {
    if (!_remoteListed || parentPath(remotePath) != _currentRemotePath) return;
    const QString name = lastComponent(localPath);
    if (_remoteModel->indexOfName(name) >= 0) return;
    QVRemoteFile file(_currentRemotePath, name);
    if (std::optional<QVLocalFile> local = QVLocalFile::fromPath(localPath)) file = QVRemoteFile(_currentRemotePath, *local);
    _remoteModel->addEntry(QVTransferListModel::entry(file));
}

void QVTransferModeDocument::downloadedFile(const QString&, const QString& localPath) {
    if (_currentLocalPath.isEmpty() || parentPath(localPath) != _currentLocalPath) return;
    const QString name = lastComponent(localPath);
    if (_localModel->indexOfName(name) >= 0) return;
    if (std::optional<QVLocalFile> file = QVLocalFile::fromPath(localPath)) _localModel->addEntry(QVTransferListModel::entry(*file));
}

void QVTransferModeDocument::movedFile(const QString& oldPath, const QString& newPath) {
    if (!_remoteListed || parentPath(oldPath) != _currentRemotePath) return;
    const int row = _remoteModel->indexOfPath(oldPath);
    if (row < 0) return;
    if (parentPath(newPath) == _currentRemotePath) _remoteModel->renameEntry(row, lastComponent(newPath), newPath);
    else _remoteModel->removeEntryAt(row);
}
