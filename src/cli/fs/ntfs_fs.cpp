#include "cli/fs/ntfs_fs.h"

#include "cli/disk/write_runs.h"

#include "cli/machine/fd.h"
#include "cli/disk/vm_image.h"
#include "mounttable/text.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>


#include <algorithm>
#include <array>
#include <cerrno>
#include <functional>
#include <map>
#include <new>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstddef>
#include <cstring>

// libntfs-3g's headers come last: they define min and max as macros.
extern "C" {
#include <ntfs-3g/types.h>
#include <ntfs-3g/attrib.h>
#include <ntfs-3g/device.h>
#include <ntfs-3g/dir.h>
#include <ntfs-3g/inode.h>
#include <ntfs-3g/layout.h>
#include <ntfs-3g/logfile.h>
#include <ntfs-3g/logging.h>
#include <ntfs-3g/unistr.h>
#include <ntfs-3g/volume.h>
}
#undef min
#undef max

namespace {

// The last error libntfs-3g reported, to say why a call failed; its own
// printing to stderr is silenced.
std::string g_lastMessage;

extern "C" int RecordMessage(const char*, const char*, int, u32 level, void*, const char* format, va_list args)
{
    if ((level & (NTFS_LOG_LEVEL_ERROR | NTFS_LOG_LEVEL_PERROR | NTFS_LOG_LEVEL_CRITICAL)) == 0)
        return 0;
    char text[512];
    int n = std::vsnprintf(text, sizeof text, format, args);
    if (n > 0) {
        g_lastMessage.assign(text, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof text - 1));
        while (!g_lastMessage.empty() && (g_lastMessage.back() == '\n' || g_lastMessage.back() == '.'))
            g_lastMessage.pop_back();
    }
    return 0;
}

std::string Why(int error)
{
    std::string why = std::strerror(error);
    if (!g_lastMessage.empty())
        why += " (libntfs-3g: " + g_lastMessage + ")";
    g_lastMessage.clear();
    return why;
}

// The partition as libntfs-3g's device: reads and writes are bounded to it.
// Writes are held in memory, sector by sector, and reads see them; one step
// of a change (a file made, a name given or taken) reaches the disk at once
// when it is complete, and is taken back from what each sector held before
// when any write of it fails. A failed write never leaves libntfs-3g's
// structures half written on the disk. The writes to the disk go through
// CommitFiles, where the tests fail them.
constexpr std::uint64_t kSector = 512;

struct Device {
    CommitFiles* files;
    int fd;          // a disk image or device, or
    VmImage* image;  // a VM image
    std::uint64_t offset, size;
    s64 position = 0;
    std::map<std::uint64_t, std::array<std::uint8_t, kSector>> held; // by sector number within the partition
};

bool ReadDisk(Device& d, void* data, std::size_t size, std::uint64_t offset)
{
    return d.image != nullptr ? ReadVmImage(*d.image, data, size, offset)
                              : ReadAllAt(d.fd, data, size, static_cast<off_t>(offset));
}

bool WriteDisk(Device& d, const void* data, std::size_t size, std::uint64_t offset)
{
    if (d.image != nullptr)
        return d.files->WriteImage(*d.image, data, size, offset);
    auto step = [&](int fd, const std::uint8_t* from, std::size_t count, off_t where) {
        return d.files->WriteAt(fd, from, count, where);
    };
    return AllAt(step, d.fd, static_cast<const std::uint8_t*>(data), size, static_cast<off_t>(offset));
}

bool FlushDisk(Device& d)
{
    return d.image != nullptr ? d.files->FlushImage(*d.image) : d.files->Fsync(d.fd) == 0;
}

Device& Of(ntfs_device* dev)
{
    return *static_cast<Device*>(dev->d_private);
}

s64 ReadBounded(Device& d, void* buffer, s64 count, s64 at)
{
    if (count < 0 || at < 0) {
        errno = EINVAL;
        return -1;
    }
    if (static_cast<std::uint64_t>(at) >= d.size)
        return 0;
    auto from = static_cast<std::uint64_t>(at);
    std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(static_cast<std::uint64_t>(count),
                                                                           d.size - from));
    // A short read of the disk is an error, not an end: the partition lies
    // within it.
    if (!ReadDisk(d, buffer, length, d.offset + from))
        return -1;
    // What is held and not yet on the disk is what libntfs-3g wrote last.
    auto* out = static_cast<std::uint8_t*>(buffer);
    for (auto it = d.held.lower_bound(from / kSector); it != d.held.end() && it->first * kSector < from + length;
         ++it) {
        std::uint64_t start = std::max(from, it->first * kSector);
        std::uint64_t end = std::min(from + length, (it->first + 1) * kSector);
        std::memcpy(out + (start - from), it->second.data() + (start - it->first * kSector), end - start);
    }
    return static_cast<s64>(length);
}

s64 HoldWrite(ntfs_device* dev, const void* buffer, s64 count, s64 at);

// libntfs-3g is C: nothing may be thrown through it.
s64 WriteBounded(ntfs_device* dev, const void* buffer, s64 count, s64 at)
{
    try {
        return HoldWrite(dev, buffer, count, at);
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return -1;
    }
}

s64 HoldWrite(ntfs_device* dev, const void* buffer, s64 count, s64 at)
{
    Device& d = Of(dev);
    if (NDevReadOnly(dev)) {
        errno = EROFS;
        return -1;
    }
    if (count < 0 || at < 0 || static_cast<std::uint64_t>(at) + static_cast<std::uint64_t>(count) > d.size) {
        errno = ENOSPC;
        return -1;
    }
    NDevSetDirty(dev);
    const auto* from = static_cast<const std::uint8_t*>(buffer);
    auto start = static_cast<std::uint64_t>(at);
    std::uint64_t end = start + static_cast<std::uint64_t>(count);
    for (std::uint64_t sector = start / kSector; sector * kSector < end; ++sector) {
        auto held = d.held.find(sector);
        if (held == d.held.end()) {
            std::array<std::uint8_t, kSector> now{};
            std::uint64_t readable = std::min(kSector, d.size - sector * kSector);
            if (!ReadDisk(d, now.data(), static_cast<std::size_t>(readable), d.offset + sector * kSector))
                return -1;
            held = d.held.emplace(sector, now).first;
        }
        std::uint64_t first = std::max(start, sector * kSector);
        std::uint64_t last = std::min(end, (sector + 1) * kSector);
        std::memcpy(held->second.data() + (first - sector * kSector), from + (first - start), last - first);
    }
    return count;
}

int DeviceOpen(ntfs_device* dev, int flags)
{
    Device& d = Of(dev);
    int mode = d.image != nullptr ? O_RDWR : fcntl(d.fd, F_GETFL);
    if ((flags & O_ACCMODE) != O_RDONLY && (mode < 0 || (mode & O_ACCMODE) != O_RDWR)) {
        errno = EROFS;
        return -1;
    }
    if ((flags & O_ACCMODE) == O_RDONLY)
        NDevSetReadOnly(dev);
    else
        NDevClearReadOnly(dev);
    NDevSetOpen(dev);
    return 0;
}

int DeviceSync(ntfs_device* dev)
{
    // What libntfs-3g wrote reaches the disk when the step is complete.
    NDevClearDirty(dev);
    return 0;
}

// Writes whatever of what is held differs from the disk, run by run of
// sectors, and flushes; when a write or the flush fails, every sector
// written is given back what it held before, so the disk is as it was;
// torn tells when that failed too.
bool Apply(Device& d, std::string* error, bool* torn)
{
    std::vector<WriteRun> runs;
    for (const auto& [sector, bytes] : d.held) {
        if (runs.empty() || runs.back().offset + runs.back().after.size() != sector * kSector)
            runs.push_back({sector * kSector, {}, {}});
        runs.back().after.insert(runs.back().after.end(), bytes.begin(), bytes.end());
    }
    // The last sector may reach past the partition's end.
    auto length = [&](const WriteRun &run, std::size_t size) {
        return static_cast<std::size_t>(std::min<std::uint64_t>(size, d.size - run.offset));
    };
    RunTarget target{
        .readBefore =
            [&](WriteRun &run) {
                run.before.resize(run.after.size());
                return ReadDisk(d, run.before.data(), length(run, run.before.size()), d.offset + run.offset);
            },
        .write =
            [&](const WriteRun &run, std::span<const std::uint8_t> bytes) {
                return WriteDisk(d, bytes.data(), length(run, bytes.size()), d.offset + run.offset);
            },
        .flush = [&] { return FlushDisk(d); },
    };
    bool ok = WriteRuns(runs, target, torn);
    int why = errno;
    d.held.clear();
    if (ok)
        return true;
    *error = std::string("cannot write the partition: ") + std::strerror(why) +
             (!*torn ? "; what this step wrote was taken back" : "; what this step wrote could not all be taken back");
    errno = why;
    return false;
}

int DeviceClose(ntfs_device* dev)
{
    NDevClearOpen(dev);
    return 0;
}

s64 DeviceSeek(ntfs_device* dev, s64 offset, int whence)
{
    Device& d = Of(dev);
    s64 base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? d.position : static_cast<s64>(d.size);
    if ((whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) || base + offset < 0) {
        errno = EINVAL;
        return -1;
    }
    d.position = base + offset;
    return d.position;
}

s64 DeviceRead(ntfs_device* dev, void* buffer, s64 count)
{
    s64 n = ReadBounded(Of(dev), buffer, count, Of(dev).position);
    if (n > 0)
        Of(dev).position += n;
    return n;
}

s64 DeviceWrite(ntfs_device* dev, const void* buffer, s64 count)
{
    s64 n = WriteBounded(dev, buffer, count, Of(dev).position);
    if (n > 0)
        Of(dev).position += n;
    return n;
}

s64 DevicePread(ntfs_device* dev, void* buffer, s64 count, s64 offset)
{
    return ReadBounded(Of(dev), buffer, count, offset);
}

s64 DevicePwrite(ntfs_device* dev, const void* buffer, s64 count, s64 offset)
{
    return WriteBounded(dev, buffer, count, offset);
}

int DeviceStat(ntfs_device* dev, struct stat* st)
{
    *st = {};
    if (Of(dev).image == nullptr && fstat(Of(dev).fd, st) != 0)
        return -1;
    st->st_mode = (st->st_mode & ~S_IFMT) | S_IFREG;
    st->st_size = static_cast<off_t>(Of(dev).size);
    return 0;
}

int DeviceIoctl(ntfs_device* dev, unsigned long request, void* argument)
{
    switch (request) {
    case BLKGETSIZE64:
        *static_cast<std::uint64_t*>(argument) = Of(dev).size;
        return 0;
    case BLKGETSIZE:
        *static_cast<unsigned long*>(argument) = static_cast<unsigned long>(Of(dev).size / 512);
        return 0;
    case BLKSSZGET:
        *static_cast<int*>(argument) = 512;
        return 0;
    case BLKBSZSET:
        return 0;
    default:
        errno = ENOTTY;
        return -1;
    }
}

ntfs_device_operations g_operations = {
    .open = DeviceOpen,
    .close = DeviceClose,
    .seek = DeviceSeek,
    .read = DeviceRead,
    .write = DeviceWrite,
    .pread = DevicePread,
    .pwrite = DevicePwrite,
    .sync = DeviceSync,
    .stat = DeviceStat,
    .ioctl = DeviceIoctl,
};

// A name of the volume's, converted; freed with the object.
struct Ucs {
    ntfschar* text = nullptr;
    int length = -1;
    explicit Ucs(const std::string& name) { length = ntfs_mbstoucs(name.c_str(), &text); }
    ~Ucs() { std::free(text); }
    Ucs(const Ucs&) = delete;
    Ucs& operator=(const Ucs&) = delete;
    bool ok() const { return length > 0 && length <= 255; }
};

struct InodeCloser {
    void operator()(ntfs_inode* ni) const { ntfs_inode_close(ni); }
};
using Inode = std::unique_ptr<ntfs_inode, InodeCloser>;

struct AttrCloser {
    void operator()(ntfs_attr* na) const { ntfs_attr_close(na); }
};
using Attr = std::unique_ptr<ntfs_attr, AttrCloser>;

std::string Normal(const std::string& path)
{
    std::string normal = path;
    std::replace(normal.begin(), normal.end(), '\\', '/');
    return normal.empty() || normal[0] != '/' ? "/" + normal : normal;
}

// The name under which dir lists child, as stored: the one Windows shows,
// not its short alias; fallback when none is found.
std::string StoredName(ntfs_inode* dir, ntfs_inode* child, const std::string& fallback)
{
    std::string name = fallback;
    ntfs_attr_search_ctx* ctx = ntfs_attr_get_search_ctx(child, nullptr);
    while (ctx != nullptr && ntfs_attr_lookup(AT_FILE_NAME, AT_UNNAMED, 0, CASE_SENSITIVE, 0, nullptr, 0, ctx) == 0) {
        const auto* attr = ctx->attr;
        const auto* fn = reinterpret_cast<const FILE_NAME_ATTR*>(reinterpret_cast<const u8*>(attr) +
                                                                 le16_to_cpu(attr->value_offset));
        if (MREF_LE(fn->parent_directory) != dir->mft_no || fn->file_name_type == FILE_NAME_DOS)
            continue;
        // The name sits unaligned in the record: copied out before use.
        std::vector<ntfschar> units(fn->file_name_length);
        std::memcpy(units.data(), reinterpret_cast<const u8*>(fn) + offsetof(FILE_NAME_ATTR, file_name),
                    units.size() * sizeof(ntfschar));
        char* text = nullptr;
        if (ntfs_ucstombs(units.data(), static_cast<int>(units.size()), &text, 0) >= 0 && text != nullptr &&
            CompareNoCase(text, fallback) == 0)
            name = text;
        std::free(text);
        break;
    }
    if (ctx != nullptr)
        ntfs_attr_put_search_ctx(ctx);
    return name;
}

struct NoCaseSearch {
    const ntfschar* name;
    int length;
    ntfs_volume* vol;
    std::vector<MFT_REF> found;
};

extern "C" int MatchNoCase(void* context, const ntfschar* name, const int length, const int type, const s64,
                           const MFT_REF mref, const unsigned)
{
    auto& search = *static_cast<NoCaseSearch*>(context);
    if (type != FILE_NAME_DOS &&
        ntfs_names_are_equal(name, static_cast<std::size_t>(length), search.name,
                             static_cast<std::size_t>(search.length), IGNORE_CASE, search.vol->upcase,
                             search.vol->upcase_len) &&
        std::find(search.found.begin(), search.found.end(), MREF(mref)) == search.found.end())
        search.found.push_back(MREF(mref));
    return 0;
}

// The file of dir named name as Windows finds it: that very name, else the
// one name equal to it in any case. (u64)-1 with errno ENOENT for none, and
// EEXIST when names told apart only by case make it ambiguous.
u64 FindNoCase(ntfs_volume* vol, ntfs_inode* dir, const ntfschar* name, int length)
{
    u64 exact = ntfs_inode_lookup_by_name(dir, name, length);
    if (exact != static_cast<u64>(-1))
        return exact;
    NoCaseSearch search{name, length, vol, {}};
    s64 position = 0;
    if (ntfs_readdir(dir, &position, &search, MatchNoCase) != 0)
        return static_cast<u64>(-1);
    if (search.found.size() == 1)
        return search.found.front();
    errno = search.found.empty() ? ENOENT : EEXIST;
    return static_cast<u64>(-1);
}

} // namespace

struct NtfsVolume {
    Device device{};
    ntfs_volume* volume = nullptr;
};

NtfsFs::NtfsFs(CommitFiles& files, std::string path, bool blockDevice, bool vmImage, std::uint64_t offset,
               std::uint64_t size, std::string partition)
    : files_(files), path_(std::move(path)), blockDevice_(blockDevice), vmImage_(vmImage), offset_(offset), size_(size),
      partition_(std::move(partition))
{
}

NtfsFs::~NtfsFs()
{
    Unmount();
}

std::unique_ptr<NtfsFs> NtfsFs::Open(CommitFiles& files, const std::string& path, bool blockDevice, bool vmImage,
                                     std::uint64_t offset, std::uint64_t size, const std::string& partition,
                                     std::string* error)
{
    ntfs_log_set_handler(RecordMessage);
    std::unique_ptr<NtfsFs> fs(new NtfsFs(files, path, blockDevice, vmImage, offset, size, partition));
    if (!fs->Mount(false, error))
        return nullptr;
    return fs;
}

bool NtfsFs::Mount(bool forWriting, std::string* error)
{
    Unmount();
    auto volume = std::make_unique<NtfsVolume>();
    // A block device is taken for writing exclusively: the kernel refuses
    // while anything has it mounted or open so.
    VmImage* image = nullptr;
    int fd = -1;
    if (vmImage_) {
        if ((image = OpenVmImage(path_, forWriting, error)) == nullptr)
            return false;
    } else if ((fd = forWriting ? OpenNoWait(path_.c_str(), O_RDWR | (blockDevice_ ? O_EXCL : 0))
                                : OpenNoWait(path_.c_str(), O_RDONLY)) < 0) {
        *error = "cannot open " + path_ + (forWriting ? " for writing: " : ": ") + Why(errno);
        return false;
    }
    volume->device = {&files_, fd, image, offset_, size_, 0, {}};
    ntfs_device* dev = ntfs_device_alloc(partition_.c_str(), 0, &g_operations, &volume->device);
    if (dev == nullptr) {
        *error = "libntfs-3g cannot start: " + Why(errno);
        if (fd >= 0)
            close(fd);
        return false;
    }
    ntfs_mount_flags flags = forWriting ? NTFS_MNT_NONE : NTFS_MNT_RDONLY;
    if (forWriting && allowHibernated_)
        flags |= NTFS_MNT_IGNORE_HIBERFILE;
    g_lastMessage.clear();
    volume->volume = ntfs_device_mount(dev, flags);
    if (volume->volume == nullptr) {
        int why = errno;
        ntfs_device_free(dev);
        if (fd >= 0)
            close(fd);
        *error = partition_ + ": libntfs-3g cannot open the NTFS " + (forWriting ? "for writing" : "") +
                 (forWriting ? ": " : "there: ") + Why(why);
        return false;
    }
    volume_ = std::move(volume);
    writable_ = forWriting;
    return true;
}

bool NtfsFs::Unmount()
{
    if (!volume_)
        return true;
    // Closing writes what libntfs-3g still holds; a volume left open would
    // be one Windows finds unclean.
    bool closed = ntfs_umount(volume_->volume, FALSE) == 0;
    if (writable_ && !volume_->device.held.empty()) {
        std::string ignored;
        bool torn = false;
        closed = Apply(volume_->device, &ignored, &torn) && closed;
    }
    if (volume_->device.fd >= 0)
        closed = close(volume_->device.fd) == 0 && closed;
    volume_.reset();
    writable_ = false;
    return closed;
}

bool NtfsFs::Close(std::string* error)
{
    if (Unmount())
        return true;
    *error = "cannot close " + partition_ + " cleanly";
    return false;
}

bool NtfsFs::Step(const std::function<bool(std::string*)>& change, std::string* error)
{
    if (!ForWriting(error))
        return false;
    ntfs_volume* vol = volume_->volume;
    g_lastMessage.clear();
    bool done = change(error);
    // The volume's own records (the MFT's, the bitmap's) as this step left
    // them belong to it too.
    for (ntfs_inode* own : {vol->mft_ni, vol->mftmirr_ni, vol->lcnbmp_ni, vol->vol_ni, vol->secure_ni})
        if (done && own != nullptr && ntfs_inode_sync(own) != 0) {
            *error = "cannot write " + partition_ + ": " + Why(errno);
            done = false;
        }
    bool torn = false;
    if (done && Apply(volume_->device, error, &torn))
        return true;
    if (torn)
        damage = partition_ + " may be partly written: " + *error;
    // libntfs-3g's picture of the volume may be ahead of the disk now: it
    // is closed without writing what it holds, and opened again as the
    // disk is.
    volume_->device.held.clear();
    writable_ = false;
    Unmount();
    std::string again;
    if (!Mount(true, &again))
        Mount(false, &again);
    return false;
}

bool NtfsFs::Opened(std::string* error) const
{
    if (volume_)
        return true;
    *error = partition_ + ": the volume could not be opened again after a failed step";
    return false;
}

bool NtfsFs::ForWriting(std::string* error)
{
    if (!Opened(error))
        return false;
    if (writable_)
        return true;
    std::string why = WhyNotWritable("/");
    if (!why.empty()) {
        *error = partition_ + ": " + why;
        return false;
    }
    if (Mount(true, error))
        return true;
    std::string again;
    Mount(false, &again); // go on reading, as before
    return false;
}

bool NtfsFs::Resolve(const std::string& path, std::string* stored, bool* missing, std::string* error)
{
    if (!Opened(error))
        return false;
    *missing = false;
    ntfs_volume* vol = volume_->volume;
    std::string normal = Normal(path);
    Inode dir(ntfs_inode_open(vol, FILE_root));
    std::string at;
    for (std::size_t start = 1; start <= normal.size();) {
        std::size_t end = normal.find('/', start);
        std::string name = normal.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? normal.size() + 1 : end + 1;
        if (name.empty() || name == ".")
            continue;
        if (name == "..") {
            *error = Name(normal) + ": \"..\" leads out of the path";
            return false;
        }
        Ucs uname(name);
        u64 ref = dir && uname.ok() ? FindNoCase(vol, dir.get(), uname.text, uname.length) : static_cast<u64>(-1);
        Inode child(ref == static_cast<u64>(-1) ? nullptr : ntfs_inode_open(vol, MREF(ref)));
        if (!child) {
            *missing = errno == ENOENT;
            *error = Name(JoinPath(at.empty() ? "/" : at, name)) + ": " +
                     (errno == ENOENT ? std::string("no such file") : Why(errno));
            return false;
        }
        at = JoinPath(at.empty() ? "/" : at, StoredName(dir.get(), child.get(), name));
        dir = std::move(child);
    }
    *stored = at.empty() ? "/" : at;
    return true;
}

bool NtfsFs::Facts(const std::string& path, FileFacts* facts, std::string* error)
{
    if (!Opened(error))
        return false;
    *facts = {};
    Inode ni(ntfs_pathname_to_inode(volume_->volume, nullptr, path.c_str()));
    if (!ni) {
        if (errno == ENOENT)
            return true;
        *error = Name(path) + ": " + Why(errno);
        return false;
    }
    if (ni->mrec->flags & MFT_RECORD_IS_DIRECTORY) {
        facts->type = FileFacts::Type::Folder;
        facts->what = "a folder";
        return true;
    }
    if (ni->flags & FILE_ATTR_REPARSE_POINT) {
        facts->type = FileFacts::Type::Other;
        facts->what = "a reparse point (a link or a file Windows stores elsewhere)";
        return true;
    }
    Attr na(ntfs_attr_open(ni.get(), AT_DATA, AT_UNNAMED, 0));
    if (!na) {
        *error = Name(path) + ": its data cannot be read: " + Why(errno);
        return false;
    }
    facts->type = FileFacts::Type::Regular;
    facts->what = "a file";
    facts->size = static_cast<std::uint64_t>(na->data_size);
    return true;
}

namespace {

struct Listing {
    std::vector<std::string>* names;
    bool failed = false;
};

extern "C" int AddName(void* context, const ntfschar* name, const int length, const int type, const s64,
                       const MFT_REF, const unsigned)
{
    Listing& listing = *static_cast<Listing*>(context);
    if (type == FILE_NAME_DOS)
        return 0; // the short alias of a long name
    char* text = nullptr;
    if (ntfs_ucstombs(name, length, &text, 0) < 0) {
        listing.failed = true;
        return -1;
    }
    if (std::strcmp(text, ".") != 0 && std::strcmp(text, "..") != 0)
        listing.names->emplace_back(text);
    std::free(text);
    return 0;
}

} // namespace

bool NtfsFs::List(const std::string& folder, std::vector<std::string>* names, std::string* error)
{
    if (!Opened(error))
        return false;
    names->clear();
    Inode dir(ntfs_pathname_to_inode(volume_->volume, nullptr, folder.c_str()));
    if (!dir || !(dir->mrec->flags & MFT_RECORD_IS_DIRECTORY)) {
        *error = Name(folder) + ": cannot be listed: " + (dir ? std::string("not a folder") : Why(errno));
        return false;
    }
    Listing listing{names};
    s64 position = 0;
    if (ntfs_readdir(dir.get(), &position, &listing, AddName) != 0 || listing.failed) {
        *error = Name(folder) + ": cannot be listed: " + Why(errno);
        return false;
    }
    std::sort(names->begin(), names->end());
    return true;
}

bool NtfsFs::ReadStart(const std::string& path, std::size_t size, std::vector<std::uint8_t>* bytes,
                       std::string* error)
{
    if (!Opened(error))
        return false;
    bytes->clear();
    FileFacts facts;
    if (!Facts(path, &facts, error))
        return false;
    if (facts.type != FileFacts::Type::Regular) {
        *error = Name(path) + ": cannot be read: " +
                 (facts.type == FileFacts::Type::Missing ? "no such file" : "it is " + facts.what + ", not a regular file");
        return false;
    }
    Inode ni(ntfs_pathname_to_inode(volume_->volume, nullptr, path.c_str()));
    Attr na(ni ? ntfs_attr_open(ni.get(), AT_DATA, AT_UNNAMED, 0) : nullptr);
    if (!na) {
        *error = Name(path) + ": cannot be read: " + Why(errno);
        return false;
    }
    std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(size, static_cast<std::uint64_t>(na->data_size)));
    bytes->resize(wanted);
    std::size_t got = 0;
    while (got < wanted) {
        s64 n = ntfs_attr_pread(na.get(), static_cast<s64>(got), static_cast<s64>(wanted - got), bytes->data() + got);
        if (n <= 0) {
            *error = Name(path) + (n == 0 ? ": cannot be read whole: it ended after " + std::to_string(got) + " bytes"
                                          : ": cannot be read: " + Why(errno));
            bytes->clear();
            return false;
        }
        got += static_cast<std::size_t>(n);
    }
    return true;
}

bool NtfsFs::Read(const std::string& path, std::vector<std::uint8_t>* bytes, std::string* error)
{
    return ReadStart(path, SIZE_MAX, bytes, error);
}

std::string NtfsFs::WhyNotWritable(const std::string&)
{
    std::string closed;
    if (!Opened(&closed))
        return closed;
    if (writable_)
        return "";
    ntfs_volume* vol = volume_->volume;
    if (!allowHibernated_ && ntfs_volume_check_hiberfile(vol, 0) != 0) {
        g_lastMessage.clear();
        return "Windows left this NTFS hibernated or shut it down with Fast Startup (hiberfil.sys holds a memory "
               "image): written now, the volume would be damaged when Windows resumes; start the clone once and "
               "shut it down fully, or turn Fast Startup off";
    }
    // A journal with changes not yet applied: Windows replays it at the
    // next start, over whatever was written meanwhile.
    Inode log(ntfs_inode_open(vol, FILE_LogFile));
    Attr na(log ? ntfs_attr_open(log.get(), AT_DATA, AT_UNNAMED, 0) : nullptr);
    RESTART_PAGE_HEADER* restart = nullptr;
    bool clean = na && ntfs_check_logfile(na.get(), &restart) && ntfs_is_logfile_clean(na.get(), restart);
    std::free(restart);
    g_lastMessage.clear();
    if (!clean)
        return "Windows did not close this NTFS cleanly (its journal holds changes not yet applied); start the clone "
               "and shut it down fully, or let chkdsk repair it, before changing it";
    return "";
}

bool NtfsFs::Keep(const std::string& path, FileKeep* keep, std::string* error)
{
    if (!Opened(error))
        return false;
    Inode ni(ntfs_pathname_to_inode(volume_->volume, nullptr, path.c_str()));
    if (!ni) {
        *error = Name(path) + ": " + Why(errno);
        return false;
    }
    keep->securityId = le32_to_cpu(ni->security_id);
    keep->attributes = le32_to_cpu(ni->flags) & (FILE_ATTR_READONLY | FILE_ATTR_HIDDEN | FILE_ATTR_SYSTEM |
                                                 FILE_ATTR_ARCHIVE | FILE_ATTR_NOT_CONTENT_INDEXED);
    return true;
}

namespace {

// The folder of path open, and the last name of path converted.
struct Place {
    Inode dir;
    std::unique_ptr<Ucs> name;
};

bool OpenPlace(ntfs_volume* vol, const std::string& path, Place* place, int* why)
{
    place->dir.reset(ntfs_pathname_to_inode(vol, nullptr, FolderOf(path).c_str()));
    if (!place->dir) {
        *why = errno;
        return false;
    }
    place->name = std::make_unique<Ucs>(BaseName(path));
    if (!place->name->ok()) {
        *why = ENAMETOOLONG;
        return false;
    }
    return true;
}

// Whether the name is taken, in any case: Windows would take two names told
// apart only by case for one.
bool Exists(ntfs_volume* vol, const Place& place)
{
    return FindNoCase(vol, place.dir.get(), place.name->text, place.name->length) != static_cast<u64>(-1) ||
           errno == EEXIST;
}

// The record the folder's index names at path, and how many names that
// record says it has (-1 when it cannot be opened); false when the index
// has no such name.
bool NameRecord(ntfs_volume* vol, const std::string& path, u64* record, int* links)
{
    Place place;
    int why = 0;
    if (!OpenPlace(vol, path, &place, &why))
        return false;
    u64 ref = ntfs_inode_lookup_by_name(place.dir.get(), place.name->text, place.name->length);
    if (ref == static_cast<u64>(-1))
        return false;
    *record = MREF(ref);
    *links = -1;
    if (ntfs_inode* ni = ntfs_inode_open(vol, MREF(ref))) {
        *links = le16_to_cpu(ni->mrec->link_count);
        ntfs_inode_close(ni);
    }
    return true;
}

} // namespace

bool NtfsFs::CreateNew(const std::string& path, std::span<const std::uint8_t> bytes, const FileKeep& keep,
                       std::string* error)
{
    int why = 0;
    bool made = Step(
        [&](std::string* reason) {
            ntfs_volume* vol = volume_->volume;
            auto fail = [&](int error) {
                why = error;
                *reason = "cannot make " + Name(path) + ": " + Why(error);
                return false;
            };
            Place place;
            if (!OpenPlace(vol, path, &place, &why))
                return fail(why);
            if (Exists(vol, place))
                return fail(EEXIST);
            ntfs_inode* ni = ntfs_create(place.dir.get(), cpu_to_le32(keep.securityId), place.name->text,
                                         static_cast<u8>(place.name->length), S_IFREG);
            if (ni == nullptr)
                return fail(errno);
            bool written = true;
            {
                Attr na(ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0));
                std::size_t done = 0;
                written = na != nullptr;
                while (written && done < bytes.size()) {
                    s64 n = ntfs_attr_pwrite(na.get(), static_cast<s64>(done), static_cast<s64>(bytes.size() - done),
                                             bytes.data() + done);
                    written = n > 0;
                    done += written ? static_cast<std::size_t>(n) : 0;
                }
                if (!written)
                    why = errno ? errno : EIO;
            }
            u32 kept = FILE_ATTR_READONLY | FILE_ATTR_HIDDEN | FILE_ATTR_SYSTEM | FILE_ATTR_NOT_CONTENT_INDEXED;
            ni->flags = static_cast<FILE_ATTR_FLAGS>((le32_to_cpu(ni->flags) & ~kept) | (keep.attributes & kept));
            ntfs_inode_mark_dirty(ni);
            // Closed through its folder, whose index entry it updates.
            if (ntfs_inode_close_in_dir(ni, place.dir.get()) != 0 && written) {
                written = false;
                why = errno;
            }
            return written || fail(why);
        },
        error);
    if (!made)
        errno = why ? why : EIO;
    return made;
}

bool NtfsFs::Remove(const std::string& path, std::string* error)
{
    if (!writable_ && volume_) {
        // Nothing to remove needs no writing.
        FileFacts facts;
        std::string ignored;
        if (Facts(path, &facts, &ignored) && facts.type == FileFacts::Type::Missing)
            return true;
    }
    return Step(
        [&](std::string* reason) {
            ntfs_volume* vol = volume_->volume;
            Place place;
            int why = 0;
            if (!OpenPlace(vol, path, &place, &why)) {
                *reason = "cannot remove " + Name(path) + ": " + Why(why);
                return false;
            }
            u64 ref = ntfs_inode_lookup_by_name(place.dir.get(), place.name->text, place.name->length);
            if (ref == static_cast<u64>(-1))
                return true;
            ntfs_inode* ni = ntfs_inode_open(vol, MREF(ref));
            // ntfs_delete closes both inodes it is given.
            if (ni == nullptr || ntfs_delete(vol, path.c_str(), ni, place.dir.release(), place.name->text,
                                             static_cast<u8>(place.name->length)) != 0) {
                *reason = "cannot remove " + Name(path) + ": " + Why(errno);
                return false;
            }
            return true;
        },
        error);
}

namespace {

// Gives the file at from the further name to, in the same folder.
bool LinkName(ntfs_volume* vol, const std::string& from, const std::string& to, int* why)
{
    Place source, target;
    if (!OpenPlace(vol, from, &source, why) || !OpenPlace(vol, to, &target, why))
        return false;
    if (Exists(vol, target)) {
        *why = EEXIST;
        return false;
    }
    u64 ref = ntfs_inode_lookup_by_name(source.dir.get(), source.name->text, source.name->length);
    ntfs_inode* ni = ref == static_cast<u64>(-1) ? nullptr : ntfs_inode_open(vol, MREF(ref));
    if (ni == nullptr) {
        *why = errno ? errno : ENOENT;
        return false;
    }
    bool linked = ntfs_link(ni, target.dir.get(), target.name->text, static_cast<u8>(target.name->length)) == 0;
    *why = linked ? 0 : errno;
    // Closed through the folder whose index now names it.
    if (ntfs_inode_close_in_dir(ni, target.dir.get()) != 0 && linked) {
        *why = errno;
        linked = false;
    }
    return linked;
}

} // namespace

bool NtfsFs::Link(const std::string& from, const std::string& to, std::string* error)
{
    int why = 0;
    bool linked = Step(
        [&](std::string* reason) {
            if (LinkName(volume_->volume, from, to, &why))
                return true;
            *reason = "cannot give " + Name(from) + " the name " + Name(to) + ": " + Why(why);
            return false;
        },
        error);
    if (!linked)
        errno = why ? why : EIO;
    return linked;
}

bool NtfsFs::MoveNoReplace(const std::string& from, const std::string& to, std::string* error)
{
    if (!Link(from, to, error))
        return false;
    std::string removed;
    if (!Remove(from, &removed)) {
        std::string ignored;
        Remove(to, &ignored);
        *error = removed;
        errno = EIO;
        return false;
    }
    return true;
}

bool NtfsFs::Replace(const std::string& from, const std::string& to, std::string* error)
{
    // libntfs-3g has no rename over a file. As ntfs-3g does, the original
    // first gets a second name, then loses its own; the new file takes it
    // and gives up its temporary one. Unlike ntfs-3g, each step reaches the
    // disk whole before the next starts (or is taken back), the original's
    // second name goes only once the new file is in place, and a failure
    // puts the original back under its own name: the file is the original
    // or the new one, never missing.
    std::string hold = JoinPath(FolderOf(to), "." + BaseName(to) + ".voskarelle-old");
    std::string ignored, why;
    auto fail = [&](const std::string& reason, bool asItWas) {
        *error = "cannot put " + Name(from) + " in place of " + Name(to) + ": " + reason + "; " +
                 (asItWas ? Name(to) + " is as it was" : "the original is kept as " + Name(hold));
        return false;
    };
    // A stopped run may leave the original's second name behind. Where the
    // folder's index names one record twice but the record holds one name
    // (an index a power cut tore), removing ours would free the file
    // itself: nothing is removed, and the volume wants a check.
    u64 held = 0, own = 0;
    int heldLinks = 0, ownLinks = 0;
    if (volume_ && NameRecord(volume_->volume, hold, &held, &heldLinks) &&
        NameRecord(volume_->volume, to, &own, &ownLinks) && held == own && heldLinks < 2)
        return fail(Name(to) + " and " + Name(hold) + " name one file whose record holds " +
                        std::to_string(std::max(heldLinks, 0)) +
                        " name: the folder's index is damaged; check the volume (chkdsk /f in Windows, or ntfsfix)",
                    true);
    if (!Remove(hold, &why))
        return fail(why, true);
    if (!Link(to, hold, &why))
        return fail(why, true);
    if (!Remove(to, &why)) {
        Remove(hold, &ignored);
        return fail(why, true);
    }
    if (!Link(from, to, &why)) {
        bool restored = Link(hold, to, &ignored);
        if (restored)
            Remove(hold, &ignored);
        else
            damage = "the original of " + Name(to) + " is kept as " + Name(hold) + "; put it back under its name";
        return fail(why, restored);
    }
    // In place. What is left is the new file's temporary name and the
    // original's second one; should their removal fail, they stay beside
    // it, and the new file is in place all the same.
    Clear(from, &ignored);
    Clear(hold, &ignored);
    return true;
}

bool NtfsFs::Flush(const std::string&, std::string* error)
{
    // Each step was flushed when it reached the disk. A step that could not
    // be taken back, even one the change went on without (removing a name
    // left over), leaves a volume that cannot be called safely written.
    if (!damage.empty()) {
        *error = damage;
        return false;
    }
    if (!writable_ || FlushDisk(volume_->device))
        return true;
    *error = "cannot flush " + partition_ + ": " + Why(errno);
    return false;
}
