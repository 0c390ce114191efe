// The stages a rotated log goes through in the events folder: gzip ("<uuid>.gz"), a multipart
// package named by its boundary ("<boundary>.multipartmime") (a batch does both at once, in
// memory, and writes the package alone), and the clean-up at start that sorts
// what earlier runs left by stage, removes strangers and prunes packages beyond the limit. Each
// stage writes its outputs under temporary names, syncs and renames, and says which succeeded,
// so an input is removed only after a whole, durable output exists.
#pragma once

#include "platform/Operation.h"

#include <QDateTime>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <utility>

class TDGFileUtils {
public:
    // Every entry of the folder (hidden ones too), files and folders alike; not recursive.
    static QSet<QString> allFilesInDirectory(const QString& folder);
    static QSet<QString> filesWithExtension(const QString& extension, const QString& folder);
    // The size of the entry itself (links not followed); 0 when it cannot be read.
    static qint64 fileSizeAtURL(const QString& path);
    // Birth time where the file system keeps one, else the modification time; the default when
    // the entry cannot be read. Links are not followed.
    static QDateTime fileCreatedDateAtURL(const QString& path, const QDateTime& fallback);
    static qint64 fileCreatedNanoseconds(const QString& path, qint64 fallback);
    // The last path component up to its last dot, and what follows the dot.
    static QString baseName(const QString& path);
    static QString extension(const QString& path);
    static QString withExtension(const QString& path, const QString& extension);
    // Removes a file, a link or a whole folder (links inside never followed).
    static bool removeEntry(const QString& path);
    // Whether a log holds an event: a whole line after its metadata line. A log whose writes all
    // failed (a full disk) holds nothing, or only the metadata line, and has nothing to send.
    static bool logHoldsAnEvent(const QString& path);
};

// Both stages take one file or a batch of them (the logs an earlier run left, a rotation): every
// output is written under a temporary name first, then all are made durable together with one
// sync of their file system and, once renamed, one of their folder, so a batch costs the same few
// syncs whatever its size. An output is under its final name only once it is whole and durable.
class TDGCompressLogOperation : public Operation {
public:
    struct Item {
        QString uncompressedLogPath;
        QString compressedLogPath;
    };
    TDGCompressLogOperation(QString uncompressedLogPath, QString compressedLogPath)
        : _items{{std::move(uncompressedLogPath), std::move(compressedLogPath)}} {}
    explicit TDGCompressLogOperation(QList<Item> items) : _items(std::move(items)) {}
    static QString compressedURLForUncompressedURL(const QString& path) { return TDGFileUtils::withExtension(path, QStringLiteral("gz")); }
    // Every compressed file is whole and durable; one that was there already counts (it was
    // written whole).
    bool success() const { return !_items.isEmpty() && _done.size() == _items.size(); }
    // The logs whose compressed file is whole and durable: those may go.
    const QStringList& done() const { return _done; }

protected:
    void main() override;

private:
    QList<Item> _items;
    QStringList _done;
};

class TDGPackageLogOperation : public Operation {
public:
    static constexpr const char* kMimeType = "application/vnd.faultline.mac.events";
    // With uncompressedLogPath, the log is gzipped in memory and packaged as if it were the
    // compressed file named (which is never written); the log is then the input that goes.
    struct Item {
        QString compressedLogPath;
        QString packagedLogPath;
        QString boundary;
        QString uncompressedLogPath;
    };
    TDGPackageLogOperation(QString compressedLogPath, QString packagedLogPath, QString boundary)
        : _items{{std::move(compressedLogPath), std::move(packagedLogPath), std::move(boundary)}} {}
    explicit TDGPackageLogOperation(QList<Item> items) : _items(std::move(items)) {}
    static QString multipartURLForCompressedURL(const QString& compressed, const QString& boundary);
    bool success() const { return !_items.isEmpty() && _done.size() == _items.size(); }
    // The inputs (logs, compressed files) whose package is whole and durable.
    const QStringList& done() const { return _done; }

    // The stage of a batch in the folder of its files: the logs, gzipped in memory, and the
    // compressed files given, packaged under fresh boundaries in the same folder, one file
    // written per input; each input is removed once its package is durable. packages holds the
    // (path, boundary) each upload takes.
    struct Batch {
        std::shared_ptr<TDGPackageLogOperation> package;
        QList<std::pair<QString, QString>> packages;
        QList<std::shared_ptr<Operation>> operations() const { return {package}; }
    };
    static Batch batchForLogs(const QStringList& logs, const QStringList& compressed);

protected:
    void main() override;

private:
    QList<Item> _items;
    QStringList _done;
};

class TDGCleanupFilesOperation : public Operation {
public:
    using SuccessBlock = std::function<void(const QSet<QString>& logs, const QSet<QString>& compressed, const QSet<QString>& packages)>;
    TDGCleanupFilesOperation(QString directory, qint64 maximumPendingMultipartFiles)
        : _directory(std::move(directory)), _maximumPendingMultipartFiles(maximumPendingMultipartFiles) {}
    void setSuccessBlock(SuccessBlock block) { _successBlock = std::move(block); }
    // Keeps the newest "limit" entries, removes the others; answers those kept.
    static QStringList URLsByRemovingOldFiles(const QStringList& paths, qint64 limit);

protected:
    void main() override;

private:
    QString _directory;
    qint64 _maximumPendingMultipartFiles;
    SuccessBlock _successBlock;
};
