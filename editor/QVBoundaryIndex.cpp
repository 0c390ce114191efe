// The background walk for the places where the main parser's walk may begin afresh.
#include "editor/QVBoundaryIndex.h"

#include "platform/QVTextStorage.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <span>
#include <system_error>

namespace {

bool byPosition(const QVWalkPlace& a, const QVWalkPlace& b) { return a.position < b.position; }

constexpr int EnoughAskedEvery = 4;

// Whether sorted holds place itself (the same position and the same state there).
bool holds(std::span<const QVWalkPlace> sorted, const QVWalkPlace& place) {
    for (auto it = std::lower_bound(sorted.begin(), sorted.end(), place, byPosition); it != sorted.end() && it->position == place.position; ++it)
        if (*it == place) return true;
    return false;
}

// Keeps the places a walk passes, Spacing apart at least; ends the walk at the first place at or
// past until, or at one of meet.
struct Recorder final : QVColouringSession {
    Recorder(const std::atomic<bool>* stop, std::vector<QVWalkPlace>& places, qint64 until, std::span<const QVWalkPlace> meet)
        : stop(stop), places(places), until(until), meet(meet) {
        aim(std::numeric_limits<qint64>::min());
    }
    const std::atomic<bool>* stop;
    std::vector<QVWalkPlace>& places;
    qint64 until;
    std::span<const QVWalkPlace> meet;  // sorted by position
    qint64 last = std::numeric_limits<qint64>::min() / 2;
    QVWalkPlace ended;  // the place at or past until (or where enough said so) that ended the walk
    QVWalkPlace met;    // the place of meet that ended it
    QVWalkPlace seen;   // the last place passed
    // Asked every few places past enoughFrom with how far the walk read from walkedFrom: true
    // ends the walk there.
    const std::function<bool(qint64)>* enough = nullptr;
    qint64 enoughFrom = std::numeric_limits<qint64>::max();
    qint64 walkedFrom = 0;
    int sinceAsked = 0;
    void reach(qint64) override {}
    bool boundary(qint64 position, qint64, qint64, qint64) override { return passed({position, -1, -1}); }
    bool blockPlace(const QVWalkPlace& place) override { return passed(place); }
    bool passed(const QVWalkPlace& place) {
        if (stop && stop->load(std::memory_order_relaxed)) return true;
        seen = place;
        if (holds(meet, place)) {
            met = place;
            return true;
        }
        if (place.position >= until) {
            ended = place;
            return true;
        }
        // The clock is read at one place in a few: a stretch of markup has one at every tag.
        if (enough && place.position > enoughFrom && ++sinceAsked >= EnoughAskedEvery) {
            sinceAsked = 0;
            if ((*enough)(place.position - walkedFrom)) {
                ended = place;
                return true;
            }
        }
        if (place.position - last >= QVBoundaryIndex::Spacing) {
            places.push_back(place);
            last = place.position;
        }
        aim(place.position);
        return false;
    }
    // The places inside blocks wanted next: the one to keep, the first at or past until, or one
    // of meet.
    void aim(qint64 after) {
        qint64 next = std::min(last + QVBoundaryIndex::Spacing, until);
        const auto later = std::upper_bound(meet.begin(), meet.end(), QVWalkPlace{after, -1, -1}, byPosition);
        if (later != meet.end()) next = std::min(next, later->position);
        blockPlacesFrom = next;
    }
};

}  // namespace

QVBoundaryIndex::~QVBoundaryIndex() {
    cancel();
    _storage.reset();
}

void QVBoundaryIndex::start(std::shared_ptr<QVTextStorage> storage, std::shared_ptr<const QVParser> parser, quint64 revision) {
    cancel();
    _storage = std::move(storage);
    if (!_storage || !parser || _storage->length() == 0) return;
    // The whole text in one piece: nothing moves it until a character changes.
    const QStringView text = _storage->characters(QVRange(0, _storage->length()));
    {
        const std::lock_guard lock(_textLock);
        _units = reinterpret_cast<const char16_t*>(text.utf16());
        _available = text.size();
        _complete = true;
    }
    _parser = parser.get();
    _revision = revision;
    QVTextStorage* const walked = _storage.get();
    walked->setCharacterReader([this, walked](QVRange replaced) {
        if (replaced.location == 0 && replaced.length == walked->length()) cancel();
        else finish();
    });
    launch(std::move(parser), text.size());
}

void QVBoundaryIndex::startLoading(std::shared_ptr<const QVParser> parser, qint64 expectedLength) {
    cancel();
    _storage.reset();
    if (!parser || expectedLength <= 0) return;
    _parser = parser.get();
    _revision = std::numeric_limits<quint64>::max();  // no text's until adopted()
    launch(std::move(parser), expectedLength);
}

void QVBoundaryIndex::loaded(const char16_t* units, qint64 decoded) {
    if (!_coordinator.joinable()) return;
    if (decoded < 0) {
        cancel();
        return;
    }
    {
        const std::lock_guard lock(_textLock);
        _units = units;
        _available = decoded;
    }
    _textGrew.notify_all();
}

void QVBoundaryIndex::adopted(std::shared_ptr<QVTextStorage> storage, quint64 revision) {
    if (!_coordinator.joinable() || _storage || !storage) return;
    const QStringView text = storage->characters(QVRange(0, storage->length()));
    bool same = false;
    {
        const std::lock_guard lock(_textLock);
        same = text.size() == _available && reinterpret_cast<const char16_t*>(text.utf16()) == _units;
        if (same) _complete = true;
    }
    if (!same) {
        cancel();
        return;
    }
    _textGrew.notify_all();
    _storage = std::move(storage);
    _revision = revision;
    QVTextStorage* const walked = _storage.get();
    walked->setCharacterReader([this, walked](QVRange replaced) {
        if (replaced.location == 0 && replaced.length == walked->length()) cancel();
        else finish();
    });
}

void QVBoundaryIndex::launch(std::shared_ptr<const QVParser> parser, qint64 expectedLength) {
    _stop = false;
    _walkEnded = false;
    try {
        _coordinator = std::thread([this, expectedLength, parser = std::move(parser)] { walk(parser, expectedLength); });
    } catch (const std::system_error&) {
        // No thread to be had: the language is settled by walks on the caller's thread.
        cancel();
    }
}

QStringView QVBoundaryIndex::textUntil(qint64 until, bool* complete) {
    std::unique_lock lock(_textLock);
    _textGrew.wait(lock, [&] { return _stop || _complete || (_units && _available >= until); });
    *complete = _complete;
    if (_stop) return {};
    return QStringView(_units, _available);
}

void QVBoundaryIndex::stopReading() {
    if (_coordinator.joinable()) {
        _textGrew.notify_all();
        _coordinator.join();
    }
    // The storage itself stays: this may run inside its own change.
    if (_storage) _storage->setCharacterReader({});
    const std::lock_guard lock(_textLock);
    _units = nullptr;
    _available = 0;
    _complete = false;
}

void QVBoundaryIndex::finish() {
    if (!_coordinator.joinable()) return;
    if (!_storage) {
        // Still being read: nothing to wait for yet.
        return;
    }
    stopReading();
    _places = std::move(_walked);
    _walked = {};
    _edits.clear();
}

void QVBoundaryIndex::cancel() {
    {
        const std::lock_guard lock(_textLock);
        _stop = true;
    }
    stopReading();
    _walked = {};
    _places = {};
    _edits.clear();
    _parser = nullptr;
}

void QVBoundaryIndex::walk(const std::shared_ptr<const QVParser>& parser, qint64 expectedLength) {
    const qint64 n = expectedLength;
    const int count = int(std::clamp<qint64>(n / WalkerShare, 1, MaxWalkers));
    // Each stretch walked as if a walk began at its start: its places and the first boundary at
    // or past its end (-1: none, the walk ran to the end of the text).
    struct Stretch {
        qint64 begin = 0;
        qint64 end = 0;
        std::vector<QVWalkPlace> places;
        QVWalkPlace next;
    };
    std::vector<Stretch> stretches(static_cast<size_t>(count));
    for (int k = 0; k < count; ++k) {
        stretches[size_t(k)].begin = n * k / count;
        // The last one runs to the end, wherever the text read ends.
        stretches[size_t(k)].end = k + 1 == count ? std::numeric_limits<qint64>::max() : n * (k + 1) / count;
    }
    // A walk from `from` over the text read so far; one that runs out of it while more is
    // coming goes on from the last boundary it passed once more is there.
    auto walkFrom = [&](QVWalkPlace from, std::vector<QVWalkPlace>& places, qint64 until, std::span<const QVWalkPlace> meet) {
        Recorder recorder(&_stop, places, until, meet);
        qint64 ahead = ReadAhead;
        for (;;) {
            bool complete = false;
            const QStringView text = textUntil(from.position + ahead, &complete);
            if (_stop || from.position >= text.size()) return recorder;
            const qint64 seen = recorder.seen.position;
            parser->walkBoundaries(text.mid(from.position), from.position, recorder, from);
            if (recorder.ended.position >= 0 || recorder.met.position >= 0 || _stop || complete) return recorder;
            // A construct longer than what came meanwhile: wait for more before walking it again.
            if (recorder.seen.position > std::max(from.position, seen)) from = recorder.seen;
            else ahead *= 2;
        }
    };
    auto walkStretch = [&](Stretch& stretch) {
        stretch.next = walkFrom({stretch.begin, -1, -1}, stretch.places, stretch.end, {}).ended;
    };
    std::vector<std::thread> helpers;
    for (int k = 1; k < count; ++k) {
        try {
            helpers.emplace_back([&, k] { walkStretch(stretches[size_t(k)]); });
        } catch (const std::system_error&) {
            break;  // the stretches without a walker are walked on from the one before
        }
    }
    walkStretch(stretches[0]);

    // A page that is one long block (a bundled script or style sheet) holds no place of a walk
    // begun outside it, and the walk from the top would walk every stretch alone: where the
    // first stretch ends inside a block begun long before, the stretches after it are walked
    // again, at once, from the first line in each, as inside that block. A guess that is wrong
    // (a line inside a comment, a block that ends) is met by no walk from the top, like the first.
    std::vector<Stretch> inside(static_cast<size_t>(count));
    const QVWalkPlace firstEnd = stretches[0].next;
    if (count > 1 && firstEnd.block >= 0 && stretches[1].begin - firstEnd.blockStart >= LongBlock && !_stop) {
        auto walkInside = [&](int k) {
            Stretch& stretch = inside[size_t(k)];
            bool complete = false;
            const QStringView text = textUntil(stretches[size_t(k)].begin + ReadAhead, &complete);
            const qsizetype line = text.indexOf(u'\n', stretches[size_t(k)].begin);
            if (_stop || line < 0) return;
            stretch.begin = line + 1;
            stretch.end = stretches[size_t(k)].end;
            // Inside a heredoc of megabytes, its lines far on are most likely the same heredoc's.
            const bool heredoc = firstEnd.literal == QVWalkPlace::HeredocText;
            stretch.next = walkFrom({stretch.begin, firstEnd.blockStart, firstEnd.block, heredoc ? firstEnd.literal : -1, heredoc ? firstEnd.label : QString()},
                                    stretch.places, stretch.end, {}).ended;
        };
        for (int k = 2; k < count; ++k) {
            try {
                helpers.emplace_back(walkInside, k);
            } catch (const std::system_error&) {
                break;  // those without a walker are walked on from the one before, as before
            }
        }
        walkInside(1);
    }
    for (std::thread& helper : helpers) helper.join();

    // The walk from the top goes on past each stretch's start until it meets one of the
    // stretch's own walks; where it never does, its own places stand for the stretch's.
    std::vector<QVWalkPlace> places = std::move(stretches[0].places);
    QVWalkPlace next = stretches[0].next;
    qint64 walkedAlone = 0;
    for (int k = 1; k < count && next.position >= 0 && !_stop; ++k) {
        const Stretch& stretch = stretches[size_t(k)];
        const Stretch& guessed = inside[size_t(k)];
        std::vector<QVWalkPlace> either;
        std::merge(stretch.places.begin(), stretch.places.end(), guessed.places.begin(), guessed.places.end(), std::back_inserter(either), byPosition);
        places.push_back(next);
        QVWalkPlace met = holds(either, next) ? next : QVWalkPlace();
        if (met.position < 0) {
            const Recorder recorder = walkFrom(next, places, stretch.end, either);
            walkedAlone += std::max<qint64>(0, recorder.seen.position - next.position);
            met = recorder.met;
            next = recorder.ended;
            if (met.position >= 0) places.push_back(met);
        }
        if (met.position >= 0) {
            // From the place met on, the walk from the top is the walk that found it.
            const Stretch& walked = holds(stretch.places, met) ? stretch : guessed;
            places.insert(places.end(), std::upper_bound(walked.places.begin(), walked.places.end(), met, byPosition), walked.places.end());
            next = walked.next;
        }
    }
    if (!_stop) {
        _walked = std::move(places);
        _walkedAlone = walkedAlone;
    }
    _walkEnded.store(true, std::memory_order_release);
}

bool QVBoundaryIndex::ready() {
    if (_coordinator.joinable()) {
        if (!_storage || !_walkEnded.load(std::memory_order_acquire)) return false;
        finish();
    }
    return !_places.empty();
}

QVWalkPlace QVBoundaryIndex::certainPlaceBefore(qint64 index) const {
    const auto after = std::upper_bound(_places.begin(), _places.end(), QVWalkPlace{std::min(index, certainUpTo()), -1, -1}, byPosition);
    return after == _places.begin() ? QVWalkPlace() : *std::prev(after);
}

void QVBoundaryIndex::edited(qint64 location, qint64 oldLength, qint64 newLength) {
    if (_places.empty()) return;
    const qint64 oldEnd = location + oldLength;
    const qint64 delta = newLength - oldLength;
    // In place, from the first place after the edit: a key costs the places after it a shift
    // each, not a copy of every place of the text.
    const auto first = std::upper_bound(_places.begin(), _places.end(), QVWalkPlace{location, -1, -1}, byPosition);
    const auto gone = std::lower_bound(first, _places.end(), QVWalkPlace{oldEnd, -1, -1}, byPosition);
    const auto after = _places.erase(first, gone);
    for (auto place = after; place != _places.end(); ++place) {
        // Carried unconfirmed: a walk through the edit meets it again only from the same
        // block's start (or the same comment's or tag's "<").
        const qint64 blockStart = place->blockStart >= oldEnd ? place->blockStart + delta : std::min(place->blockStart, location);
        place->position += delta;
        place->blockStart = place->block >= 0 || place->literal >= 0 ? blockStart : -1;
    }
    for (qint64& edit : _edits) {
        if (edit >= oldEnd) edit += delta;
        else if (edit > location) edit = location;
    }
    _edits.push_back(location);
    std::sort(_edits.begin(), _edits.end());
    _edits.erase(std::unique(_edits.begin(), _edits.end()), _edits.end());
    // An edit with no place after it leaves every place certain (typing past the last one).
    while (!_edits.empty() && (_places.empty() || _edits.back() - EditReach >= _places.back().position)) _edits.pop_back();
}

QVWalkPlace QVBoundaryIndex::placeBefore(qint64 index, const QVTextStorage& text, const QVParser& parser, quint64* walked, qint64 readUpTo,
                                         const std::function<bool(qint64)>& enough) {
    if (walked) *walked = 0;
    finish();
    auto lastAtOrBefore = [&](qint64 at) -> QVWalkPlace {
        const auto after = std::upper_bound(_places.begin(), _places.end(), QVWalkPlace{at, -1, -1}, byPosition);
        return after == _places.begin() ? QVWalkPlace() : *std::prev(after);
    };
    // Edits one after another (pastes, a script's edits) each leave the places after them
    // unconfirmed: every one before index is walked past before a place after it is answered.
    while (!_places.empty() && index > certainUpTo()) {
        // Past an edit: the walk from the last certain place meets a place carried past it again
        // (the walks are one from there on, up to the next edit), or reaches index first.
        QVWalkPlace from = lastAtOrBefore(certainUpTo());
        if (from.position < 0) from = {0, -1, -1};
        const qint64 until = std::min(text.length(), index + 1);
        std::vector<QVWalkPlace> found;
        // Only a place past the edit: the walk from one before it would read the edited text.
        const auto carried = std::upper_bound(_places.begin(), _places.end(), QVWalkPlace{_edits.front(), -1, -1}, byPosition);
        const qint64 limit = readUpTo < 0 ? text.length() : std::clamp(readUpTo, from.position, text.length());
        // What lies in one piece is read in place; past it, a window at a time, as a view across
        // the text's pieces is a copy and the walk nearly always ends a few places on. One that
        // runs out of its window goes on from the last place it passed when that lies in the
        // window's second half; else over a window sixteen times larger (or the rest, when
        // little more is left).
        Recorder recorder(nullptr, found, until, std::span<const QVWalkPlace>(carried, _places.end()));
        if (enough) {
            recorder.enough = &enough;
            recorder.enoughFrom = _edits.front();
            recorder.walkedFrom = from.position;
        }
        QVWalkPlace at = from;
        qint64 window = WalkWindow;
        qint64 end = limit;
        for (;;) {
            end = std::min(limit, std::max(at.position + window, text.contiguousEnd(at.position)));
            const qint64 seen = recorder.seen.position;
            const qint64 stopped = parser.walkBoundaries(text.characters(QVRange(at.position, end - at.position)), at.position, recorder, at);
            if (walked) *walked += quint64(stopped - at.position);
            if (end >= limit || recorder.met.position >= 0 || (recorder.ended.position >= 0 && recorder.ended.position < end)) break;
            recorder.ended = QVWalkPlace();  // the window's end, not the text's
            if (recorder.seen.position > std::max(at.position + (end - at.position) / 2, seen)) at = recorder.seen;
            else window = limit - at.position <= 32 * window ? limit - at.position : 16 * window;
        }
        // Out of what it may read before it passed a place (a literal or comment that runs on):
        // nothing learnt.
        if (end < text.length() && recorder.met.position < 0 && recorder.ended.position < 0) return lastAtOrBefore(std::min(index, certainUpTo()));
        // What the walk found replaces what stood between where it began and where it ended,
        // which is a place of the walk from the top too (unless it is the end of the text).
        const bool toTheEnd = recorder.met.position < 0 && recorder.ended.position < 0;
        const QVWalkPlace reached = recorder.met.position >= 0 ? recorder.met : toTheEnd ? QVWalkPlace{text.length(), -1, -1} : recorder.ended;
        std::vector<QVWalkPlace> places(_places.begin(), std::upper_bound(_places.begin(), _places.end(), from, byPosition));
        places.insert(places.end(), found.begin(), found.end());
        if (!toTheEnd) places.push_back(reached);
        places.insert(places.end(), std::upper_bound(_places.begin(), _places.end(), reached, byPosition), _places.end());
        _places = std::move(places);
        if (toTheEnd) {
            _edits.clear();
            break;
        }
        // Met: the places carried past are certain again up to the next edit. Not met: as far
        // as the walk went.
        std::erase_if(_edits, [&](qint64 edit) { return edit < reached.position; });
        if (recorder.met.position < 0) {
            // It passed index: every place up to it is the walk's own.
            _edits.push_back(reached.position + EditReach);
            std::sort(_edits.begin(), _edits.end());
            break;
        }
    }
    return lastAtOrBefore(index);
}
