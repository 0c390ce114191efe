// Tests of the string helpers: settings strings, line breaks and ranges, key equivalents, quotes
// and escapes, paths, URL strings, digests and identifiers.
#include "shell/StringHashing.h"
#include "shell/StringLines.h"
#include "shell/StringParsing.h"
#include "shell/StringPaths.h"
#include "shell/StringSearching.h"
#include "shell/StringUtilities.h"
#include "shell/URLStringAdditions.h"

#include "platform/Paths.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QRegularExpression>
#include <QSet>

#include <random>

#include <unistd.h>

namespace {

const QString Null;  // a null string: "no name", "no base"

// Stores settings for the life of the object and removes them afterwards.
class Settings {
public:
    Settings(std::initializer_list<std::pair<const char*, QVariant>> values) {
        for (const auto& [key, value] : values) {
            UserDefaults::standard().setObject(value, QLatin1String(key));
            _keys << QLatin1String(key);
        }
    }
    ~Settings() {
        for (const QString& key : _keys) UserDefaults::standard().removeObject(key);
    }

private:
    QStringList _keys;
};

TEST(StringUtilities, SettingsStrings) {
    {
        Settings s{{QVTabsAreSpaces, true}, {QVTabSizeKey, 0}};
        EXPECT_EQ(StringUtilities::tabSpaces(), QString());
    }
    {
        Settings s{{QVTabsAreSpaces, true}, {QVTabSizeKey, 4}};
        EXPECT_EQ(StringUtilities::tabSpaces(), QStringLiteral("    "));
    }
    {
        Settings s{{QVTabsAreSpaces, false}, {QVTabSizeKey, 4}};
        EXPECT_EQ(StringUtilities::tabSpaces(), QStringLiteral("\t"));
    }
    const std::pair<int, const char*> breaks[] = {{0, "\n"}, {1, "\r"}, {2, "\r\n"}, {9, "\n"}};
    for (const auto& [value, expected] : breaks) {
        Settings s{{QVLineBreak, value}};
        EXPECT_EQ(StringUtilities::lineBreak(), QLatin1String(expected)) << value;
    }
    EXPECT_EQ(StringUtilities::tildePath(), QString::fromLocal8Bit(qgetenv("XDG_DATA_HOME")) + QStringLiteral("/Glimbo"));
}

TEST(StringUtilities, SwitchLineBreaks) {
    struct Case {
        const char* text;
        QString name;
        int setting;  // QVLineBreak, used with a null name
        const char* expected;
    } cases[] = {
        {"a\r\nb\nc\rd", QStringLiteral("Mac"), 0, "a\rb\rc\rd"},
        {"a\r\nb\nc\rd", QStringLiteral("Windows"), 0, "a\r\nb\r\nc\r\nd"},
        {"a\r\nb\nc\rd", QStringLiteral("Unix"), 0, "a\nb\nc\nd"},
        {"a\r\nb\nc\rd", QString(""), 0, "a\r\nb\r\nc\r\nd"},
        {"\r\r\n\n\n\r", QStringLiteral("Unix"), 0, "\n\n\n\n\n"},
        {"end\r", QStringLiteral("Unix"), 0, "end\n"},
        {"no breaks", QStringLiteral("Mac"), 0, "no breaks"},
        {"", QStringLiteral("Mac"), 0, ""},
        {"a\nb\r\n", Null, 1, "a\rb\r"},
        {"a\nb\r", Null, 2, "a\r\nb\r\n"},
        {"a\rb\r\n", Null, 0, "a\nb\n"},
        {"a\rb\r\n", Null, 7, "a\rb\r\n"},  // an unknown style leaves the text alone
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " / " + c.name.toStdString());
        Settings s{{QVLineBreak, c.setting}};
        EXPECT_EQ(StringUtilities::switchLineBreaks(QString::fromLatin1(c.text), QStringLiteral("\r"), c.name),
                  QString::fromLatin1(c.expected));
    }
}

TEST(StringUtilities, CamelKeysAndSpaces) {
    const std::pair<QString, QString> camel[] = {
        {QStringLiteral("new html file"), QStringLiteral("NewHtmlFile")},
        {QStringLiteral("x  y"), QStringLiteral("XY")},
        {QStringLiteral(" lead and trail "), QStringLiteral("LeadAndTrail")},
        {QStringLiteral("\u00e9lan vital"), QStringLiteral("\u00e9lanVital")},
        {QStringLiteral("1st go"), QStringLiteral("1stGo")},
        {QStringLiteral("tab\tstays"), QStringLiteral("Tab\tstays")},
        {QString(), QString()},
    };
    for (const auto& [in, out] : camel) EXPECT_EQ(StringUtilities::camelString(in), out) << in.toStdString();

    using SU = StringUtilities;
    struct Key {
        QString text;
        QString key;
        quint64 modifiers;
    } keys[] = {
        {QStringLiteral("@$\\@"), QStringLiteral("@"), SU::CommandKeyMask | SU::ShiftKeyMask},
        {QStringLiteral("@~s"), QStringLiteral("s"), SU::CommandKeyMask | SU::OptionKeyMask},
        {QStringLiteral("^\\$"), QStringLiteral("$"), SU::ControlKeyMask},
        {QStringLiteral("^~$@K"), QStringLiteral("K"),
         SU::ControlKeyMask | SU::OptionKeyMask | SU::ShiftKeyMask | SU::CommandKeyMask},
        {QStringLiteral("S"), QStringLiteral("S"), 0},
        {QStringLiteral("\\~"), QStringLiteral("~"), 0},
        {QString(), QString(), 0},
    };
    for (const Key& k : keys) {
        quint64 modifiers = 12345;
        EXPECT_EQ(StringUtilities::actualKeyWithModifier(k.text, &modifiers), k.key) << k.text.toStdString();
        EXPECT_EQ(modifiers, k.modifiers) << k.text.toStdString();
    }

    const QString padded = QStringLiteral("  \ta b\t  ");
    EXPECT_EQ(StringUtilities::stringWithNoLeadingSpaces(padded), QStringLiteral("\ta b\t  "));
    EXPECT_EQ(StringUtilities::stringWithNoTrailingSpaces(padded), QStringLiteral("  \ta b\t"));
    EXPECT_EQ(StringUtilities::stringWithNoEdgeSpaces(padded), QStringLiteral("\ta b\t"));
    EXPECT_EQ(StringUtilities::stringWithNoEdgeSpaces(QStringLiteral("   ")), QString());
}

TEST(StringUtilities, ReducingToACharacterSet) {
    const auto hostCharacters = [](char32_t c) {
        return (c < 128 && QChar::isLetterOrNumber(c)) || c == '.' || c == '-' || c == '_';
    };
    EXPECT_EQ(StringUtilities::stringByReducingToCharactersFromSet(QStringLiteral("my host!.ex\u00e4mple-1_x.com:21"),
                                                                   hostCharacters),
              QStringLiteral("myhost.exmple-1_x.com21"));
    const auto everything = [](char32_t) { return true; };
    EXPECT_EQ(StringUtilities::stringByReducingToCharactersFromSet(QStringLiteral("a b\nc\r\td\u2028e\u00a0f"), everything),
              QStringLiteral("abcdef"));
    const auto emoji = [](char32_t c) { return c == 0x1F600; };
    EXPECT_EQ(StringUtilities::stringByReducingToCharactersFromSet(QStringLiteral("x\U0001F600y\U0001F601"), emoji),
              QStringLiteral("\U0001F600"));
}

TEST(StringUtilities, LineRanges) {
    struct Case {
        QString text;
        QVRange range;
        QVRange lines;    // line feeds only
        QVRange general;  // line feeds and carriage returns
    } cases[] = {
        {QStringLiteral("ab\n"), {3, 0}, {3, 0}, {3, 0}},
        {QStringLiteral("ab\ncd\nef"), {4, 0}, {3, 2}, {3, 2}},
        {QStringLiteral("ab\ncd\nef"), {1, 3}, {0, 5}, {0, 5}},
        {QStringLiteral("ab\ncd\nef"), {0, 3}, {0, 5}, {0, 5}},
        {QStringLiteral("ab\ncd\nef"), {7, 1}, {6, 2}, {6, 2}},
        {QStringLiteral("a\rb\r\nc"), {2, 0}, {0, 4}, {2, 1}},
        {QStringLiteral("a\rb\r\nc"), {5, 0}, {5, 1}, {5, 1}},
        {QString(), {0, 0}, {0, 0}, {0, 0}},
        {QStringLiteral("abc"), {10, 5}, {0, 3}, {0, 3}},  // clamped
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.toStdString() + " @" + std::to_string(c.range.location));
        EXPECT_EQ(StringLines::myLineRangeForRange(c.text, c.range), c.lines);
        EXPECT_EQ(StringUtilities::myLineRangeForRange(c.text, c.range), c.general);
    }
}

TEST(StringUtilities, NumberOfLines) {
    const std::pair<QString, qint64> cases[] = {
        {QString(), 0},
        {QStringLiteral("a"), 1},
        {QStringLiteral("a\n"), 1},
        {QStringLiteral("a\nb"), 2},
        {QStringLiteral("\n"), 1},
        {QStringLiteral("\n\n"), 2},
        {QStringLiteral("a\r\nb"), 2},
        {QStringLiteral("a\r\n"), 1},
        {QStringLiteral("a\r\rb"), 3},
        {QStringLiteral("a\rb\u2028c\u2029d\u0085e"), 5},
    };
    for (const auto& [text, lines] : cases) EXPECT_EQ(StringLines::numberOfLines(text), lines) << text.toStdString();
}

TEST(StringUtilities, QuotesAndEscapes) {
    const QString attr = QStringLiteral("<a title=\"say \\\"hi\\\" now\" x='y'>");
    struct Case {
        const char* label;
        QString text;
        qint64 location;
        qint64 start;
        bool checkSingle;
        bool inQuotes;
    } cases[] = {
        {"just after an opening quote", attr, 10, 0, false, true},
        {"after an escaped quote inside", attr, 20, 0, false, true},
        {"after the closing quote", attr, 26, 0, false, false},
        {"inside single quotes, not checked", attr, 30, 0, false, false},
        {"inside single quotes, checked", attr, 30, 0, true, true},
        {"counted from inside the value", attr, 20, 10, false, false},
        {"escaped backslash then a real quote", QStringLiteral("\"a\\\\\" b"), 6, 0, false, false},
        {"start after location", attr, 5, 10, false, false},
        {"location past the end", QStringLiteral("\"open"), 99, 0, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(StringParsing::locationInQuotes(c.text, c.location, c.start, c.checkSingle), c.inQuotes);
    }
    EXPECT_EQ(StringParsing::locationInQuotes(attr, 10), true);
    EXPECT_EQ(StringParsing::locationInQuotes(attr, 30, true), true);

    const QString escapes = QStringLiteral("a\\\\b\\\\\\c");
    EXPECT_FALSE(StringParsing::characterIsEscapedAtIndex(escapes, 3, u'\\'));  // two before "b"
    EXPECT_TRUE(StringParsing::characterIsEscapedAtIndex(escapes, 7, u'\\'));   // three before "c"
    EXPECT_FALSE(StringParsing::characterIsEscapedAtIndex(escapes, 0, u'\\'));
    EXPECT_FALSE(StringParsing::characterIsEscapedAtIndex(escapes, 99, u'\\'));

    struct Count {
        const char* label;
        QString text;
        QString needle;
        QVRange range;
        QChar escape;
        bool anchored;
        qint64 count;
    } counts[] = {
        {"plain", QStringLiteral("a\"b\"c\""), QStringLiteral("\""), {0, 6}, QChar(), false, 3},
        {"escaped ones skipped", QStringLiteral("\"a\\\"b\\\\\"c"), QStringLiteral("\""), {0, 10}, u'\\', false, 2},
        {"inside the range only", QStringLiteral("\"\"x\"\""), QStringLiteral("\""), {1, 3}, u'\\', false, 2},
        {"anchored run", QStringLiteral("x\"\"y\"\""), QStringLiteral("\""), {0, 6}, QChar(), true, 2},
        {"anchored, nothing at the end", QStringLiteral("\"\"x"), QStringLiteral("\""), {0, 3}, QChar(), true, 0},
        {"anchored stops at an escaped one", QStringLiteral("x\\\"\""), QStringLiteral("\""), {0, 4}, u'\\', true, 1},
        {"longer needle", QStringLiteral("--x----"), QStringLiteral("--"), {0, 7}, QChar(), false, 3},
        {"empty needle", QStringLiteral("abc"), QString(), {0, 3}, QChar(), false, 0},
        {"range outside the text", QStringLiteral("\"\""), QStringLiteral("\""), {5, 9}, QChar(), false, 0},
    };
    for (const Count& c : counts) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(StringParsing::countOfInstancesOf(c.text, c.needle, c.range, c.escape, c.anchored), c.count);
    }

    const QString tags = QStringLiteral("<a <b> c> d>");
    EXPECT_EQ(StringParsing::closeBracketAfter(tags, 1), 8);
    EXPECT_EQ(StringParsing::closeBracketAfter(tags, 9), 11);
    EXPECT_EQ(StringParsing::closeBracketAfter(QStringLiteral("<a <b>"), 1), QVRange::NotFound);
}

TEST(StringUtilities, SearchingAndShortForms) {
    EXPECT_EQ(StringSearching::replaceAll(QStringLiteral("Hello hello HELLO"), QStringLiteral("hello"), QStringLiteral("bye")),
              QStringLiteral("bye bye bye"));
    EXPECT_EQ(StringSearching::replaceAll(QStringLiteral("aA"), QStringLiteral("a"), QStringLiteral("aa")),
              QStringLiteral("aaaa"));
    EXPECT_EQ(StringSearching::replaceAll(QStringLiteral("abc"), QString(), QStringLiteral("x")), QStringLiteral("abc"));
    EXPECT_EQ(StringSearching::replaceAll(QStringLiteral("abc"), QStringLiteral("b"), QString()), QStringLiteral("abc"));
    EXPECT_EQ(StringSearching::replaceAll(QStringLiteral("abc"), QStringLiteral("b"), QStringLiteral("")), QStringLiteral("ac"));
    EXPECT_EQ(StringSearching::stringAfterString(QStringLiteral("key=value=x"), QStringLiteral("=")), QStringLiteral("value=x"));
    EXPECT_EQ(StringSearching::stringAfterString(QStringLiteral("plain"), QStringLiteral("=")), QStringLiteral("plain"));
    EXPECT_EQ(StringSearching::stringAfterString(QStringLiteral("plain"), QString()), QStringLiteral("plain"));

    EXPECT_EQ(StringUtilities::stringWithTrailingSlash(QStringLiteral("/a")), QStringLiteral("/a/"));
    EXPECT_EQ(StringUtilities::stringWithTrailingSlash(QStringLiteral("/a/")), QStringLiteral("/a/"));
    EXPECT_EQ(StringUtilities::stringWithTrailingSlash(QString()), QString());
    EXPECT_EQ(StringUtilities::shrinkToSize(QStringLiteral("abcdef"), 3), QStringLiteral("abc..."));
    EXPECT_EQ(StringUtilities::shrinkToSize(QStringLiteral("abc"), 3), QStringLiteral("abc..."));
    EXPECT_EQ(StringUtilities::shrinkToSize(QStringLiteral("ab"), 3), QStringLiteral("ab"));
    EXPECT_EQ(StringUtilities::stringWithoutLeadingSlash(QStringLiteral("//a")), QStringLiteral("/a"));
    EXPECT_EQ(StringUtilities::stringByDeletingLeadingSlash(QStringLiteral("a/")), QStringLiteral("a/"));
    EXPECT_EQ(StringUtilities::ellipsedPath(QStringLiteral("/site/css/main.css")),
              QStringLiteral("main.css \u2014 \u2026/css"));

    QVariantMap specials;
    specials.insert(QStringLiteral("Symbols"),
                    QVariantList{QVariantMap{{QStringLiteral("appearance"), QStringLiteral("\u00a9")},
                                             {QStringLiteral("name"), QStringLiteral("copyright")},
                                             {QStringLiteral("value"), QStringLiteral("&copy;")}}});
    specials.insert(QStringLiteral("Accents"),
                    QVariantList{QVariantMap{{QStringLiteral("appearance"), QStringLiteral("\u00e9")},
                                             {QStringLiteral("value"), QStringLiteral("&eacute;")}}});
    EXPECT_EQ(StringUtilities::stringWithSpecialCharacters(
                  QStringLiteral("a &copy; b &eacute; & c &unknown; &&copy;"), specials),
              QStringLiteral("a \u00a9 b &eacute; & c &unknown; &\u00a9"));
}

TEST(StringUtilities, Paths) {
    struct Relative {
        const char* file;
        const char* target;
        const char* expected;
    } relatives[] = {
        {"/a/b/c/page.html", "/a/x/y.css", "../../x/y.css"},
        {"/a/bc/page.html", "/a/b/y.css", "../b/y.css"},
        {"/a/b/page.html", "/a/b/style.css", "style.css"},
        {"/a/b/page.html", "/a/b/css/site/style.css", "css/site/style.css"},
        {"/a/b/page.html", "/z/y.css", "../../z/y.css"},
        {"/page.html", "/img/a.png", "img/a.png"},
        {"Untitled", "/a/b.css", "/a/b.css"},
    };
    for (const Relative& r : relatives)
        EXPECT_EQ(StringPaths::relativePathTo(QString::fromLatin1(r.file), QString::fromLatin1(r.target)),
                  QString::fromLatin1(r.expected))
            << r.file << " -> " << r.target;

    struct Absolute {
        const char* written;
        const char* file;
        QString base;
        const char* expected;
    } absolutes[] = {
        {"../img/a.png", "/s/css/x.css", Null, "/s/img/a.png"},
        {"/img/a.png", "/s/css/x.css", QStringLiteral("/s"), "/s/img/a.png"},
        {"/img/a.png", "/s/css/x.css", QStringLiteral("/s/"), "/s/img/a.png"},
        {"/img/a.png", "/s/css/x.css", Null, "/s/css/img/a.png"},
        {"./a/../b.css", "/s/x.html", Null, "/s/a/../b.css"},
        {"../../../../up.css", "/s/x.html", Null, "/up.css"},
        {"inc/a.php", "/s/lib/", Null, "/s/lib/inc/a.php"},
        {"..", "/s/css/x.css", Null, "/s"},
        {"b.css", "x.css", Null, "b.css"},
    };
    for (const Absolute& a : absolutes)
        EXPECT_EQ(StringPaths::absolutePathFromFile(QString::fromLatin1(a.written), QString::fromLatin1(a.file), a.base),
                  QString::fromLatin1(a.expected))
            << a.written << " from " << a.file;

    EXPECT_EQ(StringPaths::fullyQualifiedPathTo(QStringLiteral("/a/b/c.html"), QStringLiteral("../../x.css")),
              QStringLiteral("/x.css"));
    EXPECT_EQ(StringPaths::fullyQualifiedPathTo(QStringLiteral("/a/b/c.html"), QStringLiteral("d/x.css")),
              QStringLiteral("/a/b/d/x.css"));
    EXPECT_EQ(StringPaths::fullyQualifiedPathTo(QStringLiteral("/a/b/c.html"), QStringLiteral("http://h/x.css")),
              QStringLiteral("http://h/x.css"));

    EXPECT_EQ(URLStringAdditions::urlStringByAppendingPathComponent(QStringLiteral("/a"), QStringLiteral("dir")),
              QStringLiteral("/a/dir"));
    EXPECT_EQ(URLStringAdditions::urlStringByAppendingPathComponent(QStringLiteral("/a/"), QStringLiteral("dir")),
              QStringLiteral("/a/dir"));
    EXPECT_EQ(URLStringAdditions::urlStringByAppendingPathComponent(QStringLiteral("ftp://h"), QStringLiteral("/x")),
              QStringLiteral("ftp://h//x"));
    EXPECT_EQ(URLStringAdditions::urlStringByDeletingLastPathComponent(QStringLiteral("http://h/a/b.html")),
              QStringLiteral("http://h/a"));
    EXPECT_EQ(URLStringAdditions::urlStringByDeletingLastPathComponent(QStringLiteral("http://h/a/")),
              QStringLiteral("http://h/a"));
    EXPECT_EQ(URLStringAdditions::urlStringByDeletingLastPathComponent(QStringLiteral("name")), QStringLiteral("name"));
}

TEST(StringUtilities, CopyNamesAvoidExistingFiles) {
    TestDir dir;
    dir.write(QStringLiteral("a.html"), "x");
    EXPECT_EQ(StringPaths::filenameForDuplicateOfFile(dir.file(QStringLiteral("a.html")), dir.path()),
              QStringLiteral("a copy.html"));
    dir.write(QStringLiteral("a copy.html"), "x");
    dir.write(QStringLiteral("a copy 2.html"), "x");
    EXPECT_EQ(StringPaths::filenameForDuplicateOfFile(QStringLiteral("a.html"), dir.path()),
              QStringLiteral("a copy 3.html"));
    EXPECT_EQ(StringPaths::filenameForDuplicateOfFile(QStringLiteral(".htaccess"), dir.path()),
              QStringLiteral(".htaccess copy"));
    EXPECT_EQ(StringPaths::filenameForDuplicateOfFile(QStringLiteral("Makefile"), dir.path()),
              QStringLiteral("Makefile copy"));
    // A dangling link still takes its name.
    ASSERT_EQ(::symlink("/nonexistent", QFile::encodeName(dir.file(QStringLiteral("m copy.txt"))).constData()), 0);
    EXPECT_EQ(StringPaths::filenameForDuplicateOfFile(QStringLiteral("m.txt"), dir.path()), QStringLiteral("m copy 2.txt"));
}

TEST(StringUtilities, DigestsAndIdentifiers) {
    const std::pair<QString, const char*> digests[] = {
        {QString(), "d41d8cd98f00b204e9800998ecf8427e"},
        {QStringLiteral("abc"), "900150983cd24fb0d6963f7d28e17f72"},
        {QStringLiteral("abc") + QChar(0) + QStringLiteral("def"), "900150983cd24fb0d6963f7d28e17f72"},
        {QStringLiteral("\u65e5\u672c"), "4dbed2e657457884e67137d3514119b3"},
        {QStringLiteral("/Users/me/site/index.html"), "247263ae294ecb1a118146f9ea8bde22"},
    };
    for (const auto& [text, hex] : digests) EXPECT_EQ(StringHashing::md5(text), QLatin1String(hex)) << text.toStdString();
    EXPECT_FALSE(StringHashing::md5(QStringLiteral("a") + QChar(0xD800)).has_value());
    EXPECT_FALSE(StringHashing::md5(QString(QChar(0xDC00)) + QStringLiteral("b")).has_value());

    const QRegularExpression form(QStringLiteral("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$"));
    QSet<QString> seen;
    for (int i = 0; i < 100; ++i) {
        const QString uuid = StringHashing::uuid();
        EXPECT_TRUE(form.match(uuid).hasMatch()) << uuid.toStdString();
        seen.insert(uuid);
    }
    EXPECT_EQ(seen.size(), 100);
}

}  // namespace

// The backward case-insensitive search finds what Qt's finds, over texts full of near misses:
// other cases, the long s and the Kelvin sign (which fold to "s" and "k"), matches at either
// end, across every lane of an eight-character step, and needles it hands on to Qt.
TEST(StringUtilities, BackwardSearchIgnoringCaseAgreesWithQt) {
    const QString needles[] = {"<script", "</STYLE>", "<sk", "<?php", "<?", "<S", "<%", "/*", "a<", "ab", "<", "x", "<scrİpt"};
    const QString pieces[] = {"<", "s", "S", "\u017F", "k", "\u212A", "c", "ript", "RIPT", "/", "style>", "STYLE>",
                              "?", "php", "%", "*", " ", "\u0130", "\U0001F600", "a"};
    std::mt19937 rng(5);
    for (int round = 0; round < 400; ++round) {
        QString text;
        for (int n = int(rng() % 60); n > 0; --n) text += pieces[rng() % std::size(pieces)];
        for (const QString& needle : needles) {
            const qsizetype expected = needle.size() > text.size() ? -1 : text.lastIndexOf(needle, text.size() - needle.size(), Qt::CaseInsensitive);
            ASSERT_EQ(StringParsing::lastIndexIn(text, needle, Qt::CaseInsensitive), expected) << qPrintable(text) << " / " << qPrintable(needle);
            // The same inside a view that stops short of the text's end.
            const QStringView head = QStringView(text).first(text.size() / 2);
            const qsizetype inHead = needle.size() > head.size() ? -1 : head.lastIndexOf(needle, head.size() - needle.size(), Qt::CaseInsensitive);
            ASSERT_EQ(StringParsing::lastIndexIn(head, needle, Qt::CaseInsensitive), inHead) << qPrintable(text);
        }
    }
}
