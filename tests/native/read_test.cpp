#include "mounttable/read_write.h"
#include "mounttable/text.h"
#include "support/doubles.h"

#include <gtest/gtest.h>

namespace {

const std::vector<std::uint8_t> kDiskC = Bytes({0x5A, 0x1B, 0x22, 0x7E, 0x00, 0x7E, 0x10, 0, 0, 0, 0, 0});
const std::vector<std::uint8_t> kDiskD = Bytes({0x5A, 0x1B, 0x22, 0x7E, 0x00, 0x00, 0x50, 0x06, 0, 0, 0, 0});
const std::vector<std::uint8_t> kDiskX = Bytes({0x44, 0x4D, 0x49, 0x4F, 0x3A, 0x49, 0x44, 0x3A, 1, 2, 3, 4, 5,
                                                6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});

std::string Hex(const std::vector<std::uint8_t>& data)
{
    char out[kHexChars];
    EncodeDeviceDataHex(data.data(), data.size(), out);
    return out;
}

class ReadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        registry.AddKey(kRunningTableKey);
        registry.AddKey(kCloneTableKey);
        shell.types = {{"C:\\", 3}, {"D:\\", 5}};
        shell.names = {{"C:\\", "ローカル ディスク (C:)"}, {"D:\\", "DVD ドライブ (D:)"}};
    }
    void Read() { ReadMountTable(registry, shell, table, status); }
    void Running(const std::string& letter, std::vector<std::uint8_t> data)
    {
        registry.Put(kRunningTableKey, "\\DosDevices\\" + letter, std::move(data));
    }
    void Clone(const std::string& letter, std::vector<std::uint8_t> data)
    {
        registry.Put(kCloneTableKey, "\\DosDevices\\" + letter, std::move(data));
    }

    MemoryRegistry registry;
    FakeDriveShell shell;
    MemoryMountTable table;
    RecordingStatus status;
};

TEST_F(ReadTest, RunningRowsCarryTypeVolumeAndRootAndCloneLettersLandOnMatchingRows)
{
    Running("C:", kDiskC);
    registry.Put(kRunningTableKey, "\\??\\Volume{11111111-2222-3333-4444-555555555555}", kDiskC);
    Running("D:", kDiskD);
    Clone("E:", kDiskD);
    Read();

    ASSERT_EQ(table.RowCount(), 2);
    EXPECT_EQ(table.Cell(0, kColDeviceData), Hex(kDiskC));
    EXPECT_EQ(table.Cell(0, kColType), "DRIVE_FIXED");
    EXPECT_EQ(table.Cell(0, kColVolume), "ローカル ディスク (C:)");
    EXPECT_EQ(table.Cell(0, kColOriginal), "C:\\");
    EXPECT_EQ(table.Cell(0, kColClone), "");
    EXPECT_EQ(table.rows[0].check, kCheckUnchecked);

    EXPECT_EQ(table.Cell(1, kColType), "DRIVE_CDROM");
    EXPECT_EQ(table.Cell(1, kColOriginal), "D:\\");
    EXPECT_EQ(table.Cell(1, kColClone), "E:");
    EXPECT_EQ(table.rows[1].check, kCheckChecked);
    for (int row = 0; row < 2; ++row)
        EXPECT_EQ(table.Cell(row, kColChange), "");
    EXPECT_EQ(status.text(), "");
    EXPECT_EQ(shell.asked, (std::vector<std::string>{"C:\\", "D:\\"}));
    EXPECT_EQ(registry.openKeys, 0);
    shell.names.erase("D:\\");
    Read();
    EXPECT_EQ(table.Cell(1, kColVolume), "") << "a drive the shell cannot name";
}

TEST_F(ReadTest, UnmatchedCloneEntriesBecomeCheckedRowsAfterAllRunningRows)
{
    Running("C:", kDiskC);
    Clone("Z:", kDiskX);
    Clone("C:", kDiskC);
    Running("D:", kDiskD);
    Read();

    ASSERT_EQ(table.RowCount(), 3);
    EXPECT_EQ(table.Cell(1, kColOriginal), "D:\\");
    EXPECT_EQ(table.Cell(2, kColDeviceData), Hex(kDiskX));
    EXPECT_EQ(table.Cell(2, kColClone), "Z:");
    EXPECT_EQ(table.rows[2].check, kCheckChecked);
    for (int column : {kColType, kColVolume, kColOriginal, kColChange})
        EXPECT_EQ(table.Cell(2, column), "") << column;
    EXPECT_EQ(table.Cell(0, kColClone), "C:");
}

TEST_F(ReadTest, DuplicateDataOnEitherSideGoesToTheFirstMatchingRow)
{
    Running("C:", kDiskC);
    Running("F:", kDiskC);
    Clone("G:", kDiskC);
    Clone("P:", kDiskX);
    Clone("Q:", kDiskX);
    Read();

    ASSERT_EQ(table.RowCount(), 3);
    EXPECT_EQ(table.Cell(0, kColClone), "G:");
    EXPECT_EQ(table.rows[1].check, kCheckUnchecked) << "only the first of two equal running rows is marked";
    EXPECT_EQ(table.Cell(1, kColClone), "");
    EXPECT_EQ(table.Cell(2, kColClone), "Q:") << "the last clone entry with the same data wins";
}

TEST_F(ReadTest, EmptyOrAbsentRunningTableLeavesOnlyCloneRows)
{
    Clone("C:", kDiskC);
    Clone("D:", kDiskD);
    Clone("H:", kDiskC);
    Read();
    ASSERT_EQ(table.RowCount(), 2);
    EXPECT_EQ(table.Cell(0, kColClone), "H:");
    EXPECT_EQ(table.Cell(1, kColClone), "D:");

    registry.RemoveKey(kRunningTableKey);
    Read();
    ASSERT_EQ(table.RowCount(), 2);
    EXPECT_EQ(status.text(), "") << "no message for an absent running table";
    EXPECT_TRUE(shell.asked.empty());
}

TEST_F(ReadTest, AbsentCloneKeyReportsNotLoadedAndEmptiesTheTable)
{
    Running("C:", kDiskC);
    registry.RemoveKey("Clone");
    table.AppendRow("00");
    Read();
    EXPECT_EQ(table.RowCount(), 0);
    EXPECT_EQ(status.text(), kTextCloneNotLoaded);
    // The message is stored in code page 932, byte for byte.
    const char expected[] = "\x81\x75HKEY_LOCAL_MACHINE\x81\x76\x82\xcc\x81\x75""Clone\x81\x76\x82\xc9"
                            "\x83\x52\x83\x73\x81\x5b\x90\xe6\x82\xcc\x83\x6e\x83\x43\x83\x75\x81\x75SYSTEM\x81\x76"
                            "\x82\xaa\x83\x8d\x81\x5b\x83\x68\x82\xb3\x82\xea\x82\xc4\x82\xa2\x82\xdc\x82\xb9\x82\xf1";
    EXPECT_EQ(status.text(), std::string(expected));
    EXPECT_EQ(registry.openKeys, 0);
}

TEST_F(ReadTest, ReadDropsChosenLettersAndStartsWithAnEmptyStatus)
{
    Running("C:", kDiskC);
    Read();
    table.SetCellText(0, kColChange, "F:");
    status.Set("old");
    Read();
    EXPECT_EQ(table.Cell(0, kColChange), "");
    EXPECT_EQ(status.history.back(), "");
}

TEST_F(ReadTest, ValuesOfAnyTypeAndEmptyDataAreReadAsTheyAre)
{
    registry.Put(kRunningTableKey, "\\DosDevices\\A:", {}, 0);
    registry.Put(kRunningTableKey, "\\DosDevices\\B:", Utf16("_??_USBSTOR#Disk"), 1);
    registry.Put(kRunningTableKey, "\\dosdevices\\e:", kDiskD, 4);
    // Double-byte characters in names: in the letter part, and in a prefix
    // that only looks alike ("\ＤｏｓＤｅｖｉｃｅｓ\" is no drive-letter entry).
    registry.Put(kRunningTableKey, "\\DosDevices\\ドライブ:", kDiskX);
    registry.Put(kRunningTableKey, "\\ＤｏｓＤｅｖｉｃｅｓ\\F:", kDiskX);
    Read();
    ASSERT_EQ(table.RowCount(), 4);
    EXPECT_EQ(table.Cell(0, kColDeviceData), "");
    EXPECT_EQ(table.Cell(1, kColDeviceData), Hex(Utf16("_??_USBSTOR#Disk")));
    EXPECT_EQ(table.Cell(2, kColOriginal), "e:\\");
    EXPECT_EQ(table.Cell(3, kColOriginal), "ドライブ:\\");
}

// A value that does not fit the name or data buffers is skipped; the values
// after it are still read.
TEST_F(ReadTest, OversizedValuesAreSkippedWithoutHidingLaterOnes)
{
    Running("C:", kDiskC);
    registry.Put(kRunningTableKey, "\\DosDevices\\" + std::string(1024 - 12, 'N'), kDiskX);
    registry.Put(kRunningTableKey, "\\DosDevices\\" + std::string(1025 - 12, 'L'), kDiskX);
    registry.Put(kRunningTableKey, "\\DosDevices\\Y:", std::vector<std::uint8_t>(1025, 0x11));
    registry.Put(kRunningTableKey, "\\DosDevices\\W:", std::vector<std::uint8_t>(1026, 0x22));
    Running("D:", kDiskD);
    Clone("V:", std::vector<std::uint8_t>(2000, 0x33));
    Clone("E:", kDiskD);
    Read();

    ASSERT_EQ(table.RowCount(), 4);
    EXPECT_EQ(table.Cell(0, kColOriginal), "C:\\");
    // 1024-character name: fits; its letter part is cut to the cell.
    EXPECT_EQ(table.Cell(1, kColOriginal), std::string(kCellChars - 1, 'N'));
    // 1025 bytes fit the data buffer but not the hex cell: cut, odd length.
    EXPECT_EQ(table.Cell(2, kColOriginal), "Y:\\");
    EXPECT_EQ(table.Cell(2, kColDeviceData).size(), kHexChars - 1);
    EXPECT_EQ(table.Cell(3, kColOriginal), "D:\\");
    EXPECT_EQ(table.Cell(3, kColClone), "E:");
}

TEST_F(ReadTest, LetterPartsAtTheCellBoundaryAreCutInsideTheCell)
{
    std::string letter258(258, 'Q');
    Running(letter258, kDiskC);
    Clone(std::string(300, 'R'), kDiskC);
    Read();
    ASSERT_EQ(table.RowCount(), 1);
    EXPECT_EQ(table.Cell(0, kColOriginal), letter258 + "\\");
    EXPECT_EQ(table.Cell(0, kColClone), std::string(kCellChars - 1, 'R'));
    EXPECT_LE(table.rows[0].cells[kColClone].size(), kCellChars - 1) << "nothing stored past a cell";
}

} // namespace
