// The editor widget, offscreen: typing, commands through the key-binding table, selection by
// mouse, clipboard, undo and redo, input methods, and what it draws.
#include "platform/QVTextView.h"

#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QImage>
#include <QInputMethodEvent>
#include <QMimeData>
#include <QScrollBar>
#include <QTest>

#include <gtest/gtest.h>

#include <vector>

namespace {

// Shows the view so that it has a size and focus handling; waits for nothing.
std::unique_ptr<QVTextView> makeView(const QString& text = {}) {
    auto view = std::make_unique<QVTextView>();
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSize(11);
    view->setTextFont(font);
    view->resize(400, 300);
    view->setString(text);
    view->show();
    view->setFocus();
    return view;
}

// A view that refuses changes to a protected prefix and counts what it is told.
class GuardedView : public QVTextView {
public:
    qint64 protectedLength = 0;
    int changes = 0;
    int selectionChanges = 0;

protected:
    bool shouldChangeTextInRange(QVRange range, const QString&) override { return range.location >= protectedLength; }
    void didChangeText() override { ++changes; }
    void didChangeSelection() override { ++selectionChanges; }
};

}  // namespace

TEST(QVTextView, TypingIsOneUndoStepAndUndoRedoRestoreText) {
    auto view = makeView("hello");
    view->setSelectedRange(QVRange(5, 0));
    QTest::keyClicks(view.get(), " world");
    EXPECT_EQ(view->string(), "hello world");
    EXPECT_EQ(view->undoManager().undoActionName(), "Typing");
    EXPECT_EQ(view->undoManager().undoCount(), 1);
    QTest::keyClick(view.get(), Qt::Key_Backspace);
    QTest::keyClick(view.get(), Qt::Key_Backspace);
    QTest::keyClicks(view.get(), "ms");
    EXPECT_EQ(view->string(), "hello worms");
    EXPECT_EQ(view->undoManager().undoCount(), 1);  // still one step

    QTest::keyClick(view.get(), Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(view->string(), "hello");
    QTest::keyClick(view.get(), Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(view->string(), "hello worms");
    EXPECT_EQ(view->selectedRange(), QVRange(5, 6));  // redo selects what it put back

    // Moving the caret ends the step: the next typing is a step of its own.
    QTest::keyClick(view.get(), Qt::Key_Home);
    QTest::keyClicks(view.get(), ">");
    EXPECT_EQ(view->undoManager().undoCount(), 2);
    view->undo();
    EXPECT_EQ(view->string(), "hello worms");
}

TEST(QVTextView, KeyBindingTableDrivesTheCaret) {
    struct Case {
        const char* name;
        QString text;
        QVRange start;
        QKeyCombination key;
        QVRange expected;
    };
    const Qt::KeyboardModifier Shift = Qt::ShiftModifier;
    const Qt::KeyboardModifier Ctrl = Qt::ControlModifier;
    const std::vector<Case> cases = {
        {"right steps over \\r\\n as one", "ab\r\ncd", {2, 0}, QKeyCombination(Qt::Key_Right), {4, 0}},
        {"left steps back over \\r\\n", "ab\r\ncd", {4, 0}, QKeyCombination(Qt::Key_Left), {2, 0}},
        {"left collapses a selection to its start", "abcdef", {1, 3}, QKeyCombination(Qt::Key_Left), {1, 0}},
        {"shift+right extends", "abcdef", {1, 0}, QKeyCombination(Shift, Qt::Key_Right), {1, 1}},
        {"ctrl+right to the end of the word", "one two", {0, 0}, QKeyCombination(Ctrl, Qt::Key_Right), {3, 0}},
        {"ctrl+left to the start of the word", "one two", {6, 0}, QKeyCombination(Ctrl, Qt::Key_Left), {4, 0}},
        {"down keeps the column", "abcd\nxy\nefgh", {3, 0}, QKeyCombination(Qt::Key_Down), {7, 0}},
        {"up from the first line goes to the start", "abcd\nefgh", {2, 0}, QKeyCombination(Qt::Key_Up), {0, 0}},
        {"down from the last line goes to the end", "abcd\nefgh", {6, 0}, QKeyCombination(Qt::Key_Down), {9, 0}},
        {"home", "abcd\nefgh", {7, 0}, QKeyCombination(Qt::Key_Home), {5, 0}},
        {"end stops before the break", "ab\r\ncd", {0, 0}, QKeyCombination(Qt::Key_End), {2, 0}},
        {"shift+end selects to the end of the line", "abcd\nefgh", {1, 0}, QKeyCombination(Shift, Qt::Key_End), {1, 3}},
        {"ctrl+end", "abcd\nefgh", {1, 0}, QKeyCombination(Ctrl, Qt::Key_End), {9, 0}},
        {"ctrl+a", "abcd\nefgh", {1, 0}, QKeyCombination(Ctrl, Qt::Key_A), {0, 9}},
        {"backspace removes \\r\\n whole", "ab\r\ncd", {4, 0}, QKeyCombination(Qt::Key_Backspace), {2, 0}},
        {"delete removes the selection", "abcdef", {1, 3}, QKeyCombination(Qt::Key_Delete), {1, 0}},
        {"delete joining \\r and \\n leaves the caret before the pair", "a\rb\nc", {2, 0}, QKeyCombination(Qt::Key_Delete), {1, 0}},
        {"backspace joining \\r and \\n likewise", "a\rb\nc", {3, 0}, QKeyCombination(Qt::Key_Backspace), {1, 0}},
        {"a selection set from inside a pair takes the pair", "ab\r\ncd", {3, 2}, QKeyCombination(Shift, Qt::Key_Right), {2, 4}},
    };
    for (const Case& c : cases) {
        auto view = makeView(c.text);
        view->setSelectedRange(c.start);
        QTest::keyClick(view.get(), c.key.key(), c.key.keyboardModifiers());
        EXPECT_EQ(view->selectedRange(), c.expected) << c.name;
    }
    auto view = makeView("ab\r\ncd");
    view->setSelectedRange(QVRange(4, 0));
    QTest::keyClick(view.get(), Qt::Key_Backspace);
    EXPECT_EQ(view->string(), "abcd");
    QTest::keyClick(view.get(), Qt::Key_Return);
    EXPECT_EQ(view->string(), "ab\ncd");  // the base inserts a line feed; line breaks stay as they are

    // Rebinding a key changes what it does; an unbound key with text types it.
    QVKeyBindings bindings = QVKeyBindings::standard();
    bindings.bind(QKeyCombination(Qt::ControlModifier, Qt::Key_E), "moveToEndOfDocument");
    bindings.unbind(QKeyCombination(Qt::Key_Home));
    view->setKeyBindings(bindings);
    view->setSelectedRange(QVRange(0, 0));
    QTest::keyClick(view.get(), Qt::Key_E, Qt::ControlModifier);
    EXPECT_EQ(view->selectedRange(), QVRange(5, 0));
    QTest::keyClick(view.get(), Qt::Key_Home);
    EXPECT_EQ(view->selectedRange(), QVRange(5, 0));
    EXPECT_FALSE(view->doCommand("noSuchCommand"));
    EXPECT_TRUE(QVTextView::hasCommand("deleteWordBackward"));
    for (const QKeyCombination key : QVKeyBindings::standard().keysForCommand("paste"))
        EXPECT_TRUE(key.keyboardModifiers() != Qt::NoModifier) << "paste needs a modifier";
}

TEST(QVTextView, RefusedChangesLeaveTextAndUndoAlone) {
    GuardedView view;
    view.resize(300, 200);
    view.setString("keep:edit");
    view.protectedLength = 5;
    view.show();
    view.setFocus();
    view.setSelectedRange(QVRange(2, 0));
    QTest::keyClicks(&view, "xx");
    EXPECT_EQ(view.string(), "keep:edit");
    EXPECT_EQ(view.changes, 0);
    EXPECT_FALSE(view.undoManager().canUndo());
    view.setSelectedRange(QVRange(9, 0));
    QTest::keyClicks(&view, "!");
    EXPECT_EQ(view.string(), "keep:edit!");
    EXPECT_EQ(view.changes, 1);
    EXPECT_GE(view.selectionChanges, 1);
    view.setEditable(false);
    QTest::keyClicks(&view, "?");
    EXPECT_EQ(view.string(), "keep:edit!");
}

TEST(QVTextView, MouseClicksDragsAndDoubleClicksSelect) {
    auto view = makeView("alpha beta gamma\nsecond line");
    QVTextLayoutManager& layout = view->layoutManager();
    auto pointOf = [&](qint64 position) {
        const QRectF caret = layout.caretRect(position).translated(-view->scrollOffset());
        return QPoint(int(caret.left()) + 1, int(caret.center().y()));
    };
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, pointOf(8));
    EXPECT_EQ(view->selectedRange(), QVRange(8, 0));

    QTest::mousePress(view->viewport(), Qt::LeftButton, {}, pointOf(2));
    QTest::mouseMove(view->viewport(), pointOf(20));
    QTest::mouseRelease(view->viewport(), Qt::LeftButton, {}, pointOf(20));
    EXPECT_EQ(view->selectedRange(), QVRange(2, 18));

    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, pointOf(7));
    EXPECT_EQ(view->selectedRange(), QVRange(6, 4));
    EXPECT_EQ(view->undoManager().undoCount(), 0);

    QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::ShiftModifier, pointOf(14));
    EXPECT_EQ(view->selectedRange().end(), 14);
}

TEST(QVTextView, ClipboardCopyCutPasteAreUndoable) {
    auto view = makeView("one two three");
    view->setSelectedRange(QVRange(4, 4));
    QTest::keyClick(view.get(), Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "two ");
    QTest::keyClick(view.get(), Qt::Key_X, Qt::ControlModifier);
    EXPECT_EQ(view->string(), "one three");
    EXPECT_EQ(view->undoManager().undoActionName(), "Cut");
    view->setSelectedRange(QVRange(9, 0));
    QTest::keyClick(view.get(), Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(view->string(), "one threetwo ");
    EXPECT_EQ(view->undoManager().undoActionName(), "Paste");
    view->undo();
    view->undo();
    EXPECT_EQ(view->string(), "one two three");
}

TEST(QVTextView, InputMethodCommitsAreTyping) {
    auto view = makeView("ab");
    view->setSelectedRange(QVRange(1, 0));
    QInputMethodEvent preedit(QStringLiteral("ka"), {});
    QApplication::sendEvent(view.get(), &preedit);
    EXPECT_EQ(view->string(), "ab");
    QInputMethodEvent commit;
    commit.setCommitString(QString::fromUtf8("\xe3\x81\x8b"));
    QApplication::sendEvent(view.get(), &commit);
    EXPECT_EQ(view->string(), QString::fromUtf8("a\xe3\x81\x8b" "b"));
    EXPECT_EQ(view->selectedRange(), QVRange(2, 0));
    EXPECT_EQ(view->inputMethodQuery(Qt::ImSurroundingText).toString(), QString::fromUtf8("a\xe3\x81\x8b" "b"));
    EXPECT_EQ(view->inputMethodQuery(Qt::ImCursorPosition).toInt(), 2);
    view->undo();
    EXPECT_EQ(view->string(), "ab");

    // In a very long line an input method sees the text around the caret, positions counted
    // from where that text starts; a short line it sees whole.
    QString longLine;
    for (int i = 0; longLine.size() < 50000; ++i) longLine += QStringLiteral("w%1 ").arg(i);
    view->setString(QStringLiteral("short line\n") + longLine + QStringLiteral("\nend"));
    const qint64 start = 11;
    for (qint64 column : {qint64(0), qint64(5), qint64(999), qint64(25000), qint64(longLine.size() - 3), qint64(longLine.size())}) {
        view->setSelectedRange(QVRange(start + column, 0));
        const QString around = view->inputMethodQuery(Qt::ImSurroundingText).toString();
        const int cursor = view->inputMethodQuery(Qt::ImCursorPosition).toInt();
        EXPECT_LE(around.size(), 2000) << column;
        EXPECT_EQ(view->inputMethodQuery(Qt::ImAnchorPosition).toInt(), cursor) << column;
        EXPECT_EQ(around.left(cursor), longLine.mid(column - cursor, cursor)) << column;
        EXPECT_EQ(around.mid(cursor), longLine.mid(column, around.size() - cursor)) << column;
        EXPECT_EQ(cursor, std::min<qint64>(column, 1000)) << column;
    }
    view->setSelectedRange(QVRange(3, 2));
    EXPECT_EQ(view->inputMethodQuery(Qt::ImSurroundingText).toString(), "short line");
    EXPECT_EQ(view->inputMethodQuery(Qt::ImAnchorPosition).toInt(), 3);
}

TEST(QVTextView, SetStringDropsStaleUndoRecordsAndASharedManagerForgetsADeadView) {
    auto manager = std::make_shared<QVUndoManager>();
    {
        auto view = makeView("abc");
        view->setUndoManager(manager);
        view->setSelectedRange(QVRange(3, 0));
        QTest::keyClicks(view.get(), "d");
        EXPECT_TRUE(manager->canUndo());
        view->setString("fresh");
        EXPECT_FALSE(manager->canUndo());
        QTest::keyClicks(view.get(), "x");
        EXPECT_TRUE(manager->canUndo());
    }
    EXPECT_FALSE(manager->canUndo());
    EXPECT_FALSE(manager->undo());
}

TEST(QVTextView, DrawsColouredTextSelectionAndCaretInItsColours) {
    auto view = makeView("plain RED plain\nsecond");
    view->textStorage().addAttribute(QVTextStorage::ForegroundColorAttribute, QColor(Qt::red), QVRange(6, 3));
    view->setBackgroundColor(QColor(30, 30, 30));
    view->setTextColor(Qt::white);
    view->setSelectedTextBackgroundColor(QColor(0, 0, 200));
    view->setSelectedRange(QVRange(16, 3));
    const QImage image = view->viewport()->grab().toImage();
    auto count = [&](QRect area, auto predicate) {
        int n = 0;
        for (int y = area.top(); y <= area.bottom(); ++y)
            for (int x = area.left(); x <= area.right(); ++x)
                if (predicate(QColor(image.pixel(x, y)))) ++n;
        return n;
    };
    const qreal lineHeight = view->layoutManager().lineHeight();
    const QRectF red = view->layoutManager().caretRect(6).united(view->layoutManager().caretRect(9));
    const QRect redArea = red.translated(-view->scrollOffset()).toAlignedRect();
    EXPECT_GT(count(redArea, [](QColor c) { return c.red() > 150 && c.green() < 100 && c.blue() < 100; }), 5);
    EXPECT_EQ(count(QRect(0, 0, 4, int(lineHeight)), [](QColor c) { return c != QColor(30, 30, 30); }), 0);
    const QRect second(QPoint(view->TextInset, int(lineHeight) + 1), QSize(10, int(lineHeight) - 2));
    EXPECT_GT(count(second, [](QColor c) { return c.blue() > 150 && c.red() < 80; }), 10);
}

TEST(QVTextView, ScrollsToShowTheCaretAndWrapsLines) {
    QString text;
    for (int i = 0; i < 300; ++i) text += QStringLiteral("line %1 ").arg(i) + QString(i % 7 * 20, u'x') + u'\n';
    auto view = makeView(text);
    view->setSelectedRange(QVRange(text.size(), 0));
    view->scrollRangeToVisible(QVRange(text.size(), 0));
    EXPECT_EQ(view->lastVisibleLine(), 300);
    QTest::keyClick(view.get(), Qt::Key_Home, Qt::ControlModifier);
    EXPECT_EQ(view->firstVisibleLine(), 0);
    QTest::keyClick(view.get(), Qt::Key_PageDown);
    EXPECT_GT(view->firstVisibleLine(), 5);

    view->setWrapsLines(true);
    view->ensureLayoutOfVisibleLines();
    EXPECT_GT(view->layoutManager().rowCount(), 300);
    EXPECT_EQ(view->layoutManager().check(), "");
    EXPECT_EQ(view->horizontalScrollBar()->maximum(), 0);
}

TEST(QVTextView, DroppedTextGoesWhereItFallsAsOneStep) {
    auto view = makeView("left right");
    QMimeData data;
    data.setText("MIDDLE ");
    const QRectF caret = view->layoutManager().caretRect(5).translated(-view->scrollOffset());
    const QPointF at(caret.left() + 1, caret.center().y());
    QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view->viewport(), &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDragMoveEvent move(at.toPoint(), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view->viewport(), &move);
    QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view->viewport(), &drop);
    EXPECT_EQ(view->string(), "left MIDDLE right");
    EXPECT_EQ(view->selectedRange(), QVRange(5, 7));
    EXPECT_EQ(view->undoManager().undoActionName(), "Drag");
    view->undo();
    EXPECT_EQ(view->string(), "left right");

    // Nothing droppable, or a view that cannot be edited, refuses.
    QMimeData empty;
    QDragEnterEvent refused(at.toPoint(), Qt::CopyAction, &empty, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view->viewport(), &refused);
    EXPECT_FALSE(refused.isAccepted());
    view->setEditable(false);
    QDragEnterEvent readOnly(at.toPoint(), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view->viewport(), &readOnly);
    EXPECT_FALSE(readOnly.isAccepted());
}
