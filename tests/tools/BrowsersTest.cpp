// The browser list and its targets: desktop entries as the system's browsers, the list file's
// rows, and opening a page through real processes started from the entries' commands.
#include "platform/FileName.h"
#include "shell/Defaults.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestSupport.h"
#include "tools/QVBrowserRepository.h"
#include "tools/QVDesktopEntry.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>
#include <QUrl>

#include <algorithm>
#include <mutex>

#include <sys/stat.h>

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
    // Every entry, whichever code it names, gets the file's address with everything but letters,
    // digits and "-._~/" percent-encoded; option values are never judged.
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
        // Profiles and folders named like shells are values, not programs.
        {"firefox -P fresh %f", QStringList{"firefox", "-P", "fresh", url}},
        {"chromium --user-data-dir=/srv/mesh %F", QStringList{"chromium", "--user-data-dir=/srv/mesh", url}},
        {"viewer --shell=/usr/bin/ksh93 \"--title=a b\" %f", QStringList{"viewer", "--shell=/usr/bin/ksh93", "--title=a b", url}},
        // An address is inert whatever reads it, and read as a path it names nothing where
        // browsers start.
        {"sh -c \"echo \\\"\\$1\\\" \\\\\" sh %u", QStringList{"sh", "-c", "echo \"$1\" \\", "sh", url}},
        {"sh -c %f", QStringList{"sh", "-c", url}},
        {"nice -n 5 /bin/bash --norc -c %F", QStringList{"nice", "-n", "5", "/bin/bash", "--norc", "-c", url}},
        {"timeout inf %f", QStringList{"timeout", "inf", url}},
        {"m4 %f", QStringList{"m4", url}},
        {"env -S \"sh -c 'printf %%s \\\"$1\\\"' sh\" %f", QStringList{"env", "-S", "sh -c 'printf %s \"$1\"' sh", url}},
        {"browser %i %c %k", QStringList{"browser", "--icon", "web", "Web", "/e/web.desktop", url}},
        {"browser %d %D %n %N %v %m %f", QStringList{"browser", url}},
        {"browser 100%%", QStringList{"browser", "100%", url}},
        {"env -i -u BROWSER FOO=1 nice -n 5 browser %f", QStringList{"env", "-i", "-u", "BROWSER", "FOO=1", "nice", "-n", "5", "browser", url}},
        // Malformed, or the page as the program.
        {"browser \"unterminated %u", std::nullopt},
        {"browser %x", std::nullopt},
        {"browser trailing%", std::nullopt},
        {"%u", std::nullopt},
        {"\"\" %u", std::nullopt},
        {"browser %u %f", std::nullopt},
        {"browser --a=%U --b=%F", std::nullopt},
        {"env FOO=1 %u", std::nullopt},
        {"env -S%f", std::nullopt},
        {"timeout 5 %f", std::nullopt},
        {"flatpak run %f", std::nullopt},
        // A field code in quotes is refused: its one use is splicing into a script.
        {"sh -c \"open %u\"", std::nullopt},
        {"browser \"%u\"", std::nullopt},
        {"browser \"--title=%c\" %u", std::nullopt},
        // Programs that fetch an address given as their script, named or behind a wrapper.
        {"gjs %u", std::nullopt},
        {"nice -n 5 /usr/bin/gjs-1.76 %F", std::nullopt},
        {"env FOO=1 deno run %f", std::nullopt},
        {"env -i gjs %u", std::nullopt},
        {"perf stat -e gjs firefox %u", QStringList{"perf", "stat", "-e", "gjs", "firefox", url}},
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
    // could read; paths, relative ones made absolute, become their file's address from their
    // bytes, a name that is not UTF-8 included.
    const QString cwd = QDir::currentPath();
    const QString cwdEncoded = QString::fromLatin1(QUrl::toPercentEncoding(cwd, "/"));
    struct Target {
        QString target, address;
    };
    for (const Target& t : QList<Target>{
             {"http://host/site/my%20page%231.php", "http://host/site/my%20page%231.php"},
             {"http://host:8080/a b;$(id)`x`&y=1", "http://host:8080/a%20b%3B%24%28id%29%60x%60%26y%3D1"},
             {"file:///tmp/a%20b.html", "file:///tmp/a%20b.html"},
             {"file://localhost/tmp/a;b.html#top", "file:///tmp/a%3Bb.html"},
             {"file://elsewhere/tmp/a.html", "file://elsewhere/tmp/a.html"},
             {"-x'.html", "file://" + cwdEncoded + "/-x%27.html"},
             {"/tmp/\n%41.html", "file:///tmp/%0A%2541.html"},
             {FileName::decode("/tmp/\xff\xfe$x.html"), "file:///tmp/%FF%FE%24x.html"}}) {
        for (const char* exec : {"browser %u", "browser %f"}) {
            QVDesktopEntry entry;
            entry.exec = QString::fromLatin1(exec);
            EXPECT_EQ(entry.commandFor(t.target), (QStringList{"browser", t.address})) << t.target.toStdString();
        }
    }
}

TEST_F(BrowsersTest, NoPageNameRunsAsCodeWhateverTheEntry) {
    // Over a hundred entries, written as files and opened through their rows, every command run
    // for real in the folder Qorvel starts it in, on hostile pages: executable, with "#!" and
    // without (execvp hands those to sh), named with shell code and with bytes that are not
    // UTF-8; each holds code for sh, php and m4 that leaves a mark. Wrappers no list knows,
    // option values that look like programs, unknown terminals, shells and interpreters under
    // their own names and copied under others. Qorvel's own working folder holds a "file:" tree
    // with the pages where a relative reading of their addresses would find them. Nothing may
    // leave a mark; ordinary browser lines get exactly the page's address; refused lines say why
    // and hand the page to xdg-open. Programs not installed are skipped (scripts/setup has them).
    const QString bin = dir.file("bin"), pages = dir.file("pages"), work = dir.file("work"), mark = dir.file("marks/ran");
    for (const QString& folder : {bin, pages, work, dir.file("marks"), dir.file("out")}) QDir().mkpath(folder);
    const auto executable = [](const QString& file) {
        QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther);
    };
    const auto stub = [&](const QString& name, const QByteArray& body) { executable(dir.write("bin/" + name, "#!/bin/sh\n" + body)); };
    for (const char* browser : {"firefox", "chromium", "epiphany", "flatpak", "viewer", "qutebrowser"})
        stub(QString::fromLatin1(browser), "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$QV_OUT\"\n");
    // Terminals Qorvel has never heard of: they run what follows -e.
    for (const char* terminal : {"st", "x-terminal-emulator"}) stub(QString::fromLatin1(terminal), "[ \"$1\" = -e ] && shift\nexec \"$@\"\n");
    // Shells and an interpreter under other names.
    const QList<std::pair<QString, QString>> copies = {{"/usr/bin/dash", "pageview"}, {"/usr/bin/bash", "fresh"}, {"/usr/bin/perl", "weblook"},
                                                       {"/usr/bin/zsh", "render"}};
    for (const auto& [from, to] : copies)
        if (QFile::copy(from, bin + "/" + to)) executable(bin + "/" + to);
    // PATH and the working folder come back however the test ends.
    struct Restore {
        QByteArray path = qgetenv("PATH");
        QString cwd = QDir::currentPath();
        ~Restore() {
            QDir::setCurrent(cwd);
            qputenv("PATH", path);
        }
    } restore;
    qputenv("PATH", bin.toLocal8Bit() + ":" + restore.path);
    QDir::setCurrent(work);

    // The pages, and the same pages where "file:/…" read as a relative path would lead.
    const QList<QByteArray> names = {"$(touch ran).html", "`touch ran`.html", ";touch ran;.html", "a\ntouch ran\n.html", "-$(touch ran).html",
                                     "' ; touch ran ; '.html", "\xff\xfe$(touch ran).html", "page.html"};
    const QByteArray code = "echo \"sh $0\" >> '" + mark.toUtf8() + "'\nexit 0\n<?php file_put_contents('" + mark.toUtf8() +
                            "', \"php\\n\", FILE_APPEND); ?>\nsyscmd(echo m4 >> '" + mark.toUtf8() + "')\n";
    QStringList targets, addresses;
    for (qsizetype i = 0; i < names.size(); ++i) {
        const QByteArray file = pages.toUtf8() + "/" + names[i];
        const QByteArray content = i % 2 ? code : "#!/bin/sh\n" + code;  // every other page without "#!"
        const QByteArray address = "file://" + file.toPercentEncoding("/");
        const QByteArray relative = work.toUtf8() + "/" + address.mid(7).prepend("file:");
        QDir().mkpath(FileName::decode(relative.left(relative.lastIndexOf('/'))));
        for (const QByteArray& at : {file, relative}) {
            ASSERT_TRUE(writeBytes(at, content));
            ::chmod(at.constData(), 0755);
        }
        targets.append(FileName::decode(file));
        addresses.append(QString::fromLatin1(address));
    }

    // Prints: the program prints its arguments; Either: refused (the page as the program of a
    // wrapper Qorvel knows) or run, harmless both ways.
    enum Verdict { Refused, Prints, Runs, Either };
    struct Row {
        QString exec;
        Verdict verdict = Runs;
    };
    QList<Row> rows;
    const QString lock = dir.file("lock");
    // Wrappers, known or not, before the page itself, a shell, a shell copied, an interpreter.
    const QStringList wrappers = {"prlimit --nofile=1024:1024", "setarch x86_64", "setarch x86_64 -R", "linux64", "fakeroot", "eatmydata",
                                  "faketime \"2020-01-01 00:00:00\"", "timeout .5", "timeout inf", "taskset f", "perf stat -x,",
                                  "env -i", "setsid -f", "st -e", "x-terminal-emulator -e", "setlock " + lock, "setuidgid root",
                                  "softlimit -o 1000", "flock " + lock, "stdbuf -o0", "ionice -c 3", "chrt -o 0"};
    for (const QString& wrapper : wrappers)
        for (const char* payload : {"%f", "sh -c %u", "pageview %F", "weblook %U", "bash -c -- %f"})
            rows.append({wrapper + " " + payload, payload[0] == '%' ? Either : Runs});
    for (const char* exec : {"sh %f", "sh -c %u", "sh -c -e %F", "dash %U", "bash -c -x %f", "zsh -c %u", "ksh93 -c %F", "mksh %f",
                             "busybox sh -c %u", "busybox ash %f", "busybox awk -f %F", "env sh -c -- %f", "env -S \"sh -c\" %u",
                             "pageview -c %f", "fresh %u", "render -c %F", "weblook %f", "weblook -x %u", "perl %F",
                             "perl -e %u", "ruby %f", "ruby -e %U", "node %f", "node -e %u", "php %f", "php -f %F", "php -r %u",
                             "python3 %f", "python3 -c %u", "m4 %f", "m4 -P %u", "awk -f %f", "mawk %u", "sed -f %F", "tclsh %f",
                             "script -qec %u /dev/null", "su -c %f", "runuser -u root -- %F"})
        rows.append({QString::fromLatin1(exec)});
    for (const char* exec : {"nohup %f", "nice -n 5 %U", "env -S%f"}) rows.append({QString::fromLatin1(exec), Either});
    // Ordinary browser lines, with option values naming shells and programs, get the page.
    for (const char* exec : {"firefox %u", "firefox -P fresh %f", "firefox --profile /home/u/.mozilla/bash %F", "chromium %U",
                             "chromium --user-data-dir=/srv/mesh %F", "chromium --class=Zsh --user-data-dir=/tmp/ksh %u", "epiphany",
                             "epiphany %U", "env FOO=1 firefox %u", "nice -n 5 viewer --new-tab %F", "viewer --shell=/bin/bash %f",
                             "timeout inf viewer %f", "prlimit --nofile=1024 viewer %F", "qutebrowser --basedir /tmp/qb-fresh %u",
                             "flatpak run --branch=stable --arch=x86_64 --command=firefox --file-forwarding org.mozilla.firefox @@u %u @@"})
        rows.append({QString::fromLatin1(exec), Prints});
    // The page as the program of a wrapper Qorvel knows, or given to a program that fetches
    // addresses as scripts: refused.
    for (const char* exec : {"env FOO=1 %f", "timeout 5 %F", "gjs %u", "nice -n 5 deno run %f"}) rows.append({QString::fromLatin1(exec), Refused});

    // Every command Qorvel would start, gathered; run below, many at once.
    struct Start {
        QString program;
        QStringList arguments;
        QString folder;
    };
    QList<Start> started;
    QVBrowser::setStarter([&](const QString& program, const QStringList& arguments, const QString& folder) {
        started.append({program, arguments, folder});
        return true;
    });
    LogCapture log;
    struct Run {
        QString label, out, address;
        Verdict verdict;
        Start start;
    };
    QList<Run> runs;
    int lines = 0;
    for (const Row& row : std::as_const(rows)) {
        // Only what is installed here: every word naming a program must name one.
        const QStringList words = QVDesktopEntry::splitExec(row.exec).value_or(QStringList{});
        if (row.verdict != Refused &&
            std::any_of(words.begin(), words.end(), [&](const QString& word) {
                static const QSet<QString> programs = {"prlimit", "setarch", "linux64", "fakeroot", "eatmydata", "faketime", "perf", "setlock",
                                                       "setuidgid", "softlimit", "mksh", "ksh93", "zsh", "busybox", "ruby", "node", "php",
                                                       "m4", "mawk", "tclsh", "python3", "render", "chrt", "ionice", "script", "runuser"};
                return programs.contains(word) && QStandardPaths::findExecutable(word).isEmpty();
            }))
            continue;
        ++lines;
        const QString path = entry("system", QStringLiteral("e%1.desktop").arg(lines), "Name=E\nExec=" + QString(row.exec).replace("\\", "\\\\"));
        const std::shared_ptr<QVBrowser> browser = QVBrowser::fromPlist({{"name", "E"}, {"path", path}});
        for (qsizetype i = 0; i < targets.size(); ++i) {
            const QString label = row.exec + " on " + FileName::displayed(targets[i]);
            started.clear();
            log.clear();
            const QStringList refused = browser->open(targets[i]);
            EXPECT_EQ(started.size(), 1) << label.toStdString();
            if (started.size() != 1) continue;
            if (row.verdict == Refused || (row.verdict == Either && !refused.isEmpty())) {
                EXPECT_EQ(refused.size(), 1) << label.toStdString();
                EXPECT_TRUE(refused.value(0).startsWith("\u201cE\u201d: its command line ")) << refused.value(0).toStdString();
                EXPECT_EQ(started[0].program, "xdg-open") << label.toStdString();
                EXPECT_EQ(started[0].arguments, QStringList{targets[i]}) << label.toStdString();
                continue;
            }
            EXPECT_EQ(refused, QStringList{}) << label.toStdString();
            EXPECT_EQ(log.lines(), QStringList{}) << label.toStdString();
            runs.append({label, dir.file(QStringLiteral("out/%1").arg(runs.size())), addresses[i], row.verdict, started[0]});
        }
    }
    EXPECT_GE(lines, 100);
    const QString startFolder = QVBrowser::startFolder();
    ASSERT_FALSE(startFolder.isEmpty());
    // Many at once; a command still running after its time is stopped.
    for (qsizetype first = 0; first < runs.size(); first += 48) {
        std::vector<std::unique_ptr<QProcess>> batch;
        for (qsizetype i = first; i < std::min(first + 48, runs.size()); ++i) {
            const Run& run = runs[i];
            EXPECT_EQ(run.start.folder, startFolder);
            auto process = std::make_unique<QProcess>();
            process->setProgram(run.start.program);
            process->setArguments(run.start.arguments);
            process->setWorkingDirectory(run.start.folder);
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(QStringLiteral("QV_OUT"), run.out);
            process->setProcessEnvironment(environment);
            process->setStandardInputFile(QProcess::nullDevice());
            process->setProcessChannelMode(QProcess::MergedChannels);
            process->start();
            batch.push_back(std::move(process));
        }
        for (const auto& process : batch) {
            if (!process->waitForFinished(15000)) process->kill();
            process->waitForFinished();
        }
    }
    QVBrowser::setStarter({});

    EXPECT_FALSE(QFile::exists(mark)) << readAll(mark).toStdString();
    for (const QString& folder : {work, pages, startFolder, dir.path()}) EXPECT_FALSE(QFile::exists(folder + "/ran")) << folder.toStdString();
    EXPECT_EQ(FileName::entries(startFolder), QStringList{});
    for (const Run& run : std::as_const(runs)) {
        if (run.verdict != Prints) continue;
        // The page arrives whole, as its file's address, and only once.
        const QStringList printed = QString::fromUtf8(readAll(run.out)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        EXPECT_EQ(printed.count(run.address), 1) << run.label.toStdString() << ": " << printed.join(" | ").toStdString();
        EXPECT_EQ(std::count_if(printed.begin(), printed.end(), [](const QString& a) { return a.contains("pages"); }), 1) << run.label.toStdString();
    }
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
    QVBrowser::setStarter([&](const QString& program, const QStringList& arguments, const QString&) {
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
