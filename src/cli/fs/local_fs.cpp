#include "cli/fs/local_fs.h"

#include "cli/machine/fd.h"
#include "cli/machine/files.h"
#include "cli/fs/file_read.h"
#include "mounttable/text.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

std::string Why(int error)
{
    return std::strerror(error);
}

// Sets a file's mode; a file system that keeps no modes (ntfs-3g, vfat) may
// refuse, which matters only when the mode it shows differs.
bool SetMode(int fd, mode_t mode)
{
    if (fchmod(fd, mode) == 0)
        return true;
    int saved = errno;
    struct stat st;
    if (fstat(fd, &st) == 0 && (st.st_mode & 07777) == mode)
        return true;
    errno = saved;
    return false;
}

// Gives a file its owner where this process may (only root may give a file
// away); the mode is what guards it where it may not.
void GiveOwner(int fd, uid_t uid, gid_t gid)
{
    if (fchown(fd, uid, gid) != 0) {
        // Not root, or a file system that keeps no owners (vfat, ntfs-3g).
    }
}

// Copies from into to, which must not exist yet, with the mode and owner
// given, and flushes it. Every byte of from or nothing: false with errno
// set, and no partial copy left.
bool CopyToNewFile(const char* from, const char* to, const FileKeep& keep, CommitFiles& files)
{
    Fd in(OpenNoWait(from, O_RDONLY));
    if (in.get() < 0)
        return false;
    struct stat st;
    if (fstat(in.get(), &st) != 0)
        return false;
    if (!S_ISREG(st.st_mode)) {
        errno = EMEDIUMTYPE;
        return false;
    }
    int out = open(to, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0)
        return false;
    bool ok = true;
    std::uint64_t copied = 0;
    for (;;) {
        ssize_t n = files.CopyChunk(in.get(), out, 1 << 30);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0)
            break;
        copied += static_cast<std::uint64_t>(n);
    }
    if (ok && copied != static_cast<std::uint64_t>(st.st_size)) {
        ok = false; // the file ended early or grew: no faithful copy
        errno = EIO;
    }
    ok = ok && SetMode(out, keep.mode & 07777);
    if (ok)
        GiveOwner(out, keep.uid, keep.gid);
    ok = ok && files.Fsync(out) == 0;
    int saved = errno;
    if (close(out) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (!ok) {
        unlink(to);
        errno = saved;
    }
    return ok;
}

// One step of setting a file aside, never replacing an existing one.
int MoveWithoutReplacing(const char* from, const char* to, CommitFiles& files)
{
    if (files.RenameNoReplace(from, to) == 0)
        return 0;
    if (!Unsupported(errno))
        return -1;
    // FUSE file systems (ntfs-3g) answer RENAME_NOREPLACE with EINVAL: a
    // hard link fails on an existing name just as well.
    if (files.Link(from, to) == 0) {
        if (unlink(from) == 0)
            return 0;
        int saved = errno;
        unlink(to);
        errno = saved;
        return -1;
    }
    if (errno == EEXIST || !(errno == EPERM || errno == EMLINK || Unsupported(errno)))
        return -1;
    // No hard links either (vfat): take the name with O_EXCL, then rename
    // over that empty file of our own.
    int fd = open(to, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    close(fd);
    if (files.Rename(from, to) == 0)
        return 0;
    int saved = errno;
    unlink(to);
    errno = saved;
    return -1;
}

// The entry of folder named name as Windows would find it: the same name,
// else the one name equal to it in any case.
bool FindNoCase(const std::string& folder, const std::string& name, std::string* found, bool* missing,
                std::string* error)
{
    struct stat st;
    if (lstat(JoinPath(folder, name).c_str(), &st) == 0) {
        *found = name;
        return true;
    }
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        *error = folder + ": cannot be listed: " + Why(errno);
        return false;
    }
    std::vector<std::string> matches;
    errno = 0;
    while (dirent* entry = readdir(dir))
        if (CompareNoCase(entry->d_name, name) == 0)
            matches.push_back(entry->d_name);
    int listed = errno;
    closedir(dir);
    if (listed != 0) {
        *error = folder + ": cannot be listed: " + Why(listed);
        return false;
    }
    if (matches.size() == 1) {
        *found = matches.front();
        return true;
    }
    if (matches.empty())
        *missing = true;
    *error = matches.empty() ? JoinPath(folder, name) + ": no such file"
                             : folder + " holds more than one " + name + " told apart only by case";
    return false;
}

} // namespace

std::string FolderOf(const std::string& path)
{
    std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path)
{
    return path.substr(path.find_last_of('/') + 1);
}

std::string JoinPath(const std::string& folder, const std::string& name)
{
    return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

bool FileSystem::MakeFolder(const std::string& path, std::string* error)
{
    *error = "cannot make the folder " + Name(path) + " here";
    errno = ENOTSUP;
    return false;
}

bool FileSystem::Copy(const std::string& from, const std::string& to, const FileKeep& keep, std::string* error)
{
    std::vector<std::uint8_t> bytes;
    return Read(from, &bytes, error) && CreateNew(to, bytes, keep, error);
}



std::string LocalFs::Name(const std::string& path) const
{
    if (partition_.empty())
        return path;
    std::string inside = path.substr(std::min(path.size(), mountPoint_ == "/" ? 0 : mountPoint_.size()));
    return partition_ + ":" + (inside.empty() ? "/" : inside);
}

bool LocalFs::Resolve(const std::string& path, std::string* stored, bool* missing, std::string* error)
{
    *missing = false;
    if (partition_.empty()) {
        // Everything happens beside the real file: a link to it stays a
        // link, and a bare name gets the same checks as a full one.
        *stored = RealPath(path);
        if (!stored->empty())
            return true;
        *missing = errno == ENOENT;
        *error = path + ": " + (errno == ENOENT ? "no such file" : Why(errno));
        return false;
    }
    std::string at = mountPoint_;
    std::size_t start = 0;
    while (start < path.size()) {
        std::size_t end = path.find_first_of("/\\", start);
        std::string name = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? path.size() : end + 1;
        if (name.empty() || name == ".")
            continue;
        if (name == "..") {
            *error = Name(JoinPath(at, path)) + ": \"..\" leads out of the path";
            return false;
        }
        std::string found;
        if (!FindNoCase(at, name, &found, missing, error)) {
            if (*missing)
                *error = Name(JoinPath(at, name)) + ": no such file";
            return false;
        }
        at = JoinPath(at, found);
        // A link would lead out of the partition, and be replaced by a file.
        struct stat st;
        if (lstat(at.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
            *error = Name(at) + ": is a symbolic link; inside a partition, the command follows none";
            return false;
        }
    }
    *stored = at;
    return true;
}

bool LocalFs::Facts(const std::string& path, FileFacts* facts, std::string* error)
{
    *facts = {};
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return true;
        *error = Name(path) + ": " + Why(errno);
        return false;
    }
    facts->size = static_cast<std::uint64_t>(st.st_size);
    facts->type = S_ISREG(st.st_mode)   ? FileFacts::Type::Regular
                  : S_ISDIR(st.st_mode) ? FileFacts::Type::Folder
                                        : FileFacts::Type::Other;
    facts->what = FileTypeName(st.st_mode);
    return true;
}

bool LocalFs::List(const std::string& folder, std::vector<std::string>* names, std::string* error)
{
    names->clear();
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        *error = Name(folder) + ": cannot be listed: " + Why(errno);
        return false;
    }
    errno = 0;
    while (dirent* entry = readdir(dir))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names->emplace_back(entry->d_name);
    int listed = errno;
    closedir(dir);
    std::sort(names->begin(), names->end());
    if (listed != 0)
        *error = Name(folder) + ": cannot be listed: " + Why(listed);
    return listed == 0;
}

bool LocalFs::Read(const std::string& path, std::vector<std::uint8_t>* bytes, std::string* error)
{
    return ReadWholeFile(path, Name(path), bytes, error);
}

bool LocalFs::ReadStart(const std::string& path, std::size_t size, std::vector<std::uint8_t>* bytes,
                        std::string* error)
{
    bytes->assign(size, 0);
    std::size_t got = 0;
    bool read = ReadFileStart(path, Name(path), bytes->data(), size, &got, error);
    bytes->resize(read ? got : 0);
    return read;
}

std::string LocalFs::WhyNotWritable(const std::string& path)
{
    if (readOnly_)
        return "it is mounted read-only at " + mountPoint_ + "; remount it read-write to change it";
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 ||
                                         access(path.c_str(), W_OK) != 0))
        return "is read-only";
    if (access(FolderOf(path).c_str(), W_OK) != 0)
        return "its folder is read-only, so no new file can be written beside it";
    return "";
}

bool LocalFs::Keep(const std::string& path, FileKeep* keep, std::string* error)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        *error = Name(path) + ": " + Why(errno);
        return false;
    }
    keep->mode = st.st_mode & 07777;
    keep->uid = st.st_uid;
    keep->gid = st.st_gid;
    return true;
}

bool LocalFs::CreateNew(const std::string& path, std::span<const std::uint8_t> bytes, const FileKeep& keep,
                        std::string* error)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        int saved = errno;
        *error = "cannot make " + Name(path) + ": " + Why(saved);
        errno = saved;
        return false;
    }
    std::string step;
    if (!WriteAll(fd, bytes.data(), bytes.size()))
        step = "cannot write ";
    else if (!SetMode(fd, keep.mode & 07777))
        step = "cannot give the original's mode to ";
    else if (GiveOwner(fd, keep.uid, keep.gid), files_.Fsync(fd) != 0)
        step = "cannot flush ";
    int saved = errno;
    if (close(fd) != 0 && step.empty()) {
        step = "cannot flush ";
        saved = errno;
    }
    if (step.empty())
        return true;
    unlink(path.c_str());
    *error = step + Name(path) + ": " + Why(saved);
    errno = saved;
    return false;
}

bool LocalFs::Copy(const std::string& from, const std::string& to, const FileKeep& keep, std::string* error)
{
    if (CopyToNewFile(from.c_str(), to.c_str(), keep, files_))
        return true;
    int saved = errno;
    *error = "cannot copy " + Name(from) + " to " + Name(to) + ": " + Why(saved);
    errno = saved;
    return false;
}

bool LocalFs::Replace(const std::string& from, const std::string& to, std::string* error)
{
    if (files_.Rename(from.c_str(), to.c_str()) == 0)
        return true;
    *error = "cannot rename " + Name(from) + " over " + Name(to) + ": " + Why(errno);
    return false;
}

bool LocalFs::MoveNoReplace(const std::string& from, const std::string& to, std::string* error)
{
    if (MoveWithoutReplacing(from.c_str(), to.c_str(), files_) == 0)
        return true;
    int saved = errno;
    *error = "cannot move " + Name(from) + " to " + Name(to) + ": " + Why(saved);
    errno = saved;
    return false;
}

bool LocalFs::Remove(const std::string& path, std::string* error)
{
    if (unlink(path.c_str()) == 0 || errno == ENOENT)
        return true;
    *error = "cannot remove " + Name(path) + ": " + Why(errno);
    return false;
}

bool LocalFs::Flush(const std::string& folder, std::string* error)
{
    return FlushFolder(folder, files_, error);
}
