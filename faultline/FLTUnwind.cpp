#include "faultline/FLTUnwind.h"

#include "faultline/FLTBinaryImage.h"
#include "faultline/FLTDwarf.h"
#include "faultline/FLTSDKLog.h"
#include "faultline/FLTSafeRead.h"

#include <cstring>

namespace {

// A scan for a return address on the first step stops after this many words.
constexpr uint64_t kMaxScanWords = 2048;

bool firstExecutableAddress(uint64_t from, uint64_t to, uint64_t* found) {
    if (to <= from) return false;
    uint64_t words = 0;
    for (uint64_t address = from & ~uint64_t(7); address < to && words < kMaxScanWords; address += 8, ++words) {
        if (!FLTIsValidPointer(address)) continue;
        uint64_t value = 0;
        if (!FLTReadMemory(address, &value, 8)) return false;
        if (FLTUnwindIsAddressInBinaryImage(value)) {
            *found = value;
            return true;
        }
    }
    return false;
}

bool compactStep(FLTUnwindContext* context, const FLTImageInfo* image, uint64_t lookupPC) {
    if (!FLTCompactUnwindInit(&context->compact, image->unwindInfo, image->unwindInfoSize, image->ehFrame,
                              image->readEnd > image->ehFrame ? image->readEnd - image->ehFrame : 0, image->base)) {
        FLTLogError("Unable to read unwind info\n");
        return false;
    }
    return FLTCompactUnwindLookupAndCompute(&context->compact, lookupPC, &context->registers);
}

}  // namespace

bool FLTUnwindInit(FLTUnwindContext* context, const FLTRegisters* registers) {
    if (!context) return false;
    std::memset(context, 0, sizeof *context);
    if (registers) context->registers = *registers;
    context->pcIsExact = true;
    return true;
}

uint64_t FLTUnwindStackPointerFromFramePointer(uint64_t framePointer) { return framePointer + 16; }

bool FLTUnwindIsAddressInBinaryImage(uint64_t address) {
    FLTImageInfo image;
    return FLTBinaryImageSafeFindImageForAddress(address, &image);
}

bool FLTUnwindWithCallFrameInformation(FLTUnwindContext* context, uint64_t lookupPC) {
    const FLTDwarfFDERecord& last = context->lastFDE.fde;
    if (context->haveLastFDE && lookupPC >= last.initialLocation && lookupPC - last.initialLocation < last.addressRange) {
        bool signalFrame = false;
        if (!FLTDwarfUnwindComputeRegisters(&context->lastFDE, &context->registers, lookupPC, &signalFrame,
                                            &context->cache))
            return false;
        context->pcIsExact = signalFrame;
        return true;
    }
    FLTImageInfo image;
    if (!FLTBinaryImageSafeFindImageForAddress(lookupPC, &image)) {
        FLTLogWarn("Unable to find binary for %p\n", reinterpret_cast<void*>(lookupPC));
        return false;
    }
    FLTLogDebug("Binary image for %p at %p\n", reinterpret_cast<void*>(lookupPC), reinterpret_cast<void*>(image.base));
    if (FLTBinaryImageHasCompactUnwindInfo(&image)) return compactStep(context, &image, lookupPC);
    if (!image.ehFrameHdr || !image.readEnd) {
        FLTLogInfo("Binary image at %p has no unwind info\n", reinterpret_cast<void*>(image.base));
        return false;
    }
    const FLTDwarfSection section{image.readStart, image.readEnd};
    uint64_t fde = 0, ehFrame = 0;
    if (!FLTEhFrameHdrFindFDE(image.ehFrameHdr, image.ehFrameHdrSize, &section, lookupPC, &fde, &ehFrame)) return false;
    FLTDwarfFDEBuffer& buffer = context->lastFDE;
    context->haveLastFDE = false;
    if (!FLTDwarfInitFDEAtAddress(&buffer, &section, fde)) {
        FLTLogError("Unable to init FDE\n");
        return false;
    }
    context->haveLastFDE = true;
    bool signalFrame = false;
    if (!FLTDwarfUnwindComputeRegisters(&buffer, &context->registers, lookupPC, &signalFrame, &context->cache)) {
        FLTLogDebug("Failed to compute DWARF registers\n");
        return false;
    }
    context->pcIsExact = signalFrame;
    return true;
}

bool FLTUnwindWithFramePointer(FLTUnwindContext* context, bool leavingFirstFrame) {
    FLTRegisters& r = context->registers;
    if (leavingFirstFrame) {
        FLTLogInfo("Attempting stack scan\n");
        uint64_t found = 0;
        if (firstExecutableAddress(r.rsp, r.rbp, &found)) {
            FLTLogInfo("Stack scan successful\n");
            r.rip = found;
            context->pcIsExact = false;
            return true;
        }
    }
    uint64_t frame[2];
    if (!FLTReadMemoryCached(&context->cache, r.rbp, frame, sizeof frame)) {
        FLTLogWarn("Error: failed to read memory at address %p\n", reinterpret_cast<void*>(r.rbp));
        return false;
    }
    r.rsp = FLTUnwindStackPointerFromFramePointer(r.rbp);
    r.rbp = frame[0];
    r.rip = frame[1];
    context->pcIsExact = false;
    return true;
}

bool FLTUnwindNextFrame(FLTUnwindContext* context) {
    if (!FLTIsValidPointer(context)) {
        FLTLogWarn("Error: invalid inputs\n");
        return false;
    }
    FLTRegisters& r = context->registers;
    if (!FLTIsValidPointer(r.rip) || !FLTIsValidPointer(r.rsp)) {
        if (context->frameCount == 0) FLTLogWarn("Cancelling unwind for thread with invalid PC/SP\n");
        else FLTLogWarn("Error: thread PC/SP invalid before unwind\n");
        return false;
    }
    if (context->frameCount >= kFLTUnwindMaxFrames) {
        FLTLogWarn("Exceeded maximum number of frames\n");
        FLTLogError("Failed to advance to the next frame\n");
        return false;
    }
    if (context->frameCount > 0) {
        // A return address points after its call: look up the call itself. The PC where the thread
        // stood (the first frame, a frame a signal interrupted) is looked up as it is.
        const uint64_t lookupPC = context->pcIsExact ? r.rip : r.rip - 1;
        const uint64_t oldSP = r.rsp;
        const FLTRegisters before = r;
        bool stepped = FLTUnwindWithCallFrameInformation(context, lookupPC);
        bool scanned = false;
        if (!stepped) {
            r = before;
            if (r.rbp != 0) {
                const bool leavingFirst = context->frameCount == 1;
                stepped = FLTUnwindWithFramePointer(context, leavingFirst);
                scanned = leavingFirst && r.rsp == oldSP;
                if (!stepped) {
                    FLTLogError("Unable to use frame pointer\n");
                    FLTLogError("Failed to advance to the next frame\n");
                    return false;
                }
            } else {
                FLTLogWarn("FP is zero, aborting unwind\n");
                r.rip = 0;
            }
        }
        // Callers' frames lie above their callees': a step that does not move up loops. Leaving a
        // signal frame may move anywhere (the handler ran on its own stack).
        if (FLTIsValidPointer(r.rip) && !scanned && !context->pcIsExact && r.rsp <= oldSP) {
            FLTLogWarn("Error: SP (%p) isn't a valid pointer\n", reinterpret_cast<void*>(r.rsp));
            return false;
        }
    }
    if (!FLTIsValidPointer(r.rip)) return false;
    if (!FLTIsValidPointer(r.rsp)) {
        FLTLogWarn("Error: SP (%p) isn't a valid pointer\n", reinterpret_cast<void*>(r.rsp));
        return false;
    }
    context->repeatCount = (context->frameCount > 0 && r.rip == context->lastPC) ? context->repeatCount + 1 : 0;
    context->frameCount += 1;
    context->lastPC = r.rip;
    return true;
}

uint64_t FLTUnwindGetPC(const FLTUnwindContext* context) {
    return FLTIsValidPointer(context) ? context->registers.rip : 0;
}
uint64_t FLTUnwindGetStackPointer(const FLTUnwindContext* context) {
    return FLTIsValidPointer(context) ? context->registers.rsp : 0;
}
uint64_t FLTUnwindGetFramePointer(const FLTUnwindContext* context) {
    return FLTIsValidPointer(context) ? context->registers.rbp : 0;
}
bool FLTUnwindSetPC(FLTUnwindContext* context, uint64_t value) {
    if (!context) return false;
    context->registers.rip = value;
    return true;
}
bool FLTUnwindSetStackPointer(FLTUnwindContext* context, uint64_t value) {
    if (!context) return false;
    context->registers.rsp = value;
    return true;
}
bool FLTUnwindSetFramePointer(FLTUnwindContext* context, uint64_t value) {
    if (!context) return false;
    context->registers.rbp = value;
    return true;
}
bool FLTUnwindHasValidPCAndSP(const FLTUnwindContext* context) {
    return context && FLTIsValidPointer(context->registers.rip) && FLTIsValidPointer(context->registers.rsp);
}
uint32_t FLTUnwindGetRepeatCount(const FLTUnwindContext* context) { return context ? context->repeatCount : 0; }
