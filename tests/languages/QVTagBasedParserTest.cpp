// The tag highlighter: tags, quoted values, comments, prefixed tag languages and the blocks of
// embedded languages with their parsers.
#include "tests/languages/LanguageFixtures.h"
#include "tests/support/TestSupport.h"

#include "languages/QVTagBasedParser.h"
#include "platform/QVTextStorage.h"

#include <gtest/gtest.h>

#include <QSet>

using namespace fixtures;

namespace {

struct Block {
    qint64 location;
    qint64 length;
    const char* language;  // parser identifier
};

}  // namespace

TEST(QVTagBasedParser, ColoursMarkupAndFindsBlocks) {
    struct Case {
        const char* name;
        QString text;
        QString mask;
        QList<Block> blocks;
    };
    const QList<Case> cases{
        {"quoted value holds >", u"<a href=\"x>y\">link</a>"_qs, u"TTTTTTTTAAAAAT....TTTT"_qs, {}},
        {"quoted closing tag in a script", u"<script>var s = \"</script>\";</script>"_qs,
         u"TTTTTTTTSSS.....QQQQQQQQQQQ...TTTTTTT"_qs, {{8, 22, "source.js"}}},
        {"apostrophe in a script's string", u"<script>f(\" didn't\");</script><p>"_qs,
         u"TTTTTTTT..QQQQQQQQQ....TTTTTTTTTT"_qs, {{8, 15, "source.js"}}},
        {"start tag with a quoted value", u"<script type=\"a>\">if</script>"_qs,
         u"TTTTTTTTTTTTTAAAATKK..TTTTTTT"_qs, {{18, 4, "source.js"}}},
        {"apostrophe in a server comment", u"<?php // don't\n?><b>"_qs, u"TTTTT.CCCCCCCC.TTTTT"_qs, {{5, 10, "source.php"}}},
        {"server line comment ends at the end string", u"<?php // x ?><b>"_qs, u"TTTTT.CCCCCTTTTT"_qs, {{5, 6, "source.php"}}},
        {"server block comment hides it", u"<?php /* ?> */ ?><b>"_qs, u"TTTTT.CCCCCCCC.TTTTT"_qs, {{5, 10, "source.php"}}},
        {"double quote and end string in a single-quoted string", u"<?php '<?a=\"'.$c.'\"?>' ?>"_qs,
         u"TTTTT.QQQQQQQ.VV.QQQQQ.TT"_qs, {{5, 18, "source.php"}}},
        {"escaped quote inside a string", u"<?php \"a\\\"?>\" ?><b>"_qs, u"TTTTT.QQQQQQQ.TTTTT"_qs, {{5, 9, "source.php"}}},
        // Heredocs and nowdocs hide the end string and quotes; the closing identifier may be
        // indented, and one that goes on as a longer name closes nothing.
        {"heredoc holds an XML prolog", u"<?php $x = <<<X\n<?xml a=\"1\"?>\nX;\n?><b>"_qs,
         u"TTTTT.VV...QQQQQQQQQQQQQQQQQQQQ..TTTTT"_qs, {{5, 28, "source.php"}}},
        {"nowdoc holds it", u"<?php f(<<<'X'\n?>'\n  X); ?><b>"_qs,
         u"TTTTT...QQQQQQQQQQQQQQ...TTTTT"_qs, {{5, 20, "source.php"}}},
        {"quoted heredoc identifier, closed by a longer name only later", u"<?php <<< \"AB\"\nABC ?>\nAB\n?>"_qs,
         u"TTTTT.QQQQQQQQQQQQQQQQQQ.TT"_qs, {{5, 20, "source.php"}}},
        {"no line break after the identifier: no heredoc", u"<?php <<<X; ?><b>"_qs, u"TTTTT.......TTTTT"_qs,
         {{5, 7, "source.php"}}},
        {"unclosed heredoc runs to the end", u"<?php <<<X\n?>\nY"_qs, u"TTTTT.QQQQQQQQQ"_qs, {{5, 10, "source.php"}}},
        {"heredoc in a comment opens nothing", u"<?php // <<<X\n?><b>"_qs, u"TTTTT.CCCCCCC.TTTTT"_qs,
         {{5, 9, "source.php"}}},
        {"comment holds a tag", u"<!-- <b> -->x"_qs, u"HHHHHHHHHHHH."_qs, {}},
        {"comment without end", u"<!-- a <b>"_qs, u"HHHHHHHHHH"_qs, {}},
        {"last character is <", u"ab<"_qs, u"..T"_qs, {}},
        {"prefixed tag language", u"<cf:loop x=\"1\">"_qs, u"FFFFFFFFFFFBBBF"_qs, {}},
        {"prefix ignores case", u"<CF:LOOP>"_qs, u"FFFFFFFFF"_qs, {}},
        {"closing tag opens no block", u"</script> p {color: red}"_qs, u"TTTTTTTTT..............."_qs, {}},
        {"server block after a tag", u"<p><?php echo $x; ?></p>"_qs, u"TTTTTTTT.KKKK.VV..TTTTTT"_qs, {{8, 10, "source.php"}}},
        {"short server block", u"<? echo 1 ?>"_qs, u"TT.KKKK.N.TT"_qs, {{2, 8, "source.php"}}},
        {"upper-case element", u"<SCRIPT>if</SCRIPT>"_qs, u"TTTTTTTTKK..TTTTTTT"_qs, {{8, 4, "source.js"}}},
        {"style block", u"<style>p { color: red }</style>"_qs, u"TTTTTTT....PPPPP.........TTTTTT"_qs, {{7, 18, "source.css"}}},
        {"tag over two lines", u"<a\nhref=\"x\">b"_qs, u"TTTTTTTTAAAT."_qs, {}},
        {"unclosed tag runs to the end", u"x <b class=\"c"_qs, u"..TTTTTTTTTAA"_qs, {}},
        {"unclosed script runs to the end", u"<script>if (a)"_qs, u"TTTTTTTTKK...."_qs, {{8, 6, "source.js"}}},
        {"a regex's apostrophe opens no string", u"<script>r = /a'b/;</script><p>"_qs,
         u"TTTTTTTT....QQQQQ...TTTTTTTTTT"_qs, {{8, 12, "source.js"}}},
        {"a regex's backtick opens no template", u"<script>r = /a`b/;</script><p>"_qs,
         u"TTTTTTTT....QQQQQ...TTTTTTTTTT"_qs, {{8, 12, "source.js"}}},
        {"an unclosed template ends at the closing tag", u"<script>s = `a</script><p>"_qs,
         u"TTTTTTTT....QQQQTTTTTTTTTT"_qs, {{8, 8, "source.js"}}},
        {"a slash right after a regex's closing slash opens none", u"<script>a = /b// c'/; '</script>';</script><p>"_qs,
         u"TTTTTTTT....QQQ...QQQQQ..TTTTTTT..TTTTTTTTTTTT"_qs, {{8, 17, "source.js"}}},
        {"a quote ends with its line in a script", u"<script>s = 'a\n</script><p>"_qs,
         u"TTTTTTTT....QQ...TTTTTTTTTT"_qs, {{8, 9, "source.js"}}},
        // Only a quoted string keeps a script or style sheet open past its end tag; a comment's
        // quotes open nothing.
        {"an unclosed comment ends at the closing tag", u"<script>a /* b</script><p>"_qs,
         u"TTTTTTTT..CCCCCCTTTTTTTTTT"_qs, {{8, 8, "source.js"}}},
        {"a comment's apostrophe opens no string", u"<script>/* it's */</script><p>"_qs,
         u"TTTTTTTTCCCCCCCCCC..TTTTTTTTTT"_qs, {{8, 12, "source.js"}}},
        {"an unclosed comment in a style sheet", u"<style>p /* x</style><p>"_qs,
         u"TTTTTTT..CCCCCCTTTTTTTTT"_qs, {{7, 8, "source.css"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Languages languages;
        QVTextStorage storage;
        storage.replaceCharacters(QVRange(0, 0), c.text);
        storage.beginEditing();
        const QVEmbeddedRanges blocks = languages.html->parseRange(QVRange(0, storage.length()), storage);
        for (const QVEmbeddedRange& block : blocks) block.parser->parseRange(block.range, storage);
        storage.endEditing();
        EXPECT_EQ(styleMask(storage), c.mask);
        ASSERT_EQ(blocks.size(), size_t(c.blocks.size()));
        for (size_t i = 0; i < blocks.size(); ++i) {
            EXPECT_EQ(blocks[i].range, QVRange(c.blocks[i].location, c.blocks[i].length));
            EXPECT_EQ(blocks[i].parser->identifier(), QString::fromLatin1(c.blocks[i].language));
            // The block names its own language; the text around it names the markup.
            EXPECT_EQ(QVTextStorage::objectOf<QVParser>(storage.attribute(QVTextStorage::ParserAttribute, c.blocks[i].location)),
                      blocks[i].parser.get());
        }
        // The walk without colours finds the same blocks.
        for (qint64 i = 0; i < c.text.size(); ++i) {
            const QVEmbeddedRange found = languages.html->embeddedBlockAt(c.text, i);
            const auto holding = std::find_if(blocks.begin(), blocks.end(), [&](const QVEmbeddedRange& b) {
                return b.range.location <= i && i < b.range.end();
            });
            EXPECT_EQ(found, holding == blocks.end() ? QVEmbeddedRange() : *holding) << "at " << i;
        }
        if (c.blocks.isEmpty()) {
            EXPECT_EQ(QVTextStorage::objectOf<QVParser>(storage.attribute(QVTextStorage::ParserAttribute, 0)), languages.html.get());
        }
    }
}

TEST(QVTagBasedParser, MarksTagsQuotesAndCommentsMultiLine) {
    Languages languages;
    QVTextStorage storage;
    storage.replaceCharacters(QVRange(0, 0), u"<a\nb=\"c\">d<!--\n-->"_qs);
    languages.html->parseRange(QVRange(0, storage.length()), storage);
    EXPECT_EQ(multiLineMask(storage), u"mmmmmmmmm.mmmmmmmm"_qs);
}

TEST(QVTagBasedParser, ResolvesEmbeddedLanguages) {
    Languages languages;
    auto html = std::dynamic_pointer_cast<QVTagBasedParser>(languages.html);
    ASSERT_TRUE(html);
    QSet<QString> subparsers;
    for (const auto& parser : html->subparsers()) subparsers.insert(parser->identifier());
    // Three tag names lead to the server language; it is listed once.
    EXPECT_EQ(html->subparsers().size(), 3);
    EXPECT_EQ(subparsers, QSet<QString>({u"source.js"_qs, u"source.css"_qs, u"source.php"_qs}));
    ASSERT_EQ(html->embeddedTagParsers().size(), 1);
    EXPECT_EQ(html->embeddedTagParsers().first(), languages.cfml);
    // Every embedded language was given the theme.
    EXPECT_EQ(languages.js->theme(), languages.theme);
    EXPECT_EQ(languages.cfml->theme(), languages.theme);

    // A language no bundle has never opens a block, and an unknown element is dropped.
    QVariantMap syntax = htmlSyntax();
    syntax.insert(u"embedded"_qs, QVariantMap{{u"x-unknown"_qs, u"source.nothing"_qs}, {u"script"_qs, u"source.js"_qs}});
    syntax.insert(u"embedded-elements"_qs, QStringList{u"text.missing"_qs, u"source.js"_qs});
    auto other = std::dynamic_pointer_cast<QVTagBasedParser>(QVParser::parserForPlist({}, syntax));
    other->finishLoad([&](const QString& identifier) { return identifier == u"source.js"_qs ? languages.js : nullptr; });
    other->setTheme(languages.theme);
    EXPECT_TRUE(other->embeddedTagParsers().isEmpty());
    QVTextStorage storage;
    storage.replaceCharacters(QVRange(0, 0), u"<x-unknown>abc</x-unknown>"_qs);
    EXPECT_TRUE(other->parseRange(QVRange(0, storage.length()), storage).empty());
    EXPECT_EQ(styleMask(storage), u"TTTTTTTTTTT...TTTTTTTTTTTT"_qs);

    // Saving keeps every entry in dictionary form, the missing language's identifier included.
    const QVariantMap saved = other->plistRepresentation();
    EXPECT_EQ(saved.value(u"format-type"_qs), u"tag"_qs);
    EXPECT_EQ(saved.value(u"embedded"_qs).toMap().value(u"x-unknown"_qs),
              QVariant(QVariantMap{{u"id"_qs, u"source.nothing"_qs}, {u"end"_qs, u"x-unknown>"_qs}}));
    EXPECT_EQ(saved.value(u"embedded-elements"_qs).toStringList(), QStringList({u"text.missing"_qs, u"source.js"_qs}));
    EXPECT_EQ(QVParser::parserForPlist({}, saved)->plistRepresentation(), saved);
}

TEST(QVTagBasedParser, LanguagesThatEmbedEachOtherTakeATheme) {
    QVariantMap first = cfmlSyntax();
    first.insert(u"format-id"_qs, u"text.a"_qs);
    first.insert(u"embedded-elements"_qs, QStringList{u"text.b"_qs});
    first.insert(u"embedded"_qs, QVariantMap{{u"b"_qs, u"text.b"_qs}});
    QVariantMap second = cfmlSyntax();
    second.insert(u"format-id"_qs, u"text.b"_qs);
    second.insert(u"embedded-elements"_qs, QStringList{u"text.a"_qs});
    second.insert(u"embedded"_qs, QVariantMap{{u"a"_qs, u"text.a"_qs}});
    auto a = QVParser::parserForPlist({}, first);
    auto b = QVParser::parserForPlist({}, second);
    const QVParserResolver resolver = [&](const QString& identifier) { return identifier == u"text.a"_qs ? a : b; };
    a->finishLoad(resolver);
    b->finishLoad(resolver);
    const auto theme = fixtures::theme();
    a->setTheme(theme);
    EXPECT_EQ(b->theme(), theme);
    EXPECT_FALSE(std::static_pointer_cast<QVTagBasedParser>(b)->tagAttributes().isEmpty());
}

// The walk over a page reports, inside its blocks, the lines that begin outside the block's
// strings, comments and literals, and the places right after a ";", "{", "}" or "," outside them
// amid a line; a walk begun at any of them, knowing only the block it is in, goes on as the walk
// from the top: the same places after it, the same block for every character from it on. Lines
// inside multi-line literals, comments and strings are no such places.
TEST(QVTagBasedParser, AWalkFromAPlaceInsideABlockGoesOnAsTheWalkFromTheTop) {
    Languages languages;
    struct All final : QVColouringSession {
        All() { blockPlacesFrom = 0; }
        std::vector<QVWalkPlace> seen;
        void reach(qint64) override {}
        bool boundary(qint64 position, qint64, qint64, qint64) override {
            seen.push_back({position, -1, -1});
            return false;
        }
        bool blockPlace(const QVWalkPlace& place) override {
            seen.push_back(place);
            return false;
        }
    };
    // everyLine: each line begun inside a block is a place.
    const struct {
        QString text;
        bool everyLine = true;
    } texts[] = {
        {u"<p>a</p>\n<script>\nvar a = `x\n${ \"b\n\" }\ny`;\nvar c = /'/;\r\nd = 'e';\n/* f\n' */\ng();\n</script>\n<p>h</p>\n"_qs},
        {u"<script>\nvar s = \"a\\\"\nb\";\nt = `\n</script>\n<b>x</b>\n"_qs},
        {u"<style>\np { color: red }\n/* a\n</style> */\nq { }\n</style>\n<i>y</i>\n"_qs},
        {u"<style>\np { content: \"a\nb\" }\nq { }\n</style>\n"_qs},
        {u"<?php\n$a = 1;\n/* ?>\n*/\n$b = 'c\nd';\n// e ?>\n<b>f</b>\n"_qs},
        {u"<?php\n$a = <<<XML\n<?xml v='1'?>\n\n  XML;\n$b = <<<'N'\n\"?>\nN . 'x\ny';\n?>\n<b>f</b>\n"_qs},
        {u"<?php\n$a = <<<\"A\"\r\nA1 ?> '\r\n\r?>AB\n\tA; $c = \"\n?>\";\n$b = f(<<<'N'\n N2\n N\n);\n?>\n<b>f</b>\n"_qs},
        // Template strings in holes that run over lines, a quoted string in a hole carried on by
        // a backslash, braces of a hole's code, and a template string closed in the hole it opened in.
        {u"<script>\nv = html`\n<ul>${items.map(i => html`\n<li>${i}</li>\n`)}</ul>\n<ul>${f({a: `\n${ \"b\\\nc}\" }\n`})}\nx`;\n"
         u"w = `${`\n`}`;\n</script>\n<p>y</p>\n"_qs},
        // Quoted strings a backslash carries over lines, an end tag in one, and one that ends with its line.
        {u"<script>\nvar s = \"a\\\nb 'c' \\\nd\";\nt = 'e\\\n</script> f';\nu = \"g\\\\\nh\";\n</script>\n<b>x</b>\n"_qs},
        // End tags an HTML parser does not take as the script's own, and one it does.
        {u"<script>\nv = `\n</scripts> </scr` + `ipt> <\\/script>\n`;\n</SCRIPT\t>\n<b>x</b>\n"_qs},
        // Minified on one line: separators in strings, comments, a regular expression and a
        // class, a slash after one, a postfix step before a division.
        {u"<script>var a=1;b={c:\"x;y\",d:'}'},e=/;/g;if(a){b()}/* ; */f=g/2;h=[1,/,/];i++/j;,/k}/.test(l)</script><p>m</p>"_qs},
        // A class never closed: the escaped slashes after separators in it begin literals that
        // end at the class's unescaped slash, whether the walk begins before the class or amid it.
        {u"<script>x=/[;\\/;;\\/q,;\\/q,\"/;</script>\";y=1;</script><b>z</b>"_qs},
        {u"<style>p{color:red;content:\";{\"}/* ;} */q{}a,b{c:url(d;e)}</style><i>f</i>"_qs},
        {u"<?php $a=1;$b=\"?>;\";/* ;?> */$c=[2,3];# ;?>\n$d={4};?><b>g</b>"_qs},
    };
    for (const auto& [text, everyLine] : texts) {
        SCOPED_TRACE(text.toStdString());
        All top;
        languages.html->walkBoundaries(text, 0, top);
        if (everyLine) {
            // The blocks' own lines, each a place of the walk.
            qint64 lines = 0;
            for (qint64 i = 1; i < text.size(); ++i) {
                const QVEmbeddedRange block = languages.html->embeddedBlockAt(text, i - 1);
                const bool lineStart = text[i - 1] == u'\n' || (text[i - 1] == u'\r' && text[i] != u'\n');
                if (lineStart && block.parser && i <= block.range.end()) ++lines;
            }
            EXPECT_EQ(std::count_if(top.seen.begin(), top.seen.end(),
                                    [&](const QVWalkPlace& p) {
                                        return p.block >= 0 && (text[p.position - 1] == u'\n' || text[p.position - 1] == u'\r');
                                    }),
                      lines);
        }
        int inside = 0;
        for (size_t k = 0; k < top.seen.size(); ++k) {
            const QVWalkPlace place = top.seen[k];
            if (place.block < 0) continue;
            ++inside;
            SCOPED_TRACE(place.position);
            // Only where a line begins or after a separator, outside everything the block's scan
            // passes over whole.
            const QChar before = text[place.position - 1];
            EXPECT_TRUE(before == u'\n' || (before == u'\r' && text[place.position] != u'\n') || QStringView(u";{},").contains(before));
            All resumed;
            languages.html->walkBoundaries(QStringView(text).mid(place.position), place.position, resumed, place);
            EXPECT_EQ(resumed.seen, std::vector<QVWalkPlace>(top.seen.begin() + qsizetype(k) + 1, top.seen.end()));
            // Begun where the place stands, in its literal, as it stood there.
            QVWalkPlace within = place;
            within.position = 0;
            within.blockStart -= place.position;
            for (qint64 i = place.position; i < text.size(); ++i) {
                QVEmbeddedRange found = languages.html->embeddedBlockAt(QStringView(text).mid(place.position), i - place.position, nullptr, &within);
                if (found.parser) found.range.location += place.position;
                EXPECT_EQ(found, languages.html->embeddedBlockAt(text, i)) << "at " << i;
            }
        }
        EXPECT_GT(inside, 0);
    }
}
