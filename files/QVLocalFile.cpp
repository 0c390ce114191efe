// The transfer window's local entries, read from the files' status.
#include "files/QVLocalFile.h"

#include "platform/FileName.h"
#include "shell/FileManagerUtilities.h"
#include "shell/QVFileFilters.h"
#include "shell/WorkspaceUtilities.h"


#include <sys/stat.h>

std::optional<QVLocalFile> QVLocalFile::fromPath(const QString& path) {
    struct stat status {};
    if (path.isEmpty() || ::stat(FileName::encode(path).constData(), &status) != 0) return std::nullopt;
    QVLocalFile file;
    const qsizetype slash = path.lastIndexOf(u'/', path.size() > 1 && path.endsWith(u'/') ? -2 : -1);
    file._name = slash < 0 ? path : path.mid(slash + 1);
    if (file._name.endsWith(u'/')) file._name.chop(1);
    if (file._name.isEmpty()) file._name = QStringLiteral("/");
    file._isDirectory = S_ISDIR(status.st_mode);
    file._owner = FileManagerUtilities::nameForUid(status.st_uid);
    file._group = FileManagerUtilities::nameForGid(status.st_gid);
    file._date = QDateTime::fromSecsSinceEpoch(qint64(status.st_mtime));
    file._mode = FileManagerUtilities::modeStringForMode(quint16(status.st_mode));
    file._size = qint64(status.st_size);
    const QSize small(16, 16);
    file._icon = file._isDirectory ? WorkspaceUtilities::folderIconOfSize(small)
                                   : FileManagerUtilities::iconForFile(path, small, true);
    if (file._icon.isNull()) file._icon = WorkspaceUtilities::fileIconOfSize(small);
    return file;
}

QList<QVLocalFile> QVLocalFile::filesForPath(const QString& folder) {
    QList<QVLocalFile> files;
    const QStringList names = FileName::entries(folder);
    const std::shared_ptr<QVFileFilters> filters = QVFileFilters::sharedFilters();
    for (const QString& name : names) {
        if (filters->stringMatchesFilters(name)) continue;
        if (std::optional<QVLocalFile> file = fromPath(folder + u'/' + name)) files.append(std::move(*file));
    }
    return files;
}

QString QVLocalFile::sizeString() const {
    return _isDirectory ? QStringLiteral("--") : FileManagerUtilities::formattedStringForSize(_size);
}
