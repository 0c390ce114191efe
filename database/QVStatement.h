// One prepared SQLite statement with its text and use count, shared by the cache and a cursor.
#pragma once

#include <QString>

#include <sqlite3.h>

class QVStatement {
public:
    // Takes ownership of the prepared statement; it is finalized by close() or destruction.
    QVStatement(sqlite3_stmt* statement, QString query);
    ~QVStatement();
    QVStatement(const QVStatement&) = delete;
    QVStatement& operator=(const QVStatement&) = delete;

    // Null once closed.
    sqlite3_stmt* statement() const { return _statement; }
    const QString& query() const { return _query; }
    qint64 useCount() const { return _useCount; }
    void countUse() { ++_useCount; }

    // Set while a cursor reads rows through this statement, so that the cache never hands the
    // same statement to a second query and resets the first one under its feet.
    bool inUse() const { return _inUse; }
    void setInUse(bool inUse) { _inUse = inUse; }

    // Makes the statement ready to run again; the result of sqlite3_reset (0 when closed).
    int reset();
    // Finalizes the statement: the result of sqlite3_finalize; later calls are harmless (0).
    int close();

    // "<QVStatement 0x...> 3 hit(s) for query SELECT ..."
    QString description() const;

private:
    sqlite3_stmt* _statement = nullptr;
    QString _query;
    qint64 _useCount = 0;
    bool _inUse = false;
};
