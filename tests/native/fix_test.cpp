// fix on clones that do not start, made as cloning leaves them: a GPT disk
// whose GUIDs are all new, an MBR disk whose partitions moved and whose
// signature changed, one without its recovery partition, one with two
// Windows. Every result is read back with ntfscat and mcopy.
#include "cli/disk/commit_files.h"
#include "cli/verbs/command.h"
#include "hive/bytes.h"
#include "hive/hive_file.h"
#include "mounttable/identity.h"
#include "support/disk_images.h"
#include "support/hivex_registry.h"
#include "support/partition_files.h"
#include "support/sample_store.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Json = nlohmann::json;
using Identity = std::vector<std::uint8_t>;

std::array<std::uint8_t, 16> Guid(const char* text)
{
    std::array<std::uint8_t, 16> guid{};
    ParseGuid(text, &guid);
    return guid;
}

// The disk Windows was installed on, as the clone's files still name it.
const auto kOldDisk = Guid("5d0c8b2a-1f3e-4a6b-9c8d-7e6f5a4b3c2d");
const auto kOldEsp = Guid("0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d");
const auto kOldWindows = Guid("1b2c3d4e-5f6a-4b7c-8d9e-0f1a2b3c4d5e");
const auto kOldRecovery = Guid("2c3d4e5f-6a7b-4c8d-9e0f-1a2b3c4d5e6f");
const Bytes kOtherDisk = MbrIdentity(0x0D15C000, 0x100000); // a data disk not here

BootDevice Gpt(const std::array<std::uint8_t, 16>& partition)
{
    BootDevice device;
    device.style = PartitionStyle::Gpt;
    device.disk = kOldDisk;
    device.partition = partition;
    return device;
}

BootDevice Mbr(std::uint32_t signature, std::uint64_t offset)
{
    BootDevice device;
    device.style = PartitionStyle::Mbr;
    device.signature = signature;
    device.offset = offset;
    return device;
}

Bytes Dword(std::uint32_t value)
{
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

struct Part {
    std::uint64_t start, sectors;
    const char* type; // GPT type GUID, or MBR type in hexadecimal
    const char* fs;   // "ntfs", "vfat" or ""
    std::vector<std::string> files;
};

// A clone as a table of partitions, the files each holds, the store on the
// system partition (number system) and the hive on the Windows ones.
struct CloneLayout {
    bool gpt = true;
    std::vector<Part> parts;
    int system = 1;
    std::vector<int> windows = {2};
    StoreLayout store;
    ValueList table;
};

const char* const kEspType = "C12A7328-F81F-11D2-BA4B-00A0C93EC93B";
const char* const kDataType = "EBD0A0A2-B9E5-4433-87C0-68B6B7C9A4F2";
const char* const kRecoveryType = "DE94BBA4-06D1-4D40-A16A-BFD50179D6AC";
const char* const kMsrType = "E3C9E316-0B5C-4DB8-817D-F92DF00215AE";


bool MakeClone(const fs::path& image, const CloneLayout& layout)
{
    std::string script = layout.gpt ? "label: gpt\n" : "label: dos\nlabel-id: 0x0badf00d\n";
    for (std::size_t i = 0; i < layout.parts.size(); ++i) {
        const Part& part = layout.parts[i];
        script += "start=" + std::to_string(part.start) + ", size=" + std::to_string(part.sectors) + ", type=" +
                  part.type + (!layout.gpt && int(i) + 1 == layout.system ? ", bootable" : "") + "\n";
    }
    if (!MakeImage(image, "320M", script))
        return false;
    fs::path store = image.string() + ".bcd";
    if (!MakeHiveFile(store.c_str(), SampleStoreKeys(layout.store)))
        return false;
    fs::path hive = image.string() + ".hive";
    const ValueList select = {{"Current", 4, Dword(1)}};
    if (!MakeHiveFile(hive.c_str(), {{"MountedDevices", layout.table},
                                     {"Select", select},
                                     {"ControlSet001\\Services\\storahci", {{"Start", 4, Dword(0)}}},
                                     {"ControlSet001\\Services\\stornvme", {{"Start", 4, Dword(0)}}},
                                     {"ControlSet001\\Services\\stornvme\\StartOverride", {{"0", 4, Dword(3)}}}}))
        return false;
    for (std::size_t i = 0; i < layout.parts.size(); ++i) {
        const Part& part = layout.parts[i];
        int number = static_cast<int>(i) + 1;
        std::vector<std::pair<std::string, Bytes>> files;
        for (const std::string& file : part.files)
            files.push_back({file, Bytes{'M', 'Z'}});
        if (number == layout.system)
            files.push_back({layout.store.uefi ? "/EFI/Microsoft/Boot/BCD" : "/Boot/BCD", FileBytes(store)});
        if (std::find(layout.windows.begin(), layout.windows.end(), number) != layout.windows.end())
            files.push_back({"/Windows/System32/config/SYSTEM", FileBytes(hive)});
        bool filled = true;
        if (std::string(part.fs) == "ntfs") {
            filled = FillNtfs(image, part.start, part.sectors, "Part" + std::to_string(number), files);
        } else if (std::string(part.fs) == "vfat") {
            filled = Shell(Tool("mkfs.fat") + " -F 32 -s 1 --offset " + std::to_string(part.start) + " " +
                           Quote(image) + " " + std::to_string(part.sectors / 2) + " >/dev/null 2>&1") == 0 &&
                     FillFat(image, part.start, files);
        }
        if (!filled)
            return false;
    }
    fs::remove(store);
    fs::remove(hive);
    return true;
}

// The clone most cloning tools leave: a GPT disk laid out as Windows lays
// out its own (EFI system partition, the 16 MiB Microsoft Reserved one with
// no file system, Windows, recovery), whose disk and partition GUIDs are all
// new.
CloneLayout NewGuids()
{
    CloneLayout layout;
    layout.parts = {{2048, 81920, kEspType, "vfat", SystemFiles(true)},
                  {83968, 32768, kMsrType, "", {}},
                  {116736, 163840, kDataType, "ntfs", WindowsFiles(true)},
                  {280576, 40960, kRecoveryType, "ntfs", RecoveryFiles()}};
    layout.windows = {3};
    layout.store = {.uefi = true, .system = Gpt(kOldEsp), .windows = Gpt(kOldWindows), .recovery = Gpt(kOldRecovery)};
    layout.table = {{"\\DosDevices\\C:", kRegBinary, GptIdentity(kOldWindows)},
                  {"\\??\\Volume{1b2c3d4e-5f6a-4b7c-8d9e-0f1a2b3c4d5e}", kRegBinary, GptIdentity(kOldWindows)},
                  {"\\??\\Volume{2c3d4e5f-6a7b-4c8d-9e0f-1a2b3c4d5e6f}", kRegBinary, GptIdentity(kOldRecovery)},
                  {"\\DosDevices\\F:", kRegBinary, kOtherDisk}};
    return layout;
}

// A BIOS clone on an MBR disk as the firmware tests take it: System
// Reserved (\bootmgr and the store) and Windows, moved and under a new
// signature, beside a Linux system with its own loader. The tests share its
// template, made once under one name.
CloneLayout FirmwareMbr()
{
    CloneLayout layout;
    layout.gpt = false;
    layout.parts = {{4096, 81920, "7", "ntfs", SystemFiles(false)},
                    {90112, 163840, "7", "ntfs", WindowsFiles(false)},
                    {258048, 16384, "83", "", {}}};
    layout.store = {.uefi = false, .system = Mbr(0x12345678, 0x100000), .windows = Mbr(0x12345678, 0x3200000),
                    .recovery = std::nullopt};
    layout.table = {{"\\DosDevices\\C:", kRegBinary, MbrIdentity(0x12345678, 0x3200000)}};
    layout.windows = {2};
    return layout;
}

class FixTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        templates_ = fs::temp_directory_path() / ("vosk-fix-templates-" + std::to_string(getpid()));
        fs::remove_all(templates_);
        fs::create_directories(templates_);
        if (access("/dev/fuse", R_OK | W_OK) != 0 || Shell("command -v ntfs-3g mcopy ntfscat >/dev/null") != 0)
            skip_ = "no FUSE, ntfs-3g or mtools here: the clones of the fix tests cannot be made";
    }
    static void TearDownTestSuite() { fs::remove_all(templates_); }

    void SetUp() override
    {
        if (!skip_.empty())
            GTEST_SKIP() << skip_;
        root = fs::temp_directory_path() /
               ("vosk-fix-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root / "machine/proc/self");
        std::ofstream(root / "machine/proc/self/mountinfo") << "22 1 8:2 / / rw - ext4 /dev/sda2 rw\n";
        image = root / "clone.img";
    }
    void TearDown() override { fs::remove_all(root); }

    // A copy of the clone the layout makes, made once per name.
    void Clone(const std::string& name, const std::function<CloneLayout()>& make)
    {
        fs::path made = templates_ / (name + ".img");
        if (!fs::exists(made)) {
            ASSERT_TRUE(MakeClone(made, make())) << name;
        }
        ASSERT_EQ(Shell("cp --sparse=always " + Quote(made) + " " + Quote(image)), 0);
        this->layout = make();
    }

    int Run(std::vector<std::string> args, CommitFiles* files = nullptr)
    {
        if (std::find(args.begin(), args.end(), "--disk") == args.end())
            args.insert(args.end(), {"--disk", image.string()});
        std::ostringstream o, e;
        CommitFiles plain;
        status = RunVoskarelle(args, o, e, files ? *files : plain, (root / "machine").string());
        out = o.str();
        err = e.str();
        return status;
    }

    const Part& P(int number) const { return layout.parts[static_cast<std::size_t>(number - 1)]; }
    // The command that writes bytes at a byte offset of the image.
    std::string Poke(std::uint64_t at, const std::string& bytes) const
    {
        std::string escaped;
        for (unsigned char c : bytes) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\%03o", c);
            escaped += hex;
        }
        return "printf '" + escaped + "' | dd of=" + Quote(image) + " bs=1 seek=" + std::to_string(at) +
               " conv=notrunc status=none";
    }
    // The hive of the Windows partition number, by default the first.
    Bytes Hive(int number = 0)
    {
        if (number == 0)
            number = layout.windows.front();
        return NtfsFile(image, P(number).start, P(number).sectors, "/Windows/System32/config/SYSTEM");
    }
    Bytes Store()
    {
        const Part& system = P(layout.system);
        std::string path = layout.store.uefi ? "/EFI/Microsoft/Boot/BCD" : "/Boot/BCD";
        return std::string(system.fs) == "vfat" ? FatFile(image, system.start, path)
                                                : NtfsFile(image, system.start, system.sectors, path);
    }
    ValueList Values(const Bytes& hive, const char* key)
    {
        fs::path copy = root / "copy";
        WriteBytes(copy, hive);
        ValueList values = DumpHiveKey(copy.c_str(), key).values;
        std::sort(values.begin(), values.end(), [](auto& a, auto& b) { return a.name < b.name; });
        return values;
    }
    BootDevice Element(const Bytes& store, const char* object, const char* element)
    {
        fs::path copy = root / "copy";
        WriteBytes(copy, store);
        HiveKeyDump dump =
            DumpHiveKey(copy.c_str(), (std::string("Objects\\") + object + "\\Elements\\" + element).c_str());
        return dump.values.empty() ? BootDevice{} : DecodeBootDevice(dump.values[0].data);
    }
    // The partition's GUID and the disk's, as the image holds them now.
    Identity PartitionIdentity(int number)
    {
        std::string table;
        std::FILE* pipe = popen((Tool("sfdisk") + " --dump " + Quote(image)).c_str(), "r");
        char line[512];
        while (pipe && std::fgets(line, sizeof line, pipe))
            table += line;
        if (pipe)
            pclose(pipe);
        if (!layout.gpt)
            return MbrIdentity(0x0BADF00D, P(number).start * 512);
        std::size_t at = table.find(image.string() + std::to_string(number) + " : ");
        std::size_t uuid = table.find("uuid=", at);
        std::array<std::uint8_t, 16> guid{};
        ParseGuid(table.substr(uuid + 5, 36), &guid);
        return GptIdentity(guid);
    }

    inline static fs::path templates_;
    inline static std::string skip_;
    fs::path root, image;
    CloneLayout layout;
    int status = -1;
    std::string out, err;
};

// Every entry of the store goes to the partition that holds the file it
// starts; C: goes to Windows with its volume name; the letters of other
// disks stay; the driver of the bus given is switched on; a second run
// finds nothing to change.
TEST_F(FixTest, EachEntryGoesToThePartitionHoldingItsFile)
{
    Clone("new-guids", NewGuids);
    Bytes before = FileBytes(image);
    // show says what fixes it: the move of C: onto its own volume, and fix.
    ASSERT_EQ(Run({"show", image.string() + "#3:/Windows/System32/config/SYSTEM", "--bcd",
                   image.string() + "#1:/EFI/Microsoft/Boot/BCD"}),
              0)
        << err;
    EXPECT_NE(out.find("`voskarelle move " + image.string() + "#3:/Windows/System32/config/SYSTEM C:=" +
                       image.string() + "#3` moves the clone's C: onto it"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("`voskarelle fix " + image.string() + " --disk " + image.string() + "` ties them to it"),
              std::string::npos)
        << out;
    ASSERT_EQ(Run({"fix", image.string(), "--bus", "nvme", "--dry-run", "--json"}), 0) << err;
    Json plan = Json::parse(out);
    EXPECT_EQ(plan["found"]["windows"], image.string() + "#3");
    EXPECT_EQ(plan["found"]["store"], image.string() + "#1:/EFI/Microsoft/Boot/BCD");
    EXPECT_EQ(plan["found"]["store_kind"], "UEFI");
    EXPECT_EQ(plan["found"]["bus"], "nvme");
    EXPECT_TRUE(plan["ready"]);
    EXPECT_TRUE(plan["unresolved"].empty()) << plan.dump(1);
    EXPECT_EQ(FileBytes(image), before) << "a dry run writes nothing";
    // A disk named with bytes that are no UTF-8 still gets its plan.
    fs::path odd = root / "clone\xff.img";
    fs::rename(image, odd);
    ASSERT_EQ(Run({"fix", odd.string(), "--disk", odd.string(), "--bus", "nvme", "--dry-run", "--json"}), 0) << err;
    EXPECT_EQ(Json::parse(out)["found"]["disk"], (root / "clone\xef\xbf\xbd.img").string());
    fs::rename(odd, image);

    ASSERT_EQ(Run({"fix", image.string(), "--bus", "nvme"}), 0) << err;
    Bytes store = Store();
    Identity esp = PartitionIdentity(1), windows = PartitionIdentity(3), recovery = PartitionIdentity(4);
    const struct {
        const char* object;
        const char* element;
        Identity partition;
    } rows[] = {
        {kSampleManager, "11000001", esp},          // the boot manager: bootmgfw.efi
        {kSampleLoader, "11000001", windows},       // a loader's device: winload.efi
        {kSampleLoader, "21000001", windows},       // a loader's osdevice: \Windows
        {kSampleResume, "11000001", windows},       // resume: winresume.efi
        {kSampleResume, "21000001", windows},       // its hibernation file, with it
        {kSampleMemoryTester, "11000001", esp},     // the memory tester: memtest.efi
        {kSampleRecovery, "11000001", recovery},    // the recovery ramdisk: Winre.wim
        {kSampleRecovery, "21000001", recovery},
        {kSampleRecoveryOptions, "31000003", recovery}, // the SDI device: boot.sdi
    };
    for (const auto& row : rows) {
        BootDevice device = Element(store, row.object, row.element);
        EXPECT_EQ(BootDeviceIdentity(device), row.partition) << row.object << " " << row.element;
        EXPECT_NE(device.disk, kOldDisk) << row.object << " " << row.element << ": the clone's disk";
    }
    EXPECT_EQ(Element(store, kSampleRecovery, "11000001").path, "\\Recovery\\WindowsRE\\Winre.wim");
    ValueList table = Values(Hive(), "MountedDevices");
    EXPECT_EQ(FindValue(table, "\\DosDevices\\C:")->data, windows);
    EXPECT_EQ(FindValue(table, "\\??\\Volume{1b2c3d4e-5f6a-4b7c-8d9e-0f1a2b3c4d5e}")->data, windows);
    EXPECT_EQ(FindValue(table, "\\??\\Volume{2c3d4e5f-6a7b-4c8d-9e0f-1a2b3c4d5e6f}")->data, recovery);
    EXPECT_EQ(FindValue(table, "\\DosDevices\\F:")->data, kOtherDisk) << "another disk's letter stays";
    EXPECT_EQ(Values(Hive(), "ControlSet001\\Services\\stornvme\\StartOverride")[0].data, Dword(0));

    Bytes fixed = FileBytes(image);
    ASSERT_EQ(Run({"fix", image.string(), "--bus", "nvme"}), 0) << err;
    EXPECT_NE(out.find("Nothing to change"), std::string::npos) << out;
    EXPECT_EQ(FileBytes(image), fixed) << "a second run writes nothing";
}

// fix on a VM image plans and writes what it does on the raw image, and a
// second run finds nothing left to change.
TEST_F(FixTest, OnAVmImageFixWritesWhatItWritesOnTheRawImage)
{
    if (Shell("command -v qemu-nbd qemu-img >/dev/null") != 0)
        GTEST_SKIP() << "qemu-nbd and qemu-img are not installed (Debian package qemu-utils)";
    Clone("new-guids", NewGuids);
    fs::path raw = image;
    for (const char* format : {"qcow2", "vhdx"})
        ASSERT_TRUE(ToVmImage(raw, format, root / (std::string("clone.") + format)));
    ASSERT_EQ(Run({"fix", raw.string(), "--bus", "nvme", "--no-backup"}), 0) << err;
    std::string rawSaid = out;
    Bytes hive = Hive(), store = Store();
    for (const char* format : {"qcow2", "vhdx"}) {
        SCOPED_TRACE(format);
        std::string vm = (root / (std::string("clone.") + format)).string();
        ASSERT_EQ(Run({"fix", vm, "--bus", "nvme", "--no-backup", "--disk", vm}), 0) << err;
        for (std::size_t at; (at = out.find(vm)) != std::string::npos;)
            out.replace(at, vm.size(), raw.string());
        EXPECT_EQ(out, rawSaid);
        ASSERT_EQ(Run({"fix", vm, "--bus", "nvme", "--disk", vm}), 0) << err;
        EXPECT_NE(out.find("Nothing to change"), std::string::npos) << out;
        image = root / "back.img";
        ASSERT_TRUE(ToRawImage(vm, image));
        EXPECT_EQ(Hive(), hive);
        EXPECT_EQ(Store(), store);
        image = raw;
    }
}

// show's suggestion first, then fix: C:, already on Windows, stays, and no
// volume gets two letters.
TEST_F(FixTest, AfterTheSuggestedMoveFixKeepsC)
{
    Clone("new-guids", NewGuids);
    std::string hive = image.string() + "#3:/Windows/System32/config/SYSTEM";
    ASSERT_EQ(Run({"move", hive, "C:=" + image.string() + "#3", "--no-backup"}), 0) << err;
    ASSERT_EQ(Run({"fix", image.string(), "--no-backup"}), 0) << err;
    EXPECT_EQ(out.find("-> none"), std::string::npos) << out;
    ValueList table = Values(Hive(), "MountedDevices");
    ASSERT_NE(FindValue(table, "\\DosDevices\\C:"), nullptr);
    EXPECT_EQ(FindValue(table, "\\DosDevices\\C:")->data, PartitionIdentity(3));
    EXPECT_EQ(BootDeviceIdentity(Element(Store(), kSampleLoader, "21000001")), PartitionIdentity(3));
    std::map<Identity, int> letters;
    for (const RegValue& value : table) {
        if (value.name.starts_with("\\DosDevices\\")) {
            EXPECT_EQ(++letters[value.data], 1) << value.name << ": one volume, one letter";
        }
    }
}

// A BIOS clone on an MBR disk whose partitions moved and whose signature
// changed: the boot manager, which names no path, goes to the partition
// holding the store.
TEST_F(FixTest, AnMbrCloneWhosePartitionsMovedAndSignatureChanged)
{
    Clone("mbr", [] {
        CloneLayout layout;
        layout.gpt = false;
        layout.parts = {{4096, 81920, "7", "ntfs", SystemFiles(false)},
                      {90112, 163840, "7", "ntfs", WindowsFiles(false)}};
        layout.store = {.uefi = false, .system = Mbr(0x12345678, 0x100000), .windows = Mbr(0x12345678, 0x3200000),
                      .recovery = std::nullopt};
        layout.table = {{"\\DosDevices\\C:", kRegBinary, MbrIdentity(0x12345678, 0x3200000)},
                      {"\\DosDevices\\D:", kRegBinary, MbrIdentity(0x12345678, 0x100000)},
                      {"\\DosDevices\\F:", kRegBinary, kOtherDisk}};
        return layout;
    });
    ASSERT_EQ(Run({"fix", image.string()}), 0) << err;
    EXPECT_NE(out.find("Bus: not checked"), std::string::npos) << "an image tells no bus: " << out;
    Bytes store = Store();
    Identity system = MbrIdentity(0x0BADF00D, 4096 * 512), windows = MbrIdentity(0x0BADF00D, 90112 * 512);
    EXPECT_EQ(BootDeviceIdentity(Element(store, kSampleManager, "11000001")), system);
    EXPECT_EQ(BootDeviceIdentity(Element(store, kSampleLoader, "21000001")), windows);
    EXPECT_EQ(BootDeviceIdentity(Element(store, kSampleMemoryTester, "11000001")), system);
    ValueList table = Values(Hive(), "MountedDevices");
    EXPECT_EQ(FindValue(table, "\\DosDevices\\C:")->data, windows);
    EXPECT_EQ(FindValue(table, "\\DosDevices\\D:")->data, system) << "follows its partition";
    EXPECT_EQ(FindValue(table, "\\DosDevices\\F:")->data, kOtherDisk);
}

// Without its recovery partition, the recovery environment cannot be tied:
// left as it is with a warning, and the rest repaired.
TEST_F(FixTest, ACloneWithoutItsRecoveryPartition)
{
    Clone("no-recovery", [] {
        CloneLayout layout = NewGuids();
        layout.parts.pop_back();
        return layout;
    });
    ASSERT_EQ(Run({"fix", image.string(), "--json"}), 0) << err;
    Json plan = Json::parse(out);
    ASSERT_EQ(plan["unresolved"].size(), 3u) << plan.dump(1);
    for (const Json& item : plan["unresolved"]) {
        EXPECT_FALSE(item["refuses"]);
        EXPECT_NE(item["why"].get<std::string>().find("no partition of"), std::string::npos) << item;
    }
    EXPECT_TRUE(plan["ready"]);
    Bytes store = Store();
    EXPECT_EQ(Element(store, kSampleRecovery, "11000001").partition, kOldRecovery) << "left as it is";
    EXPECT_EQ(BootDeviceIdentity(Element(store, kSampleLoader, "21000001")), PartitionIdentity(3));
}

// A BitLocker Windows unlocked and mounted (its volume stacked on the
// loop device of its partition) is repaired through that mount; a change of
// the store it starts from still takes --force-bitlocker.
TEST_F(FixTest, AnUnlockedBitLockerWindowsIsRepairedThroughItsMount)
{
    Clone("new-guids", NewGuids);
    fs::path mount = root / "unlocked";
    for (const std::string& file : WindowsFiles(true)) {
        fs::create_directories((mount / file.substr(1)).parent_path());
        WriteBytes(mount / file.substr(1), Bytes{'M', 'Z'});
    }
    fs::create_directories(mount / "Windows/System32/config");
    WriteBytes(mount / "Windows/System32/config/SYSTEM", Hive());
    MakeBitLocker(image.string(), P(3).start * 512);
    fs::path loop = root / "machine/sys/block/loop3";
    fs::create_directories(loop / "loop");
    fs::create_directories(loop / "holders/dm-0");
    std::ofstream(loop / "loop/backing_file") << image.string() << "\n";
    std::ofstream(loop / "loop/offset") << P(3).start * 512 << "\n";
    std::ofstream(loop / "dev") << "7:3\n";
    // The unlocked volume's number is the folder's own, as a mount there has.
    struct stat st;
    ASSERT_EQ(stat(mount.c_str(), &st), 0);
    std::string number = std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
    std::ofstream(loop / "holders/dm-0/dev") << number << "\n";
    std::ofstream(root / "machine/proc/self/mountinfo")
        << "22 1 8:2 / / rw - ext4 /dev/sda2 rw\n"
        << "40 22 " << number << " / " << mount.string() << " rw - ntfs3 /dev/mapper/windows rw\n";
    EXPECT_EQ(Run({"fix", image.string()}), 1);
    EXPECT_NE(err.find("recovery key at the next start"), std::string::npos) << err;
    ASSERT_EQ(Run({"fix", image.string(), "--force-bitlocker"}), 0) << err;
    ValueList table = Values(FileBytes(mount / "Windows/System32/config/SYSTEM"), "MountedDevices");
    ASSERT_NE(FindValue(table, "\\DosDevices\\C:"), nullptr);
    EXPECT_EQ(FindValue(table, "\\DosDevices\\C:")->data, PartitionIdentity(3));
    EXPECT_EQ(BootDeviceIdentity(Element(Store(), kSampleLoader, "21000001")), PartitionIdentity(3));
}

// Two Windows: the one the store's default loader names on the disk, or
// --windows; otherwise a refusal that says how to pick.
TEST_F(FixTest, TwoInstallations)
{
    Clone("two", [] {
        CloneLayout layout = NewGuids();
        layout.parts.push_back({321536, 40960, kDataType, "ntfs", WindowsFiles(true)});
        layout.windows = {3, 5};
        return layout;
    });
    Bytes before = FileBytes(image), other = Hive(3);
    EXPECT_EQ(Run({"fix", image.string()}), 1);
    EXPECT_NE(err.find("--windows " + image.string() + "#3"), std::string::npos) << err;
    EXPECT_NE(err.find("--windows " + image.string() + "#5"), std::string::npos) << err;
    EXPECT_EQ(FileBytes(image), before);
    ASSERT_EQ(Run({"fix", image.string(), "--windows", image.string() + "#5"}), 0) << err;
    ValueList table = Values(Hive(5), "MountedDevices");
    EXPECT_EQ(FindValue(table, "\\DosDevices\\C:")->data, PartitionIdentity(5));
    EXPECT_EQ(Hive(3), other) << "the other one is not changed";
    // The default loader now names #5 on the disk: chosen without asking.
    ASSERT_EQ(Run({"fix", image.string()}), 0) << err;
    EXPECT_NE(out.find("Windows: " + image.string() + "#5"), std::string::npos) << out;
}

// Each refusal is one line, exit status 1, and the image byte-identical.
TEST_F(FixTest, RefusalsLeaveTheImageByteIdentical)
{
    Clone("new-guids", NewGuids);
    fs::path clean = root / "clean.img";
    ASSERT_EQ(Shell("cp --sparse=always " + Quote(image) + " " + Quote(clean)), 0);
    auto ntfs = [&](int number, const std::vector<std::pair<std::string, Bytes>>& files) {
        fs::path part = Extract(image, P(number).start, P(number).sectors, root / "part");
        WithNtfs(part, [&](const fs::path& mount) {
            for (const auto& [path, bytes] : files) {
                if (bytes.empty())
                    fs::remove(mount / path);
                else
                    WriteBytes(mount / path, bytes);
            }
        });
        PutBackPartition(image, P(number).start, part);
    };
    Bytes hibr(8192, 0);
    std::memcpy(hibr.data(), "hibr", 4);
    struct Case {
        const char* what;
        std::function<void()> make;
        std::vector<std::string> args;
        const char* says;
    };
    const std::vector<Case> cases = {
        {"hibernated", [&] { ntfs(3, {{"hiberfil.sys", hibr}}); }, {}, "hibernation or with Fast Startup"},
        {"hibernated, a dry run", [&] { ntfs(3, {{"hiberfil.sys", hibr}}); }, {"--dry-run", "--json"},
         "hibernation or with Fast Startup"},
        {"a dirty hive without its logs",
         [&] {
             Bytes hive = Hive();
             PutLe32(hive, 4, Le32(hive, 8) + 1);
             PutLe32(hive, 0x1FC, BaseBlockChecksum(hive));
             ntfs(3, {{"Windows/System32/config/SYSTEM", hive}});
         },
         {}, "no log"},
        {"no Windows", [&] { ntfs(3, {{"Windows/System32/config/SYSTEM", {}}}); }, {}, "no Windows on"},
        {"the boot manager's file missing",
         [&] { Shell("MTOOLS_SKIP_CHECK=1 mdel -i " + Quote(image.string() + "@@" + std::to_string(P(1).start * 512)) +
                     " ::/EFI/Microsoft/Boot/bootmgfw.efi"); },
         {}, "boot manager \"Windows Boot Manager\" device: no partition of"},
        {"a bus this Windows has no driver for", [] {}, {"--bus", "virtio"}, "without --bus, fix repairs the rest"},
        {"a BitLocker Windows", [&] { MakeBitLocker(image.string(), P(3).start * 512); },
         {}, "is a BitLocker volume"},
        {"no partition table", [&] { fs::resize_file(image, 0); fs::resize_file(image, 1 << 20); }, {},
         "has no partition table"},
        {"a disk that cannot be read", [&] { fs::remove(image); fs::create_directory(image); }, {}, "cannot read"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(image);
        ASSERT_EQ(Shell("cp --sparse=always " + Quote(clean) + " " + Quote(image)), 0);
        c.make();
        Bytes before = fs::is_regular_file(image) ? FileBytes(image) : Bytes{};
        std::vector<std::string> args = {"fix", image.string()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        EXPECT_EQ(Run(args), 1) << out;
        EXPECT_TRUE(err.starts_with("voskarelle: ") && std::count(err.begin(), err.end(), '\n') == 1) << err;
        EXPECT_NE(err.find(c.says), std::string::npos) << err;
        if (fs::is_regular_file(image)) {
            EXPECT_EQ(FileBytes(image), before);
        }
    }
}

// Beside Windows' own layout, a partition of each kind a real disk carries:
// only one that may hold Windows' files (NTFS, FAT, BitLocker, even
// damaged) can stop a tie; the reserved partition, an empty one and other
// systems' never do.
TEST_F(FixTest, OnlyAPartitionThatMayHoldWindowsFilesStopsATie)
{
    Clone("beside", [] {
        CloneLayout layout = NewGuids();
        layout.parts.push_back({321536, 40960, kDataType, "", {}});
        return layout;
    });
    fs::path clean = root / "clean.img";
    ASSERT_EQ(Shell("cp --sparse=always " + Quote(image) + " " + Quote(clean)), 0);
    const Part& extra = P(5);
    // The partition's bytes made by a tool of that system, put in place.
    auto made = [&](const std::string& tool) {
        fs::path part = root / "part";
        fs::remove(part);
        Shell("truncate -s " + std::to_string(extra.sectors * 512) + " " + Quote(part));
        ASSERT_EQ(Shell(tool + " " + Quote(part) + " >/dev/null 2>&1"), 0) << tool;
        PutBackPartition(image, extra.start, part);
    };
    auto patch = [&](std::uint64_t at, const Bytes& bytes) {
        std::fstream file(image, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(static_cast<std::streamoff>(extra.start * 512 + at));
        file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    };
    auto ntfs = [&] { ASSERT_TRUE(FillNtfs(image, extra.start, extra.sectors, "Data", {{"/data.txt", {'x'}}})); };
    const struct {
        const char* kind;
        std::function<void()> make;
        bool stops; // fix refuses: the partition may hold a file and cannot be read
    } rows[] = {
        {"the reserved partition beside an empty one", [] {}, false},
        {"ext4", [&] { made(Tool("mkfs.ext4") + " -q -F"); }, false},
        {"swap", [&] { made(Tool("mkswap")); }, false},
        {"a LUKS header", [&] { patch(0, {'L', 'U', 'K', 'S', 0xBA, 0xBE, 0, 1}); }, false},
        {"NTFS whose boot sector is damaged", [&] { ntfs(); patch(0x0B, {0, 0}); }, true},
        {"NTFS whose boot sector is gone, its backup kept", [&] { ntfs(); patch(0, Bytes(512, 0)); }, true},
        {"a locked BitLocker volume", [&] { MakeBitLocker(image.string(), extra.start * 512); }, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.kind);
        ASSERT_EQ(Shell("cp --sparse=always " + Quote(clean) + " " + Quote(image)), 0);
        row.make();
        Bytes before = FileBytes(image);
        Run({"fix", image.string(), "--bus", "nvme", "--dry-run", "--json"});
        if (row.stops) {
            EXPECT_EQ(status, 1) << out;
            EXPECT_NE(err.find("that may hold \\Windows\\system32\\winload.efi cannot be read (" + image.string() +
                               "#5"),
                      std::string::npos)
                << err;
        } else {
            ASSERT_EQ(status, 0) << err;
            Json plan = Json::parse(out);
            EXPECT_TRUE(plan["ready"]);
            EXPECT_TRUE(plan["unresolved"].empty()) << plan.dump(1);
            EXPECT_EQ(plan["found"]["windows"], image.string() + "#3");
        }
        EXPECT_EQ(FileBytes(image), before);
    }
}

// A clone whose store is gone does not start: not ready, and a store left
// under our name by a stopped run is named.
TEST_F(FixTest, ACloneWithoutItsStoreIsNotReady)
{
    Clone("new-guids", NewGuids);
    std::string esp = Quote(image.string() + "@@" + std::to_string(P(1).start * 512));
    const struct {
        const char* what;
        std::string command; // on the EFI system partition
        const char* says;
    } rows[] = {
        {"deleted", "mdel -i " + esp + " ::/EFI/Microsoft/Boot/BCD", "so it does not start"},
        {"left under our name", "mren -i " + esp + " ::/EFI/Microsoft/Boot/BCD ::/EFI/Microsoft/Boot/.BCD.voskarelle-old",
         "#1:/EFI/Microsoft/Boot/.BCD.voskarelle-old may be the store"},
    };
    fs::path clean = root / "clean.img";
    ASSERT_EQ(Shell("cp --sparse=always " + Quote(image) + " " + Quote(clean)), 0);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(Shell("cp --sparse=always " + Quote(clean) + " " + Quote(image)), 0);
        ASSERT_EQ(Shell("MTOOLS_SKIP_CHECK=1 " + row.command), 0);
        Bytes before = FileBytes(image);
        for (std::vector<std::string> args : {std::vector<std::string>{"--dry-run", "--json"}, {}}) {
            args.insert(args.begin(), {"fix", image.string(), "--bus", "nvme"});
            EXPECT_EQ(Run(args), 1) << out;
            EXPECT_NE(err.find(row.says), std::string::npos) << err;
        }
        EXPECT_EQ(FileBytes(image), before);
    }
}

// The store fails to replace its original after the hive did: the hive is
// put back, and both are as they were.
TEST_F(FixTest, AFailedStoreReplacementPutsTheHiveBack)
{
    Clone("new-guids", NewGuids);
    Bytes hive = Hive(), store = Store();
    // The rename that puts the new store in place fails once, or always
    // (then the original cannot be put back under its name either).
    class FailStoreRename final : public CommitFiles {
    public:
        explicit FailStoreRename(bool always) : always_(always) {}
        ChildResult Run(const std::vector<std::string>& argv,
                        const std::vector<std::pair<std::string, std::string>>& environment) override
        {
            if (argv[0] == "mren" && argv.back() == "::/EFI/Microsoft/Boot/BCD" && (always_ || !failed_++)) {
                ChildResult failed;
                failed.started = true;
                failed.status = 1;
                failed.errors = "mren: failure injected";
                return failed;
            }
            return CommitFiles::Run(argv, environment);
        }

    private:
        bool always_;
        int failed_ = 0;
    };
    FailStoreRename once(false);
    EXPECT_EQ(Run({"fix", image.string(), "--no-backup"}, &once), 1);
    EXPECT_NE(err.find("was put back as it was"), std::string::npos) << err;
    EXPECT_EQ(Hive(), hive);
    EXPECT_EQ(Store(), store);
    EXPECT_EQ(NtfsFolder(image, P(3).start, P(3).sectors, "/Windows/System32/config"),
              std::vector<std::string>{"SYSTEM"});

    // Never reported as nothing changed when it is not so: what is where,
    // and the backups kept.
    FailStoreRename always(true);
    EXPECT_EQ(Run({"fix", image.string(), "--no-backup"}, &always), 1);
    EXPECT_EQ(err.find("nothing was changed"), std::string::npos) << err;
    EXPECT_NE(err.find("is kept as " + image.string() + "#1:/EFI/Microsoft/Boot/.BCD.voskarelle-old"),
              std::string::npos)
        << err;
    EXPECT_EQ(FatFile(image, P(1).start, "/EFI/Microsoft/Boot/.BCD.voskarelle-old"), store);
    EXPECT_EQ(Hive(), hive) << "the hive was put back";
}

// What stops a clone before its boot manager runs is named, each fault on a
// disk that is otherwise as the firmware needs it; what fix can write is
// written with a backup that puts it back, the rest of each sector kept,
// and a second run writes nothing.
TEST_F(FixTest, WhatTheFirmwareNeedsBelowTheStoreIsRepaired)
{
    const std::uint64_t vbr1 = 4096 * 512, vbr2 = 90112 * 512;
    // The boot sectors and their NTFS backups, each volume's last sector.
    const std::uint64_t boots[] = {vbr1, vbr1 + 81919 * 512, vbr2, vbr2 + 163839 * 512};
    auto start = [](std::uint64_t at) { return at < 90112 * 512 ? "\x00\x10\x00\x00" : "\x00\x60\x01\x00"; };
    // The MBR clone as a BIOS starts it: boot code, #1 active, hidden sectors right.
    std::string sound = Poke(0, "\xEB");
    for (std::uint64_t at : boots)
        sound += " && " + Poke(at + 0x1C, std::string(start(at), 4));
    std::string esp = Quote(image.string() + "@@" + std::to_string(2048 * 512));
    const struct {
        const char* what;
        bool gpt;
        std::string command;
        const char* step;
        std::string where; // "" for the disk
        const char* needs; // nullptr: as the firmware needs it
        bool kept;
        bool written;     // fix repairs it
        bool fat = false; // on the MBR clone whose system partition is FAT32
    } rows[] = {
        {"sound MBR", false, "true", "boot code", "", nullptr, false, false},
        {"sound MBR", false, "true", "active partition", "", nullptr, false, false},
        {"sound MBR", false, "true", "hidden sectors", "#1", nullptr, false, false},
        {"no boot code", false, "dd if=/dev/zero of=" + Quote(image) + " bs=1 count=440 conv=notrunc status=none",
         "boot code", "", "standard MBR boot program", false, true},
        {"no partition active", false, Poke(446, std::string(1, '\0')), "active partition", "", "0x80 on", false,
         true},
        {"the data volume active", false, Poke(446, std::string(1, '\0')) + " && " + Poke(462, "\x80"),
         "active partition", "", "which holds \\bootmgr", false, true},
        {"another system's loader active", false,
         Poke(446, std::string(1, '\0')) + " && " + Poke(478, "\x80") + " && " +
             Poke(258048 * 512, "\xEB\x63\x90GRUB"),
         "active partition", "", "kept", true, false},
        {"two partitions active", false, Poke(462, "\x80"), "active partition", "", "alone", false, true},
        {"the old start in the boot sector and its backup", false,
         Poke(vbr1 + 0x1C, std::string("\x3F\x00\x00\x00", 4)) + " && " +
             Poke(boots[1] + 0x1C, std::string("\x3F\x00\x00\x00", 4)),
         "hidden sectors", "#1", "4096", false, true},
        {"the old start in the backup boot sector alone", false,
         Poke(boots[1] + 0x1C, std::string("\x3F\x00\x00\x00", 4)), "hidden sectors", "#1", "backup boot sector",
         false, true},
        {"a FAT32 system partition's old start, in its boot sector and its backup", false,
         Poke(vbr1 + 0x1C, std::string("\x3F\x00\x00\x00", 4)) + " && " +
             Poke(vbr1 + 6 * 512 + 0x1C, std::string("\x3F\x00\x00\x00", 4)),
         "hidden sectors", "#1", "and its backup (sector 6", false, true, true},
        {"the data volume's old start", false, Poke(vbr2 + 0x1C, std::string("\x3F\x00\x00\x00", 4)),
         "hidden sectors", "#2", "90112", false, true},
        {"no fallback loader", true, "mdel -i " + esp + " ::/EFI/Boot/bootx64.efi", "fallback loader", "#1",
         "a copy of", false, true},
        {"no fallback folder", true, "mdeltree -i " + esp + " ::/EFI/Boot", "fallback loader", "#1", "a copy of",
         false, true},
        {"the boot manager's copy", true, "true", "fallback loader", "#1", nullptr, false, false},
        {"another loader there", true,
         "printf GRUB > " + Quote(root / "grub") + " && mcopy -o -i " + esp + " " + Quote(root / "grub") +
             " ::/EFI/Boot/bootx64.efi",
         "fallback loader", "#1", "kept", true, false},
        {"the ESP typed basic data", true,
         Tool("sfdisk") + " -q --part-type " + Quote(image) + " 1 " + kDataType + " >/dev/null 2>&1",
         "EFI system partition type", "#1", "C12A7328", false, true},
        {"sound GPT", true, "true", "backup GPT", "", nullptr, false, false},
        {"a larger disk", true, "truncate -s +8M " + Quote(image), "backup GPT", "", "at the disk's end", false,
         true},
    };
    auto stepOf = [&](const std::string& json, const auto& row) -> Json {
        Json doc = Json::parse(json);
        for (const Json& step : doc["firmware"])
            if (step["step"] == row.step && step["where"] == image.string() + row.where)
                return step;
        return nullptr;
    };
    // Each byte a repair may not change, as it was.
    auto kept = [&](const Bytes& was, const Bytes& now, bool gpt, bool code) {
        if (gpt) {
            // The protective MBR but for its size.
            for (std::size_t i = 0; i < 512; ++i)
                if ((i < 446 + 12 || i >= 446 + 16) && was[i] != now[i])
                    return false;
            return true;
        }
        for (std::size_t i = code ? 440 : 0; i < 512; ++i)
            if ((i < 446 || i >= 510 || (i - 446) % 16 != 0) && was[i] != now[i])
                return false;
        for (std::uint64_t at : boots)
            for (std::uint64_t i = at; i < at + 512; ++i)
                if ((i < at + 0x1C || i >= at + 0x20) && was[i] != now[i])
                    return false;
        return true;
    };
    auto Table = [](const fs::path& disk) {
        std::string dump;
        std::FILE* pipe = popen((Tool("sfdisk") + " --dump " + Quote(disk) + " 2>/dev/null").c_str(), "r");
        char line[512];
        while (pipe && std::fgets(line, sizeof line, pipe))
            if (std::strncmp(line, "last-lba:", 9) != 0)
                dump += line;
        if (pipe)
            pclose(pipe);
        for (std::size_t at; (at = dump.find(disk.string())) != std::string::npos;)
            dump.replace(at, disk.string().size(), "DISK");
        return dump;
    };
    Bytes program = FileBytes("/usr/lib/syslinux/mbr/mbr.bin");
    fs::path gptClean = root / "gpt.img", mbrClean = root / "mbr.img";
    Clone("new-guids", NewGuids);
    ASSERT_EQ(Shell("cp --sparse=always " + Quote(image) + " " + Quote(gptClean)), 0);
    fs::path fatClean = root / "mbr-fat.img";
    Clone("firmware-mbr-fat", [&] {
        CloneLayout layout = FirmwareMbr();
        layout.parts[0].fs = "vfat";
        return layout;
    });
    ASSERT_EQ(Shell(Poke(0, "\xEB")), 0);
    ASSERT_EQ(Shell("cp --sparse=always " + Quote(image) + " " + Quote(fatClean)), 0);
    Clone("firmware-mbr", FirmwareMbr);
    ASSERT_EQ(Shell(sound), 0);
    ASSERT_EQ(Shell("cp --sparse=always " + Quote(image) + " " + Quote(mbrClean)), 0);
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.what) + ": " + row.step);
        ASSERT_EQ(Shell("cp --sparse=always " + Quote(row.gpt ? gptClean : row.fat ? fatClean : mbrClean) + " " +
                        Quote(image)),
                  0);
        ASSERT_EQ(Shell("MTOOLS_SKIP_CHECK=1 " + row.command), 0);
        Bytes before = FileBytes(image);
        ASSERT_EQ(Run({"fix", image.string(), "--dry-run", "--json"}), 0) << err;
        Json found = stepOf(out, row);
        ASSERT_FALSE(found.is_null()) << out;
        if (row.needs == nullptr) {
            EXPECT_TRUE(found["needs"].is_null()) << found;
        } else {
            ASSERT_TRUE(found["needs"].is_string()) << found;
            EXPECT_NE(found["needs"].get<std::string>().find(row.needs), std::string::npos) << found;
        }
        EXPECT_EQ(found["kept"], row.kept) << found;
        bool named = std::string(err + out).find("the firmware's " + std::string(row.step)) != std::string::npos;
        EXPECT_EQ(named, row.needs != nullptr && !row.kept && !row.written) << out;
        EXPECT_EQ(FileBytes(image), before) << "a dry run writes nothing";
        if (!row.written)
            continue;

        ASSERT_EQ(Run({"fix", image.string()}), 0) << err;
        std::string said = out;
        ASSERT_EQ(Run({"fix", image.string(), "--dry-run", "--json"}), 0) << err;
        EXPECT_TRUE(stepOf(out, row)["needs"].is_null()) << out;
        Bytes fixed = FileBytes(image);
        EXPECT_TRUE(kept(before, fixed, row.gpt, std::string(row.step) == "boot code"))
            << "a byte beside the repair changed";
        if (row.fat) {
            for (std::uint64_t at : {vbr1, vbr1 + 6 * 512})
                EXPECT_EQ(Le32(fixed, at + 0x1C), 4096u) << "FAT boot sector at " << at;
        } else if (!row.gpt) {
            for (std::uint64_t at : boots)
                EXPECT_EQ(Le32(fixed, at + 0x1C), Le32(Bytes(start(at), start(at) + 4), 0)) << "boot sector at " << at;
        }
        if (std::string(row.step) == "boot code") {
            ASSERT_FALSE(program.empty());
            Bytes code(fixed.begin(), fixed.begin() + 440);
            Bytes expected = program;
            expected.resize(440, 0);
            EXPECT_EQ(code, expected);
        }
        if (std::string(row.step) == "fallback loader") {
            EXPECT_EQ(FatFile(image, 2048, "/EFI/Boot/bootx64.efi"),
                      FatFile(image, 2048, "/EFI/Microsoft/Boot/bootmgfw.efi"));
        }
        if (row.gpt) {
            // The table as it was before the fault, but for the disk's end:
            // every partition, GUID, name and attribute.
            EXPECT_EQ(Shell(Tool("sfdisk") + " -q --verify " + Quote(image) + " >/dev/null 2>&1"), 0);
            EXPECT_EQ(Table(image), Table(gptClean));
        }
        ASSERT_EQ(Run({"fix", image.string()}), 0) << err;
        EXPECT_EQ(FileBytes(image), fixed) << "a second run writes nothing: " << out;
        if (std::string(row.step) == "fallback loader")
            continue;
        // The backup beside the image puts each sector back as it was.
        std::istringstream lines(said);
        std::string line;
        int restored = 0;
        while (std::getline(lines, line))
            if (line.rfind("  put back: ", 0) == 0) {
                EXPECT_EQ(Shell(line.substr(12) + " status=none"), 0) << line;
                ++restored;
            }
        EXPECT_GT(restored, 0) << said;
        ASSERT_EQ(Run({"fix", image.string(), "--dry-run", "--json"}), 0) << err;
        EXPECT_EQ(stepOf(out, row)["needs"], found["needs"]) << "put back, the fault is there again";
    }

    // A flag of 01-7F hides the whole table: it is cleared first, and the
    // rest planned once the table reads.
    ASSERT_EQ(Shell("cp --sparse=always " + Quote(mbrClean) + " " + Quote(image) + " && " + Poke(462, "\x01")), 0);
    Bytes hidden = FileBytes(image);
    EXPECT_EQ(Run({"fix", image.string(), "--dry-run"}), 1);
    EXPECT_NE(err.find("entry 2 0x01"), std::string::npos) << err;
    EXPECT_EQ(FileBytes(image), hidden);
    ASSERT_EQ(Run({"fix", image.string()}), 0) << err;
    Bytes flagged = FileBytes(image);
    EXPECT_EQ(flagged[446], 0x80);
    EXPECT_EQ(flagged[462], 0x00);
    ASSERT_EQ(Run({"fix", image.string(), "--dry-run", "--json"}), 0) << err;
    {
        Json doc = Json::parse(out);
        for (const Json& step : doc["firmware"])
            EXPECT_TRUE(step["needs"].is_null() || step["kept"] == true) << step;
    }

    // The same through a VM image: faults of each table in a qcow2.
    const struct {
        fs::path clean;
        std::string faults;
    } images[] = {
        {mbrClean, "dd if=/dev/zero of=" + Quote(image) + " bs=1 count=440 conv=notrunc status=none && " +
                       Poke(vbr1 + 0x1C, std::string("\x3F\x00\x00\x00", 4))},
        {gptClean, "mdel -i " + esp + " ::/EFI/Boot/bootx64.efi && " + Tool("sfdisk") + " -q --part-type " +
                       Quote(image) + " 1 " + kDataType + " >/dev/null 2>&1 && truncate -s +8M " + Quote(image)},
    };
    fs::path qcow2 = root / "clone.qcow2";
    for (const auto& vm : images) {
        SCOPED_TRACE(vm.clean.filename().string() + " as qcow2");
        ASSERT_EQ(Shell("cp --sparse=always " + Quote(vm.clean) + " " + Quote(image) + " && MTOOLS_SKIP_CHECK=1 " +
                        vm.faults + " && qemu-img convert -O qcow2 " + Quote(image) + " " + Quote(qcow2)),
                  0);
        ASSERT_EQ(Run({"fix", qcow2.string(), "--disk", qcow2.string()}), 0) << err;
        std::string said = out;
        ASSERT_EQ(Shell("qemu-img convert -O raw " + Quote(qcow2) + " " + Quote(image)), 0);
        ASSERT_EQ(Run({"fix", image.string(), "--dry-run", "--json"}), 0) << err;
        Json doc = Json::parse(out);
        for (const Json& step : doc["firmware"])
            EXPECT_TRUE(step["needs"].is_null() || step["kept"] == true) << step;
        // The qemu-io lines put the old sectors back into the image.
        std::istringstream lines(said);
        std::string line;
        while (std::getline(lines, line))
            if (line.rfind("  put back: ", 0) == 0) {
                EXPECT_EQ(Shell(line.substr(12) + " >/dev/null"), 0) << line;
            }
        ASSERT_EQ(Shell("qemu-img convert -O raw " + Quote(qcow2) + " " + Quote(image)), 0);
        ASSERT_EQ(Run({"fix", image.string(), "--dry-run", "--json"}), 0) << err;
        doc = Json::parse(out);
        bool faulty = false;
        for (const Json& step : doc["firmware"])
            faulty = faulty || (step["needs"].is_string() && step["step"] != "fallback loader");
        EXPECT_TRUE(faulty) << "put back, the sectors' faults are there again: " << said;
    }
}

// The repaired clone starts from its firmware, SeaBIOS or OVMF with no boot
// entry, and what the owner chose still starts; unrepaired, it does not.
TEST_F(FixTest, TheRepairedCloneStarts)
{
    if (Shell("command -v qemu-system-x86_64 as ld x86_64-w64-mingw32-gcc >/dev/null && test -r "
              "/usr/share/OVMF/OVMF_CODE_4M.fd") != 0)
        GTEST_SKIP() << "no qemu-system-x86, OVMF, binutils or mingw-w64 here";
    fs::path stands = root / "stand-ins";
    fs::create_directories(stands);
    // The stand-ins for what the firmware starts (tests/standins): each
    // says on the serial port what started and ends the machine through
    // isa-debug-exit.
    const fs::path sources = VOSK_STANDINS_DIR;
    auto build = [&](const std::string& command) {
        return Shell("cd " + Quote(stands) + " && " + command + " >/dev/null 2>&1");
    };
    ASSERT_EQ(build("as --32 -o vbr.o " + Quote(sources / "boot_sector.S") +
                    " && ld -m elf_i386 -Ttext=0x7c54 --oformat=binary -o vbr.bin vbr.o"),
              0);
    ASSERT_EQ(build("as --32 -o other.o " + Quote(sources / "other_loader.S") +
                    " && ld -m elf_i386 -Ttext=0x7c65 --oformat=binary -o other.bin other.o"),
              0);
    const std::string efi = "x86_64-w64-mingw32-gcc -O2 -ffreestanding -fno-stack-protector -mno-red-zone -nostdlib "
                            "-shared -Wl,--subsystem,10 -e efi_main";
    std::string app = Quote(sources / "uefi_app.c");
    ASSERT_EQ(build(efi + " -DMESSAGE='\"STARTED WINDOWS\\r\\n\"' -o manager.efi " + app + " && " + efi +
                    " -DMESSAGE='\"STARTED OTHER\\r\\n\"' -o other.efi " + app),
              0);
    // What the machine says on its serial port, booted from image; "" when
    // it did not end by itself.
    fs::path qcow2 = root / "clone.qcow2";
    auto boot = [&](bool uefi, int seconds, bool vm = false) {
        fs::path log = root / "serial.log";
        fs::remove(log);
        std::string firmware;
        if (uefi) {
            fs::copy_file("/usr/share/OVMF/OVMF_VARS_4M.fd", root / "vars.fd", fs::copy_options::overwrite_existing);
            firmware = " -drive if=pflash,format=raw,readonly=on,file=/usr/share/OVMF/OVMF_CODE_4M.fd"
                       " -drive if=pflash,format=raw,file=" + Quote(root / "vars.fd");
        }
        int rc = Shell("timeout " + std::to_string(seconds) + " qemu-system-x86_64 -display none -no-reboot -m 256" +
                       firmware + " -drive file=" + Quote(vm ? qcow2 : image) + ",format=" + (vm ? "qcow2" : "raw") +
                       ",if=ide -serial file:" + Quote(log) +
                       " -device isa-debug-exit,iobase=0xf4,iosize=0x04 >/dev/null 2>&1");
        Bytes said = FileBytes(log);
        std::string text(said.begin(), said.end());
        return rc == 124 ? std::string() : text;
    };
    auto place = [&](const char* file, std::uint64_t at) {
        return "dd if=" + Quote(stands / file) + " of=" + Quote(image) + " bs=1 seek=" + std::to_string(at) +
               " conv=notrunc status=none";
    };
    const std::uint64_t vbr1 = 4096 * 512, linux = 258048 * 512;
    std::string esp = Quote(image.string() + "@@" + std::to_string(2048 * 512));
    const struct {
        const char* what;
        bool uefi;
        std::string faults;
        const char* starts; // after fix
        bool vm = false;    // the clone as a qcow2 image
    } rows[] = {
        {"no boot code", false, "dd if=/dev/zero of=" + Quote(image) + " bs=1 count=440 conv=notrunc status=none",
         "STARTED WINDOWS"},
        {"no partition active", false, Poke(446, std::string(1, '\0')), "STARTED WINDOWS"},
        {"the data volume active", false, Poke(446, std::string(1, '\0')) + " && " + Poke(462, "\x80"),
         "STARTED WINDOWS"},
        {"the old start in the boot sector", false, Poke(vbr1 + 0x1C, std::string("\x3F\x00\x00\x00", 4)),
         "STARTED WINDOWS"},
        {"another system's loader active", false,
         Poke(446, std::string(1, '\0')) + " && " + Poke(478, "\x80") + " && " + Poke(linux, "\xEB\x63\x90GRUB") +
             " && " + place("other.bin", linux + 0x65) + " && " + Poke(linux + 510, "\x55\xAA"),
         "STARTED OTHER"},
        {"no fallback loader", true, "mdel -i " + esp + " ::/EFI/Boot/bootx64.efi", "STARTED WINDOWS"},
        {"another loader as the fallback", true,
         "mcopy -o -i " + esp + " " + Quote(stands / "other.efi") + " ::/EFI/Boot/bootx64.efi", "STARTED OTHER"},
        {"no boot code, in a qcow2", false,
         "dd if=/dev/zero of=" + Quote(image) + " bs=1 count=440 conv=notrunc status=none", "STARTED WINDOWS", true},
        {"no fallback loader, in a qcow2", true, "mdel -i " + esp + " ::/EFI/Boot/bootx64.efi", "STARTED WINDOWS",
         true},
    };
    // The clones as they start: syslinux's MBR code and the stand-in in the
    // system volume's boot sector; the stand-in as the boot manager and its
    // fallback copy.
    fs::path mbrClean = root / "mbr.img", gptClean = root / "gpt.img";
    Clone("new-guids", NewGuids);
    ASSERT_EQ(Shell("MTOOLS_SKIP_CHECK=1 mcopy -o -i " + esp + " " + Quote(stands / "manager.efi") +
                    " ::/EFI/Microsoft/Boot/bootmgfw.efi && MTOOLS_SKIP_CHECK=1 mcopy -o -i " + esp + " " +
                    Quote(stands / "manager.efi") + " ::/EFI/Boot/bootx64.efi && cp --sparse=always " + Quote(image) +
                    " " + Quote(gptClean)),
              0);
    Clone("firmware-mbr", FirmwareMbr);
    ASSERT_EQ(Shell("dd if=/usr/lib/syslinux/mbr/mbr.bin of=" + Quote(image) + " conv=notrunc status=none && " +
                    place("vbr.bin", vbr1 + 0x54) + " && cp --sparse=always " + Quote(image) + " " + Quote(mbrClean)),
              0);
    ASSERT_EQ(boot(false, 20), "STARTED WINDOWS\r\n") << "the sound MBR clone starts";
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(Shell("cp --sparse=always " + Quote(row.uefi ? gptClean : mbrClean) + " " + Quote(image) +
                        " && MTOOLS_SKIP_CHECK=1 " + row.faults),
                  0);
        if (row.vm) {
            ASSERT_EQ(Shell("qemu-img convert -O qcow2 " + Quote(image) + " " + Quote(qcow2)), 0);
            ASSERT_EQ(Run({"fix", qcow2.string(), "--disk", qcow2.string(), "--no-backup"}), 0) << err;
        } else {
            if (std::string(row.starts) == "STARTED WINDOWS") {
                EXPECT_EQ(boot(row.uefi, row.uefi ? 25 : 8).find("STARTED WINDOWS"), std::string::npos)
                    << "unrepaired, it starts";
            }
            ASSERT_EQ(Run({"fix", image.string(), "--no-backup"}), 0) << err;
        }
        std::string said = boot(row.uefi, 60, row.vm);
        EXPECT_NE(said.find(row.starts), std::string::npos) << said.substr(said.size() > 600 ? said.size() - 600 : 0);
    }
}

// A sector write that fails once after the files landed takes back every
// sector written before it, says what landed, and a second run does the
// rest.
TEST_F(FixTest, AFailedSectorWriteIsTakenBack)
{
    Clone("firmware-mbr", FirmwareMbr);
    // Nothing of the MBR's code, and the boot sectors with their old start.
    ASSERT_EQ(Shell("dd if=/dev/zero of=" + Quote(image) + " bs=1 count=440 conv=notrunc status=none"), 0);
    for (std::uint64_t at : {std::uint64_t{4096}, std::uint64_t{4096 + 81919}})
        ASSERT_EQ(Shell(Poke(at * 512 + 0x1C, std::string("\x3F\x00\x00\x00", 4))), 0);
    // Fails one step of the sector writes once: the write at a byte offset,
    // the flush after the MBR was written, or the flush of the backup file.
    class FailOnce : public CommitFiles {
    public:
        FailOnce(off_t at, bool flush, bool backup) : at_(at), flush_(flush), backup_(backup) {}
        ssize_t WriteAt(int fd, const void* data, std::size_t size, off_t offset) override
        {
            if (offset == 0 && size == 512)
                mbrWritten_ = true;
            if (offset == at_ && size == 512 && !failed_) {
                failed_ = true;
                errno = EIO;
                return -1;
            }
            return CommitFiles::WriteAt(fd, data, size, offset);
        }
        int Fsync(int fd) override
        {
            char link[64], name[4096] = {};
            std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
            bool isBackup = readlink(link, name, sizeof name - 1) > 0 && std::strstr(name, ".sectors.bak") != nullptr;
            if (!failed_ && ((flush_ && mbrWritten_) || (backup_ && isBackup))) {
                failed_ = true;
                errno = EIO;
                return -1;
            }
            return CommitFiles::Fsync(fd);
        }

    private:
        off_t at_;
        bool flush_, backup_;
        bool failed_ = false, mbrWritten_ = false;
    };
    fs::path clean = root / "clean.img";
    ASSERT_EQ(Shell("cp --sparse=always " + Quote(image) + " " + Quote(clean)), 0);
    const struct {
        const char* what;
        off_t at; // -1: no write fails
        bool flush, backup;
    } rows[] = {
        {"the backup boot sector, written first", (4096 + 81919) * 512, false, false},
        {"the boot sector", 4096 * 512, false, false},
        {"the MBR, written last", 0, false, false},
        {"the flush after the last write", -1, true, false},
        {"the flush of the sectors' backup file", -1, false, true},
    };
    auto sectors = [&] {
        Bytes bytes = FileBytes(image), picked;
        for (std::uint64_t at : {std::uint64_t{0}, std::uint64_t{4096 * 512}, std::uint64_t{(4096 + 81919) * 512}})
            picked.insert(picked.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at),
                          bytes.begin() + static_cast<std::ptrdiff_t>(at + 512));
        return picked;
    };
    auto backups = [&] {
        int count = 0;
        for (const auto& entry : fs::directory_iterator(root))
            count += entry.path().string().find(".sectors.bak") != std::string::npos;
        return count;
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(Shell("cp --sparse=always " + Quote(clean) + " " + Quote(image)), 0);
        Bytes hive = Hive(), was = sectors();
        int before = backups();
        FailOnce failing(row.at, row.flush, row.backup);
        EXPECT_EQ(Run({"fix", image.string()}, &failing), 1);
        EXPECT_NE(err.find("the files above are in place"), std::string::npos) << err;
        EXPECT_NE(err.find("no sector of the firmware's chain was changed"), std::string::npos) << err;
        EXPECT_NE(Hive(), hive) << "the hive landed";
        EXPECT_EQ(sectors(), was) << "every sector written was taken back";
        EXPECT_EQ(backups(), before + (row.backup ? 0 : 1)) << "a backup that could not be flushed is not left";
        ASSERT_EQ(Run({"fix", image.string(), "--no-backup"}), 0) << err;
        EXPECT_NE(sectors(), was);
        ASSERT_EQ(Run({"fix", image.string(), "--dry-run", "--json"}), 0) << err;
        Json doc = Json::parse(out);
        for (const Json& step : doc["firmware"])
            EXPECT_TRUE(step["needs"].is_null()) << step;
    }
}

} // namespace
