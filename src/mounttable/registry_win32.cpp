#include "mounttable/registry_win32.h"

#include "mounttable/text.h"

#include <windows.h>
#include <shellapi.h>
#include <shlwapi.h>

#ifndef _WIN64
static_assert(sizeof(SHFILEINFOA) == 352);
#endif

long Win32Registry::OpenKey(const char* subKey, RegKey* key)
{
    HKEY opened = nullptr;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, KEY_ALL_ACCESS, &opened);
    *key = rc == ERROR_SUCCESS ? static_cast<RegKey>(opened) : nullptr;
    return rc;
}

long Win32Registry::EnumValue(RegKey key, std::uint32_t index, char* name, std::uint32_t* nameLength,
                              std::uint32_t* type, std::uint8_t* data, std::uint32_t* dataLength)
{
    DWORD nameChars = *nameLength;
    DWORD dataBytes = *dataLength;
    DWORD valueType = 0;
    LONG rc = RegEnumValueA(static_cast<HKEY>(key), index, name, &nameChars, nullptr, &valueType, data, &dataBytes);
    *nameLength = nameChars;
    *dataLength = dataBytes;
    *type = valueType;
    return rc;
}

long Win32Registry::QueryValue(RegKey key, const char* name, std::uint32_t* type, std::vector<std::uint8_t>* data)
{
    // The value may grow between the two calls; ask again while it does.
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD bytes = 0;
        DWORD valueType = 0;
        LONG rc = RegQueryValueExA(static_cast<HKEY>(key), name, nullptr, &valueType, nullptr, &bytes);
        if (rc != ERROR_SUCCESS)
            return rc;
        data->assign(bytes, 0);
        rc = RegQueryValueExA(static_cast<HKEY>(key), name, nullptr, &valueType, data->data(), &bytes);
        if (rc == ERROR_MORE_DATA)
            continue;
        if (rc == ERROR_SUCCESS) {
            data->resize(bytes);
            *type = valueType;
        }
        return rc;
    }
    return ERROR_MORE_DATA;
}

void Win32Registry::CloseKey(RegKey key)
{
    RegCloseKey(static_cast<HKEY>(key));
}

long Win32Registry::SetValue(RegKey key, const char* name, std::uint32_t type, const std::uint8_t* data,
                             std::uint32_t length)
{
    return RegSetValueExA(static_cast<HKEY>(key), name, 0, type, data, length);
}

long Win32Registry::ValueExists(const char* subKey, const char* name)
{
    return static_cast<long>(SHGetValueA(HKEY_LOCAL_MACHINE, subKey, name, nullptr, nullptr, nullptr));
}

long Win32Registry::DeleteValue(const char* subKey, const char* name)
{
    return static_cast<long>(SHDeleteValueA(HKEY_LOCAL_MACHINE, subKey, name));
}

long Win32Registry::LoadKey(const char* subKey, const char* hiveFile)
{
    return RegLoadKeyA(HKEY_LOCAL_MACHINE, subKey, hiveFile);
}

long Win32Registry::UnLoadKey(const char* subKey)
{
    return RegUnLoadKeyA(HKEY_LOCAL_MACHINE, subKey);
}

long long Win32DriveShell::DriveType(const char* root)
{
    return GetDriveTypeA(root);
}

bool Win32DriveShell::DisplayName(const char* root, char* name)
{
    SHFILEINFOA info = {};
    if (SHGetFileInfoA(root, 0, &info, sizeof info, SHGFI_DISPLAYNAME) == 0)
        return false;
    CopyText(name, kCellChars, std::string_view(info.szDisplayName, TextLength(info.szDisplayName, MAX_PATH)));
    return name[0] != '\0';
}
