// List behaviour that needs no window: the letter menu's table, the letter
// and clear commands on the selected row, and the sort comparison.
#pragma once

#include "mounttable/mount_table.h"
#include "mounttable/registry.h"

#include <array>
#include <string>
#include <string_view>

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

// UTF-16 text in the program's code page (932), characters it lacks as "?".
using ToCodePage = std::string (*)(std::u16string_view text);

// The info tip of a row, in code page 932: its identity decoded and, on a
// second line, the volume names that the clone's table (and, for a row of the
// running system, its own table) gives the same data. Cut to fit out, which
// holds cap characters with the terminator.
void IdentityTip(MountTable& table, int row, RegistryAccess& registry, ToCodePage toCodePage, char* out,
                 std::size_t cap);
