// Runs of one attribute's value over a text.
#include "platform/RunArray.h"

#include <QByteArrayView>

#include <algorithm>
#include <cstring>

template class PartitionBlocks<quint16, quint16>;
template class PartitionBlocks<quint32, quint16>;

using Extent = RunBlocks::Extent;

namespace {

// The key of a value held through a shared pointer: the object it points to, which comes
// first in the pointer's bytes, mixed with its type; 0 for other values.
quintptr pointerKey(const QVariant& value) {
    const QMetaType type = value.metaType();
    if (!QByteArrayView(type.name()).startsWith("std::shared_ptr<")) return 0;
    return *static_cast<const quintptr*>(value.constData()) ^ (quintptr(type.id()) * quintptr(0x9e3779b97f4a7c15ULL)) ^ 1;
}

}  // namespace

void RunBlocks::insertBoundaries(qsizetype i, std::span<const qint64> positions, const std::vector<quint32>& numbers,
                                 const quint32* ids) {
    if (_wide) {
        _wide->insertBoundaries(i, positions, [&](size_t k) -> const quint32& { return numbers[ids[k]]; });
        return;
    }
    std::vector<quint16> narrow(numbers.size());
    std::transform(numbers.begin(), numbers.end(), narrow.begin(), [](quint32 n) { return quint16(n); });
    _narrow.insertBoundaries(i, positions, [&](size_t k) -> const quint16& { return narrow[ids[k]]; });
}

void RunBlocks::widen() {
    auto made = std::make_unique<Wide>(_narrow.blockSize());
    std::vector<qint64> starts;
    std::vector<quint32> values;
    const qsizetype count = _narrow.partitions();
    starts.reserve(size_t(count));
    values.reserve(size_t(count));
    for (qsizetype p = 1; p < count; ++p) {
        starts.push_back(_narrow.positionOf(p));
        values.push_back(_narrow.valueOf(p));
    }
    made->grow(0, _narrow.length());
    made->setValueOf(0, _narrow.valueOf(0));
    made->insertBoundaries(1, starts, [&](size_t k) -> const quint32& { return values[k]; });
    _narrow.clear();
    _wide = std::move(made);
}

RunArray::RunArray(qsizetype blockSize, quint32 narrowNumbers) : _runs(blockSize, narrowNumbers) {}

quint32 RunArray::numberOf(const QVariant& value) {
    if (!value.isValid()) return 0;
    const quintptr key = pointerKey(value);
    if (key) {
        const auto found = _byPointer.find(key);
        if (found != _byPointer.end() && sameValue(_values[found->second], value)) return found->second;
    }
    // Keys of two pointers of different types may meet: then, as for other values, one by one.
    if (!key || _byPointer.count(key))
        for (size_t i = 1; i < _values.size(); ++i)
            if (sameValue(_values[i], value)) return quint32(i);
    quint32 number = 0;
    if (!_freeNumbers.empty()) {
        number = _freeNumbers.back();
        _freeNumbers.pop_back();
        _values[number] = value;
        _uses[number] = 0;
    } else {
        _values.push_back(value);
        _uses.push_back(0);
        number = quint32(_values.size() - 1);
        _runs.admit(number);
    }
    if (key) _byPointer.emplace(key, number);
    return number;
}

void RunArray::release(quint32 number) {
    if (const quintptr key = pointerKey(_values[number])) {
        const auto found = _byPointer.find(key);
        if (found != _byPointer.end() && found->second == number) _byPointer.erase(found);
    }
    _values[number] = QVariant();
    _freeNumbers.push_back(number);
}

void RunArray::insertRun(qsizetype i, qint64 pos, quint32 number) {
    use(number);
    _runs.insertBoundary(i, pos, number);
}

void RunArray::removeRunsAt(qsizetype first, qsizetype count) {
    for (qsizetype r = first; r < first + count; ++r) unuse(_runs.valueOf(r));
    _runs.removeBoundaries(first, count);
}

void RunArray::setRunNumber(qsizetype run, quint32 number) {
    const quint32 old = _runs.valueOf(run);
    use(number);
    _runs.setValueOf(run, number);
    unuse(old);
}

const QVariant& RunArray::valueAt(qint64 index, QVRange* run) const {
    Q_ASSERT(index >= 0 && index < length());
    settle();
    if (!run) return valueOf(_runs.valueAt(index));
    Extent extent;
    const quint32 number = _runs.valueAt(index, &extent);
    *run = QVRange(extent.start, extent.end - extent.start);
    return valueOf(number);
}

// Makes pos a run start and answers the run that starts there (runCount() at the end).
qsizetype RunArray::splitAt(qint64 pos) {
    if (pos >= length()) return runCount();
    Extent extent;
    const quint32 number = _runs.valueAt(pos, &extent);
    if (extent.start == pos) return extent.index;
    insertRun(extent.index + 1, pos, number);
    return extent.index + 1;
}

// An empty run with the value, placed at pos just before what is now run `run`.
void RunArray::insertEmptyRun(qsizetype run, qint64 pos, quint32 number) {
    if (run > 0) {
        insertRun(run, pos, number);
        return;
    }
    // Boundary 0 never moves: a run in front of the first one is made by a second boundary at 0,
    // which takes the first run's value while the first (now empty) run takes the new one.
    insertRun(1, pos, _runs.valueOf(0));
    setRunNumber(0, number);
}

// Drops runs [first, first + count) that are empty or about to be emptied by the caller: the
// neighbour before absorbs their extent (the one after when first is 0).
void RunArray::removeRuns(qsizetype first, qsizetype count) {
    if (count <= 0) return;
    if (first > 0) {
        removeRunsAt(first, count);
    } else if (count < runCount()) {
        const quint32 survivor = _runs.valueOf(count);
        use(survivor);
        removeRunsAt(1, count);
        setRunNumber(0, survivor);
        unuse(survivor);
    } else {
        removeRunsAt(1, runCount() - 1);
        setRunNumber(0, 0);
    }
}

// Joins the runs on both sides of a boundary when they hold the same value.
void RunArray::mergeAt(qsizetype boundary) {
    if (boundary <= 0 || boundary >= runCount()) return;
    if (_runs.valueOf(boundary - 1) != _runs.valueOf(boundary)) return;
    removeRunsAt(boundary, 1);
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
            Extent extent;
            const qint64 between = taken < 4 ? pendingId(valueOf(_runs.valueAt(at, &extent))) : -1;
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
    Extent old = _runs.extentAt(start);
    size_t k = 0;
    for (qint64 at = start; at < end;) {
        const qint64 pendingEnd = k + 1 < pending.starts.size() ? pending.starts[k + 1] : end;
        const qint64 to = std::min({old.end, pendingEnd, end});
        if (!sameValue(valueOf(_runs.valueOf(old.index)), pending.distinct[pending.ids[k]])) {
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
    if (pending.starts.size() == 1) {
        setValueNow(QVRange(start, pending.end - start), pending.distinct[pending.ids.front()], false);
        return;
    }
    // Every distinct value is held while the runs change, so that none is let go and made anew.
    std::vector<quint32> numbers;
    numbers.reserve(size_t(pending.distinct.size()));
    for (const QVariant& value : std::as_const(pending.distinct)) {
        numbers.push_back(numberOf(value));
        use(numbers.back());
    }
    const qsizetype first = splitAt(start);
    const qsizetype end = splitAt(pending.end);
    if (end - first > 1) removeRunsAt(first + 1, end - first - 1);
    setRunNumber(first, numbers[pending.ids.front()]);
    const size_t added = pending.starts.size() - 1;
    _runs.insertBoundaries(first + 1, std::span<const qint64>(pending.starts.data() + 1, added), numbers, pending.ids.data() + 1);
    for (size_t k = 1; k <= added; ++k) use(numbers[pending.ids[k]]);
    for (const quint32 number : numbers) unuse(number);
    mergeAt(first + qsizetype(added) + 1);
    mergeAt(first);
}

void RunArray::setValueNow(QVRange range, const QVariant& value, bool note) {
    {
        QVRange run;
        if (sameValue(valueAt(range.location, &run), value) && run.end() >= range.end()) return;
    }
    if (note) noteChange(range);
    const quint32 number = numberOf(value);
    use(number);
    const qsizetype first = splitAt(range.location);
    const qsizetype end = splitAt(range.end());
    if (end - first > 1) removeRunsAt(first + 1, end - first - 1);
    setRunNumber(first, number);
    unuse(number);
    mergeAt(first + 1);
    mergeAt(first);
}

void RunArray::replace(qint64 location, qint64 removed, qint64 inserted, bool inherit) {
    Q_ASSERT(location >= 0 && removed >= 0 && inserted >= 0 && removed <= length() - location);
    settle();
    if (length() > 0) {
        // The common edits, typing and erasing inside a run, touch that run's length alone.
        Extent run;
        const qint64 at = removed > 0 ? location : std::max<qint64>(location - 1, 0);
        const quint32 value = _runs.valueAt(at, &run);
        const bool keepsRun = removed == 0 || (location + removed <= run.end && (location > run.start || location + removed < run.end));
        if (keepsRun && (inserted == 0 || inherit || value == 0)) {
            _runs.grow(run.index, inserted - removed);
            return;
        }
    }

    quint32 inherited = 0;
    if (inherit && length() > 0) inherited = _runs.valueAt(removed > 0 ? location : std::max<qint64>(location - 1, 0));
    // Held while the removed runs go, which may have been its last ones.
    use(inherited);
    struct Release {
        RunArray* runs;
        quint32 number;
        ~Release() { runs->unuse(number); }
    } release{this, inherited};

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
            setRunNumber(0, inherited);
            _runs.grow(0, inserted);
            return;
        }
        if (location > 0) {
            Extent before;
            if (_runs.valueAt(location - 1, &before) == inherited) {
                _runs.grow(before.index, inserted);
                return;
            }
        }
        if (location < length()) {
            Extent at;
            if (_runs.valueAt(location, &at) == inherited && at.start == location) {
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
        if (_runs.valueOf(0) != 0) return QStringLiteral("a value over an empty text");
        return {};
    }
    for (qsizetype r = 0; r < runCount(); ++r) {
        if (runRange(r).length <= 0) return QStringLiteral("run %1 is empty").arg(r);
        const quint32 number = _runs.valueOf(r);
        if (number >= _values.size()) return QStringLiteral("run %1 holds value number %2 of %3").arg(r).arg(number).arg(_values.size());
        if (!_runs.isWide() && number > _runs.narrowNumbers())
            return QStringLiteral("run %1 holds number %2 in the narrow form").arg(r).arg(number);
        if (number && !_values[number].isValid()) return QStringLiteral("run %1 holds a value let go").arg(r);
        if (r > 0 && sameValue(valueOf(_runs.valueOf(r - 1)), valueOf(number)))
            return QStringLiteral("runs %1 and %2 hold the same value").arg(r - 1).arg(r);
    }
    // Each number is counted once per run that holds it.
    std::vector<quint64> uses(_values.size(), 0);
    for (qsizetype r = 0; r < runCount(); ++r) ++uses[_runs.valueOf(r)];
    for (size_t n = 1; n < uses.size(); ++n)
        if (uses[n] != _uses[n]) return QStringLiteral("value %1 is held by %2 runs, counted %3").arg(n).arg(uses[n]).arg(_uses[n]);
    return {};
}
