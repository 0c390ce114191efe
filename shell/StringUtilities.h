// General string helpers: indentation and line-break strings from the settings, line-break
// conversion, key equivalents, trimming and reducing, and a few display forms.
#pragma once

#include "platform/QVRange.h"

#include <QString>
#include <QVariantMap>

#include <functional>

class StringUtilities {
public:
    StringUtilities() = delete;

    // Modifier flags of key equivalents, or-ed together.
    static constexpr quint64 ShiftKeyMask = 0x20000;
    static constexpr quint64 ControlKeyMask = 0x40000;
    static constexpr quint64 OptionKeyMask = 0x80000;
    static constexpr quint64 CommandKeyMask = 0x100000;

    // One indentation unit: QVTabSizeKey spaces when QVTabsAreSpaces is on, else a tab.
    static QString tabSpaces();
    // The line break of QVLineBreak: "\r\n" for 2, "\r" for 1, "\n" otherwise.
    static QString lineBreak();
    // The application-support folder, expanded.
    static QString tildePath();

    // A copy of text in which every line break ("\r\n", "\r" or "\n", the longest at each place)
    // becomes the break of the style name: "Unix" LF, "Mac" CR, any other name CR LF. A null name
    // takes the style from QVLineBreak (0 LF, 1 CR, 2 CR LF); another stored value leaves the
    // text unchanged. The lineBreak argument does not affect the result.
    static QString switchLineBreaks(const QString& text, const QString& lineBreak, const QString& name);

    // The words between single spaces, each with a first letter a-z upper-cased, joined.
    static QString camelString(const QString& text);

    // The whole lines holding range, without the break that ends the last: from after the last
    // LF or CR before the range to the first LF or CR at or after its end (or the text's end).
    // The range is clamped to the text.
    static QVRange myLineRangeForRange(const QString& text, QVRange range);

    // Splits a key-equivalent text such as "@~s" or "^\$": leading "@~^$" characters give
    // modifier flags (written to modifiers, 0 when none); the rest, with every "\" removed,
    // is the key that is returned.
    static QString actualKeyWithModifier(const QString& text, quint64* modifiers);
    // The Qt modifier bits (Qt::KeyboardModifiers) of a modifier mask as Linux maps them:
    // "@" (Command on the Mac) is Ctrl, "~" Alt, "^" Meta, "$" Shift.
    static quint32 keyboardModifiersForMask(quint64 mask);

    // Without the leading, trailing, or both runs of " " (tabs stay).
    static QString stringWithNoLeadingSpaces(const QString& text);
    static QString stringWithNoTrailingSpaces(const QString& text);
    static QString stringWithNoEdgeSpaces(const QString& text);

    // Only the characters (code points) for which inSet answers true, in order; white space and
    // line breaks are always dropped.
    static QString stringByReducingToCharactersFromSet(const QString& text,
                                                       const std::function<bool(char32_t)>& inSet);

    // The path with "/" appended unless it ends in one; the empty string stays empty.
    static QString stringWithTrailingSlash(const QString& path);
    // The first n characters and "..." when the text has at least n characters, else the text.
    static QString shrinkToSize(const QString& text, qint64 n);
    // The path without one leading "/".
    static QString stringWithoutLeadingSlash(const QString& path);
    static QString stringByDeletingLeadingSlash(const QString& path) { return stringWithoutLeadingSlash(path); }
    // "name — …/folder": the file name, an em dash, an ellipsis and the folder that holds it.
    static QString ellipsedPath(const QString& path);

    // Each entity (from "&" to the next ";") that is the "value" of an entry of the
    // special-characters list, groups other than "Accents", replaced by the entry's
    // "appearance". The first form reads the list from the application's resources.
    static QString stringWithSpecialCharacters(const QString& text);
    static QString stringWithSpecialCharacters(const QString& text, const QVariantMap& specialCharacters);
};
