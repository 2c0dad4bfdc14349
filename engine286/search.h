#pragma once
// A search request against an index: the key range, the key's type, the
// cursor that receives the records, and an optional extra condition.

#include <cstddef>

#include "engine286/class.h"
#include "engine286/database.h"

class dbAnyCursor;
struct dbExprNode;

struct dbSearchContext {
    dbDatabase* db = nullptr;
    dbExprNode* condition = nullptr;
    dbAnyCursor* cursor = nullptr;
    const char* firstKey = nullptr;  // null: no lower bound
    int firstKeyInclusion = 1;       // 1 inclusive, 0 exclusive
    const char* lastKey = nullptr;   // null: no upper bound
    int lastKeyInclusion = 1;
    int type = 0;                    // field type code of the key
    int sizeofType = 0;
    dbComparator comparator = nullptr;
    int offs = 0;                    // the field's stored offset
    int probes = 0;
    // Tests the condition on a record; set by the query side together with
    // `condition`.
    bool (*holds)(dbSearchContext& sc, oid_t record) = nullptr;
    const void* extra = nullptr;  // whatever `holds` needs besides the condition

    bool accepts(oid_t record) { return condition == nullptr || holds == nullptr || holds(*this, record); }
};

// Key comparison of index searches: the sign of (key - the key stored in
// the record at `offs`). For strings `key` is the text itself; for other
// types it points at the key's bytes.
int dbCompareKey(const char* key, const byte* record, int type, int sizeofType, dbComparator comparator, int offs);
