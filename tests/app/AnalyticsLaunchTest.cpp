// Usage analytics from launch to quit, against the loopback HTTPS servers of scripts/https-peer:
// consent and a configured address send "App Start" with the super properties and the launch
// counter; menu, project and information-window events arrive in batches python decodes; quit
// sends "App Quit"; withdrawn consent or no address leaves the servers and the disk untouched; the
// real editor quits cleanly with all of it configured.
#include "kits/metricline/Metricline.h"
#include "app/QVDocumentController.h"
#include "app/UsageAnalytics.h"
#include "platform/AppBundle.h"
#include "platform/MainQueue.h"
#include "platform/Paths.h"
#include "platform/UserDefaults.h"
#include "projects/QVProjectUsageEvents.h"
#include "shell/Defaults.h"
#include "shell/QVOutsideServices.h"
#include "shell/web/QVInfoWindowController.h"
#include "kits/tallypost/TallyPost.h"
#include "tests/support/HttpsPeer.h"
#include "tests/support/Sanitizers.h"
#include "tests/support/TestSupport.h"
#include "tests/support/XvfbDisplay.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

namespace {

const bool unsandboxed = [] {
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    return true;
}();
const QString token = QStringLiteral("3a7c9e1f5b2d4068ae91c3f7d5b20e84");

// Each body's records, decoded by python (form field, Base64, JSON) and handed back as JSON.
QList<QVariantList> pythonRecords(const QList<HttpsPeer::Logged>& requests) {
    QByteArrayList bodies;
    for (const HttpsPeer::Logged& request : requests) bodies << request.body;
    QProcess python;
    python.start(QStringLiteral("python3"),
                 {QStringLiteral("-c"), QStringLiteral("import sys,json,base64,urllib.parse\n"
                                                       "for line in sys.stdin.read().split('\\n'):\n"
                                                       " form=urllib.parse.parse_qs(line,strict_parsing=True)\n"
                                                       " print(json.dumps(json.loads(base64.b64decode(form['data'][0],validate=True))))\n")});
    python.write(bodies.join('\n'));
    python.closeWriteChannel();
    python.waitForFinished(30000);
    EXPECT_EQ(python.exitCode(), 0) << python.readAllStandardError().toStdString();
    QList<QVariantList> batches;
    for (const QByteArray& line : python.readAllStandardOutput().split('\n'))
        if (!line.isEmpty()) batches << QJsonDocument::fromJson(line).array().toVariantList();
    return batches;
}

QStringList names(const QList<QVariantList>& batches) {
    QStringList list;
    for (const QVariantList& batch : batches)
        for (const QVariant& record : batch) list << record.toMap().value(QStringLiteral("event")).toString();
    return list;
}

QStringList archives() {
    return QDir(Paths::applicationSupport()).entryList({QStringLiteral("metricline-*")}, QDir::Files);
}

bool idle() {
    Metricline* client = Metricline::sharedInstanceIfMade();
    return !client || !client->hasRequestInFlight();
}

}  // namespace

TEST(UsageAnalytics, FromLaunchToQuitWithConsentAndNothingWithoutIt) {
    const std::optional<HttpsPeer> peer = HttpsPeer::fromEnvironment();
    ASSERT_TRUE(peer) << "run under scripts/https-peer";
    ASSERT_TRUE(peer->reset());
    HttpsPeer::Answer accepted;
    accepted.body = "1";
    ASSERT_TRUE(peer->script(QStringLiteral("/api/track/"), {accepted}));
    ASSERT_TRUE(peer->script(QStringLiteral("/stat/ez"), {accepted}));

    UserDefaults& defaults = UserDefaults::standard();
    const QString consent = QString::fromLatin1(qvAnonymousUsageTracking);
    defaults.setString(token, QStringLiteral("QVAnalyticsToken"));
    defaults.setString(peer->url(QStringLiteral("/api")).toString(), QStringLiteral("QVAnalyticsURL"));
    defaults.setString(QStringLiteral("maker@example.org"), QStringLiteral("QVStatAccount"));
    defaults.setString(peer->url(QStringLiteral("/stat")).toString(), QStringLiteral("QVStatURL"));
    defaults.setBool(true, consent);
    Metricline::Configuration pinned;
    pinned.pinnedRootsPemPath = peer->rootPem;
    Metricline::setSharedConfiguration(pinned);
    TallyPost::setDefaultConfiguration({QString(), nullptr, peer->rootPem});
    installUsageAnalytics();

    // Launch: "App Start" with the super properties, and the launch counter.
    auto controller = std::make_unique<QVDocumentController>();
    controller->applicationWillFinishLaunching();
    controller->applicationDidFinishLaunching();
    ASSERT_TRUE(MainQueue::runUntil([&] { return !peer->requests(QStringLiteral("/stat/ez")).isEmpty() &&
                                                  !peer->requests(QStringLiteral("/api/track/")).isEmpty() && idle(); },
                                    std::chrono::seconds(30)));
    EXPECT_EQ(peer->requests(QStringLiteral("/stat/ez")).first().body, QByteArray("ezkey=maker%40example.org&stat=Qorvel%3A%20app_start&count=1"));
    const QList<QVariantList> launch = pythonRecords(peer->requests(QStringLiteral("/api/track/")));
    ASSERT_EQ(names(launch), QStringList{QStringLiteral("App Start")});
    const QVariantMap properties = launch[0][0].toMap().value(QStringLiteral("properties")).toMap();
    for (const char* key : {"app-name", "app-version", "preferred-language", "secondary-language", "distinct_id", "$os", "$screen_width"})
        EXPECT_TRUE(properties.contains(QLatin1String(key))) << key;
    EXPECT_EQ(properties.value(QStringLiteral("token")).toString(), token);

    // Menu, project and information-window events, then Quit.
    QVOutsideServices::track(QStringLiteral("Show Preferences"));
    QVProjectUsageEvents::track(QStringLiteral("New Project"), {{QStringLiteral("project-type"), QStringLiteral("remote")},
                                                                 {QStringLiteral("remote-protocol"), QStringLiteral("SFTP")}});
    QVInfoWindowController::sharedInstance().closeWindow();
    QVOutsideServices::track(QStringLiteral("App Quit"));
    controller->terminateApp();
    if (Metricline* client = Metricline::sharedInstanceIfMade()) client->applicationWillTerminate();
    const QStringList sent = names(pythonRecords(peer->requests(QStringLiteral("/api/track/"))));
    EXPECT_EQ(sent.first(), QStringLiteral("App Start"));
    for (const char* event : {"Show Preferences", "New Project", "Info Open", "Info Close"})
        EXPECT_TRUE(sent.contains(QLatin1String(event))) << event;
    EXPECT_EQ(sent.last(), QStringLiteral("App Quit"));
    EXPECT_EQ(sent.count(QStringLiteral("App Start")), 1);

    // Consent withdrawn (here by the preferences' reset, which removes the answer): the archives
    // go and nothing more is sent.
    const qsizetype before = peer->requests().size();
    defaults.removeObject(consent);
    MainQueue::drain();
    EXPECT_EQ(Metricline::sharedInstanceIfMade(), nullptr);
    EXPECT_TRUE(archives().isEmpty()) << archives().join(QLatin1Char(' ')).toStdString();
    QVOutsideServices::track(QStringLiteral("Show Preferences"));
    QVOutsideServices::analytics().flush();

    // Consent again but no address: no client, no request, no archive.
    defaults.removeObject(QStringLiteral("QVAnalyticsURL"));
    defaults.setBool(true, consent);
    MainQueue::drain();
    QVOutsideServices::track(QStringLiteral("Show Preferences"));
    QVOutsideServices::analytics().flush();
    MainQueue::runUntil([] { return false; }, std::chrono::milliseconds(500));
    EXPECT_EQ(Metricline::sharedInstanceIfMade(), nullptr);
    EXPECT_EQ(peer->requests().size(), before);
    EXPECT_TRUE(archives().isEmpty());

    controller.reset();
    QVOutsideServices::setAnalytics(nullptr);
    QVOutsideServices::setStats(nullptr);
    for (const char* key : {"QVAnalyticsToken", "QVStatAccount", "QVStatURL"}) defaults.removeObject(QLatin1String(key));
    defaults.removeObject(consent);
}

TEST(UsageAnalytics, QuittingTheRealEditorWithAnalyticsConfiguredEndsCleanly) {
    // qorvel on a private X server, its usage data allowed and every address configured, quit
    // with its shortcut: it exits with 0 and its crash folder holds no crash record.
    const std::optional<HttpsPeer> peer = HttpsPeer::fromEnvironment();
    ASSERT_TRUE(peer) << "run under scripts/https-peer";
    const XvfbDisplay screen;
    ASSERT_FALSE(screen.display().isEmpty()) << "Xvfb did not start: scripts/setup installs it";

    TestDir home, runtime;
    const QString shortVersion = AppBundle::main().shortVersion();
    home.write(QStringLiteral("config/Glimbo/com.qorvel.Qorvel.plist"),
               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
               "<key>qvAnonymousUsageTracking</key><true/>"
               "<key>QVAnalyticsToken</key><string>" + token.toLatin1() + "</string>"
               "<key>QVAnalyticsURL</key><string>" + peer->url(QStringLiteral("/api")).toEncoded() + "</string>"
               "<key>QVStatURL</key><string>" + peer->url(QStringLiteral("/stat")).toEncoded() + "</string>"
               "<key>QVStatAccount</key><string>maker@example.org</string>"
               "<key>qvDisplayInfoView</key><string>" + shortVersion.toUtf8() + "</string>"
               "</dict></plist>\n");
    QProcess qorvel;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), screen.display());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("HOME"), home.path());
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    for (const char* folder : {"CACHE", "CONFIG", "DATA"})
        env.insert(QStringLiteral("XDG_%1_HOME").arg(QLatin1String(folder)), home.file(QString::fromLatin1(folder).toLower()));
    // Under LeakSanitizer the editor runs without OpenGL: Mesa's driver, which Qt's X11 platform
    // loads for it, is unloaded as the display closes, and a block it keeps till then would be
    // reported at exit as a leak from an unknown library, which no suppression can name.
    if (underAddressSanitizer())
        env.insert(QStringLiteral("QT_XCB_GL_INTEGRATION"), QStringLiteral("none"));
    qorvel.setProcessEnvironment(env);
    qorvel.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    qorvel.start(QStringLiteral(QORVEL_EXECUTABLE), {});
    ASSERT_TRUE(qorvel.waitForStarted(10000));

    // Once its document window shows and has the focus, Ctrl+Q.
    QProcess xdotool;
    xdotool.setProcessEnvironment(env);
    xdotool.start(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--all"), QStringLiteral("--sync"), QStringLiteral("--onlyvisible"),
                                              QStringLiteral("--pid"), QString::number(qorvel.processId()), QStringLiteral("--name"), QStringLiteral("^Untitled"),
                                              QStringLiteral("windowfocus"),
                                              QStringLiteral("--sync"), QStringLiteral("%1"), QStringLiteral("sleep"), QStringLiteral("1"),
                                              QStringLiteral("key"), QStringLiteral("ctrl+q")});
    // Its exit code is no measure: the key's release may find the window already gone.
    ASSERT_TRUE(xdotool.waitForFinished(60000)) << "xdotool is missing or found no window: scripts/setup installs it";
    const bool ended = qorvel.waitForFinished(30000);
    if (!ended) qorvel.kill(), qorvel.waitForFinished(5000);
    ASSERT_TRUE(ended) << xdotool.readAllStandardError().toStdString();
    EXPECT_EQ(qorvel.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(qorvel.exitCode(), 0);

    // The run's report folder stays, with its metadata and no record of a crash.
    const QString active = home.file(QStringLiteral("cache/com.qorvel.kits.data/com.qorvel.Qorvel/v3/active"));
    const QStringList runs = QDir(active).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    ASSERT_EQ(runs.size(), 1);
    EXPECT_TRUE(QFileInfo::exists(active + QLatin1Char('/') + runs[0] + QStringLiteral("/metadata.fltrecord")));
    for (const char* record : {"signal.fltrecord", "exception.fltrecord"})
        EXPECT_FALSE(QFileInfo::exists(active + QLatin1Char('/') + runs[0] + QLatin1Char('/') + QLatin1String(record))) << record;
    // What the client held at quit was sent or saved: its events archive is there.
    EXPECT_TRUE(QFileInfo::exists(home.file(QStringLiteral("data/Glimbo/metricline-%1-events.plist").arg(token))))
        << QDir(home.file(QStringLiteral("data"))).entryList().join(QLatin1Char(' ')).toStdString();
}
