// The real qorvel on a private X server, as a session meets it: unsaved texts outlive a logout
// (SIGTERM), a crash and a kill as the autosave setting says, and come back at the next launch;
// Preferences reopens with its title bar on the screen under a window manager.
#include "tests/scenarios/RealQorvel.h"
#include "tests/support/TestSupport.h"
#include "tests/support/XvfbDisplay.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <iostream>
#include <sys/stat.h>
#include <thread>

using namespace std::chrono_literals;
using namespace realqorvel;

// An edited file and an edited untitled text, then the session ends the editor: a logout keeps
// both whatever the setting; a crash and a kill leave what autosave kept (on: every second
// here, as the setting's seconds say), nothing when it is off. The next launch asks, and opens
// them as edited documents (a second logout keeps them again) or discards them.
TEST(Sessions, UnsavedTextsOutliveALogoutACrashAndAKillAndComeBack) {
    const XvfbDisplay screen(QStringLiteral("1600x1000x24"));
    ASSERT_FALSE(screen.display().isEmpty()) << "Xvfb did not start: scripts/setup installs it";
    const QStringList typed = {QStringLiteral("Untitled: fresh"), QStringLiteral("page.html: typed <p>x</p>\n")};
    const struct {
        const char* name;
        int signal;
        int autosave;  // seconds, 0: off
        bool kept;
    } cases[] = {
        {"logout", SIGTERM, 0, true},  {"logout, autosave", SIGTERM, 1, true}, {"crash", SIGSEGV, 0, false},
        {"crash, autosave", SIGSEGV, 1, true}, {"kill", SIGKILL, 0, false},    {"kill, autosave", SIGKILL, 1, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Home home(screen.display(), "<key>QVAutoSave</key><integer>" + QByteArray::number(c.autosave) + "</integer>");
        home.dir.write(QStringLiteral("page.html"), "<p>x</p>\n");
        QProcess qorvel;
        start(qorvel, home, {QStringLiteral("page.html")});
        home.to(qorvel.processId(), QStringLiteral("page\\.html"), QStringLiteral("type"), {QStringLiteral("typed ")});
        home.to(qorvel.processId(), QStringLiteral("page\\.html"), QStringLiteral("key"), {QStringLiteral("ctrl+n")});
        home.to(qorvel.processId(), QStringLiteral("^Untitled"), QStringLiteral("type"), {QStringLiteral("fresh")});
        if (c.autosave) {
            EXPECT_TRUE(eventually([&] { return home.keptTexts() == typed; })) << home.keptTexts().join(u'|').toStdString();
        } else {
            std::this_thread::sleep_for(1500ms);
        }
        end(qorvel, c.signal);
        if (c.signal == SIGTERM) {
            EXPECT_TRUE(qorvel.exitStatus() == QProcess::NormalExit && qorvel.exitCode() == 0);
        }
        EXPECT_EQ(home.keptTexts(), c.kept ? typed : QStringList()) << home.keptTexts().join(u'|').toStdString();
        if (c.signal != SIGTERM || c.autosave) continue;

        // Opened: both are edited again (the next logout keeps them, in the new run's folder).
        start(qorvel, home);
        home.to(qorvel.processId(), QStringLiteral("^Recover Unsaved Changes$"), QStringLiteral("key"), {QStringLiteral("Return")});
        EXPECT_TRUE(eventually([&] { return home.runFolders() == 1 && home.keptTexts() == typed; }))
            << home.keptTexts().join(u'|').toStdString();
        end(qorvel, SIGTERM);
        EXPECT_EQ(home.keptTexts(), typed);
        // Discarded: gone, and nothing is asked or kept afterwards.
        start(qorvel, home);
        home.to(qorvel.processId(), QStringLiteral("^Recover Unsaved Changes$"), QStringLiteral("key"), {QStringLiteral("alt+d")});
        EXPECT_TRUE(eventually([&] { return home.runFolders() == 0; }));
        end(qorvel, SIGTERM);
        EXPECT_EQ(home.runFolders(), 0);
    }
}

// Every way a run ends without quitting, with the texts of one file in two windows, typing before
// the question is answered, the file changed on disk or replaced by a link in between, a page in
// windows-1252 with DOS line breaks, two kills without an answer, a recovery folder that cannot
// be made at a logout (SIGTERM, then SIGKILL 5 s later), and the preview refreshing on typing:
// each row checks the bytes on disk, the texts kept and offered, and the windows the next launch
// shows, under a window manager.
TEST(Sessions, EveryKeptTextComesBackBesideWhatIsOpenAndNothingOfOursIsLeft) {
    const XvfbDisplay screen(QStringLiteral("1600x1000x24"));
    ASSERT_FALSE(screen.display().isEmpty()) << "Xvfb did not start: scripts/setup installs it";
    enum Setup {
        OneWindow, TwoWindows, TypingBeforeTheAnswer, ChangedOnDisk, LinkedAway, LinkedToItself, Windows1252, TwoKills, UnwritableFolder, SiteDocument, Preview,
        PreviewCopyRestored
    };
    const struct {
        const char* name;
        int signal;
        Setup setup;
        QStringList kept;     // by the first run
        QStringList offered;  // open and edited in the next run, kept at its SIGTERM
        QByteArray onDisk;    // page.html at the end
    } cases[] = {
        {"hang-up", SIGHUP, OneWindow, {"Untitled: fresh", "page.html: typed <p>x</p>\n"}, {"Untitled: fresh", "page.html: typed <p>x</p>\n"}, "<p>x</p>\n"},
        {"interrupt", SIGINT, OneWindow, {"Untitled: fresh", "page.html: typed <p>x</p>\n"}, {"Untitled: fresh", "page.html: typed <p>x</p>\n"}, "<p>x</p>\n"},
        {"logout", SIGTERM, OneWindow, {"Untitled: fresh", "page.html: typed <p>x</p>\n"}, {"Untitled: fresh", "page.html: typed <p>x</p>\n"}, "<p>x</p>\n"},
        // The newest text over the file, the other beside it under a title of its own.
        {"kill, one file in two windows", SIGKILL, TwoWindows, {"page.html: 2<p>x</p>\n", "page.html: one <p>x</p>\n"},
         {"page.html (recovered): one <p>x</p>\n", "page.html: 2<p>x</p>\n"}, "<p>x</p>\n"},
        {"kill, typing before the answer", SIGKILL, TypingBeforeTheAnswer, {"page.html: typed <p>x</p>\n"},
         {"page.html (recovered): typed <p>x</p>\n", "page.html: mine <p>x</p>\n"}, "<p>x</p>\n"},
        {"kill, file changed on disk since", SIGKILL, ChangedOnDisk, {"page.html: typed <p>x</p>\n"}, {}, "typed <p>x</p>\n"},
        // Never written into the file the name leads to now: beside it, untitled.
        {"kill, page replaced by a link since", SIGKILL, LinkedAway, {"page.html: typed <p>x</p>\n"},
         {"page.html (recovered): typed <p>x</p>\n"}, "other\n"},
        // The same file under another name, a link to it in its place: no other file, over it.
        {"kill, page moved and a link to it put in its place", SIGKILL, LinkedToItself, {"page.html: typed <p>x</p>\n"},
         {"page.html: typed <p>x</p>\n"}, "<p>x</p>\n"},
        // Beside its open file, saved in the file's encoding and line breaks (checked below).
        {"kill, windows-1252 page beside its file", SIGKILL, Windows1252, {"page.html: typed <meta charset=windows-1252><p>\u201cQ\u201d\r\n"}, {},
         "<meta charset=windows-1252><p>\x93Q\x94\r\n"},
        {"two kills without an answer", SIGKILL, TwoKills, {"page.html: FIRSTRUN<p>x</p>\n"},
         {"page.html (recovered): FIRSTRUN<p>x</p>\n", "page.html: SECONDRUN<p>x</p>\n"}, "<p>x</p>\n"},
        // Kept in a second place, and Qorvel quits before the SIGKILL.
        {"logout, recovery folder cannot be made", SIGTERM, UnwritableFolder, {}, {"page.html: typed <p>x</p>\n"}, "<p>x</p>\n"},
        {"kill, site document", SIGKILL, SiteDocument, {"page.html: typed <p>x</p>\n"}, {"page.html: typed <p>x</p>\n"}, "<p>x</p>\n"},
        {"kill, preview refreshing on typing", SIGKILL, Preview, {}, {}, "<p>x</p>\n"},
        // The user's `cp -a` backup of the copy, restored onto the inode the copy had.
        {"kill, preview copy restored from a backup", SIGKILL, PreviewCopyRestored, {}, {}, "<p>x</p>\n"},
    };
    QProcess manager;
    manager.setProcessEnvironment(Home(screen.display(), {}).env);
    manager.start(QStringLiteral("openbox"), {});
    ASSERT_TRUE(manager.waitForStarted(10000)) << "openbox is missing: scripts/setup installs it";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const bool preview = c.setup == Preview || c.setup == PreviewCopyRestored;
        const bool autosave = (c.signal == SIGKILL && !preview) || c.setup == UnwritableFolder;
        Home home(screen.display(), "<key>QVAutoSave</key><integer>" + QByteArray(autosave ? "1" : "0") +
                                              "</integer><key>integratedPreviewRefreshMode</key><integer>1</integer>");
        home.env.insert(QStringLiteral("QORVEL_NO_WEBENGINE"), QStringLiteral("1"));
        const QString page = home.dir.write(QStringLiteral("site/page.html"), c.setup == Windows1252 ? QByteArray("<meta charset=windows-1252><p>\x93Q\x94\r\n")
                                                                                                     : QByteArray("<p>x</p>\n"));
        // A file of the user's under the name the preview's copy would take.
        const QString usersCopy = home.dir.write(QStringLiteral("site/.tmp_Qorvel.html"), "mine");
        if (c.setup == UnwritableFolder) home.dir.write(QStringLiteral("data/Glimbo/Recovery"), "a file where the folder goes");
        // The built-in preview first in the browser list, for the Preview key.
        home.dir.write(QStringLiteral("data/Glimbo/data/browsers.plist"),
                       "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><array><dict><key>name</key><string>Qorvel</string>"
                       "<key>path</key><string></string><key>version</key><string></string></dict></array></plist>\n");
        // A site project (its server is not reached: it connects only when asked).
        if (c.setup == SiteDocument)
            home.dir.write(QStringLiteral("site/site.qvproj"),
                           "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>format-version</key><integer>1</integer>"
                           "<key>configuration</key><dict><key>QVConnectAutomaticallyKey</key><false/></dict><key>remote-metadata</key><dict>"
                           "<key>host</key><string>127.0.0.1</string><key>port</key><integer>1</integer><key>protocol</key><integer>0</integer>"
                           "<key>use-keychain</key><false/></dict></dict></plist>\n");
        QProcess qorvel;
        start(qorvel, home, {c.setup == SiteDocument ? home.dir.file(QStringLiteral("site")) : page}, c.setup == UnwritableFolder);
        const qint64 pid = qorvel.processId();
        const QString pageWindow = QStringLiteral("page\\.html");
        switch (c.setup) {
        case OneWindow:
            home.to(pid, pageWindow, QStringLiteral("type"), {QStringLiteral("typed ")});
            home.to(pid, pageWindow, QStringLiteral("key"), {QStringLiteral("ctrl+n")});
            home.to(pid, QStringLiteral("^Untitled"), QStringLiteral("type"), {QStringLiteral("fresh")});
            std::this_thread::sleep_for(1s);
            break;
        case TwoWindows:
            home.to(pid, pageWindow, QStringLiteral("type"), {QStringLiteral("one ")});
            // The folder as a project, then the page in its window too.
            home.handOver({home.dir.file(QStringLiteral("site"))});
            home.handOver({page});
            EXPECT_TRUE(eventually([&] { return home.windows(pid, pageWindow).size() == 2; })) << home.windows(pid).join(u'|').toStdString();
            home.to(pid, pageWindow, QStringLiteral("type"), {QStringLiteral("2")});
            break;
        case SiteDocument:
            // Handed over once the project's window is up (a launch before that would be a run of
            // its own); its text takes the keys once the window has settled on the tab.
            EXPECT_TRUE(eventually([&] { return home.windows(pid, QStringLiteral("^site")).size() == 1; })) << home.windows(pid).join(u'|').toStdString();
            home.handOver({page});
            EXPECT_TRUE(eventually([&] { return home.activeWindow().startsWith(QStringLiteral("page.html")); })) << home.activeWindow().toStdString();
            std::this_thread::sleep_for(1s);
            [[fallthrough]];
        case TypingBeforeTheAnswer:
        case ChangedOnDisk:
        case LinkedAway:
        case LinkedToItself:
        case Windows1252:
        case UnwritableFolder:
            home.to(pid, pageWindow, QStringLiteral("type"), {QStringLiteral("typed ")});
            break;
        case TwoKills:
            home.to(pid, pageWindow, QStringLiteral("type"), {QStringLiteral("FIRSTRUN")});
            break;
        case Preview:
        case PreviewCopyRestored:
            home.to(pid, pageWindow, QStringLiteral("key"), {QStringLiteral("ctrl+equal")});
            EXPECT_TRUE(eventually([&] { return home.windows(pid).size() == 2; })) << home.windows(pid).join(u'|').toStdString();
            home.to(pid, pageWindow, QStringLiteral("type"), {QStringLiteral("typed ")});
            break;
        }
        const auto copies = [&] {
            return QDir(home.dir.file(QStringLiteral("site"))).entryList({QStringLiteral(".tmp_Qorvel*")}, QDir::Files | QDir::Hidden, QDir::Name);
        };
        // The preview's own copy, beside the user's file of the name it would take.
        const auto previewCopy = [&] {
            QStringList left = copies();
            left.removeAll(QStringLiteral(".tmp_Qorvel.html"));
            return left.size() == 1 ? readAll(home.dir.file(QStringLiteral("site/") + left.first())) : QByteArray();
        };
        if (c.signal == SIGKILL && !preview) {
            EXPECT_TRUE(eventually([&] { return home.keptTexts() == c.kept; })) << home.keptTexts().join(u'|').toStdString();
        }
        if (preview) {
            EXPECT_TRUE(eventually([&] { return previewCopy() == "typed <p>x</p>\n"; })) << copies().join(u'|').toStdString();
        }
        if (c.setup == UnwritableFolder) std::this_thread::sleep_for(2s);
        ::kill(pid_t(pid), c.signal);
        if (c.setup == UnwritableFolder) {
            // A logout: SIGKILL 5 s after SIGTERM. The texts go to a second place and Qorvel
            // quits before that, having said why the recovery folder would not take them.
            if (!qorvel.waitForFinished(5000)) ::kill(pid_t(pid), SIGKILL), qorvel.waitForFinished(5000);
            EXPECT_TRUE(qorvel.exitStatus() == QProcess::NormalExit && qorvel.exitCode() == 0);
            const QString said = QString::fromUtf8(qorvel.readAllStandardError());
            EXPECT_TRUE(said.contains(QStringLiteral("Unsaved changes are kept in")) && said.contains(QStringLiteral("is a file, not a folder"))) << said.toStdString();
        } else {
            if (!qorvel.waitForFinished(30000)) qorvel.kill(), qorvel.waitForFinished(5000);
            if (c.signal != SIGKILL) {
                EXPECT_TRUE(qorvel.exitStatus() == QProcess::NormalExit && qorvel.exitCode() == 0);
            }
        }
        EXPECT_EQ(home.keptTexts(), c.kept) << home.keptTexts().join(u'|').toStdString();
        if (preview) {
            EXPECT_EQ(previewCopy(), QByteArray("typed <p>x</p>\n")) << copies().join(u'|').toStdString();
        }
        if (c.setup == ChangedOnDisk) home.dir.write(QStringLiteral("site/page.html"), "<p>theirs</p>\n");
        if (c.setup == LinkedAway) {
            // A sync or a colleague puts a link to another file where the page was.
            const QString other = home.dir.write(QStringLiteral("site/other.txt"), "other\n");
            ASSERT_TRUE(QFile::remove(page) && QFile::link(other, page));
        }
        if (c.setup == LinkedToItself) {
            const QString moved = home.dir.file(QStringLiteral("site/real/page.html"));
            ASSERT_TRUE(QDir().mkpath(QFileInfo(moved).path()) && QFile::rename(page, moved) && QFile::link(moved, page));
        }
        QString restored;  // the restored copy's name
        if (c.setup == PreviewCopyRestored) {
            // Backed up with its attributes, the copy removed, then the backup put back under
            // its name: on the inode the copy had, as the file system hands a freed one out again.
            QStringList left = copies();
            left.removeAll(QStringLiteral(".tmp_Qorvel.html"));
            ASSERT_EQ(left.size(), 1);
            restored = home.dir.file(QStringLiteral("site/") + left.first());
            const QString backup = home.dir.file(QStringLiteral("backup.html"));
            struct stat was {};
            ASSERT_EQ(::stat(QFile::encodeName(restored).constData(), &was), 0);
            const auto run = [&](const QStringList& arguments) {
                QProcess tool;
                tool.start(arguments.first(), arguments.mid(1));
                return tool.waitForFinished(10000) && tool.exitCode() == 0;
            };
            ASSERT_TRUE(run({QStringLiteral("cp"), QStringLiteral("-a"), restored, backup}));
            struct stat now {};
            // Other processes making files at the same moment can take the freed inode every time:
            // the copy is then kept for its inode alone, and the row says so.
            for (int attempt = 0; attempt < 200 && now.st_ino != was.st_ino; ++attempt) {
                QFile::remove(restored);
                ASSERT_TRUE(run({QStringLiteral("cp"), QStringLiteral("-a"), backup, restored}));
                ::stat(QFile::encodeName(restored).constData(), &now);
            }
            if (now.st_ino != was.st_ino) std::cout << "the file system gave the restored copy another inode: its reuse was not tried\n";
        }
        if (c.setup == TwoKills) {
            // A second run leaves the question unanswered, the page typed in, and is killed too.
            start(qorvel, home, {page});
            const qint64 second = qorvel.processId();
            EXPECT_TRUE(eventually([&] { return home.activeWindow() == QStringLiteral("Recover Unsaved Changes"); })) << home.activeWindow().toStdString();
            home.to(second, pageWindow, QStringLiteral("type"), {QStringLiteral("SECONDRUN")});
            // Killed once autosave has kept all that was typed: a kill between keys keeps what
            // the last save had (a slow machine's first save holds only "S").
            EXPECT_TRUE(eventually([&] {
                return home.runFolders() == 2 && home.keptTexts().size() == 2 && home.keptTexts().contains(QStringLiteral("page.html: SECONDRUN<p>x</p>\n"));
            })) << home.keptTexts().join(u'|').toStdString();
            end(qorvel, SIGKILL);
        }

        // The next launch: the question in front of the file's window, then the texts beside
        // what is open.
        if (c.setup == UnwritableFolder) QFile::remove(home.dir.file(QStringLiteral("data/Glimbo/Recovery")));
        const bool pageOpen = c.setup == TypingBeforeTheAnswer || c.setup == Windows1252;
        start(qorvel, home, pageOpen ? QStringList{page} : QStringList{});
        const qint64 next = qorvel.processId();
        if (!c.kept.isEmpty() || c.setup == UnwritableFolder) {
            EXPECT_TRUE(eventually([&] { return home.activeWindow() == QStringLiteral("Recover Unsaved Changes"); })) << home.activeWindow().toStdString();
            if (c.setup == TypingBeforeTheAnswer) home.to(next, pageWindow, QStringLiteral("type"), {QStringLiteral("mine ")});
            home.to(next, QStringLiteral("^Recover Unsaved Changes$"), QStringLiteral("key"), {QStringLiteral("Return")});
        }
        if (c.setup == LinkedAway || c.setup == TwoKills || pageOpen) {
            // Two windows of the page, the text beside it saying what it is.
            EXPECT_TRUE(eventually([&] { return home.windows(next, QStringLiteral("^page\\.html \\(recovered\\)")).size() == 1; }))
                << home.windows(next).join(u'|').toStdString();
        }
        if (c.setup == LinkedToItself) {
            EXPECT_TRUE(eventually([&] { return home.windows(next, QStringLiteral("^page\\.html")).size() == 1; })) << home.windows(next).join(u'|').toStdString();
            EXPECT_EQ(home.windows(next, QStringLiteral("recovered")), QStringList());
        }
        if (c.setup == Windows1252) {
            // Saved where the user says: the page's bytes, as iconv makes them from the text.
            const QString saved = home.dir.file(QStringLiteral("saved.html"));
            home.to(next, QStringLiteral("^page\\.html \\(recovered\\)"), QStringLiteral("key"), {QStringLiteral("ctrl+s")});
            home.to(next, QStringLiteral("^Save As$"), QStringLiteral("key"), {QStringLiteral("ctrl+a")});
            home.to(next, QStringLiteral("^Save As$"), QStringLiteral("type"), {saved});
            home.to(next, QStringLiteral("^Save As$"), QStringLiteral("key"), {QStringLiteral("Return")});
            QProcess iconv;
            iconv.start(QStringLiteral("iconv"), {QStringLiteral("-f"), QStringLiteral("UTF-8"), QStringLiteral("-t"), QStringLiteral("WINDOWS-1252")});
            iconv.write(QStringLiteral("typed <meta charset=windows-1252><p>\u201cQ\u201d\r\n").toUtf8());
            iconv.closeWriteChannel();
            ASSERT_TRUE(iconv.waitForFinished(10000));
            const QByteArray expected = iconv.readAllStandardOutput();
            EXPECT_TRUE(eventually([&] { return readAll(saved) == expected; })) << readAll(saved).toStdString();
        }
        if (c.setup == ChangedOnDisk) {
            // Asked as for another program's change: kept, and saved over the other change.
            EXPECT_TRUE(eventually([&] { return home.windows(next, pageWindow).size() == 2; })) << home.windows(next).join(u'|').toStdString();
            home.to(next, pageWindow, QStringLiteral("key"), {QStringLiteral("Return")});
            EXPECT_TRUE(eventually([&] { return home.windows(next, pageWindow).size() == 1; }));
            home.to(next, pageWindow, QStringLiteral("key"), {QStringLiteral("ctrl+s")});
            EXPECT_TRUE(eventually([&] { return readAll(page) == c.onDisk; })) << readAll(page).toStdString();
        }
        if (c.setup == SiteDocument) {
            // In its project's window, where a save uploads it.
            EXPECT_TRUE(eventually([&] { return home.windows(next, QStringLiteral("^page\\.html .+ site")).size() == 1; }))
                << home.windows(next).join(u'|').toStdString();
        }
        if (c.setup == Preview) {
            // The copy the killed run made goes; the user's file of that name stays.
            EXPECT_TRUE(eventually([&] { return copies() == QStringList{QStringLiteral(".tmp_Qorvel.html")}; })) << copies().join(u'|').toStdString();
            EXPECT_EQ(readAll(usersCopy), QByteArray("mine"));
        }
        if (c.setup == PreviewCopyRestored) {
            // The user's restored backup stays (the window being up, the launch has cleared up).
            EXPECT_TRUE(eventually([&] { return !home.windows(next).isEmpty(); }));
            std::this_thread::sleep_for(1s);
            EXPECT_EQ(readAll(restored), QByteArray("typed <p>x</p>\n")) << copies().join(u'|').toStdString();
        }
        if (!c.offered.isEmpty()) {
            EXPECT_TRUE(eventually([&] { return home.runFolders() == 1 && home.keptTexts() == c.offered; })) << home.keptTexts().join(u'|').toStdString();
        }
        end(qorvel, SIGTERM);
        EXPECT_EQ(home.keptTexts(), c.offered) << home.keptTexts().join(u'|').toStdString();
        EXPECT_EQ(readAll(page), c.onDisk);
    }
    manager.terminate();
    manager.waitForFinished(5000);
}

// Preferences last left at the top of the screen, under a window manager: after a restart its
// title bar is on the screen, not above it (the place was worked out before the window had a
// frame). Menus are reached with the keyboard, as a user without a mouse does.
TEST(Sessions, PreferencesReopensWithItsTitleBarOnTheScreen) {
    const XvfbDisplay screen(QStringLiteral("1600x1000x24"));
    ASSERT_FALSE(screen.display().isEmpty()) << "Xvfb did not start: scripts/setup installs it";
    const Home home(screen.display(), "<key>QVWindowFrame PrefsWindow</key><string>300 0</string>");
    QProcess manager;
    manager.setProcessEnvironment(home.env);
    manager.start(QStringLiteral("openbox"), {});
    ASSERT_TRUE(manager.waitForStarted(10000)) << "openbox is missing: scripts/setup installs it";
    QProcess qorvel;
    start(qorvel, home);
    // Edit > Preferences…, the Edit menu's last item.
    home.to(qorvel.processId(), QStringLiteral("^Untitled"), QStringLiteral("key"),
            {QStringLiteral("alt"), QStringLiteral("Right"), QStringLiteral("Down"), QStringLiteral("Up"), QStringLiteral("Return")});
    const QString window = home.xdotool({QStringLiteral("search"), QStringLiteral("--all"), QStringLiteral("--sync"), QStringLiteral("--onlyvisible"), QStringLiteral("--pid"),
                                         QString::number(qorvel.processId()), QStringLiteral("--name"), QStringLiteral("^Preferences")});
    ASSERT_FALSE(window.isEmpty());
    // The frame is the window's parent, which the window manager made.
    const auto info = [&](const QString& id, const QString& what) {
        QProcess tool;
        tool.setProcessEnvironment(home.env);
        tool.start(QStringLiteral("xwininfo"), {what, QStringLiteral("-id"), id});
        tool.waitForFinished(10000);
        return QString::fromUtf8(tool.readAllStandardOutput());
    };
    const QRegularExpressionMatch framed = QRegularExpression(QStringLiteral("Parent window id: (0x[0-9a-f]+)( \\(the root window\\))?"))
                                               .match(info(window.split(u'\n').last(), QStringLiteral("-tree")));
    const QString parent = framed.captured(1);
    ASSERT_TRUE(!parent.isEmpty() && framed.captured(2).isEmpty()) << "not framed: " << framed.captured(0).toStdString();
    const auto frameTop = [&] {
        const QRegularExpressionMatch top = QRegularExpression(QStringLiteral("Absolute upper-left Y:\\s+(-?\\d+)")).match(info(parent, QStringLiteral("-stats")));
        return top.hasMatch() ? top.captured(1).toInt() : -1000;
    };
    // Given the moment the correction takes once the frame is known.
    eventually([&] { return frameTop() == 0; }, 5s);
    EXPECT_EQ(frameTop(), 0);
    end(qorvel, SIGTERM);
    manager.terminate();
    manager.waitForFinished(5000);
}
