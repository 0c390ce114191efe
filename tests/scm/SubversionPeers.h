// Real Subversion peers for the tests: a repository made with svnadmin and a working copy of it,
// and a private svnserve on a free loopback port that wants a password. Everything lives in a
// test folder; svnserve is stopped by its PID.
#pragma once

#include "platform/UserDefaults.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <gtest/gtest.h>

namespace scmtest {

inline const QString svn = QStringLiteral("/usr/bin/svn");

// Runs the client (non-interactive, English) and answers its standard output; fails the test
// when it fails.
inline QByteArray client(const QStringList& arguments, const QString& folder, const QByteArray& input = {}) {
    QProcess process;
    process.setWorkingDirectory(folder);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    process.setProcessEnvironment(environment);
    process.start(svn, QStringList{QStringLiteral("--non-interactive"), QStringLiteral("--no-auth-cache")} + arguments);
    process.write(input);
    process.closeWriteChannel();
    process.waitForFinished(60000);
    EXPECT_EQ(process.exitCode(), 0) << arguments.join(u' ').toStdString() << ": " << process.readAllStandardError().toStdString();
    return process.readAllStandardOutput();
}

// A repository and a checked-out working copy ("wc") of it.
struct Repository {
    TestDir dir;
    QString url;
    QString wc;
    QStringList commitArguments;
    // Checks out the repository made here, or checkoutURL with the extra arguments.
    explicit Repository(const QString& checkoutURL = {}, const QStringList& extra = {}) {
        QProcess::execute(QStringLiteral("/usr/bin/svnadmin"), {QStringLiteral("create"), dir.file(QStringLiteral("repo"))});
        url = checkoutURL.isEmpty() ? QStringLiteral("file://") + dir.file(QStringLiteral("repo")) : checkoutURL;
        wc = dir.file(QStringLiteral("wc"));
        client(QStringList{QStringLiteral("checkout")} + extra + QStringList{url, wc}, dir.path());
        UserDefaults::standard().setString(svn, QStringLiteral("QVSubversionExecPath"));
    }
    // Adds and commits files (name -> contents) as one revision.
    void commit(const QList<std::pair<QString, QByteArray>>& files, const QString& message = QStringLiteral("files")) {
        QStringList names;
        for (const auto& [name, bytes] : files) {
            names << QStringLiteral("./") + name + (name.contains(u'@') ? QStringLiteral("@") : QString());
            dir.write(QStringLiteral("wc/") + name, bytes);
        }
        client(QStringList{QStringLiteral("add"), QStringLiteral("--parents"), QStringLiteral("--force")} + names, wc);
        client(QStringList{QStringLiteral("commit"), QStringLiteral("-m"), message} + commitArguments, wc);
    }
};

// svnserve over a repository, wanting "alice" with "secret".
struct Svnserve {
    TestDir dir;
    QProcess process;
    QString url;
    Svnserve() {
        QProcess::execute(QStringLiteral("/usr/bin/svnadmin"), {QStringLiteral("create"), dir.file(QStringLiteral("repo"))});
        dir.write(QStringLiteral("repo/conf/svnserve.conf"),
                  "[general]\nanon-access = none\nauth-access = write\npassword-db = passwd\n");
        dir.write(QStringLiteral("repo/conf/passwd"), "[users]\nalice = secret\n");
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        const quint16 port = probe.serverPort();
        probe.close();
        process.start(QStringLiteral("/usr/bin/svnserve"),
                      {QStringLiteral("-d"), QStringLiteral("--foreground"), QStringLiteral("--listen-host"), QStringLiteral("127.0.0.1"),
                       QStringLiteral("--listen-port"), QString::number(port), QStringLiteral("-r"), dir.file(QStringLiteral("repo"))});
        process.waitForStarted();
        url = QStringLiteral("svn://127.0.0.1:%1/").arg(port);
        for (int i = 0; i < 100; ++i) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, port);
            if (socket.waitForConnected(100)) break;
            QThread::msleep(50);
        }
    }
    ~Svnserve() {
        process.kill();
        process.waitForFinished();
    }
};

}  // namespace scmtest
