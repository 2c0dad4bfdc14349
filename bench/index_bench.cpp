// Index lookups against SQLite with the same indices, over 1,000,000 rows:
// a point lookup by an indexed int4 (T-tree here, B-tree there), a point
// lookup by an indexed string (hash index here), and a range scan of 1% of
// the rows by the int4. Each lookup reads a column of the rows found.
//
//   build-bench/bench/index_bench --benchmark_counters_tabular=true

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "engine286/cursor.h"
#include "engine286/describe.h"
#include "engine286/query.h"

namespace {

constexpr int nRows = 1000000;
constexpr int rangeWidth = nRows / 100;

struct IRow {
    int32_t number;
    const char* code;
    int32_t payload;
    DB_TABLE_MEMBERS;
};
DB_TABLE(IRow, "IRow")
dbFieldDescriptor* IRow::describeFields()
{
    return dbFields<IRow>()
        .field("number", &IRow::number, dbField::Indexed)
        .field("code", &IRow::code, dbField::Hashed)
        .field("payload", &IRow::payload);
}

std::string codeOf(int i) { return "C" + std::to_string(i * 7919 % nRows); }

std::string folder()
{
    static std::string f = [] {
        std::string pattern = std::filesystem::current_path().string() + "/index-bench-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) std::abort();
        return pattern;
    }();
    return f;
}

dbDatabase& engine()
{
    static dbDatabase* db = [] {
        auto* d = new dbDatabase(dbDatabase::dbReadWrite, 0, dbDefaultExtensionQuantum, 2 * nRows);
        if (!d->open("indexbench", (folder() + "/index.zrt").c_str())) std::abort();
        std::vector<int> order(nRows);
        for (int i = 0; i < nRows; i++) order[size_t(i)] = i;
        std::shuffle(order.begin(), order.end(), std::mt19937(1));
        for (int i : order) {
            std::string code = codeOf(i);
            IRow r{i, code.c_str(), i * 3};
            dbCursor<IRow>::insert(r);
        }
        d->commit();
        return d;
    }();
    return *db;
}

sqlite3* lite()
{
    static sqlite3* db = [] {
        sqlite3* s = nullptr;
        if (sqlite3_open((folder() + "/index.sqlite").c_str(), &s) != SQLITE_OK) std::abort();
        sqlite3_exec(s, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;", nullptr, nullptr, nullptr);
        sqlite3_exec(s, "CREATE TABLE irow(number INTEGER, code TEXT, payload INTEGER)", nullptr, nullptr, nullptr);
        sqlite3_exec(s, "BEGIN", nullptr, nullptr, nullptr);
        sqlite3_stmt* insert;
        sqlite3_prepare_v2(s, "INSERT INTO irow VALUES(?,?,?)", -1, &insert, nullptr);
        std::vector<int> order(nRows);
        for (int i = 0; i < nRows; i++) order[size_t(i)] = i;
        std::shuffle(order.begin(), order.end(), std::mt19937(1));
        for (int i : order) {
            std::string code = codeOf(i);
            sqlite3_bind_int(insert, 1, i);
            sqlite3_bind_text(insert, 2, code.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int(insert, 3, i * 3);
            sqlite3_step(insert);
            sqlite3_reset(insert);
        }
        sqlite3_finalize(insert);
        sqlite3_exec(s, "CREATE INDEX irow_number ON irow(number); CREATE INDEX irow_code ON irow(code); COMMIT",
                     nullptr, nullptr, nullptr);
        return s;
    }();
    return db;
}

void EnginePointInt(benchmark::State& state)
{
    dbDatabase& db = engine();
    std::mt19937 random(2);
    int32_t key = 0;
    dbQuery q;
    q = "number=", key;
    dbCursor<IRow> cursor;
    int64_t sum = 0;
    for (auto _ : state) {
        key = int32_t(random() % nRows);
        if (cursor.select(q) == 1) sum += cursor->payload;
        db.commit();
    }
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(EnginePointInt);

void SqlitePointInt(benchmark::State& state)
{
    sqlite3* db = lite();
    sqlite3_stmt* stmt;
    sqlite3_prepare_v2(db, "SELECT payload FROM irow WHERE number=?", -1, &stmt, nullptr);
    std::mt19937 random(2);
    int64_t sum = 0;
    for (auto _ : state) {
        sqlite3_bind_int(stmt, 1, int(random() % nRows));
        while (sqlite3_step(stmt) == SQLITE_ROW) sum += sqlite3_column_int(stmt, 0);
        sqlite3_reset(stmt);
    }
    sqlite3_finalize(stmt);
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(SqlitePointInt);

void EnginePointString(benchmark::State& state)
{
    dbDatabase& db = engine();
    std::mt19937 random(3);
    std::string code;
    const char* key = nullptr;
    dbQuery q;
    q = "code=", &key;
    dbCursor<IRow> cursor;
    int64_t sum = 0;
    for (auto _ : state) {
        code = codeOf(int(random() % nRows));
        key = code.c_str();
        if (cursor.select(q) == 1) sum += cursor->payload;
        db.commit();
    }
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(EnginePointString);

void SqlitePointString(benchmark::State& state)
{
    sqlite3* db = lite();
    sqlite3_stmt* stmt;
    sqlite3_prepare_v2(db, "SELECT payload FROM irow WHERE code=?", -1, &stmt, nullptr);
    std::mt19937 random(3);
    std::string code;
    int64_t sum = 0;
    for (auto _ : state) {
        code = codeOf(int(random() % nRows));
        sqlite3_bind_text(stmt, 1, code.c_str(), -1, SQLITE_STATIC);
        while (sqlite3_step(stmt) == SQLITE_ROW) sum += sqlite3_column_int(stmt, 0);
        sqlite3_reset(stmt);
    }
    sqlite3_finalize(stmt);
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(SqlitePointString);

void EngineRangeOnePercent(benchmark::State& state)
{
    dbDatabase& db = engine();
    std::mt19937 random(4);
    int32_t low = 0, high = 0;
    dbQuery q;
    q = "number between ", low, " and ", high;
    dbCursor<IRow> cursor;
    int64_t sum = 0;
    for (auto _ : state) {
        low = int32_t(random() % (nRows - rangeWidth));
        high = low + rangeWidth - 1;
        if (cursor.select(q) > 0) {
            do sum += cursor->payload;
            while (cursor.next() != nullptr);
        }
        db.commit();
    }
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(state.iterations() * rangeWidth);
}
BENCHMARK(EngineRangeOnePercent)->Unit(benchmark::kMillisecond);

void SqliteRangeOnePercent(benchmark::State& state)
{
    sqlite3* db = lite();
    sqlite3_stmt* stmt;
    sqlite3_prepare_v2(db, "SELECT payload FROM irow WHERE number BETWEEN ? AND ?", -1, &stmt, nullptr);
    std::mt19937 random(4);
    int64_t sum = 0;
    for (auto _ : state) {
        int low = int(random() % (nRows - rangeWidth));
        sqlite3_bind_int(stmt, 1, low);
        sqlite3_bind_int(stmt, 2, low + rangeWidth - 1);
        while (sqlite3_step(stmt) == SQLITE_ROW) sum += sqlite3_column_int(stmt, 0);
        sqlite3_reset(stmt);
    }
    sqlite3_finalize(stmt);
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(state.iterations() * rangeWidth);
}
BENCHMARK(SqliteRangeOnePercent)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    engine();
    lite();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    engine().close();
    sqlite3_close(lite());
    std::filesystem::remove_all(folder());
    return 0;
}
