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
#include <QPlainTextEdit>
#include <QScreen>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>

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
    // The same notice told again by a second listener while the first waits: one sheet.
    window.presentErrorAlert(QVError::app(1, QStringLiteral("first")));
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

// A tool's whole output as the details (a Subversion error of 400 lines): the alert, its buttons
// included, stays within the screen, and every line can still be read, in the label or scrolled.
TEST(QVAlertManager, LongDetailsScrollInsideAnAlertThatFitsTheScreen) {
    const struct {
        int lines;
        int width;      // characters a line
        bool scrolled;  // in the scrolling field rather than the label
    } cases[] = {{1, 20, false}, {8, 40, false}, {400, 60, true}, {1, 6000, true},
                 // One name longer than the alert is wide, nowhere to break it: the label would cut it.
                 {1, 200, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lines * 10000 + c.width);
        QStringList lines;
        for (int i = 0; i < c.lines; ++i)
            lines << QStringLiteral("svn: E%1: ").arg(155000 + i) + QString(c.width, u'x');
        const QString details = lines.join(u'\n');
        QVWindowController window;
        window.show();
        int chosen = -1;
        window.presentErrorAlert(QVError::app(1, QStringLiteral("Could not update"), details), [&](int option) { chosen = option; });
        settle();
        const QList<QMessageBox*> sheets = visibleErrorSheets(&window);
        ASSERT_EQ(sheets.size(), 1);
        QMessageBox* box = sheets[0];
        const QRect screen = box->screen()->availableGeometry();
        EXPECT_LE(box->height(), std::min(screen.height(), 1000));
        EXPECT_LE(box->width(), std::min(screen.width(), 1600));
        const auto* field = box->findChild<QPlainTextEdit*>(QStringLiteral("alertDetails"));
        EXPECT_EQ(field != nullptr, c.scrolled);
        EXPECT_EQ(field ? field->toPlainText() : box->informativeText(), details);
        if (field) {
            EXPECT_TRUE(box->informativeText().isEmpty());
            EXPECT_TRUE(box->rect().contains(QRect(field->mapTo(box, QPoint(0, 0)), field->size())));
        }
        QAbstractButton* ok = button(box, QStringLiteral("OK"));
        ASSERT_NE(ok, nullptr);
        EXPECT_TRUE(box->rect().contains(QRect(ok->mapTo(box, QPoint(0, 0)), ok->size())));
        ok->click();
        settle();
        EXPECT_EQ(chosen, 0);
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
