// The code index's SQLite file: setting it up, writing one file's findings, answering key queries.
#include "completion/QVCodeIndexDatabase.h"

#include "database/QVDatabase.h"
#include "database/QVResultSet.h"
#include "platform/AtomicFile.h"
#include "platform/SystemLog.h"
#include "shell/StringHashing.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstdio>

#include <sys/stat.h>

namespace {

// The statements outlive the process's exit: the index thread may still be opening or writing
// when a quit runs the static destructors (the index is never released), so none is destroyed.
const QStringList& kSchema1 = *new QStringList{
    QStringLiteral("CREATE TABLE files (id integer PRIMARY KEY AUTOINCREMENT, path text, last_update numeric)"),
    QStringLiteral("CREATE TABLE referencedFiles (src_id integer, dst_id integer)"),
    QStringLiteral("CREATE TABLE keys (id integer PRIMARY KEY AUTOINCREMENT, file_id integer, parent_id integer "
                   "DEFAULT 0, key text, completion text, range text, type integer, class integer)"),
    QStringLiteral("CREATE TABLE types (id integer PRIMARY KEY AUTOINCREMENT, title text NOT NULL)"),
    QStringLiteral("CREATE TABLE classes (id integer PRIMARY KEY AUTOINCREMENT, title text NOT NULL)"),
};

const QStringList& kSchema2 = *new QStringList{
    QStringLiteral("CREATE TABLE tags (id integer PRIMARY KEY AUTOINCREMENT, file_id integer DEFAULT 0, tag text NOT NULL)"),
    QStringLiteral("CREATE INDEX tag_index ON tags (tag)"),
    QStringLiteral("CREATE TABLE referencedTags (file_id integer, tag_id integer)"),
    QStringLiteral("CREATE TABLE config (version integer)"),
    QStringLiteral("INSERT INTO config (version) VALUES (2)"),
};

// Empties the data of an upgraded file; the config row written by the upgrade stays.
const QStringList& kFlush = *new QStringList{
    QStringLiteral("DELETE FROM tags"),    QStringLiteral("DELETE FROM referencedTags"),
    QStringLiteral("DELETE FROM files"),   QStringLiteral("DELETE FROM referencedFiles"),
    QStringLiteral("DELETE FROM keys"),    QStringLiteral("DELETE FROM types"),
    QStringLiteral("DELETE FROM classes"),
};

// Every look-up of a file, a file's keys and its references goes through these columns; without
// them each file's transaction and each query would scan whole tables.
const QStringList& kLookupIndexes = *new QStringList{
    QStringLiteral("CREATE INDEX IF NOT EXISTS files_path_index ON files (path)"),
    QStringLiteral("CREATE INDEX IF NOT EXISTS keys_file_index ON keys (file_id)"),
    QStringLiteral("CREATE INDEX IF NOT EXISTS referencedFiles_src_index ON referencedFiles (src_id)"),
    QStringLiteral("CREATE INDEX IF NOT EXISTS referencedTags_file_index ON referencedTags (file_id)"),
    QStringLiteral("CREATE INDEX IF NOT EXISTS tags_file_index ON tags (file_id)"),
};

// The columns the index reads and writes, per schema version: a file that lacks any of them is
// no index of ours.
const QStringList& kColumns1 = *new QStringList{
    QStringLiteral("SELECT id, path, last_update FROM files LIMIT 0"),
    QStringLiteral("SELECT src_id, dst_id FROM referencedFiles LIMIT 0"),
    QStringLiteral("SELECT id, file_id, parent_id, key, completion, range, type, class FROM keys LIMIT 0"),
    QStringLiteral("SELECT id, title FROM types LIMIT 0"),
    QStringLiteral("SELECT id, title FROM classes LIMIT 0"),
};
const QStringList& kColumns2 = *new QStringList{
    QStringLiteral("SELECT id, file_id, tag FROM tags LIMIT 0"),
    QStringLiteral("SELECT file_id, tag_id FROM referencedTags LIMIT 0"),
};

// How long the index thread waits for a file another program holds, and how long a query
// waits for a busy read (rare with the write-ahead log).
constexpr int kWriterBusyMilliseconds = 10000;
constexpr int kReaderBusyMilliseconds = 200;

bool isBusy(int code) {
    const int primary = code & 0xFF;
    return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

QString digest(const QString& path) { return StringHashing::md5(QDir::cleanPath(path)).value_or(QString()); }

// The files visible from the file whose digest is bound: itself, then breadth first every file
// it refers to and every file declaring a tag it refers to (an unclaimed tag gives 0). UNION keeps
// each id once, so references that go round in circles end.
const QString& kVisibleFiles = *new QString(QStringLiteral(
    "WITH RECURSIVE visible(id) AS ("
    "SELECT id FROM files WHERE path=?"
    " UNION SELECT referencedFiles.dst_id FROM referencedFiles JOIN visible ON referencedFiles.src_id=visible.id"
    " UNION SELECT tags.file_id FROM visible JOIN referencedTags ON referencedTags.file_id=visible.id"
    " JOIN tags ON tags.id=referencedTags.tag_id)"));

}  // namespace

QVCodeIndexDatabase::QVCodeIndexDatabase(QString path) : _path(std::move(path)) {}

QVCodeIndexDatabase::~QVCodeIndexDatabase() { close(); }

bool QVCodeIndexDatabase::isOpen() const { return _generation.load() != 0; }

QStringList QVCodeIndexDatabase::movedAsideFiles() const {
    std::lock_guard locker(_writerLock);
    return _movedAside;
}

void QVCodeIndexDatabase::close() {
    {
        std::lock_guard locker(_writerLock);
        _generation.store(0);
        if (_writer) _writer->close();
        _writer.reset();
    }
    std::lock_guard locker(_readerLock);
    if (_reader) _reader->close();
    _reader.reset();
}

int QVCodeIndexDatabase::schemaVersion(QVDatabase& database) {
    std::shared_ptr<QVResultSet> rs =
        database.executeQuery(QStringLiteral("SELECT version FROM config ORDER BY version DESC"));
    if (!rs) return 1;
    const int version = rs->next() ? rs->intForColumn(QStringLiteral("version")) : 1;
    rs->close();
    return version;
}

// ---- opening ----------------------------------------------------------------------------------

bool QVCodeIndexDatabase::runAll(QVDatabase& database, const QStringList& statements) {
    for (const QString& statement : statements)
        if (!database.executeUpdate(statement)) return false;
    return true;
}

bool QVCodeIndexDatabase::checkTables(QVDatabase& database, int version) {
    QStringList statements = kColumns1;
    if (version >= 2) statements += kColumns2;
    for (const QString& statement : statements) {
        std::shared_ptr<QVResultSet> rs = database.executeQuery(statement);
        if (!rs) return false;
        rs->close();
    }
    return true;
}

void QVCodeIndexDatabase::loadCaches(QVDatabase& database) {
    QHash<QString, qint64> classes;
    QHash<QString, qint64> typeToID;
    QHash<qint64, QString> idToType;
    if (std::shared_ptr<QVResultSet> rs = database.executeQuery(QStringLiteral("SELECT id, title FROM classes"))) {
        while (rs->next()) classes.insert(rs->stringForColumnIndex(1), rs->longLongIntForColumnIndex(0));
        rs->close();
    }
    if (std::shared_ptr<QVResultSet> rs = database.executeQuery(QStringLiteral("SELECT id, title FROM types"))) {
        while (rs->next()) {
            const qint64 id = rs->longLongIntForColumnIndex(0);
            const QString title = rs->stringForColumnIndex(1);
            typeToID.insert(title, id);
            idToType.insert(id, title);
        }
        rs->close();
    }
    std::lock_guard locker(_cacheLock);
    _classes = std::move(classes);
    _typeToID = std::move(typeToID);
    _idToType = std::move(idToType);
}

QVCodeIndexDatabase::OpenResult QVCodeIndexDatabase::tryOpen(QString* reason) {
    struct stat st;
    const bool existed = ::lstat(QFile::encodeName(_path).constData(), &st) == 0;
    auto database = std::make_unique<QVDatabase>(_path);
    database->setShouldCacheStatements(true);
    database->setLogsErrors(true);
    database->setMaxBusyWaitMilliseconds(kWriterBusyMilliseconds);

    // A failure is the file's fault unless another program merely holds it for now. Closing
    // rolls back a transaction left open.
    const auto failure = [&](const QString& what) {
        *reason = QStringLiteral("%1: %2").arg(what, database->lastErrorMessage());
        const bool busy = isBusy(database->lastErrorCode());
        database->close();
        return busy || !existed ? OpenResult::Failed : OpenResult::Unusable;
    };

    if (existed && !S_ISREG(st.st_mode)) {
        *reason = QStringLiteral("it is not a regular file");
        return OpenResult::Unusable;
    }
    // Each connection is used under a lock of ours, so SQLite's own per-call locking is not needed.
    if (!database->openWithFlags(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX) || database->hadError())
        return failure(QStringLiteral("it cannot be opened"));
    if (existed && sqlite3_db_readonly(database->sqliteHandle(), "main") == 1) {
        *reason = QStringLiteral("it cannot be written");
        database->close();
        return OpenResult::Unusable;
    }

    int version = SchemaVersion;
    if (existed) {
        std::shared_ptr<QVResultSet> rs =
            database->executeQuery(QStringLiteral("SELECT version FROM config ORDER BY version DESC"));
        // A file another program holds cannot be told from an old one yet: try again later.
        if (!rs && isBusy(database->lastErrorCode())) return failure(QStringLiteral("it is busy"));
        version = rs && rs->next() ? rs->intForColumn(QStringLiteral("version")) : 1;
        if (rs) rs->close();
        if (!checkTables(*database, version)) return failure(QStringLiteral("it is not a code index"));
    }

    // Queries read beside the index thread's writes instead of waiting for them; each file's
    // commit then costs no disk flush. A file system that cannot keep the log leaves the
    // journal as it was, which is only slower.
    if (std::shared_ptr<QVResultSet> rs = database->executeQuery(QStringLiteral("PRAGMA journal_mode=WAL"))) {
        const QString mode = rs->next() ? rs->stringForColumnIndex(0) : QString();
        rs->close();
        if (mode.compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0)
            SystemLog::warning(QStringLiteral("The code index \"%1\" keeps no write-ahead log (%2).").arg(_path, mode));
    }
    database->executeUpdate(QStringLiteral("PRAGMA synchronous=NORMAL"));
    // The journals of each file's save point stay in memory instead of in a temporary file made
    // and removed for every file.
    database->executeUpdate(QStringLiteral("PRAGMA temp_store=MEMORY"));
    // Room for the pages a walk of a large project keeps going back to (the default is 2 MB).
    database->executeUpdate(QStringLiteral("PRAGMA cache_size=-16384"));

    if (!existed) {
        if (!database->beginTransaction()) return failure(QStringLiteral("it cannot be set up"));
        if (!runAll(*database, kSchema1) || !runAll(*database, kSchema2) || !database->commit()) {
            return failure(QStringLiteral("it cannot be set up"));
        }
    } else if (version == 1) {
        if (!database->beginTransaction()) return failure(QStringLiteral("it cannot be upgraded"));
        if (!runAll(*database, kSchema2) || !runAll(*database, kFlush) || !database->commit()) {
            return failure(QStringLiteral("it cannot be upgraded"));
        }
    }
    for (const QString& statement : kLookupIndexes)
        if (!database->executeUpdate(statement)) return failure(QStringLiteral("it cannot be indexed"));

    loadCaches(*database);
    _writer = std::move(database);
    return OpenResult::Opened;
}

bool QVCodeIndexDatabase::moveAside(const QString& reason) {
    const QString target = AtomicFile::setAside(_path);
    if (target.isEmpty()) {
        SystemLog::error(QStringLiteral("The code index \"%1\" cannot be used (%2) and cannot be moved aside.")
                             .arg(_path, reason));
        return false;
    }
    // The log and journal belong to the file moved; a new file must not pick them up.
    for (const QString& suffix : {QStringLiteral("-wal"), QStringLiteral("-journal")}) {
        if (QFileInfo::exists(_path + suffix))
            std::rename(QFile::encodeName(_path + suffix).constData(), QFile::encodeName(target + suffix).constData());
    }
    QFile::remove(_path + QStringLiteral("-shm"));
    _movedAside.append(target);
    SystemLog::warning(QStringLiteral("The code index \"%1\" could not be used (%2); it was moved to \"%3\" and a new "
                                      "one is made.")
                           .arg(_path, reason, target));
    return true;
}

bool QVCodeIndexDatabase::open() {
    std::lock_guard locker(_writerLock);
    if (_writer) return true;
    // The application-support folder may not be made yet when the index thread starts.
    QDir().mkpath(QFileInfo(_path).absolutePath());
    QString reason;
    OpenResult result = tryOpen(&reason);
    if (result == OpenResult::Unusable && moveAside(reason)) result = tryOpen(&reason);
    if (result != OpenResult::Opened) {
        SystemLog::error(QStringLiteral("The code index \"%1\" is not available: %2").arg(_path, reason));
        return false;
    }
    _generation.store(++_openCount);
    return true;
}

// ---- the index thread's writes ----------------------------------------------------------------

std::optional<QVCodeIndexDatabase::FileInfo> QVCodeIndexDatabase::fileInfoForPath(const QString& path, bool create) {
    std::lock_guard locker(_writerLock);
    if (!_writer) return std::nullopt;
    return fileInfoLocked(path, create);
}

std::optional<QVCodeIndexDatabase::FileInfo> QVCodeIndexDatabase::fileInfoLocked(const QString& path, bool create) {
    const QString md5 = digest(path);
    if (md5.isEmpty()) return std::nullopt;
    std::shared_ptr<QVResultSet> rs =
        _writer->executeQuery(QStringLiteral("SELECT id, last_update FROM files WHERE path=?"), md5);
    if (!rs) return std::nullopt;
    if (rs->next()) {
        FileInfo info;
        info.id = rs->longLongIntForColumnIndex(0);
        if (!rs->columnIndexIsNull(1)) info.lastUpdate = rs->longLongIntForColumnIndex(1);
        rs->close();
        return info;
    }
    rs->close();
    FileInfo info;
    if (!create) return info;
    if (!_writer->executeUpdate(QStringLiteral("INSERT INTO files (path) VALUES (?)"), md5)) return std::nullopt;
    info.id = _writer->lastInsertRowId();
    return info;
}

std::optional<qint64> QVCodeIndexDatabase::titleIDLocked(QVDatabase& database, bool type, const QString& title,
                                                         bool mayWait) {
    std::lock_guard locker(_cacheLock);
    QHash<QString, qint64>& cache = type ? _typeToID : _classes;
    const auto found = cache.constFind(title);
    if (found != cache.constEnd()) return *found;
    const QString insert = type ? QStringLiteral("INSERT INTO types (title) VALUES (?)")
                                : QStringLiteral("INSERT INTO classes (title) VALUES (?)");
    // A query must not wait behind a file's transaction while holding the caches: it gives up
    // at once instead.
    const int bound = database.maxBusyWaitMilliseconds();
    if (!mayWait) database.setMaxBusyWaitMilliseconds(0);
    const bool inserted = database.executeUpdate(insert, title);
    database.setMaxBusyWaitMilliseconds(bound);
    if (!inserted) return std::nullopt;
    const qint64 id = database.lastInsertRowId();
    cache.insert(title, id);
    if (type) _idToType.insert(id, title);
    return id;
}

std::optional<qint64> QVCodeIndexDatabase::tagInfoForTag(const QString& name) {
    std::shared_ptr<QVResultSet> rs =
        _writer->executeQuery(QStringLiteral("SELECT id, tag, file_id FROM tags WHERE tag=?"), name);
    if (!rs) return std::nullopt;
    if (rs->next()) {
        const qint64 id = rs->longLongIntForColumnIndex(0);
        rs->close();
        return id;
    }
    rs->close();
    if (!_writer->executeUpdate(QStringLiteral("INSERT INTO tags (tag) VALUES (?)"), name)) return std::nullopt;
    return _writer->lastInsertRowId();
}

bool QVCodeIndexDatabase::tagFileID(qint64 fileID, const QStringList& tags) {
    for (const QString& name : tags) {
        std::shared_ptr<QVResultSet> rs =
            _writer->executeQuery(QStringLiteral("SELECT id FROM tags WHERE file_id=0 AND tag=?"), name);
        if (!rs) return false;
        const std::optional<qint64> placeholder = rs->next() ? std::optional(rs->longLongIntForColumnIndex(0)) : std::nullopt;
        rs->close();
        const bool done =
            placeholder
                ? _writer->executeUpdate(QStringLiteral("UPDATE tags SET file_id=? WHERE id=?"), fileID, *placeholder)
                : _writer->executeUpdate(QStringLiteral("INSERT INTO tags (tag, file_id) VALUES (?, ?)"), name, fileID);
        if (!done) return false;
    }
    return true;
}

bool QVCodeIndexDatabase::referenceFiles(qint64 fileID, const QStringList& paths) {
    for (const QString& path : paths) {
        const std::optional<FileInfo> info = fileInfoLocked(path, true);
        if (!info) return false;
        if (!_writer->executeUpdate(QStringLiteral("INSERT INTO referencedFiles (src_id, dst_id) VALUES (?, ?)"), fileID,
                                    info->id))
            return false;
    }
    return true;
}

bool QVCodeIndexDatabase::referenceTags(qint64 fileID, const QStringList& names) {
    for (const QString& name : names) {
        const std::optional<qint64> tagID = tagInfoForTag(name);
        if (!tagID) return false;
        if (!_writer->executeUpdate(QStringLiteral("INSERT INTO referencedTags (file_id, tag_id) VALUES (?, ?)"), fileID,
                                    *tagID))
            return false;
    }
    return true;
}

bool QVCodeIndexDatabase::insertKeys(qint64 fileID, const QList<QVCodeIndexKey>& keys) {
    // Many rows per statement: each statement also bumps the table's autoincrement counter
    // once, which costs as much as a row.
    constexpr qsizetype kRowsPerStatement = 32;
    // Keys of a file mostly share a few titles: the last id of each kind is kept at hand.
    struct Title {
        QString title;
        std::optional<qint64> id;
    };
    Title type;
    Title keyClass;
    const auto idOf = [this](Title& last, bool isType, const QString& title) -> std::optional<qint64> {
        if (last.id && last.title == title) return last.id;
        last.title = title;
        last.id = titleIDLocked(*_writer, isType, title, true);
        return last.id;
    };
    for (qsizetype first = 0; first < keys.size(); first += kRowsPerStatement) {
        const qsizetype rows = std::min(kRowsPerStatement, keys.size() - first);
        QString sql = QStringLiteral("INSERT INTO keys (file_id, key, completion, type, class) VALUES (?, ?, ?, ?, ?)");
        for (qsizetype row = 1; row < rows; ++row) sql += QStringLiteral(", (?, ?, ?, ?, ?)");
        QVariantList values;
        values.reserve(rows * 5);
        for (qsizetype row = first; row < first + rows; ++row) {
            const QVCodeIndexKey& key = keys.at(row);
            std::optional<qint64> typeID;
            if (!key.type().isNull() && !(typeID = idOf(type, true, key.type()))) return false;
            std::optional<qint64> classID;
            if (!key.classString().isNull() && !(classID = idOf(keyClass, false, key.classString()))) return false;
            values << fileID << key.key() << key.completion() << (typeID ? QVariant(*typeID) : QVariant())
                   << (classID ? QVariant(*classID) : QVariant());
        }
        if (!_writer->executeUpdate(sql, values)) return false;
    }
    return true;
}

bool QVCodeIndexDatabase::replaceFile(const QString& path, qint64 fileID, const QVCodeIndexer::Output& output,
                                      qint64 modificationTime) {
    static const QString kSavePoint = QStringLiteral("indexfile");
    std::lock_guard locker(_writerLock);
    if (!_writer) return false;
    // Outside a batch the file has a transaction of its own.
    const bool own = !_writer->inTransaction();
    if (own ? !_writer->beginTransaction() : !_writer->startSavePointWithName(kSavePoint)) return false;

    const auto write = [&]() -> bool {
        if (fileID == 0) {
            // A row made now has nothing to clear.
            const std::optional<FileInfo> made = fileInfoLocked(path, true);
            if (!made) return false;
            fileID = made->id;
        } else if (!_writer->executeUpdate(QStringLiteral("DELETE FROM keys WHERE file_id=?"), fileID) ||
                   !_writer->executeUpdate(QStringLiteral("DELETE FROM referencedFiles WHERE src_id=?"), fileID) ||
                   !_writer->executeUpdate(QStringLiteral("DELETE FROM referencedTags WHERE file_id=?"), fileID) ||
                   !_writer->executeUpdate(QStringLiteral("UPDATE tags SET file_id=0 WHERE file_id=?"), fileID)) {
            return false;
        }
        return insertKeys(fileID, output.results) && tagFileID(fileID, output.tags) &&
               referenceFiles(fileID, output.referencedFiles) && referenceTags(fileID, output.referencedTags) &&
               _writer->executeUpdate(QStringLiteral("UPDATE files SET last_update=? WHERE id=?"), modificationTime,
                                      fileID) &&
               (own ? _writer->commit() : _writer->releaseSavePointWithName(kSavePoint));
    };
    if (write()) {
        if (!own) ++_batchFiles;
        return true;
    }

    SystemLog::warning(QStringLiteral("The code index left a file as it was: %1").arg(_writer->lastErrorMessage()));
    if (own) {
        _writer->rollback();
    } else if (!_writer->rollbackToSavePointWithName(kSavePoint) || !_writer->releaseSavePointWithName(kSavePoint)) {
        // The save point is beyond repair: give up the whole batch rather than keep half a file.
        _writer->rollback();
        _batchFiles = 0;
    }
    // Ids handed out for the file are gone with it.
    loadCaches(*_writer);
    return false;
}

bool QVCodeIndexDatabase::beginBatch() {
    std::lock_guard locker(_writerLock);
    if (!_writer || _writer->inTransaction()) return false;
    if (!_writer->beginTransaction()) return false;
    _batchFiles = 0;
    _batchClock.start();
    return true;
}

bool QVCodeIndexDatabase::inBatch() {
    std::lock_guard locker(_writerLock);
    return _writer && _writer->inTransaction();
}

bool QVCodeIndexDatabase::batchIsDue() {
    std::lock_guard locker(_writerLock);
    return _writer && _writer->inTransaction() &&
           (_batchFiles >= BatchFiles || _batchClock.elapsed() >= BatchMilliseconds);
}

bool QVCodeIndexDatabase::commitBatch() {
    std::lock_guard locker(_writerLock);
    if (!_writer || !_writer->inTransaction()) return true;
    _batchFiles = 0;
    if (_writer->commit()) return true;
    SystemLog::warning(QStringLiteral("The code index could not keep what it indexed: %1").arg(_writer->lastErrorMessage()));
    _writer->rollback();
    loadCaches(*_writer);
    return false;
}

// ---- queries ----------------------------------------------------------------------------------

bool QVCodeIndexDatabase::readerReady() {
    const quint64 generation = _generation.load();
    if (generation == 0) {
        if (_reader) _reader->close();
        _reader.reset();
        return false;
    }
    if (_reader && _readerGeneration == generation) return true;
    if (_reader) _reader->close();
    _reader = std::make_unique<QVDatabase>(_path);
    _reader->setShouldCacheStatements(true);
    _reader->setLogsErrors(true);
    _reader->setMaxBusyWaitMilliseconds(kReaderBusyMilliseconds);
    if (!_reader->openWithFlags(SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX)) {
        _reader.reset();
        return false;
    }
    // Checkpoints are the index thread's work, never a query's.
    if (std::shared_ptr<QVResultSet> rs = _reader->executeQuery(QStringLiteral("PRAGMA wal_autocheckpoint=0")))
        rs->close();
    _readerGeneration = generation;
    return true;
}

std::optional<QList<qint64>> QVCodeIndexDatabase::fileIDsForPath(const QString& path) {
    std::lock_guard locker(_readerLock);
    if (!readerReady()) return std::nullopt;
    return fileIDsLocked(path);
}

std::optional<QList<qint64>> QVCodeIndexDatabase::fileIDsLocked(const QString& path) {
    const QString md5 = digest(path);
    if (md5.isEmpty()) return std::nullopt;
    std::shared_ptr<QVResultSet> rs = _reader->executeQuery(kVisibleFiles + QStringLiteral(" SELECT id FROM visible"), md5);
    if (!rs) return std::nullopt;
    QList<qint64> ids;
    while (rs->next()) ids.append(rs->longLongIntForColumnIndex(0));
    if (ids.isEmpty()) return std::nullopt;
    return ids;
}

QString QVCodeIndexDatabase::typeStringLocked(qint64 typeID) {
    {
        std::lock_guard locker(_cacheLock);
        const auto found = _idToType.constFind(typeID);
        if (found != _idToType.constEnd()) return *found;
    }
    std::shared_ptr<QVResultSet> rs = _reader->executeQuery(QStringLiteral("SELECT title FROM types WHERE id=?"), typeID);
    if (!rs) return {};
    const QString title = rs->next() ? rs->stringForColumn(QStringLiteral("title")) : QString();
    rs->close();
    return title;
}

QString QVCodeIndexDatabase::typeStringForID(qint64 typeID) {
    std::lock_guard locker(_readerLock);
    if (!readerReady()) return {};
    return typeStringLocked(typeID);
}

std::optional<QList<QVCodeIndexKey>> QVCodeIndexDatabase::keysForType(const QString& type, const QString& keyClass,
                                                                      const QString& file) {
    std::lock_guard locker(_readerLock);
    if (!readerReady()) {
        if (type.isNull() && keyClass.isNull()) return QList<QVCodeIndexKey>();
        return std::nullopt;
    }
    std::optional<qint64> typeID;
    std::optional<qint64> classID;
    if (!type.isNull() && !(typeID = titleIDLocked(*_reader, true, type, false))) return std::nullopt;
    if (!keyClass.isNull() && !(classID = titleIDLocked(*_reader, false, keyClass, false))) return std::nullopt;

    // The walk and the keys in one statement, so they read one committed state.
    QStringList conditions;
    QVariantList values;
    QString sql;
    if (!file.isNull()) {
        const QString md5 = digest(file);
        if (md5.isEmpty()) return QList<QVCodeIndexKey>();
        sql = kVisibleFiles + QLatin1Char(' ');
        values << md5;
    }
    if (typeID) {
        conditions << QStringLiteral("type=?");
        values << *typeID;
    }
    if (classID) {
        conditions << QStringLiteral("class=?");
        values << *classID;
    }
    if (!file.isNull()) conditions << QStringLiteral("file_id IN visible");
    sql += QStringLiteral("SELECT DISTINCT key, completion");
    if (!typeID) sql += QStringLiteral(", type");
    sql += QStringLiteral(" FROM keys");
    if (!conditions.isEmpty()) sql += QStringLiteral(" WHERE ") + conditions.join(QStringLiteral(" AND "));

    std::shared_ptr<QVResultSet> rs = _reader->executeQuery(sql, values);
    if (!rs) return std::nullopt;
    QList<QVCodeIndexKey> keys;
    QHash<qint64, QString> titles;
    while (rs->next()) {
        QVCodeIndexKey key(rs->stringForColumnIndex(0), rs->stringForColumnIndex(1));
        if (typeID) {
            key.setType(type);
        } else if (!rs->columnIndexIsNull(2)) {
            const qint64 id = rs->longLongIntForColumnIndex(2);
            auto title = titles.constFind(id);
            if (title == titles.constEnd()) title = titles.insert(id, typeStringLocked(id));
            key.setType(*title);
        }
        keys.append(std::move(key));
    }
    return keys;
}
