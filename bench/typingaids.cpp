// Typing with the editor's aids on, beside the bare highlighting view (no aids, no completion) and
// QPlainTextEdit: key events typing HTML, CSS and JavaScript at the start, middle and end of a
// 100,000-line file of that language, each key with its repaint, p50 and p99 per side; and Indent
// Block over 10,000 selected lines beside QPlainTextEdit indenting the same lines through one
// QTextCursor edit block.
//
// The typed sequences trigger the aids as a user does: tags completed on ">", a block tag opening
// an indented block, Return keeping the indentation, brackets flashing their openers, and in
// JavaScript F5 showing the completion list, which later keys keep up to date. After each
// sequence the typed text is taken out again, untimed. The summary prints the ratios.
#include "bench/BenchApplication.h"
#include "editor/HTMLView.h"
#include "editor/HTMLViewTypingAids.h"
#include "editor/QVBeep.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

QTemporaryDir* g_files = nullptr;
const QSize ViewSize(900, 700);
constexpr qint64 Lines = 100000;

std::map<std::string, double>& results() {
    static std::map<std::string, double> all;
    return all;
}

struct Language {
    const char* name;
    const char* extension;
    const char* line;     // repeated to fill the file
    const char* typed;    // the keys of one sequence; "\n" is Return, "\x05" F5
};

const Language languages[] = {
    {"html", "html", "  <li class=\"item\"><a href=\"page.html\">A link</a> and some text</li>\n",
     "<div>\n<p class=\"x\">Text and <b>bold</b> words</p>\n<br>"},
    {"css", "css", "  .item a { color: #336699; margin: 0 4px; } /* note */\n",
     "h1 {\ncolor: red;\nmargin: 0 auto;\n}\n"},
    {"js", "js", "  if (value > 42) { total += compute(value, \"text\"); } // note\n",
     "function f(a) {\nvar d = docu\x05ment.title;\nreturn [a, d];\n}\n"},
};

QString fileFor(const Language& language) {
    const QString path = g_files->filePath(QStringLiteral("lines.%1").arg(QLatin1String(language.extension)));
    if (!QFile::exists(path)) {
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        const QByteArray line(language.line);
        QByteArray all;
        all.reserve(line.size() * Lines);
        for (qint64 i = 0; i < Lines; ++i) all += line;
        file.write(all);
    }
    return path;
}

qint64 lineOfPlace(int place) { return place == 0 ? 10 : place == 1 ? Lines / 2 : Lines - 10; }

void sendKey(QWidget* target, QChar c) {
    int key = c.unicode();
    QString text(c);
    if (c == u'\n') {
        key = Qt::Key_Return;
        text = QStringLiteral("\r");
    } else if (c == u'\x05') {
        key = Qt::Key_F5;
        text.clear();
    } else if (c.isLetter()) {
        key = c.toUpper().unicode();
    }
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
    QApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
    QApplication::sendEvent(target, &release);
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

// Types the language's sequence again and again at the place, each key timed with its repaint;
// between sequences undo puts the text back (untimed).
template <typename Side>
void typeSequences(benchmark::State& state, Side& side, const Language& language, const std::string& key) {
    const QString typed = QString::fromLatin1(language.typed);
    std::vector<double> samples;
    samples.reserve(4096);
    qsizetype next = 0;
    for (auto _ : state) {
        QElapsedTimer clock;
        clock.start();
        sendKey(side.widget(), typed.at(next));
        QCoreApplication::processEvents();
        const double seconds = clock.nsecsElapsed() / 1e9;
        state.SetIterationTime(seconds);
        samples.push_back(seconds * 1e6);
        if (++next == typed.size()) {
            next = 0;
            state.PauseTiming();
            side.restore();
            state.ResumeTiming();
        }
    }
    side.restore();
    const Percentiles p = percentiles(samples);
    state.counters["p50_us"] = p.p50;
    state.counters["p99_us"] = p.p99;
    results()[key + "/p50"] = p.p50;
    results()[key + "/p99"] = p.p99;
}

template <typename View>
struct OurSide {
    std::unique_ptr<View> view;
    qint64 start = 0;
    qint64 length = 0;
    OurSide(const QString& path, int place) : view(std::make_unique<View>()) {
        view->resize(ViewSize);
        if constexpr (std::is_same_v<View, HTMLView>) {
            view->setPath(path);
            view->loadFromPath(path);
        } else {
            QFile file(path);
            file.open(QIODevice::ReadOnly);
            view->setPath(path);
            view->setString(QString::fromUtf8(file.readAll()));
        }
        view->show();
        view->activateWindow();
        view->setFocus();
        view->finishHighlighting();
        start = view->textStorage().lineContentsEnd(lineOfPlace(place));
        length = view->length();
        view->setSelectedRange(QVRange(start, 0));
        view->scrollRangeToVisible(QVRange(start, 0));
        QCoreApplication::processEvents();
    }
    QWidget* widget() const { return view.get(); }
    void restore() {
        if constexpr (std::is_same_v<View, HTMLView>) view->setEscaped(true);
        view->replaceRange(QVRange(start, view->length() - length), QString());
        if constexpr (std::is_same_v<View, HTMLView>) view->setEscaped(false);
        view->undoManager().removeAllActions();
        view->setSelectedRange(QVRange(start, 0));
        QCoreApplication::processEvents();
    }
};

struct PeerSide {
    std::unique_ptr<QPlainTextEdit> edit;
    int start = 0;
    int length = 0;
    PeerSide(const QString& path, int place) : edit(std::make_unique<QPlainTextEdit>()) {
        edit->setLineWrapMode(QPlainTextEdit::NoWrap);
        edit->resize(ViewSize);
        QFile file(path);
        file.open(QIODevice::ReadOnly);
        edit->setPlainText(QString::fromUtf8(file.readAll()));
        edit->show();
        edit->activateWindow();
        edit->setFocus();
        QTextCursor cursor(edit->document()->findBlockByNumber(int(lineOfPlace(place))));
        cursor.movePosition(QTextCursor::EndOfBlock);
        start = cursor.position();
        length = edit->document()->characterCount();
        edit->setTextCursor(cursor);
        edit->ensureCursorVisible();
        QCoreApplication::processEvents();
    }
    QWidget* widget() const { return edit.get(); }
    void restore() {
        QTextCursor cursor(edit->document());
        cursor.setPosition(start);
        cursor.setPosition(start + edit->document()->characterCount() - length, QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
        edit->setTextCursor(cursor);
        QCoreApplication::processEvents();
    }
};

// range(0): the language; range(1): the place (0 start, 1 middle, 2 end).
std::string keyOf(const char* side, const benchmark::State& state) {
    return std::string("type/") + side + "/" + languages[state.range(0)].name + "/" + std::to_string(state.range(1));
}

void BM_Type_Aids(benchmark::State& state) {
    const Language& language = languages[state.range(0)];
    OurSide<HTMLView> side(fileFor(language), int(state.range(1)));
    typeSequences(state, side, language, keyOf("aids", state));
}

void BM_Type_BareView(benchmark::State& state) {
    const Language& language = languages[state.range(0)];
    OurSide<QVSyntaxHighlightingTextView> side(fileFor(language), int(state.range(1)));
    typeSequences(state, side, language, keyOf("bare", state));
}

void BM_Type_QPlainTextEdit(benchmark::State& state) {
    const Language& language = languages[state.range(0)];
    PeerSide side(fileFor(language), int(state.range(1)));
    typeSequences(state, side, language, keyOf("peer", state));
}

// --- Indent Block -------------------------------------------------------------------------------

constexpr int IndentLines = 10000;

QString tenThousandLines() {
    QString text;
    for (int i = 0; i < IndentLines; ++i) text += QStringLiteral("  if (value > %1) { total += compute(value); }\n").arg(i);
    return text;
}

void BM_IndentBlock_Qorvel(benchmark::State& state) {
    HTMLView view(QStringLiteral("/tmp/indent.js"));
    view.resize(ViewSize);
    view.setString(tenThousandLines());
    view.show();
    view.finishHighlighting();
    QCoreApplication::processEvents();
    for (auto _ : state) {
        view.setSelectedRange(QVRange(0, view.length()));
        QElapsedTimer clock;
        clock.start();
        view.typingAids().entabBlock();
        QCoreApplication::processEvents();
        state.SetIterationTime(clock.nsecsElapsed() / 1e9);
        state.PauseTiming();
        view.undo();
        QCoreApplication::processEvents();
        state.ResumeTiming();
    }
}

void BM_IndentBlock_QPlainTextEdit(benchmark::State& state) {
    QPlainTextEdit edit;
    edit.setLineWrapMode(QPlainTextEdit::NoWrap);
    edit.resize(ViewSize);
    edit.setPlainText(tenThousandLines());
    edit.show();
    QCoreApplication::processEvents();
    for (auto _ : state) {
        QElapsedTimer clock;
        clock.start();
        QTextCursor cursor(edit.document());
        cursor.beginEditBlock();
        for (QTextBlock block = edit.document()->begin(); block.isValid(); block = block.next()) {
            if (block.length() <= 1 && !block.next().isValid()) break;
            cursor.setPosition(block.position());
            cursor.insertText(QStringLiteral("\t"));
        }
        cursor.endEditBlock();
        QCoreApplication::processEvents();
        state.SetIterationTime(clock.nsecsElapsed() / 1e9);
        state.PauseTiming();
        edit.document()->undo();
        QCoreApplication::processEvents();
        state.ResumeTiming();
    }
}

void registerTyping() {
    for (int language = 0; language < 3; ++language) {
        for (int place = 0; place < 3; ++place) {
            benchmark::RegisterBenchmark("Type/Aids", BM_Type_Aids)->Args({language, place})->UseManualTime()->Iterations(600)->Unit(benchmark::kMicrosecond);
            benchmark::RegisterBenchmark("Type/BareView", BM_Type_BareView)->Args({language, place})->UseManualTime()->Iterations(600)->Unit(benchmark::kMicrosecond);
            benchmark::RegisterBenchmark("Type/QPlainTextEdit", BM_Type_QPlainTextEdit)->Args({language, place})->UseManualTime()->Iterations(600)->Unit(benchmark::kMicrosecond);
        }
    }
}

void printSummary() {
    const auto& r = results();
    auto get = [&](const std::string& key) { auto it = r.find(key); return it == r.end() ? 0.0 : it->second; };
    std::printf("\nSummary: keystroke with repaint, p50 / p99 in microseconds (aids | bare view | QPlainTextEdit)\n");
    const char* places[] = {"start", "middle", "end"};
    for (const Language& language : languages) {
        for (int place = 0; place < 3; ++place) {
            const std::string suffix = std::string("/") + language.name + "/" + std::to_string(place);
            if (!r.count("type/aids" + suffix + "/p50")) continue;
            const double a50 = get("type/aids" + suffix + "/p50"), a99 = get("type/aids" + suffix + "/p99");
            const double b50 = get("type/bare" + suffix + "/p50"), b99 = get("type/bare" + suffix + "/p99");
            const double q50 = get("type/peer" + suffix + "/p50"), q99 = get("type/peer" + suffix + "/p99");
            std::printf("  %-4s at the %-6s: %6.0f / %6.0f | %6.0f / %6.0f | %6.0f / %6.0f   p99 ratio to bare %.2f, to peer %.2f\n",
                        language.name, places[place], a50, a99, b50, b99, q50, q99, b99 > 0 ? a99 / b99 : 0.0,
                        q99 > 0 ? a99 / q99 : 0.0);
        }
    }
}

}  // namespace

BENCHMARK(BM_IndentBlock_Qorvel)->Name("IndentBlock10k/Qorvel")->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IndentBlock_QPlainTextEdit)->Name("IndentBlock10k/QPlainTextEdit")->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    BenchApplication bench(argc, argv);
    // The flashes and list updates must not beep through the run.
    QVBeep::setSink([] {});
    g_files = new QTemporaryDir;
    registerTyping();
    const int status = bench.runBenchmarks(argc, argv, printSummary);
    delete g_files;
    return status;
}
