// The editor widget: drawing, selection, commands, input and undo over a text storage.
#include "platform/QVTextView.h"

#include <QApplication>
#include <QClipboard>
#include <QDrag>
#include <QFontDatabase>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMimeData>
#include <QPainter>
#include <QScrollBar>
#include <QStyleHints>
#include <QTextLayout>
#include <QtDebug>

#include <algorithm>
#include <cmath>

namespace {

// A byte of a UTF-8 file that is not UTF-8 is held in the text as a low surrogate standing alone
// (U+DC80-U+DCFF). Copied, other programs get the U+FFFD it shows as (they would get "?"); a
// Qorvel text gets the units themselves from a format of its own, so a line cut and pasted
// within its file keeps its byte.
const QString TextUnitsFormat = QStringLiteral("application/x-qorvel-text-units");

QMimeData* mimeDataForText(const QString& text) {
    auto* data = new QMimeData;
    if (QStringView(text).isValidUtf16()) {
        data->setText(text);
        return data;
    }
    QString shown = text;
    for (qsizetype i = 0; i < shown.size(); ++i) {
        const char16_t u = shown.at(i).unicode();
        if (QChar::isHighSurrogate(u) && i + 1 < shown.size() && shown.at(i + 1).isLowSurrogate()) ++i;
        else if (u >= 0xDC80 && u <= 0xDCFF) shown[i] = QChar::ReplacementCharacter;
    }
    data->setText(shown);
    data->setData(TextUnitsFormat, QByteArray(reinterpret_cast<const char*>(text.utf16()), text.size() * 2));
    return data;
}

QString textOfMimeData(const QMimeData* data) {
    if (!data) return {};
    if (data->hasFormat(TextUnitsFormat)) {
        const QByteArray units = data->data(TextUnitsFormat);
        return QString(reinterpret_cast<const QChar*>(units.constData()), units.size() / 2);
    }
    return data->hasText() ? data->text() : QString();
}

using Command = void (QVTextView::*)();

const QHash<QString, Command>& commandTable() {
    static const QHash<QString, Command> table = {
        {QStringLiteral("moveLeft"), &QVTextView::moveLeft},
        {QStringLiteral("moveRight"), &QVTextView::moveRight},
        {QStringLiteral("moveUp"), &QVTextView::moveUp},
        {QStringLiteral("moveDown"), &QVTextView::moveDown},
        {QStringLiteral("moveLeftAndModifySelection"), &QVTextView::moveLeftAndModifySelection},
        {QStringLiteral("moveRightAndModifySelection"), &QVTextView::moveRightAndModifySelection},
        {QStringLiteral("moveUpAndModifySelection"), &QVTextView::moveUpAndModifySelection},
        {QStringLiteral("moveDownAndModifySelection"), &QVTextView::moveDownAndModifySelection},
        {QStringLiteral("moveWordLeft"), &QVTextView::moveWordLeft},
        {QStringLiteral("moveWordRight"), &QVTextView::moveWordRight},
        {QStringLiteral("moveWordLeftAndModifySelection"), &QVTextView::moveWordLeftAndModifySelection},
        {QStringLiteral("moveWordRightAndModifySelection"), &QVTextView::moveWordRightAndModifySelection},
        {QStringLiteral("moveToBeginningOfLine"), &QVTextView::moveToBeginningOfLine},
        {QStringLiteral("moveToEndOfLine"), &QVTextView::moveToEndOfLine},
        {QStringLiteral("moveToBeginningOfLineAndModifySelection"), &QVTextView::moveToBeginningOfLineAndModifySelection},
        {QStringLiteral("moveToEndOfLineAndModifySelection"), &QVTextView::moveToEndOfLineAndModifySelection},
        {QStringLiteral("moveToBeginningOfDocument"), &QVTextView::moveToBeginningOfDocument},
        {QStringLiteral("moveToEndOfDocument"), &QVTextView::moveToEndOfDocument},
        {QStringLiteral("moveToBeginningOfDocumentAndModifySelection"), &QVTextView::moveToBeginningOfDocumentAndModifySelection},
        {QStringLiteral("moveToEndOfDocumentAndModifySelection"), &QVTextView::moveToEndOfDocumentAndModifySelection},
        {QStringLiteral("pageUp"), &QVTextView::pageUp},
        {QStringLiteral("pageDown"), &QVTextView::pageDown},
        {QStringLiteral("pageUpAndModifySelection"), &QVTextView::pageUpAndModifySelection},
        {QStringLiteral("pageDownAndModifySelection"), &QVTextView::pageDownAndModifySelection},
        {QStringLiteral("scrollLineUp"), &QVTextView::scrollLineUp},
        {QStringLiteral("scrollLineDown"), &QVTextView::scrollLineDown},
        {QStringLiteral("deleteBackward"), &QVTextView::deleteBackward},
        {QStringLiteral("deleteForward"), &QVTextView::deleteForward},
        {QStringLiteral("deleteWordBackward"), &QVTextView::deleteWordBackward},
        {QStringLiteral("deleteWordForward"), &QVTextView::deleteWordForward},
        {QStringLiteral("insertNewline"), &QVTextView::insertNewline},
        {QStringLiteral("insertTab"), &QVTextView::insertTab},
        {QStringLiteral("insertBacktab"), &QVTextView::insertBacktab},
        {QStringLiteral("cancelOperation"), &QVTextView::cancelOperation},
        {QStringLiteral("selectAll"), &QVTextView::selectAll},
        {QStringLiteral("copy"), &QVTextView::copy},
        {QStringLiteral("cut"), &QVTextView::cut},
        {QStringLiteral("paste"), &QVTextView::paste},
        {QStringLiteral("undo"), &QVTextView::undo},
        {QStringLiteral("redo"), &QVTextView::redo},
    };
    return table;
}

bool isWordCharacter(QChar c) { return c.isLetterOrNumber() || c == u'_' || c.isMark(); }

const QString TypingActionName = QStringLiteral("Typing");

}  // namespace

QVTextView::QVTextView(QWidget* parent)
    : QAbstractScrollArea(parent),
      _layoutManager(std::make_unique<QVTextLayoutManager>()),
      _undoManager(std::make_shared<QVUndoManager>()),
      _keyBindings(QVKeyBindings::standard()) {
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_InputMethodEnabled);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setAutoFillBackground(false);
    // paintEvent() fills all it repaints: nothing under the viewport needs painting first.
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent, _backgroundColor.alpha() == 255);
    setAcceptDrops(true);
    viewport()->setAcceptDrops(true);
    viewport()->setMouseTracking(false);
    _layoutManager->setLayoutChangedHandler([this] { layoutChanged(); });
    _layoutManager->setBackgroundColor(_backgroundColor);
    setTextStorage(nullptr);
    setTextFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
}

QVTextView::~QVTextView() {
    // A shared undo manager outlives us; its records must not call back into a dead view.
    _undoManager->removeAllActions(this);
    if (_storage) _storage->removeObserver(_storageObserver);
    _layoutManager->setTextStorage(nullptr);
}

// --- Text -------------------------------------------------------------------------------------

void QVTextView::setTextStorage(std::shared_ptr<QVTextStorage> storage) {
    // The old storage stays alive until everything has let go of it.
    const std::shared_ptr<QVTextStorage> old = std::move(_storage);
    if (old) old->removeObserver(_storageObserver);
    _layoutManager->setTextStorage(nullptr);
    _storage = storage ? std::move(storage) : std::make_shared<QVTextStorage>();
    // The layout manager observes first, so that our reports find the layouts already current.
    _layoutManager->setTextStorage(_storage.get());
    _storageObserver = _storage->addObserver([this](const QVTextStorage::Edit& edit) { storageEdited(edit); });
    _paintedLineCount = _storage->lineCount();
    _anchor = _caret = 0;
    _typingChange.reset();
    _undoManager->removeAllActions(this);
    updateScrollBars();
    viewport()->update();
}

void QVTextView::setLayoutManager(std::unique_ptr<QVTextLayoutManager> manager) {
    if (!manager) return;
    manager->setFont(_layoutManager->font());
    manager->setTabWidth(_layoutManager->tabWidth());
    manager->setWrapWidth(_layoutManager->wrapWidth());
    manager->setTextColor(_layoutManager->textColor());
    manager->setBackgroundColor(_backgroundColor);
    _layoutManager->setTextStorage(nullptr);
    _storage->removeObserver(_storageObserver);
    _layoutManager = std::move(manager);
    _layoutManager->setLayoutChangedHandler([this] { layoutChanged(); });
    _layoutManager->setTextStorage(_storage.get());
    _storageObserver = _storage->addObserver([this](const QVTextStorage::Edit& edit) { storageEdited(edit); });
    updateScrollBars();
    viewport()->update();
}

void QVTextView::setString(const QString& text) {
    replaceWholeText([&] { _storage->replaceAllCharacters(text); });
}

void QVTextView::adoptString(TextUnits&& units, qsizetype length, qsizetype from) {
    replaceWholeText([&] { _storage->replaceAllCharacters(std::move(units), length, from); });
}

void QVTextView::replaceWholeText(const std::function<void()>& replace) {
    QVUndoManager& undo = *_undoManager;
    if (!undo.isUndoing() && !undo.isRedoing() && (undo.groupingLevel() == 0 || undo.isEventGroupOpen()))
        undo.removeAllActions(this);
    _typingChange.reset();
    ++_editDepth;
    replace();
    --_editDepth;
    _anchor = _caret = 0;
    _goalX = -1;
    updateScrollBars();
    verticalScrollBar()->setValue(0);
    horizontalScrollBar()->setValue(0);
    viewport()->update();
    didChangeSelection();
}

bool QVTextView::replaceRange(QVRange range, const QString& text, const QVTextChange::Attachments& attachments,
                              const QString& actionName, bool typing, bool selectInserted, QVError* error) {
    if (!_editable) return false;
    if (range.location < 0 || range.length < 0 || range.end() > _storage->length()) {
        qvSetError(error, QVError::make(QStringLiteral("QVTextStorageErrorDomain"), 1,
                                        QStringLiteral("The range {%1, %2} lies outside the text of %3 characters.")
                                            .arg(range.location).arg(range.length).arg(_storage->length())));
        return false;
    }
    if (!shouldChangeTextInRange(range, text)) return false;
    const QVTextChange inverse = QVTextChange::inverseOf(*_storage, range, text.size());
    ++_editDepth;
    const QVError failed = QVTextChange::replace(*_storage, range, text, attachments);
    --_editDepth;
    if (failed) {
        qvSetError(error, failed);
        return false;
    }
    if (_allowsUndo)
        registerChange(inverse, actionName, typing, range, inverse.text(), !inverse.attachments().empty(), text.size());
    else
        _typingChange.reset();
    const qint64 end = range.location + text.size();
    const QVRange old = selectedRange();
    const QVRange proposed = selectInserted ? QVRange(range.location, text.size()) : QVRange(end, 0);
    const QVRange chosen = willChangeSelection(old, proposed);
    _anchor = std::clamp<qint64>(chosen.location, 0, length());
    _caret = std::clamp<qint64>(chosen.end(), 0, length());
    keepOutOfBreakPairs();
    // The old selection stood where the text was replaced: [range.location, end) now.
    updateSelectionChange(range.location, end);
    _goalX = -1;
    didChangeText();
    didChangeSelection();
    return true;
}

QVError QVTextView::insertText(const QString& text) {
    QVError error;
    if (!replaceRange(selectedRange(), text, {}, {}, true, false, &error) && error.isNull())
        return QVError::make(QStringLiteral("QVTextStorageErrorDomain"), 2, QStringLiteral("The change was refused."));
    scrollRangeToVisible(QVRange(_caret, 0));
    return error;
}

void QVTextView::registerChange(const QVTextChange& inverse, const QString& actionName, bool typing,
                                QVRange replaced, const QString& removedText, bool removedAttachments,
                                qint64 insertedLength) {
    QVUndoManager& undo = *_undoManager;
    if (!undo.isUndoRegistrationEnabled()) return;
    if (typing && _typingChange && undo.isCoalescing(this) &&
        _typingChange->mergeTyping(replaced, removedText, insertedLength, removedAttachments))
        return;
    auto record = std::make_shared<QVTextChange>(inverse);
    const QString name = typing ? TypingActionName : actionName;
    undo.registerUndo(this, [this, record, name] { applyUndoChange(*record, name); });
    if (!name.isEmpty()) undo.setActionName(name);
    if (typing) {
        undo.markCoalescing(this);
        _typingChange = record;
    } else {
        _typingChange.reset();
    }
}

void QVTextView::applyUndoChange(const QVTextChange& change, const QString& actionName) {
    // Undo is never refused, but the hooks hear of it like of any other change.
    shouldChangeTextInRange(change.range(), change.text());
    QVTextChange inverse;
    ++_editDepth;
    const QVError failed = change.apply(*_storage, &inverse);
    --_editDepth;
    if (failed) {
        qWarning() << "QVTextView: an undo record no longer fits the text:" << failed.localizedDescription();
        return;
    }
    _typingChange.reset();
    auto record = std::make_shared<QVTextChange>(inverse);
    _undoManager->registerUndo(this, [this, record, actionName] { applyUndoChange(*record, actionName); });
    const qint64 oldAnchor = _anchor;
    const qint64 oldCaret = _caret;
    _anchor = change.range().location;
    _caret = change.range().location + change.text().size();
    keepOutOfBreakPairs();
    updateSelectionChange(oldAnchor, oldCaret);
    _goalX = -1;
    didChangeText();
    didChangeSelection();
    scrollRangeToVisible(QVRange(_anchor, 0));
}

void QVTextView::runUndo(bool redo) {
    _typingChange.reset();
    if (redo) _undoManager->redo();
    else _undoManager->undo();
}

void QVTextView::breakUndoCoalescing() {
    _typingChange.reset();
    _undoManager->breakCoalescing();
}

void QVTextView::setUndoManager(std::shared_ptr<QVUndoManager> manager) {
    _undoManager->removeAllActions(this);
    _undoManager = manager ? std::move(manager) : std::make_shared<QVUndoManager>();
    _typingChange.reset();
}

void QVTextView::storageEdited(const QVTextStorage::Edit& edit) {
    if (edit.editedMask & QVTextStorage::EditedCharacters) {
        if (_editDepth == 0) {
            // Somebody else changed the text: carry the selection through their edit.
            const qint64 location = edit.editedRange.location;
            const qint64 oldEnd = edit.editedRange.end() - edit.changeInLength;
            auto carry = [&](qint64 p) {
                if (p <= location) return p;
                if (p >= oldEnd) return p + edit.changeInLength;
                return edit.editedRange.end();
            };
            _anchor = carry(_anchor);
            _caret = carry(_caret);
            breakUndoCoalescing();
        }
        _anchor = std::clamp<qint64>(_anchor, 0, length());
        _caret = std::clamp<qint64>(_caret, 0, length());
        if (_editDepth == 0) keepOutOfBreakPairs();
        updateScrollBars();
    }
    if (!_painting) updateEditedLines(edit);
    textStorageEdited(edit);
}

void QVTextView::updateEditedLines(const QVTextStorage::Edit& edit) {
    const qint64 lines = _storage->lineCount();
    const bool characters = edit.editedMask & QVTextStorage::EditedCharacters;
    const bool linesMoved = characters && (lines != _paintedLineCount || _wraps);
    if (characters) _paintedLineCount = lines;
    const qint64 length = _storage->length();
    const qint64 location = std::clamp<qint64>(edit.editedRange.location, 0, length);
    const qint64 end = std::clamp<qint64>(edit.editedRange.end(), location, length);
    // A "\n" put after a "\r", or taken from behind one, changes the line before the edit.
    const qint64 from = characters && location > 0 && _storage->characterAt(location - 1) == u'\r' ? location - 1 : location;
    const qint64 first = _storage->lineOfPosition(from);
    // Lines that moved (a line break came or went, or wrapped rows may have changed) are all
    // drawn again below the edit; otherwise only the edited lines.
    updateLines(first, _storage->lineOfPosition(end), linesMoved);
}

void QVTextView::updateLines(qint64 firstLine, qint64 lastLine, bool toBottom) {
    const qreal lineHeight = _layoutManager->lineHeight();
    const qint64 top = verticalScrollBar()->value();
    const int height = viewport()->height();
    const qreal y0 = qreal(_layoutManager->firstRowOfLine(firstLine) - top) * lineHeight;
    const qreal y1 = toBottom ? qreal(height)
                              : qreal(_layoutManager->firstRowOfLine(lastLine) + _layoutManager->rowsOfLine(lastLine) - top) * lineHeight;
    const int from = int(std::floor(std::max<qreal>(y0, 0)));
    const int to = int(std::ceil(std::min<qreal>(y1, height)));
    if (to > from) viewport()->update(QRect(0, from, viewport()->width(), to - from));
}

void QVTextView::updateSelectionChange(qint64 oldAnchor, qint64 oldCaret) {
    // What changed lies between the old and the new anchor and between the old and the new
    // caret (a selection's ends and the caret): only those lines look different now.
    auto span = [&](qint64 a, qint64 b) {
        const qint64 low = std::clamp<qint64>(std::min(a, b), 0, length());
        const qint64 high = std::clamp<qint64>(std::max(a, b), 0, length());
        updateLines(_storage->lineOfPosition(low), _storage->lineOfPosition(high));
    };
    span(oldAnchor, _anchor);
    span(oldCaret, _caret);
}

// --- Selection --------------------------------------------------------------------------------

void QVTextView::keepOutOfBreakPairs() {
    const auto inside = [this](qint64 p) {
        return p > 0 && p < length() && _storage->characterAt(p - 1) == u'\r' && _storage->characterAt(p) == u'\n';
    };
    if (_anchor == _caret) {
        if (inside(_caret)) _anchor = _caret = _caret - 1;
        return;
    }
    qint64& start = _anchor < _caret ? _anchor : _caret;
    qint64& end = _anchor < _caret ? _caret : _anchor;
    if (inside(start)) --start;
    if (inside(end)) ++end;
}

QVRange QVTextView::selectedRange() const {
    return QVRange(std::min(_anchor, _caret), std::abs(_caret - _anchor));
}

void QVTextView::setSelectedRange(QVRange range) {
    const qint64 start = std::clamp<qint64>(range.location, 0, length());
    const qint64 end = std::clamp<qint64>(range.location + std::max<qint64>(0, range.length), start, length());
    setSelection(start, end, false);
}

void QVTextView::setSelection(qint64 anchor, qint64 caret, bool userMove) {
    Q_UNUSED(userMove);
    const qint64 oldAnchor = _anchor;
    const qint64 oldCaret = _caret;
    anchor = std::clamp<qint64>(anchor, 0, length());
    caret = std::clamp<qint64>(caret, 0, length());
    const QVRange old = selectedRange();
    const QVRange proposed(std::min(anchor, caret), std::abs(caret - anchor));
    const QVRange chosen = willChangeSelection(old, proposed);
    if (chosen == proposed) {
        _anchor = anchor;
        _caret = caret;
    } else {
        _anchor = std::clamp<qint64>(chosen.location, 0, length());
        _caret = std::clamp<qint64>(chosen.end(), _anchor, length());
    }
    keepOutOfBreakPairs();
    if (selectedRange() != old) {
        breakUndoCoalescing();
        didChangeSelection();
    }
    restartCaretBlink();
    updateSelectionChange(oldAnchor, oldCaret);
}

void QVTextView::moveCaretTo(qint64 position, bool extend) {
    const qreal goal = _goalX;
    setSelection(extend ? _anchor : position, position, true);
    _goalX = goal;
    scrollRangeToVisible(QVRange(_caret, 0));
}

QPointF QVTextView::scrollOffset() const {
    return QPointF(horizontalScrollBar()->value() - TextInset,
                   verticalScrollBar()->value() * _layoutManager->lineHeight());
}

qint64 QVTextView::positionForViewportPoint(const QPoint& point) const {
    return _layoutManager->positionForPoint(QPointF(point) + scrollOffset());
}

QRect QVTextView::caretViewportRect() const {
    const QRectF rect = _layoutManager->caretRect(_caret).translated(-scrollOffset());
    return rect.toAlignedRect();
}

qint64 QVTextView::firstVisibleLine() const { return _layoutManager->lineOfRow(verticalScrollBar()->value()); }

qint64 QVTextView::lastVisibleLine() const {
    const qint64 rows = qint64(std::ceil(viewport()->height() / _layoutManager->lineHeight()));
    return _layoutManager->lineOfRow(verticalScrollBar()->value() + std::max<qint64>(0, rows - 1));
}

void QVTextView::ensureLayoutOfVisibleLines() {
    const qint64 top = verticalScrollBar()->value();
    const qint64 bottom = top + qint64(std::ceil(viewport()->height() / _layoutManager->lineHeight()));
    willDrawLines(_layoutManager->lineOfRow(top), _layoutManager->lineOfRow(bottom));
    qint64 row = top;
    while (row <= bottom && row < _layoutManager->rowCount()) {
        const qint64 line = _layoutManager->lineOfRow(row);
        _layoutManager->layoutForLine(line);
        row = _layoutManager->firstRowOfLine(line) + _layoutManager->rowsOfLine(line);
    }
}

void QVTextView::scrollRangeToVisible(QVRange range) {
    const qint64 position = std::clamp<qint64>(range.location, 0, length());
    const QRectF caret = _layoutManager->caretRect(position);
    updateScrollBars();
    const qreal lineHeight = _layoutManager->lineHeight();
    const qint64 visibleRows = std::max<qint64>(1, qint64(viewport()->height() / lineHeight));
    const qint64 row = qint64(caret.top() / lineHeight);
    QScrollBar* vertical = verticalScrollBar();
    if (row < vertical->value()) vertical->setValue(int(std::min<qint64>(row, INT_MAX)));
    else if (row >= vertical->value() + visibleRows) vertical->setValue(int(std::min<qint64>(row - visibleRows + 1, INT_MAX)));
    if (_wraps) return;
    QScrollBar* horizontal = horizontalScrollBar();
    const int margin = int(_layoutManager->spaceWidth() * 4);
    const int x = int(caret.left());
    const int width = viewport()->width() - 2 * TextInset;
    if (x < horizontal->value()) horizontal->setValue(std::max(0, x - margin));
    else if (x > horizontal->value() + width - 2) horizontal->setValue(x - width + margin);
}

// --- Appearance -------------------------------------------------------------------------------

void QVTextView::setTextFont(const QFont& font) {
    _layoutManager->setFont(font);
    updateScrollBars();
    viewport()->update();
}

void QVTextView::setTabWidth(int spaces) {
    _layoutManager->setTabWidth(spaces);
    updateScrollBars();
    viewport()->update();
}

void QVTextView::setWrapsLines(bool flag) {
    if (flag == _wraps) return;
    const qint64 topLine = firstVisibleLine();
    _wraps = flag;
    setHorizontalScrollBarPolicy(flag ? Qt::ScrollBarAlwaysOff : Qt::ScrollBarAsNeeded);
    updateWrapWidth();
    updateScrollBars();
    verticalScrollBar()->setValue(int(std::min<qint64>(_layoutManager->firstRowOfLine(topLine), INT_MAX)));
    viewport()->update();
}

void QVTextView::updateWrapWidth() {
    _layoutManager->setWrapWidth(_wraps ? std::max(20, viewport()->width() - 2 * TextInset) : 0);
}

void QVTextView::setTextColor(const QColor& color) {
    _layoutManager->setTextColor(color);
    viewport()->update();
}

void QVTextView::setBackgroundColor(const QColor& color) {
    _backgroundColor = color;
    _layoutManager->setBackgroundColor(color);
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent, color.alpha() == 255);
    viewport()->update();
}

void QVTextView::setInsertionPointColor(const QColor& color) {
    _insertionPointColor = color;
    viewport()->update();
}

void QVTextView::setSelectedTextBackgroundColor(const QColor& color) {
    _selectionColor = color;
    viewport()->update();
}

void QVTextView::setGutterWidth(int width) {
    _gutterWidth = std::max(0, width);
    setViewportMargins(_gutterWidth, 0, 0, 0);
}

void QVTextView::layoutChanged() {
    if (_scrollBarsPending) return;
    _scrollBarsPending = true;
    QMetaObject::invokeMethod(this, [this] {
        _scrollBarsPending = false;
        updateScrollBars();
    }, Qt::QueuedConnection);
}

void QVTextView::updateScrollBars() {
    const qreal lineHeight = _layoutManager->lineHeight();
    const qint64 visibleRows = std::max<qint64>(1, qint64(viewport()->height() / lineHeight));
    const qint64 rows = _layoutManager->rowCount();
    QScrollBar* vertical = verticalScrollBar();
    vertical->setSingleStep(1);
    vertical->setPageStep(int(visibleRows));
    vertical->setRange(0, int(std::clamp<qint64>(rows - visibleRows, 0, INT_MAX)));
    QScrollBar* horizontal = horizontalScrollBar();
    if (_wraps) {
        horizontal->setRange(0, 0);
        return;
    }
    const int contentWidth = int(std::ceil(_layoutManager->scrollWidth() + _layoutManager->attachmentWidth())) + 2 * TextInset;
    horizontal->setSingleStep(int(_layoutManager->spaceWidth() * 2));
    horizontal->setPageStep(std::max(1, viewport()->width()));
    horizontal->setRange(0, std::max(0, contentWidth - viewport()->width()));
}

// --- Commands ---------------------------------------------------------------------------------

bool QVTextView::hasCommand(const QString& command) { return commandTable().contains(command); }

bool QVTextView::doCommand(const QString& command) {
    const auto it = commandTable().constFind(command);
    if (it == commandTable().constEnd()) return false;
    (this->*(it.value()))();
    return true;
}

namespace {

// The position one character before or after position, a surrogate pair or "\r\n" counting as one.
qint64 previousPosition(const QVTextStorage& storage, qint64 position) {
    if (position <= 0) return 0;
    qint64 p = position - 1;
    const QChar c = storage.characterAt(p);
    if (p > 0 && ((c.isLowSurrogate() && storage.characterAt(p - 1).isHighSurrogate()) ||
                  (c == u'\n' && storage.characterAt(p - 1) == u'\r')))
        --p;
    return p;
}

qint64 nextPosition(const QVTextStorage& storage, qint64 position) {
    if (position >= storage.length()) return storage.length();
    qint64 p = position + 1;
    const QChar c = storage.characterAt(position);
    if (p < storage.length() && ((c.isHighSurrogate() && storage.characterAt(p).isLowSurrogate()) ||
                                 (c == u'\r' && storage.characterAt(p) == u'\n')))
        ++p;
    return p;
}

}  // namespace

void QVTextView::moveLeft() {
    const QVRange selection = selectedRange();
    moveCaretTo(selection.length ? selection.location : previousPosition(*_storage, _caret), false);
    _goalX = -1;
}

void QVTextView::moveRight() {
    const QVRange selection = selectedRange();
    moveCaretTo(selection.length ? selection.end() : nextPosition(*_storage, _caret), false);
    _goalX = -1;
}

void QVTextView::moveLeftAndModifySelection() {
    moveCaretTo(previousPosition(*_storage, _caret), true);
    _goalX = -1;
}

void QVTextView::moveRightAndModifySelection() {
    moveCaretTo(nextPosition(*_storage, _caret), true);
    _goalX = -1;
}

qint64 QVTextView::positionMovedVertically(qint64 position, qint64 rows) {
    if (_goalX < 0) _goalX = _layoutManager->caretRect(position).left();
    const qint64 row = _layoutManager->rowOfPosition(position) + rows;
    if (row < 0) return 0;
    if (row >= _layoutManager->rowCount()) return length();
    const qreal lineHeight = _layoutManager->lineHeight();
    return _layoutManager->positionForPoint(QPointF(_goalX, row * lineHeight + lineHeight / 2));
}

void QVTextView::moveUp() {
    const QVRange selection = selectedRange();
    moveCaretTo(positionMovedVertically(selection.location, -1), false);
}

void QVTextView::moveDown() {
    const QVRange selection = selectedRange();
    moveCaretTo(positionMovedVertically(selection.end(), 1), false);
}

void QVTextView::moveUpAndModifySelection() { moveCaretTo(positionMovedVertically(_caret, -1), true); }
void QVTextView::moveDownAndModifySelection() { moveCaretTo(positionMovedVertically(_caret, 1), true); }

qint64 QVTextView::wordBoundary(qint64 position, bool forward) const {
    const QVTextStorage& text = *_storage;
    qint64 p = position;
    if (forward) {
        while (p < text.length() && !isWordCharacter(text.characterAt(p))) ++p;
        while (p < text.length() && isWordCharacter(text.characterAt(p))) ++p;
    } else {
        while (p > 0 && !isWordCharacter(text.characterAt(p - 1))) --p;
        while (p > 0 && isWordCharacter(text.characterAt(p - 1))) --p;
    }
    return p;
}

void QVTextView::moveWordLeft() {
    moveCaretTo(wordBoundary(_caret, false), false);
    _goalX = -1;
}
void QVTextView::moveWordRight() {
    moveCaretTo(wordBoundary(_caret, true), false);
    _goalX = -1;
}
void QVTextView::moveWordLeftAndModifySelection() {
    moveCaretTo(wordBoundary(_caret, false), true);
    _goalX = -1;
}
void QVTextView::moveWordRightAndModifySelection() {
    moveCaretTo(wordBoundary(_caret, true), true);
    _goalX = -1;
}

void QVTextView::moveToBeginningOfLine() {
    moveCaretTo(_layoutManager->characterRangeOfRow(_layoutManager->rowOfPosition(_caret)).location, false);
    _goalX = -1;
}
void QVTextView::moveToEndOfLine() {
    moveCaretTo(_layoutManager->characterRangeOfRow(_layoutManager->rowOfPosition(_caret)).end(), false);
    _goalX = -1;
}
void QVTextView::moveToBeginningOfLineAndModifySelection() {
    moveCaretTo(_layoutManager->characterRangeOfRow(_layoutManager->rowOfPosition(_caret)).location, true);
    _goalX = -1;
}
void QVTextView::moveToEndOfLineAndModifySelection() {
    moveCaretTo(_layoutManager->characterRangeOfRow(_layoutManager->rowOfPosition(_caret)).end(), true);
    _goalX = -1;
}
void QVTextView::moveToBeginningOfDocument() {
    moveCaretTo(0, false);
    _goalX = -1;
}
void QVTextView::moveToEndOfDocument() {
    moveCaretTo(length(), false);
    _goalX = -1;
}
void QVTextView::moveToBeginningOfDocumentAndModifySelection() {
    moveCaretTo(0, true);
    _goalX = -1;
}
void QVTextView::moveToEndOfDocumentAndModifySelection() {
    moveCaretTo(length(), true);
    _goalX = -1;
}

void QVTextView::pageUp() {
    const int rows = verticalScrollBar()->pageStep();
    verticalScrollBar()->setValue(verticalScrollBar()->value() - rows);
    moveCaretTo(positionMovedVertically(_caret, -rows), false);
}
void QVTextView::pageDown() {
    const int rows = verticalScrollBar()->pageStep();
    verticalScrollBar()->setValue(verticalScrollBar()->value() + rows);
    moveCaretTo(positionMovedVertically(_caret, rows), false);
}
void QVTextView::pageUpAndModifySelection() {
    const int rows = verticalScrollBar()->pageStep();
    verticalScrollBar()->setValue(verticalScrollBar()->value() - rows);
    moveCaretTo(positionMovedVertically(_caret, -rows), true);
}
void QVTextView::pageDownAndModifySelection() {
    const int rows = verticalScrollBar()->pageStep();
    verticalScrollBar()->setValue(verticalScrollBar()->value() + rows);
    moveCaretTo(positionMovedVertically(_caret, rows), true);
}
void QVTextView::scrollLineUp() { verticalScrollBar()->setValue(verticalScrollBar()->value() - 1); }
void QVTextView::scrollLineDown() { verticalScrollBar()->setValue(verticalScrollBar()->value() + 1); }

void QVTextView::deleteToward(qint64 position) {
    const QVRange selection = selectedRange();
    const QVRange range = selection.length ? selection
                                           : QVRange(std::min(position, _caret), std::abs(position - _caret));
    if (range.length == 0) return;
    replaceRange(range, QString(), {}, {}, true);
    scrollRangeToVisible(QVRange(_caret, 0));
}

void QVTextView::deleteBackward() { deleteToward(previousPosition(*_storage, _caret)); }
void QVTextView::deleteForward() { deleteToward(nextPosition(*_storage, _caret)); }
void QVTextView::deleteWordBackward() { deleteToward(wordBoundary(_caret, false)); }
void QVTextView::deleteWordForward() { deleteToward(wordBoundary(_caret, true)); }

void QVTextView::insertNewline() { insertText(QStringLiteral("\n")); }
void QVTextView::insertTab() { insertText(QStringLiteral("\t")); }
void QVTextView::insertBacktab() {}
void QVTextView::cancelOperation() {}

void QVTextView::selectAll() { setSelection(0, length(), true); }

void QVTextView::copy() {
    const QVRange selection = selectedRange();
    if (selection.length == 0) return;
    QGuiApplication::clipboard()->setMimeData(mimeDataForText(stringForCopy(selection)));
}

void QVTextView::cut() {
    const QVRange selection = selectedRange();
    if (selection.length == 0 || !_editable) return;
    copy();
    replaceRange(selection, QString(), {}, QStringLiteral("Cut"));
    scrollRangeToVisible(QVRange(_caret, 0));
}

void QVTextView::paste() {
    const QString text = textOfMimeData(QGuiApplication::clipboard()->mimeData());
    if (text.isEmpty()) return;
    replaceRange(selectedRange(), text, {}, QStringLiteral("Paste"));
    scrollRangeToVisible(QVRange(_caret, 0));
}

void QVTextView::undo() { runUndo(false); }
void QVTextView::redo() { runUndo(true); }

// --- Hooks ------------------------------------------------------------------------------------

bool QVTextView::shouldChangeTextInRange(QVRange, const QString&) { return true; }
void QVTextView::didChangeText() {}
QVRange QVTextView::willChangeSelection(QVRange, QVRange newRange) { return newRange; }
void QVTextView::didChangeSelection() {}
QString QVTextView::stringForCopy(QVRange range) const { return _storage->substring(range); }
QString QVTextView::stringForDrop(const QMimeData* data) const { return textOfMimeData(data); }

void QVTextView::drawViewBackground(QPainter& painter, const QRect& rect) { painter.fillRect(rect, _backgroundColor); }
void QVTextView::willDrawLines(qint64, qint64) {}
void QVTextView::textStorageEdited(const QVTextStorage::Edit&) {}

// --- Painting ---------------------------------------------------------------------------------

void QVTextView::paintEvent(QPaintEvent* event) {
    const QRect dirty = event->rect();
    {
        const qint64 top = verticalScrollBar()->value();
        const qreal lineHeight = _layoutManager->lineHeight();
        _painting = true;
        willDrawLines(_layoutManager->lineOfRow(top + qint64(std::floor(dirty.top() / lineHeight))),
                      _layoutManager->lineOfRow(top + qint64(std::ceil(dirty.bottom() / lineHeight))));
        _painting = false;
    }
    QPainter painter(viewport());
    drawViewBackground(painter, dirty);
    const qreal lineHeight = _layoutManager->lineHeight();
    const qint64 top = verticalScrollBar()->value();
    const QPointF offset = scrollOffset();
    const qint64 lastRow = top + qint64(std::ceil(dirty.bottom() / lineHeight));
    const QVRange selection = selectedRange();
    QTextLayout::FormatRange selectionFormat;
    selectionFormat.format.setBackground(_selectionColor);
    qint64 row = top + qint64(std::floor(dirty.top() / lineHeight));
    qint64 firstLine = -1, lastLine = -1;
    while (row <= lastRow && row < _layoutManager->rowCount()) {
        const qint64 line = _layoutManager->lineOfRow(row);
        const qint64 lineRow = _layoutManager->firstRowOfLine(line);
        const QPointF origin(-offset.x(), (lineRow - top) * lineHeight);
        const QVRange lineRange = _storage->lineRange(line);
        const qint64 contentsEnd = _storage->lineContentsEnd(line);
        QList<QTextLayout::FormatRange> selections;
        if (selection.length > 0 && selection.location < lineRange.end() && selection.end() > lineRange.location) {
            const qint64 from = std::max(selection.location, lineRange.location);
            const qint64 to = std::min(selection.end(), contentsEnd);
            if (to > from) {
                selectionFormat.start = int(from - lineRange.location);
                selectionFormat.length = int(to - from);
                selections << selectionFormat;
            }
            if (selection.end() > contentsEnd && contentsEnd < lineRange.end()) {
                // The selected line break: the rest of the last row.
                const QPointF end = _layoutManager->endOfLineText(line) + origin;
                painter.fillRect(QRectF(end.x(), end.y(), std::max<qreal>(viewport()->width() - end.x(), 0), lineHeight),
                                 _selectionColor);
            }
        }
        _layoutManager->drawLine(painter, line, origin, selections, QRectF(dirty));
        if (firstLine < 0) firstLine = line;
        lastLine = line;
        row = lineRow + _layoutManager->rowsOfLine(line);
    }
    // The caret is drawn where it shows (asking for it elsewhere would lay out its line).
    const qint64 caretLine = _storage->lineOfPosition(_caret);
    const bool caretPainted = caretLine >= firstLine && caretLine <= lastLine;
    if (!_preedit.isEmpty()) {
        const QRect caret = caretViewportRect();
        const QFontMetricsF metrics(textFont());
        const QRectF box(caret.left(), caret.top(), metrics.horizontalAdvance(_preedit), lineHeight);
        painter.fillRect(box, _backgroundColor);
        painter.setFont(textFont());
        painter.setPen(textColor());
        painter.drawText(box, Qt::AlignLeft | Qt::AlignVCenter, _preedit);
        painter.drawLine(box.bottomLeft() - QPointF(0, 1), box.bottomRight() - QPointF(0, 1));
    } else if (_caretShown && hasFocus() && selection.length == 0 && caretPainted) {
        QRectF caret = _layoutManager->caretRect(_caret).translated(-offset);
        caret.setWidth(2);
        painter.fillRect(caret, _insertionPointColor);
    }
    if (_dropCaret >= 0) {
        QRectF caret = _layoutManager->caretRect(_dropCaret).translated(-offset);
        caret.setWidth(2);
        painter.fillRect(caret, _insertionPointColor);
    }
    // Lines near the visible ones stay laid out for the next paints; the rest go.
    if (_layoutManager->cachedLineCount() > 1000) _layoutManager->pruneCache(firstVisibleLine(), lastVisibleLine());
}


void QVTextView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    if (_wraps) {
        const qint64 topLine = firstVisibleLine();
        updateWrapWidth();
        updateScrollBars();
        verticalScrollBar()->setValue(int(std::min<qint64>(_layoutManager->firstRowOfLine(topLine), INT_MAX)));
    } else {
        updateScrollBars();
    }
}

void QVTextView::scrollContentsBy(int, int) { viewport()->update(); }

// --- Input ------------------------------------------------------------------------------------

bool QVTextView::event(QEvent* event) {
    if (event->type() == QEvent::ShortcutOverride) {
        auto* key = static_cast<QKeyEvent*>(event);
        const QString command = _keyBindings.commandForEvent(key);
        const bool typed = !key->text().isEmpty() && key->text().at(0).isPrint() &&
                           !(key->modifiers() & (Qt::ControlModifier | Qt::MetaModifier | Qt::AltModifier));
        if ((!command.isEmpty() && hasCommand(command)) || typed) {
            event->accept();
            return true;
        }
    }
    const bool handled = QAbstractScrollArea::event(event);
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::InputMethod:
    case QEvent::MouseButtonRelease:
    case QEvent::Drop:
        // One input event, one undo step (unless typing coalesces).
        _undoManager->closeEventGroup();
        break;
    default:
        break;
    }
    return handled;
}

bool QVTextView::focusNextPrevChild(bool next) {
    if (_editable) return false;
    return QAbstractScrollArea::focusNextPrevChild(next);
}

void QVTextView::keyPressEvent(QKeyEvent* event) {
    const QString command = _keyBindings.commandForEvent(event);
    if (!command.isEmpty() && doCommand(command)) {
        event->accept();
        restartCaretBlink();
        return;
    }
    const QString text = event->text();
    // Alt, Control and Meta chords are commands (menu mnemonics among them), not text.
    const bool chord = event->modifiers() & (Qt::ControlModifier | Qt::MetaModifier | Qt::AltModifier);
    const bool altGr = (event->modifiers() & Qt::ControlModifier) && (event->modifiers() & Qt::AltModifier);
    const bool printable = !text.isEmpty() && std::all_of(text.begin(), text.end(), [](QChar c) {
        return c.isPrint() || c == u'\t' || c.isSurrogate();
    });
    if (printable && (!chord || altGr)) {
        insertText(text);
        event->accept();
        restartCaretBlink();
        return;
    }
    QAbstractScrollArea::keyPressEvent(event);
}

void QVTextView::inputMethodEvent(QInputMethodEvent* event) {
    const QString commit = event->commitString();
    if (!commit.isEmpty() || event->replacementLength() > 0) {
        QVRange range = selectedRange();
        if (event->replacementLength() > 0) {
            const qint64 from = std::clamp<qint64>(_caret + event->replacementStart(), 0, length());
            const qint64 to = std::clamp<qint64>(from + event->replacementLength(), from, length());
            range = QVRange(std::min(from, range.location), std::max(to, range.end()) - std::min(from, range.location));
        }
        replaceRange(range, commit, {}, {}, true);
    }
    _preedit = event->preeditString();
    _preeditCursor = int(_preedit.size());
    for (const QInputMethodEvent::Attribute& attribute : event->attributes())
        if (attribute.type == QInputMethodEvent::Cursor) _preeditCursor = attribute.start;
    event->accept();
    viewport()->update();
}

QVRange QVTextView::surroundingRange() const {
    // An input method reads this on every keystroke: in a very long line, only the part around
    // the caret, not megabytes.
    constexpr qint64 Reach = 1000;
    const qint64 line = _storage->lineOfPosition(_caret);
    const qint64 lineStart = _storage->lineStart(line);
    const qint64 contentsEnd = _storage->lineContentsEnd(line);
    qint64 from = std::max(lineStart, std::min(_caret, contentsEnd) - Reach);
    qint64 to = std::min(contentsEnd, std::max(_caret, from) + Reach);
    if (from > lineStart && _storage->characterAt(from).isLowSurrogate()) --from;
    if (to < contentsEnd && _storage->characterAt(to).isLowSurrogate()) ++to;
    return QVRange(from, to - from);
}

QVariant QVTextView::inputMethodQuery(Qt::InputMethodQuery query) const {
    const QVRange surrounding = surroundingRange();
    switch (query) {
    case Qt::ImEnabled:
        return _editable;
    case Qt::ImCursorRectangle:
        return QRectF(caretViewportRect()).translated(viewport()->pos());
    case Qt::ImFont:
        return textFont();
    case Qt::ImCursorPosition:
        return int(_caret - surrounding.location);
    case Qt::ImAnchorPosition:
        return int(std::clamp<qint64>(_anchor, surrounding.location, surrounding.end()) - surrounding.location);
    case Qt::ImSurroundingText:
        return _storage->substring(surrounding);
    case Qt::ImCurrentSelection:
        return _storage->substring(selectedRange());
    case Qt::ImHints:
        return int(Qt::ImhMultiLine | Qt::ImhNoAutoUppercase);
    default:
        return QAbstractScrollArea::inputMethodQuery(query);
    }
}

void QVTextView::mousePressEvent(QMouseEvent* event) {
    const QPoint point = event->position().toPoint();
    const qint64 position = positionForViewportPoint(point);
    _pressPoint = _lastMousePoint = point;
    breakUndoCoalescing();
    if (event->button() == Qt::MiddleButton) {
        QClipboard* clipboard = QGuiApplication::clipboard();
        if (clipboard->supportsSelection() && _editable) {
            const QString text = textOfMimeData(clipboard->mimeData(QClipboard::Selection));
            if (!text.isEmpty()) {
                setSelection(position, position, true);
                replaceRange(QVRange(position, 0), text, {}, QStringLiteral("Paste"));
            }
        }
        return;
    }
    if (event->button() != Qt::LeftButton) return;
    const QVRange selection = selectedRange();
    const bool triple = _lastDoubleClick.isValid() &&
                        _lastDoubleClick.elapsed() < QGuiApplication::styleHints()->mouseDoubleClickInterval() &&
                        (point - _lastDoubleClickPoint).manhattanLength() < QApplication::startDragDistance();
    if (triple) {
        const QVRange line = _storage->lineRange(_storage->lineOfPosition(position));
        _mouseMode = MouseMode::SelectLines;
        _mouseAnchorStart = line.location;
        _mouseAnchorEnd = line.end();
        setSelection(line.location, line.end(), true);
        _lastDoubleClick.invalidate();
    } else if (event->modifiers() & Qt::ShiftModifier) {
        _mouseMode = MouseMode::Select;
        _mouseAnchorStart = _mouseAnchorEnd = _anchor;
        setSelection(_anchor, position, true);
    } else if (selection.length > 0 && position > selection.location && position < selection.end() && _editable) {
        _mouseMode = MouseMode::MaybeDrag;
    } else {
        _mouseMode = MouseMode::Select;
        _mouseAnchorStart = _mouseAnchorEnd = position;
        setSelection(position, position, true);
    }
    _goalX = -1;
}

void QVTextView::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    const QPoint point = event->position().toPoint();
    const qint64 position = positionForViewportPoint(point);
    qint64 start = position;
    qint64 end = position;
    if (position < length() && isWordCharacter(_storage->characterAt(position))) {
        end = wordBoundary(position, true);
        start = position > 0 && isWordCharacter(_storage->characterAt(position - 1)) ? wordBoundary(position, false) : position;
    } else if (position > 0 && isWordCharacter(_storage->characterAt(position - 1))) {
        start = wordBoundary(position, false);
    } else if (position < length()) {
        end = nextPosition(*_storage, position);
    }
    _mouseMode = MouseMode::SelectWords;
    _mouseAnchorStart = start;
    _mouseAnchorEnd = end;
    setSelection(start, end, true);
    _lastDoubleClick.start();
    _lastDoubleClickPoint = point;
}

void QVTextView::mouseMoveEvent(QMouseEvent* event) {
    const QPoint point = event->position().toPoint();
    _lastMousePoint = point;
    if (_mouseMode == MouseMode::MaybeDrag) {
        if ((point - _pressPoint).manhattanLength() >= QApplication::startDragDistance()) {
            _mouseMode = MouseMode::None;
            startDrag();
        }
        return;
    }
    if (_mouseMode == MouseMode::None) return;
    const QRect inside = viewport()->rect();
    if (!inside.contains(point)) {
        if (!_autoScrollTimer.isActive()) _autoScrollTimer.start(50, this);
    } else {
        _autoScrollTimer.stop();
    }
    const qint64 position = positionForViewportPoint(point);
    switch (_mouseMode) {
    case MouseMode::Select:
        setSelection(_mouseAnchorStart, position, true);
        break;
    case MouseMode::SelectWords: {
        qint64 start = position;
        qint64 end = position;
        if (position < _mouseAnchorStart) start = wordBoundary(position + (position < length() ? 1 : 0), false);
        else end = wordBoundary(std::max<qint64>(position - 1, 0), true);
        if (position < _mouseAnchorStart) setSelection(_mouseAnchorEnd, std::min(start, _mouseAnchorStart), true);
        else setSelection(_mouseAnchorStart, std::max(end, _mouseAnchorEnd), true);
        break;
    }
    case MouseMode::SelectLines: {
        const QVRange line = _storage->lineRange(_storage->lineOfPosition(position));
        if (line.location < _mouseAnchorStart) setSelection(_mouseAnchorEnd, line.location, true);
        else setSelection(_mouseAnchorStart, std::max(line.end(), _mouseAnchorEnd), true);
        break;
    }
    default:
        break;
    }
}

void QVTextView::mouseReleaseEvent(QMouseEvent* event) {
    _autoScrollTimer.stop();
    if (_mouseMode == MouseMode::MaybeDrag) {
        const qint64 position = positionForViewportPoint(event->position().toPoint());
        setSelection(position, position, true);
    }
    if (_mouseMode != MouseMode::None) setPrimarySelection();
    _mouseMode = MouseMode::None;
}

void QVTextView::autoScrollStep() {
    const QRect inside = viewport()->rect();
    if (_lastMousePoint.y() < inside.top()) scrollLineUp();
    else if (_lastMousePoint.y() > inside.bottom()) scrollLineDown();
    if (!_wraps) {
        QScrollBar* horizontal = horizontalScrollBar();
        if (_lastMousePoint.x() < inside.left()) horizontal->setValue(horizontal->value() - horizontal->singleStep());
        else if (_lastMousePoint.x() > inside.right()) horizontal->setValue(horizontal->value() + horizontal->singleStep());
    }
    const QPoint clamped(std::clamp(_lastMousePoint.x(), inside.left(), inside.right()),
                         std::clamp(_lastMousePoint.y(), inside.top(), inside.bottom()));
    if (_mouseMode == MouseMode::Select) setSelection(_mouseAnchorStart, positionForViewportPoint(clamped), true);
}

void QVTextView::setPrimarySelection() {
    QClipboard* clipboard = QGuiApplication::clipboard();
    const QVRange selection = selectedRange();
    if (clipboard->supportsSelection() && selection.length > 0)
        clipboard->setMimeData(mimeDataForText(stringForCopy(selection)), QClipboard::Selection);
}

// --- Drag and drop ----------------------------------------------------------------------------

void QVTextView::startDrag() {
    const QVRange selection = selectedRange();
    if (selection.length == 0) return;
    QMimeData* data = mimeDataForText(stringForCopy(selection));
    auto* drag = new QDrag(this);
    drag->setMimeData(data);
    _draggingFromHere = true;
    _dragSource = selection;
    const Qt::DropAction action = drag->exec(_editable ? Qt::CopyAction | Qt::MoveAction : Qt::CopyAction, Qt::MoveAction);
    // A move inside this view was done by dropEvent(), which clears _draggingFromHere.
    if (action == Qt::MoveAction && _draggingFromHere && _editable) {
        replaceRange(_dragSource, QString(), {}, QStringLiteral("Drag"));
    }
    _draggingFromHere = false;
}

void QVTextView::dragEnterEvent(QDragEnterEvent* event) {
    if (!_editable || stringForDrop(event->mimeData()).isEmpty()) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
}

void QVTextView::dragMoveEvent(QDragMoveEvent* event) {
    if (!_editable || stringForDrop(event->mimeData()).isEmpty()) {
        event->ignore();
        return;
    }
    _dropCaret = positionForViewportPoint(event->position().toPoint());
    if (event->source() == this && !(event->modifiers() & Qt::ControlModifier)) {
        event->setDropAction(Qt::MoveAction);
        event->accept();
    } else {
        event->acceptProposedAction();
    }
    viewport()->update();
}

void QVTextView::dragLeaveEvent(QDragLeaveEvent*) {
    _dropCaret = -1;
    viewport()->update();
}

void QVTextView::dropEvent(QDropEvent* event) {
    _dropCaret = -1;
    const QString text = stringForDrop(event->mimeData());
    if (!_editable || text.isEmpty()) {
        event->ignore();
        return;
    }
    const qint64 position = positionForViewportPoint(event->position().toPoint());
    const bool move = event->source() == this && _draggingFromHere && event->dropAction() == Qt::MoveAction;
    if (move) {
        _draggingFromHere = false;  // the move is done here, not by startDrag()
        if (position >= _dragSource.location && position <= _dragSource.end()) {
            event->accept();
            viewport()->update();
            return;
        }
        QVUndoManager& undo = *_undoManager;
        undo.beginUndoGrouping();
        qint64 target = position;
        if (position > _dragSource.end()) {
            replaceRange(QVRange(position, 0), text, {}, {}, false, true);
            replaceRange(_dragSource, QString(), {}, {});
            target = position - _dragSource.length;
        } else {
            replaceRange(_dragSource, QString(), {}, {});
            replaceRange(QVRange(position, 0), text, {}, {}, false, true);
        }
        undo.setActionName(QStringLiteral("Drag"));
        undo.endUndoGrouping();
        setSelection(target, target + text.size(), true);
    } else {
        replaceRange(QVRange(position, 0), text, {}, QStringLiteral("Drag"), false, true);
    }
    event->acceptProposedAction();
    viewport()->update();
}

// --- Focus and timers -------------------------------------------------------------------------

void QVTextView::restartCaretBlink() {
    if (!_caretShown) viewport()->update(caretViewportRect().adjusted(-2, -1, 2, 1));
    _caretShown = true;
    const int flash = QApplication::cursorFlashTime();
    if (hasFocus() && flash > 0) _caretTimer.start(flash / 2, this);
    else _caretTimer.stop();
}

void QVTextView::focusInEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusInEvent(event);
    restartCaretBlink();
    viewport()->update();
}

void QVTextView::focusOutEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusOutEvent(event);
    _caretTimer.stop();
    breakUndoCoalescing();
    viewport()->update();
}

void QVTextView::timerEvent(QTimerEvent* event) {
    if (event->timerId() == _caretTimer.timerId()) {
        _caretShown = !_caretShown;
        viewport()->update(caretViewportRect().adjusted(-2, -1, 2, 1));
    } else if (event->timerId() == _autoScrollTimer.timerId()) {
        autoScrollStep();
    } else {
        QAbstractScrollArea::timerEvent(event);
    }
}
