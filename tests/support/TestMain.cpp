// Test main: every suite runs in a private sandbox (HOME, XDG folders, TMPDIR) on the offscreen
// platform, so no test touches the user's files or display. The application object is the least
// the suite asked for (qv_test_suite's APP): model suites prove they need no widgets.
#include "tests/support/TestSupport.h"

#include "platform/UserDefaults.h"

#if defined(QORVEL_TEST_APP_Widgets)
#include <QApplication>
using TestApplication = QApplication;
#elif defined(QORVEL_TEST_APP_Gui)
#include <QGuiApplication>
using TestApplication = QGuiApplication;
#else
#include <QCoreApplication>
using TestApplication = QCoreApplication;
#endif
#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>

static QString g_sandbox;

QString testSandbox() { return g_sandbox; }

int main(int argc, char** argv) {
    // Nothing of the desktop the suite was started from reaches it: with a display named, Qt's
    // offscreen platform and Qt WebEngine would use that display's GPU, and a desktop's theme,
    // scaling or input method would change what the widgets do. A test that needs a display (or a
    // desktop) names its own for the programs it starts.
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "WAYLAND_SOCKET", "XAUTHORITY", "XDG_SESSION_TYPE", "XDG_CURRENT_DESKTOP",
                             "XDG_SESSION_DESKTOP", "DESKTOP_SESSION", "DE", "QT_QPA_PLATFORMTHEME", "QT_STYLE_OVERRIDE", "QT_IM_MODULE",
                             "XMODIFIERS", "QT_SCALE_FACTOR", "QT_SCREEN_SCALE_FACTORS", "QT_FONT_DPI", "QT_ENABLE_HIGHDPI_SCALING"})
        ::unsetenv(name);
    ::testing::InitGoogleTest(&argc, argv);
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));

    QTemporaryDir sandbox(QDir::tempPath() + QStringLiteral("/qorvel-test-XXXXXX"));
    sandbox.setAutoRemove(qgetenv("QORVEL_KEEP_SANDBOX").isEmpty());
    g_sandbox = sandbox.path();
    const QByteArray root = g_sandbox.toLocal8Bit();
    for (const char* sub : {"home", "data", "config", "cache", "tmp", "run"})
        QDir().mkpath(g_sandbox + QLatin1Char('/') + QLatin1String(sub));
    QFile::setPermissions(g_sandbox + QStringLiteral("/run"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    // Keep a Secret Service session's HOME when one was set up for us by scripts/with-keyring.
    if (qgetenv("QORVEL_KEEP_HOME").isEmpty()) {
        qputenv("HOME", root + "/home");
        qputenv("XDG_RUNTIME_DIR", root + "/run");
    }
    qputenv("XDG_DATA_HOME", root + "/data");
    qputenv("XDG_CONFIG_HOME", root + "/config");
    qputenv("XDG_CACHE_HOME", root + "/cache");
    qputenv("TMPDIR", root + "/tmp");

    TestApplication app(argc, argv);
    TestApplication::setOrganizationName(QStringLiteral("Glimbo"));
    TestApplication::setApplicationName(QStringLiteral("Qorvel"));
    const int failed = RUN_ALL_TESTS();
    // The settings store's coalesced write must not recreate the sandbox once it is removed.
    UserDefaults::closeStandard();
    return failed;
}
