// Selection and sorting: ORDER BY over selections of every shape, the sort
// itself against an adversary, START FROM walks, positioning on one row,
// the whole-table selection, parallel scans and queries shared by threads.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine286/compiler.h"
#include "engine286/cursor.h"
#include "engine286/datetime.h"
#include "engine286/describe.h"
#include "engine286/query.h"
#include "engine286/select.h"
#include "support/temp_dir.h"

namespace {

struct Node {
    int32_t n;
    int32_t k;
    const char* name;
    dbDateTime when;
    dbReference<Node> next;
    dbArray<dbReference<Node>> children;
    DB_TABLE_MEMBERS;
};

struct Other {
    int32_t n;
    DB_TABLE_MEMBERS;
};

DB_TABLE(Node, "Node")
DB_TABLE(Other, "Other")

dbFieldDescriptor* Node::describeFields()
{
    return dbFields<Node>()
        .field("n", &Node::n)
        .field("k", &Node::k)
        .field("name", &Node::name)
        .field("when", &Node::when)
        .field("next", &Node::next)
        .field("children", &Node::children);
}

dbFieldDescriptor* Other::describeFields() { return dbFields<Other>().field("n", &Other::n); }

class SelectTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(db.open("select", dir.file("select.zrt").c_str())); }
    void TearDown() override
    {
        db.commit();
        db.close();
    }
    oid_t insert(int32_t n, int32_t k = 0, const char* name = "", int32_t stamp = -1)
    {
        Node node{};
        node.n = n;
        node.k = k;
        node.name = name;
        node.when = dbDateTime(stamp);
        return dbCursor<Node>::insert(node);
    }
    std::vector<int32_t> values(dbCursor<Node>& c, int32_t Node::*field = &Node::n)
    {
        std::vector<int32_t> v;
        if (c.isEmpty()) return v;
        do v.push_back(c.get()->*field);
        while (c.next() != nullptr);
        return v;
    }
    std::vector<int32_t> select(const char* condition)
    {
        dbCursor<Node> c;
        c.select(condition);
        return values(c);
    }
    TempDir dir;
    dbDatabase db;
};

// Inputs of sizes around the insertion-sort limit, ordered, reversed, with
// equal keys and shuffled, all come out in key order.
TEST_F(SelectTest, OrderBySortsSelectionsOfEveryShape)
{
    std::mt19937 random(7);
    for (int size : {2, 3, 50, 51, 52, 200, 1500}) {
        for (int shape = 0; shape < 5; shape++) {
            std::vector<int32_t> keys(size_t(size), 0);
            for (int i = 0; i < size; i++) {
                switch (shape) {
                case 0: keys[size_t(i)] = i; break;                       // ordered
                case 1: keys[size_t(i)] = size - i; break;                // reversed
                case 2: keys[size_t(i)] = int32_t(random() % 3); break;   // few distinct keys
                case 3: keys[size_t(i)] = i % 2 == 0 ? i : size - i; break;  // organ pipe
                default: keys[size_t(i)] = int32_t(random() % 100000); break;
                }
            }
            {
                dbCursor<Node> all(dbCursorForUpdate);
                all.selectAll();
                all.removeAllSelected();
            }
            for (int32_t key : keys) insert(key, int32_t(random() % 10));
            std::vector<int32_t> sorted = keys;
            std::sort(sorted.begin(), sorted.end());
            EXPECT_EQ(select("order by n"), sorted) << size << " " << shape;
            std::reverse(sorted.begin(), sorted.end());
            EXPECT_EQ(select("n >= 0 order by n desc"), sorted) << size << " " << shape;
            // A second key orders the rows the first one leaves equal.
            dbCursor<Node> c;
            c.select("order by k desc, n");
            std::vector<std::pair<int32_t, int32_t>> got, expected;
            do got.push_back({c->k, c->n});
            while (c.next() != nullptr);
            expected = got;
            std::sort(expected.begin(), expected.end(),
                      [](auto& a, auto& b) { return a.first != b.first ? a.first > b.first : a.second < b.second; });
            EXPECT_EQ(got, expected);
        }
    }
}

TEST_F(SelectTest, DescendingDatesPutRowsWithoutADateLast)
{
    insert(1, 0, "", 1000);
    insert(2, 0, "", -1);
    insert(3, 0, "", 5000);
    insert(4, 0, "", 0);
    insert(5, 0, "", -1);
    std::vector<int32_t> order = select("order by when.stamp desc");
    ASSERT_EQ(order.size(), 5u);
    EXPECT_EQ(std::vector<int32_t>(order.begin(), order.begin() + 3), (std::vector<int32_t>{3, 1, 4}));
    EXPECT_EQ(std::min(order[3], order[4]), 2);
    EXPECT_EQ(std::max(order[3], order[4]), 5);
}

TEST_F(SelectTest, StringsSortAsUnsignedBytesAndExpressionKeysAreEvaluated)
{
    insert(1, 0, "b");
    insert(2, 0, "\xc3\xa9");  // é sorts after every ASCII text
    insert(3, 0, "ab");
    insert(4, 0, "B");
    insert(5, 0, "");
    EXPECT_EQ(select("order by name"), (std::vector<int32_t>{5, 4, 3, 1, 2}));
    EXPECT_EQ(select("order by length(name) desc, name"), (std::vector<int32_t>{3, 2, 4, 1, 5}));
    EXPECT_EQ(select("order by upper(name), n desc"), (std::vector<int32_t>{5, 3, 4, 1, 2}));
    EXPECT_EQ(select("order by n - 2 * n"), (std::vector<int32_t>{5, 4, 3, 2, 1}));
    EXPECT_EQ(select("order by n = 3 desc, n"), (std::vector<int32_t>{3, 1, 2, 4, 5}));
}

// Texts that agree in their first bytes, differ after them, are equal, are
// prefixes of one another or hold bytes above 127 sort as their bytes do.
TEST_F(SelectTest, TextKeysSortByTheirBytesBeyondAnyCommonPrefix)
{
    std::mt19937 random(5);
    std::vector<std::string> names;
    const char* stems[] = {"", "a", "abcdefg", "abcdefgh", "abcdefghi", "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9", "abcdefgh\xff"};
    for (int i = 0; i < 400; i++) {
        std::string name = stems[random() % 7];
        int tail = int(random() % 3);
        for (int k = 0; k < tail; k++) name += char('a' + random() % 3);
        names.push_back(name);
    }
    for (int i = 0; i < 400; i++) insert(i, 0, names[size_t(i)].c_str());
    std::vector<std::pair<std::string, int32_t>> expected;
    for (int i = 0; i < 400; i++) expected.push_back({names[size_t(i)], i});
    std::sort(expected.begin(), expected.end());
    auto check = [&](const char* query, bool descending) {
        dbCursor<Node> c;
        ASSERT_EQ(c.select(query), 400u);
        std::vector<std::pair<std::string, int32_t>> got;
        do got.push_back({c->name, c->n});
        while (c.next() != nullptr);
        std::vector<std::pair<std::string, int32_t>> want = expected;
        if (descending)
            std::stable_sort(want.begin(), want.end(), [](auto& a, auto& b) { return a.first > b.first; });
        for (size_t i = 0; i < want.size(); i++) {
            ASSERT_EQ(got[i], want[i]) << query << " " << i;
        }
    };
    check("order by name, n", false);
    check("order by name desc, n", true);
}

// A comparison that decides values only when it must: two undecided values
// meeting fixes the second one below every undecided value. Every pass over
// neighbours then stops at once, and the median of three is always the
// second smallest value of its part, so a quicksort without a depth budget
// peels two elements off per partition (quadratic time). The depth budget
// must hand such parts to heap sort.
struct Adversary {
    explicit Adversary(size_t n) : undecided(int(n)), value(n, int(n)) {}
    bool operator()(oid_t a, oid_t b)
    {
        comparisons += 1;
        if (value[a] == undecided && value[b] == undecided) value[b] = decided++;
        return value[a] > value[b];
    }
    int undecided;
    std::vector<int> value;
    int decided = 0;
    size_t comparisons = 0;
};

TEST(SortTest, AdversaryCannotMakeTheSortQuadratic)
{
    {
        const size_t n = 4000;
        std::vector<oid_t> ids(n);
        for (size_t i = 0; i < n; i++) ids[i] = oid_t(i);
        Adversary unbounded(n);
        dbSortDetail::sortPart(ids.data(), n, 1 << 30, unbounded);
        EXPECT_GT(unbounded.comparisons, n * n / 4);  // the adversary works
    }
    const size_t n = 20000;
    std::vector<oid_t> ids(n);
    for (size_t i = 0; i < n; i++) ids[i] = oid_t(i);
    Adversary adversary(n);
    dbSortArray(ids.data(), n, adversary);
    for (size_t i = 1; i < n; i++) ASSERT_LE(adversary.value[ids[i - 1]], adversary.value[ids[i]]) << i;
    EXPECT_LT(adversary.comparisons, 100 * n);
}

TEST(SortTest, OrderedAndReversedInputsTakeOnePassEach)
{
    for (size_t n : {10, 50, 51, 1000}) {
        std::vector<oid_t> ids(n);
        size_t comparisons = 0;
        auto greater = [&](oid_t a, oid_t b) {
            comparisons += 1;
            return a > b;
        };
        for (size_t i = 0; i < n; i++) ids[i] = oid_t(i + 1);
        dbSortArray(ids.data(), n, greater);
        EXPECT_EQ(comparisons, n - 1);
        EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
        comparisons = 0;
        for (size_t i = 0; i < n; i++) ids[i] = oid_t(n - i);
        dbSortArray(ids.data(), n, greater);
        EXPECT_EQ(comparisons, n);  // the first pair ends the first pass
        EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
    }
}

TEST(SortTest, RandomArraysOfEverySizeAroundTheLimits)
{
    std::mt19937 random(11);
    for (size_t n = 0; n < 300; n++) {
        for (int distinct : {2, 1000000}) {
            std::vector<oid_t> ids(n);
            for (oid_t& id : ids) id = oid_t(random() % unsigned(distinct));
            std::vector<oid_t> expected = ids;
            std::sort(expected.begin(), expected.end());
            auto greater = [](oid_t a, oid_t b) { return a > b; };
            dbSortArray(ids.data(), n, greater);
            ASSERT_EQ(ids, expected) << n;
        }
    }
}

TEST_F(SelectTest, CurrentEqualsReferencePositionsOnOneRow)
{
    insert(1);
    oid_t second = insert(2);
    insert(3);
    dbReference<Node> ref(second);
    dbQuery q;
    q = "current = ", ref;
    dbCursor<Node> c;
    EXPECT_EQ(c.select(q), 1u);
    EXPECT_EQ(c->n, 2);
    EXPECT_EQ(c.getOid(), second);
    q = "", ref, " = current";
    EXPECT_EQ(c.select(q), 1u);
    EXPECT_EQ(c->n, 2);
    ref = dbReference<Node>();
    EXPECT_THROW(c.select(q), dbException);
}

TEST_F(SelectTest, EmptyConditionSelectsTheWholeTableWithoutIds)
{
    for (int i = 0; i < 5; i++) insert(i);
    dbCursor<Node> c;
    EXPECT_EQ(c.select(""), 5u);
    EXPECT_TRUE(c.wholeTable);
    EXPECT_EQ(values(c), (std::vector<int32_t>{0, 1, 2, 3, 4}));
    EXPECT_EQ(c.select("order by n desc"), 5u);
    EXPECT_FALSE(c.wholeTable);
    EXPECT_EQ(values(c), (std::vector<int32_t>{4, 3, 2, 1, 0}));
}

TEST_F(SelectTest, LimitStopsTheScan)
{
    for (int i = 0; i < 10; i++) insert(i);
    dbCursor<Node> c;
    c.limit = 3;
    EXPECT_EQ(c.select("n > 2"), 3u);
    EXPECT_EQ(values(c), (std::vector<int32_t>{3, 4, 5}));
}

TEST_F(SelectTest, AQueryThatDoesNotCompileSelectsNothing)
{
    insert(1);
    dbCursor<Node> c;
    testing::internal::CaptureStderr();
    EXPECT_EQ(c.select("m = 1"), 0u);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Field not found in position 0\n");
    EXPECT_TRUE(c.isEmpty());
    EXPECT_EQ(c.getOid(), 0u);
}

TEST_F(SelectTest, AQueryIsCompiledAgainForAnotherTable)
{
    insert(7);
    Other other{7};
    dbCursor<Other>::insert(other);
    dbQuery q("n = 7");
    dbCursor<Node> nodes;
    dbCursor<Other> others;
    EXPECT_EQ(nodes.select(q), 1u);
    dbTableDescriptor* first = q.table;
    EXPECT_EQ(others.select(q), 1u);
    EXPECT_NE(q.table, first);
    EXPECT_EQ(nodes.select(q), 1u);
    EXPECT_EQ(q.table, first);
}

class WalkTest : public SelectTest {
protected:
    // 1 -> 2 -> 3 -> 1 by next (a cycle); 1 has children 4, 5, 2; 6 is alone.
    void SetUp() override
    {
        SelectTest::SetUp();
        for (int i = 1; i <= 6; i++) id[i] = insert(i);
        dbCursor<Node> c(dbCursorForUpdate);
        auto link = [&](int from, int to) {
            c.at(id[from]);
            c->next = dbReference<Node>(id[to]);
            c.update();
        };
        link(1, 2);
        link(2, 3);
        link(3, 1);
        c.at(id[1]);
        c->children = {dbReference<Node>(id[4]), dbReference<Node>(id[5]), dbReference<Node>(id[2])};
        c.update();
    }
    oid_t id[7] = {};
};

TEST_F(WalkTest, StartFromFollowsReferencesAndVisitsEachRowOnce)
{
    EXPECT_EQ(select("start from first follow by next"), (std::vector<int32_t>{1, 2, 3}));
    // Fields are followed in reverse order of writing; array elements in order.
    EXPECT_EQ(select("start from first follow by next, children"), (std::vector<int32_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(select("start from first follow by children, next"), (std::vector<int32_t>{1, 4, 5, 2, 3}));
    EXPECT_EQ(select("n > 2 start from first follow by next, children order by n desc"),
              (std::vector<int32_t>{5, 4, 3}));
    EXPECT_EQ(select("start from last follow by next"), (std::vector<int32_t>{6}));
    // No row matches: the cycle is still walked only once.
    EXPECT_EQ(select("n > 100 start from first follow by next"), std::vector<int32_t>{});

    dbReference<Node> start(id[3]);
    dbArray<dbReference<Node>> starts = {dbReference<Node>(id[6]), dbReference<Node>(), dbReference<Node>(id[2])};
    dbArray<dbReference<Node>>* pointer = &starts;
    dbQuery q;
    q = "start from ", start, " follow by next";
    dbCursor<Node> c;
    c.select(q);
    EXPECT_EQ(values(c), (std::vector<int32_t>{3, 1, 2}));
    q = "start from ", starts;
    c.select(q);
    EXPECT_EQ(values(c), (std::vector<int32_t>{6, 2}));
    q = "start from ", pointer, " follow by next";
    c.select(q);
    EXPECT_EQ(values(c), (std::vector<int32_t>{6, 2, 3, 1}));
}

TEST_F(WalkTest, AWalkEndsOverACycleWhateverTheLimit)
{
    dbCursor<Node> c;
    c.limit = 1;
    EXPECT_EQ(c.select("n > 100 start from first follow by next"), 0u);
    EXPECT_EQ(c.select("start from first follow by next"), 1u);
}

// With several worker threads large tables are scanned in parallel; the
// rows found and, with ORDER BY, their order are those of a single scan,
// and an error on any worker reaches the caller.
TEST(ParallelScanTest, FindsWhatASingleScanFinds)
{
    TempDir dir;
    dbDatabase db(dbDatabase::dbReadWrite, 0, dbDefaultExtensionQuantum, dbDefaultInitIndexSize, 4);
    ASSERT_TRUE(db.open("parallel", dir.file("parallel.zrt").c_str()));
    std::mt19937 random(3);
    std::vector<int32_t> keys;
    for (int i = 0; i < 5000; i++) {
        Node node{};
        node.n = int32_t(random() % 1000);
        node.k = i;
        node.name = "";
        keys.push_back(node.n);
        dbCursor<Node>::insert(node);
    }
    auto run = [&](const char* condition) {
        dbCursor<Node> c;
        std::vector<int32_t> v;
        if (c.select(condition) == 0) return v;
        do v.push_back(c->n);
        while (c.next() != nullptr);
        return v;
    };
    std::vector<int32_t> expected;
    for (int32_t key : keys)
        if (key % 7 == 3) expected.push_back(key);
    std::vector<int32_t> found = run("n - n / 7 * 7 = 3");
    std::sort(found.begin(), found.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(found, expected);
    EXPECT_EQ(run("n - n / 7 * 7 = 3 order by n"), expected);
    std::vector<int32_t> all = keys;
    std::sort(all.begin(), all.end(), std::greater<int32_t>());
    EXPECT_EQ(run("order by n desc"), all);

    // The row with k = 4001 is tested by the second worker.
    testing::internal::CaptureStderr();
    EXPECT_THROW(run("k = 4001 and 1 / (k - 4001) = 0"), dbException);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Division by zero\n");
    db.commit();
    db.close();
}

// Threads share one query: each compiles with its own compiler (the first
// select compiles under the query's mutex) and reads the shared tree.
TEST_F(SelectTest, ThreadsShareAQuery)
{
    for (int i = 0; i < 100; i++) insert(i % 10, i);
    db.commit();
    int32_t wanted = 3;
    dbQuery shared;
    shared = "n = ", wanted, " order by k desc";
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&, t] {
            db.attach();
            for (int round = 0; round < 50; round++) {
                dbCursor<Node> c;
                if (c.select(shared) != 10 || c->k != 93) failures[size_t(t)] += 1;
                dbQuery own("k < 5 order by k");
                if (c.select(own) != 5) failures[size_t(t)] += 1;
                db.commit();
            }
            db.detach();
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}

}  // namespace
