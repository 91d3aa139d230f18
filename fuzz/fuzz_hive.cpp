// Fuzz target: the input is a whole hive file, opened as an owned image and walked.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "hive.hpp"
#include "hive_walk.hpp"

namespace {

// Puts the correct checksum into a copy of the image, so that mutations of the base block reach
// the checks after the checksum instead of stopping at it.
std::vector<std::uint8_t> with_checksum(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> image(data, data + size);
  kelpa::store_base_block_checksum(image);
  return image;
}

void open_and_walk(std::vector<std::uint8_t> image) {
  auto buffer = std::make_shared<const std::vector<std::uint8_t>>(std::move(image));
  auto hive = kelpa::Hive::from_data(kelpa::HiveData(std::move(buffer)));
  if (!hive) return kelpa::fuzz::consume(hive.error());
  kelpa::fuzz::walk(**hive);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The image as given first, so that every check of from_data is reached; when only the
  // checksum is wrong, once more with it put right.
  const std::vector<std::uint8_t> image(data, data + size);
  auto buffer = std::make_shared<const std::vector<std::uint8_t>>(image);
  auto hive = kelpa::Hive::from_data(kelpa::HiveData(std::move(buffer)));
  if (hive) {
    kelpa::fuzz::walk(**hive);
    return 0;
  }
  kelpa::fuzz::consume(hive.error());
  if (hive.error().kind() == kelpa::ErrorKind::ChecksumMismatch) open_and_walk(with_checksum(data, size));
  return 0;
}
