#include "cli/disk/disk_label.h"

#include "cli/disk/commit_files.h"
#include "cli/machine/fd.h"
#include "cli/machine/files.h"
#include "cli/machine/interrupt.h"
#include "cli/disk/vm_image.h"
#include "cli/machine/shell_quote.h"
#include "hive/bytes.h"
#include "mounttable/identity.h"

#include <fcntl.h>
#include <libfdisk/libfdisk.h>
#include <linux/fs.h>
#include <sys/mman.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

namespace {

struct ContextDeleter {
    // Also closes the device when it is still assigned, as after a failed
    // flush.
    void operator()(fdisk_context* cxt) const { fdisk_unref_context(cxt); }
};
using FdiskContext = std::unique_ptr<fdisk_context, ContextDeleter>;

std::string Why(int error)
{
    return std::strerror(error < 0 ? -error : error);
}

// Exactly 8 hexadecimal digits: a shorter form would be a guess at what was
// meant, and libfdisk itself would read "012" as octal.
bool ParseSignature(std::string_view text, std::uint32_t* signature)
{
    if (text.starts_with("0x") || text.starts_with("0X"))
        text.remove_prefix(2);
    return ParseHex32(text, signature);
}

std::string TableOf(fdisk_context* cxt)
{
    if (!fdisk_has_label(cxt))
        return "";
    if (fdisk_is_label(cxt, DOS))
        return "dos";
    if (fdisk_is_label(cxt, GPT))
        return "gpt";
    const char* name = fdisk_label_get_name(fdisk_get_label(cxt, nullptr));
    return name ? name : "unknown";
}

bool IdOf(fdisk_context* cxt, DiskLabelId* id, std::string* error)
{
    id->table = TableOf(cxt);
    if (id->table != "dos" && id->table != "gpt") {
        *error = id->table.empty() ? "libfdisk finds no partition table" : "libfdisk finds a " + id->table + " table";
        return false;
    }
    char* raw = nullptr;
    int rc = fdisk_get_disklabel_id(cxt, &raw);
    std::unique_ptr<char, decltype(&std::free)> text(raw, std::free);
    bool parsed = rc == 0 && text && (id->table == "dos" ? ParseSignature(text.get(), &id->signature)
                                                          : ParseGuid(text.get(), &id->guid));
    if (!parsed)
        *error = "libfdisk reads no disk identity" + (rc < 0 ? ": " + Why(rc) : "");
    return parsed;
}

// The form fdisk_set_disklabel_id_from_string takes: strtoul with base 0
// for dos (hence the 0x), uuid_parse for gpt (hence no braces).
std::string LibfdiskText(const DiskLabelId& id)
{
    if (id.table == "dos") {
        char text[16];
        std::snprintf(text, sizeof text, "0x%08x", id.signature);
        return text;
    }
    std::string guid = GuidText(id.guid);
    return guid.substr(1, guid.size() - 2);
}

// A partition's device node has a table of its own at most inside it, never
// the one Windows identifies the disk by.
bool IsPartitionDevice(const struct stat& st)
{
    std::string sys = "/sys/dev/block/" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    return access((sys + "/partition").c_str(), F_OK) == 0;
}

// The checks that need no libfdisk: every one a way the write would fail or
// land somewhere it should not.
bool CheckWritable(const std::string& real, const struct stat& st, std::string* error)
{
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
        *error = real + " is neither a disk nor a disk image";
        return false;
    }
    // Root passes access() whatever the mode; an image made read-only was
    // made so to keep it as it is, evidence or a master copy.
    if (S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%03o", static_cast<unsigned>(st.st_mode & 0777));
        *error = real + " is read-only (mode " + mode + ")";
        return false;
    }
    if (access(real.c_str(), W_OK) != 0) {
        *error = "cannot write " + real + ": " + Why(errno);
        return false;
    }
    if (S_ISBLK(st.st_mode) && IsPartitionDevice(st)) {
        *error = real + " is a partition; give its whole disk";
        return false;
    }
    return true;
}

// The folder and name the backup of a disk goes under: beside an image,
// in the current folder for a device (never into /dev, which is in memory).
std::string BackupBase(const std::string& real, bool blockDevice)
{
    if (!blockDevice)
        return real;
    char cwd[PATH_MAX];
    std::string folder = getcwd(cwd, sizeof cwd) ? cwd : ".";
    return (folder == "/" ? "" : folder) + "/" + real.substr(real.find_last_of('/') + 1);
}

} // namespace

std::string DiskLabelIdText(const DiskLabelId& id)
{
    if (id.table == "dos") {
        char text[16];
        std::snprintf(text, sizeof text, "%08X", id.signature);
        return text;
    }
    return GuidText(id.guid);
}

bool ParseDiskLabelId(const std::string& table, const std::string& text, DiskLabelId* id, std::string* error)
{
    DiskLabelId parsed{.table = table};
    std::uint32_t signature = 0;
    std::array<std::uint8_t, 16> guid{};
    bool isSignature = ParseSignature(text, &signature);
    bool isGuid = ParseGuid(text, &guid);
    if (table.empty()) {
        *error = "the disk has no partition table, so no identity to set";
        return false;
    }
    if (table != "dos" && table != "gpt") {
        *error = "the disk holds a " + table + " partition table, which carries no identity Windows uses";
        return false;
    }
    if (table == "dos" && isGuid) {
        *error = text + " is a GUID, for a GPT disk; an MBR disk's identity is 8 hexadecimal digits";
        return false;
    }
    if (table == "gpt" && isSignature) {
        *error = text + " is an MBR disk signature; a GPT disk's identity is a braced GUID";
        return false;
    }
    if (!(table == "dos" ? isSignature : isGuid)) {
        *error = "malformed identity \"" + text + "\": " +
                 (table == "dos" ? "8 hexadecimal digits for an MBR disk" : "a braced GUID for a GPT disk");
        return false;
    }
    // Windows takes a zero signature or GUID for none and writes a new one,
    // the very change this is meant to undo.
    if ((table == "dos" && signature == 0) || (table == "gpt" && guid == std::array<std::uint8_t, 16>{})) {
        *error = text + " is no identity: Windows would give the disk a new one";
        return false;
    }
    parsed.signature = table == "dos" ? signature : 0;
    parsed.guid = table == "gpt" ? guid : std::array<std::uint8_t, 16>{};
    *id = parsed;
    return true;
}

bool ReadDiskLabelId(const std::string& path, unsigned sectorSize, DiskLabelId* id, std::string* error, bool intact)
{
    FdiskContext cxt(fdisk_new_context());
    if (!cxt) {
        *error = "libfdisk cannot start";
        return false;
    }
    if (sectorSize != 0)
        fdisk_save_user_sector_size(cxt.get(), sectorSize, sectorSize);
    int rc = fdisk_assign_device(cxt.get(), path.c_str(), 1);
    if (rc != 0) {
        *error = "libfdisk cannot open " + path + ": " + Why(rc);
        return false;
    }
    std::string why;
    if (!IdOf(cxt.get(), id, &why)) {
        *error = why + " on " + path;
        return false;
    }
    if (intact && fdisk_label_is_changed(fdisk_get_label(cxt.get(), nullptr))) {
        *error = "libfdisk finds the label of " + path + " damaged (a header's checksum fails)";
        return false;
    }
    return true;
}

namespace {

// The label areas as they are on the disk open at fd.
// read(data, size, offset) is a whole read of a disk or of a VM image.
template <typename Read>
bool ReadAreasWith(Read read, const LabelAreas& areas, std::vector<std::uint8_t>* bytes)
{
    std::size_t head = kLabelHeadSectors * areas.sectorSize;
    bytes->assign(head + kLabelTailSectors * areas.sectorSize, 0);
    return read(bytes->data(), head, 0) &&
           read(bytes->data() + head, bytes->size() - head, (areas.sectors - kLabelTailSectors) * areas.sectorSize);
}

bool ReadAreas(int fd, const LabelAreas& areas, std::vector<std::uint8_t>* bytes)
{
    auto read = [&](void* data, std::size_t size, std::uint64_t offset) {
        return ReadAllAt(fd, data, size, static_cast<off_t>(offset));
    };
    return ReadAreasWith(read, areas, bytes);
}

} // namespace

bool BackupLabelAreas(int fd, const LabelAreas& areas, const std::string& base, CommitFiles& files,
                      std::string* backupPath, std::vector<std::uint8_t>* saved, std::string* error)
{
    if (areas.sectorSize == 0 || areas.sectors < kLabelHeadSectors || areas.sectors < kLabelTailSectors) {
        *error = "the disk is too small to hold a partition table";
        return false;
    }
    std::vector<std::uint8_t> bytes;
    if (!ReadAreas(fd, areas, &bytes)) {
        *error = "cannot read the label areas: " + Why(errno);
        return false;
    }
    if (!SaveBackupFile(base, ".label.bak", bytes, files, backupPath, error))
        return false;
    *saved = std::move(bytes);
    return true;
}

std::vector<std::string> RestoreCommands(const std::string& backup, const std::string& disk, const LabelAreas& areas,
                                         const std::string& format)
{
    if (!format.empty()) {
        // A VM image's bytes are not its disk's: qemu-io writes the two
        // areas, split out of the backup, into the disk it holds. Its own
        // command parser splits at every space and knows no quotes, so the
        // parts reach it as descriptors the shell opens.
        std::size_t head = kLabelHeadSectors * areas.sectorSize, tail = kLabelTailSectors * areas.sectorSize;
        std::string bs = " bs=" + std::to_string(areas.sectorSize);
        return {
            "dd if=" + ShellQuoted(backup) + " of=" + ShellQuoted(backup + ".head") + bs +
                " count=" + std::to_string(kLabelHeadSectors),
            "dd if=" + ShellQuoted(backup) + " of=" + ShellQuoted(backup + ".tail") + bs +
                " skip=" + std::to_string(kLabelHeadSectors),
            "qemu-io -f " + format + " -c " + ShellQuoted("write -s /dev/fd/3 0 " + std::to_string(head)) + " -c " +
                ShellQuoted("write -s /dev/fd/4 " +
                            std::to_string((areas.sectors - kLabelTailSectors) * areas.sectorSize) + " " +
                            std::to_string(tail)) +
                " -c flush " + ShellQuoted(disk) + " 3<" + ShellQuoted(backup + ".head") + " 4<" +
                ShellQuoted(backup + ".tail"),
        };
    }
    std::string common = "dd if=" + ShellQuoted(backup) + " of=" + ShellQuoted(disk) + " bs=" + std::to_string(areas.sectorSize);
    return {
        common + " count=" + std::to_string(kLabelHeadSectors) + " conv=notrunc,fsync",
        common + " skip=" + std::to_string(kLabelHeadSectors) +
            " seek=" + std::to_string(areas.sectors - kLabelTailSectors) +
            " count=" + std::to_string(kLabelTailSectors) + " conv=notrunc,fsync",
    };
}

namespace {

// The bytes of the label areas (head, then tail) that giving the disk
// another identity may change: the MBR signature, or the GPT disk GUID and
// the CRC of each header that carries it.
std::vector<bool> IdentityBytes(const std::string& table, const LabelAreas& areas)
{
    std::size_t head = kLabelHeadSectors * areas.sectorSize;
    std::vector<bool> allowed(head + kLabelTailSectors * areas.sectorSize, false);
    auto allow = [&](std::size_t at, std::size_t count) {
        for (std::size_t i = at; i < at + count && i < allowed.size(); ++i)
            allowed[i] = true;
    };
    if (table == "dos") {
        allow(440, 4);
    } else {
        for (std::size_t header : {std::size_t{areas.sectorSize}, allowed.size() - areas.sectorSize}) {
            allow(header + 16, 4); // the header's CRC32
            allow(header + 56, 16); // the disk GUID
        }
    }
    return allowed;
}

// Writes the sectors of areas that differ from what is on the disk, and
// flushes.
bool WriteAreas(int fd, const LabelAreas& areas, const std::vector<std::uint8_t>& wanted,
                const std::vector<std::uint8_t>& now, CommitFiles& files)
{
    std::size_t head = kLabelHeadSectors * areas.sectorSize;
    for (std::size_t at = 0; at < wanted.size(); at += areas.sectorSize) {
        if (std::equal(wanted.begin() + static_cast<std::ptrdiff_t>(at),
                       wanted.begin() + static_cast<std::ptrdiff_t>(at + areas.sectorSize),
                       now.begin() + static_cast<std::ptrdiff_t>(at)))
            continue;
        off_t offset = at < head ? static_cast<off_t>(at)
                                 : static_cast<off_t>((areas.sectors - kLabelTailSectors) * areas.sectorSize +
                                                      (at - head));
        if (!WriteAllAt(fd, wanted.data() + at, areas.sectorSize, offset))
            return false;
    }
    return files.Fsync(fd) == 0;
}

// libfdisk writes more than the identity: a GPT's protective MBR is written
// anew, which clears its boot flag and rewrites its CHS fields. Whatever
// changed outside the identity is put back from what was saved, and the
// result checked again; false with the reason when the label could not be
// made so.
bool KeepOnlyTheIdentity(const std::string& disk, const std::string& name, const std::string& table,
                         const LabelAreas& areas, const std::vector<std::uint8_t>& saved, CommitFiles& files,
                         std::string* error)
{
    Fd fd(OpenNoWait(disk.c_str(), O_RDWR));
    std::vector<std::uint8_t> now;
    if (fd.get() < 0 || !ReadAreas(fd.get(), areas, &now)) {
        *error = "cannot read the new label of " + name + " back: " + Why(errno);
        return false;
    }
    std::vector<bool> allowed = IdentityBytes(table, areas);
    std::vector<std::uint8_t> wanted = now;
    for (std::size_t i = 0; i < wanted.size(); ++i)
        if (!allowed[i])
            wanted[i] = saved[i];
    if (wanted == now) {
        // libfdisk flushed its own descriptor; this makes sure of what the
        // identity is read back from.
        if (files.Fsync(fd.get()) == 0)
            return true;
        *error = "cannot flush the new label of " + name + ": " + Why(errno);
        return false;
    }
    std::vector<std::uint8_t> after;
    if (WriteAreas(fd.get(), areas, wanted, now, files) && ReadAreas(fd.get(), areas, &after) && after == wanted)
        return true;
    *error = "libfdisk changed more of " + name + " than its identity, and that could not be undone (" + Why(errno) +
             ")";
    return false;
}

// Writes the saved label areas back and reads them again; true when the disk
// holds them as they were.
bool PutBackSaved(const std::string& disk, const LabelAreas& areas, const std::vector<std::uint8_t>& saved,
                  CommitFiles& files)
{
    Fd fd(OpenNoWait(disk.c_str(), O_RDWR));
    std::vector<std::uint8_t> now;
    return fd.get() >= 0 && ReadAreas(fd.get(), areas, &now) && WriteAreas(fd.get(), areas, saved, now, files) &&
           ReadAreas(fd.get(), areas, &now) && now == saved;
}

// The label areas as the VM image holds them, not as its mirror does.
bool ReadImageAreas(VmImage& image, const LabelAreas& areas, std::vector<std::uint8_t>* bytes)
{
    auto read = [&](void* data, std::size_t size, std::uint64_t offset) {
        return ReadVmImageUncached(image, data, size, offset);
    };
    return ReadAreasWith(read, areas, bytes);
}

// Writes the saved label areas to the VM image and its mirror, and reads
// them back; true when the image holds them as they were.
bool PutBackImage(VmImage& image, const LabelAreas& areas, const std::vector<std::uint8_t>& saved, CommitFiles& files)
{
    std::size_t head = kLabelHeadSectors * areas.sectorSize;
    std::uint64_t tail = (areas.sectors - kLabelTailSectors) * areas.sectorSize;
    std::vector<std::uint8_t> now;
    return files.WriteImage(image, saved.data(), head, 0) &&
           files.WriteImage(image, saved.data() + head, saved.size() - head, tail) && files.FlushImage(image) &&
           WriteAllAt(VmImageMirror(image), saved.data(), head, 0) &&
           WriteAllAt(VmImageMirror(image), saved.data() + head, saved.size() - head, static_cast<off_t>(tail)) &&
           ReadImageAreas(image, areas, &now) && now == saved;
}

} // namespace

bool WriteDiskLabelId(const std::string& path, unsigned sectorSize, const DiskLabelId& old, const DiskLabelId& newId,
                      CommitFiles& files, LabelWrite* done, std::string* error)
{
    *done = {};
    done->disk = RealPath(path);
    struct stat st;
    if (done->disk.empty() || stat(done->disk.c_str(), &st) != 0) {
        *error = "cannot open " + path + ": " + Why(errno);
        return false;
    }
    done->blockDevice = S_ISBLK(st.st_mode);
    if (!CheckWritable(done->disk, st, error))
        return false;
    // A VM image's label is changed in its mirror, by every step below,
    // and reaches the image when it is all as asked.
    VmImage* image = nullptr;
    std::string disk = done->disk;
    if (!done->blockDevice) {
        Fd probe(OpenNoWait(disk.c_str(), O_RDONLY));
        done->format = probe.get() >= 0 ? VmImageFormat(probe.get()) : "";
    }
    if (!done->format.empty()) {
        image = OpenVmImage(done->disk, true, error);
        if (image == nullptr || !MirrorVmImageEdges(*image, error))
            return false;
        disk = VmImageMirrorPath(*image);
    }
    const std::string& name = done->disk;

    FdiskContext cxt(fdisk_new_context());
    if (!cxt) {
        *error = "libfdisk cannot start";
        return false;
    }
    if (sectorSize != 0 && !done->blockDevice)
        fdisk_save_user_sector_size(cxt.get(), sectorSize, sectorSize);
    int rc = fdisk_assign_device(cxt.get(), disk.c_str(), 0);
    if (rc != 0) {
        *error = "libfdisk cannot open " + name + " for writing: " + Why(rc);
        return false;
    }
    int fd = fdisk_get_devfd(cxt.get());
    if (fdisk_is_readonly(cxt.get())) {
        *error = "libfdisk opened " + name + " read-only";
        return false;
    }
    if (done->blockDevice) {
        int readOnly = 0;
        if (ioctl(fd, BLKROGET, &readOnly) != 0 || readOnly) {
            *error = disk + " is a read-only device";
            return false;
        }
        // The lock partitioning tools take, so that udev does not probe the
        // disk while its table changes.
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            *error = "cannot lock " + disk + " (another program is changing it?): " + Why(errno);
            return false;
        }
    }
    DiskLabelId current;
    std::string why;
    if (!IdOf(cxt.get(), &current, &why)) {
        *error = why + " on " + name;
        return false;
    }
    if (!(current == old)) {
        *error = "libfdisk reads the identity of " + name + " as " + DiskLabelIdText(current) + ", not " +
                 DiskLabelIdText(old) + " as it was read before";
        return false;
    }
    // libfdisk marks a label changed on reading when its write would also
    // repair the table: a backup GPT header not at the disk's end (a grown
    // image), a damaged header restored from the other. That is more than
    // giving the disk its identity back.
    if (fdisk_label_is_changed(fdisk_get_label(cxt.get(), nullptr))) {
        *error = "writing " + name + " would also repair its partition table (sfdisk --verify tells what is wrong); "
                 "repair it first";
        return false;
    }
    done->areas = {fdisk_get_sector_size(cxt.get()), static_cast<std::uint64_t>(fdisk_get_nsectors(cxt.get()))};
    std::vector<std::uint8_t> saved;
    if (!BackupLabelAreas(fd, done->areas, BackupBase(name, done->blockDevice), files, &done->backup, &saved, error))
        return false;

    rc = fdisk_set_disklabel_id_from_string(cxt.get(), LibfdiskText(newId).c_str());
    if (rc != 0) {
        *error = "libfdisk does not take " + DiskLabelIdText(newId) + ": " + Why(rc);
        return false;
    }
    // A VM image is untouched until its mirror is synced: a failure before
    // puts the mirror back and leaves the image as it was.
    auto failed = [&] {
        if (image != nullptr) {
            PutBackSaved(disk, done->areas, saved, files);
            done->state = DiskState::Untouched;
        }
        return false;
    };
    done->state = DiskState::Unsure;
    rc = fdisk_write_disklabel(cxt.get());
    if (rc != 0) {
        *error = "libfdisk could not write the label of " + name + ": " + Why(rc);
        return failed();
    }
    if (done->blockDevice) {
        rc = fdisk_reread_partition_table(cxt.get());
        done->reread = rc == 0;
        if (rc != 0)
            done->rereadError = Why(rc);
    }
    // fsync and close; the system-wide sync that follows by default matters
    // only for a device's buffers, an image is on its disk after the fsync.
    rc = fdisk_deassign_device(cxt.get(), done->blockDevice ? 0 : 1);
    if (rc != 0) {
        *error = "the new label of " + name + " could not be flushed: " + Why(rc);
        return failed();
    }
    // What was saved goes back when the label is not as asked: a label that
    // reads wrong is worse than the old one.
    auto putBack = [&] {
        if (image != nullptr)
            return failed();
        if (PutBackSaved(disk, done->areas, saved, files))
            done->state = DiskState::PutBack;
        return false;
    };
    if (!KeepOnlyTheIdentity(disk, name, newId.table, done->areas, saved, files, error))
        return putBack();
    DiskLabelId back;
    if (!ReadDiskLabelId(disk, done->blockDevice ? 0 : sectorSize, &back, &why, true) || !(back == newId)) {
        *error = "reading " + name + " back " + (why.empty() ? "shows " + DiskLabelIdText(back) : "fails: " + why);
        return putBack();
    }
    if (image != nullptr) {
        // The label as the mirror holds it now, written to the image whole
        // or taken back whole, then read back from the image; a signal
        // waits until that is done.
        OpenVolume holding;
        if (Interrupted()) {
            *error = "interrupted";
            return failed();
        }
        bool torn = false;
        std::vector<std::uint8_t> mirrored, onImage;
        if (!SyncVmImageMirror(*image, 0, VmImageSize(*image), files, &torn, error)) {
            done->state = torn ? DiskState::Unsure : DiskState::Untouched;
            return false;
        }
        if (!ReadAreas(VmImageMirror(*image), done->areas, &mirrored) ||
            !ReadImageAreas(*image, done->areas, &onImage) || onImage != mirrored) {
            *error = "reading the label of " + name + " back through qemu-nbd does not give what was written";
            done->state = PutBackImage(*image, done->areas, saved, files) ? DiskState::PutBack : DiskState::Unsure;
            return false;
        }
    }
    done->state = DiskState::Written;
    return true;
}

namespace {

const char kEspTypeGuid[] = "C12A7328-F81F-11D2-BA4B-00A0C93EC93B";

// The GPT of a disk of sectors, copied into a memory file of the disk's
// size: what libfdisk reads of it is there.
struct GptCopy {
    Fd fd;
    std::uint64_t sectors = 0;
    unsigned sectorSize = 0;
    std::uint64_t oldBackup = 0; // where the primary header says the backup is
};

bool CopyRange(const std::function<bool(std::uint64_t, std::uint8_t*, std::size_t)>& read, int to,
               std::uint64_t offset, std::size_t size)
{
    std::vector<std::uint8_t> bytes(size);
    return read(offset, bytes.data(), size) && WriteAllAt(to, bytes.data(), size, static_cast<off_t>(offset));
}

} // namespace

bool PlanGptRepair(const std::function<bool(std::uint64_t, std::uint8_t*, std::size_t)>& read,
                   std::uint64_t diskSize, unsigned sectorSize, int espNumber, std::vector<WriteRun>* runs,
                   std::string* error)
{
    runs->clear();
    GptCopy copy;
    copy.sectorSize = sectorSize;
    copy.sectors = sectorSize != 0 ? diskSize / sectorSize : 0;
    if (copy.sectors < kLabelHeadSectors + kLabelTailSectors + 1) {
        *error = "the disk is too small to hold a GPT";
        return false;
    }
    copy.fd.Reset(static_cast<int>(memfd_create("gpt", MFD_CLOEXEC)));
    std::size_t head = kLabelHeadSectors * sectorSize, tail = kLabelTailSectors * sectorSize;
    std::uint64_t tailAt = (copy.sectors - kLabelTailSectors) * sectorSize;
    if (copy.fd.get() < 0 || ftruncate(copy.fd.get(), static_cast<off_t>(copy.sectors * sectorSize)) != 0 ||
        !CopyRange(read, copy.fd.get(), 0, head) || !CopyRange(read, copy.fd.get(), tailAt, tail)) {
        *error = "cannot read the GPT: " + Why(errno);
        return false;
    }
    std::vector<std::uint8_t> before;
    if (!ReadAreas(copy.fd.get(), {sectorSize, copy.sectors}, &before)) {
        *error = "cannot read the GPT: " + Why(errno);
        return false;
    }
    // The backup where the primary header says it is: libfdisk checks it
    // there before it moves it.
    copy.oldBackup = before.size() >= 2 * sectorSize ? Le64(before, sectorSize + 32) : 0;
    if (copy.oldBackup >= copy.sectors) {
        // A clone onto a smaller disk: the table may name space the disk
        // does not have, which is more than moving the backup.
        *error = "the backup GPT lies beyond the disk's end (sector " + std::to_string(copy.oldBackup) +
                 "), as on a smaller disk: the table needs more than its backup moved";
        return false;
    }
    if (copy.oldBackup >= kLabelHeadSectors + kLabelTailSectors && copy.oldBackup < copy.sectors - 1 &&
        !CopyRange(read, copy.fd.get(), (copy.oldBackup + 1 - kLabelTailSectors) * sectorSize, tail)) {
        *error = "cannot read the backup GPT: " + Why(errno);
        return false;
    }

    FdiskContext cxt(fdisk_new_context());
    if (!cxt) {
        *error = "libfdisk cannot start";
        return false;
    }
    fdisk_save_user_sector_size(cxt.get(), sectorSize, sectorSize);
    std::string name = "/proc/self/fd/" + std::to_string(copy.fd.get());
    int rc = fdisk_assign_device(cxt.get(), name.c_str(), 0);
    if (rc != 0 || !fdisk_is_label(cxt.get(), GPT)) {
        *error = rc != 0 ? "libfdisk cannot read the GPT: " + Why(rc) : "libfdisk finds no GPT";
        return false;
    }
    fdisk_label* label = fdisk_get_label(cxt.get(), nullptr);
    if (espNumber > 0) {
        fdisk_parttype* type = fdisk_label_get_parttype_from_string(label, kEspTypeGuid);
        rc = type == nullptr ? -EINVAL : fdisk_set_partition_type(cxt.get(), static_cast<size_t>(espNumber - 1), type);
        fdisk_unref_parttype(type);
        if (rc != 0) {
            *error = "libfdisk cannot give partition " + std::to_string(espNumber) + " the EFI system partition's type: " +
                     Why(rc);
            return false;
        }
    }
    // libfdisk moves a backup that is not at the disk's end on its own: the
    // label reads as changed, and its write puts the backup there.
    rc = fdisk_write_disklabel(cxt.get());
    if (rc == 0)
        rc = fdisk_deassign_device(cxt.get(), 1);
    std::vector<std::uint8_t> after;
    if (rc != 0 || !ReadAreas(copy.fd.get(), {sectorSize, copy.sectors}, &after)) {
        *error = "libfdisk cannot write the repaired GPT: " + Why(rc != 0 ? rc : errno);
        return false;
    }

    // What may change, taken from what libfdisk wrote: the primary header,
    // the EFI partition's type in the entries, the backup's entries and
    // header at the disk's end, and the protective MBR's size. Everything
    // else must be as it was, or the plan is refused.
    std::uint64_t last = copy.sectors - 1;
    std::size_t at1 = sectorSize;
    std::uint64_t entriesLba = Le64(after, at1 + 72);
    std::uint32_t count = Le32(after, at1 + 80), size = Le32(after, at1 + 84);
    std::uint64_t entriesBytes = std::uint64_t{count} * size;
    std::uint64_t entriesSectors = (entriesBytes + sectorSize - 1) / sectorSize;
    bool sameShape = std::memcmp(after.data() + at1, "EFI PART", 8) == 0 && entriesLba == Le64(before, at1 + 72) &&
                     count == Le32(before, at1 + 80) && size == Le32(before, at1 + 84) && size >= 128 &&
                     entriesLba >= 2 && (entriesLba + entriesSectors) * sectorSize <= head &&
                     entriesSectors + 1 <= kLabelTailSectors &&
                     Le64(after, at1 + 40) == Le64(before, at1 + 40) && Le64(after, at1 + 24) == 1 &&
                     Le64(after, at1 + 32) == last &&
                     std::memcmp(after.data() + at1 + 56, before.data() + at1 + 56, 16) == 0 &&
                     (espNumber <= 0 || static_cast<std::uint64_t>(espNumber) <= count);
    if (!sameShape) {
        *error = "libfdisk would change more of the GPT than the EFI partition's type and the backup's place";
        return false;
    }
    const std::uint8_t* was = before.data() + entriesLba * sectorSize;
    const std::uint8_t* now = after.data() + entriesLba * sectorSize;
    // The type GUID as the entries store it.
    static const std::uint8_t kEspBytes[16] = {0x28, 0x73, 0x2A, 0xC1, 0x1F, 0xF8, 0xD2, 0x11,
                                               0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B};
    std::uint64_t lastUsed = 0;
    for (std::uint64_t i = 0; i < entriesBytes; ++i) {
        bool typeOfEsp = espNumber > 0 && i / size == static_cast<std::uint64_t>(espNumber - 1) && i % size < 16;
        if (was[i] != now[i] && !typeOfEsp) {
            *error = "libfdisk would change a partition entry of the GPT beyond the EFI partition's type";
            return false;
        }
    }
    for (std::uint32_t n = 0; n < count; ++n) {
        const std::uint8_t* entry = now + std::uint64_t{n} * size;
        if (std::any_of(entry, entry + 16, [](std::uint8_t b) { return b != 0; }))
            lastUsed = std::max(lastUsed, Le64(std::span<const std::uint8_t>(entry, size), 40));
    }
    if (espNumber > 0 && std::memcmp(now + std::uint64_t(espNumber - 1) * size, kEspBytes, 16) != 0) {
        *error = "libfdisk did not give partition " + std::to_string(espNumber) + " the EFI system partition's type";
        return false;
    }
    if (Le64(after, at1 + 48) < lastUsed || Le64(after, at1 + 48) >= last - entriesSectors) {
        *error = "libfdisk's GPT would end its usable space before a partition or in its own backup";
        return false;
    }
    // The backup: its header at the last sector naming itself, the primary
    // and its entries just before it, which hold the primary's.
    std::size_t backupAt = head + (kLabelTailSectors - 1) * sectorSize;
    std::size_t backupEntriesAt = backupAt - entriesSectors * sectorSize;
    if (std::memcmp(after.data() + backupAt, "EFI PART", 8) != 0 || Le64(after, backupAt + 24) != last ||
        Le64(after, backupAt + 32) != 1 || Le64(after, backupAt + 72) != last - entriesSectors ||
        std::memcmp(after.data() + backupEntriesAt, now, entriesBytes) != 0) {
        *error = "libfdisk's backup GPT is not where it belongs or does not hold the primary's entries";
        return false;
    }
    std::vector<std::uint8_t> wanted = before;
    auto take = [&](std::size_t from, std::size_t count) {
        std::copy(after.begin() + static_cast<std::ptrdiff_t>(from),
                  after.begin() + static_cast<std::ptrdiff_t>(from + count),
                  wanted.begin() + static_cast<std::ptrdiff_t>(from));
    };
    take(at1, sectorSize);
    if (espNumber > 0)
        take(entriesLba * sectorSize + std::uint64_t(espNumber - 1) * size, 16);
    take(backupEntriesAt, (entriesSectors + 1) * sectorSize);
    // A hybrid MBR's entries are someone's partitions: only a protective
    // entry of the whole disk has its size made the disk's.
    if (before[446 + 4] == 0xEE && Le32(before, 446 + 8) == 1)
        take(446 + 12, 4);
    if (!std::equal(wanted.begin() + sectorSize, wanted.end(), after.begin() + sectorSize)) {
        *error = "libfdisk would change more of the GPT than the EFI partition's type and the backup's place";
        return false;
    }

    // The runs, sector by sector, neighbours joined: the backup first,
    // then the primary's entries, its header, the protective MBR last.
    std::vector<WriteRun> entries, header, mbr;
    for (std::size_t at = 0; at < wanted.size(); at += sectorSize) {
        if (std::memcmp(wanted.data() + at, before.data() + at, sectorSize) == 0)
            continue;
        std::vector<WriteRun>& into = at >= head ? *runs : at >= 2 * sectorSize ? entries : at != 0 ? header : mbr;
        std::uint64_t offset = at < head ? std::uint64_t{at} : tailAt + (at - head);
        auto from = [&](const std::vector<std::uint8_t>& bytes) {
            return std::vector<std::uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                             bytes.begin() + static_cast<std::ptrdiff_t>(at + sectorSize));
        };
        if (into.empty() || into.back().offset + into.back().after.size() != offset) {
            into.push_back({offset, from(before), from(wanted)});
            continue;
        }
        std::vector<std::uint8_t> old = from(before), now = from(wanted);
        into.back().before.insert(into.back().before.end(), old.begin(), old.end());
        into.back().after.insert(into.back().after.end(), now.begin(), now.end());
    }
    for (std::vector<WriteRun>* part : {&entries, &header, &mbr})
        runs->insert(runs->end(), part->begin(), part->end());
    return true;
}
