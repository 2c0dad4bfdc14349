// The archive reader.  Every length and name in the archive is checked
// before it is used, so that a damaged or hostile archive ends in an error
// code instead of a crash, a huge allocation or a file outside the target
// folder.  Restored files are written to temporary files that replace the
// existing files only after the whole archive was read.
#include "host/archive.h"
#include "host/archive_io.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <climits>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace fs = std::filesystem;
using namespace archive_io;

namespace {

constexpr std::string_view tempNamePrefix = ".tarnwicke-restore-";

class Reader {
public:
    Reader(BackupArchive& settings, ArchiveResult& result) : settings_(settings), result_(result) {}
    ~Reader();

    void run(const fs::path& archive, const fs::path& target);

private:
    bool fail(ArchiveError code, std::string detail)
    {
        result_.code = code;
        result_.detail = std::move(detail);
        return false;
    }
    std::string where() const
    {
        return volumePath_.string() + " at offset " + std::to_string(input_.position());
    }
    bool failRead()
    {
        if (input_.error() != 0)
            return fail(ArchiveError::cannotReadArchive, where() + ": " + errnoText(input_.error()));
        return fail(ArchiveError::cannotReadArchive, where() + ": archive ends too early");
    }
    bool failInvalid(const std::string& what)
    {
        return fail(ArchiveError::invalidArchiveType, where() + ": " + what);
    }
    bool progress(const std::string& name, int percent);

    bool readHeader();
    bool readName(std::int32_t length, std::string& name);
    bool readNextName(std::string& name, bool& end);
    bool restoreEntry(const std::string& storedName, std::string& nextName, bool& end);
    bool openOutput(const std::string& storedName, fs::path& final);
    bool unpackSegment(const std::string& storedName, bool keep);
    bool writeOutput(const unsigned char* data, std::size_t size);
    bool finishOutput(const fs::path& final, std::uint32_t dosDate);
    bool switchVolume(const std::string& marker);
    bool commit();
    void removeTemporaries();

    BackupArchive& settings_;
    ArchiveResult& result_;
    fs::path target_;
    fs::path volumePath_;
    int volume_ = 1;
    InputFile input_;
    std::uint32_t total_ = 0;
    std::uint64_t written_ = 0;
    OutputFile output_;
    fs::path outputTemp_;
    // Restored files waiting to replace their final names: final -> temporary.
    std::map<fs::path, fs::path> pending_;
    std::vector<unsigned char> packed_ = std::vector<unsigned char>(BackupArchive::chunkSize);
    std::vector<unsigned char> plain_ = std::vector<unsigned char>(BackupArchive::chunkSize);
};

Reader::~Reader() { removeTemporaries(); }

void Reader::removeTemporaries()
{
    output_.discard();
    std::error_code ec;
    if (!outputTemp_.empty())
        fs::remove(outputTemp_, ec);
    outputTemp_.clear();
    for (const auto& [final, temp] : pending_)
        fs::remove(temp, ec);
    pending_.clear();
}

bool Reader::progress(const std::string& name, int percent)
{
    if (!settings_.onProgress)
        return true;
    bool carryOn = true;
    settings_.onProgress(name, percent, carryOn);
    if (!carryOn)
        result_.stopped = true;
    return carryOn;
}

bool Reader::readHeader()
{
    std::int32_t titleLength = 0, total = 0, count = 0;
    if (!input_.readInt32(titleLength))
        return failRead();
    if (titleLength < 0 || titleLength > BackupArchive::maxTextLength)
        return failInvalid("title length " + std::to_string(titleLength));
    if (!input_.skip(std::size_t(titleLength)) || !input_.readInt32(total) || !input_.readInt32(count))
        return failRead();
    // The file count is informational: the entries end at the end mark.
    total_ = std::uint32_t(total);
    return true;
}

bool Reader::readName(std::int32_t length, std::string& name)
{
    if (length < 0 || length > BackupArchive::maxTextLength)
        return failInvalid("name length " + std::to_string(length));
    name.resize(std::size_t(length));
    if (!input_.read(name.data(), name.size()))
        return failRead();
    if (name.find('\0') != std::string::npos)
        return failInvalid("name contains a zero byte");
    return true;
}

// Reads the name of the next entry, or the end mark (end = true).
bool Reader::readNextName(std::string& name, bool& end)
{
    std::int32_t length = 0;
    if (!input_.readInt32(length))
        return failRead();
    end = length == 0;
    return end || readName(length, name);
}

void Reader::run(const fs::path& archive, const fs::path& target)
{
    target_ = target;
    volumePath_ = archive;
    if (!input_.open(volumePath_)) {
        fail(ArchiveError::cannotReadArchive, volumePath_.string() + ": " + errnoText(input_.error()));
        return;
    }
    if (!readHeader() || !progress(std::string(), 0))
        return;

    std::string name, lastName;
    bool end = false;
    if (!readNextName(name, end))
        return;
    while (!end) {
        if (name.starts_with(volumeBreakPrefix)) {
            failInvalid("volume break outside a file's data");
            return;
        }
        lastName = name;
        std::string nextName;
        if (!restoreEntry(name, nextName, end))
            return;
        name = std::move(nextName);
    }
    if (!commit())
        return;
    progress(lastName, 100);
}

// Restores one entry and reads the name that follows its data (or the end
// mark).  The data is one segment per volume it spans.
bool Reader::restoreEntry(const std::string& storedName, std::string& nextName, bool& end)
{
    std::int32_t dosDate = 0;
    if (!input_.readInt32(dosDate))
        return failRead();
    const bool keep = storedName != fileListName;
    fs::path final;
    if (keep && !openOutput(storedName, final))
        return false;
    for (;;) {
        if (!unpackSegment(storedName, keep) || !readNextName(nextName, end))
            return false;
        if (end || !nextName.starts_with(volumeBreakPrefix))
            break;
        if (!switchVolume(nextName))
            return false;
    }
    return !keep || finishOutput(final, std::uint32_t(dosDate));
}

// Creates the temporary file for an entry in the target folder.  Only the
// file-name part of the stored name is used, whatever separators it has, so
// the file cannot land outside the folder.
bool Reader::openOutput(const std::string& storedName, fs::path& final)
{
    std::string fileName = storedName.substr(storedName.find_last_of("/\\") + 1);
    if (fileName.empty() || fileName == "." || fileName == ".." || fileName.size() > NAME_MAX ||
        fileName.starts_with(tempNamePrefix))
        return failInvalid("stored name \"" + storedName + "\" has no usable file name");
    final = target_ / fileName;

    std::error_code ec;
    fs::create_directories(target_, ec);
    if (!fs::is_directory(target_, ec))
        return fail(ArchiveError::cannotReadFile, target_.string() + ": target folder cannot be created");

    std::string pattern = (target_ / tempNamePrefix).string() + "XXXXXX";
    int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0)
        return fail(ArchiveError::cannotReadFile, target_.string() + ": " + errnoText(errno));
    outputTemp_ = pattern;
    output_.adopt(fd);
    // Keep the permissions of the file being replaced; new files get 0644.
    struct stat existing {};
    mode_t mode = ::stat(final.c_str(), &existing) == 0 ? existing.st_mode & 07777 : 0644;
    if (::fchmod(fd, mode) != 0)
        return fail(ArchiveError::cannotReadFile, final.string() + ": " + errnoText(errno));
    return true;
}

bool Reader::writeOutput(const unsigned char* data, std::size_t size)
{
    if (!output_.write(data, size))
        return fail(ArchiveError::cannotReadFile, outputTemp_.string() + ": " + errnoText(output_.error()));
    written_ += size;
    return true;
}

bool Reader::unpackSegment(const std::string& storedName, bool keep)
{
    char signature[4];
    if (!input_.read(signature, 4))
        return failRead();
    if (std::memcmp(signature, segmentSignature, 4) != 0)
        return failInvalid("segment signature missing");
    for (;;) {
        std::int32_t length = 0;
        if (!input_.readInt32(length))
            return failRead();
        if (length == 0)
            return true;
        // Compare in 64 bits: negating the smallest int32 overflows.
        std::int64_t size = std::abs(std::int64_t(length));
        if (size > BackupArchive::chunkSize)
            return failInvalid("chunk length " + std::to_string(length));
        if (!keep) {
            if (!input_.skip(std::size_t(size)))
                return failRead();
            continue;
        }
        if (!input_.read(packed_.data(), std::size_t(size)))
            return failRead();
        if (length < 0) {
            if (!writeOutput(packed_.data(), std::size_t(size)))
                return false;
        } else {
            z_stream stream{};
            if (inflateInit(&stream) != Z_OK)
                return fail(ArchiveError::compressionError, "inflateInit failed");
            stream.next_in = packed_.data();
            stream.avail_in = uInt(size);
            stream.next_out = plain_.data();
            stream.avail_out = uInt(plain_.size());
            int status = inflate(&stream, Z_FINISH);
            std::size_t plainSize = plain_.size() - stream.avail_out;
            bool whole = status == Z_STREAM_END && stream.avail_in == 0;
            inflateEnd(&stream);
            // A chunk is exactly one stream of at most one chunk of data.
            if (!whole)
                return fail(ArchiveError::compressionError,
                            where() + ": chunk does not inflate to at most " +
                                std::to_string(BackupArchive::chunkSize) + " bytes (zlib status " +
                                std::to_string(status) + ")");
            if (!writeOutput(plain_.data(), plainSize))
                return false;
        }
        int percent = total_ == 0 || written_ >= total_
                          ? 100
                          : int(std::lround(100.0 * double(written_) / double(total_)));
        if (!progress(storedName, percent))
            return false;
    }
}

// Makes the temporary file durable with the stored date and queues it.
bool Reader::finishOutput(const fs::path& final, std::uint32_t dosDate)
{
    if (!output_.flush())
        return fail(ArchiveError::cannotReadFile, outputTemp_.string() + ": " + errnoText(output_.error()));
    std::time_t when = timeFromDosDateTime(dosDate);
    if (when != -1) {
        struct timespec times[2] = {{0, UTIME_OMIT}, {when, 0}};
        ::futimens(output_.fd(), times); // a date that cannot be set does not spoil the data
    }
    if (::fsync(output_.fd()) != 0 || !output_.close())
        return fail(ArchiveError::cannotReadFile, outputTemp_.string() + ": " + errnoText(errno));
    // A later entry of the same name replaces an earlier one.
    auto [it, inserted] = pending_.try_emplace(final, outputTemp_);
    if (!inserted) {
        std::error_code ec;
        fs::remove(it->second, ec);
        it->second = outputTemp_;
    }
    outputTemp_.clear();
    return true;
}

// Moves on to the volume named by a break marker "NEXT:DISKnnn".
bool Reader::switchVolume(const std::string& marker)
{
    std::string digits = marker.substr(volumeBreakPrefix.size());
    if (marker.size() != std::size_t(volumeBreakLength) ||
        digits.find_first_not_of("0123456789") != std::string::npos)
        return failInvalid("bad volume break \"" + marker + "\"");
    int number = std::atoi(digits.c_str());
    if (number != volume_ + 1)
        return failInvalid("volume break names volume " + digits + " after volume " +
                           std::to_string(volume_));
    input_.close();
    VolumeRequest request{number, archiveVolumePath(volumePath_, number), 0};
    if (settings_.onNeedDisk) {
        // Ask again while the volume is missing, as a user may need several
        // tries to put it in place.
        do {
            if (!settings_.onNeedDisk(request)) {
                result_.stopped = true;
                return false;
            }
        } while (!fs::exists(request.path));
    }
    volume_ = number;
    volumePath_ = request.path;
    if (!input_.open(volumePath_))
        return fail(ArchiveError::cannotReadArchive,
                    volumePath_.string() + ": volume " + digits + " cannot be opened: " +
                        errnoText(input_.error()));
    return true;
}

// Replaces the final names by the restored files, once everything was read.
bool Reader::commit()
{
    while (!pending_.empty()) {
        auto file = pending_.begin();
        std::error_code ec;
        fs::rename(file->second, file->first, ec);
        if (ec)
            return fail(ArchiveError::overwritingFileFailed, file->first.string() + ": " + ec.message());
        pending_.erase(file);
    }
    // Make the renames durable as well.
    int dir = ::open(target_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

} // namespace

ArchiveResult BackupArchive::restore(const fs::path& archive, const fs::path& targetFolder)
{
    ArchiveResult result;
    Reader(*this, result).run(archive, targetFolder);
    return result;
}
