// A crafted project folder, opened as the command line opens a folder, connects by itself to the
// real sshd: the ssh options it names (a known-hosts file of its choosing, a host-key alias of
// shell text) write nothing; the new host key goes to the known hosts of the user's own home.
#include "app/FileOpener.h"
#include "files/QVRemoteLogController.h"
#include "platform/MainQueue.h"
#include "platform/Paths.h"
#include "platform/PropertyList.h"
#include "projects/QVProject.h"
#include "projects/windows/QVProjectWindowController.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QPointer>

TEST(ProjectFolderSite, ACraftedProjectFolderWritesNothingThroughItsSSHOptions) {
    const int port = qEnvironmentVariableIntValue("QORVEL_SFTP_PORT");
    ASSERT_GT(port, 0) << "peer not started";
    TestDir dir;
    const QByteArray bashrc = "# a user's shell start-up\n";
    const QString victim = dir.write("victim.bashrc", bashrc);
    const QString ran = dir.file("ran");
    const QString knownHosts = Paths::home() + "/.ssh/known_hosts";
    QFile::remove(knownHosts);
    QDir().mkpath(dir.file("site"));
    const QVariantMap options{{"other", "-v -oUserKnownHostsFile=" + victim + " -o GlobalKnownHostsFile=" + victim},
                              {"oHostKeyAlias", "x;touch${IFS}" + ran + ";"},
                              {"oStrictHostKeyChecking", "no"},
                              {"oUpdateHostKeys", "yes"},
                              {"oCheckHostIP", "yes"}};
    const QVariantMap plist{
        {"format-version", 1},
        {"type", qint32(QVProject::RemoteOnly)},
        {"configuration", QVariantMap{{QVProject::ConnectAutomaticallyKey, true}}},
        {"remote-metadata", QVariantMap{{"host", "127.0.0.1"}, {"port", port}, {"protocol", 1}, {"use-keychain", false},
                                        {"user", qEnvironmentVariable("QORVEL_SFTP_USER")}, {"options", options}}}};
    ASSERT_TRUE(PropertyList::writeFile(plist, dir.file("site/site.qvproj"), PlistFormat::XML));

    QPointer<QVProjectWindowController> window = qobject_cast<QVProjectWindowController*>(FileOpener::open(dir.file("site")));
    ASSERT_TRUE(window);
    // Nothing clicked: the client gets as far as the password, past the host key.
    const bool asked = MainQueue::runUntil([&] { return window->logController()->logString().contains("password:"); },
                                           std::chrono::seconds(30));
    const QString log = window->logController()->logString();
    EXPECT_TRUE(asked) << log.toStdString();
    EXPECT_EQ(readAll(victim), bashrc);
    EXPECT_FALSE(QFile::exists(ran));
    // The key went where the user keeps them, under the host itself (hashed or not).
    const QByteArray known = readAll(knownHosts);
    EXPECT_TRUE(known.startsWith("|1|") || known.startsWith("[127.0.0.1]:" + QByteArray::number(port) + " "))
        << known.toStdString();
    window->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}
