// The remote folder picker's tree and its lazy item model.
#include "projects/QVRemoteFilePickerNode.h"

#include "platform/FileName.h"

#include <QPixmap>

QVRemoteFilePickerNode::QVRemoteFilePickerNode(const QVRemoteFile& file, QVRemoteFilePickerNode* parent)
    : _file(file), _parent(parent) {}

QVRemoteFilePickerNode* QVRemoteFilePickerNode::childAtIndex(int index) const {
    if (index < 0 || index >= countOfChildren()) return nullptr;
    return _children[size_t(index)].get();
}

QVRemoteFilePickerNode* QVRemoteFilePickerNode::childWithName(const QString& name) const {
    for (const auto& child : _children)
        if (child->_file && child->_file->name() == name) return child.get();
    return nullptr;
}

int QVRemoteFilePickerNode::indexOfChild(const QVRemoteFilePickerNode* child) const {
    for (size_t i = 0; i < _children.size(); ++i)
        if (_children[i].get() == child) return int(i);
    return -1;
}

void QVRemoteFilePickerNode::setChildrenFromFiles(const QList<QVRemoteFile>& files) {
    _children.clear();
    _children.reserve(size_t(files.size()));
    for (const QVRemoteFile& file : files) _children.push_back(std::make_unique<QVRemoteFilePickerNode>(file, this));
}

QVRemoteFilePickerModel::QVRemoteFilePickerModel(QObject* parent)
    : QAbstractItemModel(parent), _root(std::make_unique<QVRemoteFilePickerNode>()) {}

QVRemoteFilePickerModel::~QVRemoteFilePickerModel() = default;

void QVRemoteFilePickerModel::reset(const QString& initialDirectory) {
    beginResetModel();
    _root = std::make_unique<QVRemoteFilePickerNode>();
    _initialDirectory = initialDirectory;
    endResetModel();
}

QVRemoteFilePickerNode* QVRemoteFilePickerModel::nodeForIndex(const QModelIndex& index) const {
    if (!index.isValid()) return _root.get();
    return static_cast<QVRemoteFilePickerNode*>(index.internalPointer());
}

QModelIndex QVRemoteFilePickerModel::indexForNode(const QVRemoteFilePickerNode* node) const {
    if (!node || node == _root.get() || !node->parent()) return {};
    return createIndex(node->parent()->indexOfChild(node), 0, const_cast<QVRemoteFilePickerNode*>(node));
}

QVRemoteFilePickerNode* QVRemoteFilePickerModel::nodeForPath(const QString& path) const {
    if (path == _initialDirectory) return _root.get();
    // Entries' paths are the listed folder's path with their name appended, so below the
    // initial folder the components after it name the walk.
    QString below = path;
    if (!_initialDirectory.isEmpty()) {
        QString prefix = _initialDirectory;
        if (!prefix.endsWith(QLatin1Char('/'))) prefix += QLatin1Char('/');
        if (!path.startsWith(prefix)) return nullptr;
        below = path.mid(prefix.size());
    }
    QVRemoteFilePickerNode* node = _root.get();
    for (const QString& component : below.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        node = node->childWithName(component);
        if (!node) return nullptr;
    }
    return node == _root.get() ? nullptr : node;
}

bool QVRemoteFilePickerModel::applyListing(const QString& path, const QList<QVRemoteFile>& files) {
    QVRemoteFilePickerNode* node = nodeForPath(path);
    if (!node || !node->isDirectory()) return false;
    const QModelIndex parent = indexForNode(node);
    if (node->countOfChildren() > 0) {
        beginRemoveRows(parent, 0, node->countOfChildren() - 1);
        node->setChildrenFromFiles({});
        endRemoveRows();
    }
    if (!files.isEmpty()) {
        beginInsertRows(parent, 0, int(files.size()) - 1);
        node->setChildrenFromFiles(files);
        endInsertRows();
    }
    return true;
}

QModelIndex QVRemoteFilePickerModel::index(int row, int column, const QModelIndex& parent) const {
    if (column != 0) return {};
    QVRemoteFilePickerNode* child = nodeForIndex(parent)->childAtIndex(row);
    return child ? createIndex(row, 0, child) : QModelIndex();
}

QModelIndex QVRemoteFilePickerModel::parent(const QModelIndex& child) const {
    if (!child.isValid()) return {};
    return indexForNode(nodeForIndex(child)->parent());
}

int QVRemoteFilePickerModel::rowCount(const QModelIndex& parent) const {
    if (parent.column() > 0) return 0;
    return nodeForIndex(parent)->countOfChildren();
}

int QVRemoteFilePickerModel::columnCount(const QModelIndex&) const { return 1; }

bool QVRemoteFilePickerModel::hasChildren(const QModelIndex& parent) const {
    // A folder opens a column of its own even before its listing came: it is not a leaf.
    return nodeForIndex(parent)->isDirectory();
}

QVariant QVRemoteFilePickerModel::data(const QModelIndex& index, int role) const {
    const QVRemoteFilePickerNode* node = nodeForIndex(index);
    if (!index.isValid() || !node->file()) return {};
    switch (role) {
    case Qt::DisplayRole:
    // As the tree shows it: drawn raw, a name holding U+202E reads as another.
    case Qt::ToolTipRole: return FileName::shown(node->file()->name());
    case Qt::DecorationRole: return QPixmap::fromImage(node->file()->icon());
    default: return {};
    }
}
