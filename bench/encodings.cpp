// Decoding and encoding throughput in UTF-8 and Shift-JIS on ~50 MB of generated text, beside
// iconv converting the same files.
//
// What is compared: "read" reads the encoded file and decodes it into text the way documents are
// opened (FileEncodings with the encoding given, so no detection); iconv converts the same file
// into UTF-16LE. "write" encodes the text held in memory into bytes the way documents are saved;
// iconv converts the same text, as a UTF-16LE file, back into the encoding. iconv writes to
// /dev/null; its time includes starting the process and reading its input from the page cache.
// The in-memory decode has no peer and shows what reading the file costs on our side.
// As whole processes, bench/driver's `qvdriver decode ENCODING FILE` (read, decode, write UTF-16LE
// to /dev/null) and `iconv -f ENCODING -t UTF-16LE FILE` run in turns; outside the timing both
// outputs must be the same bytes. QORVEL_BENCH_ROUNDS sets the pairs (default 5).
// Wall-clock time everywhere.
#include "bench/BenchSupport.h"
#include "bench/Paired.h"

#include "platform/Process.h"
#include "platform/TextEncoding.h"
#include "shell/FileEncodings.h"

#include <benchmark/benchmark.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

// Words that Shift-JIS holds too, so both encodings carry exactly the same text.
const char16_t* const kWords[] = {
    u"<div>", u"</div>", u"class=\"menu\"", u"header", u"content", u"function", u"return", u"value",
    u"\u65e5\u672c\u8a9e", u"\u30c6\u30ad\u30b9\u30c8", u"\u6587\u5b57\u5217", u"\u5909\u63db",
    u"\u3053\u3093\u306b\u3061\u306f", u"\u30da\u30fc\u30b8", u"\u691c\u7d22", u"\u8a2d\u5b9a",
    u"\u300c\u5f15\u7528\u300d", u"\uff08\u6ce8\uff09", u"\u03b1\u03b2", u"\u0416",
};
constexpr int kWordCount = int(sizeof kWords / sizeof kWords[0]);

struct Corpus {
    QTemporaryDir dir;
    QString text;
    QString utf16Path;  // the text as UTF-16LE, the input of iconv's encoding runs
    struct Encoded {
        QVStringEncoding encoding;
        const char* iconvName;
        QByteArray bytes;
        QString path;
    };
    Encoded utf8{TextEncoding::UTF8, "UTF-8", {}, {}};
    Encoded sjis{TextEncoding::fromPlatformCode(0x0A01), "SHIFT_JIS", {}, {}};

    Corpus() : dir(QDir::tempPath() + QStringLiteral("/qorvel-bench-XXXXXX")) {
        BenchRandom random;
        text.reserve(31 * 1024 * 1024);
        while (text.size() < 30 * 1024 * 1024) {  // ~50 MB in UTF-8
            const int words = 4 + random.below(12);
            for (int w = 0; w < words; ++w) {
                text += QString::fromUtf16(kWords[random.below(kWordCount)]);
                text += QLatin1Char(' ');
            }
            text += QLatin1Char('\n');
        }
        for (Encoded* e : {&utf8, &sjis}) {
            e->bytes = TextEncoding::encode(text, e->encoding, false).value_or(QByteArray());
            e->path = write(QStringLiteral("text.%1").arg(QLatin1String(e->iconvName)), e->bytes);
        }
        QByteArray utf16(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
        utf16Path = write(QStringLiteral("text.utf16le"), utf16);
        std::fprintf(stderr, "text: %lld characters; UTF-8 %.1f MB, Shift-JIS %.1f MB\n",
                     static_cast<long long>(text.size()), utf8.bytes.size() / 1e6, sjis.bytes.size() / 1e6);
    }

    QString write(const QString& name, const QByteArray& bytes) {
        const QString path = dir.filePath(name);
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size()) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            std::exit(1);
        }
        return path;
    }
};

Corpus& corpus() {
    static Corpus c;
    return c;
}

Corpus::Encoded& pick(const benchmark::State& state) {
    return state.range(0) == 0 ? corpus().utf8 : corpus().sjis;
}

void label(benchmark::State& state, const Corpus::Encoded& e) {
    state.SetLabel(e.iconvName);
    state.SetBytesProcessed(int64_t(state.iterations()) * e.bytes.size());
}

void runIconv(benchmark::State& state, const QStringList& args) {
    const ProcessResult result = Process::run(QStringLiteral("iconv"), args);
    if (!result.succeeded()) state.SkipWithError(("iconv failed: " + result.standardError).constData());
}

void BM_ReadFile(benchmark::State& state) {
    Corpus::Encoded& e = pick(state);
    for (auto _ : state) {
        QVStringEncoding encoding = e.encoding;
        auto text = FileEncodings::createWithContentsOfFile(e.path, &encoding);
        if (!text || text->size() != corpus().text.size()) state.SkipWithError("read went wrong");
        benchmark::DoNotOptimize(text);
    }
    label(state, e);
}

void BM_IconvRead(benchmark::State& state) {
    Corpus::Encoded& e = pick(state);
    for (auto _ : state)
        runIconv(state, {QStringLiteral("-f"), QLatin1String(e.iconvName), QStringLiteral("-t"),
                         QStringLiteral("UTF-16LE"), QStringLiteral("-o"), QStringLiteral("/dev/null"), e.path});
    label(state, e);
}

void BM_DecodeInMemory(benchmark::State& state) {
    Corpus::Encoded& e = pick(state);
    for (auto _ : state) {
        auto text = TextEncoding::decode(e.bytes, e.encoding);
        benchmark::DoNotOptimize(text);
    }
    label(state, e);
}

void BM_Write(benchmark::State& state) {
    Corpus::Encoded& e = pick(state);
    for (auto _ : state) {
        QVStringEncoding encoding = e.encoding;
        auto bytes = FileEncodings::dataUsingEncoding(corpus().text, &encoding);
        if (!bytes || bytes->size() != e.bytes.size()) state.SkipWithError("write went wrong");
        benchmark::DoNotOptimize(bytes);
    }
    label(state, e);
}

void BM_IconvWrite(benchmark::State& state) {
    Corpus::Encoded& e = pick(state);
    for (auto _ : state)
        runIconv(state, {QStringLiteral("-f"), QStringLiteral("UTF-16LE"), QStringLiteral("-t"),
                         QLatin1String(e.iconvName), QStringLiteral("-o"), QStringLiteral("/dev/null"),
                         corpus().utf16Path});
    label(state, e);
}

// Argument 0 is UTF-8, 1 Shift-JIS; each pair runs ours then iconv's.
#define QV_PAIR(fn) BENCHMARK(fn)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0)
QV_PAIR(BM_ReadFile);
QV_PAIR(BM_IconvRead);
QV_PAIR(BM_DecodeInMemory);
QV_PAIR(BM_Write);
QV_PAIR(BM_IconvWrite);

QByteArray outputOf(const QStringList& argv, const QString& path) {
    paired::run(argv, path.toLocal8Bit().constData());
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void wholeProcesses() {
    if (Process::findExecutable(QStringLiteral("iconv")).isEmpty() || !QFileInfo(paired::driver()).isExecutable()) {
        std::printf("whole processes: iconv or %s missing\n", qPrintable(paired::driver()));
        return;
    }
    bool ok = false;
    int rounds = qEnvironmentVariableIntValue("QORVEL_BENCH_ROUNDS", &ok);
    if (!ok || rounds <= 0) rounds = 5;
    for (const Corpus::Encoded* e : {&corpus().utf8, &corpus().sjis}) {
        const QStringList ours{paired::driver(), QStringLiteral("decode"), QLatin1String(e->iconvName), e->path};
        const QStringList peer{QStringLiteral("iconv"), QStringLiteral("-f"), QLatin1String(e->iconvName), QStringLiteral("-t"),
                               QStringLiteral("UTF-16LE"), e->path};
        const bool same = outputOf(ours, corpus().dir.filePath(QStringLiteral("ours.out"))) ==
                          outputOf(peer, corpus().dir.filePath(QStringLiteral("peer.out")));
        paired::addRow(paired::row(std::string("decode ") + e->iconvName + " " + std::to_string(int(e->bytes.size() / 1000000)) +
                                       " MB to UTF-16LE" + (same ? "" : " OUTPUTS DIFFER"),
                                   paired::compare(ours, peer, rounds)));
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (qgetenv("QORVEL_BENCH_PROCESSES") != "0") wholeProcesses();
    paired::printTable("Encodings: qvdriver decode / iconv, whole processes");
    return 0;
}
