#include "ui/list_logic.h"

#include "mounttable/identity.h"
#include "mounttable/text.h"
#include "ui/command_ids.h"

#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <vector>

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

constexpr std::string_view kVolumeNamePrefix = "\\??\\Volume{";

// Adds the volume names of one MountedDevices key whose data equals data.
void AddVolumeNames(RegistryAccess& registry, const char* subKey, const std::vector<std::uint8_t>& data,
                    std::vector<std::string>& names)
{
    RegKey key = nullptr;
    if (registry.OpenKey(subKey, &key) != kRegSuccess)
        return;
    ForEachValue(registry, key, [&](const char* name, const std::uint8_t* value, std::uint32_t length) {
        std::string_view text(name);
        if (text.size() < kVolumeNamePrefix.size() ||
            CompareNoCase(text.substr(0, kVolumeNamePrefix.size()), kVolumeNamePrefix) != 0)
            return;
        if (length != data.size() || !std::equal(data.begin(), data.end(), value))
            return;
        for (const std::string& seen : names)
            if (CompareNoCase(seen, text) == 0)
                return;
        names.emplace_back(text);
    });
    registry.CloseKey(key);
}

// A cut that would leave the lead byte of a double-byte character alone
// ends before that character instead.
void CopyWholeCharacters(char* out, std::size_t cap, std::string_view text)
{
    std::size_t end = 0;
    while (end < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[end]);
        std::size_t width = ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC)) ? 2 : 1;
        if (end + width > cap - 1)
            break;
        end += width;
    }
    CopyText(out, cap, text.substr(0, end));
}

std::string DescribeIdentity(const std::vector<std::uint8_t>& data, ToCodePage toCodePage)
{
    DecodedIdentity id = DecodeIdentity(data);
    char text[160];
    switch (id.kind) {
    case IdentityKind::Mbr: {
        std::snprintf(text, sizeof text, "MBR ディスク署名 %08X / 開始位置 %llu バイト", id.diskSignature,
                      static_cast<unsigned long long>(id.offset));
        std::string unit = WholeBinaryUnit(id.offset);
        return unit.empty() ? text : std::string(text) + " (" + unit + ")";
    }
    case IdentityKind::Gpt:
        return "GPT パーティション " + GuidText(id.guid);
    case IdentityKind::Device:
        return "デバイス " + toCodePage(id.devicePath);
    case IdentityKind::Other:
        break;
    }
    std::snprintf(text, sizeof text, "不明な形式 (%zu バイト)", data.size());
    return text;
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

void IdentityTip(MountTable& table, int row, RegistryAccess& registry, ToCodePage toCodePage, char* out,
                 std::size_t cap)
{
    if (cap == 0)
        return;
    out[0] = '\0';
    if (row < 0 || row >= table.RowCount())
        return;
    char hex[kHexChars];
    table.CellText(row, kColDeviceData, hex);
    if (!IsWholeDeviceDataHex(hex)) {
        CopyWholeCharacters(out, cap, "識別子が 511 バイトを超えるため全体を表示できません。この行は書き込まれません");
        return;
    }
    std::uint8_t bytes[kRegDataBytes];
    std::size_t length = DecodeDeviceDataHex(hex, bytes);
    std::vector<std::uint8_t> data(bytes, bytes + length);
    std::string tip = DescribeIdentity(data, toCodePage);

    std::vector<std::string> names;
    AddVolumeNames(registry, kCloneTableKey, data, names);
    char root[kCellChars];
    table.CellText(row, kColOriginal, root);
    if (root[0] != '\0')
        AddVolumeNames(registry, kRunningTableKey, data, names);
    for (std::size_t i = 0; i < names.size(); ++i)
        tip += (i == 0 ? "\r\n" : ", ") + names[i];
    CopyWholeCharacters(out, cap, tip);
}
