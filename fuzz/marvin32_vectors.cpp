// The published Marvin32 test vectors, checked by make test beside the fuzz regressions.

#include <array>
#include <cstdint>
#include <cstdio>
#include <numeric>

#include "marvin32.hpp"

int main() {
  constexpr std::uint64_t seed = 0x004FB61A001BDBCC;
  std::array<std::uint8_t, 256> all{};
  std::iota(all.begin(), all.end(), std::uint8_t{0});
  const std::uint8_t one[] = {0xAF};
  const bool ok = kelpa::marvin32({}, seed) == 0x30ED35C100CD3C7D &&
                  kelpa::marvin32(one, seed) == 0x48E73FC77D75DDC1 &&
                  kelpa::marvin32(all, seed) == 0x7DFCAB33FCEAD72C;
  if (!ok) std::fputs("Marvin32 does not give the published test vectors\n", stderr);
  return ok ? 0 : 1;
}
