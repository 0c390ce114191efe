// Index a generated 5,000-file web tree and a tree of real web files from Debian packages (see
// realWebTree in BenchSupport.h) with the code index, beside universal-ctags given the same
// regular expressions.
//
// The corpus: 5,000 HTML, CSS, JavaScript and PHP files of 0.5 to 8 KB in 50 folders, generated
// once per run from a fixed seed, 10 to 30 symbols each (some 100,000 keys in all) among bodies
// and comments, with includes between files of a folder.
//
// Our side is the code index as the application runs it: a QVCodeIndex over a fresh "index.db"
// is given the root folder and its thread walks the tree, reads each file, runs the bundle's rules
// (comments deleted, embedded scripts handed over, includes resolved, keys found) and writes one
// transaction per file; the timing ends when the thread is idle again. The rules are inline
// bundles whose key patterns are exactly the ones ctags gets. The peer is `ctags -R` with an
// options file defining one regex language per extension (the built-in parsers switched off),
// writing a tags file; it has no comments to delete and no includes to follow. Both run at nice
// 19, the index thread's own priority, so that other load on the machine weighs on both alike.
//
// In process, the medians of the iterations are compared. As whole processes, bench/driver's
// `qvdriver index` (a fresh index database, the first pass, the thread idle again) and
// `nice -n 19 ctags -R` run in turns, and the paired ratios of wall and processor time are given.
// QORVEL_BENCH_ROUNDS sets the pairs (default 3).
//
// Also measured: an unchanged rescan (the same folder queued again: every file is stat'ed and
// looked up, none is read), the latency of key queries on the main thread against the 100,000
// keys (p50 and p99 of queries for the keys visible from one file, and of type-wide queries),
// and the longest wait of such queries while the index thread is busy with a first pass.
#include "bench/BenchSupport.h"
#include "bench/Paired.h"

#include "completion/QVCodeIndex.h"
#include "completion/QVCodeIndexDatabase.h"
#include "completion/QVCodeIndexer.h"
#include "database/QVDatabase.h"
#include "database/QVResultSet.h"
#include "languages/QVBundleFileCategories.h"
#include "languages/QVBundleRepository.h"
#include "platform/Process.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <vector>

#include <sys/resource.h>
#include <time.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFiles = 5000;
constexpr int kFolders = 50;

// One symbol rule: the pattern both sides use (POSIX classes, which PCRE2 and ctags' regex both
// read), the ctags kind, and our type title.
struct Rule {
    const char* pattern;
    const char* kind;
    const char* type;
};
struct Language {
    const char* name;
    const char* parserIdentifier;
    const char* extension;
    std::vector<Rule> rules;
};

const std::vector<Language>& languages() {
    static const std::vector<Language> list = {
        {"qvjs", "text.js", "js",
         {{"function[[:space:]]+([A-Za-z_$][A-Za-z0-9_$]*)[[:space:]]*\\(", "f,function", "function"},
          {"class[[:space:]]+([A-Za-z_$][A-Za-z0-9_$]*)", "c,class", "class"},
          {"const[[:space:]]+([A-Za-z_$][A-Za-z0-9_$]*)[[:space:]]*=[[:space:]]*\\(", "v,variable", "function"}}},
        {"qvphp", "text.php", "php",
         {{"function[[:space:]]+([A-Za-z_][A-Za-z0-9_]*)[[:space:]]*\\(", "f,function", "function"},
          {"class[[:space:]]+([A-Za-z_][A-Za-z0-9_]*)", "c,class", "class"},
          {"define\\('([A-Za-z_][A-Za-z0-9_]*)'", "d,define", "constant"}}},
        {"qvcss", "text.css", "css",
         {{"\\.([A-Za-z_][A-Za-z0-9_-]*)[[:space:]]*\\{", "c,class", "class"},
          {"#([A-Za-z_][A-Za-z0-9_-]*)[[:space:]]*\\{", "i,id", "id"}}},
        {"qvhtml", "text.html", "html", {{"id=\"([A-Za-z_][A-Za-z0-9_-]*)\"", "i,id", "id"}}},
    };
    return list;
}

// Our bundles' rules: the same key patterns, plus what the index does beyond ctags: comments
// deleted first, referenced files resolved, and scripts in pages handed to the script rules.
QVariantMap indexerRules(const Language& language) {
    QVariantList keys;
    for (const Rule& rule : language.rules)
        keys << QVariantMap{{"pattern", rule.pattern}, {"key", 1}, {"completion", 1}, {"type", rule.type}};
    QVariantMap rules{{"keys", keys}};
    const QString ext = language.extension;
    if (ext == "js") {
        rules["comments"] = QStringList{"/\\*[\\s\\S]*?\\*/", "//[^\\n]*"};
        rules["external-files"] = QStringList{"import[^'\\n]*from[[:space:]]*'([^']+)'"};
    } else if (ext == "php") {
        rules["comments"] = QStringList{"/\\*[\\s\\S]*?\\*/", "//[^\\n]*"};
        rules["external-files"] = QStringList{"require_once[[:space:]]*'([^']+)'"};
    } else if (ext == "css") {
        rules["comments"] = QStringList{"/\\*[\\s\\S]*?\\*/"};
    } else {
        rules["comments"] = QStringList{"<!--[\\s\\S]*?-->"};
        rules["external-files"] = QStringList{"src=\"([^\"]+)\"", "href=\"([^\"]+\\.css)\""};
        rules["includes"] = QVariantList{QVariantMap{{"id", "text.js"}, {"begin", "<script>"}, {"end", "</script>"}}};
    }
    return rules;
}

// The languages are defined before they are named as the only ones to run: named first, ctags
// does not know them yet, warns, and runs its built-in parsers as well.
QString ctagsOptions() {
    QString options;
    for (const Language& language : languages()) {
        options += QString("--langdef=%1\n--map-%1=+.%2\n").arg(language.name, language.extension);
        for (const Rule& rule : language.rules)
            options += QString("--regex-%1=/%2/\\1/%3/\n").arg(language.name, rule.pattern, rule.kind);
    }
    return options + "--languages=" + QStringList{"qvjs", "qvphp", "qvcss", "qvhtml"}.join(',') + "\n";
}

const char* const kWords[] = {"menu", "header", "footer", "nav",   "item",   "content", "main",  "button",
                              "card", "list",   "title",  "link",  "image",  "panel",   "form",  "input",
                              "user", "page",   "data",   "value", "result", "modal",   "toggle", "cart",
                              "price", "order", "login",  "status", "report", "gallery"};

class Generator {
public:
    QByteArray word() { return kWords[_rnd.below(int(std::size(kWords)))]; }
    QByteArray name() { return word() + QByteArray::number(_rnd.below(100000)); }
    QByteArray Name() {
        QByteArray n = name();
        n[0] = char(n[0] - 32);
        return n;
    }
    // Some prose for bodies and comments.
    QByteArray words(int count) {
        QByteArray out;
        for (int i = 0; i < count; ++i) out += (i ? " " : "") + word();
        return out;
    }
    QByteArray statements(const char* indent, const char* sigil, int count) {
        QByteArray out;
        for (int i = 0; i < count; ++i)
            out += QByteArray(indent) + sigil + word() + " = " + sigil + word() + " + " + QByteArray::number(_rnd.below(100)) +
                   "; // " + words(3) + "\n";
        return out;
    }
    // Each file holds `symbols` definitions (about 20) among bodies and comments, the comments
    // holding look-alikes that only ctags takes.
    QByteArray js(int n, int symbols) {
        QByteArray out = "import { " + name() + " } from './" + siblingOf(n, 2, "js") + "';\n";
        out += "import { " + name() + " } from './" + siblingOf(n, 2, "js") + "';\n\n";
        for (int i = 0; i < symbols; ++i) {
            if (_rnd.below(4) == 0) out += "/* " + words(6) + "\n * function notAKey" + name() + "() {}\n */\n";
            switch (_rnd.below(4)) {
            case 0: out += "class " + Name() + " {\n  constructor() {\n" + statements("    ", "this.", 2) + "  }\n}\n\n"; break;
            case 1: out += "const " + name() + " = (a, b) => {\n" + statements("  ", "", 2) + "  return a + b;\n};\n\n"; break;
            default:
                out += "function " + name() + "(" + word() + ", " + word() + ") {\n" + statements("  ", "", 1 + _rnd.below(4)) +
                       "  return " + word() + ";\n}\n\n";
                break;
            }
        }
        return out;
    }
    QByteArray php(int n, int symbols) {
        QByteArray out = "<?php\nrequire_once '" + siblingOf(n, 3, "php") + "';\nrequire_once '" +
                         siblingOf(n, 3, "php") + "';\n\n";
        for (int i = 0; i < symbols; ++i) {
            if (_rnd.below(4) == 0) out += "// function notAKey" + name() + "() " + words(5) + "\n";
            switch (_rnd.below(4)) {
            case 0: out += "class " + Name() + " {\n    public $" + word() + " = 0;\n" + statements("    ", "$", 1) + "}\n\n"; break;
            case 1: out += "define('" + name().toUpper() + "', " + QByteArray::number(_rnd.below(999)) + "); // " + words(4) + "\n"; break;
            default:
                out += "function " + name() + "($" + word() + ") {\n" + statements("    ", "$", 1 + _rnd.below(4)) +
                       "    return $" + word() + ";\n}\n\n";
                break;
            }
        }
        return out;
    }
    QByteArray css(int symbols) {
        QByteArray out;
        for (int i = 0; i < symbols; ++i) {
            if (_rnd.below(4) == 0) out += "/* ." + name() + " { color: red } " + words(5) + " */\n";
            out += (_rnd.below(4) == 0 ? "#" : ".") + name() + " {\n";
            for (int d = 1 + _rnd.below(5); d > 0; --d)
                out += "  " + word() + "-" + word() + ": " + QByteArray::number(_rnd.below(40)) + "px;\n";
            out += "}\n\n";
        }
        return out;
    }
    QByteArray html(int n, int symbols) {
        QByteArray out = "<html><head><link href=\"" + siblingOf(n, 1, "css") + "\">\n<script src=\"" +
                         siblingOf(n, 2, "js") + "\"></script></head><body>\n";
        for (int i = 0; i < symbols; ++i) {
            if (_rnd.below(5) == 0) out += "<!-- <div id=\"notAKey\"> " + words(5) + " -->\n";
            if (_rnd.below(5) == 0)
                out += "<script>\nfunction " + name() + "() {\n" + statements("  ", "", 2) + "}\n</script>\n";
            else
                out += "<div id=\"" + name() + "\" class=\"" + word() + "\">\n  <p>" + words(12 + _rnd.below(20)) + "</p>\n</div>\n";
        }
        return out + "</body></html>\n";
    }
    int below(int n) { return _rnd.below(n); }

private:
    // Another file of the same folder with the given kind (file number modulo 4).
    QByteArray siblingOf(int n, int kind, const char* ext) {
        const int perFolder = kFiles / kFolders;
        const int other = (n % perFolder / 4 + 1 + _rnd.below(perFolder / 4 - 1)) % (perFolder / 4) * 4 + kind;
        return "f" + QByteArray::number(other) + "." + ext;
    }
    BenchRandom _rnd{0xc0de1dedULL};
};

struct Corpus {
    QString root;
    int files = 0;
    qint64 bytes = 0;
};

// QORVEL_CODEINDEX_SCRATCH names a folder to work in and keep (for looking at the indexes and
// tags files afterwards); otherwise a temporary folder removed at exit.
QString scratch() {
    static QTemporaryDir dir(QDir::tempPath() + "/qorvel-codeindex-bench-XXXXXX");
    static const QString kept = qEnvironmentVariable("QORVEL_CODEINDEX_SCRATCH");
    return kept.isEmpty() ? dir.path() : kept;
}

const Corpus& webTree() {
    static const Corpus corpus = [] {
        Corpus c;
        c.root = scratch() + "/site";
        Generator gen;
        const char* const ext[] = {"html", "css", "js", "php"};
        const int perFolder = kFiles / kFolders;
        for (int n = 0; n < kFiles; ++n) {
            const QString folder = c.root + QString("/section%1").arg(n / perFolder);
            if (n % perFolder == 0) QDir().mkpath(folder);
            const int symbols = 10 + gen.below(21);
            const int local = n % perFolder;
            const int kind = local % 4;
            const QByteArray text = kind == 0 ? gen.html(local, symbols) : kind == 1 ? gen.css(symbols)
                                  : kind == 2 ? gen.js(local, symbols) : gen.php(local, symbols);
            QFile file(folder + QString("/f%1.%2").arg(local).arg(ext[kind]));
            if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size()) std::abort();
            ++c.files;
            c.bytes += text.size();
        }
        return c;
    }();
    return corpus;
}

const Corpus& realTree() {
    static const Corpus corpus = [] {
        Corpus c;
        c.root = realWebTree(scratch());
        if (c.root.isEmpty()) return c;
        for (QDirIterator it(c.root, QDir::Files, QDirIterator::Subdirectories); it.hasNext();) {
            it.next();
            ++c.files;
            c.bytes += it.fileInfo().size();
        }
        return c;
    }();
    return corpus;
}

// The environment of the whole run: settings, bundles, registry.
struct Setup {
    std::unique_ptr<UserDefaults> defaults;
    std::unique_ptr<QVBundleRepository> repository;
    QString optionsFile;
};

Setup& setup() {
    static Setup s = [] {
        Setup s;
        s.defaults = std::make_unique<UserDefaults>(scratch() + "/config/defaults.plist");
        s.defaults->setBool(true, QVCodeIndexingEnabled);
        for (const Language& language : languages()) {
            const QString contents = Defaults::appSupportPathForFile("Bundles") + "/" + language.name + ".qvbundle/Contents";
            QDir().mkpath(contents);
            PropertyList::writeFile(QVariantMap{{"CFBundleIdentifier", QString("com.example.") + language.name},
                                                {"CFBundleName", language.name},
                                                {"file-types", QStringList{language.extension}}},
                                    contents + "/Info.plist", PlistFormat::XML);
            PropertyList::writeFile(QVariantMap{{"format-type", "keyword"}, {"format-id", language.parserIdentifier}},
                                    contents + "/syntax.plist", PlistFormat::XML);
            PropertyList::writeFile(indexerRules(language), contents + "/indexer.plist", PlistFormat::XML);
        }
        QVBundleFileCategories::setLookup([](const QString&) -> std::optional<QStringList> { return std::nullopt; });
        QVCodeIndexer::registerFactory();
        s.repository = std::make_unique<QVBundleRepository>(s.defaults.get());
        s.repository->bundles();
        s.optionsFile = scratch() + "/ctags.options";
        QFile options(s.optionsFile);
        if (!options.open(QIODevice::WriteOnly)) std::abort();
        options.write(ctagsOptions().toUtf8());
        return s;
    }();
    return s;
}

QString databasePath(const QString& name) { return scratch() + "/" + name + ".db"; }

void removeDatabase(const QString& path) {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) QFile::remove(path + suffix);
}

std::unique_ptr<QVCodeIndex> makeIndex(const QString& path) {
    auto index = std::make_unique<QVCodeIndex>(path, setup().defaults.get(), setup().repository.get());
    index->start();
    index->waitUntilIdle(60000);
    return index;
}

// Seconds per iteration of each benchmark, for the table printed at the end.
std::map<std::string, double>& timings() {
    static std::map<std::string, double> t;
    return t;
}
std::map<std::string, double>& cpuTimings() {
    static std::map<std::string, double> t;
    return t;
}
std::map<std::string, double>& figures() {
    static std::map<std::string, double> f;
    return f;
}

// Processor time of this process (all its threads) and of its waited-for children, in seconds.
double processSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}
double childrenSeconds() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The median of every iteration so far (both rounds of a benchmark registered twice).
std::map<std::string, std::vector<double>>& samples() {
    static std::map<std::string, std::vector<double>> s;
    return s;
}

void record(const std::string& key, Clock::duration one) {
    auto& list = samples()[key];
    list.push_back(std::chrono::duration<double>(one).count());
    timings()[key] = paired::spread(list).median;
}

void recordCpu(const std::string& key, double seconds) {
    auto& list = samples()["cpu/" + key];
    list.push_back(seconds);
    cpuTimings()[key] = paired::spread(list).median;
}

// The number of rows of the keys table in an index file (a query of every key answers each
// title once).
struct RawCount {
    explicit RawCount(const QString& path) {
        const auto database = QVDatabase::databaseWithPath(path);
        if (!database || !database->open()) return;
        if (const auto rows = database->executeQuery("SELECT count(*) FROM keys"); rows && rows->next())
            keys = rows->intForColumnIndex(0);
    }
    qint64 keys = -1;
};

void BM_FirstPass(benchmark::State& state, const Corpus& (*corpus)(), const char* name) {
    if (corpus().root.isEmpty()) {
        state.SkipWithError("tree not installed");
        return;
    }
    setup();
    const QString path = databasePath(name);
    double cpu = 0;
    qint64 keys = 0;
    for (auto _ : state) {
        removeDatabase(path);
        auto index = makeIndex(path);
        const double cpuStart = processSeconds();
        const auto start = Clock::now();
        index->indexDirectory(corpus().root);
        if (!index->waitUntilIdle(600000)) state.SkipWithError("the index did not finish");
        cpu += processSeconds() - cpuStart;
        record(std::string("index/first/") + name, Clock::now() - start);
        recordCpu(std::string("index/first/") + name, processSeconds() - cpuStart);
        RawCount rows(path);
        keys = rows.keys;
    }
    state.counters["cpu_ms"] = cpu * 1000 / double(state.iterations());
    state.counters["files"] = corpus().files;
    state.counters["keys"] = double(keys);
    state.SetBytesProcessed(state.iterations() * corpus().bytes);
}

// The rules alone over every file of the tree, without the database: the part of a first pass
// that is extraction.
void BM_ExtractOnly(benchmark::State& state, const Corpus& (*corpus)(), const char* name) {
    if (corpus().root.isEmpty()) {
        state.SkipWithError("tree not installed");
        return;
    }
    setup();
    QStringList paths;
    for (QDirIterator it(corpus().root, QDir::Files, QDirIterator::Subdirectories); it.hasNext();) paths << it.next();
    double cpu = 0;
    qint64 keys = 0;
    for (auto _ : state) {
        const double cpuStart = processSeconds();
        keys = 0;
        for (const QString& path : std::as_const(paths)) {
            const auto indexer = QVCodeIndexer::indexerForPath(path, setup().repository.get());
            if (!indexer) continue;
            if (const auto output = indexer->runOnFile(path, setup().repository.get())) keys += output->results.size();
        }
        cpu += processSeconds() - cpuStart;
    }
    recordCpu(std::string("extract/") + name, cpu / double(std::max<qint64>(1, state.iterations())));
    state.counters["cpu_ms"] = cpu * 1000 / double(state.iterations());
    state.counters["keys"] = double(keys);
}

void BM_Rescan(benchmark::State& state, const Corpus& (*corpus)(), const char* name) {
    if (corpus().root.isEmpty()) {
        state.SkipWithError("tree not installed");
        return;
    }
    setup();
    const QString path = databasePath(name);
    auto index = makeIndex(path);
    index->indexDirectory(corpus().root);  // makes sure the index is complete before timing
    index->waitUntilIdle(600000);
    double cpu = 0;
    for (auto _ : state) {
        const double cpuStart = processSeconds();
        const auto start = Clock::now();
        index->indexDirectory(corpus().root);
        index->waitUntilIdle(600000);
        cpu += processSeconds() - cpuStart;
        record(std::string("index/rescan/") + name, Clock::now() - start);
        recordCpu(std::string("index/rescan/") + name, processSeconds() - cpuStart);
    }
    state.counters["cpu_ms"] = cpu * 1000 / double(state.iterations());
    state.counters["files"] = corpus().files;
}

void BM_Ctags(benchmark::State& state, const Corpus& (*corpus)(), const char* name) {
    if (corpus().root.isEmpty()) {
        state.SkipWithError("tree not installed");
        return;
    }
    if (Process::findExecutable("ctags").isEmpty()) {
        state.SkipWithError("ctags is not installed");
        return;
    }
    const QString tags = scratch() + "/tags-" + name;
    double cpu = 0;
    for (auto _ : state) {
        QFile::remove(tags);
        const double cpuStart = childrenSeconds();
        const auto start = Clock::now();
        const ProcessResult result = Process::run(
            "nice", {"-n", "19", "ctags", "--options=" + setup().optionsFile, "-R", "-f", tags, corpus().root});
        cpu += childrenSeconds() - cpuStart;
        record(std::string("ctags/") + name, Clock::now() - start);
        recordCpu(std::string("ctags/") + name, childrenSeconds() - cpuStart);
        if (!result.succeeded()) {
            state.SkipWithError(("ctags failed: " + result.standardError).constData());
            return;
        }
    }
    state.counters["cpu_ms"] = cpu * 1000 / double(state.iterations());
    QFile file(tags);
    qint64 lines = 0;
    if (file.open(QIODevice::ReadOnly))
        while (!file.atEnd()) lines += !file.readLine().startsWith("!_");
    state.counters["files"] = corpus().files;
    state.counters["tags"] = double(lines);
    state.SetBytesProcessed(state.iterations() * corpus().bytes);
}

struct Percentiles {
    double p50 = 0, p99 = 0, max = 0;
    size_t count = 0;
};

Percentiles percentiles(std::vector<double> samples) {
    Percentiles p;
    if (samples.empty()) return p;
    std::sort(samples.begin(), samples.end());
    p.count = samples.size();
    p.p50 = samples[samples.size() / 2];
    p.p99 = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
    p.max = samples.back();
    return p;
}

QString fileOfTree(int n) {
    const int perFolder = kFiles / kFolders;
    const char* const ext[] = {"html", "css", "js", "php"};
    return webTree().root + QString("/section%1/f%2.%3").arg(n / perFolder).arg(n % perFolder).arg(ext[n % perFolder % 4]);
}

const char* classOfTree(int n) {
    const char* const classes[] = {"text.html", "text.css", "text.js", "text.php"};
    return classes[n % (kFiles / kFolders) % 4];
}

// Queries as keyword completion asks them: the keys of a class visible from one file.
void BM_QueryVisibleKeys(benchmark::State& state) {
    setup();
    auto index = makeIndex(databasePath("web"));
    index->indexDirectory(webTree().root);
    index->waitUntilIdle(600000);
    BenchRandom random{0xc0de1dedULL};
    std::vector<double> samples;
    qint64 returned = 0;
    for (auto _ : state) {
        const int n = random.below(kFiles);
        const auto start = Clock::now();
        const auto keys = index->keysForType(QString(), classOfTree(n), fileOfTree(n));
        samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        returned += keys ? keys->size() : 0;
    }
    const Percentiles p = percentiles(samples);
    figures()["query/visible/p50_ms"] = p.p50;
    figures()["query/visible/p99_ms"] = p.p99;
    figures()["query/visible/max_ms"] = p.max;
    state.counters["p50_ms"] = p.p50;
    state.counters["p99_ms"] = p.p99;
    state.counters["keys_per_query"] = double(returned) / double(std::max<size_t>(1, samples.size()));
    const auto all = index->keysForType(QString(), QString(), QString());
    state.counters["keys_in_index"] = all ? double(all->size()) : -1;
}

// Queries of tag completion: the keys of one type of a class visible from a file ("#text.css.class"
// in a class attribute), and, with no file, from the whole index.
void BM_QueryType(benchmark::State& state, bool wholeIndex) {
    setup();
    auto index = makeIndex(databasePath("web"));
    index->indexDirectory(webTree().root);
    index->waitUntilIdle(600000);
    const char* const asked[][2] = {{"class", "text.css"}, {"id", "text.css"}, {"function", "text.js"}};
    BenchRandom random{0xc0de1dedULL};
    std::vector<double> samples;
    qint64 returned = 0;
    int i = 0;
    for (auto _ : state) {
        const int n = random.below(kFiles);
        const auto start = Clock::now();
        const auto keys = index->keysForType(asked[i % 3][0], asked[i % 3][1], wholeIndex ? QString() : fileOfTree(n));
        samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        returned += keys ? keys->size() : 0;
        ++i;
    }
    const Percentiles p = percentiles(samples);
    const std::string name = wholeIndex ? "query/type_whole_index/" : "query/type_for_file/";
    figures()[name + "p50_ms"] = p.p50;
    figures()[name + "p99_ms"] = p.p99;
    state.counters["p50_ms"] = p.p50;
    state.counters["p99_ms"] = p.p99;
    state.counters["keys_per_query"] = double(returned) / double(std::max<size_t>(1, samples.size()));
}

// The main thread keeps querying while the index thread does a first pass of the web tree.
void BM_MainThreadWaitWhileIndexing(benchmark::State& state) {
    setup();
    const QString path = databasePath("busy");
    BenchRandom random{0xc0de1dedULL};
    std::vector<double> samples;
    for (auto _ : state) {
        removeDatabase(path);
        auto index = makeIndex(path);
        index->indexDirectory(webTree().root);
        while (!index->waitUntilIdle(0)) {
            const int n = random.below(kFiles);
            const auto start = Clock::now();
            index->keysForType(QString(), classOfTree(n), fileOfTree(n));
            samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
    }
    const Percentiles p = percentiles(samples);
    figures()["busy/p50_ms"] = p.p50;
    figures()["busy/p99_ms"] = p.p99;
    figures()["busy/max_ms"] = p.max;
    state.counters["queries"] = double(p.count);
    state.counters["p50_ms"] = p.p50;
    state.counters["p99_ms"] = p.p99;
    state.counters["max_ms"] = p.max;
}

// Our first pass and ctags as whole processes, in turns.
void wholeProcesses(const char* name, const Corpus& corpus) {
    if (corpus.root.isEmpty() || Process::findExecutable("ctags").isEmpty() || !QFileInfo(paired::driver()).isExecutable()) {
        std::printf("whole processes (%s): tree, ctags or %s missing\n", name, qPrintable(paired::driver()));
        return;
    }
    setup();
    bool ok = false;
    int rounds = qEnvironmentVariableIntValue("QORVEL_BENCH_ROUNDS", &ok);
    if (!ok || rounds <= 0) rounds = 3;
    const QString database = databasePath(QString("driver-") + name);
    const QStringList ours{paired::driver(), "index", "--fresh", scratch() + "/config/defaults.plist", corpus.root, database};
    const QStringList peer{"nice", "-n", "19", "ctags", "--options=" + setup().optionsFile, "-R", "-f",
                           scratch() + "/tags-driver-" + name, corpus.root};
    std::printf("start-up on an empty folder: qvdriver index %.1f ms, ctags -R %.1f ms\n",
                paired::alone({paired::driver(), "index", "--fresh", scratch() + "/config/defaults.plist", scratch() + "/config",
                               databasePath("empty")}, 3).median * 1e3,
                paired::alone({"ctags", "--options=" + setup().optionsFile, "-R", "-f", "/dev/null", scratch() + "/config"}, 3).median * 1e3);
    const paired::Comparison c = paired::compare(ours, peer, rounds);
    // Outside the timing: what each side found.
    paired::run(ours);
    paired::run(peer);
    RawCount keys(database);
    QFile tags(scratch() + "/tags-driver-" + name);
    qint64 lines = 0;
    if (tags.open(QIODevice::ReadOnly))
        while (!tags.atEnd()) lines += !tags.readLine().startsWith("!_");
    paired::addRow(paired::row(std::string("code index first pass, ") + name + " tree (" + std::to_string(corpus.files) + " files, " +
                                   std::to_string(int(double(corpus.bytes) / 1e6)) + " MB; " + std::to_string(keys.keys) + " keys, ctags " +
                                   std::to_string(lines) + " tags) / ctags -R",
                               c));
}

}  // namespace

int main(int argc, char** argv) {
    // A private settings and application-support sandbox for the run.
    QTemporaryDir sandbox;
    qputenv("XDG_CONFIG_HOME", (sandbox.path() + "/config").toUtf8());
    qputenv("XDG_DATA_HOME", (sandbox.path() + "/data").toUtf8());
    qputenv("QORVEL_RESOURCES", (sandbox.path() + "/resources").toUtf8());
    QCoreApplication app(argc, argv);
    Process::ignoreSigpipe();

    const auto web = &webTree;
    const auto real = &realTree;
    // Our first pass and ctags take turns, so that a change of load on the machine weighs on both.
    for (int round = 0; round < 2; ++round) {
        benchmark::RegisterBenchmark("index/first/web", BM_FirstPass, web, "web")->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
        benchmark::RegisterBenchmark("ctags/web", BM_Ctags, web, "web")->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
    }
    benchmark::RegisterBenchmark("extract/web", BM_ExtractOnly, web, "web")->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
    benchmark::RegisterBenchmark("index/rescan/web", BM_Rescan, web, "web")->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
    for (int round = 0; round < 2; ++round) {
        benchmark::RegisterBenchmark("index/first/real", BM_FirstPass, real, "real")->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
        benchmark::RegisterBenchmark("ctags/real", BM_Ctags, real, "real")->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
    }
    benchmark::RegisterBenchmark("index/rescan/real", BM_Rescan, real, "real")->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
    benchmark::RegisterBenchmark("query/visible_keys", BM_QueryVisibleKeys)->Unit(benchmark::kMicrosecond)->Iterations(3000)->UseRealTime();
    benchmark::RegisterBenchmark("query/type_for_file", BM_QueryType, false)->Unit(benchmark::kMicrosecond)->Iterations(3000)->UseRealTime();
    benchmark::RegisterBenchmark("query/type_whole_index", BM_QueryType, true)->Unit(benchmark::kMicrosecond)->Iterations(60)->UseRealTime();
    benchmark::RegisterBenchmark("query/while_indexing", BM_MainThreadWaitWhileIndexing)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    std::printf("\nweb tree: %d files, %.1f MB; real tree: %s, %d files, %.1f MB\n", webTree().files,
                double(webTree().bytes) / (1024 * 1024), qPrintable(realTree().root), realTree().files,
                double(realTree().bytes) / (1024 * 1024));
    const auto& t = timings();
    for (const char* tree : {"web", "real"}) {
        const auto first = t.find(std::string("index/first/") + tree);
        const auto rescan = t.find(std::string("index/rescan/") + tree);
        const auto ctags = t.find(std::string("ctags/") + tree);
        if (first != t.end() && ctags != t.end())
            std::printf("%-7s first pass / ctags -R, wall = %.2f  (%.0f ms / %.0f ms)\n", tree, first->second / ctags->second,
                        first->second * 1000, ctags->second * 1000);
        const auto& c = cpuTimings();
        const auto firstCpu = c.find(std::string("index/first/") + tree);
        const auto ctagsCpu = c.find(std::string("ctags/") + tree);
        const auto rescanCpu = c.find(std::string("index/rescan/") + tree);
        if (firstCpu != c.end() && ctagsCpu != c.end() && ctagsCpu->second > 0)
            std::printf("%-7s first pass / ctags -R, cpu  = %.2f  (%.0f ms / %.0f ms)\n", tree,
                        firstCpu->second / ctagsCpu->second, firstCpu->second * 1000, ctagsCpu->second * 1000);
        if (firstCpu != c.end() && rescanCpu != c.end() && rescanCpu->second > 0)
            std::printf("%-7s first pass / rescan, cpu    = %.1f\n", tree, firstCpu->second / rescanCpu->second);
        if (first != t.end() && rescan != t.end())
            std::printf("%-7s first pass / rescan, wall   = %.1f  (%.0f ms / %.1f ms)\n", tree, first->second / rescan->second,
                        first->second * 1000, rescan->second * 1000);
    }
    for (const auto& [name, value] : figures()) std::printf("%-24s %.3f\n", name.c_str(), value);
    if (qgetenv("QORVEL_BENCH_PROCESSES") != "0") {
        wholeProcesses("generated", webTree());
        wholeProcesses("real", realTree());
    }
    paired::printTable("Code index: qvdriver index / nice -n 19 ctags -R, whole processes");
    return 0;
}
