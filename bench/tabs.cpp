// The tabbed window offscreen, side by side with a QTabWidget of QPlainTextEdits: 50 generated
// web files opened as tabs of one window until the last is painted, and the switch to the next
// tab until it is painted (p50 and p99 over many switches). Each side's window is made before
// the clock starts; opening includes reading and decoding the files, and on our side colouring
// what is shown. Painting renders the tab area (strip and the shown view) into an image, the
// same for both sides.
#include "bench/BenchApplication.h"
#include "BenchSupport.h"
#include "editor/QVTabView.h"
#include "editor/windows/QVMultiFileDocument.h"
#include "editor/windows/QVMultiFileWindowController.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int FileCount = 50;
const QSize WindowSize(1000, 760);
QTemporaryDir* g_files = nullptr;
QStringList g_paths;

std::map<std::string, double>& results() {
    static std::map<std::string, double> values;
    return values;
}

// A page, a style sheet or a script of a few hundred lines, different for every file.
QByteArray makeWebFile(int index, const char* kind) {
    BenchRandom random(quint64(index) * 7919 + 1);
    QByteArray out;
    const int lines = 200 + random.below(300);
    if (qstrcmp(kind, "html") == 0) {
        out += "<!DOCTYPE html>\n<html>\n<head>\n<title>Page " + QByteArray::number(index) + "</title>\n";
        out += "<link rel=\"stylesheet\" href=\"style.css\">\n</head>\n<body>\n";
        for (int i = 0; i < lines; ++i) {
            switch (random.below(4)) {
            case 0: out += "  <div class=\"box b" + QByteArray::number(i) + "\"><p>Some text for the reader, line " + QByteArray::number(i) + ".</p></div>\n"; break;
            case 1: out += "  <a href=\"page" + QByteArray::number(random.below(50)) + ".html\" title=\"next\">Next page</a>\n"; break;
            case 2: out += "  <!-- a comment about the section below -->\n"; break;
            default: out += "  <ul><li>one</li><li>two &amp; three</li></ul>\n"; break;
            }
        }
        out += "</body>\n</html>\n";
    } else if (qstrcmp(kind, "css") == 0) {
        for (int i = 0; i < lines / 4; ++i)
            out += ".rule" + QByteArray::number(i) + " {\n  color: #" + QByteArray::number(random.next() % 0xffffff, 16) +
                   ";\n  margin: " + QByteArray::number(random.below(20)) + "px auto;\n}\n";
    } else {
        for (int i = 0; i < lines; ++i) {
            switch (random.below(3)) {
            case 0: out += "function f" + QByteArray::number(i) + "(a, b) { return a + b * " + QByteArray::number(i) + "; }\n"; break;
            case 1: out += "var s" + QByteArray::number(i) + " = \"a string with 'quotes' inside\"; // note\n"; break;
            default: out += "if (x > " + QByteArray::number(i) + ") { console.log('value', x); }\n"; break;
            }
        }
    }
    return out;
}

void makeFiles() {
    const char* kinds[] = {"html", "css", "js"};
    for (int i = 0; i < FileCount; ++i) {
        const char* kind = kinds[i % 3];
        const QString path = g_files->filePath(QStringLiteral("file%1.%2").arg(i, 2, 10, QLatin1Char('0')).arg(QString::fromLatin1(kind)));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(makeWebFile(i, kind)) < 0) std::abort();
        g_paths << path;
    }
}

void paint(QWidget& widget) {
    QImage frame(widget.size(), QImage::Format_ARGB32_Premultiplied);
    widget.render(&frame);
    benchmark::DoNotOptimize(frame.constBits());
}

struct Percentiles {
    double p50 = 0;
    double p99 = 0;
};

Percentiles percentiles(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) { return samples[std::min(samples.size() - 1, size_t(q * double(samples.size())))]; };
    return {at(0.50), at(0.99)};
}

std::unique_ptr<QVMultiFileWindowController> ourWindow() {
    auto window = std::make_unique<QVMultiFileWindowController>(std::make_unique<QVMultiFileDocument>());
    window->resize(WindowSize);
    window->show();
    return window;
}

std::unique_ptr<QTabWidget> peerWindow() {
    auto tabs = std::make_unique<QTabWidget>();
    tabs->resize(WindowSize);
    tabs->show();
    return tabs;
}

void openInPeer(QTabWidget& tabs) {
    for (const QString& path : g_paths) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) std::abort();
        auto* edit = new QPlainTextEdit;
        edit->setLineWrapMode(QPlainTextEdit::NoWrap);
        edit->setPlainText(QString::fromUtf8(file.readAll()));
        tabs.setCurrentIndex(tabs.addTab(edit, QFileInfo(path).fileName()));
    }
}

void BM_OpenTabs_Qorvel(benchmark::State& state) {
    double total = 0;
    for (auto _ : state) {
        auto window = ourWindow();
        QElapsedTimer clock;
        clock.start();
        for (const QString& path : g_paths) window->openFileAtPath(path);
        paint(*window->tabView());
        const double seconds = clock.nsecsElapsed() / 1e9;
        if (window->openDocuments().size() != FileCount) state.SkipWithError("not every file opened");
        state.SetIterationTime(seconds);
        total += seconds;
        window.reset();
    }
    results()["open/qorvel"] = total / double(state.iterations());
}

void BM_OpenTabs_QTabWidget(benchmark::State& state) {
    double total = 0;
    for (auto _ : state) {
        auto tabs = peerWindow();
        QElapsedTimer clock;
        clock.start();
        openInPeer(*tabs);
        paint(*tabs);
        const double seconds = clock.nsecsElapsed() / 1e9;
        state.SetIterationTime(seconds);
        total += seconds;
        tabs.reset();
    }
    results()["open/peer"] = total / double(state.iterations());
}

template <typename Next, typename Shown>
void switchTabs(benchmark::State& state, Next next, Shown shown, const std::string& key) {
    std::vector<double> samples;
    for (auto _ : state) {
        QElapsedTimer clock;
        clock.start();
        next();
        paint(*shown());
        const double seconds = clock.nsecsElapsed() / 1e9;
        state.SetIterationTime(seconds);
        samples.push_back(seconds * 1e6);
    }
    const Percentiles p = percentiles(samples);
    state.counters["p50_us"] = p.p50;
    state.counters["p99_us"] = p.p99;
    results()[key + "/p50"] = p.p50;
    results()[key + "/p99"] = p.p99;
}

void BM_SwitchTab_Qorvel(benchmark::State& state) {
    auto window = ourWindow();
    for (const QString& path : g_paths) window->openFileAtPath(path);
    // Every tab once first, so each side switches between views it has shown before.
    for (int i = 0; i < FileCount; ++i) {
        window->nextFile();
        paint(*window->tabView());
    }
    switchTabs(state, [&] { window->nextFile(); }, [&] { return window->tabView(); }, "switch/qorvel");
}

void BM_SwitchTab_QTabWidget(benchmark::State& state) {
    auto tabs = peerWindow();
    openInPeer(*tabs);
    const auto next = [&] { tabs->setCurrentIndex((tabs->currentIndex() + 1) % tabs->count()); };
    for (int i = 0; i < FileCount; ++i) {
        next();
        paint(*tabs);
    }
    switchTabs(state, next, [&] { return tabs.get(); }, "switch/peer");
}

void printSummary() {
    const auto& r = results();
    auto get = [&](const std::string& key) { auto it = r.find(key); return it == r.end() ? 0.0 : it->second; };
    std::printf("\nSummary (ratios are Qorvel / QTabWidget of QPlainTextEdits; below 1 is faster)\n");
    if (get("open/peer") > 0)
        std::printf("  %d files opened as tabs until the last is painted: %.0f ms vs %.0f ms, ratio %.2f\n", FileCount,
                    get("open/qorvel") * 1e3, get("open/peer") * 1e3, get("open/qorvel") / get("open/peer"));
    if (get("switch/peer/p99") > 0)
        std::printf("  switch to the next tab until painted: p50 %.0f vs %.0f us (ratio %.2f), p99 %.0f vs %.0f us (ratio %.2f)\n",
                    get("switch/qorvel/p50"), get("switch/peer/p50"), get("switch/qorvel/p50") / get("switch/peer/p50"),
                    get("switch/qorvel/p99"), get("switch/peer/p99"), get("switch/qorvel/p99") / get("switch/peer/p99"));
}

}  // namespace

BENCHMARK(BM_OpenTabs_Qorvel)->Name("OpenTabs/Qorvel")->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenTabs_QTabWidget)->Name("OpenTabs/QTabWidget")->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SwitchTab_Qorvel)->Name("SwitchTab/Qorvel")->UseManualTime()->Iterations(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SwitchTab_QTabWidget)->Name("SwitchTab/QTabWidget")->UseManualTime()->Iterations(1000)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
    BenchApplication bench(argc, argv);
    g_files = new QTemporaryDir;
    makeFiles();
    const int status = bench.runBenchmarks(argc, argv, printSummary);
    delete g_files;
    return status;
}
