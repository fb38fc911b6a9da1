#include "cli/fs/fat_fs.h"

#include "cli/machine/fd.h"
#include "cli/machine/files.h"
#include "cli/machine/run_folder.h"
#include "cli/disk/vm_image.h"
#include "cli/fs/local_fs.h"
#include "mounttable/text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace {

constexpr std::uint64_t kLargestMirroredFat = 4ull << 30;

// mtools reads its drive settings from these files; none of a user's or
// the system's may change how this volume is read.
const std::vector<std::pair<std::string, std::string>> kEnvironment = {
    {"MTOOLS_SKIP_CHECK", "1"}, // images whose geometry it does not expect
    {"MTOOLSRC", "/dev/null"},
    {"LC_ALL", "C.UTF-8"},
};

std::string Normal(const std::string& path)
{
    std::string normal = path;
    std::replace(normal.begin(), normal.end(), '\\', '/');
    if (normal.empty() || normal[0] != '/')
        normal = "/" + normal;
    while (normal.size() > 1 && normal.back() == '/')
        normal.pop_back();
    return normal;
}

// mtools' message, made one line: what the person reads after the step.
std::string Message(const ChildResult& result)
{
    std::string text = result.errors.empty() ? result.output : result.errors;
    std::replace(text.begin(), text.end(), '\n', ' ');
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text.empty() ? "exit status " + std::to_string(result.status) : text;
}

} // namespace

FatFs::FatFs(CommitFiles& files, std::string path, VmImage* image, std::uint64_t offset, std::uint64_t size,
             std::string partition)
    : files_(files), path_(std::move(path)), vm_(image), offset_(offset), size_(size), partition_(std::move(partition))
{
}

FatFs::~FatFs()
{
    if (fd_ >= 0)
        close(fd_);
    if (!folder_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
}

std::unique_ptr<FatFs> FatFs::Open(CommitFiles& files, const std::string& path, VmImage* image,
                                   std::uint64_t offset, std::uint64_t size, const std::string& partition,
                                   std::string* error)
{
    std::unique_ptr<FatFs> fs(new FatFs(files, path, image, offset, size, partition));
    std::string real;
    if (image != nullptr) {
        // mtools is another process: it opens the mirror by this one's
        // descriptor of it. The whole FAT is copied there, which an EFI or
        // BIOS system partition, of a few hundred MiB at most, allows.
        if (size > kLargestMirroredFat) {
            *error = partition + " is a FAT of " + std::to_string(size >> 20) +
                     " MiB inside a VM image: only one of up to 4 GiB is read in place (convert the image to raw)";
            return nullptr;
        }
        if (!MirrorVmImage(*image, offset, size, error))
            return nullptr;
        real = VmImageMirrorPath(*image);
    } else {
        real = RealPath(path);
        // A device is taken exclusively, so that nothing mounts it while
        // mtools writes beneath.
        struct stat st;
        bool device = !real.empty() && stat(real.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
        fs->fd_ = real.empty() ? -1 : OpenNoWait(real.c_str(), O_RDONLY | (device ? O_EXCL : 0));
        if (fs->fd_ < 0) {
            *error = "cannot open " + path + ": " + std::strerror(errno);
            return nullptr;
        }
    }
    // mtools takes the offset after "@@" in the name it is given: a link of
    // a name of ours keeps whatever the disk's own name holds out of it.
    // An absolute folder whose name mtools cannot take for an option or an
    // offset.
    const char* temp = std::getenv("TMPDIR");
    std::string base = temp && *temp ? RealPath(temp) : "";
    if (base.empty() || base.find("@@") != std::string::npos)
        base = "/tmp";
    std::string folder = MakeRunFolder(base, "voskarelle-");
    if (folder.empty()) {
        *error = "cannot make a folder for mtools in " + FolderOf(folder) + ": " + std::strerror(errno);
        return nullptr;
    }
    fs->folder_ = folder;
    if (symlink(real.c_str(), (folder + "/disk").c_str()) != 0) {
        *error = "cannot make a folder for mtools in " + FolderOf(folder) + ": " + std::strerror(errno);
        return nullptr;
    }
    fs->image_ = folder + "/disk@@" + std::to_string(offset);
    // libblkid found a FAT there; what mtools cannot read of it, its first
    // run says.
    return fs;
}

bool FatFs::Mtools(const std::string& program, std::vector<std::string> args, std::string* output,
                   std::string* error)
{
    // What the volume lists and holds changes with anything written to it.
    bool writes = program != "mdir" && program != "minfo" &&
                  !(program == "mcopy" && args.size() == 3 && args[0] == "-n") &&
                  !(program == "mattrib" && args.size() == 1);
    if (writes) {
        listed_ = false;
        lastRead_.clear();
        // A VM image is served read-only until something is written to it.
        if (vm_ != nullptr && OpenVmImage(path_, true, error) == nullptr)
            return false;
    }
    args.insert(args.begin(), {program, "-i", image_});
    ChildResult result = files_.Run(args, kEnvironment);
    // What it wrote into a VM image's mirror reaches the image now, whole
    // or not at all, whether or not it ended well.
    bool torn = false;
    std::string why;
    if (writes && vm_ != nullptr && !SyncVmImageMirror(*vm_, offset_, size_, files_, &torn, &why)) {
        if (torn)
            damage = partition_ + " may be partly written: " + why;
        *error = program + ": " + why;
        return false;
    }
    if (!result.started) {
        *error = errno == ENOENT ? program + " is not installed (Debian package mtools)"
                                 : "cannot run " + program + ": " + std::strerror(errno);
        return false;
    }
    if (result.status != 0) {
        *error = program + ": " + Message(result);
        return false;
    }
    *output = std::move(result.output);
    return true;
}

bool FatFs::Sync(std::string* error)
{
    // mtools writes through the page cache and does not flush.
    if (vm_ != nullptr ? files_.FlushImage(*vm_) : files_.Fsync(fd_) == 0)
        return true;
    *error = "cannot flush " + partition_ + ": " + std::strerror(errno);
    return false;
}

bool FatFs::Resolve(const std::string& path, std::string* stored, bool* missing, std::string* error)
{
    *missing = false;
    std::string normal = Normal(path);
    // Each name as its folder lists it: FAT finds names in any case, and
    // what is written beside a file is named as the file is.
    std::string at = "/";
    for (std::size_t start = 1; start <= normal.size();) {
        std::size_t end = normal.find('/', start);
        std::string name = normal.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? normal.size() + 1 : end + 1;
        if (name.empty() || name == ".")
            continue;
        if (name == "..") {
            *error = Name(normal) + ": \"..\" leads out of the path";
            return false;
        }
        std::vector<std::string> names;
        if (!List(at, &names, error))
            return false;
        auto found = std::find_if(names.begin(), names.end(), [&](const std::string& n) { return n == name; });
        if (found == names.end())
            found = std::find_if(names.begin(), names.end(),
                                 [&](const std::string& n) { return CompareNoCase(n, name) == 0; });
        if (found == names.end()) {
            *missing = true;
            *error = Name(JoinPath(at, name)) + ": no such file";
            return false;
        }
        at = JoinPath(at, *found);
    }
    *stored = at;
    return true;
}

bool FatFs::Facts(const std::string& path, FileFacts* facts, std::string* error)
{
    *facts = {};
    std::string normal = Normal(path);
    if (normal == "/") {
        facts->type = FileFacts::Type::Folder;
        facts->what = "a folder";
        return true;
    }
    // What its folder lists, in any case: a name marked as a folder is one.
    const Listing* listing = nullptr;
    if (!Listed(FolderOf(normal), &listing, error)) {
        if (listing == nullptr && error->find("not found") != std::string::npos) {
            error->clear();
            return true; // no such folder: no such file
        }
        return false;
    }
    std::string name = BaseName(normal);
    for (const auto& [entry, folder] : *listing) {
        if (CompareNoCase(entry, name) != 0)
            continue;
        facts->type = folder ? FileFacts::Type::Folder : FileFacts::Type::Regular;
        facts->what = folder ? "a folder" : "a file";
        return true;
    }
    return true;
}

bool FatFs::Listed(const std::string& folder, const Listing** listing, std::string* error)
{
    *listing = nullptr;
    auto lower = [](std::string text) {
        std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
        return text;
    };
    if (!listed_) {
        // The whole volume in one run: an EFI system partition holds few
        // files, and every run of mtools costs a process.
        std::string output;
        if (!Mtools("mdir", {"-/", "-a", "-b", "::/"}, &output, error)) {
            *error = Name("/") + ": cannot be listed: " + *error;
            return false;
        }
        listings_.clear();
        listings_["/"];
        for (std::size_t at = 0; at < output.size();) {
            std::size_t end = output.find('\n', at);
            std::string line = output.substr(at, end == std::string::npos ? std::string::npos : end - at);
            at = end == std::string::npos ? output.size() : end + 1;
            if (!line.starts_with("::/"))
                continue;
            std::string path = line.substr(2);
            bool isFolder = path.size() > 1 && path.back() == '/';
            while (path.size() > 1 && path.back() == '/')
                path.pop_back();
            std::string name = BaseName(path);
            if (name.empty() || name == "." || name == "..")
                continue;
            listings_[lower(FolderOf(path))].emplace_back(name, isFolder);
            if (isFolder)
                listings_[lower(path)];
        }
        listed_ = true;
    }
    auto found = listings_.find(lower(Normal(folder)));
    if (found == listings_.end()) {
        *error = Name(Normal(folder)) + ": not found";
        return false;
    }
    *listing = &found->second;
    return true;
}

bool FatFs::List(const std::string& folder, std::vector<std::string>* names, std::string* error)
{
    names->clear();
    const Listing* listing = nullptr;
    if (!Listed(folder, &listing, error))
        return false;
    for (const auto& [name, isFolder] : *listing)
        names->push_back(name);
    std::sort(names->begin(), names->end());
    return true;
}

bool FatFs::Read(const std::string& path, std::vector<std::uint8_t>* bytes, std::string* error)
{
    bytes->clear();
    if (!lastRead_.empty() && lastRead_ == Normal(path)) {
        *bytes = lastBytes_;
        return true;
    }
    std::string output;
    if (!Mtools("mcopy", {"-n", "::" + Normal(path), "-"}, &output, error)) {
        *error = Name(path) + ": cannot be read: " + *error;
        return false;
    }
    bytes->assign(output.begin(), output.end());
    lastRead_ = Normal(path);
    lastBytes_ = *bytes;
    return true;
}

bool FatFs::ReadStart(const std::string& path, std::size_t size, std::vector<std::uint8_t>* bytes,
                      std::string* error)
{
    if (!Read(path, bytes, error))
        return false;
    if (bytes->size() > size)
        bytes->resize(size);
    return true;
}

std::string FatFs::WhyNotWritable(const std::string&)
{
    return "";
}

bool FatFs::Keep(const std::string& path, FileKeep* keep, std::string* error)
{
    std::string output;
    if (!Mtools("mattrib", {"::" + Normal(path)}, &output, error)) {
        *error = Name(path) + ": " + *error;
        return false;
    }
    // "  A  SHR     ::/EFI/Microsoft/Boot/BCD": the attributes before the name.
    std::string flags = output.substr(0, output.find("::"));
    keep->attributes = (flags.find('R') != std::string::npos ? 0x01u : 0u) |
                       (flags.find('H') != std::string::npos ? 0x02u : 0u) |
                       (flags.find('S') != std::string::npos ? 0x04u : 0u) |
                       (flags.find('A') != std::string::npos ? 0x20u : 0u);
    return true;
}

bool FatFs::CreateNew(const std::string& path, std::span<const std::uint8_t> bytes, const FileKeep& keep,
                      std::string* error)
{
    std::string normal = Normal(path);
    FileFacts facts;
    if (!Facts(normal, &facts, error))
        return false;
    if (facts.type != FileFacts::Type::Missing) {
        *error = "cannot make " + Name(normal) + ": it exists";
        errno = EEXIST;
        return false;
    }
    // The bytes reach mtools as a file of ours.
    std::string source = folder_ + "/new";
    unlink(source.c_str());
    int fd = open(source.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    bool staged = fd >= 0 && WriteAll(fd, bytes.data(), bytes.size());
    int why = errno;
    if (fd >= 0 && close(fd) != 0 && staged) {
        staged = false;
        why = errno;
    }
    if (!staged) {
        unlink(source.c_str());
        *error = "cannot make " + Name(normal) + ": cannot stage it in " + folder_ + ": " + std::strerror(why);
        errno = why;
        return false;
    }
    std::string output, why2;
    bool made = Mtools("mcopy", {source, "::" + normal}, &output, &why2);
    unlink(source.c_str());
    std::vector<std::string> flags;
    for (auto [bit, flag] : {std::pair{0x01u, "+r"}, std::pair{0x02u, "+h"}, std::pair{0x04u, "+s"}})
        if (keep.attributes & bit)
            flags.push_back(flag);
    if (made && !flags.empty()) {
        flags.push_back("::" + normal);
        made = Mtools("mattrib", flags, &output, &why2);
    }
    if (made && !Sync(&why2))
        made = false;
    if (made)
        return true;
    std::string ignored;
    Remove(normal, &ignored);
    *error = "cannot make " + Name(normal) + ": " + why2;
    errno = EIO;
    return false;
}

bool FatFs::Remove(const std::string& path, std::string* error)
{
    std::string normal = Normal(path);
    FileFacts facts;
    if (!Facts(normal, &facts, error))
        return false;
    if (facts.type == FileFacts::Type::Missing)
        return true;
    std::string output;
    if (!Mtools("mdel", {"::" + normal}, &output, error) || !Sync(error)) {
        *error = "cannot remove " + Name(normal) + ": " + *error;
        return false;
    }
    return true;
}

bool FatFs::MakeFolder(const std::string& path, std::string* error)
{
    std::string normal = Normal(path);
    std::string output;
    if (!Mtools("mmd", {"::" + normal}, &output, error) || !Sync(error)) {
        *error = "cannot make the folder " + Name(normal) + ": " + *error;
        return false;
    }
    return true;
}

bool FatFs::MoveNoReplace(const std::string& from, const std::string& to, std::string* error)
{
    FileFacts facts;
    if (!Facts(to, &facts, error))
        return false;
    if (facts.type != FileFacts::Type::Missing) {
        *error = "cannot move " + Name(from) + " to " + Name(to) + ": it exists";
        errno = EEXIST;
        return false;
    }
    std::string output;
    if (!Mtools("mren", {"::" + Normal(from), "::" + Normal(to)}, &output, error) || !Sync(error)) {
        *error = "cannot move " + Name(from) + " to " + Name(to) + ": " + *error;
        errno = EIO;
        return false;
    }
    return true;
}

bool FatFs::Replace(const std::string& from, const std::string& to, std::string* error)
{
    // FAT has no rename over a file: the original steps aside to a name of
    // ours, the new file takes its name, then the original goes; a failure
    // between the two puts the original back under its name.
    std::string hold = JoinPath(FolderOf(Normal(to)), "." + BaseName(Normal(to)) + ".voskarelle-old");
    std::string ignored, why;
    auto fail = [&](const std::string& reason, bool asItWas) {
        *error = "cannot put " + Name(from) + " in place of " + Name(to) + ": " + reason + "; " +
                 (asItWas ? Name(to) + " is as it was" : "the original is kept as " + Name(hold));
        return false;
    };
    auto present = [&](const std::string& path) {
        FileFacts facts;
        std::string unused;
        return !Facts(path, &facts, &unused) || facts.type != FileFacts::Type::Missing;
    };
    if (!Remove(hold, &why))
        return fail(why, true);
    if (!MoveNoReplace(to, hold, &why)) {
        // The rename may have happened before its flush failed.
        if (!present(to))
            MoveNoReplace(hold, to, &ignored);
        return fail(why, present(to));
    }
    if (!MoveNoReplace(from, to, &why)) {
        if (present(to))
            MoveNoReplace(to, from, &ignored);
        bool restored = !present(to) && MoveNoReplace(hold, to, &ignored);
        if (!restored)
            damage = "the original of " + Name(to) + " is kept as " + Name(hold) + "; put it back under its name";
        return fail(why, restored);
    }
    Clear(hold, &ignored); // should it fail, the original stays beside it
    return true;
}

bool FatFs::Flush(const std::string&, std::string* error)
{
    // A write that could not be taken back leaves a volume that cannot be
    // called safely written.
    if (!damage.empty()) {
        *error = damage;
        return false;
    }
    return Sync(error);
}
