// The one implementation of how letter changes reach a clone's table: every
// removal before any write, each journalled, and all of it undone when any
// registry call fails. The window plans from its table's Change cells, the
// command from its assignments.
#pragma once

#include "mounttable/registry.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

struct PlannedValue {
    std::string name;
    std::vector<std::uint8_t> data;
};

struct LetterPlan {
    std::vector<std::string> removals; // entry names removed first, when present
    std::vector<PlannedValue> writes;  // then stored as REG_BINARY
};

// Carries out the plan on the clone's table, open as key. On any failed call
// (or running out of memory) every name written is deleted and every value
// removed is put back with its type and data; then the result is false.
bool ApplyLetterPlan(RegistryAccess& registry, RegKey key, const LetterPlan& plan);

// A drive-letter entry of the clone's table as it stands.
struct LetterEntry {
    std::string name; // "\DosDevices\E:" as stored
    std::vector<std::uint8_t> data;
};

// A volume, named by its identity, and the letter it is to hold: "E:", or
// empty for none.
struct LetterAssignment {
    std::vector<std::uint8_t> identity;
    std::string letter;
};

enum class PlanError { None, LetterTwice, VolumeTwice };

// Plans that each assigned volume ends with exactly its letter (its other
// letters removed) and that the letter belongs to no other volume.
PlanError PlanLetterAssignments(std::span<const LetterEntry> entries, std::span<const LetterAssignment> assignments,
                                LetterPlan* plan);
