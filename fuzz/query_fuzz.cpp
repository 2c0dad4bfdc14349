// Compiles and runs arbitrary query text against a small fixture table,
// some of whose fields have hash and T-tree indices.
// Whatever the text, the result must be a compile error, an evaluation
// error (dbException) or a selection of rows of the table: never a crash,
// a hang or a read outside a string. A selection must hold each row once,
// exactly the rows for which the condition holds when tested one by one
// (whether index searches or a scan found them), in ORDER BY order.
//
// The input is query text; the byte 0x01 ends a text element, and the byte
// after it picks a bound variable of one of the element kinds, after which
// the text goes on in a new element. So the fuzzer also tries every kind of
// parameter in every place.
//
// With the environment variable TARNWICKE_FUZZ_SEEDS naming a folder,
// start-up writes a seed corpus there:
//
//   TARNWICKE_FUZZ_SEEDS=fuzz/corpus-query query_fuzz -dict=fuzz/query.dict fuzz/corpus-query
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "engine286/compiler.h"
#include "engine286/cursor.h"
#include "engine286/datetime.h"
#include "engine286/describe.h"
#include "engine286/query.h"
#include "engine286/select.h"

namespace {

struct Fix {
    int32_t n;
    int8_t tiny;
    int16_t small;
    int64_t big;
    float f;
    double r;
    bool flag;
    const char* name;
    dbReference<Fix> next;
    dbDateTime when;
    dbArray<int8_t> bytes;
    dbArray<int32_t> nums;
    dbArray<double> reals;
    dbArray<dbReference<Fix>> links;
    unsigned char key[4];
    DB_TABLE_MEMBERS;
};

DB_TABLE(Fix, "Fix")

dbFieldDescriptor* Fix::describeFields()
{
    // Some fields have indices, so that selections also search them.
    dbFieldDescriptor* fields = dbFields<Fix>()
                                    .field("n", &Fix::n, dbField::Hashed | dbField::Indexed)
                                    .field("tiny", &Fix::tiny, dbField::Indexed)
                                    .field("small", &Fix::small)
                                    .field("big", &Fix::big, dbField::Hashed)
                                    .field("f", &Fix::f)
                                    .field("r", &Fix::r, dbField::Indexed)
                                    .field("flag", &Fix::flag)
                                    .field("name", &Fix::name, dbField::Hashed | dbField::Indexed)
                                    .field("next", &Fix::next, dbField::Hashed | dbField::Indexed)
                                    .field("when", &Fix::when, dbField::Indexed)
                                    .field("bytes", &Fix::bytes)
                                    .field("nums", &Fix::nums)
                                    .field("reals", &Fix::reals)
                                    .field("links", &Fix::links);
    auto* key = new dbFieldDescriptor("key", dbOffsetOf(&Fix::key), 4, 0);
    key->type = key->appType = dbField::tpRawBinary;
    return fields->join(key);
}

// Reports nothing; errors other than compile errors throw as the engine's do.
class QuietDatabase : public dbDatabase {
public:
    void handleError(int error, const char* msg, int arg) override
    {
        if (error == errQuery || error == errOpen) return;
        throw dbException(error, msg, arg);
    }
};

struct Fixture {
    std::string folder;
    QuietDatabase db;
    std::vector<oid_t> ids;
    std::string longName = std::string(700, 'q') + "needle" + std::string(100, 'z');

    Fixture()
    {
        char pattern[] = "/tmp/query-fuzz-XXXXXX";
        if (mkdtemp(pattern) == nullptr) std::abort();
        folder = pattern;
        if (!db.open("queryfuzz", (folder + "/fuzz.zrt").c_str())) std::abort();
        const char* names[] = {"ab", "xaby", "", "a%c", "\xe4\xb8\xad\xe6\x96\x87", longName.c_str(), "ab", "abc\xff"};
        for (int i = 0; i < 40; i++) {
            Fix row{};
            row.n = i * 7 % 23 - 10;
            row.tiny = int8_t(i * 50);
            row.small = int16_t(-i * 1000);
            row.big = int64_t(i % 5) << 40;
            row.f = float(i) / 4;
            row.r = (i % 11) * 1.5 - 2;
            row.flag = i % 2 == 0;
            row.name = names[i % 8];
            row.when = i % 7 == 3 ? dbDateTime() : dbDateTime(2000 + i % 9, i % 12 + 1, 10 + i % 17, i % 24, 2 * i % 60, 3 * i % 60);
            row.bytes = {int8_t(i), int8_t(-i)};
            if (i % 3 != 0) row.nums = {i, 10 * i, 100 * i};
            row.reals = {0.5 * i};
            row.key[0] = uint8_t(i);
            ids.push_back(dbCursor<Fix>::insert(row));
        }
        // References: a cycle through every row, and links to two others.
        dbCursor<Fix> c(dbCursorForUpdate);
        for (size_t i = 0; i < ids.size(); i++) {
            c.at(ids[i]);
            c->next = i % 9 == 2 ? dbReference<Fix>() : dbReference<Fix>(ids[(i + 1) % ids.size()]);
            c->links = {dbReference<Fix>(ids[(i + 2) % ids.size()]), dbReference<Fix>(ids[(i + 4) % ids.size()])};
            c.update();
        }
        db.commit();
    }
};

Fixture& fixture()
{
    static Fixture f;
    return f;
}

// The bound variables; some change between the two selects of an input.
struct Variables {
    bool b = true;
    int8_t i1 = -3;
    int16_t i2 = 300;
    int32_t i4 = 4;
    int64_t i8 = -1;
    float r4 = 0.25f;
    double r8 = 1.5;
    const char* s = "ab";
    const char* nullText = nullptr;
    dbReference<Fix> ref;
    dbReference<Fix> nullRef;
    dbArray<dbReference<Fix>> refs;
    dbArray<dbReference<Fix>>* refsPtr = &refs;
    dbArray<dbReference<Fix>>* nullRefsPtr = nullptr;
    unsigned char raw[4] = {2, 0, 0, 0};
};

void bind(dbQuery& q, Variables& v, unsigned kind)
{
    switch (kind % 16) {
    case 0: q, v.b; break;
    case 1: q, v.i1; break;
    case 2: q, v.i2; break;
    case 3: q, v.i4; break;
    case 4: q, v.i8; break;
    case 5: q, v.r4; break;
    case 6: q, v.r8; break;
    case 7: q.append(dbQueryElement::qVarString, v.s); break;
    case 8: q, &v.s; break;
    case 9: q, v.ref; break;
    case 10: q, v.refs; break;
    case 11: q, v.refsPtr; break;
    case 12: q.addRaw(v.raw); break;
    case 13: q, v.nullRef; break;
    case 14: q, &v.nullText; break;
    default: q, v.nullRefsPtr; break;
    }
}

void writeSeeds(const char* folder)
{
    const char* seeds[] = {
        "n = 1", "name like '%ab%'", "name not like 'a\\%' escape '\\'", "x in (1, 2.5)", "n in (1, 2.5)",
        "order by name desc", "n > 3 order by when.stamp desc, name", "start from first follow by next, links",
        "exists i: (nums[i] = 10)", "exists i: exists j: (i <> j and nums[i] = nums[j])",
        "next.next.name = 'ab'", "next != null and next.when.year = 2001", "'needle' in name",
        "upper(name) + string(n) = 'AB-10'", "2 ^ 10 = 1024 and 7 / 2 = 3", "r ^ 0.5 > 1",
        "length(nums) > 1 and nums[1] = 10", "key = \x01\x0c", "n = \x01\x03 and name = \x01\x08",
        "current = \x01\x09", "current in \x01\x0a", "start from \x01\x0b follow by links order by n",
        "n between 1 and 5 or name between 'a' and 'b'", "name[0] = 97 and flag = true",
        "(n and 3) = 1 or (n or 4) = 5", "integer(r) = 1 and real(n) = 1.0 and abs(n) = 3",
        "where n = 1 -- comment\n and name <> 'x'",
    };
    int i = 0;
    for (const char* s : seeds) {
        std::ofstream out(std::string(folder) + "/seed" + std::to_string(i++), std::ios::binary);
        out << s;
    }
}

// The selection against the condition tested row by row, and its order.
void checkSelection(Fixture& f, dbQuery& q, dbCursor<Fix>& cursor, const std::vector<oid_t>& selected)
{
    const auto* table = reinterpret_cast<const dbStoredTable*>(f.db.getRow(cursor.table->tableId));
    std::vector<oid_t> expected;
    try {
        for (oid_t id : f.ids)
            if (dbEvaluateCondition(&f.db, q.tree, id, table, &cursor)) expected.push_back(id);
    } catch (dbException&) {
        return;  // a row the selection did not need to test raises an error
    }
    std::vector<oid_t> found = selected;
    std::sort(found.begin(), found.end());
    std::sort(expected.begin(), expected.end());
    if (found != expected) std::abort();
    if (q.order != nullptr) {
        dbRowComparator comparator(&f.db, q.order, nullptr);
        for (size_t i = 1; i < selected.size(); i++)
            if (comparator.compare(selected[i - 1], selected[i]) > 0) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (const char* folder = std::getenv("TARNWICKE_FUZZ_SEEDS")) writeSeeds(folder);
    fixture();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Fixture& f = fixture();
    Variables v;
    v.ref = dbReference<Fix>(f.ids[1]);
    v.refs = {dbReference<Fix>(f.ids[0]), dbReference<Fix>(), dbReference<Fix>(f.ids[3])};

    // Text elements must stay in place while the query lives.
    std::vector<std::string> texts;
    texts.reserve(size + 1);
    dbQuery q;
    std::string piece;
    for (size_t i = 0; i < size; i++) {
        if (data[i] != 0x01) {
            piece += char(data[i]);
            continue;
        }
        texts.push_back(piece);
        q.append(dbQueryElement::qText, texts.back().c_str());
        piece.clear();
        if (i + 1 < size) bind(q, v, data[++i]);
    }
    texts.push_back(piece);
    q.append(dbQueryElement::qText, texts.back().c_str());

    for (int round = 0; round < 2; round++) {
        dbCursor<Fix> cursor;
        try {
            size_t n = cursor.select(q);
            std::vector<oid_t> selected;
            if (n != 0) {
                do selected.push_back(cursor.getOid());
                while (cursor.next() != nullptr);
            }
            if (selected.size() != n || n > f.ids.size()) std::abort();
            if (q.compiled() && q.startFrom == dbCompiledQuery::StartFromAny) checkSelection(f, q, cursor, selected);
        } catch (dbException&) {
        }
        f.db.commit();
        // The second select reuses the compiled form with other values.
        v.i4 = -10;
        v.s = "";
        v.ref = dbReference<Fix>(f.ids[4]);
        v.refs = {};
    }
    return 0;
}
