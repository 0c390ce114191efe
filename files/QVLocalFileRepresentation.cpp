// The local side of a file: attributes from stat, listings from readdir, and operations that
// never replace an existing name.
#include "files/QVLocalFileRepresentation.h"

#include "platform/FileName.h"
#include "files/LocalFileOperations.h"
#include "files/NodePool.h"
#include "shell/FileManagerUtilities.h"

#include <QHash>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Listings ask for the same few owners thousands of times.
QString cachedName(bool user, quint32 id) {
    static std::mutex lock;
    static QHash<quint64, QString> names;
    const quint64 key = (quint64(user) << 32) | id;
    std::lock_guard<std::mutex> locker(lock);
    auto found = names.constFind(key);
    if (found != names.constEnd()) return *found;
    const QString name = user ? FileManagerUtilities::nameForUid(id) : FileManagerUtilities::nameForGid(id);
    if (names.size() < 4096) names.insert(key, name);
    return name;
}

}  // namespace

QString QVLocalFileRepresentation::path() const {
    const auto delegate = _delegate.lock();
    return delegate ? delegate->pathForFileRepresentation(const_cast<QVLocalFileRepresentation*>(this)) : QString();
}

void QVLocalFileRepresentation::reportError(const QVError& error) {
    if (const auto delegate = _delegate.lock()) delegate->fileRepresentationHadError(this, error);
}

bool QVLocalFileRepresentation::loadFileAttributes() {
    _attributesPending = false;
    const QString p = path();
    struct stat st;
    if (p.isEmpty()) return false;
    QVLocalFolder::countLookup();
    if (::stat(FileName::encode(p).constData(), &st) != 0) return false;
    _group = cachedName(false, st.st_gid);
    _owner = cachedName(true, st.st_uid);
    _mode = quint16(st.st_mode);
    _modificationDate = QDateTime::fromSecsSinceEpoch(st.st_mtim.tv_sec, Qt::UTC);  // a moment; shown in local time
    _size = st.st_size;
    return true;
}

QVLocalFolder::QVLocalFolder(const QString& path, bool identify) {
    countLookup();
    _fd = ::open(FileName::encode(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (_fd < 0) _error = errno;
    struct stat st;
    if (_fd >= 0 && identify && ::fstat(_fd, &st) == 0) {
        _device = quint64(st.st_dev);
        _inode = quint64(st.st_ino);
    }
}

QVLocalFolder::~QVLocalFolder() {
    if (_fd >= 0) ::close(_fd);
}

QVFileRepresentationList QVLocalFolder::read() {
    QVFileRepresentationList list;
    if (_fd < 0) return list;
    // Read in blocks straight from the open folder: a directory stream would stat it again and
    // take a buffer from the heap for every folder of a walk.
    alignas(dirent64) char buffer[32768];
    for (;;) {
        const ssize_t got = ::getdents64(_fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) _error = errno;
        if (got <= 0) break;
        // An entry takes at least 24 bytes of the block, most of a site's about 32.
        list.reserve(list.size() + got / 32);
        for (ssize_t at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
            at += entry->d_reclen;
            const char* bytes = entry->d_name;
            if (bytes[0] == '.' && (bytes[1] == 0 || (bytes[1] == '.' && bytes[2] == 0))) continue;
            // Links are read through when their type is asked: the entry type is that of the link.
            const quint16 type = entry->d_type == DT_DIR ? 0x4000 : entry->d_type == DT_REG ? 0x8000 : 0;
            // A name that is not UTF-8 keeps its bytes (escaped), so the node addresses that file.
            list.append(NodePool::make<QVLocalFileRepresentation>(QVFileRepresentation::Name{FileName::decode(bytes)}, type));
        }
    }
    ::close(_fd);
    _fd = -1;
    return list;
}

QVFileRepresentationList QVLocalFileRepresentation::listFolder(const QString& path) { return QVLocalFolder(path, false).read(); }

bool QVLocalFileRepresentation::loadChildren() {
    if (_loaded) return true;
    QVLocalFolder folder(path(), false);
    return loadChildren(folder);
}

bool QVLocalFileRepresentation::loadChildren(QVLocalFolder& folder) {
    if (_loaded) return true;
    const QVFileRepresentationList children = folder.read();
    QVFileRepresentation::loadChildren();
    if (const auto delegate = _delegate.lock()) delegate->fileRepresentationDidLoadChildren(this, children);
    return true;
}

bool QVLocalFileRepresentation::reloadChildren() {
    const QVFileRepresentationList children = listFolder(path());
    if (const auto delegate = _delegate.lock()) delegate->fileRepresentationDidReloadChildren(this, children);
    return true;
}

void QVLocalFileRepresentation::deleteFile(bool toTrash) {
    const auto self = shared_from_this();
    QVError error;
    const bool done = toTrash ? LocalFileOperations::moveToTrash(path(), &error)
                              : LocalFileOperations::removeItem(path(), &error);
    if (error) reportError(error);
    if (const auto delegate = _delegate.lock()) delegate->fileRepresentationDidDelete(this, done);
}

void QVLocalFileRepresentation::moveToTrash() {
    const auto self = shared_from_this();
    QVError error;
    const bool done = LocalFileOperations::moveToTrash(path(), &error);
    if (error) reportError(error);
    if (const auto delegate = _delegate.lock()) delegate->fileRepresentationDidMoveToTrash(this, done);
}

void QVLocalFileRepresentation::duplicate() {
    const auto self = shared_from_this();
    QVError error;
    const QString copy = LocalFileOperations::duplicateItem(path(), &error);
    if (error) reportError(error);
    const auto delegate = _delegate.lock();
    if (!delegate) return;
    delegate->fileRepresentationDidDuplicate(this, copy.isEmpty() ? nullptr : std::make_shared<QVLocalFileRepresentation>(copy));
}

bool QVLocalFileRepresentation::moveToPath(const QString& destination, const QVFileContext& context) {
    const auto self = shared_from_this();
    QVError error;
    const bool done = LocalFileOperations::moveItem(path(), destination, &error);
    if (error) reportError(error);
    if (done) _name = QVFileRepresentation(destination).name();
    if (const auto delegate = _delegate.lock()) delegate->fileRepresentationDidMove(this, done, context);
    return done;
}

void QVLocalFileRepresentation::rename(const QString& name, const QVFileContext& context) {
    const auto self = shared_from_this();
    const QString from = path();
    QVError error;
    bool done = false;
    if (name.isEmpty() || name.contains(QLatin1Char('/')) || name == QLatin1String(".") || name == QLatin1String("..")) {
        error = LocalFileOperations::fileError(from, EINVAL);
    } else {
        const QString folder = from.left(from.lastIndexOf(QLatin1Char('/')) + 1);
        done = LocalFileOperations::moveItem(from, folder + name, &error) ;
    }
    if (error) reportError(error);
    if (done) _name = name;
    if (const auto delegate = _delegate.lock()) delegate->fileRepresentationDidRename(this, done, context);
}
