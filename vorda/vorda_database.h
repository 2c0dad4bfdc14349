#pragma once
// The system's database object: opens a database by bare name as the file
// "<name>.zrt" in the folder the program was started in.

#include <string>

#include "engine286/database.h"

class vordaDatabase : public dbDatabase {
public:
    using dbDatabase::dbDatabase;

    bool open(const char* databaseName, const char* fileName = nullptr,
              uint32_t waitLockTimeout = INFINITE_WAIT, unsigned commitDelay = 0);

    // The folder the program was started in (no trailing slash), recorded
    // at the first open.
    std::string programFolder;
    std::string dbName;
};
