// One command-line program run on a pseudo-terminal of its own, its output turned into whole
// lines grouped per command. A reader thread reads the terminal and reports each finished command
// to the delegate on that thread; every start, successful or not, ends in exactly one report of
// the program's exit (or of the command it was in), so a caller waiting for it never waits for ever.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>
#include <mutex>

#include <sys/types.h>

class QVInteractiveTask;

class QVInteractiveTaskDelegate {
public:
    virtual ~QVInteractiveTaskDelegate() = default;
    // On the reader thread. lines: the complete lines of the command (line ends removed, each
    // decoded whole: UTF-8, else Mac OS Roman); bytes: exactly what the program wrote for it.
    virtual void taskFinishedCommand(QVInteractiveTask* task, const QStringList& lines, const QByteArray& bytes,
                                     bool hadError) = 0;
    // Whether an unfinished line ending in ":" is a question that ends the command.
    virtual bool taskShouldExpectInput(QVInteractiveTask* task) {
        (void)task;
        return false;
    }
};

// Made with std::make_shared: the reader thread keeps the task alive until it has reported the
// exit, so an owner may let go of it at any time (kill() first to end the program).
class QVInteractiveTask : public std::enable_shared_from_this<QVInteractiveTask> {
public:
    explicit QVInteractiveTask(QString executablePath);
    ~QVInteractiveTask();
    QVInteractiveTask(const QVInteractiveTask&) = delete;
    QVInteractiveTask& operator=(const QVInteractiveTask&) = delete;

    void setArguments(const QStringList& arguments) { _arguments = arguments; }
    // Text that begins the program's prompt line: reaching it finishes the command without error.
    void setPrompt(const QString& prompt) { _prompt = prompt; }
    void setWorkingDirectory(const QString& folder) { _workingDirectory = folder; }
    // "NAME=value" entries added to (or replacing) the inherited environment.
    void setEnvironment(const QStringList& environment) { _environment = environment; }
    // Bytes written to the program as soon as it runs (a password for --password-from-stdin).
    void setStandardInput(const QByteArray& input) { _input = input; }
    // A program that asks nothing: its output (standard output and error, interleaved) goes to a
    // file rather than the terminal, which stays its input only; the program then runs to its
    // end even when we do not (PseudoTerminal::spawn).
    void setOutputToFile(bool file) { _outputToFile = file; }
    void setDelegate(const std::weak_ptr<QVInteractiveTaskDelegate>& delegate);
    void clearDelegate();

    // Starts the child and the reader thread; returns at once. A task is launched once.
    void launch();
    // Queues a command line; the first one is written at once (false when that write failed).
    bool writeCommand(const QString& command);
    // SIGINT or SIGKILL to the child's process group, while it runs.
    void cancel();
    void kill();

    // After the report: the exit status (128 + signal for a child ended by a signal, 1 when it
    // could not be started) and whether cancel() or kill() ended it.
    int exitStatus() const { return _exitStatus; }
    bool wasStopped() const { return _stopped; }
    bool exited() const { return _exited; }
    pid_t pid() const { return _pid; }

private:
    void run();
    void process(const QByteArray& bytes);
    void finishCommand(bool hadError);
    bool writeNow(const QString& command);
    std::shared_ptr<QVInteractiveTaskDelegate> delegate() const;

    const QString _executablePath;
    QStringList _arguments;
    QString _prompt;
    QString _workingDirectory;
    QStringList _environment;
    QByteArray _input;

    mutable std::mutex _lock;  // guards the delegate, the command queue, the child's pid
    std::weak_ptr<QVInteractiveTaskDelegate> _delegate;
    QStringList _commandQueue;
    std::atomic<pid_t> _pid{0};
    std::atomic<int> _masterFD{-1};
    bool _launched = false;
    bool _outputToFile = false;

    // Reader-thread state.
    QStringList _cachedLines;
    QByteArray _cachedBytes;
    QByteArray _unfinished;
    std::atomic<bool> _commandOpen{false};

    std::atomic<int> _exitStatus{0};
    std::atomic<bool> _stopped{false};
    std::atomic<bool> _killRequested{false};
    std::atomic<bool> _exited{false};
};
