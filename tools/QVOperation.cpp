#include "tools/QVOperation.h"

#include <QFileInfo>

QVOperation::QVOperation(const QString& path) : _path(path) {
    if (!path.isEmpty()) _isDirectory = QFileInfo(path).isDir();
}

std::shared_ptr<QVOperation> QVOperation::copy() const {
    auto result = std::make_shared<QVOperation>();
    copyInto(*result);
    return result;
}

void QVOperation::copyInto(QVOperation& target) const {
    target._path = _path;
    target._isDirectory = _isDirectory;
    target._children.clear();
    for (const auto& child : _children) target._children.append(child->copy());
    target.validate();
}

void QVOperation::addObject(const std::shared_ptr<QVOperation>& child) {
    _children.append(child);
    validate();
}

void QVOperation::setChildren(const QList<std::shared_ptr<QVOperation>>& children) {
    _children = children;
    validate();
}

bool QVOperation::commit(QVError* error) {
    Q_UNUSED(error)
    return true;
}
