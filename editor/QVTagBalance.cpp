// The element Close Tag closes, from the stretches' sums.
#include "editor/QVTagBalance.h"

#include "languages/QVWordCache.h"

#include <algorithm>
#include <system_error>
#include <thread>

namespace {

// The kinds of the tag names met, each looked up in the table once; one per thread.
class Kinds {
public:
    explicit Kinds(const QVariantMap& table) : _table(table) {}
    qint64 operator()(QStringView name) {
        if (const qint64* known = _cache.find(name)) return *known;
        const qint64 value = _table.value(name.toString().toLower(), 0).toLongLong();
        _cache.insert(name, value);
        return value;
    }

private:
    const QVariantMap& _table;
    QVWordCache<qint64> _cache{4096};
};

// The tag [lt, gt] of text (from offset on): +1 closing, -1 opening, 0 neither (void or self-closed elements, a "<" with
// no name); name, the element's name. A tag whose ">" lies past the text's end (FarEnd) has a
// "/" before it as far says.
int tagChange(QStringView text, qint64 offset, qint64 lt, qint64 gt, Kinds& kinds, QStringView* name, const QVTagBalance::FarEnd& far = QVTagBalance::NearEnd) {
    const bool beyond = gt - offset > text.size();
    const QStringView tag = text.mid(lt - offset + 1, std::min<qint64>(gt, offset + text.size()) - lt - 1);
    const bool closing = tag.startsWith(u'/');
    const qsizetype at = closing ? 1 : 0;
    qsizetype end = at;
    while (end < tag.size() && tag.at(end).isLetterOrNumber()) ++end;
    *name = tag.mid(at, end - at);
    if ((beyond ? far.slash : tag.endsWith(u'/')) || name->isEmpty()) return 0;
    const qint64 kind = kinds(*name);
    if (kind == -1 || kind == 1) return 0;
    return closing ? 1 : -1;
}

// Calls f(lt, gt) for each tag whose "<" lies in [from, to), in order, text holding the
// characters from offset on; answers how far what was read reaches: the first "<" at or past to
// (the end of text when none), or to itself when no "<" lies in [from, to), whose tags then
// depend on nothing past it (a long run without tags keeps its stretches through edits after
// them, and summing them reads no further). quiet, when given: just past the last tag's ">" (or
// its "<"), None without a "<".
template <typename F>
qint64 forEachTag(QStringView text, qint64 offset, qint64 from, qint64 to, F&& f, qint64* quiet = nullptr, const QVTagBalance::FarEnd& far = QVTagBalance::NearEnd) {
    if (quiet) *quiet = QVTagBalance::None;
    qint64 lt = text.left(std::min<qint64>(text.size(), to - offset)).indexOf(u'<', from - offset);
    if (lt < 0) return std::min<qint64>(to, text.size() + offset);
    while (lt >= 0 && lt + offset < to) {
        const qint64 next = text.indexOf(u'<', lt + 1);
        const qint64 end = next < 0 ? text.size() : next;
        // The text's last tag may end past it, where far says.
        const qint64 gt = next < 0 && far.gt != QVTagBalance::None ? far.gt - offset - lt - 1 : text.mid(lt + 1, end - lt - 1).lastIndexOf(u'>');
        if (gt >= 0) f(lt + offset, lt + 1 + gt + offset);
        if (quiet) *quiet = (gt >= 0 ? lt + 1 + gt + 1 : lt + 1) + offset;
        lt = next;
    }
    return (lt < 0 ? text.size() : lt) + offset;
}

QVTagBalance::Span sum(QStringView text, qint64 offset, qint64 begin, qint64 end, Kinds& kinds, const QVTagBalance::FarEnd& far = QVTagBalance::NearEnd) {
    QVTagBalance::Span span{begin, end, end, 0, QVTagBalance::None};
    // Read forwards; the walk back meets the tags in the other order, so the count before an
    // opening tag is the whole change less the change up to and with it.
    qint64 highest = std::numeric_limits<qint64>::min();
    span.reach = forEachTag(
        text, offset, begin, end,
        [&](qint64 lt, qint64 gt) {
            QStringView name;
            const int change = tagChange(text, offset, lt, gt, kinds, &name, far);
            span.change += change;
            if (change < 0) highest = std::max(highest, span.change);
        },
        &span.quiet, far);
    if (highest != std::numeric_limits<qint64>::min()) span.lowest = span.change - highest;
    if (span.quiet == QVTagBalance::None) {
        const qsizetype gt = text.mid(begin - offset, end - begin).lastIndexOf(u'>');
        if (gt >= 0) span.gt = begin + gt;
    }
    return span;
}

// The walk back over the tags whose "<" lies in [from, to) with depth closed elements to pass:
// true, with the element's name, when one of them opens the element looked for.
bool walkBack(QStringView text, qint64 offset, qint64 from, qint64 to, Kinds& kinds, qint64& depth, QString* found) {
    struct Tag {
        qint64 lt;
        qint64 gt;
    };
    std::vector<Tag> tags;
    forEachTag(text, offset, from, to, [&](qint64 lt, qint64 gt) { tags.push_back({lt, gt}); });
    for (auto tag = tags.rbegin(); tag != tags.rend(); ++tag) {
        QStringView name;
        const int change = tagChange(text, offset, tag->lt, tag->gt, kinds, &name);
        if (change < 0 && depth == 0) {
            *found = name.toString();
            return true;
        }
        depth += change;
    }
    return false;
}

// How much text is summed from one view: a text in pieces is copied to be read as one.
constexpr qint64 FillWindow = qint64(4) << 20;

}  // namespace

QStringView QVTagBalance::reaching(const Reader& read, qint64 from, qint64 to, qint64 limit) {
    if (const QStringView text = read(from, to); text.indexOf(u'<') < 0) return text;
    for (qint64 ahead = 4096;; ahead *= 16) {
        const qint64 end = std::min(limit, to + ahead);
        const QStringView text = read(from, end);
        if (end == limit || text.indexOf(u'<', to - from) >= 0) return text;
    }
}

QStringView QVTagBalance::readingTags(const Reader& read, qint64 from, qint64 to, qint64 limit, qint64* reach) const {
    *reach = None;
    const QStringView text = read(from, to);
    const qsizetype lt = text.lastIndexOf(u'<');
    if (lt < 0) return text;
    qint64 gt = text.lastIndexOf(u'>');
    gt = gt > lt ? from + gt : -1;
    qint64 past = to;
    for (auto span = std::lower_bound(_spans.begin(), _spans.end(), to, [](const Span& span, qint64 at) { return span.begin < at; });
         span != _spans.end() && span->begin == past && span->quiet == None && span->end < limit; ++span) {
        if (span->gt != None) gt = span->gt;
        past = span->end;
    }
    if (past == to) return reaching(read, from, to, limit);
    QStringView ahead;
    for (qint64 length = 4096;; length *= 16) {
        const qint64 end = std::min(limit, past + length);
        ahead = read(past, end);
        if (end == limit || ahead.contains(u'<')) break;
    }
    const qsizetype next = ahead.indexOf(u'<');
    if (const qsizetype last = ahead.left(next < 0 ? ahead.size() : next).lastIndexOf(u'>'); last >= 0) gt = past + last;
    *reach = next < 0 ? past + ahead.size() : past + next;
    return read(from, std::max(to, (gt >= 0 ? gt : from + lt) + 1));
}

void QVTagBalance::useTable(const QVariantMap& table) {
    if (table == _table) return;
    clear();
    _table = table;
}

QString QVTagBalance::unclosedElementBefore(qint64 caret, const Reader& read, const QVariantMap& table) {
    useTable(table);
    Kinds kinds(_table);
    qint64 last = -1;
    for (qint64 end = caret; end > 0 && last < 0;) {
        const qint64 from = std::max<qint64>(0, end - 65536);
        if (const qsizetype at = read(from, end).lastIndexOf(u'<'); at >= 0) last = from + at;
        end = from;
    }
    if (last < 0) return {};
    qint64 depth = 0;
    QString found;
    // The tag at the last "<" ends at the last ">" before the caret, wherever the text after
    // the caret would end it.
    const QStringView tail = read(last, caret);
    if (const qint64 gt = tail.lastIndexOf(u'>'); gt > 0) {
        QStringView name;
        const int change = tagChange(tail, last, last, last + gt, kinds, &name);
        if (change < 0) return name.toString();
        depth += change;
    }
    // Every walk and sum below reads at most as far as the "<" at last.
    const qint64 limit = last + 1;
    qint64 to = last;
    while (to > 0) {
        // The stretch with the greatest start before to.
        auto after = std::upper_bound(_spans.begin(), _spans.end(), to - 1, [](qint64 at, const Span& span) { return at < span.begin; });
        const Span* span = after == _spans.begin() ? nullptr : &*std::prev(after);
        if (span && span->end >= to) {
            // The element opens in the stretch only when the walk's count comes down to nothing
            // before one of its opening tags.
            if (span->end == to && (span->lowest == None || depth + span->lowest > 0)) {
                depth += span->change;
            } else {
                // A whole stretch's last tag ends at quiet: what lies on to the next "<" (a
                // long run without tags, maybe) need not be read again.
                const QStringView text = span->end == to && span->quiet != None ? read(span->begin, std::max(to, span->quiet))
                                                                                  : reaching(read, span->begin, to, limit);
                _walked += text.size();
                if (walkBack(text, span->begin, span->begin, to, kinds, depth, &found)) return found;
            }
            to = span->begin;
            continue;
        }
        const qint64 from = span ? span->end : 0;
        if (to - from <= _spanLength / 4) {
            qint64 reach = None;
            const QStringView text = readingTags(read, from, to, limit, &reach);
            _walked += text.size();
            if (walkBack(text, from, from, to, kinds, depth, &found)) return found;
            to = from;
            continue;
        }
        // Stretches are cut back from to, so a window a whole number of stretches long cuts
        // them where one fill over the whole would.
        const qint64 window = std::max(_spanLength, FillWindow / _spanLength * _spanLength);
        const qint64 begin = std::max(from, to - window);
        qint64 reach = None;
        const QStringView text = readingTags(read, begin, to, limit, &reach);
        fill(text, begin, begin, to, reach);
    }
    return {};
}

void QVTagBalance::fill(QStringView text, qint64 offset, qint64 from, qint64 to, qint64 reach, const FarEnd& far) {
    std::vector<Span> made;
    for (qint64 end = to; end > from; end -= _spanLength) made.push_back({std::max(from, end - _spanLength), end});
    std::reverse(made.begin(), made.end());
    auto sumSome = [&](size_t first, size_t last) {
        Kinds kinds(_table);
        for (size_t k = first; k < last; ++k) made[k] = sum(text, offset, made[k].begin, made[k].end, kinds, far);
    };
    const size_t count = made.size();
    const size_t threads = to - from < _threadedFrom ? 1 : std::min<size_t>({count, 6, std::max(1u, std::thread::hardware_concurrency())});
    std::vector<std::thread> helpers;
    for (size_t k = 1; k < threads; ++k) {
        const size_t first = count * k / threads;
        const size_t last = count * (k + 1) / threads;
        try {
            helpers.emplace_back(sumSome, first, last);
        } catch (const std::system_error&) {
            sumSome(first, last);  // no thread to be had: this one sums them
        }
    }
    sumSome(0, count / threads);
    for (std::thread& helper : helpers) helper.join();
    qint64 read = to;
    for (Span& span : made) {
        read = std::max(read, span.reach);
        // The tag text ended before reached on, over neither "<" nor ">", to reach.
        if (reach != None && span.quiet != None && span.reach == offset + text.size()) span.reach = reach;
    }
    _summed += read - from;
    const auto at = std::upper_bound(_spans.begin(), _spans.end(), from, [](qint64 position, const Span& span) { return position < span.begin; });
    _spans.insert(at, made.begin(), made.end());
}

QVRange QVTagBalance::uncovered(qint64 length) const {
    qint64 from = 0;
    for (const Span& span : _spans) {
        if (span.begin > from) return QVRange(from, span.begin - from);
        from = span.end;
    }
    return from < length ? QVRange(from, length - from) : QVRange(QVRange::NotFound, 0);
}

void QVTagBalance::sumAhead(QStringView text, qint64 offset, qint64 from, qint64 to, const QVariantMap& table) {
    useTable(table);
    if (from < to) fill(text, offset, from, to);
}

bool QVTagBalance::sumAhead(const Reader& read, qint64 length, qint64 budget, const QVariantMap& table) {
    useTable(table);
    const QVRange gap = uncovered(length);
    if (gap.isNotFound()) return false;
    const qint64 to = std::min(gap.end(), gap.location + budget);
    if (_look.from != gap.location || _look.to != to) {
        const QStringView text = read(gap.location, to);
        const qsizetype lt = text.lastIndexOf(u'<');
        if (lt < 0 || to == length) {
            fill(text, gap.location, gap.location, to);
            return true;
        }
        const qsizetype gt = text.lastIndexOf(u'>');
        _summed += to - gap.location;
        _look = {gap.location, to, gap.location + lt, gt > lt ? gap.location + gt : -1, to};
    }
    const qint64 end = std::min(length, _look.looked + budget);
    const QStringView ahead = read(_look.looked, end);
    const qsizetype next = ahead.indexOf(u'<');
    const qsizetype gt = ahead.left(next < 0 ? ahead.size() : next).lastIndexOf(u'>');
    if (gt >= 0) _look.gt = _look.looked + gt;
    _summed += next < 0 ? ahead.size() : next + 1;
    if (next < 0 && end < length) {
        _look.looked = end;
        return true;
    }
    const qint64 reach = next < 0 ? length : _look.looked + next;
    // The text on to the last tag's end; past it, none of it counts.
    const qint64 quiet = (_look.gt >= 0 ? _look.gt : _look.lt) + 1;
    const Look look = std::exchange(_look, {});
    // The last tag runs on past the stretches over text without a "<" (a server block full of
    // "=>"): its kind hangs only on its name and on whether a "/" stands before its last ">", so
    // that text is not read whole (a copy of megabytes once an edit split it), unless its name
    // runs on to the stretches' end.
    if (quiet - look.to > budget && look.gt >= look.to) {
        const QStringView text = read(look.from, look.to);
        const QStringView tag = text.sliced(look.lt - look.from + 1);
        qsizetype name = tag.startsWith(u'/') ? 1 : 0;
        while (name < tag.size() && tag[name].isLetterOrNumber()) ++name;
        if (name < tag.size()) {
            fill(text, look.from, look.from, look.to, reach, {look.gt, read(look.gt - 1, look.gt).front() == u'/'});
            return true;
        }
    }
    fill(read(look.from, std::max(look.to, quiet)), look.from, look.from, look.to, reach);
    return true;
}

void QVTagBalance::edited(qint64 location, qint64 oldLength, qint64 newLength, std::optional<QStringView> inserted) {
    const qint64 oldEnd = location + oldLength;
    const qint64 delta = newLength - oldLength;
    if (location < _look.looked) _look = {};
    // What comes in, when known: where its first "<" lies, and whether a ">" comes before it.
    const qsizetype lt = inserted ? inserted->indexOf(u'<') : -1;
    const bool gt = !inserted || inserted->left(lt < 0 ? inserted->size() : lt).contains(u'>');
    std::erase_if(_spans, [&](Span& span) {
        if (span.reach < location || (span.quiet == None && span.end <= location)) return false;
        if (span.begin >= oldEnd) {
            span.begin += delta;
            span.end += delta;
            span.reach += delta;
            if (span.quiet != None) span.quiet += delta;
            if (span.gt != None) span.gt += delta;
            return false;
        }
        // Past the last tag's end, with no ">" added to it, an edit replaces no "<" or ">" (none
        // lies there) and the stretch's tags stay as they were, unless a "<" comes inside it.
        if (span.quiet == None || location < span.quiet || oldEnd > span.reach || gt) return true;
        if (location < span.end) {
            if (oldEnd > span.end || (lt >= 0 && location + lt < span.end + delta)) return true;
            span.end += delta;
        }
        span.reach = lt >= 0 ? location + lt : span.reach + delta;
        return false;
    });
}
