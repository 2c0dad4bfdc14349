#pragma once
// The database file, mapped into memory as a whole.
//
// The file is mapped at the start of a 4 GB range of address space reserved
// at open, so growing the file never moves the view: pointers into the file
// stay valid for as long as the file is open.

#include <cstddef>
#include <cstdint>
#include <string>

class MappedFile {
public:
    // Largest file the engine addresses (offsets are 32-bit).
    static constexpr uint64_t maxFileSize = 0xFFFFFFFFull;

    MappedFile() = default;
    ~MappedFile() { close(); }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // Each returns 0 or an errno value. A file of 4 GB or more gives EFBIG.
    int open(const char* fileName, const char* mappingName, bool readOnly, size_t initSize);
    int setSize(size_t newSize, const char* mappingName, bool zeroFill = true);
    int flush();
    int flush(size_t offset, size_t length);
    int close();
    int touch();
    // Told of each new allocation before it is written: pages past the
    // part of the file in use so far are faulted in writable a step ahead.
    void markAsDirty(size_t offset, size_t length);

    char* getAddr() const { return addr; }
    size_t getSize() const { return size; }
    bool isOpen() const { return fd >= 0; }

    // The system's text for an error code, or "unknown error code %u".
    static void errorText(int code, char* buf, size_t bufSize);

private:
    int mapView(size_t length);

    int fd = -1;
    bool readOnly = false;
    std::string mappingName;
    char* addr = nullptr;  // start of the reserved range and of the view
    size_t size = 0;
    size_t writtenAhead = 0;  // pages below this were in use or are faulted in
};
