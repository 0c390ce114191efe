// Replacing and finding plain text inside strings.
#pragma once

#include <QString>

class StringSearching {
public:
    StringSearching() = delete;

    // A copy of text in which every case-insensitive occurrence of target is replaced; the search
    // goes on after each inserted replacement, so a replacement holding the target cannot loop.
    // A null or empty target, or a null replacement, gives the text unchanged.
    static QString replaceAll(const QString& text, const QString& target, const QString& replacement);

    // The text after the first occurrence of marker; the whole text when marker is absent, null
    // or empty.
    static QString stringAfterString(const QString& text, const QString& marker);
};
