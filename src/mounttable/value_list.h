// The values of one registry key held in memory, in their stored order, for
// the registries that keep a key's values themselves (a hive file's keys).
#pragma once

#include "mounttable/registry.h"

#include <cstdint>
#include <string>
#include <vector>

struct RegValue {
    std::string name;
    std::uint32_t type = kRegBinary;
    std::vector<std::uint8_t> data;
    bool operator==(const RegValue&) const = default;
};

using ValueList = std::vector<RegValue>;

// The value named name, compared without regard to case; nullptr if none.
RegValue* FindValue(ValueList& values, const char* name);

// RegEnumValueA over a list: values too large for the buffers get
// ERROR_MORE_DATA, indices past the end ERROR_NO_MORE_ITEMS.
long EnumerateValue(const ValueList& values, std::uint32_t index, char* name, std::uint32_t* nameLength,
                    std::uint32_t* type, std::uint8_t* data, std::uint32_t* dataLength);

// RegSetValueExA: replaces the value of that name (keeping the stored
// spelling of its name) or appends a new one.
void StoreValue(ValueList& values, const char* name, std::uint32_t type, const std::uint8_t* data,
                std::uint32_t length);

// Removes the value of that name; false when there is none.
bool EraseValue(ValueList& values, const char* name);
