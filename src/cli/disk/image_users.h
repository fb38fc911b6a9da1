// Who else depends on a disk image before it is written: images that name
// it as their backing file (qcow2 overlays, VHDX differencing disks, VMDK
// deltas), which read through to it, and other processes that hold it open
// for writing (a running VM, a second voskarelle), whatever their format.
#pragma once

#include <string>
#include <vector>

// The images in the folder of image (as named and as linked to, and their
// Snapshots folders) that name it as their backing file; none when it has
// none or is no regular file. unknown gets the images there whose backing
// file cannot be told (a differencing disk qemu does not open).
std::vector<std::string> ChildImages(const std::string& image, std::vector<std::string>* unknown = nullptr);

// The images at the top of every chain above an image whose children (as
// ChildImages found them) are given: those that stand on it, directly or
// through others, and that nothing stands on in turn.
std::vector<std::string> TopImages(const std::vector<std::string>& children);

// Another process holding path open for writing, found through root's
// /proc (its pid and name); "" when none does. This process and its own
// children (qemu-nbd) do not count.
std::string WriterOf(const std::string& root, const std::string& path);

// Why the image at path must not be written: another process writes it,
// or (unless force) other images stand on it. "" when it may be.
std::string WhyImageNotWritable(const std::string& root, const std::string& path, bool force);
