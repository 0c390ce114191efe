// The search engine: literal and pattern matching, enumeration, template expansion and range
// replacement over strings and UTF-8 bytes.
#include "shell/QVSearch.h"

#include "platform/FileName.h"
#include "platform/MainQueue.h"
#include "platform/QVRegex.h"
#include "shell/FileEncodings.h"
#include "shell/QVSearchEnumerator.h"
#include "shell/StringParsing.h"

#include <QFile>
#include <QVarLengthArray>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__SSE2__)
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

// How common a byte is in text and code, 0 for the rarest: the candidates of a literal are the
// places where its two least common bytes stand, so that few places are compared whole.
constexpr auto kCommonness = [] {
    std::array<quint8, 256> rank{};
    constexpr char kCommonLast[] = "zq$j>kx<*9876543210}{:vwyb'\"_-)(=;,.gfmpu\ncdhlrsnioate ";
    for (size_t i = 0; i + 1 < sizeof kCommonLast; ++i)
        rank[quint8(kCommonLast[i])] = quint8(i + 1);
    return rank;
}();
int commonness(char c) { return kCommonness[quint8(c)]; }

// Finds a plain-ASCII literal in the bytes of a file, before any decoding, and tells what else the
// bytes hold: text decoded from bytes, in whatever encoding, can hold a match only if the bytes
// hold the literal (ASCII letters compared without case when asked), or a NUL byte (perhaps
// UTF-16, where ASCII characters are not single bytes), or, for a caseless needle with a letter
// that a character beyond ASCII folds into (the Kelvin sign into "k", the long s into "s"), any
// byte beyond ASCII. One pass does it all: sixteen places at a time (sixty-four with AVX2), each
// compared at the needle's two least common bytes, while the bytes are looked at for NULs and
// bytes beyond ASCII.
std::atomic<quint64>& foldScannedBytes() {
    static std::atomic<quint64> bytes{0};
    return bytes;
}

class LiteralPrefilter {
public:
    // What a scan found so far, fed the bytes of a file as they arrive.
    struct Scan {
        std::vector<qint64>* starts = nullptr;  // byte offsets of the matches, in order
        size_t next = 0;                        // the first place not yet examined
        size_t free = 0;                        // a match may start here or later (past the last)
        bool nul = false;
        bool high = false;
    };

    LiteralPrefilter(const QString& literal, bool caseSensitive) : _literal(literal), _caseSensitive(caseSensitive) {
        if (literal.isEmpty() || !isPlainAscii(literal))
            return;
        _needle = literal.toLatin1();
        if (!caseSensitive) {
            for (char& c : _needle)
                c = lowerAscii(c);
            for (const auto& [from, to] : foldsIntoAscii()) {
                if (!_needle.contains(char(to)))
                    continue;
                _highBytesMayMatch = true;
                _foldingSequences.push_back(QString(QChar(from)).toUtf8());
            }
        }
        for (qsizetype i = 1; i < _needle.size(); ++i) {
            const int c = commonness(_needle[i]);
            if (c < commonness(_needle[_rare[0]]))
                _rare[0] = i;
        }
        _rare[1] = _rare[0] == 0 && _needle.size() > 1 ? 1 : 0;
        for (qsizetype i = 0; i < _needle.size(); ++i)
            if (i != _rare[0] && commonness(_needle[i]) < commonness(_needle[_rare[1]]))
                _rare[1] = i;
        _usable = true;
    }
    bool usable() const { return _usable; }
    bool isFor(const QString& literal, bool caseSensitive) const { return _caseSensitive == caseSensitive && _literal == literal; }
    size_t overlap() const { return size_t(_needle.size()) - 1; }
    size_t length() const { return size_t(_needle.size()); }

    // Examines the places of d[0, n) from scan.next on, as far as the bytes in hand allow; with
    // final, n is the end and every place is examined.
    void scan(const char* d, size_t n, Scan& s, bool final) const {
        const size_t m = size_t(_needle.size());
        size_t at = s.next;
#if defined(__x86_64__)
        static const bool avx2 = __builtin_cpu_supports("avx2");
        if (avx2)
            at = _caseSensitive ? scan64<false>(d, n, at, s) : scan64<true>(d, n, at, s);
#endif
#if defined(__SSE2__)
        // A letter of a caseless needle matches both cases: a byte with the 0x20 bit set is
        // compared with the lower case (for a letter only those two bytes give it).
        const char c0 = _needle[_rare[0]], c1 = _needle[_rare[1]];
        const __m128i b0 = _mm_set1_epi8(c0), b1 = _mm_set1_epi8(c1);
        const __m128i f0 = _mm_set1_epi8(foldMask(c0)), f1 = _mm_set1_epi8(foldMask(c1));
        const __m128i zero = _mm_setzero_si128();
        __m128i nul = zero, high = zero;
        const size_t o0 = size_t(_rare[0]), o1 = size_t(_rare[1]);
        for (; at + 16 + m - 1 <= n; at += 16) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + at));
            nul = _mm_or_si128(nul, _mm_cmpeq_epi8(x, zero));
            high = _mm_or_si128(high, x);
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + at + o0));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + at + o1));
            unsigned bits = unsigned(_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(_mm_or_si128(a, f0), b0),
                                                                     _mm_cmpeq_epi8(_mm_or_si128(b, f1), b1))));
            for (; bits; bits &= bits - 1)
                take(d, at + unsigned(__builtin_ctz(bits)), s);
        }
        s.nul = s.nul || _mm_movemask_epi8(nul) != 0;
        s.high = s.high || _mm_movemask_epi8(high) != 0;
#endif
        if (final) {
            for (; at < n; ++at) {
                s.nul = s.nul || d[at] == 0;
                s.high = s.high || quint8(d[at]) >= 0x80;
                if (at + m <= n)
                    take(d, at, s);
            }
        }
        s.next = at;
    }
    // Whether a file whose bytes were scanned may hold a match: a match, or bytes that may decode
    // to one.
    bool mayHold(const Scan& s) const { return !s.starts->empty() || s.nul || (_highBytesMayMatch && s.high); }
    // Whether a match over d, valid UTF-8, is a match over its decoded text: it is unless d holds
    // one of the characters beyond ASCII that fold into a letter of the needle.
    bool exactOverUTF8(const char* d, size_t n) const {
        // Nothing folds into a case-sensitive needle, nor into most caseless ones.
        if (_foldingSequences.empty())
            return true;
        foldScannedBytes().fetch_add(quint64(n), std::memory_order_relaxed);
        size_t at = 0;
#if defined(__SSE2__)
        // Sixteen places at a time where a sequence's first two bytes stand; the rest is checked
        // at those places only (the two bytes are rare in text: a memmem per sequence cost more
        // than the search itself).
        for (const QByteArray& sequence : _foldingSequences)
            Q_ASSERT(sequence.size() >= 2);
        for (; at + 17 <= n; at += 16) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + at));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + at + 1));
            __m128i hit = _mm_setzero_si128();
            for (const QByteArray& sequence : _foldingSequences)
                hit = _mm_or_si128(hit, _mm_and_si128(_mm_cmpeq_epi8(a, _mm_set1_epi8(sequence[0])),
                                                      _mm_cmpeq_epi8(b, _mm_set1_epi8(sequence[1]))));
            for (unsigned bits = unsigned(_mm_movemask_epi8(hit)); bits; bits &= bits - 1)
                if (holdsSequenceAt(d, n, at + unsigned(__builtin_ctz(bits))))
                    return false;
        }
#endif
        for (; at < n; ++at)
            if (holdsSequenceAt(d, n, at))
                return false;
        return true;
    }

private:
    char foldMask(char c) const { return char(!_caseSensitive && c >= 'a' && c <= 'z' ? 0x20 : 0); }

#if defined(__x86_64__)
    // The same sixty-four places at a time, where the processor can; answers the first place
    // left for the loops after it. NULs and bytes beyond ASCII show in the least and greatest
    // byte seen.
    __attribute__((target("avx2"))) static __m256i load32(const char* p) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    }
    template <bool Caseless>
    __attribute__((target("avx2"))) size_t scan64(const char* d, size_t n, size_t at, Scan& s) const {
        const size_t m = size_t(_needle.size()), o0 = size_t(_rare[0]), o1 = size_t(_rare[1]);
        const char c0 = _needle[_rare[0]], c1 = _needle[_rare[1]];
        const __m256i b0 = _mm256_set1_epi8(c0), b1 = _mm256_set1_epi8(c1);
        const __m256i f0 = _mm256_set1_epi8(foldMask(c0)), f1 = _mm256_set1_epi8(foldMask(c1));
        __m256i least = _mm256_set1_epi8(-1), greatest = _mm256_setzero_si256();
        for (; at + 64 + m - 1 <= n; at += 64) {
            const __m256i x = load32(d + at), y = load32(d + at + 32);
            least = _mm256_min_epu8(least, _mm256_min_epu8(x, y));
            greatest = _mm256_max_epu8(greatest, _mm256_max_epu8(x, y));
            __m256i x0 = load32(d + at + o0), x1 = load32(d + at + o1);
            __m256i y0 = load32(d + at + 32 + o0), y1 = load32(d + at + 32 + o1);
            if constexpr (Caseless) {
                x0 = _mm256_or_si256(x0, f0), x1 = _mm256_or_si256(x1, f1);
                y0 = _mm256_or_si256(y0, f0), y1 = _mm256_or_si256(y1, f1);
            }
            const __m256i lo = _mm256_and_si256(_mm256_cmpeq_epi8(x0, b0), _mm256_cmpeq_epi8(x1, b1));
            const __m256i hi = _mm256_and_si256(_mm256_cmpeq_epi8(y0, b0), _mm256_cmpeq_epi8(y1, b1));
            if (_mm256_testz_si256(_mm256_or_si256(lo, hi), _mm256_or_si256(lo, hi)))
                continue;
            quint64 bits = quint64(unsigned(_mm256_movemask_epi8(lo))) | quint64(unsigned(_mm256_movemask_epi8(hi))) << 32;
            for (; bits; bits &= bits - 1)
                take(d, at + unsigned(__builtin_ctzll(bits)), s);
        }
        s.nul = s.nul || !_mm256_testz_si256(_mm256_cmpeq_epi8(least, _mm256_setzero_si256()), _mm256_set1_epi8(-1));
        s.high = s.high || _mm256_movemask_epi8(greatest) != 0;
        return at;
    }
#endif

    // A match at a candidate place is kept unless it overlaps the match before it.
    void take(const char* d, size_t at, Scan& s) const {
        if (at >= s.free && matchesAt(d + at)) {
            s.starts->push_back(qint64(at));
            s.free = at + size_t(_needle.size());
        }
    }

    bool holdsSequenceAt(const char* d, size_t n, size_t at) const {
        for (const QByteArray& sequence : _foldingSequences)
            if (at + size_t(sequence.size()) <= n && std::memcmp(d + at, sequence.constData(), size_t(sequence.size())) == 0)
                return true;
        return false;
    }

    bool matchesAt(const char* at) const {
        const char* p = _needle.constData();
        if (_caseSensitive) {
            for (qsizetype i = 0; i < _needle.size(); ++i)
                if (at[i] != p[i])
                    return false;
            return true;
        }
        for (qsizetype i = 0; i < _needle.size(); ++i)
            if (lowerAscii(at[i]) != p[i])
                return false;
        return true;
    }

    QString _literal;
    QByteArray _needle;  // in lower case when caseless
    std::vector<QByteArray> _foldingSequences;  // UTF-8 of the characters folding into its letters
    qsizetype _rare[2] = {0, 0};  // the places of its two least common bytes (one for one byte)
    bool _caseSensitive;
    bool _highBytesMayMatch = false;
    bool _usable = false;
};

// The rest of an open regular file from where it stands, in one buffer; nothing when it cannot be
// read.
// A first block holding a NUL is a binary file's, unless a UTF-16 byte-order mark says the
// NULs are half its characters: the rule other fast searchers keep, decided without the rest.
constexpr qint64 kFirstBlock = 64 * 1024;
bool looksBinary(const char* bytes, qint64 size) {
    size = std::min(size, kFirstBlock);
    if (size >= 2 && ((quint8(bytes[0]) == 0xFF && quint8(bytes[1]) == 0xFE) || (quint8(bytes[0]) == 0xFE && quint8(bytes[1]) == 0xFF)))
        return false;
    return std::memchr(bytes, 0, size_t(size)) != nullptr;
}

std::atomic<quint64> decodedBytes{0};
std::atomic<quint64> readBytes{0};
std::atomic<quint64> bytesGoneOverAgain{0};

// The file to its end; nothing when it cannot be read or, with binary given, when its first
// block is a binary file's (then *binary is set and the rest is never read). With a scan, the
// bytes are handed to it as they arrive, a piece at a time while they are still in the cache.
constexpr qint64 kKept = 16 * 1024 * 1024;
// Why the last read of this thread's gave up part-way (an errno), 0 when it did not.
thread_local int readFailure = 0;
std::optional<QByteArray> readToEnd(int fd, qint64 expected, bool* binary = nullptr,
                                    const LiteralPrefilter* filter = nullptr, LiteralPrefilter::Scan* scan = nullptr) {
    // A buffer kept from file to file (for files under 16 MB) needs no fresh pages from the
    // system for each file; the caller's copy shares it and lets it go before the next file.
    constexpr qsizetype kPiece = 256 * 1024;
    thread_local QByteArray kept;
    QByteArray data = expected < kKept ? std::exchange(kept, QByteArray()) : QByteArray();
    data.resize(qsizetype(std::max<qint64>(expected, 0)) + 1);  // one spare byte tells a grown file at once
    qsizetype size = 0;
    for (;;) {
        if (size == data.size())
            data.resize(data.size() * 2 + 4096);
        // The first block alone first when it may decide the file is not worth reading.
        qsizetype room = binary && size == 0 ? std::min<qsizetype>(data.size(), kFirstBlock) : data.size() - size;
        if (filter)
            room = std::min(room, kPiece);
        const ssize_t got = ::read(fd, data.data() + size, size_t(room));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            readFailure = errno;
            return std::nullopt;
        }
        readBytes.fetch_add(quint64(got), std::memory_order_relaxed);
        if (binary && size == 0 && got > 0 && looksBinary(data.constData(), got)) {
            *binary = true;
            if (expected < kKept)
                kept = std::move(data);
            return std::nullopt;
        }
        if (filter)
            filter->scan(data.constData(), size_t(size + got), *scan, got == 0);
        if (got == 0) {
            data.resize(size);
            if (expected < kKept)
                kept = data;
            return data;
        }
        size += got;
    }
}

// A regular file's bytes; nothing when it cannot be read or is not a regular file. With a
// filter, nothing too when the bytes rule a match out, and otherwise *scan holds what the filter
// found over the bytes. *failure gets the errno of a file that could not be opened or read
// through, 0 otherwise.
std::optional<QByteArray> readRegularFile(const QString& path, const LiteralPrefilter* filter = nullptr,
                                          bool* binary = nullptr, LiteralPrefilter::Scan* scan = nullptr,
                                          int* failure = nullptr) {
    const QByteArray native = FileName::encode(path);
    readFailure = 0;
    const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (failure)
            *failure = errno;
        return std::nullopt;
    }
    struct Told {
        int* failure;
        ~Told() {
            if (failure)
                *failure = readFailure;
        }
    } told{failure};
    struct stat info;
    std::optional<QByteArray> bytes;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        if (!filter) {
            bytes = readToEnd(fd, info.st_size, binary);
        } else if (info.st_size < kKept) {
            // Read whole, the literal looked for in each piece as it arrives.
            bytes = readToEnd(fd, info.st_size, binary, filter, scan);
            if (bytes && !filter->mayHold(*scan))
                bytes.reset();
        } else {
            // A large file is ruled out a chunk at a time, without holding it whole, and read
            // again from its start should a chunk hold a match.
            constexpr size_t kChunk = 64 * 1024;
            const size_t overlap = filter->overlap();
            thread_local std::vector<char> chunk;
            chunk.resize(kChunk + overlap);
            size_t kept = 0;
            bool whole = true;  // every byte so far is in the chunk
            for (;;) {
                const ssize_t got = ::read(fd, chunk.data() + kept, kChunk);
                if (got < 0 && errno == EINTR)
                    continue;
                if (got < 0)
                    readFailure = errno;
                if (got <= 0)
                    break;  // the end, or a file that cannot be read through (told)
                readBytes.fetch_add(quint64(got), std::memory_order_relaxed);
                const size_t size = kept + size_t(got);
                if (binary && whole && looksBinary(chunk.data(), qint64(size))) {
                    *binary = true;
                    break;
                }
                filter->scan(chunk.data(), size, *scan, true);
                const bool mayHold = filter->mayHold(*scan);
                *scan = LiteralPrefilter::Scan{scan->starts};
                scan->starts->clear();
                if (mayHold) {
                    if (::lseek(fd, 0, SEEK_SET) == 0)
                        bytes = readToEnd(fd, info.st_size);
                    if (bytes)
                        filter->scan(bytes->constData(), size_t(bytes->size()), *scan, true);
                    break;
                }
                whole = false;
                kept = std::min(overlap, size);
                std::memmove(chunk.data(), chunk.data() + size - kept, kept);
            }
        }
    }
    ::close(fd);
    return bytes;
}

// Whether bytes are valid UTF-8 (no overlong form, surrogate, or character past U+10FFFF), as
// QByteArray::isValidUtf8() says; the ASCII most web files are made of is passed over 64 bytes
// at a time. With places (byte places of ASCII characters, ascending), each is turned on the
// way into its place in UTF-16 units of the decoded text, when the bytes are valid.
bool isValidUtf8(const char* bytes, size_t n, std::vector<qint64>* places = nullptr) {
    bytesGoneOverAgain.fetch_add(quint64(n), std::memory_order_relaxed);
    const auto* s = reinterpret_cast<const unsigned char*>(bytes);
    size_t i = 0;
    qint64 unit = 0;
    std::vector<qint64>::iterator place, end;
    if (places)
        place = places->begin(), end = places->end();
    // ASCII from i to next: one unit a byte.
    auto passAscii = [&](size_t next) {
        for (; places && place != end && size_t(*place) < next; ++place)
            *place = unit + (*place - qint64(i));
        unit += qint64(next - i);
        i = next;
    };
    while (i < n) {
        size_t ascii = i;
#if defined(__SSE2__)
        auto at = [s](size_t k) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + k)); };
        while (ascii + 64 <= n && !_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(at(ascii), at(ascii + 16)), _mm_or_si128(at(ascii + 32), at(ascii + 48)))))
            ascii += 64;
        while (ascii + 16 <= n && !_mm_movemask_epi8(at(ascii)))
            ascii += 16;
#endif
        while (ascii < n && s[ascii] < 0x80)
            ++ascii;
        passAscii(ascii);
        if (i >= n)
            break;
        const unsigned c = s[i];
        const size_t length = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
        if (length == 0 || n - i < length)
            return false;
        // The second byte's range rules out overlong forms, surrogates and characters past U+10FFFF.
        const unsigned second = s[i + 1];
        const unsigned low = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
        const unsigned high = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
        if (second < low || second > high)
            return false;
        for (size_t k = 2; k < length; ++k)
            if ((s[i + k] & 0xC0) != 0x80)
                return false;
        i += length;
        unit += length == 4 ? 2 : 1;
    }
    return true;
}

// Every match in valid UTF-8 bytes, as next() gives them (NotFound at the end), as a bare range
// in UTF-16 units of the decoded text.
template <class Next>
QList<QVSearchResult> rangesInUTF16Units(const QByteArray& data, QList<QVSearchResult> found, Next&& next) {
    const char* d = data.constData();
    qint64 byte = 0, unit = 0;
    // UTF-16 units of the valid UTF-8 from byte to end: one per lead byte, two for a character
    // of four bytes.
    auto advance = [&](qint64 end) {
#if defined(__SSE2__)
        // Sixteen bytes at a time: all of them ASCII, or counted by mask.
        const __m128i continuationEnd = _mm_set1_epi8(char(0xC0)), fourByteLead = _mm_set1_epi8(char(0xEF));
        for (; byte + 16 <= end; byte += 16) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + byte));
            const unsigned high = unsigned(_mm_movemask_epi8(x));
            if (!high) {
                unit += 16;
                continue;
            }
            // As signed bytes, continuation bytes (0x80-0xBF) lie below 0xC0, and leads of four
            // bytes (0xF0-0xF4) above 0xEF among the negative ones.
            const unsigned continuation = unsigned(_mm_movemask_epi8(_mm_cmplt_epi8(x, continuationEnd)));
            const unsigned four = unsigned(_mm_movemask_epi8(_mm_cmpgt_epi8(x, fourByteLead))) & high;
            unit += 16 - __builtin_popcount(continuation) + __builtin_popcount(four);
        }
#endif
        for (; byte < end; ++byte) {
            const quint8 c = quint8(d[byte]);
            unit += (c & 0xC0) != 0x80;
            unit += c >= 0xF0;
        }
        return unit;
    };
    for (QVRange r = next(); !r.isNotFound(); r = next()) {
        const qint64 start = advance(r.location);
        found.append(QVSearchResult(QVRange(start, advance(r.end()) - start)));
    }
    bytesGoneOverAgain.fetch_add(quint64(byte), std::memory_order_relaxed);
    return found;
}

#if defined(__x86_64__)
// Whether bytes are valid UTF-8, as isValidUtf8 says, and, when they are, the byte places of
// matches (ascending) turned into their places in UTF-16 units of the decoded text: one pass
// of thirty-two bytes at a time, where the processor can. Each byte is checked against the one,
// two and three bytes before it: the high nibble of the byte before, its low nibble and the
// byte's own high nibble each look up the faults that pair may show, and a fault all three name
// is one; a continuation byte must follow a lead byte or another continuation byte exactly as
// far as the lead asks. A block of ASCII only needs the last block not to end inside a
// character. The end is checked with a block of NULs after it.
__attribute__((target("avx2,popcnt"))) bool utf16PlacesInValidUtf8(const char* d, size_t n, std::vector<qint64>& places) {
    bytesGoneOverAgain.fetch_add(quint64(n), std::memory_order_relaxed);
    enum : quint8 {
        TooShort = 1, TooLong = 2, Overlong3 = 4, TooLarge = 8, Surrogate = 16, Overlong2 = 32,
        TooLarge1000 = 64, Overlong4 = 64, TwoContinuations = 128,
        Carry = TooShort | TooLong | TwoContinuations,
    };
    using Table = std::array<quint8, 16>;
    const Table firstHigh{TooLong, TooLong, TooLong, TooLong, TooLong, TooLong, TooLong, TooLong,
                                       TwoContinuations, TwoContinuations, TwoContinuations, TwoContinuations,
                                       TooShort | Overlong2, TooShort, TooShort | Overlong3 | Surrogate,
                                       TooShort | TooLarge | TooLarge1000 | Overlong4};
    const Table firstLow{Carry | Overlong3 | Overlong2 | Overlong4, Carry | Overlong2, Carry, Carry,
                                      Carry | TooLarge, Carry | TooLarge | TooLarge1000, Carry | TooLarge | TooLarge1000,
                                      Carry | TooLarge | TooLarge1000, Carry | TooLarge | TooLarge1000,
                                      Carry | TooLarge | TooLarge1000, Carry | TooLarge | TooLarge1000,
                                      Carry | TooLarge | TooLarge1000, Carry | TooLarge | TooLarge1000,
                                      Carry | TooLarge | TooLarge1000 | Surrogate, Carry | TooLarge | TooLarge1000,
                                      Carry | TooLarge | TooLarge1000};
    const Table secondHigh{TooShort, TooShort, TooShort, TooShort, TooShort, TooShort, TooShort, TooShort,
                                        TooLong | Overlong2 | TwoContinuations | Overlong3 | TooLarge1000 | Overlong4,
                                        TooLong | Overlong2 | TwoContinuations | Overlong3 | TooLarge,
                                        TooLong | Overlong2 | TwoContinuations | Surrogate | TooLarge,
                                        TooLong | Overlong2 | TwoContinuations | Surrogate | TooLarge,
                                        TooShort, TooShort, TooShort, TooShort};
    // Each lane of a shuffle looks up its own sixteen bytes: the table in both.
#define QV_TABLE(t) _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t.data())))
    const __m256i byFirstHigh = QV_TABLE(firstHigh), byFirstLow = QV_TABLE(firstLow), bySecondHigh = QV_TABLE(secondHigh);
#undef QV_TABLE
    const __m256i nibble = _mm256_set1_epi8(0x0F), zero = _mm256_setzero_si256();
    // A block ending inside a character: a lead of four bytes in its last three places, of three
    // in its last two, of two in its last.
    const __m256i lastLeads = _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                               -1, -1, -1, -1, -1, -1, -1, -1, -1, char(0xEF), char(0xDF), char(0xBF));
    __m256i previous = zero, error = zero;
    qint64 unit = 0;
    auto place = places.begin();
    alignas(32) char tail[32];
    for (size_t at = 0;; at += 32) {
        const bool last = at + 32 > n;
        const char* block = d + at;
        if (last) {
            std::memset(tail, 0, sizeof tail);
            std::memcpy(tail, d + at, n - at);
            block = tail;
        }
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block));
        const unsigned high = unsigned(_mm256_movemask_epi8(x));
        if (!high) {
            error = _mm256_or_si256(error, _mm256_subs_epu8(previous, lastLeads));
            for (; place != places.end() && size_t(*place) < at + 32; ++place)
                *place = unit + (*place - qint64(at));
            unit += 32;
        } else {
            const __m256i before = _mm256_permute2x128_si256(previous, x, 0x21);
            const __m256i first = _mm256_alignr_epi8(x, before, 15);
            const __m256i special = _mm256_and_si256(
                _mm256_and_si256(_mm256_shuffle_epi8(byFirstHigh, _mm256_and_si256(_mm256_srli_epi16(first, 4), nibble)),
                                 _mm256_shuffle_epi8(byFirstLow, _mm256_and_si256(first, nibble))),
                _mm256_shuffle_epi8(bySecondHigh, _mm256_and_si256(_mm256_srli_epi16(x, 4), nibble)));
            const __m256i third = _mm256_subs_epu8(_mm256_alignr_epi8(x, before, 14), _mm256_set1_epi8(char(0xE0 - 1)));
            const __m256i fourth = _mm256_subs_epu8(_mm256_alignr_epi8(x, before, 13), _mm256_set1_epi8(char(0xF0 - 1)));
            const __m256i mustContinue = _mm256_and_si256(_mm256_cmpgt_epi8(_mm256_or_si256(third, fourth), zero),
                                                          _mm256_set1_epi8(char(0x80)));
            error = _mm256_or_si256(error, _mm256_xor_si256(mustContinue, special));
            // UTF-16 units: one per byte that does not continue a character, one more for a lead
            // of four bytes (as signed bytes, continuations lie below 0xC0, such leads above 0xEF).
            const unsigned continuation = unsigned(_mm256_movemask_epi8(_mm256_cmpgt_epi8(_mm256_set1_epi8(char(0xC0)), x)));
            const unsigned four = unsigned(_mm256_movemask_epi8(_mm256_cmpgt_epi8(x, _mm256_set1_epi8(char(0xEF))))) & high;
            for (; place != places.end() && size_t(*place) < at + 32; ++place) {
                const unsigned offset = unsigned(*place - qint64(at));
                const unsigned below = offset ? ~0u >> (32 - offset) : 0;
                *place = unit + offset - __builtin_popcount(continuation & below) + __builtin_popcount(four & below);
            }
            unit += 32 - __builtin_popcount(continuation) + __builtin_popcount(four);
        }
        previous = x;
        if (last)
            return _mm256_testz_si256(error, error);
    }
}
#endif

// The matches of a literal found over bytes that decode as UTF-8 (their byte places in starts,
// which may be overwritten), as bare ranges in UTF-16 units of the text; nothing when the text
// must be searched instead: bytes that are not UTF-8, or characters that fold into the literal.
// Bytes with nothing beyond ASCII (high false) are their own text.
std::optional<QList<QVSearchResult>> literalRangesOverUTF8(const QByteArray& bytes, const LiteralPrefilter& filter,
                                                          bool high, std::vector<qint64>& starts) {
    const qint64 length = qint64(filter.length());
    auto ranges = [&] {
        QList<QVSearchResult> found;
        found.reserve(qsizetype(starts.size()));
        for (const qint64 start : starts)
            found.emplaceBack(QVRange(start, length));
        return found;
    };
    if (!high)
        return ranges();
    if (!filter.exactOverUTF8(bytes.constData(), size_t(bytes.size())))
        return std::nullopt;
#if defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
    if (avx2)
        return utf16PlacesInValidUtf8(bytes.constData(), size_t(bytes.size()), starts) ? ranges() : std::optional<QList<QVSearchResult>>();
#endif
    return isValidUtf8(bytes.constData(), size_t(bytes.size()), &starts) ? ranges() : std::optional<QList<QVSearchResult>>();
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
    _regex = QVRegex::create(pattern, QVRegex::UnicodeClasses);
}

void QVSearch::setSearchString(const QString& text) {
    if (_regex) {
        if (_regex->pattern() != text)
            _regex = QVRegex::create(text, QVRegex::UnicodeClasses);
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

quint64 QVSearch::bytesDecoded() { return decodedBytes.load(std::memory_order_relaxed); }

quint64 QVSearch::bytesScannedForFolds() { return foldScannedBytes().load(std::memory_order_relaxed); }

quint64 QVSearch::bytesRead() { return readBytes.load(std::memory_order_relaxed); }

quint64 QVSearch::bytesPassedAgain() { return bytesGoneOverAgain.load(std::memory_order_relaxed); }

QList<QVSearchResult> QVSearch::findAllForPath(const QString& path, QVStringEncoding* encoding,
                                              bool asResults, QVError* error, bool* binary, qint64* keptBytes,
                                              QVError* notice) const {
    if (keptBytes)
        *keptBytes = 0;
    if (!canMatch())
        return {};
    // Most files of a multi-file find hold no match: for a literal the bytes tell, before the
    // encoding is even detected.
    // The filter of the last literal looked for on this thread: a multi-file find asks with one
    // literal for every file.
    thread_local std::optional<LiteralPrefilter> lastFilter;
    if (!_regex && !(lastFilter && lastFilter->isFor(_search, _caseSensitive)))
        lastFilter.emplace(_search, _caseSensitive);
    const LiteralPrefilter* filter = _regex ? nullptr : &*lastFilter;
    if (binary)
        *binary = false;
    // The literal's places in the bytes, found while they are read, kept from file to file.
    thread_local std::vector<qint64> starts;
    starts.clear();
    // What the places of a file with millions of matches took is not kept for the next file.
    struct Trim {
        ~Trim() {
            if (starts.capacity() > (1 << 16))
                std::vector<qint64>().swap(starts);
        }
    } trim;
    LiteralPrefilter::Scan scan{&starts};
    int failure = 0;
    const std::optional<QByteArray> bytes =
        readRegularFile(path, filter && filter->usable() ? filter : nullptr, binary, &scan, &failure);
    if (failure)
        qvSetError(error, QVError::posix(failure, QStringLiteral("Reading"), path));
    if (!bytes)
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
    // (The match goes first: a file without one is the common case; a pattern too complex for
    // the bytes goes on to the decoded text, to report it there.) Nor do bare ranges: the
    // matches are walked over the bytes and their places counted in UTF-16 units.
    if (chosen == TextEncoding::UTF8 && !bytes->startsWith("\xEF\xBB\xBF")) {
        if (_regex) {
            QVError bytesError;
            const bool matches = bool(_regex->copyMatchForUTF8Data(*bytes, QVRange(0, bytes->size()), &bytesError));
            if (!bytesError && (!matches || !asResults) && isValidUtf8(bytes->constData(), size_t(bytes->size()))) {
                if (!matches)
                    return {};
                QVSearchEnumerator walk(*this, *bytes);
                QList<QVSearchResult> found = rangesInUTF16Units(*bytes, {}, [&walk] {
                    const auto next = walk.nextObject();
                    return next ? next->range() : QVRange();
                });
                if (!walk.error())
                    return found;
            }
        } else if (!asResults && filter->usable()) {
            if (std::optional<QList<QVSearchResult>> found = literalRangesOverUTF8(*bytes, *filter, scan.high, starts))
                return std::move(*found);
        }
    }
    decodedBytes.fetch_add(quint64(bytes->size()), std::memory_order_relaxed);
    // Read by the rule every tool reads a file by: UTF-8 but for a few stray bytes reads as
    // UTF-8, those bytes kept where nothing matches them.
    std::optional<QString> text = FileEncodings::createWithData(*bytes, path, &chosen, notice, keptBytes);
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
