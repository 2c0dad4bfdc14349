// The archive writer: header, one entry per file, segments of deflated
// chunks, volume breaks when a volume is full, end mark.
#include "host/archive.h"
#include "host/archive_io.h"

#include <cmath>
#include <set>
#include <sys/stat.h>
#include <zlib.h>

namespace fs = std::filesystem;
using namespace archive_io;

namespace {

int zlibLevel(BackupArchive::CompressionLevel level)
{
    switch (level) {
    case BackupArchive::clFastest: return 1;
    case BackupArchive::clNone: return 0;
    case BackupArchive::clDefault: return Z_DEFAULT_COMPRESSION;
    case BackupArchive::clMax: return 9;
    }
    return 1;
}

int percentOf(std::uint64_t done, std::uint64_t total)
{
    if (total == 0 || done >= total)
        return 100;
    return int(std::lround(100.0 * double(done) / double(total)));
}

struct Source {
    fs::path path;
    std::string storedName;
    std::uint64_t size = 0;
};

class Writer {
public:
    Writer(BackupArchive& settings, ArchiveResult& result) : settings_(settings), result_(result) {}

    void run(const std::vector<fs::path>& files, const fs::path& archive);

private:
    bool fail(ArchiveError code, std::string detail)
    {
        result_.code = code;
        result_.detail = std::move(detail);
        return false;
    }
    bool failWrite()
    {
        return fail(ArchiveError::cannotWriteArchive,
                    volumePath_.string() + ": " + errnoText(output_.error()));
    }
    bool progress(const std::string& name, int percent);
    bool expand(const std::vector<fs::path>& files, const fs::path& archive);
    bool writeFile(std::size_t index);
    bool writeChunk(const unsigned char* data, std::size_t size);
    bool nextVolume();
    std::int64_t tailReserve(std::size_t index) const;

    BackupArchive& settings_;
    ArchiveResult& result_;
    std::vector<Source> sources_;
    std::uint64_t total_ = 0;
    std::uint64_t done_ = 0;
    OutputFile output_;
    fs::path volumePath_;
    int volume_ = 1;
    std::int64_t maxVolumeSize_ = 0;
    long chunksInVolume_ = 0;
    std::vector<unsigned char> packed_ = std::vector<unsigned char>(BackupArchive::chunkSize);
};

bool Writer::progress(const std::string& name, int percent)
{
    if (!settings_.onProgress)
        return true;
    bool carryOn = true;
    settings_.onProgress(name, percent, carryOn);
    if (!carryOn)
        result_.stopped = true;
    return carryOn;
}

// Takes every listed file once, leaving out the archive itself.  A listed
// name that is not a readable regular file fails the backup: a backup that
// silently lacks the database would be worse than none.
bool Writer::expand(const std::vector<fs::path>& files, const fs::path& archive)
{
    std::error_code ec;
    fs::path archiveIdentity = fs::weakly_canonical(fs::absolute(archive, ec), ec);
    std::set<fs::path> seen;
    for (const fs::path& file : files) {
        fs::path full = fs::absolute(file, ec).lexically_normal();
        if (ec)
            return fail(ArchiveError::cannotReadFile, file.string() + ": " + ec.message());
        auto status = fs::status(full, ec);
        if (!fs::exists(status))
            return fail(ArchiveError::cannotReadFile, full.string() + ": no such file");
        if (!fs::is_regular_file(status))
            return fail(ArchiveError::cannotReadFile, full.string() + ": not a regular file");
        fs::path identity = fs::canonical(full, ec);
        if (ec)
            return fail(ArchiveError::cannotReadFile, full.string() + ": " + ec.message());
        if (identity == archiveIdentity || !seen.insert(identity).second)
            continue;
        Source source{full, full.string(), 0};
        if (source.storedName.size() > std::size_t(BackupArchive::maxTextLength))
            return fail(ArchiveError::cannotWriteArchive, full.string() + ": name too long to store");
        source.size = fs::file_size(full, ec);
        if (ec)
            return fail(ArchiveError::cannotReadFile, full.string() + ": " + ec.message());
        total_ += source.size;
        sources_.push_back(std::move(source));
    }
    return true;
}

// Bytes the volume must keep free, beyond the fixed margin, for what follows
// the data of file `index` and cannot be moved to another volume: the entry
// heads of the next files up to the first one with data (a break can come
// only inside a file's data), or the end mark.
std::int64_t Writer::tailReserve(std::size_t index) const
{
    std::int64_t needed = 4; // segment end
    std::size_t next = index + 1;
    for (; next < sources_.size(); ++next) {
        // name length, name, date, signature
        needed += 12 + std::int64_t(sources_[next].storedName.size());
        if (sources_[next].size > 0)
            break;
        needed += 4; // segment end of an empty file
    }
    needed += next < sources_.size() ? 4 + volumeBreakLength + 4 : 4; // break, or end mark
    // The margin already leaves room for a stored chunk plus this much.
    std::int64_t spare = BackupArchive::volumeMargin - (BackupArchive::chunkSize + 4);
    return needed > spare ? needed - spare : 0;
}

void Writer::run(const std::vector<fs::path>& files, const fs::path& archive)
{
    if (settings_.title.size() > std::size_t(BackupArchive::maxTextLength)) {
        fail(ArchiveError::cannotWriteArchive, "archive title too long");
        return;
    }
    if (!expand(files, archive))
        return;
    if (!progress(sources_.empty() ? std::string() : sources_.front().storedName, 0))
        return;

    maxVolumeSize_ = settings_.maxVolumeSize;
    volumePath_ = archive;
    if (!output_.create(volumePath_)) {
        failWrite();
        return;
    }
    if (!output_.writeInt32(std::int32_t(settings_.title.size())) ||
        !output_.write(settings_.title.data(), settings_.title.size()) ||
        !output_.writeInt32(std::int32_t(std::uint32_t(total_))) ||
        !output_.writeInt32(std::int32_t(sources_.size()))) {
        failWrite();
        return;
    }
    for (std::size_t i = 0; i < sources_.size(); ++i)
        if (!writeFile(i))
            return;
    if (!output_.writeInt32(0) || !output_.close()) {
        failWrite();
        return;
    }
    progress(sources_.empty() ? std::string() : sources_.back().storedName, 100);
}

bool Writer::writeFile(std::size_t index)
{
    const Source& source = sources_[index];
    if (!output_.writeInt32(std::int32_t(source.storedName.size())) ||
        !output_.write(source.storedName.data(), source.storedName.size()))
        return failWrite();

    InputFile input;
    struct stat info {};
    if (!input.open(source.path) || ::fstat(input.fd(), &info) != 0)
        return fail(ArchiveError::cannotReadFile, source.path.string() + ": " + errnoText(input.error()));
    if (!output_.writeInt32(std::int32_t(dosDateTimeFromTime(info.st_mtime))))
        return failWrite();

    const std::int64_t reserve = tailReserve(index);
    std::vector<unsigned char> pending(BackupArchive::chunkSize);
    // Read one chunk ahead, so that "bytes remain" is known before a volume
    // break is written.
    long pendingSize = input.readSome(pending.data(), pending.size());
    for (;;) {
        if (pendingSize < 0)
            return fail(ArchiveError::cannotReadFile, source.path.string() + ": " + errnoText(input.error()));
        if (!output_.write(segmentSignature, 4))
            return failWrite();
        while (pendingSize > 0) {
            if (maxVolumeSize_ != 0 &&
                output_.position() >= maxVolumeSize_ - BackupArchive::volumeMargin - reserve)
                break;
            if (!writeChunk(pending.data(), std::size_t(pendingSize)))
                return false;
            done_ += std::uint64_t(pendingSize);
            if (!progress(source.storedName, percentOf(done_, total_)))
                return false;
            pendingSize = input.readSome(pending.data(), pending.size());
            if (pendingSize < 0)
                return fail(ArchiveError::cannotReadFile,
                            source.path.string() + ": " + errnoText(input.error()));
        }
        if (!output_.writeInt32(0))
            return failWrite();
        if (pendingSize == 0)
            return true;
        if (!nextVolume())
            return false;
    }
}

// One zlib stream per chunk; when its output does not fit in a chunk-sized
// buffer the input is stored as it is, under a negative length.
bool Writer::writeChunk(const unsigned char* data, std::size_t size)
{
    z_stream stream{};
    if (deflateInit(&stream, zlibLevel(settings_.compressionLevel)) != Z_OK)
        return fail(ArchiveError::compressionError, "deflateInit failed");
    stream.next_in = const_cast<Bytef*>(data);
    stream.avail_in = uInt(size);
    stream.next_out = packed_.data();
    stream.avail_out = uInt(packed_.size());
    int status = deflate(&stream, Z_FINISH);
    std::size_t packedSize = packed_.size() - stream.avail_out;
    deflateEnd(&stream);

    ++chunksInVolume_;
    if (status == Z_STREAM_END) {
        if (!output_.writeInt32(std::int32_t(packedSize)) || !output_.write(packed_.data(), packedSize))
            return failWrite();
        return true;
    }
    if (status == Z_OK) {
        if (!output_.writeInt32(-std::int32_t(size)) || !output_.write(data, size))
            return failWrite();
        return true;
    }
    return fail(ArchiveError::compressionError, "deflate failed with status " + std::to_string(status));
}

// Ends the full volume with a break naming the next one, asks for it and
// opens it.
bool Writer::nextVolume()
{
    if (chunksInVolume_ == 0 && volume_ > 1)
        return fail(ArchiveError::cannotWriteArchive,
                    volumePath_.string() + ": maximum volume size " + std::to_string(maxVolumeSize_) +
                        " leaves no room for data");
    if (volume_ >= maxVolumes)
        return fail(ArchiveError::cannotWriteArchive, "more than 999 volumes");
    ++volume_;
    std::string marker = std::string(volumeBreakPrefix) + volumeDigits(volume_);
    if (!output_.writeInt32(volumeBreakLength) || !output_.write(marker.data(), marker.size()) ||
        !output_.close())
        return failWrite();

    VolumeRequest request{volume_, archiveVolumePath(volumePath_, volume_), maxVolumeSize_};
    if (settings_.onNeedDisk && !settings_.onNeedDisk(request)) {
        result_.stopped = true;
        return false;
    }
    volumePath_ = request.path;
    maxVolumeSize_ = request.maxVolumeSize;
    chunksInVolume_ = 0;
    if (!output_.create(volumePath_))
        return failWrite();
    return true;
}

} // namespace

ArchiveResult BackupArchive::backup(const std::vector<fs::path>& files, const fs::path& archive)
{
    ArchiveResult result;
    Writer(*this, result).run(files, archive);
    return result;
}
