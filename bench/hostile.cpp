// What hostile inputs cost now that the faults behind them are mended: regular expressions that
// once took tens of seconds (over UTF-16 and UTF-8), colouring many short strings and comments
// with no word after them (each once a walk to the text's end), a tag whose quoted values run on
// without a ">" (each value once a look for it to the text's end), and the inputs the fuzzers kept
// (several were hangs). The tests check each answer; the time is only here. Milliseconds per run;
// the fuzz row also reports its slowest input.
#include "fuzz/FuzzTargets.h"
#include "platform/QVRegex.h"
#include "tests/languages/LanguageFixtures.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <algorithm>
#include <chrono>

namespace {

struct RegexCase {
    const char* name;
    QString pattern;
    QString subject;
    quint32 options;
};

const std::vector<RegexCase>& regexCases() {
    static const std::vector<RegexCase> cases = [] {
        const QString as = QString(160, QLatin1Char('a')) + "b";
        return std::vector<RegexCase>{
            {"unclosed comments", "<!--[\\s\\S]*?-->", QString("<!--x").repeated(32 * 1024) + ">", QVRegex::MatchDefault},
            {"unclosed block comments", "/\\*[\\s\\S]*?\\*/", QString("/*x").repeated(48 * 1024) + "/", QVRegex::MatchDefault},
            {"non-space run over a long text", "x(\\S+)$", "x" + QString(300000, QChar(0xE9)), QVRegex::MatchDefault},
            {"nested repeats on a near miss", "^(a+)+$", as, QVRegex::MatchDefault},
            {"retry after an empty match", "|(a+)+$", as, QVRegex::MatchNonEmptyAtStart},
            {"long repeated group", "(a|b)*c", QString(200000, QLatin1Char('a')) + "c", QVRegex::MatchDefault},
        };
    }();
    return cases;
}

void BM_HostileRegex(benchmark::State& state, bool utf16) {
    const RegexCase& c = regexCases().at(size_t(state.range(0)));
    state.SetLabel(std::string(c.name) + (utf16 ? " (UTF-16)" : " (UTF-8)"));
    auto regex = QVRegex::create(c.pattern);
    const QByteArray bytes = c.subject.toUtf8();
    for (auto _ : state) {
        QVError error;
        const auto m = utf16 ? regex->copyMatchForString(c.subject, QVRange(0, c.subject.size()), c.options, 0, &error)
                             : regex->copyMatchForUTF8Data(bytes, QVRange(0, bytes.size()), c.options, 0, &error);
        benchmark::DoNotOptimize(m);
    }
}

void BM_ShortStringsColoured(benchmark::State& state) {
    const QString unit = state.range(0) == 0 ? QStringLiteral("'', ") : QStringLiteral("/**/ ");
    state.SetLabel(unit.trimmed().toStdString() + " over 256 KB");
    const QString text = QStringLiteral("if ") + unit.repeated(256 * 1024 / unit.size());
    const auto theme = fixtures::theme();
    const QVariantMap standard = fixtures::standardAttributes(*theme);
    for (auto _ : state) {
        auto parser = QVParser::parserForPlist({}, fixtures::javaScriptSyntax());
        parser->setTheme(theme);
        QVTextStorage storage;
        storage.replaceCharacters(QVRange(0, 0), text);
        fixtures::highlightAll(storage, *parser, standard);
        benchmark::DoNotOptimize(storage.length());
    }
}

void BM_TagWithoutItsEndColoured(benchmark::State& state) {
    state.SetLabel("<a and \"v\" over 256 KB, no >");
    const QString text = QStringLiteral("<a ") + QStringLiteral("\"v\" ").repeated(256 * 1024 / 4);
    const auto theme = fixtures::theme();
    const QVariantMap standard = fixtures::standardAttributes(*theme);
    for (auto _ : state) {
        auto parser = QVParser::parserForPlist({}, fixtures::htmlSyntax());
        parser->setTheme(theme);
        QVTextStorage storage;
        storage.replaceCharacters(QVRange(0, 0), text);
        fixtures::highlightAll(storage, *parser, standard);
        benchmark::DoNotOptimize(storage.length());
    }
}

void BM_FuzzCorpusReplayed(benchmark::State& state) {
    std::vector<std::pair<fuzz::Entry, QByteArray>> inputs;
    for (const char* const* name = fuzz::targetNames(); *name; ++name) {
        const QDir folder(QStringLiteral(QORVEL_FUZZ_CORPUS "/") + QLatin1String(*name));
        for (const QString& file : folder.entryList(QDir::Files, QDir::Name)) {
            QFile input(folder.filePath(file));
            if (input.open(QIODevice::ReadOnly)) inputs.emplace_back(fuzz::entryNamed(QLatin1String(*name)), input.readAll());
        }
    }
    double slowest = 0;
    for (auto _ : state) {
        for (const auto& [entry, bytes] : inputs) {
            const auto start = std::chrono::steady_clock::now();
            benchmark::DoNotOptimize(entry(bytes));
            slowest = std::max(slowest, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        }
    }
    state.counters["inputs"] = double(inputs.size());
    state.counters["slowest_ms"] = slowest;
}

}  // namespace

BENCHMARK_CAPTURE(BM_HostileRegex, utf16, true)->DenseRange(0, 5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_HostileRegex, utf8, false)->DenseRange(0, 5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ShortStringsColoured)->DenseRange(0, 1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TagWithoutItsEndColoured)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FuzzCorpusReplayed)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
