// The voskarelle command end to end on hive files made with libhivex and on
// disk images partitioned by sfdisk, each outcome checked by reading the
// files afresh.
#include "cli/report/boot_report.h"
#include "cli/verbs/command.h"
#include "hive/bytes.h"
#include "hive/hive_file.h"
#include "mounttable/identity.h"
#include "support/disk_images.h"
#include "support/hivex_registry.h"
#include "support/regf_writer.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

std::string FdPath(int fd)
{
    std::error_code error;
    return fs::read_symlink("/proc/self/fd/" + std::to_string(fd), error).string();
}

// Fails one named step of the commit, as a full disk, a failing device or a
// file system that lacks a call would.
class FailingFiles final : public CommitFiles {
public:
    explicit FailingFiles(std::string step) : step_(std::move(step)) {}
    int Fsync(int fd) override
    {
        struct stat st;
        fstat(fd, &st);
        bool backup = FdPath(fd).ends_with(".bak");
        bool store = FdPath(fd).find("/.BCD.") != std::string::npos;
        bool restore = FdPath(fd).find(".voskarelle-restore") != std::string::npos;
        if ((step_ == "fsync folder" && S_ISDIR(st.st_mode)) || (step_ == "fsync backup" && backup) ||
            (step_ == "second rename, put back unflushed" && S_ISDIR(st.st_mode) && renames_ >= 3) ||
            (step_ == "fsync hive" && S_ISREG(st.st_mode) && !backup) || (step_ == "fsync store" && store) ||
            (step_ == "second rename, restore unflushed" && restore))
            return errno = EIO, -1;
        return CommitFiles::Fsync(fd);
    }
    int Rename(const char* from, const char* to) override
    {
        ++renames_;
        if (step_ == "rename" || (step_.starts_with("second rename") && renames_ == 2))
            return errno = EXDEV, -1;
        return CommitFiles::Rename(from, to);
    }
    int RenameNoReplace(const char* from, const char* to) override
    {
        // What FUSE (ntfs-3g) answers.
        return step_.starts_with("no RENAME_NOREPLACE") ? (errno = EINVAL, -1)
                                                        : CommitFiles::RenameNoReplace(from, to);
    }
    int Link(const char* from, const char* to) override
    {
        // What vfat answers.
        return step_ == "no RENAME_NOREPLACE, no links" ? (errno = EPERM, -1) : CommitFiles::Link(from, to);
    }
    ssize_t CopyChunk(int in, int out, std::size_t max) override
    {
        ++copies_;
        if (step_ == "copy: disk full" || (step_ == "second rename, undo fails" && renames_ >= 2))
            return errno = ENOSPC, -1;
        if (step_ == "copy: read error after 4 KiB")
            return copies_ == 1 ? CommitFiles::CopyChunk(in, out, 4096) : (errno = EBADMSG, -1);
        if (step_ == "copy: file ends early")
            return copies_ == 1 ? CommitFiles::CopyChunk(in, out, 4096) : 0;
        return CommitFiles::CopyChunk(in, out, max);
    }

private:
    std::string step_;
    int copies_ = 0;
    int renames_ = 0;
};

const std::array<std::uint8_t, 16> kGptGuid = {0xAA, 0x77, 0x0A, 0x8F, 0x1E, 0x5C, 0x0E, 0x4F,
                                               0x9D, 0x6A, 0x1F, 0x2E, 0x3D, 0x4C, 0x5B, 0x6A};
const std::vector<std::uint8_t> kOldSystem = MbrIdentity(0x99887766, 0x100000); // a disk not attached
const std::vector<std::uint8_t> kCloneSystem = MbrIdentity(0x5CBEA03E, 0x100000);
const std::vector<std::uint8_t> kCloneData = MbrIdentity(0x5CBEA03E, 0x3300000);
const std::vector<std::uint8_t> kGptData = GptIdentity(kGptGuid);
const std::vector<std::uint8_t> kStick = Utf16("\\??\\USBSTOR#Disk&Ven_Generic&Prod_Flash#058F&0#{53f56307}");

class CommandTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = fs::temp_directory_path() /
               ("vosk-cmd-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root / "Windows" / "System32" / "config");
        hive = (root / "Windows" / "System32" / "config" / "SYSTEM").string();
        ASSERT_TRUE(MakeHiveFile(hive.c_str(), {{"MountedDevices", Table()}, {"Select", kSelect}}));
        mbr = (root / "disk.img").string();
        gpt = (root / "gpt.img").string();
        ASSERT_TRUE(MakeImage(mbr, "80M",
                              "label: dos\nlabel-id: 0x5cbea03e\nstart=2048, size=50M, type=7\n"
                              "start=104448, size=20M, type=83\n"));
        ASSERT_EQ(std::system((Tool("mkfs.ext4") + " -q -F -L Data -E offset=53477376 '" + mbr + "' 20M").c_str()),
                  0);
        ASSERT_TRUE(MakeImage(gpt, "40M",
                              "label: gpt\nlabel-id: 1D2C3B4A-5E6F-4A1B-8C9D-0E1F2A3B4C5D\n"
                              "start=2048, size=10M, uuid=8F0A77AA-5C1E-4F0E-9D6A-1F2E3D4C5B6A\n"
                              "start=22528, size=10M, uuid=0E2B7C1D-8A41-4F39-9C6B-2D5E8F1A3B4C\n"));
        original = FileBytes(hive);
        machine = root / "machine"; // no /proc or /sys of the host
        fs::create_directories(machine);
    }
    void TearDown() override { fs::remove_all(root); }

    static ValueList Table()
    {
        return {
            {"\\DosDevices\\C:", kRegBinary, kOldSystem},
            {"\\DosDevices\\D:", kRegBinary, kCloneSystem},
            {"\\??\\Volume{6c5a3e1e-0000-0000-0000-100000000000}", kRegBinary, kCloneSystem},
            {"\\DosDevices\\E:", kRegBinary, kGptData},
            {"\\DosDevices\\F:", kRegBinary, kStick},
            {"\\DosDevices\\Q:", 1, Utf16("\\??\\SCSI#CdRom")},
            {"#{aaaa}" + std::string(300, 'n'), 4, std::vector<std::uint8_t>(20000, 0x5A)},
            {"", 0, {}},
        };
    }

    // Never the host's own disks: a command without --disk examines the
    // test's MBR image.
    int Run(std::vector<std::string> args, CommitFiles* files = nullptr)
    {
        if (args.size() > 1 && std::find(args.begin(), args.end(), "--disk") == args.end()) {
            args.push_back("--disk");
            args.push_back(mbr);
        }
        std::ostringstream o, e;
        CommitFiles plain;
        status = RunVoskarelle(args, o, e, files ? *files : plain, machine.string());
        out = o.str();
        err = e.str();
        return status;
    }
    ValueList Sorted(ValueList values)
    {
        std::sort(values.begin(), values.end(), [](auto& a, auto& b) { return a.name < b.name; });
        return values;
    }
    ValueList MountedDevices() { return Sorted(DumpHiveKey(hive.c_str(), "MountedDevices").values); }
    // Files holding "old" under the backup names of path for this second
    // and the next two, as an earlier run would have left them.
    static std::vector<std::string> TakeBackupNames(const std::string& path)
    {
        std::time_t now = std::time(nullptr);
        std::vector<std::string> names;
        for (std::time_t t = now; t <= now + 2; ++t) {
            names.push_back(BackupName(path, t) + ".bak");
            WriteBytes(names.back(), Bytes({'o', 'l', 'd'}));
        }
        return names;
    }
    std::vector<std::string> FolderFiles()
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(fs::path(hive).parent_path()))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    inline static const ValueList kSelect = {{"Current", 4, Bytes({1, 0, 0, 0})}};
    fs::path root, machine;
    std::string hive, mbr, gpt;
    std::vector<std::uint8_t> original;
    int status = -1;
    std::string out, err;
};

TEST_F(CommandTest, ShowTiesEachLetterToItsPartitionAndListsTheRest)
{
    ASSERT_EQ(Run({"show", hive, "--disk", mbr, "--disk", gpt, "--json"}), 0) << err;
    Json doc = Json::parse(out);
    EXPECT_EQ(doc["hive"], hive);
    const Json& entries = doc["entries"];
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(entries[0]["letter"], "C:");
    EXPECT_EQ(entries[0]["kind"], "mbr");
    EXPECT_EQ(entries[0]["disk_signature"], "99887766");
    EXPECT_EQ(entries[0]["offset"], 1048576);
    EXPECT_TRUE(entries[0]["partition"].is_null());
    EXPECT_EQ(entries[1]["identity"], "3EA0BE5C0000100000000000");
    EXPECT_EQ(entries[1]["partition"]["path"], mbr + "#1");
    EXPECT_EQ(entries[1]["partition"]["size"], 50 << 20);
    EXPECT_EQ(entries[1]["volume_names"], Json::array({"\\??\\Volume{6c5a3e1e-0000-0000-0000-100000000000}"}));
    EXPECT_EQ(entries[2]["kind"], "gpt");
    EXPECT_EQ(entries[2]["partition_guid"], "{8f0a77aa-5c1e-4f0e-9d6a-1f2e3d4c5b6a}");
    EXPECT_EQ(entries[2]["partition"]["path"], gpt + "#1");
    EXPECT_EQ(entries[3]["kind"], "device");
    EXPECT_EQ(entries[3]["device_path"], "\\??\\USBSTOR#Disk&Ven_Generic&Prod_Flash#058F&0#{53f56307}");
    EXPECT_EQ(entries[4]["letter"], "Q:") << "read whatever its type";
    const Json& unlettered = doc["unlettered"];
    ASSERT_EQ(unlettered.size(), 2u);
    EXPECT_EQ(unlettered[0]["path"], mbr + "#2");
    EXPECT_EQ(unlettered[0]["fs"], "ext4");
    EXPECT_EQ(unlettered[0]["label"], "Data");
    EXPECT_EQ(unlettered[1]["path"], gpt + "#2");
    EXPECT_TRUE(doc["warnings"].empty());

    // A whole-disk copy attached beside its original, a disk that is no
    // image at all, and one that cannot be read.
    fs::copy_file(mbr, root / "copy.img");
    WriteBytes(root / "noise.img", std::vector<std::uint8_t>(1 << 16, 0x6B));
    ASSERT_EQ(Run({"show", hive, "--disk", mbr, "--disk", (root / "copy.img").string(), "--disk",
                   (root / "noise.img").string(), "--disk", (root / "absent.img").string()}),
              0)
        << err;
    EXPECT_NE(out.find("Warning: " + mbr + "#1 and " + (root / "copy.img").string() + "#1 have the same identity"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("noise.img (no partition table)"), std::string::npos) << out;
    EXPECT_NE(out.find("absent.img (not readable: No such file or directory)"), std::string::npos) << out;
    EXPECT_EQ(FileBytes(hive), original);

    // One image named twice is one disk, and a disk that cannot be read says so.
    ASSERT_EQ(Run({"show", hive, "--disk", mbr, "--disk", (root / "." / "disk.img").string(), "--disk",
                   (root / "absent.img").string(), "--json"}),
              0)
        << err;
    doc = Json::parse(out);
    ASSERT_EQ(doc["disks"].size(), 2u) << out;
    EXPECT_TRUE(doc["disks"][0]["readable"]);
    EXPECT_FALSE(doc["disks"][1]["readable"]);
    EXPECT_TRUE(doc["warnings"].empty()) << "no copy of itself";

    // A label from a foreign disk reaches the terminal escaped, and JSON whole.
    std::string hostile = (root / "hostile.img").string();
    ASSERT_TRUE(MakeImage(hostile, "12M", "label: dos\nstart=2048, type=83\n"));
    ASSERT_EQ(std::system((Tool("mkfs.ext4") + " -q -F -L \"$(printf '\\033]0;owned\\007\\377\\nC:')\" -E offset=1048576 '" +
                           hostile + "' 8M")
                              .c_str()),
              0);
    ASSERT_EQ(Run({"show", hive, "--disk", hostile}), 0) << err;
    EXPECT_NE(out.find("label \"\\x1b]0;owned\\x07\\xff\\x0aC:\""), std::string::npos) << out;
    EXPECT_EQ(out.find('\x1b'), std::string::npos);
    ASSERT_EQ(Run({"show", hive, "--disk", hostile, "--json"}), 0) << err;
    EXPECT_EQ(Json::parse(out)["unlettered"][0]["label"], "\x1b]0;owned\x07\xef\xbf\xbd\nC:");
}

TEST_F(CommandTest, SetGivesEachVolumeExactlyItsLetterAndKeepsEverythingElse)
{
    // Backups already taken this second (and the next) are never
    // overwritten, and the new hive keeps the old one's mode.
    std::vector<std::string> earlier = TakeBackupNames(hive);
    chmod(hive.c_str(), 0640);

    // The clone's system volume takes C: from a disk that is gone, the GPT
    // volume moves from E: (named in lower case) to D: and the stick and the
    // CD drive both lose their letters.
    ASSERT_EQ(Run({"set", hive, mbr + "#1=c:", "e:=D:", "F:=none", "Q:=none", "--disk", gpt}), 0) << err;
    ValueList expected = {
        {"\\DosDevices\\C:", kRegBinary, kCloneSystem},
        {"\\??\\Volume{6c5a3e1e-0000-0000-0000-100000000000}", kRegBinary, kCloneSystem},
        {"\\DosDevices\\D:", kRegBinary, kGptData},
        Table()[6],
        Table()[7],
    };
    EXPECT_EQ(MountedDevices(), Sorted(expected));
    HiveKeyDump select = DumpHiveKey(hive.c_str(), "Select");
    EXPECT_EQ(select.values, kSelect);
    struct stat st;
    ASSERT_EQ(stat(hive.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    std::string backupLine = out.substr(0, out.find('\n'));
    ASSERT_EQ(backupLine.rfind("Backup: " + hive + ".voskarelle-", 0), 0u) << out;
    std::string backup = backupLine.substr(8);
    EXPECT_TRUE(backup.ends_with(".bak"));
    EXPECT_EQ(FileBytes(backup), original);
    ASSERT_EQ(stat(backup.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u) << "the backup keeps the mode too";
    for (const std::string& name : earlier) {
        EXPECT_NE(name, backup);
        EXPECT_EQ(FileBytes(name), Bytes({'o', 'l', 'd'})) << name;
        fs::remove(name);
    }

    // A swap in one call, without a backup this time.
    std::vector<std::string> before = FolderFiles();
    ASSERT_EQ(Run({"set", hive, "C:=D:", "D:=C:", "--no-backup", "--disk", gpt}), 0) << err;
    ValueList table = MountedDevices();
    EXPECT_EQ(*FindValue(table, "\\DosDevices\\C:"), (RegValue{"\\DosDevices\\C:", kRegBinary, kGptData}));
    EXPECT_EQ(*FindValue(table, "\\DosDevices\\D:"), (RegValue{"\\DosDevices\\D:", kRegBinary, kCloneSystem}));
    EXPECT_EQ(FolderFiles(), before) << "no backup, and no file left behind";

    // Assignments that already hold: nothing is written, not even a backup.
    std::vector<std::uint8_t> bytes = FileBytes(hive);
    ASSERT_EQ(Run({"set", hive, "C:=C:", "D:=d:", "--disk", gpt}), 0) << err;
    EXPECT_NE(out.find("Nothing to change"), std::string::npos) << out;
    EXPECT_EQ(FileBytes(hive), bytes);
    EXPECT_EQ(FolderFiles(), before);
}

TEST_F(CommandTest, DryRunPrintsTheTableItWouldWriteAndChangesNothing)
{
    // An image is one image however it is spelled.
    fs::create_symlink(mbr, root / "link.img");
    fs::path here = fs::current_path();
    fs::current_path(root);
    for (const std::string& spelling : std::vector<std::string>{"./disk.img#1", mbr + "#1", (root / "." / "disk.img#1").string(),
                                 (root / "link.img#1").string(), "disk.img#01"}) {
        EXPECT_EQ(Run({"set", hive, spelling + "=G:", "--dry-run", "--disk", "disk.img"}), 0) << spelling << err;
        EXPECT_NE(out.find("G:  MBR disk 5CBEA03E, partition at 1048576 bytes"), std::string::npos) << out;
        EXPECT_EQ(Run({"move", hive, "D:=" + spelling, "--dry-run", "--disk", "./disk.img"}), 0) << spelling << err;
    }
    fs::current_path(here);

    ASSERT_EQ(Run({"set", hive, "D:=G:", "--dry-run", "--disk", mbr}), 0) << err;
    EXPECT_NE(out.find("G:  MBR disk 5CBEA03E, partition at 1048576 bytes (1 MiB)"), std::string::npos) << out;
    EXPECT_EQ(out.find("\nD:  "), std::string::npos) << out;
    EXPECT_NE(out.find("Dry run"), std::string::npos);
    EXPECT_EQ(FileBytes(hive), original);
}

TEST_F(CommandTest, RefusalsSayWhyAndLeaveTheHiveByteIdentical)
{
    fs::copy_file(mbr, root / "copy.img");
    std::string copy = (root / "copy.img").string();
    std::string sun = (root / "sun.img").string(); // a table Windows names no volume by
    ASSERT_TRUE(MakeImage(sun, "8M", "label: sun\nstart=2048, size=4096, type=83\n"));
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string says;
    };
    const std::vector<Case> cases = {
        {{"set", hive, "C:=G:", "D:=g:"}, 1, "same letter"},
        {{"set", hive, "D:=G:", mbr + "#1=H:"}, 1, "same volume"},
        {{"set", hive, "K:=G:"}, 1, "no volume the letter K:"},
        {{"set", hive, mbr + "#7=G:"}, 1, "no partition of the examined disks"},
        {{"set", hive, "hex:0011=G:", "--disk", mbr}, 1, "has the identity 0011"},
        {{"set", hive, mbr + "#1=G:", "--disk", copy}, 1, "ambiguous"},
        {{"set", hive, sun + "#1=G:"}, 1, "names no volume by"},
        {{"set", hive, "C:=GG"}, 2, "malformed assignment"},
        {{"set", hive, "hex:ABC=G:"}, 2, "malformed identity"},
        {{"set", hive}, 2, "no VOLUME=LETTER"},
        {{"show", hive, "--dry-run"}, 2, "unknown option"},
        {{"set", (root / "absent").string(), "C:=G:"}, 1, "no such file"},
        {{"show", root.string()}, 1, "folder"},
        {{"show", (root / "fifo").string()}, 1, "is a FIFO, not a hive file"},
    };
    ASSERT_EQ(mkfifo((root / "fifo").c_str(), 0600), 0);
    for (const Case& c : cases) {
        EXPECT_EQ(Run(c.args), c.status) << c.says;
        EXPECT_EQ(err.rfind("voskarelle: ", 0), 0u) << err;
        EXPECT_NE(err.find(c.says), std::string::npos) << err;
        EXPECT_EQ(FileBytes(hive), original) << c.says;
    }
    // A FIFO named as a disk is a disk that cannot be read, not a hang.
    ASSERT_EQ(Run({"show", hive, "--disk", (root / "fifo").string(), "--json"}), 0) << err;
    EXPECT_NE(Json::parse(out)["disks"][0]["error"].get<std::string>().find("a FIFO"), std::string::npos) << out;

    // Files that are no hive, or one libhivex finds corrupt.
    std::vector<std::uint8_t> garbage(8192);
    for (std::size_t i = 0; i < garbage.size(); ++i)
        garbage[i] = static_cast<std::uint8_t>(i * 7919 >> 3);
    std::memcpy(garbage.data(), "regf", 4);
    WriteBytes(root / "garbage", garbage);
    EXPECT_EQ(Run({"show", (root / "garbage").string()}), 1);
    EXPECT_NE(err.find("libhivex cannot open it"), std::string::npos) << err;
    WriteBytes(root / "text", std::vector<std::uint8_t>(5000, 'x'));
    EXPECT_EQ(Run({"show", (root / "text").string()}), 1);
    EXPECT_NE(err.find("not a registry hive file"), std::string::npos) << err;
    ASSERT_TRUE(MakeHiveFile((root / "nokey").c_str(), {{"Select", kSelect}}));
    EXPECT_EQ(Run({"show", (root / "nokey").string()}), 1);
    EXPECT_NE(err.find("no readable MountedDevices key"), std::string::npos) << err;

    // Read-only, even for root, who could write it all the same.
    chmod(hive.c_str(), 0444);
    EXPECT_EQ(Run({"set", hive, "D:=G:"}), 1);
    EXPECT_NE(err.find("read-only"), std::string::npos) << err;
    EXPECT_EQ(Run({"set", hive, "D:=G:", "--dry-run"}), 0) << "a dry run writes nothing";
    EXPECT_EQ(FileBytes(hive), original);
}

TEST_F(CommandTest, DirtyOrHibernatedClonesAreShownButNotWritten)
{
    // A dirty hive with no log beside it: what the logs held is lost, so
    // it is not written.
    std::vector<std::uint8_t> dirty = original;
    PutLe32(dirty, 4, Le32(dirty, 8) + 1);
    PutLe32(dirty, 0x1FC, BaseBlockChecksum(dirty));
    WriteBytes(hive, dirty);
    EXPECT_EQ(Run({"set", hive, "D:=G:"}), 1);
    EXPECT_NE(err.find("no log"), std::string::npos) << err;
    EXPECT_EQ(FileBytes(hive), dirty);
    WriteBytes(hive, original);

    // The real SYSTEM hive written by Windows: dirty, its logs not here.
    fs::path real = root / "real" / "SYSTEM";
    fs::create_directories(real.parent_path());
    ASSERT_EQ(std::system(("xz -dc '" VOSK_TESTDATA_DIR "/SYSTEM_2.xz' > '" + real.string() + "'").c_str()), 0);
    std::vector<std::uint8_t> realBytes = FileBytes(real);
    ASSERT_EQ(Run({"show", real.string(), "--disk", mbr, "--json"}), 0) << err;
    Json doc = Json::parse(out);
    ASSERT_EQ(doc["entries"].size(), 2u);
    EXPECT_EQ(doc["entries"][0]["letter"], "C:");
    EXPECT_EQ(doc["entries"][0]["kind"], "mbr");
    EXPECT_EQ(doc["entries"][1]["letter"], "D:");
    EXPECT_EQ(doc["entries"][1]["kind"], "device");
    ASSERT_EQ(doc["warnings"].size(), 1u);
    EXPECT_NE(doc["warnings"][0].get<std::string>().find("dirty (sequence numbers 205 and 204)"), std::string::npos);
    WriteBytes(real.string() + ".log1", {1, 2, 3});
    EXPECT_EQ(Run({"set", real.string(), "C:=G:"}), 1);
    EXPECT_NE(err.find(real.string() + ".log1"), std::string::npos) << "the logs found are named: " << err;
    EXPECT_EQ(FileBytes(real), realBytes);

    // A clone that was shut down into hibernation or with Fast Startup.
    WriteBytes(root / "HiberFil.sys", Bytes({'H', 'I', 'B', 'R', 0, 0}));
    EXPECT_EQ(Run({"set", hive, "D:=G:"}), 1);
    EXPECT_NE(err.find("hibernation or with Fast Startup"), std::string::npos) << err;
    EXPECT_EQ(FileBytes(hive), original);
    ASSERT_EQ(Run({"show", hive}), 0);
    EXPECT_NE(out.find("Warning: the clone was shut down into hibernation"), std::string::npos) << out;
    // A bare name, from inside the clone's config folder, and a link from
    // elsewhere find the same clone root.
    fs::path here = fs::current_path();
    fs::current_path(fs::path(hive).parent_path());
    EXPECT_EQ(Run({"set", "SYSTEM", "D:=G:"}), 1);
    fs::current_path(here);
    EXPECT_NE(err.find("hibernation or with Fast Startup"), std::string::npos) << err;
    fs::create_symlink(hive, root / "SYSTEM-link");
    EXPECT_EQ(Run({"set", (root / "SYSTEM-link").string(), "D:=G:"}), 1);
    EXPECT_NE(err.find("hibernation or with Fast Startup"), std::string::npos) << err;
    EXPECT_EQ(FileBytes(hive), original);
    EXPECT_EQ(Run({"set", hive, "D:=G:", "--force-hibernated", "--no-backup"}), 0) << err;
    // A FIFO by that name is a doubt to say, never a read that waits forever.
    fs::remove(root / "HiberFil.sys");
    ASSERT_EQ(mkfifo((root / "hiberfil.sys").c_str(), 0600), 0);
    EXPECT_EQ(Run({"set", hive, "G:=H:"}), 1);
    EXPECT_NE(err.find("cannot tell whether the clone was hibernated: " + (root / "hiberfil.sys").string() +
                       ": cannot be read: it is a FIFO"),
              std::string::npos)
        << err;
    fs::remove(root / "hiberfil.sys");
    WriteBytes(root / "HiberFil.sys", Bytes({'w', 'a', 'k', 'e', 0, 0}));
    EXPECT_EQ(Run({"set", hive, "G:=H:", "--no-backup"}), 0) << err;
}

// A clone taken from a running Windows: its base file is older than its
// logs. Both commands read the hive as recovered; set writes the recovered
// hive with the change and moves the applied log aside.
class DirtyCommandTest : public CommandTest {
protected:
    void SetUp() override
    {
        CommandTest::SetUp();
        // The logged state: D: and E: swapped since the base file was written.
        std::string later = (root / "later").string();
        ValueList logged = Table();
        std::swap(logged[1].data, logged[3].data);
        ASSERT_TRUE(MakeHiveFile(later.c_str(), {{"MountedDevices", logged}, {"Select", kSelect}}));
        std::vector<std::uint8_t> latest = FileBytes(later);
        fs::remove(later);
        std::uint32_t binsSize = static_cast<std::uint32_t>(latest.size() - 4096);
        std::vector<LogPage> pages;
        for (std::uint32_t at = 0; at < binsSize; at += 4096)
            pages.push_back({at, std::vector<std::uint8_t>(latest.begin() + 4096 + at, latest.begin() + 8192 + at)});

        base = original;
        std::uint32_t sequence = Le32(base, 8);
        PutLe32(base, 4, sequence + 1);
        PutLe32(base, 0x1FC, BaseBlockChecksum(base));
        WriteBytes(hive, base);
        log = hive + ".LOG1";
        logBytes = MakeNewFormatLog(base, sequence, {{sequence, binsSize, pages}});
        WriteBytes(log, logBytes);
    }
    std::string MovedLog()
    {
        std::size_t aside = out.find("Log moved aside: ");
        return aside == std::string::npos ? "" : out.substr(aside + 17, out.find('\n', aside) - aside - 17);
    }

    std::vector<std::uint8_t> base, logBytes;
    std::string log;
};

TEST_F(DirtyCommandTest, ADirtyHiveIsReadAndWrittenAsItsLogsRecoverIt)
{
    ASSERT_EQ(Run({"show", hive, "--json", "--disk", gpt}), 0) << err;
    Json doc = Json::parse(out);
    EXPECT_EQ(doc["recovered_from"], Json::array({log}));
    EXPECT_EQ(doc["entries"][1]["letter"], "D:");
    EXPECT_EQ(doc["entries"][1]["kind"], "gpt") << "the logged swap is shown";
    EXPECT_TRUE(doc["warnings"].empty());
    EXPECT_EQ(FileBytes(hive), base);

    // Through a link, on a file system without RENAME_NOREPLACE (ntfs-3g):
    // everything happens beside the real file, and the link stays a link.
    fs::path link = root / "SYSTEM-link";
    fs::create_symlink(hive, link);
    FailingFiles fuse("no RENAME_NOREPLACE");
    ASSERT_EQ(Run({"set", link.string(), "D:=G:", "--disk", gpt}, &fuse), 0) << err;
    EXPECT_NE(out.find("Read as recovered from its transaction logs: " + log + " (1 entry"), std::string::npos)
        << out;
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_NE(out.find("Written: " + hive), std::string::npos) << out;
    ValueList table = MountedDevices();
    EXPECT_EQ(FindValue(table, "\\DosDevices\\D:"), nullptr);
    ASSERT_NE(FindValue(table, "\\DosDevices\\G:"), nullptr);
    EXPECT_EQ(FindValue(table, "\\DosDevices\\G:")->data, kGptData);
    EXPECT_EQ(FindValue(table, "\\DosDevices\\E:")->data, kCloneSystem) << "the rest of the logged state";
    BaseBlock block;
    ASSERT_TRUE(ParseBaseBlock(FileBytes(hive), &block));
    EXPECT_FALSE(block.Dirty());

    EXPECT_FALSE(fs::exists(log)) << "no stale log is left to replay";
    ASSERT_EQ(out.rfind("Backup: " + hive + ".voskarelle-", 0), 0u) << out;
    EXPECT_EQ(FileBytes(out.substr(8, out.find('\n') - 8)), base) << "the backup keeps the original base file";
    EXPECT_EQ(MovedLog().rfind(log + ".voskarelle-", 0), 0u) << out;
    EXPECT_EQ(FileBytes(MovedLog()), logBytes);
}

// Part of the logs is no recovery: show warns and shows the base file, set
// refuses and leaves every file as it was.
TEST_F(DirtyCommandTest, ALogThatCannotBeReadWholeMakesTheHiveUnrecoverable)
{
    struct Case {
        const char* what;
        std::function<void()> make;
        const char* says;
    };
    const std::vector<Case> cases = {
        {"no log at all", [&] { fs::remove(log); }, "no log"},
        {"LOG2 is a folder", [&] { fs::create_directory(hive + ".LOG2"); }, "a folder, not a regular file"},
        {"LOG2 is a FIFO", [&] { mkfifo((hive + ".LOG2").c_str(), 0600); }, "a FIFO, not a regular file"},
        {"LOG2 is a link to a device, never opened",
         [&] { fs::create_symlink("/dev/zero", hive + ".LOG2"); }, "a character device, not a regular file"},
        {"LOG1 is a dangling link", [&] { fs::remove(log); fs::create_symlink(root / "gone", log); },
         "No such file"},
    };
    for (const Case& c : cases) {
        WriteBytes(log, logBytes);
        c.make();
        std::vector<std::string> files = FolderFiles();
        ASSERT_EQ(Run({"show", hive, "--json"}), 0) << c.what << err;
        Json doc = Json::parse(out);
        EXPECT_TRUE(doc["recovered_from"].empty()) << c.what;
        EXPECT_EQ(doc["entries"][1]["kind"], "mbr") << c.what << ": the base file's D:";
        ASSERT_EQ(doc["warnings"].size(), 1u) << c.what;
        EXPECT_NE(doc["warnings"][0].get<std::string>().find(c.says), std::string::npos) << c.what << out;
        EXPECT_EQ(Run({"set", hive, "D:=G:"}), 1) << c.what;
        EXPECT_NE(err.find(c.says), std::string::npos) << c.what << err;
        EXPECT_EQ(FileBytes(hive), base) << c.what;
        EXPECT_EQ(FolderFiles(), files) << c.what;
        fs::remove_all(hive + ".LOG2");
        fs::remove(log);
    }
}

// Without RENAME_NOREPLACE and without hard links (vfat), a log is still
// set aside under a name no file had, never over one.
TEST_F(DirtyCommandTest, LogsAreSetAsideWhereTheFileSystemHasNoHardLinks)
{
    std::vector<std::string> taken = TakeBackupNames(log);
    FailingFiles vfat("no RENAME_NOREPLACE, no links");
    ASSERT_EQ(Run({"set", hive, "D:=G:", "--no-backup", "--disk", gpt}, &vfat), 0) << err;
    EXPECT_FALSE(fs::exists(log));
    EXPECT_EQ(FileBytes(MovedLog()), logBytes) << out;
    for (const std::string& name : taken)
        EXPECT_EQ(FileBytes(name), Bytes({'o', 'l', 'd'})) << name;
}

// The clone's NTFS volume as a Linux rescue system mounts it: ntfs-3g, over
// FUSE, which has no RENAME_NOREPLACE.
TEST_F(DirtyCommandTest, ADirtyHiveOnAnNtfs3gVolumeIsWrittenAndItsLogSetAside)
{
    if (access("/dev/fuse", R_OK | W_OK) != 0 || std::system("command -v ntfs-3g >/dev/null") != 0 ||
        std::system(("command -v " + Tool("mkntfs") + " >/dev/null").c_str()) != 0)
        GTEST_SKIP() << "no FUSE or no ntfs-3g here: the NTFS volume test did not run";
    fs::path image = root / "ntfs.img";
    fs::path mount = root / "mnt";
    fs::create_directories(mount);
    ASSERT_EQ(std::system(("truncate -s 32M '" + image.string() + "' && " + Tool("mkntfs") + " -F -Q -q '" +
                           image.string() + "' >/dev/null 2>&1")
                              .c_str()),
              0);
    ASSERT_EQ(std::system(("ntfs-3g '" + image.string() + "' '" + mount.string() + "'").c_str()), 0);
    struct Unmount {
        fs::path dir;
        ~Unmount() { std::system(("umount '" + dir.string() + "' 2>/dev/null").c_str()); }
    } unmount{mount};

    fs::path config = mount / "Windows" / "System32" / "config";
    fs::create_directories(config);
    std::string ntfsHive = (config / "SYSTEM").string();
    WriteBytes(ntfsHive, base);
    WriteBytes(ntfsHive + ".LOG1", logBytes);
    ASSERT_EQ(Run({"set", ntfsHive, "D:=G:", "--disk", gpt}), 0) << err;
    EXPECT_EQ(err, "");
    ValueList table = Sorted(DumpHiveKey(ntfsHive.c_str(), "MountedDevices").values);
    ASSERT_NE(FindValue(table, "\\DosDevices\\G:"), nullptr);
    EXPECT_EQ(FindValue(table, "\\DosDevices\\E:")->data, kCloneSystem) << "the logged state";
    BaseBlock block;
    ASSERT_TRUE(ParseBaseBlock(FileBytes(ntfsHive), &block));
    EXPECT_FALSE(block.Dirty());
    EXPECT_FALSE(fs::exists(ntfsHive + ".LOG1"));
    EXPECT_EQ(FileBytes(MovedLog()), logBytes) << out;
    ASSERT_EQ(out.rfind("Backup: ", 0), 0u) << out;
    EXPECT_EQ(FileBytes(out.substr(8, out.find('\n') - 8)), base);
}

// A commit that failed leaves the dirty base file with the logs it needs.
TEST_F(DirtyCommandTest, LogsStayWhenTheCommitFails)
{
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"set", hive, "D:=G:", "--disk", gpt},
          std::vector<std::string>{"move", hive, "D:=" + gpt + "#2", "--disk", gpt, "--disk", mbr}}) {
        for (const char* step : {"rename", "fsync hive"}) {
            FailingFiles files(step);
            EXPECT_EQ(Run(args, &files), 1) << args[0] << " " << step;
            EXPECT_EQ(FileBytes(hive), base) << args[0] << " " << step;
            EXPECT_EQ(FileBytes(log), logBytes) << args[0] << " " << step << ": " << out << err;
        }
    }
}

// When only the folder flush fails, the new hive is in place: the command
// says so, still sets the applied log aside, and fails.
TEST_F(DirtyCommandTest, AFolderThatCannotBeFlushedIsReportedAfterTheHiveIsInPlace)
{
    FailingFiles files("fsync folder");
    EXPECT_EQ(Run({"set", hive, "D:=G:", "--disk", gpt}, &files), 1);
    EXPECT_NE(err.find("the new hive is in place"), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(log));
    EXPECT_EQ(FileBytes(MovedLog()), logBytes);
    ValueList table = MountedDevices();
    EXPECT_NE(FindValue(table, "\\DosDevices\\G:"), nullptr);
}

// A failure at any step of the commit leaves the original file in place,
// whole, with no new file (and no backup of an unchanged hive) beside it.
TEST_F(CommandTest, AFailedCommitLeavesTheOriginalHive)
{
    std::vector<std::string> before = FolderFiles();
    const std::pair<const char*, bool> cases[] = {
        {"copy: disk full", true},
        {"copy: read error after 4 KiB", true}, // a partial backup is no backup
        {"copy: file ends early", true},
        {"fsync backup", true},
        {"fsync hive", true},
        {"fsync hive", false},
        {"rename", true},
    };
    for (auto [step, backup] : cases) {
        FailingFiles files(step);
        std::vector<std::string> args = {"set", hive, "D:=G:"};
        if (!backup)
            args.push_back("--no-backup");
        EXPECT_EQ(Run(args, &files), 1) << step;
        EXPECT_EQ(err.rfind("voskarelle: ", 0), 0u) << err;
        EXPECT_NE(err.find("the hive was not changed"), std::string::npos) << step << err;
        if (std::string(step) == "copy: read error after 4 KiB") {
            EXPECT_NE(err.find(std::strerror(EBADMSG)), std::string::npos) << "the read error itself: " << err;
        }
        EXPECT_EQ(FileBytes(hive), original) << step;
        EXPECT_EQ(FolderFiles(), before) << step;
    }
}

TEST_F(CommandTest, BigValuesSurviveInOldHivesAndAreRefusedWhereLibhivexWouldBreakThem)
{
    // Format 1.3 keeps data of any size in one cell: written back whole.
    ASSERT_EQ(Run({"set", hive, "D:=G:", "--no-backup"}), 0) << err;
    ValueList table = MountedDevices();
    const RegValue* big = FindValue(table, ("#{aaaa}" + std::string(300, 'n')).c_str());
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(big->data, std::vector<std::uint8_t>(20000, 0x5A));
    EXPECT_EQ(big->type, 4u);

    // Format 1.5 would need big-data records: refused before anything is written.
    std::vector<std::uint8_t> bytes = FileBytes(hive);
    bytes[0x18] = 5;
    std::uint32_t sum = BaseBlockChecksum(bytes);
    std::memcpy(&bytes[0x1FC], &sum, 4);
    WriteBytes(hive, bytes);
    std::vector<std::string> files = FolderFiles();
    EXPECT_EQ(Run({"set", hive, "G:=H:"}), 1);
    EXPECT_NE(err.find("big-data records"), std::string::npos) << err;
    EXPECT_EQ(FileBytes(hive), bytes);
    EXPECT_EQ(FolderFiles(), files) << "neither the new file nor the backup is left";
}

std::vector<std::uint8_t> Dword(std::uint32_t value)
{
    return Bytes({static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                  static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)});
}

// A clone whose Windows switched the NVMe driver off, as Windows 8 and later
// do on a machine without NVMe: shown as a stop with 0x7B, switched on by set
// in the same commit as a letter, and refused for a bus this Windows lacks.
TEST_F(CommandTest, BootDriversAreJudgedAndSwitchedOnWithTheLetters)
{
    const ValueList nvme = {{"Start", 4, Dword(0)}, {"ImagePath", 2, Utf16("System32\\drivers\\stornvme.sys")}};
    const ValueList overrides = {{"0", 4, Dword(3)}, {"1", 4, Dword(3)}};
    ASSERT_TRUE(MakeHiveFile(hive.c_str(), {{"MountedDevices", Table()},
                                            {"Select", kSelect},
                                            {"ControlSet001\\Services\\stornvme", nvme},
                                            {"ControlSet001\\Services\\stornvme\\StartOverride", overrides}}));
    // The hive's volume is a partition of an NVMe disk, as sysfs shows it.
    const std::string disk = "devices/pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0/nvme0n1";
    struct stat own;
    ASSERT_EQ(stat(hive.c_str(), &own), 0);
    fs::create_directories(machine / "proc/self");
    std::ofstream(machine / "proc/self/mountinfo") << "22 1 " << major(own.st_dev) << ":" << minor(own.st_dev) << " / "
                                                   << fs::canonical(root).string() << " rw - ext4 /dev/nvme0n1p3 rw\n";
    fs::create_directories(machine / "sys" / disk / "nvme0n1p3");
    std::ofstream(machine / "sys" / disk / "nvme0n1p3/partition") << "3\n";
    fs::create_directories(machine / "sys/class/block");
    fs::create_symlink("../../" + disk + "/nvme0n1p3", machine / "sys/class/block/nvme0n1p3");

    // The hive's own disk is no volume the clone names (a copy of the hive
    // on another machine's disk): its bus says nothing of the clone's.
    ASSERT_EQ(Run({"show", hive, "--disk", mbr, "--json"}), 0) << err;
    EXPECT_EQ(Json::parse(out)["own_volume"]["device"], "/dev/nvme0n1p3");
    EXPECT_TRUE(Json::parse(out)["boot_drivers"]["bus"].is_null()) << out;
    ASSERT_EQ(Run({"show", hive, "--disk", mbr, "--bus", "nvme", "--json"}), 0) << err;
    Json doc = Json::parse(out);
    const Json& drivers = doc["boot_drivers"];
    EXPECT_EQ(drivers["bus"], "nvme");
    EXPECT_EQ(drivers["from"], "--bus");
    EXPECT_EQ(drivers["verdict"], "fixable") << out;
    EXPECT_EQ(drivers["services"][0]["start_override"]["0"], 3);
    EXPECT_FALSE(drivers["services"][0]["loads_at_boot"]);
    ASSERT_EQ(Run({"show", hive, "--disk", mbr, "--bus", "ahci"}), 0) << err;
    EXPECT_NE(out.find("cannot be fixed here"), std::string::npos) << out;

    std::vector<std::uint8_t> before = FileBytes(hive);
    ASSERT_EQ(Run({"set", hive, "D:=G:", "--boot-driver", "nvme", "--disk", mbr, "--dry-run"}), 0) << err;
    EXPECT_NE(out.find("Boot driver: ControlSet001\\Services\\stornvme\\StartOverride\\0 3 -> 0"),
              std::string::npos)
        << out;
    EXPECT_EQ(FileBytes(hive), before);
    EXPECT_EQ(Run({"set", hive, "D:=G:", "--boot-driver", "ahci", "--disk", mbr}), 1);
    EXPECT_NE(err.find("storahci"), std::string::npos) << "names what is missing: " << err;
    EXPECT_EQ(FileBytes(hive), before);

    ASSERT_EQ(Run({"set", hive, "D:=G:", "--boot-driver", "nvme", "--disk", mbr, "--no-backup"}), 0) << err;
    EXPECT_EQ(DumpHiveKey(hive.c_str(), "ControlSet001\\Services\\stornvme").values, nvme);
    ValueList switchedOn = overrides;
    switchedOn[0].data = Dword(0);
    switchedOn[1].data = Dword(0);
    EXPECT_EQ(DumpHiveKey(hive.c_str(), "ControlSet001\\Services\\stornvme\\StartOverride").values, switchedOn);
    EXPECT_EQ(DumpHiveKey(hive.c_str(), "Select").values, kSelect);
    ValueList table = MountedDevices();
    EXPECT_NE(FindValue(table, "\\DosDevices\\G:"), nullptr);
    ASSERT_EQ(Run({"show", hive, "--disk", mbr, "--bus", "nvme", "--json"}), 0) << err;
    EXPECT_EQ(Json::parse(out)["boot_drivers"]["verdict"], "ready");
    ASSERT_EQ(Run({"set", hive, "--boot-driver", "nvme", "--disk", mbr}), 0) << err;
    EXPECT_NE(out.find("Nothing to change"), std::string::npos) << out;
}


// A clone with its boot store: the loader still names the old machine's disk
// (99887766), and the boot manager the GPT disk's first partition.
class BootStoreTest : public CommandTest {
protected:
    void SetUp() override
    {
        CommandTest::SetUp();
        bcd = (root / "BCD").string();
        BootDevice oldDisk;
        oldDisk.style = PartitionStyle::Mbr;
        oldDisk.signature = 0x99887766;
        oldDisk.offset = 0x100000;
        BootDevice esp;
        esp.style = PartitionStyle::Gpt;
        esp.disk = kGptDisk;
        esp.partition = kGptGuid;
        auto type = [](std::uint32_t t) { return ValueList{{"Type", 4, Dword(t)}}; };
        auto element = [](std::vector<std::uint8_t> data, std::uint32_t t = kRegBinary) {
            return ValueList{{"Element", t, std::move(data)}};
        };
        std::string manager = "Objects\\{9dea862c-5cdd-4e70-acc1-f32b344d4795}";
        std::string loader = "Objects\\{a1b2c3d4-0000-4000-8000-000000000001}";
        std::string firmware = "Objects\\{a1b2c3d4-0000-4000-8000-0000000000ff}";
        storeKeys = {{"Description", {{"KeyName", 1, Utf16("BCD00000000")}}},
                     {manager + "\\Description", type(0x10100002)},
                     {manager + "\\Elements\\11000001", element(BootPartitionElement(esp))},
                     {manager + "\\Elements\\23000003", element(Utf16("{a1b2c3d4-0000-4000-8000-000000000001}"), 1)},
                     {loader + "\\Description", type(0x10200003)},
                     {loader + "\\Elements\\12000004", element(Utf16("Windows 10"), 1)},
                     {loader + "\\Elements\\11000001", element(BootPartitionElement(oldDisk))},
                     {loader + "\\Elements\\21000001", element(BootPartitionElement(oldDisk))},
                     {firmware + "\\Description", type(0x101FFFFF)},
                     {firmware + "\\Elements\\11000001", element(BootPartitionElement(oldDisk))}};
        ASSERT_TRUE(MakeHiveFile(bcd.c_str(), storeKeys));
        // The clone's disk with a new signature: its partitions where the old
        // disk had them.
        moved = (root / "moved.img").string();
        ASSERT_TRUE(MakeImage(moved, "80M",
                              "label: dos\nlabel-id: 0x0badf00d\nstart=2048, size=50M, type=7\n"
                              "start=104448, size=20M, type=83\n"));
        storeBytes = FileBytes(bcd);
        loaderDevice = loader + "\\Elements\\21000001";
    }

    static constexpr std::array<std::uint8_t, 16> kGptDisk = {0x4A, 0x3B, 0x2C, 0x1D, 0x6F, 0x5E, 0x1B, 0x4A,
                                                               0x8C, 0x9D, 0x0E, 0x1F, 0x2A, 0x3B, 0x4C, 0x5D};
    std::string bcd, moved, loaderDevice;
    std::vector<std::pair<std::string, ValueList>> storeKeys;
    std::vector<std::uint8_t> storeBytes;
};

TEST_F(BootStoreTest, ShowTiesTheStoreToTheDisksAndSuggestsTheMove)
{
    ASSERT_EQ(Run({"show", hive, "--bcd", bcd, "--disk", mbr, "--disk", gpt, "--disk", moved, "--json"}), 0) << err;
    Json boot = Json::parse(out)["boot"];
    EXPECT_EQ(boot["firmware_entries"], 1);
    ASSERT_EQ(boot["objects"].size(), 2u) << boot.dump(1);
    const Json& manager = boot["objects"][0];
    EXPECT_EQ(manager["devices"][0]["style"], "gpt");
    EXPECT_EQ(manager["devices"][0]["found"]["path"], gpt + "#1") << "both its disk and partition GUID";
    const Json& loader = boot["objects"][1];
    EXPECT_EQ(loader["description"], "Windows 10");
    EXPECT_EQ(loader["devices"][1]["element"], "21000001");
    EXPECT_EQ(loader["devices"][1]["disk"], "99887766");
    EXPECT_EQ(loader["devices"][1]["offset"], 1048576);
    EXPECT_TRUE(loader["devices"][1]["found"].is_null());
    std::string move = "voskarelle move " + hive + " --bcd " + bcd + " disk:99887766=" + moved + " --disk " + mbr +
                       " --disk " + gpt + " --disk " + moved;
    EXPECT_EQ(boot["suggested_moves"], Json::array({move}));
    EXPECT_EQ(boot["default_os_letter"], "C:");

    ASSERT_EQ(Run({"show", hive, "--bcd", bcd, "--disk", mbr, "--disk", gpt, "--disk", moved}), 0) << err;
    EXPECT_NE(out.find("starts Windows from the clone's C:"), std::string::npos) << out;
    EXPECT_NE(out.find("Firmware entries: 1 (the machine's own; never changed): "
                       "\"{a1b2c3d4-0000-4000-8000-0000000000ff}\""),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("voskarelle disk-id " + moved + " 99887766"), std::string::npos) << out;

    // The store alone, told apart by what it holds.
    ASSERT_EQ(Run({"show", bcd, "--disk", gpt, "--json"}), 0) << err;
    EXPECT_EQ(Json::parse(out)["boot"]["objects"].size(), 2u);
    EXPECT_EQ(FileBytes(bcd), storeBytes);

    // Every command printed can be pasted into a shell as it is, whatever
    // the paths hold.
    fs::path odd = root / "#a b\tc'd\xc2\x85\xff";
    fs::create_directories(odd);
    fs::copy_file(hive, odd / "SYSTEM");
    fs::copy_file(bcd, odd / "BCD");
    fs::copy_file(moved, odd / "new disk.img");
    ASSERT_EQ(Run({"show", (odd / "SYSTEM").string(), "--bcd", (odd / "BCD").string(), "--disk", mbr, "--disk",
                   (odd / "new disk.img").string()}),
              0)
        << err;
    int pasted = 0;
    for (std::size_t at = out.find("`voskarelle "); at != std::string::npos; at = out.find("`voskarelle ", at + 1)) {
        std::string command = out.substr(at + 1, out.find('`', at + 1) - at - 1);
        std::string words = (root / "words").string();
        std::ofstream(root / "paste.sh") << "printf '%s\\n' " << command << " >'" << words << "'\n";
        ASSERT_EQ(std::system(("bash '" + (root / "paste.sh").string() + "'").c_str()), 0) << command;
        std::ifstream in(words);
        std::vector<std::string> argv;
        for (std::string word; std::getline(in, word);)
            argv.push_back(word);
        ASSERT_GE(argv.size(), 4u) << command;
        if (argv[1] == "move") {
            EXPECT_EQ(argv, (std::vector<std::string>{"voskarelle", "move", (odd / "SYSTEM").string(), "--bcd",
                                                      (odd / "BCD").string(),
                                                      "disk:99887766=" + (odd / "new disk.img").string(), "--disk",
                                                      mbr, "--disk", (odd / "new disk.img").string()}));
        } else {
            EXPECT_EQ(argv, (std::vector<std::string>{"voskarelle", "disk-id", (odd / "new disk.img").string(),
                                                      "99887766"}));
        }
        ++pasted;
    }
    EXPECT_EQ(pasted, 2) << out;
}

// The bytes of each element of a store file, by key.
std::map<std::string, std::vector<std::uint8_t>> Elements(const std::string& file)
{
    std::map<std::string, std::vector<std::uint8_t>> elements;
    for (const char* key : {"Objects\\{9dea862c-5cdd-4e70-acc1-f32b344d4795}\\Elements\\11000001",
                            "Objects\\{9dea862c-5cdd-4e70-acc1-f32b344d4795}\\Elements\\23000003",
                            "Objects\\{a1b2c3d4-0000-4000-8000-000000000001}\\Elements\\11000001",
                            "Objects\\{a1b2c3d4-0000-4000-8000-000000000001}\\Elements\\12000004",
                            "Objects\\{a1b2c3d4-0000-4000-8000-000000000001}\\Elements\\21000001",
                            "Objects\\{a1b2c3d4-0000-4000-8000-0000000000ff}\\Elements\\11000001"}) {
        HiveKeyDump dump = DumpHiveKey(file.c_str(), key);
        elements[key] = dump.values.empty() ? std::vector<std::uint8_t>{} : dump.values[0].data;
    }
    return elements;
}

TEST_F(BootStoreTest, AWholeDiskMoveChangesOnlyTheIdentityFieldsOfBothFiles)
{
    // Windows keeps the volume name of a partition long gone: the
    // suggestion and the move both leave it as it is.
    ValueList table = Table();
    table.push_back({"\\??\\Volume{0bad0000-0000-0000-0000-00002c000000}", kRegBinary,
                     MbrIdentity(0x99887766, 704ull << 20)});
    ASSERT_TRUE(MakeHiveFile(hive.c_str(), {{"MountedDevices", table}, {"Select", kSelect}}));
    ASSERT_EQ(Run({"show", hive, "--bcd", bcd, "--disk", mbr, "--disk", moved}), 0) << err;
    EXPECT_NE(out.find("(1 volume name of a partition it does not hold stays as it is)"), std::string::npos) << out;
    EXPECT_NE(out.find("disk:99887766=" + moved + " --disk " + mbr + " --disk " + moved + "`"), std::string::npos)
        << out;
    auto before = Elements(bcd);
    ASSERT_EQ(Run({"move", hive, "--bcd", bcd, "disk:99887766=" + moved, "--disk", mbr, "--disk", gpt}), 0) << err;
    EXPECT_NE(out.find("Left as it is: \\??\\Volume{0bad0000-0000-0000-0000-00002c000000}  MBR disk 99887766, "
                       "partition at 738197504 bytes (704 MiB): " + moved + " has no partition there; the name "
                       "mounts nothing\n"),
              std::string::npos)
        << out;
    ValueList expected = Sorted(table);
    FindValue(expected, "\\DosDevices\\C:")->data = MbrIdentity(0x0BADF00D, 0x100000);
    EXPECT_EQ(MountedDevices(), expected) << "C: keeps its name and type, the stale name stays";
    auto after = Elements(bcd);
    for (const auto& [key, bytes] : before) {
        if (key != loaderDevice && key.find("a1b2c3d4-0000-4000-8000-000000000001}\\Elements\\11") == std::string::npos) {
            EXPECT_EQ(after[key], bytes) << key << ": the firmware's entry and the rest stay";
            continue;
        }
        ASSERT_EQ(after[key].size(), bytes.size());
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            if (i < 0x20 || (i >= 0x30 && i < 0x34) || i >= 0x48) {
                EXPECT_EQ(after[key][i], bytes[i]) << key << " byte " << i;
            }
        }
        EXPECT_EQ(DecodeBootDevice(after[key]).signature, 0x0BADF00Du);
        EXPECT_EQ(DecodeBootDevice(after[key]).offset, 0x100000u);
    }
    EXPECT_EQ(DumpHiveKey(bcd.c_str(), "Description").values, (ValueList{{"KeyName", 1, Utf16("BCD00000000")}}));
    EXPECT_NE(out.find("Backup: " + bcd + ".voskarelle-"), std::string::npos) << out;
    EXPECT_NE(out.find("Backup: " + hive + ".voskarelle-"), std::string::npos) << out;

    // A GPT volume: the letter and the boot manager's device move together,
    // and no backup is left of either when none is wanted.
    std::vector<std::string> folder = FolderFiles();
    auto rootFiles = std::distance(fs::directory_iterator(root), fs::directory_iterator());
    ASSERT_EQ(Run({"move", hive, "--bcd", bcd, "E:=" + gpt + "#2", "--no-backup", "--disk", mbr}), 0) << err;
    EXPECT_EQ(FolderFiles(), folder);
    EXPECT_EQ(std::distance(fs::directory_iterator(root), fs::directory_iterator()), rootFiles);
    table = MountedDevices();
    DecodedIdentity e = DecodeIdentity(FindValue(table, "\\DosDevices\\E:")->data);
    EXPECT_EQ(GuidText(e.guid), "{0e2b7c1d-8a41-4f39-9c6b-2d5e8f1a3b4c}");
    BootDevice manager = DecodeBootDevice(Elements(bcd)[before.begin()->first]);
    EXPECT_EQ(GuidText(manager.partition), "{0e2b7c1d-8a41-4f39-9c6b-2d5e8f1a3b4c}");
    EXPECT_EQ(manager.disk, kGptDisk);

    // One file alone needs no copy to undo with: no room for one is no
    // reason to refuse.
    FailingFiles full("copy: disk full");
    ASSERT_EQ(Run({"move", hive, "E:=" + gpt + "#1", "--no-backup", "--disk", mbr, "--disk", gpt}, &full), 0) << err;
    table = MountedDevices();
    EXPECT_EQ(FindValue(table, "\\DosDevices\\E:")->data, kGptData);
    EXPECT_EQ(FolderFiles(), folder);
}

// A GPT partition GUID names a volume only together with its disk's GUID:
// the partition found, the suggestion and the whole-disk move all go by both.
TEST_F(BootStoreTest, GptDevicesGoByTheirDiskAndPartitionGuids)
{
    const std::array<std::uint8_t, 16> otherDisk = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    BootDevice here, elsewhere;
    here.style = elsewhere.style = PartitionStyle::Gpt;
    here.partition = elsewhere.partition = kGptGuid;
    here.disk = kGptDisk;
    elsewhere.disk = otherDisk;
    DiskScan scan;
    DiskInfo disk;
    disk.path = "g.img";
    disk.table = "gpt";
    disk.guid = kGptDisk;
    disk.hasId = true;
    scan.disks.push_back(disk);
    Partition part;
    part.path = "g.img#1";
    part.disk = "g.img";
    part.number = 1;
    part.identity = kGptData;
    part.offset = part.size = 1 << 20;
    scan.partitions.push_back(part);
    EXPECT_NE(FindBootPartition(scan, here), nullptr);
    EXPECT_EQ(FindBootPartition(scan, elsewhere), nullptr) << "the same partition GUID on another disk";

    // The clone's GPT disk got a new GUID: suggested, then moved, while an
    // element naming the same partition GUID on another disk stays as it is.
    std::string copy = (root / "gpt-copy.img").string();
    fs::copy_file(gpt, copy);
    ASSERT_EQ(std::system((Tool("sfdisk") + " -q --disk-id '" + copy + "' 5A4B3C2D-1E0F-4A9B-8C7D-6E5F4A3B2C1D").c_str()),
              0);
    std::string store = (root / "EFI-BCD").string();
    std::string manager = "Objects\\{9dea862c-5cdd-4e70-acc1-f32b344d4795}";
    std::string resume = "Objects\\{a1b2c3d4-0000-4000-8000-000000000002}";
    auto keys = std::vector<std::pair<std::string, ValueList>>{
        {"Description", {{"KeyName", 1, Utf16("BCD00000000")}}},
        {manager + "\\Description", {{"Type", 4, Dword(0x10100002)}}},
        {manager + "\\Elements\\11000001", {{"Element", kRegBinary, BootPartitionElement(here)}}}};
    ASSERT_TRUE(MakeHiveFile(store.c_str(), keys));
    ASSERT_EQ(Run({"show", store, "--disk", copy, "--json"}), 0) << err;
    EXPECT_EQ(Json::parse(out)["boot"]["suggested_moves"],
              Json::array({"voskarelle move " + store + " disk:{1d2c3b4a-5e6f-4a1b-8c9d-0e1f2a3b4c5d}=" + copy +
                           " --disk " + copy}));

    keys.push_back({resume + "\\Description", {{"Type", 4, Dword(0x10200004)}}});
    keys.push_back({resume + "\\Elements\\11000001", {{"Element", kRegBinary, BootPartitionElement(elsewhere)}}});
    ASSERT_TRUE(MakeHiveFile(store.c_str(), keys));
    std::string small = (root / "small-gpt.img").string();
    ASSERT_TRUE(MakeImage(small, "8M", "label: gpt\nstart=2048, size=2M\n"));
    EXPECT_EQ(Run({"move", store, "disk:{1d2c3b4a-5e6f-4a1b-8c9d-0e1f2a3b4c5d}=" + small, "--disk", copy}), 1);
    EXPECT_NE(err.find("no counterpart"), std::string::npos) << err;
    EXPECT_EQ(Run({"move", store, "gpt:{8f0a77aa-5c1e-4f0e-9d6a-1f2e3d4c5b6a}=" + copy + "#2", "--disk", copy}), 1);
    EXPECT_NE(err.find("names gpt:{8f0a77aa-5c1e-4f0e-9d6a-1f2e3d4c5b6a} on more than one disk"), std::string::npos)
        << err;
    ASSERT_EQ(Run({"move", store, "disk:{1d2c3b4a-5e6f-4a1b-8c9d-0e1f2a3b4c5d}=" + copy, "--no-backup"}), 0) << err;
    BootDevice moved = DecodeBootDevice(DumpHiveKey(store.c_str(), (manager + "\\Elements\\11000001").c_str()).values[0].data);
    EXPECT_EQ(GuidText(moved.disk), "{5a4b3c2d-1e0f-4a9b-8c7d-6e5f4a3b2c1d}");
    EXPECT_EQ(moved.partition, kGptGuid);
    EXPECT_EQ(DumpHiveKey(store.c_str(), (resume + "\\Elements\\11000001").c_str()).values[0].data,
              BootPartitionElement(elsewhere));
}

// OLD named each way finds the same volume: its letter, the store elements
// naming exactly that partition (not another of its disk), and nothing
// else; each value keeps its type.
TEST_F(BootStoreTest, EachFormOfOldNamesTheSameVolume)
{
    // The old disk's recovery partition, at another offset: never moved with C:.
    BootDevice recovery;
    recovery.style = PartitionStyle::Mbr;
    recovery.signature = 0x99887766;
    recovery.offset = 0x3300000;
    std::string resume = "Objects\\{a1b2c3d4-0000-4000-8000-000000000002}\\Elements\\11000001";
    storeKeys.push_back({"Objects\\{a1b2c3d4-0000-4000-8000-000000000002}\\Description",
                         {{"Type", 4, Dword(0x10200004)}}});
    storeKeys.push_back({resume, {{"Element", kRegBinary, BootPartitionElement(recovery)}}});
    ASSERT_TRUE(MakeHiveFile(bcd.c_str(), storeKeys));
    storeBytes = FileBytes(bcd);
    for (std::string old : {"C:", "mbr:99887766:1048576", "hex:667788990000100000000000"}) {
        ASSERT_EQ(Run({"move", hive, "--bcd", bcd, old + "=" + moved + "#1", "--dry-run", "--disk", mbr}), 0)
            << old << err;
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 4) << old << ": C:, the loader's two devices\n" << out;
        EXPECT_NE(out.find("MountedDevices \\DosDevices\\C:  MBR disk 99887766"), std::string::npos) << out;
        EXPECT_EQ(out.find("a1b2c3d4-0000-4000-8000-000000000002"), std::string::npos) << old << out;
    }
    ASSERT_EQ(Run({"move", hive, "--bcd", bcd, "mbr:99887766:1048576=" + moved + "#1", "--no-backup", "--disk", mbr}),
              0)
        << err;
    EXPECT_EQ(DumpHiveKey(bcd.c_str(), loaderDevice.c_str()).values.at(0).type, kRegBinary);
    EXPECT_EQ(DumpHiveKey(bcd.c_str(), resume.c_str()).values.at(0).data, BootPartitionElement(recovery));
    ValueList table = MountedDevices();
    EXPECT_EQ(FindValue(table, "\\DosDevices\\C:")->type, kRegBinary);
}

// A recovery partition near the end of a disk far larger than 4 GiB, and
// disks whose sectors are not 512 bytes: every offset is whole.
TEST_F(BootStoreTest, OffsetsPast4GiBAndOtherSectorSizesStayWhole)
{
    constexpr std::uint64_t kRecovery = 9ull << 30;
    std::string big = (root / "big.img").string();
    ASSERT_TRUE(MakeImage(big, "10G", "label: dos\nlabel-id: 0xb16d15c0\nstart=2048, size=100M, type=7\n"
                                      "start=" + std::to_string(kRecovery / 512) + ", size=500M, type=27\n"));
    BootDevice oldSystem, oldRecovery;
    oldSystem.style = oldRecovery.style = PartitionStyle::Mbr;
    oldSystem.signature = oldRecovery.signature = 0x99887766;
    oldSystem.offset = 0x100000;
    oldRecovery.offset = kRecovery;
    std::string loader = "Objects\\{a1b2c3d4-0000-4000-8000-000000000001}";
    std::string recovery = "Objects\\{a1b2c3d4-0000-4000-8000-000000000003}";
    std::vector<std::uint8_t> ramdisk = BootRamdiskElement(oldRecovery, "\\Recovery\\WindowsRE\\Winre.wim");
    ASSERT_TRUE(MakeHiveFile(bcd.c_str(),
                             {{"Description", {{"KeyName", 1, Utf16("BCD00000000")}}},
                              {loader + "\\Description", {{"Type", 4, Dword(0x10200003)}}},
                              {loader + "\\Elements\\21000001", {{"Element", kRegBinary, BootPartitionElement(oldSystem)}}},
                              {recovery + "\\Description", {{"Type", 4, Dword(0x10200003)}}},
                              {recovery + "\\Elements\\11000001", {{"Element", kRegBinary, ramdisk}}}}));
    ValueList table = {{"\\DosDevices\\C:", kRegBinary, MbrIdentity(0x99887766, 0x100000)},
                       {"\\??\\Volume{0bad0000-0000-0000-0000-000000000240}", kRegBinary,
                        MbrIdentity(0x99887766, kRecovery)}};
    ASSERT_TRUE(MakeHiveFile(hive.c_str(), {{"MountedDevices", table}, {"Select", kSelect}}));
    ASSERT_EQ(Run({"move", hive, "--bcd", bcd, "disk:99887766=" + big, "--disk", big, "--no-backup"}), 0) << err;
    ValueList after = MountedDevices();
    EXPECT_EQ(FindValue(after, table[1].name.c_str())->data, MbrIdentity(0xB16D15C0, kRecovery));
    std::vector<std::uint8_t> moved =
        DumpHiveKey(bcd.c_str(), (recovery + "\\Elements\\11000001").c_str()).values.at(0).data;
    BootDevice device = DecodeBootDevice(moved);
    EXPECT_EQ(device.offset, kRecovery);
    EXPECT_EQ(device.signature, 0xB16D15C0u);
    EXPECT_EQ(device.path, "\\Recovery\\WindowsRE\\Winre.wim");
    for (std::size_t i = 0; i < moved.size(); ++i) {
        if (i < 0x54 || i >= 0x8C) {
            EXPECT_EQ(moved[i], ramdisk[i]) << "byte " << i;
        }
    }

    // An MBR counts in sectors of a size it does not record: a file system
    // found tells it, --sector-size sets it, and otherwise the report says it
    // was assumed.
    std::string found = (root / "4k.img").string(), empty = (root / "4k-empty.img").string();
    const std::string script = "label: dos\nlabel-id: 0x4b4b4b4b\nstart=256, size=2048, type=c\n";
    ASSERT_TRUE(MakeImage(found, "16M", script, 4096));
    ASSERT_TRUE(MakeImage(empty, "16M", script, 4096));
    ASSERT_EQ(std::system((Tool("mkfs.fat") + " -F 12 --offset 2048 '" + found + "' 8192 >/dev/null 2>&1").c_str()), 0);
    const struct {
        std::vector<std::string> args;
        std::string says;
    } cases[] = {
        {{"disk-id", found}, "#1  MBR disk 4B4B4B4B, partition at 1048576 bytes (1 MiB)"},
        {{"disk-id", empty, "--sector-size", "4096"}, "#1  MBR disk 4B4B4B4B, partition at 1048576 bytes (1 MiB)"},
        {{"disk-id", empty}, "#1  MBR disk 4B4B4B4B, partition at 131072 bytes (128 KiB)"},
        {{"show", hive, "--disk", empty}, "512-byte sectors assumed"},
        {{"show", hive, "--disk", found}, "(dos partition table, 4096-byte sectors)"},
        {{"show", hive, "--disk", empty, "--sector-size", "4096"}, "(dos partition table, 4096-byte sectors)"},
        {{"disk-id", empty}, "512 bytes were assumed for the offsets above"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Run(c.args), 0) << err;
        EXPECT_NE(out.find(c.says), std::string::npos) << c.says << "\n" << out;
    }
    // A guess is never written.
    std::vector<std::uint8_t> before = FileBytes(hive);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"set", hive, empty + "#1=D:", "--disk", empty},
          std::vector<std::string>{"move", hive, "C:=" + empty + "#1", "--disk", empty}}) {
        EXPECT_EQ(Run(args), 1) << args[0];
        EXPECT_NE(err.find("its sector size is not known"), std::string::npos) << err;
    }
    EXPECT_EQ(FileBytes(hive), before);
    EXPECT_EQ(Run({"set", hive, empty + "#1=D:", "--disk", empty, "--sector-size", "4096", "--no-backup"}), 0) << err;
    ValueList written = MountedDevices();
    EXPECT_EQ(FindValue(written, "\\DosDevices\\D:")->data, MbrIdentity(0x4B4B4B4B, 1 << 20));
}

TEST_F(BootStoreTest, RefusedMovesLeaveBothFilesByteIdentical)
{
    fs::copy_file(mbr, root / "copy.img");
    fs::copy_file(moved, root / "moved-copy.img");
    std::string small = (root / "small.img").string();
    ASSERT_TRUE(MakeImage(small, "8M", "label: dos\nlabel-id: 0x0badf00e\nstart=4096, type=7\n"));
    FailingFiles secondRename("second rename");
    FailingFiles storeFsync("fsync store");
    struct Case {
        std::vector<std::string> args;
        const char* says;
        CommitFiles* files = nullptr;
    };
    const std::vector<Case> cases = {
        {{"hex:0011=" + mbr + "#1"}, "named by neither"},
        {{"C:=" + mbr + "#9"}, "no partition of the examined disks"},
        {{"C:=" + mbr + "#1", "--disk", (root / "copy.img").string()}, "found twice"},
        {{"disk:99887766=" + small}, "has no partition at 1048576 bytes"},
        {{"C:=" + mbr + "#1"}, "already holds the identity"},
        {{"mbr:99887766:XY=" + moved + "#1"}, "malformed OLD"},
        {{"disk:99887766=" + moved}, "was put back as it was", &secondRename},
        {{"disk:99887766=" + moved}, "cannot flush", &storeFsync},
        {{"C:=" + moved + "#1", "D:=" + moved + "#1"}, "one letter each"},
        {{"hex:=" + moved + "#1"}, "malformed OLD"},
        {{"disk:99887766=" + moved, "--disk", (root / "moved-copy.img").string()}, "found twice"},
    };
    auto files = [&] {
        std::vector<std::string> names = FolderFiles();
        for (const auto& entry : fs::directory_iterator(root))
            names.push_back(entry.path().filename().string());
        return names;
    };
    std::vector<std::string> before = files();
    // A hive another user owns keeps its owner and mode when it is put back.
    ASSERT_EQ(chown(hive.c_str(), 1234, 1235), 0);
    ASSERT_EQ(chmod(hive.c_str(), 0640), 0);
    for (const Case& c : cases) {
        std::vector<std::string> args = {"move", hive, "--bcd", bcd};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.insert(args.end(), {"--disk", mbr, "--disk", moved});
        EXPECT_NE(Run(args, c.files), 0) << c.says;
        EXPECT_NE(err.find(c.says), std::string::npos) << c.says << ": " << err;
        EXPECT_EQ(FileBytes(hive), original) << c.says;
        EXPECT_EQ(FileBytes(bcd), storeBytes) << c.says;
        EXPECT_EQ(files(), before) << c.says << ": nothing left behind";
        struct stat st;
        ASSERT_EQ(stat(hive.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 1234u) << c.says;
        EXPECT_EQ(st.st_gid, 1235u) << c.says;
        EXPECT_EQ(st.st_mode & 07777, 0640u) << c.says;
    }

    // Conditions of the files and disks rather than of the arguments.
    std::vector<std::string> args = {"move", hive, "--bcd", bcd, "disk:99887766=" + moved, "--disk", mbr};
    struct Condition {
        const char* says;
        std::function<void()> make, undo;
    };
    std::vector<std::uint8_t> dirty = storeBytes;
    PutLe32(dirty, 4, Le32(dirty, 8) + 1);
    PutLe32(dirty, 0x1FC, BaseBlockChecksum(dirty));
    const std::vector<Condition> conditions = {
        {"dirty", [&] { WriteBytes(bcd, dirty); }, [&] { WriteBytes(bcd, storeBytes); }},
        {"hibernation", [&] { WriteBytes(root / "hiberfil.sys", Bytes({'h', 'i', 'b', 'r'})); },
         [&] { fs::remove(root / "hiberfil.sys"); }},
        {"BitLocker", [&] { MakeBitLocker(moved, 1048576); }, [] {}},
    };
    for (const Condition& c : conditions) {
        c.make();
        std::vector<std::uint8_t> store = FileBytes(bcd);
        EXPECT_EQ(Run(args), 1) << c.says;
        EXPECT_NE(err.find(c.says), std::string::npos) << c.says << ": " << err;
        EXPECT_EQ(FileBytes(hive), original) << c.says;
        EXPECT_EQ(FileBytes(bcd), store) << c.says;
        c.undo();
    }
    args.push_back("--force-bitlocker");
    EXPECT_EQ(Run(args), 0) << err;
    EXPECT_NE(err.find("recovery key"), std::string::npos) << err;
}

// When the second file of a change cannot be put in place, the first is put
// back from its backup, which is made for that even without --no-backup's
// wish; a backup is never deleted while it may be the only copy left.
TEST_F(BootStoreTest, AFailedSecondReplacementIsUndoneOrItsBackupKept)
{
    const struct {
        const char* step;
        bool noBackup;
        bool undone;      // the hive is as it was
        const char* says; // in the refusal
    } cases[] = {
        {"second rename", true, true, "was put back as it was"},
        {"second rename, undo fails", false, false, "could NOT be put back"},
        {"second rename, undo fails", true, false, "could NOT be put back"},
        {"second rename, restore unflushed", true, false, "could NOT be put back"},
        {"second rename, put back unflushed", true, false, "was put back as it was (put back, but not yet safely"},
        {"fsync folder", true, false, "not yet safely on the disk"},
    };
    std::vector<std::string> args = {"move", hive, "--bcd", bcd, "disk:99887766=" + moved, "--disk", mbr};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.step) + (c.noBackup ? ", --no-backup" : ""));
        WriteBytes(hive, original);
        WriteBytes(bcd, storeBytes);
        for (const auto& entry : fs::directory_iterator(root))
            if (entry.path().string().find(".voskarelle-") != std::string::npos)
                fs::remove(entry.path());
        for (const auto& entry : fs::directory_iterator(fs::path(hive).parent_path()))
            if (entry.path().string().find(".voskarelle-") != std::string::npos)
                fs::remove(entry.path());
        FailingFiles files(c.step);
        std::vector<std::string> withFlags = args;
        if (c.noBackup)
            withFlags.push_back("--no-backup");
        EXPECT_EQ(Run(withFlags, &files), 1);
        EXPECT_NE(err.find(c.says), std::string::npos) << err;
        if (c.undone) {
            EXPECT_EQ(FileBytes(hive), original);
            EXPECT_EQ(FileBytes(bcd), storeBytes);
            continue;
        }
        // Whatever is not as it was has its original in a backup that is
        // still there, and named.
        std::size_t named = err.find("its backup is ");
        std::vector<std::string> backups;
        for (std::size_t at = out.find("Backup: "); at != std::string::npos; at = out.find("Backup: ", at + 1))
            backups.push_back(out.substr(at + 8, out.find('\n', at) - at - 8));
        if (named != std::string::npos)
            backups.push_back(err.substr(named + 14, err.find_first_of(";\n", named) - named - 14));
        if (FileBytes(hive) != original || std::string(c.step).ends_with("put back unflushed")) {
            EXPECT_TRUE(std::any_of(backups.begin(), backups.end(), [&](const std::string& b) {
                return b.starts_with(hive) && FileBytes(b) == original;
            })) << out << err;
        }
        if (FileBytes(bcd) != storeBytes) {
            EXPECT_TRUE(std::any_of(backups.begin(), backups.end(), [&](const std::string& b) {
                return b.starts_with(bcd) && FileBytes(b) == storeBytes;
            })) << out << err;
        }
    }
}

// Output that cannot be written is a failure, and the informational
// options need no hive.
TEST_F(CommandTest, OutputIsCheckedAndTheProgramTellsItsVersionAndUsage)
{
    for (std::vector<std::string> args : {std::vector<std::string>{"show", hive, "--json", "--disk", mbr},
                                          std::vector<std::string>{"--version"}}) {
        std::ofstream full("/dev/full");
        std::ostringstream e;
        CommitFiles files;
        EXPECT_EQ(RunVoskarelle(args, full, e, files), 1) << args[0];
        EXPECT_NE(e.str().find("cannot write the output: No space left on device"), std::string::npos) << e.str();
    }
    const std::pair<const char*, const char*> informational[] = {
        {"--version", "voskarelle "}, {"-V", "voskarelle "}, {"--help", "usage: "}, {"-h", "usage: "}};
    for (auto [arg, says] : informational) {
        EXPECT_EQ(Run({arg}), 0) << arg;
        EXPECT_EQ(out.rfind(says, 0), 0u) << arg << out;
        EXPECT_EQ(err, "");
    }
}

} // namespace
