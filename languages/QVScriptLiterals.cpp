// Regular-expression literals and template strings of scripts, and PHP's heredocs.
#include "languages/QVScriptLiterals.h"

#include <algorithm>
#include <array>
#include <bit>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace QVScriptLiterals {

namespace {

bool isLineBreak(char16_t u) { return u == u'\n' || u == u'\r' || u == 0x2028 || u == 0x2029; }

// The first unit from j on, before limit (else limit), that a regular expression's scan looks
// at: a line break, a backslash, a bracket or a slash. Most of a line is none of them, and a slash
// typed amid a line of megabytes with no other after it reads to the line's end.
qint64 nextRegexLooked(const char16_t* units, qint64 j, qint64 limit) {
#if defined(__SSE2__)
    const __m128i lf = _mm_set1_epi16('\n'), cr = _mm_set1_epi16('\r'), backslash = _mm_set1_epi16('\\'), slash = _mm_set1_epi16('/');
    const __m128i open = _mm_set1_epi16('['), close = _mm_set1_epi16(']');
    // U+2028 and U+2029 differ in their last bit only.
    const __m128i separators = _mm_set1_epi16(0x2028), lastBit = _mm_set1_epi16(short(0xFFFE));
    for (; j + 8 <= limit; j += 8) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + j));
        const __m128i breaks = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi16(v, lf), _mm_cmpeq_epi16(v, cr)),
                                            _mm_cmpeq_epi16(_mm_and_si128(v, lastBit), separators));
        const __m128i marks = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi16(v, backslash), _mm_cmpeq_epi16(v, slash)),
                                           _mm_or_si128(_mm_cmpeq_epi16(v, open), _mm_cmpeq_epi16(v, close)));
        if (const int bits = _mm_movemask_epi8(_mm_or_si128(breaks, marks))) return j + std::countr_zero(unsigned(bits)) / 2;
    }
#endif
    for (; j < limit; ++j) {
        const char16_t u = units[j];
        if (isLineBreak(u) || u == u'\\' || u == u'/' || u == u'[' || u == u']') return j;
    }
    return limit;
}

bool isBlank(QChar c) { return c == u' ' || c == u'\t' || c == u'\f' || c == u'\v'; }

// Words after which an expression, not a division, follows.
bool wordPrecedesOperand(QStringView word) {
    static constexpr std::array<const char16_t*, 15> words{u"return", u"typeof", u"instanceof", u"in", u"of", u"new",
                                                           u"delete", u"void", u"throw", u"case", u"do", u"else",
                                                           u"yield", u"await", u"extends"};
    for (const char16_t* candidate : words)
        if (word == QStringView(candidate)) return true;
    return false;
}

// Nested template strings deeper than this count as unclosed: hostile text cannot make the
// nesting a read carries grow without bound.
constexpr int MaxNesting = 64;

}  // namespace

bool isWordCharacter(QChar c) {
    const char16_t u = c.unicode();
    if (u < 0x80) return (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9') || u == u'_' || u == u'$';
    return c.isLetterOrNumber();
}

qint64 lookBackStart(QStringView text, qint64 index) {
    qint64 i = std::min<qint64>(index, text.size()) - 1;
    while (i >= 0 && isBlank(text[i])) --i;
    if (i < 0) return -1;
    if (!isWordCharacter(text[i])) return i;
    while (i > 0 && isWordCharacter(text[i - 1])) --i;
    return i - 1;
}

bool operandMayStartAt(QStringView text, qint64 index, qint64 floor) {
    const qint64 low = std::max<qint64>(floor, 0);
    qint64 i = std::min<qint64>(index, text.size()) - 1;
    while (i >= low && isBlank(text[i])) --i;
    if (i < low) return true;
    const QChar c = text[i];
    if (isLineBreak(c.unicode())) return true;
    if (isWordCharacter(c)) {
        qint64 start = i;
        while (start > low && isWordCharacter(text[start - 1])) --start;
        return wordPrecedesOperand(text.sliced(start, i + 1 - start));
    }
    switch (c.unicode()) {
    case u')':
    case u']':
    case u'"':
    case u'\'':
    case u'`':
        return false;
    case u'+':
    case u'-':
        // "a++ / b": a postfix step ends an operand.
        return !(i > low && text[i - 1] == c);
    default:
        return true;
    }
}

qint64 endOfRegexLiteral(QStringView text, qint64 index, qint64 limit, qint64* read, qint64* sameUntil, qint64* closesAlikeUntil) {
    limit = std::min<qint64>(limit, text.size());
    bool inClass = false;
    qint64 j = index + 1;
    qint64 end = -1;
    qint64 classSlash = -1;
    // The last "[" or "]" read before classSlash: a scan begun at a slash passed inside a class
    // reads on outside one, and meets the state this one is in at the next of them.
    qint64 lastBracket = index;
    const char16_t* const units = text.utf16();
    for (; j < limit; ++j) {
        j = nextRegexLooked(units, j, limit);
        if (j >= limit) break;
        const char16_t u = units[j];
        if (isLineBreak(u)) break;
        if (u == u'\\') {
            if (j + 1 < limit && isLineBreak(text[j + 1].unicode())) {
                ++j;
                break;
            }
            ++j;
        } else if (inClass) {
            if (u == u']') inClass = false;
            else if (u == u'/' && classSlash < 0) classSlash = j;
            if ((u == u']' || u == u'[') && classSlash < 0) lastBracket = j;
        } else if (u == u'[') {
            inClass = true;
            if (classSlash < 0) lastBracket = j;
        } else if (u == u'/') {
            if (j == index + 1) break;
            // A scan begun at the slash right before this one would be empty.
            if (closesAlikeUntil) *closesAlikeUntil = classSlash >= 0 ? lastBracket : j - 1;
            ++j;
            while (j < limit && ((text[j] >= u'a' && text[j] <= u'z') || (text[j] >= u'A' && text[j] <= u'Z'))) ++j;
            end = j;
            break;
        }
    }
    // A scan cut off by limit would read on in a longer text.
    if (read) *read = j + 1;
    // The slashes it passed outside a class were escaped: a scan begun at one reads on from
    // the next character as this one did, and ends as it did. So does one begun at a slash
    // passed inside a class, once it meets a "[" or "]" (it enters a class, or this one leaves
    // it) before an unescaped slash; one that meets the class's unescaped slash first closes
    // there, as this one did not. Callers that try every slash of a line of megabytes with no
    // closing one (a long literal's escaped slashes) skip those that end as this one did.
    if (sameUntil) *sameUntil = end >= 0 ? -1 : classSlash >= 0 ? lastBracket : j;
    if (closesAlikeUntil && end < 0) *closesAlikeUntil = -1;
    return end;
}

qint64 endOfTemplateString(QStringView text, qint64 index, qint64 limit) {
    TemplateNesting nesting;
    qint64 resumable = 0;
    return readTemplate(text, index + 1, limit, nesting, &resumable);
}

qint64 readTemplate(QStringView text, qint64 from, qint64 limit, TemplateNesting& nesting, qint64* resumable) {
    limit = std::min<qint64>(limit, text.size());
    std::vector<qint64>& frames = nesting.frames;
    if (!frames.empty() && frames.front() == TemplateNesting::TooDeep) {
        *resumable = std::max(from, limit);
        return -1;
    }
    // The template strings open inside the outermost one.
    int depth = int(std::count(frames.begin(), frames.end(), TemplateNesting::Template));
    qint64 j = from;
    while (j < limit) {
        const char16_t u = text[j].unicode();
        const qint64 top = frames.empty() ? TemplateNesting::Template : frames.back();
        if (top == TemplateNesting::Template) {
            // A string's own text: a backslash escapes, "${" opens a hole.
            if (u == u'\\') {
                if (j + 1 >= limit) break;
                j += 2;
            } else if (u == u'`') {
                if (frames.empty()) {
                    *resumable = j + 1;
                    return j + 1;
                }
                frames.pop_back();
                --depth;
                ++j;
            } else if (u == u'$') {
                if (j + 1 >= limit) break;
                if (text[j + 1] == u'{') {
                    frames.push_back(0);
                    j += 2;
                } else {
                    ++j;
                }
            } else {
                ++j;
            }
        } else if (top == TemplateNesting::LineComment || top == TemplateNesting::BlockComment) {
            // A comment in a hole hides braces, quotes and backticks.
            if (top == TemplateNesting::LineComment) {
                if (isLineBreak(u)) frames.pop_back();
            } else if (u == u'*') {
                if (j + 1 >= limit) break;
                if (text[j + 1] == u'/') {
                    frames.pop_back();
                    ++j;
                }
            }
            ++j;
        } else if (top >= 0) {
            // A hole's code: its braces, its comments, its quoted strings, regular-expression
            // literals and template strings.
            if (u == u'/') {
                if (j + 1 >= limit) break;
                const char16_t next = text[j + 1].unicode();
                if (next == u'/' || next == u'*') {
                    frames.push_back(next == u'/' ? TemplateNesting::LineComment : TemplateNesting::BlockComment);
                    j += 2;
                    continue;
                }
                // As a script's own code reads it: a slash right after a slash begins none.
                if (!(j > 0 && text[j - 1] == u'/') && operandMayStartAt(text, j, 0)) {
                    qint64 read = 0;
                    const qint64 close = endOfRegexLiteral(text, j, limit, &read);
                    if (close > j) {
                        j = close;
                        continue;
                    }
                    // Cut off by limit: what follows it decides.
                    if (read > limit) break;
                }
            } else if (u == u'{') {
                ++frames.back();
            } else if (u == u'}') {
                if (frames.back() == 0) frames.pop_back();
                else --frames.back();
            } else if (u == u'"') {
                frames.push_back(TemplateNesting::DoubleQuoted);
            } else if (u == u'\'') {
                frames.push_back(TemplateNesting::SingleQuoted);
            } else if (u == u'`') {
                if (depth >= MaxNesting) {
                    frames.assign(1, TemplateNesting::TooDeep);
                    *resumable = limit;
                    return -1;
                }
                frames.push_back(TemplateNesting::Template);
                ++depth;
            }
            ++j;
        } else {
            // A quoted string inside a hole ends at its quote or its line.
            if (u == u'\\') {
                if (j + 1 >= limit) break;
                j += 2;
                continue;
            }
            if (u == (top == TemplateNesting::DoubleQuoted ? u'"' : u'\'') || isLineBreak(u)) frames.pop_back();
            ++j;
        }
    }
    *resumable = j;
    return -1;
}

namespace {

bool isLabelStart(QChar c) {
    const char16_t u = c.unicode();
    return (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || u == u'_' || u >= 0x80;
}

bool isLabelCharacter(QChar c) { return isLabelStart(c) || (c >= u'0' && c <= u'9'); }

}  // namespace

qint64 heredocBody(QStringView text, qint64 index, qint64 limit, QStringView* label, qint64* read) {
    limit = std::clamp<qint64>(limit, 0, text.size());
    qint64 i = index;
    auto none = [&]() -> qint64 {
        if (read) *read = std::min(i + 1, limit);
        return -1;
    };
    if (index < 0 || limit - index < 3 || text.sliced(index, 3) != u"<<<") return none();
    i = index + 3;
    while (i < limit && (text[i] == u' ' || text[i] == u'\t')) ++i;
    const QChar quote = i < limit && (text[i] == u'"' || text[i] == u'\'') ? text[i] : QChar();
    if (!quote.isNull()) ++i;
    const qint64 labelStart = i;
    if (i >= limit || !isLabelStart(text[i])) return none();
    while (i < limit && isLabelCharacter(text[i])) ++i;
    *label = text.sliced(labelStart, i - labelStart);
    if (!quote.isNull()) {
        if (i >= limit || text[i] != quote) return none();
        ++i;
    }
    if (i >= limit || (text[i] != u'\n' && text[i] != u'\r')) return none();
    return i + (text[i] == u'\r' && i + 1 < limit && text[i + 1] == u'\n' ? 2 : 1);
}

qint64 heredocClosesAt(QStringView text, qint64 lineStart, qint64 limit, QStringView label) {
    limit = std::clamp<qint64>(limit, 0, text.size());
    qint64 j = lineStart;
    while (j < limit && (text[j] == u' ' || text[j] == u'\t')) ++j;
    const qint64 after = j + label.size();
    if (after <= limit && text.sliced(j, label.size()) == label && (after == limit || !isLabelCharacter(text[after]))) return after;
    return -1;
}

qint64 endOfHeredoc(QStringView text, qint64 index, qint64 limit, qint64* read) {
    limit = std::clamp<qint64>(limit, 0, text.size());
    QStringView label;
    qint64 i = heredocBody(text, index, limit, &label, read);
    if (i < 0) return -1;
    // i stands at the start of each line of the body.
    while (i < limit) {
        if (const qint64 after = heredocClosesAt(text, i, limit, label); after >= 0) {
            if (read) *read = std::min(after + 1, limit);
            return after;
        }
        while (i < limit && text[i] != u'\n' && text[i] != u'\r') ++i;
        if (i < limit) i += text[i] == u'\r' && i + 1 < limit && text[i + 1] == u'\n' ? 2 : 1;
    }
    if (read) *read = limit;
    return limit;
}

}  // namespace QVScriptLiterals
