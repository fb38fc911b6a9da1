#include "mounttable/value_list.h"

#include "mounttable/text.h"

#include <cstring>

RegValue* FindValue(ValueList& values, const char* name)
{
    for (RegValue& value : values)
        if (CompareNoCase(value.name, name) == 0)
            return &value;
    return nullptr;
}

long EnumerateValue(const ValueList& values, std::uint32_t index, char* name, std::uint32_t* nameLength,
                    std::uint32_t* type, std::uint8_t* data, std::uint32_t* dataLength)
{
    if (index >= values.size())
        return kRegNoMoreItems;
    const RegValue& value = values[index];
    if (value.name.size() + 1 > *nameLength || value.data.size() > *dataLength)
        return kRegMoreData;
    std::memcpy(name, value.name.c_str(), value.name.size() + 1);
    *nameLength = static_cast<std::uint32_t>(value.name.size());
    if (!value.data.empty())
        std::memcpy(data, value.data.data(), value.data.size());
    *dataLength = static_cast<std::uint32_t>(value.data.size());
    *type = value.type;
    return kRegSuccess;
}

void StoreValue(ValueList& values, const char* name, std::uint32_t type, const std::uint8_t* data,
                std::uint32_t length)
{
    std::vector<std::uint8_t> bytes(data, data + length);
    if (RegValue* existing = FindValue(values, name))
        *existing = {existing->name, type, std::move(bytes)};
    else
        values.push_back({name, type, std::move(bytes)});
}

bool EraseValue(ValueList& values, const char* name)
{
    RegValue* value = FindValue(values, name);
    if (value == nullptr)
        return false;
    values.erase(values.begin() + (value - values.data()));
    return true;
}
