// Selections answered by indices give the same rows as scans, in key order
// where the index gives one.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine286/cursor.h"
#include "engine286/describe.h"
#include "engine286/query.h"
#include "support/temp_dir.h"
#include "support/test_database.h"

namespace {

// The same rows in an indexed table and in a plain one.
struct IndexedRow {
    int32_t n;
    int16_t small;
    const char* s;
    int32_t m;
    DB_TABLE_MEMBERS;
};
struct PlainRow {
    int32_t n;
    int16_t small;
    const char* s;
    int32_t m;
    DB_TABLE_MEMBERS;
};
DB_TABLE(IndexedRow, "IndexedRow")
DB_TABLE(PlainRow, "PlainRow")
dbFieldDescriptor* IndexedRow::describeFields()
{
    return dbFields<IndexedRow>()
        .field("n", &IndexedRow::n, dbField::Indexed)
        .field("small", &IndexedRow::small, dbField::Indexed)
        .field("s", &IndexedRow::s, dbField::Indexed | dbField::Hashed)
        .field("m", &IndexedRow::m, dbField::Hashed);
}
dbFieldDescriptor* PlainRow::describeFields()
{
    return dbFields<PlainRow>()
        .field("n", &PlainRow::n)
        .field("small", &PlainRow::small)
        .field("s", &PlainRow::s)
        .field("m", &PlainRow::m);
}

class QueryIndexTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(db.open("qindex", dir.file("qindex.zrt").c_str()));
        std::mt19937 random(3);
        const char* words[] = {"ab", "abc", "abd", "ac", "b", "a_c", "axc", "", "zz", "ab%"};
        for (int i = 0; i < 600; i++) {
            int32_t n = int32_t(random() % 200);
            int16_t small = int16_t(int(random() % 100) - 50);
            const char* s = words[random() % 10];
            int32_t m = int32_t(random() % 7);
            IndexedRow a{n, small, s, m};
            PlainRow b{n, small, s, m};
            dbCursor<IndexedRow>::insert(a);
            dbCursor<PlainRow>::insert(b);
        }
        db.commit();
    }
    void TearDown() override { db.close(); }

    // Rows of a selection as "n/s/m" texts, in selection order.
    template <class T>
    std::vector<std::string> rows(const std::string& condition)
    {
        dbCursor<T> cursor;
        std::vector<std::string> out;
        if (cursor.select(condition.c_str()) > 0) {
            do {
                out.push_back(std::to_string(cursor->n) + "/" + std::to_string(cursor->small) + "/" + cursor->s + "/" +
                              std::to_string(cursor->m));
            } while (cursor.next() != nullptr);
        }
        db.commit();
        return out;
    }
    TempDir dir;
    TestDatabase db;
};

TEST_F(QueryIndexTest, IndexedAndScannedSelectionsAgree)
{
    const char* conditions[] = {
        "n = 17",
        "n > 150",
        "n >= 150 and n < 160",
        "n <= 3",
        "n between 10 and 20",
        "n between 10 and 10",
        "s = 'abc'",
        "s = ''",
        "s like 'ab%'",
        "s like 'a_c%'",
        "s like '%c'",
        "s like 'ab\\%' escape '\\'",
        "s like '%'",
        "s > 'ab' and s < 'b'",
        "m = 3 or n = 5",
        "m = 3 or m = 4 or s = 'zz'",
        "small = -50",
        "small = 70000",
        "small < -40",
        "n = 17 and m = 2",
    };
    for (const char* c : conditions) {
        std::vector<std::string> indexed = rows<IndexedRow>(c);
        std::vector<std::string> scanned = rows<PlainRow>(c);
        std::sort(indexed.begin(), indexed.end());
        std::sort(scanned.begin(), scanned.end());
        EXPECT_EQ(indexed, scanned) << c;
        EXPECT_FALSE(scanned.empty() && std::string(c) != "small = 70000") << c;
    }
}

int keyOf(const std::string& row) { return std::stoi(row.substr(0, row.find('/'))); }

TEST_F(QueryIndexTest, RangeSearchAndIndexedOrderComeInKeyOrder)
{
    // A scan returns rows in insertion order; the T-tree in key order.
    std::vector<std::string> range = rows<IndexedRow>("n >= 0");
    ASSERT_EQ(range.size(), 600u);
    EXPECT_TRUE(std::is_sorted(range.begin(), range.end(), [](auto& a, auto& b) { return keyOf(a) < keyOf(b); }));
    std::vector<std::string> scanned = rows<PlainRow>("n >= 0");
    EXPECT_FALSE(std::is_sorted(scanned.begin(), scanned.end(), [](auto& a, auto& b) { return keyOf(a) < keyOf(b); }));

    // ORDER BY an indexed field with a condition no index answers.
    std::vector<std::string> ordered = rows<IndexedRow>("m <> 3 order by n desc");
    EXPECT_EQ(ordered.size(), rows<PlainRow>("m <> 3").size());
    EXPECT_TRUE(std::is_sorted(ordered.begin(), ordered.end(), [](auto& a, auto& b) { return keyOf(a) > keyOf(b); }));
}

TEST_F(QueryIndexTest, BoundParametersAreUsedAsKeys)
{
    int32_t key = 42;
    const char* text = "abc";
    dbQuery byNumber, byText;
    byNumber = "n=", key;
    byText = "s=", &text;
    dbCursor<IndexedRow> cursor;
    dbCursor<PlainRow> plain;
    for (key = 40; key < 45; key++) {
        EXPECT_EQ(cursor.select(byNumber), plain.select(byNumber)) << key;
        db.commit();
    }
    for (const char* t : {"abc", "ab", "it's", ""}) {
        text = t;
        EXPECT_EQ(cursor.select(byText), plain.select(byText)) << t;
        db.commit();
    }
}

}  // namespace
