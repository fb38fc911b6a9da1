// What the firmware needs of the clone's disk before Windows' boot manager
// runs: the MBR's boot code and active partition and the boot sectors'
// hidden sectors for a BIOS, the EFI system partition's type, the fallback
// loader and the backup GPT for UEFI. Read only: each step says what it
// found and what it needs.
#pragma once

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
};

// The steps of the chain below the store on the clone's disk, found in
// clone. A step that cannot be read says so in found, with needs.
std::vector<FirmwareStep> CheckFirmwareChain(Volumes& volumes, const DiskScan& scan, const DiskInfo& disk,
                                             const CloneDisk& clone);
