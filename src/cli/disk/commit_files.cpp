#include "cli/disk/commit_files.h"

#include "cli/machine/fd.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

bool Unsupported(int error)
{
    return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == ENOTSUP;
}

int CommitFiles::Fsync(int fd)
{
    return fsync(fd);
}

int CommitFiles::Rename(const char* from, const char* to)
{
    return rename(from, to);
}

int CommitFiles::RenameNoReplace(const char* from, const char* to)
{
    return renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
}

int CommitFiles::Link(const char* from, const char* to)
{
    return link(from, to);
}

ssize_t CommitFiles::CopyChunk(int in, int out, std::size_t max)
{
    // The kernel copies (or shares the blocks, where the file system can);
    // a plain read and write where it cannot, and to make sure that a 0
    // from it really is the end of the file.
    ssize_t n = copy_file_range(in, nullptr, out, nullptr, max, 0);
    if (n > 0 || (n < 0 && errno != EXDEV && !Unsupported(errno)))
        return n;
    char buffer[1 << 16];
    n = read(in, buffer, std::min(max, sizeof buffer));
    if (n > 0 && !WriteAll(out, buffer, static_cast<std::size_t>(n)))
        return -1;
    return n;
}

ssize_t CommitFiles::WriteAt(int fd, const void* data, std::size_t size, off_t offset)
{
    return pwrite(fd, data, size, offset);
}

ChildResult CommitFiles::Run(const std::vector<std::string>& argv,
                             const std::vector<std::pair<std::string, std::string>>& environment)
{
    return RunChild(argv, environment);
}

bool FlushFolder(const std::string& folder, CommitFiles& files, std::string* error)
{
    int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        *error = "cannot open the folder " + folder + ": " + std::strerror(errno);
        return false;
    }
    bool ok = files.Fsync(dir) == 0;
    if (!ok)
        *error = "cannot flush the folder " + folder + ": " + std::strerror(errno);
    close(dir);
    return ok;
}

std::string BackupName(const std::string& file, std::time_t when)
{
    std::tm utc{};
    gmtime_r(&when, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    return file + ".voskarelle-" + stamp;
}

bool SaveBackupFile(const std::string& base, const std::string& suffix, std::span<const std::uint8_t> bytes,
                    CommitFiles& files, std::string* path, std::string* error)
{
    // The earlier backup may be the only copy of the original.
    std::string stamped = BackupName(base, std::time(nullptr));
    std::string name;
    int out = -1;
    for (int n = 1; out < 0; ++n) {
        name = stamped + (n == 1 ? "" : "-" + std::to_string(n)) + suffix;
        out = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (out < 0 && (errno != EEXIST || n == 100)) {
            *error = "cannot make the backup " + name + ": " + std::strerror(errno);
            return false;
        }
    }
    Fd backup(out);
    std::string step;
    if (!WriteAll(backup.get(), bytes.data(), bytes.size()))
        step = "cannot write the backup ";
    else if (files.Fsync(backup.get()) != 0)
        step = "cannot flush the backup ";
    else if (!backup.Close())
        step = "cannot close the backup ";
    if (!step.empty()) {
        *error = step + name + ": " + (errno != 0 ? std::strerror(errno) : "an I/O error");
        unlink(name.c_str());
        return false;
    }
    std::size_t slash = name.rfind('/');
    std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : name.substr(0, slash);
    if (!FlushFolder(folder, files, error)) {
        unlink(name.c_str());
        return false;
    }
    *path = name;
    return true;
}
