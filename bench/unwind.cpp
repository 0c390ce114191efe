// Unwinding a 256-frame stack: the crash unwinder (call-frame information through .eh_frame_hdr,
// reading the stack through the kernel's safe copy) beside glibc's backtrace() and libunwind's
// unw_backtrace on the same stack in the same run. Each side must find at least 256 frames;
// the figure to compare is the time per walk (all three walk the same frames). The first-walk
// figure forgets the rows earlier walks learnt (as a crash's first thread finds them), by
// rescanning the images outside the timing.
#include "kits/faultline/FLTBinaryImage.h"
#include "kits/faultline/FLTInitialize.h"
#include "kits/faultline/FLTSDKLog.h"
#include "kits/faultline/FLTUnwind.h"

#include <benchmark/benchmark.h>

#include <execinfo.h>
#include <libunwind.h>
#include <ucontext.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int kDepth = 256;

using Walker = int (*)();

__attribute__((noinline)) int faultlineWalk() {
    ucontext_t context;
    ::getcontext(&context);
    FLTRegisters registers{};
    const greg_t* g = context.uc_mcontext.gregs;
    registers.rip = uint64_t(g[REG_RIP]);
    registers.rsp = uint64_t(g[REG_RSP]);
    registers.rbp = uint64_t(g[REG_RBP]);
    registers.rbx = uint64_t(g[REG_RBX]);
    registers.r12 = uint64_t(g[REG_R12]);
    registers.r13 = uint64_t(g[REG_R13]);
    registers.r14 = uint64_t(g[REG_R14]);
    registers.r15 = uint64_t(g[REG_R15]);
    FLTUnwindContext unwind;
    FLTUnwindInit(&unwind, &registers);
    int frames = 0;
    while (FLTUnwindNextFrame(&unwind)) ++frames;
    return frames;
}

__attribute__((noinline)) int glibcWalk() {
    void* frames[kDepth + 64];
    return ::backtrace(frames, kDepth + 64);
}

__attribute__((noinline)) int libunwindWalk() {
    void* frames[kDepth + 64];
    return ::unw_backtrace(frames, kDepth + 64);
}

__attribute__((noinline)) int descend(int depth, Walker walker) {
    if (depth == 0) return walker();
    const int frames = descend(depth - 1, walker);
    benchmark::DoNotOptimize(frames);
    return frames;
}

void setUp() {
    static bool done = false;
    if (done) return;
    done = true;
    char folder[] = "/tmp/qorvel-unwind-XXXXXX";
    if (!::mkdtemp(folder)) std::abort();
    static std::string path = folder;
    FLTContextInitOptions options;
    options.reportPath = path.c_str();
    FLTContextInitialize(&options);
    // The walk itself is measured, not the kit log's lines about it.
    if (FLTWritableStore* store = g_fltStore.load()) store->minimumLogLevel.store(kFLTLogError);
}

void run(benchmark::State& state, Walker walker) {
    setUp();
    int frames = 0;
    for (auto _ : state) frames = descend(kDepth, walker);
    if (frames < kDepth) state.SkipWithError("fewer frames than the stack holds");
    state.counters["frames"] = frames;
}

void FaultlineUnwind256(benchmark::State& state) { run(state, faultlineWalk); }
void FaultlineUnwind256FirstWalk(benchmark::State& state) {
    setUp();
    int frames = 0;
    for (auto _ : state) {
        state.PauseTiming();
        FLTBinaryImageInit();  // a new image generation: no learnt row holds
        state.ResumeTiming();
        frames = descend(kDepth, faultlineWalk);
    }
    if (frames < kDepth) state.SkipWithError("fewer frames than the stack holds");
    state.counters["frames"] = frames;
}
void GlibcBacktrace256(benchmark::State& state) { run(state, glibcWalk); }
void LibunwindBacktrace256(benchmark::State& state) { run(state, libunwindWalk); }

}  // namespace

BENCHMARK(FaultlineUnwind256);
BENCHMARK(FaultlineUnwind256FirstWalk);
BENCHMARK(GlibcBacktrace256);
BENCHMARK(LibunwindBacktrace256);
BENCHMARK_MAIN();
