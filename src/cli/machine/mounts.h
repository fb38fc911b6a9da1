// Which device holds a mounted file, and what lies beneath a device, from
// mountinfo and sysfs. Each lookup takes the root of the machine's file tree
// ("" or "/" for this machine) so that tests can build their own /proc and
// /sys.
#pragma once

#include <filesystem>
#include <string>

// The device ("/dev/sdb2") mounted where realPath lives, from the mount table
// of <root>/proc/self/mountinfo; "" when that mount has no /dev source (tmpfs,
// a network file system) or the table cannot be read.
std::string MountSourceOf(const std::string& root, const std::string& realPath);

// The partition beneath a device-mapper device (an unlocked BitLocker or LUKS
// volume, a logical volume on one partition): "/dev/sdb2" for
// "/dev/mapper/win"; device itself when it has not exactly one device
// beneath it.
std::string UnderlyingDevice(const std::string& root, const std::string& device);

// The last component of a symlink's target, "" when path is no symlink.
std::string LinkTargetName(const std::filesystem::path& path);
