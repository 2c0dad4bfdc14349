// Query scans and sorting against SQLite (in process, prepared statements,
// the same columns, no index on either side):
//   name like '%abc%' and id = '12345' over 1,000,000 Customer rows;
//   ORDER BY a string field over 100,000 rows.
// Both sides select row ids; LIKE is case-sensitive on both sides (SQLite's
// case_sensitive_like), as the query language's LIKE is.
//
//   build-bench/bench/query_bench --benchmark_counters_tabular=true

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "app/tables.h"
#include "engine286/cursor.h"
#include "engine286/query.h"

namespace {

constexpr int scanRows = 1000000;
constexpr int sortRows = 100000;

// Rows to sort: the fields of Customer in a table of their own.
struct SortCustomer {
    const char* id = nullptr;
    const char* name = nullptr;
    const char* address = nullptr;
    const char* person = nullptr;
    const char* telephone = nullptr;
    const char* fax = nullptr;
    const char* email = nullptr;
    const char* website = nullptr;
    const char* remark = nullptr;
    dbReference<CustomerCategory> category;
    dbDateTime lastUpdate;
    int32_t oid = 0;
    int8_t version = 0;
    dbReference<CustomerLevel> level;
    dbReference<CustomerArea> area;
    dbDateTime createDate;
    dbReference<Employee> createdBy;
    dbReference<Employee> modifiedBy;
    DB_TABLE_MEMBERS;
};
DB_TABLE(SortCustomer, "SortCustomer")
dbFieldDescriptor* SortCustomer::describeFields()
{
    return dbFields<SortCustomer>()
        .field("id", &SortCustomer::id)
        .field("name", &SortCustomer::name)
        .field("person", &SortCustomer::person)
        .field("telephone", &SortCustomer::telephone)
        .field("fax", &SortCustomer::fax)
        .field("email", &SortCustomer::email)
        .field("website", &SortCustomer::website)
        .field("remark", &SortCustomer::remark)
        .field("category", &SortCustomer::category)
        .field("lastUpdate", &SortCustomer::lastUpdate)
        .field("oid", &SortCustomer::oid)
        .field("version", &SortCustomer::version)
        .field("level", &SortCustomer::level)
        .field("area", &SortCustomer::area)
        .field("createDate", &SortCustomer::createDate)
        .field("createdBy", &SortCustomer::createdBy)
        .field("modifiedBy", &SortCustomer::modifiedBy)
        .field("address", &SortCustomer::address);
}

// The text fields of one generated customer.
struct Texts {
    std::string id, name, address, person, telephone, fax, email, website, remark;
};

Texts makeTexts(int i, std::mt19937& random)
{
    static const char* words[] = {"golden", "harbour", "dragon", "pearl", "jade", "orient", "summit",
                                  "lotus",  "phoenix", "crown",  "star",  "river", "bridge", "garden"};
    auto word = [&] { return std::string(words[random() % 14]); };
    Texts t;
    t.id = std::to_string(i);
    // About one name in a thousand contains "abc".
    t.name = word() + " " + word() + (random() % 1000 == 0 ? " abc " : " ") + "trading " + std::to_string(i);
    t.address = std::to_string(random() % 300) + " " + word() + " road, " + word() + " district";
    t.person = word() + " " + word();
    t.telephone = std::to_string(20000000 + random() % 80000000);
    t.fax = std::to_string(20000000 + random() % 80000000);
    t.email = "info" + std::to_string(i) + "@" + word() + ".com";
    t.website = "www." + word() + std::to_string(i % 977) + ".com";
    t.remark = random() % 4 == 0 ? "key account" : "";
    return t;
}

template <class T>
void fill(T& c, const Texts& t, int i)
{
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
}

void check(int rc, sqlite3* db)
{
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
        std::fprintf(stderr, "sqlite: %s\n", sqlite3_errmsg(db));
        std::abort();
    }
}

const char* sqliteColumns =
    "id TEXT, name TEXT, address TEXT, person TEXT, telephone TEXT, fax TEXT, email TEXT, website TEXT, "
    "remark TEXT, category INTEGER, lastUpdate INTEGER, oid INTEGER, version INTEGER, level INTEGER, "
    "area INTEGER, createDate INTEGER, createdBy INTEGER, modifiedBy INTEGER";

void sqliteInsert(sqlite3* db, const char* table, int rows, std::mt19937& random)
{
    std::string sql = std::string("INSERT INTO ") + table +
                      " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, 0, ?, ?, 0, 0, 0, ?, 0, 0)";
    sqlite3_stmt* insert;
    check(sqlite3_prepare_v2(db, sql.c_str(), -1, &insert, nullptr), db);
    for (int i = 0; i < rows; i++) {
        Texts t = makeTexts(i, random);
        const std::string* texts[] = {&t.id, &t.name, &t.address, &t.person, &t.telephone,
                                      &t.fax, &t.email, &t.website, &t.remark};
        for (int k = 0; k < 9; k++)
            sqlite3_bind_text(insert, k + 1, texts[k]->c_str(), int(texts[k]->size()), SQLITE_TRANSIENT);
        sqlite3_bind_int(insert, 10, 1100000000 + i);
        sqlite3_bind_int(insert, 11, i);
        sqlite3_bind_int(insert, 12, 1000000000 + i);
        check(sqlite3_step(insert), db);
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
}

// Both databases with the same rows, built once.
struct Data {
    std::string folder;
    dbDatabase db;
    sqlite3* lite = nullptr;

    Data()
    {
        folder = (std::filesystem::current_path() / "query-bench-data").string();
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        linkApplicationTables();
        if (!db.open("querybench", (folder + "/bench.zrt").c_str())) std::abort();
        std::mt19937 random(1);
        for (int i = 0; i < scanRows; i++) {
            Texts t = makeTexts(i, random);
            Customer c;
            fill(c, t, i);
            dbCursor<Customer>::insert(c);
        }
        for (int i = 0; i < sortRows; i++) {
            Texts t = makeTexts(i, random);
            SortCustomer c;
            fill(c, t, i);
            dbCursor<SortCustomer>::insert(c);
        }
        db.commit();

        check(sqlite3_open((folder + "/bench.sqlite").c_str(), &lite), lite);
        check(sqlite3_exec(lite, "PRAGMA case_sensitive_like = ON", nullptr, nullptr, nullptr), lite);
        check(sqlite3_exec(lite, (std::string("CREATE TABLE customer (") + sqliteColumns + ")").c_str(), nullptr,
                           nullptr, nullptr),
              lite);
        check(sqlite3_exec(lite, (std::string("CREATE TABLE sortcustomer (") + sqliteColumns + ")").c_str(),
                           nullptr, nullptr, nullptr),
              lite);
        random.seed(1);
        check(sqlite3_exec(lite, "BEGIN", nullptr, nullptr, nullptr), lite);
        sqliteInsert(lite, "customer", scanRows, random);
        sqliteInsert(lite, "sortcustomer", sortRows, random);
        check(sqlite3_exec(lite, "COMMIT", nullptr, nullptr, nullptr), lite);
    }
    ~Data()
    {
        sqlite3_close(lite);
        db.close();
        std::filesystem::remove_all(folder);
    }
};

Data& data()
{
    static Data d;
    return d;
}

template <class T>
void engineSelect(benchmark::State& state, const char* condition)
{
    Data& d = data();
    dbQuery q(condition);
    size_t rows = 0;
    for (auto _ : state) {
        dbCursor<T> cursor;
        cursor.fetchOnMove = false;
        rows = cursor.select(q);
        benchmark::DoNotOptimize(rows);
        d.db.commit();
    }
    state.counters["rows"] = double(rows);
}

void sqliteSelect(benchmark::State& state, const char* sql, const char* parameter)
{
    Data& d = data();
    sqlite3_stmt* stmt;
    check(sqlite3_prepare_v2(d.lite, sql, -1, &stmt, nullptr), d.lite);
    size_t rows = 0;
    for (auto _ : state) {
        if (parameter != nullptr) sqlite3_bind_text(stmt, 1, parameter, -1, SQLITE_STATIC);
        rows = 0;
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            benchmark::DoNotOptimize(sqlite3_column_int64(stmt, 0));
            rows += 1;
        }
        sqlite3_reset(stmt);
    }
    sqlite3_finalize(stmt);
    state.counters["rows"] = double(rows);
}

void LikeScan_Tarnwicke(benchmark::State& state) { engineSelect<Customer>(state, "name like '%abc%'"); }
void LikeScan_SQLite(benchmark::State& state)
{
    sqliteSelect(state, "SELECT rowid FROM customer WHERE name LIKE '%abc%'", nullptr);
}
void EqualScan_Tarnwicke(benchmark::State& state) { engineSelect<Customer>(state, "id = '12345'"); }
void EqualScan_SQLite(benchmark::State& state)
{
    sqliteSelect(state, "SELECT rowid FROM customer WHERE id = ?", "12345");
}
void OrderByName_Tarnwicke(benchmark::State& state) { engineSelect<SortCustomer>(state, "order by name"); }
void OrderByName_SQLite(benchmark::State& state)
{
    sqliteSelect(state, "SELECT rowid FROM sortcustomer ORDER BY name", nullptr);
}

BENCHMARK(LikeScan_Tarnwicke)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(LikeScan_SQLite)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(EqualScan_Tarnwicke)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(EqualScan_SQLite)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(OrderByName_Tarnwicke)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(OrderByName_SQLite)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
