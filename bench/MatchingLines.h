// Lines holding a match of a pattern, counted the way `grep -c` counts them: search the rest of
// the text, count the line where the match starts and go on at the next line; a match that runs
// over a line break is confirmed by a match confined to its line.
#pragma once

#include "platform/QVRegex.h"

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <cstring>

inline qint64 matchingLines(const QVRegex& re, const QString& s) {
    qint64 lines = 0, pos = 0;
    const qint64 size = s.size();
    while (pos < size) {
        auto m = re.copyMatchForString(s, QVRange(pos, size - pos));
        if (!m)
            break;
        const QVRange r = m->rangeForCapture(0);
        const qint64 nl = s.indexOf(QLatin1Char('\n'), r.location);
        const qint64 lineEnd = nl < 0 ? size : nl;
        if (r.end() <= lineEnd) {
            ++lines;
        } else {
            const qint64 lineStart = std::max(pos, s.lastIndexOf(QLatin1Char('\n'), r.location) + 1);
            if (re.copyMatchForString(s, QVRange(lineStart, lineEnd - lineStart)))
                ++lines;
        }
        pos = lineEnd + 1;
    }
    return lines;
}

// The same over UTF-8 bytes.
inline qint64 matchingLines(const QVRegex& re, const QByteArray& b) {
    qint64 lines = 0, pos = 0;
    const qint64 size = b.size();
    const char* d = b.constData();
    while (pos < size) {
        auto m = re.copyMatchForUTF8Data(d, size, QVRange(pos, size - pos));
        if (!m)
            break;
        const QVRange r = m->rangeForCapture(0);
        const void* nl = std::memchr(d + r.location, '\n', size_t(size - r.location));
        const qint64 lineEnd = nl ? static_cast<const char*>(nl) - d : size;
        if (r.end() <= lineEnd) {
            ++lines;
        } else {
            qint64 lineStart = r.location;
            while (lineStart > pos && d[lineStart - 1] != '\n')
                --lineStart;
            if (re.copyMatchForUTF8Data(d, size, QVRange(lineStart, lineEnd - lineStart)))
                ++lines;
        }
        pos = lineEnd + 1;
    }
    return lines;
}
