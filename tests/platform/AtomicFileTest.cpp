// Atomic writes: modes kept, nothing left behind, failures that leave the old file as it was.
#include "platform/AtomicFile.h"

#include "platform/Process.h"

#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

mode_t modeOf(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? (st.st_mode & 07777) : mode_t(-1);
}

QStringList entries(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

bool runningAsRoot() { return ::geteuid() == 0; }

TEST(AtomicFile, ReplacesContentsAndKeepsTheMode) {
    TestDir dir;
    for (mode_t mode : {0640, 0600, 0755, 0664, 0604}) {
        SCOPED_TRACE(mode);
        const QString path = dir.write(QStringLiteral("file"), "old contents that are longer");
        ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), mode), 0);
        QVError error;
        ASSERT_TRUE(AtomicFile::write(path, "new", &error)) << error.localizedDescription().toStdString();
        EXPECT_TRUE(error.isNull());
        EXPECT_EQ(readAll(path), QByteArray("new"));
        EXPECT_EQ(modeOf(path), mode);
    }
    EXPECT_EQ(entries(dir.path()), QStringList{QStringLiteral("file")});  // no temporary left
}

TEST(AtomicFile, NewFilesGetTheUsualModeUnderTheUmask) {
    TestDir dir;
    for (mode_t mask : {022, 077, 002}) {
        SCOPED_TRACE(mask);
        const mode_t previous = ::umask(mask);
        const QString path = dir.file(QStringLiteral("new-%1").arg(mask));
        const bool written = AtomicFile::write(path, QByteArray());
        ::umask(previous);
        ASSERT_TRUE(written);
        EXPECT_EQ(modeOf(path), 0666 & ~mask);
        EXPECT_EQ(readAll(path), QByteArray());
    }
}

TEST(AtomicFile, WritesThroughASymbolicLink) {
    TestDir dir;
    const QString target = dir.write(QStringLiteral("real"), "old");
    const QString link = dir.file(QStringLiteral("link"));
    ASSERT_TRUE(QFile::link(target, link));
    ASSERT_TRUE(AtomicFile::write(link, "new"));
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    EXPECT_EQ(readAll(target), QByteArray("new"));
    EXPECT_EQ(entries(dir.path()), (QStringList{QStringLiteral("link"), QStringLiteral("real")}));
}

TEST(AtomicFile, FailuresLeaveTheOldFileAndNoTemporary) {
    TestDir dir;
    const QString path = dir.write(QStringLiteral("file"), "precious");
    struct Row {
        const char* name;
        QString path;
        int err;
    };
    ASSERT_TRUE(QDir().mkpath(dir.file(QStringLiteral("folder/sub"))));
    const Row rows[] = {
        {"missing folder", dir.file(QStringLiteral("nowhere/file")), ENOENT},
        {"a folder in the way", dir.file(QStringLiteral("folder")), EISDIR},
        {"empty path", QString(), ENOENT},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QVError error;
        EXPECT_FALSE(AtomicFile::write(row.path, "x", &error));
        EXPECT_EQ(error.domain(), QVError::posixDomain());
        EXPECT_EQ(error.code(), row.err);
        EXPECT_FALSE(error.localizedDescription().isEmpty());
    }
    EXPECT_TRUE(QFileInfo(dir.file(QStringLiteral("folder/sub"))).isDir());
    EXPECT_EQ(readAll(path), QByteArray("precious"));
    EXPECT_EQ(entries(dir.path()), (QStringList{QStringLiteral("file"), QStringLiteral("folder")}));
}

// A write that the kernel cuts short (the file-size limit stands in for a full disk: both fail
// the write() part-way) must not replace the file.
TEST(AtomicFile, AShortWriteKeepsTheOldFile) {
    TestDir dir;
    const QString path = dir.write(QStringLiteral("file"), "precious");
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 1024;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    QVError error;
    const bool written = AtomicFile::write(path, QByteArray(64 * 1024, 'x'), &error);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previousHandler);
    EXPECT_FALSE(written);
    EXPECT_EQ(error.domain(), QVError::posixDomain());
    EXPECT_EQ(error.code(), EFBIG);
    EXPECT_TRUE(error.localizedDescription().contains(path)) << error.localizedDescription().toStdString();
    EXPECT_EQ(readAll(path), QByteArray("precious"));
    EXPECT_EQ(entries(dir.path()), QStringList{QStringLiteral("file")});
}

TEST(AtomicFile, PermissionsAreRespected) {
    if (runningAsRoot()) GTEST_SKIP() << "running as root: permission checks do not apply to the superuser";
    TestDir dir;
    const QString folder = dir.file(QStringLiteral("locked"));
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString inLocked = folder + QStringLiteral("/file");
    {
        QFile f(inLocked);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("old");
    }
    // A writable file in a folder that refuses a new file is written in place; a new file there
    // is refused.
    ASSERT_EQ(::chmod(QFile::encodeName(folder).constData(), 0555), 0);
    QVError error;
    bool inPlace = false;
    EXPECT_TRUE(AtomicFile::write(inLocked, "new", &error, {}, &inPlace));
    EXPECT_TRUE(inPlace);
    EXPECT_EQ(readAll(inLocked), QByteArray("new"));
    EXPECT_EQ(entries(folder), QStringList{QStringLiteral("file")});
    EXPECT_FALSE(AtomicFile::write(folder + QStringLiteral("/other"), "new", &error));
    EXPECT_EQ(error.code(), EACCES);
    ::chmod(QFile::encodeName(folder).constData(), 0755);

    // A read-only file in a writable folder is not replaced behind its owner's back.
    const QString readOnly = dir.write(QStringLiteral("readonly"), "old");
    ASSERT_EQ(::chmod(QFile::encodeName(readOnly).constData(), 0444), 0);
    EXPECT_FALSE(AtomicFile::write(readOnly, "new", &error));
    EXPECT_EQ(error.code(), EACCES);
    EXPECT_EQ(readAll(readOnly), QByteArray("old"));
}

// The output of a tool that reads attributes or ACLs, or why it failed.
QByteArray tool(const QString& program, const QStringList& args) {
    const ProcessResult result = Process::run(program, args);
    return result.succeeded() ? result.standardOutput : "failed: " + result.standardError;
}

TEST(AtomicFile, KeepsAttributesAndTheACLAndAddsTheCallersWhereTheyAreKept) {
    TestDir dir;
    const QString path = dir.write(QStringLiteral("page.html"), "old");
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0640), 0);
    ASSERT_TRUE(Process::run(QStringLiteral("setfattr"), {"-n", "user.note", "-v", "kept", path}).succeeded())
        << "setfattr (package attr) is missing or the file system keeps no user attributes";
    ASSERT_TRUE(Process::run(QStringLiteral("setfacl"), {"-m", "u:nobody:rw,m::rw", path}).succeeded())
        << "setfacl (package acl) is missing or the file system keeps no ACL";
    const QByteArray acl = tool(QStringLiteral("getfacl"), {"-cp", path});

    ASSERT_TRUE(AtomicFile::write(path, "new", nullptr, {{"user.creator", "QVDT"}, {"user.note", "replaced"}}));
    EXPECT_EQ(readAll(path), QByteArray("new"));
    EXPECT_EQ(tool(QStringLiteral("getfacl"), {"-cp", path}), acl);
    EXPECT_TRUE(acl.contains("user:nobody:rw-")) << acl.constData();
    EXPECT_EQ(tool(QStringLiteral("getfattr"), {"--only-values", "-n", "user.creator", path}), QByteArray("QVDT"));
    EXPECT_EQ(tool(QStringLiteral("getfattr"), {"--only-values", "-n", "user.note", path}), QByteArray("replaced"));
    EXPECT_EQ(modeOf(path) & 0707, mode_t(0600));  // the group bits are the ACL's mask

    // Where attributes cannot be kept (a name outside every namespace), the write still succeeds.
    ASSERT_TRUE(AtomicFile::write(path, "newer", nullptr, {{"nonamespace", "x"}}));
    EXPECT_EQ(readAll(path), QByteArray("newer"));
    EXPECT_EQ(tool(QStringLiteral("getfattr"), {"--only-values", "-n", "user.creator", path}), QByteArray("QVDT"));
}

TEST(AtomicFile, AFolderRefusingATemporaryFileGetsTheFileWrittenInPlace) {
    TestDir dir;
    const QString folder = dir.file(QStringLiteral("shut"));
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString path = dir.write(QStringLiteral("shut/page.html"), "old contents, longer than the new");
    struct stat before {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &before), 0);
    // The superuser creates files in any folder it may not write, but not in an immutable one.
    const bool root = runningAsRoot();
    const auto shut = [&](bool closed) {
        return root ? Process::run(QStringLiteral("chattr"), {closed ? "+i" : "-i", folder}).succeeded()
                    : ::chmod(QFile::encodeName(folder).constData(), closed ? 0555 : 0755) == 0;
    };
    ASSERT_TRUE(shut(true)) << "chattr (package e2fsprogs) failed";
    bool inPlace = false;
    QVError error;
    const bool written = AtomicFile::write(path, "new", &error, {}, &inPlace);
    const QStringList left = entries(folder);
    ASSERT_TRUE(shut(false));
    ASSERT_TRUE(written) << error.localizedDescription().toStdString();
    EXPECT_TRUE(inPlace);
    EXPECT_EQ(readAll(path), QByteArray("new"));
    EXPECT_EQ(left, QStringList{QStringLiteral("page.html")});
    struct stat after {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    // Where a temporary file can be made, the write is atomic again.
    EXPECT_TRUE(AtomicFile::write(path, "newer", &error, {}, &inPlace));
    EXPECT_FALSE(inPlace);
}

TEST(AtomicFile, ReadersSeeTheOldOrTheNewFileNeverAMix) {
    TestDir dir;
    const QByteArray a(200000, 'a');
    const QByteArray b(100000, 'b');
    const QString path = dir.file(QStringLiteral("file"));
    ASSERT_TRUE(AtomicFile::write(path, a));
    std::atomic<bool> done{false};
    std::atomic<int> reads{0}, torn{0};
    std::thread reader([&] {
        while (!done.load()) {
            const QByteArray seen = readAll(path);
            if (seen != a && seen != b) ++torn;
            ++reads;
        }
    });
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(AtomicFile::write(path, i % 2 ? a : b));
    done = true;
    reader.join();
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(entries(dir.path()), QStringList{QStringLiteral("file")});
}

TEST(AtomicFile, AWriterKilledMidwayLeavesTheOldOrTheNewFileWhole) {
    TestDir dir;
    const QString path = dir.file(QStringLiteral("page.html"));
    const QByteArray a(3000000, 'a');
    const QByteArray b(1000000, 'b');
    ASSERT_TRUE(AtomicFile::write(path, a));
    for (int round = 0; round < 5; ++round) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int i = 0;; ++i) AtomicFile::write(path, i % 2 ? a : b);
        }
        // Killed at some point of a write: after one or more whole writes, at a different moment
        // each round.
        ::usleep(useconds_t(20000 + 15000 * round));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        const QByteArray seen = readAll(path);
        EXPECT_TRUE(seen == a || seen == b) << "round " << round << ": " << seen.size() << " bytes";
    }
}

}  // namespace
