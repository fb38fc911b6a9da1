#include "support/doubles.h"

#include "mounttable/text.h"

#include <algorithm>
#include <cstring>

namespace {

std::string Lower(std::string s)
{
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

} // namespace

void MemoryMountTable::CellText(int row, int column, char* buf)
{
    CopyText(buf, g_columns[column].capacity, rows.at(row).cells.at(column));
}

void MemoryMountTable::SetCellText(int row, int column, const char* text)
{
    rows.at(row).cells.at(column) = text;
}

void MemoryMountTable::AppendRow(const char* text)
{
    rows.emplace_back();
    rows.back().cells[0] = text;
}

void MemoryMountTable::SetCheckState(int row, int state)
{
    rows.at(row).check = state;
}

std::string MemoryMountTable::Cell(int row, int column)
{
    std::string cell(g_columns[column].capacity, '\0');
    CellText(row, column, cell.data());
    cell.resize(TextLength(cell.data(), cell.size()));
    return cell;
}

ValueList* MemoryRegistry::Find(const std::string& path, bool create)
{
    std::string key = Lower(path);
    auto it = keys_.find(key);
    if (it != keys_.end())
        return &it->second;
    if (!create)
        return nullptr;
    // Parents exist whenever a child does.
    for (std::size_t at = key.find('\\'); at != std::string::npos; at = key.find('\\', at + 1))
        keys_.try_emplace(key.substr(0, at));
    return &keys_[key];
}

void MemoryRegistry::RemoveKey(const std::string& path)
{
    std::string key = Lower(path);
    for (auto it = keys_.begin(); it != keys_.end();) {
        if (it->first == key || it->first.rfind(key + "\\", 0) == 0)
            it = keys_.erase(it);
        else
            ++it;
    }
}

void MemoryRegistry::Put(const std::string& path, const std::string& name, std::vector<std::uint8_t> data,
                         std::uint32_t type)
{
    ValueList& values = Values(path);
    if (RegValue* existing = FindValue(values, name.c_str()))
        *existing = {name, type, std::move(data)};
    else
        values.push_back({name, type, std::move(data)});
}

ValueList* MemoryRegistry::KeyValues(RegKey key)
{
    return *static_cast<ValueList**>(key);
}

long MemoryRegistry::OpenKey(const char* subKey, RegKey* key)
{
    *key = nullptr;
    ValueList* values = Find(subKey, false);
    if (values == nullptr)
        return kRegFileNotFound;
    handles_.push_back(values);
    *key = &handles_.back();
    ++openKeys;
    return kRegSuccess;
}

long MemoryRegistry::EnumValue(RegKey key, std::uint32_t index, char* name, std::uint32_t* nameLength,
                               std::uint32_t* type, std::uint8_t* data, std::uint32_t* dataLength)
{
    ValueList* values = KeyValues(key);
    if (values == nullptr)
        return 1018; // ERROR_KEY_DELETED
    return EnumerateValue(*values, index, name, nameLength, type, data, dataLength);
}

long MemoryRegistry::QueryValue(RegKey key, const char* name, std::uint32_t* type, std::vector<std::uint8_t>* data)
{
    ValueList* values = KeyValues(key);
    RegValue* value = values ? FindValue(*values, name) : nullptr;
    if (value == nullptr)
        return kRegFileNotFound;
    *type = value->type;
    *data = value->data;
    return kRegSuccess;
}

void MemoryRegistry::CloseKey(RegKey)
{
    --openKeys;
}

long MemoryRegistry::SetValue(RegKey key, const char* name, std::uint32_t type, const std::uint8_t* data,
                              std::uint32_t length)
{
    ValueList* values = KeyValues(key);
    if (values == nullptr)
        return 1018;
    StoreValue(*values, name, type, data, length);
    return kRegSuccess;
}

long MemoryRegistry::ValueExists(const char* subKey, const char* name)
{
    ValueList* values = Find(subKey, false);
    return values && FindValue(*values, name) ? kRegSuccess : kRegFileNotFound;
}

long MemoryRegistry::DeleteValue(const char* subKey, const char* name)
{
    ValueList* values = Find(subKey, false);
    return values && EraseValue(*values, name) ? kRegSuccess : kRegFileNotFound;
}

long MemoryRegistry::LoadKey(const char* subKey, const char* hiveFile)
{
    ++loadCalls;
    if (loadResult != kRegSuccess)
        return loadResult;
    Values(std::string(subKey) + "\\MountedDevices") = stagedHives[hiveFile];
    return kRegSuccess;
}

long MemoryRegistry::UnLoadKey(const char* subKey)
{
    ++unloadCalls;
    if (unloadResult != kRegSuccess)
        return unloadResult;
    RemoveKey(subKey);
    return kRegSuccess;
}

bool FaultyRegistry::Fail(const char* what)
{
    if (!failName.empty() && failName != what)
        return false;
    if (++calls != failAt)
        return false;
    failedCall = what;
    return true;
}

constexpr long kInjectedFailure = 5; // ERROR_ACCESS_DENIED

long FaultyRegistry::OpenKey(const char* subKey, RegKey* key)
{
    if (Fail("OpenKey")) {
        *key = nullptr;
        return kInjectedFailure;
    }
    return inner_.OpenKey(subKey, key);
}

long FaultyRegistry::EnumValue(RegKey key, std::uint32_t index, char* name, std::uint32_t* nameLength,
                               std::uint32_t* type, std::uint8_t* data, std::uint32_t* dataLength)
{
    return Fail("EnumValue") ? kInjectedFailure
                             : inner_.EnumValue(key, index, name, nameLength, type, data, dataLength);
}

long FaultyRegistry::QueryValue(RegKey key, const char* name, std::uint32_t* type, std::vector<std::uint8_t>* data)
{
    return Fail("QueryValue") ? kInjectedFailure : inner_.QueryValue(key, name, type, data);
}

long FaultyRegistry::SetValue(RegKey key, const char* name, std::uint32_t type, const std::uint8_t* data,
                              std::uint32_t length)
{
    return Fail("SetValue") ? kInjectedFailure : inner_.SetValue(key, name, type, data, length);
}

long FaultyRegistry::ValueExists(const char* subKey, const char* name)
{
    return Fail("ValueExists") ? kInjectedFailure : inner_.ValueExists(subKey, name);
}

long FaultyRegistry::DeleteValue(const char* subKey, const char* name)
{
    return Fail("DeleteValue") ? kInjectedFailure : inner_.DeleteValue(subKey, name);
}

long FaultyRegistry::LoadKey(const char* subKey, const char* hiveFile)
{
    return Fail("LoadKey") ? kInjectedFailure : inner_.LoadKey(subKey, hiveFile);
}

long FaultyRegistry::UnLoadKey(const char* subKey)
{
    return Fail("UnLoadKey") ? kInjectedFailure : inner_.UnLoadKey(subKey);
}

long long FakeDriveShell::DriveType(const char* root)
{
    asked.push_back(root);
    auto it = types.find(root);
    return it == types.end() ? 1 : it->second;
}

bool FakeDriveShell::DisplayName(const char* root, char* name)
{
    auto it = names.find(root);
    if (it == names.end()) {
        // A failing shell call may leave anything in the buffer.
        CopyText(name, kCellChars, "(left over)");
        return false;
    }
    CopyText(name, kCellChars, it->second);
    return true;
}

bool FakeHivePlatform::ChooseFile(char* path)
{
    ++dialogs;
    if (cancel)
        return false;
    CopyText(path, kCellChars, chosen);
    return true;
}

bool FakeHivePlatform::FileAttributes(const char* path, bool* isDirectory, std::uint64_t* size)
{
    auto it = files.find(path);
    if (it == files.end())
        return false;
    *isDirectory = it->second.directory;
    *size = it->second.reportedSize != UINT64_MAX ? it->second.reportedSize : it->second.bytes.size();
    return true;
}

long long FakeHivePlatform::ReadFileStart(const char* path, std::uint8_t* buffer, std::size_t cap)
{
    auto it = files.find(path);
    if (it == files.end() || it->second.lockedForWriting || it->second.unreadable || it->second.directory)
        return -1;
    std::size_t n = std::min(cap, it->second.bytes.size());
    std::memcpy(buffer, it->second.bytes.data(), n);
    return static_cast<long long>(n);
}

void FakeHivePlatform::RootOfPath(const char* path, char* root)
{
    std::string p = path;
    std::string result;
    if (p.size() >= 2 && p[1] == ':') {
        result = p.substr(0, 2) + "\\";
    } else if (p.rfind("\\\\", 0) == 0) {
        std::size_t server = p.find('\\', 2);
        std::size_t share = server == std::string::npos ? server : p.find('\\', server + 1);
        result = p.substr(0, share);
    }
    CopyText(root, kCellChars, result);
}

std::vector<std::uint8_t> Bytes(std::initializer_list<int> values)
{
    std::vector<std::uint8_t> out;
    for (int v : values)
        out.push_back(static_cast<std::uint8_t>(v));
    return out;
}

std::vector<std::uint8_t> Utf16(const std::string& ascii)
{
    std::vector<std::uint8_t> out;
    for (char c : ascii) {
        out.push_back(static_cast<std::uint8_t>(c));
        out.push_back(0);
    }
    return out;
}

std::vector<std::uint8_t> Utf16Le(std::u16string_view text)
{
    std::vector<std::uint8_t> bytes;
    for (char16_t c : text) {
        bytes.push_back(static_cast<std::uint8_t>(c));
        bytes.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return bytes;
}
