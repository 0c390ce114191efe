#include "platform/RunFolder.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QUuid>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

RunFolder::RunFolder() = default;
RunFolder::~RunFolder() = default;

namespace {

// Why path cannot be a folder: the first of its missing folders that mkdir refuses, or what
// stands in its place.
QString whyNotAFolder(const QString& path) {
    QStringList missing;
    QString at = QDir::cleanPath(path);
    while (!at.isEmpty() && at != QStringLiteral("/") && !QFileInfo::exists(at)) {
        missing.prepend(at);
        at = QFileInfo(at).path();
    }
    if (!at.isEmpty() && !QFileInfo(at).isDir()) return QStringLiteral("\u201c%1\u201d is a file, not a folder").arg(at);
    for (const QString& folder : missing)
        if (::mkdir(QFile::encodeName(folder).constData(), 0700) != 0 && errno != EEXIST)
            return QString::fromLocal8Bit(std::strerror(errno));
    if (::access(QFile::encodeName(path).constData(), W_OK | X_OK) != 0) return QString::fromLocal8Bit(std::strerror(errno));
    return QStringLiteral("it cannot be written");
}

}  // namespace

bool RunFolder::makePrivate(const QString& path, QString* reason) {
    if (QDir().mkpath(path) && QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner)) return true;
    if (reason) *reason = whyNotAFolder(path);
    return false;
}

bool RunFolder::make(const QString& root, QString* reason) {
    if (!_path.isEmpty()) return true;
    if (!makePrivate(root, reason)) return false;
    // Named by the time first, so that a listing by name is oldest first.
    const QString run = root + QLatin1Char('/') + QString::number(QDateTime::currentSecsSinceEpoch()) + QLatin1Char('-') +
                        QUuid::createUuid().toString(QUuid::Id128).left(8);
    if (!makePrivate(run, reason)) return false;
    auto lock = std::make_unique<QLockFile>(run + QLatin1Char('/') + LockName);
    lock->setStaleLockTime(0);
    if (!lock->tryLock(0)) {
        // A full disk, or a folder that takes no new files.
        if (reason) *reason = QFileInfo(run).isWritable() ? QStringLiteral("its lock cannot be written") : whyNotAFolder(run);
        QDir(run).removeRecursively();
        return false;
    }
    _lock = std::move(lock);
    _path = run;
    return true;
}

void RunFolder::release() {
    _lock.reset();
    _path.clear();
}

void RunFolder::remove() {
    _lock.reset();
    if (!_path.isEmpty()) QDir(_path).removeRecursively();
    _path.clear();
}

QStringList RunFolder::ended(const QString& root) {
    QStringList found;
    QDir folder(root);
    for (const QString& name : folder.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks, QDir::Name)) {
        // A run still going holds its lock; one killed left a lock nobody holds.
        QLockFile lock(folder.filePath(name) + QLatin1Char('/') + LockName);
        lock.setStaleLockTime(0);
        if (!lock.tryLock(0)) continue;
        lock.unlock();
        found << folder.filePath(name);
    }
    return found;
}
