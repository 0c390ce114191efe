// Close Tag's search from the stretches' sums against the walk back a tag at a time, at every
// place of pages of many shapes, through edits and sums made ahead.
#include "editor/QVTagBalance.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

#include <random>

namespace {

const QVariantMap& tagTable() {
    static const QVariantMap table{{"br", 1}, {"img", 1}, {"meta", 1}, {"hr", 1}, {"input", 1}, {"link", 1}, {"wbr", -1}, {"p", 3}, {"div", 3}};
    return table;
}

// The walk back from the caret a tag at a time: each tag ends at a ">" and begins at the last "<"
// before it; the first opening tag met with nothing left to pass is the element's.
QString walkedBack(QStringView text, const QVariantMap& table) {
    qint64 depth = 0;
    for (qsizetype gt = text.lastIndexOf(u'>'); gt >= 0;) {
        const qsizetype lt = gt > 0 ? text.lastIndexOf(u'<', gt - 1) : -1;
        if (lt < 0) break;
        const QStringView tag = text.mid(lt + 1, gt - lt - 1);
        const bool closing = tag.startsWith(u'/');
        qsizetype end = closing ? 1 : 0;
        while (end < tag.size() && tag.at(end).isLetterOrNumber()) ++end;
        const QStringView name = tag.mid(closing ? 1 : 0, end - (closing ? 1 : 0));
        const qint64 kind = table.value(name.toString().toLower(), 0).toLongLong();
        const int change = tag.endsWith(u'/') || name.isEmpty() || kind == -1 || kind == 1 ? 0 : closing ? 1 : -1;
        if (change < 0 && depth == 0) return name.toString();
        depth += change;
        gt = lt > 0 ? text.lastIndexOf(u'>', lt - 1) : -1;
    }
    return {};
}

// Pieces of the page shapes Close Tag meets, put together at random.
const char* const Pieces[][8] = {
    // PHP sections whose heredocs hold an XML prolog's "?>"
    {"<?php\n$feed = <<<XML\n<?xml version=\"1.0\"?>\n<rss><channel><title>T</title></channel></rss>\nXML;\n",
     "echo '<li class=\"row\">' . $x . \"</li>\\n\";\n?>\n", "<ul class=\"feed\">\n", "  <li><a href=\"/f.xml\">F</a></li>\n", "</ul>\n",
     "<?= $a < $b ? '<b>' : '' ?>", "$s = <<<'EOT'\n</div> ?> <p>\nEOT;\n", "<?php if ($a > 1): ?>"},
    // nested and unclosed elements, upper case too
    {"<div>", "</div>", "<ul><li>a</li><li>b", "</li></ul>", "<P>text", "</p>", "<span class=\"s\">", "</SPAN>"},
    // void and self-closed elements, a ">" inside an attribute
    {"<br>", "<BR/>", "<img src=\"a>b\" />", "<meta charset=\"utf-8\">", "<hr>", "<x/>", "<input value='<'>", "<wbr>"},
    // comments, CDATA, declarations
    {"<!-- <div> -->", "<!-- a > b < c -->", "<![CDATA[ <p> ]]>", "<!DOCTYPE html>", "<!---->", "<!-- </ul> -->", "<?xml?>", "<!>"},
    // scripts and style sheets holding "</" and comparisons
    {"<script>if (a </b) x = \"</div>\";</script>", "<script>\nfor (i = 0; i < n; i++) y = i > 2;\n", "</script>",
     "<style>a::after { content: \"</p>\" }</style>", "<style>\n", "</style>", "x = a<b&&c>d;", "<\\/script>"},
    // text with stray brackets, lines and blanks
    {"a < b ", "c > d ", "<<<", ">>>", "\n", "  ", "text ", "<"},
};

// sparse: most pieces runs of words, so that most stretches end in text past their last tag.
QString makePage(std::mt19937& random, qsizetype size, bool sparse = false) {
    QString page;
    while (page.size() < size) {
        if (sparse && random() % 4) {
            page += QStringLiteral("words and more words ").repeated(qsizetype(random() % 6));
            continue;
        }
        const auto& shape = Pieces[random() % std::size(Pieces)];
        page += QString::fromLatin1(shape[random() % std::size(shape)]);
    }
    return page;
}

TEST(QVTagBalance, AnswersAsTheWalkBackAtEveryPlaceThroughEditsAndSumsAhead) {
    struct Case {
        const char* name;
        qint64 spanLength;
        qint64 threadedFrom;
        bool sumAhead;  // the whole text summed first, in stretches of random length
        bool sparse = false;
    };
    const Case cases[] = {
        {"short stretches", 64, 1 << 30, false},
        {"short stretches on threads", 48, 256, false},
        {"summed ahead", 64, 512, true},
        {"one stretch longer than the page", 1 << 20, 1 << 30, false},
        {"few tags, stretches ending past their last", 64, 1 << 30, false, true},
        {"few tags, summed ahead", 64, 1 << 30, true, true},
    };
    std::mt19937 random(84);
    for (const Case& c : cases) {
        for (int round = 0; round < (c.sparse ? 12 : 3); ++round) {
            QString text = makePage(random, 2500, c.sparse);
            QVTagBalance balance(c.spanLength, c.threadedFrom);
            for (int step = 0; step < 6; ++step) {
                if (c.sumAhead) {
                    // Pieces of one budget, text put in between some of them, at the end or anywhere.
                    const qint64 budget = qint64(random() % (c.sparse ? 100 : 700)) + 1;
                    const QVTagBalance::Reader read = [&text](qint64 from, qint64 to) { return QStringView(text).mid(from, to - from); };
                    for (int edits = 0; balance.sumAhead(read, text.size(), budget, tagTable());) {
                        if (edits == 3 || random() % 8) continue;
                        ++edits;
                        const QString piece = makePage(random, 1);
                        const qint64 at = random() % 2 ? text.size() : qint64(random() % quint64(text.size() + 1));
                        text.insert(at, piece);
                        balance.edited(at, 0, piece.size(), piece);
                    }
                }
                const qint64 summed = balance.charactersSummed();
                // Every place, from the end back and then from the top, so that the stretches a
                // search makes serve those after it in both orders.
                for (int pass = 0; pass < 2; ++pass) {
                    for (qint64 k = 0; k <= text.size(); ++k) {
                        const qint64 caret = pass == 0 ? text.size() - k : k;
                        const QStringView before = QStringView(text).left(caret);
                        ASSERT_EQ(balance.unclosedElementBefore(before, tagTable()), walkedBack(before, tagTable()))
                            << c.name << ", round " << round << ", step " << step << ", caret " << caret << ": "
                            << text.mid(std::max<qint64>(0, caret - 60), std::min<qint64>(caret, 60)).toStdString();
                    }
                }
                // Summed ahead: the searches read the sums and what lies near the caret, and sum nothing.
                if (c.sumAhead) {
                    EXPECT_EQ(balance.charactersSummed(), summed) << c.name;
                }
                // Edits that open, close or cut tags, reported as the storage does.
                // Half of them right at a "<" or after a ">", where a tag's end or its next "<" moves.
                const char* const marks[] = {">", "/", "<", "x>", "</p>", "<div>", "/>", "<br"};
                for (int edit = 0; edit < 8; ++edit) {
                    qint64 at = qint64(random() % quint64(text.size() + 1));
                    QString piece = random() % 3 ? makePage(random, 1).left(qsizetype(random() % 30) + 1) : QString();
                    if (edit % 2) {
                        const qsizetype bracket = text.indexOf(QRegularExpression(QStringLiteral("[<>]")), at);
                        if (bracket >= 0) at = bracket + (text.at(bracket) == u'>' ? 1 : 0);
                        piece = QString::fromLatin1(marks[random() % std::size(marks)]);
                    }
                    const qint64 removed = random() % 2 ? std::min<qint64>(qint64(random() % 40), text.size() - at) : 0;
                    text.replace(at, removed, piece);
                    // What comes in is told, as the view tells it, or not.
                    balance.edited(at, removed, piece.size(), edit % 3 ? std::optional<QStringView>(piece) : std::nullopt);
                }
                // Each stretch kept through them is what one read of it now makes.
                for (const QVTagBalance::Span& span : balance.spans()) {
                    QVTagBalance fresh(1 << 30, 1 << 30);
                    fresh.sumAhead(text, 0, span.begin, span.end, tagTable());
                    ASSERT_EQ(fresh.spans().size(), 1u);
                    const QVTagBalance::Span& made = fresh.spans().front();
                    ASSERT_EQ(made, span) << c.name << ", round " << round << ", step " << step << ": " << span.begin << ".." << span.end
                                          << " reach " << span.reach << " (" << made.reach << ") quiet " << span.quiet << " ("
                                          << made.quiet << ") change " << span.change << " (" << made.change << ")";
                }
            }
        }
    }
}

TEST(QVTagBalance, SumsOnlyWhatNoStretchCovers) {
    // A search from the end sums the text before it once; one from the same place again, or from
    // before it, sums nothing; " </" typed leaves the stretches away from it, so each search after
    // a key reads about one stretch around it: also inside a long run without tags after the last
    // tag, whose stretches hang on no "<" after them, and the stretch of that tag, which does.
    std::mt19937 random(7);
    struct Case {
        const char* name;
        QString text;
        double editAt;  // share of the text
    };
    const Case cases[] = {
        {"tags all along", QStringLiteral("<html><body>\n") + makePage(random, 200000), 1.0 / 3},
        {"a run without tags", QStringLiteral("<html><body><pre>\n") + QString(200000, u'w') + QStringLiteral("</pre>"), 0.9},
    };
    // A tag that runs on far past the stretches summed, over text without a "<" but with ">"
    // in it (a server block full of "=>", a tag whose "/>" lies far on): summed ahead, no read
    // takes more than a few budgets, and the stretches are what one read of the whole makes.
    for (const char* end : {"]; ?>", "]; /><br>"}) {
        const QString text = QStringLiteral("<html><body><?php $a = [") + QStringLiteral("'k' => 1, ").repeated(20000) + QString::fromLatin1(end) +
                             QStringLiteral("\n<p>");
        const QString far = QString(text).replace(QStringLiteral("<?php"), QStringLiteral("<div "));
        for (const QString& page : {text, far}) {
            QVTagBalance ahead(1024, 1 << 30);
            qint64 longest = 0;
            const QVTagBalance::Reader read = [&page, &longest](qint64 from, qint64 to) {
                longest = std::max(longest, to - from);
                return QStringView(page).mid(from, to - from);
            };
            while (ahead.sumAhead(read, page.size(), 4096, tagTable())) {}
            EXPECT_LE(longest, 2 * 4096) << end;
            EXPECT_EQ(ahead.unclosedElementBefore(page, tagTable()), walkedBack(page, tagTable())) << end;
            for (const QVTagBalance::Span& span : ahead.spans()) {
                QVTagBalance fresh(1 << 30, 1 << 30);
                fresh.sumAhead(page, 0, span.begin, span.end, tagTable());
                ASSERT_EQ(fresh.spans().front(), span) << end << ": " << span.begin << ".." << span.end;
            }
        }
    }
    for (const Case& c : cases) {
        QString text = c.text;
        QVTagBalance balance(1024, 1 << 30);
        // Summed ahead in pieces of a budget, each reads about that much.
        {
            QVTagBalance ahead(1024, 1 << 30);
            // Nor does any one read take more than a few budgets (a text in pieces is copied to be read).
            qint64 longest = 0;
            const QVTagBalance::Reader read = [&text, &longest](qint64 from, qint64 to) {
                longest = std::max(longest, to - from);
                return QStringView(text).mid(from, to - from);
            };
            for (qint64 summed = 0; ahead.sumAhead(read, text.size(), 4096, tagTable()); summed = ahead.charactersSummed())
                EXPECT_LE(ahead.charactersSummed() - summed, 3 * 4096) << c.name;
            EXPECT_LE(longest, 2 * 4096) << c.name;
            EXPECT_EQ(ahead.uncovered(text.size()).location, QVRange::NotFound) << c.name;
            EXPECT_EQ(ahead.unclosedElementBefore(text, tagTable()), walkedBack(text, tagTable())) << c.name;
        }
        const QString answer = balance.unclosedElementBefore(text, tagTable());
        EXPECT_EQ(answer, walkedBack(text, tagTable())) << c.name;
        const qint64 first = balance.charactersSummed();
        EXPECT_GT(first, qint64(text.size()) * 9 / 10) << c.name;
        EXPECT_EQ(balance.unclosedElementBefore(text, tagTable()), answer) << c.name;
        EXPECT_EQ(balance.unclosedElementBefore(QStringView(text).left(text.size() / 2), tagTable()),
                  walkedBack(QStringView(text).left(text.size() / 2), tagTable()))
            << c.name;
        EXPECT_EQ(balance.charactersSummed(), first) << c.name;
        const qint64 at = qint64(double(text.size()) * c.editAt);
        const qint64 walked = balance.charactersWalked();
        qint64 caret = at;
        for (const char* typed : {" ", "<", "/", "div>"}) {
            const QString key = QString::fromLatin1(typed);
            text.insert(caret, key);
            balance.edited(caret, 0, key.size(), key);
            caret += key.size();
            const QStringView before = QStringView(text).left(caret);
            EXPECT_EQ(balance.unclosedElementBefore(before, tagTable()), walkedBack(before, tagTable())) << c.name;
        }
        EXPECT_LE(balance.charactersSummed() - first, 3 * 1024) << c.name;
        EXPECT_LE(balance.charactersWalked() - walked, 4 * 1024) << c.name;
        // A block tag pasted far above and taken back: what it touched is read again, and the
        // tag before it reads on to the "<" typed over the stretches in between, not through them.
        const qint64 summed = balance.charactersSummed();
        const QString tag = QStringLiteral("<script>\n");
        const qint64 pasted = caret / 2;
        text.insert(pasted, tag);
        balance.edited(pasted, 0, tag.size(), tag);
        text.remove(pasted, tag.size());
        balance.edited(pasted, tag.size(), 0, QString());
        EXPECT_EQ(balance.unclosedElementBefore(QStringView(text).left(caret), tagTable()), walkedBack(QStringView(text).left(caret), tagTable()))
            << c.name;
        EXPECT_LE(balance.charactersSummed() - summed, 3 * 1024) << c.name;
        // " </" left typed just before a stretch's end far above: the short stretch after it,
        // walked at once by the next search, passes over the stretches without tags too.
        const auto kept = std::find_if(balance.spans().begin(), balance.spans().end(), [&](const QVTagBalance::Span& span) {
            return span.end > text.size() / 4 && span.end - span.begin > 16;
        });
        ASSERT_NE(kept, balance.spans().end()) << c.name;
        const qint64 typedAt = kept->end - 8;
        text.insert(typedAt, QStringLiteral(" </"));
        balance.edited(typedAt, 0, 3, QStringLiteral(" </"));
        EXPECT_EQ(balance.unclosedElementBefore(QStringView(text).left(typedAt + 3), tagTable()),
                  walkedBack(QStringView(text).left(typedAt + 3), tagTable()))
            << c.name;
        const qint64 walkedOn = balance.charactersWalked() + balance.charactersSummed();
        EXPECT_EQ(balance.unclosedElementBefore(QStringView(text).left(caret + 3), tagTable()),
                  walkedBack(QStringView(text).left(caret + 3), tagTable()))
            << c.name;
        EXPECT_LE(balance.charactersWalked() + balance.charactersSummed() - walkedOn, 4 * 1024) << c.name;
        EXPECT_EQ(balance.unclosedElementBefore(text, tagTable()), walkedBack(text, tagTable())) << c.name;
        // Another table: the stretches read with the old one go.
        QVariantMap table = tagTable();
        table.insert(QStringLiteral("li"), 1);
        EXPECT_EQ(balance.unclosedElementBefore(text, table), walkedBack(text, table)) << c.name;
        EXPECT_GT(balance.charactersSummed() - first, qint64(text.size()) / 2) << c.name;
    }
}

}  // namespace
