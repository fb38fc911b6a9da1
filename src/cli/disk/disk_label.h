// The identity a partition table gives its whole disk (the MBR disk
// signature, the GPT disk GUID), written through libfdisk, and the copy of
// the label areas taken before any write so that it can be undone with dd.
#pragma once

#include "cli/disk/commit_files.h"
#include "cli/disk/write_runs.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

struct DiskLabelId {
    std::string table;                   // "dos" or "gpt", as libblkid and libfdisk name them
    std::uint32_t signature = 0;         // dos
    std::array<std::uint8_t, 16> guid{}; // gpt, in Windows' byte layout like DiskInfo::guid
    bool operator==(const DiskLabelId&) const = default;
};

// "5CBEA03E" or "{0e2b7c1d-8a41-4f39-9c6b-2d5e8f1a3b4c}".
std::string DiskLabelIdText(const DiskLabelId& id);

// A NEW-ID for a disk whose table is table: 8 hexadecimal digits (0x allowed)
// for dos, a GUID for gpt. False with the reason when it is malformed, of the
// other style, or one Windows would replace (zero).
bool ParseDiskLabelId(const std::string& table, const std::string& text, DiskLabelId* id, std::string* error);

// The identity as libfdisk reads it, the disk opened read-only.
// sectorSize is an image's logical sector size, 0 for what libfdisk finds.
// With intact, a label libfdisk would repair (a header whose checksum fails,
// read from the other) is an error too.
bool ReadDiskLabelId(const std::string& path, unsigned sectorSize, DiskLabelId* id, std::string* error,
                     bool intact = false);

// The label areas: the MBR or protective MBR with the primary GPT header and
// entries at the start, the backup entries and header at the end.
inline constexpr std::uint64_t kLabelHeadSectors = 34;
inline constexpr std::uint64_t kLabelTailSectors = 33;

struct LabelAreas {
    unsigned long sectorSize = 0; // logical
    std::uint64_t sectors = 0;    // of the whole disk
};

// Saves the label areas of the disk open at fd to a new file
// "<base>.voskarelle-<stamp>[-N].label.bak" and flushes it and its folder.
// False with the reason; then no backup file is left.
bool BackupLabelAreas(int fd, const LabelAreas& areas, const std::string& base, CommitFiles& files,
                      std::string* backupPath, std::vector<std::uint8_t>* saved, std::string* error);

// The commands that put a backup's two areas back onto disk: dd, or for a
// VM image of format (as qemu names it) qemu-io.
std::vector<std::string> RestoreCommands(const std::string& backup, const std::string& disk, const LabelAreas& areas,
                                         const std::string& format = "");

enum class DiskState {
    Untouched, // nothing was written to the disk (a backup may have been made)
    PutBack,   // written, found wrong, and the saved label put back
    Unsure,    // a write or its flush failed: the label may be old, new or torn
    Written,
};

struct LabelWrite {
    DiskState state = DiskState::Untouched;
    std::string disk;   // the real path written
    std::string format; // a VM image's, as qemu names it; "" for a disk or raw image
    std::string backup; // "" until it is made
    LabelAreas areas;
    bool blockDevice = false;
    bool reread = false;     // the kernel took the new table (block devices)
    std::string rereadError; // why it did not
};

// Opens path for writing, checks that its table still carries old and that
// libfdisk would change nothing but the identity, saves the label areas,
// then writes newId, puts back any other byte libfdisk changed, and reads
// it back. sectorSize is an image's logical sector size (0: 512). False
// with the reason; done says how far it got.
bool WriteDiskLabelId(const std::string& path, unsigned sectorSize, const DiskLabelId& old, const DiskLabelId& newId,
                      CommitFiles& files, LabelWrite* done, std::string* error);

// The sectors that repair a GPT as firmware needs it, planned by libfdisk on
// a copy of the label areas in memory: partition espNumber (counted from 1;
// 0 for none) given the EFI system partition's type, and the backup header
// and entries moved to the disk's end, as sfdisk --relocate gpt-bak-std
// does, with the protective MBR's size. Of what libfdisk writes, only those
// bytes are taken: every partition, GUID, name and attribute stays. read
// reads the disk; runs, in the order they are written (the protective MBR
// last), are whole sectors with their old bytes. False with the reason.
bool PlanGptRepair(const std::function<bool(std::uint64_t, std::uint8_t*, std::size_t)>& read,
                   std::uint64_t diskSize, unsigned sectorSize, int espNumber, std::vector<WriteRun>* runs,
                   std::string* error);
