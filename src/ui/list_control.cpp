#include "ui/list_control.h"

#include "mounttable/text.h"
#include "ui/list_logic.h"

#include "ui/command_ids.h"

#include <commctrl.h>
#include <windowsx.h>

#include <string>
#include <vector>

namespace {

// The clicked column and its texts as they stood when the sort began: rows
// move while the control sorts, so indices taken then name the texts.
struct SortState {
    HWND list;
    ColumnRecord* column;
    std::vector<std::string> texts;
};

int CALLBACK CompareRows(LPARAM a, LPARAM b, LPARAM state)
{
    const SortState& sort = *reinterpret_cast<const SortState*>(state);
    std::size_t count = sort.texts.size();
    const char* textA = static_cast<std::size_t>(a) < count ? sort.texts[a].c_str() : "";
    const char* textB = static_cast<std::size_t>(b) < count ? sort.texts[b].c_str() : "";
    return CompareForSort(*sort.column, textA, textB);
}

LRESULT CustomDraw(NMLVCUSTOMDRAW* draw, const char* hiveRootPath)
{
    constexpr LRESULT kLeaveToControl = 1;
    switch (draw->nmcd.dwDrawStage) {
    case CDDS_PREPAINT:
        return CDRF_NOTIFYITEMDRAW;
    case CDDS_ITEMPREPAINT: {
        ListMountTable table(draw->nmcd.hdr.hwndFrom);
        char root[kCellChars];
        table.CellText(static_cast<int>(draw->nmcd.dwItemSpec), kColOriginal, root);
        if (CompareNoCase(root, hiveRootPath) == 0) {
            draw->clrTextBk = RGB(255, 255, 0);
            return CDRF_NOTIFYSUBITEMDRAW;
        }
        return kLeaveToControl;
    }
    default:
        return kLeaveToControl;
    }
}

LRESULT SortByColumn(HWND list, int column)
{
    if (column < 0 || column >= kColumnCount)
        return 1;
    ListMountTable table(list);
    SortState sort{list, &g_columns[column], {}};
    int rows = table.RowCount();
    char text[kCellChars];
    for (int row = 0; row < rows; ++row) {
        LVITEMA item = {};
        item.mask = LVIF_PARAM;
        item.iItem = row;
        item.lParam = row;
        SendMessageA(list, LVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&item));
        // The comparison sees at most 259 characters of a cell, column 0 too.
        text[0] = '\0';
        LVITEMA cell = {};
        cell.iSubItem = column;
        cell.pszText = text;
        cell.cchTextMax = kCellChars;
        SendMessageA(list, LVM_GETITEMTEXTA, row, reinterpret_cast<LPARAM>(&cell));
        sort.texts.emplace_back(text, TextLength(text, sizeof text));
    }
    FlipSortDirection(*sort.column);
    SendMessageA(list, LVM_SORTITEMS, reinterpret_cast<WPARAM>(&sort), reinterpret_cast<LPARAM>(CompareRows));
    return 1;
}

std::string ToCodePage932(std::u16string_view text)
{
    if (text.empty())
        return {};
    std::wstring wide(text.begin(), text.end());
    int size = WideCharToMultiByte(932, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()), nullptr, 0, "?",
                                   nullptr);
    if (size <= 0)
        return {};
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(932, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()), out.data(), size, "?",
                        nullptr);
    return out;
}

} // namespace

int ListMountTable::RowCount()
{
    return static_cast<int>(SendMessageA(list_, LVM_GETITEMCOUNT, 0, 0));
}

void ListMountTable::CellText(int row, int column, char* buf)
{
    std::size_t capacity = g_columns[column].capacity;
    buf[0] = '\0';
    LVITEMA item = {};
    item.iSubItem = column;
    item.pszText = buf;
    item.cchTextMax = static_cast<int>(capacity);
    SendMessageA(list_, LVM_GETITEMTEXTA, row, reinterpret_cast<LPARAM>(&item));
    buf[capacity - 1] = '\0';
}

void ListMountTable::SetCellText(int row, int column, const char* text)
{
    LVITEMA item = {};
    item.mask = LVIF_TEXT;
    item.iItem = row;
    item.iSubItem = column;
    item.pszText = const_cast<char*>(text);
    SendMessageA(list_, LVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&item));
}

void ListMountTable::AppendRow(const char* text)
{
    LVITEMA item = {};
    item.mask = LVIF_TEXT;
    item.iItem = RowCount();
    item.pszText = const_cast<char*>(text);
    SendMessageA(list_, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
}

void ListMountTable::SetCheckState(int row, int state)
{
    LVITEMA item = {};
    item.stateMask = LVIS_STATEIMAGEMASK;
    item.state = INDEXTOSTATEIMAGEMASK(state);
    SendMessageA(list_, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&item));
}

void ListMountTable::DeleteAllRows()
{
    SendMessageA(list_, LVM_DELETEALLITEMS, 0, 0);
}

int ListMountTable::SelectedRow()
{
    LRESULT row = SendMessageA(list_, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED);
    return row < 0 ? -1 : static_cast<int>(row);
}

HWND CreateMountList(HWND window, HINSTANCE instance, HFONT font, int x, int y, int width, int height)
{
    HWND list = CreateWindowExA(WS_EX_CLIENTEDGE, "SysListView32", "",
                                WS_CHILD | WS_VISIBLE | WS_VSCROLL | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS,
                                x, y, width, height, window, nullptr, instance, nullptr);
    if (list == nullptr)
        return nullptr;
    LRESULT extended = SendMessageA(list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0);
    extended |= LVS_EX_GRIDLINES | LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT | LVS_EX_INFOTIP;
    SendMessageA(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, extended);
    SendMessageA(list, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    for (int i = 0; i < kColumnCount; ++i) {
        const ColumnRecord& record = g_columns[i];
        LVCOLUMNA column = {};
        column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
        column.fmt = record.format;
        column.cx = record.width;
        column.pszText = const_cast<char*>(record.header);
        column.iSubItem = record.subItem;
        SendMessageA(list, LVM_INSERTCOLUMNA, i, reinterpret_cast<LPARAM>(&column));
    }
    return list;
}

bool HandleListNotify(NMHDR* header, const char* hiveRootPath, RegistryAccess& registry, LRESULT* result)
{
    switch (header->code) {
    case LVN_GETINFOTIPA: {
        NMLVGETINFOTIPA* tip = reinterpret_cast<NMLVGETINFOTIPA*>(header);
        ListMountTable table(header->hwndFrom);
        if (tip->pszText != nullptr && tip->cchTextMax > 0)
            IdentityTip(table, tip->iItem, registry, ToCodePage932, tip->pszText,
                        static_cast<std::size_t>(tip->cchTextMax));
        *result = 0;
        return true;
    }
    case LVN_KEYDOWN:
        if (reinterpret_cast<NMLVKEYDOWN*>(header)->wVKey == VK_DELETE) {
            ListMountTable table(header->hwndFrom);
            ApplyLetterCommand(table, kCmdClearChange);
        }
        *result = 0;
        return true;
    case NM_CUSTOMDRAW:
        *result = CustomDraw(reinterpret_cast<NMLVCUSTOMDRAW*>(header), hiveRootPath);
        return true;
    case LVN_COLUMNCLICK:
        *result = SortByColumn(header->hwndFrom, reinterpret_cast<NMLISTVIEW*>(header)->iSubItem);
        return true;
    default:
        return false;
    }
}

void ShowLetterMenu(HWND window, HWND list, LPARAM position)
{
    ListMountTable table(list);
    if (table.SelectedRow() < 0)
        return;
    HMENU menu = CreatePopupMenu();
    if (menu == nullptr)
        return;
    // Appending by inserting before an identifier no item has.
    constexpr UINT kNoSuchItem = 0xFFFF;
    constexpr UINT kStateBits = MFS_DISABLED | MFS_GRAYED | MFS_CHECKED; // 0xB
    for (const LetterMenuItem& entry : kLetterMenu) {
        MENUITEMINFOA item = {};
        item.cbSize = sizeof item;
        item.fMask = MIIM_ID | MIIM_STATE | MIIM_TYPE;
        item.fType = entry.separator ? MFT_SEPARATOR : MFT_STRING;
        item.fState = entry.state & ~kStateBits;
        item.wID = entry.commandId;
        item.dwTypeData = const_cast<char*>(entry.text);
        InsertMenuItemA(menu, kNoSuchItem, FALSE, &item);
    }
    SetForegroundWindow(window);
    // Signed: a monitor left of or above the primary one has negative positions.
    POINT at = {GET_X_LPARAM(position), GET_Y_LPARAM(position)};
    if (at.x == -1 && at.y == -1) {
        RECT row = {};
        row.left = LVIR_BOUNDS;
        SendMessageA(list, LVM_GETITEMRECT, table.SelectedRow(), reinterpret_cast<LPARAM>(&row));
        at = {row.left, row.bottom};
        ClientToScreen(list, &at);
    }
    TrackPopupMenu(menu, 0, at.x, at.y, 0, window, nullptr);
    DestroyMenu(menu);
}
