// A set of UTF-16 characters for the keyword scanners.
#include "languages/QVCharacterSet.h"

#include <algorithm>

QVCharacterSet::QVCharacterSet(const QString& characters, bool foldCase) {
    auto add = [this](char16_t u) {
        if (u < 256) _latin1[u] = true;
        else _wide.push_back(u);
    };
    for (const QChar c : characters) {
        add(c.unicode());
        if (foldCase) {
            add(c.toLower().unicode());
            add(c.toUpper().unicode());
        }
    }
    std::sort(_wide.begin(), _wide.end());
    _wide.erase(std::unique(_wide.begin(), _wide.end()), _wide.end());
}

QVCharacterSet QVCharacterSet::inverted() const {
    QVCharacterSet set = *this;
    set._inverted = !_inverted;
    return set;
}

bool QVCharacterSet::isEmpty() const {
    return !_inverted && _wide.empty() && std::none_of(_latin1.begin(), _latin1.end(), [](bool b) { return b; });
}

bool QVCharacterSet::containsWide(char16_t u) const {
    return std::binary_search(_wide.begin(), _wide.end(), u);
}
