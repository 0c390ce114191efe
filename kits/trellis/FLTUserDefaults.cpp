// The kits' defaults file: loaded once, written whole through AtomicFile on synchronize().
#include "kits/trellis/FLTUserDefaults.h"

#include "platform/Paths.h"
#include "platform/PropertyList.h"
#include "platform/SystemLog.h"
#include "platform/UserDefaults.h"
#include "kits/trellis/TRLConstants.h"
#include "kits/trellis/TRLHelpers.h"

#include <QDir>
#include <QFileInfo>

#include <memory>

namespace {

QMutex g_standardLock;
std::unique_ptr<FLTUserDefaults> g_standard;
std::vector<std::unique_ptr<FLTUserDefaults>> g_retired;  // references handed out stay valid

}  // namespace

FLTUserDefaults& FLTUserDefaults::standardUserDefaults() {
    QMutexLocker locker(&g_standardLock);
    if (!g_standard) g_standard = std::make_unique<FLTUserDefaults>(generateDirectoryURL());
    return *g_standard;
}

void FLTUserDefaults::resetStandardUserDefaults() {
    QMutexLocker locker(&g_standardLock);
    if (g_standard) g_retired.push_back(std::move(g_standard));
}

QString FLTUserDefaults::generateDirectoryURL() {
    QString dir = Paths::dataHome();
    const QString identifier = TRLEscapedBundleIdentifier();
    if (!identifier.isEmpty()) dir += QLatin1Char('/') + identifier;
    return dir + QLatin1Char('/') + QLatin1String(TRLKitPrefix);
}

FLTUserDefaults::FLTUserDefaults(const QString& directory)
    : _directory(directory), _file(directory + QStringLiteral("/FLTUserDefaults.plist")) {
    _dataDictionary = loadDefaults();
}

QVariantMap FLTUserDefaults::loadDefaults() {
    QMutexLocker io(&_synchronizationQueue);
    const QFileInfo info(_file);
    if (info.isDir()) {
        SystemLog::error(QStringLiteral("[Trellis:UserDefaults] found directory where file expected. Removing conflicting directory"));
        if (!QDir(_file).removeRecursively())
            SystemLog::error(QStringLiteral("[Trellis:UserDefaults] error removing conflicting directory: {error = %1}").arg(_file));
        return {};
    }
    if (!info.exists()) return {};
    QVError error;
    const QVariant value = PropertyList::readFile(_file, &error);
    if (value.typeId() != QMetaType::QVariantMap) {
        // Kept beside the store rather than overwritten by the next write.
        SystemLog::error(QStringLiteral("[Trellis:UserDefaults] failed to read existing UserDefaults file"));
        QFile::remove(_file + QStringLiteral(".bad"));
        QFile::rename(_file, _file + QStringLiteral(".bad"));
        return {};
    }
    return value.toMap();
}

QVariant FLTUserDefaults::objectForKey(const QString& key) const {
    QMutexLocker locker(&_serialDictionaryQueue);
    return _dataDictionary.value(key);
}

QString FLTUserDefaults::stringForKey(const QString& key) const {
    const QVariant v = objectForKey(key);
    return v.typeId() == QMetaType::QString ? v.toString() : QString();
}

bool FLTUserDefaults::boolForKey(const QString& key) const {
    const QVariant v = objectForKey(key);
    return (v.typeId() == QMetaType::Bool || PropertyList::isNumber(v)) && v.toDouble() != 0;
}

void FLTUserDefaults::setObject(const QVariant& value, const QString& key) {
    QMutexLocker locker(&_serialDictionaryQueue);
    if (value.isValid())
        _dataDictionary.insert(key, value);
    else
        _dataDictionary.remove(key);
}

void FLTUserDefaults::removeObjectForKey(const QString& key) { setObject(QVariant(), key); }

void FLTUserDefaults::removeAllObjects() {
    QMutexLocker locker(&_serialDictionaryQueue);
    _dataDictionary.clear();
}

QVariantMap FLTUserDefaults::dictionaryRepresentation() const {
    QMutexLocker locker(&_serialDictionaryQueue);
    return _dataDictionary;
}

bool FLTUserDefaults::synchronize() {
    QMutexLocker io(&_synchronizationQueue);
    // The snapshot is taken inside the write turn: a write that waited cannot put older values
    // over a newer write.
    const QVariantMap snapshot = dictionaryRepresentation();
    if (!QDir().mkpath(_directory)) {
        SystemLog::error(QStringLiteral("[Trellis:UserDefaults] failed to create directory with error:%1").arg(_directory));
        return false;
    }
    QVError error;
    if (!PropertyList::writeFile(snapshot, _file, PlistFormat::XML, &error)) {
        SystemLog::error(QStringLiteral("[Trellis:UserDefaults] Unable to open file for writing at path %1 (%2)")
                             .arg(_file, error.localizedDescription()));
        return false;
    }
    return true;
}

void FLTUserDefaults::migrateFromNSUserDefaults(const QStringList& keys) {
    UserDefaults& app = UserDefaults::standard();
    bool copied = false;
    for (const QString& key : keys) {
        const QVariant v = app.objectForKey(key);
        if (!v.isValid()) continue;
        setObject(v, key);
        copied = true;
    }
    if (!copied) return;
    // Removed there only once the values are safely here.
    if (!synchronize()) return;
    for (const QString& key : keys) app.removeObject(key);
    app.synchronize();
}

QVariant FLTUserDefaults::objectForKeyByMigratingFromNSUserDefaults(const QString& key) {
    if (key.isEmpty()) return {};
    const QVariant mine = objectForKey(key);
    if (mine.isValid()) return mine;
    UserDefaults& app = UserDefaults::standard();
    const QVariant theirs = app.objectForKey(key);
    if (!theirs.isValid()) return {};
    setObject(theirs, key);
    if (synchronize()) {
        app.removeObject(key);
        app.synchronize();
    }
    return theirs;
}
