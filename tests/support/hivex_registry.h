// A registry whose "Clone" key is a real hive file, through the command's
// libhivex registry; every other key lives in memory as in MemoryRegistry.
#pragma once

#include "cli/hivefile/hive_file_registry.h"
#include "hive/boot_store.h"
#include "support/doubles.h"

#include <hivex.h>

#include <string>

class HivexRegistry final : public MemoryRegistry {
public:
    long OpenKey(const char* subKey, RegKey* key) override;
    long EnumValue(RegKey key, std::uint32_t index, char* name, std::uint32_t* nameLength, std::uint32_t* type,
                   std::uint8_t* data, std::uint32_t* dataLength) override;
    long QueryValue(RegKey key, const char* name, std::uint32_t* type, std::vector<std::uint8_t>* data) override;
    void CloseKey(RegKey key) override;
    long SetValue(RegKey key, const char* name, std::uint32_t type, const std::uint8_t* data,
                  std::uint32_t length) override;
    long ValueExists(const char* subKey, const char* name) override;
    long DeleteValue(const char* subKey, const char* name) override;
    // Opens the file at "Clone"; unloading writes it back in place, as the
    // system's registry does.
    long LoadKey(const char* subKey, const char* hiveFile) override;
    long UnLoadKey(const char* subKey) override;

    bool mounted() const { return hive_.mounted(); }

private:
    HiveFileRegistry hive_;
    std::string file_;
};

// Values of a key in a hive file, read afresh with libhivex; empty when the
// file or key cannot be opened.
struct HiveKeyDump {
    bool found = false;
    ValueList values;
};
HiveKeyDump DumpHiveKey(const char* file, const char* keyPath);

// The Element value of a boot store's partition device naming device's
// style, disk and partition, as Windows writes it (88 bytes).
std::vector<std::uint8_t> BootPartitionElement(const BootDevice& device);

// The Element value of a ramdisk: the image file at path (UTF-16 from 0x8C)
// on the partition device names, in a record at 0x44.
std::vector<std::uint8_t> BootRamdiskElement(const BootDevice& device, const std::string& path);

// Makes a hive file holding the given keys and values (paths below the root).
bool MakeHiveFile(const char* file, const std::vector<std::pair<std::string, ValueList>>& keys);
