#pragma once
// Cursors: how application code selects, walks, fetches, updates and removes
// the rows of one table.

#include <cstddef>
#include <cstdint>

#include "engine286/class.h"
#include "engine286/database.h"

enum dbCursorType { dbCursorForRead = 0, dbCursorForUpdate = 1 };

class dbQuery;

// Selected row ids, kept in segments of 1024.
class dbSelection {
public:
    static constexpr int segmentSize = 1024;
    struct segment {
        segment* prev;
        segment* next;
        int count;
        oid_t rows[segmentSize];
    };

    segment* first = nullptr;
    segment* last = nullptr;
    segment* curr = nullptr;
    size_t rowCount = 0;
    int position = 0;

    dbSelection() = default;
    ~dbSelection() { reset(); }
    dbSelection(const dbSelection&) = delete;
    dbSelection& operator=(const dbSelection&) = delete;

    void add(oid_t oid);
    void reset();
    // Removes the id at the current position; see dbAnyCursor::remove.
    void removeCurrent(oid_t& currentId);
    // Moves all ids of `other` to the end of this selection.
    void append(dbSelection& other);
};

class dbAnyCursor : public dbL2List {
public:
    dbDatabase* db;
    dbTableDescriptor* table;
    dbCursorType type;
    dbCursorType defaultType;
    dbSelection selection;
    bool wholeTable = false;
    oid_t firstRowId = 0;
    oid_t lastRowId = 0;
    oid_t currentId = 0;
    byte* record;
    size_t limit = 2000000000;
    uint32_t* bitmap = nullptr;
    size_t bitmapSize = 0;
    bool noDuplicates = false;
    bool fetchOnMove = true;
    bool ownChange = false;
    char* parameterBase = nullptr;

    dbAnyCursor(dbTableDescriptor& table, dbCursorType type, byte* record);
    virtual ~dbAnyCursor();
    dbAnyCursor(const dbAnyCursor&) = delete;
    dbAnyCursor& operator=(const dbAnyCursor&) = delete;

    size_t selectAll(dbCursorType type);
    size_t selectAll() { return selectAll(defaultType); }
    size_t select(dbQuery& query, dbCursorType type, char* paramBase = nullptr);
    size_t select(dbQuery& query) { return select(query, defaultType); }
    size_t select(const char* condition);
    // Positions on one row by id (throws for id 0).
    void at(oid_t oid);

    bool first();
    bool next();
    bool prev();
    void fetch();
    bool isEmpty() const { return wholeTable ? firstRowId == 0 : selection.rowCount == 0; }
    size_t getNumberOfRecords() const { return selection.rowCount; }
    oid_t getOid() const { return currentId; }

    void update();
    void remove();
    void removeAllSelected();
    static oid_t insert(dbTableDescriptor& table, const byte* record);

    // ---- used by the selection and index searches ----
    bool add(oid_t oid);
    void useBitmap();
    bool isMarked(oid_t oid) const
    {
        return bitmap != nullptr && oid / 32 < bitmapSize && (bitmap[oid / 32] & (1u << (oid % 32))) != 0;
    }
    void mark(oid_t oid)
    {
        if (bitmap != nullptr && oid / 32 < bitmapSize) bitmap[oid / 32] |= 1u << (oid % 32);
    }
    void reset();
    void registerCursor();
    void rebase(const byte* oldBase, size_t oldSize, ptrdiff_t delta);

protected:
    void checkCurrent() const;
};

template <class T>
class dbCursor : public dbAnyCursor {
public:
    explicit dbCursor(dbCursorType type = dbCursorForRead)
        : dbAnyCursor(T::dbDescriptor, type, reinterpret_cast<byte*>(&buffer))
    {
    }
    T* get()
    {
        checkCurrent();
        return &buffer;
    }
    T* operator->() { return get(); }
    T* at(oid_t oid)
    {
        dbAnyCursor::at(oid);
        return &buffer;
    }
    T* next()
    {
        if (!dbAnyCursor::next()) return nullptr;
        return &buffer;
    }
    static oid_t insert(const T& record) { return dbAnyCursor::insert(T::dbDescriptor, reinterpret_cast<const byte*>(&record)); }

protected:
    T buffer{};
};
