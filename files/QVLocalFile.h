// One entry of the transfer window's local list: what a remote entry made from it reads (the
// entry of a file about to be uploaded stands in for the remote one until the site lists it).
#pragma once

#include <QDateTime>
#include <QImage>
#include <QString>
#include <QList>
#include <QtGlobal>

#include <optional>

class QVLocalFile {
public:
    // The entry of the file at path, its status read through symbolic links; nothing when the
    // status cannot be read (the file vanished, a dangling link).
    static std::optional<QVLocalFile> fromPath(const QString& path);
    // One entry per name in the folder, as the folder lists them, less the names the file
    // filters hide and those whose status cannot be read. Empty for a folder that cannot be read.
    static QList<QVLocalFile> filesForPath(const QString& folder);

    // "--" for a folder, else the formatted size.
    QString sizeString() const;
    const QString& name() const { return _name; }
    void setName(const QString& name) { _name = name; }
    const QString& owner() const { return _owner; }
    void setOwner(const QString& owner) { _owner = owner; }
    const QString& group() const { return _group; }
    void setGroup(const QString& group) { _group = group; }
    const QDateTime& date() const { return _date; }
    void setDate(const QDateTime& date) { _date = date; }
    // Ten characters, as a listing shows it ("-rw-r--r--").
    const QString& mode() const { return _mode; }
    void setMode(const QString& mode) { _mode = mode; }
    bool isDirectory() const { return _isDirectory; }
    void setIsDirectory(bool directory) { _isDirectory = directory; }
    qint64 size() const { return _size; }
    void setSize(qint64 size) { _size = size; }
    const QImage& icon() const { return _icon; }
    void setIcon(const QImage& icon) { _icon = icon; }

private:
    QString _name;
    QString _owner;
    QString _group;
    QDateTime _date;
    QString _mode;
    bool _isDirectory = false;
    qint64 _size = 0;
    QImage _icon;
};
