// Hostile clients: idle connections, a client sending one byte a second,
// oversized heads and bodies, garbage and half-closed connections; meanwhile
// an ordinary request keeps being answered within seconds, and the program
// still ends cleanly on SIGTERM.

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

const char* loginTitle = "客戶管理系統 (網上版) - 登入";

// Sends what it can of a request; a reset by the server is no error here.
void sendAll(int fd, const std::string& data)
{
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        sent += size_t(n);
    }
}

// Reads until the server closes, the time-out passes or `limit` bytes came.
std::string readReply(int fd, int timeoutMs, size_t limit = 1 << 20)
{
    std::string raw;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[8192];
    while (Clock::now() < deadline && raw.size() < limit) {
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n <= 0) break;
        raw.append(buf, size_t(n));
    }
    return raw;
}

std::string statusLine(const std::string& raw)
{
    size_t end = raw.find("\r\n");
    return raw.empty() ? "(closed without reply)" : raw.substr(0, end);
}

TEST(HostileClients, OthersKeepBeingServedAndTheProgramEndsCleanly)
{
    TempDir dir;
    copyWebFiles(dir.path());
    int port = freePort();
    Program program(dir.path(), port);
    ASSERT_TRUE(program.waitFor(welcome)) << program.text();
    ASSERT_TRUE(page(get(port, "page=login"), loginTitle));

    auto testStart = Clock::now();
    // A normal client asks for the login page every 200 ms throughout.
    std::atomic<bool> done{false};
    std::atomic<long> probes{0}, probeFailures{0};
    std::atomic<long> slowestMs{0};
    std::thread probe([&] {
        for (int i = 0; i < 500 && !done; i++) {
            auto t0 = Clock::now();
            Reply r = get(port, "page=login", 10000);
            long ms = long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
            probes++;
            if (!page(r, loginTitle) || ms > 3000) {
                probeFailures++;
                std::fprintf(stderr, "probe failed at %ld ms: %d %ld ms\n", long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - testStart).count()), r.status, ms);
            }
            if (ms > slowestMs) slowestMs = ms;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    });

    std::fprintf(stderr, "%ld step: %s\n", long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - testStart).count()), "100 idle connections");
    // 100 idle connections, held open to the end.
    std::vector<int> idle;
    for (int i = 0; i < 100; i++) {
        int fd = connectTo(port, 5000);
        EXPECT_GE(fd, 0);
        if (fd >= 0) idle.push_back(fd);
    }
    // Two of them start a request and stop in the middle of it.
    for (size_t i = 0; i < 2 && i < idle.size(); i++) sendAll(idle[i], "GET /?page=lo");

    std::fprintf(stderr, "%ld step: %s\n", long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - testStart).count()), "One byte a second");
    // One byte a second, for a bounded while.
    std::atomic<long> slowBytes{0};
    std::thread slow([&] {
        int fd = connectTo(port, 5000);
        std::string request = "GET /?page=login HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
        for (size_t i = 0; i < 8 && fd >= 0; i++) {
            sendAll(fd, request.substr(i, 1));
            slowBytes++;
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
        if (fd >= 0) ::close(fd);
    });

    std::fprintf(stderr, "%ld step: %s\n", long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - testStart).count()), "A request head over");
    // A request head over 64 KB: refused, the connection closed.
    std::string bigHead;
    {
        int fd = connectTo(port, 10000);
        ASSERT_GE(fd, 0);
        sendAll(fd, "GET /?page=login HTTP/1.1\r\nHost: x\r\nX-Filler: " + std::string(70 * 1024, 'a'));
        bigHead = statusLine(readReply(fd, 10000));
        ::close(fd);
    }
    std::fprintf(stderr, "%ld step: %s\n", long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - testStart).count()), "A body announced");
    // A body announced beyond the limit: refused without reading it.
    std::string bigBody;
    {
        int fd = connectTo(port, 10000);
        ASSERT_GE(fd, 0);
        sendAll(fd, "POST / HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                    "Content-Length: 4000000000\r\n\r\npage=login&" + std::string(64 * 1024, 'b'));
        bigBody = statusLine(readReply(fd, 10000));
        ::close(fd);
    }
    std::fprintf(stderr, "%ld step: %s\n", long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - testStart).count()), "A large body");
    // A large body actually sent (8 MB of one field).
    std::string largeSent;
    {
        std::string body = "page=login&filler=" + std::string(8 << 20, 'c');
        int fd = connectTo(port, 20000);
        ASSERT_GE(fd, 0);
        sendAll(fd, "POST / HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\nConnection: close\r\n"
                    "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
        largeSent = statusLine(readReply(fd, 20000));
        ::close(fd);
    }
    std::fprintf(stderr, "%ld step: %s\n", long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - testStart).count()), "A body shorter");
    // A body shorter than announced, the connection then left open.
    int shortBody = connectTo(port, 5000);
    sendAll(shortBody, "POST / HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                       "Content-Length: 100000\r\n\r\npage=login");
    std::fprintf(stderr, "%ld step: %s\n", long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - testStart).count()), "Garbage bytes");
    // Garbage bytes, with and without an end of head.
    std::string garbage;
    {
        std::mt19937 random(7);
        std::string bytes;
        for (int i = 0; i < 4096; i++) bytes += char(random());
        int fd = connectTo(port, 10000);
        ASSERT_GE(fd, 0);
        sendAll(fd, bytes + "\r\n\r\n");
        garbage = statusLine(readReply(fd, 10000));
        ::close(fd);
        fd = connectTo(port, 10000);
        sendAll(fd, bytes);
        ::close(fd);
        fd = connectTo(port, 10000);
        static const char odd[] = "\0\0\0\r\n\r\n\xff\xfe GARBAGE / HTTP/9.9\r\n\r\n";
        sendAll(fd, std::string(odd, sizeof odd - 1));
        garbage += " / " + statusLine(readReply(fd, 10000));
        ::close(fd);
    }
    std::fprintf(stderr, "%ld step: %s\n", long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - testStart).count()), "Half-closed:");
    // Half-closed: a whole request, then no more sending; the reply still comes.
    std::string halfClosed;
    {
        int fd = connectTo(port, 10000);
        ASSERT_GE(fd, 0);
        sendAll(fd, "GET /?page=login HTTP/1.1\r\nHost: x\r\n\r\n");
        ::shutdown(fd, SHUT_WR);
        halfClosed = statusLine(readReply(fd, 10000));
        ::close(fd);
        // And half a request, then no more sending.
        fd = connectTo(port, 10000);
        sendAll(fd, "GET /?page=lo");
        ::shutdown(fd, SHUT_WR);
        halfClosed += " / " + statusLine(readReply(fd, 10000));
        ::close(fd);
    }
    std::fprintf(stderr, "%ld step: %s\n", long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - testStart).count()), "Many connections");
    // Many connections opened and reset at once.
    for (int i = 0; i < 200; i++) {
        int fd = connectTo(port, 5000);
        if (fd < 0) continue;
        linger l{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        if (i % 2 == 0) sendAll(fd, "GET /?page=login HTTP/1.1\r\n");
        ::close(fd);
    }

    slow.join();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    done = true;
    probe.join();
    bool stillRunning = program.running();
    std::printf("probes %ld, failed %ld, slowest %ld ms; idle connections %zu, slow client sent %ld bytes\n",
                long(probes), long(probeFailures), long(slowestMs), idle.size(), long(slowBytes));
    std::printf("head > 64 KB: %s; body over the limit: %s; 8 MB body: %s; garbage: %s; half-closed: %s\n",
                bigHead.c_str(), bigBody.c_str(), largeSent.c_str(), garbage.c_str(), halfClosed.c_str());
    EXPECT_GT(probes, 10);
    EXPECT_EQ(probeFailures, 0);
    EXPECT_LT(slowestMs, 3000);
    EXPECT_TRUE(stillRunning);
    // The refusal may be lost to the reset of a connection closed with unread bytes.
    EXPECT_TRUE(bigHead == "HTTP/1.1 400 Bad Request" || bigHead == "(closed without reply)") << bigHead;
    EXPECT_TRUE(bigBody == "HTTP/1.1 413 Request Entity Too Large" || bigBody == "(closed without reply)") << bigBody;
    EXPECT_EQ(halfClosed.substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_TRUE(page(get(port, "page=login"), loginTitle));

    for (int fd : idle) ::close(fd);
    ::close(shortBody);
    EXPECT_EQ(program.stop(SIGTERM), 0) << program.text();
}

// Each client that has sent part of a request head holds one of the server's
// eight worker threads until the 30 s read time-out; ten such clients leave
// nobody to answer anyone else for those 30 s (seen: the login page took
// 10 s and more, or got no answer). Skipped until the server frees workers
// from slow heads.
TEST(HostileClients, TenHalfSentHeadsDoNotStopOthersBeingServed)
{
    TempDir dir;
    copyWebFiles(dir.path());
    int port = freePort();
    Program program(dir.path(), port);
    ASSERT_TRUE(program.waitFor(welcome)) << program.text();
    std::vector<int> slow;
    for (int i = 0; i < 10; i++) {
        int fd = connectTo(port, 5000);
        ASSERT_GE(fd, 0);
        sendAll(fd, "GET /?page=lo");
        slow.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto t0 = Clock::now();
    Reply r = get(port, "page=login", 10000);
    long ms = long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
    EXPECT_TRUE(page(r, loginTitle));
    EXPECT_LT(ms, 3000);
    for (int fd : slow) ::close(fd);
    EXPECT_EQ(program.stop(SIGTERM), 0) << program.text();
}

}  // namespace
