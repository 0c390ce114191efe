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
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr uint32_t kRecursionThreshold = 10;
std::atomic<int> g_suspendSignal{0};

int64_t nowMs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void futexWait(std::atomic<uint32_t>* word, uint32_t expected, int64_t milliseconds) {
    if (milliseconds <= 0) return;
    timespec wait{time_t(milliseconds / 1000), long(milliseconds % 1000) * 1000000};
    ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected, &wait, nullptr, 0);
}

void futexWake(std::atomic<uint32_t>* word) {
    ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, 0x7fffffff, nullptr, nullptr, 0);
}

// The stop signal's handler, on every thread but the recording one.
void suspendHandler(int, siginfo_t*, void* raw) {
    const int savedErrno = errno;
    FLTWritableStore* store = g_fltStore.load();
    if (store && store->suspending.load()) {
        const int32_t self = FLTCurrentThreadID();
        const int32_t count = store->threadCount.load();
        for (int32_t i = 0; i < count && i < kFLTMaxThreads; ++i) {
            FLTThreadSlot& slot = store->threads[i];
            if (slot.tid != self) continue;
            const uint32_t generation = store->resumeGeneration.load();
            FLTRegistersFromUContext(static_cast<const ucontext_t*>(raw), &slot.registers);
            slot.answered.store(1);
            futexWake(&slot.answered);
            const int64_t deadline = nowMs() + kFLTResumeTimeoutMs;
            while (store->resumeGeneration.load() == generation && nowMs() < deadline)
                futexWait(&store->resumeGeneration, generation, deadline - nowMs());
            break;
        }
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

}  // namespace

int FLTProcessSuspendSignal() { return g_suspendSignal.load(); }

bool FLTProcessInstallSuspendHandler() {
    const int signal = SIGRTMAX - 3;
    struct sigaction action{};
    action.sa_sigaction = suspendHandler;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
    sigemptyset(&action.sa_mask);
    if (::sigaction(signal, &action, nullptr) != 0) {
        FLTLogWarn("Unable to install handler for %d (%s)\n", signal, std::strerror(errno));
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

int FLTProcessListThreads() {
    FLTWritableStore* store = g_fltStore.load();
    if (!store) return 0;
    int count = 0;
    const int fd = ::open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        FLTLogWarn("Error: unable to get task threads\n");
        store->threadCount.store(0);
        return 0;
    }
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
            if (name[0] < '0' || name[0] > '9' || count >= kFLTMaxThreads) continue;
            int32_t tid = 0;
            for (const char* p = name; *p >= '0' && *p <= '9'; ++p) tid = tid * 10 + (*p - '0');
            FLTThreadSlot& slot = store->threads[count++];
            slot.tid = tid;
            slot.state = kFLTThreadListed;
            slot.answered.store(0);
            std::memset(&slot.registers, 0, sizeof slot.registers);
        }
    }
    ::close(fd);
    store->threadCount.store(count);
    return count;
}

bool FLTProcessSuspendAllOtherThreads() {
    FLTWritableStore* store = g_fltStore.load();
    const int signal = g_suspendSignal.load();
    if (!store) return false;
    const int32_t self = FLTCurrentThreadID();
    const int count = store->threadCount.load();
    const pid_t pid = ::getpid();
    bool all = true;
    store->suspending.store(1);
    // Ask every thread first, then wait for the answers: they stop in parallel.
    for (int i = 0; i < count; ++i) {
        FLTThreadSlot& slot = store->threads[i];
        if (slot.tid == self) {
            slot.state = kFLTThreadSelf;
            continue;
        }
        if (signal && ::syscall(SYS_tgkill, pid, slot.tid, signal) == 0) {
            slot.state = kFLTThreadSignalled;
        } else {
            slot.state = kFLTThreadFailed;
            all = false;
        }
    }
    const int64_t deadline = nowMs() + kFLTSuspendTimeoutMs;
    for (int i = 0; i < count; ++i) {
        FLTThreadSlot& slot = store->threads[i];
        if (slot.state != kFLTThreadSignalled) continue;
        while (slot.answered.load() == 0 && nowMs() < deadline) futexWait(&slot.answered, 0, deadline - nowMs());
        if (slot.answered.load()) {
            slot.state = kFLTThreadStopped;
        } else {
            slot.state = kFLTThreadFailed;
            all = false;
            FLTLogWarn("Thread %d did not stop in time\n", slot.tid);
        }
    }
    return all;
}

bool FLTProcessResumeAllOtherThreads() {
    FLTWritableStore* store = g_fltStore.load();
    if (!store) return false;
    store->suspending.store(0);
    store->resumeGeneration.fetch_add(1);
    futexWake(&store->resumeGeneration);
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
            FLTLogError("unable to get thread state");
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
    for (int i = 0; i < count; ++i) FLTFileWriteArrayEntryString(file, "");
    FLTFileWriteArrayEnd(file);
    FLTFileWriteSectionEnd(file);
}

void FLTProcessRecordThreadNames(FLTFile* file) {
    FLTWritableStore* store = g_fltStore.load();
    const int count = store ? store->threadCount.load() : 0;
    FLTFileWriteSectionStart(file, "thread_names");
    FLTFileWriteArrayStart(file);
    for (int i = 0; i < count; ++i) {
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
    FLTProcessListThreads();
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
