#include "mounttable/identity.h"

#include <cstdio>
#include <cstring>

namespace {

std::uint64_t LittleEndian(const std::uint8_t* bytes, int count)
{
    std::uint64_t value = 0;
    for (int i = count - 1; i >= 0; --i)
        value = (value << 8) | bytes[i];
    return value;
}

bool StartsWithUtf16(std::span<const std::uint8_t> data, std::string_view ascii)
{
    if (data.size() < 2 * ascii.size())
        return false;
    for (std::size_t i = 0; i < ascii.size(); ++i)
        if (data[2 * i] != static_cast<std::uint8_t>(ascii[i]) || data[2 * i + 1] != 0)
            return false;
    return true;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

void AppendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

} // namespace

DecodedIdentity DecodeIdentity(std::span<const std::uint8_t> data)
{
    DecodedIdentity id;
    if (data.size() == kMbrIdentityBytes) {
        id.kind = IdentityKind::Mbr;
        id.diskSignature = static_cast<std::uint32_t>(LittleEndian(data.data(), 4));
        id.offset = LittleEndian(data.data() + 4, 8);
        return id;
    }
    if (data.size() == kGptIdentityBytes &&
        std::memcmp(data.data(), kGptIdentityPrefix.data(), kGptIdentityPrefix.size()) == 0) {
        id.kind = IdentityKind::Gpt;
        std::memcpy(id.guid.data(), data.data() + kGptIdentityPrefix.size(), id.guid.size());
        return id;
    }
    if (data.size() % 2 == 0 && (StartsWithUtf16(data, "\\??\\") || StartsWithUtf16(data, "_??_"))) {
        id.kind = IdentityKind::Device;
        for (std::size_t i = 0; i + 1 < data.size(); i += 2)
            id.devicePath += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        while (!id.devicePath.empty() && id.devicePath.back() == u'\0')
            id.devicePath.pop_back();
        return id;
    }
    return id;
}

const char* IdentityKindName(IdentityKind kind)
{
    switch (kind) {
    case IdentityKind::Mbr:
        return "mbr";
    case IdentityKind::Gpt:
        return "gpt";
    case IdentityKind::Device:
        return "device";
    case IdentityKind::Other:
        break;
    }
    return "other";
}

std::vector<std::uint8_t> MbrIdentity(std::uint32_t diskSignature, std::uint64_t offset)
{
    std::vector<std::uint8_t> data(kMbrIdentityBytes);
    for (int i = 0; i < 4; ++i)
        data[i] = static_cast<std::uint8_t>(diskSignature >> (8 * i));
    for (int i = 0; i < 8; ++i)
        data[4 + i] = static_cast<std::uint8_t>(offset >> (8 * i));
    return data;
}

std::vector<std::uint8_t> GptIdentity(const std::array<std::uint8_t, 16>& guid)
{
    std::vector<std::uint8_t> data(kGptIdentityBytes);
    std::memcpy(data.data(), kGptIdentityPrefix.data(), kGptIdentityPrefix.size());
    std::memcpy(data.data() + kGptIdentityPrefix.size(), guid.data(), guid.size());
    return data;
}

std::string SignatureText(std::uint32_t signature)
{
    char text[16];
    std::snprintf(text, sizeof text, "%08X", signature);
    return text;
}

// The first three groups are little-endian numbers; the last two are bytes
// in the order stored.
static constexpr int kGuidTextOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};

std::string GuidText(const std::array<std::uint8_t, 16>& guid)
{
    static const char digits[] = "0123456789abcdef";
    std::string text = "{";
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text += '-';
        std::uint8_t b = guid[kGuidTextOrder[i]];
        text += digits[b >> 4];
        text += digits[b & 0xF];
    }
    text += '}';
    return text;
}

bool ParseGuid(std::string_view text, std::array<std::uint8_t, 16>* guid)
{
    if (text.size() == 38 && text.front() == '{' && text.back() == '}')
        text = text.substr(1, 36);
    if (text.size() != 36)
        return false;
    int byte = 0;
    for (std::size_t i = 0; i < text.size();) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-')
                return false;
            ++i;
            continue;
        }
        int hi = HexDigit(text[i]);
        int lo = HexDigit(text[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        (*guid)[kGuidTextOrder[byte++]] = static_cast<std::uint8_t>(hi * 16 + lo);
        i += 2;
    }
    return byte == 16;
}

std::string WholeBinaryUnit(std::uint64_t bytes)
{
    static const char* const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (bytes == 0 || bytes % 1024 != 0)
        return {};
    int unit = 0;
    bytes /= 1024;
    while (unit + 1 < 6 && bytes % 1024 == 0) {
        bytes /= 1024;
        ++unit;
    }
    return std::to_string(bytes) + " " + units[unit];
}

std::string HexText(std::span<const std::uint8_t> data)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(2 * data.size());
    for (std::uint8_t b : data) {
        text += digits[b >> 4];
        text += digits[b & 0xF];
    }
    return text;
}

bool ParseHex(std::string_view text, std::vector<std::uint8_t>* bytes)
{
    if (text.size() % 2 != 0)
        return false;
    bytes->clear();
    for (std::size_t i = 0; i < text.size(); i += 2) {
        int hi = HexDigit(text[i]);
        int lo = HexDigit(text[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        bytes->push_back(static_cast<std::uint8_t>(hi * 16 + lo));
    }
    return true;
}

bool ParseHex32(std::string_view text, std::uint32_t* value)
{
    std::vector<std::uint8_t> bytes;
    if (text.size() != 8 || !ParseHex(text, &bytes))
        return false;
    *value = std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 | std::uint32_t{bytes[2]} << 8 | bytes[3];
    return true;
}

std::string Utf16ToUtf8(std::u16string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        AppendUtf8(out, c);
    }
    return out;
}
