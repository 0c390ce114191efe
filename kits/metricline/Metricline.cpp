#include "kits/metricline/Metricline.h"

#include "kits/metricline/MLBase64.h"
#include "kits/metricline/MLCJSONDataSerializer.h"
#include "kits/metricline/MetriclinePeople.h"
#include "platform/MainQueue.h"
#include "platform/Paths.h"
#include "platform/PropertyList.h"
#include "platform/SystemLog.h"
#include "shell/QVOutsideServices.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <QUrl>
#include <QUuid>

#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <limits>
#include <mutex>
#include <utility>

namespace {

std::unique_ptr<Metricline>& shared() {
    static std::unique_ptr<Metricline> client;
    return client;
}

Metricline::Configuration& sharedConfiguration() {
    static Metricline::Configuration configuration;
    return configuration;
}

const char* kindName(Metricline::Kind kind) {
    switch (kind) {
    case Metricline::Kind::Events: return "events";
    case Metricline::Kind::People: return "people";
    case Metricline::Kind::Properties: return "properties";
    }
    return "";
}

bool isNumber(int type) {
    switch (type) {
    case QMetaType::Bool: case QMetaType::Int: case QMetaType::UInt: case QMetaType::LongLong:
    case QMetaType::ULongLong: case QMetaType::Long: case QMetaType::ULong: case QMetaType::Short:
    case QMetaType::UShort: case QMetaType::Double: case QMetaType::Float:
        return true;
    default:
        return false;
    }
}

// The leading integer of a response body ("1", " 1\n"); 0 for none.
qint64 integerValue(const QByteArray& body) {
    const QByteArray text = body.trimmed();
    qsizetype end = (!text.isEmpty() && (text[0] == '-' || text[0] == '+')) ? 1 : 0;
    while (end < text.size() && end < 18 && text[end] >= '0' && text[end] <= '9') ++end;
    return text.left(end).toLongLong();
}

// Archives hold property lists, which have no null: a JSON null is kept as empty data, a type
// that never appears in a record otherwise (data is turned into text when an event is made).
QVariant toArchive(const QVariant& value) {
    switch (value.typeId()) {
    case QMetaType::UnknownType: case QMetaType::Nullptr:
        return QByteArray();
    case QMetaType::QVariantList: {
        QVariantList list;
        for (const QVariant& item : value.toList()) list << toArchive(item);
        return list;
    }
    case QMetaType::QVariantMap: {
        QVariantMap map = value.toMap();
        for (auto it = map.begin(); it != map.end(); ++it) it.value() = toArchive(it.value());
        return map;
    }
    default:
        return value;
    }
}

QVariant fromArchive(const QVariant& value) {
    switch (value.typeId()) {
    case QMetaType::QByteArray:
        return QVariant::fromValue(nullptr);
    case QMetaType::QVariantList: {
        QVariantList list;
        for (const QVariant& item : value.toList()) list << fromArchive(item);
        return list;
    }
    case QMetaType::QVariantMap: {
        QVariantMap map = value.toMap();
        for (auto it = map.begin(); it != map.end(); ++it) it.value() = fromArchive(it.value());
        return map;
    }
    default:
        return Metricline::JSONSerializableObjectForObject(value);
    }
}

// Whether an archived record has the shape of one: a dictionary with a string "event" and a
// dictionary "properties" (events), or a dictionary with "$token" (people).
bool isRecord(const QVariant& value, Metricline::Kind kind) {
    if (value.typeId() != QMetaType::QVariantMap) return false;
    const QVariantMap map = value.toMap();
    if (kind == Metricline::Kind::Events)
        return map.value(QStringLiteral("event")).typeId() == QMetaType::QString &&
               map.value(QStringLiteral("properties")).typeId() == QMetaType::QVariantMap;
    return map.value(QStringLiteral("$token")).typeId() == QMetaType::QString;
}

// The marks of batches taken (see Metricline::Flight) that lie in folder: of one kind, or of every
// kind when kind is "*".
QStringList takenMarksIn(const QString& folder, const QString& token, const QString& kind) {
    QStringList paths;
    for (const QString& name : QDir(folder).entryList({QStringLiteral("metricline-%1-%2-taken-*").arg(token, kind)}, QDir::Files | QDir::Hidden))
        paths << folder + QLatin1Char('/') + name;
    return paths;
}

void removeFiles(const QStringList& paths) {
    for (const QString& path : paths) QFile::remove(path);
}

// Whole or not at all (written under another name, then renamed), and not synced: the mark has
// to outlive the process, not the machine, and a sync would hold up every transfer of the worker.
void writeMark(const QByteArray& path, const QByteArray& data) {
    const QByteArray partial = path + ".partial";
    const int fd = ::open(partial.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return;
    qsizetype written = 0;
    while (written < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + written, size_t(data.size() - written));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        written += n;
    }
    const bool whole = ::close(fd) == 0 && written == data.size();
    if (!whole || ::rename(partial.constData(), path.constData()) != 0) ::unlink(partial.constData());
}

// Takes out of an archive's records the run a mark holds: from the first record equal to the
// mark's first, as long as they go on equal (the archive may have been written before the last
// of them were recorded). A record made again later, equal to a taken one, comes after it.
void dropTaken(QVariantList& records, const QVariantList& taken) {
    if (taken.isEmpty()) return;
    const qsizetype start = records.indexOf(taken.first());
    if (start < 0) return;
    qsizetype n = 0;
    while (n < taken.size() && start + n < records.size() && records[start + n] == taken[n]) ++n;
    records.remove(start, n);
}

// Base64 text escaped for a form value: of its alphabet only "+", "/" and "=" need it.
QByteArray percentEscaped(const QByteArray& base64) {
    QByteArray out(base64.size() * 3, Qt::Uninitialized);
    char* w = out.data();
    for (const char c : base64) {
        const char* escape = c == '+' ? "%2B" : c == '/' ? "%2F" : c == '=' ? "%3D" : nullptr;
        if (escape) {
            std::memcpy(w, escape, 3);
            w += 3;
        } else {
            *w++ = c;
        }
    }
    out.truncate(w - out.data());
    return out;
}

struct Machine {
    QString model;
    QString version;
};

const Machine& machine() {
    static const Machine info = [] {
        Machine m;
        utsname name{};
        if (uname(&name) == 0) {
            m.model = QString::fromLocal8Bit(name.machine);
            int major = 0, minor = 0, patch = 0;
            std::sscanf(name.release, "%d.%d.%d", &major, &minor, &patch);
            m.version = QStringLiteral("%1.%2.%3").arg(major).arg(minor).arg(patch);
        } else {
            m.version = QStringLiteral("0.0.0");
        }
        return m;
    }();
    return info;
}

}  // namespace

// A request in flight, shared with the HTTP worker, which may outlive the client. The worker
// marks the batch taken as its 2xx status line arrives, on disk at once: the main queue may never
// get to the answer (the process ends first), and the next launch would send the batch again.
struct Metricline::Flight {
    std::mutex lock;
    bool taken = false;      // a 2xx status line came
    bool withdrawn = false;  // consent withdrawn: nothing more is written
    QByteArray markPath;
    QByteArray mark;  // the batch as the archive holds it (a binary property list); empty: no mark

    bool wasTaken() {
        std::lock_guard<std::mutex> guard(lock);
        return taken;
    }
    void withdraw() {
        std::lock_guard<std::mutex> guard(lock);
        withdrawn = true;
    }
    void statusLine(int status) {
        if (!HttpResponse::statusAccepted(status)) return;
        std::lock_guard<std::mutex> guard(lock);
        if (taken || withdrawn) return;
        taken = true;
        if (!mark.isEmpty()) writeMark(markPath, mark);
    }
};

Metricline::Metricline(const QString& token, Configuration configuration, QObject* parent)
    : QObject(parent), _apiToken(token), _configuration(std::move(configuration)) {
    _people = std::make_unique<MetriclinePeople>(*this);
    if (_apiToken.isEmpty()) SystemLog::warning(QStringLiteral("%1 warning empty api token").arg(description()));
    if (_configuration.archiveFolder.isEmpty()) _configuration.archiveFolder = Paths::applicationSupport();
    while (_configuration.serverURL.endsWith(QLatin1Char('/'))) _configuration.serverURL.chop(1);
    if (!_apiToken.isEmpty() && !isAcceptableToken(_apiToken)) {
        SystemLog::warning(QStringLiteral("%1 refusing an api token that is not hexadecimal: nothing is recorded").arg(description()));
        return;
    }
    const QUrl server(_configuration.serverURL);
    const bool web = server.scheme() == QLatin1String("https") || server.scheme() == QLatin1String("http");
    if (_apiToken.isEmpty() || !server.isValid() || !web || server.host().isEmpty()) {
        if (!_apiToken.isEmpty()) SystemLog::warning(QStringLiteral("%1 no server URL: nothing is recorded").arg(description()));
        return;
    }
    _usable = true;
    if (!_configuration.transport) _configuration.transport = MLTransport::http();
    _distinctId = _configuration.defaultDistinctId ? *_configuration.defaultDistinctId : MLDefaultDistinctIdentifier();
    if (_distinctId.isEmpty())
        SystemLog::warning(QStringLiteral("%1 error getting default distinct id: both iOS IFA and ODIN1 failed").arg(description()));
    _timer.setTimerType(Qt::VeryCoarseTimer);
    connect(&_timer, &QTimer::timeout, this, &Metricline::flush);
    _archiveTimer.setSingleShot(true);
    connect(&_archiveTimer, &QTimer::timeout, this, [this] {
        if (std::exchange(_eventsDirty, false)) writeArchive(Kind::Events);
        if (std::exchange(_peopleDirty, false)) writeArchive(Kind::People);
        if (std::exchange(_propertiesDirty, false)) writeArchive(Kind::Properties);
    });
    startFlushTimer();
    addApplicationObservers();
    unarchive();
}

Metricline::~Metricline() {
    if (!_usable) return;
    stopFlushTimer();
    cancelFlush();
    // Changes still waiting for the coalesced write are not lost with the client.
    if (_eventsDirty) writeArchive(Kind::Events);
    if (_peopleDirty) writeArchive(Kind::People);
    if (_propertiesDirty) writeArchive(Kind::Properties);
}

// --- The shared client ----------------------------------------------------------------------------

Metricline* Metricline::sharedInstanceWithToken(const QString& token) {
    if (!shared()) {
        Configuration configuration = sharedConfiguration();
        if (configuration.serverURL.isEmpty()) configuration.serverURL = QVOutsideServices::infoValue(QStringLiteral("QVAnalyticsURL"));
        auto client = std::make_unique<Metricline>(token, std::move(configuration));
        if (!client->isUsable()) return nullptr;
        shared() = std::move(client);
    }
    return shared().get();
}

void Metricline::setSharedConfiguration(Configuration configuration) { sharedConfiguration() = std::move(configuration); }

Metricline* Metricline::sharedInstance() {
    if (!shared()) SystemLog::warning(QStringLiteral("Metricline warning sharedInstance called before sharedInstanceWithToken:"));
    return shared().get();
}

Metricline* Metricline::sharedInstanceIfMade() { return shared().get(); }

void Metricline::releaseSharedInstance() { shared().reset(); }

void Metricline::removeArchives(const QString& token, const QString& folder) {
    if (!isAcceptableToken(token)) return;
    const QString place = folder.isEmpty() ? Paths::applicationSupport() : folder;
    for (Kind kind : {Kind::Events, Kind::People, Kind::Properties})
        QFile::remove(place + QStringLiteral("/metricline-%1-%2.plist").arg(token, QLatin1String(kindName(kind))));
    removeFiles(takenMarksIn(place, token, QStringLiteral("*")));
}

bool Metricline::isAcceptableToken(const QString& token) {
    if (token.isEmpty() || token.size() > 128) return false;
    for (const QChar c : token)
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('a') && c <= QLatin1Char('f')) ||
              (c >= QLatin1Char('A') && c <= QLatin1Char('F'))))
            return false;
    return true;
}

QString Metricline::description() const {
    return QStringLiteral("<Metricline: %1 %2>").arg(quintptr(this), 0, 16).arg(_apiToken);
}

// --- Recording ------------------------------------------------------------------------------------

void Metricline::track(const QString& event, const QVariantMap& properties) {
    if (!_usable) return;
    QString name = event;
    if (name.isEmpty()) {
        SystemLog::warning(QStringLiteral("%1 metricline track called with empty event parameter. using 'ml_event'").arg(description()));
        name = QStringLiteral("ml_event");
    }
    if (!assertPropertyTypes(properties)) return;
    QVariantMap all = deviceInfoProperties();
    all.insert(QStringLiteral("token"), _apiToken);
    all.insert(QStringLiteral("time"), QDateTime::currentSecsSinceEpoch());
    if (!_nameTag.isEmpty()) all.insert(QStringLiteral("ml_name_tag"), _nameTag);
    if (!_distinctId.isEmpty()) all.insert(QStringLiteral("distinct_id"), _distinctId);
    all.insert(_superProperties);
    all.insert(properties);
    append(_events, {{QStringLiteral("event"), name}, {QStringLiteral("properties"), JSONSerializableObjectForObject(all)}});
}

void Metricline::append(Queue& queue, const QVariantMap& record) {
    queue.entries.append({_nextSerial++, record});
    // The oldest go first; a record in flight that goes is simply not there to remove later.
    if (queue.entries.size() > _configuration.maximumQueueLength)
        queue.entries.remove(0, queue.entries.size() - _configuration.maximumQueueLength);
}

void Metricline::enqueuePeopleRecord(const QVariantMap& record) {
    if (_usable) append(_peopleQueue, JSONSerializableObjectForObject(record).toMap());
}

void Metricline::identify(const QString& distinctId) {
    if (!_usable) return;
    _distinctId = distinctId;
    _people->setDistinctId(distinctId);
    if (!distinctId.isEmpty()) _people->moveUnidentifiedRecords();
    archiveLater(Kind::Properties);
}

void Metricline::registerSuperProperties(const QVariantMap& properties) {
    if (!_usable || !assertPropertyTypes(properties)) return;
    _superProperties.insert(properties);
    archiveLater(Kind::Properties);
}

void Metricline::registerSuperPropertiesOnce(const QVariantMap& properties) {
    if (!_usable || !assertPropertyTypes(properties)) return;
    for (auto it = properties.cbegin(); it != properties.cend(); ++it)
        if (!_superProperties.contains(it.key())) _superProperties.insert(it.key(), it.value());
    archiveLater(Kind::Properties);
}

void Metricline::registerSuperPropertiesOnce(const QVariantMap& properties, const QVariant& defaultValue) {
    if (!_usable || !assertPropertyTypes(properties)) return;
    for (auto it = properties.cbegin(); it != properties.cend(); ++it)
        if (!_superProperties.contains(it.key()) || _superProperties.value(it.key()) == defaultValue)
            _superProperties.insert(it.key(), it.value());
    archiveLater(Kind::Properties);
}

void Metricline::unregisterSuperProperty(const QString& key) {
    if (_superProperties.remove(key)) archiveLater(Kind::Properties);
}

void Metricline::clearSuperProperties() {
    _superProperties.clear();
    archiveLater(Kind::Properties);
}

void Metricline::reset() {
    if (!_usable) return;
    _distinctId = _configuration.defaultDistinctId ? *_configuration.defaultDistinctId : MLDefaultDistinctIdentifier();
    _nameTag.clear();
    _superProperties.clear();
    _people->setDistinctId({});
    _people->setUnidentifiedQueue({});
    _events.entries.clear();
    _peopleQueue.entries.clear();
    archive();
}

QVariantList Metricline::records(const Queue& queue) {
    QVariantList list;
    list.reserve(queue.entries.size());
    for (const Entry& entry : queue.entries) list << entry.record;
    return list;
}

QVariantList Metricline::eventsQueue() const { return records(_events); }
QVariantList Metricline::peopleQueue() const { return records(_peopleQueue); }

// --- Properties -----------------------------------------------------------------------------------

QString Metricline::deviceModel() { return machine().model; }
QString Metricline::systemVersion() { return machine().version; }

QVariantMap Metricline::deviceInfoProperties() {
    QSize size(0, 0);
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        if (const QScreen* screen = QGuiApplication::primaryScreen()) size = screen->geometry().size();
    return deviceInfoProperties(size);
}

QVariantMap Metricline::deviceInfoProperties(const QSize& screen) {
    // What never changes while Qorvel runs is made once; each event shares it until it adds to it.
    static const QVariantMap fixed{{QStringLiteral("ml_lib"), QStringLiteral("osx")},
                                   {QStringLiteral("$os"), QStringLiteral("Linux")},
                                   {QStringLiteral("$os_version"), systemVersion()},
                                   {QStringLiteral("$model"), deviceModel()},
                                   {QStringLiteral("ml_device_model"), deviceModel()}};
    QVariantMap properties = fixed;
    properties.insert(QStringLiteral("$screen_width"), qint64(screen.width()));
    properties.insert(QStringLiteral("$screen_height"), qint64(screen.height()));
    return properties;
}

bool Metricline::assertPropertyTypes(const QVariantMap& properties) {
    for (auto it = properties.cbegin(); it != properties.cend(); ++it) {
        const int type = it.value().typeId();
        switch (type) {
        case QMetaType::QString: case QMetaType::Nullptr: case QMetaType::QVariantList: case QMetaType::QStringList:
        case QMetaType::QVariantMap: case QMetaType::QVariantHash: case QMetaType::QDateTime: case QMetaType::QUrl:
            continue;
        default:
            if (isNumber(type)) continue;
        }
        SystemLog::warning(QStringLiteral("Metricline property values must be NSString, NSNumber, NSNull, NSArray, NSDictionary, "
                                          "NSDate or NSURL. got: %1 %2")
                               .arg(QString::fromLatin1(it.value().typeName() ? it.value().typeName() : "invalid"),
                                    it.value().toString()));
        return false;
    }
    return true;
}

QVariant Metricline::JSONSerializableObjectForObject(const QVariant& object) {
    const int type = object.typeId();
    switch (type) {
    case QMetaType::QString: case QMetaType::Bool: case QMetaType::Nullptr: case QMetaType::LongLong:
        return object;
    case QMetaType::Int: case QMetaType::Long: case QMetaType::Short: case QMetaType::UInt: case QMetaType::UShort:
        return object.toLongLong();
    case QMetaType::ULongLong: case QMetaType::ULong:
        return object.toULongLong() > quint64(std::numeric_limits<qint64>::max()) ? QVariant(object.toDouble())
                                                                                 : QVariant(object.toLongLong());
    case QMetaType::Double: case QMetaType::Float: {
        const double value = object.toDouble();
        return std::isfinite(value) ? QVariant(value) : QVariant::fromValue(nullptr);
    }
    case QMetaType::UnknownType:
        return QVariant::fromValue(nullptr);
    case QMetaType::QByteArray:
        return QString::fromUtf8(object.toByteArray());
    case QMetaType::QVariantList: case QMetaType::QStringList: {
        QVariantList list;
        for (const QVariant& item : object.toList()) list << JSONSerializableObjectForObject(item);
        return list;
    }
    case QMetaType::QVariantMap: case QMetaType::QVariantHash: {
        QVariantMap map;
        if (type == QMetaType::QVariantMap) {
            // Most maps hold only values that stay as they are: those are kept, not rebuilt.
            const QVariantMap source = object.toMap();
            map = source;
            for (auto it = source.cbegin(); it != source.cend(); ++it) {
                const int valueType = it.value().typeId();
                if (valueType == QMetaType::QString || valueType == QMetaType::LongLong || valueType == QMetaType::Bool) continue;
                const QVariant converted = JSONSerializableObjectForObject(it.value());
                if (converted.typeId() != valueType || converted != it.value()) map[it.key()] = converted;
            }
        } else {
            const QVariantHash source = object.toHash();
            for (auto it = source.cbegin(); it != source.cend(); ++it) map.insert(it.key(), JSONSerializableObjectForObject(it.value()));
        }
        return map;
    }
    case QMetaType::QDateTime:
        return object.toDateTime().toUTC().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss"));
    case QMetaType::QUrl:
        return object.toUrl().toString(QUrl::FullyEncoded);
    default: {
        const QString text = object.canConvert<QString>() ? object.toString() : QString::fromLatin1(object.typeName());
        SystemLog::warning(QStringLiteral("Metricline warning: property values should be valid json types. got: %1. coercing to: %2")
                               .arg(QString::fromLatin1(object.typeName()), text));
        return text;
    }
    }
}

QByteArray Metricline::JSONSerializeObject(const QVariant& object) {
    QByteArray out;
    if (!MLCJSONDataSerializer::append(out, JSONSerializableObjectForObject(object))) {
        SystemLog::warning(QStringLiteral("Metricline error encoding api data: nested too deep"));
        return {};
    }
    return out;
}

QByteArray Metricline::encodeAPIData(const QVariantList& batch) {
    const QByteArray json = JSONSerializeObject(batch);
    if (json.isEmpty()) return {};
    return percentEscaped(MLBase64EncodeBytes(json.constData(), json.size(), false));
}

// --- Sending --------------------------------------------------------------------------------------

void Metricline::setFlushInterval(quint64 seconds) {
    _configuration.flushInterval = seconds;
    if (_usable) startFlushTimer();
}

void Metricline::startFlushTimer() {
    stopFlushTimer();
    if (!_usable || _configuration.flushInterval == 0) return;
    _timer.start(std::chrono::seconds(std::min<quint64>(_configuration.flushInterval, 24 * 3600)));
}

void Metricline::stopFlushTimer() { _timer.stop(); }

void Metricline::flush() {
    if (!_usable) return;
    if (_willFlush && !_willFlush(*this)) return;
    flushQueue(_events, Kind::Events);
    flushQueue(_peopleQueue, Kind::People);
}

void Metricline::flushQueue(Queue& queue, Kind kind) {
    if (queue.task || queue.entries.isEmpty()) return;
    const qsizetype count = std::min(queue.entries.size(), batchSize);
    QVariantList batch;
    batch.reserve(count);
    queue.batch.clear();
    for (qsizetype i = 0; i < count; ++i) {
        batch << queue.entries[i].record;
        queue.batch << queue.entries[i].serial;
    }
    QByteArray json;
    if (!MLCJSONDataSerializer::append(json, batch)) {
        SystemLog::warning(QStringLiteral("%1 error encoding api data: nested too deep").arg(description()));
        json.clear();
    }
    const QByteArray data = json.isEmpty() ? QByteArray() : percentEscaped(MLBase64EncodeBytes(json.constData(), json.size(), false));
    MLTransport::Post post;
    post.url = QUrl(_configuration.serverURL + (kind == Kind::Events ? QStringLiteral("/track/") : QStringLiteral("/engage/")));
    post.body = (kind == Kind::Events ? QByteArray("ip=1&data=") : QByteArray("data=")) + data;
    post.acceptGzip = true;
    post.pinnedRootsPemPath = _configuration.pinnedRootsPemPath;
    post.idleTimeoutMs = _configuration.idleTimeoutMs;
    auto flight = std::make_shared<Flight>();
    flight->markPath = QFile::encodeName(newTakenMarkPath(kind));
    flight->mark = PropertyList::toData(toArchive(batch), PlistFormat::Binary);
    post.onStatusLine = [flight](int status) { flight->statusLine(status); };
    queue.flight = flight;
    QPointer<Metricline> self(this);
    const quint64 generation = ++queue.generation;
    queue.task = _configuration.transport->post(post, [self, kind, generation](const MLTransport::Reply& reply) {
        if (self) self->finish(kind, generation, reply);
    });
}

void Metricline::finish(Kind kind, quint64 generation, const MLTransport::Reply& reply) {
    Queue& q = queue(kind);
    if (generation != q.generation || !q.task) return;
    q.task = 0;
    const QList<quint64> batch = std::exchange(q.batch, {});
    const std::shared_ptr<Flight> flight = std::exchange(q.flight, nullptr);
    bool sent = false;
    // The worker's word stands: a 2xx status line it saw was the service taking the batch.
    if (reply.accepted() || (flight && flight->wasTaken())) {
        // The records arrived with the status line; an answer cut or too long after it changes
        // nothing, and sending them again would count them twice.
        sent = true;
        if (reply.failure != MLTransport::Reply::Failure::None)
            SystemLog::warning(QStringLiteral("%1 answer lost after the status %2: %3").arg(description()).arg(reply.status).arg(reply.message));
        else if (reply.status == 200 && integerValue(reply.body) == 0)
            SystemLog::warning(QStringLiteral("%1 %2 api error: %3")
                                   .arg(description(), kind == Kind::Events ? QStringLiteral("track") : QStringLiteral("engage"),
                                        QString::fromUtf8(reply.body.left(256))));
    } else if (reply.failure == MLTransport::Reply::Failure::Cancelled) {
        // Withdrawn by this client (consent, quit): the batch stays, nothing to say.
    } else if (reply.failure != MLTransport::Reply::Failure::None) {
        SystemLog::warning(QStringLiteral("%1 network failure: %2").arg(description(), reply.message));
    } else {
        SystemLog::warning(QStringLiteral("%1 http error: %2").arg(description()).arg(reply.status));
        // The service is down or busy, or the answer took nothing (a redirect handed back, a
        // 304): the batch goes again. A refusal is its answer.
        sent = !(HttpResponse::statusLeftUntaken(reply.status) || reply.status >= 500 || reply.status == 429);
    }
    if (sent) removeBatch(q, batch, flight);
    archiveLater(kind);
}

void Metricline::removeBatch(Queue& queue, const QList<quint64>& batch, const std::shared_ptr<Flight>& flight) {
    // Exactly the records that went out (serials rise along the queue, and so along the batch):
    // an identical record made later stays.
    queue.entries.removeIf([&batch](const Entry& entry) { return std::binary_search(batch.cbegin(), batch.cend(), entry.serial); });
    if (flight && flight->wasTaken()) queue.takenMarks << QFile::decodeName(flight->markPath);
}

QString Metricline::newTakenMarkPath(Kind kind) const {
    return _configuration.archiveFolder + QStringLiteral("/metricline-%1-%2-taken-%3.plist")
                                              .arg(_apiToken, QLatin1String(kindName(kind)), QUuid::createUuid().toString(QUuid::WithoutBraces));
}

void Metricline::cancelFlush() {
    for (Kind kind : {Kind::Events, Kind::People}) {
        Queue& q = queue(kind);
        if (q.task && _configuration.transport) _configuration.transport->cancel(q.task);
        // A batch whose status line came was taken: it leaves as its answer would have made it.
        // One whose line comes only now, before the cancel lands, is marked by the worker and
        // dropped by the next launch.
        if (q.task && q.flight && q.flight->wasTaken()) {
            removeBatch(q, q.batch, q.flight);
            archiveLater(kind);
        }
        q.task = 0;
        ++q.generation;
        q.batch.clear();
        q.flight.reset();
    }
}

void Metricline::stop() {
    if (!_usable) return;
    stopFlushTimer();
    for (Queue* q : {&_events, &_peopleQueue})
        if (q->flight) q->flight->withdraw();
    cancelFlush();
    _archiveTimer.stop();
    _eventsDirty = _peopleDirty = _propertiesDirty = false;
    _events.entries.clear();
    _peopleQueue.entries.clear();
    _events.takenMarks.clear();
    _peopleQueue.takenMarks.clear();
    _people->setUnidentifiedQueue({});
    removeArchives(_apiToken, _configuration.archiveFolder);
    _usable = false;
}

// --- Archives -------------------------------------------------------------------------------------

QString Metricline::filePathForData(Kind kind) const {
    return _configuration.archiveFolder + QStringLiteral("/metricline-%1-%2.plist").arg(_apiToken, QLatin1String(kindName(kind)));
}

void Metricline::archiveLater(Kind kind) {
    if (!_usable) return;
    (kind == Kind::Events ? _eventsDirty : kind == Kind::People ? _peopleDirty : _propertiesDirty) = true;
    if (!_archiveTimer.isActive()) _archiveTimer.start(_configuration.archiveDelayMs);
}

void Metricline::archive() {
    archiveEvents();
    archivePeople();
    archiveProperties();
}

void Metricline::archiveEvents() { writeArchive(Kind::Events); }
void Metricline::archivePeople() { writeArchive(Kind::People); }
void Metricline::archiveProperties() { writeArchive(Kind::Properties); }

void Metricline::writeArchive(Kind kind) {
    if (!_usable) return;
    (kind == Kind::Events ? _eventsDirty : kind == Kind::People ? _peopleDirty : _propertiesDirty) = false;
    QVariant root;
    if (kind == Kind::Properties) {
        QVariantMap properties;
        if (!_distinctId.isEmpty()) properties.insert(QStringLiteral("distinctId"), _distinctId);
        if (!_nameTag.isEmpty()) properties.insert(QStringLiteral("nameTag"), _nameTag);
        properties.insert(QStringLiteral("superProperties"), _superProperties);
        if (!_people->distinctId().isEmpty()) properties.insert(QStringLiteral("peopleDistinctId"), _people->distinctId());
        properties.insert(QStringLiteral("peopleUnidentifiedQueue"), _people->unidentifiedQueue());
        root = properties;
    } else {
        root = records(queue(kind));
    }
    QDir().mkpath(_configuration.archiveFolder);
    QVError error;
    if (!PropertyList::writeFile(toArchive(root), filePathForData(kind), PlistFormat::Binary, &error)) {
        SystemLog::warning(QStringLiteral("%1 unable to archive %2 data: %3")
                               .arg(description(), QLatin1String(kindName(kind)), error.localizedDescription()));
        return;
    }
    if (kind != Kind::Properties) removeFiles(std::exchange(queue(kind).takenMarks, {}));
}

void Metricline::unarchive() {
    unarchiveQueue(Kind::Events);
    unarchiveQueue(Kind::People);
    unarchiveProperties();
}

void Metricline::unarchiveQueue(Kind kind) {
    const QString path = filePathForData(kind);
    const QStringList marks = takenMarksIn(_configuration.archiveFolder, _apiToken, QLatin1String(kindName(kind)));
    if (!QFile::exists(path)) {
        removeFiles(marks);
        return;
    }
    QVError error;
    const QVariant root = PropertyList::readFile(path, &error);
    bool sound = root.typeId() == QMetaType::QVariantList;
    const QVariantList list = root.toList();
    for (qsizetype i = 0; sound && i < list.size(); ++i) sound = isRecord(list[i], kind);
    if (!sound) {
        SystemLog::warning(QStringLiteral("%1 unable to unarchive %2 data, starting fresh").arg(description(), QLatin1String(kindName(kind))));
        QFile::remove(path);
        removeFiles(marks);
        return;
    }
    // What an earlier run saw taken goes no more, though that run ended before its archive said so.
    QVariantList records = list;
    for (const QString& mark : marks) dropTaken(records, PropertyList::readFile(mark).toList());
    Queue& q = queue(kind);
    q.entries.clear();
    for (const QVariant& record : std::as_const(records)) append(q, fromArchive(record).toMap());
    if (marks.isEmpty()) return;
    q.takenMarks = marks;
    writeArchive(kind);
}

void Metricline::unarchiveProperties() {
    const QString path = filePathForData(Kind::Properties);
    if (!QFile::exists(path)) return;
    const QVariant root = PropertyList::readFile(path);
    const QVariantMap map = root.toMap();
    const auto has = [&](const char* key, int type) {
        const QVariant value = map.value(QLatin1String(key));
        return !value.isValid() || value.typeId() == type;
    };
    bool sound = root.typeId() == QMetaType::QVariantMap && has("distinctId", QMetaType::QString) &&
                 has("nameTag", QMetaType::QString) && has("superProperties", QMetaType::QVariantMap) &&
                 has("peopleDistinctId", QMetaType::QString) && has("peopleUnidentifiedQueue", QMetaType::QVariantList);
    for (const QVariant& record : map.value(QStringLiteral("peopleUnidentifiedQueue")).toList())
        sound = sound && isRecord(record, Kind::People);
    if (!sound) {
        SystemLog::warning(QStringLiteral("%1 unable to unarchive properties data, starting fresh").arg(description()));
        QFile::remove(path);
        return;
    }
    // A key that is missing keeps the value the client started with.
    if (map.contains(QStringLiteral("distinctId"))) _distinctId = map.value(QStringLiteral("distinctId")).toString();
    if (map.contains(QStringLiteral("nameTag"))) _nameTag = map.value(QStringLiteral("nameTag")).toString();
    if (map.contains(QStringLiteral("superProperties")))
        _superProperties = fromArchive(map.value(QStringLiteral("superProperties"))).toMap();
    if (map.contains(QStringLiteral("peopleDistinctId"))) _people->setDistinctId(map.value(QStringLiteral("peopleDistinctId")).toString());
    if (map.contains(QStringLiteral("peopleUnidentifiedQueue")))
        _people->setUnidentifiedQueue(fromArchive(map.value(QStringLiteral("peopleUnidentifiedQueue"))).toList());
}

// --- Application state ----------------------------------------------------------------------------

void Metricline::addApplicationObservers() {
    if (auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        connect(gui, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
            if (state == Qt::ApplicationActive) applicationDidBecomeActive();
            else applicationWillResignActive();
        });
    if (QCoreApplication* app = QCoreApplication::instance())
        connect(app, &QCoreApplication::aboutToQuit, this, &Metricline::applicationWillTerminate);
}

// A running timer keeps its countdown: restarting it at every activation would put off the
// flush for as long as the user switches windows more often than the interval.
void Metricline::applicationDidBecomeActive() {
    if (!_timer.isActive()) startFlushTimer();
}

void Metricline::applicationWillResignActive() {
    if (!flushOnInactive) stopFlushTimer();
}

void Metricline::applicationWillTerminate() {
    if (!_usable) return;
    stopFlushTimer();
    // A batch in flight gets a moment to be answered; else it stays in the archive for the next run.
    if (hasRequestInFlight())
        MainQueue::runUntil([this] { return !hasRequestInFlight(); }, std::chrono::milliseconds(_configuration.terminateWaitMs));
    cancelFlush();
    _archiveTimer.stop();
    archive();
}
