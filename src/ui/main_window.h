// The main window: frame, bands, close and the routing of messages.
#pragma once

#include "hive/hive.h"
#include "mounttable/mount_table.h"
#include "mounttable/registry.h"
#include "ui/bar_layout.h"

#include <windows.h>

inline constexpr const char* kClassName = "Voskarelle";
inline constexpr int kIconResource = 1084;
inline constexpr int kMinTrackExtraHeight = 104;

struct CreateParams {
    HINSTANCE instance;
    HFONT listFont;
    HFONT controlFont;
};

// The platform services behind the window's commands. The program uses the
// Win32 ones; a hosting test may put others in place before creating the window.
struct AppServices {
    RegistryAccess* registry;
    DriveShell* shell;
    HivePlatform* hivePlatform; // null: the open-file dialog owned by the window
};

// Window-wide values, kept for the window's life.
struct MainWindowState {
    CreateParams params;
    HWND window;
    HWND status;
    HWND tooltip;
    HWND list;
    HWND bar[kBarEntryCount];
    int statusHeight;
    int listHeight;
    int minTrackWidth;
    int minTrackHeight;
    HiveState hive;
    AppServices services;
};

extern MainWindowState g_main;

// Entry-point steps, shared with the tests that host the real window.
CreateParams MakeCreateParams(HINSTANCE instance);
void DeleteFonts(const CreateParams& params);
void InitControls();
ATOM RegisterMainClass(HINSTANCE instance);
HWND CreateMainWindow(CreateParams* params);
void UseServices(const AppServices& services);
int RunProgram(HINSTANCE instance);

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

void SetStatusLine(const char* text);
// The StatusLine that commands report through.
StatusLine& WindowStatusLine();
HivePlatform& WindowHivePlatform();
