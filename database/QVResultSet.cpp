// A cursor over the rows of one query: stepping with the connection's busy bound, typed column reads.
#include "database/QVResultSet.h"

#include "database/QVDatabase.h"
#include "database/QVStatement.h"
#include "platform/SystemLog.h"

#include <QObject>
#include <QTimeZone>

#include <cmath>
#include <utility>

QVResultSet::QVResultSet(std::shared_ptr<QVStatement> statement, QVDatabase* parentDB)
    : _statement(std::move(statement)), _parentDB(parentDB) {}

QVResultSet::~QVResultSet() { close(); }

void QVResultSet::close() {
    _hasRow = false;
    if (_statement) {
        _statement->reset();
        _statement->setInUse(false);
        // An uncached statement is finalized here, as its last owner lets it go.
        _statement.reset();
    }
    if (_parentDB) {
        QVDatabase* parent = std::exchange(_parentDB, nullptr);
        parent->resultSetDidClose(this);
    }
}

bool QVResultSet::next() {
    _hasRow = false;
    if (!_statement || !_statement->statement()) {
        close();
        return false;
    }
    sqlite3_stmt* handle = _statement->statement();
    // A detached cursor has no connection to take the bound from: it gives up at once.
    bool gaveUp = false;
    const int rc = QVDatabase::stepWhileBusy(handle, _parentDB, "next", "rs", &gaveUp);
    if (rc == SQLITE_ROW) {
        _hasRow = true;
        return true;
    }
    if (!gaveUp && rc != SQLITE_DONE) {
        sqlite3* db = sqlite3_db_handle(handle);
        const QString message = QString::fromUtf8(sqlite3_errmsg(db));
        if (rc == SQLITE_ERROR || rc == SQLITE_MISUSE)
            SystemLog::error(QStringLiteral("Error calling sqlite3_step (%1: %2) rs").arg(rc).arg(message));
        else
            SystemLog::error(QStringLiteral("Unknown error calling sqlite3_step (%1: %2) rs").arg(rc).arg(message));
    }
    close();
    return false;
}

// --- Columns -----------------------------------------------------------------------------------

int QVResultSet::columnCount() const {
    return _statement && _statement->statement() ? sqlite3_column_count(_statement->statement()) : 0;
}

int QVResultSet::columnIndexForName(const QString& columnName) const {
    if (_columnNameToIndexMap.isEmpty()) {
        const int count = columnCount();
        for (int i = 0; i < count; ++i)
            _columnNameToIndexMap.insert(columnNameForIndex(i).toLower(), i);
    }
    const auto found = _columnNameToIndexMap.constFind(columnName.toLower());
    if (found != _columnNameToIndexMap.cend()) return *found;
    SystemLog::warning(QStringLiteral("Warning: I could not find the column named '%1'.").arg(columnName));
    return -1;
}

QString QVResultSet::columnNameForIndex(int columnIndex) const {
    if (columnIndex < 0 || columnIndex >= columnCount()) return {};
    return QString::fromUtf8(sqlite3_column_name(_statement->statement(), columnIndex));
}

sqlite3_stmt* QVResultSet::rowStatement(int columnIndex) const {
    // SQLite leaves reads outside the columns, or without a current row, undefined.
    if (!_hasRow || columnIndex < 0 || columnIndex >= columnCount()) return nullptr;
    return _statement->statement();
}

int QVResultSet::intForColumnIndex(int columnIndex) const {
    sqlite3_stmt* s = rowStatement(columnIndex);
    return s ? sqlite3_column_int(s, columnIndex) : 0;
}

qint64 QVResultSet::longForColumnIndex(int columnIndex) const {
    sqlite3_stmt* s = rowStatement(columnIndex);
    return s ? sqlite3_column_int64(s, columnIndex) : 0;
}

qint64 QVResultSet::longLongIntForColumnIndex(int columnIndex) const { return longForColumnIndex(columnIndex); }

quint64 QVResultSet::unsignedLongLongIntForColumnIndex(int columnIndex) const {
    return quint64(longForColumnIndex(columnIndex));
}

bool QVResultSet::boolForColumnIndex(int columnIndex) const { return intForColumnIndex(columnIndex) != 0; }

double QVResultSet::doubleForColumnIndex(int columnIndex) const {
    sqlite3_stmt* s = rowStatement(columnIndex);
    return s ? sqlite3_column_double(s, columnIndex) : 0.0;
}

bool QVResultSet::columnIndexIsNull(int columnIndex) const {
    sqlite3_stmt* s = rowStatement(columnIndex);
    return !s || sqlite3_column_type(s, columnIndex) == SQLITE_NULL;
}

QByteArray QVResultSet::UTF8StringForColumnIndex(int columnIndex) const {
    if (columnIndexIsNull(columnIndex)) return {};
    sqlite3_stmt* s = _statement->statement();
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, columnIndex));
    if (!text) return {};
    return QByteArray(text, sqlite3_column_bytes(s, columnIndex));
}

QString QVResultSet::stringForColumnIndex(int columnIndex) const {
    if (columnIndexIsNull(columnIndex)) return {};
    const QByteArray bytes = UTF8StringForColumnIndex(columnIndex);
    // An empty text is an empty string, not the null string that stands for NULL.
    return bytes.isEmpty() ? QString(QLatin1String("")) : QString::fromUtf8(bytes);
}

QDateTime QVResultSet::dateForColumnIndex(int columnIndex) const {
    if (columnIndexIsNull(columnIndex)) return {};
    const double seconds = doubleForColumnIndex(columnIndex);
    return QDateTime::fromMSecsSinceEpoch(qint64(std::llround(seconds * 1000.0)), QTimeZone::utc());
}

QByteArray QVResultSet::dataForColumnIndex(int columnIndex) const {
    if (columnIndexIsNull(columnIndex)) return {};
    sqlite3_stmt* s = _statement->statement();
    const void* bytes = sqlite3_column_blob(s, columnIndex);
    const int size = sqlite3_column_bytes(s, columnIndex);
    QByteArray data(static_cast<const char*>(bytes), bytes ? size : 0);
    return data.isNull() ? QByteArray("") : data;
}

QByteArray QVResultSet::dataNoCopyForColumnIndex(int columnIndex) const {
    if (columnIndexIsNull(columnIndex)) return {};
    sqlite3_stmt* s = _statement->statement();
    const void* bytes = sqlite3_column_blob(s, columnIndex);
    const int size = sqlite3_column_bytes(s, columnIndex);
    if (!bytes || size == 0) return QByteArray("");
    return QByteArray::fromRawData(static_cast<const char*>(bytes), size);
}

QVariant QVResultSet::objectForColumnIndex(int columnIndex) const {
    sqlite3_stmt* s = rowStatement(columnIndex);
    const int type = s ? sqlite3_column_type(s, columnIndex) : SQLITE_NULL;
    switch (type) {
    case SQLITE_INTEGER:
        return QVariant::fromValue(longForColumnIndex(columnIndex));
    case SQLITE_FLOAT:
        return QVariant::fromValue(doubleForColumnIndex(columnIndex));
    case SQLITE_BLOB:
        return QVariant::fromValue(dataForColumnIndex(columnIndex));
    case SQLITE_NULL:
        return QVariant::fromValue(nullptr);
    default:
        return QVariant::fromValue(stringForColumnIndex(columnIndex));
    }
}

int QVResultSet::intForColumn(const QString& n) const { return intForColumnIndex(columnIndexForName(n)); }
qint64 QVResultSet::longForColumn(const QString& n) const { return longForColumnIndex(columnIndexForName(n)); }
qint64 QVResultSet::longLongIntForColumn(const QString& n) const { return longLongIntForColumnIndex(columnIndexForName(n)); }
quint64 QVResultSet::unsignedLongLongIntForColumn(const QString& n) const {
    return unsignedLongLongIntForColumnIndex(columnIndexForName(n));
}
bool QVResultSet::boolForColumn(const QString& n) const { return boolForColumnIndex(columnIndexForName(n)); }
double QVResultSet::doubleForColumn(const QString& n) const { return doubleForColumnIndex(columnIndexForName(n)); }
QString QVResultSet::stringForColumn(const QString& n) const { return stringForColumnIndex(columnIndexForName(n)); }
QByteArray QVResultSet::UTF8StringForColumnName(const QString& n) const {
    return UTF8StringForColumnIndex(columnIndexForName(n));
}
QDateTime QVResultSet::dateForColumn(const QString& n) const { return dateForColumnIndex(columnIndexForName(n)); }
QByteArray QVResultSet::dataForColumn(const QString& n) const { return dataForColumnIndex(columnIndexForName(n)); }
QByteArray QVResultSet::dataNoCopyForColumn(const QString& n) const { return dataNoCopyForColumnIndex(columnIndexForName(n)); }
QVariant QVResultSet::objectForColumnName(const QString& n) const { return objectForColumnIndex(columnIndexForName(n)); }
bool QVResultSet::columnIsNull(const QString& n) const { return columnIndexIsNull(columnIndexForName(n)); }

// --- Whole rows --------------------------------------------------------------------------------

QVariantMap QVResultSet::rowMap(bool lowerCaseNames) const {
    const int count = _hasRow && _statement && _statement->statement() ? sqlite3_data_count(_statement->statement()) : 0;
    if (count <= 0) {
        SystemLog::warning(QStringLiteral("Warning: There seem to be no columns in this set."));
        return {};
    }
    QVariantMap row;
    for (int i = 0; i < count; ++i) {
        const QString name = columnNameForIndex(i);
        row.insert(lowerCaseNames ? name.toLower() : name, objectForColumnIndex(i));
    }
    return row;
}

QVariantMap QVResultSet::resultDict() const { return rowMap(true); }

QVariantMap QVResultSet::resultDictionary() const { return rowMap(false); }

void QVResultSet::kvcMagic(QObject* object) const {
    if (!object || !_hasRow) return;
    const int count = sqlite3_data_count(_statement->statement());
    for (int i = 0; i < count; ++i) {
        if (columnIndexIsNull(i)) continue;
        object->setProperty(columnNameForIndex(i).toUtf8().constData(), stringForColumnIndex(i));
    }
}
