// Runs of one attribute's value over a text.
#include "platform/RunArray.h"

RunArray::RunArray() { clear(); }

void RunArray::clear() {
    _starts.clear();
    _values.clear();
    _values.insert(0, QVariant());
}

const QVariant& RunArray::valueAt(qint64 index, QVRange* run) const {
    const qsizetype r = runAt(index);
    if (run) *run = runRange(r);
    return _values[r];
}

// Makes pos a run start and answers the run that starts there (runCount() at the end).
qsizetype RunArray::splitAt(qint64 pos) {
    if (pos >= length()) return runCount();
    const qsizetype r = runAt(pos);
    if (_starts.positionOf(r) == pos) return r;
    _starts.insertBoundary(r + 1, pos);
    _values.insert(r + 1, QVariant(_values[r]));
    return r + 1;
}

// An empty run with the value, placed at pos just before what is now run `run`.
void RunArray::insertEmptyRun(qsizetype run, qint64 pos, const QVariant& value) {
    // Boundary 0 never moves: a run in front of the first one is made by a second boundary at 0.
    _starts.insertBoundary(run == 0 ? 1 : run, pos);
    _values.insert(run, QVariant(value));
}

// Drops runs [first, first + count) that are empty or about to be emptied by the caller: the
// neighbour before absorbs their extent (the one after when first is 0).
void RunArray::removeRuns(qsizetype first, qsizetype count) {
    if (count <= 0) return;
    if (first > 0) {
        _starts.removeBoundaries(first, count);
    } else if (count < runCount()) {
        _starts.removeBoundaries(1, count);
    } else {
        const qsizetype all = runCount();
        _starts.removeBoundaries(1, all - 1);
        _values.erase(1, all - 1);
        _values[0] = QVariant();
        return;
    }
    _values.erase(first, count);
}

// Joins the runs on both sides of a boundary when they hold the same value.
void RunArray::mergeAt(qsizetype boundary) {
    if (boundary <= 0 || boundary >= runCount()) return;
    if (!sameValue(_values[boundary - 1], _values[boundary])) return;
    _starts.removeBoundaries(boundary, 1);
    _values.erase(boundary, 1);
}

void RunArray::setValue(QVRange range, const QVariant& value) {
    if (range.length <= 0) return;
    {
        QVRange run;
        if (sameValue(valueAt(range.location, &run), value) && run.end() >= range.end()) return;
    }
    const qsizetype first = splitAt(range.location);
    const qsizetype end = splitAt(range.end());
    if (end - first > 1) {
        _starts.removeBoundaries(first + 1, end - first - 1);
        _values.erase(first + 1, end - first - 1);
    }
    _values[first] = value;
    mergeAt(first + 1);
    mergeAt(first);
}

void RunArray::replace(qint64 location, qint64 removed, qint64 inserted, bool inherit) {
    QVariant inherited;
    if (inherit && length() > 0) inherited = _values[runAt(removed > 0 ? location : std::max<qint64>(location - 1, 0))];

    if (removed > 0) {
        const qsizetype first = splitAt(location);
        const qsizetype end = splitAt(location + removed);
        // Runs [first, end) cover exactly the removed text: fold them into the neighbour before
        // (or after, at the start) and take their length out of it.
        const qsizetype absorber = first > 0 ? first - 1 : 0;
        removeRuns(first, end - first);
        _starts.grow(absorber, -removed);
        if (first > 0) mergeAt(first);
    }

    if (inserted > 0) {
        if (length() == 0) {
            _values[0] = inherited;
            _starts.grow(0, inserted);
            return;
        }
        if (location > 0) {
            const qsizetype before = runAt(location - 1);
            if (sameValue(_values[before], inherited)) {
                _starts.grow(before, inserted);
                return;
            }
        }
        if (location < length()) {
            const qsizetype at = runAt(location);
            if (_starts.positionOf(at) == location && sameValue(_values[at], inherited)) {
                _starts.grow(at, inserted);
                return;
            }
        }
        const qsizetype run = splitAt(location);
        insertEmptyRun(run, location, inherited);
        _starts.grow(run, inserted);
    }
}

QString RunArray::check() const {
    if (QString problem = _starts.check(); !problem.isEmpty()) return problem;
    if (_values.size() != runCount())
        return QStringLiteral("%1 values for %2 runs").arg(_values.size()).arg(runCount());
    if (length() == 0) {
        if (runCount() != 1) return QStringLiteral("%1 runs over an empty text").arg(runCount());
        if (_values[0].isValid()) return QStringLiteral("a value over an empty text");
        return {};
    }
    for (qsizetype r = 0; r < runCount(); ++r) {
        if (runRange(r).length <= 0) return QStringLiteral("run %1 is empty").arg(r);
        if (r > 0 && sameValue(_values[r - 1], _values[r]))
            return QStringLiteral("runs %1 and %2 hold the same value").arg(r - 1).arg(r);
    }
    return {};
}
