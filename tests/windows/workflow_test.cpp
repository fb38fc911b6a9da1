// The whole workflow in the real window: load, read, pick letters through
// commands and the real context menu, write, sort, draw, about box, exit.
#include "harness.h"
#include "mounttable/read_write.h"
#include "ui/command_ids.h"
#include "ui/commands.h"
#include "ui/list_control.h"
#include "ui/list_logic.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

namespace {

const std::vector<std::uint8_t> kHost = Bytes({0x66, 0x77, 0x88, 0x99, 0x00, 0x00, 0x10, 0, 0, 0, 0, 0});
const std::vector<std::uint8_t> kCloneSystem = Bytes({0x4D, 0x3C, 0x2B, 0x1A, 0x00, 0x00, 0x10, 0, 0, 0, 0, 0});
const std::vector<std::uint8_t> kCloneData = Bytes({'D', 'M', 'I', 'O', ':', 'I', 'D', ':', 9, 8, 7, 6, 5, 4, 3,
                                                    2, 1, 0, 1, 2, 3, 4, 5, 6});
const std::vector<std::uint8_t> kStick = Utf16("\\??\\USBSTOR#Disk&Ven_Generic#0001");

void Select(HWND list, int row)
{
    LVITEMA item = {};
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    item.state = 0;
    SendMessageA(list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&item));
    if (row < 0)
        return;
    item.state = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageA(list, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&item));
}

int CheckState(HWND list, int row)
{
    return static_cast<int>((SendMessageA(list, LVM_GETITEMSTATE, row, LVIS_STATEIMAGEMASK) >> 12) & 0xF);
}

LRESULT Notify(HWND window, NMHDR* header)
{
    return SendMessageA(window, WM_NOTIFY, header->idFrom, reinterpret_cast<LPARAM>(header));
}

LRESULT ClickHeader(HWND window, HWND list, int column)
{
    NMLISTVIEW click = {};
    click.hdr.hwndFrom = list;
    click.hdr.code = LVN_COLUMNCLICK;
    click.iItem = -1;
    click.iSubItem = column;
    return Notify(window, &click.hdr);
}

std::vector<std::string> ColumnTexts(MountTable& table, int column)
{
    std::vector<std::string> texts;
    for (int row = 0; row < table.RowCount(); ++row) {
        char text[kHexChars];
        table.CellText(row, column, text);
        texts.push_back(text);
    }
    return texts;
}

class WorkflowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (ColumnRecord& column : g_columns)
            column.sortDirection = 0;
        SetValues(kRunningTableKey, {{"\\DosDevices\\C:", kRegBinary, kHost},
                                     {"\\??\\Volume{00000000-1111-2222-3333-444444444444}", kRegBinary, kHost},
                                     {"\\DosDevices\\K:", kRegBinary, kCloneSystem},
                                     {"\\DosDevices\\L:", kRegBinary, kCloneData}});
        registry.staged = {{"\\DosDevices\\C:", kRegBinary, kCloneSystem},
                           {"\\DosDevices\\D:", kRegBinary, kCloneData},
                           {"\\DosDevices\\E:", kRegBinary, kStick},
                           {"\\??\\Volume{6c5a3e1e-0000-0000-0000-100000000000}", kRegBinary, kCloneSystem}};
    }

    int RowWithClone(const std::string& letter)
    {
        ListMountTable table(host.list());
        std::vector<std::string> clones = ColumnTexts(table, kColClone);
        for (std::size_t row = 0; row < clones.size(); ++row)
            if (clones[row] == letter)
                return static_cast<int>(row);
        return -1;
    }
    std::string Cell(int row, int column)
    {
        ListMountTable table(host.list());
        return ColumnTexts(table, column).at(row);
    }

    MountedWindow mounted{"vosk-workflow.hiv"};
    HostedWindow& host = mounted.host;
    SimulatedMountRegistry& registry = mounted.registry;
};

TEST_F(WorkflowTest, LoadReadChooseWriteAndUnload)
{
    HWND window = host.window();
    HWND list = host.list();
    ASSERT_TRUE(mounted.LoadHive());
    ASSERT_EQ(host.StatusText(), kTextHiveLoaded);
    host.Command(kCmdRead);
    EXPECT_EQ(host.StatusText(), "");
    ListMountTable table(list);
    ASSERT_EQ(table.RowCount(), 4);
    EXPECT_EQ(Cell(0, kColOriginal), "C:\\");
    EXPECT_EQ(Cell(1, kColOriginal), "K:\\");
    EXPECT_EQ(Cell(1, kColClone), "C:");
    EXPECT_EQ(Cell(2, kColClone), "D:");
    EXPECT_EQ(Cell(3, kColClone), "E:");
    EXPECT_EQ(CheckState(list, 0), kCheckUnchecked);
    EXPECT_EQ(CheckState(list, 1), kCheckChecked);
    EXPECT_EQ(CheckState(list, 3), kCheckChecked);

    // Letters by command on the selected row.
    Select(list, RowWithClone("C:"));
    host.Command('D');
    EXPECT_EQ(Cell(RowWithClone("C:"), kColChange), "D:");
    Select(list, RowWithClone("E:"));
    host.Command('Q');
    host.Command(kCmdClearChange);
    EXPECT_EQ(Cell(RowWithClone("E:"), kColChange), "");
    host.Command('G');

    // And once through the real context menu: "C:" is the fourth item.
    int dataRow = RowWithClone("D:");
    Select(list, dataRow);
    int menuItems = 0;
    std::thread user([&] {
        HWND menu = WaitForWindow([] { return FindProcessWindow("#32768"); });
        if (menu == nullptr)
            return;
        HMENU handle = reinterpret_cast<HMENU>(SendMessageA(menu, MN_GETHMENU, 0, 0));
        menuItems = GetMenuItemCount(handle);
        for (int i = 0; i < 4; ++i)
            PostMessageA(menu, WM_KEYDOWN, VK_DOWN, 0);
        PostMessageA(menu, WM_KEYDOWN, VK_RETURN, 0);
    });
    RECT rect;
    GetWindowRect(list, &rect);
    SendMessageA(window, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(list), MAKELPARAM(rect.left + 60, rect.top + 60));
    user.join();
    Pump(100);
    EXPECT_EQ(menuItems, kLetterMenuCount);
    EXPECT_EQ(Cell(dataRow, kColChange), "C:");

    if (const char* dir = std::getenv("VOSK_SCREENSHOT_DIR")) {
        Select(list, dataRow);
        InvalidateRect(window, nullptr, TRUE);
        Pump(300);
        SaveWindowBitmap(window, std::string(dir) + "\\workflow.bmp");
    }

    host.Command(kCmdWrite);
    EXPECT_EQ(host.StatusText(), kTextCheckAndUnload);
    ValueList values = ReadValues(kCloneTableKey);
    auto data = [&](const char* name) {
        for (const RegValue& v : values)
            if (v.name == name)
                return v.data;
        return std::vector<std::uint8_t>{};
    };
    EXPECT_EQ(data("\\DosDevices\\D:"), kCloneSystem);
    EXPECT_EQ(data("\\DosDevices\\C:"), kCloneData);
    EXPECT_EQ(data("\\DosDevices\\G:"), kStick);
    EXPECT_EQ(data("\\DosDevices\\E:"), std::vector<std::uint8_t>{});
    EXPECT_EQ(values.size(), 4u);

    // The re-read table shows the new letters and no chosen ones.
    EXPECT_EQ(Cell(1, kColClone), "D:");
    EXPECT_EQ(Cell(2, kColClone), "C:");
    EXPECT_EQ(RowWithClone("G:"), 3);
    for (int row = 0; row < table.RowCount(); ++row)
        EXPECT_EQ(Cell(row, kColChange), "");

    host.Command(kCmdHiveUnload);
    EXPECT_EQ(host.StatusText(), kTextHiveUnloaded);
    EXPECT_EQ(table.RowCount(), 0);
    host.Command(kCmdWrite);
    EXPECT_EQ(host.StatusText(), kTextTableNotRead);
}

TEST_F(WorkflowTest, RefusedWritesReportAndChangeNothing)
{
    ASSERT_TRUE(mounted.LoadHive());
    host.Command(kCmdRead);
    host.Command(kCmdWrite);
    EXPECT_EQ(host.StatusText(), kTextNoChange);
    Select(host.list(), 1);
    host.Command('F');
    Select(host.list(), 2);
    host.Command('F');
    host.Command(kCmdWrite);
    EXPECT_EQ(host.StatusText(), kTextDuplicateChange);
    // Wine keeps a key's values sorted by name; compare them the same way.
    auto byName = [](ValueList values) {
        std::sort(values.begin(), values.end(), [](auto& a, auto& b) { return a.name < b.name; });
        return values;
    };
    EXPECT_EQ(byName(ReadValues(kCloneTableKey)), byName(registry.staged));
}

TEST_F(WorkflowTest, TheHiveVolumesRowIsDrawnOnYellow)
{
    ASSERT_TRUE(mounted.LoadHive());
    ASSERT_STREQ(g_main.hive.rootPath, "C:\\");
    host.Command(kCmdRead);

    NMLVCUSTOMDRAW draw = {};
    draw.nmcd.hdr.hwndFrom = host.list();
    draw.nmcd.hdr.code = NM_CUSTOMDRAW;
    draw.nmcd.dwDrawStage = CDDS_PREPAINT;
    EXPECT_EQ(Notify(host.window(), &draw.nmcd.hdr), CDRF_NOTIFYITEMDRAW);

    draw.nmcd.dwDrawStage = CDDS_ITEMPREPAINT;
    draw.nmcd.dwItemSpec = 0; // C:\, the drive holding the hive file
    draw.clrTextBk = 0x123456;
    EXPECT_EQ(Notify(host.window(), &draw.nmcd.hdr), 0x20);
    EXPECT_EQ(draw.clrTextBk, 0x00FFFFu);

    draw.nmcd.dwItemSpec = 1;
    draw.clrTextBk = 0x123456;
    EXPECT_EQ(Notify(host.window(), &draw.nmcd.hdr), 1);
    EXPECT_EQ(draw.clrTextBk, 0x123456u);

    for (DWORD stage : {DWORD(CDDS_ITEMPREPAINT | CDDS_SUBITEM), DWORD(CDDS_POSTPAINT), DWORD(CDDS_ITEMPOSTPAINT)}) {
        draw.nmcd.dwDrawStage = stage;
        draw.nmcd.dwItemSpec = 0;
        EXPECT_EQ(Notify(host.window(), &draw.nmcd.hdr), 1) << stage;
    }

    // Before this program has mounted any hive its root is empty, so with a
    // clone key mounted by another program only the clone-only rows match.
    mounted.host.Command(kCmdHiveUnload);
    g_main.hive = {};
    SetValues(kCloneTableKey, registry.staged);
    mounted.host.Command(kCmdRead);
    ListMountTable table(host.list());
    ASSERT_EQ(table.RowCount(), 4);
    draw.nmcd.dwDrawStage = CDDS_ITEMPREPAINT;
    for (int row = 0; row < 4; ++row) {
        draw.nmcd.dwItemSpec = static_cast<DWORD_PTR>(row);
        EXPECT_EQ(Notify(host.window(), &draw.nmcd.hdr), row == 3 ? 0x20 : 1) << row;
    }

    // Other notifications from the list, and any from elsewhere, are not ours.
    NMHDR other = {host.list(), 0, NM_CLICK};
    EXPECT_EQ(Notify(host.window(), &other), 0);
}

TEST_F(WorkflowTest, HeaderClicksSortEachColumnInItsOwnDirection)
{
    HWND window = host.window();
    HWND list = host.list();
    ListMountTable table(list);

    // A click on the empty list flips the direction all the same.
    EXPECT_EQ(ClickHeader(window, list, kColClone), 1);
    EXPECT_EQ(g_columns[kColClone].sortDirection, 1);

    ASSERT_TRUE(mounted.LoadHive());
    host.Command(kCmdRead);
    std::vector<std::string> clones = ColumnTexts(table, kColClone);
    ClickHeader(window, list, kColClone); // second click: descending
    std::vector<std::string> descending = ColumnTexts(table, kColClone);
    EXPECT_EQ(descending, (std::vector<std::string>{"E:", "D:", "C:", ""}));

    ClickHeader(window, list, kColOriginal); // first click on another column: ascending
    EXPECT_EQ(ColumnTexts(table, kColOriginal), (std::vector<std::string>{"", "C:\\", "K:\\", "L:\\"}));
    ClickHeader(window, list, kColOriginal);
    EXPECT_EQ(ColumnTexts(table, kColOriginal), (std::vector<std::string>{"L:\\", "K:\\", "C:\\", ""}));

    // Rows move whole: each keeps its identity with its letters.
    for (int row = 0; row < table.RowCount(); ++row) {
        std::string original = Cell(row, kColOriginal);
        std::string hex = Cell(row, kColDeviceData);
        if (original == "K:\\") {
            EXPECT_EQ(hex, "4D3C2B1A0000100000000000");
        } else if (original == "C:\\") {
            EXPECT_EQ(hex, "667788990000100000000000");
        }
    }
    // A new Read appends in registry order again; directions are kept.
    host.Command(kCmdRead);
    EXPECT_EQ(Cell(0, kColOriginal), "C:\\");
    ClickHeader(window, list, kColClone);
    EXPECT_EQ(ColumnTexts(table, kColClone), (std::vector<std::string>{"", "C:", "D:", "E:"}));
}

TEST_F(WorkflowTest, MenuNeedsASelectedRowAndTheAboutBoxShowsItsLines)
{
    ASSERT_TRUE(mounted.LoadHive());
    host.Command(kCmdRead);
    Select(host.list(), -1);
    bool menuSeen = false;
    std::thread watcher([&] {
        HWND menu = WaitForWindow([] { return FindProcessWindow("#32768"); }, 1000);
        menuSeen = menu != nullptr;
        if (menu)
            PostMessageA(menu, WM_KEYDOWN, VK_ESCAPE, 0);
    });
    SendMessageA(host.window(), WM_CONTEXTMENU, reinterpret_cast<WPARAM>(host.list()), MAKELPARAM(0xFFFF, 0xFFFF));
    Pump(1100);
    watcher.join();
    EXPECT_FALSE(menuSeen);
    host.Command('C');
    EXPECT_EQ(Cell(0, kColChange), "") << "letters need a selected row";

    std::string shown;
    std::thread reader([&] {
        HWND box = WaitForWindow([] { return FindProcessWindow("#32770", kAboutCaption); });
        if (box == nullptr)
            return;
        for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
            char text[512] = {};
            GetWindowTextA(child, text, sizeof text);
            if (std::string_view(text).find("Voskarelle") != std::string_view::npos)
                shown = text;
        }
        PostMessageA(box, WM_COMMAND, IDOK, 0);
    });
    host.Command(kCmdAbout);
    reader.join();
    EXPECT_EQ(shown, kAboutText);
    EXPECT_EQ(std::count(shown.begin(), shown.end(), '\n'), 4) << "five lines";

    host.Command(kCmdExit);
    EXPECT_FALSE(IsWindow(host.window()));
}

// Wine's list view never asks for info tips, so the test asks as it would.
std::string InfoTip(HWND window, HWND list, int row)
{
    char text[1024] = "(the item's own text)";
    NMLVGETINFOTIPA tip = {};
    tip.hdr.hwndFrom = list;
    tip.hdr.code = LVN_GETINFOTIPA;
    tip.pszText = text;
    tip.cchTextMax = sizeof text;
    tip.iItem = row;
    SendMessageA(window, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&tip));
    return text;
}

TEST_F(WorkflowTest, InfoTipsDecodeEachRowsIdentityAndNameItsVolumes)
{
    registry.staged.push_back({"\\DosDevices\\F:", kRegBinary, Utf16Le(u"\\??\\USBSTOR#Ven_Z\u00E4h&Prod_\u30A2\u30A4#1")});
    ASSERT_TRUE(mounted.LoadHive());
    host.Command(kCmdRead);
    HWND window = host.window();
    HWND list = host.list();
    ASSERT_EQ(RowWithClone("F:"), 4);
    EXPECT_EQ(InfoTip(window, list, 0), "MBR ディスク署名 99887766 / 開始位置 1048576 バイト (1 MiB)\r\n"
                                        "\\??\\Volume{00000000-1111-2222-3333-444444444444}");
    EXPECT_EQ(InfoTip(window, list, 1), "MBR ディスク署名 1A2B3C4D / 開始位置 1048576 バイト (1 MiB)\r\n"
                                        "\\??\\Volume{6c5a3e1e-0000-0000-0000-100000000000}");
    EXPECT_EQ(InfoTip(window, list, 2), "GPT パーティション {06070809-0405-0203-0100-010203040506}");
    EXPECT_EQ(InfoTip(window, list, 3), "デバイス \\??\\USBSTOR#Disk&Ven_Generic#0001");
    EXPECT_EQ(InfoTip(window, list, 4), "デバイス \\??\\USBSTOR#Ven_Z?h&Prod_アイ#1")
        << "what code page 932 lacks becomes a question mark";
}

TEST_F(WorkflowTest, KeyboardOpensTheMenuUnderTheRowAndDeleteClearsTheChange)
{
    ASSERT_TRUE(mounted.LoadHive());
    host.Command(kCmdRead);
    HWND window = host.window();
    HWND list = host.list();
    auto menuAt = [&](LPARAM position) {
        RECT shown = {-1, -1, -1, -1};
        std::thread user([&] {
            HWND menu = WaitForWindow([] { return FindProcessWindow("#32768"); });
            if (menu == nullptr)
                return;
            GetWindowRect(menu, &shown);
            PostMessageA(menu, WM_KEYDOWN, VK_ESCAPE, 0);
        });
        SendMessageA(window, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(list), position);
        user.join();
        Pump(100);
        return shown;
    };

    // Shift+F10 and the menu key ask with the position (-1, -1).
    Select(list, 1);
    RECT row = {};
    row.left = LVIR_BOUNDS;
    SendMessageA(list, LVM_GETITEMRECT, 1, reinterpret_cast<LPARAM>(&row));
    POINT under = {row.left, row.bottom};
    ClientToScreen(list, &under);
    RECT menu = menuAt(MAKELPARAM(0xFFFF, 0xFFFF));
    EXPECT_EQ(menu.left, under.x);
    EXPECT_EQ(menu.top, under.y);

    // A click left of the primary monitor has a negative x, not one far right.
    menu = menuAt(MAKELPARAM(static_cast<WORD>(-40), under.y));
    EXPECT_GE(menu.right, 0) << "the menu was shown";
    EXPECT_LT(menu.left, GetSystemMetrics(SM_CXSCREEN) / 2);

    host.Command('G');
    EXPECT_EQ(Cell(1, kColChange), "G:");
    SendMessageA(list, WM_KEYDOWN, VK_DELETE, 0);
    EXPECT_EQ(Cell(1, kColChange), "");
    host.Command('H');
    Select(list, -1);
    SendMessageA(list, WM_KEYDOWN, VK_DELETE, 0);
    EXPECT_EQ(Cell(1, kColChange), "H:") << "without a selected row, nothing";
}

// The clone's root holds a hiberfil.sys: the user is asked before loading.
TEST_F(WorkflowTest, AHibernatedCloneIsNamedBeforeItsHiveIsLoaded)
{
    std::string root = TempPath("vosk-hibernated");
    std::string folder = root;
    for (const char* part : {"", "\\Windows", "\\System32", "\\config"}) {
        folder += part;
        CreateDirectoryA(folder.c_str(), nullptr);
    }
    mounted.platform.chosen = folder + "\\SYSTEM";
    std::string image = root + "\\hiberfil.sys";
    ASSERT_TRUE(WriteFileBytes(image, Bytes({'H', 'I', 'B', 'R', 0, 0, 0, 0})));
    SetStatusLine("before");
    {
        BoxAnswerer user(kTextHibernatedCaption, IDNO);
        ASSERT_TRUE(mounted.LoadHive());
        user.Stop();
        EXPECT_EQ(user.seen(), 1);
        EXPECT_EQ(user.owner, host.window());
        EXPECT_EQ(user.defaultButton, IDNO);
        EXPECT_EQ(user.text, kTextHibernated);
    }
    EXPECT_EQ(registry.loads, 0);
    EXPECT_EQ(host.StatusText(), "before");
    {
        BoxAnswerer user(kTextHibernatedCaption, IDYES);
        ASSERT_TRUE(mounted.LoadHive());
        user.Stop();
        EXPECT_EQ(user.seen(), 1);
    }
    EXPECT_EQ(host.StatusText(), kTextHiveLoaded);
    host.Command(kCmdHiveUnload);

    // A resumed image, a zeroed one or none: loaded without a question.
    for (std::vector<std::uint8_t> bytes : {Bytes({'w', 'a', 'k', 'e', 0, 0}), std::vector<std::uint8_t>(64, 0),
                                            std::vector<std::uint8_t>{}}) {
        if (bytes.empty())
            DeleteFileA(image.c_str());
        else
            ASSERT_TRUE(WriteFileBytes(image, bytes));
        BoxAnswerer user(kTextHibernatedCaption, IDNO);
        ASSERT_TRUE(mounted.LoadHive());
        user.Stop();
        EXPECT_EQ(user.seen(), 0);
        EXPECT_EQ(host.StatusText(), kTextHiveLoaded);
        host.Command(kCmdHiveUnload);
    }
    DeleteFileA(mounted.platform.chosen.c_str());
    for (const char* part : {"\\Windows\\System32\\config", "\\Windows\\System32", "\\Windows", ""})
        RemoveDirectoryA((root + part).c_str());
}

} // namespace
