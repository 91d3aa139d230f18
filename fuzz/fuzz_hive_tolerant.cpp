// Fuzz target: the input is a whole hive file, opened tolerantly (whatever its checksum and
// version say) and read as a tolerant caller reads it: the listings of every key, the resumable
// walk with the paths of its first keys and their look-up from the root, then the problem log.
// No listing of a tolerant hive may fail.

#include <cstddef>
#include <cstdint>

#include "hive_mutator.hpp"
#include "hive_walk.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto hive = kelpa::fuzz::open_image(data, size, kelpa::ReadMode::Tolerant, false);
  if (!hive) return 0;
  kelpa::fuzz::walk(*hive);
  kelpa::fuzz::walk_paths(*hive);
  kelpa::fuzz::check_problems(*hive);
  return 0;
}
