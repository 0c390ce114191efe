// The qorvel executable answers questions about itself on the command line.
#include "platform/AppBundle.h"
#include "platform/FileName.h"
#include "platform/Process.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include "QorvelSourceTree.h"

TEST(CommandLine, HelpAndVersionAreAnsweredWithoutADisplay) {
    struct Case {
        QStringList args;
        QString output;  // what standard output holds
    };
    const QString version = QStringLiteral("Qorvel ") + AppBundle::main().shortVersion();
    const Case cases[] = {
        {{"--help"}, "Usage: "},
        {{"-h", "page.html"}, "[files...]"},
        {{"--version"}, version},
        {{"page.html", "-v"}, version},
    };
    // A display that cannot be reached: opening a window would end the program with an error.
    ProcessOptions options;
    options.timeoutMs = 20000;
    options.extraEnvironment = {"QT_QPA_PLATFORM=xcb", "DISPLAY=:65000", "WAYLAND_DISPLAY="};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(u' ').toStdString());
        const ProcessResult result = Process::run(QStringLiteral(QORVEL_EXECUTABLE), c.args, options);
        EXPECT_TRUE(result.succeeded()) << result.standardError.toStdString();
        EXPECT_TRUE(QString::fromUtf8(result.standardOutput).contains(c.output)) << result.standardOutput.toStdString();
    }
}

// scripts/install-desktop makes the built executable the desktop's handler of qvdt: links, with
// a launcher entry the desktop's own validator accepts and every reader of entries runs: a plain
// path unquoted (xdg-open without a desktop environment takes no quotes), any other through a
// launcher at a plain path, quoted and escaped (GLib's reader) only where there is none. Stand-in
// executables record what they were started with.
TEST(CommandLine, DesktopEntryInstallsAndHandlesQvdtLinks) {
    const QString source = QFileInfo(QStringLiteral(QORVEL_SOURCE_RESOURCES)).absolutePath();
    const QString build = QFileInfo(QFileInfo(QStringLiteral(QORVEL_EXECUTABLE)).absolutePath()).absolutePath();
    TestDir stand;
    const QString odd = stand.file("my \"odd\" $HOME `x` \\ it's");
    const struct {
        QString build;    // the build folder handed to the script
        QString data;     // the data folder's name
        QString exec;     // the Exec line it writes ({data}: the data folder)
        bool xdgOpen;     // whether xdg-open's own reader runs it
    } cases[] = {
        {build, "data", QStringLiteral("Exec=%1 %U").arg(QStringLiteral(QORVEL_EXECUTABLE)), false},
        {stand.file("plain-1.0"), "data", QStringLiteral("Exec=%1/bin/qorvel %U").arg(stand.file("plain-1.0")), true},
        // Any other path through a launcher at a plain path; quoted only where none is plain.
        {odd, "data", QStringLiteral("Exec={data}/Glimbo/bin/qorvel %U"), true},
        {odd, "my data", QStringLiteral("Exec=\"{data}/Glimbo/bin/qorvel\" %U"), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.build.toStdString());
        const bool standIn = c.build != build;
        if (standIn) {
            const QString program = c.build + QStringLiteral("/bin/qorvel");
            ASSERT_TRUE(QDir().mkpath(c.build + QStringLiteral("/bin")));
            ASSERT_TRUE(writeBytes(QFile::encodeName(program), "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" > \"$QORVEL_RECORD\"\n"));
            ASSERT_TRUE(QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        }
        QTemporaryDir home;
        ProcessOptions options;
        options.timeoutMs = 60000;
        options.extraEnvironment = {"XDG_DATA_HOME=" + home.filePath(c.data), "XDG_CONFIG_HOME=" + home.filePath("config"),
                                    "QORVEL_BUILD_DIR=" + c.build, "XDG_CURRENT_DESKTOP=", "DE=", "BROWSER=",
                                    "QORVEL_RECORD=" + home.filePath("record")};
        const ProcessResult installed = Process::run(source + QStringLiteral("/scripts/install-desktop"), {}, options);
        ASSERT_TRUE(installed.succeeded()) << installed.standardError.toStdString();
        const QString entry = home.filePath(c.data + QStringLiteral("/applications/com.qorvel.Qorvel.desktop"));
        for (const QString& file : {source + QStringLiteral("/resources/desktop/com.qorvel.Qorvel.desktop"), entry}) {
            const ProcessResult valid = Process::run(QStringLiteral("desktop-file-validate"), {file}, options);
            EXPECT_TRUE(valid.succeeded() && valid.standardOutput.isEmpty()) << valid.standardOutput.toStdString();
        }
        QFile launcher(entry);
        ASSERT_TRUE(launcher.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(launcher.readAll());
        const QString exec = QString(c.exec).replace(QStringLiteral("{data}"), home.filePath(c.data));
        EXPECT_TRUE(text.contains(QLatin1Char('\n') + exec + QLatin1Char('\n'))) << text.toStdString();
        EXPECT_TRUE(text.contains(QStringLiteral("x-scheme-handler/qvdt;")));
        // (xdg-mime's own query cannot read a data folder whose path holds a blank.)
        const ProcessResult handler = Process::run(QStringLiteral("xdg-mime"), {QStringLiteral("query"), QStringLiteral("default"), QStringLiteral("x-scheme-handler/qvdt")}, options);
        if (!c.data.contains(u' ')) {
            EXPECT_EQ(QString::fromUtf8(handler.standardOutput).trimmed(), QStringLiteral("com.qorvel.Qorvel.desktop")) << handler.standardError.toStdString();
        }
        if (!standIn) continue;

        // Each reader starts the very program with the link.
        const QString link = QStringLiteral("qvdt://open?file=/site/page.html&range=3,2");
        const QByteArray started = QFile::encodeName(c.build + QStringLiteral("/bin/qorvel\n")) + link.toUtf8() + '\n';
        struct Reader {
            QString program;
            QStringList arguments;
        };
        QList<Reader> readers{{QStringLiteral("gio"), {QStringLiteral("launch"), entry, link}}};
        // Without a desktop environment (and with a display, or it would not look at the entry).
        if (c.xdgOpen) readers.append({QStringLiteral("xdg-open"), {link}});
        ProcessOptions opening = options;
        opening.extraEnvironment << "DISPLAY=:65000";
        for (const Reader& reader : readers) {
            SCOPED_TRACE(reader.program.toStdString());
            QFile::remove(home.filePath("record"));
            const ProcessResult opened = Process::run(reader.program, reader.arguments, opening);
            EXPECT_TRUE(opened.succeeded()) << opened.standardError.toStdString();
            // gio leaves the program running on its own.
            QByteArray recorded;
            for (int i = 0; i < 100 && (recorded = readAll(home.filePath("record"))) != started; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            EXPECT_EQ(recorded, started);
        }
    }
}

namespace {

// The inodes the process watches with inotify, from its file-descriptor information.
QSet<quint64> watchedInodes(qint64 pid) {
    QSet<quint64> inodes;
    QDir fdinfo(QStringLiteral("/proc/%1/fdinfo").arg(pid));
    for (const QString& fd : fdinfo.entryList(QDir::Files)) {
        QFile info(fdinfo.filePath(fd));
        if (!info.open(QIODevice::ReadOnly)) continue;
        // "inotify wd:1 ino:a74553 sdev:fe00000 mask:fc2 ..."
        for (const QByteArray& line : info.readAll().split('\n'))
            if (line.startsWith("inotify ") && line.contains(" ino:"))
                inodes.insert(line.mid(line.indexOf(" ino:") + 5).split(' ').value(0).toULongLong(nullptr, 16));
    }
    return inodes;
}

// The running qorvel whose working folder is folder (a real path's bytes), or 0.
qint64 qorvelIn(const QByteArray& folder) {
    const QByteArray executable = QFile::encodeName(QFileInfo(QStringLiteral(QORVEL_EXECUTABLE)).canonicalFilePath());
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool number = false;
        const qint64 pid = entry.toLongLong(&number);
        if (!number) continue;
        char link[4096];
        const ssize_t cwd = ::readlink(QByteArray("/proc/" + entry.toLatin1() + "/cwd").constData(), link, sizeof link);
        if (cwd <= 0 || QByteArray(link, cwd) != folder) continue;
        const ssize_t exe = ::readlink(QByteArray("/proc/" + entry.toLatin1() + "/exe").constData(), link, sizeof link);
        if (exe > 0 && QByteArray(link, exe) == executable) return pid;
    }
    return 0;
}

quint64 inodeOf(const QByteArray& path) {
    struct stat st {};
    return ::stat(path.constData(), &st) == 0 ? quint64(st.st_ino) : 0;
}

}  // namespace

// A name that is not UTF-8 on the command line opens its file, and so does one handed over by a
// second launch: each document watches the very file (its inode).
TEST(CommandLine, NamesThatAreNotUTF8OpenFromTheCommandLineAndFromASecondLaunch) {
    TestDir home;
    QTemporaryDir runtime;
    ASSERT_TRUE(QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    // Consent answered (no question holds the launch), single-file windows (each watches its file).
    home.write(QStringLiteral("config/Glimbo/com.qorvel.Qorvel.plist"),
               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
               "<key>qvAnonymousUsageTracking</key><false/><key>QVUseTabs</key><false/></dict></plist>\n");
    // The working folder and both names hold bytes that are not UTF-8 (a Latin-1 é, 0xFE, 0xFF).
    char* real = ::realpath(QFile::encodeName(home.path()).constData(), nullptr);
    ASSERT_TRUE(real);
    const QByteArray folder = QByteArray(real) + "/w\xfe";
    std::free(real);
    ASSERT_EQ(::mkdir(folder.constData(), 0755), 0);
    const QByteArray first = "caf\xe9.html", second = "b\xff.html";
    for (const QByteArray& name : {first, second}) ASSERT_TRUE(writeBytes(folder + '/' + name, "<p>x</p>\n"));

    ProcessOptions options;
    options.timeoutMs = 60000;
    options.workingDirectory = FileName::decode(folder);
    options.extraEnvironment = {"QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=" + runtime.path(),
                                "XDG_CONFIG_HOME=" + home.file("config"), "XDG_DATA_HOME=" + home.file("data"),
                                "XDG_CACHE_HOME=" + home.file("cache"), "HOME=" + home.path()};
    std::atomic<bool> stop{false};
    ProcessOptions firstOptions = options;
    firstOptions.cancel = &stop;
    std::thread launch([&] { Process::run(QStringLiteral(QORVEL_EXECUTABLE), {FileName::decode(first)}, firstOptions); });
    const auto waitFor = [](const std::function<bool()>& done) {
        for (int i = 0; i < 300 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return done();
    };
    qint64 pid = 0;
    EXPECT_TRUE(waitFor([&] { return (pid = qorvelIn(folder)) && watchedInodes(pid).contains(inodeOf(folder + '/' + first)); }))
        << "the first launch's document watches its file";
    const ProcessResult handed = Process::run(QStringLiteral(QORVEL_EXECUTABLE), {FileName::decode(second)}, options);
    EXPECT_TRUE(handed.succeeded()) << handed.standardError.toStdString();
    EXPECT_TRUE(pid && waitFor([&] { return watchedInodes(pid).contains(inodeOf(folder + '/' + second)); }))
        << "the hand-off reached the first instance, which opened the second file";
    stop = true;
    launch.join();
}
