// The top node of a file tree (a project's folder, a multi-file window's folder): it holds the
// path, the watcher, the remote queue and the remote-only flag that every node below asks for.
#pragma once

#include "files/QVFile.h"

#include <memory>

class QVRootFile : public QVFile {
public:
    // A root on the folder, watched unless watchForChanges is false, the path is not a folder
    // or it lies on a network volume. Null for an empty path.
    static std::shared_ptr<QVRootFile> create(const QString& path, bool watchForChanges = true);
    // The inert root of an untitled window: no path, no sides, no children.
    static std::shared_ptr<QVRootFile> createInert();
    ~QVRootFile() override;

    QString path() const override { return _path; }
    QString name() const override;
    std::shared_ptr<QVFile> parent() const override { return nullptr; }

    QVFileWatcher* fileWatcher() const override { return _watcher.get(); }
    std::shared_ptr<QVRemoteFilesQueue> remoteQueue() const override { return _remoteQueue; }
    bool remoteOnly() const override { return _remoteOnly; }
    void setRemoteOnly(bool remoteOnly) { _remoteOnly = remoteOnly; }
    // A different queue: the old one stops reporting to the tree, and every remote side of
    // the loaded tree moves to the new one.
    void setRemoteQueue(const std::shared_ptr<QVRemoteFilesQueue>& queue);

    // Components of a path inside the root (absolute, the root's own, or relative to it).
    std::shared_ptr<QVFile> childWithPath(const QStringList& components, bool load) override;

private:
    QVRootFile() = default;

    QString _path;
    std::unique_ptr<QVFileWatcher> _watcher;
    std::shared_ptr<QVRemoteFilesQueue> _remoteQueue;
    bool _remoteOnly = false;
};
