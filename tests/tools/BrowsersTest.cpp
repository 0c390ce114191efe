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

TEST_F(BrowsersTest, ExecLinesBecomeArgumentVectorsWithTheTargetAsOneArgument) {
    const QString target = QStringLiteral("http://example.com/a b;$(touch x)`y`");
    struct Case {
        QString exec;
        std::optional<QStringList> command;
    };
    const QList<Case> cases = {
        {"firefox %u", QStringList{"firefox", target}},
        // The command lines Debian's, Flatpak's and Snap's browser entries carry.
        {"/usr/lib/firefox-esr/firefox-esr %u", QStringList{"/usr/lib/firefox-esr/firefox-esr", target}},
        {"/usr/bin/chromium %U", QStringList{"/usr/bin/chromium", target}},
        {"/usr/bin/flatpak run --branch=stable --command=firefox --file-forwarding org.mozilla.firefox @@u %u @@",
         QStringList{"/usr/bin/flatpak", "run", "--branch=stable", "--command=firefox", "--file-forwarding", "org.mozilla.firefox", "@@u", target, "@@"}},
        {"env BAMF_DESKTOP_FILE_HINT=/var/lib/snapd/desktop/applications/firefox_firefox.desktop /snap/bin/firefox %u",
         QStringList{"env", "BAMF_DESKTOP_FILE_HINT=/var/lib/snapd/desktop/applications/firefox_firefox.desktop", "/snap/bin/firefox", target}},
        {"\"/opt/my browser/run\" --new-window %U", QStringList{"/opt/my browser/run", "--new-window", target}},
        {"browser --app=%u", QStringList{"browser", "--app=" + target}},
        {"browser %i %c %k", QStringList{"browser", "--icon", "web", "Web", "/e/web.desktop", target}},
        {"browser %d %D %n %N %v %m %f", QStringList{"browser", target}},
        {"browser 100%%", QStringList{"browser", "100%", target}},
        {"sh -c \"echo \\\"\\$1\\\" \\\\\" sh %u", QStringList{"sh", "-c", "echo \"$1\" \\", "sh", target}},
        {"  browser\t  %u  ", QStringList{"browser", target}},
        {"browser \"unterminated %u", std::nullopt},
        {"browser %x", std::nullopt},
        {"browser trailing%", std::nullopt},
        {"%u", std::nullopt},
        {"\"\" %u", std::nullopt},
        {"browser %u %f", std::nullopt},
        {"browser --a=%U --b=%F", std::nullopt},
        {"sh -c %u", std::nullopt},
        {"/bin/bash -ec %f", std::nullopt},
        {"env LANG=C sh -c %u", std::nullopt},
        {"sh -ec", std::nullopt},
        {"nice -n 5 /bin/bash --norc -c %u", std::nullopt},
        {"sh -c \"open %u\"", std::nullopt},
        {"browser \"%u\"", std::nullopt},
        {"browser \"--title=%c\" %u", std::nullopt},
        {"env -S%u", std::nullopt},
        {"/usr/bin/env --split-string %f", std::nullopt},
        {"env -S \"sh -c\" %f", std::nullopt},
        {"env -S \"sh -c 'printf %%s \\\"$1\\\"' sh\" %f", QStringList{"env", "-S", "sh -c 'printf %s \"$1\"' sh", target}},
        {"sh -c \"echo 100%%\" sh %u", QStringList{"sh", "-c", "echo 100%", "sh", target}},
    };
    for (const Case& c : cases) {
        QVDesktopEntry entry;
        entry.path = "/e/web.desktop";
        entry.name = "Web";
        entry.icon = "web";
        entry.exec = c.exec;
        EXPECT_EQ(entry.commandFor(target), c.command) << c.exec.toStdString();
    }
}

TEST_F(BrowsersTest, NoPageNameRunsThroughAnEntrysShellScript) {
    // Entries written as files, opened through the list's rows with the real starter: a script
    // given the page as "$1" prints it; an entry that would splice it into script text is refused
    // with its reason logged, and the page goes to the default handler (here a stand-in
    // xdg-open that prints what it got). Nothing in a page's name ever runs.
    const QString bin = dir.write("bin/xdg-open", "#!/bin/sh\nprintf 'xdg-open\\n%s' \"$1\" > \"$QV_OUT\"\n");
    QFile::setPermissions(bin, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QByteArray savedPath = qgetenv("PATH");
    qputenv("PATH", QFileInfo(bin).absolutePath().toLocal8Bit() + ":" + savedPath);
    const QString savedCwd = QDir::currentPath();
    QDir().mkpath(dir.file("pages"));
    QDir::setCurrent(dir.file("pages"));  // where "touch ran" would leave its mark
    LogCapture log;
    const QString print = R"(printf %%s \"\$1\" > \"\$QV_OUT\")";
    const QList<std::pair<QString, const char*>> execs = {
        {R"(sh -c "true '%f'")", "inside quotes"},
        {R"(sh -c "true \"%f\"")", "inside quotes"},
        {R"(bash -c "printf %%s '%u' > \"\$QV_OUT\"")", "inside quotes"},
        {R"(/bin/dash -ec "exec true %F")", "inside quotes"},
        {R"(env -S "sh -c 'true %f'")", "inside quotes"},
        {R"(/usr/bin/env sh -c "true %U")", "inside quotes"},
        {R"(env -S "sh -c" %f)", "as a script"},
        {R"(env -S%u)", "env as a command line"},
        {R"(sh -c %f)", "as a script"},
        {"sh -c \"" + print + "\" sh %f", nullptr},
        {"bash -c \"" + print + "\" bash %u", nullptr},
        {"/bin/dash -c \"exec " + print + "\" dash %F", nullptr},
        {"env sh -c \"" + print + "\" sh %U", nullptr},
        {R"(env -S "sh -c 'printf %%s \"\$1\" > \"\$QV_OUT\"' sh" %f)", nullptr},
    };
    const QStringList names = {"$(touch ran).html", "`touch ran`.html", "\";touch ran;\".html", "';touch ran;'.html",
                               "it's \"q\".html", "a\ntouch ran\n.html", "-$(touch ran).html"};
    int run = 0;
    for (const auto& [exec, refusal] : execs) {
        // A desktop entry value escapes its backslashes.
        const QString path = entry("system", QStringLiteral("e%1.desktop").arg(run), "Name=E\nExec=" + QString(exec).replace("\\", "\\\\"));
        const std::shared_ptr<QVBrowser> browser = QVBrowser::fromPlist({{"name", "E"}, {"path", path}});
        for (const QString& name : names) {
            SCOPED_TRACE((exec + " on " + name).toStdString());
            const QString out = dir.file(QStringLiteral("out%1").arg(++run));
            qputenv("QV_OUT", out.toLocal8Bit());
            log.clear();
            browser->performActionWithObject(name);
            const QString expected = refusal ? "xdg-open\n" + name : name;
            QElapsedTimer waited;
            waited.start();
            while (readAll(out) != expected.toUtf8() && waited.elapsed() < 5000) QThread::msleep(10);
            EXPECT_EQ(QString::fromUtf8(readAll(out)), expected);
            QThread::msleep(50);
            EXPECT_FALSE(QFile::exists("ran"));
            QFile::remove("ran");
            const QStringList logged = log.lines();
            if (refusal) {
                EXPECT_EQ(logged.size(), 1);
                if (logged.isEmpty()) continue;
                EXPECT_TRUE(logged[0].startsWith("The browser E (" + path + ") was not started: its command line ")) << logged[0].toStdString();
                EXPECT_TRUE(logged[0].contains(QString::fromLatin1(refusal))) << logged[0].toStdString();
            } else {
                EXPECT_TRUE(logged.isEmpty());
            }
        }
    }
    QDir::setCurrent(savedCwd);
    qputenv("PATH", savedPath);
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
    EXPECT_EQ(linesOf(dir.file("one.log"), 1), QStringList{address});
    EXPECT_EQ(linesOf(dir.file("two.log"), 2), (QStringList{"--new", address}));
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
