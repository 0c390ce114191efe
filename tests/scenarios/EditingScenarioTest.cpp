// Typing aids met while writing a page and its style sheet in the project window, offscreen:
// "</" after a tag ">" has completed, a snippet keyword on an indented line, and the blank after a
// style property chosen from F5's list.
#include "tests/scenarios/Scenario.h"

#include "app/QVDocumentController.h"
#include "completion/QVCodeCompletionViewController.h"
#include "editor/HTMLView.h"
#include "editor/HTMLViewTypingAids.h"
#include "editor/QVBoundaryIndex.h"
#include "editor/QVSnippet.h"
#include "editor/QVSnippetRepository.h"
#include "platform/UserDefaults.h"
#include "projects/windows/QVProjectView.h"
#include "projects/windows/QVProjectWindowController.h"
#include "shell/Defaults.h"
#include "tests/support/TestSupport.h"

#include <QApplication>
#include <QColor>
#include <QDir>
#include <QTest>

#include <gtest/gtest.h>

#include <optional>

using namespace scenario;

namespace {

HTMLView* focusedEditor() { return qobject_cast<HTMLView*>(QApplication::focusWidget()); }

// The project of dir with name opened from its outline; its editor has the focus.
HTMLView* openInProject(const TestDir& dir, const QString& name) {
    auto* window = qobject_cast<QVProjectWindowController*>(application().openDocumentWithContentsOfFile(dir.path()));
    if (!window) return nullptr;
    bringForward(window);
    QVProjectView* view = outline(window);
    if (!waitFor([&] { return row(view, name, {}).isValid(); })) return nullptr;
    doubleClick(view, row(view, name, {}));
    waitFor([&] { return focusedEditor() != nullptr; }, std::chrono::seconds(2));
    return focusedEditor();
}

QString withCaret(const HTMLView* view) {
    QString text = view->string();
    return text.insert(view->selectedRange().location, QLatin1Char('|'));
}

// Sets the view's text, "|" standing for the caret.
void setWithCaret(HTMLView* view, const char* text) {
    QString start = QString::fromUtf8(text);
    const qsizetype caret = start.indexOf(u'|');
    start.remove(caret, 1);
    view->setString(start);
    view->setSelectedRange(QVRange(caret, 0));
}

// The aids' deferred steps (the close after "</") run as they would between two keys.
void settle() { waitFor([] { return false; }, std::chrono::milliseconds(10)); }

}  // namespace

TEST(EditingScenario, ClosingSlashStepsOverTheTagThatGreaterThanCompleted) {
    TestDir dir;
    dir.write("index.html", "<body>\n</body>\n");
    HTMLView* page = openInProject(dir, "index.html");
    ASSERT_NE(page, nullptr);
    const struct {
        const char* start;  // "|" the caret
        const char* typed;
        const char* expected;
        int closes;  // -1 either way, else only where "</" closes the open element by itself (1) or not (0)
    } cases[] = {
        // ">" put "</p>" after the caret: that closing tag typed by hand steps over it, whatever
        // the setting says; another one, or "</" alone, stays as typed.
        {"<body>\n|\n</body>", "<p>Para</p>x", "<body>\n<p>Para</p>x|\n</body>", -1},
        {"<body>\n|\n</body>", "<p>Para</p>\n<em>x</em>", "<body>\n<p>Para</p>\n<em>x</em>|\n</body>", -1},
        {"<body>\n|\n</body>", "<span>one<b>two</", "<body>\n<span>one<b>two</|</b></span>\n</body>", -1},
        {"|", "<p>x</b>", "<p>x</b>|</p>", -1},
        {"|", "<li>one</ul>", "<li>one</ul>|</li>", -1},
        {"|", "<p>x</P>", "<p>x</p>|", -1},
        {"|", "<div>one</b>", "<div>\n\tone</b>|\n</div>", -1},
        {"<body>\n|\n</body>", "<span>one<b>two</b></span>x", "<body>\n<span>one<b>two</b></span>x|\n</body>", -1},
        // A block's closing tag stands on a line of its own.
        {"<body>\n|\n</body>", "<div>one</div>x", "<body>\n<div>\n\tone\n</div>x|\n</body>", -1},
        // A closing tag the user typed earlier is no completed one; "</" that closes the open
        // element by itself steps over it too, once the name typed is its.
        {"<p>a|</p>", "</p>", "<p>a</p>|</p>", 0},
        {"<p>a|</p>", "</p>", "<p>a</p>|", 1},
        {"<p>a|</p>", "</b>", "<p>a</b>|</p>", 1},
        // Nothing closes the element after the caret: "</" closes it.
        {"<ul><li>one</li>|\n", "</x", "<ul><li>one</li></ul>x|\n", 1},
        // The tag after the caret closes another element: the open one is closed before it.
        {"<div><i>a|</div>", "</", "<div><i>a</i>|</div>", 1},
    };
    for (const bool closesByItself : {false, true}) {
        UserDefaults::standard().setBool(closesByItself, QVAutoCompleteOnType);
        for (const auto& c : cases) {
            if (c.closes >= 0 && c.closes != int(closesByItself)) continue;
            SCOPED_TRACE(testing::Message() << c.typed << (closesByItself ? " (\"</\" closes)" : " (the first settings)"));
            setWithCaret(page, c.start);
            // Key by key, the aids' deferred steps running between two keys as they do for a user.
            for (const QChar ch : QString::fromUtf8(c.typed)) {
                if (ch == u'\n') key(Qt::Key_Return);
                else type(QString(ch));
                settle();
            }
            EXPECT_EQ(withCaret(page), QString::fromUtf8(c.expected));
        }
    }
    UserDefaults::standard().removeObject(QVAutoCompleteOnType);
    closeEverything();
}

TEST(EditingScenario, EveryLineOfASnippetTakesTheIndentationOfItsLine) {
    const QString folder = QVSnippetRepository::defaultSnippetsFolder();
    QDir().mkpath(folder);
    {
        QFile marker(folder + "/.Qorvel");
        ASSERT_TRUE(marker.open(QIODevice::WriteOnly));
        QFile snippet(folder + "/Unordered List");
        ASSERT_TRUE(snippet.open(QIODevice::WriteOnly));
        snippet.write(QVSnippet::fileData("# %%%{QVKeywordComplete=ulx}%%%\n<ul>\n\t<li>[*sel][*cur]</li>\n\n</ul>"));
    }
    QVSnippetRepository::sharedRepository().reloadSnippets();
    TestDir dir;
    dir.write("index.html", "<body>\n</body>\n");
    HTMLView* page = openInProject(dir, "index.html");
    ASSERT_NE(page, nullptr);
    const struct {
        const char* start;  // "|" the caret
        const char* expected;
    } cases[] = {
        {"<body>\n    |\n</body>\n", "<body>\n    <ul>\n    \t<li>|</li>\n\n    </ul>\n</body>\n"},
        {"\t\t<p>|</p>\n", "\t\t<p><ul>\n\t\t\t<li>|</li>\n\n\t\t</ul></p>\n"},
        {"<p>|</p>\n", "<p><ul>\n\t<li>|</li>\n\n</ul></p>\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.start);
        setWithCaret(page, c.start);
        type("ulx");
        key(Qt::Key_Tab);
        EXPECT_EQ(withCaret(page), QString::fromUtf8(c.expected));
    }
    QFile::remove(folder + "/Unordered List");
    QVSnippetRepository::sharedRepository().reloadSnippets();
    closeEverything();
}

TEST(EditingScenario, TheBlankTypedAfterACompletedPropertyIsNotDoubled) {
    TestDir dir;
    dir.write("site.css", "");
    HTMLView* sheet = openInProject(dir, "site.css");
    ASSERT_NE(sheet, nullptr);
    const QVCodeCompletionViewController& list = sheet->typingAids().completionView();
    type("p { border-colla");
    key(Qt::Key_F5);
    ASSERT_TRUE(list.isVisible()) << withCaret(sheet).toStdString();
    key(Qt::Key_Return);
    EXPECT_EQ(withCaret(sheet), "p { border-collapse: |");
    // The values follow at once; the blank a user types by habit is the one already there.
    EXPECT_TRUE(list.isVisible());
    type(" collapse;");
    EXPECT_EQ(withCaret(sheet), "p { border-collapse: collapse;|");
    // So is the colon, and a blank after it.
    for (const char* typed : {": 2px;", ":2px;"}) {
        SCOPED_TRACE(typed);
        setWithCaret(sheet, "p { |");
        type("paddi");
        key(Qt::Key_F5);
        ASSERT_TRUE(list.isVisible()) << withCaret(sheet).toStdString();
        key(Qt::Key_Return);
        type(typed);
        EXPECT_EQ(withCaret(sheet), "p { padding: 2px;|");
    }
    setWithCaret(sheet, "p { border-collapse: collapse;|");
    // Once the caret has left it, a blank is typed as any other.
    type(" color");
    key(Qt::Key_F5);
    ASSERT_TRUE(list.isVisible()) << withCaret(sheet).toStdString();
    key(Qt::Key_Return);
    key(Qt::Key_Left);
    key(Qt::Key_Right);
    type(" red");
    EXPECT_EQ(withCaret(sheet), "p { border-collapse: collapse; color:  red|");
    closeEverything();
}

namespace {

// Colouring while idle held for the life of the scope, whatever the test's checks do.
struct HeldColouring {
    HeldColouring() { QVSyntaxHighlightingTextView::holdIdleColouring(true); }
    ~HeldColouring() { QVSyntaxHighlightingTextView::holdIdleColouring(false); }
};

}  // namespace

// A page that ends in a script longer than a jump's look-back, big enough that Ctrl+End right
// after it shows lands far ahead of colouring (colouring while idle held meanwhile). Every aid's
// trigger typed at a line of the script then does what it does once the page is coloured.
TEST(EditingScenario, AidsTypedRightAfterAJumpAheadOfColouringActAsOnceColoured) {
    QString page = QStringLiteral("<html>\n<body>\n");
    for (int row = 0; page.size() < 2'400'000; ++row) page += QStringLiteral("<p class=\"row\">Row %1 of the list</p>\n").arg(row);
    const qsizetype scriptStart = page.size();
    page += QStringLiteral("<script>\n");
    for (int row = 0; page.size() - scriptStart < 300'000; ++row) page += QStringLiteral("var v%1 = f(%1);\n").arg(row);
    page += QStringLiteral("</script>\n<p>after</p>\n</body>\n</html>\n");
    TestDir dir;
    dir.write("big.html", page.toUtf8());
    HTMLView* view = openInProject(dir, "big.html");
    ASSERT_NE(view, nullptr);
    UserDefaults::standard().setBool(true, QVAutoCompleteOnType);
    const QStringList triggers{" <div>", " </", " \u00e9", " docu\x01", " {\n", "\n"};
    for (const QString& keys : triggers) {
        SCOPED_TRACE(QString(keys).replace("\n", "\\n").replace("\x01", "<F5, Return>").toStdString());
        QString typed[2];
        for (const bool coloured : {false, true}) {
            std::optional<HeldColouring> held(std::in_place);
            view->setString(page);
            if (coloured) view->finishHighlighting();
            settle();
            const quint64 walkedBefore = QVSyntaxHighlightingTextView::charactersWalkedAhead();
            key(Qt::Key_End, Qt::ControlModifier);
            settle();
            for (int i = 0; i < 8; ++i) key(Qt::Key_Up);
            key(Qt::Key_End);
            const qint64 caret = view->selectedRange().location;
            ASSERT_GT(caret, scriptStart + 262'144);
            if (!coloured) {
                ASSERT_LT(view->highlightedLength(), scriptStart) << "ahead of colouring";
                // The jump and the moves looked back a bounded stretch only: the repaint walks
                // from the place found in the background nearest before the lines on screen.
                EXPECT_LE(QVSyntaxHighlightingTextView::charactersWalkedAhead() - walkedBefore, quint64(2 * QVBoundaryIndex::Spacing));
                // The last screen shows what the look-back settles: the script's end tag and
                // the markup after it in their colours.
                const qint64 endTag = page.lastIndexOf("</script>");
                EXPECT_EQ(view->textStorage().attribute(QVTextStorage::ForegroundColorAttribute, endTag + 2).value<QColor>(),
                          view->textStorage().attribute(QVTextStorage::ForegroundColorAttribute, 3).value<QColor>());
            }
            for (const QChar ch : keys) {
                if (ch == u'\x01') {
                    key(Qt::Key_F5);
                    key(Qt::Key_Return);
                } else if (ch == u'\n') {
                    key(Qt::Key_Return);
                } else if (ch.unicode() >= 0x80) {
                    QTest::sendKeyEvent(QTest::Click, QApplication::focusWidget(), Qt::Key_unknown, QString(ch), Qt::NoModifier);
                } else {
                    type(QString(ch));
                }
                settle();
            }
            if (!coloured) {
                EXPECT_LT(view->highlightedLength(), caret) << "still ahead of colouring";
            }
            held.reset();
            view->finishHighlighting();
            typed[coloured] = view->string().mid(caret - 40, 120 + 40);
        }
        EXPECT_EQ(typed[0], typed[1]);
        EXPECT_FALSE(typed[0].contains("</div>"));
    }
    UserDefaults::standard().removeObject(QVAutoCompleteOnType);
    closeEverything();
}
