// File > Open Remote Directory… in qorvel's real windows, against the real FTP and SFTP peers:
// the project that opens lists its site folder at once, and no alert about a listing follows.
#include "tests/scenarios/Scenario.h"

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
