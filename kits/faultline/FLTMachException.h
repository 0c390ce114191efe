// Mach exception messages as bytes: the exception mask for the signals an application wants left
// to the signal path, the OS-version gate of guard exceptions, the names of exceptions and their
// codes, and the request and reply message layouts. Linux delivers no Mach exceptions, so
// FLTMachExceptionInit only logs that and answers false; the rest is kept for reports and records
// made where they exist.
#pragma once

#include "kits/faultline/FLTContext.h"

#include <cstdint>

constexpr uint32_t kFLTMachBaseMask = 0x4E;        // bad access, bad instruction, arithmetic, breakpoint
constexpr uint32_t kFLTMachGuardMask = 0x1000;     // guard exceptions
constexpr uint64_t kFLTMachRequestSize = 92;
constexpr uint64_t kFLTMachReplySize = 36;

uint32_t FLTMachExceptionMaskForSignal(int signal);
// The mask registered: the base mask (with guard exceptions above version code 1069) less the
// exclusion mask.
uint32_t FLTMachExceptionRegisteredMask(uint32_t osVersionCode, uint32_t exclusionMask);
void FLTMachExceptionNames(int32_t exception, int64_t firstCode, const char** name, const char** codeName);

struct FLTMachExceptionRequest {
    uint32_t bits;
    uint32_t size;
    uint32_t remotePort;
    uint32_t localPort;
    uint32_t voucher;
    int32_t identifier;
    uint32_t thread;
    uint32_t task;
    int32_t exception;
    int32_t codeCount;
    int64_t codes[2];
};

// Reads a received request (at least 92 bytes as laid out by the kernel); false when it is too
// short or claims more than two codes.
bool FLTMachExceptionParseRequest(const uint8_t* bytes, uint64_t length, FLTMachExceptionRequest* request);
// The 36-byte reply to a request with the return code (0 success, 5 failure).
void FLTMachExceptionBuildReply(const FLTMachExceptionRequest* request, int32_t returnCode, uint8_t reply[36]);

bool FLTMachExceptionInit(FLTMachState* state, uint32_t exclusionMask);
