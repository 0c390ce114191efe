// The per-user settings store: values in memory, an XML property list on disk, observers per key.
#include "platform/UserDefaults.h"

#include "platform/AppBundle.h"
#include "platform/AtomicFile.h"
#include "platform/MainQueue.h"
#include "platform/Paths.h"
#include "platform/PropertyList.h"
#include "platform/SystemLog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

struct UserDefaults::FlushLink {
    QMutex lock;
    UserDefaults* target = nullptr;
};

namespace {

// Long enough to gather a burst of changes into one write, short enough that a crash soon after
// a change rarely loses it.
constexpr int kFlushDelayMs = 250;

struct StandardStore {
    QMutex lock;
    std::unique_ptr<UserDefaults> current;
    // Stores replaced by resetStandard(): kept so that references handed out earlier stay valid.
    std::vector<std::unique_ptr<UserDefaults>> retired;
};

StandardStore& standardStore() {
    static StandardStore store;
    return store;
}

QString standardPath() {
    return Paths::configuration() + QLatin1Char('/') + AppBundle::main().bundleIdentifier() +
           QStringLiteral(".plist");
}

// Equality that keeps booleans apart from numbers (QVariant's own operator== does not), so that
// storing true over 1 is a change that reaches the file and the observers.
bool sameValue(const QVariant& a, const QVariant& b) {
    const int ta = a.typeId(), tb = b.typeId();
    if (ta == QMetaType::QVariantList && tb == QMetaType::QVariantList) {
        const QVariantList la = a.toList(), lb = b.toList();
        if (la.size() != lb.size()) return false;
        for (qsizetype i = 0; i < la.size(); ++i)
            if (!sameValue(la.at(i), lb.at(i))) return false;
        return true;
    }
    if (ta == QMetaType::QVariantMap && tb == QMetaType::QVariantMap) {
        const QVariantMap ma = a.toMap(), mb = b.toMap();
        if (ma.size() != mb.size()) return false;
        for (auto ia = ma.cbegin(), ib = mb.cbegin(); ia != ma.cend(); ++ia, ++ib)
            if (ia.key() != ib.key() || !sameValue(ia.value(), ib.value())) return false;
        return true;
    }
    if (ta != tb && !(PropertyList::isNumber(a) && PropertyList::isNumber(b))) return false;
    return a == b;
}

// The value as it will read back from the file, or an invalid one with the reason.
QVariant storedForm(const QVariant& value, QVError* error) {
    const QByteArray xml = PropertyList::toData(value, PlistFormat::XML, error);
    if (xml.isEmpty()) return {};
    return PropertyList::fromData(xml, error);
}

qint64 clampToInteger(double d) {
    if (std::isnan(d)) return 0;
    if (d >= 9.2233720368547758e18) return std::numeric_limits<qint64>::max();
    if (d <= -9.2233720368547758e18) return std::numeric_limits<qint64>::min();
    return qint64(d);
}

}  // namespace

UserDefaults& UserDefaults::standard() {
    // Built before the store so that it is destroyed after it: the store's last write at exit
    // may still ask for the bundle.
    (void)AppBundle::main();
    StandardStore& store = standardStore();
    QMutexLocker locker(&store.lock);
    if (!store.current) store.current = std::make_unique<UserDefaults>(standardPath());
    return *store.current;
}

void UserDefaults::resetStandard() {
    StandardStore& store = standardStore();
    QMutexLocker locker(&store.lock);
    if (store.current) {
        store.current->synchronize();
        store.retired.push_back(std::move(store.current));
    }
    store.current = std::make_unique<UserDefaults>(standardPath());
}

void UserDefaults::closeStandard() {
    StandardStore& store = standardStore();
    QMutexLocker locker(&store.lock);
    if (store.current) store.retired.push_back(std::move(store.current));
    for (const std::unique_ptr<UserDefaults>& retired : store.retired) retired->close();
}

UserDefaults::UserDefaults(QString path) : _path(std::move(path)), _flushLink(std::make_shared<FlushLink>()) {
    _flushLink->target = this;
    load();
}

UserDefaults::~UserDefaults() { close(); }

void UserDefaults::close() {
    {
        // Waits for a delayed write that is running right now; later ones find no target.
        QMutexLocker locker(&_flushLink->lock);
        _flushLink->target = nullptr;
    }
    QMutexLocker locker(&_lock);
    writeLocked();
    _closed = true;
}

void UserDefaults::load() {
    if (!QFileInfo::exists(_path)) return;
    QVError error;
    const QVariant root = PropertyList::readFile(_path, &error);
    if (root.typeId() == QMetaType::QVariantMap) {
        _values = root.toMap();
        return;
    }
    if (root.isValid() || error.domain() == PropertyList::errorDomain()) {
        // Damaged contents: keep them for the user to look at, and start over.
        const QString reason = root.isValid() ? QStringLiteral("its top level is not a dictionary")
                                              : error.localizedDescription();
        QVError failure;
        const QString aside = AtomicFile::setAside(_path, &failure);
        _setAside = SetAside{_path, aside, reason};
        if (!aside.isEmpty()) {
            SystemLog::error(QStringLiteral("The settings file \"%1\" is damaged (%2); it was moved to \"%3\" "
                                            "and the settings start empty.")
                                 .arg(_path, reason, aside));
            return;
        }
        // Never written over: this run's settings stay in memory.
        _closed = true;
        SystemLog::error(QStringLiteral("The settings file \"%1\" is damaged (%2) and could not be moved "
                                        "aside (%3); the settings start empty and are not saved.")
                             .arg(_path, reason, failure.localizedDescription()));
        return;
    }
    SystemLog::error(QStringLiteral("The settings file \"%1\" couldn't be read (%2); the settings start empty.")
                         .arg(_path, error.localizedDescription()));
}

std::optional<UserDefaults::SetAside> UserDefaults::takeSetAside() {
    QMutexLocker locker(&_lock);
    return std::exchange(_setAside, std::nullopt);
}

QVariant UserDefaults::objectForKey(const QString& key) const {
    QMutexLocker locker(&_lock);
    return _values.value(key);
}

bool UserDefaults::boolForKey(const QString& key) const {
    const QVariant v = objectForKey(key);
    const int type = v.typeId();
    if (type == QMetaType::Bool) return v.toBool();
    if (PropertyList::isNumber(v)) return v.toDouble() != 0.0;
    if (type == QMetaType::QString) {
        const QString s = v.toString().trimmed();
        if (s.compare(QLatin1String("yes"), Qt::CaseInsensitive) == 0 ||
            s.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0)
            return true;
        bool ok = false;
        const double d = s.toDouble(&ok);
        return ok && d != 0.0;
    }
    return false;
}

qint64 UserDefaults::integerForKey(const QString& key) const {
    const QVariant v = objectForKey(key);
    const int type = v.typeId();
    if (type == QMetaType::Bool) return v.toBool() ? 1 : 0;
    if (PropertyList::isInteger(v)) return v.toLongLong();
    if (PropertyList::isNumber(v)) return clampToInteger(v.toDouble());
    if (type == QMetaType::QString) {
        const QString s = v.toString().trimmed();
        bool ok = false;
        const qint64 i = s.toLongLong(&ok);
        if (ok) return i;
        const double d = s.toDouble(&ok);
        return ok ? clampToInteger(d) : 0;
    }
    return 0;
}

double UserDefaults::doubleForKey(const QString& key) const {
    const QVariant v = objectForKey(key);
    const int type = v.typeId();
    if (type == QMetaType::Bool) return v.toBool() ? 1.0 : 0.0;
    if (PropertyList::isNumber(v)) return v.toDouble();
    if (type == QMetaType::QString) {
        bool ok = false;
        const double d = v.toString().trimmed().toDouble(&ok);
        return ok ? d : 0.0;
    }
    return 0.0;
}

QString UserDefaults::stringForKey(const QString& key) const {
    const QVariant v = objectForKey(key);
    const int type = v.typeId();
    if (type == QMetaType::QString) return v.toString();
    if (type == QMetaType::Bool) return v.toBool() ? QStringLiteral("1") : QStringLiteral("0");
    if (PropertyList::isNumber(v)) return v.toString();
    return {};
}

QVariantList UserDefaults::arrayForKey(const QString& key) const {
    const QVariant v = objectForKey(key);
    return v.typeId() == QMetaType::QVariantList ? v.toList() : QVariantList();
}

QVariantMap UserDefaults::dictionaryForKey(const QString& key) const {
    const QVariant v = objectForKey(key);
    return v.typeId() == QMetaType::QVariantMap ? v.toMap() : QVariantMap();
}

bool UserDefaults::contains(const QString& key) const {
    QMutexLocker locker(&_lock);
    return _values.contains(key);
}

QVariantMap UserDefaults::dictionaryRepresentation() const {
    QMutexLocker locker(&_lock);
    return _values;
}

void UserDefaults::setObject(const QVariant& value, const QString& key) {
    if (!value.isValid()) {
        removeObject(key);
        return;
    }
    // Stored as it will read back after the next launch (int -> qint64, QStringList -> list...),
    // and refused here when it has no property-list form at all.
    QVError error;
    const QVariant stored = storedForm(value, &error);
    if (!stored.isValid()) {
        SystemLog::warning(QStringLiteral("Not storing the setting \"%1\": %2").arg(key, error.localizedDescription()));
        return;
    }
    QVariant old;
    {
        QMutexLocker locker(&_lock);
        old = _values.value(key);
        if (old.isValid() && sameValue(old, stored)) return;
        _values.insert(key, stored);
        _dirty = true;
    }
    scheduleFlush();
    notify(key, old, stored);
}

void UserDefaults::removeObject(const QString& key) {
    QVariant old;
    {
        QMutexLocker locker(&_lock);
        if (!_values.contains(key)) return;
        old = _values.take(key);
        _dirty = true;
    }
    scheduleFlush();
    notify(key, old, QVariant());
}

bool UserDefaults::synchronize() {
    QMutexLocker locker(&_lock);
    return writeLocked();
}

bool UserDefaults::writeLocked() {
    if (!_dirty || _closed) return !_dirty;
    QDir().mkpath(QFileInfo(_path).absolutePath());
    QVError error;
    if (!PropertyList::writeFile(_values, _path, PlistFormat::XML, &error)) {
        SystemLog::error(QStringLiteral("The settings could not be saved: %1").arg(error.localizedDescription()));
        return false;
    }
    _dirty = false;
    return true;
}

void UserDefaults::scheduleFlush() {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) {
        synchronize();
        return;
    }
    {
        QMutexLocker locker(&_lock);
        if (_flushScheduled) return;
        _flushScheduled = true;
    }
    // Hop to the application's thread first: a timer needs the event loop of the thread it
    // lives in, and the setting thread may have none. The main queue hands the task over under a
    // lock of its own, which orders this thread's writes before the application thread's reads
    // (a queued call's captures are ordered only by a lock inside Qt).
    std::shared_ptr<FlushLink> link = _flushLink;
    MainQueue::post([link] {
        QTimer::singleShot(kFlushDelayMs, QCoreApplication::instance(), [link] {
            QMutexLocker linkLocker(&link->lock);
            UserDefaults* target = link->target;
            if (!target) return;
            QMutexLocker locker(&target->_lock);
            target->_flushScheduled = false;
            target->writeLocked();
        });
    });
}

UserDefaults::Token UserDefaults::addObserver(const QString& key, Observer observer) {
    QMutexLocker locker(&_observerLock);
    const Token token = _nextToken++;
    _observers.emplace(token, std::make_pair(key, std::move(observer)));
    return token;
}

void UserDefaults::removeObserver(Token token) {
    QMutexLocker locker(&_observerLock);
    _observers.erase(token);
}

void UserDefaults::notify(const QString& key, const QVariant& oldValue, const QVariant& newValue) {
    std::vector<Observer> toCall;
    {
        QMutexLocker locker(&_observerLock);
        for (const auto& [token, entry] : _observers)
            if (entry.first == key) toCall.push_back(entry.second);
    }
    // Outside every lock: an observer may read or write the store, or remove itself.
    for (const Observer& observer : toCall) observer(key, oldValue, newValue);
}
