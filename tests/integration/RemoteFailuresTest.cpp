// Faults in the middle of a transfer, on each real client and server behind a loopback relay
// that slows, stalls or cuts it: a user's cancel, a stalled server, a client killed from outside,
// a disk that fills up. Each ends with a clear outcome, the local copy intact (or complete),
// nothing half-written left behind, and the queue still working.
#include "files/QVRemoteFileActions.h"
#include "files/QVRemoteSiteQueue.h"
#include "tests/integration/QueueEvents.h"
#include "files/QVWebDAVRequest.h"
#include "tests/support/RemotePeers.h"
#include "tests/support/RemoteRelay.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using C = QVRemoteFilesConnection;
using namespace std::chrono_literals;

class Recorder : public QueueEvents {
public:
    // The status line's texts too, for a test that asks.
    std::atomic<bool> recordsStatus{false};
    void queueSetStatus(QVRemoteSiteQueue*, const QString& text, bool) override {
        if (recordsStatus) add("status " + text);
    }
    void queueHadFatalFailure(QVRemoteSiteQueue*) override { add("fatal"); }
    void queueRetrievedFiles(QVRemoteSiteQueue*, const QList<QVRemoteFile>& files, const QString&) override {
        QStringList names;
        for (const QVRemoteFile& f : files) names << f.name();
        names.sort();
        add("listed " + names.join(","));
    }
    void queueDownloadedFile(QVRemoteSiteQueue*, const QString&, const QString& local) override { add("downloaded " + local); }
};

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

QStringList halfWritten(const QString& folder) {
    return QDir(folder).entryList({".tmp_Qorvel-*"}, QDir::Files | QDir::Hidden);
}

// Waits until a download into the folder has begun writing.
bool transferUnderWay(const QString& folder) {
    for (int i = 0; i < 400; ++i) {
        for (const QString& name : halfWritten(folder))
            if (QFileInfo(QDir(folder).filePath(name)).size() > 0) return true;
        std::this_thread::sleep_for(25ms);
    }
    return false;
}

}  // namespace

TEST(RemoteFailures, CancelStallKilledClientAndFullDiskEndClearlyLoseNothingAndTheQueueGoesOn) {
    // Three seconds a transfer through the relay: long enough to step in.
    constexpr int rate = 1 << 20;
    QByteArray big(3 * rate, '\0');
    for (qsizetype i = 0; i < big.size(); ++i) big[i] = char((quint64(i) * 7919) >> 5);
    const QByteArray old("the local copy before the download");

    for (int type : {C::FTP, C::SFTP, C::WebDAV}) {
        SCOPED_TRACE(type);
        auto s = peerSite(type);
        if (!s) {
            ADD_FAILURE() << "peer not started";
            continue;
        }
        writeFile(QDir(s->root).filePath("big.bin"), big);
        Relay relay(s->port, rate, type == C::FTP);
        ASSERT_GT(relay.port, 0);
        QTemporaryDir local;
        const QString target = local.filePath("keep.bin");
        auto recorder = std::make_shared<Recorder>();
        auto queue = QVRemoteSiteQueue::make(type, recorder);
        if (qEnvironmentVariableIsSet("QORVEL_REMOTE_LOG"))
            queue->setLogDelegate([](const QString& t) { fprintf(stderr, "%s", qPrintable(t)); });
        // A stalled sftp reply meets the time-out sooner than a user would wait for.
        queue->connection()->setReplyTimeout(type == C::SFTP ? 1500ms : 0ms);
        if (type == C::WebDAV) queue->setInitialWorkingDirectory("/dav/");
        queue->connectToHost("127.0.0.1", relay.port, s->user, qEnvironmentVariable("QORVEL_PEER_PASSWORD"),
                             s->arguments);
        ASSERT_TRUE(recorder->next("opened", 0));
        const QString remote = s->base + "big.bin";

        auto download = [&](const QString& into) {
            const qsizetype from = recorder->size();
            queue->downloadFile(remote, into, recorder);
            return from;
        };
        auto stillUsable = [&] {
            const qsizetype from = recorder->size();
            queue->getFileListing(s->base, recorder);
            const auto listed = recorder->next("listed", from);
            ASSERT_TRUE(listed);
            EXPECT_TRUE(listed->contains("big.bin")) << listed->toStdString();
        };

        // The user cancels a long download: it fails saying so, the old copy stays.
        writeFile(target, old);
        qsizetype from = download(target);
        ASSERT_TRUE(transferUnderWay(local.path()));
        queue->cancel();
        auto failed = recorder->next("failed", from);
        ASSERT_TRUE(failed);
        EXPECT_EQ(*failed, "failed Could Not Download File");
        EXPECT_TRUE(recorder->lastError.localizedRecoverySuggestion().contains("cancelled"));
        EXPECT_EQ(readAll(target), old);
        EXPECT_EQ(halfWritten(local.path()), QStringList());
        stillUsable();

        // The server stalls mid-transfer: sftp's silence meets the time-out and the download is
        // done again on a new connection; tnftp and cadaver wait until the user cancels.
        from = download(target);
        ASSERT_TRUE(transferUnderWay(local.path()));
        relay.command("stall");
        if (type == C::SFTP) {
            const auto done = recorder->next("downloaded", from);
            ASSERT_TRUE(done);
            EXPECT_EQ(readAll(target), big);
        } else {
            EXPECT_FALSE(recorder->next("", from, 1500ms));
            queue->cancel();
            ASSERT_TRUE(recorder->next("failed Could Not Download File", from));
            EXPECT_EQ(readAll(target), old);
        }
        EXPECT_EQ(halfWritten(local.path()), QStringList());
        stillUsable();

        // The client is killed from outside mid-transfer: logged in again, the download
        // repeated and complete.
        writeFile(target, old);
        from = download(target);
        ASSERT_TRUE(transferUnderWay(local.path()));
        ::kill(queue->connection()->pid(), SIGKILL);
        ASSERT_TRUE(recorder->next("downloaded", from));
        EXPECT_EQ(readAll(target), big);
        EXPECT_EQ(halfWritten(local.path()), QStringList());

        // The disk fills up: a failure, the old copy intact, the space given back.
        const QString small = qEnvironmentVariable("QORVEL_SMALL_DISK");
        if (!small.isEmpty()) {
            const QString onSmall = QDir(small).filePath(QString("keep-%1.bin").arg(type));
            writeFile(onSmall, old);
            from = download(onSmall);
            failed = recorder->next("failed", from);
            ASSERT_TRUE(failed);
            EXPECT_EQ(*failed, "failed Could Not Download File");
            EXPECT_EQ(recorder->next("downloaded", from, 10ms), std::nullopt);
            EXPECT_EQ(readAll(onSmall), old);
            EXPECT_EQ(halfWritten(small), QStringList());
            QFile::remove(onSmall);
        }
        stillUsable();
        queue->closeConnection();
        QFile::remove(QDir(s->root).filePath("big.bin"));
    }
}

TEST(RemoteFailures, CutUploadsFailUntilARetryCompletesThemAndAServerDownForAMomentIsWaitedFor) {
    constexpr int rate = 1 << 20;
    QByteArray big(3 * rate, '\0');
    for (qsizetype i = 0; i < big.size(); ++i) big[i] = char((quint64(i) * 104729) >> 7);
    const QByteArray old("the site's copy before the upload");

    for (int type : {C::FTP, C::SFTP, C::WebDAV}) {
        SCOPED_TRACE(type);
        auto s = peerSite(type);
        if (!s) {
            ADD_FAILURE() << "peer not started";
            continue;
        }
        QTemporaryDir local;
        writeFile(local.filePath("big.bin"), big);
        const QString onSite = QDir(s->root).filePath("kept.bin");
        writeFile(onSite, old);
        // The site's account's own file, as a file it saves would be.
        struct stat home;
        ASSERT_EQ(::stat(QFile::encodeName(s->root).constData(), &home), 0);
        ASSERT_EQ(::chown(QFile::encodeName(onSite).constData(), home.st_uid, home.st_gid), 0);
        Relay relay(s->port, rate, type == C::FTP);
        ASSERT_GT(relay.port, 0);
        auto recorder = std::make_shared<Recorder>();
        auto queue = QVRemoteSiteQueue::make(type, recorder);
        if (qEnvironmentVariableIsSet("QORVEL_REMOTE_LOG"))
            queue->setLogDelegate([](const QString& t) { fprintf(stderr, "%s", qPrintable(t)); });
        if (type == C::WebDAV) queue->setInitialWorkingDirectory("/dav/");
        queue->connectToHost("127.0.0.1", relay.port, s->user, qEnvironmentVariable("QORVEL_PEER_PASSWORD"), s->arguments);
        ASSERT_TRUE(recorder->next("opened", 0));

        // An upload cut half-way fails and, as a plain put does, leaves part of the text (Apache
        // keeps a request's body aside until it is complete).
        qsizetype from = recorder->size();
        queue->uploadFile(local.filePath("big.bin"), s->base + "kept.bin", recorder);
        // Apache keeps a request's body under a name of its own until it is complete.
        if (type == C::WebDAV) std::this_thread::sleep_for(1s);
        else
            for (int i = 0; i < 400 && readAll(onSite) == old; ++i) std::this_thread::sleep_for(25ms);
        queue->cancel();
        ASSERT_TRUE(recorder->next("failed", from));
        {
            // Cancelled, not refused: the error says so and sends nobody to their write access.
            std::lock_guard g(recorder->lock);
            const QString said = recorder->lastError.localizedRecoverySuggestion();
            EXPECT_TRUE(said.contains("It was cancelled.")) << said.toStdString();
            EXPECT_FALSE(said.contains("Please be sure")) << said.toStdString();
        }
        if (type == C::WebDAV) EXPECT_EQ(readAll(onSite), old);
        else EXPECT_NE(readAll(onSite), big);
        for (int i = 0; i < 100 && !halfWritten(s->root).isEmpty(); ++i) std::this_thread::sleep_for(50ms);
        EXPECT_EQ(halfWritten(s->root), QStringList());

        // A server down for a moment: the login is tried again until it is back. (cadaver
        // connects per request, so only the clients with a standing connection are cut.)
        if (type != C::WebDAV) {
            // First the fresh login that follows the cancel, so the outage meets a working
            // connection whatever the machine's load made of the timing.
            from = recorder->size();
            queue->getFileListing(s->base, recorder);
            ASSERT_TRUE(recorder->next("listed", from, 30s));
            relay.command("down");
            std::this_thread::sleep_for(200ms);
            from = recorder->size();
            queue->getFileListing(s->base, recorder);
            const auto listed = recorder->next("listed", from, 40s);
            EXPECT_TRUE(listed && listed->contains("kept.bin"));
            EXPECT_FALSE(recorder->next("fatal", 0, 10ms));

            // A transfer cut half-way: the upload runs again after a fresh login and counts only
            // once the whole text is there.
            writeFile(onSite, old);
            from = recorder->size();
            queue->uploadFile(local.filePath("big.bin"), s->base + "kept.bin", recorder);
            for (int i = 0; i < 400 && readAll(onSite) == old; ++i) std::this_thread::sleep_for(25ms);
            relay.command("cut");
            EXPECT_TRUE(recorder->next("uploaded", from, 60s));
            EXPECT_FALSE(recorder->next("failed", from, 10ms));
            EXPECT_EQ(readAll(onSite), big);
            EXPECT_EQ(halfWritten(s->root), QStringList());
            writeFile(onSite, old);
        }

        // A file named like a temporary (a user's, or one a killed Qorvel left: they cannot be
        // told apart) is neither written over nor removed by the next upload.
        const QString leftover = QDir(s->root).filePath(".tmp_Qorvel-kept.bin");
        writeFile(leftover, big.left(rate / 2));
        QFile::setPermissions(leftover, QFileDevice::Permissions(0x6666));  // the site's account's, as it would be
        writeFile(local.filePath("whole.bin"), "the whole new copy");
        from = recorder->size();
        queue->uploadFile(local.filePath("whole.bin"), s->base + "kept.bin", recorder);
        EXPECT_TRUE(recorder->next("uploaded", from, 30s));
        EXPECT_EQ(readAll(onSite), "the whole new copy");
        EXPECT_EQ(readAll(leftover), big.left(rate / 2));
        EXPECT_EQ(halfWritten(s->root), QStringList{".tmp_Qorvel-kept.bin"});
        queue->closeConnection();
        QFile::remove(onSite);
        QFile::remove(leftover);
    }
}

TEST(RemoteFailures, SftpLoginsThatEndOrStaySilentFailOnceAndStop) {
    auto s = peerSite(C::SFTP);
    ASSERT_TRUE(s) << "peer not started";
    struct Case {
        const char* name;
        const char* relayWord;
    };
    for (const Case& c : {Case{"the client ends during the login", "down"}, Case{"the server never answers", "mute"}}) {
        SCOPED_TRACE(c.name);
        Relay relay(s->port, 0, false);
        ASSERT_GT(relay.port, 0);
        relay.command(c.relayWord);
        std::this_thread::sleep_for(200ms);  // the relay reads its word
        auto recorder = std::make_shared<Recorder>();
        auto queue = QVRemoteSiteQueue::make(C::SFTP, recorder);
        queue->connection()->setReplyTimeout(1500ms);
        queue->connectToHost("127.0.0.1", relay.port, s->user, qEnvironmentVariable("QORVEL_PEER_PASSWORD"), s->arguments);
        ASSERT_TRUE(recorder->next("fatal", 0, 15s));
        std::this_thread::sleep_for(1s);
        std::lock_guard g(recorder->lock);
        EXPECT_EQ(recorder->events.filter("fatal").size(), 1) << recorder->events.mid(0, 5).join(" | ").toStdString();
        EXPECT_EQ(recorder->events.filter("opened").size(), 0);
    }
}

TEST(RemoteFailures, ADrippingWebDAVAnswerEndsOnCancelOrAtItsDeadlineAndASaveWaitingBehindItSaysSoThenGoes) {
    auto s = peerSite(C::WebDAV);
    ASSERT_TRUE(s) << "peer not started";
    Relay relay(s->port, 0, false);
    ASSERT_GT(relay.port, 0);
    auto recorder = std::make_shared<Recorder>();
    recorder->recordsStatus = true;
    auto queue = QVRemoteSiteQueue::make(C::WebDAV, recorder);
    if (qEnvironmentVariableIsSet("QORVEL_REMOTE_LOG"))
        queue->setLogDelegate([](const QString& t) { fprintf(stderr, "%s", qPrintable(t)); });
    queue->setInitialWorkingDirectory("/dav/");
    queue->connectToHost("127.0.0.1", relay.port, s->user, qEnvironmentVariable("QORVEL_PEER_PASSWORD"), s->arguments);
    ASSERT_TRUE(recorder->next("opened", 0));
    QTemporaryDir local;
    const QString onSite = QDir(s->root).filePath("dripsaved.html");
    const QVWebDAVRequest::Deadlines usual = QVWebDAVRequest::deadlines();

    struct Case {
        const char* name;
        const char* drip;
        bool cancel;
        QVWebDAVRequest::Deadlines deadlines;
        const char* said;  // in the failure's text
        QString listed;    // the folder listed: the site's top folder is the empty path
        const char* shown;  // how the status line names it
    };
    const Case cases[] = {
        {"a byte every 2 s, cancelled", "drip 2", true, usual, "It was cancelled.", s->base, "\"/dav/\""},
        {"a byte every 59 s, past the answer's deadline", "drip 59", false, {3000, 0, 60}, "PROPFIND /dav/", s->base,
         "\"/dav/\""},
        {"a byte a second, slower than the slowest pace", "drip 1", false, {0, 64, 3}, "PROPFIND /dav/", s->base,
         "\"/dav/\""},
        {"the site's top folder, a byte every 2 s, cancelled", "drip 2", true, usual, "It was cancelled.", "",
         "the site's top folder"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QVWebDAVRequest::setDeadlines(c.deadlines);
        QFile::remove(onSite);
        const QByteArray saved = QByteArray("<p>saved while ") + c.name + "</p>\n";
        writeFile(local.filePath("dripsaved.html"), saved);
        relay.command(c.drip);
        std::this_thread::sleep_for(200ms);  // the relay reads its word
        const qsizetype from = recorder->size();
        queue->getFileListing(c.listed, recorder);
        for (int i = 0; i < 200 && relay.dripping() == 0; ++i) std::this_thread::sleep_for(50ms);
        ASSERT_EQ(relay.dripping(), 1);
        relay.command("flow");
        std::this_thread::sleep_for(200ms);

        // A save made meanwhile waits behind the listing, and the status line says so.
        queue->uploadFile(local.filePath("dripsaved.html"), s->base + "dripsaved.html", recorder);
        const auto waits = recorder->next("status Getting file list", from, 5s);
        ASSERT_TRUE(waits);
        EXPECT_TRUE(recorder->next(QString("status Getting file list for %1 (\"dripsaved.html\" waits to upload").arg(c.shown), from, 5s))
            << waits->toStdString();
        EXPECT_FALSE(recorder->next("failed", from, 500ms));
        EXPECT_FALSE(QFile::exists(onSite));

        if (c.cancel) queue->cancel();
        const auto failed = recorder->next("failed", from, 30s);
        ASSERT_TRUE(failed);
        EXPECT_EQ(*failed, "failed Could Not Retrieve File Listing");
        {
            std::lock_guard g(recorder->lock);
            const QString text = recorder->lastError.localizedRecoverySuggestion();
            EXPECT_TRUE(text.contains(c.said)) << text.toStdString();
            // Why is known: no guess at a missing folder or permissions comes before it.
            EXPECT_FALSE(text.contains("may not exist")) << text.toStdString();
            EXPECT_EQ(text.contains("did not finish its answer in time"), !c.cancel) << text.toStdString();
        }
        // The connection that dripped is closed, and the save goes once the way is free.
        for (int i = 0; i < 200 && relay.dripping() > 0; ++i) std::this_thread::sleep_for(50ms);
        EXPECT_EQ(relay.dripping(), 0);
        EXPECT_TRUE(recorder->next("uploaded", from, 30s));
        EXPECT_EQ(readAll(onSite), saved);
        std::this_thread::sleep_for(300ms);
        std::lock_guard g(recorder->lock);
        const QStringList after = recorder->events.mid(from);
        // One failure told, once; the status line no longer says the listing runs.
        EXPECT_EQ(after.filter("failed").size(), 1) << after.join(" | ").toStdString();
        const QStringList statuses = after.filter(QRegularExpression("^status "));
        ASSERT_FALSE(statuses.isEmpty());
        EXPECT_FALSE(statuses.last().contains("Getting file list")) << statuses.join(" | ").toStdString();
    }
    QVWebDAVRequest::setDeadlines(usual);
    queue->closeConnection();
    QFile::remove(onSite);
}
