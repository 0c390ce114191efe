// Qorvel's side of the analytics comparisons, one job per command:
//
//   qvanalytics base64 FILE                       the file's Base64 on one line, as `base64 -w 0`
//   qvanalytics flush COUNT URL ROOTS [DUMP]      COUNT events tracked, then flushed batch after
//                                                 batch to URL (trusting only the ROOTS file) until
//                                                 none is left; each request body is written to
//                                                 DUMP/NNN when given; the track call's median and
//                                                 99th percentile go to standard error
#include "kits/metricline/MLBase64.h"
#include "kits/metricline/Metricline.h"
#include "platform/MainQueue.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// Hands posts on to the real transport, keeping a copy of each body.
class Dumping : public MLTransport {
public:
    Dumping(std::shared_ptr<MLTransport> next, QString folder) : _next(std::move(next)), _folder(std::move(folder)) {}
    quint64 post(const Post& post, Callback callback) override {
        if (!_folder.isEmpty()) {
            QFile file(QStringLiteral("%1/%2").arg(_folder).arg(_count++, 3, 10, QLatin1Char('0')));
            if (file.open(QIODevice::WriteOnly)) file.write(post.body);
        }
        return _next->post(post, std::move(callback));
    }
    void cancel(quint64 task) override { _next->cancel(task); }

private:
    std::shared_ptr<MLTransport> _next;
    QString _folder;
    int _count = 0;
};

// Read and written in blocks of a multiple of three bytes, so the pieces join into one text.
int base64(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return 2;
    QByteArray block(3 << 16, Qt::Uninitialized);
    for (;;) {
        qint64 filled = 0;
        while (filled < block.size()) {
            const qint64 n = file.read(block.data() + filled, block.size() - filled);
            if (n <= 0) break;
            filled += n;
        }
        if (filled == 0) break;
        const QByteArray text = MLBase64EncodeBytes(block.constData(), filled, false);
        std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
        if (filled < block.size()) break;
    }
    return 0;
}

int flush(int count, const QString& url, const QString& roots, const QString& dump) {
    QTemporaryDir archives;
    Metricline::Configuration configuration;
    configuration.serverURL = url;
    configuration.flushInterval = 0;
    configuration.archiveFolder = archives.path();
    configuration.pinnedRootsPemPath = roots;
    configuration.defaultDistinctId = QStringLiteral("0123456789abcdef0123456789abcdef01234567");
    configuration.transport = std::make_shared<Dumping>(MLTransport::http(), dump);
    Metricline client(QStringLiteral("3a7c9e1f5b2d4068ae91c3f7d5b20e84"), configuration);
    client.registerSuperProperties({{QStringLiteral("app-name"), QStringLiteral("Qorvel")},
                                    {QStringLiteral("app-version"), QStringLiteral("0.1")},
                                    {QStringLiteral("preferred-language"), QStringLiteral("en-GB")},
                                    {QStringLiteral("secondary-language"), QStringLiteral("undefined")}});
    std::vector<qint64> times;
    times.reserve(size_t(count));
    QElapsedTimer timer;
    for (int i = 0; i < count; ++i) {
        timer.start();
        client.track(i % 3 ? QStringLiteral("Show Preferences") : QStringLiteral("New Project"),
                     {{QStringLiteral("project-type"), QStringLiteral("remote")}, {QStringLiteral("remote-protocol"), QStringLiteral("SFTP")}});
        times.push_back(timer.nsecsElapsed());
    }
    QElapsedTimer sending;
    sending.start();
    while (client.eventsQueueLength() > 0) {
        const qsizetype before = client.eventsQueueLength();
        client.flush();
        if (!MainQueue::runUntil([&] { return !client.hasRequestInFlight(); }, std::chrono::seconds(30))) return 3;
        if (client.eventsQueueLength() >= before) return 4;  // refused or unreachable
    }
    const double sent = sending.nsecsElapsed() / 1e6;
    std::sort(times.begin(), times.end());
    if (qEnvironmentVariableIsSet("QORVEL_BENCH_DETAIL")) {
        qint64 total = 0;
        for (qint64 t : times) total += t;
        std::fprintf(stderr, "tracking %.1f ms, sending %.1f ms\n", total / 1e6, sent);
    }
    if (!times.empty())
        std::fprintf(stderr, "track: median %.1f us, p99 %.1f us, max %.1f us\n", times[times.size() / 2] / 1e3,
                     times[times.size() * 99 / 100] / 1e3, times.back() / 1e3);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() == 2 && args[0] == QLatin1String("base64")) return base64(args[1]);
    if (args.size() >= 4 && args[0] == QLatin1String("flush")) return flush(args[1].toInt(), args[2], args[3], args.value(4));
    std::fprintf(stderr, "usage: qvanalytics base64 FILE | flush COUNT URL ROOTS [DUMP]\n");
    return 2;
}
