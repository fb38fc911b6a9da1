// "The volume the clone knows as OLD is now NEW": the clone's drive-letter
// table and its boot store both learn the new identity, and nothing else of
// either file changes.
#include "cli/report/boot_check.h"
#include "cli/machine/shell_quote.h"
#include "cli/report/boot_report.h"
#include "cli/verbs/command.h"
#include "cli/report/render.h"
#include "cli/report/report.h"
#include "cli/verbs/verbs.h"
#include "mounttable/identity.h"
#include "mounttable/text.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <optional>

namespace {

// OLD as the files name it.
struct OldVolume {
    bool wholeDisk = false;
    Identity identity;                     // a volume: its MountedDevices identity
    PartitionStyle style = PartitionStyle::None; // a whole disk: its style and identity
    std::uint32_t signature = 0;
    std::array<std::uint8_t, 16> guid{};
};

struct PlannedMove {
    std::string oldText, newText;
    OldVolume old;
    const Partition* target = nullptr; // a volume's new partition
    const DiskInfo* disk = nullptr;    // a whole disk's new disk
    int matches = 0;
    std::optional<std::array<std::uint8_t, 16>> gptDisk; // the disk a GPT volume's elements name
    // A whole disk's partitions that the files name and the new disk does
    // not hold: each left as it is, in words.
    std::vector<std::string> left;
    std::string firstMissing; // the first of them, for a refusal
};

bool ParseOld(const std::string& text, const Report* clone, OldVolume* old, Failure* failure)
{
    auto malformed = [&](const char* form) {
        *failure = {kExitUsage, "malformed OLD \"" + text + "\": " + form};
        return false;
    };
    if (IsLetter(text)) {
        if (clone != nullptr)
            for (const CloneEntry& entry : clone->entries)
                if (CompareNoCase(entry.letter, text) == 0) {
                    old->identity = entry.data;
                    return true;
                }
        *failure = {kExitRefused, "the clone gives no volume the letter " + Upper(text)};
        return false;
    }
    if (text.starts_with("hex:")) {
        if (text.size() == 4 || !ParseHex(text.substr(4), &old->identity))
            return malformed("hex: and an even number of hexadecimal digits");
        return true;
    }
    if (text.starts_with("gpt:")) {
        std::array<std::uint8_t, 16> guid;
        if (!ParseGuid(text.substr(4), &guid))
            return malformed("gpt:{partition-guid}");
        old->identity = GptIdentity(guid);
        return true;
    }
    if (text.starts_with("mbr:")) {
        std::size_t colon = text.find(':', 4);
        std::uint32_t signature = 0;
        if (colon == std::string::npos || !ParseHex32(std::string_view(text).substr(4, colon - 4), &signature) ||
            colon + 1 == text.size() || text.find_first_not_of("0123456789", colon + 1) != std::string::npos ||
            text.size() - colon - 1 > 19)
            return malformed("mbr:SIGNATURE:OFFSET, 8 hexadecimal digits and a byte offset");
        old->identity = MbrIdentity(signature, std::strtoull(text.c_str() + colon + 1, nullptr, 10));
        return true;
    }
    if (text.starts_with("disk:")) {
        old->wholeDisk = true;
        std::string_view id = std::string_view(text).substr(5);
        if (ParseHex32(id, &old->signature)) {
            old->style = PartitionStyle::Mbr;
            return true;
        }
        if (id.starts_with("{") && ParseGuid(id, &old->guid)) {
            old->style = PartitionStyle::Gpt;
            return true;
        }
        return malformed("disk:SIGNATURE (8 hexadecimal digits) or disk:{disk-guid}");
    }
    return malformed("a letter (C:), hex:..., gpt:{...}, mbr:SIGNATURE:OFFSET or disk:...");
}

// How a value or element of the files stands to a move.
enum class Named {
    No,                 // it names something else
    Yes,                // it names OLD, and NEW has what it becomes
    WithoutCounterpart, // it names a partition of the old disk that the new disk does not hold
};

// The new identity of a MountedDevices value under move.
Named NewIdentity(const PlannedMove& move, const DiskScan& scan, const Identity& data, Identity* identity)
{
    if (!move.old.wholeDisk) {
        if (data != move.old.identity)
            return Named::No;
        *identity = move.target->identity;
        return Named::Yes;
    }
    DecodedIdentity id = DecodeIdentity(data);
    // A GPT identity is the partition GUID alone: a disk with the same
    // partitions leaves it as it is.
    if (move.old.style != PartitionStyle::Mbr || id.kind != IdentityKind::Mbr ||
        id.diskSignature != move.old.signature)
        return Named::No;
    const Partition* part = Counterpart(scan, *move.disk, PartitionStyle::Mbr, id.offset, {});
    if (part == nullptr)
        return Named::WithoutCounterpart;
    *identity = part->identity;
    return Named::Yes;
}

// The new record of a boot device under move; false with a refusal when
// the new partition cannot be named in a store.
bool NewRecord(const PlannedMove& move, const DiskScan& scan, const BootDevice& device, BootDevice* moved,
               const Partition** newPartition, Named* named, Failure* failure)
{
    *named = Named::No;
    const Partition* target = nullptr;
    if (!move.old.wholeDisk) {
        DecodedIdentity old = DecodeIdentity(move.old.identity);
        bool same = (old.kind == IdentityKind::Gpt && device.style == PartitionStyle::Gpt &&
                     device.partition == old.guid) ||
                    (old.kind == IdentityKind::Mbr && device.style == PartitionStyle::Mbr &&
                     device.signature == old.diskSignature && device.offset == old.offset);
        if (!same)
            return true;
        target = move.target;
    } else {
        bool same = device.style == move.old.style &&
                    (device.style == PartitionStyle::Mbr ? device.signature == move.old.signature
                                                         : device.disk == move.old.guid);
        if (!same)
            return true;
        target = Counterpart(scan, *move.disk, device.style, device.offset, device.partition);
        if (target == nullptr) {
            *named = Named::WithoutCounterpart;
            return true;
        }
    }
    *moved = device;
    if (!RecordOf(scan, *target, moved)) {
        *failure = {kExitRefused, target->path + " is on a disk whose identity a boot store cannot name"};
        return false;
    }
    *named = Named::Yes;
    *newPartition = target;
    return true;
}

// The files a move changes, as read, and what is known of them.
struct MoveFiles {
    explicit MoveFiles(const Options& options, CommitFiles& files)
        : volumes(files, options.machineRoot, options.sectorSize)
    {
        if (options.forceHibernated)
            volumes.AllowHibernated();
    }
    Volumes volumes; // first: closed after the files read from it
    HiveInput first, second;
    HiveInput* hive = nullptr;  // the SYSTEM hive, when given
    HiveInput* store = nullptr; // the boot store, when given
    Report report;
    StoreReport storeReport;
};

// Opens FILE and --bcd under the policy and tells which is which.
bool OpenMoveFiles(const Options& options, MoveFiles* files, Failure* failure)
{
    HivePolicy policy{
        .forWriting = !options.dryRun, .forceHibernated = options.forceHibernated, .forceBaseImage = options.force};
    if (!OpenHiveInput(files->volumes, options.hive, policy, &files->first, failure))
        return false;
    bool firstIsStore = IsBootStore(files->first.registry.handle());
    if (firstIsStore && !options.bcd.empty()) {
        *failure = {kExitUsage, "--bcd goes with a SYSTEM hive, and " + options.hive + " is a boot store"};
        return false;
    }
    if (!options.bcd.empty()) {
        if (!OpenStoreInput(files->volumes, options.bcd, policy, &files->second, failure))
            return false;
    }
    files->hive = firstIsStore ? nullptr : &files->first;
    files->store = firstIsStore ? &files->first : options.bcd.empty() ? nullptr : &files->second;
    return true;
}

// Examines the disks named as NEW beside the others (every disk of this
// machine when none is given): a NEW found twice must be seen.
bool ExamineDisks(const Options& options, MoveFiles* files, Failure* failure)
{
    std::vector<std::string> disks = options.disks.empty() ? MachineDisks() : options.disks;
    for (const auto& [oldText, newText] : options.moves) {
        std::size_t hash = newText.rfind('#');
        if (oldText.starts_with("disk:"))
            disks.push_back(newText);
        else if (hash != std::string::npos)
            disks.push_back(newText.substr(0, hash));
    }
    if (files->hive != nullptr) {
        if (!MakeReport(*files->hive, ScanDisks(disks, options.sectorSize), &files->report, failure))
            return false;
    } else {
        files->report.scan = ScanDisks(disks, options.sectorSize);
    }
    return files->store == nullptr ||
           MakeStoreReport(*files->store, files->report.scan, &files->storeReport, failure);
}

// Each OLD=NEW as the files name OLD and the examined disks hold NEW.
bool ResolveMoves(const Options& options, const MoveFiles& files, std::vector<PlannedMove>* moves, Failure* failure)
{
    const DiskScan& scan = files.report.scan;
    auto refuse = [&](const std::string& message) {
        *failure = {kExitRefused, message};
        return false;
    };
    for (const auto& [oldText, newText] : options.moves) {
        PlannedMove move{oldText, newText, {}, nullptr, nullptr, 0, std::nullopt, {}, {}};
        if (!ParseOld(oldText, files.hive ? &files.report : nullptr, &move.old, failure))
            return false;
        if (move.old.wholeDisk) {
            move.disk = FindDisk(scan, newText);
            if (move.disk == nullptr || !move.disk->error.empty() || move.disk->table.empty())
                return refuse(newText + " is no readable, partitioned disk of the examined ones");
            if (!SectorSizeKnown(*move.disk, failure))
                return false;
            if (move.disk->table != (move.old.style == PartitionStyle::Mbr ? "dos" : "gpt"))
                return refuse(newText + " has another partition style than the disk " + oldText.substr(5) +
                              ": a whole-disk move keeps the style");
            for (const DiskInfo& other : scan.disks)
                if (&other != move.disk && other.hasId && other.table == move.disk->table &&
                    other.signature == move.disk->signature && other.guid == move.disk->guid)
                    return refuse(newText + " is found twice: " + other.path + " carries the same disk identity");
        } else {
            move.target = FindPartition(scan, newText);
            if (move.target == nullptr)
                return refuse(newText + " is no partition of the examined disks");
            if (move.target->identity.empty())
                return refuse(newText + " is on a disk whose partition table Windows names no volume by");
            if (const DiskInfo* disk = DiskOf(scan, *move.target); disk != nullptr && !SectorSizeKnown(*disk, failure))
                return false;
            auto byIdentity = PartitionsByIdentity(scan);
            auto same = byIdentity.find(move.target->identity);
            if (same != byIdentity.end() && same->second.size() > 1)
                return refuse(newText + " is found twice: " + same->second[0]->path + " and " +
                              same->second[1]->path + " have its identity");
        }
        moves->push_back(move);
    }
    return true;
}

// Every change, computed from the files as read, so that one move never
// feeds another.
struct MovePlan {
    std::vector<ValueChange> changes;
    std::map<std::string, int> touched;         // value -> moves that name it
    std::vector<const Partition*> storeTargets; // the partitions the store will name
};

bool PlanLetterChanges(const MoveFiles& files, std::vector<PlannedMove>& moves, MovePlan* plan, Failure* failure)
{
    if (files.hive == nullptr)
        return true;
    const ValueList* values = files.hive->registry.KeyValues(kCloneTableKey);
    for (const RegValue& value : *values) {
        for (PlannedMove& move : moves) {
            Identity identity;
            Named named = NewIdentity(move, files.report.scan, value.data, &identity);
            if (named == Named::WithoutCounterpart) {
                // A volume name of a partition long gone names nothing
                // Windows will mount; a letter's partition was not cloned.
                DecodedIdentity id = DecodeIdentity(value.data);
                bool letter = DriveLetterPart(value.name.c_str()) != nullptr;
                move.left.push_back(value.name + "  " + IdentityText(value.data) + ": " + move.disk->path +
                                    " has no partition there" +
                                    (letter ? ", so that volume was not cloned" : "; the name mounts nothing"));
                if (move.firstMissing.empty())
                    move.firstMissing = "it has no partition at " + std::to_string(id.offset) + " bytes";
            }
            if (named != Named::Yes)
                continue;
            ++move.matches;
            if (++plan->touched["MountedDevices\\" + value.name] > 1) {
                *failure = {kExitRefused, value.name + " is named by two moves"};
                return false;
            }
            if (identity != value.data)
                plan->changes.push_back({.key = "MountedDevices",
                                         .name = value.name,
                                         .type = value.type,
                                         .before = value.data,
                                         .after = identity,
                                         .text = IdentityText(value.data) + " -> " + IdentityText(identity)});
        }
    }
    return true;
}

bool PlanStoreChanges(const MoveFiles& files, std::vector<PlannedMove>& moves, MovePlan* plan, Failure* failure)
{
    auto refuse = [&](const std::string& message) {
        *failure = {kExitRefused, message};
        return false;
    };
    for (const StoreObject& object : files.storeReport.shown) {
        for (const StoreDevice& device : object.devices) {
            const BootElement& element = *device.element;
            for (PlannedMove& move : moves) {
                BootDevice moved;
                Named named = Named::No;
                const Partition* target = nullptr;
                if (!NewRecord(move, files.report.scan, element.device, &moved, &target, &named, failure))
                    return false;
                if (named == Named::WithoutCounterpart) {
                    move.left.push_back("boot store " + object.object->id + " " + BootElementName(element.type) +
                                        "  " + PartitionWhere(element.device) + ": " + move.disk->path +
                                        " has no counterpart of it, so that volume was not cloned");
                    if (move.firstMissing.empty())
                        move.firstMissing = "it has no counterpart of " + PartitionWhere(element.device);
                }
                if (named != Named::Yes)
                    continue;
                plan->storeTargets.push_back(target);
                ++move.matches;
                if (++plan->touched[element.key] > 1)
                    return refuse(element.key + " is named by two moves");
                // A partition GUID alone is the volume's identity; the store
                // naming it on two disks cannot say which one is meant.
                if (!move.old.wholeDisk && element.device.style == PartitionStyle::Gpt) {
                    if (!move.gptDisk)
                        move.gptDisk = element.device.disk;
                    else if (*move.gptDisk != element.device.disk)
                        return refuse("the boot store names " + move.oldText +
                                      " on more than one disk; move the disk instead");
                }
                std::vector<std::uint8_t> bytes = element.bytes;
                if (!RewriteBootDevice(bytes, moved))
                    return refuse(element.key + ": its device cannot be rewritten");
                if (bytes != element.bytes)
                    plan->changes.push_back({.store = true,
                                             .key = element.key,
                                             .name = "Element",
                                             .before = element.bytes,
                                             .after = bytes,
                                             .text = object.object->id + " " + BootElementName(element.type) + ": " +
                                                     PartitionWhere(element.device) + " -> " + PartitionWhere(moved)});
            }
        }
    }
    return true;
}

// A letter entry that already holds a new identity, or two letters moved
// onto one, would give one volume two letters.
bool CheckOneLetterEach(const Options& options, const MoveFiles& files, const MovePlan& plan, Failure* failure)
{
    if (files.hive == nullptr)
        return true;
    std::map<Identity, std::string> letters;
    for (const ValueChange& change : plan.changes) {
        if (change.store || DriveLetterPart(change.name.c_str()) == nullptr)
            continue;
        auto [it, added] = letters.try_emplace(change.after, change.name);
        if (!added) {
            *failure = {kExitRefused, it->second + " and " + change.name + " would name one volume: one letter each"};
            return false;
        }
    }
    for (const ValueChange& change : plan.changes) {
        if (change.store)
            continue;
        std::vector<std::string> holders;
        for (const CloneEntry& entry : files.report.entries)
            if (entry.data == change.after && plan.touched.count("MountedDevices\\" + entry.name) == 0)
                holders.push_back(entry.letter);
        if (!holders.empty()) {
            *failure = {kExitRefused, "the clone's " + holders.front() + " already holds the identity of the new "
                                      "partition: remove its letter first with `voskarelle set " + ShellQuoted(options.hive) +
                                      " " + holders.front() + "=none`"};
            return false;
        }
    }
    return true;
}

bool ChangesStore(const MovePlan& plan)
{
    return std::any_of(plan.changes.begin(), plan.changes.end(), [](const ValueChange& c) { return c.store; });
}

// Windows asks for the BitLocker recovery key when the boot store changes
// under an encrypted volume it measures.
bool CheckBitLocker(const Options& options, const MoveFiles& files, const MovePlan& plan, std::ostream& err,
                    Failure* failure)
{
    if (!ChangesStore(plan))
        return true;
    std::string device;
    const Partition* own =
        files.hive ? OwnPartition(options.machineRoot, files.hive->file, files.report.scan, &device) : nullptr;
    std::string encrypted;
    for (const Partition* target : plan.storeTargets)
        if (target != nullptr && IsBitLocker(*target))
            encrypted = target->path;
    if (own != nullptr && IsBitLocker(*own))
        encrypted = own->path;
    if (encrypted.empty())
        return true;
    if (!options.forceBitlocker) {
        *failure = {kExitRefused, encrypted + " is a BitLocker volume: with the boot store changed, Windows asks for "
                                              "its recovery key at the next start; nothing was changed "
                                              "(--force-bitlocker goes ahead)"};
        return false;
    }
    err << "voskarelle: warning: " << OneLine(encrypted)
        << " is a BitLocker volume: have its recovery key at hand for the next start\n";
    return true;
}

// Into the registries, each value with its own name and type.
bool ApplyChanges(MoveFiles& files, const MovePlan& plan, Failure* failure)
{
    const ValueChange* failed = nullptr;
    if (ApplyValueChanges(plan.changes, files.hive, files.store, &failed))
        return true;
    *failure = {kExitRefused, "cannot change " + failed->key + "\\" + failed->name + "; nothing was written"};
    return false;
}

// Both files as one change, then their logs set aside.
int CommitMove(const Options& options, MoveFiles& files, const MovePlan& plan, std::ostream& out, std::ostream& err)
{
    std::vector<HiveInput*> inputs;
    if (std::any_of(plan.changes.begin(), plan.changes.end(), [](const ValueChange& c) { return !c.store; }))
        inputs.push_back(files.hive);
    if (ChangesStore(plan))
        inputs.push_back(files.store);
    return CommitInputs(inputs, !options.noBackup, out, err);
}

} // namespace

int RunMove(const Options& options, std::ostream& out, std::ostream& err, CommitFiles& commitFiles)
{
    MoveFiles files(options, commitFiles);
    Failure failure;
    std::vector<PlannedMove> moves;
    MovePlan plan;
    if (!OpenMoveFiles(options, &files, &failure) || !ExamineDisks(options, &files, &failure) ||
        !ResolveMoves(options, files, &moves, &failure) || !PlanLetterChanges(files, moves, &plan, &failure) ||
        !PlanStoreChanges(files, moves, &plan, &failure))
        return Refuse(err, failure);
    for (const PlannedMove& move : moves) {
        if (move.matches == 0 && !move.left.empty())
            return Refuse(err, {kExitRefused, move.newText + " holds none of the partitions the files name on disk " +
                                                  move.oldText.substr(5) + ": " + move.firstMissing});
        if (move.matches == 0)
            return Refuse(err, {kExitRefused, move.oldText + " is named by neither the clone's table nor its boot "
                                                             "store"});
    }
    if (!CheckOneLetterEach(options, files, plan, &failure))
        return Refuse(err, failure);
    for (const PlannedMove& move : moves)
        for (const std::string& left : move.left)
            out << "Left as it is: " << OneLine(left) << "\n";
    if (plan.changes.empty()) {
        out << "Nothing to change: the files already name the new partitions.\n";
        return kExitOk;
    }
    if (!CheckBitLocker(options, files, plan, err, &failure))
        return Refuse(err, failure);
    for (const ValueChange& change : plan.changes)
        out << (change.store ? "Boot store " : "MountedDevices ") << OneLine(change.store ? "" : change.name + "  ")
            << OneLine(change.text) << "\n";
    if (options.dryRun) {
        out << "Dry run: nothing was changed.\n";
        return kExitOk;
    }
    if (!ApplyChanges(files, plan, &failure))
        return Refuse(err, failure);
    return CommitMove(options, files, plan, out, err);
}
