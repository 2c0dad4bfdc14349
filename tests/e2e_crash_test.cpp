// End-to-end crash test: the program serves customer inserts and updates from
// several clients and is killed with SIGKILL at a random moment; after a
// restart every change whose success page arrived is there with its content,
// no row is half-written or invented, and the file checks out.
//
// Run more rounds with:  e2e_crash_test --rounds=50   (default 3)

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/running_program.h"
#include "support/temp_dir.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

using namespace programtest;

int rounds = 3;

// The content of one change: every field derives from the name, so a row whose
// fields disagree with its name is half-written.
struct Content {
    std::string name, person, telephone, address, remark;
};

Content contentOf(const std::string& name)
{
    Content c;
    c.name = name;
    c.person = "P" + name;
    c.telephone = std::to_string(std::hash<std::string>{}(name) % 100000000);
    c.address = "A" + name + "-road";
    size_t repeat = 1 + std::hash<std::string>{}(name) % 60;
    for (size_t i = 0; i < repeat; i++) c.remark += name + ";";
    return c;
}

std::string marker(int round, int thread, int n, int version)
{
    return "r" + std::to_string(round) + "t" + std::to_string(thread) + "n" + std::to_string(n) + "v" +
           std::to_string(version) + "x";
}

// The string value of a field in a dump line ("" when null or missing).
std::string jsonField(const std::string& line, const std::string& key, bool& present)
{
    present = false;
    size_t at = line.find("\"" + key + "\":");
    if (at == std::string::npos) return "";
    at += key.size() + 3;
    if (line.compare(at, 1, "\"") != 0) return "";
    present = true;
    std::string out;
    for (size_t i = at + 1; i < line.size(); i++) {
        char c = line[i];
        if (c == '"') return out;
        if (c == '\\' && i + 1 < line.size()) {
            c = line[++i];
            if (c == 'n') c = '\n';
            else if (c == 't') c = '\t';
            else if (c == 'u') {
                out += "\\u";
                continue;
            }
        }
        out += c;
    }
    present = false;
    return out;
}

struct Row {
    std::string oid, id, name, person, telephone, address, remark;
    bool complete = true;
};

std::vector<Row> customerRows(const std::string& file, std::string& error)
{
    std::string out;
    int rc = dbTool({"dump", file, "Customer"}, out);
    std::vector<Row> rows;
    if (rc != 0) {
        error = "dump exit " + std::to_string(rc) + ": " + out;
        return rows;
    }
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        if (end == std::string::npos) end = out.size();
        std::string line = out.substr(start, end - start);
        start = end + 1;
        if (line.empty()) continue;
        Row r;
        bool p;
        r.oid = line.substr(7, line.find(',') - 7);
        r.id = jsonField(line, "id", p);
        r.name = jsonField(line, "name", p);
        r.complete &= p;
        r.person = jsonField(line, "person", p);
        r.telephone = jsonField(line, "telephone", p);
        r.address = jsonField(line, "address", p);
        r.remark = jsonField(line, "remark", p);
        rows.push_back(r);
    }
    return rows;
}

// What the clients know about one customer of a round.
struct Tracked {
    int acked = -1;  // highest version whose success page arrived
    int sent = -1;   // highest version sent
};

TEST(EndToEndCrash, AcknowledgedChangesSurviveSigkillAndTheFileStaysConsistent)
{
    TempDir dir;
    copyWebFiles(dir.path());
    const std::string file = dir.file("Tarnwicke.zrt");
    std::mt19937 random(std::random_device{}());

    // The seeded customers, which are the only rows not made by the clients.
    std::set<std::string> seededNames;
    {
        Program first(dir.path(), freePort());
        ASSERT_TRUE(first.waitFor(welcome)) << first.text();
        ASSERT_EQ(first.stop(SIGTERM), 0) << first.text();
        std::string error;
        for (const Row& r : customerRows(file, error)) seededNames.insert(r.name);
        ASSERT_EQ(error, "");
    }

    constexpr int nThreads = 4;
    const int maxChangesPerThread = sanitized ? 150 : 600;
    // Every customer ever made, across rounds: name prefix -> state.
    std::map<std::string, Tracked> all;
    long totalAcked = 0, totalSent = 0, totalSurvivedUnacked = 0;

    for (int round = 0; round < rounds; round++) {
        int port = freePort();
        auto program = std::make_unique<Program>(dir.path(), port);
        ASSERT_TRUE(program->waitFor(welcome)) << program->text();
        int session = login(port);
        ASSERT_GT(session, 0);
        Reply form = get(port, "page=insertCustomerForm&session=" + std::to_string(session));
        ASSERT_TRUE(page(form, "加入客戶")) << form.body;
        const std::string createdBy = firstOption(form.body, "createdBy");
        const std::string category = firstOption(form.body, "category");
        const std::string level = firstOption(form.body, "level");
        const std::string area = firstOption(form.body, "area");
        ASSERT_FALSE(createdBy.empty() || category.empty() || level.empty() || area.empty()) << form.body;

        std::mutex mutex;
        std::map<std::string, Tracked> tracked;  // key: marker(round, t, n, 0) without the version
        std::atomic<bool> stop{false};
        auto fields = [&](const std::string& page, const std::string& id, const Content& c) {
            std::vector<std::pair<std::string, std::string>> f = {
                {"page", page},           {"session", std::to_string(session)}, {"id", id},
                {"name", c.name},         {"person", c.person},                 {"telephone", c.telephone},
                {"fax", "1"},             {"email", "e@x.example"},            {"website", "http://x.example"},
                {"address", c.address},   {"remark", c.remark},                 {"createdBy", createdBy},
                {"category", category},   {"level", level},                     {"area", area}};
            return f;
        };
        auto client = [&](int t) {
            std::mt19937 r(unsigned(round * 100 + t) ^ unsigned(random()));
            for (int n = 0; n < maxChangesPerThread && !stop; n++) {
                std::string key = marker(round, t, n, 0);
                key.resize(key.size() - 3);  // without "v0x"
                std::string id = std::to_string(100000 + round * 40000 + t * 10000 + n);
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    tracked[key].sent = 0;
                }
                if (!page(post(port, fields("insertCustomer", id, contentOf(marker(round, t, n, 0)))), "成功加入客戶"))
                    return;  // the program is gone
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    tracked[key].acked = 0;
                }
                // Some customers are changed once or twice after being added.
                int changes = int(r() % 3);
                if (changes == 0) continue;
                Reply list = get(port, "page=searchCustomer&session=" + std::to_string(session) +
                                           "&name=" + urlEncode(marker(round, t, n, 0)));
                if (!page(list, "客戶列表")) return;
                size_t at = list.body.find("updateCustomerForm&session=");
                at = at == std::string::npos ? at : list.body.find("&oid=", at);
                if (at == std::string::npos) {
                    ADD_FAILURE() << "acknowledged customer not listed: " << marker(round, t, n, 0);
                    return;
                }
                std::string oid = std::to_string(std::atol(list.body.c_str() + at + 5));
                for (int v = 1; v <= changes && !stop; v++) {
                    auto f = fields("updateCustomer", id, contentOf(marker(round, t, n, v)));
                    f.push_back({"oid", oid});
                    f.push_back({"version", std::to_string(v - 1)});
                    {
                        std::lock_guard<std::mutex> lock(mutex);
                        tracked[key].sent = v;
                    }
                    if (!page(post(port, f), "成功更改客戶")) return;
                    std::lock_guard<std::mutex> lock(mutex);
                    tracked[key].acked = v;
                }
            }
        };
        std::vector<std::thread> threads;
        for (int t = 0; t < nThreads; t++) threads.emplace_back(client, t);
        std::this_thread::sleep_for(std::chrono::milliseconds(300 + random() % 1201));
        ::kill(program->pid, SIGKILL);
        program->stop(SIGKILL);
        stop = true;
        for (std::thread& t : threads) t.join();
        program.reset();

        long acked = 0, sent = 0;
        for (auto& [k, s] : tracked) {
            sent += s.sent + 1;
            acked += s.acked + 1;
            all[k] = s;
        }
        totalAcked += acked;
        totalSent += sent;

        // The restarted program opens the file and serves the acknowledged data.
        Program again(dir.path(), port);
        ASSERT_TRUE(again.waitFor(welcome)) << again.text();
        EXPECT_EQ(again.text().find("資料庫開啟錯誤."), std::string::npos) << again.text();
        int s2 = login(port);
        ASSERT_GT(s2, 0);
        for (auto& [k, s] : tracked) {
            if (s.acked < 0) continue;
            Reply list = get(port, "page=searchCustomer&session=" + std::to_string(s2) + "&name=" + urlEncode(k + "v"));
            ASSERT_TRUE(page(list, "客戶列表"));
            EXPECT_TRUE(has(list.body, k + "v")) << k << " missing after restart";
            break;  // one look over HTTP; the dump below checks them all
        }
        ASSERT_EQ(again.stop(SIGTERM), 0) << again.text();

        std::string out;
        EXPECT_EQ(dbTool({"check", file}, out), 0) << out;
        std::string error;
        std::vector<Row> rows = customerRows(file, error);
        ASSERT_EQ(error, "");
        std::map<std::string, int> found;  // key -> version stored
        for (const Row& row : rows) {
            if (seededNames.count(row.name) != 0) continue;
            EXPECT_TRUE(row.complete) << "row " << row.oid;
            size_t v = row.name.rfind('v');
            std::string key = v == std::string::npos ? row.name : row.name.substr(0, v);
            auto known = all.find(key);
            if (known == all.end() || row.name.back() != 'x') {
                ADD_FAILURE() << "row " << row.oid << " has a name never sent: " << row.name;
                continue;
            }
            int version = std::atoi(row.name.c_str() + v + 1);
            EXPECT_LE(version, known->second.sent) << row.name;
            EXPECT_EQ(found.count(key), 0u) << "customer stored twice: " << row.name;
            found[key] = version;
            Content c = contentOf(row.name);
            EXPECT_EQ(row.person, c.person) << row.oid;
            EXPECT_EQ(row.telephone, c.telephone) << row.oid;
            EXPECT_EQ(row.address, c.address) << row.oid;
            EXPECT_EQ(row.remark, c.remark) << row.oid;
        }
        long survivedUnacked = 0;
        for (auto& [k, s] : all) {
            auto f = found.find(k);
            if (s.acked >= 0) {
                ASSERT_NE(f, found.end()) << "acknowledged customer lost: " << k;
                EXPECT_GE(f->second, s.acked) << "acknowledged change lost: " << k;
            }
            if (f != found.end() && f->second > s.acked) survivedUnacked++;
            if (f != found.end()) s.acked = std::max(s.acked, f->second);  // now on disk
        }
        totalSurvivedUnacked += survivedUnacked;
        std::printf("round %d: %ld changes sent, %ld acknowledged, %zu customer rows, %ld unacknowledged changes kept\n",
                    round, sent, acked, rows.size(), survivedUnacked);
        if (HasFatalFailure()) return;
    }
    std::printf("%d rounds: %ld changes sent, %ld acknowledged and all found after SIGKILL, %ld unacknowledged kept\n",
                rounds, totalSent, totalAcked, totalSurvivedUnacked);
}

}  // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; i++)
        if (std::strncmp(argv[i], "--rounds=", 9) == 0) rounds = std::atoi(argv[i] + 9);
    return RUN_ALL_TESTS();
}
