// The highlighter of markup: tags, quoted values, comments and embedded-language blocks.
#include "languages/QVTagBasedParser.h"

#include "languages/QVCodeNavParser.h"
#include "languages/QVTheme.h"
#include "platform/QVTextStorage.h"

#include <QMap>

#include <algorithm>
#include <limits>
#include <utility>

namespace {

// How much of the text the reads inside one tag look at at once.
constexpr qint64 Piece = qint64(1) << 20;

const QString kTagPrefix = QStringLiteral("tag-prefix");
const QString kStyle = QStringLiteral("style");
const QString kEmbedded = QStringLiteral("embedded");
const QString kEmbeddedElements = QStringLiteral("embedded-elements");
const QString kId = QStringLiteral("id");
const QString kEnd = QStringLiteral("end");

constexpr qint64 NotFound = QVRange::NotFound;

bool isString(const QVariant& value) { return value.metaType() == QMetaType::fromType<QString>(); }

// The theme's attributes of a style, with "multi-line" added when asked: a tag, a quoted value
// or a comment may continue on the next line, and the editor widens re-colouring over them
// whether or not the theme colours them.
QVTextAttributes styleAttributes(const QVTheme& theme, const QString& style, bool multiLine) {
    QVTextAttributes attributes = style.isEmpty() ? QVTextAttributes() : theme.attributesForIdentifier(style);
    if (multiLine) attributes.insert(QVTextStorage::MultiLineAttribute, true);
    return attributes;
}

}  // namespace

QVTagBasedParser::QVTagBasedParser(std::weak_ptr<QVBundle> bundle, const QVariantMap& plist)
    : QVParser(std::move(bundle), plist) {
    const QVariant prefix = plist.value(kTagPrefix);
    if (isString(prefix)) _tagPrefix = prefix.toString();
    loadEmbedded(plist.value(kEmbedded).toMap());
    for (const QVariant& identifier : plist.value(kEmbeddedElements).toList())
        if (isString(identifier)) _embeddedElementIdentifiers.append(identifier.toString());
    _style = plist.value(kStyle).toMap();
}

void QVTagBasedParser::loadEmbedded(const QVariantMap& embedded) {
    for (auto it = embedded.cbegin(); it != embedded.cend(); ++it) {
        Embedded entry;
        if (isString(it.value())) {
            entry.identifier = it.value().toString();
            entry.end = it.key() + QLatin1Char('>');
        } else if (it.value().metaType() == QMetaType::fromType<QVariantMap>()) {
            const QVariantMap map = it.value().toMap();
            entry.identifier = map.value(kId).toString();
            entry.end = map.value(kEnd).toString();
        } else {
            continue;
        }
        _embedded.insert(it.key().toLower(), entry);
    }
}

QVariantMap QVTagBasedParser::plistRepresentation() const {
    QVariantMap plist = QVParser::plistRepresentation();
    plist.insert(FormatTypeKey, QStringLiteral("tag"));
    if (!_tagPrefix.isNull()) plist.insert(kTagPrefix, _tagPrefix);
    if (!_style.isEmpty()) plist.insert(kStyle, _style);
    QVariantMap embedded;
    for (auto it = _embedded.cbegin(); it != _embedded.cend(); ++it) {
        const std::shared_ptr<QVParser> parser = it->parser.lock();
        embedded.insert(it.key(), QVariantMap{{kId, parser ? parser->identifier() : it->identifier}, {kEnd, it->end}});
    }
    if (!embedded.isEmpty()) plist.insert(kEmbedded, embedded);
    // Kept so that a language saved from the editor keeps its embedded tag languages.
    if (!_embeddedElementIdentifiers.isEmpty()) plist.insert(kEmbeddedElements, QVariant(_embeddedElementIdentifiers).toList());
    return plist;
}

void QVTagBasedParser::finishLoad(const QVParserResolver& resolver) {
    _subparsers.clear();
    _embeddedElements.clear();
    QList<QVParser*> seen;
    for (Embedded& entry : _embedded) {
        const std::shared_ptr<QVParser> parser = resolver ? resolver(entry.identifier) : nullptr;
        entry.parser = parser;
        if (parser && !seen.contains(parser.get())) {
            seen.append(parser.get());
            _subparsers.append(parser);
        }
    }
    for (const QString& identifier : std::as_const(_embeddedElementIdentifiers)) {
        // Only tag languages have tag prefixes to recognise; anything else could never match.
        if (auto parser = std::dynamic_pointer_cast<QVTagBasedParser>(resolver ? resolver(identifier) : nullptr))
            _embeddedElements.append(parser);
    }
}

QList<std::shared_ptr<QVTagBasedParser>> QVTagBasedParser::embeddedTagParsers() const {
    QList<std::shared_ptr<QVTagBasedParser>> parsers;
    for (const auto& weak : _embeddedElements)
        if (auto parser = weak.lock()) parsers.append(parser);
    return parsers;
}

QList<std::shared_ptr<QVParser>> QVTagBasedParser::subparsers() const {
    QList<std::shared_ptr<QVParser>> parsers;
    for (const auto& weak : _subparsers)
        if (auto parser = weak.lock()) parsers.append(parser);
    return parsers;
}

void QVTagBasedParser::setTheme(std::shared_ptr<QVTheme> theme) {
    QList<const QVParser*> visited;
    applyTheme(theme, visited);
}

void QVTagBasedParser::applyTheme(const std::shared_ptr<QVTheme>& theme, QList<const QVParser*>& visited) {
    // Languages may embed each other (a template language inside markup and back); each one
    // takes the theme once.
    visited.append(this);
    QVParser::setTheme(theme);
    if (theme) {
        _tagAttr = styleAttributes(*theme, _style.value(QStringLiteral("tags")).toString(), true);
        _attributeAttr = styleAttributes(*theme, _style.value(QStringLiteral("attributes")).toString(), false);
        _quotesAttr = styleAttributes(*theme, _style.value(QStringLiteral("quotes")).toString(), true);
        _commentsAttr = styleAttributes(*theme, _style.value(QStringLiteral("comments")).toString(), true);
    }
    QList<std::shared_ptr<QVParser>> others = subparsers();
    for (const auto& element : embeddedTagParsers()) others.append(element);
    for (const std::shared_ptr<QVParser>& parser : others) {
        if (visited.contains(parser.get())) continue;
        if (auto tag = std::dynamic_pointer_cast<QVTagBasedParser>(parser)) tag->applyTheme(theme, visited);
        else {
            visited.append(parser.get());
            parser->setTheme(theme);
        }
    }
}

QVTagBasedParser::TagStyle QVTagBasedParser::attributesForTag(QStringView name) const {
    TagStyle style{&_tagAttr, &_quotesAttr, &_commentsAttr};
    for (const auto& weak : _embeddedElements) {
        const auto element = weak.lock();
        if (!element || element->_tagPrefix.isEmpty() || !name.startsWith(element->_tagPrefix, Qt::CaseInsensitive))
            continue;
        if (!element->_tagAttr.isEmpty()) style.tag = &element->_tagAttr;
        if (!element->_quotesAttr.isEmpty()) style.quote = &element->_quotesAttr;
        if (!element->_commentsAttr.isEmpty()) style.comment = &element->_commentsAttr;
    }
    return style;
}

std::optional<QVTagBasedParser::TagStyle> QVTagBasedParser::openTagStyle(const QVTextStorage& storage, qint64 lt, bool* comment) const {
    if (comment) *comment = false;
    // Longer than any name a style's prefix or an embedded block is told by.
    constexpr qint64 NameReach = 1024;
    if (lt < 0 || lt + 1 >= storage.length()) return std::nullopt;
    const QStringView head = storage.characters(QVRange(lt, std::min<qint64>(NameReach, storage.length() - lt)));
    if (head.front() != u'<') return std::nullopt;
    // The name as the walk reads it: up to the first blank or ">", lower-cased a character at a time.
    qsizetype end = 1;
    while (end < head.size() && !head[end].isSpace() && head[end] != u'>') ++end;
    const bool closing = head[1] == u'/';
    const qsizetype nameStart = closing ? 2 : 1;
    QString name;
    for (qsizetype i = nameStart; i < end; ++i) {
        const char16_t u = head[i].unicode();
        name.append(u < 0x80 ? QChar(u >= u'A' && u <= u'Z' ? u + 32 : u) : head[i].toLower());
    }
    if (name.startsWith(QLatin1String("!--"))) {
        if (!comment) return std::nullopt;
        *comment = true;
        return TagStyle{nullptr, nullptr, &_commentsAttr};
    }
    if (!closing) {
        const auto embedded = _embedded.constFind(name);
        if (embedded != _embedded.cend() && !embedded->end.isEmpty() && embedded->parser.lock()) return std::nullopt;
    }
    return attributesForTag(name);
}

qint64 QVTagBasedParser::endOfOpenTag(const QVTextStorage& storage, qint64 lt, qint64 from, qint64 limit, bool* quoted) const {
    bool comment = false;
    if (from < lt || limit < from || limit > storage.length() || !openTagStyle(storage, lt, &comment)) return -2;
    const qint64 start = from;
    if (comment) {
        // The first "-->" from the "<" on ends it, as the walk finds it (so "<!-->" is a whole
        // comment): a ">" from two characters past the "<", or from from, with "--" before it.
        *quoted = false;
        for (qint64 p = std::max(from, lt + 2), n = 0; p < limit; p += n) {
            n = std::min({Piece, limit - p, std::max<qint64>(storage.contiguousEnd(p) - p, 1)});
            const QStringView text = storage.characters(QVRange(p, n));
            for (qsizetype gt = text.indexOf(u'>'); gt >= 0; gt = text.indexOf(u'>', gt + 1)) {
                const qint64 at = p + gt;
                if (storage.characterAt(at - 1) == u'-' && storage.characterAt(at - 2) == u'-') {
                    countParsed(at + 1 - start);
                    return at + 1;
                }
            }
        }
        countParsed(limit - start);
        return -1;
    }
    if (from == lt) {
        *quoted = false;
        ++from;
    }
    // A piece of the storage at a time: a view over two would be a copy.
    for (qint64 p = from, n = 0; p < limit; p += n) {
        n = std::min({Piece, limit - p, std::max<qint64>(storage.contiguousEnd(p) - p, 1)});
        const QStringView text = storage.characters(QVRange(p, n));
        qsizetype at = 0;
        qsizetype gt = -1;
        qsizetype quote = -1;
        while (at < n) {
            if (*quoted) {
                const qsizetype close = text.indexOf(u'"', at);
                if (close < 0) break;
                *quoted = false;
                at = close + 1;
                continue;
            }
            if (gt < at) {
                gt = text.indexOf(u'>', at);
                if (gt < 0) gt = n;
            }
            if (quote < at) {
                quote = text.indexOf(u'"', at);
                if (quote < 0) quote = n;
            }
            if (gt < quote) {
                countParsed(p + gt + 1 - start);
                return p + gt + 1;
            }
            if (quote >= n) break;
            *quoted = true;
            at = quote + 1;
        }
    }
    countParsed(limit - start);
    return -1;
}

qint64 QVTagBasedParser::openTagBefore(const QVTextStorage& storage, qint64 start, qint64 from, bool* quoted) const {
    // The first of what in [at, from), a piece of the storage at a time (and across the joins
    // of two), or -1.
    auto next = [&](QStringView what, qint64 at) -> qint64 {
        const qint64 overlap = what.size() - 1;
        for (qint64 p = at, n = 0; p < from; p += n) {
            if (p > at && overlap > 0) {
                const qint64 joinStart = std::max(at, p - overlap);
                const qint64 joinEnd = std::min(from, p + overlap);
                const qsizetype found = storage.characters(QVRange(joinStart, joinEnd - joinStart)).indexOf(what);
                if (found >= 0) {
                    countParsed(joinStart + found - at);
                    return joinStart + found;
                }
            }
            n = std::min({Piece, from - p, std::max<qint64>(storage.contiguousEnd(p) - p, 1)});
            const qsizetype found = storage.characters(QVRange(p, n)).indexOf(what);
            if (found >= 0) {
                countParsed(p + found - at);
                return p + found;
            }
        }
        countParsed(from - at);
        return -1;
    };
    for (qint64 at = std::max<qint64>(start, 0); at < from;) {
        const qint64 lt = next(u"<", at);
        if (lt < 0) return -1;
        // A tag or comment that ends before from is stepped over; one that runs on is from's.
        const qint64 end = endOfOpenTag(storage, lt, lt, from, quoted);
        if (end == -1) return lt;
        if (end < 0) return -1;
        at = end;
    }
    return -1;
}

void QVTagBasedParser::colourOpenTag(QVTextStorage& storage, qint64 lt, QVRange range, bool quoted, qint64 end) const {
    bool comment = false;
    const std::optional<TagStyle> style = openTagStyle(storage, lt, &comment);
    if (!style) return;
    const qint64 to = end < 0 ? range.end() : std::clamp(end, range.location, range.end());
    if (to <= range.location) return;
    // Begun on a line before the stretch, the piece the stretch begins in holds that line's
    // break: its mark runs over what this stretch gives it too, however short.
    const QChar before = range.location > 0 ? storage.characterAt(range.location - 1) : QChar();
    const bool continues = range.location > lt && (before == u'\n' || before == u'\r');
    // Only the piece the stretch begins inside of (tag text, or a quoted value when quoted): one
    // that begins right at the stretch (a quote there) begins anew.
    bool first = true;
    auto markFirst = [&](const QVTextAttributes* attributes, QVRange piece) {
        if (continues && first && piece.location == range.location && attributes && attributes->contains(QVTextStorage::MultiLineAttribute))
            storage.addAttribute(QVTextStorage::MultiLineAttribute, attributes->value(QVTextStorage::MultiLineAttribute), piece);
    };
    if (comment) {
        if (!_commentsAttr.isEmpty()) storage.addAttributes(_commentsAttr, QVRange(range.location, to - range.location));
        markFirst(&_commentsAttr, QVRange(range.location, to - range.location));
        markParsed(QVRange(range.location, to - range.location), storage);
        return;
    }
    const QStringView text = storage.characters(QVRange(range.location, to - range.location));
    const qsizetype n = text.size();
    auto colour = [&](const QVTextAttributes* attributes, qsizetype from, qsizetype until) {
        if (attributes && !attributes->isEmpty() && until > from) {
            storage.addAttributes(*attributes, QVRange(range.location + from, until - from));
            markFirst(attributes, QVRange(range.location + from, until - from));
        }
    };
    // Tag text and quoted values in turn, each value with both its quotes, as colourTag() gives them.
    for (qsizetype at = 0; at < n; quoted = false) {
        // Inside a value the next quote closes it; else the next one opens one.
        qsizetype quote = at;
        qsizetype closeFrom = at;
        if (!quoted) {
            quote = text.indexOf(u'"', at);
            colour(style->tag, at, quote < 0 ? n : quote);
            first = false;
            if (quote < 0) break;
            closeFrom = quote + 1;
        }
        const qsizetype close = text.indexOf(u'"', closeFrom);
        const qsizetype through = close < 0 ? n : close + 1;
        colour(style->quote, quote, through);
        first = false;
        at = through;
    }
    markParsed(QVRange(range.location, to - range.location), storage);
}

QVEmbeddedRanges QVTagBasedParser::parseRange(QVRange range, QVTextStorage& storage, QVColouringSession* session) {
    range = clampedRange(range, storage.length());
    QVEmbeddedRanges result;
    const qint64 resume = session ? std::clamp(session->resumeAt, range.location, range.end()) : range.location;
    if (session) session->stoppedAt = range.end();
    if (resume >= range.end()) return result;
    // Nothing here looks back, so a resumed pass begins its view where it resumes.
    const QStringView text = storage.characters(QVRange(resume, range.end() - resume));
    // Resumed inside a block, the block's stretch begins where the parse does.
    const QVWalkPlace inside{0, 0, session && resume == session->resumeAt ? session->resumeInside.block : -1};
    const Walked walked = walk(text, resume, &storage, session, result, inside.block >= 0 ? &inside : nullptr);
    if (session) {
        if (walked.stop == text.size()) session->reach(range.end());
        session->stoppedAt = resume + walked.stop;
    }
    countParsed(std::max(walked.furthest, walked.stop));
    markParsed(QVRange(resume, walked.stop), storage);
    return result;
}

QVEmbeddedRange QVTagBasedParser::embeddedBlockAt(QStringView text, qint64 index, qint64* resumable, const QVWalkPlace* inside) const {
    // Notes the boundaries the walk passes, never ending it.
    struct Boundaries final : QVColouringSession {
        qint64 index;
        qint64 last = -1;
        explicit Boundaries(qint64 at) : index(at) {}
        void reach(qint64) override {}
        bool boundary(qint64 position, qint64, qint64, qint64) override {
            if (position <= index) last = position;
            return false;
        }
    } boundaries(index);
    QVEmbeddedRanges blocks;
    walk(text, 0, nullptr, resumable ? &boundaries : nullptr, blocks, inside && (inside->block >= 0 || inside->literal >= 0) ? inside : nullptr);
    if (resumable) *resumable = boundaries.last;
    const auto block = std::upper_bound(blocks.begin(), blocks.end(), index,
                                        [](qint64 at, const QVEmbeddedRange& b) { return at < b.range.location; });
    if (block == blocks.begin() || index >= std::prev(block)->range.end()) return {};
    return *std::prev(block);
}

qint64 QVTagBasedParser::walkBoundaries(QStringView text, qint64 base, QVColouringSession& session, const QVWalkPlace& inside) const {
    QVEmbeddedRanges blocks;
    const QVWalkPlace within{0, inside.blockStart - base, inside.block, inside.literal, inside.label, inside.nesting};
    return base + walk(text, base, nullptr, &session, blocks, inside.block >= 0 || inside.literal >= 0 ? &within : nullptr).stop;
}

namespace {

// Hands the places inside one block that a scan for its end passes on to the session, in the
// whole text's positions.
struct SessionPlaces final : QVParser::BlockPlaces {
    SessionPlaces(QVColouringSession& session, qint64 base, qint64 blockStart, int block)
        : session(session), base(base), blockStart(blockStart), block(block) {
        follow();
    }
    QVColouringSession& session;
    qint64 base;
    qint64 blockStart;
    int block;
    void follow() {
        const qint64 from = session.blockPlacesFrom;
        wantedFrom = from == std::numeric_limits<qint64>::max() ? from : std::max<qint64>(0, from - base);
    }
    bool place(qint64 position, int literal, QStringView label, const QVScriptLiterals::TemplateNesting& nesting) override {
        if (session.blockPlace({base + position, base + blockStart, block, literal, label.toString(), nesting})) return true;
        follow();
        return false;
    }
};

}  // namespace

QVTagBasedParser::Walked QVTagBasedParser::walk(QStringView text, qint64 base, QVTextStorage* storage, QVColouringSession* session,
                                                 QVEmbeddedRanges& result, const QVWalkPlace* inside) const {
    const QChar* s = text.constData();
    const qint64 length = text.size();
    qint64 furthest = 0;
    auto colour = [&](const QVTextAttributes* attributes, qint64 from, qint64 through) {
        if (storage && attributes && !attributes->isEmpty() && through >= from) {
            if (session) session->reach(base + through + 1);
            storage->addAttributes(*attributes, QVRange(base + from, through - from + 1));
        }
    };
    // The first c in [from, until), or NotFound.
    auto find = [&](QChar c, qint64 from, qint64 until) -> qint64 {
        if (from >= until) return NotFound;
        const qsizetype at = text.left(until).indexOf(c, from);
        furthest = std::max(furthest, at < 0 ? until : at + 1);
        return at < 0 ? NotFound : at;
    };
    // The first ">" from from on. A tag whose quoted values run on without one looks again
    // after each value: the last answer still holds for any from up to it, so a stretch without
    // a ">" (markup read in a script's text) is read once, not once per quote in it.
    qint64 gtSearchedFrom = NotFound;
    qint64 gtFound = NotFound;
    auto findGt = [&](qint64 from) -> qint64 {
        if (gtSearchedFrom == NotFound || from < gtSearchedFrom || (gtFound != NotFound && from > gtFound)) {
            gtSearchedFrom = from;
            gtFound = find(QLatin1Char('>'), from, length);
        }
        return gtFound;
    };

    // Colours the tag that opens at lt as far as its ">" (gt, NotFound when it has none) and
    // answers where it ends: a ">" inside a quoted value does not end it. Quotes are looked for
    // only inside the tag, so a stretch of tags without quotes is read once.
    auto colourTag = [&](const TagStyle& style, qint64 lt, qint64 gt) -> qint64 {
        const qint64 last = length - 1;
        qint64 quote = find(QLatin1Char('"'), lt + 1, gt == NotFound ? length : gt);
        if (quote == NotFound) {
            colour(style.tag, lt, gt == NotFound ? last : gt);
            return gt;
        }
        qint64 start = lt;
        do {
            colour(style.tag, start, quote - 1);
            const qint64 found = find(QLatin1Char('"'), quote + 1, length);
            // A value without its closing quote runs to the range's end, like an
            // unterminated string of a script: closing it at the tag's ">" would make
            // the colours of this tag depend on whether a quote appears anywhere later,
            // which re-colouring the edited lines could never notice.
            const qint64 close = found != NotFound ? found : last;
            colour(style.quote, quote, close);
            gt = findGt(close + 1);
            quote = find(QLatin1Char('"'), close + 1, gt == NotFound ? length : gt);
            start = close + 1;
        } while (quote != NotFound);
        colour(style.tag, start, gt == NotFound ? last : gt);
        return gt;
    };

    // A walk that colours nothing reads no styles, which the theme may change meanwhile.
    auto styleFor = [&](QStringView tagName) { return storage ? attributesForTag(tagName) : TagStyle{nullptr, nullptr, nullptr}; };

    // The search for the next "<" goes a window at a time; a window without one ends at a
    // boundary, so a long stretch of text is no obstacle to ending a pass.
    constexpr qint64 Window = 4096;
    QString name;  // reused for every tag: the lower-cased name
    qint64 position = 0;
    qint64 stop = length;
    // Scans the block of the index-th embedded language from from on, its content begun at
    // blockStart: where it ends, or NotFound when the session ended the walk inside it (at stop).
    auto scanBlock = [&](int index, const QVParser& parser, const Embedded& entry, qint64 from, qint64 blockStart, bool element,
                         int literal = -1, const QString& label = {}, const QVScriptLiterals::TemplateNesting& nesting = {}) -> qint64 {
        if (!session || storage) {
            if (literal < 0) return parser.endOfEmbeddedBlock(text, from, entry.end, element);
            // Begun inside a literal of the block: the scan hears of no place, it only goes on.
            struct InLiteral final : QVParser::BlockPlaces {
                bool place(qint64, int, QStringView, const QVScriptLiterals::TemplateNesting&) override { return false; }
            } within;
            within.startLiteral = literal;
            within.startLabel = label;
            within.startNesting = nesting;
            return parser.endOfEmbeddedBlock(text, from, entry.end, element, &within);
        }
        SessionPlaces places(*session, base, blockStart, index);
        places.startLiteral = literal;
        places.startLabel = label;
        places.startNesting = nesting;
        const qint64 blockEnd = parser.endOfEmbeddedBlock(text, from, entry.end, element, &places);
        if (!places.stopped) return blockEnd;
        stop = blockEnd;
        return NotFound;
    };
    // A walk that colours nothing reports places inside a long comment or tag of its own too,
    // those in [from, until) (its "<" at lt), where a walk begun afresh in that state reads on
    // exactly as this one: a key inside one of megabytes then walks from near it, not from its
    // "<". True when the session ended the walk at one (at stop).
    qint64 firstPlace = 0;  // not the place a walk begins at
    auto markupPlaces = [&](int literal, qint64 lt, qint64 from, qint64 until) {
        if (!session || storage || until - lt < LongMarkup) return false;
        for (qint64 at = std::max(from, firstPlace); at < until; ++at) {
            const qint64 wanted = session->blockPlacesFrom;
            if (wanted == std::numeric_limits<qint64>::max() || wanted - base >= until) return false;
            at = std::max(at, wanted - base);
            if (session->blockPlace({base + at, base + lt, -1, literal})) {
                stop = at;
                return true;
            }
        }
        return false;
    };
    // The end of a tag read from from on, inside a quoted value when quoted, as colourTag() finds
    // it (the ">", NotFound when it has none), reporting the places on the way; Stopped when the
    // session ended the walk at one.
    constexpr qint64 Stopped = NotFound - 1;
    auto walkTag = [&](qint64 lt, qint64 from, bool quoted) -> qint64 {
        for (;;) {
            if (quoted) {
                const qint64 found = find(QLatin1Char('"'), from, length);
                const qint64 close = found != NotFound ? found : length - 1;
                if (markupPlaces(MarkupQuotedValue, lt, from, close + 1)) return Stopped;
                from = close + 1;
                quoted = false;
            }
            const qint64 gt = findGt(from);
            const qint64 quote = find(QLatin1Char('"'), from, gt == NotFound ? length : gt);
            if (markupPlaces(MarkupTag, lt, from, quote != NotFound ? quote + 1 : gt != NotFound ? gt + 1 : length)) return Stopped;
            if (quote == NotFound) return gt;
            from = quote + 1;
            quoted = true;
        }
    };
    // The end of a comment read from from on (its "-->" is the first from its "<"), reporting
    // the places on the way; Stopped as above.
    auto walkComment = [&](qint64 lt, qint64 from) -> qint64 {
        const qsizetype close = text.indexOf(QLatin1String("-->"), from);
        const qint64 end = close < 0 ? length : close + 3;
        furthest = std::max(furthest, end);
        if (markupPlaces(MarkupComment, lt, std::max(from, lt + 4), close < 0 ? length : close + 1)) return Stopped;
        return end;
    };
    // An element's end tag, where its block ends, is a boundary of a colouring pass: a parse
    // begun at its "<" reads it as the closing tag it is, so on a long line holding a script
    // of megabytes the key after the script begins there. Reported before the end string is
    // coloured (a pass resumed there colours it). The decisions before it read the end string
    // and the character after it.
    auto endTagBoundary = [&](qint64 blockStart, qint64 blockEnd, const QString& end) {
        if (!session || !storage || blockEnd <= blockStart || blockEnd >= length || !end.startsWith(u'<')) return false;
        const qint64 read = std::min<qint64>(length, blockEnd + end.size() + 1);
        return session->boundary(base + blockEnd, base + blockStart, base + read, 0);
    };
    // A server block's end ("?>") is one too, past its end string (coloured by then): a parse
    // begun there is in the markup. The key after a block of megabytes on one line colours from
    // there, not from the block's opener.
    auto afterBlockBoundary = [&](qint64 blockStart, qint64 blockEnd, const QString& end) {
        if (!session || !storage || blockEnd <= blockStart || end.startsWith(u'<')) return false;
        const qint64 after = blockEnd + end.size();
        if (after >= length) return false;
        return session->boundary(base + after, base + blockStart, base + after, 0);
    };
    if (inside && inside->block < 0) {
        // Begun at a place inside a comment or tag of the markup itself.
        if (storage || inside->literal < MarkupComment || inside->literal > MarkupQuotedValue) return {0, 0};
        const qint64 lt = inside->blockStart;
        firstPlace = 1;
        const qint64 end = inside->literal == MarkupComment ? walkComment(lt, 0) : walkTag(lt, 0, inside->literal == MarkupQuotedValue);
        firstPlace = 0;
        if (end == Stopped) return {stop, stop};
        position = end == NotFound ? length : end;
        inside = nullptr;
    }
    if (inside) {
        if (inside->block < 0 || inside->block >= _embedded.size()) return {0, 0};
        const auto entry = std::next(_embedded.cbegin(), inside->block);
        const std::shared_ptr<QVParser> parser = entry->parser.lock();
        if (!parser) return {0, 0};
        // An element's start tag begins with a letter, a server block's with anything else.
        const bool element = !entry.key().isEmpty() && entry.key().front().isLetter();
        const qint64 blockEnd = scanBlock(inside->block, *parser, *entry, 0, inside->blockStart, element, inside->literal, inside->label,
                                          inside->nesting);
        if (blockEnd == NotFound) return {stop, stop};
        furthest = std::min<qint64>(length, blockEnd + entry->end.size());
        if (blockEnd > inside->blockStart) {
            if (session) session->reach(base + blockEnd);
            result.push_back({QVRange(base + inside->blockStart, blockEnd - inside->blockStart), parser});
        }
        if (endTagBoundary(inside->blockStart, blockEnd, entry->end)) return {blockEnd, furthest};
        // The end string takes the tag colour, as after a block begun in the walk.
        if (blockEnd < length) colour(&_tagAttr, blockEnd, std::min<qint64>(blockEnd + entry->end.size(), length) - 1);
        if (afterBlockBoundary(inside->blockStart, blockEnd, entry->end)) return {blockEnd + entry->end.size(), furthest};
        position = blockEnd;
    }
    while (position < length) {
        const qint64 lt = find(QLatin1Char('<'), position, std::min(length, position + Window));
        if (lt == NotFound) {
            position = std::min(length, position + Window);
            if (session && position < length && session->boundary(base + position, base + position, base + position, 0)) {
                stop = position;
                break;
            }
            continue;
        }
        // Nothing before lt read lt itself or anything after it.
        if (session && lt > 0 && session->boundary(base + lt, base + lt, base + lt, 0)) {
            stop = lt;
            break;
        }
        if (lt == length - 1) {
            colour(&_tagAttr, lt, lt);
            break;
        }
        qint64 gt = findGt(lt + 1);
        // The name ends at the first blank or ">": looking for a blank past the ">" would scan
        // a stretch without blanks again from every "<" in it.
        const qint64 nameLimit = gt == NotFound ? length : gt;
        qint64 space = lt + 1;
        while (space < nameLimit && !s[space].isSpace()) ++space;
        const bool closing = s[lt + 1] == QLatin1Char('/');
        const qint64 nameStart = closing ? lt + 2 : lt + 1;
        const qint64 nameEnd = std::max(nameStart, std::min({gt, space, length}));
        name.resize(nameEnd - nameStart);
        for (qint64 i = nameStart; i < nameEnd; ++i) {
            const char16_t u = s[i].unicode();
            name[i - nameStart] = u < 0x80 ? QChar(u >= u'A' && u <= u'Z' ? u + 32 : u) : s[i].toLower();
        }

        // Most tags begin with a character no embedded language's tag begins with.
        const bool mayEmbed = !closing && (name.isEmpty() || std::any_of(_embedded.keyBegin(), _embedded.keyEnd(), [&](const QString& key) {
                                               return key.startsWith(name.front());
                                           }));
        const auto embedded = mayEmbed ? _embedded.constFind(name) : _embedded.cend();
        const std::shared_ptr<QVParser> parser =
            embedded != _embedded.cend() && !embedded->end.isEmpty() ? embedded->parser.lock() : nullptr;
        if (parser) {
            // The opener takes the tag colour like the closer: an element's whole start tag,
            // whose content begins after it; a server block's "<" and name, whose code follows
            // at once. The block ends where the end string stands outside the embedded
            // language's strings and comments, and that string takes the tag colour too.
            qint64 blockStart = nameEnd;
            if (s[lt + 1].isLetter()) {
                gt = colourTag(styleFor(name), lt, gt);
                blockStart = gt == NotFound ? length : gt + 1;
            } else {
                colour(&_tagAttr, lt, nameEnd - 1);
            }
            const qint64 blockEnd = scanBlock(int(std::distance(_embedded.cbegin(), embedded)), *parser, *embedded, blockStart, blockStart, s[lt + 1].isLetter());
            if (blockEnd == NotFound) break;
            furthest = std::max(furthest, std::min<qint64>(length, blockEnd + embedded->end.size()));
            if (blockEnd > blockStart) {
                // The block's own parser colours it later: its stretch is the pass's already.
                if (session) session->reach(base + blockEnd);
                result.push_back({QVRange(base + blockStart, blockEnd - blockStart), parser});
            }
            if (endTagBoundary(blockStart, blockEnd, embedded->end)) {
                stop = blockEnd;
                break;
            }
            if (blockEnd < length) colour(&_tagAttr, blockEnd, std::min<qint64>(blockEnd + embedded->end.size(), length) - 1);
            if (afterBlockBoundary(blockStart, blockEnd, embedded->end)) {
                stop = blockEnd + embedded->end.size();
                break;
            }
            position = blockEnd;
        } else if (name.startsWith(QLatin1String("!--"))) {
            const qint64 end = walkComment(lt, lt);
            if (end == Stopped) break;
            colour(&_commentsAttr, lt, end - 1);
            position = end;
        } else {
            gt = storage ? colourTag(styleFor(name), lt, gt) : walkTag(lt, lt + 1, false);
            if (gt == Stopped) break;
            position = gt == NotFound ? length : gt;
        }
    }
    return {stop, furthest};
}

QList<QVCodeNavMenuItem> QVTagBasedParser::codeNavItemsForString(const QString& text, QVRange range) const {
    range = clampedRange(range, text.size());
    // The blocks of every embedded language; a block found twice keeps the parser found last.
    QMap<std::pair<qint64, qint64>, QVEmbeddedRange> blocks;
    for (const std::shared_ptr<QVParser>& parser : subparsers())
        for (const QVEmbeddedRange& block : parser->rangesInString(text, range))
            blocks.insert({block.range.location, block.range.length}, block);
    QList<QVCodeNavMenuItem> items;
    const std::shared_ptr<QVCodeNavParser> own = codeNavParser();
    auto addOwn = [&](qint64 from, qint64 to) {
        if (own && to > from) items.append(own->matchesForString(text, QVRange(from, to - from)));
    };
    qint64 position = range.location;
    for (const QVEmbeddedRange& block : std::as_const(blocks)) {
        // Blocks of two languages that overlap: the first one counts.
        if (block.range.location < position) continue;
        addOwn(position, block.range.location);
        items.append(block.parser->codeNavItemsForString(text, block.range));
        position = block.range.end();
    }
    addOwn(position, range.end());
    std::stable_sort(items.begin(), items.end(),
                     [](const QVCodeNavMenuItem& a, const QVCodeNavMenuItem& b) { return a.range().location < b.range().location; });
    return items;
}
