#include "kits/faultline/reports/FLTPackageReportOperation.h"

#include "kits/faultline/FLTRecordReader.h"
#include "kits/faultline/FLTSDKLog.h"
#include "kits/faultline/reports/FLTFileManager.h"
#include "kits/faultline/reports/FLTReport.h"
#include "platform/SystemLog.h"
#include "kits/trellis/TRLMultipartMimeStreamEncoder.h"

#include <QFile>
#include <QFileInfo>

#include <zlib.h>

#include <fcntl.h>
#include <unistd.h>

namespace {

bool syncPath(const QString& path, bool directory) {
    const int fd = ::open(path.toLocal8Bit().constData(), (directory ? O_RDONLY | O_DIRECTORY : O_WRONLY) | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::fsync(fd) == 0;
    return ::close(fd) == 0 && ok;
}

}  // namespace

QString FLTPackageReportOperation::reportPath() const { return _report->path(); }
QString FLTPackageReportOperation::destinationDirectory() const { return _fileManager->preparedPath(); }
QString FLTPackageReportOperation::packagedPathWithName(const QString& name) const {
    return destinationDirectory() + QLatin1Char('/') + name + QStringLiteral(".multipartmime");
}

std::optional<QByteArray> FLTPackageReportOperation::compressData(const QByteArray& data) {
    z_stream stream{};
    if (deflateInit2(&stream, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return std::nullopt;
    QByteArray out;
    out.resize(qsizetype(deflateBound(&stream, uLong(data.size()))));
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
    stream.avail_in = uInt(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = uInt(out.size());
    const int result = deflate(&stream, Z_FINISH);
    const uLong total = stream.total_out;
    deflateEnd(&stream);
    if (result != Z_STREAM_END) return std::nullopt;
    out.truncate(qsizetype(total));
    return out;
}

void FLTPackageReportOperation::main() {
    _finalPath.clear();
    const QString boundary = TRLMultipartMimeStreamEncoder::generateBoundary();
    const QString packagePath = packagedPathWithName(boundary);
    const QString temporary = destinationDirectory() + QStringLiteral("/.") + boundary + QStringLiteral(".multipartmime.tmp");
    QFile output(temporary);
    if (!output.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        FLTLogError("Error: unable to open package %s\n", qPrintable(temporary));
        return;
    }
    TRLMultipartMimeStreamEncoder encoder(&output, boundary);
    bool complete = true;
    QStringList damaged;  // crash records that could not be written whole
    const bool written = encoder.encode([&] {
        const QString key = _report->APIKey();
        // Packed whenever the metadata holds a key, an empty one too; only a missing one is left out.
        if (!key.isNull()) encoder.addValue(key, QStringLiteral("api_key"));
        if (!_report->identifier().isEmpty()) encoder.addValue(_report->identifier(), QStringLiteral("report_id"));
        _fileManager->enumerateFilesInDirectory(reportPath(), [&](const QString& path, const QString& extension) {
            if (isCancelled() || !complete || encoder.failed() || extension == QLatin1String("gz")) return;
            const QFileInfo info(path);
            // Only the report's own files: a link could carry anything of the user's into the package.
            if (info.isSymLink() || !info.isFile()) return;
            QFile file(path);
            QByteArray data;
            if (file.open(QIODevice::ReadOnly)) data = file.readAll();
            // A crash recorded on a full disk, or by a handler that faulted part way, leaves its
            // record empty or short of its sections: the report says so, rather than pass for one
            // whose crash had nothing to tell.
            if (FLTInternalReport::crashFilenames().contains(info.fileName()))
                if (const QString damage = FLTCrashRecordDamage(data); !damage.isEmpty()) damaged << info.fileName() + QLatin1Char(' ') + damage;
            if (data.isEmpty()) {
                FLTLogError("Error: unable to read data for compression: %s\n", qPrintable(info.fileName()));
                return;
            }
            const auto compressed = compressData(data);
            if (!compressed) {
                // Sent as something it is not, the part would be refused; the folder waits instead.
                FLTLogError("Error: compression failed for %s\n", qPrintable(info.fileName()));
                complete = false;
                return;
            }
            encoder.addFileData(*compressed, info.fileName() + QStringLiteral(".gz"), QStringLiteral("application/x-gzip"), info.fileName());
        });
        if (!damaged.isEmpty() && !encoder.failed()) {
            FLTLogWarn("Crash record damaged: %s\n", qPrintable(damaged.join(QStringLiteral(", "))));
            encoder.addValue(QStringLiteral("The crash could not be recorded whole (was the disk full?): ") + damaged.join(QStringLiteral(", ")),
                             QStringLiteral("damaged_records"));
        }
    });
    if (isCancelled() || !complete || !written || !syncPath(temporary, false) ||
        ::rename(temporary.toLocal8Bit().constData(), packagePath.toLocal8Bit().constData()) != 0) {
        if (!isCancelled()) FLTLogError("Error: unable to write package %s\n", qPrintable(packagePath));
        QFile::remove(temporary);
        return;
    }
    syncPath(destinationDirectory(), true);
    _finalPath = packagePath;
}
