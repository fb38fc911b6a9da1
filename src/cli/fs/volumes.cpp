#include "cli/fs/volumes.h"

#include "cli/machine/fd.h"
#include "cli/machine/files.h"
#include "cli/machine/mounts.h"
#include "cli/disk/vm_image.h"
#include "cli/fs/fat_fs.h"
#include "cli/fs/local_fs.h"
#include "cli/fs/ntfs_fs.h"
#include "mounttable/text.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <set>

namespace {

namespace fs = std::filesystem;

using DeviceNumber = std::pair<unsigned, unsigned>;

// The devices that show the partition's bytes to the kernel: its own node
// and what is stacked on it (device-mapper), or for an image the loop
// devices backed by it at the partition's offset.
std::set<DeviceNumber> KernelDevices(const std::string& root, const Partition& part, const std::string& imagePath,
                                     bool image)
{
    std::set<DeviceNumber> devices;
    auto addWithHolders = [&](const std::string& sysDir) {
        unsigned major = 0, minor = 0;
        if (!ParseDeviceNumber(ReadSmallFile(sysDir + "/dev"), &major, &minor))
            return;
        devices.insert({major, minor});
        std::error_code ec;
        for (fs::directory_iterator it(sysDir + "/holders", ec), end; !ec && it != end; it.increment(ec))
            if (ParseDeviceNumber(ReadSmallFile(it->path().string() + "/dev"), &major, &minor))
                devices.insert({major, minor});
    };
    if (!image) {
        struct stat st;
        if (stat(part.path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode))
            return devices;
        addWithHolders(root + "/sys/dev/block/" + std::to_string(major(st.st_rdev)) + ":" +
                       std::to_string(minor(st.st_rdev)));
        devices.insert({major(st.st_rdev), minor(st.st_rdev)});
        return devices;
    }
    std::error_code ec;
    for (fs::directory_iterator it(root + "/sys/block", ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        std::string sys = it->path().string();
        if (!name.starts_with("loop"))
            continue;
        std::string backing = ReadSmallFile(sys + "/loop/backing_file");
        if (backing.ends_with(" (deleted)") || !SameFile(backing, imagePath))
            continue;
        std::uint64_t offset = std::strtoull(ReadSmallFile(sys + "/loop/offset").c_str(), nullptr, 10);
        if (offset == part.offset) {
            addWithHolders(sys);
            continue;
        }
        // A loop device over the whole image, with partition nodes of its own.
        for (fs::directory_iterator child(sys, ec); !ec && child != end; child.increment(ec)) {
            std::string childSys = child->path().string();
            if (ReadSmallFile(childSys + "/partition").empty())
                continue;
            std::uint64_t start = std::strtoull(ReadSmallFile(childSys + "/start").c_str(), nullptr, 10);
            if (offset + start * 512 == part.offset)
                addWithHolders(childSys);
        }
    }
    return devices;
}

} // namespace

namespace {

// A count sysfs gives in decimal; false for anything else, an empty or
// unreadable file among them.
bool ParseCount(const std::string& text, std::uint64_t* value)
{
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *value = std::stoull(text);
    return true;
}

} // namespace

std::string VolumeKey(const std::string& root, const std::string& path, std::uint64_t offset)
{
    // What cannot be read is never taken for another name of a volume: its
    // key is its own.
    std::string unknown = "?" + path + "#" + std::to_string(offset);
    std::string name = path;
    // Bounded: a loop device may be backed by another device.
    for (int depth = 0; depth < 16; ++depth) {
        struct stat st;
        if (stat(name.c_str(), &st) != 0)
            return "?" + name + "#" + std::to_string(offset);
        if (!S_ISBLK(st.st_mode))
            return "f" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + "#" + std::to_string(offset);
        unsigned high = major(st.st_rdev), low = minor(st.st_rdev);
        for (int part = 0; part < 16; ++part) {
            std::string sys = root + "/sys/dev/block/" + std::to_string(high) + ":" + std::to_string(low);
            if (ReadSmallFile(sys + "/partition").empty())
                break;
            // A partition node: its disk is the folder it sits in, and
            // sysfs counts its start in 512-byte units.
            std::error_code ec;
            fs::path disk = fs::canonical(sys, ec).parent_path();
            unsigned diskMajor = 0, diskMinor = 0;
            std::uint64_t start = 0;
            if (ec || !ParseDeviceNumber(ReadSmallFile((disk / "dev").string()), &diskMajor, &diskMinor))
                break;
            if (!ParseCount(ReadSmallFile(sys + "/start"), &start) || start > (UINT64_MAX - offset) / 512)
                return unknown;
            offset += start * 512;
            high = diskMajor;
            low = diskMinor;
        }
        std::string number = std::to_string(high) + ":" + std::to_string(low);
        std::string sys = root + "/sys/dev/block/" + number;
        std::string backing = ReadSmallFile(sys + "/loop/backing_file");
        if (backing.empty() || backing.ends_with(" (deleted)"))
            return "b" + number + "#" + std::to_string(offset);
        std::uint64_t loopOffset = 0;
        if (!ParseCount(ReadSmallFile(sys + "/loop/offset"), &loopOffset) || loopOffset > UINT64_MAX - offset)
            return unknown;
        offset += loopOffset;
        name = backing;
    }
    return unknown;
}

const Partition* PartitionOfDevice(const std::string& root, const DiskScan& scan, unsigned major, unsigned minor)
{
    for (const Partition& part : scan.partitions) {
        const DiskInfo* disk = DiskOf(scan, part);
        if (disk == nullptr)
            continue;
        if (KernelDevices(root, part, disk->path, !IsBlockDevice(disk->path)).count({major, minor}) != 0)
            return &part;
    }
    return nullptr;
}

bool ParseFileName(const std::string& text, FileName* name, std::string* error)
{
    *name = {};
    name->given = text;
    struct stat st;
    if (text.empty() || lstat(text.c_str(), &st) == 0)
        return true; // a file of this machine, whatever its name holds
    // DISK#N:PATH, the last "#N:" splitting it.
    for (std::size_t hash = text.rfind('#'); hash != std::string::npos && hash > 0;
         hash = hash == 0 ? std::string::npos : text.rfind('#', hash - 1)) {
        std::size_t colon = text.find(':', hash);
        if (colon == std::string::npos || colon == hash + 1 || colon - hash > 4 ||
            text.find_first_not_of("0123456789", hash + 1) < colon)
            continue;
        name->inPartition = true;
        name->disk = text.substr(0, hash);
        name->number = std::stoi(text.substr(hash + 1, colon - hash - 1));
        name->inside = text.substr(colon + 1);
        if (name->number == 0) {
            *error = "malformed " + text + ": partitions are numbered from 1";
            return false;
        }
        return true;
    }
    // DEVICE:PATH for a partition's own device node.
    for (std::size_t colon = text.find(':'); colon != std::string::npos; colon = text.find(':', colon + 1)) {
        if (colon + 1 < text.size() && (text[colon + 1] == '/' || text[colon + 1] == '\\') &&
            IsBlockDevice(text.substr(0, colon))) {
            name->inPartition = true;
            name->disk = text.substr(0, colon);
            name->inside = text.substr(colon + 1);
            return true;
        }
    }
    return true;
}

Volumes::Volumes(CommitFiles& files, std::string root, unsigned sectorSize)
    : files_(files), root_(root.empty() ? "/" : std::move(root)), sectorSize_(sectorSize),
      local_(std::make_unique<LocalFs>(files))
{
}

Volumes::~Volumes() = default;

bool Volumes::CloseAll(std::string* error)
{
    bool closed = true;
    for (auto& [key, fs] : partitions_)
        if (fs && !fs->Close(error))
            closed = false;
    partitions_.clear();
    return closed;
}

void Volumes::Know(const DiskScan& scan)
{
    for (const DiskInfo& disk : scan.disks) {
        DiskScan one;
        one.disks.push_back(disk);
        for (const Partition& part : scan.partitions)
            if (part.disk == disk.path)
                one.partitions.push_back(part);
        scans_.insert_or_assign(VolumeKey(root_, disk.path, 0), std::move(one));
    }
}

void Volumes::AllowHibernated()
{
    allowHibernated_ = true;
    for (auto& [key, fs] : partitions_)
        if (auto* ntfs = dynamic_cast<NtfsFs*>(fs.get()))
            ntfs->AllowHibernated();
}

bool Volumes::Locate(const std::string& text, FileRef* file, std::string* error)
{
    FileName name;
    if (!ParseFileName(text, &name, error))
        return false;
    FileSystem* fs = local_.get();
    std::string inside = text;
    if (name.inPartition) {
        if (!OpenPartitionOf(name, &fs, error))
            return false;
        inside = name.inside.empty() ? "/" : name.inside;
    }
    bool missing = false;
    file->fs = fs;
    return fs->Resolve(inside, &file->path, &missing, error);
}

bool Volumes::OpenPartitionOf(const FileName& name, FileSystem** fs, std::string* error)
{
    if (name.number == 0) {
        // A partition's own device: the whole of it.
        Fd fd(OpenNoWait(name.disk.c_str(), O_RDONLY));
        std::uint64_t size = 0;
        if (fd.get() < 0 || ioctl(fd.get(), BLKGETSIZE64, &size) != 0) {
            *error = "cannot read " + name.disk + ": " + std::strerror(errno);
            return false;
        }
        Partition part;
        part.path = name.disk;
        part.disk = name.disk;
        part.size = size;
        ProbeFileSystem(fd.get(), part);
        DiskInfo disk;
        disk.path = name.disk;
        disk.size = size;
        *fs = Open(part, disk, error);
        return *fs != nullptr;
    }
    // Each disk is read once a verb: a VM image's second reading costs as
    // much as its first.
    std::string key = VolumeKey(root_, name.disk, 0);
    auto known = scans_.find(key);
    if (known == scans_.end())
        known = scans_.emplace(key, ScanDisks({name.disk}, sectorSize_)).first;
    const DiskScan& scan = known->second;
    const DiskInfo& disk = scan.disks.front();
    if (!disk.error.empty()) {
        *error = "cannot read " + name.disk + ": " + disk.error;
        return false;
    }
    if (disk.table.empty()) {
        *error = name.disk + " has no partition table";
        return false;
    }
    std::string numbers;
    for (const Partition& part : scan.partitions) {
        if (part.number == name.number) {
            *fs = Open(part, disk, error);
            return *fs != nullptr;
        }
        numbers += (numbers.empty() ? "" : ", ") + std::to_string(part.number);
    }
    *error = name.disk + " has no partition " + std::to_string(name.number) +
             (numbers.empty() ? " (it has none)" : " (it has " + numbers + ")");
    return false;
}

FileSystem* Volumes::Open(const Partition& part, const DiskInfo& disk, std::string* error)
{
    bool blockDisk = IsBlockDevice(disk.path);
    // One instance a volume however it is named: two libntfs-3g instances
    // writing one volume would damage it.
    std::string key = VolumeKey(root_, disk.path, part.offset);
    if (auto open = partitions_.find(key); open != partitions_.end())
        return open->second.get();
    if (part.offset + part.size > disk.size) {
        *error = part.path + ": the image ends inside this partition (" +
                 std::to_string(part.offset + part.size - disk.size) + " bytes are missing): it was cut short";
        return nullptr;
    }
    // A VM image is no disk the kernel shows (qemu's lock refuses one that
    // qemu-nbd serves to it), and has no mounts of its own.
    if (!disk.format.empty())
        return OpenInProcess(part, disk, key, error);
    // A mounted partition is used through its mount: writing beneath a
    // mounted file system would damage it.
    std::set<DeviceNumber> devices = KernelDevices(root_, part, disk.path, !blockDisk);
    std::string subfolder, hidden;
    bool readable = false;
    std::vector<MountEntry> mounts = ReadMountInfo(root_, &readable);
    if (!readable) {
        *error = "cannot tell whether " + part.path + " is mounted (" + root_ + "/proc/self/mountinfo cannot be read); "
                 "nothing beneath a mount is touched";
        return nullptr;
    }
    for (const MountEntry& mount : mounts) {
        if (devices.count({mount.major, mount.minor}) == 0)
            continue;
        if (mount.root != "/") {
            subfolder = mount.mountPoint;
            continue;
        }
        // Another mount over its mount point hides it.
        struct stat st;
        if (stat(mount.mountPoint.c_str(), &st) != 0 || major(st.st_dev) != mount.major ||
            minor(st.st_dev) != mount.minor) {
            hidden = mount.mountPoint;
            continue;
        }
        auto fs = std::make_unique<LocalFs>(files_, part.path, mount.mountPoint, mount.readOnly);
        return (partitions_[key] = std::move(fs)).get();
    }
    if (!hidden.empty()) {
        *error = part.path + " is mounted at " + hidden + ", but another mount hides it there; unmount one of them";
        return nullptr;
    }
    // A loop device over the image that something holds (a mapping over
    // its partitions, a mount elsewhere) is as good as mounted.
    if (!blockDisk) {
        std::error_code ec;
        for (fs::directory_iterator it(root_ + "/sys/block", ec), end; !ec && it != end; it.increment(ec)) {
            std::string name = it->path().filename().string();
            if (!name.starts_with("loop") || !SameFile(ReadSmallFile(it->path().string() + "/loop/backing_file"), disk.path))
                continue;
            int held = open((root_ + "/dev/" + name).c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
            if (held >= 0) {
                close(held);
            } else if (errno == EBUSY) {
                *error = disk.path + " is in use through /dev/" + name + " (mounted or mapped); detach it first";
                return nullptr;
            }
        }
    }
    if (!subfolder.empty()) {
        *error = part.path + " is mounted, but only a folder of it is visible (at " + subfolder +
                 "); mount the whole of it, or unmount it";
        return nullptr;
    }
    return OpenInProcess(part, disk, key, error);
}

FileSystem* Volumes::OpenInProcess(const Partition& part, const DiskInfo& disk, const std::string& key,
                                   std::string* error)
{
    bool blockDisk = IsBlockDevice(disk.path);
    if (IsBitLocker(part)) {
        *error = part.path + " is a BitLocker volume: its files cannot be read without its key; unlock and mount "
                             "it (dislocker, cryptsetup bitlk), then name the files there";
        return nullptr;
    }
    // A partition node is the byte source of a device's partition, so that
    // writing can take it exclusively; an image is read at the offset.
    std::string source = blockDisk ? part.path : disk.path;
    std::uint64_t offset = blockDisk ? 0 : part.offset;
    std::string type = part.fs;
    VmImage* image = nullptr;
    if (!disk.format.empty() && (image = OpenVmImage(disk.path, false, error)) == nullptr)
        return nullptr;
    if (type.empty()) {
        // libblkid wants a readable MFT to call it NTFS; a damaged one is
        // still NTFS by its boot sector, for libntfs-3g to say what is wrong.
        Fd fd(image != nullptr ? -1 : OpenNoWait(source.c_str(), O_RDONLY));
        char oem[8];
        bool read = image != nullptr ? ReadVmImage(*image, oem, sizeof oem, offset + 3)
                                     : fd.get() >= 0 && ReadAllAt(fd.get(), oem, sizeof oem, static_cast<off_t>(offset + 3));
        if (read && std::memcmp(oem, "NTFS    ", 8) == 0)
            type = "ntfs";
    }
    std::unique_ptr<FileSystem> opened;
    if (type == "ntfs") {
        auto ntfs = NtfsFs::Open(files_, source, blockDisk, image != nullptr, offset, part.size, part.path, error);
        if (ntfs && allowHibernated_)
            ntfs->AllowHibernated();
        opened = std::move(ntfs);
    } else if (type == "vfat") {
        opened = FatFs::Open(files_, source, image, offset, part.size, part.path, error);
    } else if (!part.damaged.empty()) {
        *error = part.path + ": a boot sector of it names " + part.damaged +
                 ", but no file system libblkid takes is there: the volume is damaged";
        return nullptr;
    } else {
        *error = part.path + (part.fs.empty() ? " holds no file system libblkid knows"
                                              : " holds a " + part.fs + " file system") +
                 ": only NTFS and FAT partitions are read here (mount it and name the file there)";
        return nullptr;
    }
    if (!opened)
        return nullptr;
    return (partitions_[key] = std::move(opened)).get();
}
