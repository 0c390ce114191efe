// JSON objects whose keys keep the order they were set in (the service reads the payloads as
// written), and the compact writer for them: control characters escaped, text as UTF-8.
#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QVariant>

class TDGJsonObject {
public:
    // Replaces the value of a key in place, or appends it.
    void set(const QString& key, const QVariant& value);
    void remove(const QString& key);
    bool contains(const QString& key) const;
    QVariant value(const QString& key) const;
    qsizetype size() const { return _entries.size(); }
    const QList<QPair<QString, QVariant>>& entries() const { return _entries; }
    bool operator==(const TDGJsonObject& other) const { return _entries == other._entries; }

private:
    QList<QPair<QString, QVariant>> _entries;
};
Q_DECLARE_METATYPE(TDGJsonObject)

namespace TDGJson {
// Compact JSON text of strings, booleans, integers, finite doubles, ordered objects, maps and
// lists; empty (and ok false) for anything else, a non-finite number among them.
QByteArray write(const QVariant& value, bool* ok = nullptr);
QByteArray quote(const QString& text);
}  // namespace TDGJson
