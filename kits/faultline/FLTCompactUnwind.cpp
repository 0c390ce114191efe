#include "kits/faultline/FLTCompactUnwind.h"

#include "kits/faultline/FLTDwarf.h"
#include "kits/faultline/FLTSDKLog.h"
#include "kits/faultline/FLTSafeRead.h"

#include <cstring>

namespace {

constexpr uint32_t kModeMask = 0x0F000000;
constexpr uint32_t kModeFrame = 0x01000000;
constexpr uint32_t kModeFrameless = 0x02000000;
constexpr uint32_t kModeFramelessIndirect = 0x03000000;
constexpr uint32_t kModeDwarf = 0x04000000;

template <typename T>
bool readTable(const FLTCompactUnwindContext* context, uint64_t offset, T* out) {
    const uint64_t address = context->unwindInfo + offset;
    if (address < context->unwindInfo || address + sizeof(T) < address || address + sizeof(T) > context->unwindInfoEnd)
        return false;
    std::memcpy(out, reinterpret_cast<const void*>(address), sizeof(T));
    return true;
}

bool framePointerStep(FLTRegisters* registers) {
    uint64_t frame[2];
    if (!FLTReadMemory(registers->rbp, frame, sizeof frame)) {
        FLTLogWarn("Error: failed to read memory at address %p\n", reinterpret_cast<void*>(registers->rbp));
        return false;
    }
    registers->rsp = registers->rbp + 16;
    registers->rbp = frame[0];
    registers->rip = frame[1];
    return true;
}

bool lookupCompressed(FLTCompactUnwindContext* context, uint64_t pc, FLTCompactUnwindResult* result) {
    const uint64_t page = context->secondLevelPageOffset;
    uint16_t entriesOffset = 0, entryCount = 0, encodingsOffset = 0, encodingsCount = 0;
    if (!readTable(context, page + 4, &entriesOffset) || !readTable(context, page + 6, &entryCount) ||
        !readTable(context, page + 8, &encodingsOffset) || !readTable(context, page + 10, &encodingsCount))
        return false;
    const uint64_t base = context->loadAddress + context->functionOffset;
    uint64_t target = 0;
    if (base >= pc) FLTLogWarn("Error: PC is invalid\n");
    else target = pc - base;
    if (target == 0 || entryCount == 0) {
        FLTLogInfo("Unable to find PC in second level\n");
        return false;
    }
    auto entryAt = [&](uint32_t index, uint32_t* entry) {
        return readTable(context, page + entriesOffset + uint64_t(index) * 4, entry);
    };
    uint32_t low = 0, high = entryCount;  // the last entry whose offset is not above the target
    while (high - low > 1) {
        const uint32_t middle = low + (high - low) / 2;
        uint32_t entry = 0;
        if (!entryAt(middle, &entry)) return false;
        if ((entry & 0xFFFFFF) <= target) low = middle;
        else high = middle;
    }
    uint32_t entry = 0;
    if (!entryAt(low, &entry)) return false;
    result->functionStart = base + (entry & 0xFFFFFF);
    if (low + 1 < entryCount) {
        uint32_t next = 0;
        if (!entryAt(low + 1, &next)) return false;
        result->functionEnd = base + (next & 0xFFFFFF);
    } else {
        result->functionEnd = context->loadAddress + context->nextFunctionOffset;
    }
    if (result->functionStart > pc || result->functionEnd <= pc) {
        FLTLogWarn("PC does not match computed function range\n");
        return false;
    }
    const uint32_t index = entry >> 24;
    uint32_t encoding = 0;
    if (index < context->header[2]) {
        if (!readTable(context, uint64_t(context->header[1]) + uint64_t(index) * 4, &encoding)) return false;
    } else {
        const uint32_t local = index - context->header[2];
        if (local >= encodingsCount) return false;
        if (!readTable(context, page + encodingsOffset + uint64_t(local) * 4, &encoding)) return false;
    }
    if (encoding == 0) {
        FLTLogInfo("Entry has has no unwind info\n");
        return false;
    }
    result->encoding = encoding;
    result->pc = pc;
    return true;
}

}  // namespace

bool FLTCompactUnwindInit(FLTCompactUnwindContext* context, uint64_t unwindInfo, uint64_t unwindInfoSize,
                          uint64_t ehFrame, uint64_t ehFrameSize, uint64_t loadAddress) {
    if (!FLTIsValidPointer(context)) {
        FLTLogWarn("Error: invalid context passed to compact unwind init");
        return false;
    }
    if (!FLTIsValidPointer(unwindInfo) || unwindInfo + unwindInfoSize < unwindInfo) {
        FLTLogWarn("Error: invalid unwind info passed to compact unwind init");
        return false;
    }
    if (!FLTIsValidPointer(loadAddress)) {
        FLTLogWarn("Error: invalid load address passed to compact unwind init");
        return false;
    }
    std::memset(context, 0, sizeof *context);
    context->unwindInfo = unwindInfo;
    context->unwindInfoEnd = unwindInfo + unwindInfoSize;
    if (!readTable(context, 0, &context->header)) {
        FLTLogWarn("Error: could not read memory contents of unwindInfo\n");
        return false;
    }
    if (context->header[0] != 1) {
        FLTLogWarn("Error: bad unwind_info structure version (%d != %d)\n", int(context->header[0]), 1);
        return false;
    }
    context->ehFrame = ehFrame;
    context->ehFrameEnd = ehFrame + ehFrameSize;
    context->loadAddress = loadAddress;
    return true;
}

bool FLTCompactUnwindLookup(FLTCompactUnwindContext* context, uint64_t pc, FLTCompactUnwindResult* result) {
    if (!context || !result || context->header[6] < 2 || context->loadAddress > pc) return false;
    const uint64_t target = pc - context->loadAddress;
    const uint64_t index = context->header[5];
    bool found = false;
    for (uint32_t i = 0; i + 1 < context->header[6]; ++i) {
        uint32_t entry[3], next = 0;
        if (!readTable(context, index + uint64_t(i) * 12, &entry) ||
            !readTable(context, index + uint64_t(i + 1) * 12, &next))
            return false;
        if (entry[0] <= target && target < next) {
            context->functionOffset = entry[0];
            context->secondLevelPageOffset = entry[1];
            context->lsdaIndexOffset = entry[2];
            context->nextFunctionOffset = next;
            found = true;
            FLTLogDebug("Found first level (second => %u)\n", entry[1]);
            break;
        }
    }
    if (!found) {
        FLTLogWarn("Unable to find pc in first level\n");
        return false;
    }
    uint32_t kind = 0;
    if (!readTable(context, context->secondLevelPageOffset, &kind)) return false;
    switch (kind) {
    case 3:
        FLTLogInfo("Found a second level compressed header\n");
        if (lookupCompressed(context, pc, result)) return true;
        FLTLogInfo("Second-level PC lookup failed\n");
        return false;
    case 2:
        FLTLogInfo("Found a second level regular header\n");
        FLTLogWarn("Encountered a regular second-level page\n");
        return false;
    default:
        FLTLogError("Unrecognized header kind - unable to continue\n");
        return false;
    }
}

bool FLTCompactUnwindDecompressPermutation(uint32_t count, uint32_t p, uint32_t out[6]) {
    std::memset(out, 0, 6 * sizeof(uint32_t));
    switch (count) {
    case 6:
    case 5:
        out[0] = p / 120, p %= 120;
        out[1] = p / 24, p %= 24;
        out[2] = p / 6, p %= 6;
        out[3] = p / 2, p %= 2;
        out[4] = p;
        out[5] = 0;
        return true;
    case 4:
        out[0] = p / 60, p %= 60;
        out[1] = p / 12, p %= 12;
        out[2] = p / 3, p %= 3;
        out[3] = p;
        return true;
    case 3:
        out[0] = p / 20, p %= 20;
        out[1] = p / 4, p %= 4;
        out[2] = p;
        return true;
    case 2:
        out[0] = p / 5, p %= 5;
        out[1] = p;
        return true;
    case 1: out[0] = p; return true;
    case 0: return true;
    default:
        FLTLogWarn("Error: unhandled number of register permutations for encoding %x\n", count);
        return false;
    }
}

bool FLTCompactUnwindRemapRegisters(uint32_t count, const uint32_t indexes[6], uint32_t out[6]) {
    if (count > 6) {
        FLTLogWarn("Error: invalid register number count %d\n", int(count));
        return false;
    }
    bool taken[7] = {};
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t free = 0;
        bool placed = false;
        for (uint32_t reg = 1; reg <= 6; ++reg) {
            if (taken[reg]) continue;
            if (free++ == indexes[i]) {
                taken[reg] = true;
                out[i] = reg;
                placed = true;
                break;
            }
        }
        if (!placed) return false;
    }
    return true;
}

bool FLTCompactUnwindComputeRegisters(const FLTCompactUnwindContext* context, const FLTCompactUnwindResult* result,
                                      FLTRegisters* registers) {
    const uint32_t encoding = result->encoding;
    FLTLogDebug("Computing registers for encoding %x\n", encoding);
    switch (encoding & kModeMask) {
    case kModeFrame: return framePointerStep(registers);
    case kModeFrameless:
    case kModeFramelessIndirect: {
        FLTLogWarn("Frameless unwind encountered with encoding %x\n", encoding);
        uint64_t stackSize = ((encoding >> 16) & 0xFF) * 8;
        if ((encoding & kModeMask) == kModeFramelessIndirect) {
            uint32_t sub = 0;
            if (!FLTReadMemory(result->functionStart + ((encoding >> 16) & 0xFF), &sub, sizeof sub)) {
                FLTLogWarn("Error: unable to read subl value\n");
                return false;
            }
            stackSize = sub + ((encoding >> 13) & 7) * 8;
        }
        const uint32_t count = (encoding >> 10) & 7;
        uint32_t indexes[6], order[6];
        if (!FLTCompactUnwindDecompressPermutation(count, encoding & 0x3FF, indexes)) {
            FLTLogWarn("Error: unable to decompress registers %x\n", encoding);
            return false;
        }
        if (!FLTCompactUnwindRemapRegisters(count, indexes, order)) {
            FLTLogWarn("Error: unable to remap registers %x\n", encoding);
            return false;
        }
        if (stackSize < 8 + 8 * uint64_t(count)) return false;
        FLTRegisters caller = *registers;
        uint64_t slot = registers->rsp + stackSize - 8 - 8 * uint64_t(count);
        for (uint32_t i = 0; i < count; ++i, slot += 8) {
            uint64_t value = 0;
            if (!FLTReadMemory(slot, &value, 8)) {
                FLTLogWarn("Error: unable to read memory to set register\n");
                return false;
            }
            switch (order[i]) {
            case 1: caller.rbx = value; break;
            case 2: caller.r12 = value; break;
            case 3: caller.r13 = value; break;
            case 4: caller.r14 = value; break;
            case 5: caller.r15 = value; break;
            case 6: caller.rbp = value; break;
            }
        }
        const uint64_t returnSlot = registers->rsp + stackSize - 8;
        uint64_t pc = 0;
        if (!FLTReadMemory(returnSlot, &pc, 8)) {
            FLTLogWarn("Error: unable to read memory to set register\n");
            return false;
        }
        if (!FLTIsValidPointer(pc)) {
            FLTLogWarn("Error: computed PC is invalid\n");
            return false;
        }
        caller.rip = pc;
        caller.rsp = returnSlot + 8;
        *registers = caller;
        return true;
    }
    case kModeDwarf: {
        const uint64_t offset = encoding & 0xFFFFFF;
        FLTLogInfo("Trying to read dwarf data with offset %lx\n", static_cast<unsigned long>(offset));
        const FLTDwarfSection section{context->ehFrame, context->ehFrameEnd};
        FLTDwarfFDEBuffer buffer;
        if (!FLTDwarfInitFDEAtOffset(&buffer, &section, offset)) {
            FLTLogError("Unable to init FDE\n");
            return false;
        }
        if (!FLTDwarfUnwindComputeRegisters(&buffer, registers, result->pc, nullptr)) {
            FLTLogError("Failed to compute DWARF registers\n");
            return false;
        }
        return true;
    }
    default:
        FLTLogError("Invalid encoding %x\n", encoding);
        return false;
    }
}

bool FLTCompactUnwindLookupAndCompute(FLTCompactUnwindContext* context, uint64_t pc, FLTRegisters* registers) {
    if (!context || !registers || pc < context->loadAddress) return false;
    FLTCompactUnwindResult result{};
    if (!FLTCompactUnwindLookup(context, pc, &result)) {
        FLTLogInfo("Unable to lookup compact unwind for pc %p\n", reinterpret_cast<void*>(pc));
        return false;
    }
    if (!FLTCompactUnwindComputeRegisters(context, &result, registers)) {
        FLTLogError("Failed to compute registers\n");
        return false;
    }
    return true;
}
