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

#include "support/temp_dir.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const char* welcome = "歡迎使用Vorda客戶管理系統 (網上版).";

int freePort()
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    int port = ntohs(addr.sin_port);
    ::close(fd);
    return port;
}

// The program in a folder; a thread collects its output so that its logging
// never blocks on a full pipe.
class Program {
public:
    Program(const std::string& folder, int port)
    {
        int out[2];
        EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, out[1], 2);
        std::string portText = std::to_string(port);
        std::vector<std::string> args = {TARNWICKE_BINARY_DIR "/tarnwicke", "--folder", folder, "--port", portText,
                                         "--no-browser", "--console"};
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        fd = out[0];
        reader = std::thread([this] {
            char buf[4096];
            for (;;) {
                ssize_t n = ::read(fd, buf, sizeof buf);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                std::lock_guard<std::mutex> lock(mutex);
                output.append(buf, size_t(n));
            }
        });
    }
    ~Program()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (reader.joinable()) reader.join();
        ::close(fd);
    }
    std::string text()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return output;
    }
    // Waits until `what` appears in the output (at most `seconds`).
    bool waitFor(const std::string& what, int seconds = 30)
    {
        auto deadline = Clock::now() + std::chrono::seconds(seconds);
        while (Clock::now() < deadline) {
            if (text().find(what) != std::string::npos) return true;
            if (pid > 0 && waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                if (reader.joinable()) reader.join();
                return text().find(what) != std::string::npos;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    bool running() { return pid > 0 && waitpid(pid, &status, WNOHANG) == 0; }
    // Sends a signal and waits (at most 30 s) for the end; the exit code, or -1.
    int stop(int signal)
    {
        if (pid <= 0) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        kill(pid, signal);
        for (int i = 0; i < 3000; i++) {
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (pid > 0) {  // did not end in time
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            pid = -1;
            if (reader.joinable()) reader.join();
            return -1;
        }
        if (reader.joinable()) reader.join();
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    pid_t pid = -1;
    int status = 0;

private:
    int fd = -1;
    std::thread reader;
    std::mutex mutex;
    std::string output;
};

int connectTo(int port, int timeoutMs)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

struct Reply {
    int status = 0;
    bool complete = false;  // status line, head and exactly Content-Length bytes of body
    std::string body;
};

// Sends one raw request and reads the reply until the server closes (or the
// time-out passes).
Reply exchange(int port, const std::string& request, int timeoutMs = 15000)
{
    Reply r;
    int fd = connectTo(port, timeoutMs);
    if (fd < 0) return r;
    std::string raw;
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size())) {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        char buf[16384];
        while (Clock::now() < deadline) {
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            raw.append(buf, size_t(n));
        }
    }
    ::close(fd);
    size_t headEnd = raw.find("\r\n\r\n");
    if (raw.compare(0, 9, "HTTP/1.1 ") != 0 || headEnd == std::string::npos) return r;
    r.status = std::atoi(raw.c_str() + 9);
    r.body = raw.substr(headEnd + 4);
    std::string head = raw.substr(0, headEnd);
    size_t cl = head.find("Content-Length: ");
    if (cl != std::string::npos) r.complete = std::strtoull(head.c_str() + cl + 16, nullptr, 10) == r.body.size();
    return r;
}

std::string urlEncode(const std::string& s)
{
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.') {
            out += char(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

Reply post(int port, const std::vector<std::pair<std::string, std::string>>& fields, int timeoutMs = 15000)
{
    std::string body;
    for (auto& [k, v] : fields) body += (body.empty() ? "" : "&") + urlEncode(k) + "=" + urlEncode(v);
    return exchange(port,
                    "POST / HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                    "Connection: close\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body,
                    timeoutMs);
}

Reply get(int port, const std::string& query, int timeoutMs = 15000)
{
    return exchange(port, "GET /?" + query + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", timeoutMs);
}

bool has(const std::string& body, const std::string& text) { return body.find(text) != std::string::npos; }

// A good page: complete, 200, with that title.
bool page(const Reply& r, const std::string& title)
{
    return r.complete && r.status == 200 && has(r.body, "<title>" + title + "</title>") && has(r.body, "</html>");
}

[[maybe_unused]] int login(int port)
{
    Reply r = post(port, {{"page", "checkLogin"}, {"id", "admin"}, {"password", "kwirt"}});
    size_t at = r.body.find("session=");
    if (!r.complete || !has(r.body, "<frameset") || at == std::string::npos) return 0;
    return std::atoi(r.body.c_str() + at + 8);
}

// The first option value of a <select name=NAME> in a page.
[[maybe_unused]] std::string firstOption(const std::string& body, const std::string& name)
{
    size_t at = body.find("<select name=" + name + ">");
    if (at == std::string::npos) return "";
    at = body.find("value=", at);
    if (at == std::string::npos) return "";
    at += 6;
    size_t end = body.find_first_of(" >", at);
    return body.substr(at, end - at);
}

// Runs tarnwicke-db with arguments; its exit code and output.
[[maybe_unused]] int dbTool(const std::vector<std::string>& args, std::string& out)
{
    std::string command = TARNWICKE_BINARY_DIR "/tarnwicke-db";
    for (const std::string& a : args) command += " '" + a + "'";
    command += " 2>&1";
    out.clear();
    FILE* p = ::popen(command.c_str(), "r");
    if (p == nullptr) return -1;
    char buf[8192];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int status = ::pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void copyWebFiles(const std::string& folder)
{
    for (const char* f : {"login.htm", "style.css", "common.js", "introduction.htm"})
        fs::copy_file(std::string(TARNWICKE_SOURCE_DIR "/web/") + f, folder + "/" + f);
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif
#else
constexpr bool sanitized = false;
#endif

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
