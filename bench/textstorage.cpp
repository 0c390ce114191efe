// Text storage on a large file, side by side with QTextDocument and a plain QString.
//
// QORVEL_BENCH_MB sets the text size in millions of characters (default 100); the QTextDocument
// peer gets QORVEL_BENCH_PEER_MB (default 10: it needs several GB and minutes beyond that), so
// compare its figures per operation, not per file. Edits report p50/p99 per operation in
// microseconds as counters.
#include "platform/QVTextStorage.h"

#include <QColor>
#include <QGuiApplication>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <random>
#include <vector>

namespace {

qint64 sizeFromEnv(const char* name, qint64 fallbackMB) {
    const QByteArray value = qgetenv(name);
    bool ok = false;
    const qint64 mb = value.toLongLong(&ok);
    return (ok && mb > 0 ? mb : fallbackMB) * 1000 * 1000;
}

// Source-like text: lines of 0 to 100 characters (about 50 on average), LF ends, every 7th CRLF.
QString makeText(qint64 size) {
    static const char16_t words[][12] = {u"function", u"return", u"var", u"x", u"=", u"(", u")", u"{", u"}",
                                         u"\"str\"", u"// note", u"if", u"else", u"value", u"42", u";"};
    std::mt19937 rng(5);
    QString text;
    text.reserve(size);
    qint64 line = 0;
    while (text.size() < size) {
        const int target = int(rng() % 101);
        qsizetype start = text.size();
        while (text.size() - start < target) {
            text += QStringView(words[rng() % 16]);
            text += u' ';
        }
        text += ++line % 7 == 0 ? QStringLiteral("\r\n") : QStringLiteral("\n");
    }
    text.truncate(size);
    return text;
}

const QString& bigText() {
    static const QString text = makeText(sizeFromEnv("QORVEL_BENCH_MB", 100));
    return text;
}

const QString& peerText() {
    static const QString text = bigText().left(std::min<qint64>(bigText().size(), sizeFromEnv("QORVEL_BENCH_PEER_MB", 10)));
    return text;
}

QVTextStorage& storage() {
    static QVTextStorage* s = [] {
        auto* created = new QVTextStorage;
        created->replaceCharacters({0, 0}, bigText());
        created->addAttribute(QVTextStorage::ParserAttribute, QVariant(1), {0, created->length()});
        return created;
    }();
    return *s;
}

QTextDocument& peerDocument() {
    static QTextDocument* d = [] {
        auto* created = new QTextDocument;
        created->setUndoRedoEnabled(false);
        created->setPlainText(peerText());
        return created;
    }();
    return *d;
}

QString& peerString() {
    static QString s = bigText();
    return s;
}

struct Percentiles {
    std::vector<double> micros;
    void add(std::chrono::steady_clock::duration d) {
        micros.push_back(std::chrono::duration<double, std::micro>(d).count());
    }
    void report(benchmark::State& state, const char* prefix) {
        if (micros.empty()) return;
        std::sort(micros.begin(), micros.end());
        auto at = [&](double q) { return micros[std::min(micros.size() - 1, size_t(q * double(micros.size())))]; };
        state.counters[std::string(prefix) + "p50_us"] = at(0.50);
        state.counters[std::string(prefix) + "p99_us"] = at(0.99);
    }
};

enum Where { Start, Middle, End };

qint64 positionFor(Where where, qint64 length) {
    return where == Start ? 0 : where == Middle ? length / 2 : length;
}

template <typename Insert, typename Remove>
void editLoop(benchmark::State& state, qint64 length, Insert insert, Remove remove) {
    const qint64 pos = positionFor(Where(state.range(0)), length);
    Percentiles ins, del;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        insert(pos);
        auto t1 = std::chrono::steady_clock::now();
        remove(pos);
        auto t2 = std::chrono::steady_clock::now();
        ins.add(t1 - t0);
        del.add(t2 - t1);
    }
    ins.report(state, "insert_");
    del.report(state, "delete_");
}

// --- Load ---------------------------------------------------------------------------------------

void BM_Load_QVTextStorage(benchmark::State& state) {
    const QString& text = bigText();
    for (auto _ : state) {
        QVTextStorage s;
        s.replaceCharacters({0, 0}, text);
        benchmark::DoNotOptimize(s.lineCount());
    }
    state.counters["MB"] = double(text.size()) / 1e6;
}
BENCHMARK(BM_Load_QVTextStorage)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_Load_QString_copy(benchmark::State& state) {
    const QString& text = bigText();
    for (auto _ : state) {
        QString copy(text.constData(), text.size());  // a deep copy: the floor for any load
        benchmark::DoNotOptimize(copy.data());
    }
    state.counters["MB"] = double(text.size()) / 1e6;
}
BENCHMARK(BM_Load_QString_copy)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_Load_QTextDocument(benchmark::State& state) {
    const QString& text = peerText();
    for (auto _ : state) {
        QTextDocument d;
        d.setUndoRedoEnabled(false);
        d.setPlainText(text);
        benchmark::DoNotOptimize(d.blockCount());
    }
    state.counters["MB"] = double(text.size()) / 1e6;
}
BENCHMARK(BM_Load_QTextDocument)->Unit(benchmark::kMillisecond)->Iterations(1);

// --- Colouring a 10k-line window ----------------------------------------------------------------

// What a highlighter does to a window: standard attributes over it, "multi-line" removed, then
// three coloured tokens per line and the parser mark, all in one batch. It runs before the edit
// benchmarks, so that edits in the middle of the text cross some 30,000 colour runs.
void BM_ColorWindow_QVTextStorage(benchmark::State& state) {
    QVTextStorage& s = storage();
    const qint64 firstLine = std::max<qint64>(0, std::min(s.lineCount() / 2, s.lineCount() - 10001));
    const QVRange window(s.lineStart(firstLine), s.lineStart(firstLine + 10000) - s.lineStart(firstLine));
    const QColor colors[3] = {QColor(200, 0, 0), QColor(0, 120, 0), QColor(0, 0, 200)};
    for (auto _ : state) {
        s.beginEditing();
        s.addAttributes({{QVTextStorage::ForegroundColorAttribute, QColor(Qt::black)},
                         {QVTextStorage::BackgroundColorAttribute, QColor(Qt::white)}},
                        window);
        s.removeAttribute(QVTextStorage::MultiLineAttribute, window);
        for (qint64 line = firstLine; line < firstLine + 10000; ++line) {
            const QVRange r = s.lineRange(line);
            for (int t = 0; t < 3 && (t + 1) * 6 <= r.length; ++t)
                s.addAttribute(QVTextStorage::ForegroundColorAttribute, colors[t], QVRange(r.location + t * 6, 4));
        }
        s.addAttribute(QVTextStorage::ParserAttribute, QVariant(2), window);
        s.endEditing();
    }
    state.counters["chars"] = double(window.length);
}
BENCHMARK(BM_ColorWindow_QVTextStorage)->Unit(benchmark::kMillisecond);

void BM_ColorWindow_QTextDocument(benchmark::State& state) {
    QTextDocument& d = peerDocument();
    const int firstLine = std::max(0, std::min(d.blockCount() / 2, d.blockCount() - 10000));
    QTextCharFormat plain;
    plain.setForeground(QColor(Qt::black));
    plain.setBackground(QColor(Qt::white));
    QTextCharFormat formats[3];
    const QColor colors[3] = {QColor(200, 0, 0), QColor(0, 120, 0), QColor(0, 0, 200)};
    for (int t = 0; t < 3; ++t) formats[t].setForeground(colors[t]);
    const QTextBlock first = d.findBlockByNumber(firstLine);
    const QTextBlock last = d.findBlockByNumber(firstLine + 9999);
    for (auto _ : state) {
        QTextCursor cursor(&d);
        cursor.beginEditBlock();
        cursor.setPosition(first.position());
        cursor.setPosition(last.position() + last.length() - 1, QTextCursor::KeepAnchor);
        cursor.setCharFormat(plain);
        for (QTextBlock b = first; b.isValid() && b.blockNumber() <= last.blockNumber(); b = b.next()) {
            for (int t = 0; t < 3 && (t + 1) * 6 <= b.length(); ++t) {
                cursor.setPosition(b.position() + t * 6);
                cursor.setPosition(b.position() + t * 6 + 4, QTextCursor::KeepAnchor);
                cursor.mergeCharFormat(formats[t]);
            }
        }
        cursor.endEditBlock();
    }
    state.counters["chars"] = double(last.position() + last.length() - first.position());
}
BENCHMARK(BM_ColorWindow_QTextDocument)->Unit(benchmark::kMillisecond);

// --- One-character edits ------------------------------------------------------------------------

void BM_Edit_QVTextStorage(benchmark::State& state) {
    QVTextStorage& s = storage();
    editLoop(state, s.length(),
             [&](qint64 pos) { s.replaceCharacters({pos, 0}, u"x"); },
             [&](qint64 pos) { s.replaceCharacters({pos, 1}, u""); });
}
BENCHMARK(BM_Edit_QVTextStorage)->ArgName("start0_middle1_end2")->DenseRange(0, 2)->Iterations(20000);

// The gap buffer's worst case: every edit at the other end of the file from the previous one.
void BM_Edit_QVTextStorage_Alternating(benchmark::State& state) {
    QVTextStorage& s = storage();
    Percentiles ins;
    bool atEnd = false;
    for (auto _ : state) {
        const qint64 pos = atEnd ? s.length() : 0;
        auto t0 = std::chrono::steady_clock::now();
        s.replaceCharacters({pos, 0}, u"x");
        ins.add(std::chrono::steady_clock::now() - t0);
        s.replaceCharacters({pos, 1}, u"");
        atEnd = !atEnd;
    }
    ins.report(state, "insert_");
}
BENCHMARK(BM_Edit_QVTextStorage_Alternating)->Iterations(40)->Unit(benchmark::kMillisecond);

// --- Far-apart edits in a heavily attributed text ------------------------------------------------

// 100,000 lines coloured the way a highlighter leaves them: every word its own colour run, a
// background per line, "multi-line" over every tenth line: some 3 million runs in all.
QVTextStorage& attributedStorage() {
    static QVTextStorage* s = [] {
        auto* created = new QVTextStorage;
        const QString& text = bigText();
        qsizetype end = 0;
        for (int line = 0; line < 100000 && end < text.size(); ++line) {
            const qsizetype next = text.indexOf(u'\n', end);
            end = next < 0 ? text.size() : next + 1;
        }
        created->replaceCharacters({0, 0}, QStringView(text).left(end));
        const QColor colors[4] = {QColor(200, 0, 0), QColor(0, 120, 0), QColor(0, 0, 200), QColor(120, 120, 0)};
        created->beginEditing();
        created->addAttribute(QVTextStorage::ParserAttribute, QVariant(1), {0, created->length()});
        for (qint64 line = 0; line + 1 < created->lineCount(); ++line) {
            const QVRange r = created->lineRange(line);
            created->addAttribute(QVTextStorage::BackgroundColorAttribute, colors[line % 2], r);
            if (line % 10 == 0) created->addAttribute(QVTextStorage::MultiLineAttribute, true, r);
            qint64 word = r.location;
            int n = 0;
            for (qint64 i = r.location; i <= r.end(); ++i) {
                if (i < r.end() && created->characterAt(i) != u' ') continue;
                if (i > word) created->addAttribute(QVTextStorage::ForegroundColorAttribute, colors[n++ % 4], {word, i - word});
                word = i + 1;
            }
        }
        created->endEditing();
        return created;
    }();
    return *s;
}

// Each iteration goes to the start, the end or the middle of the text in turn, there types a
// character (the first edit at a new place: it moves the text's gap there) and deletes it again
// (the next edit at the same place), then colours the line over in one call; the line gets stripes
// of colour back untimed.
void BM_FarEdits_AttributedQVTextStorage(benchmark::State& state) {
    QVTextStorage& s = attributedStorage();
    std::mt19937 rng(9);
    Percentiles insert, erase, attribute;
    int turn = 0;
    const QColor marker(10, 20, 30);
    for (auto _ : state) {
        const qint64 lines = s.lineCount() - 1;
        const qint64 band = std::min<qint64>(lines, 100);
        const qint64 base = turn % 3 == 0 ? 0 : turn % 3 == 1 ? lines - band : lines / 2;
        ++turn;
        const QVRange r = s.lineRange(base + qint64(rng() % quint64(band)));
        const qint64 pos = r.location + qint64(rng() % quint64(std::max<qint64>(r.length, 1)));
        auto t0 = std::chrono::steady_clock::now();
        s.replaceCharacters({pos, 0}, u"x");
        auto t1 = std::chrono::steady_clock::now();
        s.replaceCharacters({pos, 1}, u"");
        auto t2 = std::chrono::steady_clock::now();
        const QVariant before = s.attribute(QVTextStorage::ForegroundColorAttribute, r.location);
        auto t3 = std::chrono::steady_clock::now();
        s.addAttribute(QVTextStorage::ForegroundColorAttribute, marker, r);
        auto t4 = std::chrono::steady_clock::now();
        insert.add(t1 - t0);
        erase.add(t2 - t1);
        attribute.add(t4 - t3);
        // Untimed: the line gets stripes of colour back, which keeps the runs about as many.
        state.PauseTiming();
        s.addAttribute(QVTextStorage::ForegroundColorAttribute, before, r);
        for (qint64 i = r.location + 6; i + 4 < r.end(); i += 12)
            s.addAttribute(QVTextStorage::ForegroundColorAttribute, marker, {i, 4});
        state.ResumeTiming();
    }
    insert.report(state, "insert_");
    erase.report(state, "delete_");
    attribute.report(state, "line_attribute_");
    QVRange run(0, 0);
    qint64 runs = 0;
    for (qint64 at = 0; at < s.length(); at = run.end(), ++runs) s.attribute(QVTextStorage::ForegroundColorAttribute, at, &run);
    state.counters["foreground_runs"] = double(runs);
    state.counters["lines"] = double(s.lineCount());
}
BENCHMARK(BM_FarEdits_AttributedQVTextStorage)->Iterations(3000)->Unit(benchmark::kMicrosecond);

// Typing in one line of the attributed text, re-coloured keystroke by keystroke the way a
// highlighter does: the line gets the standard colours, then each of its words its own colour.
// The place moves to another line only every 50 keystrokes: this is the cost of staying put.
void BM_Typing_AttributedQVTextStorage(benchmark::State& state) {
    QVTextStorage& s = attributedStorage();
    std::mt19937 rng(10);
    Percentiles replace, colour;
    const QColor colors[4] = {QColor(200, 0, 0), QColor(0, 120, 0), QColor(0, 0, 200), QColor(120, 120, 0)};
    qint64 pos = 0;
    qint64 line = 0;
    int keystroke = 0;
    for (auto _ : state) {
        if (keystroke % 50 == 0) {
            line = s.lineCount() / 4 + qint64(rng() % quint64(s.lineCount() / 2));
            const QVRange r = s.lineRange(line);
            pos = r.location + qint64(rng() % quint64(std::max<qint64>(r.length, 1)));
        }
        const bool typing = keystroke % 10 < 5;
        const qint64 at = typing ? pos + keystroke % 10 : pos + 9 - keystroke % 10;
        ++keystroke;
        auto t0 = std::chrono::steady_clock::now();
        if (typing) s.replaceCharacters({at, 0}, u"v");
        else s.replaceCharacters({at, 1}, u"");
        auto t1 = std::chrono::steady_clock::now();
        const QVRange r = s.lineRange(line);
        s.beginEditing();
        s.addAttributes({{QVTextStorage::ForegroundColorAttribute, QColor(Qt::black)},
                         {QVTextStorage::BackgroundColorAttribute, QColor(Qt::white)}}, r);
        qint64 word = r.location;
        int n = 0;
        for (qint64 i = r.location; i <= r.end(); ++i) {
            if (i < r.end() && s.characterAt(i) != u' ') continue;
            if (i > word) s.addAttribute(QVTextStorage::ForegroundColorAttribute, colors[n++ % 4], {word, i - word});
            word = i + 1;
        }
        s.endEditing();
        auto t2 = std::chrono::steady_clock::now();
        replace.add(t1 - t0);
        colour.add(t2 - t1);
    }
    replace.report(state, "replace_");
    colour.report(state, "colour_line_");
}
BENCHMARK(BM_Typing_AttributedQVTextStorage)->Iterations(20000)->Unit(benchmark::kMicrosecond);

void BM_Edit_QString(benchmark::State& state) {
    QString& s = peerString();
    editLoop(state, s.size(),
             [&](qint64 pos) { s.insert(pos, u'x'); },
             [&](qint64 pos) { s.remove(pos, 1); });
}
BENCHMARK(BM_Edit_QString)->ArgName("start0_middle1_end2")->DenseRange(0, 2)->Iterations(200);

void BM_Edit_QTextDocument(benchmark::State& state) {
    QTextDocument& d = peerDocument();
    QTextCursor cursor(&d);
    const qint64 length = d.characterCount() - 1;
    editLoop(state, length,
             [&](qint64 pos) {
                 cursor.setPosition(int(pos));
                 cursor.insertText(QStringLiteral("x"));
             },
             [&](qint64 pos) {
                 cursor.setPosition(int(pos));
                 cursor.setPosition(int(pos) + 1, QTextCursor::KeepAnchor);
                 cursor.removeSelectedText();
             });
}
BENCHMARK(BM_Edit_QTextDocument)->ArgName("start0_middle1_end2")->DenseRange(0, 2)->Iterations(20000);

// --- Line lookups -------------------------------------------------------------------------------

void BM_LineOfPosition_QVTextStorage(benchmark::State& state) {
    QVTextStorage& s = storage();
    std::mt19937_64 rng(1);
    qint64 sum = 0;
    for (auto _ : state) sum += s.lineOfPosition(qint64(rng() % quint64(s.length())));
    benchmark::DoNotOptimize(sum);
    state.counters["lines"] = double(s.lineCount());
}
BENCHMARK(BM_LineOfPosition_QVTextStorage);

void BM_LineStart_QVTextStorage(benchmark::State& state) {
    QVTextStorage& s = storage();
    std::mt19937_64 rng(2);
    qint64 sum = 0;
    for (auto _ : state) sum += s.lineStart(qint64(rng() % quint64(s.lineCount())));
    benchmark::DoNotOptimize(sum);
}
BENCHMARK(BM_LineStart_QVTextStorage);

void BM_LineOfPosition_QTextDocument(benchmark::State& state) {
    QTextDocument& d = peerDocument();
    std::mt19937_64 rng(1);
    qint64 sum = 0;
    for (auto _ : state) sum += d.findBlock(int(rng() % quint64(d.characterCount() - 1))).blockNumber();
    benchmark::DoNotOptimize(sum);
    state.counters["lines"] = double(d.blockCount());
}
BENCHMARK(BM_LineOfPosition_QTextDocument);

void BM_LineStart_QTextDocument(benchmark::State& state) {
    QTextDocument& d = peerDocument();
    std::mt19937_64 rng(2);
    qint64 sum = 0;
    for (auto _ : state) sum += d.findBlockByNumber(int(rng() % quint64(d.blockCount()))).position();
    benchmark::DoNotOptimize(sum);
}
BENCHMARK(BM_LineStart_QTextDocument);

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);  // QTextDocument needs fonts
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
