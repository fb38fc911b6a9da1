#include "hive/boot_store.h"

#include "hive/bytes.h"
#include "mounttable/identity.h"

#include <algorithm>

namespace {

constexpr std::size_t kDeviceType = 0x10;
constexpr std::size_t kDeviceSize = 0x18;
constexpr std::size_t kBlockIoType = 0x20;
constexpr std::size_t kNestedRecord = 0x44;
constexpr std::size_t kRamdiskPath = kNestedRecord + kBootRecordBytes;

constexpr std::uint32_t kBlockIoDevice = 0;
constexpr std::uint32_t kBootDevice = 5;
constexpr std::uint32_t kPartitionDevice = 6;
constexpr std::uint32_t kLocateDevice = 8;
constexpr std::uint32_t kRamdiskBlockIo = 3;

constexpr std::uint32_t kStyleGpt = 0;
constexpr std::uint32_t kStyleMbr = 1;

void PutLe(std::span<std::uint8_t> out, std::uint64_t value)
{
    for (std::uint8_t& b : out) {
        b = static_cast<std::uint8_t>(value);
        value >>= 8;
    }
}

std::array<std::uint8_t, 16> Bytes16(std::span<const std::uint8_t> data, std::size_t at)
{
    std::array<std::uint8_t, 16> out;
    std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(at), out.size(), out.begin());
    return out;
}

// A record whose type is not a partition (a ramdisk image on the boot
// device, say) or whose style is unknown names no partition to compare.
void DecodeRecord(std::span<const std::uint8_t> data, std::size_t at, BootDevice& device)
{
    if (data.size() < at + kBootRecordBytes || Le32(data, at) != kPartitionDevice)
        return;
    std::uint32_t style = Le32(data, at + kBootRecordStyle);
    if (style == kStyleGpt) {
        device.style = PartitionStyle::Gpt;
        device.partition = Bytes16(data, at + kBootRecordPartition);
        device.disk = Bytes16(data, at + kBootRecordDisk);
    } else if (style == kStyleMbr) {
        device.style = PartitionStyle::Mbr;
        device.offset = Le64(data, at + kBootRecordPartition);
        device.signature = Le32(data, at + kBootRecordDisk);
    } else {
        return;
    }
    device.record = at;
}

struct Named {
    std::uint32_t type;
    const char* name;
};

constexpr Named kObjectTypes[] = {
    {kBootManagerType, "boot manager"}, {kLoaderType, "loader"},     {kResumeType, "resume"},
    {0x10200005, "memory tester"},  {0x30000000, "device options"}, {0x10100001, "firmware boot manager"},
    {0x101FFFFF, "firmware entry"},
};

constexpr Named kElementNames[] = {
    {kDeviceElement, "device"},
    {kOsDeviceElement, "osdevice"},
    {kSdiDeviceElement, "ramdisk SDI device"},
    {kDescriptionElement, "description"},
};

} // namespace

std::string BootStringElement(std::span<const std::uint8_t> data)
{
    std::u16string text;
    for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
        char16_t c = static_cast<char16_t>(data[i] | data[i + 1] << 8);
        if (c == u'\0')
            break;
        text += c;
    }
    return Utf16ToUtf8(text);
}

BootDevice DecodeBootDevice(std::span<const std::uint8_t> data)
{
    BootDevice device;
    if (data.size() < kDeviceSize + 4)
        return device;
    // The size counts from the type field: one past the end of the value
    // means the value was cut short, and its fields cannot be trusted.
    std::uint64_t declared = Le32(data, kDeviceSize);
    if (declared < kDeviceSize + 4 - kDeviceType || kDeviceType + declared > data.size())
        return device;
    switch (Le32(data, kDeviceType)) {
    case kPartitionDevice:
        device.kind = BootDeviceKind::Partition;
        DecodeRecord(data, kDeviceType, device);
        break;
    case kBootDevice:
        device.kind = BootDeviceKind::Boot;
        break;
    case kLocateDevice:
        device.kind = BootDeviceKind::Locate;
        DecodeRecord(data, kNestedRecord, device);
        break;
    case kBlockIoDevice:
        if (data.size() < kBlockIoType + 4 || Le32(data, kBlockIoType) != kRamdiskBlockIo)
            break;
        device.kind = BootDeviceKind::Ramdisk;
        DecodeRecord(data, kNestedRecord, device);
        if (data.size() > kRamdiskPath)
            device.path = BootStringElement(data.subspan(kRamdiskPath));
        break;
    default:
        break;
    }
    return device;
}

bool RewriteBootDevice(std::vector<std::uint8_t>& bytes, const BootDevice& device)
{
    std::size_t at = device.record;
    if (device.style == PartitionStyle::None || at == 0 || bytes.size() < at + kBootRecordBytes ||
        Le32(bytes, at) != kPartitionDevice)
        return false;
    // An MBR record keeps its offset and signature in the GUID fields,
    // zero-filled after them.
    std::array<std::uint8_t, 16> partition{};
    std::array<std::uint8_t, 16> disk{};
    std::uint32_t style = kStyleGpt;
    if (device.style == PartitionStyle::Gpt) {
        partition = device.partition;
        disk = device.disk;
    } else {
        style = kStyleMbr;
        PutLe(std::span(partition).first(8), device.offset);
        PutLe(std::span(disk).first(4), device.signature);
    }
    std::span<std::uint8_t> out(bytes);
    std::copy(partition.begin(), partition.end(), out.subspan(at + kBootRecordPartition, 16).begin());
    PutLe(out.subspan(at + kBootRecordStyle, 4), style);
    std::copy(disk.begin(), disk.end(), out.subspan(at + kBootRecordDisk, 16).begin());
    return true;
}

std::vector<std::uint8_t> BootDeviceIdentity(const BootDevice& device)
{
    switch (device.style) {
    case PartitionStyle::Gpt:
        return GptIdentity(device.partition);
    case PartitionStyle::Mbr:
        return MbrIdentity(device.signature, device.offset);
    case PartitionStyle::None:
        break;
    }
    return {};
}

const char* BootObjectTypeName(std::uint32_t type)
{
    for (const Named& known : kObjectTypes)
        if (known.type == type)
            return known.name;
    return "other";
}

bool IsFirmwareObject(std::uint32_t type)
{
    return type == 0x10100001 || type == 0x101FFFFF;
}

bool IsDeviceElement(std::uint32_t type)
{
    return ((type >> 24) & 0xF) == 1;
}

bool IsStringElement(std::uint32_t type)
{
    return ((type >> 24) & 0xF) == 2;
}

std::string BootElementName(std::uint32_t type)
{
    for (const Named& known : kElementNames)
        if (known.type == type)
            return known.name;
    return BootTypeHex(type);
}

std::string BootTypeHex(std::uint32_t type)
{
    static const char digits[] = "0123456789abcdef";
    std::string text(8, '0');
    for (int i = 7; i >= 0; --i, type >>= 4)
        text[static_cast<std::size_t>(i)] = digits[type & 0xF];
    return text;
}

const char* BootDeviceKindName(BootDeviceKind kind)
{
    switch (kind) {
    case BootDeviceKind::Partition:
        return "partition";
    case BootDeviceKind::Ramdisk:
        return "ramdisk";
    case BootDeviceKind::Boot:
        return "boot";
    case BootDeviceKind::Locate:
        return "locate";
    case BootDeviceKind::Other:
        break;
    }
    return "other";
}

const char* PartitionStyleName(PartitionStyle style)
{
    switch (style) {
    case PartitionStyle::Gpt:
        return "gpt";
    case PartitionStyle::Mbr:
        return "mbr";
    case PartitionStyle::None:
        break;
    }
    return "none";
}
