// Read over the in-memory doubles, for large MountedDevices keys.
#include "mounttable/read_write.h"
#include "support/doubles.h"

#include <benchmark/benchmark.h>

#include <cstdio>

namespace {

std::vector<std::uint8_t> Identity(int seed)
{
    std::vector<std::uint8_t> data(12);
    for (int i = 0; i < 12; ++i)
        data[i] = static_cast<std::uint8_t>((seed >> (i % 4 * 8)) ^ (i * 37));
    return data;
}

std::string Letter(int i)
{
    // 26 real drive letters first; beyond that, names no drive has.
    char name[32];
    if (i < 26)
        std::snprintf(name, sizeof name, "%c:", 'A' + i);
    else
        std::snprintf(name, sizeof name, "X%d:", i);
    return name;
}

void Fill(MemoryRegistry& registry, const char* key, int letters, int others, int seedOffset)
{
    registry.AddKey(key);
    for (int i = 0; i < others; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "\\??\\Volume{%08x-0000-0000-0000-%012d}", i, seedOffset);
        registry.Put(key, name, Identity(i + 1000000));
    }
    for (int i = 0; i < letters; ++i)
        registry.Put(key, "\\DosDevices\\" + Letter(i), Identity(i * 2 + seedOffset));
}

void RunRead(benchmark::State& state, int letters, int others)
{
    MemoryRegistry registry;
    // Half the clone's identities match running ones (even seeds on both sides).
    Fill(registry, kRunningTableKey, letters, others, 0);
    Fill(registry, kCloneTableKey, letters, others, letters);
    FakeDriveShell shell;
    MemoryMountTable table;
    RecordingStatus status;
    for (auto _ : state) {
        ReadMountTable(registry, shell, table, status);
        shell.asked.clear();
        status.history.clear();
        benchmark::DoNotOptimize(table.rows.data());
    }
    state.counters["rows"] = static_cast<double>(table.rows.size());
}

void BM_Read_26Letters_10000Others(benchmark::State& state)
{
    RunRead(state, 26, 10000);
}
BENCHMARK(BM_Read_26Letters_10000Others)->Unit(benchmark::kMillisecond);

void BM_Read_5000LettersPerSide(benchmark::State& state)
{
    RunRead(state, 5000, 0);
}
BENCHMARK(BM_Read_5000LettersPerSide)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
