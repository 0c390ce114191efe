// Walks the successive matches of a search through a string or UTF-8 data.
#pragma once

#include "shell/QVSearch.h"
#include "shell/QVSearchResult.h"

#include <QByteArray>
#include <QString>

#include <optional>

// Used once: after the first empty answer it stays exhausted. Each search starts where the last
// match ended and sees only the rest of the text; after an empty match it starts one character
// (one UTF-8 sequence over data) further on, so every enumeration ends.
class QVSearchEnumerator {
public:
    QVSearchEnumerator(const QVSearch& search, const QString& string);
    QVSearchEnumerator(const QVSearch& search, const QByteArray& utf8Data);

    // Results with context (over a string) unless set; over data results are bare ranges.
    void setReturnJustRanges(bool justRanges) { _returnJustRanges = justRanges; }
    // The next match, or nothing once the text holds no further match.
    std::optional<QVSearchResult> nextObject();

private:
    // Where the next search starts: the end of the last match, or past an empty one.
    qint64 nextStart() const;

    QVSearch _search;
    QVRange _range = QVRange(0, 0);
    QString _string;
    QByteArray _data;
    bool _overData = false;
    bool _returnJustRanges = false;
    bool _matched = false;
    bool _exhausted = false;
};
