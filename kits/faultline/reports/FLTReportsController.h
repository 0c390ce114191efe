// Carries one report at a time from its folder to the service: into "processing", symbolicated,
// packaged into "prepared", the folder removed, then the upload handed to the network client. A
// package is removed only after an upload the service accepted; every failure leaves the report
// where it was found for a later attempt. Without an endpoint or the user's consent, reports are
// packaged and wait.
#pragma once

#include "platform/HttpEngine.h"
#include "platform/QVError.h"

#include <QMutex>
#include <QSet>
#include <QString>
#include <QUrl>

#include <memory>

class FLTFileManager;
class FLTInternalReport;
class FLTNetworkClient;
class FLTSettings;
class OperationQueue;

class FLTReportsController;

class FLTReportsControllerDelegate {
public:
    virtual ~FLTReportsControllerDelegate() = default;
    virtual FLTSettings settingsForReportsController(FLTReportsController&) = 0;
    virtual QString bundleIdentifierForReportsController(FLTReportsController&) = 0;
    virtual QString APIKeyForReportsController(FLTReportsController&) = 0;
    virtual void reportsControllerDidCompletePackageSubmission(FLTReportsController&, const QString& /*path*/, const QVError& /*error*/) {}
    // Every upload this controller started has ended.
    virtual void reportsControllerDidCompleteAllSubmissions(FLTReportsController&) {}
};

class FLTReportsController {
public:
    FLTReportsController(std::shared_ptr<OperationQueue> queue, FLTReportsControllerDelegate* delegate, std::shared_ptr<FLTNetworkClient> client,
                         std::shared_ptr<FLTFileManager> fileManager);

    bool prepareAndSubmitReport(const std::shared_ptr<FLTInternalReport>& report, bool asUrgent, bool withProcessing);
    bool uploadPackagedReportAtPath(const QString& path, bool asUrgent);
    bool submitPackageMultipartMimeAtPath(const QString& path, bool synchronously);
    void reportUploadAtPath(const QString& path, const QVError& error);
    bool cleanUpSubmittedReportAtPath(const QString& path);

    QUrl reportURL();
    HttpRequest mutableRequestWithURL(const QUrl& url, int timeoutSeconds);
    bool fillInRequest(HttpRequest& request, const QString& path);
    // Whether uploads may leave now: submission on, an endpoint set, the user's consent given.
    bool submissionEnabled();

    std::shared_ptr<FLTNetworkClient> networkClient() const { return _networkClient; }
    std::shared_ptr<FLTFileManager> fileManager() const { return _fileManager; }

private:
    std::shared_ptr<OperationQueue> _queue;
    FLTReportsControllerDelegate* _delegate;
    std::shared_ptr<FLTNetworkClient> _networkClient;
    std::shared_ptr<FLTFileManager> _fileManager;
    QMutex _lock;
    QSet<QString> _inFlight;
};
