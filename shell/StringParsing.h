// Quote, escape and bracket tests inside markup and code text.
#pragma once

#include "platform/QVRange.h"

#include <QString>

class StringParsing {
public:
    StringParsing() = delete;

    // Whether location lies inside a quoted run counted from start: an odd number of unescaped
    // double quotes in [start, location), or, with checkSingle, an odd number of unescaped single
    // quotes there. The escape character is "\"; a quote counts when an even number of them
    // (none included) stands right before it. Locations are clamped to the text; a start past the
    // location gives false.
    static bool locationInQuotes(const QString& text, qint64 location, qint64 start, bool checkSingle);
    static bool locationInQuotes(const QString& text, qint64 location, bool checkSingle) {
        return locationInQuotes(text, location, 0, checkSingle);
    }
    static bool locationInQuotes(const QString& text, qint64 location) {
        return locationInQuotes(text, location, 0, false);
    }

    // The occurrences of needle in range, searched backwards from the range's end, that are not
    // escaped (an even number of escape characters right before them, inside the range); after
    // each, the search goes on before its escape characters. anchored: only the run of
    // occurrences that ends exactly at the range's end. A null escape counts every occurrence;
    // an empty needle gives 0.
    static qint64 countOfInstancesOf(const QString& text, const QString& needle, QVRange range,
                                     QChar escape, bool anchored);

    // The start of the last occurrence of needle lying wholly inside text, or -1. (Qt 6.4's
    // lastIndexOf with a one-character needle looks at the character just past a view.)
    static qsizetype lastIndexIn(QStringView text, QStringView needle, Qt::CaseSensitivity cs);

    // Whether an odd number of escape characters stands right before index (false at index 0 or
    // outside the text).
    static bool characterIsEscapedAtIndex(const QString& text, qint64 index, QChar escape);

    // The index of the first ">" at or after location that no "<" after location balances;
    // QVRange::NotFound when there is none.
    static qint64 closeBracketAfter(const QString& text, qint64 location);
};
