#pragma once
// A typed cursor that also counts its row number in the selection, so that
// list pages can jump to row k, and that looks rows up by id without
// throwing for a stale id.

#include "engine286/cursor.h"
#include "engine286/reference.h"

class vordaAnyCursor : public dbAnyCursor {
public:
    int rowNumber = 0;

    vordaAnyCursor(dbTableDescriptor& table, dbCursorType type, byte* record) : dbAnyCursor(table, type, record) {}

    size_t select(const char* condition);
    size_t select(dbQuery& query);
    bool first();
    bool nextRow();
    bool prev();
    // Moves to row k of the selection.
    bool atRow(size_t k);
    // Positions on the row with that id; false for a free id or a non-record.
    bool atReference(oid_t oid);
    // Moves to the row of the selection with that id.
    bool find(oid_t oid);
};

template <class T>
class vordaCursor : public vordaAnyCursor {
public:
    explicit vordaCursor(dbCursorType type = dbCursorForRead)
        : vordaAnyCursor(T::dbDescriptor, type, reinterpret_cast<byte*>(&buffer))
    {
    }
    T* next() { return nextRow() ? &buffer : nullptr; }
    T* at(size_t k) { return atRow(k) ? &buffer : nullptr; }
    T* at(dbReference<T> ref) { return atReference(ref.getOid()) ? &buffer : nullptr; }
    T* find(dbReference<T> ref) { return vordaAnyCursor::find(ref.getOid()) ? &buffer : nullptr; }
    T* get()
    {
        checkCurrent();
        return &buffer;
    }
    T* operator->() { return get(); }
    size_t getRowCount() const { return selection.rowCount; }

protected:
    T buffer{};
};
