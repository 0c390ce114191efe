// The panes on real files and the real settings store: moving the snippets and scripts folders,
// the text-editing notifications, the site-view filters and the files pane's categories, each
// saved (or reported) when the window's session ends.
#include "editor/QVEditorNotifications.h"
#include "editor/QVFileDocument.h"
#include "editor/QVSnippetFileView.h"
#include "editor/QVSnippetRepository.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"
#include "preferences/QVFilesPrefPane.h"
#include "preferences/QVGeneralPrefPane.h"
#include "preferences/QVSiteViewPrefPane.h"
#include "preferences/QVTextEditingPrefPane.h"
#include "shell/Defaults.h"
#include "shell/QVFileCategory.h"
#include "shell/QVFileFilter.h"
#include "shell/QVFileFilters.h"
#include "tests/support/TestSupport.h"
#include "tools/QVUserScript.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QSpinBox>
#include <QTableWidget>
#include <QTest>
#include <QTreeWidget>

#include <gtest/gtest.h>

namespace {

// Counts the notifications of the names while alive.
struct Posts {
    explicit Posts(const QStringList& names) {
        for (const QString& name : names)
            tokens << NotificationCenter::defaultCenter().addObserver(name, nullptr, [this](const Notification& n) { seen << n.name; });
    }
    ~Posts() {
        for (auto token : tokens) NotificationCenter::defaultCenter().removeObserver(token);
    }
    QStringList seen;
    QList<NotificationCenter::Token> tokens;
};

QMessageBox* errorBox() {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->objectName() == QLatin1String("PrefsError") && box->isVisible())
            return box;
    return nullptr;
}

void closeErrorBoxes() {
    while (QMessageBox* box = errorBox()) box->close();
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

TEST(PreferencePanesTest, AChosenSnippetsFolderIsWhereSnippetsAreReadEditedAndSavedFrom) {
    TestDir dir;
    UserDefaults& defaults = UserDefaults::standard();
    const QString support = QVSnippetRepository::defaultSnippetsFolder();
    writeFile(support + QStringLiteral("/.Qorvel"), {});
    writeFile(support + QStringLiteral("/Lists/Item"), QVSnippet::fileData(QStringLiteral("<li>$1</li>")));
    QVGeneralPrefPane pane(QStringLiteral("General"));
    ASSERT_TRUE(pane.allowSelect());

    // Moved into F: copied there, stored, and the shared store now reads it.
    ASSERT_TRUE(pane.chooseSnippetsFolder(dir.file(QStringLiteral("F"))));
    const QString moved = dir.file(QStringLiteral("F/snippets"));
    EXPECT_EQ(defaults.stringForKey(QString::fromLatin1(qvSnippetsLocation)), moved);
    EXPECT_TRUE(QFile::exists(moved + QStringLiteral("/Lists/Item")));
    EXPECT_EQ(pane.snippetsLocationField()->text(), moved);
    QVSnippetRepository& store = QVSnippetRepository::sharedRepository();
    EXPECT_EQ(store.snippetsFolder(), moved);
    writeFile(moved + QStringLiteral("/Only Here"), QVSnippet::fileData(QStringLiteral("x")));
    store.reloadSnippets();
    QStringList titles;
    for (const auto& snippet : store.snippets()) titles << snippet->title();
    EXPECT_TRUE(titles.contains(QStringLiteral("Only Here"))) << titles.join(u',').toStdString();
    // The snippet editor and its UTF-16 rule follow the folder; the old one is an ordinary folder.
    EXPECT_TRUE(QVSnippetFileView::canDisplayPath(moved + QStringLiteral("/Lists/Item")));
    EXPECT_FALSE(QVSnippetFileView::canDisplayPath(support + QStringLiteral("/Lists/Item")));

    // A second move copies from the current folder, not the support folder.
    ASSERT_TRUE(pane.chooseSnippetsFolder(dir.file(QStringLiteral("G"))));
    EXPECT_TRUE(QFile::exists(dir.file(QStringLiteral("G/snippets/Only Here"))));

    // A place where nothing can be copied (a file stands where the folder would go) keeps the
    // old location and says why.
    writeFile(dir.file(QStringLiteral("H/snippets")), "a file");
    EXPECT_FALSE(pane.chooseSnippetsFolder(dir.file(QStringLiteral("H"))));
    EXPECT_EQ(defaults.stringForKey(QString::fromLatin1(qvSnippetsLocation)), dir.file(QStringLiteral("G/snippets")));
    EXPECT_NE(errorBox(), nullptr);
    closeErrorBoxes();

    // Scripts: the folder holding them is stored and the store reads from it.
    writeFile(QVUserScriptRepository::defaultScriptsFolder() + QStringLiteral("/10-Hello.sh"), "#!/bin/sh\necho hi\n");
    ASSERT_TRUE(pane.chooseUserScriptsFolder(dir.file(QStringLiteral("S"))));
    EXPECT_EQ(defaults.stringForKey(QString::fromLatin1(qvUserScriptsLocation)), dir.file(QStringLiteral("S/userscripts")));
    QVUserScriptRepository& scripts = QVUserScriptRepository::sharedInstance();
    EXPECT_EQ(scripts.sourcePath(), dir.file(QStringLiteral("S/userscripts")));
    ASSERT_EQ(scripts.countOfOperations(), 1);
    EXPECT_EQ(QFileInfo(scripts.objectInOperationsAtIndex(0)->path()).fileName(), QStringLiteral("10-Hello.sh"));
    defaults.removeObject(QString::fromLatin1(qvSnippetsLocation));
    defaults.removeObject(QString::fromLatin1(qvUserScriptsLocation));
}

TEST(PreferencePanesTest, TheGeneralPaneEditsTheConsentAndForgetsTheLaunchAnswers) {
    UserDefaults& defaults = UserDefaults::standard();
    defaults.setBool(false, QString::fromLatin1(qvAnonymousUsageTracking));
    defaults.setString(QStringLiteral("1.0"), QString::fromLatin1(qvDisplayInfoView));
    QVGeneralPrefPane pane(QStringLiteral("General"));
    ASSERT_TRUE(pane.allowSelect());
    auto* consent = pane.mainView()->findChild<QCheckBox*>(QString::fromLatin1(qvAnonymousUsageTracking));
    ASSERT_NE(consent, nullptr);
    EXPECT_FALSE(consent->isChecked());
    QTest::mouseClick(consent, Qt::LeftButton);
    EXPECT_TRUE(defaults.boolForKey(QString::fromLatin1(qvAnonymousUsageTracking)));
    // A change from elsewhere shows in the box.
    defaults.setBool(false, QString::fromLatin1(qvAnonymousUsageTracking));
    EXPECT_FALSE(consent->isChecked());

    for (const QMessageBox::StandardButton answer : {QMessageBox::Cancel, QMessageBox::Ok}) {
        QTimer::singleShot(0, [answer] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) box->button(answer)->click();
        });
        pane.resetDialogChoices();
        EXPECT_EQ(defaults.contains(QString::fromLatin1(qvDisplayInfoView)), answer == QMessageBox::Cancel);
        EXPECT_EQ(defaults.contains(QString::fromLatin1(qvAnonymousUsageTracking)), answer == QMessageBox::Cancel);
    }
    EXPECT_EQ(QVGeneralPrefPane::createSecureBookmark(QStringLiteral("/tmp/a b")), QByteArray("file:///tmp/a%20b"));
}

TEST(PreferencePanesTest, TextEditingPostsOneNotificationOfEachKindAtTheSessionsEnd) {
    UserDefaults& defaults = UserDefaults::standard();
    Defaults::resetDefaults(defaults);
    QVTextEditingPrefPane pane(QStringLiteral("Text Editing"));
    ASSERT_TRUE(pane.allowSelect());
    struct Case {
        std::function<void()> edit;
        QStringList posted;
    };
    auto* tabSize = pane.mainView()->findChild<QSpinBox*>(QString::fromLatin1(QVTabSizeKey));
    auto* lineNumbers = pane.mainView()->findChild<QCheckBox*>(QString::fromLatin1(QVLineNums));
    ASSERT_TRUE(tabSize && lineNumbers);
    const QList<Case> cases = {
        {[] {}, {}},
        {[&] {
             tabSize->setValue(tabSize->value() + 2);
             tabSize->setValue(tabSize->value() + 1);
             lineNumbers->click();
         },
         {QString::fromLatin1(QorvelEditorPrefsChange), QString::fromLatin1(QorvelCodeFoldingPrefChanged)}},
        {[&] { defaults.setBool(!defaults.boolForKey(QString::fromLatin1(QVCodeFoldingEnabled)), QString::fromLatin1(QVCodeFoldingEnabled)); },
         {QString::fromLatin1(QorvelCodeFoldingPrefChanged)}},
        {[&] { pane.prefsFontChanged(QFont(QStringLiteral("DejaVu Sans Mono"), 12)); }, {QString::fromLatin1(QorvelEditorPrefsChange)}},
    };
    for (const Case& test : cases) {
        Posts posts({QString::fromLatin1(QorvelEditorPrefsChange), QString::fromLatin1(QorvelCodeFoldingPrefChanged)});
        pane.startSession();
        test.edit();
        pane.endSession();
        EXPECT_EQ(posts.seen, test.posted);
    }
    EXPECT_EQ(tabSize->value(), defaults.integerForKey(QString::fromLatin1(QVTabSizeKey)));
    EXPECT_EQ(pane.fontField()->text(), Defaults::defaultFont().family() + QStringLiteral(" \u2014 12pt"));
}

TEST(PreferencePanesTest, SiteViewFiltersAreEditedInASheetAndWrittenOnceWhenChanged) {
    const std::shared_ptr<QVFileFilters> filters = QVFileFilters::sharedFilters();
    QVSiteViewPrefPane pane(QStringLiteral("Site View"));
    ASSERT_TRUE(pane.allowSelect());
    const QString file = Defaults::appSupportPathForFile(QStringLiteral("siteViewFiles.plist"), QStringLiteral("data"));
    Posts posts({QString::fromLatin1(QVSiteViewFiltersChanged)});

    // A session without changes writes and posts nothing.
    pane.startSession();
    filters->setModified(false);
    pane.endSession();
    EXPECT_FALSE(QFile::exists(file));
    EXPECT_TRUE(posts.seen.isEmpty());

    pane.startSession();
    pane.addFilter();
    const int row = filters->countOfFilters() - 1;
    // Cancel leaves the list as it was; save puts the edited copy in its place.
    pane.tableView()->selectRow(row);
    pane.doubleClick();
    ASSERT_NE(pane.editPanel(), nullptr);
    pane.editPanel()->findChild<QLineEdit*>(QStringLiteral("pattern"))->setText(QStringLiteral("\\.bak$"));
    pane.cancel();
    EXPECT_EQ(filters->objectInFiltersAtIndex(row)->pattern(), QString());
    pane.doubleClick();
    pane.editPanel()->findChild<QLineEdit*>(QStringLiteral("title"))->setText(QStringLiteral("Backups"));
    // A pattern that does not compile is refused as the fold and navigation sheets refuse one.
    auto* status = pane.editPanel()->findChild<QLabel*>(QStringLiteral("status"));
    ASSERT_NE(status, nullptr);
    QPushButton* save = pane.editPanel()->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Save);
    for (const auto& [pattern, valid] : {std::pair{"([", false}, std::pair{"", true}, std::pair{"a{2,1}", false}, std::pair{"\\.bak$", true}}) {
        auto* field = pane.editPanel()->findChild<QLineEdit*>(QStringLiteral("pattern"));
        QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(field, Qt::Key_Delete);
        QTest::keyClicks(field, QString::fromLatin1(pattern));
        EXPECT_EQ(status->text(), valid ? QString() : QStringLiteral("Invalid pattern")) << pattern;
        EXPECT_EQ(save->isEnabled(), valid) << pattern;
        if (!valid) {
            QTest::keyClick(pane.editPanel(), Qt::Key_Return);
            save->click();
            ASSERT_NE(pane.editPanel(), nullptr);
            EXPECT_EQ(filters->objectInFiltersAtIndex(row)->pattern(), QString());
        }
    }
    save->click();
    EXPECT_EQ(filters->countOfFilters(), row + 1);
    EXPECT_EQ(filters->objectInFiltersAtIndex(row)->title(), QStringLiteral("Backups"));
    EXPECT_TRUE(filters->stringMatchesFilters(QStringLiteral("a.bak")));

    // A write that fails (a file stands where the data folder goes) is shown and tried again at
    // the next close.
    const QString data = QFileInfo(file).absolutePath();
    QDir(data).removeRecursively();
    writeFile(data, "in the way");
    pane.endSession();
    EXPECT_NE(errorBox(), nullptr);
    closeErrorBoxes();
    EXPECT_TRUE(posts.seen.isEmpty());
    EXPECT_TRUE(filters->modified());
    QFile::remove(data);
    pane.startSession();
    pane.endSession();
    EXPECT_TRUE(QFile::exists(file));
    EXPECT_EQ(posts.seen, QStringList{QString::fromLatin1(QVSiteViewFiltersChanged)});
    EXPECT_FALSE(filters->modified());

    // Closing with the sheet open drops its unconfirmed copy.
    pane.startSession();
    pane.tableView()->selectRow(row);
    pane.doubleClick();
    pane.editPanel()->findChild<QLineEdit*>(QStringLiteral("title"))->setText(QStringLiteral("Unconfirmed"));
    pane.endSession();
    EXPECT_EQ(pane.editPanel(), nullptr);
    EXPECT_EQ(filters->objectInFiltersAtIndex(row)->title(), QStringLiteral("Backups"));
    EXPECT_FALSE(filters->modified());
}

TEST(PreferencePanesTest, ACategoryNameAnotherCategoryHasIsRefusedAndNothingMerges) {
    const std::shared_ptr<QVFileCategories> categories = QVFileCategories::sharedCategories();
    QVFilesPrefPane pane(QStringLiteral("Files"));
    ASSERT_TRUE(pane.allowSelect());
    pane.startSession();
    QTreeWidget* text = pane.outline(QVFileCategoryKindText);
    const auto itemTitled = [&](const QString& title) -> QTreeWidgetItem* {
        for (int i = 0; i < text->topLevelItemCount(); ++i)
            if (text->topLevelItem(i)->text(0) == title) return text->topLevelItem(i);
        return nullptr;
    };
    const std::shared_ptr<QVFileCategory> perl = categories->categoryForTitle(QStringLiteral("Perl"));
    ASSERT_NE(perl, nullptr);
    // Categories are found by name whatever its case, the image ones too.
    struct Case {
        QString typed, shown;
        bool refused;
    };
    for (const Case& c : {Case{"PHP", "Perl", true}, Case{"php", "Perl", true}, Case{" Images ", "Perl", true},
                          Case{"perl", "perl", false}, Case{"Perl", "Perl", false}}) {
        SCOPED_TRACE(c.typed.toStdString());
        QTreeWidgetItem* item = itemTitled(perl->title());
        ASSERT_NE(item, nullptr);
        item->setText(0, c.typed);
        QCoreApplication::processEvents();
        EXPECT_EQ(errorBox() != nullptr, c.refused);
        if (c.refused && errorBox()) {
            EXPECT_TRUE(errorBox()->text().contains("\u201c" + c.typed.trimmed() + "\u201d is taken by another category"));
        }
        closeErrorBoxes();
        EXPECT_EQ(perl->title(), c.shown);
        EXPECT_NE(itemTitled(c.shown), nullptr);
    }
    // An extension belongs to one category: typed into a second it is refused, naming the first.
    const std::shared_ptr<QVFileCategory> php = categories->categoryForExtension(QStringLiteral("php"));
    const std::shared_ptr<QVFileCategory> images = categories->categoryForExtension(QStringLiteral("png"));
    ASSERT_TRUE(php && images && php != perl && images != perl);
    struct TypeCase {
        QString typed;
        QString named;  // what the refusal names (another category, the ignore list); empty: taken
        QString taken;  // the extension then in the category (empty: as typed)
    };
    // An ignored extension is never looked up in a category: it is refused too, naming the list.
    // Extensions are compared without a leading dot and in one case, as files are matched.
    categories->addIgnorableType(QStringLiteral("qvignored"));
    const QString list = QStringLiteral("list of ignored extensions");
    for (const TypeCase& c : {TypeCase{"php", "\u201c" + php->title() + "\u201d"}, TypeCase{"png", "\u201c" + images->title() + "\u201d"},
                              TypeCase{".PHP", "\u201c" + php->title() + "\u201d"}, TypeCase{"qvignored", list},
                              TypeCase{".qvignored", list}, TypeCase{"QVIgnored", list}, TypeCase{"..qvignored", list},
                              TypeCase{"PM", {}}, TypeCase{".pmx", {}, "pmx"}}) {
        SCOPED_TRACE(c.typed.toStdString());
        const bool refused = !c.named.isEmpty();
        const QString taken = refused ? c.typed : c.taken.isEmpty() ? c.typed : c.taken;
        QTreeWidgetItem* perlItem = itemTitled(perl->title());
        ASSERT_NE(perlItem, nullptr);
        QTreeWidgetItem* type = perlItem->child(int(perl->typeTitles().indexOf(QStringLiteral("cgi"))));
        ASSERT_NE(type, nullptr);
        type->setText(0, c.typed);
        QCoreApplication::processEvents();
        EXPECT_EQ(errorBox() != nullptr, refused);
        if (refused && errorBox()) {
            EXPECT_TRUE(errorBox()->text().contains(c.named)) << errorBox()->text().toStdString();
        }
        closeErrorBoxes();
        EXPECT_EQ(perl->typeTitles().contains(taken), !refused);
        EXPECT_EQ(categories->categoryForExtension(taken) == perl, !refused);
        EXPECT_TRUE(perl->typeTitles().contains(QStringLiteral("cgi")) == refused);
        // Back to the shipped name for the next row and the save below.
        if (!refused) {
            QCoreApplication::processEvents();
            QTreeWidgetItem* shown = itemTitled(perl->title())->child(int(perl->typeTitles().indexOf(taken)));
            ASSERT_NE(shown, nullptr);
            EXPECT_EQ(shown->text(0), taken);
            shown->setText(0, QStringLiteral("cgi"));
            QCoreApplication::processEvents();
        }
    }
    categories->removeIgnorableType(QStringLiteral("qvignored"));
    // A type just added and named as another category's extension goes with its placeholder.
    const int perlTypes = int(perl->typeTitles().size());
    text->clearSelection();
    itemTitled(perl->title())->setExpanded(true);
    itemTitled(perl->title())->setSelected(true);
    pane.addItem(QVFileCategoryKindText);
    ASSERT_EQ(text->selectedItems().size(), 1);
    ASSERT_EQ(text->selectedItems().first()->text(0), QStringLiteral("New Type"));
    text->selectedItems().first()->setText(0, QStringLiteral("php"));
    QCoreApplication::processEvents();
    EXPECT_NE(errorBox(), nullptr);
    closeErrorBoxes();
    EXPECT_EQ(perl->typeTitles().size(), perlTypes);
    EXPECT_FALSE(perl->typeTitles().contains(QStringLiteral("New Type")));
    EXPECT_EQ(itemTitled(perl->title())->childCount(), perlTypes);
    // New categories get names of their own; they go again before the save.
    QStringList added;
    for (int i = 0; i < 2; ++i) {
        text->clearSelection();
        pane.addItem(QVFileCategoryKindText);
        ASSERT_EQ(text->selectedItems().size(), 1);
        added << text->selectedItems().first()->text(0);
    }
    EXPECT_EQ(added.first(), QStringLiteral("New Category"));
    EXPECT_EQ(added.last(), QStringLiteral("New Category 2"));
    for (const QString& title : added) {
        text->clearSelection();
        itemTitled(title)->setSelected(true);
        pane.removeItem(QVFileCategoryKindText);
    }
    pane.endSession();
    const QVariantMap written = PropertyList::readFile(Defaults::appSupportPathForFile(QStringLiteral("fileCategories.plist"), QStringLiteral("data")))
                                    .toMap()
                                    .value(QStringLiteral("Text"))
                                    .toMap();
    EXPECT_EQ(written.value(QStringLiteral("Perl")).toMap().value(QStringLiteral("types")).toStringList(), (QStringList{"cgi", "pl", "pm"}));
    EXPECT_TRUE(written.contains(QStringLiteral("PHP")));
    EXPECT_EQ(categories->categoryForExtension(QStringLiteral("pl")), perl);
}

TEST(PreferencePanesTest, TheFilesPaneEditsCategoriesAndWritesThemOnceAtTheEnd) {
    const std::shared_ptr<QVFileCategories> categories = QVFileCategories::sharedCategories();
    QVFilesPrefPane pane(QStringLiteral("Files"));
    ASSERT_TRUE(pane.allowSelect());
    pane.startSession();
    const QString file = Defaults::appSupportPathForFile(QStringLiteral("fileCategories.plist"), QStringLiteral("data"));
    Posts posts({QString::fromLatin1(QVFileCategoriesChangedNotification)});
    QTreeWidget* text = pane.outline(QVFileCategoryKindText);
    ASSERT_GT(text->topLevelItemCount(), 0);
    const int categoryCount = text->topLevelItemCount();

    // Encoding and autosave are stored at once and write no category file.
    pane.changeEncoding(pane.encodingsPopUp()->count() - 1);
    EXPECT_EQ(Defaults::textEncoding(), pane.encodingsPopUp()->itemData(pane.encodingsPopUp()->count() - 1).toString());
    pane.setAutosave(true);
    EXPECT_EQ(UserDefaults::standard().integerForKey(QString::fromLatin1(QVAutoSave)), 60);
    pane.endSession();
    EXPECT_FALSE(QFile::exists(file));
    EXPECT_TRUE(posts.seen.isEmpty());

    pane.startSession();
    // A collapsed category selected: a new category.
    text->topLevelItem(0)->setSelected(true);
    pane.addItem(QVFileCategoryKindText);
    EXPECT_EQ(text->topLevelItemCount(), categoryCount + 1);
    ASSERT_FALSE(text->selectedItems().isEmpty());
    EXPECT_EQ(text->selectedItems().first()->text(0), QStringLiteral("New Category"));
    // The same category expanded: a new type inside it.
    QTreeWidgetItem* fresh = text->selectedItems().first();
    fresh->setExpanded(true);
    pane.addItem(QVFileCategoryKindText);
    const std::shared_ptr<QVFileCategory> made = categories->categoryForTitle(QStringLiteral("New Category"));
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(made->typeTitles(), QStringList{QStringLiteral("New Type")});
    for (const char* type : {"zz", "aa"}) made->addType(QString::fromLatin1(type));
    pane.startSession();  // reloads; the marks of the edits above are the pane's
    pane.setDidChange(true);
    // Renaming the third extension of the expanded category replaces index 2.
    for (int i = 0; i < text->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = text->topLevelItem(i);
        if (item->text(0) != QLatin1String("New Category")) continue;
        ASSERT_EQ(item->childCount(), 3);
        item->child(2)->setText(0, QStringLiteral("qq"));
    }
    EXPECT_EQ(made->typeTitles(), (QStringList{QStringLiteral("aa"), QStringLiteral("New Type"), QStringLiteral("qq")}));
    EXPECT_TRUE(categories->extension(QStringLiteral("qq"), QStringLiteral("New Category")));

    // A failed write is shown and kept for the next close; the notification waits for the write.
    const QString data = QFileInfo(file).absolutePath();
    QDir(data).removeRecursively();
    writeFile(data, "in the way");
    pane.endSession();
    EXPECT_NE(errorBox(), nullptr);
    closeErrorBoxes();
    EXPECT_TRUE(pane.hasUnsavedCategories());
    EXPECT_TRUE(posts.seen.isEmpty());
    QFile::remove(data);
    pane.startSession();
    pane.endSession();
    EXPECT_TRUE(QFile::exists(file));
    EXPECT_FALSE(pane.hasUnsavedCategories());
    EXPECT_EQ(posts.seen.size(), 1);
    categories->removeCategory(made, QVFileCategoryKindText);  // the shared model as the next test expects it
}

}  // namespace
