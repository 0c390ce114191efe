// Ordered boundaries with a lazily applied shift.
#include "platform/Partitioning.h"

Partitioning::Partitioning() { clear(); }

void Partitioning::clear() {
    _body.clear();
    const qint64 zeros[2] = {0, 0};
    _body.insert(0, zeros, 2);
    _stepBoundary = 0;
    _stepLength = 0;
}

qsizetype Partitioning::partitionOf(qint64 pos) const {
    qsizetype lo = 0;
    qsizetype hi = partitions() - 1;
    if (hi == 0 || pos < 0) return 0;
    if (pos >= positionOf(hi)) return hi;
    while (lo < hi) {
        const qsizetype mid = lo + (hi - lo + 1) / 2;
        if (positionOf(mid) <= pos) lo = mid;
        else hi = mid - 1;
    }
    return lo;
}

void Partitioning::applyStepUpTo(qsizetype i) {
    if (i <= _stepBoundary) return;
    if (_stepLength != 0) {
        const qint64 step = _stepLength;
        _body.forEach(_stepBoundary + 1, i - _stepBoundary, [step](qint64& v) { v += step; });
    }
    _stepBoundary = i;
    if (_stepBoundary >= partitions()) {
        _stepBoundary = partitions();
        _stepLength = 0;
    }
}

void Partitioning::retreatStepTo(qsizetype i) {
    if (i >= _stepBoundary) return;
    if (_stepLength != 0) {
        const qint64 step = _stepLength;
        _body.forEach(i + 1, _stepBoundary - i, [step](qint64& v) { v -= step; });
    }
    _stepBoundary = i;
}

void Partitioning::grow(qsizetype p, qint64 delta) {
    const qsizetype last = partitions();
    if (delta == 0 || p < 0 || p >= last) return;
    if (_stepLength == 0) {
        _stepBoundary = p;
    } else if (p >= _stepBoundary) {
        applyStepUpTo(p);
    } else if (_stepBoundary - p <= last - _stepBoundary) {
        retreatStepTo(p);
    } else {
        // Settling the tail is cheaper than walking the step back.
        applyStepUpTo(last);
        _stepBoundary = p;
    }
    _stepLength += delta;
    if (_stepLength == 0) _stepBoundary = last;
}

void Partitioning::insertBoundary(qsizetype i, qint64 pos) {
    if (i <= _stepBoundary) {
        _body.insert(i, pos);
        ++_stepBoundary;
    } else {
        _body.insert(i, pos - _stepLength);
    }
}

void Partitioning::removeBoundaries(qsizetype first, qsizetype count) {
    if (count <= 0) return;
    if (first + count - 1 <= _stepBoundary) _stepBoundary -= count;
    else if (first <= _stepBoundary) _stepBoundary = first - 1;
    _body.erase(first, count);
}

QString Partitioning::check() const {
    if (QString gap = _body.check(); !gap.isEmpty()) return gap;
    if (_body.size() < 2) return QStringLiteral("fewer than two boundaries");
    if (_stepBoundary < 0 || _stepBoundary > partitions())
        return QStringLiteral("step %1 outside [0, %2]").arg(_stepBoundary).arg(partitions());
    if (_stepBoundary == partitions() && _stepLength != 0)
        return QStringLiteral("step at the end still owes %1").arg(_stepLength);
    if (positionOf(0) != 0) return QStringLiteral("first boundary at %1").arg(positionOf(0));
    for (qsizetype i = 1; i <= partitions(); ++i) {
        if (positionOf(i) < positionOf(i - 1))
            return QStringLiteral("boundary %1 at %2 before boundary %3 at %4")
                .arg(i).arg(positionOf(i)).arg(i - 1).arg(positionOf(i - 1));
    }
    return {};
}
