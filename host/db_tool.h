#pragma once
// The administrators' command-line tool for database files: tarnwicke-db.

#include <iosfwd>
#include <string>

#include "engine286/database.h"

// Runs one command; returns the process exit status (0 ok, 1 problems found,
// 2 usage or file errors).
int runDbTool(int argc, char** argv, std::ostream& out, std::ostream& err);

// A database file mapped read-only; it is never changed.
class ReadOnlyImage {
public:
    explicit ReadOnlyImage(const std::string& path);
    ~ReadOnlyImage();
    ReadOnlyImage(const ReadOnlyImage&) = delete;
    ReadOnlyImage& operator=(const ReadOnlyImage&) = delete;
    bool ok() const { return error.empty(); }
    const std::string& errorText() const { return error; }
    const char* data() const { return base; }
    size_t size() const { return length; }
    const dbHeader& header() const { return *reinterpret_cast<const dbHeader*>(base); }
    // The committed object at an id, or null.
    const char* object(oid_t oid) const;

private:
    std::string error;
    const char* base = nullptr;
    size_t length = 0;
};
