// The base of a language's syntax parsers: identifier, folding expressions, embedded-block
// openers and closers, theme, code navigation, and the highlighting contract with the editor.
#pragma once

#include "languages/QVScriptLiterals.h"
#include "platform/QVError.h"
#include "platform/QVRange.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <functional>
#include <limits>
#include <memory>
#include <vector>

class QVBundle;
class QVCharacterSet;
class QVCodeNavParser;
class QVComment;
class QVCodeNavMenuItem;
class QVParser;
class QVRegex;
class QVTextStorage;
class QVTheme;

// Text attributes as the text storage takes them: QVTextStorage::ForegroundColorAttribute and
// BackgroundColorAttribute (QColor), "multi-line" (bool).
using QVTextAttributes = QVariantMap;

// One stretch of text that belongs to an embedded language, and the parser of that language.
struct QVEmbeddedRange {
    QVRange range;
    std::shared_ptr<QVParser> parser;
    bool operator==(const QVEmbeddedRange&) const = default;
};
// Embedded stretches in order of location.
using QVEmbeddedRanges = std::vector<QVEmbeddedRange>;

// A place of the main parser's walk: between embedded blocks (block -1), a boundary (see
// QVColouringSession); or inside one, at the start of a line that stands outside the block's
// strings, comments and literals, where the scan for the block's end may begin again and goes on
// as the scan that reached it: block tells which of the markup's embedded languages it is
// (QVTagBasedParser::embedded() in order), blockStart where the block's content began.
// A place inside a block may also stand at the start of a line inside a long template string
// (literal 0; nesting says where in what its holes opened), a block comment (literal 1 + its form
// among the language's comments) or a quoted string a backslash carries over lines
// (DoubleQuoted, SingleQuoted), where the scan goes on reading that literal, or inside the body
// of a heredoc or nowdoc (literal HeredocText, label its identifier, which the line that closes
// it begins with): a walk keeps no other state there. Outside every block (block -1), literal
// >= 0 says the place stands inside a long comment or tag of the markup itself, whose "<" is at
// blockStart (see QVTagBasedParser::MarkupComment).
struct QVWalkPlace {
    static constexpr int DoubleQuoted = 1 << 16;
    static constexpr int SingleQuoted = DoubleQuoted + 1;
    qint64 position = -1;
    qint64 blockStart = -1;
    int block = -1;
    int literal = -1;
    QString label;
    QVScriptLiterals::TemplateNesting nesting = {};
    static constexpr int HeredocText = std::numeric_limits<int>::max();
    bool operator==(const QVWalkPlace&) const = default;
};

// A colouring pass that may begin and end inside a line, for lines too long to colour whole on
// every keystroke. The parser reports each boundary it meets: a place where a parse begun afresh,
// knowing nothing of the text before it, goes on exactly as the parse that reached it does
// (outside every token and embedded block, with nothing coloured past it yet). An earlier pass
// over the same text may be resumed at one of its boundaries, and the session may end the pass
// at one. Before adding attributes up to some place the parser calls reach(), so that the
// session can give the stretch its standard attributes first.
class QVColouringSession {
public:
    virtual ~QVColouringSession() = default;
    // Where the parse begins: the range's start, or a boundary of an earlier pass over the same
    // range's text that the session knows to be still good, with the since reported for it.
    qint64 resumeAt = 0;
    qint64 resumeSince = 0;
    // When block >= 0: resumeAt is a place of the main parser's walk inside that embedded block
    // (QVWalkPlace, blockStart unused), and the parse goes on in the block's language from there,
    // as the scan for the block's end would, then in its own past the block's end.
    QVWalkPlace resumeInside;
    // Set by the parser: the boundary the pass ended at, else the range's end.
    qint64 stoppedAt = 0;
    // Attributes are about to be added to characters before end.
    virtual void reach(qint64 end) = 0;
    // position is a boundary: the parse from there on reads nothing before since (at most
    // position), and the decisions made before it read nothing at or past horizon (an edit from
    // horizon on leaves the colours before position as they are), except the looks for a closing
    // slash that found none, which read as far as slashHorizon: an edit from horizon on that
    // only inserts text holding no "/", "\\" or "]" cannot give them one. True ends the pass
    // there.
    virtual bool boundary(qint64 position, qint64 since, qint64 horizon, qint64 slashHorizon) = 0;
    // A walk that colours nothing also reports the places inside embedded blocks (QVWalkPlace),
    // those from blockPlacesFrom on (none unless the session lowers it; it may change it at
    // each report). True ends the walk there.
    qint64 blockPlacesFrom = std::numeric_limits<qint64>::max();
    virtual bool blockPlace(const QVWalkPlace&) { return false; }
};

// Finds the parser of another language by its parser identifier ("format-id", e.g.
// "text.css"); null when no bundle has it. The bundle registry supplies it to finishLoad().
using QVParserResolver = std::function<std::shared_ptr<QVParser>(const QString& parserIdentifier)>;

// Parsers live in std::shared_ptr (make them with std::make_shared or parserForPlist()): the
// "parser" attribute they write holds QVariant::fromValue(std::shared_ptr<QVParser>) pointing at
// themselves, whatever their class, so the editor and the parsers compare it with
// QVTextStorage::objectOf<QVParser>(value).
//
// The highlighting contract: parseRange() only adds attributes (token colours, "multi-line" on
// strings and comments that may continue on a later line, and "parser" = this over the whole
// range); it never removes any and may be given any range. The caller opens an editing batch,
// gives the range its standard attributes, removes "multi-line" from it, calls parseRange() on
// the language's parser and then parseRange() of each returned embedded range's parser on that
// range, and closes the batch.
//
// Parsers are used on the main thread; finishLoad() runs once under the bundle registry's lock.
class QVParser : public std::enable_shared_from_this<QVParser> {
public:
    static inline const QString FormatTypeKey = QStringLiteral("format-type");

    // An empty parser of a new bundle.
    QVParser(std::weak_ptr<QVBundle> bundle, const QString& identifier);
    // Reads the keys every syntax dictionary shares: "format-id", "folding" ("open", "close")
    // and "openers"/"closers". Unusable values (a pattern that does not compile, a non-string
    // opener) are left out; nothing throws.
    QVParser(std::weak_ptr<QVBundle> bundle, const QVariantMap& plist);
    virtual ~QVParser();
    QVParser(const QVParser&) = delete;
    QVParser& operator=(const QVParser&) = delete;

    // The parser class that the syntax dictionary's "format-type" names: "keyword" makes a
    // QVKeywordBasedParser, "tag" a QVTagBasedParser, anything else (or none) a plain QVParser.
    static std::shared_ptr<QVParser> parserForPlist(std::weak_ptr<QVBundle> bundle,
                                                    const QVariantMap& plist);

    // Called by the registry once every bundle is registered; the tag parser resolves its
    // embedded languages through resolver. Nothing here.
    virtual void finishLoad(const QVParserResolver& resolver);

    // Writes the code-navigation searches first (their failure fails the commit), then
    // plistRepresentation() as the binary property list "syntax.plist", into contentsFolder
    // (the bundle's "Contents" folder). False, with the reason in error, on any failure.
    bool commitToPath(const QString& contentsFolder, QVError* error = nullptr) const;
    // The syntax dictionary to save: "format-version", "format-id", "folding", "openers",
    // "closers" as set; the subclasses add their own keys.
    virtual QVariantMap plistRepresentation() const;

    // Colours range of storage (see the contract above) and answers the embedded-language
    // stretches found, in storage coordinates; the plain parser finds none. A range reaching
    // outside the storage is cut to it.
    QVEmbeddedRanges parseRange(QVRange range, QVTextStorage& storage) { return parseRange(range, storage, nullptr); }
    // The same as a pass of session (null: none): from session->resumeAt instead of the range's
    // start, ending where the session ends it. Only the part parsed is marked with "parser", and
    // only the embedded stretches before the end are answered.
    virtual QVEmbeddedRanges parseRange(QVRange range, QVTextStorage& storage, QVColouringSession* session);
    // The stretch of an embedded language that holds the character at index, as parseRange()
    // over the whole of text finds the stretches (in text's coordinates); none (a null parser)
    // where the character is this language's own. Colours nothing; the plain parser finds none.
    // resumable, when given, receives the last place at or before index where a parse may begin
    // afresh as the walk goes on there (a boundary, see QVColouringSession), -1 when none.
    // inside, when given, is a place inside a block (in text's coordinates) that text begins at.
    virtual QVEmbeddedRange embeddedBlockAt(QStringView text, qint64 index, qint64* resumable = nullptr,
                                            const QVWalkPlace* inside = nullptr) const;
    // The walk of embeddedBlockAt() over text, which begins at base in the whole text: every
    // boundary it passes goes to session (in whole-text positions), and a true answer ends it
    // there. Answers where it ended (base + text's length when it ran to the end). Colours
    // nothing and reads only this parser and its embedded languages, so another thread may run
    // it over characters that stay unchanged meanwhile. The plain parser has no boundaries.
    // A walk from a place inside a block begins at base inside it (inside.position is base).
    virtual qint64 walkBoundaries(QStringView text, qint64 base, QVColouringSession& session, const QVWalkPlace& inside = {}) const;
    // Characters the parsers have looked at, counted from where each pass began to the farthest
    // character it read, for tests that bound the work of a keystroke.
    static quint64 charactersParsed();

    // The next placeholder after range on range's line: "[*cur]", else the empty range inside
    // a pair of double quotes, else "[*" ... "*]"; NotFound when there is none.
    QVRange nextSignificantRangeInString(const QString& text, QVRange range) const;

    std::shared_ptr<QVCodeNavParser> codeNavParser() const { return _codeNavParser; }
    void setCodeNavParser(std::shared_ptr<QVCodeNavParser> parser) { _codeNavParser = std::move(parser); }
    // The code-navigation items of range (QVCodeNavParser::matchesForString), ordered by the
    // location of the range each stands for. None without a code-navigation parser.
    virtual QList<QVCodeNavMenuItem> codeNavItemsForString(const QString& text, QVRange range) const;

    // The blocks of this language inside text: every match of the openers in range (ignoring
    // case), each paired with the first closer match at or after its end; overlapping opener
    // (or closer) matches keep the earliest, longest one, an opener inside a block just found is
    // no new block, and a block without a closer ends at range's end. In order of location.
    QVEmbeddedRanges rangesInString(const QString& text, QVRange range) const;
    // Every match of every string of strings in range, literal and ignoring case, in text
    // coordinates: all matches of the first string, then of the second, and so on.
    static QList<QVRange> allRangesForArray(const QStringList& strings, const QString& text, QVRange range);

    // Keeps the theme; the subclasses then take their token attributes from it.
    virtual void setTheme(std::shared_ptr<QVTheme> theme);
    std::shared_ptr<QVTheme> theme() const { return _theme; }

    // Compiled "folding" patterns; null when unset or not compilable.
    std::shared_ptr<const QVRegex> foldOpener() const { return _foldOpener; }
    std::shared_ptr<const QVRegex> foldCloser() const { return _foldCloser; }
    // Compiles pattern (a null string clears).
    void setFoldOpener(const QString& pattern);
    void setFoldCloser(const QString& pattern);

    // The owning bundle; null when it is gone or was never set. Bundles attach themselves after
    // creating their parser.
    std::shared_ptr<QVBundle> bundle() const { return _bundle.lock(); }
    void setBundle(std::weak_ptr<QVBundle> bundle) { _bundle = std::move(bundle); }

    const QString& identifier() const { return _identifier; }
    void setIdentifier(const QString& identifier) { _identifier = identifier; }

    // The parsers of the embedded languages (the editor looks for the language at the caret
    // among them); none here.
    virtual QList<std::shared_ptr<QVParser>> subparsers() const;
    // Strings that open and close a block of this language inside another; closer i belongs to
    // opener i.
    const QStringList& openers() const { return _openers; }
    const QStringList& closers() const { return _closers; }
    // Whether single quotes delimit strings in this language; false here.
    virtual bool usesSingleQuotes() const;
    // Where a block of this language that begins at from inside text ends: the first match of
    // end (ignoring case) outside the language's strings, else text's length. Here a string is
    // a double-quoted one (or single-quoted when usesSingleQuotes()), opened by a quote with no
    // backslash before it; a quote of the other kind inside it opens nothing. element: the block
    // is an element's content (a script or style sheet), which only a quoted string keeps open
    // past its end tag; a server block's end may also stand in a block comment.
    // places, when given, hears of the lines inside the block where the scan may begin again
    // (see QVWalkPlace, literal -1 outside every literal, label a heredoc's identifier, nesting
    // where a template string's holes stand), from its wantedFrom on; one that answers true stops
    // the scan there (which is then answered, and stopped set). With startLiteral not -1, from is
    // such a place inside that literal (inside a heredoc whose identifier is startLabel, or a
    // template string standing in startNesting).
    class BlockPlaces {
    public:
        virtual ~BlockPlaces() = default;
        qint64 wantedFrom = std::numeric_limits<qint64>::max();
        int startLiteral = -1;
        QString startLabel;
        QVScriptLiterals::TemplateNesting startNesting;
        bool stopped = false;
        virtual bool place(qint64 position, int literal, QStringView label,
                           const QVScriptLiterals::TemplateNesting& nesting) = 0;
    };
    virtual qint64 endOfEmbeddedBlock(QStringView text, qint64 from, QStringView end, bool element = false,
                                      BlockPlaces* places = nullptr) const;
    // Whether an opener begins an element's start tag ("<" and a letter), not a server block.
    static bool opensElement(QStringView opener) { return opener.size() > 1 && opener[0] == u'<' && opener[1].isLetter(); }
    // Whether the end string of an element's block (its end tag's "</" and name) that stands at
    // index in text ends the element there: an HTML parser ends it only where a blank, "/" or
    // ">" follows the name, so "</scripts" or "</script" at the text's end ends nothing.
    static bool endTagEndsAt(QStringView text, qint64 index, QStringView end);

protected:
    // What the scan for the end of a block must know of its language: the quotes, whether a
    // quote after a backslash still opens a string (it does for the keyword highlighter, which
    // colours it so), the comments (a line comment also ends at end, like a server block closed
    // on a commented line; a block comment hides it unless commentsHideEnd is off, as for an
    // element's end tag, which only a quoted string hides) and the word characters, inside whose
    // words neither quotes nor comments begin; scripts add regular-expression literals and
    // template strings, which never hide the end (a browser ends a script element there too),
    // and quoted strings that end with their line; PHP adds heredocs and nowdocs, which hide it
    // like a string. Comments and literals that do not hide the end still hide their quotes.
    struct BlockLexicon {
        bool doubleQuotes = true;
        bool singleQuotes = false;
        bool escapedQuoteOpens = false;
        const QList<QVComment>* comments = nullptr;
        const QVCharacterSet* wordCharacters = nullptr;
        bool regexLiterals = false;
        bool templateStrings = false;
        bool heredocs = false;
        bool stringsEndAtLineEnd = false;
        bool commentsHideEnd = true;
        // The end is an element's end tag ("</script"): as an HTML parser reads it, only where
        // a blank, "/" or ">" follows its name.
        bool endTag = false;
    };
    static qint64 endOfBlock(QStringView text, qint64 from, QStringView end, const BlockLexicon& lexicon,
                             BlockPlaces* places = nullptr);
    // The value of the "parser" attribute that names this parser.
    QVariant parserAttributeValue() const;
    // Marks range with "parser" = this (range already cut to the storage).
    void markParsed(QVRange range, QVTextStorage& storage) const;
    // range cut to [0, length).
    static QVRange clampedRange(QVRange range, qint64 length);
    static void countParsed(qint64 characters);

private:
    std::weak_ptr<QVBundle> _bundle;
    QString _identifier;
    QStringList _openers;
    QStringList _closers;
    std::shared_ptr<QVCodeNavParser> _codeNavParser;
    std::shared_ptr<const QVRegex> _foldOpener;
    std::shared_ptr<const QVRegex> _foldCloser;
    QString _foldOpenerPattern;
    QString _foldCloserPattern;
    std::shared_ptr<QVTheme> _theme;
};
