#include "cli/commit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

std::string Reason(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

bool WriteAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

std::string FolderOf(const std::string& path)
{
    std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

int CommitFiles::Fsync(int fd)
{
    return fsync(fd);
}

int CommitFiles::Rename(const char* from, const char* to)
{
    return rename(from, to);
}

bool CommitFiles::CopyToNewFile(const char* from, const char* to)
{
    int in = open(from, O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return false;
    int out = open(to, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) {
        int saved = errno;
        close(in);
        errno = saved;
        return false;
    }
    // The kernel copies (or shares the blocks, where the file system can);
    // a plain read and write loop where it cannot.
    bool ok = true;
    bool inKernel = true;
    std::vector<char> buffer;
    for (;;) {
        ssize_t n;
        if (inKernel) {
            n = copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
            if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
                inKernel = false;
                buffer.resize(1 << 20);
                continue;
            }
        } else {
            n = read(in, buffer.data(), buffer.size());
            if (n > 0 && !WriteAll(out, buffer.data(), static_cast<std::size_t>(n)))
                n = -1;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
    }
    struct stat st;
    if (ok && fstat(in, &st) == 0)
        fchmod(out, st.st_mode & 07777);
    // Writing back starts now; the flush that waits for it comes just before
    // the rename, so the disk works while the new hive is being made.
    if (ok)
        sync_file_range(out, 0, 0, SYNC_FILE_RANGE_WRITE);
    int saved = errno;
    ok = close(out) == 0 && ok;
    close(in);
    if (!ok) {
        unlink(to);
        errno = saved;
    }
    return ok;
}

std::string BackupName(const std::string& hive, std::time_t when)
{
    std::tm utc{};
    gmtime_r(&when, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    return hive + ".voskarelle-" + stamp;
}

bool CommitHive(HiveFileRegistry& registry, const std::string& hive, std::string* backup, CommitFiles& files,
                std::string* error)
{
    struct stat original;
    if (stat(hive.c_str(), &original) != 0) {
        *error = Reason(hive);
        return false;
    }
    if (backup != nullptr) {
        // A second run within the same second gets a numbered name rather
        // than overwriting the first backup.
        std::string base = BackupName(hive, std::time(nullptr));
        for (int n = 1;; ++n) {
            *backup = base + (n == 1 ? "" : "-" + std::to_string(n)) + ".bak";
            if (files.CopyToNewFile(hive.c_str(), backup->c_str()))
                break;
            if (errno != EEXIST || n == 100) {
                *error = Reason("cannot make the backup " + *backup);
                return false;
            }
        }
    }

    // Until the rename the original is untouched, and a copy of it is clutter.
    auto dropBackup = [&] {
        if (backup != nullptr) {
            unlink(backup->c_str());
            backup->clear();
        }
    };
    std::string folder = FolderOf(hive);
    std::string name = hive.substr(hive.find_last_of('/') + 1);
    std::string temp = folder + "/." + name + ".voskarelle-XXXXXX";
    int fd = mkstemp(temp.data());
    if (fd < 0) {
        *error = Reason("cannot make a new file in " + folder);
        dropBackup();
        return false;
    }
    close(fd);
    auto fail = [&](const std::string& reason) {
        *error = reason;
        unlink(temp.c_str());
        dropBackup();
        return false;
    };
    std::string why;
    if (!registry.CommitTo(temp.c_str(), &why))
        return fail(why);
    fd = open(temp.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return fail(Reason(temp));
    fchmod(fd, original.st_mode & 07777);
    if (fchown(fd, original.st_uid, original.st_gid) != 0) {
        // Only root may give a file away; the mode is what matters here.
    }
    if (files.Fsync(fd) != 0) {
        std::string reason = Reason("cannot flush " + temp);
        close(fd);
        return fail(reason);
    }
    close(fd);
    if (backup != nullptr) {
        fd = open(backup->c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || files.Fsync(fd) != 0) {
            std::string reason = Reason("cannot flush the backup " + *backup);
            if (fd >= 0)
                close(fd);
            return fail(reason);
        }
        close(fd);
    }
    if (files.Rename(temp.c_str(), hive.c_str()) != 0)
        return fail(Reason("cannot rename " + temp + " over " + hive));

    int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool flushed = dir >= 0 && files.Fsync(dir) == 0;
    if (!flushed)
        *error = Reason("the new hive is in place, but its folder " + folder + " could not be flushed");
    if (dir >= 0)
        close(dir);
    return flushed;
}

std::string MoveAside(const std::string& log)
{
    std::string base = BackupName(log, std::time(nullptr));
    for (int n = 1; n <= 100; ++n) {
        std::string aside = base + (n == 1 ? "" : "-" + std::to_string(n)) + ".bak";
        if (renameat2(AT_FDCWD, log.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0)
            return aside;
        if (errno != EEXIST)
            break;
    }
    return {};
}
