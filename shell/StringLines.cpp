// Line ranges and line counts of text.
#include "shell/StringLines.h"

#include <algorithm>

QVRange StringLines::myLineRangeForRange(const QString& text, QVRange range) {
    const qint64 length = text.size();
    const qint64 start = std::clamp<qint64>(range.location, 0, length);
    const qint64 end = std::clamp<qint64>(start + std::max<qint64>(range.length, 0), start, length);
    const qint64 before = start > 0 ? text.lastIndexOf(QLatin1Char('\n'), start - 1) : -1;
    const qint64 after = text.indexOf(QLatin1Char('\n'), end);
    const qint64 lineStart = before + 1;
    const qint64 lineEnd = after < 0 ? length : after;
    return {lineStart, lineEnd - lineStart};
}

qint64 StringLines::numberOfLines(const QString& text) {
    const qsizetype n = text.size();
    qint64 lines = 0;
    bool open = false;  // a line has started and not yet ended
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t c = text[i].unicode();
        if (c == u'\n' || c == u'\r' || c == 0x85 || c == 0x2028 || c == 0x2029) {
            if (c == u'\r' && i + 1 < n && text[i + 1] == QLatin1Char('\n')) ++i;
            ++lines;
            open = false;
        } else {
            open = true;
        }
    }
    return lines + (open ? 1 : 0);
}
