// The kits' own key-value store: a property-list dictionary in Qorvel's data folder, apart from
// the application's preferences, so kit state (the installation identifier) is never mixed up or
// wiped with them. Values live in memory; nothing reaches the file before synchronize().
#pragma once

#include <QMutex>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

class FLTUserDefaults {
public:
    // The shared store in "<data home>/<escaped bundle identifier>/<kit prefix>/FLTUserDefaults.plist".
    static FLTUserDefaults& standardUserDefaults();
    // For tests: the next standardUserDefaults() reads its file afresh (the old one stays valid).
    static void resetStandardUserDefaults();

    // A store over the given folder (made on the first synchronize).
    explicit FLTUserDefaults(const QString& directory);
    FLTUserDefaults(const FLTUserDefaults&) = delete;
    FLTUserDefaults& operator=(const FLTUserDefaults&) = delete;

    static QString generateDirectoryURL();
    QString directoryURL() const { return _directory; }
    QString fileURL() const { return _file; }

    QVariant objectForKey(const QString& key) const;
    QString stringForKey(const QString& key) const;  // empty unless the value is a string
    bool boolForKey(const QString& key) const;       // false unless the value is a boolean or number
    void setObject(const QVariant& value, const QString& key);  // an invalid value removes the key
    void setString(const QString& value, const QString& key) { setObject(value, key); }
    void setBool(bool value, const QString& key) { setObject(value, key); }
    void removeObjectForKey(const QString& key);
    void removeAllObjects();
    QVariantMap dictionaryRepresentation() const;

    // Writes the values atomically (the file is old or new, never partial); false with a logged
    // line when the folder or the file cannot be written. Concurrent calls write in turn, each
    // the values as they stand when its turn comes, so the last write holds the latest values.
    bool synchronize();

    // Moves values found only in the application's defaults over, then removes them there.
    void migrateFromNSUserDefaults(const QStringList& keys);
    QVariant objectForKeyByMigratingFromNSUserDefaults(const QString& key);

private:
    QVariantMap loadDefaults();

    QString _directory, _file;
    mutable QMutex _serialDictionaryQueue;  // guards the values
    QMutex _synchronizationQueue;           // one file write at a time
    QVariantMap _dataDictionary;
};
