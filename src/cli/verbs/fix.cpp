// "This clone does not start": one command that finds Windows and its boot
// store on the clone's disk, ties every entry of the store to the partition
// that holds the file it starts, gives the Windows partition C:, switches on
// the boot driver of the bus the clone will start from, says all of it, and
// then changes exactly that, the hive and the store as one change.
#include "cli/commit/commit.h"
#include "cli/machine/bus.h"
#include "cli/machine/files.h"
#include "cli/machine/shell_quote.h"
#include "cli/report/boot_check.h"
#include "cli/report/clone_disk.h"
#include "cli/report/firmware_check.h"
#include "cli/report/render.h"
#include "cli/report/report.h"
#include "cli/verbs/command.h"
#include "cli/verbs/verbs.h"
#include "hive/bytes.h"
#include "mounttable/identity.h"
#include "mounttable/text.h"

#include <nlohmann/json.hpp>


#include <unistd.h>

#include <algorithm>
#include <climits>
#include <map>
#include <random>
#include <set>

namespace {

using Json = nlohmann::ordered_json;

struct Unresolved {
    std::string what, why;
    bool refuses = false;
};

struct FixPlan {
    std::string disk;
    const Partition* windows = nullptr;
    std::string storeName; // "clone.img#1:/EFI/Microsoft/Boot/BCD", "" for none
    std::string storeKind;
    std::string bus, busFrom, busDetail;
    std::vector<ValueChange> changes;
    std::vector<BootDriverChange> drivers;
    std::vector<Unresolved> unresolved;
    std::vector<std::string> warnings;
    std::vector<FirmwareStep> firmware;
    std::string bootEntry; // the efibootmgr command that gives the firmware an entry for the disk
};

// A disk identity no examined disk carries, for the disk-id that ends a
// collision.
std::string FreshIdentity(const DiskInfo& disk, const DiskScan& scan)
{
    std::mt19937_64 random{std::random_device{}()};
    for (;;) {
        std::uint64_t a = random(), b = random();
        if (disk.table == "dos") {
            auto signature = static_cast<std::uint32_t>(a);
            bool taken = signature == 0 || std::any_of(scan.disks.begin(), scan.disks.end(), [&](const DiskInfo& d) {
                             return d.table == "dos" && d.signature == signature;
                         });
            if (!taken)
                return SignatureText(signature);
            continue;
        }
        std::array<std::uint8_t, 16> guid{};
        for (int i = 0; i < 8; ++i) {
            guid[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(a >> (8 * i));
            guid[static_cast<std::size_t>(i + 8)] = static_cast<std::uint8_t>(b >> (8 * i));
        }
        guid[7] = static_cast<std::uint8_t>((guid[7] & 0x0F) | 0x40); // a random GUID, version 4
        guid[8] = static_cast<std::uint8_t>((guid[8] & 0x3F) | 0x80);
        return GuidText(guid);
    }
}

// The letters: C: goes to the Windows partition with every value that names
// its volume, and what the store's entries moved carries their letters.
void PlanLetters(const Report& report, const DiskScan& scan, const DiskInfo& disk, const Partition& windows,
                 const std::vector<ElementTie>& ties, FixPlan* plan)
{
    std::map<Identity, Identity> moves;
    std::set<Identity> conflicting;
    const CloneEntry* c = nullptr;
    for (const CloneEntry& entry : report.entries)
        if (entry.letter == "C:")
            c = &entry;
    if (c != nullptr && c->data != windows.identity)
        moves[c->data] = windows.identity;
    auto byIdentity = PartitionsByIdentity(scan);
    auto onOtherDisk = [&](const Identity& identity) {
        auto found = byIdentity.find(identity);
        return found != byIdentity.end() &&
               std::any_of(found->second.begin(), found->second.end(),
                           [&](const Partition* part) { return part->disk != disk.path; });
    };
    for (const ElementTie& tie : ties) {
        if (tie.outcome != ElementTie::Tied)
            continue;
        Identity old = BootDeviceIdentity(tie.device->element->device);
        Identity now = tie.target->identity;
        if (old.empty() || old == now || (c != nullptr && old == c->data) || onOtherDisk(old))
            continue;
        auto [it, added] = moves.try_emplace(old, now);
        if (!added && it->second != now)
            conflicting.insert(old);
    }
    for (const Identity& old : conflicting) {
        moves.erase(old);
        plan->warnings.push_back("the store's entries name the partition " + IdentityText(old) +
                                 " for files now on two partitions: its letters are left as they are");
    }
    // One volume, one letter. The letters as they would end, by volume: C:
    // keeps the Windows partition (a letter already there goes), and of
    // others landing together, the one already there stays and those that
    // would move stay where they are.
    std::set<Identity> targets;
    for (const auto& [old, now] : moves)
        targets.insert(now);
    std::map<Identity, std::vector<const CloneEntry*>> landing;
    for (const CloneEntry& entry : report.entries) {
        auto move = moves.find(entry.data);
        landing[move != moves.end() ? move->second : entry.data].push_back(&entry);
    }
    if (c == nullptr)
        landing[windows.identity].push_back(nullptr); // C: to be added
    std::set<const CloneEntry*> stays, goes;
    for (const auto& [volume, letters] : landing) {
        if (letters.size() < 2)
            continue;
        bool toC = std::any_of(letters.begin(), letters.end(),
                               [&](const CloneEntry* e) { return e == nullptr || e == c; });
        for (const CloneEntry* entry : letters) {
            if (entry == nullptr || entry == c)
                continue;
            bool moving = moves.count(entry->data) != 0;
            if (toC && !moving) {
                goes.insert(entry);
            } else if (moving) {
                stays.insert(entry);
                plan->warnings.push_back(entry->name + " is left as it is: the partition it would move to " +
                                         (toC ? "takes C:" : "has a letter already"));
            }
        }
    }
    std::set<Identity> named; // targets that already have a volume name
    for (const RegValue& value : report.volumeNames)
        if (targets.count(value.data) != 0)
            named.insert(value.data);
    for (const CloneEntry& entry : report.entries) {
        auto move = moves.find(entry.data);
        if (goes.count(&entry) != 0)
            plan->changes.push_back({false, "MountedDevices", entry.name, kRegBinary, entry.data, {}, true, false,
                                     "MountedDevices " + entry.name + "  " + IdentityText(entry.data) +
                                         " -> none (the volume takes C:)"});
        else if (move != moves.end() && stays.count(&entry) == 0)
            plan->changes.push_back({false, "MountedDevices", entry.name, kRegBinary, entry.data, move->second, false,
                                     false,
                                     "MountedDevices " + entry.name + "  " + IdentityText(entry.data) + " -> " +
                                         IdentityText(move->second)});
    }
    for (const RegValue& value : report.volumeNames) {
        auto move = moves.find(value.data);
        if (move == moves.end())
            continue;
        if (named.count(move->second) != 0) {
            plan->warnings.push_back(value.name + " is left as it is: the partition it would move to has a volume "
                                                  "name of its own");
            continue;
        }
        plan->changes.push_back({false, "MountedDevices", value.name, value.type, value.data, move->second, false,
                                 false,
                                 "MountedDevices " + value.name + "  " + IdentityText(value.data) + " -> " +
                                     IdentityText(move->second)});
    }
    if (c == nullptr)
        plan->changes.push_back({false, "MountedDevices", "\\DosDevices\\C:", kRegBinary, {}, windows.identity, false,
                                 true, "MountedDevices \\DosDevices\\C:  (none) -> " + IdentityText(windows.identity)});
}

// Into the registries, each value as planned; false when any could not be.
void PrintPlan(const FixPlan& plan, bool json, std::ostream& out)
{
    bool ready = std::none_of(plan.unresolved.begin(), plan.unresolved.end(),
                              [](const Unresolved& u) { return u.refuses; });
    if (json) {
        Json changes = Json::array(), unresolved = Json::array(), firmware = Json::array();
        for (const FirmwareStep& step : plan.firmware)
            firmware.push_back({{"step", step.step},
                                {"where", step.where},
                                {"found", step.found},
                                {"needs", step.needs.empty() ? Json(nullptr) : Json(step.needs)},
                                {"kept", step.keep}});
        for (const ValueChange& change : plan.changes)
            changes.push_back(change.text);
        for (const BootDriverChange& driver : plan.drivers)
            changes.push_back(DriverChangeText(driver));
        for (const Unresolved& u : plan.unresolved)
            unresolved.push_back({{"what", u.what}, {"why", u.why}, {"refuses", u.refuses}});
        Json found{{"disk", plan.disk},
                   {"windows", plan.windows ? Json(plan.windows->path) : Json(nullptr)},
                   {"store", plan.storeName.empty() ? Json(nullptr) : Json(plan.storeName)},
                   {"store_kind", plan.storeKind.empty() ? Json(nullptr) : Json(plan.storeKind)},
                   {"bus", plan.bus.empty() ? Json(nullptr) : Json(plan.bus)},
                   {"bus_from", plan.busFrom.empty() ? Json(nullptr) : Json(plan.busFrom)}};
        Json doc{{"found", found},   {"changes", changes},         {"unresolved", unresolved},
                 {"ready", ready},   {"warnings", plan.warnings},
                 {"firmware", firmware},
                 {"boot_entry", plan.bootEntry.empty() ? Json(nullptr) : Json(plan.bootEntry)}};
        EmitJson(doc, out);
        return;
    }
    out << "Disk: " << OneLine(plan.disk) << "\n";
    out << "Windows: " << (plan.windows ? PartitionText(*plan.windows) : "none") << "\n";
    out << "Boot store: " << (plan.storeName.empty() ? "none found" : OneLine(plan.storeName) + " (" + plan.storeKind + ")")
        << "\n";
    if (!plan.bus.empty())
        out << "Bus: " << plan.bus << " (from " << OneLine(plan.busFrom) << ")\n";
    else
        out << "Bus: not checked: " << OneLine(plan.busDetail) << "\n";
    for (const FirmwareStep& step : plan.firmware)
        out << "Firmware " << step.step << ": " << OneLine(step.where) << ": " << OneLine(step.found)
            << (step.needs.empty() ? "" : " -> " + OneLine(step.needs)) << "\n";
    bool firmware = std::any_of(plan.firmware.begin(), plan.firmware.end(),
                                [](const FirmwareStep& step) { return step.planned; });
    if (plan.changes.empty() && plan.drivers.empty() && !firmware)
        out << "Nothing to change: the clone's files already name its disk.\n";
    for (const ValueChange& change : plan.changes)
        out << OneLine(change.text) << "\n";
    for (const BootDriverChange& driver : plan.drivers)
        out << DriverChangeText(driver) << "\n";
    for (const Unresolved& u : plan.unresolved)
        out << "Unresolved: " << OneLine(u.what) << ": " << OneLine(u.why) << "\n";
    for (const std::string& warning : plan.warnings)
        out << "Warning: " << OneLine(warning) << "\n";
    if (!plan.bootEntry.empty())
        out << "Boot entry: this machine's firmware has none for the clone until it is given one: "
            << plan.bootEntry << "\n";
}

} // namespace

int RunFix(const Options& options, std::ostream& out, std::ostream& err, CommitFiles& files)
{
    Volumes volumes(files, options.machineRoot, options.sectorSize);
    if (options.forceHibernated)
        volumes.AllowHibernated();
    auto refuse = [&](const std::string& message) { return Refuse(err, {kExitRefused, message}); };
    const std::string& diskName = options.hive;

    // The disks: the clone's first, then those examined beside it.
    std::vector<std::string> paths = {diskName};
    for (const std::string& disk : options.disks.empty() ? MachineDisks() : options.disks)
        paths.push_back(disk);
    Report report;
    report.scan = ScanDisks(paths, options.sectorSize);
    const DiskScan& scan = report.scan;
    volumes.Know(scan);
    const DiskInfo* disk = FindDisk(scan, diskName);
    if (disk == nullptr || !disk->error.empty())
        return refuse("cannot read " + diskName + (disk ? ": " + disk->error : ""));
    std::ostream& said = options.json ? err : out;
    bool device = IsBlockDevice(disk->path);
    // Where the old sectors are saved: beside an image, for a device in
    // --backup-dir or the current folder; "" for none.
    auto backupFolder = [&] {
        if (options.noBackup)
            return std::string();
        if (!options.backupDir.empty())
            return options.backupDir;
        char cwd[PATH_MAX];
        return device ? std::string(getcwd(cwd, sizeof cwd) ? cwd : ".") : FolderOf(RealPath(disk->path));
    };
    auto saySectors = [&](const SectorWrite& written) {
        if (!written.backup.empty()) {
            said << "Backup: " << OneLine(written.backup) << " (the old sectors)\n";
            for (const std::string& line : written.restore)
                said << "  put back: " << line << "\n";
        }
        for (const std::string& what : written.written)
            said << "Written: " << OneLine(what) << "\n";
    };
    // A boot flag other than 0x00 and 0x80 hides the whole table: those
    // flags are cleared before anything else can be read, the old MBR
    // saved first.
    SectorEdit cleared;
    std::string flags = disk->table.empty() ? InvalidBootFlags(*disk, &cleared) : "";
    if (!flags.empty()) {
        if (options.dryRun)
            return refuse(diskName + " has no partition table that can be read: " + flags +
                          "; fix clears those flags to 0x00 first and plans the rest once the table reads (run it "
                          "without --dry-run)");
        std::string error;
        SectorWrite written;
        bool ok = WriteSectorEdits(*disk, {&cleared, 1}, backupFolder(), files, &written, &error);
        saySectors(written);
        if (!ok)
            return refuse(error + (written.torn ? "" : "; nothing was changed"));
        // The table as it reads now, without the flags.
        report.scan = ScanDisks(paths, options.sectorSize);
        volumes.Know(scan);
        disk = FindDisk(scan, diskName);
        if (disk == nullptr || !disk->error.empty())
            return refuse("cannot read " + diskName + (disk ? ": " + disk->error : "") +
                          " after its boot flags were cleared");
    }
    if (disk->table != "dos" && disk->table != "gpt")
        return refuse(diskName + (disk->table.empty() ? " has no partition table" : " holds a " + disk->table +
                                                                                      " partition table, which no Windows starts from"));
    Failure failure;
    if (!SectorSizeKnown(*disk, &failure))
        return Refuse(err, failure);
    if (!disk->hasId)
        return refuse(diskName + " carries no disk identity (an MBR signature of 0), so a store cannot name its "
                                 "partitions; give it one with `voskarelle disk-id " + ShellQuoted(diskName) + " " +
                      FreshIdentity(*disk, scan) + "` first");

    // What is on it.
    CloneDisk clone;
    FindOnDisk(volumes, scan, *disk, &clone);
    FixPlan plan;
    plan.disk = diskName;
    // A dry run refuses what the change would refuse: its plan is the
    // change's, never one that cannot be carried out.
    HivePolicy policy{.forWriting = true, .forceHibernated = options.forceHibernated, .forceBaseImage = options.force};
    HiveInput storeInput;
    StoreReport store;
    if (clone.store != nullptr) {
        plan.storeName = clone.store->path + ":" + clone.storePath;
        plan.storeKind = clone.uefi ? "UEFI" : "BIOS";
        if (!OpenStoreInput(volumes, plan.storeName, policy, &storeInput, &failure) ||
            !MakeStoreReport(storeInput, scan, &store, &failure))
            return Refuse(err, failure);
    }
    if (clone.windows.empty()) {
        if (!clone.bitlocker.empty())
            return refuse(clone.bitlocker.front() + " is a BitLocker volume, so the Windows on " + diskName +
                          " cannot be read; unlock and mount it (dislocker, cryptsetup bitlk), then run fix again");
        return refuse("no Windows on " + diskName + ": no NTFS partition holds \\Windows\\System32\\config\\SYSTEM" +
                      (clone.unread.empty() ? "" : " (" + clone.unread.front() + ")"));
    }
    const Partition* windows = nullptr;
    if (!options.windows.empty()) {
        const Partition* named = FindPartition(scan, options.windows);
        if (named == nullptr || std::find(clone.windows.begin(), clone.windows.end(), named) == clone.windows.end())
            return refuse(options.windows + " is no partition of " + diskName + " that holds Windows");
        windows = named;
    } else if (clone.windows.size() == 1) {
        windows = clone.windows.front();
    } else {
        // The one the store's default loader already starts.
        for (const StoreObject& object : store.shown)
            if (CompareNoCase(object.object->id, store.defaultLoader) == 0)
                for (const StoreDevice& device : object.devices)
                    if (device.element->type == kOsDeviceElement && device.found != nullptr &&
                        std::find(clone.windows.begin(), clone.windows.end(), device.found) != clone.windows.end())
                        windows = device.found;
        if (windows == nullptr) {
            std::string choices;
            for (const Partition* part : clone.windows)
                choices += (choices.empty() ? "" : ", ") + std::string("--windows ") + ShellQuoted(part->path);
            return refuse(diskName + " holds " + std::to_string(clone.windows.size()) +
                          " Windows installations and the store's default loader names none of them: pick one (" +
                          choices + ")");
        }
    }
    plan.windows = windows;

    HiveInput hive;
    if (!OpenHiveInput(volumes, windows->path + ":" + kSystemHivePath, policy, &hive, &failure))
        return Refuse(err, failure);
    plan.warnings.insert(plan.warnings.end(), hive.warnings.begin(), hive.warnings.end());
    plan.warnings.insert(plan.warnings.end(), storeInput.warnings.begin(), storeInput.warnings.end());
    for (const std::string& locked : clone.bitlocker)
        plan.warnings.push_back(locked + " is a BitLocker volume: the files on it were not looked at");
    if (!ReadCloneTable(hive.registry, &report))
        return refuse(hive.path + ": the hive has no readable MountedDevices key");

    // The store, tied by content.
    std::vector<ElementTie> ties;
    if (clone.store == nullptr) {
        // No firmware starts Windows without its store: a clone without one
        // is not ready, whatever else is repaired.
        std::string why = "no \\EFI\\Microsoft\\Boot\\BCD on an EFI system partition of " + diskName +
                          " and no \\Boot\\BCD on its active partition, so it does not start";
        if (!clone.unread.empty())
            why += " (" + clone.unread.front() + ")";
        if (!clone.leftStores.empty())
            why += "; " + clone.leftStores.front() +
                   " may be the store a run that was stopped left under a name of ours: put it back as BCD beside it";
        plan.unresolved.push_back({"the boot store", why, true});
    } else {
        Identity oldC;
        for (const CloneEntry& entry : report.entries)
            if (entry.letter == "C:")
                oldC = entry.data;
        ties = TieStore(volumes, scan, store, clone, windows, oldC);
    }
    for (const ElementTie& tie : ties) {
        const BootElement& element = *tie.device->element;
        if (tie.outcome == ElementTie::Tied) {
            std::vector<std::uint8_t> bytes = element.bytes;
            if (!RewriteBootDevice(bytes, tie.moved))
                return refuse(element.key + ": its device cannot be rewritten");
            if (bytes != element.bytes)
                plan.changes.push_back({true, element.key, "Element", kRegBinary, element.bytes, bytes, false, false,
                                        "Boot store " + tie.object->object->id + " " +
                                            BootElementName(element.type) + ": " + PartitionWhere(element.device) + " -> " +
                                            PartitionWhere(tie.moved) + " (" + tie.target->path + " holds " + tie.file + ")"});
            continue;
        }
        std::string why;
        switch (tie.outcome) {
        case ElementTie::NoFile:
            why = "no partition of " + diskName + " holds " + tie.file;
            break;
        case ElementTie::Several:
            why = "more than one partition of " + diskName + " holds " + tie.file;
            break;
        case ElementTie::NoPath:
            why = "its entry names no file to find its partition by";
            break;
        case ElementTie::Unknown:
            why = "a partition of " + diskName + " that may hold " + tie.file + " cannot be read (" + tie.unread + ")";
            break;
        case ElementTie::OtherDisk:
            why = "it names another disk than the one the boot manager and the default loader start from";
            break;
        default:
            continue; // on the disk already, or no partition to name
        }
        plan.unresolved.push_back({ElementText(tie), why + "; left as it is", tie.vital});
    }

    // Below the store: what the firmware reads before the boot manager runs.
    // What cannot be written is said, rather than success reported on a
    // clone that does not start.
    FirmwareRepair repair;
    plan.firmware = CheckFirmwareChain(volumes, scan, *disk, clone, &repair);
    for (const FirmwareStep& step : plan.firmware) {
        if (step.needs.empty() || step.planned)
            continue;
        if (step.keep)
            plan.warnings.push_back(step.step + " of " + step.where + ": " + step.found + "; " + step.needs);
        else
            plan.unresolved.push_back({"the firmware's " + step.step + " of " + step.where,
                                       step.found + "; it needs " + step.needs +
                                           ", which fix cannot write: the clone may not start from its firmware",
                                       false});
    }
    if (clone.uefi && clone.store != nullptr && device &&
        access((options.machineRoot + "/sys/firmware/efi").c_str(), F_OK) == 0)
        // A firmware's variables are no file with a way back: the command
        // is said, not run.
        plan.bootEntry = "efibootmgr --create --disk " + ShellQuoted(disk->path) + " --part " +
                         std::to_string(clone.store->number) +
                         " --loader '\\EFI\\Microsoft\\Boot\\bootmgfw.efi' --label 'Windows Boot Manager'";

    // The letters and the boot driver.
    PlanLetters(report, scan, *disk, *windows, ties, &plan);
    if (!options.bus.empty()) {
        plan.bus = options.bus;
        plan.busFrom = "--bus";
    } else if (device) {
        std::string bus = BusOfBlockDevice(options.machineRoot, disk->path, &plan.busDetail);
        if (bus == "usb") {
            plan.busDetail = diskName + " is on USB: a clone in a USB enclosure starts from another bus; give that bus "
                                        "with --bus";
            plan.unresolved.push_back({"the boot driver", plan.busDetail, false});
        } else if (!bus.empty()) {
            plan.bus = bus;
            plan.busFrom = "sysfs: " + plan.busDetail;
        }
    } else {
        plan.busDetail = diskName + " is an image, which tells no bus; give the bus the clone will start from "
                                    "with --bus";
    }
    if (!plan.bus.empty()) {
        std::string why;
        if (!ApplyBootDriver(hive.registry, plan.bus, &plan.drivers, &why))
            return refuse(why + "; nothing was changed (without --bus, fix repairs the rest)");
    }

    // Another disk with this disk's own identity: Windows gives one of them
    // a new one when both are attached, and which should keep it depends on
    // which disk stays.
    for (const DiskInfo& other : scan.disks)
        if (&other != disk && other.hasId && disk->hasId && other.table == disk->table &&
            other.signature == disk->signature && other.guid == disk->guid && !SameFile(other.path, disk->path))
            plan.warnings.push_back(other.path + " carries the same disk identity as " + diskName +
                                    "; to give " + diskName + " a new one: `voskarelle disk-id " +
                                    ShellQuoted(diskName) + " " + FreshIdentity(*disk, scan) + "` (then run fix again)");

    auto vital = std::find_if(plan.unresolved.begin(), plan.unresolved.end(), [](const Unresolved& u) { return u.refuses; });
    if (vital != plan.unresolved.end())
        return refuse(vital->what + ": " + vital->why + "; nothing was changed");

    PrintPlan(plan, options.json, out);
    bool storeChanges = std::any_of(plan.changes.begin(), plan.changes.end(), [](const ValueChange& c) { return c.store; });
    bool hiveChanges = !plan.drivers.empty() ||
                       std::any_of(plan.changes.begin(), plan.changes.end(), [](const ValueChange& c) { return !c.store; });
    bool loader = !repair.loaderTo.empty();
    if (!storeChanges && !hiveChanges && !loader && repair.sectors.empty())
        return kExitOk;
    if ((storeChanges || !repair.sectors.empty()) && IsBitLocker(*windows)) {
        std::string what = storeChanges && !repair.sectors.empty() ? "the boot store, the MBR or a boot sector"
                           : storeChanges                          ? "the boot store"
                                                                   : "the MBR or a boot sector";
        if (!options.forceBitlocker)
            return refuse(windows->path + " is a BitLocker volume: with " + what +
                          " changed, Windows asks for its recovery key at the next start; nothing was changed "
                          "(--force-bitlocker goes ahead)");
        err << "voskarelle: warning: " << OneLine(windows->path) << " is a BitLocker volume: with " << what
            << " changed, a TPM-sealed BitLocker asks for its recovery key at the next start; have it at hand\n";
    }
    if (options.dryRun) {
        if (!options.json)
            out << "Dry run: nothing was changed.\n";
        return kExitOk;
    }
    if (storeChanges || hiveChanges) {
        const ValueChange* failed = nullptr;
        if (!ApplyValueChanges(plan.changes, &hive, &storeInput, &failed))
            return refuse("the change could not be made in memory; nothing was written");
        std::vector<HiveInput*> inputs;
        if (hiveChanges)
            inputs.push_back(&hive);
        if (storeChanges)
            inputs.push_back(&storeInput);
        int rc = CommitInputs(inputs, !options.noBackup, said, err);
        if (rc != kExitOk)
            return rc;
    }
    // The files have landed; what follows is said step by step, so that a
    // failure tells what is in place and a second run does the rest.
    std::string landed = storeChanges || hiveChanges ? "the files above are in place; " : "";
    std::string error;
    if (loader) {
        FileSystem* fs = volumes.Open(*repair.loaderVolume, *disk, &error);
        if (fs == nullptr || !PlaceCopy(*fs, repair.loaderFrom, repair.loaderTo, &error))
            return refuse("the fallback loader: " + error + "; " + landed +
                          "the firmware's sectors were not written; run fix again for the rest");
        said << "Written: " << OneLine(fs->Name(repair.loaderTo)) << "\n";
        landed += "the fallback loader is in place; ";
    }
    if (repair.sectors.empty())
        return kExitOk;
    // Whatever the file systems still hold open is written out before
    // their sectors change under them.
    if (!volumes.CloseAll(&error))
        return refuse(error + "; " + landed + "the firmware's sectors were not written; run fix again for the rest");
    SectorWrite written;
    bool ok = WriteSectorEdits(*disk, repair.sectors, backupFolder(), files, &written, &error);
    saySectors(written);
    if (!ok) {
        std::string torn;
        for (const std::string& what : written.begun)
            torn += (torn.empty() ? "" : ", ") + what;
        return refuse(error + "; " + landed +
                      (written.torn ? "these may be neither old nor new: " + torn +
                                          (written.backup.empty() ? "" : " (the backup holds their old bytes)")
                                    : "no sector of the firmware's chain was changed; run fix again for the rest"));
    }
    return kExitOk;
}