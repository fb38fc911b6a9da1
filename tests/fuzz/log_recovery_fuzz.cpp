// libFuzzer target over the base-block check and the recovery of a hive
// from transaction logs. An input is one flag byte, then the first log, then
// optionally "VOSKLOG2" and the second log. Bit 0 of the flag takes the base
// file from VOSK_FUZZ_BASE (a real hive) instead of a small one made here;
// bit 1 uses the first log as the base file too, so that damaged base blocks
// are exercised; bit 2 seals each entry with its two Marvin32 hashes, so that
// the fuzzer reaches what the entries hold and not only their checks.
#include "hive/bytes.h"
#include "hive/hive_file.h"
#include "hive/log_recovery.h"
#include "hive/marvin32.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string_view>
#include <vector>

namespace {

std::vector<std::uint8_t> g_realBase;
std::vector<std::uint8_t> g_smallBase;

// A dirty hive of one empty bin: enough for pages to land on.
std::vector<std::uint8_t> SmallDirtyHive()
{
    std::vector<std::uint8_t> hive(8192, 0);
    std::memcpy(hive.data(), "regf", 4);
    PutLe32(hive, 0x04, 2);
    PutLe32(hive, 0x08, 1);
    PutLe32(hive, 0x14, 1);
    PutLe32(hive, 0x18, 5);
    PutLe32(hive, 0x20, 1);
    PutLe32(hive, 0x24, 0x20);
    PutLe32(hive, 0x28, 4096);
    PutLe32(hive, 0x1FC, BaseBlockChecksum(hive));
    std::memcpy(hive.data() + 4096, "hbin", 4);
    PutLe32(hive, 4096 + 8, 4096);
    return hive;
}

// Writes the hashes of every entry that is whole, as Windows would have.
void SealEntries(std::vector<std::uint8_t>& log)
{
    std::size_t at = 512;
    while (at + 40 <= log.size() && std::memcmp(log.data() + at, "HvLE", 4) == 0) {
        std::uint32_t size = Le32(log, at + 4);
        if (size < 40 || size % 512 != 0 || size > log.size() - at)
            break;
        std::span<std::uint8_t> entry(log.data() + at, size);
        PutLe64(entry, 24, Marvin32(std::span<const std::uint8_t>(entry).subspan(40), kLogHashSeed));
        PutLe64(entry, 32, Marvin32(std::span<const std::uint8_t>(entry).first(32), kLogHashSeed));
        at += size;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_smallBase = SmallDirtyHive();
    if (const char* path = std::getenv("VOSK_FUZZ_BASE")) {
        std::ifstream in(path, std::ios::binary);
        g_realBase.assign(std::istreambuf_iterator<char>(in), {});
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    std::uint8_t flags = data[0];
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    std::size_t split = rest.find("VOSKLOG2");
    std::vector<HiveLog> logs;
    std::string_view first = rest.substr(0, split);
    logs.push_back({"LOG1", std::vector<std::uint8_t>(first.begin(), first.end())});
    if (split != std::string_view::npos) {
        std::string_view second = rest.substr(split + 8);
        logs.push_back({"LOG2", std::vector<std::uint8_t>(second.begin(), second.end())});
    }

    if (flags & 4)
        for (HiveLog& log : logs)
            SealEntries(log.bytes);

    BaseBlock block;
    ParseBaseBlock(logs[0].bytes, &block);
    const std::vector<std::uint8_t>& base =
        (flags & 2) ? logs[0].bytes : ((flags & 1) && !g_realBase.empty() ? g_realBase : g_smallBase);
    Recovery r = RecoverHive(base, logs);
    // Whatever the logs say, the image grows no further than the files read.
    std::size_t bound = base.size();
    for (const HiveLog& log : logs)
        bound += log.bytes.size();
    if (r.hive.size() > bound)
        std::abort();
    if (r.recovered) {
        // A recovered hive is whole: a clean base block over its bins.
        if (!ParseBaseBlock(r.hive, &block) || block.Dirty() || !block.checksumOk ||
            r.hive.size() < kBaseBlockBytes + block.hiveBinsSize)
            std::abort();
    }
    return 0;
}
