// Tests of the home and XDG folders and of tilde expansion.
#include "platform/Paths.h"

#include "tests/support/TestSupport.h"

#include <QFile>

#include <gtest/gtest.h>

#include <optional>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Sets (or unsets) an environment variable for the scope and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, std::optional<QByteArray> value) : _name(name) {
        if (qEnvironmentVariableIsSet(name)) _saved = qgetenv(name);
        if (value) qputenv(name, *value);
        else qunsetenv(name);
    }
    ~ScopedEnv() {
        if (_saved) qputenv(_name, *_saved);
        else qunsetenv(_name);
    }

private:
    const char* _name;
    std::optional<QByteArray> _saved;
};

TEST(PathsTest, FoldersFollowTheEnvironment) {
    struct Case {
        const char* variable;
        std::optional<QByteArray> value;
        QString (*folder)();
        QString expected;  // "HOME" stands for the home folder set below
    };
    const Case cases[] = {
        {"XDG_DATA_HOME", QByteArray("/data/"), &Paths::dataHome, QStringLiteral("/data")},
        {"XDG_DATA_HOME", std::nullopt, &Paths::dataHome, QStringLiteral("HOME/.local/share")},
        {"XDG_DATA_HOME", QByteArray(""), &Paths::dataHome, QStringLiteral("HOME/.local/share")},
        {"XDG_DATA_HOME", QByteArray("relative/data"), &Paths::dataHome, QStringLiteral("HOME/.local/share")},
        {"XDG_CONFIG_HOME", QByteArray("/c//onf"), &Paths::configHome, QStringLiteral("/c/onf")},
        {"XDG_CONFIG_HOME", std::nullopt, &Paths::configHome, QStringLiteral("HOME/.config")},
        {"XDG_CACHE_HOME", QByteArray("/cache"), &Paths::cacheHome, QStringLiteral("/cache")},
        {"XDG_CACHE_HOME", QByteArray("cache"), &Paths::cacheHome, QStringLiteral("HOME/.cache")},
        {"TMPDIR", QByteArray("/var/tmp/x/"), &Paths::temporary, QStringLiteral("/var/tmp/x")},
        {"TMPDIR", std::nullopt, &Paths::temporary, QStringLiteral("/tmp")},
        {"XDG_DATA_HOME", QByteArray("/d"), &Paths::applicationSupport, QStringLiteral("/d/Glimbo")},
        {"XDG_CONFIG_HOME", std::nullopt, &Paths::configuration, QStringLiteral("HOME/.config/Glimbo")},
        {"XDG_CACHE_HOME", QByteArray("/k"), &Paths::caches, QStringLiteral("/k/com.qorvel.Qorvel")},
    };
    ScopedEnv home("HOME", QByteArray("/home/someone/"));
    EXPECT_EQ(Paths::home(), QStringLiteral("/home/someone"));
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.variable) + "=" + (c.value ? c.value->toStdString() : "(unset)"));
        ScopedEnv env(c.variable, c.value);
        QString expected = c.expected;
        expected.replace(QStringLiteral("HOME"), QStringLiteral("/home/someone"));
        EXPECT_EQ(c.folder(), expected);
    }
}

TEST(PathsTest, HomeFallsBackToTheAccountWhenTheVariableIsUnusable) {
    for (std::optional<QByteArray> value : {std::optional<QByteArray>(), std::optional<QByteArray>(""),
                                            std::optional<QByteArray>("relative")}) {
        ScopedEnv home("HOME", value);
        const QString h = Paths::home();
        EXPECT_TRUE(h.startsWith(QLatin1Char('/'))) << h.toStdString();
        EXPECT_NE(h, QStringLiteral("relative"));
    }
}

TEST(PathsTest, TildeExpansionAndAbbreviation) {
    struct Case {
        QByteArray home;
        QString path;
        QString expanded;
        QString abbreviated;
    };
    const Case cases[] = {
        {"/home/u", "~", "/home/u", "~"},
        {"/home/u", "~/a/b", "/home/u/a/b", "~/a/b"},
        {"/home/u", "~other/a", "~other/a", "~other/a"},
        {"/home/u", "a/~/b", "a/~/b", "a/~/b"},
        {"/home/u", "", "", ""},
        {"/home/u", "/home/u", "/home/u", "~"},
        {"/home/u", "/home/u/x", "/home/u/x", "~/x"},
        {"/home/u", "/home/ux/y", "/home/ux/y", "/home/ux/y"},
        {"/home/u", "/home", "/home", "/home"},
        {"/", "~/x", "/x", "~/x"},
        {"/", "/x", "/x", "/x"},  // everything is under "/": abbreviating would mean nothing
        {"/", "~", "/", "~"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.home.toStdString() + " " + c.path.toStdString());
        ScopedEnv home("HOME", c.home);
        EXPECT_EQ(Paths::expandTilde(c.path), c.expanded);
        EXPECT_EQ(Paths::abbreviateWithTilde(c.path), c.abbreviated);
    }
}

}  // namespace

TEST(PathsTest, SessionEnvironmentNeverLeavesRoomForAStrayBus) {
    // What the folder "runtime-<uid>" in TMPDIR is before the call.
    enum class Before { Missing, OpenFolder, Link, File };
    struct Case {
        const char* what;
        std::optional<QByteArray> runtime;  // XDG_RUNTIME_DIR
        std::optional<QByteArray> bus;      // DBUS_SESSION_BUS_ADDRESS
        Before before;
        QString expectedRuntime;  // "OWN": the private folder; "" none
        QString expectedBus;      // unset when empty
    };
    const Case cases[] = {
        {"no runtime folder: a private one", std::nullopt, std::nullopt, Before::Missing, "OWN", "unix:path=OWN/bus"},
        {"ours but open: closed", std::nullopt, std::nullopt, Before::OpenFolder, "OWN", "unix:path=OWN/bus"},
        {"a link is never taken", std::nullopt, std::nullopt, Before::Link, "", ""},
        {"a file is never taken", std::nullopt, std::nullopt, Before::File, "", ""},
        {"given runtime folder kept", QByteArray("/run/user/7"), std::nullopt, Before::Missing, "/run/user/7",
         "unix:path=/run/user/7/bus"},
        {"given bus kept", QByteArray("/run/user/7"), QByteArray("tcp:host=h"), Before::Missing, "/run/user/7",
         "tcp:host=h"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestDir dir;
        ScopedEnv tmp("TMPDIR", QFile::encodeName(dir.path()));
        ScopedEnv runtime("XDG_RUNTIME_DIR", c.runtime);
        ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", c.bus);
        const QString own = dir.file(QStringLiteral("runtime-%1").arg(::geteuid()));
        const QByteArray ownName = QFile::encodeName(own);
        if (c.before == Before::OpenFolder) {
            ASSERT_EQ(::mkdir(ownName.constData(), 0755), 0);
        } else if (c.before == Before::Link) {
            ASSERT_EQ(::symlink(QFile::encodeName(dir.path()).constData(), ownName.constData()), 0);
        } else if (c.before == Before::File) {
            ASSERT_TRUE(QFile(own).open(QIODevice::WriteOnly));
        }

        QString expectedRuntime = c.expectedRuntime;
        expectedRuntime.replace(QStringLiteral("OWN"), own);
        QString expectedBus = c.expectedBus;
        expectedBus.replace(QStringLiteral("OWN"), own);
        EXPECT_EQ(Paths::prepareSessionEnvironment(), expectedRuntime);
        EXPECT_EQ(qEnvironmentVariable("XDG_RUNTIME_DIR"), expectedRuntime);
        EXPECT_EQ(qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"), expectedBus);
        if (c.expectedRuntime == QLatin1String("OWN")) {
            struct stat st {};
            ASSERT_EQ(::lstat(ownName.constData(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, 0700u);
        }
    }
}
