// One command-line client (tnftp, OpenSSH sftp, cadaver) on a pseudo-terminal, talked to line by
// line as a user at a terminal would: a reader thread per launch cuts its output into lines,
// recognises its prompt (the end of a reply) and its questions, and hands each reply to the
// delegate; commands are written one at a time.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include <sys/types.h>

class QVRemoteFilesConnection;

// Called on the connection's reader thread.
class QVRemoteFilesConnectionDelegate {
public:
    virtual ~QVRemoteFilesConnectionDelegate() = default;
    // An open line that reads as a question (it ends in ":"): true when the receiver will
    // answer it. The line is passed so a receiver can tell a real question from output that
    // happens to pause after a colon.
    virtual bool connectionWillNeedInput(QVRemoteFilesConnection*, const QString& openLine) {
        (void)openLine;
        return false;
    }
    // A reply ended (at the prompt, at a question, or where the client's output ended).
    virtual void connectionFinishedCommand(QVRemoteFilesConnection* connection, const QStringList& lines) = 0;
    // A reply stopped half-way for longer than the reply time-out.
    virtual void connectionTimedOut(QVRemoteFilesConnection* connection) = 0;
};

// Where a logged-in WebDAV connection points, for requests made beside its client: scheme, host
// and port of the address cadaver opened, and the credentials it was given.
struct QVWebDAVSite {
    QString scheme, host;
    int port = 0;
    QString user, password;
    bool isValid() const { return !host.isEmpty() && port > 0; }
};

class QVRemoteFilesConnection {
public:
    enum Type : int { FTP = 0, SFTP = 1, WebDAV = 2 };
    enum State : int {
        NotLaunched = 0,
        Launched = 1,      // nothing read yet
        Replying = 2,      // output seen, reply in progress
        AtPrompt = 3,      // reply finished at the prompt
        Asked = 4,         // waiting for typed input
        Closing = 5,
        Killed = 6,
    };

    explicit QVRemoteFilesConnection(int type);
    ~QVRemoteFilesConnection();

    int type() const { return _type; }
    int state() const { return _state.load(); }
    const QString& prompt() const { return _prompt; }
    // The client's executable for the type (empty for an unknown type).
    static QString executableForType(int type);
    // Tests point a connection at another program (a script playing the client).
    void setExecutable(const QString& path) { _executable = path; }
    // How long a reply may stay silent half-way (SFTP: 30 seconds; others: for ever, zero).
    void setReplyTimeout(std::chrono::milliseconds timeout) { _replyTimeout = timeout; }

    void setDelegate(const std::shared_ptr<QVRemoteFilesConnectionDelegate>& delegate);
    // Clears the delegate only when it is that object.
    void clearDelegate(const QVRemoteFilesConnectionDelegate* delegate);
    // Receives every decoded piece of output, in arrival order, on the reader thread.
    void setLogDelegate(std::function<void(const QString&)> log);
    // A line of Qorvel's own in the log, between the client's (what an action chose to do or
    // could not do where the client's words do not say it).
    void logNote(const QString& line);
    // The running client's own folder (made empty for each launch, 0700, removed when the
    // client ends): what it is told to write to a local file by a bare name lands here. Empty
    // while no client runs.
    QString workingFolder() const;
    // Paths that one listing of the folder gave to two entries (a name holding a line break
    // reads as a second entry named like a real file): no action can tell which it reaches.
    // Each listing of a folder replaces what the last one said of it.
    void setListedTwins(const QString& folder, const QStringList& paths);
    bool isListedTwin(const QString& path) const;
    // A line of output decoded as the client's replies are: UTF-8, each byte that is not kept as
    // a FileName escape (written back to the client as that byte).
    static QString decodeOutputLine(QByteArrayView bytes);

    // Starts the client on a new reader thread. A client still running from an earlier launch
    // is killed and its thread finished first, so nothing of it reaches this launch.
    void launchWithArguments(const QStringList& arguments);
    // Queues one command line; false when the client was killed, has ended, or the write failed.
    // A command holding a line break or NUL is refused (it would become two commands).
    bool writeCommand(const QString& command);
    // Types the answer to a question the terminal does not echo (a password): refused while the
    // terminal echoes.
    bool writeSecret(const QString& secret);
    // Ends the client at its next output after a bare newline.
    void close();
    // Interrupts the running command (SIGINT to the live client only) and marks it cancelled:
    // whatever the client answers, the command did not do what was asked. A request sent to the
    // site itself meanwhile is ended instead, and the client is left alone; one the site has
    // already taken (a change it answered) runs to its end and is not marked. Answers whether
    // the client was interrupted.
    bool cancel();
    // A request an action sends to the site itself, beside the client: stop ends it (any
    // thread) and answers whether it did. While it is registered, cancel and kill reach it; a
    // cancel that came before it was registered reaches it at once. The token unregisters it.
    quint64 beginDirectRequest(std::function<bool()> stop) const;
    void endDirectRequest(quint64 token) const;
    bool wasCancelled() const { return _cancelled.load(); }
    // A new command starts: the mark of an earlier cancel no longer applies.
    void clearCancelled() {
        _cancelled = false;
        _directLate = false;
        _cutRefused = false;
    }
    // The kernel refused to set the client's sockets to reset as it was ended (see the source):
    // what it still queued for the site may reach it after a later command.
    bool cutRefused() const { return _cutRefused.load(); }
    // Whether the last request sent to the site itself ended at one of its deadlines: the site
    // was reached and answered too slowly, which is all there is to say of it.
    void noteDirectRequestLate(bool late) const { _directLate = late; }
    bool directRequestWasLate() const { return _directLate.load(); }
    // Ends a client that does not come back from an interrupt (SIGKILL to its process group);
    // unlike kill, its end reaches the waiting action.
    void terminate();
    // Ends the client and everything it started (SIGKILL to its process group).
    void kill();
    // Whether a failed command failed because the client is gone: it timed out, its output
    // ended, a write failed, or the server's code says the connection went (FTP 421, WebDAV 504
    // or 408).
    bool hasTimedOut(int statusCode) const;
    // The client's output ended (or it could not be started) while this launch ran.
    bool clientEnded() const { return _clientEnded.load(); }
    // The reply being handed over lost lines past the bound of what one reply holds (a listing
    // of a folder too big to read), or its output file passed its bound: true only while its
    // delegate is told of it.
    bool lastReplyCut() const { return _lastReplyCut.load(); }
    // Until the next reply, a file the client writes (tnftp's listing) may grow to maxBytes:
    // past that the client is ended, while it is silent on the terminal, and the reply is cut.
    void watchOutputFile(const QString& path, qint64 maxBytes);
    // The open line that ended the last reply at the prompt (cadaver's tells whether it is
    // connected).
    QString lastPromptLine() const;
    // cadaver's prompt when it holds a collection ("dav:/dav/> "): not before an address is open
    // ("dav:!> ") nor after it failed to connect ("dav:/dav/? ").
    static bool isConnectedPrompt(const QString& promptLine) {
        return !promptLine.startsWith(QStringLiteral("dav:!")) && promptLine.trimmed().endsWith(u'>');
    }
    pid_t pid() const;
    // Which account on which server the client logs in to (set by the login): connections of
    // two windows to one site share it.
    void setSiteIdentity(const QString& identity);
    QString siteIdentity() const;
    // Set at a WebDAV login; empty before one.
    void setWebDAVSite(const QVWebDAVSite& site);
    QVWebDAVSite webDAVSite() const;

private:
    void run(quint64 launch, QStringList arguments);
    void readerLoop(quint64 launch, int fd);
    // Whether the output is news for the reply time-out (a redrawn meter whose amount stands
    // still is not).
    bool processBytes(quint64 launch, const QByteArray& bytes);
    bool isProgress(const QString& redrawn);
    void finishReply(quint64 launch);
    bool writeLine(const QByteArray& line);
    bool isQuestion(const QString& openLine) const;
    std::shared_ptr<QVRemoteFilesConnectionDelegate> currentDelegate();
    void reap(pid_t pid);
    bool clientHasExited() const;
    bool watchedFileTooLong() const;

    const int _type;
    QString _prompt;
    QString _executable;
    std::chrono::milliseconds _replyTimeout{0};

    mutable std::mutex _lock;  // guards everything below up to _thread
    QStringList _commandQueue;  // the first one is in flight
    // Weak: the delegate (an action) holds this connection, and its owner (the queue, a folder
    // walk) keeps it alive while it runs; a strong reference here would keep both for ever.
    std::weak_ptr<QVRemoteFilesConnectionDelegate> _delegate;
    std::function<void(const QString&)> _log;
    pid_t _pid = 0;            // cleared only once the client is reaped, so a signal never hits another process
    int _masterFD = -1;
    quint64 _launch = 0;       // tags each launch; an older reader thread reports nothing
    QString _lastPromptLine;
    QString _workingFolder;
    QHash<QString, QStringList> _listedTwins;  // by listed folder
    QString _watchedFile;
    qint64 _watchedBytes = 0;
    QVWebDAVSite _webDAVSite;
    QString _siteIdentity;

    std::mutex _threadLock;    // guards _thread (launch and tear-down)
    std::thread _thread;
    // Set when the connection was destroyed on its own reader thread (its last owner, an action,
    // let go in a callback): the reader holds its own copy and returns without touching it again.
    const std::shared_ptr<std::atomic<bool>> _destroyedOnReader = std::make_shared<std::atomic<bool>>(false);

    // Reader-thread state.
    QByteArray _pending;       // bytes of the open line
    QStringList _cachedLines;
    qint64 _cachedBytes = 0;  // what _cachedLines holds, as counted against one reply's bound
    bool _replyCut = false;   // lines of this reply were dropped past the bound
    std::atomic<bool> _lastReplyCut{false};
    QString _lastProgress;

    std::atomic<int> _state{NotLaunched};
    std::atomic<bool> _timedOut{false};
    std::atomic<bool> _clientEnded{false};
    std::atomic<bool> _writeFailed{false};
    std::atomic<bool> _cancelled{false};
    std::atomic<bool> _cutRefused{false};
    mutable std::atomic<bool> _directLate{false};

    mutable std::mutex _directLock;  // guards the two below
    mutable quint64 _directToken = 0;
    mutable std::function<bool()> _directStop;  // empty while no direct request runs
};
