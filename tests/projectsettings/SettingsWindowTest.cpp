// The settings window and the open-remote panel: validation, OK on new and existing projects
// (settings merged, the listed project updated, not written over), refusals that say why, the
// live pick of the initial directory on FTP and SFTP without touching the project's own
// connection, and a remote folder opened as a project with its password in the keyring.
#include "files/QVRemoteSiteQueue.h"
#include "platform/Keychain.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/Paths.h"
#include "platform/UserDefaults.h"
#include "projects/QVProject.h"
#include "projects/QVProjectRepository.h"
#include "projects/QVProjectUsageEvents.h"
#include "projects/windows/QVProjectDocument.h"
#include "projects/windows/QVProjectSettingsConfigurationController.h"
#include "projects/windows/QVProjectSettingsWindowController.h"
#include "projects/windows/QVRemoteFilePickerController.h"
#include "projects/windows/QVRemoteOpenPanelController.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QColumnView>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTest>

#include <cstdlib>

using namespace std::chrono_literals;

namespace {

// What OK announced, opened and recorded.
struct Record {
    QStringList events;
    std::vector<NotificationCenter::Token> tokens;
    Record() {
        for (const QString& name : {QVProjectRepository::ProjectCreatedNotification, QVProjectRepository::ProjectEditedNotification})
            tokens.push_back(NotificationCenter::defaultCenter().addObserver(name, nullptr, [this, name](const Notification& n) {
                events << (name.contains("Created") ? "Created " : "Edited ") + static_cast<const QVProject*>(n.object)->displayName();
            }));
        QVProjectSettingsWindowController::setProjectOpener([this](const QString& folder) { events << "open " + folder; });
        QVProjectUsageEvents::setTracker([this](const QString& event, const QVariantMap& p) {
            events << event + " " + p.value("project-type").toString() + " " + p.value("remote-protocol").toString();
        });
    }
    ~Record() {
        for (auto token : tokens) NotificationCenter::defaultCenter().removeObserver(token);
        QVProjectSettingsWindowController::setProjectOpener(nullptr);
        QVProjectUsageEvents::setTracker(nullptr);
    }
};

QString ftpPick() { return QDir(qEnvironmentVariable("QORVEL_FTP_ROOT")).filePath("pick"); }

void makeSite(const QString& top, const QString& owner = {}) {
    QDir(top).removeRecursively();
    ASSERT_TRUE(QDir(top).mkpath("site/css"));
    if (!owner.isEmpty()) QProcess::execute("chown", {"-R", owner + ":" + owner, top});
}

}  // namespace

TEST(SettingsWindow, ValidatesWritesMergesAndRefusesWithReasons) {
    Record record;
    UserDefaults::standard().setBool(true, QVProjectSettingsWindowController::UsageTrackingKey);
    {
        QVProjectSettingsWindowController window(nullptr);
        EXPECT_EQ(window.status(), "Local directory is blank");
        EXPECT_FALSE(window.okButton()->isEnabled());
        window.setType(2);
        EXPECT_EQ(window.statusLabel()->text(), "Local directory is blank and remote host is blank");
        QTest::keyClicks(window.localPathField(), "/tmp");
        QTest::keyClicks(window.detailsController()->hostField(), "h");
        EXPECT_TRUE(window.valid());
        EXPECT_TRUE(window.okButton()->isEnabled());
        EXPECT_EQ(window.status(), "");
        // Cancel: nothing was made or announced.
        EXPECT_TRUE(window.close(0));
    }
    EXPECT_EQ(QVProjectSettingsWindowController::windowTitleForDocumentDisplayName("Site"), QString("Site \u2015 Settings"));

    // An existing project: OK merges the table's keys into the others and announces an edit.
    QTemporaryDir folder;
    auto project = QVProjectRepository::sharedInstance().copyProjectWithPath(folder.path());
    ASSERT_TRUE(project);
    project->setDisplayName("Site");
    project->setConfigurationValue(QVariantList{QVariantMap{{"path", "a.html"}}}, QVProject::OpenFilesKey);
    project->setConfigurationValue("Firefox", "QVPreviewBrowser");
    project->setConfigurationValue(42, QVProject::RemotePreviewURLKey);
    record.events.clear();
    {
        QVProjectSettingsWindowController window(project);
        EXPECT_EQ(window.windowTitle(), QString("Site \u2015 Settings"));
        window.configurationController()->model()->setData(window.configurationController()->model()->index(0, 1), false);
        window.nameField()->clear();
        QTest::keyClicks(window.nameField(), "Renamed");
        EXPECT_TRUE(window.close(1));
    }
    EXPECT_EQ(project->displayName(), "Renamed");
    EXPECT_EQ(project->configurationValueForKey("QVPreviewBrowser"), QVariant("Firefox"));
    EXPECT_EQ(project->configurationValueForKey(QVProject::OpenFilesKey).toList().size(), 1);
    EXPECT_EQ(project->configurationValueForKey(QVProject::ConnectAutomaticallyKey), QVariant(false));
    EXPECT_EQ(project->configurationValueForKey(QVProject::RemotePreviewURLKey), QVariant(""));
    EXPECT_EQ(record.events, (QStringList{"Update Project local undefined", "Edited Renamed"}));

    // A new project on a folder that already has one updates that very project.
    record.events.clear();
    UserDefaults::standard().setBool(false, QVProjectSettingsWindowController::UsageTrackingKey);
    {
        QVProjectSettingsWindowController window(nullptr);
        window.setDisplayName("Again");
        window.setDirectoryPath(folder.path());
        EXPECT_TRUE(window.close(1));
    }
    EXPECT_EQ(project->displayName(), "Again");
    EXPECT_EQ(QVProjectRepository::sharedInstance().copyProjectWithPath(folder.path(), false), project);
    EXPECT_EQ(record.events, (QStringList{"Edited Again", "open " + project->rootDirectory()}));

    // A new remote-only project lives in ~/Sites/Qorvel under its camel-cased name.
    record.events.clear();
    {
        QVProjectSettingsWindowController window(nullptr);
        window.setType(1);
        window.setDisplayName("my site");
        window.config().setHost("example.org");
        window.config().setUseKeychain(false);
        window.validate();
        EXPECT_TRUE(window.close(1));
        EXPECT_EQ(window.project()->rootDirectory(), Paths::home() + "/Sites/Qorvel/MySite");
        EXPECT_TRUE(QFileInfo(Paths::home() + "/Sites/Qorvel/MySite").isDir());
        EXPECT_EQ(record.events, (QStringList{"Created my site", "open " + Paths::home() + "/Sites/Qorvel/MySite"}));
    }
    // Listed, it is a preset of every connection's details.
    QVProjectSettingsWindowController::install();
    {
        QVProjectRemoteConfiguration blank;
        QVRemoteDetailsController details(nullptr, &blank);
        EXPECT_EQ(details.presetsPopUpButton()->itemText(2).trimmed(), "my site\t[example.org]");
        details.selectPreset(2);
        EXPECT_EQ(blank.host(), "example.org");
    }
    QVRemoteDetailsController::setProjectPresetsSource(nullptr);
    QVProjectSettingsWindowController::setProjectOpener([&record](const QString& folder) { record.events << "open " + folder; });

    // Refusals keep the window open and say why: a folder that is not there, a site folder
    // that cannot be made.
    QDir(Paths::home() + "/Sites").removeRecursively();
    QFile blocker(Paths::home() + "/Sites");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    record.events.clear();
    {
        QVProjectSettingsWindowController window(nullptr);
        window.setDirectoryPath(folder.path() + "/missing");
        EXPECT_FALSE(window.close(1));
        EXPECT_TRUE(window.status().contains("does not exist")) << window.status().toStdString();
        window.setType(1);
        window.config().setHost("example.org");
        window.validate();
        EXPECT_FALSE(window.close(1));
        EXPECT_TRUE(window.status().startsWith("The folder for the site's files cannot be made")) << window.status().toStdString();
    }
    QFile::remove(Paths::home() + "/Sites");
    // A host or user read as a client option, or a line break in a field, is refused at OK and
    // before any connection.
    for (const char* host : {"-oProxyCommand=touch /tmp/owned", "example.org\n!sh"}) {
        QVProjectSettingsWindowController window(nullptr);
        window.setType(1);
        window.setDisplayName("bad");
        window.config().setHost(host);
        window.config().setUseKeychain(false);
        window.validate();
        EXPECT_FALSE(window.close(1));
        EXPECT_FALSE(window.status().isEmpty());
        window.chooseRemoteDirectoryForDetails(window.detailsController());
        EXPECT_FALSE(window.probeQueue());
        EXPECT_FALSE(QFileInfo::exists(Paths::home() + "/Sites/Qorvel/bad"));
    }
    EXPECT_TRUE(record.events.isEmpty());
}

TEST(SettingsWindow, PicksTheInitialDirectoryLiveAndLeavesTheProjectsConnection) {
    const int port = qEnvironmentVariableIntValue("QORVEL_FTP_PORT");
    ASSERT_GT(port, 0) << "peer not started";
    makeSite(ftpPick());
    QTemporaryDir folder;
    auto project = QVProjectRepository::sharedInstance().copyProjectWithPath(folder.path());
    project->setType(2);
    QVProjectRemoteConfiguration site;
    site.setHost("127.0.0.1");
    site.setPort(port);
    site.setUser(qEnvironmentVariable("QORVEL_PEER_USER"));
    site.setUseKeychain(false);
    site.setPassword(qEnvironmentVariable("QORVEL_PEER_PASSWORD"));
    site.setInitialDirectory("pick");
    project->setRemoteConfig(site.copy());
    project->connectToRemoteSite();
    ASSERT_TRUE(MainQueue::runUntil([&] { return project->hasRemoteConnection(); }, 30s));

    for (const bool choose : {true, false}) {
        auto* window = new QVProjectSettingsWindowController(project);
        window->show();
        window->detailsController()->chooseButton()->click();
        ASSERT_TRUE(MainQueue::runUntil([&] { return window->pickerSheet() && window->pickerSheet()->picker()->model()->rowCount() == 1; }, 30s))
            << window->status().toStdString();
        QVRemoteFilePickerController* picker = window->pickerSheet()->picker();
        if (choose) picker->browser()->setCurrentIndex(picker->model()->index(0, 0));
        window->pickerSheet()->close(1);
        EXPECT_EQ(window->config().initialDirectory(), choose ? "pick/site" : "pick");
        // The pick is the window's until OK; cancel leaves the project's site and delegate.
        EXPECT_EQ(project->remoteConfig().initialDirectory(), "pick");
        window->close(0);
        delete window;
        EXPECT_TRUE(project->hasRemoteConnection());
    }

    // A refused password: the window says so and opens no sheet.
    QVProjectSettingsWindowController window(project);
    window.config().setPassword("wrong");
    window.detailsController()->chooseButton()->click();
    ASSERT_TRUE(MainQueue::runUntil([&] { return window.status() == "Failed to connect"; }, 40s)) << window.status().toStdString();
    EXPECT_FALSE(window.pickerSheet());
    EXPECT_FALSE(window.probeQueue());
    project->close();
    QDir(ftpPick()).removeRecursively();
}

TEST(RemoteOpenPanel, OpensAPickedFolderAsARemoteOnlyProjectWithItsPasswordInTheKeyring) {
    EXPECT_EQ(QVRemoteOpenPanelController::displayNameForHost("srv-1:21"), "srv-121");
    EXPECT_EQ(QVRemoteOpenPanelController::displayNameForHost("a b/c"), "ab/c");
    EXPECT_EQ(QVRemoteOpenPanelController::displayNameForHost("127.0.0.1/t9/"), "127.0.0.1/t9");
    EXPECT_EQ(QVProject::safeFileName(QVRemoteOpenPanelController::displayNameForHost("127.0.0.1/t9/")), "127.0.0.1-t9");
    EXPECT_EQ(QVRemoteOpenPanelController::displayNameForHost(".."), "");
    EXPECT_EQ(QVRemoteOpenPanelController::displayNameForHost("/:"), "");

    struct Peer {
        int protocol;
        QString port, user, root;
    } peers[] = {{0, "QORVEL_FTP_PORT", qEnvironmentVariable("QORVEL_PEER_USER"), qEnvironmentVariable("QORVEL_FTP_ROOT")},
                 {1, "QORVEL_SFTP_PORT", qEnvironmentVariable("QORVEL_SFTP_USER"), qEnvironmentVariable("QORVEL_SFTP_ROOT")}};
    for (const Peer& peer : peers) {
        SCOPED_TRACE(peer.protocol);
        const int port = qEnvironmentVariableIntValue(peer.port.toLatin1());
        ASSERT_GT(port, 0) << "peer not started";
        makeSite(QDir(peer.root).filePath("pick"), peer.protocol == 1 ? peer.user : QString());
        Record record;
        auto* panel = new QVRemoteOpenPanelController;
        panel->show();
        QVRemoteDetailsController* details = panel->detailsController();
        EXPECT_FALSE(panel->connectButton()->isEnabled());
        details->protocolPopUp()->setCurrentIndex(peer.protocol);
        Q_EMIT details->protocolPopUp()->activated(peer.protocol);
        QTest::keyClicks(details->hostField(), "127.0.0.1");
        QTest::keyClicks(details->portField(), QString::number(port));
        QTest::keyClicks(details->userField(), peer.user);
        QTest::keyClicks(details->passwordField(), qEnvironmentVariable("QORVEL_PEER_PASSWORD"));
        details->keychainBox()->setChecked(true);
        // SFTP logs in to the account's home; the peer's folder is below it.
        if (peer.protocol == 1) panel->project()->remoteConfig().setInitialDirectory(peer.root);
        EXPECT_TRUE(panel->connectButton()->isEnabled());
        panel->connectButton()->click();
        ASSERT_TRUE(MainQueue::runUntil([&] { return panel->currentTab() == 1 && panel->filePicker()->model()->rowCount() > 0; }, 40s))
            << panel->status().toStdString();
        QVRemoteFilePickerModel* model = panel->filePicker()->model();
        QModelIndex pick;
        for (int r = 0; r < model->rowCount(); ++r)
            if (model->index(r, 0).data().toString() == "pick") pick = model->index(r, 0);
        ASSERT_TRUE(pick.isValid());
        panel->filePicker()->browser()->setCurrentIndex(pick);
        ASSERT_TRUE(MainQueue::runUntil([&] { return model->rowCount(pick) == 1; }, 30s));
        panel->filePicker()->browser()->setCurrentIndex(model->index(0, 0, pick));
        QPointer<QVRemoteOpenPanelController> alive(panel);
        std::shared_ptr<QVProject> made = panel->project();
        EXPECT_TRUE(panel->close(1));
        delete alive.data();

        const QString folder = Paths::home() + "/Sites/Qorvel/127.0.0.1" + (peer.protocol == 1 ? " 1" : "");
        EXPECT_EQ(made->rootDirectory(), folder);
        EXPECT_EQ(made->type(), QVProject::RemoteOnly);
        EXPECT_EQ(made->remoteConfig().initialDirectory(), (peer.protocol == 1 ? peer.root + "/" : QString()) + "pick/site");
        EXPECT_EQ(record.events, (QStringList{"Created 127.0.0.1", "open " + folder}));
        // The project file holds the site; the keyring the password.
        auto reread = QVProject::createWithProjectFile(made->projectFileSearchPaths().first());
        EXPECT_EQ(reread->remoteConfig().host(), "127.0.0.1") << reread->readError().localizedDescription().toStdString();
        qint32 status = 0;
        char* stored = GetPasswordFromKeychain("127.0.0.1", peer.user.toUtf8().constData(), &status);
        EXPECT_EQ(QString::fromUtf8(stored ? stored : ""), qEnvironmentVariable("QORVEL_PEER_PASSWORD"));
        std::free(stored);
        QDir(QDir(peer.root).filePath("pick")).removeRecursively();
    }
    // Installed, a made project opens as a project document on the folder it was written to.
    QVProjectSettingsWindowController::install();
    const QString folder = Paths::home() + "/Sites/Qorvel/127.0.0.1";
    QVProjectSettingsWindowController::openProject(folder);
    const auto documents = QVProjectDocument::openDocuments();
    ASSERT_EQ(documents.size(), 1);
    EXPECT_EQ(documents.first()->project()->rootDirectory(), folder);
    EXPECT_EQ(documents.first()->project()->type(), QVProject::RemoteOnly);
    delete documents.first()->windowController();
    QVProjectSettingsWindowController::setProjectOpener(nullptr);
}

TEST(RemoteOpenPanel, SaysWhyALoginFailedAsTheProjectWindowDoes) {
    struct Row {
        const char* name;
        int protocol;
        const char* portVariable;
        QString host, password;
        const char* said;
    } rows[] = {
        {"FTP, a wrong password", 0, "QORVEL_FTP_PORT", "127.0.0.1", "wrong", "did not accept this name and password"},
        {"WebDAV, a folder the site does not have", 2, "QORVEL_DAV_PORT", "127.0.0.1/no-such-folder/",
         qEnvironmentVariable("QORVEL_PEER_PASSWORD"), "The login failed: "},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const int port = qEnvironmentVariableIntValue(row.portVariable);
        ASSERT_GT(port, 0) << "peer not started";
        auto* panel = new QVRemoteOpenPanelController;
        QPointer<QVRemoteOpenPanelController> alive(panel);
        panel->show();
        QVRemoteDetailsController* details = panel->detailsController();
        details->protocolPopUp()->setCurrentIndex(row.protocol);
        Q_EMIT details->protocolPopUp()->activated(row.protocol);
        QTest::keyClicks(details->hostField(), row.host);
        QTest::keyClicks(details->portField(), QString::number(port));
        QTest::keyClicks(details->userField(), qEnvironmentVariable("QORVEL_PEER_USER"));
        QTest::keyClicks(details->passwordField(), row.password);
        panel->connectButton()->click();
        ASSERT_TRUE(MainQueue::runUntil([&] { return panel->status().contains(row.said); }, 40s)) << panel->status().toStdString();
        // It stays said once the connection has ended, and the details stay for another try.
        MainQueue::runUntil([] { return false; }, 1s);
        EXPECT_TRUE(panel->status().contains(row.said)) << panel->status().toStdString();
        EXPECT_EQ(panel->currentTab(), 0);
        delete alive.data();
    }
}
