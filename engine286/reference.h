#pragma once
// A reference to a record of table T, held by records as its object id.

#include "engine286/database.h"

template <class T>
class dbReference {
public:
    using dbReferencedTable = T;
    dbReference() = default;
    explicit dbReference(oid_t id) : oid(id) {}
    oid_t getOid() const { return oid; }
    bool isNull() const { return oid == 0; }
    bool operator==(const dbReference& other) const { return oid == other.oid; }
    bool operator!=(const dbReference& other) const { return oid != other.oid; }

private:
    oid_t oid = 0;
};
