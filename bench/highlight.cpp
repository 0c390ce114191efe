// Syntax highlighting of large files, side by side with kate-syntax-highlighter and highlight.
//
// In memory, ours alone: a generated 10 MB HTML file (style, script and server-side blocks among
// the markup) and a 10 MB script file, each coloured whole with the shipped languages and theme
// (the text already in a storage), and the real files below the same way; throughput and growth
// only, for a peer's whole process is not the same work as a parse of decoded text.
//
// Against the peers, as whole processes: bench/driver's `qvdriver highlight FILE` (read, decode,
// colour with the shipped languages and theme, write 24-bit colour terminal text to /dev/null)
// beside kate's `-f ansi` run, in turns, over the generated files and real files from Debian
// packages (node-typescript, libjs-pdf, libjs-three, libjs-bootstrap5, php-tcpdf,
// /usr/share/doc/*/html); outside the timing both outputs, escapes removed, must be the file's
// text. `highlight -O truecolor` is quadratic on markup, so it gets the first 0.5 MiB of each
// generated file, in turns with `qvdriver highlight` on the same file.
//
// Last, words are typed and erased keystroke by keystroke in files of 100,000 lines, each
// keystroke re-coloured the way the editor does; p50 and p99 per keystroke are counters in
// microseconds.
// QORVEL_BENCH_MB changes the size of the large files (default 10), QORVEL_BENCH_ROUNDS the pairs
// of whole-process runs (default 3). Wall-clock times; the ratios are printed at the end.
#include "tests/languages/LanguageFixtures.h"

#include "bench/Paired.h"

#include "languages/QVBundleRepository.h"
#include "languages/QVThemeRepository.h"
#include "platform/Process.h"
#include "platform/QVTextStorage.h"
#include "shell/FileEncodings.h"

#include <QCoreApplication>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

qint64 sizeFromEnv(const char* name, qint64 fallbackMB) {
    bool ok = false;
    const qint64 mb = qgetenv(name).toLongLong(&ok);
    return (ok && mb > 0 ? mb : fallbackMB) * 1000 * 1000;
}

// --- Realistic text -----------------------------------------------------------------------

class Writer {
public:
    explicit Writer(unsigned seed) : _random(seed) {}
    const char* pick(std::initializer_list<const char*> list) { return list.begin()[_random() % list.size()]; }
    int number(int below) { return int(_random() % unsigned(below)); }
    QString words(int count) {
        static const char* const kWords[] = {"lorem", "ipsum", "dolor", "sit", "amet", "consectetur", "adipiscing",
                                             "elit", "sed", "do", "eiusmod", "tempor", "incididunt", "labore",
                                             "magna", "aliqua", "enim", "minim", "veniam", "quis", "nostrud"};
        QString text;
        for (int i = 0; i < count; ++i) {
            if (i) text += u' ';
            text += QLatin1String(kWords[_random() % std::size(kWords)]);
        }
        return text;
    }

private:
    std::mt19937 _random;
};

QString identifier(Writer& w) {
    return QString::fromLatin1(w.pick({"item", "value", "node", "count", "result", "options", "element", "list", "index", "total"})) +
           QString::fromLatin1(w.pick({"", "Name", "Id", "Count", "List", "Map", "Data"}));
}

// One function or class of a script, 6 to 30 lines.
void appendScript(QString& out, Writer& w, int n, const QString& indent) {
    const QString name = identifier(w) + QString::number(n);
    switch (w.number(4)) {
    case 0:
        out += indent + u"/**\n"_qs + indent + u" * "_qs + w.words(8) + u"\n"_qs + indent + u" * @param {Object} options\n"_qs +
               indent + u" */\n"_qs;
        out += indent + u"function "_qs + name + u"(options, callback) {\n"_qs;
        out += indent + u"  const "_qs + identifier(w) + u" = options."_qs + identifier(w) + u" || "_qs +
               QString::number(w.number(1000)) + u";\n"_qs;
        out += indent + u"  for (let i = 0; i < options.length; i++) {\n"_qs;
        out += indent + u"    if (options[i] === null) { continue; } // "_qs + w.words(4) + u"\n"_qs;
        out += indent + u"    callback(\""_qs + w.words(3) + u"\", options[i], 0x"_qs + QString::number(w.number(65536), 16).toUpper() + u");\n"_qs;
        out += indent + u"  }\n"_qs + indent + u"  return true;\n"_qs + indent + u"}\n\n"_qs;
        break;
    case 1:
        out += indent + u"class "_qs + QString::fromLatin1(w.pick({"Widget", "Panel", "Store", "Model"})) + QString::number(n) +
               u" extends Base {\n"_qs;
        out += indent + u"  constructor(name, size) {\n"_qs + indent + u"    super(name);\n"_qs;
        out += indent + u"    this.size = size; // "_qs + w.words(3) + u"\n"_qs;
        out += indent + u"    this.label = 'item-"_qs + QString::number(n) + u"';\n"_qs + indent + u"  }\n"_qs;
        out += indent + u"  async load(url) {\n"_qs;
        out += indent + u"    const response = await fetch(url + \"?page=\" + this.size);\n"_qs;
        out += indent + u"    /* "_qs + w.words(6) + u"\n"_qs + indent + u"       "_qs + w.words(5) + u" */\n"_qs;
        out += indent + u"    return response.ok ? response.json() : undefined;\n"_qs + indent + u"  }\n"_qs + indent + u"}\n\n"_qs;
        break;
    case 2:
        out += indent + u"const "_qs + name + u" = {\n"_qs;
        for (int i = 0, count = 3 + w.number(8); i < count; ++i)
            out += indent + u"  "_qs + identifier(w) + QString::number(i) + u": "_qs +
                   (i % 3 == 0 ? u"\""_qs + w.words(2) + u"\""_qs : i % 3 == 1 ? QString::number(w.number(100000)) : u"false"_qs) + u",\n"_qs;
        out += indent + u"};\n\n"_qs;
        break;
    default:
        out += indent + u"export function "_qs + name + u"(event) {\n"_qs;
        out += indent + u"  switch (event.type) {\n"_qs;
        for (int i = 0, count = 2 + w.number(5); i < count; ++i)
            out += indent + u"    case \""_qs + QString::fromLatin1(w.pick({"click", "keydown", "focus", "blur", "change"})) +
                   u"\": return handle(event, "_qs + QString::number(i) + u");\n"_qs;
        out += indent + u"    default: throw new Error(\"unknown event \" + event.type);\n"_qs + indent + u"  }\n"_qs + indent + u"}\n\n"_qs;
        break;
    }
}

QString makeScript(qint64 size) {
    Writer w(7);
    QString out;
    out.reserve(size + 4096);
    out += u"// Generated module\n'use strict';\nimport { Base, handle } from \"./base.js\";\n\n"_qs;
    for (int n = 0; out.size() < size; ++n) appendScript(out, w, n, u""_qs);
    return out;
}

QString makeHtml(qint64 size) {
    Writer w(11);
    QString out;
    out.reserve(size + 4096);
    out += u"<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>Generated page</title>\n"_qs;
    for (int n = 0; out.size() < size; ++n) {
        switch (n % 8) {
        case 0:
            out += u"<style type=\"text/css\">\n/* section "_qs + QString::number(n) + u" */\n"_qs;
            for (int i = 0, count = 2 + w.number(4); i < count; ++i)
                out += u".card-"_qs + QString::number(n) + u"-"_qs + QString::number(i) + u" { margin: 0 auto; padding: "_qs +
                       QString::number(w.number(40)) + u"px; color: #"_qs + QString::number(0x100 + w.number(0xeff), 16) +
                       u"; font-family: \"Helvetica\", sans-serif; display: block; }\n"_qs;
            out += u"</style>\n"_qs;
            break;
        case 1:
            out += u"<script type=\"text/javascript\">\n"_qs;
            appendScript(out, w, n, u"  "_qs);
            out += u"</script>\n"_qs;
            break;
        default:
            out += u"<div class=\"card card-"_qs + QString::number(n) + u"\" id=\"c"_qs + QString::number(n) +
                   u"\" data-index=\""_qs + QString::number(n) + u"\">\n"_qs;
            out += u"  <h2 class=\"title\">"_qs + w.words(4) + u"</h2>\n"_qs;
            out += u"  <p>"_qs + w.words(10) + u" <a href=\"/articles/"_qs + QString::number(n) +
                   u"?ref=home&amp;page=2\" title=\"Read more\">"_qs + w.words(2) + u"</a> "_qs + w.words(8) +
                   u" <em>"_qs + w.words(2) + u"</em>.</p>\n"_qs;
            if (n % 3 == 0) out += u"  <!-- "_qs + w.words(6) + u" -->\n"_qs;
            out += u"  <ul>\n"_qs;
            for (int i = 0, count = 1 + w.number(4); i < count; ++i)
                out += u"    <li><?php echo htmlspecialchars($items["_qs + QString::number(i) + u"]); ?></li>\n"_qs;
            out += u"  </ul>\n"_qs;
            if (n % 4 == 2)
                out += u"  <?php if ($user->isAdmin()) { ?>\n  <button type=\"button\" onclick=\"toggle("_qs + QString::number(n) +
                       u")\">Edit</button>\n  <?php } ?>\n"_qs;
            out += u"  <img src=\"/img/"_qs + QString::number(n) + u".png\" alt=\""_qs + w.words(3) +
                   u"\"\n       width=\"320\" height=\"200\">\n</div>\n"_qs;
            break;
        }
    }
    out += u"</body>\n</html>\n"_qs;
    return out;
}

// The first count lines of text.
QString firstLines(const QString& text, int count) {
    qsizetype at = 0;
    for (int i = 0; i < count && at >= 0; ++i) {
        at = text.indexOf(QLatin1Char('\n'), at);
        if (at >= 0) ++at;
    }
    return at < 0 ? text : text.left(at);
}

// --- Inputs -------------------------------------------------------------------------------

struct Input {
    std::string name;
    QString text;
    QString path;
    bool html;
};

QTemporaryDir& folder() {
    static QTemporaryDir dir;
    return dir;
}

Input makeInput(const std::string& name, const QString& text, bool html) {
    Input input{name, text, folder().filePath(QString::fromStdString(name) + (html ? u".html"_qs : u".js"_qs)), html};
    QFile file(input.path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) < 0) std::fprintf(stderr, "cannot write %s\n", qPrintable(input.path));
    return input;
}

const std::vector<Input>& inputs() {
    static const std::vector<Input> list = [] {
        const qint64 size = sizeFromEnv("QORVEL_BENCH_MB", 10);
        const QString html = makeHtml(size);
        const QString script = makeScript(size);
        const qint64 small = 512 * 1024;
        return std::vector<Input>{makeInput("html", html, true), makeInput("js", script, false),
                                  makeInput("html_0.5MiB", html.left(small), true),
                                  makeInput("js_0.5MiB", script.left(small), false)};
    }();
    return list;
}

const Input* inputNamed(const std::string& name) {
    for (const Input& input : inputs())
        if (input.name == name) return &input;
    return nullptr;
}

// The shipped languages and the current theme, as the editor and `qvdriver highlight` use them.
struct Shipped {
    std::shared_ptr<QVTheme> theme = QVThemeRepository::sharedRepository().currentTheme();
    std::shared_ptr<QVParser> html = parserOf(u"html"_qs);
    std::shared_ptr<QVParser> js = parserOf(u"js"_qs);

    std::shared_ptr<QVParser> parserOf(const QString& extension) const {
        const std::shared_ptr<QVBundle> bundle = QVBundleRepository::sharedRepository().bundleForFileCategory(QString(), extension);
        std::shared_ptr<QVParser> parser = bundle ? bundle->parser() : nullptr;
        if (!parser || !theme) {
            std::fprintf(stderr, "the shipped language for .%s or the theme is missing\n", qPrintable(extension));
            std::exit(1);
        }
        parser->setTheme(theme);
        return parser;
    }
};

Shipped& languages() {
    static Shipped list;
    return list;
}

QVParser& parserFor(const Input& input) { return input.html ? *languages().html : *languages().js; }

std::map<std::string, double>& timings() {
    static std::map<std::string, double> map;
    return map;
}

// The mean of the iterations, each of which reported its own time to the benchmark library.
void record(benchmark::State& state, const std::string& key, Clock::duration total) {
    if (state.iterations() > 0) timings()[key] = std::chrono::duration<double>(total).count() / double(state.iterations());
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// --- Benchmarks ---------------------------------------------------------------------------

void BM_Ours(benchmark::State& state, const std::string& name) {
    const Input& input = *inputNamed(name);
    const QVariantMap standard = fixtures::standardAttributes(*languages().theme);
    Clock::duration total{};
    for (auto _ : state) {
        QVTextStorage storage;
        storage.replaceCharacters(QVRange(0, 0), input.text);
        const auto start = Clock::now();
        fixtures::highlightAll(storage, parserFor(input), standard);
        const auto one = Clock::now() - start;
        state.SetIterationTime(seconds(one));
        total += one;
    }
    // Outside the timing: how many colour runs the last colouring made.
    {
        QVTextStorage storage;
        storage.replaceCharacters(QVRange(0, 0), input.text);
        fixtures::highlightAll(storage, parserFor(input), standard);
        QVRange run(0, 0);
        qint64 count = 0;
        for (qint64 at = 0; at < storage.length(); at = run.end(), ++count)
            storage.attribute(QVTextStorage::ForegroundColorAttribute, at, &run);
        state.counters["colour_runs"] = double(count);
    }
    record(state, "qorvel/" + name, total);
    state.SetBytesProcessed(state.iterations() * input.text.toUtf8().size());
}

// The peers' cheapest output that still colours every character: terminal escapes.
QStringList peerArguments(const std::string& program, const QString& path) {
    if (program == "kate-syntax-highlighter") return {u"-f"_qs, u"ansi"_qs, u"-o"_qs, u"/dev/null"_qs, path};
    return {u"-O"_qs, u"truecolor"_qs, u"-i"_qs, path, u"-o"_qs, u"/dev/null"_qs};
}

// Typing at random places of a 100,000-line file: at each place a five-letter word is typed
// and erased again, one keystroke at a time, and every keystroke is re-coloured the way the
// editor does. Each sample is one keystroke; its re-colouring is timed apart from the edit of
// the text storage itself. The first keystroke at a new place is counted apart too: there the
// storage moves the gap buffers of its attribute runs over from the last place, a cost that
// grows with the distance and belongs to the storage, not to the highlighter.
void BM_Rehighlight(benchmark::State& state, bool html) {
    const Input& source = *inputNamed(html ? "html" : "js");
    QVParser& parser = parserFor(source);
    const QVariantMap standard = fixtures::standardAttributes(*languages().theme);
    QVTextStorage storage;
    storage.replaceCharacters(QVRange(0, 0), firstLines(source.text, 100000));
    fixtures::highlightAll(storage, parser, standard);
    const QString original = storage.string();
    std::mt19937 random(3);
    std::vector<double> colouring, arriving, editing, both;
    qint64 colouredLines = 0;
    constexpr int kWord = 5;
    qint64 place = 0;
    int keystroke = 0;  // 0 .. 2 * kWord - 1 at the current place
    auto micros = [](Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); };
    for (auto _ : state) {
        if (keystroke == 0) {
            const QVRange line = storage.lineRange(qint64(random() % quint64(storage.lineCount() - 1)));
            place = line.location + qint64(random() % quint64(std::max<qint64>(line.length, 1)));
        }
        QVRange edited;
        const auto start = Clock::now();
        storage.beginEditing();
        if (keystroke < kWord) {
            storage.replaceCharacters(QVRange(place + keystroke, 0), QStringView(u"value").mid(keystroke, 1));
            edited = QVRange(place + keystroke, 1);
        } else {
            const qint64 at = place + 2 * kWord - keystroke - 1;
            storage.replaceCharacters(QVRange(at, 1), u"");
            edited = QVRange(at, 0);
        }
        storage.endEditing();
        const auto edit = Clock::now();
        const QVRange coloured = fixtures::rehighlight(storage, parser, edited, standard);
        const auto end = Clock::now();
        editing.push_back(micros(edit - start));
        (keystroke == 0 ? arriving : colouring).push_back(micros(end - edit));
        both.push_back(micros(end - start));
        colouredLines += storage.lineOfPosition(coloured.end()) - storage.lineOfPosition(coloured.location) + 1;
        state.SetIterationTime(std::chrono::duration<double>(end - edit).count());
        keystroke = (keystroke + 1) % (2 * kWord);
    }
    auto percentile = [](std::vector<double>& samples, double p) {
        std::sort(samples.begin(), samples.end());
        return samples.empty() ? 0.0 : samples[std::min(samples.size() - 1, size_t(p * double(samples.size())))];
    };
    state.counters["colour_p50_us"] = percentile(colouring, 0.50);
    state.counters["colour_p99_us"] = percentile(colouring, 0.99);
    state.counters["colour_max_us"] = percentile(colouring, 1.0);
    state.counters["first_key_colour_p50_us"] = percentile(arriving, 0.50);
    state.counters["first_key_colour_p99_us"] = percentile(arriving, 0.99);
    state.counters["edit_p99_us"] = percentile(editing, 0.99);
    state.counters["edit_and_colour_p99_us"] = percentile(both, 0.99);
    state.counters["lines_per_edit"] = double(colouredLines) / double(colouring.size() + arriving.size());
    const std::string name = html ? "html" : "js";
    timings()["colour_p50_us/" + name] = percentile(colouring, 0.50);
    timings()["colour_p99_us/" + name] = percentile(colouring, 0.99);
    timings()["edit_p99_us/" + name] = percentile(editing, 0.99);
    timings()["first_key_colour_p99_us/" + name] = percentile(arriving, 0.99);
    // Every word was taken back: the text must be the one we started with.
    if (keystroke == 0 && storage.string() != original) state.SkipWithError("typing did not restore the text");
}

// --- Whole processes ----------------------------------------------------------------------

// Real files nobody here wrote, from Debian packages, where installed (scripts/setup installs them).
QStringList realFiles() {
    QStringList files;
    for (const char* path : {"/usr/share/nodejs/typescript/lib/typescript.js", "/usr/share/javascript/pdf/build/pdf.worker.js",
                             "/usr/share/javascript/pdf/build/pdf.js", "/usr/share/javascript/pdf/web/viewer.js",
                             "/usr/share/javascript/pdf/web/viewer.html", "/usr/share/javascript/pdf/web/viewer.css",
                             "/usr/share/javascript/three/three.js", "/usr/share/javascript/bootstrap5/js/bootstrap.js",
                             "/usr/share/javascript/bootstrap5/css/bootstrap.css", "/usr/share/php/tcpdf/tcpdf.php"}) {
        if (QFileInfo(QString::fromLatin1(path)).isFile()) files << QFileInfo(QString::fromLatin1(path)).canonicalFilePath();
    }
    // The two largest pages of installed documentation.
    QFileInfoList pages;
    for (QDirIterator it(u"/usr/share/doc"_qs, {u"*.html"_qs}, QDir::Files, QDirIterator::Subdirectories); it.hasNext();) {
        it.next();
        if (it.filePath().contains(u"/html/"_qs)) pages << it.fileInfo();
    }
    std::sort(pages.begin(), pages.end(), [](const QFileInfo& a, const QFileInfo& b) { return a.size() > b.size(); });
    for (qsizetype i = 0; i < std::min<qsizetype>(2, pages.size()); ++i) files << pages[i].canonicalFilePath();
    return files;
}

// The text of an output or a file, escapes and a byte-order mark removed.
QString plainText(const QByteArray& bytes) {
    static const QRegularExpression escape(u"\x1b\\[[0-9;]*[A-Za-z]"_qs);
    QString text = QString::fromUtf8(bytes).remove(escape);
    if (text.startsWith(QChar(0xFEFF))) text.remove(0, 1);
    return text;
}

// Both outputs, escapes removed, are the file's text (kate adds a line break at the end of a file
// that lacks one).
bool outputsHoldText(const QString& path, const QString& kate) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
    const QString text = plainText(file.readAll());
    const QString scratch = folder().filePath(u"check.out"_qs);
    paired::run({paired::driver(), u"highlight"_qs, path}, scratch.toLocal8Bit().constData());
    QFile ours(scratch);
    const bool oursHolds = ours.open(QIODevice::ReadOnly) && plainText(ours.readAll()) == text;
    const ProcessResult theirs = Process::run(kate, {u"-f"_qs, u"ansi"_qs, path});
    QString theirText = plainText(theirs.standardOutput);
    if (theirText.size() == text.size() + 1 && theirText.endsWith(u'\n')) theirText.chop(1);
    return oursHolds && theirText == text;
}

void wholeProcesses() {
    const QString kate = Process::findExecutable(u"kate-syntax-highlighter"_qs);
    if (kate.isEmpty() || !QFileInfo(paired::driver()).isExecutable()) {
        std::printf("whole processes: kate-syntax-highlighter or %s missing\n", qPrintable(paired::driver()));
        return;
    }
    bool ok = false;
    int rounds = qEnvironmentVariableIntValue("QORVEL_BENCH_ROUNDS", &ok);
    if (!ok || rounds <= 0) rounds = 3;
    QStringList files{inputNamed("html")->path, inputNamed("js")->path};
    files += realFiles();
    // Start-up on an empty file of each kind: what every whole-process figure below includes.
    for (const char* ext : {"js", "html"}) {
        const QString empty = folder().filePath(u"empty."_qs + QLatin1String(ext));
        QFile(empty).open(QIODevice::WriteOnly);
        const paired::Spread k = paired::alone({kate, u"-f"_qs, u"ansi"_qs, u"-o"_qs, u"/dev/null"_qs, empty}, 5);
        const paired::Spread o = paired::alone({paired::driver(), u"highlight"_qs, empty}, 5);
        std::printf("start-up on an empty .%s: qvdriver highlight %.1f ms, kate-syntax-highlighter -f ansi %.1f ms\n", ext,
                    o.median * 1e3, k.median * 1e3);
        timings()[std::string("startup/kate/") + ext] = k.median;
    }
    double oursSum = 0, kateSum = 0;
    std::vector<double> perFile;
    for (const QString& path : files) {
        const paired::Comparison c =
            paired::compare({paired::driver(), u"highlight"_qs, path}, {kate, u"-f"_qs, u"ansi"_qs, u"-o"_qs, u"/dev/null"_qs, path}, rounds);
        const bool same = outputsHoldText(path, kate);
        const double mb = double(QFileInfo(path).size()) / 1e6;
        const std::string name = "highlight " + QFileInfo(path).fileName().toStdString() + " (" + std::to_string(int(mb * 100) / 100.0).substr(0, 4) +
                                 " MB)" + (same ? "" : " OUTPUTS DIFFER");
        paired::addRow(paired::row(name, c));
        if (path != inputNamed("html")->path && path != inputNamed("js")->path) {
            oursSum += paired::Comparison::side(c.ours, false).median;
            kateSum += paired::Comparison::side(c.peer, false).median;
            perFile.push_back(c.wallRatio().median);
        }
    }
    // `highlight` is quadratic on markup: it gets the first 0.5 MiB of each generated file.
    const QString highlight = Process::findExecutable(u"highlight"_qs);
    for (const char* name : {"html_0.5MiB", "js_0.5MiB"}) {
        if (highlight.isEmpty()) break;
        const QString path = inputNamed(name)->path;
        paired::addRow(paired::row(std::string("highlight ") + name + " / highlight -O truecolor",
                                   paired::compare({paired::driver(), u"highlight"_qs, path},
                                                   QStringList{highlight} + peerArguments("highlight", path), rounds)));
    }
    if (kateSum > 0) {
        const paired::Spread s = paired::spread(perFile);
        std::printf("real files as whole processes: %zu files, ours %.0f ms, kate %.0f ms, sum ratio %.3f; per file min %.2f median %.2f max %.2f\n",
                    perFile.size(), oursSum * 1e3, kateSum * 1e3, oursSum / kateSum, s.min, s.median, s.max);
    }
}

// --- Real files in memory -----------------------------------------------------------------

// Each real file coloured whole in memory with the shipped language of its extension and the
// current theme (the text already in a storage; what `qvdriver highlight` does between reading
// and writing); processor time. No peer here: the peers' figures are whole processes, above.
// Also per file: the file's text twice over (linear colouring takes twice the time) and its ten
// pieces cut at line starts coloured one after the other (checked, outside the timing, to give
// the runs of the whole when they should).
void realFilesInMemory() {
    bool ok = false;
    int rounds = qEnvironmentVariableIntValue("QORVEL_BENCH_ROUNDS", &ok);
    if (!ok || rounds <= 0) rounds = 3;
    const std::shared_ptr<QVTheme> theme = languages().theme;
    const QVariantMap standard = fixtures::standardAttributes(*theme);
    // Processor time: this machine runs other work beside the benchmarks.
    auto threadTime = [] {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
    };
    auto timed = [&](auto&& work) {
        const double start = threadTime();
        work();
        return threadTime() - start;
    };
    std::printf("\nHighlighting real files in memory (shipped languages, processor time; no peer: see the whole-process rows)\n"
                "%-28s %6s %12s %8s %16s %19s\n", "file", "MB", "ours median", "ms/MB", "doubled / whole", "ten pieces / whole");
    std::vector<double> perMB, growth;
    for (const QString& path : realFiles()) {
        QVStringEncoding encoding = 0;
        const std::optional<QString> text = FileEncodings::createWithContentsOfFile(path, &encoding);
        const QString suffix = QFileInfo(path).suffix();
        const std::shared_ptr<QVBundle> bundle = QVBundleRepository::sharedRepository().bundleForFileCategory(QString(), suffix);
        const std::shared_ptr<QVParser> parser = bundle ? bundle->parser() : nullptr;
        if (!text || !parser) continue;
        parser->setTheme(theme);
        const QString doubled = *text + *text;
        auto storageOf = [](const QString& t) {
            auto storage = std::make_unique<QVTextStorage>();
            storage->replaceCharacters(QVRange(0, 0), t);
            return storage;
        };
        auto colourPieces = [&](QVTextStorage& storage) {
            qint64 from = 0;
            for (int i = 1; i <= 10; ++i) {
                const qint64 to = i == 10 ? storage.length() : storage.lineRange(storage.lineOfPosition(storage.length() * i / 10)).location;
                fixtures::colourRange(storage, *parser, QVRange(from, to - from), standard);
                from = to;
            }
        };
        std::vector<double> whole, twice, pieces;
        for (int round = 0; round < rounds; ++round) {
            auto a = storageOf(*text), b = storageOf(doubled), c = storageOf(*text);
            whole.push_back(timed([&] { fixtures::highlightAll(*a, *parser, standard); }));
            twice.push_back(timed([&] { fixtures::highlightAll(*b, *parser, standard); }));
            pieces.push_back(timed([&] { colourPieces(*c); }));
        }
        // Outside the timing: the pieces give the runs of the whole for every file whose
        // constructs all end on the line they begin (each file says which it is).
        auto a = storageOf(*text), c = storageOf(*text);
        fixtures::highlightAll(*a, *parser, standard);
        colourPieces(*c);
        const bool samePieces = a->dump() == c->dump();
        const double mb = double(QFileInfo(path).size()) / 1e6;
        const double ours = paired::spread(whole).median;
        perMB.push_back(ours * 1e3 / mb);
        growth.push_back(paired::spread(twice).median / ours);
        std::printf("%-28s %6.2f %9.1f ms %8.1f %16.2f %12.2f%s\n", qPrintable(QFileInfo(path).fileName().left(28)), mb, ours * 1e3,
                    ours * 1e3 / mb, growth.back(), paired::spread(pieces).median / ours, samePieces ? "" : " (other runs)");
    }
    if (perMB.empty()) return;
    std::printf("real files in memory: cost per MB from %.1f to %.1f ms (%.2fx apart); doubled / whole at most %.2f\n",
                *std::min_element(perMB.begin(), perMB.end()), *std::max_element(perMB.begin(), perMB.end()),
                *std::max_element(perMB.begin(), perMB.end()) / *std::min_element(perMB.begin(), perMB.end()),
                *std::max_element(growth.begin(), growth.end()));
}

}  // namespace

int main(int argc, char** argv) {
    QTemporaryDir sandbox;
    qputenv("XDG_CONFIG_HOME", (sandbox.path() + u"/config"_qs).toUtf8());
    qputenv("XDG_DATA_HOME", (sandbox.path() + u"/data"_qs).toUtf8());
    QCoreApplication app(argc, argv);
    Process::ignoreSigpipe();
    inputs();

    // In memory, ours alone: a peer's whole process (reading, start-up, writing) is no match for
    // a parse of text already decoded, so the peers are compared as whole processes below.
    for (const char* name : {"html", "js"})
        benchmark::RegisterBenchmark((std::string("qorvel/") + name).c_str(), BM_Ours, std::string(name))
            ->Unit(benchmark::kMillisecond)->Iterations(3)->UseManualTime();
    benchmark::RegisterBenchmark("rehighlight_line/js_100k_lines", BM_Rehighlight, false)
        ->Unit(benchmark::kMicrosecond)->Iterations(10000)->UseManualTime();
    benchmark::RegisterBenchmark("rehighlight_line/html_100k_lines", BM_Rehighlight, true)
        ->Unit(benchmark::kMicrosecond)->Iterations(10000)->UseManualTime();

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (qgetenv("QORVEL_BENCH_REAL") != "0") realFilesInMemory();
    if (qgetenv("QORVEL_BENCH_PROCESSES") != "0") wholeProcesses();

    std::printf("\nfiles: html %.1f MB, js %.1f MB\n", double(inputs()[0].text.toUtf8().size()) / 1e6,
                double(inputs()[1].text.toUtf8().size()) / 1e6);
    const auto& t = timings();
    for (const char* name : {"html", "js"}) {
        const auto a = t.find(std::string("qorvel/") + name);
        if (a != t.end() && a->second > 0)
            std::printf("generated %s coloured in memory with the shipped language: %.1f ms, %.1f MB/s\n", name, a->second * 1e3,
                        double(inputNamed(name)->text.toUtf8().size()) / 1e6 / a->second);
    }
    for (const std::string name : {"js", "html"}) {
        const auto p50 = t.find("colour_p50_us/" + name), p99 = t.find("colour_p99_us/" + name);
        const auto first = t.find("first_key_colour_p99_us/" + name), edit = t.find("edit_p99_us/" + name);
        if (p50 != t.end() && p99 != t.end() && first != t.end() && edit != t.end())
            std::printf("one-line re-highlight while typing (%s, 100k lines): p50 %.1f us, p99 %.1f us (goal < 1000);\n"
                        "  first keystroke at a new place p99 %.1f us; the storage edit itself p99 %.1f us\n",
                        name.c_str(), p50->second, p99->second, first->second, edit->second);
    }
    paired::printTable("Highlighting: qvdriver highlight / kate-syntax-highlighter -f ansi, whole processes");
    return 0;
}
