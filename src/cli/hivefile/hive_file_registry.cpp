#include "cli/hivefile/hive_file_registry.h"

#include "cli/machine/fd.h"
#include "cli/fs/file_read.h"
#include "hive/hive_file.h"
#include "mounttable/text.h"

#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr long kBadDb = 1009;      // ERROR_BADDB
constexpr long kKeyDeleted = 1018; // ERROR_KEY_DELETED

// Data longer than this goes into "big data" records in hives of format 1.4
// and later; libhivex writes it as one cell, which Windows does not accept.
constexpr std::size_t kLargestCellData = 16344;

bool ReadValues(hive_h* hive, hive_node_h node, ValueList* out)
{
    HivexOwned<hive_value_h> values(hivex_node_values(hive, node));
    if (values == nullptr)
        return false;
    for (std::size_t i = 0; values.get()[i] != 0; ++i) {
        hive_value_h handle = values.get()[i];
        HivexOwned<char> name(hivex_value_key(hive, handle));
        hive_type type;
        std::size_t length = 0;
        HivexOwned<char> data(name ? hivex_value_value(hive, handle, &type, &length) : nullptr);
        if (data == nullptr)
            return false;
        RegValue value;
        value.name = name.get();
        value.type = static_cast<std::uint32_t>(type);
        value.data.assign(data.get(), data.get() + length);
        out->push_back(std::move(value));
    }
    return true;
}

} // namespace

hive_node_h WalkHive(hive_h* hive, std::string_view path)
{
    hive_node_h node = hivex_root(hive);
    while (node != 0 && !path.empty()) {
        std::size_t end = path.find('\\');
        std::string part(path.substr(0, end));
        node = hivex_node_get_child(hive, node, part.c_str());
        path = end == std::string_view::npos ? std::string_view() : path.substr(end + 1);
    }
    return node;
}


bool HiveFileRegistry::IsClonePath(const char* subKey) const
{
    std::string_view path(subKey);
    std::string_view mount(kCloneMountKey);
    return path.size() >= mount.size() && CompareNoCase(path.substr(0, mount.size()), mount) == 0 &&
           (path.size() == mount.size() || path[mount.size()] == '\\');
}

HiveFileRegistry::CachedKey* HiveFileRegistry::Cached(const char* subKey)
{
    if (hive_ == nullptr || !IsClonePath(subKey))
        return nullptr;
    std::string_view path(subKey);
    path = path.size() > std::strlen(kCloneMountKey) ? path.substr(std::strlen(kCloneMountKey) + 1) : "";
    hive_node_h node = WalkHive(hive_.get(), path);
    if (node == 0)
        return nullptr;
    auto [it, added] = keys_.try_emplace(node);
    CachedKey& key = it->second;
    if (added) {
        key.node = node;
        key.readable = ReadValues(hive_.get(), node, &key.values);
    }
    return &key;
}

HiveFileRegistry::CachedKey* HiveFileRegistry::FromHandle(RegKey key)
{
    return Owns(key) ? *static_cast<CachedKey**>(key) : nullptr;
}

const ValueList* HiveFileRegistry::KeyValues(const char* subKey)
{
    CachedKey* key = Cached(subKey);
    return key && key->readable ? &key->values : nullptr;
}

long HiveFileRegistry::OpenKey(const char* subKey, RegKey* key)
{
    *key = nullptr;
    CachedKey* cached = Cached(subKey);
    if (cached == nullptr)
        return kRegFileNotFound;
    handles_.push_back(cached);
    *key = &handles_.back();
    live_.insert(*key);
    return kRegSuccess;
}

long HiveFileRegistry::EnumValue(RegKey key, std::uint32_t index, char* name, std::uint32_t* nameLength,
                                 std::uint32_t* type, std::uint8_t* data, std::uint32_t* dataLength)
{
    CachedKey* cached = FromHandle(key);
    if (cached == nullptr || !cached->readable)
        return kKeyDeleted;
    return EnumerateValue(cached->values, index, name, nameLength, type, data, dataLength);
}

long HiveFileRegistry::QueryValue(RegKey key, const char* name, std::uint32_t* type,
                                  std::vector<std::uint8_t>* data)
{
    CachedKey* cached = FromHandle(key);
    if (cached == nullptr || !cached->readable)
        return kKeyDeleted;
    RegValue* value = FindValue(cached->values, name);
    if (value == nullptr)
        return kRegFileNotFound;
    *type = value->type;
    *data = value->data;
    return kRegSuccess;
}

void HiveFileRegistry::CloseKey(RegKey key)
{
    auto it = live_.find(key);
    if (it != live_.end())
        live_.erase(it);
}

long HiveFileRegistry::SetValue(RegKey key, const char* name, std::uint32_t type, const std::uint8_t* data,
                                std::uint32_t length)
{
    CachedKey* cached = FromHandle(key);
    if (cached == nullptr || !cached->readable)
        return kKeyDeleted;
    StoreValue(cached->values, name, type, data, length);
    cached->changed = true;
    return kRegSuccess;
}

long HiveFileRegistry::ValueExists(const char* subKey, const char* name)
{
    CachedKey* cached = Cached(subKey);
    if (cached == nullptr)
        return kRegFileNotFound;
    if (!cached->readable)
        return kKeyDeleted;
    return FindValue(cached->values, name) ? kRegSuccess : kRegFileNotFound;
}

long HiveFileRegistry::DeleteValue(const char* subKey, const char* name)
{
    CachedKey* cached = Cached(subKey);
    if (cached == nullptr)
        return kRegFileNotFound;
    if (!cached->readable)
        return kKeyDeleted;
    if (!EraseValue(cached->values, name))
        return kRegFileNotFound;
    cached->changed = true;
    return kRegSuccess;
}

long HiveFileRegistry::LoadKey(const char* subKey, const char* hiveFile)
{
    if (!IsClonePath(subKey) || std::strchr(subKey, '\\') != nullptr)
        return kBadDb;
    // A base block that cannot be read leaves the version unknown, which
    // keeps the guard against big values on.
    std::uint8_t block[kBaseBlockBytes];
    std::size_t got = 0;
    std::string error;
    BaseBlock base;
    bool known = ReadFileStart(hiveFile, hiveFile, block, sizeof block, &got, &error) &&
                 ParseBaseBlock(std::span<const std::uint8_t>(block, got), &base);
    return LoadHive(hiveFile, known ? base.minorVersion : kUnknownVersion);
}

long HiveFileRegistry::LoadHive(const char* hiveFile, std::uint32_t minorVersion)
{
    if (hive_ != nullptr)
        return kBadDb;
    // Opened for writing only so that libhivex keeps the hive in memory and
    // can write it elsewhere; the file itself is never written through it.
    hive_ = OpenHivex(hiveFile, HIVEX_OPEN_WRITE);
    if (hive_ == nullptr)
        return kBadDb;
    minorVersion_ = minorVersion;
    return kRegSuccess;
}

long HiveFileRegistry::UnLoadKey(const char* subKey)
{
    if (!IsClonePath(subKey) || hive_ == nullptr)
        return kBadDb;
    hive_.reset();
    keys_.clear();
    handles_.clear();
    live_.clear();
    return kRegSuccess;
}

bool HiveFileRegistry::CommitToMemory(std::vector<std::uint8_t>* bytes, std::string* error)
{
    bytes->clear();
    Fd memory(memfd_create("voskarelle-new-hive", MFD_CLOEXEC));
    if (memory.get() < 0) {
        *error = std::string("cannot hold the new hive in memory: ") + std::strerror(errno);
        return false;
    }
    if (!CommitTo(("/proc/self/fd/" + std::to_string(memory.get())).c_str(), error))
        return false;
    struct stat st;
    if (fstat(memory.get(), &st) != 0) {
        *error = std::string("cannot read the new hive back: ") + std::strerror(errno);
        return false;
    }
    bytes->resize(static_cast<std::size_t>(st.st_size));
    if (!ReadAllAt(memory.get(), bytes->data(), bytes->size(), 0)) {
        *error = std::string("cannot read the new hive back: ") + std::strerror(errno);
        bytes->clear();
        return false;
    }
    return true;
}

bool HiveFileRegistry::CommitTo(const char* file, std::string* error)
{
    if (hive_ == nullptr) {
        *error = "no hive is open";
        return false;
    }
    for (auto& [node, key] : keys_) {
        if (!key.changed)
            continue;
        if (minorVersion_ >= 4) {
            for (const RegValue& value : key.values) {
                if (value.data.size() > kLargestCellData) {
                    *error = "value \"" + value.name + "\" holds " + std::to_string(value.data.size()) +
                             " bytes, which this hive format keeps in big-data records that libhivex cannot write";
                    return false;
                }
            }
        }
        std::vector<hive_set_value> set;
        set.reserve(key.values.size());
        for (RegValue& value : key.values)
            set.push_back({value.name.data(), static_cast<hive_type>(value.type), value.data.size(),
                           reinterpret_cast<char*>(value.data.data())});
        if (hivex_node_set_values(hive_.get(), node, set.size(), set.data(), 0) != 0) {
            *error = std::string("libhivex could not store the values: ") + std::strerror(errno);
            return false;
        }
        key.changed = false;
    }
    if (hivex_commit(hive_.get(), file, 0) != 0) {
        *error = std::string("libhivex could not write ") + file + ": " + std::strerror(errno);
        return false;
    }
    return true;
}
