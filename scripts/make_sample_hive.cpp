// Writes a SYSTEM hive for the sample clone: make_sample_hive FILE NAME=HEX...
// or its boot store:                          make_sample_hive --bcd FILE
// The store is a BIOS one whose boot manager and loader start from the clone's
// system volume (disk 5CBEA03E, the partition at 1 MiB).
// puts each NAME with the data HEX (REG_BINARY) into MountedDevices, beside
// the few other keys a SYSTEM hive has: the control set, and the inbox
// storage drivers of a machine with a SATA disk.
#include "mounttable/identity.h"
#include "support/hivex_registry.h"

#include <cstdio>
#include <string>

namespace {

int MakeStore(const char* file)
{
    BootDevice system;
    system.style = PartitionStyle::Mbr;
    system.signature = 0x5CBEA03E;
    system.offset = 0x100000;
    auto element = [](std::vector<std::uint8_t> data, std::uint32_t type = kRegBinary) {
        return ValueList{{"Element", type, std::move(data)}};
    };
    const std::string manager = "Objects\\{9dea862c-5cdd-4e70-acc1-f32b344d4795}";
    const std::string loader = "Objects\\{3c2b1a0d-4e5f-11ec-9a7b-0a1b2c3d4e5f}";
    std::vector<std::pair<std::string, ValueList>> keys = {
        {"Description", {{"KeyName", 1, Utf16("BCD00000000")}}},
        {manager + "\\Description", {{"Type", 4, {0x02, 0x00, 0x10, 0x10}}}},
        {manager + "\\Elements\\11000001", element(BootPartitionElement(system))},
        {manager + "\\Elements\\12000004", element(Utf16("Windows Boot Manager"), 1)},
        {manager + "\\Elements\\23000003", element(Utf16("{3c2b1a0d-4e5f-11ec-9a7b-0a1b2c3d4e5f}"), 1)},
        {loader + "\\Description", {{"Type", 4, {0x03, 0x00, 0x20, 0x10}}}},
        {loader + "\\Elements\\11000001", element(BootPartitionElement(system))},
        {loader + "\\Elements\\12000004", element(Utf16("Windows 10"), 1)},
        {loader + "\\Elements\\21000001", element(BootPartitionElement(system))},
    };
    if (!MakeHiveFile(file, keys)) {
        std::fprintf(stderr, "make_sample_hive: cannot write %s\n", file);
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::string(argv[1]) == "--bcd")
        return MakeStore(argv[2]);
    if (argc < 2) {
        std::fprintf(stderr, "usage: make_sample_hive FILE NAME=HEX...\n");
        return 2;
    }
    ValueList table;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        std::size_t eq = arg.rfind('=');
        std::vector<std::uint8_t> data;
        if (eq == std::string::npos || !ParseHex(arg.substr(eq + 1), &data)) {
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
