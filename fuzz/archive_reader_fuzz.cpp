// Feeds arbitrary bytes to the archive reader as an archive of one or more
// volumes and checks what it leaves behind: after a failure the target
// folder holds exactly what it held before, after a success only restored
// files, and nothing ever appears outside the target folder.
//
// The input is split into volumes at the separator line below.  With the
// environment variable TARNWICKE_FUZZ_SEEDS naming a folder, start-up writes
// a small seed corpus there (archives made by the writer plus a few made by
// hand), so no binary seeds need to be kept:
//
//   TARNWICKE_FUZZ_SEEDS=fuzz/corpus-archive archive_reader_fuzz fuzz/corpus-archive
#include "host/archive.h"

#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr char volumeSeparator[] = "\n--next volume--\n";
constexpr int maxVolumes = 4;
const std::string keptName = "keep.zrt";
const std::string keptContent = "live database";

fs::path workDir;

void writeFile(const fs::path& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "archive_reader_fuzz: %s\n", what);
        std::abort();
    }
}

// ---- seed corpus

std::string le32(std::int32_t value)
{
    auto u = std::uint32_t(value);
    return {char(u), char(u >> 8), char(u >> 16), char(u >> 24)};
}

std::string text(const std::string& t) { return le32(std::int32_t(t.size())) + t; }

std::string deflated(const std::string& plain)
{
    uLongf size = compressBound(uLong(plain.size()));
    std::string packed(size, '\0');
    compress(reinterpret_cast<Bytef*>(packed.data()), &size, reinterpret_cast<const Bytef*>(plain.data()),
             uLong(plain.size()));
    packed.resize(size);
    return text(packed);
}

void writeSeeds(const fs::path& seeds)
{
    fs::create_directories(seeds);
    if (!fs::is_empty(seeds))
        return;
    const fs::path scratch = workDir / "seeds";
    fs::create_directories(scratch);
    std::string words;
    for (int i = 0; words.size() < 3000; ++i)
        words += "customer " + std::to_string(i * 7919 % 1000) + (i % 9 ? " " : "\n");
    std::string noise;
    std::uint32_t x = 12345;
    for (int i = 0; i < 600; ++i)
        noise += char((x = x * 1103515245u + 12345u) >> 24);

    // Archives made by the writer.
    const std::vector<std::vector<std::pair<std::string, std::string>>> sets = {
        {{"empty.zrt", ""}},
        {{"Tarnwicke.zrt", words}},
        {{"a.zrt", words.substr(0, 700)}, {"b.dat", noise}, {"c.txt", "x"}},
    };
    int n = 0;
    for (const auto& set : sets) {
        std::vector<fs::path> files;
        for (const auto& [name, content] : set) {
            files.push_back(scratch / name);
            writeFile(files.back(), content);
        }
        fs::path archive = scratch / "seed.zrb";
        BackupArchive().backup(files, archive);
        fs::copy_file(archive, seeds / ("writer-" + std::to_string(n++)), fs::copy_options::overwrite_existing);
    }

    // Archives the writer does not make: a file spread over two volumes, a
    // file list entry, Windows names.
    const std::string head = text("Backup Vorda") + le32(0) + le32(2);
    const std::string signature("EC2\0", 4);
    writeFile(seeds / "volumes",
              head + text("C:\\data\\Tarnwicke.zrt") + le32(0x56b16db5) + signature + deflated(words) + le32(0) +
                  text("NEXT:DISK002") + volumeSeparator + signature + le32(-5) + "tail." + le32(0) + le32(0));
    writeFile(seeds / "file-list",
              head + text("FILE:LIST") + le32(0) + signature + deflated("ids") + le32(0) + text("/srv/db/x.zrt") +
                  le32(0x21 << 16) + signature + le32(-3) + "abc" + le32(0) + le32(0));
    fs::remove_all(scratch);
}

void removeWorkDir() { fs::remove_all(workDir); }

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::string pattern = (fs::temp_directory_path() / "archive-fuzz-XXXXXX").string();
    check(mkdtemp(pattern.data()) != nullptr, "cannot create the work folder");
    workDir = pattern;
    std::atexit(removeWorkDir);
    if (const char* seeds = std::getenv("TARNWICKE_FUZZ_SEEDS"))
        writeSeeds(seeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const fs::path in = workDir / "in";
    const fs::path out = workDir / "out";
    fs::remove_all(in);
    fs::remove_all(out);
    fs::create_directories(in);
    fs::create_directories(out);
    writeFile(out / keptName, keptContent);

    // Split the input into volumes.
    const fs::path archive = in / "Tarnwicke.zrb";
    fs::path volume = archive;
    const char* rest = reinterpret_cast<const char*>(data);
    std::size_t left = size;
    for (int number = 1; number <= maxVolumes; ++number) {
        const void* found = number < maxVolumes ? memmem(rest, left, volumeSeparator, sizeof volumeSeparator - 1)
                                                : nullptr;
        std::size_t length = found ? std::size_t(static_cast<const char*>(found) - rest) : left;
        if (number > 1)
            volume = archiveVolumePath(archive, number);
        writeFile(volume, std::string(rest, length));
        if (!found)
            break;
        rest += length + sizeof volumeSeparator - 1;
        left -= length + sizeof volumeSeparator - 1;
    }

    BackupArchive reader;
    int lastPercent = -1;
    reader.onProgress = [&](const std::string&, int percent, bool&) {
        check(percent >= 0 && percent <= 100, "progress out of range");
        check(percent >= lastPercent, "progress went back");
        lastPercent = percent;
    };
    // A missing volume is answered with a stop rather than asked for forever.
    reader.onNeedDisk = [](VolumeRequest& request) { return fs::exists(request.path); };
    ArchiveResult result = reader.restore(archive, out);

    check(result.ok() || result.stopped || result.code != ArchiveError::none, "failure without a code");
    check(result.ok() || !result.message().empty() || result.stopped, "error without a message");
    for (const auto& item : fs::directory_iterator(workDir))
        check(item.path() == in || item.path() == out, "file written outside the target folder");
    for (const auto& item : fs::directory_iterator(out)) {
        const std::string name = item.path().filename().string();
        check(fs::is_regular_file(item.symlink_status()), "target folder holds something else than files");
        check(name.rfind(".tarnwicke-restore-", 0) != 0, "temporary file left behind");
        if (!result.ok())
            check(name == keptName, "failed restore left a file");
    }
    if (!result.ok())
        check(readFile(out / keptName) == keptContent, "failed restore changed an existing file");
    return 0;
}
