// Runs of one attribute's value over a text: maximal stretches of equal values.
#pragma once

#include "platform/PartitionBlocks.h"
#include "platform/QVRange.h"

#include <QString>
#include <QVariant>

#include <algorithm>
#include <array>
#include <deque>
#include <memory>
#include <span>
#include <unordered_map>
#include <vector>

extern template class PartitionBlocks<quint16, quint16>;
extern template class PartitionBlocks<quint32, quint16>;

// The blocks of a run array's runs. A run's start in its block takes 16 bits: runs are short, and
// a block ends where a start would lie 64K characters or more past its base. Its value's number
// takes 16 bits too while the array has numbers up to narrowNumbers (colours, a page's parsers),
// and 32 from the first number beyond (a hidden region each of a huge file's folds).
class RunBlocks {
public:
    using Narrow = PartitionBlocks<quint16, quint16>;
    using Wide = PartitionBlocks<quint32, quint16>;
    using Extent = Wide::Extent;
    static constexpr qsizetype DefaultBlockSize = Wide::DefaultBlockSize;
    static constexpr quint32 MostNarrowNumbers = 0xFFFF;

    // A narrowNumbers below the most is for tests.
    explicit RunBlocks(qsizetype blockSize, quint32 narrowNumbers = MostNarrowNumbers)
        : _narrow(blockSize), _narrowNumbers(std::min(narrowNumbers, MostNarrowNumbers)) {}

    qint64 length() const { return _wide ? _wide->length() : _narrow.length(); }
    qsizetype partitions() const { return _wide ? _wide->partitions() : _narrow.partitions(); }
    qsizetype partitionOf(qint64 pos) const { return _wide ? _wide->partitionOf(pos) : _narrow.partitionOf(pos); }
    Extent extentAt(qint64 pos) const { return _wide ? _wide->extentAt(pos) : wide(_narrow.extentAt(pos)); }
    Extent extentOf(qsizetype p) const { return _wide ? _wide->extentOf(p) : wide(_narrow.extentOf(p)); }
    quint32 valueOf(qsizetype p) const { return _wide ? _wide->valueOf(p) : _narrow.valueOf(p); }
    quint32 valueAt(qint64 pos, Extent* extent = nullptr) const {
        if (_wide) return _wide->valueAt(pos, extent);
        Narrow::Extent narrow;
        const quint16 value = _narrow.valueAt(pos, extent ? &narrow : nullptr);
        if (extent) *extent = wide(narrow);
        return value;
    }
    void setValueOf(qsizetype p, quint32 value) {
        if (_wide) _wide->setValueOf(p, value);
        else _narrow.setValueOf(p, quint16(value));
    }
    void insertBoundary(qsizetype i, qint64 pos, quint32 value) {
        if (_wide) _wide->insertBoundary(i, pos, value);
        else _narrow.insertBoundary(i, pos, quint16(value));
    }
    // The k-th new partition takes numbers[ids[k]].
    void insertBoundaries(qsizetype i, std::span<const qint64> positions, const std::vector<quint32>& numbers, const quint32* ids);
    void removeBoundaries(qsizetype first, qsizetype count) {
        if (_wide) _wide->removeBoundaries(first, count);
        else _narrow.removeBoundaries(first, count);
    }
    void grow(qsizetype p, qint64 delta) {
        if (_wide) _wide->grow(p, delta);
        else _narrow.grow(p, delta);
    }
    void clear() {
        _wide.reset();
        _narrow.clear();
    }
    QString check() const { return _wide ? _wide->check() : _narrow.check(); }
    qsizetype bytesHeld() const { return _narrow.bytesHeld() + (_wide ? _wide->bytesHeld() : 0); }
    bool isWide() const { return bool(_wide); }
    quint32 narrowNumbers() const { return _narrowNumbers; }

    // Called with each new number before a run holds it: past the narrow numbers, the runs
    // move to the wide form.
    void admit(quint32 number) {
        if (number > _narrowNumbers && !_wide) widen();
    }

private:
    static Extent wide(const Narrow::Extent& e) { return Extent{e.index, e.start, e.end}; }
    void widen();

    Narrow _narrow;
    std::unique_ptr<Wide> _wide;
    quint32 _narrowNumbers;
};

// Run r covers runRange(r) and holds runValue(r); an invalid QVariant means "no value". Runs
// cover [0, length()) without gaps, none is empty (except the single run of an empty text),
// and two neighbours never hold the same value, so the run at an index is always the longest
// stretch of its value. Values are equal when they have the same type and compare equal.
//
// The runs sit in blocks (see PartitionBlocks), so that an edit or a change of value costs the
// same anywhere in a text of millions of runs. A run holds the number of its value, not the
// value: each distinct value is kept once, with the count of runs that hold it (equal values
// always get the same number), so a run costs four bytes (its start in its block and its number,
// see RunBlocks) rather than forty, which is most of what a coloured file holds beside its characters. A value no run holds any more is let go at
// once (an attachment's hidden text with it) and its number reused.
//
// Values set one after the other along the text (a highlighter colouring a file from its start)
// are gathered as runs of their own first and put into the blocks together when anything reads
// the runs, edits the text or calls settle(): each value set so costs a few appends instead of
// two cuts and two joins in a block. Reading settles the runs: a thread that reads while another
// sets values must hold a lock anyway, and readers of a settled array only read.
class RunArray {
public:
    explicit RunArray(qsizetype blockSize = RunBlocks::DefaultBlockSize, quint32 narrowNumbers = RunBlocks::MostNarrowNumbers);

    qint64 length() const { return _runs.length(); }
    qsizetype runCount() const {
        settle();
        return _runs.partitions();
    }

    // The run holding index (clamped to the text).
    qsizetype runAt(qint64 index) const {
        settle();
        return _runs.partitionOf(index);
    }
    QVRange runRange(qsizetype run) const {
        settle();
        const auto extent = _runs.extentOf(run);
        return QVRange(extent.start, extent.end - extent.start);
    }
    const QVariant& runValue(qsizetype run) const {
        settle();
        return valueOf(_runs.valueOf(run));
    }

    // The value at index (which must lie in [0, length())) and the run around it.
    const QVariant& valueAt(qint64 index, QVRange* run = nullptr) const;

    // Gives range (inside [0, length())) the value; an invalid value removes it.
    void setValue(QVRange range, const QVariant& value);

    // Follows a text edit: [location, location + removed) replaced by `inserted` characters.
    // The new characters take the value of the first replaced character, or with nothing
    // replaced, of the character before (of the first character at the text's start); with
    // inherit false they take no value.
    void replace(qint64 location, qint64 removed, qint64 inserted, bool inherit = true);

    // Puts the values set since the last read into the blocks.
    void settle() const {
        if (!_pending.starts.empty()) const_cast<RunArray*>(this)->applyPending();
    }

    // The stretch over which values changed since the last call (settling first), and forgets
    // it; empty when none did. Setting a value a stretch already holds changes nothing; a long
    // stretch set at once counts as changed whole rather than compared run by run.
    QVRange takeChanges();

    // The memory the runs hold (settled), without the distinct values themselves.
    qsizetype bytesHeld() const {
        settle();
        return _runs.bytesHeld();
    }

    // True when no character has a value.
    bool isEmpty() const { return runCount() == 1 && _runs.valueOf(0) == 0; }

    void clear() {
        _pending = Pending();
        _runs.clear();
        _values.assign(1, QVariant());
        _uses.assign(1, 0);
        _freeNumbers.clear();
        _byPointer.clear();
    }

    static bool sameValue(const QVariant& a, const QVariant& b) {
        return a.metaType() == b.metaType() && (!a.isValid() || a == b);
    }

    // Empty when the runs are consistent, else what is wrong.
    QString check() const;

private:
    // Runs that replace [starts.front(), end) once applied: run i from starts[i] to the next
    // start (or end) with value distinct[ids[i]], neighbours with different values. A pass sets
    // the same few values over and over: they are kept once each, and runs name them by number.
    struct Pending {
        std::vector<qint64> starts;
        std::vector<quint32> ids;
        QList<QVariant> distinct;  // no two the same
        qint64 end = 0;
        // The numbers of the values last passed in, by where the caller held them: a value held
        // in place (not shared) whose bytes are unchanged at the same address is the same value,
        // which spares comparing it with each of distinct.
        struct Seen {
            const QVariant* address = nullptr;
            alignas(QVariant) unsigned char bytes[sizeof(QVariant)];
            quint32 id = 0;
        };
        std::array<Seen, 32> seen{};
    };
    // The number of value in pending.distinct, added when new; -1 when there are too many.
    qint64 pendingId(const QVariant& value);
    // Sets the value over range in the pending runs; false when range does not start inside
    // them or soon after their end, or would cut off more than a few of them.
    bool setPending(QVRange range, const QVariant& value);
    void appendPending(qint64 start, quint32 id);
    void applyPending();
    void setValueNow(QVRange range, const QVariant& value, bool note = true);

    qsizetype splitAt(qint64 pos);
    void insertEmptyRun(qsizetype run, qint64 pos, quint32 value);
    void removeRuns(qsizetype first, qsizetype count);
    void mergeAt(qsizetype boundary);

    // Where pending would give [from, to) other values than it has now: the stretch in which
    // they differ, or an empty range.
    QVRange pendingDifference(const Pending& pending) const;
    void noteChange(QVRange range);

    // The number of value (0: no value), made when new; a new number has no uses yet.
    quint32 numberOf(const QVariant& value);
    const QVariant& valueOf(quint32 number) const { return _values[number]; }
    void use(quint32 number) {
        if (number) ++_uses[number];
    }
    void unuse(quint32 number) {
        if (number && --_uses[number] == 0) release(number);
    }
    void release(quint32 number);
    // The block operations, counting the uses of the numbers they put in or take out.
    void insertRun(qsizetype i, qint64 pos, quint32 number);
    void removeRunsAt(qsizetype first, qsizetype count);
    void setRunNumber(qsizetype run, quint32 number);

    RunBlocks _runs;
    std::deque<QVariant> _values{QVariant()};  // by number; stays put as it grows
    std::vector<quint64> _uses{0};              // runs holding each number
    std::vector<quint32> _freeNumbers;
    // Values held through a shared pointer (parsers, attachments), by the object they point to:
    // found at once however many there are. Others are few and looked for one by one.
    std::unordered_map<quintptr, quint32> _byPointer;
    Pending _pending;
    qint64 _changedFrom = 0;
    qint64 _changedTo = 0;  // _changedFrom == _changedTo: nothing changed
};
