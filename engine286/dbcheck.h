#pragma once
// Consistency check of a database file image: the committed object index,
// the allocation bitmap (no overlapping objects, every object's quanta
// marked, nothing marked that no object uses), the free id chain, and every
// table's row chain and row count.

#include <cstddef>
#include <string>
#include <vector>

struct dbCheckReport {
    std::vector<std::string> problems;
    size_t objects = 0;
    size_t tables = 0;
    size_t rows = 0;
    bool ok() const { return problems.empty(); }
};

// `image` is the whole file (mapped or read); it is not changed.
dbCheckReport checkDatabaseImage(const char* image, size_t size);
