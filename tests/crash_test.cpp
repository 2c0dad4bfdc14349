// Crash safety: a child process runs transactions in a loop and is killed at
// random moments; after every kill the committed state on disk and the state
// seen after the next open must be exactly the last committed transaction (or
// the one after it, when the kill fell between the commit and the child's
// note of it), with a consistent bitmap and index.
//
// Run more rounds with:  crash_test --rounds=1000   (default 50)

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine286/cursor.h"
#include "engine286/describe.h"
#include "engine286/ttree.h"
#include "support/temp_dir.h"
#include "support/test_database.h"

namespace {

int rounds = 50;

constexpr uint32_t nSlots = 32;
constexpr uint32_t logRecordsPerTransaction = 3;
oid_t directoryId = 0;  // set when the file is made; children inherit it

uint32_t mix(uint32_t x)
{
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    x ^= x >> 16;
    return x;
}

uint32_t sizeFor(uint32_t t)
{
    uint32_t h = mix(t * 7 + 1);
    return h % 50 == 0 ? 16 * (1 + h % 65536) : 16 * (1 + h % 400);
}

// The directory record: size, last transaction, head of the log chain, slots.
struct Directory {
    uint32_t size;
    uint32_t t;
    oid_t logHead;
    oid_t slots[nSlots];
};

// An indexed table changed by every transaction: row t is added, and row
// t - 2 is removed when t is a multiple of 3.
struct Indexed {
    int32_t number;
    const char* code;
    DB_TABLE_MEMBERS;
};
DB_TABLE(Indexed, "Indexed")
dbFieldDescriptor* Indexed::describeFields()
{
    return dbFields<Indexed>()
        .field("number", &Indexed::number, dbField::Indexed)
        .field("code", &Indexed::code, dbField::Hashed);
}

bool indexedRowExists(uint32_t n, uint32_t t)
{
    return n >= 1 && n <= t && !(n + 2 <= t && (n + 2) % 3 == 0);
}

oid_t findIndexed(dbDatabase& db, int32_t number)
{
    dbCursor<Indexed> cursor;
    cursor.reset();
    db.beginTransaction(dbDatabase::dbExclusiveLock);
    cursor.registerCursor();
    dbSearchContext sc;
    sc.db = &db;
    sc.cursor = &cursor;
    sc.firstKey = sc.lastKey = reinterpret_cast<const char*>(&number);
    sc.type = dbField::tpInt4;
    sc.sizeofType = 4;
    sc.offs = Indexed::dbDescriptor.columns->storedOffset;
    dbTtree::find(&db, Indexed::dbDescriptor.columns->tTree, sc);
    return cursor.selection.rowCount == 1 ? cursor.selection.first->rows[0] : 0;
}

void runTransaction(TestDatabase& db, uint32_t t)
{
    db.beginTransaction(dbDatabase::dbExclusiveLock);
    auto* dir = reinterpret_cast<Directory*>(db.putRow(directoryId));
    uint32_t h = mix(t);
    uint32_t s = h % nSlots, s2 = (h >> 8) % nSlots;
    if (dir->slots[s] != 0) db.freeRecord(dir->slots[s]);
    oid_t fresh = db.storeRecord(sizeFor(t), t);
    dir = reinterpret_cast<Directory*>(db.putRow(directoryId));
    dir->slots[s] = fresh;
    if (s2 != s && dir->slots[s2] != 0) {
        auto* words = reinterpret_cast<uint32_t*>(db.putRow(dir->slots[s2]));
        for (uint32_t i = 1; i < words[0] / 4; i++) words[i] = t;
    }
    for (uint32_t i = 0; i < logRecordsPerTransaction; i++) {
        oid_t log = db.storeRecord(16, t);
        dir = reinterpret_cast<Directory*>(db.putRow(directoryId));
        reinterpret_cast<uint32_t*>(db.getRow(log))[2] = dir->logHead;
        dir->logHead = log;
    }
    std::string code = "k" + std::to_string(t % 50);
    Indexed row{int32_t(t), code.c_str()};
    dbCursor<Indexed>::insert(row);
    if (t % 3 == 0 && t > 2) {
        dbCursor<Indexed> cursor(dbCursorForUpdate);
        cursor.at(findIndexed(db, int32_t(t - 2)));
        cursor.remove();
    }
    dir = reinterpret_cast<Directory*>(db.putRow(directoryId));
    dir->t = t;
    db.commit();
}

void writeNumber(int fd, uint32_t t)
{
    if (pwrite(fd, &t, 4, 0) != 4 || fdatasync(fd) != 0) _exit(3);
}

uint32_t readNumber(const std::string& path)
{
    std::string bytes = readFile(path);
    uint32_t t = 0;
    if (bytes.size() == 4) std::memcpy(&t, bytes.data(), 4);
    return t;
}

// Checks the state seen through the engine against a replay of transactions
// 1 to t.
std::string verify(TestDatabase& db, uint32_t t)
{
    struct Slot {
        uint32_t size = 0, value = 0;
    } expected[nSlots];
    for (uint32_t i = 1; i <= t; i++) {
        uint32_t h = mix(i);
        uint32_t s = h % nSlots, s2 = (h >> 8) % nSlots;
        expected[s] = {sizeFor(i), i};
        if (s2 != s && expected[s2].size != 0) expected[s2].value = i;
    }
    const auto* dir = reinterpret_cast<const Directory*>(db.getRow(directoryId));
    for (uint32_t s = 0; s < nSlots; s++) {
        if (expected[s].size == 0) {
            if (dir->slots[s] != 0) return "slot " + std::to_string(s) + " should be empty";
            continue;
        }
        const auto* words = reinterpret_cast<const uint32_t*>(db.getRow(dir->slots[s]));
        if (words[0] != expected[s].size) return "slot " + std::to_string(s) + " has a wrong size";
        for (uint32_t i = 1; i < words[0] / 4; i++)
            if (words[i] != expected[s].value)
                return "slot " + std::to_string(s) + " holds " + std::to_string(words[i]) + " instead of " +
                       std::to_string(expected[s].value);
    }
    uint32_t count = 0;
    for (oid_t log = dir->logHead; log != 0; count++) {
        const auto* words = reinterpret_cast<const uint32_t*>(db.getRow(log));
        uint32_t want = t - count / logRecordsPerTransaction;
        if (words[1] != want) return "log record holds " + std::to_string(words[1]) + " instead of " + std::to_string(want);
        log = words[2];
    }
    if (count != t * logRecordsPerTransaction) return "log has " + std::to_string(count) + " records";
    uint32_t rows = 0;
    for (uint32_t n = 1; n <= t; n++) {
        bool exists = findIndexed(db, int32_t(n)) != 0;
        if (exists != indexedRowExists(n, t)) return "indexed row " + std::to_string(n) + (exists ? " exists" : " is missing");
        rows += exists;
    }
    dbCursor<Indexed> all;
    if (all.selectAll() != rows) return "indexed table has " + std::to_string(all.getNumberOfRecords()) + " rows";
    return "";
}

TEST(CrashTest, KilledWriterLeavesLastCommittedStateOrTheNext)
{
    TempDir dir;
    std::string file = dir.file("crash.zrt");
    std::string note = dir.file("committed");
    {
        TestDatabase db(dbDatabase::dbReadWrite, 0, dbDefaultExtensionQuantum, 100);
        ASSERT_TRUE(db.open("crash", file.c_str()));
        db.beginTransaction(dbDatabase::dbExclusiveLock);
        directoryId = db.storeRecord(sizeof(Directory), 0);
        std::memset(db.putRow(directoryId) + 4, 0, sizeof(Directory) - 4);
        db.commit();
        db.close();
    }
    std::mt19937 random(12345);
    uint32_t lastSeen = 0;
    for (int round = 0; round < rounds; round++) {
        pid_t child = fork();
        if (child == 0) {
            int fd = open(note.c_str(), O_WRONLY | O_CREAT, 0644);
            TestDatabase db(dbDatabase::dbReadWrite, 0, dbDefaultExtensionQuantum, 100);
            if (fd < 0 || !db.open("crash", file.c_str())) _exit(2);
            db.beginTransaction(dbDatabase::dbSharedLock);
            uint32_t t = reinterpret_cast<const Directory*>(db.getRow(directoryId))->t;
            db.commit();
            for (;;) {
                runTransaction(db, ++t);
                writeNumber(fd, t);
            }
        }
        usleep(useconds_t(random() % 60000));
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "child ended by itself with " << WEXITSTATUS(status);

        uint32_t noted = readNumber(note);
        // The committed state on disk, before any recovery.
        std::string image = readFile(file);
        dbCheckReport onDisk = checkDatabaseImage(image.data(), image.size());
        ASSERT_TRUE(onDisk.ok()) << "round " << round << "\n" << describe(onDisk);

        TestDatabase db(dbDatabase::dbReadWrite, 0, dbDefaultExtensionQuantum, 100);
        ASSERT_TRUE(db.open("crash", file.c_str()));
        db.beginTransaction(dbDatabase::dbSharedLock);
        uint32_t t = reinterpret_cast<const Directory*>(db.getRow(directoryId))->t;
        EXPECT_TRUE(t == noted || t == noted + 1) << "round " << round << ": state " << t << ", noted " << noted;
        EXPECT_GE(t, lastSeen);
        lastSeen = t;
        // The next child starts from the state seen here, which may be one
        // transaction past what the last child noted.
        writeFile(note, std::string(reinterpret_cast<const char*>(&t), 4));
        std::string problem = verify(db, t);
        EXPECT_EQ(problem, "") << "round " << round;
        dbCheckReport afterOpen = db.check();
        EXPECT_TRUE(afterOpen.ok()) << "round " << round << "\n" << describe(afterOpen);
        db.commit();
        db.close();
        if (HasFailure()) break;
    }
    RecordProperty("transactions", int(lastSeen));
    std::printf("%d rounds, %u transactions committed\n", rounds, lastSeen);
}

}  // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; i++)
        if (std::strncmp(argv[i], "--rounds=", 9) == 0) rounds = std::atoi(argv[i] + 9);
    return RUN_ALL_TESTS();
}
