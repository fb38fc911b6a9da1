// What a clone's disk holds, found by content: its Windows installations,
// its boot store, and the partition each device element of the store names
// by the file its entry starts. What fix changes and what show suggests
// both come from here.
#pragma once

#include "cli/disk/disks.h"
#include "cli/report/boot_report.h"
#include "cli/fs/volumes.h"

#include <string>
#include <vector>

inline constexpr const char* kSystemHivePath = "/Windows/System32/config/SYSTEM";

struct CloneDisk {
    const DiskInfo* disk = nullptr;
    std::vector<const Partition*> windows; // NTFS partitions holding \Windows\System32\config\SYSTEM
    std::vector<std::string> bitlocker;    // its BitLocker partitions not unlocked and mounted
    const Partition* store = nullptr;      // the partition holding the boot store
    std::string storePath;                 // its path there
    bool uefi = false;                     // \EFI\Microsoft\Boot\BCD on an EFI system partition
    std::vector<std::string> unread;       // partitions that could not be read, and why
    // Without a store: stores under the name a replacement holds the old
    // one by (".BCD.voskarelle-old"), as a stopped run may leave them.
    std::vector<std::string> leftStores;
};

// Looks through every partition of disk in scan for Windows and its store.
void FindOnDisk(Volumes& volumes, const DiskScan& scan, const DiskInfo& disk, CloneDisk* found);

// Whether path exists on the partition, looked up as Windows does: 1 yes,
// 0 no, -1 when the partition cannot be read (why says so, when given).
int HoldsFile(Volumes& volumes, const DiskScan& scan, const Partition& part, const std::string& path,
              std::string* why = nullptr);

// One device element of the store and the partition of the clone's disk it
// goes to.
struct ElementTie {
    const StoreObject* object = nullptr;
    const StoreDevice* device = nullptr;
    enum Outcome {
        OnDisk,    // already names a partition of the disk by both identities
        Tied,      // goes to target
        NoFile,    // no partition holds its file
        Several,   // more than one does
        NoPath,    // the entry names no file to go by
        NoRecord,  // the device names no partition (the boot device, one found at boot)
        Unknown,   // a partition that may hold its file cannot be read
        OtherDisk, // names a disk other than the one the boot manager and the default loader start from
        Elsewhere, // names a partition of another examined disk: left alone
    } outcome = NoPath;
    std::string file;                   // the file that decides
    std::string unread;                 // Unknown: the partition that cannot be read, and why
    const Partition* target = nullptr;  // Tied: where it goes; OnDisk: where it is
    BootDevice moved;                   // Tied: the device as it becomes
    // What a failure to tie this element does: stop the repair (the default
    // loader, the boot manager) or only warn (the recovery environment, the
    // memory tester, others).
    bool vital = false;
};

// Ties each device element of store to the partition of clone's disk that
// holds the file its entry starts. windows is the Windows partition chosen:
// where several partitions hold a file and it is one of them, it wins for
// the elements that name the clone's own Windows volume (windowsOld, the
// identity the clone's C: has, or the default loader's osdevice).
std::vector<ElementTie> TieStore(Volumes& volumes, const DiskScan& scan, const StoreReport& store,
                                 const CloneDisk& clone, const Partition* windows, const Identity& windowsOld);

// What an element is, for the person: "{id} loader \"Windows 10\" osdevice".
std::string ElementText(const ElementTie& tie);
