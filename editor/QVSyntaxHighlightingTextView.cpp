// The editor's text-view base: bundle, theme colours, re-colouring and the active language.
#include "editor/QVSyntaxHighlightingTextView.h"

#include "editor/QVEditorNotifications.h"
#include "editor/QVLayoutManager.h"
#include "languages/QVBundle.h"
#include "languages/QVBundleRepository.h"
#include "languages/QVParser.h"
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

namespace {

const QString DefaultBundle = QStringLiteral("text.html");
// A slice of whole-text colouring: big enough to be cheap per call, small enough for idle time.
constexpr qint64 IdleSlice = 64 * 1024;
// The first slice after an edit that changed the lines below it.
constexpr qint64 EditSlice = 4 * 1024;
// Colouring catches up with what is drawn at once only over this distance; farther away the
// text is drawn with its provisional colours while idle colouring gets there.
constexpr qint64 DrawCatchUpLimit = 2 * 1024 * 1024;
constexpr qint64 IdleBudgetMs = 8;

// One cursor for every view; dropped whenever a view loads its colours again.
std::optional<QCursor>& sharedCursor() {
    static std::optional<QCursor> cursor;
    return cursor;
}

}  // namespace

QVSyntaxHighlightingTextView::QVSyntaxHighlightingTextView(QWidget* parent) : QVTextView(parent) {
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
    if (recompute) _activeParser = checkForOpenSpecialsBefore(selectedRange().location);
    return _activeParser;
}

std::shared_ptr<QVParser> QVSyntaxHighlightingTextView::checkForOpenSpecialsBefore(qint64 location) {
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
    std::shared_ptr<QVParser> found = findOpenSpecialBefore(position);
    if (memo.answers.size() >= 4) memo.answers.erase(memo.answers.begin());
    memo.answers.emplace_back(position, found == _parser ? nullptr : found);
    return found;
}

std::shared_ptr<QVParser> QVSyntaxHighlightingTextView::findOpenSpecialBefore(qint64 position) {
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
    qint64 searchStart = 0;  // shared by every sub-parser and opener
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
            const qint64 found = sub->endOfEmbeddedBlock(inside, 0, closer);
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

void QVSyntaxHighlightingTextView::adoptString(std::vector<char16_t>&& units, qsizetype length) {
    QVTextView::adoptString(std::move(units), length);
    if (!_active) _hadEventWhileInactive = true;
    restartHighlighting();
}

QVError QVSyntaxHighlightingTextView::insertText(const QString& text) {
    _insertingText = true;
    const QVError error = QVTextView::insertText(text);
    _insertingText = false;
    if (!text.isEmpty() && (text.at(0) == u'\n' || text.at(0) == u'\r'))
        _activeParser = checkForOpenSpecialsBefore(selectedRange().location);
    return error;
}

QVRange QVSyntaxHighlightingTextView::willChangeSelection(QVRange oldRange, QVRange newRange) {
    const qint32 moved = qint32(newRange.end() - oldRange.end());
    if (moved >= 2 || moved <= -2)
        _activeParser = checkForOpenSpecialsBefore(_insertingText ? oldRange.location : newRange.location);
    return newRange;
}

// --- Colouring --------------------------------------------------------------------------------

QVRange QVSyntaxHighlightingTextView::rangeToHighlightForRange(QVRange range) const {
    const QVTextStorage& text = textStorage();
    const qint64 length = text.length();
    const qint64 location = std::clamp<qint64>(range.location, 0, length);
    const QVRange lines = text.lineRangeForRange(QVRange(location, std::clamp<qint64>(range.length, 0, length - location)));
    // A string or comment that runs into the edited lines is coloured again from its start;
    // when that start lies on a line that itself begins inside another one, from that one's
    // start too, until a line begins outside of any. The edited lines always stay in.
    qint64 start = lines.location;
    while (start > 0) {
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

qint64 QVSyntaxHighlightingTextView::safeStart(qint64 position) const {
    const QVTextStorage& text = textStorage();
    qint64 p = std::clamp<qint64>(position, 0, text.length());
    // Back to a line that begins outside every string or comment and outside every embedded
    // block: the main parser can begin there (an embedded block's opener stands before it).
    for (;;) {
        p = text.lineRangeForRange(QVRange(p, 0)).location;
        if (p <= 0) return 0;
        QVRange run;
        if (text.attribute(QVTextStorage::MultiLineAttribute, p - 1, &run).toBool() && run.location < p) {
            p = run.location;
            continue;
        }
        QVParser* owner = QVTextStorage::objectOf<QVParser>(text.attribute(QVTextStorage::ParserAttribute, p - 1, &run));
        if (owner && owner != _parser.get() && run.location < p) {
            p = run.location;
            continue;
        }
        return p;
    }
}

bool QVSyntaxHighlightingTextView::colourWithMainParser(qint64 from, qint64 to) {
    const State before = stateAt(to - 1);
    _useMainParser = true;
    syntaxHighlight(QVRange(from, to - from));
    _useMainParser = false;
    return mustGoOn(before, stateAt(to - 1));
}

bool QVSyntaxHighlightingTextView::mustGoOn(const State& before, const State& after) {
    // A line that ends inside a string or comment hands it on to the next line, and the old
    // colouring may have seen another one there (a double- for a single-quoted string, say).
    return before != after || after.multiLine;
}

void QVSyntaxHighlightingTextView::highlightSome(qint64 until, qint64 budgetMs) {
    QElapsedTimer clock;
    clock.start();
    const QVTextStorage& text = textStorage();
    qint64 slice = budgetMs > 0 ? IdleSlice : EditSlice;
    while (_highlightedUpTo < std::min(until, text.length())) {
        const qint64 from = _highlightedUpTo;
        const qint64 start = safeStart(from);
        // A slice at least as long as the stretch it must go back over keeps the total linear.
        const qint64 reach = std::min(text.length(), from + std::max(slice, from - start));
        const qint64 to = std::max(text.lineRangeForRange(QVRange(reach, 0)).end(), from + 1);
        const bool changed = colourWithMainParser(start, std::min(to, text.length()));
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
        if (budgetMs > 0 && clock.elapsed() >= budgetMs) break;
        if (budgetMs <= 0) slice *= 2;
    }
}

bool QVSyntaxHighlightingTextView::shouldChangeTextInRange(QVRange range, const QString&) {
    // The text about to go may hold (or complete) an opener or closer; the new text is looked
    // at when it has arrived.
    if (touchesEmbeddedBoundary(range)) _embeddedBoundaryEdited = true;
    return true;
}

bool QVSyntaxHighlightingTextView::touchesEmbeddedBoundary(QVRange range) const {
    if (!_parser) return false;
    const QList<std::shared_ptr<QVParser>> subparsers = _parser->subparsers();
    if (subparsers.isEmpty()) return false;
    const QVTextStorage& text = textStorage();
    // A closer inside one of the embedded language's strings does not end its block, so quotes
    // and escapes move where a block ends.
    const QStringView changed = text.characters(range.intersection(QVRange(0, text.length())));
    for (const QChar c : changed)
        if (c == u'"' || c == u'\'' || c == u'\\') return true;
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
    return false;
}

bool QVSyntaxHighlightingTextView::colouredWholly(QVRange range, const QVParser* parser) const {
    if (range.length <= 0) return true;
    QVRange run;
    const QVariant value = textStorage().attribute(QVTextStorage::ParserAttribute, range.location, &run);
    return QVTextStorage::objectOf<QVParser>(value) == parser && run.location <= range.location && run.end() >= range.end();
}

void QVSyntaxHighlightingTextView::setColouringDeferred(bool flag) {
    if (_colouringDeferred == flag) return;
    _colouringDeferred = flag;
    _embeddedBoundaryEdited = false;
    if (!flag) {
        scheduleIdleHighlighting();
        viewport()->update();
    }
}

void QVSyntaxHighlightingTextView::highlightChangedRange(QVRange changeRange) {
    if (_colouringDeferred) {
        // textStorageEdited() made the edited lines provisional already.
        scheduleIdleHighlighting();
        return;
    }
    QVRange range = rangeToHighlightForRange(changeRange);
    const bool boundaryEdited = _embeddedBoundaryEdited || touchesEmbeddedBoundary(changeRange);
    _embeddedBoundaryEdited = false;
    if (!_active || range.location > _highlightedUpTo) {
        // Not coloured for real yet: show something now, the idle pass settles it.
        syntaxHighlight(range);
        scheduleIdleHighlighting();
        return;
    }
    // The state the old colouring had where the coloured lines end. When the last character is
    // new (a line break just typed), the old colouring of the next line began elsewhere.
    const State before = stateAt(range.end() - 1);
    const bool newEnd = range.end() - 1 >= changeRange.location && range.end() - 1 < changeRange.end();
    const bool embedded = _activeParser && _activeParser != _parser;
    if (!embedded || boundaryEdited || !colouredWholly(range, _activeParser.get())) {
        // The main parser colours the lines as the whole text would be only from where it can
        // start: not inside an embedded block, whose opener stands before it. This is also the
        // way when the lines reach out of the block or the edit may open or close one.
        const qint64 start = safeStart(range.location);
        range = QVRange(start, range.end() - start);
        _useMainParser = true;
        syntaxHighlight(range);
        _useMainParser = false;
    } else {
        syntaxHighlight(range);
    }
    const bool changed = boundaryEdited || newEnd || mustGoOn(before, stateAt(range.end() - 1));
    const qint64 length = textStorage().length();
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
    const qint64 drawnEnd = textStorage().lineRange(std::max(lastVisibleLine(), textStorage().lineOfPosition(range.end()))).end();
    highlightSome(drawnEnd, 0);
    if (_highlightedUpTo < length) scheduleIdleHighlighting();
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
    if (!_active || !UserDefaults::standard().boolForKey(QVHighlightKey) || !_parser) {
        // Nothing to parse: the standard attributes are the final colours.
        _highlightedUpTo = _oldColouringEnd = text.length();
        return;
    }
    if (text.length() == 0) return;
    scheduleIdleHighlighting();
    viewport()->update();
}

void QVSyntaxHighlightingTextView::scheduleIdleHighlighting() {
    if (_active && _highlightedUpTo < length() && !_idleTimer.isActive()) _idleTimer.start(0, this);
}

void QVSyntaxHighlightingTextView::timerEvent(QTimerEvent* event) {
    if (event->timerId() != _idleTimer.timerId()) {
        QVTextView::timerEvent(event);
        return;
    }
    if (!_active || _highlightedUpTo >= length()) {
        _idleTimer.stop();
        return;
    }
    highlightSome(length(), IdleBudgetMs);
    if (_highlightedUpTo >= length()) _idleTimer.stop();
}

void QVSyntaxHighlightingTextView::willDrawLines(qint64, qint64 lastLine) {
    if (!_active || _highlightedUpTo >= length()) return;
    const qint64 drawnEnd = textStorage().lineRange(std::min(lastLine, textStorage().lineCount() - 1)).end();
    if (drawnEnd > _highlightedUpTo && drawnEnd - _highlightedUpTo <= DrawCatchUpLimit) highlightSome(drawnEnd, 0);
    scheduleIdleHighlighting();
}

void QVSyntaxHighlightingTextView::textStorageEdited(const QVTextStorage::Edit& edit) {
    if (!(edit.editedMask & QVTextStorage::EditedCharacters)) return;
    ++_charactersRevision;
    const qint64 location = edit.editedRange.location;
    const qint64 newEnd = edit.editedRange.end();
    const qint64 oldEnd = newEnd - edit.changeInLength;
    auto carry = [&](qint64 p) {
        if (p >= oldEnd) return p + edit.changeInLength;
        return p > location ? location : p;
    };
    const qint64 oldFinal = _highlightedUpTo;
    // Where an earlier edit's colouring had got to while it still spread over the old
    // colouring: the colouring of this edit must go past it too, or the rest of the earlier
    // one's reach would keep the colours from before it.
    const qint64 unfinished = oldFinal < _oldColouringEnd ? carry(oldFinal) : 0;
    if (location < oldFinal) {
        // The edited line is no longer final; what was final after it is an old colouring.
        _highlightedUpTo = textStorage().lineRangeForRange(QVRange(location, 0)).location;
        _oldColouringEnd = std::max(carry(_oldColouringEnd), carry(oldFinal));
    } else {
        _oldColouringEnd = carry(_oldColouringEnd);
    }
    _provisionalEditsEnd = std::max({carry(_provisionalEditsEnd), newEnd, unfinished});
    _oldColouringEnd = std::max(_oldColouringEnd, _highlightedUpTo);
    scheduleIdleHighlighting();
}
