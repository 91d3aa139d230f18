// Fuzz target: the input is a whole hive file whose two tables (keys and values, deleted records
// included) are built batch by batch. A hive whose stored checksum is right is opened strictly,
// so that a table ends at its first error; any other tolerantly, so that it goes on past them.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "hive_mutator.hpp"
#include "hive_walk.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  bool sound_checksum = false;
  if (size >= kelpa::HIVE_MIN_SIZE) {
    std::vector<std::uint8_t> block(data, data + kelpa::HIVE_MIN_SIZE);
    kelpa::store_base_block_checksum(block);
    sound_checksum = std::equal(block.begin(), block.end(), data);
  }
  auto hive = kelpa::fuzz::open_image(data, size, sound_checksum ? kelpa::ReadMode::Strict : kelpa::ReadMode::Tolerant, false);
  if (!hive) return 0;
  kelpa::fuzz::walk_tables(hive);
  kelpa::fuzz::check_problems(*hive);
  return 0;
}
