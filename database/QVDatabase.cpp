// One SQLite connection: running statements, binding values, busy waits, transactions and logging.
#include "database/QVDatabase.h"

#include "database/QVResultSet.h"
#include "database/QVStatement.h"
#include "platform/SystemLog.h"

#include <QDate>
#include <QDateTime>
#include <QDebug>

#include <atomic>
#include <cstdlib>
#include <vector>

#include <unistd.h>

namespace {

const QString kErrorDomain = QStringLiteral("QVDatabase");

// Sleep between two tries on a busy or locked database.
constexpr useconds_t kBusyRetrySleepMicroseconds = 20;

QString fromUtf8(const char* text) { return QString::fromUtf8(text ? text : ""); }

// A save point's name inside single quotes, with its own quotes doubled.
QString quotedName(const QString& name) {
    QString escaped = name;
    escaped.replace(QLatin1Char('\''), QStringLiteral("''"));
    return escaped;
}

// Sets and clears the in-use flag on every way out.
class InUse {
public:
    explicit InUse(bool& flag) : _flag(flag) { _flag = true; }
    ~InUse() { _flag = false; }
    InUse(const InUse&) = delete;
    InUse& operator=(const InUse&) = delete;

private:
    bool& _flag;
};

void callFunction(sqlite3_context* context, int argc, sqlite3_value** argv) {
    auto* function = static_cast<QVDatabase::Function*>(sqlite3_user_data(context));
    (*function)(context, argc, argv);
}

// The text a value binds as when it is neither NULL, data, a date nor a number.
QByteArray descriptionBytes(const QVariant& value) {
    if (value.canConvert<QString>()) return value.toString().toUtf8();
    QString text;
    QDebug(&text).noquote().nospace() << value;
    return text.toUtf8();
}

}  // namespace

QVDatabase::QVDatabase(const QString& path) : _databasePath(path) {
    if (!isSQLiteThreadSafe()) qFatal("The SQLite library was built without thread safety.");
}

std::unique_ptr<QVDatabase> QVDatabase::databaseWithPath(const QString& path) {
    return std::make_unique<QVDatabase>(path);
}

QVDatabase::~QVDatabase() {
    close();
    // A connection that would not close within the wait bound becomes a zombie that SQLite
    // frees once its last statement is gone, rather than a leaked handle.
    if (_db) sqlite3_close_v2(_db);
    _db = nullptr;
}

bool QVDatabase::isSQLiteThreadSafe() { return sqlite3_threadsafe() != 0; }

QString QVDatabase::sqliteLibVersion() { return fromUtf8(sqlite3_libversion()); }

QString QVDatabase::description() const {
    return QStringLiteral("<QVDatabase 0x%1: %2>")
        .arg(QString::number(quintptr(this), 16),
             _databasePath.isNull() ? QStringLiteral(":memory:") : _databasePath);
}

// --- Errors and logging ------------------------------------------------------------------------

void QVDatabase::setLayerError(int code, const QString& message) {
    _layerErrorCode = code;
    _layerErrorMessage = message;
}

void QVDatabase::clearLayerError() {
    _layerErrorCode = 0;
    _layerErrorMessage.clear();
}

void QVDatabase::crashIfAsked() const {
    if (_crashOnErrors) std::abort();
}

void QVDatabase::logError(const QString& line) const { SystemLog::error(line); }

int QVDatabase::lastErrorCode() const {
    if (_layerErrorCode) return _layerErrorCode;
    return _db ? sqlite3_errcode(_db) : SQLITE_OK;
}

QString QVDatabase::lastErrorMessage() const {
    if (_layerErrorCode) return _layerErrorMessage;
    return _db ? fromUtf8(sqlite3_errmsg(_db)) : fromUtf8(sqlite3_errstr(SQLITE_OK));
}

bool QVDatabase::hadError() const {
    const int code = lastErrorCode();
    return code > SQLITE_OK && code < SQLITE_ROW;
}

QVError QVDatabase::lastError() const {
    return QVError::make(kErrorDomain, lastErrorCode(), lastErrorMessage());
}

// --- Opening and closing -----------------------------------------------------------------------

bool QVDatabase::open() { return openWithFlags(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE); }

bool QVDatabase::openWithFlags(int flags) {
    if (_db) return true;
    clearLayerError();
    const QByteArray path = _databasePath.isNull() ? QByteArray(":memory:") : _databasePath.toUtf8();
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(path.constData(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        logError(QStringLiteral("error opening!: %1").arg(rc));
        const QString message = db ? fromUtf8(sqlite3_errmsg(db)) : fromUtf8(sqlite3_errstr(rc));
        // Even a failed open may hand out a handle, which must still be closed.
        if (db) sqlite3_close(db);
        setLayerError(rc, QStringLiteral("%1 (%2)").arg(message, QString::fromUtf8(path)));
        return false;
    }
    _db = db;
    return true;
}

void QVDatabase::finalizeLeakedStatements() {
    while (sqlite3_stmt* statement = sqlite3_next_stmt(_db, nullptr)) {
        logError(QStringLiteral("Closing leaked statement"));
        sqlite3_finalize(statement);
    }
}

bool QVDatabase::close() {
    clearCachedStatements();
    closeOpenResultSets();
    if (!_db) return true;
    clearLayerError();
    BusyWait wait;
    wait.clock.start();
    bool triedFinalizing = false;
    for (;;) {
        const int rc = sqlite3_close(_db);
        if (rc == SQLITE_OK) break;
        if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED) {
            if (!triedFinalizing) {
                triedFinalizing = true;
                finalizeLeakedStatements();
            }
            ++wait.retries;
            if ((_busyRetryTimeout && wait.retries > _busyRetryTimeout) ||
                wait.clock.elapsed() >= _maxBusyWaitMilliseconds) {
                logError(QStringLiteral("%1:%2").arg(QLatin1String(__func__)).arg(__LINE__));
                logError(QStringLiteral("Database busy, unable to close"));
                setLayerError(rc, QStringLiteral("The database \"%1\" stayed busy and could not be closed.")
                                      .arg(_databasePath));
                return false;
            }
            ::usleep(kBusyRetrySleepMicroseconds);
            continue;
        }
        logError(QStringLiteral("error closing!: %1").arg(rc));
        break;
    }
    _db = nullptr;
    _inTransaction = false;
    return true;
}

bool QVDatabase::databaseExists() {
    if (_db) return true;
    logError(QStringLiteral("The QVDatabase %1 is not open.").arg(description()));
    setLayerError(SQLITE_MISUSE, QStringLiteral("The database \"%1\" is not open.").arg(_databasePath));
    crashIfAsked();
    return false;
}

bool QVDatabase::goodConnection() {
    if (!_db) return false;
    std::shared_ptr<QVResultSet> rs = executeQuery(QStringLiteral("select name from sqlite_master where type='table'"));
    if (!rs) return false;
    rs->close();
    return true;
}

// --- Cache and cursors -------------------------------------------------------------------------

void QVDatabase::setShouldCacheStatements(bool value) {
    _shouldCacheStatements = value;
    if (!value) _cachedStatements.clear();
}

void QVDatabase::clearCachedStatements() {
    // A statement a cursor still reads from is only dropped from the cache; it is finalized
    // when that cursor lets it go, so the cursor never steps a finalized handle.
    for (const std::shared_ptr<QVStatement>& statement : std::as_const(_cachedStatements))
        if (!statement->inUse()) statement->close();
    _cachedStatements.clear();
}

std::shared_ptr<QVStatement> QVDatabase::cachedStatementForQuery(const QString& sql) const {
    return _cachedStatements.value(sql);
}

void QVDatabase::closeOpenResultSets() {
    std::vector<std::shared_ptr<QVResultSet>> open;
    for (const auto& [pointer, weak] : _openResultSets)
        if (std::shared_ptr<QVResultSet> rs = weak.lock()) open.push_back(rs);
    _openResultSets.clear();
    for (const std::shared_ptr<QVResultSet>& rs : open) {
        rs->setParentDB(nullptr);
        rs->close();
    }
}

void QVDatabase::resultSetDidClose(QVResultSet* resultSet) { _openResultSets.erase(resultSet); }

// --- Busy waits --------------------------------------------------------------------------------

bool QVDatabase::waitWhileBusy(BusyWait& wait, const char* operation, int line) {
    if (!wait.clock.isValid()) wait.clock.start();
    ++wait.retries;
    const bool outOfRetries = _busyRetryTimeout != 0 && wait.retries > _busyRetryTimeout;
    const qint64 waited = wait.clock.elapsed();
    if (outOfRetries || waited >= _maxBusyWaitMilliseconds) {
        logError(QStringLiteral("%1:%2 Database busy (%3) after %4 tries")
                     .arg(QLatin1String(operation))
                     .arg(line)
                     .arg(_databasePath)
                     .arg(wait.retries - 1));
        logError(QStringLiteral("Database busy"));
        setLayerError(SQLITE_BUSY,
                      QStringLiteral("database is locked: gave up on \"%1\" after %2 tries in %3 ms")
                          .arg(_databasePath)
                          .arg(wait.retries - 1)
                          .arg(waited));
        return false;
    }
    ::usleep(kBusyRetrySleepMicroseconds);
    return true;
}

int QVDatabase::stepWhileBusy(sqlite3_stmt* handle, QVDatabase* db, const char* operation, const char* tag,
                              bool* gaveUp) {
    BusyWait wait;
    *gaveUp = false;
    for (;;) {
        const int rc = sqlite3_step(handle);
        if (rc != SQLITE_BUSY && rc != SQLITE_LOCKED) return rc;
        if (rc == SQLITE_LOCKED) {
            const int resetResult = sqlite3_reset(handle);
            if (resetResult != SQLITE_LOCKED)
                SystemLog::error(QStringLiteral("Unexpected result from sqlite3_reset (%1) %2")
                                     .arg(resetResult)
                                     .arg(QLatin1String(tag)));
        }
        if (!db || !db->waitWhileBusy(wait, operation, __LINE__)) {
            *gaveUp = true;
            return rc;
        }
    }
}

// --- Binding -----------------------------------------------------------------------------------

int QVDatabase::bindObject(const QVariant& value, int column, sqlite3_stmt* statement) {
    // Texts and blobs are handed over as SQLITE_TRANSIENT: SQLite copies them, so a temporary
    // value may die before the statement is stepped (cursors step long after binding).
    const int type = value.metaType().id();
    if (!value.isValid() || value.isNull() || (type == QMetaType::QString && value.toString().isNull()))
        return sqlite3_bind_null(statement, column);
    switch (type) {
    case QMetaType::QByteArray: {
        const QByteArray data = value.toByteArray();
        // A zero-length blob, not NULL, for empty data.
        return sqlite3_bind_blob64(statement, column, data.isEmpty() ? "" : data.constData(),
                                   sqlite3_uint64(data.size()), SQLITE_TRANSIENT);
    }
    case QMetaType::QDateTime:
        return sqlite3_bind_double(statement, column, double(value.toDateTime().toMSecsSinceEpoch()) / 1000.0);
    case QMetaType::Bool:
        return sqlite3_bind_int64(statement, column, value.toBool() ? 1 : 0);
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::LongLong:
        return sqlite3_bind_int64(statement, column, value.toLongLong());
    case QMetaType::ULong:
    case QMetaType::ULongLong:
        return sqlite3_bind_int64(statement, column, sqlite3_int64(value.toULongLong()));
    case QMetaType::Float:
    case QMetaType::Double:
        return sqlite3_bind_double(statement, column, value.toDouble());
    default: {
        const QByteArray text = descriptionBytes(value);
        return sqlite3_bind_text64(statement, column, text.constData(), sqlite3_uint64(text.size()), SQLITE_TRANSIENT,
                                   SQLITE_UTF8);
    }
    }
}

bool QVDatabase::bindArguments(QVStatement& statement, const QVariantList* arguments, const QVariantMap* parameters,
                               bool forQuery) {
    sqlite3_stmt* handle = statement.statement();
    const int count = sqlite3_bind_parameter_count(handle);
    int bound = 0;
    int rc = SQLITE_OK;
    if (parameters) {
        for (auto it = parameters->cbegin(); it != parameters->cend() && rc == SQLITE_OK; ++it) {
            const QByteArray name = QByteArray(":") + it.key().toUtf8();
            const int index = sqlite3_bind_parameter_index(handle, name.constData());
            if (index <= 0) {
                SystemLog::warning(QStringLiteral("Could not find index for %1").arg(it.key()));
                continue;
            }
            if (_traceExecution) SystemLog::notice(QStringLiteral("obj: %1").arg(it.value().toString()));
            rc = bindObject(it.value(), index, handle);
            ++bound;
        }
    } else {
        // Too many values are a mismatch as much as too few: the extra ones would go nowhere.
        const int given = arguments ? int(arguments->size()) : 0;
        if (given == count) {
            for (int n = 0; n < count && rc == SQLITE_OK; ++n) {
                const QVariant& value = arguments->at(n);
                if (_traceExecution) SystemLog::notice(QStringLiteral("obj: %1").arg(value.toString()));
                rc = bindObject(value, n + 1, handle);
            }
        }
        bound = given;
    }
    if (rc != SQLITE_OK) {
        logError(QStringLiteral("Error binding a value (%1: %2)").arg(rc).arg(fromUtf8(sqlite3_errmsg(_db))));
        setLayerError(rc, fromUtf8(sqlite3_errmsg(_db)));
        return false;
    }
    if (bound != count) {
        if (forQuery) {
            logError(QStringLiteral("Error: the bind count is not correct for the # of variables (executeQuery)"));
        } else {
            logError(QStringLiteral("Error: the bind count (%1) is not correct for the # of variables in the query "
                                    "(%2) (%3) (executeUpdate)")
                         .arg(bound)
                         .arg(count)
                         .arg(statement.query()));
        }
        setLayerError(SQLITE_RANGE, QStringLiteral("%1 value(s) given for %2 parameter(s) in \"%3\"")
                                        .arg(bound)
                                        .arg(count)
                                        .arg(statement.query()));
        return false;
    }
    return true;
}

// --- Running statements ------------------------------------------------------------------------

std::shared_ptr<QVStatement> QVDatabase::prepare(const QString& sql, bool forQuery, QVError* prepareError) {
    if (_shouldCacheStatements) {
        const std::shared_ptr<QVStatement> cached = _cachedStatements.value(sql);
        // A statement an open cursor still reads from is left to it; this run gets its own.
        if (cached && cached->statement() && !cached->inUse()) {
            cached->reset();
            return cached;
        }
    }
    const QByteArray text = sql.toUtf8();
    sqlite3_stmt* handle = nullptr;
    BusyWait wait;
    for (;;) {
        const int rc = sqlite3_prepare_v2(_db, text.constData(), -1, &handle, nullptr);
        if (rc == SQLITE_OK) break;
        if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED) {
            sqlite3_finalize(handle);
            handle = nullptr;
            if (waitWhileBusy(wait, forQuery ? "executeQuery" : "executeUpdate", __LINE__)) continue;
            return nullptr;
        }
        qvSetError(prepareError, QVError::make(kErrorDomain, rc, fromUtf8(sqlite3_errmsg(_db))));
        if (_logsErrors) {
            logError(QStringLiteral("DB Error: %1 \"%2\"").arg(lastErrorCode()).arg(lastErrorMessage()));
            logError(QStringLiteral("DB Query: %1").arg(sql));
            logError(QStringLiteral("DB Path: %1").arg(_databasePath));
            crashIfAsked();
        }
        sqlite3_finalize(handle);
        return nullptr;
    }
    if (!handle) {
        // Only white space or comments: there is nothing to run, and nothing to step.
        setLayerError(SQLITE_MISUSE, QStringLiteral("The text \"%1\" holds no statement.").arg(sql));
        qvSetError(prepareError, lastError());
        return nullptr;
    }
    return std::make_shared<QVStatement>(handle, sql);
}

std::shared_ptr<QVResultSet> QVDatabase::executeQuery(const QString& sql, const QVariantList& arguments) {
    return runQuery(sql, &arguments, nullptr);
}

std::shared_ptr<QVResultSet> QVDatabase::executeQuery(const QString& sql, const QVariantMap& parameters) {
    return runQuery(sql, nullptr, &parameters);
}

bool QVDatabase::executeUpdate(const QString& sql, const QVariantList& arguments) {
    return runUpdate(sql, &arguments, nullptr, nullptr);
}

bool QVDatabase::executeUpdate(const QString& sql, const QVariantMap& parameters) {
    return runUpdate(sql, nullptr, &parameters, nullptr);
}

bool QVDatabase::updateWithArguments(const QString& sql, QVError* error, const QVariantList& arguments) {
    return runUpdate(sql, &arguments, nullptr, error);
}

bool QVDatabase::mayRunStatement() {
    if (!databaseExists()) return false;
    if (_isExecutingStatement) {
        setLayerError(SQLITE_MISUSE, QStringLiteral("The database is running another statement."));
        warnIfInUse();
        return false;
    }
    clearLayerError();
    return true;
}

std::shared_ptr<QVStatement> QVDatabase::boundStatement(const QString& sql, const QVariantList* arguments,
                                                        const QVariantMap* parameters, bool forQuery,
                                                        QVError* prepareError) {
    if (_traceExecution)
        SystemLog::notice(QStringLiteral("%1 %2: %3")
                              .arg(description(), forQuery ? QStringLiteral("executeQuery") : QStringLiteral("executeUpdate"), sql));
    std::shared_ptr<QVStatement> statement = prepare(sql, forQuery, prepareError);
    if (!statement) return nullptr;
    if (!bindArguments(*statement, arguments, parameters, forQuery)) {
        if (cachedStatementForQuery(sql) == statement) statement->reset();
        return nullptr;
    }
    if (_shouldCacheStatements && !_cachedStatements.contains(sql)) _cachedStatements.insert(sql, statement);
    return statement;
}

std::shared_ptr<QVResultSet> QVDatabase::runQuery(const QString& sql, const QVariantList* arguments,
                                                  const QVariantMap* parameters) {
    if (!mayRunStatement()) return nullptr;
    InUse inUse(_isExecutingStatement);
    std::shared_ptr<QVStatement> statement = boundStatement(sql, arguments, parameters, true, nullptr);
    if (!statement) return nullptr;
    statement->setInUse(true);
    statement->countUse();
    auto rs = std::make_shared<QVResultSet>(statement, this);
    rs->setQuery(sql);
    _openResultSets.emplace(rs.get(), rs);
    return rs;
}

bool QVDatabase::runUpdate(const QString& sql, const QVariantList* arguments, const QVariantMap* parameters,
                           QVError* prepareError) {
    if (!mayRunStatement()) return false;
    InUse inUse(_isExecutingStatement);
    std::shared_ptr<QVStatement> statement = boundStatement(sql, arguments, parameters, false, prepareError);
    if (!statement) return false;
    const bool cached = cachedStatementForQuery(sql) == statement;

    bool gaveUp = false;
    const int rc = stepWhileBusy(statement->statement(), this, "executeUpdate", "eu", &gaveUp);

    if (rc == SQLITE_ROW) {
        logError(QStringLiteral("A executeUpdate is being called with a query string '%1'").arg(sql));
        setLayerError(SQLITE_MISUSE, QStringLiteral("executeUpdate was given a query: \"%1\"").arg(sql));
        crashIfAsked();
    } else if (rc == SQLITE_ERROR) {
        logError(QStringLiteral("Error calling sqlite3_step (%1: %2) SQLITE_ERROR").arg(rc).arg(fromUtf8(sqlite3_errmsg(_db))));
        logError(QStringLiteral("DB Query: %1").arg(sql));
    } else if (rc == SQLITE_MISUSE) {
        logError(QStringLiteral("Error calling sqlite3_step (%1: %2) SQLITE_MISUSE").arg(rc).arg(fromUtf8(sqlite3_errmsg(_db))));
        logError(QStringLiteral("DB Query: %1").arg(sql));
    } else if (rc != SQLITE_DONE && rc != SQLITE_OK && !_layerErrorCode) {
        logError(QStringLiteral("Unknown error calling sqlite3_step (%1: %2) eu").arg(rc).arg(fromUtf8(sqlite3_errmsg(_db))));
        logError(QStringLiteral("DB Query: %1").arg(sql));
    }

    int closeResult = SQLITE_OK;
    if (cached) {
        statement->countUse();
        closeResult = statement->reset();
    } else {
        closeResult = statement->close();
    }
    // The result of the step comes back again from reset or finalize; only a new one is news.
    if (closeResult != SQLITE_OK && closeResult != rc)
        logError(QStringLiteral("Unknown error finalizing or resetting statement (%1: %2)")
                     .arg(closeResult)
                     .arg(fromUtf8(sqlite3_errmsg(_db))));
    if (_traceExecution && _shouldCacheStatements) SystemLog::notice(statement->description());
    return rc == SQLITE_DONE || rc == SQLITE_OK;
}

// --- Formats -----------------------------------------------------------------------------------

void QVDatabase::statementFromFormat(const QString& format, const QVariantList& arguments, QString* sql,
                                     QVariantList* values) {
    sql->clear();
    values->clear();
    qsizetype next = 0;
    const auto take = [&]() -> QVariant { return next < arguments.size() ? arguments.at(next++) : QVariant(); };
    const qsizetype length = format.size();
    for (qsizetype i = 0; i < length; ++i) {
        const QChar c = format.at(i);
        if (c != QLatin1Char('%') || i + 1 >= length) {
            sql->append(c);
            continue;
        }
        // The conversion: optional length letters (h, l, ll, q) and one conversion letter.
        qsizetype j = i + 1;
        QString lengthLetters;
        while (j < length && (format.at(j) == QLatin1Char('h') || format.at(j) == QLatin1Char('l') ||
                              format.at(j) == QLatin1Char('q')))
            lengthLetters.append(format.at(j++));
        if (lengthLetters.size() > 2 || j >= length) {
            sql->append(c);
            continue;
        }
        const QChar conversion = format.at(j);
        const bool longLong = lengthLetters == QLatin1String("ll") || lengthLetters == QLatin1String("q");
        const bool plain = lengthLetters.isEmpty();
        QVariant boxed;
        bool known = true;
        switch (conversion.unicode()) {
        case '%':
            if (!plain) {
                known = false;
                break;
            }
            sql->append(QLatin1Char('%'));
            i = j;
            continue;
        case '@':
            known = plain;
            if (known) boxed = take();
            break;
        case 'c':
            if ((known = plain)) {
                const QVariant v = take();
                boxed = v.metaType().id() == QMetaType::QString ? QVariant(v.toString().left(1))
                                                                : QVariant(QString(QChar(char16_t(v.toUInt()))));
            }
            break;
        case 's':
            if ((known = plain)) boxed = take().toString();
            break;
        case 'd':
        case 'i':
        case 'D':
            if (plain || conversion == QLatin1Char('D')) boxed = qint64(take().toInt());
            else if (lengthLetters == QLatin1String("h")) boxed = qint64(qint16(take().toInt()));
            else if (lengthLetters == QLatin1String("l") || longLong) boxed = take().toLongLong();
            else known = false;
            break;
        case 'u':
        case 'U':
            if (plain || conversion == QLatin1Char('U')) boxed = qint64(take().toUInt());
            else if (lengthLetters == QLatin1String("h")) boxed = qint64(quint16(take().toUInt()));
            else if (lengthLetters == QLatin1String("l") || longLong) boxed = QVariant::fromValue(take().toULongLong());
            else known = false;
            break;
        case 'f':
            if ((known = plain)) boxed = take().toDouble();
            break;
        case 'g':
            if ((known = plain)) boxed = double(float(take().toDouble()));
            break;
        default:
            known = false;
        }
        if (!known) {
            sql->append(c);
            continue;
        }
        sql->append(QLatin1Char('?'));
        values->append(boxed);
        i = j;
    }
}

// --- Transactions and save points --------------------------------------------------------------

bool QVDatabase::beginTransaction() {
    const bool ok = executeUpdate(QStringLiteral("begin exclusive transaction"));
    if (ok) _inTransaction = true;
    return ok;
}

bool QVDatabase::beginDeferredTransaction() {
    const bool ok = executeUpdate(QStringLiteral("begin deferred transaction"));
    if (ok) _inTransaction = true;
    return ok;
}

bool QVDatabase::commit() {
    const bool ok = executeUpdate(QStringLiteral("commit transaction"));
    if (ok) _inTransaction = false;
    return ok;
}

bool QVDatabase::rollback() {
    const bool ok = executeUpdate(QStringLiteral("rollback transaction"));
    if (ok) _inTransaction = false;
    return ok;
}

bool QVDatabase::runSavePointStatement(const QString& sql, const QString& name, QVError* error) {
    if (name.isEmpty()) {
        setLayerError(SQLITE_MISUSE, QStringLiteral("A save point needs a name."));
        qvSetError(error, lastError());
        return false;
    }
    const bool ok = executeUpdate(sql.arg(quotedName(name)));
    if (!ok) qvSetError(error, lastError());
    return ok;
}

bool QVDatabase::startSavePointWithName(const QString& name, QVError* error) {
    return runSavePointStatement(QStringLiteral("savepoint '%1';"), name, error);
}

bool QVDatabase::releaseSavePointWithName(const QString& name, QVError* error) {
    return runSavePointStatement(QStringLiteral("release savepoint '%1';"), name, error);
}

bool QVDatabase::rollbackToSavePointWithName(const QString& name, QVError* error) {
    return runSavePointStatement(QStringLiteral("rollback transaction to savepoint '%1';"), name, error);
}

QVError QVDatabase::inSavePoint(const SavePointBlock& block) {
    static std::atomic<long> savePointCount{0};
    const QString name = QStringLiteral("dbSavePoint%1").arg(savePointCount.fetch_add(1) + 1);
    QVError error;
    if (!startSavePointWithName(name, &error)) return error;
    bool shouldRollback = false;
    if (block) block(&shouldRollback);
    if (shouldRollback) rollbackToSavePointWithName(name, &error);
    // Rolling back to a save point keeps it open; releasing it as well ends the transaction it
    // may have begun, so no lock stays behind.
    QVError releaseError;
    releaseSavePointWithName(name, &releaseError);
    return error ? error : releaseError;
}

// --- Connection state --------------------------------------------------------------------------

bool QVDatabase::warnIfInUse() {
    if (!_isExecutingStatement) return false;
    SystemLog::warning(QStringLiteral("The QVDatabase %1 is currently in use.").arg(description()));
    crashIfAsked();
    return true;
}

qint64 QVDatabase::lastInsertRowId() {
    if (warnIfInUse()) return 0;
    return _db ? sqlite3_last_insert_rowid(_db) : 0;
}

int QVDatabase::changes() {
    if (warnIfInUse()) return 0;
    return _db ? sqlite3_changes(_db) : 0;
}

bool QVDatabase::makeFunctionNamed(const QString& name, int maximumArguments, Function block) {
    if (!_db || !block) return false;
    auto function = std::make_shared<Function>(std::move(block));
    _openFunctions.insert(function);
    const int rc = sqlite3_create_function(_db, name.toUtf8().constData(), maximumArguments, SQLITE_UTF8,
                                           function.get(), callFunction, nullptr, nullptr);
    return rc == SQLITE_OK;
}

bool QVDatabase::setKey(const QString&) { return false; }

bool QVDatabase::rekey(const QString&) { return false; }
