// The line-number and folding gutter of the editor.
#include "editor/QVLineNumberingRulerView.h"

#include "editor/QVFoldMarkerTextAttachment.h"
#include "platform/QVTextView.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QScrollBar>
#include <QTimer>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace {

// The pictures every gutter shares, loaded by the first one.
struct MarkerImages {
    QPixmap open, closed, openBottom;
    static const MarkerImages& shared() {
        static const MarkerImages images = [] {
            MarkerImages loaded;
            auto load = [](const char* name) {
                QPixmap pixmap;
                const QString path = Defaults::pathForResource(QString::fromLatin1(name), QStringLiteral("png"), QStringLiteral("Images"));
                if (!path.isEmpty()) pixmap.load(path);
                return pixmap;
            };
            loaded.open = load("marker-open");
            loaded.closed = load("marker-closed");
            loaded.openBottom = load("marker-open-bottom");
            return loaded;
        }();
        return images;
    }
};

const QColor HoverColor = QColor::fromRgbF(205.0 / 255.0, 205.0 / 255.0, 205.0 / 255.0, 1.0);
const QColor NumberColor = QColor(85, 85, 85);

qint64 lineBreaksIn(const QString& text) {
    qint64 breaks = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == u'\n') ++breaks;
        else if (c == u'\r' && (i + 1 == text.size() || text.at(i + 1) != u'\n')) ++breaks;
    }
    return breaks;
}

const char* stateName(QVFoldMarkerState state) {
    switch (state) {
    case QVFoldMarkerState::Open: return "open";
    case QVFoldMarkerState::End: return "end";
    case QVFoldMarkerState::Collapsed: return "collapsed";
    case QVFoldMarkerState::Other: return "other";
    }
    return "?";
}

}  // namespace

QVLineNumberingRulerView::QVLineNumberingRulerView(QVTextView* textView)
    : QWidget(textView), _textView(textView) {
    _lineNumberFont = QApplication::font();
    _lineNumberFont.setPointSizeF(8.0);
    _lineNumberFont.setBold(true);
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setCursor(Qt::ArrowCursor);
    const UserDefaults& defaults = UserDefaults::standard();
    _codeFoldingEnabled = defaults.boolForKey(QString::fromLatin1(QVCodeFoldingEnabled));
    _lineNumbersEnabled = defaults.boolForKey(QString::fromLatin1(QVLineNums));
    _textView->installEventFilter(this);
    _textView->viewport()->installEventFilter(this);
    connect(_textView->verticalScrollBar(), &QScrollBar::valueChanged, this, [this] {
        clearHighlight();
        update();
    });
    _deferredTimer = new QTimer(this);
    _deferredTimer->setSingleShot(true);
    _deferredTimer->setInterval(LongLineDelayMs);
    connect(_deferredTimer, &QTimer::timeout, this, &QVLineNumberingRulerView::settleDeferredLines);
    _unaskedTimer = new QTimer(this);
    _unaskedTimer->setSingleShot(true);
    connect(_unaskedTimer, &QTimer::timeout, this, &QVLineNumberingRulerView::askUnaskedWhileIdle);
    textStorageReplaced();
    applyVisibility();
}

QVLineNumberingRulerView::~QVLineNumberingRulerView() = default;

QVTextStorage& QVLineNumberingRulerView::storage() const { return _textView->textStorage(); }

void QVLineNumberingRulerView::setDelegate(QVCodeFoldingDelegate* delegate) {
    if (_delegate == delegate) return;
    _delegate = delegate;
    updateMarkers();
}

// --- Visibility and thickness -----------------------------------------------------------------

void QVLineNumberingRulerView::setLineNumbersEnabled(bool flag) {
    if (_lineNumbersEnabled == flag) return;
    _lineNumbersEnabled = flag;
    applyVisibility();
}

void QVLineNumberingRulerView::setCodeFoldingEnabled(bool flag) {
    if (_codeFoldingEnabled == flag) return;
    _codeFoldingEnabled = flag;
    if (flag) updateMarkers();
    else {
        _foldMarkers.clear();
        _deferred.clear();
        _unasked.clear();
        ++_markerRevision;
    }
    applyVisibility();
}

void QVLineNumberingRulerView::setRulerVisible(bool flag) {
    _visible = flag;
    adjustThickness();
    placeInMargin();
    update();
}

void QVLineNumberingRulerView::applyVisibility() { setRulerVisible(_lineNumbersEnabled || _codeFoldingEnabled); }

void QVLineNumberingRulerView::adjustThickness() {
    int thickness = 0;
    if (_visible) {
        thickness = DefaultThickness;
        if (_lineNumbersEnabled) {
            // The widest number is the last line's; digits all have about the same width.
            const int digits = int(QString::number(storage().lineCount() + _hiddenLineBreaks).size());
            if (digits != _measuredDigits) {
                _measuredDigits = digits;
                _digitsWidth = QFontMetricsF(_lineNumberFont).horizontalAdvance(QString(digits, u'8'));
            }
            thickness = std::max(thickness, int(std::ceil(_digitsWidth)) + (_codeFoldingEnabled ? 15 : 3) + 4);
        }
    }
    if (thickness == _thickness && _textView->gutterWidth() == thickness) return;
    _thickness = thickness;
    _textView->setGutterWidth(thickness);
    placeInMargin();
    update();
}

void QVLineNumberingRulerView::placeInMargin() {
    const QRect viewport = _textView->viewport()->geometry();
    setGeometry(viewport.left() - _thickness, viewport.top(), _thickness, viewport.height());
    setVisible(_thickness > 0);
}

// --- Following the text -----------------------------------------------------------------------

void QVLineNumberingRulerView::textStorageReplaced() {
    _hiddenRegions.clear();
    _hiddenLineBreaks = 0;
    updateHiddenRegions(QVRange(0, storage().length()), 0, false);
    updateMarkers();
    adjustThickness();
    update();
}

void QVLineNumberingRulerView::textStorageEdited(const QVTextStorage::Edit& edit) {
    const bool characters = edit.editedMask & QVTextStorage::EditedCharacters;
    const bool regions = updateHiddenRegions(edit.editedRange, characters ? edit.changeInLength : 0, characters);
    // Of the attributes, only a collapsed region or the parser that decides a line's folds
    // (arriving with the colouring after the text) changes markers; colours leave them alone.
    if (_codeFoldingEnabled && _delegate && (characters || (edit.editedMask & QVTextStorage::EditedParserOrAttachment)))
        updateMarkersForEdit(edit.editedRange, characters ? edit.changeInLength : 0);
    // Numbers and markers repaint when the view does (see paintSignature()); collapsed regions
    // change numbers below them even when nothing else on the screen changes.
    if (characters || regions) adjustThickness();
    if (regions) update();
}

bool QVLineNumberingRulerView::updateHiddenRegions(QVRange edited, qint64 change, bool characters) {
    const QVTextStorage& text = storage();
    const qint64 location = std::clamp<qint64>(edited.location, 0, text.length());
    const qint64 newEnd = std::clamp<qint64>(edited.end(), location, text.length());
    const qint64 oldEnd = characters ? newEnd - change : newEnd;
    // Regions in the replaced text go; those after it move with it.
    const auto first = std::lower_bound(_hiddenRegions.begin(), _hiddenRegions.end(), location,
                                        [](const HiddenRegion& r, qint64 p) { return r.position < p; });
    const auto last = std::lower_bound(first, _hiddenRegions.end(), oldEnd,
                                       [](const HiddenRegion& r, qint64 p) { return r.position < p; });
    std::vector<HiddenRegion> removed(first, last);
    for (auto it = last; it != _hiddenRegions.end(); ++it) it->position += change;
    // The regions of the new text.
    std::vector<HiddenRegion> found;
    for (qint64 p = location; p < newEnd;) {
        QVRange run;
        const std::shared_ptr<QVTextAttachment> attachment = text.attachmentAt(p, &run);
        if (auto* region = dynamic_cast<QVFoldMarkerTextAttachment*>(attachment.get()))
            found.push_back({p, lineBreaksIn(region->string())});
        p = std::max(p + 1, run.end());
    }
    const bool changed = removed.size() != found.size() ||
                         !std::equal(removed.begin(), removed.end(), found.begin(), [](const HiddenRegion& a, const HiddenRegion& b) {
                             return a.position == b.position && a.lineBreaks == b.lineBreaks;
                         });
    if (!changed) return false;
    for (const HiddenRegion& r : removed) _hiddenLineBreaks -= r.lineBreaks;
    for (const HiddenRegion& r : found) _hiddenLineBreaks += r.lineBreaks;
    const auto at = _hiddenRegions.erase(first, last);
    _hiddenRegions.insert(at, found.begin(), found.end());
    return true;
}

qint64 QVLineNumberingRulerView::hiddenLineBreaksIn(qint64 from, qint64 to) const {
    qint64 breaks = 0;
    auto it = std::lower_bound(_hiddenRegions.begin(), _hiddenRegions.end(), from,
                               [](const HiddenRegion& r, qint64 p) { return r.position < p; });
    for (; it != _hiddenRegions.end() && it->position < to; ++it) breaks += it->lineBreaks;
    return breaks;
}

qint64 QVLineNumberingRulerView::hiddenLinesBefore(qint64 position) const { return hiddenLineBreaksIn(0, position); }

void QVLineNumberingRulerView::updateMarkers() {
    _foldMarkers.clear();
    _deferred.clear();
    _unasked.clear();
    ++_markerRevision;
    if (_codeFoldingEnabled && _delegate) updateMarkersForEdit(QVRange(0, storage().length()), 0);
    update();
}

std::vector<QVFoldMarker> QVLineNumberingRulerView::foldMarkers() const {
    const_cast<QVLineNumberingRulerView*>(this)->askUnasked(0, storage().length() + 1);
    return _foldMarkers.all();
}

qint64 QVLineNumberingRulerView::unaskedLength() const {
    qint64 total = 0;
    for (const auto& [from, to] : _unasked) total += to - from;
    return total;
}

bool QVLineNumberingRulerView::askUnasked(qint64 from, qint64 to) {
    const quint64 revision = _markerRevision;
    const QVTextStorage& text = storage();
    // Each stretch that meets [from, to) is cut to whole lines around the part asked.
    for (size_t k = 0; k < _unasked.size();) {
        const auto [a, b] = _unasked[k];
        if (b <= from || a >= to) {
            ++k;
            continue;
        }
        const qint64 firstLine = text.lineOfPosition(std::max(a, from));
        const qint64 askFrom = text.lineStart(firstLine);
        const qint64 lastLine = text.lineOfPosition(std::min(b, to) - 1);
        const qint64 askTo = lastLine + 1 < text.lineCount() ? text.lineStart(lastLine + 1) : text.length() + 1;
        std::vector<std::pair<qint64, qint64>> left;
        if (a < askFrom) left.emplace_back(a, askFrom);
        if (askTo < b) left.emplace_back(askTo, b);
        _unasked.erase(_unasked.begin() + qsizetype(k));
        _unasked.insert(_unasked.begin() + qsizetype(k), left.begin(), left.end());
        k += left.size();
        if (_codeFoldingEnabled && _delegate) askLines(firstLine, lastLine, askFrom, askTo, 0, true);
    }
    if (_unasked.empty()) _unaskedTimer->stop();
    return revision != _markerRevision;
}

void QVLineNumberingRulerView::askUnaskedWhileIdle() {
    if (_unasked.empty() || !_codeFoldingEnabled || !_delegate) {
        _unasked.clear();
        return;
    }
    if (_delegate->colouringUnderWay()) {
        _unaskedTimer->start(50);
        return;
    }
    QElapsedTimer clock;
    clock.start();
    bool changed = false;
    const QVTextStorage& text = storage();
    // Short slices: a key or a jump typed meanwhile waits for the slice under way, and its
    // repaint with it.
    while (!_unasked.empty() && clock.nsecsElapsed() < IdleSliceNs) {
        const qint64 from = _unasked.front().first;
        const qint64 line = text.lineOfPosition(from);
        // No more than about SettleSliceCharacters in one go either: a page of megabyte lines.
        const qint64 lastLine = std::min({text.lineCount() - 1, line + IdleSliceLines,
                                          std::max(line, text.lineOfPosition(std::min(from + SettleSliceCharacters, text.length())) - 1)});
        const qint64 to = lastLine + 1 < text.lineCount() ? text.lineStart(lastLine + 1) : text.length() + 1;
        changed |= askUnasked(from, to);
    }
    if (changed) update();
    if (!_unasked.empty()) _unaskedTimer->start(0);
}

void QVLineNumberingRulerView::updateMarkersForEdit(QVRange edited, qint64 change) {
    const QVTextStorage& text = storage();
    const qint64 length = text.length();
    const qint64 e = std::clamp<qint64>(edited.location, 0, length);
    const qint64 end = std::clamp<qint64>(edited.end(), e, length);
    // A line's break plays no part in its markers: a "\n" coming or going after a "\r"
    // changes no line's text before the edit.
    const qint64 firstLine = text.lineOfPosition(e);
    const qint64 lastLine = text.lineOfPosition(end);
    const qint64 touchedStart = text.lineStart(firstLine);
    // The touched lines with their breaks; the last line of the text reaches past its end.
    const qint64 touchedEnd = lastLine + 1 < text.lineCount() ? text.lineStart(lastLine + 1) : length + 1;
    // Lines put off earlier move with the edit; a stretch the edit swallowed ends at it.
    const qint64 oldEnd = end - change;
    auto carry = [&](qint64 p) { return p >= oldEnd ? p + change : std::min(p, e); };
    for (auto& [from, to] : _deferred) {
        from = carry(from);
        to = std::max(carry(to), from);
    }
    std::erase_if(_deferred, [](const std::pair<qint64, qint64>& line) { return line.second <= line.first; });
    if (!_unasked.empty()) {
        // The touched lines are asked now or become a stretch of their own below.
        std::vector<std::pair<qint64, qint64>> kept;
        kept.reserve(_unasked.size() + 1);
        for (const auto& [a, b] : _unasked) {
            const qint64 from = carry(a), to = carry(b);
            if (from < touchedStart) kept.emplace_back(from, std::min(to, touchedStart));
            if (to > touchedEnd) kept.emplace_back(std::max(from, touchedEnd), to);
        }
        _unasked = std::move(kept);
    }
    if (lastLine - firstLine >= AskAtOnceLines) {
        // A new text or a big edit: the markers it had go, its lines are asked when shown or
        // while idle.
        if (_foldMarkers.replace(touchedStart, touchedEnd - change, change, {})) ++_markerRevision;
        const auto at = std::lower_bound(_unasked.begin(), _unasked.end(), std::make_pair(touchedStart, touchedEnd));
        _unasked.insert(at, {touchedStart, touchedEnd});
        if (!_unaskedTimer->isActive()) _unaskedTimer->start(0);
        return;
    }
    askLines(firstLine, lastLine, touchedStart, touchedEnd - change, change, false);
}

void QVLineNumberingRulerView::askLines(qint64 firstLine, qint64 lastLine, qint64 oldFrom, qint64 oldTo, qint64 change,
                                        bool now) {
    const QVTextStorage& text = storage();
    const qint64 length = text.length();
    const qint64 touchedStart = text.lineStart(firstLine);
    std::vector<QVFoldMarker> found;
    for (qint64 line = firstLine; line <= lastLine; ++line) {
        const qint64 start = text.lineStart(line);
        const qint64 contentsEnd = text.lineContentsEnd(line);
        if (contentsEnd <= start) continue;
        if (!now && contentsEnd - start > LongLineLength) {
            // The line keeps the marker it had, if it begins where it did, until typing pauses.
            if (start == touchedStart || change == 0) {
                const qint64 old = start == touchedStart ? oldFrom : start;
                const qsizetype i = _foldMarkers.lowerBound(old);
                if (i < _foldMarkers.size() && _foldMarkers.at(i).glyphIndex() == old) {
                    QVFoldMarker kept = _foldMarkers.at(i);
                    kept.setGlyphIndex(start);
                    found.push_back(kept);
                }
            }
            deferLine(start, contentsEnd);
            _deferredTimer->start(LongLineDelayMs);
            continue;
        }
        _charactersAsked += quint64(contentsEnd - start);
        QVFoldMarkerState state = QVFoldMarkerState::Open;
        if (!_delegate->rangeNeedsMarker(QVRange(start, contentsEnd - start), &state)) continue;
        QVFoldMarker marker(start, state);
        if (state == QVFoldMarkerState::Collapsed)
            marker.setNumberOfLines(hiddenLineBreaksIn(start, line + 1 < text.lineCount() ? text.lineStart(line + 1) : length));
        found.push_back(marker);
    }
    // Attribute edits come with every colouring; only a real change asks for a paint.
    if (_foldMarkers.replace(oldFrom, oldTo, change, found)) ++_markerRevision;
}

void QVLineNumberingRulerView::settleMarkers() {
    if (askUnasked(0, storage().length() + 1)) update();
    do settleDeferredLines();
    while (!_deferred.empty());
}

void QVLineNumberingRulerView::deferLine(qint64 from, qint64 to) {
    // Merged with the stretches it touches (the same line typed into again).
    auto at = std::lower_bound(_deferred.begin(), _deferred.end(), from,
                               [](const std::pair<qint64, qint64>& line, qint64 p) { return line.second < p; });
    auto last = at;
    while (last != _deferred.end() && last->first <= to) {
        from = std::min(from, last->first);
        to = std::max(to, last->second);
        ++last;
    }
    at = _deferred.erase(at, last);
    _deferred.insert(at, {from, to});
}

void QVLineNumberingRulerView::settleDeferredLines() {
    _deferredTimer->stop();
    std::vector<std::pair<qint64, qint64>> deferred = std::exchange(_deferred, {});
    if (deferred.empty() || !_codeFoldingEnabled || !_delegate) return;
    const QVTextStorage& text = storage();
    const quint64 revision = _markerRevision;
    const quint64 asked = _charactersAsked;
    // A page of many megabyte lines put off by the colouring's slices: asked a pass at a time,
    // each about SettleSliceCharacters long (one line at least), the next one right after.
    size_t k = 0;
    for (; k < deferred.size() && _charactersAsked - asked < quint64(SettleSliceCharacters); ++k) {
        const qint64 from = std::min(deferred[k].first, text.length());
        const qint64 to = std::clamp(deferred[k].second, from, text.length());
        const qint64 firstLine = text.lineOfPosition(from);
        const qint64 lastLine = text.lineOfPosition(to);
        const qint64 start = text.lineStart(firstLine);
        const qint64 end = lastLine + 1 < text.lineCount() ? text.lineStart(lastLine + 1) : text.length() + 1;
        askLines(firstLine, lastLine, start, end, 0, true);
    }
    for (size_t i = k; i < deferred.size(); ++i) deferLine(deferred[i].first, deferred[i].second);
    if (revision != _markerRevision) update();
    if (!_deferred.empty()) _deferredTimer->start(0);
}

// --- Markers ----------------------------------------------------------------------------------

qint64 QVLineNumberingRulerView::indexOfMarker(qint64 glyphIndex) const {
    const qsizetype i = _foldMarkers.lowerBound(glyphIndex);
    return i < _foldMarkers.size() && _foldMarkers.at(i).glyphIndex() == glyphIndex ? qint64(i) : -1;
}

std::optional<QVFoldMarker> QVLineNumberingRulerView::markerAt(qint64 glyphIndex) const {
    if (!_unasked.empty()) const_cast<QVLineNumberingRulerView*>(this)->askUnasked(glyphIndex, glyphIndex + 1);
    const qint64 i = indexOfMarker(glyphIndex);
    if (i < 0) return std::nullopt;
    return _foldMarkers.at(i);
}

qint64 QVLineNumberingRulerView::indexOfMatch(qint64 i, qint64* offset) const {
    const QVFoldMarker marker = _foldMarkers.at(i);
    const QVFoldMarkerState t = marker.state();
    // Folds of the marker's own line after (or before) the one meant.
    qint64 count = _delegate->countForState(t, marker.glyphIndex()) - 1;
    const bool forward = t == QVFoldMarkerState::Open;
    qint64 match = -1;
    auto visit = [&](qsizetype j, const QVFoldMarker& other) {
        const QVFoldMarkerState u = other.state();
        const qint64 k = _delegate->countForState(u, other.glyphIndex());
        if (u == t) count += k;
        else if (u == QVFoldMarkerState::Open || u == QVFoldMarkerState::End) count -= k;
        if (count >= 0) return true;
        match = j;
        return false;
    };
    if (forward) _foldMarkers.walk(i + 1, _foldMarkers.size(), true, visit);
    else _foldMarkers.walk(0, i, false, visit);
    if (offset) *offset = match < 0 ? 0 : -count - 1;
    return match;
}

void QVLineNumberingRulerView::toggleMarker(const QVFoldMarker& wanted) {
    settleMarkers();
    const qint64 i = indexOfMarker(wanted.glyphIndex());
    if (i < 0 || !_delegate) return;
    const QVFoldMarker marker = _foldMarkers.at(i);
    const QVFoldMarkerState t = marker.state();
    const qint64 g = marker.glyphIndex();
    if (t == QVFoldMarkerState::Other) return;
    // The edit a fold makes asks the marker's line again, which gives the marker its new
    // state; nothing here may be touched after it. A fold that did not happen changes nothing.
    if (t == QVFoldMarkerState::Collapsed) {
        _delegate->expandForMarkerWithGlyphIndex(g);
    } else {
        const std::optional<Fold> fold = foldOfMarker(marker);
        if (!fold) return;
        _delegate->collapseFromGlyphIndex(fold->first, fold->second, fold->type, fold->offset);
    }
    update();
}

std::optional<QVLineNumberingRulerView::Fold> QVLineNumberingRulerView::foldOfMarker(const QVFoldMarker& wanted) {
    settleMarkers();
    const qint64 i = indexOfMarker(wanted.glyphIndex());
    if (i < 0 || !_delegate) return std::nullopt;
    const QVFoldMarker marker = _foldMarkers.at(i);
    const QVFoldMarkerState t = marker.state();
    if (t == QVFoldMarkerState::Other || t == QVFoldMarkerState::Collapsed) return std::nullopt;
    const qint64 g = marker.glyphIndex();
    qint64 offset = 0;
    const qint64 j = indexOfMatch(i, &offset);
    // An end without its opener has nothing to fold: folding from it to the end of the
    // text would hide what follows the block instead of the block.
    if (j < 0 && t == QVFoldMarkerState::End) return std::nullopt;
    const qint64 other = j < 0 ? QVRange::NotFound : _foldMarkers.at(j).glyphIndex();
    return Fold{std::min(g, other), std::max(g, other), t, offset};
}

bool QVLineNumberingRulerView::foldBlockForIndex(qint64 index) {
    settleMarkers();
    std::vector<QVFoldMarker> stack;
    for (const QVFoldMarker& marker : _foldMarkers.all()) {
        const qint64 g = marker.glyphIndex();
        const QVFoldMarkerState state = marker.state();
        if (g == index && state == QVFoldMarkerState::Collapsed) {
            stack.push_back(marker);
            break;
        }
        if (g >= index) break;
        // A collapsed line holds its block's opener and closer alike, as an "other" line
        // holds a closer and an opener: neither changes the nesting around it.
        if (state == QVFoldMarkerState::Other || state == QVFoldMarkerState::Collapsed) continue;
        if (state == QVFoldMarkerState::Open) stack.push_back(marker);
        else if (!stack.empty()) stack.pop_back();
    }
    if (stack.empty()) return false;
    toggleMarker(stack.back());
    return true;
}

QList<QVFoldMarker> QVLineNumberingRulerView::markersWithState(QVFoldMarkerState state, int level) const {
    QList<QVFoldMarker> result;
    qint64 counter = level;
    for (const QVFoldMarker& marker : foldMarkers()) {
        if (marker.state() == state && (counter == 0 || counter == -1)) result.append(marker);
        if (marker.state() == QVFoldMarkerState::End) --counter;
        else if (marker.state() == QVFoldMarkerState::Open) ++counter;
    }
    return result;
}

QString QVLineNumberingRulerView::markerDump() const {
    QString dump;
    for (const QVFoldMarker& marker : foldMarkers())
        dump += QStringLiteral("%1 %2 %3\n").arg(marker.glyphIndex()).arg(QString::fromLatin1(stateName(marker.state()))).arg(marker.numberOfLines());
    return dump;
}

// --- Drawing ----------------------------------------------------------------------------------

QList<QVLineNumberingRulerView::Label> QVLineNumberingRulerView::visibleLabels() const {
    QList<Label> labels;
    if (!_lineNumbersEnabled && !_codeFoldingEnabled) return labels;
    _textView->ensureLayoutOfVisibleLines();
    const QVTextLayoutManager& layout = _textView->layoutManager();
    const QVTextStorage& text = storage();
    const qreal lineHeight = layout.lineHeight();
    const qint64 top = _textView->verticalScrollBar()->value();
    const qint64 rows = qint64(std::ceil(height() / lineHeight));
    const qint64 lastRow = std::min(top + rows, layout.rowCount() - 1);
    if (top > lastRow) return labels;
    // The lines in view are asked now when they have not been yet.
    if (_codeFoldingEnabled && !_unasked.empty()) {
        const qint64 from = text.lineStart(layout.lineOfRow(top));
        const qint64 lastLine = layout.lineOfRow(lastRow);
        const qint64 to = lastLine + 1 < text.lineCount() ? text.lineStart(lastLine + 1) : text.length() + 1;
        const_cast<QVLineNumberingRulerView*>(this)->askUnasked(from, to);
    }
    // Lines above the view: their count from the line index, the hidden ones from the
    // collapsed regions above.
    qint64 hidden = 0;
    auto region = _hiddenRegions.begin();
    for (qint64 row = top; row <= lastRow; ++row) {
        qint64 rowInLine = 0;
        const qint64 line = layout.lineOfRow(row, &rowInLine);
        const qint64 start = text.lineStart(line);
        Label label;
        label.band = QRectF(0, (row - top) * lineHeight, width(), lineHeight);
        if (rowInLine == 0) {
            while (region != _hiddenRegions.end() && region->position < start) hidden += (region++)->lineBreaks;
            if (_lineNumbersEnabled) label.text = QString::number(line + 1 + hidden);
            if (_codeFoldingEnabled)
                if (const std::optional<QVFoldMarker> marker = markerAt(start)) label.markerState = int(marker->state());
            label.glyphIndex = start;
        } else {
            if (_lineNumbersEnabled) label.text = QStringLiteral("-");
            label.glyphIndex = const_cast<QVTextLayoutManager&>(layout).characterRangeOfRow(row).location;
        }
        labels.append(label);
    }
    return labels;
}

std::array<qint64, 8> QVLineNumberingRulerView::paintSignature() const {
    const QVTextLayoutManager& layout = _textView->layoutManager();
    return {_textView->verticalScrollBar()->value(), _hiddenLineBreaks, layout.rowCount(), qint64(layout.lineHeight() * 64),
            storage().lineCount(), height(), qint64(_markerRevision),
            qint64(quint64(_textView->backgroundColor().rgba()) << 32 | _textView->textColor().rgba())};
}

void QVLineNumberingRulerView::paintEvent(QPaintEvent*) {
    _paintedSignature = paintSignature();
    // The gutter goes with the text's theme: beside a dark text it is a shade of the text's own
    // background with the numbers in its text colour, dimmed; beside a light one, the window's.
    const QColor text = _textView->backgroundColor();
    const bool dark = text.isValid() && text.lightnessF() < 0.5;
    const auto mixed = [](const QColor& a, const QColor& b, float share) {
        return QColor::fromRgbF(a.redF() * share + b.redF() * (1 - share), a.greenF() * share + b.greenF() * (1 - share),
                                a.blueF() * share + b.blueF() * (1 - share));
    };
    const QColor fill = dark ? text.lighter(130) : palette().color(QPalette::Window);
    QPainter painter(this);
    painter.fillRect(rect(), fill);
    if (_highlightRect.width() > 0) painter.fillRect(_highlightRect, dark ? fill.lighter(150) : HoverColor);
    painter.setPen(QPen(dark ? fill.lighter(170) : QColor(Qt::darkGray), 1.0));
    painter.drawLine(QPointF(width() - 0.5, 0), QPointF(width() - 0.5, height()));
    const QList<Label> labels = visibleLabels();
    if (labels.isEmpty()) return;
    painter.setFont(_lineNumberFont);
    painter.setPen(dark ? mixed(_textView->textColor(), fill, 0.6f) : NumberColor);
    const QFontMetricsF metrics(_lineNumberFont);
    const qreal rightMargin = _codeFoldingEnabled ? 15.0 : 3.0;
    const MarkerImages& images = MarkerImages::shared();
    for (const Label& label : labels) {
        if (!label.text.isEmpty()) {
            const qreal textWidth = metrics.horizontalAdvance(label.text);
            const qreal x = width() - rightMargin - textWidth;
            const qreal y = label.band.top() + std::ceil((label.band.height() - metrics.height()) * 0.5) + metrics.ascent();
            painter.drawText(QPointF(x, y), label.text);
        }
        if (label.markerState < 0) continue;
        const QPixmap* image = nullptr;
        switch (QVFoldMarkerState(label.markerState)) {
        case QVFoldMarkerState::Open: image = &images.open; break;
        case QVFoldMarkerState::End: image = &images.openBottom; break;
        case QVFoldMarkerState::Collapsed: image = &images.closed; break;
        case QVFoldMarkerState::Other: break;
        }
        if (!image || image->isNull()) continue;
        const QSizeF size = image->deviceIndependentSize();
        const QPointF at(width() - 4.0 - size.width(), label.band.center().y() - size.height() * 0.5);
        painter.drawPixmap(at, *image);
    }
}

// --- Pointer ----------------------------------------------------------------------------------

qint64 QVLineNumberingRulerView::rowAt(int y) const {
    const QVTextLayoutManager& layout = _textView->layoutManager();
    const qint64 row = _textView->verticalScrollBar()->value() + qint64(std::floor(y / layout.lineHeight()));
    return std::clamp<qint64>(row, 0, layout.rowCount() - 1);
}

void QVLineNumberingRulerView::mouseMoveEvent(QMouseEvent* event) {
    QVTextLayoutManager& layout = _textView->layoutManager();
    const qint64 row = rowAt(int(event->position().y()));
    const qint64 position = layout.characterRangeOfRow(row).location;
    if (position >= storage().length()) return clearHighlight();
    // The band of the line's first row, wherever on the line the pointer is.
    const qint64 firstRow = layout.firstRowOfLine(storage().lineOfPosition(position));
    const qreal lineHeight = layout.lineHeight();
    const QRect band(0, int(std::floor((firstRow - _textView->verticalScrollBar()->value()) * lineHeight)), width(),
                     int(std::ceil(lineHeight)));
    if (band != _highlightRect) {
        _highlightRect = band;
        update();
    }
}

// The press did all a click does.
void QVLineNumberingRulerView::mouseReleaseEvent(QMouseEvent* event) { event->accept(); }

void QVLineNumberingRulerView::leaveEvent(QEvent*) { clearHighlight(); }

void QVLineNumberingRulerView::clearHighlight() {
    if (_highlightRect.isNull()) return;
    _highlightRect = QRect();
    update();
}

void QVLineNumberingRulerView::wheelEvent(QWheelEvent* event) {
    clearHighlight();
    // The text view scrolls.
    event->ignore();
}

void QVLineNumberingRulerView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    QVTextLayoutManager& layout = _textView->layoutManager();
    const qint64 position = layout.characterRangeOfRow(rowAt(int(event->position().y()))).location;
    if (_codeFoldingEnabled && event->position().x() >= width() - MarkerColumnWidth) {
        if (const std::optional<QVFoldMarker> marker = markerAt(position)) {
            toggleMarker(*marker);
            return;
        }
    }
    if (_delegate) {
        _delegate->selectLineForGlyphIndex(position, this);
    } else {
        const QVTextStorage& text = storage();
        _textView->setSelectedRange(text.lineRange(text.lineOfPosition(position)));
    }
}

bool QVLineNumberingRulerView::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::Resize:
        // The viewport is resized after its scroll area, once the margins are laid out.
        if (watched == _textView->viewport()) placeInMargin();
        break;
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
        clearHighlight();
        break;
    case QEvent::Paint:
        // Whatever moved the text (fonts, wrapping, layouts) shows in the signature.
        if (watched == _textView->viewport() && paintSignature() != _paintedSignature) update();
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}
