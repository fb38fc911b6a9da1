#include "cli/report/boot_report.h"
#include "cli/machine/shell_quote.h"

#include "cli/machine/failure.h"
#include "mounttable/identity.h"
#include "mounttable/text.h"

#include <algorithm>
#include <map>
#include <set>

namespace {

// The disks a clone's files name, each with the partitions named on it: an
// MBR disk by its signature with partition offsets, a GPT disk by its GUID
// with partition GUIDs.
struct DiskReferences {
    PartitionStyle style = PartitionStyle::None;
    std::uint32_t signature = 0;
    std::array<std::uint8_t, 16> guid{};
    std::set<std::uint64_t> offsets;
    std::set<std::array<std::uint8_t, 16>> partitions;
};

std::string DiskName(const DiskReferences& refs)
{
    return refs.style == PartitionStyle::Mbr ? SignatureText(refs.signature) : GuidText(refs.guid);
}

bool SameDisk(const DiskInfo& disk, const DiskReferences& refs)
{
    if (!disk.hasId)
        return false;
    return refs.style == PartitionStyle::Mbr ? disk.table == "dos" && disk.signature == refs.signature
                                             : disk.table == "gpt" && disk.guid == refs.guid;
}

// A disk that holds every partition refs names, under its own identity:
// each has the counterpart a whole-disk move would give it.
bool HoldsAll(const DiskScan& scan, const DiskInfo& disk, const DiskReferences& refs)
{
    if (disk.table != (refs.style == PartitionStyle::Mbr ? "dos" : "gpt"))
        return false;
    for (std::uint64_t offset : refs.offsets)
        if (Counterpart(scan, disk, PartitionStyle::Mbr, offset, {}) == nullptr)
            return false;
    for (const std::array<std::uint8_t, 16>& guid : refs.partitions)
        if (Counterpart(scan, disk, PartitionStyle::Gpt, 0, guid) == nullptr)
            return false;
    return true;
}

void AddReference(std::map<std::string, DiskReferences>& disks, const BootDevice& device)
{
    DiskReferences probe;
    probe.style = device.style;
    probe.signature = device.signature;
    probe.guid = device.disk;
    if (device.style == PartitionStyle::None)
        return;
    DiskReferences& refs = disks.try_emplace(DiskName(probe), probe).first->second;
    if (device.style == PartitionStyle::Mbr)
        refs.offsets.insert(device.offset);
    else
        refs.partitions.insert(device.partition);
}

} // namespace

const Partition* Counterpart(const DiskScan& scan, const DiskInfo& disk, PartitionStyle style, std::uint64_t offset,
                             const std::array<std::uint8_t, 16>& guid)
{
    for (const Partition& part : scan.partitions) {
        if (part.disk != disk.path || part.identity.empty())
            continue;
        if (style == PartitionStyle::Mbr && part.offset == offset)
            return &part;
        if (style == PartitionStyle::Gpt && part.identity == GptIdentity(guid))
            return &part;
    }
    return nullptr;
}

bool RecordOf(const DiskScan& scan, const Partition& part, BootDevice* device)
{
    const DiskInfo* disk = DiskOf(scan, part);
    if (disk == nullptr || !disk->hasId)
        return false;
    DecodedIdentity id = DecodeIdentity(part.identity);
    if (disk->table == "dos" && id.kind == IdentityKind::Mbr) {
        device->style = PartitionStyle::Mbr;
        device->signature = disk->signature;
        device->offset = part.offset;
        return true;
    }
    if (disk->table == "gpt" && id.kind == IdentityKind::Gpt) {
        device->style = PartitionStyle::Gpt;
        device->disk = disk->guid;
        device->partition = id.guid;
        return true;
    }
    return false;
}

const Partition* FindBootPartition(const DiskScan& scan, const BootDevice& device)
{
    for (const Partition& part : scan.partitions) {
        if (part.identity.empty())
            continue;
        if (device.style == PartitionStyle::Mbr && part.identity == MbrIdentity(device.signature, device.offset))
            return &part;
        if (device.style == PartitionStyle::Gpt && part.identity == GptIdentity(device.partition)) {
            const DiskInfo* disk = DiskOf(scan, part);
            if (disk != nullptr && disk->hasId && disk->table == "gpt" && disk->guid == device.disk)
                return &part;
        }
    }
    return nullptr;
}

bool MakeStoreReport(HiveInput& input, const DiskScan& scan, StoreReport* report, Failure* failure)
{
    report->store = input.path;
    report->recoveredFrom = input.recoveredFrom;
    report->recovery = input.recovery;
    report->warnings = input.warnings;
    std::string error;
    report->objects = ReadBootObjects(input.registry.handle(), &error);
    if (!error.empty()) {
        *failure = {kExitRefused, input.path + ": the boot store cannot be read: " + error};
        return false;
    }
    for (const BootObject& object : report->objects) {
        if (IsFirmwareObject(object.type)) {
            ++report->firmwareEntries;
            report->firmwareDescriptions.push_back(object.description.empty() ? object.id : object.description);
            continue;
        }
        if (object.type == kBootManagerType && !object.defaultObject.empty())
            report->defaultLoader = object.defaultObject;
        if (object.devices.empty())
            continue;
        StoreObject shown{&object, {}};
        for (const BootElement& element : object.devices)
            shown.devices.push_back({&element, FindBootPartition(scan, element.device)});
        report->shown.push_back(std::move(shown));
    }
    for (const BootObject& object : report->objects)
        if (!report->defaultLoader.empty() && CompareNoCase(object.id, report->defaultLoader) == 0)
            for (const BootElement& element : object.devices)
                if (element.type == kOsDeviceElement)
                    report->defaultOsDevice = BootDeviceIdentity(element.device);
    return true;
}

std::vector<std::string> SuggestDiskMoves(const Report* clone, const StoreReport* store, const DiskScan& scan,
                                          const std::string& command, const std::string& options,
                                          std::vector<std::string>* explanations)
{
    std::map<std::string, DiskReferences> disks;
    std::set<Identity> known; // identities the files already name
    if (store != nullptr)
        for (const StoreObject& object : store->shown)
            for (const StoreDevice& device : object.devices) {
                AddReference(disks, device.element->device);
                known.insert(BootDeviceIdentity(device.element->device));
            }
    if (clone != nullptr) {
        auto add = [&](const Identity& data) {
            known.insert(data);
            DecodedIdentity id = DecodeIdentity(data);
            if (id.kind != IdentityKind::Mbr)
                return; // a GPT identity names no disk
            BootDevice device;
            device.style = PartitionStyle::Mbr;
            device.signature = id.diskSignature;
            device.offset = id.offset;
            AddReference(disks, device);
        };
        // Volume names of disks long gone stay in every table Windows kept:
        // only the letters say which disks the clone means to use.
        for (const CloneEntry& entry : clone->entries)
            add(entry.data);
        for (const RegValue& value : clone->volumeNames)
            known.insert(value.data);
    }
    std::vector<std::pair<std::string, const DiskInfo*>> found;
    for (const auto& [name, refs] : disks) {
        if (std::any_of(scan.disks.begin(), scan.disks.end(), [&](const DiskInfo& d) { return SameDisk(d, refs); }))
            continue;
        std::vector<const DiskInfo*> candidates;
        for (const DiskInfo& disk : scan.disks) {
            if (!disk.error.empty() || !HoldsAll(scan, disk, refs))
                continue;
            // A disk the files already know under its own identity is no
            // copy of the missing one: moving onto it would merge two disks.
            // (A GPT partition GUID names no disk: a GPT disk is known by its
            // own GUID.)
            bool knownAlready =
                std::any_of(scan.partitions.begin(), scan.partitions.end(),
                            [&](const Partition& p) {
                                return p.disk == disk.path && known.count(p.identity) != 0 &&
                                       DecodeIdentity(p.identity).kind == IdentityKind::Mbr;
                            }) ||
                std::any_of(disks.begin(), disks.end(), [&](const auto& other) { return SameDisk(disk, other.second); });
            if (!knownAlready)
                candidates.push_back(&disk);
        }
        if (candidates.size() == 1)
            found.emplace_back(name, candidates.front());
    }
    std::vector<std::string> moves;
    for (const auto& [name, candidate] : found) {
        // One disk that could stand for two missing ones stands for neither.
        if (std::count_if(found.begin(), found.end(), [&](const auto& f) { return f.second == candidate; }) > 1)
            continue;
        const DiskInfo& disk = *candidate;
        std::string move = command + " disk:" + name + "=" + ShellQuoted(disk.path) + options;
        moves.push_back(move);
        // Volume names of partitions long gone stay as they are under the
        // move, which says so; the suggestion says it before.
        int stale = 0;
        if (clone != nullptr && disk.table == "dos")
            for (const RegValue& value : clone->volumeNames) {
                DecodedIdentity id = DecodeIdentity(value.data);
                stale += id.kind == IdentityKind::Mbr && SignatureText(id.diskSignature) == name &&
                         Counterpart(scan, disk, PartitionStyle::Mbr, id.offset, {}) == nullptr;
            }
        std::string staleText = stale == 0   ? ""
                                : stale == 1 ? " (1 volume name of a partition it does not hold stays as it is)"
                                             : " (" + std::to_string(stale) +
                                                   " volume names of partitions it does not hold stay as they are)";
        explanations->push_back("no examined disk carries the identity " + name + " that the clone names, but " +
                                disk.path + " holds every partition its letters and boot store name" + staleText +
                                " under the identity " +
                                (disk.table == "dos" ? SignatureText(disk.signature) : GuidText(disk.guid)) +
                                " (a new disk " + (disk.table == "dos" ? "signature" : "GUID") +
                                "): `" + move + "` moves the clone onto it, or give the disk its old identity back, "
                                "with the original detached: `voskarelle disk-id " + ShellQuoted(disk.path) + " " + name + "`");
    }
    return moves;
}
