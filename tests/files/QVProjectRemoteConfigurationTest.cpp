#include "files/QVProjectRemoteConfiguration.h"
#include "platform/Keychain.h"
#include "tests/files/FilesTestSupport.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>

namespace {

QVProjectRemoteConfiguration site(const QString& host, const QString& user, const QVariantMap& options = {}) {
    QVProjectRemoteConfiguration c;
    c.setHost(host);
    c.setUser(user);
    if (!options.isEmpty()) c.setOptions(options);
    return c;
}

}  // namespace

TEST(QVProjectRemoteConfiguration, ArgumentsAndTheChecksBeforeAClientSeesThem) {
    struct Case {
        QVariantMap options;
        QStringList arguments;
    };
    const std::vector<Case> cases = {
        {{{"other", "-v  -C"}, {"A", true}, {"o", false}}, {"-A", "-v", "-C"}},
        {{{"other", " "}, {"n", 0}, {"p", 2}}, {"-p"}},
        {{{"i", "/home/me/key file"}, {"q", "say \"hi\""}}, {"-i=/home/me/key file", "-q=say \"hi\""}},
        {{{"other", "-o\n!sh -v"}, {"bad\nname", true}, {"x", "a\rb"}}, {"-v"}},
        {{}, {}},
    };
    for (const Case& c : cases) {
        auto config = site("example.org", "me", c.options);
        EXPECT_EQ(config.arguments(), c.arguments) << c.arguments.join(',').toStdString();
        EXPECT_EQ(config.plistRepresentation().value("options").toMap(), c.options);  // stored as given
    }

    struct Check {
        const char* name;
        QString host, user, password;
        QVariantMap options;
        QString field;
    };
    const std::vector<Check> checks = {
        {"plain", "example.org", "me", "pa ss\"'\\", {{"other", "-v"}}, ""},
        {"host as option", "-oProxyCommand=touch x", "me", "", {}, "host"},
        {"user as option", "example.org", "-l", "", {}, "user"},
        {"line break in host", "example.org\n!sh", "me", "", {}, "host"},
        {"line break in password", "example.org", "me", "pw\n!rm -rf ~", {}, "password"},
        {"tab in user", "example.org", "m\te", "", {}, "user"},
        {"line break in options", "example.org", "me", "", {{"other", "-v\n!sh"}}, "options"},
    };
    for (const Check& c : checks) {
        auto config = site(c.host, c.user, c.options);
        config.setUseKeychain(false);
        config.setPassword(c.password);
        const QVError error = config.connectionError();
        EXPECT_EQ(error.userInfoValue("QVInvalidSiteField").toString(), c.field) << c.name;
    }
}

TEST(QVProjectRemoteConfiguration, PropertyListsEqualityAndPresets) {
    struct Case {
        const char* name;
        QVariantMap plist;
        QVariantMap written;
    };
    const QVariantMap full = {{"host", "h"}, {"protocol", 1}, {"use-keychain", true}, {"user", "u"},
                              {"initial-directory", "/www"}, {"options", QVariantMap{{"other", "-v"}}}, {"port", 2222}};
    const std::vector<Case> cases = {
        {"full", full, full},
        {"no host", {{"user", "u"}, {"port", 21}}, {}},
        {"no keychain key", {{"host", "h"}}, {{"host", "h"}, {"protocol", 0}, {"use-keychain", false}}},
        {"wrong types", {{"host", "h"}, {"user", 7}, {"options", "x"}, {"port", "22"}, {"protocol", "2"}},
         {{"host", "h"}, {"protocol", 2}, {"use-keychain", false}}},
    };
    for (const Case& c : cases) {
        QVProjectRemoteConfiguration config;
        config.loadFromPlist(c.plist);
        EXPECT_EQ(config.plistRepresentation(), c.written) << c.name;
    }

    QVProjectRemoteConfiguration a, b;
    a.loadFromPlist(full);
    b.loadFromPlist(full);
    b.setProtocol(2);
    b.setUseKeychain(false);
    EXPECT_TRUE(a.isEqual(b));
    b.setPassword("secret");
    EXPECT_TRUE(a.isEqual(b));   // a holds no password
    EXPECT_FALSE(b.isEqual(a));  // b does
    a.setPort(2223);
    EXPECT_FALSE(a.isEqual(b));
    a.mergeValuesFromConfiguration(b);
    EXPECT_EQ(a.password(), "secret");

    QVProjectRemoteConfiguration preset;
    preset.loadFromPlist(full);
    preset.setPassword("p");
    preset.setFromPreset(QVariantMap{{QVRecentRemoteHost, "recent"}, {QVRecentRemoteUser, "r"}, {QVRecentRemotePort, 21},
                                     {QVRecentRemoteProtocol, 2}});
    preset.setUseKeychain(false);
    EXPECT_EQ(preset.plistRepresentation(),
              QVariantMap({{"host", "recent"}, {"user", "r"}, {"port", 21}, {"protocol", 2}, {"use-keychain", false}}));
    EXPECT_TRUE(preset.password().isNull());
    EXPECT_EQ(QVProjectRemoteConfiguration().protocolDescription(), "ftp");
}

TEST(QVProjectRemoteConfiguration, PasswordLivesInTheKeyringOnly) {
    ASSERT_FALSE(qgetenv("QORVEL_KEYRING_DAEMON_PID").isEmpty()) << "run under scripts/with-keyring";
    auto config = site("files.example.org", "webmaster");
    config.setPassword("first secret");
    EXPECT_TRUE(config.commit());
    EXPECT_EQ(runCommand("secret-tool lookup service files.example.org account webmaster"), "first secret");
    EXPECT_FALSE(config.plistRepresentation().contains("password"));

    // The same text again is no change, so nothing is written over an outside change.
    runCommand("printf 'changed outside' | secret-tool store --label=x service files.example.org account webmaster");
    config.setPassword(QString("first ") + "secret");
    EXPECT_FALSE(config.commit());
    auto reread = site("files.example.org", "webmaster");
    EXPECT_EQ(reread.password(), "changed outside");
    auto off = site("files.example.org", "webmaster");
    off.setUseKeychain(false);
    EXPECT_TRUE(off.password().isNull());
    EXPECT_EQ(reread.copy().password(), "changed outside");

    // A keyring that does not answer gives no password within the time bound; nothing hangs.
    const pid_t daemon = qgetenv("QORVEL_KEYRING_DAEMON_PID").toInt();
    const auto oldTimeout = KeychainTimeout();
    SetKeychainTimeout(std::chrono::milliseconds(300));
    ASSERT_EQ(::kill(daemon, SIGSTOP), 0);
    auto stalled = site("other.example.org", "webmaster");
    LogCapture log;
    EXPECT_TRUE(stalled.password().isNull());
    ::kill(daemon, SIGCONT);
    // Given up by the time bound set here, not another (the bus's own, or none).
    EXPECT_TRUE(log.contains(QStringLiteral("Secret Service did not answer within 300 ms"))) << log.lines().join(u'\n').toStdString();
    SetKeychainTimeout(oldTimeout);
}
