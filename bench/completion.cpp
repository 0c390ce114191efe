// Completion on a keystroke: the partial word, its candidates and their sort for every one- to
// three-character prefix of the shipped PHP and JavaScript keys, beside a linear scan of the
// same sorted keys and QCompleter (a sorted QStringListModel, case-sensitive) handing over the
// same candidates; showing the list for the longest candidate lists on an editor view; reloading
// the 10,000 index keys one file sees; and the markup and style-sheet context on a one-megabyte
// line. Each lookup is timed alone; the program prints p50, p99 and the ratios at the end.
#include "completion/QVCSSCodeCompletion.h"
#include "completion/QVCodeCompletionViewController.h"
#include "completion/QVCodeIndex.h"
#include "completion/QVCodeIndexer.h"
#include "completion/QVKeywordCodeCompletion.h"
#include "completion/QVTagCodeCompletion.h"
#include "editor/HTMLView.h"
#include "languages/QVBundle.h"
#include "languages/QVBundleFileCategories.h"
#include "languages/QVBundleRepository.h"
#include "platform/MainQueue.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"

#include <benchmark/benchmark.h>

#include <QAbstractItemModel>
#include <QApplication>
#include <QCompleter>
#include <QDir>
#include <QFile>
#include <QSet>
#include <QStringListModel>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>
#include "QorvelSourceTree.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Percentiles {
    double p50 = 0, p99 = 0, max = 0;
    qsizetype count = 0;
};

Percentiles percentiles(std::vector<double> micros) {
    Percentiles p;
    if (micros.empty()) return p;
    std::sort(micros.begin(), micros.end());
    p.count = qsizetype(micros.size());
    p.p50 = micros[micros.size() / 2];
    p.p99 = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
    p.max = micros.back();
    return p;
}

std::map<std::string, Percentiles>& figures() {
    static std::map<std::string, Percentiles> all;
    return all;
}

double timeMicros(const std::function<void()>& work) {
    const auto start = Clock::now();
    work();
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

std::shared_ptr<QVBundle> shipped(const QString& language) {
    QVCodeCompletion::registerFactories();
    return QVBundle::bundleWithPath(QStringLiteral(QORVEL_SOURCE_RESOURCES "/Bundles/") + language + ".qvbundle", false);
}

struct Language {
    std::shared_ptr<QVBundle> bundle;
    std::shared_ptr<QVKeywordCodeCompletion> engine;
    QStringList keys;      // sorted, duplicates kept (overloads)
    QStringList prefixes;  // every one- to three-character prefix
};

const std::vector<Language>& languages() {
    static const std::vector<Language> all = [] {
        std::vector<Language> made;
        for (const QString& name : {QStringLiteral("PHP"), QStringLiteral("JavaScript")}) {
            Language l;
            l.bundle = shipped(name);
            l.engine = std::dynamic_pointer_cast<QVKeywordCodeCompletion>(l.bundle->codeCompletion());
            QSet<QString> prefixes;
            for (const QVCodeCompletionEntry& entry : l.engine->keywordEntries(true)) {
                l.keys << entry.key();
                for (int n = 1; n <= 3 && n <= entry.key().size(); ++n) prefixes.insert(entry.key().left(n));
            }
            l.prefixes = QStringList(prefixes.begin(), prefixes.end());
            l.prefixes.sort();
            made.push_back(l);
        }
        return made;
    }();
    return all;
}

void BM_Lookup(benchmark::State& state, int method) {
    std::vector<double> times;
    qsizetype candidates = 0;
    for (auto _ : state) {
        for (const Language& l : languages()) {
            QStringListModel model(l.keys);
            QCompleter completer(&model);
            completer.setModelSorting(QCompleter::CaseSensitivelySortedModel);
            completer.setCaseSensitivity(Qt::CaseSensitive);
            for (const QString& prefix : l.prefixes) {
                times.push_back(timeMicros([&] {
                    if (method == 0) {
                        const QString partial = l.engine->partialKeywordForString(prefix, prefix.size());
                        const auto entries = l.engine->completionsForString(partial, QString(), prefix.size());
                        candidates += entries ? entries->size() : 0;
                    } else if (method == 1) {
                        QStringList found;
                        for (const QString& key : l.keys)
                            if (key.startsWith(prefix)) found << key;
                        found.sort();
                        candidates += found.size();
                    } else {
                        completer.setCompletionPrefix(prefix);
                        const QAbstractItemModel* matches = completer.completionModel();
                        QStringList found;
                        for (int row = 0, rows = matches->rowCount(); row < rows; ++row)
                            found << matches->index(row, 0).data().toString();
                        candidates += found.size();
                    }
                }));
            }
        }
    }
    static const char* names[] = {"lookup/engine", "lookup/linear", "lookup/qcompleter"};
    const Percentiles p = percentiles(times);
    figures()[names[method]] = p;
    state.counters["p50_us"] = p.p50;
    state.counters["p99_us"] = p.p99;
    state.counters["lookups"] = double(p.count);
    state.counters["candidates"] = double(candidates);
}

void BM_Popup(benchmark::State& state) {
    HTMLView view;
    view.resize(900, 700);
    view.setString(QStringLiteral("x"));
    view.show();
    QVCodeCompletionViewController popup(&view);
    // The longest candidate lists of both languages.
    std::vector<QList<QVCodeCompletionEntry>> lists;
    for (const Language& l : languages())
        for (const QString& prefix : l.prefixes)
            if (prefix.size() == 1) lists.push_back(*l.engine->completionsForString(prefix, QString(), 1));
    std::sort(lists.begin(), lists.end(), [](const auto& a, const auto& b) { return a.size() > b.size(); });
    lists.resize(std::min<size_t>(lists.size(), 8));
    std::vector<double> times;
    for (auto _ : state)
        for (const auto& entries : lists) {
            times.push_back(timeMicros([&] {
                popup.displayEntries(entries, entries.first().key());
                QApplication::processEvents();  // the paint it asked for
            }));
            popup.hide();
        }
    const Percentiles p = percentiles(times);
    figures()["popup/show"] = p;
    state.counters["p99_us"] = p.p99;
    state.counters["longest"] = double(lists.front().size());
}

// A file that includes nine others: 10,000 keys visible from it.
struct IndexSetup {
    std::unique_ptr<UserDefaults> defaults;
    std::unique_ptr<QVBundleRepository> repository;
    std::unique_ptr<QVCodeIndex> index;
    std::shared_ptr<QVKeywordCodeCompletion> engine;
    QString file;
};

IndexSetup& indexSetup(const QString& scratch) {
    static IndexSetup s = [&scratch] {
        IndexSetup s;
        s.defaults = std::make_unique<UserDefaults>(scratch + "/config/defaults.plist");
        s.defaults->setBool(true, QVCodeIndexingEnabled);
        const QString contents = Defaults::appSupportPathForFile("Bundles") + "/Lang.qvbundle/Contents";
        QDir().mkpath(contents);
        PropertyList::writeFile(QVariantMap{{"CFBundleIdentifier", "com.example.lang"}, {"CFBundleName", "Lang"},
                                            {"file-types", QStringList{"t"}}},
                                contents + "/Info.plist", PlistFormat::XML);
        PropertyList::writeFile(QVariantMap{{"format-type", "keyword"}, {"format-id", "text.t"}},
                                contents + "/syntax.plist", PlistFormat::XML);
        const QVariantMap rule{{"pattern", "def (\\w+)"}, {"key", 1}, {"completion", 1}, {"type", "function"}};
        PropertyList::writeFile(QVariantMap{{"keys", QVariantList{rule}}, {"external-files", QStringList{"use '([^']+)'"}}},
                                contents + "/indexer.plist", PlistFormat::XML);
        QVBundleFileCategories::setLookup([](const QString&) -> std::optional<QStringList> { return std::nullopt; });
        QVCodeIndexer::registerFactory();
        s.repository = std::make_unique<QVBundleRepository>(s.defaults.get());
        s.repository->bundles();
        s.index = std::make_unique<QVCodeIndex>(scratch + "/index.db", s.defaults.get(), s.repository.get());
        QDir().mkpath(scratch + "/files");
        for (int f = 0; f < 10; ++f) {
            QString text;
            for (int k = 0; k < 1000; ++k) text += QStringLiteral("def key%1_%2\n").arg(f).arg(k);
            if (f == 0)
                for (int g = 1; g < 10; ++g) text += QStringLiteral("use 'f%1.t'\n").arg(g);
            QFile file(scratch + QStringLiteral("/files/f%1.t").arg(f));
            if (!file.open(QIODevice::WriteOnly)) std::abort();
            file.write(text.toUtf8());
        }
        s.file = scratch + "/files/f0.t";
        s.index->start();
        s.index->indexDirectory(scratch + "/files");
        s.index->waitUntilIdle(600000);
        MainQueue::drain();
        s.engine = std::make_shared<QVKeywordCodeCompletion>(s.repository->bundleForFileCategory(QString(), "t"), QVariantMap());
        s.engine->setCodeIndex(s.index.get());
        return s;
    }();
    return s;
}

void BM_Reload(benchmark::State& state, QString scratch) {
    IndexSetup& s = indexSetup(scratch);
    std::vector<double> times;
    qsizetype keys = 0;
    for (auto _ : state) {
        s.engine->forgetLastPath();
        times.push_back(timeMicros([&] {
            const auto entries = s.engine->completionsForString("key", s.file, 3);
            keys = entries ? entries->size() : 0;
        }));
    }
    const Percentiles p = percentiles(times);
    figures()["index/reload"] = p;
    state.counters["p99_ms"] = p.p99 / 1000;
    state.counters["keys"] = double(keys);
}

void BM_Context(benchmark::State& state, int which) {
    static const std::shared_ptr<QVBundle> html = shipped("HTML"), css = shipped("CSS");
    const std::shared_ptr<QVBundleComponent> component = (which == 1 ? css : html)->codeCompletion();
    auto* found = dynamic_cast<QVCodeCompletion*>(component.get());
    if (!found) {
        state.SkipWithError("no engine");
        return;
    }
    QVCodeCompletion& engine = *found;
    QString text;
    if (which == 0) text = QString("<p class=\"a\">x</p>").repeated(1 << 16) + "<div cl";
    else if (which == 1) text = QString("a{color:red}").repeated(1 << 17) + "b{back";
    else text = "<div " + QString("a=\"b ").repeated(800) + "di";  // unbalanced quotes
    std::vector<double> times;
    for (auto _ : state)
        times.push_back(timeMicros([&] {
            const QString partial = engine.partialKeywordForString(text, text.size());
            engine.completionsForString(partial, QString(), text.size());
            engine.keywordRangeForString(text, text.size());
        }));
    static const char* names[] = {"context/tag_1MB_line", "context/style_1MB_line", "context/tag_unbalanced"};
    const Percentiles p = percentiles(times);
    figures()[names[which]] = p;
    state.counters["p99_us"] = p.p99;
}

}  // namespace

int main(int argc, char** argv) {
    QTemporaryDir sandbox;
    qputenv("XDG_CONFIG_HOME", (sandbox.path() + "/config").toUtf8());
    qputenv("XDG_DATA_HOME", (sandbox.path() + "/data").toUtf8());
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    for (int round = 0; round < 2; ++round)
        for (int method = 0; method < 3; ++method)
            benchmark::RegisterBenchmark(method == 0 ? "lookup/engine" : method == 1 ? "lookup/linear" : "lookup/qcompleter",
                                         BM_Lookup, method)
                ->Iterations(3)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime();
    benchmark::RegisterBenchmark("popup/show", BM_Popup)->Iterations(20)->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark("index/reload", BM_Reload, sandbox.path())->Iterations(30)->Unit(benchmark::kMillisecond)->UseRealTime();
    for (int which = 0; which < 3; ++which)
        benchmark::RegisterBenchmark("context", BM_Context, which)->Iterations(200)->Unit(benchmark::kMicrosecond)->UseRealTime();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    std::printf("\n%-26s %10s %10s %10s %8s\n", "figure", "p50 us", "p99 us", "max us", "count");
    for (const auto& [name, p] : figures())
        std::printf("%-26s %10.2f %10.2f %10.2f %8lld\n", name.c_str(), p.p50, p.p99, p.max, qlonglong(p.count));
    const auto& f = figures();
    if (f.count("lookup/engine") && f.count("lookup/qcompleter") && f.count("lookup/linear"))
        std::printf("\nlookup p99: engine / QCompleter = %.2f, engine / linear scan = %.2f\n",
                    f.at("lookup/engine").p99 / f.at("lookup/qcompleter").p99, f.at("lookup/engine").p99 / f.at("lookup/linear").p99);
    return 0;
}
