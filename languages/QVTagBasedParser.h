// The highlighter of markup: tags, quoted values in tags and comments, and the stretches of
// embedded languages (script and style elements, server-side blocks) handed back to the editor.
#pragma once

#include "languages/QVParser.h"

#include <QMap>
#include <QList>
#include <QString>
#include <QVariantMap>

#include <memory>
#include <optional>

// Made for "format-type" "tag". Keys of its syntax dictionary besides the common ones:
// "tag-prefix" (string), "style" ({"tags", "quotes", "comments", "attributes"}: style
// identifiers), "embedded" ({lower-case tag name: parser identifier, or {"id", "end"}}) and
// "embedded-elements" ([parser identifiers of tag languages whose prefixed tags appear here]).
//
// Complete only after finishLoad() (which resolves the embedded languages) and coloured only
// after setTheme(). Embedded parsers are held weakly: their bundles own them.
class QVTagBasedParser : public QVParser {
public:
    QVTagBasedParser(std::weak_ptr<QVBundle> bundle, const QVariantMap& plist);

    // Base keys, "format-type" "tag", "tag-prefix" and "style" when set, "embedded" with every
    // entry as {"id", "end"} and "embedded-elements" when there are any. An entry whose language
    // was never found keeps the identifier it was read with.
    QVariantMap plistRepresentation() const override;
    // Looks every embedded language and element up through resolver. An embedded tag whose
    // language is not found never opens a block; an element that is not found, or is no tag
    // language, is dropped. Running it again resolves from the identifiers read again.
    void finishLoad(const QVParserResolver& resolver) override;

    const QString& tagPrefix() const { return _tagPrefix; }
    // The resolved tag languages whose prefixed tags may appear here, in order.
    QList<std::shared_ptr<QVTagBasedParser>> embeddedTagParsers() const;
    const QVariantMap& style() const { return _style; }
    void setStyle(const QVariantMap& style) { _style = style; }

    // Resolved from the theme by setTheme(); empty before. Tag, quote and comment attributes
    // carry "multi-line": a tag or comment may run over several lines.
    const QVTextAttributes& tagAttributes() const { return _tagAttr; }
    const QVTextAttributes& attributeAttributes() const { return _attributeAttr; }
    const QVTextAttributes& quoteAttributes() const { return _quotesAttr; }
    const QVTextAttributes& commentsAttributes() const { return _commentsAttr; }

    // Takes the four styles from theme and passes theme on to every embedded language and
    // element (each once, also when languages embed each other).
    void setTheme(std::shared_ptr<QVTheme> theme) override;
    QList<std::shared_ptr<QVParser>> subparsers() const override;

    // Colours range and answers the embedded stretches with their parsers (possibly none).
    // Boundaries are the "<" that begin tags, comments and blocks, and the ends of stretches
    // without any that the search for the next one passes.
    using QVParser::parseRange;
    QVEmbeddedRanges parseRange(QVRange range, QVTextStorage& storage, QVColouringSession* session) override;
    QVEmbeddedRange embeddedBlockAt(QStringView text, qint64 index, qint64* resumable = nullptr,
                                    const QVWalkPlace* inside = nullptr) const override;
    qint64 walkBoundaries(QStringView text, qint64 base, QVColouringSession& session, const QVWalkPlace& inside = {}) const override;
    // Items of this language outside the embedded blocks and of each block's language inside
    // it, ordered by location.
    QList<QVCodeNavMenuItem> codeNavItemsForString(const QString& text, QVRange range) const override;

    // One "embedded" entry: the parser identifier as read, the string that ends the block, and
    // the parser once resolved.
    struct Embedded {
        QString identifier;
        QString end;
        std::weak_ptr<QVParser> parser;
    };
    const QMap<QString, Embedded>& embedded() const { return _embedded; }

    // A tag or comment that opens at lt (not an embedded block's opener), read from from (lt,
    // or a place inside it where an earlier read stopped, inside a quoted value when *quoted
    // says so) to limit: just past its ">" (a comment's "-->"), -1 when it runs on to limit
    // (*quoted then says how it stands there), -2 when no such tag opens at lt. A slice of
    // colouring inside a tag or comment of megabytes (an end tag typed above a long text without
    // ">", a commented-out page) reads on from where the last one stopped.
    qint64 endOfOpenTag(const QVTextStorage& storage, qint64 lt, qint64 from, qint64 limit, bool* quoted) const;
    // Colours range, which begins inside that tag or comment where endOfOpenTag() read it from
    // (inside a quoted value when quoted), as its colours up to end (all of range when -1).
    void colourOpenTag(QVTextStorage& storage, qint64 lt, QVRange range, bool quoted, qint64 end) const;
    // The "<" of such a tag or comment that from stands in, read from start (a line the walk may
    // begin at, outside every block) past the tags and comments before it; *quoted says whether
    // from stands in a quoted value. -1 when from stands in none (or past a block's opener).
    qint64 openTagBefore(const QVTextStorage& storage, qint64 start, qint64 from, bool* quoted) const;
    // The places a walk that colours nothing reports inside a comment or tag of the markup
    // itself at least this long (QVWalkPlace: block -1, blockStart its "<", literal one of these):
    // a walk begun there reads on to its end as the walk that passed it, then on in markup.
    static constexpr qint64 LongMarkup = 4096;
    static constexpr int MarkupComment = 0;
    static constexpr int MarkupTag = 1;
    static constexpr int MarkupQuotedValue = 2;
    // Whether what opens at lt is a comment of this language.
    bool opensComment(const QVTextStorage& storage, qint64 lt) const {
        bool comment = false;
        return openTagStyle(storage, lt, &comment) && comment;
    }

private:
    struct TagStyle {
        const QVTextAttributes* tag;
        const QVTextAttributes* quote;
        const QVTextAttributes* comment;
    };
    TagStyle attributesForTag(QStringView name) const;
    // The style of the tag that opens at lt, as the walk takes it; none for an embedded block's
    // opener or no "<", nor for a comment unless comment is given (then set for one).
    std::optional<TagStyle> openTagStyle(const QVTextStorage& storage, qint64 lt, bool* comment = nullptr) const;

    // The walk of parseRange() over text, which begins at base in the storage: colours into
    // storage when there is one, appends the embedded stretches to result, and answers where it
    // stopped and how far it read (both in text).
    struct Walked {
        qint64 stop;
        qint64 furthest;
    };
    // inside: a place inside a block that text begins at (blockStart in text's coordinates).
    Walked walk(QStringView text, qint64 base, QVTextStorage* storage, QVColouringSession* session, QVEmbeddedRanges& result,
                const QVWalkPlace* inside = nullptr) const;
    void applyTheme(const std::shared_ptr<QVTheme>& theme, QList<const QVParser*>& visited);
    void loadEmbedded(const QVariantMap& embedded);

    QString _tagPrefix;
    QVariantMap _style;
    QVTextAttributes _tagAttr;
    QVTextAttributes _attributeAttr;
    QVTextAttributes _quotesAttr;
    QVTextAttributes _commentsAttr;
    QList<std::weak_ptr<QVParser>> _subparsers;
    QMap<QString, Embedded> _embedded;  // ordered, so the languages are tried in the same order every run
    QStringList _embeddedElementIdentifiers;
    QList<std::weak_ptr<QVTagBasedParser>> _embeddedElements;
};
