#include "hive/hive.h"
#include "support/doubles.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

std::vector<std::uint8_t> HiveBytes(std::size_t size, const char* magic = "regf")
{
    std::vector<std::uint8_t> bytes(size, 0);
    std::memcpy(bytes.data(), magic, std::min<std::size_t>(4, std::strlen(magic)));
    return bytes;
}

class HiveTest : public ::testing::Test {
protected:
    void Choose(const std::string& path, FakeHivePlatform::File file)
    {
        platform.files[path] = std::move(file);
        platform.chosen = path;
    }
    void Load() { HiveLoad(hive, platform, registry, status); }
    void Unload() { HiveUnload(hive, registry, table, status); }

    HiveState hive;
    FakeHivePlatform platform;
    MemoryRegistry registry;
    MemoryMountTable table;
    RecordingStatus status;
};

TEST_F(HiveTest, AHiveFileIsMountedAtCloneAndItsRootKept)
{
    Choose("E:\\Windows\\System32\\config\\SYSTEM", {HiveBytes(4096)});
    registry.stagedHives["E:\\Windows\\System32\\config\\SYSTEM"] = {{"\\DosDevices\\C:", kRegBinary, {1, 2}}};
    Load();
    EXPECT_EQ(status.text(), kTextHiveLoaded);
    EXPECT_TRUE(hive.loaded);
    EXPECT_STREQ(hive.rootPath, "E:\\");
    EXPECT_STREQ(hive.filePath, "E:\\Windows\\System32\\config\\SYSTEM");
    EXPECT_TRUE(registry.HasKey(kCloneTableKey));

    // While loaded, Hive load does not even open the dialog.
    status.Set("kept");
    Load();
    EXPECT_EQ(platform.dialogs, 1);
    EXPECT_EQ(status.text(), "kept");
}

TEST_F(HiveTest, FilesThatAreNoHiveGetTheirMessagesAndMountNothing)
{
    struct Case {
        const char* name;
        FakeHivePlatform::File file;
        const char* expected;
    };
    FakeHivePlatform::File locked{HiveBytes(8192)};
    locked.lockedForWriting = true;
    FakeHivePlatform::File unreadable{HiveBytes(8192)};
    unreadable.unreadable = true;
    FakeHivePlatform::File shrank{HiveBytes(100)};
    shrank.reportedSize = 4096;
    Case cases[] = {
        {"4095 bytes", {HiveBytes(4095)}, kTextFileSize},
        {"empty", {{}}, kTextFileSize},
        {"text file", {std::vector<std::uint8_t>(5000, 'a')}, kTextNotHive},
        {"REGF in capitals", {HiveBytes(4096, "REGF")}, kTextNotHive},
        {"held open for writing", locked, kTextFileUnreadable},
        {"unreadable", unreadable, kTextFileUnreadable},
        {"shrank after its size was taken", shrank, kTextNotHive},
    };
    for (Case& c : cases) {
        hive = {};
        Choose("D:\\images\\candidate", c.file);
        Load();
        EXPECT_EQ(status.text(), c.expected) << c.name;
        EXPECT_FALSE(hive.loaded) << c.name;
        EXPECT_EQ(registry.loadCalls, 0) << c.name;
        EXPECT_STREQ(hive.rootPath, "") << c.name;
    }
}

TEST_F(HiveTest, CancelDirectoryOrMissingFileLeaveTheStatusAsItWas)
{
    status.Set("previous");
    platform.cancel = true;
    Load();
    platform.cancel = false;
    FakeHivePlatform::File directory;
    directory.directory = true;
    directory.reportedSize = 0;
    Choose("C:\\Windows", directory);
    Load();
    platform.chosen = "C:\\gone";
    Load();
    EXPECT_EQ(status.text(), "previous");
    EXPECT_EQ(status.history.size(), 1u);
    EXPECT_EQ(registry.loadCalls, 0);
    EXPECT_STREQ(hive.filePath, "");
}

TEST_F(HiveTest, RefusedLoadReportsAndKeepsTheEarlierRoot)
{
    Choose("F:\\first\\SYSTEM", {HiveBytes(4096)});
    Load();
    Unload();
    registry.loadResult = 1009; // ERROR_BADDB
    Choose("\\\\server\\share\\clone\\SYSTEM", {HiveBytes(4096)});
    Load();
    EXPECT_EQ(status.text(), kTextHiveLoadError);
    EXPECT_FALSE(hive.loaded);
    EXPECT_STREQ(hive.rootPath, "F:\\") << "only a successful mount replaces the root";
    EXPECT_STREQ(hive.filePath, "\\\\server\\share\\clone\\SYSTEM");

    registry.loadResult = kRegSuccess;
    Load();
    EXPECT_STREQ(hive.rootPath, "\\\\server\\share");
}

TEST_F(HiveTest, UnloadClearsTheTableOnlyWhenTheHiveWasUnmounted)
{
    Unload();
    EXPECT_EQ(registry.unloadCalls, 0) << "nothing to unload";
    EXPECT_EQ(status.text(), "(untouched)");

    Choose("E:\\SYSTEM", {HiveBytes(4096)});
    Load();
    table.AppendRow("00");
    registry.unloadResult = 5;
    Unload();
    EXPECT_EQ(status.text(), kTextHiveUnloadError);
    EXPECT_TRUE(hive.loaded);
    EXPECT_EQ(table.RowCount(), 1);

    registry.unloadResult = kRegSuccess;
    Unload();
    EXPECT_EQ(status.text(), kTextHiveUnloaded);
    EXPECT_FALSE(hive.loaded);
    EXPECT_EQ(table.RowCount(), 0);
    EXPECT_FALSE(registry.HasKey("Clone"));
    EXPECT_STREQ(hive.rootPath, "E:\\") << "unloading keeps the root";
}

TEST_F(HiveTest, UnloadOnCloseIsSilentAndOnlyForOurOwnMount)
{
    UnloadOnClose(hive, registry);
    EXPECT_EQ(registry.unloadCalls, 0) << "a hive another program mounted is left alone";

    Choose("E:\\SYSTEM", {HiveBytes(4096)});
    Load();
    status.Set("before close");
    registry.unloadResult = 5;
    EXPECT_FALSE(UnloadOnClose(hive, registry)) << "the window must say that the hive stays mounted";
    EXPECT_TRUE(hive.loaded);
    registry.unloadResult = kRegSuccess;
    EXPECT_TRUE(UnloadOnClose(hive, registry));
    EXPECT_FALSE(hive.loaded);
    EXPECT_EQ(status.text(), "before close");
}

// The clone's root is three folders above a hive in Windows\System32\config,
// else the root of its drive; its hiberfil.sys decides whether to ask.
TEST_F(HiveTest, AHibernatedCloneIsAskedAboutBeforeItsHiveIsLoaded)
{
    const std::string hivePath = "E:\\Clone\\WINDOWS\\system32\\Config\\SYSTEM";
    platform.files["E:\\Clone\\hiberfil.sys"] = {Bytes({'H', 'I', 'B', 'R', 1, 2})};
    Choose(hivePath, {HiveBytes(4096)});
    status.Set("kept");
    Load();
    EXPECT_EQ(platform.hibernationQuestions, 1);
    EXPECT_FALSE(hive.loaded) << "No loads nothing";
    EXPECT_EQ(registry.loadCalls, 0);
    EXPECT_EQ(status.text(), "kept");

    platform.answerYes = true;
    Load();
    EXPECT_TRUE(hive.loaded);
    EXPECT_EQ(status.text(), kTextHiveLoaded);
    Unload();

    // Elsewhere than Windows\System32\config the drive's root counts.
    platform.files["F:\\hiberfil.sys"] = {Bytes({'h', 'i', 'b', 'r'})};
    Choose("F:\\hives\\SYSTEM", {HiveBytes(4096)});
    Load();
    EXPECT_EQ(platform.hibernationQuestions, 3);

    // A resumed ("wake"), zeroed, short or missing image asks nothing.
    for (std::vector<std::uint8_t> image : {Bytes({'w', 'a', 'k', 'e'}), std::vector<std::uint8_t>(4096, 0),
                                            Bytes({'h', 'i', 'b'})}) {
        Unload();
        platform.files["E:\\Clone\\hiberfil.sys"] = {image};
        Choose(hivePath, {HiveBytes(4096)});
        Load();
        EXPECT_TRUE(hive.loaded);
    }
    Unload();
    platform.files.erase("E:\\Clone\\hiberfil.sys");
    Choose(hivePath, {HiveBytes(4096)});
    Load();
    EXPECT_TRUE(hive.loaded);
    EXPECT_EQ(platform.hibernationQuestions, 3);
}

} // namespace
