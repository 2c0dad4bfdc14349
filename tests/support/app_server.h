#pragma once
// The web application on a free loopback port over a freshly seeded
// database in a temporary program folder, and a client that speaks to it
// from a chosen loopback address.

#include <map>
#include <memory>
#include <string>

#include "host/main_form.h"
#include "host/web_server.h"
#include "support/fake_ui.h"
#include "support/temp_dir.h"

struct HttpReply {
    std::string status;  // "HTTP/1.1 200 OK"
    std::string body;
    std::string raw;
};

class AppServer {
public:
    AppServer();
    ~AppServer();

    // GET /?query (query without the leading '?').
    HttpReply get(const std::string& query, const char* from = "127.0.0.1");
    // POST / with the fields url-encoded.
    HttpReply post(const std::map<std::string, std::string>& fields, const char* from = "127.0.0.1");
    // Logs in and returns the session number (0 when refused).
    int32_t login(const std::string& id, const std::string& password, const char* from = "127.0.0.1");
    // Adds an employee directly; returns its oid.
    int32_t addEmployee(const std::string& id, const std::string& password, int32_t permission,
                        const std::string& name = "");

    vordaDatabase& database() { return *db; }
    int port() const { return server->port(); }
    const std::string& folder() const { return dir.path(); }

private:
    HttpReply request(const std::string& bytes, const char* from);
    TempDir dir;
    std::string savedFolder;
    FakeUi ui;
    FakeServer stand_in;
    std::unique_ptr<vordaDatabase> db;
    std::unique_ptr<WebServer> server;
    std::unique_ptr<TMainForm> form;
};

// URL encoding of one value.
std::string urlEncode(const std::string& text);
// The number after "session=" in a reply, or 0.
int32_t sessionIn(const std::string& body);
