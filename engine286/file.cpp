#include "engine286/file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {
constexpr size_t reservedRange = size_t(1) << 32;
constexpr size_t pageSize = 4096;
}

int MappedFile::open(const char* fileName, const char* name, bool ro, size_t initSize)
{
    close();
    readOnly = ro;
    int flags = ro ? O_RDONLY : (O_RDWR | O_CREAT);
    int h = ::open(fileName, flags | O_CLOEXEC, 0644);
    if (h < 0) return errno;
    struct stat st;
    if (fstat(h, &st) != 0) {
        int rc = errno;
        ::close(h);
        return rc;
    }
    if (uint64_t(st.st_size) > maxFileSize) {
        ::close(h);
        return EFBIG;
    }
    fd = h;
    if (!ro) touch();
    mappingName = name != nullptr ? name : "";
    size_t fileLength = size_t(st.st_size);
    size_t length = (!ro && fileLength == 0) ? initSize : fileLength;
    if (length > maxFileSize) length = maxFileSize;

    void* range = mmap(nullptr, reservedRange, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (range == MAP_FAILED) {
        int rc = errno;
        ::close(fd);
        fd = -1;
        return rc;
    }
    addr = static_cast<char*>(range);
    // A new or short file is extended with zeros to the mapped size.
    if (!ro && fileLength < length && ftruncate(fd, off_t(length)) != 0) {
        int rc = errno;
        close();
        return rc;
    }
    int rc = mapView(length);
    if (rc != 0) {
        close();
        return rc;
    }
    writtenAhead = fileLength;
    // Bring the existing part of the file into memory now.
    volatile char sink = 0;
    for (size_t off = 0; off < fileLength; off += pageSize) sink = sink + addr[off];
    (void)sink;
    return 0;
}

int MappedFile::mapView(size_t length)
{
    if (length == 0) {
        size = 0;
        return 0;
    }
    int prot = readOnly ? PROT_READ : (PROT_READ | PROT_WRITE);
    void* p = mmap(addr, length, prot, MAP_SHARED | MAP_FIXED, fd, 0);
    if (p == MAP_FAILED) return errno;
    size = length;
    return 0;
}

int MappedFile::setSize(size_t newSize, const char* name, bool /*zeroFill*/)
{
    if (fd < 0) return EBADF;
    if (newSize > maxFileSize) return EFBIG;
    mappingName = name != nullptr ? name : "";
    struct stat st;
    if (fstat(fd, &st) != 0) return errno;
    // Growing the file fills the new part with zeros; a size another process
    // has already set is left as it is, with what it wrote there. The new
    // size needs no sync of its own: the commit's flush of the mapping
    // makes it durable together with the data written there.
    if (!readOnly && size_t(st.st_size) < newSize) {
        if (ftruncate(fd, off_t(newSize)) != 0) return errno;
    }
    if (newSize < size) {
        writtenAhead = std::min(writtenAhead, newSize);
        // Give the tail back to the reservation.
        void* p = mmap(addr + newSize, size - newSize, PROT_NONE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1, 0);
        if (p == MAP_FAILED) {
            int rc = errno;
            std::printf("CreateFileMapping failed: %d\n", rc);
            return rc;
        }
    }
    return mapView(newSize);
}

void MappedFile::markAsDirty(size_t offset, size_t length)
{
    // Filling fresh pages one by one costs two faults each (read, then
    // write); faulting them in writable a megabyte at a time is far cheaper.
    // A hint only: where it fails the pages fault in when written.
    constexpr size_t step = size_t(1) << 20;
    size_t end = offset + length;
    if (readOnly || addr == nullptr || end <= writtenAhead) return;
    size_t from = std::max(offset, writtenAhead) & ~(pageSize - 1);
    size_t to = std::min(size, (end + step - 1) & ~(step - 1));
    if (to > from) ::madvise(addr + from, to - from, MADV_POPULATE_WRITE);
    writtenAhead = std::max(writtenAhead, to);
}

int MappedFile::flush()
{
    return flush(0, size);
}

int MappedFile::flush(size_t offset, size_t length)
{
    if (addr == nullptr || size == 0) return 0;
    size_t begin = offset & ~(pageSize - 1);
    size_t end = offset + length;
    if (end > size) end = size;
    if (begin >= end) return 0;
    if (msync(addr + begin, end - begin, MS_SYNC) != 0) return errno;
    return 0;
}

int MappedFile::close()
{
    int rc = 0;
    if (addr != nullptr) {
        if (munmap(addr, reservedRange) != 0) rc = errno;
        addr = nullptr;
    }
    size = 0;
    writtenAhead = 0;
    mappingName.clear();
    if (fd >= 0) {
        if (::close(fd) != 0 && rc == 0) rc = errno;
        fd = -1;
    }
    return rc;
}

int MappedFile::touch()
{
    if (fd < 0) return EBADF;
    timespec times[2];
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_nsec = UTIME_NOW;
    times[0].tv_sec = times[1].tv_sec = 0;
    return futimens(fd, times) == 0 ? 0 : errno;
}

void MappedFile::errorText(int code, char* buf, size_t bufSize)
{
    if (bufSize == 0) return;
    char tmp[256];
    const char* text = nullptr;
    if (code > 0 && code < 4096) {
        text = strerror_r(code, tmp, sizeof tmp);  // GNU form: returns the text
        if (text != nullptr && std::strncmp(text, "Unknown error", 13) == 0) text = nullptr;
    }
    if (text != nullptr)
        std::snprintf(buf, bufSize, "%s", text);
    else
        std::snprintf(buf, bufSize, "unknown error code %u", unsigned(code));
}
