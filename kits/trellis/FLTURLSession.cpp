// Tasks run on the session's HTTP engine; answers come back on the engine's worker and are handed
// to the delegate queue, where handlers and delegate calls run one at a time, in order.
#include "kits/trellis/FLTURLSession.h"

#include "platform/Paths.h"
#include "platform/SystemLog.h"
#include "shell/QVOutsideServices.h"
#include "kits/trellis/TRLConstants.h"
#include "kits/trellis/TRLHelpers.h"

#include <QFile>

#include <atomic>

std::shared_ptr<FLTURLSessionConfiguration> FLTURLSessionConfiguration::defaultSessionConfiguration() {
    return std::make_shared<FLTURLSessionConfiguration>();
}

std::shared_ptr<FLTURLSessionConfiguration> FLTURLSessionConfiguration::ephemeralSessionConfiguration() {
    return std::make_shared<FLTURLSessionConfiguration>();
}

std::shared_ptr<FLTURLSessionConfiguration> FLTURLSessionConfiguration::backgroundSessionConfigurationWithIdentifier(const QString&) {
    return nullptr;
}

std::shared_ptr<FLTURLSessionConfiguration> FLTURLSessionConfiguration::copy() const {
    auto c = std::make_shared<FLTURLSessionConfiguration>();
    c->HTTPAdditionalHeaders = HTTPAdditionalHeaders;
    return c;
}

HttpResponse FLTURLSessionTask::response() const {
    QMutexLocker locker(&_lock);
    return _response;
}

QVError FLTURLSessionTask::error() const {
    QMutexLocker locker(&_lock);
    return _error;
}

QString FLTURLSessionTask::taskDescription() const {
    QMutexLocker locker(&_lock);
    return _taskDescription;
}

void FLTURLSessionTask::setTaskDescription(const QString& description) {
    QMutexLocker locker(&_lock);
    _taskDescription = description;
}

void FLTURLSessionTask::resume() {
    if (auto session = _session.lock()) session->resumeTask(_identifier);
}

void FLTURLSessionTask::cancel() {
    if (auto session = _session.lock()) session->cancelTask(*this);
}

std::shared_ptr<FLTURLSession> FLTURLSession::sessionWithConfiguration(std::shared_ptr<FLTURLSessionConfiguration> configuration,
                                                                       std::weak_ptr<FLTURLSessionDelegate> delegate,
                                                                       std::shared_ptr<OperationQueue> delegateQueue) {
    if (!configuration) return nullptr;
    std::shared_ptr<FLTURLSession> s(new FLTURLSession);
    s->_configuration = configuration->copy();
    s->_delegate = delegate;
    s->_delegateQueue = delegateQueue ? std::move(delegateQueue)
                                      : std::make_shared<OperationQueue>(QLatin1String(TRLKitPrefix) + QStringLiteral(".URLSession"));
    s->_engine = std::make_unique<HttpSession>();
    return s;
}

FLTURLSession::~FLTURLSession() {
    // The engine goes first: it drops what still runs, so nothing reaches a half-destroyed session.
    _engine.reset();
}

std::shared_ptr<FLTURLSessionTask> FLTURLSession::configureTask(FLTURLSessionTask::Kind kind, HttpRequest request) {
    {
        QMutexLocker locker(&_lock);
        if (_invalidated) return nullptr;  // an invalidated session makes no more tasks
    }
    applyKitLimits(request);
    auto task = std::make_shared<FLTURLSessionTask>();
    task->_kind = kind;
    task->_session = weak_from_this();
    // Additional headers join a value the request already has rather than replacing it.
    for (const auto& extra : _configuration->HTTPAdditionalHeaders) {
        bool joined = false;
        for (auto& h : request.headers) {
            if (h.first.compare(extra.first, Qt::CaseInsensitive) != 0) continue;
            h.second += ',' + extra.second;
            joined = true;
            break;
        }
        if (!joined) request.headers.append(extra);
    }
    task->_originalRequest = request;
    QMutexLocker locker(&_lock);
    task->_identifier = _nextIdentifier++;
    _tasks[task->_identifier] = task;
    return task;
}

void FLTURLSession::applyKitLimits(HttpRequest& request) {
    if (request.maxRedirects == 0) request.maxRedirects = 5;
    if (request.maxResponseBytes <= 0 || request.maxResponseBytes > TRLMaximumAnswerBytes) request.maxResponseBytes = TRLMaximumAnswerBytes;
    if (request.totalTimeoutMs <= 0) request.totalTimeoutMs = TRLRequestTimeLimitMs;
}

std::shared_ptr<FLTURLSessionTask> FLTURLSession::dataTaskWithRequest(const HttpRequest& request, FLTURLSessionTask::DataHandler handler) {
    auto task = configureTask(FLTURLSessionTask::Data, request);
    if (task) task->_dataHandler = std::move(handler);
    return task;
}

std::shared_ptr<FLTURLSessionTask> FLTURLSession::uploadTaskWithRequest(const HttpRequest& request, const QString& file,
                                                                        FLTURLSessionTask::DataHandler handler) {
    HttpRequest r = request;
    r.body.clear();
    r.bodyFilePath = file;
    auto task = configureTask(FLTURLSessionTask::Upload, r);
    if (task) task->_dataHandler = std::move(handler);
    return task;
}

std::shared_ptr<FLTURLSessionTask> FLTURLSession::downloadTaskWithRequest(const HttpRequest& request, FLTURLSessionTask::DownloadHandler handler) {
    HttpRequest r = request;
    if (r.downloadFilePath.isEmpty())
        r.downloadFilePath = Paths::temporary() + QLatin1Char('/') + QLatin1String(TRLKitPrefix) + QLatin1Char('.') +
                             TRLGenerateUUIDString() + QStringLiteral(".download");
    auto task = configureTask(FLTURLSessionTask::Download, r);
    if (task) task->_downloadHandler = std::move(handler);
    return task;
}

void FLTURLSession::resumeTask(quint64 identifier) {
    std::shared_ptr<FLTURLSessionTask> task;
    {
        QMutexLocker locker(&_lock);
        auto it = _tasks.find(identifier);
        if (it == _tasks.end()) return;
        task = it->second;
    }
    {
        QMutexLocker locker(&task->_lock);
        if (task->_resumed || task->_cancelled) return;
        task->_resumed = true;
    }
    std::weak_ptr<FLTURLSession> weak = weak_from_this();
    // No strong hold on the session from the engine's thread: the session's last owner letting
    // go there would stop the engine from its own worker.
    std::shared_ptr<OperationQueue> queue = _delegateQueue;
    auto deliver = [weak, task, queue](const HttpResponse& response) {
        queue->async([weak, task, response] {
            if (auto s = weak.lock()) s->complete(task, response);
        });
    };
    // The one gate of everything the kits send: no transfer starts without the user's consent.
    if (!QVOutsideServices::trackingAllowed()) {
        deliver({0, {}, {}, {}, HttpResponse::Network, QStringLiteral("not sent: the user has not agreed to send usage data")});
        return;
    }
    // Settled on the engine's worker, as it happens: the delegate queue may be busy at a quit.
    auto settled = std::make_shared<std::atomic<bool>>(false);
    auto settle = [flight = _flight, settled] {
        if (settled->exchange(true)) return;
        std::lock_guard<std::mutex> lock(flight->lock);
        --flight->unsettled;
        flight->changed.notify_all();
    };
    {
        std::lock_guard<std::mutex> lock(_flight->lock);
        if (_flight->stopped) return;
        ++_flight->unsettled;
    }
    // Status lines reach the delegate queue ahead of the completion, in the order they came.
    HttpRequest sent = task->_originalRequest;
    sent.onStatusLine = [weak, task, queue, settle, given = sent.onStatusLine](int status) {
        if (given) given(status);
        if (HttpResponse::statusAccepted(status)) settle();
        queue->async([weak, task, status] {
            if (auto s = weak.lock()) s->receiveStatus(task, status);
        });
    };
    {
        QMutexLocker locker(&task->_lock);
        task->_settle = settle;
    }
    const quint64 engineTask = _engine->startOnWorker(std::move(sent), [deliver, settle](const HttpResponse& response) {
        settle();
        deliver(response);
    });
    QMutexLocker locker(&task->_lock);
    task->_engineTask = engineTask;
}

void FLTURLSession::stopStartingTransfers() {
    std::lock_guard<std::mutex> lock(_flight->lock);
    _flight->stopped = true;
}

int FLTURLSession::waitForTransfersToSettle(std::chrono::milliseconds bound) {
    std::unique_lock<std::mutex> lock(_flight->lock);
    _flight->changed.wait_for(lock, bound, [this] { return _flight->unsettled == 0; });
    return _flight->unsettled;
}

void FLTURLSession::cancelTask(FLTURLSessionTask& task) {
    quint64 engineTask = 0;
    std::function<void()> settle;
    {
        QMutexLocker locker(&task._lock);
        if (task._cancelled) return;
        task._cancelled = true;
        engineTask = task._engineTask;
        settle = task._settle;
    }
    if (engineTask) _engine->cancel(engineTask);
    if (settle) settle();
    removeTaskFromSet(task._identifier);
}

void FLTURLSession::removeTaskFromSet(quint64 identifier) {
    QMutexLocker locker(&_lock);
    _tasks.erase(identifier);
}

void FLTURLSession::getTasksWithCompletionHandler(std::function<void(QList<std::shared_ptr<FLTURLSessionTask>>, QList<std::shared_ptr<FLTURLSessionTask>>,
                                                                     QList<std::shared_ptr<FLTURLSessionTask>>)> handler) {
    QList<std::shared_ptr<FLTURLSessionTask>> data, upload, download;
    {
        QMutexLocker locker(&_lock);
        for (const auto& [id, task] : _tasks) {
            (task->_kind == FLTURLSessionTask::Data ? data : task->_kind == FLTURLSessionTask::Upload ? upload : download).append(task);
        }
    }
    _delegateQueue->async([handler, data, upload, download] { handler(data, upload, download); });
}

void FLTURLSession::invalidateAndCancel() {
    std::map<quint64, std::shared_ptr<FLTURLSessionTask>> tasks;
    {
        QMutexLocker locker(&_lock);
        tasks = _tasks;
        _delegate.reset();
        _invalidated = true;
    }
    for (auto& [id, task] : tasks) cancelTask(*task);
}

void FLTURLSession::finishTasksAndInvalidate() {
    QMutexLocker locker(&_lock);
    _delegate.reset();
    _invalidated = true;
}

void FLTURLSession::receiveStatus(const std::shared_ptr<FLTURLSessionTask>& task, int status) {
    {
        QMutexLocker locker(&task->_lock);
        if (task->_cancelled) return;
    }
    if (!task->invokesDelegate()) return;
    std::shared_ptr<FLTURLSessionDelegate> delegate;
    {
        QMutexLocker locker(&_lock);
        delegate = _delegate.lock();
    }
    if (delegate) delegate->URLSessionTaskDidReceiveStatus(*this, *task, status);
}

void FLTURLSession::complete(const std::shared_ptr<FLTURLSessionTask>& task, const HttpResponse& response) {
    QVError error;
    if (response.error != HttpResponse::None)
        error = QVError::make(QStringLiteral("TRLURLError"), response.error == HttpResponse::TimedOut ? -1001 : -1, response.message);
    {
        QMutexLocker locker(&task->_lock);
        if (task->_cancelled) return;
        task->_response = response;
        task->_error = error;
    }
    std::shared_ptr<FLTURLSessionDelegate> delegate;
    {
        QMutexLocker locker(&_lock);
        delegate = _delegate.lock();
    }
    const QString file = task->_originalRequest.downloadFilePath;
    if (task->_kind == FLTURLSessionTask::Download) {
        if (task->_downloadHandler) task->_downloadHandler(error ? QString() : file, response, error);
        else if (delegate && !error) delegate->URLSessionDownloadTaskDidFinishDownloadingToURL(*this, *task, file);
        QFile::remove(file);
    } else if (task->_dataHandler) {
        task->_dataHandler(response.body, response, error);
    } else if (delegate) {
        if (response.status > 0) delegate->URLSessionDataTaskDidReceiveResponse(*this, *task, response);
        if (!response.body.isEmpty()) delegate->URLSessionDataTaskDidReceiveData(*this, *task, response.body);
    }
    if (delegate && task->invokesDelegate()) delegate->URLSessionTaskDidCompleteWithError(*this, *task, error);
    removeTaskFromSet(task->_identifier);
}
