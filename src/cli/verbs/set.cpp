#include "cli/report/boot_check.h"
#include "cli/verbs/command.h"
#include "cli/report/render.h"
#include "cli/report/report.h"
#include "cli/verbs/verbs.h"
#include "mounttable/letter_plan.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// Images named in VOLUME arguments ("clone.img#2") are examined too.
std::vector<std::string> DisksToExamine(const Options& options)
{
    std::vector<std::string> disks = options.disks;
    for (const auto& [volume, letter] : options.assignments) {
        std::size_t hash = volume.rfind('#');
        if (hash == std::string::npos || volume.rfind("hex:", 0) == 0)
            continue;
        disks.push_back(volume.substr(0, hash));
    }
    return disks;
}

// The same values, whatever their order: a plan that removes a value and
// writes it back unchanged changes nothing worth a new hive.
bool SameValues(const ValueList& a, const ValueList& b)
{
    if (a.size() != b.size())
        return false;
    auto sorted = [](const ValueList& values) {
        std::vector<const RegValue*> order;
        order.reserve(values.size());
        for (const RegValue& value : values)
            order.push_back(&value);
        std::sort(order.begin(), order.end(), [](const RegValue* x, const RegValue* y) { return x->name < y->name; });
        return order;
    };
    std::vector<const RegValue*> x = sorted(a), y = sorted(b);
    for (std::size_t i = 0; i < x.size(); ++i)
        if (!(*x[i] == *y[i]))
            return false;
    return true;
}

void PrintDriverChanges(const std::vector<BootDriverChange>& changes, std::ostream& out)
{
    for (const BootDriverChange& change : changes)
        out << DriverChangeText(change) << "\n";
}

} // namespace

int RunSet(const Options& options, std::ostream& out, std::ostream& err, CommitFiles& files)
{
    Volumes volumes(files, options.machineRoot, options.sectorSize);
    if (options.forceHibernated)
        volumes.AllowHibernated();
    HiveInput input;
    Failure failure;
    HivePolicy policy{
        .forWriting = !options.dryRun, .forceHibernated = options.forceHibernated, .forceBaseImage = options.force};
    if (!OpenHiveInput(volumes, options.hive, policy, &input, &failure))
        return Refuse(err, failure);
    Report report;
    if (!MakeReport(input, ScanDisks(DisksToExamine(options), options.sectorSize), &report, &failure))
        return Refuse(err, failure);

    std::vector<LetterAssignment> assignments;
    for (const auto& [volume, letter] : options.assignments) {
        Identity identity;
        if (!ResolveVolume(report, volume, &identity, &failure))
            return Refuse(err, failure);
        assignments.push_back({identity, letter});
    }
    std::vector<LetterEntry> entries;
    for (const CloneEntry& entry : report.entries)
        entries.push_back({entry.name, entry.data});
    LetterPlan plan;
    switch (PlanLetterAssignments(entries, assignments, &plan)) {
    case PlanError::LetterTwice:
        return Refuse(err, {kExitRefused, "the same letter is given to two volumes"});
    case PlanError::VolumeTwice:
        return Refuse(err, {kExitRefused, "the same volume is given two letters"});
    case PlanError::None:
        break;
    }

    HiveFileRegistry& registry = input.registry;
    ValueList before = *registry.KeyValues(kCloneTableKey);
    if (!assignments.empty()) {
        RegKey key = nullptr;
        bool applied = registry.OpenKey(kCloneTableKey, &key) == kRegSuccess && ApplyLetterPlan(registry, key, plan);
        if (key != nullptr)
            registry.CloseKey(key);
        if (!applied)
            return Refuse(err, {kExitRefused, "the change could not be made; nothing was written"});
        ReadCloneTable(registry, &report);
    }
    std::vector<BootDriverChange> driverChanges;
    for (const std::string& bus : options.bootDrivers) {
        std::string why;
        if (!ApplyBootDriver(registry, bus, &driverChanges, &why))
            return Refuse(err, {kExitRefused, why + "; nothing was written"});
    }

    if (SameValues(before, *registry.KeyValues(kCloneTableKey)) && driverChanges.empty()) {
        out << "Nothing to change: every assignment already holds. The hive was not written.\n";
        return kExitOk;
    }
    if (options.dryRun) {
        PrintText(report, out);
        PrintDriverChanges(driverChanges, out);
        out << "Dry run: the hive was not changed.\n";
        return kExitOk;
    }
    CommitTarget target{{}, input.file, {}};
    std::string error;
    if (!registry.CommitToMemory(&target.bytes, &error))
        return Refuse(err, {kExitRefused, error + "; the hive was not changed"});
    CommitResult result = CommitTogether(std::span(&target, 1), !options.noBackup, &error);
    if (result == CommitResult::Failed)
        return Refuse(err, {kExitRefused, error + "; the hive was not changed"});
    if (result == CommitResult::PartlyInPlace)
        return Refuse(err, {kExitRefused, error});
    if (!target.prepared.backup.empty())
        out << "Backup: " << OneLine(input.file.fs->Name(target.prepared.backup)) << "\n";
    // The new hive is clean, so Windows would ignore these logs; set aside
    // all the same, no stale log can ever be replayed over it.
    SetLogsAside(input, out, err);
    PrintText(report, out);
    PrintDriverChanges(driverChanges, out);
    if (result == CommitResult::InPlaceNotFlushed) {
        err << "voskarelle: the new hive is in place in " << OneLine(input.file.Name())
            << ", but it is not yet safely on the disk: " << error << "\n";
        return kExitRefused;
    }
    out << "Written: " << OneLine(input.file.Name()) << "\n";
    return kExitOk;
}
