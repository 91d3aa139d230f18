// Fuzz target: the input is a whole hive file, opened tolerantly and walked as the tree walk hands
// keys out: the resumable walk in batches, the paths of its first keys through their parents and
// the look-up of each path from the root, then the problem log. No walk of a tolerant hive may
// fail. The listings of each key are fuzz_hive_tolerant's.

#include <cstddef>
#include <cstdint>

#include "hive_mutator.hpp"
#include "hive_walk.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto hive = kelpa::fuzz::open_image(data, size, kelpa::ReadMode::Tolerant, false);
  if (!hive) return 0;
  kelpa::fuzz::walk_paths(*hive);
  kelpa::fuzz::check_problems(*hive);
  return 0;
}
