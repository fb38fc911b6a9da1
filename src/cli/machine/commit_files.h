// The calls through which the command changes files and disks, one place
// where they can fail: the tests put a failure at each step of a commit, of
// the NTFS device layer and of the mtools runs.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct VmImage;

// What a child process left: its exit status (or the signal that ended it,
// as 128 + number), and its standard output and error.
struct ChildResult {
    bool started = false; // false: it could not be run at all (errno tells why)
    int status = -1;
    std::string output, errors;
};

// Whether errno from a call tells that the file system does not offer it
// (FUSE, vfat), rather than that it failed.
bool Unsupported(int error);

class CommitFiles {
public:
    virtual ~CommitFiles() = default;
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
    // One whole write to a VM image at a byte offset, and its flush; false
    // with errno.
    virtual bool WriteImage(VmImage& image, const void* data, std::size_t size, std::uint64_t offset);
    virtual bool FlushImage(VmImage& image);
    // Runs a program found on PATH with exactly these arguments (never a
    // shell) and these variables added to the environment, standard input
    // from /dev/null, and waits for it.
    virtual ChildResult Run(const std::vector<std::string>& argv,
                            const std::vector<std::pair<std::string, std::string>>& environment);
};
