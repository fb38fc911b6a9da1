#include "mounttable/text.h"
#include "mounttable/identity.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

bool CopyText(char* dst, std::size_t cap, std::string_view src)
{
    if (cap == 0)
        return src.empty();
    std::size_t n = src.size() < cap - 1 ? src.size() : cap - 1;
    std::memcpy(dst, src.data(), n);
    dst[n] = '\0';
    return n == src.size();
}

bool AppendText(char* dst, std::size_t cap, std::string_view src)
{
    std::size_t used = TextLength(dst, cap);
    if (used >= cap)
        return src.empty();
    return CopyText(dst + used, cap - used, src);
}

std::size_t TextLength(const char* text, std::size_t cap)
{
    const void* end = std::memchr(text, '\0', cap);
    return end ? static_cast<std::size_t>(static_cast<const char*>(end) - text) : cap;
}

static unsigned Fold(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
}

int CompareNoCase(std::string_view a, std::string_view b)
{
    std::size_t n = a.size() > b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) {
        unsigned ca = i < a.size() ? Fold(static_cast<unsigned char>(a[i])) : 0;
        unsigned cb = i < b.size() ? Fold(static_cast<unsigned char>(b[i])) : 0;
        if (ca != cb)
            return static_cast<int>(ca) - static_cast<int>(cb);
    }
    return 0;
}

std::string FoldedText(std::string_view text)
{
    std::string folded(text);
    for (char& c : folded)
        c = static_cast<char>(Fold(static_cast<unsigned char>(c)));
    return folded;
}

void EncodeDeviceDataHex(const std::uint8_t* data, std::size_t length, char* out)
{
    // Only the bytes whose digits can reach the cell are encoded.
    std::size_t shown = length < kHexChars / 2 ? length : kHexChars / 2;
    CopyText(out, kHexChars, HexText(std::span<const std::uint8_t>(data, shown)));
}

std::size_t DecodeDeviceDataHex(const char* text, std::uint8_t* out)
{
    std::memset(out, 0, kRegDataBytes);
    std::size_t count = TextLength(text, kHexChars) / 2;
    for (std::size_t k = 0; k < count; ++k) {
        char pair[3] = {text[2 * k], text[2 * k + 1], '\0'};
        out[k] = static_cast<std::uint8_t>(std::strtoul(pair, nullptr, 16));
    }
    return count;
}

bool IsWholeDeviceDataHex(const char* text)
{
    std::size_t n = TextLength(text, kHexChars);
    return n < kHexChars - 1 && n % 2 == 0;
}

const char* DriveLetterPart(const char* valueName)
{
    std::size_t n = TextLength(valueName, kDriveLetterPrefix.size());
    if (n < kDriveLetterPrefix.size())
        return nullptr;
    if (CompareNoCase(std::string_view(valueName, n), kDriveLetterPrefix) != 0)
        return nullptr;
    return valueName + kDriveLetterPrefix.size();
}

const char* DriveTypeName(long long code)
{
    static const char* const names[] = {
        "DRIVE_UNKNOWN", "DRIVE_NO_ROOT_DIR", "DRIVE_REMOVABLE", "DRIVE_FIXED",
        "DRIVE_REMOTE",  "DRIVE_CDROM",       "DRIVE_RAMDISK",
    };
    if (code < 0 || code > 6)
        code = 0;
    return names[code];
}
