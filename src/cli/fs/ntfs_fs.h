// An NTFS volume inside a partition, through libntfs-3g, opened at the
// partition's byte offset through the library's own device operations: no
// loop device, no FUSE, no root for an image. It is opened read-only; only a
// change opens it for writing, and it is always closed cleanly.
#pragma once

#include "cli/disk/commit_files.h"
#include "cli/machine/interrupt.h"
#include "cli/fs/file_system.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct NtfsVolume;

class NtfsFs final : public FileSystem {
public:
    // The NTFS in bytes [offset, offset + size) of the disk, device or VM
    // image at path, named partition in messages; nullptr with the reason.
    static std::unique_ptr<NtfsFs> Open(CommitFiles& files, const std::string& path, bool blockDevice, bool vmImage,
                                        std::uint64_t offset, std::uint64_t size, const std::string& partition,
                                        std::string* error);
    ~NtfsFs() override;

    // Lets a change write a volume Windows left hibernated (--force-hibernated).
    void AllowHibernated() { allowHibernated_ = true; }

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
    bool Flush(const std::string& folder, std::string* error) override;
    bool Close(std::string* error) override;

private:
    NtfsFs(CommitFiles& files, std::string path, bool blockDevice, bool vmImage, std::uint64_t offset,
           std::uint64_t size, std::string partition);
    bool Mount(bool forWriting, std::string* error);
    bool Unmount();
    bool ForWriting(std::string* error);
    // Whether libntfs-3g holds the volume open (after a failed step it is
    // opened again, which may fail); false with the reason.
    bool Opened(std::string* error) const;
    // Makes one change through libntfs-3g and puts all it wrote on the disk
    // at once, or none of it (libntfs-3g then opens the volume again).
    bool Step(const std::function<bool(std::string*)>& change, std::string* error);
    // Gives the file from the further name to, in the same folder.
    bool Link(const std::string& from, const std::string& to, std::string* error);

    CommitFiles& files_;
    std::string path_;
    bool blockDevice_;
    bool vmImage_;
    std::uint64_t offset_, size_;
    std::string partition_;
    bool allowHibernated_ = false;
    bool writable_ = false;
    std::unique_ptr<NtfsVolume> volume_;
    OpenVolume open_;
};
