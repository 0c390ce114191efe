// A remote-only project's window on the loopback FTP server: it connects by itself, a remote
// file opens once downloaded and uploads when saved (seen on the server's disk), a folder opens
// as one transfer tab that comes forward again, and tabs of both kinds switch the status bar.
#include "editor/HTMLView.h"
#include "editor/QVFileDocument.h"
#include "editor/QVStatusBar.h"
#include "editor/QVTab.h"
#include "editor/QVTabView.h"
#include "files/QVCredentialsController.h"
#include "files/QVRemoteLogController.h"
#include "files/QVRemoteSiteQueue.h"
#include "files/QVRootFile.h"
#include "platform/MainQueue.h"
#include "projects/QVProject.h"
#include "projects/windows/QVProjectOutlineModel.h"
#include "projects/windows/QVProjectWindowController.h"
#include "projects/windows/QVTransferModeDocument.h"
#include "shell/QVAlertManager.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

namespace {

bool await(const std::function<bool()>& done) { return MainQueue::runUntil(done, std::chrono::seconds(30)); }

void put(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

}  // namespace

TEST(ProjectWindowSite, ARemoteProjectConnectsOpensUploadsAndShowsTransferTabs) {
    const int port = qEnvironmentVariableIntValue("QORVEL_FTP_PORT");
    ASSERT_GT(port, 0) << "peer not started";
    const QString site = qEnvironmentVariable("QORVEL_FTP_ROOT");
    put(site + "/pw/page.html", "<p>remote</p>\n");
    put(site + "/pw/assets/logo.txt", "logo");
    TestDir mirror;

    auto project = QVProject::createWithRootDirectory(mirror.path(), "Remote");
    project->setType(QVProject::RemoteOnly);
    QVProjectRemoteConfiguration config;
    config.setHost("127.0.0.1");
    config.setPort(port);
    config.setProtocol(0);
    config.setUser(qEnvironmentVariable("QORVEL_PEER_USER"));
    config.setPassword(qEnvironmentVariable("QORVEL_PEER_PASSWORD"));
    project->setRemoteConfig(config);
    project->setBoolConfigurationValue(true, QVProject::ConnectAutomaticallyKey);
    project->setBoolConfigurationValue(true, QVProject::UploadAutomaticallyKey);
    project->setIsOpen(true);
    auto window = std::make_unique<QVProjectWindowController>(project);
    window->resize(1000, 600);
    window->show();
    EXPECT_EQ(window->documentStatusBar()->barMode(), QVStatusBar::Remote);

    // It connects by itself and the outline fills from the site.
    ASSERT_TRUE(await([&] { return project->hasRemoteConnection() && project->rootFile()->childWithName("pw", false); }));
    // The client's dialogue goes to the connection log.
    EXPECT_TRUE(await([&] { return window->logController()->logString().contains("ftp>"); }));
    window->validateCommands();
    EXPECT_TRUE(window->commandAction("viewRemoteTransferLog")->isEnabled());
    auto pw = project->rootFile()->childWithName("pw", false);
    pw->children(true);
    ASSERT_TRUE(await([&] { return bool(pw->childWithName("page.html", false)); }));
    auto page = pw->childWithName("page.html", false);

    // A remote file opens when its download has finished; a save uploads it.
    window->openFile(page);
    ASSERT_TRUE(await([&] { return window->documentForFile(page) != nullptr; }));
    QVFileDocument* document = window->documentForFile(page);
    EXPECT_EQ(document->textView()->fullString(), "<p>remote</p>\n");
    QTest::keyClicks(document->textView(), "<!-- saved -->");
    QVError error, warning;
    ASSERT_TRUE(document->save(&error, &warning)) << error.localizedDescription().toStdString();
    ASSERT_TRUE(await([&] { return !document->isDocumentEdited(); }));
    EXPECT_EQ(readAll(site + "/pw/page.html"), "<!-- saved --><p>remote</p>\n");

    // A folder opens as its transfer tab, once; the bar shows the transfer layout there and the
    // project's again on a file tab.
    window->openFile(pw);
    window->openFile(pw);
    QVTransferModeDocument* transfer = window->transferDocumentForFile(pw);
    ASSERT_TRUE(transfer);
    EXPECT_EQ(window->activeTransferDocument(), transfer);
    EXPECT_EQ(window->tabView()->countOfTabs(), 2);
    EXPECT_EQ(window->documentStatusBar()->barMode(), QVStatusBar::Transfer);
    ASSERT_TRUE(await([&] { return transfer->remoteModel()->indexOfName("assets") >= 0; }));
    EXPECT_EQ(transfer->currentLocalPath(), mirror.file("pw"));
    window->activateDocument(document);
    EXPECT_EQ(window->documentStatusBar()->barMode(), QVStatusBar::Remote);
    EXPECT_EQ(window->activeTransferDocument(), nullptr);
    // Closing the transfer tab asks nothing and keeps the file tab; the open-file list has only files.
    window->tabView()->closeTabViewItem(window->tabView()->tabForIdentifier(transfer->uuid()), false);
    EXPECT_EQ(window->tabView()->countOfTabs(), 1);
    EXPECT_EQ(window->openFileInformation(), QVariantList({QVariantMap{{"path", "pw/page.html"}}}));

    window.reset();
    project->close();
    // The closed tab's document (and the site queue it holds) goes with the deferred deletions:
    // run them, so the queue joins its worker before the process ends.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QDir(site + "/pw").removeRecursively();
}

// A refused password asks in a sheet that says the login failed; a password that is not stored
// is asked for before any login. After the right answer the site is listed and no alert about
// the listing stands (the refused login said it once). An account without a password logs in
// on an empty answer, and a WebDAV site that asks for no login connects without a question.
TEST(ProjectWindowSite, AMissingOrWrongPasswordAsksInASheetAndConnectsWithTheAnswer) {
    const QString password = qEnvironmentVariable("QORVEL_PEER_PASSWORD");
    const struct {
        const char* what;
        int protocol;
        const char* portVariable;
        QString host;
        QString user;
        QString password;  // stored
        bool asks;
        QString answer;  // typed into the sheet
        QString root;    // the site's folder on the disk, where a file is put to be listed
    } rows[] = {
        {"FTP, a wrong password", 0, "QORVEL_FTP_PORT", "127.0.0.1", "qvpeer", "wrong", true, password,
         qEnvironmentVariable("QORVEL_FTP_ROOT")},
        {"SFTP, a wrong password", 1, "QORVEL_SFTP_PORT", "127.0.0.1", qEnvironmentVariable("QORVEL_SFTP_USER"), "wrong", true,
         password, qEnvironmentVariable("QORVEL_SFTP_ROOT")},
        {"WebDAV, a wrong password", 2, "QORVEL_DAV_PORT", "http://127.0.0.1/dav/", "qvpeer", "wrong", true, password,
         qEnvironmentVariable("QORVEL_DAV_ROOT")},
        {"FTP, no password stored", 0, "QORVEL_FTP_PORT", "127.0.0.1", "qvpeer", "", true, password,
         qEnvironmentVariable("QORVEL_FTP_ROOT")},
        {"WebDAV, no password stored", 2, "QORVEL_DAV_PORT", "http://127.0.0.1/dav/", "qvpeer", "", true, password,
         qEnvironmentVariable("QORVEL_DAV_ROOT")},
        {"FTP, an account without a password", 0, "QORVEL_FTP_PORT", "127.0.0.1", qEnvironmentVariable("QORVEL_FTP_NOPASSWORD_USER"),
         "", true, "", qEnvironmentVariable("QORVEL_FTP_NOPASSWORD_ROOT")},
        {"WebDAV, a site without a login", 2, "QORVEL_DAV_PORT", "http://127.0.0.1/open/", "", "", false, "",
         qEnvironmentVariable("QORVEL_DAV_OPEN_ROOT")},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const int port = qEnvironmentVariableIntValue(row.portVariable);
        ASSERT_GT(port, 0) << "peer not started";
        ASSERT_FALSE(row.root.isEmpty()) << "peer not started";
        put(row.root + "/listed.html", "listed");
        TestDir mirror;
        auto project = QVProject::createWithRootDirectory(mirror.path(), "Refused");
        project->setType(QVProject::RemoteOnly);
        QVProjectRemoteConfiguration config;
        config.setHost(row.host);
        config.setPort(port);
        config.setProtocol(row.protocol);
        config.setUser(row.user);
        config.setPassword(row.password);
        project->setRemoteConfig(config);
        project->setBoolConfigurationValue(true, QVProject::ConnectAutomaticallyKey);
        project->setIsOpen(true);
        auto window = std::make_unique<QVProjectWindowController>(project);
        window->show();
        if (row.asks) {
            // The sheet opens with the user name; Cancel would leave the project unconnected.
            ASSERT_TRUE(await([&] { return window->credentialsSheet() && window->credentialsSheet()->isVisible(); }));
            // Without a password nothing logged in, and so nothing failed.
            if (row.password.isEmpty()) {
                EXPECT_EQ(project->remoteQueue(), nullptr);
            }
            QVCredentialsController* sheet = window->credentialsSheet();
            EXPECT_EQ(sheet->usernameField()->text(), row.user);
            EXPECT_EQ(sheet->message().contains("login failed"), !row.password.isEmpty());
            EXPECT_FALSE(project->hasRemoteConnection());
            sheet->passwordField()->setText(row.answer);
            sheet->okButton()->click();
        }
        ASSERT_TRUE(await([&] {
            return project->hasRemoteConnection() && project->remoteQueue()->state() == QVRemoteSiteQueue::Idle &&
                   project->rootFile()->childWithName("listed.html", false);
        }));
        EXPECT_FALSE(window->credentialsSheet() && window->credentialsSheet()->isVisible());
        MainQueue::runUntil([] { return false; }, std::chrono::milliseconds(500));
        QMessageBox* alert = window->questions()->currentSheet();
        EXPECT_FALSE(alert) << (alert ? alert->text().toStdString() + ": " + alert->informativeText().toStdString() : "");
        EXPECT_EQ(window->questions()->queuedCount(), 0);
        // The empty password was confirmed for that account alone: the site's other account,
        // whose password is not stored, is asked for before any login.
        if (row.protocol == 0 && row.password.isEmpty() && row.answer.isEmpty()) {
            project->dropRemoteConnection();
            project->remoteConfig().setUser(qEnvironmentVariable("QORVEL_PEER_USER"));
            window->establishRemoteConnection();
            EXPECT_EQ(project->remoteQueue(), nullptr);
            ASSERT_TRUE(await([&] { return window->credentialsSheet()->isVisible(); }));
            EXPECT_FALSE(window->credentialsSheet()->message().contains("login failed"));
        }
        window.reset();
        project->close();
        QFile::remove(row.root + "/listed.html");
    }
}

// Cancelling the login leaves the window saying it is offline, and a save with uploads on says
// that the site did not get the text.
TEST(ProjectWindowSite, CancellingTheLoginSaysOfflineAndASaveSaysItWasNotUploaded) {
    const int port = qEnvironmentVariableIntValue("QORVEL_FTP_PORT");
    ASSERT_GT(port, 0) << "peer not started";
    const QString site = qEnvironmentVariable("QORVEL_FTP_ROOT");
    put(site + "/cancel/page.html", "<p>site</p>\n");
    TestDir mirror;
    put(mirror.file("cancel/page.html"), "<p>site</p>\n");
    auto project = QVProject::createWithRootDirectory(mirror.path(), "Cancelled");
    project->setType(QVProject::LocalAndRemote);
    QVProjectRemoteConfiguration config;
    config.setHost("127.0.0.1");
    config.setPort(port);
    config.setProtocol(0);
    config.setUser(qEnvironmentVariable("QORVEL_PEER_USER"));
    project->setRemoteConfig(config);
    project->setBoolConfigurationValue(true, QVProject::ConnectAutomaticallyKey);
    project->setBoolConfigurationValue(true, QVProject::UploadAutomaticallyKey);
    project->setIsOpen(true);
    auto window = std::make_unique<QVProjectWindowController>(project);
    window->show();
    ASSERT_TRUE(await([&] { return window->credentialsSheet() && window->credentialsSheet()->isVisible(); }));
    window->credentialsSheet()->cancelButton()->click();
    ASSERT_TRUE(await([&] { return !window->credentialsSheet()->isVisible(); }));
    EXPECT_TRUE(window->documentStatusBar()->statusField()->text().contains("Offline")) << window->documentStatusBar()->statusField()->text().toStdString();
    EXPECT_FALSE(project->hasRemoteConnection());

    project->rootFile()->children(true);
    ASSERT_TRUE(await([&] { return bool(project->rootFile()->childWithName("cancel", false)); }));
    auto folder = project->rootFile()->childWithName("cancel", false);
    folder->children(true);
    ASSERT_TRUE(await([&] { return bool(folder->childWithName("page.html", false)); }));
    auto page = folder->childWithName("page.html", false);
    window->openFile(page);
    ASSERT_TRUE(await([&] { return window->documentForFile(page) != nullptr; }));
    QVFileDocument* document = window->documentForFile(page);
    QTest::keyClicks(document->textView(), "<!-- saved -->");
    QVError error, warning;
    ASSERT_TRUE(document->save(&error, &warning)) << error.localizedDescription().toStdString();
    ASSERT_TRUE(await([&] { return window->questions()->currentSheet() != nullptr; }));
    EXPECT_TRUE(window->questions()->currentSheet()->text().contains("not uploaded"))
        << window->questions()->currentSheet()->text().toStdString();
    EXPECT_EQ(readAll(site + "/cancel/page.html"), "<p>site</p>\n");
    window.reset();
    project->close();
    QDir(site + "/cancel").removeRecursively();
}
