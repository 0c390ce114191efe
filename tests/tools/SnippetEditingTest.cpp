// Snippet editing: key capture before shortcuts, the add sheet's refusals and replace question,
// the bar's metadata lines, and the snippets folder's containment.
#include "editor/HTMLView.h"
#include "editor/QVBeep.h"
#include "editor/QVSnippetFileView.h"
#include "editor/QVSnippetRepository.h"
#include "shell/Defaults.h"
#include "tests/support/TestSupport.h"
#include "tools/QVAddSnippetPanelController.h"
#include "tools/QVKeyEquivalentCaptureView.h"
#include "tools/QVSnippetEditorBar.h"

#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>

#include <gtest/gtest.h>

TEST(SnippetEditingTest, KeyCaptureWritesCombinationsAndRefusesMenuClashes) {
    const struct {
        int key;
        Qt::KeyboardModifiers modifiers;
        const char* text;
    } keys[] = {
        {Qt::Key_S, Qt::ControlModifier | Qt::ShiftModifier, "$@S"},
        {Qt::Key_4, Qt::MetaModifier | Qt::AltModifier | Qt::ControlModifier, "^~@4"},
        {Qt::Key_Dollar, Qt::ControlModifier | Qt::ShiftModifier, "$@\\$"},
        {Qt::Key_F5, Qt::AltModifier, "~F5"},
        {Qt::Key_Shift, Qt::ShiftModifier, ""},
    };
    for (const auto& k : keys) EXPECT_EQ(QVKeyEquivalentCaptureView::stringRepresentation(k.key, k.modifiers), k.text) << k.text;

    QMenu menu;
    QMenu* sub = menu.addMenu("File");
    sub->addAction("Save")->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    QVKeyEquivalentCaptureView view;
    QLabel verdict;
    view.setErrorField(&verdict);
    view.setMenusToSearch([&] { return QList<QMenu*>{&menu}; });
    QStringList taken;
    view.setDelegate([&](const QString& text, const QKeySequence&) { taken << text; });
    int beeps = 0;
    const auto previous = QVBeep::setSink([&] { ++beeps; });
    EXPECT_TRUE(view.capture(Qt::Key_S, Qt::ControlModifier));
    EXPECT_EQ(verdict.text(), "Key equivalent (@S) already exists. Please choose another.");
    EXPECT_EQ(beeps, 1);
    EXPECT_TRUE(taken.isEmpty());
    EXPECT_TRUE(view.capture(Qt::Key_S, Qt::ControlModifier | Qt::AltModifier));
    EXPECT_EQ(verdict.text(), "Success!!");
    EXPECT_EQ(taken, QStringList({"~@S"}));
    EXPECT_EQ(view.stringValue(), "~@S");
    QVBeep::setSink(previous);
}

TEST(SnippetEditingTest, AddSheetRefusesPathsAndAsksBeforeReplacing) {
    for (const char* bad : {"../evil", "a/b", ".hidden", "two\nlines", " x", "x.qvproj", ""})
        EXPECT_FALSE(QVAddSnippetPanelController::refusalForTitle(QString::fromUtf8(bad)).isEmpty()) << bad;
    EXPECT_TRUE(QVAddSnippetPanelController::refusalForTitle("Table row").isEmpty());

    TestDir dir;
    QVSnippetRepository store(dir.file("snippets"));
    QDir().mkpath(dir.file("snippets/Tags"));
    QStringList asked;
    bool answer = false;
    QVAddSnippetPanelController::setReplaceQuestion([&](QWidget*, const QString& name, std::function<void(bool)> reply) {
        asked << name;
        reply(answer);
    });
    const auto add = [&](const QString& title, const QString& text, int folderIndex) {
        auto* sheet = new QVAddSnippetPanelController(store, text, nullptr);
        sheet->setTitle(title);
        sheet->directoryPopUpButton()->setCurrentIndex(folderIndex);
        sheet->accept();
        const QString error = sheet->errorField()->text();
        delete sheet;
        return error;
    };
    EXPECT_EQ(add("row", "<tr>[*cur]</tr>", 1), "");
    EXPECT_EQ(QVSnippet::readFile(dir.file("snippets/Tags/row")), "<tr>[*cur]</tr>");
    add("../row", "escaped", 0);
    EXPECT_FALSE(QFileInfo::exists(dir.file("row")));
    // Replacing asks; no keeps the old text.
    add("row", "new", 1);
    EXPECT_EQ(asked, QStringList({"row"}));
    EXPECT_EQ(QVSnippet::readFile(dir.file("snippets/Tags/row")), "<tr>[*cur]</tr>");
    answer = true;
    add("row", "new", 1);
    EXPECT_EQ(QVSnippet::readFile(dir.file("snippets/Tags/row")), "new");
    QVAddSnippetPanelController::setReplaceQuestion({});
}

TEST(SnippetEditingTest, BarWritesMetadataLinesAndOnlyTheFolderIsSnippets) {
    HTMLView view;
    view.setString("# %%%{QVKeywordComplete=tr}%%%\n<tr></tr>");
    QVSnippetEditorBar bar(&view);
    EXPECT_EQ(bar.keywordTrigger(), "tr");
    bar.triggerField()->setText("row two");
    bar.textFieldAction();
    EXPECT_EQ(view.string(), "# %%%{QVKeywordComplete=row}%%%\n<tr></tr>");
    bar.setValueForSnippetKey("@$R", "QVKeyEquivalent");
    EXPECT_EQ(view.string(), "# %%%{QVKeyEquivalent=@$R}%%%\n# %%%{QVKeywordComplete=row}%%%\n<tr></tr>");
    bar.triggerField()->setText("");
    bar.textFieldAction();
    EXPECT_EQ(view.string(), "# %%%{QVKeyEquivalent=@$R}%%%\n\n<tr></tr>");
    view.setSelectedRange(QVRange(view.length() - 5, 0));
    bar.insertVariable(1);
    EXPECT_TRUE(view.string().endsWith("<tr>[*sel]</tr>"));
    EXPECT_EQ(view.undoManager().undoActionName(), "Insert Snippet Variable");

    const QString folder = Defaults::appSupportPathForFile("snippets");
    for (const auto& [path, inside] : {std::pair{folder + "/a", true}, {folder + "/Tags/b", true}, {folder + "-old/a", false},
                                       {folder + "/../a", false}, {folder, false}, {QString("/tmp/a"), false}})
        EXPECT_EQ(QVSnippetFileView::canDisplayPath(path), inside) << path.toStdString();
}
