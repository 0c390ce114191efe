// Uncaught C++ exceptions: the terminate handler records the active exception into
// "exception.fltrecord" with every thread, on the terminating thread itself, then hands over to
// the previous terminate handler or aborts. The same exception line serves script errors of web
// views (FLTWebView.h) and custom exceptions, which go to the custom-exception A/B files and
// record no threads.
#pragma once

#include "kits/faultline/FLTContext.h"
#include "kits/faultline/FLTTypes.h"

#include <cstdint>

enum FLTExceptionType : int {
    kFLTExceptionObjC = 1,
    kFLTExceptionCpp = 2,
    kFLTExceptionJavaScript = 3,
    kFLTExceptionCustom = 4,
};

struct FLTStackFrame {
    uint64_t address;
    const char* symbol;   // null when unknown
    uint64_t offset;
    const char* library;  // null when unknown
    const char* fileName; // null when unknown
    uint64_t lineNumber;
};

bool FLTExceptionInitialize(FLTExceptionState* state, uint32_t customExceptionLimit);
// Crash types (1, 2) are written with every thread; others go to the custom-exception files.
void FLTExceptionRecord(int type, const char* name, const char* reason, const FLTStackFrame* frames,
                        uint64_t frameCount, bool attemptDelivery);
void FLTExceptionWriteSection(FLTFile* file, int type, const char* name, const char* reason,
                              const FLTStackFrame* frames, uint64_t frameCount);
void FLTTerminateHandler();
void FLTAttemptUrgentSubmission();
// Warns on standard error when the terminate handler is no longer the kit's.
void FLTExceptionCheckHandlers();
// Throws the C string "Faultline C++ Test Exception".
[[noreturn]] void FLTThrowCppTestException();
