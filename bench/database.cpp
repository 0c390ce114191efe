// The code index's work through QVDatabase beside the same work on the bare SQLite C API: one
// transaction of 10,000 key inserts (text bound, a NULL type), and reading them back by column name.
// In-memory databases on both sides; both sides must end with the same rows. And how long past its
// bound an update on a database another connection holds gives up.
#include "database/QVDatabase.h"
#include "database/QVResultSet.h"

#include <benchmark/benchmark.h>

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <sqlite3.h>

namespace {

constexpr int kRows = 10000;
const char* kSchema =
    "CREATE TABLE keys (id integer PRIMARY KEY AUTOINCREMENT, file_id integer, parent_id integer DEFAULT 0, key text, "
    "completion text, range text, type integer, class integer)";
const char* kInsert = "INSERT INTO keys (file_id, key, completion, type, class) VALUES (?, ?, ?, ?, ?)";
const char* kSelect = "SELECT DISTINCT key, completion, type FROM keys WHERE class=1";

struct Keys {
    QStringList keys, completions;
    Keys() {
        for (int i = 0; i < kRows; ++i) {
            keys << QStringLiteral("function_name_%1").arg(i);
            completions << QStringLiteral("function_name_%1($argument, $other)").arg(i);
        }
    }
};
const Keys& keys() {
    static const Keys k;
    return k;
}

void fillLayer(QVDatabase& db, benchmark::State& state) {
    db.executeUpdate(QString::fromLatin1("DELETE FROM keys"));
    if (!db.beginTransaction()) state.SkipWithError("begin failed");
    const QString insert = QString::fromLatin1(kInsert);
    for (int i = 0; i < kRows; ++i)
        db.executeUpdate(insert, 7, keys().keys[i], keys().completions[i], i % 2 ? QVariant() : QVariant(3), 1);
    if (!db.commit()) state.SkipWithError("commit failed");
}

void LayerInsert(benchmark::State& state) {
    QVDatabase db;
    db.open();
    db.setShouldCacheStatements(state.range(0) != 0);
    db.executeUpdate(QString::fromLatin1(kSchema));
    for (auto _ : state) fillLayer(db, state);
    state.SetItemsProcessed(state.iterations() * kRows);
}

void fillBare(sqlite3* db, benchmark::State& state) {
    sqlite3_exec(db, "DELETE FROM keys", nullptr, nullptr, nullptr);
    if (sqlite3_exec(db, "begin exclusive transaction", nullptr, nullptr, nullptr) != SQLITE_OK)
        state.SkipWithError("begin failed");
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, kInsert, -1, &stmt, nullptr);
    for (int i = 0; i < kRows; ++i) {
        const QByteArray key = keys().keys[i].toUtf8();
        const QByteArray completion = keys().completions[i].toUtf8();
        sqlite3_bind_int64(stmt, 1, 7);
        sqlite3_bind_text(stmt, 2, key.constData(), int(key.size()), SQLITE_TRANSIENT);
        sqlite3_bind_text(stmt, 3, completion.constData(), int(completion.size()), SQLITE_TRANSIENT);
        if (i % 2) sqlite3_bind_null(stmt, 4);
        else sqlite3_bind_int64(stmt, 4, 3);
        sqlite3_bind_int64(stmt, 5, 1);
        if (sqlite3_step(stmt) != SQLITE_DONE) state.SkipWithError("insert failed");
        sqlite3_reset(stmt);
    }
    sqlite3_finalize(stmt);
    if (sqlite3_exec(db, "commit transaction", nullptr, nullptr, nullptr) != SQLITE_OK)
        state.SkipWithError("commit failed");
}

void BareInsert(benchmark::State& state) {
    sqlite3* db = nullptr;
    sqlite3_open(":memory:", &db);
    sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr);
    for (auto _ : state) fillBare(db, state);
    state.SetItemsProcessed(state.iterations() * kRows);
    sqlite3_close(db);
}

void LayerQuery(benchmark::State& state) {
    QVDatabase db;
    db.open();
    db.executeUpdate(QString::fromLatin1(kSchema));
    fillLayer(db, state);
    for (auto _ : state) {
        int rows = 0;
        auto rs = db.executeQuery(QString::fromLatin1(kSelect));
        while (rs && rs->next()) {
            benchmark::DoNotOptimize(rs->stringForColumn(QStringLiteral("key")));
            benchmark::DoNotOptimize(rs->stringForColumn(QStringLiteral("completion")));
            benchmark::DoNotOptimize(rs->longForColumn(QStringLiteral("type")));
            ++rows;
        }
        if (rows != kRows) state.SkipWithError("wrong row count");
    }
    state.SetItemsProcessed(state.iterations() * kRows);
}

void BareQuery(benchmark::State& state) {
    sqlite3* db = nullptr;
    sqlite3_open(":memory:", &db);
    sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr);
    fillBare(db, state);
    for (auto _ : state) {
        int rows = 0;
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(db, kSelect, -1, &stmt, nullptr);
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            const auto text = [&](int column) {
                return QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(stmt, column)),
                                         sqlite3_column_bytes(stmt, column));
            };
            benchmark::DoNotOptimize(text(0));
            benchmark::DoNotOptimize(text(1));
            benchmark::DoNotOptimize(sqlite3_column_int64(stmt, 2));
            ++rows;
        }
        sqlite3_finalize(stmt);
        if (rows != kRows) state.SkipWithError("wrong row count");
    }
    state.SetItemsProcessed(state.iterations() * kRows);
    sqlite3_close(db);
}

}  // namespace

// An update on a database another connection holds, given up by its 300 ms bound: what it takes
// past the bound is the tries' sleeps and the give-up itself.
void BusyGiveUp(benchmark::State& state) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("busy.db"));
    QVDatabase db(path), holder(path);
    if (!db.open() || !db.executeUpdate(QStringLiteral("CREATE TABLE t (v)")) || !holder.open() || !holder.beginTransaction() ||
        !holder.executeUpdate(QStringLiteral("INSERT INTO t VALUES (2)"))) {
        state.SkipWithError("no database to hold");
        return;
    }
    db.setMaxBusyWaitMilliseconds(300);
    for (auto _ : state)
        if (db.executeUpdate(QStringLiteral("INSERT INTO t VALUES (3)"))) state.SkipWithError("the update was not held");
    holder.commit();
}

BENCHMARK(LayerInsert)->Arg(0)->Arg(1)->ArgName("cached")->Unit(benchmark::kMillisecond);
BENCHMARK(BareInsert)->Unit(benchmark::kMillisecond);
BENCHMARK(LayerQuery)->Unit(benchmark::kMillisecond);
BENCHMARK(BareQuery)->Unit(benchmark::kMillisecond);
BENCHMARK(BusyGiveUp)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK_MAIN();
