// Tests of the regular-expression component: captures, ranges, options, both subject widths, threads.
#include "platform/QVRegex.h"

#include <gtest/gtest.h>

#include <QStringList>

#include <atomic>
#include <thread>
#include <vector>

namespace {

constexpr qint64 NF = QVRange::NotFound;
const QVRange Whole(-1, -1);  // marker in the tables: match the whole subject without a range

std::vector<QVRange> rangesOf(const QVRegexMatch& m) {
    std::vector<QVRange> out;
    for (int i = 0; i < m.count(); ++i)
        out.push_back(m.rangeForCapture(i));
    return out;
}

std::string show(const std::vector<QVRange>& ranges) {
    std::string s;
    for (const QVRange& r : ranges)
        s += r.isNotFound() ? std::string("{NF}")
                            : "{" + std::to_string(r.location) + "," + std::to_string(r.length) + "}";
    return s.empty() ? "no match" : s;
}

struct StringCase {
    const char* name;
    QString pattern;
    quint32 options;
    QString subject;
    QVRange range;
    std::vector<QVRange> expected;  // empty: no match
};

}  // namespace

TEST(QVRegex, MatchesStrings) {
    const QChar lone(char16_t(0xD800));
    const QString emoji = QString::fromUtf8("\xF0\x9F\x98\x80");  // U+1F600, two UTF-16 units
    const QString clef = QString::fromUtf8("\xF0\x9D\x84\x9E");   // U+1D11E
    const std::vector<StringCase> cases = {
        {"captures", "(\\w+)=(\\w+)", 0, "x a=b", Whole, {{2, 3}, {2, 1}, {4, 1}}},
        {"optional group not taking part", "a(b)?(c)", 0, "zac", Whole, {{1, 2}, {NF, 0}, {2, 1}}},
        {"alternative not taken", "(a)|(b)", 0, "b", Whole, {{0, 1}, {NF, 0}, {0, 1}}},
        {"non-capturing group", "(?:ab)+(c)", 0, "xababc", Whole, {{1, 5}, {5, 1}}},
        {"no match", "q", 0, "abc", Whole, {}},
        {"empty group matched", "a()b", 0, "ab", Whole, {{0, 2}, {1, 0}}},
        {"first match wins", "b+", 0, "abbcb", Whole, {{1, 2}}},
        // A ranged match sees only its range.
        {"anchors at range ends", "^abc$", 0, "xxabcyy", {2, 3}, {{2, 3}}},
        {"absolute anchors at range ends", "\\Aabc\\z", 0, "xxabcyy", {2, 3}, {{2, 3}}},
        {"anchor not inside range", "^abc", 0, "xxabc", {1, 4}, {}},
        {"lookbehind blind before range", "(?<=x)abc", 0, "xabc", {1, 3}, {}},
        {"lookbehind in whole string", "(?<=x)abc", 0, "xabc", Whole, {{1, 3}}},
        {"word boundary at range start", "\\babc", 0, "xabc", {1, 3}, {{1, 3}}},
        {"match beyond range end", "d", 0, "abcd", {0, 3}, {}},
        {"dollar at range end", "c$", 0, "abcd", {0, 3}, {{2, 1}}},
        {"lookahead blind after range", "c(?=d)", 0, "abcd", {0, 3}, {}},
        {"range cut at string end", "d", 0, "abcd", {2, 100}, {{3, 1}}},
        {"range starting past end", "", 0, "abc", {4, 0}, {}},
        {"range with negative location", "a", 0, "abc", {-1, 2}, {}},
        {"not-found range", "a", 0, "abc", QVRange(), {}},
        // "$" and line breaks.
        {"dollar before final LF", "abc$", 0, "abc\n", Whole, {{0, 3}}},
        {"dollar before final CRLF", "abc$", 0, "abc\r\n", Whole, {{0, 3}}},
        {"dollar not before inner LF", "abc$", 0, "abc\nd", Whole, {}},
        {"caret not after inner LF", "^b", 0, "a\nb", Whole, {}},
        {"dollar before final LF of range", "ab$", 0, "xab\nyz", {1, 3}, {{1, 2}}},
        // Bit 2 anchors at every line: after and before LF, CR and CR LF, and at the range's ends.
        {"multi-line caret after LF", "^b", QVRegex::MultiLine, "a\nb", Whole, {{2, 1}}},
        {"multi-line caret after CR", "^b", QVRegex::MultiLine, "a\rb", Whole, {{2, 1}}},
        {"multi-line caret after CRLF", "^b", QVRegex::MultiLine, "a\r\nb", Whole, {{3, 1}}},
        {"multi-line dollar before inner LF", "abc$", QVRegex::MultiLine, "abc\nd", Whole, {{0, 3}}},
        {"multi-line dollar before CRLF", "\\w$", QVRegex::MultiLine, "ab\r\ncd", Whole, {{1, 1}}},
        {"multi-line caret case-insensitive", "^B", QVRegex::MultiLine | QVRegex::CaseInsensitive, "a\nb",
         Whole, {{2, 1}}},
        {"multi-line caret at range start", "^c", QVRegex::MultiLine, "abcd", {2, 2}, {{2, 1}}},
        {"multi-line text anchors stay at the ends", "\\Ab", QVRegex::MultiLine, "a\nb", Whole, {}},
        {"no multi-line without bit 2", "^b", 0x801, "a\nb", Whole, {}},
        {"dot stops at line break", "a.b", 0, "a\nb", Whole, {}},
        {"dot-all bit", "a.b", QVRegex::DotMatchesAll, "a\nb", Whole, {{0, 3}}},
        {"dot stops at CR", "a.*", 0, "ab\rc", Whole, {{0, 2}}},
        // Empty pattern, subject and range.
        {"empty pattern, empty subject", "", 0, "", Whole, {{0, 0}}},
        {"empty pattern at range", "", 0, "abc", {3, 0}, {{3, 0}}},
        {"star on empty subject", "a*", 0, "", Whole, {{0, 0}}},
        {"letter on empty subject", "a", 0, "", Whole, {}},
        {"letter in empty range", "a", 0, "abc", {0, 0}, {}},
        {"empty range anchors", "^$", 0, "abc", {1, 0}, {{1, 0}}},
        // Case.
        {"case-sensitive word", "abc", 0, "xABC", Whole, {}},
        {"case-insensitive bit", "abc", 3, "xABC", Whole, {{1, 3}}},
        {"case-insensitive 0x801", "\\.ds_store$", 0x801, "X.DS_Store", Whole, {{1, 9}}},
        {"case folding beyond ASCII", QString::fromUtf8("\xC3\x84rger"), 3,
         QString::fromUtf8("\xC3\xA4RGER"), Whole, {{0, 5}}},
        {"Greek sigma folds", QString::fromUtf8("\xCE\xA3"), 3, QString::fromUtf8("a\xCF\x83"), Whole,
         {{1, 1}}},
        {"inline case-insensitive", "(?i)abc", 0, "ABC", Whole, {{0, 3}}},
        {"word class is ASCII", "\\w+", 0, QString::fromUtf8("\xC3\xA9t\xC3\xA9"), Whole, {{1, 1}}},
        // Characters outside the BMP count two UTF-16 units.
        {"offset after non-BMP", "b", 0, emoji + "b", Whole, {{2, 1}}},
        {"dot takes a whole pair", ".", 0, emoji, Whole, {{0, 2}}},
        {"capture of non-BMP", "(.)x", 0, "a" + clef + "x", Whole, {{1, 3}, {1, 2}}},
        {"non-BMP in pattern", emoji + "+", 0, "x" + emoji + emoji, Whole, {{1, 4}}},
        {"range inside a pair", "a", 0, emoji + "ab", {1, 3}, {{2, 1}}},
        // Lone surrogates neither match nor stop the search.
        {"text after lone surrogate", "abc", 0, QString(lone) + "abc", Whole, {{1, 3}}},
        {"dot skips lone surrogate", ".", 0, QString(lone) + "a", Whole, {{1, 1}}},
        {"lone surrogate between words", "b\\w", 0, "ab" + QString(lone) + "bc", Whole, {{3, 2}}},
    };
    for (const StringCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto regex = QVRegex::create(c.pattern, c.options);
        ASSERT_NE(regex, nullptr);
        const std::optional<QVRegexMatch> m =
            c.range == Whole ? regex->copyMatchForString(c.subject)
                             : regex->copyMatchForString(c.subject, c.range, QVRegex::MatchDefault);
        const std::vector<QVRange> got = m ? rangesOf(*m) : std::vector<QVRange>();
        EXPECT_EQ(show(got), show(c.expected));
        // The match-option word folding passes means the same thing.
        if (c.range != Whole) {
            auto m0 = regex->copyMatchForString(c.subject, c.range, QVRegex::MatchNone);
            EXPECT_EQ(show(m0 ? rangesOf(*m0) : std::vector<QVRange>()), show(c.expected));
        }
        // Raw units give the same answer as the string.
        auto mu = regex->copyMatchForUTF16(reinterpret_cast<const char16_t*>(c.subject.utf16()),
                                           c.subject.size(),
                                           c.range == Whole ? QVRange(0, c.subject.size()) : c.range);
        EXPECT_EQ(show(mu ? rangesOf(*mu) : std::vector<QVRange>()), show(c.expected));
    }
}

namespace {
struct DataCase {
    const char* name;
    QString pattern;
    quint32 options;
    QByteArray data;
    QVRange range;
    std::vector<QVRange> expected;
};
}  // namespace

TEST(QVRegex, MatchesUTF8Data) {
    const std::vector<DataCase> cases = {
        {"after invalid bytes", "abc", 0, QByteArray("\xFF\xFE" "abc\xC3", 6), {0, 6}, {{2, 3}}},
        {"dot skips invalid byte", ".", 0, QByteArray("\xFF" "a"), {0, 2}, {{1, 1}}},
        {"truncated sequence breaks a word", "\\w+", 0, QByteArray("ab\xC3" "cd"), {0, 5}, {{0, 2}}},
        {"word after truncated sequence", "\\w+", 0, QByteArray("ab\xC3" "cd"), {2, 3}, {{3, 2}}},
        {"multibyte offsets in bytes", QString::fromUtf8("\xC3\xA9+"), 2,
         QByteArray("x\xC3\xA9\xC3\xA9y"), {0, 6}, {{1, 4}}},
        {"non-BMP is four bytes", "(.)z", 0, QByteArray("\xF0\x9F\x98\x80z"), {0, 5}, {{0, 5}, {0, 4}}},
        {"multi-line anchors in bytes", "^cd$", QVRegex::MultiLine, QByteArray("ab\ncd\r\nef"), {0, 9}, {{3, 2}}},
        {"anchors at byte range", "^cd$", 0, QByteArray("ab\ncd\nef"), {3, 2}, {{3, 2}}},
        {"dollar before final LF of byte range", "^cd$", 0, QByteArray("ab\ncd\nef"), {3, 3}, {{3, 2}}},
        {"lookbehind blind before byte range", "(?<=b)c", 0, QByteArray("abc"), {2, 1}, {}},
        {"byte range end", "ef", 0, QByteArray("abcdef"), {0, 5}, {}},
        {"range inside a sequence", "a", 0, QByteArray("\xC3\xA9" "a"), {1, 2}, {{2, 1}}},
        {"case-insensitive bytes", QString::fromUtf8("\xC3\x89" "COLE"), 3,
         QByteArray("l'\xC3\xA9" "cole"), {0, 8}, {{2, 6}}},
        {"optional group in bytes", "a(x)?b", 0, QByteArray("ab"), {0, 2}, {{0, 2}, {NF, 0}}},
        {"empty data", "x*", 0, QByteArray(), {0, 0}, {{0, 0}}},
        {"range past data", "a", 0, QByteArray("a"), {2, 0}, {}},
        {"NUL bytes are data", "b", 0, QByteArray("a\0b", 3), {0, 3}, {{2, 1}}},
        {"non-space takes non-ASCII", "key (\\S+)", 0, QByteArray("key caf\xC3\xA9 x"), {0, 12},
         {{0, 9}, {4, 5}}},
        {"non-digit takes non-ASCII", "(\\D+)", 0, QByteArray("\xC3\xA9t\xC3\xA9" "1"), {0, 6},
         {{0, 5}, {0, 5}}},
        {"non-word takes non-ASCII", "f(\\W+)x", 0, QByteArray("caf\xC3\xA9 x"), {0, 7},
         {{2, 5}, {3, 3}}},
        {"escaped backslash, then a letter", "a\\\\S", 0, QByteArray("aS a\\S"), {0, 6}, {{3, 3}}},
        {"quoted shorthand", "\\Q\\S\\E+", 0, QByteArray("S \\SS"), {0, 5}, {{2, 3}}},
        {"shorthands inside classes", "[]\\S][[:digit:]\\W]", 0, QByteArray("\xC3\xA9\xC3\xA9"), {0, 4},
         {{0, 4}}},
    };
    for (const DataCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto regex = QVRegex::create(c.pattern, c.options);
        ASSERT_NE(regex, nullptr);
        auto m = regex->copyMatchForUTF8Data(c.data, c.range);
        EXPECT_EQ(show(m ? rangesOf(*m) : std::vector<QVRange>()), show(c.expected));
    }
    auto any = QVRegex::create("a*");
    ASSERT_NE(any, nullptr);
    auto m = any->copyMatchForUTF8Data(nullptr, 0, QVRange(0, 0));
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(m->rangeForCapture(0), QVRange(0, 0));
    EXPECT_FALSE(any->copyMatchForUTF8Data(nullptr, 0, QVRange(1, 0)).has_value());
}

TEST(QVRegex, MatchesFromAStartLocation) {
    // Matching from a start location inside the range: the text of the range before it stays in
    // view of anchors, word boundaries and lookbehind; the range's own ends still bound the
    // match. The same cases run over UTF-16 and over the text's UTF-8 bytes (ASCII subjects).
    struct Case {
        const char* name;
        const char* pattern;
        quint32 options;
        const char* subject;
        QVRange range;
        qint64 start;
        quint32 matchOptions;
        std::vector<QVRange> expected;
    };
    const quint32 plain = QVRegex::MatchDefault;
    const quint32 retry = QVRegex::MatchNonEmptyAtStart;
    const Case cases[] = {
        {"caret is not the start", "^foo", 0, "foofoo", {0, 6}, 3, plain, {}},
        {"caret at a line start after the start", "^foo", QVRegex::MultiLine, "foofoo\nfoo", {0, 10}, 1, plain, {{7, 3}}},
        {"caret at the start after a line break", "^foo", QVRegex::MultiLine, "foo\nfoo", {0, 7}, 4, plain, {{4, 3}}},
        {"word boundary sees the letter before", "\\bb", 0, "ab b", {0, 4}, 1, plain, {{3, 1}}},
        {"lookbehind sees the text before", "(?<=a)b", 0, "ab", {0, 2}, 1, plain, {{1, 1}}},
        {"lookbehind stops at the range", "(?<=a)b", 0, "ab", {1, 1}, 1, plain, {}},
        {"captures keep string coordinates", "(b)(c)", 0, "xabc", {1, 3}, 2, plain, {{2, 2}, {2, 1}, {3, 1}}},
        {"match ends inside the range", "cd", 0, "abcd", {0, 3}, 1, plain, {}},
        {"start at the range end", "$", 0, "ab", {0, 2}, 2, plain, {{2, 0}}},
        {"start before the range", "a", 0, "aab", {1, 2}, 0, plain, {}},
        {"start after the range", "b", 0, "aab", {0, 2}, 3, plain, {}},
        {"retry takes the longer match at the start", "a*", 0, "aab", {0, 3}, 0, retry, {{0, 2}}},
        {"retry only at the start", "a*", 0, "baa", {0, 3}, 0, retry, {}},
        {"retry refuses the empty match", "x*", 0, "abc", {0, 3}, 1, retry, {}},
        {"retry of a lazy pattern", "a*?", 0, "aa", {0, 2}, 1, retry, {{1, 1}}},
        {"retry sees the text before", "(?<=a)b+", 0, "abb", {0, 3}, 1, retry, {{1, 2}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto regex = QVRegex::create(c.pattern, c.options);
        ASSERT_NE(regex, nullptr);
        const QString subject = QString::fromUtf8(c.subject);
        auto m = regex->copyMatchForString(subject, c.range, c.matchOptions, c.start);
        EXPECT_EQ(show(m ? rangesOf(*m) : std::vector<QVRange>()), show(c.expected));
        auto mu = regex->copyMatchForUTF16(reinterpret_cast<const char16_t*>(subject.utf16()), subject.size(),
                                           c.range, c.matchOptions, c.start);
        EXPECT_EQ(show(mu ? rangesOf(*mu) : std::vector<QVRange>()), show(c.expected));
        auto mb = regex->copyMatchForUTF8Data(subject.toUtf8(), c.range, c.matchOptions, c.start);
        EXPECT_EQ(show(mb ? rangesOf(*mb) : std::vector<QVRange>()), show(c.expected));
    }

    // Starts that are not on a character boundary: inside a surrogate pair or a UTF-8 sequence
    // the search goes on at the next whole character and never reports half of one.
    auto dot = QVRegex::create(".");
    const QString pair = QString::fromUtf8("\xF0\x9F\x98\x80" "a");
    auto m = dot->copyMatchForString(pair, QVRange(0, pair.size()), QVRegex::MatchDefault, 1);
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(m->rangeForCapture(0), QVRange(2, 1));
    const QByteArray bytes("\xC3\xA9" "a");
    auto mb = dot->copyMatchForUTF8Data(bytes, QVRange(0, 3), QVRegex::MatchDefault, 1);
    ASSERT_TRUE(mb.has_value());
    EXPECT_EQ(mb->rangeForCapture(0), QVRange(2, 1));
}

TEST(QVRegex, RefusesInvalidPatterns) {
    const QString loneSurrogate = QString(QChar(char16_t(0xDC00)));
    for (const QString& p : QStringList{"(", "a)", "[a", "*a", "a{2,1}", "(?<n>a)(?<n>b)", "\\",
                                        "(?<=a+)b", "\\k<missing>", "(?P<1x>a)", loneSurrogate}) {
        SCOPED_TRACE(p.toStdString());
        EXPECT_FALSE(QVRegex::validPattern(p));
        EXPECT_EQ(QVRegex::create(p), nullptr);
        EXPECT_EQ(QVRegex::create(p, 3), nullptr);
    }
    for (const QString& p : QStringList{"", "a", "(?:a|b)+", "[a-zA-Z][\\w\\d\\-_>]*\\s*\\($",
                                        "\\[(([^\\]]*)|(\\[[^\\]]*\\]))*\\]+"}) {
        SCOPED_TRACE(p.toStdString());
        EXPECT_TRUE(QVRegex::validPattern(p));
        EXPECT_NE(QVRegex::create(p), nullptr);
    }
}

TEST(QVRegex, KeepsPatternOptionsAndCaptureCount) {
    auto regex = QVRegex::create("(a)(?:b)(?<name>c)?", 0x801);
    ASSERT_NE(regex, nullptr);
    EXPECT_EQ(regex->pattern(), "(a)(?:b)(?<name>c)?");
    EXPECT_EQ(regex->options(), 0x801u);
    EXPECT_EQ(regex->captureCount(), 3);
    EXPECT_EQ(QVRegex::create("x")->options(), QVRegex::DefaultOptions);
    EXPECT_EQ(QVRegex::DefaultOptions, 0u);

    auto m = regex->copyMatchForString("AB");
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(m->count(), 3);  // every group of the pattern, set or not
    EXPECT_EQ(m->rangeForCapture(0), QVRange(0, 2));
    EXPECT_TRUE(m->rangeForCapture(2).isNotFound());
    EXPECT_TRUE(m->rangeForCapture(3).isNotFound());   // beyond the pattern's groups
    EXPECT_TRUE(m->rangeForCapture(-1).isNotFound());
    EXPECT_TRUE(QVRegexMatch().rangeForCapture(0).isNotFound());
}

TEST(QVRegex, BoundsEveryMatch) {
    // Hostile subjects over both widths: each answers its result, and a runaway pattern answers
    // the too-complex error instead of a silent "no match". What each costs is bench/hostile's.
    struct Case {
        const char* name;
        QString pattern;
        QString subject;
        quint32 matchOptions;
        std::vector<QVRange> expected;  // empty: no match
        bool tooComplex;
    };
    const quint32 plain = QVRegex::MatchDefault;
    const quint32 retry = QVRegex::MatchNonEmptyAtStart;
    const QString unclosedHtml = QString("<!--x").repeated(32 * 1024) + ">";
    const QString unclosedC = QString("/*x").repeated(48 * 1024) + "/";
    const QString as = QString(160, QLatin1Char('a')) + "b";
    const QString line = QString(200000, QLatin1Char('a')) + "c";
    const Case cases[] = {
        {"unclosed comments", "<!--[\\s\\S]*?-->", unclosedHtml, plain, {}, false},
        {"unclosed block comments", "/\\*[\\s\\S]*?\\*/", unclosedC, plain, {}, false},
        {"non-space run over a long text", "x(\\S+)$", "x" + QString(300000, QChar(0xE9)), plain,
         {{0, 300001}, {1, 300000}}, false},
        {"nested repeats on a near miss", "^(a+)+$", as, plain, {}, true},
        {"retry after an empty match", "|(a+)+$", as, retry, {}, true},
        // A group repeated over a long line needs far more than a default JIT stack.
        {"long repeated group", "(a|b)*c", line, plain, {{0, line.size()}, {line.size() - 2, 1}}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto regex = QVRegex::create(c.pattern);
        ASSERT_NE(regex, nullptr);
        const QByteArray bytes = c.subject.toUtf8();
        // Byte offsets equal unit offsets only for ASCII subjects; the others are checked in units.
        const bool ascii = bytes.size() == c.subject.size();
        for (int width : {16, 8}) {
            SCOPED_TRACE(width);
            QVError error;
            const auto m = width == 16
                               ? regex->copyMatchForString(c.subject, QVRange(0, c.subject.size()), c.matchOptions, 0,
                                                           &error)
                               : regex->copyMatchForUTF8Data(bytes, QVRange(0, bytes.size()), c.matchOptions, 0, &error);
            EXPECT_EQ(QVRegex::isTooComplex(error), c.tooComplex);
            if (width == 16 || ascii)
                EXPECT_EQ(show(m ? rangesOf(*m) : std::vector<QVRange>()), show(c.expected));
            else
                EXPECT_EQ(m.has_value(), !c.expected.empty());
        }
    }
}

TEST(QVRegex, OnePatternManyThreads) {
    // A text with known matches among non-ASCII filler; every thread walks all matches with both
    // widths, repeatedly, and checks every one. The byte code is compiled by whichever thread
    // comes first.
    QString text;
    std::vector<std::pair<qint64, QString>> expected;  // UTF-16 location, user name
    for (int i = 0; i < 400; ++i) {
        text += QString::fromUtf8("caf\xC3\xA9 \xF0\x9F\x98\x80 filler ") + QString::number(i % 7) + " ";
        if (i % 3 == 0) {
            const QString user = "user" + QString::number(i);
            expected.emplace_back(text.size(), user);
            text += user + "@host" + QString::number(i) + ".com\n";
        }
    }
    const QByteArray bytes = text.toUtf8();
    auto regex = QVRegex::create("(\\w+)@(\\w+)\\.com(?=\\n)|(nowhere)");
    ASSERT_NE(regex, nullptr);

    std::atomic<int> failures{0};
    std::atomic<int> checked{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int round = 0; round < 20; ++round) {
                // Strings: one ranged match per line.
                size_t k = 0;
                qint64 pos = 0;
                while (true) {
                    const qint64 eol = text.indexOf(QLatin1Char('\n'), pos);
                    const qint64 end = eol < 0 ? text.size() : eol + 1;
                    if (auto m = regex->copyMatchForString(text, QVRange(pos, end - pos))) {
                        const QVRange user = m->rangeForCapture(1);
                        if (k >= expected.size() || user.location != expected[k].first ||
                            text.mid(user.location, user.length) != expected[k].second ||
                            !m->rangeForCapture(3).isNotFound())
                            ++failures;
                        ++k;
                    }
                    if (eol < 0)
                        break;
                    pos = end;
                }
                if (k != expected.size())
                    ++failures;
                // Bytes: from each match's end, as the indexer scans.
                k = 0;
                qint64 at = 0;
                while (auto m = regex->copyMatchForUTF8Data(bytes, QVRange(at, bytes.size() - at))) {
                    const QVRange user = m->rangeForCapture(1);
                    if (k >= expected.size() ||
                        bytes.mid(user.location, user.length) != expected[k].second.toUtf8())
                        ++failures;
                    ++k;
                    at = m->rangeForCapture(0).end();
                }
                if (k != expected.size())
                    ++failures;
                checked += int(k);
            }
        });
    }
    for (std::thread& th : threads)
        th.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(checked.load(), int(8 * 20 * expected.size()));
}
