// Helper for the run script: waits for the program's window, or closes it the
// way the close box does. Usage: window_driver wait SECONDS | close SECONDS
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

static HWND FindMain()
{
    HWND window = FindWindowA("Voskarelle", nullptr);
    return window != nullptr && IsWindowVisible(window) ? window : nullptr;
}

int main(int argc, char** argv)
{
    if (argc < 3)
        return 2;
    int seconds = std::atoi(argv[2]);
    bool closing = std::strcmp(argv[1], "close") == 0;
    if (closing) {
        HWND window = FindMain();
        if (window == nullptr)
            return 1;
        PostMessageA(window, WM_CLOSE, 0, 0);
    }
    for (int waited = 0; waited < seconds * 10; ++waited) {
        HWND window = FindMain();
        if (closing && window == nullptr)
            return 0;
        if (!closing && window != nullptr) {
            Sleep(1000); // let it paint
            RECT rect;
            GetWindowRect(window, &rect);
            std::printf("%ld %ld %ld %ld\n", rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top);
            return 0;
        }
        Sleep(100);
    }
    return 1;
}
