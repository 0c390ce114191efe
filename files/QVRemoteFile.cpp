#include "files/QVRemoteFile.h"

#include "files/QVLocalFile.h"
#include "shell/FileManagerUtilities.h"
#include "shell/WorkspaceUtilities.h"

#include <QRegularExpression>
#include <QTimeZone>

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

QVRemoteFile::QVRemoteFile(const QString& directory, const QVLocalFile& prototype)
    : QVRemoteFile(directory, prototype.name()) {
    _user = prototype.owner();
    _group = prototype.group();
    _dateString = dateDescription(prototype.date());
    setModeString(prototype.mode());
    _isDirectory = prototype.isDirectory();
    _size = prototype.size();
    _icon = prototype.icon();
}

QImage QVRemoteFile::icon() const {
    // Listings are parsed on the client's reader thread and may hold thousands of entries: the
    // icon waits until something shows it.
    if (_icon.isNull())
        _icon = _isDirectory ? WorkspaceUtilities::folderIconOfSize(QSize(16, 16))
                             : FileManagerUtilities::iconForFile(_name, QSize(16, 16), true);
    return _icon;
}

QString QVRemoteFile::dateDescription(const QDateTime& date) {
    if (!date.isValid()) return {};
    const int offset = date.offsetFromUtc() / 60;
    const int magnitude = std::abs(offset);
    return date.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss ")) + (offset < 0 ? u'-' : u'+') +
           QStringLiteral("%1%2").arg(magnitude / 60, 2, 10, QChar(u'0')).arg(magnitude % 60, 2, 10, QChar(u'0'));
}

QDateTime QVRemoteFile::dateFromDescription(const QString& text) {
    static const QRegularExpression form(
        QStringLiteral("^(\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}) ([+-])(\\d{2})(\\d{2})$"));
    const QRegularExpressionMatch m = form.match(text);
    if (!m.hasMatch()) return {};
    const int minutes = m.captured(3).toInt() * 60 + m.captured(4).toInt();
    QDateTime date = QDateTime::fromString(m.captured(1), QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    if (!date.isValid() || minutes > 14 * 60) return {};
    date.setOffsetFromUtc((m.captured(2) == u'-' ? -60 : 60) * minutes);
    return date;
}
