// The editor view as a widget, offscreen, with the shipped JavaScript bundle and light theme:
// typing, selection and caret moves through the key-binding table, undo and redo from the
// keyboard, and the pixels of a coloured keyword.
#include "editor/HTMLView.h"
#include "languages/QVTheme.h"
#include "languages/QVThemeRepository.h"

#include <QImage>
#include <QTest>

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

    QTest::keyClick(view.get(), Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(view->string(), "var a = 1;\nvar b = 2;\n");
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
