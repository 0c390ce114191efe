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
        {"captures", "(\\w+)=(\\w+)", 2, "x a=b", Whole, {{2, 3}, {2, 1}, {4, 1}}},
        {"optional group not taking part", "a(b)?(c)", 2, "zac", Whole, {{1, 2}, {NF, 0}, {2, 1}}},
        {"alternative not taken", "(a)|(b)", 2, "b", Whole, {{0, 1}, {NF, 0}, {0, 1}}},
        {"non-capturing group", "(?:ab)+(c)", 2, "xababc", Whole, {{1, 5}, {5, 1}}},
        {"no match", "q", 2, "abc", Whole, {}},
        {"empty group matched", "a()b", 2, "ab", Whole, {{0, 2}, {1, 0}}},
        {"first match wins", "b+", 2, "abbcb", Whole, {{1, 2}}},
        // A ranged match sees only its range.
        {"anchors at range ends", "^abc$", 2, "xxabcyy", {2, 3}, {{2, 3}}},
        {"absolute anchors at range ends", "\\Aabc\\z", 2, "xxabcyy", {2, 3}, {{2, 3}}},
        {"anchor not inside range", "^abc", 2, "xxabc", {1, 4}, {}},
        {"lookbehind blind before range", "(?<=x)abc", 2, "xabc", {1, 3}, {}},
        {"lookbehind in whole string", "(?<=x)abc", 2, "xabc", Whole, {{1, 3}}},
        {"word boundary at range start", "\\babc", 2, "xabc", {1, 3}, {{1, 3}}},
        {"match beyond range end", "d", 2, "abcd", {0, 3}, {}},
        {"dollar at range end", "c$", 2, "abcd", {0, 3}, {{2, 1}}},
        {"lookahead blind after range", "c(?=d)", 2, "abcd", {0, 3}, {}},
        {"range cut at string end", "d", 2, "abcd", {2, 100}, {{3, 1}}},
        {"range starting past end", "", 2, "abc", {4, 0}, {}},
        {"range with negative location", "a", 2, "abc", {-1, 2}, {}},
        {"not-found range", "a", 2, "abc", QVRange(), {}},
        // "$" and line breaks.
        {"dollar before final LF", "abc$", 2, "abc\n", Whole, {{0, 3}}},
        {"dollar before final CRLF", "abc$", 2, "abc\r\n", Whole, {{0, 3}}},
        {"dollar not before inner LF", "abc$", 2, "abc\nd", Whole, {}},
        {"caret not after inner LF", "^b", 2, "a\nb", Whole, {}},
        {"dollar before final LF of range", "ab$", 2, "xab\nyz", {1, 3}, {{1, 2}}},
        {"dot stops at line break", "a.b", 2, "a\nb", Whole, {}},
        {"dot-all bit", "a.b", QVRegex::DotMatchesAll | 2, "a\nb", Whole, {{0, 3}}},
        {"dot stops at CR", "a.*", 2, "ab\rc", Whole, {{0, 2}}},
        // Empty pattern, subject and range.
        {"empty pattern, empty subject", "", 2, "", Whole, {{0, 0}}},
        {"empty pattern at range", "", 2, "abc", {3, 0}, {{3, 0}}},
        {"star on empty subject", "a*", 2, "", Whole, {{0, 0}}},
        {"letter on empty subject", "a", 2, "", Whole, {}},
        {"letter in empty range", "a", 2, "abc", {0, 0}, {}},
        {"empty range anchors", "^$", 2, "abc", {1, 0}, {{1, 0}}},
        // Case.
        {"case-sensitive word", "abc", 2, "xABC", Whole, {}},
        {"case-insensitive bit", "abc", 3, "xABC", Whole, {{1, 3}}},
        {"case-insensitive 0x801", "\\.ds_store$", 0x801, "X.DS_Store", Whole, {{1, 9}}},
        {"case folding beyond ASCII", QString::fromUtf8("\xC3\x84rger"), 3,
         QString::fromUtf8("\xC3\xA4RGER"), Whole, {{0, 5}}},
        {"Greek sigma folds", QString::fromUtf8("\xCE\xA3"), 3, QString::fromUtf8("a\xCF\x83"), Whole,
         {{1, 1}}},
        {"inline case-insensitive", "(?i)abc", 2, "ABC", Whole, {{0, 3}}},
        {"word class is ASCII", "\\w+", 2, QString::fromUtf8("\xC3\xA9t\xC3\xA9"), Whole, {{1, 1}}},
        // Characters outside the BMP count two UTF-16 units.
        {"offset after non-BMP", "b", 2, emoji + "b", Whole, {{2, 1}}},
        {"dot takes a whole pair", ".", 2, emoji, Whole, {{0, 2}}},
        {"capture of non-BMP", "(.)x", 2, "a" + clef + "x", Whole, {{1, 3}, {1, 2}}},
        {"non-BMP in pattern", emoji + "+", 2, "x" + emoji + emoji, Whole, {{1, 4}}},
        {"range inside a pair", "a", 2, emoji + "ab", {1, 3}, {{2, 1}}},
        // Lone surrogates neither match nor stop the search.
        {"text after lone surrogate", "abc", 2, QString(lone) + "abc", Whole, {{1, 3}}},
        {"dot skips lone surrogate", ".", 2, QString(lone) + "a", Whole, {{1, 1}}},
        {"lone surrogate between words", "b\\w", 2, "ab" + QString(lone) + "bc", Whole, {{3, 2}}},
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
        {"after invalid bytes", "abc", 2, QByteArray("\xFF\xFE" "abc\xC3", 6), {0, 6}, {{2, 3}}},
        {"dot skips invalid byte", ".", 2, QByteArray("\xFF" "a"), {0, 2}, {{1, 1}}},
        {"truncated sequence breaks a word", "\\w+", 2, QByteArray("ab\xC3" "cd"), {0, 5}, {{0, 2}}},
        {"word after truncated sequence", "\\w+", 2, QByteArray("ab\xC3" "cd"), {2, 3}, {{3, 2}}},
        {"multibyte offsets in bytes", QString::fromUtf8("\xC3\xA9+"), 2,
         QByteArray("x\xC3\xA9\xC3\xA9y"), {0, 6}, {{1, 4}}},
        {"non-BMP is four bytes", "(.)z", 2, QByteArray("\xF0\x9F\x98\x80z"), {0, 5}, {{0, 5}, {0, 4}}},
        {"anchors at byte range", "^cd$", 2, QByteArray("ab\ncd\nef"), {3, 2}, {{3, 2}}},
        {"dollar before final LF of byte range", "^cd$", 2, QByteArray("ab\ncd\nef"), {3, 3}, {{3, 2}}},
        {"lookbehind blind before byte range", "(?<=b)c", 2, QByteArray("abc"), {2, 1}, {}},
        {"byte range end", "ef", 2, QByteArray("abcdef"), {0, 5}, {}},
        {"range inside a sequence", "a", 2, QByteArray("\xC3\xA9" "a"), {1, 2}, {{2, 1}}},
        {"case-insensitive bytes", QString::fromUtf8("\xC3\x89" "COLE"), 3,
         QByteArray("l'\xC3\xA9" "cole"), {0, 8}, {{2, 6}}},
        {"optional group in bytes", "a(x)?b", 2, QByteArray("ab"), {0, 2}, {{0, 2}, {NF, 0}}},
        {"empty data", "x*", 2, QByteArray(), {0, 0}, {{0, 0}}},
        {"range past data", "a", 2, QByteArray("a"), {2, 0}, {}},
        {"NUL bytes are data", "b", 2, QByteArray("a\0b", 3), {0, 3}, {{2, 1}}},
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

    auto m = regex->copyMatchForString("AB");
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(m->count(), 3);  // every group of the pattern, set or not
    EXPECT_EQ(m->rangeForCapture(0), QVRange(0, 2));
    EXPECT_TRUE(m->rangeForCapture(2).isNotFound());
    EXPECT_TRUE(m->rangeForCapture(3).isNotFound());   // beyond the pattern's groups
    EXPECT_TRUE(m->rangeForCapture(-1).isNotFound());
    EXPECT_TRUE(QVRegexMatch().rangeForCapture(0).isNotFound());
}

TEST(QVRegex, SurvivesRunawayPatterns) {
    // Nested quantifiers on a near miss hit the engine's limits: the answer is "no match".
    auto nested = QVRegex::create("^(a+)+$");
    ASSERT_NE(nested, nullptr);
    const QString near = QString(40, QLatin1Char('a')) + "b";
    EXPECT_FALSE(nested->copyMatchForString(near).has_value());
    EXPECT_FALSE(nested->copyMatchForUTF8Data(near.toUtf8(), QVRange(0, near.size())).has_value());

    // A group repeated over a long line needs far more than a default JIT stack.
    auto repeated = QVRegex::create("(a|b)*c");
    ASSERT_NE(repeated, nullptr);
    const QString line = QString(200000, QLatin1Char('a')) + "c";
    auto m = repeated->copyMatchForString(line);
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(m->rangeForCapture(0), QVRange(0, line.size()));
    EXPECT_EQ(m->rangeForCapture(1), QVRange(line.size() - 2, 1));
    auto mb = repeated->copyMatchForUTF8Data(line.toUtf8(), QVRange(0, line.size()));
    ASSERT_TRUE(mb.has_value());
    EXPECT_EQ(mb->rangeForCapture(0), QVRange(0, line.size()));
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
