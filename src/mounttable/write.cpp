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

void EntryName(const char* letter, char* name)
{
    std::snprintf(name, kRegNameChars, "\\DosDevices\\%s", letter);
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

bool ApplyChanges(RegistryAccess& registry, RegKey key, const std::vector<ChangeRow>& rows,
                  WriteJournal& journal)
{
    char name[kRegNameChars];
    // Every removal comes before any write, so two rows may swap letters.
    for (const ChangeRow& row : rows) {
        EntryName(row.change, name);
        if (!RemoveEntry(registry, key, name, journal))
            return false;
        if (row.clone[0] != '\0') {
            EntryName(row.clone, name);
            if (!RemoveEntry(registry, key, name, journal))
                return false;
        }
    }
    std::uint8_t data[kRegDataBytes];
    for (const ChangeRow& row : rows) {
        EntryName(row.change, name);
        std::size_t length = DecodeDeviceDataHex(row.hex, data);
        journal.written.emplace_back(name);
        if (registry.SetValue(key, name, kRegBinary, data, static_cast<std::uint32_t>(length)) != kRegSuccess)
            return false;
    }
    return true;
}

} // namespace

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
            if (CompareNoCase(rows[i].change, rows[j].change) == 0) {
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
    WriteJournal journal;
    bool ok = false;
    try {
        ok = ApplyChanges(registry, key, rows, journal);
    } catch (...) {
        // Out of memory for the journal: undo what the journal already holds.
    }
    if (!ok)
        Undo(registry, key, journal);
    registry.CloseKey(key);

    reread();
    status.Set(ok ? kTextCheckAndUnload : kTextWriteError);
}
