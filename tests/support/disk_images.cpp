#include "support/disk_images.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

std::vector<std::uint8_t> FileBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in)
        return {};
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

void WriteBytes(const fs::path& path, const std::vector<std::uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string Tool(const char* name)
{
    std::string sbin = std::string("/usr/sbin/") + name;
    return access(sbin.c_str(), X_OK) == 0 ? sbin : name;
}

bool MakeImage(const fs::path& image, const char* size, const std::string& script, unsigned sectorSize)
{
    std::string truncate = "truncate -s " + std::string(size) + " '" + image.string() + "' && ";
    if (sectorSize != 512) {
        fs::path file = image.string() + ".script";
        std::ofstream(file) << script;
        std::string command = truncate + "printf 'I\\n%s\\nw\\n' '" + file.string() + "' | " + Tool("fdisk") + " -b " +
                              std::to_string(sectorSize) + " '" + image.string() + "' >/dev/null 2>&1";
        bool made = std::system(command.c_str()) == 0;
        fs::remove(file);
        return made;
    }
    std::string command = truncate + Tool("sfdisk") + " -q '" + image.string() + "' >/dev/null";
    std::FILE* pipe = popen(command.c_str(), "w");
    if (pipe == nullptr)
        return false;
    std::fputs(script.c_str(), pipe);
    return pclose(pipe) == 0;
}
