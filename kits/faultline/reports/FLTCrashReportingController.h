// Crash reporting at launch and afterwards: checks the preconditions and the server's switch,
// prepares the store, keeps the launch marker, starts capture for this run's report and hands the
// reports of earlier runs to submission: at once when the last launch failed early, after the
// delegate's answer and the user's choice otherwise. Interrupted work (folders in "processing",
// packages in "prepared") resumes, failed uploads are tried again a bounded number of times, and
// "prepared" never holds more than a bounded number of packages. All report work runs on one
// serial work queue; the launch itself never waits on the network.
#pragma once

#include "kits/faultline/reports/FLTNetworkClient.h"
#include "kits/faultline/reports/FLTReportsController.h"
#include "kits/faultline/reports/FLTSettings.h"

#include <QHash>
#include <QMutex>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class FLTFileManager;
class FLTInternalReport;
class OperationQueue;

class FLTCrashReportingControllerDelegate {
public:
    virtual ~FLTCrashReportingControllerDelegate() = default;
    virtual bool shouldInstallCrashCallback() { return false; }
    virtual void detectedCrash() {}
    virtual bool reportingControllerCanUseBackgroundSessions() { return true; }
    virtual bool reportingControllerMustInformDelegateOfReports() { return false; }
    // Must call the completion exactly once: true to submit, false to discard.
    virtual void reportingControllerDidDetectReportForLastExecution(const std::shared_ptr<FLTInternalReport>&, std::function<void(bool)> completion) {
        completion(true);
    }
    virtual void reportingControllerInternalDidDetectReportForLastExecution(const std::shared_ptr<FLTInternalReport>&) {}
    virtual bool reportingControllerEnsureDeliveryOfUnixSignal(int /*signal*/) { return false; }
    virtual QString APIKeyForCrashReportingController() = 0;
    virtual QString installIDForCrashReportingController() = 0;
    virtual bool isFirstInstallForCrashReportingController() = 0;
    virtual FLTSettings settingsForCrashReportingController() = 0;
    // The run's execution identifier, which names this run's report folder.
    virtual QString executionIdentifierForCrashReportingController() = 0;
};

class FLTCrashReportingController : public FLTNetworkClientDelegate,
                                    public FLTReportsControllerDelegate,
                                    public std::enable_shared_from_this<FLTCrashReportingController> {
public:
    // The prompt's answers: 0 not asked, 1 don't send, 2 send, 3 always send (for this run).
    enum PromptChoice { NotAsked = 0, DontSend = 1, Send = 2, AlwaysSend = 3 };
    // Shows the permission alert modally on the main thread and answers the button chosen: 1000
    // send, 1001 always send, 1002 cancel (1001 cancel when there is no always-send button).
    using AlertPresenter = std::function<int(const QString& title, const QString& message, const QString& cancel, const QString& send,
                                             const QString& alwaysSend)>;
    static void setAlertPresenter(AlertPresenter presenter);
    // Failed uploads of one package tried again within a run, and the packages "prepared" keeps.
    static constexpr int maximumRetries = 3;
    static constexpr int maximumPreparedPackages = 32;
    static constexpr std::chrono::milliseconds retryDelay{600000};
    // How long the application's quit waits for report uploads under way.
    static constexpr std::chrono::milliseconds quitUploadBound{5000};

    // Watches the application's quit when there is an application object (see applicationWillTerminate).
    static std::shared_ptr<FLTCrashReportingController> make(std::shared_ptr<FLTFileManager> fileManager,
                                                             std::weak_ptr<FLTCrashReportingControllerDelegate> delegate);
    ~FLTCrashReportingController() override;

    // Answers whether capture runs for a new report of this run. Called once.
    bool startWithProfilingMark(quint64 mark, const QString& betaToken);

    QString APIKey();
    QString installIdentifier();
    bool firstInstall();
    FLTSettings settings();
    static QString bundleIdentifier();
    quint32 machExceptionMask();
    bool packagingEnabled() { return settings().shouldPackageReports(); }
    std::shared_ptr<OperationQueue> operationQueue() const { return _queue; }
    std::shared_ptr<FLTNetworkClient> networkClient() const { return _networkClient; }
    std::shared_ptr<FLTReportsController> reportsController();
    bool hasReportsController();
    std::shared_ptr<FLTInternalReport> currentReport() const { return _currentReport; }
    qint64 promptChoice() const { return _promptChoice.load(); }

    QString launchFailureMarkerPath() const;
    bool createLaunchFailureMarker() const;
    bool launchFailureMarkerPresent() const;
    bool removeLaunchFailureMarker() const;

    // The application's quit (a logout's SIGTERM ends the same way), after which the process
    // ends: no report upload starts any more, and each under way gets up to quitUploadBound to
    // settle, so that none the server takes meanwhile stays behind for the next launch to send
    // again. One still unsettled then is said in the log, with the bound.
    void applicationWillTerminate();

    // Submission (earlier reports, the prompt, interrupted work, retries).
    void processExistingReportPaths(const QStringList& paths, bool asUrgent);
    void processExistingActiveReportPath(const QString& path, bool asUrgent);
    void handleDelegateCompletionForReport(const std::shared_ptr<FLTInternalReport>& report, bool submit);
    void removeReport(const std::shared_ptr<FLTInternalReport>& report);
    void displayPermissionAlertForReport(const std::shared_ptr<FLTInternalReport>& report);
    void setupAndDisplayAlert(const QString& title, const QString& message, const QString& cancel, const QString& send, const QString& alwaysSend,
                              const std::shared_ptr<FLTInternalReport>& report);
    void handlePromptCompleteForReport(const std::shared_ptr<FLTInternalReport>& report, bool shouldSubmit, bool shouldMarkAlwaysSubmit);
    void checkForUserPromptSetting();
    void handleContentsInOtherReportingDirectories(const QStringList& processing, const QStringList& prepared);
    void uploadPreexistingFiles(const QStringList& paths);
    void retryUploadForReportAtPath(const QString& path);
    // Keeps the newest packages of "prepared"; older ones are removed with a log line.
    void trimPreparedPackages();
    // The application moved to or from the background: recorded on the started kit's queue.
    static void recordBackgroundState(bool inBackground);
    static std::weak_ptr<OperationQueue>& backgroundStateQueue();
    // Crash time, on the crashing thread: tells the delegate.
    void deliverCrashDelegateCallback();
    // A last effort after an uncaught exception, on the thread that is ending: submits a copy of
    // this run's report at once when urgent reports may go without asking anyone. True when a
    // submission was started. The capture is not told to call it: a process that is ending
    // sends nothing over a network that needs its own threads.
    bool potentiallySubmittableCrashOccurred();
    // Copies the one folder in "active" (this run's) to "<folder>-submit" and hands the copy to
    // the reports controller as urgent; false when "active" holds another folder too.
    bool attemptCurrentReportSubmission();

    bool networkClientCanUseBackgroundSessions(FLTNetworkClient&) override;
    void networkClientDidFinishUploadWithPath(FLTNetworkClient&, const QString& path, const QVError& error) override;
    FLTSettings settingsForReportsController(FLTReportsController&) override { return settings(); }
    QString bundleIdentifierForReportsController(FLTReportsController&) override { return bundleIdentifier(); }
    QString APIKeyForReportsController(FLTReportsController&) override { return APIKey(); }
    void reportsControllerDidCompletePackageSubmission(FLTReportsController&, const QString& path, const QVError& error) override;
    void reportsControllerDidCompleteAllSubmissions(FLTReportsController&) override;

private:
    FLTCrashReportingController() = default;
    bool needsToPrompt();
    bool delegateNeedsToBeInformedOfReports();
    bool canProcessUrgentReports();
    void submitOnQueue(const std::shared_ptr<FLTInternalReport>& report, bool asUrgent, bool withProcessing);
    std::shared_ptr<FLTInternalReport> reportForFolder(const QString& path) const;
    bool startCrashReporter(const QString& betaToken, quint64 mark);

    std::shared_ptr<FLTFileManager> _fileManager;
    std::weak_ptr<FLTCrashReportingControllerDelegate> _delegate;
    std::shared_ptr<OperationQueue> _queue;
    std::shared_ptr<FLTNetworkClient> _networkClient;
    QMutex _lock;
    std::shared_ptr<FLTReportsController> _reportsController;
    std::optional<FLTSettings> _settings;
    std::atomic<qint64> _promptChoice{NotAsked};
    std::shared_ptr<FLTInternalReport> _currentReport;
    QHash<QString, int> _retries;
    QByteArray _optionStrings[8];  // what the capture's options point into
};
