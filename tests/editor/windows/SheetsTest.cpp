// The close sheet and the go-to-line sheet.
#include "editor/HTMLView.h"
#include "editor/QVFileDocument.h"
#include "editor/windows/QVGotoLineWindowController.h"
#include "editor/windows/QVMultiFileCloseController.h"
#include "tests/support/TestSupport.h"

#include <QApplication>
#include <QListWidget>
#include <QMainWindow>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

namespace {

QPushButton* buttonWithTag(QWidget* sheet, int tag) {
    for (QPushButton* button : sheet->findChildren<QPushButton*>())
        if (button->property("tag").toInt() == tag && button->property("tag").isValid()) return button;
    return nullptr;
}

TEST(QVMultiFileCloseController, HandsBackTheDocumentsOfTheButtonPressed) {
    QMainWindow window;
    window.show();
    QVFileDocument a(QStringLiteral("/tmp/a.html")), b(QStringLiteral("/tmp/b.css")), c(QStringLiteral("/tmp/c.js"));
    const QList<QVFileDocument*> all{&a, &b, &c};
    struct Case {
        int tag;
        QList<int> selectedRows;
        QList<QVFileDocument*> expected;
    };
    const Case cases[] = {
        {QVMultiFileCloseController::SaveSelected, {0, 2}, {&a, &c}},
        {QVMultiFileCloseController::SaveAll, {1}, {&a, &b, &c}},
        {QVMultiFileCloseController::CloseWithoutSaving, {0}, {}},
        {QVMultiFileCloseController::Cancel, {0, 1}, {}},
    };
    QVMultiFileCloseController sheet;
    for (const Case& test : cases) {
        SCOPED_TRACE(test.tag);
        int answers = 0, result = -1;
        QList<QVFileDocument*> handed;
        sheet.displayOnWindow(&window, all, [&](QVMultiFileCloseController*, int r, const QList<QVFileDocument*>& documents) {
            ++answers;
            result = r;
            handed = documents;
        });
        EXPECT_TRUE(sheet.isVisible());
        EXPECT_EQ(sheet.windowModality(), Qt::WindowModal);
        ASSERT_EQ(sheet.list()->count(), 3);
        // Saving the selection needs one.
        EXPECT_FALSE(buttonWithTag(&sheet, QVMultiFileCloseController::SaveSelected)->isEnabled());
        for (int row : test.selectedRows) sheet.list()->item(row)->setSelected(true);
        buttonWithTag(&sheet, test.tag)->click();
        sheet.reject();  // a late Escape answers nothing more
        EXPECT_EQ(answers, 1);
        EXPECT_EQ(result, test.tag);
        EXPECT_EQ(handed, test.expected);
        EXPECT_FALSE(sheet.isVisible());
    }
}

TEST(QVGotoLineWindowController, ConfirmingMovesTheEditorOtherButtonsOnlyDismiss) {
    QMainWindow window;
    QByteArray text;
    for (int i = 1; i <= 20; ++i) text += "row\n";
    auto* view = new HTMLView();
    view->setString(QString::fromLatin1(text));
    window.setCentralWidget(view);
    window.show();
    for (const bool confirm : {false, true}) {
        SCOPED_TRACE(confirm);
        view->gotoLine(3);
        QVGotoLineWindowController sheet;
        sheet.displayForTarget(view, quint32(view->lineNumber()));
        EXPECT_EQ(QApplication::activeModalWidget(), &sheet);
        EXPECT_EQ(sheet.lineNumber(), 3u);
        sheet.setLineNumber(12);
        sheet.close(confirm ? QVGotoLineWindowController::OKTag : 0);
        EXPECT_EQ(view->lineNumber(), confirm ? 12 : 3);
        EXPECT_FALSE(sheet.isVisible());
    }
}

}  // namespace
