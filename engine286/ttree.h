#pragma once
// T-tree index: a height-balanced binary tree whose 512-byte nodes hold up
// to 125 record ids in key order; keys are read from the records.

#include <cstdint>

#include "engine286/search.h"

struct dbTtreeNode {
    static constexpr int pageSize = 125;
    oid_t left;
    oid_t right;
    int8_t balance;
    uint8_t pad;
    uint16_t nItems;
    oid_t item[pageSize];
};
static_assert(sizeof(dbTtreeNode) == 512);

class dbTtree {
public:
    static oid_t create(dbDatabase* db);
    static void insert(dbDatabase* db, oid_t treeId, oid_t record, int type, int sizeofType, dbComparator comparator,
                       int offs);
    static void remove(dbDatabase* db, oid_t treeId, oid_t record, int type, int sizeofType, dbComparator comparator,
                       int offs);
    // Adds the records in the key range, in ascending key order.
    static void find(dbDatabase* db, oid_t treeId, dbSearchContext& sc);
    // Adds every record in ascending / descending key order; `sc` (may be
    // null) supplies an extra condition.
    static void traverseForward(dbDatabase* db, oid_t treeId, dbAnyCursor* cursor, dbSearchContext* sc = nullptr);
    static void traverseBackward(dbDatabase* db, oid_t treeId, dbAnyCursor* cursor, dbSearchContext* sc = nullptr);
    static void purge(dbDatabase* db, oid_t treeId);
    static void drop(dbDatabase* db, oid_t treeId);
};
