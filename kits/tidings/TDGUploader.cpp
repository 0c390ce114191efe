#include "kits/tidings/TDGUploader.h"

#include "kits/tidings/TDGFileOperations.h"
#include "kits/tidings/TDGLogger.h"
#include "shell/QVOutsideServices.h"
#include "kits/trellis/TRLConstants.h"
#include "kits/trellis/TRLMultipartMimeStreamEncoder.h"
#include "kits/trellis/TRLNetworkResponseHandler.h"

#include <QDateTime>
#include <QFile>

#include <cmath>

#include <unistd.h>

static void logLabel(const QString& text) { TDGLogger::sharedLogger().logWithLabel(QStringLiteral("TDGUploader"), text); }

std::shared_ptr<TDGUploader> TDGUploader::make(std::shared_ptr<OperationQueue> queue, std::weak_ptr<TDGUploaderDelegate> delegate) {
    std::shared_ptr<TDGUploader> u(new TDGUploader());
    u->_operationQueue = std::move(queue);
    u->_delegate = std::move(delegate);
    return u;
}

TDGUploader::~TDGUploader() {
    if (_session) _session->finishTasksAndInvalidate();
}

double TDGUploader::defaultUploadTimeout() const {
    double v = 0;
    _operationQueue->sync([&] { v = _defaultUploadTimeout; });
    return v;
}

double TDGUploader::lowPowerUploadTimeout() const {
    double v = 0;
    _operationQueue->sync([&] { v = _lowPowerUploadTimeout; });
    return v;
}

// The session stays: dropping it would end the uploads under way without a word, and their
// packages would wait for the next launch.
void TDGUploader::setDefaultUploadTimeout(double seconds) {
    _operationQueue->sync([&] { _defaultUploadTimeout = seconds; });
}

void TDGUploader::setLowPowerUploadTimeout(double seconds) {
    _operationQueue->sync([&] { _lowPowerUploadTimeout = seconds; });
}

std::shared_ptr<FLTURLSession> TDGUploader::session() {
    if (!_session) {
        auto configuration = FLTURLSessionConfiguration::defaultSessionConfiguration();
        _session = FLTURLSession::sessionWithConfiguration(configuration, weak_from_this(), _operationQueue);
        std::lock_guard<std::mutex> lock(_settlingLock);
        _settlingSession = _session;
        if (_stopped && _session) _session->stopStartingTransfers();
    }
    return _session;
}

int TDGUploader::stopAndWaitForUploadsToSettle(std::chrono::milliseconds bound) {
    std::shared_ptr<FLTURLSession> session;
    {
        std::lock_guard<std::mutex> lock(_settlingLock);
        _stopped = true;
        session = _settlingSession;
    }
    if (!session) return 0;
    session->stopStartingTransfers();
    return session->waitForTransfersToSettle(bound);
}

void TDGUploader::startUploadRequest(const HttpRequest& request, const QString& filePath, const QString& uniqueName) {
    std::weak_ptr<TDGUploader> weak = weak_from_this();
    _operationQueue->async([weak, request, filePath, uniqueName] {
        auto self = weak.lock();
        if (!self) return;
        auto s = self->session();
        if (!s) {
            self->startNewUploadRequest(request, filePath, uniqueName);
            return;
        }
        s->getTasksWithCompletionHandler([weak, request, filePath, uniqueName](auto data, auto upload, auto download) {
            auto self = weak.lock();
            if (!self) return;
            // The session's list is taken when asked; two starts asked in a row both see it
            // empty, so the names started since are kept here as well.
            if (self->_activeNames.contains(uniqueName)) {
                logLabel(QStringLiteral("A task currently exists for '%1', skipping").arg(uniqueName));
                return;
            }
            for (const auto* list : {&upload, &data, &download})
                for (const auto& task : *list)
                    if (task && task->taskDescription() == uniqueName) {
                        logLabel(QStringLiteral("A task currently exists for '%1', skipping").arg(uniqueName));
                        return;
                    }
            self->startNewUploadRequest(request, filePath, uniqueName);
        });
    });
}

void TDGUploader::report(const QString& name, const QString& path, qint64 code) {
    const QVError error(QString::fromLatin1(TRLNetworkErrorDomain), code,
                        {{QString::fromLatin1(QVFilePathErrorKey), path.isEmpty() ? QStringLiteral("(null)") : path},
                         {QStringLiteral("TDGUploaderUniqueName"), name.isEmpty() ? QStringLiteral("(null)") : name}});
    std::weak_ptr<TDGUploader> weak = weak_from_this();
    _operationQueue->async([weak, name, error] {
        auto self = weak.lock();
        if (!self) return;
        if (auto d = self->_delegate.lock()) d->uploaderDidFinishUpload(*self, name, error);
    });
}

void TDGUploader::startNewUploadRequest(const HttpRequest& request, const QString& filePath, const QString& uniqueName) {
    if (request.url.isEmpty() || filePath.isEmpty() || uniqueName.isEmpty()) {
        report(uniqueName, filePath, MissingArgument);
        return;
    }
    if (::access(QFile::encodeName(filePath).constData(), R_OK) != 0) {
        report(uniqueName, filePath, UnreadablePackage);
        return;
    }
    // Without consent nothing goes and nothing is reported: the package waits for a later run.
    if (!QVOutsideServices::trackingAllowed()) return;
    auto s = session();
    if (!s) return;
    HttpRequest r = request;
    const double timeout = lowPowerMode() ? _lowPowerUploadTimeout : _defaultUploadTimeout;
    r.totalTimeoutMs = int(std::clamp(timeout * 1000.0, 1000.0, 2147483647.0));
    if (auto d = _delegate.lock()) d->uploaderPrepareTrust(*this, r);
    r.onStatusLine = TRLNetworkResponseHandler::removeWhenAccepted(filePath);
    auto task = s->uploadTaskWithRequest(r, filePath);
    if (!task) return;
    task->setTaskDescription(uniqueName);
    _activeNames.insert(uniqueName);
    task->resume();
}

void TDGUploader::attemptToReconnectBackgroundSessionWithCompletionBlock(std::function<void()> block) {
    _operationQueue->async(std::move(block));
}

void TDGUploader::URLSessionTaskDidReceiveStatus(FLTURLSession&, FLTURLSessionTask& task, int status) {
    if (!TRLNetworkResponseHandler::uploadAccepted(status) || _acceptedTasks.contains(task.taskIdentifier())) return;
    auto d = _delegate.lock();
    if (!d) return;
    _acceptedTasks.insert(task.taskIdentifier());
    d->uploaderDidFinishUpload(*this, task.taskDescription(), {});
}

void TDGUploader::URLSessionTaskDidCompleteWithError(FLTURLSession&, FLTURLSessionTask& task, const QVError& error) {
    const QString name = task.taskDescription();
    if (_acceptedTasks.remove(task.taskIdentifier())) {  // finished when its status line came
        _activeNames.remove(name);
        return;
    }
    auto d = _delegate.lock();
    if (!d) return;
    const HttpRequest original = task.originalRequest();
    std::weak_ptr<TDGUploader> weak = weak_from_this();
    d->uploaderCompletedRequest(*this, original, task.response(), name, error, [weak, name, original](bool retry, const QVError& e) {
        auto self = weak.lock();
        if (!self) return;
        self->_operationQueue->async([weak, name, original, retry, e] {
            auto self = weak.lock();
            if (!self) return;
            self->_activeNames.remove(name);
            auto d = self->_delegate.lock();
            if (!d) return;
            if (retry) {
                TDGLogger::sharedLogger().log(QStringLiteral("Retrying task with name %1").arg(name));
                HttpRequest again = original;
                if (const QUrl current = d->uploaderEventsURL(*self); !current.isEmpty()) again.url = current;
                self->startUploadRequest(again, d->uploaderFilePathForUniqueName(*self, name), name);
            } else {
                d->uploaderDidFinishUpload(*self, name, e);
            }
        });
    });
}

QString TDGUploadOperation::currentTimestampString() { return QString::number(QDateTime::currentSecsSinceEpoch()); }

HttpRequest TDGUploadOperation::request() const {
    HttpRequest r;
    r.method = "POST";
    r.url = _tidingsURL;
    auto set = [&](const char* name, const QString& value) { r.setHeader(name, value.toUtf8()); };
    set("Content-Type", TRLMultipartMimeStreamEncoder::contentTypeHTTPHeaderValueWithBoundary(_boundary));
    set("Content-Length", QString::number(TDGFileUtils::fileSizeAtURL(_multipartPath)));
    set("User-Agent", QStringLiteral("Tidings Mac SDK/1.3.4"));
    set("X-FAULTLINE-DEVELOPER-TOKEN", QString::fromLatin1(TRLDeveloperToken));
    set("X-FAULTLINE-API-CLIENT-TYPE", QStringLiteral("Tidings Mac SDK"));
    set("X-FAULTLINE-API-CLIENT-VERSION", QStringLiteral("26"));
    set("X-FAULTLINE-API-CLIENT-DISPLAY-VERSION", QStringLiteral("1.3.4"));
    set("X-FAULTLINE-API-CLIENT-BUILD-VERSION", QStringLiteral("26"));
    set("X-FAULTLINE-API-KEY", _apiKey);
    set("X-Faultline-Api-Client-Packaged-Timestamp", currentTimestampString());
    return r;
}

void TDGUploadOperation::main() {
    const QString name = TDGFileUtils::baseName(_multipartPath);
    TDGLogger::sharedLogger().log(QStringLiteral("Transmitting packaged events for '%1'.").arg(name));
    if (_uploader) _uploader->startUploadRequest(request(), _multipartPath, name);
}
