// Whole-process comparisons: Qorvel's driver and a peer program given the same job, run in turns
// (ours, peer, peer, ours, ours, peer ...) so that a change of load on the machine weighs on both
// alike and neither side always runs second, and
// judged by the ratio of each pair rather than by the best run of each side.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace paired {

struct Run {
    double wall = 0;  // seconds
    double cpu = 0;   // user + system seconds of the child
    bool ok = false;  // exited with status 0 (or 1, which grep and rg use for "no match")
};

inline double now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// Runs argv (the program found in PATH) with its standard output going to outputPath (the
// bench's results never to a pipe, whose reader would be timed too) and waits for it.
inline Run run(const QStringList& argv, const char* outputPath = "/dev/null") {
    std::vector<QByteArray> bytes;
    for (const QString& a : argv) bytes.push_back(a.toLocal8Bit());
    std::vector<char*> args;
    for (QByteArray& b : bytes) args.push_back(b.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outputPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    Run r;
    pid_t pid = 0;
    const double start = now();
    const int error = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        std::fprintf(stderr, "cannot start %s\n", args[0]);
        return r;
    }
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    r.wall = now() - start;
    r.cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) <= 1;
    return r;
}

struct Spread {
    double min = 0, median = 0, max = 0;
};

inline Spread spread(std::vector<double> v) {
    if (v.empty()) return {};
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return {v.front(), n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2, v.back()};
}

struct Comparison {
    std::vector<Run> ours, peer;
    bool ok = true;

    std::vector<double> ratios(bool cpu) const {
        std::vector<double> r;
        for (size_t i = 0; i < ours.size() && i < peer.size(); ++i) {
            const double p = cpu ? peer[i].cpu : peer[i].wall;
            if (p > 0) r.push_back((cpu ? ours[i].cpu : ours[i].wall) / p);
        }
        return r;
    }
    Spread wallRatio() const { return spread(ratios(false)); }
    Spread cpuRatio() const { return spread(ratios(true)); }
    static Spread side(const std::vector<Run>& runs, bool cpu) {
        std::vector<double> s;
        for (const Run& r : runs) s.push_back(cpu ? r.cpu : r.wall);
        return spread(s);
    }
};

// One warm-up run of each side (page cache, dynamic loader), then `rounds` pairs in turns, the
// first of each pair alternating. GNU
// grep stops at its first match when its output is /dev/null, so output can name a file instead.
inline Comparison compare(const QStringList& ours, const QStringList& peer, int rounds, const char* output = "/dev/null") {
    Comparison c;
    run(ours, output);
    run(peer, output);
    for (int i = 0; i < rounds; ++i) {
        // Each side goes first in every other round, so that neither always finds the caches
        // as the other left them.
        if (i % 2 == 0) {
            c.ours.push_back(run(ours, output));
            c.peer.push_back(run(peer, output));
        } else {
            c.peer.push_back(run(peer, output));
            c.ours.push_back(run(ours, output));
        }
        c.ok = c.ok && c.ours.back().ok && c.peer.back().ok;
    }
    return c;
}

// A comparison of whole processes and the same with each side's start-up taken off: each side's
// run on an empty input, in the same round, subtracted from its run on the real one.
struct BesideEmpty {
    Comparison whole, alone;
};

// One warm-up run of each side on the input, then `rounds` rounds in turns, each side's empty run
// beside its own: ours empty, ours, peer, peer empty; in every other round the other way round.
inline BesideEmpty compareBesideEmpty(const QStringList& ours, const QStringList& peer, const QStringList& oursEmpty,
                                      const QStringList& peerEmpty, int rounds, const char* output = "/dev/null") {
    BesideEmpty c;
    run(ours, output);
    run(peer, output);
    for (int i = 0; i < rounds; ++i) {
        Run a, b, ea, eb;
        if (i % 2 == 0) {
            ea = run(oursEmpty, output), a = run(ours, output), b = run(peer, output), eb = run(peerEmpty, output);
        } else {
            eb = run(peerEmpty, output), b = run(peer, output), a = run(ours, output), ea = run(oursEmpty, output);
        }
        c.whole.ours.push_back(a);
        c.whole.peer.push_back(b);
        c.whole.ok = c.whole.ok && a.ok && b.ok;
        c.alone.ours.push_back({a.wall - ea.wall, a.cpu - ea.cpu, a.ok && ea.ok});
        c.alone.peer.push_back({b.wall - eb.wall, b.cpu - eb.cpu, b.ok && eb.ok});
        c.alone.ok = c.whole.ok && ea.ok && eb.ok;
    }
    return c;
}

// The median of a few runs of one program alone (a peer's start-up on an empty input).
inline Spread alone(const QStringList& argv, int rounds) {
    std::vector<double> s;
    run(argv);
    for (int i = 0; i < rounds; ++i) s.push_back(run(argv).wall);
    return spread(s);
}

// The table row every comparison prints, in the form docs/BENCHMARKS.md collects:
// | comparison | ours median | peer median | wall ratio min / median / max | cpu ratio median |
// and, given the comparison with the start-up taken off, its cpu ratio (median) and each side's
// processor time (median) in a column of its own.
inline std::string row(const std::string& name, const Comparison& c, const Comparison* alone = nullptr) {
    const Spread ours = Comparison::side(c.ours, false), peer = Comparison::side(c.peer, false);
    const Spread wall = c.wallRatio(), cpu = c.cpuRatio();
    char line[512];
    std::snprintf(line, sizeof line, "| %s | %.1f ms | %.1f ms | %.2f / **%.2f** / %.2f | %.2f |", name.c_str(),
                  ours.median * 1e3, peer.median * 1e3, wall.min, wall.median, wall.max, cpu.median);
    std::string text = line;
    if (alone) {
        std::snprintf(line, sizeof line, " %.2f (%.1f / %.1f ms) |", alone->cpuRatio().median,
                      Comparison::side(alone->ours, true).median * 1e3, Comparison::side(alone->peer, true).median * 1e3);
        text += line;
    }
    const bool ok = c.ok && (!alone || alone->ok);
    return ok ? text : text + " (a run failed)";
}

// Rows are printed at once and kept for the table at the end of the program's output.
inline std::vector<std::string>& rows() {
    static std::vector<std::string> list;
    return list;
}

inline void addRow(const std::string& text) {
    rows().push_back(text);
    std::fprintf(stderr, "%s\n", text.c_str());
}

// With aloneColumn, the table has the column of the comparisons with the start-up taken off,
// under that name; a row without it has the cell empty.
inline void printTable(const char* title, const char* aloneColumn = nullptr) {
    std::printf("\n## %s\n\n| comparison | ours (median) | peer (median) | time ratio min / median / max | "
                "cpu ratio (median) |",
                title);
    if (aloneColumn) std::printf(" %s |", aloneColumn);
    std::printf("\n|---|---|---|---|---|%s\n", aloneColumn ? "---|" : "");
    for (std::string r : rows()) {
        if (aloneColumn && std::count(r.begin(), r.end(), '|') < 7) r.insert(r.rfind('|') + 1, " |");
        std::printf("%s\n", r.c_str());
    }
    std::fflush(stdout);
}

// The directory of the running program, where the drivers are built.
inline QString programFolder() {
    char buffer[4096];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return QString();
    const QString path = QString::fromLocal8Bit(buffer, n);
    return path.left(path.lastIndexOf(QLatin1Char('/')));
}

inline QString driver() { return programFolder() + QStringLiteral("/qvdriver"); }
// The plain read()-and-memchr() scan (bench/driver/readmemchr.cpp).
inline QString memchrScanner() { return programFolder() + QStringLiteral("/readmemchr"); }

}  // namespace paired
