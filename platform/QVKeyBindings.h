// The key-binding table: key chords mapped to the names of the commands a text view performs.
#pragma once

#include <QHash>
#include <QKeyCombination>
#include <QList>
#include <QString>

#include <utility>

class QKeyEvent;

// Commands are named like the text view's command methods ("moveLeft", "deleteBackward",
// "insertNewline"); the view looks the name up in its own command table. A key is a key code
// with its keyboard modifiers; the keypad modifier plays no part, so the keypad's Enter and
// arrows act like the main ones.
class QVKeyBindings {
public:
    // The standard table of the editor (see the .cpp for the full list).
    static const QVKeyBindings& standard();

    QVKeyBindings() = default;

    // Binds key to command, replacing an earlier binding of the key; an empty command unbinds.
    void bind(QKeyCombination key, const QString& command);
    void unbind(QKeyCombination key) { _commands.remove(normalized(key).toCombined()); }
    // The command of key; empty when none is bound.
    QString commandForKey(QKeyCombination key) const;
    // The command of a key press (Shift+Tab arrives as Backtab and is looked up as such).
    QString commandForEvent(const QKeyEvent* event) const;
    // The keys bound to command, in no particular order.
    QList<QKeyCombination> keysForCommand(const QString& command) const;
    qsizetype count() const { return _commands.size(); }

private:
    static QKeyCombination normalized(QKeyCombination key);
    QHash<int, QString> _commands;
};
