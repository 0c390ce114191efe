// One line of the completion list: the key matched against the partial word, the prototype
// shown and turned into the inserted text, the type column's label, and whether accepting it
// closes the list.
#pragma once

#include "platform/QVError.h"

#include <QString>

class QVCodeCompletionEntry {
public:
    QVCodeCompletionEntry() = default;
    // The key, then the one-string form read as by setStringRepresentation().
    QVCodeCompletionEntry(const QString& key, const QString& stringRepresentation);

    const QString& key() const { return _key; }
    void setKey(const QString& key) { _key = key; }
    const QString& prototype() const { return _prototype; }
    void setPrototype(const QString& prototype) { _prototype = prototype; }
    // Null when the entry has none.
    const QString& type() const { return _type; }
    void setType(const QString& type) { _type = type; }
    bool hideOnComplete() const { return _hideOnComplete; }
    void setHideOnComplete(bool flag) { _hideOnComplete = flag; }

    // The definition's one-string form: the type (empty when null), one blank, the prototype.
    // Reading splits at the first blank; text without a blank is the prototype alone and
    // leaves the type null.
    QString stringRepresentation() const;
    void setStringRepresentation(const QString& representation);

    // The text to insert: optional bracketed parts dropped (one nested level inside them) and
    // every argument ending at "," or ")" made a "[*...*]" placeholder, without a leading type
    // word, with a default value kept: "f(int a, b = 2)" gives "f([*a*], [*b = 2*])".
    QString completion() const;

    // Case-sensitive order of the keys (negative, 0, positive).
    int compare(const QVCodeCompletionEntry& other) const { return _key.compare(other._key); }
    bool operator<(const QVCodeCompletionEntry& other) const { return compare(other) < 0; }
    // Whether the key or the type begins with prefix (case-sensitive).
    bool hasPrefix(const QString& prefix) const;

    // The editors' key field: also becomes the prototype while the entry has none.
    void setKeyFromEditor(const QString& key);
    // Null for a usable key; a blank key is refused with the reason and what to do.
    static QVError validateKey(const QString& key);

    bool operator==(const QVCodeCompletionEntry&) const = default;

private:
    QString _key;
    QString _prototype;
    QString _type;
    bool _hideOnComplete = false;
};
