#include "engine286/class.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

// ---------------------------------------------------------------- symbols

namespace {

struct Symbol {
    Symbol* next;
    const char* name;
    uint32_t hash;
    int tag;
    bool owned;
};

constexpr unsigned symbolBuckets = 1009;

struct SymbolTable {
    Symbol* buckets[symbolBuckets] = {};
    dbMutex mutex;
    ~SymbolTable()
    {
        for (Symbol* head : buckets) {
            while (head != nullptr) {
                Symbol* next = head->next;
                if (head->owned) delete[] const_cast<char*>(head->name);
                delete head;
                head = next;
            }
        }
    }
};

SymbolTable& symbols()
{
    static SymbolTable table;
    return table;
}

inline int align(int x, int a) { return (x + a - 1) & ~(a - 1); }

char* copyText(const std::string& s)
{
    char* p = new char[s.size() + 1];
    std::memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

}  // namespace

int dbSymbolTable::add(const char*& name, int tag, bool copy)
{
    uint32_t h = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; p++) h = h * 31 + *p;
    SymbolTable& table = symbols();
    dbCriticalSection guard(table.mutex);
    unsigned bucket = h % symbolBuckets;
    for (Symbol* s = table.buckets[bucket]; s != nullptr; s = s->next) {
        if (s->hash == h && std::strcmp(s->name, name) == 0) {
            name = s->name;
            return s->tag;
        }
    }
    const char* text = name;
    if (copy) {
        size_t len = std::strlen(name) + 1;
        char* p = new char[len];
        std::memcpy(p, name, len);
        text = p;
    }
    table.buckets[bucket] = new Symbol{table.buckets[bucket], text, h, tag, copy};
    name = text;
    return tag;
}

// ---------------------------------------------------------------- field descriptors

namespace {
int memoryComparator(const void* a, const void* b, size_t n) { return std::memcmp(a, b, n); }
}  // namespace

dbFieldDescriptor::dbFieldDescriptor(const char* fieldName, int appOffs, int size, unsigned flags,
                                     const char* inverse, dbFieldDescriptor* comps)
    : next(this), prev(this), name(fieldName), inverseName(inverse), type(dbField::tpStructure),
      appType(dbField::tpStructure), indexFlags(flags), appOffset(appOffs), components(comps), storedSize(size),
      appSize(size), alignment(size), comparator(memoryComparator), attr(0)
{
    dbSymbolTable::add(name, 0, false);
    if (inverseName != nullptr) dbSymbolTable::add(inverseName, 0, false);
}

dbFieldDescriptor::dbFieldDescriptor(const char* fieldName)
    : next(this), prev(this), name(fieldName), type(dbField::tpStructure), appType(dbField::tpStructure),
      indexFlags(0), appOffset(0), storedSize(0), appSize(0), alignment(1), comparator(memoryComparator),
      attr(SameLayout)
{
    dbSymbolTable::add(name, 0, false);
}

dbFieldDescriptor::~dbFieldDescriptor()
{
    delete method;
    delete[] qualifiedName;
    if (type == dbField::tpString || type == dbField::tpArray ||
        (type == dbField::tpStructure && components != nullptr)) {
        dbFieldDescriptor* c = components;
        if (c != nullptr) {
            // Components form their own circular list.
            dbFieldDescriptor* f = c;
            do {
                dbFieldDescriptor* n = f->next;
                if (f->type >= dbField::tpMethodBool && f->type <= dbField::tpMethodReference) f->components = nullptr;
                delete f;
                f = n;
            } while (f != c);
        }
    }
}

dbFieldDescriptor* dbFieldDescriptor::join(dbFieldDescriptor* other)
{
    dbFieldDescriptor* tail = prev;
    dbFieldDescriptor* otherTail = other->prev;
    tail->next = other;
    other->prev = tail;
    otherTail->next = this;
    prev = otherTail;
    return this;
}

dbFieldDescriptor* dbFieldDescriptor::findComponent(const char* internedName)
{
    dbFieldDescriptor* first = components;
    if (first == nullptr) return nullptr;
    dbFieldDescriptor* f = first;
    do {
        if (f->name == internedName) return f;
        f = f->next;
    } while (f != first);
    return nullptr;
}

// ---------------------------------------------------------------- table descriptors

dbTableDescriptor* dbTableDescriptor::chain = nullptr;

dbTableDescriptor::dbTableDescriptor(const char* tableName, dbDatabase* database, int size, describeFunc func,
                                     dbTableDescriptor* original)
    : name(tableName), db(database), fixedDatabase(database != nullptr && database != DETACHED()),
      cloneOf(original), describe(func), structSize(size)
{
    if (original == nullptr) {
        nextTable = chain;
        chain = this;
    }
    dbSymbolTable::add(name, 0, false);
    columns = describe();
    fixedSize = sizeof(dbRecord);
    lastFieldLink = &firstField;
    unsigned attr = dbFieldDescriptor::SameLayout;
    int maxAlign = layout(columns, "", sizeof(dbRecord), dbField::Hashed | dbField::Indexed, attr);
    // Pointers of the application structure may be wider than their stored
    // form: round to the larger of both alignments.
    appSize = align(appSize, std::max(maxAlign < 1 ? 1 : maxAlign, maxAppAlignment));
    if (appSize < structSize) {
        std::fprintf(stderr, "Warning: may be not all fields of the class '%s' were described\n", name);
    }
    *lastFieldLink = nullptr;
}

dbTableDescriptor::~dbTableDescriptor()
{
    if (cloneOf == nullptr) {
        for (dbTableDescriptor** p = &chain; *p != nullptr; p = &(*p)->nextTable) {
            if (*p == this) {
                *p = nextTable;
                break;
            }
        }
    }
    dbFieldDescriptor* f = columns;
    if (f != nullptr) {
        do {
            dbFieldDescriptor* n = f->next;
            if (f->type >= dbField::tpMethodBool && f->type <= dbField::tpMethodReference) f->components = nullptr;
            delete f;
            f = n;
        } while (f != columns);
    }
}

// Lays out one list of fields (see the class comment); returns the largest
// stored alignment in the list.
int dbTableDescriptor::layout(dbFieldDescriptor* list, const char* prefix, int base, unsigned parentIndexFlags,
                              unsigned& parentAttr)
{
    int maxAlign = 1;
    dbFieldDescriptor* field = list;
    DB_ASSERT(!(field->type >= dbField::tpMethodBool && field->type <= dbField::tpMethodReference) &&
              "Not empty record");
    bool inMethods = false;
    do {
        bool isMethod = field->type >= dbField::tpMethodBool && field->type <= dbField::tpMethodReference;
        if (isMethod) {
            inMethods = true;
            field->storedOffset = list->storedOffset;
            field->components = list;
            field->ownerTable = this;
            std::string qualified = std::string(prefix) + field->name;
            delete[] field->qualifiedName;
            field->qualifiedName = copyText(qualified);
            if ((parentAttr & dbFieldDescriptor::SameLayout) && field->method != nullptr) {
                field->method = field->method->direct();
            }
            field = field->next;
            continue;
        }
        DB_ASSERT(!inMethods && "Methods should be specified after variables");
        std::string qualified = std::string(prefix) + field->name;
        delete[] field->qualifiedName;
        field->qualifiedName = copyText(qualified);
        if (*prefix == '\0') nColumns += 1;
        field->ownerTable = this;
        field->indexFlags &= parentIndexFlags | ~unsigned(dbField::Hashed | dbField::Indexed);
        field->attr = (parentAttr & dbFieldDescriptor::ComponentOfArray) | dbFieldDescriptor::SameLayout;
        if (field->inverseName != nullptr) {
            DB_ASSERT(!(field->attr & dbFieldDescriptor::ComponentOfArray) &&
                      (field->type == dbField::tpReference ||
                       (field->type == dbField::tpArray && field->components->type == dbField::tpReference)));
            field->nextInverse = inverseFields;
            inverseFields = field;
        }
        *lastFieldLink = field;
        lastFieldLink = &field->nextInTable;
        field->fieldNumber = nFields++;

        switch (field->type) {
        case dbField::tpString:
            parentAttr = (parentAttr & ~unsigned(dbFieldDescriptor::SameLayout)) | dbFieldDescriptor::HasVaryingParts;
            appSize = align(appSize, field->appSize) + field->appSize;
            maxAppAlignment = std::max(maxAppAlignment, field->appSize);
            break;
        case dbField::tpArray: {
            parentAttr = (parentAttr & ~unsigned(dbFieldDescriptor::SameLayout)) | dbFieldDescriptor::HasVaryingParts;
            field->attr |= dbFieldDescriptor::ComponentOfArray;
            int savedFixed = fixedSize;
            fixedSize = 0;
            int savedAppSize = appSize;
            appSize = 0;
            layout(field->components, field->qualifiedName, 0, 0, field->attr);
            fixedSize = savedFixed;
            appSize = savedAppSize;
            if (field->components->storedSize != field->components->appSize)
                field->attr &= ~unsigned(dbFieldDescriptor::SameLayout);
            appSize = align(appSize, int(sizeof(void*))) + field->appSize;
            break;
        }
        case dbField::tpStructure: {
            int before = fixedSize;
            int savedAppSize = appSize;
            appSize = 0;
            std::string componentPrefix = qualified + ".";
            int f = layout(field->components, componentPrefix.c_str(), base + field->appOffset, field->indexFlags,
                           field->attr);
            field->alignment = f;
            field->storedOffset = field->components->storedOffset;
            parentAttr |= field->attr & dbFieldDescriptor::HasVaryingParts;
            if (!(field->attr & dbFieldDescriptor::SameLayout)) parentAttr &= ~unsigned(dbFieldDescriptor::SameLayout);
            field->storedSize = align(fixedSize - before, f);
            if ((field->attr & dbFieldDescriptor::HasVaryingParts) && f < 4) f = 4;
            int componentsAppSize = appSize;
            appSize = align(componentsAppSize, f) + align(savedAppSize, f);
            break;
        }
        default:
            appSize = align(appSize, field->appSize) + field->appSize;
            if (field->appSize <= 8) maxAppAlignment = std::max(maxAppAlignment, field->appSize);
            break;
        }
        if (field->alignment > maxAlign) maxAlign = field->alignment;
        if (field->type != dbField::tpStructure) {
            fixedSize = align(fixedSize, field->alignment);
            field->storedOffset = fixedSize;
            fixedSize += field->storedSize;
            if (base + field->appOffset != field->storedOffset) parentAttr &= ~unsigned(dbFieldDescriptor::SameLayout);
            if (field->indexFlags & (dbField::Hashed | dbField::Indexed)) {
                DB_ASSERT(!(field->attr & dbFieldDescriptor::ComponentOfArray));
                if (field->indexFlags & dbField::Hashed) {
                    field->nextHashed = hashedFields;
                    hashedFields = field;
                }
                if (field->indexFlags & dbField::Indexed) {
                    field->nextIndexed = indexedFields;
                    indexedFields = field;
                }
            }
        }
        field = field->next;
    } while (field != list);
    return maxAlign;
}

dbFieldDescriptor* dbTableDescriptor::find(const char* internedName)
{
    dbFieldDescriptor* f = columns;
    do {
        if (f->name == internedName) return f;
        f = f->next;
    } while (f != columns);
    return nullptr;
}

dbDatabase* dbTableDescriptor::getDatabase()
{
    DB_ASSERT(db != DETACHED_TABLE);
    return db;
}

void dbTableDescriptor::unbind()
{
    tableId = 0;
    nextInDatabase = nullptr;
    if (!fixedDatabase && cloneOf == nullptr) db = nullptr;
}

// ---------------------------------------------------------------- stored table records

namespace {
size_t textSize(const char* s) { return s == nullptr ? 1 : std::strlen(s) + 1; }
const char* refTableName(const dbFieldDescriptor* f)
{
    const dbFieldDescriptor* target = f->type == dbField::tpArray ? f->components : f;
    return target->type == dbField::tpReference && target->refTable != nullptr ? target->refTable->name : nullptr;
}
}  // namespace

size_t dbTableDescriptor::storedTableRecordSize()
{
    size_t size = sizeof(dbStoredTable) + sizeof(dbStoredField) * size_t(nFields) + std::strlen(name) + 1;
    for (dbFieldDescriptor* f = firstField; f != nullptr; f = f->nextInTable) {
        size += std::strlen(f->qualifiedName) + 3;
        if (f->inverseName != nullptr) size += std::strlen(f->inverseName);
        if (const char* t = refTableName(f)) size += std::strlen(t);
    }
    return size;
}

void dbTableDescriptor::writeTableRecord(byte* record)
{
    auto* table = reinterpret_cast<dbStoredTable*>(record);
    size_t size = storedTableRecordSize();
    std::memset(record + sizeof(dbRecord), 0, size - sizeof(dbRecord));
    table->header.size = uint32_t(size);
    uint32_t offs = uint32_t(sizeof(dbStoredTable) + sizeof(dbStoredField) * size_t(nFields));
    table->nameOffs = offs;
    table->nameSize = uint32_t(std::strlen(name) + 1);
    std::memcpy(record + offs, name, table->nameSize);
    offs += table->nameSize;
    table->nFields = uint32_t(nFields);
    table->fieldsOffs = sizeof(dbStoredTable);
    table->fixedSize = uint32_t(fixedSize);
    table->nColumns = uint32_t(nColumns);
    table->nRows = 0;
    table->firstRow = table->lastRow = 0;
    dbStoredField* entry = table->fields();
    for (dbFieldDescriptor* f = firstField; f != nullptr; f = f->nextInTable, entry++) {
        uint32_t entryOffs = uint32_t(reinterpret_cast<byte*>(entry) - record);
        auto putText = [&](const char* text, uint32_t& sizeWord, uint32_t& offsWord) {
            size_t len = textSize(text);
            sizeWord = uint32_t(len);
            offsWord = offs - entryOffs;
            if (text != nullptr)
                std::memcpy(record + offs, text, len);
            else
                record[offs] = 0;
            offs += uint32_t(len);
        };
        putText(f->qualifiedName, entry->nameSize, entry->nameOffs);
        putText(refTableName(f), entry->tableNameSize, entry->tableNameOffs);
        putText(f->inverseName, entry->inverseSize, entry->inverseOffs);
        entry->type = uint32_t(f->type);
        entry->offset = uint32_t(f->storedOffset);
        entry->size = uint32_t(f->storedSize);
        entry->hashTable = f->hashTable;
        entry->tTree = f->tTree;
    }
}

namespace {
bool sameText(const char* a, const char* b)
{
    if (a == nullptr) a = "";
    if (b == nullptr) b = "";
    return std::strcmp(a, b) == 0;
}
}  // namespace

bool dbTableDescriptor::equal(const byte* record)
{
    const auto* table = reinterpret_cast<const dbStoredTable*>(record);
    if (table->nColumns != uint32_t(nColumns) || table->nFields != uint32_t(nFields) ||
        table->fixedSize != uint32_t(fixedSize))
        return false;
    const dbStoredField* entry = table->fields();
    for (dbFieldDescriptor* f = firstField; f != nullptr; f = f->nextInTable, entry++) {
        if (!sameText(f->qualifiedName, entry->fieldName()) || !sameText(refTableName(f), entry->tableName()) ||
            !sameText(f->inverseName, entry->inverse()) || uint32_t(f->storedOffset) != entry->offset ||
            uint32_t(f->type) != entry->type)
            return false;
    }
    entry = table->fields();
    for (dbFieldDescriptor* f = firstField; f != nullptr; f = f->nextInTable, entry++) {
        f->hashTable = entry->hashTable;
        f->tTree = entry->tTree;
    }
    return true;
}

namespace {
bool isScalar(int type) { return type >= dbField::tpBool && type <= dbField::tpReal8; }
}  // namespace

bool dbTableDescriptor::match(const byte* record, bool allowFieldRemoval, const char** problem)
{
    const auto* table = reinterpret_cast<const dbStoredTable*>(record);
    bool sameLayout = table->nFields == uint32_t(nFields);
    uint32_t found = 0;
    *problem = nullptr;
    for (dbFieldDescriptor* f = firstField; f != nullptr; f = f->nextInTable) f->oldType = dbField::tpUnknown;
    for (dbFieldDescriptor* f = firstField; f != nullptr; f = f->nextInTable) {
        const dbStoredField* entry = table->fields();
        for (uint32_t i = 0; i < table->nFields; i++, entry++) {
            if (!sameText(f->qualifiedName, entry->fieldName())) continue;
            int oldType = int(entry->type);
            bool convertible =
                (f->type == dbField::tpReference && oldType == dbField::tpReference &&
                 sameText(refTableName(f), entry->tableName())) ||
                (isScalar(f->type) && isScalar(oldType)) ||
                (f->type == dbField::tpString && oldType == dbField::tpString) ||
                (f->type >= dbField::tpArray && oldType == f->type);
            if (!convertible) {
                *problem = f->qualifiedName;
                return false;
            }
            found += 1;
            f->oldType = oldType;
            f->oldOffset = int(entry->offset);
            f->oldSize = int(entry->size);
            f->hashTable = 0;
            f->tTree = 0;
            if (oldType == f->type) {
                if (f->indexFlags & dbField::Hashed) f->hashTable = entry->hashTable;
                if (f->indexFlags & dbField::Indexed) f->tTree = entry->tTree;
            }
            if (oldType != f->type || int(entry->offset) != f->storedOffset) sameLayout = false;
            break;
        }
    }
    if (found < table->nFields && table->nRows != 0 && !allowFieldRemoval) {
        // Name the first stored field that has no counterpart.
        const dbStoredField* entry = table->fields();
        for (uint32_t i = 0; i < table->nFields; i++, entry++) {
            bool present = false;
            for (dbFieldDescriptor* f = firstField; f != nullptr && !present; f = f->nextInTable)
                present = sameText(f->qualifiedName, entry->fieldName());
            if (!present) {
                *problem = entry->fieldName();
                break;
            }
        }
        return false;
    }
    if (found < table->nFields) sameLayout = false;
    return sameLayout;
}

void dbTableDescriptor::resolveRelationships()
{
    for (dbFieldDescriptor* f = inverseFields; f != nullptr; f = f->nextInverse) {
        dbFieldDescriptor* target = f->type == dbField::tpArray ? f->components : f;
        dbTableDescriptor* refTab = target->refTable;
        if (refTab == nullptr) continue;
        dbFieldDescriptor* inverse = refTab->find(f->inverseName);
        char buf[512];
        if (inverse == nullptr) {
            std::snprintf(buf, sizeof buf, "Failed to locate inverse reference field %s.%s for field %s.%s",
                          refTab->name, f->inverseName, name, f->qualifiedName);
            if (db != nullptr && db != DETACHED_TABLE) db->handleError(dbDatabase::errInverseReference, buf);
        } else if (inverse->inverseName != f->name) {
            std::snprintf(buf, sizeof buf, "Inverse references for field %s.%s is %s.%s, but its inverse reference is %s",
                          name, f->qualifiedName, refTab->name, f->inverseName,
                          inverse->inverseName != nullptr ? inverse->inverseName : "");
            if (db != nullptr && db != DETACHED_TABLE) db->handleError(dbDatabase::errInverseReference, buf);
        } else {
            f->inverseField = inverse;
        }
    }
}

// ---------------------------------------------------------------- record conversion

namespace {

inline bool isMethodType(int type) { return type >= dbField::tpMethodBool && type <= dbField::tpMethodReference; }

inline uint32_t load32(const byte* p)
{
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
inline void save32(byte* p, uint32_t v) { std::memcpy(p, &v, 4); }

inline size_t alignSize(size_t x, int a) { return (x + size_t(a) - 1) & ~(size_t(a) - 1); }

// The application array object: element count and element pointer.
struct AppArray {
    size_t count;
    byte* data;
};

int64_t loadInteger(const byte* p, int type)
{
    switch (type) {
    case dbField::tpBool: return *p;
    case dbField::tpInt1: return int8_t(*p);
    case dbField::tpInt2: { int16_t v; std::memcpy(&v, p, 2); return v; }
    case dbField::tpInt4: { int32_t v; std::memcpy(&v, p, 4); return v; }
    case dbField::tpInt8: { int64_t v; std::memcpy(&v, p, 8); return v; }
    default: return 0;
    }
}

double loadReal(const byte* p, int type)
{
    if (type == dbField::tpReal4) {
        float v;
        std::memcpy(&v, p, 4);
        return v;
    }
    double v;
    std::memcpy(&v, p, 8);
    return v;
}

// Converts one numeric stored value of `oldType` into `newType`.
void convertScalar(byte* dst, int newType, const byte* src, int oldType)
{
    bool oldIsReal = oldType == dbField::tpReal4 || oldType == dbField::tpReal8;
    bool oldIsNumeric = oldType >= dbField::tpBool && oldType <= dbField::tpReal8;
    if (!oldIsNumeric) {
        std::memset(dst, 0, newType == dbField::tpInt8 || newType == dbField::tpReal8 ? 8
                            : newType == dbField::tpInt4 || newType == dbField::tpReal4 ? 4
                            : newType == dbField::tpInt2 ? 2 : 1);
        return;
    }
    if (newType == dbField::tpBool) {
        if (oldType == dbField::tpBool)
            *dst = *src;
        else
            *dst = oldIsReal ? (loadReal(src, oldType) != 0) : (loadInteger(src, oldType) != 0);
        return;
    }
    if (newType == dbField::tpReal4 || newType == dbField::tpReal8) {
        double v = oldIsReal ? loadReal(src, oldType) : double(loadInteger(src, oldType));
        if (newType == dbField::tpReal4) {
            float f = float(v);
            std::memcpy(dst, &f, 4);
        } else {
            std::memcpy(dst, &v, 8);
        }
        return;
    }
    int64_t v;
    if (oldIsReal) {
        double d = loadReal(src, oldType);
        // Out-of-range and not-a-number values become 0 instead of undefined.
        v = (std::isfinite(d) && d > -9.2e18 && d < 9.2e18) ? int64_t(d) : 0;
    } else {
        v = loadInteger(src, oldType);
    }
    switch (newType) {
    case dbField::tpInt1: { int8_t x = int8_t(uint8_t(uint64_t(v))); std::memcpy(dst, &x, 1); break; }
    case dbField::tpInt2: { int16_t x = int16_t(uint16_t(uint64_t(v))); std::memcpy(dst, &x, 2); break; }
    case dbField::tpInt4: { int32_t x = int32_t(uint32_t(uint64_t(v))); std::memcpy(dst, &x, 4); break; }
    case dbField::tpInt8: std::memcpy(dst, &v, 8); break;
    default: break;
    }
}

size_t scalarSize(int type)
{
    switch (type) {
    case dbField::tpBool:
    case dbField::tpInt1: return 1;
    case dbField::tpInt2: return 2;
    case dbField::tpInt4:
    case dbField::tpReal4:
    case dbField::tpReference: return 4;
    case dbField::tpInt8:
    case dbField::tpReal8: return 8;
    default: return 0;
    }
}

}  // namespace

size_t dbFieldDescriptor::storedSizeOf(const byte* app, size_t size)
{
    dbFieldDescriptor* fd = this;
    do {
        if (isMethodType(fd->type)) break;
        switch (fd->type) {
        case dbField::tpString: {
            const char* s;
            std::memcpy(&s, app + fd->appOffset, sizeof s);
            size += s == nullptr ? 1 : std::strlen(s) + 1;
            break;
        }
        case dbField::tpArray: {
            const auto* arr = reinterpret_cast<const AppArray*>(app + fd->appOffset);
            dbFieldDescriptor* elem = fd->components;
            size = alignSize(size, elem->alignment) + arr->count * size_t(elem->storedSize);
            if (elem->attr & HasVaryingParts) {
                const byte* p = arr->data;
                for (size_t i = 0; i < arr->count; i++, p += elem->appSize) size = elem->storedSizeOf(p, size);
            }
            break;
        }
        case dbField::tpStructure:
            if (fd->attr & HasVaryingParts) size = fd->components->storedSizeOf(app + fd->appOffset, size);
            break;
        default:
            break;
        }
        fd = fd->next;
    } while (fd != this);
    return size;
}

size_t dbFieldDescriptor::store(byte* target, const byte* app, size_t pos)
{
    dbFieldDescriptor* fd = this;
    do {
        if (isMethodType(fd->type)) break;
        byte* dst = target + fd->storedOffset;
        const byte* src = app + fd->appOffset;
        switch (fd->type) {
        case dbField::tpBool:
        case dbField::tpInt1:
        case dbField::tpInt2:
        case dbField::tpInt4:
        case dbField::tpInt8:
        case dbField::tpReal4:
        case dbField::tpReal8:
        case dbField::tpReference:
            std::memcpy(dst, src, scalarSize(fd->type));
            break;
        case dbField::tpRawBinary:
            std::memcpy(dst, src, size_t(fd->storedSize));
            break;
        case dbField::tpString: {
            const char* s;
            std::memcpy(&s, src, sizeof s);
            save32(dst + 4, uint32_t(pos));
            if (s != nullptr) {
                size_t len = std::strlen(s) + 1;
                std::memcpy(target + pos, s, len);
                save32(dst, uint32_t(len));
                pos += len;
            } else {
                target[pos++] = 0;
                save32(dst, 1);
            }
            break;
        }
        case dbField::tpArray: {
            const auto* arr = reinterpret_cast<const AppArray*>(src);
            dbFieldDescriptor* elem = fd->components;
            save32(dst, uint32_t(arr->count));
            pos = alignSize(pos, elem->alignment);
            save32(dst + 4, uint32_t(pos));
            size_t bodySize = arr->count * size_t(elem->storedSize);
            if (arr->data != nullptr) {
                if (fd->attr & SameLayout) {
                    std::memcpy(target + pos, arr->data, bodySize);
                } else {
                    size_t rel = bodySize;
                    const byte* p = arr->data;
                    byte* place = target + pos;
                    for (size_t i = 0; i < arr->count; i++, p += elem->appSize, place += elem->storedSize)
                        rel = elem->store(place, p, rel) - size_t(elem->storedSize);
                    pos += rel;  // relative to the place after the last element
                }
            }
            pos += bodySize;
            break;
        }
        case dbField::tpStructure:
            pos = fd->components->store(target, app + fd->appOffset, pos);
            break;
        default:
            break;
        }
        fd = fd->next;
    } while (fd != this);
    return pos;
}

void dbFieldDescriptor::fetch(byte* app, const byte* stored)
{
    dbFieldDescriptor* fd = this;
    do {
        if (isMethodType(fd->type)) break;
        byte* dst = app + fd->appOffset;
        const byte* src = stored + fd->storedOffset;
        switch (fd->type) {
        case dbField::tpBool:
        case dbField::tpInt1:
        case dbField::tpInt2:
        case dbField::tpInt4:
        case dbField::tpInt8:
        case dbField::tpReal4:
        case dbField::tpReal8:
        case dbField::tpReference:
            std::memcpy(dst, src, scalarSize(fd->type));
            break;
        case dbField::tpRawBinary:
            std::memcpy(dst, src, size_t(fd->storedSize));
            break;
        case dbField::tpString: {
            const char* s = reinterpret_cast<const char*>(stored + load32(src + 4));
            std::memcpy(dst, &s, sizeof s);
            break;
        }
        case dbField::tpArray: {
            dbFieldDescriptor* elem = fd->components;
            size_t count = load32(src);
            byte* data = const_cast<byte*>(stored) + load32(src + 4);
            if (fd->arraySetter == nullptr) break;
            if (fd->attr & SameLayout) {
                fd->arraySetter(dst, data, count);
            } else {
                fd->arraySetter(dst, nullptr, count);
                auto* arr = reinterpret_cast<AppArray*>(dst);
                byte* p = arr->data;
                for (size_t i = 0; i < count; i++, p += elem->appSize, data += elem->storedSize) elem->fetch(p, data);
            }
            break;
        }
        case dbField::tpStructure:
            fd->components->fetch(app + fd->appOffset, stored);
            break;
        default:
            break;
        }
        fd = fd->next;
    } while (fd != this);
}

void dbFieldDescriptor::markChanged(const byte* stored, const byte* app)
{
    dbFieldDescriptor* fd = this;
    do {
        if (isMethodType(fd->type)) break;
        if (fd->type == dbField::tpStructure) {
            if (fd->indexFlags & (dbField::Hashed | dbField::Indexed)) fd->components->markChanged(stored, app + fd->appOffset);
        } else if (fd->indexFlags & (dbField::Hashed | dbField::Indexed)) {
            const byte* s = stored + fd->storedOffset;
            const byte* a = app + fd->appOffset;
            bool changed = false;
            switch (fd->type) {
            case dbField::tpReal4: {
                float x, y;
                std::memcpy(&x, s, 4);
                std::memcpy(&y, a, 4);
                changed = x != y;
                break;
            }
            case dbField::tpReal8: {
                double x, y;
                std::memcpy(&x, s, 8);
                std::memcpy(&y, a, 8);
                changed = x != y;
                break;
            }
            case dbField::tpString: {
                const char* text;
                std::memcpy(&text, a, sizeof text);
                changed = std::strcmp(reinterpret_cast<const char*>(stored + load32(s + 4)),
                                      text != nullptr ? text : "") != 0;
                break;
            }
            case dbField::tpRawBinary:
                changed = std::memcmp(s, a, size_t(fd->storedSize)) != 0;
                break;
            case dbField::tpArray:
                break;
            default:
                changed = std::memcmp(s, a, scalarSize(fd->type)) != 0;
                break;
            }
            if (changed) fd->attr |= ValueChanged;
        }
        fd = fd->next;
    } while (fd != this);
}

size_t dbFieldDescriptor::convertedSize(const byte* old, size_t size)
{
    dbFieldDescriptor* fd = this;
    do {
        if (isMethodType(fd->type)) break;
        switch (fd->type) {
        case dbField::tpString:
            size += fd->oldType == dbField::tpUnknown ? 1 : load32(old + fd->oldOffset);
            break;
        case dbField::tpArray:
            if (fd->oldType != dbField::tpUnknown) {
                dbFieldDescriptor* elem = fd->components;
                size_t count = load32(old + fd->oldOffset);
                size = alignSize(size, elem->alignment) + count * size_t(elem->storedSize);
                if (elem->attr & HasVaryingParts) {
                    const byte* p = old + load32(old + fd->oldOffset + 4);
                    for (size_t i = 0; i < count; i++, p += elem->oldSize) size = elem->convertedSize(p, size);
                }
            }
            break;
        case dbField::tpStructure:
            if (fd->attr & HasVaryingParts) size = fd->components->convertedSize(old, size);
            break;
        default:
            break;
        }
        fd = fd->next;
    } while (fd != this);
    return size;
}

size_t dbFieldDescriptor::convert(byte* target, const byte* old, size_t pos)
{
    dbFieldDescriptor* fd = this;
    do {
        if (isMethodType(fd->type)) break;
        byte* dst = target + fd->storedOffset;
        const byte* src = old + fd->oldOffset;
        switch (fd->type) {
        case dbField::tpBool:
        case dbField::tpInt1:
        case dbField::tpInt2:
        case dbField::tpInt4:
        case dbField::tpInt8:
        case dbField::tpReal4:
        case dbField::tpReal8:
            convertScalar(dst, fd->type, src, fd->oldType);
            break;
        case dbField::tpReference:
            save32(dst, fd->oldType == dbField::tpUnknown ? 0 : load32(src));
            break;
        case dbField::tpRawBinary:
            std::memset(dst, 0, size_t(fd->storedSize));
            if (fd->oldType == dbField::tpRawBinary)
                std::memcpy(dst, src, size_t(std::min(fd->oldSize, fd->storedSize)));
            break;
        case dbField::tpString:
            save32(dst + 4, uint32_t(pos));
            if (fd->oldType == dbField::tpUnknown) {
                save32(dst, 1);
                target[pos++] = 0;
            } else {
                uint32_t len = load32(src);
                std::memcpy(target + pos, old + load32(src + 4), len);
                save32(dst, len);
                pos += len;
            }
            break;
        case dbField::tpArray: {
            dbFieldDescriptor* elem = fd->components;
            if (fd->oldType == dbField::tpUnknown) {
                save32(dst, 0);
                save32(dst + 4, 0);
                break;
            }
            size_t count = load32(src);
            const byte* oldElem = old + load32(src + 4);
            save32(dst, uint32_t(count));
            pos = alignSize(pos, elem->alignment);
            save32(dst + 4, uint32_t(pos));
            size_t bodySize = count * size_t(elem->storedSize);
            size_t rel = bodySize;
            byte* place = target + pos;
            for (size_t i = 0; i < count; i++, oldElem += elem->oldSize, place += elem->storedSize)
                rel = elem->convert(place, oldElem, rel) - size_t(elem->storedSize);
            pos += bodySize + rel;
            break;
        }
        case dbField::tpStructure:
            pos = fd->components->convert(target, old, pos);
            break;
        default:
            break;
        }
        fd = fd->next;
    } while (fd != this);
    return pos;
}

void dbFieldDescriptor::adjust(byte* app, const byte* oldBase, size_t oldSize, ptrdiff_t delta)
{
    dbFieldDescriptor* fd = this;
    do {
        if (isMethodType(fd->type)) break;
        if (fd->type == dbField::tpString) {
            const char* s;
            std::memcpy(&s, app + fd->appOffset, sizeof s);
            if (size_t(reinterpret_cast<const byte*>(s) - oldBase) <= oldSize) {
                s += delta;
                std::memcpy(app + fd->appOffset, &s, sizeof s);
            }
        } else if (fd->type == dbField::tpArray) {
            auto* arr = reinterpret_cast<AppArray*>(app + fd->appOffset);
            if (size_t(arr->data - oldBase) <= oldSize) {
                arr->data += delta;
            } else if (fd->attr & HasVaryingParts) {
                byte* p = arr->data;
                for (size_t i = 0; i < arr->count; i++, p += fd->components->appSize)
                    fd->components->adjust(p, oldBase, oldSize, delta);
            }
        } else if (fd->type == dbField::tpStructure && (fd->attr & HasVaryingParts)) {
            fd->components->adjust(app + fd->appOffset, oldBase, oldSize, delta);
        }
        fd = fd->next;
    } while (fd != this);
}

size_t dbFieldDescriptor::varyingExtent(dbFieldDescriptor* skip, const byte* stored, size_t& size)
{
    size_t lastOffs = 0;
    dbFieldDescriptor* fd = this;
    do {
        if (isMethodType(fd->type)) break;
        if (fd != skip) {
            const byte* src = stored + fd->storedOffset;
            if (fd->type == dbField::tpString) {
                size_t offs = load32(src + 4);
                if (offs > lastOffs) lastOffs = offs;
                size += load32(src);
            } else if (fd->type == dbField::tpArray) {
                dbFieldDescriptor* elem = fd->components;
                size_t offs = load32(src + 4);
                if (offs > lastOffs) lastOffs = offs;
                size = alignSize(size, elem->alignment) + load32(src) * size_t(elem->storedSize);
            } else if (fd->type == dbField::tpStructure && (fd->attr & HasVaryingParts)) {
                size_t offs = fd->components->varyingExtent(skip, stored, size);
                if (offs > lastOffs) lastOffs = offs;
            }
        }
        fd = fd->next;
    } while (fd != this);
    return lastOffs;
}

size_t dbFieldDescriptor::relocatingCopy(dbFieldDescriptor* skip, byte* target, const byte* stored, size_t pos)
{
    dbFieldDescriptor* fd = this;
    do {
        if (isMethodType(fd->type)) break;
        if (fd != skip) {
            byte* dst = target + fd->storedOffset;
            const byte* src = stored + fd->storedOffset;
            if (fd->type == dbField::tpString) {
                uint32_t len = load32(src);
                std::memcpy(target + pos, stored + load32(src + 4), len);
                save32(dst, len);
                save32(dst + 4, uint32_t(pos));
                pos += len;
            } else if (fd->type == dbField::tpArray) {
                dbFieldDescriptor* elem = fd->components;
                uint32_t count = load32(src);
                pos = alignSize(pos, elem->alignment);
                std::memcpy(target + pos, stored + load32(src + 4), count * size_t(elem->storedSize));
                save32(dst, count);
                save32(dst + 4, uint32_t(pos));
                pos += count * size_t(elem->storedSize);
            } else if (fd->type == dbField::tpStructure) {
                pos = fd->components->relocatingCopy(skip, target, stored, pos);
            } else {
                std::memcpy(dst, src, size_t(fd->storedSize));
            }
        }
        fd = fd->next;
    } while (fd != this);
    return pos;
}
