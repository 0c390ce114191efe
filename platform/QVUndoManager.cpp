// Undo and redo stacks of named groups of inverse actions.
#include "platform/QVUndoManager.h"

#include "platform/MainQueue.h"

#include <QtDebug>

#include <algorithm>

QVUndoManager::QVUndoManager() : _alive(std::make_shared<bool>(true)) {}

QVUndoManager::~QVUndoManager() = default;

// --- Groups -----------------------------------------------------------------------------------

void QVUndoManager::beginUndoGrouping() {
    _open.push_back(Group());
}

void QVUndoManager::endUndoGrouping() {
    if (_open.empty()) {
        qWarning("QVUndoManager: endUndoGrouping without beginUndoGrouping ignored");
        return;
    }
    Group group = std::move(_open.back());
    _open.pop_back();
    if (!_open.empty()) {
        // A nested group melts into its parent; its marks carry over where the parent has none.
        Group& parent = _open.back();
        if (parent.name.isEmpty()) parent.name = group.name;
        if (!group.counts) parent.counts = false;
        // Actions that came after a coalescing record end its coalescing.
        if (!group.entries.empty()) parent.coalescingKey = nullptr;
        for (Entry& entry : group.entries) parent.entries.push_back(std::move(entry));
        return;
    }
    if (_state == State::Normal) commit(std::move(group));
    else _open.push_back(std::move(group));  // undo() and redo() close their own group
}

void QVUndoManager::closeEventGroup() {
    if (_state != State::Normal || _open.size() != 1 || !_open.front().eventGroup) return;
    endUndoGrouping();
}

void QVUndoManager::commit(Group group) {
    if (group.entries.empty()) return;
    group.serial = _nextSerial++;
    _coalescingKey = group.coalescingKey;
    const bool counts = group.counts;
    _undoStack.push_back(std::move(group));
    notify(Change::Done, counts);
}

// --- Registration -----------------------------------------------------------------------------

void QVUndoManager::registerUndo(const void* target, Action action) {
    if (!isUndoRegistrationEnabled() || !action) return;
    if (_state == State::Normal) {
        _redoStack.clear();
        _coalescingKey = nullptr;
        if (_open.empty()) {
            beginUndoGrouping();
            if (_groupsByEvent) {
                _open.back().eventGroup = true;
                std::weak_ptr<bool> alive = _alive;
                MainQueue::post([this, alive] {
                    if (alive.lock()) closeEventGroup();
                });
            } else {
                // Without grouping by event a lone registration is a group of its own.
                _open.back().entries.push_back(Entry{target, std::move(action)});
                endUndoGrouping();
                return;
            }
        }
    }
    if (_open.empty()) beginUndoGrouping();  // cannot happen during undo/redo, which keep a group
    _open.back().coalescingKey = nullptr;
    _open.back().entries.push_back(Entry{target, std::move(action)});
}

void QVUndoManager::setActionName(const QString& name) {
    if (!_open.empty()) _open.back().name = name;
    else if (!_undoStack.empty() && _state == State::Normal) _undoStack.back().name = name;
}

void QVUndoManager::setActionCountsAsChange(bool counts) {
    if (!_open.empty()) _open.back().counts = counts;
}

void QVUndoManager::markCoalescing(const void* key) {
    if (isEventGroupOpen()) _open.front().coalescingKey = key;
}

bool QVUndoManager::isEventGroupOpen() const {
    return _state == State::Normal && _open.size() == 1 && _open.front().eventGroup;
}

bool QVUndoManager::isCoalescing(const void* key) const {
    if (!key || _state != State::Normal) return false;
    if (_open.empty()) return _coalescingKey == key;
    return isEventGroupOpen() && _open.front().coalescingKey == key;
}

void QVUndoManager::breakCoalescing() {
    _coalescingKey = nullptr;
    for (Group& group : _open) group.coalescingKey = nullptr;
}

void QVUndoManager::removeAllActions() {
    _undoStack.clear();
    _redoStack.clear();
    for (Group& group : _open) group.entries.clear();
    _coalescingKey = nullptr;
}

void QVUndoManager::removeAllActions(const void* target) {
    auto purge = [target](std::vector<Group>& groups, bool dropEmpty) {
        for (Group& group : groups)
            std::erase_if(group.entries, [target](const Entry& e) { return e.target == target; });
        if (dropEmpty) std::erase_if(groups, [](const Group& g) { return g.entries.empty(); });
    };
    purge(_undoStack, true);
    purge(_redoStack, true);
    purge(_open, false);
    _coalescingKey = nullptr;
}

// --- Undo and redo ----------------------------------------------------------------------------

bool QVUndoManager::canUndo() const {
    if (!_undoStack.empty()) return true;
    return _open.size() == 1 && _open.front().eventGroup && !_open.front().entries.empty();
}

bool QVUndoManager::undo() {
    closeEventGroup();
    if (!_open.empty()) {
        qWarning("QVUndoManager: undo refused while a group is open");
        return false;
    }
    return apply(_undoStack, _redoStack, State::Undoing, Change::Undone);
}

bool QVUndoManager::redo() {
    closeEventGroup();
    if (!_open.empty()) {
        qWarning("QVUndoManager: redo refused while a group is open");
        return false;
    }
    return apply(_redoStack, _undoStack, State::Redoing, Change::Redone);
}

bool QVUndoManager::apply(std::vector<Group>& from, std::vector<Group>& to, State state, Change change) {
    if (_state != State::Normal || from.empty()) return false;
    Group group = std::move(from.back());
    from.pop_back();
    _coalescingKey = nullptr;
    _state = state;
    _open.push_back(Group());
    for (auto it = group.entries.rbegin(); it != group.entries.rend(); ++it) it->action();
    // Actions may have opened groups of their own and closed them; only ours is left.
    while (_open.size() > 1) endUndoGrouping();
    Group inverse = std::move(_open.back());
    _open.pop_back();
    _state = State::Normal;
    if (inverse.name.isEmpty()) inverse.name = group.name;
    inverse.counts = group.counts;
    inverse.serial = group.serial;
    inverse.coalescingKey = nullptr;
    inverse.eventGroup = false;
    if (!inverse.entries.empty()) to.push_back(std::move(inverse));
    notify(change, group.counts);
    return true;
}

QString QVUndoManager::undoActionName() const {
    if (!_undoStack.empty()) return _undoStack.back().name;
    return canUndo() ? _open.front().name : QString();
}

QString QVUndoManager::redoActionName() const { return _redoStack.empty() ? QString() : _redoStack.back().name; }

QString QVUndoManager::undoMenuItemTitle() const {
    const QString name = undoActionName();
    return name.isEmpty() ? QStringLiteral("Undo") : QStringLiteral("Undo ") + name;
}

QString QVUndoManager::redoMenuItemTitle() const {
    const QString name = redoActionName();
    return name.isEmpty() ? QStringLiteral("Redo") : QStringLiteral("Redo ") + name;
}

// --- Change counts ----------------------------------------------------------------------------

quint64 QVUndoManager::changeToken() const {
    for (auto it = _undoStack.rbegin(); it != _undoStack.rend(); ++it)
        if (it->counts) return it->serial;
    return 0;
}

QVUndoManager::Token QVUndoManager::addChangeObserver(ChangeObserver observer) {
    const Token token = _nextToken++;
    _observers.emplace_back(token, std::make_shared<ChangeObserver>(std::move(observer)));
    return token;
}

void QVUndoManager::removeChangeObserver(Token token) {
    std::erase_if(_observers, [token](const auto& entry) { return entry.first == token; });
}

void QVUndoManager::notify(Change change, bool counts) {
    if (counts) _changeCount += change == Change::Undone ? -1 : 1;
    const auto observers = _observers;
    for (const auto& [token, observer] : observers) {
        const bool stillThere = std::any_of(_observers.begin(), _observers.end(),
                                            [token = token](const auto& e) { return e.first == token; });
        if (stillThere) (*observer)(change, counts);
    }
}

QString QVUndoManager::dump() const {
    QString out;
    auto line = [&out](const char* kind, const Group& group) {
        out += QStringLiteral("%1 \"%2\" %3 action%4%5\n")
                   .arg(QLatin1String(kind), group.name)
                   .arg(group.entries.size())
                   .arg(group.entries.size() == 1 ? QString() : QStringLiteral("s"))
                   .arg(group.counts ? QString() : QStringLiteral(" uncounted"));
    };
    for (auto it = _undoStack.rbegin(); it != _undoStack.rend(); ++it) line("undo", *it);
    for (auto it = _redoStack.rbegin(); it != _redoStack.rend(); ++it) line("redo", *it);
    if (!_open.empty()) out += QStringLiteral("open %1\n").arg(_open.size());
    return out;
}
