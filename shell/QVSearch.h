// The find-and-replace engine: a literal text or a compiled pattern with a case flag, match
// options and a replacement template, over strings, editor views and UTF-8 bytes.
#pragma once

#include "platform/QVRange.h"
#include "platform/QVRegex.h"
#include "platform/TextEncoding.h"
#include "shell/QVFullTextSource.h"
#include "shell/QVSearchResult.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>

class QVError;

// A value: copies share the compiled pattern, which is immutable. One thread uses an object at
// a time; copies may be used on different threads. Ranges are UTF-16 units over strings and
// bytes over UTF-8 data; no match is a not-found range of length 0. A pattern that is too
// complex for the text (see QVRegex) finds nothing further and sets *error, where one is taken
// (QVRegex::isTooComplex tells it); matches found before it are kept.
class QVSearch {
public:
    // The option word of a pattern compiled here: case-sensitive or not, and always with "^"
    // and "$" at every line start and end, which the callers' patterns rely on.
    // A search's patterns read their classes by Unicode properties, as text searches in other tools
    // do: a no-break space is "\s", an accented letter "\w".
    static constexpr quint32 CaseSensitivePatternOptions = 2 | QVRegex::UnicodeClasses;
    static constexpr quint32 CaseInsensitivePatternOptions = 3 | QVRegex::UnicodeClasses;
    // The match options handed to every ranged match unless changed with setOptions.
    static constexpr int DefaultMatchOptions = 128;

    // No pattern, no literal, no template: finds nothing. Case-insensitive, options 128.
    QVSearch() = default;
    // A pattern search over an already compiled pattern, which is shared, not copied. A null
    // pattern gives a search that finds nothing.
    static QVSearch withExpression(std::shared_ptr<const QVRegex> expression);
    // Compiles the pattern, case-sensitive or not; a pattern that does not compile gives a
    // search that finds nothing.
    static QVSearch withExpressionString(const QString& pattern, bool caseSensitive);
    // A literal search (case-insensitive until told otherwise).
    static QVSearch withSearchString(const QString& text);

    // A null text removes the pattern; the current pattern's own text changes nothing; any other
    // text is compiled with the default options (case-sensitive, "^" and "$" only at the ends of
    // the text searched).
    void setSearchExpression(const QString& pattern);
    // On a pattern search, recompiles from the text (default options) unless it is the current
    // pattern's text; otherwise sets the literal.
    void setSearchString(const QString& text);
    // The pattern text on a pattern search, else the literal.
    QString searchString() const;
    void setReplaceString(const QString& replaceString) { _replace = replaceString; }
    QString replaceString() const { return _replace; }
    bool isRegularExpression() const { return bool(_regex); }
    bool caseSensitive() const { return _caseSensitive; }
    // Affects literal searches; a compiled pattern keeps the case rule it was compiled with.
    void setCaseSensitive(bool caseSensitive) { _caseSensitive = caseSensitive; }
    int options() const { return _options; }
    void setOptions(int options) { _options = options; }

    static bool validRegexSearch(const QString& pattern);
    // Every template is acceptable: characters without meaning stand for themselves.
    static bool validRegexReplace(const QString& replaceString);

    // The first match anywhere in the string.
    QVRange firstMatchInString(const QString& string) const;
    // The first match inside the range; with reverse, a literal search answers the last
    // occurrence inside it instead (a pattern search always answers the first). A pattern sees
    // only the text inside the range. A range reaching past the string is cut at its end.
    QVRange firstMatchInString(const QString& string, QVRange range, bool reverse = false,
                               QVError* error = nullptr) const;
    bool matchesString(const QString& string) const;

    // Every match in order, as Perl's global match finds them: each search goes on from the end
    // of the last match with the text before it still in view of "^", "\b" and lookbehind; after
    // an empty match, a non-empty match at the same place is tried, else the search goes on one
    // character further (a CR LF pair counting as one). With asResults each result carries its
    // context line; without, only its range.
    QList<QVSearchResult> findAllForString(const QString& string, bool asResults, QVError* error = nullptr) const;
    // The same over an editor's whole text, copied on the main thread (this call waits for it;
    // on the main thread it runs at once). A view that is gone gives no matches.
    QList<QVSearchResult> findAllForTextView(const QVFullTextSource::Handle& view, bool asResults,
                                             QVError* error = nullptr) const;
    // The same over a file's text, read in *encoding with the usual fallbacks (0 or a null
    // pointer detects it; the encoding used is written back). A file that cannot be read, or
    // that is not a regular file, gives no matches; error (a POSIX error) says why one could not
    // be opened or read through. A literal search skips a file whose bytes
    // cannot hold the literal without decoding it, and then leaves *encoding as it was.
    // With binary given, a file whose first block holds a NUL (and no UTF-16 byte-order mark)
    // is taken for binary: *binary is set, and the file gives no matches, is read no further
    // and never decoded.
    // keptBytes: how many bytes of a file read as UTF-8 are not UTF-8 and were kept apart
    // (FileEncodings::createWithData's rule); 0 for any other file. notice: the read's notice
    // (a fallback read, a kept-bytes read), when the file was decoded.
    QList<QVSearchResult> findAllForPath(const QString& path, QVStringEncoding* encoding, bool asResults,
                                         QVError* error = nullptr, bool* binary = nullptr,
                                         qint64* keptBytes = nullptr, QVError* notice = nullptr) const;
    // Bytes of files decoded to text by findAllForPath so far, for tests that count work.
    static quint64 bytesDecoded();
    // Bytes of files looked through for characters that fold into a caseless literal's letters.
    static quint64 bytesScannedForFolds();
    // Bytes read from files by findAllForPath, and bytes it went over again once read (to check
    // them as UTF-8 or to count UTF-16 units), for tests that count passes over the bytes.
    static quint64 bytesRead();
    static quint64 bytesPassedAgain();

    // Pattern searches only (a literal search answers no match): the first match inside the
    // byte range of UTF-8 data.
    QVRange firstMatchInUTF8Data(const QByteArray& data, QVRange range, QVError* error = nullptr) const;
    QVRange firstMatchInUTF8Data(const char* bytes, qint64 size, QVRange range, QVError* error = nullptr) const;
    // Every match as a bare byte range (results over bytes carry no context; the flag is
    // accepted for symmetry). A literal search answers nothing.
    QList<QVSearchResult> findAllForUTF8Data(const QByteArray& data, bool asResults = false,
                                             QVError* error = nullptr) const;

    // The template expanded against the first match of the pattern in the matched text alone:
    // "$n" (a run of digits; none means 0) and "(n)" (the text between the parentheses read as
    // an integer; none means 0) insert capture n, empty when the capture took no part or does
    // not exist; "\" keeps the next character as it is. A literal search, or a pattern that does
    // not match the text by itself, answers the template unexpanded.
    QString replacementForString(const QString& matched, const QString& replaceString) const;
    QString replacementForString(const QString& matched) const;
    // Replaces the ranges (ascending, as found in the original text), shifting each by the change
    // in length the replacements before it made. With doubleCheck a range whose text no longer
    // matches is left alone. Stops at the first range that no longer fits the text (or that
    // reaches back into an earlier replacement); answers the number of replacements made.
    qsizetype replaceRanges(const QList<QVRange>& ranges, QString& string, bool doubleCheck = false) const;
    // Replaces every match; when the pattern proves too complex part-way, nothing is replaced.
    qsizetype replaceAllInString(QString& string, QVError* error = nullptr) const;

    // The template expanded against the pattern's match in the bytes alone, as UTF-8; the
    // template unexpanded when there is no pattern or no match.
    QByteArray replacementForUTF8Bytes(const char* bytes, qint64 length) const;
    qsizetype replaceRanges(const QList<QVRange>& ranges, QByteArray& data) const;
    qsizetype replaceAllInUTF8Data(QByteArray& data, QVError* error = nullptr) const;

private:
    friend class QVSearchEnumerator;
    // Whether the search can match at all: a pattern, or a non-empty literal.
    bool canMatch() const { return _regex || !_search.isEmpty(); }
    QVRange literalMatch(QStringView text, qint64 base, bool reverse) const;
    // The first match at or after start over the whole text; with nonEmptyAtStart only a
    // non-empty match beginning at start (a literal never matches empty, so it ignores it).
    QVRange nextMatchInString(const QString& string, qint64 start, bool nonEmptyAtStart, QVError* error) const;
    QVRange nextMatchInUTF8Data(const QByteArray& data, qint64 start, bool nonEmptyAtStart, QVError* error) const;

    std::shared_ptr<const QVRegex> _regex;
    QString _search;
    QString _replace;
    bool _caseSensitive = false;
    int _options = DefaultMatchOptions;
};
