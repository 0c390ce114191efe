// Keychain passwords against a real Secret Service: gnome-keyring on a private bus (scripts/with-keyring).
#include "platform/Keychain.h"
#include "platform/SystemLog.h"
#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <signal.h>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

bool underWithKeyring() { return !qgetenv("QORVEL_KEYRING_DAEMON_PID").isEmpty(); }

struct ToolResult {
    int exitCode = -1;
    QByteArray out;
};

ToolResult secretTool(const QStringList& args) {
    QProcess tool;
    tool.start(QStringLiteral("secret-tool"), args);
    ToolResult result;
    if (!tool.waitForStarted(5000) || !tool.waitForFinished(20000)) return result;
    result.exitCode = tool.exitCode();
    result.out = tool.readAllStandardOutput();
    return result;
}

// What `secret-tool lookup` answers for the pair; null when it finds nothing.
std::optional<QByteArray> lookedUp(const char* service, const char* account) {
    const ToolResult r = secretTool({QStringLiteral("lookup"), QStringLiteral("service"), QString::fromUtf8(service),
                                     QStringLiteral("account"), QString::fromUtf8(account)});
    if (r.exitCode != 0) return std::nullopt;
    return r.out;
}

int itemCount(const char* service, const char* account) {
    const ToolResult r = secretTool({QStringLiteral("search"), QStringLiteral("--all"), QStringLiteral("service"),
                                     QString::fromUtf8(service), QStringLiteral("account"),
                                     QString::fromUtf8(account)});
    int count = 0;
    for (const QByteArray& line : r.out.split('\n'))
        if (line.startsWith("[/")) ++count;
    return count;
}

// Every line logged while it lives.
class LogCapture {
public:
    LogCapture() {
        SystemLog::setSink([this](int priority, const QString& message) {
            std::lock_guard<std::mutex> locker(_mutex);
            _lines.push_back({priority, message});
        });
    }
    ~LogCapture() { SystemLog::setSink({}); }
    bool has(int priority, const QString& text) const {
        std::lock_guard<std::mutex> locker(_mutex);
        for (const auto& l : _lines)
            if (l.first == priority && l.second == text) return true;
        return false;
    }
    bool mentions(const QByteArray& secret) const {
        std::lock_guard<std::mutex> locker(_mutex);
        for (const auto& l : _lines)
            if (l.second.toUtf8().contains(secret)) return true;
        return false;
    }
    QString all() const {
        std::lock_guard<std::mutex> locker(_mutex);
        QStringList out;
        for (const auto& l : _lines) out << QStringLiteral("%1: %2").arg(l.first).arg(l.second);
        return out.join(QLatin1Char('\n'));
    }

private:
    mutable std::mutex _mutex;
    std::vector<std::pair<int, QString>> _lines;
};

struct Freed {
    void operator()(char* p) const { std::free(p); }
};
using Password = std::unique_ptr<char, Freed>;

class Keychain : public ::testing::Test {
protected:
    void SetUp() override {
        if (!underWithKeyring())
            GTEST_FAIL() << "needs a Secret Service: run this suite as scripts/with-keyring "
                         << QCoreApplication::applicationFilePath().toStdString();
    }
};

TEST_F(Keychain, AddGetReplaceDeleteRoundTrip) {
    struct Case {
        const char* service;
        const char* account;
        QByteArray first;
        QByteArray second;
    };
    const QByteArray longPassword = QByteArray("0123456789abcdefghijklmnopqrstuvwxyz!#%&").repeated(5);
    ASSERT_EQ(longPassword.size(), 200);
    const std::vector<Case> cases = {
        {"ftp.example.com", "alice", "s3cret", "n3w-s3cret"},
        {"/home/user/project", "svnuser", "", "now-set"},
        {"dav.example.org", "bob", longPassword, "short"},
        {"h\xc3\xb6st.example", "j\xc3\xb6rg", "p\xc3\xa4sswort \xe2\x9c\x93", "again \xe2\x9c\x93"},
        {"my site \"one\"", "a b", "with spaces and \"quotes\"", "x-second-pw"},
    };
    LogCapture log;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.service);
        ASSERT_EQ(AddPasswordToKeychain(c.service, c.account, c.first.constData()), QVKeychainNoError) << log.all().toStdString();
        qint32 status = 1;
        Password got(GetPasswordFromKeychain(c.service, c.account, &status));
        ASSERT_EQ(status, QVKeychainNoError);
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(QByteArray(got.get()), c.first);
        EXPECT_EQ(lookedUp(c.service, c.account), c.first);

        // A second add for the pair updates the one item.
        EXPECT_EQ(AddPasswordToKeychain(c.service, c.account, c.second.constData()), QVKeychainNoError);
        EXPECT_EQ(itemCount(c.service, c.account), 1);
        EXPECT_EQ(lookedUp(c.service, c.account), c.second);
        got.reset(GetPasswordFromKeychain(c.service, c.account, &status));
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(QByteArray(got.get()), c.second);

        EXPECT_EQ(DeletePasswordFromKeychain(c.service, c.account), QVKeychainNoError);
        EXPECT_EQ(lookedUp(c.service, c.account), std::nullopt);
        got.reset(GetPasswordFromKeychain(c.service, c.account, &status));
        EXPECT_EQ(got, nullptr);
        EXPECT_EQ(status, QVKeychainItemNotFound);
        EXPECT_EQ(DeletePasswordFromKeychain(c.service, c.account), QVKeychainItemNotFound);

        EXPECT_FALSE(!c.first.isEmpty() && log.mentions(c.first)) << "a password reached the log";
        EXPECT_FALSE(log.mentions(c.second)) << "a password reached the log";
    }
    EXPECT_TRUE(log.has(SystemLog::Info, QStringLiteral("keychain item already exists.")));
    EXPECT_TRUE(log.has(SystemLog::Info, QStringLiteral("keychain item not found")));
}

TEST_F(Keychain, UpdateChangesOnlyAnExistingItem) {
    LogCapture log;
    EXPECT_EQ(UpdatePasswordInKeychain("nowhere.example", "nobody", "unused-pw"), QVKeychainItemNotFound);
    EXPECT_TRUE(log.has(SystemLog::Info, QStringLiteral("keychain item not found")));
    EXPECT_EQ(lookedUp("nowhere.example", "nobody"), std::nullopt) << "an update must not create the item";

    // An item another program stored is found and changed in place.
    QProcess store;
    store.start(QStringLiteral("secret-tool"), {QStringLiteral("store"), QStringLiteral("--label=outside"),
                                                QStringLiteral("service"), QStringLiteral("outside.example"),
                                                QStringLiteral("account"), QStringLiteral("carol")});
    ASSERT_TRUE(store.waitForStarted(5000));
    store.write("from-secret-tool");
    store.closeWriteChannel();
    ASSERT_TRUE(store.waitForFinished(20000));
    ASSERT_EQ(store.exitCode(), 0);

    EXPECT_EQ(UpdatePasswordInKeychain("outside.example", "carol", "updated-pw"), QVKeychainNoError);
    EXPECT_EQ(lookedUp("outside.example", "carol"), QByteArray("updated-pw"));
    EXPECT_EQ(itemCount("outside.example", "carol"), 1);
    EXPECT_FALSE(log.mentions("updated-pw"));
    EXPECT_EQ(DeletePasswordFromKeychain("outside.example", "carol"), QVKeychainNoError);
}

TEST_F(Keychain, BadInputIsRefused) {
    qint32 status = 0;
    EXPECT_EQ(GetPasswordFromKeychain(nullptr, "a", &status), nullptr);
    EXPECT_EQ(status, QVKeychainBadParameter);
    EXPECT_EQ(GetPasswordFromKeychain("s", "\xff\xfe", &status), nullptr);
    EXPECT_EQ(status, QVKeychainBadParameter);
    EXPECT_EQ(AddPasswordToKeychain("s", "a", nullptr), QVKeychainBadParameter);
    EXPECT_EQ(AddPasswordToKeychain("\xc3", "a", "pw"), QVKeychainBadParameter);
    EXPECT_EQ(UpdatePasswordInKeychain("s", nullptr, "pw"), QVKeychainBadParameter);
    EXPECT_EQ(DeletePasswordFromKeychain(nullptr, nullptr), QVKeychainBadParameter);
    EXPECT_EQ(lookedUp("\xc3", "a"), std::nullopt);
}

TEST_F(Keychain, ManyThreadsAddUpdateGetAndDelete) {
    constexpr int kThreads = 8;
    std::atomic<int> failures{0};
    std::mutex messagesLock;
    QStringList messages;
    auto fail = [&](int t, const QString& what) {
        ++failures;
        std::lock_guard<std::mutex> locker(messagesLock);
        messages << QStringLiteral("thread %1: %2").arg(t).arg(what);
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &fail] {
            const QByteArray account = "user" + QByteArray::number(t);
            const QByteArray first = "first-" + QByteArray::number(t * 7919);
            const QByteArray second = "second-" + QByteArray::number(t * 104729);
            for (int round = 0; round < 3; ++round) {
                if (qint32 s = AddPasswordToKeychain("threads.example", account, first); s != QVKeychainNoError)
                    fail(t, QStringLiteral("add %1").arg(s));
                qint32 status = 1;
                Password got(GetPasswordFromKeychain("threads.example", account, &status));
                if (!got || QByteArray(got.get()) != first) fail(t, QStringLiteral("get first %1").arg(status));
                if (qint32 s = UpdatePasswordInKeychain("threads.example", account, second); s != QVKeychainNoError)
                    fail(t, QStringLiteral("update %1").arg(s));
                got.reset(GetPasswordFromKeychain("threads.example", account, &status));
                if (!got || QByteArray(got.get()) != second) fail(t, QStringLiteral("get second %1").arg(status));
                if (qint32 s = DeletePasswordFromKeychain("threads.example", account); s != QVKeychainNoError)
                    fail(t, QStringLiteral("delete %1").arg(s));
                got.reset(GetPasswordFromKeychain("threads.example", account, &status));
                if (got || status != QVKeychainItemNotFound) fail(t, QStringLiteral("get after delete %1").arg(status));
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0) << messages.join(QLatin1Char('\n')).toStdString();
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(itemCount("threads.example", ("user" + QByteArray::number(t)).constData()), 0);
}

TEST_F(Keychain, RacingAddsForOnePairLeaveOneItem) {
    constexpr int kThreads = 6;
    std::vector<QByteArray> passwords;
    for (int t = 0; t < kThreads; ++t) passwords.push_back("racer-" + QByteArray::number(t));
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            if (AddPasswordToKeychain("race.example", "shared", passwords[t].constData()) != QVKeychainNoError) ++failed;
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(itemCount("race.example", "shared"), 1);
    const auto stored = lookedUp("race.example", "shared");
    ASSERT_TRUE(stored.has_value());
    EXPECT_NE(std::find(passwords.begin(), passwords.end(), *stored), passwords.end());
    EXPECT_EQ(DeletePasswordFromKeychain("race.example", "shared"), QVKeychainNoError);
}

// A Secret Service that stops answering (its process stopped) costs one time-out, not a hang,
// and a failed update is reported and changes nothing.
TEST_F(Keychain, StoppedServiceTimesOut) {
    const pid_t daemon = pid_t(qgetenv("QORVEL_KEYRING_DAEMON_PID").toLongLong());
    ASSERT_GT(daemon, 1);
    ASSERT_EQ(AddPasswordToKeychain("stopped.example", "dave", "before-stop"), QVKeychainNoError);

    const auto oldTimeout = KeychainTimeout();
    SetKeychainTimeout(1500ms);
    struct Resume {
        pid_t pid;
        std::chrono::milliseconds timeout;
        ~Resume() {
            ::kill(pid, SIGCONT);
            SetKeychainTimeout(timeout);
        }
    } resume{daemon, oldTimeout};
    ASSERT_EQ(::kill(daemon, SIGSTOP), 0);

    LogCapture log;
    qint32 status = 0;
    Password got(GetPasswordFromKeychain("stopped.example", "dave", &status));
    EXPECT_EQ(got, nullptr);
    EXPECT_EQ(status, QVKeychainNotAvailable);
    EXPECT_EQ(UpdatePasswordInKeychain("stopped.example", "dave", "during-stop"), QVKeychainNotAvailable);
    // Each call ended by its own time-out, not the bus's: one line each.
    EXPECT_TRUE(log.has(SystemLog::Error, QStringLiteral("Secret Service did not answer within 1500 ms")))
        << log.all().toStdString();
    EXPECT_EQ(log.all().count(QStringLiteral("Secret Service did not answer within 1500 ms")), 2) << log.all().toStdString();
    EXPECT_FALSE(log.mentions("during-stop"));

    ::kill(daemon, SIGCONT);
    SetKeychainTimeout(oldTimeout);
    got.reset(GetPasswordFromKeychain("stopped.example", "dave", &status));
    ASSERT_NE(got, nullptr) << "status " << status;
    EXPECT_EQ(QByteArray(got.get()), QByteArray("before-stop"));
    EXPECT_EQ(DeletePasswordFromKeychain("stopped.example", "dave"), QVKeychainNoError);
}

// Run in a child process whose session bus is dead or missing (see WithoutSecretService).
TEST(KeychainChild, DISABLED_NoSecretService) {
    LogCapture log;
    qint32 status = 0;
    EXPECT_EQ(GetPasswordFromKeychain("ftp.example.com", "alice", &status), nullptr);
    EXPECT_EQ(status, QVKeychainNotAvailable);
    EXPECT_EQ(AddPasswordToKeychain("ftp.example.com", "alice", "child-secret"), QVKeychainNotAvailable);
    EXPECT_EQ(UpdatePasswordInKeychain("ftp.example.com", "alice", "child-secret"), QVKeychainNotAvailable);
    EXPECT_EQ(DeletePasswordFromKeychain("ftp.example.com", "alice"), QVKeychainNotAvailable);
    // Refused by the bus at once: no call waited out its time-out.
    EXPECT_FALSE(log.all().contains(QStringLiteral("did not answer within"))) << log.all().toStdString();
    EXPECT_TRUE(log.has(SystemLog::Error, QStringLiteral("SecKeychainCopyDefault failed")));
    EXPECT_TRUE(log.has(SystemLog::Error,
                        QStringLiteral("SecKeychainCopyDefault failed. Make sure you have a keychain available.")));
    EXPECT_FALSE(log.mentions("child-secret"));
}

TEST(KeychainWithoutService, FailsQuicklyWithAClearStatus) {
    TestDir dir;
    struct Setting {
        const char* name;
        QString busAddress;  // empty: no address at all
    };
    const std::vector<Setting> settings = {
        {"dead socket", QStringLiteral("unix:path=") + dir.file(QStringLiteral("no-bus-here"))},
        {"no bus address", {}},
    };
    for (const Setting& s : settings) {
        SCOPED_TRACE(s.name);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.path());
        if (!s.busAddress.isEmpty()) env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), s.busAddress);
        QProcess child;
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--gtest_also_run_disabled_tests"),
                     QStringLiteral("--gtest_filter=KeychainChild.DISABLED_NoSecretService")});
        ASSERT_TRUE(child.waitForStarted(5000));
        const bool finished = child.waitForFinished(30000);
        if (!finished) child.kill();
        const QByteArray output = child.readAll();
        ASSERT_TRUE(finished) << "the keychain calls hung without a Secret Service\n" << output.toStdString();
        EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
        EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.toStdString();
    }
}

}  // namespace
