// Tests of cursors: typed reads by name and index, whole rows, and the cursor's life with its connection.
#include "database/QVDatabase.h"
#include "database/QVResultSet.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include <QObject>
#include <QTimeZone>

#include <limits>

namespace {

class QVResultSetTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(db.open());
        ASSERT_TRUE(db.executeUpdate(QStringLiteral("CREATE TABLE r (Num integer, Real real, Txt text, Bin blob, Gap, "
                                                    "Stamp real)")));
        ASSERT_TRUE(db.executeUpdate(QStringLiteral("INSERT INTO r VALUES (?, ?, ?, ?, ?, ?)"), qint64(-1), 2.75,
                                     QStringLiteral("Grüße"), QByteArray("\x01\x00\x02", 3), nullptr,
                                     QDateTime::fromSecsSinceEpoch(86400, QTimeZone::utc())));
        ASSERT_TRUE(db.executeUpdate(QStringLiteral("INSERT INTO r (Num) VALUES (7)")));
    }
    std::shared_ptr<QVResultSet> firstRow() {
        auto rs = db.executeQuery(QStringLiteral("SELECT * FROM r ORDER BY rowid"));
        EXPECT_TRUE(rs && rs->next());
        return rs;
    }
    QVDatabase db;
};

TEST_F(QVResultSetTest, ReadsTypedValuesByNameAndIndex) {
    auto rs = firstRow();
    ASSERT_TRUE(rs);
    EXPECT_EQ(rs->columnCount(), 6);
    EXPECT_EQ(rs->columnNameForIndex(2), QStringLiteral("Txt"));
    EXPECT_EQ(rs->columnIndexForName(QStringLiteral("txt")), 2);
    EXPECT_EQ(rs->columnIndexForName(QStringLiteral("TXT")), 2);

    EXPECT_EQ(rs->intForColumn(QStringLiteral("num")), -1);
    EXPECT_EQ(rs->longForColumn(QStringLiteral("num")), -1);
    EXPECT_EQ(rs->longLongIntForColumn(QStringLiteral("num")), -1);
    EXPECT_EQ(rs->unsignedLongLongIntForColumn(QStringLiteral("num")), std::numeric_limits<quint64>::max());
    EXPECT_TRUE(rs->boolForColumn(QStringLiteral("num")));
    EXPECT_DOUBLE_EQ(rs->doubleForColumn(QStringLiteral("real")), 2.75);
    EXPECT_EQ(rs->intForColumn(QStringLiteral("real")), 2);
    EXPECT_EQ(rs->stringForColumn(QStringLiteral("txt")), QStringLiteral("Grüße"));
    EXPECT_EQ(rs->UTF8StringForColumnName(QStringLiteral("txt")), QStringLiteral("Grüße").toUtf8());
    EXPECT_EQ(rs->dataForColumn(QStringLiteral("bin")), QByteArray("\x01\x00\x02", 3));
    EXPECT_EQ(rs->dataNoCopyForColumn(QStringLiteral("bin")), QByteArray("\x01\x00\x02", 3));
    EXPECT_EQ(rs->dateForColumn(QStringLiteral("stamp")), QDateTime::fromSecsSinceEpoch(86400, QTimeZone::utc()));
    EXPECT_TRUE(rs->columnIsNull(QStringLiteral("gap")));
    EXPECT_FALSE(rs->columnIsNull(QStringLiteral("num")));
    EXPECT_TRUE(rs->stringForColumn(QStringLiteral("gap")).isNull());
    EXPECT_TRUE(rs->dataForColumn(QStringLiteral("gap")).isNull());
    EXPECT_FALSE(rs->dateForColumn(QStringLiteral("gap")).isValid());
    EXPECT_EQ((*rs)[0], QVariant::fromValue(qint64(-1)));
    EXPECT_EQ((*rs)[QStringLiteral("Real")], QVariant(2.75));
    EXPECT_EQ((*rs)[QStringLiteral("txt")].metaType().id(), QMetaType::QString);
    EXPECT_EQ((*rs)[QStringLiteral("bin")].metaType().id(), QMetaType::QByteArray);
    EXPECT_TRUE((*rs)[QStringLiteral("gap")].isNull());

    ASSERT_TRUE(rs->next());
    EXPECT_EQ(rs->intForColumn(QStringLiteral("num")), 7);
    EXPECT_TRUE(rs->stringForColumn(QStringLiteral("txt")).isNull());
    EXPECT_FALSE(rs->next());
}

TEST_F(QVResultSetTest, MissingColumnsAndRowsYieldEmptyValues) {
    LogCapture log;
    auto rs = db.executeQuery(QStringLiteral("SELECT Num, Txt FROM r ORDER BY rowid"));
    ASSERT_TRUE(rs);
    // Before the first step there is no row to read.
    EXPECT_EQ(rs->intForColumnIndex(0), 0);
    EXPECT_TRUE(rs->stringForColumnIndex(1).isNull());
    EXPECT_TRUE(rs->resultDict().isEmpty());
    EXPECT_EQ(log.lines(), QStringList{QStringLiteral("Warning: There seem to be no columns in this set.")});
    ASSERT_TRUE(rs->next());

    log.clear();
    EXPECT_EQ(rs->intForColumn(QStringLiteral("missing")), 0);
    EXPECT_TRUE(rs->stringForColumn(QStringLiteral("missing")).isNull());
    EXPECT_EQ(log.lines(), (QStringList{QStringLiteral("Warning: I could not find the column named 'missing'."),
                                        QStringLiteral("Warning: I could not find the column named 'missing'.")}));
    for (const int index : {-1, 2, 1000}) {
        SCOPED_TRACE(index);
        EXPECT_EQ(rs->intForColumnIndex(index), 0);
        EXPECT_EQ(rs->doubleForColumnIndex(index), 0.0);
        EXPECT_TRUE(rs->stringForColumnIndex(index).isNull());
        EXPECT_TRUE(rs->dataForColumnIndex(index).isNull());
        EXPECT_TRUE(rs->columnIndexIsNull(index));
        EXPECT_TRUE(rs->objectForColumnIndex(index).isNull());
        EXPECT_TRUE(rs->columnNameForIndex(index).isEmpty());
    }
}

TEST_F(QVResultSetTest, WholeRows) {
    auto rs = firstRow();
    ASSERT_TRUE(rs);
    const QVariantMap lower = rs->resultDict();
    EXPECT_EQ(lower.keys(), (QStringList{"bin", "gap", "num", "real", "stamp", "txt"}));
    EXPECT_EQ(lower.value(QStringLiteral("txt")), QVariant(QStringLiteral("Grüße")));
    EXPECT_TRUE(lower.value(QStringLiteral("gap")).isNull());
    const QVariantMap asNamed = rs->resultDictionary();
    EXPECT_EQ(asNamed.keys(), (QStringList{"Bin", "Gap", "Num", "Real", "Stamp", "Txt"}));
    EXPECT_EQ(asNamed.value(QStringLiteral("Num")), QVariant::fromValue(qint64(-1)));

    QObject target;
    target.setProperty("Gap", QStringLiteral("untouched"));
    rs->kvcMagic(&target);
    EXPECT_EQ(target.property("Txt"), QVariant(QStringLiteral("Grüße")));
    EXPECT_EQ(target.property("Num"), QVariant(QStringLiteral("-1")));
    EXPECT_EQ(target.property("Gap"), QVariant(QStringLiteral("untouched")));
}

TEST_F(QVResultSetTest, CursorsLeaveTheirConnection) {
    auto finished = db.executeQuery(QStringLiteral("SELECT Num FROM r"));
    auto open = db.executeQuery(QStringLiteral("SELECT Num FROM r"));
    ASSERT_TRUE(finished && open);
    EXPECT_EQ(finished->parentDB(), &db);
    EXPECT_TRUE(db.hasOpenResultSets());
    while (finished->next()) {
    }
    EXPECT_TRUE(finished->isClosed());
    EXPECT_EQ(finished->parentDB(), nullptr);
    EXPECT_TRUE(db.hasOpenResultSets());  // the second is still open
    ASSERT_TRUE(open->next());
    db.closeOpenResultSets();
    EXPECT_FALSE(db.hasOpenResultSets());
    EXPECT_TRUE(open->isClosed());
    EXPECT_FALSE(open->next());
    EXPECT_EQ(open->intForColumnIndex(0), 0);

    // A cursor dropped without closing leaves the connection too.
    {
        auto dropped = db.executeQuery(QStringLiteral("SELECT 1"));
        EXPECT_TRUE(db.hasOpenResultSets());
    }
    EXPECT_FALSE(db.hasOpenResultSets());

    // A cursor that outlives its connection is closed with it and stays harmless.
    std::shared_ptr<QVResultSet> orphan;
    {
        QVDatabase shortLived;
        ASSERT_TRUE(shortLived.open());
        orphan = shortLived.executeQuery(QStringLiteral("SELECT 1"));
        ASSERT_TRUE(orphan);
    }
    EXPECT_TRUE(orphan->isClosed());
    EXPECT_FALSE(orphan->next());
    orphan->close();
}

TEST_F(QVResultSetTest, AStepErrorIsLoggedAndClosesTheCursor) {
    LogCapture log;
    auto rs = db.executeQuery(QStringLiteral("SELECT abs(-9223372036854775807 - 1)"));
    ASSERT_TRUE(rs);
    EXPECT_FALSE(rs->next());
    EXPECT_TRUE(rs->isClosed());
    EXPECT_EQ(log.lines(), QStringList{QStringLiteral("Error calling sqlite3_step (1: integer overflow) rs")});
    EXPECT_FALSE(db.hasOpenResultSets());
}

}  // namespace
