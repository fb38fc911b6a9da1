#include "hive/hive.h"

#include "hive/hive_file.h"

#include <cstring>
#include <string>

namespace {

// A clone shut down into hibernation or with Fast Startup resumes from its
// memory image and drops what was written into its registry meanwhile.
bool CloneIsHibernated(const char* hivePath, HivePlatform& platform)
{
    std::string root = CloneRootOfHivePath(hivePath);
    if (root.empty()) {
        char drive[kCellChars] = {};
        platform.RootOfPath(hivePath, drive);
        root = drive;
    }
    if (root.empty())
        return false;
    if (root.back() != '\\' && root.back() != '/')
        root += '\\';
    root += "hiberfil.sys";
    if (root.size() >= kCellChars)
        return false;
    std::uint8_t start[4] = {};
    return platform.ReadFileStart(root.c_str(), start, sizeof start) == sizeof start && IsHibernationImage(start);
}

} // namespace

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

    if (CloneIsHibernated(path, platform) && !platform.ConfirmHibernatedClone())
        return;

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

bool UnloadOnClose(HiveState& hive, RegistryAccess& registry)
{
    if (!hive.loaded)
        return true;
    if (registry.UnLoadKey(kCloneMountKey) != kRegSuccess)
        return false;
    hive.loaded = false;
    return true;
}
