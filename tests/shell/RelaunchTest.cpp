// Restarting: the helper waits for the old process to end, then runs the program with the
// arguments exactly as given; bad requests start nothing.
#include "platform/AppBundle.h"
#include "shell/QVRelaunch.h"
#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

namespace {

QString relauncher() { return AppBundle::main().pathForAuxiliaryExecutable(QVRelaunch::RelauncherName); }

// Runs the helper to its end (it waits, then becomes the program it starts).
int runRelauncher(const QStringList& arguments) {
    QProcess process;
    process.start(relauncher(), arguments);
    if (!process.waitForFinished(20000)) return -1;
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

}  // namespace

TEST(Relaunch, TheHelperWaitsForTheOldProcessThenRunsTheProgramWithItsArguments) {
    ASSERT_FALSE(relauncher().isEmpty()) << "qorvel-relauncher is not built beside the tests";
    TestDir dir;
    // The old process writes its last word as it ends; the new one must find it written.
    QProcess old;
    old.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("sleep 0.5; echo ended > '%1'").arg(dir.file("old"))});
    ASSERT_TRUE(old.waitForStarted());
    const QString oldPid = QString::number(old.processId());
    const QStringList arguments = {oldPid, QStringLiteral("/bin/sh"), QStringLiteral("-c"),
                                   QStringLiteral("cat \"$0\" > \"$1\"; shift; printf '%s|' \"$@\" >> \"$0.new\""),
                                   dir.file("old"), dir.file("new"), QStringLiteral("a b"), QString(), QStringLiteral("$(touch pwned)")};
    EXPECT_EQ(runRelauncher(arguments), 0);
    EXPECT_EQ(readAll(dir.file("new")), "ended\n");
    EXPECT_EQ(readAll(dir.file("old.new")), "a b||$(touch pwned)|");
    old.waitForFinished();

    // Requests that make no sense start nothing.
    struct Case {
        QStringList arguments;
        int status;
    };
    const QList<Case> cases = {
        {{}, 2},
        {{QStringLiteral("123")}, 2},
        {{QStringLiteral("12x"), QStringLiteral("/bin/true")}, 2},
        {{QStringLiteral("-5"), QStringLiteral("/bin/true")}, 2},
        {{QStringLiteral("99999999999"), QStringLiteral("/bin/true")}, 2},
        {{oldPid, QStringLiteral("sh"), QStringLiteral("-c"), QStringLiteral("touch x")}, 2},
        {{oldPid, dir.file("no-such-program")}, 127},
    };
    for (const Case& c : cases) EXPECT_EQ(runRelauncher(c.arguments), c.status) << c.arguments.join(' ').toStdString();
}

TEST(Relaunch, TheRequestCarriesThisProcessAndIsDroppedWhenTheQuitIsCancelled) {
    const QStringList arguments = QVRelaunch::relauncherArguments(4242);
    ASSERT_GE(arguments.size(), 2);
    EXPECT_EQ(arguments[0], "4242");
    EXPECT_EQ(arguments[1], QCoreApplication::applicationFilePath());
    // The kernel's copy of the command line: what gtest took out of argv is still there.
    EXPECT_EQ(arguments.mid(2), QVRelaunch::originalArguments());
    EXPECT_GE(QVRelaunch::originalArguments().size(), QCoreApplication::arguments().size() - 1);

    QVRelaunch::relaunch([] { return false; });
    EXPECT_FALSE(QVRelaunch::isRequested());
    int asked = 0;
    QVRelaunch::relaunch([&] { return ++asked, true; });
    EXPECT_TRUE(QVRelaunch::isRequested());
    EXPECT_EQ(asked, 1);
    // Never carried out here: it would start this test program again.
    QVRelaunch::cancel();
    EXPECT_FALSE(QVRelaunch::launchIfRequested());
}
