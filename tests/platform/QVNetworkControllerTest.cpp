// Host reachability: name rules, the synchronous test on real addresses, and observers told of
// route changes inside a private network namespace.
#include "platform/MainQueue.h"
#include "platform/QVNetworkController.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

TEST(QVNetworkController, HostNamesNormalize) {
    struct Case {
        const char* text;
        const char* normalized;
        const char* address;  // what is resolved
    };
    const std::vector<Case> cases = {
        {"ftp://ftp.example.com/pub/files", "ftp.example.com", "ftp.example.com"},
        {"sftp://user@host.example:2222/home/user", "user@host.example:2222", "host.example"},
        {"dav.example.org/dav/", "dav.example.org", "dav.example.org"},
        {"user@host.example:21", "user@host.example:21", "host.example"},
        {"ftp:host.example", "host.example", "host.example"},
        // A port is not a scheme: "localhost:2121" must not turn into the host "2121".
        {"localhost:2121", "localhost:2121", "localhost"},
        {"localhost:2121/incoming", "localhost:2121", "localhost"},
        {"[::1]:21", "[::1]:21", "::1"},
        {"ftp://[::1]:2121/", "[::1]:2121", "::1"},
        {"fe80::1", "fe80::1", "fe80::1"},
        {"2001:db8::7", "2001:db8::7", "2001:db8::7"},
        {"plain-host", "plain-host", "plain-host"},
    };
    for (const Case& c : cases) {
        const QString normalized = QVNetworkControllerObserver::normalizedHostName(QString::fromUtf8(c.text));
        EXPECT_EQ(normalized.toStdString(), c.normalized) << c.text;
        EXPECT_EQ(QVNetworkControllerObserver::addressPart(normalized).toStdString(), c.address) << c.text;
    }
}

TEST(QVNetworkController, FlagsRule) {
    const std::vector<std::pair<quint32, bool>> cases = {
        {0x2, true},      {0x2 | 0x4, false}, {0x2 | 0x10, false}, {0x20000, true},
        {0x10000, true},  {0x20006, true},    {0x0, false},        {0x4, false},
    };
    for (const auto& [flags, reachable] : cases)
        EXPECT_EQ(QVNetworkControllerObserver::flagsIndicateReachability(flags), reachable) << std::hex << flags;
}

TEST(QVNetworkController, LoopbackIsReachableAndLocal) {
    const quint32 local = QVReachabilityReachable | QVReachabilityIsLocalAddress | QVReachabilityIsDirect;
    quint32 flags = 0;
    ASSERT_TRUE(QVNetworkController::reachabilityFlags(QStringLiteral("127.0.0.1"), &flags));
    EXPECT_EQ(flags, local);
    // Were the port taken for the host, "2121" would resolve to 0.0.8.49, not to this machine.
    ASSERT_TRUE(QVNetworkController::reachabilityFlags(QStringLiteral("localhost:2121"), &flags));
    EXPECT_EQ(flags & QVReachabilityIsLocalAddress, QVReachabilityIsLocalAddress);

    for (const char* host : {"127.0.0.1", "localhost", "localhost:2121", "ftp://localhost:2121/pub", "user@127.0.0.1:22"}) {
        QVError error;
        EXPECT_TRUE(QVNetworkController::hostIsReachable(QString::fromUtf8(host), &error)) << host;
        EXPECT_TRUE(error.isNull()) << host;
    }
    if (QVNetworkController::reachabilityFlags(QStringLiteral("::1"), &flags) && flags) {
        EXPECT_EQ(flags, local);
        EXPECT_TRUE(QVNetworkController::hostIsReachable(QStringLiteral("[::1]:21")));
    }
}

TEST(QVNetworkController, UnresolvableHostIsUnreachableWithError10) {
    quint32 flags = 7;
    EXPECT_FALSE(QVNetworkController::reachabilityFlags(QStringLiteral("no-such-host.invalid"), &flags));
    EXPECT_EQ(flags, 0u);
    EXPECT_FALSE(QVNetworkController::reachabilityFlags(QString(), &flags));

    QVError error;
    EXPECT_FALSE(QVNetworkController::hostIsReachable(QStringLiteral("ftp://no-such-host.invalid:21/pub"), &error));
    EXPECT_EQ(error.domain(), QVError::applicationDomain());
    EXPECT_EQ(error.code(), 10);
    EXPECT_EQ(error.localizedDescription(), QStringLiteral("Cannot connect to host"));
    EXPECT_EQ(error.localizedRecoverySuggestion(),
              QStringLiteral("Qorvel was unable to connect to \"no-such-host.invalid:21\". Please check your network "
                             "configuration."));
    EXPECT_FALSE(QVNetworkController::hostIsReachable(QStringLiteral("no-such-host.invalid")));  // no error asked
}

struct Report {
    QString host;
    bool reachable;
    bool onMainThread;
};

TEST(QVNetworkController, ObserversHearTheStartingStateOnTheMainQueueUnlessGone) {
    QVNetworkController controller;
    std::vector<Report> kept, removed, released, replaced;
    auto record = [](std::vector<Report>& into) {
        return [&into](const QString& host, bool reachable) {
            into.push_back({host, reachable, MainQueue::isMainThread()});
        };
    };
    auto keeper = std::make_shared<int>(1);
    auto remover = std::make_shared<int>(2);
    auto releaser = std::make_shared<int>(3);
    auto replacer = std::make_shared<int>(4);
    controller.addObserver(keeper, QStringLiteral("ftp://127.0.0.1/"), record(kept));
    controller.addObserver(remover, QStringLiteral("127.0.0.1"), record(removed));
    controller.addObserver(releaser, QStringLiteral("127.0.0.1"), record(released));
    controller.addObserver(replacer, QStringLiteral("127.0.0.1"), record(removed));
    controller.addObserver(replacer, QStringLiteral("no-such-host.invalid"), record(replaced));
    controller.removeObserver(&kept);  // never registered: changes nothing

    // Give the listener time to post while the main queue is not running, then end two of
    // the observations: what was queued for them must not arrive.
    std::this_thread::sleep_for(300ms);
    controller.removeObserver(remover.get());
    releaser.reset();

    ASSERT_TRUE(MainQueue::runUntil([&] { return !kept.empty() && !replaced.empty(); }, 10s));
    MainQueue::runUntil([] { return false; }, 200ms);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].host, QStringLiteral("127.0.0.1"));
    EXPECT_TRUE(kept[0].reachable);
    EXPECT_TRUE(kept[0].onMainThread);
    ASSERT_EQ(replaced.size(), 1u);
    EXPECT_EQ(replaced[0].host, QStringLiteral("no-such-host.invalid"));
    EXPECT_FALSE(replaced[0].reachable);
    EXPECT_TRUE(removed.empty());
    EXPECT_TRUE(released.empty());
}

// A private network namespace with one veth link: the observed host is reachable while the
// link is up and its route exists, and the observer hears each change.
class NetworkNamespace {
public:
    NetworkNamespace() : _name(QStringLiteral("qorvel-test-%1").arg(::getpid())) {}
    ~NetworkNamespace() {
        if (_entered) ::setns(_home, CLONE_NEWNET);
        if (_home >= 0) ::close(_home);
        if (_created) ip({QStringLiteral("netns"), QStringLiteral("del"), _name});
    }

    // Empty on success, else why the namespace cannot be had.
    QString create() {
        if (::geteuid() != 0) return QStringLiteral("creating a network namespace needs root");
        if (QStandardPaths::findExecutable(QStringLiteral("ip")).isEmpty())
            return QStringLiteral("iproute2's ip is not installed");
        QString out;
        if (!ip({QStringLiteral("netns"), QStringLiteral("add"), _name}, &out)) return QStringLiteral("ip netns add: ") + out;
        _created = true;
        const QStringList setup[] = {
            {QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("lo"), QStringLiteral("up")},
            {QStringLiteral("link"), QStringLiteral("add"), QStringLiteral("qv0"), QStringLiteral("type"),
             QStringLiteral("veth"), QStringLiteral("peer"), QStringLiteral("name"), QStringLiteral("qv1")},
            {QStringLiteral("addr"), QStringLiteral("add"), QStringLiteral("10.213.0.1/24"), QStringLiteral("dev"),
             QStringLiteral("qv0")},
            {QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("qv1"), QStringLiteral("up")},
            {QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("qv0"), QStringLiteral("up")},
        };
        for (const QStringList& step : setup)
            if (!inside(step, &out)) return QStringLiteral("ip %1: %2").arg(step.join(QLatin1Char(' ')), out);
        return {};
    }

    // Moves the calling thread (and the threads and processes it starts) into the namespace.
    QString enter() {
        _home = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        const int target = ::open(QFile::encodeName(QStringLiteral("/run/netns/") + _name).constData(), O_RDONLY | O_CLOEXEC);
        if (_home < 0 || target < 0 || ::setns(target, CLONE_NEWNET) != 0) {
            if (target >= 0) ::close(target);
            return QStringLiteral("setns: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        }
        ::close(target);
        _entered = true;
        return {};
    }

    bool inside(const QStringList& args, QString* out = nullptr) {
        return ip(QStringList{QStringLiteral("-n"), _name} + args, out);
    }

private:
    static bool ip(const QStringList& args, QString* out = nullptr) {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(QStringLiteral("ip"), args);
        const bool ok = p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
        if (out) *out = QString::fromLocal8Bit(p.readAll()).trimmed();
        return ok;
    }

    QString _name;
    bool _created = false;
    bool _entered = false;
    int _home = -1;
};

TEST(QVNetworkController, ObserverHearsARouteDisappearAndReturn) {
    NetworkNamespace ns;
    if (const QString why = ns.create(); !why.isEmpty()) GTEST_SKIP() << why.toStdString();
    ASSERT_EQ(ns.enter(), QString());

    QVNetworkController controller;  // its thread starts inside the namespace
    EXPECT_TRUE(QVNetworkController::hostIsReachable(QStringLiteral("10.213.0.7")));
    quint32 flags = 0;
    ASSERT_TRUE(QVNetworkController::reachabilityFlags(QStringLiteral("10.213.0.7"), &flags));
    EXPECT_EQ(flags, QVReachabilityReachable | QVReachabilityIsDirect);

    std::vector<Report> reports;
    auto observer = std::make_shared<int>(0);
    controller.addObserver(observer, QStringLiteral("sftp://10.213.0.7:2222/srv"),
                           [&](const QString& host, bool reachable) {
                               reports.push_back({host, reachable, MainQueue::isMainThread()});
                           });
    ASSERT_TRUE(MainQueue::runUntil([&] { return reports.size() >= 1; }, 10s));
    EXPECT_EQ(reports[0].host, QStringLiteral("10.213.0.7:2222"));
    EXPECT_TRUE(reports[0].reachable);

    ASSERT_TRUE(ns.inside({QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("qv0"), QStringLiteral("down")}));
    ASSERT_TRUE(MainQueue::runUntil([&] { return reports.size() >= 2; }, 10s)) << "no callback when the route went";
    EXPECT_FALSE(reports[1].reachable);
    EXPECT_TRUE(reports[1].onMainThread);
    QVError error;
    EXPECT_FALSE(QVNetworkController::hostIsReachable(QStringLiteral("10.213.0.7"), &error));
    EXPECT_EQ(error.code(), 10);

    ASSERT_TRUE(ns.inside({QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("qv0"), QStringLiteral("up")}));
    ASSERT_TRUE(MainQueue::runUntil([&] { return reports.size() >= 3; }, 10s)) << "no callback when the route returned";
    EXPECT_TRUE(reports[2].reachable);

    // Once removed, the observer hears nothing more.
    controller.removeObserver(observer.get());
    ASSERT_TRUE(ns.inside({QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("qv0"), QStringLiteral("down")}));
    MainQueue::runUntil([] { return false; }, 1500ms);
    EXPECT_EQ(reports.size(), 3u);
}

}  // namespace
