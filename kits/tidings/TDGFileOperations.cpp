#include "kits/tidings/TDGFileOperations.h"

#include "kits/tidings/TDGLogger.h"
#include "platform/AtomicFile.h"
#include "kits/trellis/TRLMultipartMimeStreamEncoder.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimeZone>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

static TDGLogger& logger() { return TDGLogger::sharedLogger(); }

QSet<QString> TDGFileUtils::allFilesInDirectory(const QString& folder) {
    QDir dir(folder);
    if (!dir.exists()) {
        logger().log(QStringLiteral("Unable to read contents of %1: %2").arg(folder, QStringLiteral("no such folder")));
        return {};
    }
    const QStringList names = dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    QSet<QString> out;
    for (const QString& name : names) out.insert(dir.filePath(name));
    return out;
}

QSet<QString> TDGFileUtils::filesWithExtension(const QString& ext, const QString& folder) {
    QSet<QString> out;
    for (const QString& path : allFilesInDirectory(folder))
        if (extension(path) == ext) out.insert(path);
    return out;
}

qint64 TDGFileUtils::fileSizeAtURL(const QString& path) {
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0) return 0;
    return st.st_size;
}

bool TDGFileUtils::logHoldsAnEvent(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
    int lines = 0;
    char buffer[4096];
    for (qint64 n; lines < 2 && (n = file.read(buffer, sizeof buffer)) > 0;)
        lines += int(std::count(buffer, buffer + n, '\n'));
    return lines >= 2;
}

qint64 TDGFileUtils::fileCreatedNanoseconds(const QString& path, qint64 fallback) {
    struct statx sx {};
    if (::statx(AT_FDCWD, QFile::encodeName(path).constData(), AT_SYMLINK_NOFOLLOW, STATX_BTIME | STATX_MTIME, &sx) != 0) return fallback;
    const statx_timestamp t = (sx.stx_mask & STATX_BTIME) ? sx.stx_btime : sx.stx_mtime;
    return qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
}

QDateTime TDGFileUtils::fileCreatedDateAtURL(const QString& path, const QDateTime& fallback) {
    const qint64 ns = fileCreatedNanoseconds(path, std::numeric_limits<qint64>::min());
    if (ns == std::numeric_limits<qint64>::min()) return fallback;
    return QDateTime::fromMSecsSinceEpoch(ns / 1000000, Qt::UTC);
}

QString TDGFileUtils::baseName(const QString& path) {
    const QString name = QFileInfo(path).fileName();
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? name : name.left(dot);
}

QString TDGFileUtils::extension(const QString& path) {
    const QString name = QFileInfo(path).fileName();
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? QString() : name.mid(dot + 1);
}

QString TDGFileUtils::withExtension(const QString& path, const QString& ext) {
    const QFileInfo info(path);
    return info.dir().filePath(baseName(path) + QLatin1Char('.') + ext);
}

bool TDGFileUtils::removeEntry(const QString& path) {
    struct stat st {};
    const QByteArray p = QFile::encodeName(path);
    if (::lstat(p.constData(), &st) != 0) return errno == ENOENT;
    if (S_ISDIR(st.st_mode)) return QDir(path).removeRecursively();
    return ::unlink(p.constData()) == 0;
}

// Reads a regular file whole; links are not followed and a failed read is no data. The open and
// its fstat are all that look at the file: no separate test of its kind beforehand.
static bool readRegularFile(const QString& path, QByteArray* out) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    // One spare byte: a file that grew since the fstat is read on to its end.
    out->resize(qsizetype(st.st_size) + 1);
    qsizetype size = 0;
    bool ok = true;
    for (;;) {
        if (size == out->size()) out->resize(out->size() * 2);
        const ssize_t got = ::read(fd, out->data() + size, size_t(out->size() - size));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        size += got;
    }
    ::close(fd);
    out->resize(size);
    return ok;
}

// A stage's outputs go under temporary names (strangers to the clean-up), are made durable all at
// once, then renamed, and their folder synced once: a kill leaves each output whole or absent,
// never a short one that would be sent, and the syncs do not grow with the batch. Answers the
// positions (in staged) of the outputs now in place; failed(position, error) hears of the others.
static QList<qsizetype> commitAll(const QList<AtomicFile::Staged>& staged, const std::function<void(qsizetype, const QVError&)>& failed) {
    QList<qsizetype> placed;
    if (staged.isEmpty()) return placed;
    if (!AtomicFile::flush(staged)) {
        // Not known to be on disk: nothing takes a final name, every input stays.
        for (qsizetype i = 0; i < staged.size(); ++i) {
            AtomicFile::discard(staged[i]);
            failed(i, QVError::posix(EIO, QStringLiteral("Flushing"), staged[i].path));
        }
        return placed;
    }
    QList<AtomicFile::Staged> committed;
    for (qsizetype i = 0; i < staged.size(); ++i) {
        QVError error;
        if (AtomicFile::commit(staged[i], &error)) {
            committed << staged[i];
            placed << i;
        } else {
            failed(i, error);
        }
    }
    AtomicFile::flushFolders(committed);
    return placed;
}

static bool isRegularFile(const QString& path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISREG(st.st_mode);
}

// gzip of the whole buffer at zlib's default level, every zlib answer checked.
static bool gzipBytes(const QByteArray& in, QByteArray* out) {
    z_stream z{};
    if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
    out->resize(qsizetype(deflateBound(&z, uLong(in.size()))) + 32);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.constData()));
    z.avail_in = uInt(in.size());
    z.next_out = reinterpret_cast<Bytef*>(out->data());
    z.avail_out = uInt(out->size());
    const int rc = deflate(&z, Z_FINISH);
    const uLong total = z.total_out;
    if (deflateEnd(&z) != Z_OK || rc != Z_STREAM_END) return false;
    out->resize(qsizetype(total));
    return true;
}

void TDGCompressLogOperation::main() {
    _done.clear();
    QList<AtomicFile::Staged> staged;
    QStringList stagedLogs;
    for (const Item& item : std::as_const(_items)) {
        if (!isRegularFile(item.uncompressedLogPath)) {
            logger().log(QStringLiteral("Error: attempting to compress nonexistent file: %1").arg(item.uncompressedLogPath));
            continue;
        }
        if (QFileInfo::exists(item.compressedLogPath)) {
            if (isRegularFile(item.compressedLogPath)) _done << item.uncompressedLogPath;
            continue;
        }
        QByteArray bytes, compressed;
        if (!readRegularFile(item.uncompressedLogPath, &bytes) || !gzipBytes(bytes, &compressed)) {
            logger().log(QStringLiteral("Failed to compress file at %1").arg(item.uncompressedLogPath));
            continue;
        }
        AtomicFile::Staged s;
        QVError error;
        if (!AtomicFile::stage(item.compressedLogPath, compressed, &s, &error)) {
            logger().log(QStringLiteral("Failed to compress file at %1: %2").arg(item.uncompressedLogPath, error.localizedDescription()));
            continue;
        }
        staged << s;
        stagedLogs << item.uncompressedLogPath;
    }
    const auto placed = commitAll(staged, [&](qsizetype i, const QVError& error) {
        logger().log(QStringLiteral("Failed to compress file at %1: %2").arg(stagedLogs[i], error.localizedDescription()));
    });
    for (qsizetype i : placed) _done << stagedLogs[i];
}

QString TDGPackageLogOperation::multipartURLForCompressedURL(const QString& compressed, const QString& boundary) {
    return QFileInfo(compressed).dir().filePath(boundary + QStringLiteral(".multipartmime"));
}

void TDGPackageLogOperation::main() {
    _done.clear();
    QList<AtomicFile::Staged> staged;
    QStringList stagedInputs;
    for (const Item& item : std::as_const(_items)) {
        // A log is gzipped here, in memory: its package is the one file written for it.
        const bool fromLog = !item.uncompressedLogPath.isEmpty();
        QByteArray compressed;
        if (fromLog) {
            QByteArray bytes;
            if (!readRegularFile(item.uncompressedLogPath, &bytes)) {
                logger().log(QStringLiteral("Error: attempting to compress nonexistent file: %1").arg(item.uncompressedLogPath));
                continue;
            }
            if (!gzipBytes(bytes, &compressed)) {
                logger().log(QStringLiteral("Failed to compress file at %1").arg(item.uncompressedLogPath));
                continue;
            }
        } else if (item.compressedLogPath.isEmpty() || !readRegularFile(item.compressedLogPath, &compressed)) {
            logger().log(QStringLiteral("Error: attempting to package nonexistent file: %1").arg(item.compressedLogPath));
            continue;
        } else if (compressed.isEmpty()) {
            logger().log(QStringLiteral("Error packaging: %1 is an invalid path.").arg(item.compressedLogPath));
            continue;
        }
        const QString input = fromLog ? item.uncompressedLogPath : item.compressedLogPath;
        QByteArray body;
        QBuffer buffer(&body);
        TRLMultipartMimeStreamEncoder encoder(&buffer, item.boundary);
        const QString name = QFileInfo(item.compressedLogPath).fileName();
        const bool encoded = encoder.encode([&] { encoder.addFileData(compressed, name, QLatin1String(kMimeType), name); });
        if (!encoded || encoder.failed()) {
            logger().log(QStringLiteral("Error packaging: %1 could not be encoded.").arg(input));
            continue;
        }
        AtomicFile::Staged s;
        QVError error;
        if (!AtomicFile::stage(item.packagedLogPath, body, &s, &error)) {
            logger().log(QStringLiteral("Error packaging %1: %2").arg(input, error.localizedDescription()));
            continue;
        }
        staged << s;
        stagedInputs << input;
    }
    const auto placed = commitAll(staged, [&](qsizetype i, const QVError& error) {
        logger().log(QStringLiteral("Error packaging %1: %2").arg(stagedInputs[i], error.localizedDescription()));
    });
    for (qsizetype i : placed) _done << stagedInputs[i];
}

// Removes the inputs an operation made whole, durable outputs of, once it has finished.
template <typename Stage>
static void removeDoneInputs(const std::shared_ptr<Stage>& op) {
    std::weak_ptr<Stage> weak = op;
    op->setCompletionBlock([weak] {
        auto self = weak.lock();
        if (!self || self->isCancelled()) return;
        for (const QString& input : self->done()) ::unlink(QFile::encodeName(input).constData());
    });
}

TDGPackageLogOperation::Batch TDGPackageLogOperation::batchForLogs(const QStringList& logs, const QStringList& compressed) {
    Batch batch;
    QList<Item> packages;
    auto package = [&](const QString& log, const QString& gz) {
        const QString boundary = TRLMultipartMimeStreamEncoder::generateBoundary();
        const QString path = multipartURLForCompressedURL(gz, boundary);
        packages.append({gz, path, boundary, log});
        batch.packages.append({path, boundary});
    };
    for (const QString& log : logs) package(log, TDGCompressLogOperation::compressedURLForUncompressedURL(log));
    for (const QString& gz : compressed) package(QString(), gz);
    batch.package = std::make_shared<TDGPackageLogOperation>(std::move(packages));
    removeDoneInputs(batch.package);
    return batch;
}

QStringList TDGCleanupFilesOperation::URLsByRemovingOldFiles(const QStringList& paths, qint64 limit) {
    if (paths.size() <= limit) return paths;
    struct Entry {
        QString path;
        qint64 created;  // nanoseconds: files made in one millisecond still sort by age
    };
    QList<Entry> entries;
    // Unreadable entries count as made at the start of time, so they are the first to go.
    for (const QString& p : paths) entries.append({p, TDGFileUtils::fileCreatedNanoseconds(p, std::numeric_limits<qint64>::min())});
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.created > b.created; });
    QStringList kept;
    for (qsizetype i = 0; i < entries.size(); ++i) {
        if (i < qMax<qint64>(limit, 0))
            kept.append(entries[i].path);
        else
            TDGFileUtils::removeEntry(entries[i].path);
    }
    return kept;
}

void TDGCleanupFilesOperation::main() {
    QHash<QString, QString> logs, compressed, packages;
    for (const QString& path : TDGFileUtils::allFilesInDirectory(_directory)) {
        const QString ext = TDGFileUtils::extension(path);
        QHash<QString, QString>* table = ext == QLatin1String("log") ? &logs
                                         : ext == QLatin1String("gz") ? &compressed
                                         : ext == QLatin1String("multipartmime") ? &packages
                                                                                  : nullptr;
        // Strangers go: other names (temporary files of a stage cut short among them), and
        // anything that is not a plain file whatever its name.
        if (!table || !isRegularFile(path)) {
            TDGFileUtils::removeEntry(path);
            continue;
        }
        table->insert(TDGFileUtils::baseName(path), path);
    }
    for (auto it = logs.begin(); it != logs.end(); ++it) {
        const auto gz = compressed.find(it.key());
        if (gz == compressed.end()) continue;
        if (!TDGFileUtils::removeEntry(gz.value()))
            logger().logWithLabel(QStringLiteral("CleanupOperation"),
                                  QStringLiteral("Failed to remove %1: %2").arg(gz.value(), QString::fromLocal8Bit(std::strerror(errno))));
        compressed.erase(gz);
    }
    const QStringList kept = URLsByRemovingOldFiles(packages.values(), _maximumPendingMultipartFiles);
    if (_successBlock) {
        QSet<QString> l, c;
        for (const QString& v : logs) l.insert(v);
        for (const QString& v : compressed) c.insert(v);
        _successBlock(l, c, QSet<QString>(kept.begin(), kept.end()));
    }
}
