#include "platform/OwnFiles.h"

#include "platform/FileName.h"
#include "platform/Paths.h"
#include "platform/RunFolder.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QUuid>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>

#include <cerrno>
#include <optional>

namespace {

const char MarkAttribute[] = "user.qorvel.own";

struct Run {
    RunFolder folder;
    QByteArray mark = QUuid::createUuid().toByteArray(QUuid::Id128);
};

Run& run() {
    static Run* current = new Run;  // for the process's life
    return *current;
}

// The record of a path: named by the path's hash, holding the path's bytes, device, inode,
// mark, birth time (empty where unknown), size and change time, one a line.
QString recordName(const QByteArray& path) {
    return QString::fromLatin1(QCryptographicHash::hash(path, QCryptographicHash::Sha1).toHex());
}

struct Identity {
    quint64 device = 0, inode = 0;
    QByteArray born;  // seconds.nanoseconds, empty where the file system keeps no birth time
    QByteArray size, changed;
};

std::optional<Identity> identity(const QByteArray& path) {
    struct statx info {};
    if (::statx(AT_FDCWD, path.constData(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &info) != 0 || !S_ISREG(info.stx_mode))
        return std::nullopt;
    const auto time = [](const statx_timestamp& at) { return QByteArray::number(qint64(at.tv_sec)) + '.' + QByteArray::number(at.tv_nsec); };
    return Identity{makedev(info.stx_dev_major, info.stx_dev_minor), info.stx_ino, (info.stx_mask & STATX_BTIME) ? time(info.stx_btime) : QByteArray(),
                    QByteArray::number(quint64(info.stx_size)), time(info.stx_ctime)};
}

void record(const QByteArray& path) {
    const std::optional<Identity> file = identity(path);
    if (!file || !run().folder.make(OwnFiles::location())) return;
    QByteArray mark(64, '\0');
    const ssize_t length = ::lgetxattr(path.constData(), MarkAttribute, mark.data(), size_t(mark.size()));
    const bool marked = length >= 0 && mark.left(length) == run().mark;
    // Written aside and renamed over the last one: a preview rewrites its copy with every key, and
    // a kill between truncating the record and writing it again would leave the copy unnamed.
    QSaveFile record(run().folder.path() + QLatin1Char('/') + recordName(path));
    if (!record.open(QIODevice::WriteOnly)) return;
    record.write(path.toPercentEncoding("/") + '\n' + QByteArray::number(file->device) + '\n' + QByteArray::number(file->inode) + '\n' +
                 (marked ? run().mark : QByteArray()) + '\n' + file->born + '\n' + file->size + '\n' + file->changed + '\n');
    record.commit();
}

}  // namespace

QString OwnFiles::location() { return Paths::applicationSupport() + QStringLiteral("/Made"); }

void OwnFiles::made(const QString& path) {
    const QByteArray bytes = FileName::encode(path);
    if (!identity(bytes)) return;
    // Without the attribute (a file system that keeps none) the other lines stand alone.
    ::lsetxattr(bytes.constData(), MarkAttribute, run().mark.constData(), size_t(run().mark.size()), 0);
    record(bytes);
}

void OwnFiles::written(const QString& path) {
    const QByteArray bytes = FileName::encode(path);
    if (!run().folder.path().isEmpty() && QFileInfo::exists(run().folder.path() + QLatin1Char('/') + recordName(bytes))) record(bytes);
}

void OwnFiles::removed(const QString& path) {
    if (!run().folder.path().isEmpty()) QFile::remove(run().folder.path() + QLatin1Char('/') + recordName(FileName::encode(path)));
}

namespace {

// Removes the files the records in folder name while each is still the file made, then the
// folder; answers how many files went.
int clear(const QString& folder) {
    int gone = 0;
    for (const QFileInfo& entry : QDir(folder).entryInfoList(QDir::Files)) {
        QFile record(entry.filePath());
        if (entry.fileName() == RunFolder::LockName || !record.open(QIODevice::ReadOnly)) continue;
        const QList<QByteArray> lines = record.readAll().split('\n');
        // An older run's record has four lines; one cut short by a kill mid-write is left.
        const bool withTimes = lines.size() >= 8;
        if (lines.size() != 5 && !withTimes) continue;
        const QByteArray path = QByteArray::fromPercentEncoding(lines[0]);
        const std::optional<Identity> file = identity(path);
        if (!file || QByteArray::number(file->device) != lines[1] || QByteArray::number(file->inode) != lines[2]) continue;
        // Made then (a copy restored onto a freed inode is born later), or else as last written.
        if (withTimes && !(lines[4].isEmpty() ? file->size == lines[5] && file->changed == lines[6] : file->born == lines[4])) continue;
        QByteArray mark(64, '\0');
        const ssize_t length = ::lgetxattr(path.constData(), MarkAttribute, mark.data(), size_t(mark.size()));
        const bool ours = lines[3].isEmpty() ? length < 0 && errno == ENOTSUP : length >= 0 && mark.left(length) == lines[3];
        if (ours && ::unlink(path.constData()) == 0) ++gone;
    }
    QDir(folder).removeRecursively();
    return gone;
}

}  // namespace

int OwnFiles::removeLeftovers() {
    int gone = 0;
    for (const QString& folder : RunFolder::ended(location()))
        if (folder != run().folder.path()) gone += clear(folder);
    return gone;
}

void OwnFiles::finish() {
    // What is still made goes too (a window that was never torn down).
    if (!run().folder.path().isEmpty()) clear(run().folder.path());
    run().folder.remove();
}
