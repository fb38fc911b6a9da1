#include "cli/report/clone_disk.h"

#include "cli/report/render.h"
#include "mounttable/identity.h"
#include "mounttable/text.h"

#include <algorithm>
#include <map>
#include <set>

namespace {

std::string Lookup(const BootObject& object, std::uint32_t type)
{
    auto found = object.strings.find(type);
    return found == object.strings.end() ? "" : found->second;
}

} // namespace

int HoldsFile(Volumes& volumes, const DiskScan& scan, const Partition& part, const std::string& path,
              std::string* why)
{
    std::string error;
    const DiskInfo* disk = DiskOf(scan, part);
    FileSystem* fs = disk != nullptr ? volumes.Open(part, *disk, &error) : nullptr;
    std::string stored;
    bool missing = false;
    if (fs != nullptr && fs->Resolve(path, &stored, &missing, &error))
        return 1;
    if (fs != nullptr && missing)
        return 0;
    if (why != nullptr)
        *why = error.empty() ? part.path + " cannot be read" : error;
    return -1;
}

void FindOnDisk(Volumes& volumes, const DiskScan& scan, const DiskInfo& disk, CloneDisk* found)
{
    *found = {};
    found->disk = &disk;
    std::vector<const Partition*> bios;
    const Partition* active = nullptr;
    const Partition* mistyped = nullptr; // a GPT partition holding a UEFI store whose type is not the ESP's
    for (const Partition& part : scan.partitions) {
        if (part.disk != disk.path)
            continue;
        std::string error;
        if (!MayHoldWindowsFiles(part))
            continue;
        // BitLocker is read through the mount of its unlocked volume, when
        // there is one.
        if (volumes.Open(part, disk, &error) == nullptr) {
            if (IsBitLocker(part))
                found->bitlocker.push_back(part.path);
            else
                found->unread.push_back(error);
            continue;
        }
        if (part.fs != "vfat" && HoldsFile(volumes, scan, part, kSystemHivePath) == 1)
            found->windows.push_back(&part);
        if (IsEfiSystemPartition(part) && found->store == nullptr && HoldsFile(volumes, scan, part, "/EFI/Microsoft/Boot/BCD") == 1) {
            found->store = &part;
            found->storePath = "/EFI/Microsoft/Boot/BCD";
            found->uefi = true;
        }
        // Some copies leave the EFI system partition typed as basic data:
        // its store is still the one the clone starts from.
        if (!IsEfiSystemPartition(part) && disk.table == "gpt" && part.fs == "vfat" && mistyped == nullptr &&
            HoldsFile(volumes, scan, part, "/EFI/Microsoft/Boot/BCD") == 1)
            mistyped = &part;
        if (HoldsFile(volumes, scan, part, "/Boot/BCD") == 1) {
            bios.push_back(&part);
            if (part.active)
                active = &part;
        }
        for (const char* left : {"/EFI/Microsoft/Boot/.BCD.voskarelle-old", "/Boot/.BCD.voskarelle-old"})
            if (HoldsFile(volumes, scan, part, left) == 1)
                found->leftStores.push_back(part.path + ":" + left);
    }
    // A BIOS store on the active partition, or on the one partition that
    // holds one; a UEFI store where the firmware would find it comes first.
    if (found->store == nullptr && mistyped != nullptr) {
        found->store = mistyped;
        found->storePath = "/EFI/Microsoft/Boot/BCD";
        found->uefi = true;
    }
    if (found->store == nullptr && (active != nullptr || bios.size() == 1)) {
        found->store = active != nullptr ? active : bios.front();
        found->storePath = "/Boot/BCD";
    }
    if (found->store != nullptr)
        found->leftStores.clear();
}

std::vector<ElementTie> TieStore(Volumes& volumes, const DiskScan& scan, const StoreReport& store,
                                 const CloneDisk& clone, const Partition* windows, const Identity& windowsOld)
{
    // The disks the clone started from: those its boot manager and its
    // default loader name. An entry of another disk (a second Windows on a
    // disk of its own) is not the clone's to move.
    auto diskOf = [](const BootDevice& device) {
        return device.style == PartitionStyle::Mbr ? std::string("mbr:") + SignatureText(device.signature)
                                                   : "gpt:" + GuidText(device.disk);
    };
    std::set<std::string> ownDisks;
    for (const StoreObject& object : store.shown)
        if (object.object->type == kBootManagerType || CompareNoCase(object.object->id, store.defaultLoader) == 0)
            for (const StoreDevice& device : object.devices)
                if (device.element->device.style != PartitionStyle::None)
                    ownDisks.insert(diskOf(device.element->device));
    // Only a partition that may hold Windows' files can hold an entry's: a
    // locked BitLocker volume may, and so can stop a tie as one unread.
    std::vector<const Partition*> candidates;
    for (const Partition& part : scan.partitions)
        if (part.disk == clone.disk->path && MayHoldWindowsFiles(part))
            candidates.push_back(&part);
    std::vector<ElementTie> ties;
    std::map<std::string, std::pair<int, std::string>> held; // and why, when unread
    for (const StoreObject& object : store.shown) {
        const BootObject& entry = *object.object;
        bool isDefault = CompareNoCase(entry.id, store.defaultLoader) == 0;
        bool recovery = std::any_of(entry.devices.begin(), entry.devices.end(), [](const BootElement& e) {
            return e.device.kind == BootDeviceKind::Ramdisk;
        });
        for (const StoreDevice& device : object.devices) {
            const BootElement& element = *device.element;
            ElementTie tie;
            tie.object = &object;
            tie.device = &device;
            tie.vital = entry.type == kBootManagerType || (isDefault && !recovery);
            if (element.device.style == PartitionStyle::None) {
                tie.outcome = ElementTie::NoRecord;
                ties.push_back(tie);
                continue;
            }
            if (device.found != nullptr) {
                tie.outcome = device.found->disk == clone.disk->path ? ElementTie::OnDisk : ElementTie::Elsewhere;
                tie.target = device.found;
                ties.push_back(tie);
                continue;
            }
            if (!ownDisks.empty() && ownDisks.count(diskOf(element.device)) == 0) {
                tie.outcome = ElementTie::OtherDisk;
                ties.push_back(tie);
                continue;
            }
            // The file the entry starts decides.
            if (element.device.kind == BootDeviceKind::Ramdisk)
                tie.file = element.device.path;
            else if (element.type == kDeviceElement)
                tie.file = Lookup(entry, kApplicationPathElement);
            else if (element.type == kOsDeviceElement)
                tie.file = entry.type == kLoaderType && Lookup(entry, kSystemRootElement).empty() ? "\\Windows"
                                                                                      : Lookup(entry, kSystemRootElement);
            else if (element.type == kSdiDeviceElement)
                tie.file = Lookup(entry, kSdiPathElement);
            std::vector<const Partition*> holders;
            bool unknown = false;
            if (!tie.file.empty()) {
                for (const Partition* part : candidates) {
                    // Entries share their files: each is looked for once.
                    std::string key = part->path + "\n" + FoldedText(tie.file);
                    auto known = held.find(key);
                    if (known == held.end()) {
                        std::string why;
                        int holds = HoldsFile(volumes, scan, *part, tie.file, &why);
                        known = held.emplace(key, std::make_pair(holds, why)).first;
                    }
                    if (known->second.first == 1)
                        holders.push_back(part);
                    if (known->second.first < 0 && !unknown)
                        tie.unread = known->second.second;
                    unknown = unknown || known->second.first < 0;
                }
            } else if (entry.type == kBootManagerType && !clone.uefi && clone.store != nullptr) {
                // A BIOS boot manager names no path: it starts from the
                // partition holding the store.
                tie.file = "\\Boot\\BCD";
                holders.push_back(clone.store);
            }
            Identity old = BootDeviceIdentity(element.device);
            if (holders.size() > 1 && windows != nullptr &&
                std::find(holders.begin(), holders.end(), windows) != holders.end() &&
                (old == windowsOld || old == store.defaultOsDevice))
                holders = {windows};
            // A resume entry's hibernation file is gone after a full shut
            // down; it lives where the entry's own application does.
            if (holders.empty() && entry.type == kResumeType && element.type == kOsDeviceElement)
                for (const ElementTie& earlier : ties)
                    if (earlier.object == &object &&
                        (earlier.outcome == ElementTie::Tied || earlier.outcome == ElementTie::OnDisk)) {
                        holders = {earlier.target};
                        tie.file = earlier.file + ", the entry's own application";
                    }
            if (tie.file.empty() && holders.empty()) {
                tie.outcome = ElementTie::NoPath;
            } else if (unknown && holders.size() <= 1) {
                tie.outcome = ElementTie::Unknown; // the one unread may hold it too
            } else if (holders.empty()) {
                tie.outcome = ElementTie::NoFile;
            } else if (holders.size() > 1) {
                tie.outcome = ElementTie::Several;
            } else {
                tie.moved = element.device;
                if (RecordOf(scan, *holders.front(), &tie.moved)) {
                    tie.outcome = ElementTie::Tied;
                    tie.target = holders.front();
                } else {
                    tie.outcome = ElementTie::NoFile;
                }
            }
            ties.push_back(tie);
        }
    }
    return ties;
}

std::string ElementText(const ElementTie& tie)
{
    const BootObject& entry = *tie.object->object;
    std::string text = entry.id + " " + BootObjectTypeName(entry.type);
    if (!entry.description.empty())
        text += " \"" + entry.description + "\"";
    return text + " " + BootElementName(tie.device->element->type);
}
