// What the firmware needs of the clone's disk before Windows' boot manager
// runs: the MBR's boot code and active partition and the boot sectors'
// hidden sectors for a BIOS, the EFI system partition's type, the fallback
// loader and the backup GPT for UEFI. Each step says what it found and what
// it needs; the repair is planned beside it, and written by the caller.
#pragma once

#include "cli/commit/sector_writes.h"
#include "cli/report/clone_disk.h"

#include <string>
#include <vector>

struct FirmwareStep {
    std::string step;  // "boot code", "active partition", "hidden sectors", "fallback loader",
                       // "EFI system partition type", "backup GPT"
    std::string where; // the disk or partition it concerns
    std::string found;
    std::string needs;    // what it must become; "" when it is as the firmware needs it
    bool keep = false;    // not as Windows needs it, but the owner's choice: kept, with a warning
    bool planned = false; // needs is in the repair below
};

// The repair of the steps that are planned: sectors in the order they are
// written, the partition table's last, and the fallback loader to copy.
struct FirmwareRepair {
    std::vector<SectorEdit> sectors;
    const Partition* loaderVolume = nullptr;
    std::string loaderFrom, loaderTo; // paths inside loaderVolume; "" for no copy
};

// Where the standard MBR boot program is read from: syslinux's, which
// starts the active partition's boot sector.
inline constexpr const char* kMbrBootProgram = "/usr/lib/syslinux/mbr/mbr.bin";

// The steps of the chain below the store on the clone's disk, found in
// clone, and the repair of those that can be written. A step that cannot be
// read says so in found, with needs and not planned. mbrProgram is the file
// the boot code is taken from.
std::vector<FirmwareStep> CheckFirmwareChain(Volumes& volumes, const DiskScan& scan, const DiskInfo& disk,
                                             const CloneDisk& clone, FirmwareRepair* repair,
                                             const std::string& mbrProgram = kMbrBootProgram);

// Why libblkid reads no partition table in an MBR that has one, when it is
// the boot flags: an entry flagged other than 0x00 or 0x80 makes the whole
// table invalid to it, as to Windows' MBR code ("Invalid partition table").
// "" when that is not so; otherwise *cleared is the MBR with those flags 00.
std::string InvalidBootFlags(const DiskInfo& disk, SectorEdit* cleared);
