// The one-pass element fold scanner against the HTML bundle's own fold patterns matched as
// written: the same first opener, every opener, and closer on every line of a table of tricky
// markup; and a long line costs a few passes over it, not one per tag.
#include "editor/HTMLView.h"
#include "editor/QVFoldScanner.h"
#include "languages/QVParser.h"
#include "platform/QVRegex.h"

#include <gtest/gtest.h>

namespace {

std::optional<QVRange> regexFirst(const QVRegex& pattern, const QString& line, qint64 limit, qint64 from) {
    const std::optional<QVRegexMatch> match = pattern.copyMatchForString(line, QVRange(0, limit), QVRegex::MatchNone, from);
    if (!match) return std::nullopt;
    return match->rangeForCapture(0);
}

QList<QVRange> regexAll(const QVRegex& pattern, const QString& line) {
    QList<QVRange> found;
    for (qint64 from = 0; from <= line.size();) {
        const std::optional<QVRange> match = regexFirst(pattern, line, line.size(), from);
        if (!match) break;
        found.append(*match);
        from = match->length > 0 ? match->end() : match->location + 1;
    }
    return found;
}

}  // namespace

TEST(QVFoldScanner, ElementPatternsMatchAsWrittenInOnePass) {
    HTMLView view("/tmp/page.html");
    ASSERT_TRUE(view.parser());
    const std::shared_ptr<const QVRegex> opener = view.parser()->foldOpener();
    const std::shared_ptr<const QVRegex> closer = view.parser()->foldCloser();
    ASSERT_TRUE(opener && closer);
    const std::shared_ptr<const QVFoldScanner> scanner = QVFoldScanner::forPatterns(opener, closer);
    ASSERT_TRUE(scanner->scansTags()) << "the shipped element patterns are no longer recognised";

    const QStringList lines = {
        "<div>", "<div class=\"a\">text", "<div>x</div>", "</div>", "  </div >", "</div><div>", "<p>a</p><p>",
        "<pre>", "<p>", "<pr>", "<divx>", "<DIV>", "<div", "<div <p>", "<div a='>'>", "</divx>", "</ div>",
        "<!-- note", "note -->", "<!-- a --> <!-- b", "<!-->", "--> <!--", "x --> </div> <div>", "</p></div> text <ul>",
        "<ul><li>a<li>b</ul>", "<div><div></div>", "<div></div><div>", "</li>\t</ul>\f<div>", "<table><tr><td>",
        "<svg viewBox='0 0 1 1'><path/></svg><svg>", "é<div>ü</div>é<div>", "<script>if (a < b) x = '</script>';",
        "", "plain text", "</", "<", "<!", "<!-", "-->", "--", "<div>></div>", "<div>>", "<li><li></li>",
    };
    for (const QString& line : lines) {
        SCOPED_TRACE(line.toStdString());
        EXPECT_EQ(scanner->firstOpener(line), regexFirst(*opener, line, line.size(), 0));
        EXPECT_EQ(scanner->openers(line), regexAll(*opener, line));
        EXPECT_EQ(scanner->closers(line), regexAll(*closer, line));
        for (qint64 cut = 0; cut <= line.size(); ++cut) {
            EXPECT_EQ(scanner->firstCloser(line, cut), regexFirst(*closer, line, cut, 0)) << "cut " << cut;
            EXPECT_EQ(scanner->firstOpener(line, cut), regexFirst(*opener, line, line.size(), cut)) << "from " << cut;
        }
    }

    // A long line of closed elements with one left open: a few passes over it, where the
    // patterns as written rescan the rest of the line for every tag.
    QString longLine;
    while (longLine.size() < 200000) longLine += "<div><p>x</p><span>y</span></div>";
    longLine += "<ul>";
    const quint64 before = QVFoldScanner::charactersScanned();
    EXPECT_EQ(scanner->firstOpener(longLine), QVRange(longLine.size() - 4, 4));
    EXPECT_FALSE(scanner->firstCloser(longLine, longLine.size()));
    EXPECT_LE(QVFoldScanner::charactersScanned() - before, quint64(3 * longLine.size()));
}
