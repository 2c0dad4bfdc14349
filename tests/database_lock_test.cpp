// Shared and exclusive locks between threads and processes.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "support/temp_dir.h"
#include "support/test_database.h"

namespace {

using namespace std::chrono_literals;

// Runs `body` on its own attached thread.
class DbThread {
public:
    DbThread(dbDatabase& db, std::function<void()> body)
        : thread([&db, body] {
              db.attach();
              body();
              db.detach();
          })
    {
    }
    ~DbThread()
    {
        if (thread.joinable()) thread.join();
    }
    void join() { thread.join(); }

private:
    std::thread thread;
};

// A one-shot signal between threads.
class Gate {
public:
    void open() { flag.store(true); }
    void wait() const
    {
        for (int i = 0; i < 5000 && !flag.load(); i++) std::this_thread::sleep_for(1ms);
    }
    bool isOpen() const { return flag.load(); }

private:
    std::atomic<bool> flag{false};
};

// Gives a thread that should block a moment to block.
void settle() { std::this_thread::sleep_for(100ms); }

class LockTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(db.open("locks", dir.file("locks.zrt").c_str())); }
    void TearDown() override
    {
        db.close();
    }
    TempDir dir;
    TestDatabase db;
};

TEST_F(LockTest, WriterWaitsForBothReadersAndIsWokenByTheLast)
{
    Gate r1Holds, r2Holds, r1Release, r2Release, writerHasLock;
    DbThread r1(db, [&] {
        db.beginTransaction(dbDatabase::dbSharedLock);
        r1Holds.open();
        r1Release.wait();
        db.commit();
    });
    DbThread r2(db, [&] {
        db.beginTransaction(dbDatabase::dbSharedLock);
        r2Holds.open();
        r2Release.wait();
        db.commit();
    });
    r1Holds.wait();
    r2Holds.wait();
    EXPECT_EQ(db.getMonitor()->nReaders, 2);
    DbThread writer(db, [&] {
        db.beginTransaction(dbDatabase::dbExclusiveLock);
        writerHasLock.open();
        db.commit();
    });
    settle();
    EXPECT_FALSE(writerHasLock.isOpen());
    r1Release.open();
    settle();
    EXPECT_FALSE(writerHasLock.isOpen());
    r2Release.open();
    writerHasLock.wait();
    EXPECT_TRUE(writerHasLock.isOpen());
}

TEST_F(LockTest, ReleasingWriterHandsTheLockToAQueuedWriterBeforeReaders)
{
    Gate holds, release;
    std::atomic<int> order{0};
    std::atomic<int> readerTurn{0}, writerTurn{0};
    DbThread first(db, [&] {
        db.beginTransaction(dbDatabase::dbExclusiveLock);
        holds.open();
        release.wait();
        db.commit();
    });
    holds.wait();
    DbThread reader(db, [&] {
        db.beginTransaction(dbDatabase::dbSharedLock);
        readerTurn = ++order;
        db.commit();
    });
    settle();
    DbThread writer(db, [&] {
        db.beginTransaction(dbDatabase::dbExclusiveLock);
        writerTurn = ++order;
        settle();
        db.commit();
    });
    settle();
    EXPECT_EQ(db.getMonitor()->nQueuedReaders, 1);
    EXPECT_EQ(db.getMonitor()->nQueuedWriters, 1);
    release.open();
    reader.join();
    writer.join();
    EXPECT_EQ(writerTurn.load(), 1);
    EXPECT_EQ(readerTurn.load(), 2);
}

TEST_F(LockTest, SoleReaderUpgradesAtOnceSecondUpgraderGetsDeadlockError)
{
    // A sole reader becomes the writer at once.
    db.beginTransaction(dbDatabase::dbSharedLock);
    db.beginTransaction(dbDatabase::dbExclusiveLock);
    EXPECT_EQ(db.getMonitor()->nWriters, 1);
    EXPECT_EQ(db.getMonitor()->nReaders, 0);
    db.commit();

    // Two readers that both upgrade: the second gets the exception; the
    // first gets the lock once the second has ended its transaction.
    Gate firstReads, secondReads, firstUpgraded, secondFailed;
    DbThread upgrader(db, [&] {
        db.beginTransaction(dbDatabase::dbSharedLock);
        firstReads.open();
        secondReads.wait();
        db.beginTransaction(dbDatabase::dbExclusiveLock);
        firstUpgraded.open();
        db.commit();
    });
    firstReads.wait();
    db.beginTransaction(dbDatabase::dbSharedLock);
    secondReads.open();
    settle();
    EXPECT_FALSE(firstUpgraded.isOpen());
    EXPECT_EQ(db.getMonitor()->waitForUpgrade, 1);
    testing::internal::CaptureStderr();
    try {
        db.beginTransaction(dbDatabase::dbExclusiveLock);
        ADD_FAILURE() << "no deadlock error";
    } catch (const dbException& e) {
        EXPECT_EQ(e.getErrCode(), dbDatabase::errUpgradeDeadlock);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Deadlock is caused by upgrading shared locks to exclusive");
    settle();
    EXPECT_FALSE(firstUpgraded.isOpen());
    db.commit();
    firstUpgraded.wait();
    EXPECT_TRUE(firstUpgraded.isOpen());
}

TEST_F(LockTest, WriterInAnotherProcessBlocksWriterHereUntilItCommits)
{
    int toChild[2], toParent[2];
    ASSERT_EQ(pipe(toChild), 0);
    ASSERT_EQ(pipe(toParent), 0);
    oid_t oid;
    {
        db.beginTransaction(dbDatabase::dbExclusiveLock);
        oid = db.storeRecord(16, 1);
        db.commit();
    }
    pid_t child = fork();
    if (child == 0) {
        TestDatabase other;
        if (!other.open("locks", dir.file("locks.zrt").c_str())) _exit(1);
        other.beginTransaction(dbDatabase::dbExclusiveLock);
        other.rewriteRecord(oid, 16, 2);
        char c = 'w';
        if (write(toParent[1], &c, 1) != 1) _exit(2);
        if (read(toChild[0], &c, 1) != 1) _exit(3);
        other.commit();
        other.close();
        _exit(0);
    }
    char c;
    ASSERT_EQ(read(toParent[0], &c, 1), 1);
    std::atomic<bool> got{false};
    std::atomic<uint32_t> seen{0};
    DbThread writer(db, [&] {
        db.beginTransaction(dbDatabase::dbExclusiveLock);
        got = true;
        seen = db.recordValue(oid);
        db.commit();
    });
    settle();
    EXPECT_FALSE(got.load());
    c = 'c';
    ASSERT_EQ(write(toChild[1], &c, 1), 1);
    writer.join();
    EXPECT_TRUE(got.load());
    EXPECT_EQ(seen.load(), 2u);  // the other process's commit is visible
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]}) close(fd);
}

TEST_F(LockTest, FileGrownByAnotherProcessIsSeenAtNextTransaction)
{
    pid_t child = fork();
    if (child == 0) {
        TestDatabase other;
        if (!other.open("locks", dir.file("locks.zrt").c_str())) _exit(1);
        other.beginTransaction(dbDatabase::dbExclusiveLock);
        oid_t big = other.storeRecord(20 * 1024 * 1024, 42);
        other.commit();
        other.close();
        _exit(big == 0 ? 2 : 0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    db.beginTransaction(dbDatabase::dbSharedLock);
    EXPECT_GE(db.getHeader()->size, 20u * 1024 * 1024);
    dbCheckReport report = db.check();
    EXPECT_TRUE(report.ok()) << describe(report);
    db.commit();
}

TEST_F(LockTest, CommitWithoutChangesOnlyReleasesLocks)
{
    uint32_t stamp = db.getMonitor()->transactionStamp;
    db.beginTransaction(dbDatabase::dbExclusiveLock);
    db.commit();
    EXPECT_EQ(db.getMonitor()->transactionStamp, stamp);
    EXPECT_EQ(db.getMonitor()->nWriters, 0);
}

}  // namespace
