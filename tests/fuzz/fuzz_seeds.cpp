// Writes the seeds of the fuzz targets from real files: every device
// element of a boot store, every MountedDevices value of a SYSTEM hive, and
// made ramdisk elements of both styles, which the real stores lack.
//   fuzz_seeds store BCD DIR | fuzz_seeds identities SYSTEM DIR | fuzz_seeds ramdisks DIR
#include "cli/hivefile/boot_store_file.h"
#include "cli/hivefile/hivex_handle.h"
#include "support/hivex_registry.h"

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

int g_written = 0;

bool Write(const std::string& dir, const std::string& name, const std::vector<std::uint8_t>& bytes)
{
    std::ofstream out(dir + "/" + name + "-" + std::to_string(++g_written), std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out.flush());
}

std::string Base(const std::string& path)
{
    return path.substr(path.find_last_of('/') + 1);
}

} // namespace

int main(int argc, char** argv)
{
    std::string what = argc > 1 ? argv[1] : "";
    if (what == "ramdisks" && argc == 3) {
        BootDevice device;
        device.style = PartitionStyle::Mbr;
        device.signature = 0xDDBA6BBB;
        device.offset = 5ull << 32;
        bool ok = Write(argv[2], "ramdisk-mbr", BootRamdiskElement(device, "\\Recovery\\WindowsRE\\Winre.wim"));
        device.style = PartitionStyle::Gpt;
        device.disk = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
        device.partition = {16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1};
        ok = ok && Write(argv[2], "ramdisk-gpt", BootRamdiskElement(device, "\\Recovery\\WindowsRE\\Winre.wim"));
        return ok ? 0 : 1;
    }
    if ((what != "store" && what != "identities") || argc != 4) {
        std::fprintf(stderr, "usage: fuzz_seeds store BCD DIR | identities SYSTEM DIR | ramdisks DIR\n");
        return 2;
    }
    HivexHandle hive = OpenHivex(argv[2], 0);
    if (!hive) {
        std::fprintf(stderr, "fuzz_seeds: cannot open %s\n", argv[2]);
        return 1;
    }
    if (what == "store") {
        std::string error;
        for (const BootObject& object : ReadBootObjects(hive.get(), &error))
            for (const BootElement& element : object.devices)
                if (!Write(argv[3], Base(argv[2]) + "-element", element.bytes))
                    return 1;
        if (!error.empty()) {
            std::fprintf(stderr, "fuzz_seeds: %s\n", error.c_str());
            return 1;
        }
    } else {
        for (const RegValue& value : DumpHiveKey(argv[2], "MountedDevices").values)
            if (!Write(argv[3], Base(argv[2]) + "-identity", value.data))
                return 1;
    }
    std::printf("%d seeds\n", g_written);
    return g_written > 0 ? 0 : 1;
}
