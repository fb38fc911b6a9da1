#include "ui/commands.h"

#include "mounttable/read_write.h"
#include "ui/command_ids.h"
#include "ui/list_control.h"
#include "ui/list_logic.h"
#include "ui/main_window.h"

#ifndef _WIN64
static_assert(sizeof(MSGBOXPARAMSA) == 40);
#endif

void ShowAboutBox(HWND window)
{
    MSGBOXPARAMSA params = {};
    params.cbSize = sizeof params;
    params.hwndOwner = window;
    params.hInstance = g_main.params.instance;
    params.lpszText = kAboutText;
    params.lpszCaption = kAboutCaption;
    params.dwStyle = MB_USERICON;
    params.lpszIcon = MAKEINTRESOURCEA(kIconResource);
    params.dwContextHelpId = 0;
    params.lpfnMsgBoxCallback = nullptr;
    params.dwLanguageId = LANG_JAPANESE;
    MessageBoxIndirectA(&params);
}

LRESULT OnCommand(HWND window, WPARAM wParam)
{
    unsigned command = LOWORD(wParam);
    ListMountTable table(g_main.list);
    RegistryAccess& registry = *g_main.services.registry;
    switch (command) {
    case kCmdExit:
        SendMessageA(window, WM_CLOSE, 0, 0);
        break;
    case kCmdAbout:
        ShowAboutBox(window);
        break;
    case kCmdRead:
        ReadMountTable(registry, *g_main.services.shell, table, WindowStatusLine());
        break;
    case kCmdWrite:
        WriteLetterChanges(registry, table, WindowStatusLine(),
                           [window] { SendMessageA(window, WM_COMMAND, kCmdRead, 0); });
        break;
    case kCmdHiveLoad:
        HiveLoad(g_main.hive, WindowHivePlatform(), registry, WindowStatusLine());
        break;
    case kCmdHiveUnload:
        HiveUnload(g_main.hive, registry, table, WindowStatusLine());
        break;
    default:
        if (command == kCmdClearChange || (command >= kCmdLetterA && command <= kCmdLetterZ))
            ApplyLetterCommand(table, command);
        break;
    }
    return 0;
}
