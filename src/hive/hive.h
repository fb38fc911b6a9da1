// Mounting the clone's SYSTEM hive file at HKEY_LOCAL_MACHINE\Clone and
// unmounting it again.
#pragma once

#include "mounttable/mount_table.h"
#include "mounttable/registry.h"
#include "mounttable/text.h"

#include <cstddef>
#include <cstdint>

inline constexpr std::size_t kHiveBlockBytes = 4096;

inline constexpr const char* kTextFileSize = "ファイルサイズエラー";
inline constexpr const char* kTextFileUnreadable = "ファイルが読めません";
inline constexpr const char* kTextNotHive = "ハイブファイルではありません";
inline constexpr const char* kTextHiveLoaded = "ハイブをロードしました";
inline constexpr const char* kTextHiveLoadError = "ハイブロードエラー";
inline constexpr const char* kTextHiveUnloaded = "ハイブをアンロードしました";
inline constexpr const char* kTextHiveUnloadError = "ハイブアンロードエラー";

// The question asked before loading the hive of a hibernated clone.
inline constexpr const char* kTextHibernatedCaption = "休止状態のクローン";
inline constexpr const char* kTextHibernated =
    "このクローンは休止状態、または高速スタートアップで終了しています。\n\n"
    "Windows は次の起動でそのメモリイメージから再開し、ここで書き込むドライブ文字を破棄します。\n\n"
    "避けるには、クローンを一度起動して完全にシャットダウンするか、高速スタートアップを無効にしてください。\n\n"
    "それでもハイブをロードしますか?";

struct HiveState {
    bool loaded = false; // only while a hive this program mounted is mounted
    char filePath[kCellChars] = {};
    char rootPath[kCellChars] = {}; // HiveRootPath: kept across unloads
};

// The file dialog, file system and path calls that hive loading needs.
class HivePlatform {
public:
    // The open-file dialog; false when cancelled or failed. path: kCellChars.
    virtual bool ChooseFile(char* path) = 0;
    // GetFileAttributesExA; false when it fails.
    virtual bool FileAttributes(const char* path, bool* isDirectory, std::uint64_t* size) = 0;
    // Opens the file for binary reading while denying others write access and
    // reads up to cap bytes from its start; -1 when it cannot be opened.
    virtual long long ReadFileStart(const char* path, std::uint8_t* buffer, std::size_t cap) = 0;
    // PathStripToRootA then PathRemoveBackslashA on a copy of path. root: kCellChars.
    virtual void RootOfPath(const char* path, char* root) = 0;
    // The warning box about a hibernated clone (Yes/No, No the default);
    // true when the user answers Yes.
    virtual bool ConfirmHibernatedClone() = 0;

protected:
    ~HivePlatform() = default;
};

void HiveLoad(HiveState& hive, HivePlatform& platform, RegistryAccess& registry, StatusLine& status);
void HiveUnload(HiveState& hive, RegistryAccess& registry, MountTable& table, StatusLine& status);
// Unmounts a hive this program mounted; false when that unmount failed.
bool UnloadOnClose(HiveState& hive, RegistryAccess& registry);
