#include "kits/faultline/FLTUnwind.h"

#include "kits/faultline/FLTBinaryImage.h"
#include "kits/faultline/FLTDwarf.h"
#include "kits/faultline/FLTSDKLog.h"
#include "kits/faultline/FLTSafeRead.h"

#include <atomic>
#include <cstddef>
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
    // A failed step leaves the registers as they were.
    FLTRegisters registers = context->registers;
    if (!FLTCompactUnwindLookupAndCompute(&context->compact, lookupPC, &registers)) return false;
    context->registers = registers;
    return true;
}

}  // namespace

bool FLTUnwindInit(FLTUnwindContext* context, const FLTRegisters* registers) {
    if (!context) return false;
    std::memset(context, 0, sizeof *context);
    if (registers) context->registers = *registers;
    // This thread's own stack, when the registers stand in it, needs no checking page by page.
    if (registers) FLTReadCacheInit(&context->cache, registers->rsp);
    context->pcIsExact = true;
    return true;
}

uint64_t FLTUnwindStackPointerFromFramePointer(uint64_t framePointer) { return framePointer + 16; }

bool FLTUnwindIsAddressInBinaryImage(uint64_t address) {
    FLTImageInfo image;
    return FLTBinaryImageSafeFindImageForAddress(address, &image);
}

namespace {
// Rows learnt by every walk, by lookup PC, for as long as the images stay where they are: the
// threads of one report share most of their frames (the waits of the C library, the event loop).
// Each slot is a sequence lock: a reader that meets a write in progress, or one that finished
// while it copied, takes the long way instead, so neither side ever waits, in a signal handler
// or not.
struct SharedRow {
    std::atomic<uint64_t> sequence;
    uint64_t generation;
    FLTUnwindRow row;
};
constexpr uint32_t kSharedRowSlots = 512;  // a power of two
SharedRow g_sharedRows[kSharedRowSlots];

uint32_t sharedSlot(uint64_t pc) { return uint32_t((pc * 0x9E3779B97F4A7C15ull) >> 40) & (kSharedRowSlots - 1); }

bool sharedRowLookup(uint64_t pc, uint64_t generation, FLTUnwindRow* out) {
    SharedRow& shared = g_sharedRows[sharedSlot(pc)];
    const uint64_t before = shared.sequence.load(std::memory_order_acquire);
    if (before & 1) return false;
    FLTUnwindRow copy;
    std::memcpy(&copy, &shared.row, sizeof copy);
    const uint64_t copiedGeneration = shared.generation;
    std::atomic_thread_fence(std::memory_order_acquire);
    if (shared.sequence.load(std::memory_order_relaxed) != before) return false;
    if (copy.pc != pc || copiedGeneration != generation || copy.savedCount > uint32_t(kFLTDwarfRegisterCount))
        return false;
    *out = copy;
    return true;
}

void sharedRowStore(const FLTUnwindRow& row, uint64_t generation) {
    SharedRow& shared = g_sharedRows[sharedSlot(row.pc)];
    uint64_t sequence = shared.sequence.load(std::memory_order_relaxed);
    if ((sequence & 1) || !shared.sequence.compare_exchange_strong(sequence, sequence + 1, std::memory_order_acquire))
        return;  // another writer has it: this row is not needed that much
    std::atomic_thread_fence(std::memory_order_release);
    shared.generation = generation;
    std::memcpy(&shared.row, &row, sizeof row);
    shared.sequence.store(sequence + 2, std::memory_order_release);
}

}  // namespace

bool FLTUnwindRowFromRules(const FLTDwarfRegisterRules* rules, bool signalFrame, uint64_t pc, FLTUnwindRow* row) {
    if (!rules || !row || pc == 0 || rules->cfaExpression || rules->cfaRegister >= uint64_t(kFLTDwarfRegisterCount))
        return false;
    FLTUnwindRow made{};
    for (int reg = 0; reg < kFLTDwarfRegisterCount; ++reg) {
        const FLTDwarfRule& rule = rules->registers[reg];
        if (rule.kind == kFLTRuleUnchanged) continue;
        // The stack pointer is the CFA unless a rule says otherwise: such frames take the long way.
        if (rule.kind != kFLTRuleAtCFAOffset || reg == 7 || rule.value != int64_t(int32_t(rule.value))) return false;
        made.savedRegisters[made.savedCount] = kFLTDwarfRegisterOffsets[reg];
        made.savedOffsets[made.savedCount] = int32_t(rule.value);
        ++made.savedCount;
    }
    made.pc = pc;
    made.cfaOffset = rules->cfaOffset;
    made.cfaRegister = kFLTDwarfRegisterOffsets[rules->cfaRegister];
    made.signalFrame = signalFrame;
    *row = made;
    return true;
}

namespace {

uint32_t localSlot(uint64_t pc) { return uint32_t((pc * 0x9E3779B97F4A7C15ull) >> 59) & (kFLTUnwindRowSlots - 1); }

// Every value is read before any register changes: a failed step leaves them as they were. The
// registers are written one by one, never copied whole: a wide copy of fields just written
// narrowly stalls the processor on every frame.
__attribute__((always_inline)) inline bool applyRow(const FLTUnwindRow& row, FLTRegisters* registers,
                                                    FLTReadCache* cache) {
    if (row.savedCount > uint32_t(kFLTDwarfRegisterCount)) return false;
    uint64_t base = 0;
    std::memcpy(&base, reinterpret_cast<const char*>(registers) + row.cfaRegister, 8);
    const uint64_t cfa = base + uint64_t(row.cfaOffset);
    if (__builtin_expect(cfa == registers->rsp, 0)) {
        FLTLogWarn("Error: Stack pointer hasn't changed\n");
        return false;
    }
    uint64_t values[kFLTDwarfRegisterCount];
    for (uint32_t i = 0; i < row.savedCount; ++i) {
        if (__builtin_expect(!FLTReadMemoryCached(cache, cfa + uint64_t(int64_t(row.savedOffsets[i])), &values[i], 8), 0)) {
            FLTLogWarn("Error: Unable to read CFA value\n");
            return false;
        }
    }
    for (uint32_t i = 0; i < row.savedCount; ++i)
        std::memcpy(reinterpret_cast<char*>(registers) + row.savedRegisters[i], &values[i], 8);
    registers->rsp = cfa;
    return true;
}

}  // namespace

bool FLTUnwindApplyRow(const FLTUnwindRow* row, FLTRegisters* registers, FLTReadCache* cache) {
    return row && registers && applyRow(*row, registers, cache);
}

bool FLTUnwindWithCallFrameInformation(FLTUnwindContext* context, uint64_t lookupPC) {
    FLTUnwindRow& slot = context->rows[localSlot(lookupPC)];
    const uint64_t generation = FLTBinaryImageGeneration();
    if (slot.pc == lookupPC || sharedRowLookup(lookupPC, generation, &slot)) {
        if (!applyRow(slot, &context->registers, &context->cache)) return false;
        context->pcIsExact = slot.signalFrame;
        return true;
    }
    const FLTDwarfFDERecord& last = context->lastFDE.fde;
    if (!(context->haveLastFDE && lookupPC >= last.initialLocation && lookupPC - last.initialLocation < last.addressRange)) {
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
        context->haveLastFDE = false;
        if (!FLTDwarfInitFDEAtAddress(&context->lastFDE, &section, fde)) {
            FLTLogError("Unable to init FDE\n");
            return false;
        }
        context->haveLastFDE = true;
    }
    const FLTDwarfFDEBuffer& buffer = context->lastFDE;
    FLTDwarfRegisterRules rules;
    if (!FLTDwarfComputeRules(&buffer, lookupPC, &rules)) {
        FLTLogDebug("Failed to compute DWARF registers\n");
        return false;
    }
    FLTUnwindRow row;
    if (FLTUnwindRowFromRules(&rules, buffer.cie.signalFrame, lookupPC, &row)) {
        slot = row;
        sharedRowStore(row, generation);
    }
    if (!FLTDwarfApplyRules(&rules, &buffer.section, &context->registers, &context->cache)) {
        FLTLogDebug("Failed to compute DWARF registers\n");
        return false;
    }
    context->pcIsExact = buffer.cie.signalFrame;
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

namespace {

// Whether the first frame's stack pointer may address its stack at all: not below the first page,
// nor in the kernel's half or the gap no processor takes (above 47 bits only what is mapped there,
// with five-level paging). A frame chain beside a smashed stack pointer is no walk of this stack.
// One in the guard page below the stack (an overflow) is kept: the steps read only what they need.
bool userAddress(FLTUnwindContext* context, uint64_t address) {
    if (!FLTIsValidPointer(address) || (address >> 56) != 0) return false;
    uint64_t word = 0;
    return (address >> 47) == 0 || FLTReadMemoryCached(&context->cache, address, &word, sizeof word);
}
bool stackPointerAddressesStack(FLTUnwindContext* context) { return userAddress(context, context->registers.rsp); }

}  // namespace

bool FLTUnwindNextFrame(FLTUnwindContext* context) {
    if (!FLTIsValidPointer(context)) {
        FLTLogWarn("Error: invalid inputs\n");
        return false;
    }
    FLTRegisters& r = context->registers;
    // Where the thread stood is its first frame whenever the registers name a PC, whatever its
    // stack pointer holds: a smashed one still leaves the place of the crash.
    if (context->frameCount == 0 && !FLTIsValidPointer(r.rip)) {
        FLTLogWarn("Cancelling unwind for thread with invalid PC/SP\n");
        return false;
    }
    if (context->frameCount == 1 && !stackPointerAddressesStack(context)) {
        FLTLogWarn("Error: stack pointer %p addresses no stack: the walk ends at the first frame\n", reinterpret_cast<void*>(r.rsp));
        return false;
    }
    if (context->frameCount > 0 && (!FLTIsValidPointer(r.rip) || !FLTIsValidPointer(r.rsp))) {
        FLTLogWarn("Error: thread PC/SP invalid before unwind\n");
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
        const uint64_t oldSP = r.rsp, oldPC = r.rip;
        // A step that fails leaves the registers as they were, for the frame-pointer chain. A row
        // this walk already learnt is applied here, without a call.
        bool stepped;
        const FLTUnwindRow& known = context->rows[localSlot(lookupPC)];
        if (known.pc == lookupPC) {
            stepped = applyRow(known, &r, &context->cache);
            if (stepped) context->pcIsExact = known.signalFrame;
        } else {
            stepped = FLTUnwindWithCallFrameInformation(context, lookupPC);
        }
        bool scanned = false;
        if (!stepped) {
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
        // signal frame may move anywhere (the handler ran on its own stack); leaving the place the
        // thread stood may keep the stack pointer when that function had taken its return address
        // off the stack (a thread waiting in vfork), but only for another PC.
        const bool keptByFirst = context->frameCount == 1 && r.rsp == oldSP && r.rip != oldPC;
        if (FLTIsValidPointer(r.rip) && !scanned && !context->pcIsExact && r.rsp <= oldSP && !keptByFirst) {
            FLTLogWarn("Error: SP (%p) isn't a valid pointer\n", reinterpret_cast<void*>(r.rsp));
            return false;
        }
    }
    // A caller's PC where no code can be (past the user half) was read from what is no stack: a
    // stack pointer into code or data leaves such words, and they are no frames.
    if (!FLTIsValidPointer(r.rip) || (context->frameCount > 0 && !userAddress(context, r.rip))) return false;
    if (context->frameCount > 0 && !FLTIsValidPointer(r.rsp)) {
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
