// Start positions of the lines of a UTF-16 text, kept up to date edit by edit.
#pragma once

#include "platform/GapBuffer.h"
#include "platform/PartitionBlocks.h"

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
    void replaced(qint64 location, qint64 removed, qint64 inserted, const GapBuffer<char16_t>& text);

    void clear() { _starts.clear(); }
    qsizetype bytesHeld() const { return _starts.bytesHeld(); }

    // Empty when the structure holds (strictly increasing starts); with a text, also when the
    // starts are exactly the text's line starts (O(length): for tests).
    QString check(const GapBuffer<char16_t>* text = nullptr) const;

    // Whether a line starts at pos of the text: the character before is a break that does not
    // continue into pos.
    static bool isLineStart(const GapBuffer<char16_t>& text, qint64 pos) {
        if (pos <= 0 || pos > text.size()) return false;
        const char16_t before = text[pos - 1];
        if (before == u'\n') return true;
        return before == u'\r' && (pos == text.size() || text[pos] != u'\n');
    }

private:
    LineStarts _starts;
};
