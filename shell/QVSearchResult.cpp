// Search results and the context line shown for each in result lists.
#include "shell/QVSearchResult.h"

#include <QColor>
#include <QFont>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QTextCharFormat>

#include <algorithm>

namespace {

bool isLineBreak(QChar c) { return c == u'\n' || c == u'\r'; }

}  // namespace

QVSearchResult::QVSearchResult(QVRange range, const QString& string)
    : _range(range), _attributedString(createAttributedStringFromString(string, range)) {}

QVSearchResult::AttributedString QVSearchResult::createAttributedStringFromString(const QString& string,
                                                                                  QVRange range) {
    const qint64 size = string.size();
    if (range.location < 0 || range.length < 0 || range.location > size || range.length > size - range.location)
        return {};
    const qint64 matchEnd = range.end();

    qint64 start = range.location < ContextReach ? 0 : range.location - ContextReach;
    if (start > 0 && string.at(start).isLowSurrogate() && string.at(start - 1).isHighSurrogate())
        ++start;
    for (qint64 i = range.location; i > start; --i) {
        if (isLineBreak(string.at(i - 1))) {
            start = i;
            break;
        }
    }

    // The end stops at the line break after the match too: a result row shows one line (a match
    // that spans lines keeps them all).
    qint64 end = std::min(size, matchEnd + ContextReach);
    for (qint64 i = matchEnd; i < end; ++i) {
        if (isLineBreak(string.at(i))) {
            end = i;
            break;
        }
    }
    if (end < size && end > 0 && string.at(end).isLowSurrogate() && string.at(end - 1).isHighSurrogate())
        --end;
    if (end < matchEnd)
        end = matchEnd;

    AttributedString context;
    context.string = string.mid(start, end - start);
    context.emphasis = QVRange(range.location - start, range.length);
    return context;
}

QList<QTextLayout::FormatRange> QVSearchResult::AttributedString::formats() const {
    QTextCharFormat plain;
    plain.setForeground(QColor::fromRgbF(0.4f, 0.4f, 0.4f, 1.0f));
    // The match's attributes replace the plain ones; the font database needs the GUI
    // application, and without one the default font stands in.
    QFont font = qGuiApp ? QFontDatabase::systemFont(QFontDatabase::GeneralFont) : QFont();
    font.setPointSizeF(12.0);
    font.setBold(true);
    QTextCharFormat emphasised;
    emphasised.setForeground(QColor(Qt::black));
    emphasised.setFont(font);

    const int size = int(string.size());
    const int matchStart = int(std::clamp<qint64>(emphasis.location, 0, size));
    const int matchEnd = int(std::clamp<qint64>(emphasis.end(), matchStart, size));
    QList<QTextLayout::FormatRange> formats;
    auto add = [&formats](int start, int end, const QTextCharFormat& format) {
        if (end > start)
            formats.append(QTextLayout::FormatRange{start, end - start, format});
    };
    add(0, matchStart, plain);
    add(matchStart, matchEnd, emphasised);
    add(matchEnd, size, plain);
    return formats;
}
