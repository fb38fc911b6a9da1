// What a volume identity (the data of a MountedDevices entry) says: the window
// turns it into a tip, the command into text and JSON.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

enum class IdentityKind {
    Mbr,    // 4-byte disk signature, 8-byte little-endian partition offset
    Gpt,    // "DMIO:ID:" and the 16-byte partition GUID
    Device, // a UTF-16LE device path, "\??\USBSTOR#..." or "_??_USBSTOR#..."
    Other,
};

inline constexpr std::size_t kMbrIdentityBytes = 12;
inline constexpr std::string_view kGptIdentityPrefix = "DMIO:ID:";
inline constexpr std::size_t kGptIdentityBytes = 24;

struct DecodedIdentity {
    IdentityKind kind = IdentityKind::Other;
    std::uint32_t diskSignature = 0;      // Mbr
    std::uint64_t offset = 0;             // Mbr, in bytes
    std::array<std::uint8_t, 16> guid{};  // Gpt, as stored (Windows GUID layout)
    std::u16string devicePath;            // Device, without trailing NULs
};

DecodedIdentity DecodeIdentity(std::span<const std::uint8_t> data);

// "mbr", "gpt", "device", "other".
const char* IdentityKindName(IdentityKind kind);

// The identity bytes of a partition, as Windows records them.
std::vector<std::uint8_t> MbrIdentity(std::uint32_t diskSignature, std::uint64_t offset);
std::vector<std::uint8_t> GptIdentity(const std::array<std::uint8_t, 16>& guid);

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" of a GUID in Windows' byte layout.
std::string GuidText(const std::array<std::uint8_t, 16>& guid);

// An MBR disk signature as Windows tools show it: "5CBEA03E".
std::string SignatureText(std::uint32_t signature);
// The inverse, for "xxxxxxxx-xxxx-..." with or without braces; false when malformed.
bool ParseGuid(std::string_view text, std::array<std::uint8_t, 16>* guid);

// "1 MiB", "100 GiB": the offset in the largest binary unit that divides it
// evenly; empty for 0 and for offsets that are no whole KiB.
std::string WholeBinaryUnit(std::uint64_t bytes);

// Upper-case hexadecimal of any length, two digits a byte.
std::string HexText(std::span<const std::uint8_t> data);
// Parses hexadecimal digits of either case; false for an odd count or a non-digit.
bool ParseHex(std::string_view text, std::vector<std::uint8_t>* bytes);
// Exactly 8 hexadecimal digits as a 32-bit number, most significant first:
// an MBR disk signature as shown, or a boot store element's key name.
bool ParseHex32(std::string_view text, std::uint32_t* value);

// UTF-8 of UTF-16 code units; unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);
