// The calls through which the command changes files and disks, one place
// where they can fail: the tests put a failure at each step of a commit, of
// the NTFS device layer and of the mtools runs.
#pragma once

#include "cli/machine/child.h"
#include "cli/disk/vm_image.h"

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <span>
#include <string>
#include <utility>
#include <vector>

// Whether errno from a call tells that the file system does not offer it
// (FUSE, vfat), rather than that it failed.
bool Unsupported(int error);

class CommitFiles : public ImageWrites {
public:
    virtual int Fsync(int fd);
    virtual int Rename(const char* from, const char* to);
    // Moves from to to only when to does not exist; -1 with errno otherwise
    // (EEXIST, or EINVAL where the file system cannot promise it).
    virtual int RenameNoReplace(const char* from, const char* to);
    virtual int Link(const char* from, const char* to);
    // Copies up to max bytes from in to out at their file offsets: the count
    // copied, 0 at the end of in, -1 with errno set.
    virtual ssize_t CopyChunk(int in, int out, std::size_t max);
    // One write to a disk at a byte offset, as pwrite.
    virtual ssize_t WriteAt(int fd, const void* data, std::size_t size, off_t offset);
    // RunChild, where a test can fail it.
    virtual ChildResult Run(const std::vector<std::string>& argv,
                            const std::vector<std::pair<std::string, std::string>>& environment);
};

// Makes what was done in folder survive a crash, through files.
bool FlushFolder(const std::string& folder, CommitFiles& files, std::string* error);

// "SYSTEM.voskarelle-20261207T124752Z" beside the file, for the time given:
// the name a backup of it starts with.
std::string BackupName(const std::string& file, std::time_t when);

// Saves bytes to a new file "<base>.voskarelle-<stamp>[-N]<suffix>", never
// over an earlier one (a second run within the same second gets a number),
// and flushes it and its folder. False with the reason; then no file is left.
bool SaveBackupFile(const std::string& base, const std::string& suffix, std::span<const std::uint8_t> bytes,
                    CommitFiles& files, std::string* path, std::string* error);
