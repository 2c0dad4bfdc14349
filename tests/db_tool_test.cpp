// The administrators' tool: info, check and dump of database files.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/tables.h"
#include "engine286/cursor.h"
#include "support/temp_dir.h"
#include "support/test_database.h"

namespace {

struct Result {
    int status;
    std::string out;
};

Result runTool(const std::string& args)
{
    std::string command = std::string(TARNWICKE_BINARY_DIR "/tarnwicke-db ") + args + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    Result r{-1, ""};
    if (pipe == nullptr) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) r.out.append(buf, n);
    int status = pclose(pipe);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

uint32_t u32(const std::string& bytes, size_t offs)
{
    uint32_t v;
    std::memcpy(&v, bytes.data() + offs, 4);
    return v;
}
void setU32(std::string& bytes, size_t offs, uint32_t v) { std::memcpy(bytes.data() + offs, &v, 4); }

class DbToolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        linkApplicationTables();
        TestDatabase db;
        ASSERT_TRUE(db.open("tool", file.c_str()));
        Employee boss;
        boss.id = "admin";
        boss.name = "陳大文 \"Boss\"";
        boss.permission = 63;
        bossId = dbCursor<Employee>::insert(boss);
        for (int i = 0; i < 3; i++) {
            Customer c;
            std::string name = "公司" + std::to_string(i);
            c.name = name.c_str();
            c.createdBy = dbReference<Employee>(bossId);
            c.createDate = dbDateTime(1000 + i);
            customers[i] = dbCursor<Customer>::insert(c);
        }
        db.commit();
        db.close();
    }
    // The committed position of an object in the file.
    static uint32_t positionOf(const std::string& bytes, oid_t oid)
    {
        uint32_t curr = u32(bytes, 4);
        return u32(bytes, u32(bytes, 16 + 24 * curr) + 4 * oid);
    }
    TempDir dir;
    std::string file = dir.file("tool.zrt");
    oid_t bossId = 0;
    oid_t customers[3] = {};
};

TEST_F(DbToolTest, InfoListsTablesWithRowCounts)
{
    Result r = runTool("info " + file);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("closed cleanly: yes"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  Customer: 3 rows, 18 columns"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  Employee: 1 rows"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  BackupRecord: 0 rows"), std::string::npos) << r.out;
}

TEST_F(DbToolTest, DumpDecodesRowsAsJsonLines)
{
    Result r = runTool("dump " + file + " Employee");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "{\"oid\":" + std::to_string(bossId) +
                         ",\"oid\":0,\"id\":\"admin\",\"password\":\"\",\"name\":\"陳大文 \\\"Boss\\\"\",\"hkid\":\"\","
                         "\"tel\":\"\",\"email\":\"\",\"remark\":\"\",\"permission\":63,\"version\":0}\n");
    r = runTool("dump " + file + " Customer");
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3);
    EXPECT_NE(r.out.find("\"name\":\"公司2\""), std::string::npos);
    EXPECT_NE(r.out.find("\"createDate.stamp\":1001"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"createdBy\":" + std::to_string(bossId)), std::string::npos);
    EXPECT_EQ(runTool("dump " + file + " Nothing").status, 2);
}

TEST_F(DbToolTest, CheckPassesOnAGoodFileAndNeverWritesIt)
{
    std::string before = readFile(file);
    Result r = runTool("check " + file);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.rfind("ok: ", 0), 0u) << r.out;
    EXPECT_EQ(readFile(file), before);
}

TEST_F(DbToolTest, CheckReportsADamagedRowChain)
{
    std::string bytes = readFile(file);
    uint32_t middle = positionOf(bytes, customers[1]);
    setU32(bytes, middle + 8, customers[2]);  // wrong previous link
    writeFile(file, bytes);
    Result r = runTool("check " + file);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("table Customer: row " + std::to_string(customers[1]) + " has a wrong previous link"),
              std::string::npos)
        << r.out;
}

TEST_F(DbToolTest, CheckReportsOverlappingObjects)
{
    std::string bytes = readFile(file);
    uint32_t curr = u32(bytes, 4);
    uint32_t index = u32(bytes, 16 + 24 * curr);
    // Point the second customer at the first one's place.
    setU32(bytes, index + 4 * customers[1], positionOf(bytes, customers[0]));
    writeFile(file, bytes);
    Result r = runTool("check " + file);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("overlaps"), std::string::npos) << r.out;
}

TEST(DbToolUsageTest, BadArgumentsAndFiles)
{
    TempDir dir;
    EXPECT_EQ(runTool("").status, 2);
    EXPECT_EQ(runTool("frobnicate x").status, 2);
    writeFile(dir.file("text.zrt"), std::string(8192, 'x'));
    Result r = runTool("check " + dir.file("text.zrt"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("not a database file"), std::string::npos);
    EXPECT_EQ(runTool("info " + dir.file("missing.zrt")).status, 2);
}

}  // namespace

namespace {

TEST_F(DbToolTest, BackupAndRestoreFromTheCommandLine)
{
    std::string archive = dir.file("copy.zrb");
    Result r = runTool("backup " + file + " " + archive);
    ASSERT_EQ(r.status, 0) << r.out;
    std::string before = runTool("dump " + file + " Customer").out;
    {
        TestDatabase db;
        ASSERT_TRUE(db.open("tool", file.c_str()));
        dbCursor<Customer> c(dbCursorForUpdate);
        c.selectAll();
        c.removeAllSelected();
        db.commit();
        db.close();
    }
    EXPECT_EQ(runTool("dump " + file + " Customer").out, "");
    // A damaged archive changes nothing.
    std::string bytes = readFile(archive);
    writeFile(dir.file("cut.zrb"), bytes.substr(0, bytes.size() - 20));
    EXPECT_EQ(runTool("restore " + dir.file("cut.zrb") + " " + dir.path()).status, 1);
    EXPECT_EQ(runTool("dump " + file + " Customer").out, "");
    r = runTool("restore " + archive + " " + dir.path());
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(runTool("dump " + file + " Customer").out, before);
    EXPECT_EQ(runTool("check " + file).status, 0);
}

}  // namespace
