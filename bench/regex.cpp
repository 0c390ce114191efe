// Regular-expression throughput over 10 MB of web-like text, beside grep -P on the same file.
//
// What is compared: the number of matching lines, counted the way `grep -P -c` counts them, in
// two ways on our side. "whole": search the whole remaining text, count the line where the match
// starts and resume at the next line; a match that runs over a line break is confirmed by a match
// confined to its line. "per line": one ranged match per line. For the unanchored patterns below
// both counts are exactly grep's (the program checks it). Our text sits in memory (as a QString
// and as UTF-8 bytes); grep's time includes starting the process and reading the file from the
// page cache. Wall-clock time on both sides; the summary after the run gives the ratios (ours
// divided by grep's: below 1 is faster). The all-matches benchmarks walk every match from the end
// of the previous one, as the search engine does, and have no peer.
// As whole processes (our file reading and decoding included), bench/driver's `qvdriver grep`
// over UTF-8 bytes and over the decoded QString, and `grep -P -c` run in turns on the generated
// file and on typescript.js (node-typescript); outside the timing the counts must be equal.
// QORVEL_BENCH_ROUNDS sets the pairs (default 5).
#include "bench/BenchSupport.h"
#include "bench/MatchingLines.h"
#include "bench/Paired.h"

#include "platform/Process.h"
#include "platform/QVRegex.h"

#include <benchmark/benchmark.h>

#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

struct PatternSpec {
    const char* name;
    const char* pattern;
    bool caseInsensitive;
};

const PatternSpec kPatterns[] = {
    {"literal", "getElementById", false},
    {"alternation", "(?:margin|padding)-(?:top|left)|border-radius", false},
    {"call", "\\w+\\s*\\(", false},
    {"caseless", "\u00fcbersicht", true},  // "übersicht"; the text has Übersicht and ÜBERSICHT
};
constexpr int kPatternCount = int(sizeof kPatterns / sizeof kPatterns[0]);

const char* const kWords[] = {
    "menu", "header", "footer", "nav", "item", "content", "main", "button", "card", "list", "title",
    "link", "image", "panel", "form", "input", "label", "search", "user", "page", "data", "value",
    "index", "result", "modal", "toggle", "active", "hidden", "wrapper", "container", "section",
    "caf\u00e9", "na\u00efve", "Gr\u00f6\u00dfe", "\u00dcbersicht", "\u00dcBERSICHT", "se\u00f1or",
    "\u65e5\u672c\u8a9e", "\u041f\u0440\u0438\u0432\u0435\u0442", "\U0001F600", "\u00e9t\u00e9",
};
constexpr int kWordCount = int(sizeof kWords / sizeof kWords[0]);

QByteArray makeText(qint64 size) {
    BenchRandom rnd;
    auto word = [&] { return QByteArray(kWords[rnd.below(kWordCount)]); };
    auto ascii = [&] { return QByteArray(kWords[rnd.below(31)]); };  // the ASCII head of the list
    auto sentence = [&] {
        QByteArray s = word();
        for (int i = rnd.below(8); i > 0; --i)
            s += ' ' + word();
        return s;
    };
    auto num = [&] { return QByteArray::number(rnd.below(64)); };
    auto hex = [&] { return QByteArray::number(rnd.next() & 0xffffff, 16); };
    QByteArray text;
    text.reserve(size + 256);
    while (text.size() < size) {
        QByteArray line;
        switch (rnd.below(16)) {
        case 0: line = "<div class=\"" + ascii() + "-" + ascii() + "\" id=\"" + ascii() + "\">" + sentence() + "</div>"; break;
        case 1: line = "  <a href=\"/" + ascii() + "/" + ascii() + ".html\">" + sentence() + "</a>"; break;
        case 2: line = "<p>" + sentence() + " " + sentence() + "</p>"; break;
        case 3: line = "    <img src=\"" + ascii() + ".png\" alt=\"" + sentence() + "\">"; break;
        case 4: line = "." + ascii() + "-" + ascii() + " { margin-top: " + num() + "px; padding-left: " + num() + "px; }"; break;
        case 5: line = "  color: #" + hex() + "; background: url(" + ascii() + ".png);"; break;
        case 6: line = "  border: 1px solid #" + hex() + "; border-radius: " + num() + "px;"; break;
        case 7: line = "function " + ascii() + "_" + ascii() + "(" + ascii() + ", " + ascii() + ") {"; break;
        case 8: line = "  var " + ascii() + " = document.getElementById(\"" + ascii() + "\");"; break;
        case 9: line = "  " + ascii() + ".addEventListener(\"click\", function (e) { " + ascii() + "(e); });"; break;
        case 10: line = "  return " + ascii() + "." + ascii() + "(" + ascii() + ") + " + num() + ";"; break;
        case 11: line = "}"; break;
        case 12: line = "  // " + sentence(); break;
        case 13: line = ""; break;
        case 14: line = "  <li class=\"" + ascii() + "\">" + word() + "</li>"; break;
        default: line = "  " + ascii() + " = " + ascii() + " + \"" + sentence() + "\";"; break;
        }
        text += line + '\n';
    }
    return text;
}

struct Corpus {
    QTemporaryDir dir;
    QString path;
    QByteArray bytes;
    QString text;
    std::shared_ptr<const QVRegex> regex[kPatternCount];
    qint64 grepLines[kPatternCount] = {};
    double grepSeconds[kPatternCount] = {};  // per run, filled by the grep benchmarks
    // Per run, by pattern, width (0 bytes, 1 QString) and way (0 whole text, 1 per line).
    double ourSeconds[kPatternCount][2][2] = {};
    bool countsAgree = true;

    Corpus() {
        bytes = makeText(10 * 1024 * 1024);
        text = QString::fromUtf8(bytes);
        path = dir.filePath(QStringLiteral("corpus.html"));
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        f.close();
        for (int i = 0; i < kPatternCount; ++i)
            regex[i] = QVRegex::create(QString::fromUtf8(kPatterns[i].pattern),
                                       kPatterns[i].caseInsensitive ? 3u : 2u);
    }
};

Corpus& corpus() {
    static Corpus c;
    return c;
}

// One ranged match per line.
qint64 countLinesEach16(const QVRegex& re, const QString& s) {
    qint64 lines = 0, pos = 0;
    const qint64 size = s.size();
    while (pos < size) {
        const qint64 nl = s.indexOf(QLatin1Char('\n'), pos);
        const qint64 lineEnd = nl < 0 ? size : nl;
        if (re.copyMatchForString(s, QVRange(pos, lineEnd - pos)))
            ++lines;
        pos = lineEnd + 1;
    }
    return lines;
}

qint64 countLinesEach8(const QVRegex& re, const QByteArray& b) {
    qint64 lines = 0, pos = 0;
    const qint64 size = b.size();
    const char* d = b.constData();
    while (pos < size) {
        const void* nl = std::memchr(d + pos, '\n', size_t(size - pos));
        const qint64 lineEnd = nl ? static_cast<const char*>(nl) - d : size;
        if (re.copyMatchForUTF8Data(d, size, QVRange(pos, lineEnd - pos)))
            ++lines;
        pos = lineEnd + 1;
    }
    return lines;
}

qint64 countMatches16(const QVRegex& re, const QString& s) {
    qint64 n = 0, pos = 0;
    // From each match's end over the whole text, as the search engine walks (none of the
    // patterns matches the empty string, so the one-unit step never splits a character).
    while (auto m = re.copyMatchForString(s, QVRange(0, s.size()), QVRegex::MatchDefault, pos)) {
        const QVRange r = m->rangeForCapture(0);
        ++n;
        pos = r.end() + (r.length == 0 ? 1 : 0);
    }
    return n;
}

qint64 countMatches8(const QVRegex& re, const QByteArray& b) {
    qint64 n = 0, pos = 0;
    while (auto m = re.copyMatchForUTF8Data(b, QVRange(0, b.size()), QVRegex::MatchDefault, pos)) {
        const QVRange r = m->rangeForCapture(0);
        ++n;
        pos = r.end() + (r.length == 0 ? 1 : 0);
    }
    return n;
}

ProcessResult runGrep(int i) {
    QStringList args{QStringLiteral("-P"), QStringLiteral("-c")};
    if (kPatterns[i].caseInsensitive)
        args << QStringLiteral("-i");
    args << QStringLiteral("-e") << QString::fromUtf8(kPatterns[i].pattern) << corpus().path;
    ProcessOptions options;
    options.extraEnvironment = {QStringLiteral("LC_ALL=C.UTF-8")};  // UTF mode, as ours
    return Process::run(QStringLiteral("grep"), args, options);
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_GrepLines(benchmark::State& state) {
    const int i = int(state.range(0));
    Corpus& c = corpus();
    qint64 lines = -1;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        const ProcessResult r = runGrep(i);
        // grep -c exits 1 when nothing matched, which is still a count.
        if (!r.started || !r.exited || r.exitStatus > 1) {
            state.SkipWithError("grep did not run");
            return;
        }
        lines = r.standardOutput.trimmed().toLongLong();
    }
    c.grepSeconds[i] = secondsSince(start) / double(state.iterations());
    c.grepLines[i] = lines;
    state.counters["lines"] = double(lines);
    state.SetBytesProcessed(state.iterations() * c.bytes.size());
    state.SetLabel(kPatterns[i].name);
}

template <bool Wide, bool PerLine>
void BM_RegexLines(benchmark::State& state) {
    const int i = int(state.range(0));
    Corpus& c = corpus();
    if (!c.regex[i]) {
        state.SkipWithError("pattern did not compile");
        return;
    }
    const QVRegex& re = *c.regex[i];
    qint64 lines = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if constexpr (Wide)
            lines = PerLine ? countLinesEach16(re, c.text) : matchingLines(re, c.text);
        else
            lines = PerLine ? countLinesEach8(re, c.bytes) : matchingLines(re, c.bytes);
        benchmark::DoNotOptimize(lines);
    }
    const double seconds = secondsSince(start) / double(state.iterations());
    c.ourSeconds[i][Wide][PerLine] = seconds;
    state.counters["lines"] = double(lines);
    state.SetBytesProcessed(state.iterations() * c.bytes.size());
    state.SetLabel(kPatterns[i].name);
    if (c.grepSeconds[i] > 0) {
        state.counters["time_vs_grep"] = seconds / c.grepSeconds[i];
        if (lines != c.grepLines[i]) {
            c.countsAgree = false;
            state.SkipWithError("line count differs from grep's");
        }
    }
}

template <bool Wide>
void BM_RegexAllMatches(benchmark::State& state) {
    const int i = int(state.range(0));
    Corpus& c = corpus();
    if (!c.regex[i]) {
        state.SkipWithError("pattern did not compile");
        return;
    }
    qint64 n = 0;
    for (auto _ : state) {
        n = Wide ? countMatches16(*c.regex[i], c.text) : countMatches8(*c.regex[i], c.bytes);
        benchmark::DoNotOptimize(n);
    }
    state.counters["matches"] = double(n);
    state.SetBytesProcessed(state.iterations() * c.bytes.size());
    state.SetLabel(kPatterns[i].name);
}

// The grep runs come first so that the line benchmarks can state their ratio.
BENCHMARK(BM_GrepLines)->DenseRange(0, kPatternCount - 1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_TEMPLATE(BM_RegexLines, true, false)->DenseRange(0, kPatternCount - 1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_TEMPLATE(BM_RegexLines, true, true)->DenseRange(0, kPatternCount - 1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_TEMPLATE(BM_RegexLines, false, false)->DenseRange(0, kPatternCount - 1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_TEMPLATE(BM_RegexLines, false, true)->DenseRange(0, kPatternCount - 1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_TEMPLATE(BM_RegexAllMatches, true)->DenseRange(0, kPatternCount - 1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_TEMPLATE(BM_RegexAllMatches, false)->DenseRange(0, kPatternCount - 1)->Unit(benchmark::kMillisecond)->UseRealTime();

void printSummary() {
    const Corpus& c = corpus();
    std::printf("\nMatching lines in %.1f MB, time per run in ms (ratio to grep -P -c)\n",
                double(c.bytes.size()) / (1024.0 * 1024.0));
    std::printf("%-12s %8s %18s %18s %18s %18s\n", "pattern", "grep", "QString whole",
                "QString per line", "UTF-8 whole", "UTF-8 per line");
    for (int i = 0; i < kPatternCount; ++i) {
        if (c.grepSeconds[i] <= 0)
            continue;
        std::printf("%-12s %8.2f", kPatterns[i].name, c.grepSeconds[i] * 1e3);
        for (int wide : {1, 0})
            for (int perLine : {0, 1}) {
                const double t = c.ourSeconds[i][wide][perLine];
                if (t > 0)
                    std::printf(" %9.2f (%5.2f)", t * 1e3, t / c.grepSeconds[i]);
                else
                    std::printf(" %18s", "-");
            }
        std::printf("\n");
    }
    if (!c.countsAgree)
        std::printf("Line counts differ from grep's: see the benchmarks marked in error.\n");
}

void wholeProcesses() {
    if (Process::findExecutable(QStringLiteral("grep")).isEmpty() || !QFileInfo(paired::driver()).isExecutable()) {
        std::printf("whole processes: grep or %s missing\n", qPrintable(paired::driver()));
        return;
    }
    bool ok = false;
    int rounds = qEnvironmentVariableIntValue("QORVEL_BENCH_ROUNDS", &ok);
    if (!ok || rounds <= 0) rounds = 5;
    // grep's output goes to a file: to /dev/null it would stop at the first match.
    const QByteArray output = corpus().dir.filePath(QStringLiteral("grep.out")).toLocal8Bit();
    QStringList files{corpus().path};
    const QString real = QStringLiteral("/usr/share/nodejs/typescript/lib/typescript.js");
    if (QFileInfo(real).isFile()) files << real;
    for (const QString& file : files) {
        for (int i = 0; i < kPatternCount; ++i) {
            QStringList flags;
            if (kPatterns[i].caseInsensitive) flags << QStringLiteral("-i");
            const QString pattern = QString::fromUtf8(kPatterns[i].pattern);
            const QStringList peer = QStringList{QStringLiteral("grep"), QStringLiteral("-P"), QStringLiteral("-c")} + flags +
                                     QStringList{QStringLiteral("-e"), pattern, file};
            const QByteArray expected = Process::run(peer[0], peer.mid(1)).standardOutput.trimmed();
            for (bool utf16 : {false, true}) {
                QStringList ours = QStringList{paired::driver(), QStringLiteral("grep")} + flags;
                if (utf16) ours << QStringLiteral("--utf16");
                ours << pattern << file;
                const QByteArray counted = Process::run(ours[0], ours.mid(1)).standardOutput.trimmed();
                paired::addRow(paired::row(std::string("grep ") + kPatterns[i].name + " in " + QFileInfo(file).fileName().toStdString() +
                                               (utf16 ? ", decoded to QString" : ", UTF-8 bytes") + " / grep -P -c" +
                                               (counted == expected ? "" : " COUNTS DIFFER (" + counted.toStdString() + " vs " + expected.toStdString() + ")"),
                                           paired::compare(ours, peer, rounds, output.constData())));
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    // UTF mode on both sides, as ours always is.
    qputenv("LC_ALL", "C.UTF-8");
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    printSummary();
    if (qgetenv("QORVEL_BENCH_PROCESSES") != "0") wholeProcesses();
    paired::printTable("Patterns: qvdriver grep / grep -P -c, whole processes");
    return corpus().countsAgree ? 0 : 1;
}
