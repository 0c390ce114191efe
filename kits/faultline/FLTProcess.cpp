#include "kits/faultline/FLTProcess.h"

#include "kits/faultline/FLTBinaryImage.h"
#include "kits/faultline/FLTContext.h"
#include "kits/faultline/FLTFile.h"
#include "kits/faultline/FLTHost.h"
#include "kits/faultline/FLTSDKLog.h"
#include "kits/faultline/FLTUnwind.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <linux/futex.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr uint32_t kRecursionThreshold = 10;
std::atomic<int> g_suspendSignal{0};
pid_t g_threadReader = 0;  // the helper process of this crash, 0 when none runs

// The thread reader below runs in a clone that shares the recording thread's thread-local storage,
// where the sanitizers keep their per-thread state: it and everything it calls leave that alone.
#define FLT_UNSANITIZED __attribute__((no_sanitize("address", "thread", "undefined")))

FLT_UNSANITIZED int64_t nowMs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

FLT_UNSANITIZED void futexWait(std::atomic<uint32_t>* word, uint32_t expected, int64_t milliseconds) {
    if (milliseconds <= 0) return;
    timespec wait{time_t(milliseconds / 1000), long(milliseconds % 1000) * 1000000};
    ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected, &wait, nullptr, 0);
}

FLT_UNSANITIZED void futexWake(std::atomic<uint32_t>* word) {
    ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, 0x7fffffff, nullptr, nullptr, 0);
}

// The stop signal's handler, on every thread but the recording one. A thread the recorder has
// already read without it (its wait ended only now) stores nothing, but still stops: its stack
// must not move while it is walked.
void suspendHandler(int, siginfo_t*, void* raw) {
    const int savedErrno = errno;
    FLTWritableStore* store = g_fltStore.load();
    // The generation is taken before the recorder's wish is read: a resume after this read
    // changes it, so the wait below ends.
    const uint32_t generation = store ? store->resumeGeneration.load() : 0;
    if (store && store->suspending.load()) {
        const int32_t self = FLTCurrentThreadID();
        const int32_t count = store->threadCount.load();
        for (int32_t i = 0; i < count && i < kFLTMaxThreads; ++i) {
            FLTThreadSlot& slot = store->threads[i];
            if (slot.tid != self) continue;
            uint32_t waiting = 0;
            if (slot.answered.compare_exchange_strong(waiting, 3)) {
                FLTRegistersFromUContext(static_cast<const ucontext_t*>(raw), &slot.registers);
                slot.answered.store(1);
                futexWake(&slot.answered);
            }
            break;
        }
        // A thread without a slot (one past those a record holds) stops all the same: nothing
        // may move under the recorder.
        const int64_t deadline = nowMs() + kFLTResumeTimeoutMs;
        while (store->resumeGeneration.load() == generation && nowMs() < deadline)
            futexWait(&store->resumeGeneration, generation, deadline - nowMs());
    }
    errno = savedErrno;
}

// The recording thread's own registers, taken here: its stack is walked from this function.
__attribute__((noinline)) void currentRegisters(FLTRegisters* registers) {
    ucontext_t context;
    std::memset(&context, 0, sizeof context);
    if (::getcontext(&context) == 0) {
        FLTRegistersFromUContext(&context, registers);
    } else {
        std::memset(registers, 0, sizeof *registers);
    }
}

void writeRegisters(FLTFile* file, const FLTRegisters* r) {
    const uint64_t values[21] = {r->rax, r->rbx, r->rcx, r->rdx, r->rdi, r->rsi,    r->rbp, r->rsp, r->r8, r->r9, r->r10,
                                 r->r11, r->r12, r->r13, r->r14, r->r15, r->rip, r->rflags, r->cs,  r->fs, r->gs};
    FLTFileWriteHashKey(file, "registers");
    FLTFileWriteHashStart(file);
    for (int i = 0; i < 21; ++i) FLTFileWriteHashEntryUint64(file, kFLTRegisterNames[i], values[i]);
    FLTFileWriteHashEnd(file);
}

// "/proc/self/task/<tid>/<leaf>" into path (64 bytes).
void taskPath(char* path, int32_t tid, const char* leaf) {
    char digits[21];
    std::strcpy(path, "/proc/self/task/");
    std::strcat(path, FLTFileFormatUInt64(uint64_t(tid), false, digits));
    std::strcat(path, "/");
    std::strcat(path, leaf);
}

// Reads a number in hexadecimal ("0x" optional) or decimal; answers where it stopped.
const char* parseNumber(const char* p, bool hex, uint64_t* value) {
    while (*p == ' ' || *p == '\t') ++p;
    if (hex && p[0] == '0' && p[1] == 'x') p += 2;
    uint64_t number = 0;
    const char* start = p;
    for (;; ++p) {
        int digit = -1;
        if (*p >= '0' && *p <= '9') digit = *p - '0';
        else if (hex && *p >= 'a' && *p <= 'f') digit = *p - 'a' + 10;
        else if (hex && *p >= 'A' && *p <= 'F') digit = *p - 'A' + 10;
        if (digit < 0) break;
        number = number * (hex ? 16 : 10) + uint64_t(digit);
    }
    *value = number;
    return p == start ? nullptr : p;
}

FLT_UNSANITIZED void registersFromTrace(const user_regs_struct& g, FLTRegisters* r) {
    r->rax = g.rax;
    r->rbx = g.rbx;
    r->rcx = g.rcx;
    r->rdx = g.rdx;
    r->rdi = g.rdi;
    r->rsi = g.rsi;
    r->rbp = g.rbp;
    r->rsp = g.rsp;
    r->r8 = g.r8;
    r->r9 = g.r9;
    r->r10 = g.r10;
    r->r11 = g.r11;
    r->r12 = g.r12;
    r->r13 = g.r13;
    r->r14 = g.r14;
    r->r15 = g.r15;
    r->rip = g.rip;
    r->rflags = g.eflags;
    r->cs = g.cs & 0xFFFF;
    r->fs = g.fs & 0xFFFF;
    r->gs = g.gs & 0xFFFF;
}

// Gives up on a slot nobody has answered for yet (2: read it without the thread), waking the
// recorder; false when an answer came first.
FLT_UNSANITIZED bool giveUp(FLTThreadSlot& slot) {
    uint32_t waiting = 0;
    if (!slot.answered.compare_exchange_strong(waiting, 2)) return false;
    futexWake(&slot.answered);
    return true;
}

// The helper process (a clone sharing this process's memory but not its thread group, so it may
// trace it): every thread that blocks the stop signal is seized and interrupted, which needs no
// signal, and the stops are then collected as they come, never waited for one by one: a thread in
// a wait no signal ends (a parent in vfork until its child execs, a disk wait) cannot stop and
// holds no other. Each stopped thread's registers go into its slot and it stays stopped until the
// recorder lets the threads go (or the helper's wait runs out); ending the helper detaches
// whatever it still holds. It runs on a stack of its own in shared memory: no sanitizer
// bookkeeping is made for it.
FLT_UNSANITIZED int threadReaderMain(void*) {
    FLTWritableStore* store = g_fltStore.load();
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    int64_t deadline = nowMs() + kFLTSuspendTimeoutMs;
    while (store->readerAllowed.load() == 0 && nowMs() < deadline) futexWait(&store->readerAllowed, 0, deadline - nowMs());
    const int count = store->threadCount.load();
    bool traced[kFLTMaxThreads] = {};
    bool interrupted[kFLTMaxThreads] = {};
    for (int i = 0; i < count; ++i) {
        FLTThreadSlot& slot = store->threads[i];
        if (slot.state != kFLTThreadBlocking) continue;
        traced[i] = ::ptrace(PTRACE_SEIZE, slot.tid, nullptr, nullptr) == 0;
        interrupted[i] = traced[i] && ::ptrace(PTRACE_INTERRUPT, slot.tid, nullptr, nullptr) == 0;
        if (!interrupted[i]) giveUp(slot);
    }
    deadline = nowMs() + kFLTSuspendTimeoutMs;
    for (;;) {
        int status = 0;
        const pid_t tid = ::waitpid(-1, &status, __WALL | WNOHANG);
        if (tid > 0) {
            for (int i = 0; i < count; ++i) {
                FLTThreadSlot& slot = store->threads[i];
                if (!interrupted[i] || slot.tid != tid) continue;
                interrupted[i] = false;
                user_regs_struct registers{};
                if (!WIFSTOPPED(status) || ::ptrace(PTRACE_GETREGS, tid, nullptr, &registers) != 0) {
                    if (!WIFSTOPPED(status)) traced[i] = false;  // it ended
                    giveUp(slot);
                    break;
                }
                // The recorder may have read this thread without it meanwhile: its slot is then left alone.
                uint32_t waiting = 0;
                if (slot.answered.compare_exchange_strong(waiting, 3)) {
                    registersFromTrace(registers, &slot.registers);
                    slot.answered.store(1);
                    futexWake(&slot.answered);
                }
                break;
            }
            continue;
        }
        bool pending = false;
        for (int i = 0; i < count; ++i) pending = pending || (interrupted[i] && store->threads[i].answered.load() == 0);
        if (!pending || tid < 0 || nowMs() >= deadline) break;
        const timespec pause{0, 500000};
        ::nanosleep(&pause, nullptr);
    }
    const uint32_t generation = store->readerGeneration.load();
    deadline = nowMs() + kFLTResumeTimeoutMs;
    while (store->resumeGeneration.load() == generation && nowMs() < deadline)
        futexWait(&store->resumeGeneration, generation, deadline - nowMs());
    for (int i = 0; i < count; ++i)
        if (traced[i]) ::ptrace(PTRACE_DETACH, store->threads[i].tid, nullptr, nullptr);
    return 0;
}

// Starts the helper; false when it cannot run (each blocking thread is then read from /proc).
bool startThreadReader(FLTWritableStore* store) {
    store->readerAllowed.store(0);
    store->readerGeneration.store(store->resumeGeneration.load());
    char* top = store->readerStack + sizeof store->readerStack;
    const int pid = ::clone(threadReaderMain, top, CLONE_VM | CLONE_UNTRACED, nullptr);
    if (pid <= 0) {
        FLTLogWarn("Unable to start the thread reader (%s)\n", FLTErrnoName(errno));
        return false;
    }
    g_threadReader = pid;
    // Where Yama restricts tracing to ancestors, this process names its helper (EINVAL without Yama).
    ::prctl(PR_SET_PTRACER, pid, 0, 0, 0);
    store->readerAllowed.store(1);
    futexWake(&store->readerAllowed);
    return true;
}

void reapThreadReader() {
    if (!g_threadReader) return;
    const int64_t deadline = nowMs() + 200;
    int status = 0;
    while (::waitpid(g_threadReader, &status, WNOHANG | __WALL) == 0) {
        if (nowMs() >= deadline) {
            ::kill(g_threadReader, SIGKILL);
            ::waitpid(g_threadReader, &status, __WALL);
            break;
        }
        const timespec pause{0, 1000000};
        ::nanosleep(&pause, nullptr);
    }
    g_threadReader = 0;
}

}  // namespace

int FLTProcessSuspendSignal() { return g_suspendSignal.load(); }

bool FLTProcessInstallSuspendHandler() {
    const int signal = SIGRTMAX - 3;
    struct sigaction action{};
    action.sa_sigaction = suspendHandler;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
    sigemptyset(&action.sa_mask);
    if (::sigaction(signal, &action, nullptr) != 0) {
        FLTLogWarn("Unable to install handler for %d (%s)\n", signal, FLTErrnoName(errno));
        return false;
    }
    g_suspendSignal.store(signal);
    return true;
}

void FLTRegistersFromUContext(const ucontext_t* context, FLTRegisters* r) {
    const greg_t* g = context->uc_mcontext.gregs;
    r->rax = uint64_t(g[REG_RAX]);
    r->rbx = uint64_t(g[REG_RBX]);
    r->rcx = uint64_t(g[REG_RCX]);
    r->rdx = uint64_t(g[REG_RDX]);
    r->rdi = uint64_t(g[REG_RDI]);
    r->rsi = uint64_t(g[REG_RSI]);
    r->rbp = uint64_t(g[REG_RBP]);
    r->rsp = uint64_t(g[REG_RSP]);
    r->r8 = uint64_t(g[REG_R8]);
    r->r9 = uint64_t(g[REG_R9]);
    r->r10 = uint64_t(g[REG_R10]);
    r->r11 = uint64_t(g[REG_R11]);
    r->r12 = uint64_t(g[REG_R12]);
    r->r13 = uint64_t(g[REG_R13]);
    r->r14 = uint64_t(g[REG_R14]);
    r->r15 = uint64_t(g[REG_R15]);
    r->rip = uint64_t(g[REG_RIP]);
    r->rflags = uint64_t(g[REG_EFL]);
    const uint64_t segments = uint64_t(g[REG_CSGSFS]);  // cs, gs, fs, ss: 16 bits each
    r->cs = segments & 0xFFFF;
    r->gs = (segments >> 16) & 0xFFFF;
    r->fs = (segments >> 32) & 0xFFFF;
}

namespace {

// Calls visit(tid) for each of this process's threads, read from /proc/self/task with the raw
// system call (nothing here may allocate). False when the folder cannot be opened.
template <class Visit>
bool forEachThread(Visit visit) {
    const int fd = ::open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    alignas(8) char buffer[4096];
    for (;;) {
        const long got = ::syscall(SYS_getdents64, fd, buffer, sizeof buffer);
        if (got <= 0) break;
        for (long offset = 0; offset < got;) {
            // struct linux_dirent64: inode, offset, record length, type, name
            uint16_t length = 0;
            std::memcpy(&length, buffer + offset + 16, 2);
            const char* name = buffer + offset + 19;
            if (length == 0) break;
            offset += length;
            if (name[0] < '0' || name[0] > '9') continue;
            int32_t tid = 0;
            for (const char* p = name; *p >= '0' && *p <= '9'; ++p) tid = tid * 10 + (*p - '0');
            visit(tid);
        }
    }
    ::close(fd);
    return true;
}

// The threads listed beyond the slots are asked to stop too; they are not waited for.
void signalThreadsLeftOut(FLTWritableStore* store, int signal, int32_t self, pid_t pid) {
    const int count = store->threadCount.load();
    forEachThread([&](int32_t tid) {
        bool slotted = tid == self;
        for (int i = 0; i < count && !slotted; ++i) slotted = store->threads[i].tid == tid;
        if (!slotted) ::syscall(SYS_tgkill, pid, tid, signal);
    });
}

}  // namespace

int FLTProcessListThreads(int32_t crashedThread) {
    FLTWritableStore* store = g_fltStore.load();
    if (!store) return 0;
    int count = 0;
    int total = 0;
    store->threadsLeftOut.store(0);
    auto take = [&](int32_t tid) {
        FLTThreadSlot& slot = store->threads[count++];
        slot.tid = tid;
        slot.state = kFLTThreadListed;
        slot.answered.store(0);
        std::memset(&slot.registers, 0, sizeof slot.registers);
    };
    const int32_t self = FLTCurrentThreadID();
    int first = 0;
    if (crashedThread > 0) {
        take(crashedThread);
        ++first;
    }
    if (self != crashedThread) {
        take(self);
        ++first;
    }
    const bool listed = forEachThread([&](int32_t tid) {
        if (tid == crashedThread || tid == self) return;
        ++total;
        if (count >= kFLTMaxThreads) return;
        take(tid);
    });
    total += first;
    if (!listed) FLTLogWarn("Error: unable to get task threads\n");
    store->threadCount.store(count);
    store->threadsLeftOut.store(total - count);
    return count;
}

bool FLTProcessThreadBlocksSignal(int32_t tid, int signal) {
    char path[64];
    taskPath(path, tid, "status");
    char status[4096];
    if (FLTHostReadFile(path, status, sizeof status) <= 0) return false;
    const char* line = std::strstr(status, "\nSigBlk:");
    uint64_t mask = 0;
    if (!line || !parseNumber(line + 8, true, &mask) || signal < 1 || signal > 64) return false;
    return (mask >> (signal - 1)) & 1;
}

bool FLTProcessRegistersFromSyscallFile(int32_t tid, FLTRegisters* registers) {
    char path[64];
    taskPath(path, tid, "syscall");
    char text[256];
    if (FLTHostReadFile(path, text, sizeof text) <= 0) return false;
    // "nr arg1 .. arg6 sp pc" inside a system call, "-1 sp pc" blocked outside one, "running".
    uint64_t values[9] = {};
    const char* p = text;
    const bool outside = *p == '-';
    if (outside) ++p;
    int read = 0;
    for (; read < 9 && p && *p && *p != '\n'; ++read) p = parseNumber(p, read > 0, &values[read]);
    if (!p || read != (outside ? 3 : 9)) return false;
    std::memset(registers, 0, sizeof *registers);
    registers->rsp = values[read - 2];
    registers->rip = values[read - 1];
    if (!outside) {
        // The kernel's calling convention: the number in rax, the arguments in these registers.
        registers->rax = values[0];
        registers->rdi = values[1];
        registers->rsi = values[2];
        registers->rdx = values[3];
        registers->r10 = values[4];
        registers->r8 = values[5];
        registers->r9 = values[6];
    }
    return registers->rsp != 0 && registers->rip != 0;
}

namespace {

// A thread that could not be read may be ending (glibc blocks every signal on a thread's way
// out): once its task is gone it is no thread of the crash any more.
bool threadEnded(int32_t tid) {
    char path[64];
    taskPath(path, tid, "stat");
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (::access(path, F_OK) != 0) return true;
        const timespec pause{0, 1000000};
        ::nanosleep(&pause, nullptr);
    }
    return false;
}

// How long a thread that has not answered may be in an ordinary hurry (just woken, not yet run)
// before its state is looked at.
constexpr int64_t kUnansweredGraceMs = 20;

}  // namespace

bool FLTProcessThreadCannotAnswer(int32_t tid) {
    char path[64];
    taskPath(path, tid, "stat");
    char text[512];
    if (FLTHostReadFile(path, text, sizeof text) <= 0) return false;
    // "tid (name) S ...": the name may hold anything, the state follows its last ')'.
    const char* close = std::strrchr(text, ')');
    return close && close[1] == ' ' && (close[2] == 'D' || close[2] == 't' || close[2] == 'T');
}

bool FLTProcessSuspendAllOtherThreads() {
    FLTWritableStore* store = g_fltStore.load();
    const int signal = g_suspendSignal.load();
    if (!store) return false;
    const int32_t self = FLTCurrentThreadID();
    const int count = store->threadCount.load();
    const pid_t pid = ::getpid();
    bool all = true;
    int blocking = 0;
    store->suspending.store(1);
    // Ask every thread first, then collect the answers: they stop in parallel. A thread whose
    // mask blocks the stop signal would never answer; it is not asked.
    for (int i = 0; i < count; ++i) {
        FLTThreadSlot& slot = store->threads[i];
        if (slot.tid == self) {
            slot.state = kFLTThreadSelf;
            continue;
        }
        if (signal && FLTProcessThreadBlocksSignal(slot.tid, signal)) {
            slot.state = kFLTThreadBlocking;
            ++blocking;
        } else if (signal && ::syscall(SYS_tgkill, pid, slot.tid, signal) == 0) {
            slot.state = kFLTThreadSignalled;
        } else {
            slot.state = kFLTThreadFailed;
            all = false;
        }
    }
    if (signal && store->threadsLeftOut.load() > 0) signalThreadsLeftOut(store, signal, self, pid);
    const bool reader = blocking && startThreadReader(store);
    // One pass over the threads, repeated until each is settled: a thread that answered (or that
    // the helper read) is stopped; one that cannot answer is read from its system call, as /proc
    // shows it, and its stack from this process's memory. That is a thread the helper gave up on,
    // one in a wait no signal ends (the parent of a vfork until its child execs, a disk or network
    // file system wait: the signal, or the helper's interrupt, waits with it), one stopped by a
    // signal or held by a tracer (it takes no signal until let go), and, at the
    // deadline, any other. So no thread holds another, and only a thread that is running and will
    // not answer makes the recorder wait for the deadline.
    const int64_t started = nowMs();
    const int64_t deadline = started + kFLTSuspendTimeoutMs;
    for (;;) {
        const int64_t now = nowMs();
        FLTThreadSlot* unanswered = nullptr;
        for (int i = 0; i < count; ++i) {
            FLTThreadSlot& slot = store->threads[i];
            if (slot.state != kFLTThreadSignalled && slot.state != kFLTThreadBlocking) continue;
            const uint32_t answer = slot.answered.load();
            if (answer == 1) {
                slot.state = kFLTThreadStopped;
                continue;
            }
            if (answer == 3) {  // registers being stored this moment
                unanswered = &slot;
                continue;
            }
            const bool cannotAnswer = now - started >= kUnansweredGraceMs && FLTProcessThreadCannotAnswer(slot.tid);
            if (answer == 0 && (reader || slot.state != kFLTThreadBlocking) && now < deadline && !cannotAnswer) {
                unanswered = &slot;
                continue;
            }
            if (answer == 0 && !giveUp(slot)) {  // an answer came just now: taken on the next pass
                unanswered = &slot;
                continue;
            }
            if (FLTProcessRegistersFromSyscallFile(slot.tid, &slot.registers)) {
                if (!cannotAnswer && slot.state == kFLTThreadSignalled)
                    FLTLogWarn("Thread %d did not stop in time; read from its system call\n", slot.tid);
                slot.state = kFLTThreadStopped;
            } else {
                FLTLogWarn("Thread %d %s and could not be read\n", slot.tid,
                           slot.state == kFLTThreadBlocking ? "blocks the stop signal" : "did not stop in time");
                slot.state = kFLTThreadFailed;
                all = false;
            }
        }
        if (!unanswered) break;
        const uint32_t seen = unanswered->answered.load();
        if (seen == 0 || seen == 3) futexWait(&unanswered->answered, seen, 1);
    }
    for (int i = 0; i < count; ++i)
        if (store->threads[i].state == kFLTThreadFailed && threadEnded(store->threads[i].tid)) store->threads[i].state = kFLTThreadGone;
    return all;
}

bool FLTProcessResumeAllOtherThreads() {
    FLTWritableStore* store = g_fltStore.load();
    if (!store) return false;
    store->suspending.store(0);
    store->resumeGeneration.fetch_add(1);
    futexWake(&store->resumeGeneration);
    reapThreadReader();
    return true;
}

void FLTProcessWriteStackTrace(FLTFile* file, const FLTRegisters* registers, uint64_t* repeatedPC,
                               uint32_t* repeatCount) {
    FLTWritableStore* store = g_fltStore.load();
    FLTUnwindContext unwind;
    FLTUnwindInit(&unwind, registers);
    *repeatedPC = 0;
    *repeatCount = 0;
    const uint32_t level = store ? store->minimumLogLevel.load() : kFLTLogDebug;
    FLTFileWriteHashKey(file, "stacktrace");
    FLTFileWriteArrayStart(file);
    while (FLTUnwindNextFrame(&unwind)) {
        const uint64_t pc = FLTUnwindGetPC(&unwind);
        const uint32_t repeats = FLTUnwindGetRepeatCount(&unwind);
        if (!*repeatedPC) {
            if (repeats < kRecursionThreshold) {
                FLTFileWriteArrayEntryUint64(file, pc);
            } else {
                FLTLogWarn("Possible infinite recursion - suppressing logging\n");
                if (store) store->minimumLogLevel.store(kFLTLogWarn);
                *repeatedPC = pc;
            }
        } else if (pc == *repeatedPC) {
            *repeatCount = repeats;
        } else {
            if (store) store->minimumLogLevel.store(level);
            FLTFileWriteArrayEntryUint64(file, pc);
        }
    }
    if (store) store->minimumLogLevel.store(level);
    FLTFileWriteArrayEnd(file);
}

bool FLTProcessRecordAllThreads(FLTFile* file, int32_t crashedThread, const ucontext_t* context) {
    FLTWritableStore* store = g_fltStore.load();
    if (!store) return false;
    const int count = store->threadCount.load();
    FLTFileWriteSectionStart(file, "threads");
    FLTFileWriteArrayStart(file);
    for (int i = 0; i < count; ++i) {
        FLTThreadSlot& slot = store->threads[i];
        if (slot.state == kFLTThreadGone) continue;
        FLTLogInfo("recording thread %d data\n", i);
        FLTRegisters registers{};
        bool haveRegisters = false;
        if (slot.tid == crashedThread && context) {
            FLTRegistersFromUContext(context, &registers);
            haveRegisters = true;
        } else if (slot.state == kFLTThreadSelf) {
            FLTLogWarn("Faking current thread\n");
            currentRegisters(&registers);
            haveRegisters = true;
        } else if (slot.state == kFLTThreadStopped) {
            registers = slot.registers;
            haveRegisters = true;
        }
        FLTFileWriteHashStart(file);
        uint64_t repeatedPC = 0;
        uint32_t repeatCount = 0;
        if (haveRegisters) {
            writeRegisters(file, &registers);
            FLTProcessWriteStackTrace(file, &registers, &repeatedPC, &repeatCount);
        } else {
            // A thread that could not be stopped keeps its place with no frames, so the line and
            // the other threads stay whole.
            FLTLogError("unable to get thread state\n");
            FLTFileWriteHashKey(file, "stacktrace");
            FLTFileWriteArrayStart(file);
            FLTFileWriteArrayEnd(file);
        }
        if (slot.tid == crashedThread) FLTFileWriteHashEntryBoolean(file, "crashed", true);
        if (repeatedPC) {
            FLTFileWriteHashEntryUint64(file, "repeated_pc", repeatedPC);
            FLTFileWriteHashEntryUint64(file, "repeat_count", repeatCount);
        }
        FLTFileWriteHashEnd(file);
    }
    FLTFileWriteArrayEnd(file);
    FLTFileWriteSectionEnd(file);
    const int leftOut = store->threadsLeftOut.load();
    if (leftOut > 0) {
        FLTLogWarn("%d threads left out of the record: it holds %d\n", leftOut, kFLTMaxThreads);
        FLTFileWriteSectionStart(file, "threads_left_out");
        FLTFileWriteHashStart(file);
        FLTFileWriteHashEntryUint64(file, "count", uint64_t(leftOut));
        FLTFileWriteHashEntryString(file, "reason", "more threads than a crash record holds");
        FLTFileWriteHashEntryUint64(file, "limit", uint64_t(kFLTMaxThreads));
        FLTFileWriteHashEnd(file);
        FLTFileWriteSectionEnd(file);
    }
    FLTLogInfo("completed recording all thread data\n");
    return true;
}

void FLTProcessRecordRuntimeInfo(FLTFile* file) {
    // No message-sending runtime and no crash-message sections in ELF images: the section keeps
    // its shape with nothing in it.
    FLTFileWriteSectionStart(file, "runtime");
    FLTFileWriteHashStart(file);
    FLTFileWriteHashEntryString(file, "objc_selector", "");
    FLTFileWriteHashKey(file, "crash_info_entries");
    FLTFileWriteArrayStart(file);
    FLTFileWriteArrayEnd(file);
    FLTFileWriteHashEnd(file);
    FLTFileWriteSectionEnd(file);
}

void FLTProcessRecordDispatchQueueNames(FLTFile* file) {
    FLTWritableStore* store = g_fltStore.load();
    const int count = store ? store->threadCount.load() : 0;
    FLTFileWriteSectionStart(file, "dispatch_queue_names");
    FLTFileWriteArrayStart(file);
    for (int i = 0; i < count; ++i)
        if (store->threads[i].state != kFLTThreadGone) FLTFileWriteArrayEntryString(file, "");
    FLTFileWriteArrayEnd(file);
    FLTFileWriteSectionEnd(file);
}

void FLTProcessRecordThreadNames(FLTFile* file) {
    FLTWritableStore* store = g_fltStore.load();
    const int count = store ? store->threadCount.load() : 0;
    FLTFileWriteSectionStart(file, "thread_names");
    FLTFileWriteArrayStart(file);
    for (int i = 0; i < count; ++i) {
        if (store->threads[i].state == kFLTThreadGone) continue;
        char path[64] = "/proc/self/task/";
        char digits[21];
        std::strcat(path, FLTFileFormatUInt64(uint64_t(store->threads[i].tid), false, digits));
        std::strcat(path, "/comm");
        char name[64];
        const int64_t length = FLTHostReadFile(path, name, sizeof name);
        if (length > 0 && name[length - 1] == '\n') name[length - 1] = 0;
        FLTFileWriteArrayEntryString(file, length > 0 ? name : "");
    }
    FLTFileWriteArrayEnd(file);
    FLTFileWriteSectionEnd(file);
}

void FLTProcessRecordStats(FLTFile* file) {
    FLTContext* context = g_fltContext.load();
    const uint64_t page = context && context->pageSize ? context->pageSize : 4096;
    char meminfo[4096], statm[256];
    uint64_t active = 0, inactive = 0, wired = 0, freeMemory = 0, virtualSize = 0, resident = 0;
    const bool haveMemory = FLTHostReadFile("/proc/meminfo", meminfo, sizeof meminfo) > 0 &&
                            FLTHostFindNumber(meminfo, "Active", &active) &&
                            FLTHostFindNumber(meminfo, "Inactive", &inactive) &&
                            FLTHostFindNumber(meminfo, "MemFree", &freeMemory);
    if (haveMemory) FLTHostFindNumber(meminfo, "Mlocked", &wired);
    rusage usage{};
    bool haveTask = FLTHostReadFile("/proc/self/statm", statm, sizeof statm) > 0 && ::getrusage(RUSAGE_SELF, &usage) == 0;
    if (haveTask) {
        const char* p = statm;
        for (int field = 0; field < 2; ++field) {
            uint64_t value = 0;
            while (*p >= '0' && *p <= '9') value = value * 10 + uint64_t(*p++ - '0');
            while (*p == ' ') ++p;
            (field == 0 ? virtualSize : resident) = value * page;
        }
    }
    if (!haveMemory) {
        FLTLogWarn("Failed to get vm statistics\n");
        FLTLogWarn("Unable to get process memory usage\n");
        return;
    }
    if (!haveTask) {
        FLTLogWarn("Failed to get task info\n");
        FLTLogWarn("Unable to get process stats\n");
        return;
    }
    FLTFileWriteSectionStart(file, "process_stats");
    FLTFileWriteHashStart(file);
    FLTFileWriteHashEntryUint64(file, "active", active);
    FLTFileWriteHashEntryUint64(file, "inactive", inactive);
    FLTFileWriteHashEntryUint64(file, "wired", wired);
    FLTFileWriteHashEntryUint64(file, "freeMem", freeMemory);
    FLTFileWriteHashEntryUint64(file, "free_mem", freeMemory);
    FLTFileWriteHashEntryUint64(file, "virtual", virtualSize);
    FLTFileWriteHashEntryUint64(file, "resident", resident);
    // Microseconds in 64 bits: a long-running process's CPU time does not wrap.
    FLTFileWriteHashEntryUint64(file, "user_time",
                                uint64_t(usage.ru_utime.tv_sec) * 1000000 + uint64_t(usage.ru_utime.tv_usec));
    FLTFileWriteHashEntryUint64(file, "sys_time",
                                uint64_t(usage.ru_stime.tv_sec) * 1000000 + uint64_t(usage.ru_stime.tv_usec));
    FLTFileWriteHashEnd(file);
    FLTFileWriteSectionEnd(file);
}

void FLTHandler(FLTFile* file, int32_t crashedThread, const ucontext_t* context) {
    FLTBinaryImageCrashTimeRefresh();
    FLTProcessListThreads(crashedThread);
    if (!FLTProcessSuspendAllOtherThreads()) FLTLogWarn("Not every thread could be stopped\n");
    FLTProcessRecordAllThreads(file, crashedThread, context);
    FLTProcessRecordRuntimeInfo(file);
    FLTProcessRecordDispatchQueueNames(file);
    FLTProcessRecordThreadNames(file);
    FLTProcessRecordStats(file);
    FLTHostRecordStorage(file);
    FLTFileFlush(file);
    FLTProcessResumeAllOtherThreads();
    FLTContext* crashContext = g_fltContext.load();
    if (crashContext && crashContext->crashCallback) {
        FLTLogWarn("Performing syncrhonous crash callback - hold onto your butts\n");
        crashContext->crashCallback(crashContext->crashCallbackInfo);
    }
}
