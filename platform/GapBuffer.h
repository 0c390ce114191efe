// A vector with a movable gap: inserts and erases near the last edit cost what they touch.
#pragma once

#include <QString>
#include <QtGlobal>

#include <algorithm>
#include <functional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

// Elements live in one array with a hole (the gap) at the last edit point. Editing at a position
// moves the gap there first, so a run of edits at one place moves nothing but the edited
// elements; only growing past the gap's capacity reallocates (amortised: the new gap is a
// sixteenth of the contents). Not thread-safe.
template <typename T>
class GapBuffer {
public:
    GapBuffer() = default;

    qsizetype size() const { return qsizetype(_body.size()) - _gapLength; }
    bool isEmpty() const { return size() == 0; }

    // Element access; the index must lie in [0, size()).
    const T& operator[](qsizetype i) const {
        Q_ASSERT(i >= 0 && i < size());
        return i < _gapStart ? _body[i] : _body[i + _gapLength];
    }
    T& operator[](qsizetype i) {
        Q_ASSERT(i >= 0 && i < size());
        return i < _gapStart ? _body[i] : _body[i + _gapLength];
    }

    // Positions and ranges given to the edits and views below lie inside [0, size()].
    void insert(qsizetype pos, const T* items, qsizetype count) {
        if (count <= 0) return;
        Q_ASSERT(pos >= 0 && pos <= size());
        makeGapAt(pos, count);
        std::copy(items, items + count, _body.begin() + pos);
        _gapStart += count;
        _gapLength -= count;
    }
    void insert(qsizetype pos, qsizetype count, const T& value) {
        if (count <= 0) return;
        Q_ASSERT(pos >= 0 && pos <= size());
        makeGapAt(pos, count);
        std::fill(_body.begin() + pos, _body.begin() + pos + count, value);
        _gapStart += count;
        _gapLength -= count;
    }
    void insert(qsizetype pos, const T& value) { insert(pos, 1, value); }

    // Removes [pos, pos + count). Removed elements are reset so that they release what they hold.
    void erase(qsizetype pos, qsizetype count) {
        if (count <= 0) return;
        Q_ASSERT(isRange(pos, count));
        moveGap(pos);
        const auto from = _body.begin() + _gapStart + _gapLength;
        if constexpr (!std::is_trivially_destructible_v<T>) std::fill(from, from + count, T());
        _gapLength += count;
    }

    // Takes body over as it is: its first `used` elements are the contents, the rest the gap.
    void adopt(std::vector<T>&& body, qsizetype used) {
        Q_ASSERT(used >= 0 && used <= qsizetype(body.size()));
        _body = std::move(body);
        _gapStart = used;
        _gapLength = qsizetype(_body.size()) - used;
    }
    void clear() {
        _body.clear();
        _body.shrink_to_fit();
        _gapStart = 0;
        _gapLength = 0;
    }

    // [pos, pos + count) as one contiguous block. Moves the gap out of the range when it splits
    // it (costing at most count moves), which invalidates earlier pointers and segments.
    T* rangePointer(qsizetype pos, qsizetype count) {
        Q_ASSERT(isRange(pos, count));
        if (pos < _gapStart && pos + count > _gapStart) {
            // Move the gap to whichever end of the range needs fewer moves.
            if (_gapStart - pos < pos + count - _gapStart) moveGap(pos);
            else moveGap(pos + count);
        }
        if (count == 0) return _body.data();
        return pos < _gapStart ? _body.data() + pos : _body.data() + pos + _gapLength;
    }

    // [pos, pos + count) as at most two contiguous parts (before and after the gap), without
    // moving anything. The second part is empty when the gap does not split the range.
    std::pair<std::span<const T>, std::span<const T>> segments(qsizetype pos, qsizetype count) const {
        Q_ASSERT(isRange(pos, count));
        const T* base = _body.data();
        if (pos + count <= _gapStart) return {std::span<const T>(base + pos, size_t(count)), {}};
        if (pos >= _gapStart) return {std::span<const T>(base + pos + _gapLength, size_t(count)), {}};
        const qsizetype first = _gapStart - pos;
        return {std::span<const T>(base + pos, size_t(first)),
                std::span<const T>(base + _gapStart + _gapLength, size_t(count - first))};
    }

    void copyTo(qsizetype pos, qsizetype count, T* out) const {
        const auto [a, b] = segments(pos, count);
        out = std::copy(a.begin(), a.end(), out);
        std::copy(b.begin(), b.end(), out);
    }

    // Calls f(element&) on every element of [pos, pos + count), in order.
    template <typename F>
    void forEach(qsizetype pos, qsizetype count, F f) {
        for (qsizetype i = pos; i < pos + count && i < _gapStart; ++i) f(_body[i]);
        for (qsizetype i = std::max(pos, _gapStart); i < pos + count; ++i) f(_body[i + _gapLength]);
    }

    // Whether p points into this buffer's storage (a source that an edit could move).
    bool holds(const T* p) const {
        return !_body.empty() && std::less_equal<const T*>()(_body.data(), p) &&
               std::less<const T*>()(p, _body.data() + _body.size());
    }

    qsizetype gapPosition() const { return _gapStart; }
    qsizetype capacity() const { return qsizetype(_body.size()); }

    // Empty when the layout is consistent, else what is wrong.
    QString check() const {
        if (_gapStart < 0 || _gapLength < 0 || _gapStart + _gapLength > qsizetype(_body.size()))
            return QStringLiteral("gap [%1, +%2) outside a body of %3")
                .arg(_gapStart).arg(_gapLength).arg(_body.size());
        return {};
    }

private:
    bool isRange(qsizetype pos, qsizetype count) const {
        return pos >= 0 && count >= 0 && pos <= size() && count <= size() - pos;
    }

    void moveGap(qsizetype pos) {
        if (pos == _gapStart) return;
        const auto b = _body.begin();
        if (pos < _gapStart) {
            std::move_backward(b + pos, b + _gapStart, b + _gapStart + _gapLength);
        } else {
            std::move(b + _gapStart + _gapLength, b + pos + _gapLength, b + _gapStart);
        }
        _gapStart = pos;
    }

    // Moves the gap to pos with room for at least count elements.
    void makeGapAt(qsizetype pos, qsizetype count) {
        if (_gapLength >= count) {
            moveGap(pos);
            return;
        }
        const qsizetype used = size();
        const qsizetype newGap = count + std::max<qsizetype>(used / 16, 16);
        std::vector<T> body(size_t(used + newGap));
        const auto b = _body.begin();
        const auto after = b + _gapStart + _gapLength;
        if (pos <= _gapStart) {
            std::move(b, b + pos, body.begin());
            auto out = std::move(b + pos, b + _gapStart, body.begin() + pos + newGap);
            std::move(after, _body.end(), out);
        } else {
            auto out = std::move(b, b + _gapStart, body.begin());
            out = std::move(after, after + (pos - _gapStart), out);
            std::move(after + (pos - _gapStart), _body.end(), out + newGap);
        }
        _body = std::move(body);
        _gapStart = pos;
        _gapLength = newGap;
    }

    std::vector<T> _body;
    qsizetype _gapStart = 0;
    qsizetype _gapLength = 0;
};
