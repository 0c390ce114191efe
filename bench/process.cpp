// Running a child program with Process beside QProcess on the same work: start-up of `true`, and a
// round trip of 1 MB and 10 MB through `cat` (input written while both outputs are read).
// Wall-clock time on both sides; the two sides must return the bytes they sent.
#include "platform/Process.h"

#include <benchmark/benchmark.h>

#include <QProcess>

namespace {

QByteArray payload(qsizetype size) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i) bytes[i] = char((i * 131) ^ (i >> 7));
    return bytes;
}

void ProcessStartTrue(benchmark::State& state) {
    for (auto _ : state) {
        const ProcessResult r = Process::run(QStringLiteral("true"), {});
        if (!r.succeeded()) state.SkipWithError("true failed");
    }
}

void QProcessStartTrue(benchmark::State& state) {
    for (auto _ : state) {
        QProcess p;
        p.start(QStringLiteral("true"), {});
        if (!p.waitForFinished(-1) || p.exitCode() != 0) state.SkipWithError("true failed");
    }
}

void ProcessCat(benchmark::State& state) {
    ProcessOptions options;
    options.input = payload(state.range(0));
    for (auto _ : state) {
        const ProcessResult r = Process::run(QStringLiteral("cat"), {}, options);
        if (r.standardOutput != options.input) state.SkipWithError("cat returned other bytes");
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void QProcessCat(benchmark::State& state) {
    const QByteArray input = payload(state.range(0));
    for (auto _ : state) {
        QProcess p;
        p.start(QStringLiteral("cat"), {});
        p.write(input);
        p.closeWriteChannel();
        p.waitForFinished(-1);
        if (p.readAllStandardOutput() != input) state.SkipWithError("cat returned other bytes");
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

BENCHMARK(ProcessStartTrue)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(QProcessStartTrue)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(ProcessCat)->Arg(1 << 20)->Arg(10 << 20)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(QProcessCat)->Arg(1 << 20)->Arg(10 << 20)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
