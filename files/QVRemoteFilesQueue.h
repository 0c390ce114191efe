// What the file tree needs of a remote site's queue: remote sides for its nodes, detaching from
// pending actions, and whether the site is reachable.
#pragma once

#include <QString>

#include <memory>

class QVRemoteFileRepresentation;

class QVRemoteFilesQueue {
public:
    virtual ~QVRemoteFilesQueue() = default;

    // A new remote side for the node at the local path, working through this queue (no
    // delegate yet).
    virtual std::shared_ptr<QVRemoteFileRepresentation> newRepresentation(const QString& path) = 0;
    // Queued actions stop reporting to the object.
    virtual void clearActionDelegate(const void* object) = 0;
    virtual bool isOnline() = 0;
};
