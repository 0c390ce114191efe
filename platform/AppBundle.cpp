// The application's identity (Info.plist), its resource folder, string tables and helper programs.
#include "platform/AppBundle.h"

#include "platform/PropertyList.h"
#include "platform/SystemLog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <climits>
#include <unistd.h>
#include "QorvelSourceTree.h"

#ifndef QORVEL_SOURCE_RESOURCES
#define QORVEL_SOURCE_RESOURCES ""
#endif

namespace {

// Resource names come from code and from plists the user can edit; none may climb out of the
// folder it is looked up in.
bool isSafeRelative(const QString& path) {
    if (path.isEmpty() || path.startsWith(QLatin1Char('/'))) return false;
    const QStringList parts = path.split(QLatin1Char('/'));
    return !parts.contains(QStringLiteral(".."));
}

// Reads a dictionary plist; a missing file is simply empty, a damaged one is logged.
QVariantMap readDictionary(const QString& path, bool* damaged, QString* reason) {
    *damaged = false;
    if (!QFileInfo::exists(path)) return {};
    QVError error;
    const QVariant value = PropertyList::readFile(path, &error);
    if (value.typeId() == QMetaType::QVariantMap) return value.toMap();
    *damaged = true;
    *reason = value.isValid() ? QStringLiteral("the file \"%1\" is not a dictionary").arg(path)
                              : error.localizedDescription();
    return {};
}

}  // namespace

AppBundle& AppBundle::main() {
    static AppBundle bundle;
    return bundle;
}

QString AppBundle::executablePath() const {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n > 0) return QFile::decodeName(QByteArray(buffer, n));
    return QCoreApplication::instance() ? QCoreApplication::applicationFilePath() : QString();
}

QString AppBundle::resourcePath() const {
    // Read on every call, so that tests (and a relocated install) can change it.
    const QByteArray overridden = qgetenv("QORVEL_RESOURCES");
    if (!overridden.isEmpty()) return QDir::cleanPath(QFileInfo(QFile::decodeName(overridden)).absoluteFilePath());
    const QString executable = executablePath();
    if (!executable.isEmpty()) {
        const QString beside =
            QDir::cleanPath(QFileInfo(executable).absolutePath() + QStringLiteral("/../share/qorvel"));
        if (QFileInfo(beside).isDir()) return beside;
    }
    return QString::fromUtf8(QORVEL_SOURCE_RESOURCES);
}

QVariantMap AppBundle::infoDictionary() const {
    const QString source = resourcePath() + QStringLiteral("/Info.plist");
    bool damaged = false;
    QString reason;
    QVariantMap info;
    {
        QMutexLocker locker(&_lock);
        if (_infoLoaded && _infoSource == source) return _info;
        _info = readDictionary(source, &damaged, &reason);
        _infoSource = source;
        _infoLoaded = true;
        info = _info;
    }
    if (damaged) SystemLog::error(QStringLiteral("The application's Info dictionary can't be read: %1").arg(reason));
    return info;
}

QVariant AppBundle::objectForInfoDictionaryKey(const QString& key) const { return infoDictionary().value(key); }

QString AppBundle::bundleIdentifier() const {
    const QString id = objectForInfoDictionaryKey(QStringLiteral("CFBundleIdentifier")).toString();
    return id.isEmpty() ? QStringLiteral("com.qorvel.Qorvel") : id;
}

QString AppBundle::bundleName() const {
    const QString name = objectForInfoDictionaryKey(QStringLiteral("CFBundleName")).toString();
    return name.isEmpty() ? QStringLiteral("Qorvel") : name;
}

QString AppBundle::shortVersion() const {
    return objectForInfoDictionaryKey(QStringLiteral("CFBundleShortVersionString")).toString();
}

QString AppBundle::version() const { return objectForInfoDictionaryKey(QStringLiteral("CFBundleVersion")).toString(); }

QString AppBundle::pathForResource(const QString& name, const QString& type, const QString& subfolder) const {
    QString file = name;
    if (!type.isEmpty()) file += QLatin1Char('.') + (type.startsWith(QLatin1Char('.')) ? type.mid(1) : type);
    if (!isSafeRelative(file) || (!subfolder.isEmpty() && !isSafeRelative(subfolder))) return {};
    QString path = resourcePath();
    if (!subfolder.isEmpty()) path += QLatin1Char('/') + subfolder;
    path += QLatin1Char('/') + file;
    return QFileInfo::exists(path) ? path : QString();
}

QStringList AppBundle::pathsForResourcesOfType(const QString& type, const QString& subfolder) const {
    if (!subfolder.isEmpty() && !isSafeRelative(subfolder)) return {};
    const QString folder = subfolder.isEmpty() ? resourcePath() : resourcePath() + QLatin1Char('/') + subfolder;
    const QString suffix = type.startsWith(QLatin1Char('.')) ? type.mid(1) : type;
    QDir dir(folder);
    if (!suffix.isEmpty()) dir.setNameFilters({QStringLiteral("*.") + suffix});
    const QStringList names =
        dir.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
    QStringList paths;
    paths.reserve(names.size());
    for (const QString& name : names) paths.append(folder + QLatin1Char('/') + name);
    return paths;
}

QString AppBundle::localizedString(const QString& key, const QString& value, const QString& table) const {
    const QString fallback = value.isEmpty() ? key : value;
    const QString tableName = table.isEmpty() ? QStringLiteral("Localizable") : table;
    if (!isSafeRelative(tableName)) return fallback;
    const QString path = resourcePath() + QLatin1Char('/') + tableName + QStringLiteral(".strings");
    bool damaged = false;
    QString reason;
    QVariant text;
    {
        QMutexLocker locker(&_lock);
        auto it = _tables.constFind(path);
        if (it == _tables.constEnd()) it = _tables.insert(path, readDictionary(path, &damaged, &reason));
        text = it->value(key);
    }
    if (damaged) SystemLog::error(QStringLiteral("The string table \"%1\" can't be read: %2").arg(path, reason));
    return text.typeId() == QMetaType::QString ? text.toString() : fallback;
}

QString AppBundle::pathForAuxiliaryExecutable(const QString& name) const {
    if (!isSafeRelative(name)) return {};
    const QString executable = executablePath();
    QStringList candidates;
    if (!executable.isEmpty()) candidates.append(QFileInfo(executable).absolutePath() + QLatin1Char('/') + name);
    candidates.append(resourcePath() + QStringLiteral("/bin/") + name);
    for (const QString& candidate : candidates) {
        const QFileInfo info(candidate);
        if (info.isFile() && info.isExecutable()) return candidate;
    }
    return {};
}
