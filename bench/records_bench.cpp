// Record throughput against SQLite (in process, prepared statements, the
// same columns, one transaction each, committed):
//   insert of 1,000,000 Customer records into an empty database;
//   a full walk fetching every record (every column read);
//   an update of every record (version and lastUpdate).
//
//   build-bench/bench/records_bench --benchmark_counters_tabular=true

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "app/tables.h"
#include "engine286/cursor.h"

namespace {

constexpr int rows = 1000000;

struct Texts {
    std::string id, name, address, person, telephone, fax, email, website, remark;
};

// The generated customers, made once so that generating them is not timed.
const std::vector<Texts>& customers()
{
    static const std::vector<Texts> all = [] {
        static const char* words[] = {"golden", "harbour", "dragon", "pearl", "jade", "orient", "summit",
                                      "lotus",  "phoenix", "crown",  "star",  "river", "bridge", "garden"};
        std::mt19937 random(1);
        auto word = [&] { return std::string(words[random() % 14]); };
        std::vector<Texts> v(rows);
        for (int i = 0; i < rows; i++) {
            Texts& t = v[size_t(i)];
            t.id = std::to_string(i);
            t.name = word() + " " + word() + " trading " + std::to_string(i);
            t.address = std::to_string(random() % 300) + " " + word() + " road, " + word() + " district";
            t.person = word() + " " + word();
            t.telephone = std::to_string(20000000 + random() % 80000000);
            t.fax = std::to_string(20000000 + random() % 80000000);
            t.email = "info" + std::to_string(i) + "@" + word() + ".com";
            t.website = "www." + word() + std::to_string(i % 977) + ".com";
            t.remark = random() % 4 == 0 ? "key account" : "";
        }
        return v;
    }();
    return all;
}

std::string folder()
{
    static std::string path = [] {
        std::string p = (std::filesystem::current_path() / "records-bench-data").string();
        std::filesystem::remove_all(p);
        std::filesystem::create_directories(p);
        return p;
    }();
    return path;
}

void check(int rc, sqlite3* db)
{
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
        std::fprintf(stderr, "sqlite: %s\n", sqlite3_errmsg(db));
        std::abort();
    }
}

void insertAll()
{
    const std::vector<Texts>& all = customers();
    for (int i = 0; i < rows; i++) {
        const Texts& t = all[size_t(i)];
        Customer c;
        c.id = t.id.c_str();
        c.name = t.name.c_str();
        c.address = t.address.c_str();
        c.person = t.person.c_str();
        c.telephone = t.telephone.c_str();
        c.fax = t.fax.c_str();
        c.email = t.email.c_str();
        c.website = t.website.c_str();
        c.remark = t.remark.c_str();
        c.lastUpdate = dbDateTime(1100000000 + i);
        c.createDate = dbDateTime(1000000000 + i);
        c.oid = i;
        dbCursor<Customer>::insert(c);
    }
}

void sqliteCreate(sqlite3* db)
{
    check(sqlite3_exec(db,
                       "CREATE TABLE customer (id TEXT, name TEXT, address TEXT, person TEXT, telephone TEXT, "
                       "fax TEXT, email TEXT, website TEXT, remark TEXT, category INTEGER, lastUpdate INTEGER, "
                       "oid INTEGER, version INTEGER, level INTEGER, area INTEGER, createDate INTEGER, "
                       "createdBy INTEGER, modifiedBy INTEGER)",
                       nullptr, nullptr, nullptr),
          db);
}

void sqliteInsertAll(sqlite3* db)
{
    const std::vector<Texts>& all = customers();
    sqlite3_stmt* insert;
    check(sqlite3_prepare_v2(db, "INSERT INTO customer VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, 0, ?, ?, 0, 0, 0, ?, 0, 0)",
                             -1, &insert, nullptr),
          db);
    check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db);
    for (int i = 0; i < rows; i++) {
        const Texts& t = all[size_t(i)];
        const std::string* texts[] = {&t.id, &t.name, &t.address, &t.person, &t.telephone,
                                      &t.fax, &t.email, &t.website, &t.remark};
        for (int k = 0; k < 9; k++)
            sqlite3_bind_text(insert, k + 1, texts[k]->c_str(), int(texts[k]->size()), SQLITE_STATIC);
        sqlite3_bind_int(insert, 10, 1100000000 + i);
        sqlite3_bind_int(insert, 11, i);
        sqlite3_bind_int(insert, 12, 1000000000 + i);
        check(sqlite3_step(insert), db);
        sqlite3_reset(insert);
    }
    check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
    sqlite3_finalize(insert);
}

void Insert_Tarnwicke(benchmark::State& state)
{
    customers();
    linkApplicationTables();
    int round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::string file = folder() + "/insert" + std::to_string(round++) + ".zrt";
        auto db = std::make_unique<dbDatabase>();
        if (!db->open("recordsinsert", file.c_str())) std::abort();
        state.ResumeTiming();
        insertAll();
        db->commit();
        state.PauseTiming();
        db->close();
        std::filesystem::remove(file);
        state.ResumeTiming();
    }
    state.counters["records/s"] = benchmark::Counter(double(rows) * double(state.iterations()),
                                                     benchmark::Counter::kIsRate);
}

void Insert_SQLite(benchmark::State& state)
{
    customers();
    int round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::string file = folder() + "/insert" + std::to_string(round++) + ".sqlite";
        sqlite3* db;
        check(sqlite3_open(file.c_str(), &db), db);
        sqliteCreate(db);
        state.ResumeTiming();
        sqliteInsertAll(db);
        state.PauseTiming();
        sqlite3_close(db);
        std::filesystem::remove(file);
        state.ResumeTiming();
    }
    state.counters["records/s"] = benchmark::Counter(double(rows) * double(state.iterations()),
                                                     benchmark::Counter::kIsRate);
}

// Both databases filled once for the walks and updates.
struct Filled {
    dbDatabase db;
    sqlite3* lite = nullptr;
    Filled()
    {
        linkApplicationTables();
        if (!db.open("recordsbench", (folder() + "/filled.zrt").c_str())) std::abort();
        insertAll();
        db.commit();
        check(sqlite3_open((folder() + "/filled.sqlite").c_str(), &lite), lite);
        sqliteCreate(lite);
        sqliteInsertAll(lite);
    }
    ~Filled()
    {
        sqlite3_close(lite);
        db.close();
        std::filesystem::remove_all(folder());
    }
};

Filled& filled()
{
    static Filled f;
    return f;
}

void Walk_Tarnwicke(benchmark::State& state)
{
    Filled& f = filled();
    for (auto _ : state) {
        uint64_t sum = 0;
        dbCursor<Customer> c;
        if (c.selectAll() != 0) {
            do {
                Customer* r = c.get();
                sum += uint64_t(r->oid) + uint8_t(r->id[0]) + uint8_t(r->name[0]) + uint8_t(r->address[0]) +
                       uint8_t(r->person[0]) + uint8_t(r->telephone[0]) + uint8_t(r->fax[0]) +
                       uint8_t(r->email[0]) + uint8_t(r->website[0]) + uint8_t(r->remark[0]) +
                       uint32_t(r->lastUpdate.stamp) + uint32_t(r->createDate.stamp) + r->category.getOid() +
                       r->level.getOid() + r->area.getOid() + r->createdBy.getOid() + r->modifiedBy.getOid() +
                       uint8_t(r->version);
            } while (c.next() != nullptr);
        }
        benchmark::DoNotOptimize(sum);
        f.db.commit();
    }
    state.counters["records/s"] = benchmark::Counter(double(rows) * double(state.iterations()),
                                                     benchmark::Counter::kIsRate);
}

void Walk_SQLite(benchmark::State& state)
{
    Filled& f = filled();
    sqlite3_stmt* stmt;
    check(sqlite3_prepare_v2(f.lite, "SELECT * FROM customer", -1, &stmt, nullptr), f.lite);
    for (auto _ : state) {
        uint64_t sum = 0;
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            for (int k = 0; k < 9; k++) sum += uint8_t(sqlite3_column_text(stmt, k)[0]);
            for (int k = 9; k < 18; k++) sum += uint64_t(sqlite3_column_int64(stmt, k));
        }
        sqlite3_reset(stmt);
        benchmark::DoNotOptimize(sum);
    }
    sqlite3_finalize(stmt);
    state.counters["records/s"] = benchmark::Counter(double(rows) * double(state.iterations()),
                                                     benchmark::Counter::kIsRate);
}

void Update_Tarnwicke(benchmark::State& state)
{
    Filled& f = filled();
    int32_t stamp = 1200000000;
    for (auto _ : state) {
        dbCursor<Customer> c(dbCursorForUpdate);
        if (c.selectAll() != 0) {
            do {
                c->version += 1;
                c->lastUpdate = dbDateTime(stamp);
                c.update();
            } while (c.next() != nullptr);
        }
        f.db.commit();
        stamp += 1;
    }
    state.counters["records/s"] = benchmark::Counter(double(rows) * double(state.iterations()),
                                                     benchmark::Counter::kIsRate);
}

void Update_SQLite(benchmark::State& state)
{
    Filled& f = filled();
    sqlite3_stmt* stmt;
    check(sqlite3_prepare_v2(f.lite, "UPDATE customer SET version = version + 1, lastUpdate = ?", -1, &stmt, nullptr),
          f.lite);
    int32_t stamp = 1200000000;
    for (auto _ : state) {
        check(sqlite3_exec(f.lite, "BEGIN", nullptr, nullptr, nullptr), f.lite);
        sqlite3_bind_int(stmt, 1, stamp++);
        check(sqlite3_step(stmt), f.lite);
        sqlite3_reset(stmt);
        check(sqlite3_exec(f.lite, "COMMIT", nullptr, nullptr, nullptr), f.lite);
    }
    sqlite3_finalize(stmt);
    state.counters["records/s"] = benchmark::Counter(double(rows) * double(state.iterations()),
                                                     benchmark::Counter::kIsRate);
}

// The inserts run first: they open databases of their own, and the table
// descriptors belong to one open database at a time.
BENCHMARK(Insert_Tarnwicke)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(Insert_SQLite)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(Walk_Tarnwicke)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(Walk_SQLite)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(Update_Tarnwicke)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(Update_SQLite)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
