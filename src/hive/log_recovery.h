// Recovery of a dirty hive from its transaction logs, the way Windows does it
// when it next loads the hive: the logs' dirty pages are written over the base
// file's image in memory, in sequence-number order, and the result is a clean
// hive. Both log formats: the older one (a "DIRT" bitmap of 512-byte pages)
// and the newer one ("HvLE" entries checked by Marvin32 hashes).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

struct HiveLog {
    std::string name; // for the report only; the order comes from the contents
    std::vector<std::uint8_t> bytes;
};

struct Recovery {
    bool recovered = false;             // hive holds a clean, recovered image
    std::vector<std::uint8_t> hive;
    std::vector<std::string> applied;   // names of the logs whose pages were used
    int entries = 0;                    // log entries (or old-format logs) applied
    int pages = 0;                      // dirty pages written (page references)
    std::uint32_t firstSequence = 0;
    std::uint32_t lastSequence = 0;
    bool baseBlockFromLog = false;      // the base file's base block was damaged
    std::string why;                    // when not recovered: the reason
};

// Recovers base (the whole base file) with logs. Never reads or writes out of
// bounds whatever the bytes; stops at the first entry that fails its checks or
// breaks the sequence and applies nothing after it. The recovered image never
// grows past the size of the base file and the logs together: an entry that
// would take it further ends recovery as a bad entry does.
Recovery RecoverHive(std::span<const std::uint8_t> base, std::span<const HiveLog> logs);
