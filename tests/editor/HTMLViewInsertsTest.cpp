// The editor's insert commands, typed and chosen as a user would: keyword triggers with Tab,
// snippets over selections in CR LF text, files, images, paths, formatting, links, entities
// and the context menu.
#include "editor/HTMLView.h"
#include "editor/QVBeep.h"
#include "editor/QVSnippetRepository.h"
#include "platform/QVUndoManager.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QImage>
#include <QMenu>
#include <QTest>

#include <gtest/gtest.h>

namespace {

const QChar Region(QVTextAttachment::Character);

struct Beeps {
    int count = 0;
    std::function<void()> previous = QVBeep::setSink([this] { ++count; });
    ~Beeps() { QVBeep::setSink(previous); }
};

struct Errors : HTMLViewDelegate {
    QStringList messages;
    void htmlViewIsEscaped(HTMLView*, bool) override {}
    void htmlViewChangedToLine(HTMLView*, qint64, qint64) override {}
    void htmlViewHadError(HTMLView*, const QVError& error, bool) override { messages << error.localizedDescription(); }
};

std::unique_ptr<HTMLView> shownView(const QString& path, const QString& text) {
    auto view = std::make_unique<HTMLView>(path);
    view->resize(500, 300);
    // Loading keeps the text's own breaks and makes its first one the view's.
    view->loadFromData(text.toUtf8(), path.isEmpty() ? QStringLiteral("/tmp/untitled.html") : path);
    view->show();
    view->setFocus();
    return view;
}

void writeSnippet(const QString& name, const QString& text) {
    const QString folder = QVSnippetRepository::defaultSnippetsFolder();
    QDir().mkpath(folder);
    QFile marker(folder + "/.Qorvel");
    ASSERT_TRUE(marker.open(QIODevice::WriteOnly));
    QFile file(folder + "/" + name);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QVSnippet::fileData(text));
}

}  // namespace

TEST(HTMLViewInserts, KeywordTriggersAndSnippetsLandWithTheCaretInEveryLineBreak) {
    writeSnippet("Item", "# %%%{QVKeywordComplete=li}%%%\n<li>\n\t[*cur]\n</li>");
    writeSnippet("Nothing", "# %%%{QVKeywordComplete=none}%%%\n# only comments\n");
    writeSnippet("List", "<ul>\n[*<line>]<li>[*sel]</li>[*</line>]\n</ul>[*cur]");
    writeSnippet("Broken", "# %%%{QVKeywordComplete=broken}%%%\n[*<line>]never closed");
    QVSnippetRepository::sharedRepository().reloadSnippets();
    Beeps beeps;

    auto view = shownView("/tmp/k.html", "a\r\nb\r\n");
    view->setSelectedRange(QVRange(3, 0));
    QTest::keyClicks(view.get(), "x li");
    QTest::keyClick(view.get(), Qt::Key_Tab);
    EXPECT_EQ(view->string(), "a\r\nx <li>\r\n\t\r\n</li>b\r\n");
    EXPECT_EQ(view->selectedRange(), QVRange(12, 0));
    EXPECT_EQ(view->undoManager().undoActionName(), "Insert Snippet");
    QTest::keyClick(view.get(), Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(view->string(), "a\r\nx lib\r\n");

    // A trigger whose snippet gives nothing keeps the word and the caret, beeps, and uses up
    // the Tab; over a selection Tab never triggers; an unknown word gets its tab.
    view->setSelectedRange(QVRange(view->length(), 0));
    QTest::keyClicks(view.get(), "none");
    QTest::keyClick(view.get(), Qt::Key_Tab);
    EXPECT_EQ(view->string(), "a\r\nx lib\r\nnone");
    EXPECT_EQ(view->selectedRange(), QVRange(view->length(), 0));
    EXPECT_EQ(beeps.count, 1);
    view->setSelectedRange(QVRange(view->length() - 4, 4));
    EXPECT_FALSE(view->keywordComplete());
    view->setSelectedRange(QVRange(view->length(), 0));
    QTest::keyClicks(view.get(), "q");
    QTest::keyClick(view.get(), Qt::Key_Tab);
    EXPECT_EQ(view->string(), "a\r\nx lib\r\nnoneq\t");
    // A malformed snippet inserts nothing and beeps; at the very start there is no word.
    QTest::keyClicks(view.get(), "broken");
    QTest::keyClick(view.get(), Qt::Key_Tab);
    EXPECT_EQ(view->string(), "a\r\nx lib\r\nnoneq\tbroken");
    EXPECT_EQ(beeps.count, 2);
    view->setSelectedRange(QVRange(0, 0));
    QTest::keyClick(view.get(), Qt::Key_Tab);
    EXPECT_EQ(view->string(), "\ta\r\nx lib\r\nnoneq\tbroken");

    // A snippet over a selection holding a collapsed region takes the hidden text too; the
    // caret after "</ul>" counts the CR LF breaks as inserted.
    view->QVSyntaxHighlightingTextView::setString("one\r\ntwo {\r\n  three\r\n}\r\n");
    ASSERT_TRUE(view->collapseRange(QVRange(10, 9)));
    view->setSelectedRange(QVRange(0, view->length()));
    std::shared_ptr<QVSnippet> list;
    for (const auto& snippet : QVSnippetRepository::sharedRepository().snippets())
        if (snippet->title() == "List") list = snippet;
    ASSERT_TRUE(list);
    ASSERT_TRUE(view->insertSnippet(list));
    const QString expected = "<ul>\r\n<li>one</li>\r\n<li>two {</li>\r\n<li>  three</li>\r\n<li>}</li>\r\n</ul>";
    EXPECT_EQ(view->string(), expected);
    EXPECT_EQ(view->selectedRange(), QVRange(expected.size(), 0));
    view->undoManager().undo();
    EXPECT_EQ(view->string(), QString("one\r\ntwo {") + Region + "\r\n}\r\n");
}

TEST(HTMLViewInserts, FilesImagesPathsFormattingLinksAndEntities) {
    TestDir dir;
    QImage picture(64, 48, QImage::Format_RGB32);
    picture.fill(Qt::red);
    ASSERT_TRUE(QDir().mkpath(dir.file("site/img")));
    ASSERT_TRUE(picture.save(dir.file("site/img/na\"me.png"), "PNG"));
    dir.write("site/img/broken.png", "not a picture");
    dir.write("site/part.txt", "caf\xc3\xa9\n");
    auto errors = std::make_shared<Errors>();
    Beeps beeps;

    auto view = shownView(dir.file("site/page.html"), "<p>x</p>\n");
    view->setInterfaceDelegate(errors);
    view->setSelectedRange(QVRange(3, 1));
    ASSERT_TRUE(view->insertChosenFile(dir.file("site/img/na\"me.png"), HTMLView::InsertContext::Image));
    EXPECT_EQ(view->string(), "<p><img src=\"img/na&quot;me.png\" alt=\"na&quot;me\" width=\"64\" height=\"48\"></p>\n");
    EXPECT_EQ(view->undoManager().undoActionName(), "Insert Image");
    view->undoManager().undo();
    view->QVSyntaxHighlightingTextView::setString("<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Strict//EN\">\n");
    view->setSelectedRange(QVRange(view->length(), 0));
    ASSERT_TRUE(view->insertChosenFile(dir.file("site/img/broken.png"), HTMLView::InsertContext::Image));
    EXPECT_TRUE(view->string().endsWith("<img src=\"img/broken.png\" alt=\"broken\" />"));
    EXPECT_EQ(errors->messages.size(), 1);
    EXPECT_EQ(beeps.count, 1);

    view->QVSyntaxHighlightingTextView::setString("");
    ASSERT_TRUE(view->insertChosenFile(dir.file("site/part.txt"), HTMLView::InsertContext::Contents));
    EXPECT_EQ(view->string(), QStringLiteral("caf\u00e9\n"));
    EXPECT_FALSE(view->insertChosenFile(dir.file("site/missing.txt"), HTMLView::InsertContext::Contents));
    EXPECT_EQ(errors->messages.size(), 2);
    ASSERT_TRUE(view->insertChosenFile(dir.file("other/x.css"), HTMLView::InsertContext::Path));
    EXPECT_TRUE(view->string().endsWith("../other/x.css"));
    auto untitled = shownView("", "");
    ASSERT_TRUE(untitled->insertChosenFile(dir.file("other/x.css"), HTMLView::InsertContext::Path));
    EXPECT_EQ(untitled->string(), dir.file("other/x.css"));

    // Formatting and links keep a collapsed region in the selection collapsed.
    view->QVSyntaxHighlightingTextView::setString("go {\n a\n} now");
    ASSERT_TRUE(view->collapseRange(QVRange(4, 4)));
    view->setSelectedRange(QVRange(0, 6));
    view->formatText(5);
    EXPECT_EQ(view->string(), QString("<em>go {") + Region + "}</em> now");
    EXPECT_EQ(view->selectedRange(), QVRange(0, 15));
    EXPECT_EQ(view->fullString(), "<em>go {\n a\n}</em> now");
    view->formatText(9);
    EXPECT_EQ(view->undoManager().undoActionName(), "Format Text");
    view->setSelectedRange(QVRange(16, 3));
    view->makeLinkFromMenu();
    EXPECT_EQ(view->fullString(), "<em>go {\n a\n}</em> <a href=\"now\">now</a>");
    view->setSelectedRange(QVRange(0, 0));
    view->makeLinkFromMenu();
    EXPECT_EQ(view->undoManager().undoActionName(), "Make Link");

    // Entities go in markup only, never into a script or over ASCII; the selection moves
    // with the text before it; a text without table characters adds no step.
    view->QVSyntaxHighlightingTextView::setString(QStringLiteral("<p>\u00a9 & \u00e9</p><script>s = '\u00a9';</script>x"));
    view->setSelectedRange(QVRange(view->length() - 1, 1));
    ASSERT_TRUE(view->convertCharacterEntitiesToHTML());
    // Accented letters are the entity menu's, not the table's.
    EXPECT_EQ(view->string(), QStringLiteral("<p>&copy; & \u00e9</p><script>s = '\u00a9';</script>x"));
    EXPECT_EQ(view->selectedRange(), QVRange(view->length() - 1, 1));
    EXPECT_EQ(view->undoManager().undoActionName(), "Replace Character Entities");
    view->undoManager().undo();
    EXPECT_EQ(view->string(), QStringLiteral("<p>\u00a9 & \u00e9</p><script>s = '\u00a9';</script>x"));
    view->QVSyntaxHighlightingTextView::setString("<p>plain</p>");
    EXPECT_FALSE(view->convertCharacterEntitiesToHTML());
    EXPECT_FALSE(view->undoManager().canUndo());

    // The context menu: its snippet submenu lists the store, "Add Selected Text as Snippet"
    // needs a selection.
    std::unique_ptr<QMenu> menu(view->createContextMenu(nullptr));
    QStringList titles;
    QAction* add = nullptr;
    QAction* snippets = nullptr;
    for (QAction* item : menu->actions()) {
        titles << item->text();
        if (item->text() == "Add Selected Text as Snippet") add = item;
        if (item->property("tag").toInt() == 42884) snippets = item;
    }
    EXPECT_TRUE(titles.contains("Indent Block"));
    ASSERT_TRUE(add && snippets && snippets->menu());
    EXPECT_FALSE(add->isEnabled());
    EXPECT_EQ(snippets->text(), "Insert Snippet");
    EXPECT_FALSE(snippets->menu()->actions().isEmpty());
}
