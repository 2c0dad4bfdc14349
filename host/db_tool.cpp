#include "host/db_tool.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ostream>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "app/tables.h"
#include "engine286/class.h"
#include "engine286/cursor.h"
#include "engine286/dbcheck.h"
#include "host/archive.h"
#include "engine286/query.h"

ReadOnlyImage::ReadOnlyImage(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size < off_t(dbPageSize)) {
        error = path + ": not a database file (too short)";
        ::close(fd);
        return;
    }
    if (uint64_t(st.st_size) > 0xFFFFFFFFull) {
        error = path + ": not a database file (4 GB or more)";
        ::close(fd);
        return;
    }
    void* p = mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (p == MAP_FAILED) {
        error = path + ": " + std::strerror(errno);
        return;
    }
    base = static_cast<const char*>(p);
    length = size_t(st.st_size);
    const dbHeader& h = header();
    if (h.majorVersion != dbMajorVersion || h.minorVersion != dbMinorVersion || h.initialized != 1 || h.curr > 1)
        error = path + ": not a database file of this format";
}

ReadOnlyImage::~ReadOnlyImage()
{
    if (base != nullptr) munmap(const_cast<char*>(base), length);
}

const char* ReadOnlyImage::object(oid_t oid) const
{
    const dbIndexRoot& root = header().root[header().curr];
    if (oid == 0 || oid >= root.indexUsed || uint64_t(root.indexOffset) + 4ull * root.indexUsed > length) return nullptr;
    uint32_t entry;
    std::memcpy(&entry, base + root.indexOffset + 4ull * oid, 4);
    if (entry & (dbFreeHandleMarker | dbInternalObjectMarker)) return nullptr;
    if (uint64_t(entry) + sizeof(dbRecord) > length) return nullptr;
    uint32_t size;
    std::memcpy(&size, base + entry, 4);
    if (size < sizeof(dbRecord) || uint64_t(entry) + size > length) return nullptr;
    return base + entry;
}

namespace {

const char* usage =
    "usage: tarnwicke-db info FILE\n"
    "       tarnwicke-db check FILE\n"
    "       tarnwicke-db dump FILE TABLE\n"
    "       tarnwicke-db query FILE TABLE CONDITION\n"
    "       tarnwicke-db backup FILE ARCHIVE.zrb\n"
    "       tarnwicke-db restore ARCHIVE.zrb FOLDER\n";

struct TableInfo {
    oid_t id;
    const dbStoredTable* table;
    uint32_t size;
};

// The tables of the file: the rows of the table of tables.
std::vector<TableInfo> listTables(const ReadOnlyImage& image)
{
    std::vector<TableInfo> tables;
    const char* meta = image.object(dbMetaTableId);
    if (meta == nullptr) return tables;
    const auto* metaTable = reinterpret_cast<const dbStoredTable*>(meta);
    oid_t id = metaTable->firstRow;
    for (uint32_t n = 0; id != 0 && n < metaTable->nRows; n++) {
        const char* rec = image.object(id);
        if (rec == nullptr) break;
        const auto* table = reinterpret_cast<const dbStoredTable*>(rec);
        if (table->header.size < sizeof(dbStoredTable)) break;
        tables.push_back({id, table, table->header.size});
        if (id == metaTable->lastRow) break;
        id = table->header.next;
    }
    return tables;
}

// A text inside an object, or "" when it does not lie within it.
std::string textAt(const char* object, uint32_t objectSize, uint64_t offs, uint64_t size)
{
    if (size == 0 || offs + size > objectSize) return "";
    return std::string(object + offs, size - 1);
}

std::string tableName(const TableInfo& t)
{
    return textAt(reinterpret_cast<const char*>(t.table), t.size, t.table->nameOffs, t.table->nameSize);
}

void jsonString(std::ostream& out, const std::string& s)
{
    out << '"';
    static const char hex[] = "0123456789abcdef";
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '"' || c == '\\') {
            out << '\\' << char(c);
            i++;
        } else if (c < 0x20) {
            out << "\\u00" << hex[c >> 4] << hex[c & 15];
            i++;
        } else if (c < 0x80) {
            out << char(c);
            i++;
        } else {
            // Pass valid UTF-8 sequences through; replace stray bytes.
            int len = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
            bool valid = len > 0 && i + size_t(len) <= s.size();
            for (int k = 1; valid && k < len; k++) valid = (static_cast<unsigned char>(s[i + size_t(k)]) & 0xC0) == 0x80;
            if (valid) {
                out << s.substr(i, size_t(len));
                i += size_t(len);
            } else {
                out << "\\ufffd";
                i++;
            }
        }
    }
    out << '"';
}

struct FieldEntry {
    std::string name;
    uint32_t type, offset, size;
};

std::vector<FieldEntry> fieldsOf(const TableInfo& t)
{
    std::vector<FieldEntry> fields;
    const char* rec = reinterpret_cast<const char*>(t.table);
    uint64_t first = t.table->fieldsOffs;
    for (uint32_t i = 0; i < t.table->nFields; i++) {
        uint64_t e = first + uint64_t(i) * sizeof(dbStoredField);
        if (e + sizeof(dbStoredField) > t.size) break;
        dbStoredField f;
        std::memcpy(&f, rec + e, sizeof f);
        fields.push_back({textAt(rec, t.size, e + f.nameOffs, f.nameSize), f.type, f.offset, f.size});
    }
    return fields;
}

// Writes one stored value as JSON; false when it does not fit the row.
bool jsonValue(std::ostream& out, const char* row, uint32_t rowSize, uint32_t type, uint64_t offs)
{
    auto fits = [&](uint64_t n) { return offs + n <= rowSize; };
    switch (type) {
    case dbField::tpBool:
        if (!fits(1)) return false;
        out << (row[offs] ? "true" : "false");
        return true;
    case dbField::tpInt1:
        if (!fits(1)) return false;
        out << int(int8_t(row[offs]));
        return true;
    case dbField::tpInt2: {
        if (!fits(2)) return false;
        int16_t v;
        std::memcpy(&v, row + offs, 2);
        out << v;
        return true;
    }
    case dbField::tpInt4: {
        if (!fits(4)) return false;
        int32_t v;
        std::memcpy(&v, row + offs, 4);
        out << v;
        return true;
    }
    case dbField::tpReference: {
        if (!fits(4)) return false;
        uint32_t v;
        std::memcpy(&v, row + offs, 4);
        out << v;
        return true;
    }
    case dbField::tpInt8: {
        if (!fits(8)) return false;
        int64_t v;
        std::memcpy(&v, row + offs, 8);
        out << v;
        return true;
    }
    case dbField::tpReal4: {
        if (!fits(4)) return false;
        float v;
        std::memcpy(&v, row + offs, 4);
        out << v;
        return true;
    }
    case dbField::tpReal8: {
        if (!fits(8)) return false;
        double v;
        std::memcpy(&v, row + offs, 8);
        out << v;
        return true;
    }
    case dbField::tpString: {
        if (!fits(8)) return false;
        uint32_t size, textOffs;
        std::memcpy(&size, row + offs, 4);
        std::memcpy(&textOffs, row + offs + 4, 4);
        jsonString(out, textAt(row, rowSize, textOffs, size));
        return true;
    }
    default:
        out << "null";
        return true;
    }
}

// One row as a JSON object on a line of its own: its id and its fields.
void writeRow(std::ostream& out, oid_t id, const char* row, const std::vector<FieldEntry>& fields)
{
    uint32_t rowSize = reinterpret_cast<const dbRecord*>(row)->size;
    out << "{\"oid\":" << id;
    for (size_t i = 0; i < fields.size(); i++) {
        const FieldEntry& f = fields[i];
        if (f.type == dbField::tpStructure || f.name.find("[]") != std::string::npos) continue;
        out << ",";
        jsonString(out, f.name);
        out << ":";
        if (f.type == dbField::tpArray) {
            // Arrays of scalars or references: the element entry follows.
            uint32_t count = 0, offs = 0;
            if (f.offset + 8ull <= rowSize) {
                std::memcpy(&count, row + f.offset, 4);
                std::memcpy(&offs, row + f.offset + 4, 4);
            }
            uint32_t elemType = i + 1 < fields.size() ? fields[i + 1].type : uint32_t(dbField::tpUnknown);
            uint32_t elemSize = i + 1 < fields.size() ? fields[i + 1].size : 0;
            out << "[";
            for (uint32_t k = 0; k < count && elemSize != 0; k++) {
                if (k) out << ",";
                if (!jsonValue(out, row, rowSize, elemType, uint64_t(offs) + uint64_t(k) * elemSize)) break;
            }
            out << "]";
        } else if (!jsonValue(out, row, rowSize, f.type, f.offset)) {
            out << "null";
        }
    }
    out << "}\n";
}

int info(const ReadOnlyImage& image, std::ostream& out)
{
    const dbHeader& h = image.header();
    out << "size: " << h.size << " (file " << image.size() << ")\n"
        << "committed root: " << h.curr << "\n"
        << "closed cleanly: " << (h.dirty ? "no" : "yes") << "\n"
        << "format: " << h.majorVersion << "." << h.minorVersion << "\n";
    for (int r = 0; r < 2; r++) {
        const dbIndexRoot& root = h.root[r];
        out << "root " << r << ": index at " << root.indexOffset << ", capacity " << root.indexCapacity << ", used "
            << root.indexUsed << ", shadow at " << root.shadowIndexOffset << ", free list head " << root.freeListHead
            << "\n";
    }
    out << "tables:\n";
    for (const TableInfo& t : listTables(image))
        out << "  " << tableName(t) << ": " << t.table->nRows << " rows, " << t.table->nColumns << " columns, fixed size "
            << t.table->fixedSize << "\n";
    return 0;
}

int check(const ReadOnlyImage& image, std::ostream& out, std::ostream& err)
{
    dbCheckReport report = checkDatabaseImage(image.data(), image.size());
    if (!report.ok()) {
        err << report.problems.size() << " problem(s) found:\n";
        for (const std::string& p : report.problems) err << "  " << p << "\n";
        return 1;
    }
    out << "ok: " << report.objects << " objects, " << report.tables << " tables, " << report.rows << " rows\n";
    return 0;
}

int dump(const ReadOnlyImage& image, const std::string& name, std::ostream& out, std::ostream& err)
{
    for (const TableInfo& t : listTables(image)) {
        if (tableName(t) != name) continue;
        std::vector<FieldEntry> fields = fieldsOf(t);
        oid_t id = t.table->firstRow;
        for (uint32_t n = 0; id != 0 && n < t.table->nRows; n++) {
            const char* row = image.object(id);
            if (row == nullptr) {
                err << "row " << id << " of table " << name << " is not a record\n";
                return 1;
            }
            writeRow(out, id, row, fields);
            if (id == t.table->lastRow) break;
            id = reinterpret_cast<const dbRecord*>(row)->next;
        }
        return 0;
    }
    err << "no table named " << name << "\n";
    return 2;
}

// Selects the rows of a table that satisfy a condition and writes them as
// dump does. The database is opened read-only: nothing is ever written, and
// only tables whose stored definition is the program's can be queried.
int query(const std::string& path, const std::string& name, const char* condition, std::ostream& out,
          std::ostream& err)
{
    linkApplicationTables();
    dbDatabase db(dbDatabase::dbReadOnly);
    if (!db.open("Tarnwicke", path.c_str())) {
        err << path << ": cannot be opened\n";
        return 2;
    }
    int status = 0;
    dbTableDescriptor* table = db.findTable(name.c_str());
    if (table == nullptr) {
        err << "no table named " << name << " with the program's definition\n";
        status = 2;
    } else {
        db.beginTransaction(dbDatabase::dbSharedLock);
        const char* tableRecord = db.getRow(table->tableId);
        TableInfo info{table->tableId, reinterpret_cast<const dbStoredTable*>(tableRecord),
                       reinterpret_cast<const dbRecord*>(tableRecord)->size};
        std::vector<FieldEntry> fields = fieldsOf(info);
        std::vector<byte> buffer(size_t(table->appSize) + 8);
        dbAnyCursor cursor(*table, dbCursorForRead, buffer.data());
        cursor.fetchOnMove = false;
        dbQuery q(condition);
        try {
            cursor.select(q, dbCursorForRead);
            if (!q.compiled()) {
                status = 2;  // the compiler has said why
            } else if (cursor.first()) {
                do writeRow(out, cursor.getOid(), db.getRow(cursor.getOid()), fields);
                while (cursor.next());
            }
        } catch (dbException&) {
            status = 2;  // the error handler has said why
        }
    }
    db.commit();
    db.close();
    return status;
}

}  // namespace

namespace {

// Archives a database file. The file is opened read-only and a shared lock
// is held while it is copied, so a running program's writers wait and the
// copy is one committed state.
int backup(const std::string& file, const std::string& archivePath, std::ostream& out, std::ostream& err)
{
    std::filesystem::path path(file);
    std::string name = path.stem().string();
    dbDatabase db(dbDatabase::dbReadOnly);
    std::ostringstream messages;
    if (!db.open(name.c_str(), file.c_str())) {
        err << file << ": cannot be opened for the backup\n";
        return 1;
    }
    db.beginTransaction(dbDatabase::dbSharedLock);
    BackupArchive archive;
    ArchiveResult result = archive.backup({path}, archivePath);
    db.commit();
    db.close();
    if (!result.ok()) {
        err << archivePath << ": " << result.message() << (result.detail.empty() ? "" : " (" + result.detail + ")") << "\n";
        return 1;
    }
    out << "backed up " << file << " to " << archivePath << "\n";
    return 0;
}

// Unpacks an archive into a folder. Each file replaces the one of its name
// only after the whole archive was read; on any error nothing changes.
int restore(const std::string& archivePath, const std::string& folder, std::ostream& out, std::ostream& err)
{
    BackupArchive archive;
    ArchiveResult result = archive.restore(archivePath, folder);
    if (!result.ok()) {
        err << archivePath << ": " << result.message() << (result.detail.empty() ? "" : " (" + result.detail + ")")
            << "; nothing was changed\n";
        return 1;
    }
    out << "restored " << archivePath << " into " << folder << "\n";
    return 0;
}

}  // namespace

int runDbTool(int argc, char** argv, std::ostream& out, std::ostream& err)
{
    if (argc >= 4 && std::string(argv[1]) == "backup") return backup(argv[2], argv[3], out, err);
    if (argc >= 4 && std::string(argv[1]) == "restore") return restore(argv[2], argv[3], out, err);
    if (argc < 3) {
        err << usage;
        return 2;
    }
    std::string command = argv[1];
    if (command != "info" && command != "check" && command != "dump" && command != "query") {
        err << usage;
        return 2;
    }
    if (command == "query") {
        if (argc < 5) {
            err << usage;
            return 2;
        }
        return query(argv[2], argv[3], argv[4], out, err);
    }
    ReadOnlyImage image(argv[2]);
    if (!image.ok()) {
        err << image.errorText() << "\n";
        return command == "check" ? 1 : 2;
    }
    if (command == "info") return info(image, out);
    if (command == "check") return check(image, out, err);
    if (argc < 4) {
        err << usage;
        return 2;
    }
    return dump(image, argv[3], out, err);
}
