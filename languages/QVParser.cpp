// The base of a language's syntax parsers and the plain parser.
#include "languages/QVParser.h"

#include "languages/QVScriptLiterals.h"

#include "languages/QVCodeNavParser.h"
#include "languages/QVKeywordBasedParser.h"
#include "languages/QVTagBasedParser.h"
#include "languages/QVTheme.h"
#include "platform/PropertyList.h"
#include "platform/QVRegex.h"
#include "platform/QVTextStorage.h"
#include "shell/Defaults.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>

#include <emmintrin.h>

namespace {

const QString kFormatVersion = QStringLiteral("format-version");
const QString kFormatId = QStringLiteral("format-id");
const QString kFolding = QStringLiteral("folding");
const QString kOpen = QStringLiteral("open");
const QString kClose = QStringLiteral("close");
const QString kOpeners = QStringLiteral("openers");
const QString kClosers = QStringLiteral("closers");

bool isString(const QVariant& value) { return value.metaType() == QMetaType::fromType<QString>(); }

// The first unit from j on, before limit (else limit), that is one of five (repeat one for
// fewer). A comment or the stretch a block's end is looked for in is mostly none of them, and on a
// line of megabytes a look at each unit in turn was most of a key's cost.
qint64 nextOfFive(const char16_t* units, qint64 j, qint64 limit, const std::array<char16_t, 5>& marks) {
#if defined(__SSE2__)
    const __m128i a = _mm_set1_epi16(short(marks[0])), b = _mm_set1_epi16(short(marks[1])), c = _mm_set1_epi16(short(marks[2]));
    const __m128i d = _mm_set1_epi16(short(marks[3])), e = _mm_set1_epi16(short(marks[4]));
    for (; j + 8 <= limit; j += 8) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + j));
        const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_or_si128(_mm_cmpeq_epi16(v, a), _mm_cmpeq_epi16(v, b)),
                                                      _mm_or_si128(_mm_cmpeq_epi16(v, c), _mm_cmpeq_epi16(v, d))),
                                         _mm_cmpeq_epi16(v, e));
        if (const int bits = _mm_movemask_epi8(hit)) return j + std::countr_zero(unsigned(bits)) / 2;
    }
#endif
    for (; j < limit; ++j)
        if (std::find(marks.begin(), marks.end(), units[j]) != marks.end()) return j;
    return limit;
}

QStringList stringsOf(const QVariant& value) {
    QStringList strings;
    for (const QVariant& item : value.toList())
        if (isString(item)) strings.append(item.toString());
    return strings;
}

// Matches of several strings sorted by place, the longest first at one place, with every
// match that overlaps one kept before it dropped: "<?" inside "<?php" is not a second opener.
QList<QVRange> nonOverlapping(QList<QVRange> ranges) {
    std::sort(ranges.begin(), ranges.end(), [](QVRange a, QVRange b) {
        return a.location != b.location ? a.location < b.location : a.length > b.length;
    });
    QList<QVRange> kept;
    qint64 end = std::numeric_limits<qint64>::min();
    for (const QVRange& range : ranges) {
        if (range.location < end) continue;
        kept.append(range);
        end = range.end();
    }
    return kept;
}

// Index just after the line break that ends the line holding position (or text's length).
qint64 endOfLine(const QString& text, qint64 position) {
    const qint64 length = text.size();
    for (qint64 i = std::max<qint64>(position, 0); i < length; ++i) {
        const QChar c = text[i];
        if (c == QLatin1Char('\n')) return i + 1;
        if (c == QLatin1Char('\r')) return i + 1 < length && text[i + 1] == QLatin1Char('\n') ? i + 2 : i + 1;
    }
    return length;
}

// Each place inside a heredoc keeps its identifier: one longer than this (hostile, a megabyte
// long) is read whole, keeping none.
constexpr qsizetype PlaceLabelLimit = 256;

}  // namespace

QVParser::QVParser(std::weak_ptr<QVBundle> bundle, const QString& identifier)
    : _bundle(std::move(bundle)), _identifier(identifier) {}

QVParser::QVParser(std::weak_ptr<QVBundle> bundle, const QVariantMap& plist) : _bundle(std::move(bundle)) {
    const QVariant identifier = plist.value(kFormatId);
    if (isString(identifier)) _identifier = identifier.toString();
    const QVariantMap folding = plist.value(kFolding).toMap();
    if (isString(folding.value(kOpen))) setFoldOpener(folding.value(kOpen).toString());
    if (isString(folding.value(kClose))) setFoldCloser(folding.value(kClose).toString());
    _openers.append(stringsOf(plist.value(kOpeners)));
    _closers.append(stringsOf(plist.value(kClosers)));
}

QVParser::~QVParser() = default;

std::shared_ptr<QVParser> QVParser::parserForPlist(std::weak_ptr<QVBundle> bundle, const QVariantMap& plist) {
    const QString type = plist.value(FormatTypeKey).toString();
    if (type == QLatin1String("keyword")) return std::make_shared<QVKeywordBasedParser>(std::move(bundle), plist);
    if (type == QLatin1String("tag")) return std::make_shared<QVTagBasedParser>(std::move(bundle), plist);
    return std::make_shared<QVParser>(std::move(bundle), plist);
}

void QVParser::finishLoad(const QVParserResolver&) {}

QVariantMap QVParser::plistRepresentation() const {
    QVariantMap plist;
    plist.insert(kFormatVersion, QStringLiteral("1.0"));
    if (!_identifier.isNull()) plist.insert(kFormatId, _identifier);
    if (!_foldOpenerPattern.isNull() || !_foldCloserPattern.isNull()) {
        QVariantMap folding;
        if (!_foldOpenerPattern.isNull()) folding.insert(kOpen, _foldOpenerPattern);
        if (!_foldCloserPattern.isNull()) folding.insert(kClose, _foldCloserPattern);
        plist.insert(kFolding, folding);
    }
    // Arrays as a property list reads them back: lists of variants.
    if (!_openers.isEmpty()) plist.insert(kOpeners, QVariant(_openers).toList());
    if (!_closers.isEmpty()) plist.insert(kClosers, QVariant(_closers).toList());
    return plist;
}

bool QVParser::commitToPath(const QString& contentsFolder, QVError* error) const {
    if (_codeNavParser && !_codeNavParser->commitToPath(contentsFolder, error)) return false;
    return Defaults::writePlist(plistRepresentation(), contentsFolder + QStringLiteral("/syntax.plist"),
                                static_cast<int>(PlistFormat::Binary), error);
}

QList<QVCodeNavMenuItem> QVParser::codeNavItemsForString(const QString& text, QVRange range) const {
    if (!_codeNavParser) return {};
    QList<QVCodeNavMenuItem> items = _codeNavParser->matchesForString(text, clampedRange(range, text.size()));
    std::stable_sort(items.begin(), items.end(),
                     [](const QVCodeNavMenuItem& a, const QVCodeNavMenuItem& b) { return a.range().location < b.range().location; });
    return items;
}

QVEmbeddedRanges QVParser::parseRange(QVRange range, QVTextStorage& storage, QVColouringSession* session) {
    range = clampedRange(range, storage.length());
    if (session) {
        // Nothing to colour, and no boundary: the whole rest is this parser's.
        const qint64 from = std::clamp(session->resumeAt, range.location, range.end());
        session->reach(range.end());
        session->stoppedAt = range.end();
        range = QVRange(from, range.end() - from);
    }
    markParsed(range, storage);
    return {};
}

namespace {
std::atomic<quint64> parsedCount{0};
}

quint64 QVParser::charactersParsed() { return parsedCount.load(std::memory_order_relaxed); }

void QVParser::countParsed(qint64 characters) {
    if (characters > 0) parsedCount.fetch_add(quint64(characters), std::memory_order_relaxed);
}

QVRange QVParser::nextSignificantRangeInString(const QString& text, QVRange range) const {
    if (range.isNotFound() || range.location < 0 || range.end() > text.size()) return {};
    // The line that holds the range ends at the first break at or after the range's end,
    // unless the range itself ends with a break.
    qint64 lineEnd;
    const QChar last = range.length > 0 ? text[range.end() - 1] : QChar();
    if (last == QLatin1Char('\n')) lineEnd = range.end();
    else if (last == QLatin1Char('\r'))
        lineEnd = range.end() < text.size() && text[range.end()] == QLatin1Char('\n') ? range.end() + 1 : range.end();
    else lineEnd = endOfLine(text, range.end());
    const QStringView rest = QStringView(text).mid(range.end(), lineEnd - range.end());
    auto found = [&](qsizetype index) { return index < 0 ? QVRange::NotFound : range.end() + index; };

    const qint64 current = found(rest.indexOf(QLatin1String("[*cur]")));
    if (current != QVRange::NotFound) return {current, 6};
    const qint64 quotes = found(rest.indexOf(QLatin1String("\"\"")));
    if (quotes != QVRange::NotFound) return {quotes + 1, 0};
    const qsizetype open = rest.indexOf(QLatin1String("[*"));
    if (open >= 0) {
        const qsizetype close = rest.indexOf(QLatin1String("*]"), open);
        if (close >= 0) return {range.end() + open, close + 2 - open};
    }
    return {};
}

QList<QVRange> QVParser::allRangesForArray(const QStringList& strings, const QString& text, QVRange range) {
    QList<QVRange> ranges;
    range = clampedRange(range, text.size());
    const QStringView searched = QStringView(text).mid(range.location, range.length);
    for (const QString& string : strings) {
        if (string.isEmpty()) continue;
        for (qsizetype at = searched.indexOf(string, 0, Qt::CaseInsensitive); at >= 0;
             at = searched.indexOf(string, at + string.size(), Qt::CaseInsensitive))
            ranges.append(QVRange(range.location + at, string.size()));
    }
    return ranges;
}

QVEmbeddedRanges QVParser::rangesInString(const QString& text, QVRange range) const {
    range = clampedRange(range, text.size());
    const QList<QVRange> openers = nonOverlapping(allRangesForArray(_openers, text, range));
    const QList<QVRange> closers = nonOverlapping(allRangesForArray(_closers, text, range));
    std::shared_ptr<QVParser> self = std::const_pointer_cast<QVParser>(weak_from_this().lock());
    QVEmbeddedRanges blocks;
    qint64 blockEnd = std::numeric_limits<qint64>::min();
    auto closer = closers.cbegin();
    for (const QVRange& opener : openers) {
        if (opener.location < blockEnd) continue;  // inside the block just found
        while (closer != closers.cend() && closer->location < opener.end()) ++closer;
        blockEnd = closer != closers.cend() ? closer->end() : range.end();
        blocks.push_back({QVRange(opener.location, blockEnd - opener.location), self});
        if (closer == closers.cend()) break;
        ++closer;
    }
    return blocks;
}

void QVParser::setTheme(std::shared_ptr<QVTheme> theme) { _theme = std::move(theme); }

void QVParser::setFoldOpener(const QString& pattern) {
    _foldOpenerPattern = pattern;
    _foldOpener = pattern.isNull() ? nullptr : QVRegex::create(pattern);
}

void QVParser::setFoldCloser(const QString& pattern) {
    _foldCloserPattern = pattern;
    _foldCloser = pattern.isNull() ? nullptr : QVRegex::create(pattern);
}

QList<std::shared_ptr<QVParser>> QVParser::subparsers() const { return {}; }

bool QVParser::usesSingleQuotes() const { return false; }

QVEmbeddedRange QVParser::embeddedBlockAt(QStringView, qint64, qint64* resumable, const QVWalkPlace*) const {
    if (resumable) *resumable = -1;
    return {};
}

qint64 QVParser::walkBoundaries(QStringView text, qint64 base, QVColouringSession&, const QVWalkPlace&) const {
    return base + text.size();
}

bool QVParser::endTagEndsAt(QStringView text, qint64 index, QStringView end) {
    const qint64 after = index + end.size();
    if (index < 0 || after >= text.size()) return false;
    const char16_t u = text[after].unicode();
    return u == u' ' || u == u'\t' || u == u'\n' || u == u'\f' || u == u'\r' || u == u'/' || u == u'>';
}

qint64 QVParser::endOfEmbeddedBlock(QStringView text, qint64 from, QStringView end, bool element, BlockPlaces* places) const {
    BlockLexicon lexicon;
    lexicon.endTag = element;
    lexicon.singleQuotes = usesSingleQuotes();
    return endOfBlock(text, from, end, lexicon, places);
}

qint64 QVParser::endOfBlock(QStringView text, qint64 from, QStringView end, const BlockLexicon& lexicon, BlockPlaces* places) {
    const qint64 n = text.size();
    if (end.isEmpty()) return n;
    // Folded without a call for ASCII, which is nearly every character scanned.
    auto folded = [](QChar c) {
        const char16_t u = c.unicode();
        if (u < 0x80) return char16_t(u >= u'A' && u <= u'Z' ? u + 32 : u);
        return c.toCaseFolded().unicode();
    };
    const char16_t first = folded(end.front());
    const char16_t second = end.size() > 1 ? folded(end[1]) : 0;
    const bool endTag = lexicon.endTag && end.back().isLetterOrNumber();
    // The second unit is looked at before the whole end is compared: a script's "a < b" has the
    // end tag's "<" at every comparison.
    auto endsAt = [&](qint64 i) {
        return folded(text[i]) == first && n - i >= end.size() && (end.size() < 2 || folded(text[i + 1]) == second) &&
               text.sliced(i, end.size()).compare(end, Qt::CaseInsensitive) == 0 && (!endTag || endTagEndsAt(text, i, end));
    };
    // Only the end's first unit (an ASCII one that is no letter, which no other unit folds to)
    // can begin it: the units between are passed over eight at a time.
    const auto* units = reinterpret_cast<const char16_t*>(text.utf16());
    const bool plainFirst = first < 0x80 && !(first >= u'a' && first <= u'z');
    auto beginsAt = [&](qint64 i, const QString& marker) {
        return !marker.isEmpty() && text[i] == marker.front() && n - i >= marker.size() && text.sliced(i, marker.size()) == marker;
    };
    const qint64 start = std::clamp<qint64>(from, 0, n);
    // An odd number of backslashes since the block's start stands before i.
    auto escapedAt = [&](qint64 i) {
        qint64 k = i;
        while (k > start && text[k - 1] == u'\\') --k;
        return (i - k) % 2 == 1;
    };
    // ASCII characters that can begin the end string, a string or a comment; any other ASCII
    // character is passed over at once.
    std::array<bool, 128> significant{};
    auto mark = [&](char16_t u) {
        if (u < 0x80) significant[u] = true;
    };
    mark(first);
    if (first >= u'a' && first <= u'z') mark(char16_t(first - 32));
    if (lexicon.doubleQuotes) mark(u'"');
    if (lexicon.singleQuotes) mark(u'\'');
    if (lexicon.regexLiterals) mark(u'/');
    if (lexicon.templateStrings) mark(u'`');
    if (lexicon.heredocs) mark(u'<');
    if (lexicon.comments)
        for (const QVComment& form : *lexicon.comments)
            if (!form.begin().isEmpty()) mark(form.begin().front().unicode());
    // The first end in [from, to), or -1.
    auto endWithin = [&](qint64 from, qint64 to) -> qint64 {
        for (qint64 j = from; j < to; ++j) {
            if (plainFirst && (j = nextOfFive(units, j, to, {first, first, first, first, first})) >= to) break;
            if (endsAt(j)) return j;
        }
        return -1;
    };
    qint64 i = start;
    // Slashes before it would be rejected as a regular expression as the last one was.
    qint64 regexSameUntil = -1;
    qint64 nextPlace = places ? places->wantedFrom : std::numeric_limits<qint64>::max();
    // Where places are wanted, a template string or block comment is read a line at a time from
    // j, a place of its own text, and each line begun in that text is a place too (literal says
    // which). Answers true with the block's end or the stop in *at, else false with *at just
    // past the literal.
    // The line end found last serves every literal that begins before it: a line of megabytes
    // holding many template strings or comments is searched to its end once, not once for each.
    // A line ends after "\n", "\r\n" or a "\r" alone (a file saved with old Mac line ends keeps
    // them); the next "\n" is kept apart, so that a text without one is not searched to its end
    // again for each of its lines.
    qint64 searchedFrom = n, foundEnd = n;
    qint64 newlineFrom = n, newlineAt = n;
    auto lineEnd = [&](qint64 j) {
        if (j >= searchedFrom && j < foundEnd) return foundEnd;
        if (j < newlineFrom || j > newlineAt) {
            const qsizetype at = text.indexOf(u'\n', j);
            newlineFrom = j;
            newlineAt = at < 0 ? n : at;
            countParsed(std::min(newlineAt + 1, n) - j);
        }
        const qsizetype lone = text.sliced(j, newlineAt - j).indexOf(u'\r');
        searchedFrom = j;
        if (lone >= 0 && j + lone + 1 < newlineAt) {
            foundEnd = j + lone + 1;
            countParsed(foundEnd - j);
        } else {
            foundEnd = newlineAt < n ? newlineAt + 1 : n;
        }
        return foundEnd;
    };
    auto placeInLiteral = [&](qint64 j, int literal, QStringView label = {},
                              const QVScriptLiterals::TemplateNesting& nesting = {}) {
        if (j >= n || j < nextPlace) return false;
        if (places->place(j, literal, label, nesting)) {
            places->stopped = true;
            return true;
        }
        nextPlace = places->wantedFrom;
        return false;
    };
    // A template string's lines are places however deep in its holes they begin: the nesting
    // there goes with each.
    auto readTemplate = [&](qint64 j, QVScriptLiterals::TemplateNesting nesting, qint64* at) -> bool {
        qint64 limit = lineEnd(j);
        for (;;) {
            qint64 resumable = j;
            const qint64 close = QVScriptLiterals::readTemplate(text, j, limit, nesting, &resumable);
            if (const qint64 inside = endWithin(j, close < 0 ? resumable : close); inside >= 0) {
                *at = inside;
                return true;
            }
            if (close >= 0) {
                *at = close;
                return false;
            }
            if (limit >= n) {
                const qint64 inside = endWithin(resumable, n);
                *at = inside >= 0 ? inside : n;
                return true;
            }
            if (resumable < limit) {
                // What stands before the line's end needs what follows it (never so at a line
                // break, but a read must not stall on it).
                j = resumable;
                limit = lineEnd(limit);
                continue;
            }
            if (placeInLiteral(limit, 0, {}, nesting)) {
                *at = limit;
                return true;
            }
            j = limit;
            limit = lineEnd(j);
        }
    };
    // A quoted string from j (just past its quote, or at a line it runs on to, no backslash
    // pending there): false with *at just past it, else true with the block's end (it runs on
    // to the text's end) or the stop in *at. Each line it runs on to is a place.
    auto readQuoted = [&](qint64 j, QChar quote, qint64* at) -> bool {
        const int literal = quote == u'"' ? QVWalkPlace::DoubleQuoted : QVWalkPlace::SingleQuoted;
        bool escaped = false;
        for (; j < n; ++j) {
            const QChar c = text[j];
            if (escaped) {
                escaped = false;
            } else if (c == u'\\') {
                escaped = true;
                continue;
            } else if (c == quote || (lexicon.stringsEndAtLineEnd && (c == u'\n' || c == u'\r'))) {
                *at = j + 1;
                return false;
            }
            if ((c == u'\n' || (c == u'\r' && (j + 1 >= n || text[j + 1] != u'\n'))) && placeInLiteral(j + 1, literal)) {
                *at = j + 1;
                return true;
            }
        }
        *at = n;
        return true;
    };
    auto readComment = [&](qint64 j, int form, qint64* at) -> bool {
        const QString& close = (*lexicon.comments)[form].end();
        // One that closes on its own line (nearly every one) is read to its close only: the
        // line's end is not looked for, which on a line of megabytes holding many blocks (PHP's
        // "<?php ... /* c */ ?>" over and over) was the rest of the line again for each of them.
        // The look stops at the first line break: a comment over lines is read a line at a time
        // below, and a walk resumed inside one does not read on to its close again.
        // The block's end, where the comment does not hide it, is looked for on the way.
        const bool endInside = !lexicon.commentsHideEnd;
        const char16_t closeFirst = close.isEmpty() ? u'\n' : close.front().unicode();
        const char16_t endFirst = endInside && plainFirst ? first : u'\n';
        qint64 k = j;
        for (;; ++k) {
            k = nextOfFive(units, k, n, {u'\n', u'\r', closeFirst, endFirst, endFirst});
            if (k >= n || text[k] == u'\n' || text[k] == u'\r' || text.sliced(k).startsWith(close)) break;
            if (endInside && plainFirst && endsAt(k)) {
                countParsed(k - j);
                *at = k;
                return true;
            }
        }
        countParsed(k - j);
        if (k < n && text[k] != u'\n' && text[k] != u'\r') {
            if (endInside && !plainFirst)
                if (const qint64 inside = endWithin(j, k); inside >= 0) {
                    *at = inside;
                    return true;
                }
            *at = k + close.size();
            return false;
        }
        for (;;) {
            const qint64 limit = lineEnd(j);
            const qsizetype found = text.sliced(j, std::min<qint64>(n, limit + close.size() - 1) - j).indexOf(close);
            const qint64 end = found < 0 ? -1 : j + found;
            if (!lexicon.commentsHideEnd)
                if (const qint64 inside = endWithin(j, end < 0 ? limit : end); inside >= 0) {
                    *at = inside;
                    return true;
                }
            if (end >= 0) {
                *at = end + close.size();
                return false;
            }
            if (limit >= n) {
                *at = n;
                return true;
            }
            if (placeInLiteral(limit, form + 1)) {
                *at = limit;
                return true;
            }
            j = limit;
        }
    };
    // A heredoc's or nowdoc's body from j, the start of one of its lines, a line at a time, the
    // start of each line after it a place too. Answers as readTemplate() does, *at just past the
    // identifier that closes it.
    auto readHeredoc = [&](qint64 j, QStringView label, qint64* at) -> bool {
        for (;;) {
            if (const qint64 after = QVScriptLiterals::heredocClosesAt(text, j, n, label); after >= 0) {
                *at = after;
                return false;
            }
            const qint64 limit = lineEnd(j);
            if (limit >= n) {
                *at = n;
                return true;
            }
            if (placeInLiteral(limit, QVWalkPlace::HeredocText, label)) {
                *at = limit;
                return true;
            }
            j = limit;
        }
    };
    if (places && places->startLiteral >= 0) {
        const int literal = places->startLiteral;
        qint64 at = n;
        const bool quoted = literal == QVWalkPlace::DoubleQuoted || literal == QVWalkPlace::SingleQuoted;
        if (literal == QVWalkPlace::HeredocText ? (!lexicon.heredocs || readHeredoc(i, places->startLabel, &at))
            : literal == 0                      ? readTemplate(i, places->startNesting, &at)
            : quoted                            ? readQuoted(i, literal == QVWalkPlace::DoubleQuoted ? u'"' : u'\'', &at)
                                                : (!lexicon.comments || literal > lexicon.comments->size() || readComment(i, literal - 1, &at)))
            return at;
        i = at;
    }
    while (i < n) {
        // A line begun here outside every string, comment and literal: a scan begun here reads
        // nothing before it (the look for an escaping backslash and the look back before a
        // slash stop at the line break), so it goes on as this one. So does one begun right
        // after a ";", "{", "}" or "," amid a line: a slash there or after blanks begins an
        // operand whatever stands before it, and no backslash escapes what follows; so a line of
        // megabytes (a minified script or style sheet) has places all along it too.
        if (i >= nextPlace && i > start &&
            (text[i - 1] == u'\n' || (text[i - 1] == u'\r' && text[i] != u'\n') || text[i - 1] == u';' || text[i - 1] == u'{' ||
             text[i - 1] == u'}' || text[i - 1] == u',')) {
            if (places->place(i, -1, {}, {})) {
                places->stopped = true;
                return i;
            }
            nextPlace = places->wantedFrom;
        }
        const char16_t u = text[i].unicode();
        if (u < 0x80 && !significant[u]) {
            ++i;
            continue;
        }
        if (endsAt(i)) return i;
        const QChar c = text[i];
        if (lexicon.wordCharacters && lexicon.wordCharacters->contains(c)) {
            ++i;
            continue;
        }
        const bool quote = (lexicon.doubleQuotes && c == u'"') || (lexicon.singleQuotes && c == u'\'');
        if (quote && (lexicon.escapedQuoteOpens || !escapedAt(i))) {
            // A string hides everything up to its unescaped closing quote of the same kind.
            if (places) {
                qint64 at = n;
                if (readQuoted(i + 1, c, &at)) return at;
                i = at;
                continue;
            }
            bool escaped = false;
            qint64 j = i + 1;
            for (; j < n; ++j) {
                if (escaped) escaped = false;
                else if (text[j] == u'\\') escaped = true;
                else if (text[j] == c) break;
                else if (lexicon.stringsEndAtLineEnd && (text[j] == u'\n' || text[j] == u'\r')) break;
            }
            if (j >= n) return n;
            i = j + 1;
            continue;
        }
        QStringView label;
        const qint64 body = lexicon.heredocs && c == u'<' && places ? QVScriptLiterals::heredocBody(text, i, n, &label) : -1;
        if (body >= 0 && label.size() <= PlaceLabelLimit) {
            // Read a line at a time, so that a heredoc of megabytes has places all through it,
            // its first line too, as a template string's line after its opener is one.
            if (placeInLiteral(body, QVWalkPlace::HeredocText, label)) return body;
            qint64 at = n;
            if (readHeredoc(body, label, &at)) return at;
            i = at;
            continue;
        }
        if (lexicon.heredocs && c == u'<') {
            const qint64 close = QVScriptLiterals::endOfHeredoc(text, i, n);
            if (close >= n) return n;
            if (close > i) {
                i = close;
                continue;
            }
        }
        if (lexicon.templateStrings && c == u'`') {
            // A template string never hides the end, closed or not: an edit after the end
            // cannot move it back.
            if (places) {
                qint64 at = n;
                if (readTemplate(i + 1, {}, &at)) return at;
                i = at;
                continue;
            }
            const qint64 close = QVScriptLiterals::endOfTemplateString(text, i, n);
            if (const qint64 inside = endWithin(i + 1, close < 0 ? n : close); inside >= 0) return inside;
            if (close < 0) return n;
            i = close;
            continue;
        }
        const QVComment* comment = nullptr;
        if (lexicon.comments)
            for (const QVComment& form : *lexicon.comments)
                if (beginsAt(i, form.begin())) {
                    comment = &form;
                    break;
                }
        if (!comment) {
            // A regular-expression literal hides its quotes, unless the end stands in it. As
            // the language's colouring reads it, a slash right after a slash (a literal's
            // closing one) begins none.
            if (lexicon.regexLiterals && c == u'/' && !(i > start && text[i - 1] == u'/') &&
                QVScriptLiterals::operandMayStartAt(text, i, start) && i >= regexSameUntil) {
                qint64 alike = -1;
                const qint64 close = QVScriptLiterals::endOfRegexLiteral(text, i, n, nullptr, &regexSameUntil, &alike);
                const qint64 inside = close > i ? endWithin(i + 1, close) : -1;
                if (close > i && inside < 0) {
                    i = close;
                    continue;
                }
                // The end stands in it: so it does in the literal each escaped slash before the
                // end that it passed would begin, which closes there too (a run of them before an
                // end tag, closed past it, was read to that close from each of them).
                if (close > i) regexSameUntil = std::min(alike, inside);
            }
            ++i;
            continue;
        }
        i += comment->begin().size();
        if (comment->hasEnd() && places) {
            qint64 at = n;
            if (readComment(i, int(comment - lexicon.comments->data()), &at)) return at;
            i = at;
            continue;
        }
        if (comment->hasEnd()) {
            const qsizetype close = text.indexOf(comment->end(), i);
            if (!lexicon.commentsHideEnd)
                if (const qint64 inside = endWithin(i, close < 0 ? n : close); inside >= 0) return inside;
            if (close < 0) return n;
            i = close + comment->end().size();
            continue;
        }
        for (; i < n && text[i] != u'\n' && text[i] != u'\r'; ++i)
            if (endsAt(i)) return i;
    }
    return n;
}

QVariant QVParser::parserAttributeValue() const {
    std::shared_ptr<QVParser> self = std::const_pointer_cast<QVParser>(weak_from_this().lock());
    return self ? QVariant::fromValue(self) : QVariant();
}

void QVParser::markParsed(QVRange range, QVTextStorage& storage) const {
    if (range.length > 0) storage.addAttribute(QVTextStorage::ParserAttribute, parserAttributeValue(), range);
}

QVRange QVParser::clampedRange(QVRange range, qint64 length) {
    if (range.isNotFound()) return {0, 0};
    const qint64 begin = std::clamp<qint64>(range.location, 0, length);
    const qint64 wanted = std::max<qint64>(range.length, 0);
    const qint64 wantedEnd = range.location > length || wanted > length - range.location ? length : range.location + wanted;
    const qint64 end = std::clamp<qint64>(wantedEnd, begin, length);
    return {begin, end - begin};
}
