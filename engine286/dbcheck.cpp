#include "engine286/dbcheck.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <unordered_map>

#include "engine286/database.h"
#include "engine286/hashtab.h"
#include "engine286/ttree.h"

namespace {

struct Extent {
    uint64_t pos;
    uint64_t size;
    std::string what;
};

class Checker {
public:
    Checker(const char* image, size_t size) : base(image), fileSize(size) {}

    dbCheckReport run()
    {
        if (fileSize < dbPageSize) return fail("file is shorter than one page");
        std::memcpy(&header, base, sizeof header);
        if (header.majorVersion != dbMajorVersion || header.minorVersion != dbMinorVersion)
            return fail("not a database file of this format");
        if (header.initialized != 1) return fail("database file is not initialised");
        if (header.curr > 1) return fail("invalid root index");
        if (!header.dirty && header.size != fileSize)
            problem("header size " + std::to_string(header.size) + " differs from file size " +
                    std::to_string(fileSize));
        root = header.root[header.curr];
        if (root.indexOffset % dbPageSize != 0 || !inFile(root.indexOffset, uint64_t(root.indexCapacity) * 4) ||
            root.indexUsed > root.indexCapacity ||
            root.indexUsed < dbFirstUserId)
            return fail("committed object index lies outside the file or is too small");
        index = reinterpret_cast<const uint32_t*>(base + root.indexOffset);
        extents.push_back({0, dbPageSize, "file header"});
        extents.push_back({root.indexOffset, uint64_t(root.indexCapacity) * 4, "object index"});
        if (inFile(root.shadowIndexOffset, uint64_t(root.shadowIndexCapacity) * 4))
            extents.push_back({root.shadowIndexOffset, uint64_t(root.shadowIndexCapacity) * 4, "shadow object index"});
        else
            problem("shadow object index lies outside the file");
        collectObjects();
        checkOverlaps();
        checkBitmap();
        checkFreeChain();
        checkTables();
        return std::move(report);
    }

private:
    dbCheckReport fail(const std::string& text)
    {
        problem(text);
        return std::move(report);
    }
    void problem(const std::string& text)
    {
        if (report.problems.size() < 1000) report.problems.push_back(text);
    }
    bool inFile(uint64_t pos, uint64_t size) const { return pos <= fileSize && size <= fileSize - pos; }
    uint32_t word(uint64_t pos) const
    {
        uint32_t v;
        std::memcpy(&v, base + pos, 4);
        return v;
    }

    // The position and size of a live object, or false.
    bool objectOf(oid_t id, uint64_t& pos, uint64_t& size) const
    {
        if (id == 0 || id >= root.indexUsed) return false;
        uint32_t e = index[id];
        if (e & dbFreeHandleMarker) return false;
        pos = e & ~dbInternalObjectMarker;
        uint32_t kind = e & dbInternalObjectMarker;
        if (kind == dbRecordObject) {
            if (!inFile(pos, 4)) return false;
            size = word(pos);
        } else {
            size = dbInternalObjectSize[kind];
        }
        return size != 0 && inFile(pos, size);
    }

    void collectObjects()
    {
        for (oid_t id = 1; id < root.indexUsed; id++) {
            uint32_t e = index[id];
            if (e & dbFreeHandleMarker) {
                if (id >= dbBitmapId && id < dbFirstUserId && e != dbFreeHandleMarker)
                    problem("bitmap page id " + std::to_string(id) + " has a bad free entry");
                continue;
            }
            uint32_t kind = e & dbInternalObjectMarker;
            uint64_t pos = e & ~dbInternalObjectMarker;
            if (kind > dbHashTableItemMarker) {
                problem("object " + std::to_string(id) + " has unknown kind " + std::to_string(kind));
                continue;
            }
            if (id >= dbBitmapId && id < dbFirstUserId && kind != dbPageObject) {
                problem("bitmap page id " + std::to_string(id) + " is not a page object");
                continue;
            }
            uint64_t size;
            if (!objectOf(id, pos, size)) {
                problem("object " + std::to_string(id) + " lies outside the file or has size 0");
                continue;
            }
            if (pos % dbAllocationQuantum != 0) problem("object " + std::to_string(id) + " is not aligned");
            if (kind == dbPageObject && pos % dbPageSize != 0)
                problem("page object " + std::to_string(id) + " is not page-aligned");
            extents.push_back({pos, size, "object " + std::to_string(id)});
            report.objects += 1;
        }
    }

    void checkOverlaps()
    {
        std::sort(extents.begin(), extents.end(), [](const Extent& a, const Extent& b) { return a.pos < b.pos; });
        for (size_t i = 1; i < extents.size(); i++) {
            const Extent& a = extents[i - 1];
            const Extent& b = extents[i];
            uint64_t aEnd = (a.pos + a.size + dbAllocationQuantum - 1) & ~uint64_t(dbAllocationQuantum - 1);
            if (b.pos < aEnd) problem(a.what + " overlaps " + b.what + " at offset " + std::to_string(b.pos));
        }
    }

    bool bit(uint64_t quantum, bool& exists) const
    {
        oid_t page = oid_t(dbBitmapId + quantum / dbBitmapBitsPerPage);
        exists = false;
        if (page >= dbFirstUserId) return false;
        uint32_t e = index[page];
        if (e & dbFreeHandleMarker) return false;
        uint64_t pos = e & ~dbInternalObjectMarker;
        if (!inFile(pos, dbPageSize)) return false;
        exists = true;
        uint64_t q = quantum % dbBitmapBitsPerPage;
        return (uint8_t(base[pos + q / 8]) >> (q % 8)) & 1;
    }

    void checkBitmap()
    {
        // Every quantum of every extent is marked.
        std::vector<uint8_t> used((fileSize + dbAllocationQuantum - 1) / dbAllocationQuantum, 0);
        size_t unmarkedReports = 0;
        for (const Extent& e : extents) {
            uint64_t first = e.pos / dbAllocationQuantum;
            uint64_t last = (e.pos + e.size + dbAllocationQuantum - 1) / dbAllocationQuantum;
            for (uint64_t q = first; q < last && q < used.size(); q++) {
                used[q] = 1;
                bool exists;
                if (!bit(q, exists) && unmarkedReports++ < 20) {
                    problem(e.what + (exists ? " has unmarked quanta in the bitmap at offset "
                                             : " lies where no bitmap page exists, offset ") +
                            std::to_string(q * dbAllocationQuantum));
                    break;
                }
            }
        }
        // Nothing is marked that no object uses.
        uint64_t leaked = 0, firstLeak = 0;
        for (uint64_t q = 0; q < used.size(); q++) {
            bool exists;
            if (!used[q] && bit(q, exists)) {
                if (leaked++ == 0) firstLeak = q;
            }
        }
        if (leaked != 0)
            problem(std::to_string(leaked) + " quanta are marked in the bitmap but used by no object (first at offset " +
                    std::to_string(firstLeak * dbAllocationQuantum) + ")");
    }

    void checkFreeChain()
    {
        uint32_t steps = 0;
        for (oid_t id = root.freeListHead; id != 0; steps++) {
            if (id >= root.indexUsed) {
                problem("free id chain leads outside the index: " + std::to_string(id));
                return;
            }
            if (!(index[id] & dbFreeHandleMarker)) {
                problem("free id chain holds id " + std::to_string(id) + " which is in use");
                return;
            }
            if (steps > root.indexUsed) {
                problem("free id chain has a cycle");
                return;
            }
            id = index[id] & ~dbFreeHandleMarker;
        }
    }

    std::string tableName(uint64_t pos, uint64_t size) const
    {
        uint32_t len = word(pos + 12), offs = word(pos + 16);
        if (len == 0 || offs >= size || len > size - offs) return "?";
        return std::string(base + pos + offs, len - 1);
    }

    // Walks one table's row chain; `rowsOfTables` are ids of table records
    // (for the metatable) or 0.
    // The object of an id if it is an internal object of that kind.
    const char* internal(oid_t id, uint32_t kind) const
    {
        if (id == 0 || id >= root.indexUsed) return nullptr;
        uint32_t e = index[id];
        if ((e & dbFreeHandleMarker) || (e & dbInternalObjectMarker) != kind) return nullptr;
        uint64_t pos = e & ~dbInternalObjectMarker;
        if (!inFile(pos, dbInternalObjectSize[kind])) return nullptr;
        return base + pos;
    }

    // A record (not an internal object) that lies inside the file.
    const byte* row(oid_t id) const
    {
        uint64_t pos, size;
        if (!objectOf(id, pos, size) || (index[id] & dbInternalObjectMarker) != 0) return nullptr;
        return reinterpret_cast<const byte*>(base + pos);
    }

    // The key of a row for comparisons: the text for strings, the bytes
    // otherwise; null when the field or its text lies outside the row.
    const char* keyOf(const byte* rec, const dbStoredField& f) const
    {
        uint32_t rowSize;
        std::memcpy(&rowSize, rec, 4);
        if (f.type == dbField::tpString) {
            if (uint64_t(f.offset) + 8 > rowSize) return nullptr;
            uint32_t size, offs;
            std::memcpy(&size, rec + f.offset, 4);
            std::memcpy(&offs, rec + f.offset + 4, 4);
            if (size == 0 || uint64_t(offs) + size > rowSize || rec[offs + size - 1] != 0) return nullptr;
            return reinterpret_cast<const char*>(rec + offs);
        }
        if (uint64_t(f.offset) + f.size > rowSize) return nullptr;
        return reinterpret_cast<const char*>(rec + f.offset);
    }

    struct TreeWalk {
        std::unordered_map<oid_t, int> seen;  // row -> occurrences
        std::set<oid_t> nodes;
        oid_t previous = 0;
        bool ordered = true;
        bool shaped = true;
    };

    // Returns the height of the subtree, or -1 when it is damaged.
    int walkTree(oid_t nodeId, const dbStoredField& f, TreeWalk& walk)
    {
        if (nodeId == 0) return 0;
        const auto* node = reinterpret_cast<const dbTtreeNode*>(internal(nodeId, dbTtreeNodeMarker));
        if (node == nullptr || !walk.nodes.insert(nodeId).second) return -1;
        if (node->nItems < 1 || node->nItems > dbTtreeNode::pageSize) return -1;
        int left = walkTree(node->left, f, walk);
        if (left < 0) return -1;
        for (int i = 0; i < node->nItems; i++) {
            oid_t item = node->item[i];
            walk.seen[item] += 1;
            const byte* rec = row(item);
            if (rec == nullptr || keyOf(rec, f) == nullptr) return -1;
            if (walk.previous != 0) {
                const byte* prev = row(walk.previous);
                if (prev != nullptr &&
                    dbCompareKey(keyOf(prev, f), rec, int(f.type), int(f.size), nullptr, int(f.offset)) > 0)
                    walk.ordered = false;
            }
            walk.previous = item;
        }
        int right = walkTree(node->right, f, walk);
        if (right < 0) return -1;
        if (right - left != node->balance) walk.shaped = false;
        return 1 + std::max(left, right);
    }

    void checkTree(const std::string& table, const dbStoredField& f, const std::string& field,
                   const std::vector<oid_t>& rows)
    {
        const char* rootObject = internal(f.tTree, dbTtreeMarker);
        std::string what = "table " + table + ": T-tree of " + field;
        bool keyType = (f.type >= dbField::tpBool && f.type <= dbField::tpReference) || f.type == dbField::tpRawBinary;
        if (!keyType || f.type == dbField::tpArray) {
            problem(what + " is on a field of type " + std::to_string(f.type) + ", which has no key order");
            return;
        }
        if (rootObject == nullptr) {
            problem(what + " has no tree root object");
            return;
        }
        oid_t rootNode;
        std::memcpy(&rootNode, rootObject, 4);
        TreeWalk walk;
        if (walkTree(rootNode, f, walk) < 0) {
            problem(what + " has a damaged node");
            return;
        }
        if (!walk.ordered) problem(what + " is not in key order");
        if (!walk.shaped) problem(what + " has a wrong balance");
        compareItems(what, walk.seen, rows);
    }

    void compareItems(const std::string& what, const std::unordered_map<oid_t, int>& seen, const std::vector<oid_t>& rows)
    {
        size_t reported = 0;
        std::set<oid_t> rowSet(rows.begin(), rows.end());
        for (oid_t r : rows) {
            auto it = seen.find(r);
            int n = it == seen.end() ? 0 : it->second;
            if (n != 1 && reported++ < 5)
                problem(what + " holds row " + std::to_string(r) + " " + std::to_string(n) + " times");
        }
        for (auto& [id, n] : seen)
            if (!rowSet.count(id) && reported++ < 5) problem(what + " holds " + std::to_string(id) + ", not a row");
    }

    void checkHash(const std::string& table, const dbStoredField& f, const std::string& field,
                   const std::vector<oid_t>& rows)
    {
        std::string what = "table " + table + ": hash index of " + field;
        const auto* header = reinterpret_cast<const dbHashTable*>(internal(f.hashTable, dbHashTableMarker));
        if (header == nullptr || header->mask < 16383 || ((header->mask + 1) & header->mask) != 0) {
            problem(what + " has a damaged header");
            return;
        }
        std::unordered_map<oid_t, int> seen;
        size_t steps = 0, limit = size_t(root.indexUsed);
        for (uint64_t b = 0; b < header->mask; b++) {
            const char* page = internal(oid_t(header->page + b / 1024), dbPageObject);
            if (page == nullptr) {
                problem(what + " misses bucket page " + std::to_string(b / 1024));
                return;
            }
            oid_t itemId;
            std::memcpy(&itemId, page + 4 * (b % 1024), 4);
            while (itemId != 0) {
                const auto* item = reinterpret_cast<const dbHashTableItem*>(internal(itemId, dbHashTableItemMarker));
                if (item == nullptr || ++steps > limit) {
                    problem(what + " has a damaged chain in bucket " + std::to_string(b));
                    return;
                }
                seen[item->record] += 1;
                const byte* rec = row(item->record);
                if (rec != nullptr && keyOf(rec, f) == nullptr) {
                    problem(what + ": row " + std::to_string(item->record) + " has a damaged key");
                } else if (rec != nullptr) {
                    const byte* key = reinterpret_cast<const byte*>(keyOf(rec, f));
                    size_t length = f.type == dbField::tpString ? std::strlen(reinterpret_cast<const char*>(key)) : f.size;
                    uint32_t h = dbHashIndex::hashCode(key, length);
                    if (h != item->hash || h % header->mask != b)
                        problem(what + ": item of row " + std::to_string(item->record) + " has a wrong hash code");
                }
                itemId = item->next;
            }
        }
        compareItems(what, seen, rows);
    }

    void checkIndices(const std::string& table, uint64_t tablePos, uint64_t tableSize, const std::vector<oid_t>& rows)
    {
        uint32_t nFields = word(tablePos + 20), fieldsOffs = word(tablePos + 24);
        for (uint32_t i = 0; i < nFields; i++) {
            uint64_t e = tablePos + fieldsOffs + uint64_t(i) * sizeof(dbStoredField);
            if (e + sizeof(dbStoredField) > tablePos + tableSize) return;
            dbStoredField f;
            std::memcpy(&f, base + e, sizeof f);
            std::string field = e + f.nameOffs < tablePos + tableSize ? std::string(base + e + f.nameOffs) : "?";
            if (f.tTree != 0) checkTree(table, f, field, rows);
            if (f.hashTable != 0) checkHash(table, f, field, rows);
        }
    }

    // The stored definition rows are checked against: fixed size and the
    // entries of the table record.
    struct Layout {
        uint32_t fixedSize;
        std::vector<dbStoredField> fields;
        std::vector<bool> inArray;
    };

    bool layoutOf(uint64_t tablePos, uint64_t tableSize, Layout& layout) const
    {
        uint32_t nFields = word(tablePos + 20), fieldsOffs = word(tablePos + 24);
        layout.fixedSize = word(tablePos + 28);
        if (uint64_t(fieldsOffs) + uint64_t(nFields) * sizeof(dbStoredField) > tableSize) return false;
        for (uint32_t i = 0; i < nFields; i++) {
            uint64_t e = tablePos + fieldsOffs + uint64_t(i) * sizeof(dbStoredField);
            dbStoredField f;
            std::memcpy(&f, base + e, sizeof f);
            bool element = false;
            if (uint64_t(f.nameOffs) + f.nameSize <= tablePos + tableSize - e && f.nameSize > 0)
                element = std::string(base + e + f.nameOffs, f.nameSize - 1).find('[') != std::string::npos;
            layout.fields.push_back(f);
            layout.inArray.push_back(element);
        }
        return true;
    }

    bool rowFits(uint64_t pos, uint64_t size, const Layout& layout) const
    {
        if (size < layout.fixedSize) return false;
        for (size_t i = 0; i < layout.fields.size(); i++) {
            const dbStoredField& f = layout.fields[i];
            if (layout.inArray[i] || f.type == dbField::tpStructure) continue;
            if (uint64_t(f.offset) + f.size > layout.fixedSize) return false;
            if (f.type == dbField::tpString || f.type == dbField::tpArray) {
                uint32_t count = word(pos + f.offset), offs = word(pos + f.offset + 4);
                uint64_t bytes = f.type == dbField::tpString
                                     ? count
                                     : uint64_t(count) * (i + 1 < layout.fields.size() ? layout.fields[i + 1].size : 0);
                if (uint64_t(offs) + bytes > size) return false;
                if (f.type == dbField::tpString && (count == 0 || base[pos + offs + count - 1] != 0)) return false;
            }
        }
        return true;
    }

    void checkRowChain(const std::string& name, uint64_t tablePos, std::vector<oid_t>* rowsOut,
                       const Layout* layout = nullptr)
    {
        uint32_t nRows = word(tablePos + 32);
        oid_t first = word(tablePos + 40), last = word(tablePos + 44);
        oid_t prev = 0, id = first;
        uint32_t count = 0;
        while (id != 0) {
            uint64_t pos, size;
            if (!objectOf(id, pos, size) || (index[id] & dbInternalObjectMarker) != 0) {
                problem("table " + name + ": row chain holds " + std::to_string(id) + ", which is not a record");
                return;
            }
            if (size < sizeof(dbRecord)) {
                problem("table " + name + ": row " + std::to_string(id) + " is shorter than a row header");
                return;
            }
            if (word(pos + 8) != prev)
                problem("table " + name + ": row " + std::to_string(id) + " has a wrong previous link");
            if (++count > nRows) {
                problem("table " + name + ": row chain is longer than its row count " + std::to_string(nRows));
                return;
            }
            if (rowsOut != nullptr) rowsOut->push_back(id);
            if (layout != nullptr && !rowFits(pos, size, *layout))
                problem("table " + name + ": row " + std::to_string(id) + " does not fit the table's definition");
            prev = id;
            if (id == last) {
                // An uncommitted append may have left the last row's next link
                // set in a file that was not closed; the next open cuts it off.
                if (word(pos + 4) != 0 && !header.dirty)
                    problem("table " + name + ": last row " + std::to_string(id) + " has a next link");
                break;
            }
            id = word(pos + 4);
        }
        if (prev != last) problem("table " + name + ": row chain does not end at its last row");
        if (count != nRows)
            problem("table " + name + ": row count " + std::to_string(nRows) + " but " + std::to_string(count) +
                    " rows in the chain");
        report.rows += count;
    }

    void checkTables()
    {
        uint64_t pos, size;
        if (!objectOf(dbMetaTableId, pos, size) || size < 48) {
            problem("the table of tables (id 1) is missing");
            return;
        }
        std::vector<oid_t> tables;
        checkRowChain("Metatable", pos, &tables);
        report.rows = 0;
        for (oid_t t : tables) {
            uint64_t tpos, tsize;
            if (!objectOf(t, tpos, tsize) || tsize < 48) {
                problem("table record " + std::to_string(t) + " is too short");
                continue;
            }
            report.tables += 1;
            std::vector<oid_t> rows;
            std::string name = tableName(tpos, tsize);
            Layout layout;
            if (!layoutOf(tpos, tsize, layout)) {
                problem("table record of " + name + " is damaged");
                continue;
            }
            checkRowChain(name, tpos, &rows, &layout);
            checkIndices(name, tpos, tsize, rows);
        }
    }

    const char* base;
    uint64_t fileSize;
    dbHeader header;
    dbIndexRoot root;
    const uint32_t* index = nullptr;
    std::vector<Extent> extents;
    dbCheckReport report;
};

}  // namespace

dbCheckReport checkDatabaseImage(const char* image, size_t size)
{
    return Checker(image, size).run();
}
