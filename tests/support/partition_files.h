// Files inside a disk image's partitions, for the tests: made with
// mkntfs, filled through ntfs-3g on a partition image file (FUSE) and
// mtools, and read back with ntfscat, ntfsls and mcopy, never with the code
// under test. Starts and sizes are in 512-byte sectors.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

int Shell(const std::string& command);
std::string Quote(const std::filesystem::path& path);

// Mounts an NTFS partition image with ntfs-3g for fill to change, and
// unmounts it whatever happens.
bool WithNtfs(const std::filesystem::path& part, const std::function<void(const std::filesystem::path&)>& fill);
std::filesystem::path Extract(const std::filesystem::path& image, std::uint64_t start, std::uint64_t sectors,
                              const std::filesystem::path& to);
void PutBackPartition(const std::filesystem::path& image, std::uint64_t start, const std::filesystem::path& part);

// A file of the NTFS at start (from part, the partition's bytes already
// extracted, when given), or of the FAT at start; empty when there is none.
std::vector<std::uint8_t> NtfsFile(const std::filesystem::path& image, std::uint64_t start, std::uint64_t sectors,
                                   const std::string& path, const std::filesystem::path& part = {});
std::vector<std::uint8_t> FatFile(const std::filesystem::path& image, std::uint64_t start, const std::string& path);
std::vector<std::string> NtfsFolder(const std::filesystem::path& image, std::uint64_t start, std::uint64_t sectors,
                                    const std::string& folder, const std::filesystem::path& given = {});
std::vector<std::string> FatFolder(const std::filesystem::path& image, std::uint64_t start, const std::string& folder);

// Makes an NTFS at start holding files (absolute paths), or adds files to
// the FAT at start; false when a step fails.
bool FillNtfs(const std::filesystem::path& image, std::uint64_t start, std::uint64_t sectors, const std::string& label,
              const std::vector<std::pair<std::string, std::vector<std::uint8_t>>>& files);
bool FillFat(const std::filesystem::path& image, std::uint64_t start,
             const std::vector<std::pair<std::string, std::vector<std::uint8_t>>>& files);
