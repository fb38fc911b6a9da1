#include "ui/command_bar.h"

#include "mounttable/text.h"
#include "ui/main_window.h"

#include <commctrl.h>

#ifndef _WIN64
static_assert(sizeof(TOOLINFOA) == 48);
#endif

namespace {

void LayoutFor(HWND window, int top, int bottom, BarRect (&rects)[kBarEntryCount])
{
    RECT client = {};
    GetClientRect(window, &client);
    LayoutBar(kControlBar, client.left, client.right - client.left, top, bottom, rects);
}

bool IsClass(const ControlBarEntry& entry, std::string_view name)
{
    return std::string_view(entry.className, TextLength(entry.className, sizeof entry.className)) == name;
}

void AddTooltip(HWND window, HWND control, const ControlBarEntry& entry)
{
    TOOLINFOA info = {};
    info.cbSize = sizeof info;
    info.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    info.hwnd = window;
    info.uId = reinterpret_cast<UINT_PTR>(control);
    GetClientRect(window, &info.rect);
    info.hinst = nullptr;
    info.lpszText = const_cast<char*>(entry.tooltip[0] != '\0' ? entry.tooltip : entry.caption);
    // Deleting first keeps a tool from ever being registered twice.
    SendMessageA(g_main.tooltip, TTM_DELTOOLA, 0, reinterpret_cast<LPARAM>(&info));
    SendMessageA(g_main.tooltip, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&info));
}

} // namespace

void CreateCommandBar(HWND window, int top, int bottom)
{
    BarRect rects[kBarEntryCount];
    LayoutFor(window, top, bottom, rects);
    for (int i = 0; i < kBarEntryCount; ++i) {
        const ControlBarEntry& entry = kControlBar[i];
        const BarRect& r = rects[i];
        HWND control = CreateWindowExA(WS_EX_CLIENTEDGE, entry.className, entry.caption,
                                       entry.style | WS_CHILD | WS_VISIBLE, r.left, r.top, r.right - r.left,
                                       r.bottom - r.top, window, reinterpret_cast<HMENU>(UINT_PTR{entry.commandId}),
                                       g_main.params.instance, nullptr);
        g_main.bar[i] = control;
        SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(g_main.params.controlFont), TRUE);
        if (IsClass(entry, "Button")) {
            SendMessageA(control, BM_SETCHECK, static_cast<WPARAM>(entry.checkState), 0);
            if (g_main.tooltip != nullptr)
                AddTooltip(window, control, entry);
        }
    }
}

void RelayoutCommandBar(HWND window, int top, int bottom)
{
    BarRect rects[kBarEntryCount];
    LayoutFor(window, top, bottom, rects);
    for (int i = 0; i < kBarEntryCount; ++i) {
        const BarRect& r = rects[i];
        MoveWindow(g_main.bar[i], r.left, r.top, r.right - r.left, r.bottom - r.top, TRUE);
    }
}
