// Colours as text: the bare six-digit hex of the colour fields (with web-safe snapping), the
// "#rrggbb[aa]" style strings of theme files, and the fixed colours of the bottom toolbars.
#pragma once

#include <QColor>
#include <QString>

class ColorUtilities {
public:
    ColorUtilities() = delete;

    // Reads bare hex ("FF8000", "ff8000", "#FF8000"); a text shorter than six characters is
    // padded with leading zeros first ("F" is 00000F). Characters that are not hex digits, and
    // digits missing at the end, count 0. Alpha is 1.
    static QColor rgbFromHex(const QString& text);

    // Six upper-case hex digits of the colour's RGB channels (rounded), no "#"; snapped to
    // web-safe values when websafe is set.
    static QString hexValueWebsafe(const QColor& color, bool websafe);
    // Each pair snapped by the mean of its two digits to 00, 33, 66, 99, CC or FF. Only
    // upper-case letters count as digits; anything else, and a missing digit, counts 0.
    static QString webSafeHexValueFromString(const QString& text);

    // The value of the leading hexadecimal number (blanks and an "0x" prefix allowed before it),
    // or 255 when the text has none. Values beyond the int range saturate.
    static int integerFromHexString(const QString& text);

    // Reads "#rrggbb" or "#rrggbbaa" (alpha only when the text is exactly nine characters,
    // else opaque); a pair that is not hexadecimal counts 255. An invalid colour for a text
    // that does not begin with "#" or is shorter than "#rrggbb".
    static QColor colorFromStyleString(const QString& text);
    // "#rrggbb" or "#rrggbbaa", lower case, channels rounded down.
    static QString styleString(const QColor& color, bool withAlpha = true);

    static QColor bottomToolbarBorderColor();      // white 0.41, opaque
    static QColor bottomToolbarBackgroundColor();  // white 0.88, opaque
};
