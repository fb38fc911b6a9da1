#include "harness.h"

#include "mounttable/text.h"
#include "support/regf_writer.h"
#include "ui/command_ids.h"

#include <commctrl.h>

#include <cstdio>
#include <cstring>

void Pump(int milliseconds)
{
    // <chrono> cannot be compiled for code page 932 (it spells "µs").
    ULONGLONG until = GetTickCount64() + static_cast<ULONGLONG>(milliseconds);
    do {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT)
                continue;
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        Sleep(5);
    } while (GetTickCount64() < until);
}

HWND WaitForWindow(const std::function<HWND()>& find, int milliseconds)
{
    ULONGLONG until = GetTickCount64() + static_cast<ULONGLONG>(milliseconds);
    do {
        if (HWND found = find())
            return found;
        Sleep(20);
    } while (GetTickCount64() < until);
    return nullptr;
}

namespace {

struct FindRequest {
    const char* className;
    const char* caption;
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM lParam)
{
    FindRequest& request = *reinterpret_cast<FindRequest*>(lParam);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process != GetCurrentProcessId() || !IsWindowVisible(window))
        return TRUE;
    char className[64] = {};
    GetClassNameA(window, className, sizeof className);
    if (std::string_view(className) != request.className)
        return TRUE;
    if (request.caption != nullptr) {
        char caption[128] = {};
        GetWindowTextA(window, caption, sizeof caption);
        if (std::string_view(caption) != request.caption)
            return TRUE;
    }
    request.found = window;
    return FALSE;
}

HKEY CreateKey(const char* path)
{
    HKEY key = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    return key;
}

} // namespace

HWND FindProcessWindow(const char* className, const char* caption)
{
    FindRequest request{className, caption, nullptr};
    EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&request));
    return request.found;
}

BoxAnswerer::BoxAnswerer(const char* caption, int button)
    : thread_([this, caption, button] {
          while (!done_) {
              HWND box = FindProcessWindow("#32770", caption);
              if (box == nullptr) {
                  Sleep(20);
                  continue;
              }
              owner = GetWindow(box, GW_OWNER);
              for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
                  if ((GetWindowLongA(child, GWL_STYLE) & 0xF) == BS_DEFPUSHBUTTON)
                      defaultButton = GetDlgCtrlID(child);
                  char shown[1024] = {};
                  GetWindowTextA(child, shown, sizeof shown);
                  if (std::strlen(shown) > text.size())
                      text = shown; // the message is the longest text of the box
              }
              ++seen_;
              PostMessageA(box, WM_COMMAND, button, 0);
              while (IsWindow(box) && !done_)
                  Sleep(10);
          }
      })
{
}

void BoxAnswerer::Stop()
{
    done_ = true;
    if (thread_.joinable())
        thread_.join();
}

long SimulatedMountRegistry::LoadKey(const char* subKey, const char*)
{
    ++loads;
    HKEY probe = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, KEY_READ, &probe) == ERROR_SUCCESS) {
        RegCloseKey(probe);
        return ERROR_ALREADY_EXISTS;
    }
    SetValues((std::string(subKey) + "\\MountedDevices").c_str(), staged);
    return ERROR_SUCCESS;
}

long SimulatedMountRegistry::UnLoadKey(const char* subKey)
{
    ++unloads;
    if (failUnload)
        return ERROR_ACCESS_DENIED;
    // Deleting the tree removes the key itself as well.
    return RegDeleteTreeA(HKEY_LOCAL_MACHINE, subKey) == ERROR_SUCCESS ? ERROR_SUCCESS : ERROR_BADDB;
}

bool ScriptedHivePlatform::ChooseFile(char* path)
{
    if (chosen.empty())
        return false;
    return CopyText(path, kCellChars, chosen);
}

void DeleteTree(const char* path)
{
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, path);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, path);
}

void SetValues(const char* path, const ValueList& values)
{
    HKEY key = CreateKey(path);
    for (const RegValue& value : values)
        RegSetValueExA(key, value.name.c_str(), 0, value.type, value.data.data(),
                       static_cast<DWORD>(value.data.size()));
    RegCloseKey(key);
}

ValueList ReadValues(const char* path)
{
    ValueList values;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return values;
    for (DWORD index = 0;; ++index) {
        char name[kRegNameChars];
        std::uint8_t data[4096];
        DWORD nameLength = sizeof name;
        DWORD dataLength = sizeof data;
        DWORD type = 0;
        if (RegEnumValueA(key, index, name, &nameLength, nullptr, &type, data, &dataLength) != ERROR_SUCCESS)
            break;
        values.push_back({name, type, std::vector<std::uint8_t>(data, data + dataLength)});
    }
    RegCloseKey(key);
    return values;
}

RegistrySandbox::RegistrySandbox() : savedRunning_(ReadValues(kRunningTableKey))
{
    DeleteTree(kCloneMountKey);
    DeleteTree(kRunningTableKey);
}

RegistrySandbox::~RegistrySandbox()
{
    DeleteTree(kCloneMountKey);
    DeleteTree(kRunningTableKey);
    SetValues(kRunningTableKey, savedRunning_);
}

HostedWindow::HostedWindow(const AppServices& services)
{
    g_main.hive = {};
    UseServices(services);
    params_ = MakeCreateParams(GetModuleHandleA(nullptr));
    InitControls();
    RegisterMainClass(params_.instance);
    window_ = CreateMainWindow(&params_);
    ShowWindow(window_, SW_SHOWNORMAL);
    UpdateWindow(window_);
    Pump(100);
}

HostedWindow::~HostedWindow()
{
    if (IsWindow(window_))
        DestroyWindow(window_);
    Pump(20);
    UnregisterClassA(kClassName, params_.instance);
    DeleteFonts(params_);
    g_main = {};
}

std::string HostedWindow::StatusText() const
{
    char text[512] = {};
    GetWindowTextA(g_main.status, text, sizeof text);
    return text;
}

void HostedWindow::SetClientSize(int width, int height)
{
    RECT rect = {0, 0, width, height};
    AdjustWindowRectEx(&rect, static_cast<DWORD>(GetWindowLongA(window_, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongA(window_, GWL_EXSTYLE)));
    SetWindowPos(window_, nullptr, 0, 0, rect.right - rect.left, rect.bottom - rect.top,
                 SWP_NOMOVE | SWP_NOZORDER);
    Pump(50);
}

MountedWindow::MountedWindow(const char* hiveName)
{
    platform.chosen = TempPath(hiveName);
}

MountedWindow::~MountedWindow()
{
    DeleteFileA(platform.chosen.c_str());
}

bool MountedWindow::LoadHive()
{
    if (!WriteMinimalHive(platform.chosen.c_str()))
        return false;
    host.Command(kCmdHiveLoad);
    return true;
}

std::string TempPath(const char* name)
{
    char dir[MAX_PATH] = {};
    GetTempPathA(sizeof dir, dir);
    std::string path = dir;
    return path + name;
}

bool WriteFileBytes(const std::string& path, const std::vector<std::uint8_t>& bytes)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && ok;
}

bool SaveWindowBitmap(HWND window, const std::string& path)
{
    RECT rect;
    GetWindowRect(window, &rect);
    int width = rect.right - rect.left;
    int height = rect.bottom - rect.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    SelectObject(memory, old);

    BITMAPINFOHEADER info = {};
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    int stride = (width * 3 + 3) & ~3;
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(stride) * height);
    GetDIBits(memory, bitmap, 0, height, pixels.data(), reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);

    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = static_cast<DWORD>(file.bfOffBits + pixels.size());
    std::vector<std::uint8_t> bytes(reinterpret_cast<std::uint8_t*>(&file),
                                    reinterpret_cast<std::uint8_t*>(&file) + sizeof file);
    bytes.insert(bytes.end(), reinterpret_cast<std::uint8_t*>(&info),
                 reinterpret_cast<std::uint8_t*>(&info) + sizeof info);
    bytes.insert(bytes.end(), pixels.begin(), pixels.end());
    return WriteFileBytes(path, bytes);
}
