// The text storage's containers against naive models: pieces, partitioning, line index, runs.
#include "platform/LineIndex.h"
#include "platform/PieceText.h"
#include "platform/Partitioning.h"
#include "platform/RunArray.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

std::u16string contents(const PieceText& text) {
    std::u16string out(size_t(text.size()), u'\0');
    text.copyTo(0, text.size(), out.data());
    return out;
}

}  // namespace

TEST(PieceText, RandomEditsAndReadsMatchAString) {
    // Chunks so small that every edit splits, drops and merges pieces; reads in place, across
    // pieces (a scratch copy, a wide one with the pieces around kept for the copies after the
    // next edit), by segments, unit by unit, and of the whole text joined.
    for (const qsizetype chunkSize : {qsizetype(4), qsizetype(16), qsizetype(64), PieceText::DefaultChunkSize}) {
        SCOPED_TRACE(chunkSize);
        std::mt19937 rng(1234);
        PieceText text(chunkSize);
        std::u16string model;
        char16_t next = u'a';
        for (int step = 0; step < 5000; ++step) {
            const qsizetype size = qsizetype(model.size());
            const int op = int(rng() % 8);
            const qsizetype pos = qsizetype(rng() % size_t(size + 1));
            const qsizetype count = qsizetype(rng() % size_t(std::min<qsizetype>(size - pos, 80) + 1));
            if (op < 4) {
                // Typing runs (one unit after another), pastes, and replacements by a view of
                // the text itself.
                std::u16string items(size_t(op == 0 ? 1 + rng() % 3 : rng() % (op == 1 ? 300 : 12)), u'\0');
                for (char16_t& c : items) c = next = next == u'z' ? u'a' : char16_t(next + 1);
                const qsizetype removed = op == 3 ? count : 0;
                if (op == 2 && size > 0 && rng() % 2) {
                    const qsizetype from = qsizetype(rng() % size_t(size));
                    items = model.substr(size_t(from), size_t(std::min<qsizetype>(size - from, 40)));
                    const char16_t* source = text.rangePointer(from, qsizetype(items.size()));
                    text.replace(pos, removed, source, qsizetype(items.size()));
                } else {
                    text.replace(pos, removed, items.data(), qsizetype(items.size()));
                }
                model.replace(size_t(pos), size_t(removed), items);
            } else if (op == 4) {
                text.replace(pos, count, nullptr, 0);
                model.erase(size_t(pos), size_t(count));
            } else if (op == 5 && count > 0) {
                // A read inside another that is still held (a copy may serve both), then the
                // first again: a copy stays as it was until the next change.
                const char16_t* p = text.rangePointer(pos, count);
                const qsizetype inner = pos + qsizetype(rng() % size_t(count));
                const qsizetype innerCount = 1 + qsizetype(rng() % size_t(pos + count - inner));
                const char16_t* q = text.rangePointer(inner, innerCount);
                ASSERT_EQ(std::u16string(q, size_t(innerCount)), model.substr(size_t(inner), size_t(innerCount)));
                ASSERT_EQ(std::u16string(p, size_t(count)), model.substr(size_t(pos), size_t(count)));
            } else if (op == 6) {
                std::u16string joined;
                text.forEachSegment(pos, count, [&](std::span<const char16_t> part) {
                    ASSERT_FALSE(part.empty());
                    joined.append(part.data(), part.size());
                });
                ASSERT_EQ(joined, model.substr(size_t(pos), size_t(count)));
                if (count > 0) {
                    ASSERT_EQ(text[pos + count - 1], model[size_t(pos + count - 1)]);
                }
            } else if (step % 500 == 7) {
                text.join();
                ASSERT_LE(text.pieceCount(), 1);
            } else if (step % 500 == 107) {
                // The whole text as a QString: the pieces joined once, then shared as they are.
                const quint64 joins = text.joins();
                const bool several = text.pieceCount() > 1;
                const QString whole = text.string();
                ASSERT_EQ(std::u16string(reinterpret_cast<const char16_t*>(whole.constData()), size_t(whole.size())), model);
                ASSERT_EQ(text.joins(), joins + (several ? 1 : 0));
                if (several) {
                    ASSERT_TRUE(text.string().isSharedWith(whole));
                }
            } else if (step % 500 == 307) {
                // Whole texts taken over, shared or (over raw data, here the text's own) copied.
                const QString whole = QString::fromUtf16(model.data(), qsizetype(model.size()));
                if (step % 1000 < 500 || model.empty()) {
                    text.adopt(whole);
                    ASSERT_EQ(text.string().isSharedWith(whole), !model.empty());
                } else {
                    text.adopt(QString::fromRawData(reinterpret_cast<const QChar*>(text.rangePointer(0, text.size())), text.size()));
                    ASSERT_FALSE(text.string().isSharedWith(whole));
                }
            }
            ASSERT_EQ(text.size(), qsizetype(model.size()));
            if (step % 50 == 0) {
                ASSERT_EQ(contents(text), model);
                ASSERT_EQ(text.check().toStdString(), "");
            }
        }
        EXPECT_EQ(contents(text), model);
        EXPECT_EQ(text.check().toStdString(), "");
    }
}

TEST(PieceText, FarEditsLeaveTheTextInPlace) {
    // A loaded text is one piece where it was decoded; edits far apart split it without moving
    // what lies between them, and its room past the text takes the typing.
    TextUnits units(1000, u'x');
    const char16_t* loaded = units.data();
    PieceText text(16);
    text.adopt(std::move(units), 900);
    ASSERT_EQ(text.rangePointer(0, 900), loaded);
    const char16_t typed[] = u"ab";
    text.replace(100, 0, typed, 1);
    text.replace(101, 0, typed + 1, 1);
    text.replace(800, 5, typed, 2);
    EXPECT_EQ(text.pieceCount(), 5);
    EXPECT_EQ(text.rangePointer(0, 100), loaded);
    EXPECT_EQ(text.rangePointer(102, 600), loaded + 100);
    EXPECT_EQ(text.rangePointer(100, 2), loaded + 900);
    EXPECT_EQ(text.unitsHeld(), 1000);
    // Keys typed one after another at one place, and deleted again, add one piece; pieces
    // too short together are copied into one.
    for (qsizetype i = 0; i < 60; ++i) text.replace(400 + i, 0, typed + i % 2, 1);
    EXPECT_EQ(text.pieceCount(), 7);
    text.replace(400, 60, nullptr, 0);
    EXPECT_EQ(text.pieceCount(), 5);
    text.replace(101, 700, nullptr, 0);
    EXPECT_EQ(text.pieceCount(), 3);
    EXPECT_EQ(contents(text), std::u16string(100, u'x') + u"ab" + std::u16string(97, u'x'));
    EXPECT_EQ(text.check().toStdString(), "");
    // Once no piece reads the loaded chunk, it goes, room to type and all.
    const std::u16string replacement(20, u'r');
    text.replace(0, text.size(), replacement.data(), qsizetype(replacement.size()));
    EXPECT_EQ(contents(text), replacement);
    EXPECT_EQ(text.unitsHeld(), 20);
}

template <typename Parts>
void runRandomEdits(Parts&& parts, qsizetype blockSize, qint64 spanLimit, qint64 scale);

TEST(Partitioning, RandomEditsMatchAVectorOfBoundaries) {
    // Grows at scattered partitions move the pending step forward and back and settle the tail;
    // small blocks make every operation cross, split and merge blocks. A short span limit stands
    // for texts of billions of characters: edits that would place a start too far from its
    // block's base cut the block there.
    // Starts of 16 bits, with partitions grown by thousands, wrap around unless cut in time.
    struct Case {
        qsizetype blockSize;
        qint64 spanLimit;
        bool narrow;  // PartitionBlocks<void, quint16>
        qint64 scale;  // of the growths
    };
    const qint64 wide = Partitioning::MaxSpan;
    for (const Case c : {Case{2, wide, false, 1}, Case{3, wide, false, 1}, Case{8, wide, false, 1}, Case{33, wide, false, 1},
                         Case{1024, wide, false, 1}, Case{8, 45, false, 1}, Case{33, 120, false, 1}, Case{1024, 300, false, 1},
                         Case{33, 65535, true, 1500}}) {
        if (c.narrow) runRandomEdits(PartitionBlocks<void, quint16>(c.blockSize), c.blockSize, c.spanLimit, c.scale);
        else runRandomEdits(Partitioning(c.blockSize, c.spanLimit), c.blockSize, c.spanLimit, c.scale);
    }
}

template <typename Parts>
void runRandomEdits(Parts&& parts, qsizetype blockSize, qint64 spanLimit, qint64 scale) {
    {
        SCOPED_TRACE(testing::Message() << blockSize << " span " << spanLimit);
        std::mt19937 rng(99 + unsigned(blockSize) + unsigned(spanLimit % 1000));
        std::vector<qint64> model{0, 0};
        for (int step = 0; step < 20000; ++step) {
            const qsizetype count = qsizetype(model.size()) - 1;
            const int op = int(rng() % 7);
            if (op <= 1) {
                const qsizetype p = qsizetype(rng() % size_t(count));
                const qint64 room = model[size_t(p) + 1] - model[size_t(p)];
                qint64 delta = (qint64(rng() % 40) - 10) * scale;
                if (delta < -room) delta = -room;
                parts.grow(p, delta);
                for (size_t i = size_t(p) + 1; i < model.size(); ++i) model[i] += delta;
            } else if (op == 2 || count == 1) {
                const qsizetype i = 1 + qsizetype(rng() % size_t(count));
                const qint64 lo = model[size_t(i) - 1];
                const qint64 hi = model[size_t(i)];
                const qint64 pos = lo + qint64(rng() % size_t(hi - lo + 1));
                parts.insertBoundary(i, pos);
                model.insert(model.begin() + i, pos);
            } else if (op == 3) {
                // Several at once, sometimes many: the bulk path rebuilds blocks.
                const qsizetype i = 1 + qsizetype(rng() % size_t(count));
                const qint64 lo = model[size_t(i) - 1];
                const qint64 hi = model[size_t(i)];
                std::vector<qint64> positions(rng() % 8 == 0 ? 1 + rng() % 300 : 1 + rng() % 6);
                for (qint64& pos : positions) pos = lo + qint64(rng() % size_t(hi - lo + 1));
                std::sort(positions.begin(), positions.end());
                parts.insertBoundaries(i, positions);
                model.insert(model.begin() + i, positions.begin(), positions.end());
            } else if (op == 4 && count > 1) {
                // Mostly one or a few; now and then a long stretch, across blocks.
                const qsizetype first = 1 + qsizetype(rng() % size_t(count - 1));
                const qsizetype most = rng() % 10 == 0 ? count - first : std::min<qsizetype>(count - first, 4);
                const qsizetype n = 1 + qsizetype(rng() % size_t(most));
                parts.removeBoundaries(first, n);
                model.erase(model.begin() + first, model.begin() + first + n);
            } else {
                const qint64 pos = qint64(rng() % size_t(model.back() + 3)) - 1;
                qsizetype expected = 0;
                for (size_t i = 0; i + 1 < model.size(); ++i)
                    if (model[i] <= pos) expected = qsizetype(i);
                ASSERT_EQ(parts.partitionOf(pos), expected) << "position " << pos << " step " << step;
                const auto extent = parts.extentAt(pos);
                ASSERT_EQ(extent.index, expected);
                ASSERT_EQ(extent.start, model[size_t(expected)]);
                ASSERT_EQ(extent.end, model[size_t(expected) + 1]);
            }
            ASSERT_EQ(parts.partitions(), qsizetype(model.size()) - 1);
            ASSERT_EQ(parts.length(), model.back());
            if (step % (blockSize < 16 ? 5 : 50) == 0) {
                ASSERT_EQ(parts.check().toStdString(), "") << "step " << step;
            }
            if (step % 50 == 0) {
                for (size_t i = 0; i < model.size(); ++i) ASSERT_EQ(parts.positionOf(qsizetype(i)), model[i]) << i;
            }
        }
        EXPECT_EQ(parts.check().toStdString(), "");
        EXPECT_GT(parts.blockCount(), blockSize < 1024 || spanLimit < parts.length() ? 1 : 0);
    }
}

TEST(Partitioning, AppendingFillsBlocksAndEditsFarApartStayCorrect) {
    // Lines appended one by one (as wrapped rows are built) leave full blocks behind; then edits
    // alternate between the first and last partitions, where the pending step travels furthest.
    Partitioning parts(64);
    const qsizetype lines = 100000;
    parts.grow(0, lines);
    for (qsizetype i = 1; i < lines; ++i) parts.insertBoundary(i, i);
    EXPECT_EQ(parts.blockCount(), (lines + 63) / 64);
    ASSERT_EQ(parts.check().toStdString(), "");
    std::vector<qint64> extra(size_t(lines), 0);  // rows added to each line
    std::mt19937 rng(5);
    for (int step = 0; step < 2000; ++step) {
        const qsizetype p = step % 2 == 0 ? qsizetype(rng() % 10) : lines - 1 - qsizetype(rng() % 10);
        const qint64 delta = qint64(rng() % 5) - qint64(std::min<qint64>(extra[size_t(p)], 2));
        parts.grow(p, delta);
        extra[size_t(p)] += delta;
    }
    ASSERT_EQ(parts.check().toStdString(), "");
    qint64 position = 0;
    for (qsizetype i = 0; i < lines; ++i) {
        ASSERT_EQ(parts.positionOf(i), position) << i;
        position += 1 + extra[size_t(i)];
    }
    EXPECT_EQ(parts.length(), position);
}

TEST(PartitionBlocks, ValuesTravelWithTheirPartitions) {
    // Each partition carries the position it was created at; inserts, removals and merges of
    // blocks must keep every value beside its own partition, and so must the blocks cut where
    // partitions grow past the span limit.
    for (const qsizetype blockSize : {2, 5, 16}) {
        SCOPED_TRACE(blockSize);
        std::mt19937 rng(31 + unsigned(blockSize));
        PartitionBlocks<int> parts(blockSize, blockSize == 5 ? 12 : PartitionBlocks<int>::MaxSpan);
        std::vector<int> model{0};  // values by partition; boundaries are 0, 1, 2, ... apart
        parts.setValueOf(0, 0);
        int next = 1;
        for (int step = 0; step < 6000; ++step) {
            const qsizetype count = parts.partitions();
            if (rng() % 3 != 0 || count < 3) {
                if (rng() % 2 == 0) parts.grow(qsizetype(rng() % size_t(count)), qint64(rng() % 5));
                const qsizetype i = 1 + qsizetype(rng() % size_t(count));
                parts.insertBoundary(i, parts.positionOf(i), next);
                model.insert(model.begin() + i, next++);
            } else {
                const qsizetype first = 1 + qsizetype(rng() % size_t(count - 1));
                const qsizetype n = 1 + qsizetype(rng() % size_t(std::min<qsizetype>(count - first, 3 * blockSize)));
                parts.removeBoundaries(first, n);
                model.erase(model.begin() + first, model.begin() + first + n);
            }
            ASSERT_EQ(parts.partitions(), qsizetype(model.size()));
            if (step % 10 == 0) {
                ASSERT_EQ(parts.check().toStdString(), "") << "step " << step;
                for (size_t p = 0; p < model.size(); ++p) ASSERT_EQ(parts.valueOf(qsizetype(p)), model[p]) << p;
            }
        }
    }
}

namespace {

std::vector<qint64> naiveLineStarts(const std::u16string& text) {
    std::vector<qint64> starts{0};
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == u'\n' || (text[i] == u'\r' && (i + 1 == text.size() || text[i + 1] != u'\n')))
            starts.push_back(qint64(i) + 1);
    }
    return starts;
}

}  // namespace

TEST(LineIndex, RandomEditsMatchANaiveRecount) {
    // Small alphabets rich in breaks, so that edits keep splitting and joining "\r\n" pairs.
    for (const qsizetype blockSize : {3, 16, 1024}) {
        SCOPED_TRACE(blockSize);
        std::mt19937 rng(20240611);
        const char16_t alphabet[] = {u'a', u'b', u'\r', u'\n', u'\r', u'\n'};
        PieceText text(blockSize * 4);
        std::u16string model;
        LineIndex lines(blockSize);
        for (int step = 0; step < 6000; ++step) {
            const qint64 size = qint64(model.size());
            const qint64 location = qint64(rng() % size_t(size + 1));
            const qint64 removed = rng() % 3 == 0 ? 0 : qint64(rng() % size_t(std::min<qint64>(size - location, 6) + 1));
            std::u16string inserted;
            const int count = rng() % 4 == 0 ? 0 : int(rng() % (rng() % 20 == 0 ? 40 : 4));
            for (int i = 0; i < count; ++i) inserted += alphabet[rng() % 6];
            text.replace(location, removed, inserted.data(), qsizetype(inserted.size()));
            model.replace(size_t(location), size_t(removed), inserted);
            lines.replaced(location, removed, qint64(inserted.size()), text);

            if (step % 25 == 0) {
                ASSERT_EQ(lines.check(&text).toStdString(), "") << "after step " << step;
                const std::vector<qint64> starts = naiveLineStarts(model);
                ASSERT_EQ(lines.lineCount(), qint64(starts.size()));
                for (size_t i = 0; i < starts.size(); ++i) ASSERT_EQ(lines.lineStart(qint64(i)), starts[i]);
                for (int probe = 0; probe < 20; ++probe) {
                    const qint64 pos = qint64(rng() % (model.size() + 1));
                    const qint64 expected = qint64(std::upper_bound(starts.begin(), starts.end(), pos) - starts.begin()) - 1;
                    ASSERT_EQ(lines.lineOfPosition(pos), expected) << "position " << pos;
                }
            }
        }
        EXPECT_EQ(lines.check(&text).toStdString(), "");
    }
}

namespace {

// A run array next to one value per character; value 0 stands for "none".
struct RunModel {
    RunModel(qsizetype blockSize, quint32 narrowNumbers) : runs(blockSize, narrowNumbers) {}
    RunArray runs;
    std::vector<int> values;

    static QVariant variant(int v) { return v ? QVariant(v) : QVariant(); }

    void replace(qint64 location, qint64 removed, qint64 inserted) {
        int inherited = 0;
        if (!values.empty()) inherited = values[size_t(removed > 0 ? location : std::max<qint64>(location - 1, 0))];
        values.erase(values.begin() + location, values.begin() + location + removed);
        values.insert(values.begin() + location, size_t(inserted), inherited);
        if (values.empty()) inherited = 0;
        runs.replace(location, removed, inserted);
    }
    void set(qint64 location, qint64 length, int v) {
        std::fill(values.begin() + location, values.begin() + location + length, v);
        runs.setValue(QVRange(location, length), variant(v));
    }
    ::testing::AssertionResult matches() const {
        if (QString problem = runs.check(); !problem.isEmpty())
            return ::testing::AssertionFailure() << problem.toStdString();
        if (runs.length() != qint64(values.size()))
            return ::testing::AssertionFailure() << "length " << runs.length() << " vs " << values.size();
        for (size_t i = 0; i < values.size(); ++i) {
            QVRange run;
            const QVariant& v = runs.valueAt(qint64(i), &run);
            if (!RunArray::sameValue(v, variant(values[i])))
                return ::testing::AssertionFailure() << "value at " << i;
            if (!run.contains(qint64(i))) return ::testing::AssertionFailure() << "run around " << i;
        }
        return ::testing::AssertionSuccess();
    }
};

}  // namespace

TEST(RunArray, RandomEditsMatchPerCharacterValues) {
    // A third value comes in half way; where the narrow numbers end at 2, the runs it meets move
    // to the wide form of 32-bit numbers and must come out the same.
    for (const auto& [blockSize, narrowNumbers] : {std::pair<qsizetype, quint32>{2, 0xFFFF}, {4, 0xFFFF}, {16, 0xFFFF},
                                                  {512, 0xFFFF}, {16, 2}}) {
        SCOPED_TRACE(testing::Message() << blockSize << " narrow " << narrowNumbers);
        std::mt19937 rng(7);
        RunModel model(blockSize, narrowNumbers);
        for (int step = 0; step < 8000; ++step) {
            const qint64 size = qint64(model.values.size());
            const unsigned kinds = step < 4000 ? 3 : 4;
            if (rng() % 4 == 0 && size > 0) {
                // A highlighter's pass: a stretch set whole, then values along it with gaps,
                // now and then one going back or far ahead.
                qint64 at = qint64(rng() % size_t(size));
                model.set(at, std::min<qint64>(size - at, 1 + qint64(rng() % 200)), int(rng() % kinds));
                for (int write = int(rng() % 40); write > 0 && at < size; --write) {
                    if (rng() % 12 == 0) at = qint64(rng() % size_t(size));
                    const qint64 length = std::min<qint64>(size - at, 1 + qint64(rng() % 6));
                    model.set(at, length, int(rng() % kinds));
                    at += length + qint64(rng() % 4) * qint64(rng() % 3);
                }
            } else if (rng() % 2 == 0 && size > 0) {
                // Mostly short; now and then far, over many runs and blocks.
                const qint64 location = qint64(rng() % size_t(size));
                const qint64 most = rng() % 25 == 0 ? size - location : std::min<qint64>(size - location, 12);
                const qint64 length = 1 + qint64(rng() % size_t(most));
                model.set(location, length, int(rng() % kinds));
            } else {
                const qint64 location = qint64(rng() % size_t(size + 1));
                const qint64 removed = qint64(rng() % size_t(std::min<qint64>(size - location, 8) + 1));
                model.replace(location, removed, qint64(rng() % 9));
            }
            if (step % 20 == 0) {
                ASSERT_TRUE(model.matches()) << "after step " << step;
            }
        }
        EXPECT_TRUE(model.matches());
    }
}

TEST(TextContainers, RunsAndLineStartsHoldFewBytesEach) {
    // What a coloured page holds beside its characters: a run is its start in its block and its
    // value's number, a line start its place in its block. Lines of 40 characters, each
    // coloured in five runs by a pass along the text, as a highlighter sets them.
    const qint64 lines = 40000;
    std::u16string page;
    for (qint64 line = 0; line < lines; ++line) page += u"<p class=\"x\">some text of a line</p>   \n";
    PieceText text;
    text.replace(0, 0, page.data(), qsizetype(page.size()));
    LineIndex index;
    index.replaced(0, 0, text.size(), text);
    RunArray runs;
    runs.replace(0, 0, text.size());
    const QVariant colours[] = {QVariant(QStringLiteral("tag")), QVariant(QStringLiteral("attribute")), QVariant(QStringLiteral("value"))};
    const qint64 lineLength = text.size() / lines;
    for (qint64 line = 0; line < lines; ++line) {
        for (qint64 k = 0; k < 5; ++k) runs.setValue(QVRange(line * lineLength + k * 8, 8), colours[(line + k) % 3]);
    }
    ASSERT_EQ(index.lineCount(), lines + 1);
    ASSERT_GE(runs.runCount(), lines * 4);
    struct Case {
        const char* name;
        qsizetype held;
        qint64 items;
        double mostPerItem;
    };
    for (const Case& c : {Case{"line starts", index.bytesHeld(), index.lineCount(), 2.6},
                          Case{"colour runs", runs.bytesHeld(), runs.runCount(), 4.6}}) {
        EXPECT_LE(double(c.held) / double(c.items), c.mostPerItem) << c.name;
    }
    EXPECT_EQ(runs.check().toStdString(), "");
    EXPECT_EQ(index.check(&text).toStdString(), "");
}

TEST(RunArray, ValuesOfDifferentTypesStayApart) {
    RunArray runs;
    runs.replace(0, 0, 4);
    runs.setValue(QVRange(0, 2), QVariant(true));
    runs.setValue(QVRange(2, 2), QVariant(1));
    EXPECT_EQ(runs.runCount(), 2);
    EXPECT_EQ(runs.check().toStdString(), "");
    runs.setValue(QVRange(2, 2), QVariant(true));
    EXPECT_EQ(runs.runCount(), 1);
}

// Builds with assertions (scripts/test's) stop at a caller's broken promise instead of reading
// or writing past a container's end.
TEST(TextContainers, BrokenBoundsStopBuildsWithAssertions) {
#ifdef QT_NO_DEBUG
    GTEST_SKIP() << "built without assertions";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const char16_t units[] = u"abc";
    const std::vector<qint64> positions{1, 2, 3, 9, 10};
    struct Case {
        const char* name;
        std::function<void()> misuse;
    };
    const Case cases[] = {
        {"pieces index past the end", [&] { PieceText t; t.replace(0, 0, units, 3); (void)t[3]; }},
        {"pieces negative index", [&] { PieceText t; t.replace(0, 0, units, 3); (void)t[-1]; }},
        {"pieces insert past the end", [&] { PieceText t; t.replace(1, 0, units, 3); }},
        {"pieces erase past the end", [&] { PieceText t; t.replace(0, 0, units, 3); t.replace(2, 2, nullptr, 0); }},
        {"pieces segments past the end", [&] { PieceText t; t.replace(0, 0, units, 3); t.forEachSegment(1, 3, [](auto) {}); }},
        {"boundary past the last", [] { Partitioning p; p.grow(0, 10); (void)p.positionOf(2); }},
        {"extent of a missing partition", [] { Partitioning p; p.grow(0, 10); (void)p.extentOf(1); }},
        {"boundary outside its neighbours", [] { Partitioning p; p.grow(0, 10); p.insertBoundary(1, 11); }},
        {"boundary 0 removed", [] { Partitioning p; p.grow(0, 10); p.insertBoundary(1, 5); p.removeBoundaries(0, 1); }},
        {"boundaries past the end", [&] { Partitioning p; p.grow(0, 5); p.insertBoundaries(1, positions); }},
        {"partition shrunk below nothing", [] { Partitioning p; p.grow(0, 10); p.insertBoundary(1, 5); p.grow(0, -6); }},
        {"line start past the last", [] { LineIndex l; (void)l.lineStart(2); }},
        {"run value past the end", [] { RunArray r; r.replace(0, 0, 4); (void)r.valueAt(4); }},
        {"run value set past the end", [] { RunArray r; r.replace(0, 0, 4); r.setValue(QVRange(2, 3), 1); }},
        {"run edit past the end", [] { RunArray r; r.replace(0, 0, 4); r.replace(3, 2, 0); }},
    };
    for (const Case& c : cases) EXPECT_DEATH(c.misuse(), "ASSERT") << c.name;
}
