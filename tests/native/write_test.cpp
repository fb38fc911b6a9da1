#include "mounttable/read_write.h"
#include "mounttable/text.h"
#include "support/doubles.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

const std::vector<std::uint8_t> kDiskA = Bytes({0x11, 0x22, 0x33, 0x44, 0x00, 0x7E, 0x10, 0, 0, 0, 0, 0});
const std::vector<std::uint8_t> kDiskB = Bytes({0x55, 0x66, 0x77, 0x88, 0x00, 0x00, 0x50, 0x06, 0, 0, 0, 0});
const std::vector<std::uint8_t> kDiskC = Bytes({0x99, 0xAA, 0xBB, 0xCC, 0x00, 0x00, 0x10, 0x00, 0, 0, 0, 1});
const std::vector<std::uint8_t> kDiskD = Bytes({0x99, 0xAA, 0xBB, 0xCC, 0x00, 0x00, 0x20, 0x00, 0, 0, 0, 1});
const std::vector<std::uint8_t> kDiskE = Bytes({0x99, 0xAA, 0xBB, 0xCC, 0x00, 0x00, 0x30, 0x00, 0, 0, 0, 1});

class WriteTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        registry.AddKey(kRunningTableKey);
        registry.AddKey(kCloneTableKey);
    }
    void Clone(const std::string& letter, std::vector<std::uint8_t> data, std::uint32_t type = kRegBinary)
    {
        registry.Put(kCloneTableKey, "\\DosDevices\\" + letter, std::move(data), type);
    }
    void Read() { ReadMountTable(registry, shell, table, status); }
    void Write()
    {
        rereads = 0;
        WriteLetterChanges(registry, table, status, [this] {
            ++rereads;
            Read();
        });
    }
    int RowWithClone(const std::string& letter)
    {
        for (int row = 0; row < table.RowCount(); ++row)
            if (table.Cell(row, kColClone) == letter)
                return row;
        return -1;
    }
    void Choose(const std::string& cloneLetter, const std::string& change)
    {
        int row = RowWithClone(cloneLetter);
        ASSERT_GE(row, 0) << cloneLetter;
        table.SetCellText(row, kColChange, change.c_str());
    }
    const RegValue* CloneValue(const std::string& letter)
    {
        for (const RegValue& value : registry.Values(kCloneTableKey))
            if (CompareNoCase(value.name, "\\DosDevices\\" + letter) == 0)
                return &value;
        return nullptr;
    }

    MemoryRegistry registry;
    FakeDriveShell shell;
    MemoryMountTable table;
    RecordingStatus status;
    int rereads = 0;
};

TEST_F(WriteTest, RefusalsLeaveRegistryAndTableUntouched)
{
    Write();
    EXPECT_EQ(status.text(), kTextTableNotRead);

    Clone("D:", kDiskA);
    Clone("E:", kDiskB);
    Read();
    ValueList before = registry.Values(kCloneTableKey);
    Write();
    EXPECT_EQ(status.text(), kTextNoChange);

    Choose("D:", "F:");
    Choose("E:", "f:");
    Write();
    EXPECT_EQ(status.text(), kTextDuplicateChange) << "Change letters compare without regard to case";
    EXPECT_EQ(registry.Values(kCloneTableKey), before);
    EXPECT_EQ(table.Cell(0, kColChange), "F:");
    EXPECT_EQ(rereads, 0);
    EXPECT_EQ(registry.openKeys, 0);
}

TEST_F(WriteTest, PlainChangeMovesTheIdentityToTheNewLetter)
{
    Clone("D:", kDiskA);
    Clone("G:", kDiskB);
    Read();
    Choose("D:", "E:");
    Write();

    EXPECT_EQ(CloneValue("D:"), nullptr);
    ASSERT_NE(CloneValue("E:"), nullptr);
    EXPECT_EQ(CloneValue("E:")->data, kDiskA);
    EXPECT_EQ(CloneValue("E:")->type, kRegBinary);
    EXPECT_EQ(CloneValue("G:")->data, kDiskB);
    EXPECT_EQ(rereads, 1);
    int row = RowWithClone("E:");
    ASSERT_GE(row, 0) << "the re-read shows what was stored";
    EXPECT_EQ(table.Cell(row, kColDeviceData), "11223344007E100000000000");
    EXPECT_EQ(status.text(), kTextCheckAndUnload);
    EXPECT_EQ(registry.openKeys, 0);
}

TEST_F(WriteTest, TwoRowsSwapTheirLetters)
{
    Clone("D:", kDiskA);
    Clone("E:", kDiskB);
    Read();
    Choose("D:", "E:");
    Choose("E:", "D:");
    Write();
    EXPECT_EQ(CloneValue("E:")->data, kDiskA);
    EXPECT_EQ(CloneValue("D:")->data, kDiskB);
    EXPECT_EQ(registry.Values(kCloneTableKey).size(), 2u);
    EXPECT_EQ(status.text(), kTextCheckAndUnload);
}

TEST_F(WriteTest, ChangeToALetterAnotherRowHoldsTakesItFromThatRow)
{
    Clone("D:", kDiskA);
    Clone("F:", kDiskB);
    Read();
    Choose("D:", "F:");
    Write();
    EXPECT_EQ(CloneValue("F:")->data, kDiskA);
    EXPECT_EQ(CloneValue("D:"), nullptr);
    int row = -1;
    for (int r = 0; r < table.RowCount(); ++r)
        if (table.Cell(r, kColDeviceData) == "5566778800005006" "00000000")
            row = r;
    EXPECT_EQ(row, -1) << "the other identity lost its letter and no longer shows";
}

TEST_F(WriteTest, RowsWithoutCloneLetterOrWithTheirOwnLetterAreWrittenAsWell)
{
    registry.Put(kRunningTableKey, "\\DosDevices\\C:", kDiskC);
    Clone("D:", kDiskA);
    Read();
    ASSERT_EQ(table.RowCount(), 2);
    table.SetCellText(0, kColChange, "K:"); // a volume the clone did not know
    Choose("D:", "D:");                     // its own letter: rewritten unchanged
    Write();
    EXPECT_EQ(CloneValue("K:")->data, kDiskC);
    EXPECT_EQ(CloneValue("D:")->data, kDiskA);
    EXPECT_EQ(registry.Values(kCloneTableKey).size(), 2u);
}

TEST_F(WriteTest, ValuesOtherThanTheChangedEntriesStayAsTheyWere)
{
    registry.Put(kCloneTableKey, "\\??\\Volume{aaaaaaaa-0000-0000-0000-000000000000}", kDiskA);
    Clone("D:", kDiskA);
    Clone("Q:", Utf16("\\??\\SCSI#CdRom"), 1);
    Read();
    Choose("D:", "M:");
    Write();
    ValueList values = registry.Values(kCloneTableKey);
    ASSERT_EQ(values.size(), 3u);
    EXPECT_EQ(values[0].name, "\\??\\Volume{aaaaaaaa-0000-0000-0000-000000000000}");
    EXPECT_EQ(values[1], (RegValue{"\\DosDevices\\Q:", 1, Utf16("\\??\\SCSI#CdRom")}));
    EXPECT_EQ(values[2], (RegValue{"\\DosDevices\\M:", kRegBinary, kDiskA}));
}

// If the clone's key cannot be opened nothing may be removed: removing
// without writing back would leave volumes without letters.
TEST_F(WriteTest, UnopenableCloneKeyChangesNothingAndRereads)
{
    Clone("D:", kDiskA);
    Read();
    Choose("D:", "E:");
    FaultyRegistry faulty(registry);
    faulty.failAt = 1; // the first call is the open of the clone's key
    rereads = 0;
    WriteLetterChanges(faulty, table, status, [this] {
        ++rereads;
        registry.RemoveKey("Clone"); // as if the hive had gone meanwhile
        Read();
    });
    EXPECT_EQ(faulty.failedCall, "OpenKey");
    EXPECT_FALSE(registry.HasKey(kCloneTableKey)) << "the hive is gone";
    EXPECT_EQ(table.RowCount(), 0);
    EXPECT_EQ(rereads, 1);
    EXPECT_EQ(status.text(), kTextCloneNotLoaded);

    // A key that is there but would not open for writing: a write error.
    Clone("D:", kDiskA);
    Read();
    Choose("D:", "E:");
    FaultyRegistry denied(registry);
    denied.failAt = 1;
    WriteLetterChanges(denied, table, status, [this] { Read(); });
    EXPECT_EQ(status.text(), kTextWriteError);
    EXPECT_EQ(CloneValue("D:")->data, kDiskA);
    EXPECT_EQ(CloneValue("E:"), nullptr);
}

TEST_F(WriteTest, CutIdentityOrCloneLetterIsNeverWritten)
{
    Clone("D:", kDiskA);
    Clone("E:", std::vector<std::uint8_t>(512, 0x42));
    Read();
    ValueList before = registry.Values(kCloneTableKey);
    Choose("E:", "F:");
    Write();
    EXPECT_EQ(status.text(), kTextWriteError);
    EXPECT_EQ(registry.Values(kCloneTableKey), before);
    EXPECT_EQ(rereads, 0);

    // One byte less fits the cell whole and is written.
    registry.Values(kCloneTableKey)[1].data.resize(511);
    Read();
    Choose("E:", "F:");
    Write();
    EXPECT_EQ(status.text(), kTextCheckAndUnload);
    EXPECT_EQ(CloneValue("F:")->data, std::vector<std::uint8_t>(511, 0x42));

    // A Clone letter cut at its cell would remove some other entry.
    Clone(std::string(300, 'L'), kDiskC);
    Read();
    Choose(std::string(kCellChars - 1, 'L'), "G:");
    before = registry.Values(kCloneTableKey);
    Write();
    EXPECT_EQ(status.text(), kTextWriteError);
    EXPECT_EQ(registry.Values(kCloneTableKey), before);
}

TEST_F(WriteTest, OddLengthTextEnteredByHandIsRefused)
{
    Clone("D:", kDiskA);
    Read();
    table.SetCellText(0, kColDeviceData, "ABC");
    table.SetCellText(0, kColChange, "E:");
    Write();
    EXPECT_EQ(status.text(), kTextWriteError);
    EXPECT_EQ(CloneValue("D:")->data, kDiskA);
}

// A write fails after a fresh letter (K:) and a letter taken from a row that
// is not changing (J:) were written: both must be undone, the first by
// deleting it, the second by putting the other volume's entry back.
TEST_F(WriteTest, AFailedLastWriteUndoesFreshAndTakenLetters)
{
    Clone("D:", kDiskA);
    Clone("F:", kDiskB);
    Clone("G:", kDiskC);
    Clone("H:", kDiskD);
    Clone("J:", kDiskE); // keeps its row unchanged
    Read();
    const ValueList before = registry.Values(kCloneTableKey);
    Choose("F:", "J:");
    Choose("G:", "K:");
    Choose("H:", "I:");
    FaultyRegistry faulty(registry);
    faulty.failName = "SetValue";
    faulty.failAt = 3; // I:, after J: and K:
    WriteLetterChanges(faulty, table, status, [this] { Read(); });
    EXPECT_EQ(status.text(), kTextWriteError);
    EXPECT_EQ(CloneValue("K:"), nullptr) << "the fresh letter is deleted again";
    ASSERT_NE(CloneValue("J:"), nullptr);
    EXPECT_EQ(CloneValue("J:")->data, kDiskE) << "the unchanged row keeps its letter";
    EXPECT_EQ(registry.Values(kCloneTableKey).size(), before.size());
}

// Keeping a value before removing it is what makes the removal undoable: a
// value that cannot be read back is never removed.
TEST_F(WriteTest, AValueThatCannotBeKeptIsAWriteError)
{
    Clone("D:", kDiskA);
    Clone("E:", kDiskB);
    Read();
    const ValueList before = registry.Values(kCloneTableKey);
    Choose("D:", "E:");
    FaultyRegistry faulty(registry);
    faulty.failName = "QueryValue";
    faulty.failAt = 1;
    WriteLetterChanges(faulty, table, status, [this] { Read(); });
    EXPECT_EQ(faulty.failedCall, "QueryValue");
    EXPECT_EQ(status.text(), kTextWriteError);
    EXPECT_EQ(registry.Values(kCloneTableKey), before);
}

// Every registry call Write makes is failed once in turn: the clone's table
// ends either exactly as before (and the status says so) or exactly as meant.
TEST_F(WriteTest, AnyFailedCallLeavesTheCloneTableBeforeOrAfterNeverBetween)
{
    Clone("D:", kDiskA, 4);
    Clone("E:", kDiskB);
    Clone("F:", kDiskC);
    registry.Put(kCloneTableKey, "\\??\\Volume{bbbbbbbb-0000-0000-0000-000000000000}", kDiskB);
    Read();
    const ValueList before = registry.Values(kCloneTableKey);
    const MemoryMountTable chosen = [&] {
        Choose("D:", "E:");
        Choose("E:", "D:");
        Choose("F:", "G:");
        return table;
    }();

    int failures = 0;
    for (int failAt = 1;; ++failAt) {
        registry.Values(kCloneTableKey) = before;
        table = chosen;
        FaultyRegistry faulty(registry);
        faulty.failAt = failAt;
        status.history.clear();
        WriteLetterChanges(faulty, table, status, [&] { ReadMountTable(faulty, shell, table, status); });
        if (faulty.calls < failAt)
            break; // this run made fewer calls: every call has been failed once

        ValueList after = registry.Values(kCloneTableKey);
        std::sort(after.begin(), after.end(), [](auto& a, auto& b) { return a.name < b.name; });
        ValueList sortedBefore = before;
        std::sort(sortedBefore.begin(), sortedBefore.end(), [](auto& a, auto& b) { return a.name < b.name; });
        ValueList intended = {
            {"\\??\\Volume{bbbbbbbb-0000-0000-0000-000000000000}", kRegBinary, kDiskB},
            {"\\DosDevices\\D:", kRegBinary, kDiskB},
            {"\\DosDevices\\E:", kRegBinary, kDiskA},
            {"\\DosDevices\\G:", kRegBinary, kDiskC},
        };
        if (status.text() == kTextWriteError) {
            ++failures;
            EXPECT_EQ(after, sortedBefore) << "failed call " << failAt << ": " << faulty.failedCall;
        } else {
            EXPECT_EQ(status.text(), kTextCheckAndUnload) << failAt;
            EXPECT_EQ(after, intended) << "failed call " << failAt << ": " << faulty.failedCall;
        }
        EXPECT_EQ(registry.openKeys, 0) << failAt;
    }
    // Six removals with their existence tests and keeping of data, three writes.
    EXPECT_GE(failures, 12);
}

} // namespace
