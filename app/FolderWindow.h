// Until the project window arrives, a folder named on the command line opens in a plain window
// that shows it as a file tree, follows outside changes, and renames, duplicates, moves to the
// Trash and deletes. A site address (ftp://user@host:port/folder, sftp://…, dav:// or http://…)
// opens the site's folder the same way, asking for the password unless the keyring holds it,
// with the connection log in a drawer.
#pragma once

#include <QAbstractItemModel>
#include <QMainWindow>
#include <QUrl>

#include <memory>

#include "files/QVProjectRemoteConfiguration.h"
#include "files/QVCredentialsController.h"

class QTemporaryDir;
class QVRemoteLogController;
class QVRemoteSiteQueue;
class FolderSiteDelegate;

class QTreeView;
class QVFile;
class QVRootFile;
class FolderTreeModel;
class FolderTreeDelegate;

class FolderWindow : public QMainWindow, public QVCredentialsDelegate {
    Q_OBJECT
public:
    explicit FolderWindow(const QString& path, QWidget* parent = nullptr);
    ~FolderWindow() override;

    // Whether the argument names a remote site rather than a folder.
    static bool isSiteAddress(const QString& argument);
    QVRemoteLogController* connectionLog() const { return _log; }
    void credentialsDidEnd(QVCredentialsController* sheet, int returnCode) override;

    QTreeView* view() const { return _view; }
    FolderTreeModel* model() const { return _model; }
    std::shared_ptr<QVRootFile> root() const { return _root; }

    // The commands on the selected node; delete asks first.
    void renameSelection();
    void duplicateSelection();
    void trashSelection();
    void deleteSelection();

private:
    friend class FolderTreeDelegate;
    friend class FolderSiteDelegate;
    std::shared_ptr<QVFile> selectedFile() const;
    void buildMenus();
    void openSite(const QUrl& address);
    void askForPassword();
    void connectToSite(const QString& password);

    std::shared_ptr<QVRootFile> _root;
    std::shared_ptr<FolderTreeDelegate> _delegate;
    FolderTreeModel* _model = nullptr;
    QTreeView* _view = nullptr;
    // A site's window: its settings, queue, log, and the empty folder standing in for the
    // local side of a tree that has none.
    QVProjectRemoteConfiguration _site;
    std::shared_ptr<QVRemoteSiteQueue> _queue;
    std::shared_ptr<FolderSiteDelegate> _siteDelegate;
    std::unique_ptr<QTemporaryDir> _localStandIn;
    QVRemoteLogController* _log = nullptr;
};

// The tree's nodes as rows; a folder lists its children when the view first asks for them.
class FolderTreeModel : public QAbstractItemModel {
    Q_OBJECT
public:
    FolderTreeModel(std::shared_ptr<QVFile> root, QObject* parent);

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& = {}) const override { return 1; }
    bool hasChildren(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    QVFile* fileAt(const QModelIndex& index) const;
    QModelIndex indexOf(const QVFile* file) const;
    // The tree changed below the root: rebuild the rows (the view's open folders stay open).
    void reload();

private:
    std::shared_ptr<QVFile> _root;
};
