// Facts about a hive file that both front ends check before changing one:
// its base block, its transaction logs and a clone's hibernation image.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

inline constexpr std::size_t kBaseBlockBytes = 4096;

struct BaseBlock {
    std::uint32_t primarySequence = 0;
    std::uint32_t secondarySequence = 0;
    std::uint32_t majorVersion = 0;
    std::uint32_t minorVersion = 0;
    std::uint32_t hiveBinsSize = 0;
    bool checksumOk = false;
    // Sequence numbers that differ, or a damaged base block, mean a write
    // was not completed in the base file: the latest state is the file plus
    // its transaction logs.
    bool Dirty() const { return primarySequence != secondarySequence || !checksumOk; }
};

// Reads the base block at the start of a file; false when the bytes are no
// whole base block beginning with "regf".
bool ParseBaseBlock(std::span<const std::uint8_t> start, BaseBlock* block);

// XOR of the first 127 double words, with 0 and 0xFFFFFFFF avoided.
std::uint32_t BaseBlockChecksum(std::span<const std::uint8_t> block);

// True when candidate is one of the hive's transaction logs: the hive's file
// name followed by ".LOG", ".LOG1" or ".LOG2", in any case.
bool IsHiveLogName(std::string_view hiveName, std::string_view candidate);

// The clone's root folder when path ends in Windows\System32\config\<file>
// (either separator, any case), without a trailing separator; empty otherwise.
std::string CloneRootOfHivePath(std::string_view path);

// A hiberfil.sys that begins with "hibr" (any case) holds a memory image that
// Windows resumes from, dropping registry changes made meanwhile; "wake",
// zeroes or anything else do not.
bool IsHibernationImage(std::span<const std::uint8_t> start);
