// The browser list and its targets: desktop entries as the system's browsers, the list file's
// rows, and opening a page through real processes started from the entries' commands.
#include "shell/Defaults.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestSupport.h"
#include "tools/QVBrowserRepository.h"
#include "tools/QVDesktopEntry.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>
#include <QUrl>

#include <mutex>

#include <gtest/gtest.h>

namespace {

// The desktop entries and mimeapps lists of a test stand alone: the machine's own are hidden.
class BrowsersTest : public ::testing::Test {
protected:
    void SetUp() override {
        _saved = {qgetenv("XDG_DATA_DIRS"), qgetenv("XDG_CONFIG_DIRS")};
        qputenv("XDG_DATA_DIRS", dir.file("system").toLocal8Bit());
        qputenv("XDG_CONFIG_DIRS", dir.file("etc").toLocal8Bit());
        QDir(Defaults::appSupportPath() + QStringLiteral("/applications")).removeRecursively();
        QFile::remove(qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/mimeapps.list"));
        QFile::remove(listPath());
    }
    void TearDown() override {
        qputenv("XDG_DATA_DIRS", _saved.first);
        qputenv("XDG_CONFIG_DIRS", _saved.second);
        QVBrowser::setStarter({});
        QVBrowser::setBuiltInPreview({});
        QFile::remove(listPath());
        QVBrowserRepository::sharedInstance().reloadList(true);
    }
    static QString listPath() { return Defaults::appSupportPathForFile(QStringLiteral("browsers.plist"), QStringLiteral("data")); }
    // An application entry in folder ("system" or the user's data folder).
    QString entry(const QString& folder, const QString& id, const QString& body) {
        const QString path = (folder == QLatin1String("user") ? Defaults::appSupportPath() : dir.file(folder)) +
                             QStringLiteral("/applications/") + id;
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("[Desktop Entry]\nType=Application\n" + body.toUtf8() + "\n[Desktop Action new]\nName=Ignored\nExec=wrong\n");
        return path;
    }
    void writeList(const QByteArray& bytes) {
        QDir().mkpath(QFileInfo(listPath()).absolutePath());
        QFile file(listPath());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
    static QStringList names() {
        QVBrowserRepository::sharedInstance().reloadList(true);
        QStringList list;
        for (const auto& browser : QVBrowserRepository::sharedInstance().browsers()) list.append(browser->browserName());
        return list;
    }

    TestDir dir;

private:
    std::pair<QByteArray, QByteArray> _saved;
};

QByteArray plistOf(const QList<std::pair<QString, QString>>& rows) {
    QByteArray xml = "<?xml version=\"1.0\"?><plist version=\"1.0\"><array>";
    for (const auto& [name, path] : rows)
        xml += "<dict><key>name</key><string>" + name.toUtf8() + "</string><key>path</key><string>" + path.toUtf8() +
               "</string><key>version</key><string>1</string></dict>";
    return xml + "</array></plist>";
}

// Waits for a file that a detached process writes to hold lines lines.
QStringList linesOf(const QString& path, int lines) {
    QElapsedTimer waited;
    waited.start();
    QStringList found;
    while (waited.elapsed() < 10000) {
        found = QString::fromUtf8(readAll(path)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        if (found.size() >= lines) break;
        QThread::msleep(20);
    }
    QThread::msleep(100);  // a late extra line would show
    return QString::fromUtf8(readAll(path)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

}  // namespace

TEST_F(BrowsersTest, ExecLinesBecomeArgumentVectorsWithThePageAsOneArgument) {
    // A path entry gets the path; a URL entry the file's URL with everything but letters, digits
    // and "-._~/" percent-encoded.
    const QString path = QStringLiteral("/pages/a b;$(touch x)`y`\u00e9.html");
    const QString url = QStringLiteral("file:///pages/a%20b%3B%24%28touch%20x%29%60y%60%C3%A9.html");
    struct Case {
        QString exec;
        std::optional<QStringList> command;
    };
    const QList<Case> cases = {
        {"firefox %u", QStringList{"firefox", url}},
        // The command lines Debian's, Flatpak's and Snap's browser entries carry.
        {"/usr/lib/firefox-esr/firefox-esr %u", QStringList{"/usr/lib/firefox-esr/firefox-esr", url}},
        {"/usr/bin/chromium %U", QStringList{"/usr/bin/chromium", url}},
        {"/usr/bin/flatpak run --branch=stable --command=firefox --file-forwarding org.mozilla.firefox @@u %u @@",
         QStringList{"/usr/bin/flatpak", "run", "--branch=stable", "--command=firefox", "--file-forwarding", "org.mozilla.firefox", "@@u", url, "@@"}},
        {"env BAMF_DESKTOP_FILE_HINT=/var/lib/snapd/desktop/applications/firefox_firefox.desktop /snap/bin/firefox %u",
         QStringList{"env", "BAMF_DESKTOP_FILE_HINT=/var/lib/snapd/desktop/applications/firefox_firefox.desktop", "/snap/bin/firefox", url}},
        {"\"/opt/my browser/run\" --new-window %U", QStringList{"/opt/my browser/run", "--new-window", url}},
        {"browser --app=%u", QStringList{"browser", "--app=" + url}},
        {"  browser\t  %u  ", QStringList{"browser", url}},
        // An address is inert whatever reads it: shells and env -S get it as one word.
        {"sh -c \"echo \\\"\\$1\\\" \\\\\" sh %u", QStringList{"sh", "-c", "echo \"$1\" \\", "sh", url}},
        {"sh -c %u", QStringList{"sh", "-c", url}},
        {"nice -n 5 /bin/bash --norc -c %u", QStringList{"nice", "-n", "5", "/bin/bash", "--norc", "-c", url}},
        {"env -S \"sh -c 'printf %%s \\\"$1\\\"' sh\" %u", QStringList{"env", "-S", "sh -c 'printf %s \"$1\"' sh", url}},
        // Path entries of plain programs, wrapped or not.
        {"browser %i %c %k", QStringList{"browser", "--icon", "web", "Web", "/e/web.desktop", path}},
        {"browser %d %D %n %N %v %m %f", QStringList{"browser", path}},
        {"browser 100%%", QStringList{"browser", "100%", path}},
        {"\"/opt/my browser/run\" --file=%F", QStringList{"/opt/my browser/run", "--file=" + path}},
        {"env -i -u BROWSER FOO=1 nice -n 5 browser %f", QStringList{"env", "-i", "-u", "BROWSER", "FOO=1", "nice", "-n", "5", "browser", path}},
        {"flatpak run org.gnome.Epiphany %f", QStringList{"flatpak", "run", "org.gnome.Epiphany", path}},
        {"/home/josh/bin/viewer --profile=/home/josh/p %f", QStringList{"/home/josh/bin/viewer", "--profile=/home/josh/p", path}},
        // Malformed, or the page as the program.
        {"browser \"unterminated %u", std::nullopt},
        {"browser %x", std::nullopt},
        {"browser trailing%", std::nullopt},
        {"%u", std::nullopt},
        {"\"\" %u", std::nullopt},
        {"browser %u %f", std::nullopt},
        {"browser --a=%U --b=%F", std::nullopt},
        {"env FOO=1 %u", std::nullopt},
        {"env -S%u", std::nullopt},
        {"timeout 5 %f", std::nullopt},
        {"timeout -s KILL 5 %f", std::nullopt},  // -s takes KILL: the page would be the program
        {"timeout -s KILL 5 viewer %f", QStringList{"timeout", "-s", "KILL", "5", "viewer", path}},
        {"setsid -f viewer %F", QStringList{"setsid", "-f", "viewer", path}},
        {"flatpak run %f", std::nullopt},
        // A field code in quotes is refused even for an address.
        {"sh -c \"open %u\"", std::nullopt},
        {"browser \"%u\"", std::nullopt},
        {"browser \"--title=%c\" %u", std::nullopt},
        // A path never reaches a program that could run it as code, nor a word a program splits.
        {"/bin/bash -ec %f", std::nullopt},
        {"sh -ec", std::nullopt},
        {"python3.11 viewer.py %f", std::nullopt},
        {"viewer --shell=/usr/bin/ksh93 %f", std::nullopt},
        {"viewer \"--title=a b\" %f", std::nullopt},
        {"/usr/bin/env --split-string %f", std::nullopt},
        {"env --sp=browser %f", std::nullopt},
        {"env -uS browser %f", QStringList{"env", "-uS", "browser", path}},  // -u takes "S": no split
        {"env -S \"sh -c 'printf %%s \\\"$1\\\"' sh\" %f", std::nullopt},
        {"sh -c \"echo 100%%\" sh %f", std::nullopt},
    };
    for (const Case& c : cases) {
        QVDesktopEntry entry;
        entry.path = "/e/web.desktop";
        entry.name = "Web";
        entry.icon = "web";
        entry.exec = c.exec;
        QString why;
        EXPECT_EQ(entry.commandFor(path, &why), c.command) << c.exec.toStdString();
        EXPECT_EQ(why.isEmpty(), c.command.has_value()) << c.exec.toStdString();
        // The verdict is the same for every page.
        EXPECT_EQ(entry.commandFor(QStringLiteral("/p.html")).has_value(), c.command.has_value()) << c.exec.toStdString();
    }
    // What each form of page becomes: addresses keep their escapes and lose everything a program
    // could read; relative paths become absolute, so a name starting with "-" is no option.
    struct Target {
        QString target, address, path;
    };
    const QString cwd = QDir::currentPath();
    const QString cwdEncoded = QString::fromLatin1(QUrl::toPercentEncoding(cwd, "/"));
    for (const Target& t : QList<Target>{
             {"http://host/site/my%20page%231.php", "http://host/site/my%20page%231.php", "http://host/site/my%20page%231.php"},
             {"http://host:8080/a b;$(id)`x`&y=1", "http://host:8080/a%20b%3B%24%28id%29%60x%60%26y%3D1", "http://host:8080/a b;$(id)`x`&y=1"},
             {"file:///tmp/a%20b.html", "file:///tmp/a%20b.html", "/tmp/a b.html"},
             {"-x'.html", "file://" + cwdEncoded + "/-x%27.html", cwd + "/-x'.html"},
             {"/tmp/\n%41.html", "file:///tmp/%0A%2541.html", "/tmp/\n%41.html"}}) {
        QVDesktopEntry entry;
        entry.exec = "browser %u";
        EXPECT_EQ(entry.commandFor(t.target), (QStringList{"browser", t.address})) << t.target.toStdString();
        entry.exec = "browser %f";
        EXPECT_EQ(entry.commandFor(t.target), (QStringList{"browser", t.path})) << t.target.toStdString();
    }
}

TEST_F(BrowsersTest, NoPageNameRunsAsCodeWhateverTheEntry) {
    // Entries written as files and opened through their rows, every command run for real and to
    // its end: the machine's shells, env, script, flock, su, runuser, watch and interpreters, and
    // stand-ins for the browsers and xdg-open that print what they got. The pages exist and hold
    // a script that leaves the marker too, so a page run as a program would show. No row leaves
    // a marker; a refused row says why, and its page goes to xdg-open.
    const QString bin = dir.file("bin");
    QDir().mkpath(bin);
    const auto stub = [&](const QString& name, const QByteArray& body) {
        const QString file = dir.write("bin/" + name, "#!/bin/sh\n" + body);
        QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    };
    for (const char* browser : {"firefox", "chromium", "epiphany", "flatpak", "viewer"})
        stub(QString::fromLatin1(browser), "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$QV_OUT\"\n");
    stub("xdg-open", "printf 'xdg-open\\n%s\\n' \"$1\" > \"$QV_OUT\"\n");
    const QByteArray savedPath = qgetenv("PATH"), savedShell = qgetenv("SHELL");
    qputenv("PATH", bin.toLocal8Bit() + ":" + savedPath);
    qputenv("SHELL", "/bin/sh");
    const QString savedCwd = QDir::currentPath();
    const QString pages = dir.file("pages");
    QDir().mkpath(pages);
    QDir::setCurrent(pages);  // where "touch ran" would leave its mark
    // Each command runs to its end (a stuck one is stopped) before its row is judged.
    QVBrowser::setStarter([](const QString& program, const QStringList& arguments) {
        QProcess process;
        process.setProgram(program);
        process.setArguments(arguments);
        process.setStandardInputFile(QProcess::nullDevice());
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start();
        if (!process.waitForStarted()) return false;
        if (!process.waitForFinished(10000)) process.kill();
        process.waitForFinished();
        return true;
    });
    LogCapture log;

    const QStringList names = {"$(touch ran).html", "`touch ran`.html", ";touch ran;.html", "\";touch ran;\".html", "';touch ran;'.html",
                               "a\ntouch ran\n.html", "-$(touch ran).html", "page.html"};
    enum Verdict { Refused, Prints, Runs };  // Prints: the program prints its arguments
    struct Row {
        QString exec;
        Verdict verdict;
        const char* why = nullptr;  // part of the reason of a refusal
    };
    const QString print = R"(printf %%s \"\$1\" > \"\$QV_OUT\")";
    QList<Row> rows = {
        // Shells with their options in every order, behind env, in busybox; the page as a script.
        {"sh -c -- %f", Refused, "\u201csh\u201d"}, {"sh -c -e %f", Refused, "\u201csh\u201d"}, {"sh -ce -- %f", Refused, "\u201csh\u201d"},
        {"bash -c -x %f", Refused, "\u201cbash\u201d"}, {"sh -c +x %f", Refused, "\u201csh\u201d"}, {"sh -o errexit -c %f", Refused, "sh"},
        {"env sh -c -- %f", Refused, "sh"}, {"env -i FOO=1 /bin/dash -c %F", Refused, "dash"}, {"busybox sh -c -- %f", Refused, "busybox"},
        {"busybox ash %f", Refused, "busybox"}, {"zsh -c %f", Refused, "zsh"}, {"ksh93 -c %f", Refused, "ksh"}, {"sh %f", Refused, "sh"},
        {"bash", Refused, "bash"}, {"nice -n 5 sh -c %f", Refused, "sh"}, {"sh -c \"" + print + "\" sh %f", Refused, "sh"},
        // env splitting a command line of its own, in its spellings.
        {R"(env -S "sh\_-c" %f)", Refused, "env split"}, {R"(env -S "${SHELL} -c" %f)", Refused, "env split"},
        {R"(env -S"sh -c" %f)", Refused, "env split"}, {R"(env -vS "bash -c" %f)", Refused, "env split"},
        {R"(env -iS "sh -c" %f)", Refused, "env split"}, {R"(env --split-string="sh -c" %f)", Refused, "env split"},
        {R"(env --split-string "sh -c" %f)", Refused, "env split"}, {R"(env --sp="sh -c" %f)", Refused, "env split"},
        {R"(/usr/bin/env -S sh\_-c %F)", Refused, "env split"}, {"env -S%f", Refused, "env as a command line"},
        // Programs that hand a string to a shell, and interpreters given code.
        {"script -qc %f /dev/null", Refused, "script"}, {"flock " + dir.file("lock") + " -c %f", Refused, "flock"},
        {"su -c %f", Refused, "su"}, {"runuser root -c %f", Refused, "runuser"}, {"watch -n 1 -e %f", Refused, "watch"},
        {"xterm -e %f", Refused, "term"}, {"python3 -c %f", Refused, "python"}, {"perl -e %f", Refused, "perl"},
        {"ruby -e %f", Refused, "ruby"}, {"node -e %f", Refused, "node"}, {"php -r %f", Refused, "php"}, {"awk %f", Refused, "awk"},
        // The page as the program, behind a wrapper.
        {"env %f", Refused, "as a program"}, {"env FOO=1 %f", Refused, "as a program"}, {"nice -n 5 %f", Refused, "as a program"},
        // Real browsers' command lines, and plain path entries.
        {"firefox %u", Prints}, {"chromium %U", Prints}, {"epiphany", Prints}, {"epiphany %U", Prints},
        {"env FOO=1 firefox %u", Prints}, {"nice -n 5 viewer --new-tab %F", Prints},
        {"flatpak run --branch=stable --arch=x86_64 --command=firefox --file-forwarding org.mozilla.firefox @@u %u @@", Prints},
        {"sh -c \"" + print + "\" sh %u", Prints}, {R"(env -S "sh -c 'printf %%s \"\$1\" > \"\$QV_OUT\"' sh" %U)", Prints},
        // Every reader of code given an address: it reads one inert word.
        {"sh -c -- %u", Runs}, {"sh -c -e %u", Runs}, {"bash -c -x %u", Runs}, {"sh -c +x %U", Runs}, {"env sh -c -- %u", Runs},
        {"busybox sh -c -- %u", Runs}, {"zsh -c %u", Runs}, {"ksh93 -c %u", Runs}, {R"(env -S "sh\_-c" %u)", Runs},
        {R"(env -S "${SHELL} -c" %u)", Runs}, {"script -qc %u /dev/null", Runs}, {"flock " + dir.file("lock") + " -c %u", Runs},
        {"su -c %u", Runs}, {"runuser root -c %u", Runs}, {"python3 -c %u", Runs}, {"perl -e %u", Runs}, {"ruby -e %u", Runs},
        {"node -e %u", Runs}, {"php -r %u", Runs}, {"awk %u", Runs},
    };
    int run = 0;
    for (const Row& row : rows) {
        // A desktop entry value escapes its backslashes.
        const QString path = entry("system", QStringLiteral("e%1.desktop").arg(run), "Name=E\nExec=" + QString(row.exec).replace("\\", "\\\\"));
        const std::shared_ptr<QVBrowser> browser = QVBrowser::fromPlist({{"name", "E"}, {"path", path}});
        for (const QString& name : names) {
            SCOPED_TRACE((row.exec + " on " + name).toStdString());
            const QString page = dir.write("pages/" + name, "#!/bin/sh\ntouch ran\n");
            QFile::setPermissions(page, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            const QString out = dir.file(QStringLiteral("out%1").arg(++run));
            qputenv("QV_OUT", out.toLocal8Bit());
            log.clear();
            const QStringList refused = browser->open(name);
            EXPECT_FALSE(QFile::exists("ran"));
            QFile::remove("ran");
            QFile::remove(page);
            const QString printed = QString::fromUtf8(readAll(out));
            const QStringList logged = log.lines();
            if (row.verdict == Refused) {
                EXPECT_EQ(printed, "xdg-open\n" + name + "\n");
                EXPECT_EQ(refused.size(), 1);
                EXPECT_EQ(logged.size(), 1);
                if (refused.size() != 1 || logged.size() != 1) continue;
                EXPECT_TRUE(refused[0].startsWith("\u201cE\u201d: its command line ")) << refused[0].toStdString();
                EXPECT_TRUE(refused[0].contains(QString::fromUtf8(row.why))) << refused[0].toStdString();
                EXPECT_TRUE(logged[0].startsWith("The browser E (" + path + ") was not started: its command line ")) << logged[0].toStdString();
                continue;
            }
            EXPECT_EQ(refused, QStringList{});
            EXPECT_EQ(logged, QStringList{});
            // The page arrives whole: the path, or the file's URL.
            const QString absolute = pages + "/" + name;
            const QString handed = row.exec.contains("%u") || row.exec.contains("%U")
                                       ? "file://" + QString::fromLatin1(QUrl::toPercentEncoding(absolute, "/"))
                                       : absolute;
            if (row.verdict == Prints) EXPECT_TRUE(printed == handed || printed.contains(handed + "\n")) << printed.toStdString();
            else EXPECT_EQ(printed, "");
        }
    }
    QVBrowser::setStarter({});
    QDir::setCurrent(savedCwd);
    qputenv("PATH", savedPath);
    qputenv("SHELL", savedShell);
    qunsetenv("QV_OUT");
}

TEST_F(BrowsersTest, TheListHasItsRowsOrTheSystemsBrowsersAndAlwaysTheTwoSpecialRows) {
    // The system's http handlers: the default first, Firefox second, the others in id order;
    // hidden entries, other types and a user entry shadowing a system id change the picture.
    entry("system", "aaa-other.desktop", "Name=Other\nExec=other %u\nMimeType=text/html;x-scheme-handler/http;");
    entry("system", "chromium.desktop", "Name=Chromium\nExec=chromium %U\nMimeType=x-scheme-handler/http;");
    entry("system", "firefox-esr.desktop", "Name=Firefox ESR\nExec=firefox-esr %u\nMimeType=x-scheme-handler/http;");
    entry("system", "gone.desktop", "Name=Gone\nExec=gone %u\nMimeType=x-scheme-handler/http;");
    entry("user", "gone.desktop", "Name=Gone\nExec=gone %u\nHidden=true\nMimeType=x-scheme-handler/http;");
    entry("system", "viewer.desktop", "Name=Viewer\nExec=viewer %f\nMimeType=image/png;");
    entry("system", "kde-web.desktop", "Name=Web\nExec=web %u\nMimeType=x-scheme-handler/https;");
    QDir().mkpath(dir.file("etc"));
    QFile mimeapps(dir.file("etc/mimeapps.list"));
    ASSERT_TRUE(mimeapps.open(QIODevice::WriteOnly));
    mimeapps.write("[Default Applications]\nx-scheme-handler/http=missing.desktop;chromium.desktop;\n");
    mimeapps.close();
    const QStringList system = {"Chromium", "Firefox ESR", "Other"};

    struct Case {
        const char* what;
        std::optional<QByteArray> list;
        QStringList names;
    };
    const QList<Case> cases = {
        {"no list file", std::nullopt, system + QStringList{"Qorvel", "All"}},
        {"an empty list", plistOf({}), system + QStringList{"Qorvel", "All"}},
        {"not a property list", QByteArray("<plist><array><dict>"), system + QStringList{"Qorvel", "All"}},
        {"a dictionary, not an array", QByteArray("<plist version=\"1.0\"><dict/></plist>"), system + QStringList{"Qorvel", "All"}},
        {"the built-in row first", plistOf({{"Qorvel", ""}, {"Web", "/e/web.desktop"}}), {"Qorvel", "Web", "All"}},
        {"an entry without a path is dropped", plistOf({{"Web", ""}, {"Other", "/e/o.desktop"}}), {"Other", "Qorvel", "All"}},
        {"rows of the user's own order", plistOf({{"All", "All"}, {"B", "/b"}, {"Qorvel", ""}, {"A", "/a"}}), {"All", "B", "Qorvel", "A"}},
        {"values that are no dictionaries are skipped",
         QByteArray("<plist version=\"1.0\"><array><string>x</string><dict><key>name</key><string>W</string>"
                    "<key>path</key><string>/w</string></dict></array></plist>"),
         {"W", "Qorvel", "All"}},
    };
    for (const Case& c : cases) {
        QFile::remove(listPath());
        if (c.list) writeList(*c.list);
        EXPECT_EQ(names(), c.names) << c.what;
    }
    // The rows as menu items: the list's order, the preview command, the browser itself.
    writeList(plistOf({{"Web", "/e/web.desktop"}}));
    QVBrowserRepository& repository = QVBrowserRepository::sharedInstance();
    repository.reloadList(true);
    const QList<MenuItemRep> items = repository.browserMenuItems();
    ASSERT_EQ(items.size(), 3);
    EXPECT_EQ(items[0].action(), "previewInBrowser");
    EXPECT_EQ(items[0].representedObject().value<std::shared_ptr<QVBrowser>>(), QVBrowser::defaultBrowser());
    EXPECT_EQ(repository.browserWithName("All")->browserPath(), "All");
    EXPECT_EQ(repository.browserWithName("Safari"), nullptr);
}

TEST_F(BrowsersTest, OpeningStartsEachBrowserOnceAndTheAllRowsNeverCallEachOther) {
    // Each browser is a real program that appends its arguments to its own log.
    const QString recorder = dir.write("record.sh", "#!/bin/sh\nlog=$1\nshift\nfor a in \"$@\"; do printf '%s\\n' \"$a\" >> \"$log\"; done\n");
    QFile::setPermissions(recorder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QString one = entry("system", "one.desktop", "Name=One\nExec=" + recorder + " " + dir.file("one.log") + " %u");
    const QString two = entry("system", "two.desktop", "Name=Two\nExec=\"" + recorder + "\" \"" + dir.file("two.log") + "\" --new %U");
    const QString broken = entry("system", "broken.desktop", "Name=Broken\nExec=" + dir.file("no-such-program") + " %u");
    std::mutex lock;
    QStringList defaultHandler, builtIn;
    QVBrowser::setStarter([&](const QString& program, const QStringList& arguments) {
        if (program == QLatin1String("xdg-open")) {
            std::lock_guard guard(lock);
            defaultHandler += arguments;
            return true;
        }
        return QProcess::startDetached(program, arguments);
    });
    QVBrowser::setBuiltInPreview([&](const QString& url) { builtIn.append(url); });
    // Two rows that fan out, and one whose path names no file: each could have called the others.
    writeList(plistOf({{"One", one}, {"All", "All"}, {"Qorvel", ""}, {"Everything", "All"}, {"Relative", "apps/x"},
                       {"Two", two}, {"Broken", broken}}));
    QVBrowserRepository::sharedInstance().reloadList(true);

    const QString address = QStringLiteral("http://example.com/a b;$(touch pwned)");
    QVBrowserRepository::sharedInstance().browserWithName("All")->performActionWithObject(address);
    // Entries that take a URL get it with everything a program could read as code encoded.
    const QString encoded = QStringLiteral("http://example.com/a%20b%3B%24%28touch%20pwned%29");
    EXPECT_EQ(linesOf(dir.file("one.log"), 1), QStringList{encoded});
    EXPECT_EQ(linesOf(dir.file("two.log"), 2), (QStringList{"--new", encoded}));
    EXPECT_EQ(builtIn, QStringList{address});
    // The program that cannot start hands the address to the desktop's default handler.
    EXPECT_EQ(defaultHandler, QStringList{address});
    EXPECT_FALSE(QFile::exists(QDir::current().filePath("pwned")));

    // A file shows in the built-in row as its file URL; a list entry without its file falls back.
    builtIn.clear();
    QVBrowserRepository::sharedInstance().browserWithName("Qorvel")->performActionWithObject(dir.file("a page.html"));
    EXPECT_EQ(builtIn, QStringList{QUrl::fromLocalFile(dir.file("a page.html")).toString()});
    QVBrowser::fromPlist({{"name", "Lost"}, {"path", dir.file("lost.desktop")}})->performActionWithObject(address);
    EXPECT_EQ(defaultHandler, (QStringList{address, address}));
}
