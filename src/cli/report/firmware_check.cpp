#include "cli/report/firmware_check.h"

#include "cli/disk/disk_label.h"
#include "cli/disk/vm_image.h"
#include "cli/machine/fd.h"
#include "cli/machine/printable.h"
#include "hive/bytes.h"

#include <fcntl.h>

#include <unistd.h>

#include <algorithm>
#include <optional>
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

// The standard MBR boot program, or empty with the reason.
std::vector<std::uint8_t> BootProgram(const std::string& path, std::string* why)
{
    Fd fd(OpenNoWait(path.c_str(), O_RDONLY));
    std::vector<std::uint8_t> bytes(441);
    ssize_t n = fd.get() >= 0 ? pread(fd.get(), bytes.data(), bytes.size(), 0) : -1;
    if (n != 440) {
        *why = n < 0 ? path + " cannot be read (" + std::strerror(errno) + "; it comes with syslinux-common)"
                     : path + " is no MBR boot program of 440 bytes";
        return {};
    }
    bytes.resize(static_cast<std::size_t>(n));
    return bytes;
}

// The MBR's boot code and boot flags; the new MBR, when it must change, is
// planned in *table.
void CheckMbr(Volumes& volumes, const DiskScan& scan, const DiskInfo& disk, const CloneDisk& clone,
              const std::string& mbrProgram, std::vector<FirmwareStep>* steps, std::optional<SectorEdit>* table)
{
    std::vector<std::uint8_t> mbr(disk.sectorSize);
    if (mbr.size() < 512 || !ReadDisk(disk, 0, mbr.data(), mbr.size())) {
        steps->push_back({"boot code", disk.path, "the MBR cannot be read: " + std::string(std::strerror(errno)), "a readable MBR"});
        return;
    }
    std::vector<std::uint8_t> wanted = mbr;
    // Any code there is someone's (Windows', GRUB's): only none is replaced.
    bool noCode = std::all_of(mbr.begin(), mbr.begin() + 440, [](std::uint8_t b) { return b == 0; });
    if (!noCode) {
        steps->push_back({"boot code", disk.path, "present (kept as it is)", ""});
    } else {
        std::string why;
        std::vector<std::uint8_t> program = BootProgram(mbrProgram, &why);
        std::copy(program.begin(), program.end(), wanted.begin());
        steps->push_back({"boot code", disk.path, "none (bytes 0-439 are zero)",
                          "a standard MBR boot program that starts the active partition" +
                              (program.empty() ? " (" + why + ")" : " (" + mbrProgram + ")"),
                          false, !program.empty()});
    }

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
    auto planned = [&] {
        if (wanted != mbr)
            *table = SectorEdit{0, mbr, wanted, "the MBR of " + disk.path};
    };
    if (system == nullptr) {
        planned();
        return; // no store to start: said elsewhere
    }
    // Only the four entries of the MBR itself can carry the flag.
    bool primary = system->number >= 1 && system->number <= 4;
    auto moveTo = [&](const std::string& found, const std::string& needs) {
        if (primary)
            for (int i = 0; i < 4; ++i)
                wanted[446 + 16 * i] = i + 1 == system->number ? 0x80 : 0x00;
        steps->push_back({"active partition", disk.path, found,
                          needs + (primary ? "" : " (it is a logical partition, which no MBR entry can mark active)"),
                          false, primary});
        planned();
    };
    std::string found = flags.empty() ? "no partition is active" : "flags " + flags;
    if (actives > 1)
        invalid = "more than one entry is active, which";
    else if (!invalid.empty())
        invalid += " is no flag Windows' MBR code takes";
    if (!invalid.empty())
        return moveTo(found + " (" + invalid + ")", "0x80 on " + system->path + " alone");
    if (active == system) {
        steps->push_back({"active partition", disk.path, system->path + " (it holds \\bootmgr and the store)", ""});
        return planned();
    }
    if (active == nullptr)
        return moveTo(found, "0x80 on " + system->path + ", which holds \\bootmgr");
    std::vector<std::uint8_t> sector(512);
    if (!ReadDisk(disk, active->offset, sector.data(), sector.size())) {
        steps->push_back({"active partition", disk.path,
                          active->path + " is active, and its boot sector cannot be read: " + std::strerror(errno),
                          "0x80 on " + system->path + ", which holds \\bootmgr"});
        return planned();
    }
    // The code in a boot sector is written for the file system it names.
    std::string kind = BootSectorNames(sector.data());
    if (kind != "ntfs" && kind != "vfat") {
        steps->push_back({"active partition", disk.path,
                          active->path + " is active and its boot sector is another system's loader",
                          "kept: the owner chose that loader; Windows starts from " + system->path, true});
        return planned();
    }
    bool manager = HoldsFile(volumes, scan, *active, "/bootmgr") == 1;
    moveTo(active->path + " is active but " + (manager ? "holds another \\bootmgr than the store's" : "holds no \\bootmgr"),
           "0x80 on " + system->path + ", which holds \\bootmgr");
}

// Where a volume keeps the copy of its boot sector, 0 for none: NTFS at its
// last sector, FAT32 where its BPB says.
std::uint64_t BackupBootSector(const Partition& part, const std::vector<std::uint8_t>& sector, unsigned bytesPerSector)
{
    if (part.fs == "ntfs") {
        std::uint64_t at = Le64(sector, 0x28);
        return at != 0 && bytesPerSector != 0 && at < part.size / bytesPerSector ? at : 0;
    }
    unsigned reserved = Le16(sector, 0x0E);
    unsigned at = Le16(sector, 0x32);
    bool fat32 = Le16(sector, 0x16) == 0;
    return fat32 && at != 0 && at < reserved ? at : 0;
}

// A BIOS reads a volume's boot sector, whose code finds the rest of the
// volume by the hidden sectors field: after a move it reads the old place.
// The system volume's is run at every start; the others' are made right
// too, as a volume made active later runs its own. The backup boot sector
// is written first, so that the volume's own always has a sound copy.
void CheckHiddenSectors(const DiskScan& scan, const DiskInfo& disk, const CloneDisk& clone,
                        std::vector<FirmwareStep>* steps, std::vector<SectorEdit>* edits)
{
    if (clone.store == nullptr || clone.uefi)
        return;
    for (const Partition& part : scan.partitions) {
        // A logical partition's boot sector counts from its own extended
        // entry in some systems' convention, and no MBR entry starts it.
        if (part.disk != disk.path || (part.fs != "ntfs" && part.fs != "vfat") || part.number < 1 || part.number > 4)
            continue;
        bool system = &part == clone.store;
        std::vector<std::uint8_t> sector(disk.sectorSize);
        if (sector.size() < 512 || !ReadDisk(disk, part.offset, sector.data(), sector.size())) {
            steps->push_back({"hidden sectors", part.path,
                              "its boot sector cannot be read: " + std::string(std::strerror(errno)),
                              "a readable boot sector", !system});
            continue;
        }
        unsigned bytesPerSector = Le16(sector, 0x0B);
        std::uint64_t start = part.offset / disk.sectorSize;
        std::uint32_t hidden = Le32(sector, 0x1C);
        if (bytesPerSector != disk.sectorSize) {
            steps->push_back({"hidden sectors", part.path,
                              "its boot sector counts " + std::to_string(bytesPerSector) + "-byte sectors on a disk of " +
                                  std::to_string(disk.sectorSize) + "-byte sectors",
                              "a volume of the disk's sector size: a BIOS cannot start this one", !system});
            continue;
        }
        auto patched = [&](std::vector<std::uint8_t> bytes) {
            for (int i = 0; i < 4; ++i)
                bytes[0x1C + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(start >> (8 * i));
            return bytes;
        };
        // The backup is a copy of the boot sector: anything else there is
        // not written.
        std::uint64_t backupAt = BackupBootSector(part, sector, bytesPerSector);
        std::vector<std::uint8_t> backup(disk.sectorSize);
        bool copy = backupAt != 0 &&
                    ReadDisk(disk, part.offset + backupAt * bytesPerSector, backup.data(), backup.size()) &&
                    std::equal(backup.begin(), backup.begin() + 0x1C, sector.begin()) &&
                    std::equal(backup.begin() + 0x20, backup.end(), sector.begin() + 0x20);
        std::uint32_t backupHidden = copy ? Le32(backup, 0x1C) : 0;
        std::string where = "sector " + std::to_string(backupAt) + " of the volume";
        if (hidden == start && (!copy || backupHidden == start)) {
            steps->push_back({"hidden sectors", part.path,
                              std::to_string(hidden) +
                                  (backupAt != 0 && !copy ? " (its backup at " + where + " is no copy of it: left)" : ""),
                              ""});
            continue;
        }
        if (start > 0xFFFFFFFFu) {
            steps->push_back({"hidden sectors", part.path, std::to_string(hidden),
                              "a start the field can hold: a BIOS cannot start this one", !system});
            continue;
        }
        std::string found = std::to_string(hidden) + (copy && backupHidden != hidden
                                                          ? " in the boot sector, " + std::to_string(backupHidden) +
                                                                " in its backup"
                                                          : "") +
                            " (the volume starts at sector " + std::to_string(start) + ")";
        std::string needs = std::to_string(start) + ", in the ";
        // The backup first, so that the volume's own always has a sound copy.
        if (copy && backupHidden != start)
            edits->push_back({part.offset + backupAt * bytesPerSector, backup, patched(backup),
                              "the backup boot sector of " + part.path});
        if (hidden != start)
            edits->push_back({part.offset, sector, patched(sector), "the boot sector of " + part.path});
        needs += hidden != start && copy && backupHidden != start ? "boot sector and its backup (" + where + ")"
                 : hidden != start                                 ? "boot sector"
                                                                   : "backup boot sector (" + where + ")";
        if (backupAt != 0 && !copy)
            needs += " (the backup at " + where + " is no copy of the boot sector: left)";
        steps->push_back({"hidden sectors", part.path, found, needs, false, true});
    }
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
               std::vector<FirmwareStep>* steps, FirmwareRepair* repair)
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
        if (missing) {
            // As Windows setup leaves it: the boot manager under the name
            // firmware without a boot entry for this disk starts.
            steps->push_back({"fallback loader", esp.path, shown + " is missing",
                              "a copy of \\EFI\\Microsoft\\Boot\\bootmgfw.efi as " + shown, false, true});
            repair->loaderVolume = &esp;
            repair->loaderFrom = managerPath;
            repair->loaderTo = path;
        } else
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

// The EFI partition's type and the backup's place are one write of the
// table: libfdisk writes both copies whichever changes.
void PlanGpt(const DiskInfo& disk, const CloneDisk& clone, std::vector<FirmwareStep>* steps, FirmwareRepair* repair)
{
    FirmwareStep* type = nullptr;
    FirmwareStep* backup = nullptr;
    for (FirmwareStep& step : *steps) {
        if (step.needs.empty() || step.keep)
            continue;
        if (step.step == "EFI system partition type")
            type = &step;
        else if (step.step == "backup GPT" && step.needs.find("at the disk's end") != std::string::npos)
            backup = &step;
    }
    if (type == nullptr && backup == nullptr)
        return;
    auto read = [&](std::uint64_t offset, std::uint8_t* data, std::size_t size) {
        return ReadDisk(disk, offset, data, size);
    };
    std::vector<WriteRun> runs;
    std::string error;
    if (!PlanGptRepair(read, disk.size, disk.sectorSize, type != nullptr ? clone.store->number : 0, &runs, &error)) {
        for (FirmwareStep* step : {type, backup})
            if (step != nullptr)
                step->needs += " (" + OneLine(error) + ")";
        return;
    }
    for (FirmwareStep* step : {type, backup})
        if (step != nullptr)
            step->planned = true;
    std::uint64_t head = 34 * std::uint64_t{disk.sectorSize};
    for (WriteRun& run : runs) {
        std::string what = run.offset == 0                  ? "the protective MBR of "
                           : run.offset == disk.sectorSize ? "the GPT header of "
                           : run.offset < head             ? "the GPT entries of "
                                                           : "the backup GPT of ";
        repair->sectors.push_back({run.offset, std::move(run.before), std::move(run.after), what + disk.path});
    }
}

} // namespace

std::vector<FirmwareStep> CheckFirmwareChain(Volumes& volumes, const DiskScan& scan, const DiskInfo& disk,
                                             const CloneDisk& clone, FirmwareRepair* repair,
                                             const std::string& mbrProgram)
{
    *repair = {};
    std::vector<FirmwareStep> steps;
    // A BIOS starts an MBR disk's code; UEFI reads the EFI system
    // partition of either table, and a GPT has its backup.
    std::optional<SectorEdit> table;
    if (disk.table == "dos" && !clone.uefi) {
        CheckMbr(volumes, scan, disk, clone, mbrProgram, &steps, &table);
        CheckHiddenSectors(scan, disk, clone, &steps, &repair->sectors);
    }
    CheckUefi(volumes, scan, disk, clone, &steps, repair);
    if (disk.table == "gpt")
        PlanGpt(disk, clone, &steps, repair);
    if (table)
        repair->sectors.push_back(std::move(*table)); // the partition table last
    return steps;
}

std::string InvalidBootFlags(const DiskInfo& disk, SectorEdit* cleared)
{
    std::vector<std::uint8_t> mbr(disk.sectorSize);
    if (mbr.size() < 512 || !ReadDisk(disk, 0, mbr.data(), mbr.size()) || mbr[510] != 0x55 || mbr[511] != 0xAA)
        return "";
    std::vector<std::uint8_t> wanted = mbr;
    std::string flags;
    for (int i = 0; i < 4; ++i) {
        unsigned flag = mbr[446 + 16 * i];
        if (flag == 0 || flag == 0x80)
            continue;
        flags += (flags.empty() ? "entry " : ", entry ") + std::to_string(i + 1) + " " + Hex(flag);
        wanted[446 + 16 * i] = 0;
    }
    if (flags.empty())
        return "";
    *cleared = {0, mbr, wanted, "the boot flags of the MBR of " + disk.path};
    return "its MBR flags " + flags + ", which makes the table invalid to libblkid as to Windows' MBR code "
                                      "(\"Invalid partition table\")";
}
