#include "cli/commit/sector_writes.h"

#include "cli/disk/vm_image.h"
#include "cli/disk/write_runs.h"
#include "cli/machine/fd.h"
#include "cli/machine/files.h"
#include "cli/machine/interrupt.h"
#include "cli/machine/shell_quote.h"

#include <fcntl.h>
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

    // Reads what the disk itself holds now, not a copy of it.
    bool Read(std::uint64_t offset, std::uint8_t* data, std::size_t size)
    {
        errno = 0;
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
    std::string header = "voskarelle sector backup\ndisk " + disk + "\nsector-size " + std::to_string(sectorSize) +
                         "\n";
    // The header's own length decides where the sectors start: one more
    // line per edit, so the count is taken once more after it is known.
    std::uint64_t headerSectors = 1;
    std::string text;
    for (int pass = 0; pass < 2; ++pass) {
        text = header;
        at->clear();
        std::uint64_t next = headerSectors;
        for (const SectorEdit& edit : edits) {
            at->push_back(next);
            text += "at " + std::to_string(next) + " sectors " + std::to_string(edit.before.size() / sectorSize) +
                    " to-offset " + std::to_string(edit.offset) + " (" + edit.what + ")\n";
            next += edit.before.size() / sectorSize;
        }
        headerSectors = (text.size() + sectorSize - 1) / sectorSize;
    }
    std::vector<std::uint8_t> bytes(text.begin(), text.end());
    bytes.resize(headerSectors * sectorSize, 0);
    for (const SectorEdit& edit : edits)
        bytes.insert(bytes.end(), edit.before.begin(), edit.before.end());
    return bytes;
}

bool SaveBackup(const std::string& folder, const std::string& real, const std::vector<std::uint8_t>& bytes,
                CommitFiles& files, std::string* path, std::string* error)
{
    std::string base = (folder == "/" ? "" : folder) + "/" + real.substr(real.find_last_of('/') + 1);
    // Never over an earlier backup, which may be the only copy of the
    // original.
    std::string stamped = BackupName(base, std::time(nullptr));
    std::string name;
    int out = -1;
    for (int n = 1; out < 0; ++n) {
        name = stamped + (n == 1 ? "" : "-" + std::to_string(n)) + ".sectors.bak";
        out = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (out < 0 && (errno != EEXIST || n == 100)) {
            *error = "cannot make the backup " + name + ": " + Why(errno);
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
        *error = step + name + ": " + Why(errno);
        unlink(name.c_str());
        return false;
    }
    if (!FlushFolder(folder, files, error)) {
        unlink(name.c_str());
        return false;
    }
    *path = name;
    return true;
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
        target.fd.Reset(OpenNoWait(real.c_str(), O_RDWR));
        if (target.fd.get() < 0) {
            *error = "cannot open " + disk.path + " for writing: " + Why(errno);
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
    std::vector<std::uint64_t> at;
    std::vector<std::uint8_t> saved = BackupBytes(real, disk.sectorSize, edits, &at);
    if (!backupFolder.empty()) {
        if (!SaveBackup(backupFolder, real, saved, files, &done->backup, error))
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
    // A signal waits until every sector is new or old again.
    OpenVolume holding;
    if (Interrupted()) {
        *error = "interrupted";
        return false;
    }
    if (!WriteRuns(runs, run, &done->torn)) {
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
        // was, the last edit first.
        std::string why = "reading " + edit.what + " back does not give what was written";
        std::vector<WriteRun> undo;
        for (std::size_t i = runs.size(); i-- > 0;)
            undo.push_back({runs[i].offset, runs[i].after, runs[i].before});
        bool torn = false;
        done->written.clear();
        done->torn = !WriteRuns(undo, run, &torn);
        *error = why + (done->torn ? "; the old sectors could not all be put back" : "; the old sectors were put back");
        return false;
    }
    return true;
}
