#include "cli/machine/bus.h"

#include "cli/machine/mounts.h"

#include <algorithm>
#include <filesystem>
#include <vector>

namespace {

namespace fs = std::filesystem;

// What sysfs shows on the way from a disk up to its controller.
enum class Clue { Driver, DriverPrefix, Subsystem, PathPart };

struct BusClue {
    Clue kind;
    std::string_view text;
    std::string_view bus;
};

// The first clue found wins. USB comes first: a disk in a USB enclosure is a
// USB disk to Windows whatever bridge or controller lies on its path. The
// NVMe path parts cover a controller whose driver link sysfs does not show and
// the kernel's multipath namespaces, which live outside the PCI tree.
constexpr BusClue kClues[] = {
    {.kind = Clue::Driver, .text = "uas", .bus = "usb"},
    {.kind = Clue::Driver, .text = "usb-storage", .bus = "usb"},
    {.kind = Clue::Driver, .text = "nvme", .bus = "nvme"},
    {.kind = Clue::PathPart, .text = "nvme", .bus = "nvme"},
    {.kind = Clue::PathPart, .text = "nvme-subsystem", .bus = "nvme"},
    {.kind = Clue::Driver, .text = "virtio_blk", .bus = "virtio"},
    {.kind = Clue::Driver, .text = "virtio_scsi", .bus = "virtio"},
    {.kind = Clue::Subsystem, .text = "virtio", .bus = "virtio"},
    {.kind = Clue::Driver, .text = "hv_storvsc", .bus = "hyperv"},
    {.kind = Clue::Driver, .text = "vmw_pvscsi", .bus = "pvscsi"},
    {.kind = Clue::Driver, .text = "mpt3sas", .bus = "lsisas"},
    {.kind = Clue::Driver, .text = "mptsas", .bus = "lsisas"},
    {.kind = Clue::Driver, .text = "ahci", .bus = "ahci"},
    {.kind = Clue::Driver, .text = "ata_piix", .bus = "ide"},
    {.kind = Clue::DriverPrefix, .text = "pata_", .bus = "ide"},
};

struct Seen {
    Clue kind; // Driver, Subsystem or PathPart
    std::string text;
    std::string where; // the sysfs directory it was seen on
};

bool Matches(const BusClue& clue, const Seen& seen)
{
    switch (clue.kind) {
    case Clue::DriverPrefix:
        return seen.kind == Clue::Driver && std::string_view(seen.text).starts_with(clue.text);
    default:
        return seen.kind == clue.kind && seen.text == clue.text;
    }
}

} // namespace

bool IsBusName(std::string_view name)
{
    return std::find(kBusNames.begin(), kBusNames.end(), name) != kBusNames.end();
}

std::string BusOfBlockDevice(const std::string& root, const std::string& device, std::string* detail)
{
    if (!device.starts_with("/dev/")) {
        *detail = device + " is not a device under /dev";
        return "";
    }
    std::string name = device.substr(5);
    // /dev/mapper/... and /dev/disk/by-*/... are links to the kernel's name.
    if (std::string linked = LinkTargetName(fs::path(root + device)); !linked.empty())
        name = linked;
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
        *detail = device + " names no block device of the kernel";
        return "";
    }
    std::error_code ec;
    fs::path devices = fs::canonical(root + "/sys/devices", ec);
    fs::path disk = ec ? fs::path() : fs::canonical(root + "/sys/class/block/" + name, ec);
    if (ec) {
        *detail = "sysfs has no block device " + name;
        return "";
    }
    // A partition's directory sits in its disk's.
    if (fs::exists(disk / "partition", ec))
        disk = disk.parent_path();
    fs::path shown = "/sys/devices" / disk.lexically_relative(devices);

    std::vector<Seen> seen;
    for (fs::path dir = disk; dir.has_relative_path() && dir != devices; dir = dir.parent_path()) {
        fs::path relative = dir.lexically_relative(devices);
        if (relative.empty() || *relative.begin() == "..")
            break;
        std::string where = dir.filename().string();
        seen.push_back({.kind = Clue::PathPart, .text = where, .where = where});
        if (std::string driver = LinkTargetName(dir / "driver"); !driver.empty())
            seen.push_back({.kind = Clue::Driver, .text = driver, .where = where});
        if (std::string subsystem = LinkTargetName(dir / "subsystem"); !subsystem.empty())
            seen.push_back({.kind = Clue::Subsystem, .text = subsystem, .where = where});
    }
    for (const BusClue& clue : kClues) {
        for (const Seen& item : seen) {
            if (!Matches(clue, item))
                continue;
            static constexpr std::string_view kWhat[] = {"driver ", "driver ", "bus ", "path part "};
            *detail = std::string(kWhat[static_cast<int>(item.kind)]) + item.text + " at " + item.where + " above " +
                      shown.string();
            return std::string(clue.bus);
        }
    }
    std::string drivers;
    for (const Seen& item : seen)
        if (item.kind == Clue::Driver)
            drivers += (drivers.empty() ? "" : ", ") + item.text;
    *detail = "no storage bus known from the drivers above " + shown.string() + ": " +
              (drivers.empty() ? "none" : drivers);
    return "";
}
