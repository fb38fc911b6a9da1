#include "cli/command.h"
#include "cli/render.h"
#include "cli/report.h"
#include "cli/verbs.h"
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
        std::string image = volume.substr(0, hash);
        if (std::find(disks.begin(), disks.end(), image) == disks.end())
            disks.push_back(image);
    }
    return disks;
}

} // namespace

int RunSet(const Options& options, std::ostream& out, std::ostream& err, CommitFiles& files)
{
    HiveInput input;
    Failure failure;
    HivePolicy policy{.forWriting = !options.dryRun, .forceHibernated = options.forceHibernated};
    if (!OpenHiveInput(options.hive, policy, &input, &failure))
        return Refuse(err, failure);
    Report report;
    if (!MakeReport(input, DisksToExamine(options), &report, &failure))
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
    RegKey key = nullptr;
    bool applied = registry.OpenKey(kCloneTableKey, &key) == kRegSuccess && ApplyLetterPlan(registry, key, plan);
    if (key != nullptr)
        registry.CloseKey(key);
    if (!applied)
        return Refuse(err, {kExitRefused, "the change could not be made; nothing was written"});
    ReadCloneTable(registry, &report);

    if (options.dryRun) {
        PrintText(report, out);
        out << "Dry run: the hive was not changed.\n";
        return kExitOk;
    }
    std::string backup;
    std::string error;
    bool committed = CommitHive(registry, options.hive, options.noBackup ? nullptr : &backup, files, &error);
    if (!backup.empty())
        out << "Backup: " << backup << "\n";
    if (!committed)
        return Refuse(err, {kExitRefused, error});
    // The new hive is clean, so Windows would ignore these logs; moved aside
    // all the same, no stale log can ever be replayed over it.
    for (const std::string& log : report.recoveredFrom) {
        std::string aside = MoveAside(log);
        if (aside.empty())
            err << "voskarelle: warning: could not move " << log << " aside: " << std::strerror(errno) << "\n";
        else
            out << "Log moved aside: " << aside << "\n";
    }
    PrintText(report, out);
    out << "Written: " << options.hive << "\n";
    return kExitOk;
}
