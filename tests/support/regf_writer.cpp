#include "support/regf_writer.h"

#include "hive/bytes.h"
#include "hive/hive_file.h"
#include "hive/marvin32.h"

#include <cstdio>
#include <cstring>

std::vector<std::uint8_t> MinimalHiveImage()
{
    constexpr std::size_t kBin = 0x1000;
    constexpr std::uint32_t kRoot = 0x20;
    constexpr std::uint32_t kSecurity = 0x78;
    constexpr std::uint32_t kFree = 0xA8;
    std::vector<std::uint8_t> image(2 * kBin, 0);

    // Base block.
    std::memcpy(&image[0], "regf", 4);
    PutLe32(image, 0x04, 1); // sequence numbers equal: the hive is clean
    PutLe32(image, 0x08, 1);
    PutLe32(image, 0x14, 1); // format 1.3
    PutLe32(image, 0x18, 3);
    PutLe32(image, 0x1C, 0);
    PutLe32(image, 0x20, 1);
    PutLe32(image, 0x24, kRoot);
    PutLe32(image, 0x28, kBin);
    PutLe32(image, 0x2C, 1);
    std::uint32_t sum = 0;
    for (std::size_t at = 0; at < 0x1FC; at += 4)
        sum ^= Le32(image, at);
    if (sum == 0xFFFFFFFFu)
        sum = 0xFFFFFFFEu;
    if (sum == 0)
        sum = 1;
    PutLe32(image, 0x1FC, sum);

    // The bin and its cells; cell offsets count from the bin's start.
    std::memcpy(&image[kBin], "hbin", 4);
    PutLe32(image, kBin + 4, 0);
    PutLe32(image, kBin + 8, kBin);

    std::size_t nk = kBin + kRoot;
    PutLe32(image, nk, static_cast<std::uint32_t>(-88));
    std::memcpy(&image[nk + 4], "nk", 2);
    PutLe16(image, nk + 6, 0x2C); // hive entry, no delete, ASCII name
    PutLe32(image, nk + 20, 0xFFFFFFFFu); // parent: none
    PutLe32(image, nk + 28, 0xFFFFFFFFu); // subkey lists: none
    PutLe32(image, nk + 32, 0xFFFFFFFFu);
    PutLe32(image, nk + 44, 0xFFFFFFFFu); // value list: none
    PutLe32(image, nk + 48, kSecurity);
    PutLe32(image, nk + 52, 0xFFFFFFFFu); // class name: none
    PutLe16(image, nk + 76, 4);
    std::memcpy(&image[nk + 80], "ROOT", 4);

    std::size_t sk = kBin + kSecurity;
    PutLe32(image, sk, static_cast<std::uint32_t>(-48));
    std::memcpy(&image[sk + 4], "sk", 2);
    PutLe32(image, sk + 8, kSecurity); // a list of one: itself both ways
    PutLe32(image, sk + 12, kSecurity);
    PutLe32(image, sk + 16, 1);
    PutLe32(image, sk + 20, 20);
    image[sk + 24] = 1;              // self-relative descriptor, revision 1,
    PutLe16(image, sk + 26, 0x8004);   // with a null DACL

    PutLe32(image, kBin + kFree, static_cast<std::uint32_t>(kBin - kFree));
    return image;
}

bool WriteMinimalHive(const char* path)
{
    std::vector<std::uint8_t> image = MinimalHiveImage();
    std::FILE* file = std::fopen(path, "wb");
    if (file == nullptr)
        return false;
    bool ok = std::fwrite(image.data(), 1, image.size(), file) == image.size();
    return std::fclose(file) == 0 && ok;
}

std::vector<std::uint8_t> MakeNewFormatLog(const std::vector<std::uint8_t>& hive, std::uint32_t logSequence,
                                           const std::vector<LogEntryPlan>& entries)
{
    std::vector<std::uint8_t> log(hive.begin(), hive.begin() + 512);
    PutLe32(log, 0x04, logSequence);
    PutLe32(log, 0x08, logSequence);
    PutLe32(log, 0x1C, 6); // a log of the newer format
    PutLe32(log, 0x1FC, BaseBlockChecksum(log));
    for (const LogEntryPlan& planned : entries) {
        std::vector<std::uint8_t> entry(40);
        std::memcpy(entry.data(), "HvLE", 4);
        PutLe32(entry, 12, planned.sequence);
        PutLe32(entry, 16, planned.binsSize);
        PutLe32(entry, 20, static_cast<std::uint32_t>(planned.pages.size()));
        for (const LogPage& page : planned.pages) {
            entry.resize(entry.size() + 8);
            PutLe32(entry, entry.size() - 8, page.offset);
            PutLe32(entry, entry.size() - 4, static_cast<std::uint32_t>(page.bytes.size()));
        }
        for (const LogPage& page : planned.pages)
            entry.insert(entry.end(), page.bytes.begin(), page.bytes.end());
        entry.resize((entry.size() + 511) / 512 * 512);
        PutLe32(entry, 4, static_cast<std::uint32_t>(entry.size()));
        std::uint64_t hash1 = Marvin32(std::span(entry).subspan(40), kLogHashSeed);
        PutLe32(entry, 24, static_cast<std::uint32_t>(hash1));
        PutLe32(entry, 28, static_cast<std::uint32_t>(hash1 >> 32));
        std::uint64_t hash2 = Marvin32(std::span(entry).first(32), kLogHashSeed);
        PutLe32(entry, 32, static_cast<std::uint32_t>(hash2));
        PutLe32(entry, 36, static_cast<std::uint32_t>(hash2 >> 32));
        log.insert(log.end(), entry.begin(), entry.end());
    }
    return log;
}
