// Tests of the connection: binding, updates, errors and their log lines, transactions, the cache.
#include "database/QVDatabase.h"
#include "database/QVResultSet.h"
#include "database/QVStatement.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QFile>
#include <QTimeZone>
#include <QUrl>

#include <limits>
#include <memory>

namespace {

// An open connection on a fresh file with a small table.
struct FileDatabase {
    TestDir dir;
    QString path = dir.file(QStringLiteral("test.db"));
    QVDatabase db{path};
    FileDatabase() {
        EXPECT_TRUE(db.open());
        EXPECT_TRUE(db.executeUpdate(QStringLiteral("CREATE TABLE t (id integer PRIMARY KEY, name text, v)")));
    }
    int count(const QString& table = QStringLiteral("t")) {
        auto rs = db.executeQuery(QStringLiteral("SELECT count(*) FROM ") + table);
        if (!rs || !rs->next()) return -1;
        const int n = rs->intForColumnIndex(0);
        rs->close();
        return n;
    }
};

TEST(QVDatabaseTest, ReportsTheLibrary) {
    EXPECT_TRUE(QVDatabase::isSQLiteThreadSafe());
    EXPECT_TRUE(QVDatabase::sqliteLibVersion().startsWith(QStringLiteral("3.")));
    QVDatabase memory;
    EXPECT_TRUE(memory.databasePath().isNull());
    ASSERT_TRUE(memory.open());
    EXPECT_TRUE(memory.open());  // already open
    EXPECT_TRUE(memory.goodConnection());
    EXPECT_FALSE(memory.setKey(QStringLiteral("k")));
    EXPECT_FALSE(memory.rekey(QStringLiteral("k")));
    EXPECT_TRUE(memory.close());
    EXPECT_FALSE(memory.goodConnection());
    EXPECT_EQ(memory.sqliteHandle(), nullptr);
}

TEST(QVDatabaseTest, BindsEveryKindOfValue) {
    QVDatabase db;
    ASSERT_TRUE(db.open());
    const QDateTime moment(QDate(2001, 1, 1), QTime(0, 0, 1, 500), QTimeZone::utc());
    struct Case {
        const char* name;
        QVariant value;
        const char* storedType;
        QVariant readBack;  // objectForColumnIndex of the stored value
    };
    const QVariant null = QVariant::fromValue(nullptr);
    const Case cases[] = {
        {"invalid variant", QVariant(), "null", null},
        {"nullptr", null, "null", null},
        {"null string", QVariant(QString()), "null", null},
        {"empty string", QVariant(QStringLiteral("")), "text", QVariant(QStringLiteral(""))},
        {"text", QVariant(QStringLiteral("héllo ✓ 𝄞")), "text", QVariant(QStringLiteral("héllo ✓ 𝄞"))},
        {"text with NUL", QVariant(QStringLiteral("a") + QChar(0) + QStringLiteral("b")), "text",
         QVariant(QStringLiteral("a") + QChar(0) + QStringLiteral("b"))},
        {"blob", QVariant(QByteArray("\x00\x01\xff", 3)), "blob", QVariant(QByteArray("\x00\x01\xff", 3))},
        {"empty blob", QVariant(QByteArray()), "blob", QVariant(QByteArray(""))},
        {"date", QVariant(moment), "real", QVariant(978307201.5)},
        {"true", QVariant(true), "integer", QVariant::fromValue(qint64(1))},
        {"false", QVariant(false), "integer", QVariant::fromValue(qint64(0))},
        {"int", QVariant(-5), "integer", QVariant::fromValue(qint64(-5))},
        {"uint", QVariant(4000000000u), "integer", QVariant::fromValue(qint64(4000000000LL))},
        {"long long max", QVariant::fromValue(std::numeric_limits<qint64>::max()), "integer",
         QVariant::fromValue(std::numeric_limits<qint64>::max())},
        {"unsigned long long max", QVariant::fromValue(std::numeric_limits<quint64>::max()), "integer",
         QVariant::fromValue(qint64(-1))},
        {"short", QVariant::fromValue(short(-7)), "integer", QVariant::fromValue(qint64(-7))},
        {"float", QVariant(1.5f), "real", QVariant(1.5)},
        {"double", QVariant(0.1), "real", QVariant(0.1)},
        {"other value as its text", QVariant(QUrl(QStringLiteral("http://example.com/a"))), "text",
         QVariant(QStringLiteral("http://example.com/a"))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto rs = db.executeQuery(QStringLiteral("SELECT typeof(?1) AS kind, ?1 AS value"), QVariantList{c.value});
        ASSERT_TRUE(rs);
        ASSERT_TRUE(rs->next());
        EXPECT_EQ(rs->stringForColumn(QStringLiteral("kind")), QString::fromLatin1(c.storedType));
        const QVariant value = rs->objectForColumnName(QStringLiteral("value"));
        EXPECT_EQ(value.metaType(), c.readBack.metaType());
        EXPECT_EQ(value, c.readBack);
        EXPECT_FALSE(rs->next());
    }
    // The variadic form boxes C++ values the same way.
    auto rs = db.executeQuery(QStringLiteral("SELECT typeof(?) AS a, typeof(?) AS b, typeof(?) AS c, typeof(?) AS d, typeof(?) AS e, ? AS f"), 7,
                              "text", 2.5, nullptr, std::optional<int>(), QByteArray("b"));
    ASSERT_TRUE(rs && rs->next());
    EXPECT_EQ(rs->resultDictionary().size(), 6);
    EXPECT_EQ(rs->stringForColumnIndex(0), QStringLiteral("integer"));
    EXPECT_EQ(rs->stringForColumnIndex(1), QStringLiteral("text"));
    EXPECT_EQ(rs->stringForColumnIndex(2), QStringLiteral("real"));
    EXPECT_EQ(rs->stringForColumnIndex(3), QStringLiteral("null"));
    EXPECT_EQ(rs->stringForColumnIndex(4), QStringLiteral("null"));
    EXPECT_EQ(rs->dataForColumnIndex(5), QByteArray("b"));
}

TEST(QVDatabaseTest, BoundValuesOutliveTheirSources) {
    // A cursor steps long after binding; bound texts and blobs must not point into values that
    // are gone by then (with the statement cache too, where one statement is reused).
    for (const bool cache : {false, true}) {
        SCOPED_TRACE(cache ? "cached" : "uncached");
        QVDatabase db;
        ASSERT_TRUE(db.open());
        db.setShouldCacheStatements(cache);
        std::shared_ptr<QVResultSet> rs;
        const QString expectedText = QString(4096, QLatin1Char('q')) + QStringLiteral("end");
        const QByteArray expectedBlob(4096, '\x5a');
        {
            auto text = std::make_unique<QString>(QString(4096, QLatin1Char('q')) + QStringLiteral("end"));
            auto blob = std::make_unique<QByteArray>(4096, '\x5a');
            rs = db.executeQuery(QStringLiteral("SELECT ?, ?"), *text, *blob);
            ASSERT_TRUE(rs);
            text->fill(QLatin1Char('X'));
            blob->fill('\x01');
        }
        // Fresh allocations of the same sizes land where the sources were.
        std::vector<QByteArray> churn;
        for (int i = 0; i < 64; ++i) churn.emplace_back(8200, char('#' + i % 8));
        ASSERT_TRUE(rs->next());
        EXPECT_EQ(rs->stringForColumnIndex(0), expectedText);
        EXPECT_EQ(rs->dataForColumnIndex(1), expectedBlob);
        rs->close();
    }
}

TEST(QVDatabaseTest, CountsOfValuesMustMatchTheParameters) {
    FileDatabase f;
    LogCapture log;
    struct Case {
        const char* name;
        QVariantList values;
        bool ok;
    };
    const Case cases[] = {
        {"exact", {1, QStringLiteral("a"), 2}, true},
        {"too few", {2, QStringLiteral("b")}, false},
        {"too many", {3, QStringLiteral("c"), 4, 5}, false},
        {"none", {}, false},
    };
    int rows = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        const bool ok = f.db.executeUpdate(QStringLiteral("INSERT INTO t (id, name, v) VALUES (?, ?, ?)"), c.values);
        EXPECT_EQ(ok, c.ok);
        if (!c.ok) {
            EXPECT_TRUE(log.contains(QStringLiteral("Error: the bind count (%1) is not correct for the # of variables "
                                                    "in the query (3) (INSERT INTO t (id, name, v) VALUES (?, ?, ?)) "
                                                    "(executeUpdate)")
                                         .arg(c.values.size())))
                << log.lines().join(QLatin1Char('\n')).toStdString();
            EXPECT_EQ(f.db.lastErrorCode(), SQLITE_RANGE);
            EXPECT_TRUE(f.db.hadError());
        }
        if (ok) ++rows;
        EXPECT_EQ(f.count(), rows);  // a failed bind runs nothing
        log.clear();
        auto rs = f.db.executeQuery(QStringLiteral("SELECT ?, ?, ?"), c.values);
        EXPECT_EQ(bool(rs), c.ok);
        if (!c.ok) {
            EXPECT_EQ(log.lines(),
                      QStringList{QStringLiteral("Error: the bind count is not correct for the # of variables (executeQuery)")});
        }
    }
}

TEST(QVDatabaseTest, BindsNamedParametersFromADictionary) {
    FileDatabase f;
    LogCapture log;
    const QVariantMap values{{QStringLiteral("id"), 9}, {QStringLiteral("name"), QStringLiteral("nine")},
                             {QStringLiteral("unused"), 1}};
    EXPECT_TRUE(f.db.executeUpdate(QStringLiteral("INSERT INTO t (id, name) VALUES (:id, :name)"), values));
    EXPECT_EQ(log.lines(), QStringList{QStringLiteral("Could not find index for unused")});
    auto rs = f.db.executeQuery(QStringLiteral("SELECT name FROM t WHERE id = :id"), QVariantMap{{QStringLiteral("id"), 9}});
    ASSERT_TRUE(rs && rs->next());
    EXPECT_EQ(rs->stringForColumn(QStringLiteral("NAME")), QStringLiteral("nine"));
    rs->close();
    // A parameter left without a value is a count mismatch.
    EXPECT_FALSE(f.db.executeUpdate(QStringLiteral("INSERT INTO t (id, name) VALUES (:id, :name)"),
                                    QVariantMap{{QStringLiteral("id"), 10}}));
    EXPECT_EQ(f.count(), 1);
}

TEST(QVDatabaseTest, ErrorsAreKeptAndLoggedWithTheirTexts) {
    FileDatabase f;
    LogCapture log;

    // Rows and the end of rows are not errors.
    auto rs = f.db.executeQuery(QStringLiteral("SELECT 1"));
    ASSERT_TRUE(rs && rs->next());
    EXPECT_FALSE(f.db.hadError());
    EXPECT_FALSE(rs->next());
    EXPECT_FALSE(f.db.hadError());

    // A statement that does not prepare: silent unless asked to log.
    EXPECT_FALSE(f.db.executeQuery(QStringLiteral("SELECT * FROM nope")));
    EXPECT_TRUE(log.lines().isEmpty());
    EXPECT_TRUE(f.db.hadError());
    EXPECT_EQ(f.db.lastErrorCode(), SQLITE_ERROR);
    EXPECT_EQ(f.db.lastErrorMessage(), QStringLiteral("no such table: nope"));
    const QVError error = f.db.lastError();
    EXPECT_EQ(error.domain(), QStringLiteral("QVDatabase"));
    EXPECT_EQ(error.code(), SQLITE_ERROR);
    EXPECT_EQ(error.localizedDescription(), QStringLiteral("no such table: nope"));

    f.db.setLogsErrors(true);
    EXPECT_FALSE(f.db.executeUpdate(QStringLiteral("DELETE FROM nope")));
    EXPECT_EQ(log.lines(), (QStringList{QStringLiteral("DB Error: 1 \"no such table: nope\""),
                                        QStringLiteral("DB Query: DELETE FROM nope"),
                                        QStringLiteral("DB Path: ") + f.path}));

    // update() hands the preparation error to its caller.
    QVError updateError;
    EXPECT_FALSE(f.db.update(QStringLiteral("UPDATE nope SET a=?"), &updateError, 1));
    EXPECT_EQ(updateError.domain(), QStringLiteral("QVDatabase"));
    EXPECT_EQ(updateError.code(), SQLITE_ERROR);
    EXPECT_EQ(updateError.localizedDescription(), QStringLiteral("no such table: nope"));
    QVError noError;
    EXPECT_TRUE(f.db.update(QStringLiteral("INSERT INTO t (id) VALUES (?)"), &noError, 1));
    EXPECT_TRUE(noError.isNull());

    // Step failures.
    log.clear();
    EXPECT_FALSE(f.db.executeUpdate(QStringLiteral("INSERT INTO t (id) VALUES (?)"), 1));
    EXPECT_EQ(log.lines(), (QStringList{QStringLiteral("Unknown error calling sqlite3_step (19: UNIQUE constraint "
                                                       "failed: t.id) eu"),
                                        QStringLiteral("DB Query: INSERT INTO t (id) VALUES (?)")}));
    EXPECT_EQ(f.db.lastErrorCode(), SQLITE_CONSTRAINT);
    log.clear();
    EXPECT_FALSE(f.db.executeUpdate(QStringLiteral("SELECT 1")));
    EXPECT_EQ(log.lines(), QStringList{QStringLiteral("A executeUpdate is being called with a query string 'SELECT 1'")});
    EXPECT_EQ(f.db.lastErrorCode(), SQLITE_MISUSE);
    log.clear();
    EXPECT_FALSE(f.db.executeUpdate(QStringLiteral("INSERT INTO t (id) VALUES (abs(-9223372036854775807 - 1))")));
    EXPECT_EQ(log.lines().value(0), QStringLiteral("Error calling sqlite3_step (1: integer overflow) SQLITE_ERROR"));

    // Text with no statement in it.
    EXPECT_FALSE(f.db.executeUpdate(QStringLiteral("  -- nothing\n")));
    EXPECT_EQ(f.db.lastErrorCode(), SQLITE_MISUSE);
    EXPECT_FALSE(f.db.executeQuery(QStringLiteral("")));
}

TEST(QVDatabaseTest, AClosedOrUnopenableConnectionRefusesWork) {
    TestDir dir;
    LogCapture log;
    QVDatabase missing(dir.file(QStringLiteral("no/such/folder/x.db")));
    EXPECT_FALSE(missing.open());
    EXPECT_EQ(log.lines(), QStringList{QStringLiteral("error opening!: 14")});
    EXPECT_EQ(missing.lastErrorCode(), SQLITE_CANTOPEN);
    EXPECT_TRUE(missing.lastErrorMessage().contains(QStringLiteral("no/such/folder/x.db")));
    EXPECT_EQ(missing.sqliteHandle(), nullptr);

    log.clear();
    EXPECT_FALSE(missing.executeQuery(QStringLiteral("SELECT 1")));
    EXPECT_FALSE(missing.executeUpdate(QStringLiteral("CREATE TABLE a (b)")));
    EXPECT_EQ(log.lines(), (QStringList{QStringLiteral("The QVDatabase %1 is not open.").arg(missing.description()),
                                        QStringLiteral("The QVDatabase %1 is not open.").arg(missing.description())}));
    EXPECT_TRUE(missing.hadError());
    EXPECT_EQ(missing.lastInsertRowId(), 0);
    EXPECT_TRUE(missing.close());

    // A file that is not a database opens lazily and fails at its first statement.
    const QString junk = dir.write(QStringLiteral("junk.db"), QByteArray(4096, 'j'));
    QVDatabase garbage(junk);
    ASSERT_TRUE(garbage.open());
    EXPECT_FALSE(garbage.executeQuery(QStringLiteral("SELECT * FROM sqlite_master")));
    EXPECT_EQ(garbage.lastErrorCode(), SQLITE_NOTADB);
    EXPECT_EQ(readAll(junk), QByteArray(4096, 'j'));  // nothing lost
}

TEST(QVDatabaseTest, TransactionsAndSavePoints) {
    FileDatabase f;
    ASSERT_TRUE(f.db.beginTransaction());
    EXPECT_TRUE(f.db.inTransaction());
    EXPECT_TRUE(f.db.executeUpdate(QStringLiteral("INSERT INTO t (name) VALUES (?)"), QStringLiteral("a")));
    EXPECT_EQ(f.db.lastInsertRowId(), 1);
    EXPECT_EQ(f.db.changes(), 1);
    EXPECT_TRUE(f.db.rollback());
    EXPECT_FALSE(f.db.inTransaction());
    EXPECT_EQ(f.count(), 0);

    ASSERT_TRUE(f.db.beginDeferredTransaction());
    EXPECT_TRUE(f.db.executeUpdate(QStringLiteral("INSERT INTO t (name) VALUES (?)"), QStringLiteral("b")));
    EXPECT_TRUE(f.db.commit());
    EXPECT_FALSE(f.db.inTransaction());
    EXPECT_EQ(f.count(), 1);
    EXPECT_FALSE(f.db.commit());  // nothing to commit
    EXPECT_TRUE(f.db.hadError());

    // A block that asks for a roll-back leaves no trace and no open transaction behind.
    QVError error = f.db.inSavePoint([&](bool* rollback) {
        EXPECT_TRUE(f.db.executeUpdate(QStringLiteral("INSERT INTO t (name) VALUES ('c')")));
        *rollback = true;
    });
    EXPECT_TRUE(error.isNull()) << error.localizedDescription().toStdString();
    EXPECT_EQ(f.count(), 1);
    EXPECT_NE(sqlite3_get_autocommit(f.db.sqliteHandle()), 0);
    error = f.db.inSavePoint([&](bool*) { f.db.executeUpdate(QStringLiteral("INSERT INTO t (name) VALUES ('d')")); });
    EXPECT_TRUE(error.isNull());
    EXPECT_EQ(f.count(), 2);
    EXPECT_NE(sqlite3_get_autocommit(f.db.sqliteHandle()), 0);

    // Names are quoted, not pasted; an empty name is refused.
    const QString odd = QStringLiteral("it's; DROP TABLE t; --");
    ASSERT_TRUE(f.db.startSavePointWithName(odd));
    EXPECT_TRUE(f.db.executeUpdate(QStringLiteral("INSERT INTO t (name) VALUES ('e')")));
    EXPECT_TRUE(f.db.rollbackToSavePointWithName(odd));
    EXPECT_TRUE(f.db.releaseSavePointWithName(odd));
    EXPECT_EQ(f.count(), 2);
    QVError emptyName;
    EXPECT_FALSE(f.db.startSavePointWithName(QString(), &emptyName));
    EXPECT_EQ(emptyName.domain(), QStringLiteral("QVDatabase"));
    QVError unknown;
    EXPECT_FALSE(f.db.releaseSavePointWithName(QStringLiteral("never"), &unknown));
    EXPECT_EQ(unknown.code(), SQLITE_ERROR);
    EXPECT_EQ(unknown.localizedDescription(), QStringLiteral("no such savepoint: never"));
}

TEST(QVDatabaseTest, CachedStatementsAreReusedAndNeverSharedByTwoCursors) {
    FileDatabase f;
    f.db.setShouldCacheStatements(true);
    for (int i = 1; i <= 3; ++i)
        ASSERT_TRUE(f.db.executeUpdate(QStringLiteral("INSERT INTO t (id, name) VALUES (?, ?)"), i,
                                       QStringLiteral("n%1").arg(i)));
    const QString insert = QStringLiteral("INSERT INTO t (id, name) VALUES (?, ?)");
    std::shared_ptr<QVStatement> cachedInsert = f.db.cachedStatementForQuery(insert);
    ASSERT_TRUE(cachedInsert);
    EXPECT_EQ(cachedInsert->useCount(), 3);
    EXPECT_TRUE(cachedInsert->description().endsWith(QStringLiteral(" 3 hit(s) for query ") + insert));

    const QString select = QStringLiteral("SELECT name FROM t WHERE id >= ? ORDER BY id");
    auto first = f.db.executeQuery(select, 1);
    ASSERT_TRUE(first && first->next());
    EXPECT_EQ(first->stringForColumnIndex(0), QStringLiteral("n1"));
    // The same text while the first cursor is still reading gets a statement of its own.
    auto second = f.db.executeQuery(select, 3);
    ASSERT_TRUE(second && second->next());
    EXPECT_NE(first->statement(), second->statement());
    EXPECT_EQ(second->stringForColumnIndex(0), QStringLiteral("n3"));
    ASSERT_TRUE(first->next());
    EXPECT_EQ(first->stringForColumnIndex(0), QStringLiteral("n2"));
    const std::shared_ptr<QVStatement> cachedSelect = f.db.cachedStatementForQuery(select);
    EXPECT_EQ(cachedSelect, first->statement());
    first->close();
    second->close();
    auto third = f.db.executeQuery(select, 2);
    EXPECT_EQ(third->statement(), cachedSelect);  // free again: reused
    EXPECT_EQ(cachedSelect->useCount(), 2);

    // Clearing the cache under an open cursor leaves that cursor readable.
    f.db.clearCachedStatements();
    EXPECT_FALSE(f.db.cachedStatementForQuery(select));
    ASSERT_TRUE(third->next());
    EXPECT_EQ(third->stringForColumnIndex(0), QStringLiteral("n2"));
    third->close();
    EXPECT_FALSE(f.db.cachedStatementForQuery(insert));

    f.db.setShouldCacheStatements(false);
    auto plain = f.db.executeQuery(select, 1);
    ASSERT_TRUE(plain);
    EXPECT_FALSE(f.db.cachedStatementForQuery(select));
}

TEST(QVDatabaseTest, ARunningStatementRefusesASecondOne) {
    QVDatabase db;
    ASSERT_TRUE(db.open());
    LogCapture log;
    bool innerRefused = false;
    qint64 innerRowId = -1;
    ASSERT_TRUE(db.makeFunctionNamed(QStringLiteral("reenter"), 1, [&](sqlite3_context* context, int, sqlite3_value**) {
        innerRefused = !db.executeQuery(QStringLiteral("SELECT 1"));
        innerRowId = db.lastInsertRowId();
        sqlite3_result_int(context, 42);
    }));
    ASSERT_TRUE(db.executeUpdate(QStringLiteral("CREATE TABLE x (v)")));
    ASSERT_TRUE(db.executeUpdate(QStringLiteral("INSERT INTO x (v) VALUES (reenter(1))")));
    EXPECT_TRUE(innerRefused);
    EXPECT_EQ(innerRowId, 0);
    const QString warning = QStringLiteral("The QVDatabase %1 is currently in use.").arg(db.description());
    EXPECT_EQ(log.lines(), (QStringList{warning, warning}));
    auto rs = db.executeQuery(QStringLiteral("SELECT v FROM x"));
    ASSERT_TRUE(rs && rs->next());
    EXPECT_EQ(rs->intForColumn(QStringLiteral("v")), 42);
}

TEST(QVDatabaseTest, FormatsBecomeBoundStatements) {
    struct Case {
        const char* name;
        QString format;
        QVariantList arguments;
        QString sql;
        QVariantList values;
    };
    const Case cases[] = {
        {"objects and percent", QStringLiteral("SELECT * FROM t WHERE a=%@ AND b LIKE '10%%'"), {QStringLiteral("x")},
         QStringLiteral("SELECT * FROM t WHERE a=? AND b LIKE '10%'"), {QStringLiteral("x")}},
        {"integers of every width", QStringLiteral("%d %i %u %hi %hu %ld %lu %lld %llu %qi %qu %D %U"),
         {-1, 2, 3u, 70000, 70000, qint64(1) << 40, 5, qint64(-6), 7, 8, 9, 10, 11},
         QStringLiteral("? ? ? ? ? ? ? ? ? ? ? ? ?"),
         {qint64(-1), qint64(2), qint64(3), qint64(qint16(70000)), qint64(quint16(70000)), qint64(1) << 40,
          QVariant::fromValue(quint64(5)), qint64(-6), QVariant::fromValue(quint64(7)), qint64(8),
          QVariant::fromValue(quint64(9)), qint64(10), qint64(11)}},
        {"characters, strings and reals", QStringLiteral("%c,%s,%f,%g"), {QVariant::fromValue('z'), "str", 0.5, 0.25},
         QStringLiteral("?,?,?,?"), {QStringLiteral("z"), QStringLiteral("str"), 0.5, 0.25}},
        {"unknown conversions are copied", QStringLiteral("%x %lz %"), {}, QStringLiteral("%x %lz %"), {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QString sql;
        QVariantList values;
        QVDatabase::statementFromFormat(c.format, c.arguments, &sql, &values);
        EXPECT_EQ(sql, c.sql);
        EXPECT_EQ(values, c.values);
    }
    FileDatabase f;
    EXPECT_TRUE(f.db.executeUpdateWithFormat(QStringLiteral("INSERT INTO t (id, name) VALUES (%d, %@)"), 5,
                                             QStringLiteral("it's")));
    auto rs = f.db.executeQueryWithFormat(QStringLiteral("SELECT name FROM t WHERE id=%lld"), qint64(5));
    ASSERT_TRUE(rs && rs->next());
    EXPECT_EQ(rs->stringForColumnIndex(0), QStringLiteral("it's"));
}

TEST(QVDatabaseTest, CodeIndexStyleUseOfOneFile) {
    // The index's pattern: a row looked up by digest, created when missing with a NULL time,
    // then one transaction per file with ids bound, NULL ids included.
    FileDatabase f;
    ASSERT_TRUE(f.db.executeUpdate(QStringLiteral(
        "CREATE TABLE files (id integer PRIMARY KEY AUTOINCREMENT, path text, last_update numeric)")));
    ASSERT_TRUE(f.db.executeUpdate(QStringLiteral("CREATE TABLE keys (id integer PRIMARY KEY AUTOINCREMENT, file_id "
                                                  "integer, key text, completion text, type integer, class integer)")));
    const QString digest = QStringLiteral("d41d8cd98f00b204e9800998ecf8427e");
    auto rs = f.db.executeQuery(QStringLiteral("SELECT id, last_update FROM files WHERE path=?"), digest);
    ASSERT_TRUE(rs);
    EXPECT_FALSE(rs->next());
    ASSERT_TRUE(f.db.executeUpdate(QStringLiteral("INSERT INTO files (path) VALUES (?)"), digest));
    const qint64 fileId = f.db.lastInsertRowId();
    rs = f.db.executeQuery(QStringLiteral("SELECT id, last_update FROM files WHERE path=?"), digest);
    ASSERT_TRUE(rs && rs->next());
    EXPECT_EQ(rs->longForColumn(QStringLiteral("id")), fileId);
    EXPECT_TRUE(rs->columnIsNull(QStringLiteral("last_update")));
    EXPECT_FALSE(rs->dateForColumn(QStringLiteral("last_update")).isValid());
    rs->close();

    const QDateTime modified = QDateTime::fromSecsSinceEpoch(1700000000, QTimeZone::utc());
    ASSERT_TRUE(f.db.beginTransaction());
    EXPECT_TRUE(f.db.executeUpdate(QStringLiteral("DELETE FROM keys WHERE file_id=?"), fileId));
    EXPECT_TRUE(f.db.executeUpdate(
        QStringLiteral("INSERT INTO keys (file_id, key, completion, type, class) VALUES (?, ?, ?, ?, ?)"), fileId,
        QStringLiteral("foo"), QStringLiteral("foo()"), QVariant(), 1));
    EXPECT_TRUE(f.db.executeUpdate(QStringLiteral("UPDATE files SET last_update=? WHERE id=?"), modified, fileId));
    ASSERT_TRUE(f.db.commit());

    rs = f.db.executeQuery(QStringLiteral("SELECT DISTINCT key, completion, type FROM keys WHERE class=1 AND file_id IN (%1)")
                               .arg(fileId));
    ASSERT_TRUE(rs && rs->next());
    EXPECT_EQ(rs->stringForColumn(QStringLiteral("key")), QStringLiteral("foo"));
    EXPECT_EQ(rs->stringForColumn(QStringLiteral("completion")), QStringLiteral("foo()"));
    EXPECT_TRUE(rs->columnIsNull(QStringLiteral("type")));
    EXPECT_FALSE(rs->next());
    rs = f.db.executeQuery(QStringLiteral("SELECT last_update FROM files WHERE id=?"), fileId);
    ASSERT_TRUE(rs && rs->next());
    EXPECT_EQ(rs->dateForColumnIndex(0), modified);
    rs->close();
    EXPECT_TRUE(f.db.close());
    // The data is on disk for the next connection.
    QVDatabase again(f.path);
    ASSERT_TRUE(again.open());
    rs = again.executeQuery(QStringLiteral("SELECT count(*) AS n FROM keys"));
    ASSERT_TRUE(rs && rs->next());
    EXPECT_EQ(rs->intForColumn(QStringLiteral("n")), 1);
}

TEST(QVDatabaseTest, TracesStatementsAndValuesWhenAsked) {
    QVDatabase db;
    ASSERT_TRUE(db.open());
    LogCapture log;
    db.setTraceExecution(true);
    auto rs = db.executeQuery(QStringLiteral("SELECT ?"), QStringLiteral("v"));
    ASSERT_TRUE(rs);
    EXPECT_EQ(log.lines(), (QStringList{QStringLiteral("%1 executeQuery: SELECT ?").arg(db.description()),
                                        QStringLiteral("obj: v")}));
    log.clear();
    db.setTraceExecution(false);
    EXPECT_TRUE(db.executeUpdate(QStringLiteral("CREATE TABLE q (a)")));
    EXPECT_TRUE(log.lines().isEmpty());
}

}  // namespace
