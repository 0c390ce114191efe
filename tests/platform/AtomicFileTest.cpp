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
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <thread>
#include <utility>
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

    // Set-id bits and a file capability were granted to the old text; even the superuser's new
    // one does not inherit them (an unprivileged saver could not copy the capability anyway).
    if (!runningAsRoot()) return;
    const QByteArray name = QFile::encodeName(path);
    const unsigned char capability[20] = {0, 0, 0, 2, 0, 4};  // revision 2, CAP_NET_BIND_SERVICE
    ASSERT_EQ(::chmod(name.constData(), 06750), 0);
    ASSERT_EQ(::setxattr(name.constData(), "security.capability", capability, sizeof capability, 0), 0);
    ASSERT_TRUE(AtomicFile::write(path, "newest"));
    EXPECT_LT(::getxattr(name.constData(), "security.capability", nullptr, 0), 0);
    EXPECT_EQ(modeOf(path), mode_t(0750));
    EXPECT_EQ(tool(QStringLiteral("getfattr"), {"--only-values", "-n", "user.note", path}), QByteArray("replaced"));
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

// A FUSE mount of a folder that refuses every change of permissions (option "--chmod-deny"), as
// an sshfs mount of a server without SETSTAT does, or accepts it and changes nothing
// ("--chmod-ignore"), as one of a server that ignores permission requests; unmounted with the object.
struct ChmodMount {
    TestDir source, mount;
    bool mounted = false;
    explicit ChmodMount(const char* option) {
        mounted = Process::run(QStringLiteral("bindfs"), {option, source.path(), mount.path()}).succeeded();
    }
    ~ChmodMount() {
        if (mounted) Process::run(QStringLiteral("fusermount"), {"-u", mount.path()});
    }
};

// Where the file system will not give a new copy the file's mode, refusing it or saying yes and
// keeping its own, the file is written in place (saved, Replace All staged and committed) and
// keeps its mode; a copy that has the mode already, and a new file, need no change of permissions
// and are written as anywhere.
TEST(AtomicFile, AMountRefusingOrIgnoringPermissionsGetsTheFileWrittenInPlace) {
    if (!QFileInfo::exists(QStringLiteral("/dev/fuse"))) GTEST_SKIP() << "no FUSE on this machine (/dev/fuse)";
    ChmodMount denying("--chmod-deny"), ignoring("--chmod-ignore");
    ASSERT_TRUE(denying.mounted && ignoring.mounted) << "bindfs could not mount (package bindfs, and FUSE: /dev/fuse)";
    using P = AtomicFile::InPlace;
    const struct {
        const char* what;
        ChmodMount* fuse;
        mode_t mode;  // 0: no file yet
        bool staged;
        P inPlace;
    } rows[] = {
        {"the user's page", &denying, 0644, false, P::Permissions},
        {"the user's page, replaced in a batch", &denying, 0644, true, P::Permissions},
        {"a page as private as a new copy", &denying, 0600, false, P::No},
        {"a new page", &denying, 0, false, P::No},
        {"the user's page, chmod ignored", &ignoring, 0644, false, P::Permissions},
        {"the user's page, chmod ignored, replaced in a batch", &ignoring, 0644, true, P::Permissions},
        {"a script, chmod ignored", &ignoring, 0755, false, P::Permissions},
        {"a script, chmod ignored, replaced in a batch", &ignoring, 0755, true, P::Permissions},
        {"a private page, chmod ignored", &ignoring, 0600, true, P::No},
        {"a new page, chmod ignored", &ignoring, 0, false, P::No},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ChmodMount& fuse = *row.fuse;
        const QString path = fuse.mount.file(QStringLiteral("page.html"));
        const QByteArray name = QFile::encodeName(path);
        struct stat before {};
        if (row.mode) {
            const QString source = fuse.source.write(QStringLiteral("page.html"), "old contents, longer than the new");
            ASSERT_EQ(::chmod(QFile::encodeName(source).constData(), row.mode), 0);
            ASSERT_EQ(::stat(name.constData(), &before), 0);
        }
        QVError error;
        P inPlace = P::No;
        if (row.staged) {
            AtomicFile::Staged staged;
            ASSERT_TRUE(AtomicFile::stage(path, "new", &staged, &error)) << error.localizedDescription().toStdString();
            inPlace = staged.inPlace;
            ASSERT_TRUE(AtomicFile::commit(staged, &error)) << error.localizedDescription().toStdString();
        } else {
            ASSERT_TRUE(AtomicFile::write(path, "new", &error, {}, nullptr, nullptr, &inPlace))
                << error.localizedDescription().toStdString();
        }
        EXPECT_EQ(inPlace, row.inPlace);
        EXPECT_EQ(readAll(path), QByteArray("new"));
        struct stat after {};
        ASSERT_EQ(::stat(name.constData(), &after), 0);
        if (row.mode) {
            EXPECT_EQ(after.st_mode & 07777, row.mode);
            EXPECT_EQ(after.st_ino == before.st_ino, row.inPlace != P::No);
        }
        EXPECT_EQ(entries(fuse.mount.path()), QStringList{QStringLiteral("page.html")});
        ASSERT_TRUE(QFile::remove(path));
    }
}

// commitOver puts a staged file in place only over the very file it was staged against: named,
// unnamed or written in place (a file with another hard link), a file another writer put there
// meanwhile (or removed) stays, and no copy is left; the file written is told by its identity.
// A third writer's file put in place while this one's was there for its check stays in place,
// not under the staged file's name where a sweep of leftovers would remove it.
TEST(AtomicFile, CommitOverReplacesOnlyTheFileChecked) {
    enum Meanwhile { Nothing, AnotherWriter, Removed, ThirdWriter };
    const struct {
        const char* what;
        bool named;
        bool linked;  // another hard link: written in place
        Meanwhile meanwhile;
        AtomicFile::Commit expected;
    } rows[] = {
        {"unnamed", false, false, Nothing, AtomicFile::Commit::Done},
        {"named", true, false, Nothing, AtomicFile::Commit::Done},
        {"in place", false, true, Nothing, AtomicFile::Commit::Done},
        {"unnamed, another writer", false, false, AnotherWriter, AtomicFile::Commit::Changed},
        {"named, another writer", true, false, AnotherWriter, AtomicFile::Commit::Changed},
        {"in place, another writer", false, true, AnotherWriter, AtomicFile::Commit::Changed},
        {"unnamed, removed", false, false, Removed, AtomicFile::Commit::Changed},
        {"unnamed, another writer, then a third during the check", false, false, ThirdWriter, AtomicFile::Commit::Changed},
        {"named, another writer, then a third during the check", true, false, ThirdWriter, AtomicFile::Commit::Changed},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        TestDir dir;
        const QString path = dir.write(QStringLiteral("page.html"), "old");
        if (row.linked) {
            ASSERT_EQ(::link(QFile::encodeName(path).constData(), QFile::encodeName(dir.file(QStringLiteral("link"))).constData()), 0);
        }
        struct stat checked {};
        ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &checked), 0);
        AtomicFile::setStagesNamed(row.named);
        AtomicFile::Staged staged;
        QVError error;
        ASSERT_TRUE(AtomicFile::stage(path, "new", &staged, &error, true)) << error.localizedDescription().toStdString();
        AtomicFile::setStagesNamed(false);
        EXPECT_EQ(staged.inPlace != AtomicFile::InPlace::No, row.linked);
        if (row.meanwhile == AnotherWriter || row.meanwhile == ThirdWriter) {
            // A save of another program: a new file renamed over, or the same file rewritten.
            if (row.linked) {
                ASSERT_TRUE(writeBytes(QFile::encodeName(path), "theirs"));
                struct timespec later[2] = {{0, UTIME_OMIT}, {checked.st_mtim.tv_sec + 5, 0}};
                ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), later, 0), 0);
            } else {
                dir.write(QStringLiteral("theirs.tmp"), "theirs");
                ASSERT_EQ(::rename(QFile::encodeName(dir.file(QStringLiteral("theirs.tmp"))).constData(), QFile::encodeName(path).constData()), 0);
            }
        } else if (row.meanwhile == Removed) {
            ASSERT_TRUE(QFile::remove(path));
        }
        bool third = row.meanwhile == ThirdWriter;
        const auto unchanged = [&](const struct stat& st) {
            if (std::exchange(third, false)) {
                // Asked of the displaced file, while this run's file is in place.
                dir.write(QStringLiteral("third.tmp"), "third");
                EXPECT_EQ(::rename(QFile::encodeName(dir.file(QStringLiteral("third.tmp"))).constData(), QFile::encodeName(path).constData()), 0);
            }
            return st.st_dev == checked.st_dev && st.st_ino == checked.st_ino && st.st_size == checked.st_size &&
                   st.st_mtim.tv_sec == checked.st_mtim.tv_sec && st.st_mtim.tv_nsec == checked.st_mtim.tv_nsec;
        };
        struct stat written {};
        EXPECT_EQ(AtomicFile::commitOver(staged, unchanged, &written, &error), row.expected) << error.localizedDescription().toStdString();
        const QByteArray now = readBytes(QFile::encodeName(path));
        EXPECT_EQ(now, row.meanwhile == ThirdWriter ? QByteArray("third") : row.meanwhile == AnotherWriter ? QByteArray("theirs") : row.meanwhile == Removed ? QByteArray("<missing>") : QByteArray("new"));
        if (row.expected == AtomicFile::Commit::Done) {
            struct stat there {};
            ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &there), 0);
            EXPECT_TRUE(there.st_ino == written.st_ino && there.st_size == written.st_size);
        }
        QStringList left = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden);
        left.removeAll(QStringLiteral("page.html"));
        left.removeAll(QStringLiteral("link"));
        EXPECT_TRUE(left.isEmpty()) << left.join(' ').toStdString();
    }
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

// A folder every account may write, for a child that gives up the superuser's rights.
struct SharedFolder {
    QString path;
    SharedFolder() {
        QByteArray name("/tmp/qorvel-saves-XXXXXX");
        if (::mkdtemp(name.data()) && ::chmod(name.constData(), 0777) == 0) path = QFile::decodeName(name);
    }
    ~SharedFolder() {
        if (!path.isEmpty()) QDir(path).removeRecursively();
    }
};

// In a forked child: from the superuser to the unprivileged account "nobody" (false if that failed).
// Dumpable again afterwards, as a process the user started is: the change of account hides
// /proc/self from the process itself, which a save names its unnamed file through.
bool becomeNobody() {
    const struct passwd* nobody = ::getpwnam("nobody");
    return nobody && ::setgroups(0, nullptr) == 0 && ::setgid(nobody->pw_gid) == 0 && ::setuid(nobody->pw_uid) == 0 &&
           ::prctl(PR_SET_DUMPABLE, 1) == 0;
}

TEST(AtomicFile, AWriterKilledMidwayLeavesTheOldOrTheNewFileWholeAndNoPartialTemporary) {
    // Saved by an unprivileged account where the tests run as the superuser.
    SharedFolder shared;
    TestDir own;
    const bool asNobody = runningAsRoot();
    ASSERT_TRUE(!asNobody || !shared.path.isEmpty());
    const QString folder = asNobody ? shared.path : own.path();
    const QString path = folder + QStringLiteral("/page.html");
    const QByteArray a(24000000, 'a');
    const QByteArray b(8000000, 'b');
    ASSERT_TRUE(AtomicFile::write(path, a));
    if (asNobody) {
        const struct passwd* nobody = ::getpwnam("nobody");
        ASSERT_NE(nobody, nullptr);
        ASSERT_EQ(::chown(QFile::encodeName(path).constData(), nobody->pw_uid, nobody->pw_gid), 0);
    }
    std::srand(unsigned(::getpid()));
    for (int round = 0; round < 12; ++round) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (asNobody && !becomeNobody()) ::_exit(10);
            for (int i = 0;; ++i)
                if (!AtomicFile::write(path, i % 2 ? a : b)) ::_exit(11);
        }
        // Killed at a random point of a write: in the first one or after some whole ones.
        ::usleep(useconds_t(1000 + std::rand() % 120000));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer failed (" << WEXITSTATUS(status) << ")";
        const QByteArray seen = readAll(path);
        EXPECT_TRUE(seen == a || seen == b) << "round " << round << ": " << seen.size() << " bytes";
        // The one instant a name exists is between naming the finished copy and renaming it
        // over: a kill there may leave that whole copy, under a name of ours the outline hides.
        for (const QString& name : entries(folder)) {
            if (name == QStringLiteral("page.html")) continue;
            const QByteArray left = readAll(folder + u'/' + name);
            EXPECT_TRUE(name.startsWith(QStringLiteral(".tmp_Qorvel-save-")) && (left == a || left == b))
                << "round " << round << ": " << qPrintable(name) << ", " << left.size() << " bytes";
            QFile::remove(folder + u'/' + name);
        }
    }
}

// A temporary a killed save left (where the file system has no unnamed files) goes at the next
// write in its folder once its maker is gone: at once when made in this boot of this machine,
// else once it has not changed for a while; nothing else does.
TEST(AtomicFile, AStrandedTemporaryOfADeadSaveIsRemoved) {
    TestDir dir;
    const pid_t gone = ::fork();
    ASSERT_GE(gone, 0);
    if (gone == 0) ::_exit(0);
    ::waitpid(gone, nullptr, 0);
    const QString dead = QString::number(gone);
    // The first hex digits of this boot's id, and another boot's.
    QFile bootId(QStringLiteral("/proc/sys/kernel/random/boot_id"));
    ASSERT_TRUE(bootId.open(QIODevice::ReadOnly));
    const QString boot = QString::fromLatin1(bootId.readAll()).remove(u'-').left(8);
    QString otherBoot = boot;
    otherBoot[0] = boot[0] == u'0' ? u'1' : u'0';
    const struct {
        QString name;
        bool aged, kept;
    } rows[] = {
        {".tmp_Qorvel-save-" + dead + "-a1B2c3", true, false},
        {".tmp_Qorvel-save-" + dead + "-a1B2c4", false, true},  // its maker may be elsewhere, writing
        {".tmp_Qorvel-save-" + dead + "-" + boot + "-a1B2d1", false, false},  // made here, by a dead run
        {".tmp_Qorvel-save-" + dead + "-" + otherBoot + "-a1B2d2", false, true},
        {".tmp_Qorvel-save-" + dead + "-" + otherBoot + "-a1B2d3", true, false},
        {".tmp_Qorvel-save-1-" + boot + "-a1B2d4", false, true},
        {".tmp_Qorvel-save-" + dead + "-" + boot + "x-a1B2d5", false, true},
        {".tmp_Qorvel-save-1-a1B2c5", true, true},               // a live maker
        {".tmp_Qorvel-save-" + dead + "-a1B2c6.html", true, true},
        {".tmp_Qorvel-index.html", true, true},
        {".page.html.a1B2c7", true, true},
    };
    for (const auto& row : rows) {
        dir.write(row.name, "stranded");
        if (!row.aged) continue;
        const struct timespec times[2] = {{::time(nullptr) - 3600, 0}, {::time(nullptr) - 3600, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(dir.file(row.name)).constData(), times, 0), 0);
    }
    ASSERT_TRUE(AtomicFile::write(dir.file(QStringLiteral("page.html")), "new"));
    for (const auto& row : rows) EXPECT_EQ(QFileInfo::exists(dir.file(row.name)), row.kept) << row.name.toStdString();
}

// Saved by an account that is not the superuser: a file it may write but whose owner or group it
// cannot give a new file, or with a second name, is written in place and stays what it was.
TEST(AtomicFile, AFileWhoseOwnerGroupOrLinksARenameWouldLoseIsWrittenInPlace) {
    if (!runningAsRoot()) GTEST_SKIP() << "files of another owner can only be made by the superuser";
    const struct passwd* nobody = ::getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const uid_t user = nobody->pw_uid;
    const gid_t group = nobody->pw_gid;
    SharedFolder shared;
    ASSERT_FALSE(shared.path.isEmpty());
    const QString folder = shared.path;
    const QByteArray folderName = QFile::encodeName(folder);
    struct Row {
        const char* what;
        uid_t owner;
        gid_t group;
        mode_t mode;
        bool twin;
        AtomicFile::InPlace inPlace;
        mode_t folderMode = 0777;
    };
    using P = AtomicFile::InPlace;
    const Row rows[] = {
        {"another owner's file", 0, 0, 0666, false, P::OwnerOrGroup},
        {"a file of a group the saver is not in", user, 0, 0664, false, P::OwnerOrGroup},
        {"a file with a second hard link", user, group, 0644, true, P::OtherLinks},
        {"the saver's own file", user, group, 0640, false, P::No},
        // A new file there takes the folder's group: given the file's own back, it is replaced.
        {"the saver's own file in a set-group-id folder", user, group, 0640, false, P::No, 02777},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(::chmod(folderName.constData(), row.folderMode), 0);
        const QString path = folder + QStringLiteral("/page.html"), twin = folder + QStringLiteral("/twin.html");
        {
            QFile f(path);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write("old");
        }
        const QByteArray name = QFile::encodeName(path);
        ASSERT_EQ(::chown(name.constData(), row.owner, row.group), 0);
        ASSERT_EQ(::chmod(name.constData(), row.mode), 0);
        if (row.twin) {
            ASSERT_EQ(::link(name.constData(), QFile::encodeName(twin).constData()), 0);
        }
        struct stat before {};
        ASSERT_EQ(::stat(name.constData(), &before), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (!becomeNobody()) ::_exit(10);
            P inPlace = P::No;
            if (!AtomicFile::write(path, "new", nullptr, {}, nullptr, nullptr, &inPlace)) ::_exit(11);
            ::_exit(int(inPlace));
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        ASSERT_LT(WEXITSTATUS(status), 10) << "the unprivileged save failed (" << WEXITSTATUS(status) << ")";
        EXPECT_EQ(WEXITSTATUS(status), int(row.inPlace));
        struct stat after {};
        ASSERT_EQ(::stat(name.constData(), &after), 0);
        EXPECT_EQ(readAll(path), QByteArray("new"));
        EXPECT_EQ(after.st_uid, row.owner);
        EXPECT_EQ(after.st_gid, row.group);
        EXPECT_EQ(after.st_mode & 07777, row.mode);
        EXPECT_EQ(after.st_ino == before.st_ino, row.inPlace != P::No);
        if (row.twin) {
            EXPECT_EQ(readAll(twin), QByteArray("new"));
            EXPECT_EQ(after.st_nlink, nlink_t(2));
        }
        EXPECT_EQ(entries(folder), row.twin ? (QStringList{"page.html", "twin.html"}) : QStringList{"page.html"});
        QFile::remove(path);
        QFile::remove(twin);
    }
}

}  // namespace
