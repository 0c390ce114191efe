// Carries packaged reports to the report service: an upload task per package on the kits' URL
// session (its delegate queue is the crash-reporting work queue), one package at a time so a cut
// connection leaves at most one package that may arrive twice, or a synchronous send on the
// calling thread for an urgent report. Any success status is success, decided as its status line
// arrives. Busy and rate-limited
// answers are tried again after the server's delay, floored and clamped, a bounded number of
// times per package; unrecoverable answers stop at once. Connections end in the pinned roots
// unless the SDK core is in debug mode.
#pragma once

#include "platform/HttpEngine.h"
#include "platform/QVError.h"
#include "kits/trellis/FLTURLSession.h"

#include <QHash>
#include <QMutex>
#include <QSet>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>

class FLTFileManager;
class FLTNetworkClient;
class OperationQueue;

class FLTNetworkClientDelegate {
public:
    virtual ~FLTNetworkClientDelegate() = default;
    virtual bool networkClientCanUseBackgroundSessions(FLTNetworkClient&) = 0;
    // Told on the work queue how a package's upload ended (a null error for success).
    virtual void networkClientDidFinishUploadWithPath(FLTNetworkClient&, const QString& /*path*/, const QVError& /*error*/) {}
};

class FLTNetworkClient : public FLTURLSessionDelegate, public std::enable_shared_from_this<FLTNetworkClient> {
public:
    // Retries of one package within one upload (each after the server's delay, 2 s to an hour).
    static constexpr int maximumRestarts = 5;
    // The error domain of failures found before a request is sent.
    static QString errorDomain() { return QStringLiteral("FLTNetworkError"); }

    static std::shared_ptr<FLTNetworkClient> make(std::shared_ptr<OperationQueue> queue, std::shared_ptr<FLTFileManager> fileManager,
                                                  std::weak_ptr<FLTNetworkClientDelegate> delegate);
    ~FLTNetworkClient() override;

    static bool NSURLSessionAvailable() { return FLTURLSession::NSURLSessionShouldBeUsed(); }
    bool supportsBackgroundRequests() const;
    void attemptToReconnectBackgroundSessionWithCompletionBlock(const std::function<void()>& block);

    // immediately: sent at once on the calling thread when no background session exists, and
    // answered (true for a success status); otherwise a task is started unless one for the same
    // package is still running, and the answer is true.
    bool startUploadRequest(HttpRequest request, const QString& filePath, bool immediately);

    QString rootPath() const;
    QString relativeTaskPathForAbsolutePath(const QString& path) const;
    QString absolutePathForRelativeTaskPath(const QString& path) const;
    // Whether the last failure of the package was an answer no retry can change.
    bool failedUnrecoverably(const QString& path) const;
    // For a quit: starts no upload from now on (its package waits for the next launch), then
    // waits, at most bound, for every upload started to settle: taken by the server (its package
    // gone at the 2xx status line) or ended. Answers how many had not. Any thread but the work
    // queue's.
    int stopAndWaitForUploadsToSettle(std::chrono::milliseconds bound);

    // A 2xx status line finishes the package at once: a quit while the answer's body still
    // arrives must not leave it for the next launch to send again.
    void URLSessionTaskDidReceiveStatus(FLTURLSession&, FLTURLSessionTask& task, int status) override;
    void URLSessionTaskDidCompleteWithError(FLTURLSession&, FLTURLSessionTask& task, const QVError& error) override;

private:
    FLTNetworkClient() = default;
    std::shared_ptr<FLTURLSession> session();
    bool startImmediateUploadRequest(const HttpRequest& request, const QString& filePath);
    // Queues the package (once); the queue sends one at a time.
    void startNewUploadRequest(const HttpRequest& request, const QString& filePath);
    void startTask(const HttpRequest& request, const QString& filePath);
    void pump();
    void finish(const QString& path, const QVError& error);
    void applyTrust(HttpRequest& request) const;

    std::shared_ptr<OperationQueue> _queue;
    std::shared_ptr<FLTFileManager> _fileManager;
    std::weak_ptr<FLTNetworkClientDelegate> _delegate;
    bool _canUseBackgroundSession = false;
    std::shared_ptr<FLTURLSession> _session;
    bool _stopped = false;  // the quit's (under _lock)
    std::unique_ptr<HttpSession> _immediate;
    mutable QMutex _lock;
    QHash<QString, int> _restarts;  // by task description
    QSet<QString> _unrecoverable;
    QList<QPair<HttpRequest, QString>> _pending;
    QString _active;  // the package whose task runs
    QSet<quint64> _acceptedTasks;  // finished by their status line, still receiving the answer
};
