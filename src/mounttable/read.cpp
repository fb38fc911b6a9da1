#include "mounttable/read_write.h"
#include "mounttable/text.h"

#include <string>
#include <unordered_map>

namespace {

// Calls visit(letterPart, hex) for each drive-letter entry of an open key, in
// enumeration order.
template <typename Visit>
void ForEachDriveLetterEntry(RegistryAccess& registry, RegKey key, Visit visit)
{
    char hex[kHexChars];
    ForEachValue(registry, key, [&](const char* name, const std::uint8_t* data, std::uint32_t length) {
        const char* letter = DriveLetterPart(name);
        if (letter == nullptr)
            return;
        EncodeDeviceDataHex(data, length, hex);
        visit(letter, hex);
    });
}

} // namespace

void ReadMountTable(RegistryAccess& registry, DriveShell& shell, MountTable& table, StatusLine& status)
{
    status.Set("");
    table.DeleteAllRows();

    RegKey key = nullptr;
    if (registry.OpenKey(kCloneTableKey, &key) != kRegSuccess) {
        status.Set(kTextCloneNotLoaded);
        return;
    }
    registry.CloseKey(key);

    if (registry.OpenKey(kRunningTableKey, &key) == kRegSuccess) {
        ForEachDriveLetterEntry(registry, key, [&](const char* letter, const char* hex) {
            char root[kCellChars];
            CopyText(root, sizeof root, letter);
            AppendText(root, sizeof root, "\\");
            int row = table.RowCount();
            table.AppendRow(hex);
            table.SetCellText(row, kColOriginal, root);
            table.SetCheckState(row, kCheckUnchecked);
            table.SetCellText(row, kColType, DriveTypeName(shell.DriveType(root)));
            char volume[kCellChars];
            if (!shell.DisplayName(root, volume))
                volume[0] = '\0';
            table.SetCellText(row, kColVolume, volume);
        });
        registry.CloseKey(key);
    }

    if (registry.OpenKey(kCloneTableKey, &key) != kRegSuccess)
        return;
    // Each clone entry goes to the first row, from index 0 upward, whose
    // identity equals its own without regard to case. The rows' identities
    // are read from the table once and indexed by their folded text, so that
    // a large key does not cost one list request per row for every entry.
    std::unordered_map<std::string, int> firstRow;
    char cell[kHexChars];
    for (int row = 0, rows = table.RowCount(); row < rows; ++row) {
        table.CellText(row, kColDeviceData, cell);
        firstRow.try_emplace(FoldedText(cell), row);
    }
    ForEachDriveLetterEntry(registry, key, [&](const char* letterPart, const char* hex) {
        char letter[kCellChars];
        CopyText(letter, sizeof letter, letterPart);
        auto [match, appended] = firstRow.try_emplace(FoldedText(hex), table.RowCount());
        if (appended)
            table.AppendRow(hex);
        table.SetCheckState(match->second, kCheckChecked);
        table.SetCellText(match->second, kColClone, letter);
    });
    registry.CloseKey(key);
}
