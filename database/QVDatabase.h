// One SQLite connection: statements with bound values, cursors, transactions, save points, an
// optional statement cache, a bounded wait on a busy database, and error logging.
#pragma once

#include "platform/QVError.h"

#include <QElapsedTimer>
#include <QHash>
#include <QString>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <type_traits>
#include <unordered_map>
#include <utility>

#include <sqlite3.h>

class QVResultSet;
class QVStatement;

namespace QVDatabaseDetail {
// A single list or dictionary argument selects the array or dictionary form, not the variadic one.
template <typename T>
inline constexpr bool isArgumentContainer =
    std::is_same_v<std::remove_cvref_t<T>, QVariantList> || std::is_same_v<std::remove_cvref_t<T>, QVariantMap>;
template <typename... Args>
inline constexpr bool isVariadicBinding = !(sizeof...(Args) == 1 && (isArgumentContainer<Args> && ...));

template <typename T>
struct IsOptional : std::false_type {};
template <typename T>
struct IsOptional<std::optional<T>> : std::true_type {};

// One argument of a variadic call as a value to bind.
template <typename T>
QVariant box(T&& value) {
    using V = std::remove_cvref_t<T>;
    if constexpr (std::is_same_v<V, std::nullptr_t>) {
        return QVariant();
    } else if constexpr (std::is_same_v<V, QVariant>) {
        return value;
    } else if constexpr (std::is_array_v<V>) {
        return QVariant(QString::fromUtf8(value));
    } else if constexpr (std::is_same_v<V, const char*> || std::is_same_v<V, char*>) {
        return value ? QVariant(QString::fromUtf8(value)) : QVariant();
    } else if constexpr (IsOptional<V>::value) {
        return value ? box(*value) : QVariant();
    } else {
        return QVariant::fromValue(std::forward<T>(value));
    }
}
}  // namespace QVDatabaseDetail

class QVDatabase {
public:
    // A SQL function: the SQLite context, the argument count and the argument values.
    using Function = std::function<void(sqlite3_context* context, int argc, sqlite3_value** argv)>;
    // The body of a save point; it sets *rollback to undo what it did.
    using SavePointBlock = std::function<void(bool* rollback)>;

    // A null path is an in-memory database, an empty one a temporary database on disk.
    // The process stops when the SQLite library was built without thread safety.
    explicit QVDatabase(const QString& path = QString());
    static std::unique_ptr<QVDatabase> databaseWithPath(const QString& path);
    // Closes the connection.
    ~QVDatabase();
    QVDatabase(const QVDatabase&) = delete;
    QVDatabase& operator=(const QVDatabase&) = delete;

    static bool isSQLiteThreadSafe();
    static QString sqliteLibVersion();

    // True when already open; else opens (creating the file when missing). On failure logs
    // "error opening!: <code>", keeps no handle and reports the cause through lastError().
    bool open();
    bool openWithFlags(int flags);
    // Drops the statement cache and closes the cursors, then the connection. False only when
    // the connection stayed busy past the wait bound.
    bool close();
    // Whether the connection is open and answers a query.
    bool goodConnection();
    // True when open; else logs that the connection is not open.
    bool databaseExists();

    // Each runs one statement with `?` parameters bound to the values in order (a variadic
    // list, a QVariantList) or `:name` parameters bound from a QVariantMap. The number of
    // values must match the statement's parameters, or nothing runs.
    // Values bind by kind: an invalid variant, nullptr or a null QString as NULL; QByteArray
    // as a blob; QDateTime as seconds since 1970; bool as 0/1; integers as 64-bit integers
    // (unsigned 64-bit ones as their bit pattern); float and double as doubles; anything else
    // as its text. Texts and blobs are copied, so the caller's values may go at once.
    template <typename... Args>
        requires QVDatabaseDetail::isVariadicBinding<Args...>
    std::shared_ptr<QVResultSet> executeQuery(const QString& sql, Args&&... args) {
        return executeQuery(sql, QVariantList{QVDatabaseDetail::box(std::forward<Args>(args))...});
    }
    // A cursor before its first row, or null on failure (see lastError()).
    std::shared_ptr<QVResultSet> executeQuery(const QString& sql, const QVariantList& arguments);
    std::shared_ptr<QVResultSet> executeQuery(const QString& sql, const QVariantMap& parameters);

    template <typename... Args>
        requires QVDatabaseDetail::isVariadicBinding<Args...>
    bool executeUpdate(const QString& sql, Args&&... args) {
        return executeUpdate(sql, QVariantList{QVDatabaseDetail::box(std::forward<Args>(args))...});
    }
    bool executeUpdate(const QString& sql, const QVariantList& arguments);
    bool executeUpdate(const QString& sql, const QVariantMap& parameters);

    // executeUpdate that stores an error in the domain "QVDatabase" when the statement cannot
    // be prepared.
    template <typename... Args>
    bool update(const QString& sql, QVError* error, Args&&... args) {
        return updateWithArguments(sql, error, QVariantList{QVDatabaseDetail::box(std::forward<Args>(args))...});
    }

    // A printf-like format turned into a statement: every conversion (%@ %c %s %d %i %u %hi %hu
    // %ld %lu %lld %llu %qi %qu %f %g %D %U) becomes a `?` bound to the next argument, "%%" is
    // "%", anything else is copied.
    template <typename... Args>
    std::shared_ptr<QVResultSet> executeQueryWithFormat(const QString& format, Args&&... args) {
        QString sql;
        QVariantList values;
        statementFromFormat(format, QVariantList{QVDatabaseDetail::box(std::forward<Args>(args))...}, &sql, &values);
        return executeQuery(sql, values);
    }
    template <typename... Args>
    bool executeUpdateWithFormat(const QString& format, Args&&... args) {
        QString sql;
        QVariantList values;
        statementFromFormat(format, QVariantList{QVDatabaseDetail::box(std::forward<Args>(args))...}, &sql, &values);
        return executeUpdate(sql, values);
    }
    static void statementFromFormat(const QString& format, const QVariantList& arguments, QString* sql,
                                    QVariantList* values);

    bool beginTransaction();          // "begin exclusive transaction"
    bool beginDeferredTransaction();  // "begin deferred transaction"
    bool commit();
    bool rollback();
    bool inTransaction() const { return _inTransaction; }

    // Save points by name (quotes in the name are escaped); an empty name is refused.
    bool startSavePointWithName(const QString& name, QVError* error = nullptr);
    bool releaseSavePointWithName(const QString& name, QVError* error = nullptr);
    bool rollbackToSavePointWithName(const QString& name, QVError* error = nullptr);
    // Runs the block inside a fresh save point, rolled back when the block asks for it; the
    // save point is released either way. The first error of these steps, or a null error.
    QVError inSavePoint(const SavePointBlock& block);

    // 0 with a warning while a statement is running on the connection.
    qint64 lastInsertRowId();
    int changes();

    bool hadError() const;
    int lastErrorCode() const;
    QString lastErrorMessage() const;
    // Domain "QVDatabase", the last error code, its message as the description.
    QVError lastError() const;

    bool shouldCacheStatements() const { return _shouldCacheStatements; }
    void setShouldCacheStatements(bool value);
    void clearCachedStatements();
    // The cached statement for a text, or null.
    std::shared_ptr<QVStatement> cachedStatementForQuery(const QString& sql) const;

    bool hasOpenResultSets() const { return !_openResultSets.empty(); }
    void closeOpenResultSets();

    // Registers a SQL function of that name taking up to maximumArguments (-1: any number).
    bool makeFunctionNamed(const QString& name, int maximumArguments, Function block);

    // Encryption keys are not supported.
    bool setKey(const QString& key);
    bool rekey(const QString& key);

    sqlite3* sqliteHandle() const { return _db; }
    const QString& databasePath() const { return _databasePath; }
    // "<QVDatabase 0x...: path>"
    QString description() const;

    bool logsErrors() const { return _logsErrors; }
    void setLogsErrors(bool value) { _logsErrors = value; }
    bool crashOnErrors() const { return _crashOnErrors; }
    void setCrashOnErrors(bool value) { _crashOnErrors = value; }
    bool traceExecution() const { return _traceExecution; }
    void setTraceExecution(bool value) { _traceExecution = value; }
    bool checkedOut() const { return _checkedOut; }
    void setCheckedOut(bool value) { _checkedOut = value; }
    // Busy retries before giving up; 0 sets no count, leaving only the time bound below.
    qint32 busyRetryTimeout() const { return _busyRetryTimeout; }
    void setBusyRetryTimeout(qint32 value) { _busyRetryTimeout = value; }
    // However many retries are allowed, a busy database is given up on once it has been waited
    // for this long (default 10 s), so no caller can hang for ever on another process's lock.
    int maxBusyWaitMilliseconds() const { return _maxBusyWaitMilliseconds; }
    void setMaxBusyWaitMilliseconds(int value) { _maxBusyWaitMilliseconds = value < 0 ? 0 : value; }

    // Binds one value to parameter column (from 1) by its kind, as described above; the SQLite
    // result code.
    static int bindObject(const QVariant& value, int column, sqlite3_stmt* statement);

private:
    friend class QVResultSet;

    // One bounded wait on a busy database.
    struct BusyWait {
        qint32 retries = 0;
        QElapsedTimer clock;
    };
    // Sleeps before the next try; false, with the busy lines logged and the error kept, once the
    // retry count or the time bound is exceeded.
    bool waitWhileBusy(BusyWait& wait, const char* operation, int line);
    // One step of a statement, tried again while the database is busy or locked for as long as
    // db's bound allows (without a connection, not at all). *gaveUp tells a give-up from SQLite's
    // own result; tag ends the line logged when a reset after a lock fails.
    static int stepWhileBusy(sqlite3_stmt* handle, QVDatabase* db, const char* operation, const char* tag,
                             bool* gaveUp);

    bool updateWithArguments(const QString& sql, QVError* error, const QVariantList& arguments);
    std::shared_ptr<QVResultSet> runQuery(const QString& sql, const QVariantList* arguments,
                                          const QVariantMap* parameters);
    bool runUpdate(const QString& sql, const QVariantList* arguments, const QVariantMap* parameters,
                   QVError* prepareError);
    // True, after a warning (and a stop when crashOnErrors is set), while a statement runs.
    bool warnIfInUse();
    // Whether a statement may run now (the connection is open and not running another one);
    // clears the last layer error when it may.
    bool mayRunStatement();
    // What a query and an update share: the statement prepared (or taken from the cache), its
    // values bound and itself cached when caching is on; null after logging why not.
    std::shared_ptr<QVStatement> boundStatement(const QString& sql, const QVariantList* arguments,
                                                const QVariantMap* parameters, bool forQuery, QVError* prepareError);
    // The ready statement for a text (cached or newly prepared), or null after logging why.
    std::shared_ptr<QVStatement> prepare(const QString& sql, bool forQuery, QVError* prepareError);
    bool bindArguments(QVStatement& statement, const QVariantList* arguments, const QVariantMap* parameters,
                       bool forQuery);
    bool runSavePointStatement(const QString& sql, const QString& name, QVError* error);
    void resultSetDidClose(QVResultSet* resultSet);
    void finalizeLeakedStatements();

    // Failures that the layer itself finds (not open, in use, bind count, busy too long) are kept
    // here so lastError() names them; SQLite's own error otherwise.
    void setLayerError(int code, const QString& message);
    void clearLayerError();
    // Stops the process when crashOnErrors is set.
    void crashIfAsked() const;
    void logError(const QString& line) const;

    sqlite3* _db = nullptr;
    QString _databasePath;
    bool _logsErrors = false;
    bool _crashOnErrors = false;
    bool _traceExecution = false;
    bool _checkedOut = false;
    bool _shouldCacheStatements = false;
    bool _isExecutingStatement = false;
    bool _inTransaction = false;
    qint32 _busyRetryTimeout = 0;
    int _maxBusyWaitMilliseconds = 10000;
    QHash<QString, std::shared_ptr<QVStatement>> _cachedStatements;
    std::unordered_map<QVResultSet*, std::weak_ptr<QVResultSet>> _openResultSets;
    std::set<std::shared_ptr<Function>> _openFunctions;
    int _layerErrorCode = 0;
    QString _layerErrorMessage;
};
