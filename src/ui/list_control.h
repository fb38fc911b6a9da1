// The report-style list that shows the merged table and is its only store.
#pragma once

#include "mounttable/mount_table.h"

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

// NM_CUSTOMDRAW and LVN_COLUMNCLICK; false for any other notification.
bool HandleListNotify(NMHDR* header, const char* hiveRootPath, LRESULT* result);
// WM_CONTEXTMENU for the list: the letter menu on the selected row.
void ShowLetterMenu(HWND window, HWND list, LPARAM position);
