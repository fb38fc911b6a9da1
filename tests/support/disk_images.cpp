#include "support/disk_images.h"

#include "hive/bytes.h"
#include "support/partition_files.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
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

void MakeBitLocker(const std::string& image, std::uint64_t at)
{
    std::vector<std::uint8_t> sector(512, 0);
    std::memcpy(sector.data(), "\xeb\x58\x90-FVE-FS-", 11);
    PutLe16(sector, 11, 512);
    sector[13] = 8;
    PutLe64(sector, 176, 0x10000);
    sector[510] = 0x55;
    sector[511] = 0xAA;
    std::vector<std::uint8_t> metadata(64, 0);
    std::memcpy(metadata.data(), "-FVE-FS-", 8);
    PutLe16(metadata, 8, 64);
    PutLe16(metadata, 10, 2);
    std::fstream file(image, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(at));
    file.write(reinterpret_cast<const char*>(sector.data()), 512);
    file.seekp(static_cast<std::streamoff>(at + 0x10000));
    file.write(reinterpret_cast<const char*>(metadata.data()), 64);
}

bool ToVmImage(const std::filesystem::path& raw, const std::string& format, const std::filesystem::path& to,
               const std::string& options)
{
    return Shell("qemu-img convert -f raw -O " + format + (options.empty() ? "" : " -o " + options) + " " + Quote(raw) +
                 " " + Quote(to)) == 0;
}

bool ToRawImage(const std::filesystem::path& vm, const std::filesystem::path& to)
{
    return Shell("qemu-img convert -O raw " + Quote(vm) + " " + Quote(to)) == 0;
}
