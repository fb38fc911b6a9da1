#include "hive/boot_drivers.h"

#include "mounttable/text.h"

#include <algorithm>
#include <array>

namespace {

// Which services a bus needs. We cannot tell from the hive which controller
// of a bus the machine has (standard or Intel IDE, which LSI generation), and
// loading an unused inbox storage driver at boot costs nothing, so every
// present service of the bus must load. Alternatives across Windows versions
// (storahci from Windows 8, msahci before) need only be present one at a
// time; Hyper-V's disk driver works only over its bus driver, so there both
// must exist. usb and virtio have no inbox service: a USB start needs a
// Windows To Go installation, and VirtIO needs drivers installed from outside.
struct BusServices {
    std::string_view bus;
    std::array<std::string_view, 3> services; // "" pads
    bool allNeeded;
    std::string_view whenNone; // why there is no fix when none exists
};

constexpr BusServices kBuses[] = {
    {.bus = "nvme", .services = {"stornvme"}, .allNeeded = false,
     .whenNone = "this Windows has no inbox NVMe driver (Windows 7 and earlier)"},
    {.bus = "ahci", .services = {"storahci", "msahci"}, .allNeeded = false,
     .whenNone = "this Windows has no inbox AHCI driver"},
    {.bus = "ide", .services = {"pciide", "intelide", "atapi"}, .allNeeded = false,
     .whenNone = "this Windows has no inbox IDE driver"},
    {.bus = "usb", .services = {}, .allNeeded = false,
     .whenNone = "starting Windows from a USB disk takes a Windows To Go installation, not a boot driver"},
    {.bus = "virtio", .services = {"viostor", "vioscsi"}, .allNeeded = false,
     .whenNone = "the VirtIO storage drivers are not installed in this Windows; install them before the move"},
    {.bus = "hyperv", .services = {"storvsc", "vmbus"}, .allNeeded = true,
     .whenNone = "this Windows has no Hyper-V storage drivers"},
    {.bus = "pvscsi", .services = {"pvscsi"}, .allNeeded = false,
     .whenNone = "this Windows has no inbox PVSCSI driver; install the VMware Tools driver"},
    {.bus = "lsisas", .services = {"LSI_SAS", "LSI_SAS2", "LSI_SAS3"}, .allNeeded = false,
     .whenNone = "this Windows has no inbox LSI SAS driver"},
};

const BusServices* FindBus(std::string_view bus)
{
    for (const BusServices& row : kBuses)
        if (row.bus == bus)
            return &row;
    return nullptr;
}

const ServiceFacts* FactsOf(std::span<const ServiceFacts> services, std::string_view name)
{
    for (const ServiceFacts& facts : services)
        if (CompareNoCase(facts.name, name) == 0)
            return facts.present ? &facts : nullptr;
    return nullptr;
}

std::string JoinNames(const std::vector<std::string>& names, std::string_view separator = ", ")
{
    std::string text;
    for (const std::string& name : names)
        text += (text.empty() ? "" : std::string(separator)) + name;
    return text;
}

// Why a present service does not load, in the terms the registry shows.
std::string WhyNotLoading(const ServiceFacts& service)
{
    if (!service.start)
        return service.name + " has no Start value";
    if (*service.start != 0)
        return service.name + " has Start " + std::to_string(*service.start);
    std::string overrides;
    for (const auto& [name, value] : service.startOverride)
        if (value != 0)
            overrides += (overrides.empty() ? "" : ", ") + name + "=" + std::to_string(value);
    return service.name + " is switched off by StartOverride " + overrides;
}

} // namespace

bool LoadsAtBoot(const ServiceFacts& service)
{
    return service.present && service.start == 0u &&
           std::all_of(service.startOverride.begin(), service.startOverride.end(),
                       [](const auto& value) { return value.second == 0; });
}

std::vector<std::string> ServicesOfBus(std::string_view bus)
{
    std::vector<std::string> names;
    if (const BusServices* row = FindBus(bus))
        for (std::string_view name : row->services)
            if (!name.empty())
                names.emplace_back(name);
    return names;
}

BootDriverVerdict Judge(std::string_view bus, std::span<const ServiceFacts> services)
{
    BootDriverVerdict verdict;
    const BusServices* row = FindBus(bus);
    if (row == nullptr) {
        verdict.reason = "unknown bus \"" + std::string(bus) + "\"";
        return verdict;
    }
    std::vector<std::string> missing;
    std::vector<const ServiceFacts*> present;
    for (const std::string& name : ServicesOfBus(bus)) {
        if (const ServiceFacts* facts = FactsOf(services, name))
            present.push_back(facts);
        else
            missing.push_back(name);
    }
    if (present.empty()) {
        verdict.reason = std::string(row->whenNone);
        if (!missing.empty())
            verdict.reason += " (no service " + JoinNames(missing) + ")";
        return verdict;
    }
    if (row->allNeeded && !missing.empty()) {
        verdict.reason = std::string(row->bus) + " needs " + JoinNames(ServicesOfBus(bus)) + "; missing " +
                         JoinNames(missing);
        return verdict;
    }
    std::vector<std::string> why;
    for (const ServiceFacts* facts : present) {
        if (!LoadsAtBoot(*facts)) {
            verdict.servicesToFix.push_back(facts->name);
            why.push_back(WhyNotLoading(*facts));
        }
    }
    verdict.outcome = why.empty() ? BootDriverVerdict::Ready : BootDriverVerdict::Fixable;
    if (why.empty()) {
        std::vector<std::string> names;
        for (const ServiceFacts* facts : present)
            names.push_back(facts->name);
        verdict.reason = JoinNames(names) + (names.size() == 1 ? " loads" : " load") + " at boot";
    } else {
        verdict.reason = JoinNames(why, "; ");
    }
    return verdict;
}
