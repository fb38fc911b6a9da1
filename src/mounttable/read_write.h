// The Read and Write commands over the merged table.
#pragma once

#include "mounttable/mount_table.h"
#include "mounttable/registry.h"

#include <functional>

// Status texts of the two commands (code page 932).
inline constexpr const char* kTextCloneNotLoaded =
    "「HKEY_LOCAL_MACHINE」の「Clone」にコピー先のハイブ「SYSTEM」がロードされていません";
inline constexpr const char* kTextTableNotRead = "MountedDevices情報が読込まれていません";
inline constexpr const char* kTextNoChange = "変更先ドライブ文字情報なし";
inline constexpr const char* kTextDuplicateChange = "変更先ドライブ文字重複";
inline constexpr const char* kTextCheckAndUnload = "MountedDevices情報を確認しハイブをアンロードしてください";
inline constexpr const char* kTextWriteError = "書込エラー";

// Rebuilds the table from the running system's and the clone's MountedDevices.
void ReadMountTable(RegistryAccess& registry, DriveShell& shell, MountTable& table, StatusLine& status);

// Stores the chosen Change letters into the clone's table, then calls reread
// (which runs Read) and reports. Either every change lands or, on any failed
// registry call, the clone's table is put back as it was.
void WriteLetterChanges(RegistryAccess& registry, MountTable& table, StatusLine& status,
                        const std::function<void()>& reread);
