// Local moves, copies, removal and the Trash, written with the POSIX calls so that no step can
// replace an existing name or follow a link out of the tree it works on.
#include "files/LocalFileOperations.h"

#include "platform/FileName.h"
#include "platform/AppBundle.h"
#include "platform/Paths.h"
#include "shell/FileManagerUtilities.h"

#include <QDateTime>
#include <QFile>
#include <QDir>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace {

QByteArray encoded(const QString& path) { return FileName::encode(path); }

QByteArray parentOf(const QByteArray& path) {
    const qsizetype slash = path.lastIndexOf('/');
    if (slash < 0) return ".";
    if (slash == 0) return "/";
    return path.left(slash);
}

QByteArray lastComponent(const QByteArray& path) { return path.mid(path.lastIndexOf('/') + 1); }

QByteArray trimmed(QByteArray path) {
    while (path.size() > 1 && path.endsWith('/')) path.chop(1);
    return path;
}

struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

void syncFolder(const QByteArray& folder) {
    Fd fd(::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.fd >= 0) ::fsync(fd.fd);
}

// Removes the entry name inside the folder dirfd without following links. Answers 0 or the
// first errno met; goes on with the other entries of a folder after a failure.
int removeAt(int dirfd, const char* name) {
    struct stat st;
    if (::fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? 0 : errno;
    if (!S_ISDIR(st.st_mode)) return ::unlinkat(dirfd, name, 0) == 0 || errno == ENOENT ? 0 : errno;
    const int fd = ::openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return errno;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        const int err = errno;
        ::close(fd);
        return err;
    }
    int first = 0;
    while (dirent* entry = ::readdir(dir)) {
        if (!std::strcmp(entry->d_name, ".") || !std::strcmp(entry->d_name, "..")) continue;
        const int err = removeAt(::dirfd(dir), entry->d_name);
        if (err && !first) first = err;
    }
    ::closedir(dir);
    if (::unlinkat(dirfd, name, AT_REMOVEDIR) != 0 && !first) first = errno;
    return first;
}

int copyData(int from, int to) {
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(from, buffer, sizeof buffer);
        if (n == 0) return 0;
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(to, buffer + done, size_t(n - done));
            if (w < 0) {
                if (errno == EINTR) continue;
                return errno;
            }
            done += w;
        }
    }
}

// Copies the item at source (described by st) to the new name target, which the caller made
// sure is free. A folder target may already exist (made empty by the caller). Answers 0 or an
// errno value; failedPath names what failed.
int copyTo(const QByteArray& source, const struct stat& st, const QByteArray& target, bool targetExists,
           QByteArray* failedPath) {
    *failedPath = source;
    if (S_ISLNK(st.st_mode)) {
        QByteArray link(PATH_MAX + 1, '\0');
        const ssize_t n = ::readlink(source.constData(), link.data(), size_t(link.size()));
        if (n < 0) return errno;
        link.truncate(n);
        if (::symlink(link.constData(), target.constData()) != 0) return *failedPath = target, errno;
        return 0;
    }
    if (S_ISREG(st.st_mode)) {
        Fd in(::open(source.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (in.fd < 0) return errno;
        Fd out(::open(target.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (out.fd < 0) return *failedPath = target, errno;
        if (const int err = copyData(in.fd, out.fd)) return *failedPath = target, err;
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        ::futimens(out.fd, times);
        if (::fchmod(out.fd, st.st_mode & 07777) != 0 || ::fsync(out.fd) != 0) return *failedPath = target, errno;
        return 0;
    }
    if (S_ISFIFO(st.st_mode)) {
        if (::mkfifo(target.constData(), st.st_mode & 07777) != 0) return *failedPath = target, errno;
        return 0;
    }
    if (!S_ISDIR(st.st_mode)) return ENOTSUP;  // devices and sockets are not copied
    if (!targetExists && ::mkdir(target.constData(), 0700) != 0) return *failedPath = target, errno;
    DIR* dir = ::opendir(source.constData());
    if (!dir) return errno;
    int err = 0;
    while (dirent* entry = ::readdir(dir)) {
        if (!std::strcmp(entry->d_name, ".") || !std::strcmp(entry->d_name, "..")) continue;
        const QByteArray child = source + '/' + entry->d_name;
        struct stat childStat;
        if (::lstat(child.constData(), &childStat) != 0) {
            if (errno == ENOENT) continue;  // gone since the listing
            err = errno;
            *failedPath = child;
            break;
        }
        if ((err = copyTo(child, childStat, target + '/' + entry->d_name, false, failedPath))) break;
    }
    ::closedir(dir);
    if (err) return err;
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::utimensat(AT_FDCWD, target.constData(), times, 0);
    if (::chmod(target.constData(), st.st_mode & 07777) != 0) return *failedPath = target, errno;
    return 0;
}

// A hidden temporary name in the folder that the file filters keep out of every tree.
QByteArray temporaryName(const QByteArray& folder) {
    static std::atomic<unsigned> counter{0};
    return folder + "/.tmp_Qorvel" + QByteArray::number(::getpid()) + '.' +
           QByteArray::number(QDateTime::currentMSecsSinceEpoch() % 1000000) + '.' +
           QByteArray::number(counter++);
}

}  // namespace

QVError LocalFileOperations::fileError(const QString& path, int err) {
    return FileManagerUtilities::errorFromDictionary(
        {{QStringLiteral("Path"), path}, {QStringLiteral("Error"), QString::fromLocal8Bit(std::strerror(err))}});
}

int LocalFileOperations::renameNoReplace(const QByteArray& from, const QByteArray& to) {
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return errno;
    struct stat st;
    if (::lstat(from.constData(), &st) != 0) return errno;
    if (!S_ISDIR(st.st_mode)) {
        // link() never replaces; the old name goes only once the new one stands.
        if (::link(from.constData(), to.constData()) != 0) return errno;
        ::unlink(from.constData());
        return 0;
    }
    if (::lstat(to.constData(), &st) == 0) return EEXIST;
    return ::rename(from.constData(), to.constData()) == 0 ? 0 : errno;
}

bool LocalFileOperations::copyItem(const QString& source, const QString& destination, QVError* error) {
    const QByteArray from = trimmed(encoded(source));
    const QByteArray to = trimmed(encoded(destination));
    struct stat st;
    if (::lstat(from.constData(), &st) != 0) return qvSetError(error, fileError(source, errno)), false;
    if (::lstat(to.constData(), &st) == 0) return qvSetError(error, fileError(destination, EEXIST)), false;
    ::lstat(from.constData(), &st);
    // The copy is built under a hidden name, so a crash or a full disk never leaves a partial
    // item under the final name.
    const QByteArray temp = temporaryName(parentOf(to));
    QByteArray failed;
    int err = copyTo(from, st, temp, false, &failed);
    if (!err) {
        err = renameNoReplace(temp, to);
        failed = to;
    }
    if (err) {
        removeAt(AT_FDCWD, temp.constData());
        qvSetError(error, fileError(FileName::decode(failed.startsWith(temp) ? to : failed), err));
        return false;
    }
    syncFolder(parentOf(to));
    return true;
}

QString LocalFileOperations::duplicateItem(const QString& source, QVError* error) {
    const QByteArray from = trimmed(encoded(source));
    struct stat st;
    if (::lstat(from.constData(), &st) != 0) return qvSetError(error, fileError(source, errno)), QString();
    const QByteArray temp = temporaryName(parentOf(from));
    QByteArray failed;
    if (const int err = copyTo(from, st, temp, false, &failed)) {
        removeAt(AT_FDCWD, temp.constData());
        qvSetError(error, fileError(FileName::decode(failed.startsWith(temp) ? from : failed), err));
        return {};
    }
    // The name is taken by the rename itself: a name that appeared since it was chosen is
    // refused and the next one tried.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const QString target = FileManagerUtilities::pathForCopyOfFile(FileName::decode(from), QVLocalized(QStringLiteral(" copy")),
                                                                       S_ISDIR(st.st_mode));
        const int err = renameNoReplace(temp, encoded(target));
        if (!err) {
            syncFolder(parentOf(from));
            return target;
        }
        if (err != EEXIST) {
            removeAt(AT_FDCWD, temp.constData());
            qvSetError(error, fileError(target, err));
            return {};
        }
    }
    removeAt(AT_FDCWD, temp.constData());
    qvSetError(error, fileError(source, EEXIST));
    return {};
}

bool LocalFileOperations::moveItem(const QString& source, const QString& destination, QVError* error) {
    const QByteArray from = trimmed(encoded(source));
    const QByteArray to = trimmed(encoded(destination));
    const int err = renameNoReplace(from, to);
    if (!err) return true;
    if (err != EXDEV) return qvSetError(error, fileError(err == EEXIST ? destination : source, err)), false;
    if (!copyItem(source, destination, error)) return false;
    if (const int removeErr = removeAt(AT_FDCWD, from.constData())) qvSetError(error, fileError(source, removeErr));
    return true;
}

bool LocalFileOperations::removeItem(const QString& path, QVError* error) {
    const QByteArray bytes = trimmed(encoded(path));
    struct stat st;
    if (::lstat(bytes.constData(), &st) != 0) return qvSetError(error, fileError(path, errno)), false;
    if (const int err = removeAt(AT_FDCWD, bytes.constData())) return qvSetError(error, fileError(path, err)), false;
    return true;
}

namespace {

bool isUsableTrash(const QByteArray& folder, bool mustBeOwned) {
    struct stat st;
    if (::lstat(folder.constData(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    return !mustBeOwned || (st.st_uid == ::geteuid() && !(st.st_mode & 022));
}

// Makes the folder (mode 0700) unless it is there; answers whether a folder stands there now.
bool makeFolder(const QByteArray& path) {
    if (::mkdir(path.constData(), 0700) == 0) return true;
    struct stat st;
    return errno == EEXIST && ::lstat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The Trash for an item on the device, with the top folder of its volume ("" for the user's
// Trash, where records hold absolute paths). Empty when the volume offers none.
QByteArray trashFor(const QByteArray& item, dev_t device, QByteArray* top) {
    const QByteArray home = encoded(Paths::dataHome()) + "/Trash";
    QByteArray folder = encoded(Paths::dataHome());
    // The folders are made first: the user's data folder may not exist on a fresh account.
    if (FileManagerUtilities::ensureDirectoryExists(FileName::decode(folder)) && makeFolder(home) &&
        makeFolder(home + "/files") && makeFolder(home + "/info")) {
        struct stat st;
        if (::stat(home.constData(), &st) == 0 && st.st_dev == device) {
            top->clear();
            return home;
        }
    }
    // The top folder of the item's volume: the highest folder above it on the same device.
    QByteArray mount = parentOf(item);
    for (;;) {
        const QByteArray up = parentOf(mount);
        struct stat st;
        if (up == mount || ::stat(up.constData(), &st) != 0 || st.st_dev != device) break;
        mount = up;
    }
    *top = mount;
    const QByteArray base = mount == "/" ? QByteArray() : mount;
    const QByteArray uid = QByteArray::number(::geteuid());
    struct stat st;
    const QByteArray shared = base + "/.Trash";
    if (::lstat(shared.constData(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX)) {
        const QByteArray mine = shared + '/' + uid;
        if ((makeFolder(mine) && isUsableTrash(mine, true)) && makeFolder(mine + "/files") && makeFolder(mine + "/info"))
            return mine;
    }
    const QByteArray own = base + "/.Trash-" + uid;
    if (makeFolder(own) && isUsableTrash(own, true) && makeFolder(own + "/files") && makeFolder(own + "/info"))
        return own;
    return {};
}

// The record's path as a URL path, byte by byte, so names in any encoding keep their bytes.
QByteArray percentEncoded(const QByteArray& path) {
    QByteArray out;
    for (const char c : path) {
        const auto b = static_cast<unsigned char>(c);
        if ((b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') || std::strchr("/-._~", b))
            out += c;
        else out += '%' + QByteArray::number(b, 16).rightJustified(2, '0').toUpper();
    }
    return out;
}

}  // namespace

bool LocalFileOperations::moveToTrash(const QString& path, QVError* error, QString* trashedPath) {
    QByteArray item = trimmed(encoded(path));
    if (!item.startsWith('/')) item = trimmed(encoded(QDir::current().absoluteFilePath(path)));
    struct stat st;
    if (::lstat(item.constData(), &st) != 0) return qvSetError(error, fileError(path, errno)), false;
    QByteArray top;
    const QByteArray trash = trashFor(item, st.st_dev, &top);
    if (trash.isEmpty()) return qvSetError(error, fileError(path, EXDEV)), false;
    const QByteArray recorded = top.isEmpty() ? item : item.mid(top == "/" ? 1 : top.size() + 1);
    const QByteArray record = "[Trash Info]\nPath=" + percentEncoded(recorded) +
                              "\nDeletionDate=" +
                              QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")).toLatin1() + '\n';
    const QByteArray name = lastComponent(item);
    for (int n = 1; n < 10000; ++n) {
        const QByteArray trashName = n == 1 ? name : name + '.' + QByteArray::number(n);
        const QByteArray info = trash + "/info/" + trashName + ".trashinfo";
        Fd fd(::open(info.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (fd.fd < 0) {
            if (errno == EEXIST) continue;
            return qvSetError(error, fileError(FileName::decode(info), errno)), false;
        }
        if (::write(fd.fd, record.constData(), size_t(record.size())) != ssize_t(record.size()) || ::fsync(fd.fd) != 0) {
            const int err = errno ? errno : EIO;
            ::unlink(info.constData());
            return qvSetError(error, fileError(FileName::decode(info), err)), false;
        }
        const QByteArray target = trash + "/files/" + trashName;
        const int err = renameNoReplace(item, target);
        if (!err) {
            if (trashedPath) *trashedPath = FileName::decode(target);
            return true;
        }
        ::unlink(info.constData());
        if (err != EEXIST) return qvSetError(error, fileError(path, err)), false;
    }
    return qvSetError(error, fileError(path, EEXIST)), false;
}
