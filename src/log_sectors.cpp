#include "log_sectors.hpp"

#include <algorithm>
#include <bit>

#include "hive.hpp"

namespace kelpa {

std::expected<SectorLog, std::string> read_sector_log(Bytes file, std::uint32_t hive_bins_data_size) {
  if (!has_four_byte_signature(file, dirty_vector::SIGNATURE, "DIRT")) return std::unexpected("no dirty vector");
  const std::uint64_t vector_size = hive_bins_data_size / HIVE_MIN_SIZE;
  const auto vector = slice(file, dirty_vector::BITS, vector_size);
  if (!vector) return std::unexpected("dirty vector runs past the end of the file");
  SectorLog log;
  log.vector = *vector;
  const std::uint64_t head = 4 + vector_size;
  log.first_sector_at = dirty_vector::SIGNATURE + static_cast<std::size_t>((head + dirty_vector::SECTOR_SIZE - 1) /
                                                                           dirty_vector::SECTOR_SIZE * dirty_vector::SECTOR_SIZE);
  for (const std::uint8_t bits : log.vector) log.sectors += static_cast<std::uint64_t>(std::popcount(bits));
  if (!slice(file, log.first_sector_at, log.sectors * dirty_vector::SECTOR_SIZE))
    return std::unexpected("dirty sectors run past the end of the file");
  return log;
}

std::uint64_t apply_sectors(const SectorLog& log, Bytes file, std::vector<std::uint8_t>& image) {
  std::size_t from = log.first_sector_at;
  std::uint64_t written = 0;
  for (std::size_t byte = 0; byte < log.vector.size(); ++byte) {
    for (std::size_t bit = 0; bit < 8; ++bit) {
      if ((log.vector[byte] >> bit & 1) == 0) continue;
      const std::size_t target = HIVE_MIN_SIZE + (byte * 8 + bit) * dirty_vector::SECTOR_SIZE;
      if (target + dirty_vector::SECTOR_SIZE > image.size()) image.resize(target + dirty_vector::SECTOR_SIZE);
      std::copy_n(file.begin() + static_cast<std::ptrdiff_t>(from), dirty_vector::SECTOR_SIZE,
                  image.begin() + static_cast<std::ptrdiff_t>(target));
      from += dirty_vector::SECTOR_SIZE;
      ++written;
    }
  }
  return written;
}

}  // namespace kelpa
