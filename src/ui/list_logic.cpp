#include "ui/list_logic.h"

#include "mounttable/text.h"
#include "ui/command_ids.h"

#include <cstdlib>

namespace {

constexpr void SetItemText(LetterMenuItem& item, std::string_view text)
{
    for (std::size_t i = 0; i < text.size() && i + 1 < sizeof item.text; ++i)
        item.text[i] = text[i];
}

constexpr std::array<LetterMenuItem, kLetterMenuCount> MakeLetterMenu()
{
    std::array<LetterMenuItem, kLetterMenuCount> menu{};
    SetItemText(menu[0], "クリア:");
    menu[0].commandId = kCmdClearChange;
    for (unsigned letter = 0; letter < 26; ++letter) {
        LetterMenuItem& item = menu[1 + letter];
        item.text[0] = static_cast<char>('A' + letter);
        item.text[1] = ':';
        item.commandId = kCmdLetterA + letter;
    }
    menu[27].separator = true;
    SetItemText(menu[28], "バージョン情報");
    menu[28].commandId = kCmdAbout;
    return menu;
}

} // namespace

const std::array<LetterMenuItem, kLetterMenuCount> kLetterMenu = MakeLetterMenu();

void ApplyLetterCommand(MountTable& table, unsigned commandId)
{
    int row = table.SelectedRow();
    if (row < 0)
        return;
    if (commandId == kCmdClearChange) {
        table.SetCellText(row, kColChange, "");
        return;
    }
    if (commandId < kCmdLetterA || commandId > kCmdLetterZ)
        return;
    char letter[kCellChars];
    CopyText(letter, sizeof letter, " :");
    letter[0] = static_cast<char>(commandId);
    table.SetCellText(row, kColChange, letter);
}

void FlipSortDirection(ColumnRecord& column)
{
    column.sortDirection = column.sortDirection == 1 ? -1 : 1;
}

int CompareForSort(const ColumnRecord& column, const char* a, const char* b)
{
    constexpr int kFormatRight = 1; // LVCFMT_RIGHT
    int order;
    if (column.format & kFormatRight) {
        long long difference = std::strtoll(a, nullptr, 10) - std::strtoll(b, nullptr, 10);
        order = difference < 0 ? -1 : difference > 0 ? 1 : 0;
    } else {
        int c = CompareNoCase(a, b);
        order = c < 0 ? -1 : c > 0 ? 1 : 0;
    }
    return order * column.sortDirection;
}
