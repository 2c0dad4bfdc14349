// Commit cost against the disk's own floor (one fdatasync of a small file),
// and allocation throughput.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "engine286/database.h"

namespace {

std::string benchFolder()
{
    static std::string folder = [] {
        std::string pattern = std::filesystem::current_path().string() + "/engine-bench-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) std::abort();
        return pattern;
    }();
    return folder;
}

class BenchDatabase : public dbDatabase {
public:
    BenchDatabase() : dbDatabase(dbReadWrite, 0, dbDefaultExtensionQuantum, 65536) {}
    oid_t store(uint32_t size, uint32_t value)
    {
        oid_t oid = allocateId();
        offs_t pos = allocate(size);
        setPos(oid, pos);
        auto* words = reinterpret_cast<uint32_t*>(getBase() + pos);
        words[0] = size;
        words[1] = value;
        return oid;
    }
};

void FdatasyncFloor(benchmark::State& state)
{
    std::string path = benchFolder() + "/floor";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    char block[4096] = {};
    for (auto _ : state) {
        block[0]++;
        if (pwrite(fd, block, sizeof block, 0) != sizeof block) std::abort();
        fdatasync(fd);
    }
    close(fd);
}
BENCHMARK(FdatasyncFloor)->Unit(benchmark::kMicrosecond)->UseRealTime();

void CommitChangedObjects(benchmark::State& state)
{
    const int changed = int(state.range(0));
    std::string path = benchFolder() + "/commit" + std::to_string(changed) + ".zrt";
    BenchDatabase db;
    if (!db.open(("commit" + std::to_string(changed)).c_str(), path.c_str())) std::abort();
    std::vector<oid_t> ids;
    db.beginTransaction(dbDatabase::dbExclusiveLock);
    for (int i = 0; i < 10000; i++) ids.push_back(db.store(64, uint32_t(i)));
    db.commit();
    uint32_t round = 0;
    for (auto _ : state) {
        db.beginTransaction(dbDatabase::dbExclusiveLock);
        round++;
        for (int i = 0; i < changed; i++) {
            auto* words = reinterpret_cast<uint32_t*>(db.putRow(ids[size_t((i * 7 + round) % ids.size())]));
            words[1] = round;
        }
        db.commit();
    }
    db.close();
    std::filesystem::remove(path);
}
BENCHMARK(CommitChangedObjects)->Arg(1)->Arg(1000)->Unit(benchmark::kMicrosecond)->UseRealTime();

void AllocateMillionSmallObjects(benchmark::State& state)
{
    int run = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::string path = benchFolder() + "/alloc" + std::to_string(run++) + ".zrt";
        BenchDatabase db;
        if (!db.open("alloc", path.c_str())) std::abort();
        db.beginTransaction(dbDatabase::dbExclusiveLock);
        state.ResumeTiming();
        for (uint32_t i = 0; i < 1000000; i++) db.store(32, i);
        state.PauseTiming();
        db.commit();
        db.close();
        std::filesystem::remove(path);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * 1000000);
}
BENCHMARK(AllocateMillionSmallObjects)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(benchFolder());
    return 0;
}
