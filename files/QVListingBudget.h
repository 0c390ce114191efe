// What one answer of a site may cost Qorvel, alike for a WebDAV 207 (a listing, or the one
// resource a save asks about), an FTP LIST and an sftp listing: bytes are not the measure, what
// reading them keeps is. Each reader counts its elements, texts and entries here; the first bound
// passed ends the read, and refusal() says which.
#pragma once

#include <QByteArrayView>
#include <QString>

class QVListingBudget {
public:
    // The answer as it came: a WebDAV body held in memory, an FTP listing's file, an sftp reply.
    // Some 200,000 members as Apache words them, whose entries would pass the bounds below.
    static constexpr qint64 MaxAnswerBytes = 128ll << 20;
    // Elements inside elements: Apache's deepest property (a lock's owner) is eight down.
    static constexpr int MaxDepth = 32;
    // One text, href, tag or line: a path of the longest Linux allows, every byte escaped.
    static constexpr qsizetype MaxTextBytes = 64 << 10;
    // Twice the folders the project window is timed on.
    static constexpr qsizetype MaxEntries = 100000;
    // What the entries kept take, as counted by cost().
    static constexpr qint64 MaxEntryMemory = 128ll << 20;

    // The bounds one read is held to: the ones above, or smaller ones (a fuzzer's inputs are
    // small, and must reach every bound).
    struct Limits {
        qint64 answerBytes = MaxAnswerBytes;
        int depth = MaxDepth;
        qsizetype textBytes = MaxTextBytes;
        qsizetype entries = MaxEntries;
        qint64 entryMemory = MaxEntryMemory;
    };
    QVListingBudget() = default;
    explicit QVListingBudget(const Limits& limits) : _limits(limits) {}
    const Limits& limits() const { return _limits; }

    // Each is false, and the read is over, once its bound is passed.
    bool takeAnswer(qint64 bytes);
    bool takeDepth(int depth);
    bool takeText(qsizetype bytes);
    // One entry read, and what is kept of it (0 for an entry read and dropped).
    bool takeEntry(qint64 keptBytes);
    // What an entry of these texts keeps, as measured on sftp's listing of a huge folder: its
    // name twice (as name and in its path) in UTF-16, its other texts (date, owner, group, a
    // link's target) once each, and some 1 KB of objects, allocations and the folder's part of
    // its path around them. An FTP listing of links with long targets is priced as it is kept,
    // not as if each target were held twice.
    static qint64 cost(qsizetype nameCharacters, qsizetype otherCharacters = 0) {
        return 1024 + 4 * qint64(nameCharacters) + 2 * qint64(otherCharacters);
    }
    // The first line of the answer past MaxTextBytes, found without reading it as anything.
    bool takeLines(QByteArrayView bytes);

    bool refused() const { return !_refusal.isEmpty(); }
    // Why the read ended, in the user's words; empty while within every bound.
    const QString& refusal() const { return _refusal; }
    qsizetype entries() const { return _entries; }
    qint64 memory() const { return _memory; }

private:
    bool refuse(const QString& why);

    Limits _limits;
    qsizetype _entries = 0;
    qint64 _memory = 0;
    QString _refusal;
};
