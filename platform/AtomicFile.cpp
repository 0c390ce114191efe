// Atomic file replacement: unique temporary file beside the target, fsync, rename, folder fsync.
#include "platform/AtomicFile.h"

#include "platform/FileName.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRandomGenerator>
#include <QSet>

#include <atomic>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

std::atomic<quint64> syncs{0};

int counted(int result) {
    syncs.fetch_add(1, std::memory_order_relaxed);
    return result;
}

std::atomic<quint64> temporaries{0};

// Creates the file name ends in six X for, with those replaced by a name no file has yet, and
// opens it for writing with mode (the umask and a default ACL of its folder applied, as to any
// new file): a new file then needs no fchmod. -1 with errno when it cannot be created.
int createTemporary(QByteArray& name, mode_t mode) {
    static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    char* const x = name.data() + name.size() - 6;
    for (int attempt = 0; attempt < 100; ++attempt) {
        quint64 bits = QRandomGenerator::global()->generate64();
        for (int i = 0; i < 6; ++i, bits >>= 6) x[i] = kLetters[bits % 62];
        const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0) {
            temporaries.fetch_add(1, std::memory_order_relaxed);
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    errno = EEXIST;
    return -1;
}

// The file a write lands in: a symbolic link is written through, so the link itself survives.
// info: the entry's lstat, which for anything but a link says what a stat would (a zero mode:
// no entry); a link's target is for the caller to look at (*isLink set).
QString resolvedTarget(const QString& path, struct stat* info, bool* isLink) {
    const QByteArray name = FileName::encode(path);
    *isLink = false;
    if (::lstat(name.constData(), info) != 0) {
        info->st_mode = 0;
        return path;
    }
    if (!S_ISLNK(info->st_mode)) return path;
    *isLink = true;
    const QString canonical = FileName::canonical(path);
    if (!canonical.isEmpty()) return canonical;
    // A dangling link: create the file it points at (a relative target is read from the link's folder).
    QByteArray target(PATH_MAX, '\0');
    const ssize_t length = ::readlink(name.constData(), target.data(), size_t(target.size()));
    if (length <= 0 || length >= target.size()) return path;
    target.truncate(length);
    if (target.startsWith('/')) return QDir::cleanPath(FileName::decode(target));
    return QDir::cleanPath(QFileInfo(path).absolutePath() + u'/' + FileName::decode(target));
}

bool writeAll(int fd, const char* data, qint64 size, int* err) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(qMin<qint64>(size, 1 << 30)));
        if (n < 0) {
            if (errno == EINTR) continue;
            *err = errno;
            return false;
        }
        data += n;
        size -= n;
    }
    return true;
}

// Copies every extended attribute of the file at from (not following a link: the caller
// resolved it) to fd; what cannot be read or set is left out.
void copyAttributes(const char* from, int fd) {
    ssize_t size = ::llistxattr(from, nullptr, 0);
    if (size <= 0) return;
    QByteArray names(size, '\0');
    size = ::llistxattr(from, names.data(), size_t(names.size()));
    if (size <= 0) return;
    names.truncate(size);
    for (const QByteArray& name : names.split('\0')) {
        if (name.isEmpty()) continue;
        ssize_t length = ::lgetxattr(from, name.constData(), nullptr, 0);
        if (length < 0) continue;
        QByteArray value(length, '\0');
        length = ::lgetxattr(from, name.constData(), value.data(), size_t(value.size()));
        if (length < 0) continue;
        (void)::fsetxattr(fd, name.constData(), value.constData(), size_t(length), 0);
    }
}

// Overwrites the file at name with data, keeping its inode (mode, owner, attributes stay).
// Space for the new size is reserved first where the file system can, so a full disk fails
// before anything is overwritten.
bool writeInPlace(const QByteArray& name, const QByteArray& data, int* err, const char** step) {
    const int fd = ::open(name.constData(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        *err = errno;
        *step = "Writing";
        return false;
    }
    bool ok = true;
    if (!data.isEmpty()) {
        const int reserved = ::posix_fallocate(fd, 0, off_t(data.size()));
        if (reserved != 0 && reserved != EOPNOTSUPP && reserved != EINVAL) {
            *err = reserved;
            *step = "Writing";
            ok = false;
        }
    }
    if (ok && !writeAll(fd, data.constData(), data.size(), err)) {
        *step = "Writing";
        ok = false;
    }
    if (ok && ::ftruncate(fd, off_t(data.size())) != 0) {
        *err = errno;
        *step = "Writing";
        ok = false;
    }
    if (ok && counted(::fsync(fd)) != 0) {
        *err = errno;
        *step = "Flushing";
        ok = false;
    }
    if (::close(fd) != 0 && ok) {
        *err = errno;
        *step = "Closing";
        ok = false;
    }
    return ok;
}

}  // namespace

namespace {

// Writes data to a new temporary file beside the target (mode, owner and attributes as the old
// file's) and closes it, flushed when asked. Without a temporary file an existing writable file
// is written in place when allowed (*inPlace says so). Fills target and temporary names.
bool writeTemporary(const QString& path, const QByteArray& data, QVError* error,
                    const QMap<QByteArray, QByteArray>& extraAttributes, bool flush, bool allowInPlace,
                    bool* inPlace, QByteArray* targetOut, QByteArray* tempOut) {
    if (inPlace) *inPlace = false;
    if (path.isEmpty()) {
        qvSetError(error, QVError::posix(ENOENT, QStringLiteral("Writing"), path));
        return false;
    }
    struct stat old {};
    bool isLink = false;
    const QString target = resolvedTarget(FileName::absolute(path), &old, &isLink);
    const QByteArray targetName = FileName::encode(target);
    const QString folder = QFileInfo(target).absolutePath();

    // What the lstat found, unless it was a link: then its target.
    const bool exists = isLink ? ::stat(targetName.constData(), &old) == 0 : old.st_mode != 0;
    if (exists) {
        if (S_ISDIR(old.st_mode)) {
            qvSetError(error, QVError::posix(EISDIR, QStringLiteral("Writing"), path));
            return false;
        }
        // Renaming over a file the user may not write would bypass its permissions.
        if (::access(targetName.constData(), W_OK) != 0) {
            qvSetError(error, QVError::posix(errno, QStringLiteral("Writing"), path));
            return false;
        }
    }

    QByteArray tempName = FileName::encode(folder) + "/." + FileName::encode(QFileInfo(target).fileName()) +
                          ".XXXXXX";
    // Created with O_CREAT | O_EXCL: the name is ours alone. A replacement keeps the old mode
    // (set below, after fchown); until then only its owner may open it.
    const int fd = createTemporary(tempName, exists ? 0600 : 0666);
    if (fd < 0) {
        const int refused = errno;
        if (allowInPlace && exists && (refused == EACCES || refused == EPERM)) {
            int err = 0;
            const char* step = "Writing";
            if (!writeInPlace(targetName, data, &err, &step)) {
                qvSetError(error, QVError::posix(err, QString::fromLatin1(step), path));
                return false;
            }
            for (auto it = extraAttributes.cbegin(); it != extraAttributes.cend(); ++it)
                (void)::lsetxattr(targetName.constData(), it.key().constData(), it.value().constData(),
                                  size_t(it.value().size()), 0);
            if (inPlace) *inPlace = true;
            return true;
        }
        qvSetError(error, QVError::posix(refused, QStringLiteral("Creating a temporary file for"), path));
        return false;
    }

    int err = 0;
    const char* step = "Writing";
    const mode_t mode = old.st_mode & 07777;
    if (writeAll(fd, data.constData(), data.size(), &err)) {
        // Keeping the owner only works for the superuser (or a group we belong to); a file we
        // may write but do not own otherwise becomes ours, as with any safe save.
        if (exists && (old.st_uid != ::geteuid() || old.st_gid != ::getegid()))
            (void)::fchown(fd, old.st_uid, old.st_gid);
        // The ACL before the mode: fchmod then sets the ACL's mask from the old group bits,
        // which were the old mask.
        if (exists) copyAttributes(targetName.constData(), fd);
        for (auto it = extraAttributes.cbegin(); it != extraAttributes.cend(); ++it)
            (void)::fsetxattr(fd, it.key().constData(), it.value().constData(), size_t(it.value().size()), 0);
        // After fchown, which clears set-id bits.
        if (exists && ::fchmod(fd, mode) != 0) {
            err = errno;
            step = "Setting the permissions of";
        } else if (flush && counted(::fsync(fd)) != 0) {
            err = errno;
            step = "Flushing";
        }
    }
    if (::close(fd) != 0 && err == 0) {
        err = errno;
        step = "Closing";
    }
    if (err != 0) {
        ::unlink(tempName.constData());
        qvSetError(error, QVError::posix(err, QString::fromLatin1(step), path));
        return false;
    }
    *targetOut = targetName;
    *tempOut = tempName;
    return true;
}

void syncFolderOf(const QByteArray& file) {
    const qsizetype slash = file.lastIndexOf('/');
    const QByteArray folder = slash > 0 ? file.left(slash) : QByteArray("/");
    const int dirFd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        counted(::fsync(dirFd));
        ::close(dirFd);
    }
}

}  // namespace

void AtomicFile::syncFolder(const QString& folder) {
    const int dirFd = ::open(FileName::encode(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        counted(::fsync(dirFd));
        ::close(dirFd);
    }
}

bool AtomicFile::write(const QString& path, const QByteArray& data, QVError* error,
                       const QMap<QByteArray, QByteArray>& extraAttributes, bool* inPlace, QString* deferredFolder) {
    QByteArray targetName, tempName;
    bool wroteInPlace = false;
    if (!writeTemporary(path, data, error, extraAttributes, true, true, &wroteInPlace, &targetName, &tempName)) return false;
    if (inPlace) *inPlace = wroteInPlace;
    if (wroteInPlace) return true;
    if (::rename(tempName.constData(), targetName.constData()) != 0) {
        const int err = errno;
        ::unlink(tempName.constData());
        qvSetError(error, QVError::posix(err, QStringLiteral("Replacing"), path));
        return false;
    }
    // Make the rename itself durable. The new contents are already in place, so a folder that
    // cannot be synced (some file systems refuse) is not a failure of the write.
    if (deferredFolder) {
        const qsizetype slash = targetName.lastIndexOf('/');
        *deferredFolder = FileName::decode(slash > 0 ? targetName.left(slash) : QByteArray("/"));
    } else {
        syncFolderOf(targetName);
    }
    return true;
}

bool AtomicFile::stage(const QString& path, const QByteArray& data, Staged* staged, QVError* error) {
    staged->path = path;
    return writeTemporary(path, data, error, {}, false, false, nullptr, &staged->target, &staged->temporary);
}

bool AtomicFile::flush(const QList<Staged>& staged) {
    // One sync per file system holding a staged file; a lone file is synced by itself, which
    // does not wait for what other programs wrote to that file system.
    // The file system is the folder's: one stat per folder, not per file.
    QMap<dev_t, QList<QByteArray>> byDevice;
    QHash<QByteArray, dev_t> folders;
    bool ok = true;
    for (const Staged& s : staged) {
        const qsizetype slash = s.temporary.lastIndexOf('/');
        const QByteArray folder = slash > 0 ? s.temporary.left(slash) : QByteArray("/");
        auto known = folders.constFind(folder);
        if (known == folders.cend()) {
            struct stat st {};
            if (::stat(folder.constData(), &st) != 0) {
                ok = false;
                continue;
            }
            known = folders.insert(folder, st.st_dev);
        }
        byDevice[*known] << s.temporary;
    }
    for (const QList<QByteArray>& files : std::as_const(byDevice)) {
        const int fd = ::open(files.first().constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || counted(files.size() == 1 ? ::fsync(fd) : ::syncfs(fd)) != 0) ok = false;
        if (fd >= 0) ::close(fd);
    }
    return ok;
}

bool AtomicFile::commit(const Staged& staged, QVError* error) {
    if (::rename(staged.temporary.constData(), staged.target.constData()) == 0) return true;
    const int err = errno;
    ::unlink(staged.temporary.constData());
    qvSetError(error, QVError::posix(err, QStringLiteral("Replacing"), staged.path));
    return false;
}

quint64 AtomicFile::syncCount() { return syncs.load(std::memory_order_relaxed); }

quint64 AtomicFile::temporaryCount() { return temporaries.load(std::memory_order_relaxed); }

void AtomicFile::discard(const Staged& staged) { ::unlink(staged.temporary.constData()); }

void AtomicFile::flushFolders(const QList<Staged>& staged) {
    QSet<QByteArray> folders;
    for (const Staged& s : staged) {
        const qsizetype slash = s.target.lastIndexOf('/');
        const QByteArray folder = slash > 0 ? s.target.left(slash) : QByteArray("/");
        if (folders.contains(folder)) continue;
        folders.insert(folder);
        syncFolderOf(s.target);
    }
}
