// One prepared SQLite statement with its text and use count.
#include "database/QVStatement.h"

#include <utility>

QVStatement::QVStatement(sqlite3_stmt* statement, QString query)
    : _statement(statement), _query(std::move(query)) {}

QVStatement::~QVStatement() { close(); }

int QVStatement::reset() { return _statement ? sqlite3_reset(_statement) : SQLITE_OK; }

int QVStatement::close() {
    const int rc = _statement ? sqlite3_finalize(_statement) : SQLITE_OK;
    _statement = nullptr;
    return rc;
}

QString QVStatement::description() const {
    return QStringLiteral("<QVStatement %1> %2 hit(s) for query %3")
        .arg(QStringLiteral("0x%1").arg(quintptr(this), 0, 16), QString::number(_useCount), _query);
}
