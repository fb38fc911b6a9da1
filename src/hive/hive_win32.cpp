#include "hive/hive_win32.h"

#include <commdlg.h>
#include <share.h>
#include <shlwapi.h>

#include <cstdio>

#ifndef _WIN64
static_assert(sizeof(OPENFILENAMEA) == 88);
static_assert(sizeof(TOKEN_PRIVILEGES) == 16);
#endif

namespace {

// Centres the dialog's top-level window on the screen; the dialog's own
// handling of every message goes on.
UINT_PTR CALLBACK CentreDialogHook(HWND dialog, UINT message, WPARAM, LPARAM)
{
    if (message == WM_INITDIALOG) {
        HWND root = GetAncestor(dialog, GA_ROOT);
        RECT rect;
        if (root != nullptr && GetWindowRect(root, &rect)) {
            int width = rect.right - rect.left;
            int height = rect.bottom - rect.top;
            int left = GetSystemMetrics(SM_CXSCREEN) / 2 - width / 2;
            int top = GetSystemMetrics(SM_CYSCREEN) / 2 - height / 2;
            MoveWindow(root, left, top, width, height, FALSE);
        }
    }
    return 0;
}

} // namespace

bool Win32HivePlatform::ChooseFile(char* path)
{
    static const char filter[] = "all file(*.*)\0*.*\0";
    OPENFILENAMEA ofn = {};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = owner_;
    ofn.lpstrFilter = filter;
    ofn.nMaxCustFilter = 256;
    ofn.nFilterIndex = 0;
    path[0] = '\0';
    ofn.lpstrFile = path;
    ofn.nMaxFile = kCellChars;
    ofn.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_ENABLEHOOK | OFN_HIDEREADONLY;
    ofn.lpstrDefExt = ".*";
    ofn.lpfnHook = CentreDialogHook;
    if (!GetOpenFileNameA(&ofn))
        return false;
    path[kCellChars - 1] = '\0';
    return true;
}

bool Win32HivePlatform::FileAttributes(const char* path, bool* isDirectory, std::uint64_t* size)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data))
        return false;
    *isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    *size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

long long Win32HivePlatform::ReadFileStart(const char* path, std::uint8_t* buffer, std::size_t cap)
{
    // Denying write sharing refuses a file that another process holds open
    // for writing, such as the running system's own hives.
    FILE* file = _fsopen(path, "rb", _SH_DENYWR);
    if (file == nullptr)
        return -1;
    std::size_t got = std::fread(buffer, 1, cap, file);
    std::fclose(file);
    return static_cast<long long>(got);
}

void Win32HivePlatform::RootOfPath(const char* path, char* root)
{
    char work[MAX_PATH];
    CopyText(work, sizeof work, path);
    PathStripToRootA(work);
    PathRemoveBackslashA(work);
    CopyText(root, kCellChars, work);
}

bool Win32HivePlatform::ConfirmHibernatedClone()
{
    return MessageBoxA(owner_, kTextHibernated, kTextHibernatedCaption,
                       MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) == IDYES;
}

bool EnablePrivilege(const char* name)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return false;
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    bool ok = false;
    if (LookupPrivilegeValueA(nullptr, name, &privileges.Privileges[0].Luid)) {
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        ok = AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, nullptr, nullptr) != FALSE;
    }
    CloseHandle(token);
    return ok;
}

void EnableHivePrivileges()
{
    EnablePrivilege("SeRestorePrivilege");
    EnablePrivilege("SeBackupPrivilege");
}
