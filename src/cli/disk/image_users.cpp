#include "cli/disk/image_users.h"

#include "cli/machine/child.h"
#include "cli/machine/fd.h"
#include "cli/machine/files.h"
#include "cli/disk/vm_image.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

namespace {

namespace fs = std::filesystem;

std::uint64_t Be(const std::uint8_t* bytes, int count)
{
    std::uint64_t value = 0;
    for (int i = 0; i < count; ++i)
        value = value << 8 | bytes[i];
    return value;
}

// The backing file the image at path names, as a path of this machine; ""
// for none. A qcow2 says it in its header; the other formats through
// qemu-img, which reads them without taking a running VM's lock. known is
// false where that cannot be told: a differencing disk qemu does not open
// (VHDX, VHD, VirtualBox's VDI).
std::string BackingFile(const std::string& path, bool* known)
{
    *known = true;
    Fd fd(OpenNoWait(path.c_str(), O_RDONLY));
    if (fd.get() < 0)
        return "";
    std::string format = VmImageFormat(fd.get());
    std::string named;
    if (format == "qcow2") {
        // A header cut short or naming a name past its end is a damaged
        // qcow2, which qemu serves to no child either.
        std::uint8_t header[20];
        if (!ReadAllAt(fd.get(), header, sizeof header, 0))
            return "";
        std::uint64_t offset = Be(header + 8, 8);
        std::uint64_t size = Be(header + 16, 4);
        if (offset == 0 || size == 0)
            return "";
        named.resize(static_cast<std::size_t>(std::min<std::uint64_t>(size, 1023)));
        if (size > 1023 || !ReadAllAt(fd.get(), named.data(), named.size(), static_cast<off_t>(offset)))
            return "";
    } else if (format == "vhdx" || format == "vmdk" || format == "vpc" || format == "vdi") {
        ChildResult info = RunChild({"qemu-img", "info", "-U", "--output=json", "--format=" + format, "--", path}, {});
        auto doc = info.started && info.status == 0 ? nlohmann::json::parse(info.output, nullptr, false)
                                                    : nlohmann::json();
        // A VMDK qemu cannot open is damaged, not a delta it does not
        // take: those are the VHDX, VHD and VDI differencing disks.
        if (!doc.is_object()) {
            *known = format == "vmdk";
            return "";
        }
        for (const char* key : {"full-backing-filename", "backing-filename"})
            if (doc.contains(key) && doc[key].is_string()) {
                named = doc[key].get<std::string>();
                break;
            }
    }
    // A backing file reached by a protocol (json:, nbd://) is no file here.
    if (named.empty() || named.starts_with("json:") || named.find("://") != std::string::npos)
        return "";
    return named.front() == '/' ? named : (fs::path(path).parent_path() / named).string();
}

// The folders a child of image may be in: its own as named and as it
// really is (through a link), and VirtualBox's Snapshots folder in each.
std::vector<fs::path> FoldersNear(const std::string& image)
{
    std::vector<fs::path> folders;
    std::error_code ec;
    for (fs::path folder : {fs::absolute(image, ec).parent_path(), fs::canonical(image, ec).parent_path()})
        for (const fs::path& near : {folder, folder / "Snapshots"})
            if (!near.empty() && std::find(folders.begin(), folders.end(), near) == folders.end())
                folders.push_back(near);
    return folders;
}

} // namespace

std::vector<std::string> ChildImages(const std::string& image, std::vector<std::string>* unknown)
{
    std::vector<std::string> children;
    struct stat st;
    if (stat(image.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return children;
    std::set<std::pair<dev_t, ino_t>> looked;
    for (const fs::path& folder : FoldersNear(image)) {
        std::error_code ec;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
            std::string candidate = it->path().string();
            struct stat file;
            if (stat(candidate.c_str(), &file) != 0 || !S_ISREG(file.st_mode) ||
                (file.st_dev == st.st_dev && file.st_ino == st.st_ino) || !looked.insert({file.st_dev, file.st_ino}).second)
                continue;
            bool known = true;
            std::string backing = BackingFile(candidate, &known);
            if (!backing.empty() && SameFile(backing, image))
                children.push_back(candidate);
            else if (!known && unknown != nullptr)
                unknown->push_back(candidate);
        }
    }
    std::sort(children.begin(), children.end());
    return children;
}

std::vector<std::string> TopImages(const std::vector<std::string>& children)
{
    std::vector<std::string> tops, next = children;
    std::set<std::string> seen;
    // Bounded: a chain that names itself again is followed once.
    while (!next.empty() && seen.size() < 256) {
        std::string child = next.back();
        next.pop_back();
        if (!seen.insert(child).second)
            continue;
        std::vector<std::string> above = ChildImages(child);
        if (above.empty())
            tops.push_back(child);
        next.insert(next.end(), above.begin(), above.end());
    }
    std::sort(tops.begin(), tops.end());
    return tops;
}

std::string WriterOf(const std::string& root, const std::string& path)
{
    struct stat target;
    if (stat(path.c_str(), &target) != 0)
        return "";
    std::string self = std::to_string(getpid());
    std::error_code ec;
    for (fs::directory_iterator proc(root + "/proc", ec), end; !ec && proc != end; proc.increment(ec)) {
        std::string pid = proc->path().filename().string();
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos || pid == self)
            continue;
        std::string parent;
        std::ifstream status(proc->path() / "status");
        for (std::string line; std::getline(status, line);)
            if (line.starts_with("PPid:") && line.find_first_not_of(" \t", 5) != std::string::npos)
                parent = line.substr(line.find_first_not_of(" \t", 5));
        if (parent == self)
            continue; // qemu-nbd, started by this process
        std::error_code fdError;
        for (fs::directory_iterator fd(proc->path() / "fd", fdError); !fdError && fd != end; fd.increment(fdError)) {
            struct stat st;
            if (stat(fd->path().c_str(), &st) != 0 || st.st_dev != target.st_dev || st.st_ino != target.st_ino)
                continue;
            std::ifstream info(proc->path() / "fdinfo" / fd->path().filename());
            for (std::string line; std::getline(info, line);) {
                if (!line.starts_with("flags:"))
                    continue;
                long flags = std::strtol(line.c_str() + 6, nullptr, 8);
                if ((flags & O_ACCMODE) != O_RDONLY)
                    return "process " + pid + " (" + ReadSmallFile((proc->path() / "comm").string()) + ")";
            }
        }
    }
    return "";
}

std::string WhyImageNotWritable(const std::string& root, const std::string& path, bool force)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return "";
    std::string writer = WriterOf(root, path);
    if (!writer.empty())
        return path + " is open for writing by " + writer +
               " (a running virtual machine, or another program writing it); stop it first";
    if (force)
        return "";
    std::vector<std::string> unknown;
    std::vector<std::string> children = ChildImages(path, &unknown);
    if (children.empty() && !unknown.empty())
        return "cannot tell whether " + unknown.front() + " stands on " + path +
               " (qemu-img cannot read it: a differencing disk qemu does not open?): writing a base image changes "
               "what every image on it reads; --force writes it all the same";
    if (children.empty())
        return "";
    std::string named, top;
    for (const std::string& child : children)
        named += (named.empty() ? "" : ", ") + child;
    for (const std::string& image : TopImages(children))
        top += (top.empty() ? "" : ", ") + image;
    return path + " is the backing file of " + named +
           ": writing it changes what every image on it reads; repair the top image (" + top +
           ") instead (--force writes it all the same)";
}
