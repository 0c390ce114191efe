#include "platform/RunFolder.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QUuid>

RunFolder::RunFolder() = default;
RunFolder::~RunFolder() = default;

bool RunFolder::makePrivate(const QString& path) {
    if (!QDir().mkpath(path)) return false;
    return QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

bool RunFolder::make(const QString& root) {
    if (!_path.isEmpty()) return true;
    if (!makePrivate(root)) return false;
    // Named by the time first, so that a listing by name is oldest first.
    const QString run = root + QLatin1Char('/') + QString::number(QDateTime::currentSecsSinceEpoch()) + QLatin1Char('-') +
                        QUuid::createUuid().toString(QUuid::Id128).left(8);
    if (!makePrivate(run)) return false;
    auto lock = std::make_unique<QLockFile>(run + QLatin1Char('/') + LockName);
    lock->setStaleLockTime(0);
    if (!lock->tryLock(0)) return false;
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
