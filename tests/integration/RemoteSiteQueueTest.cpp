// The per-site queue against real servers: login first, one action at a time, errors that let
// the next action run, reconnection after a killed client, offline holding, failures that end
// the queue.
#include "files/QVRemoteSiteQueue.h"
#include "platform/UserDefaults.h"

#include <gtest/gtest.h>

#include <QDebug>
#include <QDir>
#include <QRegularExpression>

#include <condition_variable>
#include <csignal>
#include <mutex>
#include <thread>

namespace {

using C = QVRemoteFilesConnection;

class Recorder : public QVRemoteSiteQueueDelegate {
public:
    std::mutex lock;
    std::condition_variable changed;
    QStringList events;

    void add(const QString& e) {
        std::lock_guard g(lock);
        events << e;
        changed.notify_all();
    }
    bool waitFor(const QString& prefix, int count = 1, int ms = 40000) {
        std::unique_lock g(lock);
        return changed.wait_for(g, std::chrono::milliseconds(ms), [&] {
            int n = 0;
            for (const QString& e : events) n += e.startsWith(prefix);
            return n >= count;
        });
    }
    QStringList snapshot() {
        std::lock_guard g(lock);
        return events;
    }
    QStringList statuses;
    QStringList statusSnapshot() {
        std::lock_guard g(lock);
        return statuses;
    }
    void queueSetStatus(QVRemoteSiteQueue*, const QString& status, bool) override {
        std::lock_guard g(lock);
        statuses << status;
    }
    void queueOpenedConnection(QVRemoteSiteQueue*) override { add("opened"); }
    void queueClosedConnection(QVRemoteSiteQueue*) override { add("closed"); }
    void queueHadError(QVRemoteSiteQueue*, const QVError& e) override {
        add(QString("error %1 %2%3").arg(e.code()).arg(e.localizedDescription(), e.isLowPriority() ? " low" : ""));
    }
    void queueHadCredentialsFailure(QVRemoteSiteQueue*) override { add("credentials"); }
    void queueHadFatalFailure(QVRemoteSiteQueue*) override { add("fatal"); }
    void queueRetrievedFiles(QVRemoteSiteQueue*, const QList<QVRemoteFile>& files, const QString& path) override {
        QStringList names;
        for (const QVRemoteFile& f : files) names << f.name();
        names.sort();
        add("listed " + path + ": " + names.join(","));
    }
    void queueCreatedDirectory(QVRemoteSiteQueue*, const QString& path) override { add("created " + path); }
    void queueActionFailed(QVRemoteSiteQueue*, QVRemoteFileAction*, const QVError& e) override {
        add("failed " + e.localizedDescription());
    }
};

struct Site {
    int type;
    int port;
    QString user, root;
    QStringList arguments;
};

std::optional<Site> site(int type) {
    Site s{type, 0, qEnvironmentVariable("QORVEL_PEER_USER"), {}, {}};
    if (type == C::FTP) {
        s.port = qEnvironmentVariableIntValue("QORVEL_FTP_PORT");
        s.root = qEnvironmentVariable("QORVEL_FTP_ROOT");
    } else if (type == C::WebDAV) {
        s.port = qEnvironmentVariableIntValue("QORVEL_DAV_PORT");
        s.root = qEnvironmentVariable("QORVEL_DAV_ROOT");
    } else {
        s.port = qEnvironmentVariableIntValue("QORVEL_SFTP_PORT");
        s.user = qEnvironmentVariable("QORVEL_SFTP_USER");
        s.root = qEnvironmentVariable("QORVEL_SFTP_ROOT");
    }
    if (s.port <= 0) return std::nullopt;
    return s;
}

}  // namespace

TEST(RemoteSiteQueue, RunsInOrderRecoversFromAKilledClientAndHoldsWorkOffline) {
    for (int type : {C::FTP, C::SFTP}) {
        auto s = site(type);
        SCOPED_TRACE(type);
        ASSERT_TRUE(s) << "peer not started";
        auto recorder = std::make_shared<Recorder>();
        auto queue = QVRemoteSiteQueue::make(type, recorder);
        queue->connectToHost("127.0.0.1", s->port, s->user, qEnvironmentVariable("QORVEL_PEER_PASSWORD"), s->arguments);
        const QString base = type == C::FTP ? "/q" : s->root + "/q";
        queue->createDirectory(base, nullptr);
        queue->createDirectory(base + "/one", nullptr);
        queue->getFileListing(base + "/missing", nullptr);
        queue->createDirectory(base + "/two", nullptr);
        queue->getFileListing(base, nullptr);
        ASSERT_TRUE(recorder->waitFor("listed"));
        EXPECT_EQ(recorder->snapshot(),
                  (QStringList{"opened", "created " + base, "created " + base + "/one",
                               "error 1 Could Not Retrieve File Listing", "created " + base + "/two",
                               "listed " + base + ": one,two"}));

        // A client killed behind the queue's back: the next action logs in again and runs.
        ::kill(queue->connection()->pid(), SIGKILL);
        queue->getFileListing(base + "/two", nullptr);
        ASSERT_TRUE(recorder->waitFor("listed", 2));
        EXPECT_EQ(recorder->snapshot().mid(6), (QStringList{"opened", "listed " + base + "/two: "}));

        // Offline: a low-priority error, work waits, and runs when the network returns.
        queue->networkStatusChanged("127.0.0.1", false);
        queue->getFileListing(base, nullptr);
        ASSERT_TRUE(recorder->waitFor("error 11"));
        EXPECT_FALSE(recorder->waitFor("listed", 3, 1500));
        queue->networkStatusChanged("127.0.0.1", true);
        ASSERT_TRUE(recorder->waitFor("listed", 3));
        EXPECT_EQ(recorder->snapshot().mid(8), (QStringList{"error 11 Network Lost low", "listed " + base + ": one,two"}));

        // The status line shows a name's CR pictured, never raw (it would read as "crend").
        queue->createDirectory(base + "/crend\r", nullptr);
        ASSERT_TRUE(recorder->waitFor("error", 3));
        EXPECT_TRUE(recorder->statusSnapshot().contains(QString::fromUtf8("Creating directory \"crend\xe2\x90\x8d\"")))
            << recorder->statusSnapshot().join(" | ").toStdString();

        queue->closeConnection();
        ASSERT_TRUE(recorder->waitFor("closed"));
        EXPECT_EQ(queue->state(), QVRemoteSiteQueue::Closed);
        // Work for a closed queue fails at once instead of waiting for ever.
        auto late = std::make_shared<Recorder>();
        queue->createDirectory(base + "/late", late);
        ASSERT_TRUE(late->waitFor("failed", 1, 1000));
        EXPECT_FALSE(QDir(s->root).exists("q/late"));
        QDir(s->root + "/q").removeRecursively();
    }
}

TEST(RemoteSiteQueue, RefusedLoginsAndUnknownHostsEndTheQueueAndTellWhoWaits) {
    UserDefaults::standard().setObject(QVariant(), QVRemoteSiteQueue::RecentHostsKey);
    struct Case {
        const char* what;
        int type;
        QString host;
        bool rightPassword;
        QStringList events;
        QString folder = {};
        int port = 0;  // the peer's own
        int runs = 1;
    };
    const Case cases[] = {
        // The site's folder is gone: work meant for it never runs in the login folder instead.
        {"missing site folder", C::FTP, "127.0.0.1", true, {"fatal", "failed Could Not Make Remote Directory", "closed"},
         "/no-such-folder"},
        // On WebDAV the login opens it: Apache's 404 with the right password is no refused password.
        {"missing webdav folder", C::WebDAV, "127.0.0.1", true, {"fatal", "failed Could Not Make Remote Directory", "closed"},
         "/dav/no-such-folder"},
        {"ftp wrong password", C::FTP, "127.0.0.1", false, {"credentials", "failed Could Not Make Remote Directory", "closed"}},
        {"sftp wrong password", C::SFTP, "127.0.0.1", false, {"credentials", "failed Could Not Make Remote Directory", "closed"}},
        {"unknown host", C::FTP, "no-such-host.invalid", true, {"error 10", "fatal"}},
        // Nothing listens on port 1: the failure is told at once, a few times over, since the
        // moment between a failure and the queue's end is short.
        {"ftp nothing listens", C::FTP, "127.0.0.1", true, {"fatal", "failed Could Not Make Remote Directory", "closed"}, {}, 1, 8},
        {"sftp nothing listens", C::SFTP, "127.0.0.1", true, {"fatal", "failed Could Not Make Remote Directory", "closed"}, {}, 1, 8},
        {"webdav nothing listens", C::WebDAV, "127.0.0.1", true, {"fatal", "failed Could Not Make Remote Directory", "closed"}, {}, 1, 8},
    };
    for (const Case& c : cases) {
        for (int run = 0; run < c.runs; ++run) {
            SCOPED_TRACE(c.what);
            auto s = site(c.type);
            ASSERT_TRUE(s);
            auto recorder = std::make_shared<Recorder>();
            auto waiting = std::make_shared<Recorder>();
            auto queue = QVRemoteSiteQueue::make(c.type, recorder);
            // Every state the queue passes through, as a window asking "connected?" would see it:
            // a queue never logged in is never Idle or Busy, and none is once it is Closing.
            std::atomic<bool> watching{true};
            QList<int> states;
            std::thread watcher([&] {
                int last = -1;
                while (watching) {
                    const int now = queue->state();
                    if (now != last) states << (last = now);
                }
            });
            const QString password = qEnvironmentVariable("QORVEL_PEER_PASSWORD");
            queue->setInitialWorkingDirectory(c.folder);
            queue->connectToHost(c.host, c.port ? c.port : s->port, s->user, c.rightPassword ? password : "wrong" + password,
                                 s->arguments);
            if (!c.folder.isEmpty() && c.type != C::WebDAV) queue->changeToDirectory(c.folder);
            queue->createDirectory("never", waiting);
            const bool ended = recorder->waitFor(c.events.last().left(5));
            if (ended && c.events.last() == "closed") {
                EXPECT_EQ(queue->state(), QVRemoteSiteQueue::Closed);
            }
            watching = false;
            watcher.join();
            ASSERT_TRUE(ended);
            const bool loggedIn = c.events.first() == "fatal" && !c.folder.isEmpty();
            const qsizetype closing = states.indexOf(QVRemoteSiteQueue::Closing);
            for (qsizetype i = 0; i < states.size(); ++i) {
                const bool connected = states[i] == QVRemoteSiteQueue::Idle || states[i] == QVRemoteSiteQueue::Busy;
                EXPECT_FALSE(connected && (!loggedIn || (closing >= 0 && i > closing)))
                    << i << " of " << QDebug::toString(states).toStdString();
            }
            QStringList events = recorder->snapshot();
            for (QString& e : events) e = e.section(' ', 0, 1).startsWith("error") ? e.left(8) : e;
            QStringList expected = c.events;
            expected.removeAll("failed Could Not Make Remote Directory");
            EXPECT_EQ(events.filter(QRegularExpression("^(credentials|fatal|closed|error 10)")), expected);
            if (c.events.contains("failed Could Not Make Remote Directory")) {
                EXPECT_TRUE(waiting->waitFor("failed", 1, 5000));
            }
            EXPECT_FALSE(QDir(s->root).exists("never"));
        }
    }
    // Every host reached was noted once, newest first.
    const QVariantList recent = UserDefaults::standard().arrayForKey(QVRemoteSiteQueue::RecentHostsKey);
    ASSERT_EQ(recent.size(), 1);
    EXPECT_EQ(recent[0].toMap().value("QVRecentRemoteHost").toString(), "127.0.0.1");
}
