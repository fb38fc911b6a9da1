// Dispatch of WM_COMMAND and the commands that belong to no other module.
#pragma once

#include <windows.h>

inline constexpr const char* kAboutCaption = "バージョン情報";
inline constexpr const char* kAboutText =
    "Voskarelle\nVer 2,2,2014,0702\nRelease Build\nJul  2 2014\nクローンのドライブ文字を書き換えるツール";

// Runs the command in the low 16 bits of wParam; always returns 0.
LRESULT OnCommand(HWND window, WPARAM wParam);
void ShowAboutBox(HWND window);
