// The completion list on a real editor view, and completion end to end through the calls the
// editor makes on a keystroke and on acceptance.
#include "CompletionFixtures.h"

#include "completion/QVCodeCompletionViewController.h"
#include "completion/QVCSSCodeCompletion.h"
#include "completion/QVCompletionSheets.h"
#include "completion/QVKeywordCodeCompletion.h"
#include "completion/QVTagCodeCompletion.h"
#include "platform/MainQueue.h"
#include "editor/HTMLView.h"
#include "tests/support/TestSupport.h"

#include <QApplication>
#include <QColorDialog>
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QKeyEvent>
#include <QScrollBar>
#include <QTreeView>

#include <gtest/gtest.h>

using namespace completion;

namespace {

QList<QVCodeCompletionEntry> entriesNamed(const QStringList& keys, const QString& type = u"function"_qs) {
    QList<QVCodeCompletionEntry> list;
    for (const QString& key : keys) list.append(QVCodeCompletionEntry(key, type + u" "_qs + key + u"(a)"_qs));
    return list;
}

// What the editor does on a keystroke: the partial word, its candidates, the list.
bool request(HTMLView& view, QVCodeCompletion& engine, QVCodeCompletionViewController& popup, const QString& path = {}) {
    const QString text = view.fullString();
    const qint64 caret = view.selectedRange().location;
    const QString partial = engine.partialKeywordForString(text, caret);
    const auto entries = engine.completionsForString(partial, path, caret);
    if (!entries || entries->isEmpty()) {
        popup.hide();
        return false;
    }
    popup.setShowTypeColumn(engine.showTypeColumn());
    popup.displayEntries(*entries, partial);
    return true;
}

// What the editor does on return: the completion, through post-processing, over the range.
void accept(HTMLView& view, QVCodeCompletion& engine, QVCodeCompletionViewController& popup) {
    const QString completion = popup.currentCompletion();
    ASSERT_FALSE(completion.isNull());
    popup.hide();
    const QVRange range = engine.keywordRangeForString(view.fullString(), view.selectedRange().location);
    engine.postprocessCompletion(completion, range, &view, [&view](const QString& text, QVRange replaced) {
        view.setSelectedRange(replaced);
        view.undoableInsertText(text, u"Code Complete"_qs);
    });
}

struct Shown {
    std::unique_ptr<HTMLView> view;
    std::unique_ptr<QVCodeCompletionViewController> popup;
};

Shown shownView(const QString& text) {
    Shown shown;
    shown.view = std::make_unique<HTMLView>();
    shown.view->resize(400, 200);
    shown.view->setString(text);
    shown.view->show();
    shown.popup = std::make_unique<QVCodeCompletionViewController>(shown.view.get());
    return shown;
}

}  // namespace

TEST(QVCodeCompletionPopupTest, StaysInsideTheVisibleAreaAtEveryEdge) {
    const QString longLine = QString(300, u'x');
    const QString text = u"ab\n"_qs.repeated(60) + longLine;
    Shown shown = shownView(text);
    HTMLView& view = *shown.view;
    QVCodeCompletionViewController& popup = *shown.popup;
    const QRect visible = view.viewport()->rect();
    const struct {
        qint64 caret;
        int entries;
        bool above;
    } cases[] = {
        {0, 3, false},                            // top left: below the line
        {1, 40, false},                           // a long list is capped
        {text.size() - 1, 3, true},               // last line, far right (scrolled): above, shifted left
        {qint64(3 * 30), 1, false},               // the middle
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.caret);
        view.setSelectedRange(QVRange(c.caret, 0));
        view.scrollRangeToVisible(QVRange(c.caret, 0));
        QStringList keys;
        for (int i = 0; i < c.entries; ++i) keys << u"name"_qs + QString::number(i);
        popup.displayEntries(entriesNamed(keys), QString());
        ASSERT_TRUE(popup.isVisible());
        const QRect frame = popup.listWidget()->geometry();
        EXPECT_EQ(popup.listWidget()->parentWidget(), view.viewport());
        EXPECT_TRUE(visible.contains(frame)) << frame.x() << "," << frame.y() << " " << frame.width() << "x" << frame.height();
        EXPECT_GE(frame.left(), QVCodeCompletionViewController::Margin);
        EXPECT_LE(frame.right(), visible.width() - QVCodeCompletionViewController::Margin);
        EXPECT_EQ(frame.height(), std::min(c.entries * popup.rowHeight() + 2, QVCodeCompletionViewController::MaximumHeight));
        const QRect caret = view.caretViewportRect();
        EXPECT_EQ(frame.bottom() < caret.top(), c.above);
        if (!c.above) {
            EXPECT_EQ(frame.top(), caret.bottom() + 1 + 2);
        }
    }
    // A prototype wider than the list may be is cut to the widest list.
    QList<QVCodeCompletionEntry> wide{QVCodeCompletionEntry(u"w"_qs, u" "_qs + QString(400, u'W'))};
    view.resize(900, 300);
    popup.displayEntries(wide, u"w"_qs);
    EXPECT_EQ(popup.listWidget()->width(), QVCodeCompletionViewController::MaximumWidth);
    popup.setShowTypeColumn(false);
    EXPECT_TRUE(popup.listWidget()->isColumnHidden(0));
    popup.hide();
    EXPECT_FALSE(popup.isVisible());
}

TEST(QVCodeCompletionPopupTest, SelectionStaysInsideTheListAndKeysBesidesArrowsPass) {
    Shown shown = shownView(u"x"_qs);
    QVCodeCompletionViewController& popup = *shown.popup;
    EXPECT_EQ(popup.listWidget()->focusPolicy(), Qt::NoFocus);
    EXPECT_TRUE(popup.currentCompletion().isNull());
    EXPECT_FALSE(popup.shouldHideOnComplete());

    const QKeyEvent down(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier);
    const QKeyEvent up(QEvent::KeyPress, Qt::Key_Up, Qt::NoModifier);
    popup.displayEntries(entriesNamed({u"a"_qs, u"b"_qs, u"c"_qs, u"d"_qs, u"e"_qs}), u"c"_qs);
    EXPECT_EQ(popup.selectedRow(), 2);  // the partial word's own entry
    for (int i = 0; i < 6; ++i) popup.keyDown(&down);
    EXPECT_EQ(popup.selectedRow(), 4);  // no wrapping past the end
    // A shorter list without a match: the row kept from the longer one would point past it.
    popup.displayEntries(entriesNamed({u"a"_qs, u"b"_qs}), u"z"_qs);
    EXPECT_EQ(popup.selectedRow(), 0);
    EXPECT_EQ(popup.currentCompletion(), u"a([*a*])"_qs);
    popup.keyDown(&down);
    popup.displayEntries(entriesNamed({u"a"_qs, u"b"_qs, u"c"_qs}), u"z"_qs);
    EXPECT_EQ(popup.selectedRow(), 1);  // the selection stays
    popup.keyDown(&up);
    popup.keyDown(&up);
    EXPECT_EQ(popup.selectedRow(), 0);

    const struct {
        int key;
        bool handled;
    } keys[] = {{Qt::Key_Up, true},     {Qt::Key_Down, true},   {Qt::Key_Left, false}, {Qt::Key_Right, false},
                {Qt::Key_PageUp, false}, {Qt::Key_Return, false}, {Qt::Key_A, false},    {Qt::Key_F5, false}};
    for (const auto& k : keys) {
        const QKeyEvent event(QEvent::KeyPress, k.key, Qt::NoModifier, k.key == Qt::Key_A ? u"a"_qs : QString());
        EXPECT_EQ(popup.handlesEvent(&event), k.handled) << k.key;
    }
    // The view outlives nothing it should not: closing it with the list shown is safe.
    shown.view.reset();
    EXPECT_FALSE(popup.isVisible());
}

TEST(QVCodeCompletionPopupTest, AcceptingAFunctionInsertsItsArgumentsAsOneUndoStep) {
    const auto bundle = shippedBundle(u"JavaScript"_qs);
    const auto engine = shippedEngine<QVKeywordCodeCompletion>(bundle);
    ASSERT_TRUE(engine);
    const struct {
        QString text;
        qint64 caret;
        QString expected, type;
    } cases[] = {
        {u"var s = x.charA;\n"_qs, 15, u"var s = x.charAt([*pos*]);\n"_qs, u"method"_qs},
        {u"a\r\nparseIn"_qs, 10, u"a\r\nparseInt([*string*])"_qs, u"function"_qs},
        {u"parseFl"_qs, 7, u"parseFloat([*string*])"_qs, u"function"_qs},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        Shown shown = shownView(c.text);
        HTMLView& view = *shown.view;
        const QString before = view.fullString();  // in the view's own line breaks
        view.setSelectedRange(QVRange(c.caret - (c.text.size() - before.size()), 0));
        ASSERT_TRUE(request(view, *engine, *shown.popup));
        EXPECT_EQ(shown.popup->entries().first().type(), c.type);
        accept(view, *engine, *shown.popup);
        EXPECT_EQ(view.fullString(), QString(c.expected).replace(u"\r\n"_qs, view.lineBreak()));
        view.undo();
        EXPECT_EQ(view.fullString(), before);
    }
}

namespace {

// Selects the entry with that key, accepts it, and answers the sheet it opened (null: none).
std::shared_ptr<QVCodeCompletionUI> acceptValue(Shown& shown, QVCodeCompletion& engine, const QString& key,
                                                const QString& path = {}) {
    HTMLView& view = *shown.view;
    if (!request(view, engine, *shown.popup, path)) return nullptr;
    const QKeyEvent down(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier);
    for (int i = 0; i < shown.popup->entries().size() && shown.popup->entries().at(shown.popup->selectedRow()).key() != key; ++i)
        shown.popup->keyDown(&down);
    std::shared_ptr<QVCodeCompletionUI> opened;
    QVCodeCompletionUI::registerFactory([&opened](const QString& kind, const QString& label) -> std::shared_ptr<QVCodeCompletionUI> {
        if (kind == u"path"_qs) opened = std::make_shared<QVPathCodeCompletionUI>();
        else opened = std::make_shared<QVCSSCodeCompletionUI>(label);
        return opened;
    });
    accept(view, engine, *shown.popup);
    MainQueue::drain();
    QVCompletionSheets::install();
    return opened;
}

QDialog* dialogOf(const std::shared_ptr<QVCodeCompletionUI>& sheet) {
    const auto path = std::dynamic_pointer_cast<QVPathCodeCompletionUI>(sheet);
    return path ? path->dialog() : nullptr;
}

}  // namespace

TEST(QVCompletionSheetsTest, ValueSheetsInsertTheirFormattedValueAsOneUndoStep) {
    QVCompletionSheets::install();
    QVCompletionSheets::setUseNativeFileDialog(false);
    const auto css = shippedEngine<QVCSSCodeCompletion>(shippedBundle(u"CSS"_qs));
    ASSERT_TRUE(css);
    TestDir dir;
    const QString page = dir.write(u"site/pages/index.css"_qs, "");
    const QString image = dir.write(u"site/img/a b.png"_qs, "");

    struct Case {
        QString text, key;
        std::function<void(QDialog*)> fill;
        QString expected;
        QString document;
    };
    const Case cases[] = {
        {u"a { width: "_qs, u"length…"_qs,
         [](QDialog* d) {
             d->findChild<QLineEdit*>(u"number"_qs)->setText(u"12"_qs);
             d->findChild<QComboBox*>(u"units"_qs)->setCurrentText(u"em"_qs);
         },
         u"a { width: 12em"_qs},
        {u"a { width: "_qs, u"length…"_qs, [](QDialog* d) { d->findChild<QLineEdit*>(u"number"_qs)->setText(u"3"_qs); },
         u"a { width: 3px"_qs},
        {u"a { color: "_qs, u"color…"_qs,
         [](QDialog* d) { static_cast<QColorDialog*>(d)->setCurrentColor(QColor(0x12, 0xab, 0x34)); }, u"a { color: #12ab34"_qs},
        {u"a { z-index: "_qs, u"integer…"_qs, [](QDialog* d) { d->findChild<QLineEdit*>(u"value"_qs)->setText(u"7"_qs); },
         u"a { z-index: 7"_qs},
        // Paths: relative to the document; whole in an untitled one; quotes cannot end the value.
        {u"a { background-image: "_qs, u"uri…"_qs,
         [image](QDialog* d) { static_cast<QFileDialog*>(d)->selectFile(image); },
         u"a { background-image: url(\"../img/a b.png\")"_qs, page},
        {u"a { background-image: "_qs, u"uri…"_qs,
         [image](QDialog* d) { static_cast<QFileDialog*>(d)->selectFile(image); },
         u"a { background-image: url(\""_qs + image + u"\")"_qs, QString()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key.toStdString() + " " + c.document.toStdString());
        Shown shown = shownView(c.text);
        shown.view->setSelectedRange(QVRange(c.text.size(), 0));
        const auto sheet = acceptValue(shown, *css, c.key, c.document);
        ASSERT_TRUE(sheet);
        QDialog* dialog = dialogOf(sheet);
        ASSERT_TRUE(dialog && dialog->isVisible());
        EXPECT_EQ(dialog->windowModality(), Qt::WindowModal);
        c.fill(dialog);
        dialog->accept();
        EXPECT_EQ(shown.view->fullString(), c.expected);
        shown.view->undo();
        EXPECT_EQ(shown.view->fullString(), c.text);
    }

    // Cancelled, or its view closed while it is open: nothing is inserted, nothing breaks.
    Shown shown = shownView(u"a { width: "_qs);
    shown.view->setSelectedRange(QVRange(11, 0));
    auto sheet = acceptValue(shown, *css, u"length…"_qs);
    ASSERT_TRUE(dialogOf(sheet));
    dialogOf(sheet)->reject();
    EXPECT_EQ(shown.view->fullString(), u"a { width: "_qs);
    sheet = acceptValue(shown, *css, u"length…"_qs);
    ASSERT_TRUE(dialogOf(sheet));
    EXPECT_EQ(css->openSheetCount(), 1);
    shown.view.reset();
    EXPECT_EQ(css->openSheetCount(), 0);

    const struct {
        QVariant value;
        QString text;
    } unknown[] = {{u"Helvetica"_qs, u"Helvetica"_qs},
                   {u"Times New Roman"_qs, u"\"Times New Roman\""_qs},
                   {u"a\"b"_qs, u"\"a\\\"b\""_qs},
                   {12, u"12"_qs},
                   {QVariant(), u"\"\""_qs}};
    for (const auto& u : unknown) EXPECT_EQ(QVCSSCodeCompletionUI::stringValueForUnknownValue(u.value), u.text);
}

TEST(QVCompletionSheetsTest, MarkupCompletionEndToEndWithAPathValue) {
    QVCompletionSheets::install();
    QVCompletionSheets::setUseNativeFileDialog(false);
    const auto html = shippedEngine<QVTagCodeCompletion>(shippedBundle(u"HTML"_qs));
    ASSERT_TRUE(html);
    TestDir dir;
    const QString page = dir.write(u"site/index.html"_qs, "");
    const QString target = dir.write(u"site/docs/b.html"_qs, "");

    // Element, attribute, then value, each accepted leaves the list asking again.
    Shown shown = shownView(u"<p>\n<di"_qs);
    HTMLView& view = *shown.view;
    view.setSelectedRange(QVRange(view.length(), 0));
    ASSERT_TRUE(request(view, *html, *shown.popup, page));
    EXPECT_EQ(shown.popup->entries().first().type(), u"element"_qs);
    const QKeyEvent down(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier);
    shown.popup->keyDown(&down);  // "div" after "dialog"
    EXPECT_FALSE(shown.popup->shouldHideOnComplete());
    accept(view, *html, *shown.popup);
    EXPECT_EQ(view.fullString(), u"<p>\n<div "_qs);
    ASSERT_TRUE(request(view, *html, *shown.popup, page));
    EXPECT_EQ(shown.popup->entries().first().type(), u"attribute"_qs);

    Shown link = shownView(u"<a href=\"\">"_qs);
    link.view->setSelectedRange(QVRange(9, 0));
    const auto sheet = acceptValue(link, *html, u"path…"_qs, page);
    ASSERT_TRUE(dialogOf(sheet));
    static_cast<QFileDialog*>(dialogOf(sheet))->selectFile(target);
    dialogOf(sheet)->accept();
    EXPECT_EQ(link.view->fullString(), u"<a href=\"docs/b.html\">"_qs);
    link.view->undo();
    EXPECT_EQ(link.view->fullString(), u"<a href=\"\">"_qs);

    // A chosen name holding a double quote cannot end the attribute early.
    link.view->setSelectedRange(QVRange(9, 0));
    const auto quoted = acceptValue(link, *html, u"path…"_qs, page);
    ASSERT_TRUE(dialogOf(quoted));
    quoted->values().insert(u"path"_qs, dir.path() + u"/site/a\"b.html"_qs);
    quoted->end(1);
    EXPECT_EQ(link.view->fullString(), u"<a href=\"a&quot;b.html\">"_qs);
    delete dialogOf(quoted);
}
