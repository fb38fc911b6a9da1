#include "cli/machine/mounts.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace {

namespace fs = std::filesystem;

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

} // namespace

std::string LinkTargetName(const std::filesystem::path& path)
{
    std::error_code ec;
    if (!std::filesystem::is_symlink(path, ec))
        return "";
    std::filesystem::path target = std::filesystem::read_symlink(path, ec);
    return ec ? "" : target.filename().string();
}

bool ParseDeviceNumber(const std::string& text, unsigned* major, unsigned* minor)
{
    char colon = 0;
    return std::sscanf(text.c_str(), "%u%c%u", major, &colon, minor) == 3 && colon == ':';
}

std::vector<MountEntry> ReadMountInfo(const std::string& root, bool* readable)
{
    std::vector<MountEntry> mounts;
    std::ifstream in(root + "/proc/self/mountinfo");
    if (readable != nullptr)
        *readable = static_cast<bool>(in);
    for (std::string line; std::getline(in, line);) {
        // id parent major:minor root mount-point options [optional...] - type source super-options
        std::vector<std::string_view> fields = Fields(line);
        auto dash = std::find(fields.begin() + std::min<std::size_t>(fields.size(), 6), fields.end(), "-");
        if (fields.size() < 6 || fields.end() - dash < 3)
            continue;
        MountEntry entry;
        std::string numbers(fields[2]);
        if (!ParseDeviceNumber(numbers, &entry.major, &entry.minor))
            continue;
        entry.root = Unescape(fields[3]);
        entry.mountPoint = Unescape(fields[4]);
        std::string_view options = fields[5];
        entry.readOnly = options == "ro" || options.starts_with("ro,");
        entry.type = Unescape(dash[1]);
        entry.source = Unescape(dash[2]);
        mounts.push_back(std::move(entry));
    }
    if (in.bad()) {
        mounts.clear();
        if (readable != nullptr)
            *readable = false;
    }
    return mounts;
}

std::string MountSourceOfDevice(const std::vector<MountEntry>& mounts, unsigned major, unsigned minor)
{
    // Bind mounts of one file system share its source; a mount with no /dev
    // source (tmpfs, a network file system) names no block device.
    for (const MountEntry& entry : mounts)
        if (entry.major == major && entry.minor == minor && entry.source.starts_with("/dev/"))
            return entry.source;
    return "";
}

std::string MountSourceOf(const std::string& root, const std::string& realPath)
{
    // The file's own device number names the mount that holds it, whatever
    // is mounted over or beside its folder since.
    struct stat st;
    if (stat(realPath.c_str(), &st) != 0)
        return "";
    return MountSourceOfDevice(ReadMountInfo(root), major(st.st_dev), minor(st.st_dev));
}

std::string UnderlyingDevice(const std::string& root, const std::string& device)
{
    std::string current = device;
    for (int depth = 0; depth < 8 && current.starts_with("/dev/"); ++depth) {
        std::string name = current.substr(5);
        if (std::string linked = LinkTargetName(fs::path(root + current)); !linked.empty())
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
