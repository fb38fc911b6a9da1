// Which device holds a mounted file, and what lies beneath a device, from
// mountinfo and sysfs. Each lookup takes the root of the machine's file tree
// ("" or "/" for this machine) so that tests can build their own /proc and
// /sys.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

struct MountEntry {
    unsigned major = 0, minor = 0; // the device number of the mounted file system
    std::string root;              // its folder seen at the mount point, "/" for all of it
    std::string mountPoint;
    bool readOnly = false;
    std::string type;   // "ext4", "fuseblk", "ntfs3", "vfat"
    std::string source; // "/dev/sdb2", or what a file system without a device names
};

// "8:3" as mountinfo and sysfs write a device number.
bool ParseDeviceNumber(const std::string& text, unsigned* major, unsigned* minor);

// Every mount of <root>/proc/self/mountinfo, escapes decoded; empty when it
// cannot be read.
// *readable (when given) tells an empty table from one that cannot be read.
std::vector<MountEntry> ReadMountInfo(const std::string& root, bool* readable = nullptr);

// The /dev source of the file system with the device number given; "" when
// it has none (tmpfs, a network file system) or is not mounted.
std::string MountSourceOfDevice(const std::vector<MountEntry>& mounts, unsigned major, unsigned minor);

// The device ("/dev/sdb2") holding the file at realPath: the mount whose
// device number the file has, from <root>/proc/self/mountinfo; "" as above.
std::string MountSourceOf(const std::string& root, const std::string& realPath);

// The partition beneath a device-mapper device (an unlocked BitLocker or LUKS
// volume, a logical volume on one partition): "/dev/sdb2" for
// "/dev/mapper/win"; device itself when it has not exactly one device
// beneath it.
std::string UnderlyingDevice(const std::string& root, const std::string& device);

// The last component of a symlink's target, "" when path is no symlink.
std::string LinkTargetName(const std::filesystem::path& path);
