// Read and Write against Wine's real registry, and the privileges.
#include "harness.h"
#include "mounttable/read_write.h"

#include <gtest/gtest.h>

namespace {

const std::vector<std::uint8_t> kSystem = Bytes({0x4D, 0x3C, 0x2B, 0x1A, 0x00, 0x00, 0x10, 0, 0, 0, 0, 0});
const std::vector<std::uint8_t> kData = Bytes({'D', 'M', 'I', 'O', ':', 'I', 'D', ':', 1, 2, 3, 4, 5, 6, 7, 8, 9,
                                               10, 11, 12, 13, 14, 15, 16});
const std::vector<std::uint8_t> kStick = Utf16("\\??\\USBSTOR#Disk&Ven_Generic#0001");

class WineRegistryTest : public ::testing::Test {
protected:
    void Read() { ReadMountTable(registry, shell, table, status); }
    void Write()
    {
        WriteLetterChanges(registry, table, status, [this] { Read(); });
    }
    int RowWithClone(const std::string& letter)
    {
        for (int row = 0; row < table.RowCount(); ++row)
            if (table.Cell(row, kColClone) == letter)
                return row;
        return -1;
    }

    RegistrySandbox sandbox;
    Win32Registry registry;
    Win32DriveShell shell;
    MemoryMountTable table;
    RecordingStatus status;
};

TEST_F(WineRegistryTest, ReadMergesTheRunningTableWithACloneKeyMountedByAnotherProgram)
{
    SetValues(kRunningTableKey, {{"\\DosDevices\\C:", kRegBinary, kSystem},
                                 {"\\??\\Volume{12345678-0000-0000-0000-000000000000}", kRegBinary, kSystem},
                                 {"\\DosDevices\\Q:", 1, kData}});
    SetValues(kCloneTableKey, {{"\\DosDevices\\E:", kRegBinary, kData},
                               {"\\DosDevices\\F:", kRegBinary, kStick}});
    Read();

    ASSERT_EQ(table.RowCount(), 3);
    EXPECT_EQ(table.Cell(0, kColDeviceData), "4D3C2B1A0000100000000000");
    EXPECT_EQ(table.Cell(0, kColOriginal), "C:\\");
    EXPECT_EQ(table.Cell(0, kColType), "DRIVE_FIXED");
    EXPECT_NE(table.Cell(0, kColVolume), "") << "the shell names the system drive";
    EXPECT_EQ(table.rows[0].check, kCheckUnchecked);
    EXPECT_EQ(table.Cell(1, kColOriginal), "Q:\\");
    EXPECT_EQ(table.Cell(1, kColType), "DRIVE_NO_ROOT_DIR");
    EXPECT_EQ(table.Cell(1, kColClone), "E:");
    EXPECT_EQ(table.rows[1].check, kCheckChecked);
    EXPECT_EQ(table.Cell(2, kColClone), "F:");
    EXPECT_EQ(table.Cell(2, kColOriginal), "");
    EXPECT_EQ(status.text(), "");
}

TEST_F(WineRegistryTest, ReadWithoutCloneKeySaysSoInCodePage932)
{
    SetValues(kRunningTableKey, {{"\\DosDevices\\C:", kRegBinary, kSystem}});
    Read();
    EXPECT_EQ(table.RowCount(), 0);
    EXPECT_EQ(status.text(), kTextCloneNotLoaded);
    EXPECT_EQ(GetACP(), 932u) << "Wine runs with the Japanese ANSI code page";
    // The text's first character is "「" (0x81 0x75 in code page 932).
    EXPECT_EQ(status.text().substr(0, 2), "\x81\x75");
}

TEST_F(WineRegistryTest, WriteMovesAndSwapsLettersInTheCloneKey)
{
    SetValues(kRunningTableKey, {{"\\DosDevices\\C:", kRegBinary, kSystem}});
    const RegValue volume = {"\\??\\Volume{aaaaaaaa-0000-0000-0000-000000000000}", kRegBinary, kData};
    SetValues(kCloneTableKey, {{"\\DosDevices\\C:", kRegBinary, kSystem},
                               {"\\DosDevices\\D:", kRegBinary, kData},
                               {"\\DosDevices\\E:", 3, kStick},
                               volume});
    Read();
    table.SetCellText(RowWithClone("C:"), kColChange, "D:");
    table.SetCellText(RowWithClone("D:"), kColChange, "C:");
    table.SetCellText(RowWithClone("E:"), kColChange, "H:");
    Write();
    EXPECT_EQ(status.text(), kTextCheckAndUnload);

    ValueList values = ReadValues(kCloneTableKey);
    auto find = [&](const char* name) -> const RegValue* {
        for (const RegValue& v : values)
            if (v.name == name)
                return &v;
        return nullptr;
    };
    ASSERT_NE(find("\\DosDevices\\D:"), nullptr);
    EXPECT_EQ(find("\\DosDevices\\D:")->data, kSystem);
    ASSERT_NE(find("\\DosDevices\\C:"), nullptr);
    EXPECT_EQ(find("\\DosDevices\\C:")->data, kData);
    ASSERT_NE(find("\\DosDevices\\H:"), nullptr);
    EXPECT_EQ(find("\\DosDevices\\H:")->data, kStick);
    EXPECT_EQ(find("\\DosDevices\\H:")->type, kRegBinary);
    EXPECT_EQ(find("\\DosDevices\\E:"), nullptr);
    ASSERT_NE(find(volume.name.c_str()), nullptr);
    EXPECT_EQ(*find(volume.name.c_str()), volume);
    EXPECT_EQ(values.size(), 4u);

    EXPECT_EQ(table.Cell(0, kColClone), "D:") << "the re-read shows the system volume at D:";
}

TEST_F(WineRegistryTest, ExistenceTestAndQueryTellAbsentValuesFromPresentOnes)
{
    SetValues(kCloneTableKey, {{"\\DosDevices\\C:", 4, Bytes({1, 0, 0, 0})}});
    EXPECT_EQ(registry.ValueExists(kCloneTableKey, "\\DosDevices\\C:"), kRegSuccess);
    EXPECT_EQ(registry.ValueExists(kCloneTableKey, "\\dosdevices\\c:"), kRegSuccess);
    EXPECT_EQ(registry.ValueExists(kCloneTableKey, "\\DosDevices\\Z:"), kRegFileNotFound);

    RegKey key = nullptr;
    ASSERT_EQ(registry.OpenKey(kCloneTableKey, &key), kRegSuccess);
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
    EXPECT_EQ(registry.QueryValue(key, "\\DosDevices\\C:", &type, &data), kRegSuccess);
    EXPECT_EQ(type, 4u);
    EXPECT_EQ(data, Bytes({1, 0, 0, 0}));
    std::vector<std::uint8_t> big(5000, 0x7A);
    EXPECT_EQ(registry.SetValue(key, "\\DosDevices\\B:", kRegBinary, big.data(), 5000), kRegSuccess);
    EXPECT_EQ(registry.QueryValue(key, "\\DosDevices\\B:", &type, &data), kRegSuccess);
    EXPECT_EQ(data, big);
    EXPECT_EQ(registry.QueryValue(key, "\\DosDevices\\Y:", &type, &data), kRegFileNotFound);
    registry.CloseKey(key);
    EXPECT_EQ(registry.DeleteValue(kCloneTableKey, "\\DosDevices\\B:"), kRegSuccess);
    EXPECT_NE(registry.DeleteValue(kCloneTableKey, "\\DosDevices\\B:"), kRegSuccess);
}

TEST(Privileges, BackupAndRestoreCanBeEnabled)
{
    EXPECT_TRUE(EnablePrivilege("SeRestorePrivilege"));
    EXPECT_TRUE(EnablePrivilege("SeBackupPrivilege"));
    EXPECT_FALSE(EnablePrivilege("SeNoSuchPrivilege"));
}

} // namespace
