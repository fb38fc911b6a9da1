// The registry operations the program performs, all under HKEY_LOCAL_MACHINE.
// Each returns the platform's status code: 0 is success, anything else is a
// plain failure, except where a caller must tell "absent" from "failed".
#pragma once

#include "mounttable/text.h"

#include <cstdint>
#include <vector>

using RegKey = void*;

inline constexpr long kRegSuccess = 0;
inline constexpr long kRegFileNotFound = 2; // ERROR_FILE_NOT_FOUND
inline constexpr long kRegMoreData = 234;   // ERROR_MORE_DATA
inline constexpr long kRegNoMoreItems = 259; // ERROR_NO_MORE_ITEMS
inline constexpr std::uint32_t kRegBinary = 3;

inline constexpr const char* kRunningTableKey = "SYSTEM\\MountedDevices";
inline constexpr const char* kCloneTableKey = "Clone\\MountedDevices";
inline constexpr const char* kCloneMountKey = "Clone";

class RegistryAccess {
public:
    // RegOpenKeyExA with KEY_ALL_ACCESS, also when only reading.
    virtual long OpenKey(const char* subKey, RegKey* key) = 0;
    // RegEnumValueA; *nameLength and *dataLength carry the buffer sizes in and
    // the lengths out.
    virtual long EnumValue(RegKey key, std::uint32_t index, char* name, std::uint32_t* nameLength,
                           std::uint32_t* type, std::uint8_t* data, std::uint32_t* dataLength) = 0;
    // RegQueryValueExA of a whole value, whatever its size.
    virtual long QueryValue(RegKey key, const char* name, std::uint32_t* type,
                            std::vector<std::uint8_t>* data) = 0;
    virtual void CloseKey(RegKey key) = 0;
    virtual long SetValue(RegKey key, const char* name, std::uint32_t type, const std::uint8_t* data,
                          std::uint32_t length) = 0;
    // SHGetValueA used as an existence test: 0 present, kRegFileNotFound absent.
    virtual long ValueExists(const char* subKey, const char* name) = 0;
    // SHDeleteValueA.
    virtual long DeleteValue(const char* subKey, const char* name) = 0;
    virtual long LoadKey(const char* subKey, const char* hiveFile) = 0;
    virtual long UnLoadKey(const char* subKey) = 0;

protected:
    ~RegistryAccess() = default;
};

// GetDriveTypeA and SHGetFileInfoA for a drive root such as "E:\".
class DriveShell {
public:
    virtual long long DriveType(const char* root) = 0;
    // Fills name (kCellChars) with the shell's display name; false when the
    // shell cannot name the drive.
    virtual bool DisplayName(const char* root, char* name) = 0;

protected:
    ~DriveShell() = default;
};

// Calls visit(name, data, dataLength) for each value of an open key, in
// enumeration order, with the buffers of the program's fixed sizes (a name of
// kRegNameChars, data of kRegDataBytes). A value too large for them is
// skipped rather than ending the walk, so one odd value cannot hide every
// value after it.
template <typename Visit>
void ForEachValue(RegistryAccess& registry, RegKey key, Visit visit)
{
    constexpr std::uint32_t kNameChars = kRegNameChars;
    constexpr std::uint32_t kDataBytes = kRegDataBytes;
    char name[kNameChars];
    std::uint8_t data[kDataBytes];
    for (std::uint32_t index = 0; index != UINT32_MAX; ++index) {
        std::uint32_t nameLength = kNameChars;
        std::uint32_t dataLength = kDataBytes;
        std::uint32_t type = 0;
        long rc = registry.EnumValue(key, index, name, &nameLength, &type, data, &dataLength);
        if (rc == kRegMoreData)
            continue;
        if (rc != kRegSuccess)
            break;
        name[kNameChars - 1] = '\0';
        visit(static_cast<const char*>(name), static_cast<const std::uint8_t*>(data),
              dataLength > kDataBytes ? kDataBytes : dataLength);
    }
}
