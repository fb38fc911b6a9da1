// The real main window: bands, command bar, minimum size, close.
#include "harness.h"
#include "mounttable/read_write.h"
#include "ui/command_ids.h"

#include <commctrl.h>
#include <gtest/gtest.h>

namespace {

RECT ChildRect(HWND child)
{
    RECT rect;
    GetWindowRect(child, &rect);
    MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

std::string ClassOf(HWND window)
{
    char name[64] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

// The three bands fill the client area: list on top, bar, status bar.
void ExpectBands(HWND window)
{
    RECT client;
    GetClientRect(window, &client);
    int statusHeight = g_main.statusHeight;
    int listHeight = client.bottom - statusHeight - kBarHeight;
    EXPECT_EQ(g_main.listHeight, listHeight);

    RECT list = ChildRect(g_main.list);
    EXPECT_EQ(list.left, 0);
    EXPECT_EQ(list.top, 0);
    EXPECT_EQ(list.right, client.right);
    EXPECT_EQ(list.bottom, listHeight);

    int total = client.right;
    for (int i = 0; i < kBarEntryCount; ++i) {
        RECT button = ChildRect(g_main.bar[i]);
        EXPECT_EQ(button.top, listHeight) << i;
        EXPECT_EQ(button.bottom, listHeight + kBarHeight) << i;
        EXPECT_EQ(button.left, i * (total / kBarEntryCount)) << i;
        EXPECT_EQ(button.right - button.left, total / kBarEntryCount) << i;
    }
    RECT status = ChildRect(g_main.status);
    EXPECT_EQ(status.top, client.bottom - statusHeight);
    EXPECT_EQ(status.bottom, client.bottom);
    EXPECT_EQ(status.right, client.right);
}

TEST(MainWindow, CreationBuildsTheChildrenInTheirBands)
{
    RegistrySandbox sandbox;
    HostedWindow host({});
    HWND window = host.window();
    ASSERT_NE(window, nullptr);
    char title[32] = {};
    GetWindowTextA(window, title, sizeof title);
    EXPECT_STREQ(title, "Voskarelle");
    RECT frame;
    GetWindowRect(window, &frame);
    EXPECT_EQ(frame.right - frame.left, 900);
    EXPECT_EQ(frame.bottom - frame.top, 530);

    EXPECT_EQ(ClassOf(g_main.status), "msctls_statusbar32");
    EXPECT_EQ(ClassOf(g_main.tooltip), "tooltips_class32");
    EXPECT_EQ(ClassOf(g_main.list), "SysListView32");
    // The control drops WS_VSCROLL itself while it has nothing to scroll.
    EXPECT_EQ(GetWindowLongA(g_main.list, GWL_STYLE) & ~WS_VSCROLL, 0x5020000D & ~WS_VSCROLL);
    EXPECT_EQ(SendMessageA(g_main.list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0) & 0x425, 0x425);
    EXPECT_TRUE(GetWindowLongA(g_main.list, GWL_EXSTYLE) & WS_EX_CLIENTEDGE);
    EXPECT_GT(g_main.statusHeight, 0);
    ExpectBands(window);

    // Six columns with their headers and widths.
    const char* headers[] = {"[c]MountedDivices", "Type", "Volume", "Original", "Clone", "Change"};
    const int widths[] = {330, 140, 200, 70, 70, 70};
    for (int i = 0; i < kColumnCount; ++i) {
        char text[64] = {};
        LVCOLUMNA column = {};
        column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT | LVCF_SUBITEM;
        column.pszText = text;
        column.cchTextMax = sizeof text;
        ASSERT_TRUE(SendMessageA(g_main.list, LVM_GETCOLUMNA, i, reinterpret_cast<LPARAM>(&column)));
        EXPECT_STREQ(text, headers[i]);
        EXPECT_EQ(column.cx, widths[i]);
        EXPECT_EQ(column.fmt & LVCFMT_JUSTIFYMASK, LVCFMT_LEFT);
        EXPECT_EQ(column.iSubItem, i);
    }

    // Captions byte for byte in code page 932, identifiers and styles.
    const char* captions[] = {
        "\x83\x6e\x83\x43\x83\x75\x83\x8d\x81\x5b\x83\x68",
        "\x83\x6e\x83\x43\x83\x75\x83\x41\x83\x93\x83\x8d\x81\x5b\x83\x68",
        "\x93\xc7\x8d\x9e",
        "\x8f\x91\x8d\x9e",
        "\x8f\x49\x97\xb9",
        "\x83\x6f\x81\x5b\x83\x57\x83\x87\x83\x93\x8f\xee\x95\xf1",
    };
    const int ids[] = {kCmdHiveLoad, kCmdHiveUnload, kCmdRead, kCmdWrite, kCmdExit, kCmdAbout};
    for (int i = 0; i < kBarEntryCount; ++i) {
        char caption[64] = {};
        GetWindowTextA(g_main.bar[i], caption, sizeof caption);
        EXPECT_EQ(std::string(caption), captions[i]) << i;
        EXPECT_EQ(GetDlgCtrlID(g_main.bar[i]), ids[i]);
        EXPECT_EQ(ClassOf(g_main.bar[i]), "Button");
        EXPECT_TRUE(GetWindowLongA(g_main.bar[i], GWL_EXSTYLE) & WS_EX_CLIENTEDGE);
        EXPECT_EQ(GetWindowLongA(g_main.bar[i], GWL_STYLE) & 0xF00, i < 2 ? 0xF00 : 0xC00);
        EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageA(g_main.bar[i], WM_GETFONT, 0, 0)), g_main.params.controlFont);
    }
    EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageA(g_main.list, WM_GETFONT, 0, 0)), g_main.params.listFont);
    LOGFONTA listFont = {};
    GetObjectA(g_main.params.listFont, sizeof listFont, &listFont);
    EXPECT_EQ(listFont.lfHeight, 14);
    EXPECT_EQ(listFont.lfCharSet, SHIFTJIS_CHARSET);
    EXPECT_STREQ(listFont.lfFaceName, "\x82\x6c\x82\x72\x20\x83\x53\x83\x56\x83\x62\x83\x4e");
}

TEST(MainWindow, BarSharesTheClientWidthAndRelayoutFollowsEveryResize)
{
    RegistrySandbox sandbox;
    HostedWindow host({});
    host.SetClientSize(900, 400);
    for (int i = 0; i < kBarEntryCount; ++i) {
        RECT button = ChildRect(g_main.bar[i]);
        EXPECT_EQ(button.right - button.left, 150);
    }
    host.SetClientSize(905, 400);
    EXPECT_EQ(ChildRect(g_main.bar[5]).right, 900) << "5 pixels stay free at 905";
    ExpectBands(host.window());

    for (int i = 0; i < 25; ++i)
        host.SetClientSize(600 + 13 * i, 300 + 7 * i);
    ExpectBands(host.window());
    EXPECT_EQ(SendMessageA(g_main.tooltip, TTM_GETTOOLCOUNT, 0, 0), kBarEntryCount)
        << "one tooltip per button";
    TOOLINFOA info = {};
    info.cbSize = sizeof info;
    char text[80] = {};
    info.lpszText = text;
    ASSERT_TRUE(SendMessageA(g_main.tooltip, TTM_ENUMTOOLSA, 2, reinterpret_cast<LPARAM>(&info)));
    EXPECT_EQ(reinterpret_cast<HWND>(info.uId), g_main.bar[2]);
    EXPECT_STREQ(text, "\x93\xc7\x8d\x9e") << "the caption is the tooltip";

    ShowWindow(host.window(), SW_MINIMIZE);
    Pump(100);
    ShowWindow(host.window(), SW_RESTORE);
    Pump(100);
    ExpectBands(host.window());
}

TEST(MainWindow, MinimumTrackingSizeLeavesRoomForBarAndStatusBar)
{
    RegistrySandbox sandbox;
    MINMAXINFO early = {};
    early.ptMinTrackSize = {1, 1};
    MainWindowProc(nullptr, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&early));
    EXPECT_EQ(early.ptMinTrackSize.x, 0) << "before creation the minimum is 0 by 0";
    EXPECT_EQ(early.ptMinTrackSize.y, 0);

    HostedWindow host({});
    RECT frame;
    RECT client;
    GetWindowRect(host.window(), &frame);
    GetClientRect(host.window(), &client);
    MINMAXINFO info = {};
    SendMessageA(host.window(), WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&info));
    EXPECT_EQ(info.ptMinTrackSize.x, (frame.right - frame.left) - client.right);
    EXPECT_EQ(info.ptMinTrackSize.y,
              (frame.bottom - frame.top) - client.bottom + g_main.statusHeight + kMinTrackExtraHeight);

    // At the minimum height the list band is 78 pixels and the rest is whole.
    SetWindowPos(host.window(), nullptr, 0, 0, info.ptMinTrackSize.x + 300, info.ptMinTrackSize.y,
                 SWP_NOMOVE | SWP_NOZORDER);
    Pump(50);
    GetClientRect(host.window(), &client);
    EXPECT_EQ(client.bottom, g_main.statusHeight + kMinTrackExtraHeight);
    EXPECT_EQ(g_main.listHeight, 78);
    ExpectBands(host.window());
}

TEST(MainWindow, UnknownCommandsDoNothingAndCloseUnloadsOurHive)
{
    MountedWindow mounted("vosk-close.hiv");
    HostedWindow& host = mounted.host;
    ASSERT_TRUE(mounted.LoadHive());
    ASSERT_TRUE(g_main.hive.loaded);
    EXPECT_EQ(host.StatusText(), kTextHiveLoaded);

    EXPECT_EQ(SendMessageA(host.window(), WM_COMMAND, 1028, 0), 0);
    EXPECT_EQ(SendMessageA(host.window(), WM_COMMAND, MAKEWPARAM(1028, BN_CLICKED), 0), 0);
    EXPECT_EQ(host.StatusText(), kTextHiveLoaded);
    EXPECT_TRUE(IsWindow(host.window()));

    // The exit button's command closes the window, unloading the hive first.
    host.Command(kCmdExit);
    EXPECT_FALSE(IsWindow(host.window()));
    EXPECT_EQ(mounted.registry.unloads, 1);
    EXPECT_FALSE(g_main.hive.loaded);
    HKEY key = nullptr;
    EXPECT_NE(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kCloneMountKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    MSG quit = {};
    EXPECT_TRUE(PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) << "WM_DESTROY posts the quit message";
}

// An unload that fails as the window closes leaves the hive mounted: the
// user is told before the window goes.
TEST(MainWindow, CloseSaysSoWhenTheHiveCannotBeUnloaded)
{
    MountedWindow mounted("vosk-close-fails.hiv");
    ASSERT_TRUE(mounted.LoadHive());
    mounted.registry.failUnload = true;
    BoxAnswerer user(kClassName, IDOK);
    mounted.host.Command(kCmdExit);
    user.Stop();
    EXPECT_EQ(user.seen(), 1);
    EXPECT_EQ(user.text, kTextHiveUnloadError);
    EXPECT_FALSE(IsWindow(mounted.host.window()));
    mounted.registry.failUnload = false;
    mounted.registry.UnLoadKey(kCloneMountKey);
    MSG quit = {};
    PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
}

} // namespace
