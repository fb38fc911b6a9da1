#include "hive/marvin32.h"

#include "hive/bytes.h"

namespace {

std::uint32_t Rotl(std::uint32_t v, int n)
{
    return (v << n) | (v >> (32 - n));
}

} // namespace

std::uint64_t Marvin32(std::span<const std::uint8_t> data, std::uint64_t seed)
{
    std::uint32_t lo = static_cast<std::uint32_t>(seed);
    std::uint32_t hi = static_cast<std::uint32_t>(seed >> 32);
    auto block = [&] {
        hi ^= lo;
        lo = Rotl(lo, 20);
        lo += hi;
        hi = Rotl(hi, 9);
        hi ^= lo;
        lo = Rotl(lo, 27);
        lo += hi;
        hi = Rotl(hi, 19);
    };
    std::size_t at = 0;
    for (; at + 4 <= data.size(); at += 4) {
        lo += Le32(data, at);
        block();
    }
    std::uint32_t last = 0x80;
    for (std::size_t i = data.size(); i > at; --i)
        last = (last << 8) | data[i - 1];
    lo += last;
    block();
    block();
    return (static_cast<std::uint64_t>(hi) << 32) | lo;
}
