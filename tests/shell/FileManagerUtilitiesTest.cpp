// File-manager utilities against real files: sizes, modes, copy names, folders, links,
// temporary files, account names, alias records, file-operation errors and the icon cache.
#include "shell/FileManagerUtilities.h"

#include "platform/Paths.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using FMU = FileManagerUtilities;

TEST(FileManagerUtilities, FormattedSizes) {
    const struct {
        qint64 bytes;
        const char* text;
    } rows[] = {
        {0, "0 B"},
        {1023, "1023 B"},
        {1024, "1 KB"},
        {1536, "2 KB"},
        {1048575, "1024 KB"},
        {1048576, "1.0 MB"},
        {1572864, "1.5 MB"},
        {qint64(1) << 30, "1.0 GB"},
        {(qint64(1) << 40) * 3 / 2, "1.5 TB"},
        {qint64(1) << 50, "1.0 PB"},
        {(qint64(1) << 60) - (qint64(1) << 40), "1024.0 PB"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(FMU::formattedStringForSize(row.bytes), QLatin1String(row.text)) << row.bytes;
    EXPECT_TRUE(FMU::formattedStringForSize(qint64(1) << 60).isNull());
}

TEST(FileManagerUtilities, ModeStrings) {
    const struct {
        quint16 mode;
        const char* text;
        const char* numeric;
    } rows[] = {
        {040755, "drwxr-xr-x ", "755"},
        {0100644, "-rw-r--r-- ", "644"},
        {0104755, "-rwsr-xr-x ", "4755"},
        {0102640, "-rw-r-S--- ", "2640"},
        {041777, "drwxrwxrwt ", "1777"},
        {041776, "drwxrwxrwT ", "1776"},
        {0120777, "lrwxrwxrwx ", "777"},
        {0010600, "prw------- ", "600"},
        {0140755, "srwxr-xr-x ", "755"},
        {0060660, "brw-rw---- ", "660"},
        {0020620, "crw--w---- ", "620"},
        {0160000, "w--------- ", "0"},
        {0, "?--------- ", "0"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(FMU::modeStringForMode(row.mode), QLatin1String(row.text));
        EXPECT_EQ(FMU::numericModeStringForMode(row.mode), QLatin1String(row.numeric));
    }
    EXPECT_EQ(FMU::modeFromString(QStringLiteral("drwxr-xr-x ")), 0x41ED);
    EXPECT_EQ(FMU::modeFromString(QStringLiteral("-rwSr-Sr-T")), 0x8000 | 0x100 | 0x80 | 0x20 | 0x4 | 0x800 | 0x400 | 0x200);
    EXPECT_EQ(FMU::modeFromString(QStringLiteral("?rwxrwxrwx")), 0x81FF);  // unknown letters: a file
    EXPECT_EQ(FMU::modeFromString(QStringLiteral("drwxr-xr-")), 0);        // too short
    EXPECT_EQ(FMU::modeFromString(QString()), 0);

    // Every permission set of every known type survives the round trip.
    for (quint16 type : {0x1000, 0x2000, 0x4000, 0x6000, 0x8000, 0xA000, 0xC000, 0xE000})
        for (quint16 perms = 0; perms < 010000; ++perms) {
            const quint16 mode = type | perms;
            ASSERT_EQ(FMU::modeFromString(FMU::modeStringForMode(mode)), mode)
                << FMU::modeStringForMode(mode).toStdString();
        }
}

TEST(FileManagerUtilities, CopyNamesCountUpPastExistingFiles) {
    TestDir dir;
    const auto touch = [&](const char* name) { dir.write(QLatin1String(name), "x"); };
    touch("a.txt");
    touch("a copy.txt");
    touch("a copy 1.txt");
    touch("README");
    touch(".profile");
    touch("archive.tar.gz");
    QDir().mkpath(dir.file(QStringLiteral("Site.d")));
    QDir().mkpath(dir.file(QStringLiteral("Site.d copy")));
    // A dangling link still takes its name.
    ASSERT_EQ(::symlink("nowhere", QFile::encodeName(dir.file(QStringLiteral("README copy"))).constData()), 0);

    const struct {
        const char* name;
        QString suffix;
        bool folder;
        const char* expected;
    } rows[] = {
        {"a.txt", QStringLiteral(" copy"), false, "a copy 2.txt"},
        {"README", QStringLiteral(" copy"), false, "README copy 1"},
        {".profile", QStringLiteral(" copy"), false, ".profile copy"},
        {"archive.tar.gz", QStringLiteral(" copy"), false, "archive.tar copy.gz"},
        {"Site.d", QStringLiteral(" copy"), true, "Site.d copy 1"},
        {"Site.d/", QStringLiteral(" copy"), true, "Site.d copy 1"},
        {"b.html", QStringLiteral("-old"), false, "b-old.html"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(FMU::pathForCopyOfFile(dir.file(QLatin1String(row.name)), row.suffix, row.folder),
                  dir.file(QLatin1String(row.expected)));
    }
    EXPECT_EQ(FMU::pathForCopyOfFile(dir.file(QStringLiteral("a.txt"))), dir.file(QStringLiteral("a copy 2.txt")));
    EXPECT_EQ(FMU::pathForCopyOfFile(dir.file(QStringLiteral("a.txt")), QStringLiteral(" copy")),
              dir.file(QStringLiteral("a copy 2.txt")));
}

TEST(FileManagerUtilities, EnsureDirectoryExists) {
    TestDir dir;
    const QString deep = dir.file(QStringLiteral("one/two/three"));
    EXPECT_TRUE(FMU::ensureDirectoryExists(deep));
    EXPECT_TRUE(QFileInfo(deep).isDir());

    // An existing folder: yes, and nothing new inside.
    EXPECT_TRUE(FMU::ensureDirectoryExists(dir.file(QStringLiteral("one"))));
    EXPECT_EQ(QDir(dir.file(QStringLiteral("one"))).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
              QStringList{QStringLiteral("two")});

    const QString file = dir.write(QStringLiteral("plain"), "x");
    EXPECT_FALSE(FMU::ensureDirectoryExists(file + QStringLiteral("/below")));
    EXPECT_FALSE(FMU::ensureDirectoryExists(file));  // a file is not a folder
    EXPECT_EQ(readAll(file), QByteArray("x"));

    // A link to a folder leads on into it.
    ASSERT_EQ(::symlink("one", QFile::encodeName(dir.file(QStringLiteral("link"))).constData()), 0);
    EXPECT_TRUE(FMU::ensureDirectoryExists(dir.file(QStringLiteral("link/two/four"))));
    EXPECT_TRUE(QFileInfo(dir.file(QStringLiteral("one/two/four"))).isDir());

    EXPECT_TRUE(FMU::ensureDirectoryExists(QString()));
    EXPECT_TRUE(FMU::ensureDirectoryExists(QStringLiteral("/")));
}

TEST(FileManagerUtilities, ResolvedPathReadsOneLevelOfLink) {
    TestDir dir;
    const QString file = dir.write(QStringLiteral("target.txt"), "x");
    const QString link = dir.file(QStringLiteral("link"));
    const QString chain = dir.file(QStringLiteral("chain"));
    ASSERT_EQ(::symlink("sub/../target.txt", QFile::encodeName(link).constData()), 0);
    ASSERT_EQ(::symlink("link", QFile::encodeName(chain).constData()), 0);
    EXPECT_EQ(FMU::resolvedPath(link), QStringLiteral("sub/../target.txt"));
    EXPECT_EQ(FMU::resolvedPath(chain), QStringLiteral("link"));
    EXPECT_EQ(FMU::resolvedPath(file), file);
    EXPECT_EQ(FMU::resolvedPath(dir.file(QStringLiteral("missing"))), dir.file(QStringLiteral("missing")));
}

TEST(FileManagerUtilities, TemporaryFilesAreCreatedPrivatelyWithUniqueNames) {
    const QString first = FMU::pathForTemporaryFile();
    const QString second = FMU::pathForTemporaryFile();
    ASSERT_FALSE(first.isEmpty());
    ASSERT_FALSE(second.isEmpty());
    EXPECT_NE(first, second);
    for (const QString& path : {first, second}) {
        SCOPED_TRACE(path.toStdString());
        EXPECT_TRUE(path.startsWith(Paths::temporary() + QStringLiteral("/Qorvel.tmp.")));
        struct stat st;
        ASSERT_EQ(::lstat(QFile::encodeName(path).constData(), &st), 0);  // exists already
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        EXPECT_EQ(st.st_size, 0);
        EXPECT_EQ(st.st_uid, ::geteuid());
        QFile::remove(path);
    }

    TestDir dir;
    QVError error;
    EXPECT_TRUE(FMU::createTemporaryFile(dir.file(QStringLiteral("bad.XXXXX")), &error).isEmpty());
    EXPECT_FALSE(error.isNull());
    error = {};
    EXPECT_TRUE(FMU::createTemporaryFile(dir.file(QStringLiteral("missing/t.XXXXXX")), &error).isEmpty());
    EXPECT_EQ(error.domain(), QVError::posixDomain());
    EXPECT_EQ(error.code(), ENOENT);
    const QString made = FMU::createTemporaryFile(dir.file(QStringLiteral("tidyOutput.XXXXXX")));
    EXPECT_TRUE(QFileInfo(made).isFile());
    EXPECT_TRUE(QFileInfo(made).fileName().startsWith(QStringLiteral("tidyOutput.")));
}

TEST(FileManagerUtilities, AccountNames) {
    const passwd* me = ::getpwuid(::geteuid());
    ASSERT_NE(me, nullptr);
    EXPECT_EQ(FMU::nameForUid(::geteuid()), QString::fromLocal8Bit(me->pw_name));
    const group* myGroup = ::getgrgid(::getegid());
    ASSERT_NE(myGroup, nullptr);
    EXPECT_EQ(FMU::nameForGid(::getegid()), QString::fromLocal8Bit(myGroup->gr_name));
    EXPECT_EQ(FMU::nameForUid(0), QStringLiteral("root"));
    // Ids without an entry come back as unsigned decimal numbers.
    EXPECT_EQ(FMU::nameForUid(3999999999u), QStringLiteral("3999999999"));
    EXPECT_EQ(FMU::nameForGid(3999999998u), QStringLiteral("3999999998"));
}

TEST(FileManagerUtilities, AliasRecordsFindRenamedFiles) {
    TestDir dir;
    const QString file = dir.write(QStringLiteral("page.html"), "x");
    const QString folder = dir.file(QStringLiteral("Site"));
    ASSERT_TRUE(QDir().mkpath(folder));

    const QByteArray fileAlias = FMU::createAliasDataForPath(file);
    const QByteArray folderAlias = FMU::createAliasDataForPath(folder);
    ASSERT_FALSE(fileAlias.isEmpty());
    EXPECT_EQ(FMU::createPathFromAliasData(fileAlias), file);
    EXPECT_EQ(FMU::createPathFromAliasData(folderAlias), folder);

    ASSERT_TRUE(QFile::rename(file, dir.file(QStringLiteral("renamed.html"))));
    ASSERT_TRUE(QDir().rename(folder, dir.file(QStringLiteral("Site 2"))));
    EXPECT_EQ(FMU::createPathFromAliasData(fileAlias), dir.file(QStringLiteral("renamed.html")));
    EXPECT_EQ(FMU::createPathFromAliasData(folderAlias), dir.file(QStringLiteral("Site 2")));

    // A file replaced at the recorded path (a save that renames over it) is still that path.
    ASSERT_TRUE(QFile::rename(dir.file(QStringLiteral("renamed.html")), file));
    const QByteArray again = FMU::createAliasDataForPath(file);
    QFile::remove(file);
    dir.write(QStringLiteral("page.html"), "new");
    EXPECT_EQ(FMU::createPathFromAliasData(again), file);

    QFile::remove(file);
    EXPECT_TRUE(FMU::createPathFromAliasData(again).isEmpty());
    EXPECT_TRUE(FMU::createAliasDataForPath(dir.file(QStringLiteral("missing"))).isEmpty());
    EXPECT_TRUE(FMU::createAliasDataForPath(QString()).isEmpty());
    for (const QByteArray& bad : {QByteArray(), QByteArray("junk"), fileAlias.left(fileAlias.size() / 2)})
        EXPECT_TRUE(FMU::createPathFromAliasData(bad).isEmpty());
}

TEST(FileManagerUtilities, ErrorFromDictionary) {
    const QVError error = FMU::errorFromDictionary(
        {{QStringLiteral("Path"), QStringLiteral("/x/y")}, {QStringLiteral("Error"), QStringLiteral("Permission denied")}});
    EXPECT_EQ(error.domain(), QVError::applicationDomain());
    EXPECT_EQ(error.code(), 9);
    EXPECT_EQ(error.localizedDescription(), QStringLiteral("File Operation Error"));
    EXPECT_EQ(error.localizedRecoverySuggestion(), QStringLiteral("/x/y: Permission denied"));
    EXPECT_EQ(FMU::errorFromDictionary({}).code(), 9);
}

TEST(FileManagerUtilities, IconCacheSharesOneIconPerExtension) {
    TestDir dir;
    const QString text = dir.write(QStringLiteral("a.txt"), "x");
    const QString folderNamedTxt = dir.file(QStringLiteral("b.txt"));
    const QString plainFolder = dir.file(QStringLiteral("plain"));
    ASSERT_TRUE(QDir().mkpath(folderNamedTxt));
    ASSERT_TRUE(QDir().mkpath(plainFolder));
    const QSize size(16, 16);

    const QImage fileIcon = FMU::iconForFile(text, size, true);
    ASSERT_FALSE(fileIcon.isNull());
    EXPECT_EQ(fileIcon.size(), size);
    // Uncached, a folder gets a folder icon; cached, anything ending in ".txt" shares the first.
    const QImage folderIcon = FMU::iconForFile(folderNamedTxt, size, false);
    EXPECT_EQ(folderIcon, FMU::iconForFile(plainFolder, size, false));
    EXPECT_NE(folderIcon, fileIcon);
    EXPECT_EQ(FMU::iconForFile(folderNamedTxt, size, true), fileIcon);
    // The cached icon is rendered afresh at every size asked for.
    EXPECT_EQ(FMU::iconForFile(text, QSize(48, 48), true).size(), QSize(48, 48));
    EXPECT_EQ(FMU::iconForFile(text, size, true), fileIcon);
}
