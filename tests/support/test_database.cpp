#include "support/test_database.h"

#include <cstring>

oid_t TestDatabase::storeRecord(uint32_t size, uint32_t value)
{
    oid_t oid = allocateId();
    offs_t pos = allocate(size);
    setPos(oid, pos);
    auto* words = reinterpret_cast<uint32_t*>(getBase() + pos);
    words[0] = size;
    for (uint32_t i = 1; i < size / 4; i++) words[i] = value;
    return oid;
}

void TestDatabase::rewriteRecord(oid_t oid, uint32_t size, uint32_t value)
{
    auto* words = reinterpret_cast<uint32_t*>(putRow(oid, size));
    for (uint32_t i = 1; i < size / 4; i++) words[i] = value;
}

void TestDatabase::freeRecord(oid_t oid)
{
    offs_t pos = getPos(oid);
    uint32_t size = *reinterpret_cast<uint32_t*>(getBase() + pos);
    if (isShared(oid))
        cloneBitmap(pos, size);
    else
        deallocate(pos, size);
    freeId(oid);
}

bool TestDatabase::bitSet(offs_t pos)
{
    uint32_t q = pos / dbAllocationQuantum;
    const auto* bits = reinterpret_cast<const uint8_t*>(get(dbBitmapId + q / dbBitmapBitsPerPage));
    return (bits[(q % dbBitmapBitsPerPage) / 8] >> (q % 8)) & 1;
}

std::string describe(const dbCheckReport& report)
{
    std::string text;
    for (const std::string& p : report.problems) text += p + "\n";
    return text;
}
