#include "hive/log_recovery.h"

#include "hive/bytes.h"
#include "hive/hive_file.h"
#include "hive/marvin32.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t kSector = 512;
constexpr std::size_t kPage = 4096;
constexpr std::size_t kEntryHeader = 40;
constexpr std::uint32_t kFileTypePrimary = 0;
constexpr std::uint32_t kFileTypeOldLog = 1;
constexpr std::uint32_t kFileTypeNewLog = 6;

// The first sector of a base block (what a log keeps of it), checked.
bool ValidBaseSector(std::span<const std::uint8_t> b)
{
    return b.size() >= kSector && std::memcmp(b.data(), "regf", 4) == 0 && BaseBlockChecksum(b) == Le32(b, 0x1FC);
}

struct LogEntry {
    std::uint32_t sequence;
    std::uint32_t flags;
    std::uint32_t binsSize;
    std::span<const std::uint8_t> refs;  // dirty page references
    std::span<const std::uint8_t> pages; // the pages, back to back
    std::uint32_t count;
};

// Entries of a new-format log in file order, up to the first one that fails
// its checks.
std::vector<LogEntry> ReadEntries(std::span<const std::uint8_t> log)
{
    std::vector<LogEntry> entries;
    std::size_t at = kSector;
    while (at + kEntryHeader <= log.size()) {
        std::span<const std::uint8_t> head = log.subspan(at);
        if (std::memcmp(head.data(), "HvLE", 4) != 0)
            break;
        std::uint32_t size = Le32(head, 4);
        std::uint32_t binsSize = Le32(head, 16);
        std::uint32_t count = Le32(head, 20);
        if (size < kEntryHeader || size % kSector != 0 || size > head.size() || binsSize == 0 ||
            binsSize % kPage != 0 || count > (size - kEntryHeader) / 8)
            break;
        std::span<const std::uint8_t> entry = head.first(size);
        if (Marvin32(entry.subspan(kEntryHeader), kLogHashSeed) != Le64(entry, 24) ||
            Marvin32(entry.first(32), kLogHashSeed) != Le64(entry, 32))
            break;
        std::size_t refsEnd = kEntryHeader + std::size_t{count} * 8;
        std::uint64_t pagesSize = 0;
        bool fits = true;
        for (std::uint32_t i = 0; i < count && fits; ++i) {
            std::uint64_t pageOffset = Le32(entry, kEntryHeader + 8 * i);
            std::uint64_t pageSize = Le32(entry, kEntryHeader + 8 * i + 4);
            pagesSize += pageSize;
            // A page outside the hive bins data the entry declares is refused.
            fits = pageSize % kPage == 0 && pageOffset % kPage == 0 && pageOffset + pageSize <= binsSize &&
                   refsEnd + pagesSize <= size;
        }
        if (!fits)
            break;
        entries.push_back({Le32(entry, 12), Le32(entry, 8), binsSize, entry.subspan(kEntryHeader, refsEnd - kEntryHeader),
                           entry.subspan(refsEnd, static_cast<std::size_t>(pagesSize)), count});
        at += size;
    }
    return entries;
}

void GrowTo(std::vector<std::uint8_t>& hive, std::uint32_t binsSize)
{
    std::size_t wanted = kPage + std::size_t{binsSize};
    if (hive.size() < wanted)
        hive.resize(wanted, 0);
}

void Finish(Recovery& r, std::uint32_t sequence, std::uint32_t binsSize)
{
    PutLe32(r.hive, 0x04, sequence);
    PutLe32(r.hive, 0x08, sequence);
    PutLe32(r.hive, 0x1C, kFileTypePrimary);
    PutLe32(r.hive, 0x28, binsSize);
    PutLe32(r.hive, 0x1FC, BaseBlockChecksum(r.hive));
    r.recovered = true;
}

// The newer format: entries of all logs, in sequence order from the base
// block's secondary sequence number on.
bool RecoverNew(Recovery& r, const std::vector<const HiveLog*>& order, std::uint64_t limit)
{
    std::uint32_t secondary = Le32(r.hive, 0x08);
    std::uint32_t expected = 0;
    std::uint32_t binsSize = Le32(r.hive, 0x28);
    bool gap = false;
    for (const HiveLog* log : order) {
        bool used = false;
        for (const LogEntry& entry : ReadEntries(log->bytes)) {
            // Entries already in the base file, or already applied from an
            // earlier log, are passed over; a lower number after this log's
            // own entries began is a stale remnant that ends the log.
            bool started = r.entries > 0;
            if (entry.sequence < (started ? expected : secondary)) {
                if (used)
                    break;
                continue;
            }
            if (started && entry.sequence != expected) {
                gap = true; // nothing after a missing entry may be applied
                break;
            }
            // Hive bins grow only by pages that are themselves in a log,
            // and never past what the files read hold in all.
            if (entry.binsSize > r.hive.size() - kPage + log->bytes.size() ||
                kPage + std::uint64_t{entry.binsSize} > limit) {
                gap = true;
                break;
            }
            GrowTo(r.hive, entry.binsSize);
            std::size_t pageAt = 0;
            for (std::uint32_t i = 0; i < entry.count; ++i) {
                std::size_t offset = Le32(entry.refs, 8 * i);
                std::size_t size = Le32(entry.refs, 8 * i + 4);
                std::memcpy(r.hive.data() + kPage + offset, entry.pages.data() + pageAt, size);
                pageAt += size;
                ++r.pages;
            }
            PutLe32(r.hive, 144, entry.flags);
            binsSize = entry.binsSize;
            if (!started)
                r.firstSequence = entry.sequence;
            used = true;
            r.lastSequence = entry.sequence;
            expected = entry.sequence + 1;
            ++r.entries;
        }
        if (used)
            r.applied.push_back(log->name);
        if (gap)
            break;
    }
    if (r.entries == 0)
        return false;
    Finish(r, r.lastSequence, binsSize);
    return true;
}

// The older format: one log whose base block is valid and was written with
// the same timestamp as the base file's, applied whole. Every check comes
// before the first change, so a log refused leaves r as it was.
bool RecoverOld(Recovery& r, const HiveLog& log, std::span<const std::uint8_t> baseTimestamp, std::uint64_t limit)
{
    std::span<const std::uint8_t> bytes = log.bytes;
    if (!ValidBaseSector(bytes) || Le32(bytes, 0x1C) != kFileTypeOldLog || Le32(bytes, 4) != Le32(bytes, 8) ||
        std::memcmp(bytes.data() + 12, baseTimestamp.data(), 8) != 0)
        return false;
    std::uint32_t binsSize = Le32(bytes, 0x28);
    if (binsSize == 0 || binsSize % kPage != 0 || binsSize > r.hive.size() - kPage + bytes.size() ||
        kPage + std::uint64_t{binsSize} > limit)
        return false;
    std::size_t bits = binsSize / kSector;
    std::size_t bitmapBytes = (bits + 7) / 8;
    if (bytes.size() < kSector + 4 + bitmapBytes || std::memcmp(bytes.data() + kSector, "DIRT", 4) != 0)
        return false;
    std::span<const std::uint8_t> bitmap = bytes.subspan(kSector + 4, bitmapBytes);
    std::size_t pagesAt = kSector + (4 + bitmapBytes + kSector - 1) / kSector * kSector;
    std::size_t dirty = 0;
    for (std::size_t bit = 0; bit < bits; ++bit)
        dirty += (bitmap[bit / 8] >> (bit % 8)) & 1;
    if (pagesAt > bytes.size() || dirty > (bytes.size() - pagesAt) / kSector)
        return false; // a truncated log: none of it is applied
    GrowTo(r.hive, binsSize);
    std::size_t page = 0;
    for (std::size_t bit = 0; bit < bits; ++bit) {
        if (((bitmap[bit / 8] >> (bit % 8)) & 1) == 0)
            continue;
        std::memcpy(r.hive.data() + kPage + bit * kSector, bytes.data() + pagesAt + page * kSector, kSector);
        ++page;
    }
    r.pages = static_cast<int>(dirty);
    r.entries = 1;
    r.firstSequence = r.lastSequence = Le32(bytes, 4);
    r.applied.push_back(log.name);
    Finish(r, r.lastSequence, binsSize);
    return true;
}

} // namespace

Recovery RecoverHive(std::span<const std::uint8_t> base, std::span<const HiveLog> logs)
{
    Recovery r;
    if (base.size() < kPage || std::memcmp(base.data(), "regf", 4) != 0) {
        r.why = "the base file has no base block";
        return r;
    }
    r.hive.assign(base.begin(), base.end());
    std::uint64_t limit = base.size();
    for (const HiveLog& log : logs)
        limit += log.bytes.size();

    // A damaged base block is taken from the newest valid log's copy of it.
    const HiveLog* newest = nullptr;
    for (const HiveLog& log : logs) {
        if (!ValidBaseSector(log.bytes))
            continue;
        std::uint32_t type = Le32(log.bytes, 0x1C);
        if ((type == kFileTypeNewLog || type == kFileTypeOldLog) &&
            (newest == nullptr || Le32(log.bytes, 4) > Le32(newest->bytes, 4)))
            newest = &log;
    }
    std::vector<std::uint8_t> firstBinTimestamp(base.begin() + std::min<std::size_t>(base.size(), kPage + 20),
                                                base.begin() + std::min<std::size_t>(base.size(), kPage + 28));
    std::vector<std::uint8_t> timestamp(base.begin() + 12, base.begin() + 20);
    if (!ValidBaseSector(base)) {
        if (newest == nullptr) {
            r.why = "the base block is damaged and no log holds a valid copy of it";
            return r;
        }
        std::memcpy(r.hive.data(), newest->bytes.data(), kSector);
        PutLe32(r.hive, 0x1C, kFileTypePrimary);
        r.baseBlockFromLog = true;
        if (firstBinTimestamp.size() == 8)
            timestamp = firstBinTimestamp;
    }

    // The newer format orders logs by their contents: the log whose base
    // block carries the lower sequence number holds the older entries.
    std::vector<const HiveLog*> newer;
    for (const HiveLog& log : logs)
        if (ValidBaseSector(log.bytes) && Le32(log.bytes, 0x1C) == kFileTypeNewLog)
            newer.push_back(&log);
    std::stable_sort(newer.begin(), newer.end(),
                     [](const HiveLog* a, const HiveLog* b) { return Le32(a->bytes, 4) < Le32(b->bytes, 4); });
    if (!newer.empty() && RecoverNew(r, newer, limit))
        return r;
    for (const HiveLog& log : logs)
        if (RecoverOld(r, log, timestamp, limit))
            return r;
    r.why = logs.empty() ? "no transaction log was found beside it"
                         : "no log holds entries that continue the base file's sequence";
    return r;
}
