// The project outline's model.
#include "projects/windows/QVProjectOutlineModel.h"

#include "files/QVFile.h"
#include "files/QVRemoteFileRepresentation.h"
#include "platform/AppBundle.h"
#include "platform/FileName.h"

#include <QCoreApplication>
#include <QFont>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMimeData>
#include <QPixmap>
#include <QSet>
#include <QUrl>

QVProjectOutlineModel::QVProjectOutlineModel(QObject* parent) : QAbstractItemModel(parent) {}
QVProjectOutlineModel::~QVProjectOutlineModel() = default;

void QVProjectOutlineModel::setRoot(const std::shared_ptr<QVFile>& root) {
    beginResetModel();
    _rows.clear();
    _parents.clear();
    _root = root;
    endResetModel();
}

QVProjectOutlineModel::Rows* QVProjectOutlineModel::rowsOf(const QVFile* folder) {
    const auto found = _rows.find(folder ? folder : _root.get());
    return found == _rows.end() ? nullptr : &found.value();
}

const QVProjectOutlineModel::Rows* QVProjectOutlineModel::rowsOf(const QVFile* folder) const {
    const auto found = _rows.constFind(folder ? folder : _root.get());
    return found == _rows.constEnd() ? nullptr : &found.value();
}

std::shared_ptr<QVFile> QVProjectOutlineModel::nodeForIndex(const QModelIndex& index) const {
    if (!index.isValid()) return _root;
    const auto* folder = static_cast<const QVFile*>(index.internalPointer());
    const Rows* rows = rowsOf(folder);
    return rows && index.row() < rows->size() ? rows->at(index.row()) : nullptr;
}

QModelIndex QVProjectOutlineModel::parentIndexOf(const QVFile* folder) const {
    if (!folder || folder == _root.get()) return {};
    return indexForNode(folder);
}

QModelIndex QVProjectOutlineModel::indexForNode(const QVFile* node, int column) const {
    if (!node || node == _root.get()) return {};
    const auto parent = _parents.constFind(node);
    if (parent == _parents.constEnd()) return {};
    const Rows* rows = rowsOf(parent.value());
    if (!rows) return {};
    for (int row = 0; row < rows->size(); ++row)
        if (rows->at(row).get() == node) return createIndex(row, column, const_cast<QVFile*>(parent.value()));
    return {};
}

std::shared_ptr<QVFile> QVProjectOutlineModel::shownNodeWithUUID(const QString& uuid) const {
    if (uuid.isEmpty()) return nullptr;
    if (_root && _root->uuid() == uuid) return _root;
    for (const Rows& rows : _rows)
        for (const auto& node : rows)
            if (node->uuid() == uuid) return node;
    return nullptr;
}

QModelIndex QVProjectOutlineModel::index(int row, int column, const QModelIndex& parent) const {
    const std::shared_ptr<QVFile> folder = nodeForIndex(parent);
    const Rows* rows = folder ? rowsOf(folder.get()) : nullptr;
    if (!rows || row < 0 || row >= rows->size() || column < 0 || column >= ColumnCount) return {};
    return createIndex(row, column, folder.get());
}

QModelIndex QVProjectOutlineModel::parent(const QModelIndex& index) const {
    if (!index.isValid()) return {};
    return parentIndexOf(static_cast<const QVFile*>(index.internalPointer()));
}

int QVProjectOutlineModel::rowCount(const QModelIndex& parent) const {
    if (parent.column() > 0) return 0;
    const std::shared_ptr<QVFile> folder = nodeForIndex(parent);
    const Rows* rows = folder ? rowsOf(folder.get()) : nullptr;
    return rows ? int(rows->size()) : 0;
}

int QVProjectOutlineModel::columnCount(const QModelIndex&) const { return ColumnCount; }

bool QVProjectOutlineModel::hasChildren(const QModelIndex& parent) const {
    const std::shared_ptr<QVFile> node = nodeForIndex(parent);
    if (!node) return false;
    if (!parent.isValid()) return true;
    if (!node->isFolder()) return false;
    const Rows* rows = rowsOf(node.get());
    return !rows || !rows->isEmpty();
}

bool QVProjectOutlineModel::canFetchMore(const QModelIndex& parent) const {
    const std::shared_ptr<QVFile> node = nodeForIndex(parent);
    return node && (node->isFolder() || !parent.isValid()) && !rowsOf(node.get());
}

void QVProjectOutlineModel::fetchMore(const QModelIndex& parent) {
    const std::shared_ptr<QVFile> node = nodeForIndex(parent);
    if (!node || rowsOf(node.get())) return;
    const QVFile::List& children = node->children(true);
    // Another fetch may have run meanwhile (a refresh from the listing).
    if (rowsOf(node.get())) return;
    if (children.isEmpty()) {
        _rows.insert(node.get(), {});
        return;
    }
    beginInsertRows(parent, 0, int(children.size()) - 1);
    Rows& rows = _rows[node.get()];
    for (const auto& child : children) {
        rows.append(child);
        _parents.insert(child.get(), node.get());
        if (nodeShown) nodeShown(child);
    }
    endInsertRows();
}

void QVProjectOutlineModel::forget(const QVFile* node) {
    const auto found = _rows.find(node);
    if (found != _rows.end()) {
        const Rows rows = found.value();
        _rows.erase(found);
        for (const auto& child : rows) forget(child.get());
    }
    _parents.remove(node);
}

void QVProjectOutlineModel::refreshNode(const QVFile* node) {
    if (!node || !_root) return;
    const bool isRoot = node == _root.get();
    if (!isRoot && !_parents.contains(node)) return;
    const QModelIndex parent = isRoot ? QModelIndex() : indexForNode(node);
    if (!isRoot) Q_EMIT dataChanged(parent, parent.siblingAtColumn(ColumnCount - 1));
    Rows* rows = rowsOf(node);
    if (!rows) return;  // never shown open: nothing to bring in step
    std::shared_ptr<QVFile> held = isRoot ? _root : nodeForIndex(parent);
    if (!held) return;
    const QVFile::List fresh = held->isFolder() || isRoot ? held->children(false) : QVFile::List();
    QSet<const QVFile*> wanted;
    for (const auto& child : fresh) wanted.insert(child.get());
    for (int row = int(rows->size()) - 1; row >= 0; --row) {
        if (wanted.contains(rows->at(row).get())) continue;
        beginRemoveRows(parent, row, row);
        const std::shared_ptr<QVFile> gone = rows->takeAt(row);
        forget(gone.get());
        endRemoveRows();
    }
    for (int row = 0; row < fresh.size(); ++row) {
        const auto& child = fresh[row];
        if (row < rows->size() && rows->at(row) == child) continue;
        const int at = int(rows->indexOf(child));
        if (at > row) {
            // Sorted anew (a rename): the row moves up, keeping its subtree.
            beginMoveRows(parent, at, at, parent, row);
            rows->move(at, row);
            endMoveRows();
            continue;
        }
        beginInsertRows(parent, row, row);
        rows->insert(row, child);
        _parents.insert(child.get(), node);
        endInsertRows();
        if (nodeShown) nodeShown(child);
    }
    if (!rows->isEmpty()) Q_EMIT dataChanged(index(0, 0, parent), index(int(rows->size()) - 1, ColumnCount - 1, parent));
}

void QVProjectOutlineModel::redrawNode(const QVFile* node) {
    const QModelIndex index = indexForNode(node);
    if (index.isValid()) Q_EMIT dataChanged(index, index.siblingAtColumn(ColumnCount - 1));
}

QVariant QVProjectOutlineModel::data(const QModelIndex& index, int role) const {
    const std::shared_ptr<QVFile> node = index.isValid() ? nodeForIndex(index) : nullptr;
    if (!node) return {};
    switch (index.column()) {
    case NameColumn:
        // Bytes of a name that are not UTF-8 show as Latin-1, the name marked; an edit starts
        // from the name itself, so the bytes a user leaves alone stay as they are.
        if (role == Qt::DisplayRole) {
            const auto remote = node->remoteRepresentation();
            const QString shown = FileName::shown(node->name());
            return remote && remote->isListedTwice() ? shown + QVLocalized(QStringLiteral(" (listed twice)")) : shown;
        }
        if (role == Qt::EditRole) return FileName::editable(node->name());
        if (role == Qt::DecorationRole) return QPixmap::fromImage(node->icon());
        if (role == Qt::ToolTipRole) return FileName::readable(node->pathFromRoot());
        if (role == Qt::FontRole) {
            QFont font;
            font.setBold(isEdited && isEdited(node));
            return font;
        }
        return {};
    case IndicatorColumn:
        if (role == Qt::DisplayRole) return node->indicator();
        if (role == Qt::TextAlignmentRole) return int(Qt::AlignCenter);
        return {};
    case SCMColumn:
        if (role == Qt::DisplayRole) return node->scmStatusLetter();
        if (role == Qt::TextAlignmentRole) return int(Qt::AlignCenter);
        return {};
    default:
        return {};
    }
}

QVariant QVProjectOutlineModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    switch (section) {
    case NameColumn: return QVLocalized(QStringLiteral("Name"));
    default: return QString();
    }
}

Qt::ItemFlags QVProjectOutlineModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::ItemIsDropEnabled;
    Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled | Qt::ItemIsDropEnabled;
    if (index.column() == NameColumn) flags |= Qt::ItemIsEditable;
    return flags;
}

bool QVProjectOutlineModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::EditRole || index.column() != NameColumn) return false;
    const std::shared_ptr<QVFile> node = nodeForIndex(index);
    const QString name = FileName::fromEditable(value.toString());
    if (!node || !index.isValid() || name.isEmpty() || name == node->name() || !renameNode) return false;
    return renameNode(node, name);
}

QStringList QVProjectOutlineModel::mimeTypes() const { return {NodeDragType, QStringLiteral("text/uri-list")}; }

QMimeData* QVProjectOutlineModel::mimeData(const QModelIndexList& indexes) const {
    // One node at a time: the first one dragged.
    std::shared_ptr<QVFile> node;
    for (const QModelIndex& index : indexes)
        if ((node = nodeForIndex(index)) && index.isValid()) break;
    if (!node) return nullptr;
    auto* data = new QMimeData;
    const QJsonObject token{{"pid", qint64(QCoreApplication::applicationPid())}, {"uuid", node->uuid()}};
    data->setData(NodeDragType, QJsonDocument(token).toJson(QJsonDocument::Compact));
    if (node->contentAvailable(false)) data->setUrls({QUrl::fromLocalFile(node->path())});
    return data;
}

std::shared_ptr<QVFile> QVProjectOutlineModel::draggedNode(const QMimeData* data) const {
    if (!data || !data->hasFormat(NodeDragType)) return nullptr;
    const QJsonObject token = QJsonDocument::fromJson(data->data(NodeDragType)).object();
    if (token.value("pid").toInteger(-1) != QCoreApplication::applicationPid()) return nullptr;
    return shownNodeWithUUID(token.value("uuid").toString());
}

std::shared_ptr<QVFile> QVProjectOutlineModel::dropTarget(const QModelIndex& index) const {
    std::shared_ptr<QVFile> node = nodeForIndex(index);
    if (node && !node->isFolder() && index.isValid()) node = node->parent();
    return node ? node : _root;
}

bool QVProjectOutlineModel::canDropMimeData(const QMimeData* data, Qt::DropAction, int, int, const QModelIndex& parent) const {
    const std::shared_ptr<QVFile> target = dropTarget(parent);
    if (!target || !data) return false;
    if (data->hasFormat(NodeDragType)) {
        const std::shared_ptr<QVFile> node = draggedNode(data);
        // Not where it already is, not into itself or below itself.
        if (!node || node == target || node->parent() == target) return false;
        return !(node->isFolder() && node->containsPath(target->path()));
    }
    return data->hasUrls();
}

bool QVProjectOutlineModel::dropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column, const QModelIndex& parent) {
    if (action == Qt::IgnoreAction) return true;
    if (!canDropMimeData(data, action, row, column, parent)) return false;
    const std::shared_ptr<QVFile> target = dropTarget(parent);
    if (data->hasFormat(NodeDragType)) return moveNode && moveNode(draggedNode(data), target);
    QStringList paths;
    for (const QUrl& url : data->urls())
        if (url.isLocalFile()) paths << url.toLocalFile();
    return !paths.isEmpty() && importPaths && importPaths(paths, target);
}
