// The Tidy window and its operation editor offscreen over a real operations folder: adding,
// editing, cancelling and deleting operations on disk, value cells by the option's kind, and
// options taken from the library by drop and double-click.
#include "shell/QVDeletableTableView.h"
#include "tests/support/TestSupport.h"
#include "tools/QVTidyActionEditor.h"
#include "tools/QVTidyOptionLibrary.h"
#include "tools/QVTidyRun.h"
#include "tools/QVTidyWindowController.h"

#include <QApplication>
#include <QComboBox>
#include <QDataStream>
#include <QDir>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QTableView>

#include <gtest/gtest.h>

namespace {

QStringList optionLines(const QString& path) {
    QStringList lines;
    for (const QString& line : QString::fromUtf8(readAll(path)).split('\n'))
        if (!line.isEmpty() && !line.startsWith("//")) lines << line;
    return lines;
}

QVariantMap definition(const QString& flag, const QVariant& defaultValue) {
    return {{"flag", flag}, {"default", defaultValue}};
}

}  // namespace

TEST(TidyWindowTest, OperationsAreAddedEditedCancelledAndDeletedOnDisk) {
    TestDir dir;
    dir.write("Indent.tidy", "// %%%{QVTidyName=Indent}%%%\n// %%%{QVTidyDescription=}%%%\nindent: yes\nwrap: 80\n");
    QVTidyOperationRepository repository(dir.path());
    QVTidyWindowController window(repository);
    window.show();
    ASSERT_EQ(window.tableView()->model()->rowCount(), 1);
    EXPECT_EQ(window.tableView()->model()->index(0, 0).data(), "Indent");
    EXPECT_FALSE(window.runButton()->isEnabled());  // nothing selected
    window.selectRows({0});
    EXPECT_TRUE(window.runButton()->isEnabled());

    // A new operation: OK only once it has a name and an option; it is written under its
    // camel-cased name with the options in the table's order, a drop going above its row.
    QVTidyActionEditor* editor = window.add();
    EXPECT_FALSE(editor->okButton()->isEnabled());
    editor->titleField()->setText("Clean up code");
    editor->descriptionField()->setText("Tidy words with blanks");
    EXPECT_FALSE(editor->okButton()->isEnabled());
    editor->insertActionFromLibraryDictionary(definition("clean", true), -1);
    editor->insertActionFromLibraryDictionary(definition("alt-text", "a picture"), -1);
    // dropMimeData only reads the data: the caller (a drag, here the test) keeps it.
    QMimeData mime;
    QByteArray dragged;
    QDataStream stream(&dragged, QIODevice::WriteOnly);
    stream << definition("indent-spaces", "4");
    mime.setData(QVTidyActionEditor::DragType, dragged);
    QAbstractItemModel* options = editor->tableView()->model();
    const QMimeData notAnOption;
    EXPECT_TRUE(options->dropMimeData(&mime, Qt::CopyAction, -1, -1, options->index(1, 0)));  // onto row 1
    EXPECT_FALSE(options->dropMimeData(&notAnOption, Qt::CopyAction, -1, -1, {}));
    EXPECT_TRUE(editor->okButton()->isEnabled());
    // A value edited in the table; an empty value is a value too.
    options->setData(options->index(1, 1), "2", Qt::EditRole);
    options->setData(options->index(0, 1), Qt::Unchecked, Qt::CheckStateRole);
    editor->close(1);
    const QString added = dir.file("CleanUpCode.tidy");
    EXPECT_EQ(optionLines(added), QStringList({"clean: no", "indent-spaces: 2", "alt-text: a picture"}));
    EXPECT_TRUE(readAll(added).contains("QVTidyDescription=Tidy words with blanks"));
    ASSERT_EQ(repository.countOfOperations(), 2);

    // Cancel after editing values and removing options: list and file stay as they were.
    const QByteArray indentFile = readAll(dir.file("Indent.tidy"));
    editor = window.editRow(0);
    ASSERT_NE(editor, nullptr);
    options = editor->tableView()->model();
    options->setData(options->index(1, 1), "0", Qt::EditRole);
    editor->tableView()->selectRow(0);
    editor->deleteSelected();
    editor->close(0);
    EXPECT_EQ(readAll(dir.file("Indent.tidy")), indentFile);
    const auto indent = std::dynamic_pointer_cast<QVTidyOperation>(repository.objectInOperationsAtIndex(0));
    EXPECT_EQ(indent->actions(), QList<QVTidyAction>({{"indent", true}, {"wrap", "80"}}));

    // OK replaces the operation and its file, in place.
    editor = window.editRow(0);
    editor->tableView()->model()->setData(editor->tableView()->model()->index(1, 1), "0", Qt::EditRole);
    editor->close(1);
    EXPECT_EQ(optionLines(dir.file("Indent.tidy")), QStringList({"indent: yes", "wrap: 0"}));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList({"CleanUpCode.tidy", "Indent.tidy"}));

    // A title that cannot be written keeps the sheet open with what was typed, and the file.
    editor = window.editRow(0);
    editor->titleField()->setText("Bad } title");
    editor->close(1);
    EXPECT_TRUE(editor->isVisible());
    EXPECT_EQ(optionLines(dir.file("Indent.tidy")), QStringList({"indent: yes", "wrap: 0"}));
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->objectName() == "TidyOperationNotSaved") widget->close();
    editor->close(0);

    // Deleting from the list deletes the file.
    window.selectRows({1});
    window.removeSelected();
    EXPECT_FALSE(QFileInfo::exists(added));
    EXPECT_EQ(repository.countOfOperations(), 1);
}

TEST(TidyWindowTest, ValueCellsFollowTheOptionsKindAndTheLibraryFilters) {
    if (QVTidyRun::tidyProgram().isEmpty()) GTEST_SKIP() << "tidy is not installed";
    struct Case {
        const char* option;
        const char* kind;
        const char* editorClass;  // what a double-click on the value opens
        bool editable;
    };
    const Case cases[] = {
        {"indent", "Enum", "QComboBox", false},
        {"wrap", "Combo", "QComboBox", true},
        {"clean", "Boolean", nullptr, false},     // a check box in the cell itself
        {"alt-text", "String", "QExpandingLineEdit", true},
        {"no-such-option", "String", "QExpandingLineEdit", true},  // unknown to the library: plain text
    };
    TestDir dir;
    QVTidyActionEditor editor(nullptr);
    editor.displayOnWindow(nullptr, {});
    const QVTidyOptionLibrary& library = QVTidyOptionLibrary::shared();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.option);
        EXPECT_EQ(QVTidyActionEditor::valueTypeForOption(c.option), c.kind);
        QVariantMap known = library.definitionForFlag(c.option);
        editor.insertActionFromLibraryDictionary(known.isEmpty() ? definition(c.option, "x") : known, -1);
        const int row = editor.tableView()->model()->rowCount() - 1;
        const QModelIndex value = editor.tableView()->model()->index(row, 1);
        const bool checkable = value.flags() & Qt::ItemIsUserCheckable;
        EXPECT_EQ(checkable, c.editorClass == nullptr);
        if (!c.editorClass) continue;
        editor.tableView()->edit(value);
        QWidget* cell = editor.tableView()->indexWidget(value);
        ASSERT_NE(cell, nullptr);
        EXPECT_STREQ(cell->metaObject()->className(), c.editorClass);
        if (auto* box = qobject_cast<QComboBox*>(cell)) {
            EXPECT_EQ(box->isEditable(), c.editable);
            EXPECT_EQ(box->currentText(), value.data(Qt::EditRole).toString());
        }
        editor.tableView()->closePersistentEditor(value);
        editor.tableView()->setCurrentIndex({});
    }

    // The library: "All" lists every option; a category lists its own; the search ignores case.
    editor.categoryPopUp()->setCurrentIndex(0);
    EXPECT_EQ(editor.arrangedLibrary().size(), library.count());
    editor.categoryPopUp()->setCurrentIndex(editor.categoryPopUp()->findText("Pretty Print"));
    EXPECT_EQ(editor.arrangedLibrary(), library.definitions("Pretty Print"));
    for (QLineEdit* field : editor.findChildren<QLineEdit*>())
        if (field->placeholderText() == "Search") field->setText("WRAP");
    for (const QVariantMap& kept : editor.arrangedLibrary()) EXPECT_TRUE(kept.value("flag").toString().contains("wrap"));
    EXPECT_FALSE(editor.arrangedLibrary().isEmpty());
    // Double-clicking a library row appends that option.
    const int before = editor.tableView()->model()->rowCount();
    Q_EMIT editor.libraryView()->doubleClicked(editor.libraryView()->model()->index(0, 0));
    ASSERT_EQ(editor.tableView()->model()->rowCount(), before + 1);
    EXPECT_EQ(editor.operation()->actions().last().action, editor.arrangedLibrary().first().value("flag").toString());
}
