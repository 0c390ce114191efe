// The editor's text-view base: bundle, theme colours, re-colouring and the active language.
#include "editor/QVSyntaxHighlightingTextView.h"

#include "editor/QVEditorNotifications.h"
#include "editor/QVLayoutManager.h"
#include "languages/QVBundle.h"
#include "languages/QVBundleRepository.h"
#include "languages/QVKeywordBasedParser.h"
#include "languages/QVParser.h"
#include "languages/QVTagBasedParser.h"
#include "languages/QVTheme.h"
#include "languages/QVThemeRepository.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"
#include "shell/ImageTint.h"
#include "shell/StringParsing.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPalette>
#include <QPixmap>
#include <QTimerEvent>

#include <algorithm>
#include <optional>
#include <system_error>

namespace {

const QString DefaultBundle = QStringLiteral("text.html");
// A slice of whole-text colouring: big enough to be cheap per call, small enough for idle time.
constexpr qint64 IdleSlice = 64 * 1024;
// The first slice after an edit that changed the lines below it.
constexpr qint64 EditSlice = 4 * 1024;
// Colouring catches up with what is drawn at once only over this distance; farther away the
// text is drawn with its provisional colours while idle colouring gets there. A jump a megabyte or
// two past the colouring of dense markup (a page of PHP sections) cost its paint 50 ms and more.
constexpr qint64 DrawCatchUpLimit = 512 * 1024;
// What one tick of colouring while idle may spend: its time, and (tests only, 0: no bound) the
// characters its slices may parse and its walk read. A tick stops at the first slice end or place
// past either, whatever it is in the middle of.
qint64 idleBudgetMs = 8;
qint64 idleBudgetCharacters = 0;
// The shortest slice a tick short of time still colours, so that each tick moves on.
constexpr qint64 LeastIdleSlice = 4 * 1024;
// How far back from the final colours' end a slice may begin at a place inside an embedded block.
constexpr qint64 InsideBlockReach = 4 * IdleSlice;
// How many literals' slice stops are kept (a page's long ones are few).
constexpr size_t KeptLiterals = 8;
// How far past the places an edit left unconfirmed a moment of idle time confirms them.
constexpr qint64 IdleConfirmReach = 2 * 1024 * 1024;
// Embedded blocks from this length on keep their parser's checkpoints along their long lines.
constexpr qint64 BlockLinePart = 64 * 1024;
// How long typing pauses before idle time confirms the places the keys left unconfirmed, once
// the colours are final.
constexpr int ConfirmPauseMs = 60;
// How far one tick's walk confirming them may read past the last certain place (about 4 ms):
// a place passed past the first edit once the tick's time is up ends it sooner.
constexpr qint64 IdleWalkReach = 1024 * 1024;
// How long a new text on screen waits for its first paint before colouring it while idle.
constexpr int FirstPaintWaitMs = 50;
// How far past an edit inside a long line its colouring goes at once when it does not meet the
// old colouring again; idle slices do the rest. More than the stretch of the line a window
// lays out around the columns in view (QVTextLayoutManager::LongLineLength on either side), so
// that the frame after the key paints nothing ahead of the colouring there.
constexpr qint64 LongLineEditReach = 32 * 1024;
// Characters that neither begin nor end a string or comment of the shipped languages.
bool inertCharacter(QChar c) { return c.isLetterOrNumber() || c == u' ' || c == u'\t'; }
// The standard attributes a pass gives ahead of its parse: first this much, doubling up to
// IdleSlice, so that a pass that ends early has cleared little it must not.
constexpr qint64 FirstResetChunk = 1024;
// Work counters for tests.
quint64 openerSearchCount = 0;
quint64 uncolouredWalkCount = 0;
quint64 mostParsedInASlice = 0;
quint64 lookedBackCount = 0;
// The tests' hold on colouring while idle, and how often a held timer looks again.
bool idleColouringHeld = false;
constexpr int IdleHeldPollMs = 20;

// The first of an embedded block's closer in within that can end the block, or -1: an element's
// end tag only where an HTML parser ends the element ("</script-x>" ends nothing, wherever it
// stands), so a slice of script whose every line holds such a word goes on inside the block.
// A closer's first character is no letter ("<", "?"): a look for it, then a comparison of the
// rest where it stands, reads megabytes many times faster than a case-blind search does.
qsizetype indexOfCloser(QStringView within, QStringView closer, qsizetype from = 0) {
    if (closer.isEmpty() || closer.front().isLetter()) return within.indexOf(closer, from, Qt::CaseInsensitive);
    for (qsizetype at = within.indexOf(closer.front(), from); at >= 0 && at + closer.size() <= within.size(); at = within.indexOf(closer.front(), at + 1))
        if (within.sliced(at, closer.size()).compare(closer, Qt::CaseInsensitive) == 0) return at;
    return -1;
}

qsizetype closerIn(QStringView within, const QString& closer, bool element) {
    qsizetype at = indexOfCloser(within, closer);
    while (at >= 0 && element && closer.back().isLetterOrNumber() && !QVParser::endTagEndsAt(within, at, closer))
        at = indexOfCloser(within, closer, at + 1);
    return at;
}

// One cursor for every view; dropped whenever a view loads its colours again.
std::optional<QCursor>& sharedCursor() {
    static std::optional<QCursor> cursor;
    return cursor;
}

// A theme edited in place stays the same object, so a parser that took it before the edit would
// look themed to the next view of its language: every language takes the theme again when the
// colours change, not only those of the open views.
void followThemeChanges() {
    static const bool following = [] {
        NotificationCenter::defaultCenter().addObserver(QString::fromLatin1(QorvelHighlightingPrefsChange), nullptr, [](const Notification&) {
            const std::shared_ptr<QVTheme> theme = QVThemeRepository::sharedRepository().currentTheme();
            for (const std::shared_ptr<QVBundle>& bundle : QVBundleRepository::sharedRepository().bundles())
                if (const std::shared_ptr<QVParser> parser = bundle->parser()) parser->setTheme(theme);
        });
        return true;
    }();
    (void)following;
}

}  // namespace

QVSyntaxHighlightingTextView::QVSyntaxHighlightingTextView(QWidget* parent) : QVTextView(parent) {
    followThemeChanges();
    setLayoutManager(std::make_unique<QVLayoutManager>());
    setBundle(QVBundleRepository::sharedRepository().bundleForIdentifier(DefaultBundle));
    _activeParser = _parser;
    _active = true;
    _hadEventWhileInactive = false;
    loadColors();
    NotificationCenter& center = NotificationCenter::defaultCenter();
    _highlightingObserver = center.addObserver(QString::fromLatin1(QorvelHighlightingPrefsChange), nullptr,
                                               [this](const Notification&) { updateHighlighting(); });
    _bundlesObserver = center.addObserver(QString::fromLatin1(QVBundleFileCategoriesChanged), nullptr,
                                          [this](const Notification&) { bundlesUpdated(); });
}

QVSyntaxHighlightingTextView::~QVSyntaxHighlightingTextView() {
    NotificationCenter& center = NotificationCenter::defaultCenter();
    center.removeObserver(_highlightingObserver);
    center.removeObserver(_bundlesObserver);
    _path.clear();
    if (_completionReader.joinable()) _completionReader.join();
}

QVLayoutManager* QVSyntaxHighlightingTextView::highlightingLayoutManager() const {
    return dynamic_cast<QVLayoutManager*>(&layoutManager());
}

std::shared_ptr<QVTheme> QVSyntaxHighlightingTextView::currentTheme() const {
    return QVThemeRepository::sharedRepository().currentTheme();
}

// --- Path and language ------------------------------------------------------------------------

void QVSyntaxHighlightingTextView::setPath(const QString& path) {
    if (path == _path) return;
    _path = path;
    QVBundleRepository& repository = QVBundleRepository::sharedRepository();
    if (!path.isNull()) setBundle(repository.bundleForFileCategory(QString(), QFileInfo(path).suffix()));
    if (!_bundle) setBundle(repository.bundleForIdentifier(DefaultBundle));
}

void QVSyntaxHighlightingTextView::setBundle(std::shared_ptr<QVBundle> bundle) {
    if (bundle == _bundle) return;
    _bundle = std::move(bundle);
    setParser(_bundle ? _bundle->parser() : nullptr);
}

void QVSyntaxHighlightingTextView::setParser(std::shared_ptr<QVParser> parser) {
    if (parser == _parser) return;
    _parser = std::move(parser);
    // Every view of a language shares its parser: a parser already in the current theme is not
    // themed again (that walks every keyword, a cost each new tab paid).
    if (_parser) {
        std::shared_ptr<QVTheme> theme = currentTheme();
        if (_parser->theme() != theme) _parser->setTheme(theme);
    }
    // The old language's parser would go on colouring typed lines of the new one.
    _activeParser = _parser;
    _activeParserProvisional = false;
    _walkResume = -1;
    _boundaries.cancel();
}

void QVSyntaxHighlightingTextView::bundlesUpdated() {
    QVBundleRepository& repository = QVBundleRepository::sharedRepository();
    std::shared_ptr<QVBundle> bundle;
    if (!_path.isNull()) bundle = repository.bundleForFileCategory(QString(), QFileInfo(_path).suffix());
    if (!bundle) bundle = repository.bundleForIdentifier(DefaultBundle);
    if (bundle == _bundle) return;
    setBundle(bundle);
    refreshHighlighting();
}

std::shared_ptr<QVParser> QVSyntaxHighlightingTextView::parserWithTheme(const std::shared_ptr<QVParser>& parser) const {
    if (!parser) return parser;
    std::shared_ptr<QVTheme> theme = currentTheme();
    if (parser->theme() != theme) parser->setTheme(theme);
    return parser;
}

std::shared_ptr<QVParser> QVSyntaxHighlightingTextView::activeParser(bool recompute) {
    // What the caret's moves left may be provisional: whoever asks acts on the answer.
    if (recompute || _activeParserProvisional) {
        _activeParser = checkForOpenSpecialsBefore(selectedRange().location);
        _activeParserProvisional = false;
    }
    return _activeParser;
}

void QVSyntaxHighlightingTextView::followCaret(qint64 location) {
    bool provisional = false;
    _activeParser = openSpecialsBefore(location, &provisional);
    _activeParserProvisional = provisional;
}

std::shared_ptr<QVParser> QVSyntaxHighlightingTextView::checkForOpenSpecialsBefore(qint64 location) {
    return openSpecialsBefore(location, nullptr);
}

const QVParser* QVSyntaxHighlightingTextView::languageOfCharacter(qint64 index) const {
    if (!_parser) return nullptr;
    const QVTextStorage& text = textStorage();
    if (index < 0 || index >= text.length()) return _parser.get();
    if (index < _highlightedUpTo)
        return QVTextStorage::objectOf<QVParser>(text.attribute(QVTextStorage::ParserAttribute, index));
    const QVEmbeddedRange block = blockAhead(index);
    return block.parser ? block.parser.get() : _parser.get();
}

QVEmbeddedRange QVSyntaxHighlightingTextView::blockAhead(qint64 index) const {
    if (!_parser || _parser->subparsers().isEmpty()) return {};
    if (settledBlockHolds(index)) return _settledBlock.block;
    const QVTextStorage& text = textStorage();
    // The main parser walks, as colouring will, over the text as far as an end string that
    // begins at index reaches: from where it can begin before the final colours end, or from
    // the last place an earlier walk could begin afresh at, when no edit came before it since.
    // The walk's place nearest before index is found first: the way back to where the main
    // parser can begin need not go past it (over every line of a script whose lines each begin
    // inside a template string begun on the line before).
    quint64 confirming = 0;
    const QVWalkPlace place = _boundaries.placeBefore(index, text, *_parser, &confirming);
    qint64 start = safeStart(std::min(index, _highlightedUpTo), place.position);
    if (_walkResume > start && _walkResume <= index) start = _walkResume;
    // A place inside a block begins the walk inside it, as the scan for its end stood there (or
    // inside the long comment or tag it stands in).
    QVWalkPlace inside;
    if (place.position > start) {
        start = place.position;
        if (place.block >= 0 || place.literal >= 0)
            inside = {0, place.blockStart - start, place.block, place.literal, place.label, place.nesting};
    }
    uncolouredWalkCount += confirming;
    const qint64 end = std::min(text.length(), index + 1 + EndStringReach);
    uncolouredWalkCount += quint64(end - start);
    qint64 resumable = -1;
    QVEmbeddedRange block = _parser->embeddedBlockAt(text.characters(QVRange(start, end - start)), index - start, &resumable,
                                                     inside.position == 0 ? &inside : nullptr);
    if (resumable > 0) _walkResume = start + resumable;
    if (block.parser) {
        block.range.location += start;
        _settledBlock = {_charactersRevision, _parser.get(), block, std::min(index + 1, block.range.end())};
    }
    return block;
}

bool QVSyntaxHighlightingTextView::settledBlockHolds(qint64 index) const {
    const SettledBlock& settled = _settledBlock;
    return settled.revision == _charactersRevision && settled.mainParser == _parser.get() && settled.block.range.location <= index &&
           index < settled.certainEnd;
}

std::shared_ptr<QVParser> QVSyntaxHighlightingTextView::openSpecialsBefore(qint64 location, bool* provisionalAnswer) {
    if (provisionalAnswer) *provisionalAnswer = false;
    if (!_parser) return _parser;
    const QVTextStorage& text = textStorage();
    const qint64 position = std::clamp<qint64>(location, 0, text.length());
    // Moving back and forth between places (Ctrl+End, Ctrl+Home) asks the same questions again
    // of the same text.
    OpenSpecialsMemo& memo = _openSpecialsMemo;
    if (memo.charactersRevision != _charactersRevision || memo.mainParser != _parser.get() ||
        memo.storage.lock() != sharedTextStorage()) {
        memo = {_charactersRevision, _parser.get(), sharedTextStorage(), {}};
    }
    for (const auto& [at, parser] : memo.answers)
        if (at == position) return parser ? parserWithTheme(parser) : _parser;
    // Where the colours before position are final, the block the character before it lies in is
    // open there: an opener looked for in the text would be one its language hides (a "<?" in a
    // script's string), and the look for it would read the block back to its start.
    if (position > 0 && position <= _highlightedUpTo) {
        const QVParser* before = QVTextStorage::objectOf<QVParser>(text.attribute(QVTextStorage::ParserAttribute, position - 1));
        if (before && before != _parser.get())
            for (const std::shared_ptr<QVParser>& sub : _parser->subparsers())
                if (sub.get() == before) {
                    if (memo.answers.size() >= 4) memo.answers.erase(memo.answers.begin());
                    memo.answers.emplace_back(position, sub);
                    return parserWithTheme(sub);
                }
    }
    bool provisional = false;
    const qint64 floor = openSpecialSearchFloor(position, &provisional);
    std::shared_ptr<QVParser> found;
    if (provisional && provisionalAnswer) {
        // Not kept: colouring will reach position and make the answer certain.
        found = findOpenSpecialBefore(position, floor);
        _provisionalAnswerAt = std::max(_provisionalAnswerAt, position);
        *provisionalAnswer = true;
        return found;
    }
    if (provisional) {
        // Asked for by what acts on it: the main parser's walk over the text not coloured yet
        // finds the block that will hold the character before position, which is open there;
        // else the search for a block opened just before position starts near it (a search
        // from the start of a block of megabytes would read all of it).
        const QVEmbeddedRange block = position > 0 ? blockAhead(position - 1) : QVEmbeddedRange();
        found = block.parser ? parserWithTheme(block.parser) : findOpenSpecialBefore(position, std::max<qint64>(0, position - OpenerReach));
    } else {
        found = findOpenSpecialBefore(position, floor);
    }
    if (memo.answers.size() >= 4) memo.answers.erase(memo.answers.begin());
    memo.answers.emplace_back(position, found == _parser ? nullptr : found);
    return found;
}

quint64 QVSyntaxHighlightingTextView::charactersSearchedForOpeners() { return openerSearchCount; }
quint64 QVSyntaxHighlightingTextView::charactersWalkedAhead() { return uncolouredWalkCount; }

quint64 QVSyntaxHighlightingTextView::mostParsedBySlice() { return std::exchange(mostParsedInASlice, 0); }

quint64 QVSyntaxHighlightingTextView::charactersLookedBack() { return lookedBackCount; }
void QVSyntaxHighlightingTextView::holdIdleColouring(bool hold) { idleColouringHeld = hold; }
void QVSyntaxHighlightingTextView::setIdleBudget(qint64 milliseconds, qint64 characters) {
    idleBudgetMs = milliseconds;
    idleBudgetCharacters = characters;
}

qint64 QVSyntaxHighlightingTextView::openSpecialSearchFloor(qint64 position, bool* bounded) const {
    // Where the colours before position are final, a block still open there either coloured the
    // characters from its start to position or was opened so close before it that it holds
    // nothing yet: its opener stands just before the embedded languages' runs that end at
    // position. Before that the text is in the main language, so whatever opened there has been
    // closed. Where colouring has not reached position yet, the same holds where it stands; from
    // there on the search goes back no further than UncolouredReach, so that a jump into a large
    // page just shown costs what it costs once coloured: the answer is then provisional, and
    // looked for again when colouring passes the caret.
    *bounded = false;
    // Without embedded languages every answer is the main parser, bounded or not.
    if (_parser->subparsers().isEmpty()) return position;
    const qint64 settled = std::min(position, _highlightedUpTo);
    const qint64 floor = [&]() -> qint64 {
        if (settled <= 0) return 0;
        const QVTextStorage& text = textStorage();
        qint64 blockStart = settled;
        for (int run = 0; blockStart > 0; ++run) {
            QVRange extent;
            const QVParser* parser = QVTextStorage::objectOf<QVParser>(text.attribute(QVTextStorage::ParserAttribute, blockStart - 1, &extent));
            if (!parser || parser == _parser.get()) break;
            // Runs of many languages one after another: no longer a block with an opener near.
            if (run == OpenSpecialRuns || extent.location >= blockStart) return 0;
            blockStart = extent.location;
        }
        return std::max<qint64>(0, blockStart - OpenerReach);
    }();
    if (position - floor > UncolouredReach && position > _highlightedUpTo) {
        *bounded = true;
        return position - UncolouredReach;
    }
    return floor;
}

std::shared_ptr<QVParser> QVSyntaxHighlightingTextView::findOpenSpecialBefore(qint64 position, qint64 floor) {
    const QVTextStorage& text = textStorage();
    const QList<std::shared_ptr<QVParser>> subparsers = _parser->subparsers();
    // An opener that begins with another (as "<?php" with "<?") is missing wherever the shorter
    // one is, so the shorter one is looked for first: in a page without it, one search over the
    // text instead of one per opener.
    std::vector<std::pair<QString, qint64>> missing;  // opener, searched from
    auto lastOpener = [&](const QString& opener, qint64 from) -> qsizetype {
        const QStringView before = text.characters(QVRange(from, position - from));
        auto isMissing = [&](const QString& needle) {
            for (const auto& [shorter, searchedFrom] : missing)
                if (searchedFrom <= from && needle.startsWith(shorter, Qt::CaseInsensitive)) return true;
            return false;
        };
        auto search = [&](const QString& needle) {
            openerSearchCount += quint64(before.size());
            const qsizetype found = StringParsing::lastIndexIn(before, needle, Qt::CaseInsensitive);
            if (found < 0) missing.emplace_back(needle, from);
            return found;
        };
        if (isMissing(opener)) return -1;
        for (const std::shared_ptr<QVParser>& other : subparsers) {
            if (!other) continue;
            for (const QString& shorter : other->openers())
                if (!shorter.isEmpty() && shorter.size() < opener.size() && opener.startsWith(shorter, Qt::CaseInsensitive) &&
                    !isMissing(shorter) && search(shorter) < 0)
                    return -1;
        }
        return search(opener);
    };
    qint64 searchStart = floor;  // shared by every sub-parser and opener
    for (const std::shared_ptr<QVParser>& sub : subparsers) {
        if (!sub) continue;
        const QStringList& openers = sub->openers();
        const QStringList& closers = sub->closers();
        for (qsizetype i = 0; i < openers.size(); ++i) {
            if (openers[i].isEmpty() || searchStart >= position) continue;
            const qsizetype opener = lastOpener(openers[i], searchStart);
            if (opener < 0) continue;
            const qint64 openerEnd = searchStart + opener + openers[i].size();
            const QString closer = i < closers.size() ? closers[i] : QString();
            if (closer.isEmpty() || openerEnd >= position) return parserWithTheme(sub);
            // The block is closed before position when its language ends it there.
            const QStringView inside = text.characters(QVRange(openerEnd, position - openerEnd));
            openerSearchCount += quint64(inside.size());
            const qint64 found = sub->endOfEmbeddedBlock(inside, 0, closer, QVParser::opensElement(openers[i]));
            if (found >= inside.size()) return parserWithTheme(sub);
            searchStart = openerEnd + found + closer.size();
        }
    }
    return _parser;
}

// --- Activity and colours ---------------------------------------------------------------------

void QVSyntaxHighlightingTextView::setActive(bool flag) {
    _active = flag;
    if (!flag) {
        _idleTimer.stop();
        return;
    }
    if (_hadEventWhileInactive) {
        _hadEventWhileInactive = false;
        updateHighlighting();
    } else if (_highlightedUpTo < length()) {
        scheduleIdleHighlighting();
    }
}

void QVSyntaxHighlightingTextView::loadColors() {
    std::shared_ptr<QVTheme> theme = currentTheme();
    auto pick = [](const QColor& color, const QColor& fallback) { return color.isValid() ? color : fallback; };
    const QColor text = theme ? pick(theme->textColor(), Qt::black) : QColor(Qt::black);
    const QColor background = theme ? pick(theme->backgroundColor(), Qt::white) : QColor(Qt::white);
    const QColor caret = theme ? pick(theme->insertionPointColor(), text) : text;
    const QColor highlight = QGuiApplication::palette().color(QPalette::Highlight);
    setTextColor(text);
    setBackgroundColor(background);
    setInsertionPointColor(caret);
    setSelectedTextBackgroundColor(theme ? pick(theme->selectionColor(), highlight) : highlight);
    if (QVLayoutManager* manager = highlightingLayoutManager()) manager->setInvisiblesColor(theme ? theme->invisiblesColor() : QColor());
    _standardAttributes = {{QVTextStorage::ForegroundColorAttribute, text},
                           {QVTextStorage::BackgroundColorAttribute, background}};
    sharedCursor().reset();
    viewport()->setCursor(customCursor());
}

QCursor QVSyntaxHighlightingTextView::customCursor() {
    std::optional<QCursor>& cursor = sharedCursor();
    if (!cursor) {
        const QString path = Defaults::pathForResource(QStringLiteral("customCursor"), QStringLiteral("png"), QStringLiteral("Images"));
        QImage image;
        if (!path.isEmpty() && image.load(path)) {
            const QImage tinted = ImageTint::tintedImageWithColor(image, insertionPointColor());
            cursor = QCursor(QPixmap::fromImage(tinted), tinted.width() / 2, tinted.height() / 2);
        } else {
            cursor = QCursor(Qt::IBeamCursor);
        }
    }
    return *cursor;
}

void QVSyntaxHighlightingTextView::updateHighlighting() {
    loadColors();
    if (_parser) _parser->setTheme(currentTheme());
    refreshHighlighting();
}

void QVSyntaxHighlightingTextView::refreshHighlighting() {
    if (!_active) {
        _hadEventWhileInactive = true;
        return;
    }
    restartHighlighting();
}

void QVSyntaxHighlightingTextView::setString(const QString& text) {
    QVTextView::setString(text);
    if (!_active) _hadEventWhileInactive = true;
    restartHighlighting();
}

bool QVSyntaxHighlightingTextView::wantsBoundaryIndex(qint64 length) const {
    return _active && _parser && length >= BoundaryIndexSize && !_parser->subparsers().isEmpty() &&
           UserDefaults::standard().boolForKey(QVHighlightKey);
}

std::function<void(const char16_t*, qint64)> QVSyntaxHighlightingTextView::boundaryWalkWhileReading(qint64 expectedLength) {
    if (!wantsBoundaryIndex(expectedLength)) return {};
    _boundaries.startLoading(_parser, expectedLength);
    // Read while the file is, so that they are there when the page shows.
    readCompletionAhead();
    return [this](const char16_t* units, qint64 decoded) { _boundaries.loaded(units, decoded); };
}

void QVSyntaxHighlightingTextView::adoptString(TextUnits&& units, qsizetype length, qsizetype from) {
    QVTextView::adoptString(std::move(units), length, from);
    _boundaries.adopted(sharedTextStorage(), _charactersRevision);
    if (!_active) _hadEventWhileInactive = true;
    restartHighlighting();
}

QVError QVSyntaxHighlightingTextView::insertText(const QString& text) {
    _insertingText = true;
    const QVError error = QVTextView::insertText(text);
    _insertingText = false;
    if (!text.isEmpty() && (text.at(0) == u'\n' || text.at(0) == u'\r')) followCaret(selectedRange().location);
    return error;
}

QVRange QVSyntaxHighlightingTextView::willChangeSelection(QVRange oldRange, QVRange newRange) {
    const qint32 moved = qint32(newRange.end() - oldRange.end());
    if (moved >= 2 || moved <= -2)
        followCaret(_insertingText ? oldRange.location : newRange.location);
    return newRange;
}

// --- Colouring --------------------------------------------------------------------------------

QVRange QVSyntaxHighlightingTextView::rangeToHighlightForRange(QVRange range, qint64 floor) const {
    const QVTextStorage& text = textStorage();
    const qint64 length = text.length();
    const qint64 location = std::clamp<qint64>(range.location, 0, length);
    const QVRange lines = text.lineRangeForRange(QVRange(location, std::clamp<qint64>(range.length, 0, length - location)));
    // A string or comment that runs into the edited lines is coloured again from its start;
    // when that start lies on a line that itself begins inside another one, from that one's
    // start too, until a line begins outside of any (in a script whose every line begins inside
    // a template string, the script's first line). The edited lines always stay in.
    // The edited lines' own start is looked back from whatever the floor: a line longer than it
    // that begins inside a heredoc must not be coloured from there as code.
    qint64 start = lines.location;
    while (start > 0 && (start == lines.location || start > floor)) {
        QVRange run;
        if (!text.attribute(QVTextStorage::MultiLineAttribute, start - 1, &run).toBool() || run.location >= start) break;
        start = text.lineRangeForRange(QVRange(run.location, 0)).location;
    }
    return QVRange(start, lines.end() - start);
}

void QVSyntaxHighlightingTextView::syntaxHighlight(QVRange range, const QString&) {
    QVTextStorage& text = textStorage();
    const QVRange target = range.intersection(QVRange(0, text.length()));
    if (target.isNotFound() || target.length == 0) return;
    // Whatever this parser finds here, the main parser's boundaries in it no longer describe it.
    dropCheckpoints(target.location, target.end());
    text.beginEditing();
    text.addAttributes(_standardAttributes, target);
    text.removeAttribute(QVTextStorage::MultiLineAttribute, target);
    if (_active && UserDefaults::standard().boolForKey(QVHighlightKey)) {
        std::shared_ptr<QVParser> parser = _useMainParser || !_activeParser ? _parser : _activeParser;
        if (parser) {
            const QVEmbeddedRanges embedded = parserWithTheme(parser)->parseRange(target, text);
            for (const QVEmbeddedRange& part : embedded)
                if (part.parser) parserWithTheme(part.parser)->parseRange(part.range, text);
        }
    }
    text.endEditing();
}

QVSyntaxHighlightingTextView::State QVSyntaxHighlightingTextView::stateAt(qint64 index) const {
    const QVTextStorage& text = textStorage();
    if (index < 0 || index >= text.length()) return {};
    State state;
    state.multiLine = text.attribute(QVTextStorage::MultiLineAttribute, index).toBool();
    state.parser = QVTextStorage::objectOf<QVParser>(text.attribute(QVTextStorage::ParserAttribute, index));
    state.color = text.attribute(QVTextStorage::ForegroundColorAttribute, index).value<QColor>().rgba();
    return state;
}

qint64 QVSyntaxHighlightingTextView::safeStart(qint64 position, qint64 floor, qint64* entered) const {
    const QVTextStorage& text = textStorage();
    if (entered) *entered = -1;
    const qint64 from = std::clamp<qint64>(position, 0, text.length());
    qint64 p = from;
    // Back to a line that begins outside every string or comment and outside every embedded
    // block: the main parser can begin there (an embedded block's opener stands before it).
    for (;;) {
        p = text.lineRangeForRange(QVRange(p, 0)).location;
        lookedBackCount += quint64(from - p);
        if (p <= 0) return 0;
        if (p < floor) return p;
        QVRange run;
        if (text.attribute(QVTextStorage::MultiLineAttribute, p - 1, &run).toBool() && run.location < p) {
            // A run of the page's own colours that begins with "<!--" is a comment of the page
            // itself (inside a tag, the tag's colours run on from its "<"), where the page's
            // parser can begin: not back at that line's start, which may itself begin inside
            // another one, and so on up every line of the page.
            if (run.location + 4 <= text.length() && text.characters(QVRange(run.location, 4)) == u"<!--" &&
                QVTextStorage::objectOf<QVParser>(text.attribute(QVTextStorage::ParserAttribute, run.location)) == _parser.get()) {
                lookedBackCount += quint64(p - run.location);
                return run.location;
            }
            p = run.location;
            continue;
        }
        QVParser* owner = QVTextStorage::objectOf<QVParser>(text.attribute(QVTextStorage::ParserAttribute, p - 1, &run));
        if (owner && owner != _parser.get() && run.location < p) {
            if (entered && *entered < 0) *entered = p;
            p = run.location;
            continue;
        }
        return p;
    }
}

// A pass of the main parser: gives the standard attributes a chunk ahead of the parse, records
// checkpoints inside long lines and ends the pass where the view asks.
class QVSyntaxHighlightingTextView::Pass final : public QVColouringSession {
public:
    Pass(QVSyntaxHighlightingTextView& view, QVRange range, qint64 resume, qint64 convergeAfter, qint64 stopAfter, const QVWalkPlace& inside,
         std::vector<Checkpoint>& checkpoints, bool reset = true)
        : _view(view), _points(checkpoints), _text(view.textStorage()), _range(range), _resets(reset), _resetEnd(reset ? resume : range.end()), _written(resume),
          _lastRecorded(resume), _convergeAfter(convergeAfter), _stopAfter(stopAfter) {
        resumeAt = resume;
        resumeSince = resume;
        resumeInside = inside;
        const auto point = std::lower_bound(_points.begin(), _points.end(), resume,
                                            [](const Checkpoint& point, qint64 at) { return point.position < at; });
        if (point != _points.end() && point->position == resume) {
            resumeSince = point->since;
            // What the parse decided before the checkpoint read as far as its horizon; the
            // boundaries after it stand on those decisions too.
            _horizonFloor = point->horizon;
            _slashFloor = point->slashHorizon;
        }
        // The old colouring's checkpoints the pass may meet again.
        const std::vector<Checkpoint>& points = _points;
        _old = std::upper_bound(points.begin(), points.end(), std::max(convergeAfter, resume),
                                [](qint64 at, const Checkpoint& point) { return at < point.position; });
        _oldEnd = std::lower_bound(points.begin(), points.end(), std::min(view._oldColouringEnd, range.end()),
                                   [](const Checkpoint& point, qint64 at) { return point.position < at; });
        if (convergeAfter == QVRange::NotFound || _old > _oldEnd) _old = _oldEnd;
    }

    void reach(qint64 end) override {
        _written = std::max(_written, end);
        // A pass that is ending resets no further than it colours, or it would never get past
        // the place it reset to; nor does one reset past the next old checkpoint it may meet
        // again, where it could end (before a tag of megabytes, the next boundary lies past it).
        if (end > _resetEnd) {
            qint64 cap = _range.end();
            while (_old != _oldEnd && _old->position < end) ++_old;
            if (_old != _oldEnd) cap = std::min(cap, _old->position);
            resetTo(std::min(cap, _ending ? end : std::max(end, _resetEnd + _chunk)));
            if (end > _resetEnd) resetTo(std::min(_range.end(), end));
        }
    }

    bool boundary(qint64 position, qint64 since, qint64 horizon, qint64 slashHorizon) override {
        // Colours already written past it would be lost to a pass resumed there.
        if (position < _written) return false;
        horizon = std::max(horizon, _horizonFloor);
        slashHorizon = std::max(slashHorizon, _slashFloor);
        if (!_ending) {
            while (_old != _oldEnd && _old->position < position) ++_old;
            // The parse goes on from here as it did before only where what it reads back to is
            // as it was then.
            if (_old != _oldEnd && _old->position == position && since >= _convergeAfter) {
                _ending = true;
                _converged = true;
                _convergedAt = position;
                _convergedHorizon = horizon;
                _convergedSlashHorizon = slashHorizon;
            } else if (position >= _stopAfter && inLongLine(position)) {
                _ending = true;
            }
            // Before a stretch of a spacing or more without one (a tag or string of megabytes),
            // the boundary where it begins is kept too: a key before it meets it again there.
            if (position - _last.position >= LongLineSpacing && _last.position > _lastRecorded && !_converged && inLongLine(_last.position)) {
                _lastRecorded = _last.position;
                _recorded.push_back(_last);
            }
            // An embedded block's end on a long line (its end tag, or just past a server block's
            // "?>"), whose decisions read back to the block's start, is kept whatever the spacing:
            // a key right after a closer pasted there colours from it, not from the line's start
            // through the block again.
            const bool blockEnd = since < position && &_points == &_view._checkpoints;
            // A block's own checkpoints are kept where its parse reads nothing before them (a
            // script's word may look back a character) wherever one comes within a few spacings:
            // only those are places a page's pass may begin in the block at.
            const bool spaced = position - _lastRecorded >= LongLineSpacing &&
                                (since >= position || &_points == &_view._checkpoints || position - _lastRecorded >= 4 * LongLineSpacing);
            if (spaced || (blockEnd && position > _lastRecorded)) {
                _lastRecorded = position;
                if (!_converged && inLongLine(position)) _recorded.push_back({position, since, horizon, slashHorizon});
            }
            _last = {position, since, horizon, slashHorizon};
        }
        // An ending pass goes on to the first boundary its standard attributes have not passed:
        // before it, what lies past the boundary would have lost its colours.
        if (!_ending || (_resets && position < _resetEnd)) return false;
        // The stretch since the last token (or chunk) is reset too; the next pass resumes here.
        resetTo(position);
        _stop = {position, since, horizon, slashHorizon};
        return true;
    }

    // Puts the checkpoints of the pass in place of those it coloured over.
    void commit(qint64 end) {
        std::vector<Checkpoint>& points = _points;
        const qint64 replacedEnd = _converged ? _convergedAt : end;
        const auto first = std::upper_bound(points.begin(), points.end(), resumeAt,
                                            [](qint64 at, const Checkpoint& point) { return at < point.position; });
        // An old checkpoint where a pass ends without meeting it again says how the old text
        // went on there: the parse of the new one may be inside a tag or block at that place.
        const auto last = _converged ? std::lower_bound(first, points.end(), replacedEnd,
                                                        [](const Checkpoint& point, qint64 at) { return point.position < at; })
                                     : std::upper_bound(first, points.end(), replacedEnd,
                                                        [](qint64 at, const Checkpoint& point) { return at < point.position; });
        // The last boundary before a stretch without one that runs on to the pass's end.
        if (!_converged && _last.position > _lastRecorded && end - _last.position >= LongLineSpacing && inLongLine(_last.position))
            _recorded.push_back(_last);
        std::erase_if(_recorded, [&](const Checkpoint& point) { return point.position >= replacedEnd; });
        auto at = points.erase(first, last);
        // The old colouring joined from replacedEnd on is this pass's now: what the pass decided
        // before there read as far as it did then, which the old checkpoints did not know of (a
        // slash taken to divide, say, because no other stood anywhere after it).
        if (_converged)
            for (auto old = at; old != points.end(); ++old) {
                old->horizon = std::max(old->horizon, _convergedHorizon);
                old->slashHorizon = std::max(old->slashHorizon, _convergedSlashHorizon);
            }
        points.insert(at, _recorded.begin(), _recorded.end());
        if (_stop.position == end && end < _range.end()) {
            const auto place = std::lower_bound(points.begin(), points.end(), end,
                                                [](const Checkpoint& point, qint64 at) { return point.position < at; });
            if (place == points.end() || place->position != end) points.insert(place, _stop);
        }
    }

    bool converged() const { return _converged; }
    // The last boundary the parse reported (none: where it resumed), and how far what it
    // decided before there read.
    qint64 lastBoundary() const { return _last.position >= 0 ? _last.position : resumeAt; }
    qint64 lastBoundaryReadTo() const {
        return _last.position >= 0 ? std::max(_last.horizon, _last.slashHorizon) : std::max(_horizonFloor, _slashFloor);
    }
    // How far the pass wrote colours, or the standard ones ahead of its parse.
    qint64 touchedTo() const { return _resets ? std::max(_written, _resetEnd) : _written; }
    // How far what the parse decided before where it ended read.
    qint64 endReadTo() const {
        return _converged ? std::max(_convergedHorizon, _convergedSlashHorizon) : std::max(_stop.horizon, _stop.slashHorizon);
    }

private:
    void resetTo(qint64 to) {
        if (to <= _resetEnd) return;
        _chunk = std::min(_chunk * 2, IdleSlice);
        const QVRange stretch(_resetEnd, to - _resetEnd);
        _text.addAttributes(_view._standardAttributes, stretch);
        _text.removeAttribute(QVTextStorage::MultiLineAttribute, stretch);
        _resetEnd = to;
    }
    bool inLongLine(qint64 position) const { return position - _text.lineStart(_text.lineOfPosition(position)) >= LongLineSpacing; }

    QVSyntaxHighlightingTextView& _view;
    std::vector<Checkpoint>& _points;
    QVTextStorage& _text;
    QVRange _range;
    bool _resets;  // false: the range has its standard attributes already
    qint64 _resetEnd;
    qint64 _written;
    qint64 _chunk = FirstResetChunk;
    qint64 _lastRecorded;
    qint64 _horizonFloor = 0;
    qint64 _slashFloor = 0;
    qint64 _convergeAfter;
    qint64 _stopAfter;
    std::vector<Checkpoint>::const_iterator _old;
    std::vector<Checkpoint>::const_iterator _oldEnd;
    std::vector<Checkpoint> _recorded;
    Checkpoint _stop{-1, 0, 0, 0};
    Checkpoint _last{-1, 0, 0, 0};
    bool _ending = false;
    bool _converged = false;
    qint64 _convergedAt = 0;
    qint64 _convergedHorizon = 0;
    qint64 _convergedSlashHorizon = 0;
};

namespace {

// How far past its stop a pass that can stop on a long line is first given: twice the stretch it
// colours, so that the short slices after a key (a line break amid a block's line) read a few
// kilobytes each, not the key's stretch again; at most what a key's pass is given.
qint64 shortPassReach(qint64 resume, qint64 stopAfter) {
    return std::clamp<qint64>(2 * (stopAfter - resume), LeastIdleSlice, 2 * LongLineEditReach);
}

}  // namespace

QVSyntaxHighlightingTextView::PassEnd QVSyntaxHighlightingTextView::colourPass(QVRange range, qint64 resume, qint64 convergeAfter,
                                                                               qint64 stopAfter, const QVWalkPlace& inside) {
    QVTextStorage& text = textStorage();
    range = range.intersection(QVRange(0, text.length()));
    if (range.isNotFound() || range.length == 0) return {range.isNotFound() ? 0 : range.end(), false};
    resume = std::clamp(resume, range.location, range.end());
    if (!_active || !UserDefaults::standard().boolForKey(QVHighlightKey) || !_parser) {
        _useMainParser = true;
        syntaxHighlight(QVRange(resume, range.end() - resume));
        _useMainParser = false;
        return {range.end(), false};
    }
    // The checkpoints along a block's line a pass resumed at its place keeps: those before it.
    const auto resumeBlockLine = [this](const QVEmbeddedRange& part) {
        if (_blockLine.parser == part.parser.get() && _blockLine.from <= part.range.location)
            std::erase_if(_blockLine.points, [&](const Checkpoint& point) { return point.position >= part.range.location; });
        else
            _blockLine = {part.parser.get(), part.range.location, {}};
    };
    text.beginEditing();
    // A parse reads its whole range first: a copy of megabytes once an edit split a long line,
    // more than the pass costs up to where it stops, a stretch past stopAfter on that line. So a
    // pass that can stop there is given a stretch past it first, and kept only when it stopped
    // inside it on what it read there (as blockLinePass does in a block).
    const qint64 firstReach = std::max(resume, stopAfter) + shortPassReach(resume, stopAfter);
    const bool shortFirst = stopAfter >= resume && stopAfter < range.end() && range.end() - firstReach > 4 * LongLineEditReach &&
                            text.lineRangeForRange(QVRange(stopAfter, 0)).end() > firstReach;
    const QVWalkPlace from = resume == range.location ? inside : QVWalkPlace();
    std::optional<Pass> pass;
    QVEmbeddedRanges embedded;
    for (const QVRange parsed : {QVRange(range.location, (shortFirst ? firstReach : range.end()) - range.location), range}) {
        // The whole range's pass, after a short one it could not keep, goes on at least as far as
        // that one wrote, so that nothing it wrote is left behind.
        const qint64 touched = pass ? pass->touchedTo() : 0;
        pass.emplace(*this, parsed, resume, std::max(convergeAfter, touched), std::max(stopAfter, touched), from, _checkpoints);
        embedded = parserWithTheme(_parser)->parseRange(parsed, text, &*pass);
        if (parsed.end() == range.end() || (pass->stoppedAt < parsed.end() && pass->endReadTo() < parsed.end())) break;
        // Begun inside a block of megabytes that runs on past the stretch (a key amid a block's
        // line, after a closer that its strings or comments hide): the scan for the block's end
        // read on to it, every key and every slice. The block's own stopping pass decides, kept
        // when it stopped inside the stretch on what it read there.
        // So is one the pass entered at its opener (a "<" typed on a script's first line).
        if (embedded.size() == 1 && embedded.front().parser && embedded.front().range.end() == parsed.end() &&
            ((from.position >= 0 && embedded.front().range.location == resume) || embedded.front().range.location > resume) &&
            range.end() - embedded.front().range.location >= BlockLinePart) {
            const QVEmbeddedRange& part = embedded.front();
            if (part.range.location == resume)
                resumeBlockLine(part);
            else
                _blockLine = {part.parser.get(), part.range.location, {}};
            qint64 stopped = part.range.location;
            const std::unique_ptr<Pass> inBlock = blockLinePass(part.range, part.range.location, QVRange::NotFound, stopAfter, part.parser, &stopped, false);
            if (stopped > part.range.location && stopped < part.range.end() && inBlock->endReadTo() < part.range.end()) {
                inBlock->commit(stopped);
                // The stretch past the stop, which the page's pass gave its plain colours, is
                // still the block's, as is the rest of it with its old colours: a key there
                // is in the block's language, coloured from a checkpoint before the stop.
                text.addAttribute(QVTextStorage::ParserAttribute, text.attribute(QVTextStorage::ParserAttribute, stopped - 1),
                                  QVRange(stopped, part.range.end() - stopped));
                _colouringBlockLine = true;
                text.endEditing();
                _colouringBlockLine = false;
                pass->commit(stopped);
                return {stopped, false};
            }
        }
        // It ran on to its end inside a page's tag opened at its last boundary (a "<" typed
        // before a script's text, whose ">" all stand in quotes): a tag's colours up to a place
        // do not hang on where it ends, so they are final to there, and slices go on inside it
        // from a stop kept there (colourInsideTag), not from the line's start. So is one after a
        // block's end before it ("</script>" pasted amid a script's line, whose text is then
        // markup with a "<" in it): the block's part is coloured as any short one.
        const auto endsBefore = [&](const QVEmbeddedRange& part) {
            return part.range.end() <= pass->lastBoundary() && part.range.length < BlockLinePart;
        };
        if (const auto tags = std::dynamic_pointer_cast<QVTagBasedParser>(parserWithTheme(_parser));
            tags && std::all_of(embedded.begin(), embedded.end(), endsBefore) && pass->lastBoundary() >= resume &&
            pass->lastBoundaryReadTo() <= pass->lastBoundary()) {
            bool quoted = false;
            const qint64 lt = tags->openTagBefore(text, pass->lastBoundary(), parsed.end(), &quoted);
            if (lt == pass->lastBoundary()) {
                for (const QVEmbeddedRange& part : embedded)
                    if (part.parser) parserWithTheme(part.parser)->parseRange(part.range, text);
                if (_openTags.size() >= KeptLiterals) _openTags.erase(_openTags.begin());
                std::erase_if(_openTags, [lt](const OpenTag& tag) { return tag.lt == lt; });
                _openTags.push_back({lt, {{parsed.end(), quoted}}, tags->opensComment(text, lt)});
                pass->commit(parsed.end());
                text.endEditing();
                return {parsed.end(), false};
            }
        }
    }
    bool blockPoints = false;
    qint64 blockStop = -1;
    for (const QVEmbeddedRange& part : embedded) {
        if (!part.parser) continue;
        if (part.range.length < BlockLinePart) {
            parserWithTheme(part.parser)->parseRange(part.range, text);
            continue;
        }
        // A block of megabytes keeps its parser's checkpoints along its long lines, so that the
        // first key on one of them (a style rule holding a data: URI) colours from near it. The
        // pass above gave the block its standard attributes already. Begun at a place inside
        // the block, it keeps those its parse made before there, and past stopAfter it ends at
        // the next boundary inside a long line: the rest of the block is coloured while idle,
        // from that boundary on (a quote typed amid a line of megabytes turns every string
        // after it about).
        const bool resumed = inside.position >= 0 && part.range.location == resume;
        if (resumed)
            resumeBlockLine(part);
        else
            _blockLine = {part.parser.get(), part.range.location, {}};
        qint64 stopped = part.range.location;
        // Entered at its opener, it stops there too: a page opened on a block's line of tens of
        // megabytes shows at once, and idle slices colour the rest from the stop on.
        blockLinePass(part.range, part.range.location, QVRange::NotFound, stopAfter, part.parser, &stopped, false)->commit(stopped);
        blockPoints = true;
        if (stopped < part.range.end()) {
            blockStop = stopped;
            break;
        }
    }
    _colouringBlockLine = blockPoints;
    text.endEditing();
    _colouringBlockLine = false;
    if (blockStop >= 0) {
        pass->commit(blockStop);
        return {blockStop, false};
    }
    const qint64 end = std::clamp(pass->stoppedAt, resume, range.end());
    pass->commit(end);
    return {end, pass->converged()};
}

QVSyntaxHighlightingTextView::PassEnd QVSyntaxHighlightingTextView::colourBlockLine(QVRange range, qint64 before, qint64 convergeAfter,
                                                                                    qint64 stopAfter, const std::shared_ptr<QVParser>& parser) {
    BlockLine& line = _blockLine;
    if (line.parser != parser.get() || range.location < line.from) line = {parser.get(), range.location, {}};
    // The last checkpoint of the line up to the edit that read nothing of it (the edits keep
    // only those, and anything else that colours the line drops them all).
    auto point = std::upper_bound(line.points.begin(), line.points.end(), before,
                                  [](qint64 at, const Checkpoint& point) { return at < point.position; });
    const qint64 resume = point == line.points.begin() ? range.location : std::max(range.location, std::prev(point)->position);
    qint64 end = resume;
    const std::unique_ptr<Pass> pass = blockLinePass(range, resume, convergeAfter, stopAfter, parser, &end);
    pass->commit(end);
    return {end, pass->converged(), resume};
}

std::unique_ptr<QVSyntaxHighlightingTextView::Pass> QVSyntaxHighlightingTextView::blockLinePass(QVRange range, qint64 resume, qint64 convergeAfter,
                                                                                               qint64 stopAfter, const std::shared_ptr<QVParser>& parser,
                                                                                               qint64* end, bool reset) {
    QVTextStorage& text = textStorage();
    // A parse reads its whole range first, and on a line of megabytes an edit has split, that
    // read is a copy of it all: more than the parse costs up to where it ends, a stretch past
    // stopAfter. So it is given a stretch more than that first; what it decided before it ended
    // must have read nothing past what it was given, or the whole range is parsed.
    const qint64 firstReach = std::max(resume, stopAfter) + shortPassReach(resume, stopAfter);
    const bool shortFirst = firstReach < range.end();
    qint64 touched = 0;
    for (const QVRange parsed : {QVRange(range.location, (shortFirst ? firstReach : range.end()) - range.location), range}) {
        // As in colourPass: the whole range's pass goes on at least as far as the short one wrote.
        auto pass = std::make_unique<Pass>(*this, parsed, resume, std::max(convergeAfter, touched), std::max(stopAfter, touched), QVWalkPlace(),
                                           _blockLine.points, reset);
        _colouringBlockLine = true;
        text.beginEditing();
        parserWithTheme(parser)->parseRange(parsed, text, pass.get());
        text.endEditing();
        _colouringBlockLine = false;
        *end = std::clamp(pass->stoppedAt, resume, parsed.end());
        if (parsed.end() == range.end() || (*end < parsed.end() && pass->endReadTo() < parsed.end())) return pass;
        touched = pass->touchedTo();
    }
    Q_UNREACHABLE();
}

bool QVSyntaxHighlightingTextView::blockLineResumes(QVRange range, qint64 before) const {
    if (_blockLine.parser != _activeParser.get() || range.location < _blockLine.from) return false;
    const auto point = std::upper_bound(_blockLine.points.begin(), _blockLine.points.end(), before,
                                        [](qint64 at, const Checkpoint& point) { return at < point.position; });
    return point != _blockLine.points.begin() && std::prev(point)->position > range.location;
}

bool QVSyntaxHighlightingTextView::isCheckpoint(qint64 position) const {
    return std::binary_search(_checkpoints.begin(), _checkpoints.end(), Checkpoint{position, 0, 0, 0},
                              [](const Checkpoint& a, const Checkpoint& b) { return a.position < b.position; });
}

qint64 QVSyntaxHighlightingTextView::resumePoint(qint64 start, qint64 before) const {
    // Checkpoints up to the edit kept where they are read nothing of it (textStorageEdited).
    const qint64 limit = std::min(before, _highlightedUpTo);
    auto point = std::upper_bound(_checkpoints.begin(), _checkpoints.end(), limit,
                                  [](qint64 at, const Checkpoint& point) { return at < point.position; });
    if (point == _checkpoints.begin()) return start;
    --point;
    return point->position > start ? point->position : start;
}

void QVSyntaxHighlightingTextView::dropCheckpoints(qint64 from, qint64 to) {
    if (_checkpoints.empty()) return;
    const auto first = std::lower_bound(_checkpoints.begin(), _checkpoints.end(), from,
                                        [](const Checkpoint& point, qint64 at) { return point.position < at; });
    const auto last = std::upper_bound(first, _checkpoints.end(), to, [](qint64 at, const Checkpoint& point) { return at < point.position; });
    _checkpoints.erase(first, last);
}

bool QVSyntaxHighlightingTextView::mustGoOn(const State& before, const State& after) {
    // A line that ends inside a string or comment hands it on to the next line, and the old
    // colouring may have seen another one there (a double- for a single-quoted string, say).
    return before != after || after.multiLine;
}

void QVSyntaxHighlightingTextView::highlightSome(qint64 until, qint64 budgetMs, qint64 budgetCharacters) {
    QElapsedTimer clock;
    clock.start();
    const QVTextStorage& text = textStorage();
    const quint64 parsedBefore = QVParser::charactersParsed();
    const qint64 budgetNs = budgetMs * 1'000'000;
    qint64 slice = budgetMs <= 0 ? EditSlice : budgetCharacters > 0 ? std::min(IdleSlice, budgetCharacters) : IdleSlice;
    // After each slice: whether the budget is spent; else the next slice is what it leaves, at
    // the pace the slices so far went (a slice of a dense stretch costs more than one of a
    // comment), so that no tick runs far past it.
    auto spent = [&] {
        if (budgetMs <= 0) {
            slice *= 2;
            return false;
        }
        const qint64 ns = std::max<qint64>(clock.nsecsElapsed(), 1);
        const qint64 parsed = qint64(QVParser::charactersParsed() - parsedBefore);
        if (ns >= budgetNs || (budgetCharacters > 0 && parsed >= budgetCharacters)) return true;
        if (parsed > 0) slice = std::clamp<qint64>(qint64(double(parsed) * double(budgetNs - ns) / double(ns)), LeastIdleSlice, IdleSlice);
        if (budgetCharacters > 0) slice = std::min(slice, budgetCharacters - parsed);
        return false;
    };
    while (_highlightedUpTo < std::min(until, text.length())) {
        const struct SliceWork {
            quint64 before = QVParser::charactersParsed();
            ~SliceWork() { mostParsedInASlice = std::max(mostParsedInASlice, QVParser::charactersParsed() - before); }
        } work;
        const qint64 from = _highlightedUpTo;
        if (colourInsideLiteral(from, slice) || colourInsideTag(from, slice) || colourInsideBlock(from, slice)) {
            if (spent()) break;
            continue;
        }
        qint64 entered = -1;
        qint64 start = safeStart(from, 0, &entered);
        // Inside a long line the slice resumes at the checkpoint where the last one ended.
        qint64 resume = resumePoint(start, from);
        bool resumes = resume > start;
        // Inside an embedded block whose end may lie in the slice, the pass begins at a place of
        // the walk near from, in the block's language, rather than at the block's opener.
        QVWalkPlace inside;
        if (!resumes && from - start > slice) {
            inside = blockPlaceBefore(from, InsideBlockReach);
            // The slice may begin in markup whose tag or comment began on a line that begins
            // inside a block (an end tag pasted at a line's end, then "<"): the look back went
            // up that block to its opener, where a place of the walk near the line will do.
            if (inside.position < 0 && entered > start && from - entered <= InsideBlockReach)
                inside = blockPlaceBefore(entered, InsideBlockReach - (from - entered));
            if (inside.position >= 0) {
                start = resume = inside.position;
                resumes = true;
            }
        }
        // A slice at least as long as the stretch it must go back over keeps the total linear.
        const qint64 reach = std::min(text.length(), from + (resumes ? slice : std::max(slice, from - start)));
        const qint64 to = std::min(std::max(text.lineRangeForRange(QVRange(reach, 0)).end(), from + 1), text.length());
        const State before = stateAt(to - 1);
        // Past the edits nothing has coloured yet, meeting the old colouring again ends the slice.
        const PassEnd pass = colourPass(QVRange(start, to - start), resume, std::max(from, _provisionalEditsEnd), reach, inside);
        if (pass.converged) {
            _highlightedUpTo = std::max(pass.end, _oldColouringEnd);
            if (_highlightedUpTo >= _provisionalEditsEnd) _provisionalEditsEnd = 0;
        } else if (pass.end < to) {
            // Ended inside a long line at a checkpoint, where the next slice goes on.
            _highlightedUpTo = pass.end;
            _oldColouringEnd = std::max(_oldColouringEnd, pass.end);
        }
        if (pass.converged || pass.end < to) {
            if (_highlightedUpTo >= text.length()) {
                _highlightedUpTo = _oldColouringEnd = text.length();
                _provisionalEditsEnd = 0;
                break;
            }
            if (spent()) break;
            continue;
        }
        const bool changed = mustGoOn(before, stateAt(to - 1));
        // [0, to) is final now; the old colouring after it still holds where nothing changed.
        if (to >= text.length()) {
            _highlightedUpTo = _oldColouringEnd = text.length();
            _provisionalEditsEnd = 0;
            break;
        }
        _highlightedUpTo = to;
        _oldColouringEnd = std::max(_oldColouringEnd, to);
        if (!changed && to < _oldColouringEnd && to > _provisionalEditsEnd) _highlightedUpTo = _oldColouringEnd;
        if (_highlightedUpTo >= _provisionalEditsEnd) _provisionalEditsEnd = 0;
        if (spent()) break;
    }
    // The language at the caret, given short of final colours, is certain once they reach it.
    if (_provisionalAnswerAt >= 0 && _highlightedUpTo >= std::min(_provisionalAnswerAt, text.length())) {
        _provisionalAnswerAt = -1;
        followCaret(selectedRange().location);
    }
}

bool QVSyntaxHighlightingTextView::placesToConfirm() {
    return _parser && _idleConfirmGivenUp != _charactersRevision && _boundaries.ready() && _boundaries.certainUpTo() < length();
}

QVWalkPlace QVSyntaxHighlightingTextView::blockPlaceBefore(qint64 from, qint64 within) {
    if (from <= 0 || !_parser || !_boundaries.ready()) return {};
    const QVTextStorage& text = textStorage();
    QVRange run;
    const QVParser* owner = QVTextStorage::objectOf<QVParser>(text.attribute(QVTextStorage::ParserAttribute, from - 1, &run));
    if (!owner || owner == _parser.get()) return {};
    // The line the final colours begin outside the block's strings and comments at is such a
    // place too, in the block the walk found at the same start (which says what kind it is):
    // nearer than the walk's after a literal longer than the walk's spacing. The walk's place
    // nearest before from may be one carried past an edit that the walk no longer passes (an
    // end tag pasted into the literal and taken back: the places after it stood in markup), so
    // the walk's first place in the block, before every edit, tells the kind too.
    const qint64 line = rangeToHighlightForRange(QVRange(from, 0)).location;
    // A checkpoint of the block's own parse along its long line is such a place too, nearer than
    // any line start on a line of megabytes: the parse begun afresh there reads nothing before
    // it (a script's, which may look back before a word or slash, is left out), and the scan for
    // the block's end reads the block's strings and comments as that parse does.
    if (const QVWalkPlace point = blockLinePlaceBefore(from, run, within); point.position >= 0 && point.position > line) return point;
    if (line > run.location && from - line <= within) {
        const std::vector<QVWalkPlace>& all = _boundaries.places();
        const auto byPosition = [](qint64 at, const QVWalkPlace& p) { return at < p.position; };
        const auto near = std::upper_bound(all.begin(), all.end(), from, byPosition);
        const auto first = std::upper_bound(all.begin(), near, run.location, byPosition);
        if (near != all.begin() && std::prev(near)->block >= 0 && std::prev(near)->blockStart == run.location)
            return {line, run.location, std::prev(near)->block};
        if (first != near && first->position <= _boundaries.certainUpTo() && first->block >= 0 && first->blockStart == run.location)
            return {line, run.location, first->block};
        // A block that was one long line until a line break was typed in it (before its end
        // tag) has no place of the walk inside: its opener tells its kind, or every key on the
        // new line coloured the block again from its opener.
        if (line <= _highlightedUpTo)
            if (const int kind = embeddedKindAt(run.location, owner); kind >= 0) return {line, run.location, kind};
    }
    // Places the edits before from left unconfirmed are confirmed first: the walk from before
    // each edit meets the old places again a little after it (the same place in the same state).
    // Where they cannot be (a literal or comment begun by an edit runs on), not again until the
    // next edit: every slice would walk the same stretch again.
    // A walk over megabytes (a literal pasted near the top runs on to here) is no slice's to make.
    if (_blockConfirmGivenUp != _charactersRevision && _boundaries.certainUpTo() < from && from - _boundaries.certainUpTo() <= IdleConfirmReach) {
        quint64 walked = 0;
        _boundaries.placeBefore(from, text, *_parser, &walked, from);
        uncolouredWalkCount += walked;
        if (_boundaries.certainUpTo() < from) _blockConfirmGivenUp = _charactersRevision;
    }
    const std::vector<QVWalkPlace>& places = _boundaries.places();
    auto place = std::upper_bound(places.begin(), places.end(), std::min(from, _boundaries.certainUpTo()),
                                  [](qint64 at, const QVWalkPlace& p) { return at < p.position; });
    // The block the final colours end in began where its language's run does; the walk's place
    // must stand in that block, its scan and the block's colouring both fresh at its line (the
    // nearest such one, within reach).
    while (place != places.begin()) {
        --place;
        if (place->block < 0 || place->blockStart != run.location || place->position <= run.location || from - place->position > within)
            return {};
        // A place inside a literal is the walk's only: a colouring begun there would take the
        // literal's text for code.
        if (place->literal < 0 && rangeToHighlightForRange(QVRange(place->position, 0)).location == place->position) return *place;
    }
    return {};
}

QVWalkPlace QVSyntaxHighlightingTextView::blockLinePlaceBefore(qint64 from, QVRange block, qint64 within, qint64* since) const {
    const QVTextStorage& text = textStorage();
    const QVParser* owner = QVTextStorage::objectOf<QVParser>(text.attribute(QVTextStorage::ParserAttribute, from - 1));
    if (!owner || _blockLine.parser != owner || _blockLine.points.empty()) return {};
    const std::vector<Checkpoint>& points = _blockLine.points;
    auto point = std::upper_bound(points.begin(), points.end(), from, [](qint64 at, const Checkpoint& p) { return at < p.position; });
    while (point != points.begin()) {
        --point;
        const qint64 floor = std::max(block.location, _blockLine.from);
        if (point->position <= floor || from - point->position > within) return {};
        if (point->since < point->position && (!since || point->since <= floor)) continue;
        if (since) *since = point->since;
        // Which of the markup's embedded languages the block is, as the walk found it.
        static const std::vector<QVWalkPlace> none;
        const std::vector<QVWalkPlace>& all = _boundaries.ready() ? _boundaries.places() : none;
        const auto byPosition = [](qint64 at, const QVWalkPlace& p) { return at < p.position; };
        const auto near = std::upper_bound(all.begin(), all.end(), point->position, byPosition);
        const auto first = std::upper_bound(all.begin(), near, block.location, byPosition);
        if (near != all.begin() && std::prev(near)->block >= 0 && std::prev(near)->blockStart == block.location)
            return {point->position, block.location, std::prev(near)->block};
        if (first != near && first->position <= _boundaries.certainUpTo() && first->block >= 0 && first->blockStart == block.location)
            return {point->position, block.location, first->block};
        // A block that is one long line has no place of the walk inside: its opener tells.
        const int kind = embeddedKindAt(block.location, owner);
        return kind >= 0 ? QVWalkPlace{point->position, block.location, kind} : QVWalkPlace{};
    }
    return {};
}

int QVSyntaxHighlightingTextView::embeddedKindAt(qint64 blockStart, const QVParser* language) const {
    const auto markup = std::dynamic_pointer_cast<QVTagBasedParser>(_parser);
    if (!markup || blockStart <= 0) return -1;
    // The opener's "<" and name, as the walk reads them: an element's content begins after its
    // start tag's ">", a server block's right after its name. A start tag of a few kilobytes is
    // as far as this looks.
    constexpr qint64 OpenerReach = 4096;
    const QVTextStorage& text = textStorage();
    const qint64 from = std::max<qint64>(0, blockStart - OpenerReach);
    const QStringView before = text.characters(QVRange(from, blockStart - from));
    const qsizetype lt = before.lastIndexOf(u'<');
    if (lt < 0 || lt + 1 >= before.size()) return -1;
    qsizetype nameEnd = lt + 1;
    while (nameEnd < before.size() && before[nameEnd] != u'>' && !before[nameEnd].isSpace()) ++nameEnd;
    const QString name = before.sliced(lt + 1, nameEnd - lt - 1).toString().toLower();
    const bool element = before[lt + 1].isLetter();
    if (!element && nameEnd != before.size()) return -1;
    if (element && before.back() != u'>') return -1;
    const auto& embedded = markup->embedded();
    const auto entry = embedded.constFind(name);
    if (entry == embedded.cend() || entry->end.isEmpty() || entry->parser.lock().get() != language) return -1;
    return int(std::distance(embedded.cbegin(), entry));
}

bool QVSyntaxHighlightingTextView::closerWithin(const std::shared_ptr<QVParser>& block, QVRange range) const {
    const QStringList& closers = block->closers();
    const QStringView characters = textStorage().characters(range);
    for (qsizetype i = 0; i < closers.size(); ++i)
        if (!closers[i].isEmpty() && closerIn(characters, closers[i], i < block->openers().size() && QVParser::opensElement(block->openers()[i])) >= 0)
            return true;
    return false;
}

bool QVSyntaxHighlightingTextView::blockLineSlice(const std::shared_ptr<QVParser>& block, qint64 readFrom, qint64 start, qint64 from, qint64 to,
                                                  qint64 slice) {
    // The rest of a line of megabytes: the block's parse from start goes a slice and ends at its
    // next boundary (or where it meets the old parse again), and the stretch it coloured must
    // hold no closer; one there leaves it to the page's parser, which colours it again.
    const qint64 length = textStorage().length();
    const State old = stateAt(to - 1);
    qint64 end = start;
    const std::unique_ptr<Pass> made = blockLinePass(QVRange(readFrom, to - readFrom), start, std::max(from, _provisionalEditsEnd), from + slice, block, &end);
    Pass& pass = *made;
    qint64 longest = 0;
    for (const QString& closer : block->closers()) longest = std::max<qint64>(longest, closer.size());
    if (closerWithin(block, QVRange(start, std::min(to, end + longest) - start))) {
        // What it coloured is no colouring to agree with: the page's parser colours it again,
        // from before start, as the pass wrote from there (a regular expression it read on to a
        // slash past the block's end had turned final colours before from about).
        _provisionalEditsEnd = std::max(_provisionalEditsEnd, end);
        _highlightedUpTo = std::min(_highlightedUpTo, start);
        return false;
    }
    dropCheckpoints(start, end);
    pass.commit(end);
    if (pass.converged()) {
        _highlightedUpTo = std::max(end, _oldColouringEnd);
        if (_highlightedUpTo >= _provisionalEditsEnd) _provisionalEditsEnd = 0;
        if (_highlightedUpTo >= length) _highlightedUpTo = _oldColouringEnd = length;
        return true;
    }
    if (end < to) {
        _highlightedUpTo = end;
        _oldColouringEnd = std::max(_oldColouringEnd, end);
        return true;
    }
    sliceColoured(to, old);
    return true;
}

bool QVSyntaxHighlightingTextView::colourInsideBlock(qint64 from, qint64 slice) {
    QVTextStorage& text = textStorage();
    const qint64 length = text.length();
    if (from <= 0 || from >= length || !_parser || !_active || !UserDefaults::standard().boolForKey(QVHighlightKey)) return false;
    const QVParser* before = QVTextStorage::objectOf<QVParser>(text.attribute(QVTextStorage::ParserAttribute, from - 1));
    if (!before || before == _parser.get()) return false;
    std::shared_ptr<QVParser> block;
    for (const std::shared_ptr<QVParser>& sub : _parser->subparsers())
        if (sub.get() == before) block = sub;
    if (!block) return false;
    // From the line the block's parser can begin at (outside its strings and comments, as after
    // an edit there) to a slice past from; no closer in it that can end the block, so the block
    // goes on past its end whatever hides what.
    qint64 start = rangeToHighlightForRange(QVRange(from, 0)).location;
    if (start > from) return false;
    // The final colours give the block every character from start to from.
    QVRange run;
    text.attribute(QVTextStorage::ParserAttribute, from - 1, &run);
    if (run.location > start) return false;
    // On a long line of the block, from a checkpoint of the block's parse along it instead.
    // (A script's checkpoint may read back a word or so before it: the parse is given that too.)
    bool onPoint = false;
    qint64 readFrom = start;
    if (from - start > LongLineSpacing) {
        qint64 since = -1;
        if (const QVWalkPlace point = blockLinePlaceBefore(from, run, InsideBlockReach, &since); point.position > start) {
            start = point.position;
            readFrom = std::max(readFrom, since);
            onPoint = true;
        }
    }
    // A slice at least as long as the stretch it goes back over keeps the total linear (a comment
    // of megabytes that runs on).
    const qint64 reach = std::min(length, from + std::max(slice, from - start));
    qint64 to = std::min(text.lineRangeForRange(QVRange(reach, 0)).end(), length);
    // From a checkpoint, the rest of its line only: the lines after it may hold the block's
    // closer, which is the page's parser's to read, and that one would go back to the line's start.
    if (const qint64 lineEnd = text.lineRangeForRange(QVRange(from, 0)).end(); onPoint && lineEnd > from) to = std::min(to, lineEnd);
    if (to <= from) return false;
    // A line of megabytes begun a little before from (a line break typed amid one) is read from
    // its start as from a checkpoint: a slice of it, not all of it before the key's frame.
    const bool nearLineStart = !onPoint && from - start <= slice;
    if (onPoint || (nearLineStart && to - from > 2 * slice)) {
        if (nearLineStart && (_blockLine.parser != before || _blockLine.from > run.location)) _blockLine = {before, run.location, {}};
        return blockLineSlice(block, readFrom, start, from, to, slice);
    }
    if (closerWithin(block, QVRange(start, to - start))) return false;
    const State old = stateAt(to - 1);
    const QVRange range(start, to - start);
    dropCheckpoints(range.location, range.end());
    text.beginEditing();
    text.addAttributes(_standardAttributes, range);
    text.removeAttribute(QVTextStorage::MultiLineAttribute, range);
    for (const QVEmbeddedRange& part : parserWithTheme(block)->parseRange(range, text))
        if (part.parser) parserWithTheme(part.parser)->parseRange(part.range, text);
    text.endEditing();
    sliceColoured(to, old);
    return true;
}

void QVSyntaxHighlightingTextView::sliceColoured(qint64 to, const State& old, bool sameLiteralGoesOn) {
    const qint64 length = textStorage().length();
    const bool changed = !sameLiteralGoesOn && mustGoOn(old, stateAt(to - 1));
    if (to >= length) {
        _highlightedUpTo = _oldColouringEnd = length;
        _provisionalEditsEnd = 0;
        return;
    }
    _highlightedUpTo = to;
    _oldColouringEnd = std::max(_oldColouringEnd, to);
    if (!changed && to < _oldColouringEnd && to > _provisionalEditsEnd) _highlightedUpTo = _oldColouringEnd;
    if (_highlightedUpTo >= _provisionalEditsEnd) _provisionalEditsEnd = 0;
}

bool QVSyntaxHighlightingTextView::colourInsideLiteral(qint64 from, qint64 slice) {
    QVTextStorage& text = textStorage();
    const qint64 length = text.length();
    if (from <= 0 || from >= length || !_parser || !_active || !UserDefaults::standard().boolForKey(QVHighlightKey)) return false;
    // The literal the final colours end in: one run of its colour and of the multi-line mark.
    QVRange multiLine, colour, language;
    if (!text.attribute(QVTextStorage::MultiLineAttribute, from - 1, &multiLine).toBool()) return false;
    text.attribute(QVTextStorage::ForegroundColorAttribute, from - 1, &colour);
    qint64 opener = std::max(multiLine.location, colour.location);
    // The last slice said which literal opens where inside the run.
    if (from == _literalAt.position && _literalAt.opener > opener && _literalAt.opener < from) opener = _literalAt.opener;
    _literalAt = {};
    const QVParser* owner = QVTextStorage::objectOf<QVParser>(text.attribute(QVTextStorage::ParserAttribute, from - 1, &language));
    if (!owner || language.location > opener) return false;
    std::shared_ptr<QVParser> parser;
    if (owner == _parser.get()) {
        // Embedded languages are the main parser's to find.
        if (!_parser->subparsers().isEmpty()) return false;
        parser = _parser;
    } else {
        for (const std::shared_ptr<QVParser>& sub : _parser->subparsers())
            if (sub.get() == owner) parser = sub;
    }
    const auto literals = std::dynamic_pointer_cast<QVKeywordBasedParser>(parserWithTheme(parser));
    if (!literals) return false;
    const qint64 reach = std::min(length, from + slice);
    qint64 to = std::min(std::max(text.lineRangeForRange(QVRange(reach, 0)).end(), from + 1), length);
    std::vector<LiteralStop> unkept;
    std::vector<LiteralStop>* keptStops = nullptr;
    std::vector<LiteralStop>::iterator after;
    qint64 known = opener;
    QVScriptLiterals::TemplateNesting nesting;
    bool chained = false;
    for (;;) {
        // A literal begun within a slice is read again whole, as any slice is, unless the line it
        // begins on begins inside another literal: a pass could only begin where the chain of them
        // does (in a script whose every line begins inside a template string, at its first line), so
        // every literal of the chain is coloured this way.
        const qint64 openerLine = text.lineRangeForRange(QVRange(opener, 0)).location;
        chained = from - opener <= slice;
        if (chained && rangeToHighlightForRange(QVRange(openerLine, 0), openerLine - 1).location == openerLine) return false;
        // The literal's own text reaches from: read once from its opener, then where each slice
        // stopped; one of a chain, begun within a slice, is read from its opener each time.
        unkept.clear();
        keptStops = &unkept;
        if (!chained) {
            auto kept = std::find_if(_openLiterals.begin(), _openLiterals.end(), [&](const OpenLiteral& l) { return l.opener == opener; });
            if (kept == _openLiterals.end()) {
                if (_openLiterals.size() >= KeptLiterals) _openLiterals.erase(_openLiterals.begin());
                kept = _openLiterals.insert(_openLiterals.end(), {literals.get(), opener, {}});
            } else if (kept->parser != literals.get()) {
                *kept = {literals.get(), opener, {}};
            }
            keptStops = &kept->stops;
        }
        after = std::upper_bound(keptStops->begin(), keptStops->end(), from, [](qint64 at, const LiteralStop& stop) { return at < stop.position; });
        known = after == keptStops->begin() ? opener : std::prev(after)->position;
        // How a template string's holes stand nested at from.
        nesting = after == keptStops->begin() ? QVScriptLiterals::TemplateNesting() : std::prev(after)->nesting;
        if (known >= from) break;
        // Read in windows that grow, so that a run of many short literals side by side costs
        // their length, not the stretch to from once each.
        qint64 at = known;
        qint64 end = -1;
        for (qint64 window = 64;; window *= 2) {
            const qint64 limit = std::min(from, at + window);
            QVScriptLiterals::TemplateNesting there = nesting;
            end = literals->endOfOpenLiteral(text, opener, at, limit, &there);
            // On to limit, or an escape (or a heredoc's line) undecided there: read on further.
            if (end == -1) {
                at = limit;
                nesting = there;
            }
            if (limit == from || end >= 0) break;
        }
        if (end == -1) break;
        // Two literals side by side are one run of colours ("" in a style sheet whose strings a
        // quote turned about): the one the final colours end in opens where the one read ended.
        if (end <= opener || end < known || end >= from) return false;
        opener = end;
    }
    std::vector<LiteralStop>& stops = *keptStops;
    stops.erase(after, stops.end());
    if (known < from) stops.push_back({from, nesting});
    // A literal of a chain ends on the line it runs into: that line is read first, then on from
    // its end (every line of a chain over megabytes would otherwise read a slice's worth).
    const qint64 lineEnd = std::min(text.lineRangeForRange(QVRange(from, 0)).end(), to);
    QVScriptLiterals::TemplateNesting atLineEnd = nesting;
    qint64 end = literals->endOfOpenLiteral(text, opener, from, lineEnd, &atLineEnd);
    if (end < 0 && lineEnd < to) {
        if (end == -1) nesting = atLineEnd;
        end = literals->endOfOpenLiteral(text, opener, end == -1 ? lineEnd : from, to, &nesting);
    } else {
        nesting = atLineEnd;
    }
    if (end == -2) return false;
    // A literal that ends in the slice is coloured to its line's end: the next slice begins
    // there, outside it (at the block's end, say, which the main parser's pass must find).
    if (end >= 0) to = std::min(text.lineRangeForRange(QVRange(end, 0)).end(), to);
    // An embedded block's closer ends the block wherever the literal is (the literal itself had
    // none before from, or the final colours would have ended the block there).
    qint64 closerAt = -1;
    bool endsElement = false;
    // A heredoc's or quoted string's text hides the block's end, as the walk reads it: only the
    // rest of the line it closes on, read as the block's scan reads it from there, may hold it
    // (in a string of its own, say, which a plain search there would take for the end).
    const bool heredoc = literals->heredocAt(text, opener);
    const bool hides = heredoc || text.characterAt(opener) == u'"' || text.characterAt(opener) == u'\'';
    // A literal of a block that ends amid a line of megabytes (a comment closed on a minified line
    // after it): the block's parse goes on from its end a slice and stops at a boundary, as a
    // slice along a block's line does, instead of reading the rest of the line on every key.
    if (end >= from && owner != _parser.get() && to - end > 2 * std::max(slice, LongLineEditReach)) {
        qint64 longest = 0;
        for (const QString& closer : parser->closers()) longest = std::max<qint64>(longest, closer.size());
        const qint64 begin = std::max(opener, from - longest + 1);
        if (hides || !closerWithin(parser, QVRange(begin, end - begin))) {
            const qint64 readFrom = std::max(from, text.lineRangeForRange(QVRange(end, 0)).location);
            dropCheckpoints(from, end);
            // The block's checkpoints past the literal stay: the parse from its end may meet them.
            _colouringBlockLine = true;
            text.beginEditing();
            text.addAttributes(_standardAttributes, QVRange(from, end - from));
            text.removeAttribute(QVTextStorage::MultiLineAttribute, QVRange(from, end - from));
            literals->colourOpenLiteral(text, opener, QVRange(from, end - from), end);
            text.endEditing();
            _colouringBlockLine = false;
            if (_blockLine.parser != owner || _blockLine.from > language.location) _blockLine = {owner, language.location, {}};
            std::vector<Checkpoint>& points = _blockLine.points;
            std::erase_if(points, [&](const Checkpoint& point) { return point.position >= from && point.position <= end; });
            // The parse after the literal may read back on its line (a slash after a comment).
            points.insert(std::lower_bound(points.begin(), points.end(), end, [](const Checkpoint& point, qint64 at) { return point.position < at; }),
                          Checkpoint{end, readFrom, end, end});
            return blockLineSlice(parser, readFrom, end, end, to, slice);
        }
    }
    if (owner != _parser.get()) {
        const QStringList& closers = parser->closers();
        const QStringView rest = hides && end >= 0 ? text.characters(QVRange(end, to - end)) : QStringView();
        for (qsizetype i = 0; i < closers.size(); ++i) {
            const QString& closer = closers[i];
            if (closer.isEmpty() || (hides && end < 0)) continue;
            const bool element = i < parser->openers().size() && QVParser::opensElement(parser->openers()[i]);
            qint64 at = -1;
            if (hides) {
                if (const qint64 scanned = parser->endOfEmbeddedBlock(rest, 0, closer, element); scanned < rest.size()) at = end + scanned;
            } else {
                const qint64 begin = std::max<qint64>(opener, from - closer.size() + 1);
                // An end tag's name must end where it does to end the element.
                if (const qsizetype found = closerIn(text.characters(QVRange(begin, to - begin)), closer, element); found >= 0) at = begin + found;
            }
            if (at >= 0 && (closerAt < 0 || at < closerAt)) {
                closerAt = at;
                endsElement = element;
            }
        }
    }
    // A script's or style sheet's end tag in its template string or block comment ends the
    // element there, as the walk over the page ends it: the literal is coloured up to it and
    // the page's own parser goes on from it, beginning in the block at a place of its walk (a
    // pass from the block's opener would read the megabytes of the literal before it again).
    QVWalkPlace blockEnd;
    if (closerAt >= 0) {
        if (closerAt < from || !(endsElement || hides) || (!hides && end >= 0 && closerAt >= end) || !_boundaries.ready()) return false;
        const std::vector<QVWalkPlace>& places = _boundaries.places();
        const auto near = std::upper_bound(places.begin(), places.end(), from, [](qint64 at, const QVWalkPlace& p) { return at < p.position; });
        if (near == places.begin() || std::prev(near)->block < 0 || std::prev(near)->blockStart != language.location) return false;
        blockEnd = {closerAt, language.location, std::prev(near)->block};
        // A heredoc or string ends before the block does, the block's code going on to its end after it.
        if (!hides) end = -1;
    }
    // The literal the slice's end lies in, as the old colours had it and as the new ones do: the
    // same one, begun at the same place after the edits, reads on after it as it did (a line
    // break typed inside a chain's literal changes nothing after the next line). One begun before
    // an edit may hold it in a hole, or in a template string in one, by now.
    const auto literalAcross = [&] {
        QVRange run, shown;
        if (!text.attribute(QVTextStorage::MultiLineAttribute, to - 1, &run).toBool()) return qint64(-1);
        text.attribute(QVTextStorage::ForegroundColorAttribute, to - 1, &shown);
        return std::max(run.location, shown.location);
    };
    const State old = stateAt(to - 1);
    const qint64 oldLiteral = to < length ? literalAcross() : -1;
    const QVRange range(from, (closerAt >= 0 ? closerAt : to) - from);
    dropCheckpoints(range.location, range.end());
    text.beginEditing();
    text.addAttributes(_standardAttributes, range);
    text.removeAttribute(QVTextStorage::MultiLineAttribute, range);
    literals->colourOpenLiteral(text, opener, range, end);
    text.endEditing();
    if (closerAt >= 0) {
        const PassEnd pass = colourPass(QVRange(closerAt, to - closerAt), closerAt, QVRange::NotFound, to, blockEnd);
        if (pass.end < to) {
            // Ended inside a long line at a checkpoint, where the next slice goes on.
            _highlightedUpTo = pass.end;
            _oldColouringEnd = std::max(_oldColouringEnd, pass.end);
            return true;
        }
        sliceColoured(to, old);
        return true;
    }
    if (end < 0) stops.push_back({to, nesting});
    // The literal the colours end in at to: this one, or one opened on its closing line, which
    // opens where this one ended when the run of their colours reaches back over it.
    if (to < length && end < 0) {
        _literalAt = {to, opener};
    } else if (to < length) {
        QVRange run, shown;
        if (text.attribute(QVTextStorage::MultiLineAttribute, to - 1, &run).toBool()) {
            text.attribute(QVTextStorage::ForegroundColorAttribute, to - 1, &shown);
            _literalAt = {to, std::max({run.location, shown.location, end})};
        }
    }
    sliceColoured(to, old, oldLiteral >= std::max(from, _provisionalEditsEnd) && oldLiteral == literalAcross() && old == stateAt(to - 1));
    return true;
}

bool QVSyntaxHighlightingTextView::colourInsideTag(qint64 from, qint64 slice) {
    QVTextStorage& text = textStorage();
    const qint64 length = text.length();
    if (from <= 0 || from >= length || !_parser || !_active || !UserDefaults::standard().boolForKey(QVHighlightKey)) return false;
    // The final colours end in one of the page's own tags (or comments), whose colours carry the
    // multi-line mark, in the page's own language; or at a stop a slice kept inside a tag that
    // runs on along a long line (a stretch of it that holds no line break has no such mark).
    QVRange language;
    const bool stopKept = std::any_of(_openTags.begin(), _openTags.end(), [from](const OpenTag& tag) {
        return tag.lt < from && std::binary_search(tag.stops.begin(), tag.stops.end(), std::pair(from, false),
                                                   [](const auto& a, const auto& b) { return a.first < b.first; });
    });
    if ((!stopKept && !text.attribute(QVTextStorage::MultiLineAttribute, from - 1).toBool()) ||
        QVTextStorage::objectOf<QVParser>(text.attribute(QVTextStorage::ParserAttribute, from - 1, &language)) != _parser.get())
        return false;
    const auto tags = std::dynamic_pointer_cast<QVTagBasedParser>(parserWithTheme(_parser));
    if (!tags) return false;
    // The line the page's parser could begin at: a slice from it (within a slice) is made as any.
    // Every line between a kept tag's "<" and a stop kept in it begins inside that tag, so the
    // look back ends at the latest such stop at or before from, not megabytes back at the "<".
    qint64 stop = -1;
    qint64 stopLt = -1;
    for (const OpenTag& tag : _openTags) {
        const auto after = std::upper_bound(tag.stops.begin(), tag.stops.end(), from, [](qint64 at, const auto& s) { return at < s.first; });
        if (tag.lt < from && after != tag.stops.begin() && std::prev(after)->first > tag.lt && std::prev(after)->first > stop)
            std::tie(stop, stopLt) = std::pair(std::prev(after)->first, tag.lt);
    }
    // None kept near from (the tag was there before any slice stood in it, or its stops went
    // with an edit: the first key deep inside a tag of megabytes): the walk's place inside it
    // near from stands for one, or the look back goes line by line up every line of the tag to
    // the stop or its "<" and reads all of them again.
    if (from - std::max(stop, qint64(0)) > 2 * QVBoundaryIndex::Spacing && _boundaries.ready()) {
        const QVWalkPlace place = _boundaries.certainPlaceBefore(from);
        bool quoted = place.literal == QVTagBasedParser::MarkupQuotedValue;
        // A comment's own stops and end say where its colours go on as before, which no place
        // of the walk says: only a tag's places stand in for them.
        const bool inTag = place.literal == QVTagBasedParser::MarkupTag || place.literal == QVTagBasedParser::MarkupQuotedValue;
        if (place.block < 0 && inTag && place.blockStart >= 0 && place.blockStart < place.position &&
            place.position > stop && place.position <= from && from - place.position <= 2 * QVBoundaryIndex::Spacing &&
            tags->endOfOpenTag(text, place.blockStart, place.position, from, &quoted) == -1) {
            const std::pair<qint64, bool> kept(place.position, place.literal == QVTagBasedParser::MarkupQuotedValue);
            const auto same = std::find_if(_openTags.begin(), _openTags.end(), [&](const OpenTag& tag) { return tag.lt == place.blockStart; });
            if (same != _openTags.end()) {
                same->stops.insert(std::upper_bound(same->stops.begin(), same->stops.end(), place.position,
                                                    [](qint64 at, const auto& s) { return at < s.first; }),
                                   kept);
            } else {
                if (_openTags.size() >= KeptLiterals) _openTags.erase(_openTags.begin());
                _openTags.push_back({place.blockStart, {kept}, false});
            }
            std::tie(stop, stopLt) = std::pair(place.position, place.blockStart);
        }
    }
    // The line from stands on may itself begin between the two (a comment's lines are one run
    // of the multi-line mark back to its "<": no look back at all then).
    const qint64 line = text.lineRangeForRange(QVRange(from, 0)).location;
    qint64 start = stop < 0 ? safeStart(from) : line > stopLt && line <= stop ? -1 : safeStart(from, stop);
    if (stop >= 0 && start < stop) start = from - stopLt > slice ? stopLt : safeStart(from);
    if (from - start <= slice) return false;
    // The nearest tag kept before from: the tag from stands in, or one the walk ends before it.
    auto kept = _openTags.end();
    for (auto tag = _openTags.begin(); tag != _openTags.end(); ++tag)
        if (tag->lt >= start && tag->lt < from && (kept == _openTags.end() || tag->lt > kept->lt)) kept = tag;
    const auto byPosition = [](qint64 at, const std::pair<qint64, bool>& stop) { return at < stop.first; };
    // A stop kept at or after at, in order (a comment keeps those an edit before them left true).
    const auto keepStop = [&](std::vector<std::pair<qint64, bool>>& stops, qint64 at, bool inQuotes) {
        const auto place = std::upper_bound(stops.begin(), stops.end(), at, byPosition);
        if (place == stops.begin() || std::prev(place)->first != at) stops.insert(place, {at, inQuotes});
    };
    bool quoted = false;
    qint64 readFrom = start;
    if (kept != _openTags.end() && kept->end >= 0 && kept->end <= from) {
        // A comment known to end before from: the walk goes on after it.
        readFrom = kept->end;
        kept = _openTags.end();
    } else if (kept != _openTags.end()) {
        // From the stop kept before from: the tag must still run on to it.
        std::vector<std::pair<qint64, bool>>& stops = kept->stops;
        const auto after = std::upper_bound(stops.begin(), stops.end(), from, byPosition);
        qint64 known = kept->lt;
        if (after != stops.begin()) std::tie(known, quoted) = *std::prev(after);
        const qint64 end = known < from ? tags->endOfOpenTag(text, kept->lt, known, from, &quoted) : -1;
        if (end == -2) return false;
        if (!kept->comment) stops.erase(std::upper_bound(stops.begin(), stops.end(), from, byPosition), stops.end());
        if (end >= 0) {
            // It ends before from: the walk goes on after it, to the tag from stands in.
            if (kept->comment) {
                kept->end = end;
                std::erase_if(stops, [&](const std::pair<qint64, bool>& stop) { return stop.first > end; });
            } else {
                _openTags.erase(kept);
            }
            kept = _openTags.end();
            readFrom = end;
        } else if (known < from) {
            keepStop(stops, from, quoted);
        }
    }
    if (kept == _openTags.end()) {
        // Read once from there to the tag from stands in; on a long line, from the last
        // checkpoint of the page's parse before from, outside every tag.
        if (readFrom == start) readFrom = resumePoint(start, from);
        const qint64 lt = tags->openTagBefore(text, readFrom, from, &quoted);
        if (lt < 0) return false;
        if (_openTags.size() >= KeptLiterals) _openTags.erase(_openTags.begin());
        _openTags.push_back({lt, {{from, quoted}}, tags->opensComment(text, lt)});
        kept = std::prev(_openTags.end());
    }
    const qint64 lt = kept->lt;
    if (language.location > lt) return false;
    const qint64 reach = std::min(length, from + slice);
    const qint64 lineEnd = std::min(std::max(text.lineRangeForRange(QVRange(reach, 0)).end(), from + 1), length);
    // A tag that runs on over a line of megabytes past the slice is read and coloured to the
    // slice's end only, a stop kept there: the next slice goes on from it, not from the line's
    // start, and a key typed in the tag after a quote costs a slice, not the rest of the line.
    const bool longRest = lineEnd - reach > slice;
    qint64 to = longRest ? reach : lineEnd;
    const bool quotedAtFrom = quoted;
    const qint64 end = tags->endOfOpenTag(text, lt, from, to, &quoted);
    if (end == -2) return false;
    if (end >= 0) to = lineEnd;
    // A comment that runs on past to, in the old text as in this one (a stop kept there, or its
    // end past it), ends where it did: the colours after to are the old ones.
    const bool sameCommentGoesOn = kept->comment && end < 0 && (kept->end > to || (!kept->stops.empty() && kept->stops.back().first >= to));
    if (kept->comment && end >= 0) {
        kept->end = end;
        std::erase_if(kept->stops, [&](const std::pair<qint64, bool>& stop) { return stop.first > end; });
    }
    // A tag that ends in the slice: the page's parser goes on from its ">" to that line's end
    // (the next slice begins outside it), as the walk goes on after any tag.
    if (end >= 0 && end < to) to = std::min(text.lineRangeForRange(QVRange(end, 0)).end(), to);
    const State old = stateAt(to - 1);
    const QVRange range(from, (end >= 0 ? end : to) - from);
    // The old colouring's checkpoints past the tag's end may be met again by the parse after it.
    dropCheckpoints(from, end >= 0 && end < to ? end : to);
    text.beginEditing();
    text.addAttributes(_standardAttributes, range);
    text.removeAttribute(QVTextStorage::MultiLineAttribute, range);
    tags->colourOpenTag(text, lt, range, quotedAtFrom, end);
    // A comment that runs on past a line's end, or to the text's, is one run of the multi-line
    // mark from its "<", as a parse of it whole marks it: the slices before this one, ending
    // amid the line, could not tell it would.
    if (kept->comment && from > lt &&
        (end >= 0 ? end == length || text.lineOfPosition(lt) != text.lineOfPosition(end - 1) : to == lineEnd))
        text.addAttribute(QVTextStorage::MultiLineAttribute, true, QVRange(lt, (end >= 0 ? std::min(end, to) : to) - lt));
    text.endEditing();
    if (end >= 0 && end < to) {
        // After the tag the page's parse goes on as any pass inside a long line: ending where it
        // meets the old colouring again, else a stretch past the tag (the next slice goes on).
        const PassEnd pass = colourPass(QVRange(end, to - end), end, std::max(end, _provisionalEditsEnd), end + LongLineEditReach, QVWalkPlace());
        if (pass.converged) {
            _highlightedUpTo = std::max(pass.end, _oldColouringEnd);
            if (_highlightedUpTo >= length) {
                _highlightedUpTo = _oldColouringEnd = length;
                _provisionalEditsEnd = 0;
            } else if (_highlightedUpTo >= _provisionalEditsEnd) {
                _provisionalEditsEnd = 0;
            }
            return true;
        }
        if (pass.end < to) {
            // Ended inside a long line at a checkpoint, where the next slice goes on.
            _highlightedUpTo = pass.end;
            _oldColouringEnd = std::max(_oldColouringEnd, pass.end);
            return true;
        }
    } else if (end < 0) {
        keepStop(kept->stops, to, quoted);
        if (to < lineEnd && !(sameCommentGoesOn && old == stateAt(to - 1))) {
            // Ended inside the tag amid its line, where the next slice goes on from the stop:
            // never joined to the old colouring, whose state there a stretch without a line
            // break (no multi-line mark) may seem to match.
            _highlightedUpTo = to;
            _oldColouringEnd = std::max(_oldColouringEnd, to);
            if (_highlightedUpTo >= _provisionalEditsEnd) _provisionalEditsEnd = 0;
            return true;
        }
    }
    sliceColoured(to, old, sameCommentGoesOn && old == stateAt(to - 1));
    return true;
}

bool QVSyntaxHighlightingTextView::shouldChangeTextInRange(QVRange range, const QString&) {
    // The text about to go may hold (or complete) an opener or closer; the new text is looked
    // at when it has arrived.
    bool quotesOnly = false;
    if (touchesEmbeddedBoundary(range, &quotesOnly)) {
        _embeddedBoundaryEdited = true;
        if (!quotesOnly) _embeddedMarkerEdited = true;
    }
    // Whether the text about to go may hide a closing slash (an escape, a class) or end a line.
    const QVTextStorage& text = textStorage();
    _replacing = range.intersection(QVRange(0, text.length()));
    _replacingMayClose = false;
    _replacingInert = !_replacing.isNotFound();
    _replacingBreakless = !_replacing.isNotFound() && _replacing.length <= HeredocBodyEdit;
    if (!_replacing.isNotFound())
        for (const QChar c : text.characters(_replacing)) {
            if (c == u'\\' || c == u'[' || c == u'\n' || c == u'\r') _replacingMayClose = true;
            if (c == u'\n' || c == u'\r') _replacingBreakless = false;
            if (_replacingInert && !inertCharacter(c)) _replacingInert = false;
            if (_replacingMayClose && !_replacingInert && !_replacingBreakless) break;
        }
    return true;
}

bool QVSyntaxHighlightingTextView::touchesEmbeddedBoundary(QVRange range, bool* quotesOnly) const {
    if (quotesOnly) *quotesOnly = false;
    if (!_parser) return false;
    const QList<std::shared_ptr<QVParser>> subparsers = _parser->subparsers();
    if (subparsers.isEmpty()) return false;
    const QVTextStorage& text = textStorage();
    // A closer inside one of the embedded language's strings does not end its block, so quotes
    // and escapes move where a block ends.
    const QStringView changed = text.characters(range.intersection(QVRange(0, text.length())));
    bool quoted = false;
    for (const QChar c : changed)
        if (c == u'"' || c == u'\'' || c == u'\\') {
            quoted = true;
            break;
        }
    if (quoted && !quotesOnly) return true;
    for (const std::shared_ptr<QVParser>& sub : subparsers) {
        if (!sub) continue;
        for (const QStringList* list : {&sub->openers(), &sub->closers()}) {
            for (const QString& marker : *list) {
                if (marker.isEmpty()) continue;
                const qint64 from = std::max<qint64>(0, range.location - marker.size());
                const qint64 to = std::min<qint64>(text.length(), range.end() + marker.size());
                if (to - from < marker.size()) continue;
                if (text.characters(QVRange(from, to - from)).contains(marker, Qt::CaseInsensitive)) return true;
            }
        }
    }
    if (quotesOnly) *quotesOnly = quoted;
    return quoted;
}

bool QVSyntaxHighlightingTextView::parsedWholly(QVRange range, const QVParser* parser) const {
    if (range.length <= 0) return true;
    QVRange run;
    const QVariant value = textStorage().attribute(QVTextStorage::ParserAttribute, range.location, &run);
    return QVTextStorage::objectOf<QVParser>(value) == parser && run.location <= range.location && run.end() >= range.end();
}

bool QVSyntaxHighlightingTextView::blockEndsAt(qint64 from, qint64 end, const QVParser& parser) const {
    const QVTextStorage& text = textStorage();
    const QStringList& closers = parser.closers();
    qint64 longest = 0;
    for (const QString& closer : closers) longest = std::max<qint64>(longest, closer.size());
    // The closer and what follows its name (an end tag ends the element only before a blank,
    // "/" or ">").
    const qint64 to = std::min(text.length(), end + longest + 1);
    if (from > end || longest == 0) return false;
    const QStringView scanned = text.characters(QVRange(from, to - from));
    qint64 found = scanned.size();
    for (qsizetype i = 0; i < closers.size(); ++i)
        if (!closers[i].isEmpty())
            found = std::min(found, parser.endOfEmbeddedBlock(scanned, 0, closers[i], i < parser.openers().size() && QVParser::opensElement(parser.openers()[i])));
    return from + found == end;
}

bool QVSyntaxHighlightingTextView::closerStandsIn(QVRange range, const QVParser* parser) const {
    const QVTextStorage& text = textStorage();
    for (const QString& closer : parser->closers()) {
        if (closer.isEmpty()) continue;
        // A closer may begin before the stretch and end in it, or begin in it and end after it;
        // one wholly outside it (the block's own end tag on the line after a long last line) was
        // not read.
        const qint64 from = std::max<qint64>(0, range.location - (closer.size() - 1));
        const qint64 to = std::min(text.length(), range.end() + (closer.size() - 1));
        bool found = false;
        qint64 at = from;
        while (!found && at < to) {
            // A window at a time, overlapping by the closer's length.
            const qint64 until = std::min(to, at + (qint64(1) << 16));
            found = indexOfCloser(text.characters(QVRange(at, until - at)), closer) >= 0;
            if (until >= to) break;
            at = until - closer.size();
        }
        if (found) return true;
    }
    return false;
}

bool QVSyntaxHighlightingTextView::colouredWholly(QVRange range, const QVParser* parser) const {
    if (range.length <= 0) return true;
    QVRange run;
    const QVTextStorage& text = textStorage();
    const QVariant value = text.attribute(QVTextStorage::ParserAttribute, range.location, &run);
    if (QVTextStorage::objectOf<QVParser>(value) != parser || run.location > range.location || run.end() < range.end()) return false;
    // A closer the block's strings, comments or regular expressions hid may end it after an
    // edit on its line (a slash taken away, say), or one that ended it may be hidden now.
    const QStringView characters = text.characters(range);
    for (const QString& closer : parser->closers())
        if (!closer.isEmpty() && indexOfCloser(characters, closer) >= 0) return false;
    return true;
}

void QVSyntaxHighlightingTextView::setColouringDeferred(bool flag) {
    if (_colouringDeferred == flag) return;
    _colouringDeferred = flag;
    _embeddedBoundaryEdited = _embeddedMarkerEdited = false;
    if (!flag) {
        scheduleIdleHighlighting();
        viewport()->update();
    }
}

bool QVSyntaxHighlightingTextView::insideMultiLineLiteral(qint64 location, qint64 newEnd) const {
    const QVTextStorage& text = textStorage();
    if (location <= 0 || newEnd >= text.length()) return false;
    QVRange multiLine, colour, language;
    if (!text.attribute(QVTextStorage::MultiLineAttribute, location - 1, &multiLine).toBool() || multiLine.end() <= newEnd) return false;
    // Letters put after a letter, digit or blank of the literal, or right after its opening
    // quote, part no escape, hole or end string from what they stand before (a literal ending in
    // a letter ends at a line's first word, below). Letters taken away join two characters, which
    // then must both be such.
    const QChar before = text.characterAt(location - 1);
    const bool parts = newEnd > location && (inertCharacter(before) || (multiLine.location == location - 1 && (before == u'"' || before == u'\'' || before == u'`')));
    if (!parts && (!inertCharacter(before) || !inertCharacter(text.characterAt(newEnd)))) return false;
    const QVariant shown = text.attribute(QVTextStorage::ForegroundColorAttribute, location - 1, &colour);
    text.attribute(QVTextStorage::ParserAttribute, location - 1, &language);
    const qint64 lineStart = text.lineRangeForRange(QVRange(location, 0)).location;
    // One colour across the edit, the string's or comment's own (code inside a template string's
    // ${} has another), and one language.
    if (colour.end() <= newEnd || language.end() <= newEnd ||
        text.attribute(QVTextStorage::ForegroundColorAttribute, multiLine.location) != shown)
        return false;
    // A line's first word may end a block of text (a heredoc's closing name).
    qint64 word = lineStart;
    while (word < location && text.characterAt(word).isSpace()) ++word;
    while (word < location && (text.characterAt(word).isLetterOrNumber() || text.characterAt(word) == u'_')) ++word;
    return word < location;
}

bool QVSyntaxHighlightingTextView::colourBreakInHeredoc(QVRange changeRange) {
    QVTextStorage& text = textStorage();
    if (!_parser || !_active || !UserDefaults::standard().boolForKey(QVHighlightKey)) return false;
    const qint64 location = changeRange.location;
    QVRange multiLine, colour;
    if (!text.attribute(QVTextStorage::MultiLineAttribute, location - 1, &multiLine).toBool()) return false;
    text.attribute(QVTextStorage::ForegroundColorAttribute, location - 1, &colour);
    const qint64 opener = std::max(multiLine.location, colour.location);
    const QVParser* owner = QVTextStorage::objectOf<QVParser>(text.attribute(QVTextStorage::ParserAttribute, location - 1));
    std::shared_ptr<QVParser> parser = owner == _parser.get() ? _parser : nullptr;
    for (const std::shared_ptr<QVParser>& sub : _parser->subparsers())
        if (sub.get() == owner) parser = sub;
    const auto literals = std::dynamic_pointer_cast<QVKeywordBasedParser>(parserWithTheme(parser));
    if (!literals || !literals->heredocAt(text, opener)) return false;
    // The first line the break begins.
    const QStringView typed = text.characters(changeRange);
    qsizetype breakAt = -1;
    for (qsizetype i = 0; i < typed.size() && breakAt < 0; ++i)
        if (typed[i] == u'\n' || typed[i] == u'\r') breakAt = i;
    if (breakAt < 0) return false;
    const qint64 next = text.lineRangeForRange(QVRange(location + breakAt, 0)).end();
    if (next <= location || next > text.length()) return false;
    // What was typed before it is the literal's text, as the rest of its line is; the literal
    // runs on at the edit, where the read of it goes on from.
    const QVRange before(location, next - location);
    text.beginEditing();
    text.addAttributes(_standardAttributes, before);
    text.removeAttribute(QVTextStorage::MultiLineAttribute, before);
    literals->colourOpenLiteral(text, opener, before, -1);
    text.endEditing();
    auto kept = std::find_if(_openLiterals.begin(), _openLiterals.end(), [&](const OpenLiteral& l) { return l.opener == opener; });
    if (kept == _openLiterals.end()) {
        if (_openLiterals.size() >= KeptLiterals) _openLiterals.erase(_openLiterals.begin());
        kept = _openLiterals.insert(_openLiterals.end(), {literals.get(), opener, {}});
    } else if (kept->parser != literals.get()) {
        *kept = {literals.get(), opener, {}};
    }
    std::erase_if(kept->stops, [&](const LiteralStop& stop) { return stop.position >= location; });
    kept->stops.push_back({location, {}});
    _highlightedUpTo = next;
    _oldColouringEnd = std::max(_oldColouringEnd, next);
    if (next >= text.length()) {
        _highlightedUpTo = _oldColouringEnd = text.length();
        _provisionalEditsEnd = 0;
        return true;
    }
    // The lines from the break on, read as a slice inside the literal reads them.
    if (colourInsideLiteral(next, EditSlice)) return true;
    _highlightedUpTo = text.lineRangeForRange(QVRange(location, 0)).location;
    return false;
}

bool QVSyntaxHighlightingTextView::insideHeredocBody(qint64 location, qint64 newEnd) const {
    const QVTextStorage& text = textStorage();
    if (location <= 0 || newEnd >= text.length()) return false;
    QVRange multiLine, colour, language;
    if (!text.attribute(QVTextStorage::MultiLineAttribute, location - 1, &multiLine).toBool() || multiLine.end() <= newEnd) return false;
    const QVariant shown = text.attribute(QVTextStorage::ForegroundColorAttribute, location - 1, &colour);
    const auto* literals = dynamic_cast<const QVKeywordBasedParser*>(
        QVTextStorage::objectOf<QVParser>(text.attribute(QVTextStorage::ParserAttribute, location - 1, &language)));
    const qint64 opener = std::max(multiLine.location, colour.location);
    if (!literals || colour.end() <= newEnd || language.end() <= newEnd || language.location > opener || !literals->heredocAt(text, opener))
        return false;
    // Past the opener's line, and past the first word of the edited line, which may close it.
    const qint64 lineStart = text.lineRangeForRange(QVRange(location, 0)).location;
    if (lineStart <= opener) return false;
    qint64 word = lineStart;
    while (word < location && (text.characterAt(word) == u' ' || text.characterAt(word) == u'\t')) ++word;
    while (word < location && (text.characterAt(word).isLetterOrNumber() || text.characterAt(word) == u'_' || text.characterAt(word).unicode() >= 0x80)) ++word;
    return word < location;
}

void QVSyntaxHighlightingTextView::highlightChangedRange(QVRange changeRange) {
    const bool heredocBodyOnly = _lastEditNotHeredocBody <= _inertSince;
    const bool oneEdit = _charactersRevision == _inertSince + 1;
    const bool breakInHeredoc = oneEdit && _lastEditBreakInHeredoc == _charactersRevision;
    const bool inert = _lastEditNotInert <= std::exchange(_inertSince, _charactersRevision);
    if (_colouringDeferred) {
        // textStorageEdited() made the edited lines provisional already.
        scheduleIdleHighlighting();
        return;
    }
    // Of the strings and comments the edited lines begin in, only whether they began further
    // back than an edit reads matters here; where the lines are coloured from a line before them,
    // safeStart() walks on. In a script whose every line begins inside a template string begun on
    // the line before, a walk to its first line would cost every key the script's length.
    QVRange range = rangeToHighlightForRange(changeRange, changeRange.location - LongLineEditReach - 1);
    bool quotesOnly = false;
    const bool touched = touchesEmbeddedBoundary(changeRange, &quotesOnly);
    const bool boundaryEdited = touched || _embeddedBoundaryEdited;
    // Only quotes or backslashes came, and nothing went: the block's end may move, but a parse in
    // the block's language that ends at a boundary of its own, or meets the old one again, leaves
    // that to what colours on from there.
    quotesOnly = touched && quotesOnly && !_embeddedBoundaryEdited;
    _embeddedBoundaryEdited = _embeddedMarkerEdited = false;
    if (!_active || range.location > _highlightedUpTo || changeRange.location - _finalAfterEdit > 2 * LongLineEditReach) {
        // Not coloured for real yet: show something now, the idle pass settles it. Of a long
        // line, only the stretch around the edit; what it shows is no old colouring to join.
        // So is an edit far ahead of the colouring on the line it has reached (a key at the end
        // of a line of megabytes just opened): a pass from there would colour the line to it.
        if (range.length > 2 * LongLineEditReach) {
            const qint64 from = std::max(range.location, changeRange.location - LongLineEditReach);
            range = QVRange(from, std::min(range.end(), changeRange.end() + LongLineEditReach) - from);
        }
        syntaxHighlight(range);
        _provisionalEditsEnd = std::max(_provisionalEditsEnd, range.end());
        scheduleIdleHighlighting();
        return;
    }
    const qint64 length = textStorage().length();
    if (inert && (!boundaryEdited || heredocBodyOnly) && changeRange.location - range.location > LongLineEditReach) {
        // Letters, digits or blanks put or taken amid others of a string or comment that began
        // far back: they begin and end nothing, so the lines keep the colours they took with the
        // characters, and the literal is not read again from its start.
        const qint64 linesEnd = textStorage().lineRangeForRange(changeRange).end();
        if (_finalAfterEdit < linesEnd) {
            // The colours were final only part of the way along the lines (a pass ended amid a
            // long one): as far as they were, they are.
            _highlightedUpTo = std::max(_highlightedUpTo, _finalAfterEdit);
            _oldColouringEnd = std::max(_oldColouringEnd, _highlightedUpTo);
            scheduleIdleHighlighting();
            return;
        }
        _highlightedUpTo = std::max(_highlightedUpTo, linesEnd);
        _oldColouringEnd = std::max(_oldColouringEnd, _highlightedUpTo);
        if (linesEnd < _oldColouringEnd && linesEnd > _provisionalEditsEnd) _highlightedUpTo = _oldColouringEnd;
        if (_highlightedUpTo >= _provisionalEditsEnd) _provisionalEditsEnd = 0;
        if (_highlightedUpTo < length) scheduleIdleHighlighting();
        return;
    }
    if (breakInHeredoc && _highlightedUpTo == textStorage().lineRangeForRange(QVRange(changeRange.location, 0)).location &&
        colourBreakInHeredoc(changeRange)) {
        if (_highlightedUpTo >= length) return;
        highlightSome(drawnEndAfter(changeRange.end()), 0);
        if (_highlightedUpTo < length) scheduleIdleHighlighting();
        return;
    }
    if (changeRange.location - range.location > LongLineEditReach || range.end() - changeRange.end() > 2 * LongLineEditReach) {
        // Any other key amid a string or comment that began far back (a backtick, a "${", a
        // line's first word): its lines on are coloured as an idle slice would colour them,
        // reading the literal's own text from the stop kept before them, not from its start.
        // So is a key on a line of megabytes that begins inside a tag or literal begun just
        // before it: a quote typed there turns every quote after it about, and the line would
        // be read to its end in the key's frame.
        const qint64 line = textStorage().lineRangeForRange(QVRange(changeRange.location, 0)).location;
        if (line > range.location && _highlightedUpTo == line && (colourInsideLiteral(line, EditSlice) || colourInsideTag(line, EditSlice))) {
            if (_highlightedUpTo >= length) return;
            highlightSome(drawnEndAfter(changeRange.end()), 0);
            if (_highlightedUpTo < length) scheduleIdleHighlighting();
            return;
        }
    }
    // The state the old colouring had where the coloured lines end. When the last character is
    // new (a line break just typed), the old colouring of the next line began elsewhere.
    const State before = stateAt(range.end() - 1);
    const bool newEnd = range.end() - 1 >= changeRange.location && range.end() - 1 < changeRange.end();
    const bool embedded = _activeParser && _activeParser != _parser;
    bool endsInBlock = false;
    // A key on a line of megabytes inside a block (a style rule holding a data: URI, a minified
    // script between its tags on one line): the block's parser colours from its checkpoint
    // before the edit until its parse meets the old one again; the block's end may move only
    // where a closer stands in what it read, and then the main parser colours the lines as below.
    // The look back for the literals the lines begin in stops short of the edit's reach: the
    // lines may still begin inside one (a string that runs over a long line onto the edited
    // one), where no parse may begin afresh; the main parser's way below finds where it can.
    const bool beginsInLiteral = [&] {
        if (range.location <= 0) return false;
        QVRange run;
        return textStorage().attribute(QVTextStorage::MultiLineAttribute, range.location - 1, &run).toBool() && run.location < range.location;
    }();
    QVRange blockLines = range;
    const bool blockMayEnd = boundaryEdited && !quotesOnly;
    if (embedded && !blockMayEnd && range.length > 2 * LongLineEditReach && !parsedWholly(range, _activeParser.get())) {
        // Only the block's stretch of the lines, where the edit lies wholly inside it: its parse
        // must then meet the old one before the block ends.
        QVRange run;
        const qint64 at = std::max(range.location, changeRange.location - (changeRange.length == 0 ? 1 : 0));
        if (QVTextStorage::objectOf<QVParser>(textStorage().attribute(QVTextStorage::ParserAttribute, at, &run)) == _activeParser.get() &&
            run.location < changeRange.location && run.end() > changeRange.end())
            blockLines = range.intersection(run);
    }
    if (embedded && !blockMayEnd && blockLines.length > 2 * LongLineEditReach && parsedWholly(blockLines, _activeParser.get()) &&
        (!beginsInLiteral || blockLines.location > range.location || blockLineResumes(blockLines, changeRange.location))) {
        const PassEnd pass = colourBlockLine(blockLines, changeRange.location, std::max(changeRange.end(), _provisionalEditsEnd),
                                             changeRange.end() + LongLineEditReach, _activeParser);
        // Where the block's stretch runs on to the lines' end (the block opened on the first of
        // them, as "<?php" before server code of megabytes on one line), the pass read all the
        // edit may change on them, as for whole lines.
        const bool toLinesEnd = blockLines.end() == range.end();
        // Where the block's end tag stands on the lines (a minified script between its tags on
        // one line), a pass that read on to it without meeting the old one (a key near it)
        // leaves the block ending there when the block's own scan from where the pass began
        // still ends there: the rest of the lines keep their colours. The main parser coloured
        // the lines again from the block's opener (about a second a key near the end of a 30 MB
        // one-line script).
        const bool toBlockEnd = !toLinesEnd && !pass.converged && pass.end == blockLines.end() &&
                                blockEndsAt(pass.resume, blockLines.end(), *_activeParser);
        // An element's end tag amid the lines is a checkpoint of the page's parser, where a key
        // after the block colours from: one a line break dropped (typed near it and taken back)
        // only a pass of the page's parser over the block makes again.
        const QStringList& closers = _activeParser->closers();
        const bool endTagKept = toLinesEnd || !std::any_of(closers.begin(), closers.end(), [](const QString& closer) { return closer.startsWith(u'<'); }) ||
                                isCheckpoint(blockLines.end());
        // A pass that ended at a boundary of the line a stretch past the edit (what the key
        // changed runs on, a string's quotes turned about): the colours up to there are final,
        // and idle slices go on inside the block from that boundary.
        const bool stopped = !pass.converged && pass.end < blockLines.end();
        if (stopped && endTagKept && !closerStandsIn(QVRange(pass.resume, pass.end - pass.resume), _activeParser.get())) {
            _highlightedUpTo = pass.end;
            _oldColouringEnd = std::max(_oldColouringEnd, pass.end);
            scheduleIdleHighlighting();
            return;
        }
        if (!stopped && (pass.converged || (!boundaryEdited && (toLinesEnd || toBlockEnd))) && endTagKept &&
            !closerStandsIn(QVRange(pass.resume, pass.end - pass.resume), _activeParser.get())) {
            if (pass.converged || toBlockEnd) {
                _highlightedUpTo = std::max(pass.end, _oldColouringEnd);
                if (_highlightedUpTo >= length) {
                    _highlightedUpTo = _oldColouringEnd = length;
                    _provisionalEditsEnd = 0;
                    return;
                }
                if (_highlightedUpTo >= _provisionalEditsEnd) _provisionalEditsEnd = 0;
                scheduleIdleHighlighting();
                return;
            }
            return finishChangedLines(range, before, newEnd, boundaryEdited, false);
        }
    }
    if (!embedded || boundaryEdited || beginsInLiteral || !colouredWholly(range, _activeParser.get())) {
        // The main parser colours the lines as the whole text would be only from where it can
        // start: not inside an embedded block, whose opener stands before it. This is also the
        // way when the lines reach out of the block or the edit may open or close one.
        qint64 entered = -1;
        qint64 start = safeStart(range.location, 0, &entered);
        // Inside a long line, from the checkpoint the edit left final; it ends where it meets the
        // old colouring past the edit, else a stretch past it (idle slices go on from there).
        qint64 resume = resumePoint(start, changeRange.location);
        // Inside a large embedded block, from a place of the walk before the edit (on a long
        // line, a checkpoint of the block's parse along it), in the block's language, rather
        // than from the block's opener.
        QVWalkPlace inside;
        if (resume == start && changeRange.location - start > LongLineEditReach) {
            inside = blockPlaceBefore(changeRange.location, InsideBlockReach);
            if (inside.position < 0 && entered > start && range.location - entered <= InsideBlockReach)
                inside = blockPlaceBefore(entered, InsideBlockReach - (range.location - entered));
            if (inside.position >= 0) start = resume = inside.position;
        }
        range = QVRange(start, range.end() - start);
        const PassEnd pass = colourPass(range, resume, std::max(changeRange.end(), _provisionalEditsEnd),
                                        changeRange.end() + LongLineEditReach, inside);
        if (pass.converged) {
            _highlightedUpTo = std::max(pass.end, _oldColouringEnd);
            if (_highlightedUpTo >= length) {
                _highlightedUpTo = _oldColouringEnd = length;
                _provisionalEditsEnd = 0;
                return;
            }
            if (_highlightedUpTo >= _provisionalEditsEnd) _provisionalEditsEnd = 0;
            scheduleIdleHighlighting();
            return;
        }
        if (pass.end < range.end()) {
            _highlightedUpTo = pass.end;
            _oldColouringEnd = std::max(_oldColouringEnd, pass.end);
            scheduleIdleHighlighting();
            return;
        }
        // The main parser ended a block the lines end inside at their end, as far as it could
        // see: the block's own end lies further on, where the edit may have moved it (a comment
        // begun hides a quote that hid it), which only a pass reaching further finds.
        const void* last = stateAt(range.end() - 1).parser;
        endsInBlock = last && last != _parser.get();
    } else {
        syntaxHighlight(range);
    }
    finishChangedLines(range, before, newEnd, boundaryEdited, endsInBlock);
}

void QVSyntaxHighlightingTextView::finishChangedLines(QVRange range, const State& before, bool newEnd, bool boundaryEdited, bool endsInBlock) {
    const qint64 length = textStorage().length();
    const bool changed = boundaryEdited || endsInBlock || newEnd || mustGoOn(before, stateAt(range.end() - 1));
    if (range.end() >= length) {
        _highlightedUpTo = _oldColouringEnd = length;
        _provisionalEditsEnd = 0;
        return;
    }
    _highlightedUpTo = std::max(_highlightedUpTo, range.end());
    _oldColouringEnd = std::max(_oldColouringEnd, _highlightedUpTo);
    if (!changed && range.end() < _oldColouringEnd && range.end() > _provisionalEditsEnd)
        _highlightedUpTo = _oldColouringEnd;
    if (_highlightedUpTo >= _provisionalEditsEnd) _provisionalEditsEnd = 0;
    if (!changed) {
        if (_highlightedUpTo < length) scheduleIdleHighlighting();
        return;
    }
    // The edit changed how the lines after it begin: colour them at once as far as they are
    // drawn, then on while idle until the colouring agrees with the old one again.
    _highlightedUpTo = range.end();
    highlightSome(drawnEndAfter(range.end()), 0);
    if (_highlightedUpTo < length) scheduleIdleHighlighting();
}

qint64 QVSyntaxHighlightingTextView::drawnEndAfter(qint64 at) const {
    // The lines drawn from at on, but of a page's line of megabytes only the stretch after at a
    // screen can show: a tag opened amid it that runs on to its end, or the rest of a script,
    // style or server block's line a key turned about, is coloured there while idle, a slice
    // at a time, not all before the key's frame.
    const QVTextStorage& text = textStorage();
    const qint64 drawnEnd = text.lineRange(std::max(lastVisibleLine(), text.lineOfPosition(at))).end();
    if (at <= 0 || !dynamic_cast<const QVTagBasedParser*>(_parser.get())) return drawnEnd;
    return std::min(drawnEnd, at + LongLineEditReach);
}

void QVSyntaxHighlightingTextView::finishHighlighting() {
    _idleTimer.stop();
    while (_highlightedUpTo < length()) highlightSome(length(), 0);
}

void QVSyntaxHighlightingTextView::restartHighlighting() {
    QVTextStorage& text = textStorage();
    const QVRange all(0, text.length());
    if (all.length > 0) {
        text.beginEditing();
        text.addAttributes(_standardAttributes, all);
        text.removeAttribute(QVTextStorage::MultiLineAttribute, all);
        text.endEditing();
    }
    _highlightedUpTo = 0;
    _oldColouringEnd = 0;
    _provisionalEditsEnd = 0;
    _openTags.clear();
    _literalAt = {};
    _inertSince = _charactersRevision;
    _checkpoints.clear();
    _paintedAhead = {};
    _settledBlock = {};
    _walkResume = -1;
    // Until the colours get there, the language at a place is settled by a walk from the
    // nearest place this finds before it (kept while the text and its language stay); a small
    // text is walked at once when asked.
    if (!wantsBoundaryIndex(text.length())) _boundaries.cancel();
    else if (!_boundaries.covers(_charactersRevision, _parser.get())) _boundaries.start(sharedTextStorage(), _parser, _charactersRevision);
    if (wantsBoundaryIndex(text.length())) readCompletionAhead();
    if (!_active || !UserDefaults::standard().boolForKey(QVHighlightKey) || !_parser) {
        // Nothing to parse: the standard attributes are the final colours.
        _highlightedUpTo = _oldColouringEnd = text.length();
        return;
    }
    if (text.length() == 0) return;
    if (isVisible()) {
        // A view on screen shows its first frame first: that paint colours what it shows and
        // starts the rest, unless no paint comes for a while.
        _idleTimer.start(FirstPaintWaitMs, this);
        _awaitingPaint = true;
    } else {
        scheduleIdleHighlighting();
    }
    viewport()->update();
}

void QVSyntaxHighlightingTextView::readCompletionAhead() {
    if (_completionReader.joinable() || !_parser) return;
    std::vector<std::shared_ptr<QVBundle>> bundles{_parser->bundle()};
    for (const std::shared_ptr<QVParser>& sub : _parser->subparsers())
        if (sub) bundles.push_back(sub->bundle());
    try {
        // The bundle reads its definition under its own lock: a key that comes first waits for
        // the read under way rather than starting one of its own.
        _completionReader = std::thread([bundles = std::move(bundles)] {
            for (const std::shared_ptr<QVBundle>& bundle : bundles)
                if (bundle) bundle->completionDefinition();
        });
    } catch (const std::system_error&) {
        // No thread to be had: the first key reads them.
    }
}

void QVSyntaxHighlightingTextView::scheduleIdleHighlighting() {
    if (!_active || (_highlightedUpTo >= length() && !placesToConfirm()) || (_idleTimer.isActive() && !_awaitingPaint)) return;
    _awaitingPaint = false;
    _idleTimer.start(0, this);
}

void QVSyntaxHighlightingTextView::timerEvent(QTimerEvent* event) {
    if (event->timerId() != _idleTimer.timerId()) {
        QVTextView::timerEvent(event);
        return;
    }
    _awaitingPaint = false;
    if (idleColouringHeld) {
        _idleTimer.start(IdleHeldPollMs, this);
        return;
    }
    _idleTimer.start(0, this);
    if (!_active || (_highlightedUpTo >= length() && !placesToConfirm())) {
        _idleTimer.stop();
        return;
    }
    if (_highlightedUpTo >= length() && !_confirmWaited) {
        // With the colours final, only places wait: their walk goes once typing pauses, so that
        // keys typed one after another each cost their own edit, not a walk of the stretch
        // between two places (what the walk reads does not change with the pause).
        _confirmWaited = true;
        _idleTimer.start(ConfirmPauseMs, this);
        return;
    }
    QElapsedTimer clock;
    clock.start();
    // Places to confirm share the tick with the colouring: half of it, in time and in work alike,
    // so that a tick bounded by characters gives the walk the lead a tick bounded by time does.
    const bool confirming = placesToConfirm();
    if (_highlightedUpTo < length())
        highlightSome(length(), confirming ? std::max<qint64>(1, idleBudgetMs / 2) : idleBudgetMs,
                      confirming && idleBudgetCharacters > 0 ? std::max<qint64>(1, idleBudgetCharacters / 2) : idleBudgetCharacters);
    // Edits that asked nothing (pastes) left the places after them unconfirmed: while idle, walk
    // on past them a stretch at a time, so that the next key ahead of the colouring does not
    // walk from the first of them to itself, and the next edit inside a block of the coloured
    // text colours from a place near it. Each walk reads a bounded stretch: one inside a literal
    // or comment that runs on past it is given up until the next edit.
    if (confirming && placesToConfirm()) {
        const qint64 certain = std::max<qint64>(0, _boundaries.certainUpTo());
        const qint64 from = std::max<qint64>(0, _boundaries.certainPlaceBefore(certain).position);
        const qint64 until = std::min(length(), certain + IdleWalkReach / 2);
        // Once the tick's time (or work) is up, the walk ends at the next place past the edit it
        // walks past; the next tick goes on from there.
        const qint64 budgetNs = idleBudgetMs * 1'000'000;
        const auto enough = [&](qint64 read) {
            return clock.nsecsElapsed() >= budgetNs || (idleBudgetCharacters > 0 && read >= idleBudgetCharacters);
        };
        quint64 walked = 0;
        if (certain - from <= IdleWalkReach)
            _boundaries.placeBefore(until, textStorage(), *_parser, &walked, until + IdleWalkReach / 2, enough);
        uncolouredWalkCount += walked;
        if (_boundaries.certainUpTo() == certain) _idleConfirmGivenUp = _charactersRevision;
    }
}

void QVSyntaxHighlightingTextView::willDrawLines(qint64 firstLine, qint64 lastLine) {
    if (!_active || _highlightedUpTo >= length()) return;
    const QVTextStorage& text = textStorage();
    lastLine = std::min(lastLine, text.lineCount() - 1);
    const qint64 drawnEnd = text.lineRange(lastLine).end();
    if (drawnEnd > _highlightedUpTo && drawnEnd - _highlightedUpTo <= DrawCatchUpLimit) {
        highlightSome(drawnEnd, 0);
    } else if (drawnEnd > _highlightedUpTo) {
        const qint64 from = std::max(_highlightedUpTo, text.lineStart(std::min(firstLine, text.lineCount() - 1)));
        // Up to _oldColouringEnd the colours before the last edits stand, good to show until the
        // colouring gets there (the walk that settles a drawn line's language ahead of it would
        // read from the edit, megabytes back on a long line, at every frame); what is drawn
        // there is no colouring to agree with all the same, as what is painted ahead is not.
        const auto paintAhead = [&](qint64 part, qint64 partEnd) {
            if (partEnd <= _oldColouringEnd) _provisionalEditsEnd = std::max(_provisionalEditsEnd, partEnd);
            else this->paintAhead(part, partEnd);
        };
        const QVTextLayoutManager& layout = layoutManager();
        if (layout.wraps()) {
            paintAhead(from, drawnEnd);
        } else {
            // Without wrapping a line of megabytes shows only the columns in view (its layout
            // holds a part around them, each character before it counted a blank wide): only
            // that part of it is painted ahead. Painting the rest of the line read megabytes at
            // every frame after a key on it, and dropped the checkpoints along it, so that the
            // colouring of the next key there could not meet the old one again either.
            const qreal blank = std::max<qreal>(1, layout.spaceWidth());
            const qint64 firstColumn = qint64(scrollOffset().x() / blank) - QVTextLayoutManager::LongLineLength;
            const qint64 lastColumn = qint64((scrollOffset().x() + viewport()->width()) / blank) + QVTextLayoutManager::LongLineLength;
            std::vector<QVRange> parts;
            for (qint64 line = text.lineOfPosition(from); line <= lastLine; ++line) {
                const QVRange whole = text.lineRange(line);
                QVRange shown = whole;
                if (whole.length > QVTextLayoutManager::LongLineLength) {
                    const qint64 start = whole.location + std::clamp<qint64>(firstColumn, 0, whole.length);
                    shown = QVRange(start, whole.location + std::clamp<qint64>(lastColumn, 0, whole.length) - start);
                }
                shown = shown.intersection(QVRange(from, drawnEnd - from));
                if (shown.isNotFound() || shown.length <= 0) continue;
                if (!parts.empty() && parts.back().end() == shown.location) parts.back().length += shown.length;
                else parts.push_back(shown);
            }
            for (const QVRange& part : parts) paintAhead(part.location, part.end());
        }
    }
    scheduleIdleHighlighting();
}

void QVSyntaxHighlightingTextView::paintAhead(qint64 from, qint64 to) {
    if (!_parser || !UserDefaults::standard().boolForKey(QVHighlightKey) || from >= to) return;
    if (_paintedAhead.revision != _charactersRevision) _paintedAhead = {_charactersRevision, {}};
    for (const QVRange& painted : _paintedAhead.ranges)
        if (painted.location <= from && to <= painted.end()) return;
    // The parts of the lines drawn (a few: those of long lines around the columns in view).
    if (_paintedAhead.ranges.size() >= 8) _paintedAhead.ranges.erase(_paintedAhead.ranges.begin());
    _paintedAhead.ranges.push_back(QVRange(from, to - from));
    QVTextStorage& text = textStorage();
    const QStringView drawn = text.characters(QVRange(from, to - from));
    // The language the drawn lines begin in: inside the block a key just settled, that block's;
    // else, once the places to walk from are known, the walk from the nearest one settles it
    // (a look back would read as far for each opener, at every repaint of an edited screen, and
    // miss the opener of a block of megabytes); places an edit before them left unconfirmed are
    // confirmed first, as the next key there would. Otherwise as far as the look-back tells: a
    // block opened there and not closed, else the language of the first end string they hold
    // before any opener (the rest of a block opened further back), else the main language.
    std::shared_ptr<QVParser> language;
    const bool settled = settledBlockHolds(from) || _boundaries.ready();
    // Where the drawn lines lie inside a block, its own parse begins at the line the walk's
    // place before them stands on, outside the block's strings and comments (a template
    // literal or comment running into the lines is coloured as such), when one is known.
    qint64 blockParseFrom = from;
    bool unknown = false;
    std::shared_ptr<QVTagBasedParser> markup;
    qint64 markupLt = -1;
    bool markupQuoted = false;
    if (settled) {
        const QVEmbeddedRange block = blockAhead(from);
        language = block.parser ? block.parser : _parser;
        const QVWalkPlace place = block.parser || !_boundaries.ready() ? QVWalkPlace() : _boundaries.certainPlaceBefore(from);
        if (place.block < 0 && place.literal >= 0 && from - place.position <= UncolouredReach) {
            // Inside a long comment or tag of the markup that runs on to them, the drawn lines
            // take its colours as far as it goes, not those of markup.
            markup = std::dynamic_pointer_cast<QVTagBasedParser>(parserWithTheme(_parser));
            markupQuoted = place.literal == QVTagBasedParser::MarkupQuotedValue;
            if (markup && markup->endOfOpenTag(text, place.blockStart, place.position, from, &markupQuoted) == -1) markupLt = place.blockStart;
        }
        if (block.parser && _boundaries.ready()) {
            QVWalkPlace place = _boundaries.certainPlaceBefore(from);
            const bool inLiteral = place.literal >= 0;
            if (inLiteral) {
                // A place inside a literal says nothing of the colours: the one before the literal does.
                const std::vector<QVWalkPlace>& all = _boundaries.places();
                auto before = std::upper_bound(all.begin(), all.end(), place.position,
                                               [](qint64 at, const QVWalkPlace& p) { return at < p.position; });
                while (before != all.begin() && std::prev(before)->literal >= 0) --before;
                place = before == all.begin() ? QVWalkPlace() : *std::prev(before);
            }
            // No place of the walk stands in the block before the drawn lines (a block shorter than
            // the walk's spacing, or one whose first line opens a literal): its scan begins afresh
            // at its own start.
            const qint64 begin = place.block >= 0 && place.blockStart == block.range.location ? place.position : block.range.location;
            if (begin >= _highlightedUpTo && begin <= from) {
                if (from - begin <= UncolouredReach) blockParseFrom = begin;
                // No line the block's scan begins afresh at stands near before the drawn ones: they
                // lie in a literal or comment longer than that, whose colours a parse begun near
                // them would get wrong. They keep the standard colours until coloured.
                else unknown = true;
            } else if (inLiteral) {
                // The literal began in the coloured lines: a parse begun at the drawn ones would
                // take its text for code, and a "?>" in a heredoc for the block's end, painting
                // the rest as markup.
                unknown = true;
            }
        }
    } else {
        bool bounded = false;
        language = findOpenSpecialBefore(from, openSpecialSearchFloor(from, &bounded));
    }
    if (!settled && language == _parser) {
        qsizetype first = drawn.size();
        for (const std::shared_ptr<QVParser>& sub : _parser->subparsers()) {
            if (!sub) continue;
            for (const QStringList* list : {&sub->openers(), &sub->closers()})
                for (const QString& marker : *list) {
                    const qsizetype at = marker.isEmpty() ? -1 : drawn.indexOf(marker, 0, Qt::CaseInsensitive);
                    if (at < 0 || at >= first) continue;
                    first = at;
                    language = list == &sub->closers() ? sub : _parser;
                }
        }
    }
    dropCheckpoints(blockParseFrom, to);
    text.beginEditing();
    text.addAttributes(_standardAttributes, QVRange(from, to - from));
    text.removeAttribute(QVTextStorage::MultiLineAttribute, QVRange(from, to - from));
    qint64 mainFrom = unknown ? to : from;
    if (markupLt >= 0) {
        const bool quotedAtFrom = markupQuoted;
        const qint64 end = markup->endOfOpenTag(text, markupLt, from, to, &markupQuoted);
        markup->colourOpenTag(text, markupLt, QVRange(from, to - from), quotedAtFrom, end);
        mainFrom = end >= 0 ? end : to;
    }
    if (language && language != _parser && !unknown) {
        const QStringView scanned = text.characters(QVRange(blockParseFrom, to - blockParseFrom));
        qint64 end = scanned.size();
        const QStringList& openers = language->openers();
        const QStringList& closers = language->closers();
        for (qsizetype i = 0; i < closers.size(); ++i)
            if (!closers[i].isEmpty())
                end = std::min(end, language->endOfEmbeddedBlock(scanned, 0, closers[i], i < openers.size() && QVParser::opensElement(openers[i])));
        if (blockParseFrom < from) {
            // The lines between the place and the drawn ones take the block's provisional colours too.
            text.addAttributes(_standardAttributes, QVRange(blockParseFrom, from - blockParseFrom));
            text.removeAttribute(QVTextStorage::MultiLineAttribute, QVRange(blockParseFrom, from - blockParseFrom));
        }
        parserWithTheme(language)->parseRange(QVRange(blockParseFrom, end), text);
        mainFrom = blockParseFrom + end;
    }
    if (mainFrom < to) {
        const QVEmbeddedRanges embedded = parserWithTheme(_parser)->parseRange(QVRange(mainFrom, to - mainFrom), text);
        for (const QVEmbeddedRange& part : embedded)
            if (part.parser) parserWithTheme(part.parser)->parseRange(part.range, text);
    }
    text.endEditing();
    // What is painted here is no colouring to agree with.
    _provisionalEditsEnd = std::max(_provisionalEditsEnd, to);
}

void QVSyntaxHighlightingTextView::textStorageEdited(const QVTextStorage::Edit& edit) {
    if (!(edit.editedMask & QVTextStorage::EditedCharacters)) {
        // Colours put on the block line by anything but its own passes may stand on another
        // parse from where they begin; the checkpoints before that stand on the colours kept.
        if (!_colouringBlockLine && !_blockLine.points.empty() && edit.editedRange.end() > _blockLine.from &&
            edit.editedRange.location <= _blockLine.points.back().position) {
            std::erase_if(_blockLine.points, [&](const Checkpoint& point) { return point.position > edit.editedRange.location; });
            if (_blockLine.points.empty()) _blockLine = {};
        }
        return;
    }
    ++_charactersRevision;
    _confirmWaited = false;
    if (edit.editedRange.location < _walkResume) _walkResume = -1;
    // A literal after the edit keeps its stops, moved with its text.
    const qint64 editedEnd = edit.editedRange.end() - edit.changeInLength;
    if (edit.editedRange.location < _literalAt.position) _literalAt = {};
    std::erase_if(_openLiterals, [&](const OpenLiteral& l) { return l.opener >= edit.editedRange.location && l.opener < editedEnd; });
    // Whether a "<" opens a tag reads only the text before it, and whether a comment, its first
    // four characters.
    std::erase_if(_openTags, [&](const OpenTag& tag) { return tag.lt + 4 > edit.editedRange.location; });
    // A comment ends at the first "-->" from its "<": one an edit took away stood before no stop
    // or end kept after the text that went, so those hold, moved, unless the edit brings one
    // (its text and the two characters on either side).
    std::optional<bool> bringsCommentEnd;
    for (OpenTag& tag : _openTags) {
        const qint64 at = edit.editedRange.location;
        const qint64 gone = edit.editedRange.end() - edit.changeInLength;
        if (tag.comment && tag.end >= 0 && at >= tag.end) continue;
        if (tag.comment && !bringsCommentEnd) {
            const QVTextStorage& text = textStorage();
            const qint64 from = std::max<qint64>(0, at - 2);
            const qint64 to = std::min(text.length(), edit.editedRange.end() + 2);
            bringsCommentEnd = to > from && text.characters(QVRange(from, to - from)).contains(u"-->");
        }
        const bool moves = tag.comment && !*bringsCommentEnd;
        std::erase_if(tag.stops, [&](std::pair<qint64, bool>& stop) {
            if (stop.first <= at) return false;
            if (!moves || stop.first < gone) return true;
            stop.first += edit.changeInLength;
            return false;
        });
        tag.end = moves && tag.end >= 0 && gone <= tag.end - 3 ? tag.end + edit.changeInLength : -1;
    }
    for (OpenLiteral& literal : _openLiterals) {
        if (literal.opener >= editedEnd) {
            literal.opener += edit.changeInLength;
            for (LiteralStop& stop : literal.stops) stop.position += edit.changeInLength;
        } else {
            std::erase_if(literal.stops, [&](const LiteralStop& stop) { return stop.position > edit.editedRange.location; });
        }
    }
    _boundaries.edited(edit.editedRange.location, edit.editedRange.length - edit.changeInLength, edit.editedRange.length);
    const qint64 location = edit.editedRange.location;
    const qint64 newEnd = edit.editedRange.end();
    const qint64 oldEnd = newEnd - edit.changeInLength;
    auto carry = [&](qint64 p) {
        if (p >= oldEnd) return p + edit.changeInLength;
        return p > location ? location : p;
    };
    const qint64 oldFinal = _highlightedUpTo;
    _finalAfterEdit = carry(oldFinal);
    // Where an earlier edit's colouring had got to while it still spread over the old
    // colouring: the colouring of this edit must go past it too, or the rest of the earlier
    // one's reach would keep the colours from before it.
    const qint64 unfinished = oldFinal < _oldColouringEnd ? carry(oldFinal) : 0;
    // Checkpoints whose parse read nothing from location on stay where they are; those after the
    // edit move with the text (they mark the old colouring there); the others go. A look for a
    // closing slash that found none (a slash taken to divide) finds none after the edit either,
    // unless the edit brings a slash, or a "\\" or "]" that frees one, or takes away a "\\", a
    // "[" or a line's end; so keys typed or deleted in a long line whose last slash stands far
    // before them keep the checkpoints in between.
    // The text that went is known when the change was asked for first.
    bool mayClose = oldEnd > location && (_replacing != QVRange(location, oldEnd - location) || _replacingMayClose);
    bool inert = oldEnd < oldFinal && (oldEnd == location || (_replacing == QVRange(location, oldEnd - location) && _replacingInert));
    const bool breaklessGone = oldEnd < oldFinal && (oldEnd == location || (_replacing == QVRange(location, oldEnd - location) && _replacingBreakless));
    _replacing = QVRange(QVRange::NotFound, 0);
    // Read only until both answers are known: a new text of 100 MB gives both at once.
    if (!mayClose || inert)
        for (const QChar c : textStorage().characters(edit.editedRange.intersection(QVRange(0, textStorage().length())))) {
            if (c == u'/' || c == u'\\' || c == u']') mayClose = true;
            if (inert && !inertCharacter(c)) inert = false;
            if (mayClose && !inert) break;
        }
    // Any key but a line break in a heredoc's or nowdoc's text, past its line's first word, ends
    // nothing and begins nothing there: the literal ends only at a line's first word.
    const bool heredocBody = breaklessGone && edit.editedRange.length <= HeredocBodyEdit &&
                             !textStorage().characters(edit.editedRange.intersection(QVRange(0, textStorage().length()))).contains(u'\n') &&
                             !textStorage().characters(edit.editedRange.intersection(QVRange(0, textStorage().length()))).contains(u'\r') &&
                             insideHeredocBody(location, newEnd);
    if (!heredocBody) _lastEditNotHeredocBody = _charactersRevision;
    // A line break put there (nothing taken but what holds none) ends the line's text as it was;
    // only the lines from the break on may close the literal.
    if (!heredocBody && breaklessGone && edit.editedRange.length <= HeredocBodyEdit && insideHeredocBody(location, newEnd))
        _lastEditBreakInHeredoc = _charactersRevision;
    if (!heredocBody && (!inert || !insideMultiLineLiteral(location, newEnd))) _lastEditNotInert = _charactersRevision;
    qint64 lastGood = -1;
    auto keepCheckpoints = [&](std::vector<Checkpoint>& points, qint64* good) {
        if (points.empty()) return;
        std::vector<Checkpoint> kept;
        kept.reserve(points.size());
        for (const Checkpoint& point : points) {
            if ((mayClose ? std::max(point.horizon, point.slashHorizon) : point.horizon) <= location) {
                kept.push_back({point.position, point.since, point.horizon, carry(point.slashHorizon)});
                if (good && point.position <= oldFinal) *good = point.position;
            } else if (point.position > oldEnd || (point.position == oldEnd && oldEnd == location && newEnd > location)) {
                // One where text was put (typed before a tag of megabytes) marks the old
                // colouring of what follows the new text.
                // One right at the end of the text that went would stand where the new text
                // ends, at the start of a line when a line's beginning was deleted: there it
                // would pass for a place to resume from, though it stood on the text before.
                kept.push_back({point.position + edit.changeInLength, point.since + edit.changeInLength,
                                point.horizon + edit.changeInLength, carry(point.slashHorizon)});
            }
        }
        points = std::move(kept);
    };
    keepCheckpoints(_checkpoints, &lastGood);
    if (location < _blockLine.from) _blockLine = {};
    else keepCheckpoints(_blockLine.points, nullptr);
    if (location < oldFinal) {
        // The edited line is no longer final, but for what lies before a checkpoint the edit
        // left alone; what was final after it is an old colouring.
        _highlightedUpTo = std::max(textStorage().lineRangeForRange(QVRange(location, 0)).location, lastGood);
        _oldColouringEnd = std::max(carry(_oldColouringEnd), carry(oldFinal));
    } else {
        _oldColouringEnd = carry(_oldColouringEnd);
    }
    _provisionalEditsEnd = std::max({carry(_provisionalEditsEnd), newEnd, unfinished});
    _oldColouringEnd = std::max(_oldColouringEnd, _highlightedUpTo);
    scheduleIdleHighlighting();
}
