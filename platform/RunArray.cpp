// Runs of one attribute's value over a text.
#include "platform/RunArray.h"

template class PartitionBlocks<QVariant>;

RunArray::RunArray(qsizetype blockSize) : _runs(blockSize) {}

const QVariant& RunArray::valueAt(qint64 index, QVRange* run) const {
    settle();
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
    if (!_pending.starts.empty()) {
        if (setPending(range, value)) return;
        applyPending();
    }
    _pending.starts.push_back(range.location);
    _pending.values.append(value);
    _pending.end = range.end();
}

// A value set right after the last run continues it when equal, or starts a run.
void RunArray::appendPending(qint64 start, const QVariant& value) {
    if (!_pending.values.empty() && sameValue(_pending.values.back(), value)) return;
    _pending.starts.push_back(start);
    _pending.values.append(value);
}

bool RunArray::setPending(QVRange range, const QVariant& value) {
    std::vector<qint64>& starts = _pending.starts;
    QList<QVariant>& values = _pending.values;
    const qint64 end = _pending.end;
    if (range.location < starts.front()) return false;
    if (range.location > end) {
        // What lies between keeps its runs: a few of them are taken in as they are.
        qint64 at = end;
        for (int taken = 0; at < range.location; ++taken) {
            if (taken == 4) {
                _pending.end = at;
                return false;
            }
            PartitionBlocks<QVariant>::Extent extent;
            appendPending(at, _runs.valueAt(at, &extent));
            at = std::min(extent.end, range.location);
        }
        _pending.end = range.location;
        appendPending(range.location, value);
        _pending.end = range.end();
        return true;
    }
    // The runs that hold range's start and end; usually the last one holds both.
    auto runOf = [&](qint64 pos) {
        if (pos >= starts.back()) return qsizetype(starts.size()) - 1;
        return qsizetype(std::upper_bound(starts.begin(), starts.end(), pos) - starts.begin()) - 1;
    };
    // What lies after range in the pending runs comes back after it; more than a few runs there
    // would make every such value cost a copy of them, so those are applied first instead.
    constexpr qsizetype kMostKept = 4;
    qsizetype tailFrom = qsizetype(starts.size());
    if (range.end() < end) {
        tailFrom = runOf(range.end());
        if (qsizetype(starts.size()) - tailFrom > kMostKept) return false;
    }
    // Cut at range's start: the run holding it keeps what lies before.
    const qsizetype first = range.location == end ? qsizetype(starts.size()) : runOf(range.location);
    const size_t keep = size_t(first < qsizetype(starts.size()) && starts[size_t(first)] < range.location ? first + 1 : first);
    qint64 tailStarts[kMostKept];
    QVariant tailValues[kMostKept];
    const qsizetype kept = qsizetype(starts.size()) - tailFrom;
    for (qsizetype k = 0; k < kept; ++k) {
        const size_t at = size_t(tailFrom + k);
        tailStarts[k] = std::max(starts[at], range.end());
        // The run that holds both ends of range stays before it too.
        tailValues[k] = at < keep ? values[qsizetype(at)] : std::move(values[qsizetype(at)]);
    }
    starts.resize(keep);
    values.resize(qsizetype(keep));
    appendPending(range.location, value);
    for (qsizetype k = 0; k < kept; ++k) appendPending(tailStarts[k], tailValues[k]);
    _pending.end = std::max(end, range.end());
    return true;
}

void RunArray::applyPending() {
    Pending pending = std::move(_pending);
    _pending = Pending();
    const qint64 start = pending.starts.front();
    if (pending.starts.size() == 1) {
        setValueNow(QVRange(start, pending.end - start), pending.values.front());
        return;
    }
    const qsizetype first = splitAt(start);
    const qsizetype end = splitAt(pending.end);
    if (end - first > 1) _runs.removeBoundaries(first + 1, end - first - 1);
    _runs.setValueOf(first, pending.values.front());
    const size_t added = pending.starts.size() - 1;
    _runs.insertBoundaries(first + 1, std::span<const qint64>(pending.starts.data() + 1, added),
                           std::span<const QVariant>(pending.values.constData() + 1, added));
    mergeAt(first + qsizetype(added) + 1);
    mergeAt(first);
}

void RunArray::setValueNow(QVRange range, const QVariant& value) {
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
    settle();
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
    settle();
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
