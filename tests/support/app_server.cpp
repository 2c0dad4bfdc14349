#include "support/app_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "app/pages.h"
#include "app/tables.h"
#include "engine286/cursor.h"

namespace fs = std::filesystem;

AppServer::AppServer()
{
    savedFolder = fs::current_path().string();
    fs::current_path(dir.path());
    writeFile(dir.file("login.htm"), "<html><body>LOGIN FORM</body></html>");
    writeFile(dir.file("style.css"), "body{}");
    db = makeHostDatabase();
    // The start-up sequence runs against a stand-in server; the real one
    // then listens on a free port instead of the stored one.
    form = std::make_unique<TMainForm>(*db, ui, stand_in);
    form->openBrowser = false;
    if (!form->FormShow()) throw std::runtime_error("the program did not start");
    server = std::make_unique<WebServer>(*db);
    std::string error;
    if (!server->start(0, error)) throw std::runtime_error("cannot listen: " + error);
}

AppServer::~AppServer()
{
    server->stop();
    server.reset();
    db->close();
    fs::current_path(savedFolder);
}

std::string urlEncode(const std::string& text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += char(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

int32_t sessionIn(const std::string& body)
{
    size_t at = body.find("session=");
    if (at == std::string::npos) return 0;
    return int32_t(std::atol(body.c_str() + at + 8));
}

HttpReply AppServer::request(const std::string& bytes, const char* from)
{
    HttpReply reply;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, from, &local.sin_addr);
    ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port()));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) break;
            done += size_t(n);
        }
        char buf[65536];
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (;;) {
            int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
            if (left <= 0) break;
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, left) <= 0) break;
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            reply.raw.append(buf, size_t(n));
        }
    }
    ::close(fd);
    size_t lineEnd = reply.raw.find("\r\n");
    reply.status = reply.raw.substr(0, lineEnd);
    size_t headEnd = reply.raw.find("\r\n\r\n");
    reply.body = headEnd == std::string::npos ? "" : reply.raw.substr(headEnd + 4);
    return reply;
}

HttpReply AppServer::get(const std::string& query, const char* from)
{
    return request("GET /?" + query + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n", from);
}

HttpReply AppServer::post(const std::map<std::string, std::string>& fields, const char* from)
{
    std::string body;
    for (auto& [name, value] : fields) {
        if (!body.empty()) body += '&';
        body += urlEncode(name) + "=" + urlEncode(value);
    }
    return request("POST / HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\nContent-Type: "
                   "application/x-www-form-urlencoded\r\nContent-Length: " +
                       std::to_string(body.size()) + "\r\n\r\n" + body,
                   from);
}

int32_t AppServer::login(const std::string& id, const std::string& password, const char* from)
{
    HttpReply r = post({{"page", "checkLogin"}, {"id", id}, {"password", password}}, from);
    if (r.body.find("<frameset") == std::string::npos) return 0;
    return sessionIn(r.body);
}

int32_t AppServer::addEmployee(const std::string& id, const std::string& password, int32_t permission,
                               const std::string& name)
{
    Employee e;
    e.id = id.c_str();
    e.password = password.c_str();
    e.name = name.c_str();
    e.permission = permission;
    oid_t oid = dbCursor<Employee>::insert(e);
    dbCursor<Employee> c(dbCursorForUpdate);
    c.at(oid);
    c->oid = int32_t(oid);
    c.update();
    db->commit();
    return int32_t(oid);
}
