#include "ui/main_window.h"

#include "hive/hive_win32.h"
#include "mounttable/registry_win32.h"
#include "mounttable/text.h"
#include "ui/command_bar.h"
#include "ui/commands.h"
#include "ui/list_control.h"

#include <commctrl.h>

MainWindowState g_main = {};

namespace {

Win32Registry g_win32Registry;
Win32DriveShell g_win32Shell;

class StatusBarLine final : public StatusLine {
public:
    void Set(const char* text) override { SetStatusLine(text); }
};
StatusBarLine g_statusLine;

void ClientSize(HWND window, int* width, int* height)
{
    RECT client = {};
    GetClientRect(window, &client);
    *width = client.right - client.left;
    *height = client.bottom - client.top;
}

LRESULT OnCreate(HWND window, const CREATESTRUCTA* create)
{
    g_main.window = window;
    g_main.params = *static_cast<const CreateParams*>(create->lpCreateParams);
    HINSTANCE instance = g_main.params.instance;

    g_main.status = CreateWindowExA(WS_EX_CLIENTEDGE, STATUSCLASSNAMEA, "",
                                    WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP | CCS_BOTTOM, CW_USEDEFAULT,
                                    CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, window, nullptr, instance, nullptr);
    RECT statusRect = {};
    GetWindowRect(g_main.status, &statusRect);
    g_main.statusHeight = statusRect.bottom - statusRect.top;

    g_main.tooltip = CreateWindowExA(0, TOOLTIPS_CLASSA, nullptr, TTS_ALWAYSTIP, CW_USEDEFAULT, CW_USEDEFAULT,
                                     CW_USEDEFAULT, CW_USEDEFAULT, window, nullptr, instance, nullptr);
    SendMessageA(g_main.tooltip, TTM_SETMAXTIPWIDTH, 0, 200);
    SendMessageA(g_main.tooltip, TTM_ACTIVATE, FALSE, 0);

    int width = 0;
    int height = 0;
    ClientSize(window, &width, &height);
    g_main.listHeight = height - g_main.statusHeight - kBarHeight;
    g_main.list = CreateMountList(window, instance, g_main.params.listFont, 0, 0, width, g_main.listHeight);
    CreateCommandBar(window, g_main.listHeight, g_main.listHeight + kBarHeight);
    SendMessageA(g_main.tooltip, TTM_ACTIVATE, TRUE, 0);

    RECT frame = {};
    GetWindowRect(window, &frame);
    g_main.minTrackWidth = (frame.right - frame.left) - width;
    g_main.minTrackHeight = (frame.bottom - frame.top) - height + g_main.statusHeight + kMinTrackExtraHeight;

    EnableHivePrivileges();
    return 0;
}

void OnSize(HWND window)
{
    int width = 0;
    int height = 0;
    ClientSize(window, &width, &height);
    g_main.listHeight = height - g_main.statusHeight - kBarHeight;
    MoveWindow(g_main.list, 0, 0, width, g_main.listHeight, TRUE);
    RelayoutCommandBar(window, g_main.listHeight, g_main.listHeight + kBarHeight);
    MoveWindow(g_main.status, 0, height - g_main.statusHeight, width, g_main.statusHeight, TRUE);
}

LRESULT HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        return OnCreate(window, reinterpret_cast<const CREATESTRUCTA*>(lParam));
    case WM_SIZE:
        OnSize(window);
        return 0;
    case WM_GETMINMAXINFO: {
        MINMAXINFO* info = reinterpret_cast<MINMAXINFO*>(lParam);
        info->ptMinTrackSize.x = g_main.minTrackWidth;
        info->ptMinTrackSize.y = g_main.minTrackHeight;
        return 0;
    }
    case WM_CLOSE:
        // The hive stays mounted when its unload fails: say so before going.
        if (g_main.services.registry != nullptr && !UnloadOnClose(g_main.hive, *g_main.services.registry))
            MessageBoxA(window, kTextHiveUnloadError, kClassName, MB_OK | MB_ICONERROR);
        DestroyWindow(window);
        return 1;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_NOTIFY: {
        NMHDR* header = reinterpret_cast<NMHDR*>(lParam);
        LRESULT result = 0;
        if (header != nullptr && header->hwndFrom == g_main.list && g_main.list != nullptr &&
            HandleListNotify(header, g_main.hive.rootPath, *g_main.services.registry, &result))
            return result;
        break;
    }
    case WM_CONTEXTMENU:
        if (reinterpret_cast<HWND>(wParam) == g_main.list && g_main.list != nullptr) {
            ShowLetterMenu(window, g_main.list, lParam);
            return 0;
        }
        break;
    case WM_COMMAND:
        return OnCommand(window, wParam);
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

} // namespace

void SetStatusLine(const char* text)
{
    SetWindowTextA(g_main.status, text);
}

StatusLine& WindowStatusLine()
{
    return g_statusLine;
}

HivePlatform& WindowHivePlatform()
{
    static Win32HivePlatform dialog(nullptr);
    if (g_main.services.hivePlatform != nullptr)
        return *g_main.services.hivePlatform;
    dialog = Win32HivePlatform(g_main.window);
    return dialog;
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    // Nothing may unwind through the system's code that called us.
    try {
        return HandleMessage(window, message, wParam, lParam);
    } catch (...) {
        return 0;
    }
}

void UseServices(const AppServices& services)
{
    g_main.services = services;
}

CreateParams MakeCreateParams(HINSTANCE instance)
{
    CreateParams params = {instance, nullptr, nullptr};

    LOGFONTA listFont = {};
    listFont.lfHeight = 14;
    listFont.lfCharSet = SHIFTJIS_CHARSET;
    CopyText(listFont.lfFaceName, sizeof listFont.lfFaceName, "ＭＳ ゴシック");
    params.listFont = CreateFontIndirectA(&listFont);

    // 340 bytes: the record as it was before the padded-border field, which
    // every Windows version accepts.
    constexpr UINT kMetricsSize = 340;
    NONCLIENTMETRICSA metrics = {};
    static_assert(sizeof metrics >= kMetricsSize);
    metrics.cbSize = kMetricsSize;
    SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, kMetricsSize, &metrics, 0);
    params.controlFont = CreateFontIndirectA(&metrics.lfStatusFont);
    return params;
}

void DeleteFonts(const CreateParams& params)
{
    if (params.listFont != nullptr)
        DeleteObject(params.listFont);
    if (params.controlFont != nullptr)
        DeleteObject(params.controlFont);
}

void InitControls()
{
    INITCOMMONCONTROLSEX init = {};
    init.dwSize = sizeof init;
    init.dwICC = ICC_WIN95_CLASSES | ICC_COOL_CLASSES | ICC_PAGESCROLLER_CLASS; // 0x14FF
    InitCommonControlsEx(&init);
}

ATOM RegisterMainClass(HINSTANCE instance)
{
    WNDCLASSEXA windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS;
    windowClass.lpfnWndProc = MainWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = static_cast<HICON>(
        LoadImageA(instance, MAKEINTRESOURCEA(kIconResource), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED));
    windowClass.hIconSm = windowClass.hIcon;
    windowClass.hCursor = static_cast<HCURSOR>(
        LoadImageA(nullptr, MAKEINTRESOURCEA(32512), IMAGE_CURSOR, 0, 0, LR_DEFAULTSIZE | LR_SHARED));
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = kClassName;
    return RegisterClassExA(&windowClass);
}

HWND CreateMainWindow(CreateParams* params)
{
    if (g_main.services.registry == nullptr)
        g_main.services.registry = &g_win32Registry;
    if (g_main.services.shell == nullptr)
        g_main.services.shell = &g_win32Shell;
    HWND window = CreateWindowExA(0, kClassName, kClassName, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 900,
                                  530, nullptr, nullptr, params->instance, params);
    return window;
}

int RunProgram(HINSTANCE instance)
{
    CreateParams params = MakeCreateParams(instance);
    InitControls();
    RegisterMainClass(instance);
    HWND window = CreateMainWindow(&params);
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);

    MSG message = {};
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    UnregisterClassA(kClassName, instance);
    DeleteFonts(params);
    return static_cast<int>(message.wParam);
}
