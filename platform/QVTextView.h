// The editor widget: a scroll area that shows and edits a text storage through a layout
// manager, with selection, caret, key-binding commands, input methods, mouse, clipboard,
// drag and drop, and undo.
#pragma once

#include "platform/QVError.h"
#include "platform/QVKeyBindings.h"
#include "platform/QVRange.h"
#include "platform/TextUnits.h"
#include "platform/QVTextChange.h"
#include "platform/QVTextLayoutManager.h"
#include "platform/QVTextStorage.h"
#include "platform/QVUndoManager.h"

#include <QAbstractScrollArea>
#include <QBasicTimer>
#include <QColor>
#include <QElapsedTimer>
#include <QFont>
#include <QHash>
#include <QPoint>

#include <functional>
#include <memory>
#include <vector>

class QMimeData;

// Every change the user makes (typing, deleting, pasting, dropping, undoing) goes through one
// path, replaceRange(): shouldChangeTextInRange() may refuse it, the inverse change is
// registered with the undo manager (typing coalesces into one "Typing" step), the storage is
// edited in one batch, the selection is set, then didChangeText() and didChangeSelection() are
// called. Subclasses hook in there, the way a text view's delegate would.
//
// Keys are looked up in the key-binding table; a bound key runs the command of that name
// (doCommand()), any other key with text inserts it. Commands are the public slots below.
//
// Line breaks stay in the text as they are ("\n", "\r", "\r\n"). The left viewport margin is
// reserved for a gutter (setGutterWidth()).
class QVTextView : public QAbstractScrollArea {
    Q_OBJECT
public:
    explicit QVTextView(QWidget* parent = nullptr);
    ~QVTextView() override;

    // --- Text ---------------------------------------------------------------------------------
    QVTextStorage& textStorage() const { return *_storage; }
    std::shared_ptr<QVTextStorage> sharedTextStorage() const { return _storage; }
    // Shows storage (null installs an empty one); the selection goes to its start.
    void setTextStorage(std::shared_ptr<QVTextStorage> storage);
    QVTextLayoutManager& layoutManager() const { return *_layoutManager; }
    // Installs manager (null is refused), carrying over font, tabs, wrapping and colour.
    void setLayoutManager(std::unique_ptr<QVTextLayoutManager> manager);

    QString string() const { return _storage->string(); }
    qint64 length() const { return _storage->length(); }
    // Replaces the whole text and puts the caret at the start. Not an undoable change: unless
    // an undo group is open or an undo or redo is running (when the caller records its own
    // inverse), the undo records of this view are dropped, since they no longer fit the text.
    virtual void setString(const QString& text);
    // The same with the text's UTF-16 units, units [from, length), taken over without a copy.
    virtual void adoptString(TextUnits&& units, qsizetype length, qsizetype from);

    // The editing primitive (see above). Replaces range with text (and attachments) as the
    // user would; afterwards the selection is the inserted text when selectInserted, else the
    // caret after it. actionName names a new undo group (ignored while coalescing); typing
    // coalesces with the typing before it. False when not editable, refused by
    // shouldChangeTextInRange(), or outside the text (error set).
    bool replaceRange(QVRange range, const QString& text, const QVTextChange::Attachments& attachments = {},
                      const QString& actionName = {}, bool typing = false, bool selectInserted = false,
                      QVError* error = nullptr);
    // Replaces the selection as typing does; an error when the range was refused or invalid.
    virtual QVError insertText(const QString& text);

    bool isEditable() const { return _editable; }
    void setEditable(bool flag) { _editable = flag; }

    // --- Selection ----------------------------------------------------------------------------
    QVRange selectedRange() const;
    // Selects range (clamped to the text), with the caret at its end. willChangeSelection() may
    // change it; didChangeSelection() follows when it changed.
    void setSelectedRange(QVRange range);
    // Scrolls as little as possible to show range's start (and as much of it as fits).
    void scrollRangeToVisible(QVRange range);
    // The first and last lines at least partly visible.
    qint64 firstVisibleLine() const;
    qint64 lastVisibleLine() const;
    // Lays out the visible lines that are not laid out (what a paint would do first).
    void ensureLayoutOfVisibleLines();

    // --- Appearance ---------------------------------------------------------------------------
    void setTextFont(const QFont& font);
    QFont textFont() const { return _layoutManager->font(); }
    // Tab stops every n blanks; below 1 counts as 1.
    void setTabWidth(int spaces);
    int tabWidth() const { return _layoutManager->tabWidth(); }
    void setWrapsLines(bool flag);
    bool wrapsLines() const { return _wraps; }
    void setTextColor(const QColor& color);
    QColor textColor() const { return _layoutManager->textColor(); }
    void setBackgroundColor(const QColor& color);
    QColor backgroundColor() const { return _backgroundColor; }
    void setInsertionPointColor(const QColor& color);
    QColor insertionPointColor() const { return _insertionPointColor; }
    void setSelectedTextBackgroundColor(const QColor& color);
    QColor selectedTextBackgroundColor() const { return _selectionColor; }
    // Room kept free left of the text for the gutter.
    void setGutterWidth(int width);
    int gutterWidth() const { return _gutterWidth; }
    // Space between the viewport's left edge and the text.
    static constexpr int TextInset = 4;

    // --- Undo ---------------------------------------------------------------------------------
    QVUndoManager& undoManager() const { return *_undoManager; }
    // Uses manager (a document's) for this view's undo records; null makes a private one.
    void setUndoManager(std::shared_ptr<QVUndoManager> manager);
    bool allowsUndo() const { return _allowsUndo; }
    void setAllowsUndo(bool flag) { _allowsUndo = flag; }
    // Ends typing coalescing, so that the next typing is a step of its own.
    void breakUndoCoalescing();

    // --- Keys ---------------------------------------------------------------------------------
    const QVKeyBindings& keyBindings() const { return _keyBindings; }
    void setKeyBindings(const QVKeyBindings& bindings) { _keyBindings = bindings; }
    // Runs the command of that name; false when there is none.
    virtual bool doCommand(const QString& command);
    // Whether a command of that name exists.
    static bool hasCommand(const QString& command);

    // Document coordinates of the top-left corner of the viewport.
    QPointF scrollOffset() const;
    // The text position at a point of the viewport.
    qint64 positionForViewportPoint(const QPoint& point) const;
    QRect caretViewportRect() const;
    QVariant inputMethodQuery(Qt::InputMethodQuery query) const override;

public Q_SLOTS:
    // Commands of the key-binding table.
    void moveLeft();
    void moveRight();
    void moveUp();
    void moveDown();
    void moveLeftAndModifySelection();
    void moveRightAndModifySelection();
    void moveUpAndModifySelection();
    void moveDownAndModifySelection();
    void moveWordLeft();
    void moveWordRight();
    void moveWordLeftAndModifySelection();
    void moveWordRightAndModifySelection();
    void moveToBeginningOfLine();
    void moveToEndOfLine();
    void moveToBeginningOfLineAndModifySelection();
    void moveToEndOfLineAndModifySelection();
    void moveToBeginningOfDocument();
    void moveToEndOfDocument();
    void moveToBeginningOfDocumentAndModifySelection();
    void moveToEndOfDocumentAndModifySelection();
    void pageUp();
    void pageDown();
    void pageUpAndModifySelection();
    void pageDownAndModifySelection();
    void scrollLineUp();
    void scrollLineDown();
    void deleteBackward();
    void deleteForward();
    void deleteWordBackward();
    void deleteWordForward();
    virtual void insertNewline();
    virtual void insertTab();
    virtual void insertBacktab();
    virtual void cancelOperation();
    void selectAll();
    void copy();
    void cut();
    virtual void paste();
    virtual void undo();
    virtual void redo();

protected:
    // Registers, as its own undo step, the undo of a change made while undo registration was off:
    // undoing it applies inverse, as for a change replaceRange() made.
    void registerUndoOfChange(const QVTextChange& inverse, const QString& actionName) {
        registerChange(inverse, actionName, false, QVRange(), QString(), false, 0);
    }
    // --- Hooks --------------------------------------------------------------------------------
    // Asked before every change the user makes; false refuses it.
    virtual bool shouldChangeTextInRange(QVRange range, const QString& replacement);
    // Told after every change the user made.
    virtual void didChangeText();
    // May replace a selection the user or a command is about to make.
    virtual QVRange willChangeSelection(QVRange oldRange, QVRange newRange);
    virtual void didChangeSelection();
    // The text that copying, cutting and dragging put on the clipboard for range.
    virtual QString stringForCopy(QVRange range) const;
    // The text a drop of data inserts; empty refuses the drop.
    virtual QString stringForDrop(const QMimeData* data) const;
    // Paints what lies under the text (the background); the base fills the background colour,
    // which the layout manager counts on: runs of that background colour are not painted again.
    virtual void drawViewBackground(QPainter& painter, const QRect& rect);
    // Told before lines [first, last] are laid out to be drawn (attributes may still change).
    virtual void willDrawLines(qint64 firstLine, qint64 lastLine);
    // Told of every change of the storage, ours or not, after the view has followed it.
    virtual void textStorageEdited(const QVTextStorage::Edit& edit);
    // Whether a paint is under way (storage changes then schedule no further paint).
    bool isPainting() const { return _painting; }
    // Runs an undo or a redo of the undo manager; the base just does it.
    void runUndo(bool redo);

    // --- Events -------------------------------------------------------------------------------
    bool event(QEvent* event) override;
    // An editable view keeps Tab and Shift+Tab (indent, placeholders, snippet keywords) instead
    // of letting the window move the focus on; a read-only one lets them move it.
    bool focusNextPrevChild(bool next) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void keyPressEvent(QKeyEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

private:
    // What setString and adoptString share around the replace itself.
    void replaceWholeText(const std::function<void()>& replace);
    void storageEdited(const QVTextStorage::Edit& edit);
    // Marks for repainting what an edit changed, the rows of lines [first, last] (with toBottom,
    // down to the bottom of the view), and what a selection change made look different.
    void updateEditedLines(const QVTextStorage::Edit& edit);
    void updateLines(qint64 firstLine, qint64 lastLine, bool toBottom = false);
    void updateSelectionChange(qint64 oldAnchor, qint64 oldCaret);
    // Moves the ends of the selection out of any "\r\n" they stand inside (an edit that joins a
    // "\r" and a "\n" leaves the caret between them): a caret and the start before the pair,
    // the end after it.
    void keepOutOfBreakPairs();
    // The text input methods see around the caret: its line, at most a thousand characters
    // on either side of the caret.
    QVRange surroundingRange() const;
    void layoutChanged();
    void updateScrollBars();
    void updateWrapWidth();
    void applyUndoChange(const QVTextChange& change, const QString& actionName);
    void registerChange(const QVTextChange& inverse, const QString& actionName, bool typing,
                        QVRange replaced, const QString& removedText, bool removedAttachments,
                        qint64 insertedLength);
    void setSelection(qint64 anchor, qint64 caret, bool userMove);
    void moveCaretTo(qint64 position, bool extend);
    qint64 positionMovedVertically(qint64 position, qint64 rows);
    qint64 wordBoundary(qint64 position, bool forward) const;
    void deleteToward(qint64 position);
    void restartCaretBlink();
    void autoScrollStep();
    void startDrag();
    void setPrimarySelection();

    std::shared_ptr<QVTextStorage> _storage;
    QVTextStorage::ObserverToken _storageObserver = 0;
    std::unique_ptr<QVTextLayoutManager> _layoutManager;
    std::shared_ptr<QVUndoManager> _undoManager;
    std::shared_ptr<QVTextChange> _typingChange;  // the record typing grows while it coalesces
    QVKeyBindings _keyBindings;

    qint64 _anchor = 0;
    qint64 _caret = 0;
    qreal _goalX = -1;  // the x that vertical moves keep to; -1: take the caret's
    int _editDepth = 0;  // inside replaceRange: the storage edit is ours
    bool _editable = true;
    bool _allowsUndo = true;
    bool _wraps = false;
    int _gutterWidth = 0;
    QColor _backgroundColor = Qt::white;
    QColor _insertionPointColor = Qt::black;
    QColor _selectionColor = QColor(181, 213, 255);

    bool _caretShown = true;
    QBasicTimer _caretTimer;
    QBasicTimer _autoScrollTimer;
    bool _scrollBarsPending = false;
    bool _painting = false;
    qint64 _paintedLineCount = 1;  // the storage's line count at the last character edit

    // Mouse state.
    enum class MouseMode { None, Select, SelectWords, SelectLines, MaybeDrag };
    MouseMode _mouseMode = MouseMode::None;
    qint64 _mouseAnchorStart = 0;
    qint64 _mouseAnchorEnd = 0;
    QPoint _pressPoint;
    QPoint _lastMousePoint;
    QElapsedTimer _lastDoubleClick;
    QPoint _lastDoubleClickPoint;
    qint64 _dropCaret = -1;
    bool _draggingFromHere = false;
    QVRange _dragSource;

    QString _preedit;
    int _preeditCursor = 0;
};
