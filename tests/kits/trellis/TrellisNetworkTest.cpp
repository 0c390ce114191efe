// The kits' network side against scripted HTTPS servers on loopback, counting requests from the
// servers' log: retries and back-off, pinning, the consent gate, the session's live tasks, and the
// launch conversation (settings, create, update) with its cache on disk.
#include "platform/Clock.h"
#include "platform/MainQueue.h"
#include "platform/Paths.h"
#include "platform/NotificationCenter.h"
#include "platform/UserDefaults.h"
#include "tests/support/HttpsPeer.h"
#include "tests/support/TestSupport.h"
#include "kits/trellis/TRLConstants.h"
#include "kits/trellis/TRLHelpers.h"
#include "kits/trellis/TRLNetworkClient.h"
#include "kits/trellis/TRLSettingsOnboardingManager.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <future>

namespace {

using A = HttpsPeer::Answer;
const HttpHeaders json = {{"Content-Type", "application/json; charset=utf-8"}};

void setConsent(bool allowed) {
    UserDefaults::standard().setBool(allowed, "qvAnonymousUsageTracking");
}

class TrellisNetworkTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto p = HttpsPeer::fromEnvironment();
        if (!p) GTEST_SKIP() << "needs scripts/https-peer";
        peer = *p;
        // A child of the kill test answers the script its parent set up.
        if (qEnvironmentVariable("QORVEL_TRELLIS_CHILD").isEmpty()) {
            ASSERT_TRUE(peer.reset());
        }
        setConsent(true);
        Clock::setSpeed(2000);  // back-off of seconds passes in milliseconds
    }
    void TearDown() override { Clock::setSpeed(1); }

    HttpRequest jsonRequest(const QString& path) const {
        HttpRequest r;
        r.url = peer.url(path);
        r.idleTimeoutMs = 3000;
        r.headers = {{"Accept", "application/json"}, {"Accept-Charset", "utf-8"}};
        return r;
    }
    struct Outcome {
        QByteArray data;
        HttpResponse response;
        QVError error;
    };
    static Outcome run(TRLNetworkClient& client, const HttpRequest& r, int limit) {
        auto promise = std::make_shared<std::promise<Outcome>>();
        auto future = promise->get_future();
        client.startDataTaskWithRequest(r, limit, 0, [promise](const QByteArray& d, const HttpResponse& resp, const QVError& e) {
            promise->set_value({d, resp, e});
        });
        if (future.wait_for(std::chrono::seconds(20)) != std::future_status::ready) return {{}, {}, QVError::make("test", 99, "no answer")};
        return future.get();
    }
    HttpsPeer peer;
};

TEST_F(TrellisNetworkTest, RetriesBackOffAndFailuresCountedFromTheLog) {
    auto client = TRLNetworkClient::make(nullptr, peer.rootPem.isEmpty() ? QByteArray() : readAll(peer.rootPem));
    const QByteArray ok = R"({"ok":true})";
    const QByteArray date = QLocale::c().toString(QDateTime::currentDateTimeUtc().addSecs(3), "ddd, dd MMM yyyy HH:mm:ss 'GMT'").toLatin1();
    A stalled{200, json, ok};
    stalled.stall = true;
    stalled.stallFor = 5;
    A before, reset;
    before.cut = "before";
    reset.cut = "reset";
    struct Row {
        const char* path;
        QList<A> answers;
        int limit;
        int requests;
        qint64 errorCode;  // 0: success
        int status;
    } rows[] = {
        {"/always503", {A{503, {}, {}}}, 1, 2, -6, 0},
        {"/seconds", {A{503, {{"Retry-After", "1"}}, {}}, A{200, json, ok}}, 3, 2, 0, 200},
        {"/date", {A{429, {{"Retry-After", date}}, {}}, A{200, json, ok}}, 3, 2, 0, 200},
        {"/zero", {A{503, {{"Retry-After", "0"}}, {}}, A{200, json, ok}}, 3, 2, 0, 200},
        {"/negative", {A{420, {{"Retry-After", "-5"}}, {}}, A{200, json, ok}}, 3, 2, 0, 200},
        {"/garbage", {A{503, {{"Retry-After", "soon"}}, {}}, A{200, json, ok}}, 3, 2, 0, 200},
        {"/huge", {A{503, {{"Retry-After", "999999999999"}}, {}}, A{200, json, ok}}, 3, 2, 0, 200},
        {"/unrecoverable", {A{401, json, {}}}, 3, 1, -5, 401},
        {"/wrongtype", {A{200, {{"Content-Type", "text/html"}}, "<p>"}}, 3, 1, -4, 200},
        {"/notype", {A{200, {}, ok}}, 3, 1, -4, 200},
        {"/stall", {stalled}, 1, 2, -6, 0},
        {"/noanswer", {before}, 3, 1, -1, 0},
        {"/reset", {reset}, 3, 1, -1, 0},
    };
    for (const Row& row : rows) {
        ASSERT_TRUE(peer.script(row.path, row.answers));
        HttpRequest r = jsonRequest(row.path);
        if (QByteArray(row.path) == "/stall") r.idleTimeoutMs = 400;
        const Outcome o = run(*client, r, row.limit);
        EXPECT_EQ(peer.requests(row.path).size(), row.requests) << row.path;
        EXPECT_EQ(o.error.code(), row.errorCode) << row.path << " " << o.error.localizedDescription().toStdString();
        EXPECT_EQ(o.response.status, row.status) << row.path;
        if (row.errorCode == 0) {
            EXPECT_EQ(o.data, ok) << row.path;
        }
    }
}

TEST_F(TrellisNetworkTest, PinningDebugModeAndTheConsentGate) {
    std::atomic<bool> debug{false};
    auto builtIn = TRLNetworkClient::make(nullptr, TRLCertificatePinner::pinnedCertificates());
    builtIn->setDebugModeProvider([&] { return debug.load(); });
    auto ours = TRLNetworkClient::make(nullptr, readAll(peer.rootPem));
    auto none = TRLNetworkClient::make(nullptr, QByteArray());
    ASSERT_TRUE(peer.script("/p", {A{200, json, "{}"}}));
    struct Row {
        const char* what;
        TRLNetworkClient* client;
        bool debugMode;
        HttpsPeer::Server server;
        QString ownRoots;
        bool accepted;
    } rows[] = {
        {"built-in roots refuse the test root", builtIn.get(), false, HttpsPeer::Trusted, {}, false},
        {"debug mode uses the system's roots, which refuse it too", builtIn.get(), true, HttpsPeer::Trusted, {}, false},
        {"debug mode still refuses a self-signed leaf", builtIn.get(), true, HttpsPeer::Untrusted, {}, false},
        {"debug mode still refuses an expired leaf", builtIn.get(), true, HttpsPeer::Expired, peer.rootPem, false},
        {"debug mode still refuses a wrong host", builtIn.get(), true, HttpsPeer::WrongHost, peer.rootPem, false},
        {"the endpoint's own roots", builtIn.get(), false, HttpsPeer::Trusted, peer.rootPem, true},
        {"the test root pinned", ours.get(), false, HttpsPeer::Trusted, {}, true},
        {"the test root pinned, expired leaf", ours.get(), false, HttpsPeer::Expired, {}, false},
        {"an empty pinned set trusts nobody", none.get(), false, HttpsPeer::Trusted, {}, false},
    };
    for (const Row& row : rows) {
        debug = row.debugMode;
        HttpRequest r = jsonRequest("/p");
        r.url = peer.url("/p", row.server);
        r.pinnedRootsPemPath = row.ownRoots;
        const Outcome o = run(*row.client, r, 0);
        EXPECT_EQ(!o.error, row.accepted) << row.what << ": " << o.error.localizedDescription().toStdString();
    }
    EXPECT_EQ(peer.requests("/p").size(), 2);

    // Without consent nothing leaves, whatever the endpoint.
    ASSERT_TRUE(peer.reset());
    setConsent(false);
    const Outcome refused = run(*ours, jsonRequest("/p"), 3);
    EXPECT_TRUE(refused.error);
    EXPECT_TRUE(peer.requests().isEmpty());
}

class Recorder : public FLTURLSessionDelegate {
public:
    void URLSessionDownloadTaskDidFinishDownloadingToURL(FLTURLSession&, FLTURLSessionTask&, const QString& file) override {
        downloaded = readAll(file);
        path = file;
    }
    void URLSessionTaskDidCompleteWithError(FLTURLSession&, FLTURLSessionTask& task, const QVError& e) override {
        completed.push_back(task.taskDescription());
        errors.push_back(e);
        ++finished;
    }
    // Written on the session's delegate queue; the main thread waits on the count, then reads the
    // rest once that queue is idle.
    QByteArray downloaded;
    QString path;
    std::vector<QString> completed;
    std::vector<QVError> errors;
    std::atomic<int> finished{0};
};

TEST_F(TrellisNetworkTest, SessionReportsLiveTasksAndRemovesDownloads) {
    auto recorder = std::make_shared<Recorder>();
    auto config = FLTURLSessionConfiguration::defaultSessionConfiguration();
    config->HTTPAdditionalHeaders = {{"X-Kit", "b"}};
    EXPECT_FALSE(FLTURLSessionConfiguration::backgroundSessionConfigurationWithIdentifier("x"));
    auto session = FLTURLSession::sessionWithConfiguration(config, recorder);
    A stalled{200, {}, QByteArray(1000, 's')};
    stalled.stall = true;
    stalled.stallFor = 5;
    ASSERT_TRUE(peer.script("/stall", {stalled}));
    ASSERT_TRUE(peer.script("/file", {A{200, {}, "payload"}}));
    ASSERT_TRUE(peer.script("/broken", {A{200, {}, QByteArray(100000, 'b'), false, 0, false, 30, "body"}}));

    HttpRequest up;
    up.url = peer.url("/stall");
    up.pinnedRootsPemPath = peer.rootPem;
    up.headers = {{"X-Kit", "a"}};
    TestDir dir;
    auto upload = session->uploadTaskWithRequest(up, dir.write("body", "upload body"));
    upload->setTaskDescription("upload");
    upload->resume();
    auto live = std::make_shared<std::promise<int>>();
    session->getTasksWithCompletionHandler([live](auto data, auto uploads, auto downloads) { live->set_value(int(data.size() * 100 + uploads.size() * 10 + downloads.size())); });
    EXPECT_EQ(live->get_future().get(), 10);

    HttpRequest down = up;
    down.url = peer.url("/file");
    auto task = session->downloadTaskWithRequest(down);
    task->setTaskDescription("download");
    task->resume();
    HttpRequest broken = up;
    broken.url = peer.url("/broken");
    auto failed = session->downloadTaskWithRequest(broken);
    failed->setTaskDescription("broken");
    failed->resume();
    ASSERT_TRUE(MainQueue::runUntil([&] { return recorder->finished.load() >= 2; }, std::chrono::seconds(10)));
    session->delegateQueue()->waitUntilAllOperationsAreFinished(std::chrono::seconds(5));
    EXPECT_EQ(recorder->downloaded, "payload");
    EXPECT_FALSE(QFile::exists(recorder->path));
    const QStringList leftovers = QDir(Paths::temporary()).entryList({QString(TRLKitPrefix) + "*"});
    EXPECT_TRUE(leftovers.isEmpty()) << leftovers.join(' ').toStdString();
    // The stalled upload reaches the server in its own time (on a busy machine, after the others).
    ASSERT_TRUE(MainQueue::runUntil([&] { return peer.requests("/stall").size() == 1; }, std::chrono::seconds(30)));
    upload->cancel();
    ASSERT_TRUE(peer.requests("/stall").size() == 1);
    EXPECT_EQ(peer.requests("/stall")[0].header("X-Kit"), "a,b");
    EXPECT_EQ(peer.requests("/stall")[0].body, "upload body");
    auto after = std::make_shared<std::promise<int>>();
    session->getTasksWithCompletionHandler([after](auto d, auto u, auto w) { after->set_value(int(d.size() + u.size() + w.size())); });
    EXPECT_EQ(after->get_future().get(), 0);
    session->invalidateAndCancel();
    EXPECT_FALSE(session->dataTaskWithRequest(up));
}

// The launch conversation, run in this process or (for the kill test) in a child.
class Launch {
public:
    Launch(const HttpsPeer& peer, bool configure = true) {
        TRLSetInfoDictionary(QVariantMap{{"CFBundleIdentifier", "com.qorvel.Qorvel"}, {"CFBundleVersion", "5"}, {"CFBundleShortVersionString", "0.5"}});
        qputenv("SettingsEndpoint", QStringLiteral("https://127.0.0.1:%1").arg(peer.port()).toUtf8());
        qputenv("SettingsEndpointPinnedRoots", peer.rootPem.toUtf8());
        qputenv("ConfigureEndpoint", configure ? QStringLiteral("https://127.0.0.1:%1").arg(peer.port()).toUtf8() : QByteArray());
        qputenv("ConfigureEndpointPinnedRoots", peer.rootPem.toUtf8());
        model = TRLApplicationIdentiferModel::makeForExecutable("install-1", "/proc/self/exe");
        token = NotificationCenter::defaultCenter().addObserver(TRLSettingsAvailableNotification, nullptr, [this](const Notification&) { ++notified; });
    }
    ~Launch() {
        NotificationCenter::defaultCenter().removeObserver(token);
        TRLSetInfoDictionary(std::nullopt);
    }
    bool run() {
        auto manager = TRLSettingsOnboardingManager::make(model, {});
        auto done = std::make_shared<std::promise<void>>();
        manager->setFinishedHandler([done] { done->set_value(); });
        manager->beginSettingsAndOnboardingOperationsWithAPIKey("key-1", {{"com.example.Faultline", "2.0"}});
        settingsPath = manager->settingsPath();
        return done->get_future().wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    }
    std::shared_ptr<TRLApplicationIdentiferModel> model;
    NotificationCenter::Token token;
    std::atomic<int> notified{0};
    QString settingsPath;
};

QString settingsPathOnServer() { return "/spi/v2/platforms/mac/apps/com.qorvel.Qorvel/settings"; }

TEST_F(TrellisNetworkTest, LaunchConversationsAndTheirRequestSequences) {
    const QByteArray known = R"({"app":{"status":"activated"},"features":{}})", fresh = R"({"app":{"status":"new"}})",
                     update = R"({"app":{"status":"activated","update_required":true}})";
    A endless{200, json, R"({"app":{"status":"activated"},"padding":")"};
    endless.endless = true;
    // The same server under another name, which its certificate also carries.
    const A away{302, {{"Location", QStringLiteral("https://localhost:%1/elsewhere").arg(peer.port()).toLatin1()}}, {}};
    struct Row {
        const char* what;
        QList<A> settings;
        bool consent;
        bool configure;
        QStringList sequence;  // method and path of every request, in order
        int notifications;
        QByteArray cached;
    } rows[] = {
        {"known application", {A{200, json, known}}, true, true, {"GET settings"}, 1, known},
        {"new application", {A{200, json, fresh}, A{200, json, known}}, true, true, {"GET settings", "POST apps", "GET settings"}, 1, known},
        {"update required", {A{200, json, update}}, true, true, {"GET settings", "PUT apps/com.qorvel.Qorvel"}, 1, update},
        {"new application, no configure endpoint", {A{200, json, fresh}}, true, false, {"GET settings"}, 1, fresh},
        {"no consent", {A{200, json, known}}, false, true, {}, 0, "previous"},
        {"wrong content type keeps the cache", {A{200, {{"Content-Type", "text/html"}}, "<html>"}}, true, true, {"GET settings"}, 0, "previous"},
        {"failed download keeps the cache", {A{500, {}, {}}}, true, true, {"GET settings", "GET settings"}, 0, "previous"},
        {"an endless body is cut off and keeps the cache", {endless}, true, true, {"GET settings"}, 0, "previous"},
        {"a redirect to another host is not followed", {away}, true, true, {"GET settings"}, 0, "previous"},
    };
    for (const Row& row : rows) {
        ASSERT_TRUE(peer.reset());
        ASSERT_TRUE(peer.script(settingsPathOnServer(), row.settings));
        ASSERT_TRUE(peer.script("/spi/v1/platforms/mac/apps", {A{201, {}, {}}}));
        ASSERT_TRUE(peer.script("/spi/v1/platforms/mac/apps/com.qorvel.Qorvel", {A{200, {}, {}}}));
        setConsent(row.consent);
        Launch launch(peer, row.configure);
        const QString folder = TRLSettingsOnboardingManager::settingsDirectoryPath();
        QDir().mkpath(folder);
        QFile previous(folder + "/settings.json");
        ASSERT_TRUE(previous.open(QIODevice::WriteOnly));
        previous.write("previous");
        previous.close();
        const QString neighbour = folder + "/report-store-file";
        QFile(neighbour).open(QIODevice::WriteOnly);
        // No row waits out a time-out: a request that did is asked again, and its sequence says so.
        ASSERT_TRUE(launch.run()) << row.what;
        QStringList sequence;
        for (const auto& r : peer.requests()) {
            const QString path = r.path.section('?', 0, 0);
            sequence << QString(r.method) + " " + (path == settingsPathOnServer() ? "settings" : path.mid(QString("/spi/v1/platforms/mac/").size()));
        }
        EXPECT_EQ(sequence, row.sequence) << row.what;
        EXPECT_EQ(launch.notified.load(), row.notifications) << row.what;
        EXPECT_EQ(readAll(folder + "/settings.json"), row.cached) << row.what;
        EXPECT_TRUE(QFile::exists(neighbour)) << row.what << ": the settings folder lost a file";
        // The session removes a download just after its handler returned, so a moment later.
        EXPECT_TRUE(MainQueue::runUntil([&] { return QDir(folder).entryList(QDir::Files | QDir::Hidden).size() == 2; }, std::chrono::seconds(2)))
            << row.what << ": a partial download was left: " << QDir(folder).entryList(QDir::Files | QDir::Hidden).join(" ").toStdString();
        for (const auto& r : peer.requests())
            EXPECT_TRUE(r.header("Host").startsWith("127.0.0.1:")) << row.what << ": the kit's headers went to " << r.header("Host").constData();
        EXPECT_EQ(QFile(folder + "/settings.json").permissions() & QFileDevice::ReadOther, QFileDevice::Permissions()) << row.what;
        const auto requests = peer.requests();
        if (requests.isEmpty()) continue;
        const auto& first = requests[0];
        EXPECT_EQ(first.header("X-Faultline-API-Key"), "key-1");
        EXPECT_EQ(first.header("X-Faultline-Installation-ID"), "install-1");
        EXPECT_EQ(first.header("Accept"), "application/json");
        EXPECT_TRUE(first.path.contains("instance=" + launch.model->instanceIdentifier())) << first.path.toStdString();
        for (const auto& r : requests) {
            if (r.method == "GET") continue;
            EXPECT_TRUE(r.header("Content-Type").startsWith("multipart/form-data; boundary="));
            EXPECT_EQ(r.header("Content-Length").toLongLong(), r.bodyLength);
            EXPECT_TRUE(r.body.contains("name=\"app[build][libraries][com.example.Faultline]\"\r\nContent-Type: text/plain\r\n\r\n2.0\r\n"));
            EXPECT_TRUE(r.body.contains("name=\"app[slices][][uuid]\""));
            EXPECT_FALSE(r.body.contains("app[icon]"));
        }
    }
}

// The child half of the kill test: downloads settings until it is killed.
TEST_F(TrellisNetworkTest, ChildDownloadsSettings) {
    if (qEnvironmentVariable("QORVEL_TRELLIS_CHILD") != "download") GTEST_SKIP() << "run by the kill test";
    qputenv("XDG_CACHE_HOME", qgetenv("QORVEL_TRELLIS_CACHE"));  // the parent's, not this run's sandbox
    Launch launch(peer);
    launch.run();
}

TEST_F(TrellisNetworkTest, KilledMidDownloadTheCacheIsOldOrNew) {
    if (qEnvironmentVariable("QORVEL_TRELLIS_CHILD") == "download") GTEST_SKIP();
    A stalled{200, json, QByteArray(R"({"app":{"status":"activated"},"padding":")") + QByteArray(200000, 'p') + "\"}"};
    stalled.stall = true;
    stalled.stallFor = 20;
    ASSERT_TRUE(peer.script(settingsPathOnServer(), {stalled}));
    TRLSetInfoDictionary(QVariantMap{{"CFBundleIdentifier", "com.qorvel.Qorvel"}});
    const QString folder = TRLSettingsOnboardingManager::settingsDirectoryPath();
    TRLSetInfoDictionary(std::nullopt);
    QDir().mkpath(folder);
    QFile old(folder + "/settings.json");
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write(R"({"app":{"status":"old"}})");
    old.close();

    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QORVEL_TRELLIS_CHILD", "download");
    env.insert("QORVEL_TRELLIS_CACHE", qEnvironmentVariable("XDG_CACHE_HOME"));
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), {"--gtest_filter=TrellisNetworkTest.ChildDownloadsSettings"});
    ASSERT_TRUE(child.waitForStarted());
    ASSERT_TRUE(MainQueue::runUntil([&] { return peer.requests(settingsPathOnServer()).size() == 1; }, std::chrono::seconds(20)));
    QThread::msleep(300);  // half the body is in the partial file by now
    const QStringList partial = QDir(folder).entryList({".settings-*"}, QDir::Files | QDir::Hidden);
    ::kill(pid_t(child.processId()), SIGKILL);
    child.waitForFinished();
    ASSERT_EQ(partial.size(), 1) << "the child's download never started";
    EXPECT_GT(QFileInfo(folder + "/" + partial[0]).size(), 0);
    EXPECT_EQ(readAll(folder + "/settings.json"), R"({"app":{"status":"old"}})");

    // The next launch clears the leftover and replaces the cache whole.
    ASSERT_TRUE(peer.script(settingsPathOnServer(), {A{200, json, R"({"app":{"status":"activated"}})"}}));
    Launch launch(peer);
    ASSERT_TRUE(launch.run());
    EXPECT_EQ(readAll(folder + "/settings.json"), R"({"app":{"status":"activated"}})");
    EXPECT_TRUE(QDir(folder).entryList({".settings-*"}, QDir::Files | QDir::Hidden).isEmpty());
}

}  // namespace
