// Runs of one attribute's value over a text: maximal stretches of equal values.
#pragma once

#include "platform/PartitionBlocks.h"
#include "platform/QVRange.h"

#include <QString>
#include <QVariant>

extern template class PartitionBlocks<QVariant>;

// Run r covers runRange(r) and holds runValue(r); an invalid QVariant means "no value". Runs
// cover [0, length()) without gaps, none is empty (except the single run of an empty text),
// and two neighbours never hold the same value, so the run at an index is always the longest
// stretch of its value. Values are equal when they have the same type and compare equal.
//
// The runs and their values sit together in blocks (see PartitionBlocks), so that an edit or a
// change of value costs the same anywhere in a text of millions of runs.
class RunArray {
public:
    explicit RunArray(qsizetype blockSize = PartitionBlocks<QVariant>::DefaultBlockSize);

    qint64 length() const { return _runs.length(); }
    qsizetype runCount() const { return _runs.partitions(); }

    // The run holding index (clamped to the text).
    qsizetype runAt(qint64 index) const { return _runs.partitionOf(index); }
    QVRange runRange(qsizetype run) const {
        const auto extent = _runs.extentOf(run);
        return QVRange(extent.start, extent.end - extent.start);
    }
    const QVariant& runValue(qsizetype run) const { return _runs.valueOf(run); }

    // The value at index (which must lie in [0, length())) and the run around it.
    const QVariant& valueAt(qint64 index, QVRange* run = nullptr) const;

    // Gives range (inside [0, length())) the value; an invalid value removes it.
    void setValue(QVRange range, const QVariant& value);

    // Follows a text edit: [location, location + removed) replaced by `inserted` characters.
    // The new characters take the value of the first replaced character, or with nothing
    // replaced, of the character before (of the first character at the text's start); with
    // inherit false they take no value.
    void replace(qint64 location, qint64 removed, qint64 inserted, bool inherit = true);

    // True when no character has a value.
    bool isEmpty() const { return runCount() == 1 && !_runs.valueOf(0).isValid(); }

    void clear() { _runs.clear(); }

    static bool sameValue(const QVariant& a, const QVariant& b) {
        return a.metaType() == b.metaType() && (!a.isValid() || a == b);
    }

    // Empty when the runs are consistent, else what is wrong.
    QString check() const;

private:
    qsizetype splitAt(qint64 pos);
    void insertEmptyRun(qsizetype run, qint64 pos, const QVariant& value);
    void removeRuns(qsizetype first, qsizetype count);
    void mergeAt(qsizetype boundary);

    PartitionBlocks<QVariant> _runs;
};
