// The information window: once per version, its checkbox, the shipped page, usage events only
// with consent.
#include "platform/AppBundle.h"
#include "platform/UserDefaults.h"
#include "platform/web/QVWebView.h"
#include "shell/web/QVInfoWindowController.h"
#include "tests/support/TestSupport.h"

#include <QCheckBox>
#include <QTest>

#include <unistd.h>

#include <gtest/gtest.h>

namespace {
const bool unsandboxed = [] {
    // The engine's sandbox will not start as root; as anyone else the pages run inside it.
    if (::geteuid() == 0) qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    return true;
}();
const QString TrackingKey = QStringLiteral("qvAnonymousUsageTracking");
}  // namespace

TEST(InfoWindow, ShowsOncePerVersionUntilTheUserUnticksIt) {
    UserDefaults& defaults = UserDefaults::standard();
    const QString running = AppBundle::main().shortVersion();
    ASSERT_FALSE(running.isEmpty());
    struct Case {
        QVariant stored;
        bool shows;
    };
    for (const Case& c : QList<Case>{{QVariant(), true}, {QString(), true}, {QStringLiteral("2.1"), true}, {running, false}}) {
        defaults.setObject(c.stored, QVInfoWindowController::DisplayInfoViewKey);
        EXPECT_EQ(QVInfoWindowController::shouldShowAtLaunch(), c.shows) << c.stored.toString().toStdString();
    }

    // A version the user turned off earlier: the window shows, ticked, with the shipped page.
    defaults.setObject(QStringLiteral("2.1"), QVInfoWindowController::DisplayInfoViewKey);
    QList<std::pair<QString, QVariantMap>> events;
    QVInfoWindowController::setUsageEvents([&](const QString& event, const QVariantMap& properties) { events.append({event, properties}); });
    defaults.setBool(false, TrackingKey);
    QVInfoWindowController& window = QVInfoWindowController::sharedInstance();
    EXPECT_TRUE(events.isEmpty());  // no consent, no events
    EXPECT_TRUE(window.dontShowCheckBox()->isChecked());
    EXPECT_TRUE(QTest::qWaitFor([&] { return window.infoWebView()->url().fileName() == QLatin1String("info.html"); }, 20000));

    // Unticked in this version it stays away; ticked again it shows at every launch.
    window.dontShowCheckBox()->click();
    EXPECT_EQ(defaults.stringForKey(QVInfoWindowController::DisplayInfoViewKey), running);
    EXPECT_FALSE(QVInfoWindowController::showAtLaunchIfNeeded());
    window.dontShowCheckBox()->click();
    EXPECT_EQ(defaults.stringForKey(QVInfoWindowController::DisplayInfoViewKey), QString());
    EXPECT_TRUE(QVInfoWindowController::shouldShowAtLaunch());

    // With consent: opening, a link followed inside and closing are counted.
    defaults.setBool(true, TrackingKey);
    QVInfoWindowController::sharedInstance().show();
    window.infoWebView()->policy().linkClicked(QUrl(QStringLiteral("file:///info.html#tools")), QStringLiteral("  "));
    window.closeWindow();
    ASSERT_EQ(events.size(), 3);
    EXPECT_EQ(events[0].first, "Info Open");
    EXPECT_EQ(events[1].first, "Info Internal Click");
    EXPECT_EQ(events[1].second, (QVariantMap{{"link-url", "file:///info.html#tools"}, {"link-title", "undefined"}}));
    EXPECT_EQ(events[2].first, "Info Close");
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(QVInfoWindowController::linkProperties(QUrl(), QStringLiteral("Tools")),
              (QVariantMap{{"link-url", "undefined"}, {"link-title", "Tools"}}));
    QVInfoWindowController::setUsageEvents({});
    defaults.removeObject(TrackingKey);
}
