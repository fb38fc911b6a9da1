// The merged table of volume identities and letters. In the program the list
// control is its only store; every operation maps onto one request to it.
#pragma once

#include <cstddef>

enum MountColumn : int {
    kColDeviceData = 0, // DeviceDataHex of the entry's data: the row's identity
    kColType = 1,       // drive-type name of the running system's drive
    kColVolume = 2,     // the shell's display name of that drive
    kColOriginal = 3,   // running system's drive root, "E:\"
    kColClone = 4,      // the clone's letter part, "E:"
    kColChange = 5,     // the new letter chosen by the user, "E:" or empty
    kColumnCount = 6,
};

inline constexpr int kCheckUnchecked = 1;
inline constexpr int kCheckChecked = 2;

struct ColumnRecord {
    int format; // list-control column format; all columns are left-aligned
    int width;
    const char* header;
    int subItem;
    int sortDirection; // 0 until the first header click, then 1 or -1
    std::size_t capacity; // cell capacity in characters, terminator included
};

// One record per column, living as long as the program; sorting flips the
// directions kept here.
extern ColumnRecord g_columns[kColumnCount];

class MountTable {
public:
    virtual int RowCount() = 0;
    // Copies the cell into buf, which holds g_columns[column].capacity chars.
    virtual void CellText(int row, int column, char* buf) = 0;
    virtual void SetCellText(int row, int column, const char* text) = 0;
    // Appends a row whose column 0 is text and other cells are empty.
    virtual void AppendRow(const char* text) = 0;
    virtual void SetCheckState(int row, int state) = 0;
    virtual void DeleteAllRows() = 0;
    // Index of the selected row, or -1.
    virtual int SelectedRow() = 0;

protected:
    ~MountTable() = default;
};

// The one channel through which commands report their outcome.
class StatusLine {
public:
    virtual void Set(const char* text) = 0;

protected:
    ~StatusLine() = default;
};
