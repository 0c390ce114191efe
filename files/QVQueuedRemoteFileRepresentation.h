// A file's side on a connected remote site: each operation becomes one request to the site's
// queue, and each result (or failure) is reported to the node on the main thread.
#pragma once

#include "files/QVRemoteFile.h"
#include "files/QVRemoteFileRepresentation.h"

#include <optional>

class QVRemoteSiteQueue;

class QVQueuedRemoteFileRepresentation : public QVRemoteFileRepresentation {
public:
    // The node's own remote side: the name is the path's last component, nothing else known.
    QVQueuedRemoteFileRepresentation(const QString& path, const std::shared_ptr<QVRemoteSiteQueue>& queue);
    // A side made from a listing entry: name, owner, group, size, mode and (in the
    // "YYYY-MM-DD HH:MM:SS ±HHMM" form only) date.
    QVQueuedRemoteFileRepresentation(const QVRemoteFile& entry, const std::shared_ptr<QVRemoteSiteQueue>& queue);

    QImage icon() override;
    bool isListedTwice() const override { return _listedIcon && _listedIcon->name() == _name && _listedIcon->isListedTwice(); }
    bool loadChildren() override;
    bool reloadChildren() override;
    void download() override;
    void upload() override;
    void makeDirectory() override;
    void deleteFile(bool toTrash = false) override;
    bool moveToPath(const QString& path, const QVFileContext& context) override;
    void rename(const QString& name, const QVFileContext& context) override;

private:
    class Forwarder;
    std::shared_ptr<QVRemoteSiteQueue> siteQueue() const;
    std::shared_ptr<Forwarder> forwarder();
    bool isFolder();
    QString remotePath();
    // Main thread: what the queue reported.
    void retrieved(const QList<QVRemoteFile>& files);
    void moved(const QString& oldPath, const QString& newPath);
    void failed(QVFileOperation operation, const QVError& error);
    // A request made with no site queue fails instead of going nowhere.
    void notConnected(QVFileOperation operation);

    std::shared_ptr<Forwarder> _forwarder;
    QVFileContext _renameContext;
    QVFileContext _moveContext;
    bool _listingForReload = false;
    std::optional<QVRemoteFile> _listedIcon;  // the entry a listing made this side from
};
