// In-memory stand-ins for the table, the registry, the shell and the status
// line, behaving as the platform does where the program depends on it.
#pragma once

#include "hive/hive.h"
#include "mounttable/mount_table.h"
#include "mounttable/registry.h"
#include "mounttable/value_list.h"

#include <array>
#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <vector>

struct MemoryRow {
    std::array<std::string, kColumnCount> cells;
    int check = 0;
};

// Stores cells whole and hands them back cut to the column's capacity, as
// the list control does.
class MemoryMountTable final : public MountTable {
public:
    int RowCount() override { return static_cast<int>(rows.size()); }
    void CellText(int row, int column, char* buf) override;
    void SetCellText(int row, int column, const char* text) override;
    void AppendRow(const char* text) override;
    void SetCheckState(int row, int state) override;
    void DeleteAllRows() override { rows.clear(); }
    int SelectedRow() override { return selected; }

    std::string Cell(int row, int column);
    std::vector<MemoryRow> rows;
    int selected = -1;
};

class RecordingStatus final : public StatusLine {
public:
    void Set(const char* text) override
    {
        text_ = text;
        history.push_back(text_);
    }
    const std::string& text() const { return text_; }
    std::vector<std::string> history;

private:
    std::string text_ = "(untouched)";
};

// Keys by path under HKEY_LOCAL_MACHINE; names compare without regard to
// case. Enumeration reports values that do not fit the caller's buffers with
// ERROR_MORE_DATA, as RegEnumValueA does. A key must stay while open.
class MemoryRegistry : public RegistryAccess {
public:
    long OpenKey(const char* subKey, RegKey* key) override;
    long EnumValue(RegKey key, std::uint32_t index, char* name, std::uint32_t* nameLength, std::uint32_t* type,
                   std::uint8_t* data, std::uint32_t* dataLength) override;
    long QueryValue(RegKey key, const char* name, std::uint32_t* type, std::vector<std::uint8_t>* data) override;
    void CloseKey(RegKey key) override;
    long SetValue(RegKey key, const char* name, std::uint32_t type, const std::uint8_t* data,
                  std::uint32_t length) override;
    long ValueExists(const char* subKey, const char* name) override;
    long DeleteValue(const char* subKey, const char* name) override;
    // Mounts the hive staged under the file's name; the result can be forced.
    long LoadKey(const char* subKey, const char* hiveFile) override;
    long UnLoadKey(const char* subKey) override;

    void AddKey(const std::string& path) { Find(path, true); }
    void RemoveKey(const std::string& path);
    void Put(const std::string& path, const std::string& name, std::vector<std::uint8_t> data,
             std::uint32_t type = kRegBinary);
    ValueList& Values(const std::string& path) { return *Find(path, true); }
    bool HasKey(const std::string& path) { return Find(path, false) != nullptr; }

    std::map<std::string, ValueList> stagedHives; // file path -> Clone\MountedDevices
    long loadResult = kRegSuccess;
    long unloadResult = kRegSuccess;
    int loadCalls = 0;
    int unloadCalls = 0;
    int openKeys = 0; // keys opened and not yet closed

protected:
    ValueList* Find(const std::string& path, bool create);
    ValueList* KeyValues(RegKey key);

private:
    std::map<std::string, ValueList> keys_; // lower-cased path -> values
    std::deque<ValueList*> handles_;        // one per OpenKey; RegKey points here
};

// Passes every call through, but fails the call numbered failAt (counting from
// 1 over the calls that touch the registry, CloseKey excepted, or only over
// the calls of the operation failName when it is set).
class FaultyRegistry final : public RegistryAccess {
public:
    explicit FaultyRegistry(RegistryAccess& inner) : inner_(inner) {}
    long OpenKey(const char* subKey, RegKey* key) override;
    long EnumValue(RegKey key, std::uint32_t index, char* name, std::uint32_t* nameLength, std::uint32_t* type,
                   std::uint8_t* data, std::uint32_t* dataLength) override;
    long QueryValue(RegKey key, const char* name, std::uint32_t* type, std::vector<std::uint8_t>* data) override;
    void CloseKey(RegKey key) override { inner_.CloseKey(key); }
    long SetValue(RegKey key, const char* name, std::uint32_t type, const std::uint8_t* data,
                  std::uint32_t length) override;
    long ValueExists(const char* subKey, const char* name) override;
    long DeleteValue(const char* subKey, const char* name) override;
    long LoadKey(const char* subKey, const char* hiveFile) override;
    long UnLoadKey(const char* subKey) override;

    int failAt = 0;
    std::string failName;
    int calls = 0;
    std::string failedCall;

private:
    bool Fail(const char* what);
    RegistryAccess& inner_;
};

class FakeDriveShell final : public DriveShell {
public:
    long long DriveType(const char* root) override;
    bool DisplayName(const char* root, char* name) override;
    std::map<std::string, long long> types;
    std::map<std::string, std::string> names;
    std::vector<std::string> asked;
};

// The dialog's answer and a file system of named files.
class FakeHivePlatform final : public HivePlatform {
public:
    struct File {
        std::vector<std::uint8_t> bytes;
        bool directory = false;
        bool lockedForWriting = false; // another process writes it
        bool unreadable = false;       // no right to read it
        std::uint64_t reportedSize = UINT64_MAX; // size taken before the file shrank
    };
    bool ChooseFile(char* path) override;
    bool FileAttributes(const char* path, bool* isDirectory, std::uint64_t* size) override;
    long long ReadFileStart(const char* path, std::uint8_t* buffer, std::size_t cap) override;
    void RootOfPath(const char* path, char* root) override;
    bool ConfirmHibernatedClone() override
    {
        ++hibernationQuestions;
        return answerYes;
    }

    std::string chosen;
    int hibernationQuestions = 0;
    bool answerYes = false;
    bool cancel = false;
    int dialogs = 0;
    std::map<std::string, File> files;
};

std::vector<std::uint8_t> Bytes(std::initializer_list<int> values);
std::vector<std::uint8_t> Utf16(const std::string& ascii);
std::vector<std::uint8_t> Utf16Le(std::u16string_view text);
