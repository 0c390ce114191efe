// The editor view offscreen, side by side with QPlainTextEdit: opening a 10 MB and a 100 MB file
// to the first painted frame; the whole keystroke (edit, re-highlight, layout of the visible
// lines) at the start, middle and end of a 100,000-line file, p50 and p99; scrolling a page at
// the end of that file.
//
// Files are JavaScript-like source in a temporary folder; settings live in a temporary folder
// too. QORVEL_BENCH_OPEN_MB lists the file sizes to open (default "10,100"). Times of the open
// and scroll benchmarks are per operation; the keystroke benchmarks report p50_us and p99_us
// counters, and the summary at the end prints the ratios to the peer.
#include "editor/HTMLView.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

QTemporaryDir* g_files = nullptr;
const QSize ViewSize(900, 700);

// Source lines of 0 to about 90 characters: code, strings, comments, the odd block comment.
QByteArray makeSource(qint64 lines, qint64 bytes) {
    static const char* const pieces[] = {"function", "return", "var", "const", "x", "=", "(", ")", "{", "}",
                                         "\"text\"", "'s'", "if", "else", "value", "42", ";", "+", "name", "this"};
    std::mt19937 rng(7);
    QByteArray out;
    out.reserve(bytes > 0 ? bytes + 128 : lines * 50);
    qint64 line = 0;
    while ((lines > 0 && line < lines) || (bytes > 0 && out.size() < bytes)) {
        ++line;
        if (line % 40 == 0) {
            out += "/* a block comment\n   over two lines */\n";
            ++line;
            continue;
        }
        if (line % 13 == 0) {
            out += "  // a line comment about the code below\n";
            continue;
        }
        const int words = int(rng() % 12);
        out += QByteArray(int(rng() % 3) * 2, ' ');
        for (int w = 0; w < words; ++w) {
            out += pieces[rng() % 20];
            out += ' ';
        }
        out += '\n';
    }
    return out;
}

QString writeFile(const QString& name, const QByteArray& bytes) {
    const QString path = g_files->filePath(name);
    if (!QFile::exists(path)) {
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write(bytes);
    }
    return path;
}

QString fileOfMB(int mb) {
    return writeFile(QStringLiteral("open-%1mb.js").arg(mb), makeSource(0, qint64(mb) * 1000 * 1000));
}

QString hundredThousandLines() { return writeFile(QStringLiteral("lines-100k.js"), makeSource(100000, 0)); }

// Mean seconds per operation by benchmark name, for the summary.
std::map<std::string, double>& results() {
    static std::map<std::string, double> map;
    return map;
}

void paint(QWidget& widget) {
    QImage frame(widget.size(), QImage::Format_ARGB32_Premultiplied);
    widget.render(&frame);
    benchmark::DoNotOptimize(frame.constBits());
}

// --- Open to the first painted frame ----------------------------------------------------------

void BM_OpenFirstPaint_Qorvel(benchmark::State& state) {
    const QString path = fileOfMB(int(state.range(0)));
    double total = 0;
    for (auto _ : state) {
        QElapsedTimer clock;
        clock.start();
        auto view = std::make_unique<HTMLView>(path);
        view->resize(ViewSize);
        if (!view->loadFromPath(path)) state.SkipWithError("the file did not load");
        paint(*view);
        const double seconds = clock.nsecsElapsed() / 1e9;
        state.SetIterationTime(seconds);
        total += seconds;
        state.PauseTiming();
        view.reset();
        state.ResumeTiming();
    }
    results()["open/qorvel/" + std::to_string(state.range(0))] = total / double(state.iterations());
}

void BM_OpenFirstPaint_QPlainTextEdit(benchmark::State& state) {
    const QString path = fileOfMB(int(state.range(0)));
    double total = 0;
    for (auto _ : state) {
        QElapsedTimer clock;
        clock.start();
        auto edit = std::make_unique<QPlainTextEdit>();
        edit->resize(ViewSize);
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) state.SkipWithError("the file did not open");
        edit->setPlainText(QString::fromUtf8(file.readAll()));
        paint(*edit);
        const double seconds = clock.nsecsElapsed() / 1e9;
        state.SetIterationTime(seconds);
        total += seconds;
        state.PauseTiming();
        edit.reset();
        state.ResumeTiming();
    }
    results()["open/peer/" + std::to_string(state.range(0))] = total / double(state.iterations());
}

// --- Keystrokes -------------------------------------------------------------------------------

struct Percentiles {
    double p50 = 0;
    double p99 = 0;
};

Percentiles percentiles(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) { return samples[std::min(samples.size() - 1, size_t(q * double(samples.size())))]; };
    return {at(0.50), at(0.99)};
}

// Where in the file: 0 start, 1 middle, 2 end.
void BM_Keystroke_Qorvel(benchmark::State& state) {
    static std::unique_ptr<HTMLView> view;
    if (!view) {
        view = std::make_unique<HTMLView>(hundredThousandLines());
        view->resize(ViewSize);
        view->show();
        view->loadFromPath(hundredThousandLines());
        view->finishHighlighting();
    }
    const qint64 line = state.range(0) == 0 ? 10 : state.range(0) == 1 ? 50000 : 99990;
    const qint64 position = view->textStorage().lineContentsEnd(line);
    view->setSelectedRange(QVRange(position, 0));
    view->scrollRangeToVisible(QVRange(position, 0));
    view->ensureLayoutOfVisibleLines();
    std::vector<double> samples;
    samples.reserve(4096);
    bool insert = true;
    for (auto _ : state) {
        QElapsedTimer clock;
        clock.start();
        // One keystroke: the change (with its undo record), re-colouring, the visible layouts.
        if (insert) view->insertText(QStringLiteral("x"));
        else view->deleteBackward();
        view->ensureLayoutOfVisibleLines();
        const double seconds = clock.nsecsElapsed() / 1e9;
        state.SetIterationTime(seconds);
        samples.push_back(seconds * 1e6);
        insert = !insert;
    }
    const Percentiles p = percentiles(samples);
    state.counters["p50_us"] = p.p50;
    state.counters["p99_us"] = p.p99;
    results()["key/p50/" + std::to_string(state.range(0))] = p.p50;
    results()["key/p99/" + std::to_string(state.range(0))] = p.p99;
    if (state.range(0) == 2) view.reset();
}

// The same keystroke with the painting of the frame that follows it.
void BM_KeystrokeAndPaint_Qorvel(benchmark::State& state) {
    auto view = std::make_unique<HTMLView>(hundredThousandLines());
    view->resize(ViewSize);
    view->loadFromPath(hundredThousandLines());
    view->finishHighlighting();
    const qint64 position = view->textStorage().lineContentsEnd(50000);
    view->setSelectedRange(QVRange(position, 0));
    view->scrollRangeToVisible(QVRange(position, 0));
    paint(*view);
    std::vector<double> samples;
    bool insert = true;
    for (auto _ : state) {
        QElapsedTimer clock;
        clock.start();
        if (insert) view->insertText(QStringLiteral("x"));
        else view->deleteBackward();
        paint(*view);
        const double seconds = clock.nsecsElapsed() / 1e9;
        state.SetIterationTime(seconds);
        samples.push_back(seconds * 1e6);
        insert = !insert;
    }
    const Percentiles p = percentiles(samples);
    state.counters["p50_us"] = p.p50;
    state.counters["p99_us"] = p.p99;
}

void BM_Keystroke_QPlainTextEdit(benchmark::State& state) {
    auto edit = std::make_unique<QPlainTextEdit>();
    edit->resize(ViewSize);
    QFile file(hundredThousandLines());
    file.open(QIODevice::ReadOnly);
    edit->setPlainText(QString::fromUtf8(file.readAll()));
    QTextCursor cursor(edit->document()->findBlockByNumber(50000));
    cursor.movePosition(QTextCursor::EndOfBlock);
    edit->setTextCursor(cursor);
    edit->ensureCursorVisible();
    paint(*edit);
    std::vector<double> samples;
    bool insert = true;
    for (auto _ : state) {
        QElapsedTimer clock;
        clock.start();
        QTextCursor c = edit->textCursor();
        if (insert) c.insertText(QStringLiteral("x"));
        else c.deletePreviousChar();
        edit->setTextCursor(c);
        paint(*edit);
        const double seconds = clock.nsecsElapsed() / 1e9;
        state.SetIterationTime(seconds);
        samples.push_back(seconds * 1e6);
        insert = !insert;
    }
    const Percentiles p = percentiles(samples);
    state.counters["p50_us"] = p.p50;
    state.counters["p99_us"] = p.p99;
    results()["peerkey/p50"] = p.p50;
    results()["peerkey/p99"] = p.p99;
}

// --- Scrolling --------------------------------------------------------------------------------

// Pages down through the last pages of the file, each a page never drawn before; the time per
// page goes to results()[key].
void pageDownAtEnd(benchmark::State& state, QAbstractScrollArea& view, const char* key) {
    QScrollBar* bar = view.verticalScrollBar();
    bar->setValue(bar->maximum() - 400 * bar->pageStep());
    paint(view);
    double total = 0;
    for (auto _ : state) {
        if (bar->value() >= bar->maximum()) {
            state.PauseTiming();
            bar->setValue(bar->maximum() - 400 * bar->pageStep());
            paint(view);
            state.ResumeTiming();
        }
        QElapsedTimer clock;
        clock.start();
        bar->setValue(bar->value() + bar->pageStep());
        paint(view);
        const double seconds = clock.nsecsElapsed() / 1e9;
        state.SetIterationTime(seconds);
        total += seconds;
    }
    results()[key] = total / double(state.iterations());
}

void BM_ScrollPageAtEnd_Qorvel(benchmark::State& state) {
    auto view = std::make_unique<HTMLView>(hundredThousandLines());
    view->resize(ViewSize);
    view->loadFromPath(hundredThousandLines());
    view->finishHighlighting();
    pageDownAtEnd(state, *view, "scroll/qorvel");
}

void BM_ScrollPageAtEnd_QPlainTextEdit(benchmark::State& state) {
    auto edit = std::make_unique<QPlainTextEdit>();
    edit->resize(ViewSize);
    QFile file(hundredThousandLines());
    file.open(QIODevice::ReadOnly);
    edit->setPlainText(QString::fromUtf8(file.readAll()));
    pageDownAtEnd(state, *edit, "scroll/peer");
}

void registerOpenBenchmarks() {
    QByteArray sizes = qgetenv("QORVEL_BENCH_OPEN_MB");
    if (sizes.isEmpty()) sizes = "10,100";
    for (const QByteArray& size : sizes.split(',')) {
        const int mb = size.toInt();
        if (mb <= 0) continue;
        const int iterations = mb >= 50 ? 2 : 5;
        benchmark::RegisterBenchmark("OpenFirstPaint/Qorvel", BM_OpenFirstPaint_Qorvel)
            ->Arg(mb)->UseManualTime()->Iterations(iterations)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("OpenFirstPaint/QPlainTextEdit", BM_OpenFirstPaint_QPlainTextEdit)
            ->Arg(mb)->UseManualTime()->Iterations(iterations)->Unit(benchmark::kMillisecond);
    }
}

void printSummary() {
    const auto& r = results();
    auto get = [&](const std::string& key) { auto it = r.find(key); return it == r.end() ? 0.0 : it->second; };
    std::printf("\nSummary (ratios are Qorvel / QPlainTextEdit; below 1 is faster)\n");
    for (const auto& [key, value] : r) {
        if (key.rfind("open/qorvel/", 0) != 0) continue;
        const std::string mb = key.substr(12);
        const double peer = get("open/peer/" + mb);
        std::printf("  open %s MB to first paint: %.0f ms vs %.0f ms, ratio %.2f\n", mb.c_str(), value * 1e3, peer * 1e3,
                    peer > 0 ? value / peer : 0.0);
    }
    const char* places[] = {"start", "middle", "end"};
    for (int i = 0; i < 3; ++i)
        if (r.count("key/p50/" + std::to_string(i)))
            std::printf("  keystroke at the %s: p50 %.0f us, p99 %.0f us\n", places[i], get("key/p50/" + std::to_string(i)),
                        get("key/p99/" + std::to_string(i)));
    if (r.count("peerkey/p50"))
        std::printf("  QPlainTextEdit keystroke with paint, middle: p50 %.0f us, p99 %.0f us\n", get("peerkey/p50"), get("peerkey/p99"));
    if (r.count("scroll/qorvel"))
        std::printf("  page down at the end: %.2f ms vs %.2f ms, ratio %.2f\n", get("scroll/qorvel") * 1e3,
                    get("scroll/peer") * 1e3, get("scroll/peer") > 0 ? get("scroll/qorvel") / get("scroll/peer") : 0.0);
}

}  // namespace

BENCHMARK(BM_Keystroke_Qorvel)->Name("Keystroke/Qorvel")->DenseRange(0, 2)->UseManualTime()->Iterations(4000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_KeystrokeAndPaint_Qorvel)->Name("KeystrokeAndPaint/Qorvel")->UseManualTime()->Iterations(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Keystroke_QPlainTextEdit)->Name("KeystrokeAndPaint/QPlainTextEdit")->UseManualTime()->Iterations(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ScrollPageAtEnd_Qorvel)->Name("ScrollPageAtEnd/Qorvel")->UseManualTime()->Iterations(300)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ScrollPageAtEnd_QPlainTextEdit)->Name("ScrollPageAtEnd/QPlainTextEdit")->UseManualTime()->Iterations(300)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QTemporaryDir sandbox;
    qputenv("XDG_CONFIG_HOME", (sandbox.path() + QStringLiteral("/config")).toLocal8Bit());
    qputenv("XDG_DATA_HOME", (sandbox.path() + QStringLiteral("/data")).toLocal8Bit());
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Glimbo"));
    Defaults::resetDefaults();
    g_files = new QTemporaryDir;
    registerOpenBenchmarks();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    printSummary();
    delete g_files;
    return 0;
}
