// libFuzzer target over a boot store's device elements: any bytes are
// decoded without reading past them, and a device that names a partition is
// rewritten to partitions of both styles, including offsets past 4 GiB. A
// rewrite changes the record's partition, style and disk fields and no other
// byte, and decoding it again gives what was written, with the kind and
// ramdisk path as before.
#include "hive/boot_store.h"
#include "mounttable/identity.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

// Whether byte i of a value lies in the fields a rewrite of the record at
// record may change.
bool RecordField(std::size_t i, std::size_t record)
{
    return (i >= record + kBootRecordPartition && i < record + kBootRecordPartition + 16) ||
           (i >= record + kBootRecordStyle && i < record + kBootRecordStyle + 4) ||
           (i >= record + kBootRecordDisk && i < record + kBootRecordDisk + 16);
}

void Rewrite(const std::vector<std::uint8_t>& value, const BootDevice& decoded, const BootDevice& target)
{
    std::vector<std::uint8_t> bytes = value;
    bool rewritten = RewriteBootDevice(bytes, target);
    Check(bytes.size() == value.size());
    if (!rewritten) {
        Check(bytes == value);
        Check(decoded.style == PartitionStyle::None);
        return;
    }
    for (std::size_t i = 0; i < bytes.size(); ++i)
        Check(RecordField(i, target.record) || bytes[i] == value[i]);
    BootDevice again = DecodeBootDevice(bytes);
    Check(again.kind == decoded.kind && again.path == decoded.path && again.record == decoded.record);
    Check(again.style == target.style);
    if (target.style == PartitionStyle::Gpt) {
        Check(again.disk == target.disk && again.partition == target.partition);
        Check(BootDeviceIdentity(again) == GptIdentity(target.partition));
    } else {
        Check(again.signature == target.signature && again.offset == target.offset);
        Check(BootDeviceIdentity(again) == MbrIdentity(target.signature, target.offset));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::uint8_t> value(data, data + size);
    BootDevice decoded = DecodeBootDevice(value);
    Check(decoded.record == 0 || decoded.record + kBootRecordBytes <= size);
    Check((decoded.style == PartitionStyle::None) == (decoded.record == 0));
    BootDeviceIdentity(decoded);
    BootStringElement(value);

    // The new partition comes from the input's last bytes, so the fuzzer
    // reaches every offset and GUID.
    std::uint64_t seed = 0x9E3779B97F4A7C15ull;
    for (std::size_t i = size > 24 ? size - 24 : 0; i < size; ++i)
        seed = (seed ^ data[i]) * 0x100000001B3ull;
    BootDevice target = decoded;
    target.style = PartitionStyle::Mbr;
    target.signature = static_cast<std::uint32_t>(seed >> 7);
    target.offset = seed | (1ull << 32); // past 4 GiB
    Rewrite(value, decoded, target);
    target.style = PartitionStyle::Gpt;
    for (std::size_t i = 0; i < 16; ++i) {
        target.disk[i] = static_cast<std::uint8_t>(seed >> (i % 8 * 8));
        target.partition[i] = static_cast<std::uint8_t>(~seed >> (i % 8 * 8));
    }
    Rewrite(value, decoded, target);
    return 0;
}
