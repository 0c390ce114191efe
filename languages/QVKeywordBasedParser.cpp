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
    if (!_templateStyle.isNull()) _templateAttr.insert(QVTextStorage::MultiLineAttribute, true);
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

QVEmbeddedRanges QVKeywordBasedParser::parseRange(QVRange range, QVTextStorage& storage) {
    range = clampedRange(range, storage.length());
    if (range.length == 0) return {};
    // The text of the range and the rest of its last line, where a line comment may end.
    const QVRange lastLine = storage.lineRange(storage.lineOfPosition(range.end() - 1));
    const qint64 extendedEnd = std::max(range.end(), lastLine.end());
    const QString text = storage.substring(QVRange(range.location, extendedEnd - range.location));
    const QChar* s = text.constData();
    const qint64 n = range.length;
    const qint64 base = range.location;

    const bool hasSingle = !_singleQuoteStyle.isNull();
    const bool hasDouble = !_doubleQuoteStyle.isNull();
    auto findQuote = [&](qint64 from) -> qint64 {
        if (!hasSingle && !hasDouble) return NotFound;
        for (qint64 i = from; i < n; ++i) {
            const QChar c = s[i];
            if ((hasDouble && c == QLatin1Char('"')) || (hasSingle && c == QLatin1Char('\''))) return i;
        }
        return NotFound;
    };
    auto findKeyword = [&](qint64 from) -> qint64 {
        const qint64 at = _keywordCharacters.indexIn(s, from, n);
        return at < n ? at : NotFound;
    };
    const QVTextAttributes* commentAttributes = nullptr;
    QVRange comment;
    QVarLengthArray<qint64, 4> nextBegins(_comments.size(), -1);
    auto findComment = [&](qint64 from) {
        comment = _comments.isEmpty() ? QVRange()
                                      : rangeOfCommentInRange(QVRange(from, n - from), text, &commentAttributes,
                                                              nextBegins.data());
    };
    // A line comment may reach past the range: its end belongs to whatever language follows.
    auto colour = [&](const QVTextAttributes* attributes, qint64 location, qint64 length) {
        length = std::min(length, n - location);
        if (attributes && !attributes->isEmpty() && length > 0)
            storage.addAttributes(*attributes, QVRange(base + location, length));
    };

    // Regular-expression literals and template strings, for languages that have them; a slash
    // that begins a comment is the comment's.
    const bool hasRegex = !_regexStyle.isNull();
    const bool hasTemplate = !_templateStyle.isNull();
    const QStringView whole(text);
    qint64 regexEnd = NotFound;
    auto findRegex = [&](qint64 from) -> qint64 {
        if (!hasRegex) return NotFound;
        for (qint64 i = from; i < n; ++i) {
            if (s[i] != QLatin1Char('/')) continue;
            const QVComment* begun = nullptr;
            for (const QVComment& form : _comments)
                if (!form.begin().isEmpty() && whole.sliced(i).startsWith(form.begin())) begun = &form;
            if (begun) {
                i += begun->begin().size() - 1;
                continue;
            }
            if (!QVScriptLiterals::operandMayStartAt(whole, i, 0)) continue;
            regexEnd = QVScriptLiterals::endOfRegexLiteral(whole, i, n);
            if (regexEnd > i) return i;
        }
        return NotFound;
    };
    auto findTemplate = [&](qint64 from) -> qint64 {
        if (!hasTemplate) return NotFound;
        const qsizetype at = whole.left(n).indexOf(QLatin1Char('`'), from);
        return at < 0 ? NotFound : at;
    };

    qint64 q = findQuote(0);
    qint64 k = findKeyword(0);
    qint64 r = findRegex(0);
    qint64 t = findTemplate(0);
    findComment(0);
    qint64 p = 0;
    while (q != NotFound || k != NotFound || r != NotFound || t != NotFound || !comment.isNotFound()) {
        const qint64 c = comment.location;
        // The earliest string of any kind; none of them can start where another does.
        const qint64 m = std::min({q, r, t});
        qint64 next;
        if (c < k && c < m) {
            colour(commentAttributes, c, comment.length);
            next = c + comment.length;
        } else if (m < k && m == r) {
            colour(&_regexAttr, r, regexEnd - r);
            next = regexEnd;
        } else if (m < k && m == t) {
            const qint64 end = QVScriptLiterals::endOfTemplateString(whole, t, n);
            const qint64 close = end < 0 ? n : end;
            colour(&_templateAttr, t, close - t);
            next = close;
        } else if (q < k) {
            const QChar quote = s[q] == QLatin1Char('\'') ? QLatin1Char('\'') : QLatin1Char('"');
            qint64 close = n - 1;
            for (qint64 e = q + 1; e < n; ++e) {
                if (s[e] != quote) continue;
                if (e == n - 1 || !isEscaped(s, e)) {
                    close = e;
                    break;
                }
            }
            colour(quote == QLatin1Char('\'') ? &_singleQuoteAttr : &_doubleQuoteAttr, q, close - q + 1);
            next = close + 1;
        } else {
            const qint64 wordEnd = std::max(_keywordCharacters.indexIn(s, k, n, false), k + 1);
            colour(attributesForWord(QStringView(s + k, wordEnd - k)), k, wordEnd - k);
            next = wordEnd;
        }
        p = std::min(std::max(next, p + 1), n);
        if (q != NotFound && q < p) q = p < n ? findQuote(p) : NotFound;
        if (r != NotFound && r < p) r = p < n ? findRegex(p) : NotFound;
        if (t != NotFound && t < p) t = p < n ? findTemplate(p) : NotFound;
        if (!comment.isNotFound() && c < p) {
            if (p < n) findComment(p);
            else comment = QVRange();
        }
        // A keyword character still ahead stays the next one; a scan that found none stays
        // true, so text without words after its strings is not scanned again after each one.
        if (k != NotFound && k < p) k = p < n ? findKeyword(p) : NotFound;
    }
    markParsed(range, storage);
    return {};
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
    const QVariantList comments = plistForComments();
    if (!comments.isEmpty()) plist.insert(kComments, comments);
    const QVariantMap keywords = plistForKeywords();
    if (!keywords.isEmpty()) plist.insert(kKeywords, keywords);
    const QVariantList regexKeywords = plistForRegexKeywords();
    if (!regexKeywords.isEmpty()) plist.insert(kRegexKeywords, regexKeywords);
    return plist;
}

qint64 QVKeywordBasedParser::endOfEmbeddedBlock(QStringView text, qint64 from, QStringView end) const {
    BlockLexicon lexicon;
    lexicon.doubleQuotes = !_doubleQuoteStyle.isNull();
    lexicon.singleQuotes = !_singleQuoteStyle.isNull();
    lexicon.escapedQuoteOpens = true;
    lexicon.comments = &_comments;
    lexicon.wordCharacters = &_keywordCharacters;
    lexicon.regexLiterals = !_regexStyle.isNull();
    lexicon.templateStrings = !_templateStyle.isNull();
    // A language with template strings spans lines with those; its quoted strings end with
    // their line.
    lexicon.stringsEndAtLineEnd = lexicon.templateStrings;
    return endOfBlock(text, from, end, lexicon);
}
