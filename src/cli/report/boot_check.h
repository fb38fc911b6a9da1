// Whether the clone will reach its own disk at boot: the partition its SYSTEM
// hive sits on, the letter the clone gives it, the bus of its disk and the
// inbox drivers Windows needs for that bus.
#pragma once

#include "cli/hivefile/boot_driver_file.h"
#include "cli/report/report.h"

#include <string>
#include <vector>

// The examined partition the file sits on: the partition it was named in,
// or the one whose file system holds it (through a device-mapper device to
// the partition beneath it), looked up under root; nullptr when it is on
// none of them. device gets the block device or partition.
const Partition* OwnPartition(const std::string& root, const FileRef& file, const DiskScan& scan,
                              std::string* device);

// Fills report->boot for the hive file: its volume and bus looked up
// under root ("/" for this machine) unless bus is given, and the verdict on
// the bus's boot drivers in hive. Adds the warnings a person must act on.
void CheckBootDrivers(hive_h* hive, const std::string& root, const FileRef& file, const std::string& bus,
                      Report* report);

// Makes the bus's drivers load in the registry's cached keys; false with a
// reason when the bus cannot be made bootable in this Windows or a change
// cannot be made. Fills changes with what was changed (nothing for a bus
// already ready).
bool ApplyBootDriver(HiveFileRegistry& registry, const std::string& bus, std::vector<BootDriverChange>* changes,
                     std::string* error);
