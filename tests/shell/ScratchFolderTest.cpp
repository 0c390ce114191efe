// The scratch folder is taken only when it is a real folder of this user nobody else can write.
#include "shell/ScratchFolder.h"

#include "platform/SystemLog.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {
mode_t modeOf(const QString& path) {
    struct stat st {};
    ::lstat(QFile::encodeName(path).constData(), &st);
    return st.st_mode;
}
}  // namespace

TEST(ScratchFolder, RefusesFoldersOthersCouldControl) {
    struct Row {
        const char* what;
        std::function<void(const QString& preferred, const QString& dir)> prepare;
        bool accepted;
        bool needsRoot;
        mode_t mode = 0;  // of an accepted folder, made or found under the umask 022
    };
    const Row rows[] = {
        {"missing: made with group write", [](const QString&, const QString&) {}, true, false, 0775},
        {"own folder left alone", [](const QString& p, const QString&) { QDir().mkpath(p); }, true, false, 0755},
        {"link to an own folder",
         [](const QString& p, const QString& d) {
             QDir().mkpath(d + QStringLiteral("/elsewhere"));
             ::symlink(QFile::encodeName(d + QStringLiteral("/elsewhere")).constData(),
                       QFile::encodeName(p).constData());
         },
         false, false},
        {"dangling link",
         [](const QString& p, const QString& d) {
             ::symlink(QFile::encodeName(d + QStringLiteral("/later")).constData(),
                       QFile::encodeName(p).constData());
         },
         false, false},
        {"a file", [](const QString& p, const QString&) { QFile f(p); (void)f.open(QIODevice::WriteOnly); }, false, false},
        {"writable by everyone",
         [](const QString& p, const QString&) {
             QDir().mkpath(p);
             ::chmod(QFile::encodeName(p).constData(), 0777);
         },
         false, false},
        {"another user's",
         [](const QString& p, const QString&) {
             QDir().mkpath(p);
             ASSERT_EQ(::chown(QFile::encodeName(p).constData(), 65534, 65534), 0);
         },
         false, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        if (row.needsRoot && ::geteuid() != 0) continue;  // only root can give a folder away
        TestDir dir;
        const mode_t oldMask = ::umask(022);
        const QString preferred = dir.file(QStringLiteral("Qorvel"));
        const QString fallback = dir.file(QStringLiteral("cache/scratch"));
        row.prepare(preferred, dir.path());
        QString refusal;
        const QString chosen = ScratchFolder::prepare(preferred, fallback, &refusal);
        ::umask(oldMask);
        if (row.accepted) {
            EXPECT_EQ(chosen, preferred);
            EXPECT_TRUE(refusal.isEmpty());
            EXPECT_TRUE(S_ISDIR(modeOf(preferred)));
            EXPECT_EQ(modeOf(preferred) & 0777, row.mode);
        } else {
            EXPECT_EQ(chosen, fallback);
            EXPECT_FALSE(refusal.isEmpty());
            EXPECT_TRUE(S_ISDIR(modeOf(fallback)));
            EXPECT_EQ(modeOf(fallback) & 0777, 0700u);
            EXPECT_FALSE(QFileInfo::exists(dir.file(QStringLiteral("later"))));
        }
    }
}

TEST(ScratchFolder, RefusalIsLoggedOnceAndTheFallbackUsed) {
    TestDir dir;
    const QByteArray oldTmp = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(dir.path()));
    ASSERT_EQ(::symlink("/", QFile::encodeName(dir.file(QStringLiteral("Qorvel"))).constData()), 0);

    QStringList lines;
    SystemLog::setSink([&](int, const QString& message) { lines.append(message); });
    const QString first = ScratchFolder::path();
    const QString second = ScratchFolder::path();
    SystemLog::setSink({});
    qputenv("TMPDIR", oldTmp);

    EXPECT_EQ(first, ScratchFolder::fallbackPath());
    EXPECT_EQ(second, first);
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines.first().contains(QStringLiteral("symbolic link")));
    EXPECT_TRUE(lines.first().contains(first));
}
