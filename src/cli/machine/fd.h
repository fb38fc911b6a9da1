// An open file descriptor, closed when it goes out of scope, and writing
// all of a buffer to one.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    int get() const { return fd_; }
    void Reset(int fd = -1)
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }
    // Gives the descriptor up to another owner.
    int Release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes now, so that a failing close is seen.
    bool Close()
    {
        int fd = fd_;
        fd_ = -1;
        return close(fd) == 0;
    }

private:
    int fd_;
};

// Opens a regular file or a block device, and nothing else: the type is
// looked at through an O_PATH descriptor before the file is opened, since
// opening a FIFO planted where a hive or log should be would wait forever
// and opening a character device (a tape, a watchdog) acts on it. The file
// then opened is that very one, without blocking. -1 with errno set; errno
// is EMEDIUMTYPE when the type was refused, and *mode tells what it is.
inline int OpenNoWait(const char* path, int flags, mode_t* mode = nullptr)
{
    int probe = open(path, O_PATH | O_CLOEXEC);
    if (probe < 0)
        return -1;
    struct stat st;
    if (fstat(probe, &st) != 0) {
        int saved = errno;
        close(probe);
        errno = saved;
        return -1;
    }
    if (mode != nullptr)
        *mode = st.st_mode;
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
        close(probe);
        errno = EMEDIUMTYPE;
        return -1;
    }
    char self[48];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", probe);
    int fd = open(self, flags | O_NONBLOCK | O_CLOEXEC);
    int saved = errno;
    close(probe);
    if (fd < 0) {
        errno = saved;
        return -1;
    }
    int now = fcntl(fd, F_GETFL);
    if (now < 0 || fcntl(fd, F_SETFL, now & ~O_NONBLOCK) != 0) {
        saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

// What a file is, for a message that says why it is refused.
inline const char* FileTypeName(mode_t mode)
{
    if (S_ISREG(mode))
        return "a file";
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISSOCK(mode))
        return "a socket";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISLNK(mode))
        return "a symbolic link";
    return "no regular file";
}

// Moves size bytes at offset through step (pread, pwrite or one of their
// seams), as many calls as it takes; false with errno set when any cannot
// be moved (a disk that ends early counts as EIO).
template <typename Byte, typename Step>
bool AllAt(Step step, int fd, Byte* data, std::size_t size, off_t offset)
{
    while (size > 0) {
        ssize_t n = step(fd, data, size, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        offset += n;
    }
    return true;
}

inline bool ReadAllAt(int fd, void* data, std::size_t size, off_t offset)
{
    return AllAt(pread, fd, static_cast<char*>(data), size, offset);
}

inline bool WriteAllAt(int fd, const void* data, std::size_t size, off_t offset)
{
    return AllAt(pwrite, fd, static_cast<const char*>(data), size, offset);
}

// Writes all of data; false with errno set when any of it cannot be written
// (a write of nothing counts as EIO).
inline bool WriteAll(int fd, const void* data, std::size_t size)
{
    const char* at = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = write(fd, at, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        at += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}
