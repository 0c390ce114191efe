// Undo and redo stacks of named groups of inverse actions: nesting, grouping by event, typing
// coalescing and the change counts a document keeps its edited state by.
#pragma once

#include <QString>
#include <QtGlobal>

#include <functional>
#include <memory>
#include <vector>

// An action is any callable that undoes something; while it runs (undo()), whatever it
// registers becomes the redo group, and while a redo runs, the new undo group. Outside of
// undo and redo a registration clears the redo stack.
//
// Groups nest: beginUndoGrouping()/endUndoGrouping() pairs, and only the outermost end commits
// a group to the undo stack (empty groups are dropped). With grouping by event on (the
// default), a registration outside any group opens one that closeEventGroup() ends: the text
// view calls it when it has handled an input event, and a call is also posted to the main
// queue, so that work done outside of events is grouped per turn of the event loop.
//
// Coalescing: an event group can be marked with a key (markCoalescing()). As long as it is the
// last committed group (or the event group still open) and nothing broke it (another
// registration, undo, redo, breakCoalescing()), isCoalescing(key) answers true, and the owner
// may grow the record it registered instead of registering another: typing becomes one step.
//
// Change counting: every committed group reports Done, every undo Undone and every redo
// Redone to the change observers, with whether the group counts as a change
// (setActionCountsAsChange(false) marks one that does not, such as folding). changeCount() is
// the net count of counting changes (done +1, undone -1, redone +1); changeToken() names the
// state of the content: it is the serial of the topmost counting group on the undo stack, so
// it returns to the same value when undo and redo come back to a state and never repeats
// for a new edit made after an undo.
//
// Main thread only.
class QVUndoManager {
public:
    using Action = std::function<void()>;
    enum class Change { Done, Undone, Redone };
    using ChangeObserver = std::function<void(Change change, bool countsAsChange)>;
    using Token = quint64;

    QVUndoManager();
    ~QVUndoManager();
    QVUndoManager(const QVUndoManager&) = delete;
    QVUndoManager& operator=(const QVUndoManager&) = delete;

    // --- Groups -------------------------------------------------------------------------------
    void beginUndoGrouping();
    // Ends the innermost group; an end without a begin is ignored with a warning.
    void endUndoGrouping();
    int groupingLevel() const { return int(_open.size()); }
    bool groupsByEvent() const { return _groupsByEvent; }
    void setGroupsByEvent(bool flag) { _groupsByEvent = flag; }
    // Ends the group that grouping by event opened, when it is the only one open.
    void closeEventGroup();
    // Whether the only open group is the one grouping by event opened.
    bool isEventGroupOpen() const;

    // --- Registration -------------------------------------------------------------------------
    // Registers an inverse action for target (an identity used by removeAllActions(target)).
    // Ignored while registration is disabled.
    void registerUndo(const void* target, Action action);
    // Names the group being built (the innermost open one); a group without a name takes the
    // name of the first named group nested in it.
    void setActionName(const QString& name);
    // Marks the group being built as one that does (the default) or does not count as a change.
    void setActionCountsAsChange(bool counts);
    // Marks the group being built as coalescible under key, when it is the event group (a
    // group opened on purpose holds a step of its own). Any later registration unmarks it.
    void markCoalescing(const void* key);
    bool isCoalescing(const void* key) const;
    void breakCoalescing();

    void disableUndoRegistration() { ++_disabled; }
    void enableUndoRegistration() {
        if (_disabled > 0) --_disabled;
    }
    bool isUndoRegistrationEnabled() const { return _disabled == 0; }

    // Drops every group of both stacks and the actions of the open groups.
    void removeAllActions();
    // Drops the actions of target everywhere; groups left empty disappear.
    void removeAllActions(const void* target);

    // --- Undo and redo ------------------------------------------------------------------------
    bool canUndo() const;
    bool canRedo() const { return !_redoStack.empty(); }
    // Closes the event group first. Refused (false) while another group is open, during an undo
    // or redo, or with nothing to undo.
    bool undo();
    bool redo();
    bool isUndoing() const { return _state == State::Undoing; }
    bool isRedoing() const { return _state == State::Redoing; }
    // The names of the groups that undo() and redo() would apply; empty without one.
    QString undoActionName() const;
    QString redoActionName() const;
    // "Undo" or "Undo <name>", "Redo" or "Redo <name>".
    QString undoMenuItemTitle() const;
    QString redoMenuItemTitle() const;
    qsizetype undoCount() const { return qsizetype(_undoStack.size()); }
    qsizetype redoCount() const { return qsizetype(_redoStack.size()); }

    // --- Change counts ------------------------------------------------------------------------
    qint64 changeCount() const { return _changeCount; }
    quint64 changeToken() const;
    Token addChangeObserver(ChangeObserver observer);
    void removeChangeObserver(Token token);

    // For tests: the stacks top first, one group a line: `undo "Typing" 2 actions` (with
    // " uncounted" for a group that does not count), then `redo ...`, then `open N`.
    QString dump() const;

private:
    struct Entry {
        const void* target;
        Action action;
    };
    struct Group {
        std::vector<Entry> entries;
        QString name;
        bool counts = true;
        bool eventGroup = false;
        const void* coalescingKey = nullptr;
        quint64 serial = 0;  // set when committed; kept by undo and redo
    };
    enum class State { Normal, Undoing, Redoing };

    void commit(Group group);
    bool apply(std::vector<Group>& from, std::vector<Group>& to, State state, Change change);
    void notify(Change change, bool counts);

    std::vector<Group> _open;
    std::vector<Group> _undoStack;
    std::vector<Group> _redoStack;
    State _state = State::Normal;
    bool _groupsByEvent = true;
    int _disabled = 0;
    const void* _coalescingKey = nullptr;
    quint64 _nextSerial = 1;
    qint64 _changeCount = 0;
    std::vector<std::pair<Token, std::shared_ptr<ChangeObserver>>> _observers;
    Token _nextToken = 1;
    std::shared_ptr<bool> _alive;  // lets a posted closeEventGroup() find out that we are gone
};
