// The program run as a service (no terminal): start-up, logging in over HTTP,
// SIGTERM with the backup on leaving, a second instance refused.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/tables.h"
#include "engine286/cursor.h"
#include "host/main_form.h"
#include "support/temp_dir.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

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

// The program in a folder, its output collected.
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
    }
    ~Program()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        ::close(fd);
    }
    // Reads output until `text` appears or the program ends (at most 20 s).
    bool waitFor(const std::string& text)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (output.find(text) == std::string::npos) {
            int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
            if (left <= 0) return false;
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, left) <= 0) return false;
            char buf[4096];
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) return output.find(text) != std::string::npos;
            output.append(buf, size_t(n));
        }
        return true;
    }
    int stop(int signal)
    {
        kill(pid, signal);
        return wait();
    }
    int wait()
    {
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        waitFor("\x01");  // drain the rest of the output
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    pid_t pid = -1;
    int fd = -1;
    std::string output;
};

std::string httpPost(int port, const std::string& body)
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        std::string request = "POST / HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                              "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char buf[8192];
        ssize_t n;
        while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) reply.append(buf, size_t(n));
    }
    ::close(fd);
    return reply;
}

const char* welcome = "歡迎使用Vorda客戶管理系統 (網上版).";

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* f : {"login.htm", "style.css", "common.js", "introduction.htm"})
            fs::copy_file(std::string(TARNWICKE_SOURCE_DIR "/web/") + f, dir.file(f));
    }
    // Changes the backup settings the way the backup dialog would.
    void switchOnExitBackup()
    {
        fs::path saved = fs::current_path();
        fs::current_path(dir.path());
        {
            std::unique_ptr<vordaDatabase> db = makeHostDatabase();
            ASSERT_TRUE(db->open("Tarnwicke"));
            dbCursor<BackupRecord> c(dbCursorForUpdate);
            ASSERT_EQ(c.selectAll(), 1u);
            c->everytime = true;
            c.update();
            db->commit();
            db->close();
        }
        fs::current_path(saved);
    }
    TempDir dir;
};

TEST_F(ServiceTest, LoginOverHttpThenSigtermMakesTheExitBackupAndEndsWithZero)
{
    int port = freePort();
    {
        Program first(dir.path(), port);
        ASSERT_TRUE(first.waitFor(welcome)) << first.output;
        EXPECT_EQ(first.stop(SIGTERM), 0) << first.output;
    }
    switchOnExitBackup();

    Program program(dir.path(), port);
    ASSERT_TRUE(program.waitFor(welcome)) << program.output;
    EXPECT_NE(program.output.find("http://"), std::string::npos);
    std::string reply = httpPost(port, "page=checkLogin&id=admin&password=kwirt");
    EXPECT_NE(reply.find("<frameset"), std::string::npos) << reply;
    EXPECT_EQ(program.stop(SIGTERM), 0) << program.output;
    std::vector<std::string> backups;
    for (auto& e : fs::directory_iterator(dir.path()))
        if (e.path().extension() == ".zrb") backups.push_back(e.path().filename());
    EXPECT_EQ(backups, std::vector<std::string>{"Tarnwicke0.zrb"});

    // The next start opens the database as it was left and serves again.
    Program again(dir.path(), port);
    ASSERT_TRUE(again.waitFor(welcome)) << again.output;
    EXPECT_EQ(again.output.find("資料庫開啟錯誤."), std::string::npos);
    EXPECT_NE(httpPost(port, "page=checkLogin&id=admin&password=kwirt").find("<frameset"), std::string::npos);
    EXPECT_EQ(again.stop(SIGINT), 0);
}

TEST_F(ServiceTest, SecondInstanceOnTheSameFolderIsRefused)
{
    int port = freePort();
    Program first(dir.path(), port);
    ASSERT_TRUE(first.waitFor(welcome)) << first.output;
    Program second(dir.path(), freePort());
    EXPECT_EQ(second.wait(), 1);
    EXPECT_NE(second.output.find("資料庫不能同時開啟."), std::string::npos) << second.output;
    // The first one keeps serving.
    EXPECT_NE(httpPost(port, "page=checkLogin&id=admin&password=kwirt").find("<frameset"), std::string::npos);
    EXPECT_EQ(first.stop(SIGTERM), 0);
}

TEST_F(ServiceTest, PortInUseIsLoggedAndTheProgramKeepsRunning)
{
    int busy = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    ::bind(busy, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(busy, 1);
    socklen_t len = sizeof addr;
    getsockname(busy, reinterpret_cast<sockaddr*>(&addr), &len);
    int port = ntohs(addr.sin_port);
    Program program(dir.path(), port);
    ASSERT_TRUE(program.waitFor(welcome)) << program.output;
    EXPECT_NE(program.output.find(serverStartFailureText(port, "這個 Port 已被其他程式使用")), std::string::npos)
        << program.output;
    EXPECT_EQ(program.output.find("伺服器已開啟"), std::string::npos);
    EXPECT_EQ(program.stop(SIGTERM), 0);
    ::close(busy);
}

}  // namespace
