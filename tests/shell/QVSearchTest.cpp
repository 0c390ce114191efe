// Finding, enumerating, template expansion and range replacement of the search engine.
#include "shell/QVSearch.h"
#include "shell/QVSearchEnumerator.h"

#include "platform/Process.h"
#include "platform/QVRegex.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

QList<QVRange> rangesOf(const QList<QVSearchResult>& results) {
    QList<QVRange> ranges;
    for (const QVSearchResult& r : results)
        ranges.append(r.range());
    return ranges;
}

std::string describe(const QList<QVRange>& ranges) {
    QStringList parts;
    for (const QVRange& r : ranges)
        parts << (r.isNotFound() ? QStringLiteral("none") : QStringLiteral("%1+%2").arg(r.location).arg(r.length));
    return parts.join(u' ').toStdString();
}

QVSearch literal(const QString& text, bool caseSensitive) {
    QVSearch search = QVSearch::withSearchString(text);
    search.setCaseSensitive(caseSensitive);
    return search;
}

}  // namespace

TEST(QVSearch, FirstMatchInString) {
    struct Case {
        const char* name;
        QVSearch search;
        QString text;
        QVRange range;  // not found: the whole-string call
        bool reverse;
        QVRange expected;
    };
    const QVRange whole(-100, -100);  // marks the whole-string call
    const Case cases[] = {
        {"literal sensitive skips other case", literal("hello", true), "Hello hello", whole, false, {6, 5}},
        {"literal insensitive", literal("hello", false), "Hello hello", whole, false, {0, 5}},
        {"literal insensitive non-ASCII", literal(u"ärger"_qs, false), u"Viel ÄRGER"_qs, whole, false, {5, 5}},
        {"literal sensitive non-ASCII", literal(u"ärger"_qs, true), u"Viel ÄRGER"_qs, whole, false, {}},
        {"literal inside range", literal("abc", true), "abcabc", {1, 5}, false, {3, 3}},
        {"literal reverse finds last inside range", literal("abc", true), "abcabcabc", {0, 8}, true, {3, 3}},
        {"literal reverse whole", literal("abc", true), "abcabcabc", {0, 9}, true, {6, 3}},
        {"literal reverse before selection", literal("x", true), "x.x.x|x", {0, 5}, true, {4, 1}},
        {"literal reverse one character stays in range", literal("x", true), "abx", {0, 2}, true, {}},
        {"literal reverse one character without case", literal("X", false), "xabx", {1, 2}, true, {}},
        {"literal not wholly inside range", literal("abc", true), "abcabc", {1, 4}, false, {}},
        {"range past the end is cut", literal("c", true), "abc", {1, 100}, false, {2, 1}},
        {"range starting past the end", literal("c", true), "abc", {4, 1}, false, {}},
        {"not-found range", literal("c", true), "abc", QVRange(), false, {}},
        {"negative range", literal("c", true), "abc", {-1, 3}, false, {}},
        {"empty literal finds nothing", literal("", true), "abc", {0, 3}, false, {}},
        {"no literal, no pattern", QVSearch(), "abc", whole, false, {}},
        {"pattern whole string", QVSearch::withExpressionString("b+", true), "abbbc", whole, false, {1, 3}},
        {"pattern ignores reverse", QVSearch::withExpressionString("b", true), "abcb", {0, 4}, true, {1, 1}},
        {"pattern sees only the range", QVSearch::withExpressionString("^b", true), "abcb", {1, 3}, false, {1, 1}},
        {"case-insensitive pattern", QVSearch::withExpressionString("HELLO", false), "say hello", whole, false, {4, 5}},
        {"case-sensitive pattern", QVSearch::withExpressionString("HELLO", true), "say hello", whole, false, {}},
        {"refused pattern finds nothing", QVSearch::withExpressionString("(", true), "(", whole, false, {}},
    };
    for (const Case& c : cases) {
        const QVRange got = c.range == whole ? c.search.firstMatchInString(c.text)
                                             : c.search.firstMatchInString(c.text, c.range, c.reverse);
        EXPECT_EQ(describe({got}), describe({c.expected})) << c.name;
    }
}

TEST(QVSearch, LiteralsCompareAsQtDoes) {
    // Literals take faster paths than Qt's general search; they must find exactly what Qt's
    // indexOf finds: without case, the Kelvin sign and the long s (which fold to "k" and "s")
    // and characters beyond the BMP included; with case, at every alignment and near the end.
    const QString needles[] = {"content-type", "KS", "s", "k", "a-b", "xyz", "sk_ks", "Ab", "conTent-typ", "xx",
                               u"😀x"_qs, u"x😀"_qs, "Content-TypeContent-Type"};
    const QString pieces[] = {"Content-Type", "CONTENT-TYPE", u"content-Kype"_qs, u"ſ"_qs, u"K"_qs,
                              "K", "s", "a-B", u"à-b"_qs, u"😀"_qs, u"Å"_qs, "x", "Y", "z", " ", "_",
                              "\n", u"İ"_qs, u"ı"_qs, "conTent-typ", "AB"};
    quint32 seed = 7;
    auto next = [&seed](quint32 n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % n;
    };
    int found = 0;
    for (int round = 0; round < 300; ++round) {
        QString text;
        for (quint32 k = next(40); k > 0; --k)
            text += pieces[next(std::size(pieces))];
        for (const QString& needle : needles) {
            SCOPED_TRACE(needle.toStdString() + " in " + text.toStdString());
            QList<QVRange> expected;
            for (qsizetype at = text.indexOf(needle, 0, Qt::CaseInsensitive); at >= 0;
                 at = text.indexOf(needle, at + needle.size(), Qt::CaseInsensitive))
                expected.append(QVRange(at, needle.size()));
            EXPECT_EQ(describe(rangesOf(literal(needle, false).findAllForString(text, false))), describe(expected));
            found += int(expected.size());
            // And with case, unit for unit.
            QList<QVRange> exact;
            for (qsizetype at = text.indexOf(needle); at >= 0; at = text.indexOf(needle, at + needle.size()))
                exact.append(QVRange(at, needle.size()));
            EXPECT_EQ(describe(rangesOf(literal(needle, true).findAllForString(text, false))), describe(exact));
            found += int(exact.size());
        }
    }
    EXPECT_GT(found, 1000);
    // The forms that fold into ASCII, one by one.
    EXPECT_EQ(literal("kas", false).firstMatchInString(u"xKAſ"_qs), QVRange(1, 3));
    EXPECT_TRUE(literal("i", false).firstMatchInString(u"İı"_qs).isNotFound());
}

TEST(QVSearch, SettingsAndValidation) {
    QVSearch search = QVSearch::withExpressionString("abc", false);
    EXPECT_TRUE(search.isRegularExpression());
    EXPECT_FALSE(search.caseSensitive());
    EXPECT_TRUE(search.matchesString("xABCx"));
    // The same text keeps the compiled pattern and so its case rule.
    search.setSearchExpression("abc");
    EXPECT_TRUE(search.matchesString("xABCx"));
    search.setSearchString("abc");
    EXPECT_TRUE(search.matchesString("xABCx"));
    // A new text is compiled with the default options: case-sensitive.
    search.setSearchString("abd");
    EXPECT_EQ(search.searchString(), "abd");
    EXPECT_FALSE(search.matchesString("ABD"));
    EXPECT_TRUE(search.matchesString("abd"));
    search.setSearchExpression("a.d");
    EXPECT_TRUE(search.matchesString("axd"));
    // Patterns compiled by the engine itself anchor at every line; the default options anchor
    // at the ends of the text only.
    EXPECT_EQ(QVSearch::withExpressionString("^b$", true).firstMatchInString("a\nb\nc"), QVRange(2, 1));
    search.setSearchExpression("^b$");
    EXPECT_TRUE(search.firstMatchInString("a\nb\nc").isNotFound());
    EXPECT_EQ(search.firstMatchInString("b\n"), QVRange(0, 1));
    // Removing the pattern turns the search back to its literal, here none.
    search.setSearchExpression(QString());
    EXPECT_FALSE(search.isRegularExpression());
    EXPECT_FALSE(search.matchesString("axd"));
    search.setSearchString("X");
    EXPECT_EQ(search.searchString(), "X");
    EXPECT_TRUE(search.matchesString("axd"));
    search.setCaseSensitive(true);
    EXPECT_FALSE(search.matchesString("axd"));

    EXPECT_TRUE(QVSearch::validRegexSearch("(a|b)+\\s"));
    EXPECT_FALSE(QVSearch::validRegexSearch("(a"));
    EXPECT_FALSE(QVSearch::validRegexSearch("a{2,1}"));
    EXPECT_TRUE(QVSearch::validRegexReplace("(unbalanced $"));

    // A shared compiled pattern.
    const auto regex = QVRegex::create("b(c)", QVRegex::DefaultOptions);
    const QVSearch shared = QVSearch::withExpression(regex);
    EXPECT_EQ(shared.firstMatchInString("abcd"), QVRange(1, 2));
    EXPECT_EQ(shared.searchString(), "b(c)");
    EXPECT_FALSE(QVSearch::withExpression(nullptr).matchesString("anything"));
}

TEST(QVSearch, FindAllAdvancesPastEveryMatch) {
    struct Case {
        const char* name;
        QVSearch search;
        QString text;
        std::string expected;  // ranges as "location+length"
    };
    const Case cases[] = {
        {"literal each occurrence", literal("a", true), "aaa", "0+1 1+1 2+1"},
        {"literal occurrences do not overlap", literal("aa", true), "aaaaa", "0+2 2+2"},
        {"literal insensitive", literal("Ab", false), "ab AB aB", "0+2 3+2 6+2"},
        {"pattern captures", QVSearch::withExpressionString("(\\w+)=(\\w+)", true), "a=b, cc=dd", "0+3 5+5"},
        {"empty matches step on", QVSearch::withExpressionString("a*", true), "baab", "0+0 1+2 3+0"},
        {"empty text has no match", QVSearch::withExpressionString("x*", true), "", ""},
        {"empty match steps over a surrogate pair", QVSearch::withExpressionString("a*", true), u"😀a😀"_qs,
         "0+0 2+1 3+0"},
        {"optional group", QVSearch::withExpressionString("(x)?", true), "ab", "0+0 1+0"},
        // A CR LF pair is one line break: nothing is found between its two characters.
        {"empty pattern steps over CR LF", QVSearch::withExpressionString("", true), "a\r\nb", "0+0 1+0 3+0"},
        {"line ends before CR LF", QVSearch::withExpressionString("$", true), "a\r\nb\rc\n", "1+0 4+0 6+0"},
        {"line starts after CR LF and CR", QVSearch::withExpressionString("^", true), "a\r\nb\rc", "0+0 3+0 5+0"},
        {"lookbehind sees a surrogate pair before the start", QVSearch::withExpressionString(u"(?<=😀)a"_qs, true),
         u"😀a😀a"_qs, "2+1 5+1"},
        {"no match", literal("z", true), "abc", ""},
        {"nothing to search for", QVSearch(), "abc", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(describe(rangesOf(c.search.findAllForString(c.text, false))), c.expected) << c.name;
        // With results, the same ranges in the same order.
        EXPECT_EQ(describe(rangesOf(c.search.findAllForString(c.text, true))), c.expected) << c.name;
    }
}

namespace {

// Perl's global match: every match of the pattern (with the inline flags, "" for none) in the
// subject, as "start+length" items.
const char* const kPerlMatches =
    "my ($p, $f, $s) = @ARGV; my $re = $f ne '' ? qr/(?$f)$p/ : qr/$p/; my @o;"
    "while ($s =~ /$re/g) { push @o, \"$-[0]+\" . ($+[0] - $-[0]) } print join(' ', @o);";
// The subject with every match replaced by the literal text.
const char* const kPerlReplace =
    "my ($p, $f, $s, $r) = @ARGV; my $re = $f ne '' ? qr/(?$f)$p/ : qr/$p/; $s =~ s/$re/$r/g; print $s;";

// The search a test case means: "m" is what the engine compiles pattern searches with (lines
// anchored), "i" ignores case.
QVSearch patternSearch(const QString& pattern, const QString& flags) {
    if (flags.contains(u'm'))
        return QVSearch::withExpressionString(pattern, !flags.contains(u'i'));
    return QVSearch::withExpression(QVRegex::create(pattern, flags.contains(u'i') ? QVRegex::CaseInsensitive : 0));
}

std::optional<QString> runPerl(const char* script, const QStringList& args) {
    if (Process::findExecutable("perl").isEmpty())
        return std::nullopt;
    const ProcessResult result = Process::run("perl", QStringList{"-e", QString::fromLatin1(script)} + args);
    if (!result.succeeded())
        return QString("perl failed: ") + QString::fromUtf8(result.standardError);
    return QString::fromUtf8(result.standardOutput);
}

}  // namespace

TEST(QVSearch, EnumerationFollowsPerlsGlobalMatchUpToTheEnd) {
    // Each expected list is Perl's own answer, computed with `perl -e` over the same pattern and
    // subject (and checked again below wherever perl is installed), except at the end: no search
    // starts at the end of the text, where Perl tries once more and may find one more empty
    // match. Subjects are ASCII with LF line breaks, where Perl's offsets and line rules are the
    // engine's.
    struct Case {
        const char* pattern;
        const char* flags;
        const char* subject;
        const char* expected;
    };
    const Case cases[] = {
        {"^foo", "m", "foofoo", "0+3"},
        {"^foo", "m", "foofoo\nfoo", "0+3 7+3"},
        {"^foo", "", "foofoo\nfoo", "0+3"},
        {"^", "m", "ab\ncd\n", "0+0 3+0"},
        {"^", "", "abc", "0+0"},
        {"^", "m", "", ""},
        {"$", "m", "ab\ncd\n", "2+0 5+0"},
        {"$", "", "ab\ncd\n", "5+0"},
        {"^#", "mi", "#a\nB#\n#c", "0+1 6+1"},
        {"\\w+$", "m", "one two\nthree\n", "4+3 8+5"},
        {"^$", "m", "a\n\nb\n", "2+0"},
        {"^\\s*", "m", "  a\n\tb\n", "0+2 4+1"},
        {"^(?:ab)?", "m", "abab\nab", "0+2 5+2"},
        {"^\\w", "i", "Ab\nCd", "0+1"},
        {"\\b", "", "ab cd", "0+0 2+0 3+0 5+0"},
        {"\\B", "", "abc de", "1+0 2+0 5+0"},
        {"\\bfoo", "", "foofoo foo", "0+3 7+3"},
        {"\\bx\\b", "", "x xx x", "0+1 5+1"},
        {"(?<=a)b", "", "abab", "1+1 3+1"},
        {"(?<![a-z])x", "", "xxx x", "0+1 4+1"},
        {"(?<=\\n)", "", "a\nb\n", "2+0 4+0"},
        {"(?<=\\d)(?=(?:\\d{3})+$)", "", "1234567", "1+0 4+0"},
        {"a*", "", "baaac", "0+0 1+3 4+0"},
        {"a*?", "", "aaa", "0+0 0+1 1+0 1+1 2+0 2+1"},
        {"x*", "", "", ""},
        {"(?=a)", "", "aaa", "0+0 1+0 2+0"},
        {"", "", "abc", "0+0 1+0 2+0"},
        {".*", "", "ab\ncd", "0+2 2+0 3+2"},
        {"\\d*", "", "1a22", "0+1 1+0 2+2"},
        {"foo|", "", "xfoo", "0+0 1+3"},
    };
    for (const Case& c : cases) {
        const QString pattern = QString::fromUtf8(c.pattern);
        const QString subject = QString::fromUtf8(c.subject);
        SCOPED_TRACE(std::string(c.pattern) + " /" + c.flags + " in \"" + c.subject + "\"");
        const QVSearch search = patternSearch(pattern, c.flags);
        ASSERT_TRUE(search.isRegularExpression());
        EXPECT_EQ(describe(rangesOf(search.findAllForString(subject, false))), c.expected);
        EXPECT_EQ(describe(rangesOf(search.findAllForString(subject, true))), c.expected);
        EXPECT_EQ(describe(rangesOf(search.findAllForUTF8Data(subject.toUtf8()))), c.expected);
        // Perl's answer is ours or has one more empty match at the very end.
        const QString atEnd = QStringLiteral("%1+0").arg(subject.size());
        const QString expected = QString::fromUtf8(c.expected);
        const QString withEnd = expected.isEmpty() ? atEnd : expected + u' ' + atEnd;
        std::optional<bool> perlEndsOnceMore;
        if (const auto perl = runPerl(kPerlMatches, {pattern, c.flags, subject})) {
            EXPECT_TRUE(*perl == expected || *perl == withEnd) << "perl's own answer: " << perl->toStdString();
            perlEndsOnceMore = *perl == withEnd;
        }

        // Replacing every match with a plain text gives Perl's s///g.
        QVSearch replacing = search;
        replacing.setReplaceString("<>");
        QString replaced = subject;
        replacing.replaceAllInString(replaced);
        QByteArray replacedBytes = subject.toUtf8();
        replacing.replaceAllInUTF8Data(replacedBytes);
        EXPECT_EQ(QString::fromUtf8(replacedBytes), replaced);
        if (const auto perl = runPerl(kPerlReplace, {pattern, c.flags, subject, "<>"}); perl && perlEndsOnceMore) {
            EXPECT_EQ(*perlEndsOnceMore ? replaced + "<>" : replaced, *perl) << "perl's s///g";
        }
    }
}

TEST(QVSearch, EveryEnumerationEnds) {
    // Patterns that match the empty string at many places, over line breaks of every kind and
    // characters beyond one unit or byte: every enumeration ends, moves forward (a match starts
    // at or after the end of the one before and never repeats), and stays inside the text.
    const char* patterns[] = {"^", "$", "\\b", "(?=a)", "a*?", "|", "^\\s*", "(?<=\\r)", "\\R?"};
    const QString texts[] = {"", "ab\ncd", "ab cd\r\nef\r\r\n", "aaaa", u"é😀 x\r\n😀"_qs};
    for (const char* pattern : patterns) {
        const QVSearch search = QVSearch::withExpressionString(pattern, true);
        for (const QString& text : texts) {
            SCOPED_TRACE(std::string(pattern) + " in " + text.toStdString());
            for (const QList<QVRange>& ranges :
                 {rangesOf(search.findAllForString(text, false)), rangesOf(search.findAllForUTF8Data(text.toUtf8()))}) {
                EXPECT_LE(ranges.size(), 2 * text.toUtf8().size() + 1);
                QVRange last;
                for (const QVRange& r : ranges) {
                    if (!last.isNotFound()) {
                        EXPECT_GE(r.location, last.end());
                        EXPECT_NE(r, last);
                    }
                    last = r;
                }
            }
        }
    }
}

TEST(QVSearch, EnumeratorStaysExhausted) {
    const QVSearch search = QVSearch::withExpressionString("a", true);
    QVSearchEnumerator matches(search, QString("a.a"));
    auto first = matches.nextObject();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->range(), QVRange(0, 1));
    EXPECT_EQ(first->attributedString().string, "a.a");
    ASSERT_TRUE(matches.nextObject());
    EXPECT_FALSE(matches.nextObject());
    EXPECT_FALSE(matches.nextObject());

    QVSearchEnumerator nothing(search, QString());
    EXPECT_FALSE(nothing.nextObject());
    QVSearchEnumerator justRanges(search, QString("xa"));
    justRanges.setReturnJustRanges(true);
    auto bare = justRanges.nextObject();
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->range(), QVRange(1, 1));
    EXPECT_TRUE(bare->attributedString().string.isEmpty());
}

TEST(QVSearch, TemplateExpansion) {
    struct Case {
        const char* name;
        QVSearch search;
        QString matched;
        QString replace;
        QString expected;
    };
    const QVSearch pair = QVSearch::withExpressionString("(\\w+)=(\\w+)", true);
    const QVSearch twelve = QVSearch::withExpressionString("(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)(k)(l)", true);
    const QVSearch either = QVSearch::withExpressionString("(a)|(b)", true);
    const Case cases[] = {
        {"swap", pair, "a=b", "$2=$1", "b=a"},
        {"parenthesised numbers", pair, "a=b", "(2)(1)", "ba"},
        {"brackets stay", pair, "a=b", "[*$1*]$2", "[*a*]b"},
        {"escaped dollar", pair, "a=b", "\\$1", "$1"},
        {"escaped parenthesis", pair, "a=b", "\\(1)", "(1)"},
        {"escaped backslash", pair, "a=b", "\\\\$1", "\\a"},
        {"no control characters", pair, "a=b", "\\n$1\\t", "nat"},
        {"trailing backslash vanishes", pair, "a=b", "$1\\", "a"},
        {"unclosed parenthesis stops the walk", pair, "a=b", "x(1", "x(1"},
        {"unclosed parenthesis keeps the rest as it is", pair, "a=b", "$1(2$2\\$", "a(2$2\\$"},
        {"plain template", pair, "a=b", "plain text", "plain text"},
        {"empty template", pair, "a=b", "", ""},
        {"lone dollar is the whole match", pair, "a=b", "<$>", "<a=b>"},
        {"dollar at the end", pair, "a=b", "x$", "xa=b"},
        {"dollar zero", pair, "a=b", "$0", "a=b"},
        {"empty parentheses", pair, "a=b", "()", "a=b"},
        {"a name reads as zero", pair, "a=b", "(name)", "a=b"},
        {"blanks before the number", pair, "a=b", "( 2)", "b"},
        {"trailing text after the number", pair, "a=b", "(1x)", "a"},
        {"negative number", pair, "a=b", "[(-1)]", "[]"},
        {"capture out of range", pair, "a=b", "[$3]", "[]"},
        {"huge capture number", pair, "a=b", "[$99999999999]", "[]"},
        {"two digits name capture 12", twelve, "abcdefghijkl", "$12", "l"},
        {"two digits beyond the groups", pair, "a=b", "$12", ""},
        {"inserted text is not rescanned", QVSearch::withExpressionString("(.*)", true), "$2(1)", "$1", "$2(1)"},
        {"non-participating group", either, "b", "$1-$2", "-b"},
        {"literal search never expands", literal("a=b", true), "a=b", "$1(2)\\$", "$1(2)\\$"},
        {"match only against the text alone", QVSearch::withExpressionString("(?<=x)(a)", true), "a", "[$1]", "[$1]"},
        {"first match inside the text", QVSearch::withExpressionString("(\\d)", true), "ab3c4", "<$1>", "<3>"},
        {"non-ASCII captures", QVSearch::withExpressionString("(ä+)(ö)", true), u"ääö"_qs, u"$2→$1"_qs, u"ö→ää"_qs},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.search.replacementForString(c.matched, c.replace), c.expected) << c.name;
        QVSearch own = c.search;
        own.setReplaceString(c.replace);
        EXPECT_EQ(own.replacementForString(c.matched), c.expected) << c.name;
    }
    // Without a template the replacement is empty.
    EXPECT_EQ(pair.replacementForString("a=b"), "");
}

TEST(QVSearch, ReplaceAll) {
    struct Case {
        const char* name;
        QVSearch search;
        QString replace;
        QString text;
        QString expected;
        qsizetype count;
    };
    const Case cases[] = {
        {"growing literal", literal("a", true), "bb", "aaa", "bbbbbb", 3},
        {"shrinking pattern", QVSearch::withExpressionString("(\\w)\\w+", true), "$1", "aaa bbb ccc", "a b c", 3},
        {"growing pattern", QVSearch::withExpressionString("(\\w+)@(\\w+)", true), "$2 at $1", "x bob@home y al@work",
         "x home at bob y work at al", 2},
        {"empty template deletes", literal("x", false), "", "aXbxc", "abc", 2},
        {"empty matches insert", QVSearch::withExpressionString("a*", true), "-", "baab", "-b--b", 3},
        {"every line start", QVSearch::withExpressionString("^", true), "> ", "a\nb\r\nc", "> a\n> b\r\n> c", 3},
        {"comment lines", QVSearch::withExpressionString("^#.*", false), "", "#x\ny\n#z", "\ny\n", 2},
        {"no match leaves the text", literal("z", true), "y", "abc", "abc", 0},
        {"replacement containing the search", literal("a", true), "aa", "a.a", "aa.aa", 2},
        {"non-ASCII", literal(u"é"_qs, true), "e", u"café é"_qs, "cafe e", 2},
    };
    for (const Case& c : cases) {
        QVSearch search = c.search;
        search.setReplaceString(c.replace);
        QString text = c.text;
        EXPECT_EQ(search.replaceAllInString(text), c.count) << c.name;
        EXPECT_EQ(text, c.expected) << c.name;
    }
}

TEST(QVSearch, ReplaceRanges) {
    struct Case {
        const char* name;
        QList<QVRange> ranges;
        bool doubleCheck;
        QString expected;
        qsizetype count;
    };
    const QString text = "a-b-a-a";
    const Case cases[] = {
        {"every range", {{0, 1}, {2, 1}, {4, 1}}, false, "XY-XY-XY-a", 3},
        {"double check skips a range that no longer matches", {{0, 1}, {2, 1}, {4, 1}, {6, 1}}, true, "XY-b-XY-XY", 3},
        {"a skipped range does not shift the next", {{2, 1}, {4, 1}}, true, "a-b-XY-a", 1},
        {"empty list", {}, false, text, 0},
        {"stops at a range past the end", {{0, 1}, {10, 1}, {2, 1}}, false, "XY-b-a-a", 1},
        {"stops at a range running over the end", {{0, 1}, {6, 2}}, false, "XY-b-a-a", 1},
        {"a range ending at the end fits", {{6, 1}}, false, "a-b-a-XY", 1},
        {"stops at a range before the previous one", {{4, 1}, {0, 1}}, false, "a-b-XY-a", 1},
        {"stops at overlapping ranges", {{0, 3}, {2, 1}}, false, "XY-a-a", 1},
        {"stops at a not-found range", {{QVRange::NotFound, 0}, {0, 1}}, false, text, 0},
        {"stops at a negative range", {{-2, 1}}, false, text, 0},
        {"empty ranges insert", {{0, 0}, {0, 0}, {7, 0}}, false, "XYXYa-b-a-aXY", 3},
    };
    QVSearch search = literal("a", true);
    search.setReplaceString("XY");
    for (const Case& c : cases) {
        QString target = text;
        EXPECT_EQ(search.replaceRanges(c.ranges, target, c.doubleCheck), c.count) << c.name;
        EXPECT_EQ(target, c.expected) << c.name;
    }
    // Ranges of a pattern search expand their captures from the text at each range.
    QVSearch swap = QVSearch::withExpressionString("(\\d)(\\w)", true);
    swap.setReplaceString("$2$1");
    QString digits = "1a 2bb 3c";
    EXPECT_EQ(swap.replaceRanges({{0, 2}, {2, 2}, {7, 2}}, digits, true), 2);
    EXPECT_EQ(digits, "a1 2bb c3");
}

TEST(QVSearch, UTF8Data) {
    const QByteArray data = QString(u"aé x éé\nzé"_qs).toUtf8();  // é is two bytes
    const QVSearch accents = QVSearch::withExpressionString(u"é+"_qs, true);
    EXPECT_EQ(describe(rangesOf(accents.findAllForUTF8Data(data))), "1+2 6+4 12+2");
    EXPECT_EQ(accents.firstMatchInUTF8Data(data, QVRange(4, 20)), QVRange(6, 4));
    EXPECT_EQ(accents.firstMatchInUTF8Data(data, QVRange(4, 4)), QVRange(6, 2));
    EXPECT_TRUE(accents.firstMatchInUTF8Data(data, QVRange(40, 1)).isNotFound());
    // A literal search does not search bytes.
    EXPECT_TRUE(literal("x", true).findAllForUTF8Data(data).isEmpty());
    EXPECT_TRUE(literal("x", true).firstMatchInUTF8Data(data, QVRange(0, data.size())).isNotFound());

    // Empty matches step over whole UTF-8 sequences, and invalid bytes do not stop the walk.
    const QVSearch empty = QVSearch::withExpressionString("x*", true);
    EXPECT_EQ(describe(rangesOf(empty.findAllForUTF8Data(QString(u"é😀x"_qs).toUtf8()))), "0+0 2+0 6+1");
    EXPECT_EQ(describe(rangesOf(empty.findAllForUTF8Data(QByteArray("\xff\x80\x80x", 4)))), "0+0 3+1");
    EXPECT_EQ(describe(rangesOf(QVSearch::withExpressionString("ab", true).findAllForUTF8Data(QByteArray("\xff\xfe" "ab\xc3", 5)))),
              "2+2");

    QVSearch swap = QVSearch::withExpressionString("(\\w+)=(\\w+)", true);
    swap.setReplaceString(u"$2→$1"_qs);
    QByteArray pairs = QString(u"k1=v1; ké=v2; longkey=v"_qs).toUtf8();
    // "\w" takes the accented letter: "ké" is a word.
    EXPECT_EQ(swap.replaceAllInUTF8Data(pairs), 3);
    EXPECT_EQ(QString::fromUtf8(pairs), u"v1→k1; v2→ké; v→longkey"_qs);
    // Without a match the template comes back unexpanded; without a template, empty.
    EXPECT_EQ(swap.replacementForUTF8Bytes("nothing", 7), QString(u"$2→$1"_qs).toUtf8());
    EXPECT_EQ(QVSearch::withExpressionString("a", true).replacementForUTF8Bytes("a", 1), QByteArray());

    // Deleting with an empty template, as the indexer does, shrinking the data.
    QByteArray html = "<b>bold</b> and <i>it</i>";
    EXPECT_EQ(QVSearch::withExpressionString("<[^>]*>", false).replaceAllInUTF8Data(html), 4);
    EXPECT_EQ(html, "bold and it");
    QByteArray bytes = "0123456789";
    QVSearch digit = QVSearch::withExpressionString("\\d", true);
    digit.setReplaceString("<$0>");
    EXPECT_EQ(digit.replaceRanges({{1, 1}, {3, 1}, {9, 2}}, bytes), 2);
    EXPECT_EQ(bytes, "0<1>2<3>456789");
}

TEST(QVSearch, PatternsTooComplexForTheTextReportAnError) {
    // A match that reaches the engine's limits ends the search with an error: the matches before
    // it are kept, none after it is silently missed, and replace-all changes nothing.
    const QString nearMiss = QString(40, QLatin1Char('a')) + "b";
    struct Case {
        const char* name;
        QString pattern;
        QString text;
        QList<QVRange> before;  // found before the pattern gave up
    };
    const Case cases[] = {
        {"nested repeats on a line", "x|^(a+)+$", "x\n" + nearMiss + "\nx", {{0, 1}}},
        {"retry after an empty match", "|(a+)+$", nearMiss, {{0, 0}}},
    };
    TestDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QVSearch search = QVSearch::withExpressionString(c.pattern, true);
        search.setReplaceString("y");
        QVError error;
        EXPECT_EQ(describe(rangesOf(search.findAllForString(c.text, false, &error))), describe(c.before));
        EXPECT_TRUE(QVRegex::isTooComplex(error));
        error = {};
        EXPECT_EQ(describe(rangesOf(search.findAllForUTF8Data(c.text.toUtf8(), false, &error))), describe(c.before));
        EXPECT_TRUE(QVRegex::isTooComplex(error));
        error = {};
        const QString path = dir.write("file.txt", c.text.toUtf8());
        QVStringEncoding encoding = 0;
        EXPECT_EQ(search.findAllForPath(path, &encoding, false, &error).size(), c.before.size());
        EXPECT_TRUE(QVRegex::isTooComplex(error));
        error = {};
        QString text = c.text;
        EXPECT_EQ(search.replaceAllInString(text, &error), 0);
        EXPECT_EQ(text, c.text);
        EXPECT_TRUE(QVRegex::isTooComplex(error));
        error = {};
        QByteArray data = c.text.toUtf8();
        EXPECT_EQ(search.replaceAllInUTF8Data(data, &error), 0);
        EXPECT_EQ(data, c.text.toUtf8());
        EXPECT_TRUE(QVRegex::isTooComplex(error));
    }
    // A first match inside a range, and a pattern the text does not defeat, which leaves the
    // error alone.
    QVError error;
    EXPECT_TRUE(QVSearch::withExpressionString("x|^(a+)+$", true).firstMatchInString(
        "x\n" + nearMiss, QVRange(1, nearMiss.size() + 1), false, &error).isNotFound());
    EXPECT_TRUE(QVRegex::isTooComplex(error));
    error = {};
    EXPECT_EQ(QVSearch::withExpressionString("x|^(a+)+$", true).findAllForString("x\naaa\n", false, &error).size(), 2);
    EXPECT_TRUE(error.isNull());
}

TEST(QVSearch, PatternsReadClassesByUnicodeProperties) {
    // What rg finds in real documentation (no-break spaces, accented words), over the text and
    // over its UTF-8 bytes alike; the platform's patterns outside the search keep ASCII classes.
    struct Case {
        const char* pattern;
        const char16_t* text;
        QVRange expected;  // in the text, UTF-16 units
    };
    const Case cases[] = {
        {"function\\s+x", u"a function\u00A0x()", QVRange(2, 10)},
        {"^\\w+$", u"caf\u00E9", QVRange(0, 4)},
        {"\\d+", u"n\u0663\u0664", QVRange(1, 2)},
        {"\\bcaf\\b", u"caf\u00E9 caf", QVRange(5, 3)},
        {"[[:alpha:]]+", u"1\u00FCber", QVRange(1, 4)},
    };
    for (const Case& c : cases) {
        const QString text = QString::fromUtf16(c.text);
        for (bool caseSensitive : {true, false}) {
            const QVSearch search = QVSearch::withExpressionString(QString::fromLatin1(c.pattern), caseSensitive);
            EXPECT_EQ(search.firstMatchInString(text), c.expected) << c.pattern;
            EXPECT_EQ(search.findAllForUTF8Data(text.toUtf8()).size(), 1) << c.pattern;
        }
        QVSearch set;
        set.setSearchExpression(QString::fromLatin1(c.pattern));
        EXPECT_EQ(set.firstMatchInString(text), c.expected) << c.pattern;
        const auto ascii = QVRegex::create(QString::fromLatin1(c.pattern), QVSearch::CaseSensitivePatternOptions & ~QVRegex::UnicodeClasses);
        const auto match = ascii->copyMatchForString(text);
        EXPECT_TRUE(!match || match->rangeForCapture(0) != c.expected) << c.pattern;
    }
}
