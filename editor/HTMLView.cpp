// The editor view of one text document.
#include "editor/HTMLView.h"
#include "editor/HTMLViewFind.h"

#include "editor/HTMLViewTypingAids.h"
#include "editor/QVEditorNotifications.h"
#include "editor/QVEditorToolSeams.h"
#include "editor/QVFoldMarker.h"
#include "editor/QVLineNumberingRulerView.h"
#include "languages/QVParser.h"
#include "platform/FileName.h"
#include "platform/QVTextLayoutManager.h"
#include "platform/SystemLog.h"
#include "platform/UserDefaults.h"
#include "shell/ColorUtilities.h"
#include "shell/Defaults.h"
#include "shell/FileEncodings.h"
#include "shell/StringUtilities.h"

#include <QApplication>
#include <QFileInfo>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QMimeData>
#include <QPagedPaintDevice>
#include <QPainter>
#include <QRegularExpression>
#include <QScrollBar>
#include <QtDebug>

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

const QString CollapseActionName = QStringLiteral("Collapse Region");
const QString ExpandActionName = QStringLiteral("Expand Region");

QString lineBreakNameFor(qint64 type) {
    return type == HTMLView::DOS ? QStringLiteral("DOS") : type == HTMLView::Mac ? QStringLiteral("Mac") : QStringLiteral("Unix");
}

// The full text laid out alone, for printing: no colours, no collapsed regions, no view.
struct PrintLayout {
    QVTextStorage text;
    QVTextLayoutManager layout;
    qint64 rowsPerPage = 1;

    PrintLayout(const QString& fullText, const QFont& font, int tabWidth, const QSizeF& pageSize) {
        text.replaceCharacters(QVRange(0, 0), fullText);
        layout.setFont(font);
        layout.setTabWidth(tabWidth);
        layout.setTextColor(Qt::black);
        layout.setWrapWidth(std::max<qreal>(pageSize.width(), layout.spaceWidth() * 4));
        layout.setTextStorage(&text);
        layout.ensureLayout(0, text.lineCount() - 1);
        rowsPerPage = std::max<qint64>(1, qint64(pageSize.height() / layout.lineHeight()));
    }
    int pages() { return int(std::max<qint64>(1, (layout.rowCount() + rowsPerPage - 1) / rowsPerPage)); }

    void drawPage(QPainter& painter, const QSizeF& pageSize, int page) {
        painter.save();
        painter.fillRect(QRectF(QPointF(0, 0), pageSize), Qt::white);
        const qreal lineHeight = layout.lineHeight();
        painter.setClipRect(QRectF(QPointF(0, 0), QSizeF(pageSize.width(), rowsPerPage * lineHeight)));
        const qint64 firstRow = qint64(page) * rowsPerPage;
        const qint64 lastRow = std::min(firstRow + rowsPerPage, layout.rowCount()) - 1;
        if (firstRow <= lastRow) {
            for (qint64 line = layout.lineOfRow(firstRow); line <= layout.lineOfRow(lastRow); ++line) {
                const QPointF origin(0, (layout.firstRowOfLine(line) - firstRow) * lineHeight);
                layout.drawLine(painter, line, origin, {}, QRectF(QPointF(0, 0), pageSize));
            }
        }
        painter.restore();
    }
};

}  // namespace

HTMLView::HTMLView(const QString& path, QWidget* parent) : QVSyntaxHighlightingTextView(parent) {
    // First: every hook of the view goes through the aids.
    _aids = std::make_unique<HTMLViewTypingAids>(*this);
    _aids->setKeywordTrigger([this] { return keywordComplete(); });
    _textStorage = std::make_shared<QVFoldingTextStorage>();
    setTextStorage(_textStorage);
    _aids->observeTextStorage();
    setAllowsUndo(true);
    configureTextView(true);
    const qint64 type = UserDefaults::standard().integerForKey(QVLineBreak);
    _lineBreak = StringUtilities::lineBreak();
    _lineBreakName = lineBreakNameFor(type);
    _escaped = _ignore = _updateAttributesOnActivate = false;
    setPath(path);
    _gutter = new QVLineNumberingRulerView(this);
    _gutter->setDelegate(this);
    _editorPrefsObserver = NotificationCenter::defaultCenter().addObserver(
        QString::fromLatin1(QorvelEditorPrefsChange), nullptr, [this](const Notification&) { updateAttributes(); });
    _foldingPrefsObserver = NotificationCenter::defaultCenter().addObserver(
        QString::fromLatin1(QorvelCodeFoldingPrefChanged), nullptr, [this](const Notification&) { updateGutter(); });
}

HTMLView::~HTMLView() {
    // The gutter reads this view; it goes while the view is still whole.
    delete std::exchange(_gutter, nullptr);
    NotificationCenter::defaultCenter().removeObserver(_editorPrefsObserver);
    NotificationCenter::defaultCenter().removeObserver(_foldingPrefsObserver);
    _interfaceDelegate.reset();
}

void HTMLView::releaseAndDestroy() {
    _textStorage = std::make_shared<QVFoldingTextStorage>();
    setTextStorage(_textStorage);
    _aids->observeTextStorage();
    if (_gutter) _gutter->textStorageReplaced();
}

// --- Configuration ----------------------------------------------------------------------------

void HTMLView::configureTextView(bool firstTime) {
    QFont font;
    if (std::optional<QFont> stored = Defaults::storedDefaultFont()) {
        font = *stored;
    } else {
        font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        font.setPointSizeF(12.0);
    }
    setTextFont(font);
    if (firstTime) initTypingAttributes(font);
    setTabSize(int(std::clamp<qint64>(UserDefaults::standard().integerForKey(QVTabSizeKey), 0, 64)));
    // The widget starts out unwrapped, so wrapping is applied the first time too.
    changeWrap();
}

void HTMLView::initTypingAttributes(const QFont& font) {
    // Typed text takes its neighbours' colours until it is coloured; only the font is the view's.
    setTextFont(font);
}

void HTMLView::setTabSize(int n) { setTabWidth(std::max(1, n)); }

void HTMLView::changeWrap() { setWrapsLines(UserDefaults::standard().boolForKey(QVWrapText)); }

void HTMLView::updateAttributes() {
    if (!active()) {
        _updateAttributesOnActivate = true;
        return;
    }
    configureTextView(false);
}

void HTMLView::setActive(bool flag) {
    QVSyntaxHighlightingTextView::setActive(flag);
    // The find panel acts on the editor in front.
    if (flag) HTMLViewFind::perform(*this, HTMLViewFind::Action::Bind);
    if (flag && _updateAttributesOnActivate) {
        configureTextView(false);
        _updateAttributesOnActivate = false;
    }
    if (flag && _updateGutterOnActivate) {
        _updateGutterOnActivate = false;
        updateGutter();
    }
}

// --- Text -------------------------------------------------------------------------------------

QString HTMLView::fullString() const { return _textStorage->fullString(); }

void HTMLView::setString(const QString& text) {
    QVSyntaxHighlightingTextView::setString(StringUtilities::switchLineBreaks(text, _lineBreak, _lineBreakName));
}

void HTMLView::setStringAsFileText(const QString& text, const QString& lineBreakName) {
    noteLineBreakOf(text);
    for (const LineBreakType type : {Unix, DOS, Mac})
        if (lineBreakName == lineBreakNameFor(type)) {
            _lineBreakName = lineBreakName;
            _lineBreak = type == Unix ? QStringLiteral("\n") : type == DOS ? QStringLiteral("\r\n") : QStringLiteral("\r");
        }
    QVSyntaxHighlightingTextView::setString(text);
}

QVError HTMLView::insertText(const QString& text) {
    if (text.size() < 2) return QVSyntaxHighlightingTextView::insertText(text);
    const QVError error =
        QVSyntaxHighlightingTextView::insertText(StringUtilities::switchLineBreaks(text, _lineBreak, _lineBreakName));
    if (error && error.domain() == QStringLiteral("QVTextStorageErrorDomain") && error.code() == 1) {
        SystemLog::warning(QStringLiteral("An insertion fell outside the text; colouring it all again"));
        syntaxHighlight(QVRange(0, length()), QStringLiteral("multiple"));
        didChangeText();
    }
    return error;
}

void HTMLView::insertNewline() { _aids->insertNewline(); }
void HTMLView::insertTab() { _aids->insertTab(); }
void HTMLView::entabBlock() { _aids->entabBlock(); }
void HTMLView::detabBlock() { _aids->detabBlock(); }
void HTMLView::insertBacktab() { _aids->insertBacktab(); }
void HTMLView::cancelOperation() { _aids->cancelOperation(); }

bool HTMLView::doCommand(const QString& command) {
    return _aids->doCommand(command) || QVSyntaxHighlightingTextView::doCommand(command);
}


bool HTMLView::loadFromPath(const QString& path, const QString& actionName, QVError* error) {
    const QVStringEncoding previous = _encodingFromOpen;
    QVStringEncoding encoding = _fileConfiguration ? QVStringEncoding(_fileConfiguration(FileEncodingKey).toULongLong()) : 0;
    _encodingFromOpen = encoding;
    // A large UTF-8 file is decoded straight into the storage: the file's bytes, a decoded
    // string and the storage's copy of it at once would need several times the text's size.
    if (actionName.isEmpty() && FileName::size(path) >= DirectLoadSize) {
        qsizetype used = 0;
        // The places the language is settled from are looked for while the text is read.
        // A leading byte-order mark is read as the file's, not the text's: the walk starts after it.
        const auto walk = boundaryWalkWhileReading(FileName::size(path));
        std::function<void(const char16_t*, qint64)> read;
        if (walk) read = [walk](const char16_t* units, qint64 decoded) {
            const qint64 mark = units && decoded > 0 && units[0] == ByteOrderMark ? 1 : 0;
            walk(units ? units + mark : units, decoded - mark);
        };
        if (std::optional<TextUnits> units = FileEncodings::readUTF8Units(path, &encoding, &used, read)) {
            _encodingFromOpen = encoding;
            _byteOrderMark = used > 0 && (*units)[0] == ByteOrderMark;
            const qsizetype from = _byteOrderMark ? 1 : 0;
            noteLineBreakOf(QStringView(units->data() + from, used - from));
            QVSyntaxHighlightingTextView::adoptString(std::move(*units), used, from);
            return true;
        }
        if (read) read(nullptr, -1);
    }
    QVError readError;
    std::optional<QString> text = FileEncodings::createWithContentsOfFile(path, &encoding, &readError);
    return applyLoadedText(std::move(text), encoding, previous, readError, actionName, error);
}

bool HTMLView::loadFromData(const QByteArray& data, const QString& path, const QString& actionName, QVError* error) {
    const QVStringEncoding previous = _encodingFromOpen;
    QVStringEncoding encoding = _fileConfiguration ? QVStringEncoding(_fileConfiguration(FileEncodingKey).toULongLong()) : 0;
    _encodingFromOpen = encoding;
    QVError readError;
    std::optional<QString> text = FileEncodings::createWithData(data, path, &encoding, &readError);
    return applyLoadedText(std::move(text), encoding, previous, readError, actionName, error);
}

void HTMLView::noteLineBreakOf(QStringView text) {
    // The file's own breaks stay as they are (mixed ones too), so an unedited file saves
    // byte for byte; its first break is the one new lines get.
    const auto found = std::find_if(text.begin(), text.end(), [](QChar c) { return c == u'\n' || c == u'\r'; });
    if (found == text.end()) return;
    const qsizetype at = found - text.begin();
    const LineBreakType type = text[at] == u'\n' ? Unix : text.sliced(at).startsWith(u"\r\n") ? DOS : Mac;
    _lineBreakName = lineBreakNameFor(type);
    _lineBreak = type == Unix ? QStringLiteral("\n") : type == DOS ? QStringLiteral("\r\n") : QStringLiteral("\r");
}

bool HTMLView::applyLoadedText(std::optional<QString> text, QVStringEncoding encoding, QVStringEncoding previous,
                               const QVError& readError, const QString& actionName, QVError* error) {
    if (!text) {
        // Showing an empty text as if it were the file would invite saving it over the file.
        _encodingFromOpen = previous;
        const QVError failure = readError ? readError
                                          : QVError::app(FileEncodings::FallbackEncodingError + 1,
                                                         QStringLiteral("The file could not be read as text."));
        qvSetError(error, failure);
        if (auto owner = delegate()) owner->htmlViewHadError(this, failure, true);
        return false;
    }
    _encodingFromOpen = encoding;
    _byteOrderMark = encoding == TextEncoding::UTF8 && text->startsWith(QChar(ByteOrderMark));
    if (_byteOrderMark) text->remove(0, 1);
    noteLineBreakOf(*text);
    if (!actionName.isEmpty()) undoableSetStringAsIs(*text, actionName);
    else QVSyntaxHighlightingTextView::setString(*text);
    if (FileEncodings::isReadNotice(readError)) {
        qvSetError(error, readError);
        if (auto owner = delegate()) owner->htmlViewHadError(this, readError, false);
    }
    return true;
}

QList<QVCodeNavMenuItem> HTMLView::codeNavItems() const {
    if (!parser()) return {};
    const QString text = fullString();
    return parser()->codeNavItemsForString(text, QVRange(0, text.size()));
}

// --- Selection and lines ----------------------------------------------------------------------

void HTMLView::showRange(QVRange fullRange) {
    // A range put before the user (a found match, a link's range) is shown whole: every collapsed
    // region it touches opens, one beginning exactly where it does included.
    const qint64 end = fullRange.location + fullRange.length;
    for (bool expanded = true; expanded;) {
        expanded = false;
        qint64 hidden = 0;
        qint64 index = 0;
        for (;;) {
            QVRange run;
            const auto region = _textStorage->nextAttachmentAfterIndex(index, &run);
            if (!region) break;
            const qint64 fullStart = run.location + hidden;
            const qint64 regionLength = region->string().size();
            if (fullStart >= end && !(fullRange.length == 0 && fullStart < fullRange.location)) break;
            if (fullStart + regionLength > fullRange.location && fullStart < std::max(end, fullRange.location)) {
                expanded = expandRegion(run.location);
                break;
            }
            hidden += regionLength - 1;
            index = run.location + 1;
        }
    }
    setSelectedRange(&fullRange, true);
    scrollRangeToVisible(selectedRange());
}

void HTMLView::setSelectedRange(QVRange* range, bool expandCollapsed) {
    if (!range) return;
    if (expandCollapsed) {
        qint64 hidden = 0;
        qint64 index = 0;
        for (;;) {
            QVRange run;
            std::shared_ptr<QVFoldMarkerTextAttachment> region = _textStorage->nextAttachmentAfterIndex(index, &run);
            if (!region) break;
            const qint64 visible = run.location;
            const qint64 fullStart = visible + hidden;
            if (fullStart >= range->location) break;
            const qint64 regionLength = region->string().size();
            if (range->location < fullStart + regionLength) {
                expandRegion(visible);
                break;
            }
            hidden += regionLength - 1;
            index = visible + 1;
        }
        range->location -= hidden;
    }
    QVTextView::setSelectedRange(*range);
}

qint64 HTMLView::lineNumber() const { return textStorage().lineOfPosition(selectedRange().location) + 1; }

qint64 HTMLView::columnNumber() const {
    const qint64 start = selectedRange().location;
    return start - textStorage().lineStart(textStorage().lineOfPosition(start));
}

QVRange HTMLView::rangeForLineNumber(qint64 n, qint64* count) const {
    const QVTextStorage& text = textStorage();
    if (text.length() == 0 || n <= 0) return QVRange(0, 0);
    // A final line break opens no further line here.
    const QChar last = text.characterAt(text.length() - 1);
    const qint64 lines = text.lineCount() - (last == u'\n' || last == u'\r' ? 1 : 0);
    const qint64 taken = std::min(n, lines);
    if (count) *count += taken;
    return text.lineRange(taken - 1);
}

bool HTMLView::gotoLine(qint64 n) {
    bool exact = true;
    if (n <= 0) {
        QApplication::beep();
        n = 1;
        exact = false;
    }
    qint64 count = 0;
    const QVRange range = rangeForLineNumber(n, &count);
    if (count < n) {
        QApplication::beep();
        exact = false;
    }
    // The line's text without its break: the caret then stays on the line (End, Return and
    // typing continue it, not the line after).
    QVRange selected = range;
    const QVTextStorage& text = textStorage();
    while (selected.length > 0) {
        const QChar c = text.characterAt(selected.end() - 1);
        if (c != u'\n' && c != u'\r' && c != QChar(0x2028) && c != QChar(0x2029)) break;
        --selected.length;
    }
    QVTextView::setSelectedRange(selected);
    scrollRangeToVisible(selected);
    return exact;
}

void HTMLView::selectLine(qint64 a, qint64 b) {
    qint64 count = 0;
    const QVRange first = rangeForLineNumber(a, &count);
    count = 0;
    const QVRange second = rangeForLineNumber(b, &count);
    QVTextView::setSelectedRange(first.united(second));
}

void HTMLView::gotoLineFromString(const QString& text) {
    if (!text.isEmpty()) gotoLine(text.trimmed().toLongLong());
}

void HTMLView::selectLineForGlyphIndex(qint64 position) {
    const QVTextStorage& text = textStorage();
    QVTextView::setSelectedRange(text.lineRange(text.lineOfPosition(position)));
}

// --- Undoable edits ---------------------------------------------------------------------------

void HTMLView::performUndoable(const std::function<void()>& action, const QString& actionName, bool countsAsChange) {
    QVUndoManager& undo = undoManager();
    // The step is its own, not part of whatever the current input event typed.
    undo.closeEventGroup();
    const bool byEvent = undo.groupsByEvent();
    undo.setGroupsByEvent(false);
    undo.beginUndoGrouping();
    action();
    if (!actionName.isEmpty()) undo.setActionName(actionName);
    if (!countsAsChange) undo.setActionCountsAsChange(false);
    undo.endUndoGrouping();
    undo.setGroupsByEvent(byEvent);
}

void HTMLView::undoableInsertText(const QString& text, const QString& actionName,
                                  const QVTextChange::Attachments& attachments) {
    performUndoable([&] {
        if (attachments.empty()) insertText(text);
        else replaceRange(selectedRange(), text, attachments);
    }, actionName);
}

void HTMLView::registerTextRestore(const QString& actionName) {
    const QString text = string();
    const QVTextChange::Attachments attachments = QVTextChange::attachmentsIn(textStorage(), QVRange(0, length()));
    undoManager().registerUndo(this, [this, text, attachments, actionName] { restoreText(text, attachments, actionName); });
}

void HTMLView::restoreText(const QString& text, const QVTextChange::Attachments& attachments, const QString& actionName) {
    registerTextRestore(actionName);
    // Exactly the text there was: no line-break conversion, collapsed regions as they were.
    QVSyntaxHighlightingTextView::setString(text);
    if (!attachments.empty()) {
        textStorage().beginEditing();
        for (const auto& [offset, attachment] : attachments)
            textStorage().addAttribute(QVTextStorage::AttachmentAttribute, QVariant::fromValue(attachment), QVRange(offset, 1));
        textStorage().endEditing();
    }
}

void HTMLView::undoableSetString(const QString& text, const QString& actionName) {
    undoableSetStringAsIs(StringUtilities::switchLineBreaks(text, _lineBreak, _lineBreakName), actionName);
}

void HTMLView::undoableSetStringAsIs(const QString& text, const QString& actionName) {
    QVUndoManager& undo = undoManager();
    undo.closeEventGroup();
    undo.beginUndoGrouping();
    registerTextRestore(actionName);
    QVSyntaxHighlightingTextView::setString(text);
    undo.setActionName(actionName);
    undo.endUndoGrouping();
}

void HTMLView::undo() {
    _ignore = _escaped = true;
    runUndo(false);
    _ignore = _escaped = false;
}

void HTMLView::redo() {
    _ignore = _escaped = true;
    runUndo(true);
    _ignore = _escaped = false;
}

bool HTMLView::shouldIgnoreChangeForCount() {
    const bool ignore = _dontCountChange;
    _dontCountChange = false;
    return ignore;
}

// --- Collapsed regions ------------------------------------------------------------------------

bool HTMLView::collapseRange(QVRange range) {
    if (range.length <= 0 || range.location < 0 || range.end() > length()) return false;
    std::shared_ptr<QVFoldMarkerTextAttachment> region = _textStorage->attachmentForRange(range);
    QVTextView::setSelectedRange(range);
    _dontCountChange = true;
    bool done = false;
    performUndoable([&] {
        done = replaceRange(range, QString(QChar(QVTextAttachment::Character)), {{0, region}});
    }, CollapseActionName, false);
    return done;
}

bool HTMLView::expandRegion(qint64 position) {
    QVRange run;
    std::shared_ptr<QVFoldMarkerTextAttachment> region = _textStorage->nextAttachmentAfterIndex(position, &run);
    if (!region) return false;
    // Keep the scroll position, so that the expanded text does not jump.
    const int vertical = verticalScrollBar()->value();
    const int horizontal = horizontalScrollBar()->value();
    QVTextView::setSelectedRange(QVRange(run.location, 1));
    _dontCountChange = true;
    bool done = false;
    performUndoable([&] { done = replaceRange(QVRange(run.location, 1), region->string()); }, ExpandActionName, false);
    verticalScrollBar()->setValue(vertical);
    horizontalScrollBar()->setValue(horizontal);
    return done;
}

void HTMLView::expandRegionsAtOnce(const QList<QVFoldMarker>& markers) {
    const QVTextStorage& text = textStorage();
    struct Region {
        qint64 at;
        std::shared_ptr<QVFoldMarkerTextAttachment> attachment;
        QString text;
    };
    std::vector<Region> regions;  // from the first to the last
    for (const QVFoldMarker& marker : markers) {
        const qint64 index = marker.glyphIndex();
        if (index < 0 || index >= length()) continue;
        QVRange run;
        std::shared_ptr<QVFoldMarkerTextAttachment> region = _textStorage->nextAttachmentAfterIndex(index, &run);
        const qint64 line = text.lineOfPosition(index);
        if (!region || run.location >= text.lineContentsEnd(line)) continue;
        if (!regions.empty() && run.location <= regions.back().at) continue;
        regions.push_back({run.location, region, region->string()});
    }
    if (regions.empty()) return;
    // One edit from the first region to the last: the text between them as it is (with any
    // attachment it holds), each region's character replaced by its text. Expanding them one by
    // one cost an edit, its undo record and its notifications per region.
    const QVRange whole(regions.front().at, regions.back().at + 1 - regions.front().at);
    QString expanded;
    qint64 size = whole.length - qint64(regions.size());
    for (const Region& region : regions) size += region.text.size();
    expanded.reserve(qsizetype(size));
    QVTextChange::Attachments kept;
    qint64 from = whole.location;
    for (const Region& region : regions) {
        const QVRange between(from, region.at - from);
        for (const auto& [offset, attachment] : QVTextChange::attachmentsIn(text, between))
            kept.emplace_back(expanded.size() + offset, attachment);
        text.segments(between, [&](QStringView part) { expanded += part; });
        expanded += region.text;
        from = region.at + 1;
    }
    const int vertical = verticalScrollBar()->value();
    const int horizontal = horizontalScrollBar()->value();
    QVUndoManager& undo = undoManager();
    undo.disableUndoRegistration();
    _dontCountChange = true;
    const bool done = replaceRange(whole, expanded, kept);
    undo.enableUndoRegistration();
    if (!done) return;
    // The undo steps are those of expanding the regions one by one from the last to the first:
    // each undo collapses one region again, the first one first.
    for (auto it = regions.crbegin(); it != regions.crend(); ++it) {
        const QVTextChange collapse(QVRange(it->at, it->text.size()), QString(QChar(QVTextAttachment::Character)), {{0, it->attachment}});
        performUndoable([&] { registerUndoOfChange(collapse, ExpandActionName); }, ExpandActionName, false);
    }
    // Where expanding the first region last left the caret.
    QVTextView::setSelectedRange(QVRange(regions.front().at + regions.front().text.size(), 0));
    verticalScrollBar()->setValue(vertical);
    horizontalScrollBar()->setValue(horizontal);
}

void HTMLView::collapseRegionsAtOnce(const QList<QVFoldMarker>& markers) {
    const QVTextStorage& text = textStorage();
    std::vector<QVRange> ranges;  // from the first to the last
    for (const QVFoldMarker& marker : markers) {
        const std::optional<QVLineNumberingRulerView::Fold> fold = _gutter->foldOfMarker(marker);
        if (!fold) continue;
        const std::optional<QVRange> range = rangeToCollapse(fold->first, fold->second, fold->type, fold->offset);
        if (!range || range->length <= 0 || range->location < 0 || range->end() > length()) continue;
        if (!ranges.empty() && range->location < ranges.back().end()) {
            // Blocks inside one another: one by one from the last, as each fold leaves the
            // places before it as they were.
            for (auto it = markers.crbegin(); it != markers.crend(); ++it) _gutter->toggleMarker(*it);
            return;
        }
        ranges.push_back(*range);
    }
    if (ranges.empty()) return;
    // One edit from the first block to the last: the text between them as it is, each block
    // replaced by the character of a region holding its text.
    const QVRange whole(ranges.front().location, ranges.back().end() - ranges.front().location);
    QString collapsed;
    QVTextChange::Attachments kept;
    std::vector<QVTextChange> expansions;  // what undoing each fold puts back
    expansions.reserve(ranges.size());
    qint64 from = whole.location;
    for (const QVRange& range : ranges) {
        const QVRange between(from, range.location - from);
        for (const auto& [offset, attachment] : QVTextChange::attachmentsIn(text, between))
            kept.emplace_back(collapsed.size() + offset, attachment);
        text.segments(between, [&](QStringView part) { collapsed += part; });
        kept.emplace_back(collapsed.size(), _textStorage->attachmentForRange(range));
        collapsed += QChar(QVTextAttachment::Character);
        expansions.emplace_back(QVRange(range.location, 1), text.characters(range).toString(), QVTextChange::attachmentsIn(text, range));
        from = range.end();
    }
    QVUndoManager& undo = undoManager();
    undo.disableUndoRegistration();
    _dontCountChange = true;
    const bool done = replaceRange(whole, collapsed, kept);
    undo.enableUndoRegistration();
    if (!done) return;
    // The undo steps are those of collapsing the blocks one by one from the last to the first:
    // each undo expands one block again, the first one first.
    for (auto it = expansions.crbegin(); it != expansions.crend(); ++it)
        performUndoable([&] { registerUndoOfChange(*it, CollapseActionName); }, CollapseActionName, false);
    // Where collapsing the first block last left the caret.
    QVTextView::setSelectedRange(QVRange(ranges.front().location + 1, 0));
}

// --- Hooks ------------------------------------------------------------------------------------

bool HTMLView::shouldChangeTextInRange(QVRange range, const QString& replacement) {
    QVSyntaxHighlightingTextView::shouldChangeTextInRange(range, replacement);
    return _aids->shouldChangeTextInRange(range, replacement);
}

void HTMLView::didChangeText() {
    _aids->textDidChange();
    if (const auto& observe = QVEditorToolSeams::textChangeObserver()) observe(*this);
}

void HTMLView::didChangeSelection() { _aids->selectionDidChange(); }

void HTMLView::drawViewBackground(QPainter& painter, const QRect& rect) {
    QVSyntaxHighlightingTextView::drawViewBackground(painter, rect);
    _aids->drawBackground(painter);
}

void HTMLView::keyPressEvent(QKeyEvent* event) {
    if (_aids->keyPress(event)) {
        event->accept();
        return;
    }
    QVSyntaxHighlightingTextView::keyPressEvent(event);
}

void HTMLView::mousePressEvent(QMouseEvent* event) {
    _aids->mousePress();
    QVSyntaxHighlightingTextView::mousePressEvent(event);
}


void HTMLView::textStorageEdited(const QVTextStorage::Edit& edit) {
    QVSyntaxHighlightingTextView::textStorageEdited(edit);
    if (_aids) _aids->textStorageEdited(edit);
    if (_gutter && !_foldingAll) _gutter->textStorageEdited(edit);
}

QString HTMLView::stringForCopy(QVRange range) const { return _textStorage->fullStringInRange(range); }

QString HTMLView::stringForDrop(const QMimeData* data) const {
    if (data && data->hasColor() && !data->hasText())
        return QStringLiteral("#%1").arg(ColorUtilities::hexValueWebsafe(qvariant_cast<QColor>(data->colorData()), false));
    return QVSyntaxHighlightingTextView::stringForDrop(data);
}

// --- Printing ---------------------------------------------------------------------------------

int HTMLView::printPageCount(const QSizeF& pageSize) const {
    PrintLayout job(fullString(), textFont(), tabWidth(), pageSize);
    return job.pages();
}

void HTMLView::drawPrintPage(QPainter& painter, const QSizeF& pageSize, int page) const {
    PrintLayout job(fullString(), textFont(), tabWidth(), pageSize);
    job.drawPage(painter, pageSize, page);
}

bool HTMLView::print(QPagedPaintDevice* device) const {
    if (!device) return false;
    QPainter painter;
    if (!painter.begin(device)) return false;
    // Lay out in this view's units and scale to the device's resolution.
    const qreal scale = qreal(device->logicalDpiY()) / qreal(std::max(1, logicalDpiY()));
    const QRect paintRect = device->pageLayout().paintRectPixels(device->logicalDpiY());
    const QSizeF pageSize(paintRect.width() / scale, paintRect.height() / scale);
    PrintLayout job(fullString(), textFont(), tabWidth(), pageSize);
    painter.scale(scale, scale);
    for (int page = 0; page < job.pages(); ++page) {
        if (page > 0 && !device->newPage()) return false;
        job.drawPage(painter, pageSize, page);
    }
    return painter.end();
}
