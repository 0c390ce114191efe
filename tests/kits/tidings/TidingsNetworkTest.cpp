// The analytics pipeline against the scripted HTTPS servers on loopback, counting requests from
// their log: a first launch's packages read back with python, every kind of answer with the
// retries it earns and the package removed after the last, a server that cannot be reached
// keeping the package for a later turn, this run's settings winning over a cached address, a
// package queued twice sent once, consent and addresses that keep everything home, collect-off,
// the previous run's crash, and a writer killed at random points that loses no event it finished.
#include "kits/tidings/TDGEvent.h"
#include "kits/tidings/TDGLogger.h"
#include "kits/tidings/Tidings.h"
#include "platform/AtomicFile.h"
#include "platform/Clock.h"
#include "platform/SystemLog.h"
#include "platform/NotificationCenter.h"
#include "tests/support/CrashThread.h"
#include "tests/support/HttpsPeer.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestSupport.h"
#include "tests/kits/tidings/TidingsTestSupport.h"
#include "kits/trellis/TRLConstants.h"
#include "kits/trellis/TRLSettingsOnboardingManager.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QLocale>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>

using namespace tidings_test;

namespace {

using A = HttpsPeer::Answer;
const QString eventsPath = QStringLiteral("/spi/v2/events");

class TidingsNetworkTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto p = HttpsPeer::fromEnvironment();
        if (!p) GTEST_SKIP() << "needs scripts/https-peer";
        peer = *p;
        if (qEnvironmentVariable("TIDINGS_CHILD_ROOT").isEmpty() && qEnvironmentVariable("TIDINGS_QUIT_ROOT").isEmpty()) {
            ASSERT_TRUE(peer.reset());
        }
        qputenv("AnalyticsEndpointPinnedRoots", peer.rootPem.toLocal8Bit());
        setConsent(true);
        if (qEnvironmentVariableIsSet("TIDINGS_DEBUG")) {
            TDGLogger::sharedLogger().setDebugMode(true);
            SystemLog::setSink([](int, const QString& m) { std::fprintf(stderr, "%s\n", qPrintable(m)); });
        }
        Clock::setSpeed(2000);  // back-off of seconds passes in milliseconds
        static int n = 0;
        root = testSandbox() + QString("/root%1").arg(++n);
    }
    void TearDown() override { Clock::setSpeed(1); }

    QVariantMap settings(QVariantMap analytics = {}, bool withUrl = true) const {
        if (withUrl) analytics.insert("url", peer.url(eventsPath).toString());
        return {{"analytics", analytics}, {"features", QVariantMap{{"collect_analytics", true}}}};
    }
    QString events() const { return root + "/events"; }
    // Waits until no package is left and the servers saw at least min requests.
    bool settle(const std::shared_ptr<TDGTidingsController>& c, int min = 1, int ms = 20000) const {
        const bool done = waitFor([&] { return c->waitUntilIdle(std::chrono::milliseconds(100)) && filesIn(events(), "multipartmime").isEmpty() &&
                                                peer.requests(eventsPath).size() >= min; },
                                  ms);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // a request too many would show by now
        return done;
    }
    // Bodies the servers logged, read back by python.
    QJsonArray received() const {
        QStringList paths;
        int i = 0;
        for (const auto& r : peer.requests(eventsPath)) {
            const QString path = testSandbox() + QString("/body%1").arg(i++);
            QFile f(path);
            if (!f.open(QIODevice::WriteOnly)) continue;
            f.write(r.body);
            paths << path;
        }
        return readPackages(paths);
    }
    HttpsPeer peer;
    QString root;
};

TEST_F(TidingsNetworkTest, FirstLaunchSendsPackagesThatParse) {
    ASSERT_TRUE(peer.script(eventsPath, {A{202, {}, {}}}));
    const bool firstInstall = Trellis::sharedSDK().isFirstInstall();
    auto c = startController(root, "2:beta-token");
    c->initializeSettingsIfNeededWithTrellisSettings(settings());
    c->applicationLifecycleEvent("NSApplicationDidBecomeActiveNotification");  // asks for a flush
    ASSERT_TRUE(settle(c, firstInstall ? 2 : 1));
    const auto requests = peer.requests(eventsPath);
    for (const auto& r : requests) {
        EXPECT_EQ(r.method, "POST");
        EXPECT_EQ(r.header("X-FAULTLINE-API-KEY"), "test-api-key");
        EXPECT_EQ(r.header("User-Agent"), "Tidings Mac SDK/1.3.4");
        EXPECT_EQ(r.header("Content-Length").toLongLong(), r.bodyLength);
        EXPECT_TRUE(r.header("Content-Type").startsWith("multipart/form-data; boundary="));
    }
    QStringList names;
    for (const QJsonValue& package : received()) {
        EXPECT_EQ(package["defects"].toInt(), 0);
        const QJsonArray parts = package["parts"].toArray();
        ASSERT_EQ(parts.size(), 1);
        EXPECT_EQ(parts[0]["type"].toString(), "application/vnd.faultline.mac.events");
        const QJsonArray lines = parts[0]["lines"].toArray();
        ASSERT_GE(lines.size(), 2);
        EXPECT_EQ(lines[0]["name"].toString(), "metadata");
        EXPECT_EQ(lines[0]["payload"]["beta_tester_token"].toString(), "beta-token");
        EXPECT_EQ(lines[0]["payload"]["api_key"].toString(), "test-api-key");
        for (const QJsonValue& l : lines) {
            EXPECT_TRUE(l["ok"].toBool()) << l["name"].toString().toStdString();
            names << l["name"].toString();
        }
    }
    EXPECT_TRUE(names.contains("app_launched"));
    EXPECT_TRUE(names.contains("app_became_active"));
    EXPECT_EQ(names.contains("app_installed"), firstInstall);
    EXPECT_TRUE(filesIn(events(), "gz").isEmpty());
}

TEST_F(TidingsNetworkTest, EveryAnswerEndsWithThePackageGone) {
    const QByteArray date = QLocale::c().toString(QDateTime::currentDateTimeUtc().addSecs(2), "ddd, dd MMM yyyy HH:mm:ss 'GMT'").toLatin1();
    A slow{202};
    slow.delay = 3;  // beyond the one-second upload time-out
    A cut{202, {}, QByteArray(4000, 'c')};
    cut.cut = "body";
    A endless{202, {}, "queued "};
    endless.endless = true;
    A trickling{202, {}, QByteArray(100, 't')};
    trickling.trickle = 0.5;
    struct Case {
        const char* what;
        QList<A> answers;
        int requests;
        HttpsPeer::Server server = HttpsPeer::Trusted;
        bool quit = false;  // then a quit and the next launch, the answer still arriving
    } cases[] = {
        {"untrusted certificate", {A{202}}, 0, HttpsPeer::Untrusted},
        {"accepted without a content type", {A{202}}, 1},
        {"ok with JSON", {A{200, {{"Content-Type", "application/json"}}, "{}"}}, 1},
        {"busy twice", {A{503}, A{503}, A{202}}, 3},
        {"rate-limited, seconds", {A{429, {{"Retry-After", "1"}}}, A{202}}, 2},
        {"busy, HTTP date", {A{503, {{"Retry-After", date}}}, A{202}}, 2},
        {"busy, unreadable hint", {A{503, {{"Retry-After", "soon"}}}, A{202}}, 2},
        {"refused", {A{400}}, 1},
        {"busy forever: eleven retries", {A{503}}, 12},
        {"timed out once", {slow, A{202}}, 2},
        {"accepted, the answer's body cut", {cut}, 1},
        {"accepted, the answer's body endless", {endless}, 1},
        {"accepted, the answer's body trickling, then a quit", {trickling}, 1, HttpsPeer::Trusted, true},
    };
    auto c = startController(root);
    QVariantMap analytics{{"upload_timeout_secs", 1}};
    analytics.insert("url", peer.url(eventsPath, HttpsPeer::Trusted).toString());
    c->initializeSettingsIfNeededWithTrellisSettings(QVariantMap{{"analytics", analytics}});
    ASSERT_TRUE(settle(c, 1));  // the launch's own package, answered by the echo
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        if (k.server != HttpsPeer::Trusted) continue;
        ASSERT_TRUE(peer.reset());
        ASSERT_TRUE(peer.script(eventsPath, k.answers));
        // The answer's body outlasts no time-out of the upload's own: only the user's quit ends it.
        if (k.quit) c->uploader()->setDefaultUploadTimeout(3600);
        c->applicationLifecycleEvent("NSApplicationWillResignActiveNotification");
        EXPECT_TRUE(settle(c, k.requests));
        EXPECT_EQ(peer.requests(eventsPath).size(), k.requests);
        const auto first = peer.requests(eventsPath);
        if (first.size() > 1) {
            EXPECT_EQ(first.first().sha256, first.last().sha256);  // the same package each time
        }
        if (!k.quit) continue;
        c->applicationLifecycleEvent("NSApplicationWillTerminateNotification");
        c->waitUntilIdle(std::chrono::milliseconds(2000));
        c.reset();
        c = startController(root);
        c->initializeSettingsIfNeededWithTrellisSettings(QVariantMap{{"analytics", analytics}});
        EXPECT_TRUE(settle(c, 2));
        // The quit's package and the next launch's went too, and none went twice.
        const auto all = peer.requests(eventsPath);
        QSet<QByteArray> packages;
        for (const auto& r : all) packages.insert(r.sha256);
        EXPECT_EQ(packages.size(), all.size());
    }
}

// The child of the quit test: a flush whose upload the server answers in its own time, then the
// quit as the application makes it, while the event queue is still busy with earlier work, and
// the process ends. What the kit logged goes to the parent on standard output. Or, told to crash,
// the HTTP worker aborts as soon as the package is gone (or a bound passes with it still there),
// the queue still held, so only what the worker did at the status line counts.
TEST_F(TidingsNetworkTest, QuitChild) {
    const QString childRoot = qEnvironmentVariable("TIDINGS_QUIT_ROOT");
    if (childRoot.isEmpty()) GTEST_SKIP() << "runs only as the quit test's child";
    root = childRoot;
    LogCapture log;
    auto c = startController(root);
    c->initializeSettingsIfNeededWithTrellisSettings(settings());
    c->waitUntilIdle(std::chrono::milliseconds(5000));
    c->uploader()->setDefaultUploadTimeout(3600);  // only the quit ends the answer
    c->applicationLifecycleEvent("NSApplicationWillResignActiveNotification");
    waitFor([&] { return !peer.requests(eventsPath).isEmpty(); }, 10000);
    const bool crash = qEnvironmentVariableIsSet("TIDINGS_CRASH");
    c->eventQueue()->async([crash] { std::this_thread::sleep_for(std::chrono::seconds(crash ? 60 : 3)); });
    std::this_thread::sleep_for(std::chrono::milliseconds(qEnvironmentVariableIntValue("TIDINGS_QUIT_AFTER_MS")));
    if (crash) {
        waitFor([&] { return filesIn(events(), "multipartmime").isEmpty(); }, 30000);
        abortOnThreadNamed("QVHttp");
        ::_exit(3);
    }
    c->applicationWillTerminate();
    std::printf("%s\n", qPrintable(log.lines().join('\n')));
    std::fflush(nullptr);
    ::_exit(0);
}

// A quit at each moment of an upload: before its answer (which comes while the quit waits), at
// the status line, with the headers, mid-body, after the answer, and with no answer within the
// quit's bound; and a crash of the HTTP worker right after the status line. The event queue is
// busy all along, so the quit's wait for it runs out first. A package the server took goes once in
// all, the next launch included; one never answered within the bound is said in the log and goes
// again at the next launch.
TEST_F(TidingsNetworkTest, AQuitAtAnyMomentOfAnUploadSendsNothingTwice) {
    const auto quitEnds = TDGTidingsController::quitQueueBound.count();
    auto answer = [](double delay) {
        A a{202, {}, QByteArray(100, 't')};
        a.delay = delay;
        return a;
    };
    A trickling = answer(0.3), cut = answer(quitEnds / 1000.0 + 0.6), done = answer(0);
    trickling.trickle = 0.05;
    cut.cut = QStringLiteral("body");
    struct Row {
        const char* what;
        A answer;
        int quitAfterMs;  // after the server read the upload
        int deliveries;   // of each package the quit's run sent, the next launch's included
        bool unsettled;   // the quit ran out of time and says so
        bool crash = false;  // no quit: the HTTP worker aborts
    } rows[] = {
        {"before the status line, answered while the quit waits", answer(quitEnds / 1000.0 + 0.8), 100, 1, false},
        {"at the status line", answer(0.3), 320, 1, false},
        {"with the headers, the answer cut after them", cut, 100, 1, false},
        {"mid-body", trickling, 900, 1, false},
        {"after the answer", done, 500, 1, false},
        {"no answer within the bound", answer(30), 100, 2, true},
        {"a crash on the HTTP worker right after the status line", trickling, 0, 1, false, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_TRUE(peer.reset());
        ASSERT_TRUE(peer.script(eventsPath, {row.answer}));
        root += "q";
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TIDINGS_QUIT_ROOT", root);
        env.insert("TIDINGS_QUIT_AFTER_MS", QString::number(row.quitAfterMs));
        if (row.crash) env.insert("TIDINGS_CRASH", "1");
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {"--gtest_filter=TidingsNetworkTest.QuitChild"});
        ASSERT_TRUE(child.waitForFinished(60000));
        EXPECT_EQ(child.exitStatus(), row.crash ? QProcess::CrashExit : QProcess::NormalExit);
        if (!row.crash) {
            EXPECT_EQ(child.exitCode(), 0);
        }
        const QByteArray childLog = child.readAllStandardOutput();
        const QByteArray bound = QByteArray::number(qint64(TDGTidingsController::quitUploadBound.count())) + " ms";
        EXPECT_EQ(childLog.contains("not settled within " + bound), row.unsettled) << childLog.toStdString();
        const QList<HttpsPeer::Logged> quitRun = peer.requests(eventsPath);
        ASSERT_GE(quitRun.size(), 1);
        // The next launch, with a server that answers at once.
        ASSERT_TRUE(peer.script(eventsPath, {A{202}}));
        auto c = startController(root);
        c->initializeSettingsIfNeededWithTrellisSettings(settings());
        c->applicationLifecycleEvent("NSApplicationWillResignActiveNotification");
        ASSERT_TRUE(settle(c, quitRun.size() + 1));
        QSet<QByteArray> sentAtQuit;
        for (const auto& r : quitRun) sentAtQuit.insert(r.sha256);
        QMap<QByteArray, int> deliveries;
        QStringList seen;  // what the servers logged, should a count be off
        for (const auto& r : peer.requests(eventsPath)) {
            ++deliveries[r.sha256];
            seen << QString("%1 s, port %2, %3").arg(r.time, 0, 'f', 3).arg(r.clientPort).arg(QString::fromLatin1(r.sha256.left(8)));
        }
        for (auto it = deliveries.begin(); it != deliveries.end(); ++it)
            EXPECT_EQ(it.value(), sentAtQuit.contains(it.key()) ? row.deliveries : 1) << seen.join('\n').toStdString() << '\n' << childLog.toStdString();
    }
}

// A port nobody listens on.
int refusedPort() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost);
    return server.serverPort();
}

TEST_F(TidingsNetworkTest, AnUnreachableServerKeepsThePackageForALaterTurn) {
    TDGLogger::sharedLogger().setDebugMode(true);
    LogCapture log;
    A reset{200};
    reset.cut = "reset";
    struct Case {
        const char* what;
        QUrl url;
        QList<A> answers;
        int tries;          // requests per package that reached the server before it was kept
        bool nextLaunch;    // the later turn: the next launch, with a reachable address; else a later success in this run
    } cases[] = {
        {"connection refused", QUrl(QString("https://127.0.0.1:%1%2").arg(refusedPort()).arg(eventsPath)), {}, 0, true},
        {"untrusted certificate", peer.url(eventsPath, HttpsPeer::Untrusted), {}, 0, true},
        {"reset before any answer, eleven retries", peer.url(eventsPath), {reset}, 12, false},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        ASSERT_TRUE(peer.reset());
        if (!k.answers.isEmpty()) {
            ASSERT_TRUE(peer.script(eventsPath, k.answers));
        }
        root += "u";
        log.clear();
        auto c = startController(root);
        c->initializeSettingsIfNeededWithTrellisSettings(QVariantMap{{"analytics", QVariantMap{{"url", k.url.toString()}}}});
        c->logEvent(std::make_shared<TDGCustomEvent>("kept", TDGAttributes{{"case", k.what}}));
        c->applicationLifecycleEvent("NSApplicationWillResignActiveNotification");
        // Every package of the run (a first install flushes one of its own) kept, none sent.
        ASSERT_TRUE(waitFor([&] {
            const int packages = filesIn(events(), "multipartmime").size();
            return packages > 0 && log.lines().filter("Keeping '").size() == packages && c->waitUntilIdle(std::chrono::milliseconds(100));
        }, 30000)) << log.lines().join('\n').toStdString();
        const int kept = filesIn(events(), "multipartmime").size();
        EXPECT_EQ(peer.requests(eventsPath).size(), k.tries * kept);
        ASSERT_TRUE(peer.script(eventsPath, {A{202}}));
        if (k.nextLaunch) {
            c.reset();
            c = startController(root);
            c->initializeSettingsIfNeededWithTrellisSettings(settings());
        } else {
            c->applicationLifecycleEvent("NSApplicationWillResignActiveNotification");
        }
        ASSERT_TRUE(settle(c, k.tries * kept + kept));
        bool found = false;
        for (const QJsonValue& package : received())
            for (const QJsonValue& l : package["parts"][0]["lines"].toArray())
                if (l["payload"]["custom_attributes"]["case"].toString() == k.what) found = true;
        EXPECT_TRUE(found);
    }
    TDGLogger::sharedLogger().setDebugMode(false);
}

// Redirected uploads: a 301, 302 or 303 would turn the upload into a GET without its package,
// whose answer would then pass for the upload's; a 307 or 308 sends it again as it was; a 300,
// 304 or 305 took nothing either. A
// package that never reached a server that took it is kept, and goes on a later turn: each is
// delivered once (taken with a 2xx), never lost, never twice.
TEST_F(TidingsNetworkTest, ARedirectIsNeverAnAcceptance) {
    TDGLogger::sharedLogger().setDebugMode(true);
    LogCapture log;
    const QString landing = QStringLiteral("/landing");
    auto to = [](int status, const QString& where) { return A{status, {{"Location", where.toUtf8()}}, {}}; };
    QList<QPair<QString, QList<A>>> chain{{eventsPath, {to(307, "/h1")}}};
    for (int i = 1; i <= 5; ++i) chain.append({QString("/h%1").arg(i), {to(307, QString("/h%1").arg(i + 1))}});
    chain.append({"/h6", {A{202}}});
    struct Row {
        const char* what;
        QList<QPair<QString, QList<A>>> scripts;
        int firstDelivered;  // packages taken in the first turn
    } rows[] = {
        {"301", {{eventsPath, {to(301, landing)}}}, 0},
        {"302", {{eventsPath, {to(302, landing)}}}, 0},
        {"303", {{eventsPath, {to(303, landing)}}}, 0},
        {"300", {{eventsPath, {to(300, landing)}}}, 0},
        {"304", {{eventsPath, {A{304}}}}, 0},
        {"305", {{eventsPath, {to(305, landing)}}}, 0},
        {"307", {{eventsPath, {to(307, landing)}}}, 1},
        {"308", {{eventsPath, {to(308, landing)}}}, 1},
        {"a loop", {{eventsPath, {to(307, eventsPath)}}}, 0},
        {"a chain of six hops", chain, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_TRUE(peer.reset());
        ASSERT_TRUE(peer.script(landing, {A{202}}));
        for (const auto& [path, answers] : row.scripts) ASSERT_TRUE(peer.script(path, answers));
        root += "r";
        log.clear();
        auto c = startController(root);
        c->initializeSettingsIfNeededWithTrellisSettings(settings());
        c->logEvent(std::make_shared<TDGCustomEvent>("redirected", TDGAttributes{{"row", row.what}}));
        c->applicationLifecycleEvent("NSApplicationWillResignActiveNotification");
        // First turn: each package either taken at the end of its redirects or kept.
        ASSERT_TRUE(waitFor([&] {
            const int packages = filesIn(events(), "multipartmime").size();
            return !peer.requests(eventsPath).isEmpty() && log.lines().filter("Keeping '").size() == packages &&
                   c->waitUntilIdle(std::chrono::milliseconds(100));
        }, 20000)) << log.lines().join('\n').toStdString();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const QList<HttpsPeer::Logged> first = peer.requests();
        QSet<QByteArray> packages;
        for (const auto& r : first)
            if (r.path == eventsPath) packages.insert(r.sha256);
        auto delivered = [&](const QByteArray& sha, const QList<HttpsPeer::Logged>& requests, bool eventsTakes) {
            int n = 0;
            for (const auto& r : requests)
                if (r.sha256 == sha && r.method == "POST" && (r.path == landing || r.path == "/h6" || (eventsTakes && r.path == eventsPath))) ++n;
            return n;
        };
        int takenFirst = 0;
        for (const QByteArray& sha : packages) takenFirst += delivered(sha, first, false);
        EXPECT_EQ(takenFirst, row.firstDelivered * packages.size());
        // Nothing became a GET.
        for (const auto& r : first) EXPECT_EQ(r.method, "POST") << r.path.toStdString();
        // A later turn: the server takes uploads again; what was kept goes, once.
        ASSERT_TRUE(peer.script(eventsPath, {A{202}}));
        c->applicationLifecycleEvent("NSApplicationWillResignActiveNotification");
        ASSERT_TRUE(settle(c, peer.requests(eventsPath).size() + 1)) << log.lines().join('\n').toStdString();
        const QList<HttpsPeer::Logged> later = peer.requests().mid(first.size());
        for (const QByteArray& sha : packages) EXPECT_EQ(delivered(sha, first, false) + delivered(sha, later, true), 1);
    }
    TDGLogger::sharedLogger().setDebugMode(false);
}

TEST_F(TidingsNetworkTest, TheSettingsOfThisRunWinOverTheAddressAnEarlierRunCached) {
    // Run A: its events stay on disk (no consent), and the address it cached now refuses.
    setConsent(false);
    {
        auto a = startController(root);
        a->initializeSettingsIfNeededWithTrellisSettings(settings());
        a->logEvent(std::make_shared<TDGCustomEvent>("n", TDGAttributes{{"run", "a"}}));
        a->applicationLifecycleEvent("NSApplicationDidBecomeActiveNotification");
        a->waitUntilIdle(std::chrono::milliseconds(5000));
    }
    ASSERT_GE(filesIn(events(), "multipartmime").size(), 1);
    const QString cache = TRLSettingsOnboardingManager::settingsDirectoryPath() + "/settings.json";
    QDir().mkpath(QFileInfo(cache).path());
    auto cacheSettings = [&](const QString& url) {
        ASSERT_TRUE(AtomicFile::write(cache, QJsonDocument::fromVariant(QVariantMap{{"analytics", QVariantMap{{"url", url}}}}).toJson()));
        Trellis::sharedSDK().settingsAndOnboardingManager()->settingsModel().clearSettingsDictionary();
    };
    cacheSettings(QString("https://127.0.0.1:%1%2").arg(refusedPort()).arg(eventsPath));
    // Run B starts on the cached copy, then its own download names the new server.
    setConsent(true);
    ASSERT_TRUE(peer.script(eventsPath, {A{202}}));
    auto b = startController(root);
    b->logEvent(std::make_shared<TDGCustomEvent>("n", TDGAttributes{{"run", "b"}}));
    b->applicationLifecycleEvent("NSApplicationDidBecomeActiveNotification");
    b->waitUntilIdle(std::chrono::milliseconds(5000));
    cacheSettings(peer.url(eventsPath).toString());
    NotificationCenter::defaultCenter().post(QString::fromLatin1(TRLSettingsAvailableNotification));
    EXPECT_TRUE(settle(b, 2));
    QSet<QString> runs;
    for (const QJsonValue& package : received())
        for (const QJsonValue& l : package["parts"][0]["lines"].toArray())
            if (l["name"].toString() == "custom") runs.insert(l["payload"]["custom_attributes"]["run"].toString());
    EXPECT_EQ(runs, (QSet<QString>{"a", "b"}));
    EXPECT_EQ(b->settings().tidingsURL(), peer.url(eventsPath));
    QFile::remove(cache);
    Trellis::sharedSDK().settingsAndOnboardingManager()->settingsModel().clearSettingsDictionary();
}

TEST_F(TidingsNetworkTest, APackageQueuedTwiceIsSentOnce) {
    // A package left by a run without consent.
    setConsent(false);
    {
        auto c = startController(root);
        c->initializeSettingsIfNeededWithTrellisSettings(settings());
        c->applicationLifecycleEvent("NSApplicationDidBecomeActiveNotification");
        c->waitUntilIdle(std::chrono::milliseconds(5000));
    }
    const int packages = filesIn(events(), "multipartmime").size();
    ASSERT_GE(packages, 1);
    EXPECT_TRUE(peer.requests(eventsPath).isEmpty());
    // The next launch finds the settings cached: the clean-up and the settings both queue it.
    setConsent(true);
    ASSERT_TRUE(peer.script(eventsPath, {A{202, {}, {}, false, 0.5}}));
    auto c = TDGTidingsController::make({}, root);
    c->initializeSettingsIfNeededWithTrellisSettings(settings());
    ASSERT_TRUE(settle(c, packages));
    // The installation's flush of this launch adds one of its own.
    EXPECT_EQ(peer.requests(eventsPath).size(), packages + (Trellis::sharedSDK().isFirstInstall() ? 1 : 0));
    QSet<QByteArray> distinct;
    for (const auto& r : peer.requests(eventsPath)) distinct.insert(r.sha256);
    EXPECT_EQ(distinct.size(), peer.requests(eventsPath).size());
}

TEST_F(TidingsNetworkTest, NoConsentOrNoAddressKeepsEverythingHomeAndBounded) {
    struct Case {
        const char* what;
        bool consent;
        bool url;
    } cases[] = {{"no consent", false, true}, {"no address", true, false}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        setConsent(k.consent);
        root += "x";
        auto c = startController(root);
        c->initializeSettingsIfNeededWithTrellisSettings(settings({}, k.url));
        for (int i = 0; i < 3; ++i) c->applicationLifecycleEvent("NSApplicationDidBecomeActiveNotification");
        c->waitUntilIdle(std::chrono::milliseconds(5000));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(filesIn(events(), "multipartmime").size(), 4);  // the launch's and three flushes
    }
    EXPECT_TRUE(peer.requests(eventsPath).isEmpty());
    // Many runs later: the start prunes to the limit, newest kept.
    const QString package = filesIn(events(), "multipartmime").first();
    for (int i = 0; i < 120; ++i) QFile::copy(package, events() + QString("/copy%1.multipartmime").arg(i));
    setConsent(false);
    auto c = startController(root);
    EXPECT_EQ(filesIn(events(), "multipartmime").size(), 100 + (Trellis::sharedSDK().isFirstInstall() ? 1 : 0));
}

TEST_F(TidingsNetworkTest, SettingsLateTwiceOrCollectOff) {
    // Late settings through the kits' core: the cached file and its notification; a second
    // notification with other settings changes nothing.
    auto c = startController(root);
    for (const char* name : {"stray.txt", "OLD.log", "OLD.gz"}) {
        QFile f(events() + "/" + name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("1\tx\t2\t{}\n");
    }
    const QString cache = TRLSettingsOnboardingManager::settingsDirectoryPath() + "/settings.json";
    QDir().mkpath(QFileInfo(cache).path());
    const QVariantMap off{{"features", QVariantMap{{"collect_analytics", "0"}}}, {"analytics", QVariantMap{{"url", peer.url(eventsPath).toString()}}}};
    ASSERT_TRUE(AtomicFile::write(cache, QJsonDocument::fromVariant(off).toJson()));
    Trellis::sharedSDK().settingsAndOnboardingManager()->settingsModel().clearSettingsDictionary();
    NotificationCenter::defaultCenter().post(QString::fromLatin1(TRLSettingsAvailableNotification));
    c->waitUntilIdle(std::chrono::milliseconds(5000));
    EXPECT_TRUE(filesIn(events()).isEmpty());
    ASSERT_TRUE(AtomicFile::write(cache, QJsonDocument::fromVariant(settings()).toJson()));
    Trellis::sharedSDK().settingsAndOnboardingManager()->settingsModel().clearSettingsDictionary();
    NotificationCenter::defaultCenter().post(QString::fromLatin1(TRLSettingsAvailableNotification));
    c->logEvent(std::make_shared<TDGCustomEvent>("dropped", TDGAttributes{}));
    c->applicationLifecycleEvent("NSApplicationDidBecomeActiveNotification");
    c->waitUntilIdle(std::chrono::milliseconds(5000));
    EXPECT_TRUE(filesIn(events()).isEmpty());
    EXPECT_FALSE(c->settings().shouldCollectAnalytics());
    EXPECT_TRUE(peer.requests(eventsPath).isEmpty());
    QFile::remove(cache);
    Trellis::sharedSDK().settingsAndOnboardingManager()->settingsModel().clearSettingsDictionary();
}

TEST_F(TidingsNetworkTest, ThePreviousRunsCrashCarriesItsMetadata) {
    QDir().mkpath(root);
    QFile f(root + "/crash_metadata");
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(R"({"generator":"Tidings Mac SDK/1.3.4","session_id":"crashed-run","started_at":5})");
    f.close();
    auto c = startController(root);
    c->initializeSettingsIfNeededWithTrellisSettings(settings());
    c->logCrashEvent(std::make_shared<TDGCrashEvent>(1700000000.25, 1));
    ASSERT_TRUE(settle(c, 2));
    bool found = false;
    for (const QJsonValue& package : received()) {
        const QJsonArray lines = package["parts"][0]["lines"].toArray();
        if (lines.last()["name"].toString() != "app_crashed") continue;
        found = true;
        ASSERT_EQ(lines.size(), 2);
        EXPECT_EQ(lines[0]["payload"]["session_id"].toString(), "crashed-run");
        EXPECT_EQ(lines[1]["ms"].toDouble(), 1700000000250.0);
        EXPECT_EQ(lines[1]["payload"]["crash_state"].toString(), "foreground");
    }
    EXPECT_TRUE(found);
    // This run's metadata replaced the crashed run's.
    EXPECT_NE(QJsonDocument::fromJson(readAll(root + "/crash_metadata"))["session_id"].toString(), "crashed-run");
}

// The child of the kill test: logs numbered events with flushes, no consent (so everything stays
// on disk), and prints each number once its line is written.
TEST_F(TidingsNetworkTest, KillChild) {
    const QString childRoot = qEnvironmentVariable("TIDINGS_CHILD_ROOT");
    if (childRoot.isEmpty()) GTEST_SKIP() << "runs only as the kill test's child";
    setConsent(false);
    auto c = startController(childRoot);
    c->initializeSettingsIfNeededWithTrellisSettings(settings({{"max_byte_size_per_file", 600}}));
    for (int i = 0;; ++i) {
        c->logEvent(std::make_shared<TDGCustomEvent>("n", TDGAttributes{{"i", i}}));
        if (i % 7 == 0) c->applicationLifecycleEvent("NSApplicationDidBecomeActiveNotification");
        c->waitUntilIdle(std::chrono::milliseconds(5000));
        std::printf("%d\n", i);
        std::fflush(stdout);
    }
}

// The child of the batch kill test: its start-up pass takes the logs planted in its root as one
// batch; it says when it starts and when the batch is through.
TEST_F(TidingsNetworkTest, BatchKillChild) {
    const QString childRoot = qEnvironmentVariable("TIDINGS_BATCH_ROOT");
    if (childRoot.isEmpty()) GTEST_SKIP() << "runs only as the batch kill test's child";
    setConsent(false);
    std::printf("start\n");
    std::fflush(stdout);
    auto c = startController(childRoot);
    c->waitUntilIdle(std::chrono::seconds(60));
    std::printf("done\n");
    std::fflush(stdout);
}

// A run killed anywhere in a batch of leftovers leaves no stage's output under its name unless
// it is whole, and no input gone before its output is: the next start sends every event.
TEST_F(TidingsNetworkTest, KilledInABatchLosesNoEvent) {
    ASSERT_TRUE(peer.script(eventsPath, {A{202}}));
    const int logs = 90, perLog = 4;  // fewer than the packages a start keeps
    qint64 batchMs = 0;
    int cutShort = 0;
    // Ten rounds, and more (up to thirty) until a kill has landed inside a batch: on a loaded
    // machine the first batch's time says little of the next ones'.
    for (int round = 0; round < 10 || (cutShort == 0 && round < 30); ++round) {
        plantLogs(events(), logs, perLog);
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TIDINGS_BATCH_ROOT", root);
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {"--gtest_filter=TidingsNetworkTest.BatchKillChild"});
        ASSERT_TRUE(child.waitForStarted());
        QByteArray out;
        while (!out.contains("start\n") && child.waitForReadyRead(10000)) out += child.readAllStandardOutput();
        QElapsedTimer started;
        started.start();
        if (round == 0) {
            // The first batch runs through, to learn how long one takes; the others are killed
            // at a random point of theirs.
            while (!out.contains("done\n") && child.waitForReadyRead(60000)) out += child.readAllStandardOutput();
            ASSERT_TRUE(out.contains("done\n"));
            batchMs = std::max<qint64>(started.elapsed(), 1);
            child.waitForFinished();
        } else {
            // Every other round within the batch's first half, where most of its work lies.
            const qint64 span = round % 2 ? batchMs * 1000 : batchMs * 500;
            std::this_thread::sleep_for(std::chrono::microseconds(QRandomGenerator::global()->bounded(std::max<qint64>(span, 1))));
            ::kill(pid_t(child.processId()), SIGKILL);
            child.waitForFinished();
            out += child.readAllStandardOutput();
            if (!out.contains("done\n") && filesIn(events(), "multipartmime").size() < logs) ++cutShort;
        }
        auto c = startController(root);
        c->initializeSettingsIfNeededWithTrellisSettings(settings());
        ASSERT_TRUE(settle(c, 1, 60000)) << "round " << round;
        const QJsonArray packages = received();
        for (const QJsonValue& package : packages) EXPECT_EQ(package["defects"].toInt(), 0) << "round " << round;
        const QSet<int> seen = customEventsIn(packages);
        for (int i = 0; i < logs * perLog; ++i) EXPECT_TRUE(seen.contains(i)) << "round " << round << " lost event " << i;
        c.reset();
        ASSERT_TRUE(peer.reset());
        ASSERT_TRUE(peer.script(eventsPath, {A{202}}));
        QDir(root).removeRecursively();
    }
    // Most kills land inside the batch; one that never did would have tested nothing.
    EXPECT_GT(cutShort, 0);
}

TEST_F(TidingsNetworkTest, KilledAtRandomPointsLosesNoWrittenEvent) {
    ASSERT_TRUE(peer.script(eventsPath, {A{202}}));
    int lastWritten = -1;
    for (int round = 0; round < 6; ++round) {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TIDINGS_CHILD_ROOT", root);
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {"--gtest_filter=TidingsNetworkTest.KillChild"});
        ASSERT_TRUE(child.waitForStarted());
        QByteArray out;
        const int at = 30 + QRandomGenerator::global()->bounded(60);
        while (out.count('\n') < at && child.waitForReadyRead(10000)) out += child.readAllStandardOutput();
        std::this_thread::sleep_for(std::chrono::microseconds(QRandomGenerator::global()->bounded(3000)));
        ::kill(pid_t(child.processId()), SIGKILL);
        child.waitForFinished();
        out += child.readAllStandardOutput();
        for (const QByteArray& line : out.split('\n'))
            if (!line.isEmpty() && line.front() >= '0' && line.front() <= '9') lastWritten = std::max(lastWritten, line.toInt());
        ASSERT_GT(lastWritten, 0) << "round " << round;
        // Each child numbers from 0 again: check this round's events arrive, then start over.
        auto c = startController(root);
        c->initializeSettingsIfNeededWithTrellisSettings(settings());
        c->applicationLifecycleEvent("NSApplicationDidBecomeActiveNotification");
        ASSERT_TRUE(settle(c, 1));
        QSet<int> seen;
        for (const QJsonValue& package : received())
            for (const QJsonValue& l : package["parts"][0]["lines"].toArray()) {
                EXPECT_TRUE(l["ok"].toBool());
                if (l["name"].toString() == "custom") seen.insert(l["payload"]["custom_attributes"]["i"].toInt());
            }
        for (int i = 0; i <= lastWritten; ++i) EXPECT_TRUE(seen.contains(i)) << "round " << round << " lost event " << i;
        c.reset();
        ASSERT_TRUE(peer.reset());
        ASSERT_TRUE(peer.script(eventsPath, {A{202}}));
        QDir(root).removeRecursively();
        lastWritten = -1;
    }
}

}  // namespace
