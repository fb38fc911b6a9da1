// What the command knows of a clone: its drive-letter table, the partitions
// of the examined disks, and how the two meet.
#pragma once

#include "cli/disk/disks.h"
#include "cli/hivefile/hive_input.h"
#include "hive/boot_drivers.h"
#include "mounttable/value_list.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

using Identity = std::vector<std::uint8_t>;

struct CloneEntry {
    std::string letter; // the letter part, "C:"
    std::string name;
    Identity data;
};

// The report's part on whether the clone reaches its own disk at boot.
struct BootReport {
    bool checked = false;
    std::string device;    // the block device holding the hive, "" for none
    std::string partition; // that device among the examined partitions, "" when not examined
    std::string letter;    // the clone's letter for it
    std::string bus, from, detail, controlSet, error;
    std::vector<ServiceFacts> services;
    BootDriverVerdict verdict;
};

struct Report {
    std::string hive;
    std::vector<std::string> recoveredFrom; // logs applied to the base file
    std::string recovery;                   // what the recovery did, in words
    std::vector<CloneEntry> entries;
    std::vector<RegValue> volumeNames; // "\??\Volume{...}" values
    DiskScan scan;
    std::vector<std::string> warnings;
    BootReport boot;
};


// Reads the clone's MountedDevices (again, after a change); false when the
// hive has no readable key.
bool ReadCloneTable(HiveFileRegistry& registry, Report* report);

// The report of an opened hive with the disks of scan; false when the hive
// holds no drive-letter table.
bool MakeReport(HiveInput& input, DiskScan scan, Report* report, Failure* failure);

// "C:" or "c:".
bool IsLetter(std::string_view text);
std::string Upper(std::string text);

std::map<Identity, std::vector<const Partition*>> PartitionsByIdentity(const DiskScan& scan);
std::vector<std::string> VolumeNamesOf(const Report& report, const Identity& data);
bool HasLetter(const Report& report, const Identity& identity);

// Refuses a disk whose sector size was assumed: an MBR partition's identity
// holds its byte offset, which would be a guess.
bool SectorSizeKnown(const DiskInfo& disk, Failure* failure);

// The identity a VOLUME argument names: a letter the clone holds, a
// partition of the examined disks or "hex:" bytes; false when it names none
// or more than one.
bool ResolveVolume(const Report& report, const std::string& volume, Identity* identity, Failure* failure);
