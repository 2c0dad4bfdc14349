// Backup archives: the bytes the writer produces (checked by a small reader
// written here from the format table, not by the production reader), round
// trips through volumes and callbacks, and a reader that turns every damaged
// or hostile archive into an error without touching the existing files.
#include "host/archive.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <ctime>
#include <fstream>
#include <random>
#include <set>
#include <stdexcept>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

// ---------------------------------------------------------------- helpers

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const fs::path& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
}

std::string randomBytes(std::size_t size, unsigned seed)
{
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = char(generator());
    return bytes;
}

std::string textLike(std::size_t size, unsigned seed)
{
    static const char* const words[] = {"customer", "Taipei", "level", "area", "phone", "0912-345-678",
                                        "employee", "remark", "2023-05-17", "category", "address"};
    std::mt19937 generator(seed);
    std::string text;
    while (text.size() < size) {
        text += words[generator() % std::size(words)];
        text += generator() % 7 == 0 ? '\n' : ' ';
    }
    text.resize(size);
    return text;
}

// Little-endian 32-bit integers as the format stores them.
std::string le32(std::int32_t value)
{
    auto u = std::uint32_t(value);
    return {char(u), char(u >> 8), char(u >> 16), char(u >> 24)};
}

std::string zlibStream(const std::string& plain)
{
    uLongf size = compressBound(uLong(plain.size()));
    std::string packed(size, '\0');
    EXPECT_EQ(compress(reinterpret_cast<Bytef*>(packed.data()), &size,
                       reinterpret_cast<const Bytef*>(plain.data()), uLong(plain.size())),
              Z_OK);
    packed.resize(size);
    return packed;
}

// Builds archives byte by byte for the cases the writer never produces.
struct Bytes {
    std::string s;
    Bytes& i32(std::int32_t v) { s += le32(v); return *this; }
    Bytes& raw(const std::string& b) { s += b; return *this; }
    Bytes& text(const std::string& t) { return i32(std::int32_t(t.size())).raw(t); }
    Bytes& header(std::int32_t files = 1) { return text("Backup Vorda").i32(0).i32(files); }
    Bytes& entry(const std::string& name) { return text(name).i32(0x56b16db5); }
    Bytes& signature() { return raw(std::string("EC2\0", 4)); }
    Bytes& deflated(const std::string& plain) { return text(zlibStream(plain)); }
    Bytes& stored(const std::string& plain) { return i32(-std::int32_t(plain.size())).raw(plain); }
};

// ------------------------------------- a minimal reader from the format table

struct ParsedChunk {
    std::int32_t length = 0;
    std::int64_t offset = 0; // of the length field, within its volume
    std::string plain;
};
struct ParsedSegment {
    int volume = 0;
    std::vector<ParsedChunk> chunks;
    std::int64_t endOffset = 0; // of the segment end, within its volume
};
struct ParsedEntry {
    std::string name;
    std::uint32_t dosDate = 0;
    std::vector<ParsedSegment> segments;
    std::string data;
};
struct ParsedArchive {
    std::string title;
    std::int32_t total = 0;
    std::int32_t fileCount = 0;
    std::vector<ParsedEntry> entries;
    std::vector<fs::path> volumes;
};

struct Cursor {
    std::string bytes;
    std::size_t pos = 0;
    std::string take(std::size_t n)
    {
        if (n > bytes.size() - pos)
            throw std::runtime_error("archive ends at " + std::to_string(pos));
        pos += n;
        return bytes.substr(pos - n, n);
    }
    std::int32_t i32()
    {
        std::string b = take(4);
        return std::int32_t(std::uint32_t(std::uint8_t(b[0])) | std::uint32_t(std::uint8_t(b[1])) << 8 |
                            std::uint32_t(std::uint8_t(b[2])) << 16 | std::uint32_t(std::uint8_t(b[3])) << 24);
    }
};

ParsedArchive parseArchive(const fs::path& first)
{
    ParsedArchive archive;
    archive.volumes.push_back(first);
    Cursor in{readFile(first)};
    archive.title = in.take(std::size_t(in.i32()));
    archive.total = in.i32();
    archive.fileCount = in.i32();
    for (;;) {
        std::int32_t nameLength = in.i32();
        if (nameLength == 0)
            break;
        ParsedEntry entry;
        entry.name = in.take(std::size_t(nameLength));
        entry.dosDate = std::uint32_t(in.i32());
        for (;;) {
            ParsedSegment segment;
            segment.volume = int(archive.volumes.size());
            if (in.take(4) != std::string("EC2\0", 4))
                throw std::runtime_error("no segment signature at " + std::to_string(in.pos - 4));
            for (;;) {
                ParsedChunk chunk;
                chunk.offset = std::int64_t(in.pos);
                chunk.length = in.i32();
                if (chunk.length == 0) {
                    segment.endOffset = chunk.offset;
                    break;
                }
                if (chunk.length < 0) {
                    chunk.plain = in.take(std::size_t(-std::int64_t(chunk.length)));
                } else {
                    std::string packed = in.take(std::size_t(chunk.length));
                    chunk.plain.resize(16384);
                    uLongf size = 16384;
                    if (uncompress(reinterpret_cast<Bytef*>(chunk.plain.data()), &size,
                                   reinterpret_cast<const Bytef*>(packed.data()), uLong(packed.size())) != Z_OK)
                        throw std::runtime_error("chunk does not inflate at " + std::to_string(chunk.offset));
                    chunk.plain.resize(size);
                }
                entry.data += chunk.plain;
                segment.chunks.push_back(std::move(chunk));
            }
            entry.segments.push_back(std::move(segment));
            // A volume break, or the next entry / end mark.
            std::size_t mark = in.pos;
            if (in.i32() == 12 && in.bytes.compare(in.pos, 9, "NEXT:DISK") == 0) {
                std::string digits = in.take(12).substr(9);
                if (in.pos != in.bytes.size())
                    throw std::runtime_error("bytes after a volume break");
                if (std::atoi(digits.c_str()) != int(archive.volumes.size()) + 1)
                    throw std::runtime_error("volume break names volume " + digits);
                fs::path next = first.parent_path() / (first.stem().string() + "." + digits);
                archive.volumes.push_back(next);
                in = Cursor{readFile(next)};
                continue;
            }
            in.pos = mark;
            break;
        }
        archive.entries.push_back(std::move(entry));
    }
    if (in.pos != in.bytes.size())
        throw std::runtime_error("bytes after the end mark");
    return archive;
}

// ---------------------------------------------------------------- fixture

class ArchiveTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "tarnwicke-archive-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path makeFile(const std::string& name, const std::string& bytes)
    {
        fs::path path = dir / name;
        fs::create_directories(path.parent_path());
        writeFile(path, bytes);
        return path;
    }

    // Every path under the test folder, relative to it.
    std::set<std::string> listing() const
    {
        std::set<std::string> names;
        for (const auto& item : fs::recursive_directory_iterator(dir))
            names.insert(fs::relative(item.path(), dir).string());
        return names;
    }

    fs::path dir;
    fs::path archive() const { return dir / "Tarnwicke.zrb"; }
    fs::path target() const { return dir / "restored"; }
};

// ------------------------------------------------------------------- tests

// How a file is cut into chunks: one segment, 16384 input bytes per chunk,
// compressed when the stream fits in 16384 bytes and stored otherwise.
TEST_F(ArchiveTest, FilesAreCutIntoChunks)
{
    struct Case {
        const char* name;
        std::string content;
        std::vector<std::int32_t> lengthSigns; // +1 deflated, -1 stored
        std::vector<std::size_t> plainSizes;
    };
    const Case cases[] = {
        {"empty", "", {}, {}},
        {"exactly one chunk", textLike(16384, 1), {1}, {16384}},
        {"one byte over", textLike(16385, 2), {1, 1}, {16384, 1}},
        {"incompressible", randomBytes(16384, 3), {-1}, {16384}},
        {"incompressible then text", randomBytes(16384, 4) + textLike(5000, 5), {-1, 1}, {16384, 5000}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::path source = makeFile("db.zrt", c.content);
        ASSERT_TRUE(BackupArchive().backup({source}, archive()).ok());

        ParsedArchive parsed = parseArchive(archive());
        ASSERT_EQ(parsed.entries.size(), 1u);
        const ParsedEntry& entry = parsed.entries[0];
        ASSERT_EQ(entry.segments.size(), 1u);
        std::vector<std::int32_t> signs;
        std::vector<std::size_t> sizes;
        for (const ParsedChunk& chunk : entry.segments[0].chunks) {
            signs.push_back(chunk.length > 0 ? 1 : -1);
            sizes.push_back(chunk.plain.size());
        }
        EXPECT_EQ(signs, c.lengthSigns);
        EXPECT_EQ(sizes, c.plainSizes);
        EXPECT_EQ(entry.data, c.content);

        ArchiveResult restored = BackupArchive().restore(archive(), target());
        ASSERT_TRUE(restored.ok()) << restored.detail;
        EXPECT_EQ(readFile(target() / "db.zrt"), c.content);
    }
}

// The header, entry names, MS-DOS dates and data as an independent reader sees them.
TEST_F(ArchiveTest, IndependentReaderSeesHeaderEntriesAndDates)
{
    const std::string a = textLike(70000, 6), b(50000, '\0'), c = randomBytes(20000, 7);
    fs::path pa = makeFile("a.zrt", a), pb = makeFile("sub/b.dat", b), pc = makeFile("c.bin", c);

    // 2023-05-17 13:45:31 local time; MS-DOS keeps even seconds.
    std::tm tm{};
    tm.tm_year = 123, tm.tm_mon = 4, tm.tm_mday = 17, tm.tm_hour = 13, tm.tm_min = 45, tm.tm_sec = 31;
    tm.tm_isdst = -1;
    std::time_t when = std::mktime(&tm);
    struct timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, pa.c_str(), times, 0), 0);
    const std::uint32_t dos = std::uint32_t((2023 - 1980) << 9 | 5 << 5 | 17) << 16 | (13 << 11 | 45 << 5 | 15);

    ASSERT_TRUE(BackupArchive().backup({pa, pb, pc}, archive()).ok());
    ParsedArchive parsed = parseArchive(archive());
    EXPECT_EQ(parsed.title, "Backup Vorda");
    EXPECT_EQ(parsed.total, std::int32_t(a.size() + b.size() + c.size()));
    EXPECT_EQ(parsed.fileCount, 3);
    ASSERT_EQ(parsed.entries.size(), 3u);
    EXPECT_EQ(parsed.entries[0].name, pa.string());
    EXPECT_EQ(parsed.entries[1].name, pb.string());
    EXPECT_EQ(parsed.entries[0].dosDate, dos);
    EXPECT_EQ(parsed.entries[0].data, a);
    EXPECT_EQ(parsed.entries[1].data, b);
    EXPECT_EQ(parsed.entries[2].data, c);

    ASSERT_TRUE(BackupArchive().restore(archive(), target()).ok());
    EXPECT_EQ(readFile(target() / "a.zrt"), a);
    EXPECT_EQ(readFile(target() / "b.dat"), b);
    EXPECT_EQ(readFile(target() / "c.bin"), c);
    struct stat info {};
    ASSERT_EQ(stat((target() / "a.zrt").c_str(), &info), 0);
    EXPECT_EQ(info.st_mtime, when - 1);
}

// Each level reaches zlib: the zlib header's level bits tell which one made
// the stream, and level 0 output of a full chunk never fits so it is stored.
TEST_F(ArchiveTest, CompressionLevelsReachZlib)
{
    struct Case {
        BackupArchive::CompressionLevel level;
        int levelBits; // FLEVEL of the zlib header, -1 when every chunk is stored
    };
    const Case cases[] = {{BackupArchive::clFastest, 0}, {BackupArchive::clNone, -1},
                          {BackupArchive::clDefault, 2}, {BackupArchive::clMax, 3}};
    const std::string content = textLike(2 * 16384, 8);
    fs::path source = makeFile("db.zrt", content);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.level);
        BackupArchive writer;
        writer.compressionLevel = c.level;
        ASSERT_TRUE(writer.backup({source}, archive()).ok());
        ParsedArchive parsed = parseArchive(archive());
        for (const ParsedChunk& chunk : parsed.entries.at(0).segments.at(0).chunks) {
            if (c.levelBits < 0) {
                EXPECT_LT(chunk.length, 0);
            } else {
                ASSERT_GT(chunk.length, 0);
                std::ifstream in(archive(), std::ios::binary);
                in.seekg(chunk.offset + 4 + 1);
                EXPECT_EQ(in.get() >> 6, c.levelBits);
            }
        }
        EXPECT_EQ(parsed.entries[0].data, content);
    }
}

// A maximum volume size is never exceeded: the writer breaks before the
// first chunk at or past the size less 16484, names the volumes .002, .003,
// ..., asks for each through the need-disk callback, and the reader follows
// them asking in turn.
TEST_F(ArchiveTest, VolumesStayWithinTheirSizeAndRoundTrip)
{
    std::string mixed;
    for (unsigned i = 0; mixed.size() < 420000; ++i)
        mixed += i % 3 ? randomBytes(30000, i) : textLike(30000, i);
    struct Case {
        const char* name;
        std::int64_t maxSize;
        std::string content;
    };
    const Case cases[] = {
        {"database-like data", 100000, mixed},
        // Stored chunks of 16388 bytes after a 4-byte signature: the sixth
        // chunk of a later volume would start exactly at the threshold.
        {"chunk at the threshold", 16484 + 4 + 5 * 16388, randomBytes(300000, 15)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::int64_t threshold = c.maxSize - 16484;
        fs::path source = makeFile("Tarnwicke.zrt", c.content);
        BackupArchive writer;
        writer.maxVolumeSize = c.maxSize;
        std::vector<int> asked;
        writer.onNeedDisk = [&](VolumeRequest& request) {
            asked.push_back(request.volume);
            EXPECT_EQ(request.path, archiveVolumePath(archive(), request.volume));
            EXPECT_EQ(request.maxVolumeSize, c.maxSize);
            return true;
        };
        ArchiveResult written = writer.backup({source}, archive());
        ASSERT_TRUE(written.ok()) << written.detail;

        ParsedArchive parsed = parseArchive(archive());
        ASSERT_GE(parsed.volumes.size(), 4u);
        EXPECT_EQ(parsed.volumes[1].filename(), "Tarnwicke.002");
        EXPECT_EQ(parsed.volumes[2].filename(), "Tarnwicke.003");
        std::vector<int> expected;
        for (int v = 2; v <= int(parsed.volumes.size()); ++v)
            expected.push_back(v);
        EXPECT_EQ(asked, expected);
        for (const fs::path& volume : parsed.volumes)
            EXPECT_LE(std::int64_t(fs::file_size(volume)), c.maxSize) << volume;
        const auto& segments = parsed.entries.at(0).segments;
        ASSERT_EQ(segments.size(), parsed.volumes.size());
        for (std::size_t i = 0; i < segments.size(); ++i) {
            for (const ParsedChunk& chunk : segments[i].chunks)
                EXPECT_LT(chunk.offset, threshold);
            if (i + 1 < segments.size()) {
                EXPECT_GE(segments[i].endOffset, threshold) << "volume " << i + 1 << " broke early";
            }
        }
        EXPECT_EQ(parsed.entries[0].data, c.content);

        BackupArchive reader;
        asked.clear();
        reader.onNeedDisk = [&](VolumeRequest& request) {
            asked.push_back(request.volume);
            return true;
        };
        ArchiveResult restored = reader.restore(archive(), target());
        ASSERT_TRUE(restored.ok()) << restored.detail;
        EXPECT_EQ(asked, expected);
        EXPECT_EQ(readFile(target() / "Tarnwicke.zrt"), c.content);
    }
}

// Several files with long names and an empty one: what follows a file's
// data in the same volume (entry heads, the end mark) still fits.  With this
// size a later volume holds two stored chunks, the second starting one byte
// below the break threshold, and the first file ends with that chunk.
TEST_F(ArchiveTest, VolumesStayWithinTheirSizeWithManyFiles)
{
    const std::int64_t maxSize = 16484 + 4 + 16388 + 1;
    const std::string longFolder = std::string(200, 'd') + "/" + std::string(200, 'e');
    const std::vector<std::string> contents = {randomBytes(3 * 16384, 20), "", randomBytes(40000, 21),
                                               textLike(90000, 22), randomBytes(16384, 23)};
    std::vector<fs::path> files;
    for (std::size_t i = 0; i < contents.size(); ++i)
        files.push_back(makeFile(longFolder + "/file" + std::to_string(i), contents[i]));
    BackupArchive writer;
    writer.maxVolumeSize = maxSize;
    ASSERT_TRUE(writer.backup(files, archive()).ok());
    ParsedArchive parsed = parseArchive(archive());
    for (const fs::path& volume : parsed.volumes)
        EXPECT_LE(std::int64_t(fs::file_size(volume)), maxSize) << volume;
    ASSERT_EQ(parsed.entries.size(), files.size());
    for (std::size_t i = 0; i < files.size(); ++i)
        EXPECT_EQ(parsed.entries[i].data, contents[i]);

    ASSERT_TRUE(BackupArchive().restore(archive(), target()).ok());
    for (std::size_t i = 0; i < files.size(); ++i)
        EXPECT_EQ(readFile(target() / files[i].filename()), contents[i]);
}

// A stop answered in the need-disk callback ends the operation without an
// error code; a reader without the callback reports a missing volume.
TEST_F(ArchiveTest, NeedDiskStopAndMissingVolume)
{
    fs::path source = makeFile("Tarnwicke.zrt", randomBytes(200000, 9));
    BackupArchive writer;
    writer.maxVolumeSize = 100000;
    writer.onNeedDisk = [](VolumeRequest&) { return false; };
    ArchiveResult stopped = writer.backup({source}, archive());
    EXPECT_FALSE(stopped.ok());
    EXPECT_TRUE(stopped.stopped);
    EXPECT_EQ(stopped.code, ArchiveError::none);

    writer.onNeedDisk = nullptr;
    ASSERT_TRUE(writer.backup({source}, archive()).ok());
    makeFile("restored/Tarnwicke.zrt", "live database");

    BackupArchive reader;
    reader.onNeedDisk = [](VolumeRequest&) { return false; };
    ArchiveResult refused = reader.restore(archive(), target());
    EXPECT_TRUE(refused.stopped);
    EXPECT_EQ(refused.code, ArchiveError::none);

    fs::rename(archiveVolumePath(archive(), 2), dir / "volume2.spare");
    ArchiveResult missing = BackupArchive().restore(archive(), target());
    EXPECT_EQ(missing.code, ArchiveError::cannotReadArchive);
    EXPECT_EQ(missing.message(), "Cannot read archive");
    EXPECT_NE(missing.detail.find("Tarnwicke.002"), std::string::npos) << missing.detail;
    EXPECT_EQ(readFile(target() / "Tarnwicke.zrt"), "live database");

    // A user who puts the volume in place when asked again continues the restore.
    BackupArchive patient;
    std::vector<int> asked;
    patient.onNeedDisk = [&](VolumeRequest& request) {
        asked.push_back(request.volume);
        if (asked.size() == 2)
            fs::rename(dir / "volume2.spare", request.path);
        return true;
    };
    ArchiveResult resumed = patient.restore(archive(), target());
    ASSERT_TRUE(resumed.ok()) << resumed.detail;
    EXPECT_EQ(asked, (std::vector<int>{2, 2, 3}));
    EXPECT_EQ(readFile(target() / "Tarnwicke.zrt"), readFile(source));
}

// Progress is 0 first, once after every chunk, and 100 at the end; clearing
// the continue flag stops a backup or a restore without an error code, and a
// stopped restore leaves the existing file alone.
TEST_F(ArchiveTest, ProgressReportsEveryChunkAndCanStop)
{
    fs::path source = makeFile("db.zrt", textLike(40000, 10));
    const std::vector<int> expected = {0, 41, 82, 100, 100};
    for (bool restoring : {false, true}) {
        SCOPED_TRACE(restoring ? "restore" : "backup");
        BackupArchive archiver;
        std::vector<int> seen;
        archiver.onProgress = [&](const std::string&, int percent, bool&) { seen.push_back(percent); };
        ArchiveResult result =
            restoring ? archiver.restore(archive(), target()) : archiver.backup({source}, archive());
        ASSERT_TRUE(result.ok()) << result.detail;
        EXPECT_EQ(seen, expected);
    }

    const std::string live = "live database";
    makeFile("restored/db.zrt", live);
    for (bool restoring : {false, true}) {
        SCOPED_TRACE(restoring ? "restore" : "backup");
        BackupArchive archiver;
        int calls = 0;
        archiver.onProgress = [&](const std::string&, int, bool& carryOn) { carryOn = ++calls < 3; };
        ArchiveResult result =
            restoring ? archiver.restore(archive(), target()) : archiver.backup({source}, dir / "other.zrb");
        EXPECT_TRUE(result.stopped);
        EXPECT_EQ(result.code, ArchiveError::none);
        EXPECT_EQ(calls, 3);
    }
    EXPECT_EQ(readFile(target() / "db.zrt"), live);
    EXPECT_EQ(listing(), (std::set<std::string>{"Tarnwicke.zrb", "db.zrt", "other.zrb", "restored",
                                                "restored/db.zrt"}));
}

// A damaged or truncated archive never replaces the existing file: the
// restore fails and the file stays byte for byte as it was, with no
// temporary file left behind.
TEST_F(ArchiveTest, FailedRestoreLeavesExistingFileUntouched)
{
    const std::string content = textLike(60000, 11) + randomBytes(30000, 12);
    fs::path source = makeFile("source/Tarnwicke.zrt", content);
    ASSERT_TRUE(BackupArchive().backup({source}, archive()).ok());
    const std::string whole = readFile(archive());
    const std::int64_t firstChunk = parseArchive(archive()).entries[0].segments[0].chunks[0].offset;

    struct Case {
        const char* name;
        std::size_t keep; // bytes of the archive kept
        ArchiveError code;
    };
    const Case cases[] = {
        {"inside the header", 10, ArchiveError::cannotReadArchive},
        {"inside the first chunk", std::size_t(firstChunk) + 100, ArchiveError::cannotReadArchive},
        {"inside a later chunk", whole.size() / 2, ArchiveError::cannotReadArchive},
        {"before the segment end", whole.size() - 8, ArchiveError::cannotReadArchive},
        {"before the end mark", whole.size() - 4, ArchiveError::cannotReadArchive},
    };
    const std::string live = randomBytes(5000, 13);
    fs::path existing = makeFile("restored/Tarnwicke.zrt", live);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(archive(), whole.substr(0, c.keep));
        ArchiveResult result = BackupArchive().restore(archive(), target());
        EXPECT_EQ(result.code, c.code) << result.detail;
        EXPECT_EQ(readFile(existing), live);
        EXPECT_EQ(listing(), (std::set<std::string>{"Tarnwicke.zrb", "source", "source/Tarnwicke.zrt", "restored",
                                                    "restored/Tarnwicke.zrt"}));
    }

    // A damaged chunk signature is reported as such.
    std::string damaged = whole;
    damaged[std::size_t(firstChunk) - 4] = 'X';
    writeFile(archive(), damaged);
    ArchiveResult invalid = BackupArchive().restore(archive(), target());
    EXPECT_EQ(invalid.code, ArchiveError::invalidArchiveType);
    EXPECT_EQ(invalid.message(), "Invalid archive type");
    EXPECT_EQ(readFile(existing), live);

    // The intact archive does replace it.
    writeFile(archive(), whole);
    ASSERT_TRUE(BackupArchive().restore(archive(), target()).ok());
    EXPECT_EQ(readFile(existing), content);
}

// Hand-made archives: every damaged or hostile one ends in its error code,
// nothing is written outside the target folder, and an existing file there
// stays as it was.  Names are reduced to their file-name part.
TEST_F(ArchiveTest, HostileArchivesEndInErrors)
{
    const std::string plain = textLike(3000, 14);
    const std::string tooBig(16385, 'z');
    struct Case {
        const char* name;
        std::string bytes;
        ArchiveError code;
        const char* restored = nullptr; // file expected in the target folder
    };
    const Case cases[] = {
        {"empty file", "", ArchiveError::cannotReadArchive},
        {"truncated header", Bytes().text("Backup Vorda").i32(0).s, ArchiveError::cannotReadArchive},
        {"negative title length", Bytes().i32(-1).s, ArchiveError::invalidArchiveType},
        {"huge title length", Bytes().i32(INT_MAX).s, ArchiveError::invalidArchiveType},
        {"negative name length", Bytes().header().i32(-5).s, ArchiveError::invalidArchiveType},
        {"huge name length", Bytes().header().i32(0x40000000).s, ArchiveError::invalidArchiveType},
        {"name with a zero byte", Bytes().header().entry(std::string("a\0b", 3)).s,
         ArchiveError::invalidArchiveType},
        {"name ending in a separator", Bytes().header().entry("C:\\data\\").signature().i32(0).i32(0).s,
         ArchiveError::invalidArchiveType},
        {"name that is ..", Bytes().header().entry("x/..").signature().i32(0).i32(0).s,
         ArchiveError::invalidArchiveType},
        {"file name too long for the folder", Bytes().header().entry("/a/" + std::string(300, 'n')).s,
         ArchiveError::invalidArchiveType},
        {"missing signature", Bytes().header().entry("/a/db").raw("EC3").i32(0).s,
         ArchiveError::invalidArchiveType},
        {"smallest chunk length", Bytes().header().entry("/a/db").signature().i32(INT_MIN).s,
         ArchiveError::invalidArchiveType},
        {"chunk length past a chunk", Bytes().header().entry("/a/db").signature().i32(16385).s,
         ArchiveError::invalidArchiveType},
        {"stored length past a chunk", Bytes().header().entry("/a/db").signature().stored(tooBig).s,
         ArchiveError::invalidArchiveType},
        {"chunk inflating past a chunk", Bytes().header().entry("/a/db").signature().deflated(tooBig).i32(0).i32(0).s,
         ArchiveError::compressionError},
        {"chunk that is no zlib stream", Bytes().header().entry("/a/db").signature().text("not zlib").i32(0).i32(0).s,
         ArchiveError::compressionError},
        {"chunk with bytes after its stream",
         Bytes().header().entry("/a/db").signature().text(zlibStream(plain) + "junk").i32(0).i32(0).s,
         ArchiveError::compressionError},
        {"chunk cut short", Bytes().header().entry("/a/db").signature().i32(100).raw("abc").s,
         ArchiveError::cannotReadArchive},
        {"no end mark", Bytes().header().entry("/a/db").signature().stored(plain).i32(0).s,
         ArchiveError::cannotReadArchive},
        {"volume break outside a file", Bytes().header().text("NEXT:DISK002").s, ArchiveError::invalidArchiveType},
        {"volume break out of order",
         Bytes().header().entry("/a/db").signature().stored(plain).i32(0).text("NEXT:DISK005").s,
         ArchiveError::invalidArchiveType},
        {"volume break to a missing volume",
         Bytes().header().entry("/a/db").signature().stored(plain).i32(0).text("NEXT:DISK002").s,
         ArchiveError::cannotReadArchive},
        {"parent folders in the name",
         Bytes().header().entry("../../escape").signature().deflated(plain).i32(0).i32(0).s, ArchiveError::none,
         "escape"},
        {"file list entry skipped",
         Bytes().header(2).entry("FILE:LIST").signature().deflated(plain).stored("ids").i32(0)
             .entry("C:\\data\\Tarnwicke.zrt").signature().stored(plain).i32(0).i32(0).s,
         ArchiveError::none, "Tarnwicke.zrt"},
    };
    const std::string live = "live database";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(target());
        makeFile("restored/keep.zrt", live);
        writeFile(archive(), c.bytes);

        ArchiveResult result = BackupArchive().restore(archive(), target());
        EXPECT_EQ(result.code, c.code) << result.detail;
        EXPECT_EQ(result.message(), archiveErrorMessage(c.code));
        std::set<std::string> expected = {"Tarnwicke.zrb", "restored", "restored/keep.zrt"};
        if (c.restored) {
            expected.insert(std::string("restored/") + c.restored);
            EXPECT_EQ(readFile(target() / c.restored), plain);
        }
        EXPECT_EQ(listing(), expected);
        EXPECT_EQ(readFile(target() / "keep.zrt"), live);
    }
}

// The writer's own failures, and the list taken once without the archive.
TEST_F(ArchiveTest, WriterErrorsAndFileList)
{
    fs::path source = makeFile("db.zrt", "data");
    struct Case {
        const char* name;
        std::vector<fs::path> files;
        fs::path archive;
        ArchiveError code;
    };
    const Case cases[] = {
        {"missing source", {dir / "absent.zrt"}, archive(), ArchiveError::cannotReadFile},
        {"folder as source", {dir}, archive(), ArchiveError::cannotReadFile},
        {"archive in a missing folder", {source}, dir / "no/such/folder.zrb", ArchiveError::cannotWriteArchive},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ArchiveResult result = BackupArchive().backup(c.files, c.archive);
        EXPECT_EQ(result.code, c.code) << result.detail;
        EXPECT_FALSE(result.stopped);
        EXPECT_NE(result.detail, "");
    }
    EXPECT_EQ(archiveErrorMessage(ArchiveError::cannotReadFile), "Cannot read file");
    EXPECT_EQ(archiveErrorMessage(ArchiveError::cannotWriteArchive), "Cannot write to archive");

    writeFile(archive(), "old archive");
    fs::path relative = fs::relative(source);
    ASSERT_TRUE(BackupArchive().backup({source, relative, archive(), dir / "." / "db.zrt"}, archive()).ok());
    ParsedArchive parsed = parseArchive(archive());
    EXPECT_EQ(parsed.fileCount, 1);
    ASSERT_EQ(parsed.entries.size(), 1u);
    EXPECT_EQ(parsed.entries[0].name, source.string());
}

} // namespace
