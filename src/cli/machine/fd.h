// An open file descriptor, closed when it goes out of scope, and writing
// all of a buffer to one.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    int get() const { return fd_; }
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
