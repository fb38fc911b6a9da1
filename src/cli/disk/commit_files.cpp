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
