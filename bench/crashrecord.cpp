// How long a crash takes to record: from the fault to the process's end, in the crash children of
// the capture tests, with many threads, threads that block the stop signal, a thread waiting in
// vfork and one a tracer holds. The figure is milliseconds per crash (manual time; median and worst
// of QORVEL_BENCH_ROUNDS children, default 5). A child whose record is not whole, or that did not
// die by its fault, stops its row with an error. No peer records a crash the same way: the figures
// stand alone, and a crash that waits out the stop signal's limit (a second) shows at once.
#include "kits/faultline/FLTRecordReader.h"

#include <benchmark/benchmark.h>

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <vector>

#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace {

int64_t nowNs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

int rounds() {
    const char* value = std::getenv("QORVEL_BENCH_ROUNDS");
    return value && std::atoi(value) > 0 ? std::atoi(value) : 5;
}

// Runs one child of the given kind; answers the milliseconds from its crash point to its end, or
// a negative number with *error set.
double crashOnce(const char* kind, const char** error) {
    QTemporaryDir folder;
    const QByteArray path = folder.path().toUtf8();
    char* argv[] = {const_cast<char*>(FAULTLINE_CRASHER), const_cast<char*>(path.constData()), const_cast<char*>(kind), nullptr};
    pid_t pid = 0;
    if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ) != 0) {
        *error = "the crash child did not start";
        return -1;
    }
    const QString mark = folder.filePath(QStringLiteral("crash-at"));
    int status = 0;
    int64_t ended = 0;
    for (;;) {
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            ended = nowNs();
            break;
        }
        ::usleep(200);
    }
    QFile at(mark);
    if (!at.open(QIODevice::ReadOnly)) {
        *error = "the child marked no crash point";
        return -1;
    }
    const int64_t crashed = at.readAll().trimmed().toLongLong();
    QFile record(folder.filePath(QStringLiteral("signal.fltrecord")));
    if (!WIFSIGNALED(status) || WTERMSIG(status) != SIGSEGV) {
        *error = "the child did not die by its fault";
        return -1;
    }
    if (!record.open(QIODevice::ReadOnly) || !FLTCrashRecordDamage(record.readAll()).isEmpty()) {
        *error = "the record is not whole";
        return -1;
    }
    return double(ended - crashed) / 1e6;
}

void CrashRecording(benchmark::State& state, const char* kind) {
    std::vector<double> times;
    for (auto _ : state) {
        const char* error = nullptr;
        const double ms = crashOnce(kind, &error);
        if (ms < 0) {
            state.SkipWithError(error);
            break;
        }
        times.push_back(ms);
        state.SetIterationTime(ms / 1000);
    }
    if (times.empty()) return;
    std::sort(times.begin(), times.end());
    state.counters["median_ms"] = times[times.size() / 2];
    state.counters["worst_ms"] = times.back();
}

void registerAll() {
    const int n = rounds();
    for (const char* kind : {"threads-32", "threads-600", "threads-1100", "blocked-threads-8", "vfork", "vfork-blocked",
                             "traced-thread", "sigstopped-thread"}) {
        benchmark::RegisterBenchmark((std::string("CrashRecording/") + kind).c_str(), CrashRecording, kind)
            ->UseManualTime()
            ->Iterations(n)
            ->Unit(benchmark::kMillisecond);
    }
}

}  // namespace

int main(int argc, char** argv) {
    registerAll();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
