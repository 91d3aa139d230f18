// Fuzz target: the input is a whole hive file, opened tolerantly (whatever its checksum and
// version say) and read as a tolerant caller lists it: every key's subkeys, values, data, class
// name and security descriptor, then the problem log. No listing of a tolerant hive may fail.
// The resumable walk and the path look-ups of a tolerant hive are fuzz_hive_walk's.

#include <cstddef>
#include <cstdint>

#include "hive_mutator.hpp"
#include "hive_walk.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto hive = kelpa::fuzz::open_image(data, size, kelpa::ReadMode::Tolerant, false);
  if (!hive) return 0;
  kelpa::fuzz::walk(*hive);
  kelpa::fuzz::check_problems(*hive);
  return 0;
}
