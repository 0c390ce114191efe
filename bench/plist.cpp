// Property-list reading and writing beside Python's plistlib on the same documents.
//
// Two documents, each in XML and binary form: "records" (20000 dictionaries of a string, an
// integer, a real, a boolean, a date and a short list: the shape of project and settings files)
// and "strings" (one array of 200000 strings: large arrays once made the reader quadratic).
// Ours: bytes in memory to a QVariant tree and back. Peer: plistlib.loads / plistlib.dumps in one
// python3 process that times itself with perf_counter, so its start-up is not counted. The summary
// after the run gives per-operation times and the ratio ours / plistlib (below 1 is faster).
#include "platform/PropertyList.h"

#include <benchmark/benchmark.h>

#include <QDateTime>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>

namespace {

struct Document {
    const char* name;
    QVariant value;
    QByteArray bytes[2];  // XML, binary
};

const PlistFormat kFormats[2] = {PlistFormat::XML, PlistFormat::Binary};
const char* const kFormatNames[2] = {"xml", "binary"};

QVariant records() {
    QVariantMap map;
    const QDateTime base(QDate(2020, 1, 1), QTime(0, 0), Qt::UTC);
    for (int i = 0; i < 20000; ++i) {
        map.insert(QStringLiteral("record %1").arg(i, 5, 10, QLatin1Char('0')),
                   QVariantMap{{QStringLiteral("name"), QStringLiteral("file-%1.html ✓").arg(i)},
                               {QStringLiteral("size"), qint64(i) * 37 - 5000},
                               {QStringLiteral("ratio"), i / 7.0},
                               {QStringLiteral("open"), i % 2 == 0},
                               {QStringLiteral("modified"), base.addSecs(i * 61)},
                               {QStringLiteral("tags"), QVariantList{QStringLiteral("html"), qint64(i % 13)}}});
    }
    return map;
}

QVariant strings() {
    QVariantList list;
    list.reserve(200000);
    for (int i = 0; i < 200000; ++i) list.append(QStringLiteral("/var/www/site/page-%1.php").arg(i));
    return list;
}

struct Corpus {
    Document documents[2] = {{"records", records(), {}}, {"strings", strings(), {}}};
    QTemporaryDir dir;
    // Seconds per operation: [document][format][0 = read, 1 = write].
    double ours[2][2][2] = {};
    double peer[2][2][2] = {};
    Corpus() {
        for (Document& d : documents)
            for (int f = 0; f < 2; ++f) d.bytes[f] = PropertyList::toData(d.value, kFormats[f]);
    }
};

Corpus& corpus() {
    static Corpus c;
    return c;
}

const char* const kPeerScript =
    "import plistlib, sys, time\n"
    "data = open(sys.argv[1], 'rb').read()\n"
    "fmt = plistlib.FMT_XML if sys.argv[2] == 'xml' else plistlib.FMT_BINARY\n"
    "n = 3\n"
    "t = time.perf_counter()\n"
    "for _ in range(n): v = plistlib.loads(data)\n"
    "r = (time.perf_counter() - t) / n\n"
    "t = time.perf_counter()\n"
    "for _ in range(n): plistlib.dumps(v, fmt=fmt)\n"
    "w = (time.perf_counter() - t) / n\n"
    "print(r, w)\n";

void BM_Plistlib(benchmark::State& state) {
    Corpus& c = corpus();
    const int doc = int(state.range(0)), f = int(state.range(1));
    const QString path = c.dir.filePath(QStringLiteral("%1.%2").arg(QLatin1String(c.documents[doc].name),
                                                                    QLatin1String(kFormatNames[f])));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(c.documents[doc].bytes[f]) < 0) {
        state.SkipWithError("cannot write the peer's input");
        return;
    }
    file.close();
    for (auto _ : state) {
        QProcess python;
        python.start(QStringLiteral("python3"), {QStringLiteral("-c"), QLatin1String(kPeerScript), path,
                                                 QLatin1String(kFormatNames[f])});
        if (!python.waitForFinished(600000) || python.exitCode() != 0) {
            state.SkipWithError("python3 with plistlib did not run");
            return;
        }
        const QStringList times = QString::fromUtf8(python.readAllStandardOutput()).split(QLatin1Char(' '));
        if (times.size() != 2) {
            state.SkipWithError("unexpected output from python3");
            return;
        }
        c.peer[doc][f][0] = times[0].toDouble();
        c.peer[doc][f][1] = times[1].toDouble();
        state.SetIterationTime(c.peer[doc][f][0] + c.peer[doc][f][1]);
    }
    state.SetLabel(std::string(c.documents[doc].name) + " " + kFormatNames[f] + " read+write");
}

template <bool Read>
void BM_Ours(benchmark::State& state) {
    Corpus& c = corpus();
    const int doc = int(state.range(0)), f = int(state.range(1));
    const Document& d = c.documents[doc];
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (Read) {
            QVariant v = PropertyList::fromData(d.bytes[f]);
            if (!v.isValid()) state.SkipWithError("our reader refused the document");
            benchmark::DoNotOptimize(v);
        } else {
            QByteArray out = PropertyList::toData(d.value, kFormats[f]);
            if (out.isEmpty()) state.SkipWithError("our writer refused the document");
            benchmark::DoNotOptimize(out);
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / double(state.iterations());
    c.ours[doc][f][Read ? 0 : 1] = seconds;
    if (c.peer[doc][f][Read ? 0 : 1] > 0) state.counters["time_vs_plistlib"] = seconds / c.peer[doc][f][Read ? 0 : 1];
    state.SetBytesProcessed(state.iterations() * d.bytes[f].size());
    state.SetLabel(std::string(d.name) + " " + kFormatNames[f]);
}

const auto kArgs = [](benchmark::internal::Benchmark* b) {
    for (int doc = 0; doc < 2; ++doc)
        for (int f = 0; f < 2; ++f) b->Args({doc, f});
};

// The peer runs first so that our benchmarks can state their ratio.
BENCHMARK(BM_Plistlib)->Apply(kArgs)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Ours, true)->Apply(kArgs)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_TEMPLATE(BM_Ours, false)->Apply(kArgs)->Unit(benchmark::kMillisecond)->UseRealTime();

void printSummary() {
    const Corpus& c = corpus();
    std::printf("\nTime per operation in ms (ratio ours / plistlib)\n");
    std::printf("%-18s %10s %10s %8s %10s %10s %8s\n", "document", "read", "plistlib", "ratio", "write", "plistlib",
                "ratio");
    for (int doc = 0; doc < 2; ++doc) {
        for (int f = 0; f < 2; ++f) {
            const std::string name = std::string(c.documents[doc].name) + " " + kFormatNames[f];
            std::printf("%-18s", name.c_str());
            for (int op = 0; op < 2; ++op) {
                const double o = c.ours[doc][f][op], p = c.peer[doc][f][op];
                std::printf(" %10.1f %10.1f ", o * 1e3, p * 1e3);
                if (p > 0) std::printf("%8.2f", o / p);
                else std::printf("%8s", "-");
            }
            std::printf("\n");
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    printSummary();
    return 0;
}
