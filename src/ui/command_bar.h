// The row of command buttons under the list.
#pragma once

#include <windows.h>

void CreateCommandBar(HWND window, int top, int bottom);
void RelayoutCommandBar(HWND window, int top, int bottom);
