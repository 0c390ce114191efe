// qorvel-relauncher PID PROGRAM [ARGUMENT...]: waits until process PID has ended, then executes
// PROGRAM with the arguments (no shell). Qorvel starts it after a clean quit to restart itself.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

namespace {

// How long the old process may take to end before the restart is given up.
constexpr auto Patience = std::chrono::seconds(60);

bool waitForExit(pid_t pid) {
    const auto deadline = std::chrono::steady_clock::now() + Patience;
    // A pid file descriptor follows that very process, even if its number is reused.
    const int fd = int(::syscall(SYS_pidfd_open, pid, 0));
    if (fd >= 0) {
        pollfd entry{fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, int(std::chrono::duration_cast<std::chrono::milliseconds>(Patience).count()));
        ::close(fd);
        return ready > 0;
    }
    if (errno == ESRCH) return true;
    while (::kill(pid, 0) == 0 || errno == EPERM) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s PID PROGRAM [ARGUMENT...]\n", argv[0]);
        return 2;
    }
    char* end = nullptr;
    errno = 0;
    const long pid = std::strtol(argv[1], &end, 10);
    if (errno != 0 || end == argv[1] || *end != '\0' || pid <= 0 || pid > 0x3fffffff || argv[2][0] != '/') {
        std::fprintf(stderr, "%s: expected a process id and an absolute program path\n", argv[0]);
        return 2;
    }
    if (!waitForExit(pid_t(pid))) {
        syslog(LOG_ERR, "qorvel-relauncher: process %ld did not end; not restarting", pid);
        return 1;
    }
    std::vector<char*> arguments(argv + 2, argv + argc);
    arguments.push_back(nullptr);
    ::execv(argv[2], arguments.data());
    syslog(LOG_ERR, "EXEC FAILED: %s, %s", argv[2], std::strerror(errno));
    return 127;
}
