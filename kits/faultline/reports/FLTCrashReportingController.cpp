#include "kits/faultline/reports/FLTCrashReportingController.h"

#include "kits/faultline/FLTHelpers.h"
#include "kits/faultline/FLTInitialize.h"
#include "kits/faultline/FLTSDKLog.h"
#include "kits/faultline/FLTUserLogging.h"
#include "kits/faultline/reports/FLTFileManager.h"
#include "kits/faultline/reports/FLTKitIdentity.h"
#include "kits/faultline/reports/FLTReport.h"
#include "platform/MainQueue.h"
#include "platform/OperationQueue.h"
#include "platform/SystemLog.h"
#include "kits/trellis/TRLConstants.h"
#include "kits/trellis/TRLHelpers.h"
#include "kits/trellis/TRLSettings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <csignal>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QMutex g_presenterLock;
FLTCrashReportingController::AlertPresenter g_presenter;

QString internalKey(const char* suffix) { return QLatin1String(TRLKitPrefix) + QLatin1String(suffix); }

}  // namespace

void FLTCrashReportingController::setAlertPresenter(AlertPresenter presenter) {
    QMutexLocker locker(&g_presenterLock);
    g_presenter = std::move(presenter);
}

std::shared_ptr<FLTCrashReportingController> FLTCrashReportingController::make(std::shared_ptr<FLTFileManager> fileManager,
                                                                               std::weak_ptr<FLTCrashReportingControllerDelegate> delegate) {
    std::shared_ptr<FLTCrashReportingController> c(new FLTCrashReportingController());
    c->_fileManager = std::move(fileManager);
    c->_delegate = std::move(delegate);
    c->_queue = std::make_shared<OperationQueue>(QLatin1String(FLTKitBundleIdentifier) + QStringLiteral(".work-queue"));
    c->_networkClient = FLTNetworkClient::make(c->_queue, c->_fileManager, c);
    if (QCoreApplication* app = QCoreApplication::instance()) {
        std::weak_ptr<FLTCrashReportingController> weak = c;
        QObject::connect(app, &QCoreApplication::aboutToQuit, app, [weak] {
            if (auto controller = weak.lock()) controller->applicationWillTerminate();
        });
    }
    return c;
}

void FLTCrashReportingController::applicationWillTerminate() {
    const int underWay = _networkClient->stopAndWaitForUploadsToSettle(std::chrono::milliseconds(0));
    if (underWay == 0) return;
    SystemLog::notice(QStringLiteral("[Faultline:Crash] waiting up to %1 ms for %2 report upload(s) under way").arg(quitUploadBound.count()).arg(underWay));
    if (const int left = _networkClient->stopAndWaitForUploadsToSettle(quitUploadBound))
        SystemLog::warning(QStringLiteral("[Faultline:Crash] %1 report upload(s) not settled within %2 ms; their reports go again at the next launch")
                               .arg(left)
                               .arg(quitUploadBound.count()));
}

FLTCrashReportingController::~FLTCrashReportingController() = default;

QString FLTCrashReportingController::APIKey() {
    auto d = _delegate.lock();
    return d ? d->APIKeyForCrashReportingController() : QString();
}
QString FLTCrashReportingController::installIdentifier() {
    auto d = _delegate.lock();
    return d ? d->installIDForCrashReportingController() : QString();
}
bool FLTCrashReportingController::firstInstall() {
    auto d = _delegate.lock();
    return d && d->isFirstInstallForCrashReportingController();
}
FLTSettings FLTCrashReportingController::settings() {
    QMutexLocker locker(&_lock);
    if (!_settings) {
        auto d = _delegate.lock();
        _settings = d ? d->settingsForCrashReportingController() : FLTSettings();
    }
    return *_settings;
}
QString FLTCrashReportingController::bundleIdentifier() { return TRLEscapedBundleIdentifier(); }

quint32 FLTCrashReportingController::machExceptionMask() {
    auto d = _delegate.lock();
    quint32 mask = 0;
    if (!d) return mask;
    for (const int signal : {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGSYS, SIGTRAP}) {
        if (!d->reportingControllerEnsureDeliveryOfUnixSignal(signal)) continue;
        switch (signal) {
        case SIGILL: mask |= 0x4; break;
        case SIGTRAP: mask |= 0x40; break;
        case SIGABRT: case SIGSYS: mask |= 0x400; break;
        case SIGFPE: mask |= 0x8; break;
        case SIGBUS: case SIGSEGV: mask |= 0x2; break;
        default: break;
        }
    }
    return mask;
}

std::shared_ptr<FLTReportsController> FLTCrashReportingController::reportsController() {
    QMutexLocker locker(&_lock);
    if (!_reportsController) _reportsController = std::make_shared<FLTReportsController>(_queue, this, _networkClient, _fileManager);
    return _reportsController;
}

bool FLTCrashReportingController::hasReportsController() {
    QMutexLocker locker(&_lock);
    return bool(_reportsController);
}

QString FLTCrashReportingController::launchFailureMarkerPath() const { return _fileManager->structurePath() + QStringLiteral("/launchmarker"); }

bool FLTCrashReportingController::createLaunchFailureMarker() const {
    const int fd = ::open(launchFailureMarkerPath().toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    return fd >= 0 && ::close(fd) == 0;
}
bool FLTCrashReportingController::launchFailureMarkerPresent() const { return QFileInfo::exists(launchFailureMarkerPath()); }
bool FLTCrashReportingController::removeLaunchFailureMarker() const { return _fileManager->removeItemAtPath(launchFailureMarkerPath()); }

bool FLTCrashReportingController::startWithProfilingMark(quint64 mark, const QString& betaToken) {
    if (TRLBundleIdentifier().isEmpty()) {
        SystemLog::error(QStringLiteral("[Faultline] An application must have a valid bundle idenifier in its Info.plist"));
        return false;
    }
    if (!settings().crashReportingEnabled()) {
        SystemLog::notice(QStringLiteral("[Faultline:Crash] Reporting is disabled"));
        _fileManager->removeContentsOfAllPaths();
        return false;
    }
    // The legacy layout goes first and whole, so it cannot take the new launch's folders with it.
    _fileManager->removeLegacyDirectories();
    if (!_fileManager->prepareForNewLaunch()) return false;
    bool urgent = false;
    if (launchFailureMarkerPresent()) {
        FLTDebugLog(QStringLiteral("[Faultline:Crash] Last launch failed: this may indicate a crash shortly after app launch."));
        urgent = true;
    } else {
        createLaunchFailureMarker();
    }
    // Every listing is taken before work is queued, so nothing is picked up twice.
    const QStringList earlier = _fileManager->activePathContents();
    const QStringList processing = _fileManager->processingPathContents();
    const QStringList prepared = _fileManager->preparedPathContents();

    createLaunchFailureMarker();
    auto d = _delegate.lock();
    const QString identifier = d ? d->executionIdentifierForCrashReportingController() : QString();
    const QString path = _fileManager->setupNewPathForExecutionIdentifier(identifier);
    _currentReport = path.isEmpty() ? nullptr : FLTInternalReport::reportWithPath(path, identifier);
    if (!_currentReport) SystemLog::warning(QStringLiteral("[Faultline:Crash] Unable to setup a new report"));
    if (_currentReport && !startCrashReporter(betaToken, mark)) {
        SystemLog::warning(QStringLiteral("[Faultline:Crash] Unable to start crash reporter"));
        _currentReport.reset();
    }
    processExistingReportPaths(earlier, urgent);
    handleContentsInOtherReportingDirectories(processing, prepared);
    const QString elapsed = QString::number(qint64(FLTProfileEndTime(mark)));
    if (_currentReport) _queue->async([elapsed] { FLTUserLoggingRecordInternalKeyValue(internalKey(".kit-start-time"), elapsed); });
    return bool(_currentReport);
}

bool FLTCrashReportingController::startCrashReporter(const QString& betaToken, quint64 mark) {
    const FLTSettings s = settings();
    auto d = _delegate.lock();
    _optionStrings[0] = APIKey().toUtf8();
    _optionStrings[1] = _currentReport->path().toUtf8();
    _optionStrings[2] = _currentReport->identifier().toUtf8();
    _optionStrings[3] = installIdentifier().toUtf8();
    _optionStrings[4] = betaToken.toUtf8();
    _optionStrings[5] = TRLBundleIdentifier().toUtf8();
    _optionStrings[6] = TRLBundleVersion().toUtf8();
    _optionStrings[7] = TRLBundleShortVersion().toUtf8();
    FLTContextInitOptions options;
    options.apiKey = _optionStrings[0].constData();
    options.firstInstall = firstInstall();
    if (d && d->shouldInstallCrashCallback()) {
        options.crashCallback = [](void* info) { static_cast<FLTCrashReportingController*>(info)->deliverCrashDelegateCallback(); };
        options.crashCallbackInfo = this;
    }
    options.reportPath = _optionStrings[1].constData();
    options.reportID = _optionStrings[2].constData();
    options.installID = _optionStrings[3].constData();
    options.betaToken = _optionStrings[4].constData();
    options.machExclusionMask = machExceptionMask();
    options.errorReportingEnabled = s.errorReportingEnabled();
    options.customExceptionsEnabled = s.customExceptionsEnabled();
    options.maxCustomExceptions = s.maxCustomExceptions();
    options.errorLogBufferSize = s.errorLogBufferSize();
    options.logBufferSize = s.logBufferSize();
    options.maxCustomKeys = s.maxCustomKeys();
    options.bundleID = _optionStrings[5].constData();
    options.buildVersion = _optionStrings[6].constData();
    options.displayVersion = _optionStrings[7].constData();
    if (!FLTContextInitialize(&options)) return false;
    // The kit's queue records the application's state from now on: a record may rescan the
    // loaded images and rewrites a file, which the launch need not wait for before its first
    // paint, and one serial queue keeps the records in the order the state changed.
    backgroundStateQueue() = _queue;
    recordBackgroundState(false);
    // The marker goes at the first turn of the main loop: a crash before it marks an early failure.
    std::weak_ptr<FLTCrashReportingController> weak = weak_from_this();
    MainQueue::post([weak, mark] {
        auto self = weak.lock();
        if (!self) return;
        self->removeLaunchFailureMarker();
        const QString elapsed = QString::number(qint64(FLTProfileEndTime(mark)));
        self->_queue->async([elapsed] { FLTUserLoggingRecordInternalKeyValue(internalKey(".first-run-loop-time"), elapsed); });
    });
    MainQueue::after(std::chrono::seconds(2), [weak] {
        if (auto self = weak.lock()) self->checkForUserPromptSetting();
    });
    return true;
}

void FLTCrashReportingController::deliverCrashDelegateCallback() {
    if (auto d = _delegate.lock()) d->detectedCrash();
}

bool FLTCrashReportingController::potentiallySubmittableCrashOccurred() {
    if (!canProcessUrgentReports()) return false;
    FLTLogWarn("Attempting submission\n");
    try {
        return attemptCurrentReportSubmission();
    } catch (const std::exception&) {
        FLTLogWarn("Last effort exception\n");
        return false;
    }
}

bool FLTCrashReportingController::attemptCurrentReportSubmission() {
    FLTLogWarn("Attempting to submit the current report\n");
    const QStringList active = _fileManager->activePathContents();
    if (active.size() != 1) {
        FLTLogWarn("More than one directory in active - cannot submit\n");
        return false;
    }
    const QString copy = active.first() + QStringLiteral("-submit");
    if (!_fileManager->copyItemAtPath(active.first(), copy)) {
        FLTLogWarn("Error: unable to copy report for submission\n");
        return false;
    }
    return reportsController()->prepareAndSubmitReport(reportForFolder(copy), true, true);
}

std::weak_ptr<OperationQueue>& FLTCrashReportingController::backgroundStateQueue() {
    static std::weak_ptr<OperationQueue> queue;
    return queue;
}

void FLTCrashReportingController::recordBackgroundState(bool inBackground) {
    auto record = [inBackground] {
        if (FLTContextIsInitialized())
            FLTUserLoggingRecordInternalKeyValue(internalKey(".in-background"), inBackground ? QStringLiteral("1") : QStringLiteral("0"));
    };
    if (const std::shared_ptr<OperationQueue> queue = backgroundStateQueue().lock()) queue->async(record);
    else record();
}

// --- Submission ----------------------------------------------------------------------------------

bool FLTCrashReportingController::needsToPrompt() {
    const qint64 choice = _promptChoice.load();
    if (choice == Send || choice == AlwaysSend) return false;
    return settings().userPromptEnabled();
}

bool FLTCrashReportingController::delegateNeedsToBeInformedOfReports() {
    auto d = _delegate.lock();
    return d && d->reportingControllerMustInformDelegateOfReports();
}

bool FLTCrashReportingController::canProcessUrgentReports() {
    return settings().canProcessUrgentReports() && !needsToPrompt() && !delegateNeedsToBeInformedOfReports();
}

std::shared_ptr<FLTInternalReport> FLTCrashReportingController::reportForFolder(const QString& path) const {
    if (auto report = FLTInternalReport::reportWithPath(path)) return report;
    // A folder whose metadata was lost still carries its run's identifier in its name.
    return FLTInternalReport::reportWithPath(path, QFileInfo(path).fileName());
}

void FLTCrashReportingController::submitOnQueue(const std::shared_ptr<FLTInternalReport>& report, bool asUrgent, bool withProcessing) {
    std::weak_ptr<FLTCrashReportingController> weak = weak_from_this();
    _queue->async([weak, report, asUrgent, withProcessing] {
        if (auto self = weak.lock()) {
            self->reportsController()->prepareAndSubmitReport(report, asUrgent, withProcessing);
            self->trimPreparedPackages();
        }
    });
}

void FLTCrashReportingController::processExistingReportPaths(const QStringList& paths, bool asUrgent) {
    for (const QString& path : paths) processExistingActiveReportPath(path, asUrgent);
}

void FLTCrashReportingController::processExistingActiveReportPath(const QString& path, bool asUrgent) {
    const auto report = reportForFolder(path);
    if (!report || !report->needsToBeSubmitted()) {
        std::weak_ptr<FLTCrashReportingController> weak = weak_from_this();
        _queue->async([weak, path] {
            if (auto self = weak.lock()) self->_fileManager->removeItemAtPath(path);
        });
        return;
    }
    auto d = _delegate.lock();
    if (d) d->reportingControllerInternalDidDetectReportForLastExecution(report);
    if (asUrgent && canProcessUrgentReports()) {
        // Sent from the work queue: a stalled server must not hold the launch.
        submitOnQueue(report, true, true);
        return;
    }
    std::weak_ptr<FLTCrashReportingController> weak = weak_from_this();
    auto completion = [weak, report](bool submit) {
        if (auto self = weak.lock()) self->_queue->async([weak, report, submit] {
            if (auto s = weak.lock()) s->handleDelegateCompletionForReport(report, submit);
        });
    };
    if (d)
        d->reportingControllerDidDetectReportForLastExecution(report, completion);
    else
        completion(true);
}

void FLTCrashReportingController::handleDelegateCompletionForReport(const std::shared_ptr<FLTInternalReport>& report, bool submit) {
    if (!submit) {
        FLTDebugLog(QStringLiteral("[Faultline:Crash] Removing report at request of delegate"));
        removeReport(report);
        return;
    }
    if (needsToPrompt()) {
        displayPermissionAlertForReport(report);
        return;
    }
    reportsController()->prepareAndSubmitReport(report, false, true);
    trimPreparedPackages();
}

void FLTCrashReportingController::removeReport(const std::shared_ptr<FLTInternalReport>& report) { _fileManager->removeItemAtPath(report->path()); }

void FLTCrashReportingController::displayPermissionAlertForReport(const std::shared_ptr<FLTInternalReport>& report) {
    bool hasPresenter = false;
    {
        QMutexLocker locker(&g_presenterLock);
        hasPresenter = bool(g_presenter);
    }
    if (!hasPresenter) {
        // No way to ask (no windows): as in an extension, the report goes without an alert.
        submitOnQueue(report, false, true);
        return;
    }
    const FLTSettings s = settings();
    const QString title = s.interactivePromptTitle(), message = s.interactivePromptMessage(), cancel = s.interactivePromptCancelTitle(),
                  send = s.interactivePromptSendTitle(), always = s.interactivePromptAlwaysSendTitle();
    FLTDebugLog(QStringLiteral("[Faultline:Crash] Displaying permission alert"));
    std::weak_ptr<FLTCrashReportingController> weak = weak_from_this();
    MainQueue::post([weak, title, message, cancel, send, always, report] {
        if (auto self = weak.lock()) self->setupAndDisplayAlert(title, message, cancel, send, always, report);
    });
}

void FLTCrashReportingController::setupAndDisplayAlert(const QString& title, const QString& message, const QString& cancel, const QString& send,
                                                       const QString& alwaysSend, const std::shared_ptr<FLTInternalReport>& report) {
    std::weak_ptr<FLTCrashReportingController> weak = weak_from_this();
    auto complete = [weak, report](bool submit, bool always) {
        if (auto self = weak.lock()) self->_queue->async([weak, report, submit, always] {
            if (auto s = weak.lock()) s->handlePromptCompleteForReport(report, submit, always);
        });
    };
    const qint64 choice = _promptChoice.load();
    if (choice == Send || choice == AlwaysSend) return complete(true, false);
    if (choice == DontSend) return complete(false, false);
    AlertPresenter presenter;
    {
        QMutexLocker locker(&g_presenterLock);
        presenter = g_presenter;
    }
    const int answer = presenter ? presenter(title, message, cancel, send, alwaysSend) : 1000;
    bool submit = answer == 1000, always = false;
    if (!alwaysSend.isNull()) {
        always = answer == 1001;
        submit = submit || always;
    }
    // Set here, on the main thread, so an alert queued behind this one already follows it.
    _promptChoice.store(!submit ? DontSend : always ? AlwaysSend : Send);
    complete(submit, always);
}

void FLTCrashReportingController::handlePromptCompleteForReport(const std::shared_ptr<FLTInternalReport>& report, bool shouldSubmit, bool shouldMarkAlwaysSubmit) {
    if (!shouldSubmit) {
        _promptChoice.store(DontSend);
        FLTDebugLog(QStringLiteral("[Faultline:Crash] Removing report at request of user"));
        removeReport(report);
        return;
    }
    _promptChoice.store(shouldMarkAlwaysSubmit ? qint64(AlwaysSend) : std::max<qint64>(_promptChoice.load(), Send));
    reportsController()->prepareAndSubmitReport(report, false, true);
    trimPreparedPackages();
}

void FLTCrashReportingController::checkForUserPromptSetting() {
    if (settings().userPromptEnabled() && !delegateNeedsToBeInformedOfReports())
        SystemLog::warning(QStringLiteral("[Faultline:Crash] WARNING: the user prompt feature is enabled. As of Faultline 3.0.0, implementing a user prompt "
                                          "is the application's responsibility. See Faultline.h's notes about "
                                          "-faultlineDidDetectReportForLastExecution:completionHandler:"));
}

void FLTCrashReportingController::handleContentsInOtherReportingDirectories(const QStringList& processing, const QStringList& prepared) {
    std::weak_ptr<FLTCrashReportingController> weak = weak_from_this();
    if (!processing.isEmpty())
        _queue->async([weak, processing] {
            auto self = weak.lock();
            if (!self) return;
            for (const QString& path : processing) {
                if (!QFileInfo(path).isDir()) {
                    self->_fileManager->removeItemAtPath(path);
                    continue;
                }
                if (auto report = self->reportForFolder(path)) self->reportsController()->prepareAndSubmitReport(report, false, false);
            }
            self->trimPreparedPackages();
        });
    _networkClient->attemptToReconnectBackgroundSessionWithCompletionBlock([weak, prepared] {
        if (auto self = weak.lock()) self->_queue->async([weak, prepared] {
            if (auto s = weak.lock()) {
                // Packages a killed run left half-written never became visible: they go.
                for (const QString& name : QDir(s->_fileManager->preparedPath()).entryList({QStringLiteral(".*.tmp")}, QDir::Files | QDir::Hidden))
                    s->_fileManager->removeItemAtPath(s->_fileManager->preparedPath() + QLatin1Char('/') + name);
                s->trimPreparedPackages();
                s->uploadPreexistingFiles(prepared);
            }
        });
    });
}

void FLTCrashReportingController::uploadPreexistingFiles(const QStringList& paths) {
    for (const QString& path : paths)
        if (QFileInfo(path).isFile() && path.endsWith(QStringLiteral(".multipartmime"))) reportsController()->uploadPackagedReportAtPath(path, false);
}

void FLTCrashReportingController::trimPreparedPackages() {
    QList<QFileInfo> packages;
    for (const QString& path : _fileManager->preparedPathContents()) packages.append(QFileInfo(path));
    if (packages.size() <= maximumPreparedPackages) return;
    std::sort(packages.begin(), packages.end(), [](const QFileInfo& a, const QFileInfo& b) { return a.lastModified() < b.lastModified(); });
    for (qsizetype i = 0; i < packages.size() - maximumPreparedPackages; ++i) {
        SystemLog::warning(QStringLiteral("[Faultline:Crash] Too many reports wait for upload: dropping the oldest, %1").arg(packages[i].fileName()));
        _fileManager->removeItemAtPath(packages[i].filePath());
    }
}

void FLTCrashReportingController::retryUploadForReportAtPath(const QString& path) {
    std::weak_ptr<FLTCrashReportingController> weak = weak_from_this();
    _queue->after(retryDelay, [weak, path] {
        auto self = weak.lock();
        if (!self || !QFileInfo(path).isFile()) return;
        FLTDebugLog(QStringLiteral("[Faultline:Crash] re-attempting report submission"));
        self->reportsController()->uploadPackagedReportAtPath(path, false);
    });
}

bool FLTCrashReportingController::networkClientCanUseBackgroundSessions(FLTNetworkClient&) {
    auto d = _delegate.lock();
    return d && d->reportingControllerCanUseBackgroundSessions();
}

void FLTCrashReportingController::networkClientDidFinishUploadWithPath(FLTNetworkClient&, const QString& path, const QVError& error) {
    reportsController()->reportUploadAtPath(path, error);
}

void FLTCrashReportingController::reportsControllerDidCompletePackageSubmission(FLTReportsController&, const QString& path, const QVError& error) {
    if (error.isNull()) {
        FLTDebugLog(QStringLiteral("[Faultline:Crash] report submission successful"));
        QMutexLocker locker(&_lock);
        _retries.remove(path);
        return;
    }
    FLTDebugLog(QStringLiteral("[Faultline:Crash] report submission failed with error %1").arg(error.localizedDescription()));
    FLTLogWarn("Error: failed to submit report '%s'", qPrintable(error.localizedDescription()));
    // An answer no retry can change, or too many tries: the package waits for a later launch.
    if (_networkClient->failedUnrecoverably(path)) return;
    {
        QMutexLocker locker(&_lock);
        if (++_retries[path] > maximumRetries) return;
    }
    retryUploadForReportAtPath(path);
}

void FLTCrashReportingController::reportsControllerDidCompleteAllSubmissions(FLTReportsController& controller) {
    std::weak_ptr<FLTCrashReportingController> weak = weak_from_this();
    FLTReportsController* finished = &controller;
    _queue->async([weak, finished] {
        auto self = weak.lock();
        if (!self) return;
        QMutexLocker locker(&self->_lock);
        // Released only when it is still the one that finished (a new one may be at work).
        if (self->_reportsController.get() == finished) self->_reportsController.reset();
        locker.unlock();
        FLTDebugLog(QStringLiteral("[Faultline:Crash] report submission complete"));
    });
}
