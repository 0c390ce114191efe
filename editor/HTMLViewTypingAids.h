// The editor's typing aids: tag completion and Close Tag, bracket flashes and re-indentation,
// Return and Tab, block indentation, line-break conversion, the escaped mode's key, entities
// for typed symbols, and the completion list offered while typing.
#pragma once

#include "editor/QVTagBalance.h"
#include "platform/QVRange.h"
#include "platform/QVTextChange.h"
#include "platform/QVTextStorage.h"

#include <QPointer>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class HTMLView;
class QKeyEvent;
class QMouseEvent;
class QPainter;
class QVCodeCompletion;
class QVCodeCompletionViewController;
class QVParser;

// Every aid runs in the view's change request. An aid that edits refuses the request and makes
// its own edits (each an undo step with its name), during which the request lets everything
// through; so no aid reacts to another's text, nor to undo and redo.
//
// Beeps go through QVBeep.
class HTMLViewTypingAids {
public:
    explicit HTMLViewTypingAids(HTMLView& view);
    ~HTMLViewTypingAids();
    HTMLViewTypingAids(const HTMLViewTypingAids&) = delete;
    HTMLViewTypingAids& operator=(const HTMLViewTypingAids&) = delete;

    // --- The view's hooks ---------------------------------------------------------------------
    // The change request: records the change and runs the aids; false when an aid took over.
    bool shouldChangeTextInRange(QVRange range, const QString& replacement);
    // After a change: colouring, the completion list, entities, the end of the escaped mode.
    void textDidChange();
    void selectionDidChange();
    // Key commands the aids answer before the view's own; true when nothing else should run.
    bool doCommand(const QString& command);
    // The completion list's arrows and F5; true when used up.
    bool keyPress(QKeyEvent* event);
    // A click hides the completion list; a double click at position s (where the click put the
    // caret) just after an opening bracket selects the bracketed block (true: used up).
    void mousePress();
    bool mouseDoubleClick(qint64 s);
    // Return (keeping the indentation), Tab (a placeholder, the block, a tab stop, the previous
    // line's indentation), Shift-Tab (outdents a selection), Escape (the escaped mode).
    void insertNewline();
    void insertTab();
    void insertBacktab();
    void cancelOperation();
    // Paints the bracket flash under the text.
    void drawBackground(QPainter& painter);
    // The view's storage is set (or another one): Close Tag follows its edits.
    void observeTextStorage();

    // --- Completion ---------------------------------------------------------------------------
    QVCodeCompletionViewController& completionView() const { return *_completionView; }
    // The engine of the language at the caret (recompute: found again there); null when none.
    std::shared_ptr<QVCodeCompletion> completionEngine(bool recompute = true) const;
    // Offers the candidates for the word at the caret; optional (while typing) only when the
    // list is up or the engine suggests by itself. A list that is up closes instead when the
    // word it was made for is left (a blank, a ">" or a quote starts another context).
    void showCodeCompletionOptional(bool optional);
    // Return and Tab: a keyword trigger, else the list's chosen entry; true when used up.
    bool doCompletions();
    // The snippet trigger Return and Tab try first (true: a trigger was found); it runs only
    // with an empty selection. None until snippets install theirs.
    void setKeywordTrigger(std::function<bool()> trigger) { _keywordTrigger = std::move(trigger); }

    // --- Tags ---------------------------------------------------------------------------------
    // The "specialTagFormatting" table, as the file is now: lower-case tag name to its kind.
    // Main thread only.
    static QVariantMap tagFormattingTable();
    // The name of the tag open before position on its line (empty after a bare "<"); none when
    // no tag is open there, it is a closing tag, or (with inQuotesCheck) position is quoted.
    std::optional<QString> openTagBefore(qint64 position, bool inQuotesCheck) const;
    // Closes the innermost element left open before the caret ("Close Tag"); beeps when none.
    // When it is closed after the caret already, the command steps over that closing tag, while
    // "</" typing waits for the name typed on.
    void closeTag(bool typing = false);

    // --- Brackets -----------------------------------------------------------------------------
    // The opener matching a closer at position (scanning back), or the closer matching an opener
    // just before position (scanning forward), looked for at most BracketReach characters away:
    // location NotFound with length 0 when there is none, with length 1 when the look gave up.
    static constexpr qint64 BracketReach = qint64(1) << 22;
    QVRange matchingBracketBefore(qint64 position, QChar open, QChar close) const;
    QVRange matchingBracketAfter(qint64 position, QChar open, QChar close) const;
    // Highlights range for a tenth of a second, leaving the selection alone.
    void tempHighlightRange(QVRange range);
    QVRange flashedRange() const { return _flash; }

    // --- Indentation --------------------------------------------------------------------------
    // The indentation of the line holding range: its leading blanks, each tab one indentation step.
    QString tabSpacesForRange(QVRange range) const;
    QString tabIndex() const;
    // One indentation step more at position, as the text there already indents: a tab, or as
    // many spaces as the lines near it step by; the preference where nothing near is indented.
    QString indentationStep(qint64 position) const;
    // One indentation step more or less for every line the selection touches.
    void entabBlock();
    void detabBlock();

    // --- Line breaks --------------------------------------------------------------------------
    // Tags 0, 1, 2: "Unix", "Mac", "DOS"; others do nothing.
    void setLineBreakType(int tag);
    void updateLineBreakVariables(const QString& name);
    // Converts every break of the full text (regions expanded) as "Set Line Break Type"; undo
    // puts back exactly the text, breaks and regions there were.
    void updateLineBreak(const QString& name);

    // --- Other editing ------------------------------------------------------------------------
    // The selection, else the character before the caret and the letters and digits before it.
    void deleteWordBackward();
    // The word around the selection's start within its line.
    void selectWord();
    // (property, value) of the style declaration position is in; "notfound" for what is missing.
    QStringList openCSSParamBefore(qint64 position) const;
    // Every change of the characters: what was kept of the text after it goes.
    void textStorageEdited(const QVTextStorage::Edit& edit);

private:
    struct AidEdit;
    // The language of the text just before position.
    const QVParser* languageBefore(qint64 position) const;
    // Whether a tag typed at position completes there: in markup, or a style or script tag in
    // its own language.
    bool tagContext(const std::optional<QString>& tag, qint64 position) const;
    bool autoComplete(const QString& tag, QVRange range, bool deleteSpace);
    bool bracketTyped(QVRange range, QChar closer);
    bool useWhitespaceFromLineWithRange(QVRange opener, qint64 position);
    void codeCompletionDidPostProcess(const QString& text, QVRange replaced);
    // Runs edit as one undo step named actionName, the change request letting it through.
    void aidStep(const QString& actionName, const std::function<void()>& edit);
    bool replace(QVRange range, const QString& text, const QVTextChange::Attachments& attachments = {});
    void replaceEntity();
    // The caret's line as [start, end of its contents).
    QVRange lineAt(qint64 position) const;
    // What openTagBefore() needs of a line up to a place: whether the place lies inside double
    // quotes, whether an odd run of backslashes ends there, and the last "<", the last "<"
    // outside quotes and the last ">" outside quotes before it (-1: none).
    struct LineStop {
        qint64 at = -1;
        bool quoted = false;
        bool escaping = false;
        qint64 lastLt = -1;
        qint64 lastLtOutside = -1;
        qint64 lastGtOutside = -1;
    };
    LineStop lineStopAt(qint64 lineStart, qint64 position) const;
    // Stops kept along the line read last (every StopSpacing characters, from its start), so that
    // a key at the end of a line of megabytes reads what lies after the last one, not the line;
    // an edit drops those after it (textStorageEdited()).
    struct LineStops {
        const QVTextStorage* storage = nullptr;
        qint64 lineStart = -1;
        std::vector<LineStop> stops;
    };
    mutable LineStops _lineStops;
    static constexpr qint64 StopSpacing = 16 * 1024;
    // Lines from this length on have their stops read ahead while idle, this much a tick.
    static constexpr qint64 LongLineStops = qint64(1) << 20;
    static constexpr qint64 StopsReadATick = qint64(4) << 20;
    QTimer _lineStopsTimer;
    void readLineStopsAhead();
    // The start of the word engine completes at the caret, -1 when it completes nothing there;
    // partial receives that word.
    qint64 completionAnchor(QVCodeCompletion& engine, QString* partial = nullptr) const;
    void restoreLineBreak(const QString& name, const QString& text, const QVTextChange::Attachments& attachments);

    HTMLView& _view;
    std::unique_ptr<QVCodeCompletionViewController> _completionView;
    std::function<bool()> _keywordTrigger;
    int _aidDepth = 0;
    bool _editedSinceSelection = false;
    // Where the word the list was made for begins, in the text's coordinates.
    qint64 _completionAnchor = -1;
    // Text an aid put in ahead of the caret's place that the next keys may repeat: at, the
    // caret; rest, what they would type.
    struct TypedAhead {
        qint64 at = -1;
        QString rest;
    };
    TypedAhead _typedAhead;
    // The closing tags ">" put after the caret, where they stand now (moved by every change, gone
    // when one touches them): a user who types one over by hand steps over it.
    std::vector<QVRange> _completedClosings;
    // The change asked for last, applied to those when it has been made.
    QVRange _askedRange = QVRange(QVRange::NotFound, 0);
    qint64 _askedLength = 0;
    // A closing tag typed by hand before one standing after the caret (blanks and line breaks
    // between): lt, where its "<" is; caret, where the next key goes; gap, from the caret to the
    // standing tag; tag, that tag's text. Stepped over when the keys complete it.
    struct TypedClosing {
        qint64 lt = -1;
        qint64 caret = -1;
        qint64 gap = 0;
        QString tag;
    };
    TypedClosing _typedClosing;
    // The name of the element open at caret (void and self-closed elements left out); empty
    // when none is. The stretches' sums are kept through the storage's edits, and made while
    // idle for a text of SumAheadFrom characters or more from when it is set.
    QString unclosedElementBefore(const QVTextStorage& storage, qint64 caret);
    void sumTagsAhead();
    static constexpr qint64 SumAheadFrom = qint64(1) << 20;
    static constexpr qint64 SumAheadTick = qint64(2) << 20;
    QVTagBalance _tagBalance;
    std::weak_ptr<QVTextStorage> _tagBalanceStorage;
    QVTextStorage::ObserverToken _tagBalanceObserver = 0;
    QTimer _tagBalanceTimer;
    // Waits for the name typed after "</" (its "/" about to go in at caret) where ">" put a
    // closing tag after the caret; false when none stands there.
    bool awaitCompletedClosing(qint64 caret);
    QVRange _flash = QVRange(QVRange::NotFound, 0);
    QTimer _flashTimer;
};
