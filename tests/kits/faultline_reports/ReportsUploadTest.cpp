// The upload road against scripted HTTPS servers on loopback, counted from their log: every
// success status removes the package after one request, busy and rate-limited answers are tried
// again after a floored and clamped delay a bounded number of times, unrecoverable answers,
// refused certificates, no consent and no endpoint keep it. Real crashes of every kind travel
// to the server once and parse there; the permission alert's answers decide the run's reports.
#include "kits/faultline/FLTRecordReader.h"
#include "kits/faultline/reports/FLTBetaController.h"
#include "kits/faultline/reports/FLTCrashReportingController.h"
#include "kits/faultline/reports/FLTFileManager.h"
#include "kits/faultline/reports/FLTPermissionAlert.h"
#include "platform/Clock.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/OperationQueue.h"
#include "platform/Paths.h"
#include "platform/UserDefaults.h"
#include "tests/kits/faultline_reports/ReportsSupport.h"
#include "tests/support/CrashThread.h"
#include "tests/support/HttpsPeer.h"
#include "tests/support/TestSupport.h"
#include "tests/support/XvfbDisplay.h"
#include "kits/trellis/TRLConstants.h"
#include "kits/trellis/TRLHelpers.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QMessageBox>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <functional>

using namespace reports_test;
using A = HttpsPeer::Answer;

namespace {

const QString kReportsPath = QStringLiteral("/sdk-api/v1/platforms/mac/apps/com.qorvel.Qorvel/reports");

void setConsent(bool allowed) { UserDefaults::standard().setBool(allowed, "qvAnonymousUsageTracking"); }

QString writeFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    f.open(QIODevice::WriteOnly | QIODevice::Truncate);
    f.write(bytes);
    return path;
}

// A small report of an earlier run in the store's active folder.
QString makeReport(const FLTFileManager& store, const QString& id) {
    const QString folder = store.activePath() + QLatin1Char('/') + id;
    writeFile(folder + QStringLiteral("/metadata.fltrecord"), QStringLiteral("{\"identity\":{\"session_id\":\"%1\",\"api_key\":\"k1\"}}\n").arg(id).toUtf8());
    writeFile(folder + QStringLiteral("/signal.fltrecord"), "{\"signal\":{\"time\":5}}\n");
    return folder;
}

bool waitFor(const std::function<bool()>& done, int ms) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms) return false;
        MainQueue::drain();
        QThread::msleep(20);
    }
    return true;
}

class ReportsUploadTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto p = HttpsPeer::fromEnvironment();
        if (!p) GTEST_SKIP() << "needs scripts/https-peer";
        peer = *p;
        // A child of the kill tests answers the script its parent set up.
        if (qEnvironmentVariable("QORVEL_REPORTS_CHILD_ROOT").isEmpty() && qEnvironmentVariable("QORVEL_REPORTS_URGENT_ROOT").isEmpty()) {
            ASSERT_TRUE(peer.reset());
        }
        setConsent(true);
        Clock::setSpeed(2000);  // delays of seconds and minutes pass in milliseconds
        configure(peer.port(HttpsPeer::Trusted));
    }
    void TearDown() override {
        Clock::setSpeed(1);
        TRLSetInfoDictionary(std::nullopt);
        FLTCrashReportingController::setAlertPresenter({});
    }
    void configure(int port) {
        QVariantMap faultline{{"ReportsEndpointPinnedRoots", peer.rootPem}};
        if (port) faultline.insert("ReportsEndpoint", QStringLiteral("https://127.0.0.1:%1").arg(port));
        TRLSetInfoDictionary(QVariantMap{{"CFBundleIdentifier", "com.qorvel.Qorvel"}, {"Faultline", faultline}});
    }
    // A launched Qorvel's: offscreen, its folders under `home`, reporting to the trusted peer.
    QProcessEnvironment qorvelEnvironment(const TestDir& runtime, const TestDir& home) const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("XDG_RUNTIME_DIR", runtime.path());
        env.insert("XDG_CACHE_HOME", home.file(QStringLiteral("cache")));
        env.insert("XDG_CONFIG_HOME", home.file(QStringLiteral("config")));
        env.insert("XDG_DATA_HOME", home.file(QStringLiteral("data")));
        env.insert("FaultlineReportsEndpoint", QStringLiteral("https://127.0.0.1:%1").arg(peer.port()));
        env.insert("FaultlineReportsEndpointPinnedRoots", peer.rootPem);
        return env;
    }
    HttpsPeer peer;
};

}  // namespace

TEST_F(ReportsUploadTest, EachAnswerKeepsOrRemovesThePackage) {
    const QByteArray later = QLocale::c().toString(QDateTime::currentDateTimeUtc().addSecs(3), "ddd, dd MMM yyyy HH:mm:ss 'GMT'").toLatin1();
    const HttpHeaders json = {{"Content-Type", "application/json"}};
    const int forever = (1 + FLTNetworkClient::maximumRestarts) * (1 + FLTCrashReportingController::maximumRetries);
    // Accepted, then the answer's body is lost: the status line said all that matters.
    A cutAccepted{202, json, QByteArray(4000, 'q')};
    cutAccepted.cut = "body";
    A endlessAccepted{202, json, "queued "};
    endlessAccepted.endless = true;
    // Accepted, and the answer's body still arrives when the user quits.
    A tricklingAccepted{202, json, QByteArray(100, 'q')};
    tricklingAccepted.trickle = 0.5;
    struct Row {
        const char* what;
        QList<A> answers;
        int requests;
        bool removed;
        int port = -1;  // -1: the trusted server; 0: no endpoint
        bool consent = true;
        bool quit = false;  // a quit, then the next launch, with the answer still arriving
    };
    const Row rows[] = {
        {"200 with JSON", {A{200, json, "{}"}}, 1, true},
        {"201 with plain text", {A{201, {{"Content-Type", "text/plain"}}, "ok"}}, 1, true},
        {"202 with HTML", {A{202, {{"Content-Type", "text/html"}}, "<p>queued</p>"}}, 1, true},
        {"204 without a body", {A{204, {}, {}}}, 1, true},
        {"202 whose body is cut", {cutAccepted}, 1, true},
        {"202 whose body never ends", {endlessAccepted}, 1, true},
        {"202 whose body trickles, then a quit", {tricklingAccepted}, 1, true, -1, true, true},
        {"503 Retry-After 0, then 200", {A{503, {{"Retry-After", "0"}}, {}}, A{200, json, "{}"}}, 2, true},
        {"503 Retry-After as a date, then 200", {A{503, {{"Retry-After", later}}, {}}, A{200, json, "{}"}}, 2, true},
        {"503 Retry-After garbage, then 200", {A{503, {{"Retry-After", "soon-ish"}}, {}}, A{200, json, "{}"}}, 2, true},
        {"429, then 200", {A{429, {}, {}}, A{200, json, "{}"}}, 2, true},
        {"reset mid-upload, then 200", {A{200, json, "{}", false, 0, false, 30, "reset"}, A{200, json, "{}"}}, 2, true},
        {"400 is not tried again", {A{400, json, "{\"error\":\"bad\"}"}}, 1, false},
        {"503 for ever: bounded", {A{503, {{"Retry-After", "30"}}, {}}}, forever, false},
        {"a refused certificate", {A{200, json, "{}"}}, 0, false, -2},
        {"no endpoint", {A{200, json, "{}"}}, 0, false, 0},
        {"no consent", {A{200, json, "{}"}}, 0, false, -1, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_TRUE(peer.reset());
        ASSERT_TRUE(peer.script(kReportsPath, row.answers));
        configure(row.port == -1 ? peer.port(HttpsPeer::Trusted) : row.port == -2 ? peer.port(HttpsPeer::Untrusted) : 0);
        setConsent(row.consent);
        TestDir dir;
        auto store = std::make_shared<FLTFileManager>(dir.file(QStringLiteral("root")));
        ASSERT_TRUE(store->prepareForNewLaunch());
        auto delegate = std::make_shared<Delegate>();
        auto controller = FLTCrashReportingController::make(store, delegate);
        controller->processExistingReportPaths({makeReport(*store, QStringLiteral("r1"))}, false);
        // Packaged first in every case; then the requests the row expects, and no more.
        EXPECT_TRUE(waitFor([&] { return store->activePathContents().isEmpty() && store->processingPathContents().isEmpty(); }, 10000));
        EXPECT_TRUE(waitFor([&] { return peer.requests(kReportsPath).size() >= row.requests && controller->operationQueue()->operationCount() == 0; }, 30000));
        QThread::msleep(700);
        const auto requests = peer.requests(kReportsPath);
        EXPECT_EQ(requests.size(), row.requests);
        EXPECT_EQ(store->preparedPathContents().isEmpty(), row.removed) << store->preparedPathContents().join(' ').toStdString();
        if (row.quit) {
            // What the next launch finds is all it sends.
            controller.reset();
            auto next = FLTCrashReportingController::make(store, delegate);
            next->handleContentsInOtherReportingDirectories(store->processingPathContents(), store->preparedPathContents());
            EXPECT_TRUE(waitFor([&] { return next->operationQueue()->operationCount() == 0; }, 10000));
            QThread::msleep(700);
            EXPECT_EQ(peer.requests(kReportsPath).size(), row.requests);
            EXPECT_TRUE(store->preparedPathContents().isEmpty());
        }
        if (requests.isEmpty()) continue;
        // What the service relies on: the boundary in the header is the one in the body, the key,
        // and a body that parses with every part.
        const QByteArray type = requests[0].header("Content-Type");
        ASSERT_TRUE(type.startsWith("multipart/form-data; boundary="));
        EXPECT_EQ(requests[0].header("X-Faultline-API-Key"), "key-1");
        EXPECT_EQ(requests[0].header("User-Agent"), "Faultline Mac SDK/3.8.4");
        EXPECT_EQ(requests[0].header("Content-Length").toLongLong(), requests[0].bodyLength);
        const QString body = writeFile(dir.file(QStringLiteral("sent.body")), requests[0].body);
        writeFile(body + QStringLiteral(".boundary"), type.mid(type.indexOf('=') + 1));
        QString failure;
        const auto parsed = parsePackages({body}, &failure);
        ASSERT_EQ(parsed.size(), 1) << failure.toStdString();
        EXPECT_EQ(part(parsed[0], "report_id").value("text").toString(), "r1");
        EXPECT_EQ(part(parsed[0], "api_key").value("text").toString(), "k1");
        EXPECT_EQ(part(parsed[0], "signal.fltrecord").value("text").toString(), "{\"signal\":{\"time\":5}}\n");
    }
    setConsent(true);
}

// Redirected reports: a 301, 302 or 303 would turn the upload into a GET without the package,
// whose answer would pass for the upload's; a 307 or 308 sends it again as it was; a 300, 304
// or 305 took nothing either; a loop or a
// chain too long ends nowhere. What no server took is kept, and the next launch sends it: each
// report is delivered once (taken with a 2xx), never lost, never twice.
TEST_F(ReportsUploadTest, ARedirectIsNeverAnAcceptance) {
    const QString landing = QStringLiteral("/landing");
    auto to = [](int status, const QString& where) { return A{status, {{"Location", where.toUtf8()}}, {}}; };
    QList<QPair<QString, QList<A>>> chain{{kReportsPath, {to(307, "/h1")}}};
    for (int i = 1; i <= 5; ++i) chain.append({QString("/h%1").arg(i), {to(307, QString("/h%1").arg(i + 1))}});
    chain.append({"/h6", {A{202}}});
    struct Row {
        const char* what;
        QList<QPair<QString, QList<A>>> scripts;
        int firstDelivered;  // taken in the first launch
        int firstPosts;      // requests of the first launch
    } rows[] = {
        {"301", {{kReportsPath, {to(301, landing)}}}, 0, 1},
        {"302", {{kReportsPath, {to(302, landing)}}}, 0, 1},
        {"303", {{kReportsPath, {to(303, landing)}}}, 0, 1},
        {"300", {{kReportsPath, {to(300, landing)}}}, 0, 1},
        {"304", {{kReportsPath, {A{304}}}}, 0, 1},
        {"305", {{kReportsPath, {to(305, landing)}}}, 0, 1},
        {"307", {{kReportsPath, {to(307, landing)}}}, 1, 2},
        {"308", {{kReportsPath, {to(308, landing)}}}, 1, 2},
        {"a loop", {{kReportsPath, {to(307, kReportsPath)}}}, 0, 6},
        {"a chain of six hops", chain, 0, 6},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_TRUE(peer.reset());
        ASSERT_TRUE(peer.script(landing, {A{202}}));
        for (const auto& [path, answers] : row.scripts) ASSERT_TRUE(peer.script(path, answers));
        TestDir dir;
        auto store = std::make_shared<FLTFileManager>(dir.file(QStringLiteral("root")));
        ASSERT_TRUE(store->prepareForNewLaunch());
        auto delegate = std::make_shared<Delegate>();
        auto controller = FLTCrashReportingController::make(store, delegate);
        controller->processExistingReportPaths({makeReport(*store, QStringLiteral("r1"))}, false);
        EXPECT_TRUE(waitFor([&] { return store->activePathContents().isEmpty() && store->processingPathContents().isEmpty(); }, 10000));
        EXPECT_TRUE(waitFor([&] { return peer.requests().size() >= row.firstPosts && controller->operationQueue()->operationCount() == 0; }, 20000));
        QThread::msleep(300);
        const QList<HttpsPeer::Logged> first = peer.requests();
        EXPECT_EQ(first.size(), row.firstPosts);
        for (const auto& r : first) EXPECT_EQ(r.method, "POST") << r.path.toStdString();  // nothing became a GET
        auto delivered = [&](const QList<HttpsPeer::Logged>& requests, bool reportsTakes) {
            return std::count_if(requests.begin(), requests.end(), [&](const HttpsPeer::Logged& r) {
                return r.bodyLength > 0 && (r.path == landing || r.path == "/h6" || (reportsTakes && r.path == kReportsPath));
            });
        };
        EXPECT_EQ(delivered(first, false), row.firstDelivered);
        EXPECT_EQ(store->preparedPathContents().size(), row.firstDelivered ? 0 : 1);
        // The next launch, the server taking reports again: what was kept goes, once.
        controller.reset();
        ASSERT_TRUE(peer.script(kReportsPath, {A{202}}));
        auto next = FLTCrashReportingController::make(store, delegate);
        next->handleContentsInOtherReportingDirectories(store->processingPathContents(), store->preparedPathContents());
        EXPECT_TRUE(waitFor([&] { return store->preparedPathContents().isEmpty() && next->operationQueue()->operationCount() == 0; }, 10000));
        QThread::msleep(300);
        EXPECT_EQ(delivered(first, false) + delivered(peer.requests().mid(first.size()), true), 1);
    }
}

TEST_F(ReportsUploadTest, EveryKindOfCrashReachesTheServerOnceAndParses) {
    ASSERT_TRUE(peer.script(kReportsPath, {A{200, {{"Content-Type", "application/json"}}, "{}"}}));
    TestDir dir;
    auto store = std::make_shared<FLTFileManager>(dir.file(QStringLiteral("root")));
    ASSERT_TRUE(store->prepareForNewLaunch());
    struct Kind {
        const char* kind;
        const char* file;
        const char* function;  // named in the symbolicated frames
    };
    const Kind kinds[] = {
        {"null-write", "signal.fltrecord", "nullWrite"},          {"bus", "signal.fltrecord", "pastTruncatedMapping"},
        {"abort", "signal.fltrecord", "callAbort"},               {"ud2", "signal.fltrecord", "illegalInstruction"},
        {"divide", "signal.fltrecord", "divideByZero"},           {"throw-std", "exception.fltrecord", "main"},
        {"overflow-main", "signal.fltrecord", "recurse"},
    };
    QStringList folders;
    for (const Kind& k : kinds) {
        const QString folder = store->activePath() + QStringLiteral("/run-") + QLatin1String(k.kind);
        QDir().mkpath(folder);
        const int status = runCrasher(FAULTLINE_CRASHER_FP, folder, k.kind);
        EXPECT_TRUE(WIFSIGNALED(status)) << k.kind;
        folders << folder;
    }
    auto delegate = std::make_shared<Delegate>();
    auto controller = FLTCrashReportingController::make(store, delegate);
    // After a launch that failed early: sent at once, from the work queue.
    controller->processExistingReportPaths(folders, true);
    EXPECT_EQ(delegate->detected, int(std::size(kinds)));
    ASSERT_TRUE(waitFor([&] { return peer.requests(kReportsPath).size() >= int(std::size(kinds)) && controller->operationQueue()->operationCount() == 0; }, 60000));
    QThread::msleep(500);
    const auto requests = peer.requests(kReportsPath);
    ASSERT_EQ(requests.size(), int(std::size(kinds)));
    EXPECT_TRUE(store->activePathContents().isEmpty());
    EXPECT_TRUE(store->processingPathContents().isEmpty());
    EXPECT_TRUE(store->preparedPathContents().isEmpty());
    QStringList bodies;
    for (int i = 0; i < requests.size(); ++i) {
        const QByteArray type = requests[i].header("Content-Type");
        bodies << writeFile(dir.file(QStringLiteral("%1.body").arg(i)), requests[i].body);
        writeFile(bodies.last() + QStringLiteral(".boundary"), type.mid(type.indexOf('=') + 1));
    }
    QString failure;
    const auto parsed = parsePackages(bodies, &failure);
    ASSERT_EQ(parsed.size(), int(std::size(kinds))) << failure.toStdString();
    int matched = 0;
    for (const Kind& k : kinds)
        for (const QVariantList& parts : parsed) {
            const QString symbolicated = part(parts, QLatin1String(k.file) + QStringLiteral(".symbolicated")).value("text").toString();
            const QString raw = part(parts, QLatin1String(k.file)).value("text").toString();
            if (raw.isEmpty() || symbolicated.isEmpty() || !part(parts, "binary_images.fltrecord").contains("text")) continue;
            if (symbolicated.contains(QLatin1String(k.function))) {
                ++matched;
                break;
            }
        }
    EXPECT_EQ(matched, int(std::size(kinds)));
}

TEST_F(ReportsUploadTest, ThePromptsAnswerDecidesTheRunsReports) {
    ASSERT_TRUE(peer.script(kReportsPath, {A{200, {{"Content-Type", "application/json"}}, "{}"}}));
    struct Row {
        const char* what;
        QString button;  // the text of the button the user presses
        int uploads;
    };
    const Row rows[] = {{"send", "Send", 3}, {"always send", "Always Send", 3}, {"don't send", "Don't Send", 0}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_TRUE(peer.reset());
        ASSERT_TRUE(peer.script(kReportsPath, {A{200, {{"Content-Type", "application/json"}}, "{}"}}));
        int shown = 0;
        QStringList order;
        FLTCrashReportingController::setAlertPresenter([&](const QString& title, const QString& message, const QString& cancel, const QString& send,
                                                            const QString& always) {
            ++shown;
            std::unique_ptr<QMessageBox> alert(FLTMakePermissionAlert(title, message, cancel, send, always));
            EXPECT_EQ(alert->text(), "Send Crash Report?");
            // The buttons as the user sees them, left to right, each answering its own code.
            alert->show();
            QList<QAbstractButton*> shownButtons = alert->buttons();
            std::sort(shownButtons.begin(), shownButtons.end(),
                      [](QAbstractButton* a, QAbstractButton* b) { return a->mapToGlobal(QPoint()).x() < b->mapToGlobal(QPoint()).x(); });
            order.clear();
            for (qsizetype i = 0; i < shownButtons.size(); ++i) {
                order << shownButtons[i]->text();
                EXPECT_EQ(shownButtons[i]->property("fltAnswer").toInt(), 1000 + i);
            }
            for (QAbstractButton* b : alert->buttons())
                if (b->text() == row.button) b->click();
            EXPECT_FALSE(alert->isVisible());
            return FLTPermissionAlertAnswer(alert.get());
        });
        TestDir dir;
        auto store = std::make_shared<FLTFileManager>(dir.file(QStringLiteral("root")));
        ASSERT_TRUE(store->prepareForNewLaunch());
        auto delegate = std::make_shared<Delegate>();
        delegate->server = QVariantMap{{"features", QVariantMap{{"prompt_enabled", true}}}};
        auto controller = FLTCrashReportingController::make(store, delegate);
        // Even after an early failure, a prompt comes before anything is sent.
        controller->processExistingReportPaths({makeReport(*store, "a"), makeReport(*store, "b"), makeReport(*store, "c")}, true);
        EXPECT_TRUE(waitFor([&] { return store->activePathContents().isEmpty() && controller->operationQueue()->operationCount() == 0; }, 15000));
        EXPECT_TRUE(waitFor([&] { return peer.requests(kReportsPath).size() >= row.uploads; }, 15000));
        QThread::msleep(300);
        MainQueue::drain();
        EXPECT_EQ(shown, 1);
        EXPECT_EQ(order, (QStringList{"Send", "Always Send", "Don't Send"}));
        EXPECT_EQ(peer.requests(kReportsPath).size(), row.uploads);
        EXPECT_TRUE(store->preparedPathContents().isEmpty());
        EXPECT_EQ(controller->promptChoice(), row.uploads ? (row.button == "Always Send" ? 3 : 2) : 1);
    }
}

TEST_F(ReportsUploadTest, QorvelKilledBySegvReportsAtItsNextLaunch) {
    ASSERT_TRUE(peer.script(kReportsPath, {A{200, {{"Content-Type", "application/json"}}, "{}"}}));
    TestDir runtime, home;
    const QString active = home.file(QStringLiteral("cache/com.qorvel.kits.data/com.qorvel.Qorvel/v3/active"));
    const QString prepared = QFileInfo(active).path() + QStringLiteral("/prepared");
    auto launch = [&](QProcess& qorvel) {
        qorvel.setProcessEnvironment(qorvelEnvironment(runtime, home));
        qorvel.setProgram(QStringLiteral(QORVEL_EXECUTABLE));
        qorvel.start();
        return qorvel.waitForStarted(10000);
    };
    struct Row {
        const char* what;
        bool consent;
        int requests;
    };
    for (const Row& row : {Row{"consent: sent once", true, 1}, Row{"no consent: the package waits", false, 0}}) {
        SCOPED_TRACE(row.what);
        ASSERT_TRUE(peer.reset());
        ASSERT_TRUE(peer.script(kReportsPath, {A{200, {{"Content-Type", "application/json"}}, "{}"}}));
        // The child's own settings, with the consent answered (so no question holds the launch).
        writeFile(home.file(QStringLiteral("config/Glimbo/com.qorvel.Qorvel.plist")),
                  QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>qvAnonymousUsageTracking</key>") +
                      (row.consent ? "<true/>" : "<false/>") + "</dict></plist>\n");
        // A run that crashes once it is up.
        const QStringList before = QDir(active).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        QProcess first;
        ASSERT_TRUE(launch(first));
        QString folder;
        ASSERT_TRUE(waitFor([&] {
            for (const QString& name : QDir(active).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
                if (!before.contains(name) && QFileInfo::exists(active + QLatin1Char('/') + name + QStringLiteral("/metadata.fltrecord")))
                    folder = active + QLatin1Char('/') + name;
            return !folder.isEmpty();
        }, 30000));
        QThread::msleep(500);
        ::kill(pid_t(first.processId()), SIGSEGV);
        ASSERT_TRUE(first.waitForFinished(15000));
        EXPECT_EQ(first.exitStatus(), QProcess::CrashExit);
        ASSERT_TRUE(QFileInfo::exists(folder + QStringLiteral("/signal.fltrecord")));

        // The next launch packages it and sends it, or keeps it.
        QProcess second;
        ASSERT_TRUE(launch(second));
        EXPECT_TRUE(waitFor([&] { return !QFileInfo::exists(folder) && (row.requests ? peer.requests(kReportsPath).size() >= 1 : !QDir(prepared).isEmpty()); }, 30000));
        QThread::msleep(1000);
        second.terminate();
        if (!second.waitForFinished(10000)) second.kill(), second.waitForFinished(5000);
        // The run told to end records no crash of its own: one would be a second report (of a
        // second crash), which the counts below would take for the first sent twice.
        for (const QString& name : QDir(active).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            for (const char* record : {"signal.fltrecord", "exception.fltrecord"})
                EXPECT_FALSE(QFileInfo::exists(active + QLatin1Char('/') + name + QLatin1Char('/') + QLatin1String(record))) << record;
        const auto requests = peer.requests(kReportsPath);
        ASSERT_EQ(requests.size(), row.requests);
        EXPECT_EQ(QDir(prepared).entryList(QDir::Files).size(), row.requests ? 0 : 1);
        if (!requests.isEmpty()) {
            TestDir dir;
            const QByteArray type = requests[0].header("Content-Type");
            const QString body = writeFile(dir.file(QStringLiteral("sent.body")), requests[0].body);
            writeFile(body + QStringLiteral(".boundary"), type.mid(type.indexOf('=') + 1));
            QString failure;
            const auto parsed = parsePackages({body}, &failure);
            ASSERT_EQ(parsed.size(), 1) << failure.toStdString();
            EXPECT_TRUE(part(parsed[0], "signal.fltrecord.symbolicated").value("text").toString().contains(QStringLiteral("main")));
            // The report names the platform its upload path names.
            const QString metadata = part(parsed[0], "metadata.fltrecord").value("text").toString();
            const QString platform = requests[0].path.section(QLatin1Char('/'), 4, 4);
            EXPECT_FALSE(platform.isEmpty());
            EXPECT_TRUE(metadata.contains(QStringLiteral("\"platform\":\"%1\"").arg(platform))) << metadata.toStdString();
        }
    }
}

TEST_F(ReportsUploadTest, TwoCrashesOfQorvelInARowAreTwoWholeReports) {
    // Qorvel crashes, is launched again with its report not sent (no consent: it waits, packaged),
    // and crashes again: the third launch holds two packages, each of one crash, whole.
    TestDir runtime, home;
    const QString active = home.file(QStringLiteral("cache/com.qorvel.kits.data/com.qorvel.Qorvel/v3/active"));
    const QString prepared = QFileInfo(active).path() + QStringLiteral("/prepared");
    writeFile(home.file(QStringLiteral("config/Glimbo/com.qorvel.Qorvel.plist")),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>qvAnonymousUsageTracking</key><false/></dict></plist>\n");
    const QProcessEnvironment env = qorvelEnvironment(runtime, home);
    QStringList seen;
    // A launch whose own report folder is up, then its crash; answers the folder.
    const auto launchAndCrash = [&](int packagedBefore) {
        QProcess qorvel;
        qorvel.setProcessEnvironment(env);
        qorvel.setProgram(QStringLiteral(QORVEL_EXECUTABLE));
        qorvel.start();
        EXPECT_TRUE(qorvel.waitForStarted(10000));
        QString folder;
        EXPECT_TRUE(waitFor([&] {
            for (const QString& name : QDir(active).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
                if (!seen.contains(name) && QFileInfo::exists(active + QLatin1Char('/') + name + QStringLiteral("/metadata.fltrecord")))
                    folder = name;
            return !folder.isEmpty() && QDir(prepared).entryList(QDir::Files).size() >= packagedBefore;
        }, 30000));
        seen << folder;
        QThread::msleep(500);
        ::kill(pid_t(qorvel.processId()), SIGSEGV);
        EXPECT_TRUE(qorvel.waitForFinished(15000));
        EXPECT_EQ(qorvel.exitStatus(), QProcess::CrashExit);
        return folder;
    };
    launchAndCrash(0);
    launchAndCrash(1);
    QProcess third;
    third.setProcessEnvironment(env);
    third.setProgram(QStringLiteral(QORVEL_EXECUTABLE));
    third.start();
    ASSERT_TRUE(third.waitForStarted(10000));
    EXPECT_TRUE(waitFor([&] { return QDir(prepared).entryList(QDir::Files).size() >= 2; }, 30000));
    QThread::msleep(500);
    third.terminate();
    if (!third.waitForFinished(10000)) third.kill(), third.waitForFinished(5000);
    QStringList packages;
    for (const QString& name : QDir(prepared).entryList(QDir::Files)) packages << prepared + QLatin1Char('/') + name;
    ASSERT_EQ(packages.size(), 2);
    QString failure;
    const auto parsed = parsePackages(packages, &failure);
    ASSERT_EQ(parsed.size(), 2) << failure.toStdString();
    QStringList reports;
    for (const QVariantList& parts : parsed) {
        const QByteArray record = part(parts, "signal.fltrecord").value("text").toString().toUtf8();
        EXPECT_EQ(FLTCrashRecordDamage(record), QString());
        EXPECT_EQ(record.count("{\"signal\":"), 1) << record.left(400).toStdString();
        EXPECT_TRUE(part(parts, "damaged_records").isEmpty());
        reports << part(parts, "report_id").value("text").toString();
    }
    std::sort(reports.begin(), reports.end());
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(reports, seen);
    EXPECT_EQ(peer.requests(kReportsPath).size(), 0);
}

TEST_F(ReportsUploadTest, ALastEffortSubmitsACopyOfThisRunsReportOnlyWhenNobodyMustBeAsked) {
    struct Row {
        const char* what;
        bool prompt;
        bool secondFolder;
        bool started;
    };
    const Row rows[] = {
        {"urgent reports may go", false, false, true},
        {"the prompt must ask first", true, false, false},
        {"another folder in active", false, true, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_TRUE(peer.reset());
        ASSERT_TRUE(peer.script(kReportsPath, {A{200, {{"Content-Type", "application/json"}}, "{}"}}));
        TestDir dir;
        auto store = std::make_shared<FLTFileManager>(dir.file(QStringLiteral("root")));
        ASSERT_TRUE(store->prepareForNewLaunch());
        auto delegate = std::make_shared<Delegate>();
        if (row.prompt) delegate->server = QVariantMap{{"features", QVariantMap{{"prompt_enabled", true}}}};
        auto controller = FLTCrashReportingController::make(store, delegate);
        const QString current = makeReport(*store, "current");
        if (row.secondFolder) makeReport(*store, "other");
        EXPECT_EQ(controller->potentiallySubmittableCrashOccurred(), row.started);
        // This run's folder stays where it is; only the copy goes, and nothing else.
        EXPECT_TRUE(QFileInfo::exists(current + QStringLiteral("/signal.fltrecord")));
        EXPECT_FALSE(QFileInfo::exists(current + QStringLiteral("-submit")));
        EXPECT_TRUE(waitFor([&] { return peer.requests(kReportsPath).size() >= (row.started ? 1 : 0); }, 15000));
        QThread::msleep(200);
        const auto requests = peer.requests(kReportsPath);
        ASSERT_EQ(requests.size(), row.started ? 1 : 0);
        if (row.started) {
            EXPECT_TRUE(requests[0].body.contains("current"));
        }
        EXPECT_EQ(store->activePathContents().size(), row.secondFolder ? 2 : 1);
    }
}

TEST_F(ReportsUploadTest, QorvelCrashedOnAScreenRecordsEveryThreadWithItsStack) {
    // On a screen, Mesa's llvmpipe and disk threads run with every signal but the faults blocked.
    // They too are written with their registers and an unwound stack, and the crash waits for
    // none of them.
    const XvfbDisplay screen;
    ASSERT_FALSE(screen.display().isEmpty()) << "Xvfb did not start: scripts/setup installs it";
    TestDir runtime, home;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", screen.display());
    env.insert("QT_QPA_PLATFORM", "xcb");
    // Mesa's threads come with Qt WebEngine, which the Welcome window loads; as root it starts
    // only without its sandbox.
    env.insert("QTWEBENGINE_DISABLE_SANDBOX", "1");
    env.insert("HOME", home.path());
    env.insert("XDG_RUNTIME_DIR", runtime.path());
    for (const char* folder : {"CACHE", "CONFIG", "DATA"})
        env.insert(QStringLiteral("XDG_%1_HOME").arg(QLatin1String(folder)), home.file(QString::fromLatin1(folder).toLower()));
    writeFile(home.file(QStringLiteral("config/Glimbo/com.qorvel.Qorvel.plist")),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>qvAnonymousUsageTracking</key><false/></dict></plist>\n");
    QProcess qorvel;
    qorvel.setProcessEnvironment(env);
    qorvel.start(QStringLiteral(QORVEL_EXECUTABLE), {});
    ASSERT_TRUE(qorvel.waitForStarted(10000));
    const QString tasks = QStringLiteral("/proc/%1/task").arg(qorvel.processId());
    const auto threadNames = [&] {
        QStringList names;
        for (const QString& tid : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            names << QString::fromUtf8(readAll(tasks + QLatin1Char('/') + tid + QStringLiteral("/comm"))).trimmed();
        return names;
    };
    ASSERT_TRUE(waitFor([&] { return !threadNames().filter(QStringLiteral("llvmpipe")).isEmpty(); }, 30000))
        << threadNames().join(QLatin1Char(' ')).toStdString();
    QThread::msleep(1000);
    const QString active = home.file(QStringLiteral("cache/com.qorvel.kits.data/com.qorvel.Qorvel/v3/active"));
    const QStringList runs = QDir(active).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    ASSERT_EQ(runs.size(), 1);
    const QString folder = active + QLatin1Char('/') + runs[0];

    QElapsedTimer timer;
    timer.start();
    ::kill(pid_t(qorvel.processId()), SIGSEGV);
    ASSERT_TRUE(qorvel.waitForFinished(15000));
    const qint64 dying = timer.elapsed();
    EXPECT_EQ(qorvel.exitStatus(), QProcess::CrashExit);
    const auto lines = FLTFileReadSections(folder + QStringLiteral("/signal.fltrecord"), false);
    ASSERT_TRUE(lines.has_value());
    QVariantList threads, names;
    for (const QVariant& line : *lines) {
        const QVariantMap section = line.toMap();
        if (section.contains("threads")) threads = section.value("threads").toList();
        if (section.contains("thread_names")) names = section.value("thread_names").toList();
    }
    ASSERT_EQ(threads.size(), names.size());
    int mesa = 0;
    for (qsizetype i = 0; i < threads.size(); ++i) {
        const QString name = names[i].toString();
        SCOPED_TRACE(name.toStdString());
        if (name.startsWith(QLatin1String("llvmpipe")) || name.contains(QLatin1String("disk$"))) ++mesa;
        EXPECT_EQ(threads[i].toMap().value("registers").toMap().size(), 21);
        EXPECT_GE(threads[i].toMap().value("stacktrace").toList().size(), 2);
    }
    EXPECT_GE(mesa, 2);
    // Waiting for threads that cannot answer would take the stop signal's whole second and name
    // each thread it waited for. (bench/crashrecord times crash recording.)
    EXPECT_FALSE(readAll(folder + QStringLiteral("/sdk.log")).contains("did not stop in time"));
    std::printf("%lld threads, %d of Mesa, recorded and ended in %lld ms\n", static_cast<long long>(threads.size()), mesa, static_cast<long long>(dying));
}

namespace {

class BetaDelegate : public FLTBetaControllerDelegate {
public:
    QString APIKeyForBetaController() override { return QStringLiteral("key-1"); }
    FLTSettings settingsForBetaController() override { return FLTSettings(QVariantMap{{"beta", QVariantMap{{"update_suspend_duration", 3600}}}}); }
};

}  // namespace

TEST_F(ReportsUploadTest, TheBetaCheckAsksOnlyWithATokenAndOnceSettingsArrive) {
    const QString path = QStringLiteral("/spi/v2/platforms/mac/apps/com.qorvel.Qorvel/beta_update_check");
    ASSERT_TRUE(peer.script(path, {A{200, {{"Content-Type", "application/json"}}, R"({"url":"https://example.invalid/build.zip","version_string":"2.0"})"}}));
    TRLSetInfoDictionary(QVariantMap{{"CFBundleIdentifier", "com.qorvel.Qorvel"},
                                     {"CFBundleVersion", "5"},
                                     {"Faultline", QVariantMap{{"BetaEndpoint", QStringLiteral("https://127.0.0.1:%1").arg(peer.port())}, {"BetaEndpointPinnedRoots", peer.rootPem}}}});
    auto delegate = std::make_shared<BetaDelegate>();
    auto tokenless = FLTBetaController::make(delegate, {}, true);
    EXPECT_FALSE(tokenless->start());  // Qorvel has no token: no check is ever made

    auto beta = FLTBetaController::make(delegate, QStringLiteral("token-1"), true);
    ASSERT_TRUE(beta->start());
    NotificationCenter::defaultCenter().post(QLatin1String(TRLSettingsAvailableNotification));
    ASSERT_TRUE(waitFor([&] { return beta->activeUpdate().has_value(); }, 15000));
    EXPECT_EQ(beta->activeUpdate()->url, QUrl("https://example.invalid/build.zip"));
    EXPECT_EQ(beta->activeUpdate()->version, "2.0");
    EXPECT_TRUE(beta->checksSuspended());
    // Settings that arrive while checks are suspended ask nothing.
    NotificationCenter::defaultCenter().post(QLatin1String(TRLSettingsAvailableNotification));
    QThread::msleep(500);
    const auto requests = peer.requests(path);
    ASSERT_EQ(requests.size(), 1);
    EXPECT_EQ(requests[0].header("X-Faultline-Beta-Token"), "token-1");
    EXPECT_EQ(requests[0].header("X-Faultline-API-Key"), "key-1");
    EXPECT_TRUE(requests[0].path.contains("build_version=5")) << requests[0].path.toStdString();

    for (const char* body : {"{}", "[1]", "{\"url\":5}", "not json", "{\"url\":\"no scheme here\"}"}) {
        SCOPED_TRACE(body);
        QVError error;
        EXPECT_FALSE(FLTBetaController::updateWithData(body, &error));
        EXPECT_EQ(error.code(), -1017);
    }
}

// A report is taken at its 2xx status line, and the process may end any moment after. The urgent
// report of a launch that failed early goes synchronously, as a last effort, and is ended at the
// status line or while the answer's body still arrives; a report sent the usual way is ended by
// its HTTP worker aborting right after the status line, the work queue held so that it never
// hears of the answer, or by a quit that begins before the server answers. None leaves anything
// that the next launch would send again.
TEST_F(ReportsUploadTest, AReportEndedAfterTheStatusLineIsNotSentAgain) {
    const QString childRoot = qEnvironmentVariable("QORVEL_REPORTS_URGENT_ROOT");
    if (!childRoot.isEmpty()) {
        const bool crash = qEnvironmentVariableIsSet("QORVEL_REPORTS_CRASH"), quit = qEnvironmentVariableIsSet("QORVEL_REPORTS_QUIT");
        auto store = std::make_shared<FLTFileManager>(childRoot);
        store->prepareForNewLaunch();
        auto controller = FLTCrashReportingController::make(store, std::make_shared<Delegate>());
        controller->processExistingReportPaths(store->activePathContents(), !crash && !quit);
        if (quit) {
            // The quit as Qorvel makes it, a logout's SIGTERM's too: the event loop told to end.
            waitFor([&] { return !peer.requests(kReportsPath).isEmpty(); }, 15000);
            QThread::msleep(100);
            QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
            QCoreApplication::exec();
            std::fflush(nullptr);
            ::_exit(0);
        }
        if (crash) {
            waitFor([&] { return !peer.requests(kReportsPath).isEmpty(); }, 15000);
            controller->operationQueue()->async([] { QThread::sleep(60); });
            waitFor([&] { return store->preparedPathContents().isEmpty(); }, 30000);
            abortOnThreadNamed("QVHttp");
            ::_exit(3);
        }
        QThread::sleep(30);  // until the parent ends it
        ::_exit(0);
    }
    struct Row {
        const char* what;
        int endAfterMs;  // after the server read the upload; -1: as soon as the package is gone
        bool crash = false;  // sent the usual way, then the HTTP worker aborts
        double quitAnswer = 0;  // sent the usual way, the quit 0.1 s after the server read it, which answers this many seconds after
    } rows[] = {{"at the status line", -1},
                {"mid-body", 1200},
                {"the HTTP worker crashes right after the status line", 0, true},
                {"a quit, the server answering 0.4 s after the upload", 0, false, 0.4},
                {"a quit, the server answering 1 s after the upload", 0, false, 1},
                {"a quit, the server answering 1.5 s after the upload", 0, false, 1.5}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_TRUE(peer.reset());
        A slow{202, {{"Content-Type", "application/json"}}, QByteArray(100, ' ')};
        slow.trickle = row.quitAnswer ? 0 : 0.05;  // five seconds of body, past the urgent upload's limit
        slow.delay = row.crash ? 0.3 : row.quitAnswer;  // the work queue held first
        ASSERT_TRUE(peer.script(kReportsPath, {slow}));
        TestDir dir;
        auto store = std::make_shared<FLTFileManager>(dir.file(QStringLiteral("root")));
        ASSERT_TRUE(store->prepareForNewLaunch());
        makeReport(*store, QStringLiteral("r1"));
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QORVEL_REPORTS_URGENT_ROOT", store->rootPath());
        if (row.crash) env.insert("QORVEL_REPORTS_CRASH", "1");
        if (row.quitAnswer) env.insert("QORVEL_REPORTS_QUIT", "1");
        child.setProcessEnvironment(env);
        child.start(QStringLiteral("/proc/self/exe"), {QStringLiteral("--gtest_filter=ReportsUploadTest.AReportEndedAfterTheStatusLineIsNotSentAgain")});
        ASSERT_TRUE(child.waitForStarted(10000));
        ASSERT_TRUE(waitFor([&] { return !peer.requests(kReportsPath).isEmpty(); }, 15000));
        if (!row.crash && !row.quitAnswer) {
            if (row.endAfterMs < 0)
                waitFor([&] { return store->preparedPathContents().isEmpty(); }, 1000);
            else
                QThread::msleep(row.endAfterMs);
            ::kill(pid_t(child.processId()), SIGTERM);
        }
        ASSERT_TRUE(child.waitForFinished(30000));
        EXPECT_EQ(child.exitStatus(), row.quitAnswer ? QProcess::NormalExit : QProcess::CrashExit);
        // The next launch sends whatever it finds, to a server that answers at once.
        ASSERT_TRUE(peer.script(kReportsPath, {A{200, {{"Content-Type", "application/json"}}, "{}"}}));
        auto next = FLTCrashReportingController::make(store, std::make_shared<Delegate>());
        next->processExistingReportPaths(store->activePathContents(), false);
        next->handleContentsInOtherReportingDirectories(store->processingPathContents(), store->preparedPathContents());
        EXPECT_TRUE(waitFor([&] { return next->operationQueue()->operationCount() == 0; }, 10000));
        QThread::msleep(700);
        EXPECT_EQ(peer.requests(kReportsPath).size(), 1);
        EXPECT_TRUE(store->preparedPathContents().isEmpty());
    }
}

TEST_F(ReportsUploadTest, KillsAtAnyPointLoseNoReport) {
    const QString childRoot = qEnvironmentVariable("QORVEL_REPORTS_CHILD_ROOT");
    if (!childRoot.isEmpty()) {
        // The child: one launch's handling of the store, until it is empty or the parent kills it.
        auto store = std::make_shared<FLTFileManager>(childRoot);
        store->prepareForNewLaunch();
        auto controller = FLTCrashReportingController::make(store, std::make_shared<Delegate>());
        const QStringList processing = store->processingPathContents(), prepared = store->preparedPathContents();
        controller->processExistingReportPaths(store->activePathContents(), false);
        controller->handleContentsInOtherReportingDirectories(processing, prepared);
        waitFor([&] {
            return store->activePathContents().isEmpty() && store->processingPathContents().isEmpty() && store->preparedPathContents().isEmpty();
        }, 20000);
        std::fflush(nullptr);
        ::_exit(0);
    }
    // Each upload takes a while, so kills land in processing, packaging and upload alike.
    ASSERT_TRUE(peer.script(kReportsPath, {A{200, {{"Content-Type", "application/json"}}, "{}", false, 0.15}}));
    TestDir dir;
    auto store = std::make_shared<FLTFileManager>(dir.file(QStringLiteral("root")));
    ASSERT_TRUE(store->prepareForNewLaunch());
    const int reports = 6;
    for (int i = 0; i < reports; ++i) {
        const QString folder = makeReport(*store, QStringLiteral("r%1").arg(i));
        writeFile(folder + QStringLiteral("/errors_a.fltrecord"), QByteArray(300000, char('a' + i)));
    }
    auto runChild = [&](int killAfterMs) {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QORVEL_REPORTS_CHILD_ROOT", store->rootPath());
        child.setProcessEnvironment(env);
        child.start(QStringLiteral("/proc/self/exe"), {QStringLiteral("--gtest_filter=ReportsUploadTest.KillsAtAnyPointLoseNoReport")});
        if (!child.waitForStarted(10000)) return false;
        if (killAfterMs >= 0) {
            QThread::msleep(killAfterMs);
            ::kill(pid_t(child.processId()), SIGKILL);
        }
        return child.waitForFinished(60000);
    };
    const int kills = 8;
    for (int i = 0; i < kills; ++i) ASSERT_TRUE(runChild(int(QRandomGenerator::global()->bounded(40, 400))));
    ASSERT_TRUE(runChild(-1));
    EXPECT_TRUE(store->activePathContents().isEmpty());
    EXPECT_TRUE(store->processingPathContents().isEmpty());
    EXPECT_TRUE(store->preparedPathContents().isEmpty());
    EXPECT_TRUE(QDir(store->preparedPath()).entryList(QDir::Files | QDir::Hidden).isEmpty());  // no half-written package left

    // Every report arrived, whole; a cut may have sent one again.
    QStringList bodies;
    const auto requests = peer.requests(kReportsPath);
    for (int i = 0; i < requests.size(); ++i) {
        if (requests[i].bodyLength != requests[i].body.size()) continue;  // cut before the whole body was read
        const QByteArray type = requests[i].header("Content-Type");
        bodies << writeFile(dir.file(QStringLiteral("%1.body").arg(i)), requests[i].body);
        writeFile(bodies.last() + QStringLiteral(".boundary"), type.mid(type.indexOf('=') + 1));
    }
    QString failure;
    const auto parsed = parsePackages(bodies, &failure);
    ASSERT_EQ(parsed.size(), bodies.size()) << failure.toStdString();
    QMap<QString, int> received;
    for (const QVariantList& parts : parsed) ++received[part(parts, "report_id").value("text").toString()];
    EXPECT_EQ(received.size(), reports);
    int duplicates = 0;
    for (int count : received) duplicates += count - 1;
    EXPECT_LE(duplicates, kills);
}
