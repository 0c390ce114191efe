// UTF-16 text kept as pieces of larger buffers: an edit costs the pieces it touches.
#pragma once

#include <QString>
#include <QtGlobal>

#include "platform/TextUnits.h"

#include <algorithm>
#include <deque>
#include <memory>
#include <span>
#include <vector>

// A copy of megabytes is mapped as a loaded file's units are (TextUnits.h), and left unfilled:
// the copy writes every unit.
struct ScratchUnitsFree {
    size_t bytes = 0;  // mapped, when not 0
    void operator()(char16_t* units) const {
        if (bytes)
            munmap(units, bytes);
        else
            delete[] units;
    }
};
using ScratchUnits = std::unique_ptr<char16_t[], ScratchUnitsFree>;
inline ScratchUnits allocateScratchUnits(qsizetype count) {
    const size_t bytes = size_t(count) * sizeof(char16_t);
    if (void* at = TextUnitsMemory::map(bytes)) return ScratchUnits(static_cast<char16_t*>(at), ScratchUnitsFree{TextUnitsMemory::mappedSize(bytes)});
    return ScratchUnits(new char16_t[size_t(count)]);
}

// The text is a list of pieces, each a stretch of a chunk. A chunk's used units never move or
// change: a loaded file's text stays where it was decoded, and inserted text is appended to the
// chunk being filled (typing one key after another grows one piece). An edit splits the pieces at
// its ends, drops those between and adds one for what it inserts, so its cost does not depend
// on where the last edit was; tiny pieces beside it are copied together, which keeps the pieces
// few. Reading a range that lies in one piece costs nothing; one over several pieces is copied
// into a scratch buffer of the text's own. A chunk goes as soon as no piece (nor a QString shared
// out of it) holds it. Not thread-safe.
class PieceText {
public:
    // Typed and pasted text is appended to chunks of chunkSize units (a larger insertion gets a
    // chunk of its own), and neighbours shorter together than chunkSize / 4 are merged.
    static constexpr qsizetype DefaultChunkSize = 64 * 1024;
    explicit PieceText(qsizetype chunkSize = DefaultChunkSize)
        : _chunkSize(std::max<qsizetype>(chunkSize, 4)), _mergeLimit(_chunkSize / 4), _wideCopy(_chunkSize * 16) {}

    qsizetype size() const { return _size; }
    qsizetype pieceCount() const { return qsizetype(_pieces.size()); }

    // The unit at i, in [0, size()): O(log pieces).
    char16_t operator[](qsizetype i) const {
        Q_ASSERT(i >= 0 && i < _size);
        const size_t k = pieceAt(i);
        return _pieces[k].data()[i - _starts[k]];
    }

    // Replaces [pos, pos + removed) by count units from items, which may lie in this text.
    void replace(qsizetype pos, qsizetype removed, const char16_t* items, qsizetype count) {
        Q_ASSERT(isRange(pos, removed) && count >= 0);
        if (removed == 0 && count == 0) return;
        // A loaded file's chunk and its room to type go with the whole text.
        if (removed == _size && _filling && qsizetype(_filling->units.size()) > _chunkSize) _filling.reset();
        // Stored first: items may point into a piece about to go, or into a scratch copy.
        const Piece added = count > 0 ? store(items, count) : Piece();
        dropScratch();
        const size_t first = splitAt(pos);
        const size_t end = splitAt(pos + removed);
        _pieces.erase(_pieces.begin() + qsizetype(first), _pieces.begin() + qsizetype(end));
        _starts.erase(_starts.begin() + qsizetype(first), _starts.begin() + qsizetype(end));
        if (count > 0) {
            _pieces.insert(_pieces.begin() + qsizetype(first), added);
            _starts.insert(_starts.begin() + qsizetype(first), pos);
        }
        _size += count - removed;
        // A loaded file's chunk keeps its room to type only while some piece still reads it.
        if (_filling && _filling.use_count() == 1 && qsizetype(_filling->units.size()) > _chunkSize) _filling.reset();
        restart(first);
        // The neighbours of the edit: joined when contiguous in one chunk, copied together
        // when tiny.
        const size_t from = first > 0 ? first - 1 : 0;
        const size_t to = std::min(_pieces.size(), first + (count > 0 ? 2 : 1));
        for (size_t k = to; k-- > from + 1;)
            if (k < _pieces.size()) mergeWithPrevious(k);
    }

    // Takes units over as one piece: its units [from, used) are the text, the ones past them
    // room for typing.
    void adopt(TextUnits&& units, qsizetype used, qsizetype from = 0) {
        Q_ASSERT(from >= 0 && used >= from && used <= qsizetype(units.size()));
        clear();
        auto chunk = std::make_shared<Chunk>();
        chunk->units = std::move(units);
        chunk->used = used;
        _filling = chunk;
        if (used > from) {
            _pieces.push_back(Piece{chunk, from, used - from});
            _starts.push_back(0);
        }
        _size = used - from;
    }
    // Takes text over as one piece, sharing its characters (a QString over raw data is copied:
    // isMutable() tells one that owns them).
    void adopt(const QString& text) {
        // Made before the pieces go: raw data may lie in them.
        auto chunk = std::make_shared<Chunk>();
        if (text.data_ptr().isMutable()) {
            chunk->text = text;
        } else {
            chunk->units.assign(text.utf16(), text.utf16() + text.size());
        }
        chunk->used = text.size();
        clear();
        if (text.isEmpty()) return;
        _pieces.push_back(Piece{chunk, 0, chunk->used});
        _starts.push_back(0);
        _size = chunk->used;
    }
    // The whole text as a QString sharing its characters: pieces of several chunks are first
    // joined into one (the old chunks go). A single piece of a chunk that is not a QString's is
    // copied: another thread may read it where it lies.
    QString string() {
        if (_size == 0) return {};
        if (_pieces.size() == 1 && !_pieces[0].chunk->text.isNull() && _pieces[0].length == _pieces[0].chunk->text.size())
            return _pieces[0].chunk->text;
        QString text(_size, Qt::Uninitialized);
        copyTo(0, _size, reinterpret_cast<char16_t*>(text.data()));
        if (_pieces.size() < 2) return text;
        ++_joins;
        adopt(text);
        return text;
    }
    void clear() {
        _pieces.clear();
        _starts.clear();
        _filling.reset();
        dropScratch();
        _spares.clear();
        _size = 0;
    }

    // [pos, pos + count) as one contiguous block: in place when one piece holds it, else a copy
    // that stays until the next change. Readers nest (a parser's view while what it calls reads
    // on), so copies are never overwritten, but a copy that holds the range serves it again: the
    // colouring, the look for places and the typing aids each read the megabytes around a key
    // on a long line. A large range is copied with the whole of the pieces it lies across, when
    // they are at most twice as long, for the next reader near it. Only once the copies hold
    // more than ScratchBudget units do the oldest go, the last ScratchKept never.
    const char16_t* rangePointer(qsizetype pos, qsizetype count) const {
        Q_ASSERT(isRange(pos, count));
        if (count == 0) return nullptr;
        const size_t k = pieceAt(pos);
        if (pos + count <= _starts[k] + _pieces[k].length) return _pieces[k].data() + (pos - _starts[k]);
        for (const Scratch& copy : _scratch)
            if (copy.pos <= pos && pos + count <= copy.pos + copy.size) return copy.units.get() + (pos - copy.pos);
        qsizetype from = pos;
        qsizetype to = pos + count;
        if (count >= _wideCopy) {
            const size_t last = pieceAt(pos + count - 1);
            const qsizetype whole = _starts[last] + _pieces[last].length - _starts[k];
            if (whole <= 2 * count) {
                from = _starts[k];
                to = from + whole;
            }
        }
        while (_scratch.size() >= ScratchKept && _scratchUnits + (to - from) > ScratchBudget) {
            _scratchUnits -= _scratch.front().size;
            _scratch.pop_front();
        }
        // The copy an edit let go serves again where it is large enough: its pages are the
        // process's already (a fresh block of megabytes is faulted in page by page, which cost
        // more than the copy). Left unfilled: the copy writes every unit.
        Scratch fresh;
        auto spare = _spares.end();
        if (to - from >= _wideCopy)
            for (auto it = _spares.begin(); it != _spares.end(); ++it)
                if (it->capacity >= to - from && (spare == _spares.end() || it->capacity < spare->capacity)) spare = it;
        if (spare != _spares.end()) {
            fresh = std::move(*spare);
            _spares.erase(spare);
        } else {
            const qsizetype capacity = to - from >= _wideCopy ? to - from + (to - from) / 16 : to - from;
            fresh.units = allocateScratchUnits(capacity);
            fresh.capacity = capacity;
        }
        fresh.pos = from;
        fresh.size = to - from;
        Scratch& copy = _scratch.emplace_back(std::move(fresh));
        _scratchUnits += to - from;
        copyTo(from, to - from, copy.units.get());
        return copy.units.get() + (pos - from);
    }

    // Copies every piece into one chunk (with room to type) when there are several: the whole
    // text then reads in place.
    void join() {
        if (_pieces.size() < 2) return;
        ++_joins;
        TextUnits units(size_t(_size + std::max<qsizetype>(_size / 16, _chunkSize)));
        copyTo(0, _size, units.data());
        adopt(std::move(units), _size);
    }

    // How many times the pieces were copied into one for a whole-text view.
    quint64 joins() const { return _joins; }

    // The end of the piece holding pos, in [0, size()): how far rangePointer() reads in place.
    qsizetype pieceEnd(qsizetype pos) const {
        Q_ASSERT(pos >= 0 && pos < _size);
        const size_t k = pieceAt(pos);
        return _starts[k] + _pieces[k].length;
    }

    // Calls f(std::span<const char16_t>) on each piece's part of [pos, pos + count), in order.
    template <typename F>
    void forEachSegment(qsizetype pos, qsizetype count, F&& f) const {
        Q_ASSERT(isRange(pos, count));
        if (count == 0) return;
        const qsizetype end = pos + count;
        for (size_t k = pieceAt(pos); k < _pieces.size() && _starts[k] < end; ++k) {
            const qsizetype from = std::max(pos, _starts[k]);
            const qsizetype to = std::min(end, _starts[k] + _pieces[k].length);
            f(std::span<const char16_t>(_pieces[k].data() + (from - _starts[k]), size_t(to - from)));
        }
    }

    void copyTo(qsizetype pos, qsizetype count, char16_t* out) const {
        forEachSegment(pos, count, [&](std::span<const char16_t> part) { out = std::copy(part.begin(), part.end(), out); });
    }

    // Units held by the chunks the text keeps: those its pieces use and the one being filled
    // (text, deleted text not yet dropped, room to type).
    qsizetype unitsHeld() const {
        std::vector<const Chunk*> seen;
        qsizetype held = 0;
        if (_filling) {
            seen.push_back(_filling.get());
            held += qsizetype(_filling->units.size());
        }
        for (const Piece& piece : _pieces) {
            if (std::find(seen.begin(), seen.end(), piece.chunk.get()) != seen.end()) continue;
            seen.push_back(piece.chunk.get());
            held += qsizetype(piece.chunk->units.size()) + piece.chunk->text.size();
        }
        return held;
    }

    // Empty when the pieces are consistent, else what is wrong.
    QString check() const {
        if (_starts.size() != _pieces.size())
            return QStringLiteral("%1 starts for %2 pieces").arg(_starts.size()).arg(_pieces.size());
        qsizetype at = 0;
        for (size_t k = 0; k < _pieces.size(); ++k) {
            const Piece& piece = _pieces[k];
            if (_starts[k] != at) return QStringLiteral("piece %1 starts at %2, not %3").arg(k).arg(_starts[k]).arg(at);
            if (piece.length <= 0 || piece.offset < 0 || piece.offset + piece.length > piece.chunk->used)
                return QStringLiteral("piece %1 is [%2, +%3) of a chunk using %4")
                    .arg(k).arg(piece.offset).arg(piece.length).arg(piece.chunk->used);
            at += piece.length;
        }
        if (at != _size) return QStringLiteral("pieces span %1 of %2 units").arg(at).arg(_size);
        return {};
    }

private:
    // Units of its own (the chunks typing fills), or a QString's, shared and never changed.
    struct Chunk {
        TextUnits units;
        QString text;
        qsizetype used = 0;
        const char16_t* data() const {
            return text.isNull() ? units.data() : reinterpret_cast<const char16_t*>(text.constData());
        }
    };
    struct Piece {
        std::shared_ptr<Chunk> chunk;
        qsizetype offset = 0;
        qsizetype length = 0;
        const char16_t* data() const { return chunk->data() + offset; }
    };
    static constexpr size_t ScratchKept = 16;
    static constexpr qsizetype ScratchBudget = qsizetype(32) << 20;

    void dropScratch() {
        // The largest copies of megabytes are kept for the next (a key on a long line makes a
        // few, of the stretches the readers around it ask for), holding no more than the text.
        for (Scratch& copy : _scratch)
            if (copy.capacity >= _wideCopy) _spares.push_back(std::move(copy));
        std::sort(_spares.begin(), _spares.end(), [](const Scratch& a, const Scratch& b) { return a.capacity > b.capacity; });
        if (_spares.size() > KeptSpares) _spares.resize(KeptSpares);
        qsizetype held = 0;
        std::erase_if(_spares, [&](const Scratch& spare) { return (held += spare.capacity) > _size + _size / 8; });
        _scratch.clear();
        _scratchUnits = 0;
    }

    bool isRange(qsizetype pos, qsizetype count) const {
        return pos >= 0 && count >= 0 && pos <= _size && count <= _size - pos;
    }

    // The piece holding i, in [0, size()).
    size_t pieceAt(qsizetype i) const {
        return size_t(std::upper_bound(_starts.begin(), _starts.end(), i) - _starts.begin()) - 1;
    }

    // Puts a copy of items in the chunk being filled (a new one when it has no room) and answers
    // the piece of it.
    Piece store(const char16_t* items, qsizetype count) {
        if (!_filling || qsizetype(_filling->units.size()) - _filling->used < count) {
            auto chunk = std::make_shared<Chunk>();
            chunk->units.resize(size_t(std::max(count, _chunkSize)));
            // A large insertion fills a chunk of its own; typing goes on in the one being filled.
            if (count >= _chunkSize && _filling) {
                std::copy(items, items + count, chunk->units.begin());
                chunk->used = count;
                return Piece{chunk, 0, count};
            }
            _filling = chunk;
        }
        std::copy(items, items + count, _filling->units.begin() + _filling->used);
        const Piece piece{_filling, _filling->used, count};
        _filling->used += count;
        return piece;
    }

    // Makes a piece start at pos, splitting the one that holds it; answers that piece's index
    // (pieceCount() at the end of the text).
    size_t splitAt(qsizetype pos) {
        if (pos >= _size) return _pieces.size();
        const size_t k = pieceAt(pos);
        const qsizetype into = pos - _starts[k];
        if (into == 0) return k;
        Piece rest = _pieces[k];
        rest.offset += into;
        rest.length -= into;
        _pieces[k].length = into;
        _pieces.insert(_pieces.begin() + qsizetype(k + 1), std::move(rest));
        _starts.insert(_starts.begin() + qsizetype(k + 1), pos);
        return k + 1;
    }

    // Starts from piece k on, from the one before it.
    void restart(size_t k) {
        qsizetype at = k > 0 ? _starts[k - 1] + _pieces[k - 1].length : 0;
        for (; k < _pieces.size(); ++k) {
            _starts[k] = at;
            at += _pieces[k].length;
        }
    }

    // Piece k joins the one before when they are contiguous in one chunk or short together.
    void mergeWithPrevious(size_t k) {
        if (k == 0 || k >= _pieces.size()) return;
        Piece& before = _pieces[k - 1];
        const Piece& piece = _pieces[k];
        if (before.chunk == piece.chunk && before.offset + before.length == piece.offset) {
            before.length += piece.length;
        } else if (before.length + piece.length <= _mergeLimit) {
            std::vector<char16_t> both(size_t(before.length + piece.length));
            std::copy(piece.data(), piece.data() + piece.length,
                      std::copy(before.data(), before.data() + before.length, both.begin()));
            before = store(both.data(), qsizetype(both.size()));
        } else {
            return;
        }
        _pieces.erase(_pieces.begin() + qsizetype(k));
        _starts.erase(_starts.begin() + qsizetype(k));
    }

    qsizetype _chunkSize;
    qsizetype _mergeLimit;
    // Reads this long are copied with the pieces they lie across, and their copies' memory kept.
    qsizetype _wideCopy;
    std::vector<Piece> _pieces;
    std::vector<qsizetype> _starts;  // where each piece begins in the text
    std::shared_ptr<Chunk> _filling;  // where inserted text goes
    qsizetype _size = 0;
    quint64 _joins = 0;
    struct Scratch {
        ScratchUnits units;
        qsizetype pos = 0;
        qsizetype size = 0;
        qsizetype capacity = 0;
    };
    mutable std::vector<Scratch> _spares;
    static constexpr size_t KeptSpares = 2;
    mutable std::deque<Scratch> _scratch;
    mutable qsizetype _scratchUnits = 0;
};
