// Writes the smallest registry hive file that other implementations accept:
// a base block and one bin holding an empty root key and its security cell.
#pragma once

#include <cstdint>
#include <vector>

std::vector<std::uint8_t> MinimalHiveImage();
bool WriteMinimalHive(const char* path);

struct LogPage {
    std::uint32_t offset; // in the hive bins data
    std::vector<std::uint8_t> bytes;
};

struct LogEntryPlan {
    std::uint32_t sequence;
    std::uint32_t binsSize;
    std::vector<LogPage> pages;
};

// A transaction log in the newer format for the hive whose base block is
// given: its base block copy carries sequence number logSequence, and each
// entry its pages, with the Marvin32 hashes Windows writes.
std::vector<std::uint8_t> MakeNewFormatLog(const std::vector<std::uint8_t>& hive, std::uint32_t logSequence,
                                           const std::vector<LogEntryPlan>& entries);
