// Sends event packages: the upload operation builds the POST with the kit's headers, the uploader
// starts one task per package name on the kits' URL session (a name that has a task already is
// skipped), and reports each completed task to its delegate, which decides on retries.
#pragma once

#include "platform/HttpEngine.h"
#include "platform/Operation.h"
#include "platform/OperationQueue.h"
#include "platform/QVError.h"
#include "kits/trellis/FLTURLSession.h"

#include <QSet>
#include <QString>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>

class TDGUploader;

class TDGUploaderDelegate {
public:
    virtual ~TDGUploaderDelegate() = default;
    virtual QString uploaderFilePathForUniqueName(TDGUploader& uploader, const QString& name) = 0;
    virtual void uploaderDidFinishUpload(TDGUploader& uploader, const QString& name, const QVError& error) = 0;
    virtual void uploaderCompletedRequest(TDGUploader& uploader, const HttpRequest& request, const HttpResponse& response,
                                          const QString& name, const QVError& error,
                                          std::function<void(bool retry, const QVError& error)> completion) = 0;
    // The trust the connection must meet, put on the request before it goes.
    virtual void uploaderPrepareTrust(TDGUploader&, HttpRequest&) {}
    // Where a retry goes: the events address as the settings name it now, which may have changed
    // since the first try. Empty keeps the first try's address.
    virtual QUrl uploaderEventsURL(TDGUploader&) { return {}; }
};

class TDGUploader : public FLTURLSessionDelegate, public std::enable_shared_from_this<TDGUploader> {
public:
    enum { MissingArgument = -2, UnreadablePackage = -8 };

    static std::shared_ptr<TDGUploader> make(std::shared_ptr<OperationQueue> queue, std::weak_ptr<TDGUploaderDelegate> delegate);
    ~TDGUploader() override;

    // No thermal state to read here: never in low-power mode.
    bool lowPowerMode() const { return false; }
    bool supportsBackgroundRequests() const { return false; }
    double defaultUploadTimeout() const;
    double lowPowerUploadTimeout() const;
    // Each applies from the next upload on (the time-out is set per request); uploads under way
    // keep theirs, and their session.
    void setDefaultUploadTimeout(double seconds);
    void setLowPowerUploadTimeout(double seconds);

    void startUploadRequest(const HttpRequest& request, const QString& filePath, const QString& uniqueName);
    // For a quit: starts no upload from now on (its package waits for the next launch), then
    // waits, at most bound, for every upload started to settle: taken by the server (its package
    // gone at the 2xx status line) or ended. Answers how many had not. Any thread but the
    // operation queue's.
    int stopAndWaitForUploadsToSettle(std::chrono::milliseconds bound);
    void attemptToReconnectBackgroundSessionWithCompletionBlock(std::function<void()> block);
    std::shared_ptr<OperationQueue> operationQueue() const { return _operationQueue; }

    // A 2xx status line ends the upload at once (the delegate removes the package): a quit while
    // the answer's body still arrives must not leave it for the next launch to send again.
    void URLSessionTaskDidReceiveStatus(FLTURLSession& session, FLTURLSessionTask& task, int status) override;
    void URLSessionTaskDidCompleteWithError(FLTURLSession& session, FLTURLSessionTask& task, const QVError& error) override;

private:
    TDGUploader() = default;
    std::shared_ptr<FLTURLSession> session();
    void startNewUploadRequest(const HttpRequest& request, const QString& filePath, const QString& uniqueName);
    void report(const QString& name, const QString& path, qint64 code);

    std::shared_ptr<OperationQueue> _operationQueue;
    std::weak_ptr<TDGUploaderDelegate> _delegate;
    // Touched only on the operation queue; the copy below, for a quit, under its lock.
    std::shared_ptr<FLTURLSession> _session;
    std::mutex _settlingLock;
    std::shared_ptr<FLTURLSession> _settlingSession;
    bool _stopped = false;  // under _settlingLock: the quit's
    QSet<QString> _activeNames;
    QSet<quint64> _acceptedTasks;  // finished by their status line, still receiving the answer
    double _defaultUploadTimeout = 3600;
    double _lowPowerUploadTimeout = 21600;
};

class TDGUploadOperation : public Operation {
public:
    TDGUploadOperation(std::shared_ptr<TDGUploader> uploader, QUrl tidingsURL, QString apiKey, QString multipartPath, QString boundary)
        : _uploader(std::move(uploader)), _tidingsURL(std::move(tidingsURL)), _apiKey(std::move(apiKey)),
          _multipartPath(std::move(multipartPath)), _boundary(std::move(boundary)) {}
    static QString currentTimestampString();
    HttpRequest request() const;
    QString multipartPath() const { return _multipartPath; }

protected:
    void main() override;

private:
    std::shared_ptr<TDGUploader> _uploader;
    QUrl _tidingsURL;
    QString _apiKey;
    QString _multipartPath;
    QString _boundary;
};
