// The usage-analytics client: named events stamped with device properties, the project token,
// the time, the anonymous distinct identifier and the super properties wait in a queue, go out in
// batches of at most 50 as Base64 JSON every flushInterval seconds and on flush(), and wait in
// property-list archives in the application-support folder across runs. People-profile records
// (MetriclinePeople) travel the same way on their own queue.
//
// Main thread only: requests answer on the main queue. Nothing leaves the machine without a
// server URL, and a token that is not hexadecimal (it names the archive files) is refused: such a
// client records nothing, sends nothing and writes nothing.
//
// What is kept and what is dropped: a batch leaves its queue when the service took it (200) or
// refused it (another 4xx, or a 200 whose body says 0); it stays for a later flush on 5xx, 429, a
// time-out or a transport failure. Each queue holds at most maximumQueueLength records, the oldest
// going first, so an outage grows neither the queue nor its archive without bound.
//
// A batch counts as taken the moment its 2xx status line arrives, and the HTTP worker marks it so
// on disk right then (a file beside the archives holding its records), since the process may end
// before the answer's turn on the main queue: a later launch drops those records from the archive
// it reads rather than send them twice. The mark goes once an archive without them is written.
#pragma once

#include "kits/metricline/MLTransport.h"

#include <QObject>
#include <QSize>
#include <QString>
#include <QTimer>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <optional>

class MetriclinePeople;

class Metricline : public QObject {
    Q_OBJECT
public:
    struct Configuration {
        QString serverURL;              // the service's base URL, without a trailing slash
        quint64 flushInterval = 60;     // seconds; 0: no timer
        QString archiveFolder;          // empty: Paths::applicationSupport()
        std::shared_ptr<MLTransport> transport;  // empty: MLTransport::http()
        QString pinnedRootsPemPath;     // empty: the system's trusted roots
        std::optional<QString> defaultDistinctId;  // unset: MLDefaultDistinctIdentifier()
        qsizetype maximumQueueLength = 5000;
        int terminateWaitMs = 2000;     // how long quitting waits for a request in flight
        int archiveDelayMs = 1000;      // archives written after a response, coalesced
        int idleTimeoutMs = 30000;      // a request that moves nothing for this long has timed out
    };
    enum class Kind { Events, People, Properties };
    static constexpr qsizetype batchSize = 50;

    Metricline(const QString& token, Configuration configuration, QObject* parent = nullptr);
    ~Metricline() override;

    // The process's client: made once from the token, the URL of Info.plist's (or the user
    // defaults') "QVAnalyticsURL" and an interval of 60; later calls return it unchanged.
    // Nothing is made without a URL or with a token that is not hexadecimal.
    static Metricline* sharedInstanceWithToken(const QString& token);
    // What the shared client is made with besides its token (the address still comes from
    // "QVAnalyticsURL" when this leaves it empty): tests pin a loopback server's roots here.
    static void setSharedConfiguration(Configuration configuration);
    // The shared client, or null after logging a warning when none was made.
    static Metricline* sharedInstance();
    static Metricline* sharedInstanceIfMade();
    // Ends the shared client (after stop(), when consent is withdrawn); a later
    // sharedInstanceWithToken makes a new one.
    static void releaseSharedInstance();
    // Removes the three archives of token (consent withdrawn while no client runs).
    static void removeArchives(const QString& token, const QString& folder = {});
    // Whether token may name archive files: non-empty and hexadecimal.
    static bool isAcceptableToken(const QString& token);

    bool isUsable() const { return _usable; }
    QString apiToken() const { return _apiToken; }
    QString serverURL() const { return _configuration.serverURL; }
    quint64 flushInterval() const { return _configuration.flushInterval; }
    void setFlushInterval(quint64 seconds);
    bool flushOnBackground = true;
    bool flushOnInactive = true;
    bool showNetworkActivityIndicator = true;

    QString distinctId() const { return _distinctId; }
    QString nameTag() const { return _nameTag; }
    void setNameTag(const QString& tag) { _nameTag = tag; }
    MetriclinePeople& people() { return *_people; }
    // Asked before every flush; answering false skips that flush.
    void setWillFlush(std::function<bool(Metricline&)> willFlush) { _willFlush = std::move(willFlush); }

    // Queues an event (an empty name becomes "ml_event"). A property value of a type the service
    // cannot take is logged and the event dropped.
    void track(const QString& event, const QVariantMap& properties = {});
    // Sets the identity of events and of people records; a non-empty one moves the people
    // records that waited for an identity to the people queue.
    void identify(const QString& distinctId);
    void registerSuperProperties(const QVariantMap& properties);
    void registerSuperPropertiesOnce(const QVariantMap& properties);
    // Sets each property that is absent or whose value equals defaultValue.
    void registerSuperPropertiesOnce(const QVariantMap& properties, const QVariant& defaultValue);
    void unregisterSuperProperty(const QString& key);
    void clearSuperProperties();
    QVariantMap currentSuperProperties() const { return _superProperties; }
    // Identity back to the default, name tag, super properties and both queues emptied, archives written.
    void reset();

    // Sends the oldest batch of each queue that has no request in flight.
    void flush();
    void startFlushTimer();
    void stopFlushTimer();
    bool isFlushTimerActive() const { return _timer.isActive(); }
    // Cancels the requests in flight; the queues keep their records.
    void cancelFlush();
    bool hasRequestInFlight() const { return _events.task || _peopleQueue.task; }
    // Consent withdrawn: the timer stops, requests are cancelled, queues emptied and the three
    // archives removed; the client then records nothing until it is made again.
    void stop();

    void archive();
    void archiveEvents();
    void archivePeople();
    void archiveProperties();
    void unarchive();
    QString filePathForData(Kind kind) const;
    QString eventsFilePath() const { return filePathForData(Kind::Events); }
    QString peopleFilePath() const { return filePathForData(Kind::People); }
    QString propertiesFilePath() const { return filePathForData(Kind::Properties); }

    // The records waiting, oldest first.
    QVariantList eventsQueue() const;
    QVariantList peopleQueue() const;
    qsizetype eventsQueueLength() const { return _events.entries.size(); }
    // Called by the people part: a record with its identity, for the people queue.
    void enqueuePeopleRecord(const QVariantMap& record);

    // Application state: active starts the timer when it is not running, inactive stops it unless
    // flushOnInactive;
    // terminating waits a little for a request in flight, then writes the archives.
    void applicationDidBecomeActive();
    void applicationWillResignActive();
    void applicationWillTerminate();

    // The device dictionary of every event, with the primary screen's size (0 without one).
    static QVariantMap deviceInfoProperties();
    static QVariantMap deviceInfoProperties(const QSize& screen);
    static QString deviceModel();     // the machine's hardware name (uname)
    static QString systemVersion();   // the kernel release as "%d.%d.%d"
    static QVariant JSONSerializableObjectForObject(const QVariant& object);
    static QByteArray JSONSerializeObject(const QVariant& object);
    // The batch as JSON, Base64, percent-escaped for a form body.
    static QByteArray encodeAPIData(const QVariantList& batch);
    // Whether every value can be sent; logs the first that cannot.
    static bool assertPropertyTypes(const QVariantMap& properties);
    QString description() const;

private:
    struct Entry {
        quint64 serial;
        QVariantMap record;
    };
    struct Flight;  // what the HTTP worker and the client share of a request in flight
    struct Queue {
        QList<Entry> entries;
        QList<quint64> batch;  // serials of the records in flight
        quint64 task = 0;
        quint64 generation = 0;  // of the request in flight: a late answer to an older one is ignored
        std::shared_ptr<Flight> flight;
        QStringList takenMarks;  // of batches taken and gone from the queue: cleared by the next archive write
    };

    void append(Queue& queue, const QVariantMap& record);
    void flushQueue(Queue& queue, Kind kind);
    void finish(Kind kind, quint64 generation, const MLTransport::Reply& reply);
    void removeBatch(Queue& queue, const QList<quint64>& batch, const std::shared_ptr<Flight>& flight);
    QString newTakenMarkPath(Kind kind) const;
    void archiveLater(Kind kind);
    void writeArchive(Kind kind);
    void unarchiveQueue(Kind kind);
    void unarchiveProperties();
    void addApplicationObservers();
    Queue& queue(Kind kind) { return kind == Kind::Events ? _events : _peopleQueue; }
    static QVariantList records(const Queue& queue);

    QString _apiToken;
    Configuration _configuration;
    bool _usable = false;
    QString _distinctId;
    QString _nameTag;
    QVariantMap _superProperties;
    std::unique_ptr<MetriclinePeople> _people;
    std::function<bool(Metricline&)> _willFlush;
    QTimer _timer;
    QTimer _archiveTimer;
    bool _eventsDirty = false, _peopleDirty = false, _propertiesDirty = false;
    Queue _events, _peopleQueue;
    quint64 _nextSerial = 1;
};
