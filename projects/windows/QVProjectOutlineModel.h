// The project outline's model: the nodes of a project's file tree (QVFile), fetched a folder at a
// time when the view first asks. A folder's rows are the children it had when last shown; a
// refresh of a node brings them in step row by row, so expansion and selection stay. The model
// keeps each shown node alive, so a row never outlives its node.
//
// Drags carry the node by a token (its uuid and this process) that resolves only to a node the
// model still shows, plus the node's local path as a file URL; drops of outside files ask the
// window to import them.
#pragma once

#include <QAbstractItemModel>
#include <QHash>
#include <QList>

#include <functional>
#include <memory>

class QVFile;

class QVProjectOutlineModel : public QAbstractItemModel {
    Q_OBJECT
public:
    enum Column { NameColumn = 0, IndicatorColumn, SCMColumn, ColumnCount };
    static inline const QString NodeDragType = QStringLiteral("application/x-qorvel-file-node");

    explicit QVProjectOutlineModel(QObject* parent = nullptr);
    ~QVProjectOutlineModel() override;

    void setRoot(const std::shared_ptr<QVFile>& root);
    std::shared_ptr<QVFile> root() const { return _root; }

    // The node of a row; the root for an invalid index.
    std::shared_ptr<QVFile> nodeForIndex(const QModelIndex& index) const;
    // The row of a shown node (the root and unknown nodes: an invalid index).
    QModelIndex indexForNode(const QVFile* node, int column = 0) const;
    // A shown node by uuid, or null.
    std::shared_ptr<QVFile> shownNodeWithUUID(const QString& uuid) const;

    // The node's rows come in step with its children (the root: the top rows); its own row
    // redraws.
    void refreshNode(const QVFile* node);
    // Redraws the node's row only.
    void redrawNode(const QVFile* node);

    // What the window decides (set once).
    std::function<bool(const std::shared_ptr<QVFile>&)> isEdited;       // bold names
    std::function<void(const std::shared_ptr<QVFile>&)> nodeShown;      // every node handed out
    std::function<bool(const std::shared_ptr<QVFile>&, const QString&)> renameNode;
    std::function<bool(const std::shared_ptr<QVFile>& node, const std::shared_ptr<QVFile>& folder)> moveNode;
    std::function<bool(const QStringList& paths, const std::shared_ptr<QVFile>& folder)> importPaths;

    // The folder a drop onto the row lands in: the row's node when a folder, else its parent;
    // the root for no row.
    std::shared_ptr<QVFile> dropTarget(const QModelIndex& index) const;
    // The live node a drag names, or null (another process, a node gone, bytes of no drag).
    std::shared_ptr<QVFile> draggedNode(const QMimeData* data) const;

    // QAbstractItemModel.
    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& index) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    bool hasChildren(const QModelIndex& parent = {}) const override;
    bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    QStringList mimeTypes() const override;
    QMimeData* mimeData(const QModelIndexList& indexes) const override;
    Qt::DropActions supportedDropActions() const override { return Qt::MoveAction | Qt::CopyAction; }
    Qt::DropActions supportedDragActions() const override { return Qt::MoveAction | Qt::CopyAction; }
    bool canDropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column, const QModelIndex& parent) const override;
    bool dropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column, const QModelIndex& parent) override;

private:
    using Rows = QList<std::shared_ptr<QVFile>>;
    // The rows shown under a folder (the root under null); absent until fetched.
    Rows* rowsOf(const QVFile* folder);
    const Rows* rowsOf(const QVFile* folder) const;
    void forget(const QVFile* node);
    QModelIndex parentIndexOf(const QVFile* folder) const;

    std::shared_ptr<QVFile> _root;
    QHash<const QVFile*, Rows> _rows;
    // Where each shown node sits: its folder (the root for the top rows).
    QHash<const QVFile*, const QVFile*> _parents;
};
