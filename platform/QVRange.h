// A range of characters (UTF-16 units) or bytes: Qorvel's ranges are location and length.
#pragma once

#include <QtGlobal>
#include <limits>

struct QVRange {
    static constexpr qint64 NotFound = std::numeric_limits<qint64>::max();

    qint64 location = NotFound;
    qint64 length = 0;

    constexpr QVRange() = default;
    constexpr QVRange(qint64 loc, qint64 len) : location(loc), length(len) {}

    constexpr bool isNotFound() const { return location == NotFound; }
    constexpr qint64 end() const { return location + length; }
    constexpr bool contains(qint64 index) const { return index >= location && index < end(); }
    constexpr bool operator==(const QVRange&) const = default;

    // The overlap of two ranges; a not-found range when they do not meet.
    constexpr QVRange intersection(QVRange other) const {
        const qint64 b = location > other.location ? location : other.location;
        const qint64 e = end() < other.end() ? end() : other.end();
        return e < b ? QVRange() : QVRange(b, e - b);
    }
    // The smallest range that covers both.
    constexpr QVRange united(QVRange other) const {
        const qint64 b = location < other.location ? location : other.location;
        const qint64 e = end() > other.end() ? end() : other.end();
        return QVRange(b, e - b);
    }
};
