// Hive load through the real open-file dialog, driven from a second thread
// the way a user would: find it, type the path, press OK.
#include "harness.h"
#include "mounttable/read_write.h"
#include "support/regf_writer.h"
#include "ui/command_ids.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

struct DialogSeen {
    bool found = false;
    RECT rect = {};
};

// Answers the next open-file dialog with path (or cancels when empty).
std::thread AnswerDialog(std::string path, DialogSeen* seen, int waitMs = 10000)
{
    return std::thread([path, seen, waitMs] {
        HWND dialog = WaitForWindow([] { return FindProcessWindow("#32770"); }, waitMs);
        if (dialog == nullptr)
            return;
        seen->found = true;
        Sleep(200); // let the dialog finish its own placement
        GetWindowRect(dialog, &seen->rect);
        if (path.empty()) {
            PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
            return;
        }
        HWND name = GetDlgItem(dialog, 0x47C); // cmb13: the file name box
        if (name == nullptr)
            name = GetDlgItem(dialog, 0x480); // edt1 in older templates
        SendMessageA(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
        PostMessageA(dialog, WM_COMMAND, IDOK, 0);
    });
}

class HiveDialogTest : public ::testing::Test {
protected:
    std::string Load(const std::string& path, DialogSeen* seen = nullptr)
    {
        DialogSeen local;
        DialogSeen* target = seen ? seen : &local;
        std::thread driver = AnswerDialog(path, target);
        host.Command(kCmdHiveLoad);
        driver.join();
        return host.StatusText();
    }

    RegistrySandbox sandbox;
    HostedWindow host{{}};
};

TEST_F(HiveDialogTest, DialogIsCentredOnTheScreenAndEachFileGetsItsOutcome)
{
    std::vector<std::uint8_t> regf4096(4096, 0);
    std::memcpy(regf4096.data(), "regf", 4);
    std::string short4095 = TempPath("vosk-4095.bin");
    std::string exact4096 = TempPath("vosk-4096.hiv");
    std::string text = TempPath("vosk-text.txt");
    std::string realHive = TempPath("vosk-SYSTEM");
    ASSERT_TRUE(WriteFileBytes(short4095, std::vector<std::uint8_t>(regf4096.begin(), regf4096.end() - 1)));
    ASSERT_TRUE(WriteFileBytes(exact4096, regf4096));
    ASSERT_TRUE(WriteFileBytes(text, std::vector<std::uint8_t>(5000, 'x')));
    ASSERT_TRUE(WriteMinimalHive(realHive.c_str()));

    DialogSeen seen;
    EXPECT_EQ(Load(short4095, &seen), kTextFileSize);
    ASSERT_TRUE(seen.found);
    int width = seen.rect.right - seen.rect.left;
    int height = seen.rect.bottom - seen.rect.top;
    EXPECT_EQ(seen.rect.left, GetSystemMetrics(SM_CXSCREEN) / 2 - width / 2);
    // Wine's dialog grows by its bottom rows after the hook has centred it at
    // its first height, so the top edge sits up to that much above centre.
    int centredTop = GetSystemMetrics(SM_CYSCREEN) / 2 - height / 2;
    EXPECT_LE(seen.rect.top, centredTop);
    EXPECT_GE(seen.rect.top, centredTop - 40);

    EXPECT_EQ(Load(text), kTextNotHive);
    // Wine mounts only its own hive format, so real hive files are refused
    // by RegLoadKeyA itself.
    EXPECT_EQ(Load(exact4096), kTextHiveLoadError);
    EXPECT_EQ(Load(realHive), kTextHiveLoadError);
    EXPECT_FALSE(g_main.hive.loaded);
    EXPECT_STREQ(g_main.hive.filePath, realHive.c_str());

    // A file another process holds open for writing cannot be read.
    HANDLE writer = CreateFileA(realHive.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Load(realHive), kTextFileUnreadable);
    CloseHandle(writer);

    for (const std::string& path : {short4095, exact4096, text, realHive})
        DeleteFileA(path.c_str());
}

TEST_F(HiveDialogTest, CancellingLeavesTheStatusAsItWas)
{
    SetStatusLine("before");
    DialogSeen seen;
    EXPECT_EQ(Load("", &seen), "before");
    EXPECT_TRUE(seen.found);
}

TEST(HivePlatformOnWine, DirectoriesAreToldApartAndRootsComeFromTheShell)
{
    Win32HivePlatform platform(nullptr);
    bool isDirectory = false;
    std::uint64_t size = 0;
    char windows[MAX_PATH] = {};
    GetWindowsDirectoryA(windows, sizeof windows);
    ASSERT_TRUE(platform.FileAttributes(windows, &isDirectory, &size));
    EXPECT_TRUE(isDirectory);
    EXPECT_FALSE(platform.FileAttributes("C:\\no\\such\\file", &isDirectory, &size));

    char root[kCellChars];
    platform.RootOfPath("E:\\Windows\\System32\\config\\SYSTEM", root);
    EXPECT_STREQ(root, "E:\\");
    platform.RootOfPath("\\\\server\\share\\Windows\\System32\\config\\SYSTEM", root);
    EXPECT_STREQ(root, "\\\\server\\share");
}

TEST(HiveLoadOnWine, WhileLoadedNoDialogOpensAndUnloadReportsItsOutcome)
{
    MountedWindow mounted("vosk-mount.hiv");
    HostedWindow& host = mounted.host;
    SimulatedMountRegistry& registry = mounted.registry;
    ASSERT_TRUE(mounted.LoadHive());
    EXPECT_EQ(host.StatusText(), kTextHiveLoaded);
    EXPECT_TRUE(g_main.hive.loaded);
    EXPECT_STREQ(g_main.hive.rootPath, "C:\\");

    // Pressing Hive load again while loaded opens no dialog at all.
    g_main.services.hivePlatform = nullptr;
    DialogSeen seen;
    std::thread driver = AnswerDialog("", &seen, 1500);
    host.Command(kCmdHiveLoad);
    driver.join();
    EXPECT_FALSE(seen.found);
    EXPECT_EQ(registry.loads, 1);

    host.Command(kCmdHiveUnload);
    EXPECT_EQ(host.StatusText(), kTextHiveUnloaded);
    EXPECT_FALSE(g_main.hive.loaded);
    host.Command(kCmdHiveUnload);
    EXPECT_EQ(registry.unloads, 1) << "nothing to unload the second time";
}

} // namespace
