// Remote sites over loopback, through the site queue beside the bare client fed a script:
// listing a 10,000-entry folder, 100 small files each way, one large file each way.
// Run under scripts/with-remote-peers (FTP); QORVEL_BENCH_LARGE_MB sizes the large file (200).
#include "files/QVRemoteSiteQueue.h"
#include "platform/Process.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <condition_variable>
#include <mutex>

namespace {

class Waiter : public QVRemoteSiteQueueDelegate {
public:
    std::mutex lock;
    std::condition_variable changed;
    int done = 0, failed = 0;
    void tick(bool ok) {
        std::lock_guard g(lock);
        ++done;
        failed += !ok;
        changed.notify_all();
    }
    void waitFor(int n) {
        std::unique_lock g(lock);
        changed.wait(g, [&] { return done >= n; });
    }
    void queueOpenedConnection(QVRemoteSiteQueue*) override { tick(true); }
    void queueRetrievedFiles(QVRemoteSiteQueue*, const QList<QVRemoteFile>& files, const QString&) override {
        tick(files.size() >= 10000);
    }
    void queueDownloadedFile(QVRemoteSiteQueue*, const QString&, const QString&) override { tick(true); }
    void queueUploadedFile(QVRemoteSiteQueue*, const QString&, const QString&) override { tick(true); }
    void queueActionFailed(QVRemoteSiteQueue*, QVRemoteFileAction*, const QVError&) override { tick(false); }
    void queueHadFatalFailure(QVRemoteSiteQueue*) override { tick(false); }
};

struct Site {
    int port = qEnvironmentVariableIntValue("QORVEL_FTP_PORT");
    QString root = qEnvironmentVariable("QORVEL_FTP_ROOT");
    QString user = qEnvironmentVariable("QORVEL_PEER_USER");
    QString password = qEnvironmentVariable("QORVEL_PEER_PASSWORD");
    QTemporaryDir local;
    int largeMB = qEnvironmentVariableIsSet("QORVEL_BENCH_LARGE_MB") ? qEnvironmentVariableIntValue("QORVEL_BENCH_LARGE_MB") : 200;

    Site() {
        QDir(root).mkpath("many");
        for (int i = 0; i < 10000; ++i) QFile(QStringLiteral("%1/many/entry-%2.html").arg(root).arg(i)).open(QIODevice::WriteOnly);
        QDir(root).mkpath("small");
        QDir(local.path()).mkpath("small");
        for (int i = 0; i < 100; ++i) {
            QFile f(QStringLiteral("%1/small/s%2.txt").arg(local.path()).arg(i));
            f.open(QIODevice::WriteOnly);
            f.write(QByteArray(2048, 'x'));
        }
        QFile large(local.filePath("large.bin"));
        large.open(QIODevice::WriteOnly);
        const QByteArray block(1 << 20, '\x5a');
        for (int i = 0; i < largeMB; ++i) large.write(block);
    }
    static Site& shared() {
        static Site site;
        return site;
    }
};

// One logged-in queue per benchmark run.
std::pair<std::shared_ptr<QVRemoteSiteQueue>, std::shared_ptr<Waiter>> connect(Site& s) {
    auto waiter = std::make_shared<Waiter>();
    auto queue = QVRemoteSiteQueue::make(QVRemoteFilesConnection::FTP, waiter);
    queue->connectToHost("127.0.0.1", s.port, s.user, s.password, {});
    waiter->waitFor(1);
    return {queue, waiter};
}

// The bare client fed a script (tnftp on a pipe, no terminal).
void bareClient(Site& s, const QString& commands) {
    const QString script = QStringLiteral("open 127.0.0.1 %1\nuser %2 %3\nbinary\nprompt off\n%4quit\n")
                               .arg(s.port).arg(s.user, s.password, commands);
    ProcessOptions options;
    options.input = script.toUtf8();
    options.workingDirectory = s.local.path();
    Process::run(QStringLiteral("/usr/bin/ftp"), {QStringLiteral("-n")}, options);
}

void BM_ListQueue(benchmark::State& state) {
    auto& s = Site::shared();
    auto [queue, waiter] = connect(s);
    int expected = 1;
    for (auto _ : state) {
        queue->getFileListing(QStringLiteral("/many"), waiter);
        waiter->waitFor(++expected);
    }
    if (waiter->failed) state.SkipWithError("a listing failed");
}

void BM_ListBareClient(benchmark::State& state) {
    auto& s = Site::shared();
    for (auto _ : state) bareClient(s, QStringLiteral("ls /many /dev/null\n"));
}

void BM_SmallFilesEachWayQueue(benchmark::State& state) {
    auto& s = Site::shared();
    auto [queue, waiter] = connect(s);
    int expected = 1;
    for (auto _ : state) {
        for (int i = 0; i < 100; ++i)
            queue->uploadFile(QStringLiteral("%1/small/s%2.txt").arg(s.local.path()).arg(i),
                              QStringLiteral("/small/s%1.txt").arg(i), waiter);
        for (int i = 0; i < 100; ++i)
            queue->downloadFile(QStringLiteral("/small/s%1.txt").arg(i),
                                QStringLiteral("%1/small/d%2.txt").arg(s.local.path()).arg(i), waiter);
        expected += 200;
        waiter->waitFor(expected);
    }
    if (waiter->failed) state.SkipWithError("a transfer failed");
}

void BM_SmallFilesEachWayBareClient(benchmark::State& state) {
    auto& s = Site::shared();
    QString commands;
    for (int i = 0; i < 100; ++i) commands += QStringLiteral("put small/s%1.txt /small/s%1.txt\n").arg(i);
    for (int i = 0; i < 100; ++i) commands += QStringLiteral("get /small/s%1.txt small/d%1.txt\n").arg(i);
    for (auto _ : state) bareClient(s, commands);
}

void BM_LargeFileEachWayQueue(benchmark::State& state) {
    auto& s = Site::shared();
    auto [queue, waiter] = connect(s);
    int expected = 1;
    for (auto _ : state) {
        queue->uploadFile(s.local.filePath("large.bin"), QStringLiteral("/large.bin"), waiter);
        queue->downloadFile(QStringLiteral("/large.bin"), s.local.filePath("large-down.bin"), waiter);
        expected += 2;
        waiter->waitFor(expected);
    }
    if (waiter->failed) state.SkipWithError("a transfer failed");
}

void BM_LargeFileEachWayBareClient(benchmark::State& state) {
    auto& s = Site::shared();
    for (auto _ : state) bareClient(s, QStringLiteral("put large.bin /large.bin\nget /large.bin large-down.bin\n"));
}

}  // namespace

BENCHMARK(BM_ListQueue)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_ListBareClient)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_SmallFilesEachWayQueue)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SmallFilesEachWayBareClient)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_LargeFileEachWayQueue)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_LargeFileEachWayBareClient)->Unit(benchmark::kMillisecond)->Iterations(2);

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIntValue("QORVEL_FTP_PORT") <= 0) {
        fprintf(stderr, "run under scripts/with-remote-peers\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
