// Evaluation of conditions over a small fixture table: integers, reals,
// strings, references, date-time methods, arrays, LIKE, IN, BETWEEN, EXISTS
// and the arithmetic errors.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine286/compiler.h"
#include "engine286/cursor.h"
#include "engine286/datetime.h"
#include "engine286/describe.h"
#include "engine286/query.h"
#include "support/temp_dir.h"

namespace {

struct Row {
    const char* tag;
    const char* name;
    int32_t n;
    int64_t big;
    double r;
    float f;
    bool flag;
    int8_t tiny;
    int16_t small;
    dbReference<Row> next;
    dbDateTime when;
    dbArray<int8_t> bytes;
    dbArray<int32_t> nums;
    dbArray<dbReference<Row>> links;
    DB_TABLE_MEMBERS;
};

DB_TABLE(Row, "Row")

dbFieldDescriptor* Row::describeFields()
{
    return dbFields<Row>()
        .field("tag", &Row::tag)
        .field("name", &Row::name)
        .field("n", &Row::n)
        .field("big", &Row::big)
        .field("r", &Row::r)
        .field("f", &Row::f)
        .field("flag", &Row::flag)
        .field("tiny", &Row::tiny)
        .field("small", &Row::small)
        .field("next", &Row::next)
        .field("when", &Row::when)
        .field("bytes", &Row::bytes)
        .field("nums", &Row::nums)
        .field("links", &Row::links);
}

// Keeps the reported errors; throws as the engine does, without printing.
class QuietDatabase : public dbDatabase {
public:
    void handleError(int error, const char* msg, int arg) override
    {
        switch (error) {
        case errQuery: last = std::string(msg) + " in position " + std::to_string(arg); return;
        case errArithmetic: last = msg; break;
        case errIndexRange: last = "Index " + std::to_string(arg) + " is out of range"; break;
        case errNullReference: last = "Null object reference is accessed"; break;
        case errNone: last = "no such row"; break;
        default: return;
        }
        throw dbException(error, msg, arg);
    }
    std::string last;
};

const std::string longName = std::string(597, 'z') + "abc";  // 601 bytes with its zero

class QueryEvalTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(db.open("eval", dir.file("eval.zrt").c_str()));
        insertRows();
    }
    // Rows p, q, r, s in this order; p -> q -> r by next, p links to q and
    // r, r links to p.
    void insertRows()
    {
        Row p{}, q{}, r{}, s{};
        s = {"s", longName.c_str(), 2, 2, 2, 2, false, 2, 2, {}, dbDateTime(), {}, {}, {}};
        r = {"r", "abc", 0, 0, 0, 0, true, 0, 0, {}, dbDateTime(), {1}, {257}, {}};
        q = {"q", "xaby", -7, -1, -0.5, 1.25f, false, 127, -300, {}, dbDateTime(1999, 12, 31, 23, 59, 59),
             {}, {}, {}};
        p = {"p", "ab", 7, 9000000000, 2.5, 0.5f, true, -1, 300, {}, dbDateTime(2004, 2, 29, 10, 20, 30),
             {2, -2}, {10, 20, 30}, {}};
        ids[0] = dbCursor<Row>::insert(p);
        ids[1] = dbCursor<Row>::insert(q);
        ids[2] = dbCursor<Row>::insert(r);
        ids[3] = dbCursor<Row>::insert(s);
        dbCursor<Row> c(dbCursorForUpdate);
        c.at(ids[0]);
        c->next = dbReference<Row>(ids[1]);
        c->links = {dbReference<Row>(ids[1]), dbReference<Row>(ids[2])};
        c.update();
        c.at(ids[1]);
        c->next = dbReference<Row>(ids[2]);
        c.update();
        c.at(ids[2]);
        c->links = {dbReference<Row>(ids[0])};
        c.update();
        db.commit();
    }
    void TearDown() override
    {
        db.commit();
        db.close();
    }
    // The tags of the selected rows, or "error: " and the reported error.
    std::string tags(dbQuery& query)
    {
        dbCursor<Row> c;
        std::string result;
        try {
            if (c.select(query) == 0) return db.last.find(" in position ") != std::string::npos ? db.last : "";
            do {
                if (!result.empty()) result += " ";
                result += c->tag;
            } while (c.next() != nullptr);
        } catch (dbException&) {
            return "error: " + db.last;
        }
        return result;
    }
    std::string tags(const char* condition)
    {
        dbQuery q(condition);
        db.last.clear();
        return tags(q);
    }
    TempDir dir;
    QuietDatabase db;
    oid_t ids[4] = {};
};

struct Case {
    const char* condition;
    const char* expected;
};

TEST_F(QueryEvalTest, IntegersAndReals)
{
    const Case cases[] = {
        {"7 / 2 = 3 and -7 / 2 = -3 and 7 / -2 = -3", "p q r s"},
        {"n / 2 = 3", "p"},
        {"n / (n - n) = 1", "error: Division by zero"},
        {"r / 0 = 1", "error: Division by zero"},
        {"9223372036854775807 + 1 < 0", "p q r s"},
        {"(-9223372036854775807 - 1) / -1 = -9223372036854775807 - 1", "p q r s"},
        {"abs(-9223372036854775807 - 1) < 0 and abs(n) = 7", "p q"},
        {"2 ^ 10 = 1024 and 2 ^ 64 = 0 and 2 ^ 63 < 0 and 2 ^ -1 = 0", "p q r s"},
        {"3 ^ -1 = 0 and (-1) ^ -3 = -1 and 1 ^ -5 = 1 and 3 ^ 3 = 27 and (-2) ^ 3 = -8 and 0 ^ 0 = 1",
         "p q r s"},
        {"3 ^ 40 = -6289078614652622815", "p q r s"},  // wrapped to 64 bits
        {"0 ^ -1 = 0", "error: Raise zero to negative power"},
        {"0 ^ (n - 8) = 0", "error: Raise zero to negative power"},
        {"2.0 ^ 0.5 > 1.414 and 2.0 ^ 0.5 < 1.415 and 2.0 ^ -2 = 0.25 and 0.5 ^ 2 = 0.25", "p q r s"},
        {"(-8.0) ^ 0.5 = 1", "error: Power operator returns complex result"},
        {"0.0 ^ -1.0 = 1", "error: Raise zero to negative power"},
        {"0.0 ^ -1 = 1", "error: Raise zero to negative power"},
        {"integer(2.7) = 2 and integer(-2.7) = -2 and integer(1e300) = 9223372036854775807", "p q r s"},
        {"real(n) / 2 = 3.5", "p"},
        {"big > 8999999999", "p"},
        {"big = -1 and tiny = 127 and small = -300", "q"},
        {"tiny = -1 and small = 300 and f = 0.5", "p"},
        {"f = 1.25 and r = -0.5", "q"},
        {"r * 2 = 5 and r - 0.5 = 2 and r + n = 9.5", "p"},
        {"n between 0 and 7", "p r s"},
        {"n between 8 and 1", ""},
        {"n between 100 and 1 / 0", ""},  // the upper bound only when the lower one passed
        {"r between -1 and 0.1", "q r"},
        {"n <> 99 or 1 / 0 = 1", "p q r s"},
        {"n = 99 and 1 / 0 = 1", ""},
        {"n in (7, 0)", "p r"},
        {"n in (1, -7.0)", "q"},
        {"(n and 3) = 3 and (n or 8) = 15", "p"},
        {"(not n) = -8", "p"},
        {"not n = -8", "p q r s"},  // NOT takes a comparison
        {"-n = 7", "q"},
    };
    for (const Case& c : cases) EXPECT_EQ(tags(c.condition), c.expected) << c.condition;
}

TEST_F(QueryEvalTest, StringsAndBooleans)
{
    const std::string text400 = std::string(397, 'y') + "abc";
    const std::string text600 = std::string(597, 'y') + "abc";
    const std::string text600b = std::string(597, 'y') + "abd";
    const Case cases[] = {
        {"'ab' + 'cd' = 'abcd' and length('ab' + 'cd') = 4", "p q r s"},
        {"'a' + 'bcdefgh' = 'abcdefgh' and length('') = 0", "p q r s"},
        {"'x' + name = 'xab'", "p"},
        {"upper(name) = 'AB' or lower('AbC') = name", "p r"},
        {"string(n) = '-7'", "q"},
        {"string(r) = '2.500000'", "p"},
        {"'abc'[2] = 99 and name[0] = 97", "p r"},
        {"'abc'[3] = 0", "error: Index 3 is out of range"},
        {"'abc'[-1] = 0", "error: Index -1 is out of range"},
        {"name > 'abb' and name < 'b'", "r"},
        {"name >= 'ab' and name <= 'abc'", "p r"},
        {"name between 'a' and 'abz'", "p r"},
        {"'ab' in name", "p q r s"},
        {"'abc' in name", "r s"},  // s: the 600-byte text goes through the Horspool search
        {"'abd' in name", ""},
        {"'' in name", "p q r s"},
        {"name in 'zzabcxx'", "p r"},
        {"name in ('ab', 'abc')", "p r"},
        {"name like '%ab%'", "p q r s"},
        {"name like 'a_c'", "r"},
        {"name not like 'a%'", "q s"},
        {"name like 'a\\%' escape '\\'", ""},
        {"flag", "p r"},
        {"flag = true and not (flag <> true)", "p r"},
        {"flag <> (n = 7)", "r"},
        {"flag in (false)", "List of expressions or array expected in position 8"},
    };
    for (const Case& c : cases) EXPECT_EQ(tags(c.condition), c.expected) << c.condition;
    for (const std::string& t : {text400, text600}) {
        std::string condition = "'abc' in '" + t + "'";
        EXPECT_EQ(tags(condition.c_str()), "p q r s") << t.size();
    }
    EXPECT_EQ(tags(("'abc' in '" + text600b + "'").c_str()), "");
}

TEST_F(QueryEvalTest, ReferencesDatesAndArrays)
{
    const Case cases[] = {
        {"next != null and next.name = 'xaby'", "p"},
        {"next != null and next.name = 'abc'", "q"},
        {"next.name = 'x'", "error: Null object reference is accessed"},
        {"next != null and next.next != null and next.next.tag = 'r'", "p"},
        {"next is null", "r s"},
        {"first.tag = 'p' and last.tag = 's'", "p q r s"},
        {"current = first or current = last", "p s"},
        {"next = 0", "r s"},
        {"when.year = 2004", "p"},
        {"when.month = 2 and when.day = 29 and when.dayOfYear = 60 and when.dayOfWeek = 1 and when.hour = 10 and "
         "when.minute = 20 and when.second = 30",
         "p"},
        {"when.stamp = -1", "r s"},
        {"next != null and next.when.year = 1999", "p"},
        {"length(nums) = 3 and nums[1] = 20", "p"},
        {"nums[1] = 20", "error: Index 1 is out of range"},
        {"20 in nums", "p"},
        {"257 in nums", "r"},
        {"257 in bytes", "r"},  // only the low 8 bits are compared
        {"254 in bytes", "p"},
        {"next in links", "p"},
        {"exists i: (nums[i] = 20)", "p"},
        {"exists i: (nums[i] > 100)", "r"},
        {"exists i: (links[i].tag = 'p')", "r"},
        {"exists i: exists j: (i <> j and nums[i] = nums[j] - 10)", "p"},
        {"exists i: (name[i] = 99)", "r s"},
        {"exists i: (flag or nums[i] = 0)", "p r"},
        // Rounds that never index through the variable end the search.
        {"exists i: (n = 99 and nums[i] = 1)", ""},
        {"exists i: (i > 3)", ""},
        {"exists i: (i > 1 and nums[i] = 30)", "p"},
        {"exists i: (i > 2 and nums[i] = 30)", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(tags(c.condition), c.expected) << c.condition;
}

TEST_F(QueryEvalTest, BoundVariablesAreReadAtEverySelect)
{
    int32_t n = 7;
    dbQuery q;
    q = "n = ", n;
    EXPECT_EQ(tags(q), "p");
    dbExprNode* tree = q.tree;
    n = -7;
    EXPECT_EQ(tags(q), "q");
    EXPECT_EQ(q.tree, tree);  // compiled once

    dbReference<Row> ref(ids[2]);
    q = "next = ", ref, " or current = ", ref;
    EXPECT_EQ(tags(q), "q r");
    const char* name = "ab";
    q = "name = ", &name;
    EXPECT_EQ(tags(q), "p");
    name = "abc";
    EXPECT_EQ(tags(q), "r");
    dbArray<dbReference<Row>> some = {dbReference<Row>(ids[0]), dbReference<Row>(ids[3])};
    dbArray<dbReference<Row>>* pointer = &some;
    q = "current in ", some, " and current in ", pointer;
    EXPECT_EQ(tags(q), "p s");
    q = "", some, "[1].tag = tag";
    EXPECT_EQ(tags(q), "s");
    double r = 2.5;
    float f = 1.25f;
    int64_t big = -1;
    int16_t small = 300;
    int8_t tiny = 127;
    bool flag = false;
    q = "r = ", r, " or f = ", f, " or big = ", big, " or small = ", small, " or tiny = ", tiny;
    EXPECT_EQ(tags(q), "p q");
    q = "flag = ", flag;
    EXPECT_EQ(tags(q), "q s");
}

// Parameters are read at their address plus the cursor's parameter base, so
// one query can be run for other copies of the structure that holds them.
TEST_F(QueryEvalTest, ParametersAreReadRelativeToTheParameterBase)
{
    struct Filter {
        int32_t low;
        int32_t high;
    } prototype{0, 0}, wanted{-10, 1};
    dbQuery q;
    q = "n between ", prototype.low, " and ", prototype.high;
    dbCursor<Row> c;
    char* base = reinterpret_cast<char*>(reinterpret_cast<char*>(&wanted) - reinterpret_cast<char*>(&prototype));
    EXPECT_EQ(c.select(q, dbCursorForRead, base), 2u);
    EXPECT_EQ(std::string(c->tag), "q");
}

TEST_F(QueryEvalTest, DereferencingAFreedRowThrows)
{
    Row t{};
    t.tag = "t";
    t.name = "";
    oid_t gone = dbCursor<Row>::insert(t);
    t.next = dbReference<Row>(gone);
    dbCursor<Row>::insert(t);
    dbCursor<Row> c(dbCursorForUpdate);
    c.at(gone);
    c.remove();
    EXPECT_EQ(tags("tag = 't' and next.tag = 'x'"), "error: no such row");
}

TEST(LikeTest, MatchesBytesWithOneResumptionPoint)
{
    struct Like {
        const char* text;
        const char* pattern;
        int escape;
        bool matches;
    };
    const Like cases[] = {
        {"ab", "%ab%", 0, true},     {"xaby", "%ab%", 0, true},  {"a", "%ab%", 0, false},
        {"aXb", "%ab%", 0, false},   {"abc", "a_c", 0, true},    {"ac", "a_c", 0, false},
        {"abbc", "a_c", 0, false},   {"a%", "a\\%", '\\', true}, {"ab", "a\\%", '\\', false},
        {"a", "a\\%", '\\', false},  {"a%x", "a\\%", '\\', false}, {"a%", "a%", 0, true},
        {"ab", "ab%", 0, true},      {"abc", "ab%", 0, true},    {"a", "ab%", 0, false},
        {"a\\", "a\\", '\\', false},  // an escape character at the end never matches
        {"a", "a\\", '\\', false},   {"a_c", "a\\_c", '\\', true}, {"abc", "a\\_c", '\\', false},
        {"a\\c", "a\\\\c", '\\', true}, {"", "%%", 0, true},     {"xyz", "%%", 0, true},
        {"a", "_", 0, true},         {"", "_", 0, false},        {"ab", "_", 0, false},
        {"", "", 0, true},           {"a", "", 0, false},        {"xaxb", "%a%b%", 0, true},
        {"ba", "%a%b%", 0, false},   {"aab", "%ab", 0, true},    {"abab", "%ab", 0, true},
        {"abac", "%ab", 0, false},   {"", "_%", 0, false},       {"AB", "ab", 0, false},
        {"\xe4\xb8\xad\xe6\x96\x87", "%\xe6\x96\x87", 0, true}, {"\xe4\xb8\xad", "_", 0, false},
    };
    for (const Like& c : cases)
        EXPECT_EQ(dbMatchLike(c.text, c.pattern, c.escape), c.matches) << c.text << " like " << c.pattern;
}

}  // namespace
