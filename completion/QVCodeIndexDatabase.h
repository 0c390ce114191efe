// The code index's SQLite file "index.db": its schema and upgrade, files that are no usable
// index moved aside, one transaction per indexed file, and the key queries of completion.
#pragma once

#include "completion/QVCodeIndexKey.h"
#include "completion/QVCodeIndexer.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

class QVDatabase;

// Tables (schema version 2):
//   files (id, path = md5 hex of the full path, last_update)
//   referencedFiles (src_id, dst_id)                 file src_id refers to file dst_id
//   keys (id, file_id, parent_id, key, completion, range, type, class)
//   types (id, title), classes (id, title)           titles by id, made on demand
//   tags (id, file_id, tag)                          names files declare; file_id 0: nobody yet
//   referencedTags (file_id, tag_id)                 file file_id refers to tag row tag_id
//   config (version)
// "last_update" holds the file's modification time in nanoseconds since 1970 when it was last
// indexed, so that any change of the time is seen, however small; NULL for a file that has a
// row (it was referred to) but was never indexed.
//
// Two connections to the one file, which is kept in write-ahead-log mode: the index thread's
// (every write: opening, rows of files, each file's transaction) under the writer lock, and the
// connection of the queries under the reader lock. A query reads the last committed state and
// never waits for a file's transaction, so the main thread waits for no more than its own
// query. The caches of type and class ids are shared under a lock of their own, which is never
// held while waiting for the other connection.
class QVCodeIndexDatabase {
public:
    static constexpr int SchemaVersion = 2;

    explicit QVCodeIndexDatabase(QString path);
    ~QVCodeIndexDatabase();
    QVCodeIndexDatabase(const QVCodeIndexDatabase&) = delete;
    QVCodeIndexDatabase& operator=(const QVCodeIndexDatabase&) = delete;

    const QString& path() const { return _path; }

    // ---- the index thread

    // Opens the file, creating it with the schema when it does not exist and upgrading a
    // version-1 file (its data emptied). A file that is no usable index (unreadable, read-only,
    // empty, not a database, or missing tables or columns) is moved aside as "index.db.bad"
    // (then ".bad2"...) and a new one made. False when no connection could be set up; the
    // cause is logged and a later call tries again. True at once when already open.
    bool open();
    bool isOpen() const;
    void close();

    struct FileInfo {
        qint64 id = 0;
        // Nothing for a row that was never indexed.
        std::optional<qint64> lastUpdate;
    };
    // The row of the file, made when there is none unless create is false (the id is then 0);
    // nothing when the index is closed or the row can neither be found nor made.
    std::optional<FileInfo> fileInfoForPath(const QString& path, bool create = true);
    // Replaces what the file contributes (keys, referenced files and tags, declared tags) and
    // marks it current with the modification time, all in one transaction: on any failure
    // everything is rolled back and false is answered, so the file keeps its previous state
    // and is indexed again the next time it is queued. A file id of 0 makes the file's row in
    // the same transaction. Tags the file declared before become unclaimed names again (not
    // deleted), so files that refer to them keep their references.
    bool replaceFile(const QString& path, qint64 fileID, const QVCodeIndexer::Output& output,
                     qint64 modificationTime);

    // Files replaced between beginBatch() and commitBatch() share one transaction, each file in a
    // save point of its own: a file that fails is rolled back alone, the others stay, and none
    // is visible to queries (or current) before the batch is committed. Committing once for
    // many files spares rewriting the same pages of the log for every file.
    bool beginBatch();
    bool inBatch();
    // Whether the open batch holds enough files, or is old enough, to be committed now.
    bool batchIsDue();
    // Ends the batch (true at once without one). False when the commit failed: the whole batch
    // is rolled back, so none of its files is marked current.
    bool commitBatch();
    static constexpr int BatchFiles = 200;
    static constexpr int BatchMilliseconds = 250;

    // ---- queries, from any thread

    // Keys of the type and class (each null for any) visible from the file (null for every
    // file): distinct key and completion, with the type asked for or, when none was, the row's
    // type title. A type or class title never seen before gets its row and yields an empty
    // list. Nothing when the index is not open, or a title's row could not be made; an empty
    // list when the file has no row.
    std::optional<QList<QVCodeIndexKey>> keysForType(const QString& type, const QString& keyClass,
                                                     const QString& file);
    // The file's id and those of every file reachable from it through referenced files and
    // referenced tags (breadth first; an unclaimed tag adds 0). Nothing when the file has no row.
    std::optional<QList<qint64>> fileIDsForPath(const QString& path);
    // The title of a type id; null when there is none.
    QString typeStringForID(qint64 typeID);

    // The schema version a connection's file states: the highest "version" of "config", or 1
    // when there is none.
    static int schemaVersion(QVDatabase& database);
    // Where files that were no usable index went, in the order they were moved.
    QStringList movedAsideFiles() const;

private:
    enum class OpenResult { Opened, Failed, Unusable };
    OpenResult tryOpen(QString* reason);
    bool moveAside(const QString& reason);
    bool runAll(QVDatabase& database, const QStringList& statements);
    bool checkTables(QVDatabase& database, int version);
    void loadCaches(QVDatabase& database);

    // Writer side; callers hold _writerLock.
    std::optional<FileInfo> fileInfoLocked(const QString& path, bool create);
    bool insertKeys(qint64 fileID, const QList<QVCodeIndexKey>& keys);
    std::optional<qint64> titleIDLocked(QVDatabase& database, bool type, const QString& title, bool mayWait);
    bool tagFileID(qint64 fileID, const QStringList& tags);
    bool referenceFiles(qint64 fileID, const QStringList& paths);
    bool referenceTags(qint64 fileID, const QStringList& names);
    std::optional<qint64> tagInfoForTag(const QString& name);

    // Reader side; callers hold _readerLock.
    bool readerReady();
    std::optional<QList<qint64>> fileIDsLocked(const QString& path);
    QString typeStringLocked(qint64 typeID);

    const QString _path;

    mutable std::mutex _writerLock;
    std::unique_ptr<QVDatabase> _writer;
    QStringList _movedAside;
    int _batchFiles = 0;
    QElapsedTimer _batchClock;

    std::mutex _readerLock;
    std::unique_ptr<QVDatabase> _reader;
    quint64 _readerGeneration = 0;

    // Bumped each time the writer has set up the file; 0 while it is closed.
    std::atomic<quint64> _generation{0};
    quint64 _openCount = 0;

    std::mutex _cacheLock;
    QHash<QString, qint64> _typeToID;
    QHash<qint64, QString> _idToType;
    QHash<QString, qint64> _classes;
};
