// Folding a 100,000-line JavaScript file offscreen: Collapse All then Expand All in the editor
// view (through its gutter's markers, kept up to date across the folds), beside QPlainTextEdit
// hiding and showing the same blocks' lines after finding them with the same fold patterns.
// Both fold from the last block to the first; every iteration starts from the same text, and the
// run checks outside the timing that every block folded and the editor's text came back exactly.
#include "editor/HTMLView.h"
#include "editor/QVLineNumberingRulerView.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextBlock>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <utility>
#include <vector>

namespace {

constexpr int Lines = 100000;

// Ten-line functions with nested blocks, as far as Lines goes.
QString makeSource() {
    QString text;
    for (int unit = 0; unit < Lines / 10; ++unit) {
        text += QStringLiteral("function f%1(a) {\n  if (a) {\n    b();\n  } else {\n    c();\n  }\n"
                               "  return [\n    1, 2\n  ];\n}\n").arg(unit);
    }
    return text;
}

void BM_CollapseThenExpandAll_HTMLView(benchmark::State& state) {
    HTMLView view(QStringLiteral("/tmp/fold.js"));
    view.resize(900, 700);
    view.show();
    const QString source = makeSource();
    view.setString(source);
    view.finishHighlighting();
    view.rulerView()->updateMarkers();
    qint64 collapsed = 0;
    for (auto _ : state) {
        view.collapseAllBlocks();
        collapsed = view.string().count(QChar(QVTextAttachment::Character));
        view.expandAllBlocks();
        QApplication::processEvents();
    }
    if (view.string() != source || collapsed != Lines / 10) state.SkipWithError("the blocks did not fold and come back");
}

void BM_CollapseThenExpandAll_QPlainTextEdit(benchmark::State& state) {
    QPlainTextEdit edit;
    edit.resize(900, 700);
    edit.show();
    edit.setPlainText(makeSource());
    const QRegularExpression opener(QStringLiteral("[{\\[]\\s*(//.*)?$"));
    const QRegularExpression closer(QStringLiteral("^\\s*[}\\]]"));
    QTextDocument* document = edit.document();
    for (auto _ : state) {
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
        for (auto it = blocks.rbegin(); it != blocks.rend(); ++it) {
            for (int n = it->first + 1; n < it->second; ++n) document->findBlockByNumber(n).setVisible(false);
            document->markContentsDirty(document->findBlockByNumber(it->first).position(),
                                        document->findBlockByNumber(it->second).position() -
                                            document->findBlockByNumber(it->first).position());
        }
        for (QTextBlock block = document->lastBlock(); block.isValid(); block = block.previous()) block.setVisible(true);
        document->markContentsDirty(0, document->characterCount());
        QApplication::processEvents();
    }
}

}  // namespace

BENCHMARK(BM_CollapseThenExpandAll_HTMLView)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_CollapseThenExpandAll_QPlainTextEdit)->Unit(benchmark::kMillisecond)->Iterations(3);

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
    return 0;
}
