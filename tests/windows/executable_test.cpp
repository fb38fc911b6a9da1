// The built program file: subsystem, imports, manifest, icon and version.
#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cstddef>
#include <set>

namespace {

std::string ProgramPath()
{
    // The build tree is reached through Wine's drive for the host's root.
    return std::string("Z:") + VOSK_EXE_PATH;
}

std::vector<std::uint8_t> ReadAll(const std::string& path)
{
    std::vector<std::uint8_t> bytes;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return bytes;
    std::uint8_t chunk[65536];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + got);
    std::fclose(file);
    return bytes;
}

template <typename T>
T At(const std::vector<std::uint8_t>& bytes, std::size_t offset)
{
    T value{};
    if (offset + sizeof value <= bytes.size())
        std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

class ProgramFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        bytes = ReadAll(ProgramPath());
        ASSERT_GT(bytes.size(), 4096u) << ProgramPath();
        std::size_t pe = At<std::uint32_t>(bytes, 0x3C);
        ASSERT_EQ(At<std::uint32_t>(bytes, pe), 0x4550u);
        headers = At<IMAGE_NT_HEADERS64>(bytes, pe);
        sections = pe + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) + headers.FileHeader.SizeOfOptionalHeader;
    }
    std::size_t FileOffset(std::uint32_t rva) const
    {
        for (int i = 0; i < headers.FileHeader.NumberOfSections; ++i) {
            auto section = At<IMAGE_SECTION_HEADER>(bytes, sections + i * sizeof(IMAGE_SECTION_HEADER));
            if (rva >= section.VirtualAddress && rva < section.VirtualAddress + section.Misc.VirtualSize)
                return rva - section.VirtualAddress + section.PointerToRawData;
        }
        return bytes.size();
    }
    std::string StringAt(std::size_t offset) const
    {
        std::string s;
        while (offset < bytes.size() && bytes[offset] != 0)
            s += static_cast<char>(bytes[offset++]);
        return s;
    }

    std::vector<std::uint8_t> bytes;
    IMAGE_NT_HEADERS64 headers = {};
    std::size_t sections = 0;
};

TEST_F(ProgramFile, IsA64BitGuiProgramImportingOnlySystemLibraries)
{
    EXPECT_EQ(headers.FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
    EXPECT_EQ(headers.OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);

    auto directory = headers.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    std::set<std::string> imports;
    for (std::size_t at = FileOffset(directory.VirtualAddress);; at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        auto descriptor = At<IMAGE_IMPORT_DESCRIPTOR>(bytes, at);
        if (descriptor.Name == 0)
            break;
        std::string name = StringAt(FileOffset(descriptor.Name));
        std::transform(name.begin(), name.end(), name.begin(), [](char c) { return static_cast<char>(toupper(c)); });
        imports.insert(name);
    }
    const std::set<std::string> allowed = {"ADVAPI32.DLL", "COMCTL32.DLL", "COMDLG32.DLL", "GDI32.DLL",
                                           "KERNEL32.DLL", "SHELL32.DLL",  "SHLWAPI.DLL",  "USER32.DLL",
                                           "MSVCRT.DLL"};
    EXPECT_FALSE(imports.empty());
    for (const std::string& name : imports)
        EXPECT_TRUE(allowed.count(name)) << name;
}

TEST_F(ProgramFile, CarriesManifestIconAndVersion)
{
    HMODULE module = LoadLibraryExA(ProgramPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr);

    HRSRC manifestResource = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    ASSERT_NE(manifestResource, nullptr);
    std::string manifest(static_cast<const char*>(LockResource(LoadResource(module, manifestResource))),
                         SizeofResource(module, manifestResource));
    EXPECT_NE(manifest.find("level=\"requireAdministrator\""), std::string::npos);
    EXPECT_NE(manifest.find("uiAccess=\"false\""), std::string::npos);
    EXPECT_EQ(manifest.find("Common-Controls"), std::string::npos) << "classic controls";
    EXPECT_EQ(manifest.find("dependency"), std::string::npos);

#pragma pack(push, 2)
    struct GroupEntry {
        BYTE width, height, colors, reserved;
        WORD planes, bitCount;
        DWORD bytes;
        WORD id;
    };
#pragma pack(pop)
    HRSRC group = FindResourceA(module, MAKEINTRESOURCEA(1084), MAKEINTRESOURCEA(14));
    ASSERT_NE(group, nullptr);
    const auto* groupBytes = static_cast<const std::uint8_t*>(LockResource(LoadResource(module, group)));
    ASSERT_EQ(*reinterpret_cast<const WORD*>(groupBytes + 4), 1) << "one image";
    GroupEntry entry;
    std::memcpy(&entry, groupBytes + 6, sizeof entry);
    EXPECT_EQ(entry.width, 32);
    EXPECT_EQ(entry.height, 32);
    EXPECT_EQ(entry.colors, 16);
    EXPECT_EQ(entry.bitCount, 4);
    FreeLibrary(module);

    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(ProgramPath().c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<std::uint8_t> info(size);
    ASSERT_TRUE(GetFileVersionInfoA(ProgramPath().c_str(), 0, size, info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &fixedSize));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00020002u);
    EXPECT_EQ(fixed->dwFileVersionLS, (2014u << 16) | 702u) << "702, not octal 0702";
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00020002u);
    EXPECT_EQ(fixed->dwProductVersionLS, (2014u << 16) | 702u);
    char* text = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\StringFileInfo\\041103a4\\FileVersion", reinterpret_cast<void**>(&text),
                               &length));
    EXPECT_STREQ(text, "2,2,2014,0702");
}

} // namespace
