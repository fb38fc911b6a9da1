#include "support/doubles.h"
#include "ui/bar_layout.h"
#include "ui/command_ids.h"
#include "mounttable/text.h"
#include "ui/list_logic.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<BarRect> Layout(std::span<const ControlBarEntry> entries, int width, int top = 400, int bottom = 426)
{
    std::vector<BarRect> rects(entries.size());
    LayoutBar(entries, 0, width, top, bottom, rects);
    return rects;
}

TEST(CommandBar, SixEqualButtonsShareTheWidthWithTruncation)
{
    std::vector<BarRect> at900 = Layout(kControlBar, 900);
    for (int i = 0; i < kBarEntryCount; ++i) {
        EXPECT_EQ(at900[i].left, 150 * i);
        EXPECT_EQ(at900[i].right - at900[i].left, 150);
        EXPECT_EQ(at900[i].top, 400);
        EXPECT_EQ(at900[i].bottom, 426);
    }
    std::vector<BarRect> at905 = Layout(kControlBar, 905);
    for (const BarRect& r : at905)
        EXPECT_EQ(r.right - r.left, 150);
    EXPECT_EQ(905 - at905.back().right, 5);

    for (const BarRect& r : Layout(kControlBar, 0))
        EXPECT_EQ(r.right - r.left, 0);
}

TEST(CommandBar, WeightsSplitProportionallyAndAComboBoxDropsSixBandsDeep)
{
    ControlBarEntry entries[3] = {
        {.weight = 1, .caption = "a", .commandId = 1, .className = "Button", .style = 0, .checkState = 0, .tooltip = ""},
        {.weight = 2, .caption = "b", .commandId = 2, .className = "ComboBox", .style = 0, .checkState = 0, .tooltip = ""},
        {.weight = 1, .caption = "c", .commandId = 3, .className = "combobox", .style = 0, .checkState = 0, .tooltip = ""},
    };
    std::vector<BarRect> rects = Layout(entries, 401, 100, 126);
    EXPECT_EQ(rects[0].right, 100);
    EXPECT_EQ(rects[1].left, 100);
    EXPECT_EQ(rects[1].right, 300);
    EXPECT_EQ(rects[1].bottom, 100 + 6 * 26);
    EXPECT_EQ(rects[2].left, 300) << "the next control starts at the combo box's right edge";
    EXPECT_EQ(rects[2].bottom, 126) << "class names compare with case";
}

TEST(LetterCommands, SetOrClearTheSelectedRowsChangeCell)
{
    MemoryMountTable table;
    table.AppendRow("00");
    table.AppendRow("11");
    ApplyLetterCommand(table, 'C');
    EXPECT_EQ(table.Cell(0, kColChange), "") << "no row selected";

    table.selected = 0;
    ApplyLetterCommand(table, 'D');
    EXPECT_EQ(table.Cell(0, kColChange), "D:") << "the first row is a row like any other";
    ApplyLetterCommand(table, kCmdClearChange);

    table.selected = 1;
    ApplyLetterCommand(table, 'C');
    EXPECT_EQ(table.Cell(1, kColChange), "C:");
    ApplyLetterCommand(table, 'Z');
    EXPECT_EQ(table.Cell(1, kColChange), "Z:");
    ApplyLetterCommand(table, kCmdClearChange);
    EXPECT_EQ(table.Cell(1, kColChange), "");
    EXPECT_EQ(table.Cell(0, kColChange), "");
}

TEST(LetterMenu, ClearTwentySixLettersSeparatorAndAbout)
{
    ASSERT_EQ(kLetterMenu.size(), 29u);
    EXPECT_STREQ(kLetterMenu[0].text, "\x83\x4e\x83\x8a\x83\x41:");
    EXPECT_EQ(kLetterMenu[0].commandId, kCmdClearChange);
    for (int i = 0; i < 26; ++i) {
        const char text[] = {static_cast<char>('A' + i), ':', '\0'};
        EXPECT_STREQ(kLetterMenu[1 + i].text, text);
        EXPECT_EQ(kLetterMenu[1 + i].commandId, static_cast<unsigned>('A' + i));
    }
    EXPECT_TRUE(kLetterMenu[27].separator);
    EXPECT_EQ(kLetterMenu[28].commandId, kCmdAbout);
    for (const LetterMenuItem& item : kLetterMenu)
        EXPECT_EQ(item.state, 0u);
}

TEST(SortOrder, FirstClickAscendsLaterClicksReverseAndNumbersCountForRightAlignedColumns)
{
    ColumnRecord column = {.format = 0, .width = 10, .header = "h", .subItem = 1, .sortDirection = 0, .capacity = 260};
    FlipSortDirection(column);
    EXPECT_EQ(column.sortDirection, 1);
    EXPECT_LT(CompareForSort(column, "DRIVE_CDROM", "drive_fixed"), 0);
    EXPECT_EQ(CompareForSort(column, "DRIVE_FIXED", "drive_fixed"), 0);
    FlipSortDirection(column);
    EXPECT_EQ(column.sortDirection, -1);
    EXPECT_GT(CompareForSort(column, "DRIVE_CDROM", "DRIVE_FIXED"), 0);
    FlipSortDirection(column);
    EXPECT_EQ(column.sortDirection, 1);

    column.format = 1; // right-aligned: numbers, not texts
    EXPECT_GT(CompareForSort(column, "10", "9"), 0);
    EXPECT_EQ(CompareForSort(column, "abc", "0x"), 0);
}

} // namespace

namespace {

// Stands in for WideCharToMultiByte to code page 932: ASCII kept, the rest "?".
std::string AsciiOrQuestionMark(std::u16string_view text)
{
    std::string out;
    for (char16_t c : text)
        out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

std::string Tip(MountTable& table, int row, RegistryAccess& registry, std::size_t cap = 1024)
{
    std::vector<char> out(cap, 'X');
    IdentityTip(table, row, registry, AsciiOrQuestionMark, out.data(), cap);
    return std::string(out.data(), TextLength(out.data(), cap));
}

TEST(IdentityTip, DecodesEachKindAndNamesTheVolumesOfBothTables)
{
    MemoryRegistry registry;
    std::vector<std::uint8_t> system = Bytes({0x3E, 0xA0, 0xBE, 0x5C, 0, 0, 0x10, 0, 0, 0, 0, 0});
    registry.Put(kCloneTableKey, "\\??\\Volume{aaaa}", system);
    registry.Put(kCloneTableKey, "\\DosDevices\\C:", system);
    registry.Put(kRunningTableKey, "\\??\\Volume{bbbb}", system);
    MemoryMountTable table;
    table.AppendRow("3EA0BE5C0000100000000000");
    table.AppendRow("3EA0BE5C0000100000000000");
    table.SetCellText(1, kColOriginal, "K:\\");
    table.AppendRow("3EA0BE5C00F00F0000000000");
    table.AppendRow("444D494F3A49443AAA770A8F1E5C0E4F9D6A1F2E3D4C5B6A");
    table.AppendRow("5C003F003F005C0055005300420023004400E4004E2D"); // \??\USB#D, a-umlaut, U+2D4E
    table.AppendRow("0102030405");
    table.AppendRow(std::string(kHexChars - 1, 'A').c_str());

    EXPECT_EQ(Tip(table, 0, registry), "MBR ディスク署名 5CBEA03E / 開始位置 1048576 バイト (1 MiB)\r\n\\??\\Volume{aaaa}")
        << "a clone-only row names only the clone's volumes";
    EXPECT_EQ(Tip(table, 1, registry),
              "MBR ディスク署名 5CBEA03E / 開始位置 1048576 バイト (1 MiB)\r\n\\??\\Volume{aaaa}, \\??\\Volume{bbbb}");
    EXPECT_EQ(Tip(table, 2, registry), "MBR ディスク署名 5CBEA03E / 開始位置 1044480 バイト (1020 KiB)");
    EXPECT_EQ(Tip(table, 3, registry), "GPT パーティション {8f0a77aa-5c1e-4f0e-9d6a-1f2e3d4c5b6a}");
    EXPECT_EQ(Tip(table, 4, registry), "デバイス \\??\\USB#D??");
    EXPECT_EQ(Tip(table, 5, registry), "不明な形式 (5 バイト)");
    EXPECT_EQ(Tip(table, 6, registry), "識別子が 511 バイトを超えるため全体を表示できません。この行は書き込まれません");
    EXPECT_EQ(Tip(table, 7, registry), "") << "no such row";

    // The tip is cut to the request's buffer and always terminated.
    EXPECT_EQ(Tip(table, 3, registry, 8), "GPT パ");
}

} // namespace
