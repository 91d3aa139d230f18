#include "marvin32.hpp"

#include <bit>
#include <cstring>

namespace kelpa {

namespace {

struct State {
  std::uint32_t lo, hi;

  void mix() noexcept {
    hi ^= lo;
    lo = std::rotl(lo, 20) + hi;
    hi = std::rotl(hi, 9) ^ lo;
    lo = std::rotl(lo, 27) + hi;
    hi = std::rotl(hi, 19);
  }
};

}  // namespace

std::uint64_t marvin32(Bytes data, std::uint64_t seed) noexcept {
  State s{static_cast<std::uint32_t>(seed), static_cast<std::uint32_t>(seed >> 32)};
  const std::size_t whole = data.size() & ~std::size_t{3};
  // The hash's hot loop: positions below `whole` are inside `data`, so words are loaded without
  // the per-field check of load_u32.
  const std::uint8_t* bytes = data.data();
  for (std::size_t at = 0; at < whole; at += 4) {
    std::uint32_t word;
    std::memcpy(&word, bytes + at, sizeof word);
    if constexpr (std::endian::native == std::endian::big) word = std::byteswap(word);
    s.lo += word;
    s.mix();
  }
  // The 0 to 3 bytes left, little-endian, below a 0x80 end marker.
  std::uint32_t last = 0x80;
  for (std::size_t at = data.size(); at > whole; --at) last = (last << 8) | data[at - 1];
  s.lo += last;
  s.mix();
  s.mix();
  return (std::uint64_t{s.hi} << 32) | s.lo;
}

}  // namespace kelpa
