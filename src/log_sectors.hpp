#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "le.hpp"

namespace kelpa {

namespace dirty_vector {  // old-format log (before Windows 8.1), file offsets
inline constexpr std::size_t SIGNATURE = 512, BITS = 516;
inline constexpr std::size_t SECTOR_SIZE = 512;
}  // namespace dirty_vector

// An old-format log, checked against its file: the dirty vector (bit i, least significant bit
// first, marks the 512-byte sector at file offset 4096 + 512 i) and where the marked sectors lie.
struct SectorLog {
  Bytes vector;
  std::size_t first_sector_at = 0;  // the sectors follow here, packed, one per set bit
  std::uint64_t sectors = 0;        // set bits
};

// Reads "DIRT" at offset 512 and a dirty vector of hive_bins_data_size / 4096 bytes after it; the
// sectors start at the next 512-byte boundary. Refused, with a short reason, when "DIRT" is
// missing or the vector or the marked sectors run past the end of the file.
[[nodiscard]] std::expected<SectorLog, std::string> read_sector_log(Bytes file, std::uint32_t hive_bins_data_size);

// Writes every marked sector into `image`, which grows zero-filled when a sector ends past it.
// Returns the number of sectors written.
std::uint64_t apply_sectors(const SectorLog& log, Bytes file, std::vector<std::uint8_t>& image);

}  // namespace kelpa
