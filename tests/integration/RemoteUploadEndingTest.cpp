// A save ended on our side (the pace, the answer's deadline, a cancel) at each moment of its
// request, then saved again, on real Apache behind the suite's relay, which reads the body
// slowly, holds it before the server works on it, or drips the answer. What counts is the file
// on the server once every connection has ended: the text of the last save Qorvel called
// uploaded, unless Qorvel's last word on it said the site may hold another. Deadlines are scaled
// down through QVWebDAVRequest::setDeadlines; the logic is the one the defaults run.
#include "files/QVRemoteFile.h"
#include "files/QVRemoteSiteQueue.h"
#include "tests/integration/QueueEvents.h"
#include "files/QVWebDAVRequest.h"
#include "tests/support/RemotePeers.h"
#include "tests/support/RemoteRelay.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <condition_variable>
#include <mutex>
#include <thread>

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

using C = QVRemoteFilesConnection;
using namespace std::chrono_literals;

class Recorder : public QueueEvents {
public:
    void queueSetStatus(QVRemoteSiteQueue*, const QString& text, bool) override { add("status " + text); }
    void queueMovedFile(QVRemoteSiteQueue*, const QString& from, const QString& to) override { add("moved " + from + " " + to); }
    void queueDeletedFile(QVRemoteSiteQueue*, const QString& path) override { add("deleted " + path); }
    void queueRetrievedFiles(QVRemoteSiteQueue*, const QList<QVRemoteFile>&, const QString& path) override { add("listed " + path); }
};

QByteArray text(const char* label, int size) {
    QByteArray t = QByteArray("<p>") + label + "</p>\n";
    while (t.size() < size) t += QByteArray("<!-- ") + label + " -->\n";
    return t;
}

// A login of its own through a relay of its own, so the relay's words reach only this queue's
// requests. `first` is a word the relay reads before the login.
struct RelayedQueue {
    Relay relay;
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
    std::shared_ptr<QVRemoteSiteQueue> queue;

    RelayedQueue(int type, const PeerSite& s, int bytesPerSecond = 0, const char* first = nullptr)
        : relay(s.port, bytesPerSecond, type == C::FTP), queue(QVRemoteSiteQueue::make(type, recorder)) {
        if (first) word(first);
        if (type == C::WebDAV) queue->setInitialWorkingDirectory("/dav/");
        queue->connectToHost("127.0.0.1", relay.port, s.user, qEnvironmentVariable("QORVEL_PEER_PASSWORD"), s.arguments);
    }
    bool opened() { return relay.port > 0 && recorder->next("opened", 0, 30s); }
    void word(const char* w) {
        relay.command(w);
        std::this_thread::sleep_for(200ms);  // the relay reads its word
    }
    // The bytes written to the local file, then uploaded to `remote`.
    void save(const QString& local, const QByteArray& bytes, const QString& remote) {
        QFile f(local);
        if (!f.open(QIODevice::WriteOnly)) ADD_FAILURE() << "cannot write " << local.toStdString();
        f.write(bytes);
        f.close();
        queue->uploadFile(local, remote, recorder);
    }
    // Until every upload the relay's word reached is done with at the server.
    bool settled() {
        for (int i = 0; i < 1200 && relay.puts() > 0; ++i) std::this_thread::sleep_for(50ms);
        std::this_thread::sleep_for(300ms);
        return relay.puts() == 0;
    }
};

// What Qorvel's word on the first save is: uploaded, failed or cancelled (then the site must
// never hold it), or not confirmed (the site may hold it; the next save must land after it).
enum Word { Uploaded, Failed, MaySave, Any };
struct EndingRow {
    const char* name;
    const char* relayWord;  // the relay's word for the first save; empty: it passes
    int bodyBytes;  // 0: an empty file
    QVWebDAVRequest::Deadlines deadlines;  // answer, slowest pace, its seconds, settle bound
    int cancelAfterMs;  // after the upload starts; -1: no cancel
    Word word;
};
// A slow reader's kernel opens its window a kilobyte at a time: the pace is judged over
// seconds enough to see a few of them, as the default minute does.
const QVWebDAVRequest::Deadlines scaled{1500, 100, 4, 30000};
const QVWebDAVRequest::Deadlines roomy{6000, 100, 4, 30000};

// Each row's first save ends as the row says, then a second save follows; the site must end
// with what Qorvel's words said.
void saveEachRowTwice(std::initializer_list<EndingRow> rows) {
    auto s = peerSite(C::WebDAV);
    ASSERT_TRUE(s) << "peer not started";
    const QVWebDAVRequest::Deadlines usual = QVWebDAVRequest::deadlines();
    QTemporaryDir local;
    const QString onSite = QDir(s->root).filePath("ending.html");
    int n = 0;
    for (const EndingRow& row : rows) {
        SCOPED_TRACE(row.name);
        RelayedQueue site(C::WebDAV, *s);
        ASSERT_TRUE(site.opened());
        auto& relay = site.relay;
        auto& recorder = site.recorder;
        auto& queue = site.queue;
        QVWebDAVRequest::setDeadlines(row.deadlines);
        ++n;
        const QByteArray before = text(qPrintable(QString("before row %1").arg(n)), 100);
        const QByteArray first =
            row.bodyBytes > 0 ? text(qPrintable(QString("first save of row %1").arg(n)), row.bodyBytes) : QByteArray();
        const QByteArray second = text(qPrintable(QString("second save of row %1").arg(n)), 300);
        {
            QFile f(onSite);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(before);
        }
        ::chmod(QFile::encodeName(onSite).constData(), 0666);
        const QString mine = local.filePath(QString("ending-%1.html").arg(n));
        const auto save = [&](const QByteArray& bytes) { site.save(mine, bytes, s->base + "ending.html"); };

        if (*row.relayWord) site.word(row.relayWord);
        qsizetype from = recorder->size();
        save(first);
        if (row.cancelAfterMs >= 0) {
            ASSERT_TRUE(recorder->next("status Uploading", from, 10s));
            std::this_thread::sleep_for(std::chrono::milliseconds(row.cancelAfterMs));
            queue->cancel();
        }
        const auto word = recorder->next({"uploaded", "failed"}, from);
        ASSERT_TRUE(word);
        QString said;
        {
            std::lock_guard g(recorder->lock);
            said = recorder->lastError.localizedRecoverySuggestion();
        }
        const bool uploaded = word->startsWith("uploaded");
        const bool maySave = *word == "failed Upload Not Confirmed";
        const Word got = uploaded ? Uploaded : maySave ? MaySave : Failed;
        if (row.word != Any) {
            EXPECT_EQ(got, row.word) << word->toStdString() << ": " << said.toStdString();
        }
        if (maySave) {
            EXPECT_TRUE(said.contains("the site may still save it")) << said.toStdString();
            EXPECT_FALSE(said.contains("could not be uploaded") || said.contains("cancelled")) << said.toStdString();
        }

        from = recorder->size();
        if (got == MaySave) {
            // The second save goes at once, and waits, saying so, until the site is done with
            // the first: it must not land before it.
            save(second);
            if (relay.puts() > 0) {
                EXPECT_TRUE(recorder->next("status Waiting for the site to finish an earlier save of \"ending.html\"", from, 10s));
            }
            ASSERT_TRUE(recorder->next({"uploaded", "failed"}, from));
            EXPECT_TRUE(recorder->next("uploaded", from, 0ms));
            ASSERT_TRUE(site.settled());
        } else {
            // The site ends the first request, and holds exactly what the word said.
            ASSERT_TRUE(site.settled());
            EXPECT_EQ(readAll(onSite), uploaded ? first : before);
            save(second);
            EXPECT_TRUE(recorder->next("uploaded", from));
            ASSERT_TRUE(site.settled());
        }
        EXPECT_EQ(readAll(onSite), second);
        queue->closeConnection();
        std::this_thread::sleep_for(200ms);
    }
    QVWebDAVRequest::setDeadlines(usual);
    QFile::remove(onSite);
}

}  // namespace

TEST(RemoteUploadEnding, ASaveEndedByThePaceOrTheAnswersDeadlineThenSavedAgainLeavesTheSiteWithWhatQorvelLastSaid) {
    saveEachRowTwice({
        {"an honest slow reader, 400 B/s, above the pace", "putslow 400", 5000, scaled, -1, Uploaded},
        {"a reader slower than the pace, 50 B/s: the pace ends it mid-body", "putslow 50", 5000, scaled, -1, Failed},
        {"a server that works 3 s on a body it took, inside the answer's deadline", "puthold 3", 5000, roomy, -1, Uploaded},
        {"a server that works 4 s on a body it took, past the answer's deadline", "puthold 4", 5000, scaled, -1, MaySave},
        {"a server that drips its answer past the pace", "putdrip 1", 5000, scaled, -1, MaySave},
        // Its interim answers are not its answer: the pace must not end a server still at work.
        {"a server that says \"102 Processing\" each second for 10 s, past the pace", "putbusy 10", 5000, {8000, 100, 4, 30000}, -1, MaySave},
    });
}

TEST(RemoteUploadEnding, ASaveCancelledAtAnyMomentThenSavedAgainLeavesTheSiteWithWhatQorvelLastSaid) {
    const QVWebDAVRequest::Deadlines usual = QVWebDAVRequest::deadlines();
    saveEachRowTwice({
        {"cancel at 0.1 s while a slow reader takes the body", "putslow 50", 5000, usual, 100, Failed},
        {"cancel at 0.5 s while a slow reader takes the body", "putslow 50", 5000, usual, 500, Failed},
        {"cancel at 1 s while a slow reader takes the body", "putslow 50", 5000, usual, 1000, Failed},
        {"cancel at 0.1 s after the server took the body", "puthold 3", 5000, scaled, 100, MaySave},
        {"cancel at 0.5 s after the server took the body", "puthold 3", 5000, scaled, 500, MaySave},
        {"cancel at 1 s after the server took the body", "puthold 3", 5000, scaled, 1000, MaySave},
        // An emptied file's request is its head alone: once that went out, the site has it all.
        {"an empty file to a server that works 4 s on it, past the answer's deadline", "puthold 4", 0, scaled, -1, MaySave},
        {"cancel at 0.5 s of an empty file the server works on", "puthold 3", 0, scaled, 500, MaySave},
        {"cancel at 0.1 s of 3 MB to a server that takes it at once", "", 3 << 20, usual, 100, Any},
        {"cancel at 0.5 s of 3 MB to a server that takes it at once", "", 3 << 20, usual, 500, Any},
    });
}

TEST(RemoteUploadEnding, WhatFollowsASaveTheSiteHasNotAnsweredLandsAfterItOrGoesAtOnceForAnotherFile) {
    auto s = peerSite(C::WebDAV);
    ASSERT_TRUE(s) << "peer not started";
    const QVWebDAVRequest::Deadlines usual = QVWebDAVRequest::deadlines();
    // The first save's answer comes 8 s after its body, past the answer's deadline: it is given
    // up on, unsettled, and the site then saves it. What the row does next follows at once.
    enum Next { Delete, RenameAway, RenameOnto, SaveAnother };
    struct Row {
        const char* name;
        Next next;
    };
    const Row rows[] = {
        {"a delete of the file", Delete},
        {"a rename of the file to another name", RenameAway},
        {"a rename of another file onto its name", RenameOnto},
        {"a save of another file of the site", SaveAnother},
    };
    QTemporaryDir local;
    const QString onSite = QDir(s->root).filePath("unsettled.html");
    const QString other = QDir(s->root).filePath("unsettled-other.html");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        RelayedQueue site(C::WebDAV, *s);
        ASSERT_TRUE(site.opened());
        auto& relay = site.relay;
        auto& recorder = site.recorder;
        auto& queue = site.queue;
        QVWebDAVRequest::setDeadlines({1500, 100, 4, 30000});
        const QByteArray before = text("before", 100), first = text(row.name, 5000), another = text("another file", 300);
        QFile::remove(other);
        for (const QString& path : row.next == RenameOnto ? QStringList{onSite, other} : QStringList{onSite}) {
            QFile f(path);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(path == onSite ? before : QByteArray("<p>the other file as it was</p>\n"));
            f.close();
            ::chmod(QFile::encodeName(path).constData(), 0666);
        }
        const auto save = [&](const QString& name, const QByteArray& bytes, const QString& remote) {
            site.save(local.filePath(name), bytes, s->base + remote);
        };
        site.word("puthold 8");
        qsizetype from = recorder->size();
        save("unsettled.html", first, "unsettled.html");
        ASSERT_EQ(recorder->next({"uploaded", "failed"}, from).value_or("none"), "failed Upload Not Confirmed");
        ASSERT_GT(relay.puts(), 0);
        from = recorder->size();
        switch (row.next) {
        case Delete: queue->deleteFile(s->base + "unsettled.html", recorder); break;
        case RenameAway: queue->moveFile(s->base + "unsettled.html", s->base + "unsettled-other.html", recorder); break;
        case RenameOnto: queue->moveFile(s->base + "unsettled-other.html", s->base + "unsettled.html", recorder); break;
        case SaveAnother: save("unsettled-other.html", another, "unsettled-other.html"); break;
        }
        const auto word = recorder->next({"uploaded", "moved", "deleted", "failed"}, from);
        ASSERT_TRUE(word);
        if (row.next == SaveAnother) {
            // Another file is not held up by the one the site has not answered.
            EXPECT_TRUE(word->startsWith("uploaded")) << word->toStdString();
            EXPECT_GT(relay.puts(), 0);
        } else {
            // Said only once the site is done with the save: it cannot land after it.
            EXPECT_TRUE(recorder->next("status Waiting for the site to finish an earlier save of \"unsettled.html\"", from, 0ms))
                << recorder->events.join(" | ").toStdString();
            EXPECT_EQ(relay.puts(), 0);
        }
        ASSERT_TRUE(site.settled());
        // What the site holds once every request ended is what Qorvel's words say.
        switch (row.next) {
        case Delete:
            EXPECT_TRUE(word->startsWith("deleted")) << word->toStdString();
            EXPECT_FALSE(QFile::exists(onSite));
            break;
        case RenameAway:
            EXPECT_TRUE(word->startsWith("moved")) << word->toStdString();
            EXPECT_EQ(readAll(other), first);
            EXPECT_FALSE(QFile::exists(onSite));
            break;
        case RenameOnto:
            // Moved over the saved text, or refused as the name is taken: never under it.
            if (word->startsWith("moved")) {
                EXPECT_EQ(readAll(onSite), "<p>the other file as it was</p>\n");
                EXPECT_FALSE(QFile::exists(other));
            } else {
                EXPECT_EQ(readAll(onSite), first) << word->toStdString();
                EXPECT_TRUE(QFile::exists(other));
            }
            break;
        case SaveAnother:
            EXPECT_EQ(readAll(other), another);
            EXPECT_EQ(readAll(onSite), first);
            break;
        }
        queue->closeConnection();
        std::this_thread::sleep_for(200ms);
        QFile::remove(onSite);
        QFile::remove(other);
    }
    QVWebDAVRequest::setDeadlines(usual);
}

TEST(RemoteUploadEnding, OneCancelEndsARefreshAndWhatWaitsAndASaveBehindListingsIsSaidAndGoesNext) {
    auto s = peerSite(C::WebDAV);
    ASSERT_TRUE(s) << "peer not started";
    const QVWebDAVRequest::Deadlines usual = QVWebDAVRequest::deadlines();
    for (const char* folder : {"ra", "rb", "rc"}) QDir(s->root).mkpath(folder);
    QTemporaryDir local;
    const QString onSite = QDir(s->root).filePath("behind.html");

    struct Row {
        const char* name;
        bool cancel;                           // else the first listing meets its deadline
        QVWebDAVRequest::Deadlines deadlines;
    };
    const Row rows[] = {
        {"one cancel while the first of three slow listings runs", true, usual},
        {"the first of three slow listings meets its deadline", false, {2500, 0, 60, 30000}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QVWebDAVRequest::setDeadlines(row.deadlines);
        RelayedQueue site(C::WebDAV, *s);
        ASSERT_TRUE(site.opened());
        auto& relay = site.relay;
        auto& recorder = site.recorder;
        auto& queue = site.queue;
        QFile::remove(onSite);
        const QByteArray saved = QByteArray("<p>saved behind a refresh: ") + row.name + "</p>\n";
        {
            QFile f(local.filePath("behind.html"));
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(saved);
        }
        site.word("drip 1");
        const qsizetype from = recorder->size();
        // A refresh: the folders' listings queued one after another.
        for (const char* folder : {"ra", "rb", "rc"}) queue->getFileListing(s->base + folder, recorder);
        for (int i = 0; i < 200 && relay.dripping() == 0; ++i) std::this_thread::sleep_for(50ms);
        ASSERT_EQ(relay.dripping(), 1);
        // Only the first listing drips; what connects later passes.
        site.word("flow");
        queue->uploadFile(local.filePath("behind.html"), s->base + "behind.html", recorder);
        EXPECT_TRUE(recorder->next("status Getting file list for \"/dav/ra\" (\"behind.html\" waits to upload", from, 5s));
        if (row.cancel) {
            const qsizetype cancelledAt = recorder->size();
            queue->cancel();
            ASSERT_TRUE(recorder->next("uploaded", from)) << recorder->events.join(" | ").toStdString();
            EXPECT_EQ(readAll(onSite), saved);
            std::this_thread::sleep_for(500ms);
            std::lock_guard g(recorder->lock);
            const QStringList after = recorder->events.mid(cancelledAt);
            // Every listing of the refresh ended with the one cancel, and none started again.
            EXPECT_EQ(after.filter("failed Could Not Retrieve File Listing").size(), 3) << after.join(" | ").toStdString();
            EXPECT_TRUE(after.filter("status Getting file list").isEmpty()) << after.join(" | ").toStdString();
        } else {
            // The save goes next once the listing in front of it ends, before the others.
            ASSERT_TRUE(recorder->next("uploaded", from)) << recorder->events.join(" | ").toStdString();
            EXPECT_EQ(readAll(onSite), saved);
            ASSERT_TRUE(recorder->next("status Getting file list for \"/dav/rc\"", from));
            std::lock_guard g(recorder->lock);
            const QStringList after = recorder->events.mid(from);
            const qsizetype uploadedAt = after.indexOf(QRegularExpression("uploaded .*"));
            const qsizetype secondAt = after.indexOf(QRegularExpression("status Getting file list for \"/dav/rb\".*"));
            EXPECT_TRUE(uploadedAt >= 0 && secondAt > uploadedAt) << after.join(" | ").toStdString();
        }
        queue->closeConnection();
    }

    // A cancel that comes before the listing starts (the login still runs) removes it.
    QVWebDAVRequest::setDeadlines(usual);
    auto recorder = std::make_shared<Recorder>();
    auto queue = QVRemoteSiteQueue::make(C::WebDAV, recorder);
    queue->setInitialWorkingDirectory("/dav/");
    queue->connectToHost("127.0.0.1", s->port, s->user, qEnvironmentVariable("QORVEL_PEER_PASSWORD"), s->arguments);
    queue->getFileListing(s->base + "ra", recorder);
    queue->cancel();
    const auto failed = recorder->next("failed", 0, 10s);
    ASSERT_TRUE(failed);
    EXPECT_EQ(*failed, "failed Could Not Retrieve File Listing");
    {
        std::lock_guard g(recorder->lock);
        EXPECT_TRUE(recorder->lastError.localizedRecoverySuggestion().contains("cancelled before it started"));
    }
    ASSERT_TRUE(recorder->next("opened", 0, 30s));
    // A cancel given at once after a listing is queued, on a queue at rest, twenty times: each
    // listing ends (removed, cancelled, or done first) and never holds up the next.
    for (int i = 0; i < 20; ++i) {
        const qsizetype from = recorder->size();
        queue->getFileListing(s->base + "rc", recorder);
        queue->cancel();
        ASSERT_TRUE(recorder->next({"failed", "listed"}, from, 10s)) << i;
    }
    const qsizetype last = recorder->size();
    queue->getFileListing(s->base + "rb", recorder);
    EXPECT_TRUE(recorder->next("listed /dav/rb", last, 10s));
    std::lock_guard g(recorder->lock);
    EXPECT_TRUE(recorder->events.filter("status Getting file list for \"/dav/ra\"").isEmpty()) << recorder->events.join(" | ").toStdString();
    queue->closeConnection();
}

TEST(RemoteUploadEnding, AnFtpOrSftpSaveCancelledOnTheWayThenSavedAgainLeavesTheSecondSave) {
    // Run again as a process of its own where the kernel refuses pidfd_getfd to every thread (as
    // a seccomp filter or a strict ptrace scope does): the client cannot be cut, and the message
    // must not promise that a later save is the last word.
    const bool refusing = qEnvironmentVariableIsSet("QORVEL_TEST_REFUSE_GETFD");
    if (refusing) {
        sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_pidfd_getfd, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        sock_fprog program{sizeof filter / sizeof filter[0], filter};
        ASSERT_EQ(::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0), 0);
        ASSERT_EQ(::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_TSYNC, &program), 0);
    } else {
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QORVEL_TEST_REFUSE_GETFD", "1");
        child.setProcessEnvironment(environment);
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(QCoreApplication::applicationFilePath(),
                    {"--gtest_filter=RemoteUploadEnding.AnFtpOrSftpSaveCancelledOnTheWayThenSavedAgainLeavesTheSecondSave"});
        ASSERT_TRUE(child.waitForFinished(300000));
        EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(child.exitCode(), 0) << "the run where the kernel refuses to cut the client";
    }
    QTemporaryDir local;
    for (int type : {C::FTP, C::SFTP}) {
        SCOPED_TRACE(type);
        auto s = peerSite(type);
        ASSERT_TRUE(s) << "peer not started";
        // A link of 64 KB a second: the first save, 1 MB, is on its way for seconds. As over a
        // real link, what the client sent before an orderly end still arrives ("drain").
        RelayedQueue site(type, *s, 64 << 10, "drain");
        ASSERT_TRUE(site.opened());
        auto& recorder = site.recorder;
        auto& queue = site.queue;
        const QString onSite = QDir(s->root).filePath("cut.html");
        QFile::remove(onSite);
        const QByteArray first = text("the first save, cancelled on its way", 1 << 20);
        const QByteArray second = text("the second save", 300);
        const QString mine = local.filePath(QString("cut-%1.html").arg(type));
        const auto save = [&](const QByteArray& bytes) { site.save(mine, bytes, s->base + "cut.html"); };
        qsizetype from = recorder->size();
        save(first);
        ASSERT_TRUE(recorder->next("status Uploading", from, 10s));
        for (int i = 0; i < 200 && QFileInfo(onSite).size() <= 0; ++i) std::this_thread::sleep_for(25ms);
        queue->cancel();
        const auto word = recorder->next({"uploaded", "failed"}, from);
        ASSERT_TRUE(word);
        EXPECT_EQ(*word, "failed Could Not Upload File");
        {
            std::lock_guard g(recorder->lock);
            const QString said = recorder->lastError.localizedRecoverySuggestion();
            EXPECT_TRUE(said.contains("may now hold some or all of it")) << said.toStdString();
            // Where the kernel lets Qorvel cut the client's connection, a later save is the last word.
            EXPECT_EQ(said.contains("may still write what was on its way"), refusing) << said.toStdString();
        }
        from = recorder->size();
        save(second);
        ASSERT_TRUE(recorder->next("uploaded", from)) << recorder->events.join(" | ").toStdString();
        // Whatever of the first save was still queued on the way is dropped with its
        // connection, not written over the second one after it (unless the kernel refused the
        // cut, and the message said so).
        std::this_thread::sleep_for(3s);
        if (!refusing) {
            EXPECT_EQ(readAll(onSite), second);
        }
        queue->closeConnection();
        std::this_thread::sleep_for(300ms);
        QFile::remove(onSite);
    }
}
