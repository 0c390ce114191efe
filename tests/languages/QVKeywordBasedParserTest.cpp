// The keyword highlighter: tokens, their colours and "multi-line", the case rule, comment
// precedence, escapes, range limits, and the saved form.
#include "tests/languages/LanguageFixtures.h"
#include "tests/support/TestSupport.h"

#include "languages/QVKeywordBasedParser.h"
#include "platform/QVTextStorage.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>


using namespace fixtures;

namespace {

QVariantMap sqlSyntax(const QStringList& keywords) {
    return {{QStringLiteral("format-type"), QStringLiteral("keyword")},
            {QStringLiteral("keyword-characters"), QStringLiteral("abcdefghijklmnopqrstuvwxyz")},
            {QStringLiteral("keywords"), QVariantMap{{QStringLiteral("keyword"), keywords}}},
            {QStringLiteral("quotes"), QVariantMap{{QStringLiteral("single"), QStringLiteral("string")}}},
            {QStringLiteral("comments"), QVariantList{comment("--", nullptr, "comment")}}};
}

QVariantMap remSyntax() {
    return {{QStringLiteral("format-type"), QStringLiteral("keyword")},
            {QStringLiteral("keyword-characters"), QStringLiteral("abcdefghijklmnopqrstuvwxyz")},
            {QStringLiteral("case-sensitive"), true},
            {QStringLiteral("keywords"), QVariantMap{{QStringLiteral("keyword"), QStringList{QStringLiteral("x")}}}},
            {QStringLiteral("comments"), QVariantList{comment("rem", nullptr, "comment")}}};
}

QVariantMap twoPatternSyntax() {
    return {{QStringLiteral("format-type"), QStringLiteral("keyword")},
            {QStringLiteral("keyword-characters"), QStringLiteral("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ")},
            {QStringLiteral("case-sensitive"), true},
            {QStringLiteral("regex-keywords"), QVariantList{regexKeyword("constant.numeric", "F[a-z]+"),
                                                            regexKeyword("variable", "^[A-Za-z]+$")}}};
}

struct Highlighted {
    std::shared_ptr<QVParser> parser;
    QVTextStorage storage;
};

// Colours the whole of text with a parser made from syntax and the test theme.
std::unique_ptr<Highlighted> highlight(const QVariantMap& syntax, const QString& text) {
    auto result = std::make_unique<Highlighted>();
    result->parser = QVParser::parserForPlist({}, syntax);
    const auto theme = fixtures::theme();
    result->parser->setTheme(theme);
    result->storage.replaceCharacters(QVRange(0, 0), text);
    highlightAll(result->storage, *result->parser, standardAttributes(*theme));
    return result;
}

}  // namespace

TEST(QVKeywordBasedParser, ColoursTokens) {
    struct Case {
        const char* name;
        QVariantMap syntax;
        QString text;
        QString mask;       // style letters (see fixtures::styles)
        QString multiLine;  // "m" where "multi-line" is set
    };
    const QList<Case> cases{
        {"keywords and numbers", javaScriptSyntax(), u"if (x) return 42;"_qs, u"KK.....KKKKKK.NN."_qs, u"................."_qs},
        {"styles fall back to parents", javaScriptSyntax(), u"var a = null; Foo"_qs, u"SSS.....LLLL..PPP"_qs, u"................."_qs},
        {"hex numbers", javaScriptSyntax(), u"0x1F + 10"_qs, u"NNNN...NN"_qs, u"........."_qs},
        {"one escaped quote continues", javaScriptSyntax(), u"\"a\\\"b\" x"_qs, u"QQQQQQ.."_qs, u"mmmmmm.."_qs},
        {"two backslashes close", javaScriptSyntax(), u"\"a\\\\\"b\""_qs, u"QQQQQ.Q"_qs, u"mmmmm.m"_qs},
        {"single quotes", javaScriptSyntax(), u"x = 'if' + y"_qs, u"....QQQQ...."_qs, u"....mmmm...."_qs},
        {"line comment holds a block begin", javaScriptSyntax(), u"x // a /* b */"_qs, u"..CCCCCCCCCCCC"_qs, u".............."_qs},
        {"block comment holds a line begin", javaScriptSyntax(), u"/* a // b */ y"_qs, u"CCCCCCCCCCCC.."_qs, u"mmmmmmmmmmmm.."_qs},
        {"unterminated block comment", javaScriptSyntax(), u"a /* b\nc"_qs, u"..CCCCCC"_qs, u"..mmmmmm"_qs},
        {"line comment stops before the break", javaScriptSyntax(), u"a // b\nif"_qs, u"..CCCC.KK"_qs, u"........."_qs},
        {"CR LF keeps the CR in a line comment", javaScriptSyntax(), u"a // b\r\nc"_qs, u"..CCCCC.."_qs, u"........."_qs},
        {"quote in a comment is no string", javaScriptSyntax(), u"// it's\nif"_qs, u"CCCCCCC.KK"_qs, u".........."_qs},
        {"keywords inside words are not", javaScriptSyntax(), u"iffy format"_qs, u"..........."_qs, u"..........."_qs},
        {"case-insensitive words", sqlSyntax({u"select"_qs, u"from"_qs}), u"SELECT a FROM t"_qs, u"KKKKKK...KKKK.."_qs, u"..............."_qs},
        {"mixed-case keyword never matches", sqlSyntax({u"Select"_qs}), u"SELECT Select"_qs, u"............."_qs, u"............."_qs},
        {"upper-case run then comment", sqlSyntax({u"select"_qs}), u"SELECT -- ok"_qs, u"KKKKKK.CCCCC"_qs, u"............"_qs},
        {"comment begin made of word characters", remSyntax(), u"x rem y"_qs, u"K......"_qs, u"......."_qs},
        {"first full pattern match wins", twoPatternSyntax(), u"Foo bar xFoo"_qs, u"NNN.VVV.VVVV"_qs, u"............"_qs},
        {"php variables", phpSyntax(), u"$abc = 1; # c"_qs, u"VVVV...N..CCC"_qs, u"............."_qs},
        {"comment begin inside a string is found again after it", javaScriptSyntax(), u"'/*' x /* y */ z"_qs, u"QQQQ...CCCCCCC.."_qs, u"mmmm...mmmmmmm.."_qs},
        {"line begin inside a block comment is found again after it", javaScriptSyntax(), u"/* // */ if // z\nif"_qs, u"CCCCCCCC.KK.CCCC.KK"_qs, u"mmmmmmmm..........."_qs},
        {"line comments after the last block comment", javaScriptSyntax(), u"/* a */ x // b\ny // c\nif"_qs, u"CCCCCCC...CCCC...CCCC.KK"_qs, u"mmmmmmm................."_qs},
        {"a word again in other cases", sqlSyntax({u"select"_qs}), u"select SELECT Select selects"_qs, u"KKKKKK.KKKKKK.KKKKKK........"_qs, u"............................"_qs},
        {"a pattern word again", javaScriptSyntax(), u"Foo x Foo if Fo Foo"_qs, u"PPP...PPP.KK.PP.PPP"_qs, u"..................."_qs},
        {"css is not case-sensitive", cssSyntax(), u"COLOR: #FFF; margin: 10px"_qs, u"PPPPP..OOOO..PPPPPP..NNNN"_qs, u"........................."_qs},
        {"a regex hides its apostrophe", javaScriptSyntax(), u"x = /a'b/g; 'c'"_qs, u"....QQQQQQ..QQQ"_qs, u"............mmm"_qs},
        {"a regex hides its backtick", javaScriptSyntax(), u"r = /a`b/.test(s)"_qs, u"....QQQQQ........"_qs, u"................."_qs},
        {"a slash in a character class", javaScriptSyntax(), u"(/[/']+/)"_qs, u".QQQQQQQ."_qs, u"........."_qs},
        {"slashes after operands divide", javaScriptSyntax(), u"a = b / c / d; f(x) / 2 / 1"_qs, u"......................N...N"_qs, u"..........................."_qs},
        {"a regex after return", javaScriptSyntax(), u"return /x/;"_qs, u"KKKKKK.QQQ."_qs, u"..........."_qs},
        {"a slash right after a literal divides", javaScriptSyntax(), u"x = /a//b/"_qs, u"....QQQ..."_qs, u".........."_qs},
        {"a slash with no closing one on its line divides", javaScriptSyntax(), u"x = / 'a'\n/"_qs, u"......QQQ.."_qs, u"......mmm.."_qs},
        {"a template's hole holds backticks and quotes", javaScriptSyntax(), u"`a ${f(`b`, 'c')} d` + x"_qs,
         u"QQQQQQQQQQQQQQQQQQQQ...."_qs, u"mmmmmmmmmmmmmmmmmmmm...."_qs},
        {"a template's hole hides what its comments hold", javaScriptSyntax(), u"`a ${b /* } ` */} c ${ // ` }\n} d` + x"_qs,
         u"QQQQQQQQQQQQQQQQQQQQQQQQQQQQQQQQQQ...."_qs, u"mmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmm...."_qs},
        {"a template's hole hides what its regex holds", javaScriptSyntax(), u"`a ${s.replace(/[`}]+/g, '')} d` + x"_qs,
         u"QQQQQQQQQQQQQQQQQQQQQQQQQQQQQQQQ...."_qs, u"mmmmmmmmmmmmmmmmmmmmmmmmmmmmmmmm...."_qs},
        {"an unclosed template runs to the end", javaScriptSyntax(), u"`a\nb"_qs, u"QQQQ"_qs, u"mmmm"_qs},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = highlight(c.syntax, c.text);
        EXPECT_EQ(styleMask(result->storage), c.mask);
        EXPECT_EQ(multiLineMask(result->storage), c.multiLine);
        // The whole range names its parser.
        QVRange run;
        const QVariant value = result->storage.attribute(QVTextStorage::ParserAttribute, 0, &run);
        EXPECT_EQ(QVTextStorage::objectOf<QVParser>(value), result->parser.get());
        EXPECT_EQ(run, QVRange(0, c.text.size()));
        EXPECT_EQ(result->storage.check(), QString());
    }
}

TEST(QVKeywordBasedParser, StaysInsideItsRange) {
    struct Case {
        const char* name;
        QString text;
        QVRange range;
        QString mask;
    };
    const QList<Case> cases{
        // An unterminated string ends with the range, not with the text; a script's ends with
        // its line, unless a backslash carries it on.
        {"unterminated string", u"x = 'abc\\\nif 'y'"_qs, QVRange(0, 10), u"....QQQQQQ......"_qs},
        {"unterminated string ends with its line", u"x = 'abc\nif 'y'"_qs, QVRange(0, 9), u"....QQQQ......."_qs},
        // A quote that is the range's last character closes even when escaped.
        {"escaped last quote closes", u"'a\\' if"_qs, QVRange(0, 4), u"QQQQ..."_qs},
        {"escaped quote inside goes on", u"'a\\' if"_qs, QVRange(0, 7), u"QQQQQQQ"_qs},
        // A line comment ends with the range: what follows belongs to another language.
        {"line comment past the range", u"a // bc\nif"_qs, QVRange(0, 4), u"..CC......"_qs},
        {"range inside a line", u"if if if"_qs, QVRange(3, 2), u"...KK..."_qs},
        {"range beyond the text is cut", u"if"_qs, QVRange(1, 100), u".."_qs},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto parser = QVParser::parserForPlist({}, javaScriptSyntax());
        parser->setTheme(fixtures::theme());
        QVTextStorage storage;
        storage.replaceCharacters(QVRange(0, 0), c.text);
        EXPECT_TRUE(parser->parseRange(c.range, storage).empty());
        EXPECT_EQ(styleMask(storage), c.mask);
        QVRange run;
        const QVariant value = storage.attribute(QVTextStorage::ParserAttribute, std::min<qint64>(c.range.location, c.text.size() - 1), &run);
        EXPECT_EQ(QVTextStorage::objectOf<QVParser>(value), parser.get());
        EXPECT_EQ(run.intersection(QVRange(0, c.text.size())), QVRange(c.range.location, std::min(c.range.end(), qint64(c.text.size())) - c.range.location));
    }
}

TEST(QVKeywordBasedParser, UppercaseWordsEndInALowercaseLanguage) {
    // Lower-case keyword characters in a language that ignores case: an upper-case word is still
    // one word, so every step moves on and long upper-case text finishes.
    const QString text = QStringLiteral("SELECT NAME FROM USERS WHERE ID = 1;\n").repeated(2000);
    const auto result = highlight(sqlSyntax({u"select"_qs, u"from"_qs, u"where"_qs}), text);
    const QString mask = styleMask(result->storage, QVRange(0, 37));
    EXPECT_EQ(mask, u"KKKKKK......KKKK.......KKKKK........."_qs);
    const auto* parser = static_cast<QVKeywordBasedParser*>(result->parser.get());
    EXPECT_TRUE(parser->keywordCharacterSet().contains(QLatin1Char('S')));
    EXPECT_FALSE(parser->oppositeSet().contains(QLatin1Char('S')));
    EXPECT_TRUE(parser->oppositeSet().contains(QLatin1Char(' ')));
}

TEST(QVKeywordBasedParser, ThemeChanges) {
    auto parser = QVParser::parserForPlist({}, javaScriptSyntax());
    QVTextStorage storage;
    storage.replaceCharacters(QVRange(0, 0), u"if 'a' /* b */"_qs);
    // No theme: nothing is coloured, but strings and comments still say they may go on.
    parser->parseRange(QVRange(0, storage.length()), storage);
    EXPECT_EQ(styleMask(storage), u".............."_qs);
    EXPECT_EQ(multiLineMask(storage), u"...mmm.mmmmmmm"_qs);
    // A null theme keeps the colours of the last one.
    parser->setTheme(fixtures::theme());
    parser->setTheme(nullptr);
    parser->parseRange(QVRange(0, storage.length()), storage);
    EXPECT_EQ(styleMask(storage), u"KK.QQQ.CCCCCCC"_qs);
    // A theme that lacks a style leaves keywords and comments of that style alone; the string
    // colour of the previous theme stays.
    auto sparse = std::make_shared<QVTheme>(QVariantMap{
        {QStringLiteral("styles"), QVariantList{QVariantMap{{QStringLiteral("id"), QStringLiteral("keyword")},
                                                            {QStringLiteral("foreground"), QStringLiteral("#ff0000")}}}}});
    parser->setTheme(sparse);
    QVTextStorage fresh;
    fresh.replaceCharacters(QVRange(0, 0), u"if 'a' /* b */"_qs);
    parser->parseRange(QVRange(0, fresh.length()), fresh);
    EXPECT_EQ(styleMask(fresh), u"KK.QQQ........"_qs);
    EXPECT_EQ(multiLineMask(fresh), u"...mmm.mmmmmmm"_qs);
}

TEST(QVKeywordBasedParser, SavedFormReadsBack) {
    auto parser = QVParser::parserForPlist({}, javaScriptSyntax());
    const QVariantMap saved = parser->plistRepresentation();
    EXPECT_EQ(saved.value(u"format-type"_qs), u"keyword"_qs);
    EXPECT_EQ(saved.value(u"format-version"_qs), u"1.0"_qs);
    EXPECT_EQ(saved.value(u"case-sensitive"_qs), QVariant(true));
    EXPECT_EQ(saved.value(u"keywords"_qs).toMap().value(u"storage.type"_qs).toStringList(),
              QStringList({u"async"_qs, u"await"_qs, u"class"_qs, u"const"_qs, u"extends"_qs, u"function"_qs, u"let"_qs, u"var"_qs, u"yield"_qs}));
    EXPECT_EQ(saved.value(u"regex-keywords"_qs).toList().size(), 3);
    EXPECT_EQ(saved.value(u"comments"_qs), javaScriptSyntax().value(u"comments"_qs));
    EXPECT_EQ(saved.value(u"quotes"_qs), javaScriptSyntax().value(u"quotes"_qs));
    // Read back, it saves the same dictionary again.
    EXPECT_EQ(QVParser::parserForPlist({}, saved)->plistRepresentation(), saved);
}

TEST(QVKeywordBasedParser, EditorFormOfKeywords) {
    auto parser = std::dynamic_pointer_cast<QVKeywordBasedParser>(QVParser::parserForPlist({}, javaScriptSyntax()));
    ASSERT_TRUE(parser);
    const QVariantList groups = parser->identifiers();
    QStringList titles;
    for (const QVariant& group : groups) titles.append(group.toMap().value(u"title"_qs).toString());
    EXPECT_EQ(titles, QStringList({u"constant.language"_qs, u"constant.numeric"_qs, u"constant.numeric.hex"_qs,
                                   u"keyword.control"_qs, u"storage.type"_qs, u"support.class"_qs}));

    // A word with a character outside the keyword characters becomes a pattern.
    const QVariantList edited{
        QVariantMap{{u"title"_qs, u"keyword"_qs},
                    {u"keywords"_qs, QVariantList{QVariantMap{{u"title"_qs, u"when"_qs}},
                                                  QVariantMap{{u"title"_qs, u"^z+$"_qs}}}}},
        QVariantMap{{u"title"_qs, u""_qs}, {u"keywords"_qs, QVariantList{QVariantMap{{u"title"_qs, u"lost"_qs}}}}},
    };
    // Words coloured before the keywords change are looked up again after.
    parser->setTheme(fixtures::theme());
    QVTextStorage before;
    before.replaceCharacters(QVRange(0, 0), u"when zz if"_qs);
    parser->parseRange(QVRange(0, before.length()), before);
    EXPECT_EQ(styleMask(before), u"........KK"_qs);
    parser->setIdentifiers(edited);
    EXPECT_EQ(parser->keywords().keys(), QStringList{u"when"_qs});
    ASSERT_EQ(parser->regexKeywords().size(), 1);
    EXPECT_EQ(parser->regexKeywords().first().pattern(), u"^z+$"_qs);
    const QVariantMap saved = parser->plistRepresentation();
    EXPECT_EQ(saved.value(u"keywords"_qs), QVariant(QVariantMap{{u"keyword"_qs, QVariantList{u"when"_qs}}}));

    parser->setTheme(fixtures::theme());
    QVTextStorage storage;
    storage.replaceCharacters(QVRange(0, 0), u"when zz if"_qs);
    parser->parseRange(QVRange(0, storage.length()), storage);
    EXPECT_EQ(styleMask(storage), u"KKKK.KK..."_qs);
}

TEST(QVKeywordBasedParser, FindsTheFirstComment) {
    auto parser = std::dynamic_pointer_cast<QVKeywordBasedParser>(QVParser::parserForPlist({}, phpSyntax()));
    const QString text = u"a # x /* y */\nb /* c\nd"_qs;
    const QVTextAttributes* attributes = nullptr;
    // The earliest begin wins, and a line comment ends before its line's break.
    EXPECT_EQ(parser->rangeOfCommentInRange(QVRange(0, text.size()), text, &attributes), QVRange(2, 11));
    ASSERT_TRUE(attributes);
    EXPECT_FALSE(attributes->contains(QVTextStorage::MultiLineAttribute));
    // A block comment without its end runs to the range's end.
    EXPECT_EQ(parser->rangeOfCommentInRange(QVRange(14, 6), text, &attributes), QVRange(16, 4));
    EXPECT_TRUE(attributes->value(QVTextStorage::MultiLineAttribute).toBool());
    EXPECT_TRUE(parser->rangeOfCommentInRange(QVRange(21, 1), text).isNotFound());
}

TEST(QVKeywordBasedParser, ColoursManyShortStringsInOnePass) {
    // Strings and comments with no word after them: each must not send the parser looking for
    // the next word to the end of the text again (that took seconds for a few hundred KB; the
    // time is bench/hostile's).
    for (const QString& unit : {u"'', "_qs, u"/**/ "_qs}) {
        SCOPED_TRACE(unit.toStdString());
        const QString text = u"if "_qs + unit.repeated(256 * 1024 / unit.size());
        const auto result = highlight(javaScriptSyntax(), text);
        EXPECT_EQ(styleMask(result->storage).left(3 + 2 * unit.size()),
                  u"KK."_qs + (unit.startsWith(u'\'') ? u"QQ..QQ.."_qs : u"CCCC.CCCC."_qs));
    }
}

TEST(QVKeywordBasedParser, WordsAPatternIsTooComplexForStayUncoloured) {
    const QVariantMap syntax{{QStringLiteral("format-type"), QStringLiteral("keyword")},
                             {QStringLiteral("keyword-characters"), QStringLiteral("abcdefghijklmnopqrstuvwxyz")},
                             {QStringLiteral("case-sensitive"), true},
                             {QStringLiteral("regex-keywords"), QVariantList{regexKeyword("variable", "^(a+)+$")}}};
    LogCapture log;
    const QString nearMiss = QString(40, QLatin1Char('a')) + "b";
    const auto result = highlight(syntax, "aa " + nearMiss + " " + nearMiss);
    EXPECT_EQ(styleMask(result->storage), "VV." + QString(2 * nearMiss.size() + 1, QLatin1Char('.')));
    EXPECT_EQ(log.lines(), QStringList{u"Highlighting skips words the pattern \"^(a+)+$\" is too complex for."_qs});
}
