// One file-backed operation of a menu (a Tidy operation, a browser), or a folder of them.
#pragma once

#include "platform/QVError.h"
#include "shell/MenuItemRep.h"

#include <QList>
#include <QString>
#include <QVariant>

#include <memory>

class QVOperation : public std::enable_shared_from_this<QVOperation> {
public:
    // Stores the path and reads from the disk whether it is a folder.
    explicit QVOperation(const QString& path = {});
    virtual ~QVOperation() = default;

    // A new operation of the same class: same path and folder flag, a copy of the child list
    // (the children themselves are copied too, so edits of the copy stay in the copy).
    virtual std::shared_ptr<QVOperation> copy() const;

    // Base: valid. Subclasses decide; runs after every change of the children.
    virtual void validate() { setIsValid(true); }
    bool isValid() const { return _isValid; }
    void setIsValid(bool valid) { _isValid = valid; }

    void addObject(const std::shared_ptr<QVOperation>& child);
    const QList<std::shared_ptr<QVOperation>>& children() const { return _children; }
    void setChildren(const QList<std::shared_ptr<QVOperation>>& children);

    QString path() const { return _path; }
    void setPath(const QString& path) { _path = path; }
    bool isDirectory() const { return _isDirectory; }
    void setIsDirectory(bool directory) { _isDirectory = directory; }

    // Base: none. Subclasses describe their menu items.
    virtual QList<MenuItemRep> menuItemRepresentations() { return {}; }
    // Base: success. Subclasses write themselves to disk; a failure says why in error.
    virtual bool commit(QVError* error = nullptr);
    // Base: nothing. Subclasses act on the object (a text view, a file).
    virtual void performActionWithObject(const QVariant& object) { Q_UNUSED(object) }

protected:
    // Copies this operation's fields into a fresh object of the subclass.
    void copyInto(QVOperation& target) const;

private:
    QString _path;
    QList<std::shared_ptr<QVOperation>> _children;
    bool _isDirectory = false;
    bool _isValid = false;
};
