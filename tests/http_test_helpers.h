#pragma once
// Helpers of the web server tests: a server on a free loopback port with its
// own queue and accept thread, and a plain client that sends raw bytes and
// reads the reply until the server closes.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "engine286/wwwapi.h"

namespace httptest {

inline int64_t nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

struct ServerOptions {
    dbDatabase* db = nullptr;
    int workers = 2;
    int pool = 16;
    int readTimeoutMs = 2000;
    bool keepAlive = false;
    std::string programFolder = ".";
    std::string uploadFolder;
};

// An HTTPapi listening on 127.0.0.1 at a free port, served by a QueueManager
// whose accept loop runs on a thread of its own.
class TestServer {
public:
    TestServer(const WWWpage* pages, int nPages, const ServerOptions& options = {})
        : api(options.db, nPages, pages, options.keepAlive, options.readTimeoutMs)
    {
        api.setProgramFolder(options.programFolder);
        if (!options.uploadFolder.empty()) api.setUploadFolder(options.uploadFolder);
        opened = api.open("127.0.0.1:0");
        port = api.getPort();
        queue = std::make_unique<QueueManager>(api, options.db, options.workers, options.pool);
        acceptThread = std::thread([this] { queue->start(); });
    }
    ~TestServer()
    {
        queue->stop();
        acceptThread.join();
        queue.reset();
    }
    void stop() { queue->stop(); }

    HTTPapi api;
    bool opened = false;
    int port = -1;
    std::unique_ptr<QueueManager> queue;
    std::thread acceptThread;
};

// A raw client connection to 127.0.0.1:port.
class Client {
public:
    explicit Client(int port)
    {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(uint16_t(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~Client()
    {
        if (fd >= 0) ::close(fd);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool send(const std::string& bytes)
    {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += size_t(n);
        }
        return true;
    }
    // True when bytes (or the end) arrive within the time.
    bool readable(int timeoutMs)
    {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, timeoutMs) > 0;
    }
    // Everything the server sends until it closes, or until the time is up.
    std::string readAll(int timeoutMs = 10000)
    {
        std::string out;
        int64_t deadline = nowMs() + timeoutMs;
        char buf[65536];
        for (;;) {
            int64_t left = deadline - nowMs();
            if (left <= 0) break;
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, int(left)) <= 0) break;
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            out.append(buf, size_t(n));
        }
        return out;
    }

    int fd = -1;
    bool connected = false;
};

// One request on a new connection; the whole reply.
inline std::string roundTrip(int port, const std::string& request, int timeoutMs = 10000)
{
    Client c(port);
    if (!c.connected || !c.send(request)) return {};
    return c.readAll(timeoutMs);
}

struct Reply {
    std::string statusLine;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
};

inline Reply parseReply(const std::string& raw)
{
    Reply r;
    size_t headEnd = raw.find("\r\n\r\n");
    if (headEnd == std::string::npos) {
        r.body = raw;
        return r;
    }
    size_t lineEnd = raw.find("\r\n");
    r.statusLine = raw.substr(0, lineEnd);
    size_t p = lineEnd + 2;
    while (p < headEnd) {
        size_t e = raw.find("\r\n", p);
        std::string line = raw.substr(p, e - p);
        size_t colon = line.find(':');
        if (colon != std::string::npos) {
            std::string name = line.substr(0, colon);
            for (char& c : name) c = char(std::tolower(static_cast<unsigned char>(c)));
            size_t v = line.find_first_not_of(' ', colon + 1);
            std::string value = v == std::string::npos ? "" : line.substr(v);
            while (!value.empty() && value.back() == ' ') value.pop_back();
            r.headers[name] = value;
        }
        p = e + 2;
    }
    r.body = raw.substr(headEnd + 4);
    return r;
}

// The body every error reply carries for a status text.
inline std::string errorBody(const std::string& status)
{
    return "<HTML><HEAD><TITLE>Invalid request to the database</TITLE>\r\n</HEAD><BODY>\n\r<H1>" + status
           + "</H1>\n\r</BODY></HTML>\r\n\r\n";
}

// Writes the header block every page writes first.
inline void pageHead(WWWconnection& con)
{
    con.setMode(WWWconnection::markup);
    con.append("Content-type: text/html\r\n\r\n");
    con.setMode(WWWconnection::markup);
}

}  // namespace httptest
