// The key-binding table and the editor's standard bindings.
#include "platform/QVKeyBindings.h"

#include <QKeyEvent>

namespace {

QVKeyBindings makeStandard() {
    QVKeyBindings table;
    const Qt::KeyboardModifier Shift = Qt::ShiftModifier;
    const Qt::KeyboardModifier Ctrl = Qt::ControlModifier;
    struct Binding {
        Qt::KeyboardModifiers modifiers;
        Qt::Key key;
        const char* command;
    };
    const Binding bindings[] = {
        {{}, Qt::Key_Left, "moveLeft"},
        {{}, Qt::Key_Right, "moveRight"},
        {{}, Qt::Key_Up, "moveUp"},
        {{}, Qt::Key_Down, "moveDown"},
        {Shift, Qt::Key_Left, "moveLeftAndModifySelection"},
        {Shift, Qt::Key_Right, "moveRightAndModifySelection"},
        {Shift, Qt::Key_Up, "moveUpAndModifySelection"},
        {Shift, Qt::Key_Down, "moveDownAndModifySelection"},
        {Ctrl, Qt::Key_Left, "moveWordLeft"},
        {Ctrl, Qt::Key_Right, "moveWordRight"},
        {Ctrl | Shift, Qt::Key_Left, "moveWordLeftAndModifySelection"},
        {Ctrl | Shift, Qt::Key_Right, "moveWordRightAndModifySelection"},
        {Ctrl, Qt::Key_Up, "scrollLineUp"},
        {Ctrl, Qt::Key_Down, "scrollLineDown"},
        {{}, Qt::Key_Home, "moveToBeginningOfLine"},
        {{}, Qt::Key_End, "moveToEndOfLine"},
        {Shift, Qt::Key_Home, "moveToBeginningOfLineAndModifySelection"},
        {Shift, Qt::Key_End, "moveToEndOfLineAndModifySelection"},
        {Ctrl, Qt::Key_Home, "moveToBeginningOfDocument"},
        {Ctrl, Qt::Key_End, "moveToEndOfDocument"},
        {Ctrl | Shift, Qt::Key_Home, "moveToBeginningOfDocumentAndModifySelection"},
        {Ctrl | Shift, Qt::Key_End, "moveToEndOfDocumentAndModifySelection"},
        {{}, Qt::Key_PageUp, "pageUp"},
        {{}, Qt::Key_PageDown, "pageDown"},
        {Shift, Qt::Key_PageUp, "pageUpAndModifySelection"},
        {Shift, Qt::Key_PageDown, "pageDownAndModifySelection"},
        {{}, Qt::Key_Backspace, "deleteBackward"},
        {Shift, Qt::Key_Backspace, "deleteBackward"},
        {{}, Qt::Key_Delete, "deleteForward"},
        {Ctrl, Qt::Key_Backspace, "deleteWordBackward"},
        {Ctrl, Qt::Key_Delete, "deleteWordForward"},
        {{}, Qt::Key_Return, "insertNewline"},
        {{}, Qt::Key_Enter, "insertNewline"},
        {Shift, Qt::Key_Return, "insertNewline"},
        {Shift, Qt::Key_Enter, "insertNewline"},
        {{}, Qt::Key_Tab, "insertTab"},
        {Shift, Qt::Key_Backtab, "insertBacktab"},
        {{}, Qt::Key_Backtab, "insertBacktab"},
        {{}, Qt::Key_Escape, "cancelOperation"},
        {Ctrl, Qt::Key_A, "selectAll"},
        {Ctrl, Qt::Key_C, "copy"},
        {Ctrl, Qt::Key_Insert, "copy"},
        {Ctrl, Qt::Key_X, "cut"},
        {Shift, Qt::Key_Delete, "cut"},
        {Ctrl, Qt::Key_V, "paste"},
        {Shift, Qt::Key_Insert, "paste"},
        {Ctrl, Qt::Key_Z, "undo"},
        {Ctrl | Shift, Qt::Key_Z, "redo"},
        {Ctrl, Qt::Key_Y, "redo"},
    };
    for (const Binding& b : bindings)
        table.bind(QKeyCombination(b.modifiers, b.key), QString::fromLatin1(b.command));
    return table;
}

}  // namespace

const QVKeyBindings& QVKeyBindings::standard() {
    static const QVKeyBindings table = makeStandard();
    return table;
}

QKeyCombination QVKeyBindings::normalized(QKeyCombination key) {
    const Qt::KeyboardModifiers relevant =
        Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier;
    return QKeyCombination(key.keyboardModifiers() & relevant, key.key());
}

void QVKeyBindings::bind(QKeyCombination key, const QString& command) {
    const int combined = normalized(key).toCombined();
    if (command.isEmpty()) _commands.remove(combined);
    else _commands.insert(combined, command);
}

QString QVKeyBindings::commandForKey(QKeyCombination key) const {
    return _commands.value(normalized(key).toCombined());
}

QString QVKeyBindings::commandForEvent(const QKeyEvent* event) const {
    if (!event) return {};
    return commandForKey(event->keyCombination());
}

QList<QKeyCombination> QVKeyBindings::keysForCommand(const QString& command) const {
    QList<QKeyCombination> keys;
    for (auto it = _commands.begin(); it != _commands.end(); ++it)
        if (it.value() == command) keys << QKeyCombination::fromCombined(it.key());
    return keys;
}
