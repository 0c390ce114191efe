// The kits' URL session: data, upload and download tasks over the HTTP engine, with a delegate
// told on its queue, additional headers for every request and the consent gate in front of every
// transfer. There are no background sessions: asked for one, the factory answers none.
#pragma once

#include "platform/HttpEngine.h"
#include "platform/OperationQueue.h"
#include "platform/QVError.h"

#include <QList>
#include <QMutex>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

class FLTURLSession;
class FLTURLSessionTask;

class FLTURLSessionConfiguration {
public:
    static std::shared_ptr<FLTURLSessionConfiguration> defaultSessionConfiguration();
    static std::shared_ptr<FLTURLSessionConfiguration> ephemeralSessionConfiguration();
    // Always none: a caller falls back on the default configuration.
    static std::shared_ptr<FLTURLSessionConfiguration> backgroundSessionConfigurationWithIdentifier(const QString& identifier);
    std::shared_ptr<FLTURLSessionConfiguration> copy() const;

    HttpHeaders HTTPAdditionalHeaders;  // added to every request of the session
    bool sessionSendsLaunchEvents() const { return false; }
};

// Told of a session's tasks on the session's delegate queue. Tasks made with a completion handler
// tell the delegate nothing.
class FLTURLSessionDelegate {
public:
    virtual ~FLTURLSessionDelegate() = default;
    // The status line of an answer arrived, before its headers and body (a redirect's too, not an
    // interim 1xx one); the task completes later. An upload answered 2xx here has been taken by
    // the server, whatever becomes of the rest.
    virtual void URLSessionTaskDidReceiveStatus(FLTURLSession&, FLTURLSessionTask&, int /*status*/) {}
    virtual void URLSessionDataTaskDidReceiveResponse(FLTURLSession&, FLTURLSessionTask&, const HttpResponse&) {}
    virtual void URLSessionDataTaskDidReceiveData(FLTURLSession&, FLTURLSessionTask&, const QByteArray&) {}
    // The file is removed when this returns.
    virtual void URLSessionDownloadTaskDidFinishDownloadingToURL(FLTURLSession&, FLTURLSessionTask&, const QString&) {}
    virtual void URLSessionTaskDidCompleteWithError(FLTURLSession&, FLTURLSessionTask&, const QVError&) {}
};

class FLTURLSessionTask {
public:
    enum Kind { Data, Upload, Download };
    using DataHandler = std::function<void(const QByteArray& data, const HttpResponse& response, const QVError& error)>;
    using DownloadHandler = std::function<void(const QString& file, const HttpResponse& response, const QVError& error)>;

    Kind kind() const { return _kind; }
    quint64 taskIdentifier() const { return _identifier; }
    HttpRequest originalRequest() const { return _originalRequest; }
    HttpResponse response() const;
    QVError error() const;
    QString taskDescription() const;
    void setTaskDescription(const QString& description);
    bool invokesDelegate() const { return !_dataHandler && !_downloadHandler; }

    // Starts the transfer; a second call does nothing. Without the user's consent to usage data
    // nothing is sent and the task completes with an error.
    void resume();
    // Ends the transfer; no completion follows.
    void cancel();

private:
    friend class FLTURLSession;
    Kind _kind = Data;
    quint64 _identifier = 0;
    HttpRequest _originalRequest;
    DataHandler _dataHandler;
    DownloadHandler _downloadHandler;
    std::weak_ptr<FLTURLSession> _session;
    mutable QMutex _lock;
    HttpResponse _response;
    QVError _error;
    QString _taskDescription;
    quint64 _engineTask = 0;
    std::function<void()> _settle;  // once started: counts the transfer settled (see FLTURLSession)
    bool _resumed = false;
    bool _cancelled = false;
};

class FLTURLSession : public std::enable_shared_from_this<FLTURLSession> {
public:
    // Whether a platform session with background configurations exists: never here.
    static bool NSURLSessionShouldBeUsed() { return false; }
    // Nothing for a missing configuration. Without a delegate queue the session makes a serial one.
    static std::shared_ptr<FLTURLSession> sessionWithConfiguration(std::shared_ptr<FLTURLSessionConfiguration> configuration,
                                                                   std::weak_ptr<FLTURLSessionDelegate> delegate = {},
                                                                   std::shared_ptr<OperationQueue> delegateQueue = {});
    ~FLTURLSession();

    // Each answers a suspended task (resume() starts it), or none once the session is invalidated.
    std::shared_ptr<FLTURLSessionTask> dataTaskWithRequest(const HttpRequest& request, FLTURLSessionTask::DataHandler handler = {});
    std::shared_ptr<FLTURLSessionTask> uploadTaskWithRequest(const HttpRequest& request, const QString& file,
                                                             FLTURLSessionTask::DataHandler handler = {});
    // The body goes to the request's download path when it names one, else to a new file in the
    // temporary folder; either is removed after the handler (or the delegate) returns, and at
    // once when the transfer fails.
    std::shared_ptr<FLTURLSessionTask> downloadTaskWithRequest(const HttpRequest& request, FLTURLSessionTask::DownloadHandler handler = {});
    // The tasks made and not yet completed, by kind, on the delegate queue.
    void getTasksWithCompletionHandler(std::function<void(QList<std::shared_ptr<FLTURLSessionTask>> data,
                                                          QList<std::shared_ptr<FLTURLSessionTask>> upload,
                                                          QList<std::shared_ptr<FLTURLSessionTask>> download)> handler);
    void invalidateAndCancel();
    void finishTasksAndInvalidate();

    QString sessionDescription;
    std::shared_ptr<FLTURLSessionConfiguration> configuration() const { return _configuration; }
    std::shared_ptr<OperationQueue> delegateQueue() const { return _delegateQueue; }

    // The bounds of every request the kits send: answers of at most TRLMaximumAnswerBytes, a
    // limit on the whole request unless it names its own, and redirects followed a few hops
    // (on the endpoint's own host only, by the engine).
    static void applyKitLimits(HttpRequest& request);

    // Waits, at most bound, until every transfer the session started has settled: its 2xx status
    // line arrived (the server has what was sent, and an upload's status-line handler has run) or
    // it ended. Answers how many had not. Any thread; needs nothing of the delegate queue, so a
    // quit may ask while that queue is busy.
    int waitForTransfersToSettle(std::chrono::milliseconds bound);
    // Starts no transfer from now on: a task resumed later stays unsent, as if the process had
    // ended first, rather than be cut off once sent. What a quit calls before it waits.
    void stopStartingTransfers();

    // For the session's tasks.
    void resumeTask(quint64 identifier);
    void cancelTask(FLTURLSessionTask& task);

private:
    FLTURLSession() = default;
    std::shared_ptr<FLTURLSessionTask> configureTask(FLTURLSessionTask::Kind kind, HttpRequest request);
    void receiveStatus(const std::shared_ptr<FLTURLSessionTask>& task, int status);
    void complete(const std::shared_ptr<FLTURLSessionTask>& task, const HttpResponse& response);
    void removeTaskFromSet(quint64 identifier);

    std::shared_ptr<FLTURLSessionConfiguration> _configuration;
    std::shared_ptr<OperationQueue> _delegateQueue;
    std::unique_ptr<HttpSession> _engine;
    mutable QMutex _lock;
    std::weak_ptr<FLTURLSessionDelegate> _delegate;
    bool _invalidated = false;
    std::map<quint64, std::shared_ptr<FLTURLSessionTask>> _tasks;
    quint64 _nextIdentifier = 1;
    struct Flight {
        std::mutex lock;
        std::condition_variable changed;
        int unsettled = 0;
        bool stopped = false;
    };
    // Told from the engine's worker, which may outlive the session.
    const std::shared_ptr<Flight> _flight = std::make_shared<Flight>();
};
