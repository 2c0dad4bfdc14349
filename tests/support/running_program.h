#pragma once
// The real program started in a temporary folder for tests that drive it over
// HTTP from outside: a free port, the running process with its output, and
// a small HTTP client.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
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
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace programtest {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

inline const char* welcome = "歡迎使用Vorda客戶管理系統 (網上版).";

inline int freePort()
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
    // Waits for the program to end by itself; the exit code, or -1.
    int wait()
    {
        if (pid > 0) {
            waitpid(pid, &status, 0);
            pid = -1;
        }
        if (reader.joinable()) reader.join();
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
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

inline int connectTo(int port, int timeoutMs)
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
inline Reply exchange(int port, const std::string& request, int timeoutMs = 15000)
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

inline std::string urlEncode(const std::string& s)
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

inline Reply post(int port, const std::vector<std::pair<std::string, std::string>>& fields, int timeoutMs = 15000)
{
    std::string body;
    for (auto& [k, v] : fields) body += (body.empty() ? "" : "&") + urlEncode(k) + "=" + urlEncode(v);
    return exchange(port,
                    "POST / HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                    "Connection: close\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body,
                    timeoutMs);
}

inline Reply get(int port, const std::string& query, int timeoutMs = 15000)
{
    return exchange(port, "GET /?" + query + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", timeoutMs);
}

inline bool has(const std::string& body, const std::string& text) { return body.find(text) != std::string::npos; }

// A good page: complete, 200, with that title.
inline bool page(const Reply& r, const std::string& title)
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

inline void copyWebFiles(const std::string& folder)
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

}  // namespace programtest
