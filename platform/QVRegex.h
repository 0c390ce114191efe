// The regular-expression component over PCRE2: Perl-style patterns compiled once and matched
// from any number of threads. QString subjects use the 16-bit library (offsets in UTF-16 units);
// byte data uses the 8-bit library in UTF mode, tolerant of invalid UTF-8 (offsets in bytes).
#pragma once

#include "platform/QVError.h"
#include "platform/QVRange.h"

#include <QByteArray>
#include <QString>
#include <QVarLengthArray>

#include <memory>
#include <optional>
#include <vector>

// One match: the ranges of the whole match (capture 0) and of each group. Patterns with a few
// groups keep them inline, so a match costs no allocation.
class QVRegexMatch {
public:
    using Ranges = QVarLengthArray<QVRange, 6>;
    QVRegexMatch() = default;
    explicit QVRegexMatch(Ranges ranges) : _ranges(std::move(ranges)) {}
    // A match of count captures, none of them found yet.
    explicit QVRegexMatch(int count) : _ranges(count) {}
    void setRange(int n, QVRange range) { _ranges[n] = range; }
    // The range of capture n; not found for a group that took no part or that the pattern lacks.
    QVRange rangeForCapture(int n) const;
    // Number of captures, the whole match included.
    int count() const { return int(_ranges.size()); }

private:
    Ranges _ranges;
};

// Patterns are Perl-style (PCRE2 syntax) in Unicode mode: case-insensitive matching folds
// non-ASCII letters too, while "\w", "\d", "\s" and "\b" keep to ASCII. A line break is LF, CR or
// CRLF. Without MultiLine, "^" matches only at the start of the text searched and "$" only at its
// end and before a final line break; with it, they also match after and before every line break.
// "." never matches a line break unless DotMatchesAll is set.
class QVRegex {
public:
    // Option bits of the option word; bits not listed here are ignored. The words callers pass
    // are 2 (multi-line, case-sensitive), 3 (multi-line, case-insensitive) and 0x801 (dot-all,
    // case-insensitive).
    static constexpr quint32 CaseInsensitive = 1u << 0;
    static constexpr quint32 MultiLine = 1u << 1;           // "^" and "$" at every line start and end
    static constexpr quint32 DotMatchesAll = 0x800u;        // "." also matches line breaks
    // "\w", "\d", "\s", "\b" and the POSIX classes by Unicode properties ("\s" takes a no-break
    // space, "\w" an accented letter), as users of rg and Perl expect; without it they are ASCII.
    static constexpr quint32 UnicodeClasses = 0x1000u;
    static constexpr quint32 DefaultOptions = 0u;           // case-sensitive, anchors at the text's ends
    // Match options. Neither word callers pass changes matching: both mean "plain".
    static constexpr quint32 MatchDefault = 128u;           // what the search engine passes
    static constexpr quint32 MatchNone = 0u;                // what folding passes: the same meaning
    // Only a match that begins exactly at the start location and is not empty: the retry after
    // an empty match that makes successive matches follow Perl's global matching.
    static constexpr quint32 MatchNonEmptyAtStart = 1u << 16;

    static bool validPattern(const QString& pattern);

    // The compiled pattern, or null when it does not compile (callers treat null as matching
    // nothing). The result is immutable and may be shared between threads.
    static std::shared_ptr<const QVRegex> create(const QString& pattern, quint32 options = DefaultOptions);
    ~QVRegex();

    const QString& pattern() const { return _pattern; }
    quint32 options() const { return _options; }
    // Number of capturing groups of the pattern, the whole match included.
    int captureCount() const;

    // Every match below answers nothing when the text holds no match, and also when the engine
    // gives up: a match may spend only so much backtracking, nesting and memory, and a pattern
    // that needs more on this text (nested repeats on a near miss, say) is too complex for it.
    // Then *error, when given, is set to tooComplexError(); it is left alone otherwise.
    static constexpr qint64 TooComplexError = 1;
    static QString errorDomain();
    static QVError tooComplexError();
    static bool isTooComplex(const QVError& error);

    // The first match anywhere in the string.
    std::optional<QVRegexMatch> copyMatchForString(const QString& subject, QVError* error = nullptr) const;
    // The first match inside the range; the match sees only that range: "^" and "\A" match at
    // its start, "$" at its end (and before a final line break), lookbehind stops at its start.
    // Ranges are in the string's coordinates.
    std::optional<QVRegexMatch> copyMatchForString(const QString& subject, QVRange range,
                                                   quint32 matchOptions = MatchDefault,
                                                   QVError* error = nullptr) const;
    // The first match inside the range that starts at or after startLocation, which lies inside
    // the range (or at its end). The text of the range before startLocation stays visible to
    // "^", "\b" and lookbehind, so walking the matches of a text one after another from each
    // match's end finds exactly what one pass over the text finds. Nothing for a start outside
    // the range.
    std::optional<QVRegexMatch> copyMatchForString(const QString& subject, QVRange range,
                                                   quint32 matchOptions, qint64 startLocation,
                                                   QVError* error = nullptr) const;
    // The same over raw UTF-16 units, for callers that keep their own buffers.
    std::optional<QVRegexMatch> copyMatchForUTF16(const char16_t* units, qint64 length, QVRange range,
                                                  QVError* error = nullptr) const;
    std::optional<QVRegexMatch> copyMatchForUTF16(const char16_t* units, qint64 length, QVRange range,
                                                  quint32 matchOptions, qint64 startLocation,
                                                  QVError* error = nullptr) const;
    // The first match inside the byte range of UTF-8 data (invalid sequences never match a
    // character but do not stop the search). Ranges are in bytes.
    std::optional<QVRegexMatch> copyMatchForUTF8Data(const QByteArray& data, QVRange range,
                                                     QVError* error = nullptr) const;
    std::optional<QVRegexMatch> copyMatchForUTF8Data(const char* bytes, qint64 size, QVRange range,
                                                     QVError* error = nullptr) const;
    // From a start location inside the byte range, as for strings.
    std::optional<QVRegexMatch> copyMatchForUTF8Data(const QByteArray& data, QVRange range,
                                                     quint32 matchOptions, qint64 startLocation,
                                                     QVError* error = nullptr) const;
    std::optional<QVRegexMatch> copyMatchForUTF8Data(const char* bytes, qint64 size, QVRange range,
                                                     quint32 matchOptions, qint64 startLocation,
                                                     QVError* error = nullptr) const;

    QVRegex(const QVRegex&) = delete;
    QVRegex& operator=(const QVRegex&) = delete;

private:
    struct Compiled;
    QVRegex(QString pattern, quint32 options);
    bool compile();

    QString _pattern;
    quint32 _options;
    std::unique_ptr<Compiled> _compiled;
};
