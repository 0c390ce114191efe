// Crashes that arrive as signals: one handler on an alternate stack (every thread started through
// the platform's thread helper gets one of its own, the first thread the context's), which claims
// the crash atomically, writes "signal.fltrecord", records all threads, puts the previous handlers
// back and lets the signal end the process as it would have: a fault repeats on return, a signal
// that would not (sent by kill or raise, a breakpoint) is raised again. A thread with no signal
// stack, or one too small for the recorder, records on a guarded stack the handler maps for it
// (on a spare one mapped at start-up when nothing more can be mapped), the signal still the one
// received.
#pragma once

#include "kits/faultline/FLTContext.h"

#include <csignal>
#include <ucontext.h>

extern const int kFLTHandledSignals[kFLTHandledSignalCount];

// The handlers; may run on any thread.
bool FLTSignalInitialize(FLTSignalState* state);
// The context's guarded signal stack as the calling thread's alternate stack: run by the thread
// that initialises capture (sigaltstack is per thread), so its own overflow is recorded.
bool FLTSignalInstallContextStack(FLTSignalState* state);
void FLTSignalHandler(int signal, siginfo_t* info, void* context);
// Sets the default action for every handled signal (SIGABRT only when includingAbort).
void FLTSignalSafeRemoveHandlers(bool includingAbort);
// Puts the handlers found at start-up back. On the thread whose alternate stack capture replaced,
// the earlier stack goes back too: through interrupted (the handler's context, applied as the
// handler returns) when the call runs on that stack, where the kernel refuses to switch it.
bool FLTSignalSafeInstallPreexistingHandlers(const FLTSignalState* state, ucontext_t* interrupted = nullptr);
void FLTSignalEnumerateHandledSignals(void (*block)(int position, int signal, void* info), void* info);
// Warns on standard error about each handled signal whose handler is no longer the kit's.
void FLTCheckSignalHandlers();
void FLTSignalNameLookup(int signal, int code, const char** name, const char** codeName);
// Whether returning from the handler brings the signal back by itself (a hardware fault does).
bool FLTSignalRepeatsOnReturn(int signal, const siginfo_t* info);

// A guarded alternate signal stack for the calling thread, and its release at the thread's end.
// Run by the platform thread helper's hooks on every thread it starts.
void FLTSignalInstallThreadStack();
void FLTSignalReleaseThreadStack();
