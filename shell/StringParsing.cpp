// Quote, escape and bracket tests inside markup and code text.
#include "shell/StringParsing.h"

#include <algorithm>

bool StringParsing::locationInQuotes(const QString& text, qint64 location, qint64 start, bool checkSingle) {
    const qint64 end = std::clamp<qint64>(location, 0, text.size());
    const qint64 from = std::clamp<qint64>(start, 0, text.size());
    if (from >= end) return false;
    // Backslashes just before the start still escape a quote at the start.
    qint64 backslashes = 0;
    for (qint64 i = from; i > 0 && text[i - 1] == QLatin1Char('\\'); --i) ++backslashes;
    qint64 doubles = 0, singles = 0;
    for (qint64 i = from; i < end; ++i) {
        const QChar c = text[i];
        if (c == QLatin1Char('\\')) {
            ++backslashes;
            continue;
        }
        const bool escaped = backslashes % 2 == 1;
        backslashes = 0;
        if (escaped) continue;
        if (c == QLatin1Char('"')) ++doubles;
        else if (c == QLatin1Char('\'')) ++singles;
    }
    return doubles % 2 == 1 || (checkSingle && singles % 2 == 1);
}

qint64 StringParsing::countOfInstancesOf(const QString& text, const QString& needle, QVRange range,
                                         QChar escape, bool anchored) {
    if (needle.isEmpty() || range.isNotFound()) return 0;
    const qint64 lower = std::clamp<qint64>(range.location, 0, text.size());
    qint64 end = std::clamp<qint64>(range.location + std::max<qint64>(range.length, 0), lower, text.size());
    const qint64 width = needle.size();
    qint64 count = 0;
    while (end - lower >= width) {
        qint64 at;
        if (anchored) {
            if (QStringView(text).mid(end - width, width) != needle) break;
            at = end - width;
        } else {
            at = text.lastIndexOf(needle, end - width);
            if (at < lower) break;
        }
        qint64 escapes = 0;
        if (!escape.isNull())
            while (at - escapes > lower && text[at - escapes - 1] == escape) ++escapes;
        if (escapes % 2 == 0) ++count;
        end = at - escapes;
    }
    return count;
}

bool StringParsing::characterIsEscapedAtIndex(const QString& text, qint64 index, QChar escape) {
    if (index <= 0 || index > text.size()) return false;
    qint64 run = 0;
    for (qint64 i = index; i > 0 && text[i - 1] == escape; --i) ++run;
    return run % 2 == 1;
}

qint64 StringParsing::closeBracketAfter(const QString& text, qint64 location) {
    qint64 depth = 0;
    for (qint64 i = std::max<qint64>(location, 0); i < text.size(); ++i) {
        if (text[i] == QLatin1Char('<')) {
            ++depth;
        } else if (text[i] == QLatin1Char('>')) {
            if (depth == 0) return i;
            --depth;
        }
    }
    return QVRange::NotFound;
}

qsizetype StringParsing::lastIndexIn(QStringView text, QStringView needle, Qt::CaseSensitivity cs) {
    if (needle.size() > text.size()) return -1;
    return text.lastIndexOf(needle, text.size() - needle.size(), cs);
}
