// Fingerprints of strings and new unique identifiers.
#pragma once

#include <QString>

#include <optional>

class StringHashing {
public:
    StringHashing() = delete;

    // The MD5 digest of the text's UTF-8 bytes up to the first zero byte, as 32 lower-case hex
    // digits; nothing when the text has no UTF-8 form (it holds a lone surrogate).
    static std::optional<QString> md5(const QString& text);
    // A new random UUID: 36 characters, upper-case hex digits in the groups 8-4-4-4-12.
    static QString uuid();
};
