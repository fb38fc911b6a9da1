// The bus of a disk read from sysfs and mount tables built under a temporary
// root, and whether a clone loads that bus's driver at boot, judged on hives
// made with libhivex and on a SYSTEM hive written by Windows.
#include "cli/hivefile/boot_driver_file.h"
#include "cli/machine/bus.h"
#include "cli/machine/mounts.h"
#include "cli/hivefile/hivex_handle.h"
#include "support/hivex_registry.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;
using Keys = std::vector<std::pair<std::string, ValueList>>;

RegValue Dword(const char* name, std::uint32_t value)
{
    return {name, 4, Bytes({int(value & 0xFF), int(value >> 8 & 0xFF), int(value >> 16 & 0xFF), int(value >> 24)})};
}

ValueList Start(std::uint32_t start)
{
    return {Dword("Start", start)};
}

std::string Svc(const char* path)
{
    return std::string("ControlSet001\\Services\\") + path;
}

const std::pair<std::string, ValueList> kSelect1 = {"Select", {Dword("Current", 1)}};
const std::string kNvme = Svc("stornvme");

class BootDriversTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = fs::temp_directory_path() / ("vosk-bus-" + std::to_string(getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root);
    }
    void TearDown() override { fs::remove_all(root); }

    BootDriverFacts Facts(const std::string& file, std::string_view bus, std::string* error)
    {
        BootDriverFacts facts;
        HivexHandle hive = OpenHivex(file.c_str(), 0);
        if (hive == nullptr || !ReadBootDriverFacts(hive.get(), bus, &facts, error))
            facts.controlSet.clear();
        return facts;
    }

    fs::path root;
};

struct SysLink {
    std::string dir; // below /sys/devices
    const char* target;
    const char* name = "driver";
};

TEST_F(BootDriversTest, BusFollowsTheDriversAboveTheDisk)
{
    const std::string nvme = "pci0000:00/0000:00:1d.0/0000:3d:00.0", ahci = "pci0000:00/0000:00:17.0";
    const std::string xhci = "pci0000:00/0000:00:14.0", vmbus = "LNXSYSTM:00/VMBUS:00/f8b3781b-1e82-4818";
    const struct {
        const char* device;
        std::string disk; // below /sys/devices, a partition's directory inside its disk's
        bool partition;
        std::vector<SysLink> links;
        const char* bus;
        const char* devLink = nullptr; // where /dev/<device> points, as /dev/disk/by-id does
    } cases[] = {
        {"/dev/nvme0n1p3", nvme + "/nvme/nvme0/nvme0n1/nvme0n1p3", true,
         {{"pci0000:00/0000:00:1d.0", "pcieport"}, {nvme, "nvme"}}, "nvme"},
        {"/dev/nvme0n1", nvme + "/nvme/nvme0/nvme0n1", false, {}, "nvme"},
        {"/dev/disk/by-id/nvme-X-part3", nvme + "/nvme/nvme0/nvme0n1/nvme0n1p3", true, {}, "nvme",
         "../../nvme0n1p3"},
        {"/dev/sda", ahci + "/ata1/host0/target0:0:0/0:0:0:0/block/sda", false,
         {{ahci + "/ata1/host0/target0:0:0/0:0:0:0", "sd"}, {ahci, "ahci"}}, "ahci"},
        {"/dev/sda2", ahci + "/ata1/host0/target0:0:0/0:0:0:0/block/sda/sda2", true, {{ahci, "ahci"}}, "ahci"},
        {"/dev/sdb", "pci0000:00/0000:00:01.1/ata2/host1/target1:0:0/1:0:0:0/block/sdb", false,
         {{"pci0000:00/0000:00:01.1", "pata_amd"}}, "ide"},
        {"/dev/sdc1", xhci + "/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block/sdc/sdc1", true,
         {{xhci, "xhci_hcd"}, {xhci + "/usb2/2-1/2-1:1.0", "uas"}}, "usb"},
        {"/dev/vda2", "pci0000:00/0000:00:04.0/virtio1/block/vda/vda2", true,
         {{"pci0000:00/0000:00:04.0", "virtio-pci"}, {"pci0000:00/0000:00:04.0/virtio1", "virtio_blk"}}, "virtio"},
        {"/dev/sda", "pci0000:00/0000:00:05.0/virtio2/host2/target2:0:0/2:0:0:0/block/sda", false,
         {{"pci0000:00/0000:00:05.0/virtio2", "virtio", "subsystem"}}, "virtio"},
        {"/dev/sda", vmbus + "/host0/target0:0:0/0:0:0:0/block/sda", false, {{vmbus, "hv_storvsc"}}, "hyperv"},
        {"/dev/loop0", "virtual/block/loop0", false, {}, ""},
        {"/dev/mmcblk0p1", "pci0000:00/0000:00:1a.0/mmc_host/mmc0/mmc0:0001/block/mmcblk0/mmcblk0p1", true,
         {{"pci0000:00/0000:00:1a.0", "sdhci-pci"}}, ""},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        fs::path machine = root / std::to_string(i), devices = machine / "sys/devices";
        fs::path disk = devices / c.disk;
        fs::create_directories(disk);
        fs::create_directories(machine / "sys/class/block");
        if (c.partition)
            std::ofstream(disk / "partition") << "3\n";
        fs::create_symlink("../../devices/" + c.disk, machine / "sys/class/block" / disk.filename());
        for (const SysLink& link : c.links)
            fs::create_symlink(std::string("../../bus/x/") + link.target, devices / link.dir / link.name);
        if (c.devLink) {
            fs::create_directories((machine / ("." + std::string(c.device))).parent_path());
            fs::create_symlink(c.devLink, machine / ("." + std::string(c.device)));
        }
        std::string detail;
        EXPECT_EQ(BusOfBlockDevice(machine.string(), c.device, &detail), c.bus) << c.disk << ": " << detail;
        const char* told = *c.bus ? " above /sys/devices/" : c.links.empty() ? "none" : c.links[0].target;
        EXPECT_NE(detail.find(told), std::string::npos) << detail;
    }
}

// The mount that holds a file is the one with the file's device number,
// whatever is mounted over its folder or on a longer path beside it.
TEST_F(BootDriversTest, MountSourceIsTheDeviceTheFileIsOn)
{
    struct stat own;
    ASSERT_EQ(stat(root.c_str(), &own), 0);
    std::string device = std::to_string(major(own.st_dev)) + ":" + std::to_string(minor(own.st_dev));
    fs::create_directories(root / "proc/self");
    std::ofstream(root / "proc/self/mountinfo")
        << "22 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw\n"
           "30 22 0:25 / /mnt rw,nosuid - tmpfs tmpfs rw\n"
           "31 30 8:18 / /mnt/win\\040disk rw,relatime shared:5 - fuseblk /dev/sdb2 rw,user_id=0\n"
           "32 22 0:40 / /media/x rw - fuse.sshfs user@host:/ rw\n"
           "33 22 259:3 /Windows /srv/nvme ro,noatime master:3 propagate_from:1 - ntfs3 /dev/nvme0n1p3 rw\n"
           "34 30 7:0 / /mnt/win rw - ext4 /dev/loop0 rw\n"
           "35 34 8:33 / /mnt/win rw - ext4 /dev/sdc1 rw\n"
           "36 22 8:49 / /srv/back\\134slash rw - ext4 /dev/disk/by-label/My\\040Disk\\040 rw\n"
           "garbage line\n"
        << "37 22 " << device << " / " << root.string() << "/mnt rw - ext4 /dev/sdz9 rw\n"
        << "38 37 " << device << " /sub " << root.string() << " rw - ext4 /dev/sdz9 rw\n";
    const struct {
        unsigned major, minor;
        const char* source;
    } cases[] = {
        {8, 2, "/dev/sda2"},
        {8, 18, "/dev/sdb2"},
        {7, 0, "/dev/loop0"}, // a file opened before sdc1 was mounted over it
        {8, 33, "/dev/sdc1"},
        {0, 25, ""},
        {0, 40, ""},
        {259, 3, "/dev/nvme0n1p3"},
        {8, 49, "/dev/disk/by-label/My Disk "}, // an escape at the very end of the field
        {9, 9, ""},
    };
    std::vector<MountEntry> mounts = ReadMountInfo(root.string());
    for (const auto& c : cases)
        EXPECT_EQ(MountSourceOfDevice(mounts, c.major, c.minor), c.source) << c.major << ":" << c.minor;
    ASSERT_GE(mounts.size(), 8u);
    EXPECT_EQ(mounts[2].mountPoint, "/mnt/win disk");
    EXPECT_EQ(mounts[4].root, "/Windows");
    EXPECT_TRUE(mounts[4].readOnly);
    EXPECT_FALSE(mounts[5].readOnly);
    EXPECT_EQ(mounts[7].mountPoint, "/srv/back\\slash");
    // A real file: its own device, never the longest mount point's.
    std::ofstream(root / "f") << "x";
    EXPECT_EQ(MountSourceOf(root.string(), (root / "f").string()), "/dev/sdz9");
    EXPECT_EQ(MountSourceOf((root / "absent").string(), (root / "f").string()), "");
}

TEST_F(BootDriversTest, AMapperDeviceLeadsToThePartitionBeneathIt)
{
    fs::create_directories(root / "dev/mapper");
    fs::create_symlink("../dm-0", root / "dev/mapper/win");
    fs::create_symlink("../dm-1", root / "dev/mapper/two");
    fs::create_directories(root / "sys/class/block/dm-0/slaves/nvme0n1p3");
    fs::create_directories(root / "sys/class/block/dm-1/slaves/sda1");
    fs::create_directories(root / "sys/class/block/dm-1/slaves/sdb1");
    fs::create_directories(root / "sys/class/block/sda2");
    const std::pair<const char*, const char*> cases[] = {
        {"/dev/mapper/win", "/dev/nvme0n1p3"}, // an unlocked volume: its partition
        {"/dev/mapper/two", "/dev/mapper/two"}, // spread over two: none of them
        {"/dev/sda2", "/dev/sda2"},             // a partition itself
        {"/dev/loop7", "/dev/loop7"},           // nothing in sysfs
    };
    for (auto [device, beneath] : cases)
        EXPECT_EQ(UnderlyingDevice(root.string(), device), beneath) << device;
}

TEST_F(BootDriversTest, VerdictOnMadeHives)
{
    using V = BootDriverVerdict;
    const struct {
        const char* what;
        Keys keys;
        const char* bus;
        V::Outcome outcome;
        std::vector<std::string> toFix;
        const char* reasonHas;
    } cases[] = {
        {"loads", {kSelect1, {kNvme, Start(0)}}, "nvme", V::Ready, {}, "stornvme loads"},
        {"switched off", {kSelect1, {kNvme, Start(0)}, {kNvme + "\\StartOverride", {Dword("0", 3)}}}, "nvme",
         V::Fixable, {"stornvme"}, "StartOverride 0=3"},
        {"override 0", {kSelect1, {kNvme, Start(0)}, {kNvme + "\\StartOverride", {Dword("0", 0)}}}, "nvme",
         V::Ready, {}, ""},
        {"no Start", {kSelect1, {kNvme, {Dword("Type", 1)}}}, "nvme", V::Fixable, {"stornvme"}, "no Start"},
        {"Windows 7 nvme", {kSelect1, {Svc("msahci"), Start(0)}}, "nvme", V::Unfixable, {}, "stornvme"},
        {"Windows 7 ahci, as spelt", {kSelect1, {Svc("MSAHCI"), Start(3)}}, "ahci", V::Fixable, {"MSAHCI"}, "Start 3"},
        {"ide", {kSelect1, {Svc("pciide"), Start(0)}, {Svc("atapi"), Start(0)},
         {Svc("atapi\\StartOverride"), {Dword("0", 3)}}}, "ide", V::Fixable, {"atapi"}, ""},
        {"hyperv without vmbus", {kSelect1, {Svc("storvsc"), Start(0)}}, "hyperv", V::Unfixable, {}, "vmbus"},
        {"virtio without drivers", {kSelect1, {kNvme, Start(0)}}, "virtio", V::Unfixable, {}, "VirtIO"},
        {"virtio drivers", {kSelect1, {Svc("viostor"), Start(0)}}, "virtio", V::Ready, {}, ""},
        {"usb", {kSelect1, {kNvme, Start(0)}}, "usb", V::Unfixable, {}, "Windows To Go"},
        {"current control set", {{"Select", {Dword("Current", 2)}}, {kNvme, Start(0)},
         {"ControlSet002\\Services\\stornvme", Start(3)}}, "nvme", V::Fixable, {"stornvme"}, ""},
    };
    std::string file = (root / "SYSTEM").string();
    for (const auto& c : cases) {
        ASSERT_TRUE(MakeHiveFile(file.c_str(), c.keys)) << c.what;
        std::string error;
        BootDriverFacts facts = Facts(file, c.bus, &error);
        ASSERT_FALSE(facts.controlSet.empty()) << c.what << ": " << error;
        BootDriverVerdict verdict = Judge(c.bus, facts.services);
        EXPECT_EQ(verdict.outcome, c.outcome) << c.what << ": " << verdict.reason;
        EXPECT_EQ(verdict.servicesToFix, c.toFix) << c.what;
        EXPECT_NE(verdict.reason.find(c.reasonHas), std::string::npos) << c.what << ": " << verdict.reason;
    }
    for (std::string_view bus : kBusNames)
        EXPECT_TRUE(IsBusName(bus) && Judge(bus, {}).reason.find("unknown") == std::string::npos) << bus;
    EXPECT_FALSE(IsBusName("sata") || IsBusName("NVMe"));
}

TEST_F(BootDriversTest, HivesThatCannotBeJudgedSayWhy)
{
    const struct {
        Keys keys;
        const char* error;
    } cases[] = {
        {{{kNvme, Start(0)}}, "no Select\\Current"},
        {{{"Select", {{"Current", 1, Utf16("1")}}}, {kNvme, {}}}, "Select\\Current is not a REG_DWORD"},
        {{{"Select", {Dword("Current", 3)}}, {kNvme, {}}}, "ControlSet003"},
        {{kSelect1, {kNvme, {{"Start", 1, Utf16("0")}}}}, "stornvme\\Start is not a REG_DWORD"},
        {{kSelect1, {kNvme + "\\StartOverride", {{"0", 3, Bytes({3})}}}}, "StartOverride\\0 is not a REG_DWORD"},
    };
    std::string file = (root / "SYSTEM").string();
    for (const auto& c : cases) {
        ASSERT_TRUE(MakeHiveFile(file.c_str(), c.keys)) << c.error;
        std::string error;
        EXPECT_TRUE(Facts(file, "nvme", &error).controlSet.empty()) << c.error;
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
}

TEST_F(BootDriversTest, ChangesMakeEveryPresentServiceLoad)
{
    std::string file = (root / "SYSTEM").string();
    const std::string atapi = Svc("atapi");
    ASSERT_TRUE(MakeHiveFile(file.c_str(), {kSelect1, {Svc("pciide"), {Dword("Type", 1)}}, {atapi, Start(3)},
                                            {atapi + "\\StartOverride", {Dword("0", 3), Dword("1", 0)}}}));
    std::string error;
    BootDriverFacts facts = Facts(file, "ide", &error);
    std::vector<BootDriverChange> changes = BootDriverChanges(facts);
    const std::vector<BootDriverChange> expected = {
        {Svc("pciide"), "Start", 0, std::nullopt},
        {atapi, "Start", 0, 3},
        {atapi + "\\StartOverride", "0", 0, 3},
    };
    EXPECT_EQ(changes, expected);

    HiveFileRegistry registry;
    ASSERT_EQ(registry.LoadKey(kCloneMountKey, file.c_str()), kRegSuccess);
    for (const BootDriverChange& change : changes) {
        RegKey key = nullptr;
        ASSERT_EQ(registry.OpenKey(("Clone\\" + change.keyPath).c_str(), &key), kRegSuccess) << change.keyPath;
        const std::uint8_t zero[4] = {};
        EXPECT_EQ(registry.SetValue(key, change.valueName.c_str(), 4, zero, 4), kRegSuccess);
        registry.CloseKey(key);
    }
    std::string fixed = (root / "SYSTEM.fixed").string();
    ASSERT_TRUE(registry.CommitTo(fixed.c_str(), &error)) << error;
    facts = Facts(fixed, "ide", &error);
    EXPECT_EQ(Judge("ide", facts.services).outcome, BootDriverVerdict::Ready) << Judge("ide", facts.services).reason;
    EXPECT_TRUE(BootDriverChanges(facts).empty());
}

TEST_F(BootDriversTest, WindowsHiveSwitchesOffTheUnusedControllers)
{
    std::string file = (root / "SYSTEM").string();
    ASSERT_EQ(std::system(("xz -dc '" VOSK_TESTDATA_DIR "/SYSTEM_2.xz' > '" + file + "'").c_str()), 0);
    const struct {
        const char* bus;
        BootDriverVerdict::Outcome outcome;
        std::vector<std::string> toFix;
    } cases[] = {
        {"nvme", BootDriverVerdict::Fixable, {"stornvme"}},
        {"ahci", BootDriverVerdict::Ready, {}},
        {"ide", BootDriverVerdict::Fixable, {"pciide", "intelide", "atapi"}},
        {"pvscsi", BootDriverVerdict::Unfixable, {}},
    };
    for (const auto& c : cases) {
        std::string error;
        BootDriverFacts facts = Facts(file, c.bus, &error);
        ASSERT_EQ(facts.controlSet, "ControlSet001") << error;
        BootDriverVerdict verdict = Judge(c.bus, facts.services);
        EXPECT_EQ(verdict.outcome, c.outcome) << c.bus << ": " << verdict.reason;
        EXPECT_EQ(verdict.servicesToFix, c.toFix) << c.bus;
    }
    const std::vector<BootDriverChange> expected = {{kNvme + "\\StartOverride", "0", 0, 3}};
    std::string error;
    EXPECT_EQ(BootDriverChanges(Facts(file, "nvme", &error)), expected);
}

} // namespace
