// Find across a 100 MB web project with the search engine, beside ripgrep and grep on the same tree.
//
// The corpus: about 24,000 HTML, CSS, JavaScript and PHP files of 0.5 to 8 KB (100 MB in all) in
// 240 folders of a temporary tree, generated once per run from a fixed seed; a few lines carry
// non-ASCII text. Every benchmark walks the whole tree and counts matches per file.
//
// Our side is what the multi-file find does: for each file, QVSearch::findAllForPath reads it in
// its detected encoding and enumerates all matches in the text; the regex benchmark asks for
// results with their context lines, as the find window does, and expands a replacement template
// on the text of every match. The peers, run as child processes in the same
// run: `rg -j1 -uu -c` (one thread, no ignore files, counting matching lines per file; -F for the
// literals, -i for the caseless one) and `grep -rc` (-F / -i / -E alike). A peer's time includes
// starting it. Wall-clock times; the program prints the ratios to rg and grep at the end, and
// checks our per-file counts against `rg --count-matches` once, outside the timings.
#include "bench/BenchSupport.h"

#include "platform/Process.h"
#include "shell/FileEncodings.h"
#include "shell/QVSearch.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>

namespace {

constexpr qint64 kCorpusBytes = 100 * 1024 * 1024;
constexpr int kFolders = 240;

struct Query {
    const char* name;
    const char* pattern;
    bool regex;
    bool caseSensitive;
    const char* replace;  // expanded for every match when set
};

const Query kQueries[] = {
    {"literal", "getElementById", false, true, nullptr},
    {"caseless", "content-type", false, false, nullptr},
    {"regex_replace", "function\\s+([A-Za-z_][A-Za-z0-9_]*)", true, true, "fn $1"},
};

const char* const kWords[] = {
    "menu", "header", "footer", "nav", "item", "content", "main", "button", "card", "list", "title",
    "link", "image", "panel", "form", "input", "label", "search", "user", "page", "data", "value",
    "index", "result", "modal", "toggle", "active", "hidden", "wrapper", "container", "section",
    "order", "cart", "price", "account", "login", "type", "status", "report", "gallery",
};
const char* const kText[] = {
    "The quick brown fox jumps over the lazy dog.", "Lorem ipsum dolor sit amet, consectetur.",
    "Ship your order today and get free returns.", "Caf\u00e9 cr\u00e8me, na\u00efve r\u00e9sum\u00e9.",
    "Please log in to see your account history.", "\u65e5\u672c\u8a9e\u306e\u30c6\u30ad\u30b9\u30c8",
    "Read the latest report from our team.", "Gr\u00f6\u00dfe und \u00dcbersicht der Preise.",
};

class Generator {
public:
    QByteArray word() { return kWords[_rnd.below(int(std::size(kWords)))]; }
    QByteArray ident() { return word() + (_rnd.below(2) ? QByteArray() : "_" + word()); }
    QByteArray camel() {
        QByteArray w = word();
        QByteArray s = word();
        s[0] = char(std::toupper(s[0]));
        return w + s;
    }
    QByteArray text() { return kText[_rnd.below(int(std::size(kText)))]; }
    QByteArray num() { return QByteArray::number(_rnd.below(100)); }

    QByteArray html(qint64 size) {
        QByteArray out = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
        if (_rnd.below(3) == 0)
            out += "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">\n";
        out += "<title>" + text() + "</title>\n<link rel=\"stylesheet\" href=\"css/" + word() + ".css\">\n</head>\n<body>\n";
        while (out.size() < size) {
            switch (_rnd.below(8)) {
            case 0: out += "<div class=\"" + word() + "-" + word() + "\" id=\"" + ident() + "\">\n"; break;
            case 1: out += "  <p>" + text() + " " + text() + "</p>\n"; break;
            case 2: out += "  <a href=\"/" + word() + "/" + word() + ".php?id=" + num() + "\">" + word() + "</a>\n"; break;
            case 3: out += "</div>\n"; break;
            case 4: out += "  <img src=\"img/" + word() + num() + ".png\" alt=\"" + text() + "\">\n"; break;
            case 5: out += "<script>document.getElementById('" + ident() + "').hidden = true;</script>\n"; break;
            case 6: out += "  <input type=\"text\" name=\"" + ident() + "\" value=\"\">\n"; break;
            default: out += "  <li class=\"" + word() + "\">" + text() + "</li>\n"; break;
            }
        }
        return out + "</body>\n</html>\n";
    }
    QByteArray css(qint64 size) {
        QByteArray out = "/* " + text() + " */\n";
        while (out.size() < size) {
            out += "." + word() + "-" + word() + " > ." + word() + " {\n";
            for (int i = 1 + _rnd.below(5); i > 0; --i) {
                switch (_rnd.below(5)) {
                case 0: out += "  margin: " + num() + "px " + num() + "px;\n"; break;
                case 1: out += "  color: #" + QByteArray::number(_rnd.next() & 0xffffff, 16) + ";\n"; break;
                case 2: out += "  font-family: \"Helvetica Neue\", Arial, sans-serif;\n"; break;
                case 3: out += "  content: \"" + word() + "\";\n"; break;
                default: out += "  padding: " + num() + "px;\n"; break;
                }
            }
            out += "}\n";
        }
        return out;
    }
    QByteArray js(qint64 size) {
        QByteArray out = "'use strict';\n// " + text() + "\n";
        while (out.size() < size) {
            out += "function " + camel() + "(" + word() + ", " + word() + ") {\n";
            for (int i = 1 + _rnd.below(6); i > 0; --i) {
                switch (_rnd.below(7)) {
                case 0: out += "  const " + camel() + " = document.getElementById('" + ident() + "');\n"; break;
                case 1: out += "  if (" + word() + ".length > " + num() + ") { return " + word() + "; }\n"; break;
                case 2: out += "  fetch('/api/" + word() + "', { headers: { 'content-type': 'application/json' } });\n"; break;
                case 3: out += "  " + word() + ".addEventListener('click', () => " + camel() + "(" + num() + "));\n"; break;
                case 4: out += "  // " + text() + "\n"; break;
                case 5: out += "  let " + word() + " = document.querySelector('." + word() + "');\n"; break;
                default: out += "  " + camel() + "." + word() + " = " + num() + ";\n"; break;
                }
            }
            out += "}\n\n";
        }
        return out;
    }
    QByteArray php(qint64 size) {
        QByteArray out = "<?php\nheader('Content-Type: text/html; charset=utf-8');\nrequire_once '" + word() + ".php';\n";
        while (out.size() < size) {
            out += "function " + ident() + "($" + word() + ", $" + word() + " = null)\n{\n";
            for (int i = 1 + _rnd.below(6); i > 0; --i) {
                switch (_rnd.below(6)) {
                case 0: out += "    $" + word() + " = $_GET['" + word() + "'] ?? '';\n"; break;
                case 1: out += "    echo '<div class=\"" + word() + "\">' . htmlspecialchars($" + word() + ") . '</div>';\n"; break;
                case 2: out += "    if (count($" + word() + ") > " + num() + ") {\n        return $" + word() + ";\n    }\n"; break;
                case 3: out += "    // " + text() + "\n"; break;
                case 4: out += "    $" + word() + "->" + camel() + "(" + num() + ");\n"; break;
                default: out += "    $" + word() + "[] = '" + text() + "';\n"; break;
                }
            }
            out += "}\n\n";
        }
        return out;
    }
    int below(int n) { return _rnd.below(n); }

private:
    BenchRandom _rnd{0x5eedf00d};
};

struct Corpus {
    std::unique_ptr<QTemporaryDir> dir;
    QString path;
    std::vector<std::string> files;
    qint64 bytes = 0;
};

// QORVEL_SEARCH_CORPUS names a folder to generate the tree in and keep (for profiling runs);
// otherwise it lives in a temporary folder removed at exit.
const Corpus& corpus() {
    static const Corpus c = [] {
        Corpus c;
        c.path = qEnvironmentVariable("QORVEL_SEARCH_CORPUS");
        if (c.path.isEmpty()) {
            c.dir = std::make_unique<QTemporaryDir>(QDir::tempPath() + "/qorvel-search-bench-XXXXXX");
            c.path = c.dir->path();
        }
        // A kept tree that was completed before is used as it is.
        const QString marker = c.path + "/complete";
        if (QFile::exists(marker)) {
            for (const auto& entry : std::filesystem::recursive_directory_iterator((c.path + "/site").toStdString())) {
                if (entry.is_regular_file()) {
                    c.files.push_back(entry.path().string());
                    c.bytes += qint64(entry.file_size());
                }
            }
            return c;
        }
        Generator gen;
        const char* const ext[] = {"html", "css", "js", "php"};
        for (int n = 0; c.bytes < kCorpusBytes; ++n) {
            const QString folder = c.path + QString("/site/section%1").arg(n % kFolders);
            if (n < kFolders)
                QDir().mkpath(folder);
            const qint64 size = 512 + gen.below(7680);
            const int kind = gen.below(4);
            const QByteArray content = kind == 0 ? gen.html(size) : kind == 1 ? gen.css(size)
                                     : kind == 2 ? gen.js(size) : gen.php(size);
            const QString path = folder + QString("/%1%2.%3").arg(kWords[n % std::size(kWords)]).arg(n).arg(ext[kind]);
            QFile f(path);
            if (!f.open(QIODevice::WriteOnly) || f.write(content) != content.size())
                std::abort();
            c.files.push_back(path.toStdString());
            c.bytes += content.size();
        }
        QFile(marker).open(QIODevice::WriteOnly);
        return c;
    }();
    return c;
}

QString rootPath() { return corpus().path + "/site"; }

// Seconds per iteration of each benchmark, for the ratio table: the best of its repetitions,
// which the load of a busy machine disturbs least.
std::map<std::string, double>& timings() {
    static std::map<std::string, double> t;
    return t;
}

void record(benchmark::State& state, const std::string& key, std::chrono::steady_clock::duration total) {
    if (state.iterations() == 0)
        return;
    const double seconds = std::chrono::duration<double>(total).count() / double(state.iterations());
    const auto it = timings().find(key);
    if (it == timings().end() || seconds < it->second)
        timings()[key] = seconds;
}

QVSearch makeSearch(const Query& q) {
    QVSearch search = q.regex ? QVSearch::withExpressionString(q.pattern, q.caseSensitive)
                              : QVSearch::withSearchString(q.pattern);
    search.setCaseSensitive(q.caseSensitive);
    if (q.replace)
        search.setReplaceString(q.replace);
    return search;
}

// Our matches per file (files without a match left out).
std::map<std::string, qint64> searchTree(const QVSearch& search, bool expand, qint64* replacedBytes) {
    std::map<std::string, qint64> counts;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(rootPath().toStdString())) {
        if (!entry.is_regular_file())
            continue;
        const QString path = QString::fromStdString(entry.path().string());
        QVStringEncoding encoding = 0;
        // With a template, results with context as the find window asks for, and the template
        // expanded on each match's text, as a replace of the results does.
        const QList<QVSearchResult> results = search.findAllForPath(path, &encoding, expand);
        const qint64 found = results.size();
        if (expand) {
            for (const QVSearchResult& r : results) {
                const QVSearchResult::AttributedString& context = r.attributedString();
                const QString matched = context.string.mid(context.emphasis.location, context.emphasis.length);
                *replacedBytes += search.replacementForString(matched).size();
            }
        }
        if (found)
            counts[entry.path().string()] = found;
    }
    return counts;
}

QStringList peerArgs(const Query& q, bool rg, bool countMatches = false) {
    QStringList args;
    if (rg)
        args << "-j1" << "-uu" << "--no-config" << (countMatches ? "--count-matches" : "-c");
    else
        args << "-r" << "-c";
    if (!q.regex)
        args << "-F";
    else if (!rg)
        args << "-E";
    if (!q.caseSensitive)
        args << "-i";
    args << "-e" << q.pattern << rootPath();
    return args;
}

// "path:count" lines; grep also lists files with no match (count 0), which are left out.
std::map<std::string, qint64> parseCounts(const QByteArray& output) {
    std::map<std::string, qint64> counts;
    for (const QByteArray& line : output.split('\n')) {
        const qsizetype colon = line.lastIndexOf(':');
        if (colon <= 0)
            continue;
        const qint64 n = line.mid(colon + 1).toLongLong();
        if (n > 0)
            counts[line.left(colon).toStdString()] = n;
    }
    return counts;
}

qint64 sum(const std::map<std::string, qint64>& counts) {
    qint64 total = 0;
    for (const auto& [path, n] : counts)
        total += n;
    return total;
}

// Files whose counts differ between the two maps (present in one only included).
qint64 differences(const std::map<std::string, qint64>& a, const std::map<std::string, qint64>& b) {
    qint64 d = 0;
    for (const auto& [path, n] : a) {
        const auto it = b.find(path);
        d += it == b.end() || it->second != n;
    }
    for (const auto& [path, n] : b)
        d += !a.count(path);
    return d;
}

void BM_QVSearch(benchmark::State& state, const Query* q) {
    corpus();
    const QVSearch search = makeSearch(*q);
    std::map<std::string, qint64> counts;
    qint64 replaced = 0;
    std::chrono::steady_clock::duration total{};
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        counts = searchTree(search, q->replace != nullptr, &replaced);
        total += std::chrono::steady_clock::now() - start;
    }
    record(state, std::string("QVSearch/") + q->name, total);
    state.counters["files"] = double(counts.size());
    state.counters["matches"] = double(sum(counts));
    state.SetBytesProcessed(state.iterations() * corpus().bytes);

    // Outside the timing: the per-file match counts must be ripgrep's.
    const ProcessResult check = Process::run("rg", peerArgs(*q, true, true));
    const auto expected = parseCounts(check.standardOutput);
    state.counters["files_differing_from_rg"] = double(differences(expected, counts));
}

void BM_Peer(benchmark::State& state, const Query* q, bool rg) {
    corpus();
    const QString program = rg ? "rg" : "grep";
    if (Process::findExecutable(program).isEmpty()) {
        state.SkipWithError((program + " is not installed").toUtf8().constData());
        return;
    }
    std::map<std::string, qint64> counts;
    std::chrono::steady_clock::duration total{};
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const ProcessResult result = Process::run(program, peerArgs(*q, rg));
        total += std::chrono::steady_clock::now() - start;
        if (!result.started || !result.exited) {
            state.SkipWithError("the peer failed");
            return;
        }
        counts = parseCounts(result.standardOutput);
    }
    record(state, program.toStdString() + "/" + q->name, total);
    state.counters["files"] = double(counts.size());
    state.counters["matching_lines"] = double(sum(counts));
    state.SetBytesProcessed(state.iterations() * corpus().bytes);
}

}  // namespace

int main(int argc, char** argv) {
    // A private settings sandbox, so reading the default encoding touches nothing of the user's.
    QTemporaryDir sandbox;
    qputenv("XDG_CONFIG_HOME", (sandbox.path() + "/config").toUtf8());
    qputenv("XDG_DATA_HOME", (sandbox.path() + "/data").toUtf8());
    QCoreApplication app(argc, argv);
    Process::ignoreSigpipe();

    for (const Query& q : kQueries) {
        benchmark::RegisterBenchmark((std::string("QVSearch/") + q.name).c_str(), BM_QVSearch, &q)
            ->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
        benchmark::RegisterBenchmark((std::string("rg/") + q.name).c_str(), BM_Peer, &q, true)
            ->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
        benchmark::RegisterBenchmark((std::string("grep/") + q.name).c_str(), BM_Peer, &q, false)
            ->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    std::printf("\ncorpus: %zu files, %.1f MB\n", corpus().files.size(), double(corpus().bytes) / (1024 * 1024));
    for (const Query& q : kQueries) {
        const auto& t = timings();
        const auto ours = t.find(std::string("QVSearch/") + q.name);
        if (ours == t.end())
            continue;
        for (const char* peer : {"rg", "grep"}) {
            const auto other = t.find(std::string(peer) + "/" + q.name);
            if (other != t.end() && other->second > 0)
                std::printf("%-14s QVSearch / %-4s = %.2f\n", q.name, peer, ours->second / other->second);
        }
    }
    return 0;
}
