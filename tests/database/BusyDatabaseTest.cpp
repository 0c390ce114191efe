// Tests of a database locked by a second connection: bounded waits, clear errors, and success once free.
#include "database/QVDatabase.h"
#include "database/QVResultSet.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QRegularExpression>

#include <chrono>
#include <thread>

namespace {

class BusyDatabaseTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(db.open());
        ASSERT_TRUE(db.executeUpdate(QStringLiteral("CREATE TABLE t (v)")));
        ASSERT_TRUE(db.executeUpdate(QStringLiteral("INSERT INTO t VALUES (1)")));
        ASSERT_TRUE(holder.open());
    }
    // The second connection takes the write lock and keeps it.
    void lock() {
        ASSERT_TRUE(holder.beginTransaction());
        ASSERT_TRUE(holder.executeUpdate(QStringLiteral("INSERT INTO t VALUES (2)")));
    }
    // The line a give-up logs, with the number of tries it made (any, by default).
    QString busyLine(const char* operation, const QString& tries = QStringLiteral("\\d+")) const {
        return QStringLiteral("%1:\\d+ Database busy \\(%2\\) after %3 tries")
            .arg(QLatin1String(operation), QRegularExpression::escape(path), tries);
    }
    int rows() {
        auto rs = db.executeQuery(QStringLiteral("SELECT count(*) FROM t"));
        return rs && rs->next() ? rs->intForColumnIndex(0) : -1;
    }

    TestDir dir;
    QString path = dir.file(QStringLiteral("busy.db"));
    QVDatabase db{path};
    QVDatabase holder{path};
};

TEST_F(BusyDatabaseTest, AnUpdateGivesUpAfterItsTimeBound) {
    lock();
    LogCapture log;
    db.setMaxBusyWaitMilliseconds(300);
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(db.executeUpdate(QStringLiteral("INSERT INTO t VALUES (3)")));
    const qint64 waited = clock.elapsed();
    EXPECT_GE(waited, 300);
    // Given up once, by its time bound: the wait it measured passed the bound, and one give-up is
    // logged. (How long past the bound a give-up returns is bench/database's BusyGiveUp.)
    const QRegularExpressionMatch gaveUp =
        QRegularExpression(QStringLiteral("after (\\d+) tries in (\\d+) ms")).match(db.lastErrorMessage());
    ASSERT_TRUE(gaveUp.hasMatch()) << db.lastErrorMessage().toStdString();
    EXPECT_GE(gaveUp.captured(2).toInt(), 300);
    EXPECT_EQ(log.lines().filter(QRegularExpression(busyLine("\\w+"))).size(), 1) << log.lines().join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(log.containsMatch(busyLine("executeUpdate"))) << log.lines().join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(log.contains(QStringLiteral("Database busy")));
    EXPECT_TRUE(db.hadError());
    EXPECT_EQ(db.lastErrorCode(), SQLITE_BUSY);
    EXPECT_TRUE(db.lastErrorMessage().startsWith(QStringLiteral("database is locked: gave up on \"%1\"").arg(path)))
        << db.lastErrorMessage().toStdString();
    EXPECT_EQ(db.lastError().code(), SQLITE_BUSY);

    // Once the lock is gone the same update goes through.
    ASSERT_TRUE(holder.commit());
    EXPECT_TRUE(db.executeUpdate(QStringLiteral("INSERT INTO t VALUES (3)")));
    EXPECT_EQ(rows(), 3);
}

TEST_F(BusyDatabaseTest, ARetryCountGivesUpSooner) {
    lock();
    LogCapture log;
    db.setBusyRetryTimeout(5);
    EXPECT_FALSE(db.executeUpdate(QStringLiteral("INSERT INTO t VALUES (3)")));
    // Given up by its count, not by the time bound.
    EXPECT_TRUE(db.lastErrorMessage().contains(QStringLiteral("after 5 tries")));
    EXPECT_TRUE(log.containsMatch(busyLine("executeUpdate", QStringLiteral("5"))));
    EXPECT_TRUE(log.contains(QStringLiteral("Database busy")));
    // Reading is refused while the writer holds its exclusive lock.
    auto rs = db.executeQuery(QStringLiteral("SELECT v FROM t"));
    ASSERT_TRUE(rs);
    EXPECT_FALSE(rs->next());
    EXPECT_TRUE(log.containsMatch(busyLine("next")));
    EXPECT_TRUE(db.lastErrorMessage().contains(QStringLiteral("after 5 tries")));
}

TEST_F(BusyDatabaseTest, ACursorGivesUpAndCloses) {
    auto rs = db.executeQuery(QStringLiteral("SELECT v FROM t"));
    ASSERT_TRUE(rs);
    lock();
    LogCapture log;
    db.setMaxBusyWaitMilliseconds(100);
    EXPECT_FALSE(rs->next());
    EXPECT_TRUE(rs->isClosed());
    EXPECT_TRUE(log.containsMatch(busyLine("next"))) << log.lines().join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(db.lastErrorCode(), SQLITE_BUSY);
    EXPECT_FALSE(db.hasOpenResultSets());
}

TEST_F(BusyDatabaseTest, ALockReleasedWithinTheBoundIsWaitedFor) {
    lock();
    db.setBusyRetryTimeout(0);  // no retry count: only the time bound
    std::thread releaser([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_TRUE(holder.commit());
    });
    QElapsedTimer clock;
    clock.start();
    const bool ok = db.executeUpdate(QStringLiteral("INSERT INTO t VALUES (3)"));
    const qint64 waited = clock.elapsed();
    releaser.join();
    EXPECT_TRUE(ok) << db.lastErrorMessage().toStdString();
    EXPECT_GE(waited, 150);
    EXPECT_EQ(rows(), 3);
}

TEST_F(BusyDatabaseTest, ClosingFinalizesLeakedStatements) {
    sqlite3_stmt* leaked = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db.sqliteHandle(), "SELECT v FROM t", -1, &leaked, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(leaked), SQLITE_ROW);
    LogCapture log;
    EXPECT_TRUE(db.close());
    EXPECT_EQ(db.sqliteHandle(), nullptr);
    EXPECT_EQ(log.lines(), QStringList{QStringLiteral("Closing leaked statement")});
}

}  // namespace
