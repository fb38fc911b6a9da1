// The report-style list that shows the merged table and is its only store.
#pragma once

#include "mounttable/mount_table.h"
#include "mounttable/registry.h"

#include <windows.h>

class ListMountTable final : public MountTable {
public:
    explicit ListMountTable(HWND list) : list_(list) {}
    int RowCount() override;
    void CellText(int row, int column, char* buf) override;
    void SetCellText(int row, int column, const char* text) override;
    void AppendRow(const char* text) override;
    void SetCheckState(int row, int state) override;
    void DeleteAllRows() override;
    int SelectedRow() override;

private:
    HWND list_;
};

HWND CreateMountList(HWND window, HINSTANCE instance, HFONT font, int x, int y, int width, int height);

// NM_CUSTOMDRAW, LVN_COLUMNCLICK, LVN_GETINFOTIPA (the row's identity
// decoded) and LVN_KEYDOWN (Delete clears the Change cell); false for any
// other notification.
bool HandleListNotify(NMHDR* header, const char* hiveRootPath, RegistryAccess& registry, LRESULT* result);
// WM_CONTEXTMENU for the list: the letter menu on the selected row, at the
// mouse or, from the keyboard (-1, -1), under the row's left edge.
void ShowLetterMenu(HWND window, HWND list, LPARAM position);
