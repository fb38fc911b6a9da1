// A folder of this machine: a plain path as given, or the mount point of a
// partition of the examined disks (reached there, never beneath the mount,
// and looked up as Windows would, in any case).
#pragma once

#include "cli/disk/commit_files.h"
#include "cli/fs/file_system.h"

class LocalFs final : public FileSystem {
public:
    // Plain paths of this machine.
    explicit LocalFs(CommitFiles& files) : files_(files) {}
    // The partition named partition, mounted at mountPoint.
    LocalFs(CommitFiles& files, std::string partition, std::string mountPoint, bool readOnly)
        : files_(files), partition_(std::move(partition)), mountPoint_(std::move(mountPoint)), readOnly_(readOnly)
    {
    }

    std::string Name(const std::string& path) const override;
    std::string Partition() const override { return partition_; }
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
    bool Copy(const std::string& from, const std::string& to, const FileKeep& keep, std::string* error) override;
    bool Replace(const std::string& from, const std::string& to, std::string* error) override;
    bool MoveNoReplace(const std::string& from, const std::string& to, std::string* error) override;
    bool Remove(const std::string& path, std::string* error) override;
    bool Flush(const std::string& folder, std::string* error) override;

private:
    CommitFiles& files_;
    std::string partition_;  // "" for plain paths
    std::string mountPoint_; // where the partition is mounted
    bool readOnly_ = false;
};
