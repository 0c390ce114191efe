// HTTP and HTTPS transfers on libcurl: one multi handle on a worker thread per session, answers
// handed to the main queue, or a blocking call for worker threads. TLS is always verified (peer
// and host name): either against the system's roots or against only the roots of a pinned PEM file.
#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrl>
#include <QtGlobal>

#include <functional>
#include <memory>

using HttpHeaders = QList<QPair<QByteArray, QByteArray>>;

struct HttpRequest {
    QByteArray method = "GET";
    QUrl url;
    HttpHeaders headers;
    QByteArray body;        // sent when bodyFilePath is empty and the body is not
    QString bodyFilePath;   // streamed from this file when set
    QString downloadFilePath;  // the answer's body goes to this file (made 0600) instead of memory
    // No byte moved for this long (connecting included) ends the transfer as timed out. What
    // moves is counted on the wire: bytes of the request the server's side acknowledged, and
    // bytes of the answer that came, never bytes merely handed to the kernel.
    int idleTimeoutMs = 60000;
    // The whole transfer may take this long; 0 is no limit.
    int totalTimeoutMs = 0;
    // Fewer than this many bytes a second, both ways together and counted as the idle limit
    // counts them, for slowSeconds on end ends the transfer as timed out: a server that drips a
    // byte now and then never meets the idle limit. 0 is no limit.
    int slowestBytesPerSecond = 0;
    int slowSeconds = 60;
    // A request with a body: -1 keeps the idle limit and the slowest pace while the answer is
    // awaited. 0 or more: once the whole body has gone out on the wire, neither applies until
    // the final answer's first line (an interim "102 Processing", a TLS record are none), only
    // this deadline does (0: none): a server that took the body whole and works on it (a slow
    // disk, a scan) is waited for, not timed out for its silence.
    int answerAfterBodyMs = -1;
    // Called on the session's worker once the whole body has gone out on the wire (nothing of it
    // left unsent in the kernel): from then on the server may hold it all, and ending the
    // transfer cannot take it back. Must be quick and must not wait on the session.
    std::function<void()> onBodySent;
    // Empty: the system's trusted roots. Otherwise only the certificates in this PEM file are
    // trusted, at every hop; a file that cannot be read fails the request, never loosens it.
    QString pinnedRootsPemPath;
    // The same roots given as PEM text; when set it wins over the path. Text without a
    // certificate trusts nothing, so every server is refused.
    QByteArray pinnedRootsPem;
    // Sent only as the server asks (Basic or Digest, whichever it offers), never unasked; a body
    // file is read again from the start for the answered request.
    QString user;
    QString password;
    bool acceptGzip = false;  // ask for gzip and hand back the decoded body
    // The answer's body (decoded) may be this long; a longer one ends the transfer as a network
    // failure, whatever its status. 0 is no limit.
    qint64 maxResponseBytes = 0;
    // Redirects followed: 0 hands the 3xx back. Only to https on the request's own host and port,
    // each hop under the same trust; a redirect to anywhere else is handed back as it came, so
    // the request's headers never reach another host. A request with a body (or a POST, PUT or
    // PATCH) follows only 307 and 308, sending the same method and body again; a 301, 302 or 303
    // to it is handed back, never turned into a GET whose answer would pass for the upload's.
    int maxRedirects = 0;
    // Called on the session's worker as each answer's status line arrives (not an interim 1xx
    // one), before its headers and body: the moment a 2xx says the server took the request. A
    // redirect's status line comes too. Must be quick and must not wait on the session.
    std::function<void(int status)> onStatusLine;

    void setHeader(const QByteArray& name, const QByteArray& value);
};

struct HttpResponse {
    enum Error { None, TimedOut, Cancelled, Tls, Network, File };

    int status = 0;       // 0 when no answer arrived
    HttpHeaders headers;  // of the last answer (after redirects)
    QByteArray body;      // empty when the request named a download file
    QUrl url;             // where the last answer came from
    Error error = None;
    QString message;      // for logs; empty without an error
    bool tooLarge = false;  // the body went past the request's maxResponseBytes
    // The request's whole body had gone out on the wire before the transfer ended. An ended
    // transfer that had not is cut on the wire (reset, its unsent bytes dropped), so the server
    // saw a short body; one that had may still be completed by the server.
    bool bodySent = false;

    bool ok() const { return error == None; }
    // Whether the server took the request: a whole 2xx status line of the last answer arrived,
    // whatever became of its body after it (cut, endless, over the limit, late). Sending the
    // request again would deliver it twice. The one rule of every client that must not.
    static bool statusAccepted(int status) { return status >= 200 && status <= 299; }
    bool accepted() const { return statusAccepted(status); }
    // Whether the last answer neither took the request nor refused it: an interim or redirect
    // status handed back as the last answer (304 Not Modified too) or one outside the classes.
    // An upload so answered reached nobody who kept it; its data waits for a later turn.
    static bool statusLeftUntaken(int status) { return status > 0 && !statusAccepted(status) && (status < 400 || status > 599); }
    // The first header of that name, compared without case; empty when absent.
    QByteArray header(const QByteArray& name) const;
};

class HttpSession {
public:
    using Completion = std::function<void(const HttpResponse&)>;

    HttpSession();
    // How often the calling thread started the transfer library (each session's worker does, once
    // per process in effect): the thread that makes a session does not wait for it.
    static int libraryStartsOnThisThread();
    // Cancels what still runs (their completions are not called) and stops the worker.
    ~HttpSession();
    HttpSession(const HttpSession&) = delete;
    HttpSession& operator=(const HttpSession&) = delete;

    // Starts the transfer at once; the completion runs on the main queue, exactly once unless the
    // session is destroyed first. A cancelled task completes with Cancelled.
    quint64 start(HttpRequest request, Completion onMainQueue);
    // Like start, but the completion runs on the session's worker thread: it must be quick and
    // must not wait on the session.
    quint64 startOnWorker(HttpRequest request, Completion onWorker);
    // Ends a live task; a finished or unknown one is left alone. Any thread.
    void cancel(quint64 task);
    // Tasks started and not yet handed to their completion, oldest first.
    QList<quint64> liveTasks() const;
    // Runs one transfer on this session's connections and waits for it. For worker threads.
    HttpResponse perform(HttpRequest request);

    struct State;

private:
    std::shared_ptr<State> _state;
};
