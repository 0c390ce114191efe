#include "kits/faultline/reports/Faultline.h"

#include "kits/faultline/FLTHelpers.h"
#include "kits/faultline/FLTUserLogging.h"
#include "kits/faultline/reports/FLTBetaController.h"
#include "kits/faultline/reports/FLTFileManager.h"
#include "kits/faultline/reports/FLTKitIdentity.h"
#include "kits/faultline/reports/FLTReport.h"
#include "platform/MainQueue.h"
#include "platform/SystemLog.h"
#include "kits/trellis/TRLHelpers.h"
#include "kits/trellis/Trellis.h"

namespace {

std::mutex g_sharedLock;
std::shared_ptr<Faultline> g_shared;

// The kit object is also the beta controller's delegate; kept apart so neither owns the other.
class BetaDelegate : public FLTBetaControllerDelegate {
public:
    explicit BetaDelegate(std::weak_ptr<Faultline> kit) : _kit(std::move(kit)) {}
    QString APIKeyForBetaController() override {
        auto k = _kit.lock();
        return k ? k->APIKey() : QString();
    }
    FLTSettings settingsForBetaController() override {
        auto k = _kit.lock();
        return k ? k->settingsForCrashReportingController() : FLTSettings();
    }

private:
    std::weak_ptr<Faultline> _kit;
};

std::shared_ptr<BetaDelegate> g_betaDelegate;

}  // namespace

std::shared_ptr<Faultline> Faultline::sharedInstance() {
    std::lock_guard<std::mutex> locker(g_sharedLock);
    if (!g_shared) g_shared = std::make_shared<Faultline>();
    return g_shared;
}

void Faultline::registerKit() { TRLKitRegistry::registerKit(sharedInstance()); }

void Faultline::resetSharedForTests() {
    std::lock_guard<std::mutex> locker(g_sharedLock);
    g_shared.reset();
}

QString Faultline::bundleIdentifier() const { return QLatin1String(FLTKitBundleIdentifier); }
QString Faultline::kitDisplayVersion() const { return QLatin1String(FLTKitDisplayVersion); }
QString Faultline::kitBuildVersion() const { return QLatin1String(FLTKitBuildVersion); }

void Faultline::start() {
    std::call_once(*_once, [this] { startOnce(); });
}

void Faultline::startOnce() {
    const quint64 mark = FLTProfileMark();
    SystemLog::notice(QStringLiteral("[Faultline] Version %1 (%2)").arg(QLatin1String(FLTKitDisplayVersion), QLatin1String(FLTKitBuildVersion)));
    if (FLTDebugMode()) {
        const TRLOSVersion os = TRLOperatingSystemVersion();
        SystemLog::notice(QStringLiteral("[Faultline] Running on %1, %2.%3.%4 (%5)")
                              .arg(TRLHardwareModel())
                              .arg(os.major)
                              .arg(os.minor)
                              .arg(os.patch)
                              .arg(TRLOSBuildVersion()));
    }
    auto fileManager = std::make_shared<FLTFileManager>();
    std::shared_ptr<FLTBetaController> beta;
    if (FLTBetaController::isBetaSupported()) {
        g_betaDelegate = std::make_shared<BetaDelegate>(weak_from_this());
        beta = FLTBetaController::make(g_betaDelegate);
        if (!beta->start()) SystemLog::notice(QStringLiteral("[Faultline] Beta could not be initialized"));
    }
    auto controller = FLTCrashReportingController::make(fileManager, weak_from_this());
    {
        std::lock_guard<std::mutex> locker(_lock);
        _fileManager = fileManager;
        _betaController = beta;
        _controller = controller;
    }
    if (!controller->startWithProfilingMark(mark, beta ? beta->betaToken() : QString()))
        SystemLog::warning(QStringLiteral("[Faultline] Crash reporting could not be initialized"));
    // The analytics kit follows, when this build carries it, with the beta token.
    if (auto tidings = std::dynamic_pointer_cast<TRLAnalyticsKit>(TRLKitRegistry::kit(QStringLiteral("Tidings"))))
        tidings->startAnalytics(beta ? beta->betaToken() : QString());
}

bool Faultline::isFaultlineStarted() const {
    std::lock_guard<std::mutex> locker(_lock);
    return bool(_controller);
}

std::shared_ptr<FLTCrashReportingController> Faultline::crashReportingController() const {
    std::lock_guard<std::mutex> locker(_lock);
    return _controller;
}

QString Faultline::APIKey() {
    try {
        return Trellis::sharedSDK().APIKey();
    } catch (const TRLException&) {
        return {};
    }
}

QString Faultline::installID() { return Trellis::sharedSDK().installID(); }
bool Faultline::isFirstInstall() { return Trellis::sharedSDK().isFirstInstall(); }

void Faultline::setDebugMode(bool debug) {
    Trellis::sharedSDK().setDebug(debug);
    if (isFaultlineStarted()) SystemLog::warning(QStringLiteral("[Faultline] Warning, consider enabling debug mode before starting Faultline"));
}

bool Faultline::debugMode() const { return Trellis::sharedSDK().debug(); }

void Faultline::setDelegate(std::shared_ptr<FaultlineDelegate> delegate) {
    if (isFaultlineStarted())
        SystemLog::warning(QStringLiteral("[Faultline] Warning, setting delegate after start. Make sure to set the Faultline delegate before calling "
                                          "startWithAPIKey:.., or +[Trellis with...] to avoid missing some delegate callbacks."));
    std::lock_guard<std::mutex> locker(_lock);
    _delegate = std::move(delegate);
}

std::shared_ptr<FaultlineDelegate> Faultline::delegate() const {
    std::lock_guard<std::mutex> locker(_lock);
    return _delegate;
}

void Faultline::setUserIdentifier(const QString& value) { FLTUserLoggingRecordInternalKeyValue(QLatin1String(TRLKitPrefix) + QStringLiteral(".user-id"), value); }
void Faultline::setUserName(const QString& value) { FLTUserLoggingRecordInternalKeyValue(QLatin1String(TRLKitPrefix) + QStringLiteral(".user-name"), value); }
void Faultline::setUserEmail(const QString& value) { FLTUserLoggingRecordInternalKeyValue(QLatin1String(TRLKitPrefix) + QStringLiteral(".user-email"), value); }
void Faultline::setObjectValue(const QVariant& value, const QString& key) { FLTUserLoggingRecordUserKeyValue(key, value); }
void Faultline::recordError(const QVError& error, const QVariantMap& additionalUserInfo) { FLTUserLoggingRecordError(error, additionalUserInfo); }

void Faultline::crash() { __builtin_trap(); }

bool Faultline::shouldInstallCrashCallback() {
    auto d = delegate();
    return d && d->implementsDidDetectCrash();
}

void Faultline::detectedCrash() {
    if (auto d = delegate()) d->faultlineDidDetectCrash();
}

bool Faultline::reportingControllerCanUseBackgroundSessions() {
    if (auto d = delegate())
        if (auto answer = d->faultlineCanUseBackgroundSessions()) return *answer;
    return true;
}

bool Faultline::reportingControllerMustInformDelegateOfReports() {
    auto d = delegate();
    return d && d->implementsDidDetectReportWithCompletion();
}

void Faultline::reportingControllerDidDetectReportForLastExecution(const std::shared_ptr<FLTInternalReport>& report, std::function<void(bool)> completion) {
    auto d = delegate();
    if (d && d->implementsDidDetectReportWithCompletion()) {
        d->faultlineDidDetectReportForLastExecution(std::make_shared<FLTReport>(report), std::move(completion));
        return;
    }
    completion(true);
}

void Faultline::reportingControllerInternalDidDetectReportForLastExecution(const std::shared_ptr<FLTInternalReport>& report) {
    const FLTReport shown(report);
    if (!shown.isCrash()) return;
    const QDateTime started = shown.dateCreated();
    MainQueue::post([started] {
        if (auto tidings = std::dynamic_pointer_cast<TRLAnalyticsKit>(TRLKitRegistry::kit(QStringLiteral("Tidings"))))
            tidings->logPreviousSessionCrashed(started);
    });
}

bool Faultline::reportingControllerEnsureDeliveryOfUnixSignal(int signal) {
    if (auto d = delegate())
        if (auto answer = d->faultlineEnsureDeliveryOfUnixSignal(signal)) return *answer;
    return false;
}

FLTSettings Faultline::settingsForCrashReportingController() { return FLTSettings(Trellis::sharedSDK().settings()); }

QString Faultline::executionIdentifierForCrashReportingController() { return Trellis::sharedSDK().executionIdentifier(); }
