// The layout manager: cached line layouts that follow edits, rows with and without wrapping,
// tab stops, attachment cells and hit-testing.
#include "platform/QVTextLayoutManager.h"

#include <QFontDatabase>
#include <QImage>
#include <QPainter>

#include <gtest/gtest.h>

#include <iterator>
#include <random>
#include <vector>

namespace {

struct Marker : QVTextAttachment {};

QFont fixedFont() {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSize(11);
    return font;
}

void layOutAll(QVTextLayoutManager& manager, const QVTextStorage& storage) {
    manager.ensureLayout(0, storage.lineCount() - 1);
}

}  // namespace

TEST(QVTextLayoutManager, CachedLayoutsFollowEveryKindOfEdit) {
    struct Case {
        const char* name;
        QVRange range;
        QString replacement;
    };
    // "one\r\ntwo\rthree\nfour": every line laid out, then one edit, then the cache is checked
    // against the text (and laid out again in full, to check the rows).
    const std::vector<Case> cases = {
        {"type inside a line", {1, 0}, "X"},
        {"insert a break", {7, 0}, "\n"},
        {"delete a break", {3, 2}, ""},
        {"join \\r and \\n into one break", {9, 0}, "\n"},
        {"split \\r\\n", {4, 0}, "Z"},
        {"take \\n from behind \\r", {4, 1}, ""},
        {"paste several lines", {0, 0}, "a\nb\r\nc\rd"},
        {"replace across lines", {2, 10}, "--"},
        {"delete everything", {0, 19}, ""},
        {"append at the end", {19, 0}, "\nfive"},
    };
    for (bool wrap : {false, true}) {
        for (const Case& c : cases) {
            QVTextStorage storage;
            storage.replaceCharacters(QVRange(0, 0), u"one\r\ntwo\rthree\nfour");
            QVTextLayoutManager manager;
            manager.setFont(fixedFont());
            if (wrap) manager.setWrapWidth(40);
            manager.setTextStorage(&storage);
            layOutAll(manager, storage);
            ASSERT_FALSE(storage.replaceCharacters(c.range, c.replacement)) << c.name;
            EXPECT_EQ(manager.check(), "") << c.name << (wrap ? " (wrapping)" : "");
            layOutAll(manager, storage);
            EXPECT_EQ(manager.check(), "") << c.name << (wrap ? " (wrapping)" : "");
        }
    }
}

TEST(QVTextLayoutManager, RandomEditsKeepCacheAndRowsTrue) {
    std::mt19937 random(7);
    const QString alphabet = QStringLiteral("ab \t\r\n\n");
    for (bool wrap : {false, true}) {
        QVTextStorage storage;
        QVTextLayoutManager manager;
        manager.setFont(fixedFont());
        if (wrap) manager.setWrapWidth(60);
        manager.setTextStorage(&storage);
        for (int step = 0; step < 400; ++step) {
            const qint64 length = storage.length();
            const qint64 at = length ? qint64(random() % (length + 1)) : 0;
            const qint64 removed = length - at ? qint64(random() % std::min<qint64>(6, length - at + 1)) : 0;
            QString inserted;
            for (int i = int(random() % 8); i > 0; --i) inserted += alphabet.at(int(random() % alphabet.size()));
            storage.replaceCharacters(QVRange(at, removed), inserted);
            if (step % 3 == 0) manager.ensureLayout(std::max<qint64>(0, storage.lineOfPosition(at) - 2), storage.lineOfPosition(at) + 2);
            const QString problem = manager.check();
            ASSERT_EQ(problem, "") << "step " << step << (wrap ? " (wrapping)" : "");
        }
    }
}

TEST(QVTextLayoutManager, TabStopsFollowTheTabWidthAndZeroCountsAsOne) {
    QVTextStorage storage;
    storage.replaceCharacters(QVRange(0, 0), u"\tX\nab\tY");
    QVTextLayoutManager manager;
    manager.setFont(fixedFont());
    manager.setTextStorage(&storage);
    const qreal space = manager.spaceWidth();
    struct Case {
        int tabWidth;
        int effective;
    };
    for (const Case c : std::vector<Case>{{4, 4}, {8, 8}, {1, 1}, {0, 1}, {-3, 1}}) {
        manager.setTabWidth(c.tabWidth);
        EXPECT_EQ(manager.tabWidth(), c.effective);
        EXPECT_NEAR(manager.caretRect(1).left(), c.effective * space, 1.0) << c.tabWidth;
        // "ab\t": the tab runs to the next stop after two characters.
        const qreal stop = std::ceil(2.0 / c.effective + 0.0001) * c.effective * space;
        EXPECT_NEAR(manager.caretRect(6).left(), std::max(stop, 3 * space), 1.0) << c.tabWidth;
    }
}

TEST(QVTextLayoutManager, WrappedLinesTakeSeveralRowsAndHitTestingRoundTrips) {
    QVTextStorage storage;
    storage.replaceCharacters(QVRange(0, 0), QStringLiteral("short\n") + QString(50, u'w') + QStringLiteral("\nend"));
    QVTextLayoutManager manager;
    manager.setFont(fixedFont());
    manager.setTextStorage(&storage);
    EXPECT_EQ(manager.rowCount(), 3);
    manager.setWrapWidth(manager.spaceWidth() * 10.5);
    EXPECT_EQ(manager.rowCount(), 3);  // lines not laid out count one row each
    layOutAll(manager, storage);
    EXPECT_EQ(manager.rowsOfLine(1), 5);
    EXPECT_EQ(manager.rowCount(), 7);
    qint64 inLine = -1;
    EXPECT_EQ(manager.lineOfRow(3, &inLine), 1);
    EXPECT_EQ(inLine, 2);
    EXPECT_EQ(manager.lineOfRow(6), 2);
    EXPECT_EQ(manager.firstRowOfLine(2), 6);
    EXPECT_EQ(manager.characterRangeOfRow(2), QVRange(16, 10));
    for (qint64 position : {0, 3, 6, 20, 33, 55, 57, 60}) {
        const QRectF caret = manager.caretRect(position);
        EXPECT_EQ(manager.positionForPoint(caret.center()), position) << position;
    }
    EXPECT_EQ(manager.positionForPoint(QPointF(-50, -50)), 0);
    EXPECT_EQ(manager.positionForPoint(QPointF(5000, 5000)), storage.length());
}

TEST(QVTextLayoutManager, AttachmentsGetACellAndSeparatorsDoNotBreakTheLayout) {
    QVTextStorage storage;
    storage.replaceCharacters(QVRange(0, 0), u"a\uFFFCb\uFFFCc\u2028d");
    storage.addAttribute(QVTextStorage::AttachmentAttribute,
                         QVariant::fromValue(std::shared_ptr<QVTextAttachment>(std::make_shared<Marker>())),
                         QVRange(1, 1));
    QVTextLayoutManager manager;
    manager.setFont(fixedFont());
    manager.setTextStorage(&storage);
    const QTextLayout& layout = manager.layoutForLine(0);
    EXPECT_EQ(layout.lineCount(), 1);
    EXPECT_EQ(layout.text(), QStringView(u"a\u2026b\uFFFCc d").toString());
    // The attachment's cell is wider than a character; the bare U+FFFC is not an attachment.
    const qreal cell = manager.caretRect(2).left() - manager.caretRect(1).left();
    EXPECT_NEAR(cell, manager.attachmentWidth(), 1.5);
    EXPECT_GT(cell, manager.spaceWidth() * 2);

    // Drawing fills the cell (the frame) without drawing the substituted glyph's colour.
    QImage image(200, 40, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    manager.setTextColor(Qt::black);
    manager.drawLine(painter, 0, QPointF(0, 0), {}, QRectF(image.rect()));
    painter.end();
    int dark = 0;
    for (int x = int(manager.caretRect(1).left()) + 1; x < int(manager.caretRect(2).left()) - 1; ++x)
        for (int y = 0; y < int(manager.lineHeight()); ++y)
            if (qGray(image.pixel(x, y)) < 200) ++dark;
    EXPECT_GT(dark, 10);
}

// A byte of a UTF-8 file that is not UTF-8 stays in the text as a low surrogate standing alone
// (U+DC80-U+DCFF) and shows as the replacement mark, one cell; the low half of a pair, in the
// same range, stays the pair's, also when a line's laid-out part begins between the two.
TEST(QVTextLayoutManager, KeptBytesShowAsAMarkAndPairsStayWhole) {
    const char16_t units[] = {u'a', 0xDCFF, u'b', 0xD83D, 0xDCA9, 0xDC92, u'c', 0xDC41};
    QVTextStorage storage;
    storage.replaceCharacters(QVRange(0, 0), QString(reinterpret_cast<const QChar*>(units), std::size(units)));
    QVTextLayoutManager manager;
    manager.setFont(fixedFont());
    manager.setTextStorage(&storage);
    const char16_t shown[] = {u'a', 0xFFFD, u'b', 0xD83D, 0xDCA9, 0xFFFD, u'c', 0xDC41};
    EXPECT_TRUE(manager.layoutForLine(0).text() == QString(reinterpret_cast<const QChar*>(shown), std::size(shown)));
    EXPECT_EQ(manager.check(), QString());
}

TEST(QVTextLayoutManager, DropsTheCacheAwayFromTheVisibleLinesAndDetaches) {
    QVTextStorage storage;
    QString text;
    for (int i = 0; i < 1000; ++i) text += QStringLiteral("line %1\n").arg(i);
    storage.replaceCharacters(QVRange(0, 0), text);
    {
        QVTextLayoutManager manager;
        manager.setTextStorage(&storage);
        manager.ensureLayout(0, 999);
        EXPECT_EQ(manager.cachedLineCount(), 1000);
        manager.pruneCache(500, 520, 10);
        EXPECT_EQ(manager.cachedLineCount(), 41);
        EXPECT_TRUE(manager.isLaidOut(490));
        EXPECT_FALSE(manager.isLaidOut(489));
    }
    // The manager is gone: the storage must not call it any more.
    EXPECT_FALSE(storage.replaceCharacters(QVRange(0, 0), u"x"));
}

// A line too long to lay out whole is laid out in parts, yet its carets and hit-tests are those
// of the whole line: exactly so in a fixed-pitch font, before and after an edit, at the part
// boundaries and at both ends; with tabs a caret and its hit-test still agree. Wrapped, the line
// is laid out whole.
TEST(QVTextLayoutManager, LongLinesAreLaidOutInPartsWithTheirCaretsAndHitsRight) {
    QString longLine;
    while (longLine.size() < 60000) longLine += QStringLiteral("<a href=\"x\">abc</a>;");
    QVTextStorage storage;
    storage.replaceCharacters(QVRange(0, 0), QStringLiteral("short\n") + longLine + QStringLiteral("\nafter\n"));
    QVTextLayoutManager manager;
    manager.setFont(fixedFont());
    manager.setTextStorage(&storage);
    const qint64 start = storage.lineStart(1);
    auto truth = [&](const QString& text) {
        auto layout = std::make_unique<QTextLayout>(text, fixedFont());
        QTextOption option;
        option.setWrapMode(QTextOption::NoWrap);
        option.setTabStopDistance(manager.tabWidth() * manager.spaceWidth());
        layout->setTextOption(option);
        layout->beginLayout();
        layout->createLine().setLineWidth(1.0e7);
        layout->endLayout();
        return layout;
    };
    auto checkColumns = [&](const QString& text, const char* when) {
        const auto whole = truth(text);
        const QTextLine row = whole->lineAt(0);
        const qint64 length = text.size();
        for (qint64 column : {qint64(0), qint64(1), manager.PartLength - 1, manager.PartLength, manager.PartLength + 1,
                              qint64(20000), qint64(30001), length / 2, length - 1, length}) {
            const qreal x = row.cursorToX(int(column));
            EXPECT_NEAR(manager.caretRect(start + column).left(), x, 0.05) << when << " caret at " << column;
            EXPECT_EQ(manager.caretRect(start + column).top(), manager.lineHeight()) << when;
            if (column < length) {
                EXPECT_EQ(manager.positionForPoint(QPointF(x + manager.spaceWidth() * 0.3, manager.lineHeight() * 1.5)), start + column)
                    << when << " hit at " << column;
            }
        }
        EXPECT_LT(manager.partOfLine(1).length, length) << when;  // laid out in part only
        EXPECT_EQ(manager.check(), QString()) << when;
    };
    checkColumns(longLine, "as loaded");
    // Beyond the last character the hit is the line's end; the row holds the whole line.
    EXPECT_EQ(manager.positionForPoint(QPointF(1.0e6, manager.lineHeight() * 1.5)), start + longLine.size());
    EXPECT_EQ(manager.characterRangeOfRow(1), QVRange(start, longLine.size()));
    storage.replaceCharacters(QVRange(start + 30000, 0), u"ZZ");
    longLine.insert(30000, QStringLiteral("ZZ"));
    checkColumns(longLine, "after an edit");
    EXPECT_GE(manager.scrollWidth(), truth(longLine)->lineAt(0).naturalTextWidth() - 0.5);

    // Tabs: positions are estimated past the part, but a caret and its hit-test agree.
    storage.replaceCharacters(QVRange(start, 0), u"\t\tx\t");
    for (qint64 column : {qint64(0), qint64(2), qint64(3), qint64(4), qint64(25000), qint64(50001)}) {
        const QRectF caret = manager.caretRect(start + column);
        EXPECT_EQ(manager.positionForPoint(caret.center() + QPointF(0.3, 0)), start + column) << "tabbed, at " << column;
    }
    manager.setWrapWidth(400);
    manager.layoutForLine(1);
    EXPECT_EQ(manager.partOfLine(1).length, storage.lineContentsEnd(1) - start);
    EXPECT_GT(manager.rowsOfLine(1), 100);

    // Far past 2^25 pixels, where Qt's fixed-point text positions end, carets, hits and the
    // drawn text stay where they belong.
    QVTextStorage huge;
    huge.replaceCharacters(QVRange(0, 0), QString(12'000'000, u'm'));
    QVTextLayoutManager far;
    far.setFont(fixedFont());
    far.setTextStorage(&huge);
    for (qint64 column : {qint64(11'999'999), qint64(12'000'000), qint64(8'000'000)}) {
        const qreal x = column * far.spaceWidth();
        ASSERT_GT(x, qreal(1 << 25));
        EXPECT_NEAR(far.caretRect(column).left(), x, 1.0) << column;
        if (column < huge.length()) {
            EXPECT_EQ(far.positionForPoint(QPointF(x + far.spaceWidth() * 0.3, 1)), column) << column;
        }
    }
    QImage image(200, int(far.lineHeight()), QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    far.drawLine(painter, 0, QPointF(-(8'000'000 * far.spaceWidth()) + 50, 0), {}, QRectF(image.rect()));
    painter.end();
    int dark = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qGray(image.pixel(x, y)) < 128) ++dark;
    EXPECT_GT(dark, 50);
}
