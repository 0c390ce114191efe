// The analytics pipeline: one serial event queue on which every event is written to the current
// log, logs are rotated by size or on a flush, compressed, packaged and uploaded, the first server
// settings of the run are applied, and the files an earlier run left are cleaned up and resumed.
// Nothing is uploaded before settings with an events address arrived, nor without the user's
// consent; the packages then wait in the folder, pruned at each start. A package whose server
// never answered waits too, and goes again after a later success, with this run's settings or at
// the next start.
#pragma once

#include "kits/tidings/TDGMetadata.h"
#include "kits/tidings/TDGNetworkRetryHandler.h"
#include "kits/tidings/TDGSettings.h"
#include "kits/tidings/TDGTimer.h"
#include "kits/tidings/TDGUploader.h"
#include "platform/NotificationCenter.h"
#include "platform/OperationQueue.h"

#include <QList>
#include <QSet>
#include <QString>

#include <memory>
#include <optional>

class TDGEvent;
class TDGCrashEvent;
class TDGMetadataSerializable;

class TDGTidingsController : public TDGUploaderDelegate, public std::enable_shared_from_this<TDGTidingsController> {
public:
    // <cache>/<kit prefix>.data/<escaped bundle identifier>/analytics/v2
    static QString rootDirectory();
    static std::shared_ptr<TDGTidingsController> make(const QString& betaToken, const QString& root = rootDirectory());
    ~TDGTidingsController() override;

    // Any thread.
    void logEvent(std::shared_ptr<TDGEvent> event);
    void logCrashEvent(std::shared_ptr<TDGCrashEvent> event);
    // "NSApplicationDidBecomeActiveNotification" and its two siblings.
    void applicationLifecycleEvent(const QString& notificationName);
    // The application's quit, after which the process ends: the termination event, a wait for the
    // queue (its work may start uploads), then one for each upload under way to settle, so that
    // none the server takes in the meantime stays behind for the next launch to send again. Each
    // wait has its bound; an upload still unsettled then is said in the log, with the bound.
    void applicationWillTerminate();
    static constexpr std::chrono::milliseconds quitQueueBound{2000};
    static constexpr std::chrono::milliseconds quitUploadBound{5000};
    // Settings downloaded in this run replace those an earlier run cached, once.
    void trellisSettingsDidBecomeAvailable();
    // Applies the settings unless some are in force already.
    void initializeSettingsIfNeededWithTrellisSettings(const std::optional<QVariantMap>& settings);

    std::shared_ptr<OperationQueue> eventQueue() const { return _eventQueue; }
    QString eventDirectory() const { return _eventDirectory; }
    QString crashMetadataPath() const { return _rootDirectory + QStringLiteral("/crash_metadata"); }
    // Read on the event queue (these wait for it).
    QString currentLogPath() const;
    TDGSettings settings() const;
    bool hasFlushTimer() const;
    std::shared_ptr<TDGUploader> uploader() const { return _uploader; }
    TDGNetworkRetryHandler& networkRetryHandler() { return *_networkRetryHandler; }
    // Blocks until the queue has run everything added so far (and what that added), or the time-out.
    bool waitUntilIdle(std::chrono::milliseconds timeout) const;

    // TDGUploaderDelegate, on the event queue.
    QString uploaderFilePathForUniqueName(TDGUploader&, const QString& name) override;
    void uploaderDidFinishUpload(TDGUploader&, const QString& name, const QVError& error) override;
    void uploaderCompletedRequest(TDGUploader&, const HttpRequest& request, const HttpResponse& response, const QString& name,
                                  const QVError& error, std::function<void(bool, const QVError&)> completion) override;
    void uploaderPrepareTrust(TDGUploader&, HttpRequest& request) override;
    QUrl uploaderEventsURL(TDGUploader&) override;

private:
    TDGTidingsController(QString betaToken, QString rootDirectory);
    void start();
    void setUp();
    QString generateNewLogPath() const;
    void enqueueEvent(std::shared_ptr<TDGEvent> event);
    // Appends the event's line to the current log now, on the event queue.
    void writeEvent(const std::shared_ptr<TDGEvent>& event, const TDGMetadataSerializable& metadata);
    bool shouldLogEvent() const;
    bool shouldSubmitLogAtURL(const QString& path) const;
    void rotateAndSubmitCurrentLog();
    // Compression, packaging and upload of a batch: rotated or leftover logs and compressed files.
    QList<std::shared_ptr<Operation>> operationsForLogs(const QStringList& logs, const QStringList& compressed);
    std::shared_ptr<Operation> uploadOperationForFileAtURL(const QString& package, const QString& boundary);
    void cleanupAndProcessExistingFiles();
    void uploadAllMultipartFiles();
    void uploadMultipartFiles(const QSet<QString>& packages);
    static QString boundaryFromURL(const QString& path);
    void applySettings(const QVariantMap& dictionary);
    void setupFlushTimer();
    void flushTimerFired();
    void removeAllLogs();
    void addAll(const QList<std::shared_ptr<Operation>>& operations);
    void checkQueue(const char* function) const;

    QString _betaToken;
    QString _rootDirectory;
    QString _eventDirectory;
    std::shared_ptr<OperationQueue> _eventQueue;
    // Event-queue state.
    std::unique_ptr<TDGMetadata> _metadata;
    std::shared_ptr<TDGCrashMetadata> _previousExecutionMetadata;
    std::shared_ptr<TDGUploader> _uploader;
    std::unique_ptr<TDGNetworkRetryHandler> _networkRetryHandler;
    QString _currentLogURL;
    TDGEventFilter _eventFilter;
    std::unique_ptr<TDGSettings> _settings;
    bool _settingsOfThisRun = false;
    bool _losingEvents = false;  // the last event could not be written
    QSet<QString> _unanswered;  // names whose last try reached no server
    QSet<QString> _kept;        // names kept after their server could not be reached
    std::unique_ptr<TDGTimer> _flushTimer;
    NotificationCenter::Token _settingsObserver = 0;
};
