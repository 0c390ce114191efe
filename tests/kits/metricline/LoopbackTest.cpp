// The analytics and stat clients against scripted HTTPS servers on loopback (scripts/https-peer):
// what the service's answers do to a batch, an outage of a thousand events, consent withdrawn
// mid-request, quitting or crashing with a batch in flight, and the stat service's escaped forms.
// Bodies are decoded by python, independently of the client's own encoders.
#include "kits/metricline/Metricline.h"
#include "platform/MainQueue.h"
#include "platform/PropertyList.h"
#include "kits/tallypost/TallyPost.h"
#include "tests/support/CrashThread.h"
#include "tests/support/HttpsPeer.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

#include <thread>

namespace {

const QString token = QStringLiteral("3a7c9e1f5b2d4068ae91c3f7d5b20e84");

HttpsPeer peer() {
    const std::optional<HttpsPeer> found = HttpsPeer::fromEnvironment();
    if (!found) ADD_FAILURE() << "run under scripts/https-peer: no HTTPS peer in the environment";
    return found.value_or(HttpsPeer());
}

std::unique_ptr<Metricline> client(const HttpsPeer& servers, const QString& folder, HttpsPeer::Server server = HttpsPeer::Trusted,
                                   int terminateWaitMs = 2000) {
    Metricline::Configuration configuration;
    configuration.serverURL = servers.url(QStringLiteral("/api"), server).toString();
    configuration.flushInterval = 0;
    configuration.archiveFolder = folder;
    configuration.pinnedRootsPemPath = servers.rootPem;
    configuration.defaultDistinctId = QStringLiteral("machine");
    configuration.idleTimeoutMs = 1500;
    configuration.terminateWaitMs = terminateWaitMs;
    return std::make_unique<Metricline>(token, configuration);
}

bool settle(Metricline& metricline) {
    return MainQueue::runUntil([&] { return !metricline.hasRequestInFlight(); }, std::chrono::seconds(20));
}

// The event names of each form body, decoded by python: the "data" field, Base64, JSON.
QList<QStringList> pythonNames(const QList<HttpsPeer::Logged>& requests) {
    QByteArrayList bodies;
    for (const HttpsPeer::Logged& request : requests) bodies << request.body;
    QProcess python;
    python.start(QStringLiteral("python3"),
                 {QStringLiteral("-c"), QStringLiteral("import sys,json,base64,urllib.parse\n"
                                                       "for line in sys.stdin.read().split('\\n'):\n"
                                                       " form=urllib.parse.parse_qs(line,strict_parsing=True)\n"
                                                       " records=json.loads(base64.b64decode(form['data'][0],validate=True))\n"
                                                       " print('|'.join(r['event'] for r in records))\n")});
    python.write(bodies.join('\n'));
    python.closeWriteChannel();
    python.waitForFinished(30000);
    EXPECT_EQ(python.exitCode(), 0) << python.readAllStandardError().toStdString();
    QList<QStringList> names;
    for (const QByteArray& line : python.readAllStandardOutput().split('\n'))
        if (!line.isEmpty()) names << QString::fromUtf8(line).split(QLatin1Char('|'));
    return names;
}

}  // namespace

TEST(MetriclineLoopback, TheServiceAnswersDecideWhetherABatchIsKept) {
    const HttpsPeer servers = peer();
    struct Case {
        const char* name;
        HttpsPeer::Answer answer;
        HttpsPeer::Server server;
        bool kept;
    };
    auto answer = [](int status, QByteArray body) {
        HttpsPeer::Answer a;
        a.status = status;
        a.body = std::move(body);
        return a;
    };
    HttpsPeer::Answer gzipped = answer(200, "1"), stalled = answer(200, "1\n1\n1\n1\n"), reset = answer(200, "1"), closed = answer(200, "1");
    gzipped.gzip = true;
    stalled.stall = true;
    stalled.stallFor = 4;
    // Accepted with the status line; what follows is lost: the records must not go twice.
    HttpsPeer::Answer cutAccepted = answer(200, QByteArray(4000, '1'));
    cutAccepted.cut = QStringLiteral("body");
    const HttpsPeer::Answer overCap = answer(200, QByteArray(1024 * 1024 + 1, '1'));
    reset.cut = QStringLiteral("reset");
    closed.cut = QStringLiteral("before");
    const Case cases[] = {
        {"accepted", answer(200, "1"), HttpsPeer::Trusted, false},
        {"accepted, gzip", gzipped, HttpsPeer::Trusted, false},
        {"refused", answer(200, "0"), HttpsPeer::Trusted, false},
        {"empty", answer(200, ""), HttpsPeer::Trusted, false},
        {"500", answer(500, "oops"), HttpsPeer::Trusted, true},
        {"503", answer(503, ""), HttpsPeer::Trusted, true},
        {"429", answer(429, ""), HttpsPeer::Trusted, true},
        {"404", answer(404, ""), HttpsPeer::Trusted, false},
        // Answers that took nothing: the records are still the service's to get.
        {"300", answer(300, ""), HttpsPeer::Trusted, true},
        {"304", answer(304, ""), HttpsPeer::Trusted, true},
        {"305", answer(305, ""), HttpsPeer::Trusted, true},
        {"accepted, the answer stalled", stalled, HttpsPeer::Trusted, false},
        {"accepted, the answer cut", cutAccepted, HttpsPeer::Trusted, false},
        {"accepted, the answer over the 1 MiB cap", overCap, HttpsPeer::Trusted, false},
        {"reset", reset, HttpsPeer::Trusted, true},
        {"closed unanswered", closed, HttpsPeer::Trusted, true},
        {"untrusted certificate", answer(200, "1"), HttpsPeer::Untrusted, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(servers.reset());
        ASSERT_TRUE(servers.script(QStringLiteral("/api/track/"), {c.answer}));
        TestDir dir;
        auto metricline = client(servers, dir.path(), c.server);
        for (int i = 0; i < 3; ++i) metricline->track(QStringLiteral("e%1").arg(i));
        metricline->flush();
        ASSERT_TRUE(settle(*metricline));
        EXPECT_EQ(metricline->eventsQueue().size(), c.kept ? 3 : 0);
        if (c.server == HttpsPeer::Trusted) {
            const QList<HttpsPeer::Logged> logged = servers.requests(QStringLiteral("/api/track/"));
            // A connection closed before any answer may be tried again by the engine; an answered one never.
            const bool unanswered = c.answer.cut == QLatin1String("reset") || c.answer.cut == QLatin1String("before");
            ASSERT_EQ(logged.size(), unanswered ? logged.size() : 1);
            ASSERT_FALSE(logged.isEmpty());
            EXPECT_EQ(logged[0].method, QByteArray("POST"));
            EXPECT_EQ(logged[0].header("Accept-Encoding"), QByteArray("gzip"));
            EXPECT_TRUE(logged[0].body.startsWith("ip=1&data="));
            EXPECT_EQ(pythonNames(logged.mid(0, 1)), (QList<QStringList>{{QStringLiteral("e0"), QStringLiteral("e1"), QStringLiteral("e2")}}));
        } else {
            EXPECT_TRUE(servers.requests().isEmpty());
        }
    }
}

TEST(MetriclineLoopback, AThousandEventsOutlastAnOutageAndArriveOnceEachInOrder) {
    const HttpsPeer servers = peer();
    ASSERT_TRUE(servers.reset());
    HttpsPeer::Answer down, up;
    down.status = 503;
    up.body = "1";
    ASSERT_TRUE(servers.script(QStringLiteral("/api/track/"), {down, down, down, up}));
    TestDir dir;
    auto metricline = client(servers, dir.path());
    QStringList tracked;
    for (int i = 0; i < 1000; ++i) {
        tracked << QStringLiteral("e%1").arg(i);
        metricline->track(tracked.last());
        if (i % 400 == 0) {
            metricline->flush();
            ASSERT_TRUE(settle(*metricline));
        }
    }
    ASSERT_EQ(metricline->eventsQueue().size(), 1000);
    while (!metricline->eventsQueue().isEmpty()) {
        metricline->flush();
        ASSERT_TRUE(settle(*metricline));
    }
    const QList<QStringList> batches = pythonNames(servers.requests(QStringLiteral("/api/track/")));
    ASSERT_EQ(batches.size(), 3 + 20);
    QStringList arrived;
    for (qsizetype i = 3; i < batches.size(); ++i) arrived << batches[i];
    EXPECT_EQ(arrived, tracked);
}

TEST(MetriclineLoopback, WithdrawnConsentMidRequestLeavesNothingBehind) {
    const HttpsPeer servers = peer();
    ASSERT_TRUE(servers.reset());
    HttpsPeer::Answer slow;
    slow.body = "1";
    slow.delay = 1.0;
    ASSERT_TRUE(servers.script(QStringLiteral("/api/track/"), {slow}));
    TestDir dir;
    auto metricline = client(servers, dir.path());
    metricline->track(QStringLiteral("Before"));
    metricline->archive();
    metricline->flush();
    MainQueue::runUntil([] { return false; }, std::chrono::milliseconds(300));
    metricline->stop();
    metricline->track(QStringLiteral("After"));
    metricline->flush();
    MainQueue::runUntil([] { return false; }, std::chrono::milliseconds(1500));
    metricline->applicationWillTerminate();
    EXPECT_EQ(servers.requests(QStringLiteral("/api/track/")).size(), 1);
    EXPECT_TRUE(QDir(dir.path()).isEmpty());
}

// The last batch in flight at a quit, answered within the quit's wait or not (or only its status
// line), or when the HTTP worker aborts right after the status line (a child's, whose main queue
// never gets the answer). The next run sends what is left: a batch the service took goes once in
// all.
TEST(MetriclineLoopback, AQuitOrACrashSendsTheLastBatchOnce) {
    const HttpsPeer servers = peer();
    if (const QString folder = qEnvironmentVariable("METRICLINE_CRASH_FOLDER"); !folder.isEmpty()) {
        // The child: the batch an earlier run archived goes out, and one more event is archived
        // behind it; only the worker can mark the batch taken.
        auto metricline = client(servers, folder);
        metricline->flush();
        metricline->track(QStringLiteral("Later"));
        metricline->archive();
        const auto bound = std::chrono::steady_clock::now() + std::chrono::milliseconds(30000);
        while (QDir(folder).entryList({QStringLiteral("*-taken-*.plist")}).isEmpty() && std::chrono::steady_clock::now() < bound)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        abortOnThreadNamed("QVHttp");
        ::_exit(3);
    }
    struct Row {
        const char* what;
        HttpsPeer::Answer answer;
        bool crash;
        QStringList archived;       // after the quit
        QList<QStringList> sends;  // in all, the next run's included
    };
    auto answer = [](double delay, double trickle = 0) {
        HttpsPeer::Answer a;
        a.body = "1" + QByteArray(99, ' ');
        a.delay = delay;
        a.trickle = trickle;
        return a;
    };
    const QStringList quit{QStringLiteral("App Quit")};
    const Row rows[] = {
        {"answered within the quit's wait", answer(0.2), false, {}, {quit}},
        {"not answered within it", answer(3.0), false, quit, {quit, quit}},
        {"its status line within the wait, its body not", answer(0.2, 0.05), false, {}, {quit}},
        {"the HTTP worker crashes right after the status line", answer(0, 0.05), true, {}, {quit, {QStringLiteral("Later")}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_TRUE(servers.reset());
        ASSERT_TRUE(servers.script(QStringLiteral("/api/track/"), {row.answer}));
        TestDir dir;
        auto metricline = client(servers, dir.path(), HttpsPeer::Trusted, 1000);
        metricline->track(QStringLiteral("App Quit"));
        if (row.crash) {
            metricline->archive();
            metricline.reset();
            QProcess child;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("METRICLINE_CRASH_FOLDER"), dir.path());
            child.setProcessEnvironment(env);
            child.start(QStringLiteral("/proc/self/exe"), {QStringLiteral("--gtest_filter=MetriclineLoopback.AQuitOrACrashSendsTheLastBatchOnce")});
            ASSERT_TRUE(child.waitForFinished(60000));
            EXPECT_EQ(child.exitStatus(), QProcess::CrashExit);
        } else {
            metricline->flush();
            metricline->applicationWillTerminate();
            metricline.reset();
            QStringList archived;
            for (const QVariant& record : PropertyList::readFile(dir.file(QStringLiteral("metricline-%1-events.plist").arg(token))).toList())
                archived << record.toMap().value(QStringLiteral("event")).toString();
            EXPECT_EQ(archived, row.archived);
        }
        // The next run sends what the last one kept.
        ASSERT_TRUE(servers.script(QStringLiteral("/api/track/"), {HttpsPeer::Answer{200, {}, "1"}}));
        metricline = client(servers, dir.path());
        metricline->flush();
        ASSERT_TRUE(settle(*metricline));
        EXPECT_TRUE(metricline->eventsQueue().isEmpty());
        EXPECT_EQ(pythonNames(servers.requests(QStringLiteral("/api/track/"))), row.sends);
        // No mark outlives the archive that no longer holds its batch.
        metricline.reset();
        EXPECT_TRUE(QDir(dir.path()).entryList({QStringLiteral("*-taken-*")}, QDir::Files | QDir::Hidden).isEmpty());
    }
}

namespace {

struct Outcome : TallyPostDelegate {
    int finished = 0, failed = 0;
    QString response;
    QVError error;
    void tallyPostPostFinished(TallyPost&, const QString& text) override {
        ++finished;
        response = text;
    }
    void tallyPostPostError(TallyPost&, const QVError& e) override {
        ++failed;
        error = e;
    }
};

}  // namespace

TEST(TallyPostLoopback, FormsAreEscapedAndOnlyA2xxAnswerIsSuccess) {
    const HttpsPeer servers = peer();
    struct Case {
        const char* name;
        int status;
        QString cut;
        bool success;
    };
    const Case cases[] = {
        {"ok", 200, {}, true},
        {"created", 201, {}, true},
        {"server error", 500, {}, false},
        {"not found", 404, {}, false},
        {"reset", 200, QStringLiteral("reset"), false},
    };
    const QString stat = QStringLiteral("Qorvel: app_start & more+1 é");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(servers.reset());
        HttpsPeer::Answer answer;
        answer.status = c.status;
        answer.body = "answer text";
        answer.cut = c.cut;
        ASSERT_TRUE(servers.script(QStringLiteral("/stat/ez"), {answer}));
        TallyPost::setDefaultConfiguration({servers.url(QStringLiteral("/stat/")).toString(), nullptr, servers.rootPem});
        auto outcome = std::make_shared<Outcome>();
        TallyPost::postQuickStatCount(stat, 1, QStringLiteral("maker@example.org"), outcome);
        ASSERT_TRUE(MainQueue::runUntil([&] { return outcome->finished + outcome->failed > 0; }, std::chrono::seconds(20)));
        EXPECT_EQ(outcome->finished, c.success ? 1 : 0);
        EXPECT_EQ(outcome->failed, c.success ? 0 : 1);
        if (c.success) {
            EXPECT_EQ(outcome->response, QStringLiteral("answer text"));
        } else if (c.cut.isEmpty()) {
            EXPECT_EQ(outcome->error.code(), c.status);
        }
        // A reset on a kept-alive connection may be tried once more on a fresh one.
        const QList<HttpsPeer::Logged> logged = servers.requests(QStringLiteral("/stat/ez"));
        ASSERT_FALSE(logged.isEmpty());
        if (c.cut.isEmpty()) {
            EXPECT_EQ(logged.size(), 1);
        }
        for (const HttpsPeer::Logged& request : logged)
            EXPECT_EQ(request.body, QByteArray("ezkey=maker%40example.org&stat=Qorvel%3A%20app_start%20%26%20more%2B1%20%C3%A9&count=1"));
    }
    // Without an address nothing is sent and the delegate hears why.
    ASSERT_TRUE(servers.reset());
    TallyPost::setDefaultConfiguration({});
    auto outcome = std::make_shared<Outcome>();
    TallyPost post(TallyPost::Configuration{});
    post.setDelegate(outcome);
    post.postStatKeyValue(QStringLiteral("k"), 2.5, QStringLiteral("u"));
    EXPECT_EQ(outcome->failed, 1);
    EXPECT_TRUE(servers.requests().isEmpty());
}
