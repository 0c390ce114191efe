// Code folding in the editor view: which lines open and close foldable blocks, and the
// collapse and expand edits the gutter asks for.
#include "editor/HTMLView.h"
#include "editor/HTMLViewTypingAids.h"

#include "editor/QVBeep.h"
#include "editor/QVFoldScanner.h"
#include "editor/QVLineNumberingRulerView.h"
#include "languages/QVParser.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"
#include "platform/QVRegex.h"

#include <QMouseEvent>

namespace {

// The line holding position, without its break (LF, CR or CR LF, as the storage counts lines).
QVRange contentsOfLineAt(const QVTextStorage& text, qint64 position) {
    const qint64 line = text.lineOfPosition(position);
    const qint64 start = text.lineStart(line);
    return QVRange(start, text.lineContentsEnd(line) - start);
}

// The match number n of a scanner's openers or closers (the first when there are not that many).
std::optional<QVRange> matchNumber(const QList<QVRange>& found, qint64 n) {
    if (found.isEmpty()) return std::nullopt;
    return n > 0 && n < found.size() ? found[n] : found.first();
}

}  // namespace

namespace {

// The parser whose fold patterns rule position: the one that coloured it, else the main one.
const QVParser* foldParserAt(const HTMLView& view, qint64 position) {
    if (position < view.length()) {
        if (const QVParser* parser =
                QVTextStorage::objectOf<QVParser>(view.textStorage().attribute(QVTextStorage::ParserAttribute, position)))
            return parser;
    }
    return view.parser().get();
}

std::shared_ptr<const QVFoldScanner> foldScannerAt(const HTMLView& view, qint64 position) {
    const QVParser* parser = foldParserAt(view, position);
    if (!parser) return nullptr;
    return QVFoldScanner::forPatterns(parser->foldOpener(), parser->foldCloser());
}

}  // namespace

bool HTMLView::rangeNeedsMarker(QVRange lineRange, QVFoldMarkerState* state) {
    QVFoldMarkerState found = QVFoldMarkerState::Open;
    bool needs = false;
    if (_textStorage->firstAttachmentInRange(lineRange)) {
        found = QVFoldMarkerState::Collapsed;
        needs = true;
    } else if (const std::shared_ptr<const QVFoldScanner> scanner = foldScannerAt(*this, lineRange.location)) {
        // No attachment on the line: its characters are its text.
        const QStringView line = _textStorage->characters(lineRange);
        if (const std::optional<QVRange> open = scanner->firstOpener(line)) {
            // A closer after the opener, seen with the line before it, so "^" does not match there.
            if (scanner->firstCloser(line, line.size(), open->end())) {
                needs = false;
            } else if (scanner->firstCloser(line, open->location)) {
                found = QVFoldMarkerState::Other;
                needs = true;
            } else {
                found = QVFoldMarkerState::Open;
                needs = true;
            }
        } else if (scanner->firstCloser(line, line.size())) {
            found = QVFoldMarkerState::End;
            needs = true;
        }
    }
    if (needs && state) *state = found;
    return needs;
}

qint64 HTMLView::countForState(QVFoldMarkerState state, qint64 index) {
    if (state == QVFoldMarkerState::Collapsed) return 1;
    const std::shared_ptr<const QVFoldScanner> scanner = foldScannerAt(*this, index);
    if (!scanner) return 0;
    const QString line = _textStorage->stringWithoutAttachmentsInRange(contentsOfLineAt(textStorage(), index));
    return state == QVFoldMarkerState::Open ? scanner->openers(line).size() : scanner->closers(line).size();
}

qint64 HTMLView::numberOfLinesForState(QVFoldMarkerState state, qint64 index) {
    if (state != QVFoldMarkerState::Collapsed) return 0;
    const std::shared_ptr<QVFoldMarkerTextAttachment> region =
        _textStorage->firstAttachmentInRange(contentsOfLineAt(textStorage(), index));
    return region ? qint64(region->numberOfLines()) : 0;
}

bool HTMLView::collapseFromGlyphIndex(qint64 first, qint64 second, QVFoldMarkerState type, qint64 offset) {
    const std::optional<QVRange> range = rangeToCollapse(first, second, type, offset);
    return range && collapseRange(*range);
}

std::optional<QVRange> HTMLView::rangeToCollapse(qint64 first, qint64 second, QVFoldMarkerState type, qint64 offset) {
    if (first < 0 || first > length()) return std::nullopt;
    const std::shared_ptr<const QVFoldScanner> scanner = foldScannerAt(*this, first);
    if (!scanner || !scanner->hasOpener()) return std::nullopt;
    const QVRange startLine = contentsOfLineAt(textStorage(), first);
    const QString startText = _textStorage->stringWithoutAttachmentsInRange(startLine);
    const std::optional<QVRange> open =
        type == QVFoldMarkerState::Open || offset <= 0 ? scanner->firstOpener(startText) : matchNumber(scanner->openers(startText), offset);
    if (!open) return std::nullopt;

    const QVRange endLine = second == QVRange::NotFound || second < 0 || second > length()
                                ? QVRange(length(), 0)
                                : contentsOfLineAt(textStorage(), second);
    const QString endText = _textStorage->stringWithoutAttachmentsInRange(endLine);
    std::optional<QVRange> close;
    if (scanner->hasCloser())
        close = type == QVFoldMarkerState::End || offset <= 0 ? scanner->firstCloser(endText, endText.size())
                                                             : matchNumber(scanner->closers(endText), offset);
    const qint64 start = startLine.location + open->end();
    const qint64 end = endLine.location + (close ? close->location : 0);
    return QVRange(start, end - start);
}

bool HTMLView::expandForMarkerWithGlyphIndex(qint64 index) {
    if (index < 0 || index >= length()) return false;
    const QVRange line = contentsOfLineAt(textStorage(), index);
    QVRange run;
    if (!_textStorage->nextAttachmentAfterIndex(index, &run) || run.location >= line.end()) return false;
    return expandRegion(run.location);
}

void HTMLView::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        const QPointF point = event->position() + scrollOffset();
        const qint64 position = positionForViewportPoint(event->position().toPoint());
        // The click lands before or after the region's one character, by the half it hit.
        for (const qint64 at : {position, position - 1}) {
            if (at < 0 || at >= length() || !_textStorage->foldMarkerAt(at)) continue;
            const QRectF before = layoutManager().caretRect(at);
            const QRectF after = layoutManager().caretRect(at + 1);
            if (point.x() >= before.left() && point.x() <= after.left() && point.y() >= before.top() &&
                point.y() <= before.bottom()) {
                expandRegion(at);
                event->accept();
                return;
            }
        }
        if (_aids->mouseDoubleClick(position)) return;
    }
    QVSyntaxHighlightingTextView::mouseDoubleClickEvent(event);
}

// --- Commands -----------------------------------------------------------------------------------

void HTMLView::toggleAll(QVFoldMarkerState state, int level) {
    if (!_gutter) return;
    _gutter->settleMarkers();
    const QList<QVFoldMarker> markers = _gutter->markersWithState(state, level);
    if (markers.isEmpty()) return;
    if (state == QVFoldMarkerState::Collapsed || state == QVFoldMarkerState::Open) {
        _foldingAll = true;
        setColouringDeferred(true);
        if (state == QVFoldMarkerState::Collapsed) expandRegionsAtOnce(markers);
        else collapseRegionsAtOnce(markers);
        setColouringDeferred(false);
        _foldingAll = false;
        _gutter->textStorageReplaced();
        return;
    }
    // From the last to the first: each fold changes the text after its marker only, so the
    // markers before it, and the match of an outermost block inside it, keep their places.
    // The gutter is told once at the end instead of shifting every marker after every fold.
    _foldingAll = true;
    setColouringDeferred(true);
    for (auto it = markers.crbegin(); it != markers.crend(); ++it) _gutter->toggleMarker(*it);
    setColouringDeferred(false);
    _foldingAll = false;
    _gutter->textStorageReplaced();
}

void HTMLView::collapseAllBlocks() { toggleAll(QVFoldMarkerState::Open, 0); }

void HTMLView::expandAllBlocks() { toggleAll(QVFoldMarkerState::Collapsed, -1); }

void HTMLView::foldCurrentBlock() {
    const qint64 line = textStorage().lineStart(textStorage().lineOfPosition(selectedRange().location));
    if (!_gutter || !_gutter->foldBlockForIndex(line)) QVBeep::beep();
}

void HTMLView::updateGutter() {
    if (!active()) {
        _updateGutterOnActivate = true;
        return;
    }
    if (!_gutter) return;
    UserDefaults& defaults = UserDefaults::standard();
    _gutter->setCodeFoldingEnabled(defaults.boolForKey(QVCodeFoldingEnabled));
    _gutter->setLineNumbersEnabled(defaults.boolForKey(QVLineNums));
    if (_gutter->codeFoldingEnabled()) _gutter->updateMarkers();
    _gutter->adjustThickness();
}
