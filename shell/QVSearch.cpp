// The search engine: literal and pattern matching, enumeration, template expansion and range
// replacement over strings and UTF-8 bytes.
#include "shell/QVSearch.h"

#include "platform/MainQueue.h"
#include "platform/QVRegex.h"
#include "shell/FileEncodings.h"
#include "shell/QVSearchEnumerator.h"
#include "shell/StringParsing.h"

#include <QFile>
#include <QVarLengthArray>

#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::vector<std::pair<char16_t, char16_t>>& foldsIntoAscii();

bool isAsciiDigit(QChar c) { return c >= u'0' && c <= u'9'; }

// Saturating accumulation of a decimal run, so "$99999999999" names a capture that no pattern
// has rather than wrapping round to one it has.
void appendDigit(qint64& n, int digit) {
    n = n > (std::numeric_limits<int>::max() - digit) / 10 ? qint64(std::numeric_limits<int>::max())
                                                            : n * 10 + digit;
}

// The integer at the start of the text: leading blanks skipped, an optional sign, then digits;
// 0 without digits. Saturates at the int limits.
int integerValue(QStringView text) {
    qsizetype i = 0;
    while (i < text.size() && text[i].isSpace())
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+'))
        negative = text[i++] == u'-';
    qint64 n = 0;
    for (; i < text.size() && isAsciiDigit(text[i]); ++i)
        appendDigit(n, text[i].unicode() - u'0');
    return int(negative ? -n : n);
}

// Walks a replacement template, handing its literal pieces and capture references, in order, to
// the two callbacks. Inserted capture text is never rescanned, so the walk depends on the
// template alone.
template <class Literal, class Capture>
void walkTemplate(QStringView t, Literal&& literal, Capture&& capture) {
    qsizetype i = 0;
    qsizetype pieceStart = 0;
    auto flush = [&](qsizetype end) {
        if (end > pieceStart)
            literal(t.sliced(pieceStart, end - pieceStart));
    };
    while (i < t.size()) {
        const QChar c = t[i];
        if (c == u'$') {
            flush(i);
            qsizetype j = i + 1;
            qint64 n = 0;
            for (; j < t.size() && isAsciiDigit(t[j]); ++j)
                appendDigit(n, t[j].unicode() - u'0');
            capture(int(n));
            i = pieceStart = j;
        } else if (c == u'(') {
            const qsizetype close = t.indexOf(u')', i + 1);
            if (close < 0)
                break;  // no closing parenthesis: the rest stays as it is
            flush(i);
            capture(integerValue(t.sliced(i + 1, close - i - 1)));
            i = pieceStart = close + 1;
        } else if (c == u'\\') {
            // The backslash goes; the character after it stays and is not interpreted.
            flush(i);
            pieceStart = i + 1;
            i += 2;
        } else {
            ++i;
        }
    }
    flush(t.size());
}

// The text of capture n of a match over a subject of the given size, as a range inside it;
// empty for a capture that took no part, that the pattern lacks, or that starts at the end.
QVRange captureRange(const QVRegexMatch& match, int n, qint64 size) {
    const QVRange r = match.rangeForCapture(n);
    if (r.isNotFound() || r.location < 0 || r.location >= size || r.length <= 0)
        return QVRange(0, 0);
    return QVRange(r.location, std::min(r.length, size - r.location));
}

// The part of [0, size) a range covers; false when it starts outside.
bool clampToSize(QVRange range, qint64 size, QVRange& clamped) {
    if (range.isNotFound() || range.location < 0 || range.location > size || range.length < 0)
        return false;
    clamped = QVRange(range.location, std::min(range.length, size - range.location));
    return true;
}

// Whether a range (in the text as it was) may still be applied: it lies inside the original
// text and does not reach back into the text an earlier replacement produced. Ranges are
// applied to the original in one pass, which gives exactly the result of replacing one by one
// while shifting later ranges by the change in length.
bool fits(QVRange r, qint64 originalSize, qint64 replacedEnd) {
    return !r.isNotFound() && r.location >= replacedEnd && r.length >= 0 &&
           r.length <= originalSize - r.location;
}

// The bytes of a regular file; nothing for anything else (a folder, a pipe, a device) or when it
// cannot be read. A pipe is never waited on.
std::optional<QByteArray> readRegularFile(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    struct stat info;
    std::optional<QByteArray> bytes;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        QByteArray data;
        data.resize(qsizetype(info.st_size) + 1);  // one spare byte tells a grown file at once
        qsizetype size = 0;
        for (;;) {
            if (size == data.size())
                data.resize(data.size() * 2 + 4096);
            const ssize_t got = ::read(fd, data.data() + size, size_t(data.size() - size));
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                break;
            if (got == 0) {
                data.resize(size);
                bytes = std::move(data);
                break;
            }
            size += got;
        }
    }
    ::close(fd);
    return bytes;
}

// Literal text the raw bytes can rule out before any decoding: printable ASCII, tabs and line
// breaks. Every encoding Qorvel reads except UTF-16 maps such characters to themselves, one
// byte each, and gives them for no other bytes.
bool isPlainAscii(QStringView text) {
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if (!((u >= 0x20 && u < 0x7F) || u == u'\t' || u == u'\n' || u == u'\r'))
            return false;
    }
    return true;
}

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? char(c + ('a' - 'A')) : c; }

// Whether an ASCII needle occurs in the bytes, ASCII letters compared without case: Horspool
// over folded bytes.
bool containsCaseless(const char* data, qsizetype size, const QByteArray& needle) {
    const qsizetype m = needle.size();
    if (m == 0 || m > size)
        return m == 0;
    QByteArray folded(m, Qt::Uninitialized);
    for (qsizetype i = 0; i < m; ++i)
        folded[i] = lowerAscii(needle[i]);
    qsizetype skip[256];
    for (qsizetype& s : skip)
        s = m;
    for (qsizetype i = 0; i + 1 < m; ++i) {
        skip[quint8(folded[i])] = m - 1 - i;
        const char upper = folded[i] >= 'a' && folded[i] <= 'z' ? char(folded[i] - ('a' - 'A')) : folded[i];
        skip[quint8(upper)] = m - 1 - i;
    }
    const char last = folded[m - 1];
    for (qsizetype at = 0; at <= size - m;) {
        const char c = lowerAscii(data[at + m - 1]);
        if (c == last) {
            qsizetype i = m - 2;
            while (i >= 0 && lowerAscii(data[at + i]) == folded[i])
                --i;
            if (i < 0)
                return true;
        }
        at += skip[quint8(data[at + m - 1])];
    }
    return false;
}

// False only when the text decoded from the bytes, in whatever encoding, cannot hold a match
// of the literal; true whenever it is not sure.
bool mayHoldLiteral(const QByteArray& bytes, const QString& literal, bool caseSensitive) {
    if (!isPlainAscii(literal))
        return true;
    // NUL bytes: perhaps UTF-16, where ASCII characters are not single bytes.
    if (std::memchr(bytes.constData(), 0, size_t(bytes.size())))
        return true;
    const QByteArray needle = literal.toLatin1();
    if (caseSensitive)
        return ::memmem(bytes.constData(), size_t(bytes.size()), needle.constData(), size_t(needle.size())) != nullptr;
    if (containsCaseless(bytes.constData(), bytes.size(), needle))
        return true;
    // A few non-ASCII letters fold to ASCII ones (the Kelvin sign to "k", the long s to "s"):
    // with one of those in the needle, any non-ASCII byte may be one of them.
    for (const auto& [from, to] : foldsIntoAscii()) {
        if (needle.contains(char(to)) || needle.contains(char(QChar::toUpper(to)))) {
            for (char c : bytes)
                if (quint8(c) >= 0x80)
                    return true;
        }
    }
    return false;
}

bool hasTemplateMarks(QStringView t) {
    for (QChar c : t)
        if (c == u'$' || c == u'(' || c == u'\\')
            return true;
    return false;
}

bool isAsciiOnly(QStringView text) {
    for (QChar c : text)
        if (c.unicode() >= 0x80)
            return false;
    return true;
}

// The characters beyond ASCII that Qt's case-insensitive comparison takes for ASCII letters (it
// compares case-folded characters: the Kelvin sign folds to "k", the long s to "s"), each with
// the letter it folds to. Taken from Qt itself, so that the search below always agrees with it.
const std::vector<std::pair<char16_t, char16_t>>& foldsIntoAscii() {
    static const auto table = [] {
        std::vector<std::pair<char16_t, char16_t>> t;
        for (char32_t u = 0x80; u < 0x10000; ++u) {
            if (u >= 0xD800 && u < 0xE000)
                continue;
            const char32_t folded = QChar::toCaseFolded(u);
            if (folded < 0x80)
                t.emplace_back(char16_t(u), char16_t(folded));
        }
        return t;
    }();
    return table;
}

// A text unit as a case-insensitive comparison with ASCII sees it: ASCII letters in lower case,
// the few characters that fold into ASCII as their folds, everything else unchanged (and so
// unequal to every ASCII character; the units of a surrogate pair included, since no character
// beyond the BMP folds into ASCII).
inline char16_t foldForAscii(char16_t u, const std::vector<std::pair<char16_t, char16_t>>& folds) {
    if (u < 0x80)
        return u >= u'A' && u <= u'Z' ? char16_t(u + (u'a' - u'A')) : u;
    for (const auto& [from, to] : folds)
        if (u == from)
            return to;
    return u;
}

// The first occurrence of an ASCII needle, compared as Qt's case-insensitive indexOf compares
// (Horspool over folded units), or -1. Several times faster than Qt's general folding search.
qsizetype indexOfAsciiCaseless(QStringView text, QStringView needle) {
    const qsizetype m = needle.size();
    const qsizetype n = text.size();
    if (m == 0 || m > n)
        return m == 0 ? 0 : -1;
    const auto& folds = foldsIntoAscii();
    QVarLengthArray<char16_t, 64> folded(m);
    for (qsizetype i = 0; i < m; ++i)
        folded[i] = foldForAscii(needle[i].unicode(), folds);
    qsizetype skip[128];
    for (qsizetype& s : skip)
        s = m;
    for (qsizetype i = 0; i + 1 < m; ++i)
        skip[folded[i]] = m - 1 - i;
    const char16_t last = folded[m - 1];
    const char16_t* units = text.utf16();
    for (qsizetype at = 0; at <= n - m;) {
        const char16_t c = foldForAscii(units[at + m - 1], folds);
        if (c == last) {
            qsizetype i = m - 2;
            while (i >= 0 && foldForAscii(units[at + i], folds) == folded[i])
                --i;
            if (i < 0)
                return at;
        }
        at += c < 0x80 ? skip[c] : m;
    }
    return -1;
}

// The first occurrence of a needle of two units or more, unit for unit, or -1. Places where both
// the first and the last unit of the needle match are found eight units at a time, and only those
// are compared whole.
qsizetype indexOfExact(QStringView text, QStringView needle) {
    const qsizetype m = needle.size();
    const qsizetype n = text.size();
    if (m > n)
        return -1;
    const char16_t* t = text.utf16();
    const char16_t* p = needle.utf16();
    qsizetype at = 0;
#if defined(__SSE2__)
    const __m128i first = _mm_set1_epi16(short(p[0]));
    const __m128i last = _mm_set1_epi16(short(p[m - 1]));
    for (; at + 8 + m - 1 <= n; at += 8) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t + at));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t + at + m - 1));
        unsigned bits = unsigned(_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi16(a, first), _mm_cmpeq_epi16(b, last))));
        while (bits) {
            const int bit = __builtin_ctz(bits);  // two bits per unit
            const qsizetype candidate = at + bit / 2;
            if (std::memcmp(t + candidate + 1, p + 1, size_t(m - 2) * sizeof(char16_t)) == 0)
                return candidate;
            bits &= ~(3u << bit);
        }
    }
#endif
    for (; at + m <= n; ++at)
        if (t[at] == p[0] && std::memcmp(t + at, p, size_t(m) * sizeof(char16_t)) == 0)
            return at;
    return -1;
}

}  // namespace

QVSearch QVSearch::withExpression(std::shared_ptr<const QVRegex> expression) {
    QVSearch search;
    search._regex = std::move(expression);
    return search;
}

QVSearch QVSearch::withExpressionString(const QString& pattern, bool caseSensitive) {
    QVSearch search;
    search._regex = QVRegex::create(pattern, caseSensitive ? CaseSensitivePatternOptions
                                                           : CaseInsensitivePatternOptions);
    search._caseSensitive = caseSensitive;
    return search;
}

QVSearch QVSearch::withSearchString(const QString& text) {
    QVSearch search;
    search._search = text;
    return search;
}

void QVSearch::setSearchExpression(const QString& pattern) {
    if (pattern.isNull()) {
        _regex.reset();
        return;
    }
    if (_regex && _regex->pattern() == pattern)
        return;
    _regex = QVRegex::create(pattern);
}

void QVSearch::setSearchString(const QString& text) {
    if (_regex) {
        if (_regex->pattern() != text)
            _regex = QVRegex::create(text);
        return;
    }
    _search = text;
}

QString QVSearch::searchString() const { return _regex ? _regex->pattern() : _search; }

bool QVSearch::validRegexSearch(const QString& pattern) { return QVRegex::validPattern(pattern); }

bool QVSearch::validRegexReplace(const QString&) { return true; }

QVRange QVSearch::literalMatch(QStringView text, qint64 base, bool reverse) const {
    if (_search.isEmpty() || text.size() < _search.size())
        return QVRange();
    if (!reverse && (_caseSensitive ? _search.size() > 1 : isAsciiOnly(_search))) {
        const qsizetype at = _caseSensitive ? indexOfExact(text, _search) : indexOfAsciiCaseless(text, _search);
        return at < 0 ? QVRange() : QVRange(base + at, _search.size());
    }
    const Qt::CaseSensitivity cs = _caseSensitive ? Qt::CaseSensitive : Qt::CaseInsensitive;
    const qsizetype at = reverse ? StringParsing::lastIndexIn(text, _search, cs)
                                 : text.indexOf(QStringView(_search), 0, cs);
    return at < 0 ? QVRange() : QVRange(base + at, _search.size());
}

QVRange QVSearch::firstMatchInString(const QString& string) const {
    if (_regex) {
        const auto match = _regex->copyMatchForString(string);
        return match ? match->rangeForCapture(0) : QVRange();
    }
    return literalMatch(string, 0, false);
}

QVRange QVSearch::firstMatchInString(const QString& string, QVRange range, bool reverse, QVError* error) const {
    QVRange r;
    if (!clampToSize(range, string.size(), r))
        return QVRange();
    if (_regex) {
        const auto match = _regex->copyMatchForString(string, r, quint32(_options), error);
        return match ? match->rangeForCapture(0) : QVRange();
    }
    return literalMatch(QStringView(string).sliced(r.location, r.length), r.location, reverse);
}

QVRange QVSearch::nextMatchInString(const QString& string, qint64 start, bool nonEmptyAtStart,
                                    QVError* error) const {
    if (start < 0 || start > string.size())
        return QVRange();
    if (_regex) {
        // The retry bit is the engine's own, never the caller's.
        const quint32 options = (quint32(_options) & ~QVRegex::MatchNonEmptyAtStart) |
                                (nonEmptyAtStart ? QVRegex::MatchNonEmptyAtStart : 0u);
        const auto match = _regex->copyMatchForString(string, QVRange(0, string.size()), options, start, error);
        return match ? match->rangeForCapture(0) : QVRange();
    }
    return literalMatch(QStringView(string).sliced(start), start, false);
}

QVRange QVSearch::nextMatchInUTF8Data(const QByteArray& data, qint64 start, bool nonEmptyAtStart,
                                      QVError* error) const {
    if (!_regex || start < 0 || start > data.size())
        return QVRange();
    const quint32 options = nonEmptyAtStart ? QVRegex::MatchNonEmptyAtStart : QVRegex::MatchDefault;
    const auto match = _regex->copyMatchForUTF8Data(data, QVRange(0, data.size()), options, start, error);
    return match ? match->rangeForCapture(0) : QVRange();
}

bool QVSearch::matchesString(const QString& string) const {
    return !firstMatchInString(string).isNotFound();
}

QList<QVSearchResult> QVSearch::findAllForString(const QString& string, bool asResults, QVError* error) const {
    QList<QVSearchResult> found;
    if (!canMatch())
        return found;
    QVSearchEnumerator matches(*this, string);
    matches.setReturnJustRanges(!asResults);
    while (auto next = matches.nextObject())
        found.append(std::move(*next));
    if (matches.error())
        qvSetError(error, matches.error());
    return found;
}

QList<QVSearchResult> QVSearch::findAllForTextView(const QVFullTextSource::Handle& view, bool asResults,
                                                   QVError* error) const {
    if (!canMatch())
        return {};
    QString text;
    MainQueue::postAndWait([&text, view] {
        if (QVFullTextSource* source = view.get())
            source->fillStringWithFullString(text);
    });
    return findAllForString(text, asResults, error);
}

QList<QVSearchResult> QVSearch::findAllForPath(const QString& path, QVStringEncoding* encoding,
                                              bool asResults, QVError* error) const {
    if (!canMatch())
        return {};
    const std::optional<QByteArray> bytes = readRegularFile(path);
    if (!bytes)
        return {};
    // Most files of a multi-file find hold no match: for a literal the bytes tell, before the
    // encoding is even detected.
    if (!_regex && !mayHoldLiteral(*bytes, _search, _caseSensitive))
        return {};
    // Detection on the bytes in hand (the file's name, then its declarations or byte-order
    // mark, then the default), as reading the file would do, so the file is read once.
    QVStringEncoding chosen = encoding ? *encoding : 0;
    if (!chosen)
        chosen = FileEncodings::encodingFromFileName(path);
    if (!chosen)
        chosen = FileEncodings::encodingFromContents(*bytes);
    if (!chosen)
        chosen = FileEncodings::defaultEncoding();
    if (encoding)
        *encoding = chosen;
    // A pattern is matched over UTF-8 bytes by the same rules as over the decoded text, so
    // when the text is exactly those bytes decoded, a file without a match needs no decoding.
    // (The match goes first: a file with a match needs no validity check here, since decoding
    // checks the bytes anyway; so does a pattern too complex for the bytes, to report it.)
    QVError bytesError;
    if (_regex && chosen == TextEncoding::UTF8 && !bytes->startsWith("\xEF\xBB\xBF") &&
        !_regex->copyMatchForUTF8Data(*bytes, QVRange(0, bytes->size()), &bytesError) && !bytesError &&
        bytes->isValidUtf8())
        return {};
    const std::optional<QString> text = FileEncodings::createWithData(*bytes, path, &chosen);
    if (encoding)
        *encoding = chosen;
    return text ? findAllForString(*text, asResults, error) : QList<QVSearchResult>();
}

QVRange QVSearch::firstMatchInUTF8Data(const QByteArray& data, QVRange range, QVError* error) const {
    return firstMatchInUTF8Data(data.constData(), data.size(), range, error);
}

QVRange QVSearch::firstMatchInUTF8Data(const char* bytes, qint64 size, QVRange range, QVError* error) const {
    QVRange r;
    if (!_regex || !clampToSize(range, size, r))
        return QVRange();
    const auto match = _regex->copyMatchForUTF8Data(bytes, size, r, error);
    return match ? match->rangeForCapture(0) : QVRange();
}

QList<QVSearchResult> QVSearch::findAllForUTF8Data(const QByteArray& data, bool, QVError* error) const {
    QList<QVSearchResult> found;
    if (!_regex)
        return found;
    QVSearchEnumerator matches(*this, data);
    while (auto next = matches.nextObject())
        found.append(std::move(*next));
    if (matches.error())
        qvSetError(error, matches.error());
    return found;
}

QString QVSearch::replacementForString(const QString& matched, const QString& replaceString) const {
    // A template without "$", "(" or a backslash comes out unchanged whatever the captures are.
    if (!hasTemplateMarks(replaceString))
        return replaceString;
    const std::optional<QVRegexMatch> match = _regex ? _regex->copyMatchForString(matched) : std::nullopt;
    if (!match)
        return replaceString;

    QString result;
    result.reserve(replaceString.size() + matched.size());
    walkTemplate(
        replaceString, [&result](QStringView piece) { result.append(piece); },
        [&](int n) {
            const QVRange r = captureRange(*match, n, matched.size());
            result.append(QStringView(matched).sliced(r.location, r.length));
        });
    return result;
}

QString QVSearch::replacementForString(const QString& matched) const {
    return replacementForString(matched, _replace);
}

qsizetype QVSearch::replaceRanges(const QList<QVRange>& ranges, QString& string, bool doubleCheck) const {
    if (ranges.isEmpty())
        return 0;
    const QString original = string;
    const qint64 size = original.size();
    QString result;
    qint64 copied = 0;  // end of the original text already carried into the result
    qsizetype count = 0;
    for (const QVRange& r : ranges) {
        if (!fits(r, size, copied))
            break;
        const QString matched = original.mid(r.location, r.length);
        if (doubleCheck && !matchesString(matched))
            continue;
        if (count == 0)
            result.reserve(size);
        result.append(QStringView(original).sliced(copied, r.location - copied));
        result.append(replacementForString(matched));
        copied = r.end();
        ++count;
    }
    if (count > 0) {
        result.append(QStringView(original).sliced(copied));
        string = std::move(result);
    }
    return count;
}

qsizetype QVSearch::replaceAllInString(QString& string, QVError* error) const {
    QVError failed;
    QList<QVRange> ranges;
    for (const QVSearchResult& result : findAllForString(string, false, &failed))
        ranges.append(result.range());
    if (failed) {
        qvSetError(error, failed);
        return 0;
    }
    return replaceRanges(ranges, string);
}

QByteArray QVSearch::replacementForUTF8Bytes(const char* bytes, qint64 length) const {
    const std::optional<QVRegexMatch> match =
        _regex && hasTemplateMarks(_replace) && length >= 0 && (bytes || length == 0)
            ? _regex->copyMatchForUTF8Data(bytes, length, QVRange(0, length))
            : std::nullopt;
    if (!match)
        return _replace.toUtf8();

    QByteArray result;
    walkTemplate(
        _replace, [&result](QStringView piece) { result.append(piece.toUtf8()); },
        [&](int n) {
            const QVRange r = captureRange(*match, n, length);
            result.append(bytes + r.location, r.length);
        });
    return result;
}

qsizetype QVSearch::replaceRanges(const QList<QVRange>& ranges, QByteArray& data) const {
    if (ranges.isEmpty())
        return 0;
    const QByteArray original = data;
    const qint64 size = original.size();
    QByteArray result;
    qint64 copied = 0;
    qsizetype count = 0;
    for (const QVRange& r : ranges) {
        if (!fits(r, size, copied))
            break;
        if (count == 0)
            result.reserve(size);
        result.append(original.constData() + copied, r.location - copied);
        result.append(replacementForUTF8Bytes(original.constData() + r.location, r.length));
        copied = r.end();
        ++count;
    }
    if (count > 0) {
        result.append(original.constData() + copied, size - copied);
        data = std::move(result);
    }
    return count;
}

qsizetype QVSearch::replaceAllInUTF8Data(QByteArray& data, QVError* error) const {
    QVError failed;
    QList<QVRange> ranges;
    for (const QVSearchResult& result : findAllForUTF8Data(data, false, &failed))
        ranges.append(result.range());
    if (failed) {
        qvSetError(error, failed);
        return 0;
    }
    return replaceRanges(ranges, data);
}
