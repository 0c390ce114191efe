// One entry of a remote folder listing: the model behind the tree's remote side and the
// transfer window.
#pragma once

#include <QDateTime>
#include <QImage>
#include <QString>
#include <QtGlobal>

class QVLocalFile;

class QVRemoteFile {
public:
    QVRemoteFile() = default;
    // The path is the folder with the name appended.
    QVRemoteFile(const QString& directory, const QString& name);
    // An entry of the transfer window's local list as the entry it becomes in the folder: name,
    // owner as user, group, date (in the date-string form below), mode, folder flag, size, icon.
    QVRemoteFile(const QString& directory, const QVLocalFile& prototype);

    const QString& path() const { return _path; }
    void setPath(const QString& path) { _path = path; }
    const QString& name() const { return _name; }
    void setName(const QString& name) { _name = name; }
    const QString& user() const { return _user; }
    void setUser(const QString& user) { _user = user; }
    const QString& group() const { return _group; }
    void setGroup(const QString& group) { _group = group; }
    // As listed, not parsed.
    const QString& dateString() const { return _dateString; }
    void setDateString(const QString& date) { _dateString = date; }
    qint64 size() const { return _size; }
    void setSize(qint64 size) { _size = size; }
    bool isDirectory() const { return _isDirectory; }
    void setIsDirectory(bool directory) { _isDirectory = directory; }
    bool isSymlink() const { return _isSymlink; }
    void setIsSymlink(bool symlink) { _isSymlink = symlink; }
    // Where a link points, as the listing wrote it (relative to the link's folder, or absolute);
    // empty when the listing did not say (sftp's never does).
    const QString& linkTarget() const { return _linkTarget; }
    void setLinkTarget(const QString& target) { _linkTarget = target; }
    // WebDAV: the resource's "executable" property is set (cadaver marks it; no mode is listed).
    // One of two entries of a listing that name one path (see QVRemoteFilesConnection).
    bool isListedTwice() const { return _isListedTwice; }
    void setIsListedTwice(bool twice) { _isListedTwice = twice; }
    bool isExecutable() const { return _isExecutable; }
    void setIsExecutable(bool executable) { _isExecutable = executable; }
    // The stored mode; without one "d---------" for a folder, "l---------" for a link, else none.
    QString modeString() const;
    // A mode starting with "d" marks a folder, one with "l" a link (neither is cleared here).
    void setModeString(const QString& mode);
    // "--" for a folder, else the formatted size.
    QString sizeString() const;
    QString description() const { return _name + QStringLiteral(": ") + _path; }
    // 16 by 16, made on first use: the folder icon (one image for every folder), else the
    // desktop's icon for the name's extension.
    QImage icon() const;
    void setIcon(const QImage& icon) { _icon = icon; }

    // A date as "YYYY-MM-DD HH:MM:SS ±HHMM" and back (an invalid date for any other text).
    static QString dateDescription(const QDateTime& date);
    static QDateTime dateFromDescription(const QString& text);

    // A child path: the name appended to the folder as a path component.
    static QString appendPath(const QString& directory, const QString& name);

    // The icon, made from the rest, takes no part.
    bool operator==(const QVRemoteFile& other) const {
        return _path == other._path && _name == other._name && _user == other._user && _group == other._group &&
               _modeString == other._modeString && _dateString == other._dateString && _size == other._size &&
               _isDirectory == other._isDirectory && _isSymlink == other._isSymlink && _linkTarget == other._linkTarget &&
               _isExecutable == other._isExecutable && _isListedTwice == other._isListedTwice;
    }

private:
    QString _path;
    QString _name;
    QString _user;
    QString _group;
    QString _modeString;
    QString _dateString;
    qint64 _size = 0;
    bool _isDirectory = false;
    bool _isSymlink = false;
    QString _linkTarget;
    bool _isExecutable = false;
    bool _isListedTwice = false;
    mutable QImage _icon;
};
