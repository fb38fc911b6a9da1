// A virtual machine's disk (qcow2 with its backing chain, VMDK, VHDX, VHD,
// VDI) read and written through libnbd. qemu-nbd runs as this process's own
// child, in a process group of its own so that a key pressed at the terminal
// reaches only the command, handed a listening socket in a private folder as
// systemd hands one (socket activation): no kernel nbd device and no root.
// qemu's image locking refuses an image that a running VM holds.
//
// libblkid, libfdisk and mtools read files, not NBD: they are given a
// memory file the size of the virtual disk, the mirror, holding copies of
// the ranges they need. What they write there reaches the image only
// through SyncVmImageMirror, which writes what differs and flushes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct VmImage;

// The writes to an image that change it, where a test can fail them: one
// whole write at a byte offset, and its flush; false with errno.
class ImageWrites {
public:
    virtual ~ImageWrites() = default;
    virtual bool WriteImage(VmImage& image, const void* data, std::size_t size, std::uint64_t offset);
    virtual bool FlushImage(VmImage& image);
};

// The format the file's own bytes name, as qemu calls it: "qcow2", "vmdk",
// "vhdx", "vpc" (VHD), "vdi"; "" for anything else, which is read as raw.
std::string VmImageFormat(int fd);

// The image at path, opened once per process and again for writing when a
// change first needs it; nullptr with the reason (qemu-nbd's, made one
// line, or that a running VM holds it).
VmImage* OpenVmImage(const std::string& path, bool forWriting, std::string* error);

// Disconnects from every image and waits for its qemu-nbd to close it.
void CloseVmImages();

std::uint64_t VmImageSize(const VmImage& image);

// Whole reads and writes at a byte offset, aligned to what the server takes
// (read, changed and written back where they are not); false with errno.
// A read is served from the mirror, which copies what it lacks in chunks
// (libntfs-3g reads a record at a time); a write reaches the mirror too,
// where it holds a copy. An uncached read asks the image itself, to read
// back what was written.
bool ReadVmImage(VmImage& image, void* data, std::size_t size, std::uint64_t offset);
bool ReadVmImageUncached(VmImage& image, void* data, std::size_t size, std::uint64_t offset);
bool WriteVmImage(VmImage& image, const void* data, std::size_t size, std::uint64_t offset);
bool FlushVmImage(VmImage& image);

// The mirror's descriptor, and the name another process opens it by.
int VmImageMirror(VmImage& image);
std::string VmImageMirrorPath(VmImage& image);

// Copies [offset, offset + length) of the image into the mirror, once
// (what the image reports as zeros is not read); false with the reason.
bool MirrorVmImage(VmImage& image, std::uint64_t offset, std::uint64_t length, std::string* error);

// Copies the disk's label areas into the mirror: the MBR or GPT with its
// entries (34 sectors of 4096 bytes at most) at the start, the backup GPT
// at the end.
bool MirrorVmImageEdges(VmImage& image, std::string* error);

// Writes to the image, through writes, whatever the mirror's copy of
// [offset, offset + length) now holds that the image does not, and
// flushes. When a write or the flush fails, what was written is given its
// old bytes back and the mirror is put back as the image is, so that both
// are as before; torn says when even that failed.
bool SyncVmImageMirror(VmImage& image, std::uint64_t offset, std::uint64_t length, ImageWrites& writes, bool* torn,
                       std::string* error);
