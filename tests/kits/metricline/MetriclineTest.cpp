// The analytics client's state machine over a scripted transport: what an event carries, which
// answers keep a batch and which drop it, exact removal, bounded queues, archives that survive
// corruption, consent withdrawn mid-request, refused tokens and endpoints, and people records.
#include "kits/metricline/Metricline.h"
#include "kits/metricline/MetriclinePeople.h"
#include "platform/MainQueue.h"
#include "platform/PropertyList.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestSupport.h"

#include <QColor>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QScreen>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <cmath>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Answers only when the test says so; remembers every request and every cancellation.
class ScriptedTransport : public MLTransport {
public:
    struct Pending {
        quint64 task;
        Post post;
        Callback callback;
    };
    quint64 post(const Post& post, Callback callback) override {
        posts << post;
        pending << Pending{++_last, post, std::move(callback)};
        return _last;
    }
    void cancel(quint64 task) override {
        cancelled << task;
        pending.removeIf([task](const Pending& p) { return p.task == task; });
    }
    void answer(int status, const QByteArray& body = "1", Reply::Failure failure = Reply::Failure::None) {
        ASSERT_FALSE(pending.isEmpty());
        const Pending p = pending.takeFirst();
        Reply reply;
        reply.status = status;
        reply.body = body;
        reply.failure = failure;
        reply.message = QStringLiteral("scripted failure");
        p.callback(reply);
    }
    QList<Post> posts;
    QList<Pending> pending;
    QList<quint64> cancelled;

private:
    quint64 _last = 0;
};

const QString token = QStringLiteral("3a7c9e1f5b2d4068ae91c3f7d5b20e84");

struct Client {
    TestDir dir;
    std::shared_ptr<ScriptedTransport> transport = std::make_shared<ScriptedTransport>();
    std::unique_ptr<Metricline> metricline;

    explicit Client(qsizetype maximum = 5000, const QString& tokenText = token, const QString& url = QStringLiteral("https://127.0.0.1:9/api/")) {
        make(maximum, tokenText, url);
    }
    void make(qsizetype maximum = 5000, const QString& tokenText = token, const QString& url = QStringLiteral("https://127.0.0.1:9/api/")) {
        metricline.reset();
        Metricline::Configuration configuration;
        configuration.serverURL = url;
        configuration.flushInterval = 0;
        configuration.archiveFolder = dir.path();
        configuration.transport = transport;
        configuration.defaultDistinctId = QStringLiteral("machine-id-digest");
        configuration.maximumQueueLength = maximum;
        configuration.terminateWaitMs = 300;
        metricline = std::make_unique<Metricline>(tokenText, configuration);
    }
    Metricline* operator->() { return metricline.get(); }
};

// The records of a request body ("ip=1&data=..." or "data=..."), decoded by Qt's own readers.
QVariantList batchOf(const QByteArray& body) {
    const QByteArray data = body.mid(body.indexOf("data=") + 5);
    const QByteArray json = QByteArray::fromBase64(QByteArray::fromPercentEncoding(data));
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << json.left(200).toStdString();
    return document.array().toVariantList();
}

QStringList names(const QVariantList& records) {
    QStringList list;
    for (const QVariant& record : records) list << record.toMap().value(QStringLiteral("event")).toString();
    return list;
}

QStringList numbered(int from, int to) {
    QStringList list;
    for (int i = from; i < to; ++i) list << QStringLiteral("e%1").arg(i);
    return list;
}

}  // namespace

TEST(Metricline, AnEventCarriesDeviceIdentitySuperAndCallerPropertiesAndRefusedTypesAreDropped) {
    LogCapture log;
    Client client;
    client->registerSuperProperties({{QStringLiteral("app-name"), QStringLiteral("Qorvel")}, {QStringLiteral("n"), 0}});
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    client->track(QStringLiteral("Open"), {{QStringLiteral("n"), 1},
                                           {QStringLiteral("when"), QDateTime(QDate(2014, 3, 1), QTime(12, 0), Qt::UTC)},
                                           {QStringLiteral("link"), QUrl(QStringLiteral("https://h/a b"))},
                                           {QStringLiteral("ratio"), std::nan("")},
                                           {QStringLiteral("text"), QStringLiteral("a&b=c+d \x01")}});
    client->track(QString());
    client->track(QStringLiteral("Bad"), {{QStringLiteral("colour"), QColor(Qt::red)}});
    EXPECT_TRUE(log.containsMatch(QStringLiteral(".*property values must be .*QColor.*")));
    EXPECT_TRUE(log.containsMatch(QStringLiteral(".*track called with empty event parameter. using 'ml_event'")));
    client->flush();
    ASSERT_EQ(client.transport->posts.size(), 1);
    const MLTransport::Post post = client.transport->posts[0];
    EXPECT_EQ(post.url.toString(), QStringLiteral("https://127.0.0.1:9/api/track/"));
    EXPECT_TRUE(post.body.startsWith("ip=1&data="));
    EXPECT_TRUE(post.acceptGzip);
    const QVariantList batch = batchOf(post.body);
    ASSERT_EQ(names(batch), (QStringList{QStringLiteral("Open"), QStringLiteral("ml_event")}));
    const QVariantMap p = batch[0].toMap().value(QStringLiteral("properties")).toMap();
    EXPECT_EQ(p.value(QStringLiteral("token")).toString(), token);
    EXPECT_EQ(p.value(QStringLiteral("distinct_id")).toString(), QStringLiteral("machine-id-digest"));
    EXPECT_GE(p.value(QStringLiteral("time")).toLongLong(), before);
    EXPECT_LE(p.value(QStringLiteral("time")).toLongLong(), QDateTime::currentSecsSinceEpoch());
    EXPECT_EQ(p.value(QStringLiteral("$os")).toString(), QStringLiteral("Linux"));
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d+\\.\\d+\\.\\d+$")).match(p.value(QStringLiteral("$os_version")).toString()).hasMatch());
    EXPECT_EQ(p.value(QStringLiteral("$model")), p.value(QStringLiteral("ml_device_model")));
    EXPECT_FALSE(p.value(QStringLiteral("$model")).toString().isEmpty());
    const QScreen* screen = QGuiApplication::primaryScreen();
    ASSERT_NE(screen, nullptr);
    EXPECT_EQ(p.value(QStringLiteral("$screen_width")).toInt(), screen->geometry().width());
    EXPECT_EQ(p.value(QStringLiteral("$screen_height")).toInt(), screen->geometry().height());
    const QVariantMap wide = Metricline::deviceInfoProperties(QSize(1024, 640));
    EXPECT_EQ(wide.value(QStringLiteral("$screen_width")).toInt(), 1024);
    EXPECT_EQ(wide.value(QStringLiteral("$screen_height")).toInt(), 640);
    EXPECT_EQ(p.value(QStringLiteral("app-name")).toString(), QStringLiteral("Qorvel"));
    EXPECT_EQ(p.value(QStringLiteral("n")).toInt(), 1);  // the caller's value over the super property
    EXPECT_EQ(p.value(QStringLiteral("when")).toString(), QStringLiteral("2014-03-01T12:00:00"));
    EXPECT_EQ(p.value(QStringLiteral("link")).toString(), QStringLiteral("https://h/a%20b"));
    EXPECT_TRUE(p.contains(QStringLiteral("ratio")));
    EXPECT_FALSE(p.value(QStringLiteral("ratio")).isValid() && !p.value(QStringLiteral("ratio")).isNull());
    EXPECT_EQ(p.value(QStringLiteral("text")).toString(), QStringLiteral("a&b=c+d \x01"));
}

TEST(Metricline, OutagesKeepTheBatchAndRefusalsDropIt) {
    struct Case {
        const char* name;
        int status;
        QByteArray body;
        MLTransport::Reply::Failure failure;
        bool kept;
    };
    using F = MLTransport::Reply::Failure;
    const Case cases[] = {
        {"accepted", 200, "1", F::None, false},
        {"accepted with a line feed", 200, "1\n", F::None, false},
        {"refused by the service", 200, "0", F::None, false},
        {"empty answer", 200, "", F::None, false},
        {"server error", 500, "", F::None, true},
        {"unavailable", 503, "down", F::None, true},
        {"too many requests", 429, "", F::None, true},
        {"bad request", 400, "", F::None, false},
        {"not found", 404, "", F::None, false},
        {"timed out", 0, "", F::TimedOut, true},
        {"connection reset", 0, "", F::Transport, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        Client client;
        for (int i = 0; i < 51; ++i) client->track(QStringLiteral("e%1").arg(i));
        client->flush();
        client->flush();  // a second flush while the first is in flight sends nothing
        ASSERT_EQ(client.transport->posts.size(), 1);
        EXPECT_EQ(names(batchOf(client.transport->posts[0].body)), numbered(0, 50));
        client.transport->answer(c.status, c.body, c.failure);
        EXPECT_EQ(names(client->eventsQueue()), c.kept ? numbered(0, 51) : numbered(50, 51));
        if (c.status == 200 && c.body.trimmed() != "1") {
            EXPECT_TRUE(log.containsMatch(QStringLiteral(".* track api error: .*")));
        }
        if (c.status != 200 && c.failure == F::None) {
            EXPECT_TRUE(log.containsMatch(QStringLiteral(".* http error: %1").arg(c.status)));
        }
        // The next flush sends the oldest waiting records.
        client->flush();
        ASSERT_EQ(client.transport->posts.size(), 2);
        EXPECT_EQ(names(batchOf(client.transport->posts[1].body)), c.kept ? numbered(0, 50) : numbered(50, 51));
    }
}

TEST(Metricline, ExactlyTheRecordsSentLeaveTheQueue) {
    Client client;
    // Identical records: one in the batch, one made while it was in flight.
    client->track(QStringLiteral("Same"));
    client->flush();
    client->track(QStringLiteral("Same"));
    const QVariantList queued = client->eventsQueue();
    ASSERT_EQ(queued.size(), 2);
    client.transport->answer(200, "1");
    EXPECT_EQ(names(client->eventsQueue()), QStringList{QStringLiteral("Same")});
    EXPECT_EQ(client->eventsQueue().first(), queued.last());
}

TEST(Metricline, BeyondItsBoundAQueueLosesItsOldestRecordsInMemoryAndInTheArchive) {
    Client client(100);
    for (int i = 0; i < 1000; ++i) client->track(QStringLiteral("e%1").arg(i));
    client->flush();
    client.transport->answer(503, "");
    client->applicationWillTerminate();
    EXPECT_EQ(names(client->eventsQueue()), numbered(900, 1000));
    const QVariantList archived = PropertyList::readFile(client->eventsFilePath()).toList();
    EXPECT_EQ(names(archived), numbered(900, 1000));
}

TEST(Metricline, ArchivesCarryQueuesAndIdentityAcrossRunsAndDamagedOnesAreRemoved) {
    Client client;
    client->registerSuperProperties({{QStringLiteral("app-version"), QStringLiteral("0.1")}, {QStringLiteral("none"), QVariant::fromValue(nullptr)}});
    client->setNameTag(QStringLiteral("tag"));
    client->people().set(QStringLiteral("plan"), QStringLiteral("free"));  // waits for an identity
    client->track(QStringLiteral("Kept"), {{QStringLiteral("nothing"), QVariant::fromValue(nullptr)}});
    client->applicationWillTerminate();
    const QVariantList events = client->eventsQueue();
    client.make();
    EXPECT_EQ(client->eventsQueue(), events);
    EXPECT_EQ(client->nameTag(), QStringLiteral("tag"));
    EXPECT_EQ(client->currentSuperProperties().value(QStringLiteral("app-version")).toString(), QStringLiteral("0.1"));
    EXPECT_EQ(client->currentSuperProperties().value(QStringLiteral("none")).typeId(), QMetaType::Nullptr);
    EXPECT_EQ(client->people().unidentifiedQueue().size(), 1);

    // Damaged archives: each removed and logged, the client starting with fresh values.
    struct Case {
        const char* name;
        Metricline::Kind kind;
        QByteArray bytes;
    };
    const QByteArray wholeEvents = readAll(client->eventsFilePath());
    const Case cases[] = {
        {"corrupt events", Metricline::Kind::Events, "not a plist \x01\x02"},
        {"truncated events", Metricline::Kind::Events, wholeEvents.left(wholeEvents.size() / 2)},
        {"events of the wrong type", Metricline::Kind::Events, PropertyList::toData(QVariantMap{{QStringLiteral("a"), 1}}, PlistFormat::XML)},
        {"records of the wrong shape", Metricline::Kind::Events, PropertyList::toData(QVariantList{QStringLiteral("x")}, PlistFormat::XML)},
        {"people of the wrong type", Metricline::Kind::People, PropertyList::toData(QStringLiteral("x"), PlistFormat::Binary)},
        {"properties of the wrong type", Metricline::Kind::Properties,
         PropertyList::toData(QVariantMap{{QStringLiteral("superProperties"), QStringLiteral("x")}}, PlistFormat::XML)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        QFile file(client->filePathForData(c.kind));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(c.bytes);
        file.close();
        client.make();
        EXPECT_FALSE(QFile::exists(client->filePathForData(c.kind)));
        EXPECT_TRUE(log.containsMatch(QStringLiteral(".* unable to unarchive .* data, starting fresh")));
        EXPECT_EQ(client->distinctId(), QStringLiteral("machine-id-digest"));
        client->applicationWillTerminate();  // writes sound archives for the next case
    }

    // A properties archive without a key keeps the fresh value rather than unsetting it.
    PropertyList::writeFile(QVariantMap{{QStringLiteral("nameTag"), QStringLiteral("t2")}}, client->propertiesFilePath(), PlistFormat::XML);
    client.make();
    EXPECT_EQ(client->nameTag(), QStringLiteral("t2"));
    EXPECT_EQ(client->distinctId(), QStringLiteral("machine-id-digest"));

    // An archive that cannot be written (a folder stands in its place): logged, nothing else happens.
    LogCapture log;
    QFile::remove(client->eventsFilePath());
    ASSERT_TRUE(QDir().mkpath(client->eventsFilePath()));
    client->track(QStringLiteral("Unwritten"));
    client->archive();
    QDir(client->eventsFilePath()).removeRecursively();
    EXPECT_TRUE(log.containsMatch(QStringLiteral(".* unable to archive events data.*")));
    EXPECT_EQ(names(client->eventsQueue()).last(), QStringLiteral("Unwritten"));
}

TEST(Metricline, WithdrawnConsentStopsTheTimerCancelsTheRequestAndDeletesEverything) {
    Client client;
    client->setFlushInterval(1);
    EXPECT_TRUE(client->isFlushTimerActive());
    // Activations more often than the interval do not put the timer's flush off.
    client->track(QStringLiteral("Timed"));
    for (int i = 0; i < 15; ++i) {
        MainQueue::runUntil([] { return false; }, std::chrono::milliseconds(100));
        client->applicationDidBecomeActive();
    }
    ASSERT_EQ(client.transport->posts.size(), 1);
    client.transport->answer(200, "1");
    client->setFlushInterval(60);
    client->applicationWillResignActive();
    EXPECT_TRUE(client->isFlushTimerActive());  // flushOnInactive by default
    client->track(QStringLiteral("Before"));
    client->archive();
    client->flush();
    ASSERT_EQ(client.transport->pending.size(), 1);
    EXPECT_EQ(names(batchOf(client.transport->pending[0].post.body)), QStringList{QStringLiteral("Before")});
    const quint64 inFlight = client.transport->pending[0].task;
    client->stop();
    EXPECT_FALSE(client->isFlushTimerActive());
    EXPECT_EQ(client.transport->cancelled, QList<quint64>{inFlight});
    EXPECT_TRUE(client->eventsQueue().isEmpty());
    for (Metricline::Kind kind : {Metricline::Kind::Events, Metricline::Kind::People, Metricline::Kind::Properties})
        EXPECT_FALSE(QFile::exists(client->filePathForData(kind)));
    client->track(QStringLiteral("After"));
    client->flush();
    client->applicationWillTerminate();
    EXPECT_EQ(client.transport->posts.size(), 2);
    EXPECT_TRUE(QDir(client.dir.path()).isEmpty());
}

TEST(Metricline, ATokenThatIsNotHexadecimalOrNoEndpointRecordsSendsAndWritesNothing) {
    struct Case {
        QString token;
        QString url;
    };
    const Case cases[] = {
        {QStringLiteral("../../evil"), QStringLiteral("https://127.0.0.1:9")},
        {QStringLiteral("ab/cd"), QStringLiteral("https://127.0.0.1:9")},
        {QString(), QStringLiteral("https://127.0.0.1:9")},
        {token, QString()},
        {token, QStringLiteral("not a url")},
        {token, QStringLiteral("file:///tmp/x")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.token.toStdString() + " " + c.url.toStdString());
        Client client(5000, c.token, c.url);
        EXPECT_FALSE(client->isUsable());
        client->track(QStringLiteral("Nothing"));
        client->people().set(QStringLiteral("a"), 1);
        client->flush();
        client->applicationWillTerminate();
        client.metricline.reset();
        EXPECT_TRUE(client.transport->posts.isEmpty());
        EXPECT_TRUE(QDir(client.dir.path()).isEmpty());
        EXPECT_TRUE(QDir(client.dir.path() + QStringLiteral("/../..")).entryList({QStringLiteral("evil*")}).isEmpty());
    }
}

TEST(MetriclinePeople, RecordsWaitForAnIdentityThenGoToEngage) {
    LogCapture log;
    Client client;
    MetriclinePeople& people = client->people();
    people.set(QStringLiteral("plan"), QStringLiteral("pro"));
    people.increment({{QStringLiteral("logins"), QStringLiteral("many")}});  // refused
    EXPECT_TRUE(log.containsMatch(QStringLiteral(".* increment property values should be NSNumber. found: many")));
    client->identify(QString());
    EXPECT_TRUE(client->peopleQueue().isEmpty());
    EXPECT_EQ(people.unidentifiedQueue().size(), 1);
    client->identify(QStringLiteral("user-7"));
    people.trackCharge(5, {{QStringLiteral("$amount"), 7}});
    people.addPushDeviceToken(QByteArray("\x01\xAB", 2));
    people.addPushDeviceToken({});
    people.deleteUser();
    client->flush();
    ASSERT_EQ(client.transport->posts.size(), 1);
    EXPECT_EQ(client.transport->posts[0].url.path(), QStringLiteral("/api/engage/"));
    EXPECT_TRUE(client.transport->posts[0].body.startsWith("data="));
    const QVariantList records = batchOf(client.transport->posts[0].body);
    ASSERT_EQ(records.size(), 4);
    for (const QVariant& record : records) {
        EXPECT_EQ(record.toMap().value(QStringLiteral("$distinct_id")).toString(), QStringLiteral("user-7"));
        EXPECT_EQ(record.toMap().value(QStringLiteral("$token")).toString(), token);
    }
    EXPECT_EQ(records[0].toMap().value(QStringLiteral("$set")).toMap().value(QStringLiteral("plan")).toString(), QStringLiteral("pro"));
    const QVariantMap charge = records[1].toMap().value(QStringLiteral("$append")).toMap().value(QStringLiteral("$transactions")).toMap();
    EXPECT_EQ(charge.value(QStringLiteral("$amount")).toInt(), 7);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d$")).match(charge.value(QStringLiteral("$time")).toString()).hasMatch());
    EXPECT_EQ(records[2].toMap().value(QStringLiteral("$union")).toMap().value(QStringLiteral("$ios_devices")).toList(), QVariantList{QStringLiteral("01ab")});
    EXPECT_TRUE(records[3].toMap().contains(QStringLiteral("$delete")));
}

TEST(Metricline, AnArchiveKilledMidWriteIsTheOldOrTheNewNeverPart) {
    Client client;
    for (int i = 0; i < 3000; ++i) client->track(QStringLiteral("e%1").arg(i), {{QStringLiteral("pad"), QString(40, QLatin1Char('x'))}});
    client->archive();
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Rewrites the archive, a record shorter each time, until killed.
            for (;;) {
                client->track(QStringLiteral("more"));
                client->archiveEvents();
            }
        }
        usleep(useconds_t(40000 + round * 37000));
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        QVError error;
        const QVariant archived = PropertyList::readFile(client->eventsFilePath(), &error);
        ASSERT_EQ(archived.typeId(), QMetaType::QVariantList) << error.localizedDescription().toStdString();
        EXPECT_GE(archived.toList().size(), 3000);
        EXPECT_EQ(names(archived.toList().mid(0, 3)), numbered(0, 3));
    }
}
