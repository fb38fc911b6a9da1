#include "support/hivex_registry.h"

#include "mounttable/text.h"
#include "support/regf_writer.h"

#include <cstdlib>
#include <cstring>

namespace {

bool ReadValue(hive_h* hive, hive_value_h value, RegValue* out)
{
    HivexOwned<char> key(hivex_value_key(hive, value));
    if (key == nullptr)
        return false;
    out->name = key.get();
    hive_type type;
    std::size_t length = 0;
    HivexOwned<char> data(hivex_value_value(hive, value, &type, &length));
    if (data == nullptr)
        return false;
    out->type = static_cast<std::uint32_t>(type);
    out->data.assign(data.get(), data.get() + length);
    return true;
}

bool ReadValues(hive_h* hive, hive_node_h node, ValueList* out)
{
    HivexOwned<hive_value_h> values(hivex_node_values(hive, node));
    if (values == nullptr)
        return false;
    for (std::size_t i = 0; values.get()[i] != 0; ++i) {
        RegValue value;
        if (!ReadValue(hive, values.get()[i], &value))
            return false;
        out->push_back(std::move(value));
    }
    return true;
}

bool StoreValues(hive_h* hive, hive_node_h node, const ValueList& values)
{
    std::vector<hive_set_value> set;
    for (const RegValue& value : values)
        set.push_back({const_cast<char*>(value.name.c_str()), static_cast<hive_type>(value.type), value.data.size(),
                       reinterpret_cast<char*>(const_cast<std::uint8_t*>(value.data.data()))});
    return hivex_node_set_values(hive, node, set.size(), set.data(), 0) == 0;
}

} // namespace

long HivexRegistry::OpenKey(const char* subKey, RegKey* key)
{
    if (!hive_.IsClonePath(subKey))
        return MemoryRegistry::OpenKey(subKey, key);
    long rc = hive_.OpenKey(subKey, key);
    if (rc == kRegSuccess)
        ++openKeys;
    return rc;
}

long HivexRegistry::EnumValue(RegKey key, std::uint32_t index, char* name, std::uint32_t* nameLength,
                              std::uint32_t* type, std::uint8_t* data, std::uint32_t* dataLength)
{
    if (!hive_.Owns(key))
        return MemoryRegistry::EnumValue(key, index, name, nameLength, type, data, dataLength);
    return hive_.EnumValue(key, index, name, nameLength, type, data, dataLength);
}

long HivexRegistry::QueryValue(RegKey key, const char* name, std::uint32_t* type, std::vector<std::uint8_t>* data)
{
    if (!hive_.Owns(key))
        return MemoryRegistry::QueryValue(key, name, type, data);
    return hive_.QueryValue(key, name, type, data);
}

void HivexRegistry::CloseKey(RegKey key)
{
    if (!hive_.Owns(key)) {
        MemoryRegistry::CloseKey(key);
        return;
    }
    hive_.CloseKey(key);
    --openKeys;
}

long HivexRegistry::SetValue(RegKey key, const char* name, std::uint32_t type, const std::uint8_t* data,
                             std::uint32_t length)
{
    if (!hive_.Owns(key))
        return MemoryRegistry::SetValue(key, name, type, data, length);
    return hive_.SetValue(key, name, type, data, length);
}

long HivexRegistry::ValueExists(const char* subKey, const char* name)
{
    if (!hive_.IsClonePath(subKey))
        return MemoryRegistry::ValueExists(subKey, name);
    return hive_.ValueExists(subKey, name);
}

long HivexRegistry::DeleteValue(const char* subKey, const char* name)
{
    if (!hive_.IsClonePath(subKey))
        return MemoryRegistry::DeleteValue(subKey, name);
    return hive_.DeleteValue(subKey, name);
}

long HivexRegistry::LoadKey(const char* subKey, const char* hiveFile)
{
    ++loadCalls;
    long rc = hive_.LoadKey(subKey, hiveFile);
    if (rc == kRegSuccess)
        file_ = hiveFile;
    return rc;
}

long HivexRegistry::UnLoadKey(const char* subKey)
{
    ++unloadCalls;
    if (!hive_.IsClonePath(subKey) || !hive_.mounted())
        return 1009; // ERROR_BADDB
    std::string error;
    bool committed = hive_.CommitTo(file_.c_str(), &error);
    hive_.UnLoadKey(subKey);
    return committed ? kRegSuccess : 29; // ERROR_WRITE_FAULT
}

HiveKeyDump DumpHiveKey(const char* file, const char* keyPath)
{
    HiveKeyDump dump;
    HivexHandle hive = OpenHivex(file, 0);
    if (hive == nullptr)
        return dump;
    hive_node_h node = WalkHive(hive.get(), keyPath);
    dump.found = node != 0 && ReadValues(hive.get(), node, &dump.values);
    return dump;
}

bool MakeHiveFile(const char* file, const std::vector<std::pair<std::string, ValueList>>& keys)
{
    if (!WriteMinimalHive(file))
        return false;
    HivexHandle handle = OpenHivex(file, HIVEX_OPEN_WRITE);
    hive_h* hive = handle.get();
    if (hive == nullptr)
        return false;
    bool ok = true;
    for (const auto& [path, values] : keys) {
        hive_node_h parent = hivex_root(hive);
        std::size_t start = 0;
        while (ok && start <= path.size()) {
            std::size_t end = path.find('\\', start);
            std::string part = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
            hive_node_h child = hivex_node_get_child(hive, parent, part.c_str());
            if (child == 0)
                child = hivex_node_add_child(hive, parent, part.c_str());
            ok = child != 0;
            parent = child;
            start = end == std::string::npos ? path.size() + 1 : end + 1;
        }
        ok = ok && StoreValues(hive, parent, values);
    }
    return hivex_commit(hive, nullptr, 0) == 0 && ok;
}

std::vector<std::uint8_t> BootRamdiskElement(const BootDevice& device, const std::string& path)
{
    std::vector<std::uint8_t> bytes(0x8C + 2 * (path.size() + 1), 0);
    std::size_t size = bytes.size() - 0x10;
    bytes[0x18] = static_cast<std::uint8_t>(size);
    bytes[0x19] = static_cast<std::uint8_t>(size >> 8);
    bytes[0x20] = 3;    // a ramdisk
    bytes[0x44] = 6;    // on a partition
    bytes[0x4C] = 0x48; // whose record is this long
    BootDevice at = device;
    at.record = 0x44;
    RewriteBootDevice(bytes, at);
    for (std::size_t i = 0; i < path.size(); ++i)
        bytes[0x8C + 2 * i] = static_cast<std::uint8_t>(path[i]);
    return bytes;
}

std::vector<std::uint8_t> BootPartitionElement(const BootDevice& device)
{
    std::vector<std::uint8_t> bytes(0x58, 0);
    bytes[0x10] = 6;    // a partition
    bytes[0x18] = 0x48; // its size, counted from 0x10
    BootDevice at = device;
    at.record = 0x10;
    RewriteBootDevice(bytes, at);
    return bytes;
}
