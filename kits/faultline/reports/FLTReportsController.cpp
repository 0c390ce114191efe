#include "kits/faultline/reports/FLTReportsController.h"

#include "kits/faultline/reports/FLTFileManager.h"
#include "kits/faultline/reports/FLTKitIdentity.h"
#include "kits/faultline/reports/FLTNetworkClient.h"
#include "kits/faultline/reports/FLTPackageReportOperation.h"
#include "kits/faultline/reports/FLTReport.h"
#include "kits/faultline/reports/FLTSettings.h"
#include "kits/faultline/reports/FLTSymbolication.h"
#include "platform/SystemLog.h"
#include "shell/QVOutsideServices.h"
#include "kits/trellis/TRLURLBuilder.h"

#include <QFileInfo>
#include <QLocale>

FLTReportsController::FLTReportsController(std::shared_ptr<OperationQueue> queue, FLTReportsControllerDelegate* delegate,
                                           std::shared_ptr<FLTNetworkClient> client, std::shared_ptr<FLTFileManager> fileManager)
    : _queue(std::move(queue)), _delegate(delegate), _networkClient(std::move(client)), _fileManager(std::move(fileManager)) {}

bool FLTReportsController::prepareAndSubmitReport(const std::shared_ptr<FLTInternalReport>& report, bool asUrgent, bool withProcessing) {
    if (!report) return false;
    const FLTSettings settings = _delegate->settingsForReportsController(*this);
    if (withProcessing) {
        if (!_fileManager->moveItemAtPath(report->path(), _fileManager->processingPath())) {
            SystemLog::warning(QStringLiteral("[Faultline:Crash:Reports] Unable to move report for processing"));
            return false;
        }
        report->setPath(_fileManager->processingPath() + QLatin1Char('/') + report->directoryName());
        FLTProcessReportOperation process(report, std::make_shared<FLTSymbolResolver>());
        process.start();
    }
    if (!settings.shouldPackageReports()) {
        SystemLog::notice(QStringLiteral("[Faultline:Crash:Reports] Report packaging disabled"));
        return false;
    }
    FLTPackageReportOperation package(report, _fileManager);
    package.start();
    if (package.finalPath().isEmpty()) {
        SystemLog::warning(QStringLiteral("[Faultline:Crash:Reports] Unable to package report"));
        return false;
    }
    if (!_fileManager->removeItemAtPath(report->path()))
        SystemLog::warning(QStringLiteral("[Faultline:Crash:Reports] Unable to remove a processing item"));
    SystemLog::notice(QStringLiteral("[Faultline:Crash:Reports] Packaged report with id '%1' for submission").arg(report->identifier()));
    return uploadPackagedReportAtPath(package.finalPath(), asUrgent);
}

bool FLTReportsController::submissionEnabled() {
    const FLTSettings settings = _delegate->settingsForReportsController(*this);
    return settings.shouldSubmitReports() && !settings.reportsEndpoint().isEmpty() && QVOutsideServices::trackingAllowed();
}

bool FLTReportsController::uploadPackagedReportAtPath(const QString& path, bool asUrgent) {
    if (!submissionEnabled()) {
        SystemLog::notice(QStringLiteral("[Faultline:Crash:Reports] Submission disabled"));
        return false;
    }
    FLTDebugLog(QStringLiteral("[Faultline:Crash:Reports] Submitting report%1").arg(asUrgent ? QStringLiteral(" as urgent") : QString()));
    return submitPackageMultipartMimeAtPath(path, asUrgent);
}

bool FLTReportsController::submitPackageMultipartMimeAtPath(const QString& path, bool synchronously) {
    FLTDebugLog(QStringLiteral("[Faultline:Crash:Reports] Submitting %1 %2").arg(synchronously ? QStringLiteral("sync") : QStringLiteral("async"), path));
    const auto size = QFileInfo(path).isFile() ? _fileManager->fileSizeAtPath(path) : std::nullopt;
    if (!size || *size == 0) {
        FLTDebugLog(QStringLiteral("[Faultline:Crash:Reports] Already-submitted report being ignored"));
        return false;
    }
    const int timeout = synchronously ? (_networkClient->supportsBackgroundRequests() ? 10 : 2) : 10;
    const QUrl url = reportURL();
    if (!url.isValid()) return false;
    HttpRequest request = mutableRequestWithURL(url, timeout);
    request.method = "POST";
    if (!fillInRequest(request, path)) return false;
    if (synchronously) return _networkClient->startUploadRequest(request, path, true);
    {
        QMutexLocker locker(&_lock);
        _inFlight.insert(path);
    }
    if (!_networkClient->startUploadRequest(request, path, false)) {
        QMutexLocker locker(&_lock);
        _inFlight.remove(path);
        return false;
    }
    return true;
}

void FLTReportsController::reportUploadAtPath(const QString& path, const QVError& error) {
    FLTDebugLog(QStringLiteral("[Faultline:Crash:Reports] completed submission of %1").arg(path));
    if (error.isNull() && !cleanUpSubmittedReportAtPath(path))
        SystemLog::warning(QStringLiteral("[Faultline:Crash:Reports] Unable to remove packaged submission"));
    _delegate->reportsControllerDidCompletePackageSubmission(*this, path, error);
    bool allDone = false;
    {
        QMutexLocker locker(&_lock);
        allDone = _inFlight.remove(path) && _inFlight.isEmpty();
    }
    if (allDone) _delegate->reportsControllerDidCompleteAllSubmissions(*this);
}

bool FLTReportsController::cleanUpSubmittedReportAtPath(const QString& path) { return _fileManager->removeItemAtPath(path); }

QUrl FLTReportsController::reportURL() {
    TRLURLBuilder builder = TRLURLBuilder::URLWithBase(_delegate->settingsForReportsController(*this).reportsEndpoint());
    builder.appendComponent(QStringLiteral("/sdk-api/v1/platforms/"));
    builder.appendComponent(QStringLiteral("mac"));
    builder.appendComponent(QStringLiteral("/apps/"));
    builder.escapeAndAppendComponent(_delegate->bundleIdentifierForReportsController(*this));
    builder.appendComponent(QStringLiteral("/reports"));
    return builder.URL();
}

HttpRequest FLTReportsController::mutableRequestWithURL(const QUrl& url, int timeoutSeconds) {
    HttpRequest request;
    request.url = url;
    request.method = "POST";
    request.idleTimeoutMs = timeoutSeconds * 1000;
    FLTSetKitRequestHeaders(request, FLTKitClientIdentifier, _delegate->APIKeyForReportsController(*this));
    request.pinnedRootsPemPath = _delegate->settingsForReportsController(*this).reportsEndpointPinnedRoots();
    return request;
}

bool FLTReportsController::fillInRequest(HttpRequest& request, const QString& path) {
    const auto size = _fileManager->fileSizeAtPath(path);
    if (!size) {
        SystemLog::warning(QStringLiteral("[Faultline:Crash:Reports] Could not determine size of multipart mime file"));
        return false;
    }
    request.setHeader("Content-Type", QStringLiteral("multipart/form-data; boundary=%1").arg(QFileInfo(path).completeBaseName()).toUtf8());
    request.setHeader("Content-Length", QByteArray::number(*size));
    return true;
}
