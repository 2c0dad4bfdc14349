// Opens damaged database files: a database made at start-up (a table with
// texts, a T-tree and a hash index, some rows) is changed at the places the
// input names, then checked with the consistency checker and opened (and
// closed) by the engine. Neither may crash, whatever the damage: open
// refuses a file whose structure is damaged. The contents of rows are the
// checker's to judge.
//
// Input: records of five bytes, a little-endian offset into the file and the
// byte to put there.
//
//   db_open_fuzz -max_len=400 corpus-db

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "engine286/cursor.h"
#include "engine286/dbcheck.h"
#include "engine286/describe.h"

namespace fs = std::filesystem;

namespace {

struct Row {
    int32_t number;
    const char* code;
    const char* text;
    DB_TABLE_MEMBERS;
};
DB_TABLE(Row, "Row")
dbFieldDescriptor* Row::describeFields()
{
    return dbFields<Row>()
        .field("number", &Row::number, dbField::Indexed)
        .field("code", &Row::code, dbField::Hashed)
        .field("text", &Row::text);
}

// Reports errors the engine's way but without printing them.
class QuietDatabase : public dbDatabase {
public:
    using dbDatabase::dbDatabase;
    void handleError(int error, const char* msg, int arg) override
    {
        switch (error) {
        case errQuery:
        case errOpen:
        case errInverseReference:
            return;
        case errNone:
        case errArithmetic:
        case errIndexRange:
        case errFile:
        case errNoMemory:
        case errUpgradeDeadlock:
        case errNullReference:
            throw dbException(error, msg, arg);
        default:
            return;
        }
    }
};

std::string folder;
std::string file;
std::string image;

void writeBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

void makeBase()
{
    char pattern[] = "/tmp/db-open-fuzz-XXXXXX";
    folder = mkdtemp(pattern);
    file = folder + "/fuzz.zrt";
    dbDatabase db(dbDatabase::dbReadWrite, 0, dbDefaultExtensionQuantum, 100);
    if (!db.open("fuzz", file.c_str())) std::abort();
    for (int i = 0; i < 200; i++) {
        std::string code = "c" + std::to_string(i % 37);
        std::string text(size_t(i % 50), char('a' + i % 26));
        Row r{i, code.c_str(), text.c_str()};
        dbCursor<Row>::insert(r);
    }
    db.commit();
    db.close();
    std::ifstream in(file, std::ios::binary);
    image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (image.empty()) makeBase();
    std::string damaged = image;
    for (size_t i = 0; i + 5 <= size; i += 5) {
        uint32_t offset;
        std::memcpy(&offset, data + i, 4);
        damaged[offset % damaged.size()] = char(data[i + 4]);
    }
    checkDatabaseImage(damaged.data(), damaged.size());
    writeBytes(file, damaged);

    QuietDatabase db(dbDatabase::dbReadWrite, 0, dbDefaultExtensionQuantum, 100);
    if (db.open("fuzz", file.c_str())) db.close();
    return 0;
}
