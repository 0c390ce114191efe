// Subversion through the working copy's queue beside the client alone, in turns: a recursive
// status of a 5,000-file working copy with 500 changes read into entries beside "svn st --xml"
// (and the client alone on a pseudo-terminal, which the queue runs it on, beside the same);
// 200 queued file statuses beside a shell loop of the same commands; a 2,000-revision log read
// into entries beside "svn log --xml". QORVEL_BENCH_ROUNDS sets the pairs (5).
#include "Paired.h"

#include "platform/MainQueue.h"
#include "platform/PseudoTerminal.h"
#include "platform/UserDefaults.h"
#include "scm/QVSCMInterface.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cerrno>
#include <cstdio>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Counter : QVSCMInterfaceDelegate {
    int results = 0, entries = 0, errors = 0;
    void scmInterfaceNeedsCredentials(QVSCMInterface*) override { ++errors; }
    void scmInterfaceHadError(QVSCMInterface*, const QVError&) override { ++errors; }
    void scmInterfaceDidPerformCommand(QVSCMInterface*, int, const QStringList&) override { ++results; }
    void scmInterfaceDidRetrieveOutput(QVSCMInterface*, const QVSCMOutputAction&) override { ++results; }
    void scmInterfaceDidRetrieveLog(QVSCMInterface*, const QVSCMLogAction& action) override {
        ++results;
        entries += int(action.logEntries().size());
    }
    void scmInterfaceDidRetrieveStatus(QVSCMInterface*, const QList<std::shared_ptr<QVSCMStatusEntry>>& list, const QString&,
                                       bool) override {
        ++results;
        entries += int(list.size());
    }
};

int svn(const QStringList& arguments, const QString& folder) {
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.setWorkingDirectory(folder);
    p.start(QStringLiteral("svn"), arguments);
    p.waitForFinished(-1);
    return p.exitCode();
}

// The client alone on a raw pseudo-terminal, as the queue starts it, read to its end: what the
// terminal costs the client, apart from anything the queue does with the output.
double onTerminal(const QString& client, const QStringList& arguments, const QString& folder) {
    const double start = paired::now();
    const PseudoTerminalChild child = PseudoTerminal::spawn(client, arguments, {}, folder, true);
    if (!child.started()) return 0;
    char buffer[16384];
    for (;;) {
        pollfd p{child.masterFD, POLLIN, 0};
        if (::poll(&p, 1, -1) < 0) continue;
        const ssize_t n = ::read(child.masterFD, buffer, sizeof buffer);
        if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR))) continue;
        break;
    }
    ::close(child.masterFD);
    int status = 0;
    while (waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
    }
    return paired::now() - start;
}

// Times the queue doing work until `expected` results came; answers seconds.
double ours(Counter& counter, int expected, const std::function<void()>& ask) {
    counter = {};
    const double start = paired::now();
    ask();
    MainQueue::runUntil([&] { return counter.results + counter.errors >= expected; }, std::chrono::minutes(5));
    return paired::now() - start;
}

void compare(const char* name, int rounds, const std::function<double()>& ourSide, const QStringList& peer) {
    paired::Comparison c;
    ourSide();
    paired::run(peer);
    for (int i = 0; i < rounds; ++i) {
        // Alternate which side goes first, so neither always meets a warmer cache.
        paired::Run mine, theirs;
        if (i % 2) theirs = paired::run(peer);
        mine.wall = ourSide();
        mine.ok = true;
        if (!(i % 2)) theirs = paired::run(peer);
        c.ours.push_back(mine);
        c.peer.push_back(theirs);
        c.ok = c.ok && theirs.ok;
    }
    const paired::Spread wall = c.wallRatio();
    char line[256];
    std::snprintf(line, sizeof line, "| %s | %.1f ms | %.1f ms | %.2f / **%.2f** / %.2f | |", name,
                  paired::Comparison::side(c.ours, false).median * 1e3, paired::Comparison::side(c.peer, false).median * 1e3,
                  wall.min, wall.median, wall.max);
    paired::addRow(line);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int rounds = qEnvironmentVariableIntValue("QORVEL_BENCH_ROUNDS") > 0 ? qEnvironmentVariableIntValue("QORVEL_BENCH_ROUNDS") : 5;
    const QString client = QStandardPaths::findExecutable(QStringLiteral("svn"));
    UserDefaults::standard().setString(client, QStringLiteral("QVSubversionExecPath"));
    QTemporaryDir dir;
    const QString repo = dir.filePath(QStringLiteral("repo")), wc = dir.filePath(QStringLiteral("wc")), tree = dir.filePath(QStringLiteral("tree"));

    // 5,000 files in 50 folders, imported and checked out; 500 of them changed.
    QProcess::execute(QStringLiteral("svnadmin"), {QStringLiteral("create"), repo});
    for (int f = 0; f < 5000; ++f) {
        QDir().mkpath(QStringLiteral("%1/d%2").arg(tree).arg(f / 100));
        QFile file(QStringLiteral("%1/d%2/f%3.html").arg(tree).arg(f / 100).arg(f));
        file.open(QIODevice::WriteOnly);
        file.write("<p>" + QByteArray::number(f) + "</p>\n");
    }
    // The message must not name a file in the folder the client runs in ("tree" did, and the
    // import was refused: every row then measured an empty working copy).
    if (svn({QStringLiteral("import"), QStringLiteral("-q"), QStringLiteral("-m"), QStringLiteral("first import of the site"), tree,
             QStringLiteral("file://") + repo},
            dir.path()) != 0 ||
        svn({QStringLiteral("checkout"), QStringLiteral("-q"), QStringLiteral("file://") + repo, wc}, dir.path()) != 0) {
        std::fprintf(stderr, "cannot make the working copy\n");
        return 1;
    }
    for (int f = 0; f < 5000; f += 10) {
        QFile file(QStringLiteral("%1/d%2/f%3.html").arg(wc).arg(f / 100).arg(f));
        file.open(QIODevice::Append);
        file.write("changed\n");
    }
    auto queue = QVSCMInterface::scmInterfaceForPath(wc);
    auto counter = std::make_shared<Counter>();
    queue->setDelegate(counter);

    compare("recursive status, 5,000 files, 500 changed, to entries vs svn st --xml", rounds,
            [&] { return ours(*counter, 1, [&] { queue->getStatusForFile({}, true, false, true); }); },
            {client, QStringLiteral("st"), QStringLiteral("--xml"), wc});
    if (counter->entries != 500) std::fprintf(stderr, "unexpected status entries: %d\n", counter->entries);
    compare("the same svn st --xml alone on a pseudo-terminal vs svn st --xml", rounds,
            [&] { return onTerminal(client, {QStringLiteral("st"), QStringLiteral("--xml"), QStringLiteral("--non-interactive")}, wc); },
            {client, QStringLiteral("st"), QStringLiteral("--xml"), wc});

    const QString script = QStringLiteral("cd '%1' && for i in $(seq 200); do svn st --xml -N -- d0/f0.html >/dev/null; done").arg(wc);
    compare("200 queued file statuses vs a shell loop of svn st", rounds,
            [&] {
                return ours(*counter, 200, [&] {
                    for (int i = 0; i < 200; ++i) queue->getStatusForFile(QStringLiteral("d0/f0.html"), false, false, false);
                });
            },
            {QStringLiteral("/bin/sh"), QStringLiteral("-c"), script});

    // 2,000 revisions loaded from a dump of revision properties.
    QByteArray dump = "SVN-fs-dump-format-version: 2\n\n";
    for (int r = 1; r <= 2000; ++r) {
        const QByteArray message = "change " + QByteArray::number(r) + " of the site";
        const QByteArray props = "K 7\nsvn:log\nV " + QByteArray::number(message.size()) + "\n" + message +
                                 "\nK 10\nsvn:author\nV 5\nalice\nK 8\nsvn:date\nV 27\n2026-12-07T10:00:00.000000Z\nPROPS-END\n";
        dump += "Revision-number: " + QByteArray::number(r) + "\nProp-content-length: " + QByteArray::number(props.size()) +
                "\nContent-length: " + QByteArray::number(props.size()) + "\n\n" + props + "\n";
    }
    const QString logRepo = dir.filePath(QStringLiteral("log")), logWc = dir.filePath(QStringLiteral("logwc"));
    QProcess::execute(QStringLiteral("svnadmin"), {QStringLiteral("create"), logRepo});
    QProcess load;
    load.start(QStringLiteral("svnadmin"), {QStringLiteral("load"), QStringLiteral("-q"), logRepo});
    load.write(dump);
    load.closeWriteChannel();
    load.waitForFinished(-1);
    svn({QStringLiteral("checkout"), QStringLiteral("-q"), QStringLiteral("file://") + logRepo, logWc}, dir.path());
    auto logQueue = QVSCMInterface::scmInterfaceForPath(logWc);
    logQueue->setDelegate(counter);
    compare("log of 2,000 revisions to entries vs svn log --xml", rounds,
            [&] { return ours(*counter, 1, [&] { logQueue->getLogForFile(QString(), QStringLiteral("HEAD:1"), 7); }); },
            {client, QStringLiteral("log"), QStringLiteral("--xml"), QStringLiteral("-r"), QStringLiteral("HEAD:1"), logWc});
    if (counter->entries != 2000) std::fprintf(stderr, "unexpected log entries: %d\n", counter->entries);
    paired::printTable("Subversion");
    return 0;
}
