// disk-id on images partitioned by sfdisk: the identity written is read back
// by sfdisk, the backup is restored with the commands printed, and every
// refusal leaves the image byte for byte as it was.
#include "cli/commit/commit.h"
#include "cli/verbs/command.h"
#include "support/disk_images.h"
#include "support/partition_files.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;


// The standard output of a command, and its status.
int Capture(const std::string& command, std::string* output)
{
    std::FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    char buffer[4096];
    for (std::size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        output->append(buffer, n);
    return pipe ? pclose(pipe) : -1;
}

class FailingFsync final : public CommitFiles {
public:
    int Fsync(int) override { return errno = EIO, -1; }
};

// A disk that takes a write and then loses it: the first time the label is
// flushed, its signature is another.
// The first flush of the image through the commit seam: the disk loses the
// write (the MBR's old signature is back), or the flush fails.
class LostWrite final : public CommitFiles {
public:
    explicit LostWrite(fs::path image, bool fails = false) : image_(std::move(image)), fails_(fails) {}
    int Fsync(int fd) override
    {
        std::error_code error;
        if (!lost_ && fs::read_symlink("/proc/self/fd/" + std::to_string(fd), error) == image_) {
            lost_ = true;
            if (fails_)
                return errno = EIO, -1;
            const std::uint8_t old[4] = {0x3E, 0xA0, 0xBE, 0x5C};
            if (pwrite(fd, old, sizeof old, 440) != sizeof old)
                return -1;
        }
        return CommitFiles::Fsync(fd);
    }

private:
    fs::path image_;
    bool fails_;
    bool lost_ = false;
};

class DiskId : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = fs::temp_directory_path() /
               ("voskarelle-disk-id-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root / "machine");
        mbr = root / "clone.img", other = root / "other.img", gpt = root / "gpt.img";
        otherGpt = root / "othergpt.img", bare = root / "bare.img", gpt4k = root / "gpt4k.img";
        const std::string parts = "start=2048, size=1M, type=7\nstart=4096, size=1M, type=83\n";
        ASSERT_TRUE(MakeImage(mbr, "4M", "label: dos\nlabel-id: 0x5cbea03e\n" + parts));
        ASSERT_TRUE(MakeImage(other, "4M", "label: dos\nlabel-id: 0x1a2b3c4d\n" + parts));
        ASSERT_TRUE(MakeImage(gpt, "4M", "label: gpt\nlabel-id: 6C5A3E1E-0000-4000-8000-100000000000\n"
                                         "start=2048, size=1M, uuid=8F0A77AA-5C1E-4F0E-9D6A-1F2E3D4C5B6A\n"));
        ASSERT_TRUE(MakeImage(otherGpt, "4M", "label: gpt\nlabel-id: 0E2B7C1D-8A41-4F39-9C6B-2D5E8F1A3B4C\n"
                                              "start=2048, size=1M\n"));
        ASSERT_TRUE(MakeImage(gpt4k, "8M", "label: gpt\nlabel-id: 6C5A3E1E-0000-4000-8000-400000000000\n"
                                           "start=256, size=1M, uuid=8F0A77AA-5C1E-4F0E-9D6A-1F2E3D4C5B6A\n",
                              4096));
        std::ofstream(bare).close();
        fs::resize_file(bare, 4 << 20);
    }
    void TearDown() override { fs::remove_all(root); }

    // The images are every disk examined, the one worked on among them.
    int Run(std::vector<std::string> args, CommitFiles* files = nullptr)
    {
        args.insert(args.begin(), "disk-id");
        for (const fs::path& disk : {mbr, other, gpt, otherGpt})
            args.insert(args.end(), {"--disk", disk.string()});
        out.str("");
        err.str("");
        CommitFiles plain;
        return RunVoskarelle(args, out, err, files ? *files : plain, (root / "machine").string());
    }

    std::vector<fs::path> Backups() const
    {
        std::vector<fs::path> found;
        for (const auto& entry : fs::directory_iterator(root))
            if (entry.path().string().ends_with(".label.bak"))
                found.push_back(entry.path());
        return found;
    }

    fs::path root, mbr, other, gpt, otherGpt, bare, gpt4k;
    std::ostringstream out, err;
};

TEST_F(DiskId, WritesThroughLibfdiskAfterABackupItsCommandsRestore)
{
    struct Case {
        fs::path image;
        std::string newId, dumped, written, partition;
        std::size_t sector = 512;
        bool activeProtectiveEntry = false; // as some tools leave a GPT disk's protective MBR
        const char* format = "";            // the VM image format it is turned into first
    } cases[] = {
        {mbr, "0x1A2B3C4E", "label-id: 0x1a2b3c4e", ": 5CBEA03E -> 1A2B3C4E", "identity 4E3C2B1A0000100000000000"},
        {gpt, "{0e2b7c1d-8a41-4f39-9c6b-2d5e8f1a3b4d}", "label-id: 0E2B7C1D-8A41-4F39-9C6B-2D5E8F1A3B4D",
         ": {6c5a3e1e-0000-4000-8000-100000000000} -> {0e2b7c1d-8a41-4f39-9c6b-2d5e8f1a3b4d}",
         "GPT partition {8f0a77aa-5c1e-4f0e-9d6a-1f2e3d4c5b6a}  identity 444D494F3A49443AAA770A8F1E5C0E4F"},
        {gpt, "{0e2b7c1d-8a41-4f39-9c6b-2d5e8f1a3b4e}", "label-id: 0E2B7C1D-8A41-4F39-9C6B-2D5E8F1A3B4E",
         ": {6c5a3e1e-0000-4000-8000-100000000000} -> {0e2b7c1d-8a41-4f39-9c6b-2d5e8f1a3b4e}", "{8f0a77aa-", 512,
         true},
        {gpt4k, "{0e2b7c1d-8a41-4f39-9c6b-2d5e8f1a3b4f}", "label-id: 0E2B7C1D-8A41-4F39-9C6B-2D5E8F1A3B4F",
         ": {6c5a3e1e-0000-4000-8000-400000000000} -> {0e2b7c1d-8a41-4f39-9c6b-2d5e8f1a3b4f}",
         "{8f0a77aa-", 4096},
        {mbr, "0x1A2B3C4F", "label-id: 0x1a2b3c4f", ": 5CBEA03E -> 1A2B3C4F", "identity 4F3C2B1A0000100000000000", 512,
         false, "qcow2"},
        {gpt, "{0e2b7c1d-8a41-4f39-9c6b-2d5e8f1a3b50}", "label-id: 0E2B7C1D-8A41-4F39-9C6B-2D5E8F1A3B50",
         ": {6c5a3e1e-0000-4000-8000-100000000000} -> {0e2b7c1d-8a41-4f39-9c6b-2d5e8f1a3b50}", "{8f0a77aa-", 512,
         false, "vhdx"},
    };
    bool qemu = std::system("command -v qemu-nbd qemu-img qemu-io >/dev/null") == 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.image.string() + " " + c.newId + " " + c.format);
        if (*c.format && !qemu) {
            ADD_FAILURE() << "qemu-nbd, qemu-img and qemu-io are not installed (Debian package qemu-utils)";
            continue;
        }
        if (c.activeProtectiveEntry) {
            Bytes sector = FileBytes(c.image);
            sector[0x1BE] = 0x80;
            sector[0x1C3] = 0xFE;
            WriteBytes(c.image, sector);
        }
        Bytes original = FileBytes(c.image);
        // A VM image is changed as the disk it holds, read back as raw.
        // Its name holds a space and a quote: the restore commands printed
        // must work pasted as they are.
        fs::path disk = c.image, vm = root / (std::string("a clone's disk.") + c.format);
        auto readBack = [&] {
            EXPECT_TRUE(ToRawImage(vm, c.image));
        };
        if (*c.format) {
            disk = vm;
            ASSERT_TRUE(ToVmImage(c.image, c.format, vm));
        }
        ASSERT_EQ(Run({disk.string(), c.newId}), kExitOk) << err.str();
        if (*c.format) {
            EXPECT_EQ(std::system(("qemu-img check -q " + Quote(vm)).c_str()), 0);
            readBack();
        }
        std::string dump, verify;
        if (c.sector == 512) {
            EXPECT_EQ(Capture(Tool("sfdisk") + " --dump '" + c.image.string() + "'", &dump), 0);
            EXPECT_NE(dump.find(c.dumped + "\n"), std::string::npos) << dump;
            EXPECT_EQ(Capture(Tool("sfdisk") + " --verify '" + c.image.string() + "'", &verify), 0) << verify;
        } else { // this sfdisk reads only 512-byte sectors
            EXPECT_EQ(Capture(Tool("fdisk") + " -b " + std::to_string(c.sector) + " -l '" + c.image.string() + "'",
                              &dump),
                      0);
            EXPECT_NE(dump.find("Disk identifier: " + c.dumped.substr(10) + "\n"), std::string::npos) << dump;
            EXPECT_EQ(dump.find("mismatch"), std::string::npos) << dump;
        }
        EXPECT_NE(out.str().find("Written: " + disk.string() + c.written + "\n"), std::string::npos) << out.str();
        EXPECT_NE(out.str().find(c.partition), std::string::npos) << out.str();

        // Only the identity changed, with the CRCs and header copies that
        // cover it, and the backup holds the label areas as they were.
        Bytes now = FileBytes(c.image);
        ASSERT_EQ(now.size(), original.size());
        std::vector<bool> mayChange(now.size(), false);
        auto allow = [&](std::size_t at, std::size_t count) { std::fill_n(mayChange.begin() + at, count, true); };
        if (c.image == mbr)
            allow(440, 4);
        for (std::size_t header : {c.sector, now.size() - c.sector})
            if (c.image != mbr)
                allow(header + 16, 4), allow(header + 56, 16);
        for (std::size_t i = 0; i < now.size(); ++i)
            if (!mayChange[i] && now[i] != original[i])
                ADD_FAILURE() << "byte " << i << " changed from " << int(original[i]) << " to " << int(now[i]);
        std::vector<fs::path> backups = Backups();
        ASSERT_EQ(backups.size(), 1u);
        EXPECT_NE(out.str().find("Backup: " + backups[0].string() + "\n"), std::string::npos);
        Bytes saved(original.begin(), original.begin() + 34 * c.sector);
        saved.insert(saved.end(), original.end() - 33 * c.sector, original.end());
        EXPECT_EQ(FileBytes(backups[0]), saved);

        std::istringstream lines(out.str());
        int restored = 0;
        for (std::string line; std::getline(lines, line);)
            if (line.starts_with("  to restore: "))
                restored += std::system((line.substr(14) + (line.starts_with("  to restore: dd ") ? " status=none" : " >/dev/null"))
                                            .c_str()) == 0;
        EXPECT_EQ(restored, *c.format ? 3 : 2);
        if (*c.format)
            readBack();
        EXPECT_EQ(FileBytes(c.image), original);
        for (const fs::path& made : Backups())
            fs::remove(made);
        fs::remove(backups[0].string() + ".head");
        fs::remove(backups[0].string() + ".tail");
    }
}

// A backup name already taken is never overwritten, and a write the disk
// lost or a repair that failed is told and undone, never reported as done.
TEST_F(DiskId, KeepsEveryEarlierBackupAndReadsTheIdentityBack)
{
    std::time_t now = std::time(nullptr);
    std::vector<fs::path> taken;
    for (std::time_t t = now; t <= now + 2; ++t) {
        taken.push_back(BackupName(mbr.string(), t) + ".label.bak");
        std::ofstream(taken.back()) << "old";
    }
    ASSERT_EQ(Run({mbr.string(), "1A2B3C4E"}), kExitOk) << err.str();
    for (const fs::path& name : taken) {
        EXPECT_EQ(FileBytes(name), (Bytes{'o', 'l', 'd'})) << name;
        fs::remove(name);
    }
    ASSERT_EQ(Backups().size(), 1u);
    fs::remove(Backups()[0]);

    LostWrite lost(mbr);
    EXPECT_EQ(Run({mbr.string(), "2A2B3C4E"}, &lost), kExitRefused);
    EXPECT_NE(err.str().find("reading " + mbr.string() + " back shows 5CBEA03E"), std::string::npos) << err.str();
    EXPECT_NE(err.str().find("the label was put back as it was"), std::string::npos) << err.str();
    EXPECT_EQ(Backups().size(), 1u);
    std::string dump;
    EXPECT_EQ(Capture(Tool("sfdisk") + " --dump '" + mbr.string() + "'", &dump), 0);
    EXPECT_NE(dump.find("label-id: 0x1a2b3c4e\n"), std::string::npos) << dump;

    // The repair of what libfdisk changed beyond the identity fails: the
    // saved label goes back, and is said to.
    Bytes sector = FileBytes(gpt);
    sector[0x1BE] = 0x80;
    WriteBytes(gpt, sector);
    Bytes before = FileBytes(gpt);
    LostWrite failing(gpt, true);
    EXPECT_EQ(Run({gpt.string(), "{0e2b7c1d-8a41-4f39-9c6b-2d5e8f1a3b4d}"}, &failing), kExitRefused);
    EXPECT_NE(err.str().find("than its identity, and that could not be undone"), std::string::npos) << err.str();
    EXPECT_NE(err.str().find("the label was put back as it was"), std::string::npos) << err.str();
    EXPECT_EQ(FileBytes(gpt), before);
}

TEST_F(DiskId, ShowsAndDryRunsWithoutWriting)
{
    struct Case {
        std::vector<std::string> args;
        std::string expected;
    } cases[] = {
        {{mbr.string()}, "Disk " + mbr.string() + ": MBR disk signature 5CBEA03E\n  " + mbr.string() +
                             "#1  MBR disk 5CBEA03E, partition at 1048576 bytes (1 MiB)  identity "
                             "3EA0BE5C0000100000000000\n"},
        {{gpt.string()}, "Disk " + gpt.string() + ": GPT disk {6c5a3e1e-0000-4000-8000-100000000000}\n"},
        {{mbr.string(), "5cbea03e"}, mbr.string() + " already carries 5CBEA03E; nothing was written.\n"},
        {{mbr.string(), "1A2B3C4E", "--dry-run"}, "Would write: " + mbr.string() + ": 5CBEA03E -> 1A2B3C4E\n  " +
                                                      mbr.string() + "#1  MBR disk 1A2B3C4E"},
    };
    // Logical partitions a link apart, the second far past the first, read
    // from a VM image as from the raw one.
    fs::path logical = root / "logical.img", vm = root / "logical.qcow2";
    ASSERT_TRUE(MakeImage(logical, "64M", "label: dos\nlabel-id: 0x12345678\nstart=2048, size=8M, type=7\n"
                                          "start=20480, size=40M, type=5\nstart=22528, size=8M, type=7\n"
                                          "start=61440, size=8M, type=7\n"));
    std::vector<Case> all(std::begin(cases), std::end(cases));
    if (ToVmImage(logical, "qcow2", vm))
        all.push_back({{vm.string()}, "#5  MBR disk 12345678, partition at 11534336 bytes (11 MiB)  identity "
                                      "785634120000B00000000000\n  " +
                                          vm.string() + "#6  MBR disk 12345678, partition at 31457280 bytes"});
    else
        ADD_FAILURE() << "qemu-img is not installed (Debian package qemu-utils)";
    for (const Case& c : all) {
        Bytes original = FileBytes(c.args[0]);
        EXPECT_EQ(Run(c.args), kExitOk) << err.str();
        EXPECT_NE(out.str().find(c.expected), std::string::npos) << out.str();
        EXPECT_EQ(FileBytes(c.args[0]), original);
        EXPECT_TRUE(Backups().empty());
    }
}

TEST_F(DiskId, RefusesLeavingTheDiskAsItWas)
{
    struct Case {
        fs::path image;
        std::string newId, message;
        fs::perms mode = fs::perms::unknown;
        std::uintmax_t growTo = 0;
        bool failFsync = false;
        std::vector<std::string> extra = {};
        bool loseWrite = false;
    } cases[] = {
        {mbr, "1a2b3c4d", other.string() + " already carries 1A2B3C4D; detach it first"},
        {gpt, "{0E2B7C1D-8A41-4F39-9C6B-2D5E8F1A3B4C}", otherGpt.string() + " already carries {0e2b7c1d-"},
        {mbr, "5CBEA03", "malformed identity \"5CBEA03\""},
        {mbr, "0xZZZZZZZZ", "malformed identity"},
        {mbr, "{0e2b7c1d-8a41-4f39-9c6b-2d5e8f1a3b4d}", "is a GUID, for a GPT disk"},
        {gpt, "1A2B3C4E", "is an MBR disk signature"},
        {mbr, "00000000", "Windows would give the disk a new one"},
        {gpt, "{00000000-0000-0000-0000-000000000000}", "Windows would give the disk a new one"},
        {.image = mbr,
         .newId = "1A2B3C4E",
         .message = "cannot be read, so it cannot be told whether it already carries 1A2B3C4E",
         .extra = {"--disk", "/nonexistent/disk.img"}},
        {bare, "1A2B3C4E", "has no partition table"},
        {.image = mbr,
         .newId = "1A2B3C4E",
         .message = "is read-only (mode 444)",
         .mode = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read},
        // A grown image: libfdisk would move the backup GPT header as well.
        {.image = gpt,
         .newId = "{0e2b7c1d-8a41-4f39-9c6b-2d5e8f1a3b4d}",
         .message = "would also repair its partition table",
         .growTo = 6 << 20},
        {.image = mbr, .newId = "1A2B3C4E", .message = "cannot flush the backup", .failFsync = true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        if (c.mode != fs::perms::unknown)
            fs::permissions(c.image, c.mode);
        if (c.growTo != 0)
            fs::resize_file(c.image, c.growTo);
        Bytes original = FileBytes(c.image);
        FailingFsync failing;
        std::vector<std::string> args = {c.image.string(), c.newId};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        EXPECT_EQ(Run(args, c.failFsync ? &failing : nullptr), kExitRefused);
        std::string refusal = err.str();
        EXPECT_TRUE(refusal.starts_with("voskarelle: ") && std::count(refusal.begin(), refusal.end(), '\n') == 1)
            << refusal;
        EXPECT_NE(refusal.find(c.message), std::string::npos) << refusal;
        EXPECT_EQ(FileBytes(c.image), original);
        EXPECT_TRUE(Backups().empty());
        fs::permissions(c.image, fs::perms::owner_read | fs::perms::owner_write);
    }
}

} // namespace
