#include "support/hivex_registry.h"

#include "mounttable/text.h"
#include "support/regf_writer.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr long kBadDb = 1009;       // ERROR_BADDB
constexpr long kKeyDeleted = 1018;  // ERROR_KEY_DELETED
constexpr long kWriteFault = 29;    // ERROR_WRITE_FAULT

hive_node_h Walk(hive_h* hive, const std::string& path)
{
    hive_node_h node = hivex_root(hive);
    std::size_t start = 0;
    while (node != 0 && start < path.size()) {
        std::size_t end = path.find('\\', start);
        std::string part = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        node = hivex_node_get_child(hive, node, part.c_str());
        start = end == std::string::npos ? path.size() : end + 1;
    }
    return node;
}

bool ReadValue(hive_h* hive, hive_value_h value, RegValue* out)
{
    char* key = hivex_value_key(hive, value);
    if (key == nullptr)
        return false;
    out->name = key;
    std::free(key);
    hive_type type;
    std::size_t length = 0;
    char* data = hivex_value_value(hive, value, &type, &length);
    if (data == nullptr)
        return false;
    out->type = static_cast<std::uint32_t>(type);
    out->data.assign(data, data + length);
    std::free(data);
    return true;
}

bool ReadValues(hive_h* hive, hive_node_h node, ValueList* out)
{
    hive_value_h* values = hivex_node_values(hive, node);
    if (values == nullptr)
        return false;
    bool ok = true;
    for (std::size_t i = 0; values[i] != 0 && ok; ++i) {
        RegValue value;
        ok = ReadValue(hive, values[i], &value);
        out->push_back(std::move(value));
    }
    std::free(values);
    return ok;
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

HivexRegistry::~HivexRegistry()
{
    if (hive_ != nullptr)
        hivex_close(hive_);
}

bool HivexRegistry::IsClonePath(const char* subKey) const
{
    std::string_view path(subKey);
    std::string_view mount(kCloneMountKey);
    return path.size() >= mount.size() && CompareNoCase(path.substr(0, mount.size()), mount) == 0 &&
           (path.size() == mount.size() || path[mount.size()] == '\\');
}

hive_node_h HivexRegistry::Node(const char* subKey)
{
    if (hive_ == nullptr)
        return 0;
    std::string path(subKey);
    std::size_t skip = std::strlen(kCloneMountKey);
    return Walk(hive_, path.size() > skip ? path.substr(skip + 1) : std::string());
}

hive_node_h* HivexRegistry::HiveHandle(RegKey key)
{
    return liveHiveHandles_.count(key) ? static_cast<hive_node_h*>(key) : nullptr;
}

long HivexRegistry::OpenKey(const char* subKey, RegKey* key)
{
    if (!IsClonePath(subKey))
        return MemoryRegistry::OpenKey(subKey, key);
    *key = nullptr;
    hive_node_h node = Node(subKey);
    if (node == 0)
        return kRegFileNotFound;
    hiveHandles_.push_back(node);
    *key = &hiveHandles_.back();
    liveHiveHandles_.insert(*key);
    ++openKeys;
    return kRegSuccess;
}

long HivexRegistry::EnumValue(RegKey key, std::uint32_t index, char* name, std::uint32_t* nameLength,
                              std::uint32_t* type, std::uint8_t* data, std::uint32_t* dataLength)
{
    hive_node_h* node = HiveHandle(key);
    if (node == nullptr)
        return MemoryRegistry::EnumValue(key, index, name, nameLength, type, data, dataLength);
    ValueList values;
    if (hive_ == nullptr || !ReadValues(hive_, *node, &values))
        return kKeyDeleted;
    return EnumerateValue(values, index, name, nameLength, type, data, dataLength);
}

long HivexRegistry::QueryValue(RegKey key, const char* name, std::uint32_t* type, std::vector<std::uint8_t>* data)
{
    hive_node_h* node = HiveHandle(key);
    if (node == nullptr)
        return MemoryRegistry::QueryValue(key, name, type, data);
    hive_value_h value = hive_ ? hivex_node_get_value(hive_, *node, name) : 0;
    RegValue read;
    if (value == 0 || !ReadValue(hive_, value, &read))
        return kRegFileNotFound;
    *type = read.type;
    *data = std::move(read.data);
    return kRegSuccess;
}

void HivexRegistry::CloseKey(RegKey key)
{
    if (HiveHandle(key) == nullptr) {
        MemoryRegistry::CloseKey(key);
        return;
    }
    liveHiveHandles_.erase(key);
    --openKeys;
}

long HivexRegistry::SetValue(RegKey key, const char* name, std::uint32_t type, const std::uint8_t* data,
                             std::uint32_t length)
{
    hive_node_h* node = HiveHandle(key);
    if (node == nullptr)
        return MemoryRegistry::SetValue(key, name, type, data, length);
    if (hive_ == nullptr)
        return kKeyDeleted;
    hive_set_value value = {const_cast<char*>(name), static_cast<hive_type>(type), length,
                            reinterpret_cast<char*>(const_cast<std::uint8_t*>(data))};
    return hivex_node_set_value(hive_, *node, &value, 0) == 0 ? kRegSuccess : kWriteFault;
}

long HivexRegistry::ValueExists(const char* subKey, const char* name)
{
    if (!IsClonePath(subKey))
        return MemoryRegistry::ValueExists(subKey, name);
    hive_node_h node = Node(subKey);
    return node != 0 && hivex_node_get_value(hive_, node, name) != 0 ? kRegSuccess : kRegFileNotFound;
}

long HivexRegistry::DeleteValue(const char* subKey, const char* name)
{
    if (!IsClonePath(subKey))
        return MemoryRegistry::DeleteValue(subKey, name);
    hive_node_h node = Node(subKey);
    ValueList values;
    if (node == 0 || !ReadValues(hive_, node, &values))
        return kRegFileNotFound;
    ValueList kept;
    for (RegValue& value : values)
        if (CompareNoCase(value.name, name) != 0)
            kept.push_back(std::move(value));
    if (kept.size() == values.size())
        return kRegFileNotFound;
    return StoreValues(hive_, node, kept) ? kRegSuccess : kWriteFault;
}

long HivexRegistry::LoadKey(const char* subKey, const char* hiveFile)
{
    ++loadCalls;
    if (!IsClonePath(subKey) || hive_ != nullptr)
        return kBadDb;
    hive_ = hivex_open(hiveFile, HIVEX_OPEN_WRITE);
    return hive_ != nullptr ? kRegSuccess : kBadDb;
}

long HivexRegistry::UnLoadKey(const char* subKey)
{
    ++unloadCalls;
    if (!IsClonePath(subKey) || hive_ == nullptr)
        return kBadDb;
    bool committed = hivex_commit(hive_, nullptr, 0) == 0;
    hivex_close(hive_);
    hive_ = nullptr;
    liveHiveHandles_.clear();
    return committed ? kRegSuccess : kWriteFault;
}

HiveKeyDump DumpHiveKey(const char* file, const char* keyPath)
{
    HiveKeyDump dump;
    hive_h* hive = hivex_open(file, 0);
    if (hive == nullptr)
        return dump;
    hive_node_h node = Walk(hive, keyPath);
    dump.found = node != 0 && ReadValues(hive, node, &dump.values);
    hivex_close(hive);
    return dump;
}

bool MakeHiveFile(const char* file, const std::vector<std::pair<std::string, ValueList>>& keys)
{
    if (!WriteMinimalHive(file))
        return false;
    hive_h* hive = hivex_open(file, HIVEX_OPEN_WRITE);
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
    ok = hivex_commit(hive, nullptr, 0) == 0 && ok;
    hivex_close(hive);
    return ok;
}
