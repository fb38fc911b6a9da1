#include "cli/report/boot_check.h"
#include "cli/machine/shell_quote.h"

#include "cli/machine/bus.h"
#include "cli/fs/volumes.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include "cli/machine/mounts.h"
#include "hive/bytes.h"

const Partition* OwnPartition(const std::string& root, const FileRef& file, const DiskScan& scan,
                              std::string* device)
{
    if (!file.fs->Partition().empty()) {
        *device = file.fs->Partition();
        return FindPartition(scan, *device);
    }
    // An unlocked BitLocker volume is mounted from the mapper device above
    // its partition.
    *device = UnderlyingDevice(root, MountSourceOf(root, file.path));
    if (device->empty())
        return nullptr;
    if (const Partition* part = FindPartition(scan, *device))
        return part;
    // An image's partition mounted through a loop device.
    struct stat st;
    return stat(file.path.c_str(), &st) == 0 ? PartitionOfDevice(root, scan, major(st.st_dev), minor(st.st_dev))
                                             : nullptr;
}

void CheckBootDrivers(hive_h* hive, const std::string& root, const FileRef& file, const std::string& bus,
                      Report* report)
{
    BootReport& boot = report->boot;
    boot.checked = true;
    const Partition* own = OwnPartition(root, file, report->scan, &boot.device);
    if (own != nullptr) {
        boot.partition = own->path;
        for (const CloneEntry& entry : report->entries)
            if (!own->identity.empty() && entry.data == own->identity && boot.letter.empty())
                boot.letter = entry.letter;
        // Where the clone's C: names no examined partition, the volume it
        // names is this one under its old identity: moved, it keeps its
        // volume names; given C: anew, it would lose them.
        std::string fix = "; `voskarelle set " + ShellQuoted(report->hive) + " " + ShellQuoted(own->path) + "=C:` gives it C:";
        auto byIdentity = PartitionsByIdentity(report->scan);
        for (const CloneEntry& entry : report->entries)
            if (entry.letter == "C:" && byIdentity.count(entry.data) == 0)
                fix = "; `voskarelle move " + ShellQuoted(report->hive) + " C:=" + ShellQuoted(own->path) +
                      "` moves the clone's C: onto it";
        if (boot.letter.empty())
            report->warnings.push_back("the clone gives its own volume " + own->path + " no letter" + fix);
        else if (boot.letter != "C:")
            report->warnings.push_back("the clone gives its own volume " + own->path + " the letter " + boot.letter +
                                       ", not C:" + fix);
    }
    if (!bus.empty()) {
        boot.bus = bus;
        boot.from = "--bus";
    } else if (!boot.device.empty()) {
        // The bus of the disk the hive sits on tells the clone's only when
        // that disk is the clone's: a volume the clone names.
        bool named = own != nullptr && !own->identity.empty() &&
                     (HasLetter(*report, own->identity) || !VolumeNamesOf(*report, own->identity).empty());
        if (named) {
            boot.bus = BusOfBlockDevice(root, boot.device, &boot.detail);
            boot.from = boot.bus.empty() ? "" : "sysfs";
        } else {
            boot.detail = "the hive is on " + boot.device + ", which is no volume the clone names";
        }
    }
    if (boot.bus.empty())
        return;
    BootDriverFacts facts;
    if (!ReadBootDriverFacts(hive, boot.bus, &facts, &boot.error))
        return;
    boot.controlSet = facts.controlSet;
    boot.services = facts.services;
    boot.verdict = Judge(boot.bus, facts.services);
    if (boot.verdict.outcome == BootDriverVerdict::Fixable)
        report->warnings.push_back("Windows will stop with INACCESSIBLE_BOOT_DEVICE (0x7B) on a disk of the " +
                                   boot.bus + " bus: " + boot.verdict.reason + "; `voskarelle set " + ShellQuoted(report->hive) +
                                   " --boot-driver " + boot.bus + "` switches the driver on");
}

bool ApplyBootDriver(HiveFileRegistry& registry, const std::string& bus, std::vector<BootDriverChange>* changes,
                     std::string* error)
{
    BootDriverFacts facts;
    if (!ReadBootDriverFacts(registry.handle(), bus, &facts, error))
        return false;
    BootDriverVerdict verdict = Judge(bus, facts.services);
    if (verdict.outcome == BootDriverVerdict::Unfixable) {
        *error = "the clone's Windows cannot be made to start from a " + bus + " disk here: " + verdict.reason;
        return false;
    }
    if (verdict.outcome == BootDriverVerdict::Ready)
        return true;
    for (const BootDriverChange& change : BootDriverChanges(facts)) {
        std::string key = std::string(kCloneMountKey) + "\\" + change.keyPath;
        RegKey handle = nullptr;
        std::uint8_t data[4];
        PutLe32(data, 0, change.newData);
        bool ok = registry.OpenKey(key.c_str(), &handle) == kRegSuccess &&
                  registry.SetValue(handle, change.valueName.c_str(), 4 /* REG_DWORD */, data, 4) == kRegSuccess;
        if (handle != nullptr)
            registry.CloseKey(handle);
        if (!ok) {
            *error = "cannot change " + change.keyPath + "\\" + change.valueName;
            return false;
        }
        changes->push_back(change);
    }
    return true;
}
