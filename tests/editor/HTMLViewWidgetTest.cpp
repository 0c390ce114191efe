// The editor view as a widget, offscreen, with the shipped JavaScript bundle and light theme:
// typing, selection and caret moves through the key-binding table, undo and redo from the
// keyboard, and the pixels of a coloured keyword.
#include "editor/HTMLView.h"
#include "languages/QVTheme.h"
#include "languages/QVThemeRepository.h"

#include <QApplication>
#include <QBackingStore>
#include <QImage>
#include <QTest>

#include <functional>

#include <gtest/gtest.h>

namespace {

std::unique_ptr<HTMLView> shownView(const QString& path, const QString& text) {
    auto view = std::make_unique<HTMLView>(path);
    view->resize(600, 300);
    view->setString(text);
    view->show();
    view->setFocus();
    return view;
}

struct Recorder : HTMLViewDelegate {
    std::vector<bool> escapes;
    std::vector<std::pair<qint64, qint64>> positions;
    void htmlViewIsEscaped(HTMLView*, bool escaped) override { escapes.push_back(escaped); }
    void htmlViewChangedToLine(HTMLView*, qint64 line, qint64 column) override { positions.emplace_back(line, column); }
    void htmlViewHadError(HTMLView*, const QVError&, bool) override {}
};

}  // namespace

TEST(HTMLViewWidget, TypingSelectingAndUndoingFromTheKeyboard) {
    auto view = shownView("/tmp/w.js", "var a = 1;\nvar b = 2;\n");
    auto recorder = std::make_shared<Recorder>();
    view->setInterfaceDelegate(recorder);
    QTest::keyClick(view.get(), Qt::Key_Down);
    QTest::keyClick(view.get(), Qt::Key_End);
    EXPECT_EQ(view->selectedRange(), QVRange(21, 0));
    EXPECT_EQ(recorder->positions.back(), std::make_pair(qint64(2), qint64(10)));
    QTest::keyClick(view.get(), Qt::Key_Return);
    QTest::keyClicks(view.get(), "let c;");
    EXPECT_EQ(view->string(), "var a = 1;\nvar b = 2;\nlet c;\n");
    EXPECT_EQ(view->lineNumber(), 3);

    QTest::keyClick(view.get(), Qt::Key_Home, Qt::ShiftModifier);
    EXPECT_EQ(view->selectedRange(), QVRange(22, 6));
    QTest::keyClick(view.get(), Qt::Key_Left, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(view->selectedRange(), QVRange(19, 9));

    // Return is a step of its own, the typing after it another.
    QTest::keyClick(view.get(), Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(view->string(), "var a = 1;\nvar b = 2;\n\n");
    QTest::keyClick(view.get(), Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(view->string(), "var a = 1;\nvar b = 2;\n");
    QTest::keyClick(view.get(), Qt::Key_Y, Qt::ControlModifier);
    QTest::keyClick(view.get(), Qt::Key_Y, Qt::ControlModifier);
    EXPECT_EQ(view->string(), "var a = 1;\nvar b = 2;\nlet c;\n");

    // Typing ends the escaped mode and tells the owner.
    view->setEscaped(true);
    QTest::keyClicks(view.get(), "x");
    EXPECT_FALSE(view->escaped());
    ASSERT_FALSE(recorder->escapes.empty());
    EXPECT_FALSE(recorder->escapes.back());
}

TEST(HTMLViewWidget, DrawsAKeywordInItsThemeColour) {
    auto view = shownView("/tmp/k.js", "function go() {\n  return 1;\n}\n");
    view->finishHighlighting();
    const QColor keyword =
        view->textStorage().attribute(QVTextStorage::ForegroundColorAttribute, 0).value<QColor>();
    const QColor plain = view->textColor();
    ASSERT_TRUE(keyword.isValid());
    ASSERT_NE(keyword, plain);
    const QImage image = view->viewport()->grab().toImage();
    const QRectF word = view->layoutManager().caretRect(0).united(view->layoutManager().caretRect(8)).translated(-view->scrollOffset());
    const QRectF name = view->layoutManager().caretRect(9).united(view->layoutManager().caretRect(11)).translated(-view->scrollOffset());
    auto near = [](QColor a, QColor b) {
        return std::abs(a.red() - b.red()) < 40 && std::abs(a.green() - b.green()) < 40 && std::abs(a.blue() - b.blue()) < 40;
    };
    auto count = [&](const QRectF& area, const QColor& colour) {
        int n = 0;
        const QRect box = area.toAlignedRect().intersected(image.rect());
        for (int y = box.top(); y <= box.bottom(); ++y)
            for (int x = box.left(); x <= box.right(); ++x)
                if (near(QColor(image.pixel(x, y)), colour) && !near(QColor(image.pixel(x, y)), view->backgroundColor())) ++n;
        return n;
    };
    EXPECT_GT(count(word, keyword), 10);
    EXPECT_EQ(count(name, keyword), 0);
    // The background is the theme's.
    EXPECT_TRUE(near(QColor(image.pixel(image.width() - 2, image.height() - 2)), view->backgroundColor()));
}

TEST(HTMLViewWidget, CollapsedRegionsDrawTheirMarker) {
    auto view = shownView("/tmp/r.js", "if (x) {\n  a();\n  b();\n}\nafter();\n");
    ASSERT_TRUE(view->collapseRange(QVRange(8, 15)));
    view->setSelectedRange(QVRange(0, 0));
    const QImage image = view->viewport()->grab().toImage();
    const QRectF cell = view->layoutManager().caretRect(8).united(view->layoutManager().caretRect(9)).translated(-view->scrollOffset());
    int inked = 0;
    const QRect box = cell.toAlignedRect().intersected(image.rect());
    for (int y = box.top(); y <= box.bottom(); ++y)
        for (int x = box.left(); x <= box.right(); ++x)
            if (QColor(image.pixel(x, y)) != view->backgroundColor()) ++inked;
    EXPECT_GT(inked, 10);
    EXPECT_GT(cell.width(), view->layoutManager().spaceWidth() * 2);
    // The line after keeps its place one row down.
    EXPECT_EQ(view->layoutManager().rowOfPosition(view->string().indexOf("after")), 1);
}

// What each action repaints through the event loop leaves the window showing exactly what a
// repaint of the whole view shows: no changed line, moved line, selection or caret is missed.
TEST(HTMLViewWidget, RepaintingOnlyWhatChangedShowsWhatAFullRepaintShows) {
    QApplication::setCursorFlashTime(0);  // a caret that does not blink
    QString text = QStringLiteral("<html>\n<head>\n<script>\n");
    for (int i = 0; i < 12; ++i) text += QStringLiteral("var v%1 = \"s\" + f(%1); // note\n").arg(i);
    text += QStringLiteral("</script>\n</head>\n<body>\n");
    for (int i = 0; i < 30; ++i) text += QStringLiteral("<p class=\"c%1\">line %1</p>\n").arg(i);
    text += QStringLiteral("</body>\n</html>\n");
    auto view = shownView("/tmp/paint.html", text);
    view->activateWindow();
    view->finishHighlighting();
    QCoreApplication::processEvents();
    HTMLView* v = view.get();
    auto at = [&](const char* needle) { return qint64(v->string().indexOf(QLatin1String(needle))); };
    struct Step {
        const char* name;
        std::function<void()> act;
    };
    const Step steps[] = {
        {"type in a line", [&] { v->setSelectedRange(QVRange(at("v3 =") + 2, 0)); QTest::keyClicks(v, "ab"); }},
        {"a new line moves the lines below", [&] { QTest::keyClick(v, Qt::Key_Return); }},
        {"joining lines moves them back", [&] { QTest::keyClick(v, Qt::Key_Backspace); }},
        {"opening a comment recolours the lines below", [&] { v->setSelectedRange(QVRange(at("var v5"), 0)); QTest::keyClicks(v, "/*"); }},
        {"undo", [&] { QTest::keyClick(v, Qt::Key_Z, Qt::ControlModifier); }},
        {"extend the selection down", [&] { QTest::keyClick(v, Qt::Key_Down, Qt::ShiftModifier); QTest::keyClick(v, Qt::Key_Down, Qt::ShiftModifier); }},
        {"shrink it", [&] { QTest::keyClick(v, Qt::Key_Up, Qt::ShiftModifier); }},
        {"collapse it by a click", [&] { QTest::mouseClick(v->viewport(), Qt::LeftButton, {}, QPoint(30, 5)); }},
        {"select across lines and delete", [&] { v->setSelectedRange(QVRange(at("<p class=\"c2\""), 60)); QTest::keyClick(v, Qt::Key_Delete); }},
        {"an edit from elsewhere", [&] { v->textStorage().replaceCharacters(QVRange(at("line 7"), 4), u"LINE\nmore"); }},
        {"scroll to the end and type", [&] { QTest::keyClick(v, Qt::Key_End, Qt::ControlModifier); QTest::keyClicks(v, "<!-- end"); }},
        {"back to the top", [&] { QTest::keyClick(v, Qt::Key_Home, Qt::ControlModifier); }},
    };
    for (const Step& step : steps) {
        step.act();
        QCoreApplication::processEvents();
        QImage* window = dynamic_cast<QImage*>(v->backingStore()->paintDevice());
        ASSERT_NE(window, nullptr);
        const QRect area(v->viewport()->mapTo(v, QPoint(0, 0)), v->viewport()->size());
        const QImage shown = window->copy(area).convertToFormat(QImage::Format_RGB32);
        const QImage full = v->viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
        EXPECT_TRUE(shown == full) << step.name;
    }
    QApplication::setCursorFlashTime(1000);
}
