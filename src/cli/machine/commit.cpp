#include "cli/machine/commit.h"

#include "cli/machine/fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

namespace {

std::string Reason(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

bool Unsupported(int error)
{
    return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == ENOTSUP;
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
// given, and starts writing it back (the flush that waits for it comes
// before the rename, so the disk works while the new hive is made). Every
// byte of from or nothing: false with errno set, and no partial copy left.
bool CopyToNewFile(const char* from, const char* to, mode_t mode, uid_t uid, gid_t gid, CommitFiles& files)
{
    int in = OpenNoWait(from, O_RDONLY);
    if (in < 0)
        return false;
    struct stat st;
    if (fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        int saved = S_ISREG(st.st_mode) ? errno : EINVAL;
        close(in);
        errno = saved;
        return false;
    }
    int out = open(to, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) {
        int saved = errno;
        close(in);
        errno = saved;
        return false;
    }
    bool ok = true;
    std::uint64_t copied = 0;
    for (;;) {
        ssize_t n = files.CopyChunk(in, out, 1 << 30);
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
    ok = ok && SetMode(out, mode & 07777);
    if (ok)
        GiveOwner(out, uid, gid);
    if (ok)
        sync_file_range(out, 0, 0, SYNC_FILE_RANGE_WRITE); // a hint only; the fsync is checked
    int saved = errno;
    if (close(out) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    close(in);
    if (!ok) {
        unlink(to);
        errno = saved;
    }
    return ok;
}

bool FlushFile(const std::string& path, CommitFiles& files)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    if (files.Fsync(fd) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return false;
    }
    return close(fd) == 0;
}

// One step of setting a log aside, never replacing an existing file.
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

} // namespace

std::string FolderOf(const std::string& path)
{
    std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string RealPath(const std::string& path)
{
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
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

std::string BackupName(const std::string& hive, std::time_t when)
{
    std::tm utc{};
    gmtime_r(&when, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    return hive + ".voskarelle-" + stamp;
}

bool PrepareReplacement(HiveFileRegistry& registry, const std::string& target, bool withBackup, CommitFiles& files,
                        PreparedFile* prepared, std::string* error)
{
    *prepared = {target, "", ""};
    struct stat original;
    if (stat(target.c_str(), &original) != 0) {
        *error = Reason(target);
        return false;
    }
    prepared->mode = original.st_mode & 07777;
    prepared->uid = original.st_uid;
    prepared->gid = original.st_gid;
    auto fail = [&](const std::string& reason) {
        *error = reason;
        AbandonReplacement(*prepared);
        return false;
    };
    if (withBackup) {
        // A second run within the same second gets a numbered name rather
        // than overwriting the first backup.
        std::string base = BackupName(target, std::time(nullptr));
        for (int n = 1;; ++n) {
            std::string name = base + (n == 1 ? "" : "-" + std::to_string(n)) + ".bak";
            if (CopyToNewFile(target.c_str(), name.c_str(), prepared->mode, prepared->uid, prepared->gid, files)) {
                prepared->backup = name;
                break;
            }
            if (errno != EEXIST || n == 100)
                return fail(Reason("cannot make the backup " + name));
        }
    }
    std::string folder = FolderOf(target);
    std::string temp = folder + "/." + target.substr(target.find_last_of('/') + 1) + ".voskarelle-XXXXXX";
    int fd = mkstemp(temp.data());
    if (fd < 0)
        return fail(Reason("cannot make a new file in " + folder));
    prepared->temp = temp;
    // libhivex writes through the descriptor mkstemp opened, so that the
    // name cannot be swapped for a link between the two.
    std::string why;
    if (!registry.CommitTo(("/proc/self/fd/" + std::to_string(fd)).c_str(), &why)) {
        close(fd);
        return fail(why);
    }
    if (!SetMode(fd, prepared->mode)) {
        std::string reason = Reason("cannot give " + temp + " the hive's mode");
        close(fd);
        return fail(reason);
    }
    GiveOwner(fd, prepared->uid, prepared->gid);
    bool flushed = files.Fsync(fd) == 0;
    std::string reason = Reason("cannot flush " + temp);
    if (close(fd) != 0 && flushed) {
        flushed = false;
        reason = Reason("cannot flush " + temp);
    }
    if (!flushed)
        return fail(reason);
    if (!prepared->backup.empty() && !FlushFile(prepared->backup, files))
        return fail(Reason("cannot flush the backup " + prepared->backup));
    return true;
}

void AbandonReplacement(PreparedFile& prepared)
{
    if (!prepared.temp.empty())
        unlink(prepared.temp.c_str());
    if (!prepared.backup.empty())
        unlink(prepared.backup.c_str());
    prepared.temp.clear();
    prepared.backup.clear();
}

bool PutInPlace(PreparedFile& prepared, CommitFiles& files, std::string* error)
{
    if (files.Rename(prepared.temp.c_str(), prepared.target.c_str()) != 0) {
        *error = Reason("cannot rename " + prepared.temp + " over " + prepared.target);
        return false;
    }
    prepared.temp.clear();
    return true;
}

bool FlushFolder(const std::string& folder, CommitFiles& files, std::string* error)
{
    int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        *error = Reason("cannot open the folder " + folder);
        return false;
    }
    bool ok = files.Fsync(dir) == 0;
    if (!ok)
        *error = Reason("cannot flush the folder " + folder);
    close(dir);
    return ok;
}

CommitResult CommitHive(HiveFileRegistry& registry, const std::string& hive, std::string* backup, CommitFiles& files,
                        std::string* error)
{
    PreparedFile prepared;
    if (!PrepareReplacement(registry, hive, backup != nullptr, files, &prepared, error))
        return CommitResult::Failed;
    if (!PutInPlace(prepared, files, error)) {
        AbandonReplacement(prepared);
        return CommitResult::Failed;
    }
    if (backup != nullptr)
        *backup = prepared.backup;
    return FlushFolder(FolderOf(hive), files, error) ? CommitResult::Done : CommitResult::InPlaceNotFlushed;
}

bool PutBack(const PreparedFile& prepared, CommitFiles& files, std::string* error)
{
    if (prepared.backup.empty()) {
        *error = "no backup of " + prepared.target + " to put back";
        return false;
    }
    // A copy of the backup goes in place, so the backup itself stays; it
    // gets the original's mode and owner as they were before the commit,
    // whatever the backup could be given.
    std::string folder = FolderOf(prepared.target);
    std::string temp = folder + "/." + prepared.target.substr(prepared.target.find_last_of('/') + 1) +
                       ".voskarelle-restore";
    unlink(temp.c_str());
    if (!CopyToNewFile(prepared.backup.c_str(), temp.c_str(), prepared.mode, prepared.uid, prepared.gid, files) ||
        !FlushFile(temp, files)) {
        *error = Reason("cannot copy the backup " + prepared.backup);
        unlink(temp.c_str());
        return false;
    }
    if (files.Rename(temp.c_str(), prepared.target.c_str()) != 0) {
        *error = Reason("cannot rename the copy of " + prepared.backup + " over " + prepared.target);
        unlink(temp.c_str());
        return false;
    }
    std::string why;
    if (!FlushFolder(folder, files, &why))
        *error = "put back, but not yet safely on the disk: " + why;
    return true;
}

CommitResult CommitTogether(std::span<CommitTarget> targets, bool keepBackups, CommitFiles& files,
                            std::string* error)
{
    // Every new file is written and flushed before any original is replaced;
    // the backups are what a failed replacement of a later file is undone
    // from, so with several files they are made even when none is to be
    // kept. One file needs none: its rename is all or nothing.
    bool withBackups = keepBackups || targets.size() > 1;
    for (CommitTarget& target : targets) {
        if (!PrepareReplacement(*target.registry, target.path, withBackups, files, &target.prepared, error)) {
            for (CommitTarget& other : targets)
                AbandonReplacement(other.prepared);
            return CommitResult::Failed;
        }
    }
    CommitResult result = CommitResult::Done;
    for (std::size_t i = 0; i < targets.size(); ++i) {
        if (PutInPlace(targets[i].prepared, files, error)) {
            // Each rename is made durable before the next file is replaced:
            // the files are often on two file systems.
            std::string why;
            if (!FlushFolder(FolderOf(targets[i].path), files, &why)) {
                *error = why;
                result = CommitResult::InPlaceNotFlushed;
            }
            continue;
        }
        std::string undo;
        bool undone = true;
        for (std::size_t j = 0; j < i; ++j) {
            std::string why;
            if (!PutBack(targets[j].prepared, files, &why)) {
                undone = false;
                undo += "; " + targets[j].path + " could NOT be put back (" + why + "): its backup is " +
                        targets[j].prepared.backup;
            } else {
                undo += "; " + targets[j].path + " was put back as it was" + (why.empty() ? "" : " (" + why + ")");
            }
        }
        for (std::size_t j = i; j < targets.size(); ++j)
            AbandonReplacement(targets[j].prepared);
        if (undone)
            for (std::size_t j = 0; j < i; ++j)
                AbandonReplacement(targets[j].prepared);
        *error += undo;
        return undone ? CommitResult::Failed : CommitResult::PartlyInPlace;
    }
    // Backups nobody asked for go only when every file is safely in place.
    if (!keepBackups && result == CommitResult::Done) {
        for (CommitTarget& target : targets) {
            if (!target.prepared.backup.empty())
                unlink(target.prepared.backup.c_str());
            target.prepared.backup.clear();
        }
    }
    return result;
}

std::string MoveAside(const std::string& log, CommitFiles& files)
{
    std::string base = BackupName(log, std::time(nullptr));
    for (int n = 1; n <= 100; ++n) {
        std::string aside = base + (n == 1 ? "" : "-" + std::to_string(n)) + ".bak";
        if (MoveWithoutReplacing(log.c_str(), aside.c_str(), files) == 0)
            return aside;
        if (errno != EEXIST)
            break;
    }
    return {};
}
