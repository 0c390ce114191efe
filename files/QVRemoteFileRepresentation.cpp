// The remote side's queue handling, shared by every kind of remote side.
#include "files/QVRemoteFileRepresentation.h"

QVRemoteFileRepresentation::~QVRemoteFileRepresentation() {
    if (_remoteQueue) _remoteQueue->clearActionDelegate(this);
}

void QVRemoteFileRepresentation::setRemoteQueue(const std::shared_ptr<QVRemoteFilesQueue>& queue) {
    if (queue == _remoteQueue) return;
    if (_remoteQueue) _remoteQueue->clearActionDelegate(this);
    _remoteQueue = queue;
}
