// Line starts kept up to date edit by edit.
#include "platform/LineIndex.h"

#include <QVarLengthArray>

template class PartitionBlocks<void, quint16>;

void LineIndex::replaced(qint64 location, qint64 removed, qint64 inserted, const PieceText& text) {
    // A start s depends on the characters at s - 1 and s only, so the starts in
    // [location, location + removed] (old positions) are the only ones an edit can create or
    // destroy; line 0 always starts at 0. Drop those, shift the rest, and rescan the same
    // window in the new text, which also settles a "\r\n" pair that the edit split or joined.
    const qint64 first = std::max<qint64>(location, 1);
    const qint64 last = location + removed;
    const qint64 before = _starts.partitionOf(first - 1);  // the line that holds first - 1
    if (first <= last) {
        const qint64 lastGone = _starts.partitionOf(last);
        if (lastGone > before) _starts.removeBoundaries(before + 1, lastGone - before);
    }
    _starts.grow(before, inserted - removed);

    const qint64 end = location + inserted;
    if (first > end) return;
    // The new starts go in at once: a pasted or loaded text brings millions.
    QVarLengthArray<qint64, 64> starts;
    findStarts(text, first, end, [&](qint64 s) { starts.push_back(s); });
    _starts.insertBoundaries(before + 1, std::span<const qint64>(starts.data(), size_t(starts.size())));
}

QString LineIndex::check(const PieceText* text) const {
    if (QString problem = _starts.check(); !problem.isEmpty()) return problem;
    for (qint64 i = 1; i < lineCount(); ++i) {
        if (lineStart(i) <= lineStart(i - 1))
            return QStringLiteral("line %1 starts at %2, not after line %3 at %4")
                .arg(i).arg(lineStart(i)).arg(i - 1).arg(lineStart(i - 1));
    }
    if (!text) return {};
    if (length() != text->size())
        return QStringLiteral("index length %1, text length %2").arg(length()).arg(text->size());
    qint64 line = 1;
    QString problem;
    if (text->size() > 0) findStarts(*text, 1, text->size(), [&](qint64 pos) {
        if (!problem.isEmpty()) return;
        if (line >= lineCount() || lineStart(line) != pos)
            problem = QStringLiteral("a line starts at %1 but line %2 starts at %3")
                          .arg(pos).arg(line).arg(line < lineCount() ? lineStart(line) : -1);
        ++line;
    });
    if (!problem.isEmpty()) return problem;
    if (line != lineCount()) return QStringLiteral("%1 lines indexed, %2 in the text").arg(lineCount()).arg(line);
    return {};
}
