#pragma once
// A fresh temporary folder for one test, removed with everything in it when
// the test ends.

#include <string>

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return dir; }
    std::string file(const std::string& name) const { return dir + "/" + name; }

private:
    std::string dir;
};

// Reads or writes a whole file.
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& data);
