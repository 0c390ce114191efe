// Files a run made beside the user's: what a killed run left goes at the next launch, and only
// while it is still the file that run made.
#include "platform/OwnFiles.h"

#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

#include <csignal>
#include <iostream>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

enum Since { Untouched, WrittenAgain, ReplacedByTheUser, MovedAwayAndReplaced, RemovedByTheRun, RestoredFromABackup };

}  // namespace

TEST(OwnFiles, WhatAKilledRunLeftGoesAtTheNextLaunchButNeverAUsersFile) {
    const struct {
        const char* name;
        Since since;
        QStringList left;  // the folder's files afterwards
        int gone;
    } cases[] = {
        {"left as made", Untouched, {}, 1},
        {"written again by the run", WrittenAgain, {}, 1},
        // Its mark copied with it, on the inode the copy had: born later all the same.
        {"a cp -a backup restored onto its inode", RestoredFromABackup, {".tmp_Qorvel.html", "backup.html"}, 0},
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
            if (c.since == WrittenAgain) {
                QFile file(copy);
                if (file.open(QIODevice::Append)) file.write(" more");
                file.close();
                OwnFiles::written(copy);
            }
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
        if (c.since == RestoredFromABackup) {
            struct stat was {}, now {};
            ASSERT_EQ(::stat(QFile::encodeName(copy).constData(), &was), 0);
            const QString backup = dir.file(QStringLiteral("backup.html"));
            const auto cp = [](const QString& from, const QString& to) {
                QProcess tool;
                tool.start(QStringLiteral("cp"), {QStringLiteral("-a"), from, to});
                return tool.waitForFinished(10000) && tool.exitCode() == 0;
            };
            ASSERT_TRUE(cp(copy, backup));
            // A freed inode is handed out again, as a rule at once: tried until it is. Other
            // processes creating files at the same moment can take it every time; the copy is then
            // kept for its inode alone, and the row says it could not try the reused one.
            for (int attempt = 0; attempt < 200 && now.st_ino != was.st_ino; ++attempt) {
                QFile::remove(copy);
                ASSERT_TRUE(cp(backup, copy));
                ::stat(QFile::encodeName(copy).constData(), &now);
            }
            if (now.st_ino != was.st_ino) std::cout << "the file system gave the restored copy another inode: its reuse was not tried\n";
        }
        if (c.since != Untouched && c.since != WrittenAgain && c.since != RestoredFromABackup) dir.write(QStringLiteral(".tmp_Qorvel.html"), "the user's");
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
