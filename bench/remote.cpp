// Remote sites over loopback, through the site queue beside the bare client fed a script:
// listing a 10,000-entry folder, 100 small files each way, one large file each way; for FTP
// (tnftp and pyftpdlib), SFTP with a key (OpenSSH's sftp in batch mode and a private sshd) and
// WebDAV (cadaver and Apache's mod_dav).
// After the table, each listing again in turns with the bare client, with the ratio of each pair.
// Run under scripts/with-remote-peers; QORVEL_BENCH_LARGE_MB sizes the large file (200).
#include "bench/Paired.h"
#include "files/QVRemoteSiteQueue.h"
#include "platform/Process.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <condition_variable>
#include <mutex>

namespace {

using C = QVRemoteFilesConnection;

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

// One server: where its files are on disk and how both sides address them.
struct Peer {
    int type = -1;
    int port = 0;
    QString user = qEnvironmentVariable("QORVEL_PEER_USER");
    QString password = qEnvironmentVariable("QORVEL_PEER_PASSWORD");
    QString root;       // the server's folder on disk
    QString base;       // the same folder as the client names it
    QStringList arguments;      // the site's options, as the queue gets them
    QStringList bareArguments;  // the bare client's own, the site's among them
    QString key;        // SFTP: the private key the account accepts
    QTemporaryDir local;
    QTemporaryDir home;  // cadaver's ~/.netrc

    bool available() const { return port > 0; }
    QString remote(const QString& name) const { return base + name; }
};

int largeMB() {
    return qEnvironmentVariableIsSet("QORVEL_BENCH_LARGE_MB") ? qEnvironmentVariableIntValue("QORVEL_BENCH_LARGE_MB") : 200;
}

void makeWritable(const QString& path) {
    // The servers run as other accounts (sshd's user, Apache's www-data).
    QFile::setPermissions(path, QFileDevice::Permissions(0x7777));
}

void prepare(Peer& p) {
    QDir(p.root).mkpath("many");
    makeWritable(p.root + "/many");
    for (int i = 0; i < 10000; ++i) QFile(QStringLiteral("%1/many/entry-%2.html").arg(p.root).arg(i)).open(QIODevice::WriteOnly);
    QDir(p.root).mkpath("small");
    makeWritable(p.root + "/small");
    QDir(p.local.path()).mkpath("small");
    for (int i = 0; i < 100; ++i) {
        QFile f(QStringLiteral("%1/small/s%2.txt").arg(p.local.path()).arg(i));
        f.open(QIODevice::WriteOnly);
        f.write(QByteArray(2048, 'x'));
    }
    QFile large(p.local.filePath("large.bin"));
    large.open(QIODevice::WriteOnly);
    const QByteArray block(1 << 20, '\x5a');
    for (int i = 0; i < largeMB(); ++i) large.write(block);
}

Peer& peer(int type) {
    static Peer peers[3];
    Peer& p = peers[type];
    if (p.type == type) return p;
    p.type = type;
    if (type == C::FTP) {
        p.port = qEnvironmentVariableIntValue("QORVEL_FTP_PORT");
        p.root = qEnvironmentVariable("QORVEL_FTP_ROOT");
        p.base = QStringLiteral("/");
    } else if (type == C::SFTP) {
        p.port = qEnvironmentVariableIntValue("QORVEL_SFTP_PORT");
        p.user = qEnvironmentVariable("QORVEL_SFTP_USER");
        p.root = qEnvironmentVariable("QORVEL_SFTP_ROOT");
        p.base = p.root + u'/';
        p.key = qEnvironmentVariable("QORVEL_SFTP_KEY");
        // The home folder stays as it is: sshd refuses keys below a folder others may write.
        // The queue takes a key only from the user's own ~/.ssh (the run's home, set in main),
        // and keeps the host key in the known hosts there.
        const QString own = QDir(QDir::homePath()).filePath(QStringLiteral(".ssh/peer_key"));
        QDir().mkpath(QFileInfo(own).path());
        QFile::copy(p.key, own);
        QFile::setPermissions(own, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        p.arguments = {QStringLiteral("-oIdentitiesOnly=yes"), QStringLiteral("-oBatchMode=yes"), QStringLiteral("-i"), own};
        p.bareArguments = QStringList{QStringLiteral("-oUserKnownHostsFile=") + qEnvironmentVariable("QORVEL_SFTP_KNOWN_HOSTS"),
                                      QStringLiteral("-oStrictHostKeyChecking=accept-new")} + p.arguments;
        if (p.key.isEmpty()) p.port = 0;
    } else {
        p.port = qEnvironmentVariableIntValue("QORVEL_DAV_PORT");
        p.root = qEnvironmentVariable("QORVEL_DAV_ROOT");
        p.base = QStringLiteral("/dav/");
        QFile netrc(p.home.filePath(".netrc"));
        netrc.open(QIODevice::WriteOnly);
        netrc.write(QStringLiteral("machine 127.0.0.1\nlogin %1\npassword %2\n").arg(p.user, p.password).toUtf8());
        netrc.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }
    if (p.available()) prepare(p);
    return p;
}

// One logged-in queue per benchmark run.
std::pair<std::shared_ptr<QVRemoteSiteQueue>, std::shared_ptr<Waiter>> connect(Peer& p) {
    auto waiter = std::make_shared<Waiter>();
    auto queue = QVRemoteSiteQueue::make(p.type, waiter);
    if (p.type == C::WebDAV) queue->setInitialWorkingDirectory(p.base);
    queue->connectToHost(QStringLiteral("127.0.0.1"), p.port, p.user, p.password, p.arguments);
    waiter->waitFor(1);
    return {queue, waiter};
}

// The bare client fed a script on a pipe (no terminal), logging in on every run.
void bareClient(Peer& p, const QString& commands) {
    ProcessOptions options;
    options.workingDirectory = p.local.path();
    if (p.type == C::FTP) {
        options.input = QStringLiteral("open 127.0.0.1 %1\nuser %2 %3\nbinary\nprompt off\n%4quit\n")
                            .arg(p.port).arg(p.user, p.password, commands).toUtf8();
        Process::run(QStringLiteral("/usr/bin/ftp"), {QStringLiteral("-n")}, options);
    } else if (p.type == C::SFTP) {
        options.input = commands.toUtf8();
        QStringList arguments = p.bareArguments;
        arguments << QStringLiteral("-oPort=%1").arg(p.port) << QStringLiteral("-b") << QStringLiteral("-")
                  << p.user + QStringLiteral("@127.0.0.1");
        Process::run(QStringLiteral("/usr/bin/sftp"), arguments, options);
    } else {
        options.input = (commands + QStringLiteral("quit\n")).toUtf8();
        options.extraEnvironment = {QStringLiteral("HOME=") + p.home.path(), QStringLiteral("TERM=dumb")};
        Process::run(QStringLiteral("/usr/bin/cadaver"), {QStringLiteral("http://127.0.0.1:%1/dav/").arg(p.port)}, options);
    }
}

QString listCommand(const Peer& p) {
    return p.type == C::SFTP ? QStringLiteral("ls -la %1\n").arg(p.remote("many")) : QStringLiteral("ls %1\n").arg(p.remote("many"));
}

void listQueue(benchmark::State& state, int type) {
    auto& p = peer(type);
    auto [queue, waiter] = connect(p);
    int expected = 1;
    for (auto _ : state) {
        queue->getFileListing(p.remote("many"), waiter);
        waiter->waitFor(++expected);
    }
    if (waiter->failed) state.SkipWithError("a listing failed");
}

void listBareClient(benchmark::State& state, int type) {
    auto& p = peer(type);
    QString command = listCommand(p);
    // tnftp writes the listing to a local file when given one; the others print it.
    if (type == C::FTP) command = QStringLiteral("ls %1 /dev/null\n").arg(p.remote("many"));
    for (auto _ : state) bareClient(p, command);
}

// The listing again, the queue's and the bare client's in turns (each first in every other
// round), judged by the ratio of each pair; the bare client logs in on every run.
void pairedListing(int type, const std::string& name, int rounds) {
    auto& p = peer(type);
    auto [queue, waiter] = connect(p);
    QString command = listCommand(p);
    if (type == C::FTP) command = QStringLiteral("ls %1 /dev/null\n").arg(p.remote("many"));
    int expected = 1;
    paired::Comparison c;
    const auto ours = [&] {
        paired::Run r;
        const double start = paired::now();
        queue->getFileListing(p.remote("many"), waiter);
        waiter->waitFor(++expected);
        r.wall = paired::now() - start;
        r.ok = waiter->failed == 0;
        return r;
    };
    const auto theirs = [&] {
        paired::Run r;
        const double start = paired::now();
        bareClient(p, command);
        r.wall = paired::now() - start;
        r.ok = true;
        return r;
    };
    ours();
    theirs();
    for (int i = 0; i < rounds; ++i) {
        if (i % 2 == 0) {
            c.ours.push_back(ours());
            c.peer.push_back(theirs());
        } else {
            c.peer.push_back(theirs());
            c.ours.push_back(ours());
        }
        c.ok = c.ok && c.ours.back().ok;
    }
    paired::addRow(paired::row(name + " listing of 10,000 entries, logged-in queue / bare client logging in" +
                                   (type == C::FTP ? " (goal 1.2)" : ""),
                               c));
}

void smallFilesQueue(benchmark::State& state, int type) {
    auto& p = peer(type);
    auto [queue, waiter] = connect(p);
    int expected = 1;
    for (auto _ : state) {
        for (int i = 0; i < 100; ++i)
            queue->uploadFile(QStringLiteral("%1/small/s%2.txt").arg(p.local.path()).arg(i),
                              p.remote(QStringLiteral("small/s%1.txt").arg(i)), waiter);
        for (int i = 0; i < 100; ++i)
            queue->downloadFile(p.remote(QStringLiteral("small/s%1.txt").arg(i)),
                                QStringLiteral("%1/small/d%2.txt").arg(p.local.path()).arg(i), waiter);
        expected += 200;
        waiter->waitFor(expected);
    }
    if (waiter->failed) state.SkipWithError("a transfer failed");
}

void smallFilesBareClient(benchmark::State& state, int type) {
    auto& p = peer(type);
    QString commands;
    for (int i = 0; i < 100; ++i) commands += QStringLiteral("put small/s%1.txt %2\n").arg(i).arg(p.remote(QStringLiteral("small/s%1.txt").arg(i)));
    for (int i = 0; i < 100; ++i) commands += QStringLiteral("get %2 small/d%1.txt\n").arg(i).arg(p.remote(QStringLiteral("small/s%1.txt").arg(i)));
    for (auto _ : state) bareClient(p, commands);
}

void largeFileQueue(benchmark::State& state, int type) {
    auto& p = peer(type);
    auto [queue, waiter] = connect(p);
    int expected = 1;
    for (auto _ : state) {
        queue->uploadFile(p.local.filePath("large.bin"), p.remote("large.bin"), waiter);
        queue->downloadFile(p.remote("large.bin"), p.local.filePath("large-down.bin"), waiter);
        expected += 2;
        waiter->waitFor(expected);
    }
    if (waiter->failed) state.SkipWithError("a transfer failed");
}

void largeFileBareClient(benchmark::State& state, int type) {
    auto& p = peer(type);
    const QString commands = QStringLiteral("put large.bin %1\nget %1 large-down.bin\n").arg(p.remote("large.bin"));
    for (auto _ : state) bareClient(p, commands);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // A home of the run's own: the key and the known hosts the SFTP queue uses live in it.
    QTemporaryDir home;
    qputenv("HOME", QFile::encodeName(home.path()));
    if (qEnvironmentVariableIntValue("QORVEL_FTP_PORT") <= 0) {
        fprintf(stderr, "run under scripts/with-remote-peers\n");
        return 1;
    }
    const char* names[] = {"FTP", "SFTP", "WebDAV"};
    for (int type : {C::FTP, C::SFTP, C::WebDAV}) {
        if (!peer(type).available()) {
            fprintf(stderr, "%s: peer not started, not measured\n", names[type]);
            continue;
        }
        const std::string n = names[type];
        // Queue and bare client side by side, each in its own pair.
        benchmark::RegisterBenchmark((n + "/List/Queue").c_str(), listQueue, type)->Unit(benchmark::kMillisecond)->Iterations(5);
        benchmark::RegisterBenchmark((n + "/List/BareClient").c_str(), listBareClient, type)->Unit(benchmark::kMillisecond)->Iterations(5);
        benchmark::RegisterBenchmark((n + "/SmallFilesEachWay/Queue").c_str(), smallFilesQueue, type)->Unit(benchmark::kMillisecond)->Iterations(3);
        benchmark::RegisterBenchmark((n + "/SmallFilesEachWay/BareClient").c_str(), smallFilesBareClient, type)->Unit(benchmark::kMillisecond)->Iterations(3);
        benchmark::RegisterBenchmark((n + "/LargeFileEachWay/Queue").c_str(), largeFileQueue, type)->Unit(benchmark::kMillisecond)->Iterations(2);
        benchmark::RegisterBenchmark((n + "/LargeFileEachWay/BareClient").c_str(), largeFileBareClient, type)->Unit(benchmark::kMillisecond)->Iterations(2);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (int type : {C::FTP, C::SFTP, C::WebDAV})
        if (peer(type).available()) pairedListing(type, names[type], 9);
    paired::printTable("Remote listing, in turns (cpu ratios are not measured here)");
    return 0;
}
