// The shared code index: a background thread that indexes queued files and folders into
// "index.db" with their bundles' rules, and the key queries of completion.
#pragma once

#include "completion/QVCodeIndexKey.h"
#include "platform/UserDefaults.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

class QVBundleRepository;
class QVCodeIndexDatabase;

// Posted after a file was indexed again, with the path under QVFileIndexInvalidatedPathKey in the
// user info; and with no path when indexing is switched on. The object is the index. Delivered
// on the main thread, where the editor's text lives, through the main queue: never once the index
// is gone.
inline constexpr const char* QVFileIndexInvalidated = "QVFileIndexInvalidated";
inline constexpr const char* QVFileIndexInvalidatedPathKey = "path";

// Files and folders wait in one queue, first in first out. A folder is expanded when the thread
// reaches it: its entries join the end of the queue, so a tree is walked breadth first, one file
// at a time. Entries named ".svn" or ending in "CVS", and names beginning with ".tmp_Qorvel", are
// skipped; other hidden files are indexed. A folder reached again through a symbolic link within
// one walk (same device and inode) is not expanded again, so link loops end. Only regular files
// are read (never a pipe or a device). A file is indexed when it has rules (its bundle's
// indexer), and its modification time differs from the one stored when it was last indexed.
//
// Files indexed one after another are committed together, at most BatchFiles of them or
// BatchMilliseconds after the first, and at once when the queue runs empty; each file still
// succeeds or fails whole. QVFileIndexInvalidated is posted for each once it is committed.
//
// The thread runs at the lowest scheduling priority and sleeps on a condition variable; a
// wake-up never blocks the caller and is never lost, since it is a flag set under the queue's
// lock, which the thread checks before sleeping. The queue's lock is held only to append, take or
// count, never while the database is used.
class QVCodeIndex {
public:
    // The application's index over "index.db" in the application-support folder, made on first
    // use and never released.
    static QVCodeIndex& sharedIndex();

    // An index over the file at databasePath ("index.db" in the application-support folder when
    // empty), switched by QVCodeIndexingEnabled in defaults (the standard store when null; a
    // missing value means on) and taking rules from repository (the shared registry when null).
    explicit QVCodeIndex(const QString& databasePath = {}, UserDefaults* defaults = nullptr,
                         QVBundleRepository* repository = nullptr);
    // Stops the thread after the file in hand and closes the database.
    ~QVCodeIndex();
    QVCodeIndex(const QVCodeIndex&) = delete;
    QVCodeIndex& operator=(const QVCodeIndex&) = delete;

    // Starts the thread, which opens the database first; does nothing while it runs.
    void start();
    // Ends the thread after the file in hand and waits for it; queued paths stay queued for a
    // later start.
    void stop();
    bool isRunning() const;

    // Queue a file, or a folder whose whole tree is then indexed, and wake the thread. Null
    // paths are ignored.
    void indexFile(const QString& path);
    void indexDirectory(const QString& path);

    // The keys of the type and class (null for any) visible from the file (null for all files):
    // those found in it and in every file it refers to, directly or through others. Nothing
    // while indexing is off or the database is not open (an empty list when neither a type nor
    // a class was asked). Never waits for the index thread's work on a file.
    std::optional<QList<QVCodeIndexKey>> keysForType(const QString& type, const QString& keyClass,
                                                     const QString& file);

    bool enabled() const { return _enabled.load(); }
    // Stores the switch (and the user default). Switching off stops the thread after the file
    // in hand, keeping the queue; switching on posts QVFileIndexInvalidated without a path and
    // wakes the thread for what is queued.
    void setEnabled(bool enabled);

    // Waits until the thread has nothing to do (the database opened, the queue empty or indexing
    // off, no file in hand); false after the time-out. For tests, benchmarks and shutdown.
    bool waitUntilIdle(int timeoutMilliseconds);
    qsizetype queueCount() const;
    QVCodeIndexDatabase& database() { return *_database; }

    // Whether the queue skips the path by its name.
    static bool skipsPath(const QString& path);

private:
    struct Walk;
    struct Entry {
        QString path;
        std::shared_ptr<Walk> walk;  // null for a path queued on its own
    };

    void enqueue(const QString& path);
    void pokeIndexer();
    void mainLoop();
    // True when the file's new state was written into the open batch.
    bool processFile(const Entry& entry);
    // Commits the batch and tells observers about its files.
    void commitIndexed(QStringList& indexed);
    // Posts QVFileIndexInvalidated on the main thread.
    void postInvalidated(const QVariantMap& userInfo);
    void addDirectoryFilesToQueue(const QString& folder, const std::shared_ptr<Walk>& walk);
    bool idleLocked() const;

    std::unique_ptr<QVCodeIndexDatabase> _database;
    QVBundleRepository* _repository;
    UserDefaults* _defaults;
    UserDefaults::Token _enabledObserver = 0;
    std::atomic<bool> _enabled{true};
    // Cleared when the index goes, so that news still queued for the main thread is dropped.
    std::shared_ptr<std::atomic<bool>> _alive = std::make_shared<std::atomic<bool>>(true);

    mutable std::mutex _queueLock;  // guards everything down to _thread
    std::condition_variable _poker;
    std::condition_variable _idle;
    std::deque<Entry> _queue;
    bool _wakePending = false;
    bool _stopping = false;
    bool _opening = false;
    bool _busy = false;
    std::thread _thread;
};
