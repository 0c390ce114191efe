// The per-user settings store: an XML property list at
// $XDG_CONFIG_HOME/Glimbo/<bundle identifier>.plist, with typed reads and per-key observers.
#pragma once

#include <QHash>
#include <QMutex>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <functional>
#include <map>
#include <memory>
#include <optional>

class UserDefaults {
public:
    using Observer = std::function<void(const QString& key, const QVariant& oldValue,
                                        const QVariant& newValue)>;
    using Token = quint64;

    // The application's store, loaded from its file on first use.
    static UserDefaults& standard();
    // Rebuilds the standard store from disk (tests point XDG_CONFIG_HOME elsewhere first). The
    // old store writes its pending changes and stays alive, observers and all, so references to
    // it do not dangle; it is simply no longer the standard one.
    static void resetStandard();
    // Writes what the standard store and the ones it replaced hold, then closes them: they keep
    // answering but never write again. For the end of a run whose files are about to go (a test
    // sandbox); the next standard() call starts a fresh store.
    static void closeStandard();

    // A store kept in the given file (created on the first write, with its folder). A file that
    // is not a property-list dictionary is logged, moved aside to "<path>.bad" (".bad2", ".bad3"…
    // where earlier damage is kept) and the store starts empty; where it cannot be moved, the
    // store never writes, so the damaged file is not written over.
    explicit UserDefaults(QString path);
    ~UserDefaults();  // writes pending changes
    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;

    QString path() const { return _path; }

    // Reads. A missing key gives an invalid QVariant; the typed getters answer false, 0, 0.0 or
    // an empty value for a missing key or one whose stored type does not convert.
    QVariant objectForKey(const QString& key) const;
    bool boolForKey(const QString& key) const;
    qint64 integerForKey(const QString& key) const;
    double doubleForKey(const QString& key) const;
    QString stringForKey(const QString& key) const;
    QVariantList arrayForKey(const QString& key) const;
    QVariantMap dictionaryForKey(const QString& key) const;
    bool contains(const QString& key) const;
    QVariantMap dictionaryRepresentation() const;

    // Writes. Setting an invalid QVariant removes the key. Observers of the key are told the old
    // and the new value on the calling thread, after the store's lock is released, and only when
    // the value changed. The file is written soon after (coalesced) and at synchronize().
    // A value is kept in the form it reads back from the file (int -> qint64, QStringList ->
    // list, XML's whole-second dates); one without a property-list form (a QColor, say) is
    // refused with a logged warning, so it can never keep the other settings from being saved.
    void setObject(const QVariant& value, const QString& key);
    void setBool(bool value, const QString& key) { setObject(QVariant(value), key); }
    void setInteger(qint64 value, const QString& key) { setObject(QVariant(value), key); }
    void setDouble(double value, const QString& key) { setObject(QVariant(value), key); }
    void setString(const QString& value, const QString& key) { setObject(QVariant(value), key); }
    void removeObject(const QString& key);

    // Writes pending changes now; answers whether the file is current.
    bool synchronize();
    // Writes pending changes and stops writing for good: later changes stay in memory.
    void close();

    Token addObserver(const QString& key, Observer observer);
    void removeObserver(Token token);

    // A damaged file the store found when it loaded: where it was (path) and was moved (movedTo,
    // empty where it could not be), and why it is damaged (reason).
    struct SetAside {
        QString path, movedTo, reason;
    };
    // Hands it over once, for the user to be told; nothing afterwards or for a sound file.
    std::optional<SetAside> takeSetAside();

private:
    struct FlushLink;  // lets a delayed write find out that its store is gone

    void load();
    void notify(const QString& key, const QVariant& oldValue, const QVariant& newValue);
    void scheduleFlush();
    bool writeLocked();

    QString _path;
    mutable QMutex _lock;
    QVariantMap _values;
    bool _dirty = false;
    bool _flushScheduled = false;
    bool _closed = false;
    std::optional<SetAside> _setAside;
    QMutex _observerLock;
    std::map<Token, std::pair<QString, Observer>> _observers;
    Token _nextToken = 1;
    std::shared_ptr<FlushLink> _flushLink;
};
