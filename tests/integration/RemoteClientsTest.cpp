// The real clients (tnftp, OpenSSH sftp, cadaver) against real servers started by
// scripts/with-remote-peers: logins and the quoting of hostile names.
#include "files/QVConnectAction.h"
#include "files/QVRemoteFileAction.h"
#include "tests/files/RemoteActionTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace {

struct Peer {
    int type;
    QString host, user, password, root;
    int port = 0;
    QStringList arguments;
    bool available() const { return port > 0; }
};

Peer peer(int type) {
    Peer p{type, "127.0.0.1", qEnvironmentVariable("QORVEL_PEER_USER"), qEnvironmentVariable("QORVEL_PEER_PASSWORD"), {}};
    switch (type) {
    case QVRemoteFilesConnection::FTP:
        p.port = qEnvironmentVariableIntValue("QORVEL_FTP_PORT");
        p.root = qEnvironmentVariable("QORVEL_FTP_ROOT");
        break;
    case QVRemoteFilesConnection::SFTP:
        p.port = qEnvironmentVariableIntValue("QORVEL_SFTP_PORT");
        p.user = qEnvironmentVariable("QORVEL_SFTP_USER");
        p.root = qEnvironmentVariable("QORVEL_SFTP_ROOT");
        break;
    default:
        p.port = qEnvironmentVariableIntValue("QORVEL_DAV_PORT");
        p.root = qEnvironmentVariable("QORVEL_DAV_ROOT");
        break;
    }
    return p;
}

const char* name(int type) { return type == 0 ? "ftp" : type == 1 ? "sftp" : "webdav"; }

std::shared_ptr<QVConnectAction> login(const std::shared_ptr<QVRemoteFilesConnection>& c, const Peer& p,
                                       const QString& password) {
    // QORVEL_REMOTE_LOG=1 shows the clients' conversation when a test goes wrong.
    if (qEnvironmentVariableIsSet("QORVEL_REMOTE_LOG"))
        c->setLogDelegate([](const QString& t) { fprintf(stderr, "%s", qPrintable(t)); });
    auto action = QVConnectAction::make(c, p.host, p.port, p.user, password, p.arguments);
    action->setPath("/dav/");
    return action;
}

}  // namespace

TEST(RemoteClients, LoginsSucceedOnlyWithTheRightPasswordAtTheConnectedPrompt) {
    for (int type : {0, 1, 2}) {
        const Peer p = peer(type);
        SCOPED_TRACE(name(type));
        if (!p.available()) {
            ADD_FAILURE() << "peer not started";
            continue;
        }
        struct Case {
            const char* what;
            QString password;
            int port;
            bool result;
            bool credentials;
        };
        const Case cases[] = {
            {"right password", p.password, p.port, true, false},
            {"wrong password", "wrong-" + p.password, p.port, false, true},
            {"nothing listens", p.password, 1, false, false},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.what);
            auto connection = std::make_shared<QVRemoteFilesConnection>(type);
            Peer q = p;
            q.port = c.port;
            auto action = login(connection, q, c.password);
            auto outcome = runToOutcome(action, std::chrono::seconds(40));
            ASSERT_TRUE(outcome) << "the login never reported";
            EXPECT_EQ(outcome->result, c.result);
            EXPECT_EQ(action->credentialsWereSent() && !outcome->result, c.credentials) << action->state();
            if (outcome->result) {
                // Logged in means commands work now; "quit" ends the client.
                auto quit = std::make_shared<QVCommandAction>(connection, "quit", true);
                auto q2 = runToOutcome(quit);
                ASSERT_TRUE(q2);
                EXPECT_TRUE(q2->result);
            }
            connection->kill();
        }
    }
}

TEST(RemoteClients, HostileNamesArriveExactlyAsWritten) {
    QTemporaryDir local;
    const QString source = local.filePath("source");
    QFile f(source);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("x");
    f.close();
    const QStringList hostile = {"a b", "q\"uo\"te", "back\\slash", "-rf", "!shell", "semi;colon", "*.star",
                                 QString::fromUtf8("\xC3\xA9t\xC3\xA9")};
    for (int type : {0, 1, 2}) {
        const Peer p = peer(type);
        SCOPED_TRACE(name(type));
        if (!p.available()) {
            ADD_FAILURE() << "peer not started";
            continue;
        }
        auto connection = std::make_shared<QVRemoteFilesConnection>(type);
        auto l = runToOutcome(login(connection, p, p.password), std::chrono::seconds(40));
        ASSERT_TRUE(l && l->result);
        QStringList expected;
        for (const QString& n : hostile) {
            const auto remote = QVRemoteFileAction::quotedPath(type, n);
            if (!remote) continue;  // refused with a reason (cadaver wildcards)
            expected << n;
            auto put = std::make_shared<QVCommandAction>(
                connection, "put " + *QVRemoteFileAction::quotedPath(type, source) + ' ' + *remote, false);
            auto o = runToOutcome(put);
            ASSERT_TRUE(o) << n.toStdString();
            EXPECT_TRUE(o->result) << n.toStdString() << ": " << put->lastReply().join(" | ").toStdString();
        }
        QStringList found = QDir(p.root).entryList(QDir::Files | QDir::NoDotAndDotDot | QDir::Hidden);
        found.removeIf([](const QString& n) { return n.startsWith(".") && n != "-rf"; });
        for (const QString& n : expected) EXPECT_TRUE(found.contains(n)) << n.toStdString() << " in " << found.join(", ").toStdString();
        EXPECT_EQ(found.size(), expected.size()) << found.join(", ").toStdString();
        for (const QString& n : found) QFile::remove(QDir(p.root).filePath(n));
        connection->kill();
    }
}
