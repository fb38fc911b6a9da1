// The file systems a verb works on, opened once each: a file named on the
// command line is a path of this machine, or DISK#N:PATH (PATH inside
// partition N of a disk or image), or DEVICE:PATH for a partition's own
// device. A mounted partition is reached through its mount, never beneath
// it; an unmounted one in-process (NTFS through libntfs-3g, FAT through
// mtools). Closing them (NTFS cleanly unmounted) happens when this goes.
#pragma once

#include "cli/disk/commit_files.h"
#include "cli/disk/disks.h"
#include "cli/fs/file_system.h"

#include <map>
#include <memory>
#include <string>

// A file as named: where it is, before anything is opened.
struct FileName {
    std::string given;
    bool inPartition = false;
    std::string disk;   // DISK of DISK#N:PATH, or the partition's device
    int number = 0;     // N; 0 for a partition's device
    std::string inside; // PATH, "/" between names
};

// Tells a path of this machine from DISK#N:PATH and DEVICE:PATH; false with
// the reason for a malformed one.
bool ParseFileName(const std::string& text, FileName* name, std::string* error);

// The examined partition whose bytes the kernel shows as the device
// major:minor: the partition's own node or what is stacked on it, or for an
// image a loop device over it (looked up under root); nullptr for none.
const Partition* PartitionOfDevice(const std::string& root, const DiskScan& scan, unsigned major, unsigned minor);

// What a volume is beneath the name path and the byte offset there: the
// regular file or whole device its bytes lie on and the offset on that,
// seen through partition nodes and loop devices (looked up under root), so
// that every spelling of one volume gives one key.
std::string VolumeKey(const std::string& root, const std::string& path, std::uint64_t offset);

class Volumes {
public:
    // root: where this machine's /proc and /sys are; sectorSize: the images'
    // logical sector size, 0 when not given.
    Volumes(CommitFiles& files, std::string root, unsigned sectorSize);
    ~Volumes();
    Volumes(const Volumes&) = delete;
    Volumes& operator=(const Volumes&) = delete;

    // The file named text, its names as stored; false with the reason.
    bool Locate(const std::string& text, FileRef* file, std::string* error);

    // The file system on a partition of a scanned disk; nullptr with the
    // reason when it cannot be read (no such file system, BitLocker,
    // damaged, the image cut short).
    FileSystem* Open(const Partition& part, const DiskInfo& disk, std::string* error);

    // The disks of scan as read already, so that a file named inside one is
    // found there without reading it again.
    void Know(const DiskScan& scan);

    // Lets a change write an NTFS that Windows left hibernated
    // (--force-hibernated).
    void AllowHibernated();

    // Closes every file system opened in-process, so that what each still
    // holds is on its disk; files found in them must not be used after.
    // False with the reason when one could not be closed cleanly.
    bool CloseAll(std::string* error);

    CommitFiles& files() { return files_; }
    const std::string& machineRoot() const { return root_; }

private:
    bool OpenPartitionOf(const FileName& name, FileSystem** fs, std::string* error);
    // An unmounted partition's file system, read in-process, stored as key.
    FileSystem* OpenInProcess(const Partition& part, const DiskInfo& disk, const std::string& key,
                              std::string* error);

    CommitFiles& files_;
    std::string root_;
    unsigned sectorSize_;
    bool allowHibernated_ = false;
    std::unique_ptr<FileSystem> local_;
    std::map<std::string, std::unique_ptr<FileSystem>> partitions_; // by VolumeKey
    std::map<std::string, DiskScan> scans_;                         // by VolumeKey of the disk
};
