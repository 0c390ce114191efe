// The tree root: the state every node asks its parents for, held once.
#include "files/QVRootFile.h"

#include "files/QVLocalFileRepresentation.h"
#include "files/QVRemoteFilesQueue.h"
#include "platform/QVKQueue.h"
#include "shell/StringUtilities.h"

std::shared_ptr<QVRootFile> QVRootFile::create(const QString& path, bool watchForChanges) {
    if (path.isEmpty()) return nullptr;
    std::shared_ptr<QVRootFile> root(new QVRootFile);
    // The path comes first: the new local side asks the root for it while it is being made.
    root->_path = path.size() > 1 && path.endsWith(QLatin1Char('/')) ? path.chopped(1) : path;
    root->adoptLocalRepresentation(std::make_shared<QVLocalFileRepresentation>(root->_path));
    if (watchForChanges && root->isFolder() && !QVKQueue::isOnNetworkVolume(root->_path)) {
        root->_watcher = QVKQueue::create();
        if (root->_watcher) root->_watcher->watchFile(root, QVFileWatcherTypeAll);
    }
    return root;
}

std::shared_ptr<QVRootFile> QVRootFile::createInert() { return std::shared_ptr<QVRootFile>(new QVRootFile); }

QVRootFile::~QVRootFile() {
    if (_watcher) _watcher->destroy();
    if (_remoteQueue) _remoteQueue->clearActionDelegate(this);
}

QString QVRootFile::name() const { return _path.mid(_path.lastIndexOf(QLatin1Char('/')) + 1); }

void QVRootFile::setRemoteQueue(const std::shared_ptr<QVRemoteFilesQueue>& queue) {
    if (queue == _remoteQueue) return;
    if (_remoteQueue) _remoteQueue->clearActionDelegate(this);
    _remoteQueue = queue;
    loadRemoteRepresentation();
}

std::shared_ptr<QVFile> QVRootFile::childWithPath(const QStringList& components, bool load) {
    const QString joined = components.join(QLatin1Char('/'));
    if (joined == _path) return std::static_pointer_cast<QVFile>(shared_from_this());
    const QString prefix = StringUtilities::stringWithTrailingSlash(_path);
    // Only a path that begins with the root's lies inside it.
    if (!_path.isEmpty() && joined.startsWith(prefix))
        return QVFile::childWithPath(joined.mid(prefix.size()).split(QLatin1Char('/'), Qt::SkipEmptyParts), load);
    return QVFile::childWithPath(components, true);
}
