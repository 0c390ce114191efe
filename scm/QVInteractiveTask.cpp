#include "scm/QVInteractiveTask.h"
#include "platform/Threads.h"

#include "platform/PseudoTerminal.h"
#include "platform/SystemLog.h"
#include "platform/TextEncoding.h"

#include <QStringDecoder>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <thread>

#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QString decodeLine(const QByteArray& bytes) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8.decode(bytes);
    if (!utf8.hasError()) return text;
    if (auto roman = TextEncoding::decode(bytes, TextEncoding::MacOSRoman)) return *roman;
    return QString::fromLatin1(bytes);
}

bool writeAll(int fd, const QByteArray& bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, 1000) <= 0) return false;
        } else {
            return false;
        }
    }
    return true;
}

bool hasExited(pid_t pid) {
    siginfo_t info{};
    return waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

}  // namespace

QVInteractiveTask::QVInteractiveTask(QString executablePath) : _executablePath(std::move(executablePath)) {}

QVInteractiveTask::~QVInteractiveTask() = default;

void QVInteractiveTask::setDelegate(const std::weak_ptr<QVInteractiveTaskDelegate>& delegate) {
    std::lock_guard guard(_lock);
    _delegate = delegate;
}

void QVInteractiveTask::clearDelegate() {
    std::lock_guard guard(_lock);
    _delegate.reset();
}

std::shared_ptr<QVInteractiveTaskDelegate> QVInteractiveTask::delegate() const {
    std::lock_guard guard(_lock);
    return _delegate.lock();
}

void QVInteractiveTask::launch() {
    if (_launched) return;
    _launched = true;
    Threads::start("QVSCMTask", [self = shared_from_this()] { self->run(); }).detach();
}

void QVInteractiveTask::run() {
    const PseudoTerminalChild child =
        PseudoTerminal::spawn(_executablePath, _arguments, _environment, _workingDirectory, true, _outputToFile);
    if (!child.started()) {
        SystemLog::error(child.error);
        _cachedLines << child.error;
        _exitStatus = 1;
        _exited = true;
        finishCommand(true);
        return;
    }
    {
        std::lock_guard guard(_lock);
        _pid = child.pid;
        _masterFD = child.masterFD;
        // A kill asked for while the program was starting.
        if (_killRequested) {
            _stopped = true;
            ::kill(-child.pid, SIGKILL);
        }
    }
    // What the program writes arrives in its output file when it has one, else on the terminal.
    const int fd = child.outputFD >= 0 ? child.outputFD : child.masterFD;
    // A program without a prompt runs one command: itself.
    _commandOpen = _prompt.isEmpty();
    if (!_input.isEmpty()) writeAll(child.masterFD, _input);
    QString first;
    {
        std::lock_guard guard(_lock);
        if (!_commandQueue.isEmpty()) first = _commandQueue.first();
    }
    if (!first.isNull()) {
        _commandOpen = true;
        writeNow(first);
    }

    char buffer[16384];
    if (child.outputFD >= 0) {
        // A file is read as it grows, until the program has ended and its last bytes are read.
        const int exitFD = int(syscall(SYS_pidfd_open, child.pid, 0));
        bool ended = false;
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0) {
                process(QByteArray(buffer, int(n)));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 || ended) break;
            if (exitFD >= 0) {
                pollfd p{exitFD, POLLIN, 0};
                ::poll(&p, 1, 15);
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(15));
            }
            ended = hasExited(child.pid);
        }
        if (exitFD >= 0) ::close(exitFD);
    } else {
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            const int ready = ::poll(&p, 1, 250);
            if (ready < 0 && errno == EINTR) continue;
            if (ready == 0) {
                // A program that has ended while something else holds its terminal open.
                if (hasExited(child.pid)) break;
                continue;
            }
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0) {
                process(QByteArray(buffer, int(n)));
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            break;  // EIO: every holder of the terminal has closed it
        }
    }
    {
        std::lock_guard guard(_lock);
        if (fd != child.masterFD) ::close(fd);
        ::close(child.masterFD);
        _masterFD = -1;
    }
    // Reap once. A program still running with its terminal gone gets a few seconds (woken the
    // moment it ends), then its process group is ended.
    int status = 0;
    pid_t reaped = 0;
    const int exitFD = int(syscall(SYS_pidfd_open, child.pid, 0));
    for (int i = 0; i < 100 && reaped == 0; ++i) {
        reaped = waitpid(child.pid, &status, WNOHANG);
        if (reaped < 0 && errno == EINTR) reaped = 0;
        if (reaped != 0) break;
        if (exitFD >= 0) {
            pollfd p{exitFD, POLLIN, 0};
            ::poll(&p, 1, 50);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    if (exitFD >= 0) ::close(exitFD);
    if (reaped == 0) {
        ::kill(-child.pid, SIGKILL);
        while (waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {}
    }
    {
        std::lock_guard guard(_lock);
        _pid = 0;
    }
    if (reaped < 0) _exitStatus = 1;
    else if (WIFSIGNALED(status)) _exitStatus = 128 + WTERMSIG(status);
    else _exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    _exited = true;
    if (!_unfinished.isEmpty()) {
        QByteArray last = _unfinished;
        if (last.endsWith('\r')) last.chop(1);
        _cachedLines << decodeLine(last);
        _unfinished.clear();
    }
    // Every exit is told once: the command it was in fails when the program failed or was
    // stopped; a prompt-driven program that left after finishing its last command has nothing
    // left to tell.
    if (_commandOpen || !_cachedLines.isEmpty() || !_cachedBytes.isEmpty()) finishCommand(_exitStatus != 0 || _stopped);
}

void QVInteractiveTask::process(const QByteArray& bytes) {
    _cachedBytes += bytes;
    _unfinished += bytes;
    const qsizetype whole = _unfinished.lastIndexOf('\n') + 1;
    if (whole > 0) {
        // Usually all of it is UTF-8: decoded in one go; otherwise line by line, so that one
        // line in another encoding spoils no other.
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString text = utf8.decode(QByteArrayView(_unfinished.constData(), whole));
        if (!utf8.hasError()) {
            QStringList lines = text.split(u'\n');
            lines.removeLast();
            for (QString& line : lines) {
                if (line.endsWith(u'\r')) line.chop(1);
                _cachedLines << std::move(line);
            }
        } else {
            qsizetype start = 0;
            for (qsizetype end; start < whole && (end = _unfinished.indexOf('\n', start)) >= 0; start = end + 1) {
                qsizetype length = end - start;
                if (length > 0 && _unfinished.at(end - 1) == '\r') --length;
                _cachedLines << decodeLine(_unfinished.mid(start, length));
            }
        }
        _unfinished.remove(0, whole);
    }
    if (_unfinished.isEmpty()) return;
    const QString open = decodeLine(_unfinished);
    if (!_prompt.isEmpty() && open.startsWith(_prompt)) {
        _unfinished.clear();
        finishCommand(false);
    } else if ((open.endsWith(u':') || open.endsWith(QStringLiteral(": "))) && [&] {
                   const auto told = delegate();
                   return told && told->taskShouldExpectInput(this);
               }()) {
        _cachedLines << open;
        _unfinished.clear();
        finishCommand(false);
    }
}

void QVInteractiveTask::finishCommand(bool hadError) {
    const QStringList lines = std::exchange(_cachedLines, {});
    const QByteArray bytes = std::exchange(_cachedBytes, {});
    _commandOpen = false;
    if (const auto told = delegate()) told->taskFinishedCommand(this, lines, bytes, hadError);
    QString next;
    {
        std::lock_guard guard(_lock);
        if (!_commandQueue.isEmpty()) _commandQueue.removeFirst();
        if (!_commandQueue.isEmpty()) next = _commandQueue.first();
    }
    if (!next.isNull() && _masterFD >= 0) {
        _commandOpen = true;
        writeNow(next);
    }
}

bool QVInteractiveTask::writeCommand(const QString& command) {
    bool first = false;
    {
        std::lock_guard guard(_lock);
        _commandQueue << command;
        first = _commandQueue.size() == 1 && _masterFD >= 0;
    }
    if (!first) return true;
    _commandOpen = true;
    return writeNow(command);
}

bool QVInteractiveTask::writeNow(const QString& command) {
    const int fd = _masterFD;
    return fd >= 0 && writeAll(fd, command.toUtf8() + '\n');
}

void QVInteractiveTask::cancel() {
    std::lock_guard guard(_lock);
    if (_pid > 0) {
        _stopped = true;
        ::kill(-_pid, SIGINT);
    }
}

void QVInteractiveTask::kill() {
    std::lock_guard guard(_lock);
    _killRequested = true;
    if (_pid > 0) {
        _stopped = true;
        ::kill(-_pid, SIGKILL);
    }
}
