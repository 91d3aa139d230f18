// Fuzz target: the input is a whole hive file, opened as an owned image and walked.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "hive.hpp"
#include "hive_walk.hpp"

namespace {

// Opens the input as an owned image and walks it; returns whether it opened. With
// `fix_checksum` the correct checksum is put in first, so that mutations of the base block reach
// the checks after the checksum instead of stopping at it.
bool open_and_walk(const std::uint8_t* data, std::size_t size, bool fix_checksum, kelpa::ReadMode mode) {
  auto image = std::make_shared<std::vector<std::uint8_t>>(data, data + size);
  if (fix_checksum) kelpa::store_base_block_checksum(*image);
  auto hive = kelpa::Hive::from_data(kelpa::HiveData(std::shared_ptr<const std::vector<std::uint8_t>>(std::move(image))), mode);
  if (!hive) {
    kelpa::fuzz::consume(hive.error());
    return hive.error().kind() != kelpa::ErrorKind::ChecksumMismatch;
  }
  kelpa::fuzz::walk(**hive);
  kelpa::fuzz::walk_paths(**hive);
  kelpa::fuzz::walk_tables(*hive);
  kelpa::fuzz::check_problems(**hive);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The image as given first, so that every check of from_data is reached; when only the
  // checksum is wrong, once more with it put right. Then the same image read tolerantly, which
  // opens it whatever its checksum says.
  if (!open_and_walk(data, size, false, kelpa::ReadMode::Strict)) open_and_walk(data, size, true, kelpa::ReadMode::Strict);
  open_and_walk(data, size, false, kelpa::ReadMode::Tolerant);
  return 0;
}
