#include "kits/tidings/TDGTidingsController.h"

#include "kits/tidings/TDGEvent.h"
#include "kits/tidings/TDGFileOperations.h"
#include "kits/tidings/TDGLogger.h"
#include "kits/tidings/TDGWriteEventOperation.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "platform/SystemLog.h"
#include "shell/QVOutsideServices.h"
#include "kits/trellis/TRLConstants.h"
#include "kits/trellis/TRLHelpers.h"
#include "kits/trellis/TRLMultipartMimeStreamEncoder.h"
#include "kits/trellis/TRLNetworkResponseHandler.h"
#include "kits/trellis/TRLSettingsOnboardingManager.h"
#include "kits/trellis/Trellis.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <thread>

static TDGLogger& logger() { return TDGLogger::sharedLogger(); }
static QString prefixed(const char* suffix) { return QLatin1String(TRLKitPrefix) + QLatin1String(suffix); }

QString TDGTidingsController::rootDirectory() {
    return Paths::cacheHome() + QLatin1Char('/') + QLatin1String(TRLKitPrefix) + QStringLiteral(".data/") + TRLEscapedBundleIdentifier() +
           QStringLiteral("/analytics/v2");
}

std::shared_ptr<TDGTidingsController> TDGTidingsController::make(const QString& betaToken, const QString& root) {
    std::shared_ptr<TDGTidingsController> c(new TDGTidingsController(betaToken, root));
    c->start();
    return c;
}

TDGTidingsController::TDGTidingsController(QString betaToken, QString rootDirectory)
    : _betaToken(std::move(betaToken)), _rootDirectory(std::move(rootDirectory)),
      _eventQueue(std::make_shared<OperationQueue>(prefixed(".EventQueue"), 1)) {}

TDGTidingsController::~TDGTidingsController() {
    if (_settingsObserver) NotificationCenter::defaultCenter().removeObserver(_settingsObserver);
    _flushTimer.reset();
}

void TDGTidingsController::start() {
    std::weak_ptr<TDGTidingsController> weak = weak_from_this();
    _eventQueue->async([weak] {
        if (auto self = weak.lock()) self->setUp();
    });
    _settingsObserver = NotificationCenter::defaultCenter().addObserver(QString::fromLatin1(TRLSettingsAvailableNotification), nullptr,
                                                                        [weak](const Notification&) {
                                                                            if (auto self = weak.lock()) self->trellisSettingsDidBecomeAvailable();
                                                                        });
    Trellis& trellis = Trellis::sharedSDK();
    if (trellis.isFirstInstall()) enqueueEvent(TDGLifecycleEvent::installEvent());
    enqueueEvent(TDGLifecycleEvent::appLaunchedEvent());
    initializeSettingsIfNeededWithTrellisSettings(trellis.settings());
    trellis.setAdvertisingToken(TDGMetadata::identifierForAdvertising().value_or(QString()));
}

void TDGTidingsController::setUp() {
    _eventDirectory = _rootDirectory + QStringLiteral("/events");
    QDir().mkpath(_eventDirectory);
    _currentLogURL = generateNewLogPath();
    _settings = std::make_unique<TDGSettings>();
    _metadata = std::make_unique<TDGMetadata>(Trellis::sharedSDK(), _betaToken);
    TDGRotateCrashMetadataOperation rotate(crashMetadataPath(), *_metadata);
    rotate.start();
    _previousExecutionMetadata = std::make_shared<TDGCrashMetadata>(rotate.crashMetadata());
    // The events endpoint may name its own roots, as the settings endpoint does.
    std::optional<QByteArray> roots;
    const QString rootsPath = TRLSettingsOnboardingManager::valueForConfigurationKey(QStringLiteral("AnalyticsEndpointPinnedRoots"));
    if (!rootsPath.isEmpty()) {
        QFile file(rootsPath);
        // An unreadable roots file trusts nothing rather than everything.
        roots = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    _networkRetryHandler = std::make_unique<TDGNetworkRetryHandler>(roots);
    _uploader = TDGUploader::make(_eventQueue, weak_from_this());
    cleanupAndProcessExistingFiles();
}

QString TDGTidingsController::generateNewLogPath() const {
    return _eventDirectory + QLatin1Char('/') + TRLGenerateUUIDString() + QStringLiteral(".log");
}

QString TDGTidingsController::boundaryFromURL(const QString& path) {
    if (TDGFileUtils::extension(path) != QLatin1String("multipartmime")) return {};
    return TDGFileUtils::baseName(path);
}

void TDGTidingsController::checkQueue(const char* function) const {
    if (!_eventQueue->isCurrent())
        logger().log(QStringLiteral("queuing bug in %1: %2 != current queue").arg(QLatin1String(function), _eventQueue->label()));
}

void TDGTidingsController::addAll(const QList<std::shared_ptr<Operation>>& operations) {
    for (const auto& op : operations) _eventQueue->addOperation(op);
}

void TDGTidingsController::applicationLifecycleEvent(const QString& notificationName) {
    enqueueEvent(TDGLifecycleEvent::eventWithNotification(notificationName));
}

void TDGTidingsController::applicationWillTerminate() {
    applicationLifecycleEvent(QStringLiteral("NSApplicationWillTerminateNotification"));
    waitUntilIdle(quitQueueBound);
    // No upload starts after this: one the process would end half-way would go again at the next
    // launch. Its package waits for that launch instead.
    const int underWay = _uploader->stopAndWaitForUploadsToSettle(std::chrono::milliseconds(0));
    if (underWay == 0) return;
    SystemLog::notice(QStringLiteral("Tidings: waiting up to %1 ms for %2 upload(s) under way").arg(quitUploadBound.count()).arg(underWay));
    if (const int left = _uploader->stopAndWaitForUploadsToSettle(quitUploadBound))
        SystemLog::warning(QStringLiteral("Tidings: %1 upload(s) not settled within %2 ms; their packages go again at the next launch")
                               .arg(left)
                               .arg(quitUploadBound.count()));
}

void TDGTidingsController::trellisSettingsDidBecomeAvailable() {
    // The settings in force may be an earlier run's cached copy, read at start: the first copy
    // downloaded in this run replaces them (a new events address among them), whatever they were.
    const std::optional<QVariantMap> dictionary = Trellis::sharedSDK().settings();
    std::weak_ptr<TDGTidingsController> weak = weak_from_this();
    _eventQueue->async([weak, dictionary] {
        auto self = weak.lock();
        if (!self || !dictionary || !self->_settings || self->_settingsOfThisRun) return;
        self->_settingsOfThisRun = true;
        self->applySettings(*dictionary);
    });
}

void TDGTidingsController::initializeSettingsIfNeededWithTrellisSettings(const std::optional<QVariantMap>& dictionary) {
    std::weak_ptr<TDGTidingsController> weak = weak_from_this();
    _eventQueue->async([weak, dictionary] {
        auto self = weak.lock();
        if (!self || !dictionary || !self->_settings || self->_settings->valid()) return;
        self->applySettings(*dictionary);
    });
}

void TDGTidingsController::applySettings(const QVariantMap& dictionary) {
    checkQueue("applySettings");
    _settings = std::make_unique<TDGSettings>(dictionary);
    if (_settings->shouldCollectAnalytics()) {
        logger().log(QStringLiteral("Tidings enabled with settings: %1").arg(QString::fromUtf8(TDGJson::write(dictionary.value(QStringLiteral("analytics"))))));
        logger().log(QStringLiteral("Logging events to %1").arg(_eventDirectory));
        setupFlushTimer();
        _uploader->setDefaultUploadTimeout(_settings->defaultUploadTimeout());
        _uploader->setLowPowerUploadTimeout(_settings->lowPowerUploadTimeout());
        _kept.clear();
        uploadAllMultipartFiles();
    } else {
        logger().log(QStringLiteral("Tidings is disabled. Cleaning up."));
        _flushTimer.reset();
        removeAllLogs();
    }
}

void TDGTidingsController::removeAllLogs() {
    for (const QString& path : TDGFileUtils::allFilesInDirectory(_eventDirectory)) TDGFileUtils::removeEntry(path);
}

void TDGTidingsController::setupFlushTimer() {
    checkQueue("setupFlushTimer");
    const double interval = _settings->flushInterval();
    if (interval <= 0) {
        _flushTimer.reset();
        return;
    }
    std::weak_ptr<TDGTidingsController> weak = weak_from_this();
    _flushTimer = std::make_unique<TDGTimer>(interval, _eventQueue, prefixed(".TimedEventsFlush"), [weak] {
        if (auto self = weak.lock()) self->flushTimerFired();
    });
}

void TDGTidingsController::flushTimerFired() {
    checkQueue("flushTimerFired");
    if (_settings->flushInterval() <= 0) {
        _flushTimer.reset();
        return;
    }
    if (shouldSubmitLogAtURL(_currentLogURL)) rotateAndSubmitCurrentLog();
}

bool TDGTidingsController::shouldLogEvent() const {
    if (!_settings) return false;
    if (!_settings->valid()) return true;
    return _settings->shouldCollectAnalytics();
}

bool TDGTidingsController::shouldSubmitLogAtURL(const QString& path) const {
    return TDGFileUtils::fileSizeAtURL(path) > _settings->maximumPayloadSize();
}

void TDGTidingsController::logEvent(std::shared_ptr<TDGEvent> event) {
    if (!event) return;
    logger().log(QStringLiteral("Logging Tidings event: %1").arg(event->description()));
    enqueueEvent(std::move(event));
}

void TDGTidingsController::enqueueEvent(std::shared_ptr<TDGEvent> event) {
    auto activity = TDGActivityOperation::operationByStartingActivityName(
        prefixed(".RecordEvent"), TDGActivity::SuddenTerminationDisabled | TDGActivity::AutomaticTerminationDisabled);
    std::weak_ptr<TDGTidingsController> weak = weak_from_this();
    auto block = BlockOperation::make([weak, event] {
        auto self = weak.lock();
        if (!self || !self->shouldLogEvent()) return;
        if (self->_eventFilter.shouldDiscardEvent(event.get(), self->_metadata->betaToken(), self->_metadata->installationId(),
                                                  self->_settings->samplingRate())) {
            logger().log(QStringLiteral("Application is enabled for sampling, skipping %1").arg(event->description()));
            return;
        }
        // The size is tested before this event's line goes in, and the line still goes into the
        // file being rotated, as its last.
        const bool full = self->shouldSubmitLogAtURL(self->_currentLogURL);
        self->writeEvent(event, *self->_metadata);
        if (full || event->triggersFlush()) self->rotateAndSubmitCurrentLog();
    });
    activity->addDependency(block);
    _eventQueue->addOperation(block);
    _eventQueue->addOperation(activity);
}

void TDGTidingsController::logCrashEvent(std::shared_ptr<TDGCrashEvent> event) {
    if (!event) return;
    auto activity = TDGActivityOperation::operationByStartingActivityName(
        prefixed(".RecordCrashEvent"), TDGActivity::SuddenTerminationDisabled | TDGActivity::AutomaticTerminationDisabled);
    std::weak_ptr<TDGTidingsController> weak = weak_from_this();
    auto block = BlockOperation::make([weak, event] {
        auto self = weak.lock();
        if (!self) return;
        logger().log(QStringLiteral("Attempting to log %1").arg(event->name()));
        if (!self->shouldLogEvent()) return;
        if (self->_eventFilter.shouldDiscardEvent(event.get(), self->_metadata->betaToken(), self->_metadata->installationId(),
                                                  self->_settings->samplingRate())) {
            logger().log(QStringLiteral("Application is enabled for sampling, skipping %1").arg(event->description()));
            return;
        }
        const QFileInfo current(self->_currentLogURL);
        if (current.exists() && current.isReadable()) self->rotateAndSubmitCurrentLog();
        self->writeEvent(event, *self->_previousExecutionMetadata);
        self->rotateAndSubmitCurrentLog();
    });
    activity->addDependency(block);
    _eventQueue->addOperation(block);
    _eventQueue->addOperation(activity);
}

void TDGTidingsController::writeEvent(const std::shared_ptr<TDGEvent>& event, const TDGMetadataSerializable& metadata) {
    checkQueue("writeEvent");
    // Written at once, inside the event's own turn, not queued behind it: events logged in a burst
    // put their blocks on the queue ahead of any write one of them would add, so a queued write
    // would land only after every one of those blocks had tested a log without it. The size rule
    // would then pass unseen (one log of hundreds of lines), and a crash event would find no
    // current log to rotate away and share the current session's file and metadata line.
    TDGWriteEventOperation write(event, metadata, _currentLogURL);
    write.start();
    // A full disk (or a log that cannot be written) loses events: said once, when the first is
    // lost, and again only after writing worked in between.
    if (write.success()) {
        _losingEvents = false;
    } else if (!_losingEvents) {
        _losingEvents = true;
        SystemLog::warning(QStringLiteral("[Tidings] Events are lost: the log %1 cannot be written (is the disk full?)").arg(_currentLogURL));
    }
}

void TDGTidingsController::rotateAndSubmitCurrentLog() {
    auto activity = TDGActivityOperation::operationByStartingActivityName(
        prefixed(".RotateAndSubmit"),
        TDGActivity::SuddenTerminationDisabled | TDGActivity::AutomaticTerminationDisabled | TDGActivity::Background);
    const QString old = _currentLogURL;
    _currentLogURL = generateNewLogPath();
    const auto operations = operationsForLogs({old}, {});
    for (const auto& op : operations) activity->addDependency(op);
    addAll(operations);
    _eventQueue->addOperation(activity);
}

QList<std::shared_ptr<Operation>> TDGTidingsController::operationsForLogs(const QStringList& logs, const QStringList& compressed) {
    auto checkExtension = [](const QString& path, const char* expected) {
        if (TDGFileUtils::extension(path) != QLatin1String(expected))
            logger().log(QStringLiteral("Error: attempted to submit file with invalid extension %1, should be %2")
                             .arg(TDGFileUtils::extension(path), QLatin1String(expected)));
    };
    QStringList withEvents;
    for (const QString& log : logs) {
        checkExtension(log, "log");
        // Nothing to send: a package of it would be an empty one.
        if (TDGFileUtils::logHoldsAnEvent(log)) withEvents << log;
        else TDGFileUtils::removeEntry(log);
    }
    for (const QString& gz : compressed) checkExtension(gz, "gz");
    if (withEvents.isEmpty() && compressed.isEmpty()) return {};
    // The whole batch is compressed and packaged in one stage, with a few syncs whatever its size;
    // an input goes only once its output is whole and durable, and a failed one stays for the
    // clean-up of the next start.
    TDGPackageLogOperation::Batch batch = TDGPackageLogOperation::batchForLogs(withEvents, compressed);
    QList<std::shared_ptr<Operation>> operations = batch.operations();
    for (const auto& [package, boundary] : std::as_const(batch.packages)) {
        auto upload = uploadOperationForFileAtURL(package, boundary);
        upload->addDependency(batch.package);
        operations << upload;
    }
    return operations;
}

std::shared_ptr<Operation> TDGTidingsController::uploadOperationForFileAtURL(const QString& package, const QString& boundary) {
    // The gate is passed when the upload's turn comes, not when it is queued: a log rotated just
    // before the settings arrived would otherwise be packaged after they were applied and wait
    // for the next launch. Nothing goes before settings name an events address, nor without the
    // user's consent: the package then waits in the folder for a later pass.
    std::weak_ptr<TDGTidingsController> weak = weak_from_this();
    auto op = BlockOperation::make([weak, package, boundary] {
        auto self = weak.lock();
        if (!self) return;
        const QUrl url = self->_settings->tidingsURL();
        if (!self->_settings->valid() || !self->_settings->shouldCollectAnalytics() || url.isEmpty() ||
            !QVOutsideServices::trackingAllowed())
            return;
        TDGUploadOperation upload(self->_uploader, url, self->_metadata->APIKey(), package, boundary);
        upload.start();
    });
    op->setName(QStringLiteral("upload ") + boundary);
    return op;
}

void TDGTidingsController::cleanupAndProcessExistingFiles() {
    auto cleanup = std::make_shared<TDGCleanupFilesOperation>(_eventDirectory, _settings->maxPendingSendFiles());
    std::weak_ptr<TDGTidingsController> weak = weak_from_this();
    cleanup->setSuccessBlock([weak](const QSet<QString>& logs, const QSet<QString>& compressed, const QSet<QString>& packages) {
        auto self = weak.lock();
        if (!self) return;
        if (!logs.isEmpty() || !compressed.isEmpty()) self->addAll(self->operationsForLogs(logs.values(), compressed.values()));
        self->_uploader->attemptToReconnectBackgroundSessionWithCompletionBlock([weak, packages] {
            if (auto self = weak.lock()) self->uploadMultipartFiles(packages);
        });
    });
    // Run inside the set-up, not queued after it: events are written in their own turns, and the
    // first of those may already wait on the queue, so a queued clean-up could find this run's
    // current log and send it off as an earlier run's leftover while events still go to it.
    cleanup->start();
}

void TDGTidingsController::uploadAllMultipartFiles() {
    uploadMultipartFiles(TDGFileUtils::filesWithExtension(QStringLiteral("multipartmime"), _eventDirectory));
}

void TDGTidingsController::uploadMultipartFiles(const QSet<QString>& packages) {
    for (const QString& package : packages) {
        const QString boundary = boundaryFromURL(package);
        if (boundary.isEmpty()) continue;
        _eventQueue->addOperation(uploadOperationForFileAtURL(package, boundary));
    }
}

QString TDGTidingsController::uploaderFilePathForUniqueName(TDGUploader&, const QString& name) {
    return _eventDirectory + QLatin1Char('/') + name + QStringLiteral(".multipartmime");
}

void TDGTidingsController::uploaderDidFinishUpload(TDGUploader& uploader, const QString& name, const QVError& error) {
    if (_unanswered.remove(name) && !error.isNull()) {
        // No server took them: the events are kept for a later turn, not thrown away.
        logger().log(QStringLiteral("Keeping '%1' for a later turn: %2").arg(name, error.localizedDescription()));
        _kept.insert(name);
        return;
    }
    if (!error.isNull()) logger().log(QStringLiteral("Failed to upload '%1': %2").arg(name, error.localizedDescription()));
    logger().log(QStringLiteral("Finished transmission of '%1'.").arg(name));
    QFile::remove(uploaderFilePathForUniqueName(uploader, name));
    if (error.isNull() && !_kept.isEmpty()) {
        // A server answers again: what waited for one goes now.
        QSet<QString> packages;
        for (const QString& kept : std::as_const(_kept)) packages.insert(uploaderFilePathForUniqueName(uploader, kept));
        _kept.clear();
        uploadMultipartFiles(packages);
    }
}

void TDGTidingsController::uploaderCompletedRequest(TDGUploader&, const HttpRequest& request, const HttpResponse& response,
                                                    const QString& name, const QVError& error,
                                                    std::function<void(bool, const QVError&)> completion) {
    // No answer at all: refused, offline, a name not found, a refused certificate, a time-out or a
    // connection dropped before the status line. Or an answer that neither took nor refused it: a
    // redirect not followed, a loop or a chain too long, a 304.
    const bool unanswered = (response.status == 0 && (response.error == HttpResponse::Network || response.error == HttpResponse::Tls ||
                                                       response.error == HttpResponse::TimedOut)) ||
                            TRLNetworkResponseHandler::uploadLeftUntaken(response);
    if (unanswered)
        _unanswered.insert(name);
    else
        _unanswered.remove(name);
    _networkRetryHandler->handleCompletedRequest(request, response, name, error, [name, completion](bool retry, const QVError& e) {
        if (!e.isNull()) logger().log(QStringLiteral("Error transmitting '%1': %2").arg(name, e.localizedDescription()));
        if (retry) logger().log(QStringLiteral("Scheduling retry for '%1'.").arg(name));
        completion(retry, e);
    });
}

void TDGTidingsController::uploaderPrepareTrust(TDGUploader&, HttpRequest& request) { _networkRetryHandler->handleChallenge(request); }

QUrl TDGTidingsController::uploaderEventsURL(TDGUploader&) {
    return _settings && _settings->valid() && _settings->shouldCollectAnalytics() ? _settings->tidingsURL() : QUrl();
}

QString TDGTidingsController::currentLogPath() const {
    QString path;
    _eventQueue->sync([&] { path = _currentLogURL; });
    return path;
}

TDGSettings TDGTidingsController::settings() const {
    TDGSettings s;
    _eventQueue->sync([&] {
        if (_settings) s = *_settings;
    });
    return s;
}

bool TDGTidingsController::hasFlushTimer() const {
    bool has = false;
    _eventQueue->sync([&] { has = bool(_flushTimer); });
    return has;
}

bool TDGTidingsController::waitUntilIdle(std::chrono::milliseconds timeout) const {
    // Real time: a test that runs the clock faster still gives the queue its time.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (_eventQueue->operationCount() > 0) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}
