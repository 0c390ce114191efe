// Runs of one attribute's value over a text.
#include "platform/RunArray.h"

template class PartitionBlocks<QVariant>;

RunArray::RunArray(qsizetype blockSize) : _runs(blockSize) {}

const QVariant& RunArray::valueAt(qint64 index, QVRange* run) const {
    if (!run) return _runs.valueAt(index);
    PartitionBlocks<QVariant>::Extent extent;
    const QVariant& value = _runs.valueAt(index, &extent);
    *run = QVRange(extent.start, extent.end - extent.start);
    return value;
}

// Makes pos a run start and answers the run that starts there (runCount() at the end).
qsizetype RunArray::splitAt(qint64 pos) {
    if (pos >= length()) return runCount();
    PartitionBlocks<QVariant>::Extent extent;
    const QVariant value = _runs.valueAt(pos, &extent);
    if (extent.start == pos) return extent.index;
    _runs.insertBoundary(extent.index + 1, pos, value);
    return extent.index + 1;
}

// An empty run with the value, placed at pos just before what is now run `run`.
void RunArray::insertEmptyRun(qsizetype run, qint64 pos, const QVariant& value) {
    if (run > 0) {
        _runs.insertBoundary(run, pos, value);
        return;
    }
    // Boundary 0 never moves: a run in front of the first one is made by a second boundary at 0,
    // which takes the first run's value while the first (now empty) run takes the new one.
    const QVariant first = _runs.valueOf(0);
    _runs.insertBoundary(1, pos, first);
    _runs.setValueOf(0, value);
}

// Drops runs [first, first + count) that are empty or about to be emptied by the caller: the
// neighbour before absorbs their extent (the one after when first is 0).
void RunArray::removeRuns(qsizetype first, qsizetype count) {
    if (count <= 0) return;
    if (first > 0) {
        _runs.removeBoundaries(first, count);
    } else if (count < runCount()) {
        const QVariant survivor = _runs.valueOf(count);
        _runs.removeBoundaries(1, count);
        _runs.setValueOf(0, survivor);
    } else {
        _runs.removeBoundaries(1, runCount() - 1);
        _runs.setValueOf(0, QVariant());
    }
}

// Joins the runs on both sides of a boundary when they hold the same value.
void RunArray::mergeAt(qsizetype boundary) {
    if (boundary <= 0 || boundary >= runCount()) return;
    if (!sameValue(_runs.valueOf(boundary - 1), _runs.valueOf(boundary))) return;
    _runs.removeBoundaries(boundary, 1);
}

void RunArray::setValue(QVRange range, const QVariant& value) {
    if (range.length <= 0) return;
    {
        QVRange run;
        if (sameValue(valueAt(range.location, &run), value) && run.end() >= range.end()) return;
    }
    const qsizetype first = splitAt(range.location);
    const qsizetype end = splitAt(range.end());
    if (end - first > 1) _runs.removeBoundaries(first + 1, end - first - 1);
    _runs.setValueOf(first, value);
    mergeAt(first + 1);
    mergeAt(first);
}

void RunArray::replace(qint64 location, qint64 removed, qint64 inserted, bool inherit) {
    if (length() > 0) {
        // The common edits, typing and erasing inside a run, touch that run's length alone.
        PartitionBlocks<QVariant>::Extent run;
        const qint64 at = removed > 0 ? location : std::max<qint64>(location - 1, 0);
        const QVariant& value = _runs.valueAt(at, &run);
        const bool keepsRun = removed == 0 || (location + removed <= run.end && (location > run.start || location + removed < run.end));
        if (keepsRun && (inserted == 0 || inherit || !value.isValid())) {
            _runs.grow(run.index, inserted - removed);
            return;
        }
    }

    QVariant inherited;
    if (inherit && length() > 0) inherited = _runs.valueAt(removed > 0 ? location : std::max<qint64>(location - 1, 0));

    if (removed > 0) {
        const qsizetype first = splitAt(location);
        const qsizetype end = splitAt(location + removed);
        // Runs [first, end) cover exactly the removed text: fold them into the neighbour before
        // (or after, at the start) and take their length out of it.
        const qsizetype absorber = first > 0 ? first - 1 : 0;
        removeRuns(first, end - first);
        _runs.grow(absorber, -removed);
        if (first > 0) mergeAt(first);
    }

    if (inserted > 0) {
        if (length() == 0) {
            _runs.setValueOf(0, inherited);
            _runs.grow(0, inserted);
            return;
        }
        if (location > 0) {
            PartitionBlocks<QVariant>::Extent before;
            if (sameValue(_runs.valueAt(location - 1, &before), inherited)) {
                _runs.grow(before.index, inserted);
                return;
            }
        }
        if (location < length()) {
            PartitionBlocks<QVariant>::Extent at;
            if (sameValue(_runs.valueAt(location, &at), inherited) && at.start == location) {
                _runs.grow(at.index, inserted);
                return;
            }
        }
        const qsizetype run = splitAt(location);
        insertEmptyRun(run, location, inherited);
        _runs.grow(run, inserted);
    }
}

QString RunArray::check() const {
    if (QString problem = _runs.check(); !problem.isEmpty()) return problem;
    if (length() == 0) {
        if (runCount() != 1) return QStringLiteral("%1 runs over an empty text").arg(runCount());
        if (_runs.valueOf(0).isValid()) return QStringLiteral("a value over an empty text");
        return {};
    }
    for (qsizetype r = 0; r < runCount(); ++r) {
        if (runRange(r).length <= 0) return QStringLiteral("run %1 is empty").arg(r);
        if (r > 0 && sameValue(_runs.valueOf(r - 1), _runs.valueOf(r)))
            return QStringLiteral("runs %1 and %2 hold the same value").arg(r - 1).arg(r);
    }
    return {};
}
