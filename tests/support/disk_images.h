// Files and disk images for the command's tests: whole files read and
// written, and sparse images partitioned by sfdisk.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

std::vector<std::uint8_t> FileBytes(const std::filesystem::path& path);
void WriteBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);

// Writes at byte at of image the first sector and the metadata block
// libblkid knows a BitLocker volume by.
void MakeBitLocker(const std::string& image, std::uint64_t at);

// The path of a system tool in /usr/sbin when it is there, else its name.
std::string Tool(const char* name);

// A sparse image of size ("80M") partitioned from an sfdisk script, in
// sectors of sectorSize bytes (sfdisk here counts in 512; fdisk -b loads
// the same script for the others).
bool MakeImage(const std::filesystem::path& image, const char* size, const std::string& script,
               unsigned sectorSize = 512);

// A raw image converted by qemu-img into a VM image of format at to (with
// qemu-img's -o options when given), and a VM image back into a raw one;
// false when qemu-img fails.
bool ToVmImage(const std::filesystem::path& raw, const std::string& format, const std::filesystem::path& to,
               const std::string& options = "");
bool ToRawImage(const std::filesystem::path& vm, const std::filesystem::path& to);
