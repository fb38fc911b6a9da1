// Writes a SYSTEM hive for the sample clone: make_sample_hive FILE NAME=HEX|gpt:{GUID}...
// or its boot store: make_sample_hive --bcd FILE DISK ESP WINDOWS RECOVERY
// The store is a UEFI one whose entries name the GPT disk DISK and its
// partitions ESP, WINDOWS and RECOVERY (GUIDs): the disk Windows was
// installed on, not the clone's. With --bcd-mbr FILE SIGNATURE SYSTEM
// WINDOWS it is a BIOS one naming the MBR disk SIGNATURE (8 hexadecimal
// digits) and its partitions at the byte offsets SYSTEM and WINDOWS.
// puts each NAME with the data HEX (REG_BINARY) into MountedDevices, beside
// the few other keys a SYSTEM hive has: the control set, and the inbox
// storage drivers of a machine with a SATA disk.
#include "mounttable/identity.h"
#include "support/hivex_registry.h"
#include "support/sample_store.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

int MakeStore(char** args)
{
    std::array<std::uint8_t, 16> disk{};
    BootDevice parts[3];
    bool parsed = ParseGuid(args[1], &disk);
    for (int i = 0; i < 3; ++i) {
        parts[i].style = PartitionStyle::Gpt;
        parts[i].disk = disk;
        parsed = parsed && ParseGuid(args[2 + i], &parts[i].partition);
    }
    if (!parsed) {
        std::fprintf(stderr, "make_sample_hive: --bcd FILE DISK ESP WINDOWS RECOVERY, each a GUID\n");
        return 2;
    }
    if (!MakeHiveFile(args[0], SampleStoreKeys({.uefi = true, .system = parts[0], .windows = parts[1],
                                                .recovery = parts[2]}))) {
        std::fprintf(stderr, "make_sample_hive: cannot write %s\n", args[0]);
        return 1;
    }
    return 0;
}

int MakeBiosStore(char** args)
{
    BootDevice parts[2];
    std::uint32_t signature = 0;
    bool parsed = ParseHex32(args[1], &signature);
    for (int i = 0; i < 2; ++i) {
        parts[i].style = PartitionStyle::Mbr;
        parts[i].signature = signature;
        char* end = nullptr;
        parts[i].offset = std::strtoull(args[2 + i], &end, 0);
        parsed = parsed && end != args[2 + i] && *end == '\0';
    }
    if (!parsed) {
        std::fprintf(stderr, "make_sample_hive: --bcd-mbr FILE SIGNATURE SYSTEM WINDOWS\n");
        return 2;
    }
    if (!MakeHiveFile(args[0], SampleStoreKeys({.uefi = false, .system = parts[0], .windows = parts[1],
                                                .recovery = std::nullopt}))) {
        std::fprintf(stderr, "make_sample_hive: cannot write %s\n", args[0]);
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 7 && std::string(argv[1]) == "--bcd")
        return MakeStore(argv + 2);
    if (argc == 6 && std::string(argv[1]) == "--bcd-mbr")
        return MakeBiosStore(argv + 2);
    if (argc < 2) {
        std::fprintf(stderr, "usage: make_sample_hive FILE NAME=HEX...\n");
        return 2;
    }
    ValueList table;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        std::size_t eq = arg.rfind('=');
        std::vector<std::uint8_t> data;
        std::array<std::uint8_t, 16> guid{};
        // NAME=gpt:{guid} for a GPT partition's identity, NAME=HEX for any.
        if (eq != std::string::npos && arg.compare(eq + 1, 4, "gpt:") == 0 && ParseGuid(arg.substr(eq + 5), &guid))
            data = GptIdentity(guid);
        else if (eq == std::string::npos || !ParseHex(arg.substr(eq + 1), &data)) {
            std::fprintf(stderr, "make_sample_hive: malformed %s\n", argv[i]);
            return 2;
        }
        table.push_back({arg.substr(0, eq), kRegBinary, data});
    }
    std::vector<std::pair<std::string, ValueList>> keys = {
        {"MountedDevices", table},
        {"Select", {{"Current", 4, {1, 0, 0, 0}}, {"Default", 4, {1, 0, 0, 0}}, {"LastKnownGood", 4, {1, 0, 0, 0}}}},
        {"ControlSet001\\Control\\ComputerName\\ComputerName", {{"ComputerName", 1, Utf16("OLD-PC")}}},
        // The inbox storage drivers as Windows 10 leaves them on a SATA
        // machine: AHCI loads at boot, NVMe is switched off by StartOverride.
        {"ControlSet001\\Services\\storahci", {{"Start", 4, {0, 0, 0, 0}}, {"Type", 4, {1, 0, 0, 0}}}},
        {"ControlSet001\\Services\\stornvme", {{"Start", 4, {0, 0, 0, 0}}, {"Type", 4, {1, 0, 0, 0}}}},
        {"ControlSet001\\Services\\stornvme\\StartOverride", {{"0", 4, {3, 0, 0, 0}}}},
    };
    if (!MakeHiveFile(argv[1], keys)) {
        std::fprintf(stderr, "make_sample_hive: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
