// Ordered boundaries cutting [0, length) into partitions, kept in blocks, with an optional value each.
#pragma once

#include <QList>
#include <QString>
#include <QtGlobal>

#include <algorithm>
#include <atomic>
#include <limits>
#include <memory>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

// Partition p covers [positionOf(p), positionOf(p + 1)); boundary 0 is always 0 and the last
// boundary, positionOf(partitions()), is the total length. There is always one partition. With a
// Value other than void, every partition carries a value that goes where the partition goes.
//
// The partitions sit in blocks of at most blockSize. A block keeps the starts of its partitions
// relative to its base (the start of its first partition), and knows the index of its first
// partition; lookups are a binary search over the blocks, then one within a block. An edit changes
// one block, O(blockSize), and then owes its change in length and in count to every later block.
// That debt is not paid at once: the blocks after a "step" block are owed a pending amount, which
// is added when they are read and paid out when an edit moves the step to another block. So edits
// in one block cost O(blockSize) each, and an edit anywhere at most O(blockSize + blocks) - there
// is no cost that grows with the distance between edits beyond one pass over the block list.
// Blocks split when they overflow and merge with a neighbour when they run low, so the number of
// blocks stays within a small multiple of partitions() / blockSize.
//
// A block keeps its starts as Offsets from its base (32 bits, or 16 where partitions are short),
// which halves what a line start costs and takes a third or a half off a run of colour: no start
// lies more than spanLimit (at most the Offset's largest value) past its block's base. Where an
// edit would place one further, the block is cut there, so a partition longer than the limit
// ends its block: a block holds fewer partitions only where they are long.
template <typename Value, typename OffsetType = quint32>
class PartitionBlocks {
public:
    static constexpr bool HasValues = !std::is_void_v<Value>;
    // The value type, or a placeholder that is never stored when there are no values.
    using V = std::conditional_t<HasValues, Value, char>;

    // The extent of one partition.
    struct Extent {
        qsizetype index = 0;
        qint64 start = 0;
        qint64 end = 0;
    };

    // Typing and colouring at one place of a large text measured best at 256: within a block an
    // edit moves and adjusts the partitions after it, so 512 and more cost more per keystroke,
    // while 128 makes a jump across millions of partitions walk too many blocks.
    static constexpr qsizetype DefaultBlockSize = 256;
    // A start as a block keeps it: relative to the block's base.
    using Offset = OffsetType;
    static_assert(std::is_unsigned_v<Offset> && sizeof(Offset) <= 4);
    static constexpr qint64 MaxSpan = std::numeric_limits<Offset>::max();

    // A spanLimit below MaxSpan is for tests, which reach the cuts without billions of characters.
    explicit PartitionBlocks(qsizetype blockSize = DefaultBlockSize, qint64 spanLimit = MaxSpan)
        : _blockSize(std::max<qsizetype>(blockSize, 2)), _spanLimit(std::clamp<qint64>(spanLimit, 1, MaxSpan)) {
        clear();
    }
    PartitionBlocks(PartitionBlocks&&) noexcept = default;
    PartitionBlocks& operator=(PartitionBlocks&&) noexcept = default;

    qsizetype partitions() const { return _count; }
    qint64 length() const { return _length; }
    qsizetype blockSize() const { return _blockSize; }
    qsizetype blockCount() const { return qsizetype(_blocks.size()); }

    // Position of boundary i, i in [0, partitions()].
    qint64 positionOf(qsizetype i) const {
        Q_ASSERT(i >= 0 && i <= _count);
        if (i >= _count) return _length;
        const qsizetype b = blockOfPartition(i);
        return baseOf(b) + blockAt(b).starts[size_t(i - firstOf(b))];
    }

    // The last partition whose start is at or before pos (0 for negative positions, the last
    // partition for positions at or past the end). Among empty partitions, the last one.
    qsizetype partitionOf(qint64 pos) const {
        const Place place = placeOf(pos);
        return firstOf(place.block) + place.offset;
    }

    // The partition partitionOf(pos) names, with its extent.
    Extent extentAt(qint64 pos) const { return extentOf(placeOf(pos)); }
    // The extent of partition p, p in [0, partitions()).
    Extent extentOf(qsizetype p) const {
        Q_ASSERT(p >= 0 && p < _count);
        const qsizetype b = blockOfPartition(p);
        return extentOf(Place{b, p - firstOf(b)});
    }

    // The value of partition p, p in [0, partitions()).
    const V& valueOf(qsizetype p) const requires HasValues {
        Q_ASSERT(p >= 0 && p < _count);
        const qsizetype b = blockOfPartition(p);
        return blockAt(b).values[p - firstOf(b)];
    }
    // The value of the partition at pos (as partitionOf) and, when asked, its extent.
    const V& valueAt(qint64 pos, Extent* extent = nullptr) const requires HasValues {
        const Place place = placeOf(pos);
        if (extent) *extent = extentOf(place);
        return blockAt(place.block).values[place.offset];
    }
    void setValueOf(qsizetype p, V value) requires HasValues {
        Q_ASSERT(p >= 0 && p < _count);
        const qsizetype b = blockOfPartition(p);
        blockAt(b).values[p - firstOf(b)] = std::move(value);
    }

    // Inserts a boundary at index i, i in [1, partitions()], at pos, which must lie between the
    // positions of boundaries i - 1 and i: the partition i - 1 is cut in two at pos, and the new
    // partition i takes the value.
    void insertBoundary(qsizetype i, qint64 pos) requires (!HasValues) { insertAt(i, pos, nullptr); }
    void insertBoundary(qsizetype i, qint64 pos, const V& value) requires HasValues { insertAt(i, pos, &value); }

    // Inserts boundaries at indexes i, i + 1, ... at positions (non-decreasing, between those of
    // boundaries i - 1 and i): many at once cost O(count + blockSize + blocks), not that per one.
    void insertBoundaries(qsizetype i, std::span<const qint64> positions) requires (!HasValues) {
        insertMany(i, positions, [](size_t) -> const V* { return nullptr; });
    }
    // The same with a value for each new partition: valueOf(k) answers the k-th one.
    template <typename ValueOf>
    void insertBoundaries(qsizetype i, std::span<const qint64> positions, const ValueOf& valueOf) requires HasValues {
        insertMany(i, positions, [&](size_t k) -> const V* { return &valueOf(k); });
    }

    // Removes boundaries [first, first + count), all in [1, partitions() - 1], with their
    // partitions: the partition before first absorbs the removed ones.
    void removeBoundaries(qsizetype first, qsizetype count);

    // Moves every boundary after partition p by delta: partition p grows (or shrinks, when
    // delta is negative, by no more than its own length).
    void grow(qsizetype p, qint64 delta) {
        if (delta == 0 || p < 0 || p >= _count) return;
        Q_ASSERT(delta > 0 || positionOf(p + 1) - positionOf(p) >= -delta);
        const qsizetype b = blockOfPartition(p);
        moveStep(b);
        std::vector<Offset>& starts = blockAt(b).starts;
        const qsizetype next = p - firstOf(b) + 1;  // the first start that moves
        if (next < qsizetype(starts.size()) && qint64(starts.back()) + delta > _spanLimit) {
            // The partitions after p would lie too far from the base: they become a block of
            // their own, moved with the blocks after it.
            cutBlock(b, next);
            owe(b, delta, 0);
            mergeIfSmall(b + 1);
            mergeIfSmall(b);
            return;
        }
        // Through plain pointers, which the compiler turns into vector additions; the sum wraps
        // modulo 2^32 and lands on the new start, which lies within the limit.
        const Offset d = Offset(delta);
        Offset* const end = starts.data() + starts.size();
        for (Offset* s = starts.data() + next; s < end; ++s) *s = Offset(*s + d);
        owe(b, delta, 0);
        // A low block kept apart from a low neighbour by the span limit may join it now.
        if (delta < 0 && qsizetype(starts.size()) < _blockSize / 4) mergeIfSmall(b);
    }

    // Back to one empty partition (with a default value).
    void clear();

    // The memory the blocks hold, with their unused room (not the allocator's own overhead).
    qsizetype bytesHeld() const {
        size_t bytes = _blocks.capacity() * sizeof(void*) + _bases.capacity() * sizeof(qint64) +
                       _firsts.capacity() * sizeof(qsizetype) + _blocks.size() * sizeof(Block);
        for (const auto& block : _blocks) {
            bytes += block->starts.capacity() * sizeof(Offset);
            if constexpr (HasValues) bytes += size_t(block->values.capacity()) * sizeof(V);
        }
        return qsizetype(bytes);
    }

    // Empty when the blocks, their bases and counts, the pending step and the boundaries (which
    // start at 0 and never decrease) are consistent; otherwise what is wrong.
    QString check() const;

private:
    struct NoValues {};
    struct Block {
        std::vector<Offset> starts;  // relative to the block's base; starts[0] is 0
        [[no_unique_address]] std::conditional_t<HasValues, QList<V>, NoValues> values;
    };
    // A partition as a block and an offset in it.
    struct Place {
        qsizetype block;
        qsizetype offset;
    };

    Block& blockAt(qsizetype b) { return *_blocks[size_t(b)]; }
    const Block& blockAt(qsizetype b) const { return *_blocks[size_t(b)]; }
    qsizetype lastBlock() const { return qsizetype(_blocks.size()) - 1; }
    qint64 baseOf(qsizetype b) const { return _bases[size_t(b)] + (b > _step ? _stepLength : 0); }
    qsizetype firstOf(qsizetype b) const { return _firsts[size_t(b)] + (b > _step ? _stepCount : 0); }
    qsizetype sizeOf(qsizetype b) const { return qsizetype(blockAt(b).starts.size()); }

    // The last block whose stored key, plus what it is owed, is at or below key. The first
    // block's key (0) must be at or below key.
    template <typename T>
    qsizetype lastBlockAtOrBelow(const std::vector<T>& keys, T owed, T key) const {
        const auto settledEnd = keys.begin() + (_step + 1);
        auto it = std::upper_bound(settledEnd, keys.end(), key - owed);
        if (it == settledEnd) it = std::upper_bound(keys.begin(), settledEnd, key);
        return qsizetype(it - keys.begin()) - 1;
    }
    // Lookups start with the block of the last one, since work tends to stay in one place.
    qsizetype blockOfPartition(qsizetype p) const {
        p = std::max<qsizetype>(p, 0);
        const qsizetype hint = _hint.get();
        if (hint <= lastBlock() && firstOf(hint) <= p && p < firstOf(hint) + sizeOf(hint)) return hint;
        return _hint.set(lastBlockAtOrBelow(_firsts, _stepCount, p));
    }
    qsizetype blockOfPosition(qint64 pos) const {
        const qsizetype hint = _hint.get();
        if (hint <= lastBlock() && baseOf(hint) <= pos && (hint == lastBlock() || pos < baseOf(hint + 1))) return hint;
        return _hint.set(lastBlockAtOrBelow(_bases, _stepLength, pos));
    }

    Place placeOf(qint64 pos) const {
        if (pos < 0) return Place{0, 0};
        const qsizetype b = blockOfPosition(pos);
        const std::vector<Offset>& starts = blockAt(b).starts;
        // Past the last start (possibly beyond 32 bits) the position is in the block's last partition.
        const qint64 offset = pos - baseOf(b);
        if (offset >= qint64(starts.back())) return Place{b, qsizetype(starts.size()) - 1};
        const qsizetype j = qsizetype(std::upper_bound(starts.begin(), starts.end(), Offset(offset)) - starts.begin()) - 1;
        return Place{b, j};
    }

    Extent extentOf(Place place) const {
        const std::vector<Offset>& starts = blockAt(place.block).starts;
        const qint64 base = baseOf(place.block);
        Extent extent;
        extent.index = firstOf(place.block) + place.offset;
        extent.start = base + starts[size_t(place.offset)];
        if (size_t(place.offset) + 1 < starts.size()) extent.end = base + starts[size_t(place.offset) + 1];
        else if (place.block < lastBlock()) extent.end = baseOf(place.block + 1);
        else extent.end = _length;
        return extent;
    }

    // Makes block b the step block: the blocks after it are the ones owed the pending amount.
    void moveStep(qsizetype b) {
        if (b == _step) return;
        const qsizetype last = lastBlock();
        if (_stepLength != 0 || _stepCount != 0) {
            if (b > _step) {
                pay(_step + 1, b + 1, _stepLength, _stepCount);
            } else if (_step - b <= last - _step) {
                pay(b + 1, _step + 1, -_stepLength, -_stepCount);
            } else {
                // Settling the tail is cheaper than walking the step back.
                pay(_step + 1, last + 1, _stepLength, _stepCount);
                _stepLength = 0;
                _stepCount = 0;
            }
        }
        _step = b;
        if (_step == last) {
            _stepLength = 0;
            _stepCount = 0;
        }
    }
    void pay(qsizetype from, qsizetype to, qint64 length, qsizetype count) {
        for (qsizetype b = from; b < to; ++b) {
            _bases[size_t(b)] += length;
            _firsts[size_t(b)] += count;
        }
    }
    // Every block holds its own figures: nothing is pending.
    void settle() { moveStep(lastBlock()); }
    // Records that block b, the step block, grew by length and count.
    void owe(qsizetype b, qint64 length, qsizetype count) {
        if (b < lastBlock()) {
            _stepLength += length;
            _stepCount += count;
        }
        _length += length;
        _count += count;
    }

    // Room for count partitions in block, growing by doubling up to one more than a full block,
    // so that a block never holds much more memory than it can use.
    void reserveFor(Block& block, qsizetype count) const {
        auto room = [&](qsizetype capacity) {
            return std::max(count, std::min<qsizetype>(_blockSize + 1, std::max<qsizetype>(2 * capacity, 8)));
        };
        if (qsizetype(block.starts.capacity()) < count) block.starts.reserve(size_t(room(qsizetype(block.starts.capacity()))));
        if constexpr (HasValues) {
            if (block.values.capacity() < count) block.values.reserve(room(block.values.capacity()));
        }
    }

    void insertAt(qsizetype i, qint64 pos, const V* value);
    template <typename ValueOf>
    void insertMany(qsizetype i, std::span<const qint64> positions, const ValueOf& valueOf);
    void splitBlock(qsizetype b, qsizetype inserted);
    // Moves block b's partitions from index cut on into a new block after it.
    void cutBlock(qsizetype b, qsizetype cut);
    // Whether blocks a and a + 1 fit in one block of at most `size` partitions.
    bool canJoin(qsizetype a, qsizetype size) const {
        return sizeOf(a) + sizeOf(a + 1) <= size && baseOf(a + 1) - baseOf(a) + qint64(blockAt(a + 1).starts.back()) <= _spanLimit;
    }
    void mergeIfSmall(qsizetype b);
    void rebase(qsizetype b);

    qsizetype _blockSize;
    qint64 _spanLimit;
    // Blocks are held by pointer, so that adding or dropping one moves pointers, not blocks.
    std::vector<std::unique_ptr<Block>> _blocks;
    std::vector<qint64> _bases;     // start of each block's first partition, less what is owed
    std::vector<qsizetype> _firsts;  // index of each block's first partition, less what is owed
    qsizetype _step = 0;             // blocks after this one are owed _stepLength and _stepCount
    qint64 _stepLength = 0;
    qsizetype _stepCount = 0;
    qint64 _length = 0;
    qsizetype _count = 1;
    // The block of the last lookup, always checked before use. Readers on several threads may
    // overwrite each other's, which only costs them a search.
    struct Hint {
        mutable std::atomic<qsizetype> block{0};
        Hint() = default;
        Hint(const Hint&) noexcept {}
        Hint& operator=(const Hint&) noexcept { return *this; }
        qsizetype get() const { return block.load(std::memory_order_relaxed); }
        qsizetype set(qsizetype b) const {
            block.store(b, std::memory_order_relaxed);
            return b;
        }
    };
    Hint _hint;
};

template <typename Value, typename OffsetType>
void PartitionBlocks<Value, OffsetType>::clear() {
    _blocks.clear();
    _blocks.push_back(std::make_unique<Block>());
    blockAt(0).starts.push_back(0);
    if constexpr (HasValues) blockAt(0).values.push_back(V());
    _bases.assign(1, 0);
    _firsts.assign(1, 0);
    _step = 0;
    _stepLength = 0;
    _stepCount = 0;
    _length = 0;
    _count = 1;
}

template <typename Value, typename OffsetType>
void PartitionBlocks<Value, OffsetType>::insertAt(qsizetype i, qint64 pos, const V* value) {
    Q_ASSERT(i >= 1 && i <= _count);
    Q_ASSERT(positionOf(i - 1) <= pos && pos <= positionOf(i));
    // The new partition goes right after partition i - 1, in its block.
    const qsizetype b = blockOfPartition(i - 1);
    moveStep(b);
    Block& block = blockAt(b);
    const qsizetype j = i - firstOf(b);
    if (pos - baseOf(b) > _spanLimit) {
        // Only past the block's last start (the others lie within the limit): the new partition
        // begins a block of its own, after the step, so stored less what is owed.
        Q_ASSERT(j == sizeOf(b));
        owe(b, 0, 1);
        auto made = std::make_unique<Block>();
        made->starts.push_back(0);
        if constexpr (HasValues) made->values.push_back(*value);
        _blocks.insert(_blocks.begin() + (b + 1), std::move(made));
        _bases.insert(_bases.begin() + (b + 1), pos - _stepLength);
        _firsts.insert(_firsts.begin() + (b + 1), i - _stepCount);
        mergeIfSmall(b + 1);
        return;
    }
    reserveFor(block, sizeOf(b) + 1);
    block.starts.insert(block.starts.begin() + j, Offset(pos - baseOf(b)));
    if constexpr (HasValues) block.values.insert(j, *value);
    owe(b, 0, 1);
    if (sizeOf(b) > _blockSize) splitBlock(b, j);
}

// Cuts the overflowing block b in two. After an insertion at the very end (appending, as loading
// does) the new block takes only the last partition, which leaves full blocks behind.
template <typename Value, typename OffsetType>
void PartitionBlocks<Value, OffsetType>::splitBlock(qsizetype b, qsizetype inserted) {
    const qsizetype size = sizeOf(b);
    cutBlock(b, inserted == size - 1 && b == lastBlock() ? size - 1 : size / 2);
}

template <typename Value, typename OffsetType>
void PartitionBlocks<Value, OffsetType>::cutBlock(qsizetype b, qsizetype cut) {
    moveStep(b);
    const qsizetype size = sizeOf(b);
    auto made = std::make_unique<Block>();
    Block& tail = *made;
    reserveFor(tail, _blockSize + 1);
    Block& block = blockAt(b);
    const Offset shift = block.starts[size_t(cut)];
    for (qsizetype j = cut; j < size; ++j) tail.starts.push_back(Offset(block.starts[size_t(j)] - shift));
    block.starts.resize(size_t(cut));
    if constexpr (HasValues) {
        tail.values.append(block.values.mid(cut));
        block.values.resize(cut);
    }
    // The new block comes after the step, so it is stored less what is owed.
    const qint64 base = baseOf(b) + shift - _stepLength;
    const qsizetype first = firstOf(b) + cut - _stepCount;
    _blocks.insert(_blocks.begin() + (b + 1), std::move(made));
    _bases.insert(_bases.begin() + (b + 1), base);
    _firsts.insert(_firsts.begin() + (b + 1), first);
}

// Makes the start of block b's first partition its base again.
template <typename Value, typename OffsetType>
void PartitionBlocks<Value, OffsetType>::rebase(qsizetype b) {
    std::vector<Offset>& starts = blockAt(b).starts;
    const Offset shift = starts.empty() ? 0 : starts[0];
    if (shift == 0) return;
    for (Offset& s : starts) s = Offset(s - shift);
    _bases[size_t(b)] += shift;
}

// Joins block b with a neighbour when it has run low and both fit in three quarters of a
// block, which leaves room before the next split; a block still low after that takes in its
// other neighbour too. So two low blocks are never neighbours (unless together they would span
// more than the limit), which bounds the block count.
template <typename Value, typename OffsetType>
void PartitionBlocks<Value, OffsetType>::mergeIfSmall(qsizetype b) {
    const qsizetype low = std::max<qsizetype>(_blockSize / 4, 1);
    const qsizetype limit = _blockSize * 3 / 4;
    while (b >= 0 && b <= lastBlock() && sizeOf(b) < low) {
        qsizetype into = -1;
        if (b > 0 && canJoin(b - 1, limit)) into = b - 1;
        if (b < lastBlock() && canJoin(b, limit) && (into < 0 || sizeOf(b + 1) < sizeOf(into))) into = b;
        if (into < 0) return;
        // With the step on the block that takes the other in, the blocks after the pair go on
        // being owed what they were.
        moveStep(into);
        const qsizetype from = into + 1;
        Block& target = blockAt(into);
        Block& source = blockAt(from);
        const Offset shift = Offset(baseOf(from) - baseOf(into));
        reserveFor(target, qsizetype(target.starts.size() + source.starts.size()));
        for (Offset s : source.starts) target.starts.push_back(Offset(s + shift));
        if constexpr (HasValues) target.values.append(std::move(source.values));
        _blocks.erase(_blocks.begin() + from);
        _bases.erase(_bases.begin() + from);
        _firsts.erase(_firsts.begin() + from);
        if (into == lastBlock()) {
            _stepLength = 0;
            _stepCount = 0;
        }
        b = into;
    }
}

template <typename Value, typename OffsetType>
void PartitionBlocks<Value, OffsetType>::removeBoundaries(qsizetype first, qsizetype count) {
    if (count <= 0) return;
    Q_ASSERT(first >= 1 && first + count <= _count);
    const qsizetype b0 = blockOfPartition(first);
    const qsizetype b1 = blockOfPartition(first + count - 1);
    if (b0 == b1 && count < sizeOf(b0)) {
        // Inside one block that keeps partitions: the usual case, paid through the step.
        moveStep(b0);
        Block& block = blockAt(b0);
        const qsizetype j = first - firstOf(b0);
        block.starts.erase(block.starts.begin() + j, block.starts.begin() + (j + count));
        if constexpr (HasValues) block.values.remove(j, count);
        if (j == 0) rebase(b0);
        owe(b0, 0, -count);
        mergeIfSmall(b0);
        return;
    }
    // Across blocks: cut the ends and drop the blocks in between. With the step on the first
    // block, the blocks after the cut stay owed what they were, less the partitions removed.
    moveStep(b0);
    const qint64 owedLength = _stepLength;
    const qsizetype owedCount = _stepCount;
    const qsizetype j0 = first - firstOf(b0);
    const qsizetype j1 = first + count - firstOf(b1);  // one past the last removed in b1
    Block& head = blockAt(b0);
    if (b0 == b1) {
        head.starts.erase(head.starts.begin() + j0, head.starts.begin() + j1);
        if constexpr (HasValues) head.values.remove(j0, j1 - j0);
    } else {
        head.starts.resize(size_t(j0));
        if constexpr (HasValues) head.values.resize(j0);
        Block& tail = blockAt(b1);
        tail.starts.erase(tail.starts.begin(), tail.starts.begin() + j1);
        if constexpr (HasValues) tail.values.remove(0, j1);
        rebase(b1);
    }
    if (j0 == 0) rebase(b0);
    const bool headKept = !head.starts.empty();
    const bool tailKept = b1 > b0 && !blockAt(b1).starts.empty();
    const qsizetype keepFrom = b0 + (headKept ? 1 : 0);
    const qsizetype keepTo = tailKept ? b1 : b1 + 1;
    if (keepTo > keepFrom) {
        _blocks.erase(_blocks.begin() + keepFrom, _blocks.begin() + keepTo);
        _bases.erase(_bases.begin() + keepFrom, _bases.begin() + keepTo);
        _firsts.erase(_firsts.begin() + keepFrom, _firsts.begin() + keepTo);
    }
    _count -= count;
    // A dropped first block is never block 0, which always keeps partition 0.
    _step = headKept ? b0 : b0 - 1;
    if (_step == lastBlock()) {
        _stepLength = 0;
        _stepCount = 0;
    } else {
        _stepLength = owedLength;
        _stepCount = owedCount - count;
        // The cut tail now begins with partition `first`.
        if (tailKept) _firsts[size_t(_step) + 1] = first - _stepCount;
    }
    // The blocks on both sides of the cut may have run low.
    const qsizetype around = std::min(keepFrom, lastBlock());
    mergeIfSmall(around);
    if (around > 0) mergeIfSmall(around - 1);
}

template <typename Value, typename OffsetType>
template <typename ValueOf>
void PartitionBlocks<Value, OffsetType>::insertMany(qsizetype i, std::span<const qint64> positions, const ValueOf& valueOf) {
    if (positions.empty()) return;
    Q_ASSERT(i >= 1 && i <= _count);
    Q_ASSERT(positionOf(i - 1) <= positions.front() && positions.back() <= positionOf(i));
    Q_ASSERT(std::is_sorted(positions.begin(), positions.end()));
    if (positions.size() < 4) {
        for (size_t k = 0; k < positions.size(); ++k) insertAt(i + qsizetype(k), positions[k], valueOf(k));
        return;
    }
    // Block b takes them and, when they overflow it, new blocks after it do; the blocks after
    // those are owed the new count through the step, so nothing else is touched.
    const qsizetype b = blockOfPartition(i - 1);
    moveStep(b);
    const qsizetype j = i - firstOf(b);  // at least 1: partition i - 1 is in block b
    const qsizetype firstIndex = firstOf(b);
    const qsizetype added = qsizetype(positions.size());
    if (sizeOf(b) + added <= _blockSize && positions.back() - baseOf(b) <= _spanLimit) {
        // They fit: in place, moving the block's later partitions once.
        Block& block = blockAt(b);
        const qint64 base = baseOf(b);
        block.starts.insert(block.starts.begin() + j, size_t(added), Offset(0));
        for (qsizetype k = 0; k < added; ++k) block.starts[size_t(j + k)] = Offset(positions[size_t(k)] - base);
        if constexpr (HasValues) {
            block.values.insert(j, added, V());
            for (qsizetype k = 0; k < added; ++k) block.values[j + k] = *valueOf(size_t(k));
        }
        owe(b, 0, added);
        return;
    }
    // The block's starts around the new ones, as absolute positions, cut into even blocks filled
    // to at most seven eighths, so that a few insertions later do not split them at once.
    Block& block = blockAt(b);
    const std::vector<Offset>& old = block.starts;
    const qint64 base = baseOf(b);
    std::vector<qint64> all;
    all.reserve(old.size() + positions.size());
    for (qsizetype k = 0; k < j; ++k) all.push_back(base + old[size_t(k)]);
    all.insert(all.end(), positions.begin(), positions.end());
    for (size_t k = size_t(j); k < old.size(); ++k) all.push_back(base + old[k]);
    QList<V> allValues;
    if constexpr (HasValues) {
        // The values in the same order: the old block's before j, the new ones, the rest.
        allValues.reserve(qsizetype(all.size()));
        for (qsizetype k = 0; k < j; ++k) allValues.append(std::move(block.values[k]));
        for (size_t k = 0; k < positions.size(); ++k) allValues.append(*valueOf(k));
        for (qsizetype k = j; k < block.values.size(); ++k) allValues.append(std::move(block.values[k]));
    }
    owe(b, 0, added);
    const qsizetype fill = std::max<qsizetype>(_blockSize - _blockSize / 8, 1);
    const qsizetype total = qsizetype(all.size());
    qsizetype pieces = total <= _blockSize ? 1 : (total + fill - 1) / fill;
    // Where each piece begins in `all`, and total: even pieces, unless one would span more than
    // the limit; then each piece ends at the fill or before the first start beyond the limit.
    std::vector<qsizetype> cuts;
    bool even = true;
    for (qsizetype p = 0; p <= pieces; ++p) {
        cuts.push_back(total * p / pieces);
        if (p > 0 && all[size_t(cuts[size_t(p)] - 1)] - all[size_t(cuts[size_t(p) - 1])] > _spanLimit) even = false;
    }
    if (!even) {
        cuts.assign(1, 0);
        for (qsizetype k = 1; k < total; ++k) {
            if (k - cuts.back() >= fill || all[size_t(k)] - all[size_t(cuts.back())] > _spanLimit) cuts.push_back(k);
        }
        cuts.push_back(total);
        pieces = qsizetype(cuts.size()) - 1;
    }
    std::vector<std::unique_ptr<Block>> blocks(static_cast<size_t>(pieces - 1));
    std::vector<qint64> bases(static_cast<size_t>(pieces - 1));
    std::vector<qsizetype> firsts(static_cast<size_t>(pieces - 1));
    for (qsizetype p = pieces - 1; p >= 0; --p) {
        const qsizetype from = cuts[size_t(p)];
        const qsizetype to = cuts[size_t(p) + 1];
        Block* target = &block;
        if (p > 0) {
            blocks[size_t(p - 1)] = std::make_unique<Block>();
            target = blocks[size_t(p - 1)].get();
            // After the step: stored less what is owed.
            bases[size_t(p - 1)] = all[size_t(from)] - _stepLength;
            firsts[size_t(p - 1)] = firstIndex + from - _stepCount;
        }
        std::vector<Offset> starts;
        starts.reserve(size_t(to - from));
        for (qsizetype k = from; k < to; ++k) starts.push_back(Offset(all[size_t(k)] - all[size_t(from)]));
        target->starts = std::move(starts);
        reserveFor(*target, to - from);
        if constexpr (HasValues) {
            QList<V> values;
            values.reserve(to - from);
            for (qsizetype k = from; k < to; ++k) values.append(std::move(allValues[k]));
            target->values = std::move(values);
        }
    }
    if (pieces > 1) {
        _blocks.insert(_blocks.begin() + (b + 1), std::make_move_iterator(blocks.begin()), std::make_move_iterator(blocks.end()));
        _bases.insert(_bases.begin() + (b + 1), bases.begin(), bases.end());
        _firsts.insert(_firsts.begin() + (b + 1), firsts.begin(), firsts.end());
    }
    if (!even) {
        // Pieces cut short by the limit cannot join each other, but the last and the first may
        // join the blocks beside them.
        mergeIfSmall(b + pieces - 1);
        mergeIfSmall(b);
    }
}

template <typename Value, typename OffsetType>
QString PartitionBlocks<Value, OffsetType>::check() const {
    if (_blocks.empty()) return QStringLiteral("no blocks");
    if (_bases.size() != _blocks.size() || _firsts.size() != _blocks.size())
        return QStringLiteral("%1 blocks, %2 bases, %3 first indexes").arg(_blocks.size()).arg(_bases.size()).arg(_firsts.size());
    if (_step < 0 || _step > lastBlock()) return QStringLiteral("step %1 outside [0, %2]").arg(_step).arg(lastBlock());
    if (_step == lastBlock() && (_stepLength != 0 || _stepCount != 0))
        return QStringLiteral("step at the last block still owes %1 and %2").arg(_stepLength).arg(_stepCount);
    if (baseOf(0) != 0 || firstOf(0) != 0) return QStringLiteral("first block at %1, index %2").arg(baseOf(0)).arg(firstOf(0));
    qsizetype count = 0;
    qint64 previous = 0;
    for (qsizetype b = 0; b <= lastBlock(); ++b) {
        const Block& block = blockAt(b);
        if (block.starts.empty()) return QStringLiteral("block %1 is empty").arg(b);
        if (sizeOf(b) > _blockSize) return QStringLiteral("block %1 holds %2 of at most %3").arg(b).arg(sizeOf(b)).arg(_blockSize);
        if constexpr (HasValues) {
            if (block.values.size() != sizeOf(b))
                return QStringLiteral("block %1 has %2 values for %3 partitions").arg(b).arg(block.values.size()).arg(sizeOf(b));
        }
        if (block.starts[0] != 0) return QStringLiteral("block %1 starts %2 from its base").arg(b).arg(block.starts[0]);
        if (qint64(block.starts.back()) > _spanLimit)
            return QStringLiteral("block %1 reaches %2 past its base, beyond %3").arg(b).arg(block.starts.back()).arg(_spanLimit);
        if (firstOf(b) != count) return QStringLiteral("block %1 begins at index %2, not %3").arg(b).arg(firstOf(b)).arg(count);
        for (qsizetype j = 0; j < sizeOf(b); ++j) {
            const qint64 at = baseOf(b) + block.starts[size_t(j)];
            if (at < previous)
                return QStringLiteral("boundary %1 at %2 before the one before at %3").arg(count + j).arg(at).arg(previous);
            previous = at;
        }
        count += sizeOf(b);
    }
    if (count != _count) return QStringLiteral("%1 partitions counted, %2 recorded").arg(count).arg(_count);
    if (_length < previous) return QStringLiteral("length %1 before the last boundary at %2").arg(_length).arg(previous);
    // A block may run low only between neighbours that are not.
    const qsizetype low = std::max<qsizetype>(_blockSize / 4, 1);
    for (qsizetype b = 1; b <= lastBlock(); ++b) {
        if (sizeOf(b - 1) < low && sizeOf(b) < low && canJoin(b - 1, _blockSize))
            return QStringLiteral("blocks %1 and %2 hold %3 and %4, both under %5")
                .arg(b - 1).arg(b).arg(sizeOf(b - 1)).arg(sizeOf(b)).arg(low);
    }
    return {};
}
