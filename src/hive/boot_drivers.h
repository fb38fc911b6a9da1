// Whether a Windows installation loads, at boot, the inbox driver of the
// disk controller it will start from. A clone moved to another controller
// stops with INACCESSIBLE_BOOT_DEVICE when it does not: Windows 8 and later
// keep every inbox storage driver installed but switch the unused ones off
// through a StartOverride key, which wins over the service's Start.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// What a SYSTEM hive says about one service, as read from its current
// control set.
struct ServiceFacts {
    std::string name;
    bool present = false;
    std::optional<std::uint32_t> start; // absent when the key has no Start
    std::vector<std::pair<std::string, std::uint32_t>> startOverride; // the values of its StartOverride key
};

// Start 0 (boot) with no StartOverride value switching it to anything else.
bool LoadsAtBoot(const ServiceFacts& service);

struct BootDriverVerdict {
    enum Outcome { Ready, Fixable, Unfixable };
    Outcome outcome = Unfixable;
    std::string reason;
    std::vector<std::string> servicesToFix; // present services that do not load, for Fixable
};

// The services whose facts Judge needs for a bus (one of the names of
// IsBusName); empty for a bus no service can make bootable, or an unknown one.
std::vector<std::string> ServicesOfBus(std::string_view bus);

// The verdict for starting from a disk on bus, given the facts of the bus's
// services (names compared without regard to case; a service without facts
// counts as absent).
BootDriverVerdict Judge(std::string_view bus, std::span<const ServiceFacts> services);
