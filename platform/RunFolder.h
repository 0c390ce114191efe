// Folders a run of Qorvel keeps its own records in, one per run under a root, closed to other
// users and held by a lock while the run lasts: a later run tells the folders of runs that ended
// without clearing up (a crash, a kill) from those of runs still going.
//
// Main thread only.
#pragma once

#include <QString>
#include <QStringList>

#include <memory>

class QLockFile;

class RunFolder {
public:
    RunFolder();
    ~RunFolder();
    RunFolder(const RunFolder&) = delete;
    RunFolder& operator=(const RunFolder&) = delete;

    // Makes the run's folder under root (and root) with the lock taken; false when it cannot,
    // and reason then says why as the file system did (a full disk, a file in the way, no
    // permission). Once made, it stays the same.
    bool make(const QString& root, QString* reason = nullptr);
    // The folder, empty until made.
    QString path() const { return _path; }
    // Lets the lock go and forgets the folder, which stays for a later run to find.
    void release();
    // Removes the folder and forgets it.
    void remove();

    // The folders under root whose run has ended (no process holds their lock), oldest first.
    static QStringList ended(const QString& root);
    // The lock's name in each folder.
    static inline const QString LockName = QStringLiteral("run.lock");
    // A folder and any missing parent, readable only by the user.
    static bool makePrivate(const QString& path, QString* reason = nullptr);

private:
    QString _path;
    std::unique_ptr<QLockFile> _lock;
};
