// The registry and drive queries of the running Windows system.
#pragma once

#include "mounttable/registry.h"

class Win32Registry final : public RegistryAccess {
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
    long LoadKey(const char* subKey, const char* hiveFile) override;
    long UnLoadKey(const char* subKey) override;
};

class Win32DriveShell final : public DriveShell {
public:
    long long DriveType(const char* root) override;
    bool DisplayName(const char* root, char* name) override;
};
