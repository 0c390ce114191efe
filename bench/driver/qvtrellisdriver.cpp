// Qorvel's side of the kits' network comparisons: the same transfers as the curl runs, through
// the kits' network client with the server's root pinned.
//   qvtrellisdriver upload ROOTS URL FILE    one POST of the file's bytes
//   qvtrellisdriver get ROOTS URLS-FILE      one GET per line, one after another
// Exits 0 when every transfer succeeded.
#include "platform/UserDefaults.h"
#include "kits/trellis/TRLNetworkClient.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>
#include <functional>
#include <future>

namespace {

bool fetch(TRLNetworkClient& client, const HttpRequest& request) {
    auto promise = std::make_shared<std::promise<bool>>();
    auto done = promise->get_future();
    client.startDataTaskWithRequest(request, 0, 0, [promise](const QByteArray&, const HttpResponse& r, const QVError& e) {
        promise->set_value(!e && r.status == 200);
    });
    return done.get();
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc < 4) return 2;
    // The run's own consent: the comparison is about the transfers, not the question.
    UserDefaults::standard().setBool(true, QStringLiteral("qvAnonymousUsageTracking"));
    QFile roots(QString::fromLocal8Bit(argv[2]));
    if (!roots.open(QIODevice::ReadOnly)) return 2;
    auto client = TRLNetworkClient::make(nullptr, roots.readAll());
    const QByteArray mode = argv[1];
    if (mode == "upload" && argc >= 5) {
        HttpRequest r;
        r.method = "POST";
        r.url = QUrl(QString::fromLocal8Bit(argv[3]));
        r.bodyFilePath = QString::fromLocal8Bit(argv[4]);
        r.headers = {{"Content-Type", "application/octet-stream"}};
        return fetch(*client, r) ? 0 : 1;
    }
    if (mode == "get") {
        QFile list(QString::fromLocal8Bit(argv[3]));
        if (!list.open(QIODevice::ReadOnly)) return 2;
        QList<QUrl> urls;
        for (const QByteArray& line : list.readAll().split('\n'))
            if (!line.isEmpty()) urls.append(QUrl(QString::fromLatin1(line)));
        // Each answer starts the next request, as a kit's chained requests do.
        auto finished = std::make_shared<std::promise<bool>>();
        std::function<void(int)> next = [&](int i) {
            if (i == urls.size()) {
                finished->set_value(true);
                return;
            }
            HttpRequest r;
            r.url = urls[i];
            client->startDataTaskWithRequest(r, 0, 0, [&, i](const QByteArray&, const HttpResponse& answer, const QVError& e) {
                if (e || answer.status != 200)
                    finished->set_value(false);
                else
                    next(i + 1);
            });
        };
        next(0);
        return finished->get_future().get() ? 0 : 1;
    }
    return 2;
}
