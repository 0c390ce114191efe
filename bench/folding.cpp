// Folding a 100,000-line JavaScript file offscreen: Collapse All then Expand All in the editor
// view (through its gutter's markers, kept up to date across the folds), beside QPlainTextEdit
// hiding and showing the same blocks' lines after finding them with the same fold patterns.
// Both fold from the last block to the first, in turns; every iteration starts from the same text,
// and the run checks outside the timing that every block folded, the editor's text came back
// exactly, and both sides folded the same number of outermost blocks (the text is one where their
// fold patterns agree).
#include "editor/HTMLView.h"
#include "editor/QVLineNumberingRulerView.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextBlock>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr int Lines = 100000;

// What the run prints after the benchmark table.
std::string g_summary;

// Ten-line functions with nested blocks, as far as Lines goes.
QString makeSource() {
    QString text;
    for (int unit = 0; unit < Lines / 10; ++unit) {
        text += QStringLiteral("function f%1(a) {\n  if (a) {\n    b();\n  } else {\n    c();\n  }\n"
                               "  return [\n    1, 2\n  ];\n}\n").arg(unit);
    }
    return text;
}

// One side of the comparison: set up once, then one collapse-and-expand round per call.
struct OursSide {
    HTMLView view{QStringLiteral("/tmp/fold.js")};
    QString source = makeSource();
    qint64 collapsed = 0;
    double expandSeconds = 0;  // of the last round, Expand All with its repaint
    OursSide() {
        view.resize(900, 700);
        view.show();
        view.setString(source);
        view.finishHighlighting();
        view.rulerView()->updateMarkers();
    }
    void round() {
        view.collapseAllBlocks();
        collapsed = view.string().count(QChar(QVTextAttachment::Character));
        QApplication::processEvents();
        QElapsedTimer clock;
        clock.start();
        view.expandAllBlocks();
        QApplication::processEvents();
        expandSeconds = double(clock.nsecsElapsed()) / 1e9;
    }
    bool intact() const { return view.string() == source && collapsed == Lines / 10; }
};

struct PeerSide {
    QPlainTextEdit edit;
    qint64 folded = 0;  // the blocks the last round hid
    double expandSeconds = 0;
    const QRegularExpression opener{QStringLiteral("[{\\[]\\s*(//.*)?$")};
    const QRegularExpression closer{QStringLiteral("^\\s*[}\\]]")};
    PeerSide() {
        edit.resize(900, 700);
        edit.show();
        edit.setPlainText(makeSource());
    }
    void round() {
        QTextDocument* document = edit.document();
        std::vector<std::pair<int, int>> blocks;
        int depth = 0;
        int first = 0;
        for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
            const QString line = block.text();
            const bool opens = opener.match(line).hasMatch();
            const bool closes = closer.match(line).hasMatch();
            if (opens && !closes) {
                if (depth++ == 0) first = block.blockNumber();
            } else if (closes && !opens && depth > 0 && --depth == 0) {
                blocks.emplace_back(first, block.blockNumber());
            }
        }
        folded = qint64(blocks.size());
        for (auto it = blocks.rbegin(); it != blocks.rend(); ++it) {
            for (int n = it->first + 1; n < it->second; ++n) document->findBlockByNumber(n).setVisible(false);
            document->markContentsDirty(document->findBlockByNumber(it->first).position(),
                                        document->findBlockByNumber(it->second).position() -
                                            document->findBlockByNumber(it->first).position());
        }
        QApplication::processEvents();
        QElapsedTimer clock;
        clock.start();
        for (QTextBlock block = document->lastBlock(); block.isValid(); block = block.previous()) block.setVisible(true);
        document->markContentsDirty(0, document->characterCount());
        QApplication::processEvents();
        expandSeconds = double(clock.nsecsElapsed()) / 1e9;
    }
};

double secondsOf(const std::function<void()>& work) {
    QElapsedTimer clock;
    clock.start();
    work();
    return double(clock.nsecsElapsed()) / 1e9;
}

// Both sides in turns, the first of each pair alternating, so that the machine's load weighs on
// both alike; the time reported is ours, the peer's and the ratios go to the counters.
void BM_CollapseThenExpandAll(benchmark::State& state) {
    OursSide ours;
    PeerSide peer;
    std::vector<double> ratios, expandRatios;
    double oursTotal = 0, peerTotal = 0, oursExpand = 0, peerExpand = 0;
    bool oursFirst = true;
    for (auto _ : state) {
        double o = 0, p = 0;
        if (oursFirst) {
            o = secondsOf([&] { ours.round(); });
            p = secondsOf([&] { peer.round(); });
        } else {
            p = secondsOf([&] { peer.round(); });
            o = secondsOf([&] { ours.round(); });
        }
        oursFirst = !oursFirst;
        state.SetIterationTime(o);
        oursTotal += o;
        peerTotal += p;
        ratios.push_back(o / p);
        expandRatios.push_back(ours.expandSeconds / peer.expandSeconds);
        oursExpand += ours.expandSeconds;
        peerExpand += peer.expandSeconds;
    }
    if (!ours.intact()) state.SkipWithError("the blocks did not fold and come back");
    // Only the same work compares: both must fold the same blocks.
    if (peer.folded != ours.collapsed) state.SkipWithError("the two sides folded different blocks");
    std::sort(ratios.begin(), ratios.end());
    std::sort(expandRatios.begin(), expandRatios.end());
    const double n = double(state.iterations());
    state.counters["peer_ms"] = peerTotal / n * 1e3;
    state.counters["ratio_median"] = ratios[ratios.size() / 2];
    char line[400];
    std::snprintf(line, sizeof line,
                  "collapse then expand all, 100,000 lines, %lld blocks folded by each (in turns): %.1f ms vs QPlainTextEdit "
                  "%.1f ms, ratio min/median/max %.2f / %.2f / %.2f\n",
                  (long long)ours.collapsed, oursTotal / n * 1e3, peerTotal / n * 1e3, ratios.front(), ratios[ratios.size() / 2], ratios.back());
    g_summary = line;
    std::snprintf(line, sizeof line,
                  "  of which Expand All after Collapse All, with its repaint: %.1f ms vs QPlainTextEdit %.1f ms, ratio min/median/max "
                  "%.2f / %.2f / %.2f\n",
                  oursExpand / n * 1e3, peerExpand / n * 1e3, expandRatios.front(), expandRatios[expandRatios.size() / 2], expandRatios.back());
    g_summary += line;
}

}  // namespace

BENCHMARK(BM_CollapseThenExpandAll)->Name("CollapseThenExpandAll/HTMLViewAndQPlainTextEdit")->UseManualTime()
    ->Unit(benchmark::kMillisecond)->Iterations(6);

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QTemporaryDir sandbox;
    qputenv("XDG_CONFIG_HOME", (sandbox.path() + QStringLiteral("/config")).toLocal8Bit());
    qputenv("XDG_DATA_HOME", (sandbox.path() + QStringLiteral("/data")).toLocal8Bit());
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Glimbo"));
    Defaults::resetDefaults();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (!g_summary.empty()) std::printf("\nSummary (ratios are Qorvel / QPlainTextEdit; below 1 is faster)\n  %s", g_summary.c_str());
    return 0;
}
