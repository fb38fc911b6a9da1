// The voskarelle command end to end on hive files made with libhivex and on
// disk images partitioned by sfdisk, each outcome checked by reading the
// files afresh.
#include "cli/command.h"
#include "hive/hive_file.h"
#include "mounttable/identity.h"
#include "support/hivex_registry.h"
#include "support/regf_writer.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

std::vector<std::uint8_t> FileBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const fs::path& path, const std::vector<std::uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string Tool(const char* name)
{
    std::string sbin = std::string("/usr/sbin/") + name;
    return access(sbin.c_str(), X_OK) == 0 ? sbin : name;
}

// A sparse image partitioned by sfdisk from its script.
bool MakeImage(const fs::path& image, const char* size, const std::string& script)
{
    std::string command = "truncate -s " + std::string(size) + " '" + image.string() + "' && " + Tool("sfdisk") +
                          " -q '" + image.string() + "' >/dev/null";
    std::FILE* pipe = popen(command.c_str(), "w");
    if (pipe == nullptr)
        return false;
    std::fputs(script.c_str(), pipe);
    return pclose(pipe) == 0;
}

// Fails one named step of the commit, as a full disk or a failing device would.
class FailingFiles final : public CommitFiles {
public:
    explicit FailingFiles(std::string step) : step_(std::move(step)) {}
    int Fsync(int fd) override { return step_ == "fsync" ? (errno = EIO, -1) : CommitFiles::Fsync(fd); }
    int Rename(const char* from, const char* to) override
    {
        return step_ == "rename" ? (errno = EXDEV, -1) : CommitFiles::Rename(from, to);
    }
    bool CopyToNewFile(const char* from, const char* to) override
    {
        if (step_ != "copy")
            return CommitFiles::CopyToNewFile(from, to);
        errno = ENOSPC;
        return false;
    }

private:
    std::string step_;
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
                              "label: gpt\nstart=2048, size=10M, uuid=8F0A77AA-5C1E-4F0E-9D6A-1F2E3D4C5B6A\n"
                              "start=22528, size=10M, uuid=0E2B7C1D-8A41-4F39-9C6B-2D5E8F1A3B4C\n"));
        original = FileBytes(hive);
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

    int Run(std::vector<std::string> args, CommitFiles* files = nullptr)
    {
        std::ostringstream o, e;
        CommitFiles plain;
        status = RunVoskarelle(args, o, e, files ? *files : plain);
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
    std::vector<std::string> FolderFiles()
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(fs::path(hive).parent_path()))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    inline static const ValueList kSelect = {{"Current", 4, Bytes({1, 0, 0, 0})}};
    fs::path root;
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
}

TEST_F(CommandTest, SetGivesEachVolumeExactlyItsLetterAndKeepsEverythingElse)
{
    // The clone's system volume takes C: from a disk that is gone, the GPT
    // volume moves from E: to D: and the stick loses its letter.
    ASSERT_EQ(Run({"set", hive, mbr + "#1=c:", "E:=D:", "F:=none", "--disk", gpt}), 0) << err;
    ValueList expected = {
        {"\\DosDevices\\C:", kRegBinary, kCloneSystem},
        {"\\??\\Volume{6c5a3e1e-0000-0000-0000-100000000000}", kRegBinary, kCloneSystem},
        {"\\DosDevices\\D:", kRegBinary, kGptData},
        Table()[5], // Q: of another type
        Table()[6],
        Table()[7],
    };
    EXPECT_EQ(MountedDevices(), Sorted(expected));
    HiveKeyDump select = DumpHiveKey(hive.c_str(), "Select");
    EXPECT_EQ(select.values, kSelect);

    std::string backupLine = out.substr(0, out.find('\n'));
    ASSERT_EQ(backupLine.rfind("Backup: " + hive + ".voskarelle-", 0), 0u) << out;
    std::string backup = backupLine.substr(8);
    EXPECT_TRUE(backup.ends_with("Z.bak"));
    EXPECT_EQ(FileBytes(backup), original);

    // A swap in one call, without a backup this time.
    std::vector<std::string> before = FolderFiles();
    ASSERT_EQ(Run({"set", hive, "C:=D:", "D:=C:", "--no-backup", "--disk", gpt}), 0) << err;
    ValueList table = MountedDevices();
    EXPECT_EQ(*FindValue(table, "\\DosDevices\\C:"), (RegValue{"\\DosDevices\\C:", kRegBinary, kGptData}));
    EXPECT_EQ(*FindValue(table, "\\DosDevices\\D:"), (RegValue{"\\DosDevices\\D:", kRegBinary, kCloneSystem}));
    EXPECT_EQ(FolderFiles(), before) << "no backup, and no file left behind";
}

TEST_F(CommandTest, DryRunPrintsTheTableItWouldWriteAndChangesNothing)
{
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
        {{"set", hive, "C:=GG"}, 2, "malformed assignment"},
        {{"set", hive, "hex:ABC=G:"}, 2, "malformed identity"},
        {{"set", hive}, 2, "no VOLUME=LETTER"},
        {{"show", hive, "--dry-run"}, 2, "unknown option"},
        {{"set", (root / "absent").string(), "C:=G:"}, 1, "no such file"},
        {{"show", root.string()}, 1, "folder"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Run(c.args), c.status) << c.says;
        EXPECT_EQ(err.rfind("voskarelle: ", 0), 0u) << err;
        EXPECT_NE(err.find(c.says), std::string::npos) << err;
        EXPECT_EQ(FileBytes(hive), original) << c.says;
    }

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
    EXPECT_EQ(Run({"set", hive, "D:=G:", "--force-hibernated", "--no-backup"}), 0) << err;
    WriteBytes(root / "HiberFil.sys", Bytes({'w', 'a', 'k', 'e', 0, 0}));
    EXPECT_EQ(Run({"set", hive, "G:=H:", "--no-backup"}), 0) << err;
}

// A clone taken from a running Windows: its base file is older than its
// logs. Both commands read the hive as recovered; set writes the recovered
// hive with the change and moves the applied log aside.
TEST_F(CommandTest, ADirtyHiveIsReadAndWrittenAsItsLogsRecoverIt)
{
    // The logged state: D: and E: swapped since the base file was written.
    std::string later = (root / "later").string();
    ValueList logged = Table();
    std::swap(logged[1].data, logged[3].data);
    ASSERT_TRUE(MakeHiveFile(later.c_str(), {{"MountedDevices", logged}, {"Select", kSelect}}));
    std::vector<std::uint8_t> latest = FileBytes(later);
    std::uint32_t binsSize = static_cast<std::uint32_t>(latest.size() - 4096);
    std::vector<LogPage> pages;
    for (std::uint32_t at = 0; at < binsSize; at += 4096)
        pages.push_back({at, std::vector<std::uint8_t>(latest.begin() + 4096 + at, latest.begin() + 8192 + at)});

    std::vector<std::uint8_t> base = original;
    std::uint32_t sequence = 0;
    std::memcpy(&sequence, &base[8], 4);
    std::uint32_t primary = sequence + 1;
    std::memcpy(&base[4], &primary, 4);
    std::uint32_t sum = BaseBlockChecksum(base);
    std::memcpy(&base[0x1FC], &sum, 4);
    WriteBytes(hive, base);
    std::string log = hive + ".LOG1";
    WriteBytes(log, MakeNewFormatLog(base, sequence, {{sequence, binsSize, pages}}));
    std::vector<std::uint8_t> logBytes = FileBytes(log);

    ASSERT_EQ(Run({"show", hive, "--json", "--disk", gpt}), 0) << err;
    Json doc = Json::parse(out);
    EXPECT_EQ(doc["recovered_from"], Json::array({log}));
    EXPECT_EQ(doc["entries"][1]["letter"], "D:");
    EXPECT_EQ(doc["entries"][1]["kind"], "gpt") << "the logged swap is shown";
    EXPECT_TRUE(doc["warnings"].empty());
    EXPECT_EQ(FileBytes(hive), base);

    ASSERT_EQ(Run({"set", hive, "D:=G:", "--disk", gpt}), 0) << err;
    EXPECT_NE(out.find("Read as recovered from its transaction logs: " + log + " (1 entry"), std::string::npos)
        << out;
    ValueList table = MountedDevices();
    EXPECT_EQ(FindValue(table, "\\DosDevices\\D:"), nullptr);
    ASSERT_NE(FindValue(table, "\\DosDevices\\G:"), nullptr);
    EXPECT_EQ(FindValue(table, "\\DosDevices\\G:")->data, kGptData);
    EXPECT_EQ(FindValue(table, "\\DosDevices\\E:")->data, kCloneSystem) << "the rest of the logged state";
    BaseBlock block;
    std::vector<std::uint8_t> written = FileBytes(hive);
    ASSERT_TRUE(ParseBaseBlock(written, &block));
    EXPECT_FALSE(block.Dirty());
    EXPECT_TRUE(block.checksumOk);

    EXPECT_FALSE(fs::exists(log)) << "no stale log is left to replay";
    std::string backup = out.substr(8, out.find('\n') - 8);
    EXPECT_EQ(FileBytes(backup), base) << "the backup keeps the original base file";
    std::size_t aside = out.find("Log moved aside: ");
    ASSERT_NE(aside, std::string::npos) << out;
    std::string moved = out.substr(aside + 17, out.find('\n', aside) - aside - 17);
    EXPECT_EQ(moved.rfind(log + ".voskarelle-", 0), 0u);
    EXPECT_EQ(FileBytes(moved), logBytes);
}

// A failure at any step of the commit leaves the original file in place,
// whole, with no new file (and no backup of an unchanged hive) beside it.
TEST_F(CommandTest, AFailedCommitLeavesTheOriginalHive)
{
    std::vector<std::string> before = FolderFiles();
    for (auto [step, backup] : {std::pair{"copy", true}, {"fsync", true}, {"fsync", false}, {"rename", true}}) {
        FailingFiles files(step);
        std::vector<std::string> args = {"set", hive, "D:=G:"};
        if (!backup)
            args.push_back("--no-backup");
        EXPECT_EQ(Run(args, &files), 1) << step;
        EXPECT_EQ(err.rfind("voskarelle: ", 0), 0u) << err;
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
    EXPECT_EQ(Run({"set", hive, "G:=H:", "--no-backup"}), 1);
    EXPECT_NE(err.find("big-data records"), std::string::npos) << err;
    EXPECT_EQ(FileBytes(hive), bytes);
}

} // namespace
