// The representation base: name, attributes and the type read from the mode.
#include "files/QVFileRepresentation.h"

#include "platform/FileName.h"
#include "shell/FileManagerUtilities.h"
#include "shell/WorkspaceUtilities.h"

#include <QFileInfo>
#include <QSize>

namespace {

QString lastComponent(QString path) {
    while (path.size() > 1 && path.endsWith(QLatin1Char('/'))) path.chop(1);
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

}  // namespace

QVFileRepresentation::QVFileRepresentation(const QString& path) : _name(lastComponent(path)) {}

void QVFileRepresentation::setDelegate(std::weak_ptr<QVFileRepresentationDelegate> delegate) {
    _attributesPending = !delegate.expired();
    _delegate = std::move(delegate);
}

bool QVFileRepresentation::loadChildren() {
    _loaded = true;
    return true;
}

void QVFileRepresentation::rename(const QString&, const QVFileContext&) {}

bool QVFileRepresentation::moveToPath(const QString&, const QVFileContext&) { return false; }

QImage QVFileRepresentation::icon() {
    const auto delegate = _delegate.lock();
    if (!delegate) return {};
    const QString path = delegate->pathForFileRepresentation(this);
    // A folder only the site holds has nothing on disk to take its icon from.
    if (delegate->typeForFileRepresentation(this) == QVFileTypeFolder && !FileName::isFolder(path))
        return WorkspaceUtilities::folderIconOfSize(QSize(16, 16));
    return FileManagerUtilities::iconForFile(path, QSize(16, 16), true);
}

QVFileType QVFileRepresentation::fileTypeForMode(quint16 mode) {
    switch (mode & 0xF000) {
    case 0x4000: return QVFileTypeFolder;
    case 0xA000: return QVFileTypeSymbolicLink;
    case 0x1000: return QVFileTypeNamedPipe;
    case 0x2000: return QVFileTypeCharacterDevice;
    case 0x6000: return QVFileTypeBlockDevice;
    case 0xC000: return QVFileTypeSocket;
    default: return QVFileTypeFile;
    }
}
