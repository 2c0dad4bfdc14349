// tarnwicke-db query: the rows of one of the application's tables that
// satisfy a condition, as JSON lines in the format of dump.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/tables.h"
#include "engine286/cursor.h"
#include "support/temp_dir.h"

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

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        result.push_back(text.substr(pos, end - pos));
        pos = end == std::string::npos ? text.size() : end + 1;
    }
    return result;
}

class QueryToolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        linkApplicationTables();
        dbDatabase db;
        ASSERT_TRUE(db.open("querytool", file.c_str()));
        Employee boss;
        boss.id = "E1";
        boss.name = "boss";
        oid_t bossId = dbCursor<Employee>::insert(boss);
        const char* names[] = {"公司1", "Alpha 10", "Beta", "Gamma 1"};
        for (int i = 0; i < 4; i++) {
            Customer c;
            c.id = names[i];
            c.name = names[i];
            c.oid = 100 + i;
            if (i != 2) c.createdBy = dbReference<Employee>(bossId);
            dbCursor<Customer>::insert(c);
        }
        db.commit();
        db.close();
        image = readFile(file);
    }
    TempDir dir;
    std::string file = dir.file("tool.zrt");
    std::string image;
};

TEST_F(QueryToolTest, PrintsTheMatchingRowsAsDumpDoes)
{
    std::vector<std::string> all = lines(runTool("dump " + file + " Customer").out);
    ASSERT_EQ(all.size(), 4u);

    Result r = runTool("query " + file + " Customer \"name like '%1%'\"");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(lines(r.out), (std::vector<std::string>{all[0], all[1], all[3]}));

    r = runTool("query " + file + " Customer \"oid > 100 order by name desc\"");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(lines(r.out), (std::vector<std::string>{all[3], all[2], all[1]}));

    r = runTool("query " + file + " Customer \"createdBy != null and createdBy.name = 'boss' and oid < 102\"");
    EXPECT_EQ(lines(r.out), (std::vector<std::string>{all[0], all[1]}));

    r = runTool("query " + file + " Customer ''");
    EXPECT_EQ(lines(r.out), all);
    r = runTool("query " + file + " Employee \"id = 'nobody'\"");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(readFile(file), image);  // opened read-only
}

TEST_F(QueryToolTest, ReportsBadConditionsTablesAndUsage)
{
    Result r = runTool("query " + file + " Customer \"nmae = 'x'\"");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "Field not found in position 0\n");

    r = runTool("query " + file + " Customer \"createdBy.name = 'boss'\"");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "Null object reference is accessed\n");

    r = runTool("query " + file + " Nothing \"x = 1\"");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "no table named Nothing with the program's definition\n");

    r = runTool("query " + file + " Customer");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("tarnwicke-db query FILE TABLE CONDITION"), std::string::npos);
    EXPECT_EQ(readFile(file), image);
}

}  // namespace
