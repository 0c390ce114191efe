#include "kits/tidings/Tidings.h"

#include "kits/tidings/TDGLogger.h"
#include "kits/tidings/TDGTidingsController.h"
#include "platform/MainQueue.h"
#include "kits/trellis/TRLConstants.h"
#include "kits/trellis/Trellis.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QMetaObject>

std::shared_ptr<Tidings> Tidings::sharedInstance() {
    // Never destroyed: the controller it holds lives as long as the process. Torn down among the
    // other statics at exit, it would take its observer out of a notification centre that may
    // already be gone, and wait for a queue whose work may reach the logger after it.
    static const auto* shared = new std::shared_ptr<Tidings>(std::make_shared<Tidings>());
    return *shared;
}

void Tidings::registerKit() { TRLKitRegistry::registerKit(sharedInstance()); }

QString Tidings::bundleIdentifier() const { return QLatin1String(TRLKitPrefix) + QStringLiteral(".tidings.mac"); }

void Tidings::initializeIfNeeded() {
    if (auto faultline = TRLKitRegistry::kit(QStringLiteral("Faultline"))) faultline->initializeIfNeeded();
    if (!isStarted()) start(QString());
}

void Tidings::startWithBetaToken(const QString& betaToken) { sharedInstance()->start(betaToken); }

void Tidings::start(const QString& betaToken) {
    {
        std::lock_guard<std::mutex> locker(_lock);
        if (_started) return;
        _started = true;
    }
    TDGLogger::sharedLogger().setDebugMode(Trellis::sharedSDK().debug());
    TDGLogger::sharedLogger().log(QStringLiteral("Initialized"));
    auto controller = TDGTidingsController::make(betaToken);
    {
        std::lock_guard<std::mutex> locker(_lock);
        _tidingsController = controller;
    }
    watchApplication();
}

// Lifecycle from the application object: becoming active and inactive from its state, the end
// from aboutToQuit, after which the process leaves; the termination event is given a moment to
// reach its file, and the uploads under way one to settle.
void Tidings::watchApplication() {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return;
    std::weak_ptr<TDGTidingsController> weak = tidingsController();
    auto setUp = [this, app, weak] {
        _applicationWatcher = std::make_unique<QObject>();
        QObject* watcher = _applicationWatcher.get();
        if (auto* gui = qobject_cast<QGuiApplication*>(app)) {
            auto active = std::make_shared<bool>(QGuiApplication::applicationState() == Qt::ApplicationActive);
            QObject::connect(gui, &QGuiApplication::applicationStateChanged, watcher, [weak, active](Qt::ApplicationState state) {
                auto controller = weak.lock();
                if (!controller) return;
                const bool nowActive = state == Qt::ApplicationActive;
                if (nowActive == *active) return;
                *active = nowActive;
                controller->applicationLifecycleEvent(nowActive ? QStringLiteral("NSApplicationDidBecomeActiveNotification")
                                                                : QStringLiteral("NSApplicationWillResignActiveNotification"));
            });
        }
        QObject::connect(app, &QCoreApplication::aboutToQuit, watcher, [weak] {
            if (auto controller = weak.lock()) controller->applicationWillTerminate();
        });
    };
    if (MainQueue::isMainThread())
        setUp();
    else
        MainQueue::post(setUp);
}

bool Tidings::isStarted() const {
    std::lock_guard<std::mutex> locker(_lock);
    return _started;
}

std::shared_ptr<TDGTidingsController> Tidings::tidingsController() const {
    std::lock_guard<std::mutex> locker(_lock);
    return _tidingsController;
}

void Tidings::resetForTests() {
    auto shared = sharedInstance();
    std::shared_ptr<TDGTidingsController> old;
    {
        std::lock_guard<std::mutex> locker(shared->_lock);
        shared->_started = false;
        old = std::move(shared->_tidingsController);
    }
    if (MainQueue::isMainThread()) shared->_applicationWatcher.reset();
    if (old) old->waitUntilIdle(std::chrono::milliseconds(5000));
}

void Tidings::logEvent(std::shared_ptr<TDGEvent> event) {
    if (auto c = sharedInstance()->tidingsController()) c->logEvent(std::move(event));
}

void Tidings::logPreviousSessionCrashedOnDate(const QDateTime& date) {
    if (!date.isValid()) return;
    if (auto c = sharedInstance()->tidingsController())
        c->logCrashEvent(std::make_shared<TDGCrashEvent>(double(date.toMSecsSinceEpoch()) / 1000.0, 0));
}

void Tidings::logCustomEventWithName(const QString& name, const TDGAttributes& customAttributes) {
    logEvent(std::make_shared<TDGCustomEvent>(name, customAttributes));
}

using P = TDGPredefinedEvent;
void Tidings::logSignUpWithMethod(V method, V success, A custom) { logEvent(P::signUpEventWithMethod(method, success, custom)); }
void Tidings::logLoginWithMethod(V method, V success, A custom) { logEvent(P::loginEventWithMethod(method, success, custom)); }
void Tidings::logShareWithMethod(V method, V contentName, V contentType, V contentId, A custom) {
    logEvent(P::shareEventWithMethod(method, contentName, contentType, contentId, custom));
}
void Tidings::logInviteWithMethod(V method, A custom) { logEvent(P::inviteEventWithMethod(method, custom)); }
void Tidings::logPurchaseWithPrice(V price, V currency, V success, V itemName, V itemType, V itemId, A custom) {
    logEvent(P::purchaseEventWithPrice(price, currency, success, itemName, itemType, itemId, custom));
}
void Tidings::logLevelStart(V levelName, A custom) { logEvent(P::levelStartEventWithLevelName(levelName, custom)); }
void Tidings::logLevelEnd(V levelName, V score, V success, A custom) {
    logEvent(P::levelEndEventWithLevelName(levelName, score, success, custom));
}
void Tidings::logAddToCartWithPrice(V price, V currency, V itemName, V itemType, V itemId, A custom) {
    logEvent(P::addToCartEventWithPrice(price, currency, itemName, itemType, itemId, custom));
}
void Tidings::logStartCheckoutWithPrice(V price, V currency, V itemCount, A custom) {
    logEvent(P::startCheckoutEventWithPrice(price, currency, itemCount, custom));
}
void Tidings::logRating(V rating, V contentName, V contentType, V contentId, A custom) {
    logEvent(P::ratingEventWithRating(rating, contentName, contentType, contentId, custom));
}
void Tidings::logContentViewWithName(V contentName, V contentType, V contentId, A custom) {
    logEvent(P::contentViewEventWithName(contentName, contentType, contentId, custom));
}
void Tidings::logSearchWithQuery(V query, A custom) { logEvent(P::searchEventWithQuery(query, custom)); }
