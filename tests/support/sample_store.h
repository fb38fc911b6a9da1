// The boot store Windows keeps for one installation, made for the tests and
// the sample: the boot manager, the Windows loader and its resume entry,
// the memory tester, and the recovery environment (a loader from a ramdisk
// image, with its device options naming the SDI file), each naming the
// partitions of the disk it was installed on.
#pragma once

#include "hive/boot_store.h"
#include "mounttable/value_list.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

struct StoreLayout {
    bool uefi = true;
    BootDevice system;                  // the EFI system partition, or for BIOS the active one
    BootDevice windows;                 // the Windows partition
    std::optional<BootDevice> recovery; // the recovery partition; none: no recovery environment
};

inline constexpr const char* kSampleManager = "{9dea862c-5cdd-4e70-acc1-f32b344d4795}";
inline constexpr const char* kSampleLoader = "{3c2b1a0d-4e5f-11ec-9a7b-0a1b2c3d4e5f}";
inline constexpr const char* kSampleResume = "{3c2b1a0e-4e5f-11ec-9a7b-0a1b2c3d4e5f}";
inline constexpr const char* kSampleMemoryTester = "{b2721d73-1db4-4c62-bf78-c548a880142d}";
inline constexpr const char* kSampleRecovery = "{3c2b1a0f-4e5f-11ec-9a7b-0a1b2c3d4e5f}";
inline constexpr const char* kSampleRecoveryOptions = "{3c2b1a10-4e5f-11ec-9a7b-0a1b2c3d4e5f}";
inline constexpr const char* kSampleFirmware = "{a5a30fa2-3d06-4e9f-b5f4-a01df9d1fcba}";

// The keys and values of such a store, for MakeHiveFile.
std::vector<std::pair<std::string, ValueList>> SampleStoreKeys(const StoreLayout& layout);

// The files each partition of such an installation holds, that its store's
// entries start: on the system partition, on Windows, on the recovery one.
std::vector<std::string> SystemFiles(bool uefi);
std::vector<std::string> WindowsFiles(bool uefi);
std::vector<std::string> RecoveryFiles();
