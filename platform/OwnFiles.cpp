#include "platform/OwnFiles.h"

#include "platform/FileName.h"
#include "platform/Paths.h"
#include "platform/RunFolder.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>

#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>

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

// The record of a path: named by the path's hash, holding the path's bytes, device, inode and
// mark, one a line.
QString recordName(const QByteArray& path) {
    return QString::fromLatin1(QCryptographicHash::hash(path, QCryptographicHash::Sha1).toHex());
}

bool stamp(const QByteArray& path, struct stat* info) { return ::lstat(path.constData(), info) == 0 && S_ISREG(info->st_mode); }

}  // namespace

QString OwnFiles::location() { return Paths::applicationSupport() + QStringLiteral("/Made"); }

void OwnFiles::made(const QString& path) {
    const QByteArray bytes = FileName::encode(path);
    struct stat info {};
    if (!stamp(bytes, &info) || !run().folder.make(location())) return;
    // Without the attribute (a file system that keeps none) the device and inode stand alone.
    const bool marked = ::lsetxattr(bytes.constData(), MarkAttribute, run().mark.constData(), size_t(run().mark.size()), 0) == 0;
    QFile record(run().folder.path() + QLatin1Char('/') + recordName(bytes));
    if (!record.open(QIODevice::WriteOnly | QIODevice::Truncate)) return;
    record.write(bytes.toPercentEncoding("/") + '\n' + QByteArray::number(quint64(info.st_dev)) + '\n' +
                 QByteArray::number(quint64(info.st_ino)) + '\n' + (marked ? run().mark : QByteArray()) + '\n');
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
        if (lines.size() < 4) continue;
        const QByteArray path = QByteArray::fromPercentEncoding(lines[0]);
        struct stat info {};
        if (!stamp(path, &info) || QByteArray::number(quint64(info.st_dev)) != lines[1] || QByteArray::number(quint64(info.st_ino)) != lines[2]) continue;
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
