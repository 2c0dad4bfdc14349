#pragma once
// Hash index: a chained hash table stored as internal objects, finding the
// records whose field equals a key.

#include <cstdint>

#include "engine286/search.h"

struct dbHashTable {
    uint32_t mask;  // the modulus: 2^k - 1, at least 16383
    uint32_t used;  // growth counter
    oid_t page;     // first bucket page
};

struct dbHashTableItem {
    oid_t next;
    oid_t record;
    uint32_t hash;
};

class dbHashIndex {
public:
    static oid_t create(dbDatabase* db, uint32_t nRows);
    // nRows 0: the table never grows.
    static void insert(dbDatabase* db, oid_t hashId, oid_t record, int type, int sizeofType, int offs, uint32_t nRows);
    static void remove(dbDatabase* db, oid_t hashId, oid_t record, int type, int sizeofType, int offs);
    static void find(dbDatabase* db, oid_t hashId, dbSearchContext& sc);
    static void purge(dbDatabase* db, oid_t hashId);
    static void drop(dbDatabase* db, oid_t hashId);

    static uint32_t hashCode(const byte* key, size_t length);
};
