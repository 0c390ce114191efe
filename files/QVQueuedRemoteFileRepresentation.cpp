#include "files/QVQueuedRemoteFileRepresentation.h"

#include "files/QVRemoteFileActions.h"
#include "files/QVRemoteSiteQueue.h"
#include "platform/AppBundle.h"
#include "platform/MainQueue.h"
#include "shell/FileManagerUtilities.h"

#include <QDir>
#include <QFileInfo>

// Stands between the queue (its threads) and the representation (the main thread): it holds
// the representation weakly, so a result for a side that is gone reaches nobody.
class QVQueuedRemoteFileRepresentation::Forwarder : public QVRemoteSiteQueueDelegate {
public:
    explicit Forwarder(QVQueuedRemoteFileRepresentation* owner) : _identity(static_cast<QVRemoteFileRepresentation*>(owner)) {}
    std::weak_ptr<QVFileRepresentation> owner;

    const void* identity() const override { return _identity; }

    template <class F>
    void onMain(F f) {
        MainQueue::post([weak = owner, f = std::move(f)] {
            if (auto o = std::static_pointer_cast<QVQueuedRemoteFileRepresentation>(weak.lock())) f(*o);
        });
    }
    void queueRetrievedFiles(QVRemoteSiteQueue*, const QList<QVRemoteFile>& files, const QString&) override {
        onMain([files](QVQueuedRemoteFileRepresentation& r) { r.retrieved(files); });
    }
    void queueDownloadedFile(QVRemoteSiteQueue*, const QString&, const QString&) override {
        onMain([](QVQueuedRemoteFileRepresentation& r) {
            if (auto d = r.delegate()) d->fileRepresentationContentBecameAvailable(&r);
        });
    }
    void queueUploadedFile(QVRemoteSiteQueue*, const QString&, const QString&) override { changeFinished(); }
    void queueCreatedDirectory(QVRemoteSiteQueue*, const QString&) override { changeFinished(); }
    void queueDeletedFile(QVRemoteSiteQueue*, const QString&) override {
        onMain([](QVQueuedRemoteFileRepresentation& r) {
            if (auto d = r.delegate()) d->fileRepresentationDidDelete(&r, true);
        });
    }
    void queueMovedFile(QVRemoteSiteQueue*, const QString& oldPath, const QString& newPath) override {
        onMain([oldPath, newPath](QVQueuedRemoteFileRepresentation& r) { r.moved(oldPath, newPath); });
    }
    void queueActionFailed(QVRemoteSiteQueue*, QVRemoteFileAction* action, const QVError& error) override {
        QVFileOperation operation = QVFileOperation::List;
        if (auto* t = dynamic_cast<QVFileTransferAction*>(action))
            operation = t->kind() == QVFileTransferAction::Get ? QVFileOperation::Download : QVFileOperation::Upload;
        else if (auto* d = dynamic_cast<QVDirectoryAction*>(action))
            operation = d->kind() == QVDirectoryAction::Get    ? QVFileOperation::Download
                        : d->kind() == QVDirectoryAction::Put ? QVFileOperation::Upload
                                                              : QVFileOperation::Delete;
        else if (auto* f = dynamic_cast<QVFileAction*>(action))
            operation = f->kind() == QVFileAction::MakeDirectory ? QVFileOperation::MakeDirectory
                        : f->kind() == QVFileAction::Move        ? QVFileOperation::Move
                                                                 : QVFileOperation::Delete;
        onMain([operation, error](QVQueuedRemoteFileRepresentation& r) { r.failed(operation, error); });
    }

private:
    void changeFinished() {
        onMain([](QVQueuedRemoteFileRepresentation& r) {
            if (auto d = r.delegate()) d->fileRepresentationContentChangeFinished(&r);
        });
    }
    const void* _identity;
};

QVQueuedRemoteFileRepresentation::QVQueuedRemoteFileRepresentation(const QString& path,
                                                                   const std::shared_ptr<QVRemoteSiteQueue>& queue)
    : QVRemoteFileRepresentation(path) {
    _remoteQueue = queue;
}

QVQueuedRemoteFileRepresentation::QVQueuedRemoteFileRepresentation(const QVRemoteFile& entry,
                                                                   const std::shared_ptr<QVRemoteSiteQueue>& queue)
    : QVRemoteFileRepresentation(entry.name()) {
    _remoteQueue = queue;
    _name = entry.name();
    _owner = entry.user();
    _group = entry.group();
    _size = entry.size();
    _mode = FileManagerUtilities::modeFromString(entry.modeString());
    const QDateTime date = QVRemoteFile::dateFromDescription(entry.dateString());
    if (date.isValid()) _modificationDate = date;
    _listedIcon = entry;
}

QImage QVQueuedRemoteFileRepresentation::icon() {
    // A side made from a listing shows the listing's icon (under its present name).
    if (!_listedIcon) return QVRemoteFileRepresentation::icon();
    if (_listedIcon->name() != _name) {
        QVRemoteFile renamed(QString(), _name);
        renamed.setIsDirectory(_listedIcon->isDirectory());
        _listedIcon = renamed;
    }
    return _listedIcon->icon();
}

std::shared_ptr<QVRemoteSiteQueue> QVQueuedRemoteFileRepresentation::siteQueue() const {
    return std::dynamic_pointer_cast<QVRemoteSiteQueue>(_remoteQueue);
}

std::shared_ptr<QVQueuedRemoteFileRepresentation::Forwarder> QVQueuedRemoteFileRepresentation::forwarder() {
    if (!_forwarder) {
        _forwarder = std::make_shared<Forwarder>(this);
        _forwarder->owner = weak_from_this();
    }
    return _forwarder;
}

bool QVQueuedRemoteFileRepresentation::isFolder() {
    if (fileType() == QVFileTypeFolder) return true;
    auto d = delegate();
    return d && d->typeForFileRepresentation(this) == QVFileTypeFolder;
}

QString QVQueuedRemoteFileRepresentation::remotePath() {
    auto d = delegate();
    return d ? d->pathFromRootForFileRepresentation(this) : QString();
}

bool QVQueuedRemoteFileRepresentation::loadChildren() {
    QVRemoteFileRepresentation::loadChildren();
    if (auto q = siteQueue()) q->getFileListing(remotePath(), forwarder());
    return true;
}

bool QVQueuedRemoteFileRepresentation::reloadChildren() {
    _listingForReload = true;
    if (auto q = siteQueue()) q->getFileListing(remotePath(), forwarder());
    return true;
}

void QVQueuedRemoteFileRepresentation::download() {
    auto q = siteQueue();
    auto d = delegate();
    if (!d) return;
    if (!q) return notConnected(QVFileOperation::Download);
    QVError error;
    const QString local = d->pathForRemoteFileRepresentation(this, &error);
    if (local.isEmpty() || !FileManagerUtilities::ensureDirectoryExists(QFileInfo(local).absolutePath())) {
        // Nowhere to put it: the node must not wait for a download that never comes.
        if (!error) error = QVError::posix(EACCES, QStringLiteral("download"), local);
        d->fileRepresentationFailed(this, QVFileOperation::Download, error);
        return;
    }
    setLocalPath(local);
    if (isFolder())
        q->downloadDirectory(remotePath(), local, forwarder());
    else
        q->downloadFile(remotePath(), local, forwarder());
}

void QVQueuedRemoteFileRepresentation::upload() {
    auto q = siteQueue();
    auto d = delegate();
    if (!d) return;
    if (!q) return notConnected(QVFileOperation::Upload);
    const QString source = localPath().isEmpty() ? d->pathForFileRepresentation(this) : localPath();
    if (isFolder())
        q->uploadDirectory(source, remotePath(), forwarder());
    else
        q->uploadFile(source, remotePath(), forwarder());
}

void QVQueuedRemoteFileRepresentation::makeDirectory() {
    if (auto q = siteQueue()) q->createDirectory(remotePath(), forwarder());
    else notConnected(QVFileOperation::MakeDirectory);
}

void QVQueuedRemoteFileRepresentation::deleteFile(bool) {
    auto q = siteQueue();
    if (!q) return notConnected(QVFileOperation::Delete);
    if (isFolder())
        q->deleteDirectory(remotePath(), forwarder());
    else
        q->deleteFile(remotePath(), forwarder());
}

bool QVQueuedRemoteFileRepresentation::moveToPath(const QString& path, const QVFileContext& context) {
    auto q = siteQueue();
    auto d = delegate();
    if (!d) return false;
    _moveContext = context;
    if (!q) {
        notConnected(QVFileOperation::Move);
        return true;
    }
    q->moveFile(remotePath(), d->pathFromRootForPath(path), forwarder());
    return true;
}

void QVQueuedRemoteFileRepresentation::rename(const QString& name, const QVFileContext& context) {
    auto q = siteQueue();
    _renameContext = context;
    if (!q) return notConnected(QVFileOperation::Rename);
    const QString from = remotePath();
    const int slash = from.lastIndexOf(u'/');
    q->moveFile(from, slash < 0 ? name : from.left(slash + 1) + name, forwarder());
}

void QVQueuedRemoteFileRepresentation::retrieved(const QList<QVRemoteFile>& files) {
    QVFileRepresentationList children;
    for (const QVRemoteFile& f : files)
        children.append(std::make_shared<QVQueuedRemoteFileRepresentation>(f, siteQueue()));
    auto d = delegate();
    const bool reload = std::exchange(_listingForReload, false);
    if (!d) return;
    if (reload)
        d->fileRepresentationDidReloadChildren(this, children);
    else
        d->fileRepresentationDidLoadChildren(this, children);
}

void QVQueuedRemoteFileRepresentation::moved(const QString& oldPath, const QString& newPath) {
    _name = newPath.section(u'/', -1, -1, QString::SectionSkipEmpty);
    auto d = delegate();
    const bool sameFolder = oldPath.section(u'/', 0, -2) == newPath.section(u'/', 0, -2);
    const QVFileContext context = sameFolder ? std::exchange(_renameContext, {}) : std::exchange(_moveContext, {});
    if (!d) return;
    if (sameFolder)
        d->fileRepresentationDidRename(this, true, context);
    else
        d->fileRepresentationDidMove(this, true, context);
}

void QVQueuedRemoteFileRepresentation::notConnected(QVFileOperation operation) {
    // Whoever asked waits for an end (a save for its upload, a node for its pending mark): it
    // hears one, on the main thread after this call returns, as from the queue.
    const QVError error = QVError::app(1, QVLocalized(QStringLiteral("Not Connected")),
                                       QVLocalized(QStringLiteral("\"%1\" is not connected to its remote site.")).arg(name()));
    MainQueue::post([weak = weak_from_this(), operation, error] {
        if (auto r = std::static_pointer_cast<QVQueuedRemoteFileRepresentation>(weak.lock())) r->failed(operation, error);
    });
}

void QVQueuedRemoteFileRepresentation::failed(QVFileOperation operation, const QVError& error) {
    if (operation == QVFileOperation::Move && _renameContext && !_moveContext) operation = QVFileOperation::Rename;
    if (operation == QVFileOperation::List) _listingForReload = false;
    if (auto d = delegate()) d->fileRepresentationFailed(this, operation, error);
}
