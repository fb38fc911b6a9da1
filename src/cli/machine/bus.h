// Which storage bus a disk of this machine sits on, found through sysfs. Each lookup takes the root of the
// machine's file tree ("" or "/" for this machine) so that tests can build
// their own /proc and /sys.
#pragma once

#include <array>
#include <string>
#include <string_view>

// The names the command accepts for a bus, as BusOfBlockDevice gives them.
inline constexpr std::array<std::string_view, 8> kBusNames = {"nvme",   "ahci",   "ide",    "usb",
                                                              "virtio", "hyperv", "pvscsi", "lsisas"};

bool IsBusName(std::string_view name);

// The bus of the disk holding device ("/dev/nvme0n1p3" or a whole disk), one
// of kBusNames, or "" when the drivers above it name no bus we know. detail
// tells what decided it, or what was found instead.
std::string BusOfBlockDevice(const std::string& root, const std::string& device, std::string* detail);
