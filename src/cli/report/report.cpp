#include "cli/report/report.h"

#include "cli/machine/failure.h"
#include "mounttable/identity.h"
#include "mounttable/text.h"

#include <cstdlib>

#include <algorithm>

namespace {

void AddDuplicateWarnings(Report* report)
{
    for (const auto& [identity, parts] : PartitionsByIdentity(report->scan)) {
        if (parts.size() < 2)
            continue;
        std::string names;
        for (std::size_t i = 0; i < parts.size(); ++i)
            names += (i == 0 ? "" : (i + 1 == parts.size() ? " and " : ", ")) + parts[i]->path;
        report->warnings.push_back(names + " have the same identity " + HexText(identity) +
                                   " (a whole-disk copy keeps the disk signature; Windows gives one of the "
                                   "disks a new one when both are attached)");
    }
}

} // namespace

bool ReadCloneTable(HiveFileRegistry& registry, Report* report)
{
    const ValueList* values = registry.KeyValues(kCloneTableKey);
    if (values == nullptr)
        return false;
    report->entries.clear();
    report->volumeNames.clear();
    for (const RegValue& value : *values) {
        if (const char* letter = DriveLetterPart(value.name.c_str()))
            report->entries.push_back({letter, value.name, value.data});
        else if (CompareNoCase(std::string_view(value.name).substr(0, 11), "\\??\\Volume{") == 0)
            report->volumeNames.push_back(value);
    }
    std::stable_sort(report->entries.begin(), report->entries.end(), [](const CloneEntry& a, const CloneEntry& b) {
        return CompareNoCase(a.letter, b.letter) < 0;
    });
    return true;
}

bool MakeReport(HiveInput& input, DiskScan scan, Report* report, Failure* failure)
{
    report->hive = input.path;
    report->recoveredFrom = input.recoveredFrom;
    report->recovery = input.recovery;
    report->warnings = input.warnings;
    if (!ReadCloneTable(input.registry, report)) {
        *failure = {kExitRefused, input.path + ": the hive has no readable MountedDevices key"};
        return false;
    }
    report->scan = std::move(scan);
    AddDuplicateWarnings(report);
    return true;
}

std::map<Identity, std::vector<const Partition*>> PartitionsByIdentity(const DiskScan& scan)
{
    std::map<Identity, std::vector<const Partition*>> found;
    for (const Partition& part : scan.partitions)
        if (!part.identity.empty())
            found[part.identity].push_back(&part);
    return found;
}

std::vector<std::string> VolumeNamesOf(const Report& report, const Identity& data)
{
    std::vector<std::string> names;
    for (const RegValue& value : report.volumeNames)
        if (value.data == data)
            names.push_back(value.name);
    return names;
}

bool HasLetter(const Report& report, const Identity& identity)
{
    return std::any_of(report.entries.begin(), report.entries.end(),
                       [&](const CloneEntry& entry) { return entry.data == identity; });
}

bool SectorSizeKnown(const DiskInfo& disk, Failure* failure)
{
    if (disk.sectorSizeKnown)
        return true;
    *failure = {kExitRefused, disk.path + ": its sector size is not known (an MBR image records none, and no file "
                                          "system on it tells), so its partitions' identities would be a guess; give "
                                          "--sector-size"};
    return false;
}

bool ResolveVolume(const Report& report, const std::string& volume, Identity* identity, Failure* failure)
{
    auto byIdentity = PartitionsByIdentity(report.scan);
    if (IsLetter(volume)) {
        for (const CloneEntry& entry : report.entries) {
            if (CompareNoCase(entry.letter, volume) == 0) {
                *identity = entry.data;
                return true;
            }
        }
        *failure = {kExitRefused, "the clone gives no volume the letter " + Upper(volume)};
        return false;
    }
    if (volume.rfind("hex:", 0) == 0) {
        ParseHex(volume.substr(4), identity);
        if (!HasLetter(report, *identity) && byIdentity.count(*identity) == 0 &&
            VolumeNamesOf(report, *identity).empty()) {
            *failure = {kExitRefused, "no volume of the clone's table or the examined disks has the identity " +
                                          HexText(*identity)};
            return false;
        }
    } else {
        const Partition* part = FindPartition(report.scan, volume);
        if (part == nullptr) {
            *failure = {kExitRefused, volume + " is no partition of the examined disks"};
            return false;
        }
        if (part->identity.empty()) {
            *failure = {kExitRefused, volume + " is on a disk whose partition table Windows names no volume by"};
            return false;
        }
        if (const DiskInfo* disk = DiskOf(report.scan, *part); disk != nullptr && !SectorSizeKnown(*disk, failure))
            return false;
        *identity = part->identity;
    }
    auto found = byIdentity.find(*identity);
    if (found != byIdentity.end() && found->second.size() > 1) {
        *failure = {kExitRefused, volume + " is ambiguous: " + found->second[0]->path + " and " +
                                      found->second[1]->path + " have its identity " + HexText(*identity)};
        return false;
    }
    return true;
}

bool IsLetter(std::string_view text)
{
    return text.size() == 2 && text[1] == ':' &&
           ((text[0] >= 'A' && text[0] <= 'Z') || (text[0] >= 'a' && text[0] <= 'z'));
}

std::string Upper(std::string text)
{
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}
