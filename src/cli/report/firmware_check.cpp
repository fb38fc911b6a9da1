#include "cli/report/firmware_check.h"

#include "cli/disk/vm_image.h"
#include "cli/machine/fd.h"
#include "cli/machine/printable.h"
#include "hive/bytes.h"

#include <fcntl.h>

#include <algorithm>
#include <cstring>

namespace {

// Bytes of the disk itself (an image's through qemu-nbd); false when they
// cannot all be read.
bool ReadDisk(const DiskInfo& disk, std::uint64_t offset, std::uint8_t* data, std::size_t size)
{
    if (!disk.format.empty()) {
        std::string error;
        VmImage* image = OpenVmImage(disk.path, false, &error);
        return image != nullptr && ReadVmImage(*image, data, size, offset);
    }
    Fd fd(OpenNoWait(disk.path.c_str(), O_RDONLY));
    errno = 0;
    if (fd.get() >= 0 && ReadAllAt(fd.get(), data, size, static_cast<off_t>(offset)))
        return true;
    if (errno == 0)
        errno = EIO; // a short read sets none
    return false;
}

std::string Hex(unsigned value)
{
    static const char digits[] = "0123456789ABCDEF";
    return std::string("0x") + digits[(value >> 4) & 15] + digits[value & 15];
}

void CheckMbr(Volumes& volumes, const DiskScan& scan, const DiskInfo& disk, const CloneDisk& clone,
              std::vector<FirmwareStep>* steps)
{
    std::uint8_t mbr[512];
    if (!ReadDisk(disk, 0, mbr, sizeof mbr)) {
        steps->push_back({"boot code", disk.path, "the MBR cannot be read: " + std::string(std::strerror(errno)), "a readable MBR"});
        return;
    }
    bool noCode = std::all_of(mbr, mbr + 440, [](std::uint8_t b) { return b == 0; });
    steps->push_back({"boot code", disk.path, noCode ? "none (bytes 0-439 are zero)" : "present (kept as it is)",
                      noCode ? "a standard MBR boot program that starts the active partition" : ""});

    // The partition the BIOS store is on holds the boot manager too.
    const Partition* system = clone.store != nullptr && !clone.uefi ? clone.store : nullptr;
    std::string flags, invalid;
    const Partition* active = nullptr;
    int actives = 0;
    for (int i = 0; i < 4; ++i) {
        unsigned flag = mbr[446 + 16 * i];
        if (flag == 0)
            continue;
        std::string entry = "entry " + std::to_string(i + 1) + " " + Hex(flag);
        flags += (flags.empty() ? "" : ", ") + entry;
        if (flag != 0x80)
            invalid += (invalid.empty() ? "" : ", ") + entry;
        else
            ++actives;
        for (const Partition& part : scan.partitions)
            if (flag == 0x80 && part.disk == disk.path && part.number == i + 1)
                active = &part;
    }
    if (system == nullptr)
        return; // no store to start: said elsewhere
    std::string found = flags.empty() ? "no partition is active" : "flags " + flags;
    if (actives > 1)
        invalid = "more than one entry is active, which";
    else if (!invalid.empty())
        invalid += " is no flag Windows' MBR code takes";
    if (!invalid.empty()) {
        steps->push_back({"active partition", disk.path, found + " (" + invalid + ")",
                          "0x80 on " + system->path + " alone"});
        return;
    }
    if (active == system) {
        steps->push_back({"active partition", disk.path, system->path + " (it holds \\bootmgr and the store)", ""});
        return;
    }
    if (active == nullptr) {
        steps->push_back({"active partition", disk.path, found, "0x80 on " + system->path + ", which holds \\bootmgr"});
        return;
    }
    std::uint8_t sector[512];
    if (!ReadDisk(disk, active->offset, sector, sizeof sector)) {
        steps->push_back({"active partition", disk.path,
                          active->path + " is active, and its boot sector cannot be read: " + std::strerror(errno),
                          "0x80 on " + system->path + ", which holds \\bootmgr"});
        return;
    }
    // The code in a boot sector is written for the file system it names.
    std::string kind = BootSectorNames(sector);
    if (kind != "ntfs" && kind != "vfat") {
        steps->push_back({"active partition", disk.path,
                          active->path + " is active and its boot sector is another system's loader",
                          "kept: the owner chose that loader; Windows starts from " + system->path, true});
        return;
    }
    bool manager = HoldsFile(volumes, scan, *active, "/bootmgr") == 1;
    steps->push_back({"active partition", disk.path,
                      active->path + " is active but " +
                          (manager ? "holds another \\bootmgr than the store's" : "holds no \\bootmgr"),
                      "0x80 on " + system->path + ", which holds \\bootmgr"});
}

// A BIOS reads a volume's boot sector, whose code finds the rest of the
// volume by the hidden sectors field: after a move it reads the old place.
// Only the system partition's boot sector is run by the MBR code; a data
// volume's stale field harms no start.
void CheckHiddenSectors(const DiskInfo& disk, const CloneDisk& clone, std::vector<FirmwareStep>* steps)
{
    if (clone.store == nullptr || clone.uefi || (clone.store->fs != "ntfs" && clone.store->fs != "vfat"))
        return;
    const Partition& part = *clone.store;
    std::uint8_t sector[512];
    if (!ReadDisk(disk, part.offset, sector, sizeof sector)) {
        steps->push_back({"hidden sectors", part.path,
                          "its boot sector cannot be read: " + std::string(std::strerror(errno)),
                          "a readable boot sector"});
        return;
    }
    unsigned bytesPerSector = Le16(sector, 0x0B);
    std::uint64_t start = part.offset / disk.sectorSize;
    std::uint32_t hidden = Le32(sector, 0x1C);
    if (bytesPerSector != disk.sectorSize)
        steps->push_back({"hidden sectors", part.path,
                          "its boot sector counts " + std::to_string(bytesPerSector) + "-byte sectors on a disk of " +
                              std::to_string(disk.sectorSize) + "-byte sectors",
                          "a volume of the disk's sector size: a BIOS cannot start this one"});
    else if (hidden == start)
        steps->push_back({"hidden sectors", part.path, std::to_string(hidden), ""});
    else
        steps->push_back({"hidden sectors", part.path,
                          std::to_string(hidden) + " (the volume starts at sector " + std::to_string(start) + ")",
                          std::to_string(start) + ", in the boot sector and its backup"});
}

void CheckBackupGpt(const DiskInfo& disk, std::vector<FirmwareStep>* steps)
{
    std::uint8_t header[512];
    std::uint64_t sectors = disk.size / disk.sectorSize;
    std::uint64_t last = sectors == 0 ? 0 : sectors - 1;
    if (sectors < 3 || !ReadDisk(disk, disk.sectorSize, header, sizeof header) || std::memcmp(header, "EFI PART", 8) != 0) {
        steps->push_back({"backup GPT", disk.path, "the primary GPT header cannot be read", "a readable GPT"});
    } else {
        std::uint64_t backup = Le64(header, 32);
        std::uint8_t tail[512];
        bool there = backup == last && ReadDisk(disk, last * disk.sectorSize, tail, sizeof tail) &&
                     std::memcmp(tail, "EFI PART", 8) == 0 && Le64(tail, 24) == last;
        if (backup == last && !there)
            steps->push_back({"backup GPT", disk.path, "no valid backup header at the disk's last sector",
                              "the backup header and table at the disk's end"});
        else if (backup == last)
            steps->push_back({"backup GPT", disk.path, "at the disk's last sector (" + std::to_string(last) + ")", ""});
        else
            steps->push_back({"backup GPT", disk.path,
                              "at sector " + std::to_string(backup) + ", not at the disk's last (" +
                                  std::to_string(last) + ")",
                              "the backup header and table at the disk's end"});
    }
}

void CheckUefi(Volumes& volumes, const DiskScan& scan, const DiskInfo& disk, const CloneDisk& clone,
               std::vector<FirmwareStep>* steps)
{
    if (disk.table == "gpt")
        CheckBackupGpt(disk, steps);
    if (clone.store == nullptr || !clone.uefi)
        return;
    const Partition& esp = *clone.store;
    // An MBR disk's EFI partition is found by its type byte already.
    if (disk.table == "gpt")
        steps->push_back({"EFI system partition type", esp.path,
                          IsEfiSystemPartition(esp) ? "C12A7328-F81F-11D2-BA4B-00A0C93EC93B"
                                                    : esp.typeGuid.empty() ? "none" : esp.typeGuid,
                          IsEfiSystemPartition(esp) ? ""
                                                    : "C12A7328-F81F-11D2-BA4B-00A0C93EC93B (firmware other than "
                                                      "OVMF skips it otherwise)"});

    // The fallback loader is the one for the boot manager's machine. Both
    // are read whole only when their sizes agree: the boot manager is
    // megabytes, and through mtools each read is a run of mcopy.
    std::string error, stored;
    bool missing = false;
    const DiskInfo* own = DiskOf(scan, esp);
    FileSystem* fs = own != nullptr ? volumes.Open(esp, *own, &error) : nullptr;
    std::vector<std::uint8_t> manager, fallback;
    FileFacts managerFacts, fallbackFacts;
    std::string managerPath;
    if (fs == nullptr || !fs->Resolve("/EFI/Microsoft/Boot/bootmgfw.efi", &managerPath, &missing, &error) ||
        !fs->Facts(managerPath, &managerFacts, &error) || !fs->ReadStart(managerPath, 4096, &manager, &error)) {
        steps->push_back({"fallback loader", esp.path,
                          missing ? "no \\EFI\\Microsoft\\Boot\\bootmgfw.efi to start" : OneLine(error),
                          "\\EFI\\Microsoft\\Boot\\bootmgfw.efi"});
        return;
    }
    std::string name = "bootx64.efi";
    if (manager.size() >= 0x40 && manager[0] == 'M' && manager[1] == 'Z') {
        std::uint64_t pe = Le32(manager, 0x3C);
        if (pe + 6 <= manager.size() && std::memcmp(manager.data() + pe, "PE\0\0", 4) == 0) {
            unsigned machine = Le16(manager, pe + 4);
            name = machine == 0xAA64 ? "bootaa64.efi" : machine == 0x014C ? "bootia32.efi" : "bootx64.efi";
        }
    }
    std::string path = "/EFI/Boot/" + name;
    std::string shown = "\\EFI\\Boot\\" + name;
    missing = false;
    if (!fs->Resolve(path, &stored, &missing, &error)) {
        if (missing)
            steps->push_back({"fallback loader", esp.path, shown + " is missing",
                              "a copy of \\EFI\\Microsoft\\Boot\\bootmgfw.efi as " + shown});
        else
            steps->push_back({"fallback loader", esp.path, OneLine(error), "a readable " + shown});
        return;
    }
    if (!fs->Facts(stored, &fallbackFacts, &error) ||
        (fallbackFacts.size == managerFacts.size &&
         (!fs->Read(managerPath, &manager, &error) || !fs->Read(stored, &fallback, &error)))) {
        steps->push_back({"fallback loader", esp.path, OneLine(error), "a readable " + shown});
        return;
    }
    if (fallbackFacts.size == managerFacts.size && fallback == manager)
        steps->push_back({"fallback loader", esp.path, shown + " is the boot manager's copy", ""});
    else
        steps->push_back({"fallback loader", esp.path,
                          shown + " differs from \\EFI\\Microsoft\\Boot\\bootmgfw.efi",
                          "kept: it may be another system's loader (shim, GRUB) or an older copy", true});
}

} // namespace

std::vector<FirmwareStep> CheckFirmwareChain(Volumes& volumes, const DiskScan& scan, const DiskInfo& disk,
                                             const CloneDisk& clone)
{
    std::vector<FirmwareStep> steps;
    // A BIOS starts an MBR disk's code; UEFI reads the EFI system
    // partition of either table, and a GPT has its backup.
    if (disk.table == "dos" && !clone.uefi) {
        CheckMbr(volumes, scan, disk, clone, &steps);
        CheckHiddenSectors(disk, clone, &steps);
    }
    CheckUefi(volumes, scan, disk, clone, &steps);
    return steps;
}
