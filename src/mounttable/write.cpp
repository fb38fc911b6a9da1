#include "mounttable/letter_plan.h"
#include "mounttable/read_write.h"
#include "mounttable/text.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct ChangeRow {
    char hex[kHexChars];
    char clone[kCellChars];
    char change[kCellChars];
};

struct SavedValue {
    std::string name;
    std::uint32_t type;
    std::vector<std::uint8_t> data;
};

std::string EntryName(std::string_view letter)
{
    std::string name(kDriveLetterPrefix);
    name += letter;
    return name;
}

// Everything a run changed in the clone's table, so that a failed run can be
// undone: entries removed (with their data) and names written.
struct WriteJournal {
    std::vector<SavedValue> removed;
    std::vector<std::string> written;
};

// Removes one entry if present, keeping its data first. False on any failure.
bool RemoveEntry(RegistryAccess& registry, RegKey key, const char* name, WriteJournal& journal)
{
    long rc = registry.ValueExists(kCloneTableKey, name);
    if (rc == kRegFileNotFound)
        return true;
    if (rc != kRegSuccess)
        return false;
    SavedValue saved{name, 0, {}};
    if (registry.QueryValue(key, name, &saved.type, &saved.data) != kRegSuccess)
        return false;
    journal.removed.push_back(std::move(saved));
    return registry.DeleteValue(kCloneTableKey, name) == kRegSuccess;
}

void Undo(RegistryAccess& registry, RegKey key, const WriteJournal& journal)
{
    for (auto it = journal.written.rbegin(); it != journal.written.rend(); ++it)
        registry.DeleteValue(kCloneTableKey, it->c_str());
    for (const SavedValue& saved : journal.removed)
        registry.SetValue(key, saved.name.c_str(), saved.type, saved.data.data(),
                          static_cast<std::uint32_t>(saved.data.size()));
}

bool Apply(RegistryAccess& registry, RegKey key, const LetterPlan& plan, WriteJournal& journal)
{
    // Every removal comes before any write, so two volumes may swap letters.
    for (const std::string& name : plan.removals)
        if (!RemoveEntry(registry, key, name.c_str(), journal))
            return false;
    for (const PlannedValue& value : plan.writes) {
        journal.written.push_back(value.name);
        if (registry.SetValue(key, value.name.c_str(), kRegBinary, value.data.data(),
                              static_cast<std::uint32_t>(value.data.size())) != kRegSuccess)
            return false;
    }
    return true;
}

bool SameLetter(std::string_view a, std::string_view b)
{
    return CompareNoCase(a, b) == 0;
}

// Names are bounded as the registry's value-name buffers are.
void PlanFromRows(const std::vector<ChangeRow>& rows, LetterPlan* plan)
{
    char name[kRegNameChars];
    for (const ChangeRow& row : rows) {
        std::snprintf(name, sizeof name, "\\DosDevices\\%s", row.change);
        plan->removals.emplace_back(name);
        if (row.clone[0] != '\0') {
            std::snprintf(name, sizeof name, "\\DosDevices\\%s", row.clone);
            plan->removals.emplace_back(name);
        }
    }
    std::uint8_t data[kRegDataBytes];
    for (const ChangeRow& row : rows) {
        std::snprintf(name, sizeof name, "\\DosDevices\\%s", row.change);
        std::size_t length = DecodeDeviceDataHex(row.hex, data);
        plan->writes.push_back({name, std::vector<std::uint8_t>(data, data + length)});
    }
}

} // namespace

bool ApplyLetterPlan(RegistryAccess& registry, RegKey key, const LetterPlan& plan)
{
    WriteJournal journal;
    bool ok = false;
    try {
        ok = Apply(registry, key, plan, journal);
    } catch (...) {
        // Out of memory for the journal: undo what the journal already holds.
    }
    if (!ok)
        Undo(registry, key, journal);
    return ok;
}

PlanError PlanLetterAssignments(std::span<const LetterEntry> entries, std::span<const LetterAssignment> assignments,
                                LetterPlan* plan)
{
    for (std::size_t i = 0; i < assignments.size(); ++i) {
        for (std::size_t j = i + 1; j < assignments.size(); ++j) {
            if (assignments[i].identity == assignments[j].identity)
                return PlanError::VolumeTwice;
            if (!assignments[i].letter.empty() && SameLetter(assignments[i].letter, assignments[j].letter))
                return PlanError::LetterTwice;
        }
    }
    plan->removals.clear();
    plan->writes.clear();
    for (const LetterAssignment& assignment : assignments) {
        if (!assignment.letter.empty())
            plan->removals.push_back(EntryName(assignment.letter));
        for (const LetterEntry& entry : entries)
            if (entry.data == assignment.identity)
                plan->removals.push_back(entry.name);
    }
    for (const LetterAssignment& assignment : assignments)
        if (!assignment.letter.empty())
            plan->writes.push_back({EntryName(assignment.letter), assignment.identity});
    return PlanError::None;
}

void WriteLetterChanges(RegistryAccess& registry, MountTable& table, StatusLine& status,
                        const std::function<void()>& reread)
{
    status.Set("");
    int n = table.RowCount();
    if (n <= 0) {
        status.Set(kTextTableNotRead);
        return;
    }

    std::vector<ChangeRow> rows;
    for (int i = 0; i < n; ++i) {
        ChangeRow row;
        table.CellText(i, kColChange, row.change);
        if (row.change[0] == '\0')
            continue;
        table.CellText(i, kColDeviceData, row.hex);
        table.CellText(i, kColClone, row.clone);
        rows.push_back(row);
    }
    if (rows.empty()) {
        status.Set(kTextNoChange);
        return;
    }
    // Rows keep table order, so comparing each with the later ones is the
    // same as comparing every pair of non-empty Change cells in the table.
    for (std::size_t i = 0; i + 1 < rows.size(); ++i) {
        for (std::size_t j = i + 1; j < rows.size(); ++j) {
            if (SameLetter(rows[i].change, rows[j].change)) {
                status.Set(kTextDuplicateChange);
                return;
            }
        }
    }
    // A cut identity would be written as data that no volume has, and a cut
    // Clone letter would remove some other entry than the row's own.
    for (const ChangeRow& row : rows) {
        if (!IsWholeDeviceDataHex(row.hex) || TextLength(row.clone, kCellChars) >= kCellChars - 1) {
            status.Set(kTextWriteError);
            return;
        }
    }

    LetterPlan plan;
    try {
        PlanFromRows(rows, &plan);
    } catch (...) {
        status.Set(kTextWriteError); // out of memory before anything changed
        return;
    }

    // Open the key before removing anything: removals without the writes
    // that follow them would leave volumes without their letters.
    RegKey key = nullptr;
    if (registry.OpenKey(kCloneTableKey, &key) != kRegSuccess) {
        // Read reports a hive that is gone; a key that is there but would
        // not open for writing is a write error.
        reread();
        if (registry.OpenKey(kCloneTableKey, &key) == kRegSuccess) {
            registry.CloseKey(key);
            status.Set(kTextWriteError);
        }
        return;
    }
    bool ok = ApplyLetterPlan(registry, key, plan);
    registry.CloseKey(key);

    reread();
    status.Set(ok ? kTextCheckAndUnload : kTextWriteError);
}
