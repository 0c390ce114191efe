// The languages pane over the shipped bundles: editors chosen by row and by parser class, the
// type pickers, the fold checks, hostile bundle titles, and the saves and notifications at the
// end of the session.
#include "completion/QVCodeCompletion.h"
#include "editor/QVEditorNotifications.h"
#include "languages/QVBundle.h"
#include "languages/QVBundleRepository.h"
#include "languages/QVKeywordBasedParser.h"
#include "languages/QVTagBasedParser.h"
#include "platform/NotificationCenter.h"
#include "platform/QVRegex.h"
#include "preferences/QVCodeNavLangPane.h"
#include "preferences/QVCompletionLangPanes.h"
#include "preferences/QVLanguageEditors.h"
#include "preferences/QVLanguagesPrefPane.h"
#include "shell/Defaults.h"
#include "tests/support/TestSupport.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QDirIterator>
#include <QListWidget>
#include <QTableView>
#include <QStandardItemModel>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <typeinfo>

namespace {

std::shared_ptr<QVBundle> bundleTitled(QVLanguagesPrefPane& pane, const QString& title) {
    for (const auto& bundle : pane.bundles())
        if (bundle->title() == title) return bundle;
    return nullptr;
}

QStringList savedBundles() {
    QStringList names;
    QDirIterator it(Defaults::appSupportPathForFile(QStringLiteral("Bundles")), {QStringLiteral("*.qvbundle")}, QDir::Dirs);
    while (it.hasNext()) names << it.next().section(u'/', -1);
    names.sort();
    return names;
}

class LanguagesPaneTest : public ::testing::Test {
protected:
    void SetUp() override {
        QVCodeCompletion::registerFactories();
        ASSERT_TRUE(pane.allowSelect());
        pane.startSession();
    }
    QVLanguagesPrefPane pane{QStringLiteral("Languages")};
};

TEST_F(LanguagesPaneTest, EachRowOpensItsEditorOrSaysWhyNot) {
    const auto css = bundleTitled(pane, QStringLiteral("CSS"));
    ASSERT_NE(css, nullptr);
    EXPECT_EQ(pane.selectionState(), QStringLiteral("No Selection"));
    struct Case {
        int property;
        const char* editor;  // the editor's class, or the placeholder's text
    };
    for (const Case& test : {Case{-1, typeid(QVBundleLangPane).name()}, Case{2, typeid(QVKeywordSyntaxLangPane).name()},
                             Case{1, typeid(QVCodeNavLangPane).name()}}) {
        pane.selectRow(css, test.property);
        if (const auto* shown = pane.currentPane()) EXPECT_STREQ(typeid(*shown).name(), test.editor) << test.property;
        else EXPECT_EQ(pane.selectionState(), QString::fromLatin1(test.editor)) << test.property;
        EXPECT_EQ(pane.noEditorController(), nullptr);
    }
    pane.outlineView()->clearSelection();
    EXPECT_EQ(pane.selectionState(), QStringLiteral("No Selection"));
}

TEST_F(LanguagesPaneTest, APickerCreatesOnlyWhenConfirmed) {
    // A new bundle has a plain parser and no completion: both rows offer a picker.
    ASSERT_TRUE(pane.addBundle(QStringLiteral("Toy Language"), QStringLiteral("source.toylanguage")));
    const auto toy = bundleTitled(pane, QStringLiteral("Toy Language"));
    ASSERT_NE(toy, nullptr);
    const auto plain = toy->parser();
    for (const int property : {2, 0}) {
        pane.selectRow(toy, property);
        ASSERT_NE(pane.noEditorController(), nullptr) << property;
        pane.noEditorController()->setType(1);
        pane.noEditorController()->reject();
        EXPECT_EQ(toy->parser(), plain);
        EXPECT_EQ(toy->codeCompletion(), nullptr);
        EXPECT_TRUE(pane.outlineView()->selectedItems().isEmpty());
    }
    // The keyword kind confirmed: the keyword syntax editor opens at once.
    pane.selectRow(toy, 2);
    ASSERT_NE(pane.noEditorController(), nullptr);
    pane.noEditorController()->setType(0);
    pane.noEditorController()->accept();
    const auto parser = std::dynamic_pointer_cast<QVKeywordBasedParser>(toy->parser());
    ASSERT_NE(parser, nullptr);
    EXPECT_EQ(parser->identifier(), plain->identifier());
    ASSERT_NE(pane.currentPane(), nullptr);
    const auto& shown = *pane.currentPane();
    EXPECT_STREQ(typeid(shown).name(), typeid(QVKeywordSyntaxLangPane).name());
    EXPECT_TRUE(pane.changedBundles().contains(toy));
    // The tag kind makes a tag engine through the registered factories.
    pane.selectRow(toy, 0);
    ASSERT_NE(pane.noEditorController(), nullptr);
    pane.noEditorController()->setType(1);
    pane.noEditorController()->accept();
    EXPECT_NE(toy->codeCompletion(), nullptr);
}

TEST_F(LanguagesPaneTest, FoldPatternsAreConfirmedOnlyWhenTheyCompile) {
    const auto css = bundleTitled(pane, QStringLiteral("CSS"));
    pane.selectRow(css, 2);
    auto* editor = dynamic_cast<QVKeywordSyntaxLangPane*>(pane.currentPane());
    ASSERT_NE(editor, nullptr);
    const auto parser = editor->keywordParser();
    const QString opener = parser->foldOpener() ? parser->foldOpener()->pattern() : QString();
    const QString characters = parser->keywordCharacters();

    // Cancelling restores what the parser has.
    editor->options();
    editor->setFoldOpener(QStringLiteral("\\{\\s*$"));
    editor->setKeywordCharacters(QStringLiteral("xyz"));
    ASSERT_TRUE(editor->closeOptions(false));
    EXPECT_EQ(editor->foldOpener(), opener);
    EXPECT_EQ(editor->keywordCharacters(), characters);

    editor->options();
    struct Case {
        QString opener, closer, status;
    };
    for (const Case& test : {Case{QStringLiteral("(unbalanced"), QStringLiteral("\\}"), QStringLiteral("Invalid fold opener")},
                             Case{QStringLiteral("\\{"), QStringLiteral("[a-"), QStringLiteral("Invalid fold closer")},
                             Case{QStringLiteral("\\{"), QStringLiteral("\\}"), QString()}}) {
        editor->setFoldOpener(test.opener);
        editor->setFoldCloser(test.closer);
        EXPECT_EQ(editor->status(), test.status) << test.opener.toStdString();
        if (!test.status.isEmpty()) {
            EXPECT_FALSE(editor->closeOptions(true));  // the sheet stays, saying why
            EXPECT_NE(editor->optionsPanel(), nullptr);
        }
    }
    ASSERT_TRUE(editor->closeOptions(true));
    EXPECT_EQ(parser->foldOpener()->pattern(), QStringLiteral("\\{"));
    EXPECT_EQ(parser->foldCloser()->pattern(), QStringLiteral("\\}"));
    EXPECT_TRUE(pane.changedBundles().contains(css));

    // Leaving the row with the sheet open drops what it holds.
    editor->options();
    editor->setFoldOpener(QStringLiteral("unconfirmed"));
    pane.outlineView()->clearSelection();
    EXPECT_EQ(parser->foldOpener()->pattern(), QStringLiteral("\\{"));
}

TEST_F(LanguagesPaneTest, TheSessionSavesEachChangedBundleAndPostsEachNameOnce) {
    QStringList posted;
    QList<NotificationCenter::Token> tokens;
    for (const char* name : {QorvelHighlightingPrefsChange, QVBundleFileCategoriesChanged})
        tokens << NotificationCenter::defaultCenter().addObserver(QString::fromLatin1(name), nullptr,
                                                                   [&](const Notification& n) { posted << n.name; });
    // Nothing changed: nothing written, nothing posted.
    pane.endSession();
    EXPECT_TRUE(savedBundles().isEmpty());
    EXPECT_TRUE(posted.isEmpty());

    pane.startSession();
    const auto css = bundleTitled(pane, QStringLiteral("CSS"));
    const auto js = bundleTitled(pane, QStringLiteral("JavaScript"));
    ASSERT_TRUE(css && js);
    // Two keyword editors queue the highlighting change; one bundle editor the categories'.
    for (const auto& bundle : {css, js}) {
        pane.selectRow(bundle, 2);
        auto* editor = dynamic_cast<QVKeywordSyntaxLangPane*>(pane.currentPane());
        ASSERT_NE(editor, nullptr);
        editor->addKeyword(0, QStringLiteral("zzzunique"));
    }
    pane.selectRow(js, -1);
    auto* bundleEditor = dynamic_cast<QVBundleLangPane*>(pane.currentPane());
    ASSERT_NE(bundleEditor, nullptr);
    const QStringList claimed = js->fileCategories();
    ASSERT_FALSE(claimed.isEmpty());
    bundleEditor->setCategoryClaimed(claimed.first(), false);
    bundleEditor->setCategoryClaimed(QStringLiteral("No Such Category"), true);
    // Hostile titles: empty ones are refused, the others make bundles whose folders are safe.
    EXPECT_FALSE(pane.addBundle(QString(), QStringLiteral("source.none")));
    EXPECT_FALSE(pane.addBundle(QStringLiteral("   "), QStringLiteral("source.none")));
    for (const QString& title : {QStringLiteral("/"), QStringLiteral(".."), QString(300, u'x')})
        EXPECT_TRUE(pane.addBundle(title, QStringLiteral("source.hostile") + QString::number(title.size()))) << title.size();
    pane.endSession();
    EXPECT_EQ(posted.count(QString::fromLatin1(QorvelHighlightingPrefsChange)), 1);
    EXPECT_EQ(posted.count(QString::fromLatin1(QVBundleFileCategoriesChanged)), 1);
    EXPECT_EQ(posted.size(), 2);
    const QStringList saved = savedBundles();
    EXPECT_EQ(saved.size(), 5) << saved.join(u',').toStdString();
    EXPECT_TRUE(saved.contains(QStringLiteral("CSS.qvbundle")));
    EXPECT_EQ(js->fileCategories(), claimed.mid(1));
    EXPECT_TRUE(pane.changedBundles().empty());
    for (const auto& bundle : {css, js}) {
        bool found = false;
        for (const QVariant& group : std::dynamic_pointer_cast<QVKeywordBasedParser>(bundle->parser())->identifiers())
            for (const QVariant& word : group.toMap().value(QStringLiteral("keywords")).toList())
                found = found || word.toMap().value(QStringLiteral("title")).toString() == QLatin1String("zzzunique");
        EXPECT_TRUE(found) << bundle->title().toStdString();
    }
    for (auto token : tokens) NotificationCenter::defaultCenter().removeObserver(token);
}

TEST_F(LanguagesPaneTest, KeywordCompletionsAreSearchedByPrefixAndHandedBackWhenLeft) {
    const auto js = bundleTitled(pane, QStringLiteral("JavaScript"));
    pane.selectRow(js, 0);
    auto* editor = dynamic_cast<QVKeywordCodeCompletionLangPane*>(pane.currentPane());
    ASSERT_NE(editor, nullptr);
    // 50,000 keywords, searched letter by letter.
    QVariantList many;
    for (int i = 0; i < 50000; ++i) many << QVariantMap{{"key", QStringLiteral("kw%1").arg(i, 5, 10, QLatin1Char('0'))}, {"prototype", QString()}};
    editor->codeCompletion()->setEntries(many);
    pane.selectRow(js, -1);
    pane.selectRow(js, 0);
    editor = dynamic_cast<QVKeywordCodeCompletionLangPane*>(pane.currentPane());
    ASSERT_NE(editor, nullptr);
    ASSERT_EQ(editor->model()->rowCount(), 50000);
    struct Case {
        QString search;
        int shown;
    };
    for (const Case& test : {Case{QStringLiteral("k"), 50000}, Case{QStringLiteral("kw4"), 10000}, Case{QStringLiteral("kw49"), 1000},
                             Case{QStringLiteral("kw4999"), 10}, Case{QStringLiteral("Kw"), 0}, Case{QString(), 50000}}) {
        editor->search(test.search);
        EXPECT_EQ(editor->filter()->rowCount(), test.shown) << test.search.toStdString();
    }
    // A new empty entry stays in view under the search until the next search.
    editor->search(QStringLiteral("kw4999"));
    editor->addEntry();
    EXPECT_EQ(editor->filter()->rowCount(), 11);
    editor->model()->item(50000, 0)->setText(QStringLiteral("zzfresh"));
    editor->search(QStringLiteral("kw4999"));
    EXPECT_EQ(editor->filter()->rowCount(), 10);
    // Leaving hands the entries over, the one being typed included.
    pane.outlineView()->clearSelection();
    const QVariantList entries = std::dynamic_pointer_cast<QVCodeCompletion>(js->codeCompletion())->entries(false);
    EXPECT_EQ(entries.size(), 50001);
    EXPECT_TRUE(pane.changedBundles().contains(js));
    // Leaving without changes touches nothing.
    pane.selectRow(js, 0);
    pane.outlineView()->clearSelection();
    EXPECT_EQ(std::dynamic_pointer_cast<QVCodeCompletion>(js->codeCompletion())->entries(false).size(), 50001);
}

}  // namespace
