#include "cli/report/boot_check.h"
#include "cli/machine/shell_quote.h"
#include "cli/report/boot_report.h"
#include "cli/report/clone_disk.h"
#include "cli/verbs/command.h"
#include "cli/report/render.h"
#include "cli/report/report.h"
#include "cli/verbs/verbs.h"

#include "mounttable/text.h"

#include <algorithm>

namespace {

// The options a suggested command needs to see the disks as show saw them.
std::string SameDisks(const Options& options)
{
    std::string text;
    for (const std::string& disk : options.disks)
        text += " --disk " + ShellQuoted(disk);
    if (options.sectorSize != 0)
        text += " --sector-size " + std::to_string(options.sectorSize);
    return text;
}

int ShowStore(const Options& options, HiveInput& input, const DiskScan& scan, std::ostream& out, std::ostream& err)
{
    if (!options.bcd.empty())
        return Refuse(err, {kExitUsage, "--bcd goes with a SYSTEM hive, and " + options.hive + " is a boot store"});
    Failure failure;
    StoreReport store;
    if (!MakeStoreReport(input, scan, &store, &failure))
        return Refuse(err, failure);
    store.suggestedMoves =
        SuggestDiskMoves(nullptr, &store, scan, "voskarelle move " + ShellQuoted(options.hive), SameDisks(options),
                         &store.warnings);
    if (options.json) {
        PrintStoreJson(store, scan, out);
        return kExitOk;
    }
    PrintStoreText(store, out);
    PrintDisksText(scan, out);
    PrintStoreWarnings(store, out);
    return kExitOk;
}

std::string SuggestFix(Volumes& volumes, const Report& report, const StoreReport* store, const Options& options)
{
    auto byIdentity = PartitionsByIdentity(report.scan);
    bool lostC = std::any_of(report.entries.begin(), report.entries.end(), [&](const CloneEntry& entry) {
        return entry.letter == "C:" && byIdentity.count(entry.data) == 0;
    });
    bool lostElement = false;
    if (store != nullptr)
        for (const StoreObject& object : store->shown)
            for (const StoreDevice& device : object.devices)
                lostElement = lostElement || (device.element->device.style != PartitionStyle::None && !device.found);
    const Partition* own = report.boot.partition.empty() ? nullptr : FindPartition(report.scan, report.boot.partition);
    const DiskInfo* disk = own ? DiskOf(report.scan, *own) : nullptr;
    if ((!lostC && !lostElement) || disk == nullptr)
        return "";
    CloneDisk clone;
    FindOnDisk(volumes, report.scan, *disk, &clone);
    bool resolves = lostC && std::find(clone.windows.begin(), clone.windows.end(), own) != clone.windows.end();
    if (store != nullptr)
        for (const ElementTie& tie : TieStore(volumes, report.scan, *store, clone, own, Identity()))
            resolves = resolves || tie.outcome == ElementTie::Tied;
    if (!resolves)
        return "";
    return "the clone's files name partitions no examined disk holds, but " + disk->path +
           " holds the files their entries start: `voskarelle fix " + ShellQuoted(disk->path) + SameDisks(options) +
           "` ties them to it";
}

// Which of the clone's letters the default loader starts Windows from.
std::string DefaultLoaderText(const StoreReport& store)
{
    if (store.defaultLoader.empty())
        return "The boot manager names no default loader.";
    if (store.defaultOsDevice.empty())
        return "The default loader " + store.defaultLoader +
               " names no partition for Windows itself (the boot device, or one found by path at boot).";
    if (!store.defaultOsLetter.empty())
        return "The default loader " + store.defaultLoader + " starts Windows from the clone's " +
               store.defaultOsLetter + ".";
    return "The default loader " + store.defaultLoader + " starts Windows from a volume the clone gives no letter.";
}

} // namespace

int RunShow(const Options& options, std::ostream& out, std::ostream& err, CommitFiles& files)
{
    Volumes volumes(files, options.machineRoot, options.sectorSize);
    // The disks first: the files named inside them are then read from what
    // was read of them.
    DiskScan scan = ScanDisks(options.disks, options.sectorSize);
    volumes.Know(scan);
    HiveInput input;
    Failure failure;
    if (!OpenHiveInput(volumes, options.hive, {}, &input, &failure))
        return Refuse(err, failure);
    if (IsBootStore(input.registry.handle()))
        return ShowStore(options, input, scan, out, err);
    Report report;
    if (!MakeReport(input, std::move(scan), &report, &failure))
        return Refuse(err, failure);
    CheckBootDrivers(input.registry.handle(), options.machineRoot, input.file, options.bus, &report);

    HiveInput storeInput;
    StoreReport store;
    bool withStore = !options.bcd.empty();
    if (withStore) {
        if (!OpenStoreInput(volumes, options.bcd, {}, &storeInput, &failure) ||
            !MakeStoreReport(storeInput, report.scan, &store, &failure))
            return Refuse(err, failure);
        for (const CloneEntry& entry : report.entries)
            if (!store.defaultOsDevice.empty() && entry.data == store.defaultOsDevice && store.defaultOsLetter.empty())
                store.defaultOsLetter = entry.letter;
    }
    std::string command =
        "voskarelle move " + ShellQuoted(options.hive) + (withStore ? " --bcd " + ShellQuoted(options.bcd) : "");
    std::vector<std::string> explanations;
    std::vector<std::string> moves =
        SuggestDiskMoves(&report, withStore ? &store : nullptr, report.scan, command, SameDisks(options), &explanations);
    if (withStore) {
        store.suggestedMoves = moves;
        store.warnings.insert(store.warnings.end(), explanations.begin(), explanations.end());
    } else {
        report.warnings.insert(report.warnings.end(), explanations.begin(), explanations.end());
    }

    // Files naming partitions no examined disk holds, where the disk the
    // hive is on holds the files their entries start: fix ties them.
    std::string suggestion = SuggestFix(volumes, report, withStore ? &store : nullptr, options);
    if (!suggestion.empty())
        (withStore ? store.warnings : report.warnings).push_back(suggestion);

    if (options.json) {
        PrintJson(report, out, withStore ? &store : nullptr);
        return kExitOk;
    }
    PrintText(report, out);
    if (withStore) {
        PrintStoreText(store, out);
        out << OneLine(DefaultLoaderText(store)) << "\n";
        PrintStoreWarnings(store, out);
    }
    return kExitOk;
}
