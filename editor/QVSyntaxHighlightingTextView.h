// The text-view base of the editor: the language bundle chosen from the file's path, the theme's
// colours, re-colouring after edits, and the language at the insertion point.
#pragma once

#include "editor/QVBoundaryIndex.h"
#include "languages/QVParser.h"
#include "platform/NotificationCenter.h"
#include "platform/QVTextView.h"

#include <QBasicTimer>
#include <QCursor>
#include <QString>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

class QVBundle;
class QVLayoutManager;
class QVParser;
class QVTheme;

// Colouring: an edit colours the edited lines again, widened backwards over the "multi-line"
// runs (strings and comments) that reach into them, with the parser of the language at the
// caret. When the last coloured line now ends differently (inside a comment it did not end in
// before, or the other way round, in another language or colour, or inside any string or
// comment, which the old colouring may have taken for another), the lines after it are
// coloured again with the main parser, as far as the change reaches.
//
// Whole-text colouring (a new text, a theme or bundle change) first gives the whole text the
// standard attributes, then colours it from the top: at once as far as it is drawn, the rest
// in slices while the event loop is idle. highlightedLength() tells how far colouring is
// final; colours beyond it are provisional, and finishHighlighting() completes them.
//
// Long lines: the main parser's passes keep, every LongLineSpacing characters of a line longer
// than that, a boundary where its parse can begin again (QVColouringSession). An edit there
// re-colours from the last boundary before it that read nothing of the edited text, and stops
// where the parse meets a boundary of the old colouring again after the edit; idle slices end
// at boundaries too. So a keystroke in a line of megabytes costs what it changes, and whole-text
// colouring never blocks on one line.
class QVSyntaxHighlightingTextView : public QVTextView {
    Q_OBJECT
public:
    explicit QVSyntaxHighlightingTextView(QWidget* parent = nullptr);
    ~QVSyntaxHighlightingTextView() override;

    // --- Path and language --------------------------------------------------------------------
    const QString& path() const { return _path; }
    // A different path chooses the bundle by its extension, else the "text.html" bundle.
    void setPath(const QString& path);
    std::shared_ptr<QVBundle> bundle() const { return _bundle; }
    // A different bundle is kept and its parser set (null: no parser, standard colours only).
    void setBundle(std::shared_ptr<QVBundle> bundle);
    std::shared_ptr<QVParser> parser() const { return _parser; }
    // A different parser is kept, given the current theme, and made the active parser too.
    void setParser(std::shared_ptr<QVParser> parser);
    // The parser of the language at the insertion point; recompute first finds it again at
    // the selection's start. Never a provisional answer: the caret's moves ahead of colouring
    // leave one that only colours, and the first ask settles it.
    std::shared_ptr<QVParser> activeParser(bool recompute);
    // The parser of the embedded language open at location, else the main parser: the answer
    // the final colours give, also where colouring has not got yet.
    std::shared_ptr<QVParser> checkForOpenSpecialsBefore(qint64 location);
    // The language the final colours give the character at index: read from them where they
    // are final (null where they name none, as with highlighting off), else found by the main
    // parser's walk from where they end (the main parser outside an embedded stretch).
    const QVParser* languageOfCharacter(qint64 index) const;
    // Chooses the bundle again from the path; a different one is set and the text coloured.
    void bundlesUpdated();

    // --- Activity -----------------------------------------------------------------------------
    bool active() const { return _active; }
    // Colouring runs only while active; becoming active catches up once on what was missed.
    virtual void setActive(bool flag);

    // --- Colours ------------------------------------------------------------------------------
    // Applies the current theme's colours to the view, the layout manager and the standard
    // attributes.
    void loadColors();
    void setupHighlighting() { loadColors(); }
    // Theme or highlighting preferences changed: colours, the parser's theme, the whole text.
    void updateHighlighting();
    // Colours the whole text again (only remembered while inactive).
    void refreshHighlighting();
    const QVariantMap& standardAttributes() const { return _standardAttributes; }
    // The cursor shown over the text: the "customCursor" image tinted with the insertion-point
    // colour, shared by every view.
    QCursor customCursor();

    // --- Colouring ----------------------------------------------------------------------------
    // The lines to colour again after an edit of range: its lines, widened backwards over the
    // "multi-line" runs that reach into them; no further than the first line found at or before
    // floor, but always past the run the first edited line begins in.
    QVRange rangeToHighlightForRange(QVRange range, qint64 floor = 0) const;
    // Colours range in one editing batch: the standard attributes without "multi-line", then,
    // while active with highlighting on, the active (else main) parser and the parsers of the
    // embedded languages it finds. doWhat is not used.
    void syntaxHighlight(QVRange range, const QString& doWhat = QStringLiteral("all"));
    // The reaction to an edit that put replacement characters at changeRange's location:
    // rangeToHighlightForRange(), syntaxHighlight(), then the lines after as far as the edit
    // changed how they must look.
    void highlightChangedRange(QVRange changeRange);
    // How far the colours are final (the rest is coloured while idle).
    qint64 highlightedLength() const { return _highlightedUpTo; }
    // Work counter for tests: characters read looking for an embedded block open before the
    // caret, by every view.
    static quint64 charactersSearchedForOpeners();
    // Work counter for tests: characters the main parser walked ahead of the final colours to
    // settle the language at a place, by every view, on the main thread.
    static quint64 charactersWalkedAhead();
    // Work counter for tests: the most characters parsed (QVParser::charactersParsed) by one
    // slice of colouring, by every view, since the last call.
    static quint64 mostParsedBySlice();
    // Work counter for tests: characters stepped back over looking for a line the page's parser
    // can begin at, by every view.
    static quint64 charactersLookedBack();
    // For tests: the places found for the text so far (after waiting for the background walk).
    const QVBoundaryIndex& boundaryIndex() const {
        _boundaries.finish();
        return _boundaries;
    }
    // For tests: while held, no view colours while idle (what is drawn is still coloured, or
    // painted ahead), so that keys can be typed ahead of colouring at any pace.
    static void holdIdleColouring(bool hold);
    // For tests: what one tick of colouring while idle may spend, in time (8 ms unless set) and
    // in characters parsed or walked (0: no bound); while places wait to be confirmed, the
    // colouring has half of either. A tick stops at the first slice end or place past either; the
    // next goes on from there, so the colours come out the same whatever it is.
    static void setIdleBudget(qint64 milliseconds, qint64 characters);
    // Colours everything not yet final now.
    void finishHighlighting();
    // While on, edits are not coloured as they come: their lines stay provisional and are
    // coloured when drawn or while idle, as a new text is (Collapse All and Expand All make
    // thousands of edits in one go).
    void setColouringDeferred(bool flag);
    // The distance between the boundaries kept inside a long line, and the shortest line that
    // keeps them.
    static constexpr qint64 LongLineSpacing = 1024;

    // Replaces the text (a null string is empty) and colours it all with the main parser.
    void setString(const QString& text) override;
    void adoptString(TextUnits&& units, qsizetype length, qsizetype from) override;
    // Inserts as typing; a text starting with a line break finds the active parser again.
    QVError insertText(const QString& text) override;
    // Does nothing: the shared colour panel never recolours editor text.
    void changeColor() {}

protected:
    // Notes whether the change adds or removes an opener or closer of an embedded language, so
    // that re-colouring goes through the main parser. Never refuses.
    bool shouldChangeTextInRange(QVRange range, const QString& replacement) override;
    QVRange willChangeSelection(QVRange oldRange, QVRange newRange) override;
    void willDrawLines(qint64 firstLine, qint64 lastLine) override;
    void textStorageEdited(const QVTextStorage::Edit& edit) override;
    void timerEvent(QTimerEvent* event) override;
    QVLayoutManager* highlightingLayoutManager() const;

    bool _insertingText = false;
    // For a text of about expectedLength characters about to be read straight into its buffer
    // (then given to adoptString()): starts looking for the places as it comes, and answers
    // what to hand each stretch read to (null when no places are looked for).
    std::function<void(const char16_t*, qint64)> boundaryWalkWhileReading(qint64 expectedLength);

private:
    // What a parse leaves at one character, compared before and after colouring to see whether
    // the text after it must be coloured again.
    struct State {
        bool multiLine = false;
        const void* parser = nullptr;
        QRgb color = 0;
        bool operator==(const State&) const = default;
    };
    State stateAt(qint64 index) const;
    // Whether colouring must go on past a line whose last character changed from before to after.
    static bool mustGoOn(const State& before, const State& after);
    // Boundaries of the main parser's passes inside long lines, sorted by position. Those up to
    // _highlightedUpTo are places a pass may resume at: the colouring before each is final and
    // read nothing of the text from horizon on. Those after it are where the old colouring there
    // had boundaries: a pass that meets one again, reading back to nothing before the uncoloured
    // edits, has re-joined it.
    struct Checkpoint {
        qint64 position;
        qint64 since;
        qint64 horizon;
        qint64 slashHorizon;  // how far looks for a closing slash that found none read
    };
    class Pass;
    struct PassEnd {
        qint64 end = 0;          // where the pass ended: the range's end or a boundary
        bool converged = false;  // the colouring from end on is the old one, good to _oldColouringEnd
        qint64 resume = 0;       // where it began to parse
    };
    // Checkpoints of an embedded block's own parser along its long lines (a style rule of
    // megabytes), from one parse begun at from: those of the last large block a pass coloured,
    // or of the line inside a block keys were typed on last. Kept through edits as the main
    // parser's are, and dropped when anything else colours the text they stand in.
    struct BlockLine {
        const QVParser* parser = nullptr;
        qint64 from = -1;
        std::vector<Checkpoint> points;
    };
    BlockLine _blockLine;
    bool _colouringBlockLine = false;
    // Colours range, whole lines inside one embedded block, with the block's parser from the
    // last checkpoint of _blockLine before before, until its parse meets an old checkpoint
    // after convergeAfter again, or past stopAfter the next boundary inside a long line, or the
    // range ends.
    PassEnd colourBlockLine(QVRange range, qint64 before, qint64 convergeAfter, qint64 stopAfter, const std::shared_ptr<QVParser>& parser);
    // The pass of parser over range from resume along _blockLine, which ends where it meets the
    // old parse again after convergeAfter, or past stopAfter at the next boundary inside a long
    // line, not yet committed; its end in *end. Without reset, the range has its standard
    // attributes already.
    std::unique_ptr<Pass> blockLinePass(QVRange range, qint64 resume, qint64 convergeAfter, qint64 stopAfter, const std::shared_ptr<QVParser>& parser,
                                        qint64* end, bool reset = true);
    // Whether colourBlockLine() of range with the active parser would resume at a checkpoint
    // inside it rather than at its start.
    bool blockLineResumes(QVRange range, qint64 before) const;
    // Whether parser coloured every character of range.
    bool parsedWholly(QVRange range, const QVParser* parser) const;
    // Whether parser's scan for the end of its block, begun at from (a place its parse begins
    // afresh at), ends the block at end.
    bool blockEndsAt(qint64 from, qint64 end, const QVParser& parser) const;
    // Whether one of parser's closers stands in range (or across its ends), not merely next to it.
    bool closerStandsIn(QVRange range, const QVParser* parser) const;
    // The end of highlightChangedRange() once range is coloured: the lines after it as far as
    // the edit changed them.
    void finishChangedLines(QVRange range, const State& before, bool newEnd, bool boundaryEdited, bool endsInBlock);
    // Where the colouring after an edit ending at at goes at once: the drawn lines, within reach.
    qint64 drawnEndAfter(qint64 at) const;
    // Colours range with the main parser in one editing batch, from resume (the range's start or
    // a checkpoint inside it); the pass may end at a checkpoint of the old colouring past
    // convergeAfter, and once past stopAfter at the next boundary inside a long line.
    // With inside set (block >= 0), resume is a place of the walk inside that embedded block,
    // and the pass goes on in the block's language from there.
    PassEnd colourPass(QVRange range, qint64 resume, qint64 convergeAfter, qint64 stopAfter, const QVWalkPlace& inside = {});
    // A place of the main parser's walk inside the embedded block the final colours end in at
    // from, where a pass may begin in the block's language: the nearest one before from (places
    // the edits left unconfirmed confirmed first) at a line no string or comment of the final
    // colours runs into, when it lies in that very block at most within before from. Position
    // -1: none.
    QVWalkPlace blockPlaceBefore(qint64 from, qint64 within);
    // The last checkpoint of _blockLine at or before from (and the final colours' end) inside
    // block, at most within before from, where the block's parse reads nothing before it, as a
    // place of the walk inside that block. Position -1: none. With since given, also one whose
    // parse reads back to *since (inside the block) before it.
    QVWalkPlace blockLinePlaceBefore(qint64 from, QVRange block, qint64 within, qint64* since = nullptr) const;
    // Which of the markup parser's embedded languages (QVTagBasedParser::embedded() in order) the
    // block of language whose content begins at blockStart is, read from its opener; -1 unknown.
    int embeddedKindAt(qint64 blockStart, const QVParser* language) const;
    // Whether places the edits left unconfirmed remain for idle time to confirm.
    bool placesToConfirm();
    // Whether the characters an edit put at location (up to newEnd) stand amid letters, digits and
    // blanks of one string or comment running over lines, past the first word of their line.
    bool insideMultiLineLiteral(qint64 location, qint64 newEnd) const;
    // Whether the characters an edit put at location (up to newEnd) stand inside the text of one
    // heredoc or nowdoc, past its opener's line and past the first word of their own line.
    bool insideHeredocBody(qint64 location, qint64 newEnd) const;
    bool isCheckpoint(qint64 position) const;
    // The last checkpoint after start where a pass may resume to colour an edit at before:
    // final, and read nothing of the text from before on; start when there is none.
    qint64 resumePoint(qint64 start, qint64 before) const;
    // Forgets the checkpoints in [from, to].
    void dropCheckpoints(qint64 from, qint64 to);
    // The line at or before position the main parser can begin at; once the walk back is below
    // floor, the line it has reached (a place known to lie nearer is begun at instead). entered,
    // when given, gets where the walk back first stepped into an embedded block's run (the end
    // of that run; -1: it did not).
    qint64 safeStart(qint64 position, qint64 floor = 0, qint64* entered = nullptr) const;
    // Whether every character of range was coloured by parser, an embedded language, and none
    // of its closers stands in range: then parser alone colours range again as a whole-text
    // colouring would, the block ending where it did.
    bool colouredWholly(QVRange range, const QVParser* parser) const;
    // Whether an opener or closer of an embedded language touches range of the text.
    // With quotesOnly, also whether only a quote or backslash does (no opener or closer).
    bool touchesEmbeddedBoundary(QVRange range, bool* quotesOnly = nullptr) const;
    // Whole-text colouring: standard attributes now, parsing from the top lazily.
    void restartHighlighting();
    // Colours on towards until for about budgetMs (0: in growing slices until there) and, when
    // budgetCharacters is not 0, no more than that many characters parsed.
    void highlightSome(qint64 until, qint64 budgetMs, qint64 budgetCharacters = 0);
    // A slice of colouring from from (the final colours' end) inside an embedded block: the
    // block's own parser colours on from the line it can begin at, so that colouring inside a
    // block of megabytes (after a key typed in one of its comments, say) does not go back to its
    // opener. False where it cannot (the block may end in the slice), and nothing is coloured.
    bool colourInsideBlock(qint64 from, qint64 slice);
    // The slice of a block's long line from start (a checkpoint along it, or where a literal
    // read from readFrom on ends), a slice past from, to its next boundary at most; false where
    // the stretch holds a closer that may end the block, and nothing is coloured final.
    bool blockLineSlice(const std::shared_ptr<QVParser>& block, qint64 readFrom, qint64 start, qint64 from, qint64 to, qint64 slice);
    // Whether range holds one of block's closers.
    bool closerWithin(const std::shared_ptr<QVParser>& block, QVRange range) const;
    // A slice of colouring from from inside a comment or template string that began more than a
    // slice before it: the literal's parser reads on from where the last slice stopped in it
    // (_openLiteral), never from the literal's start. False where it cannot, nothing coloured.
    bool colourInsideLiteral(qint64 from, qint64 slice);
    // Where the slices inside the last few literals stopped in them, in order, with how a
    // template string's holes stood nested there, for a slice to go on from the nearest before
    // it; an edit keeps those up to where it begins.
    struct LiteralStop {
        qint64 position = -1;
        QVScriptLiterals::TemplateNesting nesting;
    };
    struct OpenLiteral {
        const QVParser* parser = nullptr;
        qint64 opener = -1;
        std::vector<LiteralStop> stops;
    };
    std::vector<OpenLiteral> _openLiterals;
    // Where the last slice inside a literal ended, and the opener of the literal the colours
    // there end in: literals side by side are one run of colours (every string a quote turned
    // about, in rows of ""), whose start is no such literal's opener.
    struct LiteralAt {
        qint64 position = -1;
        qint64 opener = -1;
    } _literalAt;
    // A slice of colouring from from inside a tag of the page's own markup that began more than
    // a slice before it (an end tag typed above megabytes without a ">"): the tag is read on
    // from where the last slice stopped in it (_openTags), never from its "<". False where it
    // cannot, nothing coloured.
    bool colourInsideTag(qint64 from, qint64 slice);
    // Where the slices inside the last few such tags stopped, in order, with whether inside a
    // quoted value there; an edit keeps those before it, and drops the tags it comes before or
    // whose first characters it touches. A comment ends at the first "-->" only, so an edit inside
    // one that brings none moves its stops after it and where it ends (once a slice found that)
    // with the text: the slice after a key there meets the old colours again at once.
    struct OpenTag {
        qint64 lt = -1;
        std::vector<std::pair<qint64, bool>> stops;
        bool comment = false;
        qint64 end = -1;  // a comment's end, past its "-->" (-1: not found yet)
    };
    std::vector<OpenTag> _openTags;
    // The final colours reach to (the colours before it were old and stood at old there; the
    // literal that runs on past to began where it began in them when sameLiteralGoesOn).
    void sliceColoured(qint64 to, const State& old, bool sameLiteralGoesOn = false);
    void scheduleIdleHighlighting();
    // Gives lines drawn far ahead of the final colours provisional ones, from the language the
    // bounded look-back before them finds.
    void paintAhead(qint64 from, qint64 to);
    struct PaintedAhead {
        quint64 revision = 0;
        std::vector<QVRange> ranges;
    };
    PaintedAhead _paintedAhead;
    std::shared_ptr<QVParser> parserWithTheme(const std::shared_ptr<QVParser>& parser) const;
    // The embedded language open at position, its openers looked for from floor on.
    std::shared_ptr<QVParser> findOpenSpecialBefore(qint64 position, qint64 floor);
    // checkForOpenSpecialsBefore(); with provisionalAnswer, an answer short of final colours may
    // come from a search bounded to UncolouredReach before location (then set).
    std::shared_ptr<QVParser> openSpecialsBefore(qint64 location, bool* provisionalAnswer);
    // The active parser after a move of the caret to location, provisional or not.
    void followCaret(qint64 location);
    // The embedded stretch the final colours will give the character at index (null parser:
    // none), from the main parser's walk over the text from before where they end.
    QVEmbeddedRange blockAhead(qint64 index) const;
    // The last embedded stretch blockAhead() settled, as far as it is certain (up to the
    // character it was asked for): the repaint after a key asks again of the lines on screen,
    // inside the very block the key was typed in, which may begin far before them.
    struct SettledBlock {
        quint64 revision = 0;
        const QVParser* mainParser = nullptr;
        QVEmbeddedRange block;
        qint64 certainEnd = 0;
    };
    mutable SettledBlock _settledBlock;
    bool settledBlockHolds(qint64 index) const;
    // How far past a place the walk reads, so that an end string beginning there is seen whole.
    static constexpr qint64 EndStringReach = 256;
    // Where the search for a block open at position may begin: at the top, or with final colours
    // before position, OpenerReach characters before the runs of embedded languages that end
    // there (at most OpenSpecialRuns of them), so the search costs no more at the end of a
    // large page than near its start; without final colours, at most UncolouredReach before
    // position (bounded then set).
    qint64 openSpecialSearchFloor(qint64 position, bool* bounded) const;
    static constexpr qint64 OpenerReach = 4096;
    static constexpr qint64 UncolouredReach = qint64(1) << 18;
    static constexpr int OpenSpecialRuns = 64;
    std::shared_ptr<QVTheme> currentTheme() const;

    QString _path;
    bool _active = true;
    bool _hadEventWhileInactive = false;
    std::shared_ptr<QVBundle> _bundle;
    std::shared_ptr<QVParser> _parser;
    std::shared_ptr<QVParser> _activeParser;
    bool _activeParserProvisional = false;
    // Where the main parser's last walk ahead of the final colours may begin again (-1: none):
    // a place past them that no edit has come before since.
    mutable qint64 _walkResume = -1;
    // The places the main parser's walk may begin again at, found in the background for a large
    // text from the moment it is set, so that settling the language anywhere ahead of the
    // colouring walks from the nearest one.
    mutable QVBoundaryIndex _boundaries;
    static constexpr qint64 BoundaryIndexSize = qint64(1) << 20;
    bool wantsBoundaryIndex(qint64 length) const;
    // Reads the completion definitions of the languages of a large text on a thread of its
    // own, once per view: the first key typed would otherwise read them from their property
    // lists on the main thread, tens of milliseconds on a page that has only just shown.
    void readCompletionAhead();
    std::thread _completionReader;
    // The furthest position a provisional answer of the language there was given for (-1: none):
    // when colouring passes it, the caret's language is looked for again.
    qint64 _provisionalAnswerAt = -1;
    QVariantMap _standardAttributes;

    // [0, _highlightedUpTo) has its final colours. [_highlightedUpTo, _oldColouringEnd) holds an
    // earlier complete colouring (what was final before an edit), so colouring may stop where
    // it agrees with it again, but only past _provisionalEditsEnd, before which edits were
    // made that nothing coloured for real, or an earlier edit's colouring stopped short of
    // where it could still reach (pending reaches merge there). The rest has provisional colours.
    qint64 _highlightedUpTo = 0;
    qint64 _oldColouringEnd = 0;
    qint64 _provisionalEditsEnd = 0;
    std::vector<Checkpoint> _checkpoints;
    QBasicTimer _idleTimer;
    bool _awaitingPaint = false;  // the idle timer waits for the first paint of a new text
    bool _confirmWaited = false;  // idle time waited for typing to pause since the last edit
    bool _useMainParser = false;
    bool _colouringDeferred = false;
    bool _embeddedBoundaryEdited = false;
    bool _embeddedMarkerEdited = false;  // and an opener or closer, not only a quote or backslash
    // The range the last change request was for, and whether its text may hide a closing slash.
    QVRange _replacing = QVRange(QVRange::NotFound, 0);
    bool _replacingMayClose = false;
    bool _replacingInert = false;  // the text about to go holds only letters, digits and blanks
    bool _replacingBreakless = false;  // the text about to go is short and holds no line break
    // The longest edit looked at as one inside a heredoc's text.
    static constexpr qint64 HeredocBodyEdit = 4096;
    // The last edit that was not one inside a heredoc's or nowdoc's text that holds and takes no
    // line break, past its line's first word.
    quint64 _lastEditNotHeredocBody = 0;
    // The last edit that put a line break there (taking none), and colourBreakInHeredoc(): the
    // literal's lines from the break on, read on from the edit.
    quint64 _lastEditBreakInHeredoc = 0;
    bool colourBreakInHeredoc(QVRange changeRange);
    // The last edit that did not only put or take letters, digits and blanks amid such characters
    // of one string or comment running over lines, inside the final colours and past the first
    // word of its line; and the revision the colouring had answered for when it last looked.
    quint64 _lastEditNotInert = 0;
    qint64 _finalAfterEdit = 0;  // where the final colours before the last edit end after it
    quint64 _inertSince = 0;

    // The last answers of checkForOpenSpecialsBefore() by position, good while the storage, its
    // characters and the main parser stay the same (a null parser: the main one).
    struct OpenSpecialsMemo {
        quint64 charactersRevision = 0;
        const QVParser* mainParser = nullptr;
        std::weak_ptr<QVTextStorage> storage;
        std::vector<std::pair<qint64, std::shared_ptr<QVParser>>> answers;
    };
    OpenSpecialsMemo _openSpecialsMemo;
    quint64 _charactersRevision = 0;  // counts the character edits of the storage
    quint64 _idleConfirmGivenUp = quint64(-1);  // the revision whose places idle time could not confirm
    quint64 _blockConfirmGivenUp = quint64(-1);  // the revision whose places blockPlaceBefore() could not confirm

    NotificationCenter::Token _highlightingObserver = 0;
    NotificationCenter::Token _bundlesObserver = 0;
};
