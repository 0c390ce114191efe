// The gutter over a real editor view and its folding storage, with a small brace-folding
// delegate standing in for the editor's fold patterns: numbers with every kind of line end,
// folded lines counted, markers kept through edits equal to markers made afresh, clicks that
// fold, unfold or select, and the hover band; and the work an edit costs, counted.
#include "editor/HTMLView.h"
#include "editor/QVFoldScanner.h"
#include "editor/QVLineNumberingRulerView.h"
#include "languages/QVParser.h"
#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

// '{' opens and '}' closes a block, one line at a time, the way the editor's fold patterns do.
class BraceFolding : public QVCodeFoldingDelegate {
public:
    explicit BraceFolding(HTMLView* view) : _view(view) {}
    int collapses = 0;

    QString lineText(qint64 index) const {
        const QVTextStorage& text = _view->textStorage();
        const qint64 line = text.lineOfPosition(index);
        return text.substring(QVRange(text.lineStart(line), text.lineContentsEnd(line) - text.lineStart(line)));
    }
    qint64 countForState(QVFoldMarkerState state, qint64 index) override {
        if (state == QVFoldMarkerState::Collapsed) return 1;
        return lineText(index).count(state == QVFoldMarkerState::Open ? u'{' : u'}');
    }
    qint64 numberOfLinesForState(QVFoldMarkerState, qint64) override { return 0; }
    bool rangeNeedsMarker(QVRange range, QVFoldMarkerState* state) override {
        if (_view->foldingStorage().firstAttachmentInRange(range)) {
            *state = QVFoldMarkerState::Collapsed;
            return true;
        }
        const QString line = _view->textStorage().substring(range);
        const qsizetype open = line.indexOf(u'{');
        const qsizetype close = line.indexOf(u'}');
        if (open >= 0) {
            if (line.indexOf(u'}', open) >= 0) return false;
            *state = close >= 0 && close < open ? QVFoldMarkerState::Other : QVFoldMarkerState::Open;
            return true;
        }
        if (close < 0) return false;
        *state = QVFoldMarkerState::End;
        return true;
    }
    bool collapseFromGlyphIndex(qint64 first, qint64 second, QVFoldMarkerState, qint64) override {
        ++collapses;
        const QVTextStorage& text = _view->textStorage();
        const qint64 start = text.lineStart(text.lineOfPosition(first)) + lineText(first).indexOf(u'{') + 1;
        qint64 end = text.length();
        if (second != QVRange::NotFound) end = text.lineStart(text.lineOfPosition(second)) + lineText(second).indexOf(u'}');
        return _view->collapseRange(QVRange(start, end - start));
    }
    bool expandForMarkerWithGlyphIndex(qint64 index) override { return _view->expandRegion(index); }
    void selectLineForGlyphIndex(qint64 index, QVLineNumberingRulerView*) override { _view->selectLineForGlyphIndex(index); }

private:
    HTMLView* _view;
};

struct Gutter {
    std::unique_ptr<HTMLView> view = std::make_unique<HTMLView>();
    BraceFolding folding{view.get()};
    QVLineNumberingRulerView* ruler = view->rulerView();

    explicit Gutter(const QString& text, int width = 500) {
        view->resize(width, 300);
        view->show();
        // Exactly this text: the view's own setString would turn its line ends into the view's.
        setText(text);
        ruler->setDelegate(&folding);
    }
    void setText(const QString& text) { view->textStorage().replaceCharacters(QVRange(0, view->length()), text); }
    QStringList numbers() const {
        QStringList result;
        for (const auto& label : ruler->visibleLabels()) result << label.text;
        return result;
    }
    QPoint rowPoint(int row, bool markerColumn) const {
        const int y = int(view->layoutManager().lineHeight() * (row + 0.5));
        return QPoint(markerColumn ? ruler->width() - 5 : ruler->width() - 25, y);
    }
};

}  // namespace

TEST(QVLineNumberingRulerView, NumbersCountEveryLineEndAndTheLinesThatFoldsHide) {
    struct Case {
        QString text;
        QStringList numbers;
    };
    const Case cases[] = {
        {"a\nb\nc", {"1", "2", "3"}},
        {"a\rb\rc", {"1", "2", "3"}},
        {"a\r\nb\r\n", {"1", "2", "3"}},  // the empty line after a final break has a number
        {"a\n\r\n\rb", {"1", "2", "3", "4"}},
        {"", {"1"}},
    };
    for (const Case& c : cases) {
        Gutter gutter(c.text);
        EXPECT_EQ(gutter.numbers(), c.numbers) << c.text.toStdString();
    }

    // A block whose closer is indented hides two line breaks (not three lines): the line after
    // it keeps its number of the full text, also when the folded line is scrolled out above.
    QString text = "x {\n  a\n  b\n  }\ny\n";
    for (int i = 0; i < 60; ++i) text += "z\n";
    Gutter gutter(text);
    gutter.ruler->toggleMarker(*gutter.ruler->markerAt(0));
    ASSERT_EQ(gutter.view->string().left(7), QStringLiteral("x {\uFFFC}\ny"));
    EXPECT_EQ(gutter.numbers().mid(0, 3), (QStringList{"1", "5", "6"}));
    EXPECT_EQ(gutter.ruler->markerAt(0)->state(), QVFoldMarkerState::Collapsed);
    EXPECT_EQ(gutter.ruler->markerAt(0)->numberOfLines(), 3);
    gutter.view->verticalScrollBar()->setValue(10);
    EXPECT_EQ(gutter.numbers().first(), "14");
    EXPECT_EQ(gutter.ruler->hiddenLinesBefore(gutter.view->length()), 3);

    // Numbers grow the gutter when they need more room.
    Gutter tall(QString(100000, u'\n'));
    EXPECT_GT(tall.ruler->thickness(), QVLineNumberingRulerView::DefaultThickness);
    EXPECT_EQ(tall.view->gutterWidth(), tall.ruler->thickness());
    tall.ruler->setLineNumbersEnabled(false);
    tall.ruler->setCodeFoldingEnabled(false);
    EXPECT_EQ(tall.view->gutterWidth(), 0);
    EXPECT_FALSE(tall.ruler->isVisible());
}

TEST(QVLineNumberingRulerView, MarkersFollowEditsAsIfMadeAfresh) {
    // Lines ending in CR alone get the same markers as lines ending in LF.
    Gutter gutter("f {\r  g {\r  }\r} else {\r}\r");
    EXPECT_EQ(gutter.ruler->markerDump(), "0 open 0\n4 open 0\n10 end 0\n14 other 0\n23 end 0\n");

    // Typing in a marker's line re-asks it; deleting lines moves and re-derives markers.
    gutter.view->setSelectedRange(QVRange(2, 1));
    gutter.view->insertText("x");
    EXPECT_EQ(gutter.ruler->markerDump(), "4 open 0\n10 end 0\n14 other 0\n23 end 0\n");

    // Random edits of braces, letters and every kind of line end: the markers kept through
    // the edits are those a full scan finds.
    QRandomGenerator random(16);
    const QString pieces[] = {"{", "}", "\n", "\r", "\r\n", "a", "} {", "  "};
    for (int step = 0; step < 400; ++step) {
        const qint64 length = gutter.view->length();
        const qint64 at = random.bounded(length + 1);
        const qint64 removed = random.bounded(std::min<qint64>(length - at, 4) + 1);
        const QString& piece = pieces[random.bounded(int(std::size(pieces)))];
        gutter.view->textStorage().replaceCharacters(QVRange(at, removed), random.bounded(3) ? piece : QString());
        const QString kept = gutter.ruler->markerDump();
        gutter.ruler->updateMarkers();
        ASSERT_EQ(kept, gutter.ruler->markerDump()) << "step " << step << ": " << gutter.view->string().toStdString();
    }
}

TEST(QVLineNumberingRulerView, ClicksFoldUnfoldAndSelect) {
    const QString text = "a {\n  b {\n  }\n}\n} stray\nlast\n";
    Gutter gutter(text);
    auto click = [&](int row, bool markerColumn) {
        QTest::mouseClick(gutter.ruler, Qt::LeftButton, {}, gutter.rowPoint(row, markerColumn));
    };

    // Outside the marker column a click selects the line, marker or not.
    click(1, false);
    EXPECT_EQ(gutter.view->selectedRange(), QVRange(4, 6));
    EXPECT_EQ(gutter.view->string(), text);

    // An end marker without an opener folds nothing.
    click(4, true);
    EXPECT_EQ(gutter.folding.collapses, 0);
    EXPECT_EQ(gutter.view->string(), text);

    // The opener folds to its own closer, past the nested block; its marker then unfolds it.
    click(0, true);
    EXPECT_EQ(gutter.view->string(), "a {\uFFFC}\n} stray\nlast\n");
    EXPECT_EQ(gutter.numbers().mid(0, 3), (QStringList{"1", "5", "6"}));
    click(0, true);
    EXPECT_EQ(gutter.view->string(), text);
    EXPECT_EQ(gutter.view->foldingStorage().fullString(), text);

    // Collapse-all folds the outermost blocks only; expand-all brings back the exact text.
    for (const QVFoldMarker& marker : gutter.ruler->markersWithState(QVFoldMarkerState::Open, 0)) gutter.ruler->toggleMarker(marker);
    EXPECT_EQ(gutter.view->string(), "a {\uFFFC}\n} stray\nlast\n");
    const QList<QVFoldMarker> collapsed = gutter.ruler->markersWithState(QVFoldMarkerState::Collapsed, -1);
    for (auto it = collapsed.rbegin(); it != collapsed.rend(); ++it) gutter.ruler->toggleMarker(*it);
    EXPECT_EQ(gutter.view->string(), text);

    // Fold current block: the innermost open block around the line; none on a line outside.
    EXPECT_TRUE(gutter.ruler->foldBlockForIndex(10));
    EXPECT_EQ(gutter.view->string(), "a {\n  b {\uFFFC}\n}\n} stray\nlast\n");
    EXPECT_FALSE(gutter.ruler->foldBlockForIndex(gutter.view->string().indexOf("last")));
    // A collapsed block inside keeps the outer one open around the lines after it.
    EXPECT_TRUE(gutter.ruler->foldBlockForIndex(gutter.view->string().indexOf("}\n}") + 2));
    EXPECT_EQ(gutter.view->string(), "a {\uFFFC}\n} stray\nlast\n");
    EXPECT_EQ(gutter.view->foldingStorage().fullString(), text);

    // A wrapped line numbers its first row and marks the others "-"; a click on a further row
    // selects the whole line.
    Gutter wrapped(QString("one\n") + QString(400, u'w') + "\nthree\n", 200);
    wrapped.view->setWrapsLines(true);
    const QStringList numbers = wrapped.numbers();
    ASSERT_GE(numbers.size(), 4);
    EXPECT_EQ(numbers.mid(0, 3), (QStringList{"1", "2", "-"}));
    QTest::mouseClick(wrapped.ruler, Qt::LeftButton, {}, wrapped.rowPoint(2, false));
    EXPECT_EQ(wrapped.view->selectedRange(), QVRange(4, 401));
}

TEST(QVLineNumberingRulerView, HoverBandFollowsThePointerUntilItLeavesOrAKeyIsPressed) {
    Gutter gutter("a\nb\nc\n");
    const qreal lineHeight = gutter.view->layoutManager().lineHeight();
    QTest::mouseMove(gutter.ruler, gutter.rowPoint(1, false));
    EXPECT_EQ(gutter.ruler->highlightRect().top(), int(std::floor(lineHeight)));
    EXPECT_EQ(gutter.ruler->highlightRect().width(), gutter.ruler->width());
    // Past the text (the empty last line has no character) there is no band.
    QTest::mouseMove(gutter.ruler, gutter.rowPoint(3, false));
    EXPECT_TRUE(gutter.ruler->highlightRect().isNull());
    QTest::mouseMove(gutter.ruler, gutter.rowPoint(0, false));
    EXPECT_FALSE(gutter.ruler->highlightRect().isNull());
    QTest::keyClick(gutter.view.get(), Qt::Key_Right);
    EXPECT_TRUE(gutter.ruler->highlightRect().isNull());
    QTest::mouseMove(gutter.ruler, gutter.rowPoint(0, false));
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(gutter.ruler, &leave);
    EXPECT_TRUE(gutter.ruler->highlightRect().isNull());
}

TEST(QVLineNumberingRulerView, TheEditorsOwnFoldPatternsDriveTheGutter) {
    TestDir dir;
    QString page = "<html>\n<body>\n";
    for (int i = 0; i < 30; ++i) page += QStringLiteral("<div class=\"c%1\">\n  <p>text %1</p>\n</div>\n").arg(i);
    page += "</body>\n</html>\n";
    const QString path = dir.write("page.html", page.toUtf8());
    HTMLView view(path);
    view.resize(500, 300);
    view.show();
    ASSERT_TRUE(view.loadFromPath(path));
    QVLineNumberingRulerView* ruler = view.rulerView();
    ASSERT_EQ(ruler->delegate(), &view);
    const std::optional<QVFoldMarker> div = ruler->markerAt(page.indexOf("<div"));
    ASSERT_TRUE(div);
    EXPECT_EQ(div->state(), QVFoldMarkerState::Open);

    // Typing keeps the markers a fresh scan would find.
    view.setSelectedRange(QVRange(page.indexOf("text 3"), 0));
    view.setFocus();
    QTest::keyClicks(&view, "<div>");
    QTest::keyClick(&view, Qt::Key_Return);
    QCoreApplication::processEvents();
    const QString kept = ruler->markerDump();
    ruler->updateMarkers();
    EXPECT_EQ(kept, ruler->markerDump());
    // Folding and unfolding the first block gives back exactly what was there.
    const QString typed = view.string();
    ASSERT_NE(typed, page);

    ruler->toggleMarker(*ruler->markerAt(page.indexOf("<div")));
    EXPECT_EQ(ruler->markerAt(page.indexOf("<div"))->state(), QVFoldMarkerState::Collapsed);
    // From the top, whatever the font's height made the typing scroll.
    view.verticalScrollBar()->setValue(0);
    QCoreApplication::processEvents();
    QStringList numbers;
    for (const auto& label : ruler->visibleLabels()) numbers << label.text;
    EXPECT_EQ(numbers.mid(2, 2), (QStringList{"3", "6"}));
    ruler->toggleMarker(*ruler->markerAt(page.indexOf("<div")));
    EXPECT_EQ(view.fullString(), typed);
    EXPECT_EQ(view.string(), typed);
}

TEST(QVLineNumberingRulerView, EditsTouchTheMarkersOfTheirLinesAndColoursNone) {
    // An edit costs the markers of its lines plus a walk down the tree, O(log n), wherever the
    // edit before it was: jumping between the start, the end and the middle stays as cheap as
    // typing in one place, and ten times the markers add only a few steps.
    struct Case {
        const char* name;
        qint64 at;  // thousandths of the text
        QString inserted;
        qint64 removed;
    };
    const Case cases[] = {
        {"typing on a marker's line", 0, QStringLiteral("y"), 0},
        {"typing at the end", 999, QStringLiteral("z"), 0},
        {"a line break in the middle splits a line", 500, QStringLiteral("\n"), 0},
        {"erasing at the start", 0, QString(), 1},
        {"an opener typed at the end", 998, QStringLiteral("{"), 0},
        {"a closer a quarter in", 250, QStringLiteral("}"), 0},
    };
    quint64 most[2] = {0, 0};
    for (int size : {4000, 40000}) {
        QString text;
        for (int i = 0; i < size / 2; ++i) text += "f {\n}\n";
        Gutter gutter(text);
        QVLineNumberingRulerView* ruler = gutter.ruler;
        QVTextStorage& storage = gutter.view->textStorage();
        ASSERT_EQ(ruler->foldMarkers().size(), size_t(size));
        for (const Case& c : cases) {
            const qint64 at = storage.lineStart(storage.lineOfPosition(storage.length() * c.at / 1000));
            const quint64 before = ruler->markersTouched();
            storage.replaceCharacters(QVRange(at, c.removed), c.inserted);
            const quint64 touched = ruler->markersTouched() - before;
            most[size == 40000] = std::max(most[size == 40000], touched);
            EXPECT_LE(touched, 160u) << c.name << " among " << size;
            const QString kept = ruler->markerDump();
            ruler->updateMarkers();
            ASSERT_EQ(kept, ruler->markerDump()) << c.name;
        }
    }
    EXPECT_LE(most[1], most[0] + 80) << "ten times the markers, " << most[0] << " then " << most[1] << " touched";

    QString text;
    for (int i = 0; i < 20000; ++i) text += "f {\n}\n";
    Gutter gutter(text);
    QVLineNumberingRulerView* ruler = gutter.ruler;
    QVTextStorage& storage = gutter.view->textStorage();
    ruler->settleMarkers();
    // Colours leave markers alone; a line whose parser changes is asked again.
    const quint64 asked = ruler->charactersAsked();
    const quint64 touched = ruler->markersTouched();
    storage.addAttribute(QVTextStorage::ForegroundColorAttribute, QColor(Qt::red), QVRange(0, storage.length()));
    EXPECT_EQ(ruler->charactersAsked(), asked);
    EXPECT_EQ(ruler->markersTouched(), touched);
    const std::shared_ptr<QVParser> other = QVParser::parserForPlist({}, QVariantMap{{"format-id", "text.other"}});
    const QVariant parser = QVariant::fromValue(other);
    storage.addAttribute(QVTextStorage::ParserAttribute, parser, QVRange(0, 3));
    storage.addAttribute(QVTextStorage::ParserAttribute, parser, QVRange(0, 3));
    EXPECT_GT(ruler->charactersAsked(), asked);
    EXPECT_LE(ruler->charactersAsked(), asked + 8) << "setting the same parser again asks nothing";
}

TEST(QVLineNumberingRulerView, ABigTextIsShownBeforeItsMarkersAreKnown) {
    QString text;
    for (int i = 0; i < 30000; ++i) text += "f {\n}\n";
    Gutter gutter(text);
    QVLineNumberingRulerView* ruler = gutter.ruler;
    // The new text asks nothing; its first paint asks the lines in view only.
    EXPECT_EQ(ruler->charactersAsked(), 0u);
    EXPECT_GT(ruler->unaskedLength(), text.size() - 10);
    const QList<QVLineNumberingRulerView::Label> labels = ruler->visibleLabels();
    ASSERT_FALSE(labels.isEmpty());
    EXPECT_EQ(labels[0].markerState, int(QVFoldMarkerState::Open));
    EXPECT_EQ(labels[1].markerState, int(QVFoldMarkerState::End));
    EXPECT_LE(ruler->charactersAsked(), quint64(3 * labels.size()));

    // An edit in the middle before the rest is asked, and a text pasted in it: both kept apart
    // from what is still to ask.
    QVTextStorage& storage = gutter.view->textStorage();
    storage.replaceCharacters(QVRange(text.size() / 2, 0), QStringLiteral("g {\n"));
    QString pasted;
    for (int i = 0; i < 2000; ++i) pasted += "h {\n}\n";
    storage.replaceCharacters(QVRange(text.size() / 4, 6), pasted);

    // The rest is asked while idle, each line once.
    ASSERT_TRUE(QTest::qWaitFor([&] { return ruler->unaskedLength() == 0; }, 10000));
    EXPECT_LE(ruler->charactersAsked(), quint64(storage.length()));
    const QString kept = ruler->markerDump();
    ruler->updateMarkers();
    EXPECT_EQ(kept, ruler->markerDump());
}

TEST(QVLineNumberingRulerView, TypingOnALongLineAsksItOnlyOnceTypingPauses) {
    TestDir dir;
    QString line;
    while (line.size() < 300000) line += "<div><p>x</p><span>y</span></div>";
    const QString page = "<html>\n" + line + "<ul>\n</ul>\n</html>\n";
    const QString path = dir.write("long.html", page.toUtf8());
    HTMLView view(path);
    view.resize(500, 300);
    view.show();
    ASSERT_TRUE(view.loadFromPath(path));
    QVLineNumberingRulerView* ruler = view.rulerView();
    ruler->settleMarkers();
    const qint64 longStart = page.indexOf("<div");
    ASSERT_TRUE(ruler->markerAt(longStart));
    EXPECT_EQ(ruler->markerAt(longStart)->state(), QVFoldMarkerState::Open);

    // Keystrokes at the end of the long line: nothing of it is scanned while typing goes on,
    // and its marker stays.
    view.setSelectedRange(QVRange(page.indexOf("<ul>"), 0));
    view.setFocus();
    const quint64 scanned = QVFoldScanner::charactersScanned();
    const quint64 asked = ruler->charactersAsked();
    QTest::keyClicks(&view, "<b>bold</b>");
    EXPECT_LE(ruler->charactersAsked() - asked, quint64(QVLineNumberingRulerView::LongLineLength));
    EXPECT_LE(QVFoldScanner::charactersScanned() - scanned, quint64(3 * QVLineNumberingRulerView::LongLineLength));
    EXPECT_EQ(ruler->markerAt(longStart)->state(), QVFoldMarkerState::Open);

    // Once typing pauses the line is asked once, in a few passes over it.
    const quint64 paused = QVFoldScanner::charactersScanned();
    ASSERT_TRUE(QTest::qWaitFor([&] { return QVFoldScanner::charactersScanned() != paused; }, 5000));
    EXPECT_LE(QVFoldScanner::charactersScanned() - paused, quint64(6 * page.size()));
    EXPECT_EQ(ruler->markerAt(longStart)->state(), QVFoldMarkerState::Open);
    const QString kept = ruler->markerDump();
    ruler->updateMarkers();
    ruler->settleMarkers();
    EXPECT_EQ(kept.toStdString(), ruler->markerDump().toStdString());
}

// The pause after keys on long lines asks those lines, not every line still to ask: those are
// asked in short slices while idle, so the timer's work stays the same at any length of text;
// nor the lines between two long ones typed into (the first and last line of a page).
TEST(QVLineNumberingRulerView, ThePauseAfterALongLineKeyAsksThatLineOnly) {
    QString text = "f {" + QString(40000, u'x') + "\n}\n";
    for (int i = 0; i < 30000; ++i) text += "f {\n}\n";
    text += "g {" + QString(40000, u'x') + "\n}\n";
    Gutter gutter(text);
    QVLineNumberingRulerView* ruler = gutter.ruler;
    gutter.view->finishHighlighting();
    QCoreApplication::processEvents();
    // Idle asking held off, so that only the pause's work shows.
    for (QTimer* timer : ruler->findChildren<QTimer*>())
        if (timer->interval() != QVLineNumberingRulerView::LongLineDelayMs) timer->stop();
    // Most of the short lines are still to ask (an idle slice may have asked a few already).
    const qint64 unasked = ruler->unaskedLength();
    ASSERT_GT(unasked, 30000 * 3);
    gutter.view->setSelectedRange(QVRange(10, 0));
    gutter.view->insertText("y");
    gutter.view->setSelectedRange(QVRange(text.indexOf("g {") + 10, 0));
    gutter.view->insertText("y");
    QTimer* pause = nullptr;
    for (QTimer* timer : ruler->findChildren<QTimer*>()) {
        if (timer->interval() == QVLineNumberingRulerView::LongLineDelayMs) pause = timer;
        else timer->stop();
    }
    ASSERT_TRUE(pause && pause->isActive());
    const quint64 asked = ruler->charactersAsked();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !pause->isActive(); }, 5000));
    EXPECT_GE(ruler->charactersAsked() - asked, 80000u);
    EXPECT_LE(ruler->charactersAsked() - asked, 80100u);
    EXPECT_GE(ruler->unaskedLength(), unasked - 100);

    // Many long lines put off (typed into here, or coloured in slices on a page of megabyte
    // lines): one pass asks about a slice of them, the rest follow pass by pass, and the markers
    // end as a fresh gutter's.
    QString longLines;
    for (int i = 0; i < 40; ++i) longLines += (i % 2 ? "g {" : "} f {") + QString(100000, u'x') + "\n}\n";
    Gutter many(longLines);
    QVTextStorage& storage = many.view->textStorage();
    many.view->finishHighlighting();
    many.ruler->settleMarkers();
    for (int i = 0; i < 40; ++i) {
        many.view->setSelectedRange(QVRange(storage.lineStart(2 * i) + 7, 0));
        many.view->insertText("y");
    }
    const quint64 before = many.ruler->charactersAsked();
    many.ruler->settleDeferredLines();
    const quint64 pass = many.ruler->charactersAsked() - before;
    EXPECT_GT(pass, 0u);
    EXPECT_LE(pass, quint64(QVLineNumberingRulerView::SettleSliceCharacters + 100010));
    ASSERT_TRUE(QTest::qWaitFor([&] { return many.ruler->charactersAsked() - before >= 40u * 100003; }, 10000));
    const QString kept = many.ruler->markerDump();
    many.ruler->updateMarkers();
    many.ruler->settleMarkers();
    EXPECT_EQ(kept.toStdString(), many.ruler->markerDump().toStdString());
}
