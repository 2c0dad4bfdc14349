#include "vorda/vorda_cursor.h"

size_t vordaAnyCursor::select(const char* condition)
{
    rowNumber = 0;
    return dbAnyCursor::select(condition);
}

size_t vordaAnyCursor::select(dbQuery& query)
{
    rowNumber = 0;
    return dbAnyCursor::select(query, defaultType);
}

bool vordaAnyCursor::first()
{
    rowNumber = 0;
    return dbAnyCursor::first();
}

bool vordaAnyCursor::nextRow()
{
    if (!dbAnyCursor::next()) return false;
    rowNumber += 1;
    return true;
}

bool vordaAnyCursor::prev()
{
    if (!dbAnyCursor::prev()) return false;
    rowNumber -= 1;
    return true;
}

bool vordaAnyCursor::atRow(size_t k)
{
    if (wholeTable) {
        if (currentId == 0) return false;
        while (size_t(rowNumber) < k)
            if (!nextRow()) return false;
        while (size_t(rowNumber) > k)
            if (!prev()) return false;
        return true;
    }
    if (k >= selection.rowCount) {
        selection.curr = nullptr;
        return false;
    }
    size_t rest = k;
    for (dbSelection::segment* seg = selection.first; seg != nullptr; seg = seg->next) {
        if (rest < size_t(seg->count)) {
            selection.curr = seg;
            selection.position = int(rest);
            currentId = seg->rows[rest];
            rowNumber = int(k);
            if (fetchOnMove) fetch();
            return true;
        }
        rest -= size_t(seg->count);
    }
    selection.curr = nullptr;
    return false;
}

bool vordaAnyCursor::atReference(oid_t oid)
{
    dbDatabase* database = db != nullptr ? db : table->db;
    if (database != nullptr && database != DETACHED_TABLE) {
        database->beginTransaction(type == dbCursorForUpdate ? dbDatabase::dbExclusiveLock : dbDatabase::dbSharedLock);
        if (oid == 0 || database->isFreeId(oid) || (database->getPos(oid) & dbInternalObjectMarker) != 0) return false;
    }
    dbAnyCursor::at(oid);
    rowNumber = 0;
    return true;
}

bool vordaAnyCursor::find(oid_t oid)
{
    bool saved = fetchOnMove;
    fetchOnMove = false;
    bool found = false;
    if (first()) {
        do {
            if (currentId == oid) {
                found = true;
                break;
            }
        } while (nextRow());
    }
    fetchOnMove = saved;
    if (found) fetch();
    return found;
}
