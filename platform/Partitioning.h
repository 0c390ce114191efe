// Ordered boundaries cutting [0, length) into partitions, with a lazily applied shift.
#pragma once

#include "platform/GapBuffer.h"

#include <QString>
#include <QtGlobal>

// Partition p covers [positionOf(p), positionOf(p + 1)); boundary 0 is always 0 and the last
// boundary, positionOf(partitions()), is the total length. There is always one partition.
//
// Growing a partition moves every later boundary. Instead of touching them all, the boundaries
// after a "step" index owe a pending amount that is added when they are read; the step walks to
// the next edit point, which keeps a series of edits at one place at O(1) each and edits
// anywhere at O(distance to the previous edit). Lookup by position is a binary search.
class Partitioning {
public:
    Partitioning();

    qsizetype partitions() const { return _body.size() - 1; }
    qint64 length() const { return positionOf(partitions()); }

    // Position of boundary i, i in [0, partitions()].
    qint64 positionOf(qsizetype i) const {
        const qint64 p = _body[i];
        return i > _stepBoundary ? p + _stepLength : p;
    }

    // The last partition whose start is at or before pos (0 for negative positions, the last
    // partition for positions at or past the end). Among empty partitions, the last one.
    qsizetype partitionOf(qint64 pos) const;

    // Inserts a boundary at index i, i in [1, partitions()], at pos, which must lie between the
    // positions of boundaries i - 1 and i: the partition i - 1 is cut in two at pos.
    void insertBoundary(qsizetype i, qint64 pos);

    // Removes boundaries [first, first + count), all in [1, partitions() - 1]: the partition
    // before first absorbs the removed ones.
    void removeBoundaries(qsizetype first, qsizetype count);

    // Moves every boundary after partition p by delta: partition p grows (or shrinks, when
    // delta is negative, by no more than its own length).
    void grow(qsizetype p, qint64 delta);

    // Back to one empty partition.
    void clear();

    // Empty when the boundaries start at 0, never decrease and the step is consistent.
    QString check() const;

private:
    void applyStepUpTo(qsizetype i);
    void retreatStepTo(qsizetype i);

    GapBuffer<qint64> _body;
    qsizetype _stepBoundary = 0;  // boundaries after this index owe _stepLength
    qint64 _stepLength = 0;
};
