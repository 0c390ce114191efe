// What the analytics and stat clients need of HTTP: a POST whose answer comes back on the main
// queue (its status line told at once on the worker), and a way to cancel it. http() is the
// shared engine; tests hand the clients their own.
#pragma once

#include "platform/HttpEngine.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>

class MLTransport {
public:
    struct Post {
        QUrl url;
        QByteArray body;
        QList<QPair<QByteArray, QByteArray>> headers;
        bool acceptGzip = false;
        QString pinnedRootsPemPath;  // empty: the system's trusted roots
        int idleTimeoutMs = 30000;   // nothing moving for this long ends the request as timed out
        int totalTimeoutMs = 60000;  // the whole request
        // Told on the transport's worker as the answer's status line arrives, before the callback
        // has its turn on the main queue (which a process that ends first never gives it). Must
        // be quick and must not wait on the transport.
        std::function<void(int status)> onStatusLine;
    };
    struct Reply {
        enum class Failure { None, TimedOut, Cancelled, Transport };
        int status = 0;  // the HTTP status when an answer came
        QByteArray body;
        Failure failure = Failure::None;
        QString message;  // what went wrong, for the log
        // The server took the request: a whole 2xx status line came, whatever became of the body
        // after it (a failure then is the answer's, not the request's).
        bool accepted() const { return HttpResponse::statusAccepted(status); }
    };
    using Callback = std::function<void(const Reply&)>;

    virtual ~MLTransport() = default;
    // Starts the request; callback runs once on the main queue unless the task is cancelled.
    virtual quint64 post(const Post& post, Callback callback) = 0;
    // Cancels a task that has not answered yet; its callback never runs.
    virtual void cancel(quint64 task) = 0;

    // The shared HTTP engine (one worker for every client of the process).
    static std::shared_ptr<MLTransport> http();
};
