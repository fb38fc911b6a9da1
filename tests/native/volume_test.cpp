// The files of a clone inside a disk image's partitions, reached without
// mounting anything: the hive on NTFS through libntfs-3g, the store on the
// EFI system partition through mtools. Images are made with sfdisk, mkntfs
// and mkfs.fat, filled through ntfs-3g on a partition image file and
// mtools, and every result is read back with the field's own tools.
#include "cli/disk/commit_files.h"
#include "cli/machine/interrupt.h"
#include "cli/verbs/command.h"
#include "cli/fs/volumes.h"
#include "hive/bytes.h"
#include "hive/hive_file.h"
#include "mounttable/identity.h"
#include "support/disk_images.h"
#include "support/partition_files.h"
#include "support/hivex_registry.h"
#include "support/regf_writer.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <utility>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Json = nlohmann::json;

// The layout of the clone: its EFI system partition, its Windows volume and
// a Linux partition, in 512-byte sectors.
constexpr std::uint64_t kEspStart = 2048, kEspSectors = 81920;
constexpr std::uint64_t kWindowsStart = 83968, kWindowsSectors = 98304;
constexpr std::uint64_t kLinuxStart = 182272, kLinuxSectors = 16384;
constexpr std::uint64_t kWindowsOffset = kWindowsStart * 512;

const std::string kHivePath = "/Windows/System32/config/SYSTEM";
const std::string kStorePath = "/EFI/Microsoft/Boot/BCD";
const std::string kLoader = "Objects\\{a1b2c3d4-0000-4000-8000-000000000001}";
const Bytes kOldSystem = MbrIdentity(0x99887766, 0x100000);

std::vector<std::uint8_t> Dword(std::uint32_t value)
{
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

// The clone's hive and store as made, before any test changes them.
ValueList CloneTable()
{
    return {{"\\DosDevices\\C:", kRegBinary, kOldSystem},
            {"\\??\\Volume{6c5a3e1e-0000-0000-0000-100000000000}", kRegBinary, kOldSystem}};
}

std::vector<std::pair<std::string, ValueList>> StoreKeys()
{
    BootDevice old;
    old.style = PartitionStyle::Mbr;
    old.signature = 0x99887766;
    old.offset = 0x100000;
    return {{"Description", {{"KeyName", 1, Utf16("BCD00000000")}}},
            {kLoader + "\\Description", {{"Type", 4, Dword(0x10200003)}}},
            {kLoader + "\\Elements\\11000001", {{"Element", kRegBinary, BootPartitionElement(old)}}},
            {kLoader + "\\Elements\\21000001", {{"Element", kRegBinary, BootPartitionElement(old)}}}};
}

// Fails one numbered call of a kind: a write of the NTFS device layer or
// to a VM image, a flush, or an mtools run.
class StepFailure final : public CommitFiles {
public:
    StepFailure(std::string kind, int at) : kind_(std::move(kind)), at_(at) {}
    ssize_t WriteAt(int fd, const void* data, std::size_t size, off_t offset) override
    {
        if (!Write())
            return -1;
        return CommitFiles::WriteAt(fd, data, size, offset);
    }
    bool WriteImage(VmImage& image, const void* data, std::size_t size, std::uint64_t offset) override
    {
        // A write torn in the middle: its first half reaches the image.
        if (!Write()) {
            if (size >= 1024)
                CommitFiles::WriteImage(image, data, size / 2 / 512 * 512, offset);
            return errno = EIO, false;
        }
        return CommitFiles::WriteImage(image, data, size, offset);
    }
    int Fsync(int fd) override
    {
        if (++syncs_ == at_ && kind_ == "fsync")
            return errno = EIO, -1;
        return CommitFiles::Fsync(fd);
    }
    bool FlushImage(VmImage& image) override
    {
        if (++syncs_ == at_ && kind_ == "fsync")
            return errno = EIO, false;
        return CommitFiles::FlushImage(image);
    }
    ChildResult Run(const std::vector<std::string>& argv,
                    const std::vector<std::pair<std::string, std::string>>& environment) override
    {
        if (++runs_ == at_ && kind_ == "mtools") {
            ChildResult failed;
            failed.started = true;
            failed.status = 1;
            failed.errors = argv[0] + ": failure injected";
            return failed;
        }
        return CommitFiles::Run(argv, environment);
    }

private:
    bool Write()
    {
        ++writes_;
        if ((writes_ == at_ && kind_ == "write") || (writes_ >= at_ && kind_ == "writes from")) {
            errno = EIO;
            return false;
        }
        if (writes_ == at_ && kind_ == "signal")
            kill(getpid(), SIGTERM);
        return true;
    }

    std::string kind_;
    int at_;

public:
    int writes_ = 0, syncs_ = 0, runs_ = 0;
};

class VolumeTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        template_ = fs::temp_directory_path() / ("vosk-volume-template-" + std::to_string(getpid()));
        fs::remove_all(template_);
        fs::create_directories(template_);
        if (access("/dev/fuse", R_OK | W_OK) != 0 || Shell("command -v ntfs-3g mcopy ntfscat >/dev/null") != 0) {
            skip_ = "no FUSE, ntfs-3g or mtools here: the images of the volume tests cannot be filled";
            return;
        }
        fs::path image = template_ / "clone.img";
        std::string table = "label: gpt\nlabel-id: 1D2C3B4A-5E6F-4A1B-8C9D-0E1F2A3B4C5D\n"
                            "start=" + std::to_string(kEspStart) + ", size=" + std::to_string(kEspSectors) +
                            ", type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B\n"
                            "start=" + std::to_string(kWindowsStart) + ", size=" + std::to_string(kWindowsSectors) +
                            ", type=EBD0A0A2-B9E5-4433-87C0-68B6B7C9A4F2\n"
                            "start=" + std::to_string(kLinuxStart) + ", size=" + std::to_string(kLinuxSectors) +
                            ", type=0FC63DAF-8483-4772-8E79-3D69D8477DE4\n";
        ASSERT_TRUE(MakeImage(image, "100M", table));
        fs::path part = template_ / "windows.part";
        ASSERT_EQ(Shell("truncate -s " + std::to_string(kWindowsSectors * 512) + " " + Quote(part) + " && " +
                        Tool("mkntfs") + " -F -Q -q -p " + std::to_string(kWindowsStart) + " " + Quote(part) +
                        " >/dev/null 2>&1"),
                  0);
        bool filled = false;
        ASSERT_TRUE(WithNtfs(part, [&](const fs::path& mount) {
            fs::create_directories(mount / "Windows/System32/config");
            filled = MakeHiveFile((mount / "Windows/System32/config/SYSTEM").c_str(),
                                  {{"MountedDevices", CloneTable()}, {"Select", {{"Current", 4, Dword(1)}}}});
        }));
        ASSERT_TRUE(filled);
        PutBackPartition(image, kWindowsStart, part);
        fs::remove(part);
        std::string esp = Quote(image.string() + "@@" + std::to_string(kEspStart * 512));
        ASSERT_EQ(Shell(Tool("mkfs.fat") + " -F 32 -s 1 -n ESP --offset " + std::to_string(kEspStart) + " " +
                        Quote(image) + " " + std::to_string(kEspSectors / 2) + " >/dev/null 2>&1"),
                  0);
        fs::path store = template_ / "BCD";
        ASSERT_TRUE(MakeHiveFile(store.c_str(), StoreKeys()));
        ASSERT_EQ(Shell("MTOOLS_SKIP_CHECK=1 mmd -i " + esp + " ::/EFI ::/EFI/Microsoft ::/EFI/Microsoft/Boot && "
                        "MTOOLS_SKIP_CHECK=1 mcopy -i " + esp + " " + Quote(store) + " ::/EFI/Microsoft/Boot/BCD"),
                  0);
        ASSERT_EQ(Shell(Tool("mkfs.ext4") + " -q -F -E offset=" + std::to_string(kLinuxStart * 512) + " " +
                        Quote(image) + " " + std::to_string(kLinuxSectors / 2) + "k >/dev/null 2>&1"),
                  0);
    }
    static void TearDownTestSuite() { fs::remove_all(template_); }

    void SetUp() override
    {
        if (!skip_.empty())
            GTEST_SKIP() << skip_;
        root = fs::temp_directory_path() /
               ("vosk-volume-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root / "machine/proc/self");
        std::ofstream(root / "machine/proc/self/mountinfo") << "22 1 8:2 / / rw - ext4 /dev/sda2 rw\n";
        image = root / "clone.img";
        ASSERT_EQ(Shell("cp --sparse=always " + Quote(template_ / "clone.img") + " " + Quote(image)), 0);
        hive = image.string() + "#2:" + kHivePath;
        store = image.string() + "#1:" + kStorePath;
        hiveBytes = NtfsFile(image, kWindowsStart, kWindowsSectors, kHivePath);
        storeBytes = FatFile(image, kEspStart, kStorePath);
        ASSERT_FALSE(hiveBytes.empty());
        ASSERT_FALSE(storeBytes.empty());
    }
    void TearDown() override { fs::remove_all(root); }

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

    ValueList HiveValues(const Bytes& bytes, const char* key)
    {
        fs::path copy = root / "hive-copy";
        WriteBytes(copy, bytes);
        ValueList values = DumpHiveKey(copy.c_str(), key).values;
        std::sort(values.begin(), values.end(), [](auto& a, auto& b) { return a.name < b.name; });
        return values;
    }
    Bytes StoreElement(const Bytes& bytes, const std::string& key)
    {
        fs::path copy = root / "store-copy";
        WriteBytes(copy, bytes);
        HiveKeyDump dump = DumpHiveKey(copy.c_str(), key.c_str());
        return dump.values.empty() ? Bytes{} : dump.values[0].data;
    }

    inline static fs::path template_;
    inline static std::string skip_;
    fs::path root, image;
    std::string hive, store;
    Bytes hiveBytes, storeBytes;
    int status = -1;
    std::string out, err;
};

// Reading a file inside a partition changes no byte of the image, finds its
// names in any case with either separator, and names it as given.
TEST_F(VolumeTest, ShowReadsInsideTheImageAndChangesNothing)
{
    Bytes before = FileBytes(image);
    ASSERT_EQ(Run({"show", image.string() + "#2:\\windows\\SYSTEM32\\Config\\system", "--bcd",
                   image.string() + "#1:/efi/microsoft/boot/bcd", "--json"}),
              0)
        << err;
    Json doc = Json::parse(out);
    EXPECT_EQ(doc["hive"], image.string() + "#2:\\windows\\SYSTEM32\\Config\\system");
    ASSERT_EQ(doc["entries"].size(), 1u);
    EXPECT_EQ(doc["entries"][0]["identity"], HexText(kOldSystem));
    EXPECT_EQ(doc["boot"]["objects"].size(), 1u);
    EXPECT_EQ(doc["own_volume"]["partition"], image.string() + "#2") << out;
    EXPECT_EQ(FileBytes(image), before) << "a verb that reads writes nothing";
    ASSERT_EQ(Run({"set", hive, "C:=D:", "--dry-run"}), 0) << err;
    ASSERT_EQ(Run({"move", hive, "--bcd", store, "C:=" + image.string() + "#2", "--dry-run"}), 0) << err;
    EXPECT_EQ(FileBytes(image), before) << "a dry run writes nothing";
}

// A change of the hive on NTFS and the store on FAT lands as one, every
// other value as it was, read back with ntfscat and mcopy.
TEST_F(VolumeTest, SetAndMoveWriteTheFilesInsideTheImage)
{
    ASSERT_EQ(Run({"move", hive, "--bcd", store, "C:=" + image.string() + "#2"}), 0) << err;
    EXPECT_NE(out.find("Written: " + image.string() + "#2:/Windows/System32/config/SYSTEM"), std::string::npos)
        << out;
    EXPECT_NE(out.find("Backup: " + image.string() + "#1:/EFI/Microsoft/Boot/BCD.voskarelle-"), std::string::npos)
        << out;
    Bytes newHive = NtfsFile(image, kWindowsStart, kWindowsSectors, kHivePath);
    ValueList table = HiveValues(newHive, "MountedDevices");
    ASSERT_EQ(table.size(), 2u);
    DecodedIdentity c = DecodeIdentity(FindValue(table, "\\DosDevices\\C:")->data);
    EXPECT_EQ(c.kind, IdentityKind::Gpt) << "C: now names the clone's Windows partition";
    EXPECT_EQ(FindValue(table, "\\??\\Volume{6c5a3e1e-0000-0000-0000-100000000000}")->data,
              FindValue(table, "\\DosDevices\\C:")->data);
    BootDevice loader = DecodeBootDevice(StoreElement(FatFile(image, kEspStart, kStorePath), kLoader + "\\Elements\\21000001"));
    EXPECT_EQ(loader.style, PartitionStyle::Gpt);
    EXPECT_EQ(loader.partition, c.guid);
    EXPECT_EQ(GuidText(loader.disk), "{1d2c3b4a-5e6f-4a1b-8c9d-0e1f2a3b4c5d}");
    // The backups hold the originals.
    std::vector<std::string> config = NtfsFolder(image, kWindowsStart, kWindowsSectors, "/Windows/System32/config");
    ASSERT_EQ(config.size(), 2u) << "the hive and its backup, nothing else";
    EXPECT_EQ(NtfsFile(image, kWindowsStart, kWindowsSectors, "/Windows/System32/config/" + config[1]), hiveBytes);

    ASSERT_EQ(Run({"set", hive, "C:=E:", "--no-backup"}), 0) << err;
    table = HiveValues(NtfsFile(image, kWindowsStart, kWindowsSectors, kHivePath), "MountedDevices");
    EXPECT_EQ(FindValue(table, "\\DosDevices\\C:"), nullptr);
    EXPECT_NE(FindValue(table, "\\DosDevices\\E:"), nullptr);
    EXPECT_EQ(NtfsFolder(image, kWindowsStart, kWindowsSectors, "/Windows/System32/config"), config) << "no file left beside it";
}

// A clone taken from a running Windows, its log beside it in the volume:
// read as recovered, written clean, the log set aside there.
TEST_F(VolumeTest, ADirtyHiveInsideAVolumeIsRecoveredAndItsLogSetAside)
{
    ValueList logged = CloneTable();
    logged.push_back({"\\DosDevices\\Q:", kRegBinary, MbrIdentity(0x11223344, 0x100000)});
    fs::path later = root / "later";
    ASSERT_TRUE(MakeHiveFile(later.c_str(), {{"MountedDevices", logged}, {"Select", {{"Current", 4, Dword(1)}}}}));
    Bytes latest = FileBytes(later);
    Bytes base = hiveBytes;
    std::uint32_t sequence = Le32(base, 8);
    PutLe32(base, 4, sequence + 1);
    PutLe32(base, 0x1FC, BaseBlockChecksum(base));
    std::vector<LogPage> pages;
    auto binsSize = static_cast<std::uint32_t>(latest.size() - 4096);
    for (std::uint32_t at = 0; at < binsSize; at += 4096)
        pages.push_back({at, Bytes(latest.begin() + 4096 + at, latest.begin() + 8192 + at)});
    Bytes log = MakeNewFormatLog(base, sequence, {{sequence, binsSize, pages}});
    fs::path part = Extract(image, kWindowsStart, kWindowsSectors, root / "windows.part");
    ASSERT_TRUE(WithNtfs(part, [&](const fs::path& mount) {
        WriteBytes(mount / "Windows/System32/config/SYSTEM", base);
        WriteBytes(mount / "Windows/System32/config/system.LOG1", log);
    }));
    PutBackPartition(image, kWindowsStart, part);

    ASSERT_EQ(Run({"set", hive, "Q:=R:", "--no-backup"}), 0) << err;
    EXPECT_NE(out.find("Log moved aside: " + image.string() + "#2:/Windows/System32/config/system.LOG1.voskarelle-"),
              std::string::npos)
        << out;
    Bytes written = NtfsFile(image, kWindowsStart, kWindowsSectors, kHivePath);
    BaseBlock block;
    ASSERT_TRUE(ParseBaseBlock(written, &block));
    EXPECT_FALSE(block.Dirty());
    ValueList table = HiveValues(written, "MountedDevices");
    EXPECT_NE(FindValue(table, "\\DosDevices\\R:"), nullptr) << "the logged Q:, moved";
    std::vector<std::string> config = NtfsFolder(image, kWindowsStart, kWindowsSectors, "/Windows/System32/config");
    ASSERT_EQ(config.size(), 2u);
    EXPECT_TRUE(config[1].starts_with("system.LOG1.voskarelle-")) << config[1];
}

// Nothing is written where the command cannot be sure of what it reads or
// writes: each refusal says why and leaves the image as it was.
TEST_F(VolumeTest, BadInputIsRefusedAndTheImageStaysAsItWas)
{
    auto overwrite = [&](std::uint64_t offset, std::size_t count, std::uint8_t seed) {
        Bytes noise(count);
        for (std::size_t i = 0; i < count; ++i)
            noise[i] = static_cast<std::uint8_t>((i * 2654435761u + seed) >> 13);
        std::fstream file(image, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(static_cast<std::streamoff>(offset));
        file.write(reinterpret_cast<const char*>(noise.data()), static_cast<std::streamsize>(noise.size()));
    };
    auto mftOffset = [&] {
        Bytes boot = FileBytes(image);
        const std::uint8_t* b = boot.data() + kWindowsOffset;
        std::uint64_t cluster = static_cast<std::uint64_t>(b[0x0B] | b[0x0C] << 8) * b[0x0D];
        return kWindowsOffset + Le64(std::vector<std::uint8_t>(b + 0x30, b + 0x38), 0) * cluster;
    };
    struct Case {
        const char* what;
        std::vector<std::string> args;
        std::function<void()> make;
        const char* says;
    };
    const std::vector<Case> cases = {
        {"no such partition", {"set", image.string() + "#7:" + kHivePath, "C:=D:"}, [] {}, "has no partition 7"},
        {"no such path", {"set", image.string() + "#2:/Windows/System32/config/SOFTWARE", "C:=D:"}, [] {},
         "#2:/Windows/System32/config/SOFTWARE: no such file"},
        {"a file system not read here", {"show", image.string() + "#3:/etc/SYSTEM"}, [] {}, "holds a ext4 file system"},
        {"a damaged NTFS", {"show", hive}, [&] { overwrite(mftOffset(), 16384, 7); },
         "libntfs-3g cannot open the NTFS"},
        {"a BitLocker volume", {"show", image.string() + "#3:/x"},
         [&] { MakeBitLocker(image.string(), kLinuxStart * 512); },
         "is a BitLocker volume"},
        {"an image cut short", {"set", hive, "C:=D:"}, [&] { fs::resize_file(image, kWindowsOffset + (8 << 20)); },
         "the image is cut short"},
        {"a hibernated Windows", {"set", hive, "C:=D:"},
         [&] {
             // "hibr" at the start of hiberfil.sys, as Windows leaves it.
             fs::path part = Extract(image, kWindowsStart, kWindowsSectors, root / "windows.part");
             WithNtfs(part, [&](const fs::path& mount) {
                 Bytes bytes(8192, 0);
                 std::memcpy(bytes.data(), "hibr", 4);
                 WriteBytes(mount / "hiberfil.sys", bytes);
             });
             PutBackPartition(image, kWindowsStart, part);
         },
         "hibernation or with Fast Startup"},
        {"a path out of the volume", {"show", image.string() + "#2:/Windows/../../etc/passwd"}, [] {},
         "leads out of the path"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(Shell("cp --sparse=always " + Quote(template_ / "clone.img") + " " + Quote(image)), 0);
        c.make();
        Bytes before = FileBytes(image);
        EXPECT_EQ(Run(c.args), 1) << out;
        EXPECT_TRUE(err.starts_with("voskarelle: ") && std::count(err.begin(), err.end(), '\n') == 1) << err;
        EXPECT_NE(err.find(c.says), std::string::npos) << err;
        EXPECT_EQ(FileBytes(image), before);
    }
}

// A partition the kernel has mounted (here through a loop device over the
// image, as losetup makes it) is used through its mount, never beneath it.
TEST_F(VolumeTest, AMountedPartitionIsUsedThroughItsMount)
{
    fs::path mount = root / "mnt";
    fs::create_directories(mount / "windows/system32/CONFIG");
    WriteBytes(mount / "windows/system32/CONFIG/system", hiveBytes);
    fs::path loop = root / "machine/sys/block/loop3";
    fs::create_directories(loop / "loop");
    std::ofstream(loop / "loop/backing_file") << image.string() << "\n";
    std::ofstream(loop / "loop/offset") << kWindowsOffset << "\n";
    // The loop device's number is the folder's own, as a mount there has.
    struct stat st;
    ASSERT_EQ(stat(mount.c_str(), &st), 0);
    std::string number = std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
    std::ofstream(loop / "dev") << number << "\n";
    auto mountinfo = [&](const char* options) {
        std::ofstream(root / "machine/proc/self/mountinfo")
            << "22 1 8:2 / / rw - ext4 /dev/sda2 rw\n"
            << "40 22 " << number << " / " << mount.string() << " " << options << " - ntfs3 /dev/loop3 rw\n";
    };
    mountinfo("rw,relatime");
    Bytes before = FileBytes(image);
    ASSERT_EQ(Run({"set", hive, "C:=D:", "--no-backup"}), 0) << err;
    EXPECT_NE(out.find("Written: " + image.string() + "#2:/windows/system32/CONFIG/system"), std::string::npos)
        << out;
    ValueList table = HiveValues(FileBytes(mount / "windows/system32/CONFIG/system"), "MountedDevices");
    EXPECT_NE(FindValue(table, "\\DosDevices\\D:"), nullptr);
    EXPECT_EQ(FileBytes(image), before) << "nothing beneath the mount";

    mountinfo("ro,relatime");
    EXPECT_EQ(Run({"set", hive, "D:=E:"}), 1);
    EXPECT_NE(err.find("is mounted read-only at " + mount.string()), std::string::npos) << err;

    // Nothing beneath a mount that cannot be told, a hidden one, or a link.
    fs::remove(root / "machine/proc/self/mountinfo");
    EXPECT_EQ(Run({"show", hive}), 1);
    EXPECT_NE(err.find("cannot tell whether"), std::string::npos) << err;
    std::ofstream(root / "machine/proc/self/mountinfo")
        << "40 22 " << number << " / " << (root / "elsewhere").string() << " rw - ntfs3 /dev/loop3 rw\n";
    EXPECT_EQ(Run({"show", hive}), 1);
    EXPECT_NE(err.find("another mount hides it"), std::string::npos) << err;
    mountinfo("rw");
    fs::rename(mount / "windows/system32/CONFIG", mount / "config");
    fs::create_symlink(mount / "config", mount / "windows/system32/CONFIG");
    EXPECT_EQ(Run({"show", hive}), 1);
    EXPECT_NE(err.find("is a symbolic link"), std::string::npos) << err;
    EXPECT_EQ(FileBytes(image), before);
}

// An image others stand on (their backing file) or another process writes
// is refused before anything is written; --force writes a base image all
// the same, never one another process writes.
TEST_F(VolumeTest, AnImageOthersStandOnOrWriteIsRefused)
{
    if (Shell("command -v qemu-img >/dev/null") != 0)
        GTEST_SKIP() << "qemu-img is not installed (Debian package qemu-utils)";
    fs::path overlay = root / "overlay.qcow2", top = root / "top.qcow2", vmdk = root / "base.vmdk",
             delta = root / "delta.vmdk";
    auto qemuImg = [&](const std::string& args) { ASSERT_EQ(Shell("qemu-img " + args + " >/dev/null"), 0) << args; };
    // A process of this machine with the image open: its descriptor, flags
    // and name as /proc shows them.
    auto process = [&](const char* pid, const char* parent, const char* flags) {
        fs::path proc = root / "machine/proc" / pid;
        fs::create_directories(proc / "fd");
        fs::create_directories(proc / "fdinfo");
        fs::create_symlink(image, proc / "fd/7");
        std::ofstream(proc / "fdinfo/7") << "pos:\t0\nflags:\t" << flags << "\nmnt_id:\t30\n";
        std::ofstream(proc / "comm") << "VirtualBoxVM\n";
        std::ofstream(proc / "status") << "Name:\tVirtualBoxVM\nPPid:\t" << parent << "\n";
    };
    std::string self = std::to_string(getpid());
    fs::path clean = root / "clean.img";
    fs::copy_file(image, clean);
    const struct {
        const char* what;
        std::function<void()> make;
        std::string on; // the hive, inside the disk written
        std::vector<std::string> extra;
        const char* says; // nullptr: written
    } rows[] = {
        {"a qcow2 overlay on the raw image", [&] { qemuImg("create -q -f qcow2 -F raw -b " + Quote(image) + " " + Quote(overlay)); },
         hive, {}, "is the backing file of "},
        {"and --force", [] {}, hive, {"--force"}, nullptr},
        {"an overlay on that overlay: the top is named",
         [&] { qemuImg("create -q -f qcow2 -F qcow2 -b " + Quote(overlay) + " " + Quote(top)); }, hive, {},
         "repair the top image ("},
        {"a VMDK delta beside its base",
         [&] {
             ASSERT_TRUE(ToVmImage(image, "vmdk", vmdk));
             qemuImg("create -q -f vmdk -F vmdk -b " + Quote(vmdk) + " " + Quote(delta));
         },
         vmdk.string() + "#2:" + kHivePath, {}, "is the backing file of "},
        {"an image beside it whose backing file cannot be told",
         [&] {
             Bytes header(1 << 20, 0);
             std::memcpy(header.data(), "vhdxfile", 8);
             WriteBytes(root / "checkpoint.avhdx", header);
         },
         hive, {}, "cannot tell whether "},
        {"another process writes it", [&] { process("4242", "1", "0100002"); }, hive, {"--force"}, "open for writing by process 4242 (VirtualBoxVM)"},
        {"another process only reads it", [&] { fs::remove_all(root / "machine/proc/4242"); process("4243", "1", "0100000"); },
         hive, {}, nullptr},
        {"a child of this process writes it (its qemu-nbd)", [&] { process("4244", self.c_str(), "0100002"); }, hive,
         {}, nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        row.make();
        std::string disk = row.on.substr(0, row.on.rfind('#'));
        Bytes before = FileBytes(disk);
        std::vector<std::string> args = {"set", row.on, "C:=E:", "--no-backup", "--disk", disk};
        args.insert(args.end(), row.extra.begin(), row.extra.end());
        Run(args);
        if (row.says == nullptr) {
            EXPECT_EQ(status, 0) << err;
            fs::copy_file(clean, image, fs::copy_options::overwrite_existing);
        } else {
            EXPECT_EQ(status, 1);
            EXPECT_NE(err.find(row.says), std::string::npos) << err;
            EXPECT_EQ(FileBytes(disk), before);
        }
        if (row.says != nullptr && std::string(row.says) == "repair the top image (") {
            EXPECT_NE(err.find(top.string()), std::string::npos) << err;
        }
        // Only the rows about one kind of image keep it.
        if (std::string(row.what).starts_with("an overlay on that"))
            fs::remove(top), fs::remove(overlay);
        if (std::string(row.what).starts_with("a VMDK"))
            fs::remove(delta), fs::remove(vmdk);
        if (std::string(row.what).starts_with("an image beside"))
            fs::remove(root / "checkpoint.avhdx");
    }
}

// A power cut can leave the folder's index naming the hive twice (its own
// name and ours) while its record holds one name. Removing our name then
// would free the hive itself: the change is refused and both names stay.
TEST_F(VolumeTest, ANameOfOursOnATornIndexIsNeverRemoved)
{
    fs::path part = Extract(image, kWindowsStart, kWindowsSectors, root / "windows.part");
    ino_t record = 0;
    ASSERT_TRUE(WithNtfs(part, [&](const fs::path& mount) {
        fs::path config = mount / "Windows/System32/config";
        fs::create_hard_link(config / "SYSTEM", config / ".SYSTEM.voskarelle-old");
        struct stat st;
        ASSERT_EQ(stat((config / "SYSTEM").c_str(), &st), 0);
        record = st.st_ino;
    }));
    PutBackPartition(image, kWindowsStart, part);
    // The record's link count (at 0x12 of its FILE record) made 1, as a
    // torn index leaves it.
    Bytes boot = FileBytes(image);
    const std::uint8_t* b = boot.data() + kWindowsOffset;
    std::uint64_t cluster = static_cast<std::uint64_t>(b[0x0B] | b[0x0C] << 8) * b[0x0D];
    std::uint64_t mft = 0;
    for (int i = 7; i >= 0; --i)
        mft = mft << 8 | b[0x30 + i];
    auto clusters = static_cast<std::int8_t>(b[0x40]);
    std::uint64_t size = clusters < 0 ? 1ull << -clusters : static_cast<std::uint64_t>(clusters) * cluster;
    std::uint64_t at = kWindowsOffset + mft * cluster + static_cast<std::uint64_t>(record) * size;
    ASSERT_EQ(std::memcmp(boot.data() + at, "FILE", 4), 0);
    ASSERT_EQ(boot[at + 0x12], 2);
    boot[at + 0x12] = 1;
    WriteBytes(image, boot);

    EXPECT_EQ(Run({"set", hive, "C:=E:", "--no-backup"}), 1);
    EXPECT_NE(err.find("the folder's index is damaged"), std::string::npos) << err;
    std::vector<std::string> names = NtfsFolder(image, kWindowsStart, kWindowsSectors, "/Windows/System32/config");
    EXPECT_EQ(names, (std::vector<std::string>{".SYSTEM.voskarelle-old", "SYSTEM"}));
    EXPECT_EQ(NtfsFile(image, kWindowsStart, kWindowsSectors, kHivePath), hiveBytes);
}

// A killed run's temporary folder is removed by the next run, and only
// such a one: its owner's pid names a process that has ended.
TEST_F(VolumeTest, AFolderAKilledRunLeftIsRemovedByTheNext)
{
    fs::path temp = root / "tmp";
    fs::create_directories(temp);
    pid_t ended = fork();
    if (ended == 0)
        _exit(0);
    ASSERT_GT(ended, 0);
    waitpid(ended, nullptr, 0);
    auto folder = [&](const char* name, const std::string& owner) {
        fs::create_directories(temp / name);
        fs::create_symlink(image, temp / name / "disk");
        if (!owner.empty())
            std::ofstream(temp / name / "owner") << owner;
    };
    const struct {
        const char* name;
        std::string owner;
        bool removed;
    } rows[] = {
        {"voskarelle-ended1", std::to_string(ended), true},
        {"voskarelle-alive1", std::to_string(getpid()), false},
        {"voskarelle-noowner", "", false},
        {"voskarelle-garbled", "12ab", false},
        {"other-ended", std::to_string(ended), false},
    };
    for (const auto& row : rows)
        folder(row.name, row.owner);
    const char* saved = std::getenv("TMPDIR");
    std::string before = saved ? saved : "";
    setenv("TMPDIR", temp.c_str(), 1);
    Run({"show", store});
    saved ? setenv("TMPDIR", before.c_str(), 1) : unsetenv("TMPDIR");
    EXPECT_EQ(status, 0) << err;
    for (const auto& row : rows) {
        EXPECT_EQ(fs::exists(temp / row.name), !row.removed) << row.name;
    }
    EXPECT_TRUE(fs::exists(image)) << "a link inside is removed, never followed";
}

// One volume named every way it can be (the image, a link to it, a loop
// device over it, that device's partition node, a loop device at the
// partition's offset) is one volume; a neighbour or a loop device over a
// deleted file is another.
TEST_F(VolumeTest, EverySpellingOfAVolumeIsOneVolume)
{
    fs::path sys = root / "machine/sys", dev = root / "dev";
    fs::create_directories(dev);
    // A device's folder in sysfs and its node, as the kernel lays them out.
    auto device = [&](const std::string& folder, unsigned major, unsigned minor) {
        fs::path at = sys / "devices/virtual/block" / folder;
        fs::create_directories(at);
        std::string number = std::to_string(major) + ":" + std::to_string(minor);
        std::ofstream(at / "dev") << number << "\n";
        fs::create_directories(sys / "dev/block");
        fs::create_symlink(at, sys / "dev/block" / number);
        fs::path node = dev / fs::path(folder).filename();
        if (mknod(node.c_str(), S_IFBLK | 0600, makedev(major, minor)) != 0)
            ADD_FAILURE() << node << ": " << std::strerror(errno) << " (device nodes need root)";
        return at;
    };
    auto loop = [&](const fs::path& at, const std::string& backing, std::uint64_t offset) {
        fs::create_directories(at / "loop");
        std::ofstream(at / "loop/backing_file") << backing << "\n";
        std::ofstream(at / "loop/offset") << offset << "\n";
    };
    loop(device("loop0", 7, 0), image.string(), 0);
    fs::path p3 = device("loop0/loop0p3", 259, 3);
    std::ofstream(p3 / "partition") << "3\n";
    std::ofstream(p3 / "start") << kWindowsStart << "\n";
    loop(device("loop1", 7, 1), image.string(), kWindowsOffset);
    loop(device("loop2", 7, 2), image.string() + " (deleted)", kWindowsOffset);
    fs::create_symlink(image, root / "link.img");
    std::string machine = (root / "machine").string();
    std::string volume = VolumeKey(machine, image.string(), kWindowsOffset);
    const struct {
        const char* what;
        std::string path;
        std::uint64_t offset;
        bool same;
    } rows[] = {
        {"a link to the image", (root / "link.img").string(), kWindowsOffset, true},
        {"a loop device over the image", (dev / "loop0").string(), kWindowsOffset, true},
        {"that loop device's partition node", (dev / "loop0p3").string(), 0, true},
        {"a loop device at the partition's offset", (dev / "loop1").string(), 0, true},
        {"the partition beside it", image.string(), kEspStart * 512, false},
        {"a loop device over a deleted file", (dev / "loop2").string(), 0, false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(VolumeKey(machine, row.path, row.offset) == volume, row.same) << row.what;
    }
}

// A failure at any step of the NTFS device layer or of mtools leaves the
// hive and the store old or new, both alike, and nothing beside them.
TEST_F(VolumeTest, AFailureAtAnyStepLeavesBothFilesOldOrNew)
{
    std::vector<std::string> args = {"move", hive, "--bcd", store, "C:=" + image.string() + "#2", "--no-backup"};
    std::vector<std::string> configBefore = NtfsFolder(image, kWindowsStart, kWindowsSectors, "/Windows/System32/config");
    std::vector<std::string> bootBefore = FatFolder(image, kEspStart, "/EFI/Microsoft/Boot");
    fs::path clean = root / "clean.img";
    ASSERT_EQ(Shell("cp --sparse=always " + Quote(image) + " " + Quote(clean)), 0);
    StepFailure counting("none", 0);
    ASSERT_EQ(Run(args, &counting), 0) << err;
    Bytes newHive = NtfsFile(image, kWindowsStart, kWindowsSectors, kHivePath), newStore = FatFile(image, kEspStart, kStorePath);
    ASSERT_NE(newHive, hiveBytes);
    ASSERT_NE(newStore, storeBytes);
    std::vector<std::pair<std::string, int>> steps;
    for (int i = 1; i <= counting.writes_; ++i)
        steps.push_back({"write", i});
    for (int i = 1; i <= counting.syncs_; ++i)
        steps.push_back({"fsync", i});
    for (int i = 1; i <= counting.runs_; ++i)
        steps.push_back({"mtools", i});
    ASSERT_GT(counting.writes_, 0);
    ASSERT_GT(counting.runs_, 0);
    int failed = 0;
    for (const auto& [kind, at] : steps) {
        SCOPED_TRACE(kind + " " + std::to_string(at));
        ASSERT_EQ(Shell("cp --sparse=always " + Quote(clean) + " " + Quote(image)), 0);
        StepFailure failure(kind, at);
        Run(args, &failure);
        fs::path part = Extract(image, kWindowsStart, kWindowsSectors, root / "windows.part");
        Bytes hiveNow = NtfsFile(image, kWindowsStart, kWindowsSectors, kHivePath, part), storeNow = FatFile(image, kEspStart, kStorePath);
        bool oldHive = hiveNow == hiveBytes, oldStore = storeNow == storeBytes;
        EXPECT_TRUE(oldHive || hiveNow == newHive) << "the hive is torn: " << err;
        EXPECT_TRUE(oldStore || storeNow == newStore) << "the store is torn: " << err;
        // Done, or in place with a flush that failed, or nothing changed.
        bool inPlace = status == 0 || err.find("in place, but not yet safely on the disk") != std::string::npos;
        if (inPlace) {
            EXPECT_FALSE(oldHive || oldStore) << out << err;
        } else {
            ++failed;
            EXPECT_TRUE(oldHive && oldStore) << "one change, or none: " << err;
        }
        if (status != 0 && inPlace) {
            // Not yet safely on the disk: the backups stay, and are named.
            EXPECT_NE(out.find("Backup: " + hive + ".voskarelle-"), std::string::npos) << out;
            continue;
        }
        EXPECT_EQ(NtfsFolder(image, kWindowsStart, kWindowsSectors, "/Windows/System32/config", part), configBefore) << "nothing left beside the hive";
        EXPECT_EQ(FatFolder(image, kEspStart, "/EFI/Microsoft/Boot"), bootBefore) << "nothing left beside the store";
    }
    EXPECT_GT(failed, 0);

    // SIGTERM in the middle: the step in progress ends, the change is undone
    // and the volume closed cleanly before the command ends.
    InstallInterruptHandlers();
    ASSERT_EQ(Shell("cp --sparse=always " + Quote(clean) + " " + Quote(image)), 0);
    StepFailure signal("signal", 1);
    EXPECT_EQ(Run(args, &signal), 1);
    EXPECT_EQ(TakeInterrupt(), SIGTERM);
    EXPECT_NE(err.find("interrupted"), std::string::npos) << err;
    EXPECT_EQ(NtfsFile(image, kWindowsStart, kWindowsSectors, kHivePath), hiveBytes);
    EXPECT_EQ(FatFile(image, kEspStart, kStorePath), storeBytes);
    EXPECT_EQ(NtfsFolder(image, kWindowsStart, kWindowsSectors, "/Windows/System32/config"), configBefore);
    EXPECT_EQ(Shell("ntfsfix -n " + Quote(Extract(image, kWindowsStart, kWindowsSectors, root / "w.part")) +
                    " >/dev/null 2>&1"),
              0)
        << "closed cleanly";

    // Every write failing from one on, the taking back too: set never calls
    // a hive written that is not, nor says "not changed" of one that is.
    std::vector<std::string> set = {"set", hive, "C:=E:", "--no-backup"};
    ASSERT_EQ(Shell("cp --sparse=always " + Quote(clean) + " " + Quote(image)), 0);
    StepFailure setCounting("none", 0);
    ASSERT_EQ(Run(set, &setCounting), 0) << err;
    Bytes setHive = NtfsFile(image, kWindowsStart, kWindowsSectors, kHivePath);
    for (int at = 1; at <= setCounting.writes_; ++at) {
        SCOPED_TRACE("writes from " + std::to_string(at));
        ASSERT_EQ(Shell("cp --sparse=always " + Quote(clean) + " " + Quote(image)), 0);
        StepFailure failure("writes from", at);
        Run(set, &failure);
        Bytes hiveNow = NtfsFile(image, kWindowsStart, kWindowsSectors, kHivePath);
        if (status == 0) {
            EXPECT_EQ(hiveNow, setHive) << out << err;
        } else {
            EXPECT_EQ(out.find("Written:"), std::string::npos) << out << err;
        }
        if (err.find("not changed") != std::string::npos) {
            EXPECT_EQ(hiveNow, hiveBytes) << err;
        }
    }
}

// The VM image formats a clone arrives in, each made from the raw image by
// qemu-img.
struct VmFormat {
    const char* format;
    const char* options;
    const char* name;
};
constexpr VmFormat kVmFormats[] = {
    {"qcow2", "", "clone.qcow2"},
    {"vmdk", "subformat=monolithicSparse", "clone.vmdk"},
    {"vmdk", "subformat=twoGbMaxExtentSparse", "split.vmdk"},
    {"vhdx", "", "clone.vhdx"},
    {"vpc", "subformat=dynamic", "clone.vhd"},
    {"vpc", "subformat=fixed", "fixed.vhd"},
    {"vdi", "", "clone.vdi"},
};

bool HaveQemu()
{
    return Shell("command -v qemu-nbd qemu-img >/dev/null") == 0;
}

// Whether this process has a child left (a qemu-nbd not waited for).
bool ChildLeft()
{
    return waitpid(-1, nullptr, WNOHANG) != -1 || errno != ECHILD;
}

fs::path ConvertImage(const fs::path& from, const VmFormat& to, const fs::path& folder)
{
    fs::create_directories(folder);
    fs::path made = folder / to.name;
    EXPECT_TRUE(ToVmImage(from, to.format, made, to.options)) << made;
    return made;
}

fs::path BackToRaw(const fs::path& vm, const fs::path& to)
{
    EXPECT_TRUE(ToRawImage(vm, to)) << vm;
    return to;
}

// show and move on each VM format read and write the very files they do on
// the raw image, through libnbd: the image stays consistent for qemu-img,
// and a qcow2's backing file is never written.
TEST_F(VolumeTest, EachVmImageFormatGivesTheFilesOfTheRawImage)
{
    if (!HaveQemu())
        GTEST_SKIP() << "qemu-nbd and qemu-img are not installed (Debian package qemu-utils)";
    auto args = [](const std::string& disk, const std::string& verb) {
        std::vector<std::string> list = {verb, disk + "#2:" + kHivePath, "--bcd", disk + "#1:\\efi\\microsoft\\boot\\bcd"};
        if (verb == "move")
            list.insert(list.end(), {"C:=" + disk + "#2", "--no-backup"});
        return list.insert(list.end(), {"--disk", disk}), list;
    };
    fs::path raw = root / "raw.img";
    ASSERT_EQ(Shell("cp --sparse=always " + Quote(image) + " " + Quote(raw)), 0);
    ASSERT_EQ(Run(args(raw.string(), "show")), 0) << err;
    std::string rawShow = out;
    ASSERT_EQ(Run(args(raw.string(), "move")), 0) << err;
    Bytes movedHive = NtfsFile(raw, kWindowsStart, kWindowsSectors, kHivePath);
    Bytes movedStore = FatFile(raw, kEspStart, kStorePath);
    ASSERT_NE(movedHive, hiveBytes);
    ASSERT_NE(movedStore, storeBytes);

    for (const VmFormat& format : kVmFormats) {
        SCOPED_TRACE(format.name);
        fs::path folder = root / (std::string("vm-") + format.name);
        fs::create_directories(folder);
        fs::path vm = ConvertImage(image, format, folder);
        ASSERT_EQ(Run(args(vm.string(), "show")), 0) << err;
        std::string shown = out;
        for (std::size_t at; (at = shown.find(vm.string())) != std::string::npos;)
            shown.replace(at, vm.string().size(), raw.string());
        std::size_t named = shown.find(" image)");
        ASSERT_NE(named, std::string::npos) << shown;
        shown.erase(shown.rfind(" (", named), named + 7 - shown.rfind(" (", named));
        EXPECT_EQ(shown, rawShow);
        ASSERT_EQ(Run(args(vm.string(), "move")), 0) << err;
        int check = Shell("qemu-img check -q " + Quote(vm));
        EXPECT_TRUE(check == 0 || check == 63 << 8) << "qemu-img check: " << check;
        fs::path back = BackToRaw(vm, folder / "back.img");
        EXPECT_EQ(NtfsFile(back, kWindowsStart, kWindowsSectors, kHivePath), movedHive);
        EXPECT_EQ(FatFile(back, kEspStart, kStorePath), movedStore);
        EXPECT_FALSE(ChildLeft());
        fs::remove_all(folder);
    }

    // A qcow2 over the raw clone: the change is the overlay's alone.
    fs::path base = root / "base.img", top = root / "top.qcow2";
    ASSERT_EQ(Shell("cp --sparse=always " + Quote(image) + " " + Quote(base) + " && qemu-img create -q -f qcow2 -b " +
                    Quote(base) + " -F raw " + Quote(top)),
              0);
    Bytes baseBefore = FileBytes(base);
    ASSERT_EQ(Run(args(top.string(), "move")), 0) << err;
    EXPECT_EQ(FileBytes(base), baseBefore);
    fs::path back = BackToRaw(top, root / "top.img");
    EXPECT_EQ(NtfsFile(back, kWindowsStart, kWindowsSectors, kHivePath), movedHive);
    EXPECT_EQ(FatFile(back, kEspStart, kStorePath), movedStore);

    // The store alone, on FAT: the image is opened for writing by mtools'
    // first write as by libntfs-3g's.
    std::string old = "hex:" + HexText(kOldSystem);
    auto storeOnly = [&](const fs::path& disk) {
        return Run({"move", disk.string() + "#1:" + kStorePath, old + "=" + disk.string() + "#2", "--no-backup",
                    "--disk", disk.string()});
    };
    ASSERT_EQ(Shell("cp --sparse=always " + Quote(image) + " " + Quote(raw)), 0);
    ASSERT_EQ(storeOnly(raw), 0) << err;
    fs::path vm = ConvertImage(image, kVmFormats[0], root / "store-only");
    ASSERT_EQ(storeOnly(vm), 0) << err;
    EXPECT_EQ(Shell("qemu-img check -q " + Quote(vm)), 0);
    back = BackToRaw(vm, root / "store-only.img");
    EXPECT_EQ(FatFile(back, kEspStart, kStorePath), FatFile(raw, kEspStart, kStorePath));
    EXPECT_NE(FatFile(back, kEspStart, kStorePath), storeBytes);
    EXPECT_EQ(NtfsFile(back, kWindowsStart, kWindowsSectors, kHivePath), hiveBytes);
}

// A VM image that qemu cannot serve whole, or that a running VM holds, is
// refused with qemu's reason; nothing of it changes and no qemu-nbd is left.
TEST_F(VolumeTest, AVmImageQemuCannotServeIsRefusedAndLeftAsItWas)
{
    if (!HaveQemu())
        GTEST_SKIP() << "qemu-nbd and qemu-img are not installed (Debian package qemu-utils)";
    fs::path qcow2 = ConvertImage(image, kVmFormats[0], root);
    fs::path split = ConvertImage(image, kVmFormats[2], root);
    struct Case {
        const char* what;
        std::string make; // a shell command over the files below
        fs::path disk;
        const char* said;
        bool readable = false; // refused for a change only
    } cases[] = {
        {"held by a running VM", "qemu-nbd -f qcow2 --fork -k " + Quote(root / "nbd.sock") + " --pid-file " +
                                     Quote(root / "nbd.pid") + " " + Quote(qcow2),
         qcow2, "is in use: a running virtual machine"},
        {"cut short", "cp " + Quote(qcow2) + " " + Quote(root / "cut.qcow2") + " && truncate -s 2M " + Quote(root / "cut.qcow2"),
         root / "cut.qcow2", "is damaged: qemu-img check finds"},
        {"an extent missing", "rm " + Quote(root / "split-s001.vmdk"), split, "split-s001.vmdk': No such file"},
        {"its backing file missing",
         "qemu-img create -q -f qcow2 -b " + Quote(root / "gone.img") + " -F raw " + Quote(root / "top.qcow2") +
             " 256M && rm " + Quote(root / "gone.img"),
         root / "top.qcow2", "Could not open backing file"},
        {"only the magic of a qcow2", "printf 'QFI\\373\\0\\0\\0\\3' >" + Quote(root / "fake.qcow2") +
                                          " && head -c 65536 /dev/urandom >>" + Quote(root / "fake.qcow2"),
         root / "fake.qcow2", "qemu-img cannot open"},
        {"held by a VMware VM", "qemu-img convert -O vmdk " + Quote(image) + " " + Quote(root / "held.vmdk") +
                                    " && mkdir " + Quote(root / "held.vmdk.lck"),
         root / "held.vmdk", ".lck says a VMware virtual machine holds it"},
        {"a streamOptimized VMDK", "qemu-img convert -O vmdk -o subformat=streamOptimized " + Quote(image) + " " +
                                       Quote(root / "stream.vmdk"),
         root / "stream.vmdk", "is a streamOptimized VMDK", true},
    };
    ASSERT_EQ(Shell("cp --sparse=always " + Quote(image) + " " + Quote(root / "gone.img")), 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(Shell(c.make), 0);
        Bytes before = FileBytes(c.disk);
        for (const char* verb : {"show", "set"}) {
            std::vector<std::string> args = {verb, c.disk.string() + "#2:" + kHivePath, "--disk", c.disk.string()};
            if (std::string(verb) == "set")
                args.insert(args.begin() + 2, "C:=E:");
            bool refused = !c.readable || std::string(verb) == "set";
            EXPECT_EQ(Run(args), refused ? 1 : 0) << out << err;
            if (refused) {
                EXPECT_NE(err.find(c.said), std::string::npos) << err;
            }
        }
        EXPECT_EQ(FileBytes(c.disk), before);
        EXPECT_FALSE(ChildLeft());
    }
    // Gone, its socket with it, before the folder is removed.
    Shell("kill $(cat " + Quote(root / "nbd.pid") + ") && for i in $(seq 100); do [ -e " + Quote(root / "nbd.sock") +
          " ] || break; sleep 0.05; done");
}

// A failure at any write to a VM image or its flush (a write torn in the
// middle among them), or SIGTERM, leaves the hive and the store old or new,
// both alike, and the image consistent.
TEST_F(VolumeTest, AFailureWritingAVmImageLeavesBothFilesOldOrNew)
{
    if (!HaveQemu())
        GTEST_SKIP() << "qemu-nbd and qemu-img are not installed (Debian package qemu-utils)";
    fs::path clean = ConvertImage(image, kVmFormats[0], root / "clean");
    fs::path vm = root / "clone.qcow2";
    std::vector<std::string> configBefore = NtfsFolder(image, kWindowsStart, kWindowsSectors, "/Windows/System32/config");
    std::vector<std::string> bootBefore = FatFolder(image, kEspStart, "/EFI/Microsoft/Boot");
    std::vector<std::string> args = {"move", vm.string() + "#2:" + kHivePath, "--bcd", vm.string() + "#1:" + kStorePath,
                                      "C:=" + vm.string() + "#2", "--no-backup", "--disk", vm.string()};
    ASSERT_EQ(Shell("cp " + Quote(clean) + " " + Quote(vm)), 0);
    StepFailure counting("none", 0);
    ASSERT_EQ(Run(args, &counting), 0) << err;
    fs::path back = BackToRaw(vm, root / "back.img");
    Bytes newHive = NtfsFile(back, kWindowsStart, kWindowsSectors, kHivePath), newStore = FatFile(back, kEspStart, kStorePath);
    ASSERT_NE(newHive, hiveBytes);
    // Every step through the raw image is failed in the test above; here a
    // spread of them, over both volumes and each phase, and the last.
    std::vector<std::pair<std::string, int>> steps = {{"signal", 1}, {"signal", counting.writes_}};
    for (int i = 1; i <= counting.writes_; i += 9)
        steps.push_back({"write", i});
    for (int i = 1; i <= counting.syncs_; i += 4)
        steps.push_back({"fsync", i});
    steps.insert(steps.end(), {{"write", counting.writes_}, {"fsync", counting.syncs_}});
    ASSERT_GT(counting.writes_, 1);
    InstallInterruptHandlers();
    for (const auto& [kind, at] : steps) {
        SCOPED_TRACE(kind + " " + std::to_string(at));
        ASSERT_EQ(Shell("cp " + Quote(clean) + " " + Quote(vm)), 0);
        StepFailure failure(kind, at);
        Run(args, &failure);
        TakeInterrupt();
        EXPECT_FALSE(ChildLeft());
        EXPECT_EQ(Shell("qemu-img check -q " + Quote(vm)), 0);
        BackToRaw(vm, back);
        Bytes hiveNow = NtfsFile(back, kWindowsStart, kWindowsSectors, kHivePath), storeNow = FatFile(back, kEspStart, kStorePath);
        bool oldHive = hiveNow == hiveBytes, oldStore = storeNow == storeBytes;
        EXPECT_TRUE(oldHive || hiveNow == newHive) << "the hive is torn: " << err;
        EXPECT_TRUE(oldStore || storeNow == newStore) << "the store is torn: " << err;
        bool inPlace = status == 0 || err.find("in place, but not yet safely on the disk") != std::string::npos;
        if (inPlace)
            EXPECT_FALSE(oldHive || oldStore) << out << err;
        else
            EXPECT_TRUE(oldHive && oldStore) << "one change, or none: " << err;
        // Both volumes as their own checkers find them: no half-written
        // structure anywhere, and nothing left beside the files.
        fs::path esp = Extract(back, kEspStart, kEspSectors, root / "esp.part");
        fs::path windows = Extract(back, kWindowsStart, kWindowsSectors, root / "windows.part");
        EXPECT_EQ(Shell(Tool("fsck.fat") + " -n " + Quote(esp) + " >/dev/null 2>&1"), 0);
        EXPECT_EQ(Shell("ntfsfix -n " + Quote(windows) + " >/dev/null 2>&1"), 0);
        if (!inPlace) {
            EXPECT_EQ(NtfsFolder(back, kWindowsStart, kWindowsSectors, "/Windows/System32/config", windows), configBefore);
            EXPECT_EQ(FatFolder(back, kEspStart, "/EFI/Microsoft/Boot"), bootBefore);
        }
    }

    // Another program writes the image while the command reads it, between
    // its read-only session and its writing one: nothing is written.
    class WritesBeneath final : public CommitFiles {
    public:
        explicit WritesBeneath(std::function<void()> write) : write_(std::move(write)) {}
        ChildResult Run(const std::vector<std::string>& argv,
                        const std::vector<std::pair<std::string, std::string>>& environment) override
        {
            // At the first mtools run, which reads the store.
            if (std::function<void()> write = std::exchange(write_, nullptr))
                write();
            return CommitFiles::Run(argv, environment);
        }

    private:
        std::function<void()> write_;
    };
    ASSERT_EQ(Shell("cp " + Quote(clean) + " " + Quote(vm)), 0);
    std::string map;
    {
        std::FILE* pipe = popen(("qemu-img map -f qcow2 --output=json " + Quote(vm)).c_str(), "r");
        char buffer[4096];
        for (std::size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            map.append(buffer, n);
        if (pipe)
            pclose(pipe);
    }
    std::uint64_t host = 0;
    for (const Json& extent : Json::parse(map))
        if (extent["start"] == 0 && extent.value("data", false))
            host = extent["offset"];
    ASSERT_NE(host, 0u) << map;
    bool written = false;
    std::function<void()> flip = [&] {
        // A byte of the protective MBR the mirror copied, in the file.
        std::fstream file(vm, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(static_cast<std::streamoff>(host + 0x1B8));
        file.put('\x5a');
        written = file.good();
    };
    WritesBeneath beneath(flip);
    Bytes before = FileBytes(vm);
    EXPECT_EQ(Run(args, &beneath), 1);
    EXPECT_TRUE(written);
    EXPECT_NE(err.find("changed while it was being read"), std::string::npos) << err;
    before[host + 0x1B8] = 0x5a;
    EXPECT_EQ(FileBytes(vm), before) << "nothing written after the image changed";
}

} // namespace
