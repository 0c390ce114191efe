// The application's identity and resources: the Info dictionary (resources/Info.plist), resource
// lookup, string tables and auxiliary executables.
//
// The resource folder is $QORVEL_RESOURCES when set, else share/qorvel beside the executable's
// folder (build/bin -> build/share/qorvel), else the source tree's resources folder.
#pragma once

#include <QHash>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QVariantMap>

class AppBundle {
public:
    static AppBundle& main();

    QString resourcePath() const;
    QString executablePath() const;
    QVariantMap infoDictionary() const;
    QVariant objectForInfoDictionaryKey(const QString& key) const;
    // Both fall back to the built-in identity when the Info dictionary lacks them, so paths and
    // error domains derived from them stay right even with a broken resource folder.
    QString bundleIdentifier() const;  // "com.qorvel.Qorvel"
    QString bundleName() const;        // "Qorvel"
    QString shortVersion() const;      // CFBundleShortVersionString
    QString version() const;           // CFBundleVersion

    // "name.type" in the resource folder or its sub-folder; type may be empty (name holds it all).
    // Empty when there is no such file or folder, and for names that would leave the resource
    // folder (absolute, or with a ".." component).
    QString pathForResource(const QString& name, const QString& type = {},
                            const QString& subfolder = {}) const;
    // Every resource with the extension in the folder (all entries when type is empty), sorted.
    QStringList pathsForResourcesOfType(const QString& type, const QString& subfolder = {}) const;

    // The value of key in the string table "<table>.strings" (a plist dictionary) of the
    // resource folder; table defaults to "Localizable". Falls back to value, then to key.
    QString localizedString(const QString& key, const QString& value = {},
                            const QString& table = {}) const;

    // A helper program shipped with the application: beside the executable, then in the
    // resource folder's "bin"; empty when absent.
    QString pathForAuxiliaryExecutable(const QString& name) const;

private:
    AppBundle() = default;
    mutable QMutex _lock;
    mutable QVariantMap _info;
    mutable bool _infoLoaded = false;
    mutable QString _infoSource;  // the Info.plist path _info came from
    mutable QHash<QString, QVariantMap> _tables;  // by the table file's path
};

// Shorthand for user-visible strings looked up with themselves as key.
inline QString QVLocalized(const QString& key) { return AppBundle::main().localizedString(key); }
