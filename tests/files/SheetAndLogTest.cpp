#include "files/QVCredentialsController.h"
#include "files/QVRemoteLogController.h"
#include "platform/MainQueue.h"
#include "platform/UserDefaults.h"
#include "tests/files/FilesTestSupport.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

#include <thread>

namespace {

struct Answers : QVCredentialsDelegate {
    QStringList seen;
    void credentialsDidEnd(QVCredentialsController* sheet, int code) override {
        seen << QStringLiteral("%1 %2 %3 %4 %5").arg(sheet->tag()).arg(code).arg(sheet->username(), sheet->password()).arg(sheet->useKeychain());
    }
};

bool settled(QVRemoteLogController& log, QVRemoteLogController::DrawerState state) {
    return MainQueue::runUntil([&] { return log.state() == state; }, std::chrono::seconds(30));
}

}  // namespace

TEST(QVCredentialsController, AsksOnTheWindowAndAnswersWithTheButtonsTag) {
    QWidget window;
    window.resize(500, 400);
    window.show();
    struct Case {
        QString user;
        const char* typedUser;
        const char* typedPassword;
        int button;  // 1 OK, 0 Cancel, -1 Escape
        QString answer;
    };
    const std::vector<Case> cases = {
        {"", "alice", "s3cret", 1, "0 1 alice s3cret 1"},
        {"bob", "", "pw", 0, "0 0 bob pw 1"},
        {"carol", "", "pw", -1, "0 0 carol pw 1"},
    };
    for (const Case& c : cases) {
        Answers answers;
        QVCredentialsController sheet;
        sheet.setTitle("Log in to example.org");
        sheet.setUseKeychain(true);
        sheet.displayOnWindow(&window, c.user, &answers, 0);
        EXPECT_FALSE(sheet.isVisible());  // begins on the next turn of the event loop
        ASSERT_TRUE(MainQueue::runUntil([&] { return sheet.isVisible(); }, std::chrono::seconds(30)));
        EXPECT_EQ(sheet.parentWidget(), &window);
        EXPECT_EQ(sheet.windowModality(), Qt::WindowModal);
        EXPECT_EQ(sheet.focusWidget(), c.user.isEmpty() ? sheet.usernameField() : sheet.passwordField());
        QTest::keyClicks(sheet.usernameField(), c.typedUser);
        QTest::keyClicks(sheet.passwordField(), c.typedPassword);
        if (c.button == 1) sheet.okButton()->click();
        else if (c.button == 0) sheet.cancelButton()->click();
        else QTest::keyClick(&sheet, Qt::Key_Escape);
        EXPECT_EQ(answers.seen, QStringList({c.answer}));
        EXPECT_FALSE(sheet.isVisible());
    }
}

TEST(QVRemoteLogController, KeepsTheNewestLogWithinItsBoundAndDrawsTheDrawerThroughFourStates) {
    QVRemoteLogController log;
    std::thread client([&] {
        for (int i = 0; i < 200; ++i) log.appendStringToLog(QStringLiteral("line %1\n").arg(i));
    });
    client.join();
    EXPECT_EQ(log.state(), QVRemoteLogController::Closed);

    UserDefaults::standard().setDouble(10, QVRemoteLogController::DrawerHeightKey);  // below the minimum: ignored
    QWidget window;
    window.resize(600, 400);
    window.show();
    log.toggle(&window);
    EXPECT_EQ(log.state(), QVRemoteLogController::Opening);
    log.toggle(&window);
    EXPECT_EQ(log.state(), QVRemoteLogController::Closing);
    ASSERT_TRUE(settled(log, QVRemoteLogController::Closed));
    log.toggle(&window);
    ASSERT_TRUE(settled(log, QVRemoteLogController::Open));
    EXPECT_EQ(log.drawer()->height(), QVRemoteLogController::DefaultContentHeight);
    EXPECT_EQ(log.drawer()->geometry().bottom(), window.rect().bottom());
    EXPECT_TRUE(log.textView()->toPlainText().startsWith("line 0\nline 1\n"));

    log.drawerWillResizeContents(20);
    EXPECT_EQ(UserDefaults::standard().doubleForKey(QVRemoteLogController::DrawerHeightKey), 10);
    log.drawerWillResizeContents(220);
    log.toggle(&window);
    ASSERT_TRUE(settled(log, QVRemoteLogController::Closed));
    log.toggle(&window);
    ASSERT_TRUE(settled(log, QVRemoteLogController::Open));
    EXPECT_EQ(log.drawer()->height(), 220);

    // A long session: the log and the view keep the newest part, whole lines, within the bound.
    const QString chunk = QString(999, 'x') + "\n";
    for (int i = 0; i < 600; ++i) log.appendStringToLog(chunk);
    log.appendStringToLog("the last line\n");
    MainQueue::drain();
    const QString kept = log.logString();
    EXPECT_LE(kept.size(), QVRemoteLogController::MaximumLogLength);
    EXPECT_GT(kept.size(), QVRemoteLogController::MaximumLogLength / 2);
    EXPECT_TRUE(kept.endsWith("x\nthe last line\n"));
    EXPECT_TRUE(kept.startsWith(chunk));
    const QString shown = log.textView()->toPlainText();
    EXPECT_TRUE(shown == kept) << shown.size() << " " << kept.size() << " " << shown.left(20).toStdString() << "|" << shown.right(20).toStdString();
}
