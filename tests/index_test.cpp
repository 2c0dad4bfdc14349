// Hash and T-tree indices: their structure, their maintenance by record
// operations, and searches.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine286/cursor.h"
#include "engine286/describe.h"
#include "engine286/hashtab.h"
#include "engine286/ttree.h"
#include "support/temp_dir.h"
#include "support/test_database.h"

namespace {

struct Keyed {
    int32_t number;
    const char* code;
    int32_t payload;
    DB_TABLE_MEMBERS;
};
DB_TABLE(Keyed, "Keyed")
dbFieldDescriptor* Keyed::describeFields()
{
    return dbFields<Keyed>()
        .field("number", &Keyed::number, dbField::Indexed)
        .field("code", &Keyed::code, dbField::Hashed | dbField::Indexed)
        .field("payload", &Keyed::payload);
}

dbFieldDescriptor* numberField() { return Keyed::dbDescriptor.columns; }
dbFieldDescriptor* codeField() { return Keyed::dbDescriptor.columns->next; }

class IndexTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(db.open("index", dir.file("index.zrt").c_str())); }
    void TearDown() override
    {
        db.commit();
        db.beginTransaction(dbDatabase::dbSharedLock);
        dbCheckReport report = db.check();
        EXPECT_TRUE(report.ok()) << describe(report);
        db.commit();
        db.close();
    }
    oid_t insert(int32_t number, const std::string& code, int32_t payload = 0)
    {
        Keyed k{number, code.c_str(), payload};
        return dbCursor<Keyed>::insert(k);
    }
    // Records whose number lies in the range, in the order the tree gives.
    std::vector<oid_t> range(const int32_t* low, int lowIncl, const int32_t* high, int highIncl, size_t limit = 0)
    {
        dbCursor<Keyed> cursor;
        cursor.reset();
        db.beginTransaction(dbDatabase::dbSharedLock);
        cursor.registerCursor();
        if (limit != 0) cursor.limit = limit;
        dbSearchContext sc;
        sc.db = &db;
        sc.cursor = &cursor;
        sc.firstKey = reinterpret_cast<const char*>(low);
        sc.firstKeyInclusion = lowIncl;
        sc.lastKey = reinterpret_cast<const char*>(high);
        sc.lastKeyInclusion = highIncl;
        sc.type = dbField::tpInt4;
        sc.sizeofType = 4;
        sc.offs = numberField()->storedOffset;
        dbTtree::find(&db, numberField()->tTree, sc);
        return ids(cursor);
    }
    std::vector<oid_t> byCode(const std::string& code)
    {
        dbCursor<Keyed> cursor;
        cursor.reset();
        db.beginTransaction(dbDatabase::dbSharedLock);
        cursor.registerCursor();
        dbSearchContext sc;
        sc.db = &db;
        sc.cursor = &cursor;
        sc.firstKey = code.c_str();
        sc.type = dbField::tpString;
        sc.offs = codeField()->storedOffset;
        dbHashIndex::find(&db, codeField()->hashTable, sc);
        return ids(cursor);
    }
    static std::vector<oid_t> ids(dbAnyCursor& cursor)
    {
        std::vector<oid_t> out;
        for (dbSelection::segment* s = cursor.selection.first; s != nullptr; s = s->next)
            out.insert(out.end(), s->rows, s->rows + s->count);
        return out;
    }
    const dbTtreeNode* node(oid_t id) { return reinterpret_cast<const dbTtreeNode*>(db.get(id)); }
    oid_t treeRoot() { return *reinterpret_cast<const oid_t*>(db.get(numberField()->tTree)); }
    TempDir dir;
    TestDatabase db;
};

TEST(HashCodeTest, StringKeys)
{
    EXPECT_EQ(dbHashIndex::hashCode(reinterpret_cast<const byte*>("abc"), 3), 96354u);
    EXPECT_EQ(dbHashIndex::hashCode(reinterpret_cast<const byte*>(""), 0), 0u);
}

TEST_F(IndexTest, HashTableSizeFollowsRowCountAndCounterMovesByTwoAndOne)
{
    db.beginTransaction(dbDatabase::dbExclusiveLock);
    oid_t hash = dbHashIndex::create(&db, 20000);
    const auto* header = reinterpret_cast<const dbHashTable*>(db.get(hash));
    EXPECT_EQ(header->mask, 32767u);
    EXPECT_EQ(db.getPos(header->page + 31) & dbInternalObjectMarker, uint32_t(dbPageObject));
    EXPECT_EQ(db.getPos(header->page + 31) - db.getPos(header->page), 31u * 4096);
    dbHashIndex::drop(&db, hash);

    uint32_t used = reinterpret_cast<const dbHashTable*>(db.get(codeField()->hashTable))->used;
    oid_t a = insert(1, "same");
    EXPECT_EQ(reinterpret_cast<const dbHashTable*>(db.get(codeField()->hashTable))->used, used + 2);
    oid_t b = insert(2, "same");
    EXPECT_EQ(reinterpret_cast<const dbHashTable*>(db.get(codeField()->hashTable))->used, used + 2);
    EXPECT_EQ(byCode("same"), (std::vector<oid_t>{b, a}));  // newest first
    dbCursor<Keyed> cursor(dbCursorForUpdate);
    cursor.at(a);
    cursor.remove();
    cursor.at(b);
    cursor.remove();
    EXPECT_EQ(reinterpret_cast<const dbHashTable*>(db.get(codeField()->hashTable))->used, used + 1);
    EXPECT_TRUE(byCode("same").empty());
}

TEST_F(IndexTest, AscendingKeysFillTheRootThenARightChild)
{
    std::vector<oid_t> ids;
    for (int i = 0; i < 126; i++) ids.push_back(insert(i, "c" + std::to_string(i)));
    const dbTtreeNode* root = node(treeRoot());
    EXPECT_EQ(root->nItems, 125);
    EXPECT_EQ(root->left, 0u);
    ASSERT_NE(root->right, 0u);
    EXPECT_EQ(node(root->right)->nItems, 1);
    EXPECT_EQ(node(root->right)->item[0], ids[125]);

    // A smaller key into the full root: the root's displaced item moves
    // into a subtree; the root stays.
    oid_t rootId = treeRoot();
    insert(-1, "minus");
    EXPECT_EQ(treeRoot(), rootId);
    EXPECT_EQ(node(rootId)->nItems, 125);
    EXPECT_EQ(range(nullptr, 1, nullptr, 1).size(), 127u);
}

TEST_F(IndexTest, RangeSearchBoundsDuplicatesAndCursorLimit)
{
    for (int i = 0; i < 300; i++) insert(i / 3, "x");  // each key three times
    int32_t low = 10, high = 12;
    EXPECT_EQ(range(&low, 1, &high, 1).size(), 9u);
    EXPECT_EQ(range(&low, 0, &high, 1).size(), 6u);
    EXPECT_EQ(range(&low, 0, &high, 0).size(), 3u);
    int32_t key = 50;
    EXPECT_EQ(range(&key, 1, &key, 1).size(), 3u);
    EXPECT_EQ(range(nullptr, 1, nullptr, 1, 10).size(), 10u);
    // Ascending key order.
    std::vector<oid_t> all = range(nullptr, 1, nullptr, 1);
    int32_t previous = -1;
    for (oid_t id : all) {
        dbCursor<Keyed> c;
        int32_t n = c.at(id)->number;
        EXPECT_GE(n, previous);
        previous = n;
    }
}

TEST_F(IndexTest, RemovalsShrinkBorrowAndFreeNodes)
{
    std::vector<oid_t> ids;
    for (int i = 0; i < 250; i++) ids.push_back(insert(i, "r"));
    // Removing down from the right-hand node keeps the tree balanced and
    // frees emptied nodes.
    dbCursor<Keyed> cursor(dbCursorForUpdate);
    for (int i = 249; i >= 100; i--) {
        cursor.at(ids[size_t(i)]);
        cursor.remove();
    }
    EXPECT_EQ(range(nullptr, 1, nullptr, 1).size(), 100u);
    const dbTtreeNode* root = node(treeRoot());
    EXPECT_EQ(root->nItems + (root->left ? node(root->left)->nItems : 0) + (root->right ? node(root->right)->nItems : 0),
              100);
    for (int i = 0; i < 100; i++) {
        cursor.at(ids[size_t(i)]);
        cursor.remove();
    }
    EXPECT_EQ(treeRoot(), 0u);
}

TEST_F(IndexTest, UpdateMovesOnlyChangedKeys)
{
    oid_t id = insert(5, "old");
    dbCursor<Keyed> cursor(dbCursorForUpdate);
    cursor.at(id);
    cursor->payload = 99;  // not indexed
    cursor.update();
    int32_t five = 5;
    EXPECT_EQ(range(&five, 1, &five, 1), std::vector<oid_t>{id});
    cursor.at(id);
    cursor->number = 6;
    cursor->code = "new";
    cursor.update();
    EXPECT_TRUE(range(&five, 1, &five, 1).empty());
    EXPECT_TRUE(byCode("old").empty());
    EXPECT_EQ(byCode("new"), std::vector<oid_t>{id});
}

// Thousands of random changes, checked after every commit against a model.
TEST_F(IndexTest, RandomChangesMatchAMultimapModel)
{
    std::mt19937 random(7);
    std::multimap<int32_t, oid_t> model;
    std::map<oid_t, int32_t> numbers;
    std::map<oid_t, std::string> codes;
    for (int round = 0; round < 40; round++) {
        for (int op = 0; op < 100; op++) {
            int action = int(random() % 10);
            if (action < 5 || numbers.empty()) {
                int32_t n = int32_t(random() % 500);
                std::string code = "k" + std::to_string(random() % 200);
                oid_t id = insert(n, code);
                model.emplace(n, id);
                numbers[id] = n;
                codes[id] = code;
            } else {
                auto it = numbers.begin();
                std::advance(it, random() % numbers.size());
                oid_t id = it->first;
                auto range = model.equal_range(it->second);
                for (auto m = range.first; m != range.second; ++m)
                    if (m->second == id) {
                        model.erase(m);
                        break;
                    }
                dbCursor<Keyed> cursor(dbCursorForUpdate);
                cursor.at(id);
                if (action < 8) {
                    int32_t n = int32_t(random() % 500);
                    std::string code = "k" + std::to_string(random() % 200);
                    cursor->number = n;
                    cursor->code = code.c_str();
                    cursor.update();
                    model.emplace(n, id);
                    numbers[id] = n;
                    codes[id] = code;
                } else {
                    cursor.remove();
                    numbers.erase(id);
                    codes.erase(id);
                }
            }
        }
        db.commit();
        int32_t low = int32_t(random() % 500), high = low + int32_t(random() % 50);
        std::vector<oid_t> found = range(&low, 1, &high, 0);
        std::vector<oid_t> expected;
        for (auto it = model.lower_bound(low); it != model.end() && it->first < high; ++it) expected.push_back(it->second);
        std::sort(found.begin(), found.end());
        std::sort(expected.begin(), expected.end());
        ASSERT_EQ(found, expected) << "round " << round;
        std::string code = "k" + std::to_string(random() % 200);
        std::vector<oid_t> hashed = byCode(code);
        std::vector<oid_t> expectedCodes;
        for (auto& [id, c] : codes)
            if (c == code) expectedCodes.push_back(id);
        std::sort(hashed.begin(), hashed.end());
        ASSERT_EQ(hashed, expectedCodes) << "round " << round;
        db.commit();
        db.beginTransaction(dbDatabase::dbSharedLock);
        dbCheckReport report = db.check();
        ASSERT_TRUE(report.ok()) << describe(report);
        db.commit();
    }
}

}  // namespace

namespace {

TEST(IndexCheckTest, DamagedIndicesAreReported)
{
    TempDir dir;
    std::string file = dir.file("damaged.zrt");
    oid_t rootNode = 0, someItem = 0;
    {
        TestDatabase db;
        ASSERT_TRUE(db.open("damaged", file.c_str()));
        for (int i = 0; i < 20; i++) {
            std::string code = "c" + std::to_string(i);
            Keyed k{i, code.c_str(), 0};
            dbCursor<Keyed>::insert(k);
        }
        db.commit();
        db.beginTransaction(dbDatabase::dbSharedLock);
        rootNode = *reinterpret_cast<const oid_t*>(db.get(numberField()->tTree));
        const auto* header = reinterpret_cast<const dbHashTable*>(db.get(codeField()->hashTable));
        for (uint32_t b = 0; b < header->mask && someItem == 0; b++)
            someItem = reinterpret_cast<const oid_t*>(db.get(header->page + b / 1024))[b % 1024];
        db.commit();
        db.close();
    }
    std::string bytes = readFile(file);
    ASSERT_TRUE(checkDatabaseImage(bytes.data(), bytes.size()).ok());
    auto positionOf = [&](oid_t id) {
        uint32_t curr, indexOffs, pos;
        std::memcpy(&curr, bytes.data() + 4, 4);
        std::memcpy(&indexOffs, bytes.data() + 16 + 24 * curr, 4);
        std::memcpy(&pos, bytes.data() + indexOffs + 4 * id, 4);
        return pos & ~7u;
    };
    std::string tree = bytes;
    char* items = tree.data() + positionOf(rootNode) + 12;
    std::swap_ranges(items, items + 4, items + 4);  // first two items out of order
    EXPECT_NE(describe(checkDatabaseImage(tree.data(), tree.size())).find("T-tree of number is not in key order"),
              std::string::npos);
    std::string hash = bytes;
    hash[positionOf(someItem) + 8] ^= 1;  // the stored hash code
    EXPECT_NE(describe(checkDatabaseImage(hash.data(), hash.size())).find("has a wrong hash code"), std::string::npos);
}

}  // namespace

namespace {

TEST(HashGrowthTest, TableStartedEmptyKeepsGrowingWithItsRows)
{
    TempDir dir;
    TestDatabase db;
    ASSERT_TRUE(db.open("growth", dir.file("growth.zrt").c_str()));
    // Keys whose last byte varies widely, so that they spread over the
    // buckets of any modulus.
    for (int i = 0; i < 60000; i++) {
        std::string code = "k" + std::to_string(i) + char('A' + i % 58);
        Keyed k{i, code.c_str(), 0};
        dbCursor<Keyed>::insert(k);
    }
    db.commit();
    db.beginTransaction(dbDatabase::dbSharedLock);
    const auto* hash = reinterpret_cast<const dbHashTable*>(db.get(codeField()->hashTable));
    // Chains stay short: the table has grown past the number of rows.
    EXPECT_GE(hash->mask, 65535u) << "used " << hash->used;
    dbCheckReport report = db.check();
    EXPECT_TRUE(report.ok()) << describe(report);
    db.commit();
    db.close();
}

}  // namespace
