// The gutter's cost while typing: a keystroke with the repaint that follows it at the end of a
// 100,000-line HTML page, in two editor views of the same page side by side, one with the
// gutter (numbers and fold markers, the editor's own fold patterns) and one without, typed
// into in turns so that load on the machine weighs on both alike. Reports p50 and p99 of each
// and the ratio of the p99s (gutter on / off).
//
// QORVEL_BENCH_KEYS sets the keystrokes per side (default 2000).
#include "bench/BenchApplication.h"
#include "editor/HTMLView.h"
#include "editor/QVLineNumberingRulerView.h"
#include "shell/Defaults.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

QTemporaryDir* g_files = nullptr;
std::map<std::string, double> g_results;

// Nested blocks of markup, every one a fold marker's opener and closer, 100,000 lines in all.
QString page() {
    const QString path = g_files->filePath(QStringLiteral("page.html"));
    if (QFile::exists(path)) return path;
    QByteArray out = "<html>\n<body>\n";
    int line = 2;
    for (int block = 0; line < 100000 - 2; ++block) {
        out += "<div class=\"section\" id=\"s" + QByteArray::number(block) + "\">\n";
        out += "  <ul>\n";
        for (int i = 0; i < 5; ++i) out += "    <li><a href=\"#a" + QByteArray::number(i) + "\">item " + QByteArray::number(i) + "</a></li>\n";
        out += "  </ul>\n  <p>Some text of the section, long enough to look like a page.</p>\n</div>\n";
        line += 10;
    }
    out += "</body>\n</html>\n";
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(out);
    return path;
}

std::unique_ptr<HTMLView> shownView(bool gutter) {
    auto view = std::make_unique<HTMLView>(page());
    view->resize(900, 700);
    view->show();
    view->loadFromPath(page());
    view->finishHighlighting();
    view->rulerView()->setLineNumbersEnabled(gutter);
    view->rulerView()->setCodeFoldingEnabled(gutter);
    const qint64 position = view->textStorage().lineContentsEnd(view->textStorage().lineCount() - 10);
    view->setSelectedRange(QVRange(position, 0));
    view->scrollRangeToVisible(QVRange(position, 0));
    QCoreApplication::processEvents();
    return view;
}

double percentile(std::vector<double> samples, double q) {
    std::sort(samples.begin(), samples.end());
    return samples[std::min(samples.size() - 1, size_t(q * double(samples.size())))];
}

void BM_KeystrokeWithGutterOnAndOff(benchmark::State& state) {
    auto on = shownView(true);
    auto off = shownView(false);
    if (on->rulerView()->foldMarkers().empty()) state.SkipWithError("the page has no fold markers");
    std::vector<double> samplesOn, samplesOff;
    bool insert = true;
    auto keystroke = [&](HTMLView& view) {
        QElapsedTimer clock;
        clock.start();
        if (insert) view.insertText(QStringLiteral("x"));
        else view.deleteBackward();
        // The repaint the keystroke asked for, gutter included.
        QCoreApplication::processEvents();
        return clock.nsecsElapsed() / 1e3;
    };
    for (auto _ : state) {
        // Alternate which side goes first, so neither always follows the other's repaint.
        const bool onFirst = samplesOn.size() % 2 == 0;
        double a = 0, b = 0;
        if (onFirst) {
            a = keystroke(*on);
            b = keystroke(*off);
        } else {
            b = keystroke(*off);
            a = keystroke(*on);
        }
        samplesOn.push_back(a);
        samplesOff.push_back(b);
        state.SetIterationTime((a + b) / 1e6);
        insert = !insert;
    }
    g_results["on/p50"] = percentile(samplesOn, 0.5);
    g_results["on/p99"] = percentile(samplesOn, 0.99);
    g_results["off/p50"] = percentile(samplesOff, 0.5);
    g_results["off/p99"] = percentile(samplesOff, 0.99);
    state.counters["p99_on_us"] = g_results["on/p99"];
    state.counters["p99_off_us"] = g_results["off/p99"];
}

}  // namespace

int main(int argc, char** argv) {
    BenchApplication bench(argc, argv);
    g_files = new QTemporaryDir;
    const int keys = qEnvironmentVariableIsSet("QORVEL_BENCH_KEYS") ? qEnvironmentVariableIntValue("QORVEL_BENCH_KEYS") : 2000;
    benchmark::RegisterBenchmark("KeystrokeAtTheEnd/GutterOnAndOff", BM_KeystrokeWithGutterOnAndOff)
        ->UseManualTime()
        ->Iterations(std::max(10, keys))
        ->Unit(benchmark::kMicrosecond);
    const int status = bench.runBenchmarks(argc, argv, [] {
        if (!g_results.count("on/p99")) return;
        std::printf("\nSummary (gutter on / gutter off; the gutter may cost a p99 keystroke at most 1.2 times one without it)\n");
        std::printf("  keystroke with repaint at the end of 100,000 lines: p50 %.0f vs %.0f us (ratio %.2f), p99 %.0f vs %.0f us (ratio %.2f)\n",
                    g_results["on/p50"], g_results["off/p50"], g_results["on/p50"] / g_results["off/p50"], g_results["on/p99"],
                    g_results["off/p99"], g_results["on/p99"] / g_results["off/p99"]);
    });
    delete g_files;
    return status;
}
