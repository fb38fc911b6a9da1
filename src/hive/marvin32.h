// Marvin32, the keyed hash that checks each entry of a transaction log in
// the newer format (and that a test writer uses to seal the logs it makes).
#pragma once

#include <cstdint>
#include <span>

std::uint64_t Marvin32(std::span<const std::uint8_t> data, std::uint64_t seed);
inline constexpr std::uint64_t kLogHashSeed = 0x82EF4D887A4E55C5ull;
