// Tests of the home and XDG folders and of tilde expansion.
#include "platform/Paths.h"

#include <gtest/gtest.h>

#include <optional>

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
