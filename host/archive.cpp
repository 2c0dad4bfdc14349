// Error messages, volume names, MS-DOS date-time and the buffered streams
// used by both the archive writer and the reader.
#include "host/archive.h"
#include "host/archive_io.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

std::string_view archiveErrorMessage(ArchiveError code)
{
    switch (code) {
    case ArchiveError::none: return "";
    case ArchiveError::cannotReadFile: return "Cannot read file";
    case ArchiveError::overwritingFileFailed: return "Overwriting file failed";
    case ArchiveError::cannotReadArchive: return "Cannot read archive";
    case ArchiveError::cannotWriteArchive: return "Cannot write to archive";
    case ArchiveError::invalidArchiveType: return "Invalid archive type";
    case ArchiveError::compressionError: return "Compression error";
    case ArchiveError::cannotCreateTempFile: return "Cannot create temporary file to save the file IDs";
    }
    return "";
}

std::filesystem::path archiveVolumePath(const std::filesystem::path& previous, int volume)
{
    std::filesystem::path next = previous;
    next.replace_extension("." + archive_io::volumeDigits(volume));
    return next;
}

namespace archive_io {

namespace {
constexpr std::size_t streamBufferSize = 256 * 1024;
}

std::string volumeDigits(int volume)
{
    char text[16];
    std::snprintf(text, sizeof text, "%03d", ((volume % 1000) + 1000) % 1000);
    return text;
}

std::uint32_t dosDateTimeFromTime(std::time_t t)
{
    std::tm tm{};
    if (!localtime_r(&t, &tm) || tm.tm_year < 80)
        return std::uint32_t(1u << 5 | 1u) << 16; // 1980-01-01 00:00:00
    if (tm.tm_year > 80 + 127)
        return std::uint32_t(127u << 9 | 12u << 5 | 31u) << 16 | (23u << 11 | 59u << 5 | 29u);
    std::uint32_t date = std::uint32_t(tm.tm_year - 80) << 9 | std::uint32_t(tm.tm_mon + 1) << 5 |
                         std::uint32_t(tm.tm_mday);
    std::uint32_t time = std::uint32_t(tm.tm_hour) << 11 | std::uint32_t(tm.tm_min) << 5 |
                         std::uint32_t(std::min(tm.tm_sec, 59) / 2);
    return date << 16 | time;
}

std::time_t timeFromDosDateTime(std::uint32_t dos)
{
    std::uint32_t date = dos >> 16;
    std::uint32_t time = dos & 0xffff;
    std::tm tm{};
    tm.tm_year = int(date >> 9) + 80;
    tm.tm_mon = int((date >> 5) & 15) - 1;
    tm.tm_mday = int(date & 31);
    tm.tm_hour = int(time >> 11);
    tm.tm_min = int((time >> 5) & 63);
    tm.tm_sec = int(time & 31) * 2;
    tm.tm_isdst = -1;
    if (tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_hour > 23 || tm.tm_min > 59 ||
        tm.tm_sec > 59)
        return -1;
    return std::mktime(&tm);
}

std::string errnoText(int error)
{
    char text[256];
    // The GNU strerror_r returns the text, which may not be in our buffer.
    return strerror_r(error, text, sizeof text);
}

// ---- OutputFile

OutputFile::~OutputFile() { discard(); }

bool OutputFile::create(const std::filesystem::path& path)
{
    discard();
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error_ = errno;
        return false;
    }
    adopt(fd);
    return true;
}

void OutputFile::adopt(int fd)
{
    discard();
    fd_ = fd;
    buffer_.resize(streamBufferSize);
    used_ = 0;
    position_ = 0;
    error_ = 0;
}

bool OutputFile::writeThrough(const unsigned char* data, std::size_t size)
{
    while (size > 0) {
        ssize_t n = ::write(fd_, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error_ = errno;
            return false;
        }
        data += n;
        size -= std::size_t(n);
    }
    return true;
}

bool OutputFile::write(const void* data, std::size_t size)
{
    if (fd_ < 0 || error_ != 0)
        return false;
    auto bytes = static_cast<const unsigned char*>(data);
    position_ += std::int64_t(size);
    if (used_ + size <= buffer_.size()) {
        std::memcpy(buffer_.data() + used_, bytes, size);
        used_ += size;
        return true;
    }
    if (!flush())
        return false;
    if (size >= buffer_.size())
        return writeThrough(bytes, size);
    std::memcpy(buffer_.data(), bytes, size);
    used_ = size;
    return true;
}

bool OutputFile::writeInt32(std::int32_t value)
{
    unsigned char bytes[4];
    putInt32(bytes, value);
    return write(bytes, 4);
}

bool OutputFile::flush()
{
    if (fd_ < 0 || error_ != 0)
        return false;
    bool ok = writeThrough(buffer_.data(), used_);
    used_ = 0;
    return ok;
}

bool OutputFile::close()
{
    if (fd_ < 0)
        return false;
    bool ok = flush();
    if (::close(fd_) != 0 && ok) {
        error_ = errno;
        ok = false;
    }
    fd_ = -1;
    return ok;
}

void OutputFile::discard()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    used_ = 0;
}

// ---- InputFile

InputFile::~InputFile() { close(); }

bool InputFile::open(const std::filesystem::path& path)
{
    close();
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
        error_ = errno;
        return false;
    }
    buffer_.resize(streamBufferSize);
    begin_ = end_ = 0;
    position_ = 0;
    error_ = 0;
    return true;
}

void InputFile::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    begin_ = end_ = 0;
}

bool InputFile::fill()
{
    if (fd_ < 0 || error_ != 0)
        return false;
    for (;;) {
        ssize_t n = ::read(fd_, buffer_.data(), buffer_.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error_ = errno;
            return false;
        }
        begin_ = 0;
        end_ = std::size_t(n);
        return n > 0;
    }
}

long InputFile::readSome(void* data, std::size_t size)
{
    auto out = static_cast<unsigned char*>(data);
    std::size_t done = 0;
    while (done < size) {
        if (begin_ == end_ && !fill())
            break;
        std::size_t n = std::min(size - done, end_ - begin_);
        std::memcpy(out + done, buffer_.data() + begin_, n);
        begin_ += n;
        done += n;
    }
    position_ += std::int64_t(done);
    if (error_ != 0)
        return -1;
    return long(done);
}

bool InputFile::read(void* data, std::size_t size)
{
    return readSome(data, size) == long(size);
}

bool InputFile::readInt32(std::int32_t& value)
{
    unsigned char bytes[4];
    if (!read(bytes, 4))
        return false;
    value = getInt32(bytes);
    return true;
}

bool InputFile::skip(std::size_t size)
{
    while (size > 0) {
        if (begin_ == end_ && !fill())
            return false;
        std::size_t n = std::min(size, end_ - begin_);
        begin_ += n;
        size -= n;
        position_ += std::int64_t(n);
    }
    return true;
}

} // namespace archive_io
