// The element Close Tag closes: the innermost one left open before the caret, found from what
// the tags of each stretch of the text add up to, kept through edits.
#pragma once

#include "platform/QVRange.h"

#include <QString>
#include <QStringView>
#include <QVariantMap>

#include <functional>
#include <limits>
#include <optional>
#include <vector>

// A tag, as Close Tag reads the text, is a "<" with a ">" after it before the next "<": it runs
// from that "<" to the last such ">" (before the caret, for the last one). Which "<" begin tags,
// and what each tag says, depends only on the text from it to the next "<", never on where the
// caret is, save for the tag at the last "<" before it: so what the tags of a stretch add up to
// is worked out once, over the whole stretch, and kept until an edit reaches the text it read.
// Void elements and those the tag table says are never completed, and tags ending in "/", open
// and close nothing.
class QVTagBalance {
public:
    // Stretches of about spanLength characters; a search over more than threadedFrom characters
    // no stretch answers for yet is shared between threads.
    explicit QVTagBalance(qint64 spanLength = 16384, qint64 threadedFrom = qint64(1) << 20)
        : _spanLength(spanLength), _threadedFrom(threadedFrom) {}

    // A view of the text's [from, to), valid while the text does not change, also once later
    // views are taken.
    using Reader = std::function<QStringView(qint64 from, qint64 to)>;
    // The name of the element open at the caret, read through read, with table the tag kinds
    // ("specialTagFormatting": -1 never completed, 1 empty); empty when none is. Forgets every
    // stretch when the table is not the one they were read with. What is read is the stretches
    // no sum answers for, a window at a time, never the whole text before the caret at once.
    QString unclosedElementBefore(qint64 caret, const Reader& read, const QVariantMap& table);
    // The text from `from` on as far as the first "<" at or past to (limit when none is before
    // it), which reading the tags whose "<" lies in [from, to) takes: just [from, to) when it
    // holds no "<".
    static QStringView reaching(const Reader& read, qint64 from, qint64 to, qint64 limit);
    // The same with text the characters before the caret.
    QString unclosedElementBefore(QStringView text, const QVariantMap& table) {
        return unclosedElementBefore(text.size(), [text](qint64 from, qint64 to) { return text.mid(from, to - from); }, table);
    }
    // Sums ahead of any search, a stretch at a time while idle: the first stretch of a text of
    // length characters that no sum covers yet (location NotFound: none), and the sums of
    // [from, to) in it, text holding the characters from offset on, as far as the first "<" at
    // or past to at least (or to the text's end).
    QVRange uncovered(qint64 length) const;
    void sumAhead(QStringView text, qint64 offset, qint64 from, qint64 to, const QVariantMap& table);
    // One piece of that, for a text of length characters: sums up to budget characters of the
    // first stretch no sum covers, when the "<" its last tag reads to lies within budget of its
    // end; else looks on for it, budget characters a piece, keeping what it saw for the next
    // piece (a tag before megabytes without "<" is not read over at once). False when every
    // stretch is summed.
    bool sumAhead(const Reader& read, qint64 length, qint64 budget, const QVariantMap& table);
    // The characters of [location, location + oldLength) were replaced by newLength others,
    // inserted (when known: a stretch whose last tag ends before the edit then keeps its sums
    // while no ">" is added to that tag).
    void edited(qint64 location, qint64 oldLength, qint64 newLength, std::optional<QStringView> inserted = std::nullopt);
    void clear() {
        _spans.clear();
        _look = {};
    }

    // What the tags whose "<" lies in [begin, end) add up to, read over [begin, reach) (reach:
    // the first "<" at or past end). change: the closing tags less the opening ones; lowest: of
    // the walk back from end, the least of that count before each opening tag (None without one);
    // quiet: just past the last tag's ">" (its "<" when it has none), from where to reach the
    // text holds neither "<" nor ">" (None when no "<" lies in [begin, end): nothing past end
    // counts then); gt: there, the last ">" in [begin, end) (None without one), which the tag
    // before the stretch ends at unless a later one does.
    static constexpr qint64 None = std::numeric_limits<qint64>::max();
    // Where the text's last tag ends when past the text given (None: in it), and whether a "/"
    // stands just before that ">".
    struct FarEnd {
        qint64 gt;
        bool slash;
    };
    static constexpr FarEnd NearEnd{None, false};
    struct Span {
        qint64 begin = 0;
        qint64 end = 0;
        qint64 reach = 0;
        qint64 change = 0;
        qint64 lowest = None;
        qint64 quiet = None;
        qint64 gt = None;
        bool operator==(const Span&) const = default;
    };
    // For tests: the stretches kept, in order, how many characters were read to make them (up
    // to their reach), and how many the searches' walks back over stretches read.
    const std::vector<Span>& spans() const { return _spans; }
    qint64 charactersSummed() const { return _summed; }
    qint64 charactersWalked() const { return _walked; }

private:
    // Adds the stretches of [from, to), which no stretch covers, cut at to, to - spanLength...
    // reach: where the last tag's stretch reads to, when text ends before it (past the ">" of
    // that tag).
    void fill(QStringView text, qint64 offset, qint64 from, qint64 to, qint64 reach = None, const FarEnd& far = NearEnd);
    void useTable(const QVariantMap& table);
    // The text from from as far as the last tag of [from, to) ends (to at least), and in *reach
    // the "<" that tag reads to (None when the text itself reaches it): the stretches after to
    // without a "<" are passed over, not read.
    QStringView readingTags(const Reader& read, qint64 from, qint64 to, qint64 limit, qint64* reach) const;

    qint64 _spanLength;
    qint64 _threadedFrom;
    std::vector<Span> _spans;
    QVariantMap _table;
    qint64 _summed = 0;
    qint64 _walked = 0;
    // The look for the "<" after the first uncovered stretch [from, to) of the sums ahead: its
    // last "<" lt and the last ">" after it gt (-1: none yet), seen as far as looked.
    struct Look {
        qint64 from = -1;
        qint64 to = -1;
        qint64 lt = -1;
        qint64 gt = -1;
        qint64 looked = -1;
    };
    Look _look;
};
