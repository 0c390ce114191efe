// A file's remote side. The remote site's queue supplies the working kind
// (QVRemoteFilesQueue::newRepresentation); this base, used when a tree has no queue, is inert:
// its requests go nowhere and report nothing.
#pragma once

#include "files/QVFileRepresentation.h"
#include "files/QVRemoteFilesQueue.h"

class QVRemoteFileRepresentation : public QVFileRepresentation {
public:
    using QVFileRepresentation::QVFileRepresentation;
    ~QVRemoteFileRepresentation() override;

    bool isLocal() const override { return false; }
    bool loadFileAttributes() override { return true; }

    virtual void upload() {}
    virtual void makeDirectory() {}
    virtual void download() {}
    // The listing that made this side gave its path to another entry too (every action on it is
    // refused).
    virtual bool isListedTwice() const { return false; }

    // The downloaded copy's local path; empty until a download starts.
    const QString& localPath() const { return _localPath; }
    void setLocalPath(const QString& path) { _localPath = path; }

    std::shared_ptr<QVRemoteFilesQueue> remoteQueue() const { return _remoteQueue; }
    // A new queue detaches this side from the old queue's pending actions first.
    virtual void setRemoteQueue(const std::shared_ptr<QVRemoteFilesQueue>& queue);

protected:
    std::shared_ptr<QVRemoteFilesQueue> _remoteQueue;
    QString _localPath;
};
