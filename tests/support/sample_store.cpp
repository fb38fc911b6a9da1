#include "support/sample_store.h"

#include "support/hivex_registry.h"

namespace {

std::vector<std::uint8_t> Dword(std::uint32_t value)
{
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

} // namespace

std::vector<std::pair<std::string, ValueList>> SampleStoreKeys(const StoreLayout& layout)
{
    std::vector<std::pair<std::string, ValueList>> keys = {{"Description", {{"KeyName", 1, Utf16("BCD00000000")}}}};
    auto object = [&](const char* id, std::uint32_t type) {
        keys.push_back({std::string("Objects\\") + id + "\\Description", {{"Type", 4, Dword(type)}}});
    };
    auto element = [&](const char* id, const char* type, std::vector<std::uint8_t> data, std::uint32_t kind) {
        keys.push_back({std::string("Objects\\") + id + "\\Elements\\" + type, {{"Element", kind, std::move(data)}}});
    };
    auto text = [&](const char* id, const char* type, const std::string& value) {
        element(id, type, Utf16(value), 1);
    };
    auto device = [&](const char* id, const char* type, const BootDevice& where) {
        element(id, type, BootPartitionElement(where), kRegBinary);
    };
    const std::string winload = layout.uefi ? "\\Windows\\system32\\winload.efi" : "\\Windows\\system32\\winload.exe";
    object(kSampleManager, 0x10100002);
    device(kSampleManager, "11000001", layout.system);
    if (layout.uefi)
        text(kSampleManager, "12000002", "\\EFI\\Microsoft\\Boot\\bootmgfw.efi");
    text(kSampleManager, "12000004", "Windows Boot Manager");
    text(kSampleManager, "23000003", kSampleLoader);
    object(kSampleLoader, 0x10200003);
    device(kSampleLoader, "11000001", layout.windows);
    text(kSampleLoader, "12000002", winload);
    text(kSampleLoader, "12000004", "Windows 10");
    device(kSampleLoader, "21000001", layout.windows);
    text(kSampleLoader, "22000002", "\\Windows");
    text(kSampleLoader, "23000006", kSampleResume);
    object(kSampleResume, 0x10200004);
    device(kSampleResume, "11000001", layout.windows);
    text(kSampleResume, "12000002", layout.uefi ? "\\Windows\\system32\\winresume.efi"
                                                : "\\Windows\\system32\\winresume.exe");
    text(kSampleResume, "12000004", "Windows Resume Application");
    device(kSampleResume, "21000001", layout.windows);
    text(kSampleResume, "22000002", "\\hiberfil.sys");
    object(kSampleMemoryTester, 0x10200005);
    device(kSampleMemoryTester, "11000001", layout.system);
    text(kSampleMemoryTester, "12000002", layout.uefi ? "\\EFI\\Microsoft\\Boot\\memtest.efi" : "\\boot\\memtest.exe");
    text(kSampleMemoryTester, "12000004", "Windows Memory Diagnostic");
    if (layout.recovery) {
        text(kSampleLoader, "23000009", kSampleRecovery);
        std::vector<std::uint8_t> ramdisk = BootRamdiskElement(*layout.recovery, "\\Recovery\\WindowsRE\\Winre.wim");
        object(kSampleRecovery, 0x10200003);
        element(kSampleRecovery, "11000001", ramdisk, kRegBinary);
        text(kSampleRecovery, "12000002", winload);
        text(kSampleRecovery, "12000004", "Windows Recovery Environment");
        element(kSampleRecovery, "21000001", ramdisk, kRegBinary);
        text(kSampleRecovery, "22000002", "\\windows");
        object(kSampleRecoveryOptions, 0x30000000);
        text(kSampleRecoveryOptions, "12000004", "Windows Recovery");
        device(kSampleRecoveryOptions, "31000003", *layout.recovery);
        text(kSampleRecoveryOptions, "32000004", "\\Recovery\\WindowsRE\\boot.sdi");
    }
    object(kSampleFirmware, 0x10100001);
    text(kSampleFirmware, "12000004", "Firmware Boot Manager");
    return keys;
}

std::vector<std::string> SystemFiles(bool uefi)
{
    if (uefi)
        // Windows setup leaves the boot manager's copy as the fallback loader.
        return {"/EFI/Microsoft/Boot/bootmgfw.efi", "/EFI/Microsoft/Boot/memtest.efi", "/EFI/Boot/bootx64.efi"};
    return {"/bootmgr", "/boot/memtest.exe"};
}

std::vector<std::string> WindowsFiles(bool uefi)
{
    if (uefi)
        return {"/Windows/System32/winload.efi", "/Windows/System32/winresume.efi"};
    return {"/Windows/System32/winload.exe", "/Windows/System32/winresume.exe"};
}

std::vector<std::string> RecoveryFiles()
{
    return {"/Recovery/WindowsRE/Winre.wim", "/Recovery/WindowsRE/boot.sdi"};
}
