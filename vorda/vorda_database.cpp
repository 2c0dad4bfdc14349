#include "vorda/vorda_database.h"

#include <unistd.h>

#include <clocale>
#include <climits>

bool vordaDatabase::open(const char* databaseName, const char* fileName, uint32_t waitLockTimeout,
                         unsigned commitDelay)
{
    std::setlocale(LC_ALL, "");
    std::setlocale(LC_NUMERIC, "C");  // numbers in pages and queries always use '.'
    if (programFolder.empty()) {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr) return false;
        programFolder = cwd;
    }
    dbName = databaseName;
    std::string name = fileName != nullptr ? std::string(fileName) : dbName + ".zrt";
    return dbDatabase::open(databaseName, name.c_str(), waitLockTimeout, commitDelay);
}
