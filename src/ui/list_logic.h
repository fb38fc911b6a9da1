// List behaviour that needs no window: the letter menu's table, the letter
// and clear commands on the selected row, and the sort comparison.
#pragma once

#include "mounttable/mount_table.h"

#include <array>

struct LetterMenuItem {
    char text[16];
    unsigned commandId; // 0 for the separator
    unsigned state;     // menu state flags; all clear
    bool separator;
};

inline constexpr int kLetterMenuCount = 29;
extern const std::array<LetterMenuItem, kLetterMenuCount> kLetterMenu;

// Commands 65..90 put that letter and a colon into the selected row's Change
// cell, command 32 empties it; with no row selected nothing happens.
void ApplyLetterCommand(MountTable& table, unsigned commandId);

// Flips a column's sort direction: 1 becomes -1, anything else becomes 1.
void FlipSortDirection(ColumnRecord& column);

// Orders two cells of the clicked column, in that column's direction.
int CompareForSort(const ColumnRecord& column, const char* a, const char* b);
