// Places in a large text where the main parser's walk may begin afresh, found in the background
// as soon as the text is set, so that the language at any place costs a short walk from the
// nearest one before it instead of a walk over everything not coloured yet.
#pragma once

#include "languages/QVParser.h"

#include <QStringView>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class QVTextStorage;

// The places are places of the main parser's walk from the top of the text (QVWalkPlace): its
// boundaries between embedded blocks, and lines inside a block that its scan may begin again at,
// so that a page that is mostly one script or style sheet has places all through it too. The
// walk begun at one goes on exactly as the walk that reached it. The
// background walk splits the text into stretches walked at once, each from its
// own start as if a walk began there; the walk of the stretch before it then goes on until it
// meets one of that stretch's places, from which the two walks are one (where they never meet,
// the stretch's places are those of the walk from before). Edits keep the places before them
// and carry those after them along unconfirmed, until a walk from before the edit meets one of
// them again.
class QVBoundaryIndex {
public:
    QVBoundaryIndex() = default;
    QVBoundaryIndex(const QVBoundaryIndex&) = delete;
    QVBoundaryIndex& operator=(const QVBoundaryIndex&) = delete;
    ~QVBoundaryIndex();

    // Starts finding the places of storage's whole text, whose characters are at revision (the
    // caller's count), with parser's walk, on threads of its own; forgets the places it had.
    // Until the walk ends, the storage is kept and its first change waits for the walk (a change
    // of the whole text stops it instead).
    void start(std::shared_ptr<QVTextStorage> storage, std::shared_ptr<const QVParser> parser, quint64 revision);
    // Starts the walk over a text of about expectedLength characters still being read: loaded()
    // hands it what has been read so far, and adopted() the storage that takes the text over.
    void startLoading(std::shared_ptr<const QVParser> parser, qint64 expectedLength);
    // The first decoded units of the text being read are at units (they stay there, and the text
    // only grows, until adopted()); a negative count stops the walk: the units go away.
    void loaded(const char16_t* units, qint64 decoded);
    // The text being read is complete: storage's characters, at revision, are those very units
    // (else the walk stops).
    void adopted(std::shared_ptr<QVTextStorage> storage, quint64 revision);
    // Whether the places are (being) found for the text at revision with parser.
    bool covers(quint64 revision, const QVParser* parser) const {
        return _parser && _parser == parser && _revision == revision;
    }
    // Waits for the walk started last, if any, to end.
    void finish();
    // Stops the walk, if any, and forgets every place.
    void cancel();
    bool walking() const { return _coordinator.joinable(); }
    // Whether places are known without waiting: the walk of a text wholly set or read has
    // ended (it is then taken over, as finish() does) and found some.
    bool ready();
    // The last place at or before index known without a walk (-1: none): what placeBefore()
    // begins from at the latest.
    QVWalkPlace certainPlaceBefore(qint64 index) const;

    // The characters of [location, location + oldLength) were replaced by newLength others.
    void edited(qint64 location, qint64 oldLength, qint64 newLength);
    // The last place at or before index that the walk from the top certainly passes (position
    // -1: none known); places carried past edits before index are confirmed first, past every
    // one of them, by walks over text on the calling thread, each from the last certain place
    // before the first edit left as far as index at most. walked receives how many characters
    // those walks read. readUpTo, when not -1, is as far as they may read: a walk that gets
    // there before it passes a place leaves the places after it unconfirmed. enough, when given,
    // is asked now and then, with how far a walk has read, at places past the first edit: true
    // ends the walks there, the places up to it certain (what comes back is then short of index).
    QVWalkPlace placeBefore(qint64 index, const QVTextStorage& text, const QVParser& parser, quint64* walked, qint64 readUpTo = -1,
                            const std::function<bool(qint64 read)>& enough = {});

    // Places at most this far apart.
    static constexpr qint64 Spacing = 16 * 1024;
    // How far before an edit a place may stop being one: the walk decides where a block ends
    // by reading its end string, which begins at the place after the block.
    static constexpr qint64 EditReach = 256;
    // Texts from this length on are walked in stretches of at least WalkerShare, up to
    // MaxWalkers of them (whatever the processors: the stretches must not depend on the machine).
    static constexpr qint64 WalkerShare = qint64(4) << 20;
    static constexpr int MaxWalkers = 6;
    // A block open over a stretch's start that began this far before it is taken to run on
    // through the stretches after it too, which are then walked again as inside it.
    static constexpr qint64 LongBlock = 4 * Spacing;
    // For tests: the places known (sorted), and how far they are certain.
    const std::vector<QVWalkPlace>& places() const { return _places; }
    qint64 certainUpTo() const { return _edits.empty() ? std::numeric_limits<qint64>::max() : _edits.front() - EditReach; }
    // For tests: how far the last walk from the top went on past the first stretch alone, before
    // it met the walk of a stretch.
    qint64 walkedAlone() const { return _walkedAlone; }

    // While the text is still being read, a walk that runs out of it waits for this much more.
    static constexpr qint64 ReadAhead = qint64(1) << 20;
    // What a walk over edited text reads first (see placeBefore()).
    static constexpr qint64 WalkWindow = qint64(1) << 18;

private:
    void launch(std::shared_ptr<const QVParser> parser, qint64 expectedLength);
    void walk(const std::shared_ptr<const QVParser>& parser, qint64 expectedLength);
    void stopReading();
    // The text as far as it is read once at least until characters are (or all of it is, or the
    // walk is stopped: null units); complete tells whether that is all of it.
    QStringView textUntil(qint64 until, bool* complete);

    // The storage walked last: its characters stay where the walk reads them while it is kept,
    // even when the view has let it go.
    std::shared_ptr<QVTextStorage> _storage;
    std::thread _coordinator;
    std::atomic<bool> _stop{false};
    std::atomic<bool> _walkEnded{false};
    const QVParser* _parser = nullptr;
    quint64 _revision = 0;
    // The text the walk reads, as far as it is read.
    std::mutex _textLock;
    std::condition_variable _textGrew;
    const char16_t* _units = nullptr;
    qint64 _available = 0;
    bool _complete = false;
    std::vector<QVWalkPlace> _walked;  // the background walk's places, taken over by finish()
    qint64 _walkedAlone = 0;
    // Sorted by position; those past certainUpTo() were carried past an edit.
    std::vector<QVWalkPlace> _places;
    // Where the edits since the walk that found the places were made, sorted (current positions).
    std::vector<qint64> _edits;
};
