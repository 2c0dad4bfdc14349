#include "engine286/database.h"

#include "engine286/class.h"
#include "engine286/cursor.h"
#include "engine286/hashtab.h"
#include "engine286/ttree.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

const uint32_t dbInternalObjectSize[8] = {0, dbPageSize, 4, 512, 12, 12, 0, 0};

namespace {

inline uint32_t align(uint32_t x, uint32_t a) { return (x + a - 1) & ~(a - 1); }

// Hole tables over one bitmap byte (bit 0 = lowest quantum).
struct HoleTables {
    uint8_t firstHoleSize[256];
    uint8_t lastHoleSize[256];
    uint8_t maxHoleSize[256];
    uint8_t maxHoleOffset[256];
    HoleTables()
    {
        for (int m = 0; m < 256; m++) {
            int first = 0;
            while (first < 8 && !(m & (1 << first))) first++;
            int last = 0;
            while (last < 8 && !(m & (0x80 >> last))) last++;
            int best = 0, bestOffs = 0;
            for (int start = 0; start < 8; start++) {
                int len = 0;
                while (start + len < 8 && !(m & (1 << (start + len)))) len++;
                if (len > best) {
                    best = len;
                    bestOffs = start;
                }
            }
            firstHoleSize[m] = uint8_t(first);
            lastHoleSize[m] = uint8_t(last);
            maxHoleSize[m] = uint8_t(best);
            maxHoleOffset[m] = uint8_t(bestOffs);
        }
    }
};
const HoleTables holes;

// Rows of the table of tables written into a new file: its own definition.
struct MetaField {
    const char* name;
    int type;
    int offset;
    int size;
};
const MetaField metaFields[] = {
    {"name", 7, 12, 8},
    {"fields", 9, 20, 8},
    {"fields[]", 19, 0, 44},
    {"fields[].name", 7, 0, 8},
    {"fields[].tableName", 7, 8, 8},
    {"fields[].inverse", 7, 16, 8},
    {"fields[].type", 3, 24, 4},
    {"fields[].offset", 3, 28, 4},
    {"fields[].size", 3, 32, 4},
    {"fields[].hashTable", 8, 36, 4},
    {"fields[].tTree", 8, 40, 4},
    {"fixedSize", 3, 28, 4},
    {"nRows", 3, 32, 4},
    {"nColumns", 3, 36, 4},
    {"firstRow", 8, 40, 4},
    {"lastRow", 8, 44, 4},
};
constexpr int nMetaFields = sizeof(metaFields) / sizeof(metaFields[0]);

uint32_t metatableRecordSize()
{
    uint32_t size = 48 + 44 * nMetaFields + uint32_t(std::strlen("Metatable")) + 1;
    for (const MetaField& f : metaFields) size += uint32_t(std::strlen(f.name)) + 3;
    return size;
}

void put32(char* p, uint32_t v) { std::memcpy(p, &v, 4); }

void writeMetatableRecord(char* rec, uint32_t size)
{
    std::memset(rec, 0, size);
    put32(rec, size);
    uint32_t nameOffs = 48 + 44 * nMetaFields;
    put32(rec + 12, uint32_t(std::strlen("Metatable")) + 1);
    put32(rec + 16, nameOffs);
    std::strcpy(rec + nameOffs, "Metatable");
    put32(rec + 20, nMetaFields);
    put32(rec + 24, 48);
    put32(rec + 28, 48);  // fixedSize
    put32(rec + 36, 5);   // nColumns
    uint32_t text = nameOffs + uint32_t(std::strlen("Metatable")) + 1;
    for (int i = 0; i < nMetaFields; i++) {
        uint32_t entry = 48 + 44 * uint32_t(i);
        uint32_t len = uint32_t(std::strlen(metaFields[i].name)) + 1;
        put32(rec + entry, len);
        put32(rec + entry + 4, text - entry);
        std::memcpy(rec + text, metaFields[i].name, len);
        text += len;
        // Text offsets count from the start of the entry.
        put32(rec + entry + 8, 1);
        put32(rec + entry + 12, text - entry);
        rec[text++] = 0;
        put32(rec + entry + 16, 1);
        put32(rec + entry + 20, text - entry);
        rec[text++] = 0;
        put32(rec + entry + 24, uint32_t(metaFields[i].type));
        put32(rec + entry + 28, uint32_t(metaFields[i].offset));
        put32(rec + entry + 32, uint32_t(metaFields[i].size));
    }
}

// Offsets of the table record fields the engine itself maintains.
constexpr uint32_t tableNRowsOffs = 32;
constexpr uint32_t tableFirstRowOffs = 40;
constexpr uint32_t tableLastRowOffs = 44;

inline uint32_t& field32(char* rec, uint32_t offs) { return *reinterpret_cast<uint32_t*>(rec + offs); }

}  // namespace

// ---------------------------------------------------------------- contexts

dbDatabaseThreadContext::dbDatabaseThreadContext() : threadId(dbThread::currentThreadId()) {}

dbDatabaseThreadContext::~dbDatabaseThreadContext()
{
    while (!cursors.isEmpty()) cursors.next->unlink();
    if (compiler != nullptr && destroyCompiler != nullptr) destroyCompiler(compiler);
}

// ---------------------------------------------------------------- construction

dbDatabase::dbDatabase(dbAccessType type, uint32_t initSize, uint32_t extensionQuantum, uint32_t initIndexSize,
                       int nThreads)
    : accessType(type), initSize(initSize), extensionQuantum(extensionQuantum), initIndexSize(initIndexSize),
      nThreads(nThreads)
{
    bitmapPageAvailableSpace = new int32_t[dbFirstUserId];
    if (this->nThreads > 64) this->nThreads = 64;
}

dbDatabase::~dbDatabase()
{
    delete[] bitmapPageAvailableSpace;
}

// ---------------------------------------------------------------- errors

void dbDatabase::handleError(int error, const char* msg, int arg)
{
    switch (error) {
    case errNone:
        break;
    case errQuery:
        std::fprintf(stderr, "%s in position %d\n", msg, arg);
        return;
    case errArithmetic:
        std::fprintf(stderr, "%s\n", msg);
        break;
    case errIndexRange:
        std::fprintf(stderr, "Index %d is out of range\n", arg);
        break;
    case errOpen:
        std::fprintf(stderr, "%s\n", msg);
        return;
    case errFile: {
        char text[256];
        MappedFile::errorText(arg, text, sizeof text);
        std::fprintf(stderr, "%s: %s\n", msg, text);
        break;
    }
    case errNoMemory:
        std::fprintf(stderr, "Not enough memory: failed to allocate %d bytes\n", arg);
        break;
    case errUpgradeDeadlock:
        std::fprintf(stderr, "Deadlock is caused by upgrading shared locks to exclusive");
        break;
    case errNullReference:
        std::fprintf(stderr, "Null object reference is accessed\n");
        break;
    case errInverseReference:
        std::fprintf(stderr, "%s\n", msg);
        return;
    default:
        return;
    }
    throw dbException(error, msg, arg);
}

// ---------------------------------------------------------------- open

bool dbDatabase::finishOpenFailure()
{
    // Leave the name space so that a failed open does not keep it alive.
    if (threadContext.get() != nullptr) {
        dbDatabaseThreadContext* ctx = threadContext.get();
        {
            dbCriticalSection guard(threadContextListMutex);
            ctx->unlink();
        }
        threadContext.set(nullptr);
        delete ctx;
    }
    if (monitor != nullptr && (accessType == dbReadWrite)) {
        // Locks taken by a failed schema load are released by the rollback.
    }
    file.close();
    initMutex.close();
    cs.close();
    monitorMemory.close();
    monitor = nullptr;
    writeSem.close();
    readSem.close();
    upgradeSem.close();
    backupCompletedEvent.close();
    header = nullptr;
    baseAddr = nullptr;
    return false;
}

bool dbDatabase::open(const char* dbName, const char* fName, uint32_t timeout, unsigned /*commitDelay*/)
{
    waitLockTimeout = timeout;
    opened = false;
    if (accessType != dbReadWrite && accessType != dbReadOnly) {
        handleError(errOpen, "Only read-write and read-only access are supported");
        return false;
    }
    const bool readOnly = accessType == dbReadOnly;
    databaseName = dbName;
    fileName = fName != nullptr ? fName : databaseName + ".fdb";
    sharedKey = sharedObjectKey(dbName, fileName.c_str());
    std::string objectPrefix = "/" + sharedKey;

    InitializationMutex::initializationStatus status = initMutex.initialize(sharedKey.c_str());
    if (status == InitializationMutex::InitializationError) {
        handleError(errOpen, "Failed to start database initialization");
        return finishOpenFailure();
    }
    if (!monitorMemory.open((objectPrefix + ".dm").c_str(), sizeof(dbMonitor))) {
        handleError(errOpen, "Failed to open database monitor");
        return finishOpenFailure();
    }
    monitor = static_cast<dbMonitor*>(monitorMemory.get());
    if (!writeSem.open((objectPrefix + ".ws").c_str())) {
        handleError(errOpen, "Failed to initialize database writers semaphore");
        return finishOpenFailure();
    }
    if (!readSem.open((objectPrefix + ".rs").c_str())) {
        handleError(errOpen, "Failed to initialize database readers semaphore");
        return finishOpenFailure();
    }
    if (!upgradeSem.open((objectPrefix + ".us").c_str())) {
        handleError(errOpen, "Failed to initialize database upgrade semaphore");
        return finishOpenFailure();
    }
    if (!backupCompletedEvent.open((objectPrefix + ".bce").c_str())) {
        handleError(errOpen, "Failed to initialize database backup completed event");
        return finishOpenFailure();
    }

    uint32_t indexSize = std::max(initIndexSize, dbFirstUserId);
    indexSize = align(indexSize, dbHandlesPerPage);
    uint64_t mappedSize = initSize == 0 ? dbDefaultInitDatabaseSize : initSize;
    mappedSize = std::max<uint64_t>(mappedSize, uint64_t(indexSize) * 16);
    mappedSize = (mappedSize + dbBitmapSegmentSize - 1) & ~uint64_t(dbBitmapSegmentSize - 1);

    for (uint32_t i = 0; i < dbFirstUserId; i++) bitmapPageAvailableSpace[i] = int32_t(dbMaxFreeSpaceHint);
    currRBitmapPage = currPBitmapPage = dbBitmapId;
    currRBitmapOffs = currPBitmapOffs = 0;
    reservedChain = nullptr;
    tables = nullptr;
    modified = false;
    attach();

    if (status == InitializationMutex::NotYetInitialized) {
        if (!cs.create((objectPrefix + ".cs").c_str(), &monitor->sem)) {
            handleError(errOpen, "Failed to initialize database monitor");
            return finishOpenFailure();
        }
        readSem.drain();
        writeSem.drain();
        upgradeSem.drain();
        monitor->nReaders = monitor->nWriters = 0;
        monitor->nQueuedReaders = monitor->nQueuedWriters = 0;
        monitor->waitForUpgrade = 0;
        monitor->backupCount = 0;
        monitor->committing = 0;
        monitor->openCount = 0;
        monitor->writerThread = 0;
        monitor->reserved0 = monitor->reserved1 = monitor->reserved2 = 0;
        monitor->reserved3 = monitor->reserved4 = 0;
        monitor->transactionStamp = 1;
        monitor->mappingGeneration = 1;
        mappingGeneration = 1;
        std::memset(monitor->dirtyIndexPages, 0, sizeof monitor->dirtyIndexPages);

        std::string mappingName = sharedKey + ".1";
        int rc = file.open(fileName.c_str(), mappingName.c_str(), readOnly, size_t(mappedSize));
        if (rc != 0) {
            handleError(errOpen, rc == EFBIG ? "Database file is too large: files of 4 GB and more are not supported"
                                             : "Failed to create database file");
            return finishOpenFailure();
        }
        baseAddr = file.getAddr();
        header = reinterpret_cast<dbHeader*>(baseAddr);
        updatedRecordId = 0;
        if (!checkHeader()) return finishOpenFailure();
        if (readOnly && header->initialized != 1) {
            handleError(errOpen, "Not a database file: the file is not initialised");
            return finishOpenFailure();
        }
        if (readOnly && header->dirty) {
            // Nobody has it open, so its last user crashed: only a read-write
            // open may restore it, and it would not if this open came first.
            handleError(errOpen, "Database file was not closed cleanly: open it with the program once to restore it");
            return finishOpenFailure();
        }
        if (header->initialized == 1 && !validateStructure()) return finishOpenFailure();
        try {
            if (header->initialized == 1) {
                monitor->curr = int32_t(header->curr);
                if (header->dirty && !readOnly) {
                    recoverAfterCrash();
                } else if (!header->dirty && file.getSize() != header->size) {
                    handleError(errOpen,
                                "Database file was corrupted: file size in header differs from actual file size");
                    return finishOpenFailure();
                }
            } else {
                initializeFile(indexSize, size_t(mappedSize));
                monitor->curr = 0;
            }
            if (!loadScheme(true)) return finishOpenFailure();
        } catch (const dbException&) {
            return finishOpenFailure();
        }
        initMutex.done();
    } else {
        if (!cs.open((objectPrefix + ".cs").c_str(), &monitor->sem)) {
            handleError(errOpen, "Failed to open shared semaphore");
            return finishOpenFailure();
        }
        mappingGeneration = 0;
        try {
            if (!loadScheme(false)) return finishOpenFailure();
        } catch (const dbException&) {
            rollback();
            return finishOpenFailure();
        }
    }
    {
        GlobalCriticalSectionLock guard(cs);
        monitor->openCount += 1;
    }
    opened = true;
    return true;
}

// Decides whether the mapped file may be used: an initialised database of
// this format, a new (all zero) file, or a file whose initialisation was
// interrupted. Anything else is refused without writing to it.
bool dbDatabase::checkHeader()
{
    size_t length = file.getSize();
    if (length < dbPageSize) {
        handleError(errOpen, "Not a database file: the file is too short");
        return false;
    }
    bool ourFormat = header->majorVersion == dbMajorVersion && header->minorVersion == dbMinorVersion;
    if (ourFormat) {  // initialised, or an interrupted initialisation
        if (header->curr > 1) {
            handleError(errOpen, "Database file was corrupted: invalid root index");
            return false;
        }
        return true;
    }
    if (header->initialized == 1 || header->majorVersion != 0 || header->minorVersion != 0) {
        handleError(errOpen, "Not a database file: unknown file format");
        return false;
    }
    // Versions are written and flushed first when a file is initialised, so
    // a file without them must be entirely zero to be taken as new.
    const char* p = baseAddr;
    for (size_t i = 0; i < length; i++) {
        if (p[i] != 0) {
            handleError(errOpen, "Not a database file: unknown file format");
            return false;
        }
    }
    return true;
}

// Checks what opening relies on before anything is read through it: the
// roots and their index areas, every committed index entry, the table of
// tables and the table records. A file that fails is refused, not repaired.
bool dbDatabase::validateStructure()
{
    const uint64_t fileSize = file.getSize();
    auto inFile = [&](uint64_t pos, uint64_t size) { return pos <= fileSize && size <= fileSize - pos; };
    auto fail = [&](const char* what) {
        std::string text = std::string("Database file was corrupted: ") + what;
        handleError(errOpen, text.c_str());
        return false;
    };
    const int c = int(header->curr);
    for (int r = 0; r < 2; r++) {
        const dbIndexRoot& root = header->root[r];
        bool needed = r == c || !header->dirty;  // a crashed writer's working root is rebuilt
        if (!needed) continue;
        if (root.indexOffset % dbPageSize != 0 || root.indexCapacity % dbHandlesPerPage != 0 ||
            root.indexCapacity < dbFirstUserId || !inFile(root.indexOffset, uint64_t(root.indexCapacity) * 4) ||
            root.indexUsed < dbFirstUserId || root.indexUsed > root.indexCapacity || root.freeListHead >= root.indexUsed)
            return fail("invalid object index");
    }
    const dbIndexRoot& committed = header->root[c];
    if (!header->dirty) {
        // After a clean close the working root is a copy of the committed one.
        const dbIndexRoot& working = header->root[1 - c];
        if (working.indexOffset != committed.shadowIndexOffset ||
            working.indexCapacity != committed.shadowIndexCapacity ||
            working.shadowIndexOffset != committed.indexOffset || working.indexUsed != committed.indexUsed ||
            working.freeListHead != committed.freeListHead ||
            std::memcmp(baseAddr + working.indexOffset, baseAddr + committed.indexOffset,
                        size_t(committed.indexUsed) * 4) != 0)
            return fail("the object indices disagree");
    }
    if (committed.shadowIndexOffset % dbPageSize != 0 || committed.shadowIndexCapacity < committed.indexUsed ||
        !inFile(committed.shadowIndexOffset, uint64_t(committed.shadowIndexCapacity) * 4))
        return fail("invalid object index");
    // The working index lives at the committed root's shadow; recovery copies
    // the committed index there, so it must not lie on the header page, the
    // committed index or any object.
    const uint64_t shadowBegin = committed.shadowIndexOffset;
    const uint64_t shadowEnd = shadowBegin + uint64_t(committed.indexUsed) * 4;
    auto onShadow = [&](uint64_t pos, uint64_t size) { return pos < shadowEnd && shadowBegin < pos + size; };
    if (onShadow(0, dbPageSize) || onShadow(committed.indexOffset, uint64_t(committed.indexUsed) * 4))
        return fail("invalid object index");
    const uint32_t* entries = reinterpret_cast<const uint32_t*>(baseAddr + committed.indexOffset);
    auto recordAt = [&](oid_t id, uint32_t minSize) -> const char* {
        if (id == 0 || id >= committed.indexUsed) return nullptr;
        uint32_t e = entries[id];
        if (e & (dbFreeHandleMarker | dbInternalObjectMarker)) return nullptr;
        if (!inFile(e, 4)) return nullptr;
        uint32_t size;
        std::memcpy(&size, baseAddr + e, 4);
        if (size < minSize || !inFile(e, size)) return nullptr;
        return baseAddr + e;
    };
    auto isKind = [&](oid_t id, uint32_t kind) {
        return id != 0 && id < committed.indexUsed && !(entries[id] & dbFreeHandleMarker) &&
               (entries[id] & dbInternalObjectMarker) == kind;
    };
    for (oid_t id = 1; id < committed.indexUsed; id++) {
        uint32_t e = entries[id];
        if (e & dbFreeHandleMarker) {
            if (id >= dbBitmapId && id < dbFirstUserId && e != dbFreeHandleMarker) return fail("invalid bitmap page");
            continue;
        }
        uint32_t kind = e & dbInternalObjectMarker;
        uint32_t pos = e & ~dbInternalObjectMarker;
        if (kind > dbHashTableItemMarker || pos % dbAllocationQuantum != 0) return fail("invalid object index entry");
        if (id >= dbBitmapId && id < dbFirstUserId && kind != dbPageObject) return fail("invalid bitmap page");
        if (kind == dbRecordObject) {
            const char* rec = recordAt(id, sizeof(dbRecord));
            if (rec == nullptr) return fail("object outside the file");
            if (onShadow(pos, reinterpret_cast<const dbRecord*>(rec)->size)) return fail("invalid object index");
        } else if (!inFile(pos, dbInternalObjectSize[kind]) || (kind == dbPageObject && pos % dbPageSize != 0)) {
            return fail("object outside the file");
        } else if (onShadow(pos, dbInternalObjectSize[kind])) {
            return fail("invalid object index");
        }
    }
    // The table of tables and the table records.
    const char* meta = recordAt(dbMetaTableId, sizeof(dbStoredTable));
    if (meta == nullptr) return fail("the table of tables is missing");
    auto validTable = [&](const char* rec) {
        const auto* t = reinterpret_cast<const dbStoredTable*>(rec);
        uint64_t size = t->header.size;
        if (t->nameSize == 0 || uint64_t(t->nameOffs) + t->nameSize > size || rec[t->nameOffs + t->nameSize - 1] != 0)
            return false;
        if (uint64_t(t->fieldsOffs) + uint64_t(t->nFields) * sizeof(dbStoredField) > size) return false;
        for (uint32_t i = 0; i < t->nFields; i++) {
            uint64_t entry = t->fieldsOffs + uint64_t(i) * sizeof(dbStoredField);
            dbStoredField f;
            std::memcpy(&f, rec + entry, sizeof f);
            for (auto [offs, len] : {std::pair{f.nameOffs, f.nameSize}, std::pair{f.tableNameOffs, f.tableNameSize},
                                     std::pair{f.inverseOffs, f.inverseSize}}) {
                if (len == 0 || entry + uint64_t(offs) + len > size || rec[entry + offs + len - 1] != 0) return false;
            }
        }
        for (uint32_t i = 0; i < t->nFields; i++) {
            dbStoredField f;
            std::memcpy(&f, rec + t->fieldsOffs + uint64_t(i) * sizeof(dbStoredField), sizeof f);
            if (f.hashTable != 0) {
                if (!isKind(f.hashTable, dbHashTableMarker)) return false;
                dbHashTable h;
                std::memcpy(&h, baseAddr + (entries[f.hashTable] & ~dbInternalObjectMarker), sizeof h);
                if (h.mask < 16383 || ((h.mask + 1) & h.mask) != 0) return false;
                for (uint32_t p = 0; p < (h.mask + 1) / dbHandlesPerPage; p++)
                    if (!isKind(h.page + p, dbPageObject)) return false;
            }
            if (f.tTree != 0) {
                if (!isKind(f.tTree, dbTtreeMarker)) return false;
                oid_t rootNode;
                std::memcpy(&rootNode, baseAddr + (entries[f.tTree] & ~dbInternalObjectMarker), 4);
                if (rootNode != 0 && !isKind(rootNode, dbTtreeNodeMarker)) return false;
            }
        }
        for (oid_t row : {t->firstRow, t->lastRow})
            if (row != 0 && recordAt(row, sizeof(dbRecord)) == nullptr) return false;
        return (t->firstRow == 0) == (t->lastRow == 0);
    };
    if (!validTable(meta)) return fail("invalid table of tables");
    const auto* metaTable = reinterpret_cast<const dbStoredTable*>(meta);
    oid_t table = metaTable->firstRow;
    for (uint32_t n = 0; table != 0 && n < metaTable->nRows; n++) {
        const char* rec = recordAt(table, sizeof(dbStoredTable));
        if (rec == nullptr || !validTable(rec)) return fail("invalid table record");
        if (table == metaTable->lastRow) break;
        table = reinterpret_cast<const dbRecord*>(rec)->next;
    }
    return true;
}

void dbDatabase::initializeFile(uint32_t indexSize, size_t mappedSize)
{
    // A file left over from an interrupted initialisation may be shorter
    // than a new file would be.
    if (file.getSize() < mappedSize) {
        std::string mappingName = sharedKey + "." + std::to_string(mappingGeneration);
        int rc = file.setSize(mappedSize, mappingName.c_str(), true);
        if (rc != 0) handleError(errFile, "Failed to extend file", rc);
        baseAddr = file.getAddr();
        header = reinterpret_cast<dbHeader*>(baseAddr);
    }
    std::memset(header, 0, sizeof(dbHeader));
    header->majorVersion = dbMajorVersion;
    header->minorVersion = dbMinorVersion;
    header->curr = 0;
    header->size = uint32_t(file.getSize());
    file.flush(0, dbPageSize);

    offs_t used = dbPageSize;
    header->root[0].indexOffset = used;
    header->root[0].indexCapacity = indexSize;
    header->root[0].shadowIndexCapacity = indexSize;
    header->root[0].indexUsed = dbFirstUserId;
    header->root[0].freeListHead = 0;
    used += indexSize * sizeof(offs_t);
    header->root[1].indexOffset = used;
    header->root[1].indexCapacity = indexSize;
    header->root[1].shadowIndexCapacity = indexSize;
    header->root[1].indexUsed = dbFirstUserId;
    header->root[1].freeListHead = 0;
    used += indexSize * sizeof(offs_t);
    header->root[0].shadowIndexOffset = header->root[1].indexOffset;
    header->root[1].shadowIndexOffset = header->root[0].indexOffset;

    updateIndexPointers();
    index[0][0] = dbFreeHandleMarker;
    uint32_t bitmapPages = (used + dbBitmapSegmentSize - dbPageSize - 1) / (dbBitmapSegmentSize - dbPageSize);
    char* bitmap = baseAddr + used;
    size_t bitmapBytes = (used + dbPageSize * bitmapPages) / (dbAllocationQuantum * 8);
    std::memset(bitmap, 0, dbPageSize * bitmapPages);
    std::memset(bitmap, 0xFF, bitmapBytes);
    uint32_t i;
    for (i = 0; i < bitmapPages; i++) index[0][dbBitmapId + i] = used + i * dbPageSize + dbPageObject;
    for (; i < dbBitmapPages; i++) index[0][dbBitmapId + i] = dbFreeHandleMarker;

    currIndex = index[0];
    curr = 1;  // nothing is committed yet: every object is written in place
    committedIndexSize = 0;
    currIndexSize = dbFirstUserId;
    uint32_t metaSize = metatableRecordSize();
    offs_t pos = allocate(metaSize);
    index[0][dbMetaTableId] = pos;
    writeMetatableRecord(baseAddr + pos, metaSize);

    header->dirty = 1;
    std::memcpy(index[1], index[0], dbFirstUserId * sizeof(offs_t));
    file.flush();
    header->initialized = 1;
    file.flush();
    curr = 0;
    modified = false;
}

void dbDatabase::updateIndexPointers()
{
    index[0] = reinterpret_cast<uint32_t*>(baseAddr + header->root[0].indexOffset);
    index[1] = reinterpret_cast<uint32_t*>(baseAddr + header->root[1].indexOffset);
}

void dbDatabase::recoverAfterCrash()
{
    int c = int(header->curr);
    int w = 1 - c;
    header->size = uint32_t(file.getSize());
    dbIndexRoot& cr = header->root[c];
    dbIndexRoot& wr = header->root[w];
    wr.indexUsed = cr.indexUsed;
    wr.freeListHead = cr.freeListHead;
    wr.indexOffset = cr.shadowIndexOffset;
    wr.indexCapacity = cr.shadowIndexCapacity;
    wr.shadowIndexOffset = cr.indexOffset;
    wr.shadowIndexCapacity = cr.indexCapacity;
    updateIndexPointers();
    uint32_t* committed = index[c];
    uint32_t* working = index[w];
    for (uint32_t i = 0, n = cr.indexUsed; i < n; i++) {
        if (working[i] != committed[i]) working[i] = committed[i];
    }
    currIndex = working;
    curr = c;
    currIndexSize = cr.indexUsed;
    committedIndexSize = cr.indexUsed;
    restoreTablesConsistency();
    file.flush();
}

// An uncommitted append writes the next link of a table's last row in place;
// cut such links off again.
void dbDatabase::restoreTablesConsistency()
{
    char* meta = baseAddr + currIndex[dbMetaTableId];
    oid_t last = field32(meta, tableLastRowOffs);
    if (last != 0) {
        dbRecord* rec = reinterpret_cast<dbRecord*>(baseAddr + currIndex[last]);
        if (rec->next != 0) rec->next = 0;
    }
    oid_t table = field32(meta, tableFirstRowOffs);
    uint32_t steps = field32(meta, tableNRowsOffs);
    while (table != 0 && steps-- > 0) {
        char* rec = baseAddr + currIndex[table];
        oid_t lastRow = field32(rec, tableLastRowOffs);
        if (lastRow != 0) {
            dbRecord* row = reinterpret_cast<dbRecord*>(baseAddr + currIndex[lastRow]);
            if (row->next != 0) row->next = 0;
        }
        table = reinterpret_cast<dbRecord*>(rec)->next;
    }
}

// Finds the stored table record named like the descriptor, binds the
// descriptor to it (converting it when its definition changed) or creates
// it. `searchStart` is the metatable row where the previous search stopped.
bool dbDatabase::bindTable(dbTableDescriptor* desc, bool create, oid_t& searchStart)
{
    for (dbFieldDescriptor* f = desc->firstField; f != nullptr; f = f->nextInTable) {
        f->hashTable = 0;
        f->tTree = 0;
        f->indexFlags &= ~unsigned(dbField::Updated);
    }
    char* meta = getRow(dbMetaTableId);
    oid_t first = field32(meta, tableFirstRowOffs);
    uint32_t nTables = field32(meta, tableNRowsOffs);
    oid_t found = 0;
    oid_t id = searchStart != 0 ? searchStart : first;
    for (uint32_t steps = 0; id != 0 && steps < nTables; steps++) {
        const auto* stored = reinterpret_cast<const dbStoredTable*>(getRow(id));
        if (std::strcmp(stored->tableName(), desc->name) == 0) {
            found = id;
            break;
        }
        id = stored->header.next != 0 ? stored->header.next : first;
    }
    if (found != 0) {
        searchStart = found;
        if (!desc->equal(reinterpret_cast<const byte*>(getRow(found)))) {
            if (!create) {
                handleError(errOpen, "Incompatible class definition in application");
                return false;
            }
            modified = true;
            const char* problem = nullptr;
            if (!convertTable(desc, found, &problem)) {
                std::string text = std::string("Incompatible class definition in application: table ") + desc->name +
                                   ", field " + (problem != nullptr ? problem : "?") +
                                   " cannot be converted to the new definition";
                handleError(errOpen, text.c_str());
                return false;
            }
        }
        // Indices present in the file stay in use.
        for (dbFieldDescriptor* f = desc->firstField; f != nullptr; f = f->nextInTable) {
            if (f->tTree != 0)
                f->indexFlags |= dbField::Indexed;
            else if (f->hashTable != 0)
                f->indexFlags |= dbField::Hashed;
        }
        rebuildIndexLists(desc);
    } else {
        if (!create) {
            handleError(errOpen, "Incompatible class definition in application");
            return false;
        }
        size_t size = desc->storedTableRecordSize();
        found = allocateRow(dbMetaTableId, size);
        desc->writeTableRecord(reinterpret_cast<byte*>(getRow(found)));
        modified = true;
    }
    desc->tableId = found;
    desc->db = this;
    desc->nextInDatabase = tables;
    tables = desc;
    return updateIndices(desc, create);
}

// Binds a descriptor to an equal stored table without changing anything.
bool dbDatabase::bindStoredTable(dbTableDescriptor* desc, oid_t& searchStart)
{
    for (dbFieldDescriptor* f = desc->firstField; f != nullptr; f = f->nextInTable) f->hashTable = f->tTree = 0;
    char* meta = getRow(dbMetaTableId);
    oid_t first = field32(meta, tableFirstRowOffs);
    uint32_t nTables = field32(meta, tableNRowsOffs);
    oid_t id = searchStart != 0 ? searchStart : first;
    for (uint32_t steps = 0; id != 0 && steps < nTables; steps++) {
        const auto* stored = reinterpret_cast<const dbStoredTable*>(getRow(id));
        if (std::strcmp(stored->tableName(), desc->name) == 0) {
            searchStart = id;
            if (!desc->equal(reinterpret_cast<const byte*>(stored))) return false;
            for (dbFieldDescriptor* f = desc->firstField; f != nullptr; f = f->nextInTable) {
                if (f->tTree != 0)
                    f->indexFlags |= dbField::Indexed;
                else if (f->hashTable != 0)
                    f->indexFlags |= dbField::Hashed;
            }
            rebuildIndexLists(desc);
            desc->tableId = id;
            desc->db = this;
            desc->nextInDatabase = tables;
            tables = desc;
            return true;
        }
        id = stored->header.next != 0 ? stored->header.next : first;
    }
    return false;
}

void dbDatabase::rebuildIndexLists(dbTableDescriptor* desc)
{
    desc->hashedFields = desc->indexedFields = nullptr;
    for (dbFieldDescriptor* f = desc->firstField; f != nullptr; f = f->nextInTable) {
        f->nextHashed = f->nextIndexed = nullptr;
        if (f->type == dbField::tpStructure || (f->attr & dbFieldDescriptor::ComponentOfArray)) continue;
        if (f->indexFlags & dbField::Hashed) {
            f->nextHashed = desc->hashedFields;
            desc->hashedFields = f;
        }
        if (f->indexFlags & dbField::Indexed) {
            f->nextIndexed = desc->indexedFields;
            desc->indexedFields = f;
        }
    }
}

// Creates the indices the table's fields declare and drops those they no
// longer have, filling new indices with the table's rows.
bool dbDatabase::updateIndices(dbTableDescriptor* desc, bool create)
{
    oid_t tableId = desc->tableId;
    uint32_t nRows = reinterpret_cast<const dbStoredTable*>(getRow(tableId))->nRows;
    bool committed = isShared(tableId);
    bool created = false, changed = false;
    for (dbFieldDescriptor* f = desc->firstField; f != nullptr; f = f->nextInTable) {
        if (f->type == dbField::tpStructure || (f->attr & dbFieldDescriptor::ComponentOfArray)) continue;
        bool wantHash = (f->indexFlags & dbField::Hashed) != 0;
        bool wantTree = (f->indexFlags & dbField::Indexed) != 0;
        if ((wantHash != (f->hashTable != 0)) || (wantTree != (f->tTree != 0))) {
            if (!create && committed) {
                handleError(errOpen, "Failed to alter indices with active applications");
                return false;
            }
            changed = true;
        }
        if (wantHash && f->hashTable == 0) {
            f->hashTable = dbHashIndex::create(this, nRows);
            f->indexFlags |= dbField::Updated;
            created = true;
        } else if (!wantHash) {
            f->hashTable = 0;  // a stored one is dropped below
        }
        if (wantTree && f->tTree == 0) {
            f->tTree = dbTtree::create(this);
            f->indexFlags |= dbField::Updated;
            created = true;
        } else if (!wantTree) {
            f->tTree = 0;
        }
    }
    if (created) {
        modified = true;
        for (oid_t row = reinterpret_cast<const dbStoredTable*>(getRow(tableId))->firstRow; row != 0;) {
            oid_t next = reinterpret_cast<const dbRecord*>(getRow(row))->next;
            for (dbFieldDescriptor* f = desc->firstField; f != nullptr; f = f->nextInTable) {
                if (!(f->indexFlags & dbField::Updated)) continue;
                if (f->indexFlags & dbField::Hashed)
                    dbHashIndex::insert(this, f->hashTable, row, f->type, f->storedSize, f->storedOffset, 2 * nRows);
                if (f->indexFlags & dbField::Indexed)
                    dbTtree::insert(this, f->tTree, row, f->type, f->storedSize, f->comparator, f->storedOffset);
            }
            row = next;
        }
        for (dbFieldDescriptor* f = desc->firstField; f != nullptr; f = f->nextInTable)
            f->indexFlags &= ~unsigned(dbField::Updated);
    }
    if (changed) {
        modified = true;
        uint32_t nEntries = reinterpret_cast<const dbStoredTable*>(getRow(tableId))->nFields;
        uint32_t i = 0;
        for (dbFieldDescriptor* f = desc->firstField; f != nullptr && i < nEntries; f = f->nextInTable, i++) {
            dbStoredField entry = reinterpret_cast<const dbStoredTable*>(getRow(tableId))->fields()[i];
            if (entry.hashTable != f->hashTable) {
                if (entry.hashTable != 0) {
                    DB_ASSERT(f->hashTable == 0);
                    dbHashIndex::drop(this, entry.hashTable);
                }
                reinterpret_cast<dbStoredTable*>(putRow(tableId))->fields()[i].hashTable = f->hashTable;
            }
            if (entry.tTree != f->tTree) {
                if (entry.tTree != 0) {
                    DB_ASSERT(f->tTree == 0);
                    dbTtree::drop(this, entry.tTree);
                }
                reinterpret_cast<dbStoredTable*>(putRow(tableId))->fields()[i].tTree = f->tTree;
            }
        }
    }
    rebuildIndexLists(desc);
    return true;
}

// Drops the indices of a stored table record that no field of the new
// definition has taken over.
void dbDatabase::dropUnusedIndices(dbTableDescriptor* desc, oid_t tableId)
{
    std::vector<std::pair<oid_t, bool>> unused;  // id, is a T-tree
    const auto* stored = reinterpret_cast<const dbStoredTable*>(getRow(tableId));
    for (uint32_t i = 0; i < stored->nFields; i++) {
        const dbStoredField& entry = stored->fields()[i];
        bool hashTaken = entry.hashTable == 0, treeTaken = entry.tTree == 0;
        for (dbFieldDescriptor* f = desc->firstField; f != nullptr; f = f->nextInTable) {
            hashTaken = hashTaken || f->hashTable == entry.hashTable;
            treeTaken = treeTaken || f->tTree == entry.tTree;
        }
        if (!hashTaken) unused.emplace_back(entry.hashTable, false);
        if (!treeTaken) unused.emplace_back(entry.tTree, true);
    }
    for (auto& [id, isTree] : unused) {
        if (isTree)
            dbTtree::drop(this, id);
        else
            dbHashIndex::drop(this, id);
    }
}

// Whether every row of a stored table holds its fields and texts inside
// itself, as the stored definition describes them; rows are read through
// that definition when the table is converted.
bool dbDatabase::rowsFitStoredLayout(const dbStoredTable* stored)
{
    const dbStoredField* fields = stored->fields();
    const size_t nFields = stored->nFields;
    uint32_t steps = 0;
    for (oid_t row = stored->firstRow; row != 0; steps++) {
        if (steps > stored->nRows || isFreeId(row) || (currIndex[row] & dbInternalObjectMarker) != 0) return false;
        const byte* rec = reinterpret_cast<const byte*>(baseAddr + currIndex[row]);
        uint64_t size = reinterpret_cast<const dbRecord*>(rec)->size;
        if (size < stored->fixedSize) return false;
        for (size_t i = 0; i < nFields; i++) {
            const dbStoredField& f = fields[i];
            if (std::strchr(f.fieldName(), '[') != nullptr) continue;  // inside array elements
            if (f.type == dbField::tpStructure) continue;
            if (uint64_t(f.offset) + f.size > stored->fixedSize) return false;
            if (f.type == dbField::tpString || f.type == dbField::tpArray) {
                uint32_t count, offs;
                std::memcpy(&count, rec + f.offset, 4);
                std::memcpy(&offs, rec + f.offset + 4, 4);
                uint64_t bytes = f.type == dbField::tpString ? count
                                                             : uint64_t(count) * (i + 1 < nFields ? fields[i + 1].size : 0);
                if (uint64_t(offs) + bytes > size) return false;
                if (f.type == dbField::tpString && (count == 0 || rec[offs + count - 1] != 0)) return false;
            }
        }
        if (row == stored->lastRow) break;
        row = reinterpret_cast<const dbRecord*>(rec)->next;
    }
    return true;
}

// Brings a stored table to the descriptor's definition: its rows (when it has
// any) and its table record.
bool dbDatabase::convertTable(dbTableDescriptor* desc, oid_t tableId, const char** problem)
{
    const auto* stored = reinterpret_cast<const dbStoredTable*>(getRow(tableId));
    uint32_t nRows = stored->nRows;
    oid_t firstRow = stored->firstRow, lastRow = stored->lastRow;
    if (nRows != 0) {
        bool sameLayout = desc->match(reinterpret_cast<const byte*>(stored), allowFieldRemoval, problem);
        if (*problem != nullptr) return false;
        if (!sameLayout && !rowsFitStoredLayout(stored)) {
            *problem = "(a row does not fit its stored definition)";
            return false;
        }
        if (!sameLayout) {
            std::vector<byte> temp;
            for (oid_t row = firstRow; row != 0;) {
                const byte* old = reinterpret_cast<const byte*>(getRow(row));
                oid_t next = reinterpret_cast<const dbRecord*>(old)->next;
                size_t newSize = desc->columns->convertedSize(old, size_t(desc->fixedSize));
                byte* target = reinterpret_cast<byte*>(putRow(row, newSize));
                if (target == old) {
                    temp.assign(newSize, 0);
                    desc->columns->convert(temp.data(), old, size_t(desc->fixedSize));
                    if (newSize > sizeof(dbRecord))
            std::memcpy(target + sizeof(dbRecord), temp.data() + sizeof(dbRecord), newSize - sizeof(dbRecord));
                } else {
                    std::memset(target + sizeof(dbRecord), 0, newSize - sizeof(dbRecord));
                    desc->columns->convert(target, old, size_t(desc->fixedSize));
                }
                row = next;
            }
        }
    } else {
        // An empty table only gets its new table record; its indices go.
        for (dbFieldDescriptor* f = desc->firstField; f != nullptr; f = f->nextInTable) f->hashTable = f->tTree = 0;
    }
    dropUnusedIndices(desc, tableId);
    size_t size = desc->storedTableRecordSize();
    byte* record = reinterpret_cast<byte*>(putRow(tableId, size));
    desc->writeTableRecord(record);
    auto* table = reinterpret_cast<dbStoredTable*>(record);
    table->nRows = nRows;
    table->firstRow = firstRow;
    table->lastRow = lastRow;
    return true;
}

bool dbDatabase::loadScheme(bool create)
{
    const bool readOnly = accessType == dbReadOnly;
    if (!beginTransaction(readOnly ? dbSharedLock : dbExclusiveLock)) return false;
    oid_t searchStart = 0;
    tables = nullptr;
    for (dbTableDescriptor* desc = dbTableDescriptor::chain; desc != nullptr; desc = desc->nextTable) {
        dbTableDescriptor* use = desc;
        if (desc->db == DETACHED_TABLE) {
            use = desc->cloneFor(this);
        } else if (desc->db != nullptr && desc->db != this) {
            continue;
        } else {
            DB_ASSERT(desc->tableId == 0 && "Table can be used only in one database");
        }
        if (readOnly) {
            // Tables that the file lacks or stores differently stay unbound.
            if (!bindStoredTable(use, searchStart) && use != desc) delete use;
            continue;
        }
        if (!bindTable(use, create, searchStart)) {
            if (use != desc) delete use;
            rollback();
            unbindTables();
            return false;
        }
    }
    for (dbTableDescriptor* desc = tables; desc != nullptr; desc = desc->nextInDatabase) {
        if (desc->cloneOf != nullptr) {
            // References of a copy point at the copies bound to this database.
            for (dbFieldDescriptor* f = desc->firstField; f != nullptr; f = f->nextInTable) {
                dbFieldDescriptor* target = f->type == dbField::tpArray ? f->components : f;
                if (target->type != dbField::tpReference || target->refTable == nullptr) continue;
                for (dbTableDescriptor* t = tables; t != nullptr; t = t->nextInDatabase) {
                    if (t == target->refTable || t->cloneOf == target->refTable) {
                        target->refTable = t;
                        break;
                    }
                }
            }
        }
    }
    for (dbTableDescriptor* desc = tables; desc != nullptr; desc = desc->nextInDatabase) desc->resolveRelationships();
    commit();
    return true;
}

void dbDatabase::unbindTables()
{
    dbTableDescriptor* desc = tables;
    tables = nullptr;
    while (desc != nullptr) {
        dbTableDescriptor* next = desc->nextInDatabase;
        if (desc->cloneOf != nullptr) {
            delete desc;
        } else {
            desc->unbind();
        }
        desc = next;
    }
}

dbTableDescriptor* dbDatabase::findTable(const char* name)
{
    for (dbTableDescriptor* desc = tables; desc != nullptr; desc = desc->nextInDatabase)
        if (std::strcmp(desc->name, name) == 0) return desc;
    return nullptr;
}

int dbDatabase::getOpenCount()
{
    GlobalCriticalSectionLock guard(cs);
    return monitor->openCount;
}

// ---------------------------------------------------------------- close

void dbDatabase::close()
{
    if (!opened) return;
    detach();
    {
        dbCriticalSection guard(threadContextListMutex);
        while (!threadContextList.isEmpty()) {
            auto* ctx = static_cast<dbDatabaseThreadContext*>(threadContextList.next);
            ctx->unlink();
            delete ctx;
        }
    }
    opened = false;
    {
        GlobalCriticalSectionLock guard(cs);
        monitor->openCount -= 1;
        if (header != nullptr && header->dirty && monitor->nWriters == 0 && accessType != dbReadOnly) {
            file.flush();
            header->dirty = 0;
            file.flush(0, dbPageSize);
        }
    }
    unbindTables();
    file.close();
    baseAddr = nullptr;
    header = nullptr;
    currIndex = index[0] = index[1] = nullptr;
    initMutex.close();
    cs.close();
    monitorMemory.close();
    monitor = nullptr;
    readSem.close();
    writeSem.close();
    upgradeSem.close();
    backupCompletedEvent.close();
}

// ---------------------------------------------------------------- threads

void dbDatabase::attach()
{
    if (threadContext.get() == nullptr) {
        auto* ctx = new dbDatabaseThreadContext();
        {
            dbCriticalSection guard(threadContextListMutex);
            ctx->link(&threadContextList);
        }
        threadContext.set(ctx);
    }
}

void dbDatabase::detach()
{
    dbDatabaseThreadContext* ctx = threadContext.get();
    if (ctx == nullptr) return;
    commit();
    {
        dbCriticalSection guard(threadContextListMutex);
        ctx->unlink();
    }
    delete ctx;
    threadContext.set(nullptr);
}

// ---------------------------------------------------------------- allocation

void dbDatabase::setDirty()
{
    if (!header->dirty) {
        header->dirty = 1;
        file.flush(0, dbPageSize);
    }
    modified = true;
}

bool dbDatabase::reservedOverlap(offs_t pos, offs_t size) const
{
    for (dbLocation* r = reservedChain; r != nullptr; r = r->next) {
        if ((r->pos >= pos && r->pos < pos + size) || (pos >= r->pos && pos < r->pos + r->size)) return true;
    }
    return false;
}

// Sets the bitmap bits of the quanta of [pos, pos + size), taking every
// bitmap page it touches for writing; pages covered whole get hint 0.
void dbDatabase::setBits(offs_t pos, offs_t size)
{
    uint64_t q = pos / dbAllocationQuantum;
    uint64_t end = q + align(size, dbAllocationQuantum) / dbAllocationQuantum;
    while (q < end) {
        oid_t page = oid_t(dbBitmapId + q / dbBitmapBitsPerPage);
        uint64_t pageStart = (q / dbBitmapBitsPerPage) * dbBitmapBitsPerPage;
        uint64_t pageEnd = std::min<uint64_t>(end, pageStart + dbBitmapBitsPerPage);
        if (q == pageStart && pageEnd == pageStart + dbBitmapBitsPerPage) bitmapPageAvailableSpace[page] = 0;
        uint8_t* bits = reinterpret_cast<uint8_t*>(put(page));
        uint32_t from = uint32_t(q - pageStart), to = uint32_t(pageEnd - pageStart);
        while (from < to && (from & 7) != 0) {
            bits[from >> 3] |= uint8_t(1 << (from & 7));
            from++;
        }
        if (to - from >= 8) {
            std::memset(bits + (from >> 3), 0xFF, (to - from) >> 3);
            from += (to - from) & ~7u;
        }
        while (from < to) {
            bits[from >> 3] |= uint8_t(1 << (from & 7));
            from++;
        }
        q = pageEnd;
    }
}

void dbDatabase::copyObject(offs_t newPos, offs_t oldPos, offs_t size, oid_t oid)
{
    std::memcpy(baseAddr + newPos, baseAddr + oldPos, size);
    currIndex[oid] = newPos + (currIndex[oid] & dbInternalObjectMarker);
}

offs_t dbDatabase::allocate(offs_t size, oid_t oid)
{
    setDirty();
    size = align(size, dbAllocationQuantum);
    const int objBitSize = int(size / dbAllocationQuantum);
    const bool pageAligned = (size & (dbPageSize - 1)) == 0;
    oid_t& cursorPage = pageAligned ? currPBitmapPage : currRBitmapPage;
    size_t& cursorOffs = pageAligned ? currPBitmapOffs : currRBitmapOffs;

    oid_t firstPage = cursorPage;
    size_t offs = pageAligned ? align(uint32_t(cursorOffs), 32) : cursorOffs;
    oid_t lastPage = dbFirstUserId;
    oid_t i = firstPage;
    int holeBitSize = 0;
    oid_t missingPage = 0;  // first bitmap page id that does not exist yet
    int missingHole = 0;    // free run that ended there
    bool secondPass = false;

    for (;;) {
        for (; i < lastPage && currIndex[i] != dbFreeHandleMarker; i++, offs = 0) {
            int spaceNeeded = std::min(objBitSize - holeBitSize, int(dbBitmapBitsPerPage));
            if (bitmapPageAvailableSpace[i] <= spaceNeeded) {
                holeBitSize = 0;
                continue;
            }
            const size_t startOffs = offs;
            bool rejected = false;
            const uint8_t* bits = reinterpret_cast<const uint8_t*>(get(i));
            offs_t pos = 0;
            bool found = false;
            bool insideByte = false;
            while (offs < dbPageSize) {
                if (pageAligned) {
                    if (bits[offs] != 0) {
                        offs = (offs + 32) & ~size_t(31);
                        holeBitSize = 0;
                        continue;
                    }
                    holeBitSize += 8;
                    if (holeBitSize == objBitSize) {
                        pos = offs_t(((uint64_t(i - dbBitmapId) * dbBitmapBitsPerPage) + (offs + 1) * 8 - holeBitSize) *
                                     dbAllocationQuantum);
                        if (reservedOverlap(pos, size)) {
                            offs += (objBitSize + 7) / 8;
                            offs = (offs + 31) & ~size_t(31);
                            holeBitSize = 0;
                            rejected = true;
                            continue;
                        }
                        found = true;
                        break;
                    }
                    offs++;
                } else {
                    uint8_t m = bits[offs];
                    if (holes.firstHoleSize[m] + holeBitSize >= objBitSize) {
                        pos = offs_t(((uint64_t(i - dbBitmapId) * dbBitmapBitsPerPage) + offs * 8 - holeBitSize) *
                                     dbAllocationQuantum);
                    } else if (holes.maxHoleSize[m] >= objBitSize) {
                        pos = offs_t(((uint64_t(i - dbBitmapId) * dbBitmapBitsPerPage) + offs * 8 +
                                      holes.maxHoleOffset[m]) *
                                     dbAllocationQuantum);
                        insideByte = true;
                    } else {
                        offs++;
                        holeBitSize = holes.lastHoleSize[m] == 8 ? holeBitSize + 8 : holes.lastHoleSize[m];
                        continue;
                    }
                    if (reservedOverlap(pos, size)) {
                        offs += (objBitSize + 7) / 8;
                        holeBitSize = 0;
                        rejected = true;
                        insideByte = false;
                        continue;
                    }
                    found = true;
                    break;
                }
            }
            if (found) {
                (void)insideByte;
                dbLocation loc{pos, size, reservedChain};
                reservedChain = &loc;
                cursorPage = i;
                cursorOffs = offs;
                try {
                    extend(pos + size);
                    if (oid != 0) copyObject(pos, currIndex[oid] & ~dbInternalObjectMarker, size, oid);
                    setBits(pos, size);
                } catch (...) {
                    reservedChain = loc.next;
                    throw;
                }
                reservedChain = loc.next;
                file.markAsDirty(pos, size);
                return pos;
            }
            if (startOffs == 0 && !rejected && holeBitSize == 0 && spaceNeeded < bitmapPageAvailableSpace[i])
                bitmapPageAvailableSpace[i] = spaceNeeded;
        }
        if (!secondPass) {
            missingPage = i;
            missingHole = holeBitSize;
        }
        if (secondPass || firstPage == dbBitmapId) break;
        secondPass = true;
        lastPage = firstPage + 1;
        i = dbBitmapId;
        offs = 0;
        holeBitSize = 0;
    }
    return extendBitmap(missingPage, missingHole, objBitSize, size, oid, pageAligned);
}

// No free run was found in the existing bitmap: add bitmap pages after the
// end of the covered area, the object first (it may begin in the free tail
// of the old area), the new bitmap pages right after it.
offs_t dbDatabase::extendBitmap(oid_t i, int h, int objBitSize, offs_t size, oid_t oid, bool pageAligned)
{
    if (i >= dbFirstUserId) handleError(errNoMemory, nullptr, int(size));
    const uint32_t usable = dbBitmapSegmentSize - dbPageSize;  // 520192
    uint32_t k = (std::max(extensionQuantum, size) + usable - 1) / usable;
    if (i + k > dbFirstUserId) {
        k = (size + usable - 1) / usable;
        if (i + k > dbFirstUserId) handleError(errNoMemory, nullptr, int(size));
    }
    uint32_t nNew = uint32_t(objBitSize - h);  // quanta of the object in the new area
    uint32_t s = align(nNew, 256);
    uint64_t newBitmapPos = uint64_t(i - dbBitmapId) * dbBitmapSegmentSize + uint64_t(s) * dbAllocationQuantum;
    uint64_t end = newBitmapPos + uint64_t(dbPageSize) * k;
    if (end > MappedFile::maxFileSize) handleError(errNoMemory, nullptr, int(size));
    extend(offs_t(end));
    uint8_t* bits = reinterpret_cast<uint8_t*>(baseAddr + newBitmapPos);
    std::memset(bits, 0, size_t(dbPageSize) * k);
    std::memset(bits, 0xFF, nNew >> 3);
    for (uint32_t b = nNew & ~7u; b < nNew; b++) bits[b >> 3] |= uint8_t(1 << (b & 7));
    std::memset(bits + s / 8, 0xFF, 32 * size_t(k));
    for (uint32_t j = 0; j < k; j++) {
        markDirtyIndexPage(i + j);
        currIndex[i + j] = offs_t(newBitmapPos + j * dbPageSize) + dbPageObject;
    }
    oid_t& cursorPage = pageAligned ? currPBitmapPage : currRBitmapPage;
    size_t& cursorOffs = pageAligned ? currPBitmapOffs : currRBitmapOffs;
    cursorPage = i + nNew / dbBitmapBitsPerPage;
    cursorOffs = 0;
    for (oid_t j = i; j < cursorPage; j++) bitmapPageAvailableSpace[j] = 0;

    offs_t pos = offs_t((uint64_t(i - dbBitmapId) * dbBitmapBitsPerPage - uint64_t(h)) * dbAllocationQuantum);
    if (oid != 0) copyObject(pos, currIndex[oid] & ~dbInternalObjectMarker, size, oid);
    if (h > 0) {
        dbLocation loc{pos, size, reservedChain};
        reservedChain = &loc;
        try {
            setBits(pos, offs_t(h) * dbAllocationQuantum);
        } catch (...) {
            reservedChain = loc.next;
            throw;
        }
        reservedChain = loc.next;
    }
    file.markAsDirty(pos, size);
    return pos;
}

void dbDatabase::deallocate(offs_t pos, offs_t size)
{
    DB_ASSERT(pos != 0 && (pos & (dbAllocationQuantum - 1)) == 0);
    uint32_t quantNo = pos / dbAllocationQuantum;
    int objBitSize = int(align(size, dbAllocationQuantum) / dbAllocationQuantum);
    oid_t pageId = dbBitmapId + quantNo / dbBitmapBitsPerPage;
    uint32_t offs = (quantNo % dbBitmapBitsPerPage) / 8;
    uint32_t bitOffs = quantNo & 7;
    uint8_t* p = reinterpret_cast<uint8_t*>(put(pageId));
    if ((pos & (dbPageSize - 1)) != 0 || size < dbPageSize) {
        if (pageId == currRBitmapPage && offs < currRBitmapOffs) currRBitmapOffs = offs;
    } else {
        if (pageId == currPBitmapPage && offs < currPBitmapOffs) currPBitmapOffs = offs;
    }
    bitmapPageAvailableSpace[pageId] = int32_t(dbMaxFreeSpaceHint);
    if (objBitSize > int(8 - bitOffs)) {
        objBitSize -= 8 - bitOffs;
        p[offs++] &= uint8_t((1 << bitOffs) - 1);
        while (objBitSize >= 8) {
            if (offs == dbPageSize) {
                p = reinterpret_cast<uint8_t*>(put(++pageId));
                bitmapPageAvailableSpace[pageId] = int32_t(dbMaxFreeSpaceHint);
                offs = 0;
            }
            p[offs++] = 0;
            objBitSize -= 8;
        }
        if (objBitSize > 0) {
            if (offs == dbPageSize) {
                p = reinterpret_cast<uint8_t*>(put(++pageId));
                bitmapPageAvailableSpace[pageId] = int32_t(dbMaxFreeSpaceHint);
                offs = 0;
            }
            p[offs] &= uint8_t(~((1 << objBitSize) - 1));
        }
    } else {
        p[offs] &= uint8_t(~(((1 << objBitSize) - 1) << bitOffs));
    }
}

void dbDatabase::cloneBitmap(offs_t pos, offs_t size)
{
    uint32_t quantNo = pos / dbAllocationQuantum;
    uint32_t lastQuant = (pos + align(size, dbAllocationQuantum) - 1) / dbAllocationQuantum;
    for (oid_t page = dbBitmapId + quantNo / dbBitmapBitsPerPage;
         page <= dbBitmapId + lastQuant / dbBitmapBitsPerPage; page++)
        put(page);
}

char* dbDatabase::put(oid_t oid)
{
    offs_t pos = currIndex[oid];
    if (isShared(oid)) {
        markDirtyIndexPage(oid);
        offs_t size = dbInternalObjectSize[pos & dbInternalObjectMarker];
        allocate(size, oid);
        cloneBitmap(pos & ~dbInternalObjectMarker, size);
        pos = currIndex[oid];
    }
    return baseAddr + (pos & ~dbInternalObjectMarker);
}

char* dbDatabase::getRow(oid_t oid)
{
    if (oid == 0 || oid >= currIndexSize || (currIndex[oid] & (dbFreeHandleMarker | dbInternalObjectMarker)) != 0)
        handleError(errNone);
    return baseAddr + currIndex[oid];
}

char* dbDatabase::putRow(oid_t oid)
{
    offs_t pos = currIndex[oid];
    if (isShared(oid)) {
        markDirtyIndexPage(oid);
        offs_t size = reinterpret_cast<dbRecord*>(baseAddr + pos)->size;
        cloneBitmap(pos, size);
        pos = allocate(size, oid);
    }
    return baseAddr + pos;
}

char* dbDatabase::putRow(oid_t oid, size_t newSize)
{
    offs_t pos = currIndex[oid];
    dbRecord* old = reinterpret_cast<dbRecord*>(baseAddr + pos);
    offs_t oldSize = old->size;
    offs_t newPos = pos;
    if (isShared(oid)) {
        markDirtyIndexPage(oid);
        cloneBitmap(pos, oldSize);
        newPos = allocate(offs_t(newSize));
        currIndex[oid] = newPos;
    } else if (newSize != oldSize) {
        newPos = allocate(offs_t(newSize));
        currIndex[oid] = newPos;
        cloneBitmap(pos, oldSize);
        deallocate(pos, oldSize);
    }
    dbRecord* rec = reinterpret_cast<dbRecord*>(baseAddr + newPos);
    old = reinterpret_cast<dbRecord*>(baseAddr + pos);
    if (newPos != pos) {
        rec->next = old->next;
        rec->prev = old->prev;
    }
    rec->size = offs_t(newSize);
    return baseAddr + newPos;
}

oid_t dbDatabase::allocateId(int n)
{
    setDirty();
    int w = 1 - curr;
    dbIndexRoot& root = header->root[w];
    if (n == 1 && root.freeListHead != 0) {
        oid_t oid = root.freeListHead;
        root.freeListHead = currIndex[oid] & ~dbFreeHandleMarker;
        markDirtyIndexPage(oid);
        return oid;
    }
    if (uint64_t(currIndexSize) + uint32_t(n) > root.indexCapacity) {
        uint64_t newCapacity = uint64_t(root.indexCapacity) * 2;
        while (newCapacity < uint64_t(root.indexCapacity) + uint32_t(n)) newCapacity *= 2;
        if (newCapacity * sizeof(offs_t) > MappedFile::maxFileSize) handleError(errNoMemory, nullptr, -1);
        offs_t oldPos = root.indexOffset;
        offs_t oldSize = root.indexCapacity * sizeof(offs_t);
        offs_t newPos = allocate(offs_t(newCapacity * sizeof(offs_t)));
        std::memcpy(baseAddr + newPos, currIndex, currIndexSize * sizeof(offs_t));
        root.indexOffset = newPos;
        root.indexCapacity = uint32_t(newCapacity);
        currIndex = index[w] = reinterpret_cast<uint32_t*>(baseAddr + newPos);
        deallocate(oldPos, oldSize);
    }
    oid_t oid = currIndexSize;
    currIndexSize += uint32_t(n);
    root.indexUsed = currIndexSize;
    return oid;
}

void dbDatabase::freeId(oid_t oid, int n)
{
    int w = 1 - curr;
    oid_t freeList = header->root[w].freeListHead;
    while (--n >= 0) {
        markDirtyIndexPage(oid);
        currIndex[oid] = freeList | dbFreeHandleMarker;
        freeList = oid++;
    }
    header->root[w].freeListHead = freeList;
}

oid_t dbDatabase::allocateObject(dbInternalObject kind)
{
    oid_t oid = allocateId();
    offs_t pos = allocate(dbInternalObjectSize[kind]);
    currIndex[oid] = pos + kind;
    return oid;
}

void dbDatabase::freeObject(oid_t oid)
{
    offs_t pos = currIndex[oid];
    offs_t size = dbInternalObjectSize[pos & dbInternalObjectMarker];
    if (isShared(oid)) {
        cloneBitmap(pos & ~dbInternalObjectMarker, size);
    } else {
        deallocate(pos & ~dbInternalObjectMarker, size);
    }
    freeId(oid);
}

void dbDatabase::extend(offs_t size)
{
    offs_t oldSize = header->size;
    if (size <= oldSize) return;
    uint64_t newSize = size >= uint64_t(oldSize) * 2 ? size : uint64_t(oldSize) * 2;
    if (newSize > MappedFile::maxFileSize) newSize = MappedFile::maxFileSize;
    DB_ASSERT(threadContext.get() != nullptr);
    header->size = offs_t(newSize);
    {
        GlobalCriticalSectionLock guard(cs);
        mappingGeneration = ++monitor->mappingGeneration;
    }
    std::string mappingName = sharedKey + "." + std::to_string(mappingGeneration);
    int rc = file.setSize(size_t(newSize), mappingName.c_str(), true);
    if (rc != 0) {
        header->size = oldSize;
        handleError(errFile, "Failed to extend file", rc);
    }
    // The view is mapped at a fixed base: no pointer moves.
}

// ---------------------------------------------------------------- rows

oid_t dbDatabase::allocateRow(oid_t tableId, size_t size)
{
    oid_t oid = allocateId();
    offs_t pos = allocate(offs_t(size));
    currIndex[oid] = pos;
    char* table = putRow(tableId);
    oid_t last = field32(table, tableLastRowOffs);
    dbRecord* rec = reinterpret_cast<dbRecord*>(baseAddr + pos);
    rec->size = offs_t(size);
    rec->next = 0;
    rec->prev = last;
    if (last != 0) {
        // Written in place: restore and rollback cut this link off again.
        reinterpret_cast<dbRecord*>(baseAddr + currIndex[last])->next = oid;
    } else {
        field32(table, tableFirstRowOffs) = oid;
    }
    field32(table, tableLastRowOffs) = oid;
    field32(table, tableNRowsOffs) += 1;
    return oid;
}

void dbDatabase::freeRow(oid_t tableId, oid_t oid)
{
    char* table = putRow(tableId);
    field32(table, tableNRowsOffs) -= 1;
    dbRecord* rec = reinterpret_cast<dbRecord*>(getRow(oid));
    offs_t size = rec->size;
    oid_t next = rec->next, prev = rec->prev;
    if (prev == 0) field32(table, tableFirstRowOffs) = next;
    if (next == 0) field32(table, tableLastRowOffs) = prev;
    if (prev != 0) reinterpret_cast<dbRecord*>(putRow(prev))->next = next;
    if (next != 0) reinterpret_cast<dbRecord*>(putRow(next))->prev = prev;
    offs_t pos = currIndex[oid];
    if (isShared(oid)) {
        cloneBitmap(pos, size);
    } else {
        deallocate(pos, size);
    }
    freeId(oid);
}

// ---------------------------------------------------------------- transactions


namespace {
bool writerGranted(dbMonitor* m) { return m->nWriters == 1 && m->nReaders == 0; }
bool readerGranted(dbMonitor* m) { return m->nWriters == 0 && m->nReaders >= 1; }
}  // namespace

// Waits until the releasing thread has handed the lock over.
void dbDatabase::waitLock(dbSemaphore& sem, bool (*granted)(dbMonitor*))
{
    for (;;) {
        sem.wait(waitLockTimeout);
        GlobalCriticalSectionLock guard(cs);
        if (granted(monitor)) return;
    }
}

bool dbDatabase::beginTransaction(dbLockType type)
{
    dbDatabaseThreadContext* ctx = threadContext.get();
    DB_ASSERT(ctx != nullptr);
    if (type == dbExclusiveLock && accessType == dbReadOnly) handleError(errNone);
    if (type == dbExclusiveLock) {
        if (!ctx->writeAccess) {
            cs.enter();
            if (ctx->readAccess) {
                DB_ASSERT(monitor->nWriters == 0);
                if (monitor->nReaders == 1) {
                    monitor->nWriters = 1;
                    monitor->nReaders = 0;
                    cs.leave();
                } else {
                    if (monitor->waitForUpgrade) {
                        cs.leave();
                        handleError(errUpgradeDeadlock);
                    }
                    monitor->waitForUpgrade = 1;
                    monitor->nQueuedWriters += 1;
                    cs.leave();
                    waitLock(upgradeSem, writerGranted);
                }
            } else if (monitor->nWriters != 0 || monitor->nReaders != 0) {
                monitor->nQueuedWriters += 1;
                cs.leave();
                waitLock(writeSem, writerGranted);
            } else {
                monitor->nWriters = 1;
                cs.leave();
            }
            {
                GlobalCriticalSectionLock guard(cs);
                monitor->writerThread = ctx->threadId;
            }
            ctx->writeAccess = 1;
        }
    } else if (!ctx->readAccess && !ctx->writeAccess) {
        cs.enter();
        if (monitor->nWriters + monitor->nQueuedWriters != 0) {
            monitor->nQueuedReaders += 1;
            cs.leave();
            waitLock(readSem, readerGranted);
        } else {
            monitor->nReaders += 1;
            cs.leave();
        }
        ctx->readAccess = 1;
    }
    if (!refreshMapping()) {
        endTransaction(ctx);
        return false;
    }
    GlobalCriticalSectionLock guard(cs);
    updateIndexPointers();
    curr = monitor->curr;
    int w = 1 - curr;
    // A read-only user never writes, so it reads the committed index itself
    // (the working one may hold what a crashed writer left).
    currIndex = accessType == dbReadOnly ? index[curr] : index[w];
    currIndexSize = header->root[accessType == dbReadOnly ? curr : w].indexUsed;
    committedIndexSize = header->root[curr].indexUsed;
    return true;
}

// Maps the file anew when another process has grown it (or when this
// process has not mapped it yet).
bool dbDatabase::refreshMapping()
{
    uint32_t generation;
    {
        GlobalCriticalSectionLock guard(cs);
        generation = monitor->mappingGeneration;
    }
    if (generation == mappingGeneration) return true;
    std::string mappingName = sharedKey + "." + std::to_string(generation);
    if (file.isOpen()) {
        int rc = file.setSize(header->size, mappingName.c_str(), false);
        if (rc != 0) {
            handleError(errFile, "Failed to reopen database file", rc);
            return false;
        }
    } else {
        int rc = file.open(fileName.c_str(), mappingName.c_str(), accessType == dbReadOnly, 0);
        if (rc != 0) {
            handleError(errOpen, "Failed to open database file");
            return false;
        }
        baseAddr = file.getAddr();
        header = reinterpret_cast<dbHeader*>(baseAddr);
        if (file.getSize() < header->size) {
            // The creator grew the file after it was mapped here.
            rc = file.setSize(header->size, mappingName.c_str(), false);
            if (rc != 0) {
                handleError(errOpen, "Failed to open database file");
                return false;
            }
        }
    }
    mappingGeneration = generation;
    DB_ASSERT(file.getSize() == header->size);
    return true;
}

void dbDatabase::releaseExclusiveLock()
{
    // Called under the critical section by the holder of the exclusive lock.
    if (monitor->nQueuedWriters != 0) {
        monitor->nQueuedWriters -= 1;
        monitor->nWriters = 1;
        writeSem.signal(1);
    } else if (monitor->nQueuedReaders != 0) {
        monitor->nReaders = monitor->nQueuedReaders;
        monitor->nQueuedReaders = 0;
        readSem.signal(unsigned(monitor->nReaders));
    }
}

void dbDatabase::endTransaction(dbDatabaseThreadContext* ctx)
{
    while (!ctx->cursors.isEmpty()) static_cast<dbAnyCursor*>(ctx->cursors.next)->reset();
    if (ctx->writeAccess) {
        GlobalCriticalSectionLock guard(cs);
        monitor->nWriters -= 1;
        monitor->writerThread = 0;
        DB_ASSERT(monitor->nWriters == 0 && !monitor->waitForUpgrade);
        releaseExclusiveLock();
    } else if (ctx->readAccess) {
        GlobalCriticalSectionLock guard(cs);
        monitor->nReaders -= 1;
        if (monitor->nReaders == 1 && monitor->waitForUpgrade) {
            monitor->waitForUpgrade = 0;
            monitor->nQueuedWriters -= 1;
            monitor->nWriters = 1;
            monitor->nReaders = 0;
            upgradeSem.signal(1);
        } else if (monitor->nReaders == 0 && monitor->nQueuedWriters != 0) {
            monitor->nQueuedWriters -= 1;
            monitor->nWriters = 1;
            writeSem.signal(1);
        }
    }
    ctx->readAccess = ctx->writeAccess = 0;
}

void dbDatabase::commit()
{
    dbDatabaseThreadContext* ctx = threadContext.get();
    if (ctx == nullptr) return;
    commit(ctx);
}

void dbDatabase::commit(dbDatabaseThreadContext* ctx)
{
    bool write;
    {
        GlobalCriticalSectionLock guard(cs);
        write = modified && !monitor->committing && ctx->writeAccess;
    }
    if (write) {
        writeCommit(ctx);
    } else if (ctx->readAccess || ctx->writeAccess) {
        endTransaction(ctx);
    }
}

void dbDatabase::writeCommit(dbDatabaseThreadContext* ctx)
{
    int c = curr;
    int w = 1 - c;
    dbIndexRoot* roots = header->root;
    if (roots[c].indexCapacity < roots[w].indexCapacity) {
        // The working index grew: give it a shadow area of its size.
        offs_t newShadow = allocate(roots[w].indexCapacity * sizeof(offs_t));
        roots[w].shadowIndexOffset = newShadow;
        roots[w].shadowIndexCapacity = roots[w].indexCapacity;
        cloneBitmap(roots[c].indexOffset, roots[c].indexCapacity * sizeof(offs_t));
        deallocate(roots[c].indexOffset, roots[c].indexCapacity * sizeof(offs_t));
    }
    {
        GlobalCriticalSectionLock guard(cs);
        DB_ASSERT(ctx->writeAccess);
        monitor->committing = 1;
        monitor->nWriters -= 1;
        monitor->nReaders += 1;
        monitor->writerThread = 0;
        monitor->nReaders += monitor->nQueuedReaders;
        readSem.signal(unsigned(monitor->nQueuedReaders));
        monitor->nQueuedReaders = 0;
        ctx->writeAccess = 0;
        ctx->readAccess = 1;
    }

    // Free the space of objects the transaction replaced.
    uint32_t* committed = index[c];
    uint32_t* working = index[w];
    uint32_t committedSize = committedIndexSize;
    uint32_t* dirtyMap = monitor->dirtyIndexPages;
    auto freeReplaced = [&](oid_t from, oid_t to) {
        for (oid_t i = from; i < to; i++) {
            offs_t old = committed[i];
            if (old != working[i] && !(old & dbFreeHandleMarker)) {
                offs_t kind = old & dbInternalObjectMarker;
                offs_t pos = old & ~dbInternalObjectMarker;
                offs_t size = kind == dbRecordObject ? reinterpret_cast<dbRecord*>(baseAddr + pos)->size
                                                     : dbInternalObjectSize[kind];
                deallocate(pos, size);
            }
        }
    };
    uint32_t nPages = (committedSize + dbHandlesPerPage - 1) / dbHandlesPerPage;
    for (uint32_t p = 0; p < nPages; p++) {
        bool lastPartial = p == nPages - 1 && committedSize % dbHandlesPerPage != 0;
        if ((dirtyMap[p >> 5] & (1u << (p & 31))) || lastPartial) {
            freeReplaced(p * dbHandlesPerPage, std::min(committedSize, (p + 1) * dbHandlesPerPage));
        }
    }
    file.flush();

    for (;;) {
        {
            GlobalCriticalSectionLock guard(cs);
            if (monitor->backupCount == 0) break;
        }
        backupCompletedEvent.wait(INFINITE_WAIT);
    }
    {
        GlobalCriticalSectionLock guard(cs);
        header->curr = uint32_t(w);
        file.flush(0, dbPageSize);  // the commit point
    }

    // The former committed root becomes the working root.
    roots[c].indexUsed = currIndexSize;
    roots[c].freeListHead = roots[w].freeListHead;
    if (roots[c].indexCapacity == roots[w].indexCapacity) {
        for (uint32_t p = 0; p < nPages; p++) {
            if (dirtyMap[p >> 5] & (1u << (p & 31))) {
                std::memcpy(committed + p * dbHandlesPerPage, working + p * dbHandlesPerPage, dbPageSize);
                dirtyMap[p >> 5] &= ~(1u << (p & 31));
            }
        }
        if (currIndexSize > committedSize) {
            std::memcpy(committed + committedSize, working + committedSize,
                        (currIndexSize - committedSize) * sizeof(offs_t));
            for (uint32_t p = committedSize / dbHandlesPerPage; p * dbHandlesPerPage < currIndexSize; p++)
                dirtyMap[p >> 5] &= ~(1u << (p & 31));
        }
    } else {
        roots[c].indexOffset = roots[w].shadowIndexOffset;
        roots[c].indexCapacity = roots[w].shadowIndexCapacity;
        roots[c].shadowIndexOffset = roots[w].indexOffset;
        roots[c].shadowIndexCapacity = roots[w].indexCapacity;
        updateIndexPointers();
        std::memcpy(index[c], index[w], currIndexSize * sizeof(offs_t));
        std::memset(dirtyMap, 0, sizeof monitor->dirtyIndexPages);
    }
    {
        GlobalCriticalSectionLock guard(cs);
        modified = false;
        monitor->committing = 0;
        monitor->curr = w;
        monitor->transactionStamp += 1;
    }
    endTransaction(ctx);
}

void dbDatabase::rollback()
{
    dbDatabaseThreadContext* ctx = threadContext.get();
    if (ctx == nullptr) return;
    if (modified && ctx->writeAccess) {
        int c = curr;
        int w = 1 - c;
        dbIndexRoot* roots = header->root;
        currRBitmapPage = currPBitmapPage = dbBitmapId;
        currRBitmapOffs = currPBitmapOffs = 0;
        for (uint32_t i = 0; i < dbFirstUserId; i++) bitmapPageAvailableSpace[i] = int32_t(dbMaxFreeSpaceHint);
        uint32_t* dirtyMap = monitor->dirtyIndexPages;
        if (roots[w].indexOffset == roots[c].shadowIndexOffset) {
            uint32_t nPages = (committedIndexSize + dbHandlesPerPage - 1) / dbHandlesPerPage;
            for (uint32_t p = 0; p < nPages; p++) {
                if (dirtyMap[p >> 5] & (1u << (p & 31)))
                    std::memcpy(index[w] + p * dbHandlesPerPage, index[c] + p * dbHandlesPerPage, dbPageSize);
            }
        } else {
            uint32_t bytes = align(committedIndexSize, dbHandlesPerPage) * sizeof(offs_t);
            std::memcpy(baseAddr + roots[c].shadowIndexOffset, index[c], bytes);
        }
        roots[w].indexCapacity = roots[c].shadowIndexCapacity;
        roots[w].indexUsed = roots[c].indexUsed;
        roots[w].freeListHead = roots[c].freeListHead;
        roots[w].indexOffset = roots[c].shadowIndexOffset;
        updateIndexPointers();
        currIndex = index[w];
        currIndexSize = roots[w].indexUsed;
        std::memset(dirtyMap, 0, sizeof monitor->dirtyIndexPages);
        modified = false;
        {
            GlobalCriticalSectionLock guard(cs);
            monitor->transactionStamp += 1;
        }
        restoreTablesConsistency();
    }
    bool openCountNonZero;
    {
        GlobalCriticalSectionLock guard(cs);
        openCountNonZero = monitor->openCount != 0;
    }
    if (openCountNonZero || opened) endTransaction(ctx);
}

// ---------------------------------------------------------------- record operations

void dbDatabase::selectAll(dbAnyCursor* cursor)
{
    DB_ASSERT(opened);
    beginTransaction(cursor->type == dbCursorForUpdate ? dbExclusiveLock : dbSharedLock);
    const auto* table = reinterpret_cast<const dbStoredTable*>(getRow(cursor->table->tableId));
    cursor->firstRowId = table->firstRow;
    cursor->lastRowId = table->lastRow;
    cursor->selection.rowCount = table->nRows;
    cursor->wholeTable = true;
    cursor->registerCursor();
}

namespace {
struct AppRefArray {
    size_t count;
    const oid_t* data;
};
// Looks for `value` in `data` from `from` on, then from the start.
bool findElement(const oid_t* data, size_t count, oid_t value, size_t& from)
{
    for (size_t i = from; i < count; i++)
        if (data[i] == value) {
            from = i + 1;
            return true;
        }
    for (size_t i = 0; i < from && i < count; i++)
        if (data[i] == value) {
            from = i + 1;
            return true;
        }
    return false;
}
}  // namespace

oid_t dbDatabase::insertRecord(dbTableDescriptor* table, const byte* record)
{
    DB_ASSERT(opened);
    beginTransaction(dbExclusiveLock);
    modified = true;
    size_t size = table->columns->storedSizeOf(record, size_t(table->fixedSize));
    oid_t oid = allocateRow(table->tableId, size);
    byte* row = reinterpret_cast<byte*>(getRow(oid));
    size_t end = table->columns->store(row, record, size_t(table->fixedSize));
    DB_ASSERT(end == size);
    for (dbFieldDescriptor* fd = table->inverseFields; fd != nullptr; fd = fd->nextInverse) {
        if (fd->inverseField == nullptr) continue;
        if (fd->type == dbField::tpArray) {
            const auto* arr = reinterpret_cast<const AppRefArray*>(record + fd->appOffset);
            for (size_t i = 0; i < arr->count; i++)
                if (arr->data[i] != 0) insertInverseReference(fd, oid, arr->data[i]);
        } else {
            oid_t target;
            std::memcpy(&target, record + fd->appOffset, sizeof target);
            if (target != 0) insertInverseReference(fd, oid, target);
        }
    }
    uint32_t nRows = reinterpret_cast<const dbStoredTable*>(getRow(table->tableId))->nRows;
    for (dbFieldDescriptor* fd = table->hashedFields; fd != nullptr; fd = fd->nextHashed)
        dbHashIndex::insert(this, fd->hashTable, oid, fd->type, fd->storedSize, fd->storedOffset, nRows);
    for (dbFieldDescriptor* fd = table->indexedFields; fd != nullptr; fd = fd->nextIndexed)
        dbTtree::insert(this, fd->tTree, oid, fd->type, fd->storedSize, fd->comparator, fd->storedOffset);
    return oid;
}


void dbDatabase::updateRecord(oid_t oid, dbTableDescriptor* table, const byte* record)
{
    DB_ASSERT(opened);
    beginTransaction(dbExclusiveLock);
    size_t newSize = table->columns->storedSizeOf(record, size_t(table->fixedSize));
    const byte* old = reinterpret_cast<const byte*>(getRow(oid));
    if (table->hashedFields != nullptr || table->indexedFields != nullptr) table->columns->markChanged(old, record);

    if (table->inverseFields != nullptr) {
        updatedRecordId = oid;
        for (dbFieldDescriptor* fd = table->inverseFields; fd != nullptr; fd = fd->nextInverse) {
            if (fd->inverseField == nullptr) continue;
            old = reinterpret_cast<const byte*>(getRow(oid));
            if (fd->type == dbField::tpArray) {
                uint32_t oldCount = field32(const_cast<char*>(reinterpret_cast<const char*>(old)), fd->storedOffset);
                std::vector<oid_t> oldItems(oldCount);
                std::memcpy(oldItems.data(), old + field32(const_cast<char*>(reinterpret_cast<const char*>(old)), fd->storedOffset + 4),
                            oldCount * sizeof(oid_t));
                const auto* arr = reinterpret_cast<const AppRefArray*>(record + fd->appOffset);
                std::vector<oid_t> newItems(arr->data, arr->data + arr->count);
                size_t from = 0;
                for (oid_t item : oldItems)
                    if (item != 0 && !findElement(newItems.data(), newItems.size(), item, from))
                        removeInverseReference(fd, oid, item);
                from = 0;
                for (oid_t item : newItems)
                    if (item != 0 && !findElement(oldItems.data(), oldItems.size(), item, from))
                        insertInverseReference(fd, oid, item);
            } else {
                oid_t before, after;
                std::memcpy(&before, old + fd->storedOffset, sizeof before);
                std::memcpy(&after, record + fd->appOffset, sizeof after);
                if (before != after) {
                    if (before != 0) removeInverseReference(fd, oid, before);
                    if (after != 0) insertInverseReference(fd, oid, after);
                }
            }
        }
        updatedRecordId = 0;
    }

    for (dbFieldDescriptor* fd = table->hashedFields; fd != nullptr; fd = fd->nextHashed)
        if (fd->attr & dbFieldDescriptor::ValueChanged)
            dbHashIndex::remove(this, fd->hashTable, oid, fd->type, fd->storedSize, fd->storedOffset);
    for (dbFieldDescriptor* fd = table->indexedFields; fd != nullptr; fd = fd->nextIndexed)
        if (fd->attr & dbFieldDescriptor::ValueChanged)
            dbTtree::remove(this, fd->tTree, oid, fd->type, fd->storedSize, fd->comparator, fd->storedOffset);

    old = reinterpret_cast<const byte*>(getRow(oid));
    byte* target = reinterpret_cast<byte*>(putRow(oid, newSize));
    if (target == old) {
        std::vector<byte> temp(newSize);
        table->columns->store(temp.data(), record, size_t(table->fixedSize));
        if (newSize > sizeof(dbRecord))
            std::memcpy(target + sizeof(dbRecord), temp.data() + sizeof(dbRecord), newSize - sizeof(dbRecord));
    } else {
        table->columns->store(target, record, size_t(table->fixedSize));
    }
    modified = true;
    for (dbFieldDescriptor* fd = table->hashedFields; fd != nullptr; fd = fd->nextHashed)
        if (fd->attr & dbFieldDescriptor::ValueChanged)
            dbHashIndex::insert(this, fd->hashTable, oid, fd->type, fd->storedSize, fd->storedOffset, 0);
    for (dbFieldDescriptor* fd = table->indexedFields; fd != nullptr; fd = fd->nextIndexed)
        if (fd->attr & dbFieldDescriptor::ValueChanged)
            dbTtree::insert(this, fd->tTree, oid, fd->type, fd->storedSize, fd->comparator, fd->storedOffset);
    for (dbFieldDescriptor* f = table->firstField; f != nullptr; f = f->nextInTable)
        f->attr &= ~unsigned(dbFieldDescriptor::ValueChanged);
    notifyCursors(oid, false);
}

void dbDatabase::removeRecord(dbTableDescriptor* table, oid_t oid)
{
    DB_ASSERT(opened);
    beginTransaction(dbExclusiveLock);
    modified = true;
    removeInverseReferences(table, oid);
    for (dbFieldDescriptor* fd = table->hashedFields; fd != nullptr; fd = fd->nextHashed)
        dbHashIndex::remove(this, fd->hashTable, oid, fd->type, fd->storedSize, fd->storedOffset);
    for (dbFieldDescriptor* fd = table->indexedFields; fd != nullptr; fd = fd->nextIndexed)
        dbTtree::remove(this, fd->tTree, oid, fd->type, fd->storedSize, fd->comparator, fd->storedOffset);
    freeRow(table->tableId, oid);
    notifyCursors(oid, true);
}

void dbDatabase::removeAllRecords(dbTableDescriptor* table)
{
    DB_ASSERT(opened);
    beginTransaction(dbExclusiveLock);
    modified = true;
    auto* stored = reinterpret_cast<dbStoredTable*>(putRow(table->tableId));
    oid_t row = stored->firstRow;
    stored->firstRow = stored->lastRow = 0;
    stored->nRows = 0;
    while (row != 0) {
        oid_t next = reinterpret_cast<const dbRecord*>(getRow(row))->next;
        removeInverseReferences(table, row);
        offs_t pos = currIndex[row];
        offs_t size = reinterpret_cast<const dbRecord*>(baseAddr + pos)->size;
        if (isShared(row))
            cloneBitmap(pos, size);
        else
            deallocate(pos, size);
        freeId(row);
        notifyCursors(row, true);
        row = next;
    }
    for (dbFieldDescriptor* fd = table->hashedFields; fd != nullptr; fd = fd->nextHashed)
        dbHashIndex::purge(this, fd->hashTable);
    for (dbFieldDescriptor* fd = table->indexedFields; fd != nullptr; fd = fd->nextIndexed)
        dbTtree::purge(this, fd->tTree);
}

void dbDatabase::notifyCursors(oid_t oid, bool removed)
{
    dbDatabaseThreadContext* ctx = threadContext.get();
    if (ctx == nullptr) return;
    for (dbL2List* p = ctx->cursors.next; p != &ctx->cursors; p = p->next) {
        auto* cursor = static_cast<dbAnyCursor*>(p);
        if (cursor->currentId != oid) continue;
        if (removed) {
            cursor->currentId = 0;
        } else if (cursor->record != nullptr && !cursor->ownChange) {
            cursor->fetch();
        }
    }
}

void dbDatabase::removeInverseReferences(dbTableDescriptor* table, oid_t oid)
{
    if (table->inverseFields == nullptr) return;
    dbVisitedObject visited{oid, visitedChain};
    visitedChain = &visited;
    try {
        for (dbFieldDescriptor* fd = table->inverseFields; fd != nullptr; fd = fd->nextInverse) {
            if (fd->inverseField == nullptr) continue;
            char* row = getRow(oid);
            if (fd->type == dbField::tpArray) {
                uint32_t n = field32(row, fd->storedOffset);
                uint32_t offs = field32(row, fd->storedOffset + 4);
                std::vector<oid_t> items(n);
                std::memcpy(items.data(), row + offs, n * sizeof(oid_t));
                for (size_t i = n; i-- > 0;)
                    if (items[i] != 0) removeInverseReference(fd, oid, items[i]);
            } else {
                oid_t target = field32(row, fd->storedOffset);
                if (target != 0) removeInverseReference(fd, oid, target);
            }
        }
    } catch (...) {
        visitedChain = visited.next;
        throw;
    }
    visitedChain = visited.next;
}

void dbDatabase::removeInverseReference(dbFieldDescriptor* fd, oid_t owner, oid_t target)
{
    if (owner == target || target == updatedRecordId || isFreeId(target) ||
        (currIndex[target] & dbInternalObjectMarker) != 0)
        return;
    for (dbVisitedObject* v = visitedChain; v != nullptr; v = v->next)
        if (v->oid == target) return;
    dbFieldDescriptor* inverse = fd->inverseField;
    char* row = putRow(target);
    if (inverse->type == dbField::tpArray) {
        uint32_t n = field32(row, inverse->storedOffset);
        auto* items = reinterpret_cast<oid_t*>(row + field32(row, inverse->storedOffset + 4));
        for (uint32_t i = n; i-- > 0;) {
            if (items[i] == owner) {
                std::memmove(&items[i], &items[i + 1], (n - i - 1) * sizeof(oid_t));
                field32(row, inverse->storedOffset) = n - 1;
                break;
            }
        }
    } else if (field32(row, inverse->storedOffset) == owner) {
        field32(row, inverse->storedOffset) = 0;
    }
    notifyCursors(target, false);
}

void dbDatabase::insertInverseReference(dbFieldDescriptor* fd, oid_t owner, oid_t target)
{
    if (owner == target) return;
    dbFieldDescriptor* inverse = fd->inverseField;
    if (isFreeId(target) || (currIndex[target] & dbInternalObjectMarker) != 0) return;
    if (inverse->type != dbField::tpArray) {
        DB_ASSERT(inverse->type == dbField::tpReference);
        field32(putRow(target), inverse->storedOffset) = owner;
        notifyCursors(target, false);
        return;
    }
    dbTableDescriptor* targetTable = inverse->ownerTable;
    const char* row = getRow(target);
    uint32_t rowSize = reinterpret_cast<const dbRecord*>(row)->size;
    uint32_t n = field32(const_cast<char*>(row), inverse->storedOffset);
    uint32_t offs = field32(const_cast<char*>(row), inverse->storedOffset + 4);
    size_t otherSize = size_t(targetTable->fixedSize);
    targetTable->columns->varyingExtent(inverse, reinterpret_cast<const byte*>(row), otherSize);
    uint32_t end = uint32_t((otherSize + 3) & ~size_t(3));
    if (offs == end && end + 4 * (n + 1) <= rowSize) {
        char* dst = putRow(target);
        field32(dst, end + 4 * n) = owner;
        field32(dst, inverse->storedOffset) = n + 1;
    } else {
        uint32_t newSize = rowSize >= end + 4 * (n + 1) ? rowSize : end + 8 * (n + 1);
        std::vector<byte> copy(reinterpret_cast<const byte*>(row), reinterpret_cast<const byte*>(row) + rowSize);
        byte* dst = reinterpret_cast<byte*>(putRow(target, newSize));
        size_t pos = targetTable->columns->relocatingCopy(inverse, dst, copy.data(), size_t(targetTable->fixedSize));
        pos = (pos + 3) & ~size_t(3);
        std::memcpy(dst + pos, copy.data() + offs, n * sizeof(oid_t));
        std::memcpy(dst + pos + n * sizeof(oid_t), &owner, sizeof owner);
        field32(reinterpret_cast<char*>(dst), inverse->storedOffset) = n + 1;
        field32(reinterpret_cast<char*>(dst), inverse->storedOffset + 4) = uint32_t(pos);
        if (newSize > pos + (n + 1) * sizeof(oid_t))
            std::memset(dst + pos + (n + 1) * sizeof(oid_t), 0, newSize - pos - (n + 1) * sizeof(oid_t));
    }
    notifyCursors(target, false);
}
