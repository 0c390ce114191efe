// A table from words to what they were found to be, for the keyword highlighter.
#pragma once

#include <QStringView>
#include <QtGlobal>

#include <cstring>
#include <string>
#include <vector>

// Open addressing over a cheap hash of the UTF-16 units; the words themselves sit one after
// the other in a single buffer. Qt's string hash is seeded and several times slower, and a
// file names the same few thousand words over and over. Full at `capacity` words, when it
// starts afresh, so a file of ever new words holds no more than that. Starts small.
template <typename Value>
class QVWordCache {
public:
    explicit QVWordCache(qsizetype capacity = 1 << 15) : _capacity(capacity) { clear(); }

    // The value stored for word, or null when it was never stored.
    const Value* find(QStringView word) const {
        if (word.size() > MaxLength) return nullptr;
        const quint32 hash = hashOf(word);
        for (size_t i = hash & _mask;; i = (i + 1) & _mask) {
            const Slot& slot = _slots[i];
            if (slot.length == Empty) return nullptr;
            if (slot.hash == hash && slot.length == quint32(word.size()) &&
                std::memcmp(_words.data() + slot.offset, word.utf16(), size_t(word.size()) * sizeof(char16_t)) == 0)
                return &slot.value;
        }
    }

    // Stores value for word, which find() did not have. Words longer than MaxLength are not
    // kept: they are rare, and find() answers null for them.
    static constexpr qsizetype MaxLength = 256;
    void insert(QStringView word, const Value& value) {
        if (word.size() > MaxLength) return;
        if (_count >= _capacity) clear();
        if (size_t(_count + 1) * 2 > _slots.size()) grow();
        place(Slot{hashOf(word), quint32(word.size()), quint32(_words.size()), value});
        _words.append(reinterpret_cast<const char16_t*>(word.utf16()), size_t(word.size()));
        ++_count;
    }

    void clear() {
        _slots.assign(16, Slot{});
        _mask = 15;
        _words.clear();
        _count = 0;
    }

private:
    static constexpr quint32 Empty = 0xffffffffu;
    struct Slot {
        quint32 hash = 0;
        quint32 length = Empty;
        quint32 offset = 0;
        Value value{};
    };
    static quint32 hashOf(QStringView word) {
        quint32 hash = 2166136261u;
        for (const QChar c : word) hash = (hash ^ c.unicode()) * 16777619u;
        return hash ^ (hash >> 15);
    }
    void place(const Slot& slot) {
        size_t i = slot.hash & _mask;
        while (_slots[i].length != Empty) i = (i + 1) & _mask;
        _slots[i] = slot;
    }
    // Twice the slots, so that at most half are in use and probe sequences stay short.
    void grow() {
        std::vector<Slot> old(_slots.size() * 2, Slot{});
        old.swap(_slots);
        _mask = _slots.size() - 1;
        for (const Slot& slot : old)
            if (slot.length != Empty) place(slot);
    }

    qsizetype _capacity;
    std::vector<Slot> _slots;
    size_t _mask = 0;
    std::u16string _words;
    qsizetype _count = 0;
};
