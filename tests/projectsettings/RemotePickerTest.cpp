// The remote folder picker on live FTP, SFTP and WebDAV sites: the login folder in the first
// column, a folder listed once it is selected (an empty one each time), the folder shown last
// as the answer, a listing error as the status, a killed client, and the picker
// sheet's OK and cancel.
#include "files/QVRemoteSiteQueue.h"
#include "platform/MainQueue.h"
#include "projects/windows/QVProjectSettingsRemoteFilePickerController.h"
#include "projects/windows/QVRemoteFilePickerController.h"
#include "tests/support/TestSupport.h"
#include "tests/support/RemotePeers.h"

#include <gtest/gtest.h>

#include <QColumnView>
#include <QDir>
#include <QFile>
#include <QProcess>

#include <csignal>

using namespace std::chrono_literals;

namespace {

using C = QVRemoteFilesConnection;

struct Quiet : QVRemoteSiteQueueDelegate {
    std::atomic<int> opened{0};
    void queueOpenedConnection(QVRemoteSiteQueue*) override { ++opened; }
};

// The tree under the site's folder "pick"; DAV's files belong to the server's user.
void makeTree(const PeerSite& s) {
    const QString top = QDir(s.root).filePath("pick");
    QDir(top).removeRecursively();
    for (const char* folder : {"site/css", "empty", "gone"}) ASSERT_TRUE(QDir(top).mkpath(folder));
    // The last would read as a second "xphp.html" drawn as it is: U+202E reverses what follows.
    for (const char* file : {"a.html", "site/index.html", "site/xphp.html", "site/x\u202Elmth.php"}) {
        QFile f(QDir(top).filePath(QString::fromUtf8(file)));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    if (s.type == C::WebDAV) QProcess::execute("chown", {"-R", "www-data:www-data", top});
    if (s.type == C::SFTP) QProcess::execute("chown", {"-R", s.user + ":" + s.user, top});
}

QStringList names(QVRemoteFilePickerModel* model, const QModelIndex& parent) {
    QStringList list;
    for (int row = 0; row < model->rowCount(parent); ++row) list << model->index(row, 0, parent).data().toString();
    list.sort();
    return list;
}

}  // namespace

TEST(RemotePicker, ListsLazilyAnswersTheLastColumnAndReportsFailures) {
    for (int type : {C::FTP, C::SFTP, C::WebDAV}) {
        SCOPED_TRACE(type);
        auto s = peerSite(type);
        if (!s) {
            ADD_FAILURE() << "peer not started";
            continue;
        }
        makeTree(*s);
        auto quiet = std::make_shared<Quiet>();
        auto queue = QVRemoteSiteQueue::make(type, quiet);
        queue->setInitialWorkingDirectory(s->base + "pick");
        queue->connectToHost("127.0.0.1", s->port, s->user, qEnvironmentVariable("QORVEL_PEER_PASSWORD"), s->arguments);
        queue->changeToDirectory(s->base + "pick");

        QVRemoteFilePickerController picker;
        picker.resize(600, 300);
        picker.show();
        QStringList listed;
        QObject::connect(&picker, &QVRemoteFilePickerController::listed, [&](const QString& path) { listed << path; });
        picker.setQueue(queue);
        picker.setInitialDirectory(QString());
        QVRemoteFilePickerModel* model = picker.model();
        ASSERT_TRUE(MainQueue::runUntil([&] { return listed.size() == 1; }, 40s)) << picker.status().toStdString();
        EXPECT_EQ(names(model, {}), (QStringList{"a.html", "empty", "gone", "site"}));
        EXPECT_EQ(picker.selectedPath(), "");

        auto row = [&](const QString& name, const QModelIndex& parent = {}) {
            for (int r = 0; r < model->rowCount(parent); ++r)
                if (model->index(r, 0, parent).data().toString() == name) return model->index(r, 0, parent);
            return QModelIndex();
        };
        auto select = [&](const QModelIndex& index) { picker.browser()->setCurrentIndex(index); };
        // A folder is listed when selected, once it has entries; an empty one every time.
        select(row("site"));
        ASSERT_TRUE(MainQueue::runUntil([&] { return listed.size() == 2; }, 30s));
        EXPECT_EQ(names(model, row("site")), (QStringList{"css", "index.html", "x<U+202E>lmth.php", "xphp.html"}));
        EXPECT_EQ(picker.selectedPath(), "site");
        select(row("css", row("site")));
        ASSERT_TRUE(MainQueue::runUntil([&] { return listed.size() == 3; }, 30s));
        EXPECT_EQ(picker.selectedPath(), "site/css");
        select(row("index.html", row("site")));
        EXPECT_EQ(picker.selectedPath(), "site");
        select(row("a.html"));
        select(row("site"));
        select(row("empty"));
        ASSERT_TRUE(MainQueue::runUntil([&] { return listed.size() == 4; }, 30s));
        select(row("site"));
        select(row("empty"));
        ASSERT_TRUE(MainQueue::runUntil([&] { return listed.size() == 5; }, 30s));
        EXPECT_EQ(listed, (QStringList{"", "site", "site/css", "empty", "empty"}));

        // A folder gone from the site: the listing's error is the status, the tree stays.
        QDir(QDir(s->root).filePath("pick/gone")).removeRecursively();
        select(row("gone"));
        ASSERT_TRUE(MainQueue::runUntil([&] { return !picker.status().isEmpty(); }, 30s));
        EXPECT_FALSE(picker.showProgress());
        EXPECT_EQ(names(model, {}), (QStringList{"a.html", "empty", "gone", "site"}));

        // The client killed under the picker: the queue logs in again and the listing arrives.
        ASSERT_TRUE(QDir(s->root).mkpath("pick/empty/late"));
        if (type == C::WebDAV) QProcess::execute("chown", {"-R", "www-data:www-data", QDir(s->root).filePath("pick")});
        if (type == C::SFTP) QProcess::execute("chown", {"-R", s->user + ":" + s->user, QDir(s->root).filePath("pick")});
        const int opened = quiet->opened;
        ::kill(queue->connection()->pid(), SIGKILL);
        select(row("site"));
        select(row("empty"));
        ASSERT_TRUE(MainQueue::runUntil([&] { return listed.size() == 6; }, 40s)) << picker.status().toStdString();
        EXPECT_EQ(names(model, row("empty")), QStringList{"late"});
        // A WebDAV folder is listed by a request of its own, not through the client, so its
        // listing may arrive before anything needs the client again.
        if (type != C::WebDAV) {
            EXPECT_GT(quiet->opened, opened);
        }

        // The sheet: OK without a selection answers the login folder, cancel nothing; errors
        // become its status.
        QWidget window;
        window.show();
        for (int tag : {1, 0}) {
            QVProjectSettingsRemoteFilePickerController sheet;
            std::optional<std::optional<QString>> answer;
            sheet.displayOnWindow(&window, [&](auto*, std::optional<QString> path) { answer = path; }, queue);
            ASSERT_TRUE(MainQueue::runUntil([&] { return sheet.picker()->model()->rowCount() == 3; }, 30s));
            sheet.presentErrorAlert(QVError::app(1, "Could Not Retrieve File Listing", "Check the folder's permissions."));
            EXPECT_EQ(sheet.picker()->status(), "Check the folder's permissions.");
            sheet.close(tag);
            sheet.close(tag);  // a second end says nothing more
            ASSERT_TRUE(answer);
            EXPECT_EQ(*answer, tag == 1 ? std::optional<QString>("") : std::nullopt);
        }
        queue->closeConnection();
        QDir(QDir(s->root).filePath("pick")).removeRecursively();
    }
}
