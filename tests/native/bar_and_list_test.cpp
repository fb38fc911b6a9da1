#include "support/doubles.h"
#include "ui/bar_layout.h"
#include "ui/command_ids.h"
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
