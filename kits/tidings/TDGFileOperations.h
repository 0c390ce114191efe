// The stages a rotated log goes through in the events folder: gzip ("<uuid>.gz"), a multipart
// package named by its boundary ("<boundary>.multipartmime"), and the clean-up at start that sorts
// what earlier runs left by stage, removes strangers and prunes packages beyond the limit. Each
// stage writes its output under a temporary name, syncs and renames, and says whether it
// succeeded, so its input is removed only after a whole output exists.
#pragma once

#include "platform/Operation.h"

#include <QDateTime>
#include <QSet>
#include <QString>

#include <functional>

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
};

class TDGCompressLogOperation : public Operation {
public:
    TDGCompressLogOperation(QString uncompressedLogPath, QString compressedLogPath)
        : _uncompressedLogPath(std::move(uncompressedLogPath)), _compressedLogPath(std::move(compressedLogPath)) {}
    static QString compressedURLForUncompressedURL(const QString& path) { return TDGFileUtils::withExtension(path, QStringLiteral("gz")); }
    // A compressed file that was there already counts as success (it was written whole).
    bool success() const { return _success; }
    QString compressedLogPath() const { return _compressedLogPath; }

protected:
    void main() override;

private:
    QString _uncompressedLogPath;
    QString _compressedLogPath;
    bool _success = false;
};

class TDGPackageLogOperation : public Operation {
public:
    static constexpr const char* kMimeType = "application/vnd.faultline.mac.events";
    TDGPackageLogOperation(QString compressedLogPath, QString packagedLogPath, QString boundary)
        : _compressedLogPath(std::move(compressedLogPath)), _packagedLogPath(std::move(packagedLogPath)), _boundary(std::move(boundary)) {}
    static QString multipartURLForCompressedURL(const QString& compressed, const QString& boundary);
    bool success() const { return _success; }

protected:
    void main() override;

private:
    QString _compressedLogPath;
    QString _packagedLogPath;
    QString _boundary;
    bool _success = false;
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
