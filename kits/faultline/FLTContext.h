// The process-wide crash context: everything crash-time code needs, made once before any handler is
// installed, in one guarded mapping whose protectable part is then made read-only, and the
// writable store beside it that crash-time code may change (the log descriptor, the crash owner,
// the image table, the thread slots).
#pragma once

#include "kits/faultline/FLTTypes.h"

#include <atomic>
#include <csignal>
#include <cstdint>

// ---- the guarded allocator ---------------------------------------------------------------------

enum FLTAllocationKind : int { kFLTProtectable = 0, kFLTWritable = 1 };

struct FLTAllocatorRegion {
    uint64_t size;
    uint64_t start;
    std::atomic<uint64_t> cursor;
};

struct FLTAllocator {
    void* base;
    uint64_t totalSize;
    std::atomic<uint8_t> isProtected;
    FLTAllocatorRegion writable;
    FLTAllocatorRegion protectable;
};

// Maps guard | writable | guard | protectable | guard. Each region is (request / page + 1) pages.
// Null (and every later allocation from the heap, with a warning) when the mapping fails.
FLTAllocator* FLTAllocatorCreate(uint64_t writableSize, uint64_t protectableSize);
// Bump allocation aligned for any type; past the region's end, or once protected, or without an
// allocator: heap memory and a warning (never null for kinds 0 and 1).
void* FLTAllocatorSafeAllocate(FLTAllocator* allocator, uint64_t size, int kind);
void* FLTAllocatorSafeAllocateFromRegion(FLTAllocatorRegion* region, uint64_t size);
bool FLTAllocatorProtect(FLTAllocator* allocator);
bool FLTAllocatorUnprotect(FLTAllocator* allocator);
// Frees with the C library only when no allocator is given: region memory is never handed back.
void FLTAllocatorFree(FLTAllocator* allocator, void* pointer);

// ---- the context ------------------------------------------------------------------------------

constexpr int kFLTHandledSignalCount = 7;
constexpr uint64_t kFLTSignalStackSize = 262144;
constexpr int kFLTMaxImages = 512;
// Threads a crash record holds; any beyond are stopped too, and counted in the record and the log.
constexpr int kFLTMaxThreads = 1024;
constexpr uint64_t kFLTCrashBufferSize = 8192;
// The stack of the helper process that reads the threads which block the stop signal.
constexpr uint64_t kFLTThreadReaderStackSize = 65536;

// Called at crash time on the recording thread after every record is written.
using FLTCrashCallback = void (*)(void* info);
// Told that a crash report may be sent from the still-running process (uncaught exceptions).
using FLTUrgentSubmission = void (*)(void* info);

struct FLTSignalState {
    const char* signalFilePath;
    struct sigaction previous[kFLTHandledSignalCount];
    bool hadPrevious[kFLTHandledSignalCount];
    stack_t previousStack;
};

struct FLTMachState {
    const char* machFilePath;
    uint32_t registeredMask;
};

struct FLTExceptionState {
    const char* exceptionFilePath;
    void (*previousTerminate)();
    uint32_t customExceptionLimit;
};

struct FLTKeyValueStore {
    const char* incrementalPath;
    const char* compactedPath;
    uint32_t compactionThreshold;
    uint32_t entryLimit;
};

struct FLTABFileSet {
    const char* pathA;
    const char* pathB;
    uint32_t byteLimit;
    uint32_t entryLimit;
    bool limitedBySize;
    std::atomic<uint32_t>* entryCounter;
};

struct FLTContext {
    std::atomic<uint8_t> initialized;
    uint8_t debuggerAttached;
    const char* sdkLogPath;
    void* signalStack;  // the first thread's alternate signal stack (a guard page lies below it)
    FLTUrgentSubmission urgentSubmission;
    void* urgentSubmissionInfo;
    FLTCrashCallback crashCallback;
    void* crashCallbackInfo;
    uint8_t firstInstall;
    const char* binaryImagePath;
    FLTExceptionState exception;
    const char* documentsPath;
    uint64_t pageSize;
    FLTSignalState signal;
    FLTMachState mach;
    FLTKeyValueStore userKV;
    FLTKeyValueStore internalKV;
    FLTABFileSet logs;
    FLTABFileSet errors;
    FLTABFileSet customExceptions;
    const char* reportPath;
    uint64_t mainProgramHeaders;  // the executable's program headers, for images found at crash time
    uint64_t mainProgramHeaderCount;
    // The process that installed capture. A process it makes (fork, vfork, a spawn) runs its
    // handlers until it execs; a crash there is not the program's.
    int32_t processID;
    // The PID namespace processID counts in (its inode; 0: unknown). A child made into a
    // namespace of its own is numbered there, and can take the program's number (the first
    // process of each, in a container).
    uint64_t pidNamespace;
};

// One thread as the recorder stops it: the thread's answer (its registers) arrives in the slot.
struct FLTThreadSlot {
    int32_t tid;
    std::atomic<uint32_t> answered;  // futex word: 0 waiting, 1 registers stored, 2 read without the
                                     // thread (or none to be had), 3 being stored
    uint8_t state;                   // FLTThreadSlotState
    FLTRegisters registers;
};

struct FLTWritableStore {
    std::atomic<int32_t> sdkLogFD;
    std::atomic<uint32_t> minimumLogLevel;
    std::atomic<int32_t> crashOwner;     // 0, or the thread id recording the crash
    std::atomic<uint32_t> crashFinished; // futex word: 1 once the owner has put the handlers back
    FLTFile binaryImageFile;
    FLTImageNode images[kFLTMaxImages];
    std::atomic<const char*> currentLogFile;
    std::atomic<const char*> currentErrorFile;
    std::atomic<const char*> currentCustomExceptionFile;
    std::atomic<uint32_t> userKVCount;
    std::atomic<uint32_t> internalKVCount;
    std::atomic<uint32_t> errorCount;
    std::atomic<uint32_t> customExceptionCount;
    // Stopping the other threads at crash time.
    std::atomic<uint32_t> suspending;       // 1 while the recorder wants answers
    std::atomic<uint32_t> resumeGeneration; // futex word the stopped threads wait on
    std::atomic<int32_t> threadCount;
    std::atomic<int32_t> threadsLeftOut;  // listed beyond the slots
    FLTThreadSlot threads[kFLTMaxThreads];
    // The helper that reads, without a signal, the threads blocking the stop signal.
    std::atomic<uint32_t> readerAllowed;    // futex word: 1 once the helper may trace this process
    std::atomic<uint32_t> readerGeneration; // the resume generation the helper waits to see pass
    char crashBuffer[kFLTCrashBufferSize];  // the crash-time record file's buffer
    alignas(16) char readerStack[kFLTThreadReaderStackSize];
};

extern std::atomic<FLTContext*> g_fltContext;
extern std::atomic<FLTWritableStore*> g_fltStore;
extern std::atomic<FLTAllocator*> g_fltAllocator;

bool FLTContextIsInitialized();
bool FLTContextHasCrashed();
void FLTContextMarkHasCrashed();

// Claiming the crash: the first thread to call becomes its owner and records it. self and pid
// are the calling thread's and process's ids when the caller has them (0: asked of the kernel
// here). A process other than the one that installed capture (a child before it execs) claims
// nothing and changes nothing: after vfork the memory it would write is its parent's.
enum FLTCrashClaim { kFLTClaimOwner, kFLTClaimReentered, kFLTClaimOtherOwner, kFLTClaimNoContext, kFLTClaimOtherProcess };
FLTCrashClaim FLTContextClaimCrash(int32_t self = 0, int32_t pid = 0);
// Whether pid (0: asked of the kernel here) is the process that installed capture, in its own
// PID namespace: true too before capture is installed. System calls only.
bool FLTContextIsCapturingProcess(int32_t pid = 0);
// The inode of the calling process's PID namespace, 0 when it cannot be told.
uint64_t FLTContextPidNamespace();
// Waits (bounded) until the owner has put the previous handlers back; true when it did.
bool FLTContextWaitForCrashOwner(uint32_t milliseconds);
void FLTContextMarkCrashFinished();
// False without a context; true when a crash was already claimed; otherwise claims it.
bool FLTContextMarkAndCheckIfCrashed();
bool FLTContextDebuggerAttached();
void FLTContextBaseDeinitialize();

// A copy of a C string in the protectable region (null for null).
const char* FLTDupString(const char* string);
// FLTDupString of folder + "/" + name.
const char* FLTContextPathForFile(const char* folder, const char* name);

int32_t FLTCurrentThreadID();
