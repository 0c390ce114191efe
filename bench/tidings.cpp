// The analytics kit beside the usual tools (scripts/https-peer started here when needed):
// compressing and packaging 1,000 rotated logs against gzip writing one .gz per log (unsynced and
// synced; with nothing else deleted in the loop, and right after the previous run's outputs were
// deleted, both sides alike) and one `gzip -6 -c` stream over them, and uploading
// the 1,000 packages to the loopback HTTPS server against one curl sending them from a config
// file, both trusting only the server's root. Also events per second through logEvent.
// QORVEL_BENCH_ROUNDS (default 3) pairs of each.
#include "bench/BenchSupport.h"
#include "bench/Paired.h"

#include "QorvelSourceTree.h"
#include "kits/tidings/TDGEvent.h"
#include "kits/tidings/TDGTidingsController.h"
#include "kits/trellis/TRLHelpers.h"
#include "kits/trellis/TRLMultipartMimeStreamEncoder.h"
#include "kits/trellis/Trellis.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <utility>

#include <unistd.h>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIntValue("QORVEL_HTTPS_PORT") <= 0) {
        return rerunBesideHttpsPeer(QORVEL_SOURCE_RESOURCES, argc, argv);
    }
    QCoreApplication app(argc, argv);
    const int rounds = std::max(1, qEnvironmentVariableIntValue("QORVEL_BENCH_ROUNDS") ? qEnvironmentVariableIntValue("QORVEL_BENCH_ROUNDS") : 3);
    const QString port = qEnvironmentVariable("QORVEL_HTTPS_PORT"), roots = qEnvironmentVariable("QORVEL_HTTPS_ROOT_PEM");
    QTemporaryDir dir;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.filePath(QStringLiteral("config"))));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(dir.filePath(QStringLiteral("cache"))));
    const QString driver = paired::programFolder() + QStringLiteral("/qvtidingsdriver");

    // 1,000 logs of about 8,000 bytes, as rotation leaves them.
    const QString logs = dir.filePath(QStringLiteral("logs"));
    QDir().mkpath(logs);
    QStringList logFiles;
    for (int i = 0; i < 1000; ++i) {
        QByteArray text;
        int n = 0;
        while (text.size() < 8000) {
            const QByteArray payload = QStringLiteral(R"({"eventId":"%1","custom_type":"opened","custom_attributes":{"kind":"html","n":%2}})")
                                           .arg(TRLGenerateUUIDString())
                                           .arg(n++)
                                           .toUtf8();
            text += QByteArray::number(1700000000000LL + i * 1000 + n) + "\tcustom\t" + QByteArray::number(payload.size()) + '\t' + payload + '\n';
        }
        const QString path = logs + QStringLiteral("/%1.log").arg(TRLGenerateUUIDString());
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly)) return 1;
        f.write(text);
        logFiles << path;
    }
    // Each run of either side, outside its timing, gets a fresh folder holding links to the 1,000
    // logs; each side removes its inputs as it goes (the kit once a package is durable, gzip once
    // its .gz is written). In the first rows nothing else is deleted anywhere in the loop: every
    // folder stays until the end. In the last, each run follows, on both sides alike, the
    // deletion of the previous run's 1,000 outputs, as the kit meets a batch after it sent and
    // deleted the packages of the one before.
    int folders = 0;
    QString previous[2];
    auto freshFolder = [&](int side, bool afterDeletions) {
        const QString folder = dir.filePath(QStringLiteral("run%1").arg(folders++));
        QDir().mkpath(folder);
        QStringList inputs;
        for (const QString& log : logFiles) {
            const QString link = folder + '/' + QFileInfo(log).fileName();
            if (::link(QFile::encodeName(log).constData(), QFile::encodeName(link).constData()) != 0) std::abort();
            inputs << link;
        }
        if (afterDeletions && !previous[side].isEmpty()) QDir(previous[side]).removeRecursively();
        previous[side] = folder;
        return std::make_pair(folder, inputs);
    };
    auto compareInFolders = [&](const QStringList& peerCommand, bool peerTakesFiles, bool afterDeletions) {
        paired::Comparison c;
        auto ours = [&] { return paired::run({driver, QStringLiteral("compress"), freshFolder(0, afterDeletions).first}); };
        auto peer = [&] {
            const auto [folder, inputs] = freshFolder(1, afterDeletions);
            return paired::run(peerCommand + (peerTakesFiles ? inputs : QStringList{folder}));
        };
        ours();
        peer();
        for (int i = 0; i < rounds; ++i) {
            if (i % 2 == 0) {
                c.ours.push_back(ours());
                c.peer.push_back(peer());
            } else {
                c.peer.push_back(peer());
                c.ours.push_back(ours());
            }
            c.ok = c.ok && c.ours.back().ok && c.peer.back().ok;
        }
        return c;
    };
    // The peer as the kit works: one .gz per log, the log removed once it is written. The kit
    // runs the logs as the one batch a start makes of an earlier run's leftovers, each output
    // made durable before its input goes, at a few syncs per batch; the peer synced per file
    // (sync with file names: one fsync each) says what durability costs done file by file.
    // -f: the logs are links to the originals, which gzip otherwise leaves alone.
    const QStringList perLog{QStringLiteral("gzip"), QStringLiteral("-6"), QStringLiteral("-f"), QStringLiteral("--")};
    const QStringList perLogSynced{QStringLiteral("bash"), QStringLiteral("-c"),
                                   QStringLiteral("gzip -6 -f -- \"$@\" && exec sync -- \"${@/%/.gz}\""), QStringLiteral("gzip")};
    paired::addRow(paired::row("compress and package 1,000 logs / gzip -6 one .gz per log (goal 3)", compareInFolders(perLog, true, false)));
    paired::addRow(paired::row("compress and package 1,000 logs / gzip -6 one .gz per log, each synced",
                               compareInFolders(perLogSynced, true, false)));
    paired::addRow(paired::row("compress and package 1,000 logs right after the last batch's 1,000 outputs were deleted, both sides "
                               "/ gzip -6 one .gz per log",
                               compareInFolders(perLog, true, true)));
    const QString gzipOut = dir.filePath(QStringLiteral("gzip.out"));
    QStringList oneStream{QStringLiteral("gzip"), QStringLiteral("-6"), QStringLiteral("-c")};
    oneStream += logFiles;
    paired::addRow(paired::row("compress and package 1,000 logs / gzip -6 -c into one stream", [&] {
        paired::Comparison c;
        for (int i = 0; i < rounds; ++i) {
            auto ours = [&] { c.ours.push_back(paired::run({driver, QStringLiteral("compress"), freshFolder(0, false).first})); };
            auto peer = [&] { c.peer.push_back(paired::run(oneStream, gzipOut.toLocal8Bit().constData())); };
            if (i % 2 == 0) ours(), peer();
            else peer(), ours();
            c.ok = c.ok && c.ours.back().ok && c.peer.back().ok;
        }
        return c;
    }()));
    // The packages the upload rows send: those of our last run.
    const QString packages = previous[0];

    const QString url = QStringLiteral("https://127.0.0.1:%1/spi/v2/events").arg(port);
    const QString config = dir.filePath(QStringLiteral("curl.config"));
    {
        QFile c(config);
        if (!c.open(QIODevice::WriteOnly)) return 1;
        bool first = true;
        for (const QString& name : QDir(packages).entryList({QStringLiteral("*.multipartmime")}, QDir::Files, QDir::Name)) {
            if (!first) c.write("next\n");
            first = false;
            const QString boundary = name.left(name.size() - 14);
            c.write(QStringLiteral("url = \"%1\"\ncacert = \"%2\"\nsilent\nshow-error\nfail\noutput = \"/dev/null\"\n"
                                   "header = \"Content-Type: %3\"\ndata-binary = \"@%4/%5\"\n")
                        .arg(url, roots, TRLMultipartMimeStreamEncoder::contentTypeHTTPHeaderValueWithBoundary(boundary), packages, name)
                        .toUtf8());
        }
    }
    paired::addRow(paired::row("upload 1,000 packages", paired::compare({driver, QStringLiteral("upload"), roots, url, packages},
                                                                        {QStringLiteral("curl"), QStringLiteral("-K"), config}, rounds)));
    paired::printTable("Analytics kit beside gzip and curl (loopback HTTPS)");

    // Events per second through logEvent, written to the log without consent (nothing sent).
    Trellis::sharedSDK().setAPIKey(QStringLiteral("bench-key"));
    auto controller = TDGTidingsController::make({}, dir.filePath(QStringLiteral("root")));
    controller->waitUntilIdle(std::chrono::seconds(10));
    // In bursts of 100, as an application logs: the queue never holds more than one burst.
    const int events = 10000;
    const double start = paired::now();
    for (int i = 0; i < events; ++i) {
        controller->logEvent(std::make_shared<TDGCustomEvent>(QStringLiteral("opened"), TDGAttributes{{QStringLiteral("n"), i}}));
        if (i % 100 == 99) controller->waitUntilIdle(std::chrono::seconds(120));
    }
    controller->waitUntilIdle(std::chrono::seconds(120));
    std::printf("\nlogEvent: %d events in %.2f s, %.0f events per second\n", events, paired::now() - start, events / (paired::now() - start));
    return 0;
}
