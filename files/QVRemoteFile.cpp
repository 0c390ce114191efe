#include "files/QVRemoteFile.h"

#include "shell/FileManagerUtilities.h"

QVRemoteFile::QVRemoteFile(const QString& directory, const QString& name)
    : _path(appendPath(directory, name)), _name(name) {}

QString QVRemoteFile::appendPath(const QString& directory, const QString& name) {
    if (directory.isEmpty()) return name;
    return directory.endsWith(u'/') ? directory + name : directory + u'/' + name;
}

QString QVRemoteFile::modeString() const {
    if (!_modeString.isEmpty()) return _modeString;
    if (_isDirectory) return QStringLiteral("d---------");
    if (_isSymlink) return QStringLiteral("l---------");
    return {};
}

void QVRemoteFile::setModeString(const QString& mode) {
    _modeString = mode;
    if (mode.startsWith(u'd')) _isDirectory = true;
    if (mode.startsWith(u'l')) _isSymlink = true;
}

QString QVRemoteFile::sizeString() const {
    return _isDirectory ? QStringLiteral("--") : FileManagerUtilities::formattedStringForSize(_size);
}
