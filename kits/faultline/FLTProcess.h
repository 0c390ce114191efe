// Crash-time recording of the whole process, on the thread that caught the crash: every other
// thread is stopped (a real-time signal whose handler stores its registers and waits on a futex,
// every wait bounded; a thread whose mask blocks that signal is never waited for, a helper
// process stops it with ptrace instead; a thread that can do neither, in a wait no signal ends
// or past the deadline, is read from /proc: its system call's stack and program counter), then
// each thread's registers and unwound stack, the runtime hints, thread
// names, process figures and storage are appended to the crash's record file, the threads are let
// go and the crash callback runs. No heap, no locks; foreign memory only through FLTReadMemory.
#pragma once

#include "kits/faultline/FLTTypes.h"

#include <cstdint>
#include <ucontext.h>

enum FLTThreadSlotState : uint8_t {
    kFLTThreadListed = 0,
    kFLTThreadSelf,       // the recording thread
    kFLTThreadSignalled,  // asked to stop, no answer yet
    kFLTThreadStopped,    // answered with its registers
    kFLTThreadFailed,     // could not be asked (gone) or never answered in time
    kFLTThreadBlocking,   // blocks the stop signal: read without one
    kFLTThreadGone,       // ended between the listing and the recording: left out of the record
};

// How long the recorder waits for all threads together to answer; a thread in a wait no signal
// ends is not waited for.
constexpr uint32_t kFLTSuspendTimeoutMs = 1000;
// How long a stopped thread waits to be let go before it goes on by itself.
constexpr uint32_t kFLTResumeTimeoutMs = 10000;

// The whole sequence. crashedThread is a thread id; context is the crash's machine state when the
// crash arrived as a signal, null otherwise (the recording thread's own state is taken then).
void FLTHandler(FLTFile* file, int32_t crashedThread, const ucontext_t* context);

// Installs the handler of the stop signal (done by the signal installer at start-up).
bool FLTProcessInstallSuspendHandler();
int FLTProcessSuspendSignal();

void FLTRegistersFromUContext(const ucontext_t* context, FLTRegisters* registers);
// Lists this process's threads into the store's slots; answers how many. The crashed thread and
// the calling one take the first slots, whatever their place in the list: with more threads than
// the slots, those two are never the ones left out.
int FLTProcessListThreads(int32_t crashedThread);
bool FLTProcessSuspendAllOtherThreads();
// Whether thread tid's signal mask blocks signal (its status file's SigBlk); false when unreadable.
bool FLTProcessThreadBlocksSignal(int32_t tid, int signal);
// Whether thread tid cannot take a signal now: it sleeps where no signal wakes it (its stat
// file's state D: the parent of a vfork until the child execs, a disk or network file system
// wait) or it is stopped (T: stopped by a signal; t: held by a tracer, which a debugger or a
// profiler may do for as long as it likes).
bool FLTProcessThreadCannotAnswer(int32_t tid);
// The registers /proc/self/task/<tid>/syscall shows for a thread blocked in the kernel: stack
// pointer, program counter and, inside a system call, its argument registers; the rest are 0.
// False for a running thread or an unreadable file.
bool FLTProcessRegistersFromSyscallFile(int32_t tid, FLTRegisters* registers);
bool FLTProcessResumeAllOtherThreads();
bool FLTProcessRecordAllThreads(FLTFile* file, int32_t crashedThread, const ucontext_t* context);
void FLTProcessRecordRuntimeInfo(FLTFile* file);
void FLTProcessRecordDispatchQueueNames(FLTFile* file);
void FLTProcessRecordThreadNames(FLTFile* file);
void FLTProcessRecordStats(FLTFile* file);
// Writes one thread's stack trace array: frames, with a runaway recursion cut after 10 repeats.
// Answers the repeated PC (0 when none was cut) and its count.
void FLTProcessWriteStackTrace(FLTFile* file, const FLTRegisters* registers, uint64_t* repeatedPC,
                               uint32_t* repeatCount);
