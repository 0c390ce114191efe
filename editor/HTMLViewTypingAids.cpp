// The editor's typing aids.
#include "editor/HTMLViewTypingAids.h"

#include "completion/QVCodeCompletion.h"
#include "completion/QVCodeCompletionViewController.h"
#include "completion/QVCompletionSheets.h"
#include "editor/HTMLView.h"
#include "editor/QVBeep.h"
#include "editor/QVSpecialCharacters.h"
#include "languages/QVBundle.h"
#include "languages/QVParser.h"
#include "platform/AppBundle.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"
#include "shell/StringParsing.h"
#include "shell/StringUtilities.h"

#include <QDateTime>
#include <QFileInfo>
#include <QKeyEvent>
#include <QPainter>

#include <algorithm>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <mutex>
#include <numeric>
#include <utility>
#include <vector>

namespace {

const QString TypingName = QStringLiteral("Typing");
const QString TagCompletionName = QStringLiteral("Tag Completion");
const QString CloseTagName = QStringLiteral("Close Tag");
const QString EntityName = QStringLiteral("Replace Character Entity");
const QString CodeCompleteName = QStringLiteral("Code Complete");
const QString IndentName = QStringLiteral("Indent Block");
const QString OutdentName = QStringLiteral("Outdent Block");
const QString AutoTabName = QStringLiteral("Auto Tab");
const QString LineBreakName = QStringLiteral("Set Line Break Type");

// How long a flashed bracket stays highlighted.
constexpr int FlashMilliseconds = 100;

bool setting(const char* key) { return UserDefaults::standard().boolForKey(QLatin1String(key)); }

bool isBlank(QChar c) { return c == u' ' || c == u'\t'; }

QString lineBreakCharacters(const QString& name) {
    if (name == QLatin1String("Unix")) return QStringLiteral("\n");
    if (name == QLatin1String("Mac")) return QStringLiteral("\r");
    return QStringLiteral("\r\n");
}

}  // namespace

// A scope in which the change request lets every change through.
struct HTMLViewTypingAids::AidEdit {
    explicit AidEdit(HTMLViewTypingAids& aids) : _aids(aids) { ++_aids._aidDepth; }
    ~AidEdit() { --_aids._aidDepth; }
    AidEdit(const AidEdit&) = delete;
    AidEdit& operator=(const AidEdit&) = delete;
    HTMLViewTypingAids& _aids;
};

HTMLViewTypingAids::HTMLViewTypingAids(HTMLView& view) : _view(view) {
    static std::once_flag engines;
    std::call_once(engines, [] {
        QVCodeCompletion::registerFactories();
        QVCompletionSheets::install();
    });
    _completionView = std::make_unique<QVCodeCompletionViewController>(&view);
    QObject::connect(_completionView.get(), &QVCodeCompletionViewController::doubleClicked, &view,
                     [this] { doCompletions(); });
    _flashTimer.setSingleShot(true);
    _flashTimer.setInterval(FlashMilliseconds);
    _tagBalanceTimer.setInterval(0);
    QObject::connect(&_tagBalanceTimer, &QTimer::timeout, &view, [this] { sumTagsAhead(); });
    _lineStopsTimer.setSingleShot(true);
    _lineStopsTimer.setInterval(0);
    QObject::connect(&_lineStopsTimer, &QTimer::timeout, &view, [this] { readLineStopsAhead(); });
    QObject::connect(&_flashTimer, &QTimer::timeout, &view, [this] {
        _flash = QVRange(QVRange::NotFound, 0);
        _view.viewport()->update();
    });
}

HTMLViewTypingAids::~HTMLViewTypingAids() {
    if (const std::shared_ptr<QVTextStorage> observed = _tagBalanceStorage.lock()) observed->removeObserver(_tagBalanceObserver);
}

// --- Edits of the aids ------------------------------------------------------------------------

void HTMLViewTypingAids::aidStep(const QString& actionName, const std::function<void()>& edit) {
    AidEdit scope(*this);
    _view.performUndoable(edit, actionName);
}

bool HTMLViewTypingAids::replace(QVRange range, const QString& text, const QVTextChange::Attachments& attachments) {
    AidEdit scope(*this);
    return _view.replaceRange(range, text, attachments);
}

QVRange HTMLViewTypingAids::lineAt(qint64 position) const {
    const QVTextStorage& storage = _view.textStorage();
    const qint64 line = storage.lineOfPosition(position);
    const qint64 start = storage.lineStart(line);
    return QVRange(start, storage.lineContentsEnd(line) - start);
}

// --- The change request -----------------------------------------------------------------------

bool HTMLViewTypingAids::shouldChangeTextInRange(QVRange range, const QString& replacement) {
    _view._changeRange = QVRange(range.location, replacement.size());
    _askedRange = range;
    _askedLength = replacement.size();
    const QVUndoManager& undo = _view.undoManager();
    if (_aidDepth > 0 || _view._escaped || undo.isUndoing() || undo.isRedoing()) {
        _typedAhead = {};
        return true;
    }
    const QVTextStorage& storage = _view.textStorage();
    // A key an aid has already put in (the blank after "border:", the rest of a closing tag
    // stepped over) is taken as typed, once, in order, while the caret stays put.
    TypedAhead ahead = std::exchange(_typedAhead, {});
    // A blank typed after a completed property's ": " passes over the colon as well.
    const bool overColon = replacement.size() == 1 && isBlank(replacement.at(0)) && ahead.rest.startsWith(u':') &&
                           ahead.rest.mid(1).startsWith(replacement.at(0));
    if (replacement.size() == 1 && range == QVRange(ahead.at, 0) && (ahead.rest.startsWith(replacement.at(0)) || overColon)) {
        ahead.rest.remove(0, overColon ? 2 : 1);
        if (!ahead.rest.isEmpty()) _typedAhead = ahead;
        return false;
    }
    // A closing tag typed by hand before one standing after the caret: stepped over once the
    // name and ">" typed are that tag's, else left as typed.
    const TypedClosing closing = std::exchange(_typedClosing, {});
    if (replacement.size() == 1 && closing.caret >= 0 && range == QVRange(closing.caret, 0)) {
        const QString typedSoFar = storage.substring(QVRange(closing.lt, closing.caret - closing.lt)) + replacement;
        const qint64 at = closing.caret + closing.gap;
        const bool standing = at + closing.tag.size() <= storage.length() &&
                              storage.characters(QVRange(at, closing.tag.size())).compare(closing.tag, Qt::CaseInsensitive) == 0;
        if (standing && closing.tag.startsWith(typedSoFar, Qt::CaseInsensitive)) {
            if (typedSoFar.size() < closing.tag.size()) {
                _typedClosing = closing;
                ++_typedClosing.caret;
                return true;
            }
            std::erase_if(_completedClosings, [&](const QVRange& put) { return put.location == at; });
            const qint64 after = closing.lt + closing.gap + closing.tag.size();
            aidStep(CloseTagName, [&] {
                replace(QVRange(closing.lt, closing.caret - closing.lt), QString());
                _view.QVTextView::setSelectedRange(QVRange(after, 0));
            });
            return false;
        }
    }
    if (replacement.size() != 1) return true;
    const QChar typed = replacement.at(0);
    if (typed == u'/') {
        // "</" typed before the closing tag ">" put there may be that tag typed by hand, whether
        // or not "</" closes the open element by itself: the name typed on tells.
        if (range.length == 0 && range.location > 0 && storage.characterAt(range.location - 1) == u'<' &&
            awaitCompletedClosing(range.location))
            return true;
        if (setting(QVAutoCompleteOnType) && range.location > 0 && storage.characterAt(range.location - 1) == u'<' &&
            tagContext(openTagBefore(range.location, true), range.location)) {
            // After the "/" is in the text, and only while the caret still stands right after
            // it: keys typed meanwhile have taken over.
            QPointer<HTMLView> view(&_view);
            const qint64 after = range.location + 1;
            QTimer::singleShot(0, &_view, [this, view, after] {
                if (view && _view.selectedRange() == QVRange(after, 0) && _view.textStorage().characterAt(after - 1) == u'/')
                    closeTag(true);
            });
        }
        return true;
    }
    if (typed == u'>') {
        const std::optional<QString> tag = openTagBefore(range.location, true);
        // A ">" that ends no tag (a comparison in a script, say) goes in as typed; a bare "<>"
        // gets no closing tag.
        if (!tag || tag->isEmpty() || !setting(QVAutoComplete) || !tagContext(tag, range.location)) return true;
        const bool deleteSpace = range.location > 0 && storage.characterAt(range.location - 1) == u' ';
        return autoComplete(*tag, range, deleteSpace);
    }
    if (typed == u'}') return bracketTyped(range, u'{');
    if (typed == u')') return bracketTyped(range, u'(');
    if (typed == u']') return bracketTyped(range, u'[');
    return true;
}

const QVParser* HTMLViewTypingAids::languageBefore(qint64 position) const {
    // The colours say which language the character before position is in, or will once final;
    // looking for open embedded blocks instead would search the text before it.
    if (position > 0)
        if (const QVParser* parser = _view.languageOfCharacter(position - 1)) return parser;
    return _view.activeParser(true).get();
}

bool HTMLViewTypingAids::tagContext(const std::optional<QString>& tag, qint64 position) const {
    const QVParser* parser = languageBefore(position);
    if (!parser) return false;
    const QString id = parser->identifier();
    if (id == QLatin1String("text.html")) return true;
    if (id == QLatin1String("text.css")) return tag && tag->compare(QLatin1String("style"), Qt::CaseInsensitive) == 0;
    if (id == QLatin1String("text.js")) return tag && tag->compare(QLatin1String("script"), Qt::CaseInsensitive) == 0;
    return false;
}

// --- Tags -------------------------------------------------------------------------------------

QVariantMap HTMLViewTypingAids::tagFormattingTable() {
    const QString path = AppBundle::main().pathForResource(QStringLiteral("specialTagFormatting"), QStringLiteral("plist"));
    if (path.isEmpty()) return {};
    // Read again whenever the file changed, without parsing it for every ">".
    static QString readPath;
    static QDateTime readTime;
    static qint64 readSize = -1;
    static QVariantMap table;
    const QFileInfo info(path);
    if (path != readPath || info.lastModified() != readTime || info.size() != readSize) {
        table = PropertyList::readFile(path).toMap();
        readPath = path;
        readTime = info.lastModified();
        readSize = info.size();
    }
    return table;
}

HTMLViewTypingAids::LineStop HTMLViewTypingAids::lineStopAt(qint64 lineStart, qint64 position) const {
    const QVTextStorage& storage = _view.textStorage();
    LineStops& kept = _lineStops;
    if (kept.storage != &storage || kept.lineStart != lineStart) kept = {&storage, lineStart, {LineStop{lineStart}}};
    // From the last stop at or before position: what lies before it is as it was read.
    auto from = std::upper_bound(kept.stops.begin(), kept.stops.end(), position,
                                 [](qint64 at, const LineStop& stop) { return at < stop.at; });
    LineStop stop = *std::prev(from);
    const bool extends = from == kept.stops.end();
    // Only quotes, backslashes, "<" and ">" change what a stop holds; the stretches between them
    // are passed over eight characters at a time where the processor allows.
    qint64 lastSpecial = stop.at - 1;  // a backslash run can only be pending right after one
    auto keep = [&](qint64 at) {
        if (!extends || at - kept.stops.back().at < StopSpacing) return;
        LineStop here = stop;
        here.at = at;
        here.escaping = stop.escaping && at == lastSpecial + 1;
        kept.stops.push_back(here);
    };
    auto special = [&](qint64 at, char16_t c) {
        keep(at);
        if (at > lastSpecial + 1) stop.escaping = false;
        if (c == u'\\') {
            stop.escaping = !stop.escaping;
        } else {
            if (c == u'"') {
                if (!stop.escaping) stop.quoted = !stop.quoted;
            } else if (c == u'<') {
                stop.lastLt = at;
                if (!stop.quoted) stop.lastLtOutside = at;
            } else if (!stop.quoted) {
                stop.lastGtOutside = at;
            }
            stop.escaping = false;
        }
        lastSpecial = at;
    };
    auto isSpecial = [](char16_t c) { return c == u'"' || c == u'\\' || c == u'<' || c == u'>'; };
    storage.segments(QVRange(stop.at, position - stop.at), [&](QStringView part) {
        const qint64 base = stop.at;
        const char16_t* units = reinterpret_cast<const char16_t*>(part.utf16());
        const qsizetype size = part.size();
        qsizetype i = 0;
#if defined(__SSE2__)
        // A block of eight without a backslash, and with none pending before it, is taken whole:
        // its quotes flip the state by their count, and its last "<" and ">" (and the last of
        // them outside quotes) come from the bits of the quotes before them.
        const __m128i quote = _mm_set1_epi16(u'"'), backslash = _mm_set1_epi16(u'\\'), lt = _mm_set1_epi16(u'<'), gt = _mm_set1_epi16(u'>');
        auto lastOutside = [&](unsigned marks, unsigned quotes) -> int {
            while (marks) {
                const int bit = 31 - __builtin_clz(marks);
                if (((__builtin_popcount(quotes & ((1u << bit) - 1)) & 1) != 0) == stop.quoted) return bit;
                marks &= ~(1u << bit);
            }
            return -1;
        };
        for (; i + 8 <= size; i += 8) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + i));
            const unsigned slashes = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi16(v, backslash))) & 0x5555u;
            const unsigned quotes = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi16(v, quote))) & 0x5555u;
            const unsigned lts = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi16(v, lt))) & 0x5555u;
            const unsigned gts = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi16(v, gt))) & 0x5555u;
            const qint64 at = base + i;
            if (!(slashes | quotes | lts | gts)) {
                keep(at);
                continue;
            }
            if (slashes || (stop.escaping && at == lastSpecial + 1)) {
                for (unsigned mask = slashes | quotes | lts | gts; mask; mask &= mask - 1) {
                    const int bit = __builtin_ctz(mask);
                    special(at + bit / 2, units[i + bit / 2]);
                }
                continue;
            }
            keep(at);
            if (lts) {
                stop.lastLt = at + (31 - __builtin_clz(lts)) / 2;
                if (const int bit = lastOutside(lts, quotes); bit >= 0) stop.lastLtOutside = at + bit / 2;
            }
            if (const int bit = lastOutside(gts, quotes); bit >= 0) stop.lastGtOutside = at + bit / 2;
            if (__builtin_popcount(quotes) & 1) stop.quoted = !stop.quoted;
            stop.escaping = false;
            lastSpecial = at + (31 - __builtin_clz(slashes | quotes | lts | gts)) / 2;
        }
#endif
        for (; i < size; ++i)
            if (isSpecial(units[i])) special(base + i, units[i]);
        stop.at = base + size;
        if (stop.at > lastSpecial + 1) stop.escaping = false;
        keep(stop.at);
    });
    return stop;
}

void HTMLViewTypingAids::readLineStopsAhead() {
    // While idle with the caret on a line of megabytes, the stops along it are read ahead a
    // stretch a tick, so that the first ">" typed there reads only what follows the last one.
    const QVTextStorage& storage = _view.textStorage();
    const qint64 caret = std::clamp<qint64>(_view.selectedRange().location, 0, storage.length());
    const qint64 line = storage.lineOfPosition(caret);
    const qint64 start = storage.lineStart(line);
    const qint64 end = storage.lineContentsEnd(line);
    if (end - start < LongLineStops) return;
    const bool kept = _lineStops.storage == &storage && _lineStops.lineStart == start && !_lineStops.stops.empty();
    const qint64 from = kept ? _lineStops.stops.back().at : start;
    if (end - from < StopSpacing) return;
    lineStopAt(start, std::min(end, from + StopsReadATick));
    _lineStopsTimer.start();
}

void HTMLViewTypingAids::textStorageEdited(const QVTextStorage::Edit& edit) {
    if (!(edit.editedMask & QVTextStorage::EditedCharacters) || _lineStops.lineStart < 0) return;
    // A stop tells of the text from its line's start to it: an edit at or after it leaves it.
    if (edit.editedRange.location < _lineStops.lineStart) {
        _lineStops = {};
        return;
    }
    std::erase_if(_lineStops.stops, [&](const LineStop& stop) { return stop.at > edit.editedRange.location; });
}

std::optional<QString> HTMLViewTypingAids::openTagBefore(qint64 position, bool inQuotesCheck) const {
    const QVTextStorage& storage = _view.textStorage();
    position = std::clamp<qint64>(position, 0, storage.length());
    const qint64 start = storage.lineStart(storage.lineOfPosition(position));
    // Quotes count from the line's start, read from the stop kept nearest before position.
    const LineStop line = lineStopAt(start, position);
    if (inQuotesCheck && line.quoted) return std::nullopt;
    if (line.lastLt < 0 || position - start == 1) return std::nullopt;
    // The last ">" outside quotes after the last "<": the tag is closed.
    if (line.lastGtOutside > line.lastLt) return std::nullopt;
    if (line.lastLt + 1 < position && storage.characterAt(line.lastLt + 1) == u'/') return std::nullopt;
    // The last "<" inside quotes gives way to the last one outside them.
    const qint64 lt = line.lastLtOutside;
    if (lt < 0) return std::nullopt;
    qint64 end = lt + 1;
    while (end < position && storage.characterAt(end) != u' ' && storage.characterAt(end) != u'/') ++end;
    return storage.substring(QVRange(lt + 1, end - lt - 1));
}

bool HTMLViewTypingAids::autoComplete(const QString& typedName, QVRange range, bool deleteSpace) {
    QString name = typedName;
    if (name.startsWith(QLatin1String("!--"))) name = QStringLiteral("!--");
    const qint64 value = tagFormattingTable().value(name.toLower(), 0).toLongLong();
    const QVTextStorage& storage = _view.textStorage();
    // The space before the ">" goes in the same step as the ">".
    auto dropSpace = [&] {
        if (!deleteSpace) return;
        replace(QVRange(range.location - 1, 1), QString());
        range.location -= 1;
    };
    auto placeCaret = [&](qint64 at) { _view.QVTextView::setSelectedRange(QVRange(at, 0)); };

    if (value == 1 && _view.isXHTML() && (range.end() == 0 || storage.characterAt(range.end() - 1) != u'/')) {
        aidStep(TagCompletionName, [&] {
            dropSpace();
            replace(range, QStringLiteral(" />"));
        });
        return false;
    }
    if (value == -1 || value == 1) {
        aidStep(TagCompletionName, [&] {
            dropSpace();
            replace(range, QStringLiteral(">"));
        });
        return false;
    }
    // The selected text stays where it is (collapsed regions and all); the ">" goes before it
    // and the rest of the completion around it.
    aidStep(TypingName, [&] {
        dropSpace();
        replace(QVRange(range.location, 0), QStringLiteral(">"));
    });
    const qint64 selectedStart = range.location + 1;
    const qint64 selectedEnd = selectedStart + range.length;
    const QString closing = QStringLiteral("</%1>").arg(name);
    aidStep(TagCompletionName, [&] {
        if (value == 3) {
            const QString indentation = tabSpacesForRange(QVRange(range.location, 0));
            const QString& lineBreak = _view._lineBreak;
            const QString opening = lineBreak + indentation + indentationStep(range.location);
            replace(QVRange(selectedEnd, 0), lineBreak + indentation + closing);
            replace(QVRange(selectedStart, 0), opening);
            placeCaret(selectedEnd + opening.size());
            _completedClosings.emplace_back(selectedEnd + opening.size() + lineBreak.size() + indentation.size(), closing.size());
        } else {
            replace(QVRange(selectedEnd, 0), closing);
            placeCaret(selectedEnd);
            _completedClosings.emplace_back(selectedEnd, closing.size());
        }
    });
    return false;
}

bool HTMLViewTypingAids::awaitCompletedClosing(qint64 caret) {
    const QVTextStorage& storage = _view.textStorage();
    qint64 tag = caret;
    while (tag < storage.length() && storage.characterAt(tag).isSpace()) ++tag;
    const auto found = std::find_if(_completedClosings.begin(), _completedClosings.end(),
                                    [&](const QVRange& closing) { return closing.location == tag; });
    if (found == _completedClosings.end() || found->end() > storage.length()) return false;
    const QString closing = storage.substring(*found);
    if (!closing.startsWith(QLatin1String("</")) || !closing.endsWith(u'>')) {
        _completedClosings.erase(found);
        return false;
    }
    // The "/" goes in as typed.
    _typedClosing = {caret - 1, caret + 1, tag - caret, closing};
    return true;
}

void HTMLViewTypingAids::observeTextStorage() {
    const std::shared_ptr<QVTextStorage> shared = _view.sharedTextStorage();
    const std::shared_ptr<QVTextStorage> observed = _tagBalanceStorage.lock();
    if (observed == shared) return;
    if (observed) observed->removeObserver(_tagBalanceObserver);
    _tagBalance.clear();
    _tagBalanceStorage = shared;
    if (!shared) return;
    _tagBalanceObserver = shared->addObserver([this, storage = shared.get()](const QVTextStorage::Edit& edit) {
        if (!(edit.editedMask & QVTextStorage::EditedCharacters)) return;
        // What a key or a short paste brings in tells whether the tags before it change.
        const qint64 length = edit.editedRange.length;
        const QString inserted = length <= 4096 ? storage->substring(edit.editedRange) : QString();
        _tagBalance.edited(edit.editedRange.location, length - edit.changeInLength, length,
                           length <= 4096 ? std::optional<QStringView>(inserted) : std::nullopt);
        // A text set or pasted whole: its tags are summed while idle, ahead of the first Close Tag.
        if (edit.editedRange.length >= SumAheadFrom) _tagBalanceTimer.start();
    });
}

void HTMLViewTypingAids::sumTagsAhead() {
    const std::shared_ptr<QVTextStorage> storage = _tagBalanceStorage.lock();
    if (!storage || storage->length() < SumAheadFrom ||
        !_tagBalance.sumAhead([&storage](qint64 from, qint64 end) { return storage->characters(QVRange(from, end - from)); },
                              storage->length(), SumAheadTick, tagFormattingTable()))
        _tagBalanceTimer.stop();
}

QString HTMLViewTypingAids::unclosedElementBefore(const QVTextStorage& storage, qint64 caret) {
    observeTextStorage();
    return _tagBalance.unclosedElementBefore(
        caret, [&storage](qint64 from, qint64 to) { return storage.characters(QVRange(from, to - from)); }, tagFormattingTable());
}

void HTMLViewTypingAids::closeTag(bool typing) {
    const QVTextStorage& storage = _view.textStorage();
    const qint64 caret = std::clamp<qint64>(_view.selectedRange().location, 0, storage.length());
    const QString found = unclosedElementBefore(storage, caret);
    if (found.isEmpty()) {
        QVBeep::beep();
        return;
    }
    // What of "</" stands typed before the caret.
    const QString before = storage.substring(QVRange(std::max<qint64>(caret - 2, 0), std::min<qint64>(caret, 2)));
    const qint64 typed = before.endsWith(QLatin1String("</")) ? 2 : before.endsWith(u'<') ? 1 : 0;
    const QString closing = QStringLiteral("</%1>").arg(found);
    const QVRange selection = _view.selectedRange();
    // The element may be closed after the caret already, with nothing but blanks and line breaks
    // between (">" completed it, a block's tag on a line of its own).
    qint64 tag = caret;
    while (tag < storage.length() && storage.characterAt(tag).isSpace()) ++tag;
    const QString after = storage.substring(QVRange(tag, std::min<qint64>(closing.size(), storage.length() - tag)));
    if (typed > 0 && selection.length == 0 && after.compare(closing, Qt::CaseInsensitive) == 0) {
        if (typing) {
            // A user typing "</" there may mean another tag: the name typed on tells.
            _typedClosing = {caret - typed, caret, tag - caret, after};
            return;
        }
        // Then the typed part goes and the caret steps over the closing tag.
        const qint64 past = tag - typed + closing.size();
        aidStep(CloseTagName, [&] {
            replace(QVRange(caret - typed, typed), QString());
            _view.QVTextView::setSelectedRange(QVRange(past, 0));
        });
        // The name and ">" a user types on are the ones stepped over.
        _typedAhead = {past, closing.mid(typed)};
        return;
    }
    aidStep(CloseTagName, [&] { replace(selection, closing.mid(typed)); });
}

// --- Brackets ---------------------------------------------------------------------------------

QVRange HTMLViewTypingAids::matchingBracketBefore(qint64 position, QChar open, QChar close) const {
    // An unmatched closer reads back as far as the reach (a ")" typed in a page's prose): the
    // text's pieces are read in windows, eight characters at a time where neither bracket
    // stands, not a character at a time through the piece table. Past the reach the look gives
    // up, so a key costs the same on a page of a gigabyte.
    const QVTextStorage& storage = _view.textStorage();
    const char16_t opener = open.unicode(), closer = close.unicode();
    qint64 count = 0;
    std::vector<QStringView> parts;
    const qint64 from = std::min(position, storage.length());
    const qint64 floor = std::max<qint64>(0, from - BracketReach);
    for (qint64 end = from; end > floor;) {
        const qint64 start = std::max<qint64>(floor, end - (qint64(1) << 16));
        parts.clear();
        storage.segments(QVRange(start, end - start), [&](QStringView part) { parts.push_back(part); });
        qint64 partEnd = end;
        for (auto part = parts.rbegin(); part != parts.rend(); ++part) {
            const char16_t* units = reinterpret_cast<const char16_t*>(part->utf16());
            const qint64 partStart = partEnd - part->size();
            qsizetype i = part->size();
            while (i > 0) {
#if defined(__SSE2__)
                if (i >= 8) {
                    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + i - 8));
                    const __m128i either = _mm_or_si128(_mm_cmpeq_epi16(v, _mm_set1_epi16(short(opener))),
                                                        _mm_cmpeq_epi16(v, _mm_set1_epi16(short(closer))));
                    if (_mm_movemask_epi8(either) == 0) {
                        i -= 8;
                        continue;
                    }
                }
#endif
                const char16_t c = units[--i];
                if (c == closer) {
                    ++count;
                } else if (c == opener) {
                    if (count == 0) return QVRange(partStart + i, 1);
                    --count;
                }
            }
            partEnd = partStart;
        }
        end = start;
    }
    return QVRange(QVRange::NotFound, floor > 0 ? 1 : 0);
}

QVRange HTMLViewTypingAids::matchingBracketAfter(qint64 position, QChar open, QChar close) const {
    const QVTextStorage& storage = _view.textStorage();
    qint64 count = 0;
    const qint64 from = std::clamp<qint64>(position, 0, storage.length());
    const qint64 until = std::min(storage.length(), from + BracketReach);
    for (qint64 at = from; at < until;) {
        const qint64 end = std::min(until, at + (qint64(1) << 16));
        const QStringView window = storage.characters(QVRange(at, end - at));
        for (qsizetype i = 0; i < window.size(); ++i) {
            const QChar c = window[i];
            if (c == open) {
                ++count;
            } else if (c == close) {
                if (count == 0) return QVRange(at + i, 1);
                --count;
            }
        }
        at = end;
    }
    return QVRange(QVRange::NotFound, until < storage.length() ? 1 : 0);
}

void HTMLViewTypingAids::tempHighlightRange(QVRange range) {
    _flash = range;
    _flashTimer.start();
    _view.viewport()->update();
}

void HTMLViewTypingAids::drawBackground(QPainter& painter) {
    if (_flash.isNotFound() || _flash.end() > _view.length()) return;
    QVTextLayoutManager& layout = _view.layoutManager();
    const QRectF from = layout.caretRect(_flash.location);
    const QRectF to = layout.caretRect(_flash.end());
    const qreal right = to.top() == from.top() ? to.left() : from.left() + layout.spaceWidth();
    painter.fillRect(QRectF(from.left(), from.top(), std::max<qreal>(right - from.left(), 2), from.height())
                         .translated(-_view.scrollOffset()),
                     _view.selectedTextBackgroundColor());
}

bool HTMLViewTypingAids::bracketTyped(QVRange range, QChar opener) {
    const QChar closer = opener == u'{' ? u'}' : opener == u'(' ? u')' : u']';
    const QVRange match = matchingBracketBefore(range.location, opener, closer);
    if (match.isNotFound()) {
        // Beyond the reach no match is shown, and none is said to be missing.
        if (match.length == 0) QVBeep::beep();
        return true;
    }
    tempHighlightRange(match);
    if (opener != u'{' || range.length > 0) return true;
    return useWhitespaceFromLineWithRange(match, range.location);
}

bool HTMLViewTypingAids::useWhitespaceFromLineWithRange(QVRange opener, qint64 position) {
    const QVRange line = lineAt(position);
    const QVTextStorage& storage = _view.textStorage();
    for (qint64 i = line.location; i < line.end(); ++i)
        if (!isBlank(storage.characterAt(i))) return true;
    const QString text = tabSpacesForRange(opener) + u'}';
    aidStep(TypingName, [&] { replace(line, text); });
    return false;
}

// --- Indentation ------------------------------------------------------------------------------

QString HTMLViewTypingAids::tabSpacesForRange(QVRange range) const {
    const QVTextStorage& storage = _view.textStorage();
    const QVRange line = lineAt(std::clamp<qint64>(range.location, 0, storage.length()));
    const QString step = StringUtilities::tabSpaces();
    QString indentation;
    for (qint64 i = line.location; i < line.end(); ++i) {
        const QChar c = storage.characterAt(i);
        if (c == u' ') indentation += c;
        else if (c == u'\t') indentation += step;
        else break;
    }
    return indentation;
}

QString HTMLViewTypingAids::tabIndex() const { return tabSpacesForRange(_view.selectedRange()); }

QString HTMLViewTypingAids::indentationStep(qint64 position) const {
    const QVTextStorage& storage = _view.textStorage();
    // The line's own indentation, else that of the nearest indented line before it, tells tabs
    // from spaces; a step of spaces is as wide as the widths of the lines indented with spaces
    // near it have in common.
    constexpr qint64 LinesLookedAt = 200;
    const qint64 line = storage.lineOfPosition(std::clamp<qint64>(position, 0, storage.length()));
    qint64 common = 0;
    bool tabs = false;
    bool decided = false;
    for (qint64 l = line; l >= 0 && l > line - LinesLookedAt; --l) {
        const qint64 start = storage.lineStart(l);
        const qint64 end = storage.lineContentsEnd(l);
        qint64 blanks = start;
        while (blanks < end && isBlank(storage.characterAt(blanks))) ++blanks;
        if (blanks == start || blanks == end) continue;  // unindented or blank
        if (!decided) {
            decided = true;
            tabs = storage.characterAt(start) == u'\t';
            if (tabs) break;
        }
        bool spaces = true;
        for (qint64 i = start; i < blanks && spaces; ++i) spaces = storage.characterAt(i) == u' ';
        if (spaces) common = std::gcd(common, blanks - start);
    }
    if (!decided) return StringUtilities::tabSpaces();
    if (tabs || common == 0) return QStringLiteral("\t");
    return QString(qsizetype(common), u' ');
}

namespace {

// The lines a selection touches: a selection ending at a line's start leaves that line out.
std::pair<qint64, qint64> selectedLines(const QVTextStorage& storage, QVRange selection) {
    const qint64 first = storage.lineOfPosition(selection.location);
    qint64 last = storage.lineOfPosition(selection.end());
    if (selection.length > 0 && last > first && storage.lineStart(last) == selection.end()) --last;
    return {first, last};
}

}  // namespace

void HTMLViewTypingAids::entabBlock() {
    const QVTextStorage& storage = _view.textStorage();
    const QVRange selection = _view.selectedRange();
    const auto [first, last] = selectedLines(storage, selection);
    const QString step = StringUtilities::tabSpaces();
    const qint64 from = storage.lineStart(first);
    const qint64 to = storage.lineContentsEnd(last);
    // Where a step goes, in the old text.
    std::vector<qint64> inserts;
    for (qint64 line = first; line <= last; ++line) {
        const qint64 start = storage.lineStart(line);
        // The empty line after a final line break stays empty.
        if (start == storage.length() && line > 0) continue;
        inserts.push_back(start);
    }
    if (inserts.empty() || step.isEmpty()) return;
    QString text;
    text.reserve(to - from + qsizetype(inserts.size()) * step.size());
    qint64 at = from;
    for (const qint64 insert : inserts) {
        text += storage.characters(QVRange(at, insert - at));
        text += step;
        at = insert;
    }
    text += storage.characters(QVRange(at, to - at));
    QVTextChange::Attachments attachments = QVTextChange::attachmentsIn(storage, QVRange(from, to - from));
    for (auto& [offset, attachment] : attachments) {
        const qint64 old = from + offset;
        offset += qint64(std::upper_bound(inserts.begin(), inserts.end(), old) - inserts.begin()) * step.size();
    }
    // A position moves with the steps inserted before it; the selection's start stays at its
    // line's start, so that the new indentation is selected, while a caret moves with its line.
    auto moved = [&](qint64 position, bool withLineStart) {
        const auto end = withLineStart ? std::upper_bound(inserts.begin(), inserts.end(), position)
                                       : std::lower_bound(inserts.begin(), inserts.end(), position);
        return position + qint64(end - inserts.begin()) * step.size();
    };
    aidStep(IndentName, [&] { replace(QVRange(from, to - from), text, attachments); });
    const QVRange chosen = selection.length == 0
                               ? QVRange(moved(selection.location, true), 0)
                               : QVRange(moved(selection.location, false), 0);
    const qint64 end = selection.length == 0 ? chosen.location : moved(selection.end(), false);
    _view.QVTextView::setSelectedRange(QVRange(chosen.location, end - chosen.location));
    _view.scrollRangeToVisible(QVRange(chosen.location, 0));
}

void HTMLViewTypingAids::detabBlock() {
    const QVTextStorage& storage = _view.textStorage();
    const QVRange selection = _view.selectedRange();
    const auto [first, last] = selectedLines(storage, selection);
    const qint64 size = std::max<qint64>(1, UserDefaults::standard().integerForKey(QLatin1String(QVTabSizeKey)));
    const qint64 from = storage.lineStart(first);
    const qint64 to = storage.lineContentsEnd(last);
    std::vector<QVRange> removals;
    for (qint64 line = first; line <= last; ++line) {
        const qint64 start = storage.lineStart(line);
        const qint64 end = storage.lineContentsEnd(line);
        if (start < end && storage.characterAt(start) == u'\t') {
            removals.emplace_back(start, 1);
            continue;
        }
        qint64 spaces = 0;
        while (spaces < size && start + spaces < end && storage.characterAt(start + spaces) == u' ') ++spaces;
        if (spaces == size) removals.emplace_back(start, size);
    }
    if (removals.empty()) return;
    QString text;
    text.reserve(to - from);
    qint64 at = from;
    for (const QVRange& removal : removals) {
        text += storage.characters(QVRange(at, removal.location - at));
        at = removal.end();
    }
    text += storage.characters(QVRange(at, to - at));
    // Characters removed before each removal (removals are in text order).
    std::vector<qint64> removedBefore(removals.size() + 1, 0);
    for (size_t i = 0; i < removals.size(); ++i) removedBefore[i + 1] = removedBefore[i] + removals[i].length;
    auto moved = [&](qint64 position) {
        const auto after = std::lower_bound(removals.begin(), removals.end(), position,
                                            [](const QVRange& r, qint64 p) { return r.location < p; });
        const size_t i = size_t(after - removals.begin());
        qint64 removed = removedBefore[i];
        if (i > 0) removed -= std::max<qint64>(0, removals[i - 1].end() - position);
        return position - removed;
    };
    QVTextChange::Attachments attachments = QVTextChange::attachmentsIn(storage, QVRange(from, to - from));
    for (auto& [offset, attachment] : attachments) offset = moved(from + offset) - from;
    aidStep(OutdentName, [&] { replace(QVRange(from, to - from), text, attachments); });
    const qint64 start = moved(selection.location);
    _view.QVTextView::setSelectedRange(QVRange(start, moved(selection.end()) - start));
    _view.scrollRangeToVisible(QVRange(start, 0));
}

// --- Return, Tab, Escape ----------------------------------------------------------------------

void HTMLViewTypingAids::insertNewline() {
    if (doCompletions()) return;
    QString text = _view._lineBreak;
    if (!_view._escaped && setting(QVAutoTabKey)) {
        const qint64 caret = _view.selectedRange().location;
        const QVRange line = lineAt(caret);
        const QVTextStorage& storage = _view.textStorage();
        for (qint64 i = line.location; i < caret && isBlank(storage.characterAt(i)); ++i) text += storage.characterAt(i);
        if (caret > 0 && storage.characterAt(caret - 1) == u'{') text += indentationStep(caret);
    }
    _view.performUndoable([&] { _view.insertText(text); }, QString());
}

void HTMLViewTypingAids::insertTab() {
    if (doCompletions()) return;
    const QVTextStorage& storage = _view.textStorage();
    const QVRange selection = _view.selectedRange();
    const qint64 s = selection.location;
    const QVRange line = lineAt(s);
    const qint64 column = s - line.location;
    if (!_view._escaped && column != 0) {
        bool written = false;
        for (qint64 i = line.location; i < s && !written; ++i) written = !storage.characterAt(i).isSpace();
        const qint64 lineEnd = storage.lineRange(storage.lineOfPosition(s)).end();
        const std::shared_ptr<QVParser> parser = written ? _view.activeParser(true) : nullptr;
        if (parser && selection.end() <= lineEnd) {
            // The placeholders after the selection on its line.
            const QString text = storage.substring(QVRange(line.location, lineEnd - line.location));
            const QVRange next = parser->nextSignificantRangeInString(text, QVRange(s - line.location, selection.length));
            if (!next.isNotFound() && next.location >= 0) {
                _view.QVTextView::setSelectedRange(QVRange(line.location + next.location, next.length));
                return;
            }
        }
    }
    if (selection.length > 0 && !_view._escaped) {
        entabBlock();
        return;
    }
    if (setting(QVTabsAreSpaces)) {
        const qint64 size = std::max<qint64>(1, UserDefaults::standard().integerForKey(QLatin1String(QVTabSizeKey)));
        _view.insertText(QString(qsizetype(size - column % size), u' '));
    } else {
        _view.insertText(QStringLiteral("\t"));
    }
    if (!_view._escaped && s != 0 && column == 0 && setting(QVAutoTabKey)) {
        QString indentation = tabSpacesForRange(QVRange(s - 1, 0));
        const qsizetype step = indentation.indexOf(StringUtilities::tabSpaces());
        if (step >= 0) indentation.remove(step, StringUtilities::tabSpaces().size());
        if (!indentation.isEmpty()) {
            AidEdit scope(*this);
            _view.undoableInsertText(indentation, AutoTabName);
        }
    }
}

void HTMLViewTypingAids::insertBacktab() {
    if (_view.selectedRange().length > 0) detabBlock();
}

void HTMLViewTypingAids::cancelOperation() {
    _completionView->hide();
    _view._escaped = !_view._escaped;
    if (auto owner = _view.delegate()) owner->htmlViewIsEscaped(&_view, _view._escaped);
}

bool HTMLViewTypingAids::doCommand(const QString& command) {
    const QVTextStorage& storage = _view.textStorage();
    const QVRange selection = _view.selectedRange();
    if (command == QLatin1String("deleteWordBackward")) {
        deleteWordBackward();
        return true;
    }
    if (command == QLatin1String("moveRight")) {
        if (selection.length == 0 && selection.location < storage.length()) {
            const QChar c = storage.characterAt(selection.location);
            const QChar open = c == u'}' ? u'{' : c == u')' ? u'(' : c == u']' ? u'[' : QChar();
            if (!open.isNull()) {
                const QVRange match = matchingBracketBefore(selection.location, open, c);
                if (match.isNotFound() && match.length == 0) QVBeep::beep();
                else if (!match.isNotFound()) tempHighlightRange(match);
            }
        }
        return false;
    }
    if (command == QLatin1String("moveToEndOfLineAndModifySelection") && _view._lineBreakName == QLatin1String("DOS")) {
        const QVRange line = lineAt(selection.location);
        _view.QVTextView::setSelectedRange(QVRange(selection.location, line.end() - selection.location));
        return true;
    }
    return false;
}

bool HTMLViewTypingAids::keyPress(QKeyEvent* event) {
    if (_completionView->isVisible() && _completionView->handlesEvent(event)) {
        _completionView->keyDown(event);
        return true;
    }
    if (event->key() == Qt::Key_F5 && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        showCodeCompletionOptional(false);
        return true;
    }
    return false;
}

void HTMLViewTypingAids::mousePress() {
    if (_completionView->isVisible()) _completionView->hide();
}

bool HTMLViewTypingAids::mouseDoubleClick(qint64 s) {
    const QVTextStorage& storage = _view.textStorage();
    if (s <= 0) return false;
    const QChar open = storage.characterAt(s - 1);
    const QChar close = open == u'{' ? u'}' : open == u'(' ? u')' : open == u'[' ? u']' : QChar();
    if (close.isNull()) return false;
    const QVRange match = matchingBracketAfter(s, open, close);
    if (match.isNotFound()) return false;
    _view.QVTextView::setSelectedRange(QVRange(s - 1, match.end() - (s - 1)));
    return true;
}

// --- After a change ---------------------------------------------------------------------------

void HTMLViewTypingAids::textDidChange() {
    _editedSinceSelection = true;
    if (!_askedRange.isNotFound() && !_completedClosings.empty()) {
        const qint64 delta = _askedLength - _askedRange.length;
        std::erase_if(_completedClosings, [&](QVRange& closing) {
            if (_askedRange.end() <= closing.location) {
                closing.location += delta;
                return false;
            }
            return _askedRange.location < closing.end();
        });
    }
    _askedRange = QVRange(QVRange::NotFound, 0);
    _view.highlightChangedRange(_view._changeRange);
    const QVUndoManager& undo = _view.undoManager();
    const bool aid = _aidDepth > 0 || undo.isUndoing() || undo.isRedoing();
    if (!aid) {
        if (_view.selectedRange().length > 0) _completionView->hide();
        else showCodeCompletionOptional(true);
        if (!_view._escaped) replaceEntity();
    } else if (_completionView->isVisible()) {
        // An aid's text (the ">" and closing tag typed after a name, say) may leave the word
        // the list was made for: then Return must not insert one of its entries.
        const std::shared_ptr<QVCodeCompletion> engine = completionEngine(false);
        if (!engine || _view.selectedRange().length > 0 || completionAnchor(*engine) != _completionAnchor)
            _completionView->hide();
    }
    if (_view._escaped && !_view._ignore) {
        _view._escaped = false;
        if (auto owner = _view.delegate()) owner->htmlViewIsEscaped(&_view, false);
    }
}

void HTMLViewTypingAids::replaceEntity() {
    const QVRange changed = _view._changeRange;
    if (changed.length != 1 || changed.end() > _view.length() || !setting(QVAutoSpecChars)) return;
    const QChar typed = _view.textStorage().characterAt(changed.location);
    // ASCII is markup's own syntax, and outside markup an entity would be wrong text.
    if (typed.unicode() < 0x80) return;
    const QString entity = QVSpecialCharacters::shared().entityFor(QString(typed));
    if (entity.isEmpty()) return;
    const QVParser* parser = languageBefore(changed.end());
    if (!parser || parser->identifier() != QLatin1String("text.html")) return;
    AidEdit scope(*this);
    _view.QVTextView::setSelectedRange(changed);
    _view.undoableInsertText(entity, EntityName);
}

void HTMLViewTypingAids::selectionDidChange() {
    if (_view.selectedRange() != QVRange(_typedAhead.at, 0)) _typedAhead = {};
    if (_view.selectedRange() != QVRange(_typedClosing.caret, 0)) _typedClosing = {};
    if (auto owner = _view.delegate()) owner->htmlViewChangedToLine(&_view, _view.lineNumber(), _view.columnNumber());
    if (!_editedSinceSelection) _completionView->hide();
    _editedSinceSelection = false;
    if (!_lineStopsTimer.isActive()) _lineStopsTimer.start();
}

// --- Completion -------------------------------------------------------------------------------

std::shared_ptr<QVCodeCompletion> HTMLViewTypingAids::completionEngine(bool recompute) const {
    const std::shared_ptr<QVParser> parser = _view.activeParser(recompute);
    const std::shared_ptr<QVBundle> bundle = parser ? parser->bundle() : nullptr;
    return bundle ? std::dynamic_pointer_cast<QVCodeCompletion>(bundle->codeCompletion()) : nullptr;
}

namespace {

// The text around the caret that completion looks at: the engines read no further than their
// context window, so a keystroke never copies the whole document.
struct CompletionWindow {
    qint64 start = 0;
    QString text;
    qint64 cursor = 0;
    CompletionWindow(const QVTextStorage& storage, qint64 caret) {
        const qint64 reach = QVCompletionContextWindow + 2;
        start = std::max<qint64>(0, caret - reach);
        const qint64 end = std::min(storage.length(), caret + reach);
        text = storage.substring(QVRange(start, end - start));
        cursor = caret - start;
    }
};

}  // namespace

void HTMLViewTypingAids::showCodeCompletionOptional(bool optional) {
    // While typing, the language is the one colouring goes by (found again when the caret jumps
    // or a line break is typed), which costs a keystroke no search.
    const std::shared_ptr<QVCodeCompletion> engine = completionEngine(!optional);
    if (optional && !_completionView->isVisible() && (!engine || !engine->suggestAutomatically())) return;
    if (!engine) {
        _completionView->hide();
        return;
    }
    QString partial;
    const qint64 anchor = completionAnchor(*engine, &partial);
    if (optional && _completionView->isVisible() && anchor != _completionAnchor) {
        _completionView->hide();
        return;
    }
    const CompletionWindow window(_view.textStorage(), _view.selectedRange().location);
    const std::optional<QList<QVCodeCompletionEntry>> entries =
        partial.isNull() ? std::nullopt : engine->completionsForString(partial, _view.path(), window.cursor);
    if (!entries || entries->isEmpty()) {
        _completionView->hide();
        return;
    }
    _completionView->setShowTypeColumn(engine->showTypeColumn());
    _completionView->displayEntries(*entries, partial);
    _completionAnchor = anchor;
}

qint64 HTMLViewTypingAids::completionAnchor(QVCodeCompletion& engine, QString* partial) const {
    const CompletionWindow window(_view.textStorage(), _view.selectedRange().location);
    const QString word = engine.partialKeywordForString(window.text, window.cursor);
    if (partial) *partial = word;
    if (word.isNull()) return -1;
    const QVRange range = engine.keywordRangeForString(window.text, window.cursor);
    return range.isNotFound() ? window.start + window.cursor - word.size() : window.start + range.location;
}

bool HTMLViewTypingAids::doCompletions() {
    if (_view.selectedRange().length == 0 && _keywordTrigger && _keywordTrigger()) return true;
    if (!_completionView->isVisible()) return false;
    const QString completion = _completionView->currentCompletion();
    const std::shared_ptr<QVCodeCompletion> engine = completionEngine();
    if (completion.isNull() || !engine) return false;
    _completionView->hide();
    // The context for the word being replaced is asked for again now, in this turn of the loop.
    const CompletionWindow window(_view.textStorage(), _view.selectedRange().location);
    engine->partialKeywordForString(window.text, window.cursor);
    QVRange replaced = engine->keywordRangeForString(window.text, window.cursor);
    replaced = replaced.isNotFound() ? QVRange(window.cursor + window.start, 0)
                                     : QVRange(replaced.location + window.start, replaced.length);
    QPointer<HTMLView> view(&_view);
    engine->postprocessCompletion(completion, replaced, &_view, [this, view](const QString& text, QVRange range) {
        if (view) codeCompletionDidPostProcess(text, range);
    });
    return true;
}

void HTMLViewTypingAids::codeCompletionDidPostProcess(const QString& text, QVRange replaced) {
    const bool hide = _completionView->shouldHideOnComplete();
    // A value sheet may end after the text changed: never replace outside it.
    if (replaced.location < 0 || replaced.end() > _view.length()) {
        QVBeep::beep();
        return;
    }
    {
        AidEdit scope(*this);
        _view.QVTextView::setSelectedRange(replaced);
        _view.undoableInsertText(text, CodeCompleteName);
    }
    if (const std::shared_ptr<QVParser> parser = _view.activeParser(true)) {
        const QVTextStorage& storage = _view.textStorage();
        const QVRange line = lineAt(replaced.location);
        const qint64 lineEnd = storage.lineRange(storage.lineOfPosition(replaced.location)).end();
        const QString lineText = storage.substring(QVRange(line.location, lineEnd - line.location));
        const QVRange next =
            parser->nextSignificantRangeInString(lineText, QVRange(replaced.location - line.location, 0));
        if (!next.isNotFound() && next.location >= 0)
            _view.QVTextView::setSelectedRange(QVRange(line.location + next.location, next.length));
    }
    const qint64 end = replaced.location + text.size();
    // The ": " after a property is typed ahead: the colon or blank a user types by habit is
    // the one already there.
    if (text.endsWith(u' ') && _view.selectedRange() == QVRange(end, 0))
        _typedAhead = {end, text.endsWith(QLatin1String(": ")) ? QStringLiteral(": ") : QStringLiteral(" ")};
    if (hide) _completionView->hide();
    else showCodeCompletionOptional(true);
}

// --- Line breaks ------------------------------------------------------------------------------

void HTMLViewTypingAids::setLineBreakType(int tag) {
    static const char* const names[] = {"Unix", "Mac", "DOS"};
    if (tag < 0 || tag > 2) return;
    updateLineBreak(QString::fromLatin1(names[tag]));
}

void HTMLViewTypingAids::updateLineBreakVariables(const QString& name) {
    _view._lineBreakName = name;
    _view._lineBreak = lineBreakCharacters(name);
}

void HTMLViewTypingAids::restoreLineBreak(const QString& name, const QString& text,
                                          const QVTextChange::Attachments& attachments) {
    // The inverse of the inverse: what is there now.
    const QString currentName = _view._lineBreakName;
    const QString currentText = _view.string();
    const QVTextChange::Attachments current = QVTextChange::attachmentsIn(_view.textStorage(), QVRange(0, _view.length()));
    _view.undoManager().registerUndo(&_view, [this, currentName, currentText, current] {
        restoreLineBreak(currentName, currentText, current);
    });
    updateLineBreakVariables(name);
    AidEdit scope(*this);
    _view.QVSyntaxHighlightingTextView::setString(text);
    if (!attachments.empty()) {
        QVTextStorage& storage = _view.textStorage();
        storage.beginEditing();
        for (const auto& [offset, attachment] : attachments)
            storage.addAttribute(QVTextStorage::AttachmentAttribute, QVariant::fromValue(attachment), QVRange(offset, 1));
        storage.endEditing();
    }
}

void HTMLViewTypingAids::updateLineBreak(const QString& name) {
    const QString oldName = _view._lineBreakName;
    const QString oldText = _view.string();
    const QVTextChange::Attachments oldAttachments =
        QVTextChange::attachmentsIn(_view.textStorage(), QVRange(0, _view.length()));
    if (!name.isNull()) updateLineBreakVariables(name);
    const QString converted = StringUtilities::switchLineBreaks(_view.fullString(), _view._lineBreak, _view._lineBreakName);
    QVUndoManager& undo = _view.undoManager();
    undo.closeEventGroup();
    undo.beginUndoGrouping();
    undo.registerUndo(&_view, [this, oldName, oldText, oldAttachments] {
        restoreLineBreak(oldName, oldText, oldAttachments);
    });
    {
        AidEdit scope(*this);
        _view.QVSyntaxHighlightingTextView::setString(converted);
    }
    undo.setActionName(LineBreakName);
    undo.endUndoGrouping();
}

// --- Other editing ----------------------------------------------------------------------------

void HTMLViewTypingAids::deleteWordBackward() {
    const QVTextStorage& storage = _view.textStorage();
    const QVRange selection = _view.selectedRange();
    if (selection.length > 0) {
        _view.insertText(QString());
        return;
    }
    const qint64 caret = selection.location;
    if (caret == 0) return;
    // The character before the caret goes whatever it is (a CR LF or a surrogate pair whole),
    // then the letters and digits before it.
    qint64 start = caret - 1;
    if (start > 0 && ((storage.characterAt(start).isLowSurrogate() && storage.characterAt(start - 1).isHighSurrogate()) ||
                      (storage.characterAt(start) == u'\n' && storage.characterAt(start - 1) == u'\r')))
        --start;
    while (start > 0) {
        const QChar c = storage.characterAt(start - 1);
        if (c.isLowSurrogate() && start > 1 && storage.characterAt(start - 2).isHighSurrogate()) {
            if (!QChar::isLetterOrNumber(QChar::surrogateToUcs4(storage.characterAt(start - 2), c))) break;
            start -= 2;
        } else if (c.isLetterOrNumber()) {
            --start;
        } else {
            break;
        }
    }
    _view.QVTextView::setSelectedRange(QVRange(start, caret - start));
    _view.insertText(QString());
}

void HTMLViewTypingAids::selectWord() {
    const QVTextStorage& storage = _view.textStorage();
    const qint64 s = _view.selectedRange().location;
    const QVRange line = lineAt(s);
    auto delimiter = [](QChar c) {
        if (c == u'.' || c == u'-' || c == u'#') return false;
        return c.isSpace() || c.isPunct() || c == u'<' || c == u'>';
    };
    qint64 start = s;
    while (start > line.location && !delimiter(storage.characterAt(start - 1))) --start;
    qint64 end = s;
    while (end < line.end() && !delimiter(storage.characterAt(end))) ++end;
    _view.QVTextView::setSelectedRange(QVRange(start, end - start));
}

QStringList HTMLViewTypingAids::openCSSParamBefore(qint64 position) const {
    const QString notFound = QStringLiteral("notfound");
    const QVTextStorage& storage = _view.textStorage();
    position = std::clamp<qint64>(position, 0, storage.length());
    // The line without its break, whatever break it has (or none on the last line).
    const QVRange line = lineAt(position);
    const QString text = storage.substring(line);
    const qint64 at = position - line.location;
    qsizetype colon = -1;
    for (qsizetype i = at - 1; i >= 0; --i) {
        if (text.at(i) == u';') break;
        if (text.at(i) == u':') {
            colon = i;
            break;
        }
    }
    if (colon < 0) return {notFound, notFound};
    qsizetype nameStart = colon;
    while (nameStart > 0 && !text.at(nameStart - 1).isSpace()) --nameStart;
    const QString name = text.mid(nameStart, colon - nameStart);
    qsizetype valueStart = colon + 1;
    while (valueStart < text.size() && isBlank(text.at(valueStart))) ++valueStart;
    qsizetype valueEnd = text.indexOf(u';', valueStart);
    if (valueEnd < 0) valueEnd = text.size();
    const QString value = text.mid(valueStart, valueEnd - valueStart);
    return {name.isEmpty() ? notFound : name, value.isEmpty() ? notFound : value};
}
