// The parser base: placeholders, embedded blocks by openers and closers, the plain parser, the
// saved syntax dictionary, and code navigation across embedded blocks.
#include "tests/languages/LanguageFixtures.h"
#include "tests/support/TestSupport.h"

#include "languages/QVCodeNavMenuItem.h"
#include "languages/QVCodeNavParser.h"
#include "languages/QVParser.h"
#include "languages/QVScriptLiterals.h"
#include "platform/PropertyList.h"
#include "platform/QVRegex.h"
#include "platform/QVTextStorage.h"

#include <gtest/gtest.h>

#include <QFile>

using namespace fixtures;

TEST(QVParser, NextPlaceholder) {
    struct Case {
        const char* name;
        QString text;
        QVRange after;
        QVRange expected;
    };
    auto parser = std::make_shared<QVParser>(std::weak_ptr<QVBundle>(), u"text.plain"_qs);
    const QList<Case> cases{
        {"empty quotes before a placeholder", u"foo(\"\", [*x*])"_qs, QVRange(3, 0), QVRange(5, 0)},
        {"placeholder", u"foo([*x*], 1)"_qs, QVRange(0, 1), QVRange(4, 5)},
        {"current placeholder first", u"a [*b*] [*cur]"_qs, QVRange(0, 0), QVRange(8, 6)},
        {"close on a later line", u"a [*b\n*]"_qs, QVRange(0, 1), QVRange()},
        {"only the rest of the line", u"a\n[*b*]"_qs, QVRange(0, 1), QVRange()},
        {"range ending with a break", u"a\n\"\""_qs, QVRange(0, 2), QVRange()},
        {"CR LF ends the line", u"a\r\n[*b*]"_qs, QVRange(0, 1), QVRange()},
        {"nothing after", u"abc"_qs, QVRange(3, 0), QVRange()},
        {"range outside the text", u"abc"_qs, QVRange(2, 5), QVRange()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(parser->nextSignificantRangeInString(c.text, c.after), c.expected);
    }
}

TEST(QVParser, BlocksOfAnEmbeddedLanguage) {
    struct Case {
        const char* name;
        QVariantMap syntax;
        QString text;
        QVRange range;
        QList<QVRange> expected;
    };
    const QVariantMap php = phpSyntax();
    const QList<Case> cases{
        // "<?" inside "<?php" is no opener of its own.
        {"openers that share a start", php, u"a <?php b ?> c <? d ?> e"_qs, QVRange(0, 24), {QVRange(2, 10), QVRange(15, 7)}},
        {"an opener without closer runs to the range end", php, u"<? a ?> <?php b"_qs, QVRange(0, 15), {QVRange(0, 7), QVRange(8, 7)}},
        {"a closer before any opener is ignored", php, u"?> <? a ?>"_qs, QVRange(0, 10), {QVRange(3, 7)}},
        {"openers ignore case", php, u"<?PHP x ?>"_qs, QVRange(0, 10), {QVRange(0, 10)}},
        {"only inside the range", php, u"<? a ?> <? b ?>"_qs, QVRange(7, 8), {QVRange(8, 7)}},
        {"an opener inside a block is no new block", javaScriptSyntax(), u"<script <script> x </script>"_qs, QVRange(0, 28),
         {QVRange(0, 27)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto parser = QVParser::parserForPlist({}, c.syntax);
        const QVEmbeddedRanges blocks = parser->rangesInString(c.text, c.range);
        QList<QVRange> ranges;
        for (const QVEmbeddedRange& block : blocks) {
            ranges.append(block.range);
            EXPECT_EQ(block.parser, parser);
        }
        EXPECT_EQ(ranges, c.expected);
    }
    EXPECT_EQ(QVParser::allRangesForArray({u"<?"_qs, u"?>"_qs, u""_qs}, u"<?a?><?"_qs, QVRange(1, 6)),
              QList<QVRange>({QVRange(5, 2), QVRange(3, 2)}));
}

TEST(QVParser, PlainParserMarksItsRange) {
    auto parser = QVParser::parserForPlist({}, QVariantMap{{u"format-type"_qs, u"markdown"_qs}, {u"format-id"_qs, u"text.md"_qs}});
    const QVParser& made = *parser;
    EXPECT_EQ(typeid(made), typeid(QVParser));
    EXPECT_EQ(parser->identifier(), u"text.md"_qs);
    parser->setTheme(fixtures::theme());
    QVTextStorage storage;
    storage.replaceCharacters(QVRange(0, 0), u"if 'a' <b>"_qs);
    EXPECT_TRUE(parser->parseRange(QVRange(2, 100), storage).empty());
    QVRange run;
    EXPECT_EQ(QVTextStorage::objectOf<QVParser>(storage.attribute(QVTextStorage::ParserAttribute, 5, &run)), parser.get());
    EXPECT_EQ(run, QVRange(2, 8));
    EXPECT_FALSE(storage.attribute(QVTextStorage::ParserAttribute, 1).isValid());
    EXPECT_EQ(styleMask(storage), u".........."_qs);
    EXPECT_TRUE(parser->subparsers().isEmpty());
    EXPECT_FALSE(parser->usesSingleQuotes());
}

TEST(QVParser, SavedSyntaxDictionary) {
    // Only "open" in "folding" comes back as only "open"; a pattern that does not compile is
    // kept for saving but matches nothing.
    const QVariantMap syntax{{u"format-id"_qs, u"text.x"_qs},
                             {u"folding"_qs, QVariantMap{{u"open"_qs, u"<div"_qs}}},
                             {u"openers"_qs, QVariantList{u"<x"_qs, 3, u"<y"_qs}},
                             {u"closers"_qs, QStringList{u"</x"_qs}}};
    auto parser = QVParser::parserForPlist({}, syntax);
    ASSERT_TRUE(parser->foldOpener());
    EXPECT_TRUE(parser->foldOpener()->copyMatchForString(u"  <div>"_qs).has_value());
    EXPECT_FALSE(parser->foldCloser());
    EXPECT_EQ(parser->openers(), QStringList({u"<x"_qs, u"<y"_qs}));
    const QVariantMap saved = parser->plistRepresentation();
    EXPECT_EQ(saved, QVariantMap({{u"format-version"_qs, u"1.0"_qs},
                                  {u"format-id"_qs, u"text.x"_qs},
                                  {u"folding"_qs, QVariantMap{{u"open"_qs, u"<div"_qs}}},
                                  {u"openers"_qs, QVariantList{u"<x"_qs, u"<y"_qs}},
                                  {u"closers"_qs, QVariantList{u"</x"_qs}}}));
    parser->setFoldCloser(u"(unclosed"_qs);
    EXPECT_FALSE(parser->foldCloser());
    EXPECT_EQ(parser->plistRepresentation().value(u"folding"_qs).toMap().value(u"close"_qs), u"(unclosed"_qs);
    parser->setFoldOpener(QString());
    parser->setFoldCloser(QString());
    EXPECT_FALSE(parser->plistRepresentation().contains(u"folding"_qs));

    // The commit writes the code-navigation searches, then "syntax.plist" in binary form.
    TestDir dir;
    auto keyword = QVParser::parserForPlist({}, javaScriptSyntax());
    keyword->setCodeNavParser(std::make_shared<QVCodeNavParser>(
        QVariantList{QVariantMap{{u"pattern"_qs, u"function\\s+(\\w+)"_qs}, {u"display"_qs, u"$1"_qs}}}, keyword));
    QVError error;
    ASSERT_TRUE(keyword->commitToPath(dir.path(), &error)) << error.localizedDescription().toStdString();
    PlistFormat format;
    EXPECT_EQ(PropertyList::readFile(dir.file(u"syntax.plist"_qs), nullptr, &format), QVariant(keyword->plistRepresentation()));
    EXPECT_EQ(format, PlistFormat::Binary);
    EXPECT_TRUE(QFile::exists(dir.file(u"codenav.plist"_qs)));
    // A folder that cannot be written fails the commit, and says why.
    EXPECT_FALSE(keyword->commitToPath(dir.file(u"missing/Contents"_qs), &error));
    EXPECT_FALSE(error.isNull());
}

TEST(QVParser, CodeNavigationAcrossEmbeddedBlocks) {
    Languages languages;
    languages.html->setCodeNavParser(std::make_shared<QVCodeNavParser>(
        QVariantList{QVariantMap{{u"pattern"_qs, u"<h1>(.*?)</h1>"_qs}, {u"display"_qs, u"$1"_qs}}}, languages.html));
    languages.js->setCodeNavParser(std::make_shared<QVCodeNavParser>(
        QVariantList{QVariantMap{{u"pattern"_qs, u"function\\s+(\\w+)"_qs}, {u"display"_qs, u"$1"_qs}},
                     QVariantMap{{u"pattern"_qs, u"<h1>(.*?)</h1>"_qs}, {u"display"_qs, u"js $1"_qs}}},
        languages.js));
    const QString text = u"<h1>A</h1>\n<script>\nfunction f() {}\nx = '<h1>no</h1>';\nfunction g() {}\n</script>\n<h1>B</h1>\n"_qs;
    QStringList titles;
    qint64 previous = -1;
    for (const QVCodeNavMenuItem& item : languages.html->codeNavItemsForString(text, QVRange(0, text.size()))) {
        titles.append(item.title());
        EXPECT_GE(item.range().location, previous);
        previous = item.range().location;
    }
    // Inside the script only the script's searches count, outside only the markup's.
    EXPECT_EQ(titles, QStringList({u"A"_qs, u"f"_qs, u"js no"_qs, u"g"_qs, u"B"_qs}));
    EXPECT_TRUE(languages.css->codeNavItemsForString(text, QVRange(0, text.size())).isEmpty());
}

// A regular expression's scan for its closing slash, with what it looks at standing at every
// offset from the slash, inside and past the stretches it passes over at a glance.
// Where a script element ends when its end tag stands in, or after, a block comment (which hides
// the script's quotes but not its end tag), with a comment's contents of every length from 0 to
// 19 units, so that the end is found both among the units passed over eight at a time and in
// the tail; with "<" that begin no end on the way, with and without the look for places.
TEST(QVParser, AScriptsEndTagIsFoundInAndAfterABlockComment) {
    struct NoPlaces : QVParser::BlockPlaces {
        bool place(qint64, int, QStringView, const QVScriptLiterals::TemplateNesting&) override { return false; }
    };
    const std::shared_ptr<QVParser> js = QVParser::parserForPlist({}, javaScriptSyntax());
    const struct {
        const char* name;
        QString after;  // after "var a = 1; /* " and the padding
        qint64 end;     // where the end tag begins, from the padding's end; -1: none (the text's end)
    } cases[] = {
        {"an end tag in the comment", u"</script> */ x"_qs, 0},
        {"an end tag in capitals in the comment", u"</SCRIPT>*/"_qs, 0},
        {"an end tag after the comment", u"*/ x = 1; </script>"_qs, 10},
        {"a quote in the comment hides nothing after it", u"\" */ x </script> \""_qs, 7},
        {"a longer name ends nothing", u"</scripts> */ </script>"_qs, 14},
        {"a less-than that begins no end tag", u"a < b </ script> */"_qs, -1},
        {"a comment that does not close", u"a < b"_qs, -1},
        {"an end tag on the comment's next line", u"\n< </script>"_qs, 3},
        {"an end tag after a comment over two lines", u"\r\n*/ </script>"_qs, 5},
    };
    for (const auto& c : cases)
        for (int padding = 0; padding < 20; ++padding)
            for (const bool looked : {false, true}) {
                SCOPED_TRACE(testing::Message() << c.name << ", padding " << padding << (looked ? ", places looked for" : ""));
                QString pad;
                for (int i = 0; i < padding; ++i) pad += i % 5 == 3 ? u'<' : u'x';
                const QString text = u"var a = 1; /* "_qs + pad + c.after;
                const qint64 padEnd = 14 + padding;
                NoPlaces places;
                EXPECT_EQ(js->endOfEmbeddedBlock(text, 0, u"</script"_qs, true, looked ? &places : nullptr),
                          c.end < 0 ? text.size() : padEnd + c.end);
            }
}

// Callers skip the slashes before sameUntil (or closesAlikeUntil), on the word that a scan begun
// at one ends as the scan did: a walk or colouring begun amid the line (at a place or checkpoint after the
// first slash) tries them, and must read what one from the line's start reads.
TEST(QVParser, ASlashARejectedScanVouchesForEndsAsItDid) {
    const QString lines[] = {
        u"x=/[;\\/;;\\/q,;\\/q,\"/;</script>\";y=1;"_qs,  // a class never closed, an unescaped slash in it
        u"x=/[a\\/b]c\\/d[e/f\\/g"_qs,                     // a class closed, another holding one
        u"x=/[\\/[\\/[\\/[\\/[\\/]\\/"_qs,                 // brackets inside a class, no slash in one
        u"x=/[\\/[\\/[\\/[\\//"_qs,                        // the same, its last slash unescaped in the class
        u"x=/a\\/b\\/c\\/d"_qs,                            // escaped slashes only
        u"x=/[/]\\/[a/b]]\\/c[/"_qs,                         // slashes in two classes, a "]" outside one
        u"x=/a\\/b;;\\/,;\\/,\"</script>]/\";"_qs,             // closed, escaped slashes before it
        u"x=/[\\/]\\/q[/]\\//g;"_qs,                          // closed, slashes in classes, one right before it
        u"x=/[a/b\\/c]d\\/e/;"_qs,                             // closed after a class holding slashes
    };
    for (const QString& line : lines) {
        SCOPED_TRACE(line.toStdString());
        for (qint64 first = 0; first < line.size(); ++first) {
            if (line[first] != u'/') continue;
            qint64 read = 0, sameUntil = -1, alike = -1;
            const qint64 end = QVScriptLiterals::endOfRegexLiteral(line, first, line.size(), &read, &sameUntil, &alike);
            // A scan that closes vouches that those before alike close where it does.
            EXPECT_EQ(sameUntil < 0, end >= 0);
            EXPECT_EQ(alike < 0, end < 0);
            for (qint64 slash = first + 1; slash < std::max(sameUntil, alike); ++slash) {
                if (line[slash] != u'/') continue;
                qint64 alsoRead = 0;
                EXPECT_EQ(QVScriptLiterals::endOfRegexLiteral(line, slash, line.size(), &alsoRead), end) << "from " << first << " at " << slash;
                if (end < 0) {
                    EXPECT_EQ(alsoRead, read) << "from " << first << " at " << slash;
                }
            }
        }
    }
}

TEST(QVParser, ARegularExpressionEndsAtItsSlashOnItsLine) {
    const struct {
        const char* name;
        QString tail;     // after the opening slash and the padding
        qint64 end;       // past the closing slash and flags, from the padding's end; -1: none
    } cases[] = {
        {"closing slash and flags", u"/gi;x"_qs, 3},
        {"escaped slash", u"\\/b/;"_qs, 4},
        {"slash in a class", u"[/]/;"_qs, 4},
        {"class closing before the slash", u"[a]b/;"_qs, 5},
        {"line feed", u"\n/;"_qs, -1},
        {"carriage return", u"\r/;"_qs, -1},
        {"line separator", u"\u2028/;"_qs, -1},
        {"paragraph separator", u"\u2029/;"_qs, -1},
        {"escaped line break", u"\\\n/;"_qs, -1},
        {"characters next to the separators", u"\u2027\u202a\u00e9/;"_qs, 4},
        {"no slash after", u"abcdefghijklmnopqrstuvwxyz"_qs, -1},
    };
    for (const auto& c : cases)
        for (int padding = 1; padding < 20; ++padding) {
            SCOPED_TRACE(std::string(c.name) + " after " + std::to_string(padding));
            const QString text = QLatin1Char('/') + QString(padding, u'a') + c.tail;
            qint64 read = 0;
            EXPECT_EQ(QVScriptLiterals::endOfRegexLiteral(text, 0, text.size(), &read), c.end < 0 ? -1 : 1 + padding + c.end);
            EXPECT_LE(read, text.size() + 1);
            // A scan cut off before its slash finds none, and says it read to the cut.
            if (c.end > 0) {
                const qint64 cut = text.lastIndexOf(u'/');
                EXPECT_EQ(QVScriptLiterals::endOfRegexLiteral(text, 0, cut, &read), -1);
                EXPECT_EQ(read, cut + 1);
            }
        }
}
