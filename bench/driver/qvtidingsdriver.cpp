// Qorvel's side of the analytics comparisons.
//   qvtidingsdriver compress DIR                   the logs in DIR gzipped and packaged there, one batch
//   qvtidingsdriver upload ROOTS URL PACKAGES-DIR  each package POSTed through the kit's uploader
// Exits 0 when every file went through.
#include "kits/tidings/TDGFileOperations.h"
#include "kits/tidings/TDGUploader.h"
#include "platform/UserDefaults.h"
#include "kits/trellis/TRLCertificatePinner.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <atomic>
#include <future>


namespace {

class Counter : public TDGUploaderDelegate {
public:
    QString directory;
    QByteArray roots;
    int expected = 0;
    std::atomic<int> done{0}, failed{0};
    std::promise<void> all;
    QString uploaderFilePathForUniqueName(TDGUploader&, const QString& name) override { return directory + '/' + name + ".multipartmime"; }
    void uploaderDidFinishUpload(TDGUploader&, const QString&, const QVError& error) override {
        if (error) ++failed;
        if (++done == expected) all.set_value();
    }
    void uploaderCompletedRequest(TDGUploader&, const HttpRequest&, const HttpResponse& response, const QString&, const QVError& error,
                                  std::function<void(bool, const QVError&)> completion) override {
        const bool ok = !error && response.status >= 200 && response.status < 300;
        completion(false, ok ? QVError() : QVError::make("bench", response.status, "upload failed"));
    }
    void uploaderPrepareTrust(TDGUploader&, HttpRequest& request) override { TRLCertificatePinner(roots).applyTo(request); }
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc < 3) return 2;
    const QByteArray mode = argv[1];
    if (mode == "compress") {
        // The batch the kit runs on an earlier run's logs, in their folder; it removes each log
        // once its package is durable.
        const QDir folder(QString::fromLocal8Bit(argv[2]));
        QStringList batch;
        for (const QString& name : folder.entryList({"*.log"}, QDir::Files, QDir::Name)) batch << folder.filePath(name);
        const TDGPackageLogOperation::Batch stages = TDGPackageLogOperation::batchForLogs(batch, {});
        for (const auto& op : stages.operations()) op->start();
        return stages.package->success() ? 0 : 1;
    }
    if (mode == "upload" && argc >= 5) {
        UserDefaults::standard().setBool(true, QStringLiteral("qvAnonymousUsageTracking"));
        QFile roots(QString::fromLocal8Bit(argv[2]));
        if (!roots.open(QIODevice::ReadOnly)) return 2;
        auto counter = std::make_shared<Counter>();
        counter->directory = QString::fromLocal8Bit(argv[4]);
        counter->roots = roots.readAll();
        const QStringList packages = QDir(counter->directory).entryList({"*.multipartmime"}, QDir::Files, QDir::Name);
        counter->expected = int(packages.size());
        if (packages.isEmpty()) return 0;
        auto queue = std::make_shared<OperationQueue>(QStringLiteral("qvtidingsdriver"));
        auto uploader = TDGUploader::make(queue, counter);
        const QUrl url(QString::fromLocal8Bit(argv[3]));
        for (const QString& name : packages) {
            TDGUploadOperation op(uploader, url, QStringLiteral("bench-key"), counter->directory + '/' + name, name.left(name.size() - 14));
            op.start();
        }
        counter->all.get_future().wait();
        return counter->failed == 0 ? 0 : 1;
    }
    return 2;
}
