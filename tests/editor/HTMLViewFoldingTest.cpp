// Folding in the editor view: the markers the gutter asks for, by the JavaScript bundle's fold
// patterns, and the collapse and expand edits behind them, in text with LF, CR and CR LF breaks.
#include "editor/HTMLView.h"
#include "editor/QVEditorToolSeams.h"
#include "editor/QVBeep.h"
#include "editor/QVEditorNotifications.h"
#include "editor/QVLineNumberingRulerView.h"
#include "platform/NotificationCenter.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"
#include "platform/QVUndoManager.h"

#include <QTest>

#include <gtest/gtest.h>

namespace {

const QChar Region(QVTextAttachment::Character);

// The state the view gives each line (-1: no marker), lines as the storage counts them.
std::vector<int> markerStates(HTMLView& view) {
    std::vector<int> states;
    const QVTextStorage& text = view.textStorage();
    for (qint64 line = 0; line < text.lineCount(); ++line) {
        const qint64 start = text.lineStart(line);
        QVFoldMarkerState state{};
        states.push_back(view.rangeNeedsMarker(QVRange(start, text.lineContentsEnd(line) - start), &state) ? int(state) : -1);
    }
    return states;
}

qint64 startOfLine(HTMLView& view, qint64 line) { return view.textStorage().lineStart(line); }

}  // namespace

TEST(HTMLViewFolding, MarkersCountsAndFoldsAlikeForEveryLineBreak) {
    for (const QString& lineBreak : {QStringLiteral("\n"), QStringLiteral("\r"), QStringLiteral("\r\n")}) {
        SCOPED_TRACE(lineBreak == "\n" ? "LF" : lineBreak == "\r" ? "CR" : "CR LF");
        HTMLView view("/tmp/fold.js");
        const QStringList lines = {"function f() {", "  if (a) {", "    b();", "  } else {", "    c();", "  }",
                                   "}", "var x = [1, 2];", "g();"};
        const QString text = lines.join(lineBreak);
        view.QVSyntaxHighlightingTextView::setString(text);  // the breaks as they are
        view.finishHighlighting();
        EXPECT_EQ(markerStates(view), (std::vector<int>{0, 0, -1, 3, -1, 1, 1, -1, -1}));
        EXPECT_EQ(view.countForState(QVFoldMarkerState::Open, startOfLine(view, 0)), 1);
        EXPECT_EQ(view.countForState(QVFoldMarkerState::End, startOfLine(view, 6)), 1);
        EXPECT_EQ(view.countForState(QVFoldMarkerState::Open, startOfLine(view, 2)), 0);

        // The outer block: from after "{" of line 0 to before "}" of line 6.
        QVUndoManager& undo = view.undoManager();
        const qint64 changes = undo.changeCount();
        ASSERT_TRUE(view.collapseFromGlyphIndex(startOfLine(view, 0), startOfLine(view, 6), QVFoldMarkerState::Open, 0));
        EXPECT_TRUE(view.shouldIgnoreChangeForCount());
        EXPECT_EQ(view.string(), QString("function f() {") + Region + "}" + lineBreak + "var x = [1, 2];" + lineBreak + "g();");
        EXPECT_EQ(view.fullString(), text);
        EXPECT_EQ(markerStates(view), (std::vector<int>{2, -1, -1}));
        EXPECT_EQ(view.numberOfLinesForState(QVFoldMarkerState::Collapsed, 0), 6);
        EXPECT_EQ(view.countForState(QVFoldMarkerState::Collapsed, 0), 1);

        // Only the region on the asked line expands: line 1 holds none.
        EXPECT_FALSE(view.expandForMarkerWithGlyphIndex(startOfLine(view, 1)));
        ASSERT_TRUE(view.expandForMarkerWithGlyphIndex(0));
        EXPECT_EQ(view.string(), text);
        EXPECT_EQ(undo.changeCount(), changes);

        // Folding from the end marker ("  } else {" closes the inner block), then undo and redo.
        ASSERT_TRUE(view.collapseFromGlyphIndex(startOfLine(view, 1), startOfLine(view, 3), QVFoldMarkerState::End, 0));
        EXPECT_EQ(view.string().section(Region, 0, 0), "function f() {" + lineBreak + "  if (a) {");
        EXPECT_EQ(view.fullString(), text);
        EXPECT_EQ(undo.undoActionName(), "Collapse Region");
        undo.undo();
        EXPECT_EQ(view.string(), text);
        undo.redo();
        EXPECT_EQ(view.fullString(), text);
        EXPECT_EQ(view.string().count(Region), 1);
        undo.undo();

        // Without an opener on the first line, or with an empty block, nothing folds and the
        // gutter hears so; an open block without its closer folds to the end of the text.
        EXPECT_FALSE(view.collapseFromGlyphIndex(startOfLine(view, 2), startOfLine(view, 6), QVFoldMarkerState::Open, 0));
        EXPECT_EQ(view.string(), text);
        ASSERT_TRUE(view.collapseFromGlyphIndex(startOfLine(view, 1), QVRange::NotFound, QVFoldMarkerState::Open, 0));
        EXPECT_EQ(view.string(), "function f() {" + lineBreak + "  if (a) {" + Region);
        EXPECT_EQ(view.fullString(), text);
        EXPECT_EQ(undo.changeCount(), changes);
    }
}

TEST(HTMLViewFolding, DoubleClickOnARegionExpandsItAndTypingAroundItUndoesExactly) {
    HTMLView view("/tmp/click.js");
    view.resize(500, 200);
    view.setString("if (a) {\n  b();\n}\n");
    view.show();
    view.setFocus();
    ASSERT_TRUE(view.collapseFromGlyphIndex(0, startOfLine(view, 2), QVFoldMarkerState::Open, 0));
    ASSERT_EQ(view.string(), QString("if (a) {") + Region + "}\n");

    // Typing after the region and undoing it keeps the region.
    view.setSelectedRange(QVRange(view.length(), 0));
    QTest::keyClicks(&view, "x();");
    QTest::keyClick(&view, Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(view.string(), QString("if (a) {") + Region + "}\n");
    EXPECT_EQ(view.fullString(), "if (a) {\n  b();\n}\n");

    view.ensureLayoutOfVisibleLines();
    const QRectF cell = view.layoutManager().caretRect(8).united(view.layoutManager().caretRect(9)).translated(-view.scrollOffset());
    QTest::mouseDClick(view.viewport(), Qt::LeftButton, {}, cell.center().toPoint());
    EXPECT_EQ(view.string(), "if (a) {\n  b();\n}\n");
    EXPECT_EQ(view.undoManager().undoActionName(), "Expand Region");
}

TEST(HTMLViewFolding, CommandsFoldThroughTheGutterAndRestoreTheTextExactly) {
    const QString text = "a {\n  b {\n    c;\n  }\n}\nd {\n  e [\n    f\n  ]\n}\ng;\n";
    auto view = std::make_unique<HTMLView>("/tmp/commands.js");
    view->resize(500, 300);
    view->setString(text);
    view->show();
    view->finishHighlighting();
    QVLineNumberingRulerView* gutter = view->rulerView();
    ASSERT_NE(gutter, nullptr);
    gutter->updateMarkers();
    int beeps = 0;
    const auto previous = QVBeep::setSink([&] { ++beeps; });

    // Only the outermost blocks collapse, with one edit of the text whatever their number; the
    // document is not edited by it. Its undo steps are one per block all the same, the first
    // block first.
    int edits = 0;
    QVEditorToolSeams::setTextChangeObserver([&](HTMLView&) { ++edits; });
    view->collapseAllBlocks();
    QVEditorToolSeams::setTextChangeObserver(nullptr);
    EXPECT_EQ(edits, 1);
    EXPECT_EQ(view->string(), QString("a {") + Region + "}\nd {" + Region + "}\ng;\n");
    view->undoManager().undo();
    EXPECT_EQ(view->string(), QString("a {\n  b {\n    c;\n  }\n}\nd {") + Region + "}\ng;\n");
    view->undoManager().redo();
    EXPECT_EQ(view->string(), QString("a {") + Region + "}\nd {" + Region + "}\ng;\n");
    EXPECT_EQ(view->fullString(), text);
    EXPECT_TRUE(view->shouldIgnoreChangeForCount());
    // The gutter caught up with the folds: one collapsed marker per region, lines counted.
    ASSERT_EQ(gutter->foldMarkers().size(), 2u);
    for (const QVFoldMarker& marker : gutter->foldMarkers()) {
        EXPECT_EQ(marker.state(), QVFoldMarkerState::Collapsed);
        EXPECT_EQ(marker.numberOfLines(), 4);
    }
    // Expand All is one edit of the text too, its undo steps one per region, the first first.
    edits = 0;
    QVEditorToolSeams::setTextChangeObserver([&](HTMLView&) { ++edits; });
    view->expandAllBlocks();
    QVEditorToolSeams::setTextChangeObserver(nullptr);
    EXPECT_EQ(edits, 1);
    EXPECT_EQ(gutter->foldMarkers().size(), 8u);
    EXPECT_EQ(view->string(), text);
    view->undoManager().undo();
    EXPECT_EQ(view->string(), QString("a {") + Region + "}\nd {\n  e [\n    f\n  ]\n}\ng;\n");
    view->undoManager().undo();
    EXPECT_EQ(view->string(), QString("a {") + Region + "}\nd {" + Region + "}\ng;\n");
    view->undoManager().redo();
    view->undoManager().redo();
    EXPECT_EQ(view->string(), text);
    // The folds left their lines to colour later; once coloured they look as a fresh text does.
    view->finishHighlighting();
    {
        HTMLView fresh("/tmp/commands.js");
        fresh.setString(text);
        fresh.finishHighlighting();
        EXPECT_EQ(view->textStorage().dump(), fresh.textStorage().dump());
    }

    // Nested collapsed regions: the inner one comes back expanded inside the outer one.
    view->setSelectedRange(QVRange(text.indexOf("c;"), 0));
    view->foldCurrentBlock();
    EXPECT_EQ(view->string(), QString("a {\n  b {") + Region + "  }\n}\nd {\n  e [\n    f\n  ]\n}\ng;\n");
    view->collapseAllBlocks();
    EXPECT_EQ(view->string().count(Region), 2);
    view->expandAllBlocks();
    EXPECT_EQ(view->string(), text);
    view->undoManager().undo();
    EXPECT_EQ(view->fullString(), text);
    view->undoManager().redo();
    EXPECT_EQ(view->string(), text);

    // Outside every block the command beeps and changes nothing.
    view->setSelectedRange(QVRange(text.indexOf("g;"), 0));
    view->foldCurrentBlock();
    EXPECT_EQ(beeps, 1);
    EXPECT_EQ(view->string(), text);
    QVBeep::setSink(previous);

    // Switching folding off while the view is in the background waits for its activation.
    UserDefaults::standard().setBool(false, QVCodeFoldingEnabled);
    view->setActive(false);
    NotificationCenter::defaultCenter().post(QString::fromLatin1(QorvelCodeFoldingPrefChanged));
    EXPECT_TRUE(gutter->codeFoldingEnabled());
    view->setActive(true);
    EXPECT_FALSE(gutter->codeFoldingEnabled());
    EXPECT_TRUE(gutter->foldMarkers().empty());
    UserDefaults::standard().setBool(true, QVCodeFoldingEnabled);
    NotificationCenter::defaultCenter().post(QString::fromLatin1(QorvelCodeFoldingPrefChanged));
    EXPECT_TRUE(gutter->codeFoldingEnabled());
    EXPECT_FALSE(gutter->foldMarkers().empty());
}
