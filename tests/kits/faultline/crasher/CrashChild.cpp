// A child that starts crash capture in the folder it is given and then crashes the way its second
// argument names. It writes "expect" first: the address of the function that faults, so the
// parent can check that the record's crashed thread starts (or passes) there.
#include "kits/faultline/FLTInitialize.h"
#include "kits/faultline/FLTUserLogging.h"
#include "platform/Threads.h"

#include <QProcess>
#include <QThread>

#include <glib.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#if defined(QORVEL_CRASHER_SANITIZER_RUNTIME)
// Linked with a sanitizer's runtime (for the instrumented libraries), the child must still crash
// as a plain program does: the runtime leaves every fault signal to crash capture.
extern "C" const char* __asan_default_options() {
    return "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0:allow_user_segv_handler=1";
}
extern "C" const char* __ubsan_default_options() { return "handle_segv=0:handle_sigbus=0:handle_sigfpe=0"; }
#endif

namespace {

std::string g_folder;
volatile int* volatile g_null = nullptr;

void expect(const void* faulting) {
    const std::string path = g_folder + "/expect";
    if (FILE* file = std::fopen(path.c_str(), "w")) {
        std::fprintf(file, "%llu\n", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(faulting)));
        std::fclose(file);
    }
}

__attribute__((noinline)) void nullWrite() { *g_null = 1; }
// What a child made by the program does when it crashes before it execs.
__attribute__((noinline)) void childNullWrite() { *g_null = 3; }
__attribute__((noinline)) void childThrows() { throw std::runtime_error("the child's"); }

__attribute__((noinline)) void pastTruncatedMapping() {
    const std::string path = g_folder + "/truncated";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || ::ftruncate(fd, 8192) != 0) std::exit(3);
    auto* bytes = static_cast<volatile char*>(::mmap(nullptr, 8192, PROT_READ, MAP_SHARED, fd, 0));
    if (::ftruncate(fd, 100) != 0) std::exit(3);
    std::printf("%d\n", bytes[4096]);
}

__attribute__((noinline)) void callAbort() { std::abort(); }
__attribute__((noinline)) void illegalInstruction() { __builtin_trap(); }
// In assembly: the compiler turns a division by a variable that may be zero into a select.
__attribute__((noinline)) void divideByZero() {
    asm volatile("xorl %%ecx, %%ecx\n\tmovl $1, %%eax\n\tcltd\n\tidivl %%ecx" ::: "eax", "ecx", "edx");
}
__attribute__((noinline)) void breakpoint() { asm volatile("int3"); }
// Not a tail call: the function stays on the stack below kill.
__attribute__((noinline)) void killSegv() {
    ::kill(::getpid(), SIGSEGV);
    asm volatile("" ::: "memory");
}

// Recursing for ever is the point: the stack overflows.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winfinite-recursion"
__attribute__((noinline)) int recurse(int depth) {
    volatile char pad[256];
    pad[0] = char(depth);
    return recurse(depth + 1) + pad[0];
}
#pragma GCC diagnostic pop

void crashCallbackFault(void*) { *g_null = 2; }

// Threads that have reached the state a crash kind is about: one just being born stands at the
// kernel's return into it, with no caller yet, and on a busy machine may stay there for long.
std::atomic<int> g_settled{0};
void waitSettled(int count) {
    while (g_settled.load() < count) ::usleep(1000);
}

// A thread that crashes at once waits until its maker is back from making it: one caught on its
// way back from the kernel's clone stands where no call-frame information reaches.
std::atomic<bool> g_made{false};
void waitMade() {
    while (!g_made.load()) ::usleep(100);
}

// What Mesa's llvmpipe and disk threads do: block every signal but the synchronous faults, then
// wait in the kernel.
__attribute__((noinline)) void sitBlocked() {
    sigset_t set;
    sigfillset(&set);
    sigdelset(&set, SIGSEGV);
    sigdelset(&set, SIGSYS);
    ::pthread_sigmask(SIG_SETMASK, &set, nullptr);
    g_settled.fetch_add(1);
    for (;;) ::pause();
}

// What posix_spawn does until the child execs: wait in vfork(), where no signal reaches the
// parent. The child sleeps instead (and dies with its parent); blocking every signal first is
// what glibc's posix_spawn itself does.
__attribute__((noinline)) void sitInVfork(bool blockEverySignal) {
    if (blockEverySignal) {
        sigset_t all;
        sigfillset(&all);
        ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
    }
    const pid_t parent = ::getpid();
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (::vfork() == 0) {
#pragma GCC diagnostic pop
        // A parent that died before the death signal was asked for leaves the child with another:
        // it ends then rather than sit orphaned, holding whatever pipes it inherited.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(0);
        // The child shares the parent's memory until it execs: the parent waits in vfork now.
        g_settled.fetch_add(1);
        for (;;) ::pause();
    }
    asm volatile("" ::: "memory");
}

// Makes a child the way kind names, which crashes before it would exec, and waits for it: by
// fork (the child writes through null, or throws), by vfork, or by the clone a spawn makes (the
// memory shared, on a stack of its own) with the handlers kept. Writes "child" (the child's wait
// status) and "after-child" (the crash records the folder holds then, one name a line).
// What the parent saw of its child: its wait status, and which records lie in the folder after it.
void reportChild(int status) {
    if (FILE* file = std::fopen((g_folder + "/child").c_str(), "w")) {
        std::fprintf(file, "%d\n", status);
        std::fclose(file);
    }
    if (FILE* file = std::fopen((g_folder + "/after-child").c_str(), "w")) {
        for (const char* record : {"signal.fltrecord", "exception.fltrecord"})
            if (::access((g_folder + "/" + record).c_str(), F_OK) == 0) std::fprintf(file, "%s\n", record);
        std::fclose(file);
    }
}

int childMain(void*) {
    childNullWrite();
    return 0;
}
void crashingChild(const std::string& kind) {
    pid_t child = -1;
    if (kind == "fork-child" || kind == "fork-child-throws" || kind == "fork-child-aborts" || kind == "fork-children-as-it-crashes") {
        child = ::fork();
        if (child == 0) {
            if (kind == "fork-child-throws") childThrows();
            if (kind == "fork-child-aborts") std::abort();
            childNullWrite();
            ::_exit(0);
        }
    } else if (kind == "exec-child") {
        // The child runs a program of ours that starts capture itself, in a folder of its own.
        child = ::fork();
        if (child == 0) {
            const std::string own = g_folder + "/exec";
            ::mkdir(own.c_str(), 0700);
            ::execl("/proc/self/exe", "crasher", own.c_str(), "null-write", static_cast<char*>(nullptr));
            ::_exit(0);
        }
    } else if (kind == "new-pid-namespace-child") {
        // The program is the first process of its PID namespace, as in a container; its child,
        // in a namespace of its own, is the first of that one: both have the same number.
        constexpr size_t size = 1 << 16;
        auto* stack = static_cast<char*>(::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0));
        if (stack == MAP_FAILED) std::exit(8);
        child = ::clone(childMain, stack + size, CLONE_NEWPID | SIGCHLD, nullptr);
    } else if (kind == "qprocess-child") {
        // Qt's start of a program, with the step it runs in the child before the exec crashing.
        QProcess process;
        process.setChildProcessModifier([] { childNullWrite(); });
        process.start(QStringLiteral("/bin/true"), {});
        process.waitForFinished(20000);
        const int status = process.exitStatus() == QProcess::CrashExit ? process.exitCode() : process.exitCode() << 8;
        reportChild(status);
        return;
    } else if (kind == "vfork-child") {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        child = ::vfork();
#pragma GCC diagnostic pop
        if (child == 0) {
            childNullWrite();
            ::_exit(0);
        }
    } else {
        constexpr size_t size = 1 << 16;
        auto* stack = static_cast<char*>(::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0));
        if (stack == MAP_FAILED) std::exit(8);
        child = ::clone(childMain, stack + size, CLONE_VM | CLONE_VFORK | SIGCHLD, nullptr);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child) std::exit(8);
    reportChild(status);
    if (kind == "fork-children-as-it-crashes") {
        // Children that crash while the program records its own crash.
        static std::atomic<bool> forking{false};
        std::thread([] {
            for (int i = 0; i < 200; ++i) {
                if (::fork() == 0) {
                    childNullWrite();
                    ::_exit(0);
                }
                forking.store(true);
            }
        }).detach();
        while (!forking.load()) {
        }
    }
}

// Makes this process the first of a new PID namespace (and a user namespace, for the right to):
// the caller goes on as that first process; the process that was waits and ends as it ends.
void becomeFirstOfPidNamespace() {
    if (::unshare(CLONE_NEWUSER | CLONE_NEWPID) != 0) std::exit(9);
    const pid_t first = ::fork();
    if (first < 0) std::exit(8);
    if (first == 0) return;
    int status = 0;
    if (::waitpid(first, &status, 0) != first) std::exit(8);
    if (!WIFSIGNALED(status)) std::exit(WIFEXITED(status) ? WEXITSTATUS(status) : 8);
    ::signal(WTERMSIG(status), SIG_DFL);
    ::kill(::getpid(), WTERMSIG(status));
    std::exit(8);
}

// The moment of the crash on the monotonic clock, in nanoseconds, in "crash-at": from there to the
// process's end is the recording's time (bench/crashrecord).
void markCrashTime() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const std::string path = g_folder + "/crash-at";
    if (FILE* file = std::fopen(path.c_str(), "w")) {
        std::fprintf(file, "%lld\n", static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
        std::fclose(file);
    }
}

// The function that count threads other than the sleepers wait in.
void expectSecond(const void* function, int count) {
    const std::string path = g_folder + "/expect-blocked";
    if (FILE* file = std::fopen(path.c_str(), "w")) {
        std::fprintf(file, "%llu %d\n", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(function)), count);
        std::fclose(file);
    }
}

// A helper process holds thread tid stopped: attached as a debugger attaches (stopped at once),
// or seized and then stopped with the whole process by SIGSTOP and left stopped when the others
// go on. Answers whether it holds it. The helper does only what a forked child of a threaded
// process may, and dies with the crashing process.
bool holdThreadStopped(pid_t tid, bool bySigstop) {
    int go[2], ready[2];
    if (::pipe(go) != 0 || ::pipe(ready) != 0) return false;
    const pid_t parent = ::getpid();
    const pid_t helper = ::fork();
    if (helper < 0) return false;
    if (helper == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        char c = 0;
        if (::read(go[0], &c, 1) != 1) ::_exit(1);
        bool held = false;
        int status = 0;
        if (!bySigstop) {
            held = ::ptrace(PTRACE_ATTACH, tid, nullptr, nullptr) == 0 && ::waitpid(tid, &status, __WALL) == tid && WIFSTOPPED(status);
        } else if (::ptrace(PTRACE_SEIZE, tid, nullptr, nullptr) == 0) {
            ::kill(parent, SIGSTOP);
            held = ::waitpid(tid, &status, __WALL) == tid && WIFSTOPPED(status);
            ::kill(parent, SIGCONT);
        }
        const char answer = held ? '1' : '0';
        if (::write(ready[1], &answer, 1) != 1) ::_exit(1);
        for (;;) ::pause();
    }
    // Where Yama lets only ancestors trace, this process names its helper.
    ::prctl(PR_SET_PTRACER, helper, 0, 0, 0);
    char answer = 0;
    return ::write(go[1], "g", 1) == 1 && ::read(ready[0], &answer, 1) == 1 && answer == '1';
}

// Where a thread another process sends a signal to waits: it says its thread id first (written
// whole, then renamed, so the parent never reads half of it).
__attribute__((noinline)) void waitForSignal() {
    const std::string path = g_folder + "/tid", part = path + ".part";
    if (FILE* file = std::fopen(part.c_str(), "w")) {
        std::fprintf(file, "%ld\n", long(::syscall(SYS_gettid)));
        std::fclose(file);
        std::rename(part.c_str(), path.c_str());
    }
    for (;;) ::pause();
}

// Runs body on a thread crash capture's thread hooks never saw, of the kind a library starts:
// Qt's, glib's, the standard library's. None has a signal stack.
void onForeignThread(const std::string& kind, void (*body)()) {
    static void (*s_body)() = body;
    void (*run)() = [] {
        waitMade();
        s_body();
    };
    if (kind == "qt") {
        QThread* thread = QThread::create(run);
        thread->start();
    } else if (kind == "glib") {
        g_thread_new("glib", [](gpointer f) -> gpointer {
            reinterpret_cast<void (*)()>(f)();
            return nullptr;
        }, reinterpret_cast<gpointer>(run));
    } else {
        std::thread(run).detach();
    }
    g_made.store(true);
}

// Gives the calling thread a signal stack of its own of size bytes, a guard page below it so
// that a handler using more faults rather than writes past it.
void giveOwnSignalStack(size_t size) {
    const long page = ::sysconf(_SC_PAGESIZE);
    auto* mapping = static_cast<char*>(::mmap(nullptr, size_t(page) + size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (mapping == MAP_FAILED || ::mprotect(mapping, size_t(page), PROT_NONE) != 0) std::exit(6);
    stack_t stack{};
    stack.ss_sp = mapping + page;
    stack.ss_size = size;
    if (::sigaltstack(&stack, nullptr) != 0) std::exit(6);
}

// The smallest signal stack a thread gives itself here. A sanitizer's runtime runs its own wrapper
// on that stack before the handler: it gets 16 KiB, still far too small for the recorder.
#if defined(QORVEL_CRASHER_SANITIZER_RUNTIME)
constexpr size_t kSmallOwnStack = 16384;
#else
constexpr size_t kSmallOwnStack = 4096;
#endif

std::atomic<bool> g_go{false};

// A load through a smashed stack pointer: zero, or an address no x86-64 processor takes (a
// general-protection fault, which names no address). Neither returns.
__attribute__((noinline)) void loadThroughZeroStackPointer() {
    asm volatile("xorl %%esp, %%esp\n\tmovq (%%rsp), %%rax" ::: "rax", "memory");
}
__attribute__((noinline)) void loadThroughNonCanonicalStackPointer() {
    asm volatile("movabsq $0x8000000000000000, %%rsp\n\tmovq (%%rsp), %%rax" ::: "rax", "memory");
}

// The number of this process's threads.
int threadCount() {
    int count = 0;
    if (DIR* tasks = ::opendir("/proc/self/task")) {
        while (const dirent* entry = ::readdir(tasks)) count += entry->d_name[0] != '.';
        ::closedir(tasks);
    }
    return count;
}

// Lowers the limit of the address space to what is mapped now: nothing more can be mapped. The
// threads that installed crash capture are gone first (their stacks with them), or what they free
// on their way out would be room again.
void limitAddressSpaceToMapped(int threads) {
    for (int i = 0; i < 10000 && threadCount() > threads; ++i) ::usleep(1000);
    for (int attempt = 0; attempt < 100; ++attempt) {
        char text[256] = {};
        const int fd = ::open("/proc/self/statm", O_RDONLY);
        if (fd < 0 || ::read(fd, text, sizeof text - 1) <= 0) std::exit(7);
        ::close(fd);
        const rlimit limit{std::strtoull(text, nullptr, 10) * uint64_t(::sysconf(_SC_PAGESIZE)), RLIM_INFINITY};
        if (::setrlimit(RLIMIT_AS, &limit) != 0) std::exit(7);
        // The proof that it holds: a stack's worth cannot be had.
        void* more = ::mmap(nullptr, 1 << 18, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (more == MAP_FAILED) return;
        ::munmap(more, 1 << 18);
    }
    std::exit(7);
}

__attribute__((noinline)) void waitThenNullWrite() {
    while (!g_go.load()) {
    }
    nullWrite();
    asm volatile("" ::: "memory");
}
std::vector<char> g_ownStack(1 << 16);
void priorHandler(int signal) {
    const std::string path = g_folder + "/prior";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd >= 0) {
        // Which stack the earlier handler runs on: the program's own, or another.
        const auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
        const auto base = reinterpret_cast<uintptr_t>(g_ownStack.data());
        const bool own = here >= base && here < base + g_ownStack.size();
        const ssize_t written = ::write(fd, own ? "ran own\n" : "ran other\n", own ? 8 : 10);
        (void)written;
        ::close(fd);
    }
    ::signal(signal, SIG_DFL);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    g_folder = argv[1];
    const std::string kind = argv[2];

    if (kind == "prior-handler") ::signal(SIGSEGV, priorHandler);
    if (kind == "prior-handler-own-stack") {
        // A program that had a signal stack of its own before crash capture started.
        stack_t stack{};
        stack.ss_sp = g_ownStack.data();
        stack.ss_size = g_ownStack.size();
        ::sigaltstack(&stack, nullptr);
        struct sigaction action{};
        action.sa_handler = priorHandler;
        action.sa_flags = SA_ONSTACK;
        ::sigaction(SIGSEGV, &action, nullptr);
    }

    if (kind == "new-pid-namespace-child") becomeFirstOfPidNamespace();

    FLTContextInitOptions options;
    options.reportPath = argv[1];
    options.reportID = "report-1";
    options.bundleID = "com.qorvel.Qorvel";
    if (kind == "callback-fault") options.crashCallback = crashCallbackFault;
    if (kind == "compact-forever") options.maxCustomKeys = 1000;
    if (!FLTContextInitialize(&options)) return 4;

    std::vector<std::thread> threads;
    // Each sleeper is in its wait before the crash: one just being born has no caller yet.
    static std::atomic<int> sleeping{0};
    auto sleepers = [&](int count) {
        const int before = sleeping.load();
        for (int i = 0; i < count; ++i)
            threads.push_back(Threads::start("sleeper", [] {
                sleeping.fetch_add(1);
                for (;;) ::pause();
            }));
        while (sleeping.load() < before + count) ::usleep(1000);
    };

    if (kind == "compact-forever") {
        // Keys set over and over, compacted every 64 lines, until the parent kills the process.
        for (unsigned i = 0;; ++i) {
            FLTUserLoggingRecordUserKeyValue(QStringLiteral("k%1").arg(i % 200), QString::number(i));
            if (i == 200) expect(nullptr);
        }
    }
    if (kind == "null-write" || kind == "prior-handler" || kind == "prior-handler-own-stack" || kind == "callback-fault") {
        expect(reinterpret_cast<const void*>(&nullWrite));
        sleepers(2);
        nullWrite();
    } else if (kind == "fork-child" || kind == "fork-child-throws" || kind == "fork-child-aborts" || kind == "exec-child" ||
               kind == "fork-children-as-it-crashes" || kind == "new-pid-namespace-child" || kind == "qprocess-child" ||
               kind == "vfork-child" || kind == "spawn-child") {
        // A sleeper beside: the child's handler must not reach the program's threads either.
        expect(reinterpret_cast<const void*>(&nullWrite));
        sleepers(1);
        crashingChild(kind);
        nullWrite();
    } else if (kind == "bus") {
        expect(reinterpret_cast<const void*>(&pastTruncatedMapping));
        pastTruncatedMapping();
    } else if (kind == "abort") {
        expect(reinterpret_cast<const void*>(&callAbort));
        callAbort();
    } else if (kind == "ud2") {
        expect(reinterpret_cast<const void*>(&illegalInstruction));
        illegalInstruction();
    } else if (kind == "divide") {
        expect(reinterpret_cast<const void*>(&divideByZero));
        divideByZero();
    } else if (kind == "int3") {
        expect(reinterpret_cast<const void*>(&breakpoint));
        breakpoint();
    } else if (kind == "kill-segv") {
        expect(reinterpret_cast<const void*>(&killSegv));
        killSegv();
        for (;;) ::pause();
    } else if (kind == "throw-std") {
        throw std::runtime_error("the reason \"quoted\"");
    } else if (kind == "throw-cstring") {
        throw "a C string";
    } else if (kind == "throw-other") {
        throw 42;
    } else if (kind == "overflow-main") {
        expect(reinterpret_cast<const void*>(&recurse));
        recurse(0);
    } else if (kind == "overflow-thread") {
        expect(reinterpret_cast<const void*>(&recurse));
        threads.push_back(Threads::start("overflow", [] {
            waitMade();
            recurse(0);
        }));
        g_made.store(true);
        for (;;) ::pause();
    } else if (kind == "two-threads") {
        expect(reinterpret_cast<const void*>(&nullWrite));
        for (int i = 0; i < 2; ++i)
            threads.push_back(Threads::start("faulter", [] {
                while (!g_go.load()) {
                }
                nullWrite();
            }));
        g_go.store(true);
        for (;;) ::pause();
    } else if (kind == "malloc") {
        expect(reinterpret_cast<const void*>(&nullWrite));
        threads.push_back(Threads::start("allocator", [] {
            for (;;) {
                void* volatile p = std::malloc(size_t(std::rand() % 4096 + 1));
                std::free(p);
                if (g_settled.load() == 0) g_settled.store(1);
            }
        }));
        waitSettled(1);
        ::usleep(20000);
        nullWrite();
    } else if (kind == "blocked-thread") {
        // A thread that blocks every signal, the synchronous faults too.
        expect(reinterpret_cast<const void*>(&nullWrite));
        threads.emplace_back([] {
            sigset_t all;
            sigfillset(&all);
            ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
            g_settled.fetch_add(1);
            for (;;) ::pause();
        });
        waitSettled(1);
        nullWrite();
    } else if (kind == "blocked-threads-8") {
        // Eight threads that cannot take the stop signal, beside two that can.
        expect(reinterpret_cast<const void*>(&nullWrite));
        expectSecond(reinterpret_cast<const void*>(&sitBlocked), 8);
        for (int i = 0; i < 8; ++i) threads.emplace_back(sitBlocked);
        sleepers(2);
        waitSettled(8);
        markCrashTime();
        nullWrite();
    } else if (kind == "vfork" || kind == "vfork-blocked") {
        // A thread waiting in vfork(), beside a sleeper that answers.
        expect(reinterpret_cast<const void*>(&nullWrite));
        expectSecond(reinterpret_cast<const void*>(&sitInVfork), 1);
        const bool blocked = kind == "vfork-blocked";
        threads.emplace_back([blocked] { sitInVfork(blocked); });
        sleepers(1);
        waitSettled(1);
        markCrashTime();
        nullWrite();
    } else if (kind == "threads-32" || kind == "threads-600" || kind == "threads-1100") {
        expect(reinterpret_cast<const void*>(&nullWrite));
        sleepers(std::stoi(kind.substr(8)));
        ::usleep(20000);
        markCrashTime();
        nullWrite();
    } else if (kind == "threads-1100-late") {
        // The faulting thread is the newest, listed after the 1,100 sleepers.
        expect(reinterpret_cast<const void*>(&nullWrite));
        sleepers(1100);
        threads.push_back(Threads::start("faulter", [] { nullWrite(); }));
        for (;;) ::pause();
    } else if (kind == "small-stack") {
        // A thread of the smallest stack a thread may have, started without the thread hooks.
        expect(reinterpret_cast<const void*>(&nullWrite));
        pthread_attr_t attributes;
        ::pthread_attr_init(&attributes);
        ::pthread_attr_setstacksize(&attributes, 16 * 1024);
        pthread_t thread;
        if (::pthread_create(&thread, &attributes, [](void*) -> void* {
                waitMade();
                nullWrite();
                return nullptr;
            }, nullptr) != 0)
            return 6;
        g_made.store(true);
        for (;;) ::pause();
    } else if (kind.rfind("tgkill-", 0) == 0) {
        // Another process sends SIGSEGV to this thread alone (the parent, once "tid" is there).
        expect(reinterpret_cast<const void*>(&waitForSignal));
        onForeignThread(kind.substr(7), waitForSignal);
        for (;;) ::pause();
    } else if (kind.rfind("int3-", 0) == 0) {
        expect(reinterpret_cast<const void*>(&breakpoint));
        onForeignThread(kind.substr(5), breakpoint);
        for (;;) ::pause();
    } else if (kind == "own-stack-4k") {
        // A thread that gave itself a signal stack of 4 KiB.
        expect(reinterpret_cast<const void*>(&nullWrite));
        std::thread([] {
            giveOwnSignalStack(kSmallOwnStack);
            waitMade();
            nullWrite();
        }).detach();
        g_made.store(true);
        for (;;) ::pause();
    } else if (kind.rfind("smashed-sp-", 0) == 0) {
        // "smashed-sp-zero-256k", "smashed-sp-noncanonical-16k": a thread with a signal stack of
        // its own of that size loads through a smashed stack pointer.
        const bool zero = kind.find("-zero-") != std::string::npos;
        static size_t size;
        size = size_t(std::stoul(kind.substr(kind.rfind('-') + 1))) * 1024;
        static void (*faulting)() = zero ? loadThroughZeroStackPointer : loadThroughNonCanonicalStackPointer;
        expect(reinterpret_cast<const void*>(faulting));
        std::thread([] {
            giveOwnSignalStack(size);
            waitMade();
            faulting();
        }).detach();
        g_made.store(true);
        for (;;) ::pause();
    } else if (kind == "small-stack-no-room" || kind == "own-stack-4k-no-room" || kind == "two-threads-own-stack-4k-no-room") {
        // The address space used up before the crash: a thread of 16 KiB without a signal stack,
        // or one with a signal stack of 4 KiB, faults once nothing more can be mapped. Two of the
        // latter fault at once: the one that does not record waits on its 4 KiB.
        expect(reinterpret_cast<const void*>(&nullWrite));
        static std::atomic<int> ready{0};
        const int count = kind == "two-threads-own-stack-4k-no-room" ? 2 : 1;
        if (kind != "small-stack-no-room") {
            for (int i = 0; i < count; ++i)
                std::thread([] {
                    giveOwnSignalStack(kSmallOwnStack);
                    ready.fetch_add(1);
                    waitThenNullWrite();
                }).detach();
        } else {
            pthread_attr_t attributes;
            ::pthread_attr_init(&attributes);
            ::pthread_attr_setstacksize(&attributes, 16 * 1024);
            pthread_t thread;
            if (::pthread_create(&thread, &attributes, [](void*) -> void* {
                    ready.fetch_add(1);
                    waitThenNullWrite();
                    return nullptr;
                }, nullptr) != 0)
                return 6;
        }
        while (ready.load() < count) ::usleep(1000);
        limitAddressSpaceToMapped(1 + count);
        g_go.store(true);
        for (;;) ::pause();
    } else if (kind == "two-threads-own-stack") {
        // Two threads with signal stacks of their own, too small for the recorder, fault at once:
        // the one that does not record is stopped, on the stack its handler moved to, while it
        // waits, and is walked back to its fault from there.
        // Either may be stopped before its fault on a busy machine: both walks pass the
        // function that waits and faults, whichever way.
        expect(reinterpret_cast<const void*>(&nullWrite));
        expectSecond(reinterpret_cast<const void*>(&waitThenNullWrite), 2);
        static std::atomic<int> ready{0};
        for (int i = 0; i < 2; ++i)
            std::thread([] {
                giveOwnSignalStack(65536);
                ready.fetch_add(1);
                waitThenNullWrite();
            }).detach();
        while (ready.load() < 2) ::usleep(1000);
        g_go.store(true);
        for (;;) ::pause();
    } else if (kind == "null-write-when-told") {
        // Set up, then crashes once the parent has made a file "go" (after filling the disk).
        expect(reinterpret_cast<const void*>(&nullWrite));
        const std::string go = g_folder + "/go";
        for (int i = 0; i < 3000 && ::access(go.c_str(), F_OK) != 0; ++i) ::usleep(5000);
        nullWrite();
    } else if (kind == "traced-thread" || kind == "sigstopped-thread") {
        // A thread a tracer holds stopped, beside a sleeper that answers.
        expect(reinterpret_cast<const void*>(&nullWrite));
        std::atomic<pid_t> tid{0};
        threads.push_back(Threads::start("held", [&tid] {
            tid.store(pid_t(::syscall(SYS_gettid)));
            for (;;) ::pause();
        }));
        sleepers(1);
        while (!tid.load()) ::usleep(1000);
        if (!holdThreadStopped(tid.load(), kind == "sigstopped-thread")) return 5;
        ::usleep(20000);
        markCrashTime();
        nullWrite();
    }
    return 1;
}
