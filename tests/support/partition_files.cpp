#include "support/partition_files.h"

#include "support/disk_images.h"

#include <algorithm>
#include <cstdio>

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

int Shell(const std::string& command)
{
    return std::system(command.c_str());
}

std::string Quote(const fs::path& path)
{
    std::string quoted = "'";
    for (char c : path.string())
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Mounts an NTFS partition image with ntfs-3g for fill to change, and
// unmounts it whatever happens.
bool WithNtfs(const fs::path& part, const std::function<void(const fs::path&)>& fill)
{
    fs::path mount = part.string() + ".mnt";
    fs::create_directories(mount);
    if (Shell("ntfs-3g " + Quote(part) + " " + Quote(mount)) != 0)
        return false;
    struct Unmount {
        fs::path dir;
        ~Unmount() { Shell("umount " + Quote(dir) + " 2>/dev/null"); }
    } unmount{mount};
    fill(mount);
    return true;
}

// The partition's bytes of an image, as a file of their own.
fs::path Extract(const fs::path& image, std::uint64_t start, std::uint64_t sectors, const fs::path& to)
{
    Shell("dd if=" + Quote(image) + " of=" + Quote(to) + " bs=1M iflag=skip_bytes,count_bytes skip=" +
          std::to_string(start * 512) + " count=" + std::to_string(sectors * 512) + " status=none");
    return to;
}

void PutBackPartition(const fs::path& image, std::uint64_t start, const fs::path& part)
{
    Shell("dd if=" + Quote(part) + " of=" + Quote(image) + " bs=1M oflag=seek_bytes seek=" +
          std::to_string(start * 512) + " conv=notrunc status=none");
}

// A file of the NTFS volume, read with ntfscat from the partition's bytes
// (extracted when part is empty); of the FAT, with mcopy.
std::vector<std::uint8_t> NtfsFile(const fs::path& image, std::uint64_t start, std::uint64_t sectors, const std::string& path,
               const fs::path& part)
{
    fs::path from = part.empty() ? Extract(image, start, sectors, image.string() + ".ntfs") : part;
    fs::path out = image.string() + ".out";
    Shell("ntfscat " + Quote(from) + " '" + path + "' >" + Quote(out) + " 2>/dev/null");
    Bytes bytes = FileBytes(out);
    if (part.empty())
        fs::remove(from);
    fs::remove(out);
    return bytes;
}

std::vector<std::uint8_t> FatFile(const fs::path& image, std::uint64_t start, const std::string& path)
{
    fs::path out = image.string() + ".out";
    fs::remove(out);
    Shell("MTOOLS_SKIP_CHECK=1 mcopy -n -i " + Quote(image.string() + "@@" + std::to_string(start * 512)) +
          " '::" + path + "' " + Quote(out) + " 2>/dev/null");
    Bytes bytes = FileBytes(out);
    fs::remove(out);
    return bytes;
}

std::vector<std::string> NtfsFolder(const fs::path& image, std::uint64_t start, std::uint64_t sectors,
                                    const std::string& folder, const fs::path& given)
{
    fs::path part = given.empty() ? Extract(image, start, sectors, image.string() + ".ntfs") : given;
    std::vector<std::string> names;
    std::FILE* pipe = popen(("ntfsls -a " + Quote(part) + " -p '" + folder + "' 2>/dev/null").c_str(), "r");
    char line[512];
    while (pipe && std::fgets(line, sizeof line, pipe)) {
        std::string name = line;
        name.erase(name.find_last_not_of("\r\n") + 1);
        if (name != "." && name != "..")
            names.push_back(name);
    }
    if (pipe)
        pclose(pipe);
    if (given.empty())
        fs::remove(part);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> FatFolder(const fs::path& image, std::uint64_t start, const std::string& folder)
{
    std::vector<std::string> names;
    std::FILE* pipe = popen(("MTOOLS_SKIP_CHECK=1 mdir -a -b -i " +
                             Quote(image.string() + "@@" + std::to_string(start * 512)) + " '::" + folder +
                             "/' 2>/dev/null")
                                .c_str(),
                            "r");
    char line[512];
    while (pipe && std::fgets(line, sizeof line, pipe))
        names.emplace_back(line);
    if (pipe)
        pclose(pipe);
    std::sort(names.begin(), names.end());
    return names;
}


bool FillFat(const fs::path& image, std::uint64_t start, const std::vector<std::pair<std::string, Bytes>>& files)
{
    std::string drive = Quote(image.string() + "@@" + std::to_string(start * 512));
    fs::path staged = image.string() + ".file";
    for (const auto& [path, bytes] : files) {
        // Each folder on the way, then the file.
        for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
            Shell("MTOOLS_SKIP_CHECK=1 mmd -i " + drive + " '::" + path.substr(0, slash) + "' >/dev/null 2>&1");
        WriteBytes(staged, bytes);
        if (Shell("MTOOLS_SKIP_CHECK=1 mcopy -o -i " + drive + " " + Quote(staged) + " '::" + path + "'") != 0)
            return false;
    }
    fs::remove(staged);
    return true;
}

bool FillNtfs(const fs::path& image, std::uint64_t start, std::uint64_t sectors, const std::string& label,
              const std::vector<std::pair<std::string, Bytes>>& files)
{
    fs::path part = image.string() + ".part";
    fs::remove(part);
    if (Shell("truncate -s " + std::to_string(sectors * 512) + " " + Quote(part) + " && " + Tool("mkntfs") +
              " -F -Q -q -p " + std::to_string(start) + " -L " + label + " " + Quote(part) + " >/dev/null 2>&1") != 0)
        return false;
    bool filled = WithNtfs(part, [&](const fs::path& mount) {
        for (const auto& [path, bytes] : files) {
            fs::create_directories((mount / path.substr(1)).parent_path());
            WriteBytes(mount / path.substr(1), bytes);
        }
    });
    PutBackPartition(image, start, part);
    fs::remove(part);
    return filled;
}
