// The code-navigation pop-up of a large script, built by a language's searches, beside
// universal-ctags listing the same places of the same file.
//
// The text: about 4 MB of JavaScript (functions, classes, methods, comments and a separator
// comment every 50 functions) generated from a fixed seed. Our side is what the editor does for
// the pop-up: QVParser::codeNavItemsForString over the whole text with three searches (functions
// titled "name()", classes titled "class Name", separator comments), which makes every item's
// title, font and range and sorts them by location; the text is already in memory. The peer is
// `ctags -f - --languages=JavaScript --kinds-JavaScript=fc` run as a child process on the file,
// so its time includes starting it and reading the file. Wall-clock times; the program prints the
// ratio at the end and the item counts of both sides (they find the same functions and classes).
// As whole processes, bench/driver's `qvdriver navigate FILE` (read, decode, the shipped
// JavaScript language's navigation, one line per place) and the same ctags run in turns on the
// generated script and on typescript.js (node-typescript), with the places each side lists.
// QORVEL_BENCH_ROUNDS sets the pairs (default 5).
#include "languages/QVCodeNavMenuItem.h"
#include "languages/QVCodeNavParser.h"
#include "languages/QVParser.h"
#include "platform/Process.h"

#include "bench/Paired.h"

#include <benchmark/benchmark.h>

#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>

namespace {

constexpr qsizetype kTextBytes = 4 * 1024 * 1024;

struct Sample {
    QString text;
    QString path;
    qsizetype functions = 0;
    qsizetype classes = 0;
};

QTemporaryDir& folder() {
    static QTemporaryDir dir;
    return dir;
}

const Sample& sample() {
    static const Sample made = [] {
        Sample s;
        QRandomGenerator random(42);
        QString text;
        text.reserve(kTextBytes + 4096);
        while (text.size() < kTextBytes) {
            const quint32 kind = random.bounded(10);
            const QString name = QStringLiteral("item%1_%2").arg(s.functions + s.classes).arg(random.bounded(1000));
            if (kind == 0) {
                text += QStringLiteral("class %1 {\n  constructor(a) { this.a = a; }\n  value() { return this.a; }\n}\n\n")
                            .arg(name.left(1).toUpper() + name.mid(1));
                ++s.classes;
            } else {
                text += QStringLiteral("// Computes %1 from its inputs.\nfunction %1(a, b) {\n  const c = a + b * %2;\n"
                                       "  if (c > 10) { return c - 1; }\n  return \"%1\".length + c;\n}\n\n")
                            .arg(name)
                            .arg(random.bounded(100));
                if (++s.functions % 50 == 0) text += QStringLiteral("// ----------\n\n");
            }
        }
        s.text = text;
        s.path = folder().filePath(QStringLiteral("sample.js"));
        QFile file(s.path);
        if (file.open(QIODevice::WriteOnly)) file.write(text.toUtf8());
        return s;
    }();
    return made;
}

std::shared_ptr<QVParser> javaScriptParser() {
    auto parser = std::make_shared<QVParser>(std::weak_ptr<QVBundle>(), QStringLiteral("source.js"));
    const QVariantList searches{
        QVariantMap{{QStringLiteral("pattern"), QStringLiteral("function\\s+([A-Za-z_$][\\w$]*)")},
                    {QStringLiteral("display"), QStringLiteral("$1\\(\\)")}},
        QVariantMap{{QStringLiteral("pattern"), QStringLiteral("class\\s+([A-Za-z_$][\\w$]*)")},
                    {QStringLiteral("display"), QStringLiteral("class $1")},
                    {QStringLiteral("bold"), true}},
        QVariantMap{{QStringLiteral("pattern"), QStringLiteral("// -{4,}")}, {QStringLiteral("display"), QString()}},
    };
    parser->setCodeNavParser(std::make_shared<QVCodeNavParser>(searches, parser));
    return parser;
}

std::map<std::string, double>& timings() {
    static std::map<std::string, double> seconds;
    return seconds;
}

void record(benchmark::State& state, const std::string& name, std::chrono::steady_clock::duration total) {
    const double seconds = std::chrono::duration<double>(total).count() / double(state.iterations());
    timings()[name] = seconds;
}

void BM_CodeNav(benchmark::State& state) {
    const Sample& s = sample();
    const auto parser = javaScriptParser();
    qsizetype items = 0;
    qsizetype titled = 0;
    std::chrono::steady_clock::duration total{};
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const QList<QVCodeNavMenuItem> found = parser->codeNavItemsForString(s.text, QVRange(0, s.text.size()));
        total += std::chrono::steady_clock::now() - start;
        items = found.size();
        titled = std::count_if(found.begin(), found.end(), [](const QVCodeNavMenuItem& item) { return !item.isSeparator(); });
        benchmark::DoNotOptimize(found);
    }
    record(state, "codenav", total);
    state.counters["items"] = double(items);
    state.counters["places"] = double(titled);
    state.SetBytesProcessed(state.iterations() * s.text.size() * 2);
}

void BM_Ctags(benchmark::State& state) {
    const Sample& s = sample();
    if (Process::findExecutable(QStringLiteral("ctags")).isEmpty()) {
        state.SkipWithError("ctags (universal-ctags) is not installed");
        return;
    }
    const QStringList args{QStringLiteral("-f"), QStringLiteral("-"), QStringLiteral("--languages=JavaScript"),
                           QStringLiteral("--kinds-JavaScript=fc"), s.path};
    qsizetype places = 0;
    std::chrono::steady_clock::duration total{};
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const ProcessResult result = Process::run(QStringLiteral("ctags"), args);
        total += std::chrono::steady_clock::now() - start;
        if (!result.succeeded()) {
            state.SkipWithError("ctags failed");
            return;
        }
        places = result.standardOutput.count('\n');
    }
    record(state, "ctags", total);
    state.counters["places"] = double(places);
    state.SetBytesProcessed(state.iterations() * s.text.size() * 2);
}

void wholeProcesses() {
    if (Process::findExecutable(QStringLiteral("ctags")).isEmpty() || !QFileInfo(paired::driver()).isExecutable()) {
        std::printf("whole processes: ctags or %s missing\n", qPrintable(paired::driver()));
        return;
    }
    bool ok = false;
    int rounds = qEnvironmentVariableIntValue("QORVEL_BENCH_ROUNDS", &ok);
    if (!ok || rounds <= 0) rounds = 5;
    QStringList files{sample().path};
    const QString real = QStringLiteral("/usr/share/nodejs/typescript/lib/typescript.js");
    if (QFileInfo(real).isFile()) files << real;
    for (const QString& file : files) {
        const QStringList ours{paired::driver(), QStringLiteral("navigate"), file};
        const QStringList peer{QStringLiteral("ctags"), QStringLiteral("-f"), QStringLiteral("-"), QStringLiteral("--languages=JavaScript"),
                               QStringLiteral("--kinds-JavaScript=fc"), file};
        const qsizetype ourPlaces = Process::run(ours[0], ours.mid(1)).standardOutput.count('\n');
        const qsizetype theirPlaces = Process::run(peer[0], peer.mid(1)).standardOutput.count('\n');
        paired::addRow(paired::row("code navigation of " + QFileInfo(file).fileName().toStdString() + " (" + std::to_string(ourPlaces) +
                                       " places, ctags " + std::to_string(theirPlaces) + ") / ctags",
                                   paired::compare(ours, peer, rounds)));
    }
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    // Fonts of the items come from the platform integration.
    QGuiApplication app(argc, argv);
    Process::ignoreSigpipe();

    benchmark::RegisterBenchmark("QVCodeNavParser/whole_script", BM_CodeNav)->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark("ctags/whole_script", BM_Ctags)->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    const Sample& s = sample();
    std::printf("\ntext: %.1f MB, %lld functions, %lld classes\n", double(s.text.size()) / (1024 * 1024),
                static_cast<long long>(s.functions), static_cast<long long>(s.classes));
    const auto ours = timings().find("codenav");
    const auto peer = timings().find("ctags");
    if (ours != timings().end() && peer != timings().end() && peer->second > 0)
        std::printf("code navigation in memory / ctags whole process = %.2f\n", ours->second / peer->second);
    if (qgetenv("QORVEL_BENCH_PROCESSES") != "0") wholeProcesses();
    paired::printTable("Code navigation: qvdriver navigate / ctags, whole processes");
    return 0;
}
