// A registry whose "Clone" key is a real hive file, opened and committed with
// libhivex (an implementation of the hive format independent of ours); every
// other key lives in memory as in MemoryRegistry.
#pragma once

#include "support/doubles.h"

#include <hivex.h>

#include <deque>
#include <set>

class HivexRegistry final : public MemoryRegistry {
public:
    ~HivexRegistry();
    long OpenKey(const char* subKey, RegKey* key) override;
    long EnumValue(RegKey key, std::uint32_t index, char* name, std::uint32_t* nameLength, std::uint32_t* type,
                   std::uint8_t* data, std::uint32_t* dataLength) override;
    long QueryValue(RegKey key, const char* name, std::uint32_t* type, std::vector<std::uint8_t>* data) override;
    void CloseKey(RegKey key) override;
    long SetValue(RegKey key, const char* name, std::uint32_t type, const std::uint8_t* data,
                  std::uint32_t length) override;
    long ValueExists(const char* subKey, const char* name) override;
    long DeleteValue(const char* subKey, const char* name) override;
    // Opens the file for writing at "Clone"; unloading commits it.
    long LoadKey(const char* subKey, const char* hiveFile) override;
    long UnLoadKey(const char* subKey) override;

    bool mounted() const { return hive_ != nullptr; }

private:
    bool IsClonePath(const char* subKey) const;
    hive_node_h Node(const char* subKey);
    hive_node_h* HiveHandle(RegKey key);

    hive_h* hive_ = nullptr;
    std::deque<hive_node_h> hiveHandles_;
    std::set<const void*> liveHiveHandles_;
};

// Values of a key in a hive file, read afresh with libhivex; empty when the
// file or key cannot be opened.
struct HiveKeyDump {
    bool found = false;
    ValueList values;
};
HiveKeyDump DumpHiveKey(const char* file, const char* keyPath);

// Makes a hive file holding the given keys and values (paths below the root).
bool MakeHiveFile(const char* file, const std::vector<std::pair<std::string, ValueList>>& keys);
