// Request handling over loopback: files, pages, bodies, error replies.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <future>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>

#include "engine286/database.h"
#include "http_test_helpers.h"
#include "support/temp_dir.h"

using namespace httptest;
using namespace std::string_literals;
namespace fs = std::filesystem;

namespace {

// What the pages saw, for the tests to check.
std::mutex seenMutex;
std::string uploadPath;
bool uploadExisted = false;
std::string uploadContent;
std::atomic<oid_t> storedId{0};

bool loginPage(WWWconnection& con)
{
    pageHead(con);
    con.append("login page");
    return true;
}

// Writes name=value; for each name listed in the "show" variable.
bool echoPage(WWWconnection& con)
{
    pageHead(con);
    std::string names = con.get("show") != nullptr ? con.get("show") : "";
    size_t p = 0;
    while (p <= names.size()) {
        size_t comma = names.find(',', p);
        if (comma == std::string::npos) comma = names.size();
        std::string name = names.substr(p, comma - p);
        const char* value = con.get(name.c_str());
        std::string item = name + "=" + (value != nullptr ? value : "-") + ";";
        con.appendBytes(item.data(), item.size());
        p = comma + 1;
    }
    return true;
}

bool bigPage(WWWconnection& con)
{
    pageHead(con);
    size_t size = std::strtoul(con.get("size"), nullptr, 10);
    std::string body(size, 'b');
    con.appendBytes(body.data(), body.size());
    return true;
}

bool nothingPage(WWWconnection&)
{
    return true;
}

// Stores an object, writes part of a page and fails.
bool throwingPage(WWWconnection& con)
{
    pageHead(con);
    con.append("before the failure");
    dbDatabase* db = reinterpret_cast<dbDatabase*>(std::strtoull(con.get("db"), nullptr, 16));
    db->beginTransaction(dbDatabase::dbExclusiveLock);
    oid_t id = db->allocateId();
    offs_t pos = db->allocate(16);
    db->setPos(id, pos);
    uint32_t size = 16;
    std::memcpy(db->getBase() + pos, &size, sizeof size);
    storedId = id;
    throw std::runtime_error("page failed");
}

bool uploadPage(WWWconnection& con)
{
    pageHead(con);
    std::lock_guard<std::mutex> guard(seenMutex);
    const char* file = con.get("file");
    uploadPath = file != nullptr ? file : "";
    uploadExisted = !uploadPath.empty() && fs::exists(uploadPath);
    uploadContent = uploadExisted ? readFile(uploadPath) : "";
    const char* note = con.get("note");
    con.append("note=").append(note).setMode(WWWconnection::markup);
    con.append(";empty=").append(con.get("empty") != nullptr ? "yes" : "no");
    return true;
}

const WWWpage pages[] = {
    {"", loginPage},         {"echo", echoPage},         {"big", bigPage},
    {"nothing", nothingPage}, {"throws", throwingPage},   {"upload", uploadPage},
};

class HttpRequest : public ::testing::Test {
protected:
    void SetUp() override
    {
        site = dir.file("site");
        fs::create_directories(site + "/sub");
        fs::create_directories(dir.file("uploads"));
        writeFile(site + "/style.css", "body { color: red }");
        writeFile(site + "/logo.png", std::string("\x89PNG\r\n\x1a\n\0\0\0", 11));
        writeFile(site + "/sub/page.htm", "<p>sub page</p>");
        writeFile(site + "/script.JS", "var x = 1;");
        writeFile(dir.file("secret.htm"), "secret outside");
        writeFile(site + "/Tarnwicke.zrt", "database");
        writeFile(site + "/Tarnwicke0.zrb", "backup");
        writeFile(site + "/Tarnwicke.002", "backup volume");
        writeFile(site + "/.hidden.css", "hidden");
        writeFile(site + "/notes.cpp", "source");
        fs::create_symlink("../secret.htm", site + "/outside.css");
        fs::create_symlink("Tarnwicke.zrt", site + "/database.css");
        fs::create_symlink("style.css", site + "/alias.css");
        options.programFolder = site;
        options.uploadFolder = dir.file("uploads");
        options.readTimeoutMs = 2000;
    }

    Reply get(TestServer& server, const std::string& target)
    {
        return parseReply(roundTrip(server.port, "GET " + target + " HTTP/1.1\r\nHost: x\r\n\r\n"));
    }

    TempDir dir;
    std::string site;
    ServerOptions options;
};

TEST_F(HttpRequest, ServesWebFilesWithTheirType)
{
    TestServer server(pages, std::size(pages), options);
    ASSERT_TRUE(server.opened);
    struct {
        const char* target;
        const char* type;
        std::string body;
    } cases[] = {
        {"/style.css", "text/css", "body { color: red }"},
        {"/logo.png", "image/png", std::string("\x89PNG\r\n\x1a\n\0\0\0", 11)},
        {"/sub/page.htm", "text/html; charset=utf-8", "<p>sub page</p>"},
        {"/sub%2Fpage.htm", "text/html; charset=utf-8", "<p>sub page</p>"},
        {"/script.JS", "application/javascript", "var x = 1;"},
        {"/alias.css", "text/css", "body { color: red }"},
    };
    for (const auto& c : cases) {
        Reply r = get(server, c.target);
        EXPECT_EQ(r.statusLine, "HTTP/1.1 200 OK") << c.target;
        EXPECT_EQ(r.headers["content-type"], c.type) << c.target;
        EXPECT_EQ(r.headers["content-length"], std::to_string(c.body.size())) << c.target;
        EXPECT_EQ(r.headers["connection"], "close") << c.target;
        EXPECT_EQ(r.body, c.body) << c.target;
    }
}

TEST_F(HttpRequest, RootServesIndexOrTheLoginPage)
{
    TestServer server(pages, std::size(pages), options);
    Reply without = get(server, "/");
    EXPECT_EQ(without.body, "login page");
    EXPECT_EQ(without.headers["content-length"], "10");
    writeFile(site + "/index.html", "<p>index</p>");
    Reply with = get(server, "/");
    EXPECT_EQ(with.body, "<p>index</p>");
    EXPECT_EQ(with.headers["content-type"], "text/html; charset=utf-8");
}

TEST_F(HttpRequest, OnlyWebFilesInsideTheProgramFolderAreServed)
{
    TestServer server(pages, std::size(pages), options);
    for (const std::string& target : std::initializer_list<std::string>{
             "/../secret.htm", "//etc/passwd", "/%2Fetc%2Fpasswd", "/%2e%2e/secret.htm", "/sub/../../secret.htm",
          "/sub%2F..%2F..%2Fsecret.htm", "/sub/%2E%2E/style.css", "/outside.css", "/database.css",
          "/Tarnwicke.zrt", "/Tarnwicke0.zrb", "/Tarnwicke.002", "/.hidden.css", "/notes.cpp", "/sub",
          "/nosuch.css", "/style.css%00.png", "/" + std::string(300, 'a') + ".css"}) {
        Reply r = get(server, target);
        EXPECT_EQ(r.statusLine, "HTTP/1.1 200 OK") << target;
        EXPECT_EQ(r.body, "login page") << target;
    }
}

TEST_F(HttpRequest, ErrorReplies)
{
    options.readTimeoutMs = 300;
    TestServer server(pages, std::size(pages), options);
    struct {
        std::string request;
        std::string status;
    } cases[] = {
        {"GET /?page=nosuch HTTP/1.1\r\n\r\n", "404 Not found"},
        {"GET /?page=nothing HTTP/1.1\r\n\r\n", "404 Not found"},
        {"GET /?x=1 HTTP/1.1\r\n\r\n", "406 Not Acceptable"},
        {"GET /? HTTP/1.1\r\n\r\n", "406 Not Acceptable"},
        {"POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\nx=1", "406 Not Acceptable"},
        {"PUT /x HTTP/1.1\r\nContent-Length: 2\r\n\r\nab", "405 Method not allowed"},
        {"get / HTTP/1.1\r\n\r\n", "405 Method not allowed"},
        {"GET nopath HTTP/1.1\r\n\r\n", "400 Bad Request"},
        {"GET /\r\n\r\n", "400 Bad Request"},
        {"POST nopath HTTP/1.1\r\n\r\n", "400 Bad Request"},
        {"GET / HTTP/1.1\r\nX: a\0b\r\n\r\n"s, "400 Bad Request"},
        {"POST /?page=echo HTTP/1.1\r\nContent-Length: 1x\r\n\r\n", "400 Bad Request"},
        {"POST /?page=echo HTTP/1.1\r\nContent-Length: 99999999999\r\n\r\n", "413 Request Entity Too Large"},
        {"GET / HTTP/1.1\n\n", "408 Request Timeout"},
        {"GET / HTTP/1.1\r\nHost: x\r\n", "408 Request Timeout"},
        {"", "408 Request Timeout"},
        {"POST /?page=echo HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc", "408 Request Timeout"},
    };
    for (const auto& c : cases) {
        Reply r = parseReply(roundTrip(server.port, c.request));
        EXPECT_EQ(r.statusLine, "HTTP/1.1 " + c.status) << c.request;
        EXPECT_EQ(r.headers["connection"], "close") << c.request;
        EXPECT_EQ(r.body, errorBody(c.status)) << c.request;
    }
}

TEST_F(HttpRequest, HeadLargerThanItsBufferIsRefused)
{
    TestServer server(pages, std::size(pages), options);
    std::string request = "GET /?page=echo HTTP/1.1\r\nX: " + std::string(70000, 'a') + "\r\n\r\n";
    Reply r = parseReply(roundTrip(server.port, request));
    EXPECT_EQ(r.statusLine, "HTTP/1.1 400 Bad Request");
}

TEST_F(HttpRequest, PostedFormsAndQueryStrings)
{
    TestServer server(pages, std::size(pages), options);
    std::string form = "a=1&b=x+y%21&c=from+body";
    std::string head = "POST /?page=echo&show=a,b,c&c=from+query HTTP/1.1\r\n"
                       "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: "
                       + std::to_string(form.size()) + "\r\n\r\n";
    // Posted fields win over the query string of the address the form was
    // shown at (a form posts back to it).
    const std::string expected = "a=1;b=x y!;c=from body;";

    // The body together with the head, and the body sent on its own later.
    EXPECT_EQ(parseReply(roundTrip(server.port, head + form)).body, expected);
    Client late(server.port);
    ASSERT_TRUE(late.send(head));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(late.send(form));
    Reply r = parseReply(late.readAll());
    EXPECT_EQ(r.body, expected);
    EXPECT_EQ(r.headers["content-length"], std::to_string(expected.size()));

    // Header names in any case.
    std::string shouting = "POST /?page=echo&show=a HTTP/1.1\r\nCONTENT-LENGTH: 3\r\n\r\na=9";
    EXPECT_EQ(parseReply(roundTrip(server.port, shouting)).body, "a=9;");
    std::string lower = "POST /?page=echo&show=a HTTP/1.1\r\ncontent-length:3\r\n\r\na=8";
    EXPECT_EQ(parseReply(roundTrip(server.port, lower)).body, "a=8;");

    // Without a length the body is ignored.
    std::string noLength = "POST /?page=echo&show=a,q HTTP/1.1\r\nHost: x\r\n\r\na=1";
    EXPECT_EQ(parseReply(roundTrip(server.port, noLength)).body, "a=-;q=-;");

    // The page name may come from the body alone.
    std::string inBody = "POST / HTTP/1.1\r\nContent-Length: 19\r\n\r\npage=echo&show=page";
    EXPECT_EQ(parseReply(roundTrip(server.port, inBody)).body, "page=echo;");
}

std::string multipartBody(const std::string& boundary, const std::string& fileData)
{
    return "--" + boundary + "\r\n"
           "Content-Disposition: form-data; name=\"page\"\r\n\r\nupload\r\n"
           "--" + boundary + "\r\n"
           "Content-Disposition: form-data; name=\"note\"\r\n\r\nline one\r\nline <two>\r\n"
           "--" + boundary + "\r\n"
           "content-disposition: form-data; name=\"file\"; filename=\"picture.png\"\r\n"
           "Content-Type: image/png\r\n\r\n" + fileData + "\r\n"
           "--" + boundary + "\r\n"
           "Content-Disposition: form-data; name=\"empty\"; filename=\"\"\r\n\r\n\r\n"
           "--" + boundary + "--\r\n";
}

TEST_F(HttpRequest, MultipartFieldsAndFilesAreReadAndTheFileRemoved)
{
    TestServer server(pages, std::size(pages), options);
    std::mt19937 random(7);
    std::string small = "tiny file\r\n-- not a boundary";
    // Larger than the body buffer, so that it is streamed in chunks, with
    // near-boundaries to be passed over.
    std::string large(2 * 1048576 + 333, '\0');
    for (char& c : large) c = char(random());
    for (size_t at = 1048570; at < large.size(); at += 524288) large.replace(at, 12, "\r\n--XyZ12345");
    for (const std::string& data : {small, large}) {
        const std::string boundary = "XyZ123456";
        std::string body = multipartBody(boundary, data);
        std::string request = "POST / HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=" + boundary
                              + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        Reply r = parseReply(roundTrip(server.port, request));
        EXPECT_EQ(r.body, "note=line one\r\nline &lt;two&gt;;empty=no");
        std::lock_guard<std::mutex> guard(seenMutex);
        EXPECT_TRUE(uploadExisted);
        EXPECT_TRUE(uploadContent == data) << "upload of " << data.size() << " bytes differs";
        EXPECT_EQ(uploadPath.rfind(dir.file("uploads") + "/", 0), 0u) << uploadPath;
        EXPECT_FALSE(fs::exists(uploadPath)) << uploadPath;
    }
}

TEST_F(HttpRequest, PageRepliesCarryTheirLength)
{
    TestServer server(pages, std::size(pages), options);
    for (size_t size : {size_t(0), size_t(999999), size_t(2000000)}) {
        Reply r = get(server, "/?page=big&size=" + std::to_string(size));
        EXPECT_EQ(r.statusLine, "HTTP/1.1 200 OK");
        EXPECT_EQ(r.headers["content-length"], std::to_string(size));
        EXPECT_EQ(r.body.size(), size);
    }
}

TEST_F(HttpRequest, ThrowingPageRepliesWithWhatItWroteAndIsCommitted)
{
    dbDatabase db;
    ASSERT_TRUE(db.open("httpthrow", dir.file("throw.zrt").c_str()));
    options.db = &db;
    {
        TestServer server(pages, std::size(pages), options);
        char address[32];
        std::snprintf(address, sizeof address, "%llx", static_cast<unsigned long long>(uintptr_t(&db)));
        Reply r = get(server, std::string("/?page=throws&db=") + address);
        EXPECT_EQ(r.body, "before the failure");
        EXPECT_EQ(r.headers["content-length"], "18");
        ASSERT_NE(storedId.load(), 0u);

        // The object is readable from another thread while the worker lives
        // on: its transaction has ended with a commit.
        auto check = std::async(std::launch::async, [&db] {
            db.attach();
            db.beginTransaction(dbDatabase::dbSharedLock);
            bool readable = true;
            try {
                db.getRow(storedId);
            } catch (...) {
                readable = false;
            }
            db.commit();
            db.detach();
            return readable;
        });
        ASSERT_EQ(check.wait_for(std::chrono::seconds(10)), std::future_status::ready)
            << "the page's transaction was left open";
        EXPECT_TRUE(check.get());
    }
    db.close();
}

TEST_F(HttpRequest, KeptAliveConnectionServesRequestsInTurn)
{
    options.keepAlive = true;
    TestServer server(pages, std::size(pages), options);
    Client c(server.port);
    std::string first = "GET /?page=echo&show=n&n=1 HTTP/1.1\r\nConnection: keep-alive\r\n\r\n";
    std::string second = "GET /style.css HTTP/1.1\r\nConnection: keep-alive\r\n\r\n";
    std::string third = "GET /?page=echo&show=n&n=3 HTTP/1.1\r\n\r\n";
    ASSERT_TRUE(c.send(first + second + third));
    std::string all = c.readAll();
    std::string expected1 = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\nConnection: Keep-Alive\r\n"
                            "Content-type: text/html\r\n\r\nn=1;";
    ASSERT_EQ(all.substr(0, expected1.size()), expected1);
    EXPECT_NE(all.find("body { color: red }HTTP/1.1 200 OK"), std::string::npos) << all;
    EXPECT_EQ(all.substr(all.size() - 4), "n=3;");
    EXPECT_NE(all.find("Connection: close"), std::string::npos);
}

}  // namespace
