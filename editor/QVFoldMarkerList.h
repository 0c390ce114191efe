// The gutter's fold markers in text order, in a balanced tree whose subtrees carry a pending
// shift: an edit cuts the tree at its two ends, drops what lies between, adds one shift to the
// part after it and joins the pieces again, so moving every marker after an edit costs O(log n)
// wherever the edit is and wherever the one before it was.
#pragma once

#include "editor/QVFoldMarker.h"

#include <QString>
#include <QtGlobal>

#include <algorithm>
#include <memory>
#include <unordered_map>
#include <vector>

class QVFoldMarkerList {
public:
    qsizetype size() const { return _root < 0 ? 0 : nodeAt(_root).count; }
    bool empty() const { return _root < 0; }
    // Marker i, its glyph index in the text's present coordinates.
    QVFoldMarker at(qsizetype i) const;
    // The index of the first marker at or after position (size() when none).
    qsizetype lowerBound(qint64 position) const;
    void clear();
    // One edit: markers at [from, to) in the coordinates before it go, those at or after to move
    // by change, and found (sorted, in the coordinates after it, none before from and none at
    // or after to + change) come in. True when the markers differ from those before.
    bool replace(qint64 from, qint64 to, qint64 change, const std::vector<QVFoldMarker>& found);
    std::vector<QVFoldMarker> all() const;
    // Markers [first, last) in order, each handed to visit with its index until it answers false;
    // backwards from last - 1 down to first when !forward. O(log n) plus the markers visited.
    template <typename Visit>
    void walk(qsizetype first, qsizetype last, bool forward, Visit&& visit) const;
    // Tree nodes visited, markers removed and markers added by edits so far: the work they cost.
    quint64 touched() const { return _touched; }
    // Empty when the tree is consistent (sorted, counts right); else what is wrong. O(n).
    QString check() const;
    // The bytes the list holds for its markers, free slots included.
    qsizetype bytesHeld() const;

private:
    // A big page has a marker on most lines, so a node is kept to 32 bytes: the state rides in
    // the priority's two low bits, and the hidden line count of a collapsed marker, which few
    // have, sits beside the nodes.
    struct Node {
        qint64 glyphIndex;  // less the shifts pending on the nodes above
        qint64 shift;       // owed to every node below this one, not to itself
        qint32 left;
        qint32 right;
        qint32 count;       // nodes in this subtree
        quint32 priority;   // the treap's priority above StateBits, the marker's state in them
    };
    static constexpr quint32 StateBits = 3;
    // Nodes sit in slots of fixed size that never move: growing the list never copies it, nor
    // holds more than one slot's worth of room it does not use.
    static constexpr int SlotShift = 10;
    static constexpr qint32 SlotSize = 1 << SlotShift;
    Node& nodeAt(qint32 n) { return _slots[size_t(n >> SlotShift)][size_t(n & (SlotSize - 1))]; }
    const Node& nodeAt(qint32 n) const { return _slots[size_t(n >> SlotShift)][size_t(n & (SlotSize - 1))]; }
    qint32 makeNode(const QVFoldMarker& marker, qint64 shift);
    void freeTree(qint32 node, std::vector<QVFoldMarker>* out, qint64 shift);
    void push(qint32 node);
    void pull(qint32 node);
    // Cuts node's tree into the markers before position and those at or after it.
    void split(qint32 node, qint64 position, qint32* before, qint32* after);
    qint32 join(qint32 a, qint32 b);
    qint32 build(const std::vector<QVFoldMarker>& markers, size_t from, size_t to, qint64 shift);
    QVFoldMarker markerOf(qint32 n, qint64 shift) const;
    template <typename Visit>
    bool walkForward(qint32 node, qint64 shift, qsizetype offset, qsizetype first, qsizetype last, Visit& visit) const;
    template <typename Visit>
    bool walkBackward(qint32 node, qint64 shift, qsizetype offset, qsizetype first, qsizetype last, Visit& visit) const;

    std::vector<std::unique_ptr<Node[]>> _slots;
    qint32 _made = 0;  // nodes ever made, free ones included
    std::vector<qint32> _free;
    std::unordered_map<qint32, qint64> _hiddenLines;  // by node, where not 0
    qint32 _root = -1;
    quint64 _seed = 0x9e3779b97f4a7c15ULL;
    quint64 _touched = 0;
};

template <typename Visit>
void QVFoldMarkerList::walk(qsizetype first, qsizetype last, bool forward, Visit&& visit) const {
    first = std::max<qsizetype>(first, 0);
    last = std::min(last, size());
    if (first >= last) return;
    if (forward) walkForward(_root, 0, 0, first, last, visit);
    else walkBackward(_root, 0, 0, first, last, visit);
}

template <typename Visit>
bool QVFoldMarkerList::walkForward(qint32 n, qint64 shift, qsizetype offset, qsizetype first, qsizetype last, Visit& visit) const {
    if (n < 0) return true;
    const Node& node = nodeAt(n);
    const qsizetype leftCount = node.left < 0 ? 0 : nodeAt(node.left).count;
    const qsizetype here = offset + leftCount;
    const qint64 below = shift + node.shift;
    if (first < here && !walkForward(node.left, below, offset, first, last, visit)) return false;
    if (here >= last) return false;
    if (here >= first && !visit(here, markerOf(n, shift))) return false;
    return walkForward(node.right, below, here + 1, first, last, visit);
}

template <typename Visit>
bool QVFoldMarkerList::walkBackward(qint32 n, qint64 shift, qsizetype offset, qsizetype first, qsizetype last, Visit& visit) const {
    if (n < 0) return true;
    const Node& node = nodeAt(n);
    const qsizetype leftCount = node.left < 0 ? 0 : nodeAt(node.left).count;
    const qsizetype here = offset + leftCount;
    const qint64 below = shift + node.shift;
    if (here + 1 < last && !walkBackward(node.right, below, here + 1, first, last, visit)) return false;
    if (here < first) return false;
    if (here < last && !visit(here, markerOf(n, shift))) return false;
    return walkBackward(node.left, below, offset, first, last, visit);
}
