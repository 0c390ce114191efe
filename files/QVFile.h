// One node of a file tree: one name inside its parent folder, joining the file on the local disk
// and the file on the remote site, either of which may be missing. A folder merges the
// children both sides list under one list sorted by name (case-insensitively; names match
// exactly), follows outside changes through the tree's watcher while shown, and carries out
// the user's file operations on both sides, settling the tree when one side fails.
//
// Ownership: a node owns its children and its two sides; the parent, the delegates, the
// document, the watcher's hold on the node and every hop to the main queue are weak. Main
// thread only, except watcherNoticedChange.
#pragma once

#include "files/QVFileDocumentCallbacks.h"
#include "files/QVFileRepresentation.h"
#include "files/QVFileTreeDelegate.h"
#include "files/QVSCMStatusEntry.h"
#include "platform/QVFileWatcher.h"

#include <QImage>
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

class QVLocalFileRepresentation;
class QVLocalFolder;
class QVRemoteFileRepresentation;
class QVRemoteFilesQueue;

class QVFile : public QVFileRepresentationDelegate,
               public QVWatchedFile,
               public std::enable_shared_from_this<QVFile> {
public:
    using List = QList<std::shared_ptr<QVFile>>;

    // A node whose local side is the file at path (its attributes read at once).
    static std::shared_ptr<QVFile> create(const QString& path, const std::shared_ptr<QVFile>& parent);
    // A node holding the representation (local or remote side).
    static std::shared_ptr<QVFile> create(const std::shared_ptr<QVFileRepresentation>& representation,
                                          const std::shared_ptr<QVFile>& parent);
    ~QVFile() override;

    std::shared_ptr<QVFileTreeDelegate> delegate() const { return _delegate.lock(); }
    void setDelegate(const std::weak_ptr<QVFileTreeDelegate>& delegate) { _delegate = delegate; }
    // Clears the delegate here and below when it is that object; stops at a node with another.
    void clearDelegate(const QVFileTreeDelegate* delegate);
    // Drops delegate and parent here and in every loaded child.
    void clearReferences();
    // Leaves the tree (unwatched) when the parent is that node.
    void clearParent(const QVFile* parent);

    std::shared_ptr<QVFileDocumentCallbacks> document() const { return _seldom ? _seldom->document.lock() : nullptr; }
    // A document starts the watching of its file; none stops it (and in a remote-only tree
    // drops the local copy).
    void setDocument(const std::weak_ptr<QVFileDocumentCallbacks>& document);

    // Identity and display.
    virtual QString name() const;
    QVFileType fileType() const;
    bool isFolder() const { return fileType() == QVFileTypeFolder; }
    QString path() const override;
    QString pathFromRoot() const;
    // The path below the tree's top node ("" for that node); a path outside it unchanged.
    QString pathFromRootForPath(const QString& path) override;
    QString uuid() const override;
    QImage icon();
    // "" with both sides, the localized "R" with only the remote side, "L" with only the local one.
    QString indicator() const;
    bool isTextFile() const;
    // Case-insensitive order of the names.
    int compare(const QVFile& other) const;

    virtual std::shared_ptr<QVFile> parent() const { return _parent.lock(); }
    std::shared_ptr<QVLocalFileRepresentation> localRepresentation() const { return _localRepresentation; }
    std::shared_ptr<QVRemoteFileRepresentation> remoteRepresentation() const { return _remoteRepresentation; }
    qint32 activeRepresentation() const { return _activeRepresentation; }
    void setActiveRepresentation(qint32 side) { _activeRepresentation = side; }
    bool hasPendingOperation() const { return _hasPendingOperation; }
    bool expanded() const { return _expanded; }
    bool everExpanded() const { return _everExpanded; }
    void setExpanded(bool expanded);

    // What the tree's root holds, asked through the parents.
    virtual bool remoteOnly() const;
    virtual std::shared_ptr<QVRemoteFilesQueue> remoteQueue() const;
    virtual QVFileWatcher* fileWatcher() const;

    // Children. The first call with load makes the list: the local side lists its folder (not
    // in a remote-only tree) before it returns and the remote side asks for its listing.
    // Without load, a folder never listed answers an empty list and stays unlisted.
    const List& children(bool load);
    // As children(true), the local side read from the folder given, opened at this node's path.
    const List& children(QVLocalFolder& folder);
    // Whether the children list was made (by children() or a listing).
    bool childrenListed() const { return _children.has_value(); }
    int countOfChildren();
    std::shared_ptr<QVFile> childAtIndex(int index);
    std::shared_ptr<QVFile> childWithName(const QString& name, bool load);
    virtual std::shared_ptr<QVFile> childWithPath(const QStringList& components, bool load);
    // Sorted in: before the first child whose name sorts after it.
    void addChild(const std::shared_ptr<QVFile>& child);
    void removeChild(const QVFile* child);
    std::shared_ptr<QVFile> addChildRepresentation(const std::shared_ptr<QVFileRepresentation>& representation);
    // The node of a file just written at the absolute path below this folder, made (with the
    // folders between) when missing; it gets contentsDidChange. Null for a path outside.
    std::shared_ptr<QVFile> addFileAtPath(const QString& path);
    bool containsPath(const QString& path) const;
    // Fills an empty side with the representation; a filled side keeps its own.
    void mergeWithRepresentation(const std::shared_ptr<QVFileRepresentation>& representation);
    // Gives every remote side of the loaded tree the tree's current queue and lists the
    // listed folders through it.
    void loadRemoteRepresentation();
    // Folders re-list their local side (and without localOnly their remote side), down the tree.
    void refresh(bool localOnly);

    // Disappearance, sent by the parent's reload.
    void localRepresentationDisappeared();
    void remoteRepresentationDisappeared();

    // Watching through the tree's watcher.
    void startWatching();
    void stopWatching();
    void watcherNoticedChange(quint64 events) override;

    // Version-control status.
    void setSCMStatus(const std::shared_ptr<const QVSCMStatusEntry>& status) {
        if (status || _seldom) seldom().scmStatus = status;
    }
    std::shared_ptr<const QVSCMStatusEntry> scmStatus() const { return _seldom ? _seldom->scmStatus : nullptr; }
    QString scmStatusLetter() const;
    bool hasLocalModifications() const;
    bool isInRepository() const;
    void clearSCMStatus(bool recursive);
    void setChildrenSCMStatusFromEntries(const QList<std::shared_ptr<const QVSCMStatusEntry>>& entries);

    // Operations; the results arrive through the representation callbacks below.
    void upload();
    void childWillUpload();
    // After a save: upload when the delegate wants it, finish the document's save otherwise,
    // and re-arm the watcher so the save is not taken for an outside change. Every upload's end,
    // success or failure, reaches the document named with save.
    void contentsDidChange(quint64 save = 0);
    void download();
    bool contentAvailable(bool download);
    // Removes the file for good (the remote side first, then the local one into the Trash).
    void deleteFile();
    void duplicate();
    void moveToTrash();
    // Both refuse, with an error to the delegate, a target name held by a node on the same side.
    void rename(const QString& name);
    bool moveToFile(const std::shared_ptr<QVFile>& destination);

    // QVFileRepresentationDelegate.
    QVFileType typeForFileRepresentation(QVFileRepresentation*) override { return fileType(); }
    QString pathForFileRepresentation(QVFileRepresentation*) override { return path(); }
    QString pathFromRootForFileRepresentation(QVFileRepresentation*) override { return pathFromRoot(); }
    QString pathForRemoteFileRepresentation(QVFileRepresentation* representation, QVError* error) override;
    void fileRepresentationContentBecameAvailable(QVFileRepresentation* representation) override;
    void fileRepresentationContentChangeFinished(QVFileRepresentation* representation) override;
    void fileRepresentationHadError(QVFileRepresentation* representation, const QVError& error) override;
    void fileRepresentationDidDelete(QVFileRepresentation* representation, bool success) override;
    void fileRepresentationDidDuplicate(QVFileRepresentation* representation,
                                        const std::shared_ptr<QVFileRepresentation>& copy) override;
    void fileRepresentationDidMove(QVFileRepresentation* representation, bool success, const QVFileContext& context) override;
    void fileRepresentationDidMoveToTrash(QVFileRepresentation* representation, bool success) override;
    void fileRepresentationDidRename(QVFileRepresentation* representation, bool success, const QVFileContext& context) override;
    void fileRepresentationDidLoadChildren(QVFileRepresentation* representation, const QVFileRepresentationList& children) override;
    void fileRepresentationDidReloadChildren(QVFileRepresentation* representation,
                                             const QVFileRepresentationList& children) override;
    void fileRepresentationFailed(QVFileRepresentation* representation, QVFileOperation operation, const QVError& error) override;

    // The private folder downloads of two-sided files go into (0700, one per run); empty
    // when none can be made.
    static QString downloadFolder();

    QVFile(const QVFile&) = delete;
    QVFile& operator=(const QVFile&) = delete;

protected:
    QVFile() = default;
    struct Made;
    void adoptLocalRepresentation(const std::shared_ptr<QVFileRepresentation>& representation);

private:
    QVFileRepresentation* preferredRepresentation() const;
    const List& loadChildren(QVLocalFolder* folder);
    void uploadForSave(quint64 save);
    void dropLocalRepresentation();
    // A reload saw the name again: reads the local side's attributes anew.
    void localAttributesMayHaveChanged();
    void dropRemoteRepresentation();
    std::shared_ptr<QVRemoteFileRepresentation> remoteSideOnDemand();
    std::shared_ptr<QVRemoteFileRepresentation> newRemoteRepresentation();
    void refreshFile(const std::shared_ptr<QVFile>& file);
    void presentError(const QVError& error);
    // The sibling in the folder a rename or move may merge into; false (with the error shown)
    // when a node of the same side holds the name.
    bool contextFor(const std::shared_ptr<QVFile>& folder, const QString& name, QVFileContext* context);
    void leaveParent();
    void pathDidChange();
    void swapInNewParent();
    void splitRepresentations(const std::shared_ptr<QVFile>& folder);
    void mergeWithSiblingFile(const std::shared_ptr<QVFile>& sibling, QVFileRepresentation* moved);
    void watch(QVFileWatcherType type);
    void stopWatchingFile();

    std::weak_ptr<QVFile> _parent;
    std::optional<List> _children;
    std::weak_ptr<QVFileTreeDelegate> _delegate;
    bool _hasPendingOperation = false;
    bool _expanded = false;
    bool _everExpanded = false;
    // The remote side was made for an upload, not found in a listing: a failed upload drops it.
    bool _remoteMadeForUpload = false;
    // What few nodes ever hold, kept apart so that the many a walk makes stay small.
    struct Seldom {
        // The saves whose uploads are queued, oldest first: the site ends a node's transfers in order.
        QList<quint64> uploadSaves;
        QImage icon;
        QString uuid;
        QString lastName;  // the name once both sides are gone, for whoever still holds the node
        std::weak_ptr<QVFileDocumentCallbacks> document;
        std::shared_ptr<QVFile> newParent;  // while a move is under way
        std::shared_ptr<const QVSCMStatusEntry> scmStatus;
    };
    Seldom& seldom() const {
        if (!_seldom) _seldom = std::make_unique<Seldom>();
        return *_seldom;
    }
    mutable std::unique_ptr<Seldom> _seldom;
    // Null unless a move is under way.
    const std::shared_ptr<QVFile>& newParent() const {
        static const std::shared_ptr<QVFile> none;
        return _seldom ? _seldom->newParent : none;
    }
    qint32 _activeRepresentation = 0;
    std::shared_ptr<QVLocalFileRepresentation> _localRepresentation;
    std::shared_ptr<QVRemoteFileRepresentation> _remoteRepresentation;
};
