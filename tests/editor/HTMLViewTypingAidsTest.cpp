// The typing aids driven from the keyboard of a real, shown editor view: tag completion and
// Close Tag, brackets, Return and Tab, block indentation, line-break conversion, entities, the
// escaped mode and the completion list; text, selection and undo checked after each.
#include "completion/QVCodeCompletionViewController.h"
#include "editor/HTMLView.h"
#include "editor/HTMLViewTypingAids.h"
#include "editor/QVBeep.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"
#include "shell/StringParsing.h"

#include <QApplication>
#include <QImage>
#include <QTest>

#include <gtest/gtest.h>

#include <random>

namespace {

std::unique_ptr<HTMLView> shownView(const QString& path, const QString& text) {
    auto view = std::make_unique<HTMLView>(path);
    view->resize(600, 300);
    view->setString(text);
    view->show();
    view->setFocus();
    return view;
}

// Counts beeps while alive.
struct Beeps {
    int count = 0;
    Beeps() { QVBeep::setSink([this] { ++count; }); }
    ~Beeps() { QVBeep::setSink(nullptr); }
};

// Settings changed for one test and put back after it.
struct Setting {
    QString key;
    QVariant old;
    Setting(const char* name, const QVariant& value) : key(QLatin1String(name)), old(UserDefaults::standard().objectForKey(key)) {
        UserDefaults::standard().setObject(value, key);
    }
    ~Setting() { UserDefaults::standard().setObject(old, key); }
};

// "|" marks the caret, "«...»" the selection, in both the start and the expected text.
struct Marked {
    QString text;
    QVRange selection;
};
Marked marked(QString text) {
    const qsizetype open = text.indexOf(u'\u00ab');
    if (open >= 0) {
        const qsizetype close = text.indexOf(u'\u00bb');
        text.remove(close, 1);
        text.remove(open, 1);
        return {text, QVRange(open, close - open - 1)};
    }
    const qsizetype bar = text.indexOf(u'|');
    text.remove(bar, 1);
    return {text, QVRange(bar, 0)};
}
QString shown(const HTMLView& view) {
    QString text = view.string();
    const QVRange s = view.selectedRange();
    if (s.length == 0) return text.insert(s.location, u'|');
    return text.insert(s.end(), u'\u00bb').insert(s.location, u'\u00ab');
}

// Types text key by key as a keyboard would (QTest's own typing knows ASCII only).
void type(QWidget* view, const QString& text) {
    for (const QChar c : text) {
        if (c.unicode() < 0x80) QTest::keyClick(view, char(c.unicode()));
        else QTest::sendKeyEvent(QTest::Click, view, Qt::Key_unknown, QString(c), Qt::NoModifier);
    }
}

struct TypingCase {
    const char* path;
    const char* start;
    const char* typed;
    const char* expected;
    int steps;  // undo steps that take the text back to the start, after which redo repeats them
};

void runTypingCases(const std::vector<TypingCase>& cases) {
    for (const TypingCase& c : cases) {
        const Marked start = marked(QString::fromUtf8(c.start));
        auto view = shownView(QString::fromLatin1(c.path), start.text);
        view->QVTextView::setSelectedRange(start.selection);
        type(view.get(), QString::fromUtf8(c.typed));
        const QString after = shown(*view);
        EXPECT_EQ(after, QString::fromUtf8(c.expected)) << c.start << " + " << c.typed;
        const QString text = view->string();
        for (int i = 0; i < c.steps; ++i) view->undo();
        EXPECT_EQ(view->string(), start.text) << c.start << " + " << c.typed << " undone";
        EXPECT_FALSE(view->undoManager().canUndo()) << c.start << " + " << c.typed;
        for (int i = 0; i < c.steps; ++i) view->redo();
        EXPECT_EQ(view->string(), text) << c.start << " + " << c.typed << " redone";
    }
}

}  // namespace

TEST(HTMLViewTypingAids, GreaterThanCompletesTagsByTheTable) {
    Setting spaces(QVTabsAreSpaces, false);
    runTypingCases({
        {"/t/a.html", "|", "<p>", "<p>|</p>", 3},
        {"/t/a.html", "\t|", "<div>", "\t<div>\n\t\t|\n\t</div>", 3},
        {"/t/a.html", "|", "<br>", "<br>|", 2},
        {"/t/a.html", "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Strict//EN\">\n|", "<br>",
         "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Strict//EN\">\n<br />|", 2},
        {"/t/a.html", "|", "<br/>", "<br/>|", 2},
        {"/t/a.html", "|", "<p >", "<p>|</p>", 3},
        {"/t/a.html", "|", "<a title=\">", "<a title=\">|", 1},
        {"/t/a.html", "|", "</p>", "</p>|", 1},
        {"/t/a.html", "|", "<>", "<>|", 1},
        {"/t/a.html", "|", "<!-- x -->", "<!-- x -->|", 2},
        // The selection is wrapped where it stands; a custom element closes by its own name.
        {"/t/a.html", "<b«text»", ">", "<b>text|</b>", 2},
        {"/t/a.html", "<b-x«text»", ">", "<b-x>text|</b-x>", 2},
        {"/t/a.html", "<ul«<li>a</li>»", ">", "<ul>\n\t<li>a</li>|\n</ul>", 2},
        // A comparison in a script keeps its space; tags complete in a script only as "script".
        {"/t/a.js", "|", "if (a < b && c >", "if (a < b && c >|", 1},
        {"/t/a.js", "|", "x = \"<b>", "x = \"<b>|", 1},
        {"/t/a.html", "<script>\nx = a |\n</script>", "<b>", "<script>\nx = a <b>|\n</script>", 1},
    });
}

TEST(HTMLViewTypingAids, CloseTagFindsTheInnermostOpenElement) {
    struct Case {
        const char* start;
        const char* expected;  // null: beeps and leaves the text
    };
    const Case cases[] = {
        {"<ul><li>one</li>|", "<ul><li>one</li></ul>|"},
        {"<p>text<br>|", "<p>text<br></p>|"},
        {"<div><x/><img src=\"a\" />|", "<div><x/><img src=\"a\" /></div>|"},
        {"<div><p>a</p><!-- c --><|", "<div><p>a</p><!-- c --></div>|"},
        {"<div></|", "<div></div>|"},
        {"<p>one</p>|", nullptr},
        {"plain|", nullptr},
    };
    for (const Case& c : cases) {
        Beeps beeps;
        const Marked start = marked(QString::fromUtf8(c.start));
        auto view = shownView("/t/c.html", start.text);
        view->QVTextView::setSelectedRange(start.selection);
        view->typingAids().closeTag();
        EXPECT_EQ(shown(*view), QString::fromUtf8(c.expected ? c.expected : c.start)) << c.start;
        EXPECT_EQ(beeps.count, c.expected ? 0 : 1) << c.start;
        if (c.expected) {
            EXPECT_EQ(view->undoManager().undoActionName(), "Close Tag");
            view->undo();
            EXPECT_EQ(view->string(), start.text);
        }
    }
    // Typing "</" closes the element when closing on type is on.
    Setting onType(QVAutoCompleteOnType, true);
    auto view = shownView("/t/c.html", "<ul><li>one</li>");
    view->QVTextView::setSelectedRange(QVRange(view->length(), 0));
    QTest::keyClicks(view.get(), "</");
    QCoreApplication::processEvents();
    EXPECT_EQ(shown(*view), "<ul><li>one</li></ul>|");
}

TEST(HTMLViewTypingAids, CloseTagOnALongPageAnswersAsAFreshView) {
    // A page many times longer than the stretches the walk back keeps: " </" at place after place,
    // with edits between (before, inside and after what was walked), closes what a view that
    // never walked the page closes, or beeps as it does.
    // Balanced pieces mostly, so that a walk goes back a long way; now and then one that is not.
    const char* const balanced[] = {"<p>text</p>", "<div><br></div>", "<img src=\"a>b\" />", "text > more ", "a < b ",
                                    "<!-- x > y -->", "<span class=\"s\">t</span>", "<ul><li>i</li></ul>\n"};
    const char* const pieces[] = {"<div>", "</div>", "<p>", "</p>", "<br>", "<span class=\"s\">", "</span>", ">", "<", "\n"};
    std::mt19937 random(84);
    QString page = "<html><body>\n";
    while (page.size() < 300000)
        page += QString::fromLatin1(random() % 2000 ? balanced[random() % std::size(balanced)] : pieces[random() % std::size(pieces)]);
    auto view = shownView("/t/long.html", page);
    QString steps;
    for (int step = 0; step < 80; ++step) {
        const qint64 caret = qint64(random() % quint64(view->length() + 1));
        view->QVTextView::setSelectedRange(QVRange(caret, 0));
        const QString before = view->string();
        Beeps beeps;
        view->typingAids().closeTag();
        const QString closed = view->string();
        const int beeped = beeps.count;
        steps += QStringLiteral("close at %1; ").arg(caret);
        {
            auto fresh = shownView("/t/long.html", before);
            fresh->QVTextView::setSelectedRange(QVRange(caret, 0));
            Beeps freshBeeps;
            fresh->typingAids().closeTag();
            // What was put in at the caret, and that nothing else changed.
            const QString put = closed.mid(caret, closed.size() - before.size());
            ASSERT_EQ(put.toStdString(), fresh->string().mid(caret, fresh->string().size() - before.size()).toStdString())
                << steps.toStdString();
            ASSERT_TRUE(closed == fresh->string()) << steps.toStdString();
            ASSERT_EQ(beeped, freshBeeps.count) << steps.toStdString();
        }
        if (closed != before) view->undo();
        // An edit somewhere, that may open or close an element or change a tag's end: a piece
        // typed, or a few characters deleted.
        const qint64 at = qint64(random() % quint64(view->length() + 1));
        if (random() % 2) {
            const QString piece = QString::fromLatin1(pieces[random() % std::size(pieces)]);
            view->QVTextView::setSelectedRange(QVRange(at, 0));
            view->insertText(piece.left(int(random() % 3) == 0 ? 1 : int(piece.size())));
            steps += QStringLiteral("insert at %1; ").arg(at);
        } else {
            const qint64 length = std::min<qint64>(qint64(random() % 30) + 1, view->length() - at);
            view->QVTextView::setSelectedRange(QVRange(at, length));
            view->deleteBackward();
            steps += QStringLiteral("delete %1 at %2; ").arg(length).arg(at);
        }
    }
}

TEST(HTMLViewTypingAids, BracketsFlashTheirOpenerReindentAndBeepWhenUnmatched) {
    Setting spaces(QVTabsAreSpaces, false);
    struct Case {
        const char* start;
        const char* typed;
        const char* expected;
        qint64 flashed;  // -1: a beep instead
        int steps;
    };
    const Case cases[] = {
        {"\tif (x) {\n    |", "}", "\tif (x) {\n\t}|", 8, 1},
        {"if (x) {\n|", "}", "if (x) {\n}|", 7, 1},
        {"if (x) {\n  a();|", "}", "if (x) {\n  a();}|", 7, 1},
        {"f(a[1|", "])", "f(a[1])|", 1, 1},
        {"x|", ")", "x)|", -1, 1},
        {"{\n  (|", "]", "{\n  (]|", -1, 1},
    };
    for (const Case& c : cases) {
        Beeps beeps;
        const Marked start = marked(QString::fromUtf8(c.start));
        auto view = shownView("/t/b.js", start.text);
        view->QVTextView::setSelectedRange(start.selection);
        QTest::keyClicks(view.get(), c.typed);
        EXPECT_EQ(shown(*view), QString::fromUtf8(c.expected)) << c.start;
        if (c.flashed >= 0) {
            EXPECT_EQ(view->typingAids().flashedRange(), QVRange(c.flashed, 1)) << c.start;
            EXPECT_EQ(beeps.count, 0) << c.start;
        } else {
            EXPECT_EQ(beeps.count, 1) << c.start;
        }
        for (int i = 0; i < c.steps; ++i) view->undo();
        EXPECT_EQ(view->string(), start.text) << c.start;
    }
    // An opener within the look's reach flashes; past it nothing is shown and nothing beeps, so
    // the key costs the same on a page of a gigabyte.
    for (const qint64 gap : {HTMLViewTypingAids::BracketReach - 8, HTMLViewTypingAids::BracketReach + 8}) {
        Beeps beeps;
        auto far = shownView("/t/far.js", "f(" + QString(gap, u'x'));
        far->QVTextView::setSelectedRange(QVRange(far->length(), 0));
        QTest::keyClicks(far.get(), ")");
        EXPECT_EQ(far->typingAids().flashedRange().isNotFound(), gap > HTMLViewTypingAids::BracketReach) << gap;
        EXPECT_EQ(beeps.count, 0) << gap;
    }
    // The flash ends by itself and never touches the selection; passing a closer flashes too.
    auto view = shownView("/t/b.js", "a(b)c");
    view->QVTextView::setSelectedRange(QVRange(3, 0));
    QTest::keyClick(view.get(), Qt::Key_Right);
    EXPECT_EQ(view->typingAids().flashedRange(), QVRange(1, 1));
    EXPECT_EQ(view->selectedRange(), QVRange(4, 0));
    // The opener's cell is painted in the selection colour while it flashes, and only then.
    auto highlighted = [&] {
        const QImage image = view->viewport()->grab().toImage();
        const QRectF cell = view->layoutManager().caretRect(1).united(view->layoutManager().caretRect(2))
                                .translated(-view->scrollOffset());
        int n = 0;
        const QRect box = cell.toAlignedRect().intersected(image.rect());
        for (int y = box.top(); y <= box.bottom(); ++y)
            for (int x = box.left(); x <= box.right(); ++x)
                if (QColor(image.pixel(x, y)) == view->selectedTextBackgroundColor()) ++n;
        return n;
    };
    EXPECT_GT(highlighted(), 10);
    QTRY_VERIFY(view->typingAids().flashedRange().isNotFound());
    EXPECT_EQ(highlighted(), 0);
    // A double click just after an opener selects the whole bracketed block.
    auto block = shownView("/t/b.js", "if (x) {\n  a();\n}\nb();");
    const QRectF after = block->layoutManager().caretRect(8).translated(-block->scrollOffset());
    QTest::mouseDClick(block->viewport(), Qt::LeftButton, {}, after.center().toPoint() + QPoint(1, 0));
    EXPECT_EQ(block->selectedRange(), QVRange(7, 10));
}

TEST(HTMLViewTypingAids, ReturnAndTabIndent) {
    struct Case {
        bool spaces;
        bool escaped;
        const char* start;
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
        const char* expected;
    };
    const Case cases[] = {
        // The added level follows the indentation the text already uses: its spaces, its step.
        {false, false, "    if (x) {|", Qt::Key_Return, {}, "    if (x) {\n        |"},
        {false, false, "body {\n  margin: 0;\n}\np {|", Qt::Key_Return, {}, "body {\n  margin: 0;\n}\np {\n  |"},
        {false, false, "a {\n    b: 0;\n    c {\n        d: 0;\n\n}\np {|", Qt::Key_Return, {}, "a {\n    b: 0;\n    c {\n        d: 0;\n\n}\np {\n    |"},
        {true, false, "a {\n\tb: 0;\n}\np {|", Qt::Key_Return, {}, "a {\n\tb: 0;\n}\np {\n\t|"},
        {false, false, "p {|", Qt::Key_Return, {}, "p {\n\t|"},
        {true, false, "p {|", Qt::Key_Return, {}, "p {\n    |"},
        {false, false, "\t\ta;| b", Qt::Key_Return, {}, "\t\ta;\n\t\t| b"},
        {false, true, "    if (x) {|", Qt::Key_Return, {}, "    if (x) {\n|"},
        {true, false, "ab cd |", Qt::Key_Tab, {}, "ab cd   |"},
        {true, false, "ab cd x|", Qt::Key_Tab, {}, "ab cd x |"},
        {false, false, "\t\tx\n|", Qt::Key_Tab, {}, "\t\tx\n\t\t|"},
        {false, false, "x\n|", Qt::Key_Tab, {}, "x\n\t|"},
        {false, false, "a(|\"\") b", Qt::Key_Tab, {}, "a(\"|\") b"},
        {false, false, "f([*x*]|, [*y*])", Qt::Key_Tab, {}, "f([*x*], «[*y*]»)"},
        // Blocks: every touched line, the selection kept over them; Shift-Tab takes it back.
        {false, false, "«a\nb\nc»\n", Qt::Key_Tab, {}, "«\ta\n\tb\n\tc»\n"},
        {false, false, "a\n«b\nc\n»d", Qt::Key_Tab, {}, "a\n«\tb\n\tc\n»d"},
        {false, false, "x«y\nz»", Qt::Key_Tab, {}, "\tx«y\n\tz»"},
        {false, false, "«\ta\n    b\n  c»", Qt::Key_Backtab, Qt::ShiftModifier, "«a\nb\n  c»"},
        {false, false, "\tx«y\n\tz»", Qt::Key_Backtab, Qt::ShiftModifier, "x«y\nz»"},
        {true, false, "«a\nb»", Qt::Key_Tab, {}, "«    a\n    b»"},
    };
    for (const Case& c : cases) {
        Setting spaces(QVTabsAreSpaces, c.spaces);
        const Marked start = marked(QString::fromUtf8(c.start));
        auto view = shownView("/t/r.js", start.text);
        view->QVTextView::setSelectedRange(start.selection);
        view->setEscaped(c.escaped);
        QTest::keyClick(view.get(), c.key, c.modifiers);
        EXPECT_EQ(shown(*view), QString::fromUtf8(c.expected)) << c.start;
        const QString text = view->string();
        while (view->undoManager().canUndo()) view->undo();
        EXPECT_EQ(view->string(), start.text) << c.start;
        while (view->undoManager().canRedo()) view->redo();
        EXPECT_EQ(view->string(), text) << c.start;
    }
}

TEST(HTMLViewTypingAids, BlockIndentationKeepsCollapsedRegionsAndUndoesExactly) {
    Setting spaces(QVTabsAreSpaces, false);
    auto view = shownView("/t/f.js", "a {\n  b;\n}\nc\n");
    ASSERT_TRUE(view->collapseRange(QVRange(3, 6)));  // "\n  b;\n" on the first line
    const QString visible = view->string();
    view->QVTextView::setSelectedRange(QVRange(0, view->length()));
    QTest::keyClick(view.get(), Qt::Key_Tab);
    EXPECT_EQ(view->fullString(), "\ta {\n  b;\n}\n\tc\n");
    EXPECT_EQ(view->undoManager().undoActionName(), "Indent Block");
    QTest::keyClick(view.get(), Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_EQ(view->string(), visible);
    EXPECT_EQ(view->fullString(), "a {\n  b;\n}\nc\n");
    view->undo();
    view->undo();
    EXPECT_EQ(view->string(), visible);
    EXPECT_EQ(view->fullString(), "a {\n  b;\n}\nc\n");
}

TEST(HTMLViewTypingAids, LineBreakConversionUndoesToTheExactText) {
    auto view = shownView("/t/l.html", QString());
    ASSERT_TRUE(view->loadFromData("a\nb\r\nc\rd {\ne\n}\n", "/t/l.html"));
    ASSERT_TRUE(view->collapseRange(QVRange(10, 3)));
    const QString visible = view->string();
    view->typingAids().setLineBreakType(2);
    EXPECT_EQ(view->string(), "a\r\nb\r\nc\r\nd {\r\ne\r\n}\r\n");
    EXPECT_EQ(view->lineBreak(), "\r\n");
    EXPECT_EQ(view->undoManager().undoActionName(), "Set Line Break Type");
    view->undo();
    EXPECT_EQ(view->string(), visible);
    EXPECT_EQ(view->fullString(), "a\nb\r\nc\rd {\ne\n}\n");
    EXPECT_EQ(view->lineBreakName(), "Unix");
    view->redo();
    EXPECT_EQ(view->string(), "a\r\nb\r\nc\r\nd {\r\ne\r\n}\r\n");
    EXPECT_EQ(view->lineBreakName(), "DOS");
    view->typingAids().setLineBreakType(7);
    EXPECT_EQ(view->lineBreakName(), "DOS");
    // Shift-End in a CR LF document stops before the break.
    view->QVTextView::setSelectedRange(QVRange(0, 0));
    QTest::keyClick(view.get(), Qt::Key_End, Qt::ShiftModifier);
    EXPECT_EQ(view->selectedRange(), QVRange(0, 1));
}

TEST(HTMLViewTypingAids, EntitiesEscapeAndWordDeletion) {
    struct Case {
        const char* path;
        bool escaped;
        const char* typed;
        const char* expected;
    };
    const Case cases[] = {
        {"/t/e.html", false, "a\u2192b", "a&rarr;b|"},
        {"/t/e.html", true, "\u2192\u2192", "\u2192&rarr;|"},  // the first change ends the mode
        {"/t/e.html", false, "caf\u00e9 a<b & c", "caf\u00e9 a<b & c|"},  // accents and ASCII stay
        {"/t/e.css", false, "\u2192", "\u2192|"},
        {"/t/e.js", false, "\u2192", "\u2192|"},
    };
    for (const Case& c : cases) {
        auto view = shownView(QString::fromLatin1(c.path), QString());
        view->setEscaped(c.escaped);
        type(view.get(), QString::fromUtf8(c.typed));
        EXPECT_EQ(shown(*view), QString::fromUtf8(c.expected)) << c.typed;
        EXPECT_FALSE(view->escaped());
    }
    auto view = shownView("/t/e.html", QString());
    type(view.get(), QString::fromUtf8("\u2192"));
    EXPECT_EQ(view->undoManager().undoActionName(), "Replace Character Entity");
    view->undo();
    EXPECT_EQ(view->string(), QString::fromUtf8("\u2192"));
    // Pasting several at once is left alone.
    view->setString(QString());
    view->insertText(QString::fromUtf8("\u2192\u2192"));
    EXPECT_EQ(view->string(), QString::fromUtf8("\u2192\u2192"));

    // Escape toggles the mode and tells the owner.
    struct Owner : HTMLViewDelegate {
        std::vector<bool> escapes;
        void htmlViewIsEscaped(HTMLView*, bool escaped) override { escapes.push_back(escaped); }
        void htmlViewChangedToLine(HTMLView*, qint64, qint64) override {}
        void htmlViewHadError(HTMLView*, const QVError&, bool) override {}
    };
    auto owner = std::make_shared<Owner>();
    view->setInterfaceDelegate(owner);
    QTest::keyClick(view.get(), Qt::Key_Escape);
    QTest::keyClick(view.get(), Qt::Key_Escape);
    QTest::keyClick(view.get(), Qt::Key_Escape);
    EXPECT_EQ(owner->escapes, (std::vector<bool>{true, false, true}));
    view->setString("<p");
    view->QVTextView::setSelectedRange(QVRange(2, 0));
    QTest::keyClicks(view.get(), ">");
    EXPECT_EQ(shown(*view), "<p>|");  // no aid while escaped, and the change ends the mode
    EXPECT_EQ(owner->escapes.back(), false);

    // Ctrl+Backspace: the character before the caret whole, then letters and digits.
    struct Word {
        const char* start;
        const char* expected;
    };
    const Word words[] = {
        {"a foo12|", "a |"}, {"ab.\r\n|", "ab.|"}, {"x.y|z", "x.|z"}, {"|abc", "|abc"}, {"a «bc»d", "a |d"},
        {"a \U0001F600|", "a |"}, {"\u00e9t\u00e9|", "|"},
    };
    for (const Word& w : words) {
        const Marked start = marked(QString::fromUtf8(w.start));
        auto v = shownView("/t/w.txt", QString());
        ASSERT_TRUE(v->loadFromData(start.text.toUtf8(), "/t/w.txt"));
        v->QVTextView::setSelectedRange(start.selection);
        QTest::keyClick(v.get(), Qt::Key_Backspace, Qt::ControlModifier);
        EXPECT_EQ(shown(*v), QString::fromUtf8(w.expected)) << w.start;
    }
}


TEST(HTMLViewTypingAids, CompletionListFromTheKeyboard) {
    auto view = shownView("/t/k.js", "var x = 1;\n");
    view->QVTextView::setSelectedRange(QVRange(view->length(), 0));
    QTest::keyClicks(view.get(), "docu");
    QVCodeCompletionViewController& list = view->typingAids().completionView();
    ASSERT_NE(view->typingAids().completionEngine(), nullptr);
    QTest::keyClick(view.get(), Qt::Key_F5);
    ASSERT_TRUE(list.isVisible());
    ASSERT_FALSE(list.entries().isEmpty());
    const QString chosen = list.currentCompletion();
    EXPECT_TRUE(chosen.startsWith("docu")) << chosen.toStdString();
    // Typing keeps the list; moving the caret hides it; Return accepts without a line break.
    QTest::keyClick(view.get(), Qt::Key_Left);
    EXPECT_FALSE(list.isVisible());
    QTest::keyClick(view.get(), Qt::Key_Right);
    QTest::keyClick(view.get(), Qt::Key_F5);
    ASSERT_TRUE(list.isVisible());
    QTest::keyClick(view.get(), Qt::Key_Return);
    EXPECT_FALSE(list.isVisible());
    EXPECT_FALSE(view->string().contains("docu\n"));
    EXPECT_TRUE(view->string().startsWith("var x = 1;\n" + chosen.left(4))) << view->string().toStdString();
    EXPECT_EQ(view->undoManager().undoActionName(), "Code Complete");
    view->undo();
    EXPECT_EQ(view->string(), "var x = 1;\ndocu");
    view->QVTextView::setSelectedRange(QVRange(view->length(), 0));
    // Escape hides it.
    QTest::keyClick(view.get(), Qt::Key_F5);
    ASSERT_TRUE(list.isVisible());
    QTest::keyClick(view.get(), Qt::Key_Escape);
    EXPECT_FALSE(list.isVisible());
    // A keyword trigger takes Tab before anything else, only without a selection.
    int triggered = 0;
    view->typingAids().setKeywordTrigger([&] { return ++triggered > 0; });
    view->setEscaped(false);
    QTest::keyClick(view.get(), Qt::Key_Tab);
    EXPECT_EQ(triggered, 1);
    EXPECT_EQ(view->string(), "var x = 1;\ndocu");
    view->QVTextView::setSelectedRange(QVRange(0, 3));
    QTest::keyClick(view.get(), Qt::Key_Tab);
    EXPECT_EQ(triggered, 1);
    EXPECT_EQ(view->string(), "\tvar x = 1;\ndocu");
}

TEST(HTMLViewTypingAids, StyleDeclarationAtAPosition) {
    struct Case {
        const char* text;
        qint64 position;
        QStringList expected;
    };
    const Case cases[] = {
        {"a { color: red; }", 13, {"color", "red"}},
        {"  margin:  0 auto", 17, {"margin", "0 auto"}},
        {"  margin:  0 auto\r\nb", 17, {"margin", "0 auto"}},
        {"a { color: red; }", 16, {"notfound", "notfound"}},
        {"x:", 2, {"x", "notfound"}},
    };
    for (const Case& c : cases) {
        auto view = shownView("/t/s.css", QString::fromLatin1(c.text));
        EXPECT_EQ(view->typingAids().openCSSParamBefore(c.position), c.expected) << c.text;
    }
}

TEST(HTMLViewTypingAids, LongLinesAndManyLines) {
    Setting spaces(QVTabsAreSpaces, false);
    // A megabyte on one line: tag completion, Return and Tab work at its end.
    const QString line = QString(1 << 20, u'x');
    auto view = shownView("/t/long.html", line);
    view->QVTextView::setSelectedRange(QVRange(view->length(), 0));
    QTest::keyClicks(view.get(), "<b>");
    EXPECT_TRUE(view->string().endsWith("x<b></b>"));
    EXPECT_EQ(view->selectedRange(), QVRange(line.size() + 3, 0));
    QTest::keyClick(view.get(), Qt::Key_Return);
    QTest::keyClick(view.get(), Qt::Key_Tab);
    EXPECT_TRUE(view->string().endsWith("x<b>\n\t</b>"));

    // 100,000 lines indented and outdented as one block each, and undone exactly.
    QString text;
    for (int i = 0; i < 100000; ++i) text += i % 3 ? QStringLiteral("a\n") : QStringLiteral("\n");
    auto many = shownView("/t/many.js", text);
    many->QVTextView::setSelectedRange(QVRange(0, many->length()));
    QTest::keyClick(many.get(), Qt::Key_Tab);
    EXPECT_EQ(many->string().count(u'\t'), 100000);
    EXPECT_EQ(many->selectedRange(), QVRange(0, text.size() + 100000));
    QTest::keyClick(many.get(), Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_EQ(many->string(), text);
    many->undo();
    many->undo();
    EXPECT_EQ(many->string(), text);
    many->redo();
    EXPECT_EQ(many->string().count(u'\t'), 100000);
}

// The open tag before a place, read from the stops kept along a long line, answers what the
// reading of its whole line from its start answers: on lines of quotes, escapes, "<" and ">"
// in every mix, at places far down a line and just after an edit anywhere before them (an edit
// drops the stops after it), for the line typed on and for another.
TEST(HTMLViewTypingAids, OpenTagBeforeAnswersAsTheWholeLineReadFromItsStart) {
    auto reference = [](const QString& text, qint64 position, bool inQuotesCheck) -> std::optional<QString> {
        const qint64 start = text.lastIndexOf(u'\n', position - 1) + 1;
        const QString line = text.mid(start, position - start);
        if (inQuotesCheck && StringParsing::locationInQuotes(line, line.size())) return std::nullopt;
        qsizetype lt = line.lastIndexOf(u'<');
        if (lt < 0 || line.size() == 1) return std::nullopt;
        for (qsizetype gt = line.lastIndexOf(u'>'); gt >= 0; gt = gt > 0 ? line.lastIndexOf(u'>', gt - 1) : -1) {
            if (StringParsing::locationInQuotes(line, gt)) continue;
            if (gt > lt) return std::nullopt;
            break;
        }
        if (lt + 1 < line.size() && line.at(lt + 1) == u'/') return std::nullopt;
        while (StringParsing::locationInQuotes(line, lt)) {
            lt = lt > 0 ? line.lastIndexOf(u'<', lt - 1) : -1;
            if (lt < 0) return std::nullopt;
        }
        qsizetype end = lt + 1;
        while (end < line.size() && line.at(end) != u' ' && line.at(end) != u'/') ++end;
        return line.mid(lt + 1, end - lt - 1);
    };
    const struct {
        const char* alphabet;
        int length;
    } lines[] = {
        {"abcdefgh <>\"\\/", 200'000},   // everything, often
        {"abcdefghijklmnop \"", 100'000},  // no tags: quotes alone
        {"ab<p\\\\\\\"\"", 150'000},         // runs of backslashes before quotes
        {"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx<", 120'000},  // rare tags, a block without one
    };
    std::mt19937 random(17);
    for (const auto& shape : lines) {
        SCOPED_TRACE(shape.alphabet);
        const std::string alphabet = shape.alphabet;
        QString text = QStringLiteral("<p>first line</p>\n");
        for (int i = 0; i < shape.length; ++i) text += QChar(alphabet[random() % alphabet.size()]);
        text += QStringLiteral("\n<div class=\"x\">last</div>\n");
        auto view = shownView("/t/stops.html", text);
        HTMLViewTypingAids& aids = view->typingAids();
        const qint64 lineStart = text.indexOf(u'\n') + 1;
        const qint64 lineEnd = text.indexOf(u'\n', lineStart);
        auto check = [&](qint64 at) {
            const QString now = view->string();
            for (const bool quotes : {true, false})
                ASSERT_EQ(aids.openTagBefore(at, quotes), reference(now, at, quotes)) << "at " << at << " quotes " << quotes;
        };
        // Far down the line first, then back up it and down again: the stops kept answer.
        for (const qint64 at : {lineEnd, lineStart + 5, lineEnd - 1, lineStart + (lineEnd - lineStart) / 2, lineEnd - 7, qint64(3)})
            check(at);
        // Right at the stops' spacing and beside it, before and after an edit there.
        const qint64 spacing = 16 * 1024;
        for (const qint64 stop : {lineStart + spacing, lineStart + 3 * spacing}) {
            for (const qint64 d : {-1, 0, 1, 8}) check(stop + d);
            view->QVTextView::setSelectedRange(QVRange(stop, 0));
            view->insertText(QStringLiteral("\"<"));
            for (const qint64 d : {-1, 0, 1, 2, 3, 9}) check(stop + d);
            view->undo();
            for (const qint64 d : {-1, 0, 1, 2}) check(stop + d);
        }
        // Edits anywhere in the line, each followed by asks after it and at the line's end.
        qint64 end = lineEnd;
        for (int round = 0; round < 12; ++round) {
            const qint64 at = lineStart + qint64(random() % quint64(end - lineStart));
            const QString put = QString(QChar(alphabet[random() % alphabet.size()]));
            const bool remove = round % 3 == 2;
            view->QVTextView::setSelectedRange(QVRange(at, remove ? 1 : 0));
            view->insertText(remove ? QString() : put);
            end += remove ? -1 : 1;
            check(end);
            check(std::min(end, at + 1 + qint64(random() % 40)));
            check(end - 1);
        }
    }
}

// The opener matched by a closer, read back through the text's pieces in windows, answers what a
// walk back a character at a time answers: unmatched closers that read to the text's start,
// matches just across a window's or an eight-character block's edge, texts edited into many
// pieces, and characters beside the brackets that share their low byte.
TEST(HTMLViewTypingAids, MatchingBracketBeforeAnswersAsAWalkBack) {
    auto reference = [](const QString& text, qint64 position, QChar open, QChar close) {
        qint64 count = 0;
        for (qint64 i = position - 1; i >= 0; --i) {
            if (text.at(i) == close) ++count;
            else if (text.at(i) == open && count-- == 0) return i;
        }
        return qint64(QVRange::NotFound);
    };
    std::mt19937 random(29);
    for (const char* alphabet : {"abc (x) [y] {z}\n", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa()", "((((()", "a)))"}) {
        SCOPED_TRACE(alphabet);
        const std::string letters = alphabet;
        QString text;
        for (int i = 0; i < 200'000; ++i) text += random() % 97 == 0 ? QChar(u'\u0128') : QChar(letters[random() % letters.size()]);
        auto view = shownView("/t/brackets.html", text);
        HTMLViewTypingAids& aids = view->typingAids();
        for (int round = 0; round < 40; ++round) {
            if (round % 4 == 3) {  // an edit splits the text's pieces
                view->QVTextView::setSelectedRange(QVRange(qint64(random() % quint64(view->length())), 0));
                view->insertText(QString(QChar(letters[random() % letters.size()])));
            }
            const QString now = view->string();
            const qint64 window = qint64(1) << 16;
            for (const qint64 at : {qint64(random() % quint64(now.size() + 1)), qint64(now.size()), window, window + 1, 2 * window + 7, qint64(8), qint64(0)}) {
                const qint64 position = std::min<qint64>(at, now.size());
                for (const auto& [open, close] : {std::pair{u'(', u')'}, std::pair{u'[', u']'}, std::pair{u'{', u'}'}})
                    ASSERT_EQ(aids.matchingBracketBefore(position, open, close).location, reference(now, position, open, close)) << "at " << position;
            }
        }
    }
}
