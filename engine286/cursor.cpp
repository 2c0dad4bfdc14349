#include "engine286/cursor.h"

#include <cstring>

// ---------------------------------------------------------------- selection

void dbSelection::add(oid_t oid)
{
    if (last == nullptr || last->count == segmentSize) {
        auto* seg = new segment;
        seg->prev = last;
        seg->next = nullptr;
        seg->count = 0;
        if (last != nullptr)
            last->next = seg;
        else
            first = seg;
        last = seg;
    }
    last->rows[last->count++] = oid;
    rowCount += 1;
}

void dbSelection::reset()
{
    segment* seg = first;
    while (seg != nullptr) {
        segment* next = seg->next;
        delete seg;
        seg = next;
    }
    first = last = curr = nullptr;
    rowCount = 0;
    position = 0;
}

void dbSelection::append(dbSelection& other)
{
    for (segment* seg = other.first; seg != nullptr; seg = seg->next)
        for (int i = 0; i < seg->count; i++) add(seg->rows[i]);
    other.reset();
}

void dbSelection::removeCurrent(oid_t& currentId)
{
    segment* seg = curr;
    rowCount -= 1;
    if (seg->count == 1) {
        segment* next = seg->next;
        segment* prev = seg->prev;
        if (prev != nullptr) prev->next = next; else first = next;
        if (next != nullptr) next->prev = prev; else last = prev;
        delete seg;
        if (next != nullptr) {
            curr = next;
            position = 0;
            currentId = next->rows[0];
        } else if (prev != nullptr) {
            curr = prev;
            position = prev->count - 1;
            currentId = prev->rows[position];
        } else {
            curr = nullptr;
            position = 0;
            currentId = 0;
        }
        return;
    }
    std::memmove(&seg->rows[position], &seg->rows[position + 1], sizeof(oid_t) * size_t(seg->count - position - 1));
    seg->count -= 1;
    if (position < seg->count) {
        currentId = seg->rows[position];
    } else if (seg->next != nullptr) {
        curr = seg->next;
        position = 0;
        currentId = curr->rows[0];
    } else {
        position = seg->count - 1;
        currentId = seg->rows[position];
    }
}

// ---------------------------------------------------------------- cursor

dbAnyCursor::dbAnyCursor(dbTableDescriptor& tableDesc, dbCursorType cursorType, byte* buffer)
    : db(tableDesc.db == DETACHED_TABLE ? nullptr : tableDesc.db), table(&tableDesc), type(cursorType),
      defaultType(cursorType), record(buffer)
{
}

dbAnyCursor::~dbAnyCursor()
{
    selection.reset();
    delete[] bitmap;
    unlink();
}

void dbAnyCursor::reset()
{
    if (db == nullptr) {
        DB_ASSERT(table->tableId != 0 && "cursor associated with online database table");
        db = table->db;
    }
    if (table->db != db) {
        // Use the copy of the table bound to this cursor's database.
        dbTableDescriptor* original = table->cloneOf != nullptr ? table->cloneOf : table;
        for (dbTableDescriptor* t = db->tables; t != nullptr; t = t->nextInDatabase) {
            if (t == original || t->cloneOf == original) {
                table = t;
                break;
            }
        }
    }
    unlink();
    selection.reset();
    noDuplicates = false;
    wholeTable = false;
    ownChange = false;
    currentId = 0;
}

void dbAnyCursor::registerCursor()
{
    unlink();
    dbDatabaseThreadContext* ctx = db->getThreadContext();
    DB_ASSERT(ctx != nullptr);
    link(&ctx->cursors);
}

size_t dbAnyCursor::selectAll(dbCursorType cursorType)
{
    type = cursorType;
    reset();
    db->selectAll(this);
    if (first() && fetchOnMove) fetch();
    return selection.rowCount;
}

void dbAnyCursor::at(oid_t oid)
{
    if (oid == 0) {
        dbDatabase* database = db != nullptr ? db : table->db;
        if (database != nullptr && database != DETACHED_TABLE) database->handleError(dbDatabase::errNone);
        throw dbException(dbDatabase::errNone);
    }
    reset();
    db->beginTransaction(type == dbCursorForUpdate ? dbDatabase::dbExclusiveLock : dbDatabase::dbSharedLock);
    registerCursor();
    currentId = oid;
    add(oid);
    selection.curr = selection.last;
    selection.position = selection.curr != nullptr ? selection.curr->count - 1 : 0;
    if (fetchOnMove) fetch();
}

bool dbAnyCursor::first()
{
    if (wholeTable) {
        currentId = firstRowId;
        return currentId != 0;
    }
    selection.curr = selection.first;
    selection.position = 0;
    if (selection.curr == nullptr || selection.curr->count == 0) return false;
    currentId = selection.curr->rows[0];
    return true;
}

bool dbAnyCursor::next()
{
    if (wholeTable) {
        // The last row ends the walk even if a crashed writer left a link
        // after it (a read-only user does not repair the file).
        if (currentId == 0 || currentId == lastRowId) return false;
        oid_t nextId = reinterpret_cast<const dbRecord*>(db->getRow(currentId))->next;
        if (nextId == 0) return false;
        currentId = nextId;
    } else {
        dbSelection::segment* seg = selection.curr;
        if (seg == nullptr) return false;
        if (selection.position + 1 < seg->count) {
            selection.position += 1;
        } else if (seg->next != nullptr && seg->next->count > 0) {
            selection.curr = seg->next;
            selection.position = 0;
        } else {
            return false;
        }
        currentId = selection.curr->rows[selection.position];
    }
    if (fetchOnMove) fetch();
    return true;
}

bool dbAnyCursor::prev()
{
    if (wholeTable) {
        if (currentId == 0) return false;
        oid_t prevId = reinterpret_cast<const dbRecord*>(db->getRow(currentId))->prev;
        if (prevId == 0) return false;
        currentId = prevId;
    } else {
        dbSelection::segment* seg = selection.curr;
        if (seg == nullptr) return false;
        if (selection.position > 0) {
            selection.position -= 1;
        } else if (seg->prev != nullptr) {
            selection.curr = seg->prev;
            selection.position = selection.curr->count - 1;
        } else {
            return false;
        }
        currentId = selection.curr->rows[selection.position];
    }
    if (fetchOnMove) fetch();
    return true;
}

void dbAnyCursor::fetch()
{
    const byte* row = reinterpret_cast<const byte*>(db->getRow(currentId));
    table->columns->fetch(record, row);
}

void dbAnyCursor::checkCurrent() const
{
    if (currentId == 0) throw dbException(dbDatabase::errNone);
}

void dbAnyCursor::update()
{
    if (type != dbCursorForUpdate || currentId == 0) throw dbException(dbDatabase::errNone);
    ownChange = true;
    try {
        db->updateRecord(currentId, table, record);
    } catch (...) {
        ownChange = false;
        throw;
    }
    ownChange = false;
}

void dbAnyCursor::remove()
{
    oid_t removedId = currentId;
    DB_ASSERT(type == dbCursorForUpdate && removedId != 0);
    ownChange = true;
    if (wholeTable) {
        const auto* row = reinterpret_cast<const dbRecord*>(db->getRow(removedId));
        if (row->next != 0) {
            if (removedId == firstRowId) firstRowId = row->next;
            currentId = row->next;
        } else if (removedId == firstRowId) {
            currentId = firstRowId = lastRowId = 0;
        } else {
            currentId = lastRowId = row->prev;
        }
    } else if (selection.curr != nullptr) {
        selection.removeCurrent(currentId);
    } else {
        currentId = 0;
    }
    db->removeRecord(table, removedId);
    ownChange = false;
    if (currentId != 0) fetch();
}

void dbAnyCursor::removeAllSelected()
{
    DB_ASSERT(type == dbCursorForUpdate);
    if (wholeTable) {
        DB_ASSERT(db != nullptr);
        db->removeAllRecords(table);
        reset();
    } else if (selection.rowCount != 0) {
        ownChange = true;
        for (dbSelection::segment* seg = selection.first; seg != nullptr; seg = seg->next)
            for (int i = 0; i < seg->count; i++) db->removeRecord(table, seg->rows[i]);
        ownChange = false;
        reset();
    } else if (currentId != 0) {
        db->removeRecord(table, currentId);
        currentId = 0;
    }
}

oid_t dbAnyCursor::insert(dbTableDescriptor& tableDesc, const byte* rec)
{
    dbDatabase* database = tableDesc.getDatabase();
    DB_ASSERT(database != nullptr);
    return database->insertRecord(&tableDesc, rec);
}

bool dbAnyCursor::add(oid_t oid)
{
    if (selection.rowCount >= limit) return false;
    if (noDuplicates) {
        if (isMarked(oid)) return true;
        mark(oid);
    }
    selection.add(oid);
    return selection.rowCount < limit;
}

void dbAnyCursor::useBitmap()
{
    if (noDuplicates || limit < 2) return;
    noDuplicates = true;
    size_t words = (db->getIndexSize() + 31) / 32;
    if (words > bitmapSize) {
        delete[] bitmap;
        bitmap = new uint32_t[words];
        bitmapSize = words;
    }
    std::memset(bitmap, 0, bitmapSize * sizeof(uint32_t));
}

void dbAnyCursor::rebase(const byte* oldBase, size_t oldSize, ptrdiff_t delta)
{
    if (currentId != 0) table->columns->adjust(record, oldBase, oldSize, delta);
}

size_t dbAnyCursor::select(dbQuery& query, dbCursorType cursorType, char* paramBase)
{
    type = cursorType;
    reset();
    parameterBase = paramBase;
    db->select(this, query);
    parameterBase = nullptr;
    if (first() && fetchOnMove) fetch();
    return selection.rowCount;
}

