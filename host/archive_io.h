// Pieces shared by the archive writer and reader: the fixed byte strings of
// the format, little-endian integers, MS-DOS date-time conversion and small
// buffered file streams over POSIX descriptors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace archive_io {

// Every segment begins with these four bytes.
inline constexpr char segmentSignature[4] = {'E', 'C', '2', '\0'};
// A volume break is this text followed by three digits.
inline constexpr std::string_view volumeBreakPrefix = "NEXT:DISK";
inline constexpr std::int32_t volumeBreakLength = 12;
// An entry of this name holds a list of file identities; readers skip it.
inline constexpr std::string_view fileListName = "FILE:LIST";
// Volume numbers have three digits in names and markers.
inline constexpr int maxVolumes = 999;

inline void putInt32(unsigned char* p, std::int32_t value)
{
    auto u = static_cast<std::uint32_t>(value);
    p[0] = static_cast<unsigned char>(u);
    p[1] = static_cast<unsigned char>(u >> 8);
    p[2] = static_cast<unsigned char>(u >> 16);
    p[3] = static_cast<unsigned char>(u >> 24);
}

inline std::int32_t getInt32(const unsigned char* p)
{
    std::uint32_t u = std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
                      std::uint32_t(p[3]) << 24;
    return static_cast<std::int32_t>(u);
}

// Local time to MS-DOS date (high 16 bits) and time (low 16 bits), seconds
// rounded down to even; times outside 1980..2107 are clamped to that range.
std::uint32_t dosDateTimeFromTime(std::time_t t);
// The reverse, in local time; -1 when the fields name no representable time.
std::time_t timeFromDosDateTime(std::uint32_t dos);

// "000".."999": the last three digits of the number.
std::string volumeDigits(int volume);

// Sequential writer with its own buffer that tracks how many bytes it has
// taken since it was opened.
class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();

    // Creates or truncates the file.
    bool create(const std::filesystem::path& path);
    // Takes ownership of an open descriptor.
    void adopt(int fd);

    bool write(const void* data, std::size_t size);
    bool writeInt32(std::int32_t value);
    bool flush();
    // Flushes and closes; false when any write failed.
    bool close();
    // Closes without caring about errors (for abandoned files).
    void discard();

    int fd() const { return fd_; }
    bool isOpen() const { return fd_ >= 0; }
    std::int64_t position() const { return position_; }
    // errno of the first failure, 0 if none.
    int error() const { return error_; }

private:
    bool writeThrough(const unsigned char* data, std::size_t size);

    int fd_ = -1;
    std::vector<unsigned char> buffer_;
    std::size_t used_ = 0;
    std::int64_t position_ = 0;
    int error_ = 0;
};

// Sequential reader with its own buffer.
class InputFile {
public:
    InputFile() = default;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile();

    bool open(const std::filesystem::path& path);
    void close();

    // Reads exactly size bytes; false at the end of the file or on an error.
    bool read(void* data, std::size_t size);
    bool readInt32(std::int32_t& value);
    // Reads up to size bytes, fewer only at the end of the file; -1 on error.
    long readSome(void* data, std::size_t size);
    // Skips exactly size bytes.
    bool skip(std::size_t size);

    int fd() const { return fd_; }
    bool isOpen() const { return fd_ >= 0; }
    // Bytes consumed since the file was opened.
    std::int64_t position() const { return position_; }
    // errno of the first failure, 0 if the file merely ended.
    int error() const { return error_; }

private:
    bool fill();

    int fd_ = -1;
    std::vector<unsigned char> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    std::int64_t position_ = 0;
    int error_ = 0;
};

// Text of an errno value for result details.
std::string errnoText(int error);

} // namespace archive_io
