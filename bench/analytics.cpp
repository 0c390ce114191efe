// The analytics client beside its peers, in the same run:
//
// - JSON: our writer beside QJsonDocument's compact output (the QVariant tree converted and
//   written, as a caller holding QVariants would) on 50-event batches and on a 10 MB tree,
//   in process, in turns.
// - Base64 of 64 MiB: `qvanalytics base64` beside `base64 -w 0`, whole processes in turns.
// - 5,000 events tracked and flushed in 100 batches to the loopback HTTPS server beside `curl`
//   posting the same 100 bodies from one config file (one process, kept-alive connection), on
//   the server of scripts/https-peer (started here when the program is not run under it).
//
// Rows give ours / peer time ratios (below 1 is faster): min / median / max of the pairs.
#include "bench/BenchSupport.h"
#include "bench/Paired.h"

#include "QorvelSourceTree.h"

#include "kits/metricline/Metricline.h"
#include "kits/metricline/MLCJSONDataSerializer.h"
#include "tests/support/HttpsPeer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>
#include <vector>

#include <unistd.h>

namespace {

QVariantList eventBatch() {
    QVariantList batch;
    for (int i = 0; i < 50; ++i) {
        QVariantMap properties = Metricline::deviceInfoProperties(QSize(1920, 1080));
        properties.insert({{QStringLiteral("token"), QStringLiteral("3a7c9e1f5b2d4068ae91c3f7d5b20e84")},
                           {QStringLiteral("time"), qint64(1733580000 + i)},
                           {QStringLiteral("distinct_id"), QStringLiteral("0123456789abcdef0123456789abcdef01234567")},
                           {QStringLiteral("app-name"), QStringLiteral("Qorvel")},
                           {QStringLiteral("app-version"), QStringLiteral("0.1")},
                           {QStringLiteral("preferred-language"), QStringLiteral("en-GB")},
                           {QStringLiteral("secondary-language"), QStringLiteral("undefined")},
                           {QStringLiteral("link-url"), QStringLiteral("https://example.org/a/b?c=d")},
                           {QStringLiteral("link-title"), QStringLiteral("Qorvel – What's new")}});
        batch << QVariantMap{{QStringLiteral("event"), QStringLiteral("Info External Click")}, {QStringLiteral("properties"), properties}};
    }
    return batch;
}

QVariant bigTree() {
    QVariantList rows;
    QRandomGenerator random(3);
    qsizetype bytes = 0;
    for (int i = 0; bytes < 10'000'000; ++i) {
        const QString text = QStringLiteral("row %1 «text» with \"quotes\" and / slashes\n").arg(i).repeated(1 + i % 4);
        rows << QVariantMap{{QStringLiteral("name"), text}, {QStringLiteral("n"), qint64(random.generate())},
                            {QStringLiteral("x"), random.generateDouble() * 1000}, {QStringLiteral("flag"), i % 2 == 0},
                            {QStringLiteral("list"), QVariantList{1, 2.5, QStringLiteral("three")}}};
        bytes += text.size() + 80;
    }
    return rows;
}

// Ours and the peer in turns, `rounds` pairs of `reps` runs each; the row of Paired.h's table.
template <typename Ours, typename Peer>
void inProcess(const std::string& name, int rounds, int reps, Ours ours, Peer peer) {
    paired::Comparison c;
    auto time = [reps](auto&& job) {
        paired::Run r;
        const double start = paired::now();
        for (int i = 0; i < reps; ++i) job();
        r.wall = r.cpu = paired::now() - start;
        r.ok = true;
        return r;
    };
    time(ours);
    time(peer);
    for (int i = 0; i < rounds; ++i) {
        c.ours.push_back(time(ours));
        c.peer.push_back(time(peer));
    }
    paired::addRow(paired::row(name, c));
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIntValue("QORVEL_HTTPS_PORT") <= 0 && qEnvironmentVariableIsEmpty("QORVEL_BENCH_NO_PEER")) {
        // Run again beside the server; its certificates and log live only for this run.
        qputenv("QORVEL_BENCH_NO_PEER", "1");
        (void)rerunBesideHttpsPeer(QORVEL_SOURCE_RESOURCES, argc, argv);  // without the server the network row is left out
    }
    QCoreApplication app(argc, argv);
    const QString driver = paired::programFolder() + QStringLiteral("/qvanalytics");

    // JSON.
    size_t sink = 0;
    const QVariantList batch = eventBatch();
    inProcess("JSON: 50-event batch vs QJsonDocument", 15, 200,
              [&] { QByteArray out; MLCJSONDataSerializer::append(out, batch); sink += size_t(out.size()); },
              [&] { sink += size_t(QJsonDocument(QJsonArray::fromVariantList(batch)).toJson(QJsonDocument::Compact).size()); });
    const QVariant tree = bigTree();
    inProcess("JSON: 10 MB tree vs QJsonDocument", 7, 1,
              [&] { QByteArray out; MLCJSONDataSerializer::append(out, tree); sink += size_t(out.size()); },
              [&] { sink += size_t(QJsonDocument(QJsonArray::fromVariantList(tree.toList())).toJson(QJsonDocument::Compact).size()); });

    // Base64.
    QTemporaryDir dir;
    const QString input = dir.filePath(QStringLiteral("input"));
    {
        QFile file(input);
        if (!file.open(QIODevice::WriteOnly)) return 1;
        QByteArray block(1 << 20, Qt::Uninitialized);
        QRandomGenerator random(5);
        for (int i = 0; i < 64; ++i) {
            random.fillRange(reinterpret_cast<quint32*>(block.data()), block.size() / 4);
            file.write(block);
        }
    }
    const QString encoded = dir.filePath(QStringLiteral("encoded"));
    const QByteArray encodedPath = encoded.toLocal8Bit();
    paired::addRow(paired::row("Base64 of 64 MiB vs base64 -w 0",
                               paired::compare({driver, QStringLiteral("base64"), input}, {QStringLiteral("base64"), QStringLiteral("-w"), QStringLiteral("0"), input},
                                               7, encodedPath.constData())));

    // Events to the loopback server.
    const int port = qEnvironmentVariableIntValue("QORVEL_HTTPS_PORT");
    const QString roots = qEnvironmentVariable("QORVEL_HTTPS_ROOT_PEM");
    if (port <= 0 || roots.isEmpty()) {
        std::fprintf(stderr, "events to the loopback server: skipped (run under scripts/https-peer)\n");
    } else {
        const QString url = QStringLiteral("https://127.0.0.1:%1/bench").arg(port);
        // The service's answer to an accepted batch.
        HttpsPeer::Answer accepted;
        accepted.body = "1";
        if (const auto peer = HttpsPeer::fromEnvironment(); !peer || !peer->script(QStringLiteral("/bench/track/"), {accepted})) {
            std::fprintf(stderr, "events to the loopback server: cannot script the server\n");
            return 1;
        }
        const QString bodies = dir.filePath(QStringLiteral("bodies"));
        QDir().mkpath(bodies);
        const paired::Run first = paired::run({driver, QStringLiteral("flush"), QStringLiteral("5000"), url, roots, bodies});
        QByteArray config;
        // One block per body, "next" between them (curl refuses a trailing one).
        for (const QString& body : QDir(bodies).entryList(QDir::Files, QDir::Name))
            config += QByteArray(config.isEmpty() ? "" : "next\n") + "url = \"" + url.toUtf8() + "/track/\"\ncacert = \"" +
                      roots.toUtf8() + "\"\ndata-binary = \"@" + (bodies + QLatin1Char('/') + body).toUtf8() +
                      "\"\nheader = \"Accept-Encoding: gzip\"\nheader = \"Content-Type: application/x-www-form-urlencoded\"\n"
                      "output = \"/dev/null\"\n";
        const QString configPath = dir.filePath(QStringLiteral("curl.config"));
        QFile configFile(configPath);
        if (!first.ok || !configFile.open(QIODevice::WriteOnly) || configFile.write(config) != config.size()) {
            std::fprintf(stderr, "events to the loopback server: the first run failed\n");
            return 1;
        }
        configFile.close();
        std::fprintf(stderr, "%lld bodies posted by each side\n", qlonglong(QDir(bodies).entryList(QDir::Files).size()));
        paired::addRow(paired::row("5,000 events in 100 batches vs curl -K",
                                   paired::compare({driver, QStringLiteral("flush"), QStringLiteral("5000"), url, roots},
                                                   {QStringLiteral("curl"), QStringLiteral("-s"), QStringLiteral("-K"), configPath}, 5)));
        // track's latency, from a run of its own.
        paired::run({driver, QStringLiteral("flush"), QStringLiteral("5000"), url, roots});
    }
    paired::printTable("Analytics");
    return sink == 0;
}
