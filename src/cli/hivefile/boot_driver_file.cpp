#include "cli/hivefile/boot_driver_file.h"

#include "cli/hivefile/hivex_handle.h"

#include <cerrno>
#include <cstring>

namespace {

constexpr hive_type kRegDword = hive_t_REG_DWORD;

std::string LibhivexFailure(const std::string& what)
{
    return "libhivex could not read " + what + ": " + std::strerror(errno);
}

bool Child(hive_h* hive, hive_node_h parent, const char* name, hive_node_h* child, const std::string& path,
           std::string* error)
{
    if (FindChild(hive, parent, name, child))
        return true;
    *error = LibhivexFailure(path);
    return false;
}

bool Value(hive_h* hive, hive_node_h node, const char* name, hive_value_h* value, const std::string& path,
           std::string* error)
{
    if (FindValue(hive, node, name, value))
        return true;
    *error = LibhivexFailure(path);
    return false;
}

bool Dword(hive_h* hive, hive_value_h value, std::uint32_t* data, const std::string& path, std::string* error)
{
    hive_type type;
    std::size_t length = 0;
    if (hivex_value_type(hive, value, &type, &length) != 0) {
        *error = LibhivexFailure(path);
        return false;
    }
    if (type != kRegDword || length != 4) {
        *error = path + " is not a REG_DWORD";
        return false;
    }
    // Every 32-bit result is a valid value, so only errno tells a failure.
    errno = 0;
    std::int32_t read = hivex_value_dword(hive, value);
    if (read == -1 && errno != 0) {
        *error = LibhivexFailure(path);
        return false;
    }
    *data = static_cast<std::uint32_t>(read);
    return true;
}

bool ReadStartOverride(hive_h* hive, hive_node_h node, const std::string& path, ServiceFacts* facts,
                       std::string* error)
{
    HivexOwned<hive_value_h> values(hivex_node_values(hive, node));
    if (values == nullptr) {
        *error = LibhivexFailure(path);
        return false;
    }
    for (std::size_t i = 0; values.get()[i] != 0; ++i) {
        HivexOwned<char> name(hivex_value_key(hive, values.get()[i]));
        if (name == nullptr) {
            *error = LibhivexFailure(path);
            return false;
        }
        std::uint32_t data = 0;
        if (!Dword(hive, values.get()[i], &data, path + "\\" + name.get(), error))
            return false;
        facts->startOverride.emplace_back(name.get(), data);
    }
    return true;
}

bool ReadService(hive_h* hive, hive_node_h services, const std::string& servicesPath, ServiceFacts* facts,
                 std::string* error)
{
    hive_node_h node = 0;
    if (!Child(hive, services, facts->name.c_str(), &node, servicesPath + "\\" + facts->name, error))
        return false;
    facts->present = node != 0;
    if (!facts->present)
        return true;
    HivexOwned<char> stored(hivex_node_name(hive, node));
    if (stored == nullptr) {
        *error = LibhivexFailure(servicesPath + "\\" + facts->name);
        return false;
    }
    facts->name = stored.get();
    std::string path = servicesPath + "\\" + facts->name;
    hive_value_h start = 0;
    if (!Value(hive, node, "Start", &start, path + "\\Start", error))
        return false;
    if (start != 0) {
        std::uint32_t data = 0;
        if (!Dword(hive, start, &data, path + "\\Start", error))
            return false;
        facts->start = data;
    }
    hive_node_h overrides = 0;
    if (!Child(hive, node, "StartOverride", &overrides, path + "\\StartOverride", error))
        return false;
    return overrides == 0 || ReadStartOverride(hive, overrides, path + "\\StartOverride", facts, error);
}

} // namespace

bool ReadCurrentControlSet(hive_h* hive, std::string* controlSet, std::string* error)
{
    hive_node_h root = hivex_root(hive);
    if (root == 0) {
        *error = LibhivexFailure("the hive's root key");
        return false;
    }
    hive_node_h select = 0;
    hive_value_h current = 0;
    if (!Child(hive, root, "Select", &select, "Select", error) ||
        (select != 0 && !Value(hive, select, "Current", &current, "Select\\Current", error)))
        return false;
    if (current == 0) {
        *error = "the hive has no Select\\Current value: it is no SYSTEM hive";
        return false;
    }
    std::uint32_t number = 0;
    if (!Dword(hive, current, &number, "Select\\Current", error))
        return false;
    if (number == 0 || number > 999) {
        *error = "Select\\Current is " + std::to_string(number) + ", which names no control set";
        return false;
    }
    std::string digits = std::to_string(number);
    std::string name = "ControlSet" + std::string(3 - digits.size(), '0') + digits;
    hive_node_h node = 0;
    if (!Child(hive, root, name.c_str(), &node, name, error))
        return false;
    if (node == 0) {
        *error = "Select\\Current names " + name + ", which the hive does not hold";
        return false;
    }
    *controlSet = name;
    return true;
}

bool ReadBootDriverFacts(hive_h* hive, std::string_view bus, BootDriverFacts* facts, std::string* error)
{
    facts->services.clear();
    if (!ReadCurrentControlSet(hive, &facts->controlSet, error))
        return false;
    std::string servicesPath = facts->controlSet + "\\Services";
    hive_node_h root = hivex_root(hive);
    hive_node_h controlSet = 0;
    hive_node_h services = 0;
    if (root == 0) {
        *error = LibhivexFailure("the hive's root key");
        return false;
    }
    if (!Child(hive, root, facts->controlSet.c_str(), &controlSet, facts->controlSet, error) ||
        !Child(hive, controlSet, "Services", &services, servicesPath, error))
        return false;
    if (services == 0) {
        *error = facts->controlSet + " has no Services key";
        return false;
    }
    for (const std::string& name : ServicesOfBus(bus)) {
        ServiceFacts service;
        service.name = name;
        if (!ReadService(hive, services, servicesPath, &service, error))
            return false;
        facts->services.push_back(std::move(service));
    }
    return true;
}

std::vector<BootDriverChange> BootDriverChanges(const BootDriverFacts& facts)
{
    std::vector<BootDriverChange> changes;
    for (const ServiceFacts& service : facts.services) {
        if (!service.present)
            continue;
        std::string path = facts.controlSet + "\\Services\\" + service.name;
        if (service.start != 0u)
            changes.push_back({.keyPath = path, .valueName = "Start", .newData = 0, .oldData = service.start});
        for (const auto& [name, data] : service.startOverride)
            if (data != 0)
                changes.push_back(
                    {.keyPath = path + "\\StartOverride", .valueName = name, .newData = 0, .oldData = data});
    }
    return changes;
}
