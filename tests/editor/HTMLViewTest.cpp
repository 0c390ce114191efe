// The editor view: line breaks, lines and columns, going to lines, visible and full positions,
// undoable edits, collapsing and expanding, loading, printing and dropping colours.
#include "editor/HTMLView.h"
#include "platform/QVUndoManager.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"
#include "shell/FileEncodings.h"
#include "tests/support/TestSupport.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QImage>
#include <QMimeData>
#include <QPainter>
#include <QPdfWriter>

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Recorder : HTMLViewDelegate {
    std::vector<std::pair<QVError, bool>> errors;
    std::vector<std::pair<qint64, qint64>> positions;
    std::vector<bool> escapes;
    void htmlViewIsEscaped(HTMLView*, bool escaped) override { escapes.push_back(escaped); }
    void htmlViewChangedToLine(HTMLView*, qint64 line, qint64 column) override { positions.emplace_back(line, column); }
    void htmlViewHadError(HTMLView*, const QVError& error, bool critical) override { errors.emplace_back(error, critical); }
};

const QChar Region(QVTextAttachment::Character);

}  // namespace

TEST(HTMLView, ConvertsLineBreaksOnSetStringAndLongInsertionsOnly) {
    UserDefaults::standard().setInteger(HTMLView::Unix, QVLineBreak);
    HTMLView view;
    EXPECT_EQ(view.lineBreakName(), "Unix");
    view.setString("a\r\nb\rc\nd");
    EXPECT_EQ(view.string(), "a\nb\nc\nd");
    view.setSelectedRange(QVRange(1, 0));
    view.insertText("\r\nx\r\n");
    EXPECT_EQ(view.string(), "a\nx\n\nb\nc\nd");
    view.insertText("\r");  // one typed character is never converted
    EXPECT_EQ(view.string(), "a\nx\n\r\nb\nc\nd");

    UserDefaults::standard().setInteger(HTMLView::DOS, QVLineBreak);
    HTMLView dos;
    EXPECT_EQ(dos.lineBreak(), "\r\n");
    EXPECT_EQ(dos.lineBreakName(), "DOS");
    dos.setString("a\nb\rc");
    EXPECT_EQ(dos.string(), "a\r\nb\r\nc");
    dos.setSelectedRange(QVRange(dos.length(), 0));
    dos.insertNewline();
    EXPECT_EQ(dos.string(), "a\r\nb\r\nc\r\n");
    UserDefaults::standard().setInteger(HTMLView::Mac, QVLineBreak);
    EXPECT_EQ(HTMLView().lineBreakName(), "Mac");
    UserDefaults::standard().removeObject(QVLineBreak);
    Defaults::resetDefaults();
}

TEST(HTMLView, LineAndColumnOfTheSelection) {
    HTMLView view;
    view.setString("one\ntwo\n\nfour");
    struct Case {
        qint64 position;
        qint64 line;
        qint64 column;
    };
    for (const Case c : std::vector<Case>{{0, 1, 0}, {2, 1, 2}, {3, 1, 3}, {4, 2, 0}, {8, 3, 0}, {9, 4, 0}, {13, 4, 4}}) {
        view.setSelectedRange(QVRange(c.position, 0));
        EXPECT_EQ(view.lineNumber(), c.line) << c.position;
        EXPECT_EQ(view.columnNumber(), c.column) << c.position;
    }
    auto recorder = std::make_shared<Recorder>();
    view.setInterfaceDelegate(recorder);
    view.setSelectedRange(QVRange(5, 0));
    ASSERT_FALSE(recorder->positions.empty());
    EXPECT_EQ(recorder->positions.back(), std::make_pair(qint64(2), qint64(1)));
}

TEST(HTMLView, GoesToLinesAndBeepsForLinesThatDoNotExist) {
    HTMLView view;
    view.setString("one\ntwo\nthree\n");
    struct Case {
        qint64 line;
        bool exact;
        QVRange selection;
    };
    const std::vector<Case> cases = {
        // The line without its break, so the caret stays on it.
        {1, true, {0, 3}},   {2, true, {4, 3}},   {3, true, {8, 5}},
        {0, false, {0, 3}},  // 0 beeps and is taken as 1
        {4, false, {8, 5}},  // past the end beeps and selects the last line
        {99, false, {8, 5}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(view.gotoLine(c.line), c.exact) << c.line;
        EXPECT_EQ(view.selectedRange(), c.selection) << c.line;
    }
    qint64 count = 0;
    EXPECT_EQ(view.rangeForLineNumber(7, &count), QVRange(8, 6));
    EXPECT_EQ(count, 3);
    view.gotoLineFromString("2");
    EXPECT_EQ(view.selectedRange(), QVRange(4, 3));
    view.gotoLineFromString("");
    EXPECT_EQ(view.selectedRange(), QVRange(4, 3));
    view.selectLine(1, 2);
    EXPECT_EQ(view.selectedRange(), QVRange(0, 8));
    view.selectLineForGlyphIndex(10);
    EXPECT_EQ(view.selectedRange(), QVRange(8, 6));

    HTMLView empty;
    count = 0;
    EXPECT_EQ(empty.rangeForLineNumber(1, &count), QVRange(0, 0));
    EXPECT_EQ(count, 0);
    HTMLView noFinalBreak;
    noFinalBreak.setString("a\nb");
    EXPECT_TRUE(noFinalBreak.gotoLine(2));
    EXPECT_EQ(noFinalBreak.selectedRange(), QVRange(2, 1));
}

TEST(HTMLView, CollapsingAndExpandingAreUndoableStepsThatDoNotCount) {
    HTMLView view;
    view.setString("f() {\n  body;\n}\ng() {\n  other;\n}\n");
    const QString original = view.string();
    QVUndoManager& undo = view.undoManager();
    const qint64 count = undo.changeCount();
    const quint64 token = undo.changeToken();

    ASSERT_TRUE(view.collapseRange(QVRange(5, 9)));
    EXPECT_EQ(view.string(), QString("f() {") + Region + "}\ng() {\n  other;\n}\n");
    EXPECT_EQ(view.fullString(), original);
    EXPECT_EQ(undo.undoActionName(), "Collapse Region");
    EXPECT_TRUE(view.shouldIgnoreChangeForCount());
    EXPECT_FALSE(view.shouldIgnoreChangeForCount());  // one-shot
    EXPECT_EQ(undo.changeCount(), count);
    EXPECT_EQ(undo.changeToken(), token);

    undo.undo();
    EXPECT_EQ(view.string(), original);
    EXPECT_EQ(undo.changeCount(), count);
    undo.redo();
    EXPECT_EQ(view.fullString(), original);
    ASSERT_TRUE(view.foldingStorage().firstAttachmentInRange(QVRange(0, 7)));

    // Collapsing around a collapsed region keeps its text expanded inside; expanding all
    // restores the text exactly.
    const qint64 second = view.string().indexOf("g() {") + 5;
    ASSERT_TRUE(view.collapseRange(QVRange(second, 10)));
    ASSERT_TRUE(view.collapseRange(QVRange(0, view.length() - 1)));
    EXPECT_EQ(view.length(), 2);
    EXPECT_EQ(view.fullString(), original);
    while (view.expandRegion(0)) {}
    EXPECT_TRUE(view.shouldIgnoreChangeForCount());
    EXPECT_EQ(view.string(), original);
    EXPECT_EQ(undo.undoActionName(), "Expand Region");
    EXPECT_EQ(undo.changeCount(), count);
    EXPECT_EQ(undo.changeToken(), token);
    EXPECT_FALSE(view.collapseRange(QVRange(3, 0)));

    // A real edit still counts.
    view.setSelectedRange(QVRange(0, 0));
    view.undoableInsertText("// ", "Comment");
    EXPECT_EQ(undo.changeCount(), count + 1);
    EXPECT_FALSE(view.shouldIgnoreChangeForCount());
}

TEST(HTMLView, ShowRangeMapsFullPositionsToVisibleOnes) {
    // Full text: "0123456789ABCDEFGHIJ"; regions over [2, 5) and [8, 12).
    HTMLView view;
    view.setString("0123456789ABCDEFGHIJ");
    ASSERT_TRUE(view.collapseRange(QVRange(8, 4)));
    ASSERT_TRUE(view.collapseRange(QVRange(2, 3)));
    ASSERT_EQ(view.string(), QString("01") + Region + "567" + Region + "CDEFGHIJ");
    struct Case {
        const char* name;
        QVRange full;
        QVRange visible;
        QString text;  // the visible text afterwards
    };
    const std::vector<Case> cases = {
        {"before every region", {0, 2}, {0, 2}, QString("01") + Region + "567" + Region + "CDEFGHIJ"},
        {"after two regions moves back by both", {14, 3}, {14 - 2 - 3, 3}, QString("01") + Region + "567" + Region + "CDEFGHIJ"},
        {"starting on a region's first character keeps it collapsed", {8, 1}, {8 - 2, 1}, QString("01") + Region + "567" + Region + "CDEFGHIJ"},
        {"inside the second region expands it", {9, 2}, {9 - 2, 2}, QString("01") + Region + "56789ABCDEFGHIJ"},
    };
    for (const Case& c : cases) {
        QVRange range = c.full;
        view.setSelectedRange(&range, true);
        EXPECT_EQ(range, c.visible) << c.name;
        EXPECT_EQ(view.selectedRange(), c.visible) << c.name;
        EXPECT_EQ(view.string(), c.text) << c.name;
    }
    view.showRange(QVRange(3, 1));
    EXPECT_EQ(view.string(), "0123456789ABCDEFGHIJ");
    EXPECT_EQ(view.selectedRange(), QVRange(3, 1));
    // Shown ranges open every region they touch, one starting exactly at them included.
    const std::vector<std::pair<QVRange, QString>> shown = {
        {{8, 1}, QString("01") + Region + "56789ABCDEFGHIJ"},
        {{1, 9}, "0123456789ABCDEFGHIJ"},
        {{5, 3}, QString("01") + Region + "567" + Region + "CDEFGHIJ"},
    };
    for (const auto& [range, text] : shown) {
        view.setString("0123456789ABCDEFGHIJ");
        ASSERT_TRUE(view.collapseRange(QVRange(8, 4)));
        ASSERT_TRUE(view.collapseRange(QVRange(2, 3)));
        view.showRange(range);
        EXPECT_EQ(view.string(), text) << range.location;
        EXPECT_EQ(view.string().mid(view.selectedRange().location, view.selectedRange().length),
                  QString("0123456789ABCDEFGHIJ").mid(range.location, range.length)) << range.location;
    }
    QVRange unchanged(5, 2);
    view.setSelectedRange(&unchanged, false);
    EXPECT_EQ(view.selectedRange(), QVRange(5, 2));
}

TEST(HTMLView, UndoableSetStringAndInsertTextAreNamedStepsAndRestoreExactly) {
    HTMLView view;
    view.setString("keep\nthis");
    view.setSelectedRange(QVRange(0, 0));
    view.insertText("\r");  // a foreign break that setString would convert
    ASSERT_TRUE(view.collapseRange(QVRange(2, 3)));
    const QString before = view.string();
    const QString beforeFull = view.fullString();
    QVUndoManager& undo = view.undoManager();
    undo.closeEventGroup();

    view.undoableSetString("new\r\ntext", "Tidy");
    EXPECT_EQ(view.string(), "new\ntext");
    EXPECT_EQ(undo.undoActionName(), "Tidy");
    view.undo();
    EXPECT_EQ(view.string(), before);
    EXPECT_EQ(view.fullString(), beforeFull);  // the collapsed region came back too
    EXPECT_EQ(undo.redoActionName(), "Tidy");
    view.redo();
    EXPECT_EQ(view.string(), "new\ntext");
    EXPECT_EQ(undo.undoActionName(), "Tidy");

    view.setSelectedRange(QVRange(3, 0));
    view.undoableInsertText("<b>\r\n</b>", "Tag Completion");
    EXPECT_EQ(view.string(), "new<b>\n</b>\ntext");
    EXPECT_EQ(undo.undoActionName(), "Tag Completion");
    view.undo();
    EXPECT_EQ(view.string(), "new\ntext");
    bool ran = false;
    view.performUndoable([&] { ran = true; }, "Nothing");
    EXPECT_TRUE(ran);
    EXPECT_EQ(undo.undoActionName(), "Tidy");  // an empty step leaves no record
}

TEST(HTMLView, LoadingKeepsThePreviousTextWhenItFails) {
    TestDir dir;
    const QString good = dir.write("good.html", "<p>caf\xc3\xa9</p>\r\n");
    const QString latin = dir.write("latin.txt", "caf\xe9\n");
    auto recorder = std::make_shared<Recorder>();
    HTMLView view;
    view.setInterfaceDelegate(recorder);
    ASSERT_TRUE(view.loadFromPath(good));
    EXPECT_EQ(view.string(), QString::fromUtf8("<p>caf\xc3\xa9</p>\r\n"));  // the file's own breaks
    EXPECT_EQ(view.lineBreakName(), "DOS");
    EXPECT_EQ(view.stringEncoding(), TextEncoding::UTF8);
    EXPECT_TRUE(recorder->errors.empty());

    // A missing file and a folder: nothing changes, the owner hears of it as critical.
    for (const QString& path : {dir.file("missing.html"), dir.path()}) {
        QVError error;
        EXPECT_FALSE(view.loadFromPath(path, {}, &error));
        EXPECT_FALSE(error.isNull());
        EXPECT_EQ(view.string(), QString::fromUtf8("<p>caf\xc3\xa9</p>\r\n"));
        EXPECT_EQ(view.stringEncoding(), TextEncoding::UTF8);
        ASSERT_FALSE(recorder->errors.empty());
        EXPECT_TRUE(recorder->errors.back().second);
    }
    recorder->errors.clear();

    // The document's encoding is used; bytes it cannot read fall back and are reported mildly.
    view.setFileConfigurationReader([](const QString& key) {
        return key == HTMLView::FileEncodingKey ? QVariant(quint64(TextEncoding::ISOLatin1)) : QVariant();
    });
    ASSERT_TRUE(view.loadFromPath(latin, "Reload"));
    EXPECT_EQ(view.string(), QString::fromUtf8("caf\xc3\xa9\n"));
    EXPECT_EQ(view.stringEncoding(), TextEncoding::ISOLatin1);
    EXPECT_EQ(view.undoManager().undoActionName(), "Reload");
    view.setFileConfigurationReader({});
    ASSERT_TRUE(view.loadFromData(QByteArray("caf\xe9\n"), dir.file("data.txt")));
    ASSERT_EQ(recorder->errors.size(), 1u);
    EXPECT_EQ(recorder->errors[0].first.code(), FileEncodings::FallbackEncodingError);
    EXPECT_FALSE(recorder->errors[0].second);
    EXPECT_EQ(view.string().size(), 5);
}

TEST(HTMLView, PrintingDrawsACopyAndLeavesTextAndUndoAlone) {
    HTMLView view;
    view.setString("visible\nhidden part\nend\n");
    ASSERT_TRUE(view.collapseRange(QVRange(8, 11)));
    const QString visible = view.string();
    const QString undoDump = view.undoManager().dump();
    const QSizeF page(400, 3 * view.layoutManager().lineHeight() + 2);

    EXPECT_EQ(view.printPageCount(page), 2);  // four lines expanded, three to a page
    QImage image(page.toSize(), QImage::Format_RGB32);
    image.fill(Qt::red);
    QPainter painter(&image);
    view.drawPrintPage(painter, page, 0);
    painter.end();
    int black = 0;
    int other = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c(image.pixel(x, y));
            if (c.red() < 90 && c.green() < 90 && c.blue() < 90) ++black;
            else if (c.red() != c.green() || c.green() != c.blue()) ++other;
        }
    EXPECT_GT(black, 50);   // the text, expanded, in black
    EXPECT_EQ(other, 0);    // on white: no colours and none of the red underneath
    // The second line of the copy holds the hidden text: its row is inked.
    const int row = int(view.layoutManager().lineHeight() * 1.5);
    int inked = 0;
    for (int x = 0; x < 80; ++x) inked += qGray(image.pixel(x, row)) < 128;
    EXPECT_GT(inked, 0);

    TestDir dir;
    QPdfWriter pdf(dir.file("out.pdf"));
    EXPECT_TRUE(view.print(&pdf));
    EXPECT_EQ(view.string(), visible);
    EXPECT_EQ(view.undoManager().dump(), undoDump);
    EXPECT_GT(readAll(dir.file("out.pdf")).size(), 500);
}

TEST(HTMLView, TabSizeZeroIsTakenAsOne) {
    UserDefaults::standard().setInteger(0, QVTabSizeKey);
    HTMLView view;
    EXPECT_EQ(view.tabWidth(), 1);
    view.setString("\tx");
    view.resize(200, 100);
    view.ensureLayoutOfVisibleLines();
    EXPECT_NEAR(view.layoutManager().caretRect(1).left(), view.layoutManager().spaceWidth(), 1.0);
    view.setTabSize(-4);
    EXPECT_EQ(view.tabWidth(), 1);
    view.setTabSize(8);
    EXPECT_EQ(view.tabWidth(), 8);
    UserDefaults::standard().removeObject(QVTabSizeKey);
    Defaults::resetDefaults();
    EXPECT_EQ(HTMLView().tabWidth(), 4);
}

TEST(HTMLView, DroppedColoursBecomeTheirHexValue) {
    class Probe : public HTMLView {
    public:
        using HTMLView::stringForDrop;
    };
    Probe view;
    QMimeData colour;
    colour.setColorData(QColor(0x12, 0xab, 0xef));
    EXPECT_EQ(view.stringForDrop(&colour), "#12ABEF");
    QMimeData text;
    text.setText("words");
    EXPECT_EQ(view.stringForDrop(&text), "words");
}

TEST(HTMLView, CopyingTakesTheFullTextAndCodeNavigationSeesIt) {
    HTMLView view("/tmp/nav.js");
    view.setString("function alpha() {\n  x;\n}\nfunction beta() {\n}\n");
    ASSERT_TRUE(view.collapseRange(QVRange(18, 6)));
    QString filled;
    view.fillStringWithFullString(filled);
    EXPECT_EQ(filled, "function alpha() {\n  x;\n}\nfunction beta() {\n}\n");
    view.setSelectedRange(QVRange(0, view.length()));
    view.copy();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), filled);
    const QList<QVCodeNavMenuItem> items = view.codeNavItems();
    ASSERT_GE(items.size(), 2);
}
