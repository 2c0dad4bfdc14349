#pragma once
// A database with the allocator's inner state open to tests, and helpers
// that store and read plain records without a table.

#include <string>

#include "engine286/database.h"
#include "engine286/dbcheck.h"

class TestDatabase : public dbDatabase {
public:
    using dbDatabase::dbDatabase;
    using dbDatabase::bitmapPageAvailableSpace;
    using dbDatabase::committedIndexSize;
    using dbDatabase::currIndexSize;
    using dbDatabase::currPBitmapOffs;
    using dbDatabase::currPBitmapPage;
    using dbDatabase::currRBitmapOffs;
    using dbDatabase::currRBitmapPage;
    using dbDatabase::isShared;

    // A record of `size` bytes (at least 16) whose words after the first hold `value`.
    oid_t storeRecord(uint32_t size, uint32_t value);
    // Rewrites a record with a new size and value (shadow-copied when committed).
    void rewriteRecord(oid_t oid, uint32_t size, uint32_t value);
    void freeRecord(oid_t oid);
    uint32_t recordValue(oid_t oid) { return reinterpret_cast<uint32_t*>(getRow(oid))[1]; }
    bool bitSet(offs_t pos);
    // Checks the whole mapped file.
    dbCheckReport check() { return checkDatabaseImage(getBase(), getHeader()->size); }
};

std::string describe(const dbCheckReport& report);
