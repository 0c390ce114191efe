// The highlighter of program text: one forward pass over comments, strings and keywords.
#include "languages/QVKeywordBasedParser.h"

#include "languages/QVScriptLiterals.h"
#include "languages/QVTheme.h"
#include "platform/QVRegex.h"
#include "platform/QVTextStorage.h"
#include "platform/SystemLog.h"

#include <QVarLengthArray>

#include <algorithm>

namespace {

const QString kKeywordCharacters = QStringLiteral("keyword-characters");
const QString kCaseSensitive = QStringLiteral("case-sensitive");
const QString kQuotes = QStringLiteral("quotes");
const QString kSingle = QStringLiteral("single");
const QString kDouble = QStringLiteral("double");
const QString kComments = QStringLiteral("comments");
const QString kKeywords = QStringLiteral("keywords");
const QString kRegexKeywords = QStringLiteral("regex-keywords");
const QString kTitle = QStringLiteral("title");
const QString kRegexLiterals = QStringLiteral("regex-literals");
const QString kTemplateStrings = QStringLiteral("template-strings");
const QString kHeredocStrings = QStringLiteral("heredoc-strings");

constexpr qint64 NotFound = QVRange::NotFound;

bool isString(const QVariant& value) { return value.metaType() == QMetaType::fromType<QString>(); }

qint64 find(QStringView text, QStringView needle, qint64 from, qint64 to) {
    if (needle.isEmpty() || to - from < needle.size()) return NotFound;
    // Comment begins and ends are a character or two: the search for their first character
    // runs on vector instructions, where a general substring search goes a character at a time.
    const QStringView searched = text.left(to);
    const QChar first = needle.front();
    const QStringView rest = needle.sliced(1);
    for (qsizetype at = searched.indexOf(first, from); at >= 0 && at + needle.size() <= to; at = searched.indexOf(first, at + 1))
        if (searched.sliced(at + 1, rest.size()) == rest) return at;
    return NotFound;
}

// Whether an odd number of backslashes stands right before index.
bool isEscaped(const QChar* text, qint64 index) {
    qint64 count = 0;
    while (index - count - 1 >= 0 && text[index - count - 1] == QLatin1Char('\\')) ++count;
    return count % 2 == 1;
}

}  // namespace

QVKeywordBasedParser::QVKeywordBasedParser(std::weak_ptr<QVBundle> bundle, const QVariantMap& plist)
    : QVParser(std::move(bundle), plist) {
    _caseSensitive = plist.value(kCaseSensitive).toBool();
    const QVariant characters = plist.value(kKeywordCharacters);
    // Without keyword characters no word is ever found; the sets start empty (and the
    // complement full) so that holds.
    _oppositeCharacters = _keywordCharacters.inverted();
    if (isString(characters)) setKeywordCharacters(characters.toString());
    loadKeywordsFromPlist(plist);
    loadQuotesInformationFromPlist(plist.value(kQuotes).toMap());
    loadCommentsFromPlist(plist.value(kComments).toList());
    loadScriptLiteralsFromPlist(plist);
}

void QVKeywordBasedParser::setKeywordCharacters(const QString& characters) {
    if (characters == _characterString && !characters.isNull()) return;
    _characterString = characters;
    // One case rule for where a word starts and how far it runs: a word that starts with a
    // character of the other case must also be able to continue with it, or the scan would
    // find a word of no length and never move on.
    _keywordCharacters = QVCharacterSet(characters, true);
    _oppositeCharacters = _keywordCharacters.inverted();
}

void QVKeywordBasedParser::loadKeywordsFromPlist(const QVariantMap& plist) {
    const QVariantMap keywords = plist.value(kKeywords).toMap();
    for (auto group = keywords.cbegin(); group != keywords.cend(); ++group)
        for (const QVariant& word : group.value().toList())
            if (isString(word)) _keywords.insert(word.toString(), QVKeyword(group.key(), word.toString()));
    for (const QVariant& entry : plist.value(kRegexKeywords).toList())
        if (entry.metaType() == QMetaType::fromType<QVariantMap>())
            _regexKeywords.append(QVKeyword::fromPlist(entry.toMap()));
    rebuildIndex();
}

void QVKeywordBasedParser::loadQuotesInformationFromPlist(const QVariantMap& quotes) {
    if (quotes.contains(kSingle)) _singleQuoteStyle = quotes.value(kSingle).toString();
    if (quotes.contains(kDouble)) _doubleQuoteStyle = quotes.value(kDouble).toString();
    if (_singleQuoteStyle.isNull() && quotes.contains(kSingle)) _singleQuoteStyle = QStringLiteral("");
    if (_doubleQuoteStyle.isNull() && quotes.contains(kDouble)) _doubleQuoteStyle = QStringLiteral("");
    // Strings may run over lines whether or not the theme colours them.
    _singleQuoteAttr.insert(QVTextStorage::MultiLineAttribute, true);
    _doubleQuoteAttr.insert(QVTextStorage::MultiLineAttribute, true);
    loadQuotesAttributes();
}

void QVKeywordBasedParser::loadScriptLiteralsFromPlist(const QVariantMap& plist) {
    if (isString(plist.value(kRegexLiterals))) _regexStyle = plist.value(kRegexLiterals).toString();
    if (isString(plist.value(kTemplateStrings))) _templateStyle = plist.value(kTemplateStrings).toString();
    if (isString(plist.value(kHeredocStrings))) _heredocStyle = plist.value(kHeredocStrings).toString();
    if (!_templateStyle.isNull()) _templateAttr.insert(QVTextStorage::MultiLineAttribute, true);
    if (!_heredocStyle.isNull()) _heredocAttr.insert(QVTextStorage::MultiLineAttribute, true);
    loadQuotesAttributes();
}

void QVKeywordBasedParser::loadQuotesAttributes() {
    const QVTheme* theme = this->theme().get();
    if (!theme) return;
    auto load = [theme](const QString& style, QVTextAttributes& attributes) {
        if (style.isNull()) return;
        QVTextAttributes themed = theme->attributesForIdentifier(style);
        if (themed.isEmpty()) return;
        themed.insert(QVTextStorage::MultiLineAttribute, true);
        attributes = themed;
    };
    load(_singleQuoteStyle, _singleQuoteAttr);
    load(_doubleQuoteStyle, _doubleQuoteAttr);
    load(_templateStyle, _templateAttr);
    load(_heredocStyle, _heredocAttr);
    if (!_regexStyle.isNull()) {
        if (const QVTextAttributes themed = theme->attributesForIdentifier(_regexStyle); !themed.isEmpty()) _regexAttr = themed;
    }
}

void QVKeywordBasedParser::loadCommentsFromPlist(const QVariantList& comments) {
    for (const QVariant& entry : comments)
        if (entry.metaType() == QMetaType::fromType<QVariantMap>()) _comments.append(QVComment(entry.toMap()));
}

void QVKeywordBasedParser::rebuildIndex() {
    _wordCache.clear();
    _index.clear();
    _index.reserve(_keywords.size());
    for (auto it = _keywords.cbegin(); it != _keywords.cend(); ++it) _index.insert(QStringView(it.key()), &it.value());
}

void QVKeywordBasedParser::setTheme(std::shared_ptr<QVTheme> theme) {
    QVParser::setTheme(theme);
    if (!theme) return;
    for (QVKeyword& keyword : _keywords) keyword.setTheme(theme.get());
    for (QVKeyword& keyword : _regexKeywords) keyword.setTheme(theme.get());
    for (QVComment& comment : _comments) comment.setTheme(theme.get());
    loadQuotesAttributes();
    rebuildIndex();
}

bool QVKeywordBasedParser::usesSingleQuotes() const { return !_singleQuoteStyle.isNull(); }

const QVKeyword* QVKeywordBasedParser::keywordForWord(QStringView word) const {
    return _index.value(word, nullptr);
}

const QVTextAttributes* QVKeywordBasedParser::attributesForWord(QStringView word) {
    if (const QVTextAttributes* const* known = _wordCache.find(word)) return *known;
    const QVTextAttributes* found = lookUpWord(word);
    _wordCache.insert(word, found);
    return found;
}

const QVTextAttributes* QVKeywordBasedParser::lookUpWord(QStringView word) {
    if (!_caseSensitive) {
        _lowered.resize(word.size());
        QChar* out = _lowered.data();
        for (qsizetype i = 0; i < word.size(); ++i) out[i] = word[i].toLower();
        word = QStringView(_lowered);
    }
    if (const QVKeyword* keyword = keywordForWord(word)) return &keyword->attributes();
    for (const QVKeyword& keyword : std::as_const(_regexKeywords)) {
        if (!keyword.regex()) continue;
        QVError error;
        const auto match = keyword.regex()->copyMatchForUTF16(reinterpret_cast<const char16_t*>(word.utf16()),
                                                              word.size(), QVRange(0, word.size()), &error);
        // A pattern too complex for a word leaves that word uncoloured by it; said once.
        if (error)
            SystemLog::warningOnce(QStringLiteral("Highlighting skips words the pattern \"%1\" is too complex for.")
                                       .arg(keyword.stringValue()));
        if (match && match->rangeForCapture(0) == QVRange(0, word.size())) return &keyword.attributes();
    }
    return nullptr;
}

QVRange QVKeywordBasedParser::rangeOfCommentInRange(QVRange range, QStringView text,
                                                    const QVTextAttributes** attributes, qint64* nextBegins) const {
    const qint64 from = range.location;
    const qint64 to = std::min<qint64>(range.end(), text.size());
    qint64 limit = to;
    qint64 found = NotFound;
    const QVComment* winner = nullptr;
    for (qsizetype i = 0; i < _comments.size(); ++i) {
        const QVComment& comment = _comments[i];
        qint64 at;
        if (nextBegins) {
            // A begin found earlier still ahead is the next one; a search that found none
            // stays true. Otherwise the whole rest is searched, so the answer can be kept.
            if (nextBegins[i] < from) nextBegins[i] = find(text, comment.begin(), from, to);
            at = nextBegins[i];
        } else {
            at = find(text, comment.begin(), from, std::min<qint64>(to, limit + comment.begin().size() - 1));
        }
        if (at == NotFound || at >= limit) continue;
        found = at;
        limit = at;
        winner = &comment;
    }
    if (!winner) return {};
    if (attributes) *attributes = &winner->attributes();
    const qint64 afterBegin = found + winner->begin().size();
    qint64 end;
    if (winner->hasEnd()) {
        const qint64 close = find(text, winner->end(), afterBegin, to);
        end = close == NotFound ? to : close + winner->end().size();
    } else {
        // To the end of the line without its last character; a line that ends the text
        // without a break keeps all of its characters.
        end = text.size();
        for (qint64 i = afterBegin; i < text.size(); ++i) {
            const QChar c = text[i];
            if (c == QLatin1Char('\n')) { end = i; break; }
            if (c == QLatin1Char('\r')) {
                end = i + 1 < text.size() && text[i + 1] == QLatin1Char('\n') ? i + 1 : i;
                break;
            }
        }
    }
    return {found, end - found};
}

QVEmbeddedRanges QVKeywordBasedParser::parseRange(QVRange range, QVTextStorage& storage, QVColouringSession* session) {
    range = clampedRange(range, storage.length());
    const qint64 resume = session ? std::clamp(session->resumeAt, range.location, range.end()) : range.location;
    if (session) session->stoppedAt = range.end();
    if (resume >= range.end()) return {};
    // A resumed pass keeps in view what the look back for an operand reads before it. Past the
    // range only a few characters are read: a comment begin that starts inside it, the "\n"
    // after a "\r" that ends it.
    qint64 longestBegin = 1;
    for (const QVComment& form : std::as_const(_comments)) longestBegin = std::max<qint64>(longestBegin, form.begin().size());
    const qint64 peek = longestBegin + 1;
    const qint64 viewStart = resume > range.location ? std::clamp(session->resumeSince, range.location, resume) : range.location;
    const QVRange lastLine = storage.lineRange(storage.lineOfPosition(range.end() - 1));
    const qint64 viewEnd = std::max(range.end(), std::min(lastLine.end(), range.end() + peek));
    const QStringView text = storage.characters(QVRange(viewStart, viewEnd - viewStart));
    const QChar* s = text.constData();
    const qint64 n = range.end() - viewStart;
    const qint64 base = viewStart;
    const qint64 first = resume - viewStart;
    qint64 furthest = first;

    // What lies ahead, searched a window at a time in a pass that may end early: a kind of token
    // that the rest of a long line lacks is not looked for to its end on every keystroke. at is the first one from the
    // current place on; while it is NotFound there is none before searched.
    struct Ahead {
        qint64 at = NotFound;
        qint64 searched = 0;
    };
    // A pass that may end early looks a window ahead at a time; one that colours its whole range
    // looks as far as it must at once.
    const qint64 window = session ? 4096 : n;

    const bool hasSingle = !_singleQuoteStyle.isNull();
    const bool hasDouble = !_doubleQuoteStyle.isNull();
    const bool hasRegex = !_regexStyle.isNull();
    const bool hasTemplate = !_templateStyle.isNull();
    const bool hasHeredoc = !_heredocStyle.isNull();
    auto findQuote = [&](qint64 from, qint64 until) -> qint64 {
        if (!hasSingle && !hasDouble) return NotFound;
        for (qint64 i = from; i < until; ++i) {
            const QChar c = s[i];
            if ((hasDouble && c == QLatin1Char('"')) || (hasSingle && c == QLatin1Char('\''))) return i;
        }
        return NotFound;
    };
    auto findKeyword = [&](qint64 from, qint64 until) -> qint64 {
        const qint64 at = _keywordCharacters.indexIn(s, from, until);
        return at < until ? at : NotFound;
    };
    auto findTemplate = [&](qint64 from, qint64 until) -> qint64 {
        if (!hasTemplate) return NotFound;
        const qsizetype at = text.left(until).indexOf(QLatin1Char('`'), from);
        return at < 0 ? NotFound : at;
    };
    // A heredoc begins at a "<<<" that opens one; the look at one that does not is kept, as it
    // read past it, for the boundaries after it.
    qint64 heredocEnd = NotFound;
    struct Rejected {
        qint64 at;
        qint64 read;
    };
    std::vector<Rejected> rejectedHeredocs;
    auto findHeredoc = [&](qint64 from, qint64 until) -> qint64 {
        if (!hasHeredoc) return NotFound;
        const QStringView searched = text.left(until);
        for (qsizetype at = searched.indexOf(QLatin1Char('<'), from); at >= 0; at = searched.indexOf(QLatin1Char('<'), at + 1)) {
            qint64 read = 0;
            const qint64 end = QVScriptLiterals::endOfHeredoc(text, at, n, &read);
            furthest = std::max(furthest, std::min(read, n));
            if (end > at) {
                heredocEnd = end;
                return at;
            }
            if (session) rejectedHeredocs.push_back({at, read});
        }
        return NotFound;
    };
    // A regular-expression literal begins at a slash that begins no comment and follows no
    // slash (which ends a comment begin, a comment or a literal), where an operand may start,
    // and that a closing slash follows on its line. Whether one does is read past
    // the slash, for a slash taken to divide as far as its line's end: that reach is kept for
    // the boundaries after it.
    qint64 regexEnd = NotFound;
    std::vector<Rejected> rejected;
    // Slashes before regexSameUntil would be rejected as the last scan was, reading as far.
    qint64 regexSameUntil = -1;
    qint64 regexSameRead = 0;
    auto beginsComment = [&](qint64 i) {
        for (const QVComment& form : std::as_const(_comments))
            if (!form.begin().isEmpty() && text.sliced(i).startsWith(form.begin())) return true;
        return false;
    };
    auto findRegex = [&](qint64 from, qint64 until) -> qint64 {
        if (!hasRegex) return NotFound;
        const QStringView searched = text.left(until);
        for (qsizetype i = searched.indexOf(QLatin1Char('/'), from); i >= 0; i = searched.indexOf(QLatin1Char('/'), i + 1)) {
            if ((i > 0 && s[i - 1] == QLatin1Char('/')) || beginsComment(i) || !QVScriptLiterals::operandMayStartAt(text, i, 0))
                continue;
            qint64 read = 0;
            qint64 end = -1;
            if (i < regexSameUntil) {
                read = regexSameRead;
            } else {
                end = QVScriptLiterals::endOfRegexLiteral(text, i, n, &read, &regexSameUntil);
                regexSameRead = read;
            }
            if (end > i) {
                regexEnd = end;
                furthest = std::max(furthest, end);
                return i;
            }
            if (session) rejected.push_back({i, read});
            furthest = std::max(furthest, std::min(read, n));
        }
        return NotFound;
    };
    // The first place in [from, until) where needle begins and fits before the range's end.
    auto findBeginning = [&](QStringView needle, qint64 from, qint64 until) -> qint64 {
        if (needle.isEmpty()) return NotFound;
        const QStringView searched = text.left(until);
        for (qsizetype at = searched.indexOf(needle.front(), from); at >= 0; at = searched.indexOf(needle.front(), at + 1)) {
            if (at + needle.size() > n) return NotFound;
            if (text.sliced(at + 1, needle.size() - 1) == needle.sliced(1)) return at;
        }
        return NotFound;
    };

    enum Kind { Quote, Keyword, Regex, Template, Heredoc, FirstComment };
    const qsizetype kinds = FirstComment + _comments.size();
    QVarLengthArray<Ahead, 8> ahead(kinds);
    // Kinds the language lacks are searched to the end at once.
    if (!hasSingle && !hasDouble) ahead[Quote].searched = n;
    if (_keywordCharacters.isEmpty()) ahead[Keyword].searched = n;
    if (!hasRegex) ahead[Regex].searched = n;
    if (!hasTemplate) ahead[Template].searched = n;
    if (!hasHeredoc) ahead[Heredoc].searched = n;
    for (qsizetype i = FirstComment; i < kinds; ++i)
        if (_comments[i - FirstComment].begin().isEmpty()) ahead[i].searched = n;
    auto search = [&](qsizetype kind, qint64 from, qint64 until) -> qint64 {
        switch (kind) {
        case Quote: return findQuote(from, until);
        case Keyword: return findKeyword(from, until);
        case Regex: return findRegex(from, until);
        case Template: return findTemplate(from, until);
        case Heredoc: return findHeredoc(from, until);
        default: return findBeginning(_comments[kind - FirstComment].begin(), from, until);
        }
    };
    // The kinds that may still be found ahead; one searched to the range's end without a find
    // leaves the list.
    QVarLengthArray<qsizetype, 8> active;
    Ahead* const aheadOf = ahead.data();
    for (qsizetype i = 0; i < kinds; ++i)
        if (ahead[i].searched < n) active.append(i);
    // Brings every kind up to date for place p and answers the next token's start: every kind
    // is then found at or after it, or has none before it.
    auto next = [&](qint64 p) -> qint64 {
        for (;;) {
            qint64 found = NotFound;
            qint64 lowest = NotFound;
            qsizetype lagging = -1;
            qsizetype* kindsAhead = active.data();
            for (qsizetype j = 0; j < active.size();) {
                Ahead& a = aheadOf[kindsAhead[j]];
                if (a.at != NotFound && a.at >= p) {
                    found = std::min(found, a.at);
                    ++j;
                    continue;
                }
                a.at = NotFound;
                a.searched = std::max(a.searched, p);
                if (a.searched >= n) {
                    active[j] = active.back();
                    active.removeLast();
                    continue;
                }
                if (a.searched < lowest) {
                    lowest = a.searched;
                    lagging = kindsAhead[j];
                }
                ++j;
            }
            if (lagging < 0 || found < lowest) return found;
            Ahead& a = aheadOf[lagging];
            const qint64 until = std::min(n, a.searched + window);
            a.at = search(lagging, a.searched, until);
            a.searched = a.at == NotFound ? until : a.at;
            furthest = std::max(furthest, a.at == NotFound ? until : a.at + 1);
        }
    };
    // A line comment may reach past the range: its end belongs to whatever language follows.
    auto colour = [&](const QVTextAttributes* attributes, qint64 location, qint64 length) {
        length = std::min(length, n - location);
        if (attributes && !attributes->isEmpty() && length > 0) {
            if (session) session->reach(base + location + length);
            storage.addAttributes(*attributes, QVRange(base + location, length));
        }
    };
    // A comment's extent from its begin at c: through its end string (or to the range's end
    // when that is missing), a line comment to its line's end without the line's last character.
    auto commentEnd = [&](const QVComment& form, qint64 c) -> qint64 {
        const qint64 afterBegin = c + form.begin().size();
        if (form.hasEnd()) {
            const qint64 close = find(text.left(n), form.end(), afterBegin, n);
            return close == NotFound ? n : close + form.end().size();
        }
        for (qint64 i = afterBegin; i < n; ++i) {
            const QChar c = s[i];
            if (c == QLatin1Char('\n')) return i;
            if (c == QLatin1Char('\r')) return i + 1 < text.size() && s[i + 1] == QLatin1Char('\n') ? i + 1 : i;
        }
        return n;
    };

    size_t rejectedSeen = 0;
    qint64 rejectedReach = 0;
    size_t heredocsSeen = 0;
    qint64 heredocReach = 0;
    qint64 p = first;
    qint64 stop = n;
    for (;;) {
        const qint64 at = next(p);
        if (at == NotFound) break;
        if (session && at > first) {
            // The parse from at reads back only to judge a slash: one there reads back as far as
            // what stands before it, one after a word there (and blanks) to the character before
            // the word, which must not be a word character itself.
            qint64 since = at;
            if (hasRegex) {
                if (QVScriptLiterals::isWordCharacter(s[at]))
                    since = QVScriptLiterals::isWordCharacter(s[at - 1]) ? -1 : at - 1;
                else if (s[at] == QLatin1Char('/') && !beginsComment(at))
                    since = QVScriptLiterals::lookBackStart(text, at);
            }
            // What came before at read a character or so past it (the end of a word, a comment
            // begin that did not match), and as far as a slash taken to divide looked.
            while (rejectedSeen < rejected.size() && rejected[rejectedSeen].at < at)
                rejectedReach = std::max(rejectedReach, rejected[rejectedSeen++].read);
            // A "<<<" that opened nothing read as far as its line's end, which an edit there may
            // make open a heredoc.
            while (heredocsSeen < rejectedHeredocs.size() && rejectedHeredocs[heredocsSeen].at < at)
                heredocReach = std::max(heredocReach, rejectedHeredocs[heredocsSeen++].read);
            const qint64 horizon = std::max(at + peek, heredocReach);
            if (since >= 0 && session->boundary(base + at, base + since, base + horizon, base + rejectedReach)) {
                stop = at;
                break;
            }
        }
        auto value = [&](qsizetype kind) { return ahead[kind].at; };
        const qint64 q = value(Quote), k = value(Keyword), r = value(Regex), t = value(Template), h = value(Heredoc);
        qsizetype commentKind = -1;
        for (qsizetype i = FirstComment; i < kinds; ++i)
            if (ahead[i].at != NotFound && (commentKind < 0 || ahead[i].at < ahead[commentKind].at)) commentKind = i;
        const qint64 c = commentKind < 0 ? NotFound : ahead[commentKind].at;
        // The earliest string of any kind; none of them can start where another does.
        const qint64 m = std::min({q, r, t, h});
        qint64 end;
        if (c < k && c < m) {
            const QVComment& form = _comments[commentKind - FirstComment];
            end = commentEnd(form, c);
            colour(&form.attributes(), c, end - c);
        } else if (m < k && m == r) {
            colour(&_regexAttr, r, regexEnd - r);
            end = regexEnd;
        } else if (m < k && m == t) {
            const qint64 close = QVScriptLiterals::endOfTemplateString(text, t, n);
            end = close < 0 ? n : close;
            colour(&_templateAttr, t, end - t);
        } else if (m < k && m == h) {
            colour(&_heredocAttr, h, heredocEnd - h);
            end = heredocEnd;
        } else if (q < k) {
            const QChar quote = s[q] == QLatin1Char('\'') ? QLatin1Char('\'') : QLatin1Char('"');
            qint64 close = n - 1;
            for (qint64 e = q + 1; e < n; ++e) {
                // A script's quoted string ends with its line, unless a backslash carries it
                // on, as the scan for the script's end reads it.
                if (hasTemplate && (s[e] == QLatin1Char('\n') || s[e] == QLatin1Char('\r')) && !isEscaped(s, e)) {
                    close = e - 1;
                    break;
                }
                if (s[e] != quote) continue;
                if (e == n - 1 || !isEscaped(s, e)) {
                    close = e;
                    break;
                }
            }
            colour(quote == QLatin1Char('\'') ? &_singleQuoteAttr : &_doubleQuoteAttr, q, close - q + 1);
            end = close + 1;
        } else {
            const qint64 wordEnd = std::max(_keywordCharacters.indexIn(s, k, n, false), k + 1);
            colour(attributesForWord(QStringView(s + k, wordEnd - k)), k, wordEnd - k);
            end = wordEnd;
        }
        p = std::min(std::max(end, p + 1), n);
        furthest = std::max(furthest, std::min(p + 1, n));
        if (p >= n) break;
    }
    if (session) {
        if (stop == n) session->reach(range.end());
        session->stoppedAt = base + stop;
    }
    countParsed(std::max(furthest, stop) - first);
    markParsed(QVRange(resume, base + stop - resume), storage);
    return {};
}

namespace {
// Longer than any comment begin a language has.
constexpr qint64 OpenerLength = 16;
}  // namespace

const QVTextAttributes* QVKeywordBasedParser::openLiteralAt(QStringView text, const QVComment** comment, QChar* quote) const {
    if (!_templateStyle.isNull() && text.startsWith(QLatin1Char('`'))) return &_templateAttr;
    if (!_heredocStyle.isNull() && text.startsWith(QLatin1String("<<<"))) return &_heredocAttr;
    for (const QVComment& form : _comments)
        if (form.hasEnd() && !form.begin().isEmpty() && text.startsWith(form.begin())) {
            *comment = &form;
            return &form.attributes();
        }
    if (!_doubleQuoteStyle.isNull() && text.startsWith(QLatin1Char('"'))) {
        *quote = QLatin1Char('"');
        return &_doubleQuoteAttr;
    }
    if (!_singleQuoteStyle.isNull() && text.startsWith(QLatin1Char('\''))) {
        *quote = QLatin1Char('\'');
        return &_singleQuoteAttr;
    }
    return nullptr;
}

bool QVKeywordBasedParser::heredocAt(const QVTextStorage& storage, qint64 opener) const {
    return !_heredocStyle.isNull() && opener >= 0 && storage.length() - opener >= 3 && storage.characters(QVRange(opener, 3)) == u"<<<";
}

qint64 QVKeywordBasedParser::endOfOpenLiteral(const QVTextStorage& storage, qint64 opener, qint64 from, qint64 limit,
                                              QVScriptLiterals::TemplateNesting* nesting) const {
    if (opener < 0 || from < opener || limit < from || limit > storage.length()) return -2;
    if (heredocAt(storage, opener)) {
        // Its identifier on the opener's line, of a length no hand types.
        constexpr qint64 OpeningReach = 1024;
        const QStringView opening = storage.characters(QVRange(opener, std::min(OpeningReach, storage.length() - opener)));
        QStringView label;
        const qint64 body = QVScriptLiterals::heredocBody(opening, 0, opening.size(), &label);
        if (body < 0) return -2;
        // Only a line's start can close it: the reads go from one to another.
        auto lineStart = [&](qint64 at) {
            if (at == opener + body || at == storage.length()) return true;
            const QChar before = storage.characterAt(at - 1);
            return before == u'\n' || (before == u'\r' && storage.characterAt(at) != u'\n');
        };
        const qint64 start = std::max(from, opener + body);
        if (limit <= start) return limit < opener + body ? -2 : -1;
        if (!lineStart(limit)) return -2;
        const qint64 viewEnd = std::min(storage.length(), limit + label.size() + 1);
        // Each line's start is read, from the text's own line index, not the lines between: a
        // line of megabytes in the body (a read stopped amid it) was copied whole to find its end.
        // From inside a line, the next line is the first that may close it.
        for (qint64 line = storage.lineOfPosition(start) + (lineStart(start) ? 0 : 1); line < storage.lineCount(); ++line) {
            const qint64 at = storage.lineStart(line);
            if (at >= limit) break;
            if (at < start) continue;
            qint64 j = at;
            while (j < viewEnd && (storage.characterAt(j) == u' ' || storage.characterAt(j) == u'\t')) ++j;
            const qint64 end = std::min(viewEnd, j + label.size() + 1);
            const QStringView head = storage.characters(QVRange(j, end - j));
            countParsed(end - at);
            if (const qint64 after = QVScriptLiterals::heredocClosesAt(head, 0, head.size(), label); after >= 0) return j + after;
        }
        return -1;
    }
    const QVComment* comment = nullptr;
    QChar quote;
    if (!openLiteralAt(storage.characters(QVRange(opener, std::min<qint64>(OpenerLength, storage.length() - opener))), &comment, &quote))
        return -2;
    if (comment) {
        // The end string may begin a little before from (where the last read stopped).
        const qint64 floor = opener + comment->begin().size();
        const qint64 begin = std::max(floor, from - qint64(comment->end().size()) + 1);
        if (limit <= begin) return -1;
        const QStringView text = storage.characters(QVRange(begin, limit - begin));
        countParsed(limit - from);
        const qsizetype at = text.indexOf(comment->end());
        return at < 0 ? -1 : begin + at + comment->end().size();
    }
    const qint64 start = from == opener ? opener + 1 : from;
    if (limit <= start) return -1;
    const QStringView text = storage.characters(QVRange(start, limit - start));
    countParsed(limit - from);
    if (!quote.isNull()) {
        // As parseRange() reads it: a backslash escapes, a script's string ends with its line,
        // and a quote that ends the whole text closes it whatever stands before it.
        const bool endsWithLine = !_templateStyle.isNull();
        const qint64 last = storage.length() - 1 - start;
        bool escaped = false;
        for (qint64 e = 0; e < text.size(); ++e) {
            const QChar c = text[e];
            if (c == quote && (!escaped || e == last)) return start + e + 1;
            if (escaped) {
                escaped = false;
            } else if (c == u'\\') {
                escaped = true;
            } else if (endsWithLine && (c == u'\n' || c == u'\r')) {
                return start + e;
            }
        }
        return escaped ? -2 : -1;
    }
    QVScriptLiterals::TemplateNesting outermost;
    QVScriptLiterals::TemplateNesting& stands = nesting && from != opener ? *nesting : outermost;
    qint64 resumable = 0;
    const qint64 end = QVScriptLiterals::readTemplate(text, 0, text.size(), stands, &resumable);
    if (nesting) *nesting = stands;
    if (end >= 0) return start + end;
    return resumable == text.size() ? -1 : -2;
}

void QVKeywordBasedParser::colourOpenLiteral(QVTextStorage& storage, qint64 opener, QVRange range, qint64 end) {
    const QVComment* comment = nullptr;
    QChar quote;
    const QVTextAttributes* attributes =
        openLiteralAt(storage.characters(QVRange(opener, std::min<qint64>(OpenerLength, storage.length() - opener))), &comment, &quote);
    if (!attributes) return;
    const qint64 literalEnd = end < 0 ? range.end() : std::clamp(end, range.location, range.end());
    const QVRange literal(range.location, literalEnd - range.location);
    if (literal.length > 0) {
        storage.addAttributes(*attributes, literal);
        // The literal as a whole holds a line break, whatever this stretch of it holds.
        if (attributes->contains(QVTextStorage::MultiLineAttribute))
            storage.addAttribute(QVTextStorage::MultiLineAttribute, attributes->value(QVTextStorage::MultiLineAttribute), literal);
        markParsed(literal, storage);
    }
    if (literalEnd >= range.end()) return;
    // The parse after the literal reads back on its line only (a slash after it).
    struct AfterLiteral : QVColouringSession {
        void reach(qint64) override {}
        bool boundary(qint64, qint64, qint64, qint64) override { return false; }
    } session;
    const qint64 lineStart = std::max(range.location, storage.lineRange(storage.lineOfPosition(literalEnd)).location);
    session.resumeAt = literalEnd;
    session.resumeSince = lineStart;
    parseRange(QVRange(lineStart, range.end() - lineStart), storage, &session);
}

QVariantList QVKeywordBasedParser::identifiers() const {
    QMap<QString, QStringList> groups;
    for (const QVKeyword& keyword : _keywords)
        if (!keyword.identifier().isEmpty()) groups[keyword.identifier()].append(keyword.stringValue());
    for (const QVKeyword& keyword : _regexKeywords)
        if (!keyword.identifier().isEmpty()) groups[keyword.identifier()].append(keyword.stringValue());
    QVariantList result;
    for (auto group = groups.begin(); group != groups.end(); ++group) {
        QStringList words = group.value();
        std::sort(words.begin(), words.end());
        QVariantList entries;
        for (const QString& word : words) entries.append(QVariantMap{{kTitle, word}});
        result.append(QVariantMap{{kTitle, group.key()}, {kKeywords, entries}});
    }
    return result;
}

void QVKeywordBasedParser::setIdentifiers(const QVariantList& groups) {
    _keywords.clear();
    _regexKeywords.clear();
    for (const QVariant& groupValue : groups) {
        const QVariantMap group = groupValue.toMap();
        const QString style = group.value(kTitle).toString();
        if (style.isEmpty()) continue;
        for (const QVariant& entryValue : group.value(kKeywords).toList()) {
            const QString word = entryValue.toMap().value(kTitle).toString();
            if (word.isEmpty()) continue;
            const bool plain = std::all_of(word.cbegin(), word.cend(), [this](QChar c) { return _keywordCharacters.contains(c); });
            if (plain) _keywords.insert(word, QVKeyword(style, word));
            else _regexKeywords.append(QVKeyword::withPattern(style, word));
        }
    }
    rebuildIndex();
}

QVariantList QVKeywordBasedParser::plistForComments() const {
    QVariantList list;
    for (const QVComment& comment : _comments) list.append(comment.plistRepresentation());
    return list;
}

QVariantMap QVKeywordBasedParser::plistForKeywords() const {
    QMap<QString, QStringList> groups;
    for (const QVKeyword& keyword : _keywords)
        if (!keyword.identifier().isEmpty()) groups[keyword.identifier()].append(keyword.keyword());
    QVariantMap plist;
    for (auto group = groups.begin(); group != groups.end(); ++group) {
        group.value().sort();
        plist.insert(group.key(), QVariant(group.value()).toList());
    }
    return plist;
}

QVariantList QVKeywordBasedParser::plistForRegexKeywords() const {
    QVariantList list;
    for (const QVKeyword& keyword : _regexKeywords) list.append(keyword.plistRepresentation());
    return list;
}

QVariantMap QVKeywordBasedParser::plistForQuotes() const {
    QVariantMap quotes;
    if (!_singleQuoteStyle.isNull()) quotes.insert(kSingle, _singleQuoteStyle);
    if (!_doubleQuoteStyle.isNull()) quotes.insert(kDouble, _doubleQuoteStyle);
    return quotes;
}

QVariantMap QVKeywordBasedParser::plistRepresentation() const {
    QVariantMap plist = QVParser::plistRepresentation();
    plist.insert(FormatTypeKey, QStringLiteral("keyword"));
    if (!_characterString.isNull()) plist.insert(kKeywordCharacters, _characterString);
    // Written so that a case-sensitive language stays one when saved and read back.
    if (_caseSensitive) plist.insert(kCaseSensitive, true);
    const QVariantMap quotes = plistForQuotes();
    if (!quotes.isEmpty()) plist.insert(kQuotes, quotes);
    if (!_regexStyle.isNull()) plist.insert(kRegexLiterals, _regexStyle);
    if (!_templateStyle.isNull()) plist.insert(kTemplateStrings, _templateStyle);
    if (!_heredocStyle.isNull()) plist.insert(kHeredocStrings, _heredocStyle);
    const QVariantList comments = plistForComments();
    if (!comments.isEmpty()) plist.insert(kComments, comments);
    const QVariantMap keywords = plistForKeywords();
    if (!keywords.isEmpty()) plist.insert(kKeywords, keywords);
    const QVariantList regexKeywords = plistForRegexKeywords();
    if (!regexKeywords.isEmpty()) plist.insert(kRegexKeywords, regexKeywords);
    return plist;
}

qint64 QVKeywordBasedParser::endOfEmbeddedBlock(QStringView text, qint64 from, QStringView end, bool element, BlockPlaces* places) const {
    BlockLexicon lexicon;
    lexicon.doubleQuotes = !_doubleQuoteStyle.isNull();
    lexicon.singleQuotes = !_singleQuoteStyle.isNull();
    lexicon.escapedQuoteOpens = true;
    lexicon.comments = &_comments;
    lexicon.wordCharacters = &_keywordCharacters;
    lexicon.regexLiterals = !_regexStyle.isNull();
    lexicon.templateStrings = !_templateStyle.isNull();
    lexicon.heredocs = !_heredocStyle.isNull();
    // A language with template strings spans lines with those; its quoted strings end with
    // their line.
    lexicon.stringsEndAtLineEnd = lexicon.templateStrings;
    // An element's end tag ends a script or style sheet wherever no quoted string hides it, as
    // a browser reads it: an unclosed comment does not run on over it.
    lexicon.commentsHideEnd = !element;
    lexicon.endTag = element;
    return endOfBlock(text, from, end, lexicon, places);
}
