#include "kits/faultline/reports/Faultline.h"

#include "kits/faultline/FLTException.h"
#include "kits/faultline/FLTHelpers.h"
#include "kits/faultline/FLTUserLogging.h"
#include "kits/faultline/FLTWebView.h"
#include "kits/faultline/reports/FLTBetaController.h"
#include "kits/faultline/reports/FLTFileManager.h"
#include "kits/faultline/reports/FLTKitIdentity.h"
#include "kits/faultline/reports/FLTReport.h"
#include "platform/MainQueue.h"
#include "platform/Paths.h"
#include "platform/PropertyList.h"
#include "platform/SystemLog.h"
#include "kits/trellis/TRLHelpers.h"
#include "kits/trellis/Trellis.h"

#include <QFileInfo>

#include <cxxabi.h>

#include <cstdlib>
#include <typeinfo>

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

std::shared_ptr<Faultline> Faultline::startWithAPIKey(const QString& key, std::shared_ptr<FaultlineDelegate> delegate) {
    std::shared_ptr<Faultline> kit = sharedInstance();
    if (delegate) kit->setDelegate(std::move(delegate));
    Trellis::sharedSDK().setAPIKey(key);
    Trellis::with({TRLKitReference(std::shared_ptr<TRLKit>(kit))});
    return kit;
}

std::shared_ptr<Faultline> Faultline::startWithAPIKey(const QString& key, double) {
    SystemLog::warning(QStringLiteral("[Faultline] Warning, startWithAPIKey:afterDelay: is deprecated."));
    return startWithAPIKey(key);
}

std::shared_ptr<Faultline> Faultline::startWithAPIKey(const QString& key, std::shared_ptr<FaultlineDelegate> delegate, double) {
    SystemLog::warning(QStringLiteral("[Faultline] Warning, startWithAPIKey:delegate:afterDelay: is deprecated."));
    return startWithAPIKey(key, std::move(delegate));
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
    std::weak_ptr<Faultline> weak = weak_from_this();
    MainQueue::post([weak] {
        if (auto self = weak.lock()) self->checkDelegate();
    });
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

void Faultline::checkDelegate() {
    const auto d = delegate();
    if (!d || !(d->implementsDidDetectCrashDuringPreviousExecution() || d->implementsDidDetectCrashDuringPreviousExecutionWithReport())) return;
    const FaultlineDelegate& object = *d;
    int status = 0;
    char* demangled = abi::__cxa_demangle(typeid(object).name(), nullptr, nullptr, &status);
    const QString name = QString::fromUtf8(demangled ? demangled : typeid(object).name());
    std::free(demangled);
    SystemLog::warning(QStringLiteral("[Faultline] The Faultline delegate '%1' implements deprecated methods.  Please see Faultline.h for details.").arg(name));
}

QString Faultline::earlierInstallID() {
    const QString path = Paths::applicationSupport() + QLatin1Char('/') + QLatin1String(TRLKitPrefix) + QStringLiteral("/FLTUserDefaults.plist");
    const QFileInfo info(path);
    if (!info.exists() || info.isDir()) return {};
    return PropertyList::readFile(path).toMap().value(QLatin1String(TRLKitPrefix) + QStringLiteral(".iuuid")).toString();
}

QString Faultline::installID() {
    const QString earlier = earlierInstallID();
    return earlier.isEmpty() ? Trellis::sharedSDK().installID() : earlier;
}
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

void Faultline::recordCustomException(const QString& name, const QString& reason, const QList<FLTStackFrameValue>& frames) {
    const QByteArray nameBytes = name.toUtf8(), reasonBytes = reason.toUtf8();
    // The texts the frames point into live as long as the call.
    QList<QByteArray> texts;
    texts.reserve(frames.size() * 3);
    QList<FLTStackFrame> written;
    written.reserve(frames.size());
    const auto text = [&texts](const QString& value) -> const char* {
        if (value.isEmpty()) return nullptr;
        texts << value.toUtf8();
        return texts.last().constData();
    };
    for (const FLTStackFrameValue& frame : frames)
        written << FLTStackFrame{frame.address, text(frame.symbol), frame.offset, text(frame.library), text(frame.fileName), frame.lineNumber};
    FLTExceptionRecord(kFLTExceptionCustom, nameBytes.constData(), reasonBytes.constData(), written.constData(), quint64(written.size()), false);
}

void Faultline::setDevelopmentPlatformName(const QString& name) {
    FLTUserLoggingRecordInternalKeyValue(QLatin1String(TRLKitPrefix) + QStringLiteral(".development-platform-name"), name);
}

void Faultline::setDevelopmentPlatformVersion(const QString& version) {
    FLTUserLoggingRecordInternalKeyValue(QLatin1String(TRLKitPrefix) + QStringLiteral(".development-platform-version"), version);
}

QString Faultline::developmentPlatformName() const {
    SystemLog::warning(QStringLiteral("[Faultline] developmentPlatformName is write-only"));
    return {};
}

QString Faultline::developmentPlatformVersion() const {
    SystemLog::warning(QStringLiteral("[Faultline] developmentPlatformVersion is write-only"));
    return {};
}

void Faultline::logEvent(const QString& name, const QList<QPair<QVariant, QVariant>>& attributes) {
    if (auto tidings = std::dynamic_pointer_cast<TRLAnalyticsKit>(TRLKitRegistry::kit(QStringLiteral("Tidings"))))
        tidings->logCustomEvent(name, attributes);
}

bool Faultline::monitorErrorsForWebView(FLTWebViewUserContent* content) {
    if (!content) {
        SystemLog::warning(QStringLiteral("[Faultline] Unable to monitor %1").arg(QStringLiteral("(no web view content)")));
        return false;
    }
    std::weak_ptr<Faultline> weak = weak_from_this();
    content->addMessageHandler(QStringLiteral("faultline"), [weak](const QVariant& body) {
        if (auto self = weak.lock()) self->userContentControllerDidReceiveScriptMessage(body);
    });
    content->addUserScript(FLTWebViewErrorScript());
    return true;
}

void Faultline::userContentControllerDidReceiveScriptMessage(const QVariant& body) {
    if (!FLTWebViewRecordScriptMessage(body)) SystemLog::warning(QStringLiteral("[Faultline] Unable to record exception from a web view"));
}

void Faultline::crash() { __builtin_trap(); }

void Faultline::throwException() { throw FaultlineTestException(); }

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
    return d && (d->implementsDidDetectReportWithCompletion() || d->implementsDidDetectCrashDuringPreviousExecutionWithReport() ||
                 d->implementsDidDetectCrashDuringPreviousExecution());
}

void Faultline::reportingControllerDidDetectReportForLastExecution(const std::shared_ptr<FLTInternalReport>& report, std::function<void(bool)> completion) {
    auto d = delegate();
    std::shared_ptr<FLTReport> shown;
    if (d && d->implementsDidDetectReport()) {
        shown = std::make_shared<FLTReport>(report, true);
        MainQueue::post([d, shown] { d->faultlineDidDetectReportForLastExecution(shown); });
    }
    if (!reportingControllerMustInformDelegateOfReports()) {
        completion(true);
        return;
    }
    if (!shown) shown = std::make_shared<FLTReport>(report);
    if (d->implementsDidDetectReportWithCompletion()) d->faultlineDidDetectReportForLastExecutionWithCompletion(shown, std::move(completion));
    else completion(true);
    std::weak_ptr<Faultline> weak = weak_from_this();
    MainQueue::post([weak, d, shown] {
        auto self = weak.lock();
        if (!self) return;
        if (d->implementsDidDetectCrashDuringPreviousExecutionWithReport()) d->faultlineDidDetectCrashDuringPreviousExecutionWithReport(*self, shown);
        if (d->implementsDidDetectCrashDuringPreviousExecution()) d->faultlineDidDetectCrashDuringPreviousExecution(*self);
    });
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
