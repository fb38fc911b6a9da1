// Recovery of a dirty hive from its logs, next to reading the same files
// once: the real user class hive with its two logs, and a made 64 MiB hive
// with a log of 10,000 dirty pages. Prints figures; asserts nothing.
#include "hive/hive_file.h"
#include "hive/log_recovery.h"
#include "support/regf_writer.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

double Seconds()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

std::vector<std::uint8_t> ReadFile(const fs::path& path)
{
    std::vector<std::uint8_t> bytes(fs::file_size(path));
    std::ifstream(path, std::ios::binary)
        .read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

void WriteFile(const fs::path& path, const std::vector<std::uint8_t>& bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The median of runs of f, in milliseconds.
double Median(int runs, const std::function<void()>& f)
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        double start = Seconds();
        f();
        times.push_back((Seconds() - start) * 1000);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

void Measure(const char* what, const fs::path& base, const std::vector<fs::path>& logs)
{
    std::uintmax_t bytes = fs::file_size(base);
    for (const fs::path& log : logs)
        bytes += fs::file_size(log);
    std::vector<std::uint8_t> hive;
    std::vector<HiveLog> read;
    double reading = Median(7, [&] {
        hive = ReadFile(base);
        read.clear();
        for (const fs::path& log : logs)
            read.push_back({log.string(), ReadFile(log)});
    });
    Recovery r;
    double recovering = Median(7, [&] { r = RecoverHive(hive, read); });
    std::printf("%s: %.1f MiB in %zu files\n", what, double(bytes) / (1 << 20), logs.size() + 1);
    std::printf("  reading the files once  %8.2f ms\n", reading);
    std::printf("  recovery in memory      %8.2f ms  (%d entries, %d pages, %s)\n", recovering, r.entries, r.pages,
                r.recovered ? "recovered" : r.why.c_str());
}

} // namespace

int main()
{
    fs::path dir = fs::temp_directory_path() / ("vosk-recovery-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::string data = VOSK_TESTDATA_DIR;
    for (const char* name : {"UsrClass.dat", "UsrClass.dat.LOG1", "UsrClass.dat.LOG2"})
        if (std::system(("xz -dc '" + data + "/" + name + ".xz' > '" + (dir / name).string() + "'").c_str()) != 0)
            return 1;
    Measure("UsrClass.dat with LOG1 and LOG2", dir / "UsrClass.dat",
            {dir / "UsrClass.dat.LOG1", dir / "UsrClass.dat.LOG2"});

    // 64 MiB of hive bins; 100 log entries of 100 dirty pages each.
    std::vector<std::uint8_t> hive = MinimalHiveImage();
    constexpr std::uint32_t kBins = 64u << 20;
    hive.resize(4096 + kBins, 0);
    for (std::size_t at = 4096; at < hive.size(); at += 4096)
        std::copy_n("hbin", 4, hive.begin() + static_cast<std::ptrdiff_t>(at));
    // Dirty: written up to sequence 41, the write of 42 only in the log.
    std::uint32_t sequence = 41;
    std::uint32_t primary = sequence + 1;
    std::copy_n(reinterpret_cast<const std::uint8_t*>(&primary), 4, hive.begin() + 4);
    std::copy_n(reinterpret_cast<const std::uint8_t*>(&sequence), 4, hive.begin() + 8);
    std::uint32_t sum = BaseBlockChecksum(hive);
    std::copy_n(reinterpret_cast<const std::uint8_t*>(&sum), 4, hive.begin() + 0x1FC);
    std::vector<LogEntryPlan> entries;
    for (std::uint32_t e = 0; e < 100; ++e) {
        LogEntryPlan entry{sequence + e, kBins, {}};
        for (std::uint32_t p = 0; p < 100; ++p) {
            std::uint32_t page = (e * 100 + p) * 1637 % (kBins / 4096);
            entry.pages.push_back({page * 4096, std::vector<std::uint8_t>(4096, static_cast<std::uint8_t>(e + p))});
        }
        entries.push_back(std::move(entry));
    }
    WriteFile(dir / "BIG", hive);
    WriteFile(dir / "BIG.LOG1", MakeNewFormatLog(hive, sequence, entries));
    Measure("a 64 MiB hive with 10,000 dirty pages", dir / "BIG", {dir / "BIG.LOG1"});
    fs::remove_all(dir);
    return 0;
}
