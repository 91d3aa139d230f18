// Fuzz target: the input is a whole hive file, opened strictly and walked: the bins, every key
// from the root with its values, data, class name and security descriptor. A listing that fails
// ends that key's walk, as it ends a strict caller's.

#include <cstddef>
#include <cstdint>

#include "hive_mutator.hpp"
#include "hive_walk.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The image as given first, so that every check of from_data is reached; when only the
  // checksum is wrong (a cheap failure: nothing is walked), once more with it put right.
  kelpa::ErrorKind failed{};
  auto hive = kelpa::fuzz::open_image(data, size, kelpa::ReadMode::Strict, false, &failed);
  if (!hive && failed == kelpa::ErrorKind::ChecksumMismatch)
    hive = kelpa::fuzz::open_image(data, size, kelpa::ReadMode::Strict, true);
  if (!hive) return 0;
  kelpa::fuzz::walk(*hive);
  kelpa::fuzz::check_problems(*hive);
  return 0;
}
