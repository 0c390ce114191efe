// The bundle editors over the shipped bundles: completion editors chosen by the engine's class or
// the editor it names, the tag and style-sheet lists side by side, the tag syntax styles, the
// code-navigation searches and their sheet, the code-index switch, and what a save keeps.
#include "completion/QVCSSCodeCompletion.h"
#include "completion/QVCodeIndexer.h"
#include "completion/QVTagCodeCompletion.h"
#include "editor/QVEditorNotifications.h"
#include "languages/QVBundle.h"
#include "languages/QVCodeNavParser.h"
#include "languages/QVTagBasedParser.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"
#include "preferences/QVCodeIndexLangPane.h"
#include "preferences/QVCodeNavLangPane.h"
#include "preferences/QVCompletionLangPanes.h"
#include "preferences/QVLanguageEditors.h"
#include "preferences/QVLanguagesPrefPane.h"
#include "shell/Defaults.h"
#include "tests/support/TestSupport.h"

#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QTest>
#include <QListView>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTreeView>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <typeinfo>

namespace {

// Whether a refusal is shown; closes it.
bool refusedBox() {
    bool shown = false;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->objectName() == QLatin1String("PrefsError") && widget->isVisible()) {
            shown = true;
            widget->close();
        }
    return shown;
}

// Types text into the editor open in view and confirms it with Return, as a person would.
void typeIntoOpenEditor(QAbstractItemView* view, const QString& text) {
    // The editor over the current row (others may have been opened while the view was hidden).
    QLineEdit* field = nullptr;
    const QPoint row = view->visualRect(view->currentIndex()).center();
    for (QLineEdit* editor : view->viewport()->findChildren<QLineEdit*>())
        if (editor->geometry().contains(row)) field = editor;
    ASSERT_NE(field, nullptr);
    QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(field, text);
    QTest::keyClick(field, Qt::Key_Return);
    // The editor hands its text over on a later turn, and a refused new row goes on the next.
    for (int turn = 0; turn < 3; ++turn) QApplication::processEvents();
}

std::shared_ptr<QVBundle> bundleTitled(QVLanguagesPrefPane& pane, const QString& title) {
    for (const auto& bundle : pane.bundles())
        if (bundle->title() == title) return bundle;
    return nullptr;
}

class LanguageEditorsTest : public ::testing::Test {
protected:
    void SetUp() override {
        QVCodeCompletion::registerFactories();
        ASSERT_TRUE(pane.allowSelect());
        pane.startSession();
        for (const auto& bundle : pane.bundles())
            if (const auto engine = std::dynamic_pointer_cast<QVCodeCompletion>(bundle->codeCompletion()))
                shipped.emplace_back(engine, engine->entries(false));
    }
    // The bundles are the process's own: what a test added or removed would be what the next
    // test finds.
    void TearDown() override {
        pane.outlineView()->clearSelection();
        for (const auto& [engine, entries] : shipped) engine->setEntries(entries);
    }
    template <class Editor>
    Editor* open(const QString& title, int property) {
        pane.selectRow(bundleTitled(pane, title), property);
        return dynamic_cast<Editor*>(pane.currentPane());
    }
    QVLanguagesPrefPane pane{QStringLiteral("Languages")};
    std::vector<std::pair<std::shared_ptr<QVCodeCompletion>, QVariantList>> shipped;
};

TEST_F(LanguageEditorsTest, EditorsFollowTheExactClassOrTheClassTheEngineNames) {
    struct Case {
        const char* bundle;
        int property;
        const char* editor;  // the editor's class, or the placeholder's text
    };
    const Case cases[] = {
        {"JavaScript", 0, typeid(QVKeywordCodeCompletionLangPane).name()},
        {"HTML", 0, typeid(QVTagCodeCompletionLangPane).name()},
        // A keyword engine's subclass, reached only through the editor its definition names.
        {"CSS", 0, typeid(QVCSSCodeCompletionLangPane).name()},
        {"HTML", 2, typeid(QVTagSyntaxLangPane).name()},
        {"CSS", 2, typeid(QVKeywordSyntaxLangPane).name()},
        {"CSS", 1, typeid(QVCodeNavLangPane).name()},
        {"Plain Text", 1, typeid(QVCodeNavLangPane).name()},
    };
    for (const Case& test : cases) {
        pane.selectRow(bundleTitled(pane, QString::fromLatin1(test.bundle)), test.property);
        ASSERT_NE(pane.currentPane(), nullptr) << test.bundle << test.property;
        const auto& shown = *pane.currentPane();
        EXPECT_STREQ(typeid(shown).name(), test.editor) << test.bundle << test.property;
    }
    // Only the three rows: the code-index editor is not among them.
    EXPECT_EQ(pane.outlineView()->topLevelItem(0)->childCount(), 3);

    // An engine naming an editor nobody registered, or none, gets neither an editor nor a picker
    // that would replace what it holds.
    ASSERT_TRUE(pane.addBundle(QStringLiteral("Toy"), QStringLiteral("source.toy")));
    const auto toy = bundleTitled(pane, QStringLiteral("Toy"));
    for (const QVariantMap& definition : {QVariantMap{{"edit-class", "NoSuchPane"}}, QVariantMap{}}) {
        toy->setCodeCompletion(std::make_shared<QVCodeCompletion>(toy, definition));
        pane.selectRow(toy, 0);
        EXPECT_EQ(pane.currentPane(), nullptr);
        EXPECT_EQ(pane.noEditorController(), nullptr);
        EXPECT_EQ(pane.selectionState(), QStringLiteral("No Editor"));
    }
}

TEST_F(LanguageEditorsTest, TagCompletionListsShowTheChildrenOfTheRowOnTheirLeft) {
    const auto html = bundleTitled(pane, QStringLiteral("HTML"));
    const auto engine = std::dynamic_pointer_cast<QVTagCodeCompletion>(html->codeCompletion());
    auto* editor = open<QVTagCodeCompletionLangPane>(QStringLiteral("HTML"), 0);
    ASSERT_TRUE(editor && engine);
    const int elements = int(editor->titles(0).size());
    EXPECT_EQ(elements, int(engine->entries(false).size()));
    // Nothing selected on the left: the lists on the right are empty and take no entry.
    EXPECT_TRUE(editor->titles(1).isEmpty());
    EXPECT_FALSE(editor->addEntry(1, QStringLiteral("orphan")));
    ASSERT_TRUE(editor->selectTitle(0, QStringLiteral("a")));
    EXPECT_EQ(editor->titles(1), engine->attributesForElement(QStringLiteral("a")));
    ASSERT_TRUE(editor->selectTitle(1, QStringLiteral("contenteditable")));
    EXPECT_EQ(editor->titles(2), (QStringList{QStringLiteral("true"), QStringLiteral("false")}));
    EXPECT_TRUE(editor->addEntry(2, QStringLiteral("plaintext-only")));
    EXPECT_TRUE(editor->addEntry(2));  // left empty: not handed over
    // Another element shows its own attributes; removing it empties the lists on its right.
    ASSERT_TRUE(editor->selectTitle(0, QStringLiteral("abbr")));
    EXPECT_FALSE(editor->titles(1).contains(QStringLiteral("href")));
    editor->removeSelectedEntry(0);
    EXPECT_EQ(editor->titles(0).size(), elements - 1);
    EXPECT_FALSE(editor->titles(0).contains(QStringLiteral("abbr")));
    EXPECT_NE(editor->titles(1), editor->titles(0));
    pane.outlineView()->clearSelection();
    EXPECT_TRUE(pane.changedBundles().contains(html));
    EXPECT_EQ(engine->valuesForElement(QStringLiteral("a"), QStringLiteral("contenteditable")).toStringList(),
              (QStringList{QStringLiteral("true"), QStringLiteral("false"), QStringLiteral("plaintext-only")}));
    EXPECT_TRUE(engine->attributesForElement(QStringLiteral("abbr")).isEmpty());
}

TEST_F(LanguageEditorsTest, StyleSheetPropertiesAreHandedBackOnlyWhenChangedAndSurviveTheSave) {
    const auto css = bundleTitled(pane, QStringLiteral("CSS"));
    const auto engine = std::dynamic_pointer_cast<QVCSSCodeCompletion>(css->codeCompletion());
    auto* editor = open<QVCSSCodeCompletionLangPane>(QStringLiteral("CSS"), 0);
    ASSERT_TRUE(editor && engine);
    // Left unchanged, the editor does not overwrite what the engine holds meanwhile.
    const QVariantList shipped = engine->entries(false);
    engine->setEntries(shipped.mid(1));
    pane.outlineView()->clearSelection();
    EXPECT_EQ(engine->entries(false).size(), shipped.size() - 1);
    engine->setEntries(shipped);

    editor = open<QVCSSCodeCompletionLangPane>(QStringLiteral("CSS"), 0);
    ASSERT_NE(editor, nullptr);
    ASSERT_TRUE(editor->addEntry(0, QStringLiteral("zz-test")));
    ASSERT_TRUE(editor->addEntry(1, QStringLiteral("v1")));
    pane.endSession();
    EXPECT_EQ(engine->valuesForProperty(QStringLiteral("zz-test")), QStringList{QStringLiteral("v1")});
    // The saved definition still names its editor.
    const QVariantMap saved = PropertyList::readFile(css->path() + QStringLiteral("/Contents/completion.plist")).toMap();
    EXPECT_EQ(saved.value(QStringLiteral("edit-class")).toString(), QStringLiteral("QVCSSCodeCompletionLangPane"));
    EXPECT_EQ(saved.value(QStringLiteral("properties")).toMap().value(QStringLiteral("zz-test")).toStringList(),
              QStringList{QStringLiteral("v1")});
    EXPECT_TRUE(css->path().startsWith(Defaults::appSupportPathForFile(QStringLiteral("Bundles"))));
}

TEST_F(LanguageEditorsTest, ANameItsListHoldsIsRefusedAtEveryLevelAndWipesNothing) {
    const auto css = std::dynamic_pointer_cast<QVCSSCodeCompletion>(bundleTitled(pane, QStringLiteral("CSS"))->codeCompletion());
    const auto html = std::dynamic_pointer_cast<QVTagCodeCompletion>(bundleTitled(pane, QStringLiteral("HTML"))->codeCompletion());
    ASSERT_TRUE(css && html);
    const QStringList alignValues = css->valuesForProperty(QStringLiteral("align-items"));
    const QStringList anchorAttributes = html->attributesForElement(QStringLiteral("a"));
    ASSERT_GT(alignValues.size(), 3);
    ASSERT_GT(anchorAttributes.size(), 3);
    pane.mainView()->show();
    struct Case {
        const char* bundle;
        QStringList selected;  // the rows chosen on the left, one per level
        QString typed;
        bool refused;
    };
    // Both languages find these names whatever their case.
    const Case cases[] = {
        {"CSS", {}, "align-items", true},
        {"CSS", {}, " Align-Items", true},
        {"CSS", {"align-items"}, "center", true},
        {"CSS", {}, "zz-fresh", false},
        {"HTML", {}, "a", true},
        {"HTML", {}, "A", true},
        {"HTML", {"a"}, "href", true},
        {"HTML", {"a", "contenteditable"}, "TRUE", true},
        {"HTML", {"a", "contenteditable"}, "zz-value", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bundle + (" " + c.selected.join(u'/') + " + " + c.typed).toStdString());
        pane.selectRow(bundleTitled(pane, QString::fromLatin1(c.bundle)), 0);
        auto* editor = dynamic_cast<QVNestedCompletionLangPane*>(pane.currentPane());
        ASSERT_NE(editor, nullptr);
        const int level = int(c.selected.size());
        for (int i = 0; i < level; ++i) ASSERT_TRUE(editor->selectTitle(i, c.selected[i]));
        const QStringList before = editor->titles(level);
        // The level's column: its list and its "+" button.
        QWidget* column = editor->splitView()->widget(level);
        ASSERT_NE(column, nullptr);
        auto* list = column->findChild<QListView*>();
        QPushButton* add = nullptr;
        for (QPushButton* button : column->findChildren<QPushButton*>())
            if (button->text() == QLatin1String("+")) add = button;
        ASSERT_TRUE(list && add);
        QTest::mouseClick(add, Qt::LeftButton);
        typeIntoOpenEditor(list, c.typed);
        EXPECT_EQ(refusedBox(), c.refused);
        EXPECT_EQ(editor->titles(level), c.refused ? before : before + QStringList{c.typed});
        // Nor as a call: the list keeps one row of a name.
        EXPECT_FALSE(editor->addEntry(level, before.value(0).toUpper()));
    }
    // Renamed to a name the list holds: the row keeps its own.
    pane.selectRow(bundleTitled(pane, QStringLiteral("CSS")), 0);
    auto* editor = dynamic_cast<QVNestedCompletionLangPane*>(pane.currentPane());
    ASSERT_NE(editor, nullptr);
    auto* properties = editor->splitView()->widget(0)->findChild<QListView*>();
    ASSERT_TRUE(editor->selectTitle(0, QStringLiteral("align-content")));
    QTest::keyClick(properties, Qt::Key_F2);
    typeIntoOpenEditor(properties, QStringLiteral("ALIGN-ITEMS"));
    EXPECT_TRUE(refusedBox());
    EXPECT_TRUE(editor->titles(0).contains(QStringLiteral("align-content")));
    pane.endSession();
    EXPECT_EQ(css->valuesForProperty(QStringLiteral("align-items")), alignValues);
    EXPECT_FALSE(css->valuesForProperty(QStringLiteral("align-content")).isEmpty());
    EXPECT_EQ(html->attributesForElement(QStringLiteral("a")), anchorAttributes);
    const QStringList values = html->valuesForElement(QStringLiteral("a"), QStringLiteral("contenteditable")).toStringList();
    EXPECT_EQ(values.count(QStringLiteral("true")), 1);
    EXPECT_TRUE(values.contains(QStringLiteral("zz-value")));
}

TEST(LanguageEditorsSplit, ListsShareTheWidthLeftByTheDividers) {
    struct Case {
        int total, count, divider;
        QList<int> widths;
    };
    for (const Case& test : {Case{301, 3, 1, {100, 99, 99}}, Case{300, 2, 1, {150, 149}}, Case{300, 3, 0, {100, 100, 100}},
                             Case{40, 1, 6, {40}}, Case{1, 3, 1, {0, 0, 0}}, Case{50, 0, 1, {}}})
        EXPECT_EQ(qvEqualSplitWidths(test.total, test.count, test.divider), test.widths) << test.total << "/" << test.count;
    // The split view applies the rule when it is resized.
    QVEqualSplitter split(Qt::Horizontal);
    split.setHandleWidth(1);
    for (int i = 0; i < 3; ++i) split.addWidget(new QListView);
    split.resize(301, 100);
    split.show();
    split.setSizes({200, 50, 49});
    split.resize(303, 100);
    QApplication::processEvents();
    EXPECT_EQ(split.sizes(), (QList<int>{101, 100, 100}));
}

TEST_F(LanguageEditorsTest, TagStylesReachTheParserWhenLeftAndAreAnnouncedOnce) {
    int posted = 0;
    const auto token = NotificationCenter::defaultCenter().addObserver(QString::fromLatin1(QorvelHighlightingPrefsChange), nullptr,
                                                                        [&](const Notification&) { ++posted; });
    const auto html = bundleTitled(pane, QStringLiteral("HTML"));
    const auto parser = std::dynamic_pointer_cast<QVTagBasedParser>(html->parser());
    ASSERT_NE(parser, nullptr);
    const QVariantMap before = parser->style();
    auto* editor = open<QVTagSyntaxLangPane>(QStringLiteral("HTML"), 2);
    ASSERT_NE(editor, nullptr);
    editor->setStyleValue(QStringLiteral("comments"), QStringLiteral("comment.line"));
    editor->setStyleValue(QStringLiteral("quotes"), QStringLiteral("  "));
    EXPECT_EQ(parser->style(), before);  // nothing reaches the parser before the row is left
    pane.selectRow(html, -1);
    QVariantMap expected = before;
    expected.insert(QStringLiteral("comments"), QStringLiteral("comment.line"));
    expected.remove(QStringLiteral("quotes"));
    EXPECT_EQ(parser->style(), expected);
    // A second visit with a change queues the same notification again; it is posted once.
    editor = open<QVTagSyntaxLangPane>(QStringLiteral("HTML"), 2);
    ASSERT_NE(editor, nullptr);
    editor->setStyleValue(QStringLiteral("tags"), QStringLiteral("keyword"));
    pane.endSession();
    EXPECT_EQ(posted, 1);
    EXPECT_EQ(parser->style().value(QStringLiteral("tags")).toString(), QStringLiteral("keyword"));
    const QVariantMap saved = PropertyList::readFile(html->path() + QStringLiteral("/Contents/syntax.plist")).toMap();
    EXPECT_EQ(saved.value(QStringLiteral("style")).toMap().value(QStringLiteral("comments")).toString(), QStringLiteral("comment.line"));
    NotificationCenter::defaultCenter().removeObserver(token);
}

TEST_F(LanguageEditorsTest, NavigationSearchesAreEditedInASheetAndReplacedInPlace) {
    const auto css = bundleTitled(pane, QStringLiteral("CSS"));
    auto* editor = open<QVCodeNavLangPane>(QStringLiteral("CSS"), 1);
    ASSERT_NE(editor, nullptr);
    const QList<QVCodeNavItem> shipped = css->codeNavParser()->searches();
    ASSERT_EQ(editor->searches().size(), shipped.size());
    EXPECT_FALSE(editor->doubleClick());  // no selection, no sheet
    EXPECT_EQ(editor->editPanel(), nullptr);
    editor->selectRow(0);
    ASSERT_TRUE(editor->doubleClick());
    struct Case {
        QString pattern, status;
    };
    for (const Case& test : {Case{QStringLiteral("(unbalanced"), QStringLiteral("Invalid pattern")},
                             Case{QString(), QStringLiteral("A search needs a pattern")},
                             Case{QStringLiteral("@media[^{]*"), QString()}}) {
        QVCodeNavItem item = *editor->editItem();
        item.setSearchExpression(test.pattern);
        editor->setEditItem(item);
        EXPECT_EQ(editor->status(), test.status) << test.pattern.toStdString();
        if (!test.status.isEmpty()) {
            EXPECT_FALSE(editor->closeEditPanel(true));
        }
    }
    EXPECT_EQ(editor->searches().first().searchExpression(), shipped.first().searchExpression());
    ASSERT_TRUE(editor->closeEditPanel(true));
    EXPECT_EQ(editor->searches().size(), shipped.size());
    EXPECT_EQ(editor->searches().first().searchExpression(), QStringLiteral("@media[^{]*"));
    EXPECT_EQ(editor->searches().at(1).searchExpression(), shipped.at(1).searchExpression());
    EXPECT_TRUE(editor->searches().first().isBold());  // what the sheet did not touch stays
    // A search added and then cancelled leaves the list as it was.
    editor->addSearch();
    ASSERT_NE(editor->editPanel(), nullptr);
    EXPECT_EQ(editor->searches().size(), shipped.size() + 1);
    editor->closeEditPanel(false);
    EXPECT_EQ(editor->searches().size(), shipped.size());
    pane.outlineView()->clearSelection();
    EXPECT_EQ(css->codeNavParser()->searches().first().searchExpression(), QStringLiteral("@media[^{]*"));
    EXPECT_TRUE(pane.changedBundles().contains(css));

    // A bundle without searches gets its code-navigation parser with the first one.
    ASSERT_TRUE(pane.addBundle(QStringLiteral("Toy Searches"), QStringLiteral("source.toysearches")));
    const auto toy = bundleTitled(pane, QStringLiteral("Toy Searches"));
    ASSERT_EQ(toy->codeNavParser(), nullptr);
    editor = open<QVCodeNavLangPane>(QStringLiteral("Toy Searches"), 1);
    ASSERT_NE(editor, nullptr);
    editor->addSearch();
    QVCodeNavItem item = *editor->editItem();
    item.setSearchExpression(QStringLiteral("^def (\\w+)"));
    item.setMenuTitle(QStringLiteral("$1"));
    editor->setEditItem(item);
    ASSERT_TRUE(editor->closeEditPanel(true));
    // Leaving with the sheet of a second search open drops that one.
    editor->addSearch();
    pane.outlineView()->clearSelection();
    ASSERT_NE(toy->codeNavParser(), nullptr);
    ASSERT_EQ(toy->codeNavParser()->searches().size(), 1);
    EXPECT_EQ(toy->codeNavParser()->searches().first().menuTitle(), QStringLiteral("$1"));
    EXPECT_TRUE(pane.changedBundles().contains(toy));
}

TEST_F(LanguageEditorsTest, AKeywordIsListedOnceInTheCaseRuleOfItsLanguage) {
    // CSS finds keywords whatever their case, JavaScript does not.
    for (const auto& [title, caseBlind] : {std::pair{"CSS", true}, std::pair{"JavaScript", false}}) {
        SCOPED_TRACE(title);
        auto* editor = open<QVKeywordSyntaxLangPane>(QString::fromLatin1(title), 2);
        ASSERT_NE(editor, nullptr);
        QStandardItemModel* model = editor->model();
        ASSERT_GE(model->rowCount(), 2);
        EXPECT_TRUE(editor->addKeyword(0, QStringLiteral("zzOnce")));
        EXPECT_FALSE(editor->addKeyword(1, QStringLiteral("zzOnce")));
        EXPECT_EQ(editor->addKeyword(1, QStringLiteral("ZZONCE")), !caseBlind);
        // Typed over another keyword: the edit is undone and the refusal shown.
        QStandardItem* other = model->item(1)->child(0);
        const QString before = other->text();
        const QString taken = model->item(0)->child(0)->text();
        for (const QString& typed : {taken, QStringLiteral(" zzOnce ")}) {
            other->setText(typed);
            EXPECT_EQ(other->text(), before) << typed.toStdString();
            EXPECT_TRUE(refusedBox()) << typed.toStdString();
        }
        other->setText(QStringLiteral("zzFresh"));
        EXPECT_FALSE(refusedBox());
        EXPECT_EQ(other->text(), QStringLiteral("zzFresh"));
        // The Add Keyword button's placeholder is never a second copy either.
        auto* tree = editor->mainView()->findChild<QTreeView*>(QStringLiteral("identifiers"));
        QPushButton* add = nullptr;
        for (QPushButton* button : editor->mainView()->findChildren<QPushButton*>())
            if (button->text() == QLatin1String("Add Keyword")) add = button;
        ASSERT_TRUE(tree && add);
        QStringList placeholders;
        for (int i = 0; i < 2; ++i) {
            tree->setCurrentIndex(model->item(0)->index());
            add->click();
            placeholders << tree->currentIndex().data().toString();
        }
        EXPECT_NE(placeholders.first(), placeholders.last());
        // A new row named as a keyword listed already goes; a renamed one keeps its name.
        pane.mainView()->show();
        const int rows = model->item(0)->rowCount();
        tree->setCurrentIndex(model->item(0)->index());
        add->click();
        typeIntoOpenEditor(tree, QStringLiteral("zzFresh"));
        EXPECT_TRUE(refusedBox());
        EXPECT_EQ(model->item(0)->rowCount(), rows);
        tree->setCurrentIndex(model->item(0)->child(0)->index());
        QTest::keyClick(tree, Qt::Key_F2);
        typeIntoOpenEditor(tree, QStringLiteral("zzFresh"));
        EXPECT_TRUE(refusedBox());
        EXPECT_EQ(model->item(0)->child(0)->text(), taken);
        EXPECT_EQ(model->item(0)->rowCount(), rows);
    }

    // Completions: the same keyword with another prototype is an overload; with the same one, a copy.
    auto* completion = open<QVKeywordCodeCompletionLangPane>(QStringLiteral("JavaScript"), 0);
    ASSERT_NE(completion, nullptr);
    QStandardItemModel* entries = completion->model();
    completion->addEntry();
    completion->addEntry();
    const int a = entries->rowCount() - 2, b = a + 1;
    entries->item(a, 0)->setText(QStringLiteral("zzKey"));
    entries->item(a, 1)->setText(QStringLiteral("zzKey(a)"));
    entries->item(b, 0)->setText(QStringLiteral("zzKey"));
    entries->item(b, 1)->setText(QStringLiteral("zzKey(b)"));
    EXPECT_FALSE(refusedBox());
    entries->item(b, 1)->setText(QStringLiteral("zzKey(a)"));
    EXPECT_TRUE(refusedBox());
    EXPECT_EQ(entries->item(b, 1)->text(), QStringLiteral("zzKey(b)"));
}

TEST_F(LanguageEditorsTest, TheIndexSwitchChangesTheBundlesOwnRulesAndIsSaved) {
    const auto css = bundleTitled(pane, QStringLiteral("CSS"));
    const auto indexer = std::dynamic_pointer_cast<QVCodeIndexer>(css->codeIndexer());
    ASSERT_NE(indexer, nullptr);
    QVCodeIndexLangPane editor(css, &pane);
    ASSERT_TRUE(editor.allowSelect());
    editor.setIndexingEnabled(true);  // no change, nothing reported
    EXPECT_TRUE(pane.changedBundles().empty());
    editor.setIndexingEnabled(false);
    EXPECT_TRUE(pane.changedBundles().contains(css));
    EXPECT_EQ(indexer->enabled(), QVCodeIndexer::EnabledOff);
    editor.unselect();
    EXPECT_EQ(editor.indexer(), nullptr);
    pane.endSession();
    EXPECT_EQ(PropertyList::readFile(css->path() + QStringLiteral("/Contents/indexer.plist")).toMap().value(QStringLiteral("enabled")),
              QVariant(false));
    // A bundle without rules has nothing to show.
    QVCodeIndexLangPane none(bundleTitled(pane, QStringLiteral("Plain Text")), &pane);
    EXPECT_FALSE(none.allowSelect());
}

}  // namespace
