// Sectors of a disk changed in place: an MBR's boot code and flags, a boot
// sector's field, a partition table. The old bytes go to a backup file
// first, each sector is checked to hold still what the change was planned
// on, the writes are flushed and read back, and a failure part way gives
// every sector begun its old bytes again.
#pragma once

#include "cli/disk/commit_files.h"
#include "cli/disk/disks.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

// Whole logical sectors at a byte offset of the disk, as they are and as
// they must become.
struct SectorEdit {
    std::uint64_t offset = 0;
    std::vector<std::uint8_t> before, after;
    std::string what; // "the MBR of clone.img", said in the report
};

struct SectorWrite {
    std::string backup;               // "" when none was asked for or made
    std::vector<std::string> written; // what of the edits landed, in order
    bool torn = false;                // a write failed and could not all be taken back
    std::vector<std::string> begun;   // with torn: the edits that may be neither old nor new
    std::vector<std::string> restore; // commands that put the backup back
};

// Writes edits to disk (a device, a raw image or a VM image) in their
// order: the caller puts the partition table's sector last. With
// backupFolder, the old sectors are saved first to a new file there named
// after the disk. A block device is opened exclusively (none of its
// partitions mounted), and what is read of it comes from the disk, not a
// cache. False with the reason; done says what landed.
bool WriteSectorEdits(const DiskInfo& disk, std::span<const SectorEdit> edits, const std::string& backupFolder,
                      CommitFiles& files, SectorWrite* done, std::string* error);
