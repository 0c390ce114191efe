// Small language definitions, a theme and the editor's way of re-colouring, shared by the
// language tests and the highlighting benchmark.
#pragma once

#include "languages/QVKeywordBasedParser.h"
#include "languages/QVParser.h"
#include "languages/QVTagBasedParser.h"
#include "languages/QVTheme.h"
#include "platform/QVTextStorage.h"

#include <QColor>
#include <QHash>
#include <QMap>
#include <QVariantList>
#include <QVariantMap>

#include <memory>

namespace fixtures {

inline QVariantMap comment(const char* begin, const char* end, const char* style) {
    QVariantMap map{{QStringLiteral("begin"), QString::fromLatin1(begin)}, {QStringLiteral("id"), QString::fromLatin1(style)}};
    if (end) map.insert(QStringLiteral("end"), QString::fromLatin1(end));
    return map;
}

inline QVariantMap regexKeyword(const char* style, const char* pattern) {
    return {{QStringLiteral("id"), QString::fromLatin1(style)}, {QStringLiteral("keyword"), QString::fromLatin1(pattern)}};
}

inline QStringList words(const char* spaceSeparated) {
    return QString::fromLatin1(spaceSeparated).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

// A script language: case-sensitive words, both quotes, line and block comments, numbers.
inline QVariantMap javaScriptSyntax() {
    return {
        {QStringLiteral("format-type"), QStringLiteral("keyword")},
        {QStringLiteral("format-id"), QStringLiteral("source.js")},
        {QStringLiteral("keyword-characters"),
         QStringLiteral("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_$")},
        {QStringLiteral("case-sensitive"), true},
        {QStringLiteral("quotes"), QVariantMap{{QStringLiteral("single"), QStringLiteral("string.quoted.single")},
                                                {QStringLiteral("double"), QStringLiteral("string.quoted.double")}}},
        {QStringLiteral("comments"), QVariantList{comment("//", nullptr, "comment.line.double-slash"),
                                                  comment("/*", "*/", "comment.block")}},
        {QStringLiteral("keywords"),
         QVariantMap{{QStringLiteral("keyword.control"),
                      words("if else for while do return break continue switch case default try catch finally throw new typeof instanceof in of delete")},
                     {QStringLiteral("storage.type"), words("var let const function class extends async await yield")},
                     {QStringLiteral("constant.language"), words("true false null undefined this super NaN Infinity")}}},
        {QStringLiteral("regex-keywords"), QVariantList{regexKeyword("constant.numeric", "^[0-9]+$"),
                                                        regexKeyword("constant.numeric.hex", "^0x[0-9a-fA-F]+$"),
                                                        regexKeyword("support.class", "^[A-Z][A-Za-z0-9_]*$")}},
        {QStringLiteral("folding"), QVariantMap{{QStringLiteral("open"), QStringLiteral("\\{\\s*$")},
                                                {QStringLiteral("close"), QStringLiteral("^\\s*\\}")}}},
        {QStringLiteral("openers"), QStringList{QStringLiteral("<script")}},
        {QStringLiteral("closers"), QStringList{QStringLiteral("</script")}},
        {QStringLiteral("regex-literals"), QStringLiteral("string.regexp")},
        {QStringLiteral("template-strings"), QStringLiteral("string.template")},
    };
}

// A style-sheet language: not case-sensitive, block comments only.
inline QVariantMap cssSyntax() {
    return {
        {QStringLiteral("format-type"), QStringLiteral("keyword")},
        {QStringLiteral("format-id"), QStringLiteral("source.css")},
        {QStringLiteral("keyword-characters"), QStringLiteral("abcdefghijklmnopqrstuvwxyz-0123456789#%")},
        {QStringLiteral("quotes"), QVariantMap{{QStringLiteral("single"), QStringLiteral("string.quoted.single")},
                                                {QStringLiteral("double"), QStringLiteral("string.quoted.double")}}},
        {QStringLiteral("comments"), QVariantList{comment("/*", "*/", "comment.block")}},
        {QStringLiteral("keywords"),
         QVariantMap{{QStringLiteral("support.type.property-name"),
                      words("color background background-color margin padding font font-size font-family display border width height position top left right bottom float")},
                     {QStringLiteral("support.constant"), words("none block inline auto bold italic absolute relative solid")}}},
        {QStringLiteral("regex-keywords"), QVariantList{regexKeyword("constant.numeric", "^-?[0-9]+(px|em|%|pt)?$"),
                                                        regexKeyword("constant.other.color", "^#[0-9a-f]{3,6}$")}},
        {QStringLiteral("openers"), QStringList{QStringLiteral("<style")}},
        {QStringLiteral("closers"), QStringList{QStringLiteral("</style")}},
    };
}

// A server-side language with two openers, one the start of the other.
inline QVariantMap phpSyntax() {
    return {
        {QStringLiteral("format-type"), QStringLiteral("keyword")},
        {QStringLiteral("format-id"), QStringLiteral("source.php")},
        {QStringLiteral("keyword-characters"), QStringLiteral("abcdefghijklmnopqrstuvwxyz0123456789_$")},
        {QStringLiteral("quotes"), QVariantMap{{QStringLiteral("single"), QStringLiteral("string.quoted.single")},
                                                {QStringLiteral("double"), QStringLiteral("string.quoted.double")}}},
        {QStringLiteral("heredoc-strings"), QStringLiteral("string.unquoted.heredoc")},
        {QStringLiteral("comments"), QVariantList{comment("//", nullptr, "comment.line.double-slash"),
                                                  comment("#", nullptr, "comment.line.number-sign"),
                                                  comment("/*", "*/", "comment.block")}},
        {QStringLiteral("keywords"),
         QVariantMap{{QStringLiteral("keyword.control"), words("if else elseif foreach as while for return echo print new")},
                     {QStringLiteral("storage.type"), words("function class public private protected static array")}}},
        {QStringLiteral("regex-keywords"), QVariantList{regexKeyword("variable.other", "^\\$[a-z_][a-z0-9_]*$"),
                                                        regexKeyword("constant.numeric", "^[0-9]+$")}},
        {QStringLiteral("openers"), QStringList{QStringLiteral("<?php"), QStringLiteral("<?")}},
        {QStringLiteral("closers"), QStringList{QStringLiteral("?>"), QStringLiteral("?>")}},
    };
}

// Markup with script, style and server-side blocks.
inline QVariantMap htmlSyntax() {
    const QVariantMap php{{QStringLiteral("id"), QStringLiteral("source.php")}, {QStringLiteral("end"), QStringLiteral("?>")}};
    return {
        {QStringLiteral("format-type"), QStringLiteral("tag")},
        {QStringLiteral("format-id"), QStringLiteral("text.html")},
        {QStringLiteral("style"), QVariantMap{{QStringLiteral("tags"), QStringLiteral("entity.name.tag")},
                                               {QStringLiteral("quotes"), QStringLiteral("string.quoted.double.html")},
                                               {QStringLiteral("comments"), QStringLiteral("comment.block.html")},
                                               {QStringLiteral("attributes"), QStringLiteral("entity.other.attribute-name")}}},
        {QStringLiteral("embedded"), QVariantMap{{QStringLiteral("script"), QStringLiteral("source.js")},
                                                  {QStringLiteral("style"), QStringLiteral("source.css")},
                                                  {QStringLiteral("?php"), php},
                                                  {QStringLiteral("?"), php},
                                                  {QStringLiteral("?="), php}}},
        {QStringLiteral("embedded-elements"), QStringList{QStringLiteral("text.cfml")}},
        {QStringLiteral("folding"), QVariantMap{{QStringLiteral("open"), QStringLiteral("<(div|ul|table)\\b")}}},
    };
}

// A tag language recognised inside markup by its prefix.
inline QVariantMap cfmlSyntax() {
    return {
        {QStringLiteral("format-type"), QStringLiteral("tag")},
        {QStringLiteral("format-id"), QStringLiteral("text.cfml")},
        {QStringLiteral("tag-prefix"), QStringLiteral("cf")},
        {QStringLiteral("style"), QVariantMap{{QStringLiteral("tags"), QStringLiteral("entity.name.tag.cfml")},
                                               {QStringLiteral("quotes"), QStringLiteral("string.quoted.cfml")},
                                               {QStringLiteral("comments"), QStringLiteral("comment.cfml")}}},
    };
}

// Colours by style; each colour has a letter for masks (see styleMask).
struct Style {
    const char* identifier;
    const char* color;
    char letter;
};
inline const QList<Style>& styles() {
    static const QList<Style> list{
        {"comment", "#008000", 'C'},
        {"comment.block.html", "#00a000", 'H'},
        {"keyword", "#ff0000", 'K'},
        {"storage", "#0000ff", 'S'},
        {"constant.language", "#800080", 'L'},
        {"constant.numeric", "#ff8000", 'N'},
        {"constant.other", "#ff00ff", 'O'},
        {"string", "#a00000", 'Q'},
        {"support", "#008080", 'P'},
        {"variable", "#804000", 'V'},
        {"entity.name.tag", "#000080", 'T'},
        {"entity.name.tag.cfml", "#400040", 'F'},
        {"string.quoted.double.html", "#c00000", 'A'},
        {"string.quoted.cfml", "#c000c0", 'B'},
    };
    return list;
}

inline QVariantMap themePlist() {
    QVariantList list;
    for (const Style& style : styles())
        list.append(QVariantMap{{QStringLiteral("id"), QString::fromLatin1(style.identifier)},
                                {QStringLiteral("foreground"), QString::fromLatin1(style.color)}});
    return {{QStringLiteral("id"), QStringLiteral("test.theme")},
            {QStringLiteral("format-title"), QStringLiteral("Test")},
            {QStringLiteral("global-settings"), QVariantMap{{QStringLiteral("background"), QStringLiteral("#ffffff")},
                                                             {QStringLiteral("foreground"), QStringLiteral("#000000")}}},
            {QStringLiteral("styles"), list}};
}

inline std::shared_ptr<QVTheme> theme() { return std::make_shared<QVTheme>(themePlist()); }

// The attributes the editor gives text before any parser colours it.
inline QVariantMap standardAttributes(const QVTheme& theme) {
    return {{QVTextStorage::ForegroundColorAttribute, theme.textColor()},
            {QVTextStorage::BackgroundColorAttribute, theme.backgroundColor()}};
}

// Every language above, resolved against each other and themed, as the bundle registry would
// leave them.
struct Languages {
    std::shared_ptr<QVTheme> theme = fixtures::theme();
    std::shared_ptr<QVParser> js = QVParser::parserForPlist({}, javaScriptSyntax());
    std::shared_ptr<QVParser> css = QVParser::parserForPlist({}, cssSyntax());
    std::shared_ptr<QVParser> php = QVParser::parserForPlist({}, phpSyntax());
    std::shared_ptr<QVParser> html = QVParser::parserForPlist({}, htmlSyntax());
    std::shared_ptr<QVParser> cfml = QVParser::parserForPlist({}, cfmlSyntax());

    Languages() {
        const QHash<QString, std::shared_ptr<QVParser>> byIdentifier{
            {js->identifier(), js}, {css->identifier(), css}, {php->identifier(), php},
            {html->identifier(), html}, {cfml->identifier(), cfml}};
        const QVParserResolver resolver = [byIdentifier](const QString& identifier) {
            return byIdentifier.value(identifier);
        };
        for (const auto& parser : byIdentifier) parser->finishLoad(resolver);
        for (const auto& parser : byIdentifier) parser->setTheme(theme);
    }
};

// Colours range as the editor does: one batch, standard attributes, "multi-line" removed, the
// language's parser, then the parser of each embedded stretch it found.
inline void colourRange(QVTextStorage& storage, QVParser& parser, QVRange range, const QVariantMap& standard) {
    if (range.length <= 0) return;
    storage.beginEditing();
    storage.addAttributes(standard, range);
    storage.removeAttribute(QVTextStorage::MultiLineAttribute, range);
    for (const QVEmbeddedRange& embedded : parser.parseRange(range, storage))
        embedded.parser->parseRange(embedded.range, storage);
    storage.endEditing();
}

inline void highlightAll(QVTextStorage& storage, QVParser& parser, const QVariantMap& standard) {
    colourRange(storage, parser, QVRange(0, storage.length()), standard);
}

// Whether the character at index lies in a construct that may go on past it: a string, a
// comment or a tag ("multi-line"), or a block of an embedded language. Gives the run around it.
inline bool continuesAt(const QVTextStorage& storage, const QVParser& parser, qint64 index, QVRange* run) {
    QVRange multiLine, language;
    const bool inMultiLine = storage.attribute(QVTextStorage::MultiLineAttribute, index, &multiLine).toBool();
    const bool inOther = QVTextStorage::objectOf<QVParser>(storage.attribute(QVTextStorage::ParserAttribute, index, &language)) != &parser;
    if (!inMultiLine && !inOther) return false;
    *run = inMultiLine && inOther ? multiLine.united(language) : inMultiLine ? multiLine : language;
    return true;
}

// Re-colours after an edit that left edited (in the text after the edit): the lines it touched
// and their neighbours at its edges, widened backwards and forwards over every construct that
// crosses their edges (judged by the colouring before the edit, which still holds outside the
// lines coloured again), with the main parser. When the new colouring leaves a construct open
// at the end, or the old one had one open there, the range grows (doubling, so the
// total work stays proportional to what is finally coloured) and is coloured again from its
// start, until both agree that nothing is open at its end. Answers the range coloured.
inline QVRange rehighlight(QVTextStorage& storage, QVParser& parser, QVRange edited, const QVariantMap& standard) {
    // The lines of the characters just before and after the edited text too: an inserted break
    // leaves the rest of the old line on a line of its own, coloured as it was, and text typed
    // between CR and LF turns the line before into one that ends with a lone CR.
    const qint64 from = std::max<qint64>(edited.location - 1, 0);
    const qint64 to = std::min(edited.end() + 1, storage.length());
    // Lines are added while a construct of the colouring before the edit crosses an edge of the
    // range: backwards from its first line, forwards over its last line's end. Outside the
    // range that colouring is still the old one, so the test holds also after a first pass.
    auto widen = [&](QVRange range) {
        for (bool widened = true; widened;) {
            widened = false;
            QVRange run;
            if (range.location > 0 && continuesAt(storage, parser, range.location - 1, &run) && run.location < range.location) {
                range = storage.lineRangeForRange(range.united(QVRange(run.location, 0)));
                widened = true;
            }
            if (range.end() < storage.length() && continuesAt(storage, parser, range.end(), &run) &&
                run.location < range.end() && run.end() > range.end()) {
                range = storage.lineRangeForRange(range.united(QVRange(run.end() - 1, 1)));
                widened = true;
            }
        }
        return range;
    };
    QVRange range = widen(storage.lineRangeForRange(QVRange(from, to - from)));
    for (;;) {
        // A construct left open at the end by the old colouring may have coloured what follows
        // (the closer of an embedded block, say), so its closing goes on as well.
        QVRange run;
        const bool wasOpen = range.length > 0 && continuesAt(storage, parser, range.end() - 1, &run);
        colourRange(storage, parser, range, standard);
        if (range.end() >= storage.length() || range.length == 0 ||
            (!wasOpen && !continuesAt(storage, parser, range.end() - 1, &run)))
            return range;
        const qint64 grown = std::min(storage.length() - 1, range.end() + std::max<qint64>(range.length, 4096));
        range = widen(storage.lineRangeForRange(range.united(QVRange(grown, 1))));
    }
}

// One letter per character: the letter of its foreground colour's style, "." for the text
// colour, "?" for anything else.
inline QString styleMask(const QVTextStorage& storage, QVRange range) {
    QHash<QRgb, char> letters;
    for (const Style& style : styles()) letters.insert(QColor(QString::fromLatin1(style.color)).rgba(), style.letter);
    QString mask;
    for (qint64 i = range.location; i < range.end(); ++i) {
        const QColor color = storage.attribute(QVTextStorage::ForegroundColorAttribute, i).value<QColor>();
        if (!color.isValid() || color == QColor(Qt::black)) mask.append(QLatin1Char('.'));
        else mask.append(QLatin1Char(letters.value(color.rgba(), '?')));
    }
    return mask;
}
inline QString styleMask(const QVTextStorage& storage) { return styleMask(storage, QVRange(0, storage.length())); }

// One character per character: "m" where "multi-line" is set, "." elsewhere.
inline QString multiLineMask(const QVTextStorage& storage) {
    QString mask;
    for (qint64 i = 0; i < storage.length(); ++i)
        mask.append(storage.attribute(QVTextStorage::MultiLineAttribute, i).toBool() ? QLatin1Char('m') : QLatin1Char('.'));
    return mask;
}

}  // namespace fixtures
