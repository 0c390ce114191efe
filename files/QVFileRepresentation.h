// One file seen from one side (the local disk or the remote site): name, attributes, children
// and the file operations of that side. It knows neither its path nor its place in the tree:
// it asks its delegate, the node that owns it, and reports every result back to it.
#pragma once

#include "files/QVFileRepresentationDelegate.h"

#include <QDateTime>
#include <QImage>
#include <QString>

#include <memory>

// The base stands for a side that can do nothing: every operation is a no-op.
class QVFileRepresentation : public std::enable_shared_from_this<QVFileRepresentation> {
public:
    // The name is the path's last component.
    explicit QVFileRepresentation(const QString& path);
    struct Name {
        QString name;
    };
    // A representation of the entry with that name (a listing's entry, whose path the node gives).
    explicit QVFileRepresentation(Name entry) : _name(std::move(entry.name)) {}
    virtual ~QVFileRepresentation() = default;

    std::shared_ptr<QVFileRepresentationDelegate> delegate() const { return _delegate.lock(); }
    // A delegate makes the representation read its attributes, on first use of any of them
    // (a listing of thousands of names reads only those that are looked at).
    void setDelegate(std::weak_ptr<QVFileRepresentationDelegate> delegate);

    virtual bool isLocal() const { return true; }
    // False when nothing could be read; the old values then stay.
    virtual bool loadFileAttributes() { return true; }
    virtual bool loadChildren();
    virtual bool reloadChildren() { return true; }
    // Removes the file; with toTrash a local side moves it into the Trash instead.
    virtual void deleteFile(bool toTrash = false) { (void)toTrash; }
    virtual void duplicate() {}
    virtual void moveToTrash() {}
    virtual void rename(const QString& name, const QVFileContext& context);
    virtual bool moveToPath(const QString& path, const QVFileContext& context);

    bool loaded() const { return _loaded; }
    const QString& name() const { return _name; }
    void setName(const QString& name) { _name = name; }
    const QString& owner() const { return settled()._owner; }
    void setOwner(const QString& owner) { _owner = owner; }
    const QString& group() const { return settled()._group; }
    void setGroup(const QString& group) { _group = group; }
    quint16 mode() const { return settled()._mode; }
    void setMode(quint16 mode) { _mode = mode; }
    const QDateTime& modificationDate() const { return settled()._modificationDate; }
    qint64 size() const { return settled()._size; }

    // The file's icon at 16 by 16 (by the delegate's path); null without a delegate.
    virtual QImage icon();
    // Known from a listing's entry type before the attributes are read, except for links.
    QVFileType fileType() const { return fileTypeForMode(_attributesPending && _typeHint ? _typeHint : settled()._mode); }
    static QVFileType fileTypeForMode(quint16 mode);

protected:
    const QVFileRepresentation& settled() const {
        if (_attributesPending) {
            _attributesPending = false;
            const_cast<QVFileRepresentation*>(this)->loadFileAttributes();
        }
        return *this;
    }

    std::weak_ptr<QVFileRepresentationDelegate> _delegate;
    mutable bool _attributesPending = false;
    quint16 _typeHint = 0;  // the type field a listing saw, 0 when unknown
    bool _loaded = false;
    QString _name;
    QString _owner;
    QString _group;
    quint16 _mode = 0;
    QDateTime _modificationDate;
    qint64 _size = 0;
};
