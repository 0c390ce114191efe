// The highlighter of program text: comments, quoted strings, keywords and pattern keywords
// found in one forward pass over the range asked for.
#pragma once

#include "languages/QVCharacterSet.h"
#include "languages/QVComment.h"
#include "languages/QVKeyword.h"
#include "languages/QVParser.h"
#include "languages/QVWordCache.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QVariantList>
#include <QVariantMap>

// Made for "format-type" "keyword". Keys of its syntax dictionary besides the common ones:
// "keyword-characters" (string), "case-sensitive" (bool), "quotes" ({"single", "double"}: style
// identifiers), "comments" ([{"begin", "end", "id"}]), "keywords" ({style: [words]}) and
// "regex-keywords" ([{"id", "keyword"}]); for scripts also "regex-literals" and "template-strings"
// (style identifiers): `/.../flags` where an operand may start, and backtick strings whose
// "${...}" holes may hold quotes and backticks of their own; for PHP "heredoc-strings" (a style
// identifier): heredocs and nowdocs (QVScriptLiterals).
//
// Keyword characters are matched ignoring case (both for where a word starts and how far it
// runs), so a language that lists lower-case characters still sees "SELECT" as one word; a
// language that is not case-sensitive looks its words up lower-cased, so it lists them so.
class QVKeywordBasedParser : public QVParser {
public:
    QVKeywordBasedParser(std::weak_ptr<QVBundle> bundle, const QVariantMap& plist);

    // The keywords as the keyword-syntax editor shows them: groups {"title": style,
    // "keywords": [{"title": word or pattern}]}, sorted by title, entries sorted too.
    QVariantList identifiers() const;
    // Replaces every keyword from that form: an entry with a character outside the keyword
    // characters becomes a pattern keyword. They have no colours until the next setTheme().
    void setIdentifiers(const QVariantList& groups);

    QVariantMap plistRepresentation() const override;

    // The characters that end a word (the complement of the keyword characters).
    const QVCharacterSet& oppositeSet() const { return _oppositeCharacters; }
    const QVCharacterSet& keywordCharacterSet() const { return _keywordCharacters; }
    const QString& keywordCharacters() const { return _characterString; }
    void setKeywordCharacters(const QString& characters);
    bool caseSensitive() const { return _caseSensitive; }

    void setTheme(std::shared_ptr<QVTheme> theme) override;
    // Colours range and marks it; never finds embedded ranges. Boundaries are the starts of
    // tokens; a slash that may begin a regular-expression literal reads back to what stands
    // before it (QVScriptLiterals::lookBackStart), and a word that continues one of the look
    // back's word characters before it is none.
    using QVParser::parseRange;
    QVEmbeddedRanges parseRange(QVRange range, QVTextStorage& storage, QVColouringSession* session) override;
    bool usesSingleQuotes() const override;
    // The end outside the strings and comments this parser colours, found as it finds them: a
    // quote of a form the language has opens a string (also after a backslash) that only its own
    // kind closes, and neither begins inside a word; regular-expression literals and template
    // strings hide it too when the language has them, and so do heredocs and nowdocs.
    qint64 endOfEmbeddedBlock(QStringView text, qint64 from, QStringView end, bool element = false,
                              BlockPlaces* places = nullptr) const override;

    // A comment with an end string, a template string or a quoted string, that opens at opener,
    // read from from on (its opener, or a place where an earlier read of it stopped in it: of a
    // template string standing in *nesting, of a quoted string at a line's start) to limit:
    // just past its end (a script's quoted string ends before its line break), -1 when it runs
    // on to limit (*nesting then says how a template string stands there), -2 when no such
    // literal opens at opener or an escape, or a "$", stands just before limit.
    // A slice of colouring inside a literal of megabytes reads on from where the last one stopped.
    // Heredocs and nowdocs are read so too, limit at the start of a line of the body and from
    // anywhere in it (only a line's start may close one).
    qint64 endOfOpenLiteral(const QVTextStorage& storage, qint64 opener, qint64 from, qint64 limit,
                            QVScriptLiterals::TemplateNesting* nesting = nullptr) const;
    // Whether the literal that opens at opener is a heredoc or nowdoc (whose body hides the
    // end of the block it stands in, as a string does).
    bool heredocAt(const QVTextStorage& storage, qint64 opener) const;
    // Colours range, which begins inside that literal where endOfOpenLiteral() read it from and
    // found end: the literal's colours to end (all of range when -1), then parses the rest as a
    // parse of the whole literal would go on after it.
    void colourOpenLiteral(QVTextStorage& storage, qint64 opener, QVRange range, qint64 end);

    // The first comment inside range of text: the form whose begin occurs first (the earlier
    // form of the list on a tie) and its extent: through the end string (or to range's end when
    // that is missing), or, for a line comment, to the end of its line without the line's last
    // character (all of it when text ends there without a break), which may lie beyond range;
    // so text must reach the end of the line that holds range's end. NotFound when there is
    // none. attributes receives the winner's attributes. Calls over one text with ranges that
    // start ever later and end alike may share nextBegins, one entry per comment kind, all -1
    // at first: where each kind's begin was last found, so no stretch is searched twice.
    QVRange rangeOfCommentInRange(QVRange range, QStringView text, const QVTextAttributes** attributes = nullptr,
                                  qint64* nextBegins = nullptr) const;

    const QHash<QString, QVKeyword>& keywords() const { return _keywords; }
    const QList<QVKeyword>& regexKeywords() const { return _regexKeywords; }
    const QList<QVComment>& comments() const { return _comments; }

private:
    void loadCommentsFromPlist(const QVariantList& comments);
    void loadKeywordsFromPlist(const QVariantMap& plist);
    void loadQuotesInformationFromPlist(const QVariantMap& quotes);
    void loadQuotesAttributes();
    void loadScriptLiteralsFromPlist(const QVariantMap& plist);
    QVariantList plistForComments() const;
    QVariantMap plistForKeywords() const;
    QVariantList plistForRegexKeywords() const;
    QVariantMap plistForQuotes() const;
    void rebuildIndex();
    // The comment with an end string, the template string or the quoted string (a script's) that begins at
    // the start of text, else null (comment and quote then untouched; quote is set for a string).
    const QVTextAttributes* openLiteralAt(QStringView text, const QVComment** comment, QChar* quote) const;
    const QVKeyword* keywordForWord(QStringView word) const;
    // What colours word: a keyword's attributes, else the first pattern keyword matching all of
    // it, else null. Remembered per word until the keywords or the theme change.
    const QVTextAttributes* attributesForWord(QStringView word);
    const QVTextAttributes* lookUpWord(QStringView word);

    QHash<QString, QVKeyword> _keywords;
    QList<QVKeyword> _regexKeywords;
    bool _caseSensitive = false;
    QVCharacterSet _oppositeCharacters;
    QString _characterString;
    // "single" / "double" style identifiers (null when the form is absent) and their attributes
    // with "multi-line" added.
    QString _singleQuoteStyle;
    QString _doubleQuoteStyle;
    QVTextAttributes _singleQuoteAttr;
    QVTextAttributes _doubleQuoteAttr;
    // "regex-literals" / "template-strings" / "heredoc-strings" style identifiers (null when the
    // language has none) and their attributes; template strings and heredocs may run over lines.
    QString _regexStyle;
    QString _templateStyle;
    QString _heredocStyle;
    QVTextAttributes _regexAttr;
    QVTextAttributes _templateAttr;
    QVTextAttributes _heredocAttr;
    QList<QVComment> _comments;
    QVCharacterSet _keywordCharacters;
    // The plain keywords by word, pointing into _keywords (rebuilt whenever it changes), so a
    // lookup costs no string copy.
    QHash<QStringView, const QVKeyword*> _index;
    QString _lowered;  // scratch for lower-casing a word
    QVWordCache<const QVTextAttributes*> _wordCache;
};
