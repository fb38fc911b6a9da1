// The end of every verb that changes several files: the values changed in
// memory, the hive and the store committed as one change, their backups
// named, their logs set aside, and each file written said.
#include "cli/report/render.h"
#include "cli/verbs/command.h"
#include "cli/verbs/verbs.h"
#include "mounttable/registry.h"

int CommitInputs(const std::vector<HiveInput*>& inputs, bool keepBackups, std::ostream& out, std::ostream& err)
{
    std::vector<CommitTarget> targets;
    std::string error;
    for (HiveInput* input : inputs) {
        targets.push_back({{}, input->file, {}});
        if (!input->registry.CommitToMemory(&targets.back().bytes, &error))
            return Refuse(err, {kExitRefused, error + "; nothing was changed"});
    }
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

bool ApplyValueChanges(std::span<const ValueChange> changes, HiveInput* hive, HiveInput* store,
                       const ValueChange** failed)
{
    for (const ValueChange& change : changes) {
        HiveInput& input = change.store ? *store : *hive;
        std::string key = std::string(kCloneMountKey) + "\\" + change.key;
        RegKey handle = nullptr;
        std::uint32_t type = change.type;
        std::vector<std::uint8_t> current;
        bool ok = input.registry.OpenKey(key.c_str(), &handle) == kRegSuccess;
        if (ok && !change.add)
            ok = input.registry.QueryValue(handle, change.name.c_str(), &type, &current) == kRegSuccess &&
                 current == change.before;
        if (ok && change.remove)
            ok = input.registry.DeleteValue(key.c_str(), change.name.c_str()) == kRegSuccess;
        else if (ok)
            ok = input.registry.SetValue(handle, change.name.c_str(), type, change.after.data(),
                                         static_cast<std::uint32_t>(change.after.size())) == kRegSuccess;
        if (handle != nullptr)
            input.registry.CloseKey(handle);
        if (!ok) {
            *failed = &change;
            return false;
        }
    }
    return true;
}
