// Hosting the real main window inside a test program, and the Wine registry.
#pragma once

#include "hive/hive_win32.h"
#include "mounttable/registry_win32.h"
#include "support/doubles.h"
#include "ui/main_window.h"

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

// Runs messages of this thread for the given time.
void Pump(int milliseconds = 50);

// Polls (from any thread) until find() returns a window or the time is up.
HWND WaitForWindow(const std::function<HWND()>& find, int milliseconds = 10000);

// A visible top-level window of this process with the given class and,
// when caption is not null, that caption.
HWND FindProcessWindow(const char* className, const char* caption = nullptr);

// Watches from a second thread for a message box with the given caption
// while the test's thread is busy; each one found is recorded, its texts
// kept, and answered with the button given.
class BoxAnswerer {
public:
    BoxAnswerer(const char* caption, int button);
    ~BoxAnswerer() { Stop(); }
    // Ends the watch; what was recorded may be read after it.
    void Stop();
    int seen() const { return seen_; }
    std::string text; // the box's message, as shown
    HWND owner = nullptr;
    int defaultButton = 0; // the button drawn as the default

private:
    std::atomic<bool> done_{false};
    std::atomic<int> seen_{0};
    std::thread thread_;
};

// The registry of the Wine prefix, with the mount simulated: Wine cannot load
// real hive files, so "loading" a file copies the values staged for it into
// HKLM\Clone\MountedDevices and "unloading" removes HKLM\Clone.
class SimulatedMountRegistry final : public RegistryAccess {
public:
    long OpenKey(const char* subKey, RegKey* key) override { return real.OpenKey(subKey, key); }
    long EnumValue(RegKey key, std::uint32_t index, char* name, std::uint32_t* nameLength, std::uint32_t* type,
                   std::uint8_t* data, std::uint32_t* dataLength) override
    {
        return real.EnumValue(key, index, name, nameLength, type, data, dataLength);
    }
    long QueryValue(RegKey key, const char* name, std::uint32_t* type, std::vector<std::uint8_t>* data) override
    {
        return real.QueryValue(key, name, type, data);
    }
    void CloseKey(RegKey key) override { real.CloseKey(key); }
    long SetValue(RegKey key, const char* name, std::uint32_t type, const std::uint8_t* data,
                  std::uint32_t length) override
    {
        return real.SetValue(key, name, type, data, length);
    }
    long ValueExists(const char* subKey, const char* name) override { return real.ValueExists(subKey, name); }
    long DeleteValue(const char* subKey, const char* name) override { return real.DeleteValue(subKey, name); }
    long LoadKey(const char* subKey, const char* hiveFile) override;
    long UnLoadKey(const char* subKey) override;

    Win32Registry real;
    ValueList staged;
    int loads = 0;
    int unloads = 0;
    bool failUnload = false; // as when a process still holds a key of the hive
};

// The real file checks and path calls, with the dialog's answer scripted.
class ScriptedHivePlatform final : public HivePlatform {
public:
    bool ChooseFile(char* path) override;
    bool FileAttributes(const char* path, bool* isDirectory, std::uint64_t* size) override
    {
        return real.FileAttributes(path, isDirectory, size);
    }
    long long ReadFileStart(const char* path, std::uint8_t* buffer, std::size_t cap) override
    {
        return real.ReadFileStart(path, buffer, cap);
    }
    void RootOfPath(const char* path, char* root) override { real.RootOfPath(path, root); }
    // The real warning box, owned by the main window as the program's is.
    bool ConfirmHibernatedClone() override { return Win32HivePlatform(g_main.window).ConfirmHibernatedClone(); }

    Win32HivePlatform real{nullptr};
    std::string chosen;
};

// Registry helpers for seeding and checking HKLM.
void DeleteTree(const char* path);
void SetValues(const char* path, const ValueList& values);
ValueList ReadValues(const char* path);

// Keeps HKLM\SYSTEM\MountedDevices and removes HKLM\Clone around a test.
class RegistrySandbox {
public:
    RegistrySandbox();
    ~RegistrySandbox();

private:
    ValueList savedRunning_;
};

// The program's main window, created through the entry point's own steps.
class HostedWindow {
public:
    explicit HostedWindow(const AppServices& services);
    ~HostedWindow();
    HWND window() const { return window_; }
    HWND list() const { return g_main.list; }
    std::string StatusText() const;
    void SetClientSize(int width, int height);
    void Command(unsigned id) { SendMessageA(window_, WM_COMMAND, id, 0); }

private:
    CreateParams params_;
    HWND window_;
};

// The window over Wine's registry with the mount simulated, and a hive file
// in the temporary folder that the scripted dialog answers with.
class MountedWindow {
public:
    explicit MountedWindow(const char* hiveName);
    ~MountedWindow();
    // Makes the hive file and sends the Hive load command; false when the
    // file could not be made.
    bool LoadHive();

    RegistrySandbox sandbox;
    SimulatedMountRegistry registry;
    ScriptedHivePlatform platform;
    HostedWindow host{{&registry, nullptr, &platform}};
};

std::string TempPath(const char* name);
bool WriteFileBytes(const std::string& path, const std::vector<std::uint8_t>& bytes);
// Saves the window as a 24-bit BMP (for the screenshots in docs/).
bool SaveWindowBitmap(HWND window, const std::string& path);
