// The end of every verb that changes several files: the hive and the store
// committed as one change, their backups named, their logs set aside, and
// each file written said.
#include "cli/report/render.h"
#include "cli/verbs/command.h"
#include "cli/verbs/verbs.h"

int CommitInputs(const std::vector<HiveInput*>& inputs, bool keepBackups, std::ostream& out, std::ostream& err)
{
    std::vector<CommitTarget> targets;
    for (HiveInput* input : inputs)
        targets.push_back({&input->registry, input->file, {}});
    std::string error;
    CommitResult result = CommitTogether(targets, keepBackups, &error);
    if (result == CommitResult::Failed)
        return Refuse(err, {kExitRefused, error + "; nothing was changed"});
    if (result == CommitResult::PartlyInPlace)
        return Refuse(err, {kExitRefused, error});
    for (const CommitTarget& target : targets)
        if (!target.prepared.backup.empty())
            out << "Backup: " << OneLine(target.file.fs->Name(target.prepared.backup)) << "\n";
    for (HiveInput* input : inputs)
        SetLogsAside(*input, out, err);
    if (result == CommitResult::InPlaceNotFlushed)
        return Refuse(err, {kExitRefused, "the new files are in place, but not yet safely on the disk: " + error});
    for (const CommitTarget& target : targets)
        out << "Written: " << OneLine(target.file.Name()) << "\n";
    return kExitOk;
}
