// Fuzz target: the input is a whole hive file, opened tolerantly, whose free cells and slack are
// scanned for deleted keys and values; the first deleted keys are read as the tree's keys are.

#include <cstddef>
#include <cstdint>

#include "hive_mutator.hpp"
#include "hive_walk.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto hive = kelpa::fuzz::open_image(data, size, kelpa::ReadMode::Tolerant, false);
  if (!hive) return 0;
  kelpa::fuzz::walk_deleted(*hive, hive->bytes().size());
  kelpa::fuzz::check_problems(*hive);
  return 0;
}
