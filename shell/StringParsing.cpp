// Quote, escape and bracket tests inside markup and code text.
#include "shell/StringParsing.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <algorithm>

bool StringParsing::locationInQuotes(const QString& text, qint64 location, qint64 start, bool checkSingle) {
    const qint64 end = std::clamp<qint64>(location, 0, text.size());
    const qint64 from = std::clamp<qint64>(start, 0, text.size());
    if (from >= end) return false;
    // Backslashes just before the start still escape a quote at the start.
    qint64 backslashes = 0;
    for (qint64 i = from; i > 0 && text[i - 1] == QLatin1Char('\\'); --i) ++backslashes;
    qint64 doubles = 0, singles = 0;
    for (qint64 i = from; i < end; ++i) {
        const QChar c = text[i];
        if (c == QLatin1Char('\\')) {
            ++backslashes;
            continue;
        }
        const bool escaped = backslashes % 2 == 1;
        backslashes = 0;
        if (escaped) continue;
        if (c == QLatin1Char('"')) ++doubles;
        else if (c == QLatin1Char('\'')) ++singles;
    }
    return doubles % 2 == 1 || (checkSingle && singles % 2 == 1);
}

qint64 StringParsing::countOfInstancesOf(const QString& text, const QString& needle, QVRange range,
                                         QChar escape, bool anchored) {
    if (needle.isEmpty() || range.isNotFound()) return 0;
    const qint64 lower = std::clamp<qint64>(range.location, 0, text.size());
    qint64 end = std::clamp<qint64>(range.location + std::max<qint64>(range.length, 0), lower, text.size());
    const qint64 width = needle.size();
    qint64 count = 0;
    while (end - lower >= width) {
        qint64 at;
        if (anchored) {
            if (QStringView(text).mid(end - width, width) != needle) break;
            at = end - width;
        } else {
            at = text.lastIndexOf(needle, end - width);
            if (at < lower) break;
        }
        qint64 escapes = 0;
        if (!escape.isNull())
            while (at - escapes > lower && text[at - escapes - 1] == escape) ++escapes;
        if (escapes % 2 == 0) ++count;
        end = at - escapes;
    }
    return count;
}

bool StringParsing::characterIsEscapedAtIndex(const QString& text, qint64 index, QChar escape) {
    if (index <= 0 || index > text.size()) return false;
    qint64 run = 0;
    for (qint64 i = index; i > 0 && text[i - 1] == escape; --i) ++run;
    return run % 2 == 1;
}

qint64 StringParsing::closeBracketAfter(const QString& text, qint64 location) {
    qint64 depth = 0;
    for (qint64 i = std::max<qint64>(location, 0); i < text.size(); ++i) {
        if (text[i] == QLatin1Char('<')) {
            ++depth;
        } else if (text[i] == QLatin1Char('>')) {
            if (depth == 0) return i;
            --depth;
        }
    }
    return QVRange::NotFound;
}

namespace {

// The case-insensitive search of lastIndexIn(), quick for needles like the markers of embedded
// languages ("<script", "</style>") whose first character has no case: the candidates are the
// places where that character stands before characters that fold like the needle's second and
// third, looked for eight at a time; each is then compared as QStringView compares without case.
// Other needles take Qt's search.
qsizetype lastIndexIgnoringCase(QStringView haystack, QStringView needle) {
    const qsizetype m = needle.size();
    auto fallback = [&] { return haystack.lastIndexOf(needle, haystack.size() - m, Qt::CaseInsensitive); };
    if (m < 2 || haystack.size() < m) return fallback();
    const char16_t first = needle[0].unicode();
    // A two-character needle checks its second character twice.
    const char16_t thirdOfNeedle = m > 2 ? needle[2].unicode() : needle[1].unicode();
    const qsizetype thirdAt = m > 2 ? 2 : 1;
    if (first >= 0x80 || QChar(first).isLetter() || needle[1].unicode() >= 0x80 || thirdOfNeedle >= 0x80)
        return fallback();
    // Every character that folds like the needle's second and third: ASCII letters have their
    // other case, and "s" and "k" also the long s and the Kelvin sign.
    auto foldingLike = [](char16_t c, char16_t* like) {
        like[0] = like[1] = like[2] = c;
        if (!QChar(c).isLetter()) return;
        like[0] = QChar::toLower(c);
        like[1] = QChar::toUpper(c);
        like[2] = like[0] == u's' ? u'\u017F' : like[0] == u'k' ? u'\u212A' : like[0];
    };
    char16_t second[3], third[3];
    foldingLike(needle[1].unicode(), second);
    foldingLike(thirdOfNeedle, third);
    const char16_t* text = haystack.utf16();
    auto matchesAt = [&](qsizetype p) { return QStringView(text + p, m).compare(needle, Qt::CaseInsensitive) == 0; };
    qsizetype last = haystack.size() - m;  // the last place needle can start
#ifdef __SSE2__
    auto load = [&](qsizetype at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at)); };
    auto anyOf = [](__m128i x, const char16_t* like) {
        return _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi16(x, _mm_set1_epi16(qint16(like[0]))),
                                         _mm_cmpeq_epi16(x, _mm_set1_epi16(qint16(like[1])))),
                            _mm_cmpeq_epi16(x, _mm_set1_epi16(qint16(like[2]))));
    };
    const __m128i wantFirst = _mm_set1_epi16(qint16(first));
    while (last >= 7) {
        const qsizetype base = last - 7;  // places base .. last; base + thirdAt + 8 <= last + m <= size
        const __m128i candidates = _mm_and_si128(_mm_cmpeq_epi16(load(base), wantFirst),
                                                 _mm_and_si128(anyOf(load(base + 1), second), anyOf(load(base + thirdAt), third)));
        unsigned mask = unsigned(_mm_movemask_epi8(candidates));
        while (mask) {
            const int lane = (31 - __builtin_clz(mask)) / 2;
            if (matchesAt(base + lane)) return base + lane;
            mask &= ~(3u << (lane * 2));
        }
        last -= 8;
    }
#endif
    auto oneOf = [](char16_t c, const char16_t* like) { return c == like[0] || c == like[1] || c == like[2]; };
    for (qsizetype p = last; p >= 0; --p)
        if (text[p] == first && oneOf(text[p + 1], second) && oneOf(text[p + thirdAt], third) && matchesAt(p)) return p;
    return -1;
}

}  // namespace

qsizetype StringParsing::lastIndexIn(QStringView text, QStringView needle, Qt::CaseSensitivity cs) {
    if (needle.size() > text.size()) return -1;
    if (cs == Qt::CaseInsensitive) return lastIndexIgnoringCase(text, needle);
    return text.lastIndexOf(needle, text.size() - needle.size(), cs);
}
