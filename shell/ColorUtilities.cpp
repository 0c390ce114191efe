// Colours as bare hex text, web-safe snapping and theme style strings.
#include "shell/ColorUtilities.h"

#include <climits>
#include <cmath>

namespace {

// Upper-case hex digit value; everything else (lower case included) is 0.
int upperHexDigit(QChar c) {
    const char16_t u = c.unicode();
    if (u >= '0' && u <= '9') return u - '0';
    if (u >= 'A' && u <= 'F') return u - 'A' + 10;
    return 0;
}

int hexDigit(char16_t u) {
    if (u >= '0' && u <= '9') return u - '0';
    if (u >= 'a' && u <= 'f') return u - 'a' + 10;
    if (u >= 'A' && u <= 'F') return u - 'A' + 10;
    return -1;
}

// Character at i, or a non-digit past the end, so short texts never read out of bounds.
QChar at(const QString& s, qsizetype i) { return i < s.size() ? s.at(i) : QChar(u'\0'); }

int channel255(double value, bool roundDown) {
    const double scaled = value * 255.0;
    // A tiny allowance keeps an exact 8-bit channel from rounding down to the value below it.
    const int v = roundDown ? int(std::floor(scaled + 1e-6)) : int(std::lround(scaled));
    return qBound(0, v, 255);
}

}  // namespace

QColor ColorUtilities::rgbFromHex(const QString& text) {
    QString hex = text.toUpper();
    while (hex.size() < 6) hex.prepend(QLatin1Char('0'));
    if (hex.startsWith(QLatin1Char('#'))) hex.remove(0, 1);
    int channels[3];
    for (int i = 0; i < 3; ++i)
        channels[i] = 16 * upperHexDigit(at(hex, 2 * i)) + upperHexDigit(at(hex, 2 * i + 1));
    return QColor(channels[0], channels[1], channels[2]);
}

QString ColorUtilities::hexValueWebsafe(const QColor& color, bool websafe) {
    const QColor rgb = color.toRgb();
    const QString hex = QString::asprintf("%02X%02X%02X", channel255(rgb.redF(), false),
                                          channel255(rgb.greenF(), false),
                                          channel255(rgb.blueF(), false));
    return websafe ? webSafeHexValueFromString(hex) : hex;
}

QString ColorUtilities::webSafeHexValueFromString(const QString& text) {
    static const char digits[] = "0123456789ABCDEF";
    QString result;
    for (qsizetype i = 0; i < text.size(); i += 2) {
        int d = (upperHexDigit(at(text, i)) + upperHexDigit(at(text, i + 1))) / 2;
        if (d % 3 == 1)
            d -= 1;
        else if (d % 3 == 2)
            d += 1;
        result += QLatin1Char(digits[d]);
        result += QLatin1Char(digits[d]);
    }
    return result;
}

int ColorUtilities::integerFromHexString(const QString& text) {
    qsizetype i = 0;
    while (i < text.size() && text.at(i).isSpace()) ++i;
    if (i + 2 < text.size() && text.at(i) == QLatin1Char('0') &&
        (text.at(i + 1) == QLatin1Char('x') || text.at(i + 1) == QLatin1Char('X')) &&
        hexDigit(text.at(i + 2).unicode()) >= 0)
        i += 2;
    if (i >= text.size() || hexDigit(text.at(i).unicode()) < 0) return 255;
    qint64 value = 0;
    for (; i < text.size(); ++i) {
        const int d = hexDigit(text.at(i).unicode());
        if (d < 0) break;
        value = qMin<qint64>(value * 16 + d, INT_MAX);
    }
    return int(value);
}

QColor ColorUtilities::colorFromStyleString(const QString& text) {
    if (text.size() < 7 || !text.startsWith(QLatin1Char('#'))) return {};
    auto pair = [&](qsizetype i) { return qBound(0, integerFromHexString(text.mid(i, 2)), 255); };
    const int alpha = text.size() == 9 ? pair(7) : 255;
    return QColor(pair(1), pair(3), pair(5), alpha);
}

QString ColorUtilities::styleString(const QColor& color, bool withAlpha) {
    const QColor rgb = color.toRgb();
    const int r = channel255(rgb.redF(), true);
    const int g = channel255(rgb.greenF(), true);
    const int b = channel255(rgb.blueF(), true);
    if (!withAlpha) return QString::asprintf("#%.2x%.2x%.2x", r, g, b);
    return QString::asprintf("#%.2x%.2x%.2x%.2x", r, g, b, channel255(rgb.alphaF(), true));
}

QColor ColorUtilities::bottomToolbarBorderColor() { return QColor::fromRgbF(0.41f, 0.41f, 0.41f, 1.0f); }

QColor ColorUtilities::bottomToolbarBackgroundColor() {
    return QColor::fromRgbF(0.88f, 0.88f, 0.88f, 1.0f);
}
