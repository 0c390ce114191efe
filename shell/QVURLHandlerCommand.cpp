#include "shell/QVURLHandlerCommand.h"

#include "platform/FileName.h"

#include <QHash>

#include <algorithm>
#include <limits>
#include <QStringList>

namespace {

// The integer at the start of text, as a number reader would take it: blanks, a sign, digits;
// anything else ends it, and no digits at all count as 0.
qint64 leadingInteger(const QString& text) {
    qsizetype i = 0;
    while (i < text.size() && text[i].isSpace()) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == QLatin1Char('-') || text[i] == QLatin1Char('+'))) negative = text[i++] == QLatin1Char('-');
    qint64 value = 0;
    for (; i < text.size() && text[i] >= QLatin1Char('0') && text[i] <= QLatin1Char('9'); ++i) {
        if (value > (std::numeric_limits<qint64>::max() - 9) / 10) return negative ? std::numeric_limits<qint64>::min() : std::numeric_limits<qint64>::max();
        value = value * 10 + (text[i].unicode() - '0');
    }
    return negative ? -value : value;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

QString QVURLHandlerCommand::percentDecoded(const QString& value) {
    if (!value.contains(QLatin1Char('%'))) return value;
    // The bytes a percent escape gives are a file name's: those that are not UTF-8 are kept.
    const QByteArray bytes = FileName::encode(value);
    QByteArray decoded;
    decoded.reserve(bytes.size());
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '%' && i + 2 < bytes.size()) {
            const int high = hexValue(bytes[i + 1]);
            const int low = hexValue(bytes[i + 2]);
            if (high >= 0 && low >= 0) {
                decoded.append(char(high * 16 + low));
                i += 2;
                continue;
            }
        }
        decoded.append(bytes[i]);
    }
    return FileName::decode(decoded);
}

QVURLHandlerCommand::Request QVURLHandlerCommand::requestFromQuery(const QString& query) {
    QHash<QString, QString> pairs;
    for (const QString& piece : query.split(QLatin1Char('&'))) {
        const qsizetype equals = piece.indexOf(QLatin1Char('='));
        if (equals < 0) continue;
        const QString rest = piece.mid(equals + 1);
        pairs.insert(piece.left(equals), rest.section(QLatin1Char('='), 0, 0));
    }
    Request request;
    request.file = percentDecoded(pairs.value(QStringLiteral("file")));
    if (pairs.contains(QStringLiteral("range"))) {
        const QStringList parts = percentDecoded(pairs.value(QStringLiteral("range"))).split(QLatin1Char(','));
        if (parts.size() == 2) request.range = QVRange(leadingInteger(parts[0]), leadingInteger(parts[1]));
    }
    return request;
}

std::optional<QVURLHandlerCommand::Request> QVURLHandlerCommand::parse(const QString& url) {
    static const QString prefix = QStringLiteral("qvdt://");
    if (!url.startsWith(prefix)) return std::nullopt;
    const qsizetype hostEnd = [&] {
        for (qsizetype i = prefix.size(); i < url.size(); ++i)
            if (url[i] == QLatin1Char('/') || url[i] == QLatin1Char('?') || url[i] == QLatin1Char('#')) return i;
        return url.size();
    }();
    if (QStringView(url).mid(prefix.size(), hostEnd - prefix.size()) != QLatin1String("open")) return std::nullopt;
    const qsizetype question = url.indexOf(QLatin1Char('?'), hostEnd);
    if (question < 0) return Request{};
    const qsizetype fragment = url.indexOf(QLatin1Char('#'), question);
    return requestFromQuery(url.mid(question + 1, fragment < 0 ? -1 : fragment - question - 1));
}

QVRange QVURLHandlerCommand::clampedRange(QVRange range, qint64 textLength) {
    const qint64 location = std::clamp<qint64>(range.location, 0, textLength);
    const qint64 length = std::clamp<qint64>(range.length, 0, textLength - location);
    return {location, length};
}
