// Little-endian fields of on-disk structures (hive base blocks, logs, boot
// store elements). Readers take a span and an offset the caller has already
// checked against its size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

inline std::uint16_t Le16(std::span<const std::uint8_t> b, std::size_t at)
{
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

inline std::uint32_t Le32(std::span<const std::uint8_t> b, std::size_t at)
{
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

inline std::uint64_t Le64(std::span<const std::uint8_t> b, std::size_t at)
{
    return Le32(b, at) | (static_cast<std::uint64_t>(Le32(b, at + 4)) << 32);
}

inline void PutLe16(std::span<std::uint8_t> b, std::size_t at, std::uint16_t v)
{
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

inline void PutLe32(std::span<std::uint8_t> b, std::size_t at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

inline void PutLe64(std::span<std::uint8_t> b, std::size_t at, std::uint64_t v)
{
    PutLe32(b, at, static_cast<std::uint32_t>(v));
    PutLe32(b, at + 4, static_cast<std::uint32_t>(v >> 32));
}
