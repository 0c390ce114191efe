#include "kits/faultline/FLTMachException.h"

#include "kits/faultline/FLTSDKLog.h"

#include <csignal>
#include <cstring>

uint32_t FLTMachExceptionMaskForSignal(int signal) {
    switch (signal) {
    case SIGILL: return 0x4;
    case SIGTRAP: return 0x40;
    case SIGABRT: return 0x400;
    case SIGFPE: return 0x8;
    case SIGBUS: return 0x2;
    case SIGSEGV: return 0x2;
    case SIGSYS: return 0x400;
    default: return 0;
    }
}

uint32_t FLTMachExceptionRegisteredMask(uint32_t osVersionCode, uint32_t exclusionMask) {
    uint32_t mask = kFLTMachBaseMask;
    if (osVersionCode > 1069) mask |= kFLTMachGuardMask;
    return mask & ~exclusionMask;
}

void FLTMachExceptionNames(int32_t exception, int64_t code, const char** name, const char** codeName) {
    if (!name || !codeName) return;
    *name = nullptr;
    *codeName = nullptr;
    static const char* const arithmetic[] = {"EXC_I386_DIV",    "EXC_I386_INTO",   "EXC_I386_NOEXT", "EXC_I386_EXTOVR",
                                             "EXC_I386_EXTERR", "EXC_I386_EMERR", "EXC_I386_BOUND", "EXC_I386_SSEEXTERR"};
    static const char* const traps[34] = {
        "EXC_I386_DIVERR",   "EXC_I386_SGLSTP",    "EXC_I386_NMIFLT",    "EXC_I386_BPTFLT",  "EXC_I386_INTOFLT",
        "EXC_I386_BOUNDFLT", "EXC_I386_INVOPFLT",  "EXC_I386_NOEXTFLT",  nullptr,            "EXC_I386_EXTOVRFLT",
        "EXC_I386_INVTSSFLT", "EXC_I386_SEGNPFLT", "EXC_I386_STKFLT",    "EXC_I386_GPFLT",   "EXC_I386_PGFLT",
        nullptr,             "EXC_I386_EXTERRFLT", "EXC_I386_ALIGNFLT",  nullptr,            nullptr,
        nullptr,             nullptr,              nullptr,              nullptr,            nullptr,
        nullptr,             nullptr,              nullptr,              nullptr,            nullptr,
        nullptr,             nullptr,              "EXC_I386_ENOEXTFLT", "EXC_I386_ENDPERR"};
    switch (exception) {
    case 1:
        *name = "EXC_BAD_ACCESS";
        *codeName = code == 1 ? "KERN_INVALID_ADDRESS" : code == 2 ? "KERN_PROTECTION_FAILURE" : nullptr;
        break;
    case 2:
        *name = "EXC_BAD_INSTRUCTION";
        *codeName = "EXC_I386_INVOP";
        break;
    case 3:
        *name = "EXC_ARITHMETIC";
        *codeName = code >= 1 && code <= 8 ? arithmetic[code - 1] : nullptr;
        break;
    case 6:
        *name = "EXC_BREAKPOINT";
        *codeName = code >= 0 && code < 34 ? traps[code] : nullptr;
        break;
    case 12: *name = "EXC_GUARD"; break;
    default: break;
    }
}

bool FLTMachExceptionParseRequest(const uint8_t* bytes, uint64_t length, FLTMachExceptionRequest* request) {
    if (!bytes || !request || length < kFLTMachRequestSize - 16) return false;
    std::memset(request, 0, sizeof *request);
    auto u32 = [&](uint64_t offset) {
        uint32_t v;
        std::memcpy(&v, bytes + offset, 4);
        return v;
    };
    // header: bits, size, remote, local, voucher, id (24 bytes); body: descriptor count (4); two
    // port descriptors of 12 bytes (name first); NDR record (8); exception; code count; codes.
    request->bits = u32(0);
    request->size = u32(4);
    request->remotePort = u32(8);
    request->localPort = u32(12);
    request->voucher = u32(16);
    request->identifier = int32_t(u32(20));
    request->thread = u32(28);
    request->task = u32(40);
    request->exception = int32_t(u32(60));
    request->codeCount = int32_t(u32(64));
    if (request->codeCount < 0 || request->codeCount > 2) return false;
    if (length < 68 + uint64_t(request->codeCount) * 8) return false;
    for (int i = 0; i < request->codeCount; ++i) std::memcpy(&request->codes[i], bytes + 68 + 8 * i, 8);
    return true;
}

void FLTMachExceptionBuildReply(const FLTMachExceptionRequest* request, int32_t returnCode, uint8_t reply[36]) {
    std::memset(reply, 0, kFLTMachReplySize);
    const uint32_t bits = request->bits & 0x1F;
    const uint32_t size = uint32_t(kFLTMachReplySize);
    const uint32_t identifier = uint32_t(request->identifier + 100);
    std::memcpy(reply + 0, &bits, 4);
    std::memcpy(reply + 4, &size, 4);
    std::memcpy(reply + 8, &request->remotePort, 4);
    std::memcpy(reply + 20, &identifier, 4);
    // NDR record: format version 0, integer and character representations of a little-endian host.
    const uint8_t ndr[8] = {0, 0, 0, 0, 1, 0, 0, 0};
    std::memcpy(reply + 24, ndr, 8);
    std::memcpy(reply + 32, &returnCode, 4);
}

bool FLTMachExceptionInit(FLTMachState* state, uint32_t exclusionMask) {
    if (state) state->registeredMask = 0;
    (void)exclusionMask;
    // No exception ports on this system: every fault arrives as a signal, which is no failure
    // worth a line in every log.
    return false;
}
