// The facts of a bus's boot drivers read from a SYSTEM hive through libhivex,
// and the registry changes that make Windows load them at boot.
#pragma once

#include "hive/boot_drivers.h"

#include <hivex.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct BootDriverFacts {
    std::string controlSet;             // "ControlSet001", the one Select\Current names
    std::vector<ServiceFacts> services; // one per ServicesOfBus(bus), in that order
};

// The control set Windows starts with. False with a reason when Select\Current
// is missing, is no REG_DWORD, or names a control set the hive lacks.
bool ReadCurrentControlSet(hive_h* hive, std::string* controlSet, std::string* error);

// The facts of the services of bus in the current control set; a service's
// name keeps the hive's spelling when it exists. False with a reason when the
// hive cannot be read or a Start or StartOverride value is no REG_DWORD.
bool ReadBootDriverFacts(hive_h* hive, std::string_view bus, BootDriverFacts* facts, std::string* error);

struct BootDriverChange {
    std::string keyPath; // below the hive's root: "ControlSet001\\Services\\stornvme"
    std::string valueName;
    std::uint32_t newData = 0;           // always written as REG_DWORD
    std::optional<std::uint32_t> oldData; // absent when the value does not exist yet
    bool operator==(const BootDriverChange&) const = default;
};

// What makes every present service of facts load at boot: Start 0 and each
// StartOverride value 0. Only values that differ are listed; the caller
// applies them when Judge finds the bus Fixable.
std::vector<BootDriverChange> BootDriverChanges(const BootDriverFacts& facts);
