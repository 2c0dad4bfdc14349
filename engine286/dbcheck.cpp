#include "engine286/dbcheck.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine286/database.h"

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
        if (!inFile(root.indexOffset, uint64_t(root.indexCapacity) * 4) || root.indexUsed > root.indexCapacity ||
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
    void checkRowChain(const std::string& name, uint64_t tablePos, std::vector<oid_t>* rowsOut)
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
            checkRowChain(tableName(tpos, tsize), tpos, nullptr);
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
