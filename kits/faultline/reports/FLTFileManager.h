// The crash-report store: the folders a report passes through between capture and upload
// ("v3"/"active", "processing", "prepared"), the launch marker's folder and the few file operations
// the controllers need. Names that begin with "." are never listed, moved or removed by the
// folder-wide operations, and removal never follows a symbolic link out of the store.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

class FLTInternalReport;

class FLTFileManager {
public:
    // The store under the user's caches folder, named after the kits' prefix and the escaped
    // bundle identifier; a test may give its own root.
    FLTFileManager();
    explicit FLTFileManager(QString rootPath);

    QString rootPath() const { return _rootPath; }
    QString structurePath() const;
    QString activePath() const;
    QString pendingPath() const;
    QString processingPath() const;
    QString preparedPath() const;
    static QString pathNamespace();

    QStringList activePathContents() const { return contentsOfDirectory(activePath()); }
    QStringList processingPathContents() const { return contentsOfDirectory(processingPath()); }
    QStringList preparedPathContents() const { return contentsOfDirectory(preparedPath()); }

    bool createDirectoryAtPath(const QString& path) const;
    bool removeItemAtPath(const QString& path) const;
    bool removeContentsOfDirectoryAtPath(const QString& path) const;
    bool moveItemAtPath(const QString& path, const QString& directory) const;
    // Copies a folder with its files (links are left out) to destination, which must not exist.
    bool copyItemAtPath(const QString& path, const QString& destination) const;
    void enumerateFilesInDirectory(const QString& directory, const std::function<void(const QString& path, const QString& extension)>& block) const;
    bool moveItemsFromDirectory(const QString& from, const QString& to) const;
    std::optional<qint64> fileSizeAtPath(const QString& path) const;
    // Full paths of the visible entries, sorted by name; an unreadable folder lists nothing.
    QStringList contentsOfDirectory(const QString& directory) const;

    bool prepareForNewLaunch() const;
    QString setupNewPathForExecutionIdentifier(const QString& identifier) const;
    // Synchronous: the caller finishes it before it makes the new launch's folders.
    void removeLegacyDirectories() const;

    void enumerateReportsInProcessingDirectory(const std::function<void(const std::shared_ptr<FLTInternalReport>&, const QString& path)>& block) const;
    bool moveProcessingContentsToPrepared() const { return moveItemsFromDirectory(processingPath(), preparedPath()); }
    bool movePendingToProcessing() const { return moveItemsFromDirectory(pendingPath(), processingPath()); }
    bool removeContentsOfProcessingPath() const { return removeContentsOfDirectoryAtPath(processingPath()); }
    bool removeContentsOfPendingPath() const { return removeContentsOfDirectoryAtPath(pendingPath()); }
    bool removeContentsOfAllPaths() const;

private:
    QString _rootPath;
};
