// What a boot store's device elements say and how one is pointed at another
// partition. A clone's boot store still names the source disk: these let the
// command compare it with the clone's drive letters and change only the
// partition and disk it names.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

enum class BootDeviceKind {
    Partition, // a partition of a disk
    Ramdisk,   // an image file (the recovery environment) on a partition
    Boot,      // whatever partition the machine started from
    Locate,    // the partition holding a given path, found at boot
    Other,
};

enum class PartitionStyle { None, Gpt, Mbr };

// The partition record starts at a device's type field: a partition device
// is one at 0x10, and a ramdisk nests one at 0x44 for the partition holding
// its image. These offsets count from the record.
inline constexpr std::size_t kBootRecordPartition = 0x10;
inline constexpr std::size_t kBootRecordStyle = 0x24;
inline constexpr std::size_t kBootRecordDisk = 0x28;
inline constexpr std::size_t kBootRecordBytes = 0x48;

// The object types and elements a repair reads.
inline constexpr std::uint32_t kBootManagerType = 0x10100002;
inline constexpr std::uint32_t kLoaderType = 0x10200003;
inline constexpr std::uint32_t kResumeType = 0x10200004;
inline constexpr std::uint32_t kDeviceElement = 0x11000001;
inline constexpr std::uint32_t kOsDeviceElement = 0x21000001; // a resume object's: the hibernation file's device
inline constexpr std::uint32_t kSdiDeviceElement = 0x31000003;
inline constexpr std::uint32_t kApplicationPathElement = 0x12000002;
inline constexpr std::uint32_t kDescriptionElement = 0x12000004;
inline constexpr std::uint32_t kSystemRootElement = 0x22000002; // a resume object's: the hibernation file
inline constexpr std::uint32_t kDefaultObjectElement = 0x23000003; // the boot manager's default entry
inline constexpr std::uint32_t kSdiPathElement = 0x32000004;

struct BootDevice {
    BootDeviceKind kind = BootDeviceKind::Other;
    PartitionStyle style = PartitionStyle::None; // None whenever record is 0
    std::array<std::uint8_t, 16> disk{};         // Gpt: the disk GUID as stored
    std::uint32_t signature = 0;                 // Mbr: the disk signature
    std::array<std::uint8_t, 16> partition{};    // Gpt: the partition GUID as stored
    std::uint64_t offset = 0;                    // Mbr: the partition's offset in bytes
    std::string path;                            // Ramdisk: the image file, UTF-8
    std::size_t record = 0;                      // where the partition record starts; 0 when none
};

// Never reads past data; a value cut short or with a size that does not add
// up is Other, and a device whose partition record is missing, of an unknown
// style or cut short keeps its kind with style None.
BootDevice DecodeBootDevice(std::span<const std::uint8_t> data);

// Writes device's style, disk and partition into the partition record at
// device.record, leaving every other byte as it was. False, with bytes
// untouched, when the style is None or bytes hold no partition record there.
bool RewriteBootDevice(std::vector<std::uint8_t>& bytes, const BootDevice& device);

// The MountedDevices identity of the partition the device names, to compare
// with the clone's drive letters; empty when it names none.
std::vector<std::uint8_t> BootDeviceIdentity(const BootDevice& device);

// The UTF-8 of a string element's UTF-16LE data, up to its first NUL.
std::string BootStringElement(std::span<const std::uint8_t> data);

// "boot manager", "loader", ...; "other" for types not listed.
const char* BootObjectTypeName(std::uint32_t type);
// The firmware's own entries: they name no partition of the clone.
bool IsFirmwareObject(std::uint32_t type);
// True for elements whose data is a device.
bool IsDeviceElement(std::uint32_t type);
// True for elements whose data is a string (a path, a description).
bool IsStringElement(std::uint32_t type);
// "device", "osdevice", ...; the type in 8 hexadecimal digits for the rest.
std::string BootElementName(std::uint32_t type);
// A type in 8 lower-case hexadecimal digits, as element keys are named.
std::string BootTypeHex(std::uint32_t type);

const char* BootDeviceKindName(BootDeviceKind kind);
const char* PartitionStyleName(PartitionStyle style);
