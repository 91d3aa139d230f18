#pragma once

#include <cstdint>

#include "le.hpp"

namespace kelpa {

// The seed with which Windows hashes the entries of its transaction logs; the low word is the
// initial low state.
inline constexpr std::uint64_t LOG_ENTRY_SEED = 0x82EF4D887A4E55C5;

// The Marvin32 hash of `data` under `seed`. Never fails; reads each byte once.
[[nodiscard]] std::uint64_t marvin32(Bytes data, std::uint64_t seed) noexcept;

}  // namespace kelpa
