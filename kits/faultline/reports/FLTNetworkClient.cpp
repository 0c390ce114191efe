#include "kits/faultline/reports/FLTNetworkClient.h"

#include "kits/faultline/FLTSDKLog.h"
#include "kits/faultline/reports/FLTFileManager.h"
#include "kits/faultline/reports/FLTKitIdentity.h"
#include "platform/OperationQueue.h"
#include "platform/SystemLog.h"
#include "shell/QVOutsideServices.h"
#include "kits/trellis/TRLCertificatePinner.h"
#include "kits/trellis/TRLNetworkResponseHandler.h"

#include <QFileInfo>

#include <chrono>
#include <tuple>

namespace {

bool readable(const QString& path) {
    const QFileInfo info(path);
    return info.isFile() && info.isReadable();
}

}  // namespace

std::shared_ptr<FLTNetworkClient> FLTNetworkClient::make(std::shared_ptr<OperationQueue> queue, std::shared_ptr<FLTFileManager> fileManager,
                                                         std::weak_ptr<FLTNetworkClientDelegate> delegate) {
    std::shared_ptr<FLTNetworkClient> client(new FLTNetworkClient());
    client->_queue = std::move(queue);
    client->_fileManager = std::move(fileManager);
    client->_delegate = delegate;
    if (auto d = delegate.lock()) client->_canUseBackgroundSession = d->networkClientCanUseBackgroundSessions(*client);
    if (!client->supportsBackgroundRequests())
        FLTDebugLog(QStringLiteral("[Faultline:Crash:Client] Background session uploading not supported, asynchronous uploading will be used"));
    return client;
}

FLTNetworkClient::~FLTNetworkClient() {
    if (_session) _session->invalidateAndCancel();
}

bool FLTNetworkClient::supportsBackgroundRequests() const { return NSURLSessionAvailable() && _canUseBackgroundSession; }

void FLTNetworkClient::attemptToReconnectBackgroundSessionWithCompletionBlock(const std::function<void()>& block) {
    if (block) block();
}

std::shared_ptr<FLTURLSession> FLTNetworkClient::session() {
    QMutexLocker locker(&_lock);
    if (_session) return _session;
    std::shared_ptr<FLTURLSessionConfiguration> configuration;
    if (supportsBackgroundRequests())
        configuration = FLTURLSessionConfiguration::backgroundSessionConfigurationWithIdentifier(QLatin1String(FLTKitBundleIdentifier) +
                                                                                                 QStringLiteral(".crash.background-session"));
    if (!configuration) configuration = FLTURLSessionConfiguration::defaultSessionConfiguration();
    _session = FLTURLSession::sessionWithConfiguration(configuration, weak_from_this(), _queue);
    if (!_session) SystemLog::error(QStringLiteral("[Faultline:Crash:Client] Failed to initialize"));
    else if (_stopped) _session->stopStartingTransfers();
    return _session;
}

int FLTNetworkClient::stopAndWaitForUploadsToSettle(std::chrono::milliseconds bound) {
    std::shared_ptr<FLTURLSession> s;
    {
        QMutexLocker locker(&_lock);
        _stopped = true;
        s = _session;
    }
    if (!s) return 0;
    s->stopStartingTransfers();
    return s->waitForTransfersToSettle(bound);
}

void FLTNetworkClient::applyTrust(HttpRequest& request) const {
    // Debug mode trusts the system's roots (still verified); otherwise the endpoint's own roots
    // file when it names one, else the built-in roots.
    if (FLTDebugMode() || !request.pinnedRootsPemPath.isEmpty()) return;
    request.pinnedRootsPem = TRLCertificatePinner::pinnedCertificates();
}

QString FLTNetworkClient::rootPath() const { return _fileManager->rootPath(); }

QString FLTNetworkClient::relativeTaskPathForAbsolutePath(const QString& path) const {
    const QString prefix = rootPath() + QLatin1Char('/');
    if (!path.startsWith(prefix) || path.size() == prefix.size()) {
        FLTLogWarn("Error: path '%s' is not at the root '%s'", qPrintable(path), qPrintable(rootPath()));
        return {};
    }
    return path.mid(prefix.size());
}

QString FLTNetworkClient::absolutePathForRelativeTaskPath(const QString& path) const { return rootPath() + QLatin1Char('/') + path; }

bool FLTNetworkClient::failedUnrecoverably(const QString& path) const {
    QMutexLocker locker(&_lock);
    return _unrecoverable.contains(path);
}

bool FLTNetworkClient::startUploadRequest(HttpRequest request, const QString& filePath, bool immediately) {
    applyTrust(request);
    request.onStatusLine = TRLNetworkResponseHandler::removeWhenAccepted(filePath);
    if (immediately) return startImmediateUploadRequest(request, filePath);
    const QString description = relativeTaskPathForAbsolutePath(filePath);
    if (description.isEmpty()) return false;
    {
        QMutexLocker locker(&_lock);
        _restarts.remove(description);
        _unrecoverable.remove(filePath);
    }
    std::weak_ptr<FLTNetworkClient> weak = weak_from_this();
    auto s = session();
    if (!s) return false;
    s->getTasksWithCompletionHandler([weak, request, filePath, description](auto data, auto upload, auto download) {
        auto self = weak.lock();
        if (!self) return;
        for (const auto& list : {upload, data, download})
            for (const auto& task : list)
                if (task->taskDescription() == description) {
                    FLTDebugLog(QStringLiteral("[Faultline:Crash:Client] A task currently exists for this upload, skipping"));
                    return;
                }
        self->startNewUploadRequest(request, filePath);
    });
    return true;
}

bool FLTNetworkClient::startImmediateUploadRequest(const HttpRequest& request, const QString& filePath) {
    if (supportsBackgroundRequests()) {
        startNewUploadRequest(request, filePath);
        return true;
    }
    if (!readable(filePath)) {
        FLTLogWarn("Error: file unreadable");
        return false;
    }
    // The same gate as every session task: nothing leaves without the user's consent, nor once
    // the quit has begun.
    if (!QVOutsideServices::trackingAllowed()) return false;
    {
        QMutexLocker locker(&_lock);
        if (_stopped) return false;
    }
    HttpRequest copy = request;
    copy.bodyFilePath = filePath;
    FLTURLSession::applyKitLimits(copy);
    {
        QMutexLocker locker(&_lock);
        if (!_immediate) _immediate = std::make_unique<HttpSession>();
    }
    const HttpResponse response = _immediate->perform(copy);
    if (!TRLNetworkResponseHandler::uploadAccepted(response)) return false;
    finish(filePath, {});
    return true;
}

void FLTNetworkClient::startNewUploadRequest(const HttpRequest& request, const QString& filePath) {
    {
        QMutexLocker locker(&_lock);
        if (_active == filePath) return;
        for (const auto& waiting : _pending)
            if (waiting.second == filePath) return;
        _pending.append({request, filePath});
    }
    pump();
}

void FLTNetworkClient::pump() {
    HttpRequest request;
    QString path;
    {
        QMutexLocker locker(&_lock);
        if (!_active.isEmpty() || _pending.isEmpty()) return;
        std::tie(request, path) = _pending.takeFirst();
        _active = path;
    }
    startTask(request, path);
}

void FLTNetworkClient::startTask(const HttpRequest& request, const QString& filePath) {
    const QString description = relativeTaskPathForAbsolutePath(filePath);
    if (!readable(filePath) || description.isEmpty()) {
        std::weak_ptr<FLTNetworkClient> weak = weak_from_this();
        _queue->async([weak, filePath] {
            if (auto self = weak.lock())
                self->finish(filePath, QVError(errorDomain(), -2, {{QStringLiteral("path"), filePath}}));
        });
        return;
    }
    auto s = session();
    auto task = s ? s->uploadTaskWithRequest(request, filePath) : nullptr;
    if (!task) {
        std::weak_ptr<FLTNetworkClient> weak = weak_from_this();
        _queue->async([weak, filePath] {
            if (auto self = weak.lock()) self->finish(filePath, TRLNetworkResponseHandler::errorForCode(TRLNetworkResponseHandler::NoTaskCreated));
        });
        return;
    }
    task->setTaskDescription(description);
    task->resume();
}

void FLTNetworkClient::URLSessionTaskDidReceiveStatus(FLTURLSession&, FLTURLSessionTask& task, int status) {
    if (!TRLNetworkResponseHandler::uploadAccepted(status)) return;
    {
        QMutexLocker locker(&_lock);
        if (_acceptedTasks.contains(task.taskIdentifier())) return;
        _acceptedTasks.insert(task.taskIdentifier());
    }
    finish(absolutePathForRelativeTaskPath(task.taskDescription()), {});
}

void FLTNetworkClient::URLSessionTaskDidCompleteWithError(FLTURLSession&, FLTURLSessionTask& task, const QVError& error) {
    {
        QMutexLocker locker(&_lock);
        if (_acceptedTasks.remove(task.taskIdentifier())) return;  // finished when its status line came
    }
    const QString path = absolutePathForRelativeTaskPath(task.taskDescription());
    const HttpResponse response = task.response();
    if (TRLNetworkResponseHandler::uploadAccepted(response)) {
        finish(path, {});
        return;
    }
    bool retry = response.error == HttpResponse::TimedOut || response.error == HttpResponse::Network;
    bool unrecoverable = false;
    QVError failure = error;
    if (TRLNetworkResponseHandler::uploadLeftUntaken(response) && response.error != HttpResponse::None) {
        // A redirect loop or a chain too long: no try of this run ends elsewhere.
        retry = false;
        unrecoverable = true;
    } else if (response.error == HttpResponse::None) {
        TRLNetworkResponseHandler::clientResponseType(response, [&](TRLNetworkClientResponseType type, int status) {
            retry = type == TRLNetworkClientResponseTypeRetry || type == TRLNetworkClientResponseTypeRateLimited;
            unrecoverable = !retry;
            failure = TRLNetworkResponseHandler::errorForResponse(response, type, status);
        });
    }
    if (failure.isNull()) failure = QVError::make(QStringLiteral("TRLURLError"), -1, response.message);
    int tries = 0;
    {
        QMutexLocker locker(&_lock);
        tries = retry ? ++_restarts[task.taskDescription()] : 0;
        if (unrecoverable) _unrecoverable.insert(path);
    }
    if (retry && tries <= maximumRestarts && !QVOutsideServices::trackingAllowed()) retry = false;
    if (!retry || tries > maximumRestarts) {
        if (retry) failure = TRLNetworkResponseHandler::errorForCode(TRLNetworkResponseHandler::RetriesExhausted);
        finish(path, failure);
        return;
    }
    const qint64 delay = TRLNetworkResponseHandler::computeDelayMs(response, tries, TRLNetworkResponseHandler::generateRandomJitter());
    const HttpRequest request = task.originalRequest();
    std::weak_ptr<FLTNetworkClient> weak = weak_from_this();
    _queue->after(std::chrono::milliseconds(delay), [weak, request, path] {
        if (auto self = weak.lock()) self->startNewUploadRequest(request, path);
    });
    // Others go while this one waits for its turn again.
    {
        QMutexLocker locker(&_lock);
        if (_active == path) _active.clear();
    }
    pump();
}

void FLTNetworkClient::finish(const QString& path, const QVError& error) {
    {
        QMutexLocker locker(&_lock);
        if (error.isNull()) _unrecoverable.remove(path);
        if (_active == path) _active.clear();
    }
    if (auto d = _delegate.lock()) d->networkClientDidFinishUploadWithPath(*this, path, error);
    pump();
}
