// Opening, closing and recovering the database file, and the machine-wide
// objects shared by the processes that have it open.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "engine286/database.h"
#include "support/temp_dir.h"
#include "vorda/vorda_database.h"

namespace {

uint32_t u32(const std::string& bytes, size_t offs)
{
    uint32_t v;
    std::memcpy(&v, bytes.data() + offs, 4);
    return v;
}

// Stores a small record holding `value` and returns its id.
oid_t storeValue(dbDatabase& db, uint32_t value)
{
    db.beginTransaction(dbDatabase::dbExclusiveLock);
    oid_t oid = db.allocateId();
    offs_t pos = db.allocate(16);
    db.setPos(oid, pos);
    auto* rec = reinterpret_cast<uint32_t*>(db.getBase() + pos);
    rec[0] = 16;
    rec[3] = value;
    return oid;
}

uint32_t readValue(dbDatabase& db, oid_t oid)
{
    db.beginTransaction(dbDatabase::dbSharedLock);
    uint32_t v = reinterpret_cast<uint32_t*>(db.getRow(oid))[3];
    db.commit();
    return v;
}

struct Pipe {
    int fd[2];
    Pipe() { EXPECT_EQ(pipe(fd), 0); }
    ~Pipe()
    {
        ::close(fd[0]);
        ::close(fd[1]);
    }
    void send(char c) { ASSERT_EQ(write(fd[1], &c, 1), 1); }
    char receive()
    {
        char c = 0;
        return read(fd[0], &c, 1) == 1 ? c : 0;
    }
};

class DatabaseOpenTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string file = dir.file("test.zrt");
};

TEST_F(DatabaseOpenTest, SmallIndexCapacityIsRaisedAndRounded)
{
    {
        dbDatabase db(dbDatabase::dbReadWrite, 0, dbDefaultExtensionQuantum, 100);
        ASSERT_TRUE(db.open("small", file.c_str()));
        db.close();
    }
    std::string bytes = readFile(file);
    ASSERT_EQ(bytes.size(), 1048576u);
    EXPECT_EQ(u32(bytes, 0), 1048576u);  // size
    EXPECT_EQ(u32(bytes, 4), 0u);        // committed root
    EXPECT_EQ(u32(bytes, 8), 0u);        // clean
    EXPECT_EQ(u32(bytes, 12), 1u);       // initialised
    for (int r = 0; r < 2; r++) {
        size_t root = 16 + 24 * size_t(r);
        EXPECT_EQ(u32(bytes, root + 0), r == 0 ? 4096u : 4096u + 4 * 9216);
        EXPECT_EQ(u32(bytes, root + 4), r == 0 ? 4096u + 4 * 9216 : 4096u);
        EXPECT_EQ(u32(bytes, root + 8), 9216u);
        EXPECT_EQ(u32(bytes, root + 12), 9216u);
        EXPECT_EQ(u32(bytes, root + 16), 8194u);
        EXPECT_EQ(u32(bytes, root + 20), 0u);
    }
    EXPECT_EQ(u32(bytes, 64), 2u);
    EXPECT_EQ(u32(bytes, 68), 86u);
    // Id 0 is free, id 1 is the metatable record.
    EXPECT_EQ(u32(bytes, 4096), 0x80000000u);
    uint32_t meta = u32(bytes, 4096 + 4);
    EXPECT_EQ(meta % 16, 0u);
    EXPECT_EQ(u32(bytes, meta), 985u);
}

TEST_F(DatabaseOpenTest, FreshFileLayoutWithCapacity65536)
{
    {
        dbDatabase db(dbDatabase::dbReadWrite, 1048576, 4194304, 65536);
        ASSERT_TRUE(db.open("layout", file.c_str()));
        db.close();
    }
    std::string bytes = readFile(file);
    ASSERT_EQ(bytes.size(), 1048576u);
    EXPECT_EQ(u32(bytes, 16), 4096u);
    EXPECT_EQ(u32(bytes, 40), 266240u);
    // Two bitmap pages after the indices, then the metatable.
    EXPECT_EQ(u32(bytes, 4096 + 4 * 2), 528384u + 1);
    EXPECT_EQ(u32(bytes, 4096 + 4 * 3), 532480u + 1);
    EXPECT_EQ(u32(bytes, 4096 + 4 * 4), 0x80000000u);
    EXPECT_EQ(u32(bytes, 4096 + 4 * 8193), 0x80000000u);
    EXPECT_EQ(u32(bytes, 4096 + 4 * 1), 536576u);
    // Both roots' indices agree on the committed state.
    EXPECT_EQ(bytes.compare(4096, 4 * 8194, bytes, 266240, 4 * 8194), 0);
    // Everything up to the end of the bitmap pages is marked, then the
    // metatable's 62 quanta.
    for (size_t i = 0; i < 4192; i++) ASSERT_EQ(uint8_t(bytes[528384 + i]), 0xFF) << i;
    for (size_t i = 4192; i < 4192 + 7; i++) EXPECT_EQ(uint8_t(bytes[528384 + i]), 0xFF);
    EXPECT_EQ(uint8_t(bytes[528384 + 4199]), 0x3F);
    EXPECT_EQ(uint8_t(bytes[528384 + 4200]), 0x00);

    // The metatable record: 16 field entries, name at 752.
    size_t meta = 536576;
    EXPECT_EQ(u32(bytes, meta + 0), 985u);
    EXPECT_EQ(u32(bytes, meta + 12), 10u);
    EXPECT_EQ(u32(bytes, meta + 16), 752u);
    EXPECT_EQ(bytes.substr(meta + 752, 10), std::string("Metatable", 10));
    EXPECT_EQ(u32(bytes, meta + 20), 16u);
    EXPECT_EQ(u32(bytes, meta + 24), 48u);
    EXPECT_EQ(u32(bytes, meta + 28), 48u);
    EXPECT_EQ(u32(bytes, meta + 32), 0u);
    EXPECT_EQ(u32(bytes, meta + 36), 5u);
    size_t last = meta + 48 + 44 * 15;  // "lastRow": reference at 44, 4 bytes
    EXPECT_EQ(bytes.substr(last + u32(bytes, last + 4), 8), std::string("lastRow", 8));
    EXPECT_EQ(u32(bytes, last + 24), 8u);
    EXPECT_EQ(u32(bytes, last + 28), 44u);
    EXPECT_EQ(u32(bytes, last + 32), 4u);
}

TEST_F(DatabaseOpenTest, VordaDatabaseCreatesNamedFileInCurrentFolder)
{
    auto old = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    {
        vordaDatabase db(dbDatabase::dbReadWrite, 1048576, 4194304, 65536, 1);
        ASSERT_TRUE(db.open("Tarnwicke"));
        EXPECT_EQ(db.programFolder, std::filesystem::canonical(dir.path()).string());
        EXPECT_EQ(db.dbName, "Tarnwicke");
        EXPECT_EQ(db.getOpenCount(), 1);
        db.close();
    }
    std::filesystem::current_path(old);
    EXPECT_EQ(std::filesystem::file_size(dir.file("Tarnwicke.zrt")), 1048576u);
}

TEST_F(DatabaseOpenTest, CleanCloseKeepsCommittedDataAndClearsDirty)
{
    oid_t oid;
    {
        dbDatabase db;
        ASSERT_TRUE(db.open("clean", file.c_str()));
        oid = storeValue(db, 4711);
        db.commit();
        EXPECT_EQ(u32(std::string(db.getBase(), 16), 8), 1u);  // dirty while open
        db.close();
    }
    EXPECT_EQ(u32(readFile(file), 8), 0u);
    dbDatabase db;
    ASSERT_TRUE(db.open("clean", file.c_str()));
    EXPECT_EQ(readValue(db, oid), 4711u);
    db.close();
}

TEST_F(DatabaseOpenTest, SharedObjectsAreRemovedByTheLastCloser)
{
    std::string key;
    {
        dbDatabase db;
        ASSERT_TRUE(db.open("gone", file.c_str()));
        key = db.getSharedKey();
        EXPECT_TRUE(std::filesystem::exists("/dev/shm/" + key + ".dm"));
        db.close();
    }
    for (auto& entry : std::filesystem::directory_iterator("/dev/shm"))
        EXPECT_EQ(entry.path().filename().string().find(key), std::string::npos) << entry.path();
}

TEST_F(DatabaseOpenTest, SameNameInTwoFoldersDoesNotShare)
{
    TempDir other;
    dbDatabase a, b;
    ASSERT_TRUE(a.open("Tarnwicke", dir.file("Tarnwicke.zrt").c_str()));
    ASSERT_TRUE(b.open("Tarnwicke", other.file("Tarnwicke.zrt").c_str()));
    EXPECT_EQ(a.getOpenCount(), 1);
    EXPECT_EQ(b.getOpenCount(), 1);
    EXPECT_NE(a.getSharedKey(), b.getSharedKey());
    a.close();
    b.close();
}

// A child opens the database and waits; after the parent has seen it, both
// processes of the pair die without closing. The next open starts from a
// fresh monitor and restores the file.
TEST_F(DatabaseOpenTest, KilledProcessesLeaveNoStaleCountAndFileIsRestored)
{
    oid_t committedOid;
    {
        dbDatabase db;
        ASSERT_TRUE(db.open("crash", file.c_str()));
        committedOid = storeValue(db, 1);
        db.commit();
        db.close();
    }
    Pipe ready, openCount;
    pid_t first = fork();
    if (first == 0) {
        dbDatabase db;
        if (!db.open("crash", file.c_str())) _exit(1);
        storeValue(db, 2);  // uncommitted
        ready.send('r');
        pause();
        _exit(0);
    }
    ASSERT_EQ(ready.receive(), 'r');
    pid_t second = fork();
    if (second == 0) {
        dbDatabase db;
        if (!db.open("crash", file.c_str())) _exit(1);
        openCount.send(char('0' + db.getOpenCount()));
        pause();
        _exit(0);
    }
    // The second opener waits for the first one's exclusive lock inside its
    // open (schema load), so it answers only after the first is gone.
    usleep(200 * 1000);
    kill(first, SIGKILL);
    waitpid(first, nullptr, 0);
    // The first child held the exclusive lock when it died; the second one
    // cannot get it any more. That lock is never recovered while a process of
    // the name space lives, so end the second one too.
    kill(second, SIGKILL);
    waitpid(second, nullptr, 0);

    EXPECT_EQ(u32(readFile(file), 8), 1u);  // left dirty
    dbDatabase db;
    ASSERT_TRUE(db.open("crash", file.c_str()));
    EXPECT_EQ(db.getOpenCount(), 1);
    EXPECT_EQ(readValue(db, committedOid), 1u);
    db.beginTransaction(dbDatabase::dbSharedLock);
    EXPECT_TRUE(db.isFreeId(committedOid + 1));  // the uncommitted object is gone
    db.commit();
    db.close();
}

TEST_F(DatabaseOpenTest, TwoLiveProcessesCountTwoThenFreshStartCountsOne)
{
    {
        dbDatabase db;
        ASSERT_TRUE(db.open("count", file.c_str()));
        db.close();
    }
    Pipe opened, count;
    pid_t first = fork();
    if (first == 0) {
        dbDatabase db;
        if (!db.open("count", file.c_str())) _exit(1);
        opened.send('o');
        pause();
        _exit(0);
    }
    ASSERT_EQ(opened.receive(), 'o');
    pid_t second = fork();
    if (second == 0) {
        dbDatabase db;
        if (!db.open("count", file.c_str())) _exit(1);
        count.send(char('0' + db.getOpenCount()));
        pause();
        _exit(0);
    }
    EXPECT_EQ(count.receive(), '2');
    kill(first, SIGKILL);
    kill(second, SIGKILL);
    waitpid(first, nullptr, 0);
    waitpid(second, nullptr, 0);
    dbDatabase db;
    ASSERT_TRUE(db.open("count", file.c_str()));
    EXPECT_EQ(db.getOpenCount(), 1);
    db.close();
}

TEST(GlobalCriticalSectionTest, SecondProcessWaitsAndCounterRunsOneZeroMinusOneZeroOne)
{
    TempDir dir;
    std::string key = sharedObjectKey("gcs", dir.file("x").c_str());
    InitializationMutex init;
    ASSERT_EQ(init.initialize(key.c_str()), InitializationMutex::NotYetInitialized);
    dbSharedMemory memory;
    ASSERT_TRUE(memory.open(("/" + key + ".dm").c_str(), 64));
    auto* counter = static_cast<int32_t*>(memory.get());
    GlobalCriticalSection cs;
    ASSERT_TRUE(cs.create(("/" + key + ".cs").c_str(), counter));
    init.done();
    EXPECT_EQ(*counter, 1);
    cs.enter();
    EXPECT_EQ(*counter, 0);

    Pipe entered;
    pid_t child = fork();
    if (child == 0) {
        GlobalCriticalSection other;
        if (!other.open(("/" + key + ".cs").c_str(), counter)) _exit(1);
        other.enter();
        entered.send('e');
        usleep(100 * 1000);
        other.leave();
        _exit(0);
    }
    for (int i = 0; i < 500 && __atomic_load_n(counter, __ATOMIC_SEQ_CST) != -1; i++) usleep(10 * 1000);
    EXPECT_EQ(*counter, -1);  // the child waits
    cs.leave();
    EXPECT_EQ(entered.receive(), 'e');
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(*counter, 1);
    cs.close();
    memory.close();
    init.close();
}

// Every refused file: the message on standard error, open returns false,
// and the file is not changed.
struct BadFile {
    const char* name;
    void (*damage)(std::string& bytes);
    const char* message;
};

class DatabaseOpenFailureTest : public ::testing::TestWithParam<BadFile> {};

TEST_P(DatabaseOpenFailureTest, RefusesWithMessageAndLeavesFileAlone)
{
    TempDir dir;
    std::string file = dir.file("bad.zrt");
    {
        dbDatabase db;
        ASSERT_TRUE(db.open("bad", file.c_str()));
        db.close();
    }
    std::string bytes = readFile(file);
    GetParam().damage(bytes);
    writeFile(file, bytes);

    dbDatabase db;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(db.open("bad", file.c_str()));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, std::string(GetParam().message) + "\n");
    EXPECT_EQ(readFile(file), bytes);
    // The failed open left nothing behind: a good file opens afterwards.
    dbDatabase good;
    ASSERT_TRUE(good.open("bad", dir.file("good.zrt").c_str()));
    EXPECT_EQ(good.getOpenCount(), 1);
    good.close();
}

void setU32(std::string& bytes, size_t offs, uint32_t v) { std::memcpy(bytes.data() + offs, &v, 4); }

INSTANTIATE_TEST_SUITE_P(
    Files, DatabaseOpenFailureTest,
    ::testing::Values(
        BadFile{"InvalidRoot", [](std::string& b) { setU32(b, 4, 2); },
                "Database file was corrupted: invalid root index"},
        BadFile{"SizeMismatch", [](std::string& b) { b.append(4096, '\0'); },
                "Database file was corrupted: file size in header differs from actual file size"},
        BadFile{"TextFile", [](std::string& b) { b = std::string(8192, 'x'); },
                "Not a database file: unknown file format"},
        BadFile{"OtherVersion", [](std::string& b) { setU32(b, 68, 87); },
                "Not a database file: unknown file format"},
        BadFile{"TooShort", [](std::string& b) { b = "abc"; }, "Not a database file: the file is too short"},
        BadFile{"ZeroHeaderWithData",
                [](std::string& b) { std::memset(b.data(), 0, 72); },
                "Not a database file: unknown file format"}),
    [](const testing::TestParamInfo<BadFile>& info) { return info.param.name; });

TEST(DatabaseOpenEdgeTest, FileOfFourGigabytesIsRefused)
{
    TempDir dir;
    std::string file = dir.file("huge.zrt");
    writeFile(file, "");
    std::filesystem::resize_file(file, uint64_t(1) << 32);
    dbDatabase db;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(db.open("huge", file.c_str()));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Database file is too large: files of 4 GB and more are not supported\n");
}

// An interrupted initialisation (format versions written, `initialized` not
// 1) and an all-zero file are initialised again.
TEST(DatabaseOpenEdgeTest, InterruptedInitialisationIsRedone)
{
    TempDir dir;
    for (uint32_t initialized : {0u, 2u}) {
        std::string file = dir.file("init" + std::to_string(initialized) + ".zrt");
        std::string bytes(1048576, '\0');
        setU32(bytes, 12, initialized);
        setU32(bytes, 64, 2);
        setU32(bytes, 68, 86);
        writeFile(file, bytes);
        dbDatabase db;
        ASSERT_TRUE(db.open("init", file.c_str()));
        db.close();
        EXPECT_EQ(u32(readFile(file), 12), 1u);
    }
    std::string zero = dir.file("zero.zrt");
    writeFile(zero, std::string(1048576, '\0'));
    dbDatabase db;
    ASSERT_TRUE(db.open("zero", zero.c_str()));
    db.close();
    EXPECT_EQ(u32(readFile(zero), 12), 1u);
}

}  // namespace

namespace {

TEST(ReadOnlyOpenTest, ReadsCommittedDataWithoutWritingAndRefusesACrashedFile)
{
    TempDir dir;
    std::string file = dir.file("ro.zrt");
    oid_t oid;
    {
        dbDatabase db;
        ASSERT_TRUE(db.open("ro", file.c_str()));
        oid = storeValue(db, 99);
        db.commit();
        db.close();
    }
    std::string before = readFile(file);
    {
        dbDatabase db(dbDatabase::dbReadOnly);
        ASSERT_TRUE(db.open("ro", file.c_str()));
        EXPECT_EQ(readValue(db, oid), 99u);
        db.beginTransaction(dbDatabase::dbSharedLock);
        EXPECT_THROW(db.beginTransaction(dbDatabase::dbExclusiveLock), dbException);
        db.commit();
        db.close();
    }
    EXPECT_EQ(readFile(file), before);

    std::string dirty = before;
    setU32(dirty, 8, 1);
    writeFile(file, dirty);
    dbDatabase db(dbDatabase::dbReadOnly);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(db.open("ro", file.c_str()));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Database file was not closed cleanly: open it with the program once to restore it\n");
}

}  // namespace
