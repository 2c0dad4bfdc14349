// The program run as a service (no terminal): start-up, logging in over HTTP,
// SIGTERM with the backup on leaving, a second instance refused.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <memory>
#include <string>
#include <vector>

#include "app/tables.h"
#include "engine286/cursor.h"
#include "host/main_form.h"
#include "support/running_program.h"
#include "support/temp_dir.h"

namespace {

using namespace programtest;

// The login form posted over HTTP; the reply's body.
std::string httpPost(int port, const std::string& id, const std::string& password)
{
    return post(port, {{"page", "checkLogin"}, {"id", id}, {"password", password}}).body;
}

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override { copyWebFiles(dir.path()); }
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
        ASSERT_TRUE(first.waitFor(welcome)) << first.text();
        EXPECT_EQ(first.stop(SIGTERM), 0) << first.text();
    }
    switchOnExitBackup();

    Program program(dir.path(), port);
    ASSERT_TRUE(program.waitFor(welcome)) << program.text();
    EXPECT_NE(program.text().find("http://"), std::string::npos);
    std::string reply = httpPost(port, "admin", "kwirt");
    EXPECT_NE(reply.find("<frameset"), std::string::npos) << reply;
    EXPECT_EQ(program.stop(SIGTERM), 0) << program.text();
    std::vector<std::string> backups;
    for (auto& e : fs::directory_iterator(dir.path()))
        if (e.path().extension() == ".zrb") backups.push_back(e.path().filename());
    EXPECT_EQ(backups, std::vector<std::string>{"Tarnwicke0.zrb"});

    // The next start opens the database as it was left and serves again.
    Program again(dir.path(), port);
    ASSERT_TRUE(again.waitFor(welcome)) << again.text();
    EXPECT_EQ(again.text().find("資料庫開啟錯誤."), std::string::npos);
    EXPECT_NE(httpPost(port, "admin", "kwirt").find("<frameset"), std::string::npos);
    EXPECT_EQ(again.stop(SIGINT), 0);
}

TEST_F(ServiceTest, SecondInstanceOnTheSameFolderIsRefused)
{
    int port = freePort();
    Program first(dir.path(), port);
    ASSERT_TRUE(first.waitFor(welcome)) << first.text();
    Program second(dir.path(), freePort());
    EXPECT_EQ(second.wait(), 1);
    EXPECT_NE(second.text().find("資料庫不能同時開啟."), std::string::npos) << second.text();
    // The first one keeps serving.
    EXPECT_NE(httpPost(port, "admin", "kwirt").find("<frameset"), std::string::npos);
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
    ASSERT_TRUE(program.waitFor(welcome)) << program.text();
    EXPECT_NE(program.text().find(serverStartFailureText(port, "這個 Port 已被其他程式使用")), std::string::npos)
        << program.text();
    EXPECT_EQ(program.text().find("伺服器已開啟"), std::string::npos);
    EXPECT_EQ(program.stop(SIGTERM), 0);
    ::close(busy);
}

}  // namespace
