// File > Open Remote Directory… in qorvel's real windows, against the real FTP and SFTP peers:
// the project that opens lists its site folder at once, and no alert about a listing follows;
// a text of such a site kept when the real qorvel is killed comes back in the site's window.
#include "tests/scenarios/Scenario.h"
#include "tests/scenarios/RealQorvel.h"
#include "tests/support/XvfbDisplay.h"

#include "app/QVDocumentController.h"
#include "projects/windows/QVRemoteDetailsController.h"
#include "platform/Paths.h"
#include "projects/QVProject.h"
#include "projects/windows/QVProjectView.h"
#include "projects/windows/QVProjectWindowController.h"
#include "projects/windows/QVRemoteFilePickerController.h"
#include "projects/windows/QVRemoteOpenPanelController.h"
#include "tests/support/TestSupport.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QCheckBox>
#include <QColumnView>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>

#include <gtest/gtest.h>

using namespace scenario;
using namespace std::chrono_literals;

namespace {

QVRemoteOpenPanelController* openPanel() {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* panel = qobject_cast<QVRemoteOpenPanelController*>(widget); panel && panel->isVisible()) return panel;
    return nullptr;
}

QVProjectWindowController* projectWindowFor(const QString& folder) {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* window = qobject_cast<QVProjectWindowController*>(widget);
            window && window->isVisible() && window->project() && window->project()->rootDirectory() == folder)
            return window;
    return nullptr;
}

QStringList alerts() {
    QStringList texts;
    for (QMessageBox* box : visibleBoxes()) texts << box->text() + " " + box->informativeText();
    return texts;
}

}  // namespace

TEST(RemoteScenario, AnOpenedRemoteDirectoryListsItsFolderAtOnce) {
    struct Peer {
        int protocol;
        const char* port;
        QString user, root;
    } peers[] = {{0, "QORVEL_FTP_PORT", qEnvironmentVariable("QORVEL_PEER_USER"), qEnvironmentVariable("QORVEL_FTP_ROOT")},
                 {1, "QORVEL_SFTP_PORT", qEnvironmentVariable("QORVEL_SFTP_USER"), qEnvironmentVariable("QORVEL_SFTP_ROOT")}};
    application();
    for (const Peer& peer : peers) {
        SCOPED_TRACE(peer.protocol == 0 ? "FTP" : "SFTP");
        const int port = qEnvironmentVariableIntValue(peer.port);
        if (peer.protocol == 1 && port == 0) continue;  // SFTP needs root to make its account
        ASSERT_GT(port, 0) << "peer not started: run under scripts/with-remote-peers";
        const QString top = QDir(peer.root).filePath("shop");
        QDir(top).removeRecursively();
        ASSERT_TRUE(QDir(top).mkpath("site/css"));
        QFile page(top + "/site/index.html");
        ASSERT_TRUE(page.open(QIODevice::WriteOnly));
        page.write("<p>shop</p>\n");
        page.close();
        if (peer.protocol == 1) QProcess::execute("chown", {"-R", peer.user + ":" + peer.user, top});

        // File > Open Remote Directory…
        application().showPanel("openRemoteDirectory");
        QVRemoteOpenPanelController* panel = openPanel();
        ASSERT_NE(panel, nullptr);
        QVRemoteDetailsController* details = panel->detailsController();
        details->protocolPopUp()->setCurrentIndex(peer.protocol);
        Q_EMIT details->protocolPopUp()->activated(peer.protocol);
        // The fields are typed in as they read, Tab going from one to the next.
        bringForward(panel);
        details->hostField()->setFocus();
        type("127.0.0.1");
        for (const QString& field : {QString::number(port), peer.user, qEnvironmentVariable("QORVEL_PEER_PASSWORD")}) {
            key(Qt::Key_Tab);
            type(field);
        }
        EXPECT_EQ(details->portField()->text(), QString::number(port));
        EXPECT_EQ(details->userField()->text(), peer.user);
        details->keychainBox()->setChecked(true);
        if (peer.protocol == 1) panel->project()->remoteConfig().setInitialDirectory(peer.root);
        QTest::mouseClick(panel->connectButton(), Qt::LeftButton);
        QVRemoteFilePickerModel* model = panel->filePicker()->model();
        ASSERT_TRUE(waitFor([&] { return panel->currentTab() == 1 && model->rowCount() > 0; }, 40s)) << panel->status().toStdString();
        QModelIndex shop;
        for (int r = 0; r < model->rowCount(); ++r)
            if (model->index(r, 0).data().toString() == "shop") shop = model->index(r, 0);
        ASSERT_TRUE(shop.isValid());
        panel->filePicker()->browser()->setCurrentIndex(shop);
        ASSERT_TRUE(waitFor([&] { return model->rowCount(shop) == 1; }, 30s));
        panel->filePicker()->browser()->setCurrentIndex(model->index(0, 0, shop));
        QTest::mouseClick(panel->openButton(), Qt::LeftButton);

        // The project window lists the site folder by itself: no refresh, no second login.
        const QString folder = Paths::home() + "/Sites/Qorvel/127.0.0.1" + (peer.protocol == 1 ? " 1" : "");
        ASSERT_TRUE(waitFor([&] { return projectWindowFor(folder) != nullptr; }, 10s));
        QVProjectWindowController* window = projectWindowFor(folder);
        QVProjectView* view = outline(window);
        ASSERT_NE(view, nullptr);
        EXPECT_TRUE(waitFor([&] { return row(view, "index.html", {}).isValid() && row(view, "css", {}).isValid(); }, 30s))
            << "the outline of the opened site stays empty; alerts: " << alerts().join(" | ").toStdString();
        // Nothing stale follows.
        waitFor([] { return false; }, 2s);
        EXPECT_TRUE(alerts().isEmpty()) << alerts().join(" | ").toStdString();
        closeEverything();
        QDir(top).removeRecursively();
    }
}

// A file of a site opened with File > Open Remote Directory… (its project in ~/Sites/Qorvel, as
// the panel leaves it, the password in the keyring) typed in, then the real qorvel killed: the
// next launch brings the text back in the site's window once the file has come down (nothing
// asked: the file came down as it was), and its save uploads it; an older run's text of the
// file comes back beside it.
TEST(RemoteScenario, AKeptTextOfAnOpenedRemoteDirectoryComesBackInTheSitesWindowAndUploads) {
    using realqorvel::eventually;
    const int port = qEnvironmentVariableIntValue("QORVEL_FTP_PORT");
    ASSERT_GT(port, 0) << "peer not started: run under scripts/with-remote-peers";
    const XvfbDisplay screen(QStringLiteral("1600x1000x24"));
    ASSERT_FALSE(screen.display().isEmpty()) << "Xvfb did not start: scripts/setup installs it";
    for (const bool siteOpenFirst : {false, true}) {
        SCOPED_TRACE(siteOpenFirst ? "site's window open first" : "site's window opened by the answer");
        const realqorvel::Home home(screen.display(), "<key>QVAutoSave</key><integer>1</integer>");
        QProcess manager;
        manager.setProcessEnvironment(home.env);
        manager.start(QStringLiteral("openbox"), {});
        ASSERT_TRUE(manager.waitForStarted(10000)) << "openbox is missing: scripts/setup installs it";
        const QString user = qEnvironmentVariable("QORVEL_PEER_USER");
        const QString top = QDir(qEnvironmentVariable("QORVEL_FTP_ROOT")).filePath(QStringLiteral("kept"));
        QDir(top).removeRecursively();
        ASSERT_TRUE(QDir(top).mkpath(QStringLiteral(".")));
        const QString onServer = top + QStringLiteral("/page.html");
        {
            QFile page(onServer);
            ASSERT_TRUE(page.open(QIODevice::WriteOnly));
            page.write("<p>x</p>\n");
        }
        const QString folder = home.dir.file(QStringLiteral("Sites/Qorvel/127.0.0.1"));
        home.dir.write(QStringLiteral("Sites/Qorvel/127.0.0.1/127.0.0.1.qvproj"),
                       "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>format-version</key><integer>1</integer>"
                       "<key>type</key><integer>1</integer><key>local-metadata</key><dict><key>root-directory</key><string>" + folder.toUtf8() +
                       "</string><key>display-name</key><string>127.0.0.1</string></dict><key>configuration</key><dict>"
                       "<key>QVConnectAutomaticallyKey</key><true/><key>QVUploadAutomaticallyKey</key><true/></dict><key>remote-metadata</key><dict>"
                       "<key>host</key><string>127.0.0.1</string><key>port</key><integer>" + QByteArray::number(port) +
                       "</integer><key>protocol</key><integer>0</integer><key>user</key><string>" + user.toUtf8() +
                       "</string><key>initial-directory</key><string>/kept</string><key>use-keychain</key><true/></dict></dict></plist>\n");
        // The copy an earlier download left, which a handed-over name opens in the site's window.
        const QString page = home.dir.write(QStringLiteral("Sites/Qorvel/127.0.0.1/page.html"), "<p>x</p>\n");
        QProcess store;
        store.start(QStringLiteral("secret-tool"), {QStringLiteral("store"), QStringLiteral("--label=site"), QStringLiteral("service"), QStringLiteral("127.0.0.1"),
                                                    QStringLiteral("account"), user});
        store.write(qEnvironmentVariable("QORVEL_PEER_PASSWORD").toUtf8());
        store.closeWriteChannel();
        ASSERT_TRUE(store.waitForFinished(10000) && store.exitCode() == 0) << "no Secret Service: run under scripts/with-keyring";

        QProcess qorvel;
        realqorvel::start(qorvel, home, {folder});
        const qint64 pid = qorvel.processId();
        const QString pageWindow = QStringLiteral("^page\\.html .+ 127\\.0\\.0\\.1");
        ASSERT_TRUE(eventually([&] { return home.windows(pid, QStringLiteral("127\\.0\\.0\\.1")).size() == 1; }, 20s)) << home.windows(pid).join(u'|').toStdString();
        // Handed over until the site has listed it and it has come down.
        EXPECT_TRUE(eventually([&] {
            home.handOver({page});
            return eventually([&] { return home.windows(pid, pageWindow).size() == 1; }, 2s);
        }, 30s)) << home.windows(pid).join(u'|').toStdString();
        std::this_thread::sleep_for(1s);
        // A file that came down leaves the keys with the outline: a click in the text takes them.
        const QString id = home.xdotool({QStringLiteral("search"), QStringLiteral("--all"), QStringLiteral("--onlyvisible"), QStringLiteral("--pid"),
                                         QString::number(pid), QStringLiteral("--name"), pageWindow}).split(u'\n').last();
        const QString geometry = home.xdotool({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), id});
        const auto size = [&](const QString& key) { return QRegularExpression(key + QStringLiteral("=(\\d+)")).match(geometry).captured(1).toInt(); };
        home.xdotool({QStringLiteral("mousemove"), QStringLiteral("--window"), id, QString::number(size(QStringLiteral("WIDTH")) * 3 / 4),
                      QString::number(size(QStringLiteral("HEIGHT")) / 2), QStringLiteral("click"), QStringLiteral("1")});
        home.to(pid, pageWindow, QStringLiteral("key"), {QStringLiteral("ctrl+Home")});
        home.to(pid, pageWindow, QStringLiteral("type"), {QStringLiteral("typed ")});
        EXPECT_TRUE(eventually([&] { return home.keptTexts() == QStringList{QStringLiteral("page.html: typed <p>x</p>\n")}; }))
            << home.keptTexts().join(u'|').toStdString();
        realqorvel::end(qorvel, SIGKILL);
        // An earlier run, killed too, left an older text of the file: it comes back beside.
        const QString recovery = home.dir.file(QStringLiteral("data/Glimbo/Recovery"));
        const QStringList runs = QDir(recovery).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        ASSERT_EQ(runs.size(), 1);
        const QString older = recovery + QStringLiteral("/1-older");
        ASSERT_TRUE(QDir().mkpath(older));
        for (const QFileInfo& file : QDir(recovery + u'/' + runs.first()).entryInfoList(QDir::Files)) {
            QByteArray bytes = readAll(file.filePath());
            if (file.suffix() == QStringLiteral("json")) {
                QJsonObject entry = QJsonDocument::fromJson(bytes).object();
                entry.insert(QStringLiteral("text"), QStringLiteral("older <p>x</p>\n"));
                entry.insert(QStringLiteral("changed"), QStringLiteral("1"));
                bytes = QJsonDocument(entry).toJson();
            }
            ASSERT_TRUE(writeBytes(QFile::encodeName(older + u'/' + file.fileName()), bytes));
        }

        // The site's window opened first (its listing in before the answer), or by the answer.
        realqorvel::start(qorvel, home, siteOpenFirst ? QStringList{folder} : QStringList{});
        const qint64 next = qorvel.processId();
        if (siteOpenFirst) {
            EXPECT_TRUE(eventually([&] { return home.windows(next, QStringLiteral("127\\.0\\.0\\.1")).size() == 1; }, 20s));
            std::this_thread::sleep_for(3s);
        }
        EXPECT_TRUE(eventually([&] { return home.activeWindow() == QStringLiteral("Recover Unsaved Changes"); })) << home.activeWindow().toStdString();
        home.to(next, QStringLiteral("^Recover Unsaved Changes$"), QStringLiteral("key"), {QStringLiteral("Return")});
        EXPECT_TRUE(eventually([&] { return home.windows(next, pageWindow).size() == 1; }, 30s)) << home.windows(next).join(u'|').toStdString();
        std::this_thread::sleep_for(1s);
        EXPECT_EQ(home.windows(next, QStringLiteral("Changed")), QStringList()) << home.windows(next).join(u'|').toStdString();
        EXPECT_TRUE(eventually([&] { return home.windows(next, QStringLiteral("^page\\.html \\(recovered\\)")).size() == 1; }))
            << home.windows(next).join(u'|').toStdString();
        home.to(next, pageWindow, QStringLiteral("key"), {QStringLiteral("ctrl+s")});
        EXPECT_TRUE(eventually([&] { return readAll(onServer) == "typed <p>x</p>\n"; }, 30s)) << readAll(onServer).toStdString();
        // Saved and uploaded: only the older text is kept, and the old runs' folders are gone.
        const QStringList left{QStringLiteral("page.html (recovered): older <p>x</p>\n")};
        EXPECT_TRUE(eventually([&] { return home.runFolders() == 1 && home.keptTexts() == left; })) << home.keptTexts().join(u'|').toStdString();
        realqorvel::end(qorvel, SIGTERM);
        EXPECT_EQ(home.keptTexts(), left);
        manager.terminate();
        manager.waitForFinished(5000);
        QDir(top).removeRecursively();
    }
}
