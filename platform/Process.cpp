// Running helper programs from an argument vector: spawn, pump the pipes with poll(), time out, reap.
#include "platform/Process.h"

#include "platform/FileName.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QSocketNotifier>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// An owned file descriptor, closed when it goes away.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : _fd(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& o) noexcept : _fd(std::exchange(o._fd, -1)) {}
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) {
            reset();
            _fd = std::exchange(o._fd, -1);
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const { return _fd; }
    bool isOpen() const { return _fd >= 0; }
    void reset() {
        if (_fd >= 0) ::close(_fd);
        _fd = -1;
    }

private:
    int _fd = -1;
};

QString errnoText(int err) {
    char buffer[256];
    return QString::fromLocal8Bit(strerror_r(err, buffer, sizeof buffer));
}

// Keeps the descriptor clear of 0..2: when the caller runs with a standard stream closed, a pipe
// end could land there and be overwritten by the child's own redirections.
int aboveStandardStreams(int fd) {
    if (fd > 2) return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    ::close(fd);
    return moved;
}

bool makePipe(Fd& readEnd, Fd& writeEnd) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    readEnd = Fd(aboveStandardStreams(fds[0]));
    writeEnd = Fd(aboveStandardStreams(fds[1]));
    return readEnd.isOpen() && writeEnd.isOpen();
}

void setNonBlocking(const Fd& fd) {
    if (fd.isOpen()) fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) | O_NONBLOCK);
}

bool isExecutableFile(const QByteArray& path) {
    struct stat st;
    return ::stat(path.constData(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.constData(), X_OK) == 0;
}

// One read of at most a buffer's worth; closes the descriptor at end of file or on an error.
void readOnce(Fd& fd, QByteArray& into) {
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n > 0) {
            into.append(buffer, n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n == 0 || errno != EAGAIN) {
            fd.reset();
        }
        return;
    }
}

// What is left in a pipe once the child is gone. A grandchild may still hold the pipe open and
// keep writing, so this stops when nothing is waiting rather than at end of file, and after a
// bounded amount.
void readRemainder(Fd& fd, QByteArray& into) {
    for (int reads = 0; fd.isOpen() && reads < 256; ++reads) {
        const qsizetype before = into.size();
        readOnce(fd, into);
        if (into.size() == before) break;
    }
    fd.reset();
}

int openPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
    return int(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

// waitpid without blocking; answers whether the child is gone (status set, or lost).
// endGroup: once the child has ended, and before its pid is released (it names the group), what
// is left of its process group is killed: background children it started end with it.
bool reapIfDone(pid_t pid, int& status, bool& lost, bool endGroup) {
    if (endGroup) {
        siginfo_t info {};
        if (::waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid) ::kill(-pid, SIGKILL);
    }
    for (;;) {
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) return true;
        if (r == 0) return false;
        if (errno == EINTR) continue;
        lost = true;  // ECHILD: reaped by someone else (SIGCHLD ignored, a reaping handler)
        return true;
    }
}

void reapBlocking(pid_t pid, int& status, bool& lost) {
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno == EINTR) continue;
        lost = true;
        return;
    }
}

ProcessResult startFailure(const QString& message) {
    ProcessResult result;
    result.errorString = message;
    return result;
}

// The caller's environment with the extra "NAME=value" entries added or replacing.
bool buildEnvironment(const QStringList& extra, std::vector<QByteArray>& env, QString& error) {
    for (char** e = environ; e && *e; ++e) env.emplace_back(*e);
    for (const QString& entry : extra) {
        const QByteArray bytes = FileName::encode(entry);  // a path in a value keeps its bytes
        const qsizetype eq = bytes.indexOf('=');
        if (eq <= 0 || bytes.contains('\0')) {
            error = QStringLiteral("The environment entry \"%1\" is not of the form NAME=value.").arg(entry);
            return false;
        }
        const QByteArray prefix = bytes.left(eq + 1);
        env.erase(std::remove_if(env.begin(), env.end(),
                                 [&](const QByteArray& e) { return e.startsWith(prefix); }),
                  env.end());
        env.push_back(bytes);
    }
    return true;
}

// Everything the child needs, made before it exists: the program's path, the argument vector and
// the environment (the pointers point into the byte arrays beside them, so this is never copied).
struct Prepared {
    QString path;
    std::vector<QByteArray> argBytes, envBytes;
    std::vector<char*> argv, envp;
    QByteArray workingDirectory;

    Prepared() = default;
    Prepared(const Prepared&) = delete;
    Prepared& operator=(const Prepared&) = delete;
};

// A null string when the child can be started, else why not.
QString prepare(const QString& program, const QStringList& args, const ProcessOptions& options, Prepared& p) {
    if (program.isEmpty()) return QStringLiteral("No program was given to run.");
    if (program.contains(QLatin1Char('/'))) {
        // Relative to the caller's folder, not to the child's working directory.
        p.path = QFileInfo(program).absoluteFilePath();
    } else {
        p.path = Process::findExecutable(program);
        if (p.path.isEmpty()) return QStringLiteral("The program \"%1\" was not found in PATH.").arg(program);
    }
    // A path handed on keeps its bytes, even those that are not UTF-8.
    p.argBytes.push_back(FileName::encode(p.path));
    for (const QString& arg : args) p.argBytes.push_back(FileName::encode(arg));
    for (const QByteArray& arg : p.argBytes)
        if (arg.contains('\0')) return QStringLiteral("An argument for \"%1\" contains a NUL character.").arg(program);
    for (QByteArray& arg : p.argBytes) p.argv.push_back(arg.data());
    p.argv.push_back(nullptr);

    QString envError;
    if (!buildEnvironment(options.extraEnvironment, p.envBytes, envError)) return envError;
    for (QByteArray& entry : p.envBytes) p.envp.push_back(entry.data());
    p.envp.push_back(nullptr);

    p.workingDirectory = FileName::encode(options.workingDirectory);
    if (!options.workingDirectory.isEmpty() && !FileName::isFolder(options.workingDirectory))
        return QStringLiteral("The working directory \"%1\" does not exist.").arg(options.workingDirectory);
    return {};
}

// A running child and our ends of its pipes (closed ones are not open).
struct Child {
    pid_t pid = -1;
    Fd inWrite, outRead, errRead;
};

// Starts the child in a process group of its own with the default signal handling; a null string
// when it runs, else why not.
QString spawn(const Prepared& p, const QString& program, const ProcessOptions& options, Child& child) {
    Fd inRead, outWrite, errWrite;
    if (!makePipe(inRead, child.inWrite) || !makePipe(child.outRead, outWrite) || !makePipe(child.errRead, errWrite))
        return QStringLiteral("Could not create pipes for \"%1\": %2").arg(program, errnoText(errno));

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inRead.get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, outWrite.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, options.mergeStandardError ? outWrite.get() : errWrite.get(),
                                     STDERR_FILENO);
    if (!p.workingDirectory.isEmpty()) posix_spawn_file_actions_addchdir_np(&actions, p.workingDirectory.constData());
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // Descriptors other threads opened without close-on-exec stay out of the child.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t signals;
    // Ignored signals survive exec, and SIGPIPE is ignored here: the child gets the defaults back.
    sigfillset(&signals);
    posix_spawnattr_setsigdefault(&attributes, &signals);
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes, &signals);
    // A group of its own, so a time-out also kills what the child started.
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

    const int spawnError = posix_spawn(&child.pid, p.argv[0], &actions, &attributes, p.argv.data(), p.envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawnError != 0) {
        if (spawnError == ENOENT) return QStringLiteral("The program \"%1\" does not exist.").arg(p.path);
        return QStringLiteral("Could not start \"%1\": %2").arg(p.path, errnoText(spawnError));
    }
    // The child's ends close here, when they go out of scope.
    if (options.mergeStandardError) child.errRead.reset();
    if (options.input.isEmpty()) child.inWrite.reset();
    setNonBlocking(child.inWrite);
    setNonBlocking(child.outRead);
    setNonBlocking(child.errRead);
    return {};
}

// How the pumping ended.
struct Ending {
    int status = 0;
    bool reaped = false;  // the child is gone and its status (or its loss) known
    bool lost = false;
    bool timedOut = false;
    bool cancelled = false;
    bool overflowed = false;
    int pollError = 0;
};

// Feeds the input and reads both outputs as the pipes allow, until the child ends, the time-out
// passes or poll fails.
Ending pump(Child& child, const ProcessOptions& options, ProcessResult& result) {
    // Readable once the child has ended; without it (old kernels) the loop polls waitpid.
    Fd pidFd(openPidFd(child.pid));
    using Clock = std::chrono::steady_clock;
    const bool limited = options.timeoutMs >= 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limited ? options.timeoutMs : 0);
    const QByteArray& input = options.input;
    qsizetype written = 0;
    Ending ending;

    while (!ending.reaped) {
        if (!pidFd.isOpen() && reapIfDone(child.pid, ending.status, ending.lost, options.endProcessGroup)) {
            ending.reaped = true;
            break;
        }
        int waitMs = -1;
        if (limited) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) {
                ending.timedOut = true;
                break;
            }
            waitMs = int(std::min<long long>(left, 1000 * 1000));
        }
        if (!pidFd.isOpen()) waitMs = waitMs < 0 ? 10 : std::min(waitMs, 10);
        if (options.cancel) {
            if (options.cancel->load()) {
                ending.cancelled = true;
                break;
            }
            waitMs = waitMs < 0 ? 50 : std::min(waitMs, 50);
        }

        pollfd fds[4];
        int count = 0, inIndex = -1, outIndex = -1, errIndex = -1, pidIndex = -1;
        if (child.inWrite.isOpen()) fds[inIndex = count++] = {child.inWrite.get(), POLLOUT, 0};
        if (child.outRead.isOpen()) fds[outIndex = count++] = {child.outRead.get(), POLLIN, 0};
        if (child.errRead.isOpen()) fds[errIndex = count++] = {child.errRead.get(), POLLIN, 0};
        if (pidFd.isOpen()) fds[pidIndex = count++] = {pidFd.get(), POLLIN, 0};
        if (::poll(fds, nfds_t(count), waitMs) < 0) {
            if (errno == EINTR) continue;
            ending.pollError = errno;
            break;
        }

        if (inIndex >= 0 && fds[inIndex].revents) {
            if (fds[inIndex].revents & (POLLERR | POLLHUP | POLLNVAL)) {
                child.inWrite.reset();  // the child closed its input: the rest is dropped
            } else {
                const size_t chunk = size_t(std::min<qsizetype>(input.size() - written, 65536));
                const ssize_t n = ::write(child.inWrite.get(), input.constData() + written, chunk);
                if (n > 0) written += n;
                else if (n < 0 && errno != EINTR && errno != EAGAIN) child.inWrite.reset();  // EPIPE among them
                if (written >= input.size()) child.inWrite.reset();
            }
        }
        if (outIndex >= 0 && fds[outIndex].revents) {
            readOnce(child.outRead, result.standardOutput);
            if (options.outputLimit >= 0 && result.standardOutput.size() > options.outputLimit) {
                ending.overflowed = true;
                break;
            }
        }
        if (errIndex >= 0 && fds[errIndex].revents) readOnce(child.errRead, result.standardError);
        if (pidIndex >= 0 && (fds[pidIndex].revents & POLLIN))
            ending.reaped = reapIfDone(child.pid, ending.status, ending.lost, options.endProcessGroup);
    }
    return ending;
}

// Kills a child still running (with its group) and reaps it, takes what is left in the pipes and
// says how the child ended.
void reap(Child& child, Ending ending, const QString& path, const ProcessOptions& options, ProcessResult& result) {
    if (!ending.reaped) {
        if (!reapIfDone(child.pid, ending.status, ending.lost, options.endProcessGroup)) {
            ::kill(-child.pid, SIGKILL);
            ::kill(child.pid, SIGKILL);
            reapBlocking(child.pid, ending.status, ending.lost);
        } else {
            ending.timedOut = false;  // it ended on its own just in time
        }
    }
    child.inWrite.reset();
    readRemainder(child.outRead, result.standardOutput);
    readRemainder(child.errRead, result.standardError);

    const int status = ending.status;
    if (ending.lost) {
        result.errorString = QStringLiteral("The exit status of \"%1\" was lost.").arg(path);
    } else if (WIFEXITED(status)) {
        result.exited = true;
        result.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.exitStatus = WTERMSIG(status);
        const char* description = sigdescr_np(result.exitStatus);
        result.errorString = QStringLiteral("\"%1\" was terminated by signal %2 (%3).")
                                 .arg(path, QString::number(result.exitStatus),
                                      QString::fromLocal8Bit(description ? description : "unknown"));
    }
    if (ending.overflowed || (options.outputLimit >= 0 && result.standardOutput.size() > options.outputLimit)) {
        result.standardOutput.truncate(options.outputLimit);
        if (ending.overflowed) {
            result.outputLimitExceeded = true;
            result.exited = false;
            result.errorString = QStringLiteral("\"%1\" wrote more than %2 bytes and was stopped.")
                                     .arg(path, QString::number(options.outputLimit));
        }
    }
    if (ending.cancelled) {
        result.cancelled = true;
        result.exited = false;
        result.errorString = QStringLiteral("\"%1\" was stopped.").arg(path);
    } else if (ending.timedOut) {
        result.timedOut = true;
        result.exited = false;
        result.errorString = QStringLiteral("\"%1\" did not finish within %2 ms and was killed.")
                                 .arg(path, QString::number(options.timeoutMs));
    } else if (ending.pollError) {
        result.errorString = QStringLiteral("Waiting for \"%1\" failed: %2").arg(path, errnoText(ending.pollError));
    }
}

}  // namespace

void Process::ignoreFileSizeSignal() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    sigaction(SIGXFSZ, &action, nullptr);
}

void Process::ignoreSigpipe() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = SIG_IGN;
        sigemptyset(&action.sa_mask);
        sigaction(SIGPIPE, &action, nullptr);
    });
}

namespace {

// The self-pipe a termination signal writes to; the main thread reads it.
int terminationPipe[2] = {-1, -1};

// The signals that end a run the user did not end from its windows: a logout or a service
// manager (SIGTERM), a closed terminal (SIGHUP), Ctrl+C in it (SIGINT). SIGQUIT keeps its core.
constexpr int TerminationSignals[] = {SIGTERM, SIGHUP, SIGINT};

// Set once the handler is answering a termination signal. Read by the signal handler itself: a
// second signal must end the process also once the event loop no longer runs (the quit's waits
// for uploads under way), where the self-pipe would go unread.
std::atomic<bool> terminationAnswered{false};

extern "C" void noteTermination(int signal) {
    if (terminationAnswered.load()) {
        // Asked again while the first is being answered: end now, as without a handler (the
        // signal stays blocked until this returns, then takes its default action).
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = SIG_DFL;
        sigemptyset(&action.sa_mask);
        sigaction(signal, &action, nullptr);
        ::raise(signal);
        return;
    }
    const int saved = errno;
    const char byte = char(signal);
    [[maybe_unused]] const ssize_t written = ::write(terminationPipe[1], &byte, 1);
    errno = saved;
}

}  // namespace

void Process::onTerminationSignal(std::function<void()> handler) {
    static QSocketNotifier* notifier = nullptr;
    static std::function<void()> current;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    sigemptyset(&action.sa_mask);
    if (!handler) {
        action.sa_handler = SIG_DFL;
        for (const int number : TerminationSignals) sigaction(number, &action, nullptr);
        current = nullptr;
        return;
    }
    current = std::move(handler);
    terminationAnswered.store(false);
    if (!notifier) {
        if (::pipe2(terminationPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
        notifier = new QSocketNotifier(terminationPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
        QObject::connect(notifier, &QSocketNotifier::activated, [] {
            char bytes[16];
            int received = 0;
            for (ssize_t n; (n = ::read(terminationPipe[0], bytes, sizeof bytes)) > 0;) received = bytes[n - 1];
            if (!current || received == 0) return;
            if (terminationAnswered.exchange(true)) {
                // Asked again while the first is being answered: end now, as without a handler.
                signal(received, SIG_DFL);
                ::raise(received);
                return;
            }
            current();
        });
    }
    action.sa_handler = noteTermination;
    action.sa_flags = SA_RESTART;
    for (const int number : TerminationSignals) sigaction(number, &action, nullptr);
}

QString Process::findExecutable(const QString& name) {
    if (name.isEmpty()) return {};
    if (name.contains(QLatin1Char('/'))) {
        const QString path = QFileInfo(name).absoluteFilePath();
        return isExecutableFile(path.toLocal8Bit()) ? path : QString();
    }
    QByteArray searchPath = qgetenv("PATH");
    if (searchPath.isEmpty()) searchPath = "/usr/local/bin:/usr/bin:/bin";
    const QByteArray file = name.toLocal8Bit();
    for (const QByteArray& dir : searchPath.split(':')) {
        // Empty and relative entries would mean "wherever the caller happens to be": skipped.
        if (!dir.startsWith('/')) continue;
        const QByteArray candidate = dir + '/' + file;
        if (isExecutableFile(candidate)) return QString::fromLocal8Bit(candidate);
    }
    return {};
}

ProcessResult Process::run(const QString& program, const QStringList& args, const ProcessOptions& options) {
    ignoreSigpipe();
    Prepared prepared;
    if (const QString refusal = prepare(program, args, options, prepared); !refusal.isNull())
        return startFailure(refusal);
    Child child;
    if (const QString failure = spawn(prepared, program, options, child); !failure.isNull())
        return startFailure(failure);
    ProcessResult result;
    result.started = true;
    const Ending ending = pump(child, options, result);
    reap(child, ending, prepared.path, options, result);
    return result;
}
