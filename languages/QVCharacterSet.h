// A set of UTF-16 characters for the keyword scanners: fast membership for Latin-1, a sorted
// table above it, optionally inverted.
#pragma once

#include <QChar>
#include <QString>

#include <array>
#include <vector>

class QVCharacterSet {
public:
    QVCharacterSet() = default;
    // Every character of characters; with foldCase also the other case of each (ASCII and
    // Unicode simple case mapping), so that membership ignores case.
    explicit QVCharacterSet(const QString& characters, bool foldCase = false);

    bool contains(QChar c) const {
        const char16_t u = c.unicode();
        bool in = u < 256 ? _latin1[u] : containsWide(u);
        return in != _inverted;
    }
    // The complement of this set.
    QVCharacterSet inverted() const;
    bool isEmpty() const;  // true only for a non-inverted set with no member

    // The first index in [from, to) whose character is (or, with wanted false, is not) in the
    // set; to when there is none.
    qsizetype indexIn(const QChar* text, qsizetype from, qsizetype to, bool wanted = true) const {
        for (qsizetype i = from; i < to; ++i)
            if (contains(text[i]) == wanted) return i;
        return to;
    }

private:
    bool containsWide(char16_t u) const;

    std::array<bool, 256> _latin1{};
    std::vector<char16_t> _wide;  // sorted, unique
    bool _inverted = false;
};
