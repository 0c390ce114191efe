// A cursor over the rows of one query: stepping, and typed reads of the current row's columns.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <memory>

#include <sqlite3.h>

class QObject;
class QVDatabase;
class QVStatement;

class QVResultSet {
public:
    // Made by QVDatabase::executeQuery, which registers the cursor with itself; no row is
    // fetched yet. The connection is not owned: it detaches its cursors before it goes away.
    QVResultSet(std::shared_ptr<QVStatement> statement, QVDatabase* parentDB);
    // Closes the cursor (and so tells its connection).
    ~QVResultSet();
    QVResultSet(const QVResultSet&) = delete;
    QVResultSet& operator=(const QVResultSet&) = delete;

    // Steps to the next row: true on a row. Any other outcome (no more rows, an error, a busy
    // database that stayed busy past the connection's bound) closes the cursor and gives false.
    bool next();
    // Resets and releases the statement and leaves the connection; later calls do nothing.
    void close();
    bool isClosed() const { return !_statement; }

    const QString& query() const { return _query; }
    void setQuery(const QString& query) { _query = query; }
    QVDatabase* parentDB() const { return _parentDB; }
    // Used by the connection to detach a cursor before closing it.
    void setParentDB(QVDatabase* parentDB) { _parentDB = parentDB; }
    const std::shared_ptr<QVStatement>& statement() const { return _statement; }

    int columnCount() const;
    // The index of a column by its name, case-insensitively; -1 with a warning logged when the
    // statement has no such column.
    int columnIndexForName(const QString& columnName) const;
    // Empty for an index outside the columns.
    QString columnNameForIndex(int columnIndex) const;

    // Every typed read yields 0, false or a null value for NULL, for an index outside the
    // columns, and when the cursor has no current row (before next(), after the last row).
    int intForColumn(const QString& columnName) const;
    int intForColumnIndex(int columnIndex) const;
    qint64 longForColumn(const QString& columnName) const;
    qint64 longForColumnIndex(int columnIndex) const;
    qint64 longLongIntForColumn(const QString& columnName) const;
    qint64 longLongIntForColumnIndex(int columnIndex) const;
    // The 64-bit value reinterpreted as unsigned.
    quint64 unsignedLongLongIntForColumn(const QString& columnName) const;
    quint64 unsignedLongLongIntForColumnIndex(int columnIndex) const;
    bool boolForColumn(const QString& columnName) const;
    bool boolForColumnIndex(int columnIndex) const;
    double doubleForColumn(const QString& columnName) const;
    double doubleForColumnIndex(int columnIndex) const;
    // A null string for NULL; else the column's UTF-8 text.
    QString stringForColumn(const QString& columnName) const;
    QString stringForColumnIndex(int columnIndex) const;
    // The same as the UTF-8 bytes themselves (a copy).
    QByteArray UTF8StringForColumnName(const QString& columnName) const;
    QByteArray UTF8StringForColumnIndex(int columnIndex) const;
    // An invalid date for NULL; else the moment that many seconds after 1970 (UTC).
    QDateTime dateForColumn(const QString& columnName) const;
    QDateTime dateForColumnIndex(int columnIndex) const;
    // A null byte array for NULL; else a copy of the blob.
    QByteArray dataForColumn(const QString& columnName) const;
    QByteArray dataForColumnIndex(int columnIndex) const;
    // A view of the blob without a copy: valid only until the next step or close.
    QByteArray dataNoCopyForColumn(const QString& columnName) const;
    QByteArray dataNoCopyForColumnIndex(int columnIndex) const;
    // By the column's type: qint64, double, QByteArray or QString; NULL gives a variant holding
    // nullptr (isNull() is true).
    QVariant objectForColumnName(const QString& columnName) const;
    QVariant objectForColumnIndex(int columnIndex) const;
    bool columnIsNull(const QString& columnName) const;
    bool columnIndexIsNull(int columnIndex) const;

    // Column name to value, names lower-cased (resultDict) or as the statement has them
    // (resultDictionary). Empty, with a warning logged, when there is no current row.
    QVariantMap resultDict() const;
    QVariantMap resultDictionary() const;
    // Sets every non-NULL column as a text property of the object, named by the column.
    void kvcMagic(QObject* object) const;

    QVariant operator[](int columnIndex) const { return objectForColumnIndex(columnIndex); }
    QVariant operator[](const QString& columnName) const { return objectForColumnName(columnName); }

private:
    // The statement handle when columnIndex names a column of a current row, else null.
    sqlite3_stmt* rowStatement(int columnIndex) const;
    QVariantMap rowMap(bool lowerCaseNames) const;

    std::shared_ptr<QVStatement> _statement;
    QVDatabase* _parentDB = nullptr;
    QString _query;
    mutable QHash<QString, int> _columnNameToIndexMap;
    bool _hasRow = false;
};
