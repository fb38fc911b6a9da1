#include "cli/bus.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
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

// mountinfo writes space, tab, newline and backslash as \ooo.
std::string Unescape(std::string_view field)
{
    std::string text;
    for (std::size_t i = 0; i < field.size(); ++i) {
        bool octal = field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3';
        for (std::size_t k = 2; octal && k <= 3; ++k)
            octal = field[i + k] >= '0' && field[i + k] <= '7';
        if (!octal) {
            text += field[i];
            continue;
        }
        text += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
        i += 3;
    }
    return text;
}

std::vector<std::string_view> Fields(std::string_view line)
{
    std::vector<std::string_view> fields;
    while (!line.empty()) {
        std::size_t end = line.find(' ');
        if (end != 0)
            fields.push_back(line.substr(0, end));
        line = end == std::string_view::npos ? std::string_view() : line.substr(end + 1);
    }
    return fields;
}

// Whether path lies on the mount at mountPoint, counted by whole components.
bool Holds(std::string_view mountPoint, std::string_view path)
{
    if (mountPoint == "/")
        return path.starts_with('/');
    return path.starts_with(mountPoint) && (path.size() == mountPoint.size() || path[mountPoint.size()] == '/');
}

// The last component of a symlink's target, "" when path is no symlink.
std::string LinkName(const fs::path& path)
{
    std::error_code ec;
    if (!fs::is_symlink(path, ec))
        return "";
    fs::path target = fs::read_symlink(path, ec);
    return ec ? "" : target.filename().string();
}

} // namespace

bool IsBusName(std::string_view name)
{
    return std::find(kBusNames.begin(), kBusNames.end(), name) != kBusNames.end();
}

std::string MountSourceOf(const std::string& root, const std::string& realPath)
{
    std::ifstream in(root + "/proc/self/mountinfo");
    if (!in)
        return "";
    std::optional<std::size_t> bestLength;
    std::string source;
    for (std::string line; std::getline(in, line);) {
        // id parent major:minor root mount-point options [optional...] - type source super-options
        std::vector<std::string_view> fields = Fields(line);
        auto dash = std::find(fields.begin() + std::min<std::size_t>(fields.size(), 6), fields.end(), "-");
        if (fields.size() < 6 || fields.end() - dash < 3)
            continue;
        std::string mountPoint = Unescape(fields[4]);
        // Of two mounts on one point the later one hides the earlier.
        if (!Holds(mountPoint, realPath) || (bestLength && mountPoint.size() < *bestLength))
            continue;
        bestLength = mountPoint.size();
        source = Unescape(dash[2]);
    }
    if (in.bad())
        return "";
    return source.starts_with("/dev/") ? source : "";
}

std::string UnderlyingDevice(const std::string& root, const std::string& device)
{
    std::string current = device;
    for (int depth = 0; depth < 8 && current.starts_with("/dev/"); ++depth) {
        std::string name = current.substr(5);
        if (std::string linked = LinkName(fs::path(root + current)); !linked.empty())
            name = linked;
        if (name.empty() || name.find('/') != std::string::npos)
            break;
        std::vector<std::string> beneath;
        std::error_code ec;
        for (fs::directory_iterator it(root + "/sys/class/block/" + name + "/slaves", ec), end; !ec && it != end;
             it.increment(ec))
            beneath.push_back(it->path().filename().string());
        if (ec || beneath.size() != 1)
            break;
        current = "/dev/" + beneath.front();
    }
    return current;
}

std::string BusOfBlockDevice(const std::string& root, const std::string& device, std::string* detail)
{
    if (!device.starts_with("/dev/")) {
        *detail = device + " is not a device under /dev";
        return "";
    }
    std::string name = device.substr(5);
    // /dev/mapper/... and /dev/disk/by-*/... are links to the kernel's name.
    if (std::string linked = LinkName(fs::path(root + device)); !linked.empty())
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
        if (std::string driver = LinkName(dir / "driver"); !driver.empty())
            seen.push_back({.kind = Clue::Driver, .text = driver, .where = where});
        if (std::string subsystem = LinkName(dir / "subsystem"); !subsystem.empty())
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
