// Listing parsers: UNIX long form (sftp, most FTP servers), Windows/IIS.
#include "files/QVFileListingAction.h"
#include "files/QVLocalFile.h"
#include "files/QVQueuedRemoteFileRepresentation.h"

#include "platform/FileName.h"

#include <gtest/gtest.h>

#include <functional>

namespace {
using C = QVRemoteFilesConnection;

struct Expect {
    QString name;
    QString path;
    qint64 size;
    bool directory;
    bool symlink;
};
}  // namespace

TEST(RemoteListing, ParsersKeepEveryNameWholeAndDropWhatCannotBeAddressed) {
    struct Case {
        const char* what;
        int type;
        QString directory;
        QStringList lines;
        std::vector<Expect> expected;
    };
    const Case cases[] = {
        {"ftp unix, reply lines and total skipped", C::FTP, "/www",
         {"150 Here comes the listing.", "total 8", "drwxr-xr-x   2 web staff 4096 Jan 15 12:00 images",
          "lrwxrwxrwx   1 web staff   8 Jan 15 12:00 logs -> /var/log",
          "-rw-r--r--   1 web staff  12 Jan 15  2023 a -> b.txt",  // not a link: the arrow is part of the name
          "-rw-r--r--   1 web staff  12 Dec 07 09:10  two  blanks ", "226 Transfer complete."},
         {{"images", "/www/images", 4096, true, false},
          {"logs", "/www/logs", 8, false, true},
          {"a -> b.txt", "/www/a -> b.txt", 12, false, false},
          {" two  blanks ", "/www/ two  blanks ", 12, false, false}}},
        // Each name is its bytes from one blank after the time or year on: never its neighbour's.
        {"unix names starting or ending in blanks or a CR, beside their twins", C::FTP, "/t",
         {"-rw-r--r--   1 root     root            1 Dec 08 18:47  lead.html",
          "-rw-r--r--   1 root     root            1 Dec 08 18:47 lead.html",
          "-rw-r--r--   1 qv2382632419 root        2 Jan 15  2023   year.html",
          "-rw-r--r--   1 root     root            3 Dec 08 18:47 crend.html\r",
          "-rw-r--r--   1 root     root            4 Dec 08 18:47 trail.html ",
          "lrwxrwxrwx   1 root     root            5 Dec 08 18:47  link -> target",
          "-rw-r--r--   1 root     root            6 Dec 08 18:47 12 Dec 08 18:47 x"},
         {{" lead.html", "/t/ lead.html", 1, false, false},
          {"lead.html", "/t/lead.html", 1, false, false},
          {"  year.html", "/t/  year.html", 2, false, false},
          {"crend.html\r", "/t/crend.html\r", 3, false, false},
          {"trail.html ", "/t/trail.html ", 4, false, false},
          {" link", "/t/ link", 5, false, true},
          {"12 Dec 08 18:47 x", "/t/12 Dec 08 18:47 x", 6, false, false}}},
        {"sftp: '?' link count, listed path before names, dot names", C::SFTP, "a b",
         {"drwxr-xr-x    ? u u     4096 Dec  7 09:10 a b/.", "drwxr-xr-x    ? u u     4096 Dec  7 09:10 a b/..",
          "-rw-r--r--    ? u u        3 Dec  7 09:10 a b/q\"x\\y 12",
          "drwxr-xr-x    ? u u     4096 Dec  7 09:10 a b/sub",
          "lrwxrwxrwx    ? u u        6 Dec  7 09:10 a b/r -> s.html"},  // sftp shows no targets: all name
         {{"q\"x\\y 12", "a b/q\"x\\y 12", 3, false, false},
          {"sub", "a b/sub", 4096, true, false},
          {"r -> s.html", "a b/r -> s.html", 6, false, true}}},
        {"sftp of the login folder", C::SFTP, "",
         {"-rw-r--r--    ? u u      220 Apr 18  2025 ./.profile", "drwxr-xr-x    ? u u     4096 Dec  7 09:10 ./."},
         {{".profile", ".profile", 220, false, false}}},
        {"windows, dot names dropped", C::FTP, "/w",
         {"01-15-24  03:45PM       <DIR>          images", "01-15-24  03:45PM                 1234 index 2.html",
          "01-15-24  03:45PM       <DIR>          .", "01-15-24  03:45PM       <DIR>          .."},
         {{"images", "/w/images", 0, true, false}, {"index 2.html", "/w/index 2.html", 1234, false, false}}},
        // The name starts one blank after the size, or after "<DIR>" and its ten blanks.
        {"windows names starting or ending in blanks", C::FTP, "/w",
         {"01-15-24  03:45PM       <DIR>           lead", "01-15-24  03:45PM       <DIR>          lead",
          "01-15-24  03:45PM                    7  lead.html", "01-15-24  03:45PM                    8 lead.html",
          "01-15-24  03:45PM                    9 trail.html ", "01-15-24  03:45PM                   10 <DIR> 12 x",
          "01-15-24  03:45PM <DIR> short"},
         {{" lead", "/w/ lead", 0, true, false},
          {"lead", "/w/lead", 0, true, false},
          {" lead.html", "/w/ lead.html", 7, false, false},
          {"lead.html", "/w/lead.html", 8, false, false},
          {"trail.html ", "/w/trail.html ", 9, false, false},
          {"<DIR> 12 x", "/w/<DIR> 12 x", 10, false, false},
          {"short", "/w/short", 0, true, false}}},
        {"malformed and huge lines give nothing", C::FTP, "/",
         {"", "   ", QString(100000, u'x'), "-rw-r--r-- 1 u g 3 Jan  1 00:00 "},
         {}},
        // sftp writes a byte that is not UTF-8 as "\ooo": the name is those bytes. A backslash
        // and digits that read as UTF-8 (or print) are a name's own.
        {"sftp names that are not UTF-8", C::SFTP, "d",
         {"-rw-r--r--    ? u u        3 Dec  7 09:10 d/caf\\351.html",
          "-rw-r--r--    ? u u        3 Dec  7 09:10 d/lit\\303\\251 \\101"},
         {{FileName::decode(QByteArray("caf\xe9.html")), "d/" + FileName::decode(QByteArray("caf\xe9.html")), 3, false, false},
          {"lit\\303\\251 \\101", "d/lit\\303\\251 \\101", 3, false, false}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const QList<QVRemoteFile> files = QVFileListingAction::parseLines(c.type, c.directory, c.lines);
        ASSERT_EQ(size_t(files.size()), c.expected.size());
        for (size_t i = 0; i < c.expected.size(); ++i) {
            const QVRemoteFile& f = files[qsizetype(i)];
            const Expect& e = c.expected[i];
            EXPECT_EQ(f.name(), e.name);
            EXPECT_EQ(f.path(), e.path);
            EXPECT_EQ(f.size(), e.size) << e.name.left(20).toStdString();
            EXPECT_EQ(f.isDirectory(), e.directory) << e.name.left(20).toStdString();
            EXPECT_EQ(f.isSymlink(), e.symlink) << e.name.left(20).toStdString();
        }
    }
    QVRemoteFile folder("/a", "b");
    folder.setIsDirectory(true);
    EXPECT_EQ(folder.modeString(), "d---------");
    EXPECT_EQ(folder.sizeString(), "--");
}

TEST(RemoteFile, IconsDatesAndTheTransferWindowsLocalEntry) {
    // Folders share one folder icon; files take their extension's; both 16 by 16.
    QVRemoteFile images("/www", "images"), css("/www", "css");
    images.setModeString("drwxr-xr-x");
    css.setIsDirectory(true);
    const QVRemoteFile page("/www", "index.html");
    ASSERT_FALSE(images.icon().isNull());
    EXPECT_EQ(images.icon().size(), QSize(16, 16));
    EXPECT_EQ(images.icon().cacheKey(), css.icon().cacheKey());
    EXPECT_EQ(page.icon().size(), QSize(16, 16));
    EXPECT_NE(page.icon(), images.icon());
    EXPECT_EQ(images, QVRemoteFile(images)) << "a made icon changes no entry";

    // The platform's date-string form, both ways; any other text gives no date.
    const struct {
        QString text;
        QDateTime utc;
    } dates[] = {
        {"2024-01-15 12:00:00 +0100", QDateTime(QDate(2024, 1, 15), QTime(11, 0), Qt::UTC)},
        {"2024-01-15 12:00:00 -0530", QDateTime(QDate(2024, 1, 15), QTime(17, 30), Qt::UTC)},
        {"2023-12-31 23:59:59 +0000", QDateTime(QDate(2023, 12, 31), QTime(23, 59, 59), Qt::UTC)},
        {"Jan 15 12:00", {}},
        {"2024-01-15 12:00:00 +9900", {}},
        {"2024-02-30 12:00:00 +0000", {}},
    };
    for (const auto& d : dates) {
        SCOPED_TRACE(d.text.toStdString());
        const QDateTime parsed = QVRemoteFile::dateFromDescription(d.text);
        EXPECT_EQ(parsed.isValid(), d.utc.isValid());
        if (!d.utc.isValid()) continue;
        EXPECT_EQ(parsed.toUTC(), d.utc);
        EXPECT_EQ(QVRemoteFile::dateDescription(parsed), d.text);
    }

    // The transfer window's local entry as the remote entry it becomes, and a side made from it.
    QVLocalFile local;
    local.setName("upload me.php");
    local.setOwner("web");
    local.setGroup("staff");
    local.setDate(QVRemoteFile::dateFromDescription("2024-01-15 12:00:00 +0100"));
    local.setMode("-rw-r-----");
    local.setSize(1234);
    QImage mark(16, 16, QImage::Format_ARGB32_Premultiplied);
    mark.fill(Qt::red);
    local.setIcon(mark);
    const QVRemoteFile made("/www/", local);
    EXPECT_EQ(made.path(), "/www/upload me.php");
    EXPECT_EQ(made.name(), "upload me.php");
    EXPECT_EQ(made.user(), "web");
    EXPECT_EQ(made.group(), "staff");
    EXPECT_EQ(made.dateString(), "2024-01-15 12:00:00 +0100");
    EXPECT_EQ(made.modeString(), "-rw-r-----");
    EXPECT_FALSE(made.isDirectory());
    EXPECT_EQ(made.size(), 1234);
    EXPECT_EQ(made.icon(), mark);
    local.setIsDirectory(true);
    local.setMode("drwxr-x---");
    EXPECT_TRUE(QVRemoteFile("/www", local).isDirectory());

    const auto side = std::make_shared<QVQueuedRemoteFileRepresentation>(made, nullptr);
    EXPECT_EQ(side->modificationDate().toUTC(), QDateTime(QDate(2024, 1, 15), QTime(11, 0), Qt::UTC));
    EXPECT_EQ(side->size(), 1234);
    EXPECT_EQ(side->icon(), mark);
}

TEST(RemoteListing, FtpLinesOfNeitherFormAreCountedAndAWorkingFolderIsRead) {
    // A server that split "a b" lists "a" and "b" under headings: a folder walk must not take
    // that for the folder's contents.
    struct Case {
        QStringList lines;
        int entries, unreadable;
    };
    const std::vector<Case> cases = {
        {{"drwxr-xr-x    2 u g 4096 Dec  7 18:42 c d", "-rw-r--r--    1 u g 2 Dec  7 18:42 one", "226 Transfer complete."}, 2, 0},
        {{"12-07-26  04:08PM       <DIR>          win dir", "total 8", ""}, 1, 0},
        {{"a:", "-rw-r--r--    1 u g 2 Dec  7 18:42 only-in-a", "", "b:", "ls: c: No such file or directory"}, 1, 2},
        // tnftp's own words about a listing holding a bare line feed are no files.
        {{"WARNING! 1 bare linefeeds received in ASCII mode.", "File may not have transferred correctly.",
          "-rw-r--r--    1 u g 2 Dec  7 18:42 x"},
         1, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines.join(" | ").toStdString());
        int unreadable = -1;
        EXPECT_EQ(QVFileListingAction::parseLines(0, "/x", c.lines, &unreadable).size(), c.entries);
        EXPECT_EQ(unreadable, c.unreadable);
    }
    struct Folder {
        QStringList lines;
        std::optional<QString> folder;
    };
    const std::vector<Folder> folders = {
        {{"Remote directory: /a b"}, "/a b"},
        {{"257 \"/a \"\"q\"\" b\" is the current directory."}, "/a \"q\" b"},
        {{"257 \"\" is nothing"}, std::nullopt},
        {{"550 Permission denied."}, std::nullopt},
    };
    for (const Folder& f : folders) EXPECT_EQ(QVFileListingAction::parseWorkingFolder(f.lines), f.folder) << f.lines.join("").toStdString();
}

TEST(RemoteListing, LongFormColumnsAreCutInOrderWhateverTheSpacing) {
    // The columns before the date are cut from what the earlier ones left, and the name is all
    // that follows the date and one blank: owners of digits, sizes of twelve digits, a year
    // after three blanks (no date then), a mode of eleven letters, a date in the owner's place
    // and a time in the size's never reach into the name.
    struct Row {
        QString line, name;
        qint64 size;
        QString user, group, date, mode;
    };
    const Row rows[] = {
        {"-rw-r--r--   1 root     root            0 Dec 07 22:10 entry-1.html", "entry-1.html", 0, "root", "root", "Dec 07 22:10", "-rw-r--r--"},
        {"-rw-r--r-- 12 42 1001 77 Jan  5  2021 numeric owners", "numeric owners", 77, "42", "1001", "Jan  5  2021", "-rw-r--r--"},
        {"-rw-r--r--  1 Dec 12 2020 Jan 01 10:00 owner looks like a date", "Jan 01 10:00 owner looks like a date", 0, "", "", "Dec 12 2020", "-rw-r--r--"},
        {"-rw-r--r--   3 a.b@c (x)-y   123456789012 Feb 29 23:59 big file.tar.gz", "big file.tar.gz", 123456789012, "a.b@c", "(x)-y", "Feb 29 23:59", "-rw-r--r--"},
        {"lrwxrwxrwx   1 u g 4 Mar  3 01:02 link name -> target with -> arrow", "link name", 4, "u", "g", "Mar  3 01:02", "lrwxrwxrwx"},
        {"-rwsr-sr-t   1 u g 5 Apr 10   1999 three blanks before year", "Apr 10   1999 three blanks before year", 5, "u", "g", "", "-rwsr-sr-t"},
        {"-rw-r--r--x  1 u g 5 Jun  1 12:00 eleven mode chars", "eleven mode chars", 5, "x", "1", "Jun  1 12:00", "-rw-r--r--"},
        {"-rw-r--r--   1 u g 12:00 Aug  1 12:00 odd size", "odd size", 0, "u", "g", "Aug  1 12:00", "-rw-r--r--"},
        {"-rw-r--r--   1 üser g 5 Oct  1 12:00 unicode owner ✓", "unicode owner ✓", 5, "ser", "g", "Oct  1 12:00", "-rw-r--r--"},
        {"-rw-r--r--   1 u g 5 Nov 31 123:45 long time", "long time", 5, "u", "g", "Nov 31 123:45", "-rw-r--r--"},
        {"-rw-r--r--   1 u g 5 nov  1 12:00 lower month", "nov  1 12:00 lower month", 5, "u", "g", "", "-rw-r--r--"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.line.toStdString());
        const QList<QVRemoteFile> files = QVFileListingAction::parseLines(C::FTP, "/d", {r.line});
        ASSERT_EQ(files.size(), 1);
        const QVRemoteFile& f = files[0];
        EXPECT_EQ(f.name(), r.name);
        EXPECT_EQ(f.size(), r.size);
        EXPECT_EQ(f.user(), r.user);
        EXPECT_EQ(f.group(), r.group);
        EXPECT_EQ(f.dateString(), r.date);
        EXPECT_EQ(f.modeString(), r.mode);
    }
}

TEST(RemoteListing, ALongListingStopsAtTheFirstBoundItPassesAndSaysWhich) {
    // Lines a server could send without end: each bound is passed by one more of what it counts,
    // and the listing read so far is no listing.
    const auto line = [](int i, const QString& name = QStringLiteral("f")) {
        return QStringLiteral("-rw-r--r--   1 u g 5 Dec  7 09:10 %1%2").arg(name).arg(i);
    };
    using B = QVListingBudget;
    const QString longName(B::MaxTextBytes, u'n');
    // Names whose kept cost passes the memory bound well before the count of entries does.
    const QString wideName(2000, u'w');
    const qsizetype wideEntries = B::MaxEntryMemory / B::cost(wideName.size()) + 1;
    struct Row {
        const char* what;
        std::function<QStringList()> lines;
        const char* refusal;  // empty: within every bound
        qsizetype entries;    // -1: some, fewer than the lines

    };
    const Row rows[] = {
        {"as many entries as allowed", [&] { QStringList l; for (int i = 0; i < B::MaxEntries; ++i) l << line(i); return l; }, "", B::MaxEntries},
        {"one entry more", [&] { QStringList l; for (int i = 0; i <= B::MaxEntries; ++i) l << line(i); return l; }, "entries", B::MaxEntries},
        // Headings and messages cost nothing kept and are no entries.
        {"lines of no entry", [&] { QStringList l{"total 8"}; for (int i = 0; i < B::MaxEntries; ++i) l << line(i); return l << "226 Done."; }, "", B::MaxEntries},
        {"a line past a text's bound", [&] { return QStringList{line(1), line(2, longName)}; }, "longer than", 1},
        {"a line just within it", [&] { return QStringList{line(1), line(2, longName.left(B::MaxTextBytes - 40))}; }, "", 2},
        {"wide names past the memory bound", [&] { QStringList l; for (qsizetype i = 0; i < wideEntries; ++i) l << line(int(i), wideName); return l; }, "MB of memory", -1},
        // A link's target is kept once, as sftp keeps a name: vsftpd's 30,000 links with targets
        // of 1.25 KB list, as sftp lists 100,000 of them.
        {"links with long targets", [&] {
             QStringList l;
             for (int i = 0; i < 30000; ++i)
                 l << QStringLiteral("lrwxrwxrwx 1 u g 1250 Dec  7 09:10 link%1 -> /%2").arg(i).arg(QString(1249, u't'));
             return l;
         }, "", 30000},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        B budget;
        const QStringList lines = r.lines();
        const QList<QVRemoteFile> files = QVFileListingAction::parseLines(C::FTP, "/d", lines, nullptr, &budget);
        EXPECT_EQ(budget.refused(), *r.refusal != 0);
        EXPECT_TRUE(budget.refusal().contains(QString::fromUtf8(r.refusal))) << budget.refusal().toStdString();
        if (r.entries >= 0) {
            EXPECT_EQ(files.size(), r.entries);
        } else {
            EXPECT_TRUE(files.size() > 1 && files.size() < lines.size()) << files.size();
        }
        EXPECT_LE(budget.memory(), B::MaxEntryMemory + B::cost(B::MaxTextBytes));
    }
}
