// The character-entity table: typed characters and the entities that stand for them in HTML,
// read from the application resource "specialCharacters.plist" (shared with the entity menu).
#pragma once

#include <QHash>
#include <QList>
#include <QString>

#include <utility>

// The resource is a dictionary of groups, each an array of dictionaries with "appearance" (the
// character as typed) and "value" (the entity text). The table leaves out the group "Accents",
// entries with an empty appearance or value, and ASCII characters (which markup writes as
// they are: replacing them would break tags and code).
class QVSpecialCharacters {
public:
    struct Entry {
        QString appearance;
        QString value;
    };
    struct Group {
        QString name;
        QList<Entry> entries;
    };

    // The shipped table, read once.
    static const QVSpecialCharacters& shared();
    // The table of a resource file (tests); an unreadable file gives an empty table.
    static QVSpecialCharacters fromFile(const QString& path);

    // Every group in the resource's key order, for the entity menu (nothing left out).
    const QList<Group>& groups() const { return _groups; }
    // The replacement table, in the groups' order; each appearance once (the first entry wins).
    const QList<Entry>& table() const { return _table; }
    // The entity of a typed character, or empty.
    QString entityFor(const QString& appearance) const;

private:
    QList<Group> _groups;
    QList<Entry> _table;
    QHash<QString, QString> _entities;  // the table by appearance, for typing
};
