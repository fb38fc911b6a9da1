// Text handling shared by every part of the program: bounded copies, the
// case-insensitive comparison used wherever letters are compared, the hex form
// of a registry value's data and the drive-letter entry rule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Buffer capacities in characters (or bytes), terminator included.
inline constexpr std::size_t kCellChars = 260;    // paths and table cells
inline constexpr std::size_t kHexChars = 1024;    // the DeviceDataHex cell
inline constexpr std::size_t kRegNameChars = 1025; // registry value names
inline constexpr std::size_t kRegDataBytes = 1025; // registry value data

// The longest data whose DeviceDataHex fits the hex cell whole.
inline constexpr std::size_t kMaxWholeIdentityBytes = (kHexChars - 1) / 2;

inline constexpr std::string_view kDriveLetterPrefix = "\\DosDevices\\";

// Copies as much of src as fits, always terminating; returns false when cut.
bool CopyText(char* dst, std::size_t cap, std::string_view src);
// Appends as much of src as fits after dst's current text; false when cut.
bool AppendText(char* dst, std::size_t cap, std::string_view src);

// Length of a terminated text in a buffer of cap characters.
std::size_t TextLength(const char* text, std::size_t cap);

// Byte-wise comparison with A-Z folded to a-z (also inside double-byte
// characters); the result is the difference of the first differing folded
// bytes, so only its sign and zero-ness carry meaning for callers.
int CompareNoCase(std::string_view a, std::string_view b);
// The text with A-Z folded to a-z: two texts compare equal under
// CompareNoCase exactly when their folded forms are equal.
std::string FoldedText(std::string_view text);

// Writes data as two upper-case hex digits per byte into out (kHexChars).
// Data longer than kMaxWholeIdentityBytes is cut at the cell: the result then
// has odd length, which is how a later write recognises it as not whole.
void EncodeDeviceDataHex(const std::uint8_t* data, std::size_t length, char* out);

// Decodes whole digit pairs from the start of text into out (kRegDataBytes,
// zeroed first); an odd last character is ignored. Returns the byte count.
std::size_t DecodeDeviceDataHex(const char* text, std::uint8_t* out);

// True when text is a whole DeviceDataHex: even length, shorter than the cell.
bool IsWholeDeviceDataHex(const char* text);

// The letter part of a drive-letter entry's name ("E:" of "\DosDevices\E:"),
// or nullptr when the name is not a drive-letter entry.
const char* DriveLetterPart(const char* valueName);

// Name of a GetDriveTypeA code; codes outside 0..6 count as 0.
const char* DriveTypeName(long long code);
