// The shared controls: the capsule button's shape and clicks, the colour well's drops, the
// deletable table's keys and the selection colour.
#include "shell/QVCapsuleButton.h"
#include "shell/QVColorWell.h"
#include "shell/QVCustomSelectionColorTable.h"
#include "shell/QVNormalWindow.h"
#include "tests/support/TestSupport.h"

#include <QLineEdit>
#include <QMimeData>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QTest>

#include <gtest/gtest.h>

namespace {

TEST(QVCapsuleButton, IsSizedByItsTitleAndClicksOnlyInsideTheCapsule) {
    QWidget window;
    auto* button = new QVCapsuleButton(QStringLiteral("Everything"), &window);
    window.resize(200, 40);
    window.show();
    // Title width + 16 wide, 16 high; the capsule runs from 0 to title width + 12.
    const qreal title = button->width() - 16;
    EXPECT_GT(title, 10);
    EXPECT_EQ(button->height(), 16);
    const QRectF pill = button->capsulePath().boundingRect();
    EXPECT_NEAR(pill.left(), 0, 0.01);
    EXPECT_NEAR(pill.right(), title + 12, 1.0);
    EXPECT_NEAR(pill.height(), 16, 0.01);

    QSignalSpy clicks(button, &QAbstractButton::clicked);
    struct Case {
        QPoint press, release;
        bool enabled;
        int clicks;
    };
    const int middle = button->width() / 2;
    const Case cases[] = {
        {{middle, 8}, {middle, 8}, true, 1},
        {{middle, 8}, {button->width() - 1, 1}, true, 0},  // released outside the round end
        {{middle, 8}, {middle, 8}, false, 0},              // a disabled button ignores the mouse
    };
    for (const Case& c : cases) {
        clicks.clear();
        button->setEnabled(c.enabled);
        QTest::mousePress(button, Qt::LeftButton, {}, c.press);
        QTest::mouseRelease(button, Qt::LeftButton, {}, c.release);
        EXPECT_EQ(clicks.count(), c.clicks) << c.release.x() << " " << c.enabled;
    }
}

TEST(QVColorWell, TakesColoursAndHexTextsThatHoldTheirColour) {
    QVColorWell well;
    QLineEdit field;
    well.setColorField(&field);
    struct Case {
        const char* text;
        bool taken;
        const char* hex;
    };
    const Case cases[] = {
        {"FF0000", true, "FF0000"},
        {"#ff0000", true, "FF0000"},
        {"FF000", false, ""},   // five characters
        {"red, not hex", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        well.setColor(Qt::white);
        field.clear();
        QMimeData data;
        data.setText(QString::fromLatin1(c.text));
        EXPECT_EQ(QVColorWell::acceptsDrop(&data), c.taken);
        EXPECT_EQ(well.takeDrop(&data), c.taken);
        EXPECT_EQ(field.text(), QString::fromLatin1(c.hex));
        EXPECT_EQ(well.color(), c.taken ? QColor(Qt::red) : QColor(Qt::white));
    }
    // A dragged colour carries both forms, and is taken as a colour.
    well.setColor(QColor(0x33, 0x66, 0x99));
    std::unique_ptr<QMimeData> dragged(well.mimeDataForDrag());
    EXPECT_EQ(dragged->text(), QStringLiteral("336699"));
    QVColorWell other;
    EXPECT_TRUE(other.takeDrop(dragged.get()));
    EXPECT_EQ(other.color(), QColor(0x33, 0x66, 0x99));
}

TEST(QVDeletableTableView, DeleteAndBackspaceDeleteThroughTheOwnerOtherKeysDoNot) {
    QVCustomSelectionColorTable table;
    QStandardItemModel model(3, 1);
    table.setModel(&model);
    int deletions = 0;
    table.show();
    table.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&table));
    table.setFocus();
    QTest::keyClick(&table, Qt::Key_Delete);  // no owner yet: the table's own handling
    table.setDeleteSelectedHandler([&](QVDeletableTableView*) { ++deletions; });
    for (Qt::Key key : {Qt::Key_Delete, Qt::Key_Backspace, Qt::Key_A, Qt::Key_Down}) QTest::keyClick(&table, key);
    EXPECT_EQ(deletions, 2);

    // The selection colour is the highlight the rows are drawn in; an invalid one restores it.
    const QColor standard = table.palette().color(QPalette::Active, QPalette::Highlight);
    table.setSelectionColor(QColor(Qt::darkGreen));
    EXPECT_EQ(table.palette().color(QPalette::Active, QPalette::Highlight), QColor(Qt::darkGreen));
    table.setSelectionColor(QColor());
    EXPECT_EQ(table.palette().color(QPalette::Active, QPalette::Highlight), standard);
}

TEST(QVNormalWindow, CtrlWClosesTheActiveWindow) {
    QVNormalWindow window;
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    QTest::keyClick(&window, Qt::Key_W, Qt::ControlModifier);
    EXPECT_FALSE(window.isVisible());
}

}  // namespace
