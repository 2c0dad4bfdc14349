// The connection queue: pool limits, order of service, stopping, and idle
// or slow clients that must not hold up the others.

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "http_test_helpers.h"

using namespace httptest;

namespace {

// A gate that "slow" pages wait at, and the order in which pages ran.
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
    int waiting = 0;
    std::vector<std::string> served;

    void reset()
    {
        std::lock_guard<std::mutex> guard(mutex);
        open = false;
        waiting = 0;
        served.clear();
    }
    void release()
    {
        std::lock_guard<std::mutex> guard(mutex);
        open = true;
        changed.notify_all();
    }
    // Waits until n pages wait at the gate (bounded).
    bool awaitWaiting(int n)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return waiting >= n; });
    }
    std::vector<std::string> servedNow()
    {
        std::lock_guard<std::mutex> guard(mutex);
        return served;
    }
} gate;

bool slowPage(WWWconnection& con)
{
    std::unique_lock<std::mutex> lock(gate.mutex);
    gate.waiting++;
    gate.changed.notify_all();
    gate.changed.wait_for(lock, std::chrono::seconds(20), [] { return gate.open; });
    lock.unlock();
    pageHead(con);
    con.append("slow done");
    return true;
}

bool orderPage(WWWconnection& con)
{
    {
        std::lock_guard<std::mutex> guard(gate.mutex);
        gate.served.push_back(con.get("n") != nullptr ? con.get("n") : "?");
    }
    pageHead(con);
    con.append("n=").append(con.get("n"));
    return true;
}

const WWWpage pages[] = {{"slow", slowPage}, {"order", orderPage}};

const std::string slowRequest = "GET /?page=slow HTTP/1.1\r\n\r\n";

std::string orderRequest(int n)
{
    return "GET /?page=order&n=" + std::to_string(n) + " HTTP/1.1\r\n\r\n";
}

class HttpQueue : public ::testing::Test {
protected:
    void SetUp() override { gate.reset(); }
    void TearDown() override { gate.release(); }
};

TEST_F(HttpQueue, NextClientWaitsWhileAllConnectionsAreBusy)
{
    ServerOptions options;
    options.workers = 3;
    options.pool = 3;
    TestServer server(pages, std::size(pages), options);
    std::vector<std::unique_ptr<Client>> busy;
    for (int i = 0; i < 3; i++) {
        busy.push_back(std::make_unique<Client>(server.port));
        ASSERT_TRUE(busy.back()->send(slowRequest));
    }
    ASSERT_TRUE(gate.awaitWaiting(3));

    Client next(server.port);  // taken by the kernel's listen queue only
    ASSERT_TRUE(next.send(orderRequest(4)));
    EXPECT_FALSE(next.readable(300));
    EXPECT_TRUE(gate.servedNow().empty());

    gate.release();
    for (auto& c : busy) EXPECT_EQ(parseReply(c->readAll()).body, "slow done");
    EXPECT_EQ(parseReply(next.readAll()).body, "n=4");
}

TEST_F(HttpQueue, ConnectionsAreServedInArrivalOrder)
{
    ServerOptions options;
    options.workers = 1;
    TestServer server(pages, std::size(pages), options);
    Client first(server.port);
    ASSERT_TRUE(first.send(slowRequest));
    ASSERT_TRUE(gate.awaitWaiting(1));
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 1; i <= 5; i++) {
        clients.push_back(std::make_unique<Client>(server.port));
        ASSERT_TRUE(clients.back()->send(orderRequest(i)));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    gate.release();
    for (int i = 1; i <= 5; i++) EXPECT_EQ(parseReply(clients[size_t(i - 1)]->readAll()).body, "n=" + std::to_string(i));
    EXPECT_EQ(gate.servedNow(), (std::vector<std::string>{"1", "2", "3", "4", "5"}));
}

TEST_F(HttpQueue, StopWhileIdleEndsTheAcceptLoopAndTheWorkers)
{
    ServerOptions options;
    options.workers = 8;
    HTTPapi api(nullptr, std::size(pages), pages);
    ASSERT_TRUE(api.open("127.0.0.1:0"));
    auto queue = std::make_unique<QueueManager>(api, nullptr, 8, 10);
    auto loop = std::async(std::launch::async, [&] { queue->start(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    queue->stop();
    ASSERT_EQ(loop.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    queue->stop();  // a second stop does nothing
    auto joined = std::async(std::launch::async, [&] { queue.reset(); });
    ASSERT_EQ(joined.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

TEST_F(HttpQueue, StopLetsASlowRequestFinish)
{
    auto server = std::make_unique<TestServer>(pages, int(std::size(pages)));
    Client client(server->port);
    ASSERT_TRUE(client.send(slowRequest));
    ASSERT_TRUE(gate.awaitWaiting(1));
    server->stop();
    // New clients are no longer served.
    Client late(server->port);
    if (late.connected) {
        late.send(orderRequest(1));
        EXPECT_FALSE(late.readable(100) && !late.readAll(100).empty());
    }
    gate.release();
    EXPECT_EQ(parseReply(client.readAll()).body, "slow done");
    server.reset();
    EXPECT_TRUE(gate.servedNow().empty());
}

TEST_F(HttpQueue, IdleConnectionsDoNotHoldUpOtherClients)
{
    ServerOptions options;
    options.workers = 2;
    options.pool = 100;
    options.readTimeoutMs = 30000;  // far longer than the client waits
    TestServer server(pages, std::size(pages), options);
    std::vector<std::unique_ptr<Client>> idle;
    for (int i = 0; i < 50; i++) {
        idle.push_back(std::make_unique<Client>(server.port));
        ASSERT_TRUE(idle.back()->connected);
    }
    Client active(server.port);
    ASSERT_TRUE(active.send(orderRequest(7)));
    EXPECT_EQ(parseReply(active.readAll(5000)).body, "n=7");
    // Idle clients still get their answer once they speak.
    ASSERT_TRUE(idle.front()->send(orderRequest(8)));
    EXPECT_EQ(parseReply(idle.front()->readAll(5000)).body, "n=8");
}

TEST_F(HttpQueue, SilentClientIsAnsweredWhenItsTimeRunsOut)
{
    ServerOptions options;
    options.workers = 1;
    options.readTimeoutMs = 200;
    TestServer server(pages, std::size(pages), options);
    Client silent(server.port);
    Reply r = parseReply(silent.readAll(5000));
    EXPECT_EQ(r.statusLine, "HTTP/1.1 408 Request Timeout");
}

// Reads from a kept-alive connection until `needle` has arrived (bounded).
std::string readUntil(Client& c, const std::string& needle, int timeoutMs = 5000)
{
    std::string out;
    int64_t deadline = nowMs() + timeoutMs;
    char buf[4096];
    while (out.find(needle) == std::string::npos) {
        int64_t left = deadline - nowMs();
        if (left <= 0 || !c.readable(int(left))) break;
        ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        out.append(buf, size_t(n));
    }
    return out;
}

std::string postHead(size_t length)
{
    return "POST / HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
           std::to_string(length) + "\r\n\r\n";
}

// A request sent in pieces: what comes at once, then the rest, piece by piece.
struct Pieces {
    std::string first;
    std::vector<std::string> rest;
};

Pieces slowHead(int n)
{
    return {"GET /?page=order&n=" + std::to_string(n), {" HTTP/1.1\r\nHost: x\r\n", "\r\n"}};
}

Pieces slowBody(int n)
{
    std::string body = "page=order&n=" + std::to_string(n);
    return {postHead(body.size()) + body.substr(0, 6), {body.substr(6)}};
}

TEST_F(HttpQueue, HalfSentRequestsDoNotHoldWorkersAndKeepWhatCameSoFar)
{
    for (auto pieces : {slowHead, slowBody}) {
        ServerOptions options;
        options.workers = 2;
        options.pool = 32;
        options.readTimeoutMs = 30000;  // far longer than the clients wait
        TestServer server(pages, std::size(pages), options);
        std::vector<std::unique_ptr<Client>> slow;
        for (int i = 0; i < 10; i++) {
            slow.push_back(std::make_unique<Client>(server.port));
            ASSERT_TRUE(slow.back()->connected);
            ASSERT_TRUE(slow.back()->send(pieces(100 + i).first));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        Client active(server.port);
        ASSERT_TRUE(active.send(orderRequest(7)));
        EXPECT_EQ(parseReply(active.readAll(5000)).body, "n=7");
        // The rest arrives a piece at a time; each request is answered whole.
        for (size_t p = 0; p < pieces(0).rest.size(); p++) {
            for (int i = 0; i < 10; i++) ASSERT_TRUE(slow[size_t(i)]->send(pieces(100 + i).rest[p]));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        for (int i = 0; i < 10; i++) {
            EXPECT_EQ(parseReply(slow[size_t(i)]->readAll(5000)).body, "n=" + std::to_string(100 + i));
        }
    }
}

TEST_F(HttpQueue, RequestSentByteByByteTimesOutFromItsStart)
{
    // The time-out is not renewed by each byte: a head or a body that
    // trickles in for longer than the read time-out is refused even though
    // it completes.
    std::string body = "page=order&n=1&padding=xxxxxxxxxxxxxxxx";
    const std::pair<std::string, std::string> cases[] = {{"", orderRequest(1)}, {postHead(body.size()), body}};
    for (const auto& [atOnce, trickled] : cases) {
        ServerOptions options;
        options.workers = 1;
        options.readTimeoutMs = 400;
        TestServer server(pages, std::size(pages), options);
        Client c(server.port);
        ASSERT_TRUE(c.send(atOnce));
        for (char byte : trickled) {
            if (c.readable(0) || !c.send(std::string(1, byte))) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
        }
        EXPECT_EQ(parseReply(c.readAll(5000)).statusLine, "HTTP/1.1 408 Request Timeout") << trickled;
    }
}

TEST_F(HttpQueue, KeptAliveIdleConnectionDoesNotHoldTheOnlyWorker)
{
    ServerOptions options;
    options.workers = 1;
    options.keepAlive = true;
    options.readTimeoutMs = 30000;
    TestServer server(pages, std::size(pages), options);
    Client kept(server.port);
    ASSERT_TRUE(kept.send("GET /?page=order&n=1 HTTP/1.1\r\nConnection: keep-alive\r\n\r\n"));
    EXPECT_NE(readUntil(kept, "n=1").find("Connection: Keep-Alive"), std::string::npos);
    Client other(server.port);
    ASSERT_TRUE(other.send(orderRequest(2)));
    EXPECT_EQ(parseReply(other.readAll(5000)).body, "n=2");
    // The kept connection still serves its next request.
    ASSERT_TRUE(kept.send(orderRequest(3)));
    EXPECT_EQ(parseReply(kept.readAll(5000)).body, "n=3");
}

}  // namespace
