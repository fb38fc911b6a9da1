// Boot store device elements: decoding every layout and every way a value
// can be cut short, rewriting only the partition a record names, and stores
// (the two Windows wrote, and one holding a recovery ramdisk) read through
// libhivex.
#include "cli/hivefile/boot_store_file.h"
#include "cli/hivefile/hive_file_registry.h"
#include "cli/hivefile/hivex_handle.h"
#include "hive/boot_store.h"
#include "mounttable/identity.h"
#include "support/hivex_registry.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Style = PartitionStyle;
using Kind = BootDeviceKind;

std::array<std::uint8_t, 16> Guid(const char* text)
{
    std::array<std::uint8_t, 16> guid{};
    ParseGuid(text, &guid);
    return guid;
}

const auto kPartition = Guid("85c434af-7860-49b3-85c3-b70316081b7b");
const auto kDisk = Guid("20ac3077-f7cd-4c47-95d5-53fbf8b752b5");
const std::array<std::uint8_t, 16> kNoGuid{};
constexpr std::uint32_t kSignature = 0xDDBA6BBB;
constexpr std::uint64_t kOffset = 1048576;
const std::string kWim = "\\Recovery\\WindowsRE\\Winre.wim";

Bytes With(Bytes b, std::size_t at, std::uint64_t value, int count = 4)
{
    for (int i = 0; i < count; ++i)
        b[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    return b;
}

Bytes Device(std::uint32_t type, std::size_t size)
{
    return With(With(Bytes(size), 0x10, type), 0x18, size - 0x10);
}

// A partition record naming the sample partition; None writes a style no
// store uses.
Bytes Record(Bytes b, std::size_t at, Style style)
{
    b = With(With(With(b, at, 6), at + 8, 0x48), at + 0x24, style == Style::Gpt ? 0 : style == Style::Mbr ? 1 : 2);
    if (style != Style::Gpt)
        return With(With(b, at + 0x10, kOffset, 8), at + 0x28, kSignature);
    std::copy(kPartition.begin(), kPartition.end(), b.begin() + at + 0x10);
    std::copy(kDisk.begin(), kDisk.end(), b.begin() + at + 0x28);
    return b;
}

Bytes Ramdisk(Style style, std::uint32_t nestedType = 6)
{
    Bytes b = With(With(Record(Device(0, 0x8C + 2 * (kWim.size() + 1)), 0x44, style), 0x20, 3), 0x44, nestedType);
    for (std::size_t i = 0; i < kWim.size(); ++i)
        b[0x8C + 2 * i] = static_cast<std::uint8_t>(kWim[i]);
    return b;
}

Bytes Identity(Style style)
{
    return style == Style::Gpt   ? GptIdentity(kPartition)
           : style == Style::Mbr ? MbrIdentity(kSignature, kOffset)
                                 : Bytes{};
}

const Bytes kGpt = Record(Device(6, 0x58), 0x10, Style::Gpt);
const Bytes kMbr = Record(Device(6, 0x58), 0x10, Style::Mbr);
const Bytes kLocate = Record(Device(8, 0x8C), 0x44, Style::Mbr);

const struct {
    const char* name;
    Bytes bytes;
    Kind kind;
    Style style;
    std::size_t record;
    std::string path;
} kDecodeCases[] = {
    {"gpt partition", kGpt, Kind::Partition, Style::Gpt, 0x10, ""},
    {"mbr partition", kMbr, Kind::Partition, Style::Mbr, 0x10, ""},
    {"unknown style", Record(Device(6, 0x58), 0x10, Style::None), Kind::Partition, Style::None, 0, ""},
    {"ramdisk", Ramdisk(Style::Gpt), Kind::Ramdisk, Style::Gpt, 0x44, kWim},
    {"ramdisk on the boot device", Ramdisk(Style::Mbr, 5), Kind::Ramdisk, Style::None, 0, kWim},
    {"boot device", Device(5, 0x58), Kind::Boot, Style::None, 0, ""},
    {"locate, as stored", Device(8, 0x2E), Kind::Locate, Style::None, 0, ""},
    {"locate with a partition", kLocate, Kind::Locate, Style::Mbr, 0x44, ""},
    {"block i/o, no ramdisk", With(Device(0, 0x58), 0x20, 1), Kind::Other, Style::None, 0, ""},
    {"unknown device type", Device(9, 0x58), Kind::Other, Style::None, 0, ""},
    {"size past the end", With(kGpt, 0x18, 0x49), Kind::Other, Style::None, 0, ""},
    {"size wrapping around", With(kGpt, 0x18, 0xFFFFFFF8), Kind::Other, Style::None, 0, ""},
    {"record one byte short", With(Record(Device(6, 0x57), 0x10, Style::Mbr), 0x18, 0x47), Kind::Partition, Style::None,
     0, ""},
    {"empty", {}, Kind::Other, Style::None, 0, ""},
};

// Each value whole; then each prefix as cut (its size still the whole
// value's) and as if written that short (its size matching), where a record
// is claimed exactly when it fits.
TEST(BootStore, DecodesEveryLayoutAndNoPrefixPastItsEnd)
{
    for (const auto& c : kDecodeCases) {
        BootDevice d = DecodeBootDevice(c.bytes);
        EXPECT_EQ(d.kind, c.kind) << c.name;
        EXPECT_EQ(d.style, c.style) << c.name;
        EXPECT_EQ(d.record, c.record) << c.name;
        EXPECT_EQ(d.path, c.path) << c.name;
        EXPECT_EQ(BootDeviceIdentity(d), Identity(c.style)) << c.name;
        EXPECT_EQ(d.disk, c.style == Style::Gpt ? kDisk : kNoGuid) << c.name;

        std::size_t size = c.bytes.size();
        BootDevice whole = size < 0x1C ? BootDevice{} : DecodeBootDevice(With(c.bytes, 0x18, size - 0x10));
        for (std::size_t n = 0; n < size; ++n) {
            Bytes cut(c.bytes.begin(), c.bytes.begin() + static_cast<std::ptrdiff_t>(n));
            EXPECT_EQ(DecodeBootDevice(cut).kind, Kind::Other) << c.name << " cut at " << n;
            if (n < 0x1C)
                continue;
            d = DecodeBootDevice(With(cut, 0x18, n - 0x10));
            bool fits = whole.record != 0 && n >= whole.record + kBootRecordBytes;
            EXPECT_EQ(d.record, fits ? whole.record : 0) << c.name << " written " << n << " long";
            EXPECT_EQ(d.style, fits ? whole.style : Style::None) << c.name << " written " << n << " long";
        }
    }
}

TEST(BootStore, RewritesOnlyThePartitionAndDisk)
{
    const Bytes boot = Device(5, 0x58), ramdisk = Ramdisk(Style::Gpt);
    const struct {
        const char* name;
        const Bytes& decoded; // the value the record was found in
        Bytes bytes;          // the value rewritten
        Style style;
        bool rewritten;
    } cases[] = {
        {"gpt to mbr", kGpt, kGpt, Style::Mbr, true},
        {"mbr to gpt", kMbr, kMbr, Style::Gpt, true},
        {"ramdisk to mbr", ramdisk, ramdisk, Style::Mbr, true},
        {"locate to gpt", kLocate, kLocate, Style::Gpt, true},
        {"no record", boot, boot, Style::Gpt, false},
        {"no style", kGpt, kGpt, Style::None, false},
        {"record cut short", kGpt, Bytes(kGpt.begin(), kGpt.end() - 1), Style::Mbr, false},
        {"record no longer a partition", kGpt, With(kGpt, 0x10, 5), Style::Mbr, false},
    };
    for (const auto& c : cases) {
        BootDevice from = DecodeBootDevice(c.decoded), to = from;
        to.style = c.style;
        to.disk = c.style == Style::Gpt ? kDisk : kNoGuid;
        to.partition = kPartition;
        to.signature = 0x12345678;
        to.offset = 0x7E00000;
        Bytes bytes = c.bytes;
        EXPECT_EQ(RewriteBootDevice(bytes, to), c.rewritten) << c.name;
        if (!c.rewritten) {
            EXPECT_EQ(bytes, c.bytes) << c.name;
            continue;
        }
        std::size_t r = from.record;
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            bool identity = (i >= r + 0x10 && i < r + 0x20) || (i >= r + 0x24 && i < r + 0x38);
            bool padding = c.style == Style::Mbr && ((i >= r + 0x18 && i < r + 0x20) || i >= r + 0x2C);
            if (!identity || padding) {
                EXPECT_EQ(bytes[i], identity ? 0 : c.bytes[i]) << c.name << " byte " << i;
            }
        }
        BootDevice d = DecodeBootDevice(bytes);
        EXPECT_EQ(d.kind, from.kind) << c.name;
        EXPECT_EQ(d.path, from.path) << c.name;
        EXPECT_EQ(BootDeviceIdentity(d), BootDeviceIdentity(to)) << c.name;
        EXPECT_EQ(d.disk, to.disk) << c.name;
    }
}

using Keys = std::vector<std::pair<std::string, ValueList>>;
const std::string kMadeObject = "Objects\\{7619dcc9-fafe-11d9-b411-000476eba25f}";

Keys RecoveryStore()
{
    const std::u16string name = u"Windows Recovery Environment";
    const auto* text = reinterpret_cast<const std::uint8_t*>(name.c_str());
    return {
        {"Description", {}},
        {kMadeObject + "\\Description", {{"Type", 4, {0x03, 0x00, 0x20, 0x10}}}},
        {kMadeObject + "\\Elements\\12000004", {{"Element", 1, Bytes(text, text + 2 * name.size() + 2)}}},
        {kMadeObject + "\\Elements\\11000001", {{"Element", kRegBinary, Ramdisk(Style::Mbr)}}},
    };
}

// A real store (an .xz beside the repository) or one made from keys.
HivexHandle OpenStore(const char* xz, const Keys& keys = {})
{
    fs::path file = fs::temp_directory_path() / ("vosk-bcd-" + std::to_string(getpid()));
    std::string unxz = xz ? std::string("xz -dc '") + VOSK_TESTDATA_DIR + "/" + xz + "' > '" + file.string() + "'" : "";
    EXPECT_TRUE(xz ? std::system(unxz.c_str()) == 0 : MakeHiveFile(file.c_str(), keys)) << unxz;
    HivexHandle hive = OpenHivex(file.c_str(), 0);
    fs::remove(file);
    return hive;
}

TEST(BootStore, ReadsTheObjectsAndDevicesOfStores)
{
    const char* const kBios = "BCD-bios.xz";
    const char* const kUefi = "BCD-uefi.xz";
    const struct {
        const char* store; // nullptr: the made recovery store
        std::string id;
        std::uint32_t type;
        const char* description;
        std::uint32_t element; // 0: the object names no device
        Kind kind;
        Style style = Style::None;
    } facts[] = {
        {kBios, "{9dea862c-5cdd-4e70-acc1-f32b344d4795}", 0x10100002, "Windows Boot Manager", 0x11000001, Kind::Boot},
        {kBios, "{1b67bffd-e290-11eb-8ffa-f459a0d9b879}", 0x10200003, "Windows 10", 0x21000001, Kind::Boot},
        {kBios, "{1b67bffc-e290-11eb-8ffa-f459a0d9b879}", 0x10200004, "Windows Resume Application", 0x11000001,
         Kind::Partition, Style::Mbr},
        {kBios, "{b2721d73-1db4-4c62-bf78-c548a880142d}", 0x10200005, "Windows Memory Diagnostic", 0x11000001,
         Kind::Partition, Style::Mbr},
        {kUefi, "{9dea862c-5cdd-4e70-acc1-f32b344d4795}", 0x10100002, "Windows Boot Manager", 0x11000001,
         Kind::Partition, Style::Gpt},
        {kUefi, "{d65367c7-3fb7-11ec-8288-eab76d76405a}", 0x10200003, "Windows 10 Pro", 0x21000001, Kind::Locate},
        {kUefi, "{a5a30fa2-3d06-4e9f-b5f4-a01df9d1fcba}", 0x10100001, "", 0, Kind::Other},
        {nullptr, kMadeObject.substr(8), 0x10200003, "Windows Recovery Environment", 0x11000001, Kind::Ramdisk,
         Style::Mbr},
    };
    for (const auto& f : facts) {
        HivexHandle hive = OpenStore(f.store, RecoveryStore());
        ASSERT_TRUE(hive);
        ASSERT_TRUE(IsBootStore(hive.get()));
        std::string error;
        std::vector<BootObject> objects = ReadBootObjects(hive.get(), &error);
        ASSERT_EQ(error, "") << f.id;
        EXPECT_EQ(objects.size(), f.store == kBios ? 11u : f.store == kUefi ? 3u : 1u) << f.id;
        auto o = std::find_if(objects.begin(), objects.end(), [&](const BootObject& b) { return b.id == f.id; });
        ASSERT_NE(o, objects.end()) << f.id;
        EXPECT_EQ(o->type, f.type) << f.id;
        EXPECT_EQ(o->description, f.description) << f.id;
        auto e = std::find_if(o->devices.begin(), o->devices.end(),
                              [&](const BootElement& d) { return d.type == f.element; });
        if (f.element == 0) {
            EXPECT_TRUE(o->devices.empty()) << f.id;
            continue;
        }
        ASSERT_NE(e, o->devices.end()) << f.id;
        EXPECT_EQ(e->device.kind, f.kind) << f.id;
        EXPECT_EQ(e->device.path, f.kind == Kind::Ramdisk ? kWim : "") << f.id;
        EXPECT_EQ(BootDeviceIdentity(e->device), Identity(f.style)) << f.id;
        EXPECT_EQ(e->device.disk, f.style == Style::Gpt ? kDisk : kNoGuid) << f.id;
        EXPECT_NE(WalkHive(hive.get(), e->key), 0u) << e->key;
    }
}

TEST(BootStore, RefusesBrokenStores)
{
    const struct {
        const char* fault;
        std::pair<std::string, ValueList> key; // added to the recovery store
    } broken[] = {
        {"type as text", {kMadeObject + "\\Description", {{"Type", 1, {'1', 0, 0, 0}}}}},
        {"no type", {kMadeObject + "\\Description", {}}},
        {"no description key", {"Objects\\{00000000-0000-0000-0000-000000000000}\\Elements", {}}},
        {"element name not hex", {kMadeObject + "\\Elements\\1100000g", {{"Element", kRegBinary, {}}}}},
        {"device without its value", {kMadeObject + "\\Elements\\21000001", {}}},
    };
    for (const auto& b : broken) {
        Keys keys = RecoveryStore();
        keys.push_back(b.key);
        HivexHandle hive = OpenStore(nullptr, keys);
        ASSERT_TRUE(hive) << b.fault;
        std::string error;
        EXPECT_TRUE(ReadBootObjects(hive.get(), &error).empty()) << b.fault;
        EXPECT_NE(error, "") << b.fault;
    }
    HivexHandle hive = OpenStore(nullptr, {{"Description", {}}});
    std::string error;
    EXPECT_FALSE(IsBootStore(hive.get()));
    EXPECT_TRUE(ReadBootObjects(hive.get(), &error).empty());
    EXPECT_NE(error, "");
}

} // namespace
