#include "cli/fs/file_read.h"

#include "cli/machine/fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

std::string Reason(const std::string& path, int error)
{
    return path + ": cannot be read: " + std::strerror(error);
}

// A descriptor of the regular file at path, or -1 with the reason.
int OpenRegularFile(const std::string& path, const std::string& name, struct stat* st, std::string* error)
{
    mode_t mode = 0;
    int fd = OpenNoWait(path.c_str(), O_RDONLY, &mode);
    if (fd >= 0 && fstat(fd, st) == 0 && S_ISREG(st->st_mode))
        return fd;
    if (fd >= 0 || errno == EMEDIUMTYPE)
        *error = name + ": cannot be read: it is " + FileTypeName(fd >= 0 ? st->st_mode : mode) +
                 ", not a regular file";
    else
        *error = Reason(name, errno);
    if (fd >= 0)
        close(fd);
    return -1;
}

// Reads until size bytes are in or the file ends; -1 on an error.
ssize_t ReadFull(int fd, std::uint8_t* buffer, std::size_t size)
{
    std::size_t got = 0;
    while (got < size) {
        ssize_t n = read(fd, buffer + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

} // namespace

bool ReadWholeFile(const std::string& path, const std::string& name, std::vector<std::uint8_t>* bytes,
                   std::string* error)
{
    bytes->clear();
    struct stat st;
    Fd fd(OpenRegularFile(path, name, &st, error));
    if (fd.get() < 0)
        return false;
    std::size_t size = static_cast<std::size_t>(st.st_size);
    // One byte more than the size tells a file that grew meanwhile.
    bytes->resize(size + 1);
    ssize_t got = ReadFull(fd.get(), bytes->data(), bytes->size());
    if (got < 0) {
        *error = Reason(name, errno);
        bytes->clear();
        return false;
    }
    if (static_cast<std::size_t>(got) != size) {
        *error = name + ": cannot be read whole: it holds " + std::to_string(got) + " bytes where its size is " +
                 std::to_string(size);
        bytes->clear();
        return false;
    }
    bytes->resize(size);
    return true;
}

bool ReadFileStart(const std::string& path, const std::string& name, std::uint8_t* buffer, std::size_t size,
                   std::size_t* got, std::string* error)
{
    *got = 0;
    struct stat st;
    Fd fd(OpenRegularFile(path, name, &st, error));
    if (fd.get() < 0)
        return false;
    ssize_t n = ReadFull(fd.get(), buffer, size);
    if (n < 0) {
        *error = Reason(name, errno);
        return false;
    }
    std::size_t expected = std::min<std::size_t>(size, static_cast<std::size_t>(st.st_size));
    if (static_cast<std::size_t>(n) < expected) {
        *error = name + ": cannot be read whole: it ended after " + std::to_string(n) + " bytes";
        return false;
    }
    *got = static_cast<std::size_t>(n);
    return true;
}
