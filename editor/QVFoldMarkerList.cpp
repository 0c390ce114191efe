// Fold markers in a treap (a binary search tree kept balanced by random priorities) whose nodes
// owe their subtrees a shift.
#include "editor/QVFoldMarkerList.h"

#include <QString>

#include <algorithm>

QVFoldMarker QVFoldMarkerList::markerOf(qint32 n, qint64 shift) const {
    const Node& node = nodeAt(n);
    QVFoldMarker marker(node.glyphIndex + shift, QVFoldMarkerState(node.priority & StateBits));
    if (!_hiddenLines.empty()) {
        const auto found = _hiddenLines.find(n);
        if (found != _hiddenLines.end()) marker.setNumberOfLines(found->second);
    }
    return marker;
}

qint32 QVFoldMarkerList::makeNode(const QVFoldMarker& marker, qint64 shift) {
    // splitmix64: a fixed sequence, so that a run behaves the same every time.
    quint64 z = (_seed += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    static_assert(quint32(QVFoldMarkerState::Other) <= StateBits);
    const Node node{marker.glyphIndex() - shift, 0, -1, -1, 1, (quint32(z) & ~StateBits) | quint32(marker.state())};
    qint32 n = 0;
    if (!_free.empty()) {
        n = _free.back();
        _free.pop_back();
    } else {
        n = _made++;
        if (size_t(n >> SlotShift) == _slots.size()) _slots.push_back(std::make_unique_for_overwrite<Node[]>(size_t(SlotSize)));
    }
    nodeAt(n) = node;
    if (marker.numberOfLines() != 0) _hiddenLines[n] = marker.numberOfLines();
    return n;
}

void QVFoldMarkerList::push(qint32 n) {
    Node& node = nodeAt(n);
    if (node.shift == 0) return;
    for (const qint32 child : {node.left, node.right}) {
        if (child < 0) continue;
        Node& c = nodeAt(child);
        c.glyphIndex += node.shift;
        c.shift += node.shift;
    }
    node.shift = 0;
}

void QVFoldMarkerList::pull(qint32 n) {
    Node& node = nodeAt(n);
    node.count = 1 + (node.left < 0 ? 0 : nodeAt(node.left).count) + (node.right < 0 ? 0 : nodeAt(node.right).count);
}

void QVFoldMarkerList::split(qint32 n, qint64 position, qint32* before, qint32* after) {
    if (n < 0) {
        *before = *after = -1;
        return;
    }
    ++_touched;
    push(n);
    if (nodeAt(n).glyphIndex < position) {
        qint32 a = -1, b = -1;
        split(nodeAt(n).right, position, &a, &b);
        nodeAt(n).right = a;
        pull(n);
        *before = n;
        *after = b;
    } else {
        qint32 a = -1, b = -1;
        split(nodeAt(n).left, position, &a, &b);
        nodeAt(n).left = b;
        pull(n);
        *before = a;
        *after = n;
    }
}

qint32 QVFoldMarkerList::join(qint32 a, qint32 b) {
    if (a < 0) return b;
    if (b < 0) return a;
    ++_touched;
    if (nodeAt(a).priority > nodeAt(b).priority) {
        push(a);
        const qint32 right = join(nodeAt(a).right, b);
        nodeAt(a).right = right;
        pull(a);
        return a;
    }
    push(b);
    const qint32 left = join(a, nodeAt(b).left);
    nodeAt(b).left = left;
    pull(b);
    return b;
}

// A balanced tree over markers[from, to), its priorities fixed afterwards.
qint32 QVFoldMarkerList::build(const std::vector<QVFoldMarker>& markers, size_t from, size_t to, qint64 shift) {
    if (from >= to) return -1;
    const size_t mid = from + (to - from) / 2;
    const qint32 n = makeNode(markers[mid], shift);
    const qint32 left = build(markers, from, mid, shift);
    const qint32 right = build(markers, mid + 1, to, shift);
    nodeAt(n).left = left;
    nodeAt(n).right = right;
    pull(n);
    return n;
}

void QVFoldMarkerList::freeTree(qint32 n, std::vector<QVFoldMarker>* out, qint64 shift) {
    if (n < 0) return;
    const Node node = nodeAt(n);
    freeTree(node.left, out, shift + node.shift);
    out->push_back(markerOf(n, shift));
    if (!_hiddenLines.empty()) _hiddenLines.erase(n);
    freeTree(node.right, out, shift + node.shift);
    _free.push_back(n);
}

QVFoldMarker QVFoldMarkerList::at(qsizetype i) const {
    Q_ASSERT(i >= 0 && i < size());
    qint32 n = _root;
    qint64 shift = 0;
    for (;;) {
        const Node& node = nodeAt(n);
        const qsizetype leftCount = node.left < 0 ? 0 : nodeAt(node.left).count;
        if (i == leftCount) return markerOf(n, shift);
        shift += node.shift;
        if (i < leftCount) {
            n = node.left;
        } else {
            i -= leftCount + 1;
            n = node.right;
        }
    }
}

qsizetype QVFoldMarkerList::lowerBound(qint64 position) const {
    qsizetype answer = size();
    qsizetype offset = 0;
    qint64 shift = 0;
    for (qint32 n = _root; n >= 0;) {
        const Node& node = nodeAt(n);
        const qsizetype leftCount = node.left < 0 ? 0 : nodeAt(node.left).count;
        if (node.glyphIndex + shift >= position) {
            answer = offset + leftCount;
            shift += node.shift;
            n = node.left;
        } else {
            offset += leftCount + 1;
            shift += node.shift;
            n = node.right;
        }
    }
    return answer;
}

void QVFoldMarkerList::clear() {
    _slots.clear();
    _slots.shrink_to_fit();
    _made = 0;
    _hiddenLines.clear();
    _free.clear();
    _free.shrink_to_fit();
    _root = -1;
}

bool QVFoldMarkerList::replace(qint64 from, qint64 to, qint64 change, const std::vector<QVFoldMarker>& found) {
    qint32 before = -1, rest = -1, middle = -1, after = -1;
    split(_root, from, &before, &rest);
    split(rest, to, &middle, &after);
    std::vector<QVFoldMarker> removed;
    freeTree(middle, &removed, 0);
    _touched += removed.size() + found.size();
    if (after >= 0 && change != 0) {
        Node& node = nodeAt(after);
        node.glyphIndex += change;
        node.shift += change;
    }
    qint32 added = build(found, 0, found.size(), 0);
    if (added >= 0) {
        // The new subtree is balanced already; heap-ordered priorities, largest at its root,
        // keep it so when it is joined with the rest.
        std::vector<quint32> priorities;
        priorities.reserve(found.size());
        std::vector<qint32> level{added};
        for (size_t k = 0; k < level.size(); ++k) {
            priorities.push_back(nodeAt(level[k]).priority & ~StateBits);
            for (const qint32 child : {nodeAt(level[k]).left, nodeAt(level[k]).right})
                if (child >= 0) level.push_back(child);
        }
        std::sort(priorities.begin(), priorities.end(), std::greater<>());
        for (size_t k = 0; k < level.size(); ++k) {
            Node& node = nodeAt(level[k]);
            node.priority = priorities[k] | (node.priority & StateBits);
        }
    }
    _root = join(before, join(added, after));
    return removed != found;
}

qsizetype QVFoldMarkerList::bytesHeld() const {
    static_assert(sizeof(Node) == 32);
    // A node of the hidden line counts' map: the pair, the link and the cached hash, and its
    // bucket's pointer.
    constexpr size_t hiddenEntry = sizeof(std::pair<const qint32, qint64>) + 2 * sizeof(void*) + sizeof(void*);
    return qsizetype(_slots.size() * size_t(SlotSize) * sizeof(Node) + _slots.capacity() * sizeof(void*) +
                     _free.capacity() * sizeof(qint32) + _hiddenLines.size() * hiddenEntry +
                     _hiddenLines.bucket_count() * sizeof(void*));
}

std::vector<QVFoldMarker> QVFoldMarkerList::all() const {
    std::vector<QVFoldMarker> markers;
    markers.reserve(size_t(size()));
    walk(0, size(), true, [&](qsizetype, const QVFoldMarker& marker) {
        markers.push_back(marker);
        return true;
    });
    return markers;
}

QString QVFoldMarkerList::check() const {
    QString problem;
    qint64 last = -1;
    qsizetype seen = 0;
    walk(0, size(), true, [&](qsizetype i, const QVFoldMarker& marker) {
        if (i != seen) problem = QStringLiteral("marker %1 visited as %2").arg(seen).arg(i);
        else if (marker.glyphIndex() <= last) problem = QStringLiteral("marker %1 at %2 after %3").arg(i).arg(marker.glyphIndex()).arg(last);
        last = marker.glyphIndex();
        ++seen;
        return problem.isEmpty();
    });
    if (problem.isEmpty() && seen != size()) problem = QStringLiteral("%1 markers counted, %2 visited").arg(size()).arg(seen);
    return problem;
}
