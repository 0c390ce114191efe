// The web-view factory: which engine it picks, and what both engines do with links, new
// windows, script panels and pages that cannot load.
#include "platform/web/QVWebView.h"
#include "tests/support/TestSupport.h"
#include "tests/web/WebTestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QTextBrowser>

#include <algorithm>

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <unistd.h>

#include <gtest/gtest.h>

namespace {

// Set before WebEngine first starts in this process.
const bool unsandboxed = [] {
    // The engine's sandbox will not start as root; as anyone else the pages run inside it.
    if (::geteuid() == 0) qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    return true;
}();

const QByteArray linksPage =
    "<html><head><title>links</title></head><body style='margin:0'>"
    "<a id='in' href='second.html' style='display:block;height:100px;background:#ccc'>inside</a>"
    "<a id='out' href='http://example.invalid/new' target='_blank' style='display:block;height:100px'>new window</a>"
    "</body></html>";

bool loadAndWait(QVWebView* view, const QUrl& url) {
    QSignalSpy finished(view, &QVWebView::loadFinished);
    view->load(url);
    if (!QTest::qWaitFor([&] { return !finished.isEmpty(); }, 20000)) return false;
    return finished.first().first().toBool();
}

// A click on the page at point, as the user would make it.
void click(QVWebView* view, const QPoint& point, const QUrl& link) {
    if (QWidget* engine = webEngineViewIn(view)) {
        QWidget* target = engine->focusProxy();
        QTest::mouseMove(target, point);
        QTest::mouseClick(target, Qt::LeftButton, {}, point);
    } else if (auto* browser = view->findChild<QTextBrowser*>()) {
        QMetaObject::invokeMethod(browser, "anchorClicked", Q_ARG(QUrl, link));
    }
}

}  // namespace

TEST(WebView, TheEngineFollowsTheEnvironment) {
    const QByteArray saved[] = {qgetenv("QORVEL_NO_WEBENGINE"), qgetenv("QTWEBENGINEPROCESS_PATH"),
                                qgetenv("QTWEBENGINE_DISABLE_SANDBOX"), qgetenv("QTWEBENGINE_CHROMIUM_FLAGS")};
    struct Case {
        const char *noEngine, *helper, *disableSandbox, *flags;
        QVWebView::Engine engine;
        const char* reason;
    };
    const bool root = ::geteuid() == 0;
    const QList<Case> cases = {
        {"1", "", "1", "", QVWebView::Engine::TextBrowser, "QORVEL_NO_WEBENGINE"},
        {"", "/nonexistent/QtWebEngineProcess", "1", "", QVWebView::Engine::TextBrowser, "/nonexistent/QtWebEngineProcess"},
        {"", "", "", "", root ? QVWebView::Engine::TextBrowser : QVWebView::Engine::WebEngine, root ? "root" : ""},
        {"", "", "", "--no-sandbox", QVWebView::Engine::WebEngine, ""},
        {"", "", "1", "", QVWebView::Engine::WebEngine, ""},
    };
    for (const Case& c : cases) {
        qputenv("QORVEL_NO_WEBENGINE", c.noEngine);
        qputenv("QTWEBENGINEPROCESS_PATH", c.helper);
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", c.disableSandbox);
        qputenv("QTWEBENGINE_CHROMIUM_FLAGS", c.flags);
        QString reason;
        EXPECT_EQ(QVWebView::decide(&reason), c.engine) << c.noEngine << c.helper << c.disableSandbox << c.flags;
        EXPECT_TRUE(reason.contains(QLatin1String(c.reason))) << reason.toStdString();
    }
    const char* names[] = {"QORVEL_NO_WEBENGINE", "QTWEBENGINEPROCESS_PATH", "QTWEBENGINE_DISABLE_SANDBOX", "QTWEBENGINE_CHROMIUM_FLAGS"};
    for (int i = 0; i < 4; ++i)
        if (saved[i].isEmpty()) qunsetenv(names[i]);
        else qputenv(names[i], saved[i]);
}

TEST(WebView, LinksStayInsideAndNewWindowsGoToTheDesktop) {
    TestDir dir;
    const QUrl page = QUrl::fromLocalFile(dir.write("page.html", linksPage));
    const QUrl second = QUrl::fromLocalFile(dir.write("second.html", "<html><head><title>second</title></head><body>2</body></html>"));
    DesktopSeam desktop;
    for (QVWebView::Engine engine : {QVWebView::Engine::WebEngine, QVWebView::Engine::TextBrowser}) {
        SCOPED_TRACE(engine == QVWebView::Engine::WebEngine ? "WebEngine" : "TextBrowser");
        desktop.opened.clear();
        std::unique_ptr<QVWebView> view(QVWebView::create(nullptr, engine));
        view->resize(400, 300);
        view->show();
        QList<QUrl> clicked, newWindows;
        QVWebView::Policy policy;
        policy.linkClicked = [&](const QUrl& url, const QString&) { clicked.append(url); };
        policy.newWindowRequested = [&](const QUrl& url) { newWindows.append(url); };
        view->setPolicy(policy);
        ASSERT_TRUE(loadAndWait(view.get(), page));

        if (engine == QVWebView::Engine::WebEngine) {
            click(view.get(), QPoint(30, 150), QUrl(QStringLiteral("http://example.invalid/new")));
            EXPECT_TRUE(QTest::qWaitFor([&] { return !newWindows.isEmpty(); }, 10000));
            EXPECT_EQ(newWindows, QList<QUrl>{QUrl(QStringLiteral("http://example.invalid/new"))});
            EXPECT_EQ(desktop.opened, QStringList{"http://example.invalid/new"});
            EXPECT_EQ(view->url(), page);  // nothing opened inside
        } else {
            // The plain view cannot show web addresses: a clicked one goes to the desktop.
            click(view.get(), {}, QUrl(QStringLiteral("http://example.invalid/new")));
            EXPECT_EQ(newWindows, QList<QUrl>{QUrl(QStringLiteral("http://example.invalid/new"))});
            EXPECT_EQ(desktop.opened, QStringList{"http://example.invalid/new"});
            // Nor does it hand out an address of another scheme.
            QSignalSpy refused(view.get(), &QVWebView::refused);
            click(view.get(), {}, QUrl(QStringLiteral("qvdt://open?file=/etc/passwd")));
            EXPECT_EQ(desktop.opened, QStringList{"http://example.invalid/new"});
            EXPECT_EQ(refused.size(), 1);
            clicked.clear();
        }
        QSignalSpy finished(view.get(), &QVWebView::loadFinished);
        click(view.get(), QPoint(30, 40), QUrl(QStringLiteral("second.html")));
        EXPECT_TRUE(QTest::qWaitFor([&] { return view->url() == second && !finished.isEmpty(); }, 10000));
        EXPECT_EQ(clicked, QList<QUrl>{second});

        // A page that is not there is reported with its address.
        QSignalSpy failed(view.get(), &QVWebView::loadFailed);
        const QUrl missing = QUrl::fromLocalFile(dir.file("missing.html"));
        EXPECT_FALSE(loadAndWait(view.get(), missing));
        ASSERT_EQ(failed.size(), 1);
        EXPECT_EQ(failed.first().first().toUrl(), missing);
        EXPECT_FALSE(failed.first().at(1).toString().isEmpty());
    }
}

TEST(WebView, ScriptPanelsReachThePolicy) {
    TestDir dir;
    const QUrl page = QUrl::fromLocalFile(dir.write(
        "panels.html", "<html><head><title>start</title><script>alert('hi <b>there</b>');"
                       "document.title = String(confirm('sure?')) + ' ' + String(prompt('name?'));</script></head></html>"));
    for (bool answer : {false, true}) {
        std::unique_ptr<QVWebView> view(QVWebView::create(nullptr, QVWebView::Engine::WebEngine));
        QStringList alerts;
        QVWebView::Policy policy;
        policy.alert = [&](const QString& message) { alerts.append(message); };
        policy.confirm = [&](const QString&) { return answer; };
        view->setPolicy(policy);
        QString title;
        QObject::connect(view.get(), &QVWebView::titleChanged, [&](const QString& changed) { title = changed; });
        ASSERT_TRUE(loadAndWait(view.get(), page));
        EXPECT_TRUE(QTest::qWaitFor([&] { return title != QLatin1String("start") && !title.isEmpty(); }, 10000));
        EXPECT_EQ(title, answer ? "true null" : "false null");
        EXPECT_EQ(alerts, QStringList{"hi <b>there</b>"});
    }
}

namespace {

bool webEngineMapped() {
    QFile maps(QStringLiteral("/proc/self/maps"));
    return maps.open(QIODevice::ReadOnly) && maps.readAll().contains("libQt6WebEngineCore");
}

}  // namespace

// Run by the next test in a process of its own: WebEngine (and the OpenGL it shares) is loaded
// by the first WebEngine view, not by the program's start nor by a plain view.
TEST(WebViewChild, DISABLED_WebEngineLoadsWithItsFirstView) {
    EXPECT_FALSE(webEngineMapped());
    std::unique_ptr<QVWebView> plain(QVWebView::create(nullptr, QVWebView::Engine::TextBrowser));
    EXPECT_FALSE(webEngineMapped());
    std::unique_ptr<QVWebView> view(QVWebView::create(nullptr, QVWebView::Engine::WebEngine));
    EXPECT_EQ(view->viewEngine(), QVWebView::Engine::WebEngine);
    EXPECT_TRUE(webEngineMapped());
    TestDir dir;
    EXPECT_TRUE(loadAndWait(view.get(), QUrl::fromLocalFile(dir.write("page.html", "<html><body>shown</body></html>"))));
}

TEST(WebView, WebEngineLoadsWithItsFirstView) {
    QProcess child;
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--gtest_also_run_disabled_tests"), QStringLiteral("--gtest_filter=WebViewChild.DISABLED_WebEngineLoadsWithItsFirstView")});
    ASSERT_TRUE(child.waitForStarted(5000));
    const bool finished = child.waitForFinished(60000);
    if (!finished) child.kill();
    const QByteArray output = child.readAll();
    ASSERT_TRUE(finished) << output.toStdString();
    EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.toStdString();
}

// Run by the next test in a process of its own, as an account that is not root, where a system
// call the sandbox needs may fail: how the factory decides, as one line.
TEST(WebViewChild, DISABLED_TheEngineWhereTheSandboxMayNotStart) {
    QString reason;
    const QVWebView::Engine engine = QVWebView::decide(&reason);
    std::printf("decided %s: %s\n", engine == QVWebView::Engine::WebEngine ? "WebEngine" : "TextBrowser", qPrintable(reason));
}

// Where user namespaces can be made but not used (a security module leaves them without the power
// to close the file system, as Chromium's sandbox does first), or not made at all, WebEngine would
// end Qorvel at its first page: the plain view is chosen, saying why.
TEST(WebView, ASandboxThatCannotStartChoosesThePlainView) {
    const TestAccount nobody = testAccount("nobody");
    if (::geteuid() == 0 && !nobody) GTEST_SKIP() << "no account to run as";
    struct Row {
        const char* name;
        long denied;  // the system call that fails with EPERM, or -1
        const char* decided;
    };
    const Row rows[] = {
        {"everything allowed", -1, "decided WebEngine"},
        {"chroot denied in a new user namespace", __NR_chroot, "decided TextBrowser: its sandbox cannot start here"},
        {"no user namespace", __NR_unshare, "decided TextBrowser: its sandbox cannot start here"},
    };
    for (const Row& row : rows) {
        QProcess child;
        child.setProcessChannelMode(QProcess::MergedChannels);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("QTWEBENGINE_DISABLE_SANDBOX"));
        environment.remove(QStringLiteral("QTWEBENGINE_CHROMIUM_FLAGS"));
        environment.remove(QStringLiteral("QORVEL_NO_WEBENGINE"));
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), QDir::tempPath());
        child.setProcessEnvironment(environment);
        const long denied = row.denied;
        child.setChildProcessModifier([denied, nobody] {
            if (nobody && (::setgid(nobody.gid) != 0 || ::setuid(nobody.uid) != 0)) ::_exit(3);
            if (denied < 0) return;
            sock_filter filter[] = {
                BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
                BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<__u32>(denied), 0, 1),
                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
            };
            sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
            if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) ::_exit(4);
        });
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--gtest_also_run_disabled_tests"), QStringLiteral("--gtest_filter=WebViewChild.DISABLED_TheEngineWhereTheSandboxMayNotStart")});
        ASSERT_TRUE(child.waitForFinished(60000)) << row.name;
        const QString output = QString::fromUtf8(child.readAll());
        const QString decided = output.section(QLatin1String("decided "), 1).section(u'\n', 0, 0).prepend(QLatin1String("decided "));
        if (row.denied < 0 && decided.contains(QLatin1String("user namespaces")))
            continue;  // (this machine makes none for anyone: the rows below hold all the same)
        EXPECT_TRUE(decided.startsWith(QLatin1String(row.decided))) << row.name << ": " << output.toStdString();
    }
}

// Run by the next test in a process of its own, where the system's database of file types cannot
// be found: a page from the disk shows with its own stylesheet, script and image.
TEST(WebViewChild, DISABLED_APageShowsWithoutTheTypesDatabase) {
    std::unique_ptr<QVWebView> view(QVWebView::create(nullptr, QVWebView::Engine::WebEngine));
    TestDir dir;
    dir.write("style.css", "body { color: rgb(1, 2, 3); }");
    dir.write("script.js", "window.ownScript = true;");
    dir.write("pixel.png", QByteArray::fromBase64("iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mP8z8BQDwAEhQGAhKmMIQAAAABJRU5ErkJggg=="));
    QSignalSpy titles(view.get(), &QVWebView::titleChanged);
    view->load(QUrl::fromLocalFile(dir.write("page.html", R"(<html><head><link rel="stylesheet" href="style.css"><script src="script.js"></script></head>
<body><img id="own" src="pixel.png"><script>window.onload = function () {
  document.title = 'parts' + (getComputedStyle(document.body).color === 'rgb(1, 2, 3)' ? ' stylesheet' : '') +
    (window.ownScript ? ' script' : '') + (document.getElementById('own').naturalWidth === 1 ? ' image' : '');
};</script></body></html>)")));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !titles.isEmpty() && titles.last().first().toString().startsWith(QLatin1String("parts")); }, 30000));
    EXPECT_EQ(titles.isEmpty() ? QString() : titles.last().first().toString(), QStringLiteral("parts stylesheet script image"));
}

TEST(WebView, APageShowsWithoutTheTypesDatabase) {
    if (QVWebView::engine() != QVWebView::Engine::WebEngine) GTEST_SKIP() << QVWebView::fallbackReason().toStdString();
    QProcess child;
    child.setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_DATA_DIRS"), QStringLiteral("/nonexistent"));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), QStringLiteral("/nonexistent"));
    child.setProcessEnvironment(environment);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--gtest_also_run_disabled_tests"), QStringLiteral("--gtest_filter=WebViewChild.DISABLED_APageShowsWithoutTheTypesDatabase")});
    ASSERT_TRUE(child.waitForStarted(5000));
    const bool finished = child.waitForFinished(90000);
    if (!finished) child.kill();
    const QByteArray output = child.readAll();
    ASSERT_TRUE(finished) << output.toStdString();
    EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.toStdString();
}
