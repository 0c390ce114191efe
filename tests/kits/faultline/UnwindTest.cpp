// Call-frame information, compact tables and the expression machine over crafted bytes and a
// fake stack: the caller's registers at each point of a function, and refusals of bytes that run
// past their section.
#include "kits/faultline/FLTCompactUnwind.h"
#include "kits/faultline/FLTDwarf.h"
#include "kits/faultline/FLTInitialize.h"
#include "kits/faultline/FLTSafeRead.h"
#include "kits/faultline/FLTUnwind.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include <execinfo.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

namespace {

struct Bytes {
    std::vector<uint8_t> data;
    Bytes& u8(std::initializer_list<int> values) {
        for (int v : values) data.push_back(uint8_t(v));
        return *this;
    }
    Bytes& u16(uint16_t v) { return raw(&v, 2); }
    Bytes& u32(uint32_t v) { return raw(&v, 4); }
    Bytes& u64(uint64_t v) { return raw(&v, 8); }
    Bytes& raw(const void* p, size_t n) {
        const auto* b = static_cast<const uint8_t*>(p);
        data.insert(data.end(), b, b + n);
        return *this;
    }
    void put32(size_t at, uint32_t v) { std::memcpy(data.data() + at, &v, 4); }
    uint64_t address(size_t offset = 0) const { return uint64_t(reinterpret_cast<uintptr_t>(data.data())) + offset; }
};

constexpr uint64_t kFunction = 0x100000;

// A CIE (z R with absolute 8-byte pointers; CFA = rsp + 8, return address at CFA - 8) and one FDE
// for a function at kFunction of 0x40 bytes: push rbp at 0, mov rbp,rsp at 1, the body from 4 on
// framed by rbp, an early "pop rbp; ret" at 12 inside remember/restore state, more body from 13.
Bytes frameSection() {
    Bytes b;
    b.u32(0).u32(0).u8({1, 'z', 'R', 0, 1, 0x78, 16, 1, 0x00, 0x0c, 7, 8, 0x90, 1});
    b.put32(0, uint32_t(b.data.size() - 4));
    const size_t fde = b.data.size();
    b.u32(0).u32(uint32_t(fde + 4)).u64(kFunction).u64(0x40).u8({0});
    b.u8({0x41, 0x0e, 0x10, 0x86, 0x02, 0x43, 0x0d, 0x06, 0x0a, 0x48, 0x0c, 0x07, 0x08, 0x41, 0x0b, 0x2e, 0x10});
    b.put32(fde, uint32_t(b.data.size() - fde - 4));
    return b;
}

}  // namespace

TEST(Unwind, CallFrameRulesAtEachPointOfAFunction) {
    const Bytes section = frameSection();
    const FLTDwarfSection bounds{section.address(), section.address(section.data.size())};
    FLTDwarfFDEBuffer fde;
    const uint64_t fdeAddress = section.address(22);  // right after the CIE
    ASSERT_TRUE(FLTDwarfInitFDEAtAddress(&fde, &bounds, fdeAddress)) << "FDE offset";
    EXPECT_EQ(fde.fde.initialLocation, kFunction);

    uint64_t stack[8] = {0, 0, 0x1111, 0x5555000, 0, 0, 0, 0};
    const auto slot = [&](int i) { return uint64_t(reinterpret_cast<uintptr_t>(&stack[i])); };
    struct Row {
        uint64_t offset;
        uint64_t rsp, rbp;      // the frame's own
        uint64_t callerRBP;     // what the caller's rbp must be
    } rows[] = {
        {0, slot(3), 0x7777, 0x7777},   // before push: rbp untouched
        {1, slot(2), 0x7777, 0x1111},   // after push: an advance landing on the PC applies
        {4, slot(0), slot(2), 0x1111},  // framed by rbp
        {11, slot(0), slot(2), 0x1111},
        {12, slot(3), 0x1111, 0x1111},  // after the early pop: CFA = rsp + 8
        {13, slot(0), slot(2), 0x1111}, // restore_state brings the rbp-based CFA back
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.offset);
        FLTRegisters registers{};
        registers.rip = kFunction + row.offset;
        registers.rsp = row.rsp;
        registers.rbp = row.rbp;
        bool signalFrame = true;
        ASSERT_TRUE(FLTDwarfUnwindComputeRegisters(&fde, &registers, kFunction + row.offset, &signalFrame));
        EXPECT_EQ(registers.rip, 0x5555000u);
        EXPECT_EQ(registers.rsp, slot(4));
        EXPECT_EQ(registers.rbp, row.callerRBP);
        EXPECT_FALSE(signalFrame);
    }
    FLTRegisters outside{};
    outside.rsp = slot(0);
    EXPECT_FALSE(FLTDwarfUnwindComputeRegisters(&fde, &outside, kFunction + 0x40, nullptr));
}

TEST(Unwind, RecordsThatRunPastTheirSectionAreRefused) {
    const Bytes section = frameSection();
    struct Cut {
        const char* what;
        size_t keep;  // bytes of the section left readable
        bool cie;
    } cuts[] = {{"CIE cut in its header", 10, true},
                {"CIE cut in its instructions", 20, true},
                {"FDE cut in its location", 22 + 12, false},
                {"FDE cut in its instructions", section.data.size() - 2, false}};
    for (const Cut& cut : cuts) {
        SCOPED_TRACE(cut.what);
        const FLTDwarfSection bounds{section.address(), section.address(cut.keep)};
        FLTDwarfFDEBuffer fde;
        if (cut.cie) {
            FLTDwarfCIERecord cie;
            EXPECT_FALSE(FLTDwarfParseCIERecord(&cie, section.address(), &bounds));
        } else {
            EXPECT_FALSE(FLTDwarfInitFDEAtAddress(&fde, &bounds, section.address(22)));
        }
    }
    // A LEB128 number whose last byte is missing, and a value the shift must keep unsigned.
    const uint8_t cut[] = {0x80, 0x80};
    FLTDwarfCursor cursor{uint64_t(reinterpret_cast<uintptr_t>(cut)), uint64_t(reinterpret_cast<uintptr_t>(cut)) + 2, true};
    uint64_t value = 0;
    EXPECT_FALSE(FLTDwarfReadULEB128(&cursor, &value));
    const uint8_t big[] = {0x80, 0x80, 0x80, 0x80, 0x08};
    cursor = {uint64_t(reinterpret_cast<uintptr_t>(big)), uint64_t(reinterpret_cast<uintptr_t>(big)) + 5, true};
    ASSERT_TRUE(FLTDwarfReadULEB128(&cursor, &value));
    EXPECT_EQ(value, 2147483648u);
}

TEST(Unwind, ExpressionMachine) {
    // glibc's PLT rule: CFA = rsp + 8 + (rip & 15 >= 11 ? 8 : 0).
    const std::vector<uint8_t> plt = {11, 0x77, 8, 0x80, 0, 0x3f, 0x1a, 0x3b, 0x2a, 0x33, 0x24, 0x22};
    std::vector<uint8_t> overflow = {101};
    for (int i = 0; i < 101; ++i) overflow.push_back(0x31);
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        bool pushInitial;
        uint64_t rip;
        bool ok;
        uint64_t result;
    } cases[] = {
        {"PLT entry start", plt, false, 0x4005, true, 0x7000 + 8},
        {"PLT entry after the push", plt, false, 0x400c, true, 0x7000 + 16},
        {"an initial value plus a constant", {2, 0x23, 5}, true, 0, true, 105},
        {"a stack left empty", {1, 0x13}, true, 0, false, 0},
        {"a hundred pushes on the initial value", overflow, true, 0, false, 0},
        {"a block longer than its section", {9, 0x30}, false, 0, false, 0},
        {"an unknown operation", {1, 0xff}, false, 0, false, 0},
        {"a branch that loops", {3, 0x2f, 0xfd, 0xff}, false, 0, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const FLTDwarfSection section{uint64_t(reinterpret_cast<uintptr_t>(c.bytes.data())),
                                      uint64_t(reinterpret_cast<uintptr_t>(c.bytes.data())) + c.bytes.size()};
        FLTRegisters registers{};
        registers.rsp = 0x7000;
        registers.rip = c.rip;
        uint64_t result = 0;
        EXPECT_EQ(FLTDwarfEvalulateExpression(section.start, &section, &registers, c.pushInitial, 100, &result), c.ok);
        if (c.ok) {
            EXPECT_EQ(result, c.result);
        }
    }
}

TEST(Unwind, CompactTableLookupAndRestore) {
    // Header; one common encoding (frameless, 32 bytes, rbx then rbp saved); a first-level index
    // of one page and its sentinel; a compressed page of two functions, the second frame-based.
    const uint32_t frameless = 0x02000000 | (4u << 16) | (2u << 10) | 4u;
    Bytes table;
    table.u32(1).u32(28).u32(1).u32(32).u32(0).u32(32).u32(2);
    table.u32(frameless);
    table.u32(0x1000).u32(56).u32(0).u32(0x2000).u32(0).u32(0);
    table.u32(3).u16(12).u16(2).u16(20).u16(1);
    table.u32(0x000 | (0u << 24)).u32(0x100 | (1u << 24));
    table.u32(0x01000000);
    const uint64_t load = 0x400000;

    uint64_t stack[6] = {0, 0xb0b0, 0xfafa, 0x5555000, 0, 0};
    const auto slot = [&](int i) { return uint64_t(reinterpret_cast<uintptr_t>(&stack[i])); };
    uint64_t frame[2] = {0x2222, 0x6666000};
    struct Case {
        const char* what;
        uint64_t pc;
        bool ok;
        uint64_t rip, rsp, rbp, rbx;
    } cases[] = {
        {"frameless function", load + 0x1010, true, 0x5555000, slot(4), 0xfafa, 0xb0b0},
        {"frame-based function, last of its page", load + 0x1108, true, 0x6666000,
         uint64_t(reinterpret_cast<uintptr_t>(frame)) + 16, 0x2222, 0},
        {"a PC at the page's base", load + 0x1000, false, 0, 0, 0, 0},
        {"a PC past the sentinel", load + 0x2000, false, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FLTCompactUnwindContext context;
        ASSERT_TRUE(FLTCompactUnwindInit(&context, table.address(), table.data.size(), 0, 0, load));
        FLTRegisters registers{};
        registers.rsp = slot(0);
        registers.rbp = uint64_t(reinterpret_cast<uintptr_t>(frame));
        EXPECT_EQ(FLTCompactUnwindLookupAndCompute(&context, c.pc, &registers), c.ok);
        if (!c.ok) continue;
        EXPECT_EQ(registers.rip, c.rip);
        EXPECT_EQ(registers.rsp, c.rsp);
        EXPECT_EQ(registers.rbp, c.rbp);
        if (c.rbx) {
            EXPECT_EQ(registers.rbx, c.rbx);
        }
    }
    // A table cut short before its index is read inside its bounds only.
    FLTCompactUnwindContext context;
    ASSERT_TRUE(FLTCompactUnwindInit(&context, table.address(), 40, 0, 0, load));
    FLTRegisters registers{};
    registers.rsp = slot(0);
    EXPECT_FALSE(FLTCompactUnwindLookupAndCompute(&context, load + 0x1010, &registers));
    EXPECT_FALSE(FLTCompactUnwindInit(&context, table.address(), 20, 0, 0, load));
}

TEST(Unwind, FramePointerChainsEndAtZeroAndNeverLoop) {
    // Outside any image, so the frame-pointer chain is all there is.
    uint64_t stack[16] = {};
    const auto slot = [&](int i) { return uint64_t(reinterpret_cast<uintptr_t>(&stack[i])); };
    struct Case {
        const char* what;
        uint64_t chain[6];  // frame 1 at stack[4]: saved FP, return address, frame 2 at stack[8]...
        int frames;
    } cases[] = {
        {"a chain ending in a zero frame pointer", {slot(8), 0x5000, 0, 0x6000, 0, 0}, 3},
        {"a chain ending in a zero return address", {slot(8), 0x5000, slot(12), 0, 0, 0}, 2},
        {"a frame pointing at itself", {slot(4), 0x5000, 0, 0, 0, 0}, 2},
        {"a frame pointing back down the stack", {slot(8), 0x5000, slot(4), 0x6000, 0, 0}, 3},
        // Words of code or data read as a frame when the stack pointer was smashed into them.
        {"a return address no processor takes", {slot(8), 0x5000, 0, 0x74fb394c100c8949ull, 0, 0}, 2},
        {"a return address in the kernel's half", {slot(8), 0x5000, 0, 0xffffffff81000000ull, 0, 0}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::memset(stack, 0, sizeof stack);
        stack[4] = c.chain[0], stack[5] = c.chain[1], stack[8] = c.chain[2], stack[9] = c.chain[3];
        FLTRegisters registers{};
        registers.rip = 0x4000;
        registers.rsp = slot(0);
        registers.rbp = slot(4);
        FLTUnwindContext context;
        ASSERT_TRUE(FLTUnwindInit(&context, &registers));
        int frames = 0;
        while (FLTUnwindNextFrame(&context) && frames < 100) ++frames;
        EXPECT_EQ(frames, c.frames);
    }
    // A smashed stack pointer beside a whole chain: the PC alone, and nothing without a PC.
    struct Smashed {
        const char* what;
        uint64_t rip, rsp;
        int frames;
    } smashed[] = {
        {"a stack pointer of zero", 0x4000, 0, 1},
        {"a stack pointer in the first page", 0x4000, 0xff8, 1},
        {"a stack pointer no processor takes", 0x4000, 0x8000000000000000ull, 1},
        {"a stack pointer in the kernel's half", 0x4000, 0xffff800000001000ull, 1},
        {"a stack pointer past 47 bits, unmapped", 0x4000, (1ull << 47) + 0x1000, 1},
        {"the stack itself", 0x4000, slot(0), 3},
        {"no PC", 0, slot(0), 0},
    };
    for (const Smashed& c : smashed) {
        SCOPED_TRACE(c.what);
        std::memset(stack, 0, sizeof stack);
        stack[4] = slot(8), stack[5] = 0x5000, stack[9] = 0x6000;
        FLTRegisters registers{};
        registers.rip = c.rip;
        registers.rsp = c.rsp;
        registers.rbp = slot(4);
        FLTUnwindContext context;
        ASSERT_TRUE(FLTUnwindInit(&context, &registers));
        int frames = 0;
        while (FLTUnwindNextFrame(&context) && frames < 100) ++frames;
        EXPECT_EQ(frames, c.frames);
        if (c.frames == 1) {
            EXPECT_EQ(FLTUnwindGetPC(&context), c.rip);
        }
    }
}

TEST(Unwind, LearntRowsStepExactlyAsTheRulesTheyCameFrom) {
    // A fake stack: the CFA lies at stack[8]; slots below it hold the saved values.
    uint64_t stack[16];
    for (int i = 0; i < 16; ++i) stack[i] = 0x1000 * uint64_t(i + 1);
    const uint64_t sp = uint64_t(reinterpret_cast<uintptr_t>(&stack[0]));
    const auto rule = [](uint32_t kind, int64_t value) { return FLTDwarfRule{kind, value}; };
    struct Case {
        const char* what;
        uint64_t cfaRegister;
        int64_t cfaOffset;
        std::vector<std::pair<int, FLTDwarfRule>> saved;
        bool cacheable;
    } cases[] = {
        {"return address only", 7, 64, {{16, rule(kFLTRuleAtCFAOffset, -8)}}, true},
        {"framed by rbp with callee-saved registers", 6, 16,
         {{16, rule(kFLTRuleAtCFAOffset, -8)}, {6, rule(kFLTRuleAtCFAOffset, -16)}, {3, rule(kFLTRuleAtCFAOffset, -24)},
          {15, rule(kFLTRuleAtCFAOffset, -32)}},
         true},
        {"the stack pointer saved in memory", 7, 64, {{16, rule(kFLTRuleAtCFAOffset, -8)}, {7, rule(kFLTRuleAtCFAOffset, -16)}}, false},
        {"an undefined return address", 7, 64, {{16, rule(kFLTRuleUndefined, 0)}}, false},
        {"a register held in another", 7, 64, {{16, rule(kFLTRuleAtCFAOffset, -8)}, {3, rule(kFLTRuleInRegister, 12)}}, false},
        {"a value rule", 7, 64, {{16, rule(kFLTRuleAtCFAOffset, -8)}, {3, rule(kFLTRuleCFAOffset, 8)}}, false},
        {"an offset beyond 32 bits", 7, 64, {{16, rule(kFLTRuleAtCFAOffset, int64_t(1) << 33)}}, false},
        {"a CFA that does not move", 7, 0, {{16, rule(kFLTRuleAtCFAOffset, 8)}}, true},
        {"a CFA in unmapped memory", 7, -int64_t(sp) + 4096, {{16, rule(kFLTRuleAtCFAOffset, -8)}}, true},
    };
    const FLTDwarfSection none{0, 0};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FLTDwarfRegisterRules rules{};
        rules.cfaRegister = c.cfaRegister;
        rules.cfaOffset = c.cfaOffset;
        for (const auto& [reg, r] : c.saved) rules.registers[reg] = r;
        FLTUnwindRow row;
        ASSERT_EQ(FLTUnwindRowFromRules(&rules, false, 0x4001, &row), c.cacheable);
        if (!c.cacheable) continue;
        FLTRegisters start{};
        start.rsp = sp;
        start.rbp = sp + 48;  // CFA stack[8] either way
        start.rip = 0x4001;
        start.rbx = 0xb;
        FLTRegisters byRules = start, byRow = start;
        FLTReadCache cache{};
        const bool ruled = FLTDwarfApplyRules(&rules, &none, &byRules, nullptr);
        ASSERT_EQ(FLTUnwindApplyRow(&row, &byRow, &cache), ruled);
        EXPECT_EQ(std::memcmp(&byRules, &byRow, sizeof byRow), 0);
        if (!ruled) {
            EXPECT_EQ(std::memcmp(&byRow, &start, sizeof start), 0);  // a failed step changes nothing
        }
    }
}

TEST(Unwind, TheReadCacheReadsPlainlyOnlyWhatWasFoundReadable) {
    const long page = ::sysconf(_SC_PAGESIZE);
    auto* mapping = static_cast<char*>(::mmap(nullptr, size_t(page) * 2, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(mapping, MAP_FAILED);
    ASSERT_EQ(::munmap(mapping + page, size_t(page)), 0);
    const uint64_t start = uint64_t(reinterpret_cast<uintptr_t>(mapping));
    FLTReadCache cache{};
    uint64_t value = 0;
    ASSERT_TRUE(FLTReadMemoryCached(&cache, start + 8, &value, 8));
    EXPECT_EQ(cache.rangeStart, start);
    struct Case {
        uint64_t address, length;
        bool readable;
    } cases[] = {
        {start, 8, true}, {start + uint64_t(page) - 8, 8, true},
        {start + uint64_t(page) - 4, 8, false},  // runs into the unmapped page
        {start + uint64_t(page), 8, false},      // just past the range
        {start + uint64_t(page) + 64, 8, false}, // further past it
        {~uint64_t(0) - 3, 8, false},            // wraps
        {start, 0, false},
    };
    for (const Case& c : cases) EXPECT_EQ(FLTReadMemoryCached(&cache, c.address, &value, c.length), c.readable) << c.address - start;
    ::munmap(mapping, size_t(page));

    // The thread's own stack from a stack pointer up is known; a pointer outside it knows nothing.
    uint64_t low = 0, high = 0;
    FLTSafeReadNoteThreadStack();
    ASSERT_TRUE(FLTSafeReadKnownThreadStack(&low, &high));
    // The frame's address, not a local's: AddressSanitizer may keep locals on a stack of its own
    // (to catch their use after return), outside the thread's.
    const uint64_t here = uint64_t(reinterpret_cast<uintptr_t>(__builtin_frame_address(0)));
    EXPECT_TRUE(here >= low && here < high);
    FLTReadCacheInit(&cache, here);
    EXPECT_EQ(cache.rangeStart, here & ~uint64_t(4095));
    EXPECT_EQ(cache.rangeEnd, high);
    FLTReadCacheInit(&cache, start);
    EXPECT_EQ(cache.rangeStart, cache.rangeEnd);
}

namespace {

struct Walk {
    std::vector<uint64_t> ours, glibc;
};

__attribute__((noinline)) void walkHere(Walk* walk) {
    ucontext_t context;
    ::getcontext(&context);
    void* frames[256];
    const int count = ::backtrace(frames, 256);
    // backtrace() lists its caller first, and that need not be this function: AddressSanitizer
    // puts its own backtrace() in between, whose frame calls the C library's. Both lists start at
    // this function's return address, after however many frames stand above it.
    void* const returnAddress = __builtin_return_address(0);
    int top = 0;
    while (top < count && frames[top] != returnAddress) ++top;
    for (int i = top; i < count; ++i) walk->glibc.push_back(uint64_t(reinterpret_cast<uintptr_t>(frames[i])));
    FLTRegisters registers{};
    const greg_t* g = context.uc_mcontext.gregs;
    registers.rip = uint64_t(g[REG_RIP]), registers.rsp = uint64_t(g[REG_RSP]), registers.rbp = uint64_t(g[REG_RBP]);
    registers.rbx = uint64_t(g[REG_RBX]), registers.r12 = uint64_t(g[REG_R12]), registers.r13 = uint64_t(g[REG_R13]);
    registers.r14 = uint64_t(g[REG_R14]), registers.r15 = uint64_t(g[REG_R15]);
    FLTUnwindContext unwind;
    FLTUnwindInit(&unwind, &registers);
    bool first = true;
    while (FLTUnwindNextFrame(&unwind)) {
        if (!first) walk->ours.push_back(FLTUnwindGetPC(&unwind));
        first = false;
    }
}

__attribute__((noinline)) void recurse(int depth, Walk* walk) {
    if (depth == 0) return walkHere(walk);
    recurse(depth - 1, walk);
    asm volatile("" ::: "memory");  // keeps the call a call, not a jump
}

}  // namespace

TEST(Unwind, OurOwnStackWalksLikeGlibcFirstTimeAndFromLearntRows) {
    QTemporaryDir folder;
    const QByteArray path = folder.path().toUtf8();
    FLTContextInitOptions options;
    options.reportPath = path.constData();
    ASSERT_TRUE(FLTContextInitialize(&options));
    for (int round = 0; round < 3; ++round) {  // the first learns the rows, the others use them
        SCOPED_TRACE(round);
        Walk walk;
        recurse(40, &walk);
        ASSERT_GE(walk.glibc.size(), 40u);
        // glibc stops at the last frame with call-frame information; ours may go on by the chain.
        ASSERT_GE(walk.ours.size(), walk.glibc.size());
        walk.ours.resize(walk.glibc.size());
        EXPECT_EQ(walk.ours, walk.glibc);
    }
    FLTContextBaseDeinitialize();
}
