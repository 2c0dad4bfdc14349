#include "engine286/hashtab.h"

#include <cstring>

#include "engine286/cursor.h"

namespace {

constexpr uint32_t initialMask = 16383;
constexpr uint32_t slotsPerPage = dbPageSize / sizeof(oid_t);

inline uint32_t load32(const byte* p)
{
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// The key bytes of a record's field.
void recordKey(const byte* record, int type, int sizeofType, int offs, const byte*& key, size_t& length)
{
    if (type == dbField::tpString) {
        uint32_t size = load32(record + offs);
        key = record + load32(record + offs + 4);
        length = size > 0 ? size - 1 : 0;
    } else {
        key = record + offs;
        length = size_t(sizeofType);
    }
}

// Allocates zeroed page-aligned bucket pages under consecutive new ids.
oid_t allocateBuckets(dbDatabase* db, uint32_t mask)
{
    uint32_t nPages = (mask + 1) / slotsPerPage;
    oid_t first = db->allocateId(int(nPages));
    offs_t pos = db->allocate((mask + 1) * sizeof(oid_t));
    DB_ASSERT((pos & (dbPageSize - 1)) == 0);
    std::memset(db->getBase() + pos, 0, size_t(mask + 1) * sizeof(oid_t));
    for (uint32_t i = 0; i < nPages; i++) db->setPos(first + i, pos + i * dbPageSize + dbPageObject);
    return first;
}

}  // namespace

uint32_t dbHashIndex::hashCode(const byte* key, size_t length)
{
    uint32_t h = 0;
    for (size_t i = 0; i < length; i++) h = h * 31 + key[i];
    return h;
}

oid_t dbHashIndex::create(dbDatabase* db, uint32_t nRows)
{
    uint32_t mask = initialMask;
    while (mask <= nRows && mask < 0x7FFFFFFFu) mask = mask * 2 + 1;
    oid_t hashId = db->allocateObject(dbHashTableMarker);
    oid_t page = allocateBuckets(db, mask);
    auto* hash = reinterpret_cast<dbHashTable*>(db->get(hashId));
    hash->mask = mask;
    hash->used = 0;
    hash->page = page;
    return hashId;
}

void dbHashIndex::insert(dbDatabase* db, oid_t hashId, oid_t record, int type, int sizeofType, int offs, uint32_t nRows)
{
    const byte* key;
    size_t length;
    recordKey(reinterpret_cast<const byte*>(db->getRow(record)), type, sizeofType, offs, key, length);
    uint32_t h = hashCode(key, length);
    dbHashTable hash = *reinterpret_cast<const dbHashTable*>(db->get(hashId));
    if (hash.mask < nRows && hash.mask < (hash.used * 2) / 3 && hash.mask < 0x7FFFFFFFu) {
        uint32_t newMask = hash.mask * 2 + 1;
        oid_t newPage = allocateBuckets(db, newMask);
        auto* header = reinterpret_cast<dbHashTable*>(db->put(hashId));
        header->mask = newMask;
        header->page = newPage;
        uint32_t nonEmpty = 0;
        uint32_t oldPages = (hash.mask + 1) / slotsPerPage;
        for (uint32_t p = 0; p < oldPages; p++) {
            const auto* slots = reinterpret_cast<const oid_t*>(db->get(hash.page + p));
            for (uint32_t s = 0; s < slotsPerPage; s++) {
                oid_t item = slots[s];
                while (item != 0) {
                    const auto* it = reinterpret_cast<const dbHashTableItem*>(db->get(item));
                    oid_t next = it->next;
                    uint32_t b = it->hash % newMask;
                    auto* newSlots = reinterpret_cast<oid_t*>(db->put(newPage + b / slotsPerPage));
                    oid_t head = newSlots[b % slotsPerPage];
                    if (head == 0) nonEmpty += 1;
                    if (it->next != head) reinterpret_cast<dbHashTableItem*>(db->put(item))->next = head;
                    newSlots[b % slotsPerPage] = item;
                    item = next;
                }
                slots = reinterpret_cast<const oid_t*>(db->get(hash.page + p));
            }
            db->freeObject(hash.page + p);
        }
        // Inserts count a newly used bucket twice; so does the rehash, or
        // the table would stop growing at about twice its first size.
        reinterpret_cast<dbHashTable*>(db->put(hashId))->used = 2 * nonEmpty;
        hash = *reinterpret_cast<const dbHashTable*>(db->get(hashId));
    }
    oid_t itemId = db->allocateObject(dbHashTableItemMarker);
    uint32_t b = h % hash.mask;
    auto* slots = reinterpret_cast<oid_t*>(db->put(hash.page + b / slotsPerPage));
    oid_t head = slots[b % slotsPerPage];
    slots[b % slotsPerPage] = itemId;
    auto* item = reinterpret_cast<dbHashTableItem*>(db->get(itemId));
    item->next = head;
    item->record = record;
    item->hash = h;
    if (head == 0) reinterpret_cast<dbHashTable*>(db->put(hashId))->used += 2;
}

void dbHashIndex::remove(dbDatabase* db, oid_t hashId, oid_t record, int type, int sizeofType, int offs)
{
    const byte* key;
    size_t length;
    recordKey(reinterpret_cast<const byte*>(db->getRow(record)), type, sizeofType, offs, key, length);
    uint32_t h = hashCode(key, length);
    dbHashTable hash = *reinterpret_cast<const dbHashTable*>(db->get(hashId));
    uint32_t b = h % hash.mask;
    oid_t pageId = hash.page + b / slotsPerPage;
    oid_t itemId = reinterpret_cast<const oid_t*>(db->get(pageId))[b % slotsPerPage];
    oid_t prev = 0;
    while (itemId != 0) {
        const auto* item = reinterpret_cast<const dbHashTableItem*>(db->get(itemId));
        if (item->record == record) break;
        prev = itemId;
        itemId = item->next;
    }
    DB_ASSERT(itemId != 0);
    oid_t next = reinterpret_cast<const dbHashTableItem*>(db->get(itemId))->next;
    if (prev != 0) {
        reinterpret_cast<dbHashTableItem*>(db->put(prev))->next = next;
    } else {
        if (next == 0) reinterpret_cast<dbHashTable*>(db->put(hashId))->used -= 1;
        reinterpret_cast<oid_t*>(db->put(pageId))[b % slotsPerPage] = next;
    }
    db->freeObject(itemId);
}

void dbHashIndex::find(dbDatabase* db, oid_t hashId, dbSearchContext& sc)
{
    size_t keyLength = sc.type == dbField::tpString ? std::strlen(sc.firstKey) : size_t(sc.sizeofType);
    uint32_t h = hashCode(reinterpret_cast<const byte*>(sc.firstKey), keyLength);
    const auto* hash = reinterpret_cast<const dbHashTable*>(db->get(hashId));
    uint32_t b = h % hash->mask;
    oid_t itemId = reinterpret_cast<const oid_t*>(db->get(hash->page + b / slotsPerPage))[b % slotsPerPage];
    while (itemId != 0) {
        const auto* item = reinterpret_cast<const dbHashTableItem*>(db->get(itemId));
        sc.probes += 1;
        if (item->hash == h) {
            const byte* rec = reinterpret_cast<const byte*>(db->getRow(item->record));
            bool equal;
            if (sc.type == dbField::tpString) {
                equal = load32(rec + sc.offs) == keyLength + 1 &&
                        std::memcmp(rec + load32(rec + sc.offs + 4), sc.firstKey, keyLength) == 0;
            } else if (sc.comparator != nullptr) {
                equal = sc.comparator(sc.firstKey, rec + sc.offs, size_t(sc.sizeofType)) == 0;
            } else {
                equal = std::memcmp(sc.firstKey, rec + sc.offs, size_t(sc.sizeofType)) == 0;
            }
            if (equal && sc.accepts(item->record) && !sc.cursor->add(item->record)) return;
        }
        itemId = item->next;
    }
}

// Dropping and purging walk every chain; they stop at anything that is not
// an item, so that a damaged index cannot send them through the file.
namespace {
void freeChain(dbDatabase* db, oid_t item)
{
    while (db->isObjectOfKind(item, dbHashTableItemMarker)) {
        oid_t next = reinterpret_cast<const dbHashTableItem*>(db->get(item))->next;
        db->freeObject(item);
        item = next;
    }
}
}  // namespace

void dbHashIndex::purge(dbDatabase* db, oid_t hashId)
{
    if (!db->isObjectOfKind(hashId, dbHashTableMarker)) return;
    reinterpret_cast<dbHashTable*>(db->put(hashId))->used = 0;
    dbHashTable hash = *reinterpret_cast<const dbHashTable*>(db->get(hashId));
    uint32_t nPages = (hash.mask + 1) / slotsPerPage;
    for (uint32_t p = 0; p < nPages; p++) {
        const auto* slots = reinterpret_cast<const oid_t*>(db->get(hash.page + p));
        bool any = false;
        if (!db->isObjectOfKind(hash.page + p, dbPageObject)) break;
        for (uint32_t s = 0; s < slotsPerPage; s++) {
            oid_t item = slots[s];
            if (item != 0) any = true;
            freeChain(db, item);
            slots = reinterpret_cast<const oid_t*>(db->get(hash.page + p));
        }
        if (any) std::memset(db->put(hash.page + p), 0, dbPageSize);
    }
}

void dbHashIndex::drop(dbDatabase* db, oid_t hashId)
{
    if (!db->isObjectOfKind(hashId, dbHashTableMarker)) return;
    dbHashTable hash = *reinterpret_cast<const dbHashTable*>(db->get(hashId));
    uint32_t nPages = (hash.mask + 1) / slotsPerPage;
    for (uint32_t p = 0; p < nPages && db->isObjectOfKind(hash.page + p, dbPageObject); p++) {
        for (uint32_t s = 0; s < slotsPerPage; s++) freeChain(db, reinterpret_cast<const oid_t*>(db->get(hash.page + p))[s]);
        db->freeObject(hash.page + p);
    }
    db->freeObject(hashId);
}
