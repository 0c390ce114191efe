#include "platform/PseudoTerminal.h"

#include "platform/FileName.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

namespace {

QByteArray nameOf(const QByteArray& entry) {
    const int equals = entry.indexOf('=');
    return equals < 0 ? entry : entry.left(equals);
}

}  // namespace

PseudoTerminalChild PseudoTerminal::spawn(const QString& program, const QStringList& args,
                                          const QStringList& extraEnvironment, const QString& workingDirectory,
                                          bool rawTerminal, bool outputToFile) {
    PseudoTerminalChild child;
    // Output to a file: a pipe's reader gone (we crashed, or were killed) would fail the
    // program's next write and a terminal's hang up would stop it; a file in memory does neither.
    // Our reading end is an open file of its own, so its offset is not the writer's. Reading a
    // file costs a program that writes much (a status of thousands of files) nothing of the
    // tenth of its time a terminal's line discipline takes.
    int output = -1, outputReader = -1;
    const auto closeOutput = [&] {
        if (output >= 0) ::close(output);
        if (outputReader >= 0) ::close(outputReader);
    };
    if (outputToFile) {
        output = ::memfd_create("qorvel-output", MFD_CLOEXEC);
        if (output >= 0) outputReader = ::open(QByteArray("/proc/self/fd/" + QByteArray::number(output)).constData(), O_RDONLY | O_CLOEXEC);
        if (outputReader < 0) {
            child.error = QStringLiteral("OUTPUT FILE FAILED: %1").arg(QString::fromLocal8Bit(strerror(errno)));
            closeOutput();
            return child;
        }
    }
    // Everything the child needs is built before fork: it may only make async-signal-safe calls.
    std::vector<QByteArray> argStore;
    argStore.push_back(FileName::encode(program));
    for (const QString& a : args) argStore.push_back(FileName::encode(a));
    std::vector<char*> argv;
    for (QByteArray& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);

    std::vector<QByteArray> envStore;
    std::vector<QByteArray> extraNames;
    for (const QString& e : extraEnvironment) {
        envStore.push_back(FileName::encode(e));
        extraNames.push_back(nameOf(envStore.back()));
    }
    for (char** e = environ; e && *e; ++e) {
        const QByteArray entry(*e);
        bool replaced = false;
        for (const QByteArray& name : extraNames) replaced = replaced || nameOf(entry) == name;
        if (!replaced) envStore.push_back(entry);
    }
    std::vector<char*> envp;
    for (QByteArray& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);

    const QByteArray failure = "EXEC FAILED: " + argStore.front() + ", ";
    const QByteArray folder = workingDirectory.isEmpty() ? QByteArray() : FileName::encode(workingDirectory);
    const QByteArray chdirFailure = "CHDIR FAILED: " + folder + ", ";
    // No echo and no output processing: what the program writes arrives byte for byte.
    termios raw{};
    cfmakeraw(&raw);
    raw.c_lflag &= ~tcflag_t(ECHO | ECHONL);
    raw.c_lflag |= ISIG | ICANON;  // keep ^C as an interrupt and line input for answers
    raw.c_iflag |= ICRNL;
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VINTR] = 3;
    raw.c_cc[VEOF] = 4;
    cfsetspeed(&raw, B38400);
    const long maxFD = sysconf(_SC_OPEN_MAX) > 0 ? sysconf(_SC_OPEN_MAX) : 1024;

    // The child closes its end of this pipe once it leads a session and process group of its
    // own: until then a signal sent to its group would reach no one, and a Stop chosen the
    // moment a command starts would be lost while the command runs to its end.
    int ready[2] = {-1, -1};
    if (::pipe2(ready, O_CLOEXEC) != 0) {
        child.error = QStringLiteral("PIPE FAILED: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        closeOutput();
        return child;
    }
    int master = -1, slave = -1;
    pid_t pid = -1;
    if (!outputToFile) {
        pid = forkpty(&master, nullptr, rawTerminal ? &raw : nullptr, nullptr);
    } else if (openpty(&master, &slave, nullptr, rawTerminal ? &raw : nullptr, nullptr) == 0) {
        pid = fork();
    }
    if (pid < 0) {
        child.error = QStringLiteral("FORKPTY FAILED: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        ::close(ready[0]);
        ::close(ready[1]);
        if (master >= 0) ::close(master);
        if (slave >= 0) ::close(slave);
        closeOutput();
        return child;
    }
    if (pid == 0) {
        // forkpty has made the child a session leader on the new terminal; with output to a file
        // the child leads a session without a controlling terminal and reads the terminal only.
        if (outputToFile) {
            if (::setsid() < 0 || ::dup2(slave, 0) < 0 || ::dup2(output, 1) < 0 || ::dup2(output, 2) < 0) _exit(1);
        }
        ::close(ready[0]);
        ::close(ready[1]);
        // One call where the kernel has it; otherwise every descriptor up to the limit.
        if (::close_range(3, ~0u, 0) != 0)
            for (long fd = 3; fd < maxFD; ++fd) ::close(int(fd));
        if (!folder.isEmpty() && ::chdir(folder.constData()) != 0) {
            const char* reason = strerror(errno);
            ssize_t ignored = ::write(1, chdirFailure.constData(), size_t(chdirFailure.size()));
            ignored = ::write(1, reason, strlen(reason));
            ignored = ::write(1, "\r\n", 2);
            (void)ignored;
            _exit(1);
        }
        execve(argv[0], argv.data(), envp.data());
        const char* reason = strerror(errno);
        ssize_t ignored = ::write(1, failure.constData(), size_t(failure.size()));
        ignored = ::write(1, reason, strlen(reason));
        ignored = ::write(1, "\r\n", 2);
        (void)ignored;
        _exit(1);
    }
    ::close(ready[1]);
    char ignored = 0;
    while (::read(ready[0], &ignored, 1) < 0 && errno == EINTR) {}
    ::close(ready[0]);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    if (outputToFile) {
        ::close(slave);
        ::close(output);
        child.outputFD = outputReader;
    }
    child.pid = pid;
    child.masterFD = master;
    return child;
}

bool PseudoTerminal::echoes(int masterFD) {
    termios settings{};
    if (tcgetattr(masterFD, &settings) != 0) return true;
    return (settings.c_lflag & ECHO) != 0;
}
