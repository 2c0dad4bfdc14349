// Backup and restore throughput of a 100 MB database-like file, side by side
// with gzip -1 and gunzip of the same file in the same run (one stream, the
// floor a chunked archive is measured against).  Bytes per second are of the
// uncompressed file in every case.
//
// The restore makes its files durable (fsync) before it renames them over the
// existing ones, so gunzip is measured twice: as it is, and followed by a
// sync of its output.
#include "host/archive.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>

namespace fs = std::filesystem;

namespace {

constexpr std::size_t fileSize = 100u * 1024 * 1024;
constexpr std::size_t pageSize = 8192;

// Deterministic pages as a customer database has them: free (zero) pages,
// pages of fixed-size records with text fields padded by zeros, index pages
// of ascending numbers, and a few pages of dense binary data.
std::string databaseImage()
{
    static const char* const names[] = {"陳大文", "林小美", "Wang Trading Co.", "Chen Hardware", "李國強",
                                        "Huang Foods Ltd", "張志明", "Lin Electronics", "吳淑芬", "Tsai Logistics"};
    static const char* const streets[] = {"中山北路二段", "Nanjing E. Rd. Sec. 3", "忠孝東路四段", "Keelung Rd.",
                                          "民生東路", "Xinyi Rd. Sec. 5"};
    std::mt19937 rng(20240517);
    std::string image;
    image.reserve(fileSize);
    std::uint32_t oid = 1000;
    while (image.size() < fileSize) {
        std::string page(pageSize, '\0');
        unsigned kind = rng() % 20;
        if (kind < 8) {
            // free page
        } else if (kind < 17) {
            for (std::size_t at = 0; at + 256 <= pageSize; at += 256) {
                char record[256] = {};
                std::snprintf(record, sizeof record, "%u", oid++);
                std::snprintf(record + 8, 64, "%s", names[rng() % std::size(names)]);
                std::snprintf(record + 72, 24, "09%02u-%03u-%03u", unsigned(rng() % 100), unsigned(rng() % 1000),
                              unsigned(rng() % 1000));
                std::snprintf(record + 96, 96, "台北市%s%u號%u樓", streets[rng() % std::size(streets)],
                              unsigned(rng() % 300 + 1), unsigned(rng() % 20 + 1));
                record[200] = char(rng() % 4);
                record[204] = char(rng() % 16);
                page.replace(at, 256, record, 256);
            }
        } else if (kind < 19) {
            std::uint32_t key = rng() % 100000;
            for (std::size_t at = 0; at + 8 <= pageSize; at += 8) {
                key += rng() % 64;
                std::uint32_t ref = oid - rng() % 5000;
                std::memcpy(&page[at], &key, 4);
                std::memcpy(&page[at + 4], &ref, 4);
            }
        } else {
            for (char& c : page)
                c = char(rng());
        }
        image += page;
    }
    image.resize(fileSize);
    return image;
}

struct Workspace {
    fs::path dir;
    fs::path source;
    fs::path archive;
    fs::path restored;
    fs::path gzipped;

    Workspace()
    {
        std::string pattern = (fs::temp_directory_path() / "tarnwicke-archive-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            std::abort();
        dir = pattern;
        source = dir / "Tarnwicke.zrt";
        archive = dir / "Tarnwicke.zrb";
        restored = dir / "restored";
        gzipped = dir / "Tarnwicke.zrt.gz";
        std::string image = databaseImage();
        std::ofstream(source, std::ios::binary).write(image.data(), std::streamsize(image.size()));
    }
    ~Workspace() { fs::remove_all(dir); }
};

Workspace& workspace()
{
    static Workspace instance;
    return instance;
}

void run(benchmark::State& state, const std::string& command)
{
    if (std::system(command.c_str()) != 0)
        state.SkipWithError(("failed: " + command).c_str());
}

void finish(benchmark::State& state, const fs::path& packed)
{
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(fileSize));
    state.counters["ratio"] = double(fs::file_size(packed)) / double(fileSize);
}

void archiveBackup(benchmark::State& state)
{
    Workspace& w = workspace();
    for (auto _ : state) {
        ArchiveResult result = BackupArchive().backup({w.source}, w.archive);
        if (!result.ok())
            state.SkipWithError(result.detail.c_str());
    }
    finish(state, w.archive);
}

void archiveRestore(benchmark::State& state)
{
    Workspace& w = workspace();
    if (!fs::exists(w.archive))
        BackupArchive().backup({w.source}, w.archive);
    for (auto _ : state) {
        ArchiveResult result = BackupArchive().restore(w.archive, w.restored);
        if (!result.ok())
            state.SkipWithError(result.detail.c_str());
    }
    finish(state, w.archive);
}

void gzipFastest(benchmark::State& state)
{
    Workspace& w = workspace();
    for (auto _ : state)
        run(state, "gzip -1 -c '" + w.source.string() + "' > '" + w.gzipped.string() + "'");
    finish(state, w.gzipped);
}

void gunzipPlain(benchmark::State& state)
{
    Workspace& w = workspace();
    if (!fs::exists(w.gzipped))
        run(state, "gzip -1 -c '" + w.source.string() + "' > '" + w.gzipped.string() + "'");
    fs::path out = w.dir / "gunzipped";
    for (auto _ : state)
        run(state, "gunzip -c '" + w.gzipped.string() + "' > '" + out.string() + "'");
    finish(state, w.gzipped);
}

void gunzipSynced(benchmark::State& state)
{
    Workspace& w = workspace();
    if (!fs::exists(w.gzipped))
        run(state, "gzip -1 -c '" + w.source.string() + "' > '" + w.gzipped.string() + "'");
    fs::path out = w.dir / "gunzipped";
    for (auto _ : state)
        run(state, "gunzip -c '" + w.gzipped.string() + "' > '" + out.string() + "' && sync '" + out.string() + "'");
    finish(state, w.gzipped);
}

} // namespace

BENCHMARK(archiveBackup)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(gzipFastest)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(archiveRestore)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(gunzipPlain)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(gunzipSynced)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

BENCHMARK_MAIN();
