// Until the project window arrives, a folder named on the command line opens in a plain window
// that shows it as a file tree, follows outside changes, and renames, duplicates, moves to the
// Trash and deletes.
#pragma once

#include <QAbstractItemModel>
#include <QMainWindow>

#include <memory>

class QTreeView;
class QVFile;
class QVRootFile;
class FolderTreeModel;
class FolderTreeDelegate;

class FolderWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit FolderWindow(const QString& path, QWidget* parent = nullptr);
    ~FolderWindow() override;

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
    std::shared_ptr<QVFile> selectedFile() const;
    void buildMenus();

    std::shared_ptr<QVRootFile> _root;
    std::shared_ptr<FolderTreeDelegate> _delegate;
    FolderTreeModel* _model = nullptr;
    QTreeView* _view = nullptr;
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
