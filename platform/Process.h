// Running helper programs from an argument vector (never through a shell).
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>

struct ProcessResult {
    bool started = false;     // false: the program could not be started (see errorString)
    bool exited = false;      // ended by exit(); false when killed by a signal or timed out
    int exitStatus = -1;      // exit code when exited, the signal number otherwise
    bool timedOut = false;    // killed because the time-out passed
    bool cancelled = false;   // killed because the caller's cancel flag was set
    bool outputLimitExceeded = false;  // killed because standard output passed the limit
    QByteArray standardOutput;
    QByteArray standardError;
    QString errorString;

    bool succeeded() const { return started && exited && exitStatus == 0; }
};

struct ProcessOptions {
    QByteArray input;               // written to standard input, which is then closed
    int timeoutMs = -1;             // -1: wait for ever; on time-out the child is killed (SIGKILL)
    QString workingDirectory;       // empty: the caller's
    QStringList extraEnvironment;   // "NAME=value" entries added to (or replacing in) the environment
    bool mergeStandardError = false;  // standard error joins standard output
    // Set by another thread to stop the child: it is killed (with its group) within about 50 ms.
    const std::atomic<bool>* cancel = nullptr;
    // Standard output beyond this many bytes kills the child; what was read is kept up to the
    // limit. -1: no limit.
    qsizetype outputLimit = -1;
    // When the child ends, whatever is left of its process group (background children it
    // started and did not wait for) is killed too.
    bool endProcessGroup = false;
};

class Process {
public:
    // Runs program (a path, or a name looked up in PATH) with args, feeding input while reading
    // both outputs so no pipe can fill up, and waits for it to end. A child that never reads its
    // input does not block the caller: the unread input is dropped when the child closes it or exits.
    static ProcessResult run(const QString& program, const QStringList& args,
                             const ProcessOptions& options = {});
    // SIGPIPE is ignored process-wide so a closed pipe is an error value, not a death.
    static void ignoreSigpipe();
    // SIGXFSZ is ignored process-wide (called at start-up): a write past the file-size limit
    // fails with EFBIG, which the writer reports and cleans up after, instead of killing Qorvel.
    // Children get the default back.
    static void ignoreFileSizeSignal();
    // The full path of a program found in PATH, or empty.
    static QString findExecutable(const QString& name);
    // SIGTERM (a logout, a service manager), SIGHUP (the terminal it was started from closed)
    // and SIGINT (Ctrl+C there) call handler on the main thread's event loop instead of ending
    // the process at once; a second one while it runs ends the process as that signal does.
    // Called on the main thread, with the application object made; an empty handler brings the
    // default back.
    static void onTerminationSignal(std::function<void()> handler);
};
