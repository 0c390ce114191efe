#include "files/QVRemoteFilesConnection.h"
#include "files/QVListingBudget.h"
#include "platform/Threads.h"

#include "platform/AppBundle.h"
#include "platform/PseudoTerminal.h"
#include "platform/SystemLog.h"
#include "platform/FileName.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QTemporaryFile>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Every TCP socket of the client's process group (tnftp's own, the ssh that sftp starts) is set
// to reset when it closes: what the kernel still queues of a transfer we end is dropped, not
// delivered after Qorvel said it was not sent, and not written by the server after a later save.
// The sockets are reached through pidfd_getfd (the clients are our descendants); where the kernel
// refuses (a ptrace scope that allows no one, a seccomp filter), the client ends as before, and
// false says that what it queued may still reach the site.
bool resetSocketsOfGroup(pid_t group) {
    DIR* proc = ::opendir("/proc");
    if (!proc) return false;
    bool reached = true;
    while (const dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || ::getpgid(pid_t(pid)) != group) continue;
        const int pidfd = int(::syscall(SYS_pidfd_open, pid_t(pid), 0));
        if (pidfd < 0) {
            reached = reached && errno == ESRCH;  // gone meanwhile: its sockets with it
            continue;
        }
        const QByteArray fdFolder = "/proc/" + QByteArray::number(qlonglong(pid)) + "/fd";
        if (DIR* fds = ::opendir(fdFolder.constData())) {
            while (const dirent* fdEntry = ::readdir(fds)) {
                const long fd = std::strtol(fdEntry->d_name, &end, 10);
                if (*end != '\0' || fdEntry->d_name[0] == '.') continue;
                char link[64] = {};
                const QByteArray linkPath = fdFolder + '/' + fdEntry->d_name;
                if (::readlink(linkPath.constData(), link, sizeof link - 1) <= 0 || std::strncmp(link, "socket:", 7) != 0)
                    continue;
                const int mine = int(::syscall(SYS_pidfd_getfd, pidfd, int(fd), 0));
                if (mine < 0) {
                    reached = reached && (errno == EBADF || errno == ESRCH);  // closed or gone meanwhile
                    continue;
                }
                sockaddr_storage address{};
                socklen_t length = sizeof address;
                int type = 0;
                socklen_t typeLength = sizeof type;
                if (::getsockname(mine, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
                    (address.ss_family == AF_INET || address.ss_family == AF_INET6) &&
                    ::getsockopt(mine, SOL_SOCKET, SO_TYPE, &type, &typeLength) == 0 && type == SOCK_STREAM) {
                    const linger abortive{1, 0};
                    ::setsockopt(mine, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
                }
                ::close(mine);
            }
            ::closedir(fds);
        }
        ::close(pidfd);
    }
    ::closedir(proc);
    return reached;
}

}  // namespace


namespace {

// tnftp reads ~/.netrc (and logs in from it) unless NETRC names another file: an empty one.
QString emptyNetrc() {
    static QTemporaryFile* file = [] {
        auto* f = new QTemporaryFile(QStringLiteral("%1/qorvel-netrc-XXXXXX").arg(QDir::tempPath()));
        f->open();
        return f;
    }();
    return file->fileName();
}

// Output lines are decoded whole (a character never splits between reads) as file names are: a
// byte that is not UTF-8 keeps its value as an escape (platform/FileName), so a name listed in
// another encoding is written back to the client as the very bytes the server listed.
QString decodeLine(QByteArrayView bytes) {
    // Most lines are ASCII, which every encoding here reads alike.
    bool ascii = true;
    for (const char c : bytes)
        if (static_cast<unsigned char>(c) >= 0x80) {
            ascii = false;
            break;
        }
    if (ascii) return QString::fromLatin1(bytes);
    return FileName::decode(bytes.toByteArray());
}

bool hasControlCharacter(const QString& text) {
    for (QChar c : text)
        if (c == u'\n' || c == u'\r' || c == QChar(0)) return true;
    return false;
}

}  // namespace

QVRemoteFilesConnection::QVRemoteFilesConnection(int type) : _type(type) {
    switch (type) {
    case FTP: _prompt = QStringLiteral("ftp>"); break;
    case SFTP:
        _prompt = QStringLiteral("sftp>");
        _replyTimeout = std::chrono::seconds(30);
        break;
    case WebDAV: _prompt = QStringLiteral("dav:"); break;
    default: break;
    }
}

QVRemoteFilesConnection::~QVRemoteFilesConnection() {
    kill();
    pid_t orphan = 0;
    {
        std::lock_guard threadGuard(_threadLock);
        if (_thread.joinable()) {
            if (_thread.get_id() == std::this_thread::get_id()) {
                // Destroyed inside a callback on the reader thread: that thread returns at once
                // without the end of its loop, so the terminal and the client are ended here.
                _thread.detach();
                *_destroyedOnReader = true;
                std::lock_guard guard(_lock);
                if (_masterFD >= 0) ::close(_masterFD);
                _masterFD = -1;
                orphan = _pid;
            } else {
                _thread.join();
            }
        }
    }
    reap(orphan);
}

QString QVRemoteFilesConnection::executableForType(int type) {
    switch (type) {
    case FTP: return QStringLiteral("/usr/bin/ftp");
    case SFTP: return QStringLiteral("/usr/bin/sftp");
    case WebDAV: {
        // A copy shipped beside Qorvel comes first; otherwise the system's.
        const QString bundled = AppBundle::main().pathForAuxiliaryExecutable(QStringLiteral("cadaver"));
        return bundled.isEmpty() ? QStringLiteral("/usr/bin/cadaver") : bundled;
    }
    default: return {};
    }
}

void QVRemoteFilesConnection::setDelegate(const std::shared_ptr<QVRemoteFilesConnectionDelegate>& delegate) {
    std::lock_guard guard(_lock);
    _delegate = delegate;
}

void QVRemoteFilesConnection::clearDelegate(const QVRemoteFilesConnectionDelegate* delegate) {
    std::lock_guard guard(_lock);
    // A delegate on its way out (its destructor calls this) can no longer be locked: cleared too.
    if (auto held = _delegate.lock(); !held || held.get() == delegate) _delegate.reset();
}

void QVRemoteFilesConnection::setLogDelegate(std::function<void(const QString&)> log) {
    std::lock_guard guard(_lock);
    _log = std::move(log);
}

void QVRemoteFilesConnection::logNote(const QString& line) {
    std::function<void(const QString&)> log;
    {
        std::lock_guard guard(_lock);
        log = _log;
    }
    if (log) log(QStringLiteral("Qorvel: ") + FileName::readable(line) + u'\n');
}

std::shared_ptr<QVRemoteFilesConnectionDelegate> QVRemoteFilesConnection::currentDelegate() {
    std::lock_guard guard(_lock);
    return _delegate.lock();
}

void QVRemoteFilesConnection::setWebDAVSite(const QVWebDAVSite& site) {
    std::lock_guard guard(_lock);
    _webDAVSite = site;
}

QVWebDAVSite QVRemoteFilesConnection::webDAVSite() const {
    std::lock_guard guard(_lock);
    return _webDAVSite;
}

QString QVRemoteFilesConnection::lastPromptLine() const {
    std::lock_guard guard(_lock);
    return _lastPromptLine;
}

pid_t QVRemoteFilesConnection::pid() const {
    std::lock_guard guard(_lock);
    return _pid;
}

void QVRemoteFilesConnection::launchWithArguments(const QStringList& arguments) {
    std::lock_guard threadGuard(_threadLock);
    quint64 launch;
    {
        // From here on the earlier launch's reader reports nothing (its client's end below would
        // reach the new delegate as this launch's failure).
        std::lock_guard guard(_lock);
        launch = ++_launch;
    }
    if (_thread.joinable()) {
        if (_thread.get_id() == std::this_thread::get_id()) {
            _thread.detach();
        } else {
            {
                std::lock_guard guard(_lock);
                if (_pid > 0) ::kill(-_pid, SIGKILL);
            }
            _thread.join();
        }
    }
    {
        std::lock_guard guard(_lock);
        _commandQueue.clear();
        _lastPromptLine.clear();
    }
    _pending.clear();
    _cachedLines.clear();
    _cachedBytes = 0;
    _replyCut = false;
    _timedOut = false;
    _clientEnded = false;
    _writeFailed = false;
    _state = Launched;
    _thread = Threads::start("QVRemoteFiles", [this, launch, arguments] { run(launch, arguments); });
}

void QVRemoteFilesConnection::run(quint64 launch, QStringList arguments) {
    const QString executable = _executable.isEmpty() ? executableForType(_type) : _executable;
    PseudoTerminalChild child;
    // The client starts in an empty folder of its own, never in the project's or Qorvel's:
    // what it reads by a relative name (an ssh_config, a .netrc, a script) is never the site's.
    QByteArray folderTemplate = QFile::encodeName(QDir::tempPath() + QStringLiteral("/qorvel-client-XXXXXX"));
    const QString folder = mkdtemp(folderTemplate.data()) ? QFile::decodeName(folderTemplate) : QString();
    {
        std::lock_guard guard(_lock);
        _workingFolder = folder;
    }
    // Touches nothing of this object: it may be gone by then (its last owner let go of it on
    // this thread), so the folder's name is left to workingFolder(), which asks for the client.
    const auto removeFolder = qScopeGuard([&] {
        if (!folder.isEmpty()) QDir(folder).removeRecursively();
    });
    if (executable.isEmpty())
        child.error = QStringLiteral("FORKPTY FAILED: no client for protocol %1").arg(_type);
    else if (folder.isEmpty())
        child.error = QStringLiteral("FORKPTY FAILED: no working folder (%1)").arg(QString::fromLocal8Bit(strerror(errno)));
    else
        child = PseudoTerminal::spawn(executable, arguments,
                                      {QStringLiteral("TERM=dumb"), QStringLiteral("LC_ALL=C.UTF-8"),
                                       QStringLiteral("NETRC=") + emptyNetrc()},
                                      folder);
    if (!child.started()) {
        // The waiting action hears of it as of a client that died at once.
        SystemLog::error(child.error);
        _clientEnded = true;
        _cachedLines = {child.error};
        finishReply(launch);
        return;
    }
    {
        std::lock_guard guard(_lock);
        _pid = child.pid;
        _masterFD = child.masterFD;
        if (_state == Killed) ::kill(-_pid, SIGKILL);
    }
    readerLoop(launch, child.masterFD);
}

void QVRemoteFilesConnection::readerLoop(quint64 launch, int fd) {
    // A callback may drop the last owner of this connection: then nothing of it may be touched.
    const auto destroyed = _destroyedOnReader;
    _timedOut = false;
    int expected = Launched;
    _state.compare_exchange_strong(expected, Launched);
    char buffer[4096];
    auto lastOutput = std::chrono::steady_clock::now();
    while (_state != Closing && _state != Killed) {
        pollfd p{fd, POLLIN, 0};
        // Short waits: a client killed from outside may leave a child holding the terminal
        // open, so its end is also looked for, not only read.
        const int ready = ::poll(&p, 1, 250);
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) {
            if (clientHasExited()) break;
            if (watchedFileTooLong()) {
                _replyCut = true;
                terminate();
                continue;
            }
            // A reply stopped half-way, or a client that never said a word (a server that takes
            // the connection and stays silent keeps ssh waiting before any output).
            if (_replyTimeout.count() > 0 && (_state == Replying || _state == Launched) &&
                std::chrono::steady_clock::now() - lastOutput >= _replyTimeout) {
                _timedOut = true;
                {
                    // Ended for its silence: what it still queues for the site goes nowhere.
                    std::lock_guard guard(_lock);
                    if (_pid > 0) if (!resetSocketsOfGroup(_pid)) _cutRefused = true;
                }
                if (auto delegate = currentDelegate()) delegate->connectionTimedOut(this);
                if (*destroyed) return;
                break;
            }
            continue;
        }
        if (_state == Closing) break;
        int state = _state;
        while (state != Closing && state != Killed && !_state.compare_exchange_weak(state, Replying)) {}
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            const bool progressed = processBytes(launch, QByteArray(buffer, int(n)));
            if (*destroyed) return;
            if (progressed) lastOutput = std::chrono::steady_clock::now();
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        break;  // end of output (EIO once the client is gone)
    }
    pid_t pid;
    {
        std::lock_guard guard(_lock);
        ::close(fd);
        _masterFD = -1;
        pid = _pid;
    }
    reap(pid);
    const int state = _state;
    if (_timedOut || state == Closing || state == Killed) return;
    // The client ended on its own: whatever waits for a reply must hear of it.
    _clientEnded = true;
    if (!_pending.isEmpty()) _cachedLines.append(decodeLine(_pending));
    _pending.clear();
    finishReply(launch);
}

void QVRemoteFilesConnection::watchOutputFile(const QString& path, qint64 maxBytes) {
    std::lock_guard guard(_lock);
    _watchedFile = path;
    _watchedBytes = maxBytes;
}

bool QVRemoteFilesConnection::watchedFileTooLong() const {
    QString path;
    qint64 bound;
    {
        std::lock_guard guard(_lock);
        path = _watchedFile;
        bound = _watchedBytes;
    }
    struct stat st;
    return !path.isEmpty() && ::stat(QFile::encodeName(path).constData(), &st) == 0 && st.st_size > bound;
}

bool QVRemoteFilesConnection::clientHasExited() const {
    pid_t pid;
    {
        std::lock_guard guard(_lock);
        pid = _pid;
    }
    siginfo_t info{};
    return pid > 0 && waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

void QVRemoteFilesConnection::reap(pid_t pid) {
    if (pid <= 0) return;
    bool ended = false;
    for (int i = 0; i < 50 && !ended; ++i) {
        siginfo_t info{};
        ended = waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
        if (!ended) usleep(20000);
    }
    {
        // Still a zombie or alive, so the pid and its group are ours to signal.
        std::lock_guard guard(_lock);
        ::kill(-pid, SIGKILL);
        if (_pid == pid) _pid = 0;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
}

void QVRemoteFilesConnection::setListedTwins(const QString& folder, const QStringList& paths) {
    std::lock_guard guard(_lock);
    if (paths.isEmpty()) _listedTwins.remove(folder);
    else _listedTwins.insert(folder, paths);
}

bool QVRemoteFilesConnection::isListedTwin(const QString& path) const {
    std::lock_guard guard(_lock);
    for (const QStringList& paths : _listedTwins)
        if (paths.contains(path)) return true;
    return false;
}

QString QVRemoteFilesConnection::workingFolder() const {
    std::lock_guard guard(_lock);
    // The folder lives as long as its client: it is removed only after the client is reaped.
    return _pid > 0 ? _workingFolder : QString();
}

void QVRemoteFilesConnection::setSiteIdentity(const QString& identity) {
    std::lock_guard guard(_lock);
    _siteIdentity = identity;
}

QString QVRemoteFilesConnection::siteIdentity() const {
    std::lock_guard guard(_lock);
    return _siteIdentity;
}

QString QVRemoteFilesConnection::decodeOutputLine(QByteArrayView bytes) { return decodeLine(bytes); }

bool QVRemoteFilesConnection::isQuestion(const QString& openLine) const {
    if (openLine.endsWith(u':') || openLine.endsWith(QStringLiteral(": "))) return true;
    // tnftp asks for a missing argument ("(remote-file) "): an answer would be taken from the
    // next command, so the question must reach the action.
    static const QRegularExpression missingArgument(QStringLiteral("^\\([a-z -]+\\) $"));
    return _type == FTP && missingArgument.match(openLine).hasMatch();
}

bool QVRemoteFilesConnection::isProgress(const QString& redrawn) {
    // sftp's meter: "name  45%  1376KB  1.0MB/s  00:01 ETA", "- stalled -" once nothing comes.
    if (redrawn.contains(QStringLiteral("stalled"))) return false;
    static const QRegularExpression amount(QStringLiteral("\\s(\\d+%\\s+\\d+\\S*)\\s"));
    const QString key = amount.match(redrawn).captured(1);
    if (key.isEmpty()) return true;
    return std::exchange(_lastProgress, key) != key;
}

bool QVRemoteFilesConnection::processBytes(quint64 launch, const QByteArray& bytes) {
#ifndef NDEBUG
    // Debug builds show the raw conversation when asked (QORVEL_REMOTE_ECHO), never otherwise.
    static const bool echo = qEnvironmentVariableIsSet("QORVEL_REMOTE_ECHO");
    if (echo) {
        fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
        fflush(stdout);
    }
#endif
    std::function<void(const QString&)> log;
    {
        std::lock_guard guard(_lock);
        log = _log;
    }
    _pending.append(bytes);
    bool progressed = false;
    // Complete lines are taken from a moving start and dropped together: a listing of 10,000
    // lines arrives in a few hundred reads.
    qsizetype start = 0;
    for (qsizetype end = _pending.indexOf("\r\n"); end >= 0; end = _pending.indexOf("\r\n", start)) {
        progressed = true;
        // The terminal's "\r\n" ends the line; a "\r" before it is the line's own: the last
        // byte of a listed name ("crend.html\r"), or the end of an sftp error line, whose
        // readers trim it.
        const qsizetype length = end - start;
        const QString line = decodeLine(QByteArrayView(_pending).sliced(start, length));
        start = end + 2;
        // One reply holds no more than a listing may cost: the rest of a folder's endless
        // listing is dropped, and the reply says it was cut.
        _cachedBytes += 32 + 2 * line.size();
        if (_cachedBytes <= QVListingBudget::MaxAnswerBytes) _cachedLines.append(line);
        else _replyCut = true;
        if (log) log(FileName::readable(line) + u'\n');
    }
    if (start > 0) _pending.remove(0, start);
    // A progress line redrawn with bare carriage returns: only what follows the last one counts
    // (and is kept, so a long transfer's meter never piles up).
    for (qsizetype i = _pending.size() - 2; i >= 0; --i)
        if (_pending[i] == '\r' && _pending[i + 1] != '\r' && _pending[i + 1] != '\n') {
            _pending.remove(0, i);
            break;
        }
    QString open = decodeLine(_pending);
    // A meter redrawn in place counts as news only while its amount moves: a stalled transfer
    // must still meet the reply time-out.
    const qsizetype redraw = open.lastIndexOf(u'\r');
    if (redraw >= 0) {
        open = open.mid(redraw + 1);
        progressed = isProgress(open) || progressed;
    } else {
        progressed = progressed || !open.isEmpty();
    }
    if (open.isEmpty()) return progressed;
    if (!_prompt.isEmpty() && open.startsWith(_prompt)) {
        if (log) log(FileName::readable(open));
        _pending.clear();
        {
            std::lock_guard guard(_lock);
            _lastPromptLine = open;
        }
        int replying = Replying;
        _state.compare_exchange_strong(replying, AtPrompt);
        finishReply(launch);
        return true;
    }
    if (isQuestion(open)) {
        auto delegate = currentDelegate();
        if (delegate && delegate->connectionWillNeedInput(this, open)) {
            if (log) log(FileName::readable(open));
            _pending.clear();
            _cachedLines.append(open);
            int replying = Replying;
            _state.compare_exchange_strong(replying, Asked);
            finishReply(launch);
        }
    }
    return progressed;
}

void QVRemoteFilesConnection::finishReply(quint64 launch) {
    QStringList lines = std::move(_cachedLines);
    _cachedLines.clear();
    _cachedBytes = 0;
    watchOutputFile({}, 0);
    _lastReplyCut = std::exchange(_replyCut, false);
    std::shared_ptr<QVRemoteFilesConnectionDelegate> delegate;
    bool inFlight;
    {
        std::lock_guard guard(_lock);
        if (launch != _launch) return;
        delegate = _delegate.lock();
        inFlight = !_commandQueue.isEmpty();
        // The terminal echoes each command: that line is ours, not the client's.
        if (inFlight && !lines.isEmpty() && !_commandQueue.first().isEmpty() &&
            lines.first().endsWith(_commandQueue.first()))
            lines.removeFirst();
    }
    if (delegate) delegate->connectionFinishedCommand(this, lines);
    _lastReplyCut = false;
    QString next;
    {
        std::lock_guard guard(_lock);
        if (launch != _launch || !inFlight || _commandQueue.isEmpty()) return;
        _commandQueue.removeFirst();
        if (_commandQueue.isEmpty()) return;
        next = _commandQueue.first();
        if (!writeLine(FileName::encode(next) + '\n')) _writeFailed = true;
    }
}

bool QVRemoteFilesConnection::writeLine(const QByteArray& line) {
    if (_masterFD < 0) return false;
    qsizetype written = 0;
    for (int attempts = 0; written < line.size() && attempts < 1000;) {
        const ssize_t n = ::write(_masterFD, line.constData() + written, size_t(line.size() - written));
        if (n > 0) {
            written += n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        ++attempts;
        pollfd p{_masterFD, POLLOUT, 0};
        ::poll(&p, 1, 10);
    }
    return written == line.size();
}

bool QVRemoteFilesConnection::writeCommand(const QString& command) {
    if (_state == Killed || _clientEnded || hasControlCharacter(command)) return false;
    std::lock_guard guard(_lock);
    _commandQueue.append(command);
    if (_commandQueue.size() > 1) return true;
    if (writeLine(FileName::encode(command) + '\n')) return true;
    _commandQueue.clear();
    _writeFailed = true;
    return false;
}

bool QVRemoteFilesConnection::writeSecret(const QString& secret) {
    if (_state == Killed || _clientEnded || hasControlCharacter(secret)) return false;
    // The client turns the echo off around its question; give it a moment, never type into an
    // echoing terminal.
    for (int i = 0; i < 100; ++i) {
        {
            std::lock_guard guard(_lock);
            if (_masterFD < 0) return false;
            if (!PseudoTerminal::echoes(_masterFD)) {
                if (!writeLine(secret.toUtf8() + '\n')) return false;
                // The answer is on its way and nothing echoes it: a server that never answers
                // must still meet the reply time-out.
                int asked = Asked;
                _state.compare_exchange_strong(asked, Replying);
                return true;
            }
        }
        usleep(20000);
    }
    return false;
}

void QVRemoteFilesConnection::close() {
    int state = _state;
    if (state > Asked) return;
    _state = Closing;
    std::lock_guard guard(_lock);
    writeLine("\n");
}

bool QVRemoteFilesConnection::cancel() {
    {
        // The client sits at its prompt while the site answers a request of our own: an
        // interrupt would reach neither.
        std::lock_guard direct(_directLock);
        if (_directStop) {
            if (_directStop()) _cancelled = true;
            return false;
        }
        _cancelled = true;
    }
    std::lock_guard guard(_lock);
    if (_pid > 0) {
        if (!resetSocketsOfGroup(_pid)) _cutRefused = true;
        ::kill(_pid, SIGINT);
    }
    return true;
}

quint64 QVRemoteFilesConnection::beginDirectRequest(std::function<bool()> stop) const {
    std::lock_guard direct(_directLock);
    _directStop = std::move(stop);
    if (_cancelled) _directStop();
    return ++_directToken;
}

void QVRemoteFilesConnection::endDirectRequest(quint64 token) const {
    std::lock_guard direct(_directLock);
    if (token == _directToken) _directStop = nullptr;
}

void QVRemoteFilesConnection::terminate() {
    {
        std::lock_guard direct(_directLock);
        if (_directStop) _directStop();
    }
    std::lock_guard guard(_lock);
    if (_pid > 0) {
        if (!resetSocketsOfGroup(_pid)) _cutRefused = true;
        ::kill(-_pid, SIGKILL);
    }
}

void QVRemoteFilesConnection::kill() {
    _state = Killed;
    {
        std::lock_guard direct(_directLock);
        if (_directStop) _directStop();
    }
    std::lock_guard guard(_lock);
    if (_pid > 0) {
        if (!resetSocketsOfGroup(_pid)) _cutRefused = true;
        ::kill(-_pid, SIGKILL);
    }
}

bool QVRemoteFilesConnection::hasTimedOut(int statusCode) const {
    if (_timedOut || _clientEnded || _writeFailed) return true;
    switch (_type) {
    case FTP: return statusCode == 421;
    case WebDAV: return statusCode == 504 || statusCode == 408;
    default: return false;
    }
}
