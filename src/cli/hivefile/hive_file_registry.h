// A hive file mounted at "Clone" through libhivex. The file is read once and
// never written: changes stay in memory until CommitTo writes the whole hive
// to a new file, so a failed or abandoned change cannot touch the original.
// Keys outside "Clone" do not exist here.
#pragma once

#include "cli/hivefile/hivex_handle.h"
#include "mounttable/registry.h"
#include "mounttable/value_list.h"

#include <deque>
#include <map>
#include <set>
#include <string>
#include <string_view>

// The key at path ("ControlSet001\\Control", names in any case) below the
// root of an open hive, or 0 when there is none.
hive_node_h WalkHive(hive_h* hive, std::string_view path);

class HiveFileRegistry final : public RegistryAccess {
public:
    HiveFileRegistry() = default;
    HiveFileRegistry(const HiveFileRegistry&) = delete;
    HiveFileRegistry& operator=(const HiveFileRegistry&) = delete;

    long OpenKey(const char* subKey, RegKey* key) override;
    long EnumValue(RegKey key, std::uint32_t index, char* name, std::uint32_t* nameLength, std::uint32_t* type,
                   std::uint8_t* data, std::uint32_t* dataLength) override;
    long QueryValue(RegKey key, const char* name, std::uint32_t* type, std::vector<std::uint8_t>* data) override;
    void CloseKey(RegKey key) override;
    long SetValue(RegKey key, const char* name, std::uint32_t type, const std::uint8_t* data,
                  std::uint32_t length) override;
    long ValueExists(const char* subKey, const char* name) override;
    long DeleteValue(const char* subKey, const char* name) override;
    // Opens hiveFile at "Clone"; on failure errno tells why.
    long LoadKey(const char* subKey, const char* hiveFile) override;
    // The same, with the format's minor version as parsed from the base
    // block libhivex will read (kUnknownVersion when it could not be).
    long LoadHive(const char* hiveFile, std::uint32_t minorVersion);
    static constexpr std::uint32_t kUnknownVersion = 0xFFFFFFFFu;
    // Unmounts, dropping every change not committed.
    long UnLoadKey(const char* subKey) override;

    bool IsClonePath(const char* subKey) const;
    bool Owns(RegKey key) const { return live_.count(key) != 0; }
    bool mounted() const { return hive_ != nullptr; }
    // The open hive as libhivex holds it, without the changes made here.
    hive_h* handle() const { return hive_.get(); }
    int openKeys() const { return static_cast<int>(live_.size()); }

    // The values of a key below "Clone" as they stand, changes included;
    // nullptr when the key is absent or cannot be read.
    const ValueList* KeyValues(const char* subKey);

    // Writes the hive with every change into file, which libhivex creates
    // or truncates. False with a reason when it cannot be written whole,
    // including a value that libhivex would store in a form Windows rejects.
    bool CommitTo(const char* file, std::string* error);
    // The same, into memory: the whole new hive file.
    bool CommitToMemory(std::vector<std::uint8_t>* bytes, std::string* error);

private:
    struct CachedKey {
        hive_node_h node = 0;
        bool readable = false;
        bool changed = false;
        ValueList values;
    };
    CachedKey* Cached(const char* subKey);
    CachedKey* FromHandle(RegKey key);

    HivexHandle hive_;
    std::uint32_t minorVersion_ = kUnknownVersion; // unknown counts as new: the guard fails closed
    std::map<hive_node_h, CachedKey> keys_;
    std::deque<CachedKey*> handles_; // RegKey points at an element
    std::multiset<RegKey> live_;
};
