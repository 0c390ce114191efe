// Runs of one attribute's value over a text.
#include "platform/RunArray.h"

#include <algorithm>
#include <cstring>

template class PartitionBlocks<QVariant>;

RunArray::RunArray(qsizetype blockSize) : _runs(blockSize) {}

const QVariant& RunArray::valueAt(qint64 index, QVRange* run) const {
    Q_ASSERT(index >= 0 && index < length());
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
    Q_ASSERT(range.location >= 0 && range.length <= length() - range.location);
    if (!_pending.starts.empty()) {
        if (setPending(range, value)) return;
        applyPending();
    }
    _pending.starts.push_back(range.location);
    _pending.ids.push_back(quint32(pendingId(value)));
    _pending.end = range.end();
}

qint64 RunArray::pendingId(const QVariant& value) {
    const quintptr address = quintptr(&value);
    Pending::Seen& seen = _pending.seen[((address >> 4) ^ (address >> 9)) % _pending.seen.size()];
    const bool inPlace = !value.data_ptr().is_shared;
    if (inPlace && seen.address == &value && std::memcmp(seen.bytes, &value, sizeof(QVariant)) == 0) return seen.id;
    QList<QVariant>& distinct = _pending.distinct;
    qsizetype id = 0;
    while (id < distinct.size() && !sameValue(distinct[id], value)) ++id;
    if (id == distinct.size()) {
        constexpr qsizetype kMostValues = 64;
        if (distinct.size() == kMostValues) return -1;
        distinct.append(value);
    }
    if (inPlace) {
        seen.address = &value;
        std::memcpy(seen.bytes, &value, sizeof(QVariant));
        seen.id = quint32(id);
    }
    return id;
}

// A value set right after the last run continues it when equal, or starts a run.
void RunArray::appendPending(qint64 start, quint32 id) {
    if (!_pending.ids.empty() && _pending.ids.back() == id) return;
    _pending.starts.push_back(start);
    _pending.ids.push_back(id);
}

bool RunArray::setPending(QVRange range, const QVariant& value) {
    std::vector<qint64>& starts = _pending.starts;
    std::vector<quint32>& ids = _pending.ids;
    const qint64 end = _pending.end;
    if (range.location < starts.front()) return false;
    const qint64 id = pendingId(value);
    if (id < 0) return false;
    if (range.location > end) {
        // What lies between keeps its runs: a few of them are taken in as they are.
        qint64 at = end;
        for (int taken = 0; at < range.location; ++taken) {
            PartitionBlocks<QVariant>::Extent extent;
            const qint64 between = taken < 4 ? pendingId(_runs.valueAt(at, &extent)) : -1;
            if (between < 0) {
                _pending.end = at;
                return false;
            }
            appendPending(at, quint32(between));
            at = std::min(extent.end, range.location);
        }
        appendPending(range.location, quint32(id));
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
    qint64 tailStarts[kMostKept];
    quint32 tailIds[kMostKept];
    const qsizetype kept = qsizetype(starts.size()) - tailFrom;
    for (qsizetype k = 0; k < kept; ++k) {
        tailStarts[k] = std::max(starts[size_t(tailFrom + k)], range.end());
        tailIds[k] = ids[size_t(tailFrom + k)];
    }
    // Cut at range's start: the run holding it keeps what lies before.
    const qsizetype first = range.location == end ? qsizetype(starts.size()) : runOf(range.location);
    const size_t keep = size_t(first < qsizetype(starts.size()) && starts[size_t(first)] < range.location ? first + 1 : first);
    starts.erase(starts.begin() + qsizetype(keep), starts.end());
    ids.erase(ids.begin() + qsizetype(keep), ids.end());
    appendPending(range.location, quint32(id));
    for (qsizetype k = 0; k < kept; ++k) appendPending(tailStarts[k], tailIds[k]);
    _pending.end = std::max(end, range.end());
    return true;
}

void RunArray::noteChange(QVRange range) {
    if (range.length <= 0) return;
    if (_changedFrom == _changedTo) {
        _changedFrom = range.location;
        _changedTo = range.end();
        return;
    }
    _changedFrom = std::min(_changedFrom, range.location);
    _changedTo = std::max(_changedTo, range.end());
}

QVRange RunArray::takeChanges() {
    settle();
    const QVRange changed(_changedFrom, _changedTo - _changedFrom);
    _changedFrom = _changedTo = 0;
    return QVRange(std::min(changed.location, length()), std::clamp<qint64>(changed.length, 0, length() - std::min(changed.location, length())));
}

QVRange RunArray::pendingDifference(const Pending& pending) const {
    const qint64 start = pending.starts.front();
    const qint64 end = pending.end;
    // Comparing costs about what applying costs; beyond a screenful or so of text, which is
    // what re-colouring after a keystroke sets, the whole stretch counts as changed.
    constexpr qint64 kMostCompared = 64 * 1024;
    if (end - start > kMostCompared) return QVRange(start, end - start);
    qint64 first = -1, last = -1;
    PartitionBlocks<QVariant>::Extent old = _runs.extentAt(start);
    size_t k = 0;
    for (qint64 at = start; at < end;) {
        const qint64 pendingEnd = k + 1 < pending.starts.size() ? pending.starts[k + 1] : end;
        const qint64 to = std::min({old.end, pendingEnd, end});
        if (!sameValue(_runs.valueOf(old.index), pending.distinct[pending.ids[k]])) {
            if (first < 0) first = at;
            last = to;
        }
        at = to;
        if (at >= old.end && at < end) old = _runs.extentOf(old.index + 1);
        if (at >= pendingEnd) ++k;
    }
    return first < 0 ? QVRange(start, 0) : QVRange(first, last - first);
}

void RunArray::applyPending() {
    Pending pending = std::move(_pending);
    _pending = Pending();
    noteChange(pendingDifference(pending));
    const qint64 start = pending.starts.front();
    const QVariant& head = pending.distinct[pending.ids.front()];
    if (pending.starts.size() == 1) {
        setValueNow(QVRange(start, pending.end - start), head, false);
        return;
    }
    const qsizetype first = splitAt(start);
    const qsizetype end = splitAt(pending.end);
    if (end - first > 1) _runs.removeBoundaries(first + 1, end - first - 1);
    _runs.setValueOf(first, head);
    const size_t added = pending.starts.size() - 1;
    _runs.insertBoundaries(first + 1, std::span<const qint64>(pending.starts.data() + 1, added),
                           [&](size_t k) -> const QVariant& { return pending.distinct[pending.ids[k + 1]]; });
    mergeAt(first + qsizetype(added) + 1);
    mergeAt(first);
}

void RunArray::setValueNow(QVRange range, const QVariant& value, bool note) {
    {
        QVRange run;
        if (sameValue(valueAt(range.location, &run), value) && run.end() >= range.end()) return;
    }
    if (note) noteChange(range);
    const qsizetype first = splitAt(range.location);
    const qsizetype end = splitAt(range.end());
    if (end - first > 1) _runs.removeBoundaries(first + 1, end - first - 1);
    _runs.setValueOf(first, value);
    mergeAt(first + 1);
    mergeAt(first);
}

void RunArray::replace(qint64 location, qint64 removed, qint64 inserted, bool inherit) {
    Q_ASSERT(location >= 0 && removed >= 0 && inserted >= 0 && removed <= length() - location);
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
