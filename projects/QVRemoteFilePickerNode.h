// The remote folder picker's tree: one node per listed entry, filled listing by listing, and
// the lazy item model a column browser shows it through. A folder's children are unknown until
// its listing arrives; the picker asks for a listing only when a folder without entries is
// selected.
#pragma once

#include "files/QVRemoteFile.h"

#include <QAbstractItemModel>
#include <QList>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

class QVRemoteFilePickerNode {
public:
    // The root: no file; its children are the entries of the first listing.
    QVRemoteFilePickerNode() = default;
    QVRemoteFilePickerNode(const QVRemoteFile& file, QVRemoteFilePickerNode* parent);

    const std::optional<QVRemoteFile>& file() const { return _file; }
    QVRemoteFilePickerNode* parent() const { return _parent; }
    bool isDirectory() const { return !_file || _file->isDirectory(); }
    int countOfChildren() const { return int(_children.size()); }
    QVRemoteFilePickerNode* childAtIndex(int index) const;
    // The first child of that name; none when absent.
    QVRemoteFilePickerNode* childWithName(const QString& name) const;
    int indexOfChild(const QVRemoteFilePickerNode* child) const;
    // One new node per entry, in the order given, replacing the earlier children.
    void setChildrenFromFiles(const QList<QVRemoteFile>& files);

private:
    std::optional<QVRemoteFile> _file;
    QVRemoteFilePickerNode* _parent = nullptr;
    std::vector<std::unique_ptr<QVRemoteFilePickerNode>> _children;
};

class QVRemoteFilePickerModel : public QAbstractItemModel {
    Q_OBJECT

public:
    explicit QVRemoteFilePickerModel(QObject* parent = nullptr);
    ~QVRemoteFilePickerModel() override;

    QVRemoteFilePickerNode* rootNode() const { return _root.get(); }
    // The folder listed into the root ("" for the login folder).
    QString initialDirectory() const { return _initialDirectory; }
    // Starts over: a new, empty root for a listing of the folder.
    void reset(const QString& initialDirectory);
    QVRemoteFilePickerNode* nodeForIndex(const QModelIndex& index) const;
    QModelIndex indexForNode(const QVRemoteFilePickerNode* node) const;
    // The node a listing of the path belongs to: the root for the initial folder, else the walk
    // by name from the root along the path's components below it; none when a name is missing.
    QVRemoteFilePickerNode* nodeForPath(const QString& path) const;
    // A listing result: the path's node takes the entries (nothing when there is no such node).
    // Answers whether a node took them.
    bool applyListing(const QString& path, const QList<QVRemoteFile>& files);

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    bool hasChildren(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

private:
    std::unique_ptr<QVRemoteFilePickerNode> _root;
    QString _initialDirectory;
};
