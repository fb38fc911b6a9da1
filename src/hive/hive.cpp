#include "hive/hive.h"

#include <cstring>

void HiveLoad(HiveState& hive, HivePlatform& platform, RegistryAccess& registry, StatusLine& status)
{
    if (hive.loaded)
        return;

    char path[kCellChars] = {};
    if (!platform.ChooseFile(path))
        return;

    bool isDirectory = false;
    std::uint64_t size = 0;
    if (!platform.FileAttributes(path, &isDirectory, &size) || isDirectory)
        return;
    if (size < kHiveBlockBytes) {
        status.Set(kTextFileSize);
        return;
    }

    CopyText(hive.filePath, sizeof hive.filePath, path);
    std::uint8_t block[kHiveBlockBytes] = {};
    long long got = platform.ReadFileStart(path, block, sizeof block);
    if (got < 0) {
        status.Set(kTextFileUnreadable);
        return;
    }
    // A file that shrank since its size was taken is no hive either.
    if (got < static_cast<long long>(kHiveBlockBytes) || std::memcmp(block, "regf", 4) != 0) {
        status.Set(kTextNotHive);
        return;
    }

    if (registry.LoadKey(kCloneMountKey, path) != kRegSuccess) {
        status.Set(kTextHiveLoadError);
        return;
    }
    status.Set(kTextHiveLoaded);
    hive.loaded = true;
    platform.RootOfPath(path, hive.rootPath);
}

void HiveUnload(HiveState& hive, RegistryAccess& registry, MountTable& table, StatusLine& status)
{
    if (!hive.loaded)
        return;
    if (registry.UnLoadKey(kCloneMountKey) != kRegSuccess) {
        status.Set(kTextHiveUnloadError);
        return;
    }
    table.DeleteAllRows();
    status.Set(kTextHiveUnloaded);
    hive.loaded = false;
}

void UnloadOnClose(HiveState& hive, RegistryAccess& registry)
{
    if (hive.loaded && registry.UnLoadKey(kCloneMountKey) == kRegSuccess)
        hive.loaded = false;
}
