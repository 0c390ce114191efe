// Walks the successive matches of a search through a string or UTF-8 data.
#pragma once

#include "platform/QVError.h"
#include "shell/QVSearch.h"
#include "shell/QVSearchResult.h"

#include <QByteArray>
#include <QString>

#include <optional>

// Used once: after the first empty answer it stays exhausted. Each search goes on from the end of
// the last match, with the text before it in view of "^", "\b" and lookbehind. After an empty match
// at p, a non-empty match starting at p is tried; failing that the search goes on from one
// character past p (a whole surrogate pair, UTF-8 sequence or CR LF pair), so every enumeration
// moves forward and ends. No search starts at the end of the text: a match that ends there is the
// last one, and an empty text holds no match at all (unlike Perl's global match, which tries once
// more at the end).
class QVSearchEnumerator {
public:
    QVSearchEnumerator(const QVSearch& search, const QString& string);
    QVSearchEnumerator(const QVSearch& search, const QByteArray& utf8Data);

    // Results with context (over a string) unless set; over data results are bare ranges.
    void setReturnJustRanges(bool justRanges) { _returnJustRanges = justRanges; }
    // The next match, or nothing once the text holds no further match or the pattern proved
    // too complex for it (then error() says so).
    std::optional<QVSearchResult> nextObject();
    const QVError& error() const { return _error; }

private:
    // The next match in the text from start (see the class comment for nonEmptyAtStart).
    QVRange matchFrom(qint64 start, bool nonEmptyAtStart);
    // The place one character after p.
    qint64 stepOver(qint64 p) const;

    QVSearch _search;
    QVRange _range = QVRange(0, 0);
    QString _string;
    QByteArray _data;
    bool _overData = false;
    bool _returnJustRanges = false;
    bool _matched = false;
    bool _exhausted = false;
    QVError _error;
};
