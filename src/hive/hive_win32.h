// The open-file dialog and file calls of hive loading, and the privileges
// that mounting needs.
#pragma once

#include "hive/hive.h"

#include <windows.h>

class Win32HivePlatform final : public HivePlatform {
public:
    explicit Win32HivePlatform(HWND owner) : owner_(owner) {}
    bool ChooseFile(char* path) override;
    bool FileAttributes(const char* path, bool* isDirectory, std::uint64_t* size) override;
    long long ReadFileStart(const char* path, std::uint8_t* buffer, std::size_t cap) override;
    void RootOfPath(const char* path, char* root) override;
    bool ConfirmHibernatedClone() override;

private:
    HWND owner_;
};

bool EnablePrivilege(const char* name);
// "SeRestorePrivilege" then "SeBackupPrivilege"; nobody examines the results.
void EnableHivePrivileges();
