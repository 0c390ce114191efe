#include "kits/faultline/FLTSignal.h"

#include "kits/faultline/FLTFile.h"
#include "kits/faultline/FLTProcess.h"
#include "kits/faultline/FLTSDKLog.h"
#include "kits/faultline/FLTSafeRead.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <dlfcn.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

const int kFLTHandledSignals[kFLTHandledSignalCount] = {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGSYS, SIGTRAP};

namespace {

thread_local void* t_stackMapping = nullptr;
thread_local size_t t_stackMappingSize = 0;

// The room the recorder wants below the stack pointer: a signal stack with less (a thread's own
// small one) or none at all (the handler then runs on what is left of the thread's stack) and the
// handler moves to a guarded stack of its own before it records.
constexpr uintptr_t kRecorderRoom = kFLTSignalStackSize / 2;

// A system call made in line. What the handler calls on a thread's small signal stack goes
// through no lazily bound library entry: the first call of one saves the whole vector state on
// the stack to resolve it, some KiB, more than such a stack has left. Answers the result, or
// minus the error.
long inlineSyscall(long number, long a1 = 0, long a2 = 0, long a3 = 0, long a4 = 0, long a5 = 0, long a6 = 0) {
    register long r10 asm("r10") = a4;
    register long r8 asm("r8") = a5;
    register long r9 asm("r9") = a6;
    long result;
    asm volatile("syscall" : "=a"(result) : "a"(number), "D"(a1), "S"(a2), "d"(a3), "r"(r10), "r"(r8), "r"(r9) : "rcx", "r11", "memory");
    return result;
}

long signalStack(const stack_t* stack, stack_t* old) {
    return inlineSyscall(SYS_sigaltstack, long(stack), long(old));
}

void blockedDuringHandler(sigset_t* set) {
    sigemptyset(set);
    for (int signal : kFLTHandledSignals) sigaddset(set, signal);
}

// Ends the process by signal's default action from inside its handler.
[[noreturn]] void endByDefaultAction(int signal) {
    struct sigaction action{};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(signal);
    ::_exit(128 + signal);
}

// sigaltstack(stack) made with the stack pointer on the new stack's top, off the alternate stack
// the caller runs on: the kernel judges only where the stack pointer lies. Every signal is
// blocked meanwhile, so nothing is delivered on the borrowed pointer. Answers the system call's
// result (0, or minus the error).
long setAlternateStackOffIt(const stack_t* stack) {
    const uintptr_t elsewhere = (reinterpret_cast<uintptr_t>(stack->ss_sp) + stack->ss_size - 64) & ~uintptr_t(15);
    // The kernel's own mask of 64 bits, not the library's 128 bytes: the handler calls this on
    // a thread's small signal stack too.
    const uint64_t all = ~uint64_t(0);
    uint64_t old = 0;
    inlineSyscall(SYS_rt_sigprocmask, SIG_SETMASK, long(&all), long(&old), sizeof old);
    long result = 0;
    asm volatile("mov %%rsp, %%r12\n\t"
                 "mov %[elsewhere], %%rsp\n\t"
                 "syscall\n\t"
                 "mov %%r12, %%rsp"
                 : "=a"(result)
                 : "a"(long(SYS_sigaltstack)), "D"(stack), "S"(nullptr), [elsewhere] "r"(elsewhere)
                 : "rcx", "r11", "r12", "memory");
    inlineSyscall(SYS_rt_sigprocmask, SIG_SETMASK, long(&old), 0, sizeof old);
    return result;
}

// Maps a stack of the handler's size with a guard page below it: an overflow of the handler
// itself faults rather than corrupts. Answers the mapping (its size in *size) and the stack's
// lowest address in *stack, null when it fails. System calls only: the handler calls it too.
void* mapGuardedStack(size_t* size, char** stack) {
    FLTContext* context = g_fltContext.load();
    const size_t guard = context && context->pageSize ? size_t(context->pageSize) : 4096;
    *size = guard + kFLTSignalStackSize;
    const long mapped = inlineSyscall(SYS_mmap, 0, long(*size), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (mapped < 0 && mapped > -4096) return nullptr;
    void* mapping = reinterpret_cast<void*>(mapped);
    inlineSyscall(SYS_mprotect, mapped, long(guard), PROT_NONE);
    *stack = static_cast<char*>(mapping) + guard;
    return mapping;
}

// A guarded signal stack made the calling thread's; answers the mapping, null when either step fails.
void* installSignalStack(size_t* size) {
    char* base = nullptr;
    void* mapping = mapGuardedStack(size, &base);
    if (!mapping) return nullptr;
    stack_t stack{};
    stack.ss_sp = base;
    stack.ss_size = kFLTSignalStackSize;
    if (::sigaltstack(&stack, nullptr) != 0) {
        ::munmap(mapping, *size);
        return nullptr;
    }
    return mapping;
}

// Whether the handler runs on a signal stack with the recorder's room below the stack pointer.
bool onRoomySignalStack() {
    stack_t current{};
    if (signalStack(nullptr, &current) != 0 || !(current.ss_flags & SS_ONSTACK)) return false;
    const auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    const auto base = reinterpret_cast<uintptr_t>(current.ss_sp);
    return here > base && here - base >= kRecorderRoom;
}

// A guarded stack mapped at start-up for the crash whose handler can map none (the address space
// used up): the owner of the crash records on it. Taken by exchange, so only one handler holds it.
struct SpareStack {
    void* mapping;
    size_t size;
    char* stack;
};
std::atomic<SpareStack*> g_spareStack{nullptr};
SpareStack g_spareStackStorage;

// The signal as the kernel delivered it, handed to the part of the handler that may run on
// another stack.
struct Delivery {
    int signal;
    siginfo_t* info;
    void* raw;
    int savedErrno;
    FLTCrashClaim claim;
    bool onSpareStack;  // no stack could be mapped: the one reserved at start-up holds the recorder
};

void handleSignal(void* delivery);

// A crash in a process made from the program's (by fork, vfork or a spawn) before it execs: not
// the program's, so nothing is recorded, logged or claimed, and nothing of the store is written
// (after vfork it is the parent's memory; the handlers are the child's own). The signal goes to
// the handler the program had before capture, or ends the child by its default action: a fault
// repeats on return, another is sent again, blocked until then.
void leaveToHandlersBeforeCapture(int signal, const siginfo_t* info) {
    const FLTContext* context = g_fltContext.load();
    for (int i = 0; i < kFLTHandledSignalCount; ++i) {
        struct sigaction action{};
        if (context && context->signal.hadPrevious[i]) {
            action = context->signal.previous[i];
        } else {
            action.sa_handler = SIG_DFL;
            sigemptyset(&action.sa_mask);
        }
        ::sigaction(kFLTHandledSignals[i], &action, nullptr);
    }
    if (!FLTSignalRepeatsOnReturn(signal, info))
        inlineSyscall(SYS_tgkill, inlineSyscall(SYS_getpid), inlineSyscall(SYS_gettid), signal);
}

}  // namespace

// Calls function(argument) with the stack pointer at top (16-byte aligned) and returns there. The
// frame pointer chains back to the caller's stack, and the call-frame information says so, so a
// walk of the recording thread goes on past the switch.
extern "C" void FLTSignalCallOnStack(void* argument, void (*function)(void*), void* top);
asm(R"(
    .pushsection .text
    .p2align 4
    .type FLTSignalCallOnStack, @function
FLTSignalCallOnStack:
    .cfi_startproc
    pushq %rbp
    .cfi_def_cfa_offset 16
    .cfi_offset %rbp, -16
    movq %rsp, %rbp
    .cfi_def_cfa_register %rbp
    movq %rdx, %rsp
    callq *%rsi
    movq %rbp, %rsp
    popq %rbp
    .cfi_def_cfa %rsp, 8
    retq
    .cfi_endproc
    .size FLTSignalCallOnStack, .-FLTSignalCallOnStack
    .popsection
)");

void FLTSignalNameLookup(int signal, int, const char** name, const char** codeName) {
    if (!name || !codeName) return;
    switch (signal) {
    case SIGILL: *name = "SIGILL"; break;
    case SIGTRAP: *name = "SIGTRAP"; break;
    case SIGABRT: *name = "SIGABRT"; break;
    case SIGFPE: *name = "SIGFPE"; break;
    case SIGBUS: *name = "SIGBUS"; break;
    case SIGSEGV: *name = "SIGSEGV"; break;
    case SIGSYS: *name = "SIGSYS"; break;
    default: *name = "UNKNOWN"; break;
    }
    *codeName = signal == SIGABRT ? "ABORT" : nullptr;
}

bool FLTSignalRepeatsOnReturn(int signal, const siginfo_t* info) {
    const bool fault = signal == SIGSEGV || signal == SIGBUS || signal == SIGILL || signal == SIGFPE;
    return fault && info && info->si_code > 0;
}

void FLTSignalInstallThreadStack() {
    FLTSafeReadNoteThreadStack();
    if (t_stackMapping) return;
    size_t size = 0;
    if (void* mapping = installSignalStack(&size)) {
        t_stackMapping = mapping;
        t_stackMappingSize = size;
    }
}

void FLTSignalReleaseThreadStack() {
    FLTSafeReadForgetThreadStack();
    if (!t_stackMapping) return;
    stack_t disable{};
    disable.ss_flags = SS_DISABLE;
    ::sigaltstack(&disable, nullptr);
    ::munmap(t_stackMapping, t_stackMappingSize);
    t_stackMapping = nullptr;
    t_stackMappingSize = 0;
}

void FLTSignalSafeRemoveHandlers(bool includingAbort) {
    for (int i = 0; i < kFLTHandledSignalCount; ++i) {
        if (!includingAbort && kFLTHandledSignals[i] == SIGABRT) continue;
        struct sigaction action{};
        action.sa_handler = SIG_DFL;
        sigemptyset(&action.sa_mask);
        if (::sigaction(kFLTHandledSignals[i], &action, nullptr) != 0)
            FLTLogWarn("Unable to set default handler for %d (%s)\n", i, FLTErrnoName(errno));
    }
}

bool FLTSignalSafeInstallPreexistingHandlers(const FLTSignalState* state, ucontext_t* interrupted) {
    FLTSignalSafeRemoveHandlers(true);
    if (!state) return false;
    bool ok = true;
    FLTContext* context = g_fltContext.load();
    stack_t current{};
    // Only the thread that initialised capture had its own stack replaced by the context's.
    if (state->previousStack.ss_sp && context && ::sigaltstack(nullptr, &current) == 0 && current.ss_sp == context->signalStack) {
        stack_t stack = state->previousStack;
        stack.ss_flags = 0;
        // Running on the stack to replace, the kernel refuses the switch (EPERM): it is made
        // with the stack pointer off that stack. Returning from the handler then sets the stack
        // the interrupted context names, so that one is the earlier stack too.
        const long result = (current.ss_flags & SS_ONSTACK) ? setAlternateStackOffIt(&stack) : ::sigaltstack(&stack, nullptr);
        if (result != 0) {
            FLTLogWarn("Unable to setup stack %s\n", FLTErrnoName(result < -1 ? int(-result) : errno));
            ok = false;
        } else if (interrupted) {
            interrupted->uc_stack = stack;
        }
    }
    for (int i = 0; i < kFLTHandledSignalCount; ++i) {
        if (!state->hadPrevious[i]) continue;
        if (::sigaction(kFLTHandledSignals[i], &state->previous[i], nullptr) != 0) {
            FLTLogWarn("Unable to install handler for %d (%s)\n", i, FLTErrnoName(errno));
            ok = false;
        }
    }
    return ok;
}

bool FLTSignalInstallContextStack(FLTSignalState* state) {
    FLTContext* context = g_fltContext.load();
    if (!state || !context) return false;
    stack_t stack{};
    stack.ss_sp = context->signalStack;
    stack.ss_size = kFLTSignalStackSize;
    stack_t previous{};
    if (!context->signalStack || ::sigaltstack(&stack, &previous) != 0) {
        FLTLogWarn("Unable to setup stack %s\n", FLTErrnoName(errno));
        return false;
    }
    if (!(previous.ss_flags & SS_DISABLE)) state->previousStack = previous;
    return true;
}

bool FLTSignalInitialize(FLTSignalState* state) {
    FLTContext* context = g_fltContext.load();
    if (!state || !context) return false;
    if (state->signalFilePath && ::unlink(state->signalFilePath) != 0 && errno != ENOENT)
        FLTLogWarn("Unable to reset the signal log file %s\n", FLTErrnoName(errno));
    FLTProcessInstallSuspendHandler();
    // Mapped once for the process: a later initialisation keeps it.
    static std::atomic<bool> spareMapped{false};
    if (!spareMapped.exchange(true)) {
        g_spareStackStorage.mapping = mapGuardedStack(&g_spareStackStorage.size, &g_spareStackStorage.stack);
        if (g_spareStackStorage.mapping) g_spareStack.store(&g_spareStackStorage);
        else FLTLogWarn("Unable to map the spare crash stack\n");
    }
    for (int i = 0; i < kFLTHandledSignalCount; ++i) {
        struct sigaction action{};
        action.sa_sigaction = FLTSignalHandler;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        // The crash signals stay blocked while one is handled: a fault inside the handler ends
        // the process by its default action instead of recursing.
        blockedDuringHandler(&action.sa_mask);
        struct sigaction old{};
        state->hadPrevious[i] = false;
        if (::sigaction(kFLTHandledSignals[i], &action, &old) != 0) {
            FLTLogWarn("Unable to install handler for %d (%s)\n", kFLTHandledSignals[i], FLTErrnoName(errno));
            continue;
        }
        if (old.sa_handler != nullptr) {
            state->previous[i] = old;
            state->hadPrevious[i] = true;
        }
    }
    return true;
}

void FLTSignalHandler(int signal, siginfo_t* info, void* raw) {
    // Kept small: on a thread's own small signal stack the kernel's frame leaves little room.
    // Claimed here, before a stack is chosen: the spare one goes to the owner alone.
    Delivery delivery{signal, info, raw, errno,
                      FLTContextClaimCrash(int32_t(inlineSyscall(SYS_gettid)), int32_t(inlineSyscall(SYS_getpid))), false};
    if (delivery.claim == kFLTClaimOtherProcess) {
        leaveToHandlersBeforeCapture(signal, info);
        errno = delivery.savedErrno;
        return;
    }
    // Recorded as it arrived, whatever stack the recorder then runs on: raising it again from a
    // larger stack would record Qorvel as its sender and lose a trap's code and address.
    size_t mapped = 0;
    char* stack = nullptr;
    void* mapping = nullptr;
    SpareStack* spare = nullptr;
    if (!onRoomySignalStack()) {
        mapping = mapGuardedStack(&mapped, &stack);
        if (!mapping && delivery.claim == kFLTClaimOwner && (spare = g_spareStack.exchange(nullptr)) != nullptr) {
            mapping = spare->mapping;
            stack = spare->stack;
            delivery.onSpareStack = true;
        }
    }
    if (!mapping && delivery.claim == kFLTClaimOtherOwner && !onRoomySignalStack()) {
        // Another thread records, holding the spare stack, and none could be mapped for this one:
        // it waits in this frame. On a small signal stack the kernel's frame leaves too little
        // room for a log line or for the stop signal's frame on top: either would fault past the
        // guard and end the process before the owner's record. The stop signal is blocked, so
        // the owner reads this thread from outside, as any thread that blocks it.
        if (FLTWritableStore* store = g_fltStore.load()) {
            if (const int suspend = FLTProcessSuspendSignal(); suspend > 0) {
                uint64_t stop = uint64_t(1) << (suspend - 1);
                inlineSyscall(SYS_rt_sigprocmask, SIG_BLOCK, long(&stop), 0, sizeof stop);
            }
            timespec wait{time_t(kFLTResumeTimeoutMs / 1000), long(kFLTResumeTimeoutMs % 1000) * 1000000};
            if (store->crashFinished.load() == 0)
                inlineSyscall(SYS_futex, long(&store->crashFinished), FUTEX_WAIT_PRIVATE, 0, long(&wait));
        }
        if (!FLTSignalRepeatsOnReturn(signal, info))
            inlineSyscall(SYS_tgkill, inlineSyscall(SYS_getpid), inlineSyscall(SYS_gettid), signal);
    } else if (mapping) {
        // The guarded stack is the thread's signal stack while the recorder runs there. Otherwise
        // a signal delivered meanwhile on the signal stack (the stop signal, when another thread
        // records this one) would go to the top of the thread's own signal stack, over the frame
        // this one came with, and the walk of this thread would go astray from there. It is made
        // so before the move (from its top: the kernel refuses while the stack pointer is on the
        // signal stack in force), and the thread's own put back after, before the guarded one
        // goes. The context's stack stays: the recorder puts the earlier stack in its place.
        FLTContext* context = g_fltContext.load();
        stack_t previous{};
        stack_t guarded{};
        guarded.ss_sp = stack;
        guarded.ss_size = kFLTSignalStackSize;
        const bool swapped = signalStack(nullptr, &previous) == 0 &&
                             ((previous.ss_flags & SS_DISABLE) || !context || previous.ss_sp != context->signalStack) &&
                             setAlternateStackOffIt(&guarded) == 0;
        FLTSignalCallOnStack(&delivery, handleSignal, stack + kFLTSignalStackSize);
        if (swapped) {
            // A stack given with SS_AUTODISARM reads as disabled inside its handler; returning
            // puts it back from the interrupted context.
            previous.ss_flags &= SS_DISABLE;
            signalStack(&previous, nullptr);
        }
        if (spare) g_spareStack.store(spare);
        else inlineSyscall(SYS_munmap, long(mapping), long(mapped));
    } else {
        handleSignal(&delivery);
    }
    errno = delivery.savedErrno;
}

namespace {

void handleSignal(void* argument) {
    const Delivery& delivery = *static_cast<const Delivery*>(argument);
    const int signal = delivery.signal;
    siginfo_t* info = delivery.info;
    void* raw = delivery.raw;
    const int savedErrno = delivery.savedErrno;
    errno = 0;
    FLTContext* context = g_fltContext.load();
    FLTWritableStore* store = g_fltStore.load();
    const bool repeats = FLTSignalRepeatsOnReturn(signal, info);
    switch (delivery.claim) {
    case kFLTClaimNoContext:
    case kFLTClaimReentered:
        // A fault while this thread records: end by the default action, the record so far kept.
        endByDefaultAction(signal);
    case kFLTClaimOtherOwner:
        FLTLogWarn("Error: aborting signal handler because crash has already occurred");
        // The owner records this thread too, then ends the process; should it not, this signal
        // goes to whatever handles it now.
        FLTContextWaitForCrashOwner(kFLTResumeTimeoutMs);
        if (!repeats) ::raise(signal);
        return;
    case kFLTClaimOtherProcess:
        leaveToHandlersBeforeCapture(signal, info);
        return;
    case kFLTClaimOwner: break;
    }
    FLTLogWarn("Signal: %d\n", signal);
    if (delivery.onSpareStack) FLTLogWarn("No stack could be mapped for the recorder: it records on the spare crash stack\n");
    if (!context) endByDefaultAction(signal);
    FLTFile file;
    if (FLTFileInitWithBuffer(&file, context->signal.signalFilePath, store->crashBuffer, sizeof store->crashBuffer)) {
        FLTFileWriteSectionStart(&file, "signal");
        FLTFileWriteHashStart(&file);
        if (FLTIsValidPointer(info)) {
            const char* name = nullptr;
            const char* codeName = nullptr;
            FLTSignalNameLookup(signal, info->si_code, &name, &codeName);
            FLTFileWriteHashEntryUint64(&file, "number", uint64_t(signal));
            FLTFileWriteHashEntryUint64(&file, "code", uint64_t(uint32_t(info->si_code)));
            // A signal the kernel raised for a fault carries its address; one sent by kill,
            // raise or sigqueue (code 0 or below) carries its sender there instead.
            if (info->si_code > 0) FLTFileWriteHashEntryUint64(&file, "address", uint64_t(reinterpret_cast<uintptr_t>(info->si_addr)));
            else FLTFileWriteHashEntryUint64(&file, "sender_pid", uint64_t(uint32_t(info->si_pid)));
            FLTFileWriteHashEntryString(&file, "name", name);
            FLTFileWriteHashEntryString(&file, "code_name", codeName);
        }
        FLTFileWriteHashEntryUint64(&file, "errno", uint64_t(savedErrno));
        FLTFileWriteHashEntryUint64(&file, "time", uint64_t(::time(nullptr)));
        FLTFileWriteHashEnd(&file);
        FLTFileWriteSectionEnd(&file);
        FLTFileFlush(&file);
        FLTHandler(&file, FLTCurrentThreadID(), FLTIsValidPointer(raw) ? static_cast<const ucontext_t*>(raw) : nullptr);
        FLTFileClose(&file);
    } else {
        FLTLogWarn("Unable to open signal file\n");
    }
    FLTSignalSafeInstallPreexistingHandlers(&context->signal, FLTIsValidPointer(raw) ? static_cast<ucontext_t*>(raw) : nullptr);
    FLTContextMarkCrashFinished();
    // Blocked until the handler returns, then delivered to the previous handler or the default.
    if (!repeats) ::raise(signal);
}

}  // namespace

void FLTSignalEnumerateHandledSignals(void (*block)(int, int, void*), void* info) {
    if (!block) return;
    for (int i = 0; i < kFLTHandledSignalCount; ++i) block(i, kFLTHandledSignals[i], info);
}

void FLTCheckSignalHandlers() {
    if (FLTContextDebuggerAttached()) return;
    for (int signal : kFLTHandledSignals) {
        struct sigaction current{};
        if (::sigaction(signal, nullptr, &current) != 0) {
            std::fprintf(stderr, "Unable to read signal handler\n");
            continue;
        }
        if ((current.sa_flags & SA_SIGINFO) && current.sa_sigaction == FLTSignalHandler) continue;
        Dl_info where{};
        const void* address = (current.sa_flags & SA_SIGINFO) ? reinterpret_cast<const void*>(current.sa_sigaction)
                                                              : reinterpret_cast<const void*>(current.sa_handler);
        const char* symbol = ::dladdr(address, &where) && where.dli_sname ? where.dli_sname : "unknown";
        const char* name = nullptr;
        const char* codeName = nullptr;
        FLTSignalNameLookup(signal, 0, &name, &codeName);
        std::fprintf(stderr, "[Faultline] The signal %s has a non-Faultline handler (%s).  This will interfere with reporting.\n",
                     name, symbol);
    }
}
