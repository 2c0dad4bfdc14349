// The socket layer over real loopback connections.

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <memory>
#include <string>
#include <thread>

#include "engine286/unisock.h"

namespace {

std::string errorOf(socket_t& s)
{
    char text[64];
    s.errorText(text, sizeof text);
    return text;
}

// A port on which nothing listens (it was free a moment ago).
int unusedPort()
{
    std::unique_ptr<socket_t> s(socket_t::createGlobal("127.0.0.1:0"));
    return s->localPort();
}

// A listening socket and one connection accepted from it.
class SocketPair : public ::testing::Test {
protected:
    void SetUp() override
    {
        listener.reset(socket_t::createGlobal("127.0.0.1:0"));
        ASSERT_TRUE(listener->isOk()) << errorOf(*listener);
        std::string address = "127.0.0.1:" + std::to_string(listener->localPort());
        client.reset(socket_t::connect(address.c_str(), sock_global_domain, 1, 0));
        ASSERT_TRUE(client->isOk()) << errorOf(*client);
        server.reset(listener->accept());
        ASSERT_NE(server, nullptr) << errorOf(*listener);
    }

    std::unique_ptr<socket_t> listener, client, server;
};

TEST(SocketAddress, MalformedAddressesAreBadAddresses)
{
    const std::string longHost(300, 'a');
    for (const std::string& address :
         {std::string("127.0.0.1"), std::string("127.0.0.1:"), std::string("127.0.0.1:http"),
          std::string("127.0.0.1:80x"), std::string("127.0.0.1:70000"), longHost + ":80"}) {
        std::unique_ptr<socket_t> listening(socket_t::createGlobal(address.c_str()));
        EXPECT_FALSE(listening->isOk()) << address;
        EXPECT_EQ(errorOf(*listening), "bad address") << address;
        std::unique_ptr<socket_t> connecting(socket_t::connect(address.c_str(), sock_global_domain, 1, 0));
        EXPECT_FALSE(connecting->isOk()) << address;
        EXPECT_EQ(errorOf(*connecting), "bad address") << address;
    }
}

TEST(SocketAddress, LocalhostListensOnEveryInterface)
{
    std::unique_ptr<socket_t> s(socket_t::createGlobal("LocalHost:0"));
    ASSERT_TRUE(s->isOk()) << errorOf(*s);
    sockaddr_in local{};
    socklen_t size = sizeof local;
    ASSERT_EQ(getsockname(s->socketHandle(), reinterpret_cast<sockaddr*>(&local), &size), 0);
    EXPECT_EQ(local.sin_addr.s_addr, htonl(INADDR_ANY));
    EXPECT_GT(s->localPort(), 0);
}

TEST(SocketAddress, ErrorTextIsCutToTheBuffer)
{
    std::unique_ptr<socket_t> s(socket_t::createGlobal("nowhere"));
    char text[5];
    s->errorText(text, sizeof text);
    EXPECT_STREQ(text, "bad ");
}

TEST(SocketConnect, RefusedConnectionsExhaustTheAttempts)
{
    std::string address = "127.0.0.1:" + std::to_string(unusedPort());
    for (int attempts : {1, 2}) {
        std::unique_ptr<socket_t> s(socket_t::connect(address.c_str(), sock_global_domain, attempts, 0));
        EXPECT_FALSE(s->isOk());
        EXPECT_EQ(errorOf(*s), "exceed limit of attempts of connection to server");
    }
}

TEST_F(SocketPair, ReadWithMinimumOneReturnsWhatHasArrived)
{
    ASSERT_TRUE(client->write("abc", 3));
    char buf[100];
    EXPECT_EQ(server->read(buf, 1, sizeof buf), 3);
    EXPECT_EQ(std::string(buf, 3), "abc");
    std::unique_ptr<char[]> peer(server->peerName());
    ASSERT_NE(peer, nullptr);
    EXPECT_STREQ(peer.get(), "127.0.0.1");
}

TEST_F(SocketPair, AcceptedSocketsLingerAndSendAtOnce)
{
    int noDelay = 0;
    socklen_t size = sizeof noDelay;
    ASSERT_EQ(getsockopt(server->socketHandle(), IPPROTO_TCP, TCP_NODELAY, &noDelay, &size), 0);
    EXPECT_NE(noDelay, 0);
    linger l{};
    size = sizeof l;
    ASSERT_EQ(getsockopt(server->socketHandle(), SOL_SOCKET, SO_LINGER, &l, &size), 0);
    EXPECT_EQ(l.l_onoff, 1);
    EXPECT_EQ(l.l_linger, 10);
}

TEST_F(SocketPair, TimedReadReturnsWhatArrivedInTime)
{
    char buf[16];
    EXPECT_EQ(server->read(buf, 1, sizeof buf, 50), 0);
    EXPECT_TRUE(server->isOk());
    EXPECT_EQ(errorOf(*server), "ok");

    ASSERT_TRUE(client->write("1234", 4));
    EXPECT_EQ(server->read(buf, 10, sizeof buf, 100), 4);
    EXPECT_TRUE(server->isOk());
}

TEST_F(SocketPair, PeerCloseBreaksTheConnection)
{
    ASSERT_TRUE(client->write("x", 1));
    client->close();
    char buf[16];
    EXPECT_EQ(server->read(buf, 2, sizeof buf, 1000), -1);
    EXPECT_EQ(errorOf(*server), "connection is broken");
}

TEST_F(SocketPair, StringsTravelWithTheirTerminator)
{
    ASSERT_TRUE(client->writeString("hello"));
    char buf[16];
    ASSERT_TRUE(server->readString(buf, sizeof buf, 1000));
    EXPECT_STREQ(buf, "hello");
    EXPECT_FALSE(server->readString(buf, sizeof buf, 20));  // nothing more came
    EXPECT_TRUE(server->isOk());
}

TEST_F(SocketPair, ClosedOrShutDownSocketsAreNotOpened)
{
    char buf[4];
    ASSERT_TRUE(server->shutdown());
    EXPECT_EQ(server->read(buf, 1, sizeof buf, 0), -1);
    EXPECT_EQ(errorOf(*server), "socket not opened");
    EXPECT_FALSE(server->write("x", 1));
    EXPECT_EQ(server->peerName(), nullptr);

    ASSERT_TRUE(listener->shutdown());
    EXPECT_EQ(listener->accept(), nullptr);
    EXPECT_EQ(errorOf(*listener), "socket not opened");
    ASSERT_TRUE(listener->close());
    EXPECT_TRUE(listener->close());
    EXPECT_EQ(listener->accept(), nullptr);
    EXPECT_EQ(errorOf(*listener), "socket not opened");
}

TEST(SocketAccept, CancelAcceptWakesABlockedAccept)
{
    std::unique_ptr<socket_t> listener(socket_t::createGlobal("127.0.0.1:0"));
    ASSERT_TRUE(listener->isOk());
    socket_t* accepted = reinterpret_cast<socket_t*>(1);
    std::thread waiter([&] { accepted = listener->accept(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(listener->cancelAccept());
    waiter.join();
    EXPECT_EQ(accepted, nullptr);
    EXPECT_EQ(listener->accept(), nullptr);  // a cancelled socket stays cancelled
}

}  // namespace
