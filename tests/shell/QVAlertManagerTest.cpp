// The error-sheet queue: one sheet at a time in arrival order, waiting for other sheets, the
// recovery option chosen, and errors that never showed going to the system log.
#include "platform/SystemLog.h"
#include "shell/QVAlertManager.h"
#include "shell/QVWindowController.h"
#include "tests/support/TestSupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QTest>

#include <gtest/gtest.h>

namespace {

QList<QMessageBox*> visibleErrorSheets(QWidget* window) {
    QList<QMessageBox*> sheets;
    for (QMessageBox* box : window->findChildren<QMessageBox*>(QStringLiteral("errorSheet")))
        if (box->isVisible()) sheets << box;
    return sheets;
}

void settle() {
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
}

QAbstractButton* button(QMessageBox* box, const QString& title) {
    for (QAbstractButton* b : box->buttons())
        if (b->text() == title) return b;
    return nullptr;
}

TEST(QVAlertManager, ShowsErrorsOneAtATimeInArrivalOrderAfterOtherSheets) {
    QVWindowController window;
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_EQ(window.alertManager(), nullptr);  // no error yet, no queue

    // A question sheet is up: the first error waits for it.
    auto* question = new QDialog(&window);
    question->setWindowModality(Qt::WindowModal);
    question->open();
    window.presentErrorAlert(QVError::app(1, QStringLiteral("first")));
    window.presentErrorAlert(QVError::app(2, QStringLiteral("second"), {}, {QStringLiteral("Retry"), QStringLiteral("Cancel")}));
    window.presentErrorAlert(QVError::app(3, QStringLiteral("third")));
    settle();
    EXPECT_TRUE(visibleErrorSheets(&window).isEmpty());
    question->reject();

    QStringList shown;
    for (int round = 0; round < 3; ++round) {
        settle();
        // Every end of a sheet advances the queue once: never two error sheets stacked.
        const QList<QMessageBox*> sheets = visibleErrorSheets(&window);
        ASSERT_EQ(sheets.size(), 1) << round;
        EXPECT_EQ(sheets[0]->windowModality(), Qt::WindowModal);
        shown << sheets[0]->text();
        sheets[0]->buttons().first()->click();
    }
    settle();
    EXPECT_EQ(shown, (QStringList{QStringLiteral("first"), QStringLiteral("second"), QStringLiteral("third")}));
    EXPECT_TRUE(visibleErrorSheets(&window).isEmpty());
    EXPECT_EQ(window.alertManager()->queuedCount(), 0);
}

TEST(QVAlertManager, RecoveryOptionsAreButtonsAndTheChoiceIsReported) {
    struct Case {
        QStringList options;
        const char* click;
        int expected;
    };
    const Case cases[] = {
        {{QStringLiteral("Save Changes"), QStringLiteral("Discard Changes"), QStringLiteral("Cancel")}, "Discard Changes", 1},
        {{QStringLiteral("Save Changes"), QStringLiteral("Discard Changes"), QStringLiteral("Cancel")}, "Cancel", 2},
        {{}, "OK", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.click);
        QVWindowController window;
        window.show();
        int chosen = -1;
        window.presentErrorAlert(QVError::app(12, QStringLiteral("question"), QStringLiteral("why"), c.options),
                                 [&](int option) { chosen = option; });
        settle();
        QList<QMessageBox*> sheets = visibleErrorSheets(&window);
        ASSERT_EQ(sheets.size(), 1);
        EXPECT_EQ(sheets[0]->informativeText(), QStringLiteral("why"));
        EXPECT_EQ(sheets[0]->buttons().size(), std::max<qsizetype>(c.options.size(), 1));
        QAbstractButton* b = button(sheets[0], QString::fromLatin1(c.click));
        ASSERT_NE(b, nullptr);
        b->click();
        settle();
        EXPECT_EQ(chosen, c.expected);
    }
}

TEST(QVAlertManager, ErrorsDroppedWithTheirWindowGoToTheSystemLog) {
    QStringList logged;
    SystemLog::setSink([&](int, const QString& line) { logged << line; });
    for (const bool closeFirst : {true, false}) {
        logged.clear();
        {
            QVWindowController window;
            window.show();
            window.presentErrorAlert(QVError::app(1, QStringLiteral("seen")));
            window.presentErrorAlert(QVError::app(2, QStringLiteral("never seen"), QStringLiteral("Try again.")));
            settle();
            if (closeFirst) {
                // Closed, not yet gone: logged at the close.
                window.close();
                settle();
                EXPECT_EQ(logged.size(), 1);
            }
        }
        ASSERT_EQ(logged.size(), 1) << closeFirst;
        EXPECT_TRUE(logged[0].contains(QStringLiteral("never seen Try again."))) << logged[0].toStdString();
    }
    SystemLog::setSink({});
}

}  // namespace
