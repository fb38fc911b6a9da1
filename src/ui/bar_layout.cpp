#include "ui/bar_layout.h"

#include "mounttable/text.h"
#include "ui/command_ids.h"

const ControlBarEntry kControlBar[kBarEntryCount] = {
    {.weight = 1, .caption = "ハイブロード", .commandId = kCmdHiveLoad, .className = "Button", .style = 0xF00, .checkState = 0, .tooltip = ""},
    {.weight = 1, .caption = "ハイブアンロード", .commandId = kCmdHiveUnload, .className = "Button", .style = 0xF00, .checkState = 0, .tooltip = ""},
    {.weight = 1, .caption = "読込", .commandId = kCmdRead, .className = "Button", .style = 0xC00, .checkState = 0, .tooltip = ""},
    {.weight = 1, .caption = "書込", .commandId = kCmdWrite, .className = "Button", .style = 0xC00, .checkState = 0, .tooltip = ""},
    {.weight = 1, .caption = "終了", .commandId = kCmdExit, .className = "Button", .style = 0xC00, .checkState = 0, .tooltip = ""},
    {.weight = 1, .caption = "バージョン情報", .commandId = kCmdAbout, .className = "Button", .style = 0xC00, .checkState = 0, .tooltip = ""},
};

void LayoutBar(std::span<const ControlBarEntry> entries, int clientLeft, int clientWidth, int top, int bottom,
               std::span<BarRect> out)
{
    long long totalWeight = 0;
    for (const ControlBarEntry& entry : entries)
        totalWeight += entry.weight;

    BarRect rect = {clientLeft, top, clientLeft, bottom};
    for (std::size_t i = 0; i < entries.size() && i < out.size(); ++i) {
        const ControlBarEntry& entry = entries[i];
        long long share = totalWeight > 0 ? static_cast<long long>(entry.weight) * clientWidth / totalWeight : 0;
        rect.right = rect.left + static_cast<int>(share);
        // A combo box's window includes its drop-down list.
        bool combo = std::string_view(entry.className, TextLength(entry.className, sizeof entry.className)) == "ComboBox";
        if (combo)
            rect.bottom = rect.top + 6 * (rect.bottom - rect.top);
        out[i] = rect;
        if (combo)
            rect.bottom = rect.top + (rect.bottom - rect.top) / 6;
        rect.left = rect.right;
    }
}
