// Find across a 100 MB web project with the search engine, beside ripgrep and grep on the same tree,
// and on a tree of real web files from Debian packages (see realWebTree in BenchSupport.h).
//
// The corpus: about 24,000 HTML, CSS, JavaScript and PHP files of 0.5 to 8 KB (100 MB in all) in
// 240 folders of a temporary tree, generated once per run from a fixed seed; a few lines carry
// non-ASCII text. Every search walks the whole tree and counts matches per file.
//
// In process (the Google benchmarks and the "in process" rows): what the multi-file find does,
// for each file QVSearch::findAllForPath reads it in its detected encoding and enumerates all
// matches; the regex query asks for results with their context lines, as the find window does,
// and expands a replacement template on the text of every match.
// As whole processes: bench/driver's `qvdriver search` (walk, read, detect, decode where needed,
// count matches, print "path:count") beside `rg -j1 -uu --no-config --count-matches` (-F for the
// literals, -i for the caseless one; line by line as rg's users run it, and the pattern once more
// with -U, as it may match across lines in ours) and `grep -rc` (-F / -i / -E alike; grep counts lines), run
// in turns; and the literal beside `readmemchr` (bench/driver), a plain program with no Qorvel code
// reading every file in chunks with read() and scanning with memchr(): the limit of a
// single-threaded literal search. Outside the timing the per-file counts
// must equal rg's and the scan's. QORVEL_BENCH_ROUNDS sets the pairs (default 5). The literal
// also runs over /usr/share/doc and /usr/share/javascript as installed, binaries and all. Each
// program also searches an empty folder in every round, beside its own run: taken off, what is
// left is the search alone, without the start-up (ours links Qt's GUI library, rg starts in a few
// milliseconds), as a find runs inside the editor already running.
// The multi-file find's runner (a chosen folder, results with context, to its last delegate call)
// beside `rg -j1 -uu -c`, `rg -uu -c` on its threads and `grep -rc`; and the runner's replace-all of
// a literal over 1,000 files, its finding search timed too, beside one `sed -i` over copies, the
// outputs compared byte for byte. "In process" rows add our start-up on an empty folder. And the
// peak memory of Replace All in one large file, as a whole process (bench/crosscheck measures it
// again with GNU time).
#include "bench/BenchSupport.h"
#include "bench/Paired.h"

#include "platform/Process.h"
#include "shell/FileEncodings.h"
#include "platform/MainQueue.h"
#include "shell/QVSearch.h"
#include "tools/QVMultiFileSearchNode.h"
#include "tools/QVSearchRunner.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
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
    // Holds "s", into which the long s folds: the caseless path that looks for such characters.
    {"caseless_fold", "license", false, false, nullptr},
    {"regex_replace", "function\\s+([A-Za-z_][A-Za-z0-9_]*)", true, true, "fn $1"},
};
// A literal found tens of thousands of times in the installed documentation and scripts: the
// work per match, where the rare literal weighs the reading.
const Query kFrequentLiteral{"frequent literal", "return", false, true, nullptr};

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

QVSearch makeSearch(const Query& q) {
    QVSearch search = q.regex ? QVSearch::withExpressionString(q.pattern, q.caseSensitive)
                              : QVSearch::withSearchString(q.pattern);
    search.setCaseSensitive(q.caseSensitive);
    if (q.replace)
        search.setReplaceString(q.replace);
    return search;
}

// Our matches per file (files without a match left out).
std::map<std::string, qint64> searchTree(const QVSearch& search, bool expand, qint64* replacedBytes,
                                        const QString& root = rootPath()) {
    std::map<std::string, qint64> counts;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root.toStdString())) {
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

// A pattern of ours may match across line breaks: rg's multi-line mode is the same search, its
// default line-by-line mode the one its users run.
QStringList peerArgs(const Query& q, bool rg, const QString& root = rootPath(), bool lineByLine = false) {
    QStringList args;
    if (rg)
        args << "-j1" << "-uu" << "--no-config" << "--count-matches" << (q.regex && !lineByLine ? "-U" : "--no-multiline");
    else
        args << "-r" << "-c";
    if (!q.regex)
        args << "-F";
    else if (!rg)
        args << "-E";
    if (!q.caseSensitive)
        args << "-i";
    args << "-e" << q.pattern << root;
    return args;
}

QStringList driverArgs(const Query& q, const QString& root) {
    QStringList args{paired::driver(), "search"};
    if (!q.regex)
        args << "-F";
    if (!q.caseSensitive)
        args << "-i";
    return args << q.pattern << root;
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
    for (auto _ : state)
        counts = searchTree(search, q->replace != nullptr, &replaced);
    state.counters["files"] = double(counts.size());
    state.counters["matches"] = double(sum(counts));
    state.SetBytesProcessed(state.iterations() * corpus().bytes);

    // Outside the timing: the per-file match counts must be ripgrep's.
    const ProcessResult check = Process::run("rg", peerArgs(*q, true));
    const auto expected = parseCounts(check.standardOutput);
    state.counters["files_differing_from_rg"] = double(differences(expected, counts));
}

double processCpu() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// An empty folder, for each program's start-up alone.
QString emptyFolder() {
    static QTemporaryDir empty;
    return empty.path();
}

int rounds();

// Ours and a peer (the folder searched the last argument of each) in turns, each beside its own
// run on an empty folder in the same round: the row gives the whole processes and, in its last
// column, the search alone, each side's start-up taken off, as a find inside the running editor.
void addSearchRow(const std::string& name, const QStringList& ours, const QStringList& peer, const char* output = "/dev/null",
                  int pairs = rounds()) {
    auto onEmpty = [](QStringList argv) {
        argv.last() = emptyFolder();
        return argv;
    };
    const paired::BesideEmpty c = paired::compareBesideEmpty(ours, peer, onEmpty(ours), onEmpty(peer), pairs, output);
    paired::addRow(paired::row(name, c.whole, &c.alone));
}

int rounds() {
    bool ok = false;
    const int n = qEnvironmentVariableIntValue("QORVEL_BENCH_ROUNDS", &ok);
    return ok && n > 0 ? n : 5;
}

std::string differing(const std::map<std::string, qint64>& a, const std::map<std::string, qint64>& b) {
    const qint64 d = differences(a, b);
    return d ? " COUNTS DIFFER IN " + std::to_string(d) + " FILES" : "";
}


// The multi-file find's runner over a chosen folder (mode 3), as the window runs it: results with
// their context lines, every delegate call made on the main thread; timed from the request to
// its last delegate call. Keeps the result nodes for a replace.
class RunnerDelegate : public QVSearchRunnerDelegate {
public:
    QStringList chosen;
    std::map<std::string, qint64> counts;
    QList<std::shared_ptr<QVMultiFileSearchNode>> nodes;
    QList<QVReplaceReport> reports;
    bool keepNodes = false;
    int finished = 0;
    void willRunSearchForPath(const QString&) override {}
    void didRunSearchForPath(const QString& path, const std::shared_ptr<QVSearchDocument>&,
                             const QList<QVSearchResult>& results) override {
        if (results.isEmpty()) return;
        counts[path.toStdString()] = results.size();
        if (!keepNodes) return;
        auto node = QVMultiFileSearchNode::create(path);
        node->setSearchResults(results);
        nodes << node;
    }
    void didFinishAllSearches() override { ++finished; }
    void didReplaceInPath(const QVReplaceReport& report) override { reports << report; }
    void didFinishAllReplaces() override { ++finished; }
    QStringList pathsForSpecificFiles() override { return chosen; }
};

paired::Run runRunner(const QVSearch& search, const QString& root, std::map<std::string, qint64>* counts) {
    RunnerDelegate delegate;
    delegate.chosen = QStringList{root};
    QVSearchRunner runner(&delegate);
    paired::Run run;
    const double cpu = processCpu(), start = paired::now();
    runner.runSearch(search, 3);
    run.ok = MainQueue::runUntil([&] { return delegate.finished == 1; }, std::chrono::minutes(10));
    run.wall = paired::now() - start;
    run.cpu = processCpu() - cpu;
    *counts = std::move(delegate.counts);
    return run;
}

// The runner beside rg on one thread, rg on its own threads and grep, in turns.
void runnerRows(const std::string& tree, const QString& root) {
    const QString rg = Process::findExecutable("rg"), grep = Process::findExecutable("grep");
    if (rg.isEmpty() || grep.isEmpty()) return;
    for (const Query& q : kQueries) {
        const QVSearch search = makeSearch(q);
        const std::string label = tree + " " + q.name;
        const QStringList rgOne = QStringList{rg} + peerArgs(q, true, root);
        QStringList rgThreads = rgOne;
        rgThreads.removeAll(QStringLiteral("-j1"));
        const QStringList grepRun = QStringList{grep} + peerArgs(q, false, root);
        const QByteArray grepOutput = (QDir::tempPath() + "/qorvel-runner-bench-grep.out").toLocal8Bit();
        std::map<std::string, qint64> counts;
        runRunner(search, root, &counts);  // warm-up
        const auto rgCounts = parseCounts(Process::run(rg, peerArgs(q, true, root)).standardOutput);
        paired::Comparison withOne, withThreads, withGrep;
        for (int i = 0; i < rounds(); ++i) {
            for (paired::Comparison* c : {&withOne, &withThreads, &withGrep}) c->ours.push_back(runRunner(search, root, &counts));
            withOne.peer.push_back(paired::run(rgOne));
            withThreads.peer.push_back(paired::run(rgThreads));
            withGrep.peer.push_back(paired::run(grepRun, grepOutput.constData()));
        }
        QFile::remove(QString::fromLocal8Bit(grepOutput));
        paired::addRow(paired::row("runner " + label + " / rg -j1 -uu" + differing(counts, rgCounts), withOne));
        paired::addRow(paired::row("runner " + label + " / rg -uu (its own threads)", withThreads));
        paired::addRow(paired::row("runner " + label + " / grep -r (counts lines)", withGrep));
    }
}

// Replace-all of a literal over 1,000 files of the tree: the runner's replace (atomic writes
// through a temporary file, each file checked and re-verified) beside one `sed -i` over a copy
// of the same files; the outputs must be equal byte for byte.
void replaceRows() {
    const QString sed = Process::findExecutable("sed");
    if (sed.isEmpty()) return;
    const QString literal = QStringLiteral("getElementById"), replacement = QStringLiteral("findElementById");
    std::vector<std::string> chosen;
    for (const std::string& file : corpus().files) {
        QFile f(QString::fromStdString(file));
        if (f.open(QIODevice::ReadOnly) && f.readAll().contains(literal.toLatin1())) chosen.push_back(file);
        if (chosen.size() == 1000) break;
    }
    QTemporaryDir work(QDir::tempPath() + "/qorvel-replace-bench-XXXXXX");
    auto copyTo = [&](const QString& folder) {
        QDir(folder).removeRecursively();
        QDir().mkpath(folder);
        QStringList paths;
        for (size_t i = 0; i < chosen.size(); ++i) {
            const QString path = folder + QStringLiteral("/%1-").arg(i) + QFileInfo(QString::fromStdString(chosen[i])).fileName();
            QFile::copy(QString::fromStdString(chosen[i]), path);
            paths << path;
        }
        return paths;
    };
    QVSearch search = QVSearch::withSearchString(literal);
    search.setCaseSensitive(true);
    paired::Comparison c;
    qint64 differ = 0, failed = 0;
    for (int i = 0; i <= rounds(); ++i) {
        const QStringList ours = copyTo(work.path() + "/ours");
        const QStringList theirs = copyTo(work.path() + "/sed");
        RunnerDelegate delegate;
        delegate.keepNodes = true;
        delegate.chosen = QStringList{work.path() + "/ours"};
        QVSearchRunner runner(&delegate);
        ::sync();
        // sed finds and replaces in one go: the finding search is timed with the replace.
        paired::Run run;
        const double cpu = processCpu(), start = paired::now();
        runner.runSearch(search, 3);
        MainQueue::runUntil([&] { return delegate.finished == 1; }, std::chrono::minutes(10));
        QList<QVSearchResult> results;
        for (const auto& node : delegate.nodes) results << node->searchResults();
        QVSearch replace = search;
        replace.setReplaceString(replacement);
        runner.runSearch(replace, results);
        run.ok = MainQueue::runUntil([&] { return delegate.finished == 2; }, std::chrono::minutes(10));
        run.wall = paired::now() - start;
        run.cpu = processCpu() - cpu;
        const paired::Run peer = paired::run(QStringList{sed, "-i", "s/" + literal + "/" + replacement + "/g"} + theirs);
        if (i == 0) continue;  // warm-up
        c.ours.push_back(run);
        c.peer.push_back(peer);
        for (const QVReplaceReport& r : delegate.reports) failed += r.outcome != QVReplaceReport::Replaced;
        for (int k = 0; k < ours.size(); ++k) {
            QFile a(ours[k]), b(theirs[k]);
            differ += !a.open(QIODevice::ReadOnly) || !b.open(QIODevice::ReadOnly) || a.readAll() != b.readAll();
        }
    }
    std::string note;
    if (differ) note += " OUTPUTS DIFFER IN " + std::to_string(differ) + " FILES";
    if (failed) note += " " + std::to_string(failed) + " FILES NOT REPLACED";
    paired::addRow(paired::row("find then replace-all in " + std::to_string(chosen.size()) + " files / sed -i" + note, c));
}

// A generated server log of about mb MB, one line in fifty an "ERROR" (bench/crosscheck makes
// the same). latin1: the same lines as rows of a page in ISO 8859-1 that declares it, each with
// a name in accented letters (bytes E9, FC, F1).
void writeLog(const QString& path, qint64 mb, bool latin1 = false) {
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly)) return;
    std::string block;
    if (latin1) block = "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=iso-8859-1\"></head><body>\n";
    qint64 written = qint64(block.size());
    char line[160];
    for (qint64 i = 0; written < mb * 1024 * 1024; ++i) {
        const int n = std::snprintf(line, sizeof line,
                                    latin1 ? "<p>2026-12-08 12:%02lld:%02lld %s request %lld served /caf\xE9/M\xFCller-%lld.html to Pe\xF1" "a in %lld ms</p>\n"
                                           : "2026-12-08 12:%02lld:%02lld %s request %lld served /page/%lld.html in %lld ms\n",
                                    (long long)((i / 60) % 60), (long long)(i % 60), i % 50 == 0 ? "ERROR" : "INFO",
                                    (long long)i, (long long)(i % 997), (long long)(i % 37));
        block.append(line, size_t(n));
        written += n;
        if (block.size() > (1 << 20)) {
            out.write(block.data(), qint64(block.size()));
            block.clear();
        }
    }
    out.write(block.data(), qint64(block.size()));
}

// Replace All in one large file: the peak resident set of `qvdriver replace` (the multi-file
// find's search of a generated log, then Replace All of its every "ERROR"), ÷ the file's size;
// and the peak of Replace All's own share, from what the process held before it. Replace All
// once held about seven times the file (on this log 7.25 for the whole process, 7.07 for its
// own share); an open document holds about three. QORVEL_REPLACE_MB sets the log's size (200).
// latin1: the same on a page in ISO 8859-1 that declares it, which once peaked at 6.06-6.15
// times the file; QORVEL_REPLACE_LATIN1_MB sets its size (300).
void replaceMemoryRow(bool latin1 = false) {
    const char* sizeKey = latin1 ? "QORVEL_REPLACE_LATIN1_MB" : "QORVEL_REPLACE_MB";
    const qint64 mb = qEnvironmentVariableIsSet(sizeKey) ? qEnvironmentVariableIntValue(sizeKey) : latin1 ? 300 : 200;
    QTemporaryDir work(QDir::tempPath() + "/qorvel-replace-memory-XXXXXX");
    const QString log = work.path() + (latin1 ? "/server-log.html" : "/server.log");
    std::vector<double> whole, own;
    QByteArray said;
    double matches = 0;
    for (int i = 0; i < rounds(); ++i) {
        writeLog(log, mb, latin1);  // the run before replaced every match
        const double size = double(QFileInfo(log).size());
        const ProcessResult r = Process::run(paired::driver(), {"replace", "ERROR", "FAILURE", log});
        said = r.standardOutput.trimmed();
        QMap<QByteArray, double> figures;
        for (const QByteArray& pair : said.split(' ')) {
            const qsizetype equals = pair.indexOf('=');
            if (equals > 0) figures[pair.left(equals)] = pair.mid(equals + 1).toDouble();
        }
        if (!r.succeeded() || figures.value("replaced") <= 0 || figures.value("replaced") != figures.value("matches")) {
            std::printf("replace memory: the run failed: %s\n", said.constData());
            return;
        }
        matches = figures.value("matches");
        whole.push_back(figures.value("peak_kb") * 1024 / size);
        own.push_back((figures.value("replace_peak_kb") - figures.value("before_kb")) * 1024 / size);
    }
    const double size = double(QFileInfo(log).size()) / (1024 * 1024);
    const double ratio = paired::spread(whole).median, ownRatio = paired::spread(own).median;
    std::printf("replace memory%s: %s\n", latin1 ? " (Latin-1 page)" : "", said.constData());
    char line[512];
    if (latin1)
        std::snprintf(line, sizeof line,
                      "| peak resident set of `qvdriver replace` (the find's search of a generated %.0f MB page in ISO 8859-1 "
                      "declaring its charset, then Replace All of its %s matches) ÷ the file's size; Replace All's own share "
                      "%.2f (before: 6.06-6.15; an open document holds about 3) | %.0f MB | %.0f MB | **%.2f** | |",
                      size, QByteArray::number(qint64(matches)).constData(), ownRatio, ratio * size, size, ratio);
    else
        std::snprintf(line, sizeof line,
                      "| peak resident set of `qvdriver replace` (the find's search of a generated %.0f MB log, then Replace All "
                      "of its %s matches) ÷ the file's size; Replace All's own share %.2f (before: 7.25, its own share 7.07; an open document holds about 3) "
                      "| %.0f MB | %.0f MB | **%.2f** | |",
                      size, QByteArray::number(qint64(matches)).constData(), ownRatio, ratio * size, size, ratio);
    paired::addRow(line);
}

// Ours and the peers in turns over one tree; a row of the table for each pair of programs.
void wholeProcesses(const std::string& tree, const QString& root) {
    const QString rg = Process::findExecutable("rg"), grep = Process::findExecutable("grep");
    if (rg.isEmpty() || grep.isEmpty() || !QFileInfo(paired::driver()).isExecutable()) {
        std::printf("whole processes: rg, grep or %s missing\n", qPrintable(paired::driver()));
        return;
    }
    qint64 files = 0, bytes = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root.toStdString()))
        if (entry.is_regular_file()) {
            ++files;
            bytes += qint64(entry.file_size());
        }
    std::printf("%s tree: %lld files, %.1f MB\n", tree.c_str(), files, double(bytes) / 1e6);
    const QString empty = emptyFolder();
    // Our start-up counts in the "in process" rows too: rg's whole process includes its own.
    const paired::Spread ourStartup = paired::alone({paired::driver(), "search", "-F", "x", empty}, 5);
    std::printf("start-up on an empty folder: qvdriver search %.1f ms, rg %.1f ms\n", ourStartup.median * 1e3,
                paired::alone(QStringList{rg} + peerArgs(kQueries[0], true, empty), 5).median * 1e3);
    for (const Query& q : kQueries) {
        const QStringList ours = driverArgs(q, root);
        // The headline peer is rg as its users run it, line by line; the multi-line search, which
        // is what ours does for a pattern, comes after it.
        const QStringList peer = QStringList{rg} + peerArgs(q, true, root, true);
        const auto oursCounts = parseCounts(Process::run(ours[0], ours.mid(1)).standardOutput);
        const auto rgCounts = parseCounts(Process::run(rg, peerArgs(q, true, root, true)).standardOutput);
        const std::string label = tree + " " + q.name;
        addSearchRow("search " + label + " / rg -j1" + std::string(q.regex ? " line by line" : "") + differing(oursCounts, rgCounts),
                     ours, peer);
        if (q.regex)
            addSearchRow("search " + label + " / rg -j1 -U (multi-line, as ours)" +
                             differing(oursCounts, parseCounts(Process::run(rg, peerArgs(q, true, root)).standardOutput)),
                         ours, QStringList{rg} + peerArgs(q, true, root));
        // grep's output goes to a file: to /dev/null it would stop at the first match.
        const QByteArray output = (QDir::tempPath() + "/qorvel-search-bench-grep.out").toLocal8Bit();
        addSearchRow("search " + label + " / grep -r (counts lines)", ours, QStringList{grep} + peerArgs(q, false, root),
                     output.constData());
        QFile::remove(QString::fromLocal8Bit(output));
        // In process, as the find window runs it, against rg's whole process.
        const QVSearch search = makeSearch(q);
        paired::Comparison inProcess;
        qint64 replaced = 0;
        std::map<std::string, qint64> counts = searchTree(search, q.replace != nullptr, &replaced, root);
        paired::run(peer);
        for (int i = 0; i < rounds(); ++i) {
            paired::Run one;
            const double cpu = processCpu(), start = paired::now();
            counts = searchTree(search, q.replace != nullptr, &replaced, root);
            one.wall = paired::now() - start + ourStartup.median;
            one.cpu = processCpu() - cpu + ourStartup.median;
            one.ok = true;
            inProcess.ours.push_back(one);
            inProcess.peer.push_back(paired::run(peer));
        }
        paired::addRow(paired::row("search " + label + " in process, our start-up added" +
                                       (q.replace ? ", with results and replacements" : "") + " / rg -j1" + differing(counts, rgCounts),
                                   inProcess));
        if (!q.regex && q.caseSensitive) {
            const QStringList limit{paired::memchrScanner(), q.pattern, root};
            const auto scanCounts = parseCounts(Process::run(limit[0], limit.mid(1)).standardOutput);
            addSearchRow("search " + label + " / read-and-memchr limit (readmemchr)" + differing(oursCounts, scanCounts), ours, limit);
            addSearchRow("rg -j1 " + label + " / read-and-memchr limit", peer, limit);
        }
    }
}

// The installed documentation and JavaScript libraries: thousands of compressed files, other
// binaries and files without extension beside the text. They are copied first with their links
// resolved (cp -L): rg does not follow links and Qorvel's walk does, so only on such a copy do
// both search the same files. The literal, caseless and frequent literal searches beside rg on
// one thread, the literal one also beside reading every byte with memchr; the counts of every
// text file must equal rg's.
void binaryTreeRows() {
    const QString rg = Process::findExecutable("rg");
    if (rg.isEmpty() || !QFileInfo(paired::driver()).isExecutable()) return;
    QTemporaryDir copies;
    for (const QString& installed : {QStringLiteral("/usr/share/doc"), QStringLiteral("/usr/share/javascript")}) {
        if (!QFileInfo(installed).isDir()) continue;
        // Dangling links are left out (cp says so and goes on).
        const QString root = copies.filePath(QFileInfo(installed).fileName());
        Process::run(QStringLiteral("cp"), {QStringLiteral("-rL"), QStringLiteral("--"), installed, root});
        if (!QFileInfo(root).isDir()) continue;
        // bench/crosscheck times these rows with nine rounds: as many here, so that the two agree
        // within what load moves, not within what three rounds leave to chance (a round of both
        // sides and their empty searches takes a third of a second at most).
        const int pairs = std::max(rounds(), 9);
        for (const Query* query : {&kQueries[0], &kQueries[1], &kFrequentLiteral}) {
            const Query& q = *query;
            const QStringList ours = driverArgs(q, root);
            const QStringList peer = QStringList{rg} + peerArgs(q, true, root);
            const auto oursCounts = parseCounts(Process::run(ours[0], ours.mid(1)).standardOutput);
            const auto rgCounts = parseCounts(Process::run(rg, peerArgs(q, true, root)).standardOutput);
            const std::string label = "with binaries " + installed.toStdString() + " (links resolved) " + q.name;
            std::printf("%s: %lld matches in %zu files, rg %lld in %zu\n", label.c_str(), sum(oursCounts), oursCounts.size(),
                        sum(rgCounts), rgCounts.size());
            addSearchRow("search " + label + " / rg -j1" + differing(oursCounts, rgCounts), ours, peer, "/dev/null", pairs);
            // The memchr limit for the rare literal: the frequent one adds only the work per match.
            if (query != &kQueries[0]) continue;
            const QStringList limit{paired::memchrScanner(), q.pattern, root};
            addSearchRow("search " + label + " / read-and-memchr limit (readmemchr)", ours, limit, "/dev/null", pairs);
        }
    }
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
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    std::printf("\ncorpus: %zu files, %.1f MB\n", corpus().files.size(), double(corpus().bytes) / (1024 * 1024));
    if (qgetenv("QORVEL_BENCH_PROCESSES") != "0") {
        // QORVEL_SEARCH_PARTS picks some of "processes", "runner", "replace", "binary" and
        // "memory" (default: all).
        const QString parts = qEnvironmentVariable("QORVEL_SEARCH_PARTS", QStringLiteral("processes,runner,replace,binary,memory"));
        if (parts.contains(QLatin1String("processes")))
            wholeProcesses("generated", rootPath());
        if (parts.contains(QLatin1String("runner")))
            runnerRows("generated", rootPath());
        if (parts.contains(QLatin1String("replace")))
            replaceRows();
        if (parts.contains(QLatin1String("memory"))) {
            replaceMemoryRow();
            replaceMemoryRow(true);
        }
        QTemporaryDir realFolder(QDir::tempPath() + "/qorvel-search-real-XXXXXX");
        const QString real = parts.contains(QLatin1String("processes")) ? realWebTree(realFolder.path()) : QString();
        if (!real.isEmpty())
            wholeProcesses("real", real);
        if (parts.contains(QLatin1String("binary")))
            binaryTreeRows();
    }
    paired::printTable("Search in files: ours / peer, ratio below 1 is faster", "the search alone: cpu ratio (median), ours / peer processor time");
    return 0;
}
