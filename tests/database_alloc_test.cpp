// Space and id allocation with shadow paging.

#include <gtest/gtest.h>

#include <cstring>

#include "support/temp_dir.h"
#include "support/test_database.h"

namespace {

class AllocTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // A small index: one bitmap page covers the first 512 KB.
        ASSERT_TRUE(db.open("alloc", dir.file("alloc.zrt").c_str()));
        db.beginTransaction(dbDatabase::dbExclusiveLock);
    }
    void TearDown() override
    {
        db.commit();
        dbCheckReport report = db.check();
        EXPECT_TRUE(report.ok()) << describe(report);
        db.close();
    }
    TempDir dir;
    TestDatabase db{dbDatabase::dbReadWrite, 0, dbDefaultExtensionQuantum, 100};
};

TEST_F(AllocTest, PageSizedObjectsArePageAlignedOthersQuantumAligned)
{
    db.storeRecord(48, 1);  // leaves the next free quantum off a page boundary
    for (int i = 0; i < 3; i++) {
        offs_t page = db.getPos(db.storeRecord(4096, 2));
        offs_t small = db.getPos(db.storeRecord(4112, 3));
        EXPECT_EQ(page % 4096, 0u);
        EXPECT_EQ(small % 16, 0u);
    }
}

// The end of the used part of the first bitmap page's area.
offs_t usedEnd(TestDatabase& db)
{
    offs_t pos = 524288;
    while (pos > 0 && !db.bitSet(pos - 16)) pos -= 16;
    return pos;
}

TEST_F(AllocTest, HoleAcrossBitmapPageBoundaryIsUsedAndBothPagesMarked)
{
    // Make more bitmap pages exist, then mark everything they cover but the
    // last two bytes of the first page and the first two of the second.
    db.storeRecord(600000, 1);
    ASSERT_NE(db.getPos(dbBitmapId + 1), dbFreeHandleMarker);
    for (oid_t page = dbBitmapId; db.getPos(page) != dbFreeHandleMarker; page++)
        std::memset(db.put(page), 0xFF, 4096);
    auto* first = reinterpret_cast<uint8_t*>(db.put(dbBitmapId));
    auto* second = reinterpret_cast<uint8_t*>(db.put(dbBitmapId + 1));
    first[4094] = first[4095] = 0;
    second[0] = second[1] = 0;
    db.currRBitmapPage = dbBitmapId + 1;
    db.currRBitmapOffs = 0;
    for (oid_t i = 0; i < dbFirstUserId; i++) db.bitmapPageAvailableSpace[i] = dbMaxFreeSpaceHint;

    offs_t pos = db.allocate(32 * 16);
    EXPECT_EQ(pos, 524288u - 16 * 16);
    first = reinterpret_cast<uint8_t*>(db.get(dbBitmapId));
    second = reinterpret_cast<uint8_t*>(db.get(dbBitmapId + 1));
    EXPECT_EQ(first[4094], 0xFF);
    EXPECT_EQ(first[4095], 0xFF);
    EXPECT_EQ(second[0], 0xFF);
    EXPECT_EQ(second[1], 0xFF);
    db.rollback();
    db.beginTransaction(dbDatabase::dbExclusiveLock);
}

TEST_F(AllocTest, BitmapExtensionPlacesNewPagesAfterTheObject)
{
    // Fill the first 512 KB but for a 1024-byte tail, so the next large
    // object starts in that tail.
    db.put(dbBitmapId);  // the bitmap page's own copy is made first
    offs_t end = usedEnd(db);
    oid_t filler = db.storeRecord(524288 - 1024 - end, 1);
    ASSERT_EQ(db.getPos(filler), end);
    oid_t big = db.storeRecord(600000, 2);
    offs_t pos = db.getPos(big);
    EXPECT_EQ(pos, 524288u - 1024);
    uint32_t quantaInNewArea = (600000 - 1024) / 16;
    uint32_t s = (quantaInNewArea + 255) & ~255u;
    offs_t firstNewPage = 524288u + 16 * s;
    EXPECT_EQ(db.getPos(dbBitmapId + 1), firstNewPage + dbPageObject);
    EXPECT_TRUE(db.bitSet(pos));
    EXPECT_TRUE(db.bitSet(524288));
    EXPECT_TRUE(db.bitSet(pos + 600000 - 16));
    EXPECT_TRUE(db.bitSet(firstNewPage));
    // The next small object goes after the large one, not back into the old area.
    offs_t next = db.getPos(db.storeRecord(16, 3));
    EXPECT_GE(next, pos + 600000);
}

TEST_F(AllocTest, CommittedObjectKeepsItsBitsUntilCommit)
{
    oid_t oid = db.storeRecord(64, 7);
    db.commit();
    db.beginTransaction(dbDatabase::dbExclusiveLock);
    offs_t pos = db.getPos(oid);
    db.freeRecord(oid);
    EXPECT_TRUE(db.bitSet(pos));  // still part of the committed state
    oid_t other = db.storeRecord(64, 8);
    EXPECT_NE(db.getPos(other), pos);
    db.commit();
    db.beginTransaction(dbDatabase::dbExclusiveLock);
    EXPECT_FALSE(db.bitSet(pos));
    // An object allocated and freed in one transaction gives its bits back at once.
    oid_t temp = db.storeRecord(64, 9);
    offs_t tempPos = db.getPos(temp);
    db.freeRecord(temp);
    EXPECT_FALSE(db.bitSet(tempPos));
}

TEST_F(AllocTest, FirstChangeCopiesCommittedRecordSecondWritesInPlace)
{
    oid_t oid = db.storeRecord(32, 1);
    db.commit();
    db.beginTransaction(dbDatabase::dbExclusiveLock);
    offs_t committed = db.getPos(oid);
    EXPECT_TRUE(db.isShared(oid));
    char* first = db.putRow(oid);
    EXPECT_NE(db.getPos(oid), committed);
    EXPECT_EQ(std::memcmp(first, db.getBase() + committed, 32), 0);
    EXPECT_FALSE(db.isShared(oid));
    EXPECT_EQ(db.putRow(oid), first);
    uint32_t page = oid / dbHandlesPerPage;
    EXPECT_TRUE(db.getMonitor()->dirtyIndexPages[page / 32] & (1u << (page % 32)));
}

TEST_F(AllocTest, FreedIdIsReusedFirstAndIndexGrowsByDoubling)
{
    oid_t a = db.storeRecord(16, 1);
    db.storeRecord(16, 2);
    db.freeRecord(a);
    EXPECT_EQ(db.allocateId(), a);
    uint32_t capacity = db.getHeader()->root[1].indexCapacity;
    EXPECT_EQ(capacity, 9216u);
    std::vector<oid_t> ids;
    for (int i = 0; i < 2000; i++) ids.push_back(db.storeRecord(16, uint32_t(i)));
    EXPECT_EQ(db.getHeader()->root[1].indexCapacity, 2 * capacity);
    db.commit();
    db.beginTransaction(dbDatabase::dbSharedLock);
    for (int i = 0; i < 2000; i += 250) EXPECT_EQ(db.recordValue(ids[size_t(i)]), uint32_t(i));
}

TEST_F(AllocTest, RollbackRestoresIndexAndFreeChainExactly)
{
    oid_t a = db.storeRecord(16, 1);
    oid_t b = db.storeRecord(16, 2);
    db.freeRecord(a);
    db.commit();
    dbHeader before = *db.getHeader();
    std::string indexBefore(db.getBase() + before.root[before.curr].indexOffset, 4 * (b + 1));

    db.beginTransaction(dbDatabase::dbExclusiveLock);
    EXPECT_EQ(db.allocateId(), a);
    for (int i = 0; i < 1500; i++) db.storeRecord(16, 3);  // grows the index
    db.rewriteRecord(b, 48, 4);
    db.rollback();

    db.beginTransaction(dbDatabase::dbSharedLock);
    const dbHeader& after = *db.getHeader();
    int w = 1 - int(after.curr);
    EXPECT_EQ(after.root[w].indexUsed, before.root[before.curr].indexUsed);
    EXPECT_EQ(after.root[w].freeListHead, a);
    EXPECT_EQ(std::string(db.getBase() + after.root[w].indexOffset, 4 * (b + 1)), indexBefore);
    EXPECT_EQ(db.recordValue(b), 2u);
    db.commit();
    db.beginTransaction(dbDatabase::dbExclusiveLock);
    EXPECT_EQ(db.allocateId(), a);
}

TEST_F(AllocTest, FileGrowsByDoublingAndDataSurvivesReopen)
{
    uint32_t size = db.getHeader()->size;
    oid_t big = db.storeRecord(3 * 1024 * 1024, 77);
    EXPECT_GE(db.getHeader()->size, 2 * size);
    db.commit();
    db.close();
    ASSERT_TRUE(db.open("alloc", dir.file("alloc.zrt").c_str()));
    db.beginTransaction(dbDatabase::dbExclusiveLock);
    EXPECT_EQ(db.recordValue(big), 77u);
}

}  // namespace
