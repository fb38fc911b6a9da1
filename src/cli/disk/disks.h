// The partitions of this machine's disks and of disk image files, with the
// identity Windows gives each in MountedDevices, read through libblkid.
#pragma once

#include "cli/machine/files.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

struct Partition {
    std::string path; // "/dev/sdb1", or "clone.img#1" for an image
    std::string disk;
    int number = 0;
    std::vector<std::uint8_t> identity; // empty when the table gives none
    std::uint64_t offset = 0;           // bytes from the disk's start
    std::uint64_t size = 0;             // bytes
    std::string fs;                     // file system type, "" when unknown
    // With fs "": the file system a boot sector of it names, its own or its
    // backup, where libblkid takes none (a damaged volume): "ntfs", "vfat",
    // "exfat" or "BitLocker"; "" when none does.
    std::string damaged;
    std::string label;
    std::string typeGuid; // gpt: the partition type GUID in lower case
    unsigned mbrType = 0; // dos: the partition type byte
    bool active = false;  // dos: marked bootable
};

struct DiskInfo {
    std::string path;
    std::string table; // "dos", "gpt", or "" for no partition table
    std::string error; // why the disk could not be read; "" when it was
    std::uint32_t signature = 0;          // dos: the disk signature
    std::array<std::uint8_t, 16> guid{};  // gpt: the disk GUID, in Windows' byte layout
    bool hasId = false;                   // one of the two was read
    std::uint64_t size = 0;               // bytes
    unsigned sectorSize = 512;            // logical, what the table counts in
    bool sectorSizeKnown = true;          // false: an image's, assumed
    std::string format;                   // a VM image's, as qemu names it; "" for raw
};

struct DiskScan {
    std::vector<DiskInfo> disks;
    std::vector<Partition> partitions;
};

// Reads each of paths (block devices or image files); with no paths, every
// whole disk under /sys/class/block. A disk that cannot be read is recorded
// with its reason and is no failure. sectorSize is the logical sector size
// of the images (a device tells its own); 0 when not given.
DiskScan ScanDisks(const std::vector<std::string>& paths, unsigned sectorSize = 0);

// The file system type and label of part (its offset and size) in the disk
// open at fd, as libblkid finds them; left empty when it finds none, with
// part.damaged from its boot sectors then.
void ProbeFileSystem(int fd, Partition& part);

// The file system a boot sector (512 bytes) names by its OEM name or its
// FAT type string, whatever its other fields: "ntfs", "exfat", "BitLocker",
// "vfat"; "" for none.
std::string BootSectorNames(const std::uint8_t* sector);

// Whether part is typed as an EFI system partition (its GPT type GUID, or
// the MBR type byte 0xEF).
bool IsEfiSystemPartition(const Partition& part);

// Whether part is the Microsoft Reserved partition of a Windows GPT disk,
// which holds no file system.
bool IsMicrosoftReserved(const Partition& part);

// Whether part may hold Windows' files: NTFS, FAT, exFAT or BitLocker, found
// by libblkid or named by a damaged boot sector. Never the Microsoft
// Reserved partition, another system's file system (ext4, swap, LUKS, ...)
// or a partition without any signature.
bool MayHoldWindowsFiles(const Partition& part);

// Whether libblkid found BitLocker on part: its files can be read only
// through the mount of its unlocked volume.
bool IsBitLocker(const Partition& part);

// The disk a partition of scan is on; nullptr when scan lacks it.
const DiskInfo* DiskOf(const DiskScan& scan, const Partition& part);

// The examined disk named path, by any spelling; nullptr when there is none.
const DiskInfo* FindDisk(const DiskScan& scan, const std::string& path);

// The examined partition named path ("/dev/sdb2", "clone.img#2"), by any
// spelling of its device or image; nullptr when there is none.
const Partition* FindPartition(const DiskScan& scan, const std::string& path);

// The whole disks of this machine, as /dev paths.
std::vector<std::string> MachineDisks();
