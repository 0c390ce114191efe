// The shared find panel and the editor's range searches and quick search, on real editor views
// with collapsed regions.
#include "editor/HTMLView.h"
#include "editor/HTMLViewDelegate.h"
#include "editor/HTMLViewFind.h"
#include "editor/QVBeep.h"
#include "editor/QVFileView.h"
#include "platform/QVError.h"
#include "platform/QVPerform.h"
#include "platform/UserDefaults.h"
#include "tools/QVFindPasteboard.h"
#include "tools/QVSingleFileSearchController.h"

#include <QApplication>
#include <QDir>

#include <gtest/gtest.h>

namespace {

constexpr QChar Region(0xFFFC);

struct Errors : HTMLViewDelegate {
    QStringList messages;
    void htmlViewIsEscaped(HTMLView*, bool) override {}
    void htmlViewChangedToLine(HTMLView*, qint64, qint64) override {}
    void htmlViewHadError(HTMLView*, const QVError& error, bool critical) override {
        messages << QString::number(error.code()) + (critical ? " critical " : " ") + error.localizedDescription();
    }
};

class SingleFileFindTest : public ::testing::Test {
protected:
    void SetUp() override {
        UserDefaults::standard().removeObject(QStringLiteral("QVDoGrepKey"));
        UserDefaults::standard().removeObject(QStringLiteral("QVDoMatchCaseKey"));
        QVFindPasteboard::general().setString(QString());
        _oldSink = QVBeep::setSink([this] { ++beeps; });
        QVSingleFileSearchController::install();
    }
    void TearDown() override { QVBeep::setSink(_oldSink); }

    // A view over text whose breaks stay as they are.
    std::unique_ptr<HTMLView> view(const QString& text) {
        auto v = std::make_unique<HTMLView>(QStringLiteral("/tmp/find.txt"));
        v->QVSyntaxHighlightingTextView::setString(text);
        return v;
    }
    QString selected(const HTMLView& v) { return v.foldingStorage().fullStringInRange(v.selectedRange()); }

    int beeps = 0;
    std::function<void()> _oldSink;
};

TEST_F(SingleFileFindTest, NextAndPreviousFindMatchesInEveryCollapsedRegionInTextOrder) {
    // Two collapsed regions: the second holds the only later match, the first one none.
    auto v = view(QStringLiteral("foo [aaa] bar [b foo] foo"));
    ASSERT_TRUE(v->collapseRange(QVRange(15, 5)));  // "b foo"
    ASSERT_TRUE(v->collapseRange(QVRange(5, 3)));   // "aaa"
    ASSERT_EQ(v->string(), QString("foo [") + Region + "] bar [" + Region + "] foo");
    QVSingleFileSearchController panel;
    panel.setTextView(v.get());
    panel.setValue(QStringLiteral("foo"), QStringLiteral("searchString"));
    ASSERT_TRUE(panel.valid());

    v->setSelectedRange(QVRange(0, 3));
    const char* forward[] = {"foo", "foo", "foo", "foo"};
    QList<qint64> starts;
    for (const char* expected : forward) {
        panel.next();
        EXPECT_EQ(selected(*v), QString::fromLatin1(expected));
        starts << HTMLViewFind::fullSelectedRange(*v).location;
    }
    // The match inside the second region comes before the last visible one; then it wraps.
    EXPECT_EQ(starts, (QList<qint64>{17, 22, 0, 17}));
    EXPECT_EQ(v->fullString(), QStringLiteral("foo [aaa] bar [b foo] foo"));
    panel.previous();
    EXPECT_EQ(HTMLViewFind::fullSelectedRange(*v).location, 0);
    panel.previous();
    EXPECT_EQ(HTMLViewFind::fullSelectedRange(*v).location, 22);

    panel.setValue(QStringLiteral("zzz"), QStringLiteral("searchString"));
    const QVRange before = v->selectedRange();
    panel.next();
    EXPECT_EQ(beeps, 1);
    EXPECT_EQ(panel.status(), QStringLiteral("Not found"));
    EXPECT_EQ(v->selectedRange().location, before.location);

    // A pattern sees the text before the selection: lookbehind at the search's start (just
    // after the "[" of the expanded second region).
    panel.setValue(true, QStringLiteral("regularExpression"));
    panel.setValue(QStringLiteral("(?<=\\[)\\w"), QStringLiteral("searchString"));
    ASSERT_EQ(v->string(), QString("foo [") + Region + "] bar [b foo] foo");
    v->setSelectedRange(QVRange(13, 0));
    panel.next();
    EXPECT_EQ(HTMLViewFind::fullSelectedRange(*v), QVRange(15, 1));
}

TEST_F(SingleFileFindTest, ReplacesAreOneUndoStepAndKeepHiddenText) {
    auto v = view(QStringLiteral("cat dog {cat} cat"));
    ASSERT_TRUE(v->collapseRange(QVRange(9, 3)));
    QVSingleFileSearchController panel;
    panel.setTextView(v.get());
    panel.setValue(QStringLiteral("cat"), QStringLiteral("searchString"));
    panel.setValue(QStringLiteral("cow"), QStringLiteral("replaceString"));

    // A selection holding a match but more than it is not replaced; the next match is found.
    v->setSelectedRange(QVRange(0, 7));
    panel.replaceAndFind();
    EXPECT_EQ(v->fullString(), QStringLiteral("cat dog {cat} cat"));
    EXPECT_EQ(HTMLViewFind::fullSelectedRange(*v).location, 9);
    // An exact match is.
    panel.replaceAndFind();
    EXPECT_EQ(v->fullString(), QStringLiteral("cat dog {cow} cat"));
    EXPECT_EQ(HTMLViewFind::fullSelectedRange(*v).location, 14);
    v->undo();
    EXPECT_EQ(v->fullString(), QStringLiteral("cat dog {cat} cat"));

    // In the selection: a collapsed region inside it keeps its text; one undo restores it.
    ASSERT_TRUE(v->collapseRange(QVRange(9, 3)));
    v->setSelectedRange(QVRange(4, 7));  // "dog {" region "}"
    ASSERT_EQ(selected(*v), QStringLiteral("dog {cat}"));
    panel.setScope(1);
    panel.replaceAll();
    EXPECT_EQ(panel.status(), QStringLiteral("Replaced 1"));
    EXPECT_EQ(v->fullString(), QStringLiteral("cat dog {cow} cat"));
    EXPECT_EQ(selected(*v), QStringLiteral("dog {cow}"));
    v->undo();
    EXPECT_EQ(v->fullString(), QStringLiteral("cat dog {cat} cat"));

    // The whole text, collapsed regions included, as one undo step; nothing found changes nothing.
    ASSERT_TRUE(v->collapseRange(QVRange(9, 3)));
    panel.setScope(0);
    panel.replaceAll();
    EXPECT_EQ(panel.status(), QStringLiteral("Replaced 3"));
    EXPECT_EQ(v->fullString(), QStringLiteral("cow dog {cow} cow"));
    v->undo();
    EXPECT_EQ(v->fullString(), QStringLiteral("cat dog {cat} cat"));
    panel.setValue(QStringLiteral("emu"), QStringLiteral("searchString"));
    const bool couldUndo = v->undoManager().canUndo();
    panel.replaceAll();
    EXPECT_EQ(panel.status(), QStringLiteral("Replaced 0"));
    EXPECT_EQ(v->undoManager().canUndo(), couldUndo);

    // An edited text without regions: its pieces are joined once, and the text before and the
    // text after are the only copies (undo and redo put back the very characters they keep).
    auto w = view(QStringLiteral("cat dog cat\n").repeated(5000));
    for (const qint64 at : {50000, 20, 30000}) {
        w->setSelectedRange(QVRange(at, 0));
        w->insertText(QStringLiteral("x"));
    }
    const QVTextStorage& storage = w->textStorage();
    const quint64 joins = storage.wholeTextJoins();
    panel.setTextView(w.get());
    panel.setValue(QStringLiteral("cat"), QStringLiteral("searchString"));
    panel.replaceAll();
    EXPECT_EQ(panel.status(), QStringLiteral("Replaced 10000"));
    EXPECT_EQ(w->undoManager().undoActionName(), QStringLiteral("Replace All"));
    const QString after = w->string();
    EXPECT_EQ(after.count(QStringLiteral("cow")), 10000);
    EXPECT_EQ(w->string().constData(), after.constData());
    w->undo();
    const QString undone = w->string();
    EXPECT_EQ(undone.count(QStringLiteral("cat")), 10000);
    EXPECT_EQ(undone.count(QLatin1Char('x')), 3);
    w->redo();
    EXPECT_EQ(w->string().constData(), after.constData());
    w->undo();
    EXPECT_EQ(w->string().constData(), undone.constData());
    EXPECT_EQ(storage.wholeTextJoins(), joins + 1);
}

TEST_F(SingleFileFindTest, QuickSearchRefinesInPlaceAndReportsMisses) {
    auto v = view(QStringLiteral("Alpha beta alpha gamma"));
    auto errors = std::make_shared<Errors>();
    v->setInterfaceDelegate(errors);
    v->setSelectedRange(QVRange(3, 0));
    struct Step {
        const char* what;
        QString text;
        bool again, back;
        qint64 expected;
    } steps[] = {
        {"typing refines", "al", false, false, 11},
        {"more typing stays", "alp", false, false, 11},
        {"Return wraps", "alp", true, false, 0},
        {"Return goes on", "alp", true, false, 11},
        {"Shift-Return goes back", "alp", true, true, 0},
    };
    for (const Step& s : steps) {
        if (s.again) HTMLViewFind::quickSearch(*v, s.text, v->selectedRange(), s.back);
        else HTMLViewFind::quickSearch(*v, s.text);
        EXPECT_EQ(v->selectedRange().location, s.expected) << s.what;
        EXPECT_EQ(v->selectedRange().length, s.text.size()) << s.what;
    }
    EXPECT_TRUE(errors->messages.isEmpty());
    HTMLViewFind::quickSearch(*v, QStringLiteral("delta"));
    EXPECT_EQ(v->selectedRange(), QVRange(0, 3));  // the selection before, kept
    v->setSelectedRange(QVRange(6, 4));
    HTMLViewFind::quickSearchAgain(*v, QStringLiteral("beta"));
    EXPECT_EQ(v->selectedRange(), QVRange(6, 4));
    EXPECT_EQ(errors->messages, (QStringList{"8 No match", "8 No more matches"}));
    EXPECT_EQ(beeps, 2);
    // The toolbar's field reaches the view by the commands' names.
    ASSERT_TRUE(QVPerform::tryToPerform(v.get(), "quickSearch", QStringLiteral("GAM")));
    EXPECT_EQ(v->selectedRange(), QVRange(17, 3));
}

TEST_F(SingleFileFindTest, EditorCommandsReachTheSharedPanelAndItsWindow) {
    auto first = view(QStringLiteral("one two one"));
    auto second = view(QStringLiteral("two"));
    QVSingleFileSearchController& panel = QVSingleFileSearchController::sharedFind();
    panel.setFrontTextViewProvider([&] { return second.get(); });

    // Use selection for find: the panel's text, the pasteboard; find-next while hidden.
    first->setSelectedRange(QVRange(0, 3));
    ASSERT_TRUE(HTMLViewFind::perform(*first, HTMLViewFind::Action::FindUsingSelection));
    EXPECT_EQ(panel.searchString(), QStringLiteral("one"));
    EXPECT_EQ(QVFindPasteboard::general().string(), QStringLiteral("one"));
    HTMLViewFind::perform(*first, HTMLViewFind::Action::FindNext);
    EXPECT_EQ(first->selectedRange(), QVRange(8, 3));
    EXPECT_EQ(panel.textView(), first.get());

    // The bound editor closes: the front-most one takes over; with none the panel is invalid.
    NotificationCenter::defaultCenter().post(QString::fromLatin1(QVTextViewIsClosing), first.get());
    EXPECT_EQ(panel.textView(), second.get());
    EXPECT_TRUE(panel.valid());
    panel.setFrontTextViewProvider(nullptr);
    NotificationCenter::defaultCenter().post(QString::fromLatin1(QVTextViewIsClosing), second.get());
    EXPECT_EQ(panel.textView(), nullptr);
    EXPECT_FALSE(panel.valid());

    panel.setTextView(first.get());
    HTMLViewFind::perform(*first, HTMLViewFind::Action::SingleFileFind);
    QWidget* window = panel.window();
    ASSERT_TRUE(window->isVisible());
    window->resize(window->sizeHint());
    if (const QByteArray dir = qgetenv("QORVEL_SCREENSHOTS"); !dir.isEmpty())
        window->grab().save(QDir(QString::fromLocal8Bit(dir)).filePath(QStringLiteral("find-panel.png")));
    window->hide();
    panel.setTextView(nullptr);
}

}  // namespace
