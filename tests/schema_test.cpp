// Record descriptions, stored layout, record conversion and schema changes.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "engine286/cursor.h"
#include "engine286/datetime.h"
#include "engine286/describe.h"
#include "support/temp_dir.h"
#include "support/test_database.h"

namespace {

// Record types described at run time, so that one test can use several
// definitions of a table of the same name.
struct ByteThenInt {
    int8_t a;
    int32_t b;
    static dbFieldDescriptor* describe() { return dbFields<ByteThenInt>().field("a", &ByteThenInt::a).field("b", &ByteThenInt::b); }
};
struct IntThenByte {
    int32_t b;
    int8_t a;
    static dbFieldDescriptor* describe() { return dbFields<IntThenByte>().field("b", &IntThenByte::b).field("a", &IntThenByte::a); }
};
struct WithInner {
    struct Inner {
        int32_t x;
        static dbFieldDescriptor* describeComponents() { return dbFields<Inner>().field("x", &Inner::x); }
    } inner;
    const char* text;
    static dbFieldDescriptor* describe()
    {
        return dbFields<WithInner>().field("inner", &WithInner::inner).field("text", &WithInner::text);
    }
};
struct TwoTexts {
    const char* first;
    const char* second;
    static dbFieldDescriptor* describe() { return dbFields<TwoTexts>().field("first", &TwoTexts::first).field("second", &TwoTexts::second); }
};

TEST(LayoutTest, FieldOrderDecidesOffsetsAndFixedSize)
{
    dbTableDescriptor byteFirst("ByteThenInt", DETACHED_TABLE, sizeof(ByteThenInt), &ByteThenInt::describe);
    EXPECT_EQ(byteFirst.columns->storedOffset, 12);
    EXPECT_EQ(byteFirst.columns->next->storedOffset, 16);
    EXPECT_EQ(byteFirst.fixedSize, 20);
    dbTableDescriptor intFirst("IntThenByte", DETACHED_TABLE, sizeof(IntThenByte), &IntThenByte::describe);
    EXPECT_EQ(intFirst.columns->storedOffset, 12);
    EXPECT_EQ(intFirst.columns->next->storedOffset, 16);
    EXPECT_EQ(intFirst.fixedSize, 17);
}

TEST(LayoutTest, StructureAndStringFields)
{
    dbTableDescriptor table("WithInner", DETACHED_TABLE, sizeof(WithInner), &WithInner::describe);
    dbFieldDescriptor* inner = table.columns;
    EXPECT_EQ(inner->storedOffset, 12);
    EXPECT_EQ(inner->storedSize, 4);
    EXPECT_EQ(inner->alignment, 4);
    EXPECT_EQ(inner->components->storedOffset, 12);
    EXPECT_STREQ(inner->components->qualifiedName, "inner.x");
    dbFieldDescriptor* text = inner->next;
    EXPECT_EQ(text->type, dbField::tpString);
    EXPECT_EQ(text->storedOffset, 16);
    EXPECT_EQ(text->storedSize, 8);
    EXPECT_EQ(table.fixedSize, 24);
    EXPECT_EQ(table.nColumns, 2);
    EXPECT_EQ(table.nFields, 3);  // inner, inner.x, text
}

TEST(LayoutTest, SymbolTableKeepsTheFirstTag)
{
    const char* keyword = "tarnwickeKeywordForTest";
    EXPECT_EQ(dbSymbolTable::add(keyword, 77, true), 77);
    const char* again = "tarnwickeKeywordForTest";
    EXPECT_EQ(dbSymbolTable::add(again, 0, false), 77);
    EXPECT_EQ(again, keyword);  // interned: the same pointer
}

TEST(RecordTest, StoresTextsInTheVaryingPartAndFetchesPointersIntoIt)
{
    dbTableDescriptor table("TwoTexts", DETACHED_TABLE, sizeof(TwoTexts), &TwoTexts::describe);
    TwoTexts in{"ab", ""};
    size_t size = table.columns->storedSizeOf(reinterpret_cast<byte*>(&in), size_t(table.fixedSize));
    EXPECT_EQ(size, size_t(table.fixedSize) + 4);
    std::vector<byte> row(size);
    EXPECT_EQ(table.columns->store(row.data(), reinterpret_cast<byte*>(&in), size_t(table.fixedSize)), size);
    uint32_t words[4];
    std::memcpy(words, row.data() + 12, 16);
    EXPECT_EQ(words[0], 3u);
    EXPECT_EQ(words[1], uint32_t(table.fixedSize));
    EXPECT_EQ(words[2], 1u);
    EXPECT_EQ(words[3], uint32_t(table.fixedSize) + 3);

    TwoTexts nulls{nullptr, "x"};
    size = table.columns->storedSizeOf(reinterpret_cast<byte*>(&nulls), size_t(table.fixedSize));
    row.assign(size, 0xEE);
    table.columns->store(row.data(), reinterpret_cast<byte*>(&nulls), size_t(table.fixedSize));
    TwoTexts out{};
    table.columns->fetch(reinterpret_cast<byte*>(&out), row.data());
    EXPECT_STREQ(out.first, "");
    EXPECT_STREQ(out.second, "x");
    EXPECT_EQ(reinterpret_cast<const byte*>(out.second), row.data() + table.fixedSize + 1);
}

// ---- conversion of stored rows when a table's definition changes ----

struct ItemV1 {
    int32_t number;
    double ratio;
    const char* gone;
    static dbFieldDescriptor* describe()
    {
        return dbFields<ItemV1>().field("number", &ItemV1::number).field("ratio", &ItemV1::ratio).field("gone", &ItemV1::gone);
    }
};
struct Other {
    int32_t x;
    DB_TABLE_MEMBERS;
};
DB_TABLE(Other, "Other")
dbFieldDescriptor* Other::describeFields() { return dbFields<Other>().field("x", &Other::x); }
struct ItemV2 {
    int16_t number;  // narrower
    int32_t ratio;   // real to integer
    const char* added;
    dbReference<Other> link;
    static dbFieldDescriptor* describe()
    {
        return dbFields<ItemV2>()
            .field("number", &ItemV2::number)
            .field("ratio", &ItemV2::ratio)
            .field("added", &ItemV2::added)
            .field("link", &ItemV2::link);
    }
};
struct ItemBad {
    const char* number;  // an integer cannot become a text
    static dbFieldDescriptor* describe() { return dbFields<ItemBad>().field("number", &ItemBad::number); }
};

template <class T>
std::string runChild(const std::string& file, bool allowRemoval, void (*body)(dbDatabase&, dbTableDescriptor&))
{
    int fds[2];
    if (pipe(fds) != 0) return "pipe";
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], 2);  // capture the engine's messages
        dbTableDescriptor table("Item", nullptr, sizeof(T), &T::describe);
        dbDatabase db;
        db.setAllowFieldRemoval(allowRemoval);
        if (!db.open("schema", file.c_str())) _exit(1);
        body(db, table);
        db.close();
        _exit(0);
    }
    close(fds[1]);
    std::string out;
    char buf[256];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, size_t(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return std::to_string(WEXITSTATUS(status)) + ":" + out;
}

class SchemaChangeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string result = runChild<ItemV1>(file, false, [](dbDatabase& db, dbTableDescriptor& table) {
            ItemV1 rows[] = {{70000, -1.5, "a"}, {5, 2.9, "b"}};
            for (ItemV1& r : rows) dbAnyCursor::insert(table, reinterpret_cast<byte*>(&r));
            db.commit();
        });
        ASSERT_EQ(result, "0:");
    }
    TempDir dir;
    std::string file = dir.file("schema.zrt");
};

TEST_F(SchemaChangeTest, RowsAreConvertedOnOpenWithTheNewDefinition)
{
    std::string result = runChild<ItemV2>(file, true, [](dbDatabase& db, dbTableDescriptor& table) {
        ItemV2 row{};
        dbAnyCursor cursor(table, dbCursorForRead, reinterpret_cast<byte*>(&row));
        if (cursor.selectAll() != 2) _exit(10);
        if (row.number != 4464 || row.ratio != -1 || std::strcmp(row.added, "") != 0 || !row.link.isNull()) _exit(11);
        if (!cursor.next() || row.number != 5 || row.ratio != 2) _exit(12);
        dbCheckReport report = checkDatabaseImage(db.getBase(), db.getHeader()->size);
        if (!report.ok()) _exit(13);
        db.commit();
    });
    EXPECT_EQ(result, "0:");
    // The converted definition is stored: a third open sees no change.
    result = runChild<ItemV2>(file, false, [](dbDatabase& db, dbTableDescriptor& table) {
        ItemV2 row{};
        dbAnyCursor cursor(table, dbCursorForRead, reinterpret_cast<byte*>(&row));
        if (cursor.selectAll() != 2 || row.number != 4464) _exit(20);
        db.commit();
    });
    EXPECT_EQ(result, "0:");
}

TEST_F(SchemaChangeTest, RemovedFieldIsRefusedWithoutPermission)
{
    std::string result = runChild<ItemV2>(file, false, [](dbDatabase&, dbTableDescriptor&) {});
    EXPECT_EQ(result,
              "1:Incompatible class definition in application: table Item, field gone cannot be converted to the new "
              "definition\n");
}

TEST_F(SchemaChangeTest, UnconvertibleFieldIsRefusedAndTheFileKept)
{
    std::string before = readFile(file);
    std::string result = runChild<ItemBad>(file, true, [](dbDatabase&, dbTableDescriptor&) {});
    EXPECT_EQ(result,
              "1:Incompatible class definition in application: table Item, field number cannot be converted to the new "
              "definition\n");
    // The rows are still readable with the old definition.
    result = runChild<ItemV1>(file, false, [](dbDatabase& db, dbTableDescriptor& table) {
        ItemV1 row{};
        dbAnyCursor cursor(table, dbCursorForRead, reinterpret_cast<byte*>(&row));
        if (cursor.selectAll() != 2 || row.number != 70000 || std::strcmp(row.gone, "a") != 0) _exit(30);
        db.commit();
    });
    EXPECT_EQ(result, "0:");
}

// ---- date-time values ----

class DateTimeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* tz = std::getenv("TZ");
        saved = tz != nullptr ? tz : "";
        hadTz = tz != nullptr;
        setenv("TZ", "Asia/Hong_Kong", 1);
        tzset();
    }
    void TearDown() override
    {
        if (hadTz)
            setenv("TZ", saved.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    std::string saved;
    bool hadTz = false;
};

TEST_F(DateTimeTest, CalendarPartsInLocalTime)
{
    dbDateTime epoch(0);
    EXPECT_EQ(epoch.year(), 1970);
    EXPECT_EQ(epoch.month(), 1);
    EXPECT_EQ(epoch.day(), 1);
    EXPECT_EQ(epoch.hour(), 8);
    EXPECT_EQ(epoch.dayOfYear(), 1);
    EXPECT_EQ(epoch.dayOfWeek(), 5);  // Thursday
    dbDateTime leap(2004, 2, 29, 0, 0, 0);
    EXPECT_EQ(leap.dayOfYear(), 60);
    EXPECT_EQ(leap.year(), 2004);
    EXPECT_EQ(dbDateTime().year(), -1);  // no date
}

TEST_F(DateTimeTest, MethodBindingReadsTheStoredStructure)
{
    struct Dated {
        int8_t pad;
        dbDateTime when;
        static dbFieldDescriptor* describe() { return dbFields<Dated>().field("pad", &Dated::pad).field("when", &Dated::when); }
    };
    dbTableDescriptor table("Dated", DETACHED_TABLE, sizeof(Dated), &Dated::describe);
    Dated in{1, dbDateTime(2004, 2, 29, 10, 30, 0)};
    std::vector<byte> row(size_t(table.fixedSize));
    table.columns->store(row.data(), reinterpret_cast<byte*>(&in), size_t(table.fixedSize));
    dbFieldDescriptor* when = table.columns->next;
    auto interned = [](const char* name) {
        dbSymbolTable::add(name, 0, true);
        return name;
    };
    dbFieldDescriptor* year = when->findComponent(interned("year"));
    ASSERT_NE(year, nullptr);
    EXPECT_EQ(year->type, dbField::tpMethodInt4);
    int32_t result = 0;
    year->method->invoke(row.data(), &result);
    EXPECT_EQ(result, 2004);
    when->findComponent(interned("hour"))->method->invoke(row.data(), &result);
    EXPECT_EQ(result, 10);
}

}  // namespace
