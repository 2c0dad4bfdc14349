// Server time of the customer pages over 100,000 customers, and requests per
// second of the menu page under 20 concurrent clients.
//
// The page benchmarks call the page functions directly on a WWWconnection
// filled with request variables, and commit after each call as the
// dispatcher does: the figure is the page's own time (session check,
// selection, sorting, writing, commit), without HTTP. The menu benchmark
// runs the real web server on a loopback port; its clients connect once
// per request, as the pages' browsers do.
//
// Usage: build with -DTARNWICKE_BENCH=ON, then run build*/bench/pages_bench
// from any folder (the database is made in a temporary folder under it).

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/page_framework.h"
#include "app/page_functions.h"
#include "app/tables.h"
#include "engine286/cursor.h"
#include "host/main_form.h"
#include "host/web_server.h"
#include "vorda/vorda_database.h"

namespace {

constexpr int customerCount = 100000;
constexpr int employeeCount = 5;
constexpr int32_t sessionNumber = 424242;

template <class T>
oid_t insertWithOid(T& record)
{
    oid_t oid = dbCursor<T>::insert(record);
    dbCursor<T> cursor(dbCursorForUpdate);
    cursor.at(oid);
    cursor->oid = int32_t(oid);
    cursor.update();
    return oid;
}

template <class T>
std::vector<oid_t> classValues(const char* const* names, int n)
{
    std::vector<oid_t> oids;
    for (int i = 0; i < n; i++) {
        std::string id = std::to_string(100 + i);
        T record;
        record.id = id.c_str();
        record.name = names[i];
        oids.push_back(insertWithOid(record));
    }
    return oids;
}

// The database of the benchmarks, made once in a temporary folder.
struct Fixture {
    std::string folder;
    std::unique_ptr<vordaDatabase> db;
    oid_t middleCustomer = 0;
    int8_t middleVersion = 0;

    Fixture()
    {
        std::string pattern = std::filesystem::current_path().string() + "/pages-bench-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) std::abort();
        folder = pattern;
        std::filesystem::current_path(folder);
        db = makeHostDatabase();
        if (!db->open("Tarnwicke")) std::abort();
        setApplicationDatabase(db.get());
        fill();
    }
    ~Fixture()
    {
        db->close();
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }

    void fill()
    {
        auto started = std::chrono::steady_clock::now();
        db->beginTransaction(dbDatabase::dbExclusiveLock);
        BasicSetup basic;
        basic.row = 20;
        basic.customerCategory = "類別";
        basic.customerLevel = "級別";
        basic.customerArea = "地區";
        dbCursor<BasicSetup>::insert(basic);

        std::vector<oid_t> employees;
        for (int i = 0; i < employeeCount; i++) {
            std::string id = "e" + std::to_string(i);
            std::string name = "Employee " + std::to_string(i);
            Employee e;
            e.id = id.c_str();
            e.password = "secret";
            e.name = name.c_str();
            e.permission = i == 0 ? 63 : 1 | 8;
            employees.push_back(insertWithOid(e));
        }
        LoginSession session;
        session.ip = "";  // direct calls have no peer address
        session.employee = dbReference<Employee>(employees[0]);
        session.session = sessionNumber;
        dbCursor<LoginSession>::insert(session);

        const char* categoryNames[] = {"軟件", "硬件", "其他"};
        const char* levelNames[] = {"咨詢", "接觸", "客戶", "VIP"};
        const char* areaNames[] = {"香港", "台灣", "其他"};
        std::vector<oid_t> categories = classValues<CustomerCategory>(categoryNames, 3);
        std::vector<oid_t> levels = classValues<CustomerLevel>(levelNames, 4);
        std::vector<oid_t> areas = classValues<CustomerArea>(areaNames, 3);

        int32_t now = int32_t(std::time(nullptr));
        for (int i = 0; i < customerCount; i++) {
            std::string id = std::to_string(10000 + i);
            std::string name = "Company " + std::to_string(i) + " Limited";
            std::string person = "Person " + std::to_string(i % 977);
            Customer c;
            c.id = id.c_str();
            c.name = name.c_str();
            c.person = person.c_str();
            c.address = "1 Harbour Road, Wan Chai";
            c.telephone = "+852 2100 0000";
            c.fax = "+852 2100 0001";
            c.email = "info@company.example";
            c.website = "http://www.company.example";
            c.remark = "A customer of the benchmark.";
            c.category = dbReference<CustomerCategory>(categories[size_t(i) % categories.size()]);
            c.level = dbReference<CustomerLevel>(levels[size_t(i) % levels.size()]);
            c.area = dbReference<CustomerArea>(areas[size_t(i) % areas.size()]);
            c.createdBy = c.modifiedBy = dbReference<Employee>(employees[size_t(i) % employees.size()]);
            // Changes come in any order: the last-change times are a
            // permutation of the table order, not sorted by it.
            c.createDate = dbDateTime(now - customerCount + i);
            c.lastUpdate = dbDateTime(now - customerCount + int32_t((int64_t(i) * 7919) % customerCount));
            oid_t oid = insertWithOid(c);
            if (i == customerCount / 2) middleCustomer = oid;
        }
        db->commit();
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        std::fprintf(stderr, "set-up: %d customers in %.1f s\n", customerCount, seconds);
    }
};

Fixture& fixture()
{
    static Fixture f;
    return f;
}

// Calls a page with the given request text, as the dispatcher would.
size_t callPage(WWWconnection& con, bool (*page)(WWWconnection&), std::string query)
{
    con.reset();
    con.parseVariables(query.data(), query.size());
    try {
        page(con);
    } catch (...) {
    }
    fixture().db->commit();
    return con.getReplyLength();
}

void expect(const WWWconnection& con, const char* text)
{
    if (std::strstr(con.getReply(), text) == nullptr) {
        std::fprintf(stderr, "the page lacks \"%s\":\n%.2000s\n", text, con.getReply());
        std::abort();
    }
}

const std::string session = "&session=" + std::to_string(sessionNumber);

void SearchCustomerFirstPage(benchmark::State& state)
{
    fixture();
    WWWconnection con;
    for (auto _ : state) callPage(con, searchCustomer, "page=searchCustomer" + session);
    expect(con, "總數: 100000 --- 顯示: 1 至 20");
}
BENCHMARK(SearchCustomerFirstPage)->Unit(benchmark::kMillisecond)->UseRealTime();

void SearchCustomerByName(benchmark::State& state)
{
    fixture();
    WWWconnection con;
    for (auto _ : state) callPage(con, searchCustomer, "page=searchCustomer&name=y+12" + session);
    expect(con, "總數: 1111 --- 顯示: 1 至 20");  // "Company 12", "Company 120".., "Company 12000"..
}
BENCHMARK(SearchCustomerByName)->Unit(benchmark::kMillisecond)->UseRealTime();

void SearchCustomerLastPage(benchmark::State& state)
{
    fixture();
    WWWconnection con;
    for (auto _ : state) callPage(con, searchCustomer, "page=searchCustomer&index=99980" + session);
    expect(con, "顯示: 99981 至 100000");
}
BENCHMARK(SearchCustomerLastPage)->Unit(benchmark::kMillisecond)->UseRealTime();

void UpdateCustomerForm(benchmark::State& state)
{
    Fixture& f = fixture();
    WWWconnection con;
    std::string query = "page=updateCustomerForm&oid=" + std::to_string(f.middleCustomer) + session;
    for (auto _ : state) callPage(con, updateCustomerForm, query);
    expect(con, "name=version>");
}
BENCHMARK(UpdateCustomerForm)->Unit(benchmark::kMillisecond)->UseRealTime();

void UpdateCustomer(benchmark::State& state)
{
    Fixture& f = fixture();
    WWWconnection con;
    std::string fields = "page=updateCustomer&oid=" + std::to_string(f.middleCustomer) + session +
                         "&id=60000&name=Changed+Limited&person=Someone&telephone=1&fax=2&email=a%40b&website=http%3A%2F%2Fx"
                         "&address=Somewhere&remark=Changed";
    // The references the form would post: the first record of each table.
    {
        dbCursor<Customer> c;
        c.at(f.middleCustomer);
        fields += "&createdBy=" + std::to_string(c->createdBy.getOid()) + "&category=" +
                  std::to_string(c->category.getOid()) + "&level=" + std::to_string(c->level.getOid()) + "&area=" +
                  std::to_string(c->area.getOid());
        f.middleVersion = c->version;
        f.db->commit();
    }
    for (auto _ : state) {
        callPage(con, updateCustomer, fields + "&version=" + std::to_string(f.middleVersion));
        f.middleVersion = int8_t(uint8_t(f.middleVersion) + 1);
    }
    expect(con, "成功更改客戶");
}
BENCHMARK(UpdateCustomer)->Unit(benchmark::kMillisecond)->UseRealTime();

void InsertCustomerForm(benchmark::State& state)
{
    fixture();
    WWWconnection con;
    for (auto _ : state) callPage(con, insertCustomerForm, "page=insertCustomerForm" + session);
    expect(con, "name=id value='");
}
BENCHMARK(InsertCustomerForm)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---------------------------------------------------------------- the menu over HTTP

// One request on its own connection; true for a complete 200 reply.
bool getOnce(int port, const std::string& request)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = false;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size())) {
        std::string reply;
        char buf[16384];
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 10000) <= 0) break;
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            reply.append(buf, size_t(n));
        }
        ok = reply.compare(0, 15, "HTTP/1.1 200 OK") == 0 && reply.find("</body></html>") != std::string::npos;
    }
    ::close(fd);
    return ok;
}

void MainMenuTwentyClients(benchmark::State& state)
{
    Fixture& f = fixture();
    constexpr int clients = 20;
    constexpr int requestsPerClient = 250;
    constexpr auto timeLimit = std::chrono::seconds(10);
    WebServer server(*f.db);
    std::string error;
    if (!server.start(0, error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    std::string request = "GET /?page=mainMenu" + session + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";
    int64_t done = 0, failed = 0;
    double seconds = 0;
    for (auto _ : state) {
        std::atomic<int64_t> good{0}, bad{0};
        auto started = std::chrono::steady_clock::now();
        auto deadline = started + timeLimit;
        std::vector<std::thread> threads;
        for (int c = 0; c < clients; c++)
            threads.emplace_back([&] {
                for (int i = 0; i < requestsPerClient && std::chrono::steady_clock::now() < deadline; i++)
                    (getOnce(server.port(), request) ? good : bad)++;
            });
        for (std::thread& t : threads) t.join();
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        done += good;
        failed += bad;
    }
    server.stop();
    state.counters["requests"] = double(done);
    state.counters["failed"] = double(failed);
    state.counters["req/s"] = double(done) / seconds;
    if (failed != 0) state.SkipWithError("some requests failed");
}
BENCHMARK(MainMenuTwentyClients)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
