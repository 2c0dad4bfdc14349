#pragma once
// Record types as the engine sees them: the symbol table of interned names,
// field and table descriptors with their stored layout, the stored table
// records, and the methods that move a record between its application form
// and its stored form.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "engine286/database.h"

using byte = unsigned char;

// ---- interned names ------------------------------------------------------

class dbSymbolTable {
public:
    // Looks the name up: when present, points `name` at the interned text and
    // returns the stored tag (the given one is ignored); when absent, enters
    // it with `tag`, copying the text first when `copy` is set.
    static int add(const char*& name, int tag, bool copy = true);
};

// ---- field types -----------------------------------------------------------

struct dbField {
    enum FieldTypes {
        tpBool = 0,
        tpInt1,
        tpInt2,
        tpInt4,
        tpInt8,
        tpReal4,
        tpReal8,
        tpString,
        tpReference,
        tpArray,
        tpMethodBool,
        tpMethodInt1,
        tpMethodInt2,
        tpMethodInt4,
        tpMethodInt8,
        tpMethodReal4,
        tpMethodReal8,
        tpMethodString,
        tpMethodReference,
        tpStructure,
        tpRawBinary,
        tpUnknown = 22
    };
    enum IndexFlags { Hashed = 1, Indexed = 2, Updated = int(0x80000000u) };
};

class dbFieldDescriptor;
class dbTableDescriptor;

// Calls a method of a structure stored in a row (used by queries).
class dbAnyMethodTrampoline {
public:
    dbFieldDescriptor* cls;  // the method's field descriptor
    explicit dbAnyMethodTrampoline(dbFieldDescriptor* fd) : cls(fd) {}
    // `data` is the address of the stored row (or of the structure's base).
    virtual void invoke(byte* data, void* result) = 0;
    // The direct binding for the same method; this one is destroyed.
    virtual dbAnyMethodTrampoline* direct() = 0;
    virtual ~dbAnyMethodTrampoline() = default;
};

using dbComparator = int (*)(const void*, const void*, size_t);
using dbArraySetter = void (*)(void* arrayObject, byte* data, size_t count);

class dbFieldDescriptor {
public:
    enum FieldAttributes { ComponentOfArray = 1, HasVaryingParts = 2, SameLayout = 4, ValueChanged = 8 };

    dbFieldDescriptor* next;
    dbFieldDescriptor* prev;
    dbFieldDescriptor* nextInTable = nullptr;
    dbFieldDescriptor* nextHashed = nullptr;
    dbFieldDescriptor* nextIndexed = nullptr;
    dbFieldDescriptor* nextInverse = nullptr;
    int fieldNumber = 0;
    const char* name;
    char* qualifiedName = nullptr;
    dbTableDescriptor* refTable = nullptr;
    dbTableDescriptor* ownerTable = nullptr;
    dbFieldDescriptor* inverseField = nullptr;
    const char* inverseName = nullptr;
    int type;
    int appType;
    unsigned indexFlags;
    int storedOffset = 0;
    int appOffset;
    dbFieldDescriptor* components = nullptr;
    oid_t hashTable = 0;
    oid_t tTree = 0;
    int storedSize;
    int appSize;
    int alignment;
    dbComparator comparator;
    unsigned attr;
    int oldType = dbField::tpUnknown;
    int oldOffset = 0;
    int oldSize = 0;
    dbAnyMethodTrampoline* method = nullptr;
    dbArraySetter arraySetter = nullptr;

    // The general constructor.
    dbFieldDescriptor(const char* name, int appOffset, int size, unsigned indexFlags,
                      const char* inverseName = nullptr, dbFieldDescriptor* components = nullptr);
    // The short constructor for string elements and methods.
    explicit dbFieldDescriptor(const char* name);
    ~dbFieldDescriptor();
    dbFieldDescriptor(const dbFieldDescriptor&) = delete;
    dbFieldDescriptor& operator=(const dbFieldDescriptor&) = delete;

    // Appends the circular list `other` after this circular list.
    dbFieldDescriptor* join(dbFieldDescriptor* other);
    // The component of a structure field with that interned name.
    dbFieldDescriptor* findComponent(const char* internedName);

    // ---- record conversion; each walks the list starting at this field ----
    size_t storedSizeOf(const byte* app, size_t start);
    size_t store(byte* target, const byte* app, size_t pos);
    void fetch(byte* app, const byte* stored);
    void markChanged(const byte* stored, const byte* app);
    size_t convertedSize(const byte* old, size_t start);
    size_t convert(byte* target, const byte* old, size_t pos);
    void adjust(byte* app, const byte* oldBase, size_t oldSize, ptrdiff_t delta);
    size_t varyingExtent(dbFieldDescriptor* skip, const byte* stored, size_t& size);
    size_t relocatingCopy(dbFieldDescriptor* skip, byte* target, const byte* stored, size_t pos);
};

class dbTableDescriptor {
public:
    using describeFunc = dbFieldDescriptor* (*)();

    dbTableDescriptor* nextTable = nullptr;
    dbTableDescriptor* nextInDatabase = nullptr;
    const char* name;
    oid_t tableId = 0;
    dbFieldDescriptor* columns = nullptr;
    dbFieldDescriptor* hashedFields = nullptr;
    dbFieldDescriptor* indexedFields = nullptr;
    dbFieldDescriptor* inverseFields = nullptr;
    dbFieldDescriptor* firstField = nullptr;
    dbFieldDescriptor** lastFieldLink = nullptr;
    dbDatabase* db;
    bool fixedDatabase;
    int appSize = 0;
    int fixedSize = 0;
    int nFields = 0;
    int nColumns = 0;
    dbTableDescriptor* cloneOf = nullptr;
    describeFunc describe;

    // `db` null: the first database that loads its schema claims the table;
    // DETACHED_TABLE: every database gets its own copy.
    dbTableDescriptor(const char* name, dbDatabase* db, int structSize, describeFunc describe,
                      dbTableDescriptor* cloneOf = nullptr);
    ~dbTableDescriptor();
    dbTableDescriptor(const dbTableDescriptor&) = delete;
    dbTableDescriptor& operator=(const dbTableDescriptor&) = delete;

    static dbTableDescriptor* chain;  // every table of the program
    dbTableDescriptor* cloneFor(dbDatabase*) { return new dbTableDescriptor(name, DETACHED(), structSize, describe, this); }
    static dbDatabase* DETACHED() { return reinterpret_cast<dbDatabase*>(~uintptr_t(0)); }

    dbFieldDescriptor* find(const char* internedName);
    dbDatabase* getDatabase();

    // Stored table records.
    size_t storedTableRecordSize();
    void writeTableRecord(byte* record);
    bool equal(const byte* tableRecord);
    bool match(const byte* tableRecord, bool allowFieldRemoval, const char** problem);
    void resolveRelationships();
    // Unbinds from the database (a copy is left for the caller to delete).
    void unbind();

private:
    int structSize;
    int maxAppAlignment = 1;
    int layout(dbFieldDescriptor* list, const char* prefix, int base, unsigned parentIndexFlags, unsigned& attr);
};

// The DETACHED_TABLE marker of table descriptors usable with several databases.
#define DETACHED_TABLE (dbTableDescriptor::DETACHED())

// ---- stored table records --------------------------------------------------

// A field entry of a stored table record (44 bytes).
struct dbStoredField {
    uint32_t nameSize, nameOffs;
    uint32_t tableNameSize, tableNameOffs;
    uint32_t inverseSize, inverseOffs;
    uint32_t type;
    uint32_t offset;
    uint32_t size;
    oid_t hashTable;
    oid_t tTree;
    const char* text(uint32_t offs) const { return reinterpret_cast<const char*>(this) + offs; }
    const char* fieldName() const { return text(nameOffs); }
    const char* tableName() const { return text(tableNameOffs); }
    const char* inverse() const { return text(inverseOffs); }
};
static_assert(sizeof(dbStoredField) == 44);

// A stored table record: a row of the table of tables.
struct dbStoredTable {
    dbRecord header;
    uint32_t nameSize, nameOffs;
    uint32_t nFields, fieldsOffs;
    uint32_t fixedSize;
    uint32_t nRows;
    uint32_t nColumns;
    oid_t firstRow;
    oid_t lastRow;
    const char* tableName() const { return reinterpret_cast<const char*>(this) + nameOffs; }
    const dbStoredField* fields() const
    {
        return reinterpret_cast<const dbStoredField*>(reinterpret_cast<const char*>(this) + fieldsOffs);
    }
    dbStoredField* fields() { return reinterpret_cast<dbStoredField*>(reinterpret_cast<char*>(this) + fieldsOffs); }
};
static_assert(sizeof(dbStoredTable) == 48);
