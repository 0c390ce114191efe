// The editor of one text document: text with collapsed regions, the document's line breaks,
// loading in an encoding, lines and columns, the escaped mode, and the undoable edits that
// documents and tools make.
#pragma once

#include "editor/HTMLViewDelegate.h"
#include "editor/QVCodeFoldingDelegate.h"
#include "editor/QVFoldingTextStorage.h"
#include "editor/QVSyntaxHighlightingTextView.h"
#include "languages/QVCodeNavMenuItem.h"
#include "platform/NotificationCenter.h"
#include "platform/TextEncoding.h"

#include <optional>
#include <QByteArray>
#include <QList>
#include <QString>
#include <QVariant>

#include <functional>
#include <memory>

class QMenu;
class HTMLViewTypingAids;
class QPagedPaintDevice;
class QVSnippet;
class QVTidyOperationItem;
class QVUserScriptContext;
class QPainter;
class QVLineNumberingRulerView;
class QVFoldMarker;

// The view is its own scroll area (the platform's editor widget); the gutter's place is its
// left viewport margin. Positions are visible ones unless a method says otherwise: in the
// visible text each collapsed region is one U+FFFC, the full text has them all expanded.
//
// Tools change the text only through undoableInsertText() (replacing the selection) and
// undoableSetString() (the whole text), each one undo step with its action name, and read it
// through fullString().
class HTMLView : public QVSyntaxHighlightingTextView, public QVCodeFoldingDelegate {
    Q_OBJECT
public:
    // The line-break types by their numbers (QVLineBreak and the line-break menu's tags).
    enum LineBreakType { Unix = 0, Mac = 1, DOS = 2 };
    // Per-file setting the document keeps: the text encoding of the file.
    static inline const QString FileEncodingKey = QStringLiteral("QVFileEncoding");

    // A new editor for the file at path (empty for an untitled document): its bundle chosen
    // from the path, the editor font, tabs and wrapping from the settings, the default line
    // break of QVLineBreak.
    explicit HTMLView(const QString& path = {}, QWidget* parent = nullptr);
    ~HTMLView() override;

    void setInterfaceDelegate(std::weak_ptr<HTMLViewDelegate> delegate) { _interfaceDelegate = std::move(delegate); }
    std::shared_ptr<HTMLViewDelegate> delegate() const { return _interfaceDelegate.lock(); }
    // Where the view reads the document's per-file settings (FileEncodingKey); none: no value.
    void setFileConfigurationReader(std::function<QVariant(const QString& key)> reader) { _fileConfiguration = std::move(reader); }
    // Lets the text go before the owner lets the view go.
    void releaseAndDestroy();

    // --- Configuration ------------------------------------------------------------------------
    // The stored editor font (else the fixed-pitch font at 12 points), the tab size of
    // QVTabSizeKey and the wrapping of QVWrapText.
    void configureTextView(bool firstTime);
    // The font typed text starts with.
    void initTypingAttributes(const QFont& font);
    // Tab stops every n blanks of the view's font; 0 or less is taken as 1.
    void setTabSize(int n);
    // Wraps lines at the view's width when QVWrapText is on; otherwise lines run on.
    void changeWrap();
    // Editor preferences changed: applied now, or at the next activation while inactive.
    void updateAttributes();
    void setActive(bool flag) override;

    // The line-number and folding gutter in the view's left margin; the view's own child.
    QVLineNumberingRulerView* rulerView() const { return _gutter; }

    // --- Text ---------------------------------------------------------------------------------
    QVFoldingTextStorage& foldingStorage() const { return *_textStorage; }
    // The full text: every collapsed region expanded.
    QString fullString() const;
    void fillStringWithFullString(QString& string) const { string = fullString(); }
    // Converts every line break to the view's, then replaces the text.
    void setString(const QString& text) override;
    // Text of two or more characters gets the view's line breaks first; one typed character
    // never changes. A range error of the storage is logged and answered by colouring the
    // whole text again.
    QVError insertText(const QString& text) override;
    // Return, Tab, Shift-Tab and Escape go through the typing aids (HTMLViewTypingAids).
    void insertNewline() override;
    void insertTab() override;
    void insertBacktab() override;
    void cancelOperation() override;
    bool doCommand(const QString& command) override;
    // Tag completion, brackets, indentation, line breaks and the completion list.
    HTMLViewTypingAids& typingAids() const { return *_aids; }
public Q_SLOTS:
    // Indent Block and Outdent Block: one step more or less for every line of the selection.
    void entabBlock();
    void detabBlock();

public:

    // Loads the file at path (or data read from it) in the document's encoding (detected when
    // it has none) and answers whether a text was made. The text keeps the file's line breaks,
    // and the file's first break becomes the view's. With an action name the new text is
    // one undoable step, else it replaces the text outright. A text read in a fallback
    // encoding is reported to the owner as not critical and kept. A load that fails changes
    // nothing: the previous text, encoding and undo steps stay, and the failure goes to error
    // and to the owner as critical.
    bool loadFromPath(const QString& path, const QString& actionName = {}, QVError* error = nullptr);
    // Files from this size on, when UTF-8, are decoded straight into the storage.
    static constexpr qint64 DirectLoadSize = 4 * 1024 * 1024;
    bool loadFromData(const QByteArray& data, const QString& path, const QString& actionName = {},
                      QVError* error = nullptr);
    QVStringEncoding stringEncoding() const { return _encodingFromOpen; }
    void setStringEncoding(QVStringEncoding encoding) { _encodingFromOpen = encoding; }
    // Whether the file last read was UTF-8 beginning with a byte-order mark. The mark is not
    // part of the text (nothing can be typed before it, nor can it be deleted); a save in UTF-8
    // writes it again.
    bool hasByteOrderMark() const { return _byteOrderMark; }
    static constexpr char16_t ByteOrderMark = 0xFEFF;
    // The main parser's code-navigation items over the full text (full-text positions).
    QList<QVCodeNavMenuItem> codeNavItems() const;

    QString lineBreak() const { return _lineBreak; }
    QString lineBreakName() const { return _lineBreakName; }
    // The text as it stands, its breaks unchanged, new lines getting the break named ("Unix",
    // "DOS" or "Mac"; any other name: the text's first break), as a file read in it would.
    void setStringAsFileText(const QString& text, const QString& lineBreakName);

    // --- Selection and lines ------------------------------------------------------------------
    // Selects a range of full-text positions (expanding the region it starts in) and shows it.
    void showRange(QVRange fullRange);
    // Selects *range; with expandCollapsed it is in full-text positions: a collapsed region
    // holding its start is expanded, and *range is moved to visible positions.
    void setSelectedRange(QVRange* range, bool expandCollapsed);
    using QVTextView::setSelectedRange;
    // The 1-based line of the selection's start, and its 0-based column.
    qint64 lineNumber() const;
    qint64 columnNumber() const;
    // The range of line n (1-based, with its break); *count (set to 0 by the caller) receives
    // how many lines were taken, fewer than n when the text has fewer. (0, 0) for an empty text.
    QVRange rangeForLineNumber(qint64 n, qint64* count) const;
    // Selects line n and shows it; line 0 is taken as 1 and a line past the end as the last
    // one, and both beep (answering false).
    bool gotoLine(qint64 n);
    void selectLine(qint64 a, qint64 b);
    // gotoLine() of the number in text, when there is text.
    Q_INVOKABLE void gotoLineFromString(const QString& text);
    // The toolbar's quick search (HTMLViewFind): the field's text changed, and Return in it.
    Q_INVOKABLE void quickSearch(const QString& string);
    Q_INVOKABLE void quickSearchAgain(const QString& string);
    // Selects the line that holds position, without expanding anything (the gutter's click).
    void selectLineForGlyphIndex(qint64 position);
    void selectLineForGlyphIndex(qint64 index, QVLineNumberingRulerView*) override { selectLineForGlyphIndex(index); }

    // --- Escaped mode -------------------------------------------------------------------------
    bool escaped() const { return _escaped; }
    void setEscaped(bool flag) { _escaped = flag; }

    // --- Undoable edits -----------------------------------------------------------------------
    // Runs action as one undo step of its own named actionName (none: no name); a step that
    // does not count as a change leaves the document's change count alone.
    void performUndoable(const std::function<void()>& action, const QString& actionName,
                         bool countsAsChange = true);
    // Replaces the selection by text (with attachments at their offsets) as one undo step.
    void undoableInsertText(const QString& text, const QString& actionName,
                            const QVTextChange::Attachments& attachments = {});
    // Replaces the whole text as one undo step; undo puts back exactly the text (and collapsed
    // regions) there was.
    void undoableSetString(const QString& text, const QString& actionName);
    void undo() override;
    void redo() override;
    // Whether the last change was one not to count (folding); asking clears it.
    bool shouldIgnoreChangeForCount();

    // --- Collapsed regions --------------------------------------------------------------------
    // Replaces range by one collapsed region, as an undo step "Collapse Region" that does not
    // count as a change. False for an empty range or one outside the text.
    bool collapseRange(QVRange range);
    // Expands the collapsed region at or after position, keeping the scroll position, as an
    // undo step "Expand Region" that does not count as a change; false when there is none.
    bool expandRegion(qint64 position);

    // --- Folding (HTMLViewFolding.cpp) --------------------------------------------------------
    // The gutter's questions, answered with the fold patterns of the parser that coloured the
    // line (the main parser where colouring has not reached yet). Lines end at LF, CR or CR LF.
    qint64 countForState(QVFoldMarkerState state, qint64 index) override;
    qint64 numberOfLinesForState(QVFoldMarkerState state, qint64 index) override;
    bool rangeNeedsMarker(QVRange lineRange, QVFoldMarkerState* state) override;
    bool colouringUnderWay() const override { return active() && highlightedLength() < length(); }
    bool collapseFromGlyphIndex(qint64 first, qint64 second, QVFoldMarkerState type, qint64 offset) override;
    bool expandForMarkerWithGlyphIndex(qint64 index) override;
    // The folding commands, through the gutter: collapse every outermost open block, expand
    // the collapsed regions at the outermost level and inside one open block (each from the
    // last to the first), and fold or unfold the innermost block around the selection's line
    // (a beep when there is none).
    void collapseAllBlocks();
    void expandAllBlocks();
    void foldCurrentBlock();
    // The folding and line-number preferences: applied to the gutter now, or at the next
    // activation while the view is inactive.
    void updateGutter();

    // --- Snippets, insert commands and entities (HTMLViewInserts.cpp) -------------------------
    // Expands snippet with the selected full text and puts the result in place of the
    // selection as "Insert Snippet", the caret where the snippet says; false (nothing changed)
    // when the snippet gave no text.
    bool insertSnippet(const std::shared_ptr<QVSnippet>& snippet);
    // The blanks that begin position's line, up to position: what every further line of a
    // snippet inserted there begins with.
    QString indentationBefore(qint64 position) const;
    // Hands the selected full text to the snippet store's add sheet; beeps without a selection.
    void addSelectionAsSnippet();
    // Tab's and Return's snippet trigger: the word of letters, digits and "_" before the caret,
    // only without a selection. True when a snippet has that trigger: it replaces the word as
    // "Insert Snippet", or, when it gives no text, the caret stays and the view beeps.
    bool keywordComplete();
    // Runs a user script on this view; a script that needs a selection does nothing without one.
    void insertUserScript(const std::shared_ptr<QVUserScriptContext>& script);
    // Shows a Tidy run of operation for this file on the view's window.
    void performTidy(const std::shared_ptr<QVTidyOperationItem>& operation);
    // The three file inserts: a window-modal file dialog starting in the file's folder, whose
    // choice goes to insertChosenFile().
    enum class InsertContext { Path, Image, Contents };
    void insertContentsOfFile() { runInsertPanel(InsertContext::Contents); }
    void insertImage() { runInsertPanel(InsertContext::Image); }
    void insertPathToFile() { runInsertPanel(InsertContext::Path); }
    void runInsertPanel(InsertContext context);
    // Inserts for the chosen file (its path relative to this file's when the view has one):
    // the path, an img tag (sizes from the image; an unreadable image is reported and its
    // tag has no sizes), or the file's text in the document's encoding (an unreadable file is
    // reported, nothing inserted). Names go into attributes escaped. False when nothing was
    // inserted.
    bool insertChosenFile(const QString& file, InsertContext context);
    // Wraps the selection (collapsed regions kept) in "strong" (tag 4), "em" (5) or "u" (6)
    // and selects the whole; other tags do nothing.
    void formatText(int tag);
    // The selection becomes a link to its own text; nothing without a selection.
    void makeLinkFromMenu();
    void insertSpecialCharacter(const QString& entity);
    // Replaces every character of the entity table in markup (never in CSS, scripts or
    // server code) by its entity, as one undoable step; false, no step, when there was none.
    bool convertCharacterEntitiesToHTML();
    // The context menu: the editing commands, then Indent and Outdent Block, Add Selected Text
    // as Snippet and the Insert Snippet submenu.
    QMenu* createContextMenu(QWidget* parent);
    // The XHTML question of image tags; the tag-completion aids answer it from the text.
    virtual bool isXHTML() const;

    // --- Printing -----------------------------------------------------------------------------
    // Printing lays out a copy of the full text, black on white, wrapped to the page; the view,
    // its text and its undo steps are never touched.
    int printPageCount(const QSizeF& pageSize) const;
    // Draws page (0-based) of that size with the painter at its origin.
    void drawPrintPage(QPainter& painter, const QSizeF& pageSize, int page) const;
    // Prints every page on device; false when the device cannot be painted on.
    bool print(QPagedPaintDevice* device) const;

protected:
    bool shouldChangeTextInRange(QVRange range, const QString& replacement) override;
    void didChangeText() override;
    void didChangeSelection() override;
    void textStorageEdited(const QVTextStorage::Edit& edit) override;
    QString stringForCopy(QVRange range) const override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    // A double click on a collapsed region expands it; just after an opening bracket it selects
    // the bracketed block.
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    // A colour (the colour panel's drag) drops as "#" and its hexadecimal value.
    QString stringForDrop(const QMimeData* data) const override;
    void drawViewBackground(QPainter& painter, const QRect& rect) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    friend class HTMLViewTypingAids;
    // Toggles the gutter's markers of that state at that level, from the last to the first.
    void toggleAll(QVFoldMarkerState state, int level);
    // Expands the collapsed regions the markers stand for with one edit of the text.
    void expandRegionsAtOnce(const QList<QVFoldMarker>& markers);
    // Collapses the blocks the open markers begin with one edit of the text (one by one, from
    // the last, should two of them overlap).
    void collapseRegionsAtOnce(const QList<QVFoldMarker>& markers);
    // What collapseFromGlyphIndex() would collapse; nothing when it would not.
    std::optional<QVRange> rangeToCollapse(qint64 first, qint64 second, QVFoldMarkerState type, qint64 offset);
    void registerTextRestore(const QString& actionName);
    void restoreText(const QString& text, const QVTextChange::Attachments& attachments, const QString& actionName);
    // undoableSetString() without the line-break conversion.
    void undoableSetStringAsIs(const QString& text, const QString& actionName);
    // The line break new lines get: the first one of the file's text, if it has one.
    void noteLineBreakOf(QStringView text);
    bool applyLoadedText(std::optional<QString> text, QVStringEncoding encoding, QVStringEncoding previous,
                         const QVError& readError, const QString& actionName, QVError* error);

    std::weak_ptr<HTMLViewDelegate> _interfaceDelegate;
    QString _lineBreak;
    QString _lineBreakName;
    std::shared_ptr<QVFoldingTextStorage> _textStorage;
    QVLineNumberingRulerView* _gutter = nullptr;
    QVRange _changeRange = QVRange(0, 0);
    QVStringEncoding _encodingFromOpen = 0;
    bool _byteOrderMark = false;
    bool _updateAttributesOnActivate = false;
    bool _ignore = false;
    bool _escaped = false;
    bool _dontCountChange = false;
    std::function<QVariant(const QString&)> _fileConfiguration;
    NotificationCenter::Token _editorPrefsObserver = 0;
    std::unique_ptr<HTMLViewTypingAids> _aids;
    NotificationCenter::Token _foldingPrefsObserver = 0;
    bool _updateGutterOnActivate = false;
    bool _foldingAll = false;  // Collapse All or Expand All runs: the gutter catches up at the end
};
