#include "cli/disk/disks.h"

#include "cli/machine/fd.h"
#include "cli/disk/vm_image.h"

#include "hive/bytes.h"
#include "mounttable/identity.h"
#include "mounttable/text.h"

#include <blkid/blkid.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <cstdlib>
#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>

namespace {

constexpr std::uint64_t kSector = 512; // libblkid counts partitions in 512-byte sectors

// The device node of partition number of a block device, found through
// sysfs; the kernel's naming rule when sysfs does not say.
std::string PartitionDevice(const std::string& disk, int number)
{
    std::string name = disk.substr(disk.find_last_of('/') + 1);
    std::string sys = "/sys/class/block/" + name;
    if (DIR* dir = opendir(sys.c_str())) {
        std::string found;
        while (dirent* entry = readdir(dir)) {
            std::string child = entry->d_name;
            if (child.rfind(name, 0) == 0 && ReadSmallFile(sys + "/" + child + "/partition") == std::to_string(number))
                found = "/dev/" + child;
        }
        closedir(dir);
        if (!found.empty())
            return found;
    }
    bool endsInDigit = !disk.empty() && disk.back() >= '0' && disk.back() <= '9';
    return disk + (endsInDigit ? "p" : "") + std::to_string(number);
}

bool ParseDiskSignature(const char* id, std::uint32_t* signature)
{
    if (id == nullptr)
        return false;
    std::string text = id;
    if (text.rfind("0x", 0) == 0)
        text = text.substr(2);
    if (text.empty() || text.size() > 8)
        return false;
    return ParseHex32(std::string(8 - text.size(), '0') + text, signature);
}

struct ProbeDeleter {
    void operator()(blkid_struct_probe* probe) const { blkid_free_probe(probe); }
};
using BlkidProbe = std::unique_ptr<blkid_struct_probe, ProbeDeleter>;

// What libblkid reads of part to tell its file system, copied from the VM
// image into its mirror: its start (where every file system Windows and a
// rescue system use keeps its signature, ISO 9660 and UDF the furthest in)
// and end, an NTFS's first MFT records (where its label is), and the whole
// of a FAT, which mtools reads there as well.
void MirrorForProbe(VmImage& image, int fd, Partition& part)
{
    constexpr std::uint64_t kHead = 512 * 1024, kTail = 64 * 1024;
    std::string ignored;
    MirrorVmImage(image, part.offset, std::min(kHead, part.size), &ignored);
    if (part.size > kTail)
        MirrorVmImage(image, part.offset + part.size - kTail, kTail, &ignored);
    std::uint8_t boot[0x48];
    if (!ReadAllAt(fd, boot, sizeof boot, static_cast<off_t>(part.offset)))
        return;
    if (std::memcmp(boot + 3, "NTFS    ", 8) == 0) {
        std::uint64_t sector = boot[0x0b] | boot[0x0c] << 8;
        std::uint64_t perCluster = boot[0x0d] <= 0x80 ? boot[0x0d] : 1ull << (256 - boot[0x0d]);
        std::uint64_t mft = 0;
        for (int i = 7; i >= 0; --i)
            mft = mft << 8 | boot[0x30 + i];
        if (perCluster <= 1u << 16 && mft < part.size / std::max<std::uint64_t>(1, sector * perCluster))
            MirrorVmImage(image, part.offset + mft * sector * perCluster, 64 * 1024, &ignored);
        return;
    }
    // A FAT's label is in its root folder, past its tables: an EFI or BIOS
    // system partition is copied whole (mtools reads it there next), a
    // larger FAT only as far as its first tables.
    Partition probed = part;
    ProbeFileSystem(fd, probed);
    if (probed.fs == "vfat")
        MirrorVmImage(image, part.offset, std::min<std::uint64_t>(part.size, 1ull << 30), &ignored);
}

bool IsExtendedType(std::uint8_t type)
{
    return type == 0x05 || type == 0x0F || type == 0x85;
}

// Copies into the mirror an MBR's chain of extended boot records, followed
// by its links: each names its logical partition and the next record, the
// latter from the extended partition's start. Bounded by the disk and
// guarded against a chain that loops. sectorSize 0: both sizes a table may
// count in.
void MirrorExtendedChain(VmImage& image, unsigned sectorSize)
{
    std::uint8_t mbr[512];
    if (!ReadVmImage(image, mbr, sizeof mbr, 0) || mbr[510] != 0x55 || mbr[511] != 0xAA)
        return;
    for (unsigned size : {512u, 4096u}) {
        if (sectorSize != 0 && size != sectorSize)
            continue;
        std::uint64_t sectors = VmImageSize(image) / size;
        for (int i = 0; i < 4; ++i) {
            const std::uint8_t* entry = mbr + 0x1BE + 16 * i;
            if (!IsExtendedType(entry[4]))
                continue;
            std::uint64_t base = Le32(std::span(entry, 16), 8);
            std::set<std::uint64_t> seen;
            // Bounded too in length: each record costs a round trip.
            for (std::uint64_t at = base; at != 0 && at < sectors && seen.size() < 1024 && seen.insert(at).second;) {
                std::uint8_t ebr[512];
                if (!ReadVmImage(image, ebr, sizeof ebr, at * size) || ebr[510] != 0x55 || ebr[511] != 0xAA)
                    break;
                const std::uint8_t* link = ebr + 0x1BE + 16;
                std::uint64_t next = Le32(std::span(link, 16), 8);
                if (!IsExtendedType(link[4]) || next == 0)
                    break;
                at = base + next;
            }
        }
    }
}

// The partition table of the disk open at fd read with sectorSize (0: as
// libblkid finds it, which for an image is 512 bytes): its identity in info,
// its partitions in parts. False with info->error when it cannot be read.
bool ReadTable(int fd, const std::string& path, bool isDevice, unsigned sectorSize, DiskInfo* info,
               std::vector<Partition>* parts, VmImage* image)
{
    parts->clear();
    BlkidProbe probe(blkid_new_probe());
    if (!probe || blkid_probe_set_device(probe.get(), fd, 0, 0) != 0) {
        info->error = "libblkid cannot read it";
        return false;
    }
    if (sectorSize != 0)
        blkid_probe_set_sectorsize(probe.get(), sectorSize);
    info->sectorSize = blkid_probe_get_sectorsize(probe.get());
    blkid_probe_enable_superblocks(probe.get(), 0);
    blkid_probe_enable_partitions(probe.get(), 1);
    errno = 0;
    int probed = blkid_do_safeprobe(probe.get());
    if (probed == -1)
        info->error = errno ? std::strerror(errno) : "libblkid cannot read it";
    else if (probed == -2)
        info->error = "it holds more than one partition table";
    if (probed < 0)
        return false;
    blkid_partlist list = blkid_probe_get_partitions(probe.get());
    blkid_parttable table = list ? blkid_partlist_get_table(list) : nullptr;
    if (table == nullptr)
        return true;
    info->table = blkid_parttable_get_type(table) ? blkid_parttable_get_type(table) : "";
    std::uint32_t signature = 0;
    bool dos = info->table == "dos" && ParseDiskSignature(blkid_parttable_get_id(table), &signature);
    if (dos) {
        info->signature = signature;
        info->hasId = true;
    } else if (info->table == "gpt" && blkid_parttable_get_id(table) != nullptr) {
        info->hasId = ParseGuid(blkid_parttable_get_id(table), &info->guid);
    }
    int count = blkid_partlist_numof_partitions(list);
    for (int i = 0; i < count; ++i) {
        blkid_partition p = blkid_partlist_get_partition(list, i);
        if (p == nullptr || blkid_partition_is_extended(p))
            continue;
        Partition part;
        part.disk = path;
        part.number = blkid_partition_get_partno(p);
        part.path = isDevice ? PartitionDevice(path, part.number) : path + "#" + std::to_string(part.number);
        // libblkid counts in 512-byte units whatever the disk's sectors.
        part.offset = static_cast<std::uint64_t>(blkid_partition_get_start(p)) * kSector;
        part.size = static_cast<std::uint64_t>(blkid_partition_get_size(p)) * kSector;
        if (const char* type = blkid_partition_get_type_string(p))
            part.typeGuid = type;
        part.mbrType = static_cast<unsigned>(blkid_partition_get_type(p));
        part.active = dos && (blkid_partition_get_flags(p) & 0x80) != 0;
        std::array<std::uint8_t, 16> guid;
        if (dos)
            part.identity = MbrIdentity(signature, part.offset);
        else if (info->table == "gpt" && blkid_partition_get_uuid(p) && ParseGuid(blkid_partition_get_uuid(p), &guid))
            part.identity = GptIdentity(guid);
        if (image != nullptr)
            MirrorForProbe(*image, fd, part);
        ProbeFileSystem(fd, part);
        parts->push_back(std::move(part));
    }
    return true;
}

// Whether the 8 bytes at offset of the file at fd are a GPT header's.
bool GptHeaderAt(int fd, off_t offset)
{
    char signature[8];
    return pread(fd, signature, sizeof signature, offset) == static_cast<ssize_t>(sizeof signature) &&
           std::memcmp(signature, "EFI PART", 8) == 0;
}

void ScanDisk(const std::string& path, unsigned sectorSize, DiskScan& scan)
{
    DiskInfo info;
    info.path = path;
    mode_t mode = 0;
    int fd = OpenNoWait(path.c_str(), O_RDONLY, &mode);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        info.error = fd < 0 && errno == EMEDIUMTYPE
                         ? std::string("it is ") + FileTypeName(mode) + ", neither a disk nor a disk image"
                         : std::strerror(errno);
        if (fd >= 0)
            close(fd);
        scan.disks.push_back(info);
        return;
    }
    Fd owned(fd);
    bool isDevice = S_ISBLK(st.st_mode);
    off_t end = lseek(fd, 0, SEEK_END);
    info.size = end > 0 ? static_cast<std::uint64_t>(end) : 0;
    // A VM image is read as the disk it holds: its table through the
    // mirror of it.
    VmImage* image = nullptr;
    if (!isDevice)
        info.format = VmImageFormat(fd);
    if (!info.format.empty()) {
        std::string why;
        image = OpenVmImage(path, false, &why);
        if (image == nullptr || !MirrorVmImageEdges(*image, &why)) {
            info.error = why;
            scan.disks.push_back(info);
            return;
        }
        fd = VmImageMirror(*image);
        info.size = VmImageSize(*image);
    }
    // A device tells its logical sector size; an image does not. A GPT
    // header sits in its second sector, which tells; an MBR counts in
    // sectors of a size it does not record, so the file systems found at
    // each reading decide, and with none found the report says it was
    // assumed.
    if (isDevice) {
        sectorSize = 0;
    } else if (sectorSize == 0 && !GptHeaderAt(fd, 512) && GptHeaderAt(fd, 4096)) {
        sectorSize = 4096;
    }
    // A VM image's chain of logical partitions is in the mirror before
    // libblkid follows it there.
    if (image != nullptr)
        MirrorExtendedChain(*image, sectorSize);
    std::vector<Partition> parts;
    ReadTable(fd, path, isDevice, sectorSize, &info, &parts, image);
    // A GPT whose backup header lies past the file's end is a table libblkid
    // will not take: the image was cut short.
    if (info.error.empty() && info.table.empty()) {
        for (unsigned size : {512u, 4096u}) {
            std::uint8_t header[40];
            if (!GptHeaderAt(fd, size) || !ReadAllAt(fd, header, sizeof header, size))
                continue;
            std::uint64_t last = 0;
            for (int i = 7; i >= 0; --i)
                last = last << 8 | header[32 + i];
            if ((last + 1) * size > info.size)
                info.error = "the image is cut short: its GPT says the disk holds " + std::to_string((last + 1) * size) +
                             " bytes, the file " + std::to_string(info.size);
        }
    }
    if (!isDevice && sectorSize == 0 && info.error.empty() && info.table == "dos") {
        auto anyFileSystem = [](const std::vector<Partition>& list) {
            return std::any_of(list.begin(), list.end(), [](const Partition& p) { return !p.fs.empty(); });
        };
        // A reading whose partitions run past the image's end is no reading.
        auto fits = [&](const std::vector<Partition>& list) {
            return std::all_of(list.begin(), list.end(),
                               [&](const Partition& p) { return p.offset + p.size <= info.size; });
        };
        if (!anyFileSystem(parts)) {
            DiskInfo large;
            large.path = path;
            large.size = info.size;
            large.format = info.format;
            std::vector<Partition> largeParts;
            bool read = ReadTable(fd, path, false, 4096, &large, &largeParts, image);
            bool largeFits = read && fits(largeParts);
            if (read && (anyFileSystem(largeParts) || (largeFits && !fits(parts)))) {
                info = large;
                parts = std::move(largeParts);
            } else if (largeFits || !fits(parts)) {
                info.sectorSizeKnown = false;
            }
        }
    }
    scan.partitions.insert(scan.partitions.end(), std::make_move_iterator(parts.begin()),
                           std::make_move_iterator(parts.end()));
    scan.disks.push_back(info);
}

// What the boot sectors of part name, for one libblkid does not take: its
// first, an NTFS's backup in its last sector (of 512 or 4096 bytes), a
// FAT32's at sector 6.
std::string DamagedFileSystem(int fd, const Partition& part)
{
    std::vector<std::uint64_t> places = {0, 6 * 512, 6 * 4096};
    for (std::uint64_t size : {512u, 4096u})
        if (part.size >= 2 * size)
            places.push_back(part.size - size);
    for (std::uint64_t place : places) {
        std::uint8_t sector[512];
        if (place + sizeof sector > part.size ||
            !ReadAllAt(fd, sector, sizeof sector, static_cast<off_t>(part.offset + place)))
            continue;
        std::string named = BootSectorNames(sector);
        if (!named.empty())
            return named;
    }
    return "";
}

void ProbeWithBlkid(int fd, Partition& part)
{
    blkid_probe probe = blkid_new_probe();
    if (probe == nullptr)
        return;
    if (blkid_probe_set_device(probe, fd, static_cast<blkid_loff_t>(part.offset),
                               static_cast<blkid_loff_t>(part.size)) == 0) {
        blkid_probe_enable_superblocks(probe, 1);
        blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_TYPE | BLKID_SUBLKS_LABEL);
        blkid_probe_enable_partitions(probe, 0);
        if (blkid_do_safeprobe(probe) == 0) {
            const char* value = nullptr;
            if (blkid_probe_lookup_value(probe, "TYPE", &value, nullptr) == 0 && value)
                part.fs = value;
            if (blkid_probe_lookup_value(probe, "LABEL", &value, nullptr) == 0 && value)
                part.label = value;
        }
    }
    blkid_free_probe(probe);
}

} // namespace

void ProbeFileSystem(int fd, Partition& part)
{
    ProbeWithBlkid(fd, part);
    if (part.fs.empty())
        part.damaged = DamagedFileSystem(fd, part);
}

std::string BootSectorNames(const std::uint8_t* sector)
{
    if (sector[510] != 0x55 || sector[511] != 0xAA)
        return "";
    auto at = [&](std::size_t offset, const char* text) {
        return std::memcmp(sector + offset, text, std::strlen(text)) == 0;
    };
    if (at(3, "NTFS    "))
        return "ntfs";
    if (at(3, "EXFAT   "))
        return "exfat";
    if (at(3, "-FVE-FS-"))
        return "BitLocker";
    if (at(0x36, "FAT1") || at(0x36, "FAT ") || at(0x52, "FAT32"))
        return "vfat";
    return "";
}

bool IsEfiSystemPartition(const Partition& part)
{
    return CompareNoCase(part.typeGuid, "c12a7328-f81f-11d2-ba4b-00a0c93ec93b") == 0 || part.mbrType == 0xEF;
}

bool IsMicrosoftReserved(const Partition& part)
{
    return CompareNoCase(part.typeGuid, "e3c9e316-0b5c-4db8-817d-f92df00215ae") == 0;
}

bool MayHoldWindowsFiles(const Partition& part)
{
    if (IsMicrosoftReserved(part))
        return false;
    for (const char* windows : {"ntfs", "vfat", "exfat", "BitLocker"})
        if (CompareNoCase(part.fs, windows) == 0)
            return true;
    return part.fs.empty() && !part.damaged.empty();
}



bool IsBitLocker(const Partition& part)
{
    return CompareNoCase(part.fs, "BitLocker") == 0;
}

const DiskInfo* DiskOf(const DiskScan& scan, const Partition& part)
{
    for (const DiskInfo& disk : scan.disks)
        if (disk.path == part.disk)
            return &disk;
    return nullptr;
}


const DiskInfo* FindDisk(const DiskScan& scan, const std::string& path)
{
    for (const DiskInfo& disk : scan.disks)
        if (disk.path == path)
            return &disk;
    for (const DiskInfo& disk : scan.disks)
        if (SameFile(disk.path, path))
            return &disk;
    return nullptr;
}

const Partition* FindPartition(const DiskScan& scan, const std::string& path)
{
    for (const Partition& part : scan.partitions)
        if (part.path == path)
            return &part;
    // "IMAGE#N": the image by any spelling, and its partition N.
    std::size_t hash = path.rfind('#');
    if (hash != std::string::npos && hash + 1 < path.size() &&
        path.find_first_not_of("0123456789", hash + 1) == std::string::npos && path.size() - hash <= 4) {
        int number = std::stoi(path.substr(hash + 1));
        if (const DiskInfo* disk = FindDisk(scan, path.substr(0, hash)))
            for (const Partition& part : scan.partitions)
                if (part.disk == disk->path && part.number == number)
                    return &part;
    }
    // A partition's device node by another name (/dev/disk/by-uuid/...).
    for (const Partition& part : scan.partitions)
        if (part.path.starts_with("/dev/") && SameFile(part.path, path))
            return &part;
    return nullptr;
}

std::vector<std::string> MachineDisks()
{
    std::vector<std::string> disks;
    DIR* dir = opendir("/sys/class/block");
    if (dir == nullptr)
        return disks;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name.empty() || name[0] == '.')
            continue;
        std::string sys = "/sys/class/block/" + name;
        if (access((sys + "/partition").c_str(), F_OK) == 0)
            continue; // a partition, read with its disk
        std::string size = ReadSmallFile(sys + "/size");
        if (size.empty() || size == "0")
            continue; // an empty loop device or drive without medium
        disks.push_back("/dev/" + name);
    }
    closedir(dir);
    std::sort(disks.begin(), disks.end());
    return disks;
}

DiskScan ScanDisks(const std::vector<std::string>& paths, unsigned sectorSize)
{
    DiskScan scan;
    for (const std::string& path : paths.empty() ? MachineDisks() : paths) {
        // A disk named twice, or by two names, is one disk: scanned twice,
        // its partitions would look like copies of each other.
        if (FindDisk(scan, path) != nullptr)
            continue;
        ScanDisk(path, sectorSize, scan);
    }
    return scan;
}
