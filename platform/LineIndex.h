// Start positions of the lines of a UTF-16 text, kept up to date edit by edit.
#pragma once

#include "platform/PartitionBlocks.h"
#include "platform/PieceText.h"

#include <QString>
#include <QtGlobal>

// A line ends after "\n", after "\r\n" (one break), or after a "\r" not followed by "\n". The
// text always has at least one line; a text that ends with a break has an empty last line, so
// "a\n" has two lines and "" has one. Line i starts at lineStart(i); lineStart(lineCount()) is
// the text's length.
// Line starts take 16 bits each in their block (see PartitionBlocks): lines are short, and a
// block ends before a line that starts 64K characters or more past its base.
using LineStarts = PartitionBlocks<void, quint16>;
extern template class PartitionBlocks<void, quint16>;

class LineIndex {
public:
    explicit LineIndex(qsizetype blockSize = LineStarts::DefaultBlockSize) : _starts(blockSize) {}

    qint64 lineCount() const { return _starts.partitions(); }
    qint64 length() const { return _starts.length(); }

    // Start of line i, i in [0, lineCount()] (the caller checks the range).
    qint64 lineStart(qint64 line) const {
        Q_ASSERT(line >= 0 && line <= lineCount());
        return _starts.positionOf(line);
    }

    // The line holding pos; positions at or past the end belong to the last line, negative ones
    // to the first. A position between "\r" and "\n" belongs to the line that the pair ends.
    qint64 lineOfPosition(qint64 pos) const { return _starts.partitionOf(pos); }

    // Re-indexes after [location, location + removed) of the text was replaced by `inserted`
    // characters; `text` is the text after the edit. Costs O(log lines + removed + inserted), plus
    // at most one pass over the blocks of line starts.
    void replaced(qint64 location, qint64 removed, qint64 inserted, const PieceText& text);

    void clear() { _starts.clear(); }
    qsizetype bytesHeld() const { return _starts.bytesHeld(); }

    // Empty when the structure holds (strictly increasing starts); with a text, also when the
    // starts are exactly the text's line starts (O(length): for tests).
    QString check(const PieceText* text = nullptr) const;

    // Calls found(s) for every line start s in [first, last] (first >= 1) of the text, reading
    // [first - 1, last] and the unit after it.
    template <typename F>
    static void findStarts(const PieceText& text, qint64 first, qint64 last, F&& found) {
        qint64 at = first - 1;  // one past the unit read last, once it is read
        bool afterReturn = false;
        auto start = [&](qint64 s) {
            if (s >= first && s <= last) found(s);
        };
        text.forEachSegment(first - 1, std::min<qint64>(last, text.size() - 1) - first + 2, [&](std::span<const char16_t> part) {
            for (const char16_t c : part) {
                if (afterReturn && c != u'\n') start(at);
                ++at;
                afterReturn = c == u'\r';
                if (c == u'\n') start(at);
            }
        });
        if (afterReturn) start(at);
    }

private:
    LineStarts _starts;
};
