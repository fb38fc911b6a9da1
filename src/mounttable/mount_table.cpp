#include "mounttable/mount_table.h"

#include "mounttable/text.h"

ColumnRecord g_columns[kColumnCount] = {
    {.format = 0, .width = 330, .header = "[c]MountedDivices", .subItem = 0, .sortDirection = 0, .capacity = kHexChars},
    {.format = 0, .width = 140, .header = "Type", .subItem = 1, .sortDirection = 0, .capacity = kCellChars},
    {.format = 0, .width = 200, .header = "Volume", .subItem = 2, .sortDirection = 0, .capacity = kCellChars},
    {.format = 0, .width = 70, .header = "Original", .subItem = 3, .sortDirection = 0, .capacity = kCellChars},
    {.format = 0, .width = 70, .header = "Clone", .subItem = 4, .sortDirection = 0, .capacity = kCellChars},
    {.format = 0, .width = 70, .header = "Change", .subItem = 5, .sortDirection = 0, .capacity = kCellChars},
};
