// Files a run made beside the user's: what a killed run left goes at the next launch, and only
// while it is still the file that run made.
#include "platform/OwnFiles.h"

#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <csignal>

#include <sys/wait.h>
#include <unistd.h>

namespace {

enum Since { Untouched, ReplacedByTheUser, MovedAwayAndReplaced, RemovedByTheRun };

}  // namespace

TEST(OwnFiles, WhatAKilledRunLeftGoesAtTheNextLaunchButNeverAUsersFile) {
    const struct {
        const char* name;
        Since since;
        QStringList left;  // the folder's files afterwards
        int gone;
    } cases[] = {
        {"left as made", Untouched, {}, 1},
        {"the user's file took the name", ReplacedByTheUser, {".tmp_Qorvel.html"}, 0},
        {"moved away, the name taken", MovedAwayAndReplaced, {".tmp_Qorvel.html", "moved.html"}, 0},
        {"removed by the run, the name taken", RemovedByTheRun, {".tmp_Qorvel.html"}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestDir dir;
        const QString copy = dir.write(QStringLiteral(".tmp_Qorvel.html"), "typed");
        // A run that makes the copy and is killed.
        const pid_t run = ::fork();
        ASSERT_GE(run, 0);
        if (run == 0) {
            OwnFiles::made(copy);
            if (c.since == RemovedByTheRun) {
                QFile::remove(copy);
                OwnFiles::removed(copy);
            }
            ::raise(SIGKILL);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(run, &status, 0), run);
        ASSERT_TRUE(WIFSIGNALED(status));
        if (c.since == MovedAwayAndReplaced) {
            ASSERT_TRUE(QFile::rename(copy, dir.file(QStringLiteral("moved.html"))));
        }
        if (c.since == ReplacedByTheUser) {
            ASSERT_TRUE(QFile::remove(copy));
        }
        if (c.since != Untouched) dir.write(QStringLiteral(".tmp_Qorvel.html"), "the user's");
        EXPECT_EQ(OwnFiles::removeLeftovers(), c.gone);
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name), c.left);
        EXPECT_TRUE(QDir(OwnFiles::location()).entryList(QDir::Dirs | QDir::NoDotAndDotDot).isEmpty());
    }

    // This run's own copy stays while it runs, and goes when it quits.
    TestDir dir;
    const QString copy = dir.write(QStringLiteral(".tmp_Qorvel.css"), "typed");
    OwnFiles::made(copy);
    EXPECT_EQ(OwnFiles::removeLeftovers(), 0);
    EXPECT_TRUE(QFile::exists(copy));
    OwnFiles::finish();
    EXPECT_FALSE(QFile::exists(copy));
    EXPECT_TRUE(QDir(OwnFiles::location()).entryList(QDir::Dirs | QDir::NoDotAndDotDot).isEmpty());
}
