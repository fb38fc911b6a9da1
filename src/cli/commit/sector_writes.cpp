#include "cli/commit/sector_writes.h"

#include "cli/disk/vm_image.h"
#include "cli/disk/write_runs.h"
#include "cli/machine/fd.h"
#include "cli/machine/files.h"
#include "cli/machine/interrupt.h"
#include "cli/machine/printable.h"
#include "cli/machine/shell_quote.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace {

std::string Why(int error)
{
    return error != 0 ? std::strerror(error) : "an I/O error";
}

// The disk as opened for the change, and the calls that read and write it.
struct Target {
    VmImage* image = nullptr;
    Fd fd;
    CommitFiles* files = nullptr;

    bool blockDevice = false;

    // Reads what the disk itself holds now, not a copy of it: a device's
    // buffers are dropped first (they were flushed before).
    bool Read(std::uint64_t offset, std::uint8_t* data, std::size_t size)
    {
        errno = 0;
        if (blockDevice && ioctl(fd.get(), BLKFLSBUF, 0) != 0)
            return false;
        bool ok = image != nullptr ? ReadVmImageUncached(*image, data, size, offset)
                                   : ReadAllAt(fd.get(), data, size, static_cast<off_t>(offset));
        if (!ok && errno == 0)
            errno = EIO;
        return ok;
    }
    bool Write(std::uint64_t offset, std::span<const std::uint8_t> bytes)
    {
        if (image != nullptr)
            return files->WriteImage(*image, bytes.data(), bytes.size(), offset);
        auto step = [&](int to, const std::uint8_t* from, std::size_t count, off_t where) {
            return files->WriteAt(to, from, count, where);
        };
        return AllAt(step, fd.get(), bytes.data(), bytes.size(), static_cast<off_t>(offset));
    }
    bool Flush() { return image != nullptr ? files->FlushImage(*image) : files->Fsync(fd.get()) == 0; }
};

// The backup: a text header saying which sectors follow and where they
// belong, padded to whole sectors so that dd puts each back by its place in
// the file, then the old sectors in the order of the edits.
std::vector<std::uint8_t> BackupBytes(const std::string& disk, unsigned sectorSize, std::span<const SectorEdit> edits,
                                      std::vector<std::uint64_t>* at)
{
    std::string header = "voskarelle sector backup\ndisk " + OneLine(disk) + "\nsector-size " + std::to_string(sectorSize) +
                         "\n";
    // The header's own length decides where the sectors start, and those
    // places are in it: counted again until the two agree.
    std::uint64_t headerSectors = 1;
    std::string text;
    for (;;) {
        text = header;
        at->clear();
        std::uint64_t next = headerSectors;
        for (const SectorEdit& edit : edits) {
            at->push_back(next);
            text += "at " + std::to_string(next) + " sectors " + std::to_string(edit.before.size() / sectorSize) +
                    " to-offset " + std::to_string(edit.offset) + " (" + OneLine(edit.what) + ")\n";
            next += edit.before.size() / sectorSize;
        }
        std::uint64_t needed = (text.size() + sectorSize - 1) / sectorSize;
        if (needed == headerSectors)
            break;
        headerSectors = needed;
    }
    std::vector<std::uint8_t> bytes(text.begin(), text.end());
    bytes.resize(headerSectors * sectorSize, 0);
    for (const SectorEdit& edit : edits)
        bytes.insert(bytes.end(), edit.before.begin(), edit.before.end());
    return bytes;
}

std::vector<std::string> RestoreLines(const std::string& backup, const DiskInfo& disk, const std::string& real,
                                      std::span<const SectorEdit> edits, const std::vector<std::uint64_t>& at)
{
    std::vector<std::string> lines;
    std::string bs = " bs=" + std::to_string(disk.sectorSize);
    for (std::size_t i = 0; i < edits.size(); ++i) {
        std::string count = " count=" + std::to_string(edits[i].before.size() / disk.sectorSize);
        std::string skip = " skip=" + std::to_string(at[i]);
        if (disk.format.empty()) {
            lines.push_back("dd if=" + ShellQuoted(backup) + " of=" + ShellQuoted(real) + bs + skip + " seek=" +
                            std::to_string(edits[i].offset / disk.sectorSize) + count + " conv=notrunc,fsync");
            continue;
        }
        // qemu-io writes into the disk a VM image holds; its command parser
        // knows no quotes, so the sectors reach it as a descriptor.
        std::string part = backup + "." + std::to_string(i + 1);
        lines.push_back("dd if=" + ShellQuoted(backup) + " of=" + ShellQuoted(part) + bs + skip + count +
                        " status=none");
        lines.push_back("qemu-io -f " + disk.format + " -c " +
                        ShellQuoted("write -s /dev/fd/3 " + std::to_string(edits[i].offset) + " " +
                                    std::to_string(edits[i].before.size())) +
                        " -c flush " + ShellQuoted(real) + " 3<" + ShellQuoted(part));
    }
    return lines;
}

} // namespace

bool WriteSectorEdits(const DiskInfo& disk, std::span<const SectorEdit> edits, const std::string& backupFolder,
                      CommitFiles& files, SectorWrite* done, std::string* error)
{
    *done = {};
    if (edits.empty())
        return true;
    std::string real = RealPath(disk.path);
    if (real.empty()) {
        *error = "cannot open " + disk.path + ": " + Why(errno);
        return false;
    }
    Target target;
    target.files = &files;
    if (!disk.format.empty()) {
        target.image = OpenVmImage(real, true, error);
        if (target.image == nullptr)
            return false;
    } else {
        struct stat st;
        target.blockDevice = stat(real.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
        // A device is opened exclusively: the kernel refuses while any of its
        // partitions is mounted, whose file system would write its own
        // boot sector back from its cache.
        target.fd.Reset(OpenNoWait(real.c_str(), O_RDWR | (target.blockDevice ? O_EXCL : 0)));
        if (target.fd.get() < 0) {
            *error = errno == EBUSY ? disk.path + " is in use (a partition of it is mounted?): unmount it and run fix "
                                                  "again for its firmware's sectors"
                                    : "cannot open " + disk.path + " for writing: " + Why(errno);
            return false;
        }
        int readOnly = 0;
        if (target.blockDevice && (ioctl(target.fd.get(), BLKROGET, &readOnly) != 0 || readOnly)) {
            *error = disk.path + " is a read-only device";
            return false;
        }
        // The lock partitioning tools take, so that udev does not probe the
        // disk while its sectors change.
        if (target.blockDevice && flock(target.fd.get(), LOCK_EX | LOCK_NB) != 0) {
            *error = "cannot lock " + disk.path + " (another program is changing it?): " + Why(errno);
            return false;
        }
    }
    // The plan was made on what was read before the files changed: a
    // sector that holds something else now is not the one planned on.
    for (const SectorEdit& edit : edits) {
        std::vector<std::uint8_t> now(edit.before.size());
        if (edit.before.size() != edit.after.size() || edit.before.empty() || edit.before.size() % disk.sectorSize ||
            edit.offset % disk.sectorSize) {
            *error = edit.what + ": no whole sectors to write";
            return false;
        }
        if (!target.Read(edit.offset, now.data(), now.size())) {
            *error = "cannot read " + edit.what + ": " + Why(errno);
            return false;
        }
        if (now != edit.before) {
            *error = edit.what + " changed since it was read";
            return false;
        }
    }
    // A signal waits until the backup is whole and every sector is new or
    // old again.
    OpenVolume holding;
    std::vector<std::uint64_t> at;
    std::vector<std::uint8_t> saved = BackupBytes(real, disk.sectorSize, edits, &at);
    if (!backupFolder.empty()) {
        std::string base =
            (backupFolder == "/" ? "" : backupFolder) + "/" + real.substr(real.find_last_of('/') + 1);
        if (!SaveBackupFile(base, ".sectors.bak", saved, files, &done->backup, error))
            return false;
        done->restore = RestoreLines(done->backup, disk, real, edits, at);
    }

    std::vector<WriteRun> runs;
    for (const SectorEdit& edit : edits)
        runs.push_back({edit.offset, edit.before, edit.after});
    RunTarget run{
        .readBefore = {},
        .write = [&](const WriteRun& r, std::span<const std::uint8_t> bytes) { return target.Write(r.offset, bytes); },
        .flush = [&] { return target.Flush(); },
    };
    if (Interrupted()) {
        *error = "interrupted";
        return false;
    }
    auto begun = [&](std::size_t count) {
        for (std::size_t i = 0; i < count && i < edits.size(); ++i)
            done->begun.push_back(edits[i].what + " (at byte " + std::to_string(edits[i].offset) + ")");
    };
    if (!WriteRuns(runs, run, &done->torn)) {
        if (done->torn)
            begun(edits.size());
        *error = "cannot write " + disk.path + ": " + Why(errno) +
                 (done->torn ? "; what was written could not all be taken back" : "; what was written was taken back");
        return false;
    }
    for (const SectorEdit& edit : edits) {
        std::vector<std::uint8_t> back(edit.after.size());
        if (target.Read(edit.offset, back.data(), back.size()) && back == edit.after) {
            done->written.push_back(edit.what);
            continue;
        }
        // A disk that does not give back what it was given is put back as it
        // was, the last edit first, each sector tried whatever failed before.
        std::string why = "reading " + edit.what + " back does not give what was written";
        bool restored = true;
        for (std::size_t i = runs.size(); i-- > 0;)
            restored = target.Write(runs[i].offset, runs[i].before) && restored;
        restored = target.Flush() && restored;
        done->written.clear();
        done->torn = !restored;
        if (done->torn)
            begun(edits.size());
        *error = why + (done->torn ? "; the old sectors could not all be put back" : "; the old sectors were put back");
        return false;
    }
    return true;
}
