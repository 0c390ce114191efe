// The real qorvel on a display that offers no OpenGL (an X server whose GL Qt is told not to use):
// the Welcome window at launch, the preview (Ctrl+=) and Help (F1) show their pages in the plain
// view, which says why, and the editor goes on with its text.
#include "tests/scenarios/RealQorvel.h"
#include "tests/support/TestSupport.h"
#include "tests/support/XvfbDisplay.h"

#include <QProcess>

#include <csignal>
#include <unistd.h>

#include <gtest/gtest.h>

using namespace realqorvel;

TEST(NoOpenGL, ThePreviewHelpAndWelcomeShowPlainPagesAndQorvelGoesOn) {
    const XvfbDisplay screen;
    ASSERT_FALSE(screen.display().isEmpty()) << "Xvfb did not start: scripts/setup installs it";
    Home home(screen.display(), "");
    ASSERT_EQ(home.env.value(QStringLiteral("QT_XCB_GL_INTEGRATION")), QStringLiteral("none"));
    // As root the engine runs only without its sandbox: else that, not OpenGL, would choose the plain view.
    if (::geteuid() == 0) home.env.insert(QStringLiteral("QTWEBENGINE_DISABLE_SANDBOX"), QStringLiteral("1"));
    home.env.remove(QStringLiteral("QORVEL_NO_WEBENGINE"));
    // No browser of the desktop's: Ctrl+= previews in Qorvel's own window.
    home.env.insert(QStringLiteral("XDG_DATA_DIRS"), home.dir.file(QStringLiteral("no-desktop-entries")));
    // No version seen yet: the Welcome window shows at launch.
    home.dir.write(QStringLiteral("config/Glimbo/com.qorvel.Qorvel.plist"),
                   "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                   "<key>qvAnonymousUsageTracking</key><false/></dict></plist>\n");
    home.dir.write(QStringLiteral("page.html"), "<html><head><title>page</title></head><body><p>shown</p></body></html>\n");
    QProcess qorvel;
    start(qorvel, home, {QStringLiteral("page.html")}, true);
    const qint64 pid = qorvel.processId();
    const auto shows = [&](const QString& name) { return eventually([&] { return !home.windows(pid, name).isEmpty(); }, 30s); };
    EXPECT_TRUE(shows(QStringLiteral("^Welcome to")));
    home.to(pid, QStringLiteral("page\\.html"), QStringLiteral("type"), {QStringLiteral("kept ")});
    home.to(pid, QStringLiteral("page\\.html"), QStringLiteral("key"), {QStringLiteral("ctrl+equal")});
    EXPECT_TRUE(shows(QStringLiteral("^Preview$")));
    home.to(pid, QStringLiteral("page\\.html"), QStringLiteral("key"), {QStringLiteral("F1")});
    EXPECT_TRUE(shows(QStringLiteral("Help$")));
    // Each window has drawn its page by now (an engine that could not draw ended Qorvel at once).
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(qorvel.state(), QProcess::Running);
    EXPECT_EQ(home.windows(pid, QStringLiteral("page\\.html")).size(), 1);
    // The editor still takes keys: its text is edited (its title marks it so).
    home.to(pid, QStringLiteral("page\\.html"), QStringLiteral("key"), {QStringLiteral("ctrl+s")});
    EXPECT_TRUE(eventually([&] { return readAll(home.dir.file(QStringLiteral("page.html"))).startsWith("kept "); }));
    end(qorvel, SIGTERM);
    const QString errors = QString::fromUtf8(qorvel.readAllStandardError());
    EXPECT_TRUE(errors.contains(QLatin1String("Qt WebEngine cannot start: OpenGL cannot be used on this display"))) << errors.toStdString();
    EXPECT_FALSE(errors.contains(QLatin1String("with no rhi"))) << errors.toStdString();
}
