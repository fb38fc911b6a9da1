#include "cli/machine/mounts.h"

#include <algorithm>
#include <fstream>
#include <optional>
#include <vector>

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

// Whether path lies on the mount at mountPoint, counted by whole components.
bool Holds(std::string_view mountPoint, std::string_view path)
{
    if (mountPoint == "/")
        return path.starts_with('/');
    return path.starts_with(mountPoint) && (path.size() == mountPoint.size() || path[mountPoint.size()] == '/');
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
