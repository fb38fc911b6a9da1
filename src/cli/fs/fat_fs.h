// A FAT volume inside a partition (the EFI system partition, or any FAT),
// through mtools run as a child with an argument vector, never a shell: no
// mount, no vfat driver, no root for an image. Names are found as FAT
// finds them, in any case; long names work.
#pragma once

#include "cli/disk/commit_files.h"
#include "cli/machine/interrupt.h"
#include "cli/fs/file_system.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>

class FatFs final : public FileSystem {
public:
    // The FAT in bytes [offset, offset + size) of the disk or device at
    // path, or of a VM image, named partition in messages; nullptr with the
    // reason (mtools missing, no FAT there).
    static std::unique_ptr<FatFs> Open(CommitFiles& files, const std::string& path, VmImage* image,
                                       std::uint64_t offset, std::uint64_t size, const std::string& partition,
                                       std::string* error);
    ~FatFs() override;

    std::string Name(const std::string& path) const override { return partition_ + ":" + path; }
    std::string Partition() const override { return partition_; }
    std::string Source() const override { return path_; }
    bool Resolve(const std::string& path, std::string* stored, bool* missing, std::string* error) override;
    bool Facts(const std::string& path, FileFacts* facts, std::string* error) override;
    bool List(const std::string& folder, std::vector<std::string>* names, std::string* error) override;
    bool Read(const std::string& path, std::vector<std::uint8_t>* bytes, std::string* error) override;
    bool ReadStart(const std::string& path, std::size_t size, std::vector<std::uint8_t>* bytes,
                   std::string* error) override;
    std::string WhyNotWritable(const std::string& path) override;
    bool Keep(const std::string& path, FileKeep* keep, std::string* error) override;
    bool CreateNew(const std::string& path, std::span<const std::uint8_t> bytes, const FileKeep& keep,
                   std::string* error) override;
    bool Replace(const std::string& from, const std::string& to, std::string* error) override;
    bool MoveNoReplace(const std::string& from, const std::string& to, std::string* error) override;
    bool Remove(const std::string& path, std::string* error) override;
    bool MakeFolder(const std::string& path, std::string* error) override;
    bool Flush(const std::string& folder, std::string* error) override;

private:
    FatFs(CommitFiles& files, std::string path, VmImage* image, std::uint64_t offset, std::uint64_t size,
          std::string partition);
    // Runs an mtools program on the volume; its output, or false with its
    // message in error.
    bool Mtools(const std::string& program, std::vector<std::string> args, std::string* output, std::string* error);
    bool Sync(std::string* error);
    // A folder's entries (name, whether a folder), listed once until the
    // volume is written; *listing stays null when it cannot be listed.
    using Listing = std::vector<std::pair<std::string, bool>>;
    bool Listed(const std::string& folder, const Listing** listing, std::string* error);
    std::map<std::string, Listing> listings_; // by folder, in lower case
    bool listed_ = false;
    // The file read last, which the hive input reads twice (its start, then
    // whole); forgotten when the volume is written.
    std::string lastRead_;
    std::vector<std::uint8_t> lastBytes_;

    CommitFiles& files_;
    std::string path_;
    VmImage* vm_;    // mtools works on its mirror, which is synced to it after each write
    std::uint64_t offset_, size_;
    std::string partition_;
    std::string folder_; // private: the link to the disk mtools is given, and files on their way in
    std::string image_;  // "<folder>/disk@@<offset>"
    int fd_ = -1;        // the disk, for flushing what mtools wrote
    OpenVolume open_;
};
