// Atomic file replacement: unique temporary file beside the target, fsync, rename, folder fsync.
#include "platform/AtomicFile.h"

#include "platform/FileName.h"

#include <QHash>
#include <QRandomGenerator>
#include <QSet>

#include <atomic>
#include <cctype>
#include <cstring>
#include <ctime>
#include <mutex>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
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

std::atomic<bool> stagesNamed{false};

// Links open() follows before it gives up (the kernel's MAXSYMLINKS).
constexpr int MaxLinks = 40;

QByteArray folderOf(const QByteArray& file) {
    const qsizetype slash = file.lastIndexOf('/');
    return slash > 0 ? file.left(slash) : QByteArray("/");
}

// The file a write of path lands in, found as open() finds it: each link is followed to what it
// names (a relative target read from the link's folder), so a chain of links stays links and its
// last target is written, or created where it is missing; a chain that never ends is refused
// with ELOOP, as open() refuses it, and no link is touched. The folder part comes resolved, so a
// temporary file lands beside the file it replaces. info: the target's lstat (a zero mode: none).
bool resolveTarget(const QByteArray& path, QByteArray* target, struct stat* info, int* err) {
    QByteArray name = path;
    for (int links = 0;; ++links) {
        if (::lstat(name.constData(), info) != 0) {
            if (errno != ENOENT) {
                *err = errno;
                return false;
            }
            info->st_mode = 0;
            break;
        }
        if (!S_ISLNK(info->st_mode)) break;
        if (links == MaxLinks) {
            *err = ELOOP;
            return false;
        }
        QByteArray text(PATH_MAX, '\0');
        const ssize_t length = ::readlink(name.constData(), text.data(), size_t(text.size()));
        if (length <= 0 || length >= text.size()) {
            *err = length < 0 ? errno : ENAMETOOLONG;
            return false;
        }
        text.truncate(length);
        name = text.startsWith('/') ? text : folderOf(name) + '/' + text;
    }
    const QByteArray leaf = name.mid(name.lastIndexOf('/') + 1);
    if (leaf.isEmpty() || leaf == "." || leaf == "..") {
        *err = EISDIR;  // what open() says of a missing "name/"
        return false;
    }
    char* folder = ::realpath(folderOf(name).constData(), nullptr);
    if (!folder) {
        *target = name;  // a missing folder: creating the file there fails and says so
        return true;
    }
    const QByteArray resolved(folder);
    std::free(folder);
    *target = (resolved == "/" ? QByteArray() : resolved) + '/' + leaf;
    return true;
}

// What a path that is not a regular file is, in words.
QString kindOf(mode_t mode) {
    if (S_ISFIFO(mode)) return QStringLiteral("a named pipe");
    if (S_ISSOCK(mode)) return QStringLiteral("a socket");
    if (S_ISCHR(mode)) return QStringLiteral("a character device");
    if (S_ISBLK(mode)) return QStringLiteral("a block device");
    return QStringLiteral("not a file");
}

// Only regular files are written: a pipe, a socket or a device replaced by a file would stop
// being what it was, and writing into one is not saving.
QVError notARegularFile(const QString& path, mode_t mode) {
    QVError error = QVError::posix(EINVAL, QStringLiteral("Writing"), path);
    error.setUserInfoValue(QLatin1String(QVLocalizedDescriptionKey),
                           QStringLiteral("Writing \"%1\" failed: it is %2, not a regular file")
                               .arg(FileName::displayed(path), kindOf(mode)));
    return error;
}

// The mode a replacement of a file with mode gets: what a write into the file leaves of it. A
// write by anyone but the superuser clears set-user-id, and set-group-id where the group may
// execute (without it the bit marks mandatory locking, which a write keeps); the new text is
// not the program the bits were given to.
mode_t modeAfterWrite(mode_t mode) {
    mode &= ~mode_t(S_ISUID);
    if (mode & S_IXGRP) mode &= ~mode_t(S_ISGID);
    return mode;
}

// Whether the folder lets no entry in it be removed or replaced (append-only or immutable): a
// temporary file made there could never be renamed over the file nor taken away again.
bool folderKeepsNames(const QByteArray& folder) {
    struct statx info {};
    if (::statx(AT_FDCWD, folder.constData(), 0, 0, &info) != 0) return false;
    return (info.stx_attributes & (STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE)) != 0;
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
// resolved it) to fd; what cannot be read or set is left out. File capabilities stay behind: a
// write into the file drops them, and the new text is not the program they were granted to.
void copyAttributes(const char* from, int fd) {
    ssize_t size = ::llistxattr(from, nullptr, 0);
    if (size <= 0) return;
    QByteArray names(size, '\0');
    size = ::llistxattr(from, names.data(), size_t(names.size()));
    if (size <= 0) return;
    names.truncate(size);
    for (const QByteArray& name : names.split('\0')) {
        if (name.isEmpty() || name == "security.capability") continue;
        ssize_t length = ::lgetxattr(from, name.constData(), nullptr, 0);
        if (length < 0) continue;
        QByteArray value(length, '\0');
        length = ::lgetxattr(from, name.constData(), value.data(), size_t(value.size()));
        if (length < 0) continue;
        (void)::fsetxattr(fd, name.constData(), value.constData(), size_t(length), 0);
    }
}

// Overwrites the file at name with data, keeping its inode (mode, owner, attributes stay; the
// kernel clears set-id bits and capabilities as for any write), or creates it. Space for the new
// size is reserved first where the file system can, so a full disk fails before anything is
// overwritten; fallocate() itself, since the C library's stand-in for file systems without it
// reads every block and fails on a descriptor open for writing only. Opened without waiting: a
// pipe put in the file's place answers at once, and is refused as anything but a regular file is.
bool writeInPlace(const QString& path, const QByteArray& name, const QByteArray& data, QVError* error) {
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) {
        qvSetError(error, QVError::posix(errno, QStringLiteral("Writing"), path));
        return false;
    }
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        ::close(fd);
        qvSetError(error, notARegularFile(path, opened.st_mode));
        return false;
    }
    (void)::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    int err = 0;
    const char* step = "Writing";
    bool ok = true;
    if (!data.isEmpty()) {
        int reserved;
        while ((reserved = ::fallocate(fd, 0, 0, off_t(data.size()))) != 0 && errno == EINTR) {}
        if (reserved != 0 && errno != EOPNOTSUPP && errno != ENOSYS && errno != EINVAL) {
            err = errno;
            ok = false;
        }
    }
    if (ok && !writeAll(fd, data.constData(), data.size(), &err)) ok = false;
    if (ok && ::ftruncate(fd, off_t(data.size())) != 0) {
        err = errno;
        ok = false;
    }
    if (ok && counted(::fsync(fd)) != 0) {
        err = errno;
        step = "Flushing";
        ok = false;
    }
    if (::close(fd) != 0 && ok) {
        err = errno;
        step = "Closing";
        ok = false;
    }
    if (!ok) qvSetError(error, QVError::posix(err, QString::fromLatin1(step), path));
    return ok;
}

}  // namespace

namespace {

// A temporary's name: hidden by the project outline's built-in filter (".tmp_Qorvel"), and telling
// the process and the boot of the machine that made it, so that one a killed save stranded can be
// told from one being written: ".tmp_Qorvel-save-<pid>-<boot>-<6 letters>".
constexpr char TemporaryPrefix[] = ".tmp_Qorvel-save-";
constexpr qint64 StrandedAfterSeconds = 600;
constexpr int BootTagLength = 8;

// The first hex digits of this boot's id: a pid means this machine's process only under this tag.
// Empty where the kernel does not say.
const QByteArray& bootTag() {
    static const QByteArray tag = [] {
        QByteArray hex;
        if (FILE* f = std::fopen("/proc/sys/kernel/random/boot_id", "re")) {
            for (int c; hex.size() < BootTagLength && (c = std::fgetc(f)) != EOF;)
                if (std::isxdigit(c)) hex += char(std::tolower(c));
            std::fclose(f);
        }
        return hex.size() == BootTagLength ? hex : QByteArray();
    }();
    return tag;
}

QByteArray temporaryName(const QByteArray& folder) {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    QByteArray name = folder + '/' + TemporaryPrefix + QByteArray::number(qint64(::getpid())) + '-';
    if (!bootTag().isEmpty()) name += bootTag() + '-';
    for (int i = 0; i < 6; ++i) name += letters[QRandomGenerator::global()->bounded(int(sizeof letters - 1))];
    return name;
}

// Who made a name of ours: its pid (0 for any other name) and whether it was made in this boot
// of this machine (an older name without a boot tag, or another machine sharing the folder, may
// hold a pid that means nothing here).
struct Maker {
    pid_t pid = 0;
    bool thisBoot = false;
};

Maker makerOf(const char* name) {
    const size_t prefix = sizeof TemporaryPrefix - 1;
    if (std::strncmp(name, TemporaryPrefix, prefix) != 0) return {};
    const char* p = name + prefix;
    qint64 pid = 0;
    int digits = 0;
    for (; *p >= '0' && *p <= '9' && digits < 10; ++p, ++digits) pid = pid * 10 + (*p - '0');
    if (digits == 0 || *p != '-' || pid <= 0 || pid > INT_MAX) return {};
    ++p;
    const auto letters = [](const char* q) {
        for (int i = 0; i < 6; ++i, ++q)
            if (!std::isalnum(static_cast<unsigned char>(*q))) return false;
        return *q == '\0';
    };
    if (letters(p)) return {pid_t(pid), false};
    for (int i = 0; i < BootTagLength; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(p[i]))) return {};
    if (p[BootTagLength] != '-' || !letters(p + BootTagLength + 1)) return {};
    return {pid_t(pid), !bootTag().isEmpty() && std::strncmp(p, bootTag().constData(), BootTagLength) == 0};
}

// Removes the temporaries a killed save left in the folder, once per folder and process: named
// as ours, made by a process that no longer runs. One made in this boot of this machine goes at
// once; any other only once it has not changed for ten minutes (a save from another machine
// sharing the folder has a pid of its own machine, and keeps writing).
void removeStrandedTemporaries(const QByteArray& folder) {
    static std::mutex mutex;
    static QSet<QByteArray> swept;
    {
        std::lock_guard guard(mutex);
        if (swept.contains(folder)) return;
        swept.insert(folder);
    }
    DIR* dir = ::opendir(folder.constData());
    if (!dir) return;
    const time_t now = ::time(nullptr);
    while (const dirent* entry = ::readdir(dir)) {
        const Maker maker = makerOf(entry->d_name);
        if (maker.pid == 0 || maker.pid == ::getpid()) continue;
        if (::kill(maker.pid, 0) == 0 || errno != ESRCH) continue;
        struct stat st {};
        if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
        if (!maker.thisBoot && now - st.st_mtime < StrandedAfterSeconds) continue;
        ::unlinkat(::dirfd(dir), entry->d_name, 0);
    }
    ::closedir(dir);
}

// A temporary file of ours in the folder, unnamed (O_TMPFILE) or named and created in one step
// (O_EXCL), opened with mode: the umask and a default ACL of its folder apply as to any new file,
// so a new file needs no fchmod, and a replacement (0600) is its owner's alone until it gets the
// old file's mode.
int createUnnamed(const QByteArray& folder, mode_t mode) {
    const int fd = ::open(folder.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    if (fd >= 0) temporaries.fetch_add(1, std::memory_order_relaxed);
    return fd;
}

int createNamed(const QByteArray& folder, QByteArray* name, mode_t mode) {
    for (int tries = 0; tries < 100; ++tries) {
        *name = temporaryName(folder);
        const int fd = ::open(name->constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
        if (fd >= 0) temporaries.fetch_add(1, std::memory_order_relaxed);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

// Gives an unnamed file (O_TMPFILE) a name of ours in the folder, just before it is renamed over
// the target: a save killed before then leaves nothing.
bool nameUnnamed(int fd, const QByteArray& folder, QByteArray* name) {
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
    for (int tries = 0; tries < 100; ++tries) {
        *name = temporaryName(folder);
        if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, name->constData(), AT_SYMLINK_FOLLOW) == 0) return true;
        if (errno == EEXIST) continue;
        // Without /proc: the call itself, where the kernel allows it.
        if (::linkat(fd, "", AT_FDCWD, name->constData(), AT_EMPTY_PATH) == 0) return true;
        if (errno != EEXIST) return false;
    }
    return false;
}

enum class Filled { Done, Failed, KeepsNoOwner, KeepsNoMode };

// Gives the temporary file the old file's owner and group (checked: only the superuser, or an
// owner who is in the group, may), then the data, the attributes and the mode, flushed when
// asked. KeepsNoOwner before any data when the owner or group could not be kept; KeepsNoMode
// where the copy does not have the mode afterwards: the file system refused it (a FUSE mount that
// denies chmod, an sshfs server without SETSTAT) or answered yes and kept its own.
Filled fillTemporary(int fd, const QByteArray& data, bool exists, const struct stat& old, mode_t mode,
                     const QByteArray& targetName, const QMap<QByteArray, QByteArray>& extraAttributes, bool flush,
                     int* err, const char** step) {
    if (exists) {
        // A new file is the caller's, in the caller's group or the folder's (a set-group-id folder).
        struct stat made {};
        const auto differs = [&] { return ::fstat(fd, &made) != 0 || made.st_uid != old.st_uid || made.st_gid != old.st_gid; };
        if (differs()) (void)::fchown(fd, old.st_uid, old.st_gid);
        if (differs()) return Filled::KeepsNoOwner;
    }
    if (!writeAll(fd, data.constData(), data.size(), err)) return Filled::Failed;
    // The ACL before the mode: fchmod then sets the ACL's mask from the old group bits, which
    // were the old mask.
    if (exists) copyAttributes(targetName.constData(), fd);
    for (auto it = extraAttributes.cbegin(); it != extraAttributes.cend(); ++it)
        (void)::fsetxattr(fd, it.key().constData(), it.value().constData(), size_t(it.value().size()), 0);
    // After fchown, which clears set-id bits. A new file was made with its mode. A file system may
    // answer yes and keep the mode it had (a FUSE mount that ignores chmod, an sshfs server that
    // ignores permission requests): what the copy holds decides, not the answer.
    if (exists) {
        if (::fchmod(fd, mode) != 0) {
            const int refused = errno;
            if (refused != EPERM && refused != EACCES && refused != EOPNOTSUPP && refused != ENOSYS) {
                *err = refused;
                *step = "Setting the permissions of";
                return Filled::Failed;
            }
        }
        struct stat made {};
        if (::fstat(fd, &made) != 0 || (made.st_mode & 07777) != mode) return Filled::KeepsNoMode;
    }
    if (flush && counted(::fsync(fd)) != 0) {
        *err = errno;
        *step = "Flushing";
        return Filled::Failed;
    }
    return Filled::Done;
}

// What a write of a path comes to: a temporary file ready to be renamed over target, or the
// target to be written in place (inPlace says why).
struct Prepared {
    QByteArray target;
    QByteArray temporary;  // a named temporary file; empty for an unnamed one and in place
    int unnamed = -1;      // the unnamed temporary file, open
    AtomicFile::InPlace inPlace = AtomicFile::InPlace::No;
};

// Writes data to a new temporary file beside the target (mode, owner and attributes as the old
// file's), flushed when asked. The file is to be written in place instead where a rename over it
// would lose what it is (another owner or group the caller cannot give a new file, a mode the file
// system refuses to give it, a second hard link) or where the folder refuses a temporary file or would keep it for ever (append-only);
// nothing is written then. The temporary is an unnamed file (O_TMPFILE) until it is renamed over,
// where allowUnnamed and the file system has them.
bool prepare(const QString& path, const QByteArray& data, QVError* error,
             const QMap<QByteArray, QByteArray>& extraAttributes, bool flush, bool allowUnnamed, Prepared* out) {
    *out = Prepared();
    if (path.isEmpty()) {
        qvSetError(error, QVError::posix(ENOENT, QStringLiteral("Writing"), path));
        return false;
    }
    struct stat old {};
    int err = 0;
    QByteArray targetName;
    if (!resolveTarget(FileName::encode(FileName::absolute(path)), &targetName, &old, &err)) {
        qvSetError(error, QVError::posix(err, QStringLiteral("Writing"), path));
        return false;
    }
    out->target = targetName;
    const QByteArray folder = folderOf(targetName);
    const bool exists = old.st_mode != 0;
    if (exists) {
        if (S_ISDIR(old.st_mode)) {
            qvSetError(error, QVError::posix(EISDIR, QStringLiteral("Writing"), path));
            return false;
        }
        if (!S_ISREG(old.st_mode)) {
            qvSetError(error, notARegularFile(path, old.st_mode));
            return false;
        }
        // Renaming over a file the user may not write would bypass its permissions.
        if (::access(targetName.constData(), W_OK) != 0) {
            qvSetError(error, QVError::posix(errno, QStringLiteral("Writing"), path));
            return false;
        }
    }
    const auto inPlace = [&](AtomicFile::InPlace why) {
        out->inPlace = why;
        return true;
    };
    // A rename would split the file from its other names: they keep the old text.
    if (exists && old.st_nlink > 1) return inPlace(AtomicFile::InPlace::OtherLinks);
    if (folderKeepsNames(folder)) return inPlace(AtomicFile::InPlace::FolderKeepsNames);
    removeStrandedTemporaries(folder);

    const mode_t mode = modeAfterWrite(old.st_mode & 07777);
    const mode_t createMode = exists ? 0600 : 0666;
    for (bool unnamed : {true, false}) {
        if (unnamed && !allowUnnamed) continue;
        QByteArray tempName;
        const int fd = unnamed ? createUnnamed(folder, createMode) : createNamed(folder, &tempName, createMode);
        if (fd < 0) {
            // A file system without unnamed files: a named one, which says the same when refused.
            if (unnamed) continue;
            const int refused = errno;
            if (exists && (refused == EACCES || refused == EPERM)) return inPlace(AtomicFile::InPlace::FolderRefusesTemporary);
            qvSetError(error, QVError::posix(refused, QStringLiteral("Creating a temporary file for"), path));
            return false;
        }
        const char* step = "Writing";
        Filled filled = fillTemporary(fd, data, exists, old, mode, targetName, extraAttributes, flush, &err, &step);
        if (filled == Filled::Done && unnamed) {
            out->unnamed = fd;
            return true;
        }
        if (::close(fd) != 0 && filled == Filled::Done) {
            err = errno;
            step = "Closing";
            filled = Filled::Failed;
        }
        if (filled == Filled::Done) {
            out->temporary = tempName;
            return true;
        }
        if (!unnamed) ::unlink(tempName.constData());
        if (filled == Filled::KeepsNoOwner) return inPlace(AtomicFile::InPlace::OwnerOrGroup);
        if (filled == Filled::KeepsNoMode) return inPlace(AtomicFile::InPlace::Permissions);
        qvSetError(error, QVError::posix(err, QString::fromLatin1(step), path));
        return false;
    }
    return false;
}

// The write of a file in place, with the caller's attributes.
bool writeTargetInPlace(const QString& path, const QByteArray& target, const QByteArray& data, QVError* error,
                        const QMap<QByteArray, QByteArray>& extraAttributes) {
    if (!writeInPlace(path, target, data, error)) return false;
    for (auto it = extraAttributes.cbegin(); it != extraAttributes.cend(); ++it)
        (void)::lsetxattr(target.constData(), it.key().constData(), it.value().constData(), size_t(it.value().size()), 0);
    return true;
}

void syncFolderOf(const QByteArray& file) {
    const int dirFd = ::open(folderOf(file).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        counted(::fsync(dirFd));
        ::close(dirFd);
    }
}

}  // namespace

QString AtomicFile::target(const QString& path) {
    if (path.isEmpty()) return {};
    QByteArray target;
    struct stat info {};
    int err = 0;
    if (!resolveTarget(FileName::encode(FileName::absolute(path)), &target, &info, &err)) return {};
    return FileName::decode(target);
}

QString AtomicFile::setAside(const QString& path, QVError* error) {
    const QByteArray from = FileName::encode(path);
    for (int n = 1; n < 10000; ++n) {
        const QString aside = path + QStringLiteral(".bad") + (n > 1 ? QString::number(n) : QString());
        const QByteArray to = FileName::encode(aside);
        if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0) return aside;
        int err = errno;
        if (err == EINVAL) {
            // A file system that cannot refuse to replace: the name is checked first instead.
            struct stat taken {};
            if (::lstat(to.constData(), &taken) == 0) continue;
            if (::rename(from.constData(), to.constData()) == 0) return aside;
            err = errno;
        }
        if (err == EEXIST) continue;
        qvSetError(error, QVError::posix(err, QStringLiteral("Moving aside"), path));
        return {};
    }
    qvSetError(error, QVError::posix(EEXIST, QStringLiteral("Moving aside"), path));
    return {};
}

void AtomicFile::syncFolder(const QString& folder) {
    const int dirFd = ::open(FileName::encode(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        counted(::fsync(dirFd));
        ::close(dirFd);
    }
}

bool AtomicFile::write(const QString& path, const QByteArray& data, QVError* error,
                       const QMap<QByteArray, QByteArray>& extraAttributes, bool* inPlace, QString* deferredFolder,
                       InPlace* why) {
    if (inPlace) *inPlace = false;
    if (why) *why = InPlace::No;
    Prepared prepared;
    if (!prepare(path, data, error, extraAttributes, true, true, &prepared)) return false;
    QByteArray tempName = prepared.temporary;
    if (prepared.unnamed >= 0 &&
        !nameUnnamed(prepared.unnamed, folderOf(prepared.target), &tempName)) {
        ::close(prepared.unnamed);
        // No way to name it: the text goes into a named temporary instead.
        if (!prepare(path, data, error, extraAttributes, true, false, &prepared)) return false;
        tempName = prepared.temporary;
    }
    if (prepared.inPlace != InPlace::No) {
        if (!writeTargetInPlace(path, prepared.target, data, error, extraAttributes)) return false;
        if (inPlace) *inPlace = true;
        if (why) *why = prepared.inPlace;
        return true;
    }
    const QByteArray& targetName = prepared.target;
    // The name an unnamed file was given lives only until this rename: nothing else between.
    const bool renamed = ::rename(tempName.constData(), targetName.constData()) == 0;
    const int renameError = errno;
    // Written and flushed before the rename: a close that fails now changes no data.
    if (prepared.unnamed >= 0) ::close(prepared.unnamed);
    if (!renamed) {
        ::unlink(tempName.constData());
        qvSetError(error, QVError::posix(renameError, QStringLiteral("Replacing"), path));
        return false;
    }
    // Make the rename itself durable. The new contents are already in place, so a folder that
    // cannot be synced (some file systems refuse) is not a failure of the write.
    if (deferredFolder) *deferredFolder = FileName::decode(folderOf(targetName));
    else syncFolderOf(targetName);
    return true;
}

void AtomicFile::setStagesNamed(bool named) { stagesNamed.store(named); }

bool AtomicFile::stage(const QString& path, const QByteArray& data, Staged* staged, QVError* error, bool unnamed) {
    *staged = Staged();
    staged->path = path;
    Prepared prepared;
    // Unnamed only where it can be named at commit: without /proc the kernel names it for the
    // superuser alone.
    static const bool nameable = ::access("/proc/self/fd", X_OK) == 0;
    if (!prepare(path, data, error, {}, false, unnamed && nameable && !stagesNamed.load(), &prepared)) return false;
    staged->target = prepared.target;
    staged->temporary = prepared.temporary;
    staged->descriptor = prepared.unnamed;
    staged->inPlace = prepared.inPlace;
    if (prepared.inPlace != InPlace::No) staged->data = data;
    return true;
}

bool AtomicFile::flush(const QList<Staged>& staged) {
    // One sync per file system holding a staged file; a lone file is synced by itself, which
    // does not wait for what other programs wrote to that file system.
    // The file system is the folder's: one stat per folder, not per file.
    struct Files {
        int descriptor = -1;  // an unnamed file's, open
        QByteArray name;      // else a named one's
        int count = 0;
    };
    QMap<dev_t, Files> byDevice;
    QHash<QByteArray, dev_t> folders;
    bool ok = true;
    for (const Staged& s : staged) {
        if (s.temporary.isEmpty() && s.descriptor < 0) continue;  // written and flushed in place by commit()
        const QByteArray folder = folderOf(s.target);
        auto known = folders.constFind(folder);
        if (known == folders.cend()) {
            struct stat st {};
            if (::stat(folder.constData(), &st) != 0) {
                ok = false;
                continue;
            }
            known = folders.insert(folder, st.st_dev);
        }
        Files& files = byDevice[*known];
        if (files.count++ == 0) {
            files.descriptor = s.descriptor;
            files.name = s.temporary;
        }
    }
    for (const Files& files : std::as_const(byDevice)) {
        const int fd = files.descriptor >= 0 ? files.descriptor : ::open(files.name.constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || counted(files.count == 1 ? ::fsync(fd) : ::syncfs(fd)) != 0) ok = false;
        if (fd >= 0 && fd != files.descriptor) ::close(fd);
    }
    return ok;
}

namespace {

// The staged file's name, an unnamed one named only now, just before it goes in place: a run
// killed before this point leaves nothing. Empty, with the error, when it cannot be named.
QByteArray stagedName(const AtomicFile::Staged& staged, QVError* error) {
    if (staged.descriptor < 0) return staged.temporary;
    QByteArray name;
    const bool named = nameUnnamed(staged.descriptor, folderOf(staged.target), &name);
    const int err = errno;
    ::close(staged.descriptor);
    if (named) return name;
    qvSetError(error, QVError::posix(err, QStringLiteral("Replacing"), staged.path));
    return {};
}

}  // namespace

bool AtomicFile::commit(const Staged& staged, QVError* error) {
    if (staged.inPlace != InPlace::No) return writeTargetInPlace(staged.path, staged.target, staged.data, error, {});
    const QByteArray name = stagedName(staged, error);
    if (name.isEmpty()) return false;
    if (::rename(name.constData(), staged.target.constData()) == 0) return true;
    const int err = errno;
    ::unlink(name.constData());
    qvSetError(error, QVError::posix(err, QStringLiteral("Replacing"), staged.path));
    return false;
}

AtomicFile::Commit AtomicFile::commitOver(const Staged& staged, const std::function<bool(const struct stat&)>& unchanged,
                                          struct stat* written, QVError* error) {
    const auto current = [&](struct stat* st) { return ::stat(staged.target.constData(), st) == 0; };
    struct stat st {};
    if (staged.inPlace != InPlace::No) {
        if (!current(&st) || !unchanged(st)) return Commit::Changed;
        if (!writeTargetInPlace(staged.path, staged.target, staged.data, error, {})) return Commit::Failed;
        if (!current(written)) *written = {};
        return Commit::Done;
    }
    const QByteArray name = stagedName(staged, error);
    if (name.isEmpty()) return Commit::Failed;
    const auto failed = [&](int err) {
        ::unlink(name.constData());
        qvSetError(error, QVError::posix(err, QStringLiteral("Replacing"), staged.path));
        return Commit::Failed;
    };
    if (::stat(name.constData(), written) != 0) return failed(errno);
    if (::renameat2(AT_FDCWD, name.constData(), AT_FDCWD, staged.target.constData(), RENAME_EXCHANGE) == 0) {
        // The name now holds what was at the path a moment ago: the file checked, or another's.
        if (::lstat(name.constData(), &st) == 0 && unchanged(st)) {
            ::unlink(name.constData());
            return Commit::Done;
        }
        // Given back its place. The name then holds this run's file, unless a third writer put
        // its own at the path in between: that one is newer than the file given back, so it
        // goes in place again and the one it displaced is what its rename would have removed.
        // A writer after that again is newer still, and so on. Only this run's file, or the one
        // a newer writer's file displaced, is removed; another's is never left under the name
        // for the sweep of leftovers to remove, unless writers keep coming past every try.
        // (An inode freed by a rename can come back as a later writer's file: a file is told
        // by its modification time and size as well.)
        const auto same = [](const struct stat& a, const struct stat& b) {
            return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
                   a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
        };
        struct stat back = st, moved {};
        bool exchanged = ::renameat2(AT_FDCWD, name.constData(), AT_FDCWD, staged.target.constData(), RENAME_EXCHANGE) == 0;
        for (int tries = 0; exchanged && ::lstat(name.constData(), &moved) == 0; ++tries) {
            if (tries == 0 ? same(moved, *written) : same(moved, back)) {
                ::unlink(name.constData());
                break;
            }
            if (tries == 8) break;
            back = tries == 0 ? back : st;
            st = moved;
            exchanged = ::renameat2(AT_FDCWD, name.constData(), AT_FDCWD, staged.target.constData(), RENAME_EXCHANGE) == 0;
        }
        return Commit::Changed;
    }
    if (errno == ENOENT) {  // the path names nothing now: someone removed or renamed the file
        ::unlink(name.constData());
        return Commit::Changed;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return failed(errno);
    // No exchange here (some FUSE and network file systems): checked, then renamed.
    if (!current(&st) || !unchanged(st)) {
        ::unlink(name.constData());
        return Commit::Changed;
    }
    if (::rename(name.constData(), staged.target.constData()) != 0) return failed(errno);
    return Commit::Done;
}

quint64 AtomicFile::syncCount() { return syncs.load(std::memory_order_relaxed); }

quint64 AtomicFile::temporaryCount() { return temporaries.load(std::memory_order_relaxed); }

void AtomicFile::discard(const Staged& staged) {
    if (staged.descriptor >= 0) ::close(staged.descriptor);
    if (!staged.temporary.isEmpty()) ::unlink(staged.temporary.constData());
}

void AtomicFile::flushFolders(const QList<Staged>& staged) {
    QSet<QByteArray> folders;
    for (const Staged& s : staged) {
        const QByteArray folder = folderOf(s.target);
        if (folders.contains(folder)) continue;
        folders.insert(folder);
        syncFolderOf(s.target);
    }
}
