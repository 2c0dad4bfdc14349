// Cursors, record operations and the row-number cursor and string buffer.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine286/cursor.h"
#include "engine286/describe.h"
#include "support/temp_dir.h"
#include "support/test_database.h"
#include "vorda/vorda_buffer.h"
#include "vorda/vorda_cursor.h"

namespace {

struct Item {
    int32_t n;
    const char* text;
    DB_TABLE_MEMBERS;
};
DB_TABLE(Item, "Item")
dbFieldDescriptor* Item::describeFields() { return dbFields<Item>().field("n", &Item::n).field("text", &Item::text); }

// Owners and targets with inverse references: a target knows its owners.
struct Target;
struct Owner {
    int32_t n;
    dbReference<Target> target;
    DB_TABLE_MEMBERS;
};
struct Target {
    const char* name;
    dbArray<dbReference<Owner>> owners;
    DB_TABLE_MEMBERS;
};
DB_TABLE(Owner, "Owner")
DB_TABLE(Target, "Target")
dbFieldDescriptor* Owner::describeFields()
{
    return dbFields<Owner>().field("n", &Owner::n).field("target", &Owner::target, 0, "owners");
}
dbFieldDescriptor* Target::describeFields()
{
    return dbFields<Target>().field("name", &Target::name).field("owners", &Target::owners, 0, "target");
}

class CursorTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(db.open("cursors", dir.file("cursors.zrt").c_str())); }
    void TearDown() override
    {
        db.commit();
        db.beginTransaction(dbDatabase::dbSharedLock);
        dbCheckReport report = db.check();
        EXPECT_TRUE(report.ok()) << describe(report);
        db.commit();
        db.close();
    }
    std::vector<oid_t> insertItems(int count)
    {
        std::vector<oid_t> ids;
        for (int i = 0; i < count; i++) {
            std::string text = "item" + std::to_string(i);
            Item item{i, text.c_str()};
            ids.push_back(dbCursor<Item>::insert(item));
        }
        return ids;
    }
    // Fills a selection cursor with the given ids, as a query would.
    template <class C>
    void selectIds(C& cursor, const std::vector<oid_t>& ids)
    {
        cursor.reset();
        db.beginTransaction(cursor.type == dbCursorForUpdate ? dbDatabase::dbExclusiveLock : dbDatabase::dbSharedLock);
        cursor.registerCursor();
        for (oid_t id : ids) cursor.add(id);
        if (cursor.first()) cursor.fetch();
    }
    TempDir dir;
    TestDatabase db;
};

TEST_F(CursorTest, EmptyTableSelectsNothing)
{
    dbCursor<Item> cursor;
    EXPECT_EQ(cursor.selectAll(), 0u);
    EXPECT_FALSE(cursor.first());
    EXPECT_EQ(cursor.getOid(), 0u);
    EXPECT_EQ(cursor.next(), nullptr);
    EXPECT_FALSE(cursor.prev());
    EXPECT_THROW(cursor.get(), dbException);
}

TEST_F(CursorTest, InsertAppendsToTheRowChainAndWalksBothWays)
{
    std::vector<oid_t> ids = insertItems(3);
    const auto* second = reinterpret_cast<const dbRecord*>(db.getRow(ids[1]));
    EXPECT_EQ(second->prev, ids[0]);
    EXPECT_EQ(second->next, ids[2]);
    dbCursor<Item> cursor;
    EXPECT_EQ(cursor.selectAll(), 3u);
    EXPECT_EQ(cursor->n, 0);
    EXPECT_STREQ(cursor.next()->text, "item1");
    EXPECT_EQ(cursor.next()->n, 2);
    EXPECT_EQ(cursor.next(), nullptr);
    EXPECT_EQ(cursor->n, 2);  // still on the last row
    EXPECT_TRUE(cursor.prev());
    EXPECT_EQ(cursor->n, 1);
}

TEST_F(CursorTest, WholeTableRemoveMovesToTheNextOrNewLastRow)
{
    insertItems(3);
    dbCursor<Item> cursor(dbCursorForUpdate);
    cursor.selectAll();
    cursor.next();
    cursor.remove();  // the middle row
    EXPECT_EQ(cursor->n, 2);
    cursor.remove();  // the last row
    EXPECT_EQ(cursor->n, 0);
    cursor.remove();  // the only row
    EXPECT_EQ(cursor.getOid(), 0u);
    db.commit();
    EXPECT_EQ(cursor.selectAll(), 0u);
    const auto* table = reinterpret_cast<const dbStoredTable*>(db.getRow(Item::dbDescriptor.tableId));
    EXPECT_EQ(table->firstRow, 0u);
    EXPECT_EQ(table->lastRow, 0u);
    EXPECT_EQ(table->nRows, 0u);
}

TEST_F(CursorTest, SelectionRemoveAcrossSegmentBoundary)
{
    std::vector<oid_t> ids = insertItems(1500);
    dbCursor<Item> cursor(dbCursorForUpdate);
    selectIds(cursor, ids);
    EXPECT_EQ(cursor.getNumberOfRecords(), 1500u);
    // Walk to the 1024th id (the last of the first segment) and remove it.
    for (int i = 0; i < 1023; i++) ASSERT_NE(cursor.next(), nullptr);
    EXPECT_EQ(cursor->n, 1023);
    cursor.remove();
    EXPECT_EQ(cursor->n, 1024);
    EXPECT_EQ(cursor.getNumberOfRecords(), 1499u);
    // Remove the last id of the whole selection: the cursor goes to the new last.
    while (cursor.next() != nullptr) {
    }
    EXPECT_EQ(cursor->n, 1499);
    cursor.remove();
    EXPECT_EQ(cursor->n, 1498);
}

TEST_F(CursorTest, UpdateRewritesTheRowAndOtherCursorsSeeIt)
{
    std::vector<oid_t> ids = insertItems(2);
    dbCursor<Item> reader;
    reader.at(ids[0]);
    dbCursor<Item> writer(dbCursorForUpdate);
    writer.at(ids[0]);
    std::string longer(300, 'x');
    writer->text = longer.c_str();  // a new size: the row moves
    writer.update();
    EXPECT_EQ(std::string(reader->text), longer);
    db.commit();
    dbCursor<Item> check;
    EXPECT_EQ(std::string(check.at(ids[0])->text), longer);
    EXPECT_THROW(check.update(), dbException);  // a read cursor
    EXPECT_THROW(check.at(0), dbException);
}

TEST_F(CursorTest, RemovedRowClearsOtherCursorsOnIt)
{
    std::vector<oid_t> ids = insertItems(2);
    dbCursor<Item> reader;
    reader.at(ids[1]);
    dbCursor<Item> writer(dbCursorForUpdate);
    writer.at(ids[1]);
    writer.remove();
    EXPECT_EQ(reader.getOid(), 0u);
    EXPECT_THROW(reader.at(ids[1]), dbException);  // freed: the fetch throws
}

TEST_F(CursorTest, CursorsAreResetWhenTheTransactionEnds)
{
    insertItems(2);
    dbCursor<Item> cursor;
    cursor.selectAll();
    EXPECT_NE(cursor.getOid(), 0u);
    db.commit();
    EXPECT_EQ(cursor.getOid(), 0u);
}

TEST_F(CursorTest, InverseReferencesFollowInsertUpdateAndRemove)
{
    Target t1{"t1", {}}, t2{"t2", {}};
    oid_t a = dbCursor<Target>::insert(t1);
    oid_t b = dbCursor<Target>::insert(t2);
    std::vector<oid_t> owners;
    for (int i = 0; i < 20; i++) {
        Owner o{i, dbReference<Target>(a)};
        owners.push_back(dbCursor<Owner>::insert(o));
    }
    dbCursor<Target> target;
    ASSERT_EQ(target.at(a)->owners.length(), 20u);
    EXPECT_EQ(target->owners[19].getOid(), owners[19]);
    EXPECT_STREQ(target->name, "t1");

    // Moving one owner to the other target.
    dbCursor<Owner> owner(dbCursorForUpdate);
    owner.at(owners[3]);
    owner->target = dbReference<Target>(b);
    owner.update();
    EXPECT_EQ(target.at(a)->owners.length(), 19u);
    EXPECT_EQ(target.at(b)->owners.length(), 1u);

    // Removing an owner takes it out of its target's array; removing a
    // target clears its owners' references.
    owner.at(owners[0]);
    owner.remove();
    EXPECT_EQ(target.at(a)->owners.length(), 18u);
    dbCursor<Target> remover(dbCursorForUpdate);
    remover.at(b);
    remover.remove();
    EXPECT_TRUE(owner.at(owners[3])->target.isNull());
}

TEST(VordaBufferTest, PutResetAndBlockGrowth)
{
    vordaBuffer buffer;
    EXPECT_EQ(buffer.put(nullptr), buffer.put(""));
    const char* first = buffer.put("ab");
    const char* second = buffer.put("ab");
    EXPECT_NE(first, second);
    EXPECT_STREQ(second, "ab");
    std::string big(600, 'z');
    const char* large = buffer.put(big.c_str());
    EXPECT_EQ(std::string(large), big);
    EXPECT_STREQ(first, "ab");  // earlier texts stay valid
    buffer.reset();
    EXPECT_EQ(buffer.put("cd"), first);  // the first block is reused from its start
}

TEST_F(CursorTest, VordaCursorJumpsToRowsAndLooksUpReferences)
{
    std::vector<oid_t> ids = insertItems(1500);
    vordaCursor<Item> cursor;
    selectIds(cursor, {});
    EXPECT_EQ(cursor.at(size_t(0)), nullptr);
    EXPECT_EQ(cursor.rowNumber, 0);
    selectIds(cursor, ids);
    Item* item = cursor.at(size_t(1024));
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->n, 1024);
    EXPECT_EQ(cursor.rowNumber, 1024);
    EXPECT_EQ(cursor.next()->n, 1025);
    EXPECT_EQ(cursor.rowNumber, 1025);
    EXPECT_EQ(cursor.at(size_t(1500)), nullptr);
    EXPECT_EQ(cursor.next(), nullptr);  // no current segment after a miss

    EXPECT_EQ(cursor.at(dbReference<Item>(0)), nullptr);
    EXPECT_EQ(cursor.at(dbReference<Item>(dbMetaTableId + 1)), nullptr);  // a bitmap page, not a record
    ASSERT_NE(cursor.at(dbReference<Item>(ids[7])), nullptr);
    EXPECT_EQ(cursor->n, 7);

    // Whole-table cursors walk to row k.
    vordaCursor<Item> whole;
    whole.selectAll();
    whole.rowNumber = 0;
    EXPECT_EQ(whole.at(size_t(10))->n, 10);
    EXPECT_EQ(whole.at(size_t(3))->n, 3);
    selectIds(cursor, ids);
    EXPECT_EQ(cursor.find(dbReference<Item>(ids[42]))->n, 42);
}

}  // namespace
