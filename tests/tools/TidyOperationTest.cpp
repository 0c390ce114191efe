// Tidy operation files, their values and merging, the repository over a real folder of them,
// and the menu it fills.
#include "tests/support/TestSupport.h"
#include "tools/QVOperationMenus.h"
#include "tools/QVTidyOperation.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMenu>

#include <functional>

#include <gtest/gtest.h>
#include "QorvelSourceTree.h"

namespace {

QString sourceTidyFolder() { return QStringLiteral(QORVEL_SOURCE_RESOURCES "/Tidy"); }

std::shared_ptr<QVTidyOperation> operationWith(const QString& title, const QList<QVTidyAction>& actions) {
    auto operation = std::make_shared<QVTidyOperation>();
    operation->setTitle(title);
    operation->setActions(actions);
    return operation;
}

}  // namespace

TEST(TidyOperationTest, FilesReadIntoTitleDescriptionAndValuesAndWriteBackTheSame) {
    struct Case {
        const char* name;
        QByteArray file;
        QString title, description;
        QList<QVTidyAction> actions;
        QByteArray written;  // after a commit
    };
    const QList<Case> cases{
        {"only.tidy", "wrap: 72", "only.tidy", {}, {{"wrap", "72"}},
         "// %%%{QVTidyName=only.tidy}%%%\n// %%%{QVTidyDescription=}%%%\nwrap: 72\n"},
        {"kinds.tidy",
         "// %%%{QVTidyName=Kinds}%%%\n// %%%{QVTidyDescription=Every kind}%%%\nindent: yes\nclean: 1\nquote-marks: no\n"
         "bare: 0\ndoctype: strict\nalt-text: a small picture\nnew-blocklevel-tags:\nWRAP:\t80  \r\n// a comment\n",
         "Kinds", "Every kind",
         {{"indent", true}, {"clean", true}, {"quote-marks", false}, {"bare", false}, {"doctype", "strict"},
          {"alt-text", "a small picture"}, {"new-blocklevel-tags", ""}, {"WRAP", "80"}},
         "// %%%{QVTidyName=Kinds}%%%\n// %%%{QVTidyDescription=Every kind}%%%\nindent: yes\nclean: yes\nquote-marks: no\n"
         "bare: no\ndoctype: strict\nalt-text: a small picture\nnew-blocklevel-tags: \nWRAP: 80\n"},
        {"shipped.tidy", readAll(sourceTidyFolder() + "/IndentMarkup.tidy"), "Indent Markup",
         "Indent nested elements by two spaces and wrap long lines at 80 columns",
         {{"indent", true}, {"indent-spaces", "2"}, {"wrap", "80"}},
         readAll(sourceTidyFolder() + "/IndentMarkup.tidy")},
    };
    TestDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString path = dir.write(c.name, c.file);
        QVTidyOperation operation(path);
        EXPECT_EQ(operation.title(), c.title);
        EXPECT_EQ(operation.description(), c.description);
        EXPECT_EQ(operation.actions(), c.actions);
        EXPECT_TRUE(operation.isValid());
        ASSERT_TRUE(operation.commit());
        EXPECT_EQ(readAll(path), c.written);
        EXPECT_EQ(QVTidyOperation(path).actions(), c.actions);
    }
    // Unreadable: the file name and no options, so not valid.
    QVTidyOperation missing(dir.file("gone.tidy"));
    EXPECT_EQ(missing.title(), "gone.tidy");
    EXPECT_FALSE(missing.isValid());
}

TEST(TidyOperationTest, CommitRefusesWhatWouldNotReadBackAndLeavesTheFile) {
    TestDir dir;
    const QByteArray original = "// %%%{QVTidyName=Keep}%%%\n// %%%{QVTidyDescription=}%%%\nwrap: 0\n";
    const QString path = dir.write("Keep.tidy", original);
    const QList<std::pair<const char*, std::function<void(QVTidyOperation&)>>> edits{
        {"line break in a value", [](QVTidyOperation& o) { o.insertAction({"doctype", "strict\nwrite-back: yes"}, -1); }},
        {"carriage return in a title", [](QVTidyOperation& o) { o.setTitle("A\rB"); }},
        {"brace in the title", [](QVTidyOperation& o) { o.setTitle("A}B"); }},
        {"line break in the description", [](QVTidyOperation& o) { o.setDescription("one\ntwo"); }},
        {"option name with a blank", [](QVTidyOperation& o) { o.insertAction({"bad name", "1"}, 0); }},
        {"empty title", [](QVTidyOperation& o) { o.setTitle(""); }},
    };
    for (const auto& [what, edit] : edits) {
        SCOPED_TRACE(what);
        QVTidyOperation operation(path);
        edit(operation);
        QVError error;
        EXPECT_FALSE(operation.commit(&error));
        EXPECT_FALSE(error.isNull());
        EXPECT_EQ(readAll(path), original);
    }
}

TEST(TidyOperationTest, MergingKeepsTheFirstOperationsValueOfEachOption) {
    const auto a = operationWith("A", {{"indent", true}, {"wrap", "80"}});
    const auto b = operationWith("B", {{"wrap", "0"}, {"clean", true}, {"indent", false}});
    EXPECT_EQ(QVTidyOperation::mergedOperations({a, b}), "indent: yes\nwrap: 80\nclean: yes\n");
    EXPECT_EQ(QVTidyOperation::mergedOperations({b, a}), "wrap: 0\nclean: yes\nindent: no\n");
    // A value that would add a line never reaches the configuration.
    const auto c = operationWith("C", {{"doctype", "x\nwrite-back: yes"}, {"wrap", "1"}});
    EXPECT_EQ(QVTidyOperation::mergedOperations({c}), "wrap: 1\n");
    EXPECT_EQ(QVTidyOperation::mergedOperations({}), "");
}

TEST(TidyOperationTest, RepositoryLoadsCommitsNamesAndDeletesRealFiles) {
    TestDir dir;
    const QString folder = dir.file("TidyConfigFiles");
    QDir().mkpath(folder + "/More");
    for (const QString& name : QDir(sourceTidyFolder()).entryList({"*.tidy"}))
        QFile::copy(sourceTidyFolder() + "/" + name, folder + "/" + name);
    dir.write("TidyConfigFiles/.DS_Store", "junk");
    dir.write("TidyConfigFiles/More/Zap.tidy", "// %%%{QVTidyName=Zap}%%%\nclean: yes\n");
    dir.write("TidyConfigFiles/aardvark.tidy", "wrap: 10\n");

    QVTidyOperationRepository repository(folder);
    EXPECT_TRUE(repository.reload(false));
    EXPECT_EQ(repository.countOfOperations(), 4);  // two shipped, aardvark, More; never .DS_Store
    QStringList titles;
    const QList<MenuItemRep> reps = repository.menuItemRepresentations();
    for (const MenuItemRep& rep : reps) titles << rep.title();
    EXPECT_EQ(titles, QStringList({"aardvark.tidy", "Convert To XHTML", "Indent Markup", "More"}));
    ASSERT_EQ(reps[3].submenuReps().size(), 1);
    EXPECT_EQ(reps[3].submenuReps()[0].title(), "Zap");
    EXPECT_EQ(reps[2].action(), "performTidy:");
    auto item = reps[2].representedObject().value<std::shared_ptr<QVTidyOperationItem>>();
    ASSERT_TRUE(std::dynamic_pointer_cast<QVTidyOperation>(item));
    EXPECT_EQ(std::dynamic_pointer_cast<QVTidyOperation>(item)->title(), "Indent Markup");

    // Not forced: the disk is not read again.
    dir.write("TidyConfigFiles/late.tidy", "wrap: 1\n");
    EXPECT_FALSE(repository.reload(false));
    EXPECT_EQ(repository.countOfOperations(), 4);
    EXPECT_TRUE(repository.reload(true));
    EXPECT_EQ(repository.countOfOperations(), 5);

    // New operations take free camel-cased names inside the folder, written before insertion.
    const QList<std::pair<QString, QString>> names{
        {"Clean up code", "CleanUpCode.tidy"}, {"Clean up code", "CleanUpCode 2.tidy"},
        {"../../escape", "-..-escape.tidy"}, {"...", "Operation.tidy"}};
    for (const auto& [title, file] : names) {
        SCOPED_TRACE(title.toStdString());
        ASSERT_TRUE(repository.insertObjectInOperationsAtIndex(operationWith(title, {{"wrap", "0"}}), 0));
        EXPECT_EQ(repository.objectInOperationsAtIndex(0)->path(), folder + "/" + file);
        EXPECT_EQ(QVTidyOperation(folder + "/" + file).title(), title);
    }
    // A refused write inserts nothing.
    const qsizetype count = repository.countOfOperations();
    EXPECT_FALSE(repository.insertObjectInOperationsAtIndex(operationWith("Bad", {{"wrap", "a\nb"}}), 0));
    EXPECT_EQ(repository.countOfOperations(), count);

    // Replacing an edited copy writes over the old file; removing deletes it.
    auto edited = std::static_pointer_cast<QVTidyOperation>(repository.objectInOperationsAtIndex(0)->copy());
    edited->insertAction({"indent", true}, -1);
    const QString editedPath = edited->path();
    ASSERT_TRUE(repository.replaceObjectInOperationsAtIndex(0, edited));
    EXPECT_EQ(QVTidyOperation(editedPath).actions().size(), 2);
    ASSERT_TRUE(repository.removeObjectFromOperationsAtIndex(0));
    EXPECT_FALSE(QFileInfo::exists(editedPath));

    // One failing commit does not stop the others.
    repository.reload(true);
    auto stray = operationWith("Stray", {{"wrap", "0"}});
    stray->setPath(dir.file("no-such-folder/Stray.tidy"));
    repository.QVOperationRepository::insertObjectInOperationsAtIndex(stray, 0);
    std::shared_ptr<QVTidyOperation> last;
    for (const auto& operation : repository.operations())
        if (!operation->isDirectory() && operation != stray) last = std::static_pointer_cast<QVTidyOperation>(operation);
    ASSERT_TRUE(last);
    last->setDescription("touched");
    EXPECT_FALSE(repository.commit());
    EXPECT_EQ(QVTidyOperation(last->path()).description(), "touched");
}

TEST(TidyOperationTest, MenuIsRefilledFromTheRepositoryAndRoutesTheOperation) {
    TestDir dir;
    dir.write("ops/b.tidy", "// %%%{QVTidyName=Beta}%%%\nwrap: 1\n");
    dir.write("ops/a.tidy", "// %%%{QVTidyName=alpha}%%%\nwrap: 2\n");
    QVTidyOperationRepository repository(dir.file("ops"));
    QMenu menu;
    menu.addAction("stale");
    QString chosen;
    QVOperationMenus::reload(repository, false, &menu, [&](const QString& action, QAction* item) {
        auto op = std::dynamic_pointer_cast<QVTidyOperation>(item->data().value<std::shared_ptr<QVTidyOperationItem>>());
        chosen = action + " " + (op ? op->title() : QString());
    });
    QStringList titles;
    for (QAction* action : menu.actions()) titles << action->text();
    EXPECT_EQ(titles, QStringList({"alpha", "Beta"}));
    menu.actions()[1]->trigger();
    EXPECT_EQ(chosen, "performTidy: Beta");
    // Without a menu only the list is loaded.
    QVOperationMenus::reload(repository, true, nullptr);
    EXPECT_EQ(repository.countOfOperations(), 2);
}
