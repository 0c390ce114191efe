// The analytics kit's public face: started once (by the crash-reporting kit with its beta token,
// or by the kits' core through the kit registry), it turns requests into events for its
// controller. Events logged before the start are dropped.
#pragma once

#include "kits/tidings/TDGEvent.h"
#include "kits/trellis/TRLKitRegistry.h"

#include <QDateTime>
#include <QObject>

#include <memory>
#include <mutex>

class TDGTidingsController;

class Tidings : public TRLAnalyticsKit {
public:
    static std::shared_ptr<Tidings> sharedInstance();
    // Puts the kit in the kits' registry under "Tidings", so the core can start it.
    static void registerKit();

    QString kitName() const override { return QStringLiteral("Tidings"); }
    QString bundleIdentifier() const override;
    QString kitDisplayVersion() const override { return QStringLiteral("1.3.4"); }
    QString kitBuildVersion() const override { return QStringLiteral("26"); }
    // Asks the crash-reporting kit first (it starts this kit with its beta token); when that did
    // not start it, starts it without one.
    void initializeIfNeeded() override;
    void startAnalytics(const QString& betaToken) override { startWithBetaToken(betaToken); }
    void logPreviousSessionCrashed(const QDateTime& date) override { logPreviousSessionCrashedOnDate(date); }
    void logCustomEvent(const QString& name, const TDGAttributes& attributes) override { logCustomEventWithName(name, attributes); }

    static void startWithBetaToken(const QString& betaToken);
    bool isStarted() const;
    std::shared_ptr<TDGTidingsController> tidingsController() const;

    // Nothing without a date; state 0 is reported as "unknown".
    static void logPreviousSessionCrashedOnDate(const QDateTime& date);
    static void logCustomEventWithName(const QString& name, const TDGAttributes& customAttributes = {});
    static void logEvent(std::shared_ptr<TDGEvent> event);

    using V = const QVariant&;
    using A = const TDGAttributes&;
    static void logSignUpWithMethod(V method, V success, A custom = {});
    static void logLoginWithMethod(V method, V success, A custom = {});
    static void logShareWithMethod(V method, V contentName, V contentType, V contentId, A custom = {});
    static void logInviteWithMethod(V method, A custom = {});
    static void logPurchaseWithPrice(V price, V currency, V success, V itemName, V itemType, V itemId, A custom = {});
    static void logLevelStart(V levelName, A custom = {});
    static void logLevelEnd(V levelName, V score, V success, A custom = {});
    static void logAddToCartWithPrice(V price, V currency, V itemName, V itemType, V itemId, A custom = {});
    static void logStartCheckoutWithPrice(V price, V currency, V itemCount, A custom = {});
    static void logRating(V rating, V contentName, V contentType, V contentId, A custom = {});
    static void logContentViewWithName(V contentName, V contentType, V contentId, A custom = {});
    static void logSearchWithQuery(V query, A custom = {});

    // For tests: forgets the controller, as a new process would start without one.
    static void resetForTests();

private:
    void start(const QString& betaToken);
    void watchApplication();

    mutable std::mutex _lock;
    bool _started = false;
    std::shared_ptr<TDGTidingsController> _tidingsController;
    std::unique_ptr<QObject> _applicationWatcher;
};
