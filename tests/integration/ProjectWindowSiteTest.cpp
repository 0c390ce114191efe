// A remote-only project's window on the loopback FTP server: it connects by itself, a remote
// file opens once downloaded and uploads when saved (seen on the server's disk), a folder opens
// as one transfer tab that comes forward again, and tabs of both kinds switch the status bar.
#include "editor/HTMLView.h"
#include "editor/QVFileDocument.h"
#include "editor/QVStatusBar.h"
#include "editor/QVTab.h"
#include "editor/QVTabBarView.h"
#include "editor/QVTabView.h"
#include "files/QVCredentialsController.h"
#include "files/QVRemoteLogController.h"
#include "files/QVRemoteSiteQueue.h"
#include "files/QVRootFile.h"
#include "platform/MainQueue.h"
#include "projects/QVProject.h"
#include "projects/windows/QVProjectOutlineModel.h"
#include "projects/windows/QVProjectView.h"
#include "projects/windows/QVProjectWindowController.h"
#include "projects/windows/QVTransferModeDocument.h"
#include "shell/QVAlertManager.h"
#include "tests/support/RemoteRelay.h"
#include "tests/support/TestSupport.h"

#include "platform/FileName.h"

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

// A remote-only project of the FTP peer's account that connects as it opens.
std::shared_ptr<QVProject> ftpProject(const QString& mirror, const QString& name, int port,
                                      const QString& initialDirectory = QString()) {
    auto project = QVProject::createWithRootDirectory(mirror, name);
    project->setType(QVProject::RemoteOnly);
    QVProjectRemoteConfiguration config;
    config.setHost("127.0.0.1");
    config.setPort(port);
    config.setProtocol(0);
    config.setUser(qEnvironmentVariable("QORVEL_PEER_USER"));
    config.setPassword(qEnvironmentVariable("QORVEL_PEER_PASSWORD"));
    if (!initialDirectory.isEmpty()) config.setInitialDirectory(initialDirectory);
    project->setRemoteConfig(config);
    project->setBoolConfigurationValue(true, QVProject::ConnectAutomaticallyKey);
    return project;
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
        bool wrongFirst = false;  // a wrong password is typed before the answer
    } rows[] = {
        {"FTP, a wrong password", 0, "QORVEL_FTP_PORT", "127.0.0.1", "qvpeer", "wrong", true, password,
         qEnvironmentVariable("QORVEL_FTP_ROOT"), true},
        {"SFTP, a wrong password", 1, "QORVEL_SFTP_PORT", "127.0.0.1", qEnvironmentVariable("QORVEL_SFTP_USER"), "wrong", true,
         password, qEnvironmentVariable("QORVEL_SFTP_ROOT")},
        {"WebDAV, a wrong password", 2, "QORVEL_DAV_PORT", "http://127.0.0.1/dav/", "qvpeer", "wrong", true, password,
         qEnvironmentVariable("QORVEL_DAV_ROOT")},
        {"FTP, no password stored", 0, "QORVEL_FTP_PORT", "127.0.0.1", "qvpeer", "", true, password,
         qEnvironmentVariable("QORVEL_FTP_ROOT")},
        {"WebDAV, no password stored", 2, "QORVEL_DAV_PORT", "http://127.0.0.1/dav/", "qvpeer", "", true, password,
         qEnvironmentVariable("QORVEL_DAV_ROOT"), true},
        {"SFTP, no password stored", 1, "QORVEL_SFTP_PORT", "127.0.0.1", qEnvironmentVariable("QORVEL_SFTP_USER"), "", true,
         password, qEnvironmentVariable("QORVEL_SFTP_ROOT"), true},
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
            // Without a password nothing logged in, and so nothing failed (sftp tried its keys).
            if (row.password.isEmpty() && row.protocol != 1) {
                EXPECT_EQ(project->remoteQueue(), nullptr);
            }
            QVCredentialsController* sheet = window->credentialsSheet();
            EXPECT_EQ(sheet->usernameField()->text(), row.user);
            EXPECT_EQ(sheet->message().contains("login failed"), !row.password.isEmpty());
            EXPECT_FALSE(project->hasRemoteConnection());
            if (row.wrongFirst) {
                // Refused, the sheet asks again saying so, and offers not the refused password.
                sheet->passwordField()->setText("typed wrong");
                sheet->okButton()->click();
                EXPECT_FALSE(sheet->isVisible());
                ASSERT_TRUE(await([&] { return sheet->isVisible(); }));
                EXPECT_TRUE(sheet->message().contains("login failed"));
                EXPECT_EQ(sheet->passwordField()->text(), "");
            }
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

// A name holding a right-to-left override shows as its code in the tree and in the Delete sheet
// that names it: drawn as it is, it would read as a second "xphp.html".
TEST(ProjectWindowSite, ANameThatReordersItsTextShowsItsCodeInTheTreeAndTheDeleteSheet) {
    const int port = qEnvironmentVariableIntValue("QORVEL_FTP_PORT");
    ASSERT_GT(port, 0) << "peer not started";
    const QString site = qEnvironmentVariable("QORVEL_FTP_ROOT");
    const QString posing = QString::fromUtf8("x\u202Elmth.php");
    put(site + "/bidi/" + posing, "<?php ?>");
    put(site + "/bidi/xphp.html", "<p>real</p>");
    TestDir mirror;
    auto project = ftpProject(mirror.path(), "Bidi", port);
    project->setIsOpen(true);
    auto window = std::make_unique<QVProjectWindowController>(project);
    window->show();
    ASSERT_TRUE(await([&] { return project->hasRemoteConnection() && project->rootFile()->childWithName("bidi", false); }));
    auto folder = project->rootFile()->childWithName("bidi", false);
    folder->children(true);
    ASSERT_TRUE(await([&] { return folder->childWithName(posing, false) && folder->childWithName("xphp.html", false); })) << window->logController()->logString().toStdString();
    auto node = folder->childWithName(posing, false);
    // Its folder opens, so it has a row.
    const QModelIndex folderRow = window->outlineModel()->indexForNode(folder.get());
    window->outlineModel()->fetchMore(folderRow);
    window->outlineView()->expand(folderRow);

    const QString shown = window->outlineModel()->indexForNode(node.get()).data(Qt::DisplayRole).toString();
    EXPECT_EQ(shown, "x<U+202E>lmth.php");
    // The inline rename editor pictures it too, and its text left as it is renames nothing.
    EXPECT_EQ(window->outlineModel()->indexForNode(node.get()).data(Qt::EditRole).toString(), "x<U+202E>lmth.php");
    EXPECT_EQ(FileName::fromEditable("x<U+202E>lmth.php"), posing);
    window->selectNode(node);
    window->deleteFile();
    ASSERT_TRUE(await([&] { return window->questions()->currentSheet() != nullptr; }));
    QMessageBox* sheet = window->questions()->currentSheet();
    const QString asked = sheet->text() + u'\n' + sheet->informativeText();
    EXPECT_TRUE(asked.contains("\"x<U+202E>lmth.php\" will be deleted")) << asked.toStdString();
    EXPECT_FALSE(asked.contains(QChar(0x202E))) << asked.toStdString();
    sheet->reject();
    MainQueue::runUntil([] { return false; }, std::chrono::milliseconds(500));
    EXPECT_TRUE(QFile::exists(site + "/bidi/" + posing));
    // Opened, its tab and the window's title read it the same way.
    window->openFile(node);
    ASSERT_TRUE(await([&] { return window->documentForFile(node) != nullptr; }));
    QStringList titles;
    for (QVTab* tab : window->tabView()->tabBar()->tabs()) titles << tab->title();
    EXPECT_EQ(titles, QStringList{"x<U+202E>lmth.php"});
    EXPECT_TRUE(window->windowTitle().startsWith("x<U+202E>lmth.php")) << window->windowTitle().toStdString();
    window.reset();
    project->close();
    QDir(site + "/bidi").removeRecursively();
}

// A WebDAV listing whose answer drips a byte every two seconds: a save made meanwhile says on the
// status line that it waits; Cancel Remote Operation ends the listing with one alert, the
// connection that dripped closes, the save's upload then reaches the site (in the site's folder,
// whether the project names it as its starting folder or the tree reaches it) and the status
// line no longer says the listing runs.
TEST(ProjectWindowSite, CancelEndsADrippingListingWithOneAlertAndTheSaveWaitingBehindItGoes) {
    const int port = qEnvironmentVariableIntValue("QORVEL_DAV_PORT");
    ASSERT_GT(port, 0) << "peer not started";
    const QString site = qEnvironmentVariable("QORVEL_DAV_ROOT");
    struct Row {
        const char* name;
        QString initialDirectory;  // the project's starting folder, relative to the address
    } rows[] = {{"the folder reached through the tree", ""}, {"the folder as the starting folder", "drip"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        put(site + "/drip/page.html", "<p>site</p>\n");
        // Apache's own account writes there.
        QFile::setPermissions(site, QFileDevice::Permissions(0x7777));
        QFile::setPermissions(site + "/drip", QFileDevice::Permissions(0x7777));
        QFile::setPermissions(site + "/drip/page.html", QFileDevice::Permissions(0x6666));
        Relay relay(port, 0, false);
        ASSERT_GT(relay.port, 0);
        TestDir mirror;
        auto project = QVProject::createWithRootDirectory(mirror.path(), "Drip");
        project->setType(QVProject::RemoteOnly);
        QVProjectRemoteConfiguration config;
        config.setHost("http://127.0.0.1/dav/");
        config.setPort(relay.port);
        config.setProtocol(2);
        config.setUser(qEnvironmentVariable("QORVEL_PEER_USER"));
        config.setPassword(qEnvironmentVariable("QORVEL_PEER_PASSWORD"));
        config.setInitialDirectory(row.initialDirectory);
        project->setRemoteConfig(config);
        project->setBoolConfigurationValue(true, QVProject::ConnectAutomaticallyKey);
        project->setBoolConfigurationValue(true, QVProject::UploadAutomaticallyKey);
        project->setIsOpen(true);
        auto window = std::make_unique<QVProjectWindowController>(project);
        window->show();
        std::shared_ptr<QVFile> folder = project->rootFile();
        if (row.initialDirectory.isEmpty()) {
            ASSERT_TRUE(await([&] { return project->hasRemoteConnection() && project->rootFile()->childWithName("drip", false); }));
            folder = project->rootFile()->childWithName("drip", false);
        }
        folder->children(true);
        ASSERT_TRUE(await([&] { return project->hasRemoteConnection() && folder->childWithName("page.html", false); }));
        auto page = folder->childWithName("page.html", false);
        window->openFile(page);
        ASSERT_TRUE(await([&] { return window->documentForFile(page) != nullptr; }));
        QVFileDocument* document = window->documentForFile(page);
        ASSERT_TRUE(await([&] { return project->remoteQueue()->state() == QVRemoteSiteQueue::Idle; }));

        relay.command("drip 2");
        MainQueue::runUntil([] { return false; }, std::chrono::milliseconds(200));
        window->refreshAll();
        ASSERT_TRUE(await([&] { return relay.dripping() == 1; }));
        relay.command("flow");
        MainQueue::runUntil([] { return false; }, std::chrono::milliseconds(200));
        QLabel* status = window->documentStatusBar()->statusField();
        QTest::keyClicks(document->textView(), "<!-- saved -->");
        QVError error, warning;
        ASSERT_TRUE(document->save(&error, &warning)) << error.localizedDescription().toStdString();
        EXPECT_TRUE(await([&] { return status->text().contains("waits to upload"); })) << status->text().toStdString();
        EXPECT_EQ(readAll(site + "/drip/page.html"), "<p>site</p>\n");

        window->validateCommands();
        ASSERT_TRUE(window->commandAction("cancelRemoteOperation")->isEnabled());
        window->commandAction("cancelRemoteOperation")->trigger();
        EXPECT_TRUE(await([&] { return readAll(site + "/drip/page.html") == "<!-- saved --><p>site</p>\n"; }))
            << window->logController()->logString().toStdString();
        // The login that follows the cancel starts in the site's folder again, not in the address's.
        EXPECT_FALSE(QFile::exists(site + "/page.html"));
        EXPECT_TRUE(await([&] { return relay.dripping() == 0; }));
        MainQueue::runUntil([] { return false; }, std::chrono::milliseconds(1000));
        QMessageBox* alert = window->questions()->currentSheet();
        ASSERT_TRUE(alert);
        EXPECT_EQ(alert->text(), "Could Not Retrieve File Listing");
        EXPECT_TRUE(alert->informativeText().contains("It was cancelled.") || alert->detailedText().contains("It was cancelled."));
        EXPECT_EQ(window->questions()->queuedCount(), 0);
        EXPECT_FALSE(status->text().contains("Getting file list")) << status->text().toStdString();
        window.reset();
        project->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QDir(site + "/drip").removeRecursively();
        QFile::remove(site + "/page.html");
    }
}

// The site's settings change while it is connected (the settings window closes the connection):
// Refresh Project logs in anew with them and lists the tree, with no alert about a listing.
TEST(ProjectWindowSite, RefreshAfterTheSitesSettingsChangedLogsInAnew) {
    const int port = qEnvironmentVariableIntValue("QORVEL_FTP_PORT");
    ASSERT_GT(port, 0) << "peer not started";
    const QString site = qEnvironmentVariable("QORVEL_FTP_ROOT");
    put(site + "/before/page.html", "before");
    put(site + "/after/page.html", "after");
    TestDir mirror;
    auto project = ftpProject(mirror.path(), "Changed", port, "/before");
    project->setIsOpen(true);
    auto window = std::make_unique<QVProjectWindowController>(project);
    window->show();
    ASSERT_TRUE(await([&] { return project->hasRemoteConnection() && project->rootFile()->childWithName("page.html", false); })) << window->logController()->logString().toStdString();
    const auto before = project->remoteQueue();

    // What the settings window does with a changed site.
    QVProjectRemoteConfiguration changed = project->remoteConfig().copy();
    changed.setInitialDirectory("/after");
    project->setRemoteConfig(changed);
    project->closeRemoteConnection();
    ASSERT_TRUE(await([&] { return before->state() == QVRemoteSiteQueue::Closed; }));
    window->refreshAll();
    ASSERT_TRUE(await([&] {
        const auto page = project->rootFile()->childWithName("page.html", false);
        return project->hasRemoteConnection() && page && page->remoteRepresentation() &&
               project->remoteQueue()->state() == QVRemoteSiteQueue::Idle;
    }));
    EXPECT_NE(project->remoteQueue(), before);
    MainQueue::runUntil([] { return false; }, std::chrono::milliseconds(500));
    QMessageBox* alert = window->questions()->currentSheet();
    EXPECT_FALSE(alert) << (alert ? alert->text().toStdString() + ": " + alert->informativeText().toStdString() : "");
    EXPECT_TRUE(window->logController()->logString().contains("/after")) << window->logController()->logString().toStdString();
    window.reset();
    project->close();
    QDir(site + "/before").removeRecursively();
    QDir(site + "/after").removeRecursively();
}
