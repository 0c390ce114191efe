// Line ranges and line counts of text.
#pragma once

#include "platform/QVRange.h"

#include <QString>

class StringLines {
public:
    StringLines() = delete;

    // The whole lines holding range, without the line feed that ends the last: from after the
    // last "\n" before the range's start (or 0) to the first "\n" at or after its end (or the
    // text's end). Only "\n" ends a line here. The range is clamped to the text.
    static QVRange myLineRangeForRange(const QString& text, QVRange range);

    // The number of lines by every line terminator (LF, CR, CR LF, NEL, U+2028, U+2029): 0 for
    // the empty text; a final terminator does not start another line.
    static qint64 numberOfLines(const QString& text);
};
