// What the command knows of a clone's boot store: the devices its entries
// start from, the partition of the examined disks each one names, and how
// the store and the clone's drive-letter table meet.
#pragma once

#include "cli/hivefile/boot_store_file.h"
#include "cli/disk/disks.h"
#include "cli/hivefile/hive_input.h"
#include "cli/report/report.h"

#include <string>
#include <vector>

struct StoreDevice {
    const BootElement* element = nullptr;
    const Partition* found = nullptr; // the partition with both its disk and partition identity
};

struct StoreObject {
    const BootObject* object = nullptr;
    std::vector<StoreDevice> devices;
};

struct StoreReport {
    std::string store; // as given
    std::vector<std::string> recoveredFrom;
    std::string recovery;
    std::vector<BootObject> objects;
    std::vector<StoreObject> shown; // the objects with device elements, firmware entries left out
    int firmwareEntries = 0;
    std::vector<std::string> firmwareDescriptions; // of each firmware entry, its id when it has none
    std::string defaultLoader;     // "{...}" of the boot manager's default entry
    Identity defaultOsDevice;      // its OS device as a MountedDevices identity; empty when none
    std::string defaultOsLetter;   // the clone's letter for it, with a SYSTEM hive; "" when none
    std::vector<std::string> suggestedMoves;
    std::vector<std::string> warnings;
};

// Reads the store held by input with the disks of scan (which must outlive
// the report); false when its objects cannot be read.
bool MakeStoreReport(HiveInput& input, const DiskScan& scan, StoreReport* report, Failure* failure);

// The examined partition that has both the disk and the partition identity a
// boot device names; nullptr when none does.
const Partition* FindBootPartition(const DiskScan& scan, const BootDevice& device);

// The partition of disk that stands for one of another disk in a
// whole-disk move: at offset (MBR) or with the partition GUID guid (GPT);
// nullptr when disk has none.
const Partition* Counterpart(const DiskScan& scan, const DiskInfo& disk, PartitionStyle style, std::uint64_t offset,
                             const std::array<std::uint8_t, 16>& guid);

// The style, disk and partition a partition of the examined disks gets in a
// boot device; false when its disk carries no identity a store can name.
bool RecordOf(const DiskScan& scan, const Partition& part, BootDevice* device);

// The moves that would fix a disk whose identity changed: the references of
// the clone's table and store to one disk that no examined disk carries, when
// exactly one examined disk holds all of those partitions under another
// identity (MBR: at the same offsets; GPT: with the same partition GUIDs).
// command is the move command up to its arguments ("voskarelle move HIVE"),
// options what follows them (the disks examined, the sector size);
// explanations gets one text per move. clone or store may be null.
std::vector<std::string> SuggestDiskMoves(const Report* clone, const StoreReport* store, const DiskScan& scan,
                                          const std::string& command, const std::string& options,
                                          std::vector<std::string>* explanations);
