// The whole road of a change through a real hive file: load, read, choose,
// write, unload, then the file read afresh by libhivex.
#include "hive/hive.h"
#include "mounttable/read_write.h"
#include "support/hivex_registry.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace {

// Files on this machine's disk, chosen by the test instead of a dialog.
class DiskHivePlatform final : public HivePlatform {
public:
    bool ChooseFile(char* path) override { return CopyText(path, kCellChars, chosen); }
    bool FileAttributes(const char* path, bool* isDirectory, std::uint64_t* size) override
    {
        struct stat info;
        if (stat(path, &info) != 0)
            return false;
        *isDirectory = S_ISDIR(info.st_mode);
        *size = static_cast<std::uint64_t>(info.st_size);
        return true;
    }
    long long ReadFileStart(const char* path, std::uint8_t* buffer, std::size_t cap) override
    {
        std::FILE* file = std::fopen(path, "rb");
        if (file == nullptr)
            return -1;
        std::size_t got = std::fread(buffer, 1, cap, file);
        std::fclose(file);
        return static_cast<long long>(got);
    }
    void RootOfPath(const char*, char* root) override { CopyText(root, kCellChars, "E:\\"); }
    bool ConfirmHibernatedClone() override { return false; }
    std::string chosen;
};

std::vector<std::uint8_t> Mbr(std::uint32_t signature, std::uint64_t offset)
{
    std::vector<std::uint8_t> data(12);
    for (int i = 0; i < 4; ++i)
        data[i] = static_cast<std::uint8_t>(signature >> (8 * i));
    for (int i = 0; i < 8; ++i)
        data[4 + i] = static_cast<std::uint8_t>(offset >> (8 * i));
    return data;
}

std::vector<std::uint8_t> Gpt(std::uint8_t seed)
{
    std::vector<std::uint8_t> data = Bytes({'D', 'M', 'I', 'O', ':', 'I', 'D', ':'});
    for (int i = 0; i < 16; ++i)
        data.push_back(static_cast<std::uint8_t>(seed * 16 + i));
    return data;
}

const std::vector<std::uint8_t> kCloneSystem = Mbr(0x1A2B3C4D, 0x100000);
const std::vector<std::uint8_t> kCloneData = Gpt(7);
const std::vector<std::uint8_t> kUsbStick =
    Utf16("\\??\\USBSTOR#Disk&Ven_Generic&Prod_Flash_Disk&Rev_8.07#058F63666438&0#"
          "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");
const std::vector<std::uint8_t> kCloneOptical = Mbr(0x1A2B3C4D, 0x3200000);
const std::vector<std::uint8_t> kHostSystem = Mbr(0x99887766, 0x100000);

ValueList CloneMountedDevices()
{
    return {
        {"\\DosDevices\\C:", kRegBinary, kCloneSystem},
        {"\\??\\Volume{6c5a3e1e-0000-0000-0000-100000000000}", kRegBinary, kCloneSystem},
        {"\\DosDevices\\D:", kRegBinary, kCloneData},
        {"\\??\\Volume{8f0a77aa-5c1e-4f0e-9d6a-1f2e3d4c5b6a}", kRegBinary, kCloneData},
        {"\\DosDevices\\E:", kRegBinary, kUsbStick},
        {"\\DosDevices\\F:", kRegBinary, kCloneOptical},
    };
}

const std::vector<std::pair<std::string, ValueList>> kOtherKeys = {
    {"Select", {{"Current", 4, Bytes({1, 0, 0, 0})}, {"Default", 4, Bytes({1, 0, 0, 0})}}},
    {"ControlSet001\\Control", {{"SystemBootDevice", 1, Utf16("multi(0)disk(0)rdisk(0)partition(1)")}}},
};

ValueList Sorted(ValueList values)
{
    std::sort(values.begin(), values.end(), [](const RegValue& a, const RegValue& b) { return a.name < b.name; });
    return values;
}

class HiveFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = std::filesystem::temp_directory_path() /
              ("vosk-hive-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir);
        file = (dir / "SYSTEM").string();
        auto keys = kOtherKeys;
        keys.insert(keys.begin(), {"MountedDevices", CloneMountedDevices()});
        ASSERT_TRUE(MakeHiveFile(file.c_str(), keys));
        platform.chosen = file;

        // This machine: its own system disk, and the clone's disk attached
        // with its two volumes seen as K: and L:.
        registry.Put(kRunningTableKey, "\\DosDevices\\C:", kHostSystem);
        registry.Put(kRunningTableKey, "\\DosDevices\\K:", kCloneSystem);
        registry.Put(kRunningTableKey, "\\DosDevices\\L:", kCloneData);
        registry.Put(kRunningTableKey, "\\??\\Volume{00000000-1111-2222-3333-444444444444}", kHostSystem);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    int RowWithClone(const std::string& letter)
    {
        for (int row = 0; row < table.RowCount(); ++row)
            if (table.Cell(row, kColClone) == letter)
                return row;
        return -1;
    }
    void ChooseLetters()
    {
        // The clone's system and data volumes swap letters; the stick moves.
        table.SetCellText(RowWithClone("C:"), kColChange, "D:");
        table.SetCellText(RowWithClone("D:"), kColChange, "C:");
        table.SetCellText(RowWithClone("E:"), kColChange, "G:");
    }
    static ValueList Intended()
    {
        return Sorted({
            {"\\DosDevices\\D:", kRegBinary, kCloneSystem},
            {"\\??\\Volume{6c5a3e1e-0000-0000-0000-100000000000}", kRegBinary, kCloneSystem},
            {"\\DosDevices\\C:", kRegBinary, kCloneData},
            {"\\??\\Volume{8f0a77aa-5c1e-4f0e-9d6a-1f2e3d4c5b6a}", kRegBinary, kCloneData},
            {"\\DosDevices\\G:", kRegBinary, kUsbStick},
            {"\\DosDevices\\F:", kRegBinary, kCloneOptical},
        });
    }
    void ExpectOtherKeysUntouched()
    {
        for (const auto& [path, values] : kOtherKeys) {
            HiveKeyDump dump = DumpHiveKey(file.c_str(), path.c_str());
            ASSERT_TRUE(dump.found) << path;
            EXPECT_EQ(dump.values, values) << path;
        }
    }

    std::filesystem::path dir;
    std::string file;
    DiskHivePlatform platform;
    HivexRegistry registry;
    FakeDriveShell shell;
    MemoryMountTable table;
    RecordingStatus status;
    HiveState hive;
};

TEST_F(HiveFileTest, LoadReadChooseWriteUnloadStoresExactlyTheIntendedEntries)
{
    HiveLoad(hive, platform, registry, status);
    ASSERT_EQ(status.text(), kTextHiveLoaded);
    ASSERT_TRUE(hive.loaded);

    ReadMountTable(registry, shell, table, status);
    ASSERT_EQ(table.RowCount(), 5) << "three running rows, then the stick and the optical volume";
    EXPECT_EQ(table.Cell(1, kColOriginal), "K:\\");
    EXPECT_EQ(table.Cell(1, kColClone), "C:");
    EXPECT_EQ(table.Cell(2, kColClone), "D:");
    EXPECT_EQ(table.Cell(3, kColClone), "E:");
    EXPECT_EQ(table.Cell(0, kColClone), "");

    ChooseLetters();
    WriteLetterChanges(registry, table, status, [&] { ReadMountTable(registry, shell, table, status); });
    EXPECT_EQ(status.text(), kTextCheckAndUnload);
    EXPECT_EQ(table.Cell(RowWithClone("D:"), kColOriginal), "K:\\") << "the re-read shows the swap";
    EXPECT_EQ(table.Cell(RowWithClone("C:"), kColOriginal), "L:\\");
    EXPECT_GE(RowWithClone("G:"), 0);
    EXPECT_EQ(registry.openKeys, 0);

    HiveUnload(hive, registry, table, status);
    ASSERT_EQ(status.text(), kTextHiveUnloaded);

    HiveKeyDump dump = DumpHiveKey(file.c_str(), "MountedDevices");
    ASSERT_TRUE(dump.found);
    EXPECT_EQ(Sorted(dump.values), Intended());
    ExpectOtherKeysUntouched();
}

// Each registry call of Write fails once in turn, on the real file: after
// unloading, the file holds either the old table or the intended one.
TEST_F(HiveFileTest, AFailedCallDuringWriteLeavesTheFileBeforeOrAfterNeverBetween)
{
    const ValueList before = Sorted(CloneMountedDevices());
    int rolledBack = 0;
    for (int failAt = 1;; ++failAt) {
        SetUp();
        hive = {};
        HiveLoad(hive, platform, registry, status);
        ASSERT_TRUE(hive.loaded);
        ReadMountTable(registry, shell, table, status);
        ChooseLetters();

        FaultyRegistry faulty(registry);
        faulty.failAt = failAt;
        WriteLetterChanges(faulty, table, status, [&] { ReadMountTable(faulty, shell, table, status); });
        bool failed = faulty.calls >= failAt;
        std::string outcome = status.text();
        HiveUnload(hive, registry, table, status);
        ASSERT_EQ(status.text(), kTextHiveUnloaded);

        HiveKeyDump dump = DumpHiveKey(file.c_str(), "MountedDevices");
        ASSERT_TRUE(dump.found);
        if (outcome == kTextWriteError) {
            ++rolledBack;
            EXPECT_EQ(Sorted(dump.values), before) << "call " << failAt << " (" << faulty.failedCall << ")";
        } else {
            EXPECT_EQ(outcome, kTextCheckAndUnload) << failAt;
            EXPECT_EQ(Sorted(dump.values), Intended()) << "call " << failAt << " (" << faulty.failedCall << ")";
        }
        ExpectOtherKeysUntouched();
        if (!failed)
            break;
    }
    EXPECT_GE(rolledBack, 10);
}

TEST_F(HiveFileTest, OnlyFilesOfAtLeastOneBlockStartingWithTheSignatureReachTheMount)
{
    auto write = [&](const char* name, std::vector<std::uint8_t> bytes) {
        std::string path = (dir / name).string();
        std::FILE* f = std::fopen(path.c_str(), "wb");
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
        return path;
    };
    std::vector<std::uint8_t> header(4096, 0);
    std::memcpy(header.data(), "regf", 4);

    platform.chosen = write("short", std::vector<std::uint8_t>(header.begin(), header.end() - 1));
    HiveLoad(hive, platform, registry, status);
    EXPECT_EQ(status.text(), kTextFileSize);

    platform.chosen = write("text", std::vector<std::uint8_t>(5000, 'x'));
    HiveLoad(hive, platform, registry, status);
    EXPECT_EQ(status.text(), kTextNotHive);

    platform.chosen = dir.string();
    status.Set("kept");
    HiveLoad(hive, platform, registry, status);
    EXPECT_EQ(status.text(), "kept") << "a directory is silently refused";
    EXPECT_EQ(registry.loadCalls, 0);

    // A bare base block passes our checks; the registry itself refuses it.
    platform.chosen = write("block", header);
    HiveLoad(hive, platform, registry, status);
    EXPECT_EQ(registry.loadCalls, 1);
    EXPECT_EQ(status.text(), kTextHiveLoadError);
    EXPECT_FALSE(hive.loaded);
}

} // namespace
