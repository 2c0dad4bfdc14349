#pragma once
// The database object: open, close and recovery of the database file, object
// allocation with shadow paging, transactions and locking across threads and
// processes, and the engine's error reporting.

#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine286/file.h"
#include "engine286/sync_unix.h"

using oid_t = uint32_t;
using offs_t = uint32_t;

constexpr uint32_t dbPageSize = 4096;
constexpr uint32_t dbAllocationQuantum = 16;
constexpr uint32_t dbHandlesPerPage = dbPageSize / sizeof(uint32_t);  // 1024 index entries a page
constexpr uint32_t dbBitmapBitsPerPage = dbPageSize * 8;               // 32768 quanta
constexpr uint32_t dbBitmapSegmentSize = dbBitmapBitsPerPage * dbAllocationQuantum;  // 512 KB
constexpr uint32_t dbBitmapPages = 8192;
constexpr oid_t dbMetaTableId = 1;
constexpr oid_t dbBitmapId = 2;
constexpr oid_t dbFirstUserId = dbBitmapId + dbBitmapPages;  // 8194
constexpr uint32_t dbFreeHandleMarker = 0x80000000u;
constexpr uint32_t dbInternalObjectMarker = 7;  // low bits of an index entry holding the kind
constexpr uint32_t dbMajorVersion = 2;
constexpr uint32_t dbMinorVersion = 86;
constexpr uint32_t dbDefaultInitDatabaseSize = 1024 * 1024;
constexpr uint32_t dbDefaultInitIndexSize = 512 * 1024;
constexpr uint32_t dbDefaultExtensionQuantum = 4 * 1024 * 1024;
constexpr uint32_t dbMaxFreeSpaceHint = 2147483647u;

// Kinds of internal objects, kept in the low 3 bits of their index entries.
enum dbInternalObject {
    dbRecordObject = 0,   // size stored in its first word
    dbPageObject = 1,     // 4096 bytes: bitmap pages and hash bucket pages
    dbTtreeMarker = 2,    // 4 bytes: T-tree root
    dbTtreeNodeMarker = 3,// 512 bytes: T-tree node
    dbHashTableMarker = 4,// 12 bytes: hash index header
    dbHashTableItemMarker = 5  // 12 bytes: hash index item
};
extern const uint32_t dbInternalObjectSize[8];

struct dbIndexRoot {
    uint32_t indexOffset;
    uint32_t shadowIndexOffset;
    uint32_t indexCapacity;
    uint32_t shadowIndexCapacity;
    uint32_t indexUsed;
    uint32_t freeListHead;
};

struct dbHeader {
    uint32_t size;
    uint32_t curr;  // the committed root
    uint32_t dirty;
    uint32_t initialized;
    dbIndexRoot root[2];
    uint32_t majorVersion;
    uint32_t minorVersion;
};
static_assert(sizeof(dbHeader) == 72);

// The 12-byte header of every table row.
struct dbRecord {
    uint32_t size;
    oid_t next;
    oid_t prev;
};

// The shared lock monitor, one per database, mapped by every process that
// has the database open.
struct dbMonitor {
    int32_t sem;  // counter of the cross-process critical section
    int32_t reserved0;
    int32_t nReaders;
    int32_t nWriters;
    int32_t nQueuedReaders;
    int32_t nQueuedWriters;
    int32_t waitForUpgrade;
    int32_t reserved1;
    int32_t backupCount;
    int32_t reserved2;
    int32_t curr;
    int32_t committing;
    uint32_t transactionStamp;
    int32_t reserved3;
    uint32_t mappingGeneration;
    int32_t openCount;
    uint32_t writerThread;
    int32_t reserved4;
    uint32_t dirtyIndexPages[524288 / 4];
};
static_assert(sizeof(dbMonitor) == 524360);

// An intrusive doubly linked list node; a list head is a node linked to itself.
struct dbL2List {
    dbL2List* next;
    dbL2List* prev;
    dbL2List() { next = prev = this; }
    bool isEmpty() const { return next == this; }
    void link(dbL2List* after)
    {
        prev = after;
        next = after->next;
        after->next->prev = this;
        after->next = this;
    }
    void unlink()
    {
        next->prev = prev;
        prev->next = next;
        next = prev = this;
    }
};

class dbAnyCursor;
class dbTableDescriptor;
class dbFieldDescriptor;
class dbQuery;

// Per thread and database: the thread's lock state and its open cursors.
class dbDatabaseThreadContext : public dbL2List {
public:
    int readAccess = 0;
    int writeAccess = 0;
    dbL2List cursors;
    // Recovery point and state of the query compiler of this thread.
    jmp_buf unwind;
    void* compiler = nullptr;
    // Frees `compiler` when the context goes (set by whoever creates it).
    void (*destroyCompiler)(void*) = nullptr;
    uint32_t threadId;
    dbDatabaseThreadContext();
    ~dbDatabaseThreadContext();
};

// The engine exception.
class dbException {
public:
    dbException(int errCode, const char* msg = nullptr, int arg = 0)
        : errCode(errCode), hasMsg(msg != nullptr), msg(msg ? msg : ""), arg(arg)
    {
    }
    int getErrCode() const { return errCode; }
    const char* getMsg() const { return hasMsg ? msg.c_str() : nullptr; }
    int getArgument() const { return arg; }

private:
    int errCode;
    bool hasMsg;
    std::string msg;
    int arg;
};

class dbDatabase {
public:
    enum dbAccessType { dbReadOnly = 0, dbReadWrite = 1, dbConcurrentRead = 2, dbConcurrentUpdate = 3 };
    enum dbErrorClass {
        errNone = 0,
        errQuery = 1,
        errArithmetic = 2,
        errIndexRange = 3,
        errOpen = 4,
        errFile = 5,
        errNoMemory = 6,
        errUpgradeDeadlock = 7,
        errNullReference = 8,
        errInverseReference = 11
    };
    enum dbLockType { dbSharedLock = 0, dbExclusiveLock = 1 };

    dbDatabase(dbAccessType type = dbReadWrite, uint32_t initSize = 0,
               uint32_t extensionQuantum = dbDefaultExtensionQuantum,
               uint32_t initIndexSize = dbDefaultInitIndexSize, int nThreads = 1);
    virtual ~dbDatabase();
    dbDatabase(const dbDatabase&) = delete;
    dbDatabase& operator=(const dbDatabase&) = delete;

    // Reports an engine error: prints its message to standard error and,
    // for most classes, throws dbException.
    virtual void handleError(int error, const char* msg = nullptr, int arg = 0);

    bool open(const char* databaseName, const char* fileName = nullptr,
              uint32_t waitLockTimeout = INFINITE_WAIT, unsigned commitDelay = 0);
    void close();
    bool isOpen() const { return opened; }

    void commit();
    void rollback();
    void attach();
    void detach();
    bool beginTransaction(dbLockType type);

    int getOpenCount();
    // Worker threads a sequential search may be split over (1: never split).
    int getThreadCount() const { return nThreads; }
    void setAllowFieldRemoval(bool allow) { allowFieldRemoval = allow; }
    bool getAllowFieldRemoval() const { return allowFieldRemoval; }
    int touch() { return file.touch(); }
    const char* getFileName() const { return fileName.c_str(); }
    // The key the machine-wide objects of this database are named by.
    const std::string& getSharedKey() const { return sharedKey; }

    // ---- object level access (inside a transaction) ----
    offs_t allocate(offs_t size, oid_t oid = 0);
    void deallocate(offs_t pos, offs_t size);
    void cloneBitmap(offs_t pos, offs_t size);
    oid_t allocateId(int n = 1);
    void freeId(oid_t oid, int n = 1);
    oid_t allocateObject(dbInternalObject kind);
    void freeObject(oid_t oid);
    oid_t allocateRow(oid_t tableId, size_t size);
    void freeRow(oid_t tableId, oid_t oid);

    // Read access to an internal object, write access (copied first when it
    // belongs to the committed state).
    char* get(oid_t oid) { return baseAddr + (currIndex[oid] & ~dbInternalObjectMarker); }
    char* put(oid_t oid);
    // Read access to a record; throws when the id is free or not a record.
    char* getRow(oid_t oid);
    char* putRow(oid_t oid);
    char* putRow(oid_t oid, size_t newSize);
    offs_t getPos(oid_t oid) const { return currIndex[oid]; }
    void setPos(oid_t oid, offs_t pos) { currIndex[oid] = pos; }
    bool isFreeId(oid_t oid) const { return oid >= currIndexSize || (currIndex[oid] & dbFreeHandleMarker) != 0; }
    char* getBase() const { return baseAddr; }
    dbHeader* getHeader() const { return header; }
    void setDirty();
    void markModified() { modified = true; }
    bool isModified() const { return modified; }
    void extend(offs_t size);

    dbDatabaseThreadContext* getThreadContext() { return threadContext.get(); }
    dbMonitor* getMonitor() const { return monitor; }

    // Table descriptors bound to this database.
    dbTableDescriptor* tables = nullptr;
    dbTableDescriptor* findTable(const char* name);
    uint32_t getIndexSize() const { return currIndexSize; }

    // ---- record operations (inside a transaction they begin themselves) ----
    void selectAll(dbAnyCursor* cursor);
    void select(dbAnyCursor* cursor, dbQuery& query);
    oid_t insertRecord(dbTableDescriptor* table, const unsigned char* record);
    void updateRecord(oid_t oid, dbTableDescriptor* table, const unsigned char* record);
    void removeRecord(dbTableDescriptor* table, oid_t oid);
    void removeAllRecords(dbTableDescriptor* table);
    // Tells this thread's cursors that a row changed or was removed.
    void notifyCursors(oid_t oid, bool removed);

protected:
    friend class dbAnyCursor;

    bool checkHeader();
    bool validateStructure();
    bool bindTable(dbTableDescriptor* desc, bool create, oid_t& searchStart);
    bool bindStoredTable(dbTableDescriptor* desc, oid_t& searchStart);
    bool updateIndices(dbTableDescriptor* desc, bool create);
    void rebuildIndexLists(dbTableDescriptor* desc);
    void dropUnusedIndices(dbTableDescriptor* desc, oid_t tableId);
    bool convertTable(dbTableDescriptor* desc, oid_t tableId, const char** problem);
    void removeInverseReferences(dbTableDescriptor* table, oid_t oid);
    void removeInverseReference(dbFieldDescriptor* fd, oid_t owner, oid_t target);
    void insertInverseReference(dbFieldDescriptor* fd, oid_t owner, oid_t target);
    void unbindTables();
    void initializeFile(uint32_t indexSize, size_t mappedSize);
    void restoreTablesConsistency();
    void recoverAfterCrash();
    bool loadScheme(bool alter);
    bool finishOpenFailure();
    void endTransaction(dbDatabaseThreadContext* ctx);
    void commit(dbDatabaseThreadContext* ctx);
    void writeCommit(dbDatabaseThreadContext* ctx);
    void rollbackChanges();
    bool refreshMapping();
    void waitLock(dbSemaphore& sem, bool (*granted)(dbMonitor*));
    void releaseExclusiveLock();
    void markDirtyIndexPage(oid_t oid)
    {
        monitor->dirtyIndexPages[oid >> 15] |= 1u << ((oid >> 10) & 31);
    }
    bool isShared(oid_t oid) const
    {
        return oid < committedIndexSize && index[0][oid] == index[1][oid];
    }
    bool reservedOverlap(offs_t pos, offs_t size) const;
    void setBits(offs_t pos, offs_t size);
    offs_t extendBitmap(oid_t firstMissingPage, int holeBitSize, int objBitSize, offs_t size, oid_t oid,
                        bool pageAligned);
    void updateIndexPointers();
    void copyObject(offs_t newPos, offs_t oldPos, offs_t size, oid_t oid);

    struct dbLocation {
        offs_t pos;
        offs_t size;
        dbLocation* next;
    };

    const dbAccessType accessType;
    uint32_t initSize;
    uint32_t extensionQuantum;
    uint32_t initIndexSize;
    int nThreads;
    dbThreadContext<dbDatabaseThreadContext> threadContext;
    char* baseAddr = nullptr;
    dbHeader* header = nullptr;
    uint32_t* currIndex = nullptr;
    uint32_t* index[2] = {nullptr, nullptr};
    int curr = 0;  // the committed root of the current transaction
    bool modified = false;
    oid_t currRBitmapPage = dbBitmapId;
    size_t currRBitmapOffs = 0;
    oid_t currPBitmapPage = dbBitmapId;
    size_t currPBitmapOffs = 0;
    dbLocation* reservedChain = nullptr;
    std::string databaseName;
    std::string sharedKey;
    std::string fileName;
    uint32_t mappingGeneration = 0;
    uint32_t committedIndexSize = 0;
    uint32_t currIndexSize = 0;
    oid_t updatedRecordId = 0;
    uint32_t waitLockTimeout = INFINITE_WAIT;
    MappedFile file;
    dbSharedMemory monitorMemory;
    GlobalCriticalSection cs;
    InitializationMutex initMutex;
    dbSemaphore writeSem;
    dbSemaphore readSem;
    dbSemaphore upgradeSem;
    dbEvent backupCompletedEvent;
    dbMonitor* monitor = nullptr;
    int32_t* bitmapPageAvailableSpace;
    bool opened = false;
    dbL2List threadContextList;
    dbMutex threadContextListMutex;
    struct dbVisitedObject {
        oid_t oid;
        dbVisitedObject* next;
    };
    dbVisitedObject* visitedChain = nullptr;
    bool allowFieldRemoval = false;
};
